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

#include "models/limb_law_gradient.hpp"
#include "models/limb_law_powers.hpp"
#include "models/witt_mao.hpp"
#include "models/witt_mao_gradient.hpp"
#include "quadrature/gauss_legendre.hpp"

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

// The product-weighted piece [0, d] on rule N: c d^gamma W_j(gamma) and its
// slope in alpha, 2 c (ln d d^gamma W_j + d^gamma W_j'), with the node's
// power part the first product.
template <std::size_t N>
std::size_t product_slopes(const Nodes& nodes, const std::array<gl::Node, N>& rule, double c,
                           double gamma, double* out) {
    const double d = nodes.product_length;
    const double log_length = std::log(d);
    const double power = std::pow(d, gamma);
    const auto ws = power_weight_slopes(gamma, rule);
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
void exponent_weight_slopes(const Nodes& nodes, double c, double gamma, double* out) {
    std::size_t product = 0;
    switch (nodes.product_rule) {
        case Nodes::ProductRule::gauss_16:
            product = product_slopes(nodes, gl::RULE_16, c, gamma, out);
            break;
        case Nodes::ProductRule::gauss_12:
            product = product_slopes(nodes, gl::RULE_12, c, gamma, out);
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

// The discs of a layout and the whole source (last): their magnifications
// (witt_mao_element's bits) and slopes.
struct Discs {
    std::size_t n = 0;
    std::array<double, CAP> m;
    std::array<double, CAP> du;
    std::array<double, CAP> drho;
    std::array<double, CAP> scaling;
};

void evaluate_discs(const Nodes& nodes, double rho, Discs& d) {
    std::array<double, CAP> separation;
    std::array<double, CAP> radius;
    const std::size_t n = nodes.count;
    nodes.discs(rho, separation.data(), radius.data());
    separation[n] = nodes.lens;
    radius[n] = rho;
    d.n = n;
    // Every disc at once, in vector lanes; a disc whose kernel fails leaves
    // NaN throughout, as in the value.
    (void)witt_mao_gradient_elements(separation.data(), radius.data(),
                                     DiscGradients{d.m.data(), d.du.data(), d.drho.data(),
                                                   d.scaling.data()},
                                     n + 1);
    for (std::size_t i = 0; i < n; ++i) {
        if (separation[i] != 1) {
            continue;
        }
        // A node whose disc's radius rounds onto the lens's distance (a
        // lens within ~1e-10 of the limb, where x = sqrt(1 - s^4) resolves
        // s no better than that): the disc's own slopes are infinite there,
        // but the integrands they enter are finite and continuous across
        // the rim (the moving combination and the scaling slope) or
        // integrably singular, so they are taken an ulp off it.  The value
        // keeps the node's own magnification.
        if (std::isnan(d.m[i])) {
            continue;  // the disc's kernel failed: NaN throughout, as in the value
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

// dA/dc_k for every coefficient, from a layout whose nodes carry every basis
// slope's parts; s_total is the value's S.
void coefficient_slopes(const LimbLaw& law, const Nodes& nodes, const Discs& d, double s_total,
                        std::span<double> dc) {
    const std::span<const double> c = law.coefficients();
    const double flux = law.flux();
    const double excess_ratio = s_total / flux;  // A - 1 before rounding up to 1
    const std::size_t n = nodes.count;
    std::array<double, Nodes::CAPACITY> w;
    for (std::size_t k = 0; k < dc.size(); ++k) {
        double s_k = 0;
        double flux_k = 0;
        if (law.kind() == LawKind::power_2 && k == 1) {
            // alpha moves the exponent of the slope and its weights.
            exponent_weight_slopes(nodes, c[0], law.slope().beta_plus_one, w.data());
            for (std::size_t i = 0; i < n; ++i) {
                const double x = nodes.x[i];
                s_k += w[i] * (x * x * (d.m[i] - 1));
            }
            const double alpha_plus_two = c[1] + 2;
            flux_k = -2 * c[0] / (alpha_plus_two * alpha_plus_two);
        } else {
            const Basis b = basis(law.kind(), c, k);
            nodes.weights(b.slope, w.data());
            for (std::size_t i = 0; i < n; ++i) {
                const double x = nodes.x[i];
                s_k += w[i] * (x * x * (d.m[i] - 1));
            }
            s_k += b.limb * (d.m[n] - 1);
            flux_k = b.flux;
        }
        dc[k] = (s_k - excess_ratio * flux_k) / flux;
    }
}

// A law of the same family whose slope has the singular term every basis
// slope may need (the log law's s ln s, the power law's s^beta), for a law
// whose own coefficient of it is zero.
bool needs_singular_layout(const LimbLaw& law) noexcept {
    return (law.kind() == LawKind::logarithmic || law.kind() == LawKind::power_2) &&
           !law.slope().singular();
}

LawGradient at_layout(const LimbLaw& law, double lens, double rho, std::span<double> dc) {
    Nodes nodes;
    law.layout(lens, rho, nodes);
    Discs d;
    evaluate_discs(nodes, rho, d);
    const std::size_t n = nodes.count;
    const double flux = law.flux();
    const double limb = law.limb();

    // The value, in darkened()'s order of operations.
    std::array<double, Nodes::CAPACITY> w;
    nodes.weights(law.slope(), w.data());
    double total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = nodes.x[i];
        total += w[i] * (x * x * (d.m[i] - 1));
    }
    const double s_total = limb * (d.m[n] - 1) + total;
    LawGradient g;
    g.value = std::max(1 + s_total / flux, 1.0);

    const double l = nodes.lens;
    const double u = l * rho;
    double sum_u = limb_share(limb, d.du[n]);
    if (l > 0 && l < 1) {
        const double mu2 = (1 - l) * (1 + l);
        const double pull = l / mu2;
        const Slope tilde = scaled_slope(law.slope());
        std::array<double, Nodes::CAPACITY> wt;
        nodes.weights(tilde, wt.data());
        double smooth = 0;
        double moved = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double x = nodes.x[i];
            const double e = x * x * (d.m[i] - 1);
            const double moving = 2 * (d.m[i] - 1) / rho + x * d.drho[i];
            const double along = x * x * d.du[i] + pull * ((1 - x) * (1 + x)) * moving;
            smooth += w[i] * along;
            moved += wt[i] * e;
        }
        sum_u += smooth - (pull / (2 * rho)) * moved;
        g.du = sum_u / flux;
        // rho dA/drho = G - u dA/du, G the average of the discs' scaling slopes.
        double sum_g = limb_share(limb, d.scaling[n]);
        for (std::size_t i = 0; i < n; ++i) {
            const double x = nodes.x[i];
            sum_g += w[i] * (x * x * d.scaling[i]);
        }
        g.drho = (sum_g / flux - u * g.du) / rho;
    } else {
        double sum_r = limb_share(limb, d.drho[n]);
        for (std::size_t i = 0; i < n; ++i) {
            const double x = nodes.x[i];
            sum_u += w[i] * (x * x * d.du[i]);
            sum_r += w[i] * (x * x * x * d.drho[i]);
        }
        g.du = sum_u / flux;
        g.drho = sum_r / flux;
    }

    if (!dc.empty()) {
        if (!needs_singular_layout(law)) {
            coefficient_slopes(law, nodes, d, s_total, dc);
        } else {
            // Every basis slope on the nodes of a law whose slope has the
            // singular term; the value's S is the same integral.
            const std::span<const double> c = law.coefficients();
            const double both[2] = {law.kind() == LawKind::power_2 ? 1.0 : c[0],
                                    law.kind() == LawKind::power_2 ? c[1] : 1.0};
            const LimbLaw singular(law.kind(), both);
            Nodes sn;
            singular.layout(lens, rho, sn);
            Discs sd;
            evaluate_discs(sn, rho, sd);
            coefficient_slopes(law, sn, sd, s_total, dc);
        }
    }
    return g;
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

}  // namespace models
