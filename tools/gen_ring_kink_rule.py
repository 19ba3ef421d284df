#!/usr/bin/env python3
"""Generate the symmetric rule the ring route takes across the lens.

Writes src/models/ring_kink_rule.hpp: N pairs of nodes +-t_j in (-1, 1)
with weights w_j, on [0, 1] per side,

    sum_j w_j phi(t_j) = int_0^1 phi(t) dt

for the 2N functions t^2k and t^2k ln t (k = 0..N-1): a generalised Gauss
rule, exact over [-1, 1] for 1, y^2k and y^2k ln|y| and, by its symmetry,
for every odd function.  Across the lens the ring magnification is
P(y) + ln|y| Q(y) in the distance y from it, P and Q smooth on both sides
alike, so one piece centred on the lens integrates it as a Gauss rule
integrates a smooth function; it has no node on the lens, where the ring
through it is infinite.

It is found by Newton's method along a homotopy from the Gauss-Legendre rule
of N nodes on [0, 1]: the family t^2k and t^2k (t^e - 1) / e spans the
polynomials of degree below 2N at e = 1, and tends to t^2k ln t as e -> 0.
It is then checked two independent ways at higher precision: each defining
moment by mpmath.quad against the closed form -1/(2k+1)^2 the solve used,
and a smooth-plus-logarithm test integrand with complex singularities at
twice the half-width against mpmath.quad.

Usage:
    python3 tools/gen_ring_kink_rule.py [OUTPUT] [--check]
"""

from __future__ import annotations

import sys
from fractions import Fraction
from pathlib import Path

from mpmath import mp, mpf

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generated_file  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_OUTPUT = REPO_ROOT / "src" / "models" / "ring_kink_rule.hpp"
NODES = 8
WORK_DPS = 60
# Steps of the homotopy in e from 1 to 0.
STEPS = 20


def family(t, n, e):
    """The 2n functions and their slopes at t: t^2k, then t^2k (t^e - 1)/e
    (t^2k ln t at e = 0)."""
    v, d = [], []
    for k in range(n):
        p = 2 * k
        v.append(t ** p)
        d.append(p * t ** (p - 1) if p else mpf(0))
    lt = mp.log(t)
    for k in range(n):
        p = 2 * k
        if e == 0:
            v.append(t ** p * lt)
            d.append((p * lt + 1) * t ** (p - 1))
        else:
            v.append(t ** p * (t ** e - 1) / e)
            d.append(((p + e) * t ** (p + e - 1) - (p * t ** (p - 1) if p else 0)) / e)
    return v, d


def moments(n, e):
    m = [mpf(1) / (2 * k + 1) for k in range(n)]
    for k in range(n):
        m.append(-mpf(1) / ((2 * k + 1) * (2 * k + 1 + e)))
    return m


def newton(n, e, t, w):
    target = moments(n, e)
    for _ in range(100):
        rows = [family(x, n, e) for x in t]
        f = [sum(w[i] * rows[i][0][k] for i in range(n)) - target[k] for k in range(2 * n)]
        # The moments are met to the working precision: the system's
        # condition (some 1e16) keeps the steps themselves larger.
        if max(abs(x) for x in f) < mpf(10) ** (-WORK_DPS + 6):
            return t, w
        jac = [[rows[i][0][k] for i in range(n)] + [w[i] * rows[i][1][k] for i in range(n)]
               for k in range(2 * n)]
        step = mp.lu_solve(mp.matrix(jac), mp.matrix(f))
        damp = mpf(1)
        while True:
            nt = [t[i] - damp * step[n + i] for i in range(n)]
            if all(0 < x < 1 for x in nt) and sorted(nt) == nt:
                break
            damp /= 2
        w = [w[i] - damp * step[i] for i in range(n)]
        t = nt
    raise RuntimeError(f"Newton's method did not settle at e = {e}")


def rule(n):
    mp.dps = WORK_DPS
    # Gauss-Legendre on [0, 1] from the zeros of P_n(2t - 1).
    g = lambda s: mp.legendre(n, 2 * s - 1)  # noqa: E731
    grid = [mpf(i) / 4000 for i in range(4001)]
    t = [mp.findroot(g, (a, b), solver="anderson") for a, b in zip(grid, grid[1:])
         if g(a) * g(b) < 0]
    assert len(t) == n
    w = [1 / ((1 - (2 * s - 1) ** 2) * mp.diff(lambda u: mp.legendre(n, u), 2 * s - 1) ** 2)
         for s in t]
    t, w = newton(n, mpf(1), t, w)
    for s in range(1, STEPS + 1):
        t, w = newton(n, 1 - mpf(s) / STEPS, t, w)
    return t, w


def check(n, t, w):
    """The rule against mpmath.quad: each defining moment, and a function
    P(y) + ln|y| Q(y) with poles at +-2 +- 2i, twice the half-width away."""
    with mp.workdps(WORK_DPS + 10):
        for k in range(n):
            p = 2 * k
            for phi in (lambda x: x ** p, lambda x: x ** p * mp.log(x)):
                exact = mp.quad(phi, [0, 1])
                approx = sum(w[i] * phi(t[i]) for i in range(n))
                assert abs(approx - exact) < mpf(10) ** (-WORK_DPS + 20), (k, approx - exact)

        def logged(y):
            p = 1 / ((y + 2) ** 2 + 4) + mp.exp(y) * mp.cos(3 * y)
            q = 1 / ((y - 2) ** 2 + 4) + y * mp.sin(y + 1)
            return p + mp.log(abs(y)) * q
        exact = mp.quad(logged, [-1, 0, 1])
        approx = sum(w[i] * (logged(t[i]) + logged(-t[i])) for i in range(n))
        assert abs(approx / exact - 1) < mpf("1e-14"), approx / exact - 1


def nearest(x):
    """The double nearest x and its distance from a rounding tie in ulps."""
    d = float(x)
    exact = Fraction(mp.nstr(x, WORK_DPS - 5, min_fixed=-10**9, max_fixed=10**9))
    ulp = Fraction(abs(d) * 2.0 ** -52) if d != 0 else Fraction(1)
    err = abs(exact - Fraction(d)) / ulp
    return d, abs(Fraction(1, 2) - err)


def generate():
    t, w = rule(NODES)
    check(NODES, t, w)
    margin = Fraction(1)
    cells = []
    for x, y in zip(t, w):
        dx, mx = nearest(x)
        dy, my = nearest(y)
        margin = min(margin, mx, my)
        cells.append(f"    {{{dx!r}, {dy!r}}},")
    lines = [
        "// Generated by tools/gen_ring_kink_rule.py; do not edit.",
        "//",
        "// The symmetric rule across the lens for the rings, on [0, 1] per side:",
        f"// the pairs +-t of weight w, exact for t^2k and t^2k ln|t| (k = 0..{NODES - 1})",
        "// over [-1, 1] when each weight is doubled, and for every odd function by",
        "// symmetry; no node lies on the lens.",
        "#pragma once",
        "",
        "#include <array>",
        "",
        "namespace models::ring_kink_rule {",
        "",
        "struct Node {",
        "    double t;",
        "    double w;",
        "};",
        "",
        f"inline constexpr std::array<Node, {NODES}> NODES{{{{",
        *cells,
        "}};",
        "",
        "}  // namespace models::ring_kink_rule",
        "",
    ]
    return "\n".join(lines), margin


if __name__ == "__main__":
    sys.exit(generated_file.main(sys.argv[1:], __doc__.splitlines()[0], DEFAULT_OUTPUT,
                                 REPO_ROOT, generate))
