// Limb-darkening laws with their own coefficients: validation, the basis the
// quadrature works in, and the magnification against the classic
// limb-darkened route and the closed forms it must reduce to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "models/integrated.hpp"
#include "models/limb_law.hpp"
#include "models/limb_law_far_field.hpp"
#include "models/witt_mao.hpp"
#include "quadrature/gauss_legendre.hpp"

namespace {

using models::LawKind;
using models::LimbLaw;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

const char* problem(LawKind kind, std::vector<double> c) { return LimbLaw::problem(kind, c); }

TEST(LawNames, EveryLawIsFoundByItsNameWithItsCount) {
    int counted = 0;
    for (const models::LawName& law : models::law_names()) {
        EXPECT_EQ(models::find_law(law.name), &law);
        ++counted;
    }
    EXPECT_EQ(counted, 8);
    EXPECT_EQ(models::find_law("quadratic")->count, 2);
    EXPECT_EQ(models::find_law("nonlinear")->count, 4);
    EXPECT_EQ(models::find_law("Quadratic"), nullptr);
    EXPECT_EQ(models::find_law(""), nullptr);
}

// Each law's brightness must stay >= 0 on the whole disc: the boundary of
// the valid range is accepted, a step beyond it is not, whether the minimum
// lies at the limb or inside the disc.
TEST(LawProblem, NegativeBrightnessIsFoundWhereverItDips) {
    EXPECT_EQ(problem(LawKind::linear, {1.0}), nullptr);    // zero at the limb
    EXPECT_NE(problem(LawKind::linear, {1.001}), nullptr);
    EXPECT_EQ(problem(LawKind::linear, {-5.0}), nullptr);   // limb brightening
    EXPECT_EQ(problem(LawKind::quadratic, {0.4, 0.6}), nullptr);
    EXPECT_NE(problem(LawKind::quadratic, {0.4, 0.61}), nullptr);
    // 1 - a t - b t^2 with a < 0 < ... dipping inside: a = 3, b = -2 gives
    // 1 - 3t + 2t^2 = (1 - t)(1 - 2t), negative for t in (1/2, 1).
    EXPECT_NE(problem(LawKind::quadratic, {3.0, -2.0}), nullptr);
    EXPECT_EQ(problem(LawKind::quadratic, {2.0, -1.0}), nullptr);  // mu^2
    // Square root: 1 - c(1 - s^2) - d(1 - s) = 1 - 4(1 - s) + 4(1 - s)^2... with
    // c = -4, d = 4: 1 + 4 - 4s^2 - 4 + 4s = 1 + 4s - 4s^2 >= 0 on [0, 1].
    EXPECT_EQ(problem(LawKind::square_root, {-4.0, 4.0}), nullptr);
    EXPECT_NE(problem(LawKind::square_root, {0.5, 0.6}), nullptr);
    // (1 - 2s)^2 = 1 - 4s + 4s^2 touches zero inside at s = 1/2: c = 4,
    // d = -4 gives 1 - 4 + 4s^2 + 4 - 4s; a hair more dips below.
    EXPECT_EQ(problem(LawKind::square_root, {4.0, -4.0}), nullptr);
    EXPECT_NE(problem(LawKind::square_root, {4.001, -4.0}), nullptr);
    EXPECT_EQ(problem(LawKind::logarithmic, {1.0, 0.0}), nullptr);
    EXPECT_NE(problem(LawKind::logarithmic, {1.01, 0.0}), nullptr);
    // f < 0 with e = 0: I = 1 + |f| mu ln mu, least 1 - |f|/e at mu = 1/e.
    EXPECT_EQ(problem(LawKind::logarithmic, {0.0, -2.7}), nullptr);
    EXPECT_NE(problem(LawKind::logarithmic, {0.0, -2.72}), nullptr);
    EXPECT_EQ(problem(LawKind::power_2, {1.0, 0.01}), nullptr);
    EXPECT_NE(problem(LawKind::power_2, {1.01, 0.6}), nullptr);
    EXPECT_NE(problem(LawKind::power_2, {0.5, 0.0}), nullptr);
    EXPECT_EQ(problem(LawKind::power_2, {0.5, 1e-300}), nullptr);
    EXPECT_NE(problem(LawKind::power_2, {0.5, 1e101}), nullptr);
    EXPECT_NE(problem(LawKind::quadratic, {-1e101, 0.0}), nullptr);
    EXPECT_NE(problem(LawKind::power_2, {0.5, -1.0}), nullptr);
    EXPECT_EQ(problem(LawKind::nonlinear, {0.6, -0.2, 0.6, -0.25}), nullptr);
    EXPECT_NE(problem(LawKind::nonlinear, {0.6, 0.2, 0.6, -0.25}), nullptr);
    // 1 - sum a_k (1 - s^k) = (2s - 1)^2 (s^2 + ...) style dip inside the disc:
    // a = (4, -4, 0, 0) gives 1 - 4 + 4s + 4 - 4s^2 = 1 + 4s - 4s^2 >= 1... and
    // a = (-4, 4, 0, 0) gives 1 - 4s + 4s^2 = (1 - 2s)^2, zero at s = 1/2.
    EXPECT_EQ(problem(LawKind::nonlinear, {-4.0, 4.0, 0.0, 0.0}), nullptr);
    EXPECT_NE(problem(LawKind::nonlinear, {-4.0, 4.001, 0.0, 0.0}), nullptr);
    for (const double bad : {NaN, INF, -INF}) {
        EXPECT_NE(problem(LawKind::linear, {bad}), nullptr);
        EXPECT_NE(problem(LawKind::power_2, {0.5, bad}), nullptr);
    }
}

TEST(LawProblem, Tables) {
    const std::vector<double> r{0.0, 0.5, 1.0};
    EXPECT_EQ(LimbLaw::table_problem(r, std::vector<double>{1.0, 0.8, 0.4}), nullptr);
    EXPECT_NE(LimbLaw::table_problem(r, std::vector<double>{1.0, 0.8}), nullptr);
    EXPECT_NE(LimbLaw::table_problem(r, std::vector<double>{1.0, -0.1, 0.4}), nullptr);
    EXPECT_NE(LimbLaw::table_problem(r, std::vector<double>{0.0, 0.0, 0.0}), nullptr);
    EXPECT_NE(LimbLaw::table_problem(std::vector<double>{0.0, 0.6, 0.5},
                                     std::vector<double>{1.0, 1.0, 1.0}),
              nullptr);
    EXPECT_NE(LimbLaw::table_problem(std::vector<double>{0.0, 1.5}, std::vector<double>{1.0, 1.0}),
              nullptr);
    EXPECT_NE(LimbLaw::table_problem({}, {}), nullptr);
}

// A small source far from the lens sees the point-lens magnification f and
// its Laplacian: A = f(u) + (rho^2 / 4) <r^2> Lap f + O(rho^4), where <r^2>
// is the brightness-weighted mean square radius.  This checks each law's
// slope, limb brightness and flux (which the quadrature takes from closed
// forms) against its brightness alone, integrated here by Simpson's rule.
TEST(LimbLaw, SlopeAndFluxAgreeWithTheBrightness) {
    const std::vector<std::pair<LawKind, std::vector<double>>> laws{
        {LawKind::linear, {0.6}},
        {LawKind::quadratic, {0.4, 0.25}},
        {LawKind::square_root, {0.1, 0.6}},
        {LawKind::logarithmic, {0.7, 0.2}},
        {LawKind::power_2, {0.7, 0.5}},
        {LawKind::nonlinear, {0.6, -0.2, 0.6, -0.25}},
    };
    for (const auto& [kind, c] : laws) {
        const LimbLaw law(kind, c);
        EXPECT_DOUBLE_EQ(law.brightness(1.0), 1.0);
        // In s = sqrt(mu): r^2 = 1 - s^4, 2 mu dmu = 4 s^3 ds.
        const int n = 4000;
        double flux = 0;
        double moment = 0;
        for (int i = 0; i <= n; ++i) {
            const double s = static_cast<double>(i) / n;
            const double weight = (i == 0 || i == n) ? 1 : (i % 2 ? 4 : 2);
            const double f = weight * law.brightness(s * s) * 4 * s * s * s;
            flux += f;
            moment += f * (1 - s * s * s * s);
        }
        const double mean_square = moment / flux;
        const double u = 0.1;
        const double rho = 1e-4;
        const double root = std::sqrt(u * u + 4);
        const double point = (u * u + 2) / (u * root);
        const double laplacian = 32 * (u * u + 1) / (u * u * u * std::pow(root, 5));
        const double second = rho * rho / 4 * mean_square * laplacian;
        EXPECT_NEAR(law.magnification(u, rho) - point, second, 1e-4 * second)
            << models::law_names()[static_cast<std::size_t>(kind)].name;
    }
}

// The linear law at the built-in coefficient is the classic limb-darkened
// curve (up to its stored flux constant) everywhere: inside, on and just
// beside the limb, near the centre, far away, small and large sources.
TEST(LimbLaw, LinearMatchesTheClassicIntegratedCurve) {
    const LimbLaw law(LawKind::linear, std::vector<double>{0.6});
    const double flux_ratio = models::LinearLimbDarkening::BUILT_IN_NORM / (M_PI * 0.8);
    double worst = 0;
    for (const double rho : {1e-6, 1e-3, 0.1, 1.0, 30.0, 1e3}) {
        for (const double l : {0.0, 1e-7, 1e-3, 0.2, 0.5, 0.7, 0.9, 1 - 1e-9,
                               std::nextafter(1.0, 0.0), 1.0, std::nextafter(1.0, 2.0), 1 + 1e-9,
                               1.01, 1.5, 3.0, 9.0, 100.0, 1e4, 1e6}) {
            const double classic =
                models::integrated_witt_mao_magnification({l}, 1.0, rho).value()[0] * flux_ratio;
            const double value = law.magnification(l * rho, rho);
            worst = std::max(worst, std::fabs(value - classic) / classic);
        }
    }
    EXPECT_LT(worst, 3e-11);
}

TEST(LimbLaw, SpecialArguments) {
    const LimbLaw uniform(LawKind::uniform, {});
    const LimbLaw law(LawKind::quadratic, std::vector<double>{0.4, 0.25});
    // The uniform law is the uniform-disc element itself, bit for bit.
    for (const double l : {0.0, 0.5, 1.0, 2.0, 1e5}) {
        EXPECT_EQ(uniform.magnification(l * 0.01, 0.01), models::witt_mao_element(l, 0.01).value());
    }
    for (const LimbLaw* a : {&uniform, &law}) {
        EXPECT_TRUE(std::isnan(a->magnification(NaN, 0.1)));
        EXPECT_EQ(a->magnification(-0.03, 0.1), a->magnification(0.03, 0.1));
        // A point source: the point-lens magnification.
        EXPECT_DOUBLE_EQ(a->magnification(0.5, 0.0), (0.25 + 2) / (0.5 * std::sqrt(0.25 + 4)));
        EXPECT_EQ(a->magnification(0.0, 0.0), INF);
        // Far away the source is a point; beyond the doubles' range of u / rho
        // it is exactly the point lens.
        EXPECT_EQ(a->magnification(1e300, 1e-300), 1.0);
        EXPECT_NEAR(a->magnification(10.0, 1e-12), (100.0 + 2) / (10 * std::sqrt(104.0)), 1e-15);
        EXPECT_EQ(a->magnification(INF, 0.1), 1.0);
    }
    // Far from a huge source the excess vanishes; nothing below 1.
    EXPECT_GE(law.magnification(1e7, 1e3), 1.0);
    EXPECT_GE(law.magnification(0.0, 1e8), 1.0);
}

// The magnification is continuous across the limb and the centre, where
// the quadrature's layout changes.
TEST(LimbLaw, ContinuousWhereThePiecesChange) {
    const LimbLaw law(LawKind::power_2, std::vector<double>{0.7, 0.5});
    const double rho = 0.05;
    for (const double l : {1.0, 0.675, 8.0, 1e-6}) {
        const double below = law.magnification(std::nextafter(l, 0.0) * rho, rho);
        const double above = law.magnification(std::nextafter(l, 2 * l + 1) * rho, rho);
        EXPECT_NEAR(below, above, 2e-11 * above) << l;
    }
}

// The rules integrate polynomials exactly, and the product weights give the
// moments of t^beta and t ln t.
TEST(GaussLegendre, RulesAndProductWeights) {
    namespace gl = quadrature::gauss_legendre;
    auto integrate = [](const auto& rule, int k) {
        double sum = 0;
        for (const gl::Node& n : rule) {
            sum += n.w * std::pow(n.t, k);
        }
        return sum;
    };
    for (int k = 0; k < 16; ++k) {
        EXPECT_NEAR(integrate(gl::RULE_8, k), 1.0 / (k + 1), 4e-16) << k;
        EXPECT_NEAR(integrate(gl::RULE_16, 2 * k), 1.0 / (2 * k + 1), 4e-16) << k;
    }
    EXPECT_NEAR(integrate(gl::RULE_12, 23), 1.0 / 24, 4e-16);
    EXPECT_NEAR(integrate(gl::RULE_6, 11), 1.0 / 12, 4e-16);
    // The weights of gamma t^(gamma - 1): moments gamma / (gamma + k), down
    // to the smallest doubles of gamma, where the unscaled weights overflow.
    for (const double gamma : {5e-324, 2.2e-308, 1e-300, 1e-9, 0.01, 0.5, 1.1, 2.0, 10.0}) {
        const std::array<double, 16> w = gl::power_weights_16(gamma);
        for (int k = 0; k < 16; k += 3) {
            double sum = 0;
            for (std::size_t j = 0; j < 16; ++j) {
                sum += w[j] * std::pow(gl::RULE_16[j].t, k);
            }
            const double want = gamma / (gamma + k);
            EXPECT_NEAR(sum, want, 1e-14) << gamma << ' ' << k;
        }
    }
    for (const double gamma : {5e-324, 1e-9, 0.5, 2.0, 10.0}) {
        const std::array<double, 12> w = gl::power_weights(gamma, gl::RULE_12);
        const std::array<double, 8> w8 = gl::power_weights(gamma, gl::RULE_8);
        for (int k = 0; k < 12; k += 2) {
            double sum = 0;
            double sum8 = 0;
            for (std::size_t j = 0; j < 12; ++j) {
                sum += w[j] * std::pow(gl::RULE_12[j].t, k);
            }
            for (std::size_t j = 0; j < 8; ++j) {
                sum8 += w8[j] * std::pow(gl::RULE_8[j].t, k);
            }
            EXPECT_NEAR(sum, gamma / (gamma + k), 1e-14) << gamma << ' ' << k;
            if (k < 8) {
                EXPECT_NEAR(sum8, gamma / (gamma + k), 1e-14) << gamma << ' ' << k;
            }
        }
    }
    // int_0^1 t^(k+1) ln t dt = -1 / (k + 2)^2, through degree n - 1.
    for (int k = 0; k < 16; ++k) {
        double sum = 0;
        for (std::size_t j = 0; j < 16; ++j) {
            sum += gl::LOG_WEIGHTS_16[j] * std::pow(gl::RULE_16[j].t, k);
        }
        EXPECT_NEAR(sum, -1.0 / ((k + 2) * (k + 2)), 1e-16) << k;
    }
    for (int k = 0; k < 12; ++k) {
        double sum = 0;
        for (std::size_t j = 0; j < 12; ++j) {
            sum += gl::LOG_WEIGHTS_12[j] * std::pow(gl::RULE_12[j].t, k);
        }
        EXPECT_NEAR(sum, -1.0 / ((k + 2) * (k + 2)), 1e-16) << k;
    }
    for (int k = 0; k < 8; ++k) {
        double sum = 0;
        for (std::size_t j = 0; j < 8; ++j) {
            sum += gl::LOG_WEIGHTS_8[j] * std::pow(gl::RULE_8[j].t, k);
        }
        EXPECT_NEAR(sum, -1.0 / ((k + 2) * (k + 2)), 1e-16) << k;
    }
}

}  // namespace

