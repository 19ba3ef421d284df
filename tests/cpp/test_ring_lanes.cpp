// The ring element over batches: every dispatch level the processor supports
// gives the scalar element's result bit for bit, ring by ring, whatever the
// mix of paths in a lane group and whatever the batch length.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "models/heyrovsky.hpp"
#include "models/ring_lanes.hpp"
#include "runtime/cpu_features.hpp"

namespace {

using runtime::SimdLevel;

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

const SimdLevel LEVELS[] = {SimdLevel::baseline, SimdLevel::avx2, SimdLevel::avx512};

struct Rings {
    std::vector<double> l;
    std::vector<double> r;
    std::vector<double> d;
};

// Runs the batch at `level` over [begin, begin + n) and compares every bit
// with the scalar element (NaN where it fails) and the first failing index.
void expect_identical(SimdLevel level, const Rings& g, double eps, std::size_t begin,
                      std::size_t n) {
    std::vector<double> expected(n);
    std::size_t expected_failure = n;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = begin + i;
        const ellip::Result v = models::ring_element(g.l[at], g.r[at], g.d[at], eps);
        expected[i] = v.ok() ? v.value() : NaN;
        if (!v.ok() && expected_failure == n) {
            expected_failure = i;
        }
    }
    // One spare slot each side: the batch writes nothing outside its rings.
    std::vector<double> got(n + 2, -7.0);
    const std::size_t failure = models::ring_elements_at(
        level, g.l.data() + begin, g.r.data() + begin, g.d.data() + begin, eps, got.data() + 1, n);
    EXPECT_EQ(failure, expected_failure) << runtime::simd_name(level) << " n=" << n;
    EXPECT_EQ(got[0], -7.0);
    EXPECT_EQ(got[n + 1], -7.0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = begin + i;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i + 1]),
                  std::bit_cast<std::uint64_t>(expected[i]))
            << runtime::simd_name(level) << ": l=" << g.l[at] << " r=" << g.r[at]
            << " d=" << g.d[at] << " eps=" << eps << " batch " << got[i + 1] << " scalar "
            << expected[i];
    }
}

// Lenses and ring radii from the centre through the limb to far away, the
// ring through the lens and a few ulps either side of it (d exact, as the
// quadrature supplies it), tiny and huge sizes, non-finite and negative
// values; shuffled so that every lane group mixes paths.
Rings mixed_rings() {
    const std::vector<double> lenses = {0.0,  5e-324, 1e-300, 1e-20, 1e-7, 1e-3, 0.1,
                                        0.3,  0.5,    0.7,    0.999, 1.0,  1.001, 2.0,
                                        30.0, 1e3,    1e4,    1e8,   1e300, 1.7e308, INF, NaN, -0.5};
    std::vector<double> radii = {0.0, 5e-324, 1e-300, 1e-12, 1e-6, 1e3, 1e4, 1e300, INF, NaN,
                                 -0.2};
    for (int k = 1; k <= 60; ++k) {
        radii.push_back(k / 60.0 + 0.0013 * (k % 5));
    }
    Rings g;
    auto add = [&](double l, double r, double d) {
        g.l.push_back(l);
        g.r.push_back(r);
        g.d.push_back(d);
    };
    for (const double l : lenses) {
        for (const double r : radii) {
            add(l, r, r - l);
        }
        // Rings next to the lens: d far below the ulp of r, and a few ulps.
        for (const double d : {1e-300, -1e-300, 1e-200, 1e-16, -1e-16, 3e-12, 1e-9, -1e-9,
                               1e-6, -1e-6, 1e-5, 0.0, -0.0}) {
            add(l, l + d, d);
        }
        double up = l;
        double down = l;
        for (int k = 0; k < 4; ++k) {
            up = std::nextafter(up, INF);
            down = std::nextafter(down, 0.0);
            add(l, up, up - l);
            add(l, down, down - l);
        }
    }
    std::mt19937_64 rng(20261209);
    for (std::size_t i = g.l.size(); i > 1; --i) {
        const std::size_t j = rng() % i;
        std::swap(g.l[i - 1], g.l[j]);
        std::swap(g.r[i - 1], g.r[j]);
        std::swap(g.d[i - 1], g.d[j]);
    }
    return g;
}

// Einstein radii in source radii: tiny (huge sources) to huge, and the
// values no lane takes.
const double EPSILONS[] = {1e-7, 1e-3, 0.05, 1.0, 7.0, 100.0, 1e7, 1e200, 0.0, INF, NaN};

TEST(RingLanes, EveryLevelMatchesTheScalarElementBitForBit) {
    const Rings g = mixed_rings();
    for (const double eps : EPSILONS) {
        for (const SimdLevel level : LEVELS) {
            expect_identical(level, g, eps, 0, g.l.size());
        }
    }
}

// Short batches and tails of every length below two groups, at offsets that
// start a group anywhere in the list: the padded lanes and the one-at-a-time
// tail leave the others unchanged.
TEST(RingLanes, ShortBatchesAndTailsMatchTheScalarElement) {
    const Rings g = mixed_rings();
    for (const SimdLevel level : LEVELS) {
        for (std::size_t n = 0; n <= 17; ++n) {
            for (std::size_t begin : {std::size_t{0}, std::size_t{3}, std::size_t{250}}) {
                expect_identical(level, g, 0.9, begin, n);
            }
        }
    }
}

// A ring whose radius is not a number fails in the kernel; the batch
// reports the first such ring, NaN at each, and the others as computed.
TEST(RingLanes, ReportsTheFirstFailingRing) {
    Rings g;
    for (int k = 0; k < 20; ++k) {
        const double r = k == 13 || k == 17 ? NaN : 0.25 + 0.01 * k;
        g.l.push_back(0.5);
        g.r.push_back(r);
        g.d.push_back(r - 0.5);
    }
    for (const SimdLevel level : LEVELS) {
        std::vector<double> out(g.l.size());
        EXPECT_EQ(models::ring_elements_at(level, g.l.data(), g.r.data(), g.d.data(), 1.0,
                                           out.data(), out.size()),
                  13u);
        EXPECT_TRUE(std::isnan(out[13]) && std::isnan(out[17]));
        expect_identical(level, g, 1.0, 0, g.l.size());
    }
}

}  // namespace
