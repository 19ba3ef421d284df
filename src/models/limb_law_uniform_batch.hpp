// The uniformly bright source over a batch of points: the magnification of
// LimbLaw with the uniform law, bit for bit, with the discs handed to the
// vector element together.
#pragma once

#include <cstddef>

namespace models {

// out[i] = LimbLaw(LawKind::uniform, {}).magnification(u[i], rho[i]) for the
// n points (u and rho in Einstein radii): NaN for a NaN u, the point lens
// for rho = 0 or a lens beyond the largest double of source radii, the
// small-source limit below 1e-150 Einstein radii, NaN where the disc's
// kernel fails.  out may be u or rho.
void uniform_magnifications(const double* u, const double* rho, double* out,
                            std::size_t n) noexcept;

// The same with one source radius for every point.  out may be u.
void uniform_magnifications(const double* u, double rho, double* out, std::size_t n) noexcept;

}  // namespace models
