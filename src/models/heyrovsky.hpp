// Heyrovsky magnification of a thin, uniformly bright ring by a point lens.
//
// Heyrovsky's form of the point-lens magnification of a ring, with complete
// elliptic integrals of the first and third kinds.  It equals
// (1/(2r)) d/dr (r^2 A_disc(r)), A_disc the uniform-disc magnification of a
// disc of radius r about the same centre.
#pragma once

#include "ellip/result.hpp"

namespace models {

// The magnification of a ring of radius r centred on the source, for a lens
// at separation l; l and r in source radii, re and rstar in one length unit.
ellip::Result heyrovsky_magnification(double l, double r, double re, double rstar) noexcept;

}  // namespace models
