// Limb-darkening laws with the caller's own coefficients, and the
// magnification of a source darkened by one of them: the model behind the
// fitting functions, which take separations and source radii in Einstein
// radii.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "models/limb_law_far_field.hpp"
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

// Below TINY_SOURCE Einstein radii the closed form's intermediate squares
// underflow, and the magnification is the small-source limit scaled from a
// source of that radius; beyond FAR_POINT source radii a source is a point to
// 1e-20 of the magnification.
inline constexpr double TINY_SOURCE = 1e-150;
inline constexpr double FAR_POINT = 1e10;

// The point-lens magnification at u Einstein radii; beyond 1e100 the excess
// 2/u^4 is far below an ulp of 1 (and u^2 would overflow), and it is 1.
double point_lens(double u) noexcept;

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
    // A move takes over the table (whose map borrows the moved vectors'
    // buffers, which a move keeps) instead of building it again; the law
    // moved from is left an empty uniform law.
    LimbLaw(LimbLaw&& other) noexcept;
    LimbLaw& operator=(LimbLaw&& other) noexcept;
    ~LimbLaw();

    [[nodiscard]] LawKind kind() const noexcept { return kind_; }
    [[nodiscard]] std::span<const double> coefficients() const noexcept { return coefficients_; }
    // The points of a table law's profile (0 for the other laws).
    [[nodiscard]] std::size_t table_points() const noexcept { return radii_.size(); }

    // The brightness at mu, normalised to 1 at the centre (mu = 1).
    [[nodiscard]] double brightness(double mu) const noexcept;

    // The magnification of a source of radius rho Einstein radii at the
    // distance u (Einstein radii) from the lens.  u counts by its size; a
    // NaN u gives NaN, rho = 0 gives the point-lens magnification.  rho
    // must be finite and not negative (the caller checks).
    [[nodiscard]] double magnification(double u, double rho) const;

    // out[i] = magnification(u[i], rho[i]) bit for bit, for the n points:
    // the discs of the points that take the quadrature are handed to the
    // vector element together, several points at a time, so that lane
    // groups are filled across points.  out may be u or rho.
    void magnifications(const double* u, const double* rho, double* out, std::size_t n) const;
    // The same with one source radius for every point.  out may be u.
    void magnifications(const double* u, double rho, double* out, std::size_t n) const;

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

    // The nodes of the quadrature of a darkened source (see darkened()):
    // for a lens `lens` source radii from the centre, of a source of radius
    // rho Einstein radii,
    //   A = 1 + [I(0) E(1) + sum_i w_i E(x_i)] / N,  E(x) = x^2 (M(x) - 1),
    // M(x) the magnification of the disc of radius x (source radii) about
    // the source's centre, i.e. witt_mao_element(lens / x, rho x).  The
    // weight of node i against a slope g (the law's own, or any other with
    // the same beta) is
    //   w_i = measure_i poly(s_i) + lambda log_part_i + kappa_over_gamma power_part_i,
    // poly = p0 + p1 s + p2 s^2 + p3 s^3: on the piece at the limb log_part
    // and power_part are the product weights of s ln s and gamma s^beta
    // (gamma = beta + 1, scaled so that an exponent next to -1 keeps its
    // digits), elsewhere measure_i s_i ln s_i and measure_i gamma s_i^beta.
    // The parts of a term the law lacks are 0.  The layout depends on the
    // lens, rho and on which terms the law's slope has (a singular slope
    // takes product weights at the limb), not on the coefficients otherwise:
    // the weights of slopes with other terms need the layout of a law with
    // them.
    struct Nodes {
        // No march of pieces takes more than a few dozen over the whole
        // range of lenses, radii and laws (the steepest power law's core
        // the most); this cap only bounds the list.
        static constexpr std::size_t MAX_PIECES = 48;
        // The piece at the limb (16 nodes) and three marches, each a graded
        // piece of 16 nodes and plain ones of 8.
        static constexpr std::size_t CAPACITY = 16 + 3 * (16 + (MAX_PIECES - 1) * 8);

        // The Gauss rule whose product weights the piece at the limb takes.
        enum class ProductRule { none, gauss_16, gauss_12 };

        std::size_t count = 0;
        double lens = 0;  // the lens's distance from the centre as laid out (source radii)
        // The leading `product_count` nodes are the piece [0, product_length]
        // in s at the limb, whose log and power parts are the product
        // weights of `product_rule` (none and 0 when no piece carries them).
        std::size_t product_count = 0;
        ProductRule product_rule = ProductRule::none;
        double product_length = 0;
        std::array<double, CAPACITY> x;           // the disc's radius (source radii), > 0
        std::array<double, CAPACITY> s;           // sqrt(mu), mu = sqrt(1 - x^2)
        std::array<double, CAPACITY> measure;     // M_i
        std::array<double, CAPACITY> log_part;    // L_i
        std::array<double, CAPACITY> power_part;  // P_i

        // w[0, count): the weights of the nodes against `slope`.
        void weights(const Slope& slope, double* w) const noexcept;
        // The discs of the nodes, as witt_mao_elements() takes them:
        // separation[i] = lens / x_i (disc radii), radius[i] = rho x_i.
        void discs(double rho, double* separation, double* radius) const noexcept;
    };

    // The nodes for a lens `lens` source radii from the centre of a source
    // of radius rho Einstein radii (lens finite, not negative, below the
    // far-point cut of magnification(); rho finite and positive).
    void layout(double lens, double rho, Nodes& nodes) const noexcept;

    [[nodiscard]] const Slope& slope() const noexcept { return slope_; }
    // I at the limb (mu = 0) and the flux N of the unit disc over pi.
    [[nodiscard]] double limb() const noexcept { return limb_; }
    [[nodiscard]] double flux() const noexcept { return flux_; }
    // The radial moments of the brightness for the far field's series (not
    // for a uniform disc or a table).
    [[nodiscard]] const far_field::Moments& far_moments() const noexcept { return far_moments_; }

private:
    void rebuild_table();
    void build_basis();
    [[nodiscard]] double darkened(double lens, double rho) const;
    // The quadrature's value from n nodes' weights w, radii x and disc
    // magnifications m, with the whole source's disc at m[n]; darkened()
    // and the batch both sum through it, so they give the same bits.
    [[nodiscard]] double from_discs(const double* w, const double* x, const double* m,
                                    std::size_t n) const noexcept;
    // Whether magnification() takes the quadrature of darkened(lens, rho)
    // for this lens and radius, and nothing else.
    [[nodiscard]] bool takes_quadrature(double distance, double rho, double& lens) const noexcept;
    template <class Radius>
    void magnifications_of(const double* u, Radius radius, double* out, std::size_t n) const;

    LawKind kind_;
    Slope slope_;
    double limb_ = 1;  // I at the limb (mu = 0)
    double flux_ = 1;  // int_0^1 2 mu I dmu, the flux of the unit disc over pi
    std::array<double, 16> power_weights_{};  // for kappa s^beta at s = 0
    std::array<double, 12> power_weights_12_{};  // the same on 12 nodes, for a thinner limb piece
    far_field::Moments far_moments_{};
    std::vector<double> coefficients_;
    std::vector<double> radii_;
    std::vector<double> brightness_;
    FluxMap* table_ = nullptr;  // owned; borrows radii_ and brightness_
};

}  // namespace models
