// (Pi(n, m) - K(m)) / n = RJ(0, 1 - m, 1, 1 - n) / 3 (DLMF 19.25.2), from
// the complements mc = 1 - m and nc = 1 - n.  Finite at n = 0, where
// Pi - K vanishes; a principal value for n > 1.
#include "ellip/carlson/carlson.hpp"
#include "ellip/legendre/legendre.hpp"

namespace ellip::legendre {

Result _ellippi_excess_complement(double mc, double nc) noexcept {
    const Result rj = carlson::elliprj(0, mc, 1, nc);
    if (!rj.ok()) {
        return rj;
    }
    return success(rj.value() / 3);
}

}  // namespace ellip::legendre
