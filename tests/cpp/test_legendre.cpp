// Complete Legendre integrals: the tabulated polynomials and where they hand
// over to the Carlson forms, the limits at m = 1 and n = 1, the reductions of
// Pi for each range of n, and the error texts with their order of tests.
// (Accuracy over wide argument ranges is measured in test_kernel_accuracy.cpp.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "ellip/carlson/carlson.hpp"
#include "ellip/legendre/legendre.hpp"
#include "kernel_assertions.hpp"

namespace {

using ellip::Result;
using namespace kernel_assertions;
using namespace ellip::legendre;
namespace cr = ellip::carlson;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kHalfPi = 1.5707963267948966;
constexpr double kEps = 0x1p-52;

constexpr const char* kKm = "ellipk: m must be less than 1.";
constexpr const char* kEm = "ellipe: m must be less than 1.";
constexpr const char* kPim = "ellippi: m must be less than 1.";
constexpr const char* kPin = "ellippi: n cannot be 1.";
constexpr const char* kRjConverge = "elliprj: Fail to converge";

// ---------------------------------------------------------------- K and E

// m = 0 lies at t = -0.05 of interval 0's polynomial, not at its centre.
TEST(Ellipk, ZeroGivesHalfPiFromThePolynomial) {
    EXPECT_TRUE(Is(ellipk(0), kHalfPi));
    EXPECT_TRUE(Is(ellipe(0), kHalfPi));
}

// -0.05 < m < 0 is still interval 0 (20 m truncates toward zero).
TEST(Ellipk, SmallNegativeParameterUsesTheFirstPolynomial) {
    EXPECT_NEAR(ellipk(-0.03).value(), 1.5592101093818218, 1e-14);
    EXPECT_TRUE(ellipk(-0.03).ok());
}

// Outside [0, 0.9) (and (-0.05, 0)) K is RF(0, 1 - m, 1), including values
// of m whose product 20 m is beyond any integer range.
TEST(Ellipk, OutsideTheTableItIsRf) {
    for (const double m : {-1.0, -0.05, 0.9, 0.95, 0.9999, -1e300, -kInf})
        EXPECT_TRUE(Same(ellipk(m), cr::elliprf(0, 1 - m, 1))) << m;
    EXPECT_TRUE(Within(ellipk(-1), 1.3110287771460598, 2));
    EXPECT_TRUE(Is(ellipk(-kInf), 0.0));
    // NaN passes the tests and comes out of the AGM as NaN, not as an error.
    EXPECT_TRUE(IsNaN(ellipk(kNaN)));
}

TEST(Ellipk, OneIsInfiniteAndAboveIsAnError) {
    EXPECT_TRUE(Is(ellipk(1), kInf));
    EXPECT_TRUE(Fails(ellipk(1 + kEps), kKm));
    EXPECT_TRUE(Fails(ellipk(1.5), kKm));
    EXPECT_TRUE(Fails(ellipk(kInf), kKm));
}

TEST(Ellipe, OneIsOneAndAboveIsAnError) {
    EXPECT_TRUE(Is(ellipe(1), 1.0));
    EXPECT_TRUE(Fails(ellipe(1 + kEps), kEm));
    EXPECT_TRUE(Fails(ellipe(1.5), kEm));
}

// Negative m goes through E(m) = sqrt(1 - m) E(m/(m - 1)): -1 maps to 0.5.
TEST(Ellipe, NegativeParameterIsTransformed) {
    EXPECT_TRUE(Is(ellipe(-1), std::sqrt(2.0) * ellipe(0.5).value()));
    EXPECT_TRUE(Within(ellipe(-1), 1.910098894513856, 2));
}

TEST(Ellipe, AboveTheTableItIsTwiceRg) {
    for (const double m : {0.9, 0.95, 0.9999}) {
        const Result rg = cr::elliprg(0, 1 - m, 1);
        ASSERT_TRUE(rg.ok());
        EXPECT_TRUE(Is(ellipe(m), 2 * rg.value())) << m;
    }
}

// Where one polynomial hands over to the next (and the last one to the
// Carlson form at 0.9), K and E must not jump: sweep the doubles around each
// border and compare neighbours.
TEST(Legendre, NoJumpAcrossIntervalBorders) {
    for (const double border : {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.85, 0.9}) {
        double m = border;
        for (int i = 0; i < 8; ++i) m = std::nextafter(m, 0.0);
        Result k_prev = ellipk(m), e_prev = ellipe(m);
        for (int i = 0; i < 16; ++i) {
            const double next = std::nextafter(m, 1.0);
            const Result k = ellipk(next), e = ellipe(next);
            ASSERT_TRUE(k.ok() && e.ok() && k_prev.ok() && e_prev.ok()) << next;
            EXPECT_LE(ulps_between(k.value(), k_prev.value()), 3) << "K at " << border << ", m = " << next;
            EXPECT_LE(ulps_between(e.value(), e_prev.value()), 3) << "E at " << border << ", m = " << next;
            m = next;
            k_prev = k;
            e_prev = e;
        }
    }
}

// ---------------------------------------------------------------- Pi

TEST(Ellippi, ZeroCharacteristicIsK) {
    EXPECT_TRUE(Is(ellippi(0, 0), kHalfPi));
    EXPECT_TRUE(Same(ellippi(0, 0.5), ellipk(0.5)));
    EXPECT_TRUE(Same(ellippi(0, -3), ellipk(-3)));
}

// m is tested before n, and only then does n = 1 count.
TEST(Ellippi, MIsTestedBeforeN) {
    EXPECT_TRUE(Fails(ellippi(1, 2), kPim));
    EXPECT_TRUE(Fails(ellippi(kNaN, 1 + kEps), kPim));
    EXPECT_TRUE(Fails(ellippi(1, 0.5), kPin));
    EXPECT_TRUE(Fails(ellippi(1, 1), kPin));
}

// Within eps of m = 1 the sign of 1 - n decides the infinity; for n within
// eps below 1 it is +inf as well.
TEST(Ellippi, InfiniteAtTheSingularEdges) {
    EXPECT_TRUE(Is(ellippi(0.5, 1), kInf));
    EXPECT_TRUE(Is(ellippi(-3, 1), kInf));
    EXPECT_TRUE(Is(ellippi(2, 1), -kInf));
    EXPECT_TRUE(Is(ellippi(0.5, 1 - kEps), kInf));  // 1 - m = eps exactly
    EXPECT_TRUE(IsNaN(ellippi(kNaN, 1)));
    EXPECT_TRUE(Is(ellippi(0.9999999999999999, 0.5), kInf));
    // The next double below 1 - eps already gives a finite value.
    EXPECT_TRUE(Within(ellippi(0.5, 1 - 1.5 * kEps), 37.164326522968324, 8));
}

// n = 1 + eps is the one double in the n - 1 <= eps branch: the limit form.
TEST(Ellippi, JustAboveOneUsesTheLimitForm) {
    const Result k = ellipk(0.5), e = ellipe(0.5);
    ASSERT_TRUE(k.ok() && e.ok());
    EXPECT_TRUE(Is(ellippi(1 + kEps, 0.5), k.value() - e.value() / (1 - 0.5)));
    EXPECT_TRUE(Within(ellippi(1 + kEps, 0.5), -0.8472130847939787, 4));
}

TEST(Ellippi, PrincipalValueAboveOne) {
    EXPECT_TRUE(Within(ellippi(2, 0.5), -0.31354468346518405, 4));
    // For m = 0 the principal value vanishes.
    EXPECT_TRUE(Is(ellippi(2, 0), 0.0));
}

TEST(Ellippi, CharacteristicBelowOne) {
    EXPECT_TRUE(Within(ellippi(0.3, 0.5), 2.250376821943947, 4));
    EXPECT_TRUE(Within(ellippi(-0.5, 0.5), 1.4878469926687985, 4));
    // n = m < 0 is E(m)/(1 - m).
    EXPECT_TRUE(Is(ellippi(-0.3, -0.3), (1 / (1 - -0.3)) * ellipe(-0.3).value()));
    EXPECT_TRUE(Within(ellippi(-0.3, -0.3), 1.2943792580683817, 4));
}

// A NaN characteristic is carried into RJ's duplication, which never stops.
TEST(Ellippi, NanCharacteristicFailsInRj) { EXPECT_TRUE(Fails(ellippi(kNaN, 0.5), kRjConverge)); }

// ------------------------------------------- fused kernels, n next to 1

// Where the AGM sum for Pi cancels, P = (1 - n) X and X = (Pi - K)/n come
// from its telescoped form.  As nc -> 0 they tend to (pi/2) sqrt(nc/mc) and
// (pi/2) / sqrt(nc mc), with corrections of relative order sqrt(nc): down to
// the smallest subnormal nc, where p_1^2 ~ mc / (4 nc) is far beyond the
// largest double, nothing may overflow or lose the limit.
TEST(FusedPiExcess, VanishingComplementReachesTheLimit) {
    for (const double mc : {0.75, 1e-10, 1e-250}) {
        for (const double nc : {1e-300, 0x1p-1060, 0x1p-1074}) {
            const double m = 1 - mc;
            const double root = std::sqrt(nc) / std::sqrt(mc);
            const KpzResult kpz = _ellip_kpz_complement(m, mc, 1 - nc, nc);
            EXPECT_TRUE(Within(kpz.p, kHalfPi * root, 4)) << mc << " " << nc;
            const KdxResult kdx = _ellip_kdx_complement(m, mc, nc);
            EXPECT_TRUE(Within(kdx.x, kHalfPi / (std::sqrt(nc) * std::sqrt(mc)), 4))
                << mc << " " << nc;
        }
    }
}

// Arguments whose AGM sums are not numbers fail the cancellation test as
// they fail the main one, and take Carlson's verdict: never a NaN reported
// as a success.
TEST(FusedPiExcess, NanSumsTakeRjsVerdict) {
    EXPECT_TRUE(Fails(_ellip_kpz_complement(0.5, 0.5, kNaN, kNaN).p, kRjConverge));
    EXPECT_TRUE(Fails(_ellip_kdx_complement(0.5, 0.5, kNaN).x, kRjConverge));
    EXPECT_TRUE(Fails(_ellip_kdx_complement(kNaN, kNaN, 1e-20).x, kRjConverge));
}

}  // namespace
