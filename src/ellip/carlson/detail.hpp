// Constants and loops shared by the Carlson integrals.
#pragma once

#include <cmath>

namespace ellip::carlson::detail {

inline constexpr double PI = 3.141592653589793;

// Machine epsilon of the double format, 2^-52.
inline constexpr double EPSILON = 2.220446049250313e-16;

// The arithmetic-geometric mean stops once the two means agree to 2.7 eps.
inline constexpr double AGM_TOLERANCE = 5.995204332975846e-16;

// min and max that ignore a NaN operand (IEEE 754 minNum and maxNum), so that
// a NaN argument passes every domain test instead of failing one.
inline double min2(double a, double b) noexcept { return std::fmin(a, b); }
inline double max2(double a, double b) noexcept { return std::fmax(a, b); }
inline double min3(double a, double b, double c) noexcept { return std::fmin(std::fmin(a, b), c); }
inline double max3(double a, double b, double c) noexcept { return std::fmax(std::fmax(a, b), c); }

struct AgmMeans {
    double xn;
    double yn;
};

// The arithmetic-geometric mean of (a, b), without a step limit: convergence
// is quadratic, and a NaN makes the test false and ends the loop at once.
inline AgmMeans agm(double a, double b) noexcept {
    double xn = a;
    double yn = b;
    while (std::fabs(xn - yn) >= AGM_TOLERANCE * std::fabs(xn)) {
        const double t = std::sqrt(xn * yn);
        xn = (xn + yn) / 2;
        yn = t;
    }
    return {xn, yn};
}

struct AgmSum {
    double xn;
    double yn;
    double s;  // sum of 2^(k-1) (x_k - y_k)^2 over the steps, weights from 1/2
};

// The same loop, accumulating the weighted squared differences that RD and RG
// need when one argument is zero.
inline AgmSum agm_with_sum(double a, double b) noexcept {
    double xn = a;
    double yn = b;
    double w = 0.25;
    double s = 0.0;
    while (std::fabs(xn - yn) >= AGM_TOLERANCE * std::fabs(xn)) {
        const double t = std::sqrt(xn * yn);
        xn = (xn + yn) / 2;
        yn = t;
        w = w + w;
        const double diff = xn - yn;
        s = s + w * (diff * diff);
    }
    return {xn, yn, s};
}

// The degree-5 Taylor series that closes the duplication of RD and RJ,
// Carlson (1995), eqs. (2.18) and (2.29), in the elementary symmetric
// functions E2 .. E5 of the scaled deviations.
inline double rd_rj_series(double e2, double e3, double e4, double e5) noexcept {
    return 1 - 3 * e2 / 14 + e3 / 6 + 9 * e2 * e2 / 88 - 3 * e4 / 22 - 9 * e2 * e3 / 52 +
           3 * e5 / 26 - e2 * e2 * e2 / 16 + 3 * e3 * e3 / 40 + 3 * e2 * e4 / 20 +
           45 * e2 * e2 * e3 / 272 - 9 * (e3 * e4 + e2 * e5) / 68;
}

// Orders three values ascending with plain comparisons; a NaN stays wherever
// the comparisons leave it (a sort with a NaN-unaware ordering would not be
// well defined).
inline void sort3(double& a, double& b, double& c) noexcept {
    if (b < a) { const double t = a; a = b; b = t; }
    if (c < b) { const double t = b; b = c; c = t; }
    if (b < a) { const double t = a; a = b; b = t; }
}

}  // namespace ellip::carlson::detail
