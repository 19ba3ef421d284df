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
// of the whole source (times the piece's share of the radius range): well
// inside the 1e-12 the curves promise, at a fraction of the full 385
// evaluations.
constexpr double RELATIVE_TARGET = 1e-13;

// By parts, the disc route's result is a sum of boundary terms and integrals
// that cancel when the profile has features much narrower than their radius
// (a thin bright ring, say): the flux of a thin annulus is a small difference
// of two disc fluxes.  Past this ratio of the terms' magnitudes to their sum
// the cancellation would cost more digits than the promised accuracy leaves,
// and the element is integrated over rings instead, which forms that
// difference directly.
constexpr double CANCELLATION_LIMIT = 8;

// Pieces integrated between two polls for a pending interrupt: a piece costs
// some microseconds, so a profile of many thousands of pieces still answers
// within a millisecond or so.
constexpr std::size_t POLL_PIECES = 64;

// The radii that bound the smooth pieces of an integrand: 0, the profile's
// breakpoints, the lens when it lies inside the source (where the ring
// through the lens makes the integrand singular), and 1.
std::vector<double> piece_edges(const Profile& profile, double lens) {
    const std::span<const double> breaks = profile.breakpoints();
    std::vector<double> edges;
    edges.reserve(breaks.size() + 3);
    edges.push_back(0.0);
    bool lens_pending = lens > 0 && lens < 1;
    for (const double b : breaks) {
        if (lens_pending && lens <= b) {
            if (lens < b) {
                edges.push_back(lens);
            }
            lens_pending = false;
        }
        edges.push_back(b);
    }
    if (lens_pending) {
        edges.push_back(lens);
    }
    edges.push_back(1.0);
    return edges;
}

[[nodiscard]] bool vanishes(const PieceLaw& law) noexcept {
    return law.c0 == 0 && law.c1 == 0 && law.c2 == 0;
}

// int_a^b f dx by x = a + w phi(s), w = b - a, phi(s) = s^2 (3 - 2 s) on
// s in [0, 1], f called with x and its distances from both ends.  phi'
// vanishes at both ends, so a logarithm at an end (the ring through the
// lens) becomes s log s and the quadrature's nodes, which stop short of the
// ends, lose nothing of it; features at an end on a scale much finer than
// the piece (the lens's Einstein radius for a large source) are spread over
// more nodes; and the distances from the ends come out of phi exactly, so
// the ring's distance from the lens is known to full relative precision
// however close the two are.
template <class F>
double integrate_graded(F&& f, double a, double b, double target) {
    const double w = b - a;
    auto integrand = [&](double s) {
        const double t = 1 - s;
        const double from_a = w * (s * s * (3 - 2 * s));
        const double from_b = w * (t * t * (3 - 2 * t));
        const double x = from_a <= from_b ? a + from_a : b - from_b;
        return f(x, from_a, from_b) * (6 * w * (s * t));
    };
    return quadrature::double_exponential::integrate(integrand, 0.0, 1.0, target).integral;
}

// int_a^b 2 pi r A_ring(r) I(r) dr on one piece.
double ring_piece(double lens, double eps, const PieceLaw& law, double a, double b,
                  double target) {
    const double a_off = a - lens;  // exact where a and the lens are close
    const double b_off = b - lens;
    const double limb_off = 1 - b;
    const double a_pivot = a - law.r0;  // exact where the pivot is an end
    const double b_pivot = b - law.r0;
    auto integrand = [&](double r, double from_a, double from_b) {
        const bool near_a = from_a <= from_b;
        const double d = near_a ? a_off + from_a : b_off - from_b;
        const double offset = near_a ? a_pivot + from_a : b_pivot - from_b;
        const double to_limb = near_a ? 1 - r : limb_off + from_b;
        const double mu = law.singular_at_limb() ? std::sqrt(to_limb * (1 + r)) : 0.0;
        const ellip::Result h = ring_element(lens, r, d, eps);
        if (!h.ok()) {
            return NaN;
        }
        return (TWO_PI * r) * h.value() * law.value_at_offset(offset, mu);
    };
    return integrate_graded(integrand, a, b, target);
}

// A scale for the integrals of one element: the flux-weighted magnification
// is of the order of the uniform-disc value.
double magnitude(double whole, double norm) {
    const double scale = std::fabs(whole * norm);
    return std::isfinite(scale) && scale > 0 ? scale : 1.0;
}

// The size of the source in Einstein radii, or NaN when a source or Einstein
// radius of zero, infinite or undefined size leaves the magnification
// undefined.  Lengths count by their size, as separations do.
double source_size(double re, double rstar) {
    const double rho = std::fabs(rstar / re);
    return rho > 0 && std::isfinite(rho) ? rho : NaN;
}

// The outcome of one element: its value, or the call was interrupted
// (runtime::INTERRUPTED).
using Element = ellip::Result;

