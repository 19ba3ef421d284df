#include "models/profile.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "interp/interp.hpp"

namespace models {

namespace {
constexpr double TWO_PI = 6.283185307179586;
constexpr double EPSILON = 2.220446049250313e-16;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double ZERO_FLUX_ULPS = 16;
}  // namespace

double LinearLimbDarkening::operator()(double r) const noexcept {
    return (1 - std::sqrt(1 - r * r)) * (-coefficient_) + 1;
}

// 1 - u (1 - mu) = (1 - u) + u mu.
PieceLaw LinearLimbDarkening::law_on(double, double) const noexcept {
    return {1 - coefficient_, 0.0, coefficient_, 0.0};
}

FluxMap::FluxMap(std::span<const double> bl, std::span<const double> bf) : bl_(bl), bf_(bf) {
    const std::size_t n = std::min(bl.size(), bf.size());
    // With two or more points the interpolant has a kink at every table
    // radius (and jumps to 0 beyond the ends of the table).
    if (n >= 2) {
        for (std::size_t j = 0; j < n; ++j) {
            if (bl[j] > 0 && bl[j] < 1) {
                breakpoints_.push_back(bl[j]);
            }
        }
        std::sort(breakpoints_.begin(), breakpoints_.end());
        breakpoints_.erase(std::unique(breakpoints_.begin(), breakpoints_.end()),
                           breakpoints_.end());
    }
    norm_ = flux();
}

// The flux of the profile over the unit disc, int_0^1 2 pi r B(r) dr, in
// closed form piece by piece between the table radii (B is a straight line
// on each): 2 pi (b - a) (B(a) (2a + b) + B(b) (a + 2b)) / 6.  A table whose
// flux vanishes to within the rounding of its pieces' fluxes (brightness of
// both signs that cancels, or none at all) describes no source: its
// magnification, a ratio to that flux, is undefined, and the flux is taken
// as NaN.
double FluxMap::flux() const noexcept {
    double total = 0;
    double size = 0;
    double a = 0;
    auto piece = [&](double b) {
        const PieceLaw law = law_on(a, b);
        const double fa = law.value(a, 0.0) * (2 * a + b);
        const double fb = law.value(b, 0.0) * (a + 2 * b);
        total += (fa + fb) * (b - a);
        size += (std::fabs(fa) + std::fabs(fb)) * (b - a);
        a = b;
    };
    for (const double b : breakpoints_) {
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

double FluxMap::operator()(double r) const noexcept { return interp::interp(bl_, bf_, r, 0.0); }

PieceLaw FluxMap::law_on(double a, double b) const noexcept {
    const std::size_t n = std::min(bl_.size(), bf_.size());
    if (n == 0) {
        return {0.0, 0.0, 0.0, 0.0};
    }
    if (n == 1) {
        return {bf_[0], 0.0, 0.0, 0.0};
    }
    // No breakpoint lies inside (a, b), so the interpolation follows one
    // segment (or the fill value) throughout; find it from the middle.
    const double mid = 0.5 * (a + b);
    if (!(mid >= bl_[0] && mid <= bl_[n - 1])) {
        return {0.0, 0.0, 0.0, 0.0};
    }
    const std::size_t i = interp::segment_index(bl_, n, mid);
    const double slope = (bf_[i + 1] - bf_[i]) / (bl_[i + 1] - bl_[i]);
    return {bf_[i], slope, 0.0, bl_[i]};
}

}  // namespace models
