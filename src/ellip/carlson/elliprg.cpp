// Carlson's RG(x, y, z) = 1/4 int_0^inf [(t+x)(t+y)(t+z)]^(-1/2)
// (x/(t+x) + y/(t+y) + z/(t+z)) t dt.
//
// Closed forms for equal arguments (DLMF 19.20.3), the AGM with a sum when the
// smallest argument is zero, and otherwise RG from RF and RD (DLMF 19.21.10).
#include <cmath>

#include "ellip/carlson/carlson.hpp"
#include "ellip/carlson/detail.hpp"

namespace ellip::carlson {

Result elliprg(double x, double y, double z) noexcept {
    using namespace detail;
    if (x < 0 || y < 0 || z < 0) {
        return failure("elliprg: x, y, and z must be non-negative.");
    }
    // RG is symmetric: order the arguments as l >= m >= s.
    double s = x;
    double m = y;
    double l = z;
    sort3(s, m, l);

    if (l == m) {
        if (s == m) {
            return success(std::sqrt(l));
        }
        if (s == 0) {
            return success(std::sqrt(l) * PI * 0.25);
        }
        const Result rc = elliprc(s, l);
        if (!rc.ok()) {
            return rc;
        }
        return success((std::sqrt(s) + l * rc.value()) / 2);
    }
    if (s == m) {
        if (s == 0) {
            return success(std::sqrt(l) / 2);
        }
        const Result rc = elliprc(l, s);
        if (!rc.ok()) {
            return rc;
        }
        return success((std::sqrt(l) + s * rc.value()) / 2);
    }
    if (s == 0) {
        // RG(0, m, l) from the AGM of sqrt l and sqrt m with its sum of
        // squared differences (DLMF 19.22.6).
        const double rl = std::sqrt(l);
        const double rm = std::sqrt(m);
        const AgmSum r = agm_with_sum(rl, rm);
        const double sum = rl + rm;
        return success((sum * sum * 0.25 - r.s) * (PI / (r.xn + r.yn)) * 0.5);
    }
    const Result f = elliprf(l, s, m);
    if (!f.ok()) {
        return f;
    }
    const Result d = elliprd(l, s, m);
    if (!d.ok()) {
        return d;
    }
    return success((std::sqrt(l * s / m) + ((s - m) * (l - m) * d.value() / (-3) + f.value() * m)) *
                   0.5);
}

}  // namespace ellip::carlson
