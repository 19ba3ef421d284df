// Derivatives of the limb-darkened magnification on the value's own nodes.
//
// The value is
//   A = 1 + S / N,  S = I(0) E(1) + int_0^1 E(x) g(s) ds,  E(x) = x^2 (M(x) - 1),
// M(x) = W(u, rho x) the uniform disc of radius x (source radii) about the
// source's centre, g the law's slope in s = sqrt(mu), on the nodes that
// LimbLaw::layout() lays out.  Every coefficient enters S and N linearly
// (through I(0), g and N), so dA/dc_k = (S_k - (S/N) N_k) / N, with S_k the
// same sum against the coefficient's basis slope: one evaluation of each
// disc serves the value and every coefficient.
//
// Differentiating E in u or rho leaves W_u and W_r, both logarithmic at the
// kink x = l (the lens inside the source), where the value's rule, made for
// E's (x - l) ln|x - l|, is not accurate for them.  Two identities avoid
// them:
//  - u W_u + r W_r (r = rho x, the disc's radius) is finite at the kink, so
//    rho dA/drho = G - u dA/du, with G the same average of that sum;
//  - moving with the lens leaves the kink where it is: along
//    V = (1/rho) a s d/ds, with a = -l / (2 (1 - l^2)) so that V moves the
//    node at the kink with the lens, D = E_u + V E is smooth there, and by
//    parts (E s g vanishes at both ends)
//      int E_u g ds = int D g ds + (a/rho) int E (s g)' ds,
//    where (s g)' is again a slope of the law's family: its polynomial, its
//    s ln s and its s^beta terms keep their form.  With s dx/ds =
//    -2 (1 - x^2)/x,
//      D = x^2 W_u + (l / (1 - l^2)) (1 - x^2) (2 (M - 1)/rho + x W_r).
// A lens outside the source makes no kink, and the plain sums are taken.
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

#include "models/limb_law_batch.hpp"
#include "models/limb_law_far_field.hpp"
#include "models/limb_law_gradient.hpp"
#include "models/limb_law_powers.hpp"
#include "models/witt_mao.hpp"
#include "models/witt_mao_gradient.hpp"
#include "quadrature/gauss_legendre.hpp"
#include "runtime/thread_scratch.hpp"

