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
// A separation and a radius are distances and count by their size: l and -l,
// r and -r (the same circle) give the same value.  The Einstein radius in
// source radii enters squared, so the signs of re and rstar do not matter
// either.
ellip::Result heyrovsky_magnification(double l, double r, double re, double rstar) noexcept;

// The same for a lens at l >= 0, a ring of radius r >= 0 and an Einstein
// radius eps >= 0 (source radii), with d = r - l supplied by the caller: a
// caller that knows the ring's distance from the lens more precisely than
// r - l rounds (a quadrature node next to the lens, say) passes it here.
ellip::Result ring_element(double l, double r, double d, double eps) noexcept;

}  // namespace models
