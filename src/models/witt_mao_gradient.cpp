// Derivatives of the uniform-disc magnification.
//
// Moving the disc moves its boundary: with f the point-lens magnification,
//   dA/du   = (1/(pi rho)) int_0^(2 pi) f(|u + rho e^(i t)|) cos t dt,
//   dA/drho = (2/rho) (A_ring - A),
// A_ring the mean of f over the limb.  Both boundary integrals reduce to the
// elliptic integrals of the disc itself (the same m and n); with
// D = (K - E)/m, P = (1 - n)(Pi - K)/n, Z = D - P, h = u + rho and
// s = sqrt((u - rho)^2 + 4), x = u / rho,
//   pi dA/du   = 8 (K - 2 D)    / (rho^2 (x + 1) s),
//   pi dA/drho = 8 (2 x Z - K)  / (rho^2 (x + 1) s),
// and their sum u dA/du + rho dA/drho, in which the logarithms of the limb
// cancel analytically,
//   pi (u dA/du + rho dA/drho) = 8 ((x - 1) K - 2 x P) / (rho (x + 1) s).
// The third kind enters only through Z, which the fused kernel forms without
// cancellation.  K - 2 D = int_0^(pi/2) cos(2t) / sqrt(1 - m sin^2 t) dt is
// of order m for small m, where it is summed as its series; next to the limb
// K and D diverge together and it is formed from K - D (Legendre's
// relation), as the value is.
//
// Far outside the source (x >= 1e3) the value is the disc's mean-value
// series, and the derivatives are those of the series; dA/drho, which the
// closed form gives only as a cancelling difference there, from x = 100.
#include "models/witt_mao_gradient.hpp"

#include <cmath>
#include <limits>

#include "models/witt_mao.hpp"

namespace models {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// The value's own threshold: where it takes the mean-value series.
constexpr double FAR_FIELD = 1e3;

// From here on dA/drho is taken from the mean-value series: the closed
// form's 2 x Z - K cancels by about x^2 (u^2 + 4) against its terms.
constexpr double FAR_FIELD_DRHO = 1e2;

// Below this m, K - 2 D has lost more than six bits to cancellation, and its
// series (whose terms all have one sign) reaches an ulp in 17 terms.
constexpr double SMALL_M = 0.1;

// K(m) - 2 D(m) = -(pi/2) sum_{k>=1} a_k m^k, a_k = c_k^2 k/(k+1) with
// c_k = (2k-1)!!/(2k)!!, exact rationals rounded to doubles (the 18th term
// is below 2e-20 of the first for m < 0.1).
constexpr double K_MINUS_2D[17] = {
    0.125,                 0.09375,              0.0732421875,
    0.059814453125,        0.05046844482421875,  0.04361915588378906,
    0.03839394450187683,   0.034280307590961456, 0.030959402793087065,
    0.028223091940162703,  0.025929965720024484, 0.023980685080232433,
    0.02230346454634713,   0.020845161095239817, 0.019565603215509694,
    0.018433867343240016,  0.017425765222906578,
};

double k_minus_2d_series(double m) noexcept {
    double sum = 0;
    for (int k = 16; k >= 0; --k) {
        sum = sum * m + K_MINUS_2D[k];
    }
    return -(PI / 2) * (sum * m);
}

// The derivatives of the mean-value series of the disc,
//   A = sum_k (rho^2/4)^k Lap^k f / (k! (k+1)!),  rho = u / x,
// with f - 1, Lap f and Lap^2 f as in the value and
//   Lap^3 f = 36864 (2u^10 + 2u^8 + 22u^6 + 57u^4 + 82u^2 + 50) / (u^7 S^13),
// S = sqrt(u^2 + 4).  Beyond u = 2 they are written in t = 2/u and
// c = sqrt(1 + t^2), so that nothing overflows.
//
// dA/du at fixed rho, from three terms: the fourth is below 1e-18 of the
// first at x = 1e3.
double far_field_du(double u, double x) noexcept {
    const double ix2 = 1 / (x * x);
    if (u < 2) {
        const double u2 = u * u;
        const double q = u2 + 4;
        const double s = std::sqrt(q);
        const double q2 = q * q;
        const double f1 = 8 / (q * s);
        const double f2 = 24 * ix2 * ((u2 + 2) * u2 + 2) / (q2 * q * s);
        const double f3 = 48 * (ix2 * ix2) * ((((u2 + 2) * u2 + 8) * u2 + 14) * u2 + 10) /
                          (q2 * q2 * q * s);
        return -(f1 + f2 + f3) / u2;
    }
    const double t = 2 / u;
    const double t2 = t * t;
    const double c2 = 1 + t2;
    const double c = std::sqrt(c2);
    const double c4 = c2 * c2;
    const double f1 = 1 / (4 * c * c2);
    const double f2 = 3 * ix2 * ((t2 + 4) * t2 + 8) / (32 * c * c2 * c4);
    const double f3 = 3 * (ix2 * ix2) * ((((5 * t2 + 28) * t2 + 64) * t2 + 64) * t2 + 128) /
                      (256 * c * c2 * c4 * c4);
    return -(t2 * t2 * t) * (f1 + f2 + f3);
}

// dA/drho at fixed u = (rho/4) Lap f + (rho^3/48) Lap^2 f + (rho^5/1536) Lap^3 f:
// the terms fall by about 3/x^2 each, and the fourth is below 1e-11 of the
// first from x = 100 on.
double far_field_drho(double u, double x) noexcept {
    const double ix2 = 1 / (x * x);
    if (u < 2) {
        const double u2 = u * u;
        const double q = u2 + 4;
        const double s = std::sqrt(q);
        const double q2 = q * q;
        const double p2 = ((3 * u2 + 6) * u2 + 14) * u2 + 12;
        const double p3 = ((((2 * u2 + 2) * u2 + 22) * u2 + 57) * u2 + 82) * u2 + 50;
        const double sum = (u2 + 1) + ix2 * p2 / q2 + 3 * (ix2 * ix2) * p3 / (q2 * q2);
        return 8 * sum / (x * u2 * (s * q2));
    }
    const double t = 2 / u;
    const double t2 = t * t;
    const double c2 = 1 + t2;
    const double c = std::sqrt(c2);
    const double c4 = c2 * c2;
    const double p2 = 3 + t2 * (1.5 + t2 * (0.875 + t2 * 0.1875));
    const double q3 = ((((25 * t2 + 164) * t2 + 456) * t2 + 704) * t2 + 256) * t2 + 1024;
    const double sum = (1 + t2 / 4) + ix2 * p2 / c4 + 3 * (ix2 * ix2) * q3 / (512 * c4 * c4);
    return (t2 * t2 * t) * sum / (4 * x * (c * c4));
}

}  // namespace

