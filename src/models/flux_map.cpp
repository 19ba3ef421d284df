#include "models/flux_map.hpp"

#include <utility>

#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/profile.hpp"
#include "quadrature/double_exponential.hpp"

namespace models {

namespace {

constexpr double TWO_PI = 6.283185307179586;

// The table's two columns must pair up; callers check this before handing
// the table over, so a mismatch here is an internal failure.
void check_lengths(const Curve& bl, const Curve& bf) {
    if (bl.size() != bf.size()) {
        fail_equal(bl.size(), bf.size(), __FILE__, __LINE__);
    }
}

// The flux of the profile over the unit disc, int_0^1 2 pi r B(r) dr, piece
// by piece between the table radii where B has its kinks.
double flux(const FluxMap& profile) {
    double total = 0;
    double a = 0;
    auto piece = [&](double b) {
        // B is linear on the piece, so the integrand is a quadratic, which the
        // quadrature resolves at its first levels.
        const auto result = quadrature::double_exponential::integrate(
            [&](double r) { return (TWO_PI * r) * profile(r); }, a, b, 1e-16 * (b - a));
        total += result.integral;
        a = b;
    };
    for (const double b : profile.breakpoints()) {
        piece(b);
    }
    piece(1.0);
    return total;
}

}  // namespace

Outcome<Curve> integrated_flux_map_witt_mao_magnification(Curve l, double re, double rstar,
                                                          Curve bl, Curve bf,
                                                          const Interrupt& interrupt) {
    check_lengths(bl, bf);
    const FluxMap profile(bl, bf);
    return _integrated_witt_mao_magnification(std::move(l), re, rstar, flux(profile), profile,
                                              interrupt);
}

Outcome<Curve> integrated_flux_map_heyrovsky_magnification(Curve l, double re, double rstar,
                                                           Curve bl, Curve bf,
                                                           const Interrupt& interrupt) {
    check_lengths(bl, bf);
    const FluxMap profile(bl, bf);
    return _integrated_heyrovsky_magnification(std::move(l), re, rstar, flux(profile), profile,
                                               interrupt);
}

Outcome<Curve> discrete_flux_map_heyrovsky_magnification(Curve l, double re, double rstar,
                                                         Curve bl, Curve bf,
                                                         const Interrupt& interrupt) {
    check_lengths(bl, bf);
    Curve curve;
    curve.reserve(l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        // Each element costs one ring per table radius.
        if (interrupted_at(interrupt, i, 16)) {
            return interrupted();
        }
        const double x = l[i];
        double sum = 0.0;
        for (std::size_t j = 0; j < bl.size(); ++j) {
            const ellip::Result v = heyrovsky_magnification(x, bl[j], re, rstar);
            if (!v.ok()) {
                return runtime_error(v.error);
            }
            sum = sum + v.value * bf[j];
        }
        curve.push_back(sum);
    }
    return curve;
}

}  // namespace models
