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

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "models/witt_mao.hpp"
#include "models/witt_mao_lanes.hpp"

namespace models {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

#include "models/witt_mao_slopes_body.hpp"

// The slopes' operations on one double.
struct Scalar {
    using V = double;
    static double sqrt(double v) noexcept { return std::sqrt(v); }
    static bool any(bool b) noexcept { return b; }
};

double far_field_du(double u, double x) noexcept {
    const double ix2 = 1 / (x * x);
    return u < 2 ? far_du_near<Scalar>(u, ix2) : far_du_beyond<Scalar>(u, ix2);
}

double far_field_drho(double u, double x) noexcept {
    const double ix2 = 1 / (x * x);
    return u < 2 ? far_drho_near<Scalar>(u, x, ix2) : far_drho_beyond<Scalar>(u, x, ix2);
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
    if (x >= SLOPES_FAR_FIELD_DRHO && u > 0) {
        g.drho = far_field_drho(u, x);
        if (x >= SLOPES_FAR_FIELD) {
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
    const double d = rho * xm1;
    const bool beyond = !(std::fabs(d) <= 2);
    double s_part;
    if (!beyond) {
        s_part = std::sqrt(d * d + 4);
    } else {
        const double r = 2 / d;
        s_part = std::fabs(xm1) * std::sqrt(1 + r * r);
    }
    const ClosedSlopes<Scalar> c =
        closed_slopes<Scalar>(x, rho, s_part, beyond, used.m, used.k, used.p, used.z,
                              used.limb_zone, used.k_minus_d);
    g.du = c.du;
    if (x < SLOPES_FAR_FIELD_DRHO) {
        g.drho = c.drho;
    }
    g.scaling = c.scaling;
    return g;
}

namespace {

// The scalar gradient element into out at i: NaN throughout where it fails,
// and the first failing index (or `first_failure`, whichever is lower).
std::size_t scalar_gradient_into(const double* x, const double* rho, const DiscGradients& out,
                                 std::size_t i, std::size_t first_failure) noexcept {
    const DiscGradient g = witt_mao_gradient_element(x[i], rho[i]);
    out.value[i] = g.value;
    out.du[i] = g.du;
    out.drho[i] = g.drho;
    out.scaling[i] = g.scaling;
    return g.ok() ? first_failure : std::min(first_failure, i);
}

}  // namespace

std::size_t witt_mao_gradient_elements_at(runtime::SimdLevel level, const double* x,
                                          const double* rho, const DiscGradients& out,
                                          std::size_t n) noexcept {
    using runtime::SimdLevel;
    level = supported_level(level);
    std::size_t first_failure = n;
    const auto scalar = [&](std::size_t i) {
        first_failure = scalar_gradient_into(x, rho, out, i, first_failure);
    };
    if (level == SimdLevel::baseline) {
        for (std::size_t i = 0; i < n; ++i) {
            scalar(i);
        }
        return first_failure;
    }
    const auto wide =
        level == SimdLevel::avx512 ? witt_mao_gradient_lanes_avx512 : witt_mao_gradient_lanes_avx2;
    over_lanes(
        level == SimdLevel::avx512 ? 8 : 4, n,
        [&](std::size_t b, std::size_t len, std::uint16_t* rare) {
            const DiscGradients at{out.value + b, out.du + b, out.drho + b, out.scaling + b};
            return wide(x + b, rho + b, at, rare, len);
        },
        scalar);
    return first_failure;
}

std::size_t witt_mao_gradient_elements(const double* x, const double* rho,
                                       const DiscGradients& out, std::size_t n) noexcept {
    return witt_mao_gradient_elements_at(runtime::simd_level(), x, rho, out, n);
}

}  // namespace models
