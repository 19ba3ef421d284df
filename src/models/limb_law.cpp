#include "models/limb_law.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>

#include "models/integrated.hpp"
#include "models/witt_mao.hpp"
#include "quadrature/gauss_legendre.hpp"

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

double point_lens(double u) noexcept {
    // Beyond 1e100 the excess 2/u^4 is far below an ulp of 1, and u^2 would
    // overflow.
    if (u > 1e100) {
        return 1;
    }
    return (u * u + 2) / (u * std::sqrt(u * u + 4));
}

}  // namespace

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
    const FluxMap map(radii, brightness);
    if (!(map.norm() > 0)) {
        return "the profile has no flux";
    }
    return nullptr;
}

LimbLaw::LimbLaw(LawKind kind, std::span<const double> coefficients)
    : kind_(kind), coefficients_(coefficients.begin(), coefficients.end()) {
    build_basis();
}

LimbLaw::LimbLaw(std::vector<double> radii, std::vector<double> brightness)
    : kind_(LawKind::table), radii_(std::move(radii)), brightness_(std::move(brightness)) {
    rebuild_table();
}

LimbLaw::LimbLaw(const LimbLaw& other)
    : kind_(other.kind_),
      slope_(other.slope_),
      limb_(other.limb_),
      flux_(other.flux_),
      power_weights_(other.power_weights_),
      coefficients_(other.coefficients_),
      radii_(other.radii_),
      brightness_(other.brightness_) {
    rebuild_table();
}

