// The uniform-disc element over groups of lanes: four doubles with AVX2,
// eight with AVX-512, each lane computed by the same operations in the same
// order as witt_mao_element, so that its result is the scalar one bit for
// bit.  Lanes whose pair takes one of the element's rare paths are not
// computed here but listed, for the scalar element to do.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ellip/result.hpp"
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

// witt_mao_elements at a given level, which falls back to the widest
// supported level at or below it; tests and benchmarks compare the levels.
std::size_t witt_mao_elements_at(runtime::SimdLevel level, const double* x, const double* rho,
                                 double* out, std::size_t n) noexcept;

}  // namespace models
