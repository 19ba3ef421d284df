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
// separations x = u / rho (in source radii) and cancel.  With D = (K - E)/m,
// X = (Pi - K)/n, nc = 1 - n and s = sqrt(d^2 + 4), the coefficients of K add
// up exactly to 2 s / h, and
//
//   pi A = (2 s / h) K + (8 u / (rho h s)) [ (1 + rho^2) nc X - D ].
//
// The bracket still cancels when n is small (a small source with the lens
// far outside it, in source radii): nc X and D both tend to pi/4.  With
// P = nc X and Z = D - P, which the fused kernel forms without that
// cancellation (Z is n times a positive integral),
//
//   pi A = (2 s / h) K + 8 u rho P / (h s) - 8 u Z / (rho h s).
//
// Near the limb (d -> 0) both n and m tend to 1 and K and Z diverge
// logarithmically while their difference stays finite; there the sum is
// regrouped around K - D (below).  The integrals depend on the complements
// 1 - n = (d/h)^2 and 1 - m = (d^2 + 4 (1 - n)) / (d^2 + 4), which are
// therefore formed directly, never by subtraction, and from x - 1 rather than
// from u - rho, which would carry the rounding of u = x rho.  For |d| > 2 the
// squares are formed as ratios, so that no source from 1e-300 to 1e300
// Einstein radii overflows or underflows on the way.
//
// Far outside the source (x >= FAR_FIELD) the disc average of the point-lens
// magnification is its mean-value series (below), whose terms are all
// positive: the magnification is then 1 plus an excess formed to full
// relative precision, never below 1 and never below the point-source value.
#include <algorithm>
#include <cstdint>
#include <cmath>
#include <limits>

#include "ellip/legendre/legendre.hpp"
#include "models/witt_mao.hpp"
#include "models/witt_mao_lanes.hpp"
#include "runtime/cpu_features.hpp"

namespace models {

namespace {
constexpr double PI = 3.141592653589793;

// From here on three terms of the mean-value series leave a relative error
// of at most about 4 / x^6 (4e-18 at x = 1e3) in the excess over 1.
constexpr double FAR_FIELD = 1e3;

// Below this complement of m, K exceeds 4.8 and the closed form near the limb
// is regrouped so that its logarithmic terms do not cancel.
constexpr double LIMB_ZONE = 1e-3;

// The lens exactly on the limb: no elliptic integral is left, and
//   pi A = (pi/2 + asin((rho^2 - 1)/(rho^2 + 1))) (1 + rho^2)/rho^2 + 2/rho.
// For a small source the arcsine sits next to -pi/2, where the sum cancels
// (4e-10 relative error at rho = 1e-4); the sum is exactly 2 atan(rho),
// which does not cancel.  Grouped as (atan(rho)/rho) (1/rho + rho), the
// first term neither overflows nor underflows where rho^2 would.
double limb_value(double rho) noexcept {
    return 2 * (std::atan(rho) / rho) * (1 / rho + rho) + 2 / rho;
}

// The magnification with the lens on the limb.  For a source many Einstein
// radii across the exact value is within an ulp of 1 and limb_value rounds
// to just below pi; a point lens never demagnifies, and 1 is then the nearer
// value.
double on_limb(double rho) noexcept {
    return std::max(limb_value(rho) / PI, 1.0);
}

// The average over a disc of radius rho of a smooth function f of the plane
// is sum_k (rho^2/4)^k Lap^k f / (k! (k+1)!) at the centre.  For the point
// lens, f = (u^2 + 2) / (u sqrt(u^2 + 4)) and, with S = sqrt(u^2 + 4),
//   f - 1     = 4 / (u S (u^2 + 2 + u S)),
//   Lap f     = 32 (u^2 + 1) / (u^3 S^5),
//   Lap^2 f   = 384 (3u^6 + 6u^4 + 14u^2 + 12) / (u^5 S^9),
// all positive.  With rho = u / x the excess A - 1 is returned; beyond u = 2
// it is written in t = 2/u, so that nothing overflows up to u = 1e308 (the
// excess, 4/u^4 there, underflows to zero gracefully).
double far_field_excess(double u, double x) noexcept {
    const double ix2 = 1 / (x * x);
    if (u < 2) {
        const double u2 = u * u;
        const double q = u2 + 4;
        const double s = std::sqrt(q);
        const double s4 = q * q;
        const double point = 4 / (s * (u2 + 2 + u * s));
        const double first = 4 * (u2 + 1) * ix2 / (s4 * s);
        const double second =
            2 * (((3 * u2 + 6) * u2 + 14) * u2 + 12) * (ix2 * ix2) / (s4 * s4 * s);
        return (point + first + second) / u;
    }
    const double t = 2 / u;
    const double t2 = t * t;
    const double c2 = 1 + t2;
    const double c = std::sqrt(c2);
    const double point = 1 / (c * (1 + t2 / 2 + c));
    const double first = (1 + t2 / 4) * ix2 / (c * c2 * c2);
    const double second = (3 + t2 * (1.5 + t2 * (0.875 + t2 * 0.1875))) * (ix2 * ix2) /
                          (2 * c * (c2 * c2) * (c2 * c2));
    return (t2 * t2 / 4) * (point + first + second);
}
}  // namespace

namespace {
// The element, telling `used` (when given) the integrals it took.
ellip::Result element(double l, double signed_rho, WittMaoIntegrals* used) noexcept {
    using namespace ellip::legendre;
    // Sizes count by their magnitude, as in the ring and limb-darkened
    // models: an Einstein or source radius given negative is the same disc.
    const double rho = std::fabs(signed_rho);
    // The magnification depends on the distance of the lens from the centre
    // only; a signed separation (a track through the centre) counts by its
    // size.
    constexpr double MAX = std::numeric_limits<double>::max();
    const double x = std::fabs(l);
    // An infinite or NaN source radius (re = 0, say) makes the closed form's
    // u - rho NaN, and elliptic integrals at NaN parameters are for the
    // kernels to judge, as for every non-finite input.
    if (!(std::fabs(rho) <= MAX)) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const KpzResult kpz = _ellip_kpz_complement(nan, nan, nan, nan);
        return kpz.p.ok() ? ellip::success(nan) : kpz.p;
    }
    const double u = x * rho;
    // An infinite separation goes on to the same verdict below.  A lens at
    // u = 0 (rho = 0, or x rho underflowing for a tiny source) is left to the
    // general form, which treats it as the centre; a u that overflows is
    // infinitely far, where the excess is zero.
    if (x >= FAR_FIELD && x <= MAX && u > 0) {
        return ellip::success(1 + far_field_excess(u, x));
    }

