// The limb-darkened magnification over arrays of points, which lays out
// several points' discs for the vector element together, and the nodes'
// logarithms and powers, formed in vector lanes by the layout's own
// functions.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "models/limb_law.hpp"
#include "models/limb_law_powers.hpp"
#include "runtime/cpu_features.hpp"

namespace {

using models::LawKind;
using models::LimbLaw;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double EPS = std::numeric_limits<double>::epsilon();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Arguments in (0, 1]: every binade down to 1e-300, both sides of the
// reduction's sqrt(1/2) split, and the last ulps below 1 where ln s is
// nearly 0 and only a relative error counts.
std::vector<double> unit_arguments() {
    std::vector<double> s;
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> mantissa(0.5, 1.0);
    for (int e = 0; e > -997; e -= 3) {
        s.push_back(std::ldexp(mantissa(rng), e));
        s.push_back(std::ldexp(1.0, e));
    }
    for (double x = 1e-3; x < 1; x += 0.00731) {
        s.push_back(x);
    }
    const double split = std::sqrt(0.5);
    for (int k = -3; k <= 3; ++k) {
        s.push_back(split + k * EPS);
    }
    for (int k = 1; k < 40; ++k) {
        s.push_back(1 - k * EPS / 2);
        s.push_back(1 - k * 1e-9);
    }
    s.push_back(1);
    return s;
}

TEST(SingularParts, LogarithmWithinAFewUlps) {
    double worst = 0;
    for (const double s : unit_arguments()) {
        const long double exact = std::log(static_cast<long double>(s));
        const double got = models::unit_log(s);
        if (s == 1) {
            EXPECT_EQ(got, 0.0);
            continue;
        }
        const double error = static_cast<double>(std::fabs((got - exact) / exact));
        worst = std::max(worst, error);
        ASSERT_LE(error, 2 * EPS) << "s=" << s;
    }
    RecordProperty("worst_log_error", std::to_string(worst));
}

// A power's relative error grows with its exponent's size, |beta ln s|
// ulps from the logarithm carried into the exponential; below 1e-304 it is
// taken as 0.
TEST(SingularParts, PowerWithinItsExponentsUlps) {
    for (const double beta : {-0.999999, -0.5, 0.0, 1e-9, 0.2, 1.0, 3.7, 50.0, 400.0, 1e6}) {
        for (const double s : unit_arguments()) {
            const long double exact =
                std::pow(static_cast<long double>(s), static_cast<long double>(beta));
            const double got = models::unit_power(s, beta);
            if (exact < 1e-304L) {
                EXPECT_LE(got, 1e-300) << "s=" << s << " beta=" << beta;
                continue;
            }
            const double size = std::fabs(beta * std::log(s));
            const double error = static_cast<double>(std::fabs((got - exact) / exact));
            ASSERT_LE(error, (3 + 2 * size) * EPS) << "s=" << s << " beta=" << beta;
        }
    }
}

// Each lane width, each length (full groups and every tail), gives the
// scalar functions' bits; s = 0 and s below the bodies' range take the
// library's values.  A part not asked for is left as it was, in the last
// partial lane group too.
TEST(SingularParts, EveryWidthGivesTheSameBits) {
    std::vector<double> s = unit_arguments();
    s.insert(s.begin() + 5, 0.0);
    s.insert(s.begin() + 9, 1e-310);
    std::vector<double> m(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        m[i] = 0.25 + 0.001 * static_cast<double>(i);
    }
    const double beta = 0.37;
    const double gamma = 1.37;
    for (const auto level : {runtime::SimdLevel::baseline, runtime::SimdLevel::avx2,
                             runtime::SimdLevel::avx512}) {
        for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{7},
                                    std::size_t{13}, std::size_t{31}, s.size()}) {
            for (const bool log_only : {false, true}) {
                std::vector<double> lp(n, NaN);
                std::vector<double> pp(n, NaN);
                models::singular_parts_at(level, s.data(), m.data(), n, log_only, !log_only, beta,
                                          gamma, lp.data(), pp.data());
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_TRUE(std::isnan(log_only ? pp[i] : lp[i]))
                        << runtime::simd_name(level) << " n=" << n << " i=" << i;
                }
            }
            std::vector<double> lp(n, NaN);
            std::vector<double> pp(n, NaN);
            models::singular_parts_at(level, s.data(), m.data(), n, true, true, beta, gamma,
                                      lp.data(), pp.data());
            for (std::size_t i = 0; i < n; ++i) {
                const double si = s[i];
                const double log_expected =
                    si >= 1e-300 ? m[i] * (si * models::unit_log(si))
                                 : (si > 0 ? m[i] * (si * std::log(si)) : 0.0);
                const double power_expected =
                    si >= 1e-300 ? m[i] * (gamma * models::unit_power(si, beta))
                                 : m[i] * (gamma * std::pow(si, beta));
                ASSERT_EQ(bits(lp[i]), bits(log_expected))
                    << runtime::simd_name(level) << " n=" << n << " s=" << si;
                ASSERT_EQ(bits(pp[i]), bits(power_expected))
                    << runtime::simd_name(level) << " n=" << n << " s=" << si;
            }
        }
    }
}