[[nodiscard]] Element interrupted_element() noexcept {
    return ellip::failure(runtime::INTERRUPTED);
}

// The ring through the lens is singular only on the lens's own scale, its
// Einstein radius eps (source radii): within a few eps of the lens the ring
// magnification changes from a logarithm to its far tail.  For a large
// source that scale is much finer than a piece, and one graded piece per
// side spends too few nodes on it; the pieces next to the lens are cut again
// at geometrically growing distances k eps from it.
void cut_near_lens(std::vector<double>& edges, double lens, double eps) {
    if (!(lens > 0 && lens < 1) || !(eps < 0.1)) {
        return;
    }
    std::vector<double> cuts;
    for (double k = 1; k * eps < 1; k *= 8) {
        for (const double cut : {lens - k * eps, lens + k * eps}) {
            if (cut > 0 && cut < 1) {
                cuts.push_back(cut);
            }
        }
    }
    // A cut closer to an existing edge than half its distance from the lens
    // would only make a sliver.
    for (const double cut : cuts) {
        const auto next = std::lower_bound(edges.begin(), edges.end(), cut);
        const double gap = 0.5 * std::fabs(cut - lens);
        if (next == edges.begin() || next == edges.end() || *next - cut < gap ||
            cut - *(next - 1) < gap) {
            continue;
        }
        edges.insert(next, cut);
    }
}

Element ring_element_integral(double lens, double rho, double whole, double norm,
                              const Profile& profile, const Interrupt& interrupt) {
    const double eps = 1 / rho;
    const double scale = magnitude(whole, norm);
    std::vector<double> edges = piece_edges(profile, lens);
    cut_near_lens(edges, lens, eps);
    double total = 0;
    for (std::size_t k = 0; k + 1 < edges.size(); ++k) {
        if (k != 0 && interrupted_at(interrupt, k, POLL_PIECES)) {
            return interrupted_element();
        }
        const double a = edges[k];
        const double b = edges[k + 1];
        const PieceLaw law = profile.law_on(a, b);
        if (vanishes(law)) {
            continue;
        }
        total += ring_piece(lens, eps, law, a, b, RELATIVE_TARGET * scale * (b - a));
    }
    return ellip::success(total / norm);
}

// r^2 M(r) for the disc of radius r (source radii) about the centre: the
// lens is at lens / r of its radii, and it spans rho r Einstein radii.  At
// r = 1 it is the whole source, r^2 M(r) vanishes at the centre.
double disc_flux(double lens, double rho, double whole, double r) {
    if (r == 1.0) {
        return whole;
    }
    if (r == 0.0) {
        return 0.0;
    }
    const ellip::Result m = witt_mao_element(lens / r, rho * r);
    return m.ok() ? r * r * m.value() : NaN;
}

// The disc route, from int_0^1 2 pi r A_ring(r) I(r) dr = pi int_0^1 I(r) dG,
// G(r) = r^2 M(r), by parts over the whole radius:
//   pi sum_edges G(e) (I(e-) - I(e+)) - pi sum_pieces int G(r) I'(r) dr,
// with I = 0 beyond the limb.  Where I is continuous the edge terms vanish.
Element disc_element_integral(double lens, double rho, double whole, double norm,
                              const Profile& profile, const Interrupt& interrupt) {
    const double scale = magnitude(whole, norm) / PI;
    const std::vector<double> edges = piece_edges(profile, lens);
    double total = 0;
    double size = 0;  // the sum of the terms' magnitudes
    PieceLaw left{0.0, 0.0, 0.0, 0.0};
    for (std::size_t k = 0; k + 1 < edges.size(); ++k) {
        if (k != 0 && interrupted_at(interrupt, k, POLL_PIECES)) {
            return interrupted_element();
        }
        const double a = edges[k];
        const double b = edges[k + 1];
        const PieceLaw law = profile.law_on(a, b);
        if (a > 0) {
            const double mu = mu_of(a);
            const double jump = left.value(a, mu) - law.value(a, mu);
            if (jump != 0) {
                const double term = disc_flux(lens, rho, whole, a) * jump;
                total += term;
                size += std::fabs(term);
            }
        }
        left = law;
        const double target = RELATIVE_TARGET * scale * (b - a);
        double interior = 0;
        if (law.singular_at_limb()) {
            // In mu = sqrt(1 - r^2), where r^2 I'(r) dr = r (mu I'(r)) dmu:
            // the slope of a law in mu is singular at r = 1, and a piece that
            // ends at or just short of the limb would put that singularity at
            // or next to its end.
            interior = integrate_graded(
                [&](double mu, double, double) {
                    const double r = std::sqrt((1 - mu) * (1 + mu));
                    const double g = disc_flux(lens, rho, whole, r);
                    return (g / r) * law.mu_slope(r, mu);
                },
                mu_of(b), mu_of(a), target);
        } else if (law.c1 != 0) {
            interior = law.c1 * integrate_graded(
                                    [&](double r, double, double) {
                                        return disc_flux(lens, rho, whole, r);
                                    },
                                    a, b, target / std::fabs(law.c1));
        }
        total -= interior;
        size += std::fabs(interior);
    }
    // The limb, beyond which the profile is 0.
    const double limb = left.value(1.0, 0.0);
    total += whole * limb;
    size += std::fabs(whole * limb);
    if (size > CANCELLATION_LIMIT * std::fabs(total)) {
        return ring_element_integral(lens, rho, whole, norm, profile, interrupt);
    }
    return ellip::success(PI * total / norm);
}

