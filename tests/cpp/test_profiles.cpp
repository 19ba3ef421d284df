// Brightness profiles and the flux-map models' own checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "models/flux_map.hpp"
#include "models/integrated.hpp"
#include "models/witt_mao.hpp"
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

// The law's coefficient is data: other coefficients give the same law in
// mu, and the built-in law divides by its stored flux.
TEST(LinearLimbDarkening, CoefficientAndNormAreTheLaws) {
    const models::LinearLimbDarkening built_in;
    EXPECT_EQ(built_in.coefficient(), 0.6);
    EXPECT_EQ(built_in.norm(), 2.5132741228717936);
    const models::PieceLaw piece = built_in.law_on(0.0, 1.0);
    EXPECT_EQ(piece.c0, 0.4);
    EXPECT_EQ(piece.c2, 0.6);

    const models::LinearLimbDarkening law(0.25, 1.0);
    EXPECT_EQ(law.norm(), 1.0);
    for (const double r : {0.0, 0.5, 0.9, 1.0}) {
        EXPECT_NEAR(law(r), 0.75 + 0.25 * std::sqrt(1 - r * r), 1e-15) << r;
    }
}

// With coefficient 0 and the disc's own flux the law is the uniform disc:
// both integrated routes give the closed-form disc magnification.
TEST(LinearLimbDarkening, ZeroCoefficientIsTheUniformDisc) {
    const models::LinearLimbDarkening uniform(0.0, 3.141592653589793);
    const std::vector<double> l = {0.0, 0.4, 0.999, 1.0, 1.3, 4.0};
    const auto disc = models::_integrated_witt_mao_magnification(l, 1.0, 0.1, uniform);
    const auto ring = models::_integrated_heyrovsky_magnification(l, 1.0, 0.1, uniform);
    ASSERT_TRUE(disc.ok());
    ASSERT_TRUE(ring.ok());
    for (std::size_t i = 0; i < l.size(); ++i) {
        const ellip::Result a = models::witt_mao_element(l[i], 0.1);
        ASSERT_TRUE(a.ok());
        EXPECT_NEAR(disc.value()[i], a.value(), 1e-12 * a.value()) << l[i];
        EXPECT_NEAR(ring.value()[i], a.value(), 1e-12 * a.value()) << l[i];
    }
}

// A table's flux over the unit disc is its own, and NaN where it vanishes or
// cancels.
TEST(FluxMap, NormIsTheTablesFlux) {
    const std::vector<double> bl = {0.0, 1.0};
    const std::vector<double> flat = {2.0, 2.0};
    EXPECT_NEAR(models::FluxMap(bl, flat).norm(), 2 * 3.141592653589793, 1e-15);
    // B = 1 - r: 2 pi int r (1 - r) dr = pi / 3.
    const std::vector<double> falling = {1.0, 0.0};
    EXPECT_NEAR(models::FluxMap(bl, falling).norm(), 3.141592653589793 / 3, 1e-15);
    // Beyond the limb the table does not count.
    const std::vector<double> wide = {0.0, 2.0};
    const std::vector<double> step = {1.0, 1.0};
    EXPECT_NEAR(models::FluxMap(wide, step).norm(), 3.141592653589793, 1e-15);
    // B = 2 - 3r is bright at the centre and dark at the limb by exactly as
    // much: int r (2 - 3r) dr = 1 - 1 = 0.
    const std::vector<double> cancel = {2.0, -1.0};
    EXPECT_TRUE(std::isnan(models::FluxMap(bl, cancel).norm()));
    EXPECT_TRUE(std::isnan(models::FluxMap({}, {}).norm()));
    const std::vector<double> zero = {0.0, 0.0};
    EXPECT_TRUE(std::isnan(models::FluxMap(bl, zero).norm()));
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

// A caller's buffer may hold anything: the curves written into it are those
// the allocating forms return, bit for bit, for undefined sources and
// separations too.
TEST(FluxMapModels, CurvesIntoAnyBufferAreTheAllocatedCurves) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> l = {0.0, 0.5, -1.0, 2.0, inf, nan, 0.999};
    const std::vector<double> bl = {0.0, 0.3, 0.7, 1.0};
    const std::vector<double> bf = {1.0, 0.9, 0.6, 0.2};
    using Into = models::Outcome<models::Filled> (*)(
        std::span<const double>, double, double, std::span<const double>,
        std::span<const double>, std::span<double>, const models::Interrupt&);
    using Alloc = models::Outcome<models::Curve> (*)(models::Curve, double, double, models::Curve,
                                                     models::Curve, const models::Interrupt&);
    const std::pair<Into, Alloc> forms[] = {
        {models::integrated_flux_map_witt_mao_magnification_into,
         models::integrated_flux_map_witt_mao_magnification},
        {models::integrated_flux_map_heyrovsky_magnification_into,
         models::integrated_flux_map_heyrovsky_magnification},
        {models::discrete_flux_map_heyrovsky_magnification_into,
         models::discrete_flux_map_heyrovsky_magnification},
    };
    for (const auto& [into, alloc] : forms) {
        for (const double re : {1.0, 0.0, -2.0}) {
            const auto curve = alloc(l, re, 0.1, bl, bf, {});
            std::vector<double> out(l.size(), 12345.0);
            const auto filled = into(l, re, 0.1, bl, bf, out, {});
            ASSERT_EQ(filled.ok(), curve.ok()) << re;
            if (!curve.ok()) {
                EXPECT_EQ(filled.error().text, curve.error().text);
                continue;
            }
            EXPECT_EQ(std::memcmp(out.data(), curve.value().data(), l.size() * sizeof(double)), 0)
                << re;
        }
    }
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
