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
// D and the excess of Pi over K are the differences K - E and Pi - K divided
// by their vanishing factors, so that a caller combining K, E and Pi with
// large, nearly cancelling coefficients can cancel those coefficients
// analytically instead.
#pragma once

#include "ellip/result.hpp"

namespace ellip::legendre {

Result ellipk(double m) noexcept;
Result ellipe(double m) noexcept;
Result ellippi(double n, double m) noexcept;

// Pi(n, m) for n < 1 with nc = 1 - n supplied by the caller.
Result ellippi_vc(double n, double m, double nc) noexcept;

// K(m) with mc = 1 - m supplied: m selects the tabulated polynomial, and mc
// drives the Carlson form outside the tabulated range.
Result _ellipk_complement(double m, double mc) noexcept;

// D(m) = (K(m) - E(m)) / m = RD(0, mc, 1) / 3, from the complement mc = 1 - m.
Result _ellipd_complement(double mc) noexcept;

// (Pi(n, m) - K(m)) / n = RJ(0, mc, 1, nc) / 3, from the complements
// mc = 1 - m and nc = 1 - n.
Result _ellippi_excess_complement(double mc, double nc) noexcept;

}  // namespace ellip::legendre
