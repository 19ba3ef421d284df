// What the darkened laws' batches over many points share: how much they
// queue before handing the discs to the vector element, and the source
// radius of point i (one for every point, or one per point).
#pragma once

#include <cstddef>

namespace models::law_batch {

// Points are queued until their discs fill this many lanes: beyond a few
// hundred discs the partly filled lane group at the end of a call costs
// nothing to speak of.
inline constexpr std::size_t DISCS = 512;
// At most this many points wait at once.  A lens over the source lays out
// tens of discs, so DISCS ends a batch first; this bounds the per-point
// bookkeeping of points with few discs.
inline constexpr std::size_t POINTS = 64;

struct OneRadius {
    double rho;
    double operator()(std::size_t) const noexcept { return rho; }
};

struct PerPointRadius {
    const double* rho;
    double operator()(std::size_t i) const noexcept { return rho[i]; }
};

}  // namespace models::law_batch
