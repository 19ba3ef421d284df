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
    double t;          // T = S - 1; where S is bound to cancel, only as far
                       // as needed to know it
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

// Below this |S| the sum S = 1 + T has lost more than two bits to
// cancellation, and the callers take S from the telescoped sum below.
inline constexpr double S_CANCELLATION = 0.25;

// Once |1 + T| plus the size of the last term is below this, S ends below
// S_CANCELLATION whatever follows: each later term is at most half the one
// before (|e_k| <= 1), so together they stay below the last, and the
// roundings of up to AGM_MAX_STEPS more additions stay below 1e-14.
inline constexpr double S_SURELY_CANCELLED = 0.24;

// The plain sums of the main path take a handful of steps; the test for a
// sum bound to cancel is made only beyond them, where it can save many.
inline constexpr int LONG_SUM_STEPS = 8;

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
    int step = 0;
    // One step; true once both the mean and the sum have settled.
    const auto advance = [&]() noexcept {
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
        return agm_settled && sum_settled;
    };
    bool settled = false;
    for (; step < LONG_SUM_STEPS && !settled; ++step) {
        settled = advance();
    }
    // Past the handful of steps the sums take on the main path, where S is
    // bound to cancel the callers take it from the telescoped sum and use
    // only K and D of these sums; with the mean at a fixed point, K is the
    // one the remaining steps would give, and those steps (up to the cap for
    // the smallest nc, whose terms halve without settling) are not needed.
    for (; step < AGM_MAX_STEPS && !settled; ++step) {
        const double a_prev = a;
        const double g_prev = g;
        settled = advance() || (agm_settled && a == a_prev && g == g_prev &&
                                std::fabs(1 + t) + std::fabs(q) < S_SURELY_CANCELLED);
    }
    AgmSums r;
    r.k = AGM_PI / (a + g);
    // At m = 0 the sum s vanishes with m.
    r.d_bracket = delta0 / (4 * (1 + g0)) + (m == 0 ? 0.0 : s / m);
    r.t = t;
    return r;
}

// Whether S is taken from the telescoped sum: where the plain sum cancels
// (|S| below S_CANCELLATION, under which it has lost more than two bits), and
// where the plain recurrence overflowed for an nc so small (subnormal) that
// p_1^2 ~ mc / (4 nc) exceeds the largest double, which leaves S NaN for
// arguments that are numbers.  Arguments that are not numbers, or outside
// the domain, give neither: their verdict is the caller's.
inline bool takes_telescoped_sum(double s, double g0, double nc) noexcept {
    constexpr double MAX = 1.7976931348623157e308;
    return std::fabs(s) < S_CANCELLATION ||
           (std::isnan(s) && nc > 0 && nc < g0 && g0 <= MAX);
}

// S = 1 + T where the terms of T alternate in sign and S cancels: nc small
// against g_0 = sqrt(mc), so that p_1^2 ~ g_0^2 / (4 nc) is large and
// Q_1 ~ -1/2, and S ~ sqrt(nc) is what is left of T ~ -1.
//
// Telescoped: the partial sums U_j = Q_0 + ... + Q_j + Q_j satisfy
// U_(j+1) - U_j = 2 Q_(j+1) - Q_j = -Q_j f_j with f_j = 1 - e_j =
// 2 a_j g_j / (p_j^2 + a_j g_j), and U_1 = 1 + e_0 = 2 nc / (nc + g_0).  With
// Q_1 < 0 (nc < g_0) and p_j^2 above a_j g_j, every step adds a positive
// term, so S = lim U_j is formed without cancellation.
//
// Closed tail: once the mean has settled at step J (a_k g_k = M^2 for
// k >= J), p_(k+1) = (p_k^2 + M^2) / (2 p_k) doubles theta in
// p_k = M coth(theta_k), e_k = sech(2 theta_k), and the products of sech
// telescope (1 / sinh 2y = coth y - coth 2y) to
//   sum_(k>J) Q_k = Q_J e^(-2 theta_J) = Q_J (p_J - M) / (p_J + M),
// whence S = U_J + 2 M R,  R = -Q_J / (p_J + M).  The descent of p_k^2
// towards M^2, four to one per step and some 500 steps for nc = 1e-300, is
// thus not iterated: the loop runs only the handful of steps of the mean.
// With K = pi / (2 M), P = K S / 2 = K U_J / 2 + (pi/2) R, in which the
// tail, the whole of P for the smallest nc, carries no error of K or M but
// through the small term M / p_J of its denominator.
//
// With y_j = 1/p_j (below 1/g_0 where p_j^2 would overflow for the smallest
// nc) and h_j = a_j g_j y_j^2, a step is
//   f_j = 2 h_j / (1 + h_j),  e_j = (1 - h_j) / (1 + h_j),
//   y_(j+1) = 2 y_j / (1 + h_j),  Q_(j+1) = Q_j e_j / 2,
// one division.  The products that Q_J and y_J gather are carried as
// defects from the first step, which grow from 0 by small positive steps and
// keep their relative precision where plain recurrences would gather an ulp
// a step:
//   Q_j = Q_1 2^(1-j) (1 - C_j),  1 - C_(j+1) = (1 - C_j)(1 - f_j),
//   y_j = y_1 2^(j-1) / (1 + V_j),  1 + V_(j+1) = (1 + V_j)(1 + h_j),
// so that R = -Q_1 y_1 (1 - C_J) / ((1 + V_J)(1 + M y_J)).  No subtraction
// of nearly equal numbers is left: U_1, y_1 and Q_1 are formed from the
// complements, the terms added to U share one sign, and the tail is a
// product.
struct TelescopedSum {
    double u;  // U_J
    double r;  // R, with S = U_J + 2 M R
};

// The tail takes a_J g_J for M^2, which holds to (delta_J / M)^2 / 8: with
// delta_J below 2^-26 a_J that is below eps / 8, and the step the mean would
// take to settle to eps is not needed.
inline constexpr double TAIL_SETTLED = 0x1p-26;

inline TelescopedSum telescoped_sum(double g0, double nc) noexcept {
    const double sum0 = nc + g0;
    const double root_nc = std::sqrt(nc);
    const double minus_q1 = (g0 - nc) / (2 * sum0);
    double u = 2 * nc / sum0;
    double y = 2 * root_nc / sum0;
    double c = 0;
    double v = 0;
    double half = 1;  // 2^(1-j)
    double a = (1 + g0) / 2;
    double g = std::sqrt(g0);
    // The mean starts from (a_1, g_1); the cap only guards against
    // arguments that never settle.
    for (int step = 1; step < AGM_MAX_STEPS && a - g >= TAIL_SETTLED * a; ++step) {
        const double ag = a * g;
        const double h = ag * (y * y);
        const double r = 1 / (1 + h);
        const double f = 2 * h * r;
        u += (minus_q1 * half * (1 - c)) * f;
        c += f * (1 - c);
        v += h * (1 + v);
        y = 2 * y * r;
        half *= 0.5;
        const double a_next = (a + g) / 2;
        g = std::sqrt(ag);
        a = a_next;
    }
    const double mean = (a + g) / 2;
    TelescopedSum s;
    s.u = u;
    s.r = ((g0 - nc) / sum0) * (root_nc / sum0) * (1 - c) / ((1 + v) * (1 + mean * y));
    return s;
}

}  // namespace ellip::legendre::detail
