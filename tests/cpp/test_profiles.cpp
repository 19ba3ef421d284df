// Brightness profiles and the flux-map models' own checks.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "models/flux_map.hpp"
#include "models/profile.hpp"

namespace {

TEST(LinearLimbDarkening, LawInMu) {
    const models::LinearLimbDarkening law;
    EXPECT_EQ(law(0.0), 1.0);
    EXPECT_EQ(law(1.0), (1 - std::sqrt(0.0)) * (-0.6) + 1);
    const models::PieceLaw piece = law.law_on(0.0, 1.0);
    EXPECT_TRUE(piece.singular_at_limb());
    for (const double r : {0.0, 0.3, 0.6, 0.999}) {
        const double mu = std::sqrt(1 - r * r);
        EXPECT_NEAR(piece.value(r, mu), law(r), 1e-15);
        // mu I'(r) = -0.6 r, finite at the limb where I'(r) is not.
        EXPECT_NEAR(piece.mu_slope(r, mu), -0.6 * r, 1e-15);
    }
    EXPECT_EQ(piece.mu_slope(1.0, 0.0), -0.6);
}

// 1 - r^2 cancels next to the limb; mu_of forms it from 1 - r.
TEST(LinearLimbDarkening, MuNextToTheLimbKeepsItsDigits) {
    const double r = std::nextafter(1.0, 0.0);
    EXPECT_EQ(models::mu_of(r), std::sqrt(std::ldexp(1.0, -53) * (2 - std::ldexp(1.0, -53))));
    EXPECT_EQ(models::mu_of(1.0), 0.0);
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
    const models::PieceLaw before = map.law_on(0.0, 0.2);
    EXPECT_EQ(before.value(0.2, 0.0), 0.0);  // before the table: fill
    const models::PieceLaw inside = map.law_on(0.2, 0.6);
    EXPECT_FALSE(inside.singular_at_limb());
    EXPECT_NEAR(inside.value(0.2, 0.0), 1.0, 1e-15);
    EXPECT_NEAR(inside.value(0.6, 0.0), 0.6, 1e-15);
    EXPECT_NEAR(inside.c1, -1.0, 1e-15);
    const models::PieceLaw beyond = map.law_on(0.6, 1.0);
    EXPECT_EQ(beyond.value(0.6, 0.0), 0.0);  // beyond the table
    EXPECT_EQ(beyond.c1, 0.0);
    EXPECT_NEAR(map(0.4), 0.8, 1e-15);
    EXPECT_EQ(inside.value(0.2, 0.0), 1.0);  // exact at the table radius
}

// A segment 1e-6 wide rising to 1: slope x + intercept would cancel to
// about 1e-10 at its foot; the law keeps the table's values there.
TEST(FluxMap, NarrowSegmentsKeepTheirEndValues) {
    const std::vector<double> bl = {0.6, 0.600001, 0.600002};
    const std::vector<double> bf = {0.0, 1.0, 0.0};
    const models::FluxMap map(bl, bf);
    const models::PieceLaw rise = map.law_on(0.6, 0.600001);
    EXPECT_EQ(rise.value(0.6, 0.0), 0.0);
    EXPECT_NEAR(rise.value(0.600001, 0.0), 1.0, 1e-9);
}

TEST(FluxMap, ShortTables) {
    const std::vector<double> one_r = {0.3};
    const std::vector<double> one_b = {0.7};
    const models::FluxMap single(one_r, one_b);
    EXPECT_EQ(single(0.9), 0.7);
    EXPECT_EQ(single.law_on(0, 1).value(0.9, 0.0), 0.7);
    EXPECT_TRUE(single.breakpoints().empty());
    const models::FluxMap empty({}, {});
    EXPECT_EQ(empty(0.5), 0.0);
    EXPECT_EQ(empty.law_on(0, 1).value(0.5, 0.0), 0.0);
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
