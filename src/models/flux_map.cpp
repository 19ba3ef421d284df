#include "models/flux_map.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/profile.hpp"

namespace models {

namespace {

constexpr double TWO_PI = 6.283185307179586;
constexpr double EPSILON = 2.220446049250313e-16;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double ZERO_FLUX_ULPS = 16;

// Table radii between two polls for a pending interrupt in the discrete
// form, a few hundred microseconds of rings.
constexpr std::size_t POLL_RINGS = 4096;

// The table's two columns must pair up; callers check this before handing
// the table over, so a mismatch here is an internal failure.
void check_lengths(const Curve& bl, const Curve& bf) {
    if (bl.size() != bf.size()) {
        fail_equal(bl.size(), bf.size(), __FILE__, __LINE__);
    }
}

// The flux of the profile over the unit disc, int_0^1 2 pi r B(r) dr, in
// closed form piece by piece between the table radii (B is a straight line
// on each): 2 pi (b - a) (B(a) (2a + b) + B(b) (a + 2b)) / 6.  A table whose
// flux vanishes to within the rounding of its pieces' fluxes (brightness of
// both signs that cancels, or none at all) describes no source: its
// magnification, a ratio to that flux, is undefined, and the flux is taken
// as NaN.
double flux(const FluxMap& profile) {
    double total = 0;
    double size = 0;
    double a = 0;
    auto piece = [&](double b) {
        const PieceLaw law = profile.law_on(a, b);
        const double fa = law.value(a, 0.0) * (2 * a + b);
        const double fb = law.value(b, 0.0) * (a + 2 * b);
        total += (fa + fb) * (b - a);
        size += (std::fabs(fa) + std::fabs(fb)) * (b - a);
        a = b;
    };
    for (const double b : profile.breakpoints()) {
        piece(b);
    }
    piece(1.0);
    // Rounding in the sum is a few units in the last place of its terms'
    // magnitudes; a flux below that is indistinguishable from none.
    if (!(std::fabs(total) > ZERO_FLUX_ULPS * EPSILON * size)) {
        return NaN;
    }
    return TWO_PI * total / 6;
}

}  // namespace

Outcome<Curve> integrated_flux_map_witt_mao_magnification(Curve l, double re, double rstar,
                                                          Curve bl, Curve bf,
                                                          const Interrupt& interrupt) {
    check_lengths(bl, bf);
    const FluxMap profile(bl, bf);
    return _integrated_witt_mao_magnification(std::move(l), re, rstar, flux(profile), profile,
                                              interrupt);
}

Outcome<Curve> integrated_flux_map_heyrovsky_magnification(Curve l, double re, double rstar,
                                                           Curve bl, Curve bf,
                                                           const Interrupt& interrupt) {
    check_lengths(bl, bf);
    const FluxMap profile(bl, bf);
    return _integrated_heyrovsky_magnification(std::move(l), re, rstar, flux(profile), profile,
                                               interrupt);
}

Outcome<Curve> discrete_flux_map_heyrovsky_magnification(Curve l, double re, double rstar,
                                                         Curve bl, Curve bf,
                                                         const Interrupt& interrupt) {
    check_lengths(bl, bf);
    Curve curve;
    curve.reserve(l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        // Each element costs one ring per table radius.
        if (interrupted_at(interrupt, i, 16)) {
            return interrupted();
        }
        const double x = l[i];
        double sum = 0.0;
        for (std::size_t j = 0; j < bl.size(); ++j) {
            if (j != 0 && interrupted_at(interrupt, j, POLL_RINGS)) {
                return interrupted();
            }
            const ellip::Result v = heyrovsky_magnification(x, bl[j], re, rstar);
            if (!v.ok()) {
                return runtime_error(v.error());
            }
            sum = sum + v.value() * bf[j];
        }
        curve.push_back(sum);
    }
    return curve;
}

}  // namespace models
