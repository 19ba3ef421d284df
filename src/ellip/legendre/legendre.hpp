// Complete elliptic integrals in Legendre's form, parameter convention m = k^2.
//
//   K(m)    = int_0^(pi/2) (1 - m sin^2 t)^(-1/2) dt
//   E(m)    = int_0^(pi/2) (1 - m sin^2 t)^(1/2) dt
//   Pi(n,m) = int_0^(pi/2) (1 - n sin^2 t)^(-1) (1 - m sin^2 t)^(-1/2) dt,
//             the Cauchy principal value for n > 1.
//
// The "_complement" entries take the complements mc = 1 - m (and nc = 1 - n)
// as separate arguments, for callers that can form them without cancellation;
// near m = 1 or n = 1 the integrals depend on the complements, not on m or n.
#pragma once

#include "ellip/result.hpp"

namespace ellip::legendre {

Result ellipk(double m) noexcept;
Result ellipe(double m) noexcept;
Result ellippi(double n, double m) noexcept;

// Pi(n, m) for n < 1 with nc = 1 - n supplied by the caller.
Result ellippi_vc(double n, double m, double nc) noexcept;

// K(m) and E(m) with mc = 1 - m supplied: m selects the tabulated polynomial,
// and mc drives the Carlson form outside the tabulated range.
Result _ellipk_complement(double m, double mc) noexcept;
Result _ellipe_complement(double m, double mc) noexcept;

// Pi(n, m) for n < 1 from the complements: RF(0, mc, 1) + n RJ(0, mc, 1, nc)/3.
Result _ellippi_vc_complement(double n, double mc, double nc) noexcept;

}  // namespace ellip::legendre
