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

Result ellipe(double m) noexcept {
    double a = 1;
    while (m < 0) {
        a = a * std::sqrt(1 - m);
        m = m / (m - 1);
    }
    double v;
    const int i = detail::taylor_interval(m);
    if (i >= 0) {
        v = detail::evaluate_taylor(detail::E_ROWS[detail::ROW_OF_INTERVAL[i]], m);
    } else if (m > 1) {
        return failure("ellipe: m must be less than 1.");
    } else if (m == 1) {
        v = 1;
    } else {
        const Result rg = carlson::elliprg(0, 1 - m, 1);
        if (!rg.ok()) {
            return rg;
        }
        v = 2 * rg.value();
    }
    return success(a * v);
}

}  // namespace ellip::legendre
