// The quotient the AVX-512 lanes form off the divider must be the divider's,
// bit for bit, and the lanes' square-root shortcut must be the square root.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "runtime/cpu_features.hpp"

#if defined(__x86_64__) && defined(__GNUC__)

#pragma GCC push_options
#pragma GCC target("avx2,avx512f")
// GCC 12 takes the undefined pass-through operand inside the AVX-512
// intrinsics for an uninitialised read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "models/exact_division_avx512.hpp"

namespace {

double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

// A double of random significand and sign with exponent in [lo, hi].
double random_double(std::mt19937_64& rng, int lo, int hi) {
    const std::uint64_t e = static_cast<std::uint64_t>(lo + static_cast<int>(rng() % (hi - lo + 1)) + 1023);
    return from_bits((rng() & 0x800fffffffffffffULL) | e << 52);
}

// Eight quotients through exact_quotient against the divider; lanes outside
// `care` are not compared.
void expect_divider(const double (&a)[8], const double (&b)[8], __mmask8 care = 0xff) {
    double q[8];
    _mm512_storeu_pd(q, exact_quotient(_mm512_loadu_pd(a), _mm512_loadu_pd(b), care));
    for (int j = 0; j < 8; ++j) {
        if ((care >> j & 1) == 0) {
            continue;
        }
        const double want = a[j] / b[j];
        ASSERT_EQ(std::bit_cast<std::uint64_t>(q[j]), std::bit_cast<std::uint64_t>(want))
            << std::hexfloat << a[j] << " / " << b[j] << ": " << q[j] << " vs " << want;
    }
}

class ExactDivision : public ::testing::Test {
protected:
    void SetUp() override {
        if (!runtime::simd_supported(runtime::SimdLevel::avx512)) {
            GTEST_SKIP() << "AVX-512 not supported here";
        }
    }
};

// Random operands over the whole range served off the divider, and the
// cases that decide rounding: divisors whose significands are all ones (the
// reciprocal estimate's worst), exact quotients, quotients next to a
// midpoint between two doubles, powers of two, at whose quotients the gap
// below is half the gap above, and operands over the whole exponent range.
TEST_F(ExactDivision, MatchesTheDividerBitForBit) {
    std::mt19937_64 rng(20261209);
    for (int it = 0; it < 400000; ++it) {
        double a[8];
        double b[8];
        for (int j = 0; j < 8; ++j) {
            switch ((it + j) % 8) {
                case 0:
                    a[j] = random_double(rng, -250, 249);
                    b[j] = random_double(rng, -250, 249);
                    break;
                case 1:
                    a[j] = random_double(rng, -3, 3);
                    b[j] = from_bits(std::bit_cast<std::uint64_t>(random_double(rng, -3, 3)) |
                                     (0x000fffffffffffffULL ^ (rng() % 64)));
                    break;
                case 2: {
                    // a = b t exactly: t and b of 26 significant bits.
                    const double t = std::ldexp(static_cast<double>(rng() % (1u << 26)), -20);
                    b[j] = std::ldexp(static_cast<double>(rng() % (1u << 26) + 1), -13);
                    a[j] = t * b[j];
                    break;
                }
                case 3: {
                    // a = b (q + ulp/2) rounded: the quotient lies within
                    // rounding of the midpoint above q.
                    const double q = random_double(rng, -2, 2);
                    b[j] = random_double(rng, -2, 2);
                    const double mid = q + (std::nextafter(q, 2 * q) - q) / 2;
                    a[j] = b[j] * mid;
                    break;
                }
                case 4:
                    a[j] = std::ldexp(1.0, static_cast<int>(rng() % 200) - 100);
                    b[j] = random_double(rng, -2, 2);
                    break;
                case 6:
                    // The whole exponent range, where quotients overflow,
                    // underflow or turn subnormal and must come from the
                    // divider.
                    a[j] = random_double(rng, -1022, 1023);
                    b[j] = random_double(rng, -1022, 1023);
                    break;
                case 7:
                    a[j] = random_double(rng, -1022, 1023);
                    b[j] = from_bits(rng() & 0x800fffffffffffffULL);
                    break;
                default:
                    // Quotients next to powers of two.
                    b[j] = random_double(rng, -2, 2);
                    a[j] = b[j] * std::ldexp(1.0, static_cast<int>(rng() % 20) - 10) *
                           (1 + std::ldexp(static_cast<double>(static_cast<int>(rng() % 9) - 4), -52));
                    break;
            }
        }
        expect_divider(a, b);
        if (HasFatalFailure()) {
            return;
        }
    }
}

// Operands outside the range the multiply-adds serve (zero, subnormal,
// huge, infinite, NaN) send the group to the divider; lanes outside `care`
// may hold them without disturbing the others.
TEST_F(ExactDivision, EdgeOperandsTakeTheDividerOrAreIgnored) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double edges[] = {0.0, -0.0, 5e-324, 1e-300, 0x1p-251, 0x1p-250, 0x1p250, 0x1p251,
                            1e300, inf, -inf, nan};
    std::mt19937_64 rng(7);
    for (const double e : edges) {
        for (int side = 0; side < 2; ++side) {
            double a[8];
            double b[8];
            for (int j = 0; j < 8; ++j) {
                a[j] = random_double(rng, -5, 5);
                b[j] = random_double(rng, -5, 5);
            }
            (side == 0 ? a : b)[3] = e;
            expect_divider(a, b);
            expect_divider(a, b, static_cast<__mmask8>(0xff & ~(1u << 3)));
        }
    }
}

// The lanes take sqrt(nc) as |root_nc| where nc = root_nc^2 rounded: the
// square root of a rounded square gives the number back while the square
// is normal.  Random significands over the lanes' range of root_nc (1e-19
// to 1), and the significands next to all ones and to one.
TEST(SquareRootOfASquare, GivesTheNumberBack) {
    std::mt19937_64 rng(11);
    const auto check = [](double r) {
        const double back = std::sqrt(r * r);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(std::fabs(r)))
            << std::hexfloat << r;
    };
    for (int it = 0; it < 2000000; ++it) {
        check(random_double(rng, -64, 0));
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
    for (std::uint64_t k = 0; k < 100000; ++k) {
        check(from_bits(0x3fefffffffffffffULL - k));
        check(from_bits(0x3ff0000000000000ULL + k));
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
}

}  // namespace

#pragma GCC pop_options

#endif