// The whole-source values first, into out: a disc-route curve fails, before
// any quadrature, exactly where the uniform-disc model fails; the ring route
// leaves NaN where it fails.  Then each element refines its whole-source
// value into the profile-weighted one.
template <class ElementIntegral>
Outcome<Filled> integrated(std::span<const double> l, double re, double rstar,
                           const Profile& profile, std::span<double> out,
                           const Interrupt& interrupt, ElementIntegral&& element,
                           bool report_errors) {
    if (l.size() != out.size()) {
        fail_equal(l.size(), out.size(), __FILE__, __LINE__);
    }
    const double rho = source_size(re, rstar);
    const double norm = profile.norm();
    if (std::isnan(rho)) {
        std::fill(out.begin(), out.end(), NaN);
        return Filled{};
    }
    // A separation counts by its size.
    const runtime::Status whole = drive(
        [rho, report_errors](double x) {
            const ellip::Result a = witt_mao_element(std::fabs(x), rho);
            return a.ok() || report_errors ? a : ellip::success(NaN);
        },
        l, out, interrupt);
    if (!whole.ok()) {
        return outcome_of(whole);
    }
    // Each element is a quadrature, some microseconds to milliseconds: the
    // driver polls before every one.
    return outcome_of(drive(
        [&](double x, double whole_value) -> Element {
            const double lens = std::fabs(x);
            if (!std::isfinite(lens)) {
                return ellip::success(NaN);
            }
            return element(lens, rho, whole_value, norm, profile, interrupt);
        },
        l, out, interrupt, 1));
}

template <class ElementIntegral>
Outcome<Curve> integrated_curve(const Curve& l, double re, double rstar, const Profile& profile,
                                const Interrupt& interrupt, ElementIntegral&& element,
                                bool report_errors) {
    Curve curve(l.size());
    const Outcome<Filled> filled =
        integrated(l, re, rstar, profile, curve, interrupt, element, report_errors);
    if (!filled.ok()) {
        return filled.error();
    }
    return curve;
}

}  // namespace

Outcome<Curve> _integrated_witt_mao_magnification(Curve l, double re, double rstar,
                                                  const Profile& profile,
                                                  const Interrupt& interrupt) {
    return integrated_curve(l, re, rstar, profile, interrupt, disc_element_integral, true);
}

Outcome<Curve> _integrated_heyrovsky_magnification(Curve l, double re, double rstar,
                                                   const Profile& profile,
                                                   const Interrupt& interrupt) {
    return integrated_curve(l, re, rstar, profile, interrupt, ring_element_integral, false);
}

Outcome<Filled> _integrated_witt_mao_magnification_into(std::span<const double> l, double re,
                                                        double rstar, const Profile& profile,
                                                        std::span<double> out,
                                                        const Interrupt& interrupt) {
    return integrated(l, re, rstar, profile, out, interrupt, disc_element_integral, true);
}

Outcome<Filled> _integrated_heyrovsky_magnification_into(std::span<const double> l, double re,
                                                         double rstar, const Profile& profile,
                                                         std::span<double> out,
                                                         const Interrupt& interrupt) {
    return integrated(l, re, rstar, profile, out, interrupt, ring_element_integral, false);
}

double integrated_disc_element(double lens, double rho, const Profile& profile) {
    const double norm = profile.norm();
    const ellip::Result whole = witt_mao_element(lens, rho);
    if (!whole.ok() || std::isnan(norm)) {
        return NaN;
    }
    const Element e = disc_element_integral(lens, rho, whole.value(), norm, profile, {});
    return e.ok() ? e.value() : NaN;
}

Outcome<Curve> integrated_witt_mao_magnification(Curve l, double re, double rstar,
                                                 const Interrupt& interrupt) {
    return _integrated_witt_mao_magnification(std::move(l), re, rstar, LinearLimbDarkening{},
                                              interrupt);
}

Outcome<Curve> integrated_heyrovsky_magnification(Curve l, double re, double rstar,
                                                  const Interrupt& interrupt) {
    return _integrated_heyrovsky_magnification(std::move(l), re, rstar, LinearLimbDarkening{},
                                               interrupt);
}

}  // namespace models
