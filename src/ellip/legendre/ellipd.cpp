// D(m) = (K(m) - E(m)) / m = RD(0, 1 - m, 1) / 3 (DLMF 19.25.1), from the
// complement mc = 1 - m.  Finite at m = 0 (D(0) = pi/4), where K - E
// vanishes.
#include "ellip/carlson/carlson.hpp"
#include "ellip/legendre/legendre.hpp"

namespace ellip::legendre {

Result _ellipd_complement(double mc) noexcept {
    const Result rd = carlson::elliprd(0, mc, 1);
    if (!rd.ok()) {
        return rd;
    }
    return success(rd.value / 3);
}

}  // namespace ellip::legendre
