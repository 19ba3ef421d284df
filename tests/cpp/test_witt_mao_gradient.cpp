// The uniform disc's derivatives: the value's own bits, the scaling
// identity between them, their branches meeting, and sources of any size.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "models/witt_mao.hpp"
#include "models/witt_mao_gradient.hpp"

namespace {

using models::DiscGradient;
using models::witt_mao_gradient_element;

DiscGradient slopes(double x, double rho) {
    const DiscGradient g = witt_mao_gradient_element(x, rho);
    EXPECT_TRUE(g.ok()) << g.error;
    return g;
}

// The value is the element's, bit for bit, through the overload that hands
// out its integrals as well, across every branch of the element.
TEST(WittMaoGradient, ValueIsTheElementsBits) {
    for (double rho = 1e-300; rho < 1e300; rho *= 1e7) {
        for (const double x : {0.0, 1e-9, 0.3, 0.999, 1.0, 1.0 + 1e-12, 1.7, 99.0, 1e3, 1e8}) {
            const ellip::Result plain = models::witt_mao_element(x, rho);
            models::WittMaoIntegrals used;
            const ellip::Result with = models::witt_mao_element(x, rho, used);
            ASSERT_TRUE(plain.ok());
            EXPECT_EQ(std::bit_cast<std::uint64_t>(plain.value()),
                      std::bit_cast<std::uint64_t>(with.value()));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(plain.value()),
                      std::bit_cast<std::uint64_t>(slopes(x, rho).value));
        }
    }
}

// u dA/du + rho dA/drho is formed on its own, from P, while du comes from
// K - 2D and drho from Z: the three agree, to the precision of the value
// (far from a large source, where A - 1 is tiny, 2 x Z - K cancels).
TEST(WittMaoGradient, ScalingIsTheSumOfTheSlopes) {
    for (const double rho : {1e-4, 0.05, 1.0, 20.0}) {
        for (const double x : {1e-3, 0.2, 0.9, 1.1, 3.0, 40.0}) {
            const DiscGradient g = slopes(x, rho);
            const double u = x * rho;
            const double sum = u * g.du + rho * g.drho;
            EXPECT_NEAR(sum, g.scaling, 1e-13 * g.value) << x << " " << rho;
            EXPECT_NEAR(sum / g.scaling, 1.0, 1e-8) << x << " " << rho;
        }
    }
}

// Where a derivative changes its formula (the series of K - 2D at m = 0.1,
// dA/drho's series at x = 100, the far field at x = 1e3) both sides meet.
TEST(WittMaoGradient, BranchesMeet) {
    for (const double rho : {1e-3, 0.3, 5.0}) {
        for (const double x : {100.0, 1e3}) {
            const DiscGradient below = slopes(std::nextafter(x, 0.0), rho);
            const DiscGradient above = slopes(x, rho);
            EXPECT_NEAR(below.du / above.du, 1.0, 1e-11) << x << " " << rho;
            EXPECT_NEAR(below.drho, above.drho, 1e-12 * above.value / rho) << x << " " << rho;
        }
    }
    // m = 16 x / ((x + 1)^2 (d^2 + 4)) crosses 0.1 near x = 0.027 for a small
    // source: scan across it for a jump.
    double previous = slopes(0.02, 1e-3).du / 0.02;
    for (double x = 0.0201; x < 0.04; x += 1e-4) {
        const double now = slopes(x, 1e-3).du / x;
        EXPECT_NEAR(now / previous, 1.0, 2e-2) << x;
        previous = now;
    }
}

// Sources from 1e-300 to 1e300 Einstein radii: nothing overflows on the way
// to a result that is representable, the magnification never rises with
// the separation, and the centre is flat.
TEST(WittMaoGradient, SourcesOfAnySize) {
    for (double rho = 1e-300; rho < 1e300; rho *= 1e5) {
        EXPECT_EQ(slopes(0.0, rho).du, 0.0) << rho;
        for (const double x : {1e-6, 0.5, 0.999999, 1.000001, 2.0, 50.0, 5e3}) {
            const DiscGradient g = slopes(x, rho);
            EXPECT_FALSE(std::isnan(g.du)) << x << " " << rho;
            EXPECT_FALSE(std::isnan(g.drho)) << x << " " << rho;
            EXPECT_LE(g.du, 0.0) << x << " " << rho;
        }
    }
}

// On the limb the slopes are the limits of the logarithmic kink; NaN input
// gives NaN slopes.
TEST(WittMaoGradient, LimbAndNonFiniteInput) {
    const DiscGradient limb = slopes(1.0, 0.1);
    EXPECT_EQ(limb.du, -std::numeric_limits<double>::infinity());
    EXPECT_EQ(limb.drho, std::numeric_limits<double>::infinity());
    const DiscGradient nan = witt_mao_gradient_element(std::nan(""), 0.1);
    EXPECT_TRUE(std::isnan(nan.du) && std::isnan(nan.drho) && std::isnan(nan.value));
}

}  // namespace