LimbLaw& LimbLaw::operator=(const LimbLaw& other) {
    if (this != &other) {
        LimbLaw copy(other);
        std::swap(kind_, copy.kind_);
        std::swap(slope_, copy.slope_);
        std::swap(limb_, copy.limb_);
        std::swap(flux_, copy.flux_);
        std::swap(power_weights_, copy.power_weights_);
        std::swap(coefficients_, copy.coefficients_);
        std::swap(radii_, copy.radii_);
        std::swap(brightness_, copy.brightness_);
        std::swap(table_, copy.table_);
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
    if (kind_ == LawKind::table) {
        return integrated_disc_element(lens, rho, *table_);
    }
    if (kind_ == LawKind::uniform) {
        const ellip::Result whole = witt_mao_element(lens, rho);
        return whole.ok() ? whole.value() : NaN;
    }
    return darkened(lens, rho);
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
            limb_ = 1 - c[0];
            flux_ = 1 - c[0] * c[1] / (c[1] + 2);
            power_weights_ = quadrature::gauss_legendre::power_weights_16(g.beta);
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

namespace {

using Complex = std::complex<double>;
namespace gl = quadrature::gauss_legendre;

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
//  - at the lens (x = l inside the source) E has a kink (x - l) ln|x - l|:
//    the pieces end there, and the first piece on each side is graded
//    towards it, x - l = w t^3, which turns the kink into t^5 ln t;
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
    bool graded;  // towards a
};

// Points singular for the integrand in one variable; at most a dozen.
struct Points {
    std::array<Complex, 16> z{};
    std::size_t n = 0;
    void add(Complex p) noexcept {
        if (n < z.size()) {
            z[n++] = p;
        }
    }
};

// The images in s = (1 - x^2)^(1/4) of a point x: all four fourth roots.
void add_images(Points& points, Complex x) noexcept {
    const Complex root = std::sqrt(std::sqrt(1.0 - x * x));
    const Complex i(0, 1);
    Complex r = root;
    for (int k = 0; k < 4; ++k) {
        points.add(r);
        r *= i;
    }
}

double modulus(Complex z) noexcept { return std::sqrt(z.real() * z.real() + z.imag() * z.imag()); }

// Past this the lens is far enough for one piece over the whole source:
// its images in s lie beyond twice the piece's length.
constexpr double FAR = 8;
// The graded piece at the kink is shorter than its distance from any other
// singular point by this factor: the map x - l = w t^3 brings those points
// closer in t.
constexpr double FIRST = 2;
// A piece reaching towards a singular point ahead stops at this fraction of
// its distance.
constexpr double AHEAD = 2;
// Where x gives way to s: the centre's side of the source is smooth in x.
constexpr double X_MID = 0.75;
// A kink beyond this is integrated in s on both sides.
constexpr double X_KINK_IN_S = 0.675;
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
constexpr std::size_t MAX_PIECES = 96;

template <class Emit>
void march(Space space, double a, double b, bool special, const Points& points, Emit&& emit) {
    const double sign = b > a ? 1.0 : -1.0;
    double cur = a;
    bool first = true;
    for (std::size_t count = 0; (b - cur) * sign > 0 && count < MAX_PIECES; ++count) {
        double length = std::fabs(b - cur);
        for (std::size_t k = 0; k < points.n; ++k) {
            const double dx = points.z[k].real() - cur;
            const double dy = points.z[k].imag();
            const double d = std::sqrt(dx * dx + dy * dy);
            const bool behind = dx * sign <= 0;
            const double limit = first && special ? d / FIRST : (behind ? d : d / AHEAD);
            length = std::min(length, limit);
        }
        if (!first && special) {
            length = std::min(length, std::fabs(cur - a));
        }
        double next = cur + sign * length;
        if (std::fabs(b - next) < 1e-3 * length || count + 1 == MAX_PIECES) {
            next = b;
        }
        emit(Piece{space, cur, next, first && special});
        cur = next;
        first = false;
    }
}

}  // namespace

double LimbLaw::darkened(double lens, double rho) const {
    const Slope& g = slope_;
    const double eps = std::max(1 / rho, LEAST_SCALE);
    double xl = lens;
    if (xl < CENTRE) {
        xl = 0;
    }
    // x^2 (M(x) - 1), the excess flux of the disc of radius x.
    auto excess = [&](double x) {
        if (x == 0) {
            return 0.0;
        }
        const ellip::Result m = witt_mao_element(xl / x, rho * x);
        return m.ok() ? x * x * (m.value() - 1) : NaN;
    };
    auto slope_in_s = [&](double s) {
        double v = ((g.p[3] * s + g.p[2]) * s + g.p[1]) * s + g.p[0];
        if (g.lambda != 0 && s > 0) {
            v += g.lambda * (s * std::log(s));
        }
        if (g.kappa != 0) {
            v += g.kappa * std::pow(s, g.beta);
        }
        return v;
    };
    // dx = ... : I'(mu) dmu = I'(mu) (x / mu) dx, and I'(mu) = g(s) / (2 s).
    auto slope_in_x = [&](double x) {
        const double mu = std::sqrt((1 - x) * (1 + x));
        const double s = std::sqrt(mu);
        return slope_in_s(s) / (2 * s) * (x / mu);
    };
    auto x_of_s = [](double s) { return std::sqrt((1 - s * s) * (1 + s * s)); };

    double total = 0;
    auto piece = [&](const Piece& p) {
        const double w = std::fabs(p.b - p.a);
        const double dir = p.b - p.a;
        double sum = 0;
        auto node = [&](double t, double weight) {
            double v;
            double jac;
            if (p.graded) {
                v = p.a + dir * (t * t * t);
                jac = w * (3 * t * t);
            } else {
                v = p.a + dir * t;
                jac = w;
            }
            const double f = p.space == Space::x ? excess(v) * slope_in_x(v)
                                                 : excess(x_of_s(v)) * slope_in_s(v);
            sum += weight * (f * jac);
        };
        if (p.graded) {
            for (const gl::Node& n : gl::RULE_12) {
                node(n.t, n.w);
            }
        } else {
            for (const gl::Node& n : gl::RULE_8) {
                node(n.t, n.w);
            }
        }
        total += sum;
    };
    // The piece [0, d] in s at the limb, with the law's singular terms
    // integrated by product weights.
    auto limb_piece = [&](double d) {
        double sum = 0;
        auto poly = [&](double s) { return ((g.p[3] * s + g.p[2]) * s + g.p[1]) * s + g.p[0]; };
        if (!g.singular()) {
            for (const gl::Node& n : gl::RULE_8) {
                const double s = d * n.t;
                sum += (d * n.w) * poly(s) * excess(x_of_s(s));
            }
        } else {
            const double log_d = std::log(d);
            const double power = g.kappa != 0 ? g.kappa * std::pow(d, g.beta + 1) : 0.0;
            for (std::size_t j = 0; j < gl::RULE_16.size(); ++j) {
                const gl::Node& n = gl::RULE_16[j];
                const double s = d * n.t;
                double weight = (d * n.w) * poly(s);
                if (g.lambda != 0) {
                    weight += g.lambda * (d * d) * (log_d * (n.w * n.t) + gl::LOG_WEIGHTS_16[j]);
                }
                if (g.kappa != 0) {
                    weight += power * power_weights_[j];
                }
                sum += weight * excess(x_of_s(s));
            }
        }
        total += sum;
    };

    const Complex above(0, 2 * eps);
    if (xl >= 1) {
        // The lens outside the source (or on its limb): all of it in s.
        double d0 = 1;
        Points ps;
        if (xl < FAR) {
            add_images(ps, Complex(xl));
            add_images(ps, xl + above);
            add_images(ps, xl - above);
            for (std::size_t k = 0; k < ps.n; ++k) {
                d0 = std::min(d0, modulus(ps.z[k]) / 2);
            }
            d0 = std::max(d0, LIMB_PIECE);
        }
        limb_piece(d0);
        ps.add(0.0);
        march(Space::s, d0, 1.0, false, ps, piece);
    } else if (xl >= X_KINK_IN_S) {
        // The lens inside, near the limb: the kink in s.
        const double sl = std::sqrt(std::sqrt((1 - xl) * (1 + xl)));
        Points ps;
        add_images(ps, xl + above);
        add_images(ps, xl - above);
        double d0 = sl / 2;
        for (std::size_t k = 0; k < ps.n; ++k) {
            d0 = std::min(d0, modulus(ps.z[k]) / 2);
        }
        d0 = std::max(d0, std::min(LIMB_PIECE, sl / 2));
        limb_piece(d0);
        ps.add(0.0);
        march(Space::s, sl, d0, true, ps, piece);
        march(Space::s, sl, 1.0, true, ps, piece);
    } else {
        // The lens near the centre: the kink in x, the limb's side in s.
        const double sm = std::sqrt(std::sqrt((1 - X_MID) * (1 + X_MID)));
        Points ps;
        add_images(ps, xl + above);
        add_images(ps, xl - above);
        add_images(ps, Complex(xl));
        double d0 = 1;
        for (std::size_t k = 0; k < ps.n; ++k) {
            d0 = std::min(d0, modulus(ps.z[k]) / 2);
        }
        d0 = std::min(std::max(d0, LIMB_PIECE), sm);
        limb_piece(d0);
        ps.add(0.0);
        if (d0 < sm) {
            march(Space::s, d0, sm, false, ps, piece);
        }
        Points px;
        px.add(xl + above);
        px.add(xl - above);
        px.add(1.0);
        px.add(-1.0);
        if (xl > 0) {
            march(Space::x, xl, 0.0, true, px, piece);
            // Beyond the kink E is the magnification of discs that hold the
            // lens, whose expansion in l / x is singular at the centre.
            px.add(0.0);
            march(Space::x, xl, X_MID, true, px, piece);
        } else {
            march(Space::x, 0.0, X_MID, false, px, piece);
        }
    }
    return 1 + (limb_ * excess(1.0) + total) / flux_;
}

}  // namespace models
