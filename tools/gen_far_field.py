#!/usr/bin/env python3
"""Write src/models/limb_law_far_field_table.hpp: the iterated Laplacians of
the point-lens magnification, for the mean-value series of a limb-darkened
source far from the lens.

With f(u) = (u^2 + 2) / (u S), S = sqrt(u^2 + 4), the point-lens
magnification as a radial function of the lens plane, the average of f over
a source of radius rho whose brightness I depends on the radius r alone is

    A = sum_k (rho^2 / 4)^k m_k Lap^k f(u) / k!^2,  m_k = <r^2k>_I,

the normalised brightness-weighted radial moments (m_0 = 1).  In w = u^2,
Lap = 4 (w d^2/dw^2 + d/dw), and by induction

    Lap^k f  = P_k(w) / (u^(2k+1) S^(4k+1)),
    d/du Lap^k f = -R_k(w) / (u^(2k+2) S^(4k+3)),

P_k of degree 2k - 1 and R_k of degree 2k (k >= 1), with integer
coefficients computed here exactly (Python's Fraction).  With x = u / rho
(source radii) and z = 1 / (x^2 (w + 4)^2),

    A - 1  = [4 / (w + 2 + u S) + sum_k m_k z^k a_k(w)] / (u S),
    dA/du  = -[8 + sum_k m_k z^k r_k(w)] / (w (w + 4) S),

a_k = P_k / (4^k k!^2), r_k = R_k / (4^k k!^2): the NEAR tables, for u < 2.
Beyond, in tau = t^2, t = 2/u, c = sqrt(1 + tau) and v = 1 / (x^2 c^4),

    A - 1  = (tau^2 / (4 c)) [1 / (1 + tau/2 + c) + sum_k m_k v^k b_k(tau)],
    dA/du  = -(t tau^2 / (32 c^3)) [8 + sum_k m_k v^k d_k(tau)],

the FAR tables, which neither overflow nor underflow early for any u up to
the largest double.  Each coefficient is the double nearest its exact
rational value.

The generator also bounds the series' terms: for every u, the term k of
A - 1 is at most GAMMA_k m_k x^(-2k) times the term 0 (GAMMA_k = (k + 1)^2,
reached as u grows), and the term k of dA/du at most (k + 1)^2 (k + 2) / 2
m_k x^(-2k) times its term 0; with m_k <= 1 (the brightness all at the
limb) the terms left out past TERMS at x >= 8 are below 1.1e-16 of A - 1.
It checks the closed forms against mpmath's numerical derivatives of f and
the near and far forms against each other.

    python3 tools/gen_far_field.py [output] [--check]
"""

from __future__ import annotations

import math
import sys
from fractions import Fraction
from pathlib import Path

import mpmath as mp

REPO_ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO_ROOT / "tools"))
import generated_file  # noqa: E402

DEFAULT_OUTPUT = REPO_ROOT / "src" / "models" / "limb_law_far_field_table.hpp"

# Terms k = 0 .. TERMS - 1 of the series.
TERMS = 10
# The least separation in source radii at which the series is used.
THRESHOLD = 8
# Farther out fewer terms suffice: from each separation (source radii) on,
# the number of terms kept.
TIERS = [(THRESHOLD, TERMS), (32, 6), (256, 4), (1000, 3), (100000, 2)]


# Polynomials in one variable: lists of Fractions, lowest power first.
def padd(a, b):
    n = max(len(a), len(b))
    return [(a[i] if i < len(a) else 0) + (b[i] if i < len(b) else 0) for i in range(n)]


def pmul(a, b):
    r = [Fraction(0)] * (len(a) + len(b) - 1)
    for i, x in enumerate(a):
        for j, y in enumerate(b):
            r[i + j] += x * y
    return r


def pscale(a, s):
    return [x * s for x in a]


def pder(a):
    return [a[i] * i for i in range(1, len(a))] or [Fraction(0)]


def trim(a):
    while len(a) > 1 and a[-1] == 0:
        a = a[:-1]
    return a


W = [Fraction(0), Fraction(1)]
W4 = [Fraction(4), Fraction(1)]


def d_dw(p, a, b):
    """d/dw [p w^-a (w+4)^-b] = q w^-(a+1) (w+4)^-(b+1); returns q."""
    return trim(padd(padd(pmul(pder(p), pmul(W, W4)), pscale(pmul(p, W4), -a)),
                     pscale(pmul(p, W), -b)))


def laplacians():
    """P_k and R_k, k = 0 .. TERMS - 1 (P_0 = w + 2, R_0 = 8)."""
    p, a, b = [Fraction(2), Fraction(1)], Fraction(1, 2), Fraction(1, 2)
    ps, rs = [], []
    for _ in range(TERMS):
        q1 = d_dw(p, a, b)
        ps.append(p)
        # d/du F = 2 u F_w = 2 q1 w^-(a+1/2) (w+4)^-(b+1)
        rs.append(trim(pscale(q1, -2)))
        q2 = d_dw(q1, a + 1, b + 1)
        # Lap F = 4 (F_w + w F_ww) = 4 (q1 (w+4) + q2) w^-(a+1) (w+4)^-(b+2)
        p, a, b = trim(pscale(padd(pmul(q1, W4), q2), 4)), a + 1, b + 2
    return ps, rs


