// The uniform-disc model: its listed values, the limb, and error handling.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "models/witt_mao.hpp"

namespace {

double element(double x, double rho) {
    const ellip::Result r = models::witt_mao_element(x, rho);
    EXPECT_TRUE(r.ok()) << r.error();
    return r.value();
}

TEST(WittMao, EmptySeparationsGiveAnEmptyCurve) {
    const auto curve = models::witt_mao_magnification({}, 1.0, 0.5);
    ASSERT_TRUE(curve.ok());
    EXPECT_TRUE(curve.value().empty());
}

// The lens at the centre reduces to sqrt(1 + 4/rho^2).
TEST(WittMao, LensAtTheCentre) {
    EXPECT_NEAR(element(0.0, 1.0), 2.23606797749979, 4e-16);
    for (const double rho : {1e-4, 1e-2, 0.5, 3.0, 1e3}) {
        const double expected = std::sqrt(1 + 4 / (rho * rho));
        EXPECT_NEAR(element(0.0, rho) / expected, 1.0, 4e-16) << rho;
    }
}

// Exactly on the limb the closed form holds, in its own order of operations.
TEST(WittMao, ExactLimbUsesTheClosedForm) {
    EXPECT_EQ(element(1.0, 1.0), 1.6366197723675813);
    EXPECT_NEAR(element(1.0 - 1e-3, 1.0), 1.64149, 1e-5);
    EXPECT_NEAR(element(1.0 + 1e-3, 1.0), 1.63176, 1e-5);
}

// On the limb of a source many Einstein radii across the value is 1 to
// within an ulp, and rounding must not take it below: a point lens never
// demagnifies.  Both limb branches (d = 0, and d underflowing) are held.
TEST(WittMao, LimbOfALargeSourceNeverDemagnifies) {
    for (double rho = 1e3; rho < 1e300; rho *= 7.3) {
        EXPECT_GE(element(1.0, rho), 1.0) << rho;
        EXPECT_GE(element(std::nextafter(1.0, 2.0), rho), 1.0) << rho;
    }
    EXPECT_GE(element(1.0, 1e163), 1.0);
}

// Approaching the limb from either side the general form meets the limb
// value: no band around the limb returns the limb value for a nearby lens,
// and no cancellation blows up as the complements shrink.
TEST(WittMao, ContinuousAcrossTheLimb) {
    for (const double rho : {1e-4, 1e-2, 1.0, 1e3}) {
        const double limb = element(1.0, rho);
        double previous_gap = std::numeric_limits<double>::infinity();
        for (double k = 3; k <= 14; ++k) {
            const double dx = std::pow(10.0, -k);
            const double below = element(1 - dx, rho);
            const double above = element(1 + dx, rho);
            ASSERT_TRUE(std::isfinite(below) && std::isfinite(above)) << rho << " " << dx;
            // The disc magnification falls through the limb; for a large
            // source the fall across 2e-13 source radii or less is an ulp or
            // two, below the resolution of two separately rounded results.
            if (rho <= 1 || dx >= 1e-12) {
                EXPECT_GT(below, above) << rho << " " << dx;
            } else {
                EXPECT_GE(below, above * (1 - 0x1p-51)) << rho << " " << dx;
            }
            const double gap = std::fabs(below - above) / limb;
            EXPECT_LE(gap, previous_gap * 1.01) << rho << " " << dx;
            previous_gap = gap;
        }
        EXPECT_LT(previous_gap, 1e-11) << rho;
    }
}

// Far from the lens the disc behaves as a point source.
TEST(WittMao, LargeSeparationTendsToThePointSource) {
    EXPECT_NEAR(element(100.0, 1.0), 1.00000002, 1e-8);
    const double u = 1e3 * 1e-3;
    const double point = (u * u + 2) / (u * std::sqrt(u * u + 4));
    EXPECT_NEAR(element(1e3, 1e-3) / point, 1.0, 1e-6);
}

// A large source nearly touching the lens used to round n to 1.
TEST(WittMao, LargeSourceNearTheLimbIsFinite) {
    const double a = element(1 + 2e-8, 1000.0);
    EXPECT_TRUE(std::isfinite(a));
    EXPECT_NEAR(a, element(1.0, 1000.0), 1e-9);
}

TEST(WittMao, ZeroSourceRadiusGivesNaN) {
    const auto curve = models::witt_mao_magnification({0.5, 1.0, 2.0}, 1.0, 0.0);
    ASSERT_TRUE(curve.ok());
    for (const double a : curve.value()) {
        EXPECT_TRUE(std::isnan(a));
    }
}

// One failing element discards the whole curve, including the elements
// computed before it.
TEST(WittMao, AnErrorDiscardsTheCurve) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto curve = models::witt_mao_magnification({0.5, 2.0, nan, 3.0}, 1.0, 1.0);
    ASSERT_FALSE(curve.ok());
    EXPECT_EQ(curve.error().kind, models::ErrorKind::runtime_error);
    EXPECT_STREQ(curve.error().text, "elliprj: Fail to converge");
}