    const double xm1 = x - 1;
    const double xp1 = x + 1;
    const double d = rho * xm1;
    const double h = rho * xp1;
    const double root_nc = xm1 / xp1;
    const double nc = root_nc * root_nc;
    const double n = 4 * x / (xp1 * xp1);

    // Where d or the complement of n vanishes (d = 0, or so small that it
    // underflows) the lens lies on the limb to within the precision of the
    // arguments.
    if (d == 0 || nc == 0) {
        return ellip::success(on_limb(rho));
    }

    // Beyond |d| = 2 the squares are formed as the ratio r = 2/d, so that a
    // huge source overflows nothing.
    double m, mc, k_coef, p_coef, z_coef;
    if (std::fabs(d) <= 2) {
        const double d2 = d * d;
        const double q = d2 + 4;
        const double s = std::sqrt(q);
        m = 4 * n / q;
        mc = (d2 + 4 * nc) / q;
        k_coef = 2 * s / h;
        p_coef = 8 * rho * x / (xp1 * s);
        z_coef = 8 * x / (h * s);
    } else {
        const double r = 2 / d;
        const double r2 = r * r;
        const double c = std::sqrt(1 + r2);
        m = n * r2 / (1 + r2);
        mc = (1 + nc * r2) / (1 + r2);
        k_coef = 2 * std::fabs(root_nc) * c;
        p_coef = 8 * x / (xp1 * std::fabs(xm1) * c);
        z_coef = 4 * x * std::fabs(r) / (rho * xp1 * c);
    }
    if (mc == 0) {
        return ellip::success(on_limb(rho));
    }

    const KpzResult kpz = _ellip_kpz_complement(m, mc, n, nc);
    if (!kpz.p.ok()) {
        return kpz.p;
    }
    if (used != nullptr) {
        *used = WittMaoIntegrals{true, m, mc, kpz.k, kpz.p.value(), kpz.z, false, 0.0};
    }
    double g;
    if (mc < LIMB_ZONE) {
        // Next to the limb of a small source K and Z both grow like
        // ln(4/sqrt(mc)) while their coefficients nearly agree.  With
        // Z = D - P the sum is regrouped around K - D, which stays near 1:
        //   pi A = z_coef (K - D) + (k_coef - z_coef) K + (p_coef + z_coef) P,
        // where k_coef - z_coef = 2 (x - 1) (rho d - 4) / (h s) is formed from
        // x - 1, and K - D = (E - mc K)/m comes from Legendre's relation,
        // where nothing cancels.  (This branch lies within |d| <= 2: beyond
        // it mc exceeds 1/2.)
        const double s = std::sqrt(d * d + 4);
        const double k_minus_d = _ellip_k_minus_d_complement(m, mc, kpz.k);
        if (used != nullptr) {
            used->limb_zone = true;
            used->k_minus_d = k_minus_d;
        }
        const double kz_diff = 2 * xm1 * (rho * d - 4) / (h * s);
        g = (z_coef * k_minus_d + kz_diff * kpz.k) + (p_coef + z_coef) * kpz.p.value();
    } else {
        g = (k_coef * kpz.k + p_coef * kpz.p.value()) - z_coef * kpz.z;
    }
    // A point lens never demagnifies.  Where the exact value is within a few
    // ulps of 1 (a source many Einstein radii across), rounding of the terms
    // can leave the sum just below it; 1 is then the nearer value.
    return ellip::success(std::max(g / PI, 1.0));
}
}  // namespace

