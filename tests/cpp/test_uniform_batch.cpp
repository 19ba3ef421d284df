// The uniform law over points that share one source radius gives every
// point the law's own value bit for bit, in blocks that go straight to the
// vector element and in blocks that hold the law's special points.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "models/limb_law.hpp"
#include "models/limb_law_uniform_batch.hpp"

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double MAX = std::numeric_limits<double>::max();

// Separations in Einstein radii for radius r: through and around the disc,
// by the limb and far away, with the special values dropped into the middle
// of the third block of 256 and alone in the last one.
std::vector<double> separations(double r, std::size_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> inside(0.0, 3.0);
    std::normal_distribution<double> limb(1.0, 1e-4);
    std::uniform_real_distribution<double> decades(0.0, 6.0);
    std::vector<double> u;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = i % 3 == 0 ? inside(rng) : i % 3 == 1 ? limb(rng)
                                                               : std::pow(10.0, decades(rng));
        u.push_back((i % 2 == 0 ? 1 : -1) * x * r);
    }
    const double special[] = {0.0, -0.0, NaN, INF, -INF, 1e300, MAX, 5e-324};
    std::size_t at = std::min<std::size_t>(600, u.size());
    for (const double s : special) {
        u.insert(u.begin() + static_cast<std::ptrdiff_t>(at++), s);
    }
    u.resize(((u.size() + 255) / 256) * 256);  // whole blocks, then one lone point
    u.push_back(NaN);
    return u;
}

void expect_law_values(const std::vector<double>& u, double r, const std::vector<double>& out) {
    const models::LimbLaw law(models::LawKind::uniform, {});
    for (std::size_t i = 0; i < u.size(); ++i) {
        const double expected = law.magnification(u[i], r);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(out[i]), std::bit_cast<std::uint64_t>(expected))
            << "u=" << u[i] << " rho=" << r << " got " << out[i] << " law " << expected;
    }
}

TEST(UniformOneRadius, EveryPointHasTheLawsValueInPlaceOrNot) {
    const double radii[] = {0.0,  5e-324, 1e-300, 1e-160, 1e-150, 2e-150, 1e-20, 1e-3,
                            0.01, 0.3,    1.0,    10.0,   1e300,  MAX,    INF,   NaN,
                            -0.01};
    std::mt19937_64 rng(17);
    for (const double r : radii) {
        const std::vector<double> u = separations(std::isfinite(r) && r > 0 ? r : 0.01, 900, rng);
        std::vector<double> out(u.size());
        models::uniform_magnifications(u.data(), r, out.data(), u.size());
        expect_law_values(u, r, out);
        std::vector<double> in_place = u;
        models::uniform_magnifications(in_place.data(), r, in_place.data(), u.size());
        expect_law_values(u, r, in_place);
    }
}

TEST(UniformOneRadius, LengthsAroundTheBlockMatchTheArrayOfRadii) {
    std::mt19937_64 rng(3);
    const std::vector<double> all = separations(0.02, 1200, rng);
    for (const std::size_t n : {0, 1, 7, 8, 9, 255, 256, 257, 511, 513}) {
        const std::vector<double> u(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
        const std::vector<double> rho(n, 0.02);
        std::vector<double> one(n + 1, -7.0);
        std::vector<double> many(n + 1, -7.0);
        models::uniform_magnifications(u.data(), 0.02, one.data(), n);
        models::uniform_magnifications(u.data(), rho.data(), many.data(), n);
        for (std::size_t i = 0; i <= n; ++i) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(one[i]), std::bit_cast<std::uint64_t>(many[i]))
                << "n=" << n << " i=" << i;
        }
        EXPECT_EQ(one[n], -7.0) << "wrote past the end, n=" << n;
    }
}

}  // namespace
