// The complete elliptic integral of the second kind, E(m), m = k^2.
//
// Negative m is first mapped into [0, 1) by the imaginary-modulus
// transformation E(m) = sqrt(1 - m) E(m/(m - 1)) (DLMF 19.7.5); then the
// tabulated Taylor polynomials on 0 <= m < 0.9, elsewhere
// E(m) = 2 RG(0, 1 - m, 1) (DLMF 19.25.1).
#include <cmath>

#include "ellip/carlson/carlson.hpp"
#include "ellip/legendre/legendre.hpp"
#include "ellip/legendre/taylor.hpp"

namespace ellip::legendre {

namespace {
// E(m) for m >= 0 (or NaN), with its complement mc = 1 - m.
Result ellipe_nonnegative(double m, double mc) noexcept {
    const int i = detail::taylor_interval(m);
    if (i >= 0) {
        return success(detail::evaluate_taylor(detail::E_ROWS[detail::ROW_OF_INTERVAL[i]], m));
    }
    if (mc < 0) {
        return failure("ellipe: m must be less than 1.");
    }
    if (mc == 0) {
        return success(1);
    }
    const Result rg = carlson::elliprg(0, mc, 1);
    if (!rg.ok()) {
        return rg;
    }
    return success(2 * rg.value);
}

Result scaled(double a, Result v) noexcept {
    return v.ok() ? success(a * v.value) : v;
}
}  // namespace

Result ellipe(double m) noexcept {
    double a = 1;
    while (m < 0) {
        a = a * std::sqrt(1 - m);
        m = m / (m - 1);
    }
    // 1 - m is exact near m = 1, and negative exactly when m > 1.
    return scaled(a, ellipe_nonnegative(m, 1 - m));
}

Result _ellipe_complement(double m, double mc) noexcept {
    double a = 1;
    while (m < 0) {
        // m/(m - 1) = -m/mc, whose complement is 1/mc.
        a = a * std::sqrt(mc);
        m = m / (m - 1);
        mc = 1 / mc;
    }
    return scaled(a, ellipe_nonnegative(m, mc));
}

}  // namespace ellip::legendre