namespace {

// Sources too small for the closed form's squares (subnormal radii
// included) follow the small-source limit A = F(u / rho) / rho: halving rho
// at a fixed separation in source radii doubles A.
TEST(LimbLaw, TinySourcesScaleWithTheirSize) {
    const LimbLaw law(LawKind::quadratic, std::vector<double>{0.4, 0.25});
    const LimbLaw uniform(LawKind::uniform, {});
    for (const LimbLaw* a : {&law, &uniform}) {
        for (const double l : {0.0, 0.5, 1.0, 3.0}) {
            const double reference = a->magnification(l * 1e-100, 1e-100);
            for (const double rho : {1e-200, 1e-300, 4e-310}) {
                const double value = a->magnification(l * rho, rho);
                EXPECT_TRUE(std::isfinite(value) || 1e-100 / rho * reference > 1.7e308);
                if (std::isfinite(value)) {
                    EXPECT_NEAR(value * (rho / 1e-100), reference, 1e-14 * reference) << l;
                }
            }
        }
        EXPECT_EQ(a->magnification(1e-290, 1e-310), a->magnification(1e-290, 0.0));
    }
}

// Only a table's shape matters: scaled brightnesses give the same values,
// whether near overflow or underflow; radii too small to bound a disc the
// closed form can take are at the centre; and far away no value is below 1.
TEST(LimbLaw, TablesByTheirShape) {
    const std::vector<double> r{0.0, 0.5, 1.0};
    const LimbLaw plain(r, std::vector<double>{1.0, 0.8, 0.4});
    // (A subnormal scale would round the brightnesses' ratios themselves.)
    for (const double scale : {1e300, 1e-300}) {
        const std::vector<double> b{scale, 0.8 * scale, 0.4 * scale};
        ASSERT_EQ(LimbLaw::table_problem(r, b), nullptr) << scale;
        const LimbLaw scaled(r, b);
        for (const double l : {0.0, 0.7, 1.0, 2.0}) {
            EXPECT_NEAR(scaled.magnification(l * 0.1, 0.1), plain.magnification(l * 0.1, 0.1),
                        1e-14 * plain.magnification(l * 0.1, 0.1));
        }
    }
    const LimbLaw tiny_radius(std::vector<double>{0.0, 1e-300, 1.0},
                              std::vector<double>{1.0, 1.0, 0.5});
    for (const double l : {0.0, 1e-3, 0.5, 2.0}) {
        EXPECT_TRUE(std::isfinite(tiny_radius.magnification(l * 0.1, 0.1))) << l;
    }
    for (const double l : {1e6, 3e7, 1e9}) {
        EXPECT_GE(plain.magnification(l * 0.1, 0.1), 1.0) << l;
    }
}

// Copies and moves give the same bits as the law they came from; a moved
// table keeps the map that borrows its vectors' buffers, and a law moved
// over another (a table over a table, a table over a polynomial law and
// back) frees and takes the right map.
TEST(LimbLaw, CopiesAndMovesKeepTheirValues) {
    const std::vector<double> r{0.0, 0.5, 0.9, 1.0};
    const std::vector<double> b{1.0, 0.9, 0.5, 0.2};
    const LimbLaw table(r, b);
    const LimbLaw power(LawKind::power_2, std::vector<double>{0.6, 0.6});
    const double rho = 0.05;
    auto same = [&](const LimbLaw& a, const LimbLaw& expected) {
        for (const double l : {0.0, 0.3, 0.99, 1.0, 1.7, 9.0}) {
            EXPECT_EQ(a.magnification(l * rho, rho), expected.magnification(l * rho, rho)) << l;
        }
    };
    LimbLaw copy(table);
    same(copy, table);
    LimbLaw moved(std::move(copy));
    same(moved, table);
    LimbLaw target(power);
    target = std::move(moved);
    same(target, table);
    target = LimbLaw(power);
    same(target, power);
    LimbLaw other(r, std::vector<double>{1.0, 1.0, 1.0, 1.0});
    other = LimbLaw(table);
    same(other, table);
    other = table;
    same(other, table);
}

}  // namespace

