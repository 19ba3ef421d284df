// The logarithmic and power parts of the quadrature nodes off the limb
// piece, s ln s and gamma s^beta, formed for all the nodes of a layout at
// once in vector lanes.
#pragma once

#include <cstddef>

#include "runtime/cpu_features.hpp"

namespace models {

// For i in [0, n): log_part[i] = m[i] (s[i] ln s[i]) when `log` (else left
// alone), power_part[i] = m[i] (gamma s[i]^beta) when `power` (else left
// alone).  s[i] in [0, 1], beta > -1.  The logarithm and exponential are this file's
// own, made of IEEE additions, multiplications and divisions only, so that
// every lane width gives the same bits.  The logarithm agrees with the
// library's to a few ulps; the power to a few ulps plus 2 |beta ln s|, the
// rounding of its exponent magnified as any exp(beta ln s) magnifies it.
void singular_parts(const double* s, const double* m, std::size_t n, bool log, bool power,
                    double beta, double gamma, double* log_part, double* power_part) noexcept;

// The same at a given lane width (the widest supported at or below it);
// every width gives the same bits.
void singular_parts_at(runtime::SimdLevel level, const double* s, const double* m, std::size_t n,
                       bool log, bool power, double beta, double gamma, double* log_part,
                       double* power_part) noexcept;

// out[i] = ln s[i] for i in [0, n), s[i] in (0, 1], by the logarithm of
// singular_parts() (the library's below 1e-300).
void unit_logs(const double* s, double* out, std::size_t n) noexcept;

// The logarithm and power as singular_parts() forms them, one at a time (for
// tests).
double unit_log(double s) noexcept;
double unit_power(double s, double beta) noexcept;

}  // namespace models
