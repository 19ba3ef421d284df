// Gauss-Legendre rules on [0, 1] and product weights for the singular
// factors t^beta and t ln t at the left end.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "quadrature/gauss_legendre_table.hpp"

namespace quadrature::gauss_legendre {

// gamma int_0^1 l_j(t) t^(gamma - 1) dt for the Lagrange polynomials l_j of
// the nodes of `rule` (RULE_12 or RULE_16), gamma > 0: sum_j f(t_j) W_j
// integrates f(t) against the weight gamma t^(gamma - 1) (whose integral is
// 1) exactly for f a polynomial of degree below N.  The weight's exponent is
// passed plus one, gamma, and the weight is scaled by it, so that an
// exponent next to -1 (gamma tiny, down to the smallest doubles, where the
// unscaled weights grow like 1/gamma) neither loses its digits nor
// overflows.  From the expansion of l_j in the shifted Legendre polynomials
// P~_i, orthogonal on [0, 1] with norm 1/(2i + 1),
//   l_j(t) = w_j sum_i (2i + 1) P~_i(t_j) P~_i(t),
// and the scaled moments
//   gamma int_0^1 t^(gamma - 1) P~_i(t) dt
//     = (gamma - 1) (gamma - 2) ... (gamma - i) / ((gamma + 1) ... (gamma + i)),
// products of factors below 1 in size, so no term is large.
template <std::size_t N>
std::array<double, N> power_weights(double gamma, const std::array<Node, N>& rule) noexcept {
    std::array<double, N> moment{};
    double ratio = 1;  // prod_{k=1}^{i} (gamma - k) / (gamma + k)
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) {
            const double k = static_cast<double>(i);
            ratio *= (gamma - k) / (gamma + k);
        }
        moment[i] = ratio;
    }
    std::array<double, N> weights{};
    for (std::size_t j = 0; j < N; ++j) {
        const double x = 2 * rule[j].t - 1;
        double p0 = 1;
        double p1 = x;
        double sum = moment[0] + 3 * x * moment[1];
        for (std::size_t i = 1; i + 1 < N; ++i) {
            const double k = static_cast<double>(i);
            const double p2 = ((2 * k + 1) * x * p1 - k * p0) / (k + 1);
            p0 = p1;
            p1 = p2;
            sum += (2 * k + 3) * p2 * moment[i + 1];
        }
        weights[j] = rule[j].w * sum;
    }
    return weights;
}

inline std::array<double, 16> power_weights_16(double gamma) noexcept {
    return power_weights(gamma, RULE_16);
}

}  // namespace quadrature::gauss_legendre
