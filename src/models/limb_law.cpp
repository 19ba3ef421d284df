#include "models/limb_law.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "models/integrated.hpp"
#include "models/limb_law_batch.hpp"
#include "models/witt_mao.hpp"
#include "quadrature/gauss_legendre.hpp"
#include "runtime/thread_scratch.hpp"

namespace models {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double EPSILON = std::numeric_limits<double>::epsilon();

constexpr std::array<LawName, 8> LAWS{{
    {"uniform", LawKind::uniform, 0, "()"},
    {"linear", LawKind::linear, 1, "(a,)"},
    {"quadratic", LawKind::quadratic, 2, "(a, b)"},
    {"square-root", LawKind::square_root, 2, "(c, d)"},
    {"logarithmic", LawKind::logarithmic, 2, "(e, f)"},
    {"power-2", LawKind::power_2, 2, "(c, alpha)"},
    {"nonlinear", LawKind::nonlinear, 4, "(a1, a2, a3, a4)"},
    {"table", LawKind::table, 2, "(radii, brightnesses)"},
}};

// A polynomial law as a polynomial in s = sqrt(mu) of degree at most 4,
// lowest power first.
std::array<double, 5> polynomial_in_s(LawKind kind, std::span<const double> c) noexcept {
    switch (kind) {
        case LawKind::linear:  // 1 - a + a s^2
            return {1 - c[0], 0, c[0], 0, 0};
        case LawKind::quadratic: {  // 1 - a t - b t^2, t = 1 - s^2
            const double a = c[0];
            const double b = c[1];
            return {1 - a - b, 0, a + 2 * b, 0, -b};
        }
        case LawKind::square_root:  // 1 - c (1 - s^2) - d (1 - s)
            return {1 - c[0] - c[1], c[1], c[0], 0, 0};
        case LawKind::nonlinear:  // 1 - sum a_k (1 - s^k)
            return {1 - c[0] - c[1] - c[2] - c[3], c[0], c[1], c[2], c[3]};
        default:
            return {1, 0, 0, 0, 0};
    }
}

double evaluate(const std::array<double, 5>& p, double s) noexcept {
    return (((p[4] * s + p[3]) * s + p[2]) * s + p[1]) * s + p[0];
}

// A root of the increasing or decreasing f on [a, b] where f changes sign.
template <class F>
double bisect(F&& f, double a, double b) noexcept {
    const bool rising = f(a) < f(b);
    for (int i = 0; i < 200 && a < b; ++i) {
        const double m = 0.5 * (a + b);
        if (m <= a || m >= b) {
            break;
        }
        ((f(m) < 0) == rising ? a : b) = m;
    }
    return 0.5 * (a + b);
}

// The least value of the polynomial p on [0, 1]: at an end or where its
// derivative vanishes.  The derivative is monotone between the zeros of the
// second derivative, so each of those stretches holds at most one of its
// zeros, found by bisection.
double least_on_unit_interval(const std::array<double, 5>& p) noexcept {
    const std::array<double, 4> d1{p[1], 2 * p[2], 3 * p[3], 4 * p[4]};
    auto slope = [&](double s) { return ((d1[3] * s + d1[2]) * s + d1[1]) * s + d1[0]; };
    // p'' = 2 p2 + 6 p3 s + 12 p4 s^2.
    std::array<double, 4> stops{0, 1, 1, 1};
    std::size_t count = 1;
    const double qa = 12 * p[4];
    const double qb = 6 * p[3];
    const double qc = 2 * p[2];
    if (qa != 0) {
        const double disc = qb * qb - 4 * qa * qc;
        if (disc >= 0) {
            const double root = std::sqrt(disc);
            for (const double z : {(-qb - root) / (2 * qa), (-qb + root) / (2 * qa)}) {
                if (z > 0 && z < 1) {
                    stops[count++] = z;
                }
            }
        }
    } else if (qb != 0) {
        const double z = -qc / qb;
        if (z > 0 && z < 1) {
            stops[count++] = z;
        }
    }
    stops[count++] = 1;
    std::sort(stops.begin(), stops.begin() + static_cast<std::ptrdiff_t>(count));
    double least = std::min(evaluate(p, 0), evaluate(p, 1));
    for (std::size_t k = 0; k + 1 < count; ++k) {
        const double a = stops[k];
        const double b = stops[k + 1];
        if ((slope(a) < 0) != (slope(b) < 0)) {
            least = std::min(least, evaluate(p, bisect(slope, a, b)));
        }
    }
    return least;
}

// The brightness may dip below zero by the rounding of its coefficients at
// a law's boundary (linear with a = 1 is zero at the limb, say): below this
// it is negative.
double negative_below(std::span<const double> c) noexcept {
    double size = 1;
    for (const double x : c) {
        size += std::fabs(x);
    }
    return -8 * EPSILON * size;
}

constexpr double MAX_COEFFICIENT = 1e100;
// The steepest power-2 law taken (see problem()).
constexpr double MAX_ALPHA = 50;

// Only the table's shape matters: its brightnesses are scaled to a largest
// value of 1, so that a table of huge or tiny numbers neither overflows nor
// underflows in its flux; and radii below 1e-150 (a piece no wider than that
// at the centre, whose flux is below 1e-300 of the rest) are put at the
// centre, where the discs they would bound are too small for the closed form.
void normalise_table(std::vector<double>& radii, std::vector<double>& brightness) noexcept {
    double largest = 0;
    for (const double b : brightness) {
        largest = std::max(largest, b);
    }
    if (largest > 0) {
        for (double& b : brightness) {
            b /= largest;
        }
    }
    for (double& r : radii) {
        if (r < TINY_SOURCE) {
            r = 0;
        }
    }
}

}  // namespace

