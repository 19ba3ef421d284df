// The magnification of a limb-darkened source: the quadrature of the
// uniform-disc magnification against the law's slope, over fixed
// Gauss-Legendre pieces laid out around the lens and the limb.
#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <tuple>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "models/limb_law.hpp"
#include "models/limb_law_kink_rule.hpp"
#include "models/limb_law_powers.hpp"
#include "models/witt_mao.hpp"
#include "quadrature/gauss_legendre.hpp"
#include "runtime/thread_scratch.hpp"

namespace models {

namespace {

using Complex = std::complex<double>;
namespace gl = quadrature::gauss_legendre;

// The IEEE square root, as std::sqrt gives it, without the library call
// that std::sqrt keeps beside the instruction for a negative argument (to
// set errno, which the build leaves on): that test and branch after every
// root cost the layout more than the roots themselves, and a NaN comes out
// of the instruction all the same.
inline double root(double v) noexcept {
#if defined(__SSE2__)
    return _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(v)));
#else
    return std::sqrt(v);
#endif
}

// The quadrature of the limb-darkened source, from the uniform disc by
// parts.  With M(x) the magnification of the disc of radius x (source radii)
// about the source's centre and E(x) = x^2 (M(x) - 1) its excess flux,
//   A = 1 + [I(0) E(1) + int_0^1 E(x) I'(mu) dmu] / N,
// mu = sqrt(1 - x^2), N = int_0^1 2 mu I dmu.  The integral is split into
// pieces on which the integrand is smooth and each piece takes a fixed
// Gauss-Legendre rule:
//  - near the limb in s = sqrt(mu), where every law's slope becomes a
//    polynomial in s, apart from the logarithmic law's s ln s and the
//    power law's s^(2 alpha - 1), which the piece that reaches the limb
//    integrates with product weights;
//  - near the centre in x, where E is smooth in x and not in s;
//  - at the lens (x = l inside the source) E is P(y) + y ln|y| Q(y) in
//    y = x - l, P and Q smooth on both sides alike: one piece centred on
//    the lens takes a symmetric rule exact for y^2k and y^2k ln|y| (and,
//    by its symmetry, for every odd function), with a node on the lens
//    itself, where the disc's limb passes through the lens and its
//    magnification is a closed form.  It keeps its nodes at least 6% of
//    its half-width from the lens: a rule graded towards the kink would
//    put discs whose limb all but touches the lens, which the disc kernel
//    serves an order of magnitude more slowly;
//  - further pieces grow geometrically away from the nearby singular
//    points of the integrand, each piece no longer than its distance from
//    them: the kink, the limb (s = 0), and the points where the point-lens
//    magnification is singular in the complex plane, the lens's Einstein
//    radius (1/rho source radii) off the kink.
// A piece with a singular point at its own distance converges like
// (3 + sqrt 8)^-2n, 1e-12 for n = 8.

enum class Space { x, s };

struct Piece {
    Space space;
    double a;
    double b;
    bool clear;  // no singular point within the ellipse of CLEAR_RHO: 6 nodes serve
};

// Points singular for the integrand in one variable; at most a dozen.
struct Points {
    // Real and imaginary parts apart, and not cleared: a layout makes
    // several lists, and only the first n entries are ever read.
    std::array<double, 16> re;
    std::array<double, 16> im;
    std::size_t n = 0;
    void add(Complex p) noexcept {
        if (n < re.size()) {
            re[n] = p.real();
            im[n] = p.imag();
            ++n;
        }
    }
    [[nodiscard]] Complex at(std::size_t k) const noexcept { return {re[k], im[k]}; }
};

// The principal square root of a + ib in real arithmetic: the library's
// complex root and products guard infinities and extreme scales at several
// times the cost, and the points only place pieces, so a rounding's
// difference moves nothing that matters.  Outside 1e-150..1e150 (where
// a^2 + b^2 could underflow or overflow: a source below 1e-146 Einstein
// radii sets the scale 1/rho) the library's root serves.
Complex principal_sqrt(double a, double b) noexcept {
    const double size = std::max(std::fabs(a), std::fabs(b));
    if (!(size > 1e-150 && size < 1e150)) {
        return std::sqrt(Complex(a, b));
    }
    const double r = root(a * a + b * b);
    if (a >= 0) {
        const double t = root((r + a) / 2);
        return {t, b / (2 * t)};
    }
    const double t = root((r - a) / 2);
    return {std::fabs(b) / (2 * t), std::copysign(t, b)};
}

