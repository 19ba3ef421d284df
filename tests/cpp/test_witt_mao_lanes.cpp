// The uniform-disc element over batches: every dispatch level the processor
// supports gives the scalar element's result bit for bit, lane by lane,
// whatever the mix of paths in a lane group and whatever the batch length.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "models/limb_law.hpp"
#include "models/limb_law_uniform_batch.hpp"
#include "models/witt_mao.hpp"
#include "models/witt_mao_lanes.hpp"
#include "runtime/cpu_features.hpp"

namespace {

using runtime::SimdLevel;

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

const SimdLevel LEVELS[] = {SimdLevel::baseline, SimdLevel::avx2, SimdLevel::avx512};

// The scalar element over the pairs, as the batch must reproduce it: its
// values, NaN where it fails, and the first failing index.
std::size_t scalar(const std::vector<double>& x, const std::vector<double>& rho,
                   std::vector<double>& out) {
    out.assign(x.size(), 0.0);
    std::size_t first = x.size();
    for (std::size_t i = 0; i < x.size(); ++i) {
        const ellip::Result r = models::witt_mao_element(x[i], rho[i]);
        out[i] = r.ok() ? r.value() : NaN;
        if (!r.ok() && first == x.size()) {
            first = i;
        }
    }
    return first;
}

// Runs the batch at `level` over [begin, begin + n) and compares every bit.
void expect_identical(SimdLevel level, const std::vector<double>& x,
                      const std::vector<double>& rho, std::size_t begin, std::size_t n) {
    const std::vector<double> xs(x.begin() + begin, x.begin() + begin + n);
    const std::vector<double> rs(rho.begin() + begin, rho.begin() + begin + n);
    std::vector<double> expected;
    const std::size_t expected_failure = scalar(xs, rs, expected);
    // One spare slot each side: the batch writes nothing outside its pairs.
    std::vector<double> got(n + 2, -7.0);
    const std::size_t failure =
        models::witt_mao_elements_at(level, xs.data(), rs.data(), got.data() + 1, n);
    EXPECT_EQ(failure, expected_failure) << runtime::simd_name(level) << " n=" << n;
    EXPECT_EQ(got[0], -7.0);
    EXPECT_EQ(got[n + 1], -7.0);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i + 1]),
                  std::bit_cast<std::uint64_t>(expected[i]))
            << runtime::simd_name(level) << ": x=" << xs[i] << " rho=" << rs[i] << " batch "
            << got[i + 1] << " scalar " << expected[i];
    }
}

// Separations: the centre, tiny ones, a dense sweep through the disc and
// past the limb, the limb itself and a few ulps either side, the edges of the
// far field and beyond it, non-finite and signed values.
std::vector<double> separations() {
    std::vector<double> x = {0.0,   -0.0,  5e-324, 1e-310, 1e-300, 1e-150, 1e-20, 1e-10,
                             1e-5,  1e-3,  0.5,    0.999,  1.001,  2.0,    10.0,  100.0,
                             999.0, 1e3,   1001.0, 2e3,    1e5,    1e10,   1e100, 1e300,
                             INF,   -INF,  NaN,    -0.5,   -1.0,   -3.0,   -2e3};
    for (int k = 1; k <= 300; ++k) {
        x.push_back(k * 0.01 + 0.0031 * (k % 7));
    }
    for (double e = 1e-2; e > 1e-15; e /= 10) {
        x.push_back(1 - e);
        x.push_back(1 + e);
    }
    double below = 1.0;
    double above = 1.0;
    x.push_back(1.0);
    for (int k = 0; k < 6; ++k) {
        below = std::nextafter(below, 0.0);
        above = std::nextafter(above, 2.0);
        x.push_back(below);
        x.push_back(above);
    }
    x.push_back(std::nextafter(1e3, 0.0));
    return x;
}

std::vector<double> radii() {
    return {0.0,  -0.0,  5e-324, 1e-310, 1e-300, 1e-150, 1e-20, 1e-10, 1e-4,  1e-3,
            0.01, 0.047, 0.1,    0.3,    1.0,    1.7,    2.0,   10.0,  1e3,   1e10,
            1e150, 1e300, INF,   -INF,   NaN,    -0.1,   -1.0,  3e-7,  0.999, 5.5};
}

