// The complete elliptic integral of the first kind, K(m), m = k^2.
//
// Tabulated Taylor polynomials on -0.05 < m < 0.9; elsewhere
// K(m) = RF(0, 1 - m, 1) (DLMF 19.25.1).
#include <limits>

#include "ellip/carlson/carlson.hpp"
#include "ellip/legendre/legendre.hpp"
#include "ellip/legendre/taylor.hpp"

namespace ellip::legendre {

Result ellipk(double m) noexcept {
    const int i = detail::taylor_interval(m);
    if (i >= 0) {
        return success(detail::evaluate_taylor(detail::K_ROWS[detail::ROW_OF_INTERVAL[i]], m));
    }
    if (m > 1) {
        return failure("ellipk: m must be less than 1.");
    }
    if (m == 1) {
        return success(std::numeric_limits<double>::infinity());
    }
    return carlson::elliprf(0, 1 - m, 1);
}

}  // namespace ellip::legendre
