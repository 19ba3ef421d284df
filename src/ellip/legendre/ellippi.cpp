// The complete elliptic integral of the third kind, Pi(n, m), characteristic
// n first and parameter m = k^2 second; for n > 1 the Cauchy principal value.
//
// Reduced to K, E and the Carlson forms: DLMF 19.25.2 for n < 1, the
// principal value through DLMF 19.6.5 and 19.25.2 for n > 1, and for n < 0
// the transformation of DLMF 19.7.10 to a characteristic in (m, 1).
#include <limits>

#include "ellip/carlson/carlson.hpp"
#include "ellip/legendre/legendre.hpp"

namespace ellip::legendre {

namespace {
constexpr double EPSILON = 2.220446049250313e-16;
constexpr double HALF_PI = 1.5707963267948966;
constexpr double MINUS_THIRD = -0.3333333333333333;
constexpr double INF = std::numeric_limits<double>::infinity();
}  // namespace

Result ellippi(double n, double m) noexcept {
    if (m > 1) {
        return failure("ellippi: m must be less than 1.");
    }
    if (n == 1) {
        return failure("ellippi: n cannot be 1.");
    }
    // At m = 1 (to within eps) the integral diverges, with the sign of 1 - n.
    if (1 - m <= EPSILON) {
        if (1 - n > 0) {
            return success(INF);
        }
        if (1 - n < 0) {
            return success(-INF);
        }
        return success(std::numeric_limits<double>::quiet_NaN());
    }
    if (n > 1) {
        // Just above n = 1 the principal value tends to K(m) - E(m)/(1 - m).
        if (n - 1 <= EPSILON) {
            const Result k = ellipk(m);
            if (!k.ok()) {
                return k;
            }
            const Result e = ellipe(m);
            if (!e.ok()) {
                return e;
            }
            return success(k.value() - e.value() / (1 - m));
        }
        const Result j = carlson::elliprj(0, 1 - m, 1, 1 - m / n);
        if (!j.ok()) {
            return j;
        }
        return success(m * MINUS_THIRD / n * j.value());
    }
    // n < 1, or a NaN n.
    if (1 - n <= EPSILON) {
        return success(INF);
    }
    if (n == 0) {
        if (m == 0) {
            return success(HALF_PI);
        }
        return ellipk(m);
    }
    if (!(n < 0)) {
        return ellippi_vc(n, m, 1 - n);
    }
    // n < 0.
    if (m == n) {
        const Result e = ellipe(m);
        if (!e.ok()) {
            return e;
        }
        return success((1 / (1 - m)) * e.value());
    }
    const double big_n = (m - n) / (1 - n);
    const double big_nc = (1 - m) / (1 - n);
    const Result p = ellippi_vc(big_n, m, big_nc);
    if (!p.ok()) {
        return p;
    }
    const Result k = ellipk(m);
    if (!k.ok()) {
        return k;
    }
    return success(m * k.value() / (m - n) - (1 - m) * (p.value() * n / (1 - n)) / (m - n));
}

}  // namespace ellip::legendre