namespace models {

namespace {

namespace gl = quadrature::gauss_legendre;
using Nodes = LimbLaw::Nodes;
using Slope = LimbLaw::Slope;
constexpr std::size_t CAP = Nodes::CAPACITY + 1;

// The layout's own: a lens closer than this to the centre is laid out at
// the centre, where the magnification is flat in u.
constexpr double CENTRE = 1e-6;

// The slope, limb brightness and flux of coefficient k's basis profile: the
// derivatives of the law's own with respect to that coefficient.
struct Basis {
    Slope slope;
    double limb = -1;
    double flux = 0;
};

Basis basis(LawKind kind, std::span<const double> c, std::size_t k) noexcept {
    Basis b;
    Slope& g = b.slope;
    switch (kind) {
        case LawKind::linear:
            g.p[1] = 2;
            b.flux = -1.0 / 3;
            break;
        case LawKind::quadratic:
            if (k == 0) {
                g.p[1] = 2;
                b.flux = -1.0 / 3;
            } else {
                g.p[1] = 4;
                g.p[3] = -4;
                b.flux = -1.0 / 6;
            }
            break;
        case LawKind::square_root:
            if (k == 0) {
                g.p[1] = 2;
                b.flux = -1.0 / 3;
            } else {
                g.p[0] = 1;
                b.flux = -1.0 / 5;
            }
            break;
        case LawKind::logarithmic:
            if (k == 0) {
                g.p[1] = 2;
                b.flux = -1.0 / 3;
            } else {
                g.p[1] = -2;
                g.lambda = -4;
                b.limb = 0;
                b.flux = 2.0 / 9;
            }
            break;
        case LawKind::power_2:  // the coefficient c; alpha is not linear
            g.kappa = 2 * c[1];
            g.beta = 2 * c[1] - 1;
            g.beta_plus_one = 2 * c[1];
            g.kappa_over_gamma = 1;
            b.flux = -c[1] / (c[1] + 2);
            break;
        case LawKind::nonlinear: {
            const double kk = static_cast<double>(k + 1);
            g.p[k] = kk;
            b.flux = -kk / (kk + 4);
            break;
        }
        case LawKind::uniform:
        case LawKind::table:
            break;
    }
    return b;
}

// (s g)' for the slope g: p0 + 2 p1 s + 3 p2 s^2 + 4 p3 s^3 + lambda s
// + 2 lambda s ln s + gamma kappa s^beta.
Slope scaled_slope(const Slope& g) noexcept {
    Slope t = g;
    t.p = {g.p[0], 2 * g.p[1] + g.lambda, 3 * g.p[2], 4 * g.p[3]};
    t.lambda = 2 * g.lambda;
    t.kappa = g.kappa * g.beta_plus_one;
    t.kappa_over_gamma = g.kappa_over_gamma * g.beta_plus_one;
    return t;
}

// The Legendre terms of the sums below at the nodes of a rule, as the sums
// take them: terms[j][1] = 3 x_j and terms[j][i + 1] = (2i + 3) P_(i+1)(x_j),
// x_j = 2 t_j - 1, by the three-term recurrence.  They depend on the rule
// only: formed once per rule (each size here has one rule) instead of on
// every call, where the recurrence's divisions cost more than the rest of
// the weights.
template <std::size_t N>
const std::array<std::array<double, N>, N>& legendre_terms(const std::array<gl::Node, N>& rule) {
    static const std::array<std::array<double, N>, N> terms = [&rule] {
        std::array<std::array<double, N>, N> t{};
        for (std::size_t j = 0; j < N; ++j) {
            const double x = 2 * rule[j].t - 1;
            double p0 = 1;
            double p1 = x;
            t[j][1] = 3 * x;
            for (std::size_t i = 1; i + 1 < N; ++i) {
                const double k = static_cast<double>(i);
                const double p2 = ((2 * k + 1) * x * p1 - k * p0) / (k + 1);
                p0 = p1;
                p1 = p2;
                t[j][i + 1] = (2 * k + 3) * p2;
            }
        }
        return t;
    }();
    return terms;
}

// d/dgamma of gl::power_weights(gamma, rule), by carrying the derivative of
// each scaled moment through the same sums.
template <std::size_t N>
std::array<double, N> power_weight_slopes(double gamma, const std::array<gl::Node, N>& rule) {
    std::array<double, N> slope{};
    double ratio = 1;
    double ratio_slope = 0;
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) {
            const double k = static_cast<double>(i);
            const double q = (gamma - k) / (gamma + k);
            const double q_slope = 2 * k / ((gamma + k) * (gamma + k));
            ratio_slope = ratio_slope * q + ratio * q_slope;
            ratio *= q;
        }
        slope[i] = ratio_slope;
    }
    const auto& terms = legendre_terms(rule);
    std::array<double, N> weights{};
    for (std::size_t j = 0; j < N; ++j) {
        double sum = slope[0] + terms[j][1] * slope[1];
        for (std::size_t i = 1; i + 1 < N; ++i) {
            sum += terms[j][i + 1] * slope[i + 1];
        }
        weights[j] = rule[j].w * sum;
    }
    return weights;
}

// The slopes in gamma of both product rules' power weights, formed when a
// layout first asks for its rule: they depend on the law's exponent only,
// so a batch of points forms them once.
struct ExponentRules {
    double gamma = 0;
    bool has_16 = false;
    bool has_12 = false;
    std::array<double, 16> slopes_16{};
    std::array<double, 12> slopes_12{};

    explicit ExponentRules(double g) noexcept : gamma(g) {}
    const std::array<double, 16>& rule_16() {
        if (!has_16) {
            slopes_16 = power_weight_slopes(gamma, gl::RULE_16);
            has_16 = true;
        }
        return slopes_16;
    }
    const std::array<double, 12>& rule_12() {
        if (!has_12) {
            slopes_12 = power_weight_slopes(gamma, gl::RULE_12);
            has_12 = true;
        }
        return slopes_12;
    }
};