def tables():
    ps, rs = laplacians()
    near_value, near_slope, far_value, far_slope = [], [], [], []
    for k in range(1, TERMS):
        scale = Fraction(1, 4**k * math.factorial(k) ** 2)
        p, r = ps[k], rs[k]
        assert len(p) == 2 * k and len(r) == 2 * k + 1
        near_value.append([c * scale for c in p])
        near_slope.append([c * scale for c in r])
        # z^k P_k(w) = tau v^k sum_i p_(2k-1-i) 4^(2k-1-i) / 16^k tau^i
        far_value.append([p[2 * k - 1 - i] * 4 ** (2 * k - 1 - i) * scale / 16**k
                          for i in range(2 * k)])
        far_slope.append([r[2 * k - i] * 4 ** (2 * k - i) * scale / 16**k
                          for i in range(2 * k + 1)])
    assert rs[0] == [8] and ps[0] == [2, 1]
    return ps, rs, near_value, near_slope, far_value, far_slope


def poly(cs, v):
    return sum(mp.mpf(c.numerator) / c.denominator * v**j for j, c in enumerate(cs))


def check(ps, rs, near_value, near_slope, far_value, far_slope):
    """The closed forms against numerical Laplacians of f; the near forms
    against the far ones; the bounds on the terms' ratios."""
    with mp.workdps(40):
        f = lambda u: (u * u + 2) / (u * mp.sqrt(u * u + 4))  # noqa: E731
        for u in (mp.mpf("0.3"), mp.mpf("1.7"), mp.mpf("5")):
            # Lap g = g'' + g'/u for the first two, numerically.
            lap = lambda g: (lambda v: mp.diff(g, v, 2) + mp.diff(g, v) / v)  # noqa: E731
            s = mp.sqrt(u * u + 4)
            w = u * u
            for k, g in ((0, f), (1, lap(f))):
                want = g(u)
                got = poly(ps[k], w) / (u ** (2 * k + 1) * s ** (4 * k + 1))
                assert abs(got - want) <= mp.mpf(10) ** -20 * abs(want), (k, u)
                dwant = mp.diff(g, u)
                dgot = -poly(rs[k], w) / (u ** (2 * k + 2) * s ** (4 * k + 3))
                assert abs(dgot - dwant) <= mp.mpf(10) ** -20 * abs(dwant), (k, u)
        # Near and far forms of every term agree (x = 1).
        for u in (mp.mpf("0.5"), mp.mpf(2), mp.mpf(7)):
            w = u * u
            s = mp.sqrt(w + 4)
            t = 2 / u
            tau = t * t
            c = mp.sqrt(1 + tau)
            z = 1 / (w + 4) ** 2
            v = 1 / c**4
            for k in range(1, TERMS):
                near = z**k * poly(near_value[k - 1], w) / (u * s)
                far = tau**2 / (4 * c) * v**k * poly(far_value[k - 1], tau)
                assert abs(near - far) <= mp.mpf(10) ** -30 * near, (k, u)
                near = z**k * poly(near_slope[k - 1], w) / (w * (w + 4) * s)
                far = t * tau**2 / (32 * c**3) * v**k * poly(far_slope[k - 1], tau)
                assert abs(near - far) <= mp.mpf(10) ** -30 * near, (k, u)
        # The ratios of term k to term 0 at x = 1 over u from 1e-10 to 1e10.
        for e in range(-200, 201):
            w = mp.mpf(10) ** (e / mp.mpf(10))
            s = mp.sqrt(w * (w + 4))
            t0 = 4 / (w + 2 + s)
            z = 1 / (w + 4) ** 2
            for k in range(1, TERMS + 3):
                scale = mp.mpf(1) / (4**k * math.factorial(k) ** 2)
                p, r = (ps[k], rs[k]) if k < TERMS else extra(k)
                value_ratio = z**k * poly(p, w) * scale / t0
                slope_ratio = z**k * poly(r, w) * scale / 8
                assert value_ratio <= (k + 1) ** 2 * (1 + mp.mpf(10) ** -12), (k, w)
                assert slope_ratio <= mp.mpf((k + 1) ** 2 * (k + 2)) / 2 * (1 + mp.mpf(10) ** -12)
        for x, n in TIERS:
            bound = sum(mp.mpf((k + 1) ** 2) / mp.mpf(x) ** (2 * k) for k in range(n, n + 40))
            assert bound < mp.mpf("1.1e-16"), (x, n, bound)


_EXTRA = {}


def extra(k):
    """P_k and R_k beyond the tables, for the bound's check."""
    if k not in _EXTRA:
        p, a, b = [Fraction(2), Fraction(1)], Fraction(1, 2), Fraction(1, 2)
        for j in range(k + 1):
            q1 = d_dw(p, a, b)
            if j == k:
                _EXTRA[k] = (p, trim(pscale(q1, -2)))
            q2 = d_dw(q1, a + 1, b + 1)
            p, a, b = trim(pscale(padd(pmul(q1, W4), q2), 4)), a + 1, b + 2
    return _EXTRA[k]