namespace {

// A power law with an exponent next to zero is bright right to the limb:
// the uniform disc, with the weight of the last sliver at the limb taken
// exactly (its exponent minus one rounds to -1).
TEST(LimbLaw, PowerLawWithAVanishingExponentIsUniform) {
    const LimbLaw uniform(LawKind::uniform, {});
    for (const double alpha : {3e-152, 1e-300, 1.1125369625453995e-308}) {
        const LimbLaw law(LawKind::power_2, std::vector<double>{0.5, alpha});
        for (const double l : {0.0, 0.5, 1.0, 3.075 / 0.01}) {
            const double want = uniform.magnification(l * 0.01, 0.01);
            EXPECT_NEAR(law.magnification(l * 0.01, 0.01), want, 1e-11 * want) << alpha << ' ' << l;
        }
    }
}

}  // namespace

namespace {

// Beyond 1e10 source radii the source is a point, out to separations next
// to the largest double.
TEST(LimbLaw, FarBeyondTheSourceIsThePointLens) {
    const LimbLaw law(LawKind::power_2, std::vector<double>{0.7, 0.5});
    EXPECT_EQ(law.magnification(1.9119548646835185e+214, 1.8071938280496031e-94), 1.0);
    EXPECT_EQ(law.magnification(1e-5, 1e-16), (1e-10 + 2) / (1e-5 * std::sqrt(1e-10 + 4)));
    // Just inside the cut the quadrature agrees with the point lens.
    const double u = 0.999e10 * 1e-12;
    const double point = (u * u + 2) / (u * std::sqrt(u * u + 4));
    EXPECT_NEAR(law.magnification(u, 1e-12), point, 1e-14 * point);
}

// dA/drho alone is the series' slope in rho bit for bit, over moments of a
// law and over small ones such as a quadrature's errors, from 3 source
// radii (where the gradient sums it) out to the far form.
TEST(LimbLawFarField, SlopeInRhoAloneIsTheSlopesOne) {
    const LimbLaw law(LawKind::quadratic, std::vector<double>{4.0, -4.0});
    models::far_field::Moments small;
    for (std::size_t k = 1; k < models::far_field::TERMS; ++k) {
        small.m[k] = 1e-5 / static_cast<double>(k * k);
    }
    const models::far_field::Moments* const cases[] = {&law.far_moments(), &small};
    for (const auto* moments : cases) {
        for (const double rho : {1e-6, 0.01, 0.5, 3.0, 1e4}) {
            for (const double x : {3.0, 3.7, 5.5, 8.0, 20.0, 1e3, 1e9}) {
                const double u = x * rho;
                EXPECT_EQ(models::far_field::drho(*moments, u, x, rho),
                          models::far_field::slopes(*moments, u, x, rho, {}).drho)
                    << rho << " " << x;
            }
        }
    }
}

}  // namespace

