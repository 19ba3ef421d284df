// Pi(n, m) for n < 1 with the complement nc = 1 - n supplied by the caller:
// Pi(n, m) = RF(0, 1 - m, 1) + (n/3) RJ(0, 1 - m, 1, 1 - n) (DLMF 19.25.2).
#include "ellip/carlson/carlson.hpp"
#include "ellip/legendre/legendre.hpp"

namespace ellip::legendre {

Result ellippi_vc(double n, double m, double nc) noexcept {
    // RF(0, 1 - m, 1) is pi/2 for m = 0 and otherwise pi over twice the AGM
    // of 1 and sqrt(1 - m).
    const Result f = carlson::elliprf(0, 1 - m, 1);
    if (!f.ok()) {
        return f;
    }
    const Result j = carlson::elliprj(0, 1 - m, 1, nc);
    if (!j.ok()) {
        return j;
    }
    return success(f.value() + n * j.value() / 3);
}

}  // namespace ellip::legendre
