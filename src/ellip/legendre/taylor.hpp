// The tabulated Taylor polynomials of K(m) and E(m) on 0 <= m < 0.9.
#pragma once

#include "ellip/legendre/taylor_tables.hpp"

namespace ellip::legendre::detail {

// The interval number trunc(20 m) when it lies in 0 .. 17, else -1.  NaN,
// infinities and products beyond any integer range all fall outside, and
// -0.05 < m < 0 truncates to interval 0.
inline int taylor_interval(double m) noexcept {
    const double scaled = 20 * m;
    if (scaled > -1.0 && scaled < 18.0) {
        return static_cast<int>(scaled);
    }
    return -1;
}

// Horner's rule in t = m - m_c, from the highest coefficient down.
inline double evaluate_taylor(const TaylorRow& row, double m) noexcept {
    const double t = m - row.centre;
    double v = row.c[row.degree];
    for (int j = row.degree - 1; j >= 0; --j) {
        v = v * t + row.c[j];
    }
    return v;
}

}  // namespace ellip::legendre::detail
