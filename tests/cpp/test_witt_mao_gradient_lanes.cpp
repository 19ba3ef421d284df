// The uniform-disc gradient element over batches: every dispatch level the
// processor supports gives the scalar gradient element's value and slopes
// bit for bit, lane by lane, whatever the mix of paths in a lane group.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "models/limb_law.hpp"
#include "models/limb_law_gradient.hpp"
#include "models/witt_mao.hpp"
#include "models/witt_mao_gradient.hpp"
#include "models/witt_mao_lanes.hpp"
#include "runtime/cpu_features.hpp"

namespace {

using runtime::SimdLevel;

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

const SimdLevel LEVELS[] = {SimdLevel::baseline, SimdLevel::avx2, SimdLevel::avx512};

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

struct Grid {
    std::vector<double> x;
    std::vector<double> rho;
    void add(double xv, double rv) {
        x.push_back(xv);
        rho.push_back(rv);
    }
    void shuffle(std::uint64_t seed) {
        std::mt19937_64 rng(seed);
        for (std::size_t i = x.size(); i > 1; --i) {
            const std::size_t j = rng() % i;
            std::swap(x[i - 1], x[j]);
            std::swap(rho[i - 1], rho[j]);
        }
    }
};

// The batch at `level` over [begin, begin + n) against the scalar gradient
// element, every field's every bit; nothing written outside the batch.
void expect_identical(SimdLevel level, const Grid& g, std::size_t begin, std::size_t n) {
    const double* x = g.x.data() + begin;
    const double* rho = g.rho.data() + begin;
    std::vector<double> fields[4];
    for (auto& f : fields) {
        f.assign(n + 2, -7.0);
    }
    const models::DiscGradients out{fields[0].data() + 1, fields[1].data() + 1,
                                    fields[2].data() + 1, fields[3].data() + 1};
    const std::size_t failure = models::witt_mao_gradient_elements_at(level, x, rho, out, n);
    std::size_t expected_failure = n;
    for (std::size_t i = 0; i < n; ++i) {
        const models::DiscGradient e = models::witt_mao_gradient_element(x[i], rho[i]);
        if (!e.ok() && expected_failure == n) {
            expected_failure = i;
        }
        const double want[4] = {e.value, e.du, e.drho, e.scaling};
        const char* names[4] = {"value", "du", "drho", "scaling"};
        for (int f = 0; f < 4; ++f) {
            ASSERT_EQ(bits(fields[f][i + 1]), bits(want[f]))
                << runtime::simd_name(level) << " " << names[f] << ": x=" << x[i]
                << " rho=" << rho[i] << " batch " << fields[f][i + 1] << " scalar " << want[f];
        }
        // The value is the value element's, so that A beside its gradient
        // is the magnification's.
        const ellip::Result v = models::witt_mao_element(x[i], rho[i]);
        if (v.ok()) {
            ASSERT_EQ(bits(fields[0][i + 1]), bits(v.value())) << "x=" << x[i] << " rho=" << rho[i];
        }
    }
    EXPECT_EQ(failure, expected_failure) << runtime::simd_name(level) << " n=" << n;
    for (const auto& f : fields) {
        EXPECT_EQ(f[0], -7.0);
        EXPECT_EQ(f[n + 1], -7.0);
    }
}

// Separations across every branch of the slopes: the centre, the disc,
// the limb and ulps either side, |d| = 2 for the radii below, the series of
// K - 2D (small m), x = 100 where dA/drho turns to the mean-value series,
// the far field at 1e3 and beyond, non-finite and signed values.
std::vector<double> separations() {
    std::vector<double> x = {0.0,  -0.0,  5e-324, 1e-300, 1e-20, 1e-5,  1e-3,  0.05,
                             0.5,  0.999, 1.001,  2.0,    3.0,   10.0,  99.0,  100.0,
                             101.0, 500.0, 999.0, 1e3,    1001.0, 2e3,  1e5,   1e10,
                             1e100, 1e300, INF,   -INF,   NaN,    -0.5, -1.0,  -3.0,
                             -150.0, -2e3, std::nextafter(100.0, 0.0),
                             std::nextafter(1e3, 0.0)};
    for (int k = 1; k <= 120; ++k) {
        x.push_back(k * 0.025 + 0.0031 * (k % 7));
    }
    for (double e = 1e-2; e > 1e-15; e /= 10) {
        x.push_back(1 - e);
        x.push_back(1 + e);
    }
    double below = 1.0;
    double above = 1.0;
    x.push_back(1.0);
    for (int k = 0; k < 4; ++k) {
        below = std::nextafter(below, 0.0);
        above = std::nextafter(above, 2.0);
        x.push_back(below);
        x.push_back(above);
    }
    return x;
}

std::vector<double> radii() {
    return {0.0,  5e-324, 1e-310, 1e-300, 1e-150, 1e-20, 1e-10, 1e-4, 1e-3, 0.01,
            0.1,  0.3,    1.0,    1.7,    2.0,    10.0,  1e3,   1e10, 1e150, 1e300,
            1e306, INF,   NaN,    -0.1,   -1.0,   3e-7,  0.999, 5.5};
}

Grid mixed_grid() {
    Grid g;
    for (const double r : radii()) {
        for (const double x : separations()) {
            g.add(x, r);
        }
    }
    g.shuffle(20261209);
    return g;
}

// Pairs as fitting calls and the darkened quadrature meet them.
Grid typical_grid(std::size_t n) {
    Grid g;
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = i % 2 == 0 ? 3 * unit(rng) : std::pow(10.0, -3 + 6 * unit(rng));
        g.add(x, std::pow(10.0, -4 + 5 * unit(rng)));
    }
    return g;
}

