// K(m) - D(m) = (E - mc K)/m for m next to 1, given K(m), from Legendre's
// relation E K' + E' K - K K' = pi/2 (DLMF 19.7.1), with K', E' the integrals
// of the complementary parameter mc = 1 - m:
//   E - mc K = (pi/2 - mc K (K' - D')) / K' = (1 - mc K C(mc)) / A(mc),
// where K' = (pi/2) A(mc), K' - D' = (pi/2) C(mc) and D' = (K' - E')/mc.  As
// m tends to 1, K and D grow like ln(4/sqrt(mc)) while their difference tends
// to 1; here nothing cancels.  A and C are the hypergeometric series
//   A(q) = sum_j a_j q^j,  a_j = (binom(2j, j) / 4^j)^2,
//   C(q) = sum_j (a_j - a_(j+1) (2j + 2)/(2j + 1)) q^j,
// whose coefficients are all dyadic rationals, exact as doubles.
#include "ellip/legendre/legendre.hpp"

namespace ellip::legendre {

namespace {
// Through q^5: for mc <= 1e-3 the first omitted terms, 0.051 q^6 and
// 0.0036 q^6, are below 1e-19 relative.
constexpr double A[] = {1.0, 1.0 / 4, 9.0 / 64, 25.0 / 256, 1225.0 / 16384, 3969.0 / 65536};
constexpr double C[] = {1.0 / 2, 1.0 / 16, 3.0 / 128, 25.0 / 2048, 245.0 / 32768,
                        1323.0 / 262144};

double horner(const double (&c)[6], double q) noexcept {
    double acc = c[5];
    for (int j = 4; j >= 0; --j) {
        acc = acc * q + c[j];
    }
    return acc;
}
}  // namespace

double _ellip_k_minus_d_complement(double m, double mc, double k) noexcept {
    return (1 - mc * k * horner(C, mc)) / (m * horner(A, mc));
}

}  // namespace ellip::legendre
