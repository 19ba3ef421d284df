// The gradient of a limb-darkened magnification over arrays of points, which
// hands several points' discs to the gradient lanes together: every point
// must keep the bits of its gradient taken alone.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "models/limb_law.hpp"
#include "models/limb_law_gradient.hpp"

namespace {

using models::LawKind;
using models::LimbLaw;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double EPS = std::numeric_limits<double>::epsilon();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

struct Law {
    LawKind kind;
    std::vector<double> c;
};

// Every law with a gradient, with the logarithmic and power laws also
// without their singular term (whose coefficient slopes take a second
// layout), and a power law with a large exponent.
std::vector<Law> laws() {
    return {{LawKind::uniform, {}},
            {LawKind::linear, {0.6}},
            {LawKind::quadratic, {0.5, 0.2}},
            {LawKind::square_root, {0.3, 0.4}},
            {LawKind::logarithmic, {0.6, 0.2}},
            {LawKind::logarithmic, {0.6, 0.0}},
            {LawKind::power_2, {0.6, 0.6}},
            {LawKind::power_2, {0.6, 0.1}},
            {LawKind::power_2, {0.6, 4.5}},
            {LawKind::power_2, {0.0, 0.6}},
            {LawKind::nonlinear, {0.5, 0.1, 0.3, -0.1}}};
}

// Separations (Einstein radii) for a source of radius r: mostly near and
// inside the source, where points queue for the lanes, with the far field,
// the limb and its ulps, the centre and the points next to it (laid out at
// the centre, with a second layout for the slope), the point beyond 1e10
// radii and the special values among them.
std::vector<double> separations(double r) {
    std::vector<double> u;
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> near(0.0, 3.0);
    std::uniform_real_distribution<double> decades(0.0, 8.0);
    for (int i = 0; i < 260; ++i) {
        const double x = i % 7 == 6 ? std::pow(10.0, decades(rng)) : near(rng);
        u.push_back((i % 2 == 0 ? 1 : -1) * x * r);
    }
    for (const double x : {0.0, 1e-7, 1.0, 1 - EPS / 2, 1 + EPS, 1 - 1e-11, 7.99, 8.0, 1e10,
                           2e10}) {
        u.insert(u.begin() + 40, x * r);
    }
    for (const double x : {NaN, INF, -INF, -0.0, 1e300}) {
        u.insert(u.begin() + 77, x);
    }
    return u;
}

struct Gradients {
    std::vector<double> value, du, drho, dc;
    Gradients(std::size_t n, std::size_t k) : value(n), du(n), drho(n), dc(n * k) {}
    models::LawGradients out() { return {value.data(), du.data(), drho.data(), dc.data()}; }
};

void expect_alone(const LimbLaw& law, const std::vector<double>& u,
                  const std::vector<double>& r, const Gradients& got, const std::string& what) {
    const std::size_t k = law.coefficients().size();
    std::vector<double> dc(k);
    for (std::size_t i = 0; i < u.size(); ++i) {
        const models::LawGradient g = models::magnification_gradient(law, u[i], r[i], dc);
        const std::string where = what + " u=" + std::to_string(u[i]) + " rho=" +
                                  std::to_string(r[i]) + " law=" +
                                  std::to_string(static_cast<int>(law.kind()));
        ASSERT_EQ(bits(got.value[i]), bits(g.value)) << where;
        ASSERT_EQ(bits(got.value[i]), bits(law.magnification(u[i], r[i]))) << where;
        ASSERT_EQ(bits(got.du[i]), bits(g.du)) << where;
        ASSERT_EQ(bits(got.drho[i]), bits(g.drho)) << where;
        for (std::size_t j = 0; j < k; ++j) {
            ASSERT_EQ(bits(got.dc[i * k + j]), bits(dc[j])) << where << " c" << j;
        }
    }
}

// Whatever the mixture of points, with one radius or one per point, each
// point's value, slopes and coefficient slopes are the single point's.
TEST(LawGradientBatch, EveryPointHasTheSinglePointsBits) {
    for (const Law& l : laws()) {
        const LimbLaw law(l.kind, l.c);
        const std::size_t k = l.c.size();
        for (const double r : {0.01, 1.0, 300.0, 1e-160, 0.0}) {
            const std::vector<double> u = separations(r);
            const std::vector<double> radii(u.size(), r);
            Gradients one(u.size(), k);
            models::law_gradients(law, u.data(), r, one.out(), u.size());
            expect_alone(law, u, radii, one, "one radius");
            Gradients each(u.size(), k);
            models::law_gradients(law, u.data(), radii.data(), each.out(), u.size());
            expect_alone(law, u, radii, each, "per point");
        }
    }
}

// Radii that change from point to point (so that the layouts' lengths
// differ and points straddle the queue's flushes), with the value written
// over the separations or over the radii.
TEST(LawGradientBatch, RadiiPerPointAndValueInPlace) {
    for (const Law& l : laws()) {
        const LimbLaw law(l.kind, l.c);
        const std::size_t k = l.c.size();
        std::vector<double> u;
        std::vector<double> r;
        for (int i = 0; i < 400; ++i) {
            r.push_back(i % 11 == 0 ? 0.0 : std::pow(10.0, -4 + 0.0125 * i));
            u.push_back((i % 3 == 0 ? -1 : 1) * std::max(r.back(), 1e-3) * 0.0079 * i);
        }
        Gradients plain(u.size(), k);
        models::law_gradients(law, u.data(), r.data(), plain.out(), u.size());
        expect_alone(law, u, r, plain, "per point");
        Gradients over_u(u.size(), k);
        over_u.value = u;
        models::law_gradients(law, over_u.value.data(), r.data(), over_u.out(), u.size());
        expect_alone(law, u, r, over_u, "over u");
        Gradients over_r(u.size(), k);
        over_r.value = r;
        models::law_gradients(law, u.data(), over_r.value.data(), over_r.out(), u.size());
        expect_alone(law, u, r, over_r, "over rho");
    }
}

}  // namespace
