#include "models/flux_map.hpp"

#include <span>

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
void check_lengths(std::span<const double> bl, std::span<const double> bf) {
    if (bl.size() != bf.size()) {
        fail_equal(bl.size(), bf.size(), __FILE__, __LINE__);
    }
}

// Returns the curve a filling of `out` leaves, or its error.
template <class Fill>
Outcome<Curve> curve_of(std::size_t size, Fill&& fill) {
    Curve curve(size);
    const Outcome<Filled> filled = fill(std::span<double>(curve));
    if (!filled.ok()) {
        return filled.error();
    }
    return curve;
}

}  // namespace

Outcome<Filled> integrated_flux_map_witt_mao_magnification_into(
    std::span<const double> l, double re, double rstar, std::span<const double> bl,
    std::span<const double> bf, std::span<double> out, const Interrupt& interrupt) {
    check_lengths(bl, bf);
    const FluxMap profile(bl, bf);
    return _integrated_witt_mao_magnification_into(l, re, rstar, profile, out, interrupt);
}

Outcome<Filled> integrated_flux_map_heyrovsky_magnification_into(
    std::span<const double> l, double re, double rstar, std::span<const double> bl,
    std::span<const double> bf, std::span<double> out, const Interrupt& interrupt) {
    check_lengths(bl, bf);
    const FluxMap profile(bl, bf);
    return _integrated_heyrovsky_magnification_into(l, re, rstar, profile, out, interrupt);
}

Outcome<Filled> discrete_flux_map_heyrovsky_magnification_into(
    std::span<const double> l, double re, double rstar, std::span<const double> bl,
    std::span<const double> bf, std::span<double> out, const Interrupt& interrupt) {
    check_lengths(bl, bf);
    // The plain bf-weighted sum of the rings, the first failing ring failing
    // the element.
    auto element = [&](double x) {
        double sum = 0.0;
        for (std::size_t j = 0; j < bl.size(); ++j) {
            if (j != 0 && interrupted_at(interrupt, j, POLL_RINGS)) {
                return ellip::failure(runtime::INTERRUPTED);
            }
            const ellip::Result v = heyrovsky_magnification(x, bl[j], re, rstar);
            if (!v.ok()) {
                return v;
            }
            sum = sum + v.value() * bf[j];
        }
        return ellip::success(sum);
    };
    // Each element costs one ring per table radius.
    return outcome_of(drive(element, l, out, interrupt, 16));
}

Outcome<Curve> integrated_flux_map_witt_mao_magnification(Curve l, double re, double rstar,
                                                          Curve bl, Curve bf,
                                                          const Interrupt& interrupt) {
    return curve_of(l.size(), [&](std::span<double> out) {
        return integrated_flux_map_witt_mao_magnification_into(l, re, rstar, bl, bf, out,
                                                               interrupt);
    });
}

Outcome<Curve> integrated_flux_map_heyrovsky_magnification(Curve l, double re, double rstar,
                                                           Curve bl, Curve bf,
                                                           const Interrupt& interrupt) {
    return curve_of(l.size(), [&](std::span<double> out) {
        return integrated_flux_map_heyrovsky_magnification_into(l, re, rstar, bl, bf, out,
                                                                interrupt);
    });
}

Outcome<Curve> discrete_flux_map_heyrovsky_magnification(Curve l, double re, double rstar,
                                                         Curve bl, Curve bf,
                                                         const Interrupt& interrupt) {
    return curve_of(l.size(), [&](std::span<double> out) {
        return discrete_flux_map_heyrovsky_magnification_into(l, re, rstar, bl, bf, out,
                                                              interrupt);
    });
}

}  // namespace models