// The product-weighted piece [0, d]: c d^gamma W_j(gamma) and its slope in
// alpha, 2 c (ln d d^gamma W_j + d^gamma W_j'), with the node's power part
// the first product and ws the rule's W_j'.
template <std::size_t N>
std::size_t product_slopes(const Nodes& nodes, const std::array<double, N>& ws, double c,
                           double gamma, double* out) {
    const double d = nodes.product_length;
    const double log_length = std::log(d);
    const double power = std::pow(d, gamma);
    const std::size_t product = std::min(nodes.product_count, ws.size());
    for (std::size_t j = 0; j < product; ++j) {
        out[j] = 2 * c * (log_length * nodes.power_part[j] + power * ws[j]);
    }
    return product;
}

// The slope with respect to alpha of the power law's node weights against
// c kappa-part: on the product-weighted piece [0, d] at the limb
// c d^gamma W_j(gamma), elsewhere c M_i gamma s_i^beta (gamma = 2 alpha,
// beta = gamma - 1); out[0, count).
void exponent_weight_slopes(const Nodes& nodes, double c, ExponentRules& rules, double* out) {
    const double gamma = rules.gamma;
    std::size_t product = 0;
    switch (nodes.product_rule) {
        case Nodes::ProductRule::gauss_16:
            product = product_slopes(nodes, rules.rule_16(), c, gamma, out);
            break;
        case Nodes::ProductRule::gauss_12:
            product = product_slopes(nodes, rules.rule_12(), c, gamma, out);
            break;
        case Nodes::ProductRule::none:
            break;
    }
    // The nodes' logarithms together, in vector lanes; the weights' own
    // powers were formed by the same logarithm.
    std::array<double, Nodes::CAPACITY> log_s;
    unit_logs(nodes.s.data() + product, log_s.data(), nodes.count - product);
    for (std::size_t i = product; i < nodes.count; ++i) {
        // power_part = M_i gamma s_i^beta, already formed.
        out[i] = 2 * c * (nodes.power_part[i] / gamma) * (1 + gamma * log_s[i - product]);
    }
}

constexpr std::size_t MAX_COEFFICIENTS = GRADIENT_COEFFICIENTS;

// What every point of one law shares: the scaled slope of the moving
// identity, the coefficients' basis profiles and the power law's exponent
// rules.
struct LawParts {
    const LimbLaw& law;
    Slope tilde;
    std::size_t k;
    std::array<Basis, MAX_COEFFICIENTS> bases;
    bool exponent;  // the power law: coefficient 1 is alpha, whose weights move
    ExponentRules rules;

    explicit LawParts(const LimbLaw& l) noexcept
        : law(l),
          tilde(scaled_slope(l.slope())),
          k(std::min(l.coefficients().size(), MAX_COEFFICIENTS)),
          exponent(l.kind() == LawKind::power_2),
          rules(l.slope().beta_plus_one) {
        for (std::size_t j = 0; j < k; ++j) {
            bases[j] = basis(l.kind(), l.coefficients(), j);
        }
    }
};

// Where one point's weights go: w against the law's slope, wt against the
// scaled slope (read only for a lens inside the source), wc[j] against
// coefficient j's basis slope (or, for alpha, their slope in alpha).
struct Weights {
    double* w;
    double* wt;
    std::array<double*, MAX_COEFFICIENTS> wc;
};

// The lens inside the source, where the moving identity is taken.
bool inside(double l) noexcept { return l > 0 && l < 1; }

void node_weights(LawParts& parts, const Nodes& nodes, bool coefficients, const Weights& out) {
    nodes.weights(parts.law.slope(), out.w);
    if (inside(nodes.lens)) {
        nodes.weights(parts.tilde, out.wt);
    }
    if (!coefficients) {
        return;
    }
    for (std::size_t j = 0; j < parts.k; ++j) {
        if (parts.exponent && j == 1) {
            exponent_weight_slopes(nodes, parts.law.coefficients()[0], parts.rules, out.wc[j]);
        } else {
            nodes.weights(parts.bases[j].slope, out.wc[j]);
        }
    }
}