class GradientLanes : public ::testing::TestWithParam<SimdLevel> {
protected:
    void SetUp() override {
        if (!runtime::simd_supported(GetParam())) {
            GTEST_SKIP() << runtime::simd_name(GetParam()) << " not supported here";
        }
    }
};

TEST_P(GradientLanes, MixedPathsInOneBatchMatchTheScalarElement) {
    const Grid g = mixed_grid();
    expect_identical(GetParam(), g, 0, g.x.size());
    const Grid t = typical_grid(30000);
    expect_identical(GetParam(), t, 0, t.x.size());
}

TEST_P(GradientLanes, ShortLengthsAndOddTailsMatch) {
    const Grid g = mixed_grid();
    const Grid t = typical_grid(1200);
    for (std::size_t n = 0; n <= 9; ++n) {
        for (std::size_t begin = 0; begin < 24; begin += 5) {
            expect_identical(GetParam(), g, begin, n);
            expect_identical(GetParam(), t, begin, n);
        }
    }
    for (const std::size_t n : {13, 255, 256, 257, 1027}) {
        expect_identical(GetParam(), g, 3, n);
        expect_identical(GetParam(), t, 1, n);
    }
}

// Each threshold of the slopes with lanes of both sides in one group: the
// limb zone (mc = 1e-3, near x = 1 for small sources), the series of K - 2D
// at m = 0.1, |d| = 2 where the denominator changes form, dA/drho's series
// from x = 100, and u = 2 where the far-field series change variable.
TEST_P(GradientLanes, ThresholdsOfTheSlopesMatch) {
    Grid g;
    std::mt19937_64 rng(13);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 6000; ++i) {
        const double jitter = std::pow(2.0, 1e-3 * (unit(rng) - 0.5));
        const double rho = std::pow(10.0, -4 + 4 * unit(rng));
        switch (i % 6) {
            case 0:  // next to the limb, 2^-1 .. 2^-40 either side
                g.add(1 + std::ldexp(i % 12 < 6 ? 1.0 : -1.0, -(i % 40) - 1), rho);
                break;
            case 1: {  // m = 4 n / (d^2 + 4) around 0.1: n = 4x/(x+1)^2 ~ 0.1 for small rho
                const double x = 37.97 * jitter;
                g.add(x, rho);
                break;
            }
            case 2: {  // |d| = rho |x - 1| around 2
                const double r = std::pow(10.0, -1 + 2 * unit(rng));
                g.add(1 + (i % 12 < 6 ? 1 : -1) * 2 / r * jitter, r);
                break;
            }
            case 3:  // x around 100
                g.add(100 * jitter, rho);
                break;
            case 4: {  // far field, u around 2 and either side
                const double x = std::pow(10.0, 3 + 2 * unit(rng));
                const double u = i % 4 == 0 ? 2 * jitter : std::pow(10.0, -1.5 + 2.5 * unit(rng));
                g.add(x, u / x);
                break;
            }
            default:  // x from 100 to 1e3 on both sides of u = 2
                g.add(std::pow(10.0, 2 + unit(rng)), std::pow(10.0, -3 + 2 * unit(rng)));
                break;
        }
    }
    expect_identical(GetParam(), g, 0, g.x.size());
}

