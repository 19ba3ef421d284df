// The arithmetic-geometric mean of 1 and sqrt(mc) with the two sums that give
// K(m), D(m) = (K - E)/m and Pi(n, m) from the complements mc = 1 - m and
// nc = 1 - n; shared by the fused kernels.
//
// With a_0 = 1, g_0 = sqrt(mc), a_(k+1) = (a_k + g_k)/2, g_(k+1) = sqrt(a_k g_k)
// converging to M:
//   K = pi / (2 M)                                              (DLMF 19.8.5)
//   D = K [ 1/2 + delta_0 / (4 (1 + g_0)) + s / m ],
//       delta_k = a_k - g_k,  s = sum_(k>=1) 2^(k-1) delta_k^2
//   (Pi - K) nc / n = K S / 2,  S = 1 + T,  T = sum_(k>=1) Q_k, with p_0^2 = nc,
//       Q_0 = 1, p_(k+1) = (p_k^2 + a_k g_k) / (2 p_k),
//       e_k = (p_k^2 - a_k g_k) / (p_k^2 + a_k g_k), Q_(k+1) = Q_k e_k / 2
//                                                          (DLMF 19.8.6-19.8.7)
//
// delta_0 = 1 - g_0 is formed as m / (1 + g_0).  For small m the later
// differences are carried too, never formed by subtracting nearly equal
// numbers:
//   delta_(k+1) = (sqrt(a_k) - sqrt(g_k))^2 / 2 = delta_k^2 / (4 (a_(k+1) + g_(k+1))),
// so that s / m keeps its digits however small m is (for m of 1e-24, mc rounds
// to 1 - 2^-53 and a_1 - g_1 by subtraction would be pure rounding).  The
// first e_k takes its numerator p_0^2 - g_0 = nc - g_0 from the caller, who
// can form it without cancellation.
#pragma once

#include <cmath>

namespace ellip::legendre::detail {

struct AgmSums {
    double k;          // K(m)
    double d_bracket;  // D / K - 1/2 = delta_0 / (4 (1 + g_0)) + s / m
    double t;          // T = S - 1
};

// Quadratic convergence needs a handful of steps; the cap only guards
// against arguments that never settle.
inline constexpr int AGM_MAX_STEPS = 64;
inline constexpr double AGM_EPSILON = 2.220446049250313e-16;
inline constexpr double AGM_PI = 3.141592653589793;

// A difference a_k - g_k formed by subtraction is off by about eps, which
// s / m turns into eps^2 / m once the difference itself is that small: below
// eps (m / 16), the smallest bracket the callers add it to, only for m above
// about 1e-7.  Below this bound the differences are carried instead, at the
// cost of one division per step.
inline constexpr double AGM_CARRY_BELOW = 1e-6;

// g0 = sqrt(mc), delta0 = 1 - g0, e0_numerator = nc - g0.  With
// tail_relative the sum T is carried until its terms fall below eps |T|
// (needed where T itself is used); otherwise until they fall below eps |1 + T|.
template <bool tail_relative>
inline AgmSums agm_sums(double m, double g0, double delta0, double nc,
                        double e0_numerator) noexcept {
    double a = 1;
    double g = g0;
    double delta = delta0;
    double w = 0.5;
    double s = 0;
    double p2 = nc;
    double p = std::sqrt(nc);
    double q = 1;
    double t = 0;
    const bool carry = m < AGM_CARRY_BELOW;
    bool agm_settled = false;
    for (int step = 0; step < AGM_MAX_STEPS; ++step) {
        const double ag = a * g;
        const double e = (step == 0 ? e0_numerator : p2 - ag) / (p2 + ag);
        p = (p2 + ag) / (2 * p);
        p2 = p * p;
        q = q * e / 2;
        t += q;
        const double a_next = (a + g) / 2;
        g = std::sqrt(ag);
        a = a_next;
        // Once the mean has settled, a - g is rounding, which the doubling
        // weights w would blow up while the sum T (whose terms alternate in
        // sign when nc is small) still runs: s takes no more terms.
        if (!agm_settled) {
            delta = carry ? delta * delta / (4 * (a + g)) : a - g;
            s += w * (delta * delta);
            w += w;
            // A NaN fails the test and settles the mean.
            agm_settled = !(delta >= AGM_EPSILON * a);
        }
        const bool sum_settled =
            tail_relative ? !(std::fabs(q) > AGM_EPSILON * std::fabs(t))
                          : !(std::fabs(q) >= AGM_EPSILON * std::fabs(1 + t));
        if (agm_settled && sum_settled) {
            break;
        }
    }
    AgmSums r;
    r.k = AGM_PI / (a + g);
    // At m = 0 the sum s vanishes with m.
    r.d_bracket = delta0 / (4 * (1 + g0)) + (m == 0 ? 0.0 : s / m);
    r.t = t;
    return r;
}

}  // namespace ellip::legendre::detail
