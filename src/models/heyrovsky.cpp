// Heyrovsky ring magnification.
//
// With eps = re / rstar the Einstein radius in source radii, d = r - l,
// S = l + r and Q = 4 eps^2 + d^2:
//
//   A = (2/pi) (2 eps^2 K(m) + d^2 Pi(n, m)) / (S sqrt(Q)),
//   n = 4 l r / S^2,  m = 16 eps^2 l r / (Q S^2).
//
// As the ring approaches the lens (d -> 0) both n and m tend to 1; K grows
// like a logarithm and Pi like 1/|d| while d^2 vanishes.  The complements
// 1 - n = d^2 / S^2 and 1 - m = d^2 (4 eps^2 + S^2) / (Q S^2) are therefore
// formed directly, never by subtraction, and with Pi = K + n X, where
// X = (Pi - K)/n stays finite at n = 0,
//
//   A = (2/pi) ((2 eps^2 + d^2) K(m) + d^2 n X(n, m)) / (S sqrt(Q)),
//
// a sum of positive terms for a lens and ring on the same side (l, r >= 0).
#include <cmath>
#include <limits>

#include "ellip/legendre/legendre.hpp"
#include "models/heyrovsky.hpp"

namespace models {

namespace {
constexpr double TWO_PI = 6.283185307179586;

// The ring so close to the lens that the complements underflow: the leading
// terms of the expansion in d / l, which are then exact to double precision.
// At d = 0 (for positive l and eps) the logarithm and the value are +inf.
double touching_ring(double l, double d, double eps, double eps2) noexcept {
    const double l2 = l * l;
    const double q = l2 + eps2;
    const double t = (1 - d / (l + l)) * ((eps + eps) / l);
    const double log_term = std::log(((8 * eps) * l) / (std::sqrt(q) * std::fabs(d)));
    const double atan_term = std::atan(l / eps);
    return ((t * log_term + 4 * atan_term) + ((((l2 + l2) + eps2) * eps) / (q * l2)) * d) /
           TWO_PI;
}
}  // namespace

ellip::Result heyrovsky_magnification(double l, double r, double re, double rstar) noexcept {
    const double eps = re / rstar;
    const double eps2 = eps * eps;
    const double d = r - l;
    const double dd = d * d;
    const double s = l + r;
    const double s2 = s * s;
    const double four_eps2 = 4 * eps2;
    const double q = four_eps2 + dd;

    // A point source on the lens: l = r = 0.
    if (s == 0 && d == 0) {
        return ellip::success(std::numeric_limits<double>::infinity());
    }
    const double nc = dd / s2;
    const double mc = dd * (four_eps2 + s2) / (q * s2);
    if (nc == 0 || mc == 0) {
        return ellip::success(touching_ring(l, d, eps, eps2));
    }
    const double n = ((4 * l) * r) / s2;
    const double m = 16 * eps2 * l * r / (q * s2);

    const ellip::legendre::KdxResult kdx = ellip::legendre::_ellip_kdx_complement(m, mc, nc);
    if (!kdx.x.ok()) {
        return kdx.x;
    }
    const double value = ((eps2 + eps2 + dd) * kdx.k + dd * n * kdx.x.value) *
                         (4 / (s * std::sqrt(q))) / TWO_PI;
    return ellip::success(value);
}

}  // namespace models
