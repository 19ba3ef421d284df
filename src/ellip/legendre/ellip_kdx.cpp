// K(m), D(m) = (K - E)/m and X(n, m) = (Pi(n, m) - K(m))/n together, from
// one arithmetic-geometric mean of 1 and sqrt(mc), for the complements
// mc = 1 - m > 0 and nc = 1 - n > 0.
//
// With a_0 = 1, g_0 = sqrt(mc) and the AGM steps a_(k+1) = (a_k + g_k)/2,
// g_(k+1) = sqrt(a_k g_k) converging to M:
//   K = pi / (2 M)                                              (DLMF 19.8.5)
//   D = (pi / (2 M)) [ (g_0 + 3) / (4 (g_0 + 1)) + s / m ],
//       s = sum_k 2^(k-1) (a_k - g_k)^2, k >= 1     (RD(0, mc, 1)/3 by the AGM)
//   X = K S / (2 nc),  S = sum_k Q_k, with p_0^2 = nc, Q_0 = 1,
//       p_(k+1) = (p_k^2 + a_k g_k) / (2 p_k),
//       e_k = (p_k^2 - a_k g_k) / (p_k^2 + a_k g_k), Q_(k+1) = Q_k e_k / 2
//                                                          (DLMF 19.8.6-19.8.7)
// The terms of S alternate in sign when nc is small against sqrt(mc) (n near
// 1 while m is not); S then cancels, and X is taken from Carlson's RJ
// instead.
#include <cmath>

#include "ellip/carlson/carlson.hpp"
#include "ellip/legendre/legendre.hpp"

namespace ellip::legendre {

namespace {
constexpr double PI = 3.141592653589793;
constexpr double EPSILON = 2.220446049250313e-16;
// Below this the sum S has lost more than two bits to cancellation.
constexpr double S_CANCELLATION = 0.25;
// Quadratic convergence needs a handful of steps; the cap only guards
// against arguments that never settle.
constexpr int MAX_STEPS = 64;
}  // namespace

KdxResult _ellip_kdx_complement(double m, double mc, double nc) noexcept {
    const double g0 = std::sqrt(mc);
    double a = 1;
    double g = g0;
    double w = 0.5;
    double s = 0;
    double p2 = nc;
    double p = std::sqrt(nc);
    double q = 1;
    double sum_q = 0;
    for (int step = 0; step < MAX_STEPS; ++step) {
        const double ag = a * g;
        sum_q += q;
        const double e = (p2 - ag) / (p2 + ag);
        p = (p2 + ag) / (2 * p);
        p2 = p * p;
        q = q * e / 2;
        const double a_next = (a + g) / 2;
        g = std::sqrt(ag);
        a = a_next;
        const double diff = a - g;
        s += w * (diff * diff);
        w += w;
        // A NaN fails both tests and ends the loop.
        if (!(std::fabs(diff) >= EPSILON * std::fabs(a)) &&
            !(std::fabs(q) >= EPSILON * std::fabs(sum_q))) {
            break;
        }
    }
    sum_q += q;

    KdxResult r;
    r.k = PI / (a + g);
    // At m = 0 the sum s vanishes with m.
    const double s_over_m = m == 0 ? 0.0 : s / m;
    r.d = r.k * ((g0 + 3) / (4 * (g0 + 1)) + s_over_m);
    if (std::fabs(sum_q) >= S_CANCELLATION) {
        r.x = success(r.k * sum_q / (2 * nc));
    } else {
        r.x = _ellippi_excess_complement(mc, nc);
    }
    return r;
}

}  // namespace ellip::legendre