double point_lens(double u) noexcept {
    if (u > 1e100) {
        return 1;
    }
    return (u * u + 2) / (u * std::sqrt(u * u + 4));
}

std::span<const LawName> law_names() noexcept { return LAWS; }

const LawName* find_law(std::string_view name) noexcept {
    for (const LawName& law : LAWS) {
        if (name == law.name) {
            return &law;
        }
    }
    return nullptr;
}

const char* LimbLaw::problem(LawKind kind, std::span<const double> c) noexcept {
    for (const double x : c) {
        if (!std::isfinite(x)) {
            return "the coefficients must be finite";
        }
    }
    // Only the profile's shape matters, and no law needs coefficients
    // anywhere near this; beyond it their products (c alpha, say) could
    // overflow.
    for (const double x : c) {
        if (std::fabs(x) > MAX_COEFFICIENT) {
            return "the coefficients must not exceed 1e100 in size";
        }
    }
    const double floor = negative_below(c);
    switch (kind) {
        case LawKind::uniform:
        case LawKind::table:
            return nullptr;
        case LawKind::linear:
        case LawKind::quadratic:
        case LawKind::square_root:
        case LawKind::nonlinear:
            if (least_on_unit_interval(polynomial_in_s(kind, c)) < floor) {
                return "the brightness is negative somewhere on the disc";
            }
            return nullptr;
        case LawKind::logarithmic: {
            // I(mu) = 1 - e (1 - mu) - f mu ln mu; I' = e - f (1 + ln mu) vanishes
            // at most once, at mu = exp(e/f - 1).
            const double e = c[0];
            const double f = c[1];
            double least = std::min(1.0, 1 - e);
            if (f != 0) {
                const double mu = std::exp(e / f - 1);
                if (mu > 0 && mu < 1) {
                    least = std::min(least, 1 - e * (1 - mu) - f * (mu * std::log(mu)));
                }
            }
            return least < floor ? "the brightness is negative somewhere on the disc" : nullptr;
        }
        case LawKind::power_2:
            if (!(c[1] > 0)) {
                return "the exponent alpha must be positive";
            }
            // Beyond this the brightness is a core within a seventh of the
            // radius, which no star's profile comes near; the quadrature's
            // pieces follow it only at a cost that grows with alpha, and the
            // derivatives in rho lose their bound first.
            if (c[1] > MAX_ALPHA) {
                return "the exponent alpha must not exceed 50";
            }
            // Monotone in mu^alpha: the least brightness is at the centre or the limb.
            return 1 - c[0] < floor ? "the brightness is negative somewhere on the disc" : nullptr;
    }
    return nullptr;
}

