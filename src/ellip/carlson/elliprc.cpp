// Carlson's RC(x, y) = RF(x, y, y), the Cauchy principal value for y < 0.
//
// Closed forms in atan and log: DLMF 19.2.17-19.2.20; the principal value
// through DLMF 19.20.10.
#include <cmath>

#include "ellip/carlson/carlson.hpp"
#include "ellip/carlson/detail.hpp"

namespace ellip::carlson {

Result elliprc(double x, double y) noexcept {
    using detail::PI;
    if (x < 0) {
        return failure("elliprc: x must be non-negative.");
    }
    if (y == 0) {
        return failure("elliprc: y must be non-zero.");
    }
    double prefix = 1;
    if (y < 0) {
        // RC(x, y) = sqrt(x / (x - y)) RC(x - y, -y) for y < 0.
        prefix = std::sqrt(x / (x - y));
        x = x - y;
        y = -y;
    }
    if (x == 0) {
        return success(prefix * (PI / 2) / std::sqrt(y));
    }
    if (x == y) {
        return success(prefix / std::sqrt(x));
    }
    if (y > x) {
        return success(prefix * std::atan(std::sqrt((y - x) / x)) / std::sqrt(y - x));
    }
    // y < x: RC = artanh(t) / sqrt(x - y) with t = sqrt((x - y)/x).  For y/x
    // above 1/2, t is small and the log1p form keeps the digits that
    // log((sqrt x + sqrt(x - y)) / sqrt y) would lose.
    if (y / x > 0.5) {
        const double t = std::sqrt((x - y) / x);
        return success(prefix * (std::log1p(t) - std::log1p(-t)) / (2 * std::sqrt(x - y)));
    }
    return success(prefix * std::log((std::sqrt(x) + std::sqrt(x - y)) / std::sqrt(y)) /
                   std::sqrt(x - y));
}

}  // namespace ellip::carlson
