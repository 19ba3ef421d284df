// Radial brightness profiles of the source, on radii 0 <= r <= 1 in source
// radii.
#pragma once

#include <span>
#include <vector>

namespace models {

// A profile is smooth between its breakpoints; the integrated models split
// the radius range there, since a kink or a jump inside an integration range
// costs the quadrature its fast convergence.
class Profile {
public:
    virtual ~Profile() = default;

    // The brightness at r.
    virtual double operator()(double r) const noexcept = 0;

    // Radii strictly inside (0, 1), ascending, where the profile or its
    // slope is not continuous.
    virtual std::span<const double> breakpoints() const noexcept { return {}; }

    // On the smooth piece [a, b] between consecutive breakpoints (or 0 and
    // 1): the profile continued to the closed piece, so that its one-sided
    // limits at a and b are available, and its derivative there.
    virtual double value_on(double r, double a, double b) const noexcept = 0;
    virtual double slope_on(double r, double a, double b) const noexcept = 0;

    // mu I'(r) on the piece, with mu = sqrt(1 - r^2) passed in: a limb law
    // in mu has a slope that grows like 1/mu at the limb, while mu I'(r)
    // stays finite and can be formed without the cancellation in 1 - r^2.
    virtual double mu_slope_on(double r, double mu, double a, double b) const noexcept {
        return mu * slope_on(r, a, b);
    }
};

// The linear limb-darkening law with coefficient 0.6 in mu = sqrt(1 - r^2):
// I(r) = (1 - sqrt(1 - r r)) (-0.6) + 1, in exactly that order.
class LinearLimbDarkening final : public Profile {
public:
    double operator()(double r) const noexcept override;
    double value_on(double r, double a, double b) const noexcept override;
    double slope_on(double r, double a, double b) const noexcept override;
    double mu_slope_on(double r, double mu, double a, double b) const noexcept override;
};

// A tabulated profile read by linear interpolation, 0 outside the table: the
// flux map (bl, bf).  The tables are borrowed and must outlive the profile.
class FluxMap final : public Profile {
public:
    FluxMap(std::span<const double> bl, std::span<const double> bf);

    double operator()(double r) const noexcept override;
    std::span<const double> breakpoints() const noexcept override { return breakpoints_; }
    double value_on(double r, double a, double b) const noexcept override;
    double slope_on(double r, double a, double b) const noexcept override;

private:
    struct Line {
        double slope;
        double intercept;
    };
    // The straight line the interpolation follows on the piece [a, b].
    Line line_on(double a, double b) const noexcept;

    std::span<const double> bl_;
    std::span<const double> bf_;
    std::vector<double> breakpoints_;
};

}  // namespace models