// The discs of a point's nodes and the whole source (last), as the
// gradient lanes leave them: magnifications (witt_mao_element's bits) and
// slopes, n + 1 of each.
struct DiscView {
    const double* m;
    const double* du;
    const double* drho;
    const double* scaling;
};

// After the lanes: a node whose disc's radius rounds onto the lens's
// distance (a lens within ~1e-10 of the limb, where x = sqrt(1 - s^4)
// resolves s no better than that) has infinite slopes of its own, but the
// integrands they enter are finite and continuous across the rim (the
// moving combination and the scaling slope) or integrably singular, so they
// are taken an ulp off it.  The value keeps the node's own magnification.
void off_the_rim(const double* separation, const double* radius, const DiscGradients& d,
                 std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        if (separation[i] != 1 || std::isnan(d.value[i])) {
            continue;  // off the rim, or the disc's kernel failed: NaN throughout, as in the value
        }
        const DiscGradient off = witt_mao_gradient_element(std::nextafter(1.0, 2.0), radius[i]);
        if (off.ok()) {
            d.du[i] = off.du;
            d.drho[i] = off.drho;
            d.scaling[i] = off.scaling;
        }
    }
}

// I(0) times a slope of the whole source; a source dark at its limb has no
// share in it, even where the slope is infinite (the lens on the limb).
double limb_share(double limb, double v) noexcept { return limb != 0 ? limb * v : 0.0; }

// A point's sums over its nodes: the value's, the two or three of its
// slopes in the distance and rho, and one per coefficient.
struct Sums {
    double total = 0;  // sum w_i E_i
    double a = 0;      // inside: the smooth part of E_u; outside: the sum for dA/du
    double b = 0;      // inside: the moved part, against wt; outside: the sum for dA/drho
    double g = 0;      // inside: the discs' scaling slopes
    std::array<double, MAX_COEFFICIENTS> c{};  // sum wc_k,i E_i
};

// Every sum of a point in one pass over its nodes, each in its own
// accumulator and in node order (so each keeps the bits of a loop of its
// own), the independent additions overlapping instead of waiting on one
// another.  K coefficient sums; INSIDE, the lens inside the source.
template <std::size_t K, bool INSIDE>
void node_sums(std::size_t n, const double* x, const double* w, const double* wt,
               const std::array<const double*, MAX_COEFFICIENTS>& wc, const DiscView& d,
               double rho, double pull, double limb, Sums& s) {
    double total = 0;
    double a = INSIDE ? 0.0 : limb_share(limb, d.du[n]);
    double b = INSIDE ? 0.0 : limb_share(limb, d.drho[n]);
    double g = INSIDE ? limb_share(limb, d.scaling[n]) : 0.0;
    std::array<double, MAX_COEFFICIENTS> c{};
    for (std::size_t i = 0; i < n; ++i) {
        const double xi = x[i];
        const double e = xi * xi * (d.m[i] - 1);
        total += w[i] * e;
        if constexpr (INSIDE) {
            const double moving = 2 * (d.m[i] - 1) / rho + xi * d.drho[i];
            const double along = xi * xi * d.du[i] + pull * ((1 - xi) * (1 + xi)) * moving;
            a += w[i] * along;
            b += wt[i] * e;
            g += w[i] * (xi * xi * d.scaling[i]);
        } else {
            a += w[i] * (xi * xi * d.du[i]);
            b += w[i] * (xi * xi * xi * d.drho[i]);
        }
        for (std::size_t k = 0; k < K; ++k) {
            c[k] += wc[k][i] * e;
        }
    }
    s.total = total;
    s.a = a;
    s.b = b;
    s.g = g;
    s.c = c;
}