INSTANTIATE_TEST_SUITE_P(Levels, GradientLanes, ::testing::ValuesIn(LEVELS),
                         [](const auto& info) {
                             return std::string(runtime::simd_name(info.param));
                         });

// The wide kernels must keep most pairs of a fitting grid in the lanes: a
// kernel that listed every lane for the scalar element would match it
// trivially.
TEST(GradientLaneKernels, MostTypicalPairsStayInTheLanes) {
    const Grid g = typical_grid(models::LANE_BLOCK);
    std::vector<double> fields[4];
    for (auto& f : fields) {
        f.assign(models::LANE_BLOCK, 0.0);
    }
    const models::DiscGradients out{fields[0].data(), fields[1].data(), fields[2].data(),
                                    fields[3].data()};
    std::uint16_t rare[models::LANE_BLOCK];
    using Wide = std::size_t (*)(const double*, const double*, const models::DiscGradients&,
                                 std::uint16_t*, std::size_t) noexcept;
    const std::pair<SimdLevel, Wide> kernels[] = {
        {SimdLevel::avx2, models::witt_mao_gradient_lanes_avx2},
        {SimdLevel::avx512, models::witt_mao_gradient_lanes_avx512}};
    for (const auto& [level, wide] : kernels) {
        if (!runtime::simd_supported(level)) {
            continue;
        }
        const std::size_t count = wide(g.x.data(), g.rho.data(), out, rare, g.x.size());
        EXPECT_LT(count, models::LANE_BLOCK / 4) << runtime::simd_name(level);
    }
}

// The uniform law over a batch is the law's gradient point by point: the
// point lens at rho = 0 and for a lens beyond the largest double of source
// radii, the small-source limit's chain rule, NaN for a NaN separation, the
// sign of u in du and 0 at u = 0, and the disc everywhere else.
TEST(UniformGradientBatch, MatchesTheLawPointByPoint) {
    const models::LimbLaw law(models::LawKind::uniform, {});
    std::vector<double> u;
    std::vector<double> rho;
    const std::vector<double> us = {0.0,   -0.0,  1e-300, 1e-160, 1e-12, 1e-3, 0.01, 0.0099,
                                    0.1,   0.5,   1.0,    1.0001, 2.0,   30.0, 1e5,  1e100,
                                    1e101, 1e300, INF,    -INF,   NaN,   -0.5, -2.0, -0.01};
    const std::vector<double> rs = {0.0,   5e-324, 1e-310, 1e-300, 1e-160, 1e-150, 2e-150,
                                    1e-20, 1e-3,   0.01,   0.1,    1.0,    10.0,   1e5,
                                    1e300};
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
        u.push_back((i % 3 == 0 ? -1 : 1) * t.x[i] * t.rho[i]);
        rho.push_back(t.rho[i]);
    }
    const std::size_t n = u.size();
    std::vector<double> value(n);
    std::vector<double> du(n);
    std::vector<double> drho(n);
    models::uniform_gradients(law, u.data(), rho.data(), value.data(), du.data(), drho.data(), n);
    for (std::size_t i = 0; i < n; ++i) {
        const models::LawGradient g = models::magnification_gradient(law, u[i], rho[i], {});
        ASSERT_EQ(bits(value[i]), bits(g.value)) << "u=" << u[i] << " rho=" << rho[i];
        ASSERT_EQ(bits(du[i]), bits(g.du)) << "u=" << u[i] << " rho=" << rho[i];
        ASSERT_EQ(bits(drho[i]), bits(g.drho)) << "u=" << u[i] << " rho=" << rho[i];
        // A beside its gradient is the magnification's own.
        ASSERT_EQ(bits(value[i]), bits(law.magnification(u[i], rho[i])))
            << "u=" << u[i] << " rho=" << rho[i];
    }
}

}  // namespace
