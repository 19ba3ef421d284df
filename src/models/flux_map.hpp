// Magnification of a source whose radial brightness is given by a table, the
// flux map: radii bl (source radii, ascending) and brightness bf.
#pragma once

#include <span>

#include "models/model_result.hpp"

namespace models {

// The integrated forms read the table as the piecewise-linear profile it
// defines (0 beyond its ends) and divide by that profile's flux over the
// unit disc.  A table whose flux over the unit disc vanishes (none at all,
// or brightness of both signs that cancels) gives NaN: the ratio is
// undefined.
Outcome<Curve> integrated_flux_map_witt_mao_magnification(Curve l, double re, double rstar,
                                                          Curve bl, Curve bf,
                                                          const Interrupt& interrupt = {});
Outcome<Curve> integrated_flux_map_heyrovsky_magnification(Curve l, double re, double rstar,
                                                           Curve bl, Curve bf,
                                                           const Interrupt& interrupt = {});

// The table as thin rings: the plain bf-weighted sum of the ring
// magnifications at the radii bl, neither normalised nor area-weighted.
Outcome<Curve> discrete_flux_map_heyrovsky_magnification(Curve l, double re, double rstar,
                                                         Curve bl, Curve bf,
                                                         const Interrupt& interrupt = {});

// The same into out, of the size of l; bl and bf of equal sizes.
Outcome<Filled> integrated_flux_map_witt_mao_magnification_into(
    std::span<const double> l, double re, double rstar, std::span<const double> bl,
    std::span<const double> bf, std::span<double> out, const Interrupt& interrupt = {});
Outcome<Filled> integrated_flux_map_heyrovsky_magnification_into(
    std::span<const double> l, double re, double rstar, std::span<const double> bl,
    std::span<const double> bf, std::span<double> out, const Interrupt& interrupt = {});
Outcome<Filled> discrete_flux_map_heyrovsky_magnification_into(
    std::span<const double> l, double re, double rstar, std::span<const double> bl,
    std::span<const double> bf, std::span<double> out, const Interrupt& interrupt = {});

}  // namespace models
