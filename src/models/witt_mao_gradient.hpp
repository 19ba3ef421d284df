// The uniform-disc magnification with its derivatives with respect to the
// lens-source separation u and the source radius rho (both in Einstein
// radii), in closed form over the same complete elliptic integrals.
#pragma once

#include <cstddef>

#include "ellip/result.hpp"

namespace models {

struct DiscGradient {
    double value = 0;  // the magnification, witt_mao_element's bits
    double du = 0;     // dA/du, with u the distance of the lens from the centre
    double drho = 0;   // dA/drho
    // u dA/du + rho dA/drho, the disc's mean of p f'(p) (f the point-lens
    // magnification): finite on the limb, where the two terms diverge and
    // cancel, and formed without that cancellation (NaN exactly on the limb).
    double scaling = 0;
    const char* error = nullptr;  // a kernel's static text, or null
    [[nodiscard]] bool ok() const noexcept { return error == nullptr; }
};

// For a lens x source radii from the centre (x counts by its size; du is
// the derivative with respect to the distance) of a disc of radius rho
// Einstein radii.  Exactly on the limb the derivatives are the limits of
// their logarithmic singularity: du = -inf and drho = +inf.
DiscGradient witt_mao_gradient_element(double x, double rho) noexcept;

// Where a batch of gradient elements goes: arrays of the batch's length.
struct DiscGradients {
    double* value;
    double* du;
    double* drho;
    double* scaling;
};

// The gradient element over n pairs: each field of out at i is
// witt_mao_gradient_element(x[i], rho[i])'s bit for bit where it succeeds,
// and NaN throughout where its kernel fails.  Returns the index of the first
// failing pair, or n; the caller asks the element itself for its error.
// Computed in vector lanes where the processor offers them, as
// witt_mao_elements is.
std::size_t witt_mao_gradient_elements(const double* x, const double* rho,
                                       const DiscGradients& out, std::size_t n) noexcept;

}  // namespace models