struct Grid {
    std::vector<double> x;
    std::vector<double> rho;
};

// Every pair of the two lists, shuffled so that every lane group mixes
// paths: main, far field, limb zone, cancelling sums, non-finite.
Grid mixed_grid() {
    Grid g;
    for (const double r : radii()) {
        for (const double x : separations()) {
            g.x.push_back(x);
            g.rho.push_back(r);
        }
    }
    std::mt19937_64 rng(20261209);
    for (std::size_t i = g.x.size(); i > 1; --i) {
        const std::size_t j = rng() % i;
        std::swap(g.x[i - 1], g.x[j]);
        std::swap(g.rho[i - 1], g.rho[j]);
    }
    return g;
}

// Pairs as fitting calls meet them: separations uniform through and around
// the disc and log-uniform out to the far field, radii from 1e-4 to 10.
Grid typical_grid(std::size_t n) {
    Grid g;
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = i % 2 == 0 ? 3 * unit(rng) : std::pow(10.0, -3 + 6 * unit(rng));
        g.x.push_back(x);
        g.rho.push_back(std::pow(10.0, -4 + 5 * unit(rng)));
    }
    return g;
}

class Lanes : public ::testing::TestWithParam<SimdLevel> {
protected:
    void SetUp() override {
        if (!runtime::simd_supported(GetParam())) {
            GTEST_SKIP() << runtime::simd_name(GetParam()) << " not supported here";
        }
    }
};

TEST_P(Lanes, MixedPathsInOneBatchMatchTheScalarElement) {
    const Grid g = mixed_grid();
    expect_identical(GetParam(), g.x, g.rho, 0, g.x.size());
}

TEST_P(Lanes, EveryShortLengthAndOddTailMatches) {
    const Grid g = mixed_grid();
    const Grid t = typical_grid(1200);
    for (std::size_t n = 0; n <= 9; ++n) {
        for (std::size_t begin = 0; begin < 24; begin += 5) {
            expect_identical(GetParam(), g.x, g.rho, begin, n);
            expect_identical(GetParam(), t.x, t.rho, begin, n);
        }
    }
    // Tails after whole lane groups and after whole blocks.
    for (const std::size_t n : {13, 31, 255, 256, 257, 511, 1027}) {
        expect_identical(GetParam(), g.x, g.rho, 3, n);
        expect_identical(GetParam(), t.x, t.rho, 1, n);
    }
}

TEST_P(Lanes, DenseTypicalGridMatches) {
    const Grid g = typical_grid(60000);
    expect_identical(GetParam(), g.x, g.rho, 0, g.x.size());
}

// Lanes of one group that settle after different numbers of AGM steps (m
// from 1e-6 to nearly 1) and the limb-zone edge mc = 1e-3 side by side.
TEST_P(Lanes, LanesSettlingAtDifferentStepsMatch) {
    Grid g;
    for (int i = 0; i < 4000; ++i) {
        const double x = 1 + std::ldexp(1.0, -(i % 40)) * ((i / 40) % 2 == 0 ? 1 : -1);
        g.x.push_back(x);
        g.rho.push_back(std::pow(10.0, -3 + 0.001 * (i % 3001)));
    }
    expect_identical(GetParam(), g.x, g.rho, 0, g.x.size());
}

