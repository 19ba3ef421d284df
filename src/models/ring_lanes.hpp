// The ring element over groups of lanes: four doubles with AVX2, eight with
// AVX-512, each lane computed by the same operations in the same order as
// ring_element, so that its result is the scalar one bit for bit.  Lanes
// that take one of the element's rare paths are not computed here but
// listed, for the scalar element to do.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cpu_features.hpp"

namespace models {

// Rings handed to the lane kernels at a time; the rare-lane list of a block
// is of this size.
inline constexpr std::size_t RING_LANE_BLOCK = 256;

// Past this sum S of the lens's and the ring's distances from the centre
// the ring element's product |d| Pi (up to about S) may overflow: it divides
// its two terms by S before adding them, and the lanes leave such rings to
// it.
inline constexpr double RING_HUGE_SUM = 1e300;

// For the n <= RING_LANE_BLOCK rings: out[i] = ring_element(l[i], r[i],
// d[i], eps) for every ring on the main path; the indices of the others (a
// ring touching or holding the lens, a cancelling sum for Pi, non-finite or
// negative input) are written to rare in ascending order, their out left
// unspecified, and their number returned.  Only to be called where the
// processor supports the level.
std::size_t ring_lanes_avx2(const double* l, const double* r, const double* d, double eps,
                            double* out, std::uint16_t* rare, std::size_t n) noexcept;
std::size_t ring_lanes_avx512(const double* l, const double* r, const double* d, double eps,
                              double* out, std::uint16_t* rare, std::size_t n) noexcept;

// out[i] = ring_element(l[i], r[i], d[i], eps) for i < n, NaN where it
// fails; returns the first failing index, or n.  At the widest supported
// level at or below `level`; ring_elements at the run's level.
std::size_t ring_elements_at(runtime::SimdLevel level, const double* l, const double* r,
                             const double* d, double eps, double* out, std::size_t n) noexcept;
std::size_t ring_elements(const double* l, const double* r, const double* d, double eps,
                          double* out, std::size_t n) noexcept;

}  // namespace models
