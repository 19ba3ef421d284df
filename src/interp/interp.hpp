// Piecewise-linear interpolation through a table, with a fill value outside.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

namespace interp {

// The segment [xs[i], xs[i + 1]] that the interpolant uses at x, for a table
// of n >= 2 usable points (n <= |xs|).  k, the number of leading abscissas
// below x (0 for a NaN x), is found by bisection over all of xs, surplus
// abscissas included; then i = k - 1, or 0 when k = 0, kept within the usable
// part, i <= n - 2.  A repeated abscissa is thus never a segment of its own
// for a point inside the table.
inline std::size_t segment_index(std::span<const double> xs, std::size_t n, double x) noexcept {
    std::size_t base = 0;
    std::size_t size = xs.size();
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (x > xs[mid]) {
            base = mid;
        }
        size -= half;
    }
    const std::size_t k = x > xs[base] ? base + 1 : base;
    return std::min(k == 0 ? std::size_t{0} : k - 1, n - 2);
}

// The interpolant through (xs[i], ys[i]), i < n = min(|xs|, |ys|), at x; xs is
// expected in ascending order.  An empty table gives 0.0 and a one-point table
// its ordinate, whatever x and fill.  Otherwise x below xs[0] or above
// xs[n - 1] gives fill; the end abscissas themselves are inside.
inline double interp(std::span<const double> xs, std::span<const double> ys, double x, double fill) noexcept {
    const std::size_t n = std::min(xs.size(), ys.size());
    if (n == 0) {
        return 0.0;
    }
    if (n == 1) {
        return ys[0];
    }

    // Formed as slope x + intercept, not ys[i] + slope (x - xs[i]): the two
    // differ in the last digits.
    const std::size_t i = segment_index(xs, n, x);
    const double slope = (ys[i + 1] - ys[i]) / (xs[i + 1] - xs[i]);
    const double intercept = ys[i] - xs[i] * slope;
    const double value = slope * x + intercept;

    if (x < xs[0]) {
        return fill;
    }
    if (x > xs[n - 1]) {
        return fill;
    }
    return value;
}

}  // namespace interp