// Whole groups of one path, as along a sorted light curve: there every
// lane's quotients may be formed off the divider, which a single unusual
// lane in the group would otherwise prevent.  The limb zone, beyond |d| = 2,
// the main path, and sources so small or so large (rho near 2^-250 and
// 2^250) that the operands cross the range the multiply-adds serve.
TEST_P(Lanes, WholeGroupsOfOnePathMatch) {
    Grid g;
    const auto sweep = [&g](double rho, double x0, double x1, int n) {
        for (int i = 0; i < n; ++i) {
            g.x.push_back(x0 + (x1 - x0) * i / (n - 1));
            g.rho.push_back(rho);
        }
    };
    for (const double rho : {1e-4, 1e-3, 1e-2}) {
        sweep(rho, 1 - 1e-6, 1 - 1e-9, 64);
        sweep(rho, 1 + 1e-9, 1 + 1e-6, 64);
    }
    for (const double rho : {2.5, 40.0, 1e4}) {
        sweep(rho, 1.9, 999.0, 256);
    }
    for (const double rho : {0.01, 0.3}) {
        sweep(rho, 0.25, 300.0, 512);
    }
    for (const double rho : {1e-80, 1e-76, 1e-70, 1e70, 1e75, 1e80}) {
        sweep(rho, 0.1, 3.0, 64);
        sweep(rho, 3.0, 900.0, 64);
    }
    expect_identical(GetParam(), g.x, g.rho, 0, g.x.size());
}

// Far outside the source, on both sides of u = 2 where the series changes
// variable, with lanes of either side in one group.
TEST_P(Lanes, FarFieldMatches) {
    Grid g;
    std::mt19937_64 rng(13);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 20000; ++i) {
        const double x = std::pow(10.0, 3 + 2 * unit(rng));
        const double u = i % 3 == 0 ? 2 * std::pow(2.0, 1e-3 * (unit(rng) - 0.5))
                                    : std::pow(10.0, -1.5 + 2.5 * unit(rng));
        g.x.push_back(x);
        g.rho.push_back(u / x);
    }
    expect_identical(GetParam(), g.x, g.rho, 0, g.x.size());
}

INSTANTIATE_TEST_SUITE_P(Levels, Lanes, ::testing::ValuesIn(LEVELS), [](const auto& info) {
    return std::string(runtime::simd_name(info.param));
});

// The wide kernels must take the main path for most pairs of a fitting
// grid: a kernel that left every lane to the scalar element would match it
// trivially.
TEST(LaneKernels, MostTypicalPairsStayInTheLanes) {
    const Grid g = typical_grid(models::LANE_BLOCK);
    std::vector<double> out(models::LANE_BLOCK);
    std::uint16_t rare[models::LANE_BLOCK];
    using Wide = std::size_t (*)(const double*, const double*, double*, std::uint16_t*,
                                 std::size_t) noexcept;
    const std::pair<SimdLevel, Wide> kernels[] = {
        {SimdLevel::avx2, models::witt_mao_lanes_avx2},
        {SimdLevel::avx512, models::witt_mao_lanes_avx512}};
    for (const auto& [level, wide] : kernels) {
        if (!runtime::simd_supported(level)) {
            continue;
        }
        const std::size_t count = wide(g.x.data(), g.rho.data(), out.data(), rare, g.x.size());
        EXPECT_LT(count, models::LANE_BLOCK / 4) << runtime::simd_name(level);
        for (std::size_t k = 1; k < count; ++k) {
            EXPECT_LT(rare[k - 1], rare[k]);
        }
    }
}

// A level the processor lacks falls back to a narrower one, never to
// instructions it cannot run.
TEST(LaneKernels, UnsupportedLevelFallsBack) {
    const Grid g = typical_grid(40);
    expect_identical(static_cast<SimdLevel>(2), g.x, g.rho, 0, g.x.size());
    EXPECT_TRUE(runtime::simd_supported(SimdLevel::baseline));
    EXPECT_TRUE(runtime::simd_supported(runtime::simd_level()));
}

