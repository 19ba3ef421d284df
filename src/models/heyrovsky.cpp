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
// 1 - n and 1 - m are therefore formed directly, never by subtraction.  All
// of it is written with the ratios d/S and delta = d/(2 eps) instead of d^2,
// S^2 and eps^2, which underflow or overflow long before the magnification
// does: with c = 1/sqrt(1 + delta^2),
//
//   n = 4 (l/S)(r/S),  1 - n = (d/S)^2,
//   m = n c^2,         1 - m = c^2 ((d/S)^2 + delta^2),
//   A = (2/pi) (eps c K(m) + |d| (|delta| c) Pi(n, m)) / S,
//
// a sum of positive terms, with Pi = K + n X and X = (Pi - K)/n finite at
// n = 0.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "ellip/legendre/legendre.hpp"
#include "models/heyrovsky.hpp"
#include "models/ring_lanes.hpp"

namespace models {

namespace {
constexpr double TWO_PI = 6.283185307179586;
constexpr double TWO_OVER_PI = 0.6366197723675814;

// The ring so close to the lens that the complements underflow (|d| below
// about 1e-162 l): the leading terms of the expansion in d / l, exact to
// double precision there,
//   A = [ (2 eps/l)(1 - d/(2l)) ln(8 eps l / (sqrt(l^2 + eps^2) |d|))
//         + 4 atan(l/eps) + (eps/l)(d/l)(2 l^2 + eps^2)/(l^2 + eps^2) ] / (2 pi),
// with the products that would overflow or underflow written as ratios.  At
// d = 0 (for positive l and eps) the logarithm and the value are +inf.
double touching_ring(double l, double d, double eps) noexcept {
    const double h = std::hypot(l, eps);
    const double t = (1 - d / (l + l)) * ((eps + eps) / l);
    const double log_term = std::log(8 * (l * (eps / h))) - std::log(std::fabs(d));
    const double atan_term = std::atan(l / eps);
    const double lh = l / h;
    const double slope_term = (eps / l) * (d / l) * (1 + lh * lh);
    return ((t * log_term + 4 * atan_term) + slope_term) / TWO_PI;
}
}  // namespace

ellip::Result ring_element(double l, double r, double d, double eps) noexcept {
    const double s = l + r;
    // A point source on the lens: l = r = 0.
    if (s == 0) {
        return ellip::success(std::numeric_limits<double>::infinity());
    }
    const double ds = d / s;
    const double nc = ds * ds;
    if (nc == 0) {
        return ellip::success(touching_ring(l, d, eps));
    }
    // c = 1/sqrt(1 + delta^2) and |delta| c, delta = d / (2 eps), without
    // squaring a large delta: past |delta| = 1 through q = 1/|delta|.
    const double delta = std::fabs(d) / (eps + eps);
    double c;
    double delta_c;
    if (delta <= 1) {
        c = 1 / std::sqrt(1 + delta * delta);
        delta_c = delta * c;
    } else {
        const double q = (eps + eps) / std::fabs(d);
        delta_c = 1 / std::sqrt(1 + q * q);
        c = q * delta_c;
    }
    const double n = 4 * (l / s) * (r / s);
    const double m = n * (c * c);
    const double mc = (c * c) * nc + delta_c * delta_c;
    if (mc == 0) {
        return ellip::success(touching_ring(l, d, eps));
    }

    const ellip::legendre::KdxResult kdx = ellip::legendre::_ellip_kdx_complement(m, mc, nc);
    if (!kdx.x.ok()) {
        return kdx.x;
    }
    const double pi_nm = kdx.k + n * kdx.x.value();
    if (s > RING_HUGE_SUM) {
        const double far = ((eps * c) / s) * kdx.k + (std::fabs(d) / s) * delta_c * pi_nm;
        return ellip::success(TWO_OVER_PI * far);
    }
    const double value = TWO_OVER_PI * (((eps * c) * kdx.k + std::fabs(d) * delta_c * pi_nm) / s);
    return ellip::success(value);
}

ellip::Result heyrovsky_magnification(double l, double r, double re, double rstar) noexcept {
    // Distances count by their size: the lens at -l lies as far from the
    // centre as at l, and the circle of radius -r is the circle of radius r.
    const double lens = std::fabs(l);
    const double ring = std::fabs(r);
    const double eps = std::fabs(re / rstar);
    return ring_element(lens, ring, ring - lens, eps);
}

namespace {
// The scalar element for one ring: NaN where it fails, and the first failing
// index (or `first_failure`, whichever is lower).
std::size_t ring_into(const double* l, const double* r, const double* d, double eps,
                      double* out, std::size_t i, std::size_t first_failure) noexcept {
    const ellip::Result v = ring_element(l[i], r[i], d[i], eps);
    if (v.ok()) {
        out[i] = v.value();
        return first_failure;
    }
    out[i] = std::numeric_limits<double>::quiet_NaN();
    return std::min(first_failure, i);
}
}  // namespace

std::size_t ring_elements_at(runtime::SimdLevel level, const double* l, const double* r,
                             const double* d, double eps, double* out, std::size_t n) noexcept {
    using runtime::SimdLevel;
    while (level != SimdLevel::baseline && !runtime::simd_supported(level)) {
        level = static_cast<SimdLevel>(static_cast<int>(level) - 1);
    }
    std::size_t first_failure = n;
    if (level == SimdLevel::baseline) {
        for (std::size_t i = 0; i < n; ++i) {
            first_failure = ring_into(l, r, d, eps, out, i, first_failure);
        }
        return first_failure;
    }
    const auto wide = level == SimdLevel::avx512 ? ring_lanes_avx512 : ring_lanes_avx2;
    // A group costs its full width in divisions however few of its lanes are
    // used: a tail shorter than half a group costs less one ring at a time.
    const std::size_t width = level == SimdLevel::avx512 ? 8 : 4;
    const std::size_t tail = n % width;
    const std::size_t grouped = 2 * tail < width ? n - tail : n;
    std::uint16_t rare[RING_LANE_BLOCK];
    for (std::size_t b = 0; b < grouped; b += RING_LANE_BLOCK) {
        const std::size_t len = std::min(RING_LANE_BLOCK, grouped - b);
        const std::size_t count = wide(l + b, r + b, d + b, eps, out + b, rare, len);
        for (std::size_t k = 0; k < count; ++k) {
            first_failure = ring_into(l, r, d, eps, out, b + rare[k], first_failure);
        }
    }
    for (std::size_t i = grouped; i < n; ++i) {
        first_failure = ring_into(l, r, d, eps, out, i, first_failure);
    }
    return first_failure;
}

std::size_t ring_elements(const double* l, const double* r, const double* d, double eps,
                          double* out, std::size_t n) noexcept {
    return ring_elements_at(runtime::simd_level(), l, r, d, eps, out, n);
}

}  // namespace models
