// RJ(x, y, z, p) for p > 0 (or a NaN p), once elliprj has tested the
// arguments.
//
// Closed forms for equal arguments (DLMF 19.20.15-19.20.17), then duplication
// (DLMF 19.26.23) with the RC terms of Carlson (1995), eq. (2.19), and the
// degree-5 series of eq. (2.18).
#include <cmath>
#include <utility>

#include "ellip/carlson/carlson.hpp"
#include "ellip/carlson/detail.hpp"

namespace ellip::carlson {

namespace {
// (eps/5)^(-1/8).
constexpr double RJ_SCALE = 110.67925377307274;
constexpr int RJ_STEPS = 100;

// RC(1, 1 + E) for the duplication term, without calling elliprc where a
// closed form in E is available.
Result rc_one_one_plus(double e) noexcept {
    if (e < -1) {
        const Result rc = elliprc(-e, -1 - e);
        if (!rc.ok()) {
            return rc;
        }
        return success(std::sqrt(-1 / e) * rc.value());
    }
    if (e == 0) {
        return success(1);
    }
    if (e > 0) {
        return success(std::atan(std::sqrt(e)) / std::sqrt(e));
    }
    const double u = std::sqrt(-e);
    // Near E = 0 the log1p form keeps the digits of artanh(u)/u.
    if (e > -0.5) {
        return success((std::log1p(u) - std::log1p(-u)) / (2 * u));
    }
    return success(std::log((1 + u) / std::sqrt(1 + e)) / u);
}
}  // namespace

Result _elliprj(double x, double y, double z, double p) noexcept {
    using namespace detail;
    if (x == y) {
        if (x == z) {
            if (p == x) {
                return success(1 / (x * std::sqrt(x)));
            }
            // RJ(x, x, x, p) = 3 (RC(x, p) - 1/sqrt(x)) / (x - p) cancels as p
            // approaches x (to 3e-4 relative at p/x - 1 = 1e-9).  Within the
            // same factor 1.2 that guards the y = z form below, the arguments
            // go on to the duplication, which the y = z test lets through.
            const double ratio = p > x ? p / x : x / p;  // NaN for a NaN p
            if (!(ratio <= 1.2)) {
                const Result rc = elliprc(x, p);
                if (!rc.ok()) {
                    return rc;
                }
                return success((rc.value() - 1 / std::sqrt(x)) * (3 / (x - p)));
            }
        } else {
            std::swap(x, z);
        }
    }
    if (y == z) {
        if (p == y) {
            return elliprd(x, y, y);
        }
        // RJ(x, y, y, p) = 3 (RC(x, y) - RC(x, p)) / (p - y), used only while
        // p and y are far enough apart that the difference keeps its digits.
        if (max2(y, p) / min2(y, p) > 1.2) {
            const Result rc_y = elliprc(x, y);
            if (!rc_y.ok()) {
                return rc_y;
            }
            const Result rc_p = elliprc(x, p);
            if (!rc_p.ok()) {
                return rc_p;
            }
            return success((rc_y.value() - rc_p.value()) * (3 / (p - y)));
        }
    }
    if (z == p) {
        return elliprd(x, y, z);
    }

    const double a0 = (2 * p + x + y + z) / 5;
    double delta = (p - x) * (p - y) * (p - z);
    double q = RJ_SCALE * max2(max3(std::fabs(a0 - x), std::fabs(a0 - y), std::fabs(a0 - z)),
                               std::fabs(a0 - p));
    double a = a0;
    double g = 1;
    double s = 0;
    double xn = x;
    double yn = y;
    double zn = z;
    double pn = p;
    bool converged = false;
    for (int step = 0; step < RJ_STEPS; ++step) {
        const double rx = std::sqrt(xn);
        const double ry = std::sqrt(yn);
        const double rz = std::sqrt(zn);
        const double rp = std::sqrt(pn);
        const double d = (rp + rx) * (rp + ry) * (rp + rz);
        const double e = delta / (d * d);
        double term;
        if (-1.5 < e && e < -0.5) {
            // Here RC(1, 1 + E) is better taken as RC(1, b) with b formed
            // from the square roots, away from the cancellation in 1 + E.
            const double b = 2 * rp * (pn + rx * (ry + rz) + ry * rz) / d;
            const Result rc = elliprc(1, b);
            if (!rc.ok()) {
                return rc;
            }
            term = (g / d) * rc.value();
        } else {
            const Result t = rc_one_one_plus(e);
            if (!t.ok()) {
                return t;
            }
            term = (g / d) * t.value();
        }
        const double lambda = rx * ry + rx * rz + ry * rz;
        a = (a + lambda) / 4;
        g = g / 4;
        s = s + term;
        if (a > q * g) {
            converged = true;
            break;
        }
        xn = (xn + lambda) / 4;
        yn = (yn + lambda) / 4;
        zn = (zn + lambda) / 4;
        pn = (pn + lambda) / 4;
        delta = delta / 64;
    }
    if (!converged) {
        return failure("elliprj: Fail to converge");
    }

    const double xd = g * (a0 - x) / a;
    const double yd = g * (a0 - y) / a;
    const double zd = g * (a0 - z) / a;
    const double pd = (-xd - yd - zd) / 2;
    const double e2 = xd * yd + xd * zd + yd * zd - 3 * pd * pd;
    const double e3 = xd * yd * zd + 2 * e2 * pd + 4 * pd * pd * pd;
    const double e4 = (2 * xd * yd * zd + e2 * pd + 3 * pd * pd * pd) * pd;
    const double e5 = xd * yd * zd * pd * pd;
    const double series = detail::rd_rj_series(e2, e3, e4, e5);
    return success(6 * s + g * std::pow(a, -1.5) * series);
}

}  // namespace ellip::carlson
