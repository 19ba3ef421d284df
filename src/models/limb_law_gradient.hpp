// The magnification of a limb-darkened source with its derivatives with
// respect to the separation, the source radius and the law's coefficients:
// the model behind the fitting functions' gradients.
#pragma once

#include <cstddef>
#include <span>

#include "models/limb_law.hpp"

namespace models {

struct LawGradient {
    double value = 0;  // law.magnification(u, rho), bit for bit
    double du = 0;
    double drho = 0;
};

// Whether the law has derivatives with respect to its coefficients here
// (a brightness table has none).
[[nodiscard]] bool has_gradient(const LimbLaw& law) noexcept;

// The magnification of a source of radius rho Einstein radii at the
// separation u (Einstein radii) and its derivatives; dc (of the length of
// law.coefficients()) receives dA/dc_k.  u counts by its size: du is
// sign(u) times the derivative with respect to the distance, and 0 at
// u = 0, where the magnification is even and smooth.  On the limb of a
// uniform disc the derivatives are infinite (the magnification has a
// (u - rho) ln|u - rho| kink there).  A NaN u gives NaN throughout; rho = 0
// gives the point lens's slope and no dependence on rho or the law.  rho
// must be finite and not negative (the caller checks), and has_gradient(law).
[[nodiscard]] LawGradient magnification_gradient(const LimbLaw& law, double u, double rho,
                                                 std::span<double> dc);

// magnification_gradient over n points for a uniform law, bit for bit:
// value[i], du[i] and drho[i] for (u[i], rho[i]), with the discs computed
// together in vector lanes.  rho as for magnification_gradient.
void uniform_gradients(const LimbLaw& uniform, const double* u, const double* rho,
                       double* value, double* du, double* drho, std::size_t n);

// The most coefficients a law with a gradient has (the nonlinear law's);
// has_gradient() is false for any law with more.
inline constexpr std::size_t GRADIENT_COEFFICIENTS = 4;

// Where the gradients of n points go: value, du and drho of length n, dc of
// n rows of len(law.coefficients()), row i at dc + i * that length.
struct LawGradients {
    double* value;
    double* du;
    double* drho;
    double* dc;
};

// magnification_gradient over n points, bit for bit: point i's value, du,
// drho and dc row are those of magnification_gradient(law, u[i], rho[i]).
// The discs of the points that take the law's quadrature are handed to the
// gradient lanes together, several points at a time, so that lane groups
// are filled across points.  has_gradient(law); rho as for
// magnification_gradient.  value may be u or rho; the other outputs
// overlap neither.
void law_gradients(const LimbLaw& law, const double* u, const double* rho,
                   const LawGradients& out, std::size_t n);
// The same with one source radius for every point.
void law_gradients(const LimbLaw& law, const double* u, double rho, const LawGradients& out,
                   std::size_t n);

}  // namespace models
