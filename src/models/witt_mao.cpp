// Witt-Mao magnification of a uniformly bright disc by a point lens.
//
// With rho the source radius and u the lens-source separation, both in
// Einstein radii, d = u - rho and h = u + rho:
//
//   A = (1/pi) [ E(m) h sqrt(d^2 + 4) / (2 rho^2)
//              - K(m) d (u^2 - rho^2 + 8) / (2 rho^2 sqrt(d^2 + 4))
//              + Pi(n, m) 2 (1 + rho^2) d^2 / (rho^2 h sqrt(d^2 + 4)) ],
//
//   n = 4 u rho / h^2,  m = 4 n / (d^2 + 4).
//
// Near the limb (d -> 0) both n and m tend to 1, and K and Pi diverge while
// their coefficients vanish.  The complements 1 - n = (d/h)^2 and
// 1 - m = d^2 (1 + 4/h^2) / (d^2 + 4) are therefore formed directly, never by
// subtraction, and drive the integrals there.
#include <cmath>

#include "ellip/legendre/legendre.hpp"
#include "models/witt_mao.hpp"

namespace models {

namespace {
constexpr double PI = 3.141592653589793;
constexpr double HALF_PI = 1.5707963267948966;

// The lens exactly on the limb: no elliptic integral is left.
double limb_value(double rho, double rho2) noexcept {
    return (std::asin((rho2 - 1) / (rho2 + 1)) + HALF_PI) * ((1 + rho2) / rho2) + 2 / rho;
}
}  // namespace

ellip::Result witt_mao_element(double x, double rho) noexcept {
    using namespace ellip::legendre;
    const double rho2 = rho * rho;
    const double u = x * rho;
    const double d = u - rho;
    const double h = rho + u;
    const double d2 = d * d;
    const double nc = (d / h) * (d / h);
    const double mc = d2 * (1 + 4 / (h * h)) / (d2 + 4);

    // Where the complements vanish (d = 0, or so small that they underflow)
    // the lens lies on the limb to within the precision of the arguments.
    if (nc == 0 || mc == 0) {
        return ellip::success(limb_value(rho, rho2) / PI);
    }

    const double s = std::sqrt(d2 + 4);
    const double n = (4 * rho * u) / (h * h);
    const double root = std::sqrt(4 * n) / s;
    const double m = root * root;

    const ellip::Result e = _ellipe_complement(m, mc);
    if (!e.ok()) {
        return e;
    }
    const ellip::Result k = _ellipk_complement(m, mc);
    if (!k.ok()) {
        return k;
    }
    // A lens on the far side of the centre (u < 0) gives n < 0, where nothing
    // is near a singularity and the plain reduction serves.
    const ellip::Result p = n > 0 ? _ellippi_vc_complement(n, mc, nc) : ellippi(n, m);
    if (!p.ok()) {
        return p;
    }

    const double g = (e.value * ((s * h) / (rho2 + rho2)) -
                      ((d * ((u * u - rho2) * 0.5 + 4)) / (rho2 * s)) * k.value) +
                     p.value * (((1 + rho2) * (2 * d2)) / ((rho2 * h) * s));
    return ellip::success(g / PI);
}

Outcome<Curve> witt_mao_magnification(Curve l, double re, double rstar) {
    const double rho = rstar / re;
    Curve curve;
    curve.reserve(l.size());
    for (const double x : l) {
        const ellip::Result a = witt_mao_element(x, rho);
        if (!a.ok()) {
            return runtime_error(a.error);
        }
        curve.push_back(a.value);
    }
    return curve;
}

}  // namespace models
