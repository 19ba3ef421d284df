// Magnification of a source with a radial brightness profile: the disc or
// ring magnification weighted over the profile and integrated over the
// source radius.
#pragma once

#include <span>

#include "models/model_result.hpp"
#include "models/profile.hpp"

namespace models {

// Both routes read separations, re and rstar by their size (l and -l, a
// negative re or rstar give the same values), and give NaN for every
// separation when rho = |rstar / re| is zero, infinite or NaN, where the
// magnification of the source is undefined.
//
// For each separation l[i] (source radii): (1/N) * integral over the
// source of the point-lens magnification weighted by the profile, from the
// uniform-disc model by parts,
//   int_0^1 2 pi r I(r) A_ring(r) dr = pi [r^2 M(r) I(r)] - pi int r^2 M(r) I'(r) dr,
// M(r) the magnification of the uniform disc of radius r about the same
// centre, and N = profile.norm().  Fails only where the uniform-disc
// magnification of the whole source fails.
Outcome<Curve> _integrated_witt_mao_magnification(Curve l, double re, double rstar,
                                                  const Profile& profile,
                                                  const Interrupt& interrupt = {});

// The same quantity from the ring model: (1/N) int_0^1 2 pi r A_ring(r) I(r) dr.
// Fails only when interrupted; a non-finite separation gives NaN.
Outcome<Curve> _integrated_heyrovsky_magnification(Curve l, double re, double rstar,
                                                   const Profile& profile,
                                                   const Interrupt& interrupt = {});

// The same into out, of the size of l.
Outcome<Filled> _integrated_witt_mao_magnification_into(std::span<const double> l, double re,
                                                        double rstar, const Profile& profile,
                                                        std::span<double> out,
                                                        const Interrupt& interrupt = {});
Outcome<Filled> _integrated_heyrovsky_magnification_into(std::span<const double> l, double re,
                                                         double rstar, const Profile& profile,
                                                         std::span<double> out,
                                                         const Interrupt& interrupt = {});

// One element of the disc route: the profile-weighted magnification of a
// source of radius rho Einstein radii whose centre is `lens` source radii
// from the lens (both finite, rho > 0).  NaN where the uniform disc of the
// whole source fails.
double integrated_disc_element(double lens, double rho, const Profile& profile);

// The built-in limb-darkened profile (with its stored normalisation).
Outcome<Curve> integrated_witt_mao_magnification(Curve l, double re, double rstar,
                                                 const Interrupt& interrupt = {});
Outcome<Curve> integrated_heyrovsky_magnification(Curve l, double re, double rstar,
                                                  const Interrupt& interrupt = {});

}  // namespace models
