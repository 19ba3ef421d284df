// Complete elliptic integrals in Legendre's form, parameter convention m = k^2.
//
//   K(m)    = int_0^(pi/2) (1 - m sin^2 t)^(-1/2) dt
//   E(m)    = int_0^(pi/2) (1 - m sin^2 t)^(1/2) dt
//   Pi(n,m) = int_0^(pi/2) (1 - n sin^2 t)^(-1) (1 - m sin^2 t)^(-1/2) dt,
//             the Cauchy principal value for n > 1.
//
// The "_complement" entries take the complements mc = 1 - m and nc = 1 - n
// as separate arguments, for callers that can form them without cancellation;
// near m = 1 or n = 1 the integrals depend on the complements, not on m or n.
// D(m) = (K - E)/m and the excess X(n, m) = (Pi - K)/n are the differences
// divided by their vanishing factors, so that a caller combining K, E and Pi
// with large, nearly cancelling coefficients can cancel those coefficients
// analytically instead.
#pragma once

#include "ellip/result.hpp"

namespace ellip::legendre {

Result ellipk(double m) noexcept;
Result ellipe(double m) noexcept;
Result ellippi(double n, double m) noexcept;

// Pi(n, m) for n < 1 with nc = 1 - n supplied by the caller.
Result ellippi_vc(double n, double m, double nc) noexcept;

// (Pi(n, m) - K(m)) / n = RJ(0, mc, 1, nc) / 3, from the complements
// mc = 1 - m and nc = 1 - n.
Result _ellippi_excess_complement(double mc, double nc) noexcept;

// K(m), D(m) and (Pi(n, m) - K(m))/n together from one AGM, for mc = 1 - m > 0
// and nc = 1 - n > 0 (any m < 1 and n < 1); m is needed only where m is small.
// K and D cannot fail; the third is a kernel result, as it may come from RJ.
struct KdxResult {
    double k;
    double d;
    Result x;
};
KdxResult _ellip_kdx_complement(double m, double mc, double nc) noexcept;

// K(m), P = (1 - n)(Pi(n, m) - K(m))/n and Z = (K - E)/m - P together from
// one AGM, for 0 <= m < 1 and 0 <= n < 1 given with their complements
// mc = 1 - m and nc = 1 - n (each of the pair as the caller can form it best;
// the small one of each pair carries the digits).  Z equals
// n int_0^(pi/2) sin^2 t cos^2 t / ((1 - n sin^2 t) sqrt(1 - m sin^2 t)) dt and
// is formed without cancellation for m <= n (the disc model's range); where
// n is much smaller than m it is a difference of nearly equal terms.
// K cannot fail; P is a kernel result, as it may come from RJ, and Z is
// meaningful only when P succeeded.
struct KpzResult {
    double k;
    Result p;
    double z;
};
KpzResult _ellip_kpz_complement(double m, double mc, double n, double nc) noexcept;

// K(m) - D(m) = (E(m) - mc K(m))/m for 0 <= mc <= 1e-3 (m next to 1, where K
// and D both diverge), given K = K(m), by Legendre's relation.
double _ellip_k_minus_d_complement(double m, double mc, double k) noexcept;

}  // namespace ellip::legendre
