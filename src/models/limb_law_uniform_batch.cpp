// The uniform law over a batch of points, in the same steps as
// LimbLaw::magnification takes for one: the points that need the disc are
// gathered as pairs (separation in source radii, source radius), computed
// together by witt_mao_elements, and put back.
#include "models/limb_law_uniform_batch.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "models/limb_law.hpp"
#include "models/witt_mao.hpp"
#include "models/witt_mao_lanes.hpp"

namespace models {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

void uniform_magnifications(const double* u, const double* rho, double* out,
                            std::size_t n) noexcept {
    // Per block: the disc pairs, where each goes, and the factor of the
    // small-source limit where it applies.
    double xs[LANE_BLOCK];
    double rs[LANE_BLOCK];
    double values[LANE_BLOCK];
    double scale[LANE_BLOCK];
    bool scaled[LANE_BLOCK];
    std::uint16_t at[LANE_BLOCK];
    for (std::size_t b = 0; b < n; b += LANE_BLOCK) {
        const std::size_t len = n - b < LANE_BLOCK ? n - b : LANE_BLOCK;
        std::size_t pairs = 0;
        for (std::size_t j = 0; j < len; ++j) {
            const std::size_t i = b + j;
            const double r = rho[i];
            const double distance = std::fabs(u[i]);
            if (std::isnan(distance)) {
                out[i] = NaN;
                continue;
            }
            if (r == 0) {
                out[i] = point_lens(distance);
                continue;
            }
            const double lens = distance / r;
            if (!std::isfinite(lens)) {
                out[i] = point_lens(distance);
                continue;
            }
            if (r < TINY_SOURCE) {
                if (lens > FAR_POINT) {
                    out[i] = point_lens(distance);
                    continue;
                }
                // The value of a source of TINY_SOURCE at the same separation
                // in source radii, as the law's recursion forms it, scaled by
                // the ratio of the sizes.
                const double small = lens * TINY_SOURCE;
                const double small_distance = std::fabs(small);
                if (std::isnan(small_distance)) {
                    out[i] = NaN * (TINY_SOURCE / r);
                    continue;
                }
                const double small_lens = small_distance / TINY_SOURCE;
                if (!std::isfinite(small_lens)) {
                    out[i] = point_lens(small_distance) * (TINY_SOURCE / r);
                    continue;
                }
                xs[pairs] = small_lens;
                rs[pairs] = TINY_SOURCE;
                scaled[pairs] = true;
                scale[pairs] = TINY_SOURCE / r;
            } else {
                xs[pairs] = lens;
                rs[pairs] = r;
                scaled[pairs] = false;
            }
            at[pairs] = static_cast<std::uint16_t>(j);
            ++pairs;
        }
        // NaN where the kernel fails, as the law gives.
        (void)witt_mao_elements(xs, rs, values, pairs);
        for (std::size_t k = 0; k < pairs; ++k) {
            out[b + at[k]] = scaled[k] ? values[k] * scale[k] : values[k];
        }
    }
}

void uniform_magnifications(const double* u, double rho, double* out, std::size_t n) noexcept {
    double rs[LANE_BLOCK];
    std::fill_n(rs, std::min(LANE_BLOCK, n), rho);
    // A radius of zero, below the small-source limit or not finite takes the
    // law's special steps at every point: the general form does them.
    if (!(rho >= TINY_SOURCE && rho <= std::numeric_limits<double>::max())) {
        for (std::size_t b = 0; b < n; b += LANE_BLOCK) {
            const std::size_t len = std::min(LANE_BLOCK, n - b);
            uniform_magnifications(u + b, rs, out + b, len);
        }
        return;
    }
    double xs[LANE_BLOCK];
    for (std::size_t b = 0; b < n; b += LANE_BLOCK) {
        const std::size_t len = std::min(LANE_BLOCK, n - b);
        // Every point of an ordinary block goes to the disc as |u| / rho, the
        // pair the law forms, so the element writes straight into out; a NaN
        // or a lens beyond the largest double leaves the block to the
        // general form, which gives those points their own values.
        // Two plain loops, so that the compiler can put them in vector
        // registers: |u| / rho is finite exactly when it is at most the
        // largest double (a NaN compares false).
        for (std::size_t j = 0; j < len; ++j) {
            xs[j] = std::fabs(u[b + j]) / rho;
        }
        std::size_t finite = 0;
        for (std::size_t j = 0; j < len; ++j) {
            finite += xs[j] <= std::numeric_limits<double>::max() ? 1 : 0;
        }
        if (finite == len) {
            (void)witt_mao_elements(xs, rs, out + b, len);  // NaN where the kernel fails
        } else {
            uniform_magnifications(u + b, rs, out + b, len);
        }
    }
}

}  // namespace models