// The curve is the element applied in order with rho = rstar / re.
TEST(WittMao, CurveIsTheElementInOrder) {
    const std::vector<double> l = {0.0, 0.3, 1.0, 1.7, 40.0};
    const auto curve = models::witt_mao_magnification(l, 2.0, 0.5);
    ASSERT_TRUE(curve.ok());
    ASSERT_EQ(curve.value().size(), l.size());
    for (size_t i = 0; i < l.size(); ++i) {
        EXPECT_EQ(curve.value()[i], element(l[i], 0.25)) << i;
    }
}

}  // namespace

namespace {

// A separation is a distance: a track through the centre may pass signed
// separations, and -x is the same lens position as x, on either side of the
// limb.
TEST(WittMao, NegativeSeparationCountsByItsSize) {
    for (const double x : {0.25, 0.999, 1.0, 1.5, 2.0, 30.0}) {
        EXPECT_EQ(element(-x, 0.1), element(x, 0.1)) << x;
    }
}

}  // namespace

namespace {

// A small source with the lens 3 Einstein radii away: two terms of the closed
// form, each near 1e7, once cancelled to a result of order one and kept only
// nine digits.
TEST(WittMao, SmallSourceFarInSourceRadii) {
    EXPECT_NEAR(element(3e7, 1e-7), 1.0169503597462534, 1e-13);
}

// Far from the lens the excess over 1 is formed directly: never below 1 (a
// point lens never demagnifies), never below the point source, falling
// monotonically, and finite out to 1e300 Einstein radii and beyond.
TEST(WittMao, FarFieldNeverDemagnifies) {
    EXPECT_GE(element(1e12, 1e-6), 1.0);
    for (const double rho : {1e-7, 1e-3, 1.0, 1e4}) {
        double previous = std::numeric_limits<double>::infinity();
        for (double u = 1e-3; u < 1e305; u *= 3.7) {
            const double x = u / rho;
            if (x < 1e3 || !std::isfinite(x)) continue;
            const double a = element(x, rho);
            ASSERT_TRUE(std::isfinite(a)) << rho << " " << u;
            EXPECT_GE(a, 1.0) << rho << " " << u;
            EXPECT_LE(a, previous) << rho << " " << u;
            // The point-source value, from the excess 4 / (u S (u^2 + 2 + u S))
            // while u^4 stays in range.
            if (u < 1e70) {
                const double s = std::sqrt(u * u + 4);
                const double point = 1 + 4 / (u * s * (u * u + 2 + u * s));
                EXPECT_GE(a, point * (1 - 0x1p-52)) << rho << " " << u;
            }
            previous = a;
        }
    }
    EXPECT_EQ(element(1e300, 1.0), 1.0);
    // x rho overflows: the lens is beyond any distance a double can hold.
    EXPECT_EQ(element(2.2e307, 10.0), 1.0);
    EXPECT_EQ(element(std::numeric_limits<double>::max(), 1e10), 1.0);
}

// An infinite separation or source radius has no magnification of its own;
// as for NaN, the kernels' verdict is returned.
TEST(WittMao, InfiniteArgumentsAreKernelErrors) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(models::witt_mao_element(inf, 1.0).ok());
    EXPECT_FALSE(models::witt_mao_element(2.0, inf).ok());
    EXPECT_FALSE(models::witt_mao_element(2e3, inf).ok());
}

// Where the far-field series takes over from the elliptic integrals the two
// agree to rounding.
TEST(WittMao, FarFieldMeetsTheClosedForm) {
    for (const double rho : {1e-7, 1e-2, 1.0, 30.0, 1e4}) {
        const double inner = element(std::nextafter(1e3, 0.0), rho);
        const double outer = element(1e3, rho);
        EXPECT_NEAR(inner / outer, 1.0, 4e-16) << rho;
    }
}

// Tiny and huge sources: no square of rho, d or u may overflow or underflow
// on the way.  At the centre the magnification is sqrt(1 + 4/rho^2).
TEST(WittMao, ExtremeSourceRadii) {
    for (const double rho : {1e-300, 1e-150, 1e-90, 1e90, 1e150, 1e300}) {
        const double centre = rho < 1 ? 2 / rho * std::sqrt(1 + rho * rho / 4)
                                      : std::sqrt(1 + (2 / rho) * (2 / rho));
        EXPECT_NEAR(element(0.0, rho) / centre, 1.0, 4e-16) << rho;
        for (const double x : {0.5, 0.999, 1.0, 1.001, 2.0, 300.0, 1e5, 1e300}) {
            const double a = element(x, rho);
            EXPECT_TRUE(std::isfinite(a) && a >= 1.0) << rho << " " << x << " " << a;
        }
    }
}

// A separation whose product with rho underflows is the centre.
TEST(WittMao, UnderflowingSeparationIsTheCentre) {
    const double tiny = std::numeric_limits<double>::denorm_min();
    EXPECT_EQ(element(tiny, 1e-7), element(0.0, 1e-7));
    EXPECT_EQ(element(tiny * 4, 1e-300), element(0.0, 1e-300));
}

}  // namespace