template <bool INSIDE>
void node_sums_of(std::size_t k, std::size_t n, const double* x, const double* w,
                  const double* wt, const std::array<const double*, MAX_COEFFICIENTS>& wc,
                  const DiscView& d, double rho, double pull, double limb, Sums& s) {
    switch (k) {
        case 0:
            return node_sums<0, INSIDE>(n, x, w, wt, wc, d, rho, pull, limb, s);
        case 1:
            return node_sums<1, INSIDE>(n, x, w, wt, wc, d, rho, pull, limb, s);
        case 2:
            return node_sums<2, INSIDE>(n, x, w, wt, wc, d, rho, pull, limb, s);
        case 3:
            return node_sums<3, INSIDE>(n, x, w, wt, wc, d, rho, pull, limb, s);
        default:
            return node_sums<4, INSIDE>(n, x, w, wt, wc, d, rho, pull, limb, s);
    }
}

// From this many source radii out, dA/drho of a lens outside the source
// takes off the rule's error in the moments (below), which costs about a
// third of the gradient's own sums.  Nearer, the source is laid out in
// shorter pieces, whose rule leaves dA/drho within half its allowance.
constexpr double MOMENT_CORRECTION = 3.0;

// The part of dA/drho that the nodes' rule misses for a lens outside the
// source.  There E is the disc's mean-value series in x^2 (each node's disc
// and the whole source lie inside the circle through the lens), so the
// quadrature of S is that series with the law's moments m_k replaced by the
// rule's own, (I(0) + sum_i w_i x_i^(2k+2)) / ((k + 1) N).  The rule is exact
// for the first terms only: for a source in one long piece (from about 3.5
// source radii on) it misses m_3 and beyond by 1e-6 to 1e-4, which the value
// hardly feels but which weigh 2k / rho times more in dA/drho, where the
// leading finite-source term is small.  The series with the moments'
// errors gives that missed part from the nodes' powers and the law's exact
// moments, without another disc.
double moment_error_slope(const LimbLaw& law, std::size_t n, const double* x, const double* w,
                          double u, double l, double rho) noexcept {
    std::array<double, far_field::TERMS> sums{};
    for (std::size_t i = 0; i < n; ++i) {
        const double x2 = x[i] * x[i];
        double power = x2 * x2;  // x^(2k+2) for k = 1
        for (std::size_t k = 1; k < far_field::TERMS; ++k) {
            sums[k] += w[i] * power;
            power *= x2;
        }
    }
    far_field::Moments error;
    const far_field::Moments& exact = law.far_moments();
    for (std::size_t k = 1; k < far_field::TERMS; ++k) {
        const double rule = (law.limb() + sums[k]) / (law.flux() * static_cast<double>(k + 1));
        error.m[k] = rule - exact.m[k];
    }
    return far_field::drho(error, u, l, rho);
}

// dA/dc_k for every coefficient from its node sum c[k] and the whole
// source's magnification m_whole; s_total is the value's S.
void coefficient_slopes(const LawParts& parts, const std::array<double, MAX_COEFFICIENTS>& c,
                        double m_whole, double s_total, double* dc) {
    const LimbLaw& law = parts.law;
    const std::span<const double> coefficients = law.coefficients();
    const double flux = law.flux();
    const double excess_ratio = s_total / flux;  // A - 1 before rounding up to 1
    for (std::size_t k = 0; k < parts.k; ++k) {
        double s_k = c[k];
        double flux_k = 0;
        if (parts.exponent && k == 1) {
            // alpha moves the exponent of the slope and its weights; the
            // limb's brightness does not depend on it.
            const double alpha_plus_two = coefficients[1] + 2;
            flux_k = -2 * coefficients[0] / (alpha_plus_two * alpha_plus_two);
        } else {
            s_k += parts.bases[k].limb * (m_whole - 1);
            flux_k = parts.bases[k].flux;
        }
        dc[k] = (s_k - excess_ratio * flux_k) / flux;
    }
}

