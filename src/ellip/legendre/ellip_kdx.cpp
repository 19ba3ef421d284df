// K(m), D(m) = (K - E)/m and X(n, m) = (Pi(n, m) - K(m))/n together, from
// one arithmetic-geometric mean of 1 and sqrt(mc), for the complements
// mc = 1 - m > 0 and nc = 1 - n > 0 (the sums are in agm_complement.hpp):
//   K = pi / (2 M),  D = K (1/2 + delta_0 / (4 (1 + g_0)) + s / m),
//   X = K S / (2 nc).
// The terms of S alternate in sign when nc is small against sqrt(mc) (n near
// 1 while m is not); S then cancels, and is taken instead from the
// telescoped sum of the same AGM steps, whose terms share one sign
// (agm_complement.hpp), as it is for a subnormal nc, for which the plain
// recurrence overflows.  Arguments that are not numbers, or outside the
// domain, go to Carlson's RJ, whose verdict is the kernel's.
#include <cmath>

#include "ellip/carlson/carlson.hpp"
#include "ellip/legendre/agm_complement.hpp"
#include "ellip/legendre/legendre.hpp"

namespace ellip::legendre {

KdxResult _ellip_kdx_complement(double m, double mc, double nc) noexcept {
    const double g0 = std::sqrt(mc);
    const detail::AgmSums sums =
        detail::agm_sums<false>(m, g0, m / (1 + g0), nc, nc - g0);

    KdxResult r;
    r.k = sums.k;
    r.d = sums.k * (0.5 + sums.d_bracket);
    const double s = 1 + sums.t;
    if (std::fabs(s) >= detail::S_CANCELLATION) {
        r.x = success(sums.k * s / (2 * nc));
    } else if (detail::takes_telescoped_sum(s, g0, nc)) {
        const detail::TelescopedSum t = detail::telescoped_sum(g0, nc);
        r.x = success((sums.k * t.u / 2 + (detail::AGM_PI / 2) * t.r) / nc);
    } else {
        r.x = _ellippi_excess_complement(mc, nc);
    }
    return r;
}

}  // namespace ellip::legendre
