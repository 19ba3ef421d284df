// The tanh-sinh integrator: its node table as compiled, the listed results
// bit for bit, where and how often the integrand is called, early stopping,
// reversed and empty intervals, and non-finite integrand values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "quadrature/double_exponential.hpp"

namespace {

namespace de = quadrature::double_exponential;

const auto one = [](double) { return 1.0; };
const auto square = [](double x) { return x * x; };

TEST(NodeTable, LevelsAndTellingRowsReadBackExactly) {
    const std::size_t sizes[] = {3, 3, 6, 12, 24, 48, 96};
    for (std::size_t level = 0; level < de::NODE_TABLE.size(); ++level) {
        ASSERT_EQ(de::NODE_TABLE[level].size(), sizes[level]) << level;
    }
    const auto row = [](std::size_t level, std::size_t j) { return de::NODE_TABLE[level][j]; };
    EXPECT_EQ(row(0, 0).weight, 0.23002239451478868);
    EXPECT_EQ(row(0, 0).abscissa, 0.9513679640727469);
    EXPECT_EQ(row(0, 2).weight, 1.3581784274539091e-12);
    EXPECT_EQ(row(0, 2).abscissa, 0.999999999999957);
    EXPECT_EQ(row(1, 2).weight, 1.071560227847152e-07);
    EXPECT_EQ(row(1, 2).abscissa, 0.9999999888756649);
    EXPECT_EQ(row(6, 0).weight, 0.024531906707493643);
    EXPECT_EQ(row(6, 0).abscissa, 0.02453976357464916);
    EXPECT_EQ(row(6, 95).weight, 3.411862828005251e-14);
    EXPECT_EQ(row(6, 95).abscissa, 0.9999999999999298);
}

// A constant never meets a target of 1e-16: the tail beyond t = 3 is missing.
TEST(Integrate, ConstantRunsEveryLevel) {
    const auto r = de::integrate(one, 0.0, 1.0, 1e-16);
    EXPECT_EQ(r.integral, 0.9999999999999669);
    EXPECT_EQ(r.error_estimate, 8.1601392309949e-15);
    EXPECT_EQ(r.evaluations, 385u);

    // Over [0, 2] the same sums are scaled by s = 1 instead of 0.5.
    const auto wide = de::integrate(one, 0.0, 2.0, 1e-16);
    EXPECT_EQ(wide.integral, 2 * r.integral);
    EXPECT_EQ(wide.error_estimate, 2 * r.error_estimate);
}

TEST(Integrate, SquareStopsWhereTheTargetIsMet) {
    const auto tight = de::integrate(square, 0.0, 1.0, 1e-16);
    EXPECT_EQ(tight.integral, 0.3333333333333167);
    EXPECT_EQ(tight.evaluations, 385u);

    const auto loose = de::integrate(square, 0.0, 1.0, 1e-10);
    EXPECT_EQ(loose.integral, 0.3333333333333319);
    EXPECT_EQ(loose.evaluations, 49u);

    EXPECT_EQ(de::integrate(square, 0.0, 1.0, 1e-12).evaluations, 97u);
    // The loop stops once the reported estimate is strictly below a quarter
    // of the target.
    const double boundary = 4 * loose.error_estimate;
    EXPECT_EQ(de::integrate(square, 0.0, 1.0, boundary).evaluations, 97u);
    EXPECT_EQ(de::integrate(square, 0.0, 1.0, std::nextafter(boundary, 1.0)).evaluations, 49u);
    // No test is made before the third level, however loose the target.
    EXPECT_EQ(de::integrate(square, 0.0, 1.0, 1e300).evaluations, 25u);
    // A zero target is met only by a change of exactly zero.
    EXPECT_EQ(de::integrate(square, 0.0, 1.0, 0.0).evaluations, 385u);
    EXPECT_EQ(de::integrate([](double) { return 0.0; }, 0.0, 1.0, 0.0).evaluations, 25u);
}

// For 1/(1 + x) the changes fall with order 1.977 at the third level, inside
// the quadratic band, so the next change is predicted as the square of this
// one and a target of 1e-10 is met at once; at the fourth level the order is
// 2.107, outside the band, and the change itself stays far above 1e-16.
TEST(Integrate, QuadraticConvergenceBand) {
    const auto reciprocal = [](double x) { return 1 / (1 + x); };
    const auto early = de::integrate(reciprocal, 0.0, 1.0, 1e-10);
    EXPECT_EQ(early.evaluations, 25u);
    EXPECT_EQ(early.integral, 0.6931471805548831);
    EXPECT_EQ(de::integrate(reciprocal, 0.0, 1.0, 1e-16).evaluations, 385u);
}

TEST(Integrate, EndPointSingularityIsNeverEvaluated) {
    const auto r = de::integrate([](double x) { return 1 / std::sqrt(x); }, 0.0, 1.0, 1e-16);
    EXPECT_EQ(r.integral, 1.9999997416581117);
    EXPECT_EQ(r.error_estimate, 3.2028109608894795e-08);
    EXPECT_EQ(r.evaluations, 385u);
}

// The first point is the midpoint; then each pair, the point above the
// midpoint first, strictly inside the interval; one call per counted
// evaluation.
TEST(Integrate, PointsAndEvaluationCount) {
    std::vector<double> points;
    const auto r = de::integrate([&points](double x) { points.push_back(x); return std::exp(x); }, 0.0, 1.0, 1e-16);
    ASSERT_EQ(points.size(), r.evaluations);
    EXPECT_EQ(points[0], 0.5);
    EXPECT_EQ(points[1], 0.5 + 0.9513679640727469 * 0.5);
    EXPECT_EQ(points[2], 0.5 - 0.9513679640727469 * 0.5);
    for (std::size_t i = 1; i < points.size(); i += 2) {
        EXPECT_GT(points[i], 0.5) << i;
        EXPECT_LT(points[i + 1], 0.5) << i;
        EXPECT_LT(points[i], 1.0) << i;
        EXPECT_GT(points[i + 1], 0.0) << i;
    }
    EXPECT_NEAR(r.integral, std::exp(1.0) - 1, 1e-13);
}

// With b < a the internal target is negative, so every level runs, and the
// result is exactly the negative of the full run over [b, a].
TEST(Integrate, ReversedLimits) {
    const auto r = de::integrate(one, 1.0, 0.0, 1e-16);
    EXPECT_EQ(r.integral, -0.9999999999999669);
    EXPECT_EQ(r.error_estimate, -8.1601392309949e-15);
    EXPECT_EQ(r.evaluations, 385u);

    const auto backward = de::integrate(square, 1.0, 0.0, 1e-10);
    const auto forward = de::integrate(square, 0.0, 1.0, 0.0);
    EXPECT_EQ(backward.evaluations, 385u);
    EXPECT_EQ(backward.integral, -forward.integral);
    EXPECT_EQ(backward.error_estimate, -forward.error_estimate);
    EXPECT_LT(backward.error_estimate, 0.0);
}

TEST(Integrate, EmptyIntervalStopsAtTheFirstTest) {
    std::uint32_t calls = 0;
    const auto r = de::integrate([&calls](double x) { ++calls; EXPECT_EQ(x, 2.0); return x * x; }, 2.0, 2.0, 1e-16);
    EXPECT_EQ(r.integral, 0.0);
    EXPECT_EQ(r.error_estimate, 0.0);
    EXPECT_EQ(r.evaluations, 25u);
    EXPECT_EQ(calls, 25u);
}

TEST(Integrate, NonFiniteValuesCountAsZero) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (const double bad : {std::numeric_limits<double>::quiet_NaN(), inf, -inf}) {
        const auto r = de::integrate([bad](double) { return bad; }, 0.0, 1.0, 1e-16);
        EXPECT_EQ(r.integral, 0.0) << bad;
        EXPECT_EQ(r.error_estimate, 0.0) << bad;
        EXPECT_EQ(r.evaluations, 25u) << bad;
    }
    // A pole at the midpoint drops that node alone: the constant loses the
    // central term, pi/2 at step 1/64, times s = 0.5.
    const auto r = de::integrate([](double x) { return x == 0.5 ? inf : 1.0; }, 0.0, 1.0, 1e-16);
    EXPECT_EQ(r.evaluations, 385u);
    EXPECT_NEAR(de::integrate(one, 0.0, 1.0, 1e-16).integral - r.integral, std::numbers::pi / 256, 1e-15);
}

}  // namespace