// x[i] = sqrt((1 - s^2) (1 + s^2)), the disc's radius at s[i], for an even
// n, two at a time (each lane the scalar operation's bits).
void radii_of_s(const double* s, double* x, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; i += 2) {
#if defined(__SSE2__)
        const __m128d one = _mm_set1_pd(1.0);
        const __m128d v = _mm_loadu_pd(s + i);
        const __m128d square = _mm_mul_pd(v, v);
        _mm_storeu_pd(x + i, _mm_sqrt_pd(_mm_mul_pd(_mm_sub_pd(one, square), _mm_add_pd(one, square))));
#else
        for (std::size_t k = i; k < i + 2; ++k) {
            x[k] = root((1 - s[k] * s[k]) * (1 + s[k] * s[k]));
        }
#endif
    }
}

// The images in s = (1 - x^2)^(1/4) of a point x: all four fourth roots,
// the principal one turned by i, i^2 and i^3 (exact: the parts swap).
void add_images(Points& points, Complex x) noexcept {
    const double a = x.real();
    const double b = x.imag();
    const Complex square = principal_sqrt(1 - (a * a - b * b), -(2 * (a * b)));
    const Complex fourth = principal_sqrt(square.real(), square.imag());
    points.add(fourth);
    points.add(Complex(-fourth.imag(), fourth.real()));
    points.add(Complex(-fourth.real(), -fourth.imag()));
    points.add(Complex(fourth.imag(), -fourth.real()));
}

// The images of x and of its conjugate, which are theirs conjugated: the
// square root above and the turns commute with conjugation (up to the sign
// of a zero part, which no distance sees).
void add_images_and_conjugates(Points& points, Complex x) noexcept {
    const std::size_t first = points.n;
    add_images(points, x);
    const std::size_t last = points.n;
    for (std::size_t k = first; k < last; ++k) {
        points.add(std::conj(points.at(k)));
    }
}

// The images of a real x: on the axes when x is inside the unit disc, where
// the complex root of the positive real 1 - x^2 is its real root.
void add_real_images(Points& points, double x) noexcept {
    const double w = 1 - x * x;
    if (!(w >= 0)) {
        add_images(points, Complex(x));
        return;
    }
    const double r = root(root(w));
    points.add(Complex(r, 0));
    points.add(Complex(0, r));
    points.add(Complex(-r, 0));
    points.add(Complex(0, -r));
}

// The least modulus of the points (infinity for none): the root of the
// least squared modulus, which is the least root exactly, since the
// correctly rounded root is monotone; one root instead of one per point.
double nearest(const Points& points) noexcept {
    double even = std::numeric_limits<double>::infinity();
    double odd = even;
    std::size_t k = 0;
    for (; k + 2 <= points.n; k += 2) {
        even = std::min(even, points.re[k] * points.re[k] + points.im[k] * points.im[k]);
        odd = std::min(odd, points.re[k + 1] * points.re[k + 1] + points.im[k + 1] * points.im[k + 1]);
    }
    if (k < points.n) {
        even = std::min(even, points.re[k] * points.re[k] + points.im[k] * points.im[k]);
    }
    return root(std::min(even, odd));
}

// The piece centred on the kink reaches half as far as the nearest other
// singular point: the symmetric rule then converges like a Gauss rule with
// the singularity at twice its half-width, to below 1e-15 of the piece.
constexpr double FIRST = 2;
// A piece reaching towards a singular point ahead stops at this fraction of
// its distance.
constexpr double AHEAD = 2;