const char* LimbLaw::table_problem(std::span<const double> radii,
                                   std::span<const double> brightness) noexcept {
    if (radii.size() != brightness.size()) {
        return "the radii and the brightnesses must be of the same length";
    }
    if (radii.empty()) {
        return "the table is empty";
    }
    for (std::size_t i = 0; i < radii.size(); ++i) {
        if (!(radii[i] >= 0 && radii[i] <= 1)) {
            return "the radii must lie in [0, 1]";
        }
        if (i > 0 && !(radii[i] >= radii[i - 1])) {
            return "the radii must be ascending";
        }
        if (!std::isfinite(brightness[i])) {
            return "the brightnesses must be finite";
        }
        if (brightness[i] < 0) {
            return "the brightness is negative somewhere on the disc";
        }
    }
    std::vector<double> r(radii.begin(), radii.end());
    std::vector<double> b(brightness.begin(), brightness.end());
    normalise_table(r, b);
    const FluxMap map(r, b);
    if (!(map.norm() > 0)) {
        return "the profile has no flux";
    }
    return nullptr;
}

LimbLaw::LimbLaw(LawKind kind, std::span<const double> coefficients)
    : kind_(kind), coefficients_(coefficients.begin(), coefficients.end()) {
    build_basis();
    if (kind_ != LawKind::uniform) {
        far_moments_ = far_field::moments(kind_, coefficients_, flux_);
    }
}

LimbLaw::LimbLaw(std::vector<double> radii, std::vector<double> brightness)
    : kind_(LawKind::table), radii_(std::move(radii)), brightness_(std::move(brightness)) {
    normalise_table(radii_, brightness_);
    rebuild_table();
}

LimbLaw::LimbLaw(const LimbLaw& other)
    : kind_(other.kind_),
      slope_(other.slope_),
      limb_(other.limb_),
      flux_(other.flux_),
      power_weights_(other.power_weights_),
      power_weights_12_(other.power_weights_12_),
      far_moments_(other.far_moments_),
      coefficients_(other.coefficients_),
      radii_(other.radii_),
      brightness_(other.brightness_) {
    rebuild_table();
}

LimbLaw& LimbLaw::operator=(const LimbLaw& other) {
    // A copy first, then the move: a failed copy leaves this law as it was.
    if (this != &other) {
        *this = LimbLaw(other);
    }
    return *this;
}

LimbLaw::LimbLaw(LimbLaw&& other) noexcept
    : kind_(other.kind_),
      slope_(other.slope_),
      limb_(other.limb_),
      flux_(other.flux_),
      power_weights_(other.power_weights_),
      power_weights_12_(other.power_weights_12_),
      far_moments_(other.far_moments_),
      coefficients_(std::move(other.coefficients_)),
      radii_(std::move(other.radii_)),
      brightness_(std::move(other.brightness_)),
      table_(std::exchange(other.table_, nullptr)) {
    other.kind_ = LawKind::uniform;
}

LimbLaw& LimbLaw::operator=(LimbLaw&& other) noexcept {
    if (this != &other) {
        delete table_;
        kind_ = other.kind_;
        slope_ = other.slope_;
        limb_ = other.limb_;
        flux_ = other.flux_;
        power_weights_ = other.power_weights_;
        power_weights_12_ = other.power_weights_12_;
        far_moments_ = other.far_moments_;
        coefficients_ = std::move(other.coefficients_);
        radii_ = std::move(other.radii_);
        brightness_ = std::move(other.brightness_);
        table_ = std::exchange(other.table_, nullptr);
        other.kind_ = LawKind::uniform;
    }
    return *this;
}

LimbLaw::~LimbLaw() { delete table_; }

void LimbLaw::rebuild_table() {
    if (kind_ == LawKind::table) {
        table_ = new FluxMap(radii_, brightness_);
    }
}

double LimbLaw::brightness(double mu) const noexcept {
    const std::span<const double> c = coefficients_;
    switch (kind_) {
        case LawKind::uniform:
            return 1;
        case LawKind::linear:
        case LawKind::quadratic:
        case LawKind::square_root:
        case LawKind::nonlinear:
            return evaluate(polynomial_in_s(kind_, c), std::sqrt(mu));
        case LawKind::logarithmic:
            return mu > 0 ? 1 - c[0] * (1 - mu) - c[1] * (mu * std::log(mu)) : 1 - c[0];
        case LawKind::power_2:
            return 1 - c[0] * (1 - std::pow(mu, c[1]));
        case LawKind::table:
            return (*table_)(std::sqrt((1 - mu) * (1 + mu)));
    }
    return NaN;
}

