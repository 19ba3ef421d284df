// Limb-darkening laws with the caller's own coefficients, and the
// magnification of a source darkened by one of them: the model behind the
// fitting functions, which take separations and source radii in Einstein
// radii.
#pragma once

#include <array>
#include <span>
#include <string_view>
#include <vector>

#include "models/profile.hpp"

namespace models {

// A law gives the brightness I(mu) of the source disc, mu = sqrt(1 - r^2)
// at the radius r (source radii); only its shape matters, the magnification
// divides by its flux.
enum class LawKind {
    uniform,      // I = 1
    linear,       // I = 1 - a (1 - mu)
    quadratic,    // I = 1 - a (1 - mu) - b (1 - mu)^2
    square_root,  // I = 1 - c (1 - mu) - d (1 - sqrt(mu))
    logarithmic,  // I = 1 - e (1 - mu) - f mu ln(mu)
    power_2,      // I = 1 - c (1 - mu^alpha)
    nonlinear,    // I = 1 - sum_k a_k (1 - mu^(k/2)), k = 1..4
    table,        // piecewise linear in r through (radii, brightnesses)
};

// What a law is called by callers, and its coefficients.
struct LawName {
    const char* name;          // "quadratic"
    LawKind kind;
    int count;                 // the number of coefficients; a table takes two sequences
    const char* coefficients;  // their names, "(a, b)"
};

// Every law, in the order the documentation lists them.
std::span<const LawName> law_names() noexcept;

// The law called `name`, or nullptr.
const LawName* find_law(std::string_view name) noexcept;

// A validated law, ready to integrate.  Copyable; read concurrently by any
// number of threads.
class LimbLaw {
public:
    // Why `coefficients` (of the right count for `kind`, which is not a
    // table) do not make a law: a coefficient that is not finite, an
    // exponent out of range, a brightness negative somewhere on the disc or
    // a profile without flux.  nullptr when they do.
    [[nodiscard]] static const char* problem(LawKind kind,
                                             std::span<const double> coefficients) noexcept;
    // The same for a brightness table: radii ascending in [0, 1], of the
    // length of the brightnesses, finite, not negative, with some flux.
    [[nodiscard]] static const char* table_problem(std::span<const double> radii,
                                                   std::span<const double> brightness) noexcept;

    // The law; problem() is nullptr for the arguments.
    LimbLaw(LawKind kind, std::span<const double> coefficients);
    // A tabulated law; table_problem() is nullptr for the arguments.
    LimbLaw(std::vector<double> radii, std::vector<double> brightness);

    LimbLaw(const LimbLaw& other);
    LimbLaw& operator=(const LimbLaw& other);
    ~LimbLaw();

    [[nodiscard]] LawKind kind() const noexcept { return kind_; }
    [[nodiscard]] std::span<const double> coefficients() const noexcept { return coefficients_; }

    // The brightness at mu, normalised to 1 at the centre (mu = 1).
    [[nodiscard]] double brightness(double mu) const noexcept;

    // The magnification of a source of radius rho Einstein radii at the
    // distance u (Einstein radii) from the lens.  u counts by its size; a
    // NaN u gives NaN, rho = 0 gives the point-lens magnification.  rho
    // must be finite and not negative (the caller checks).
    [[nodiscard]] double magnification(double u, double rho) const;

    // The law's slope as the quadrature in s = sqrt(mu) sees it:
    // I'(mu) dmu = g(s) ds with g(s) = p0 + p1 s + p2 s^2 + p3 s^3 +
    // lambda s ln s + kappa s^beta.
    struct Slope {
        std::array<double, 4> p{};
        double lambda = 0;
        double kappa = 0;
        double beta = 0;
        double beta_plus_one = 1;     // formed directly: beta may round to -1
        double kappa_over_gamma = 0;  // kappa / (beta + 1), for the scaled product weights
        [[nodiscard]] bool singular() const noexcept { return lambda != 0 || kappa != 0; }
    };

private:
    void rebuild_table();
    void build_basis();
    [[nodiscard]] double darkened(double lens, double rho) const;

    LawKind kind_;
    Slope slope_;
    double limb_ = 1;  // I at the limb (mu = 0)
    double flux_ = 1;  // int_0^1 2 mu I dmu, the flux of the unit disc over pi
    std::array<double, 16> power_weights_{};  // for kappa s^beta at s = 0
    std::vector<double> coefficients_;
    std::vector<double> radii_;
    std::vector<double> brightness_;
    FluxMap* table_ = nullptr;  // owned; borrows radii_ and brightness_
};

}  // namespace models