ellip::Result witt_mao_element(double l, double rho) noexcept { return element(l, rho, nullptr); }

ellip::Result witt_mao_element(double l, double rho, WittMaoIntegrals& integrals) noexcept {
    integrals = WittMaoIntegrals{};
    return element(l, rho, &integrals);
}

namespace {

// The scalar element over pairs, for the baseline and for the lanes the
// wide kernels leave over: NaN where it fails, and the first failing index
// (or `first_failure`, whichever is lower).
std::size_t scalar_into(const double* x, const double* rho, double* out, std::size_t i,
                        std::size_t first_failure) noexcept {
    const ellip::Result r = witt_mao_element(x[i], rho[i]);
    if (r.ok()) {
        out[i] = r.value();
        return first_failure;
    }
    out[i] = std::numeric_limits<double>::quiet_NaN();
    return std::min(first_failure, i);
}

}  // namespace

std::size_t witt_mao_elements_at(runtime::SimdLevel level, const double* x, const double* rho,
                                 double* out, std::size_t n) noexcept {
    using runtime::SimdLevel;
    level = supported_level(level);
    std::size_t first_failure = n;
    const auto scalar = [&](std::size_t i) {
        first_failure = scalar_into(x, rho, out, i, first_failure);
    };
    if (level == SimdLevel::baseline) {
        for (std::size_t i = 0; i < n; ++i) {
            scalar(i);
        }
        return first_failure;
    }
    const auto wide = level == SimdLevel::avx512 ? witt_mao_lanes_avx512 : witt_mao_lanes_avx2;
    over_lanes(
        level == SimdLevel::avx512 ? 8 : 4, n,
        [&](std::size_t b, std::size_t len, std::uint16_t* rare) {
            return wide(x + b, rho + b, out + b, rare, len);
        },
        scalar);
    return first_failure;
}

std::size_t witt_mao_elements(const double* x, const double* rho, double* out,
                              std::size_t n) noexcept {
    return witt_mao_elements_at(runtime::simd_level(), x, rho, out, n);
}

Outcome<Filled> witt_mao_magnification_into(std::span<const double> l, double re, double rstar,
                                            std::span<double> out, const Interrupt& interrupt) {
    if (l.size() != out.size()) {
        runtime::fail_equal(l.size(), out.size(), __FILE__, __LINE__);
    }
    const double rho = rstar / re;
    // Blocks of pairs go to the vector element, with the interrupt polled
    // every POLL_CHEAP elements as the driver does (the block divides it).
    // A failing block keeps the values before its first failing element
    // only, and that element's error stands, as one element at a time.
    static_assert(runtime::POLL_CHEAP % LANE_BLOCK == 0);
    double rhos[LANE_BLOCK];
    double values[LANE_BLOCK];
    // As many radii as the first block needs: a short curve pays for no more.
    std::fill_n(rhos, std::min(LANE_BLOCK, l.size()), rho);
    for (std::size_t b = 0; b < l.size(); b += LANE_BLOCK) {
        if (runtime::interrupted_at(interrupt, b, runtime::POLL_CHEAP)) {
            return outcome_of(runtime::Status::interrupted());
        }
        const std::size_t len = std::min(LANE_BLOCK, l.size() - b);
        const std::size_t failed = witt_mao_elements(l.data() + b, rhos, values, len);
        std::copy(values, values + failed, out.data() + b);
        if (failed < len) {
            return outcome_of(
                runtime::Status::failed(witt_mao_element(l[b + failed], rho).error()));
        }
    }
    return outcome_of(runtime::Status::done());
}

Outcome<Curve> witt_mao_magnification(Curve l, double re, double rstar,
                                      const Interrupt& interrupt) {
    Curve curve(l.size());
    const Outcome<Filled> filled = witt_mao_magnification_into(l, re, rstar, curve, interrupt);
    if (!filled.ok()) {
        return filled.error();
    }
    return curve;
}

}  // namespace models