def nearest(x: Fraction):
    """The double nearest x and its distance from a rounding tie in ulps."""
    d = float(x)
    if d == 0:
        return d, Fraction(1, 2)
    ulp = Fraction(math.ulp(d))
    err = abs(x - Fraction(d)) / ulp
    return d, abs(Fraction(1, 2) - err)


def emit(name, polys, what, margin):
    lines = [f"// {what}"]
    for k, cs in enumerate(polys, start=1):
        cells = []
        for c in cs:
            d, m = nearest(c)
            margin[0] = min(margin[0], m)
            cells.append(repr(d))
        rows = [", ".join(cells[i:i + 4]) for i in range(0, len(cells), 4)]
        body = ",\n    ".join(rows)
        lines.append(f"inline constexpr std::array<double, {len(cs)}> {name}_{k}{{\n    {body}}};")
    return lines


def emit_terms(fn, name, count, doc):
    """An inline function filling out[k] (k = 1 .. n - 1) by Horner's rule."""
    lines = [f"// {doc}", f"inline void {fn}(double v, std::size_t n, double* out) noexcept {{"]
    for k in range(1, count + 1):
        if k > 1:
            lines.append(f"    if (n <= {k}) {{")
            lines.append("        return;")
            lines.append("    }")
        lines.append(f"    out[{k}] = horner({name}_{k}, v);")
    lines.append("}")
    return lines


def generate():
    ps, rs, near_value, near_slope, far_value, far_slope = tables()
    check(ps, rs, near_value, near_slope, far_value, far_slope)
    margin = [Fraction(1)]
    lines = [
        "// Generated by tools/gen_far_field.py; do not edit.",
        "//",
        "// The iterated Laplacians of the point-lens magnification f(u) =",
        "// (u^2 + 2) / (u S), S = sqrt(u^2 + 4), for the mean-value series of a",
        "// source far from the lens, term k = 1 .. TERMS - 1 (the generator's",
        "// docstring derives them).  NEAR_* are polynomials in w = u^2 (for u < 2),",
        "// FAR_* in tau = (2/u)^2, lowest power first; VALUE_* give Lap^k f and",
        "// SLOPE_* its derivative in u, each divided by 4^k k!^2.",
        "#pragma once",
        "",
        "#include <array>",
        "#include <cstddef>",
        "",
        "namespace models::far_field {",
        "",
        "// Terms k = 0 .. TERMS - 1; from THRESHOLD source radii on the terms left",
        "// out are below 1.1e-16 of the excess over 1 for any brightness.",
        f"inline constexpr std::size_t TERMS = {TERMS};",
        f"inline constexpr double THRESHOLD = {float(THRESHOLD)!r};",
        "",
        "// The terms kept from a separation (source radii) on, farthest first.",
        "struct Tier {",
        "    double from;",
        "    std::size_t terms;",
        "};",
        f"inline constexpr std::array<Tier, {len(TIERS)}> TIERS{{{{",
        *[f"    {{{float(x)!r}, {n}}}," for x, n in reversed(TIERS)],
        "}};",
        "",
        "template <std::size_t N>",
        "constexpr double horner(const std::array<double, N>& c, double v) noexcept {",
        "    double acc = c[N - 1];",
        "    for (std::size_t i = N - 1; i-- > 0;) {",
        "        acc = acc * v + c[i];",
        "    }",
        "    return acc;",
        "}",
        "",
    ]
    lines += emit("NEAR_VALUE", near_value, "a_k(w) = P_k(w) / (4^k k!^2)", margin) + [""]
    lines += emit("NEAR_SLOPE", near_slope, "r_k(w) = R_k(w) / (4^k k!^2)", margin) + [""]
    lines += emit("FAR_VALUE", far_value, "b_k(tau)", margin) + [""]
    lines += emit("FAR_SLOPE", far_slope, "d_k(tau)", margin) + [""]
    n = TERMS - 1
    lines += emit_terms("near_values", "NEAR_VALUE", n, "out[k] = a_k(w), k = 1 .. n - 1.") + [""]
    lines += emit_terms("near_slopes", "NEAR_SLOPE", n, "out[k] = r_k(w), k = 1 .. n - 1.") + [""]
    lines += emit_terms("far_values", "FAR_VALUE", n, "out[k] = b_k(tau), k = 1 .. n - 1.") + [""]
    lines += emit_terms("far_slopes", "FAR_SLOPE", n, "out[k] = d_k(tau), k = 1 .. n - 1.") + [""]
    lines += ["}  // namespace models::far_field", ""]
    return "\n".join(lines), margin[0]


if __name__ == "__main__":
    sys.exit(generated_file.main(sys.argv[1:], __doc__.splitlines()[0], DEFAULT_OUTPUT,
                                 REPO_ROOT, generate))