constexpr bool power_of_two(double f) {
    double p = 1;
    while (p < f) {
        p *= 2;
    }
    return p == f;
}
// march() and the piece at the kink compare squared distances, exact only
// for such factors.
static_assert(power_of_two(FIRST) && power_of_two(AHEAD));
// Where x gives way to s: the centre's side of the source is smooth in x.
constexpr double X_MID = 0.75;
// A kink beyond this is integrated in s on both sides: inside it the discs
// miss the lens and E is a series in x^2 = 1 - s^4, smooth in s up to the
// centre.  Nearer the centre the kink crowds s = 1 (1 - s ~ l^2 / 4), and
// the piece centred on it could not reach out further than s = 1 towards
// the centre: the pieces in x, which reach to X_MID, serve better.
constexpr double X_KINK_IN_S = 0.3;
// The piece at the limb is at least this long in s: a lens within an ulp of
// the limb makes E ~ s^4 ln s there, whose share is below 1e-12 on it.
constexpr double LIMB_PIECE = 1e-2;
// A lens closer than this to the centre is put at the centre: the
// magnification is even and smooth in the lens's offset, which changes it
// by (1e-6)^2 relative.
constexpr double CENTRE = 1e-6;
// The Einstein radius taken for laying out pieces: for sources larger than
// 1e4 Einstein radii the excess magnification is below 1e-8 and the lens's
// own scale needs no pieces of its own.
constexpr double LEAST_SCALE = 1e-4;
constexpr std::size_t MAX_PIECES = LimbLaw::Nodes::MAX_PIECES;
// A Gauss rule of n nodes on a piece converges like rho^-2n, rho the sum of
// the semi-axes of the largest ellipse about the piece (foci at its ends,
// in half-lengths) clear of singular points.  The march lets a singular
// point come as near as rho = 3 + sqrt 8, where 8 nodes leave
// (3 + sqrt 8)^-16; 6 nodes leave no more where rho >= (3 + sqrt 8)^(4/3),
// and the ellipse of that rho is tested on its semi-axes' squares.
constexpr double CLEAR_RHO = 10.49;
constexpr double CLEAR_A = (CLEAR_RHO + 1 / CLEAR_RHO) / 2;
constexpr double CLEAR_B = (CLEAR_RHO - 1 / CLEAR_RHO) / 2;

// Whether every point lies outside the ellipse of CLEAR_RHO about [a, b].
bool clear_of(const Points& points, double a, double b) noexcept {
    const double c = (a + b) / 2;
    const double h = std::fabs(b - a) / 2;
    const double aa = (CLEAR_A * CLEAR_A) * (h * h);
    const double bb = (CLEAR_B * CLEAR_B) * (h * h);
    for (std::size_t k = 0; k < points.n; ++k) {
        const double dx = points.re[k] - c;
        const double dy = points.im[k];
        if ((dx * dx) * bb + (dy * dy) * aa < aa * bb) {
            return false;
        }
    }
    return true;
}

// The least over the points of the squared distance from c, those ahead
// (on the side of `sign`) divided by AHEAD^2.  The scaling by a power of
// two is exact, so it is a multiplication; two running minima halve the
// chain of comparisons, and the least of a set is the same in any order
// (std::min passes over a NaN wherever it stands).
double least_square(const Points& points, double c, double sign) noexcept {
    constexpr double INF = std::numeric_limits<double>::infinity();
    constexpr double AHEAD_SCALE = 1 / (AHEAD * AHEAD);
    double even = INF;
    double odd = INF;
    std::size_t k = 0;
    auto scaled = [&](std::size_t j) {
        const double dx = points.re[j] - c;
        const double dy = points.im[j];
        const double square = dx * dx + dy * dy;
        return square * (dx * sign <= 0 ? 1.0 : AHEAD_SCALE);
    };
    for (; k + 2 <= points.n; k += 2) {
        even = std::min(even, scaled(k));
        odd = std::min(odd, scaled(k + 1));
    }
    if (k < points.n) {
        even = std::min(even, scaled(k));
    }
    return std::min(even, odd);
}

// A steep power law's slope, kappa s^beta with a large beta (the power-2
// law with a large exponent, whose brightness is a core about the centre),
// is entire but changes by a factor e over s / beta in s and over
// 1 / sqrt(beta) about the centre in x; a Gauss rule of 8 nodes leaves
// about 2e-18 of a piece only where the piece's half-length times that rate
// is at most 1, and no singular point bounds the pieces there.  So where
// the power is not negligible the march also keeps each piece that short.
// Other laws (and beta <= 3) keep the singular points' march alone.
// The bound's factor: a piece at most STEEP_STEP over the slope's rate.
constexpr double STEEP_STEP = 2;
// Below e^-40 of its peak the power is far below an ulp of the integral,
// and the pieces there keep the singular points' march alone.
constexpr double NEGLIGIBLE_LOG = -40;

struct Steepness {
    double beta = 0;       // 0: no bound
    double s_floor = 0;    // below it s^beta < e^-40
    double x_ceiling = 1;  // beyond it likewise, x = sqrt(1 - s^4)
    double curvature = 0;  // the rate's floor about the centre, sqrt(beta / 2)