double LimbLaw::magnification(double u, double rho) const {
    const double distance = std::fabs(u);
    if (std::isnan(distance)) {
        return NaN;
    }
    if (rho == 0) {
        return point_lens(distance);
    }
    const double lens = distance / rho;
    // A lens beyond the largest double of source radii: the source's size
    // changes the magnification by far less than an ulp.
    if (!std::isfinite(lens)) {
        return point_lens(distance);
    }
    // A source below 1e-150 Einstein radii (where the closed form's
    // intermediate squares underflow): a lens more than 1e10 source radii
    // away sees a point to 1e-20; nearer, the magnification is that of the
    // small-source limit, F(u / rho) / rho to O(rho), so it is the value of a
    // source of 1e-150 Einstein radii at the same separation in source
    // radii, scaled by the ratio of the sizes.
    if (rho < TINY_SOURCE) {
        if (lens > FAR_POINT) {
            return point_lens(distance);
        }
        return magnification(lens * TINY_SOURCE, TINY_SOURCE) * (TINY_SOURCE / rho);
    }
    if (kind_ == LawKind::uniform) {
        const ellip::Result whole = witt_mao_element(lens, rho);
        return whole.ok() ? whole.value() : NaN;
    }
    // More than 1e10 source radii away the source's size changes the
    // magnification by less than 1e-20 of itself (and the discs of the
    // quadrature would lie beyond the largest double of their radii).
    if (lens > FAR_POINT) {
        return point_lens(distance);
    }
    // Far from the lens the mean-value series of the point lens over the
    // source is exact to rounding and several times cheaper than the
    // quadrature; its excess over 1 is formed directly and is not negative
    // for any brightness that is nowhere negative (the max guards a law
    // whose brightness dips below 0 by rounding at its boundary).
    if (kind_ != LawKind::table && lens >= far_field::THRESHOLD) {
        return std::max(1 + far_field::excess(far_moments_, distance, lens), 1.0);
    }
    const double value =
        kind_ == LawKind::table ? integrated_disc_element(lens, rho, *table_) : darkened(lens, rho);
    // A point lens never demagnifies; far from a large source the quadrature
    // of the table can round to an ulp below 1.
    return std::max(value, 1.0);
}

bool LimbLaw::takes_quadrature(double distance, double rho, double& lens) const noexcept {
    // The steps of magnification() before it reaches darkened(): every other
    // point (NaN, a point source, a tiny or remote source, the far field, the
    // uniform disc, a table) is left to it.
    if (kind_ == LawKind::uniform || kind_ == LawKind::table || std::isnan(distance) ||
        rho == 0 || rho < TINY_SOURCE) {
        return false;
    }
    lens = distance / rho;
    return lens <= FAR_POINT && lens < far_field::THRESHOLD;
}

namespace {

// The batch's queue of discs and the layout of the point being queued.
struct BatchScratch {
    static constexpr std::size_t ROOM = law_batch::DISCS + LimbLaw::Nodes::CAPACITY + 1;
    std::array<double, ROOM> separation;
    std::array<double, ROOM> disc_radius;
    std::array<double, ROOM> m;
    std::array<double, ROOM> w;
    std::array<double, ROOM> x;
    LimbLaw::Nodes nodes;
};

}  // namespace

