// Derivatives of the limb-darkened magnification, following the value's own
// route through its cases: the point lens for sources too small or too far
// to matter, the closed form of the uniform disc, the quadrature of a law.
#include "models/limb_law_gradient.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "models/limb_law_far_field.hpp"
#include "models/witt_mao_gradient.hpp"
#include "models/witt_mao_lanes.hpp"

namespace models {

// The quadrature of a darkened law (limb_law_gradient_quadrature.cpp).
LawGradient darkened_gradient(const LimbLaw& law, double lens, double rho, std::span<double> dc);

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// dA/du of the point lens, -8 / (u^2 (u^2 + 4)^(3/2)); beyond u = 1e100
// the value is 1 exactly, and so flat.
double point_lens_slope(double u) noexcept {
    if (u > 1e100) {
        return 0;
    }
    const double q = u * u + 4;
    return -8 / (u * u * (q * std::sqrt(q)));
}

void fill(std::span<double> dc, double v) noexcept {
    for (double& d : dc) {
        d = v;
    }
}

// The derivatives with respect to the distance.
LawGradient by_distance(const LimbLaw& law, double distance, double rho, std::span<double> dc) {
    LawGradient g;
    fill(dc, 0.0);
    if (rho == 0) {
        g.value = law.magnification(distance, rho);
        g.du = point_lens_slope(distance);
        return g;
    }
    const double lens = distance / rho;
    if (!std::isfinite(lens)) {
        g.value = law.magnification(distance, rho);
        g.du = point_lens_slope(distance);
        return g;
    }
    // Taken as a point by the value, the source's size still enters at
    // order rho^2: the mean-value series of the disc gives that slope (the
    // law changes it by a factor near 1, and its share is below 1e-20 of
    // the value).
    const bool point = rho < TINY_SOURCE ? lens > FAR_POINT
                                         : law.kind() != LawKind::uniform && lens > FAR_POINT;
    if (point) {
        g.value = law.magnification(distance, rho);
        const DiscGradient disc = witt_mao_gradient_element(lens, rho);
        g.du = disc.du;
        g.drho = disc.drho;
        return g;
    }
    if (rho < TINY_SOURCE) {
        // The value is M(lens T, T) T / rho, M the magnification of a source
        // of radius T = TINY_SOURCE; its derivatives follow by the chain rule.
        g.value = law.magnification(distance, rho);
        const double ratio = TINY_SOURCE / rho;
        const LawGradient m = by_distance(law, lens * TINY_SOURCE, TINY_SOURCE, dc);
        g.du = m.du * ratio * ratio;
        g.drho = -(m.du * (lens * TINY_SOURCE) + m.value) * (ratio / rho);
        for (double& d : dc) {
            d *= ratio;
        }
        return g;
    }
    if (law.kind() == LawKind::uniform) {
        const DiscGradient disc = witt_mao_gradient_element(lens, rho);
        if (!disc.ok()) {
            g.value = NaN;
            g.du = NaN;
            g.drho = NaN;
            return g;
        }
        g.value = disc.value;
        g.du = disc.du;
        g.drho = disc.drho;
        return g;
    }
    // Far from the lens, the value's own mean-value series, differentiated
    // term by term.
    if (law.kind() != LawKind::table && lens >= far_field::THRESHOLD) {
        const far_field::Slopes s = far_field::slopes(law.far_moments(), distance, lens, rho, dc);
        g.value = std::max(1 + s.excess, 1.0);
        g.du = s.du;
        g.drho = s.drho;
        return g;
    }
    return darkened_gradient(law, lens, rho, dc);
}

}  // namespace

bool has_gradient(const LimbLaw& law) noexcept {
    return law.kind() != LawKind::table && law.coefficients().size() <= GRADIENT_COEFFICIENTS;
}

LawGradient magnification_gradient(const LimbLaw& law, double u, double rho,
                                   std::span<double> dc) {
    const double distance = std::fabs(u);
    if (std::isnan(distance)) {
        fill(dc, NaN);
        return LawGradient{NaN, NaN, NaN};
    }
    LawGradient g = by_distance(law, distance, rho, dc);
    // d|u|/du: the sign of u, and 0 at u = 0 (where the slope with respect
    // to the distance is 0 for a source of any size, and the point lens's
    // is infinite).
    if (u < 0) {
        g.du = -g.du;
    } else if (u == 0) {
        g.du = rho > 0 ? 0.0 : NaN;
    }
    return g;
}

void uniform_gradients(const LimbLaw& uniform, const double* u, const double* rho, double* value,
                       double* du, double* drho, std::size_t n) {
    // Per block: the points that take the plain disc (a source of at least
    // TINY_SOURCE, the lens a finite number of its radii away) as pairs,
    // and where each goes; every other point takes the law's own steps.
    double xs[LANE_BLOCK];
    double rs[LANE_BLOCK];
    double values[LANE_BLOCK];
    double dus[LANE_BLOCK];
    double drhos[LANE_BLOCK];
    double scalings[LANE_BLOCK];
    std::uint16_t at[LANE_BLOCK];
    for (std::size_t b = 0; b < n; b += LANE_BLOCK) {
        const std::size_t len = n - b < LANE_BLOCK ? n - b : LANE_BLOCK;
        std::size_t pairs = 0;
        for (std::size_t j = 0; j < len; ++j) {
            const std::size_t i = b + j;
            const double r = rho[i];
            const double distance = std::fabs(u[i]);
            const double lens = distance / r;
            if (std::isnan(distance) || r < TINY_SOURCE || !std::isfinite(lens)) {
                const LawGradient g = magnification_gradient(uniform, u[i], r, {});
                value[i] = g.value;
                du[i] = g.du;
                drho[i] = g.drho;
                continue;
            }
            xs[pairs] = lens;
            rs[pairs] = r;
            at[pairs] = static_cast<std::uint16_t>(j);
            ++pairs;
        }
        // NaN throughout where the disc's kernel fails, as for one point.
        (void)witt_mao_gradient_elements(xs, rs, DiscGradients{values, dus, drhos, scalings},
                                         pairs);
        for (std::size_t k = 0; k < pairs; ++k) {
            const std::size_t i = b + at[k];
            // d|u|/du: the sign of u, and 0 at u = 0, where the
            // magnification is even and smooth (u is read before value,
            // which may be u, is written).
            du[i] = u[i] < 0 ? -dus[k] : u[i] == 0 ? 0.0 : dus[k];
            drho[i] = drhos[k];
            value[i] = values[k];
        }
    }
}

}  // namespace models
