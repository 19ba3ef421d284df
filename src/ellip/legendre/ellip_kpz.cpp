// K(m), P = (1 - n)(Pi(n, m) - K(m))/n and Z = (K - E)/m - P together, from
// one arithmetic-geometric mean (the sums are in agm_complement.hpp):
//   K = pi / (2 M),  P = K S / 2,
//   Z = K (delta_0 / (4 (1 + g_0)) + s / m - T / 2),  S = 1 + T.
// As integrals over t in (0, pi/2),
//   P = (1 - n) int sin^2 t / ((1 - n sin^2 t) sqrt(1 - m sin^2 t)) dt,
//   Z = n int sin^2 t cos^2 t / ((1 - n sin^2 t) sqrt(1 - m sin^2 t)) dt,
// so Z vanishes with n although D = (K - E)/m and P each tend to pi/4: a
// difference formed by subtraction would lose every digit there.  For
// 0 <= m <= n < 1 the sum T is not positive and all three terms of Z's
// bracket add without cancellation.  Where S cancels (nc small against
// sqrt(mc)), S comes instead from the telescoped sum of the same AGM steps,
// whose terms share one sign (agm_complement.hpp); P is then below D/4, so
// that Z = D - P is again a difference without cancellation; the same form
// serves a subnormal nc, for which the plain recurrence overflows.  Arguments
// that are not numbers, or outside the domain, go to Carlson's RJ, whose
// verdict is the kernel's.
#include <cmath>

#include "ellip/carlson/carlson.hpp"
#include "ellip/legendre/agm_complement.hpp"
#include "ellip/legendre/legendre.hpp"

namespace ellip::legendre {

KpzResult _ellip_kpz_complement(double m, double mc, double n, double nc) noexcept {
    const double g0 = std::sqrt(mc);
    const double delta0 = m / (1 + g0);
    // p_0^2 - g_0 = nc - g_0: for small n both complements sit next to 1 and
    // their difference is formed from the small quantities delta_0 and n.
    const double e0_numerator = n < 0.5 ? delta0 - n : nc - g0;
    const detail::AgmSums sums = detail::agm_sums<true>(m, g0, delta0, nc, e0_numerator);

    KpzResult r;
    r.k = sums.k;
    const double s = 1 + sums.t;
    if (std::fabs(s) >= detail::S_CANCELLATION) {
        r.p = success(sums.k * s / 2);
        r.z = sums.k * (sums.d_bracket - sums.t / 2);
        return r;
    }
    if (detail::takes_telescoped_sum(s, g0, nc)) {
        const detail::TelescopedSum t = detail::telescoped_sum(g0, nc);
        r.p = success(sums.k * t.u / 2 + (detail::AGM_PI / 2) * t.r);
        r.z = sums.k * (0.5 + sums.d_bracket) - r.p.value();
        return r;
    }
    const Result x = _ellippi_excess_complement(mc, nc);
    if (!x.ok()) {
        r.p = x;
        r.z = 0;
        return r;
    }
    r.p = success(nc * x.value());
    r.z = sums.k * (0.5 + sums.d_bracket) - r.p.value();
    return r;
}

}  // namespace ellip::legendre
