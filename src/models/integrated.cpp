#include "models/integrated.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <utility>
#include <vector>

#include "models/heyrovsky.hpp"
#include "models/limb_law_kink_rule.hpp"
#include "models/march_geometry.hpp"
#include "models/ring_kink_rule.hpp"
#include "models/ring_lanes.hpp"
#include "models/witt_mao.hpp"
#include "models/witt_mao_lanes.hpp"
#include "quadrature/double_exponential.hpp"
#include "quadrature/gauss_legendre.hpp"
#include "runtime/thread_scratch.hpp"

namespace models {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double TWO_PI = 6.283185307179586;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// A lens closer than this to the centre is put at the centre for the disc
// route's interior integrals and for the ring route: the magnification is
// even and smooth in the lens's offset, which changes them by (1e-8)^2
// relative, while the pieces that grow geometrically from the lens (and its
// mirror image) would need one more for every halving of its distance.
constexpr double CENTRE = 1e-8;

// A lens more than this many source radii from the centre sees the source
// as a point: whatever the profile, its weighted mean of the point-lens
// magnification differs from the uniform disc's by (1/x)^2 of the excess,
// below 1e-20, and the routes' own pieces (l / r, l^2) would overflow for a
// lens near the largest double.
constexpr double POINT_SOURCE = 1e10;

using march_geometry::Complex;
using march_geometry::Singular;
using march_geometry::image_above;
using march_geometry::least_distance;
using march_geometry::march_clearance;
using march_geometry::modulus;
namespace gl = quadrature::gauss_legendre;

// By parts, the disc route's result is a sum of boundary terms and integrals
// that cancel when the profile has features much narrower than their radius
// (a thin bright ring, say): the flux of a thin annulus is a small difference
// of two disc fluxes.  Past this ratio of the terms' magnitudes to their sum
// the cancellation would cost more digits than the promised accuracy leaves,
// and the element is integrated over rings instead, which forms that
// difference directly.
constexpr double CANCELLATION_LIMIT = 8;

// Pieces integrated between two polls for a pending interrupt: a piece costs
// some microseconds, so a profile of many thousands of pieces still answers
// within a millisecond or so.
constexpr std::size_t POLL_PIECES = 64;

// The radii that bound the smooth pieces of an integrand: 0, the profile's
// breakpoints, the lens when it lies inside the source (where the ring
// through the lens makes the integrand singular), and 1.
// The disc route passes no lens: it spans the lens's kink with one
// symmetric piece instead of ending pieces there.
void piece_edges(const Profile& profile, double lens, std::vector<double>& edges) {
    const std::span<const double> breaks = profile.breakpoints();
    edges.clear();
    edges.reserve(breaks.size() + 3);
    edges.push_back(0.0);
    bool lens_pending = lens > 0 && lens < 1;
    for (const double b : breaks) {
        if (lens_pending && lens <= b) {
            if (lens < b) {
                edges.push_back(lens);
            }
            lens_pending = false;
        }
        edges.push_back(b);
    }
    if (lens_pending) {
        edges.push_back(lens);
    }
    edges.push_back(1.0);
}

[[nodiscard]] bool vanishes(const PieceLaw& law) noexcept {
    return law.c0 == 0 && law.c1 == 0 && law.c2 == 0;
}

// The ring route integrates over fixed rules, all the nodes of an element
// gathered into one batch for the ring element's lanes.
//
// A piece [a, b] whose integrand is singular at an end (the ring through the
// lens: a logarithm; the limb of a law in mu: a square root) takes the
// tanh-sinh rule of step 2^-DE_LEVEL in s on [0, 1], after the graded map
// x = a + w phi(s), w = b - a, phi(s) = s^2 (3 - 2 s).  phi' vanishes at
// both ends, so a logarithm at an end becomes s log s and the rule's nodes,
// which stop short of the ends, lose nothing of it; and the distances from
// the ends come out of phi exactly, so the ring's distance from the lens is
// known to full relative precision however close the two are.
constexpr int DE_LEVEL = 3;
// Nodes whose weight (per unit length of the piece) is below this add less
// than a rounding of the piece's integral even next to the lens's logarithm.
constexpr double NEGLIGIBLE_WEIGHT = 1e-18;

// One node of the graded rule on the unit piece: phi(s), phi(1 - s) and the
// weight with phi'(s) folded in.
struct GradedNode {
    double from_a;
    double from_b;
    double weight;
};

std::vector<GradedNode> make_graded_rule() {
    namespace de = quadrature::double_exponential;
    std::vector<GradedNode> rule;
    auto add = [&](double s, double weight) {
        const double t = 1 - s;
        const double w = weight * (6 * (s * t));
        if (w >= NEGLIGIBLE_WEIGHT) {
            rule.push_back({s * s * (3 - 2 * s), t * t * (3 - 2 * t), w});
        }
    };
    // The trapezoidal rule of step 2^-DE_LEVEL in t: each level's stored
    // weight carries its own step, and [-1, 1] maps onto [0, 1] at half
    // length.
    const double finest = std::ldexp(1.0, -DE_LEVEL);
    add(0.5, 0.5 * (PI / 2) * finest);
    for (int level = 0; level <= DE_LEVEL; ++level) {
        const double scale = 0.5 * std::ldexp(1.0, level - DE_LEVEL);
        for (const de::Node& node : de::NODE_TABLE[static_cast<std::size_t>(level)]) {
            const double offset = node.abscissa * 0.5;
            add(0.5 + offset, node.weight * scale);
            add(0.5 - offset, node.weight * scale);
        }
    }
    return rule;
}

const std::vector<GradedNode>& graded_rule() {
    static const std::vector<GradedNode> rule = make_graded_rule();
    return rule;
}

// The rings of one element: lens, radius, exact distance from the lens and
// the weight 2 pi r I(r) dr of each node.
struct RingBatch {
    std::vector<double> lens;
    std::vector<double> r;
    std::vector<double> d;
    std::vector<double> weight;
    std::vector<double> value;