// The value and its slopes in the distance and rho of a point laid out at
// l source radii (n nodes at x with the law's weights w, inside the scaled
// slope's wt, and the coefficients' wc) from its discs; with `coefficients`
// its dA/dc go to dc, and the value's S to s_total.
LawGradient from_discs(const LawParts& parts, std::size_t n, double l, double rho,
                       const double* x, const double* w, const double* wt,
                       const std::array<const double*, MAX_COEFFICIENTS>& wc, const DiscView& d,
                       bool coefficients, double* dc, double& s_total) {
    const LimbLaw& law = parts.law;
    const double flux = law.flux();
    const double limb = law.limb();
    const std::size_t k = coefficients ? parts.k : 0;
    Sums s;
    LawGradient g;
    const double u = l * rho;
    if (inside(l)) {
        const double mu2 = (1 - l) * (1 + l);
        const double pull = l / mu2;
        node_sums_of<true>(k, n, x, w, wt, wc, d, rho, pull, limb, s);
        // The value, in darkened()'s order of operations.
        s_total = limb * (d.m[n] - 1) + s.total;
        g.value = std::max(1 + s_total / flux, 1.0);
        double sum_u = limb_share(limb, d.du[n]);
        sum_u += s.a - (pull / (2 * rho)) * s.b;
        g.du = sum_u / flux;
        // rho dA/drho = G - u dA/du, G the average of the discs' scaling slopes.
        g.drho = (s.g / flux - u * g.du) / rho;
    } else {
        node_sums_of<false>(k, n, x, w, wt, wc, d, rho, 0.0, limb, s);
        s_total = limb * (d.m[n] - 1) + s.total;
        g.value = std::max(1 + s_total / flux, 1.0);
        g.du = s.a / flux;
        g.drho = s.b / flux;
        if (l >= MOMENT_CORRECTION) {
            g.drho -= moment_error_slope(law, n, x, w, u, l, rho);
        }
    }
    if (coefficients) {
        coefficient_slopes(parts, s.c, d.m[n], s_total, dc);
    }
    return g;
}

// A layout's discs and the whole source's (last), evaluated together.
struct Discs {
    std::array<double, CAP> separation;
    std::array<double, CAP> radius;
    std::array<double, CAP> m;
    std::array<double, CAP> du;
    std::array<double, CAP> drho;
    std::array<double, CAP> scaling;

    void evaluate(const Nodes& nodes, double rho) {
        const std::size_t n = nodes.count;
        nodes.discs(rho, separation.data(), radius.data());
        separation[n] = nodes.lens;
        radius[n] = rho;
        const DiscGradients out{m.data(), du.data(), drho.data(), scaling.data()};
        // A disc whose kernel fails leaves NaN throughout, as in the value.
        (void)witt_mao_gradient_elements(separation.data(), radius.data(), out, n + 1);
        off_the_rim(separation.data(), radius.data(), out, n);
    }
    [[nodiscard]] DiscView view() const {
        return {m.data(), du.data(), drho.data(), scaling.data()};
    }
};

// A law of the same family whose slope has the singular term every basis
// slope may need (the log law's s ln s, the power law's s^beta), for a law
// whose own coefficient of it is zero.
bool needs_singular_layout(const LimbLaw& law) noexcept {
    return (law.kind() == LawKind::logarithmic || law.kind() == LawKind::power_2) &&
           !law.slope().singular();
}

// A point's layouts (its own and, where the law needs it, the singular
// law's), their weights and their discs' slopes.
struct PointScratch {
    Nodes nodes;
    std::array<double, Nodes::CAPACITY> w;
    std::array<double, Nodes::CAPACITY> wt;
    std::array<std::array<double, Nodes::CAPACITY>, MAX_COEFFICIENTS> wc;
    Discs d;
    Nodes sn;
    Discs sd;
};