DiscGradient witt_mao_gradient_element(double l, double signed_rho) noexcept {
    DiscGradient g;
    WittMaoIntegrals used;
    const ellip::Result whole = witt_mao_element(l, signed_rho, used);
    if (!whole.ok()) {
        g.error = whole.error();
        g.value = NaN;
        g.du = NaN;
        g.drho = NaN;
        g.scaling = NaN;
        return g;
    }
    g.value = whole.value();
    const double rho = std::fabs(signed_rho);
    const double x = std::fabs(l);
    constexpr double MAX = std::numeric_limits<double>::max();
    // Non-finite input, or a source of no size, which the value leaves NaN
    // too: the derivatives are undefined.
    if (!(rho <= MAX) || std::isnan(x) || rho == 0) {
        g.du = NaN;
        g.drho = NaN;
        g.scaling = NaN;
        return g;
    }
    const double u = x * rho;
    // A lens infinitely far away: the magnification is 1 around it.
    if (!(x <= MAX) || u > MAX) {
        return g;
    }
    if (x >= FAR_FIELD_DRHO && u > 0) {
        g.drho = far_field_drho(u, x);
        if (x >= FAR_FIELD) {
            g.du = far_field_du(u, x);
            // The second term is below 1e-4 of the first: no cancellation.
            g.scaling = u * g.du + rho * g.drho;
            return g;
        }
    }

    // Past the far field the element took its elliptic integrals unless the
    // lens lies on the limb (to within the precision of the arguments),
    // where the kink of the magnification, (u - rho) ln|u - rho|, makes both
    // derivatives infinite: A falls with u and rises with rho.
    if (!used.integrals) {
        g.du = -INF;
        g.drho = INF;
        g.scaling = NaN;
        return g;
    }
    // The common denominator's rho^2 s as rho^2 times s, or for a large
    // source as rho^3 times s / rho, so that neither a tiny nor a huge
    // source overflows before the result does.
    const double xm1 = x - 1;
    const double xp1 = x + 1;
    const double d = rho * xm1;
    double s_part;
    double rho_part;
    if (std::fabs(d) <= 2) {
        s_part = std::sqrt(d * d + 4);
        rho_part = 1;
    } else {
        const double r = 2 / d;
        s_part = std::fabs(xm1) * std::sqrt(1 + r * r);
        rho_part = rho;
    }
    const double m = used.m;
    // The value's own integrals.
    const double k = used.k;
    const double p = used.p;
    double k_minus_2d;
    double z_term;  // 2 x Z - K
    if (used.limb_zone) {
        // K and Z diverge like ln(4/sqrt(mc)); with K - D finite,
        //   K - 2 D = 2 (K - D) - K,  2 x Z - K = (2x - 1) K - 2 x (K - D) - 2 x P.
        const double k_minus_d = used.k_minus_d;
        k_minus_2d = 2 * k_minus_d - k;
        z_term = ((2 * x - 1) * k - 2 * x * k_minus_d) - 2 * x * p;
    } else {
        k_minus_2d = m < SMALL_M ? k_minus_2d_series(m) : k - 2 * (used.z + p);
        z_term = 2 * x * used.z - k;
    }
    // 8 / (pi rho^2 (x + 1) s), divided out one factor at a time.
    const double scale = 8 / (PI * xp1);
    g.du = k_minus_2d * scale / s_part / rho / rho / rho_part;
    if (x < FAR_FIELD_DRHO) {
        g.drho = z_term * scale / s_part / rho / rho / rho_part;
    }
    g.scaling = ((xm1 * k - 2 * x * p) * scale) / s_part / rho / rho_part;
    return g;
}

}  // namespace models