// The classic curve, computed in blocks, keeps the values before the first
// failing separation and reports that one's error.
TEST(LaneKernels, ClassicCurveMatchesTheElementAndStopsAtTheFirstFailure) {
    const Grid g = typical_grid(3000);
    std::vector<double> l(g.x.begin(), g.x.end());
    const double rho = 0.037;
    const auto curve = models::witt_mao_magnification(l, 1.0, rho);
    ASSERT_TRUE(curve.ok());
    for (std::size_t i = 0; i < l.size(); ++i) {
        const ellip::Result r = models::witt_mao_element(l[i], rho);
        ASSERT_TRUE(r.ok());
        ASSERT_EQ(std::bit_cast<std::uint64_t>(curve.value()[i]),
                  std::bit_cast<std::uint64_t>(r.value()));
    }

    // Two failing separations in one block and one in a later block: the
    // first one's error, the values before it, nothing after it.
    l[700] = INF;
    l[701] = NaN;
    l[2000] = NaN;
    std::vector<double> out(l.size(), -7.0);
    const auto filled = models::witt_mao_magnification_into(l, 1.0, rho, out);
    ASSERT_FALSE(filled.ok());
    EXPECT_EQ(filled.error().kind, models::ErrorKind::runtime_error);
    EXPECT_STREQ(filled.error().text, models::witt_mao_element(INF, rho).error());
    for (std::size_t i = 0; i < l.size(); ++i) {
        if (i < 700) {
            ASSERT_EQ(out[i], curve.value()[i]) << i;
        } else {
            ASSERT_EQ(out[i], -7.0) << i;
        }
    }
}

// The interrupt is asked before the first element and then every 1024, as
// for any cheap element; the values before the interrupt are written.
TEST(LaneKernels, ClassicCurvePollsTheInterruptBetweenBlocks) {
    const std::vector<double> l(3000, 0.5);
    std::vector<double> out(l.size(), -7.0);
    int asked = 0;
    const auto filled = models::witt_mao_magnification_into(
        l, 1.0, 0.1, out, [&asked] { return ++asked == 2; });
    ASSERT_FALSE(filled.ok());
    EXPECT_EQ(filled.error().kind, models::ErrorKind::interrupted);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(out[1023], models::witt_mao_element(0.5, 0.1).value());
    EXPECT_EQ(out[1024], -7.0);
}

}  // namespace

namespace {

// The uniform law over a batch is the law's own magnification point by
// point: the point lens at rho = 0 and for a lens beyond the largest double
// of source radii, the small-source limit, NaN for a NaN separation, and
// the disc everywhere else.
TEST(UniformBatch, MatchesTheLawPointByPoint) {
    const models::LimbLaw law(models::LawKind::uniform, {});
    std::vector<double> u;
    std::vector<double> rho;
    const std::vector<double> us = {0.0,  -0.0,  1e-300, 1e-160, 1e-12, 1e-3, 0.01, 0.0099,
                                    0.1,  0.5,   1.0,    1.0001, 2.0,   30.0, 1e5,  1e100,
                                    1e101, 1e300, INF,   -INF,   NaN,   -0.5, -2.0};
    const std::vector<double> rs = {0.0,   5e-324, 1e-310, 1e-300, 1e-160, 1e-150,
                                    2e-150, 1e-20, 1e-3,   0.01,   0.1,    1.0,
                                    10.0,  1e5,    1e300,  INF,    NaN,    -0.01, -1e-200};
    for (const double r : rs) {
        for (const double x : us) {
            u.push_back(x);
            rho.push_back(r);
        }
        for (const double x : separations()) {
            u.push_back(x * r);
            rho.push_back(r);
        }
    }
    const Grid t = typical_grid(3000);
    for (std::size_t i = 0; i < t.x.size(); ++i) {
        u.push_back(t.x[i] * t.rho[i]);
        rho.push_back(t.rho[i]);
    }
    std::vector<double> out(u.size());
    models::uniform_magnifications(u.data(), rho.data(), out.data(), u.size());
    for (std::size_t i = 0; i < u.size(); ++i) {
        const double expected = law.magnification(u[i], rho[i]);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(out[i]), std::bit_cast<std::uint64_t>(expected))
            << "u=" << u[i] << " rho=" << rho[i] << " batch " << out[i] << " law " << expected;
    }
    // In place over the separations.
    std::vector<double> in_place = u;
    models::uniform_magnifications(in_place.data(), rho.data(), in_place.data(), u.size());
    EXPECT_EQ(std::memcmp(in_place.data(), out.data(), out.size() * sizeof(double)), 0);
}

}  // namespace
