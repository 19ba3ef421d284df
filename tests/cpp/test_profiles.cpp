// Brightness profiles and the flux-map models' own checks.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "models/flux_map.hpp"
#include "models/profile.hpp"

namespace {

TEST(LinearLimbDarkening, ValueAndSlope) {
    const models::LinearLimbDarkening law;
    EXPECT_EQ(law(0.0), 1.0);
    EXPECT_EQ(law(1.0), (1 - std::sqrt(0.0)) * (-0.6) + 1);
    const double r = 0.6;
    const double mu = std::sqrt(1 - r * r);
    EXPECT_NEAR(law.slope_on(r, 0, 1), -0.6 * r / mu, 1e-15);
    // mu I'(r) stays finite at the limb, where I'(r) does not.
    EXPECT_EQ(law.mu_slope_on(1.0, 0.0, 0, 1), -0.6);
    EXPECT_TRUE(std::isinf(law.slope_on(1.0, 0, 1)));
}

TEST(FluxMap, BreakpointsAreTheTableRadiiInsideTheDisc) {
    const std::vector<double> bl = {-0.5, 0.0, 0.25, 0.25, 0.5, 1.0, 1.5};
    const std::vector<double> bf = {1, 1, 0.9, 0.9, 0.8, 0.5, 0.1};
    const models::FluxMap map(bl, bf);
    const auto breaks = map.breakpoints();
    ASSERT_EQ(breaks.size(), 2u);
    EXPECT_EQ(breaks[0], 0.25);
    EXPECT_EQ(breaks[1], 0.5);
}

// On a piece the map is one straight line, continued to the piece's ends,
// so jumps at the ends of the table appear as different one-sided values.
TEST(FluxMap, PiecesFollowOneSegment) {
    const std::vector<double> bl = {0.2, 0.6};
    const std::vector<double> bf = {1.0, 0.6};
    const models::FluxMap map(bl, bf);
    EXPECT_EQ(map.value_on(0.2, 0.0, 0.2), 0.0);   // before the table: fill
    EXPECT_NEAR(map.value_on(0.2, 0.2, 0.6), 1.0, 1e-15);
    EXPECT_NEAR(map.value_on(0.6, 0.2, 0.6), 0.6, 1e-15);
    EXPECT_NEAR(map.slope_on(0.4, 0.2, 0.6), -1.0, 1e-15);
    EXPECT_EQ(map.value_on(0.6, 0.6, 1.0), 0.0);   // beyond the table
    EXPECT_EQ(map.slope_on(0.8, 0.6, 1.0), 0.0);
    EXPECT_NEAR(map(0.4), 0.8, 1e-15);
}

TEST(FluxMap, ShortTables) {
    const std::vector<double> one_r = {0.3};
    const std::vector<double> one_b = {0.7};
    const models::FluxMap single(one_r, one_b);
    EXPECT_EQ(single(0.9), 0.7);
    EXPECT_EQ(single.value_on(0.9, 0, 1), 0.7);
    EXPECT_TRUE(single.breakpoints().empty());
    const models::FluxMap empty({}, {});
    EXPECT_EQ(empty(0.5), 0.0);
    EXPECT_EQ(empty.value_on(0.5, 0, 1), 0.0);
}

// Callers check the columns first; a mismatch reaching the model is an
// internal failure worded as an equality check.
TEST(FluxMapModels, UnequalColumnsAreAnInternalFailure) {
    try {
        models::discrete_flux_map_heyrovsky_magnification({}, 1, 1, {0.1, 0.2, 0.3}, {1, 1});
        FAIL() << "no failure";
    } catch (const models::InternalFailure& failure) {
        EXPECT_EQ(failure.message, "assertion `left == right` failed\n  left: 3\n right: 2");
    }
}

}  // namespace
