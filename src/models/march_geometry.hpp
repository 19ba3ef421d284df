// The geometry the integrated models lay their quadrature pieces out by:
// the singular points of an integrand in the complex plane of its
// variable, and distances and Bernstein ellipse parameters measured from
// them.  Each helper gives exactly the bits of its plain per-point form
// (checked in tests/cpp/test_march_geometry.cpp) while sparing square roots
// and hypot calls.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>

namespace models::march_geometry {

using Complex = std::complex<double>;

// Points singular for an integrand, in its own variable; at most a dozen.
struct Singular {
    std::array<Complex, 16> z{};
    std::size_t n = 0;
    void add(Complex p) noexcept {
        if (n < z.size()) {
            z[n++] = p;
        }
    }
};

// |z| as std::abs gives it, without the slower hypot for a z on an axis:
// there |z| is one component's size, exactly representable, which hypot
// (faithful to within an ulp) returns as it is.
inline double modulus(Complex z) noexcept {
    if (z.imag() == 0) {
        return std::fabs(z.real());
    }
    if (z.real() == 0) {
        return std::fabs(z.imag());
    }
    return std::abs(z);
}

// The least distance from c to the points (a point at c itself passed over
// where `skip_c`), as the least of modulus() over them.  A point at least
// as far as the nearest so far along either axis cannot be nearer, and its
// hypot is spared; the least is the same.
inline double least_distance(double c, const Singular& points, bool skip_c) noexcept {
    double least = std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < points.n; ++k) {
        if (skip_c && points.z[k] == Complex(c)) {
            continue;
        }
        const Complex dz = points.z[k] - Complex(c);
        if (!(std::max(std::fabs(dz.real()), std::fabs(dz.imag())) < least)) {
            continue;
        }
        least = std::min(least, modulus(dz));
    }
    return least;
}

// The Bernstein ellipse parameter of [lo, hi] (either order) through the
// nearest of the points, bounded below through their distance from the
// midpoint (std::abs would take the slower hypot): the lens's points lie
// within 1e10 of the source, where the squares cannot overflow, and a point
// close enough to the midpoint for them to underflow would lie on the
// piece, which the layout never allows.
//
// q + sqrt(q^2 - 1) rounds to a non-decreasing function of q, and q of the
// squared distance, so the least parameter is that of the least squared
// distance: one pair of square roots instead of a pair per point, with the
// same bits.  Only a point within a half-length of the midpoint (q < 1,
// whose parameter is NaN and is passed over) needs each point's own.
inline double march_clearance(double lo, double hi, const Singular& points) noexcept {
    double clearance = std::numeric_limits<double>::infinity();
    const double mid = lo + 0.5 * (hi - lo);
    const double half = 0.5 * std::fabs(hi - lo);
    double least = std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < points.n; ++k) {
        const double dx = points.z[k].real() - mid;
        const double dy = points.z[k].imag();
        least = std::min(least, dx * dx + dy * dy);
    }
    const double nearest = std::sqrt(least) / half;
    if (nearest >= 1) {
        return nearest + std::sqrt(nearest * nearest - 1);
    }
    for (std::size_t k = 0; k < points.n; ++k) {
        const double dx = points.z[k].real() - mid;
        const double dy = points.z[k].imag();
        const double q = std::sqrt(dx * dx + dy * dy) / half;
        clearance = std::min(clearance, q + std::sqrt(q * q - 1));
    }
    return clearance;
}

// The image sqrt(1 - z^2) in mu of the point z = lens + above.  That of
// its mirror lens - above is the conjugate: z^2 and 1 - z^2 conjugate
// exactly, and the complex square root keeps conjugates conjugate, so one
// root serves both.
inline Complex image_above(double lens, Complex above) noexcept {
    const Complex z = Complex(lens) + above;
    return std::sqrt(1.0 - z * z);
}

}  // namespace models::march_geometry