    explicit Steepness(const LimbLaw::Slope& g) noexcept {
        if (g.kappa != 0 && g.beta > 3) {
            beta = g.beta;
            s_floor = std::exp(NEGLIGIBLE_LOG / beta);
            x_ceiling = root(-std::expm1(4 * NEGLIGIBLE_LOG / beta));
            curvature = root(beta / 2);
        }
    }
    // The rate of change of the log of s^beta = (1 - x^2)^(beta/4) in x,
    // with the floor that covers its curvature at the centre.
    [[nodiscard]] double rate_x(double x) const noexcept {
        return 0.5 * beta * x / ((1 - x) * (1 + x)) + curvature;
    }
    // The length of the next piece from `cur` (towards `sign`), at most
    // `length`.
    [[nodiscard]] double bound(Space space, double cur, double sign, double length) const noexcept {
        if (beta == 0) {
            return length;
        }
        if (space == Space::s) {
            // The rate beta / s is largest at the piece's lower end.
            if (sign > 0) {
                if (cur + length <= s_floor) {
                    return length;
                }
                return std::min(length, std::max(s_floor - cur, STEEP_STEP * cur / beta));
            }
            if (cur <= s_floor) {
                return length;
            }
            return std::min(length, STEEP_STEP * cur / (beta + STEEP_STEP));
        }
        // In x the rate grows outwards: upwards it is taken at the far end
        // of a first guess, which only shortens the piece.
        if (sign > 0) {
            if (cur >= x_ceiling) {
                return length;
            }
            const double guess = std::min(length, STEEP_STEP / rate_x(cur));
            return std::min(length, STEEP_STEP / rate_x(std::min(cur + guess, x_ceiling)));
        }
        return std::min(length, STEEP_STEP / rate_x(std::min(cur, x_ceiling)));
    }
    // The half-width of the piece centred on the kink at c, at most `half`.
    [[nodiscard]] double kink_bound(Space space, double c, double half) const noexcept {
        if (beta == 0) {
            return half;
        }
        if (space == Space::s) {
            if (c + half <= s_floor) {
                return half;
            }
            return std::min(half, STEEP_STEP * c / (2 * beta + STEEP_STEP));
        }
        if (c - half >= x_ceiling) {
            return half;
        }
        return std::min(half, STEEP_STEP / (2 * rate_x(std::min(c + half, x_ceiling))));
    }
};

template <class Emit>
void march(Space space, double a, double b, const Points& points, const Steepness& steep,
           Emit&& emit) {
    const double sign = b > a ? 1.0 : -1.0;
    double cur = a;
    for (std::size_t count = 0; (b - cur) * sign > 0 && count < MAX_PIECES; ++count) {
        // The nearest point, each distance divided by its factor, found on
        // the squares: the factors are powers of two, so the square root of
        // the least square over the factor squared is the least quotient
        // exactly.
        const double least = least_square(points, cur, sign);
        const double length =
            steep.bound(space, cur, sign, std::min(std::fabs(b - cur), root(least)));
        double next = cur + sign * length;
        if (std::fabs(b - next) < 1e-3 * length || count + 1 == MAX_PIECES) {
            next = b;
        }
        emit(Piece{space, cur, next, clear_of(points, cur, next)});
        cur = next;
    }
}

}  // namespace

