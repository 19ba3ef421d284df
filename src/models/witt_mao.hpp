// Witt-Mao magnification of a uniformly bright disc by a point lens.
//
// H. J. Witt and S. Mao, "Can lensed stars be regarded as pointlike for
// microlensing by MACHOs?", ApJ 430 (1994) 505.
#pragma once

#include <cstddef>
#include <span>

#include "ellip/result.hpp"
#include "models/model_result.hpp"

namespace models {

// Magnification for one separation x (in source radii) of a disc whose radius
// is rho Einstein radii.
ellip::Result witt_mao_element(double x, double rho) noexcept;

// What the element's closed form used, for its derivatives: the parameter m
// and its complement, and the fused kernel's K, P and Z (with K - D next to
// the limb).  `integrals` is false where the element took no elliptic
// integral (the far field, the limb, non-finite input) or its kernel failed.
struct WittMaoIntegrals {
    bool integrals = false;
    double m = 0;
    double mc = 0;
    double k = 0;
    double p = 0;
    double z = 0;
    bool limb_zone = false;
    double k_minus_d = 0;  // K - D, in the limb zone only
};

// witt_mao_element(x, rho), bit for bit, and the integrals it used.
ellip::Result witt_mao_element(double x, double rho, WittMaoIntegrals& integrals) noexcept;

// The element over n pairs: out[i] is witt_mao_element(x[i], rho[i]) bit for
// bit where it succeeds, and NaN where its kernel fails.  Returns the index of
// the first failing pair, or n when none fails; the caller asks the element
// itself for that pair's error.  Batches let the quadratures hand all their
// discs over at once.  The pairs are computed in vector lanes where the
// processor offers them (witt_mao_lanes.hpp, runtime/cpu_features.hpp).
std::size_t witt_mao_elements(const double* x, const double* rho, double* out,
                              std::size_t n) noexcept;

// The curve over the separations l (source radii); rho = rstar / re.
Outcome<Curve> witt_mao_magnification(Curve l, double re, double rstar,
                                      const Interrupt& interrupt = {});

// The same into out, of the size of l.
Outcome<Filled> witt_mao_magnification_into(std::span<const double> l, double re, double rstar,
                                            std::span<double> out,
                                            const Interrupt& interrupt = {});

}  // namespace models