namespace {

// The layout of the nodes for a lens at the centre, inside (the kink laid
// out in x, then in s), near and on the limb, and outside, for small, unit
// and large sources.
template <class Check>
void for_each_layout(const LimbLaw& law, Check&& check) {
    for (const double rho : {1e-3, 1.0, 1e3}) {
        for (const double at : {0.0, 0.05, 0.3, 0.7, 0.999999, 1.0, 1.5, 10.0, 100.0}) {
            const double l = (at * rho) / rho;  // as magnification() forms it
            LimbLaw::Nodes nodes;
            law.layout(l, rho, nodes);
            ASSERT_GT(nodes.count, 0u);
            ASSERT_LE(nodes.count, LimbLaw::Nodes::CAPACITY);
            check(nodes, l, rho);
        }
    }
}

// Each node's radius and its s are one point of s = (1 - x^2)^(1/4) as
// the scalar operations give it, from s (x = sqrt((1 - s^2)(1 + s^2))) on
// the pieces in s, from x (s = sqrt(sqrt((1 - x)(1 + x)))) on those in x,
// however many nodes at a time the layout forms them.
TEST(LimbLawNodes, RadiusAndSOfANodeAreOnePoint) {
    const LimbLaw quadratic(LawKind::quadratic, std::vector<double>{0.4, 0.3});
    const LimbLaw power(LawKind::power_2, std::vector<double>{0.6, 0.3});
    for (const LimbLaw* law : {&quadratic, &power}) {
        for_each_layout(*law, [&](const LimbLaw::Nodes& nodes, double l, double rho) {
            for (std::size_t i = 0; i < nodes.count; ++i) {
                const double x = nodes.x[i];
                const double s = nodes.s[i];
                const bool from_s = x == std::sqrt((1 - s * s) * (1 + s * s));
                const bool from_x = s == std::sqrt(std::sqrt((1 - x) * (1 + x)));
                EXPECT_TRUE(from_s || from_x) << "node " << i << " l " << l << " rho " << rho;
            }
        });
    }
}

// sum_i w_i E(x_i) for E = mu^m, which the nodes must integrate like
// int_0^1 s^(2m) g(s) ds for every basis slope g.
double moment(const LimbLaw::Nodes& nodes, const LimbLaw::Slope& g, int m) {
    std::vector<double> w(nodes.count);
    nodes.weights(g, w.data());
    double sum = 0;
    for (std::size_t i = 0; i < nodes.count; ++i) {
        sum += w[i] * std::pow(nodes.s[i], 2 * m);
    }
    return sum;
}

// Each basis slope weighted on the law's nodes integrates the polynomials
// in mu as the closed forms do: s^k, s ln s, and gamma s^beta (through its
// scaled part), the last two only on layouts made for singular laws.  The
// pieces converge to about 1e-12 of the integrand's scale wherever a
// singular point (the limb, mu = 0 in x) sits at a piece's own distance.
constexpr double MOMENT_TOLERANCE = 2e-11;

TEST(LimbLawNodes, BasisSlopesIntegrateMomentsExactly) {
    const LimbLaw quadratic(LawKind::quadratic, std::vector<double>{0.4, 0.3});
    const LimbLaw logarithmic(LawKind::logarithmic, std::vector<double>{0.5, 0.2});
    const LimbLaw power(LawKind::power_2, std::vector<double>{0.6, 0.3});
    for (const LimbLaw* law : {&quadratic, &logarithmic, &power}) {
        for_each_layout(*law, [&](const LimbLaw::Nodes& nodes, double l, double rho) {
            for (int m = 0; m <= 2; ++m) {
                for (int k = 0; k < 4; ++k) {
                    LimbLaw::Slope g;
                    g.p[k] = 1;
                    EXPECT_NEAR(moment(nodes, g, m), 1.0 / (k + 2 * m + 1), MOMENT_TOLERANCE)
                        << "s^" << k << " mu^" << m << " l " << l << " rho " << rho;
                }
                if (law == &logarithmic) {
                    LimbLaw::Slope g;
                    g.lambda = 1;
                    const double want = -1.0 / ((2 * m + 2) * (2 * m + 2));
                    EXPECT_NEAR(moment(nodes, g, m), want, MOMENT_TOLERANCE) << "s ln s mu^" << m << " l " << l;
                }
                if (law == &power) {
                    LimbLaw::Slope g = law->slope();
                    g.p = {};
                    g.kappa = g.beta_plus_one;
                    g.kappa_over_gamma = 1;
                    const double gamma = g.beta_plus_one;
                    EXPECT_NEAR(moment(nodes, g, m), gamma / (gamma + 2 * m), MOMENT_TOLERANCE)
                        << "s^beta mu^" << m << " l " << l;
                }
            }
        });
    }
}

// The layout names its product-weighted piece at the limb: the leading
// nodes of a singular law's layout, on [0, d] with the rule's own count and
// weights summing to d; a polynomial slope's layout has none.
TEST(LimbLawNodes, ProductPieceIsDeclared) {
    using Rule = LimbLaw::Nodes::ProductRule;
    const LimbLaw quadratic(LawKind::quadratic, std::vector<double>{0.4, 0.3});
    const LimbLaw logarithmic(LawKind::logarithmic, std::vector<double>{0.5, 0.2});
    const LimbLaw power(LawKind::power_2, std::vector<double>{0.6, 0.3});
    for (const LimbLaw* law : {&quadratic, &logarithmic, &power}) {
        for_each_layout(*law, [&](const LimbLaw::Nodes& nodes, double l, double rho) {
            if (law == &quadratic) {
                EXPECT_EQ(nodes.product_rule, Rule::none) << "l " << l << " rho " << rho;
                EXPECT_EQ(nodes.product_count, 0u);
                return;
            }
            const std::size_t want = nodes.product_rule == Rule::gauss_16   ? 16
                                     : nodes.product_rule == Rule::gauss_12 ? 12
                                                                            : 0;
            ASSERT_GT(want, 0u) << "l " << l << " rho " << rho;
            ASSERT_EQ(nodes.product_count, want) << "l " << l << " rho " << rho;
            const double d = nodes.product_length;
            double total = 0;
            for (std::size_t j = 0; j < want; ++j) {
                EXPECT_GT(nodes.s[j], 0.0);
                EXPECT_LT(nodes.s[j], d);
                total += nodes.measure[j];
            }
            EXPECT_NEAR(total, d, 1e-15 * d) << "l " << l << " rho " << rho;
            for (std::size_t i = want; i < nodes.count; ++i) {
                EXPECT_GE(nodes.s[i], d * (1 - 1e-15)) << "node " << i << " l " << l;
            }
        });
    }
}

// The batched discs give what the element gives node by node, and the law's
// own slope reassembles the magnification.
TEST(LimbLawNodes, BatchEqualsTheElementNodeByNode) {
    const LimbLaw law(LawKind::logarithmic, std::vector<double>{0.5, 0.2});
    for_each_layout(law, [&](const LimbLaw::Nodes& nodes, double l, double rho) {
        const std::size_t n = nodes.count;
        std::vector<double> separation(n);
        std::vector<double> radius(n);
        std::vector<double> batch(n);
        nodes.discs(rho, separation.data(), radius.data());
        ASSERT_EQ(models::witt_mao_elements(separation.data(), radius.data(), batch.data(), n), n);
        std::vector<double> w(n);
        nodes.weights(law.slope(), w.data());
        double total = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const ellip::Result one = models::witt_mao_element(nodes.lens / nodes.x[i], rho * nodes.x[i]);
            ASSERT_TRUE(one.ok());
            EXPECT_EQ(batch[i], one.value()) << i << " l " << l << " rho " << rho;
            total += w[i] * (nodes.x[i] * nodes.x[i] * (one.value() - 1));
        }
        const ellip::Result whole = models::witt_mao_element(nodes.lens, rho);
        const double want = 1 + (law.limb() * (whole.value() - 1) + total) / law.flux();
        // Nearer than the far field the value is the nodes' sum, bit for
        // bit; from there on it is the mean-value series, which the nodes'
        // quadrature must match to its own accuracy.
        if (l < models::far_field::THRESHOLD) {
            EXPECT_EQ(law.magnification(l * rho, rho), std::max(want, 1.0)) << l << ' ' << rho;
        } else {
            EXPECT_NEAR(law.magnification(l * rho, rho), std::max(want, 1.0), 1e-12 * want)
                << l << ' ' << rho;
        }
    });
}

}  // namespace