    void clear() {
        lens.clear();
        r.clear();
        d.clear();
        weight.clear();
    }
    // Room for n more rings; returns where they start.  A piece's rings
    // are then written in place, free of a capacity check per ring.
    std::size_t grow(std::size_t n) {
        const std::size_t at = r.size();
        lens.resize(at + n);
        r.resize(at + n);
        d.resize(at + n);
        weight.resize(at + n);
        return at;
    }
    void set(std::size_t j, double l, double radius, double distance, double w) noexcept {
        lens[j] = l;
        r[j] = radius;
        d[j] = distance;
        weight[j] = w;
    }
    // sum weight A_ring over the batch, a node whose term is not finite (the
    // ring through the lens, a failing kernel) counting as 0.
    double sum(double eps) {
        value.resize(r.size());
        ring_elements(lens.data(), r.data(), d.data(), eps, value.data(), r.size());
        double total = 0;
        for (std::size_t j = 0; j < r.size(); ++j) {
            const double term = weight[j] * value[j];
            total += std::isfinite(term) ? term : 0.0;
        }
        return total;
    }
};

// The rings' integrand 2 pi r A_ring(r) I(r) is analytic in r but at the
// lens l (the logarithm of the ring through it), its mirror -l (A_ring is
// even in r), the points l +- 2i eps and -l +- 2i eps where the point-lens
// magnification of the ring's points is singular, and, for a law in mu,
// the branch points r = +-1.
Singular ring_singular_points(double lens, double eps, const PieceLaw& law) {
    Singular ps;
    const Complex above(0, 2 * eps);
    if (lens > 0) {
        ps.add(lens);
        ps.add(-lens);
    }
    ps.add(lens + above);
    ps.add(lens - above);
    if (lens > 0) {
        ps.add(-lens + above);
        ps.add(-lens - above);
    }
    if (law.singular_at_limb()) {
        ps.add(1.0);
        ps.add(-1.0);
    }
    return ps;
}

// Ellipse parameters past which a Gauss-Legendre rule of 4, 6, 8, 10, 12,
// 16, 20 or 24 nodes leaves less than 1e-15 of a piece's integral (rho^-2n:
// 75^-8, 18^-12, 9^-16, 5.7^-20, 4.3^-24, 3^-32, 2.4^-40 and 2.1^-48, all
// 0.3e-15 to 1e-15; the integrand's singularities are logarithms and inverse
// square roots, for which the rules fall a few times below that bound).  An
// element has some tens of pieces, so their sum stays near 1e-14 of the
// element at worst.
constexpr double CLEAR_4 = 75;
constexpr double CLEAR_6 = 18;
constexpr double CLEAR_8 = 9;
constexpr double CLEAR_10 = 5.7;
constexpr double CLEAR_12 = 4.3;
constexpr double CLEAR_16 = 3;
constexpr double CLEAR_20 = 2.4;
constexpr double CLEAR_24 = 2.1;
// A graded tanh-sinh piece wants its other singular points at least this
// far out (in the same measure): the rule clusters its nodes at the ends
// and spreads few over the middle.
constexpr double CLEAR_GRADED = 6;
// A singular point whose foot on the piece lies within this share of its
// length from an end is next to that end: the piece is cut at three times
// the point's distance from the end, so that the pieces grow geometrically
// away from it (a point further in is cut at its foot).
constexpr double NEAR_END = 0.1;
// Cuts of one element's pieces: geometric growth from a point at 1e-300 of
// a piece needs some hundreds at ratio 4; the cap only guards against
// arguments at the ends of the double range, and a piece past it takes its
// rule as it stands.
constexpr int MAX_SPLITS = 4096;

// The nodes of int_a^b 2 pi r A_ring(r) I(r) dr on one piece, split until
// each part's rule converges.
void ring_piece(RingBatch& batch, double lens, const Singular& points, const PieceLaw& law,
                double a, double b, int& splits) {
    const double w = b - a;
    // The lens, and the limb of a law in mu, at an end of the piece: the
    // graded rule.
    bool graded = law.singular_at_limb() && b == 1.0;
    // The Bernstein ellipse parameter of a point z for [a, b] (a rule of n
    // nodes converges like its -2n-th power for an integrand analytic inside
    // that ellipse): the ellipse with foci a and b through z, its semi-major
    // axis over the half-length A, and rho = A + sqrt(A^2 - 1), in units of
    // the half-length.
    const double half = 0.5 * w;
    // Only the first points.n entries are read: the arrays are left
    // unfilled, zeroing them costs as much as the bounds themselves.
    std::array<double, Singular{}.z.size()> xa;
    std::array<double, Singular{}.z.size()> xb;
    std::array<double, Singular{}.z.size()> y;
    auto parameter = [&](std::size_t k) {
        const double A =
            0.5 * (std::sqrt(xa[k] * xa[k] + y[k] * y[k]) + std::sqrt(xb[k] * xb[k] + y[k] * y[k]));
        return std::pair{A, A + std::sqrt(std::max(A * A - 1, 0.0))};
    };
    // The sum of a point's distances from the foci is at least twice its
    // distance D from the midpoint, so A >= D / half: a point whose bound
    // exceeds the A of the point nearest the midpoint (by a margin far
    // beyond rounding) cannot have the least parameter, and its three
    // square roots are spared.  The least is taken over the rest in order,
    // as over all.  D / half is formed from the same scaled offsets as A,
    // (x_a + x_b) / 2, and not from a rounded midpoint, whose rounding
    // would be a large share of a piece a few ulps wide.
    std::array<double, Singular{}.z.size()> bound;
    std::size_t closest = points.n;
    for (std::size_t k = 0; k < points.n; ++k) {
        const Complex z = points.z[k];
        y[k] = z.imag() / half;
        xa[k] = (z.real() - a) / half;
        xb[k] = (z.real() - b) / half;
        if (z == Complex(a) || z == Complex(b)) {
            // The graded rule takes a point at an end; a NaN bound keeps it
            // out of the least parameter whatever the reach.
            graded = true;
            bound[k] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        const double dx = 0.5 * (xa[k] + xb[k]);
        bound[k] = dx * dx + y[k] * y[k];
        // A NaN bound (a NaN point) has a NaN parameter, never the least.
        if (!std::isnan(bound[k]) && (closest == points.n || bound[k] < bound[closest])) {
            closest = k;
        }
    }
    double reach = std::numeric_limits<double>::infinity();
    if (closest < points.n) {
        const double A = parameter(closest).first * (1 + 1e-10);
        reach = A * A;
    }
    double clear = std::numeric_limits<double>::infinity();
    Complex nearest;
    for (std::size_t k = 0; k < points.n; ++k) {
        if (!(bound[k] <= reach)) {
            continue;
        }
        const double q = parameter(k).second;
        if (q < clear) {
            clear = q;
            nearest = points.z[k];
        }
    }
    const bool enough = graded ? clear >= CLEAR_GRADED : clear >= CLEAR_24;
    if (!enough && splits < MAX_SPLITS) {
        const double foot = std::clamp(nearest.real(), a, b);
        double cut;
        if (foot - a <= NEAR_END * w) {
            cut = a + std::min(3 * modulus(nearest - Complex(a)), 0.5 * w);
        } else if (b - foot <= NEAR_END * w) {
            cut = b - std::min(3 * modulus(nearest - Complex(b)), 0.5 * w);
        } else {
            cut = foot;
        }
        if (cut > a && cut < b) {
            ++splits;
            ring_piece(batch, lens, points, law, a, cut, splits);
            ring_piece(batch, lens, points, law, cut, b, splits);
            return;
        }
    }
    const double a_off = a - lens;  // exact where a and the lens are close
    const double b_off = b - lens;
    const double limb_off = 1 - b;
    const double a_pivot = a - law.r0;  // exact where the pivot is an end
    const double b_pivot = b - law.r0;
    std::size_t at = 0;  // the next ring's place in the batch
    auto add = [&](double from_a, double from_b, double weight) {
        const bool near_a = from_a <= from_b;
        const double r = near_a ? a + from_a : b - from_b;
        const double d = near_a ? a_off + from_a : b_off - from_b;
        const double offset = near_a ? a_pivot + from_a : b_pivot - from_b;
        const double to_limb = near_a ? 1 - r : limb_off + from_b;
        const double mu = law.singular_at_limb() ? std::sqrt(to_limb * (1 + r)) : 0.0;
        const double brightness = law.value_at_offset(offset, mu);
        batch.set(at++, lens, r, d, ((TWO_PI * r) * brightness) * (weight * w));
    };
    if (graded) {
        const std::vector<GradedNode>& graded_nodes = graded_rule();
        at = batch.grow(graded_nodes.size());
        for (const GradedNode& node : graded_nodes) {
            add(w * node.from_a, w * node.from_b, node.weight);
        }
        return;
    }
    const std::span<const gl::Node> rule =
        clear >= CLEAR_4    ? std::span<const gl::Node>(gl::RULE_4)
        : clear >= CLEAR_6  ? std::span<const gl::Node>(gl::RULE_6)
        : clear >= CLEAR_8  ? std::span<const gl::Node>(gl::RULE_8)
        : clear >= CLEAR_10 ? std::span<const gl::Node>(gl::RULE_10)
        : clear >= CLEAR_12 ? std::span<const gl::Node>(gl::RULE_12)
        : clear >= CLEAR_16 ? std::span<const gl::Node>(gl::RULE_16)
        : clear >= CLEAR_20 ? std::span<const gl::Node>(gl::RULE_20)
                            : std::span<const gl::Node>(gl::RULE_24);
    at = batch.grow(rule.size());
    for (const gl::Node& node : rule) {
        add(w * node.t, w * (1 - node.t), node.w);
    }
}

// The symmetric piece across a lens inside the piece [a, b]: half-width
// the least of the distances to either end and half that to the nearest
// other singular point, where its rule (exact for y^2k and y^2k ln|y| in the
// distance y from the lens, and for every odd function) converges like a
// Gauss rule with the singularity at twice its half-width.  Its nodes'
// distances from the lens are formed directly.  Returns the half-width.
constexpr double RING_KINK_REACH = 4;

double ring_kink_piece(RingBatch& batch, double lens, const Singular& points, const PieceLaw& law,
                       double a, double b) {
    const double least = least_distance(lens, points, true);
    const double half = std::min({lens - a, b - lens, least / RING_KINK_REACH});
    std::size_t at = batch.grow(2 * ring_kink_rule::NODES.size());
    for (const ring_kink_rule::Node& node : ring_kink_rule::NODES) {
        const double d = half * node.t;
        for (const double y : {-d, d}) {
            const double r = lens + y;
            const double mu = law.singular_at_limb() ? mu_of(r) : 0.0;
            const double brightness = law.value_at_offset(r - law.r0, mu);
            batch.set(at++, lens, r, y, ((TWO_PI * r) * brightness) * (node.w * half));
        }
    }
    return half;
}

// The size of the source in Einstein radii, or NaN when a source or Einstein
// radius of zero, infinite or undefined size leaves the magnification
// undefined.  Lengths count by their size, as separations do.
double source_size(double re, double rstar) {
    const double rho = std::fabs(rstar / re);
    return rho > 0 && std::isfinite(rho) ? rho : NaN;
}

// The outcome of one element: its value, or the call was interrupted
// (runtime::INTERRUPTED).
using Element = ellip::Result;

[[nodiscard]] Element interrupted_element() noexcept {
    return ellip::failure(runtime::INTERRUPTED);
}

// The ring through the lens is singular only on the lens's own scale, its
// Einstein radius eps (source radii): within a few eps of the lens the ring
// magnification changes from a logarithm to its far tail.  For a large
// source that scale is much finer than a piece, and one graded piece per
// side spends too few nodes on it; the pieces next to the lens are cut again
// at geometrically growing distances k eps from it.
void cut_near_lens(std::vector<double>& edges, double lens, double eps) {
    if (!(eps < 0.1)) {
        return;
    }
    std::vector<double> cuts;
    for (double k = 1; k * eps < 1; k *= 8) {
        for (const double cut : {lens - k * eps, lens + k * eps}) {
            if (cut > 0 && cut < 1) {
                cuts.push_back(cut);
            }
        }
    }
    // A cut closer to an existing edge than half its distance from the lens
    // would only make a sliver.
    for (const double cut : cuts) {
        const auto next = std::lower_bound(edges.begin(), edges.end(), cut);
        const double gap = 0.5 * std::fabs(cut - lens);
        if (next == edges.begin() || next == edges.end() || *next - cut < gap ||
            cut - *(next - 1) < gap) {
            continue;
        }
        edges.insert(next, cut);
    }
}

// Nodes gathered before the batch is evaluated and the interrupt polled: a
// profile of many pieces is summed in batches of some microseconds.
constexpr std::size_t BATCH_NODES = 2048;

double rings_beyond_limb(double lens, double rho, const PieceLaw& law);
double rings_in_mu(double lens, double rho, const PieceLaw& law, double top);
// The profile's pieces: their edges and laws.
struct Layout {
    std::vector<double> edges;
    std::vector<PieceLaw> laws;
};
constexpr double FAR = 8;
// The rings or discs a far lens takes for a whole table: the 12 Gauss nodes
// in r over [0, 1].
constexpr std::size_t FAR_R_NODES = 12;
using FarWeights = std::array<double, FAR_R_NODES>;

// What one call needs of its profile, formed once for all its elements: the
// pieces and their laws and, for a table that is a straight line in r on
// each piece (a flux map), the weights with which a far lens's 12 discs or
// rings give every piece's integral at once (see far_table_weights).
struct Plan {
    Layout layout;
    // Every piece a straight line in r.
    bool in_r = false;
    // Per piece, the weights I_k with int_a^b G(r) dr = (1/2) sum_k c_k I_k
    // for the Legendre coefficients c_k of G at the nodes (disc route);
    // empty unless formed.
    std::vector<FarWeights> disc_far;
    bool has_far = false;
    // w_j with int_0^1 2 pi r A_ring(r) I(r) dr = sum_j w_j A_ring(r_j) for
    // the ring route, formed at its first far lens (the disc route reaches
    // the rings only where its terms cancel).  A plan serves one call on
    // one thread.
    mutable FarWeights ring_far{};
    mutable bool has_ring_far = false;
};
void form_ring_far(const Plan& plan);
// far: whether the weights for a far lens are wanted.
void make_plan(const Profile& profile, bool far, Plan& plan);
bool rings_far_table(double lens, double rho, const Plan& plan, double& total);
// The radius from which the rings of a law in mu go over to mu, as the
// disc route's pieces do.
constexpr double RING_MU_FROM = 0.75;

// An element's edges and rings, kept per thread (claimed for the element,
// which polls for signals while it holds them) so that an element
// allocates nothing once its thread has seen as many.
struct RingScratch {
    std::vector<double> edges;
    RingBatch batch;
};

Element ring_element_integral(double lens, double rho, double whole, double norm,
                              const Profile& profile, const Plan& plan,
                              const Interrupt& interrupt) {
    (void)whole;
    if (lens < CENTRE) {
        lens = 0;  // see CENTRE
    }
    if (lens > 1 && plan.layout.laws.size() == 1) {
        const PieceLaw& law = plan.layout.laws[0];
        if (law.c1 == 0) {
            return ellip::success(rings_beyond_limb(lens, rho, law) / norm);
        }
    }
    if (lens >= FAR) {
        double far_total = 0;
        if (rings_far_table(lens, rho, plan, far_total)) {
            return ellip::success(far_total / norm);
        }
    }
    const double eps = 1 / rho;
    // A lens inside the source is spanned by one symmetric piece, unless its
    // Einstein radius is small enough for the pieces about it to be cut on
    // that scale (see cut_near_lens), where the graded pieces serve.
    const bool span_lens = lens > 0 && lens < 1 && !(eps < 0.1);
    const runtime::ScratchClaim<RingScratch> claim;
    RingScratch& scratch = *claim;
    std::vector<double>& edges = scratch.edges;
    piece_edges(profile, span_lens ? NaN : lens, edges);
    if (!span_lens) {
        cut_near_lens(edges, lens, eps);
    }
    RingBatch& batch = scratch.batch;
    batch.clear();
    double total = 0;
    std::size_t polls = 0;
    int splits = 0;
    // The lens and the cuts about it only subdivide the profile's pieces:
    // each piece here takes the law of the profile's piece that holds it.
    const Layout& layout = plan.layout;
    std::size_t piece = 0;
    for (std::size_t k = 0; k + 1 < edges.size(); ++k) {
        const double a = edges[k];
        const double b = edges[k + 1];
        while (piece + 1 < layout.laws.size() && layout.edges[piece + 1] <= a) {
            ++piece;
        }
        const PieceLaw& law = layout.laws[piece];
        if (vanishes(law)) {
            continue;
        }
        const Singular points = ring_singular_points(lens, eps, law);
        if (span_lens && a < lens && lens < b) {
            const double half = ring_kink_piece(batch, lens, points, law, a, b);
            if (lens - half > a) {
                ring_piece(batch, lens, points, law, a, lens - half, splits);
            }
            if (lens + half < b) {
                // A law in mu alone up to the limb is smooth in mu there;
                // the centre's side stays in r, where r(mu) is not smooth.
                if (b == 1.0 && law.c1 == 0 && law.singular_at_limb()) {
                    const double split = std::max(lens + half, RING_MU_FROM);
                    if (split > lens + half) {
                        ring_piece(batch, lens, points, law, lens + half, split, splits);
                    }
                    total += rings_in_mu(lens, rho, law, mu_of(split));
                } else {
                    ring_piece(batch, lens, points, law, lens + half, b, splits);
                }
            }
        } else {
            ring_piece(batch, lens, points, law, a, b, splits);
        }
        if (batch.r.size() >= BATCH_NODES) {
            total += batch.sum(eps);
            batch.clear();
            if (interrupted_at(interrupt, ++polls, 1)) {
                return interrupted_element();
            }
        }
    }
    total += batch.sum(eps);
    return ellip::success(total / norm);
}

// r^2 M(r) for the disc of radius r (source radii) about the centre: the
// lens is at lens / r of its radii, and it spans rho r Einstein radii.  At
// r = 1 it is the whole source, r^2 M(r) vanishes at the centre.
double disc_flux(double lens, double rho, double whole, double r) {
    if (r == 1.0) {
        return whole;
    }
    if (r == 0.0) {
        return 0.0;
    }
    const ellip::Result m = witt_mao_element(lens / r, rho * r);
    return m.ok() ? r * r * m.value() : NaN;
}

// ---------------------------------------------------------------------------
// Fixed Gauss-Legendre pieces for the disc route's interior integrals.
//
// The integrand G(r) I'(r), G(r) = r^2 M(r), is analytic on a piece except
// at a few points of the complex plane of the integration variable: the lens
// (where G has a kink (r - l) ln|r - l|), the points where the point-lens
// magnification is singular, the lens's Einstein radius off it
// (l +- 2i eps), the centre for discs that hold the lens (their expansion in
// l / r is singular there), and r = +-1 for the slope of a law in mu.  Each
// piece is no longer than three times its distance from those points behind
// it and three quarters of that ahead, so that a fixed rule converges like
// 3^-2n, 5e-16 for the 16 nodes of a piece, and a piece clearer than that
// takes fewer nodes.  A lens inside a piece of the profile
// is spanned by one symmetric piece (kink_piece); a lens on a breakpoint or
// on the limb ends the pieces there, and the first piece at it is graded
// towards it, r - l = w t^3, which turns the kink into t^5 ln t.  The pieces
// grow geometrically away from the kink.

// The graded piece at the kink is shorter than its distance from any other
// singular point by this factor: the map r - l = w t^3 brings them closer,
// to 4^(1/3) of the piece's length, where 12 nodes still give 1e-15.
constexpr double FIRST = 4;
// A piece reaching towards a singular point ahead stops at 1 / AHEAD of its
// distance, and one leaving a point behind is at most BEHIND times as long
// as its distance: the nearest point then lies 5/3 half-lengths or more
// from the piece's midpoint, Bernstein ellipse parameter 3.  (Longer pieces
// of more nodes cover a range of distances with fewer nodes: doubling
// pieces of parameter 5.83 take 10 nodes per factor 2, these 16 per
// factor 4.)
constexpr double AHEAD = 4.0 / 3;
constexpr double BEHIND = 3;
// The centre's side of a law in mu is integrated in r, the limb's side in
// mu, where the law's slope in r (like 1/mu) is smooth.
constexpr double R_MID = 0.75;
// The Einstein radius taken for laying out pieces: for sources larger than
// 1e4 Einstein radii the excess magnification is below 1e-8 of the whole,
// and the lens's own scale needs no pieces of its own.
constexpr double LEAST_SCALE = 1e-4;
// The graded piece at a kink spans at most this share of the range: its
// rule leaves a fixed fraction of the kink's own contribution, which falls
// like the square of the piece's length, and the pieces after it double.
constexpr double FIRST_SHARE = 1.0 / 16;
// The disc route's pieces take the ring route's rules by the same measure
// (CLEAR_4 .. CLEAR_16): each leaves at most 1e-15 of its piece.
// A bound on the pieces of one march; geometric growth needs some tens.
constexpr std::size_t MAX_PIECES = 96;

// sum over the pieces of [from, to] (either order) of the integral of
// values() over the piece, unoriented.  `values(t, out, n)` writes the
// integrand at the n nodes t.  With `kink`, `from` is a kink of the
// integrand: the first piece is graded towards it and the others grow
// geometrically away from it.
//
// The pieces' nodes are gathered and handed to values() together, up to
// MARCH_NODES at a time, so that the discs or rings of many pieces fill
// whole lane groups; each piece's sum is then formed as alone.  192 nodes
// are 24 groups of eight lanes, so a partly filled last group costs a few
// per cent at most, and the march's buffers stay small on the stack.
constexpr std::size_t MARCH_NODES = 192;


// The rule of a march's piece of that clearance; a piece of a march from a
// kink takes 8 nodes at least.
inline std::span<const gl::Node> march_rule(double clearance, bool kink) noexcept {
    return clearance >= CLEAR_4 && !kink   ? std::span<const gl::Node>(gl::RULE_4)
           : clearance >= CLEAR_6 && !kink ? std::span<const gl::Node>(gl::RULE_6)
           : clearance >= CLEAR_8          ? std::span<const gl::Node>(gl::RULE_8)
           : clearance >= CLEAR_10         ? std::span<const gl::Node>(gl::RULE_10)
           : clearance >= CLEAR_12         ? std::span<const gl::Node>(gl::RULE_12)
                                           : std::span<const gl::Node>(gl::RULE_16);
}

// One piece of a march: its rule over [cur, cur + dir], graded (r - cur =
// dir u^3) or not.  write() puts its nodes, the rule's weights and the
// map's derivative there straight into the caller's storage: a piece holds
// 4 to 16 nodes, and copying them there from a buffer of its own cost as
// much as forming them.
struct MarchPiece {
    std::span<const gl::Node> rule;
    double cur;
    double dir;
    double w;
    bool graded;

    [[nodiscard]] std::size_t size() const noexcept { return rule.size(); }
    void write(double* t, double* weight, double* jacobian) const noexcept {
        for (std::size_t j = 0; j < rule.size(); ++j) {
            const double u = rule[j].t;
            t[j] = graded ? cur + dir * (u * u * u) : cur + dir * u;
            weight[j] = rule[j].w;
            jacobian[j] = graded ? w * (3 * u * u) : w;
        }
    }
};

// The pieces of a march in order: piece(MarchPiece) for each.
template <class Piece>
void march_layout(double from, double to, bool kink, const Singular& points, Piece&& piece) {
    const double sign = to > from ? 1.0 : -1.0;
    double cur = from;
    bool first = true;
    for (std::size_t count = 0; (to - cur) * sign > 0 && count < MAX_PIECES; ++count) {
        double length = std::fabs(to - cur);
        // Each limit is a non-decreasing function of the squared distance,
        // so the least limit of the points behind (and of those ahead) is
        // that of their least squared distance: two square roots, not one
        // per point, and the same bits.
        double behind_sq = std::numeric_limits<double>::infinity();
        double ahead_sq = std::numeric_limits<double>::infinity();
        for (std::size_t k = 0; k < points.n; ++k) {
            const double dx = points.z[k].real() - cur;
            const double dy = points.z[k].imag();
            const double sq = dx * dx + dy * dy;
            if (dx * sign <= 0) {
                behind_sq = std::min(behind_sq, sq);
            } else {
                ahead_sq = std::min(ahead_sq, sq);
            }
        }
        if (first && kink) {
            length = std::min(length, std::sqrt(std::min(behind_sq, ahead_sq)) / FIRST);
        } else {
            length = std::min(length, BEHIND * std::sqrt(behind_sq));
            length = std::min(length, std::sqrt(ahead_sq) / AHEAD);
        }
        if (first && kink) {
            length = std::min(length, FIRST_SHARE * std::fabs(to - from));
        } else if (kink) {
            length = std::min(length, std::fabs(cur - from));
        }
        double next = cur + sign * length;
        if (std::fabs(to - next) < 1e-3 * length || count + 1 == MAX_PIECES) {
            next = to;
        }
        const bool graded = first && kink;
        // A piece takes the fewest nodes its clearance (the Bernstein
        // ellipse through the nearest singular point) allows.  A kink at the
        // start of the march is no point of the list, but it lies a piece's
        // length behind each piece: those keep 8 nodes at least.
        double clearance = graded ? 0.0 : march_clearance(cur, next, points);
        // The rest of the march in one piece, where it is no longer than
        // this piece, its clearance (from the kink too) still allows 16
        // nodes or fewer and its rule is smaller than this piece's and the
        // least rule for what would be left: the geometric pieces would
        // otherwise end in a sliver next to the end.
        if (!graded && next != to && std::fabs(to - next) <= std::fabs(next - cur)) {
            double rest = march_clearance(cur, to, points);
            if (kink) {
                Singular start;
                start.add(from);
                rest = std::min(rest, march_clearance(cur, to, start));
            }
            if (rest >= CLEAR_16 &&
                march_rule(rest, kink).size() < march_rule(clearance, kink).size() + 4) {
                next = to;
                clearance = rest;
            }
        }
        const double w = std::fabs(next - cur);
        const double dir = next - cur;
        const std::span<const gl::Node> rule =
            graded ? std::span<const gl::Node>(gl::RULE_12) : march_rule(clearance, kink);
        piece(MarchPiece{rule, cur, dir, w, graded});
        cur = next;
        first = false;
    }
}

// A piece's integral from its nodes' values: sum_j w_j (v_j J_j), in order.
inline double piece_sum(const double* v, const double* weight, const double* jacobian,
                        std::size_t n) noexcept {
    double sum = 0;
    for (std::size_t j = 0; j < n; ++j) {
        sum += weight[j] * (v[j] * jacobian[j]);
    }
    return sum;
}

// The direction of a march over [lo, hi]: from the kink where it is an end
// (the graded first piece there), else from lo; a lens at the centre makes
// no kink, the discs being all centred on it.
struct MarchEnds {
    double from;
    double to;
    bool kink;
};

MarchEnds march_ends(bool centred, double kink, double lo, double hi) {
    if (centred) {
        return {lo, hi, false};
    }
    if (kink == hi) {
        return {hi, lo, true};
    }
    return {lo, hi, kink == lo};
}

template <class Values>
double march(double from, double to, bool kink, const Singular& points, Values&& values) {
    double total = 0;
    std::array<double, MARCH_NODES> t;
    std::array<double, MARCH_NODES> v;
    std::array<double, MARCH_NODES> weight;
    std::array<double, MARCH_NODES> jacobian;
    // The gathered pieces' node counts, in order.
    std::array<std::size_t, MARCH_NODES> sizes;
    std::size_t nodes = 0;
    std::size_t pieces = 0;
    auto flush = [&] {
        values(t.data(), v.data(), nodes);
        std::size_t j = 0;
        for (std::size_t p = 0; p < pieces; ++p) {
            total += piece_sum(v.data() + j, weight.data() + j, jacobian.data() + j, sizes[p]);
            j += sizes[p];
        }
        nodes = 0;
        pieces = 0;
    };
    march_layout(from, to, kink, points,
                 [&](const MarchPiece& p) {
                     const std::size_t n = p.size();
                     if (nodes + n > MARCH_NODES) {
                         flush();
                     }
                     p.write(t.data() + nodes, weight.data() + nodes, jacobian.data() + nodes);
                     nodes += n;
                     sizes[pieces++] = n;
                 });
    if (pieces != 0) {
        flush();
    }
    return total;
}

// The most nodes handed to the discs at once: the symmetric piece across a
// kink (a node on it and eight pairs).
constexpr std::size_t MOST_NODES = 1 + 2 * kink_rule::PAIRS.size();
static_assert(MOST_NODES <= MARCH_NODES);
// The symmetric piece across the kink reaches half as far as the nearest
// other singular point: its rule, exact for y^2k and y^2k ln|y| in the
// distance y from the kink and for every odd function, then converges like
// a Gauss rule with the singularity at twice its half-width, to below 1e-15
// of the piece.
constexpr double KINK_REACH = 2;

// The integral of values() over [c - h, c + h], c the kink, by the
// symmetric rule.
template <class Values>
double kink_piece(double c, double h, Values&& values) {
    std::array<double, MOST_NODES> t{};
    std::array<double, MOST_NODES> v{};
    t[0] = c;
    for (std::size_t k = 0; k < kink_rule::PAIRS.size(); ++k) {
        t[1 + 2 * k] = c - h * kink_rule::PAIRS[k].t;
        t[2 + 2 * k] = c + h * kink_rule::PAIRS[k].t;
    }
    values(t.data(), v.data(), MOST_NODES);
    double sum = (2 * kink_rule::CENTRE_WEIGHT) * v[0];
    for (std::size_t k = 0; k < kink_rule::PAIRS.size(); ++k) {
        sum += kink_rule::PAIRS[k].w * (v[1 + 2 * k] + v[2 + 2 * k]);
    }
    return h * sum;
}

// The distance from c to the nearest of the points, over KINK_REACH.
double kink_reach(double c, const Singular& points) {
    return least_distance(c, points, false) / KINK_REACH;
}

// G(r) = r^2 M(r) at n <= MARCH_NODES radii; NaN where it fails.
void disc_fluxes(double lens, double rho, const double* r, double* g, std::size_t n) {
    std::array<double, MARCH_NODES> x;
    std::array<double, MARCH_NODES> size;
    for (std::size_t j = 0; j < n; ++j) {
        x[j] = lens / r[j];
        size[j] = rho * r[j];
    }
    witt_mao_elements(x.data(), size.data(), g, n);
    for (std::size_t j = 0; j < n; ++j) {
        g[j] = r[j] == 0.0 ? 0.0 : r[j] * r[j] * g[j];
    }
}

// The singular points in r of the discs' G(r) I'(r) on [lo, hi]; the lens
// itself only where it is no end of the range marched over (there it is the
// graded kink).
Singular disc_points_in_r(double lens, double rho, const PieceLaw& law, double lo, double hi) {
    const double eps = std::max(1 / rho, LEAST_SCALE);
    const Complex above(0, 2 * eps);
    const bool inside = lens > 0 && lens < 1;
    Singular ps;
    ps.add(lens + above);
    ps.add(lens - above);
    if (lens != lo && lens != hi) {
        ps.add(lens);
    }
    // The discs' magnification depends on r + l as well as on r - l.
    if (lens > 0) {
        ps.add(-lens);
    }
    if (inside && lo >= lens) {
        ps.add(0.0);
    }
    if (law.singular_at_limb()) {
        ps.add(1.0);
        ps.add(-1.0);
    }
    return ps;
}


// int_a^b G(r) I'(r) dr for the law on one piece, in r on the centre's side
// and, for a law in mu, in mu on the limb's side.
double interior_integral(double lens, double rho, const PieceLaw& law, double a, double b) {
    if (lens < CENTRE) {
        lens = 0;
    }
    const double eps = std::max(1 / rho, LEAST_SCALE);
    const Complex above(0, 2 * eps);
    auto points_in_r = [&](double lo, double hi) {
        return disc_points_in_r(lens, rho, law, lo, hi);
    };
    // Marches over [lo, hi] in the direction march_ends() gives.
    auto over = [&](double lo, double hi, const Singular& ps, double kink, auto&& values) {
        if (!(hi > lo)) {
            return 0.0;
        }
        const MarchEnds e = march_ends(lens == 0, kink, lo, hi);
        return march(e.from, e.to, e.kink, ps, values);
    };

    const bool limb_law = law.singular_at_limb();
    // The lens strictly inside the piece: one symmetric piece spans its
    // kink, in r on the centre's side and in mu on the limb's, and the
    // pieces on either side grow away from it.
    const bool across = lens > a && lens < b;
    const bool r_kink = across && (!limb_law || lens <= R_MID);
    const bool mu_kink = across && !r_kink;
    const double mu_lens = lens < 1 ? mu_of(lens) : 0.0;
    // The images mu = +-sqrt(1 - z^2) of the lens's points z in r; the
    // branch points of r(mu) at mu = +-1 (the centre); and the kink's
    // other image where the lens is an end.
    auto points_in_mu = [&](bool lens_is_end) {
        Singular ps;
        const Complex m_above = image_above(lens, above);
        for (const Complex m_z : {m_above, std::conj(m_above)}) {
            ps.add(m_z);
            ps.add(-m_z);
        }
        const Complex m = std::sqrt(Complex(1.0 - lens * lens));
        if (!lens_is_end && lens != 1.0) {
            ps.add(m);
            ps.add(-m);
        } else if (lens_is_end && lens < 1.0) {
            ps.add(-m);
        }
        ps.add(1.0);
        ps.add(-1.0);
        return ps;
    };
    // The r-part is [a, split], the mu-part [mu_of(b), mu_hi]: the split
    // moves off R_MID where the piece across the kink would straddle it.
    double split = limb_law ? std::min(b, R_MID) : b;
    double half = 0;  // the half-width of the piece across the kink
    double mu_hi = NaN;
    if (r_kink) {
        half = std::min({lens - a, b - lens, kink_reach(lens, points_in_r(lens, lens))});
        if (limb_law) {
            split = std::max(split, lens + half);
        }
    } else if (mu_kink) {
        half = std::min({mu_lens - mu_of(b), mu_of(a) - mu_lens,
                         kink_reach(mu_lens, points_in_mu(true))});
        const double top = mu_lens + half;
        const double r_top = mu_of(top);
        if (r_top < split && r_top > a) {
            split = r_top;
            mu_hi = top;
        }
    }
    if (std::isnan(mu_hi)) {
        mu_hi = mu_of(std::max(a, split));
    }

    double total = 0;
    // In r: G(r) (c1 - c2 r / mu).
    if (split > a && (law.c1 != 0 || law.c2 != 0)) {
        auto values = [&](const double* r, double* out, std::size_t n) {
            disc_fluxes(lens, rho, r, out, n);
            for (std::size_t j = 0; j < n; ++j) {
                const double slope =
                    law.c2 == 0 ? law.c1 : law.c1 - law.c2 * (r[j] / mu_of(r[j]));
                out[j] *= slope;
            }
        };
        if (r_kink) {
            const double below = lens - half;
            const double beyond = lens + half;
            total += kink_piece(lens, half, values);
            if (below > a) {
                total += march(below, a, false, points_in_r(a, below), values);
            }
            if (split > beyond) {
                total += march(beyond, split, false, points_in_r(beyond, split), values);
            }
        } else {
            total += over(a, split, points_in_r(a, split), lens, values);
        }
    }
    // In mu = sqrt(1 - r^2): (G(r) / r) (c1 mu - c2 r), r^2 I'(r) dr = r (mu I'(r)) dmu.
    if (limb_law && b > split) {
        const double mu_lo = mu_of(b);
        const double mu_kink_node = mu_kink ? mu_lens : NaN;
        auto values = [&](const double* mu, double* out, std::size_t n) {
            std::array<double, MARCH_NODES> r;
            for (std::size_t j = 0; j < n; ++j) {
                // The kink's own node is the disc whose limb passes through
                // the lens: its radius is the lens's distance exactly.
                r[j] = mu[j] == mu_kink_node ? lens : std::sqrt((1 - mu[j]) * (1 + mu[j]));
            }
            disc_fluxes(lens, rho, r.data(), out, n);
            for (std::size_t j = 0; j < n; ++j) {
                out[j] = (out[j] / r[j]) * law.mu_slope(r[j], mu[j]);
            }
        };
        if (mu_kink) {
            const Singular ps = points_in_mu(false);
            const double below = mu_lens - half;
            const double beyond = mu_lens + half;
            total += kink_piece(mu_lens, half, values);
            if (below > mu_lo) {
                total += march(below, mu_lo, false, ps, values);
            }
            if (mu_hi > beyond) {
                total += march(beyond, mu_hi, false, ps, values);
            }
        } else {
            const bool lens_is_end = lens == std::max(a, split) || lens == b;
            // The lens on the limb is a kink at mu = 0, like one inside.
            const double kink = lens_is_end ? mu_of(lens) : NaN;
            total += over(mu_lo, mu_hi, points_in_mu(lens_is_end), kink, values);
        }
    }
    return total;
}

// ---------------------------------------------------------------------------
// A far lens: one set of discs for the whole source.
//
// With the lens FAR source radii or more from the centre, G(r) = r^2 M(r) is
// even and analytic in r, its nearest singular points (r = +-l and
// +-l +- 2i eps) at least seven source radii beyond the source: the
// Bernstein ellipse of [0, 1] through them has parameter 30 or more, in r
// and in mu = sqrt(1 - r^2) alike.  Then
//  - a law of one piece in mu alone (I = c0 + c2 mu, the limb-darkening
//    law), whose slope integral is -c2 int_0^1 G dmu, takes 8 Gauss nodes in
//    mu over the whole source (30^-16 ~ 1e-24 of it);
//  - a profile that is a straight line in r on each of its pieces (a flux
//    map), whose slope integrals are c1 int_a^b G dr, takes 12 Gauss nodes
//    in r over [0, 1] for all its pieces: the Legendre series of degree 11
//    through them follows G to 30^-12 ~ 1e-18 of its size, and each piece
//    integrates that series exactly over [a, b].
// w_j P_k(x_j) for the 12-node rule on [0, 1] (x_j = 2 t_j - 1, weights
// summing to 1).  With c_k = sum_j w_j P_k(x_j) G_j the interpolant of G
// over [-1, 1] is sum_k (2k + 1) c_k P_k(x), and its integral over
// [x_a, x_b] is sum_k c_k [R_k]_{x_a}^{x_b}, R_0 = x, R_k = P_{k+1} - P_{k-1}.
using FarBasis = std::array<std::array<double, FAR_R_NODES>, FAR_R_NODES>;

// P_0(x) .. P_{N-1}(x) by the three-term recurrence, stable on [-1, 1].
template <std::size_t N>
std::array<double, N> legendre_values(double x) noexcept {
    std::array<double, N> p{};
    p[0] = 1;
    if constexpr (N > 1) {
        p[1] = x;
    }
    for (std::size_t k = 1; k + 1 < N; ++k) {
        const double kk = static_cast<double>(k);
        p[k + 1] = ((2 * kk + 1) * x * p[k] - kk * p[k - 1]) / (kk + 1);
    }
    return p;
}

const FarBasis& far_basis() {
    static const FarBasis basis = [] {
        FarBasis b{};
        for (std::size_t j = 0; j < FAR_R_NODES; ++j) {
            const auto p = legendre_values<FAR_R_NODES>(2 * gl::RULE_12[j].t - 1);
            for (std::size_t k = 0; k < FAR_R_NODES; ++k) {
                b[k][j] = gl::RULE_12[j].w * p[k];
            }
        }
        return b;
    }();
    return basis;
}

// The increments D_k = P_k(x_a + h) - P_k(x_a), k = 0 .. 13, from the
// recurrence itself,
//   (k + 1) D_{k+1} = (2k + 1) ((x_a + h) D_k + h P_k(x_a)) - k D_{k-1},
// to full relative precision however narrow the piece: P_k at both ends
// and their difference would leave an ulp of P_k, a share 1/h of the
// piece's integral (a flux map's narrow feature of width 1e-6 would lose
// five digits).
using Increments = std::array<double, FAR_R_NODES + 2>;
Increments legendre_increments(double xa, double h) noexcept {
    const double xb = xa + h;
    Increments d{};
    double p_prev = 1;  // P_{k-1}(x_a)
    double p = xa;      // P_k(x_a)
    d[0] = 0;
    d[1] = h;
    for (std::size_t k = 1; k + 1 < d.size(); ++k) {
        const double kk = static_cast<double>(k);
        d[k + 1] = ((2 * kk + 1) * (xb * d[k] + h * p) - kk * d[k - 1]) / (kk + 1);
        const double p_next = ((2 * kk + 1) * xa * p - kk * p_prev) / (kk + 1);
        p_prev = p;
        p = p_next;
    }
    return d;
}

// The integral over [x_a, x_a + h] of the interpolant sum_k (2k + 1) c_k
// P_k is sum_k c_k I_k, with I_0 = h and I_k = D_{k+1} - D_{k-1} from the
// increments: the weights I_k of the coefficients.
std::array<double, FAR_R_NODES> integral_weights(const Increments& d, double h) noexcept {
    std::array<double, FAR_R_NODES> in{};
    in[0] = h;
    for (std::size_t k = 1; k < FAR_R_NODES; ++k) {
        in[k] = d[k + 1] - d[k - 1];
    }
    return in;
}

// sum_k c_k I_k, in order.
double interpolant_integral(const std::array<double, FAR_R_NODES>& c,
                            const std::array<double, FAR_R_NODES>& in) noexcept {
    double sum = c[0] * in[0];
    for (std::size_t k = 1; k < FAR_R_NODES; ++k) {
        sum += c[k] * in[k];
    }
    return sum;
}

// The weights of the coefficients in int_{x_a}^{x_a + h} (x - x_a) times the
// interpolant, by x P_k = ((k + 1) P_{k+1} + k P_{k-1}) / (2k + 1) and the
// integrals I_j = (D_{j+1} - D_{j-1}) / (2j + 1) (I_0 = h) of P_j.  The
// subtraction of x_a I_k leaves an ulp of x_a h, which the slope across the
// piece scales to an ulp of the brightness change across it.
std::array<double, FAR_R_NODES> moment_weights(const Increments& d, double xa,
                                               double h) noexcept {
    std::array<double, FAR_R_NODES + 1> in{};
    in[0] = h;
    for (std::size_t j = 1; j < in.size(); ++j) {
        in[j] = (d[j + 1] - d[j - 1]) / (2 * static_cast<double>(j) + 1);
    }
    std::array<double, FAR_R_NODES> m{};
    m[0] = in[1] - xa * in[0];
    for (std::size_t k = 1; k < FAR_R_NODES; ++k) {
        const double kk = static_cast<double>(k);
        m[k] = ((kk + 1) * in[k + 1] + kk * in[k - 1]) - (2 * kk + 1) * (xa * in[k]);
    }
    return m;
}

// Below this length in x the moment's subtraction of x_a I_k would cost
// more than a share 8 ulp of the slope's part of a piece (a share ulp / h),
// and the moment is summed over Gauss nodes instead.
constexpr double NARROW_PIECE = 1.0 / 8;

// The same weights by the 8-node Gauss rule on the piece, exact for the
// interpolant (degree 11) times x - x_a, and free of the subtraction.
std::array<double, FAR_R_NODES> moment_weights_by_nodes(double xa, double h) noexcept {
    std::array<double, FAR_R_NODES> m{};
    for (const gl::Node& node : gl::RULE_8) {
        const double y = h * node.t;  // x - x_a
        const auto p = legendre_values<FAR_R_NODES>(xa + y);
        for (std::size_t k = 0; k < FAR_R_NODES; ++k) {
            m[k] += node.w * (y * ((2 * static_cast<double>(k) + 1) * p[k]));
        }
    }
    for (double& v : m) {
        v *= h;
    }
    return m;
}

// The Legendre coefficients c_k of the values f_j at the 12 nodes.
std::array<double, FAR_R_NODES> legendre_coefficients(
    const std::array<double, FAR_R_NODES>& f) noexcept {
    const FarBasis& basis = far_basis();
    std::array<double, FAR_R_NODES> c{};
    for (std::size_t k = 0; k < FAR_R_NODES; ++k) {
        double sum = 0;
        for (std::size_t j = 0; j < FAR_R_NODES; ++j) {
            sum += basis[k][j] * f[j];
        }
        c[k] = sum;
    }
    return c;
}

// The singular points in mu = sqrt(1 - r^2) of the discs and rings of a
// lens beyond the limb: the images +-sqrt(1 - z^2) of the lens and of the
// points 2 eps off it.
Singular lens_images_in_mu(double lens, double rho) {
    const double eps = std::max(1 / rho, LEAST_SCALE);
    const Complex above(0, 2 * eps);
    Singular ps;
    const Complex m_above = image_above(lens, above);
    for (const Complex m : {std::sqrt(1.0 - Complex(lens) * Complex(lens)), m_above,
                            std::conj(m_above)}) {
        ps.add(m);
        ps.add(-m);
    }
    return ps;
}

// The slope integrals int_a^b G(r) I'(r) dr of every piece, into
// `interior`, for a lens beyond the limb: a law in mu alone at any such
// lens, a table from FAR on; false (and nothing written) otherwise.
bool far_interiors(double lens, double rho, const Plan& plan, double* interior) {
    const Layout& layout = plan.layout;
    const std::size_t pieces = layout.laws.size();
    const bool in_mu = pieces == 1 && layout.laws[0].c1 == 0 && layout.laws[0].c2 != 0;
    if (in_mu) {
        // No disc holds the lens, so G(r) = r^2 M(r) is a function of r^2 =
        // 1 - mu^2, analytic over the whole source in mu (the centre, mu =
        // 1, included): the only singular points are the images of the
        // lens's, mu = +-sqrt(1 - z^2), which for a lens at l lie about
        // sqrt(l^2 - 1) off the limb, further than l - 1 lies off it in r.
        // A far lens's images (30 or more in the ellipse measure) leave one
        // piece of 8 nodes.
        const double c2 = layout.laws[0].c2;
        interior[0] = -c2 * march(0.0, 1.0, false, lens_images_in_mu(lens, rho), [&](const double* mu, double* out,
                                                            std::size_t n) {
            std::array<double, MARCH_NODES> r;
            for (std::size_t j = 0; j < n; ++j) {
                r[j] = mu_of(mu[j]);
            }
            disc_fluxes(lens, rho, r.data(), out, n);
        });
        return true;
    }
    if (!plan.in_r || lens < FAR || !plan.has_far) {
        return false;
    }
    bool sloped = false;
    for (const PieceLaw& law : layout.laws) {
        sloped = sloped || law.c1 != 0;
    }
    if (!sloped) {
        std::fill(interior, interior + pieces, 0.0);
        return true;
    }
    std::array<double, FAR_R_NODES> r{};
    std::array<double, FAR_R_NODES> g{};
    for (std::size_t j = 0; j < FAR_R_NODES; ++j) {
        r[j] = gl::RULE_12[j].t;
    }
    disc_fluxes(lens, rho, r.data(), g.data(), FAR_R_NODES);
    const std::array<double, FAR_R_NODES> c = legendre_coefficients(g);
    for (std::size_t i = 0; i < pieces; ++i) {
        const double c1 = layout.laws[i].c1;
        if (c1 == 0) {
            interior[i] = 0;
            continue;
        }
        // dr = dx / 2.
        interior[i] = c1 * (0.5 * interpolant_integral(c, plan.disc_far[i]));
    }
    return true;
}

// What a far lens needs of a table, formed once per call.
//
// A piece's slope integral int_a^b G(r) dr and the ring route's
// int_a^b F(r) (B(a) + c1 (r - a)) dr are integrals of the Legendre
// interpolant through the 12 nodes (see FAR), linear in its coefficients
// c_k.  The disc route keeps each piece's weights of the c_k, so that an
// element pays 12 products a piece and no increments.  The ring route needs
// only the sum over the pieces: its weights of the c_k add up over the
// table, and since the c_k are linear in the node values, the sum is
// sum_j w_j A_ring(r_j) with 12 weights w_j whatever the table's length.
void far_table_weights(Plan& plan) {
    const Layout& layout = plan.layout;
    const std::size_t pieces = layout.laws.size();
    plan.disc_far.resize(pieces);
    for (std::size_t i = 0; i < pieces; ++i) {
        const double ra = layout.edges[i];
        const double rb = layout.edges[i + 1];
        // x = 2 r - 1, the piece's length in x formed from its ends in r.
        const double h = 2 * (rb - ra);
        plan.disc_far[i] = integral_weights(legendre_increments(2 * ra - 1, h), h);
    }
    plan.has_far = true;
    plan.has_ring_far = false;
}

void form_ring_far(const Plan& plan) {
    const Layout& layout = plan.layout;
    const FarBasis& basis = far_basis();
    std::array<double, FAR_R_NODES> ring{};
    for (std::size_t i = 0; i < layout.laws.size(); ++i) {
        const PieceLaw& law = layout.laws[i];
        const double ra = layout.edges[i];
        const double at_a = law.value_at_offset(ra - law.r0, 0.0);
        if (at_a == 0 && law.c1 == 0) {
            continue;
        }
        // dr = dx / 2 and r - a = (x - x_a) / 2.
        for (std::size_t k = 0; k < FAR_R_NODES; ++k) {
            ring[k] += at_a * (0.5 * plan.disc_far[i][k]);
        }
        if (law.c1 != 0) {
            const double xa = 2 * ra - 1;
            const double h = 2 * (layout.edges[i + 1] - ra);
            const std::array<double, FAR_R_NODES> m =
                h >= NARROW_PIECE ? moment_weights(legendre_increments(xa, h), xa, h)
                                  : moment_weights_by_nodes(xa, h);
            for (std::size_t k = 0; k < FAR_R_NODES; ++k) {
                ring[k] += law.c1 * (0.25 * m[k]);
            }
        }
    }
    // c_k = sum_j basis[k][j] f_j, and the ring route's integrand is
    // 2 pi r A_ring(r).
    for (std::size_t j = 0; j < FAR_R_NODES; ++j) {
        double w = 0;
        for (std::size_t k = 0; k < FAR_R_NODES; ++k) {
            w += ring[k] * basis[k][j];
        }
        plan.ring_far[j] = w * (TWO_PI * gl::RULE_12[j].t);
    }
    plan.has_ring_far = true;
}

void make_plan(const Profile& profile, bool far, Plan& plan) {
    Layout& layout = plan.layout;
    piece_edges(profile, NaN, layout.edges);
    const std::size_t pieces = layout.edges.size() - 1;
    layout.laws.resize(pieces);
    plan.in_r = true;
    for (std::size_t k = 0; k < pieces; ++k) {
        layout.laws[k] = profile.law_on(layout.edges[k], layout.edges[k + 1]);
        plan.in_r = plan.in_r && layout.laws[k].c2 == 0;
    }
    plan.has_far = false;
    if (far && plan.in_r) {
        far_table_weights(plan);
    }
}

// The ring route for a lens beyond the limb and a law in mu alone, I = c0 +
// c2 mu: int_0^1 2 pi r A_ring(r) I dr = int_0^1 2 pi mu I A_ring(r(mu)) dmu.
// No ring holds the lens, so A_ring is a function of r^2 = 1 - mu^2,
// analytic in mu over the whole source, and the pieces grow from the limb
// away from the lens's images as the disc route's do.  Each ring's distance
// from the lens is formed as (1 - l) - mu^2 / (1 + r), exact where the
// ring and the lens both lie next to the limb.
double rings_beyond_limb(double lens, double rho, const PieceLaw& law) {
    return rings_in_mu(lens, rho, law, 1.0);
}

// The rings between the limb and mu = top (a piece on the limb's side of a
// lens inside the source, whose kink lies beyond top) in mu, where a law in
// mu alone is smooth up to the limb: the pieces grow from top towards the
// limb, away from the lens's image.  The same form as above otherwise.
double rings_in_mu(double lens, double rho, const PieceLaw& law, double top) {
    const double eps = 1 / rho;
    const double limb_off = 1 - lens;
    Singular points = lens_images_in_mu(lens, rho);
    if (top < 1) {
        // The branch points of r(mu) at the centre.
        points.add(1.0);
        points.add(-1.0);
    }
    const double from = top < 1 ? top : 0.0;
    const double to = top < 1 ? 0.0 : top;
    return march(from, to, false, points, [&](const double* mu, double* out, std::size_t n) {
        std::array<double, MARCH_NODES> l;
        std::array<double, MARCH_NODES> r;
        std::array<double, MARCH_NODES> d;
        for (std::size_t j = 0; j < n; ++j) {
            l[j] = lens;
            r[j] = mu_of(mu[j]);
            d[j] = limb_off - (mu[j] * mu[j]) / (1 + r[j]);
        }
        ring_elements(l.data(), r.data(), d.data(), eps, out, n);
        for (std::size_t j = 0; j < n; ++j) {
            const double term = (TWO_PI * mu[j]) * law.value(r[j], mu[j]) * out[j];
            // A failing kernel's ring counts as 0, as in the batches.
            out[j] = std::isfinite(term) ? term : 0.0;
        }
    });
}

// The ring route for a far lens and a profile that is a straight line in r
// on each piece (a flux map): F(r) = 2 pi r A_ring(r) is analytic over the
// source like G (see FAR), and the 12 rings at the Gauss nodes over [0, 1]
// give its Legendre interpolant, which each piece integrates exactly
// against its brightness B(a) + c1 (r - a).  False where a piece is not a
// straight line in r.
bool rings_far_table(double lens, double rho, const Plan& plan, double& total) {
    if (!plan.in_r || !plan.has_far) {
        return false;
    }
    if (!plan.has_ring_far) {
        form_ring_far(plan);
    }
    std::array<double, FAR_R_NODES> l{};
    std::array<double, FAR_R_NODES> r{};
    std::array<double, FAR_R_NODES> d{};
    std::array<double, FAR_R_NODES> f{};
    for (std::size_t j = 0; j < FAR_R_NODES; ++j) {
        l[j] = lens;
        r[j] = gl::RULE_12[j].t;
        d[j] = r[j] - lens;
    }
    ring_elements(l.data(), r.data(), d.data(), 1 / rho, f.data(), FAR_R_NODES);
    double sum = 0;
    for (std::size_t j = 0; j < FAR_R_NODES; ++j) {
        sum += plan.ring_far[j] * f[j];
    }
    total = sum;
    return std::isfinite(sum);
}

// The disc route, from int_0^1 2 pi r A_ring(r) I(r) dr = pi int_0^1 I(r) dG,
// G(r) = r^2 M(r), by parts over the whole radius:
//   pi sum_edges G(e) (I(e-) - I(e+)) - pi sum_pieces int G(r) I'(r) dr,
// with I = 0 beyond the limb.  Where I is continuous the edge terms vanish.
// The discs of an element's pieces that are straight lines in r and clear
// of the lens, gathered across pieces: such a piece's slope integral is one
// march over it, c1 int_a^b G(r) dr, and a table has many, each too short
// to fill the lanes alone.  The marches are laid out piece by piece, their
// discs evaluated a batch at a time, and each march's sum formed as
// interior_integral forms it.  Kept per thread, claimed once per element.
struct DiscGather {
    std::vector<double> r;
    std::vector<double> slope;
    std::vector<double> weight;
    std::vector<double> jacobian;
    std::vector<double> value;
    std::vector<std::size_t> piece_sizes;
    // Per piece of the profile: its march's number of pieces while its
    // discs wait, NONE once its interior integral is known.
    std::vector<std::size_t> march_pieces;
    // Per piece of the profile: the jump term at its inner edge (where the
    // brightness jumps there), and the interior integral of one integrated
    // on its own.
    std::vector<double> jump_terms;
    std::vector<bool> jumps;
    std::vector<double> interiors;
    static constexpr std::size_t NONE = static_cast<std::size_t>(-1);

    void clear() {
        r.clear();
        slope.clear();
        weight.clear();
        jacobian.clear();
        value.clear();
        piece_sizes.clear();
        march_pieces.clear();
        jump_terms.clear();
        jumps.clear();
        interiors.clear();
    }
    // Evaluates the gathered discs, c1 G(r), and forms the interior
    // integral of every piece gathered since `from` as interior_integral
    // does, 0 + (0 + the sum of its march pieces' sums); then lets the
    // nodes go, so that a long table holds a batch of nodes at a time.
    void resolve(double lens, double rho, std::size_t from) {
        value.resize(r.size());
        for (std::size_t done = 0; done < r.size();) {
            const std::size_t n = std::min(MARCH_NODES, r.size() - done);
            double* out = value.data() + done;
            disc_fluxes(lens, rho, r.data() + done, out, n);
            for (std::size_t j = 0; j < n; ++j) {
                out[j] *= slope[done + j];
            }
            done += n;
        }
        std::size_t node = 0;
        std::size_t piece = 0;
        for (std::size_t k = from; k < march_pieces.size(); ++k) {
            if (march_pieces[k] == NONE) {
                continue;
            }
            double sum = 0;
            for (std::size_t p = 0; p < march_pieces[k]; ++p, ++piece) {
                const std::size_t n = piece_sizes[piece];
                sum += piece_sum(value.data() + node, weight.data() + node,
                                 jacobian.data() + node, n);
                node += n;
            }
            interiors[k] = 0.0;
            interiors[k] += sum;
            march_pieces[k] = NONE;
        }
        r.clear();
        slope.clear();
        weight.clear();
        jacobian.clear();
        piece_sizes.clear();
    }
};

// Discs gathered before they are evaluated: some tens of microseconds of
// work, against which a partly filled last lane group is nothing, while the
// gathered nodes stay in the nearest cache.
constexpr std::size_t GATHER_NODES = 1024;

Element disc_element_integral(double lens, double rho, double whole, double norm,
                              const Profile& profile, const Plan& plan,
                              const Interrupt& interrupt) {
    if (lens < CENTRE) {
        lens = 0;  // see CENTRE
    }
    const Layout& layout = plan.layout;
    // Claimed for the element, which polls for signals while it holds it.
    const runtime::ScratchClaim<DiscGather> claim;
    DiscGather& gather = *claim;
    gather.clear();
    const std::size_t pieces = layout.edges.size() - 1;
    gather.interiors.resize(pieces);
    // A lens beyond the limb: no disc holds it (see far_interiors).
    const bool far = lens > 1 && far_interiors(lens, rho, plan, gather.interiors.data());
    PieceLaw left{0.0, 0.0, 0.0, 0.0};
    // The first piece whose discs may still wait.
    std::size_t pending = 0;
    for (std::size_t k = 0; k < pieces; ++k) {
        if (k != 0 && interrupted_at(interrupt, k, POLL_PIECES)) {
            return interrupted_element();
        }
        const double a = layout.edges[k];
        const double b = layout.edges[k + 1];
        const PieceLaw& law = layout.laws[k];
        double term = 0;
        bool jumps = false;
        if (a > 0) {
            const double mu = mu_of(a);
            const double jump = left.value(a, mu) - law.value(a, mu);
            if (jump != 0) {
                term = disc_flux(lens, rho, whole, a) * jump;
                jumps = true;
            }
        }
        gather.jump_terms.push_back(term);
        gather.jumps.push_back(jumps);
        left = law;
        if (far) {
            gather.march_pieces.push_back(DiscGather::NONE);
            continue;
        }
        if (law.c2 != 0 || (lens > a && lens < b)) {
            gather.interiors[k] = interior_integral(lens, rho, law, a, b);
            gather.march_pieces.push_back(DiscGather::NONE);
            continue;
        }
        // As interior_integral marches over a piece clear of the lens, from
        // the lens's kink where it is an end.
        std::size_t count = 0;
        if (law.c1 != 0) {
            const Singular points = disc_points_in_r(lens, rho, law, a, b);
            auto piece = [&](const MarchPiece& p) {
                const std::size_t n = p.size();
                const std::size_t at = gather.r.size();
                gather.r.resize(at + n);
                gather.weight.resize(at + n);
                gather.jacobian.resize(at + n);
                gather.slope.resize(at + n, law.c1);
                p.write(gather.r.data() + at, gather.weight.data() + at,
                        gather.jacobian.data() + at);
                gather.piece_sizes.push_back(n);
                ++count;
            };
            const MarchEnds e = march_ends(lens == 0, lens, a, b);
            march_layout(e.from, e.to, e.kink, points, piece);
        }
        gather.march_pieces.push_back(count);
        if (gather.r.size() >= GATHER_NODES) {
            gather.resolve(lens, rho, pending);
            pending = k + 1;
        }
    }
    gather.resolve(lens, rho, pending);
    // The terms in the order of the pieces.
    double total = 0;
    double size = 0;  // the sum of the terms' magnitudes
    for (std::size_t k = 0; k < pieces; ++k) {
        const double term = gather.jump_terms[k];
        if (gather.jumps[k]) {
            total += term;
            size += std::fabs(term);
        }
        const double interior = gather.interiors[k];
        total -= interior;
        size += std::fabs(interior);
    }
    // The limb, beyond which the profile is 0.
    const double limb = left.value(1.0, 0.0);
    total += whole * limb;
    size += std::fabs(whole * limb);
    if (size > CANCELLATION_LIMIT * std::fabs(total)) {
        return ring_element_integral(lens, rho, whole, norm, profile, plan, interrupt);
    }
    return ellip::success(PI * total / norm);
}

// The uniform-disc values of the whole source at the separations' sizes,
// into out, a block of lanes at a time; the first failing separation fails
// the call with its error.
runtime::Status whole_values(std::span<const double> l, double rho, std::span<double> out,
                             const Interrupt& interrupt) {
    static_assert(runtime::POLL_CHEAP % LANE_BLOCK == 0);
    std::array<double, LANE_BLOCK> x{};
    std::array<double, LANE_BLOCK> size{};
    size.fill(rho);
    for (std::size_t b = 0; b < l.size(); b += LANE_BLOCK) {
        if (interrupted_at(interrupt, b, runtime::POLL_CHEAP)) {
            return runtime::Status::interrupted();
        }
        const std::size_t n = std::min(LANE_BLOCK, l.size() - b);
        for (std::size_t j = 0; j < n; ++j) {
            x[j] = std::fabs(l[b + j]);
        }
        const std::size_t failed = witt_mao_elements(x.data(), size.data(), out.data() + b, n);
        if (failed < n) {
            return runtime::Status::failed(witt_mao_element(x[failed], rho).error());
        }
    }
    return runtime::Status::done();
}

// The disc route's whole-source values first, into out: its curve fails,
// before any quadrature, exactly where the uniform-disc model fails.  Then
// each element refines its whole-source value into the profile-weighted
// one.  The ring route takes no such estimate: its elements are handed NaN.
template <class ElementIntegral>
Outcome<Filled> integrated(std::span<const double> l, double re, double rstar,
                           const Profile& profile, std::span<double> out,
                           const Interrupt& interrupt, ElementIntegral&& element,
                           bool report_errors) {
    if (l.size() != out.size()) {
        fail_equal(l.size(), out.size(), __FILE__, __LINE__);
    }
    const double rho = source_size(re, rstar);
    const double norm = profile.norm();
    // The weights for a far lens pay only where some lens takes them.
    const bool any_far = std::any_of(l.begin(), l.end(), [](double x) {
        const double lens = std::fabs(x);
        return lens >= FAR && lens <= POINT_SOURCE;
    });
    Plan plan;
    make_plan(profile, any_far, plan);
    if (std::isnan(rho)) {
        std::fill(out.begin(), out.end(), NaN);
        return Filled{};
    }
    // The disc route refines the whole source's value; the ring route needs
    // it only for a lens that sees a point source, and takes it there.
    if (report_errors) {
        const runtime::Status whole = whole_values(l, rho, out, interrupt);
        if (!whole.ok()) {
            return outcome_of(whole);
        }
    } else {
        std::fill(out.begin(), out.end(), NaN);
    }
    // Each element is a quadrature, some microseconds to milliseconds: the
    // driver polls before every one.
    return outcome_of(drive(
        [&](double x, double whole_value) -> Element {
            const double lens = std::fabs(x);
            if (!std::isfinite(lens)) {
                return ellip::success(NaN);
            }
            // A profile of no flux keeps its 0/0 (see POINT_SOURCE).
            if (lens > POINT_SOURCE && std::isfinite(norm) && norm != 0) {
                if (report_errors) {
                    return ellip::success(whole_value);
                }
                const ellip::Result a = witt_mao_element(lens, rho);
                return ellip::success(a.ok() ? a.value() : NaN);
            }
            return element(lens, rho, whole_value, norm, profile, plan, interrupt);
        },
        l, out, interrupt, 1));
}

template <class ElementIntegral>
Outcome<Curve> integrated_curve(const Curve& l, double re, double rstar, const Profile& profile,
                                const Interrupt& interrupt, ElementIntegral&& element,
                                bool report_errors) {
    Curve curve(l.size());
    const Outcome<Filled> filled =
        integrated(l, re, rstar, profile, curve, interrupt, element, report_errors);
    if (!filled.ok()) {
        return filled.error();
    }
    return curve;
}

}  // namespace

Outcome<Curve> _integrated_witt_mao_magnification(Curve l, double re, double rstar,
                                                  const Profile& profile,
                                                  const Interrupt& interrupt) {
    return integrated_curve(l, re, rstar, profile, interrupt, disc_element_integral, true);
}

Outcome<Curve> _integrated_heyrovsky_magnification(Curve l, double re, double rstar,
                                                   const Profile& profile,
                                                   const Interrupt& interrupt) {
    return integrated_curve(l, re, rstar, profile, interrupt, ring_element_integral, false);
}

Outcome<Filled> _integrated_witt_mao_magnification_into(std::span<const double> l, double re,
                                                        double rstar, const Profile& profile,
                                                        std::span<double> out,
                                                        const Interrupt& interrupt) {
    return integrated(l, re, rstar, profile, out, interrupt, disc_element_integral, true);
}

Outcome<Filled> _integrated_heyrovsky_magnification_into(std::span<const double> l, double re,
                                                         double rstar, const Profile& profile,
                                                         std::span<double> out,
                                                         const Interrupt& interrupt) {
    return integrated(l, re, rstar, profile, out, interrupt, ring_element_integral, false);
}

double integrated_disc_element(double lens, double rho, const Profile& profile) {
    const double norm = profile.norm();
    const ellip::Result whole = witt_mao_element(lens, rho);
    if (!whole.ok() || std::isnan(norm)) {
        return NaN;
    }
    // The weights for a far lens pay only where one lens takes them.
    thread_local Plan plan;
    make_plan(profile, lens >= FAR, plan);
    const Element e = disc_element_integral(lens, rho, whole.value(), norm, profile, plan, {});
    return e.ok() ? e.value() : NaN;
}

Outcome<Curve> integrated_witt_mao_magnification(Curve l, double re, double rstar,
                                                 const Interrupt& interrupt) {
    return _integrated_witt_mao_magnification(std::move(l), re, rstar, LinearLimbDarkening{},
                                              interrupt);
}

Outcome<Curve> integrated_heyrovsky_magnification(Curve l, double re, double rstar,
                                                  const Interrupt& interrupt) {
    return _integrated_heyrovsky_magnification(std::move(l), re, rstar, LinearLimbDarkening{},
                                               interrupt);
}

}  // namespace models
