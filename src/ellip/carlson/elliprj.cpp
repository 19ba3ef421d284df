// Carlson's RJ(x, y, z, p) = 3/2 int_0^inf (t+p)^(-1) [(t+x)(t+y)(t+z)]^(-1/2) dt
// for every p != 0; for p < 0 the Cauchy principal value.
//
// The principal value is reduced to a positive p by Carlson (1995), eq. (2.22)
// (DLMF 19.20.14).
#include <cmath>

#include "ellip/carlson/carlson.hpp"
#include "ellip/carlson/detail.hpp"

namespace ellip::carlson {

Result elliprj(double x, double y, double z, double p) noexcept {
    using namespace detail;
    if (min3(x, y, z) < 0 || min3(y + z, x + y, x + z) == 0) {
        return failure(
            "elliprj: x, y, and z must be non-negative, and at most one can be zero.");
    }
    if (p == 0) {
        return failure("elliprj: p must be non-zero");
    }
    if (!(p < 0)) {
        return _elliprj(x, y, z, p);
    }

    // p < 0: sort into s1 <= s2 <= s3 and move to the positive
    // pn = ((s1 + s2 - p) s3 - s1 s2) / (s3 - p).  A NaN argument is placed
    // wherever the sort leaves it; it passes through the arithmetic.
    double s1 = x;
    double s2 = y;
    double s3 = z;
    sort3(s1, s2, s3);
    const double pn = ((s1 + s2 - p) * s3 - s1 * s2) / (s3 - p);

    const Result j = _elliprj(s1, s2, s3, pn);
    if (!j.ok()) {
        return j;
    }
    const Result f = elliprf(s1, s2, s3);
    if (!f.ok()) {
        return f;
    }
    const double r = -p * pn;
    const Result v = elliprc(s1 * s2 + r, r);
    if (!v.ok()) {
        return v;
    }
    return success((3 * std::sqrt(s1 * s2 * s3 / (s1 * s2 + r)) * v.value() +
                    ((pn - s3) * j.value() - 3 * f.value())) /
                   (s3 - p));
}

}  // namespace ellip::carlson
