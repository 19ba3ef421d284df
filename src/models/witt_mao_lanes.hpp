// The uniform-disc element over groups of lanes: four doubles with AVX2,
// eight with AVX-512, each lane computed by the same operations in the same
// order as witt_mao_element, so that its result is the scalar one bit for
// bit.  Lanes whose pair takes one of the element's rare paths are not
// computed here but listed, for the scalar element to do.  The gradient
// element's lanes likewise, against witt_mao_gradient_element.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ellip/result.hpp"
#include "models/witt_mao_gradient.hpp"
#include "runtime/cpu_features.hpp"

namespace models {

// Pairs handed to the lane kernels at a time; the rare-lane list of a block
// is of this size.
inline constexpr std::size_t LANE_BLOCK = 256;

// For the n <= LANE_BLOCK pairs: out[i] = witt_mao_element(x[i], rho[i]) for
// every pair on the main path; the indices of the others (far field, near
// the limb, tiny m, a cancelling sum for Pi, non-finite input) are written to
// rare in ascending order, their out left unspecified, and their number
// returned.  Only to be called where the processor supports the level.
std::size_t witt_mao_lanes_avx2(const double* x, const double* rho, double* out,
                                std::uint16_t* rare, std::size_t n) noexcept;
std::size_t witt_mao_lanes_avx512(const double* x, const double* rho, double* out,
                                  std::uint16_t* rare, std::size_t n) noexcept;

// The same for witt_mao_gradient_element: every field of out at the pairs
// on the main path, the others listed in rare.
std::size_t witt_mao_gradient_lanes_avx2(const double* x, const double* rho,
                                         const DiscGradients& out, std::uint16_t* rare,
                                         std::size_t n) noexcept;
std::size_t witt_mao_gradient_lanes_avx512(const double* x, const double* rho,
                                           const DiscGradients& out, std::uint16_t* rare,
                                           std::size_t n) noexcept;

// The widest supported level at or below `level`.
inline runtime::SimdLevel supported_level(runtime::SimdLevel level) noexcept {
    using runtime::SimdLevel;
    while (level != SimdLevel::baseline && !runtime::simd_supported(level)) {
        level = static_cast<SimdLevel>(static_cast<int>(level) - 1);
    }
    return level;
}

// n pairs over lane groups `width` wide: blocks of at most LANE_BLOCK go to
// wide(begin, len, rare), which returns the number of lanes it listed in
// rare (block indices); those, and a short tail, go to scalar(i).
template <class Wide, class Scalar>
inline void over_lanes(std::size_t width, std::size_t n, Wide&& wide, Scalar&& scalar) {
    // A group costs its full width in divisions however few of its lanes are
    // used: a tail shorter than half a group (a one-point curve, say) costs
    // less one pair at a time.
    const std::size_t tail = n % width;
    const std::size_t grouped = 2 * tail < width ? n - tail : n;
    std::uint16_t rare[LANE_BLOCK];
    for (std::size_t b = 0; b < grouped; b += LANE_BLOCK) {
        const std::size_t len = grouped - b < LANE_BLOCK ? grouped - b : LANE_BLOCK;
        const std::size_t count = wide(b, len, rare);
        for (std::size_t k = 0; k < count; ++k) {
            scalar(b + rare[k]);
        }
    }
    for (std::size_t i = grouped; i < n; ++i) {
        scalar(i);
    }
}

// witt_mao_elements at a given level, which falls back to the widest
// supported level at or below it; tests and benchmarks compare the levels.
std::size_t witt_mao_elements_at(runtime::SimdLevel level, const double* x, const double* rho,
                                 double* out, std::size_t n) noexcept;

// witt_mao_gradient_elements at a given level, likewise.
std::size_t witt_mao_gradient_elements_at(runtime::SimdLevel level, const double* x,
                                          const double* rho, const DiscGradients& out,
                                          std::size_t n) noexcept;

}  // namespace models
