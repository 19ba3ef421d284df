// The derivative step constant under concurrent first use, the central
// difference's step, call order and listed values, and the interpolation's
// segment choice and boundaries.
#include <gtest/gtest.h>

#include <cmath>
#include <latch>
#include <limits>
#include <thread>
#include <vector>

#include "interp/interp.hpp"
#include "numdiff/central_difference.hpp"

namespace {

namespace cd = numdiff::central_difference::derivative::scalar_valued;

// Declared first so that, run in file order, it makes the process's first use
// of the constant: all threads are released together onto the cold cell.
TEST(CbrtEps, InitialisedOnceUnderConcurrentFirstUse) {
    const bool cold = numdiff::constants::cbrt_eps_initialisations() == 0;
    constexpr int thread_count = 8;
    std::vector<double> seen(thread_count, 0.0);
    std::latch start(thread_count);
    std::vector<std::thread> threads;
    for (int i = 0; i < thread_count; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            seen[i] = numdiff::constants::CBRT_EPS();
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (const double v : seen) {
        EXPECT_EQ(v, 6.0554544523933395e-06);
    }
    EXPECT_EQ(numdiff::constants::cbrt_eps_initialisations(), 1u) << (cold ? "from a cold start" : "warm");
}

TEST(Sderivative, StepAndCallOrder) {
    EXPECT_EQ(cd::step(0.0), 6.0554544523933395e-06);
    EXPECT_EQ(cd::step(1.0), 1.2110908904786679e-05);
    EXPECT_EQ(cd::step(-1.0), cd::step(1.0));

    std::vector<double> points;
    cd::sderivative([&points](double x) { points.push_back(x); return x; }, 3.0);
    const double h = cd::step(3.0);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0], 3.0 + h);
    EXPECT_EQ(points[1], 3.0 - h);
}

TEST(Sderivative, SquareAtListedPoints) {
    const auto square = [](double x) { return x * x; };
    EXPECT_EQ(cd::sderivative(square, 0.0), 0.0);
    EXPECT_EQ(cd::sderivative(square, 1.0), 1.9999999999966884);
    EXPECT_EQ(cd::sderivative(square, 3.0), 6.000000000031317);
    EXPECT_EQ(cd::sderivative(square, -2.0), -3.9999999999964326);
    EXPECT_TRUE(std::isnan(cd::sderivative(square, std::numeric_limits<double>::quiet_NaN())));
}

double at(std::vector<double> xs, std::vector<double> ys, double x, double fill = 0.0) {
    return interp::interp(xs, ys, x, fill);
}

TEST(Interp, InsideOnTheEndsAndOutside) {
    const std::vector<double> xs{0, 1, 2}, ys{0, 10, 20};
    EXPECT_EQ(at(xs, ys, 0.5), 5.0);
    EXPECT_EQ(at(xs, ys, 2.5), 0.0);
    EXPECT_EQ(at(xs, ys, -1.0), 0.0);
    // Both end abscissas are inside; the next doubles beyond them are not.
    EXPECT_EQ(at(xs, ys, 0.0, -7.0), 0.0);
    EXPECT_EQ(at(xs, ys, 2.0, -7.0), 20.0);
    EXPECT_EQ(at(xs, ys, std::nextafter(0.0, -1.0), -7.0), -7.0);
    EXPECT_EQ(at(xs, ys, std::nextafter(2.0, 3.0), -7.0), -7.0);
    EXPECT_TRUE(std::isnan(at(xs, ys, std::numeric_limits<double>::quiet_NaN())));
}

// The value is slope x + intercept, not ys[i] + slope (x - xs[i]).
TEST(Interp, SlopeInterceptForm) {
    const double x = 0.46;
    const double slope = (0.1 - 0.8) / (0.65 - 0.45);
    ASSERT_NE(slope * x + (0.8 - 0.45 * slope), 0.8 + slope * (x - 0.45));
    EXPECT_EQ(at({0.45, 0.65}, {0.8, 0.1}, x), 0.7649999999999999);
}

TEST(Interp, DegenerateTablesIgnoreXAndFill) {
    for (const double x : {-1e300, 0.0, 5.0, 1e300}) {
        EXPECT_EQ(at({2.0}, {7.0}, x, -1.0), 7.0) << x;
        EXPECT_EQ(at({}, {}, x, -1.0), 0.0) << x;
        EXPECT_EQ(at({1.0, 2.0}, {}, x, -1.0), 0.0) << x;
    }
}

// A repeated abscissa: the points on either side of it use their own segment.
TEST(Interp, ZeroWidthSegmentIsNeverChosenInside) {
    const std::vector<double> xs{0, 1, 1, 2}, ys{0, 10, 50, 60};
    EXPECT_EQ(at(xs, ys, 1.0), 10.0);
    EXPECT_EQ(at(xs, ys, 1.5), 55.0);
    EXPECT_EQ(at(xs, ys, 0.5), 5.0);
}

// Only the first n = min(|xs|, |ys|) abscissas form segments, but the search
// runs over all of xs.
TEST(Interp, SurplusEntriesAreIgnored) {
    const std::vector<double> xs{0, 1, 2, 3}, ys{0, 10};
    EXPECT_EQ(at(xs, ys, 0.5), 5.0);
    EXPECT_EQ(at(xs, ys, 1.0), 10.0);
    EXPECT_EQ(at(xs, ys, 1.5), 0.0);
    EXPECT_EQ(at({0, 1}, {0, 10, 99}, 1.0), 10.0);
    // Unsorted surplus abscissas steer the search past the table, and the
    // segment is clamped to the last usable one (1 to 2, extrapolated).
    EXPECT_EQ(at({0, 1, 2, -10, -10, -10, -10, -10}, {0, 10, 30}, 0.25), -5.0);
}

}  // namespace
