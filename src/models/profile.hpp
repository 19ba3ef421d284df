// Radial brightness profiles of the source, on radii 0 <= r <= 1 in source
// radii.
#pragma once

#include <cmath>
#include <span>
#include <vector>

namespace models {

// The brightness on one smooth piece of a profile, as a law in the radius r
// and mu = sqrt(1 - r^2):  I = c0 + c1 (r - r0) + c2 mu.  The pivot r0 is a
// table radius on the piece, so that a steep, narrow segment is not the
// small difference of a large intercept and a large slope term.  A tabulated profile is a
// straight line in r on each piece (c2 = 0); the linear limb-darkening law is
// a straight line in mu, whose slope in r grows like 1/mu at the limb.
struct PieceLaw {
    double c0;
    double c1;
    double c2;
    double r0;

    // mu is passed in, so that a caller who knows 1 - r accurately forms it
    // without the cancellation in 1 - r^2.
    [[nodiscard]] double value(double r, double mu) const noexcept {
        return value_at_offset(r - r0, mu);
    }
    // The same with r - r0 supplied: on a segment a few ulps of r wide the
    // rounding of r itself would be a sizeable fraction of the segment.
    [[nodiscard]] double value_at_offset(double offset, double mu) const noexcept {
        return c0 + c1 * offset + c2 * mu;
    }
    // mu dI/dr, finite at the limb where dI/dr is not.
    [[nodiscard]] double mu_slope(double r, double mu) const noexcept {
        return c1 * mu - c2 * r;
    }
    [[nodiscard]] bool singular_at_limb() const noexcept { return c2 != 0; }
};

// mu = sqrt(1 - r^2) from the distance 1 - r, exact for r in [1/2, 1].
[[nodiscard]] inline double mu_of(double r) noexcept {
    return std::sqrt((1 - r) * (1 + r));
}

// A profile is smooth between its breakpoints; the integrated models split
// the radius range there, since a kink or a jump inside an integration range
// costs the quadrature its fast convergence.
class Profile {
public:
    virtual ~Profile() = default;

    // The brightness at r.
    virtual double operator()(double r) const noexcept = 0;

    // Radii strictly inside (0, 1), ascending and distinct, where the profile
    // or its slope is not continuous.
    virtual std::span<const double> breakpoints() const noexcept { return {}; }

    // The law on the smooth piece [a, b] between consecutive breakpoints (or
    // 0 and 1), continued to the closed piece, so that its one-sided limits
    // at a and b are available.
    virtual PieceLaw law_on(double a, double b) const noexcept = 0;

    // The flux the integrated magnifications divide by: the profile's flux
    // over the unit disc, or NaN where that is undefined (the magnification
    // then is too).
    virtual double norm() const noexcept = 0;
};

// The linear limb-darkening law with coefficient u in mu = sqrt(1 - r^2):
// I(r) = (1 - sqrt(1 - r r)) (-u) + 1, in exactly that order; on the basis
// (1, mu) its coefficients are 1 - u and u.
class LinearLimbDarkening final : public Profile {
public:
    // The built-in law, the one the public limb-darkened curves use.
    static constexpr double BUILT_IN_COEFFICIENT = 0.6;
    // Its stored flux, which the built-in curves divide by as given rather
    // than as the closed form pi (1 - u/3) rounds: the curves' values are
    // fixed by it.
    static constexpr double BUILT_IN_NORM = 2.5132741228717936;

    constexpr LinearLimbDarkening() noexcept = default;
    // A law with the caller's coefficient and the flux to divide by.
    constexpr LinearLimbDarkening(double coefficient, double norm) noexcept
        : coefficient_(coefficient), norm_(norm) {}

    double operator()(double r) const noexcept override;
    PieceLaw law_on(double a, double b) const noexcept override;
    double norm() const noexcept override { return norm_; }
    [[nodiscard]] double coefficient() const noexcept { return coefficient_; }

private:
    double coefficient_ = BUILT_IN_COEFFICIENT;
    double norm_ = BUILT_IN_NORM;
};

// A tabulated profile read by linear interpolation, 0 outside the table: the
// flux map (bl, bf).  The tables are borrowed and must outlive the profile.
class FluxMap final : public Profile {
public:
    FluxMap(std::span<const double> bl, std::span<const double> bf);

    double operator()(double r) const noexcept override;
    std::span<const double> breakpoints() const noexcept override { return breakpoints_; }
    PieceLaw law_on(double a, double b) const noexcept override;
    // The table's own flux over the unit disc; NaN for a table whose flux
    // vanishes (none at all, or brightness of both signs that cancels).
    double norm() const noexcept override { return norm_; }

private:
    double flux() const noexcept;

    std::span<const double> bl_;
    std::span<const double> bf_;
    std::vector<double> breakpoints_;
    double norm_;
};

}  // namespace models
