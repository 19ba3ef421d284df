// The layout helpers' shortcuts against the plain per-point forms they
// replace: the quadrature pieces, and so every integrated result, depend
// on them to the bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>

#include "models/march_geometry.hpp"

namespace {

namespace mg = models::march_geometry;
using mg::Complex;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// The parameter as the layout first formed it, point by point: a point
// whose parameter is NaN (q < 1) is passed over.
double clearance_per_point(double lo, double hi, const mg::Singular& points) {
    double clearance = std::numeric_limits<double>::infinity();
    const double mid = lo + 0.5 * (hi - lo);
    const double half = 0.5 * std::fabs(hi - lo);
    for (std::size_t k = 0; k < points.n; ++k) {
        const double dx = points.z[k].real() - mid;
        const double dy = points.z[k].imag();
        const double q = std::sqrt(dx * dx + dy * dy) / half;
        clearance = std::min(clearance, q + std::sqrt(q * q - 1));
    }
    return clearance;
}

double least_per_point(double c, const mg::Singular& points, bool skip_c) {
    double least = std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < points.n; ++k) {
        if (!skip_c || points.z[k] != Complex(c)) {
            least = std::min(least, std::abs(points.z[k] - Complex(c)));
        }
    }
    return least;
}

// The points an element lays out by: a lens, its mirror, the points its
// Einstein radius off them, the limb's branch points, on and off the axes,
// and near ties between them.
mg::Singular lens_points(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double lens = std::ldexp(unit(rng), -static_cast<int>(unit(rng) * 30));
    const double eps = std::ldexp(unit(rng), static_cast<int>(unit(rng) * 20) - 10);
    mg::Singular ps;
    ps.add(lens);
    ps.add(-lens);
    for (const double sign : {1.0, -1.0}) {
        ps.add(Complex(lens, sign * 2 * eps));
        ps.add(Complex(-lens, sign * 2 * eps));
    }
    ps.add(1.0);
    ps.add(-1.0);
    if (unit(rng) < 0.3) {
        // A tie in distance with a point on an axis, reached off it.
        ps.add(Complex(lens + 0.6 * eps, 0.8 * eps));
        ps.add(Complex(lens + eps, 0.0));
    }
    return ps;
}

TEST(MarchGeometry, ModulusIsHypotToTheBit) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int i = 0; i < 20000; ++i) {
        const double x = std::ldexp(unit(rng), static_cast<int>(unit(rng) * 600));
        for (const Complex z : {Complex(x, 0.0), Complex(0.0, x), Complex(x, -0.0),
                                Complex(-0.0, x), Complex(x, x * unit(rng))}) {
            ASSERT_EQ(bits(mg::modulus(z)), bits(std::abs(z))) << z;
        }
    }
    EXPECT_EQ(mg::modulus(Complex(std::numeric_limits<double>::infinity(), 0.0)),
              std::numeric_limits<double>::infinity());
}

TEST(MarchGeometry, LeastDistanceMatchesEveryPointsOwn) {
    std::mt19937_64 rng(12);
    std::uniform_real_distribution<double> unit(-1.5, 1.5);
    for (int i = 0; i < 20000; ++i) {
        const mg::Singular ps = lens_points(rng);
        // From the lens itself (skipped) and from arbitrary radii.
        for (const double c : {ps.z[0].real(), unit(rng), ps.z[0].real() + 1e-9 * unit(rng)}) {
            for (const bool skip : {true, false}) {
                ASSERT_EQ(bits(mg::least_distance(c, ps, skip)), bits(least_per_point(c, ps, skip)))
                    << "c = " << c << ", lens = " << ps.z[0];
            }
        }
    }
    mg::Singular none;
    EXPECT_EQ(mg::least_distance(0.5, none, false), std::numeric_limits<double>::infinity());
}

TEST(MarchGeometry, ClearanceMatchesEveryPointsOwnEvenWithAPointOnThePiece) {
    std::mt19937_64 rng(13);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 20000; ++i) {
        const mg::Singular ps = lens_points(rng);
        const double lo = unit(rng);
        // Pieces clear of every point, and pieces long enough to hold one
        // within a half-length of their midpoint (q < 1).
        const double hi = lo + std::ldexp(unit(rng), -static_cast<int>(unit(rng) * 40));
        for (const auto& [a, b] : {std::pair{lo, hi}, std::pair{hi, lo}, std::pair{-1.0, 1.0}}) {
            ASSERT_EQ(bits(mg::march_clearance(a, b, ps)), bits(clearance_per_point(a, b, ps)))
                << "[" << a << ", " << b << "]";
        }
    }
    mg::Singular inside;
    inside.add(0.5);             // q = 0: passed over
    inside.add(Complex(0.5, 3));  // q = 6
    EXPECT_EQ(mg::march_clearance(0.0, 1.0, inside), 6 + std::sqrt(35.0));
}

// The mirror point's image is the conjugate of the point's, which the
// layout takes instead of a second complex square root.
TEST(MarchGeometry, MirrorImageIsTheConjugate) {
    std::mt19937_64 rng(14);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 20000; ++i) {
        const double lens =
            unit(rng) < 0.1 ? 0.0 : std::ldexp(unit(rng), static_cast<int>(unit(rng) * 80) - 40);
        const Complex above(0, 2 * std::ldexp(unit(rng), static_cast<int>(unit(rng) * 60) - 30));
        const Complex below = Complex(lens) - above;
        const Complex direct = std::sqrt(1.0 - below * below);
        const Complex mirrored = std::conj(mg::image_above(lens, above));
        ASSERT_EQ(bits(direct.real()), bits(mirrored.real())) << lens << " " << above;
        ASSERT_EQ(bits(direct.imag()), bits(mirrored.imag())) << lens << " " << above;
    }
}

}  // namespace
