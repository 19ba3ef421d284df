#include "models/integrated.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "models/heyrovsky.hpp"
#include "models/witt_mao.hpp"
#include "quadrature/double_exponential.hpp"

namespace models {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double TWO_PI = 6.283185307179586;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Each piece is integrated to this accuracy relative to the magnification
// of the whole source; the tanh-sinh error estimate is then well inside the
// accuracy the curves promise, at a fraction of the full 385 evaluations.
constexpr double RELATIVE_TARGET = 1e-11;

// The radii that bound the smooth pieces of an integrand: 0, the profile's
// breakpoints, the lens when it lies inside the source (where the ring
// through the lens makes the integrand singular), and 1.
std::vector<double> piece_edges(const Profile& profile, double lens) {
    std::vector<double> edges;
    const std::span<const double> breaks = profile.breakpoints();
    edges.reserve(breaks.size() + 3);
    edges.push_back(0.0);
    edges.insert(edges.end(), breaks.begin(), breaks.end());
    if (lens > 0 && lens < 1) {
        edges.push_back(lens);
    }
    edges.push_back(1.0);
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    return edges;
}

// Integrates f over [a, b] with the piece's share of the accuracy, in units
// of `scale` so that the integrator's error test sees numbers of order one.
template <class F>
double integrate_piece(F&& f, double a, double b, double scale) {
    const auto result = quadrature::double_exponential::integrate(
        [&](double r) { return f(r) / scale; }, a, b, RELATIVE_TARGET * (b - a));
    return result.integral * scale;
}

// A scale for the integrals of one element: the flux-weighted magnification
// is of the order of the uniform-disc value.
double magnitude(double lens, double rho, double norm) {
    const ellip::Result a = witt_mao_element(lens, rho);
    const double scale = a.ok() ? std::fabs(a.value * norm) : std::fabs(norm);
    return std::isfinite(scale) && scale > 0 ? scale : 1.0;
}

}  // namespace

Outcome<Curve> _integrated_witt_mao_magnification(Curve l, double re, double rstar, double norm,
                                                  const Profile& profile,
                                                  const Interrupt& interrupt) {
    const double rho = rstar / re;
    // The whole-source value fails exactly where the model can fail.
    Outcome<Curve> whole = witt_mao_magnification(l, re, rstar, interrupt);
    if (!whole.ok()) {
        return whole.error();
    }
    Curve curve;
    curve.reserve(l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        if (interrupted_at(interrupt, i, 1)) {
            return interrupted();
        }
        const double lens = std::fabs(l[i]);
        if (!std::isfinite(lens)) {
            curve.push_back(NaN);
            continue;
        }
        // M(r) for the disc of radius r (source radii) about the centre: the
        // lens is at lens / r of its radii, and it spans rho r Einstein radii.
        // At r = 1 it is the whole source.
        auto disc = [&](double r) {
            if (r == 1.0) {
                return whole.value()[i];
            }
            const ellip::Result m = witt_mao_element(lens / r, rho * r);
            return m.ok() ? m.value : NaN;
        };
        const double scale = magnitude(lens, rho, norm) / PI;
        const std::vector<double> edges = piece_edges(profile, lens);
        double total = 0;
        for (std::size_t k = 0; k + 1 < edges.size(); ++k) {
            const double a = edges[k];
            const double b = edges[k + 1];
            // The boundary terms [r^2 M(r) I(r)]; r^2 M(r) vanishes at the
            // centre like r or faster.
            const double lower = a == 0 ? 0.0 : a * a * disc(a) * profile.value_on(a, a, b);
            const double upper = b * b * disc(b) * profile.value_on(b, a, b);
            double interior;
            if (b < 1) {
                interior = integrate_piece(
                    [&](double r) { return r * r * disc(r) * profile.slope_on(r, a, b); }, a, b,
                    scale);
            } else {
                // The piece at the limb in mu = sqrt(1 - r^2), where
                // r^2 I'(r) dr = r (mu I'(r)) dmu: the slope of a limb law is
                // singular at r = 1, and the quadrature's nodes stop short of
                // the end by more than such a singularity allows.
                interior = integrate_piece(
                    [&](double mu) {
                        const double r = std::sqrt(1 - mu * mu);
                        return r * disc(r) * profile.mu_slope_on(r, mu, a, b);
                    },
                    0.0, std::sqrt(1 - a * a), scale);
            }
            total += PI * (upper - lower) - PI * interior;
        }
        curve.push_back(total / norm);
    }
    return curve;
}

Outcome<Curve> _integrated_heyrovsky_magnification(Curve l, double re, double rstar, double norm,
                                                   const Profile& profile,
                                                   const Interrupt& interrupt) {
    const double rho = rstar / re;
    Curve curve;
    curve.reserve(l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        if (interrupted_at(interrupt, i, 1)) {
            return interrupted();
        }
        const double x = l[i];
        // A separation counts by its size, as in the disc model.
        const double lens = std::fabs(x);
        if (!std::isfinite(lens)) {
            curve.push_back(NaN);
            continue;
        }
        auto integrand = [&](double r) {
            const ellip::Result h = heyrovsky_magnification(lens, r, re, rstar);
            return h.ok() ? (TWO_PI * r) * h.value * profile(r) : NaN;
        };
        const double scale = magnitude(lens, rho, norm);
        const std::vector<double> edges = piece_edges(profile, lens);
        double total = 0;
        for (std::size_t k = 0; k + 1 < edges.size(); ++k) {
            total += integrate_piece(integrand, edges[k], edges[k + 1], scale);
        }
        curve.push_back(total / norm);
    }
    return curve;
}

Outcome<Curve> integrated_witt_mao_magnification(Curve l, double re, double rstar,
                                                 const Interrupt& interrupt) {
    return _integrated_witt_mao_magnification(std::move(l), re, rstar, BUILT_IN_NORM,
                                              LinearLimbDarkening{}, interrupt);
}

Outcome<Curve> integrated_heyrovsky_magnification(Curve l, double re, double rstar,
                                                  const Interrupt& interrupt) {
    return _integrated_heyrovsky_magnification(std::move(l), re, rstar, BUILT_IN_NORM,
                                               LinearLimbDarkening{}, interrupt);
}

}  // namespace models
