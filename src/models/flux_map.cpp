#include "models/flux_map.hpp"

#include <utility>

#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/profile.hpp"

namespace models {

namespace {

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

}  // namespace

Outcome<Curve> integrated_flux_map_witt_mao_magnification(Curve l, double re, double rstar,
                                                          Curve bl, Curve bf,
                                                          const Interrupt& interrupt) {
    check_lengths(bl, bf);
    const FluxMap profile(bl, bf);
    return _integrated_witt_mao_magnification(std::move(l), re, rstar, profile, interrupt);
}

Outcome<Curve> integrated_flux_map_heyrovsky_magnification(Curve l, double re, double rstar,
                                                           Curve bl, Curve bf,
                                                           const Interrupt& interrupt) {
    check_lengths(bl, bf);
    const FluxMap profile(bl, bf);
    return _integrated_heyrovsky_magnification(std::move(l), re, rstar, profile, interrupt);
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
