// Carlson's RF(x, y, z) = 1/2 int_0^inf [(t+x)(t+y)(t+z)]^(-1/2) dt.
//
// Closed forms for equal arguments (DLMF 19.20.1), the AGM for one zero
// argument (DLMF 19.22.1), and otherwise duplication (DLMF 19.26.18) with the
// degree-7 Taylor series of Carlson (1995), eq. (2.7).
#include <cmath>
#include <utility>

#include "ellip/carlson/carlson.hpp"
#include "ellip/carlson/detail.hpp"

namespace ellip::carlson {

namespace {
constexpr const char* DOMAIN_TEXT =
    "elliprf: x, y, and z must be non-negative, and at most one can be zero.";
constexpr const char* CONVERGE_TEXT = "elliprf: Failed to converge.";

// (3 eps)^(-1/8): once |A| exceeds this multiple of the spread, the truncated
// series is exact to double precision.
constexpr double RF_SCALE = 78.8959690786408;
constexpr int RF_STEPS = 11;
}  // namespace

Result elliprf(double x, double y, double z) noexcept {
    using namespace detail;
    if (min3(x, y, z) < 0 || min3(y + z, x + y, x + z) == 0) {
        return failure(DOMAIN_TEXT);
    }
    // Two equal arguments reduce RF to RC, or to a closed form when the third
    // is equal too or zero.
    if (x == y) {
        if (x == z) {
            return success(1 / std::sqrt(x));
        }
        if (z == 0) {
            return success(PI / (2 * std::sqrt(x)));
        }
        return elliprc(z, x);
    }
    if (x == z) {
        if (y == 0) {
            return success(PI / (2 * std::sqrt(x)));
        }
        return elliprc(y, x);
    }
    if (y == z) {
        if (x == 0) {
            return success(PI / (2 * std::sqrt(y)));
        }
        return elliprc(x, y);
    }
    // RF is symmetric: move a zero argument into z.
    if (x == 0) {
        std::swap(x, z);
    } else if (y == 0) {
        std::swap(y, z);
    }
    if (z == 0) {
        // RF(x, y, 0) = pi / (2 AGM(sqrt x, sqrt y)).
        const AgmMeans r = agm(std::sqrt(x), std::sqrt(y));
        return success(PI / (r.xn + r.yn));
    }

    const double a0 = (x + y + z) / 3;
    double q = RF_SCALE * max2(max3(std::fabs(a0), std::fabs(a0 - x), std::fabs(a0 - y)),
                               std::fabs(a0 - z));
    double a = a0;
    double f = 1;
    double xn = x;
    double yn = y;
    double zn = z;
    bool converged = false;
    for (int step = 0; step < RF_STEPS; ++step) {
        const double rx = std::sqrt(xn);
        const double ry = std::sqrt(yn);
        const double rz = std::sqrt(zn);
        const double lambda = rx * ry + rx * rz + ry * rz;
        a = (a + lambda) / 4;
        xn = (xn + lambda) / 4;
        yn = (yn + lambda) / 4;
        zn = (zn + lambda) / 4;
        q = q / 4;
        f = f * 4;
        if (std::fabs(a) > q) {
            converged = true;
            break;
        }
    }
    // A NaN or an infinity never satisfies the stopping test.
    if (!converged) {
        return failure(CONVERGE_TEXT);
    }

    const double xd = (a0 - x) / (f * a);
    const double yd = (a0 - y) / (f * a);
    const double zd = -xd - yd;
    const double e2 = xd * yd - zd * zd;
    const double e3 = xd * yd * zd;
    return success((1 + e3 * (1.0 / 14 + 3 * e3 / 104) +
                    e2 * (-1.0 / 10 + e2 / 24 - 3 * e3 / 44 - 5 * e2 * e2 / 208 + e2 * e3 / 16)) /
                   std::sqrt(a));
}

}  // namespace ellip::carlson