LawGradient at_layout(const LimbLaw& law, double lens, double rho, std::span<double> dc) {
    LawParts parts(law);
    PointScratch& scratch = runtime::thread_scratch<PointScratch>();
    Nodes& nodes = scratch.nodes;
    auto& w = scratch.w;
    auto& wt = scratch.wt;
    auto& wc = scratch.wc;
    Discs& d = scratch.d;
    Nodes& sn = scratch.sn;
    Discs& sd = scratch.sd;
    law.layout(lens, rho, nodes);
    const std::array<double*, MAX_COEFFICIENTS> wc_out{wc[0].data(), wc[1].data(), wc[2].data(),
                                                       wc[3].data()};
    const std::array<const double*, MAX_COEFFICIENTS> wc_in{wc[0].data(), wc[1].data(),
                                                            wc[2].data(), wc[3].data()};
    const bool own = !dc.empty() && !needs_singular_layout(law);
    node_weights(parts, nodes, own, Weights{w.data(), wt.data(), wc_out});
    d.evaluate(nodes, rho);
    double s_total = 0;
    const LawGradient g = from_discs(parts, nodes.count, nodes.lens, rho, nodes.x.data(),
                                     w.data(), wt.data(), wc_in, d.view(), own, dc.data(),
                                     s_total);
    if (dc.empty() || own) {
        return g;
    }
    // Every basis slope on the nodes of a law whose slope has the singular
    // term; the value's S is the same integral.
    const std::span<const double> c = law.coefficients();
    const double both[2] = {law.kind() == LawKind::power_2 ? 1.0 : c[0],
                            law.kind() == LawKind::power_2 ? c[1] : 1.0};
    const LimbLaw singular(law.kind(), both);
    singular.layout(lens, rho, sn);
    // The coefficients' weights are those of the law itself on the
    // singular law's nodes.
    node_weights(parts, sn, true, Weights{w.data(), wt.data(), wc_out});
    sd.evaluate(sn, rho);
    Sums sums;
    node_sums_of<false>(parts.k, sn.count, sn.x.data(), w.data(), wt.data(), wc_in, sd.view(),
                        rho, 0.0, law.limb(), sums);
    coefficient_slopes(parts, sums.c, sd.m[sn.count], s_total, dc.data());
    return g;
}

// Whether magnification_gradient(law, u, rho) takes the quadrature at one
// layout and nothing else (the lens `lens` source radii from the centre):
// every other point (NaN, a point source, a tiny or remote source, the far
// field, a lens at the centre, a law whose coefficients need a second
// layout) is left to it.
bool takes_one_layout(const LimbLaw& law, double distance, double rho, double& lens) noexcept {
    if (std::isnan(distance) || rho == 0 || rho < TINY_SOURCE || needs_singular_layout(law)) {
        return false;
    }
    lens = distance / rho;
    return lens <= FAR_POINT && lens < far_field::THRESHOLD && !(lens > 0 && lens < CENTRE);
}

constexpr std::size_t ROOM = law_batch::DISCS + CAP;

// The queue's per-disc arrays and the layout of the point being queued.
struct Queue {
    std::array<double, ROOM> x;
    std::array<double, ROOM> w;
    std::array<double, ROOM> wt;
    std::array<std::array<double, ROOM>, MAX_COEFFICIENTS> wc;
    std::array<double, ROOM> separation;
    std::array<double, ROOM> radius;
    std::array<double, ROOM> m;
    std::array<double, ROOM> du;
    std::array<double, ROOM> drho;
    std::array<double, ROOM> scaling;
    Nodes nodes;
};