namespace {

// With the lens inside, the nodes about it keep their discs' limbs off the
// lens but for one disc whose limb passes through it: discs that all but
// touch the lens are the disc kernel's slow path, an order of magnitude
// dearer than the rest.  (For sources far larger than the Einstein radius
// the lens's own scale crowds the pieces, and near the limb the variable s
// does; there the nodes may come nearer.)
TEST(LimbLawNodes, DiscsKeepTheirLimbsOffTheLens) {
    const LimbLaw quadratic(LawKind::quadratic, std::vector<double>{0.4, 0.3});
    const LimbLaw power(LawKind::power_2, std::vector<double>{0.6, 0.3});
    for (const LimbLaw* law : {&quadratic, &power}) {
        for (const double rho : {1e-3, 0.01, 1.0}) {
            for (const double l : {0.02, 0.1, 0.25, 0.3, 0.45, 0.7, 0.9}) {
                LimbLaw::Nodes nodes;
                law->layout(l, rho, nodes);
                int on_lens = 0;
                double nearest = 1;
                for (std::size_t i = 0; i < nodes.count; ++i) {
                    const double separation = nodes.lens / nodes.x[i];
                    if (separation == 1.0) {
                        ++on_lens;
                    } else {
                        nearest = std::min(nearest, std::fabs(separation - 1));
                    }
                }
                EXPECT_EQ(on_lens, 1) << "l " << l << " rho " << rho;
                EXPECT_GT(nearest, 1e-2) << "l " << l << " rho " << rho;
            }
        }
    }
}

}  // namespace
