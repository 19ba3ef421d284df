#include "models/limb_law_far_field.hpp"

#include <cmath>

#include "models/limb_law.hpp"

namespace models::far_field {

namespace {

// The radial moments of the basis profiles, J_k[phi] = int_0^1 2 mu phi(mu)
// (1 - mu^2)^k dmu (= int_0^1 phi 2 r r^2k dr), for k = 0 .. TERMS - 1.
using Row = std::array<double, TERMS>;

// J_k[1] = 1/(k+1).
Row of_one() noexcept {
    Row r{};
    for (std::size_t k = 0; k < TERMS; ++k) {
        r[k] = 1 / static_cast<double>(k + 1);
    }
    return r;
}

// J_k[mu^p] = k! / prod_{j=1}^{k+1} (p/2 + j) = J_k[1] exp(-L_k),
// L_k = sum_{j=1}^{k+1} log1p(p / 2j).
Row log_ratios(double p) noexcept {
    Row l{};
    double sum = 0;
    for (std::size_t k = 0; k < TERMS; ++k) {
        sum += std::log1p(p / (2 * static_cast<double>(k + 1)));
        l[k] = sum;
    }
    return l;
}

Row of_power(double p) noexcept {
    const Row one = of_one();
    const Row l = log_ratios(p);
    Row r{};
    for (std::size_t k = 0; k < TERMS; ++k) {
        r[k] = one[k] * std::exp(-l[k]);
    }
    return r;
}

// J_k[1 - mu^p] = J_k[1] (1 - exp(-L_k)), formed by expm1 so that a small
// exponent (1 - mu^p ~ -p ln mu) keeps its digits.
Row of_dimming(double p) noexcept {
    const Row one = of_one();
    const Row l = log_ratios(p);
    Row r{};
    for (std::size_t k = 0; k < TERMS; ++k) {
        r[k] = one[k] * -std::expm1(-l[k]);
    }
    return r;
}

// J_k[mu^p ln mu] = d/dp J_k[mu^p] = -J_k[mu^p] sum_{j=1}^{k+1} 1/(p + 2j).
Row of_power_log(double p) noexcept {
    const Row power = of_power(p);
    Row r{};
    double sum = 0;
    for (std::size_t k = 0; k < TERMS; ++k) {
        sum += 1 / (p + 2 * static_cast<double>(k + 1));
        r[k] = -power[k] * sum;
    }
    return r;
}

// The law's brightness as 1 - sum_i c_i phi_i and its derivatives: the rows
// of the phi_i, and of the derivatives of I with respect to each c_i.
struct Basis {
    std::size_t count = 0;
    std::array<Row, 4> dimming{};  // J_k[phi_i]
    std::array<Row, 4> slope{};    // J_k[dI/dc_i]
};

Basis basis(LawKind kind, std::span<const double> c) noexcept {
    Basis b;
    auto negated = [](const Row& r) {
        Row n{};
        for (std::size_t k = 0; k < TERMS; ++k) {
            n[k] = -r[k];
        }
        return n;
    };
    auto plain = [&](std::size_t i, const Row& phi) {
        b.dimming[i] = phi;
        b.slope[i] = negated(phi);
    };
    switch (kind) {
        case LawKind::linear:
            b.count = 1;
            plain(0, of_dimming(1));
            break;
        case LawKind::quadratic: {
            // (1 - mu)^2 = 2 (1 - mu) - (1 - mu^2).
            b.count = 2;
            const Row one = of_dimming(1);
            const Row two = of_dimming(2);
            Row square{};
            for (std::size_t k = 0; k < TERMS; ++k) {
                square[k] = 2 * one[k] - two[k];
            }
            plain(0, one);
            plain(1, square);
            break;
        }
        case LawKind::square_root:
            b.count = 2;
            plain(0, of_dimming(1));
            plain(1, of_dimming(0.5));
            break;
        case LawKind::logarithmic:
            // I = 1 - e (1 - mu) - f mu ln mu.
            b.count = 2;
            plain(0, of_dimming(1));
            plain(1, of_power_log(1));
            break;
        case LawKind::power_2: {
            // I = 1 - c (1 - mu^alpha); dI/dalpha = c mu^alpha ln mu.
            b.count = 2;
            plain(0, of_dimming(c[1]));
            const Row log = of_power_log(c[1]);
            for (std::size_t k = 0; k < TERMS; ++k) {
                b.slope[1][k] = c[0] * log[k];
            }
            break;
        }
        case LawKind::nonlinear:
            b.count = 4;
            for (std::size_t i = 0; i < 4; ++i) {
                plain(i, of_dimming(0.5 * static_cast<double>(i + 1)));
            }
            break;
        default:
            break;
    }
    return b;
}

std::size_t terms_at(double x) noexcept {
    for (const Tier& tier : TIERS) {
        if (x >= tier.from) {
            return tier.terms;
        }
    }
    return TERMS;
}

// What the value and its slopes share: the Laplacians' polynomials at the
// separation and the powers that carry them.  Near (u < 2) in w = u^2,
//   A - 1 = [head + z sum_k m_k z^(k-1) a_k(w)] / (u S),
//   z = 1 / (x^2 (w + 4)^2),  head = 4 / (w + 2 + u S);
// far (u >= 2) in tau = (2/u)^2, c = sqrt(1 + tau),
//   A - 1 = tau^2 [head + z sum_k m_k z^(k-1) b_k(tau)] / (4 c),
//   z = 1 / (x^2 c^4),  head = 1 / (1 + tau/2 + c),
// so that no u up to the largest double overflows (the excess, 2/u^4,
// underflows gracefully) and no small u underflows.
struct Series {
    bool near = true;
    std::size_t n = 0;
    double v = 0;     // w or tau
    double root = 0;  // S or c
    double z = 0;
    double head = 0;
    std::array<double, TERMS> poly{};
};

// The series switches form at u = 2, where the two agree to rounding.
constexpr double NEAR_LIMIT = 2;

// The polynomials of `extra` terms beyond the value's are formed too (as far
// as the table goes): the derivatives take more terms than the value.
void prepare(double u, double x, Series& s, std::size_t extra = 0) noexcept {
    s.n = terms_at(x);
    const std::size_t polys = s.n + extra < TERMS ? s.n + extra : TERMS;
    const double ix2 = 1 / (x * x);
    if (u < NEAR_LIMIT) {
        const double w = u * u;
        const double q = w + 4;
        const double root = std::sqrt(q);
        s.near = true;
        s.v = w;
        s.root = root;
        s.z = ix2 / (q * q);
        s.head = 4 / (w + 2 + u * root);
        near_values(w, polys, s.poly.data());
    } else {
        const double t = 2 / u;
        const double tau = t * t;
        const double c2 = 1 + tau;
        const double c = std::sqrt(c2);
        s.near = false;
        s.v = tau;
        s.root = c;
        s.z = ix2 / (c2 * c2);
        s.head = 1 / (1 + tau / 2 + c);
        far_values(tau, polys, s.poly.data());
    }
}

// sum_{k=1}^{n-1} weight_k z^(k-1) poly_k by Horner's rule, smallest first.
double series_sum(const double* weight, const double* poly, double z, std::size_t n) noexcept {
    double sum = weight[n - 1] * poly[n - 1];
    for (std::size_t k = n - 1; k-- > 1;) {
        sum = sum * z + weight[k] * poly[k];
    }
    return sum;
}

// A - 1, or a part of it, from the bracket [head + z sum] as the form scales it.
double scaled(const Series& s, double u, double bracket) noexcept {
    if (s.near) {
        return bracket / (u * s.root);
    }
    return (s.v * s.v) * bracket / (4 * s.root);
}

double excess_of(const Moments& mo, const Series& s, double u) noexcept {
    return scaled(s, u, s.head + s.z * series_sum(mo.m.data(), s.poly.data(), s.z, s.n));
}

// dA/drho at fixed u over the first n terms: rho^2k makes term k's
// derivative in rho 2k / rho times the term.
double drho_of(const Moments& mo, const Series& s, double u, double rho, std::size_t n) noexcept {
    std::array<double, TERMS> weighted{};
    for (std::size_t k = 1; k < n; ++k) {
        weighted[k] = static_cast<double>(2 * k) * mo.m[k];
    }
    return scaled(s, u, s.z * series_sum(weighted.data(), s.poly.data(), s.z, n)) / rho;
}

// The terms the slopes keep: one more than the value, where there is one.
std::size_t slope_terms(const Series& s) noexcept {
    return s.n < TERMS ? s.n + 1 : TERMS;
}

}  // namespace

Moments moments(LawKind kind, std::span<const double> c, double flux) noexcept {
    Moments mo;
    const Basis b = basis(kind, c);
    const Row one = of_one();
    for (std::size_t k = 0; k < TERMS; ++k) {
        double j = one[k];
        for (std::size_t i = 0; i < b.count; ++i) {
            j -= c[i] * b.dimming[i][k];
        }
        mo.m[k] = j / flux;
    }
    // The series' leading term is f - 1 itself: the law's own flux and its
    // zeroth moment are the same integral.
    mo.m[0] = 1;
    // m_k = J_k[I] / N: dm_k/dc_i = (J_k[dI/dc_i] - m_k N_i) / N, N_i = J_0[dI/dc_i].
    for (std::size_t i = 0; i < b.count; ++i) {
        const double flux_i = b.slope[i][0];
        for (std::size_t k = 1; k < TERMS; ++k) {
            mo.dm[i][k] = (b.slope[i][k] - mo.m[k] * flux_i) / flux;
        }
    }
    return mo;
}

double excess(const Moments& mo, double u, double x) noexcept {
    Series s;
    prepare(u, x, s);
    return excess_of(mo, s, u);
}

Slopes slopes(const Moments& mo, double u, double x, double rho, std::span<double> dc) noexcept {
    // The derivatives in rho and the coefficients start at the term in x^-2,
    // so the terms the value leaves out weigh x^2 times more in them: they
    // keep one term more (the value's own polynomials are the same bits).
    Series s;
    prepare(u, x, s, 1);
    const std::size_t n = slope_terms(s);
    Slopes out;
    out.excess = excess_of(mo, s, u);

    // dA/du at fixed rho, from d/du Lap^k f: near
    //   -[8 + z sum_k m_k z^(k-1) r_k(w)] / (w (w + 4) S),
    // far -t tau^2 [8 + z sum_k m_k z^(k-1) d_k(tau)] / (32 c^3).
    std::array<double, TERMS> slope{};
    if (s.near) {
        near_slopes(s.v, n, slope.data());
        const double bracket = 8 + s.z * series_sum(mo.m.data(), slope.data(), s.z, n);
        out.du = -bracket / ((s.v * (s.v + 4)) * s.root);
    } else {
        far_slopes(s.v, n, slope.data());
        const double bracket = 8 + s.z * series_sum(mo.m.data(), slope.data(), s.z, n);
        const double t = 2 / u;
        out.du = -(t * (s.v * s.v)) * bracket / (32 * (s.root * (1 + s.v)));
    }

    out.drho = drho_of(mo, s, u, rho, n);

    // The coefficients enter through the moments only.
    for (std::size_t i = 0; i < dc.size() && i < mo.dm.size(); ++i) {
        dc[i] = scaled(s, u, s.z * series_sum(mo.dm[i].data(), s.poly.data(), s.z, n));
    }
    return out;
}

double drho(const Moments& mo, double u, double x, double rho) noexcept {
    Series s;
    prepare(u, x, s, 1);
    return drho_of(mo, s, u, rho, slope_terms(s));
}

}  // namespace models::far_field