// The gradient's logarithms of the nodes are those of the weights' powers.
TEST(SingularParts, LogarithmsTogetherAreTheSingleOnes) {
    std::vector<double> s = unit_arguments();
    s.push_back(1e-310);
    std::vector<double> out(s.size());
    models::unit_logs(s.data(), out.data(), s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        ASSERT_EQ(bits(out[i]), bits(models::unit_log(s[i]))) << "s=" << s[i];
    }
}

struct Law {
    LawKind kind;
    std::vector<double> c;
};

std::vector<Law> laws() {
    return {{LawKind::uniform, {}},
            {LawKind::linear, {0.6}},
            {LawKind::quadratic, {0.5, 0.2}},
            {LawKind::square_root, {0.3, 0.4}},
            {LawKind::logarithmic, {0.6, 0.2}},
            {LawKind::power_2, {0.6, 0.6}},
            {LawKind::power_2, {0.6, 0.1}},
            {LawKind::nonlinear, {0.5, 0.1, 0.3, -0.1}}};
}

// Separations (Einstein radii) for a source of radius r: mostly inside and
// near the source, where the quadrature runs and points queue, with the far
// field, the limb and its ulps, the centre, and the special values among
// them.
std::vector<double> batch_separations(double r) {
    std::vector<double> u;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> near(0.0, 3.0);
    std::uniform_real_distribution<double> decades(0.0, 8.0);
    for (int i = 0; i < 300; ++i) {
        const double x = i % 5 == 4 ? std::pow(10.0, decades(rng)) : near(rng);
        u.push_back((i % 2 == 0 ? 1 : -1) * x * r);
    }
    for (const double x : {0.0, 1e-7, 1.0, 1 - EPS / 2, 1 + EPS, 8.0, 1e10, 2e10}) {
        u.insert(u.begin() + 40, x * r);
    }
    for (const double x : {NaN, INF, -0.0, 1e300}) {
        u.insert(u.begin() + 77, x);
    }
    return u;
}

// Whatever the mixture of points, each has magnification()'s value bit for
// bit: the queued points' sums are the single point's, and the points the
// quadrature does not serve go the single point's way.
TEST(LawBatch, EveryPointHasTheSinglePointsBits) {
    for (const Law& l : laws()) {
        const LimbLaw law(l.kind, l.c);
        for (const double r : {0.01, 1.0, 300.0, 1e-160, 0.0}) {
            const std::vector<double> u = batch_separations(r);
            std::vector<double> one(u.size());
            std::vector<double> each(u.size());
            const std::vector<double> radii(u.size(), r);
            law.magnifications(u.data(), r, one.data(), u.size());
            law.magnifications(u.data(), radii.data(), each.data(), u.size());
            for (std::size_t i = 0; i < u.size(); ++i) {
                const double expected = law.magnification(u[i], r);
                ASSERT_EQ(bits(one[i]), bits(expected)) << "u=" << u[i] << " rho=" << r;
                ASSERT_EQ(bits(each[i]), bits(expected)) << "u=" << u[i] << " rho=" << r;
            }
        }
    }
}

// Radii that differ from point to point, written over the separations or
// over the radii themselves.
TEST(LawBatch, RadiiPerPointAndOutputInPlace) {
    const LimbLaw law(LawKind::quadratic, std::vector<double>{0.5, 0.2});
    std::vector<double> u;
    std::vector<double> r;
    for (int i = 0; i < 200; ++i) {
        r.push_back(std::pow(10.0, -3 + 0.03 * i));
        u.push_back(r.back() * 0.013 * i);
    }
    std::vector<double> expected(u.size());
    for (std::size_t i = 0; i < u.size(); ++i) {
        expected[i] = law.magnification(u[i], r[i]);
    }
    std::vector<double> over_u = u;
    law.magnifications(over_u.data(), r.data(), over_u.data(), u.size());
    std::vector<double> over_r = r;
    law.magnifications(u.data(), over_r.data(), over_r.data(), u.size());
    for (std::size_t i = 0; i < u.size(); ++i) {
        ASSERT_EQ(bits(over_u[i]), bits(expected[i])) << i;
        ASSERT_EQ(bits(over_r[i]), bits(expected[i])) << i;
    }
}

}  // namespace
