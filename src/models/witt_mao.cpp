// Witt-Mao magnification of a uniformly bright disc by a point lens.
//
// With rho the source radius and u the lens-source separation, both in
// Einstein radii, d = u - rho and h = u + rho, the closed form is
//
//   A = (1/pi) [ E(m) h sqrt(d^2 + 4) / (2 rho^2)
//              - K(m) d (u^2 - rho^2 + 8) / (2 rho^2 sqrt(d^2 + 4))
//              + Pi(n, m) 2 (1 + rho^2) d^2 / (rho^2 h sqrt(d^2 + 4)) ],
//
//   n = 4 u rho / h^2,  m = 4 n / (d^2 + 4).
//
// Written so, its three terms grow like x^2 / 4 times the result for large
// separations x and cancel.  With E = K - m D and Pi = K + n X, where
// D = (K - E)/m and X = (Pi - K)/n, the coefficients of K add up exactly to
// 2 s / h (s = sqrt(d^2 + 4)), and
//
//   A = (1/pi) [ (2 s / h) K(m) - (8 u / (rho h s)) D(m)
//              + (8 u (1 + rho^2) d^2 / (rho h^3 s)) X(n, m) ],
//
// which keeps its digits at every separation.
//
// Near the limb (d -> 0) both n and m tend to 1 and K and X diverge, while
// their coefficients vanish or cancel.  The integrals there depend on the
// complements 1 - n = (d/h)^2 and 1 - m = d^2 (1 + 4/h^2) / (d^2 + 4), which
// are therefore formed directly, never by subtraction.
#include <cmath>

#include "ellip/legendre/legendre.hpp"
#include "models/witt_mao.hpp"

namespace models {

namespace {
constexpr double PI = 3.141592653589793;

// The lens exactly on the limb: no elliptic integral is left, and
//   pi A = (pi/2 + asin((rho^2 - 1)/(rho^2 + 1))) (1 + rho^2)/rho^2 + 2/rho.
// For a small source the arcsine sits next to -pi/2, where the sum cancels
// (4e-10 relative error at rho = 1e-4); the sum is exactly 2 atan(rho),
// which does not cancel.  Grouped as (atan(rho)/rho) (1/rho + rho), the
// first term neither overflows nor underflows where rho^2 would.
double limb_value(double rho) noexcept {
    return 2 * (std::atan(rho) / rho) * (1 / rho + rho) + 2 / rho;
}
}  // namespace

ellip::Result witt_mao_element(double x, double rho) noexcept {
    using namespace ellip::legendre;
    const double rho2 = rho * rho;
    // The magnification depends on the distance of the lens from the centre
    // only; a signed separation (a track through the centre) counts by its
    // size.
    const double u = std::fabs(x) * rho;
    const double d = u - rho;
    const double h = rho + u;
    const double d2 = d * d;
    const double nc = (d / h) * (d / h);
    const double mc = d2 * (1 + 4 / (h * h)) / (d2 + 4);

    // Where d or the complements vanish (d = 0, or so small that they
    // underflow) the lens lies on the limb to within the precision of the
    // arguments.
    if (d == 0 || nc == 0 || mc == 0) {
        return ellip::success(limb_value(rho) / PI);
    }

    const double s = std::sqrt(d2 + 4);
    const double n = (4 * rho * u) / (h * h);
    const double m = 4 * n / (d2 + 4);

    const KdxResult kdx = _ellip_kdx_complement(m, mc, nc);
    if (!kdx.x.ok()) {
        return kdx.x;
    }

    const double g = (2 * s / h) * kdx.k - (8 * u / (rho * h * s)) * kdx.d +
                     (8 * u * (1 + rho2) * d2 / (rho * h * h * h * s)) * kdx.x.value;
    return ellip::success(g / PI);
}

Outcome<Curve> witt_mao_magnification(Curve l, double re, double rstar,
                                      const Interrupt& interrupt) {
    const double rho = rstar / re;
    Curve curve;
    curve.reserve(l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        if (interrupted_at(interrupt, i, 1024)) {
            return interrupted();
        }
        const ellip::Result a = witt_mao_element(l[i], rho);
        if (!a.ok()) {
            return runtime_error(a.error);
        }
        curve.push_back(a.value);
    }
    return curve;
}

}  // namespace models