template <class Radius>
void gradients_of(const LimbLaw& law, const double* u, Radius radius, const LawGradients& out,
                  std::size_t n) {
    const std::size_t k = law.coefficients().size();
    LawParts parts(law);
    Queue& q = runtime::thread_scratch<Queue>();
    // Per queued point: its index, its first disc, its nodes' count, the
    // lens as laid out and its radius (the whole source's disc follows the
    // nodes').
    std::array<std::size_t, law_batch::POINTS> at;
    std::array<std::size_t, law_batch::POINTS> first;
    std::array<std::size_t, law_batch::POINTS> count;
    std::array<double, law_batch::POINTS> laid;
    std::array<double, law_batch::POINTS> rhos;
    std::array<double, law_batch::POINTS> signed_u;  // read when queued: value may be u
    std::size_t points = 0;
    std::size_t discs = 0;
    Nodes& nodes = q.nodes;
    auto flush = [&] {
        const DiscGradients d{q.m.data(), q.du.data(), q.drho.data(), q.scaling.data()};
        (void)witt_mao_gradient_elements(q.separation.data(), q.radius.data(), d, discs);
        for (std::size_t p = 0; p < points; ++p) {
            const std::size_t a = first[p];
            const std::size_t c = count[p];
            const std::size_t i = at[p];
            off_the_rim(q.separation.data() + a, q.radius.data() + a,
                        DiscGradients{d.value + a, d.du + a, d.drho + a, d.scaling + a}, c);
            const DiscView view{q.m.data() + a, q.du.data() + a, q.drho.data() + a,
                                q.scaling.data() + a};
            double s_total = 0;
            const LawGradient g =
                from_discs(parts, c, laid[p], rhos[p], q.x.data() + a, q.w.data() + a,
                           q.wt.data() + a,
                           {q.wc[0].data() + a, q.wc[1].data() + a, q.wc[2].data() + a,
                            q.wc[3].data() + a},
                           view, true, out.dc + i * k, s_total);
            out.value[i] = g.value;
            // d|u|/du: the sign of u, and 0 at u = 0, where the
            // magnification is even and smooth.
            const double ui = signed_u[p];
            out.du[i] = ui < 0 ? -g.du : ui == 0 ? 0.0 : g.du;
            out.drho[i] = g.drho;
        }
        points = 0;
        discs = 0;
    };
    for (std::size_t i = 0; i < n; ++i) {
        const double rho = radius(i);
        const double distance = std::fabs(u[i]);
        double lens = 0;
        if (!takes_one_layout(law, distance, rho, lens)) {
            const LawGradient g = magnification_gradient(law, u[i], rho, {out.dc + i * k, k});
            out.value[i] = g.value;
            out.du[i] = g.du;
            out.drho[i] = g.drho;
            continue;
        }
        law.layout(lens, rho, nodes);
        const std::size_t c = nodes.count;
        node_weights(parts, nodes, true,
                     Weights{q.w.data() + discs, q.wt.data() + discs,
                             {q.wc[0].data() + discs, q.wc[1].data() + discs,
                              q.wc[2].data() + discs, q.wc[3].data() + discs}});
        nodes.discs(rho, q.separation.data() + discs, q.radius.data() + discs);
        std::copy_n(nodes.x.data(), c, q.x.data() + discs);
        q.separation[discs + c] = nodes.lens;
        q.radius[discs + c] = rho;
        at[points] = i;
        first[points] = discs;
        count[points] = c;
        laid[points] = nodes.lens;
        rhos[points] = rho;
        signed_u[points] = u[i];
        ++points;
        discs += c + 1;
        if (discs >= law_batch::DISCS || points == law_batch::POINTS) {
            flush();
        }
    }
    if (points > 0) {
        flush();
    }
}

}  // namespace

LawGradient darkened_gradient(const LimbLaw& law, double lens, double rho, std::span<double> dc) {
    LawGradient g = at_layout(law, lens, rho, dc);
    // A lens within CENTRE of the centre is laid out at the centre, where the
    // slope in u vanishes; the magnification is even and smooth in u, so
    // its slope is u A_uu(0) to a relative (1e-6)^2, taken from the slope
    // at CENTRE.
    if (lens > 0 && lens < CENTRE) {
        const LawGradient at_centre = at_layout(law, CENTRE, rho, std::span<double>());
        g.du = at_centre.du * (lens / CENTRE);
    }
    return g;
}

void law_gradients(const LimbLaw& law, const double* u, const double* rho,
                   const LawGradients& out, std::size_t n) {
    if (law.kind() == LawKind::uniform) {
        uniform_gradients(law, u, rho, out.value, out.du, out.drho, n);
        return;
    }
    gradients_of(law, u, law_batch::PerPointRadius{rho}, out, n);
}

void law_gradients(const LimbLaw& law, const double* u, double rho, const LawGradients& out,
                   std::size_t n) {
    if (law.kind() == LawKind::uniform) {
        std::array<double, 256> radii;
        radii.fill(rho);
        for (std::size_t b = 0; b < n; b += radii.size()) {
            const std::size_t len = std::min(n - b, radii.size());
            uniform_gradients(law, u + b, radii.data(), out.value + b, out.du + b, out.drho + b,
                              len);
        }
        return;
    }
    gradients_of(law, u, law_batch::OneRadius{rho}, out, n);
}

}  // namespace models