void LimbLaw::layout(double lens, double rho, Nodes& nodes) const noexcept {
    const Slope& g = slope_;
    const Steepness steep(g);
    const double eps = std::max(1 / rho, LEAST_SCALE);
    double xl = lens;
    if (xl < CENTRE) {
        xl = 0;
    }
    nodes.count = 0;
    nodes.lens = xl;
    nodes.product_count = 0;
    nodes.product_rule = Nodes::ProductRule::none;
    nodes.product_length = 0;
    // A node of measure m at (x, s); a disc of radius 0 has no excess flux
    // and is left out.
    auto add = [&](double x, double s, double m, double log_part, double power_part) {
        if (x == 0 || nodes.count == Nodes::CAPACITY) {
            return;
        }
        const std::size_t i = nodes.count++;
        nodes.x[i] = x;
        nodes.s[i] = s;
        nodes.measure[i] = m;
        nodes.log_part[i] = log_part;
        nodes.power_part[i] = power_part;
    };
    // The nodes from `first` on are the product-weighted piece [0, d] at
    // the limb; it is always laid out first.
    auto product = [&](std::size_t first, Nodes::ProductRule rule, double d) {
        nodes.product_count = nodes.count - first;
        nodes.product_rule = rule;
        nodes.product_length = d;
    };
    // A node off the limb piece: its singular parts are the plain rule's,
    // m s ln s and m gamma s^beta, formed for all such nodes at the end.
    auto add_plain = [&](double x, double s, double m) { add(x, s, m, 0.0, 0.0); };
    auto x_of_s = [](double s) { return root((1 - s * s) * (1 + s * s)); };

    // A node at v in the piece's variable, of measure m in it.
    auto node_at = [&](Space space, double v, double m) {
        if (space == Space::s) {
            add_plain(x_of_s(v), v, m);
        } else {
            // I'(mu) dmu = I'(mu) (x / mu) dx, and I'(mu) = g(s) / (2 s).
            const double mu = root((1 - v) * (1 + v));
            const double s = root(mu);
            add_plain(v, s, m * ((v / mu) / (2 * s)));
        }
    };
    // Two nodes at once, at v0 and v1 of measures m0 and m1, added in that
    // order: each lane of a packed root, product or quotient is the scalar
    // operation's bits, and a pair costs about what one node did.
    auto node_pair = [&](Space space, double v0, double v1, double m0, double m1) {
#if defined(__SSE2__)
        const __m128d one = _mm_set1_pd(1.0);
        const __m128d v = _mm_set_pd(v1, v0);
        __m128d m = _mm_set_pd(m1, m0);
        alignas(16) double xs[2];
        alignas(16) double ss[2];
        alignas(16) double ms[2];
        if (space == Space::s) {
            const __m128d square = _mm_mul_pd(v, v);
            _mm_store_pd(xs, _mm_sqrt_pd(_mm_mul_pd(_mm_sub_pd(one, square), _mm_add_pd(one, square))));
            _mm_store_pd(ss, v);
        } else {
            const __m128d mu = _mm_sqrt_pd(_mm_mul_pd(_mm_sub_pd(one, v), _mm_add_pd(one, v)));
            const __m128d root_mu = _mm_sqrt_pd(mu);
            const __m128d twice = _mm_mul_pd(_mm_set1_pd(2.0), root_mu);
            m = _mm_mul_pd(m, _mm_div_pd(_mm_div_pd(v, mu), twice));
            _mm_store_pd(xs, v);
            _mm_store_pd(ss, root_mu);
        }
        _mm_store_pd(ms, m);
        add_plain(xs[0], ss[0], ms[0]);
        add_plain(xs[1], ss[1], ms[1]);
#else
        node_at(space, v0, m0);
        node_at(space, v1, m1);
#endif
    };
    // The piece [c - half, c + half] centred on the kink at c, where the
    // disc's radius is the lens's own distance xl exactly (so that its
    // limb passes through the lens).
    auto kink_piece = [&](Space space, double c, double half) {
        const double centre = 2 * kink_rule::CENTRE_WEIGHT * half;
        if (space == Space::s) {
            add_plain(xl, c, centre);
        } else {
            node_at(Space::x, xl, centre);
        }
        for (const kink_rule::Pair& pr : kink_rule::PAIRS) {
            node_pair(space, c - half * pr.t, c + half * pr.t, half * pr.w, half * pr.w);
        }
    };
    // The half-width of the piece centred on the kink at c within [a, b]:
    // half the distance to the nearest other singular point, as the
    // rule's convergence asks, and no further than either end.
    auto kink_half = [&](double c, double a, double b, const Points& points) {
        double least = std::numeric_limits<double>::infinity();
        for (std::size_t k = 0; k < points.n; ++k) {
            const double dx = points.re[k] - c;
            const double dy = points.im[k];
            least = std::min(least, dx * dx + dy * dy);
        }
        return std::min({root(least) / FIRST, c - a, b - c});
    };

    // The ellipse bounds the integrand's singularities, not its growth: a
    // slope steeper than a cubic in s (a power law's s^beta, beta > 3) grows
    // over the ellipse faster than the bound allows and keeps 8 nodes.
    const bool low_degree = g.kappa == 0 || g.beta <= 3;
    // The gradient's slope in u takes these nodes too, against an integrand
    // scaled up by l / (1 - l^2) for a lens inside the source, which then
    // cancels: where that exceeds 2 the thinner rules' error would show in
    // it, and every piece keeps its full rule.
    const bool thin = xl >= 1 || xl <= 2 * ((1 - xl) * (1 + xl));
    auto piece = [&](const Piece& p) {
        const double w = std::fabs(p.b - p.a);
        const double dir = p.b - p.a;
        auto rule_nodes = [&](const auto& rule) {
            static_assert(std::tuple_size_v<std::decay_t<decltype(rule)>> % 2 == 0);
            for (std::size_t j = 0; j < rule.size(); j += 2) {
                const gl::Node& n0 = rule[j];
                const gl::Node& n1 = rule[j + 1];
                node_pair(p.space, p.a + dir * n0.t, p.a + dir * n1.t, n0.w * w, n1.w * w);
            }
        };
        if (p.clear && low_degree && thin) {
            rule_nodes(gl::RULE_6);
            return;
        }
        rule_nodes(gl::RULE_8);
    };
    // The piece [0, d] in s at the limb, with the law's singular terms
    // integrated by product weights.  The product weights interpolate, and
    // converge like rho^-n rather than rho^-2n: 16 nodes at the march's
    // least rho, and 12 where the piece is clear.  `points` are the singular
    // points other than the limb itself; without them the piece keeps the
    // full rule.
    auto limb_piece = [&](double d, const Points* points) {
        const bool clear = thin && points != nullptr && clear_of(*points, 0.0, d);
        if (!g.singular()) {
            auto plain = [&](const auto& rule) {
                for (std::size_t j = 0; j < rule.size(); j += 2) {
                    const gl::Node& n0 = rule[j];
                    const gl::Node& n1 = rule[j + 1];
                    node_pair(Space::s, d * n0.t, d * n1.t, d * n0.w, d * n1.w);
                }
            };
            if (clear) {
                plain(gl::RULE_6);
            } else {
                plain(gl::RULE_8);
            }
            return;
        }
        const double log_d = std::log(d);
        // gamma s^beta against the scaled weights of gamma t^beta.
        const double power = g.kappa != 0 ? std::pow(d, g.beta_plus_one) : 0.0;
        const std::size_t first = nodes.count;
        auto product_nodes = [&](const auto& rule, const auto& log_weights,
                                 const auto& power_weights) {
            std::array<double, 16> s;
            std::array<double, 16> x;
            for (std::size_t j = 0; j < rule.size(); ++j) {
                s[j] = d * rule[j].t;
            }
            radii_of_s(s.data(), x.data(), rule.size());
            for (std::size_t j = 0; j < rule.size(); ++j) {
                const gl::Node& n = rule[j];
                add(x[j], s[j], d * n.w, (d * d) * (log_d * (n.w * n.t) + log_weights[j]),
                    power * power_weights[j]);
            }
        };
        if (clear) {
            product_nodes(gl::RULE_12, gl::LOG_WEIGHTS_12, power_weights_12_);
            product(first, Nodes::ProductRule::gauss_12, d);
            return;
        }
        product_nodes(gl::RULE_16, gl::LOG_WEIGHTS_16, power_weights_);
        product(first, Nodes::ProductRule::gauss_16, d);
    };

    const Complex above(0, 2 * eps);
    if (xl >= 1) {
        // The lens outside the source (or on its limb): all of it in s.
        double d0 = 1;
        Points ps;
        add_real_images(ps, xl);
        add_images_and_conjugates(ps, xl + above);
        d0 = std::min(d0, nearest(ps) / 2);
        d0 = std::max(d0, LIMB_PIECE);
        limb_piece(d0, &ps);
        ps.add(0.0);
        march(Space::s, d0, 1.0, ps, steep, piece);
    } else if (xl >= X_KINK_IN_S) {
        // The lens inside, near the limb: the kink in s.
        const double sl = root(root((1 - xl) * (1 + xl)));
        Points ps;
        add_images_and_conjugates(ps, xl + above);
        double d0 = sl / 2;
        d0 = std::min(d0, nearest(ps) / 2);
        d0 = std::max(d0, std::min(LIMB_PIECE, sl / 2));
        // The kink, too, bounds the piece at the limb: it joins the list
        // for that piece alone (the list is extended and cut back rather
        // than copied).
        const std::size_t before_kink = ps.n;
        ps.add(sl);
        limb_piece(d0, &ps);
        ps.n = before_kink;
        ps.add(0.0);
        const double half = steep.kink_bound(Space::s, sl, kink_half(sl, d0, 1.0, ps));
        kink_piece(Space::s, sl, half);
        // Beyond the piece the kink is a singular point like the others.
        ps.add(sl);
        march(Space::s, sl - half, d0, ps, steep, piece);
        march(Space::s, sl + half, 1.0, ps, steep, piece);
    } else {
        // The lens near the centre: the kink in x, the limb's side in s.
        const double sm = root(root((1 - X_MID) * (1 + X_MID)));
        Points ps;
        add_images_and_conjugates(ps, xl + above);
        add_real_images(ps, xl);
        double d0 = 1;
        d0 = std::min(d0, nearest(ps) / 2);
        d0 = std::min(std::max(d0, LIMB_PIECE), sm);
        limb_piece(d0, &ps);
        ps.add(0.0);
        if (d0 < sm) {
            march(Space::s, d0, sm, ps, steep, piece);
        }
        Points px;
        px.add(xl + above);
        px.add(xl - above);
        px.add(1.0);
        px.add(-1.0);
        if (xl > 0) {
            // Beyond the kink E is the magnification of discs that hold the
            // lens, whose expansion in l / x is singular at the centre; the
            // piece across the kink reaches that side too.
            const std::size_t before_centre = px.n;
            px.add(0.0);
            const double half = steep.kink_bound(Space::x, xl, kink_half(xl, 0.0, X_MID, px));
            px.n = before_centre;
            kink_piece(Space::x, xl, half);
            px.add(xl);
            march(Space::x, xl - half, 0.0, px, steep, piece);
            px.add(0.0);
            march(Space::x, xl + half, X_MID, px, steep, piece);
        } else {
            march(Space::x, 0.0, X_MID, px, steep, piece);
        }
    }
    const std::size_t first = nodes.product_count;
    singular_parts(nodes.s.data() + first, nodes.measure.data() + first, nodes.count - first,
                   g.lambda != 0, g.kappa != 0, g.beta, g.beta_plus_one,
                   nodes.log_part.data() + first, nodes.power_part.data() + first);
}