template <class Radius>
void LimbLaw::magnifications_of(const double* u, Radius radius, double* out,
                                std::size_t n) const {
    // Plain references, not a structured binding: the flush below captures
    // them, which Clang before 16 refuses for bindings.
    BatchScratch& scratch = runtime::thread_scratch<BatchScratch>();
    auto& separation = scratch.separation;
    auto& disc_radius = scratch.disc_radius;
    auto& m = scratch.m;
    auto& w = scratch.w;
    auto& x = scratch.x;
    auto& nodes = scratch.nodes;
    // Per queued point: where its value goes, its first disc and its nodes'
    // count (the whole source's disc follows them).
    std::array<std::size_t, law_batch::POINTS> at;
    std::array<std::size_t, law_batch::POINTS> first;
    std::array<std::size_t, law_batch::POINTS> count;
    std::size_t points = 0;
    std::size_t discs = 0;
    // Sums each queued point through from_discs(), as darkened() does, so
    // that its value is magnification()'s bit for bit.
    auto flush = [&] {
        // A disc whose kernel fails leaves NaN, which carries into the sum.
        (void)witt_mao_elements(separation.data(), disc_radius.data(), m.data(), discs);
        for (std::size_t p = 0; p < points; ++p) {
            const std::size_t a = first[p];
            const std::size_t k = count[p];
            const double value = from_discs(w.data() + a, x.data() + a, m.data() + a, k);
            out[at[p]] = std::max(value, 1.0);
        }
        points = 0;
        discs = 0;
    };
    for (std::size_t i = 0; i < n; ++i) {
        const double rho = radius(i);
        const double distance = std::fabs(u[i]);
        double lens = 0;
        if (!takes_quadrature(distance, rho, lens)) {
            out[i] = magnification(u[i], rho);
            continue;
        }
        layout(lens, rho, nodes);
        const std::size_t k = nodes.count;
        nodes.discs(rho, separation.data() + discs, disc_radius.data() + discs);
        nodes.weights(slope_, w.data() + discs);
        std::copy_n(nodes.x.data(), k, x.data() + discs);
        separation[discs + k] = nodes.lens;
        disc_radius[discs + k] = rho;
        at[points] = i;
        first[points] = discs;
        count[points] = k;
        ++points;
        discs += k + 1;
        if (discs >= law_batch::DISCS || points == law_batch::POINTS) {
            flush();
        }
    }
    if (points > 0) {
        flush();
    }
}

void LimbLaw::magnifications(const double* u, const double* rho, double* out,
                             std::size_t n) const {
    magnifications_of(u, law_batch::PerPointRadius{rho}, out, n);
}

void LimbLaw::magnifications(const double* u, double rho, double* out, std::size_t n) const {
    magnifications_of(u, law_batch::OneRadius{rho}, out, n);
}

void LimbLaw::build_basis() {
    const std::span<const double> c = coefficients_;
    Slope& g = slope_;
    switch (kind_) {
        case LawKind::uniform:
        case LawKind::table:
            return;
        case LawKind::linear:  // I' = a
            g.p[1] = 2 * c[0];
            limb_ = 1 - c[0];
            flux_ = 1 - c[0] / 3;
            return;
        case LawKind::quadratic:  // I' = a + 2 b (1 - mu)
            g.p[1] = 2 * c[0] + 4 * c[1];
            g.p[3] = -4 * c[1];
            limb_ = 1 - c[0] - c[1];
            flux_ = 1 - c[0] / 3 - c[1] / 6;
            return;
        case LawKind::square_root:  // I' = c + d / (2 sqrt(mu))
            g.p[0] = c[1];
            g.p[1] = 2 * c[0];
            limb_ = 1 - c[0] - c[1];
            flux_ = 1 - c[0] / 3 - c[1] / 5;
            return;
        case LawKind::logarithmic:  // I' = e - f (1 + ln mu)
            g.p[1] = 2 * (c[0] - c[1]);
            g.lambda = -4 * c[1];
            limb_ = 1 - c[0];
            flux_ = 1 - c[0] / 3 + 2 * c[1] / 9;
            return;
        case LawKind::power_2:  // I' = c alpha mu^(alpha - 1)
            g.kappa = 2 * c[0] * c[1];
            g.beta = 2 * c[1] - 1;
            g.beta_plus_one = 2 * c[1];
            g.kappa_over_gamma = c[0];
            limb_ = 1 - c[0];
            flux_ = 1 - c[0] * c[1] / (c[1] + 2);
            power_weights_ = quadrature::gauss_legendre::power_weights_16(g.beta_plus_one);
            power_weights_12_ = quadrature::gauss_legendre::power_weights(
                g.beta_plus_one, quadrature::gauss_legendre::RULE_12);
            return;
        case LawKind::nonlinear:  // I' = sum_k a_k (k/2) mu^(k/2 - 1)
            limb_ = 1;
            flux_ = 1;
            for (std::size_t k = 1; k <= 4; ++k) {
                const double a = c[k - 1];
                const double kk = static_cast<double>(k);
                g.p[k - 1] = kk * a;
                limb_ -= a;
                flux_ -= a * kk / (kk + 4);
            }
            return;
    }
}

}  // namespace models
