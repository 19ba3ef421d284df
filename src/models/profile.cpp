#include "models/profile.hpp"

#include <algorithm>
#include <cmath>

#include "interp/interp.hpp"

namespace models {

double LinearLimbDarkening::operator()(double r) const noexcept {
    return (1 - std::sqrt(1 - r * r)) * (-0.6) + 1;
}

// 1 - 0.6 (1 - mu) = 0.4 + 0.6 mu.
PieceLaw LinearLimbDarkening::law_on(double, double) const noexcept { return {0.4, 0.0, 0.6, 0.0}; }

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
