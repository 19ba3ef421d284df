#include "models/flux_map.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/profile.hpp"
#include "models/ring_lanes.hpp"

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
    // the element.  Each element's rings go to the ring element's lanes a
    // chunk at a time, summed in table order as one at a time.
    const double eps = std::fabs(re / rstar);
    const std::size_t chunk = std::min(bl.size(), POLL_RINGS);
    std::vector<double> radius(bl.size());
    for (std::size_t j = 0; j < bl.size(); ++j) {
        radius[j] = std::fabs(bl[j]);
    }
    std::vector<double> lens(chunk);
    std::vector<double> dist(chunk);
    std::vector<double> value(chunk);
    auto element = [&](double x) {
        const double at = std::fabs(x);
        std::fill(lens.begin(), lens.end(), at);
        double sum = 0.0;
        for (std::size_t b = 0; b < bl.size(); b += chunk) {
            if (b != 0 && interrupted_at(interrupt, b, POLL_RINGS)) {
                return ellip::failure(runtime::INTERRUPTED);
            }
            const std::size_t n = std::min(chunk, bl.size() - b);
            for (std::size_t j = 0; j < n; ++j) {
                dist[j] = radius[b + j] - at;
            }
            const std::size_t failed =
                ring_elements(lens.data(), radius.data() + b, dist.data(), eps, value.data(), n);
            if (failed < n) {
                return heyrovsky_magnification(x, bl[b + failed], re, rstar);
            }
            for (std::size_t j = 0; j < n; ++j) {
                sum = sum + value[j] * bf[b + j];
            }
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