void LimbLaw::Nodes::weights(const Slope& g, double* w) const noexcept {
    // Each part in a loop of its own, without branches, so that the nodes
    // are taken several at a time; every weight is summed in the same order
    // (polynomial part, then logarithmic, then power).
    for (std::size_t i = 0; i < count; ++i) {
        const double si = s[i];
        const double poly = ((g.p[3] * si + g.p[2]) * si + g.p[1]) * si + g.p[0];
        w[i] = measure[i] * poly;
    }
    if (g.lambda != 0) {
        for (std::size_t i = 0; i < count; ++i) {
            w[i] += g.lambda * log_part[i];
        }
    }
    if (g.kappa != 0) {
        for (std::size_t i = 0; i < count; ++i) {
            w[i] += g.kappa_over_gamma * power_part[i];
        }
    }
}

void LimbLaw::Nodes::discs(double rho, double* separation, double* radius) const noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        separation[i] = lens / x[i];
        radius[i] = rho * x[i];
    }
}

namespace {

// A point's layout, its nodes' discs and, last, the whole source's.
struct PointScratch {
    LimbLaw::Nodes nodes;
    std::array<double, LimbLaw::Nodes::CAPACITY + 1> separation;
    std::array<double, LimbLaw::Nodes::CAPACITY + 1> radius;
    std::array<double, LimbLaw::Nodes::CAPACITY + 1> m;
    std::array<double, LimbLaw::Nodes::CAPACITY> w;
};

}  // namespace

double LimbLaw::darkened(double lens, double rho) const {
    PointScratch& scratch = runtime::thread_scratch<PointScratch>();
    Nodes& nodes = scratch.nodes;
    auto& separation = scratch.separation;
    auto& radius = scratch.radius;
    auto& m = scratch.m;
    auto& w = scratch.w;
    layout(lens, rho, nodes);
    const std::size_t n = nodes.count;
    nodes.discs(rho, separation.data(), radius.data());
    separation[n] = nodes.lens;
    radius[n] = rho;
    // A disc whose kernel fails leaves NaN, which carries into the sum.
    witt_mao_elements(separation.data(), radius.data(), m.data(), n + 1);
    nodes.weights(slope_, w.data());
    return from_discs(w.data(), nodes.x.data(), m.data(), n);
}

double LimbLaw::from_discs(const double* w, const double* x, const double* m,
                           std::size_t n) const noexcept {
    double total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        total += w[i] * (x[i] * x[i] * (m[i] - 1));
    }
    return 1 + (limb_ * (m[n] - 1) + total) / flux_;
}

}  // namespace models
