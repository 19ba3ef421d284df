#!/usr/bin/env python3
"""Generate the symmetric rule the limb-darkened element takes across the kink.

Writes src/models/limb_law_kink_rule.hpp: a rule on [-1, 1] with a node at 0
and N pairs of nodes +-t_j, exact for the even functions

    1,  t^(2k),  t^(2k) ln|t|   (k = 1..N),

and so, by its symmetry, for every odd function too.  Across the lens the
excess flux of the discs is P(y) + y ln|y| Q(y) in the distance y from the
lens, P and Q smooth on both sides alike, so the rule integrates it as a
Gauss rule integrates a smooth function, without crowding nodes against the
lens (which would be discs whose limb all but touches the lens, the dearest
the disc kernel has).  The weights on [0, 1] (w_0 for the node at 0, w_j for
+-t_j) solve

    w_0 phi(0) + sum_j w_j phi(t_j) = int_0^1 phi(t) dt

for the 2N + 1 functions above: a generalised Gauss rule.  It is found by
Newton's method along a homotopy from the Gauss-Radau rule (t^(2k) (t^-e -
1)/e for e = 1 spans the polynomials of degree <= 2N; e -> 0 gives
-t^(2k) ln t), then checked two independent ways at higher precision: the
moments by mpmath.quad of each function against the closed forms used by
the solve, and a smooth-plus-kink test integrand against mpmath.quad.

Usage:
    python3 tools/gen_kink_rule.py [OUTPUT] [--check]
"""

from __future__ import annotations

import sys
from fractions import Fraction
from pathlib import Path

from mpmath import mp, mpf

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generated_file  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_OUTPUT = REPO_ROOT / "src" / "models" / "limb_law_kink_rule.hpp"

PAIRS = 7
# The smooth-plus-kink test integrand, poles at twice the half-width as
# the layout allows: 7 pairs leave 3e-15 of it (6 pairs 2e-13).
KINK_TOLERANCE = mpf("1e-14")
WORK_DPS = 60
STEPS = 20


def family(t, n, e):
    """The functions and their slopes at t: 1, then t^2k and the homotopy's
    t^2k (t^-e - 1) / e (-t^2k ln t at e = 0)."""
    v, d = [mpf(1)], [mpf(0)]
    for k in range(1, n + 1):
        p = 2 * k
        v.append(t ** p)
        d.append(p * t ** (p - 1))
        if e == 0:
            v.append(-t ** p * mp.log(t))
            d.append(-(p * mp.log(t) + 1) * t ** (p - 1))
        else:
            v.append(t ** p * (t ** (-e) - 1) / e)
            d.append(((p - e) * t ** (p - e - 1) - p * t ** (p - 1)) / e)
    return v, d


def moments(n, e):
    m = [mpf(1)]
    for k in range(1, n + 1):
        m.append(mpf(1) / (2 * k + 1))
        m.append(mpf(1) / ((2 * k + 1 - e) * (2 * k + 1)))
    return m


def newton(n, e, w0, t, w):
    target = moments(n, e)
    for _ in range(100):
        rows = [family(x, n, e) for x in t]
        f = [(w0 if k == 0 else 0) + sum(w[i] * rows[i][0][k] for i in range(n)) - target[k]
             for k in range(2 * n + 1)]
        jac = [[1 if k == 0 else 0] + [rows[i][0][k] for i in range(n)]
               + [w[i] * rows[i][1][k] for i in range(n)] for k in range(2 * n + 1)]
        step = mp.lu_solve(mp.matrix(jac), mp.matrix(f))
        damp = mpf(1)
        while True:
            nt = [t[i] - damp * step[1 + n + i] for i in range(n)]
            if all(0 < x < 1 for x in nt) and sorted(nt) == nt:
                break
            damp /= 2
        w0 = w0 - damp * step[0]
        w = [w[i] - damp * step[1 + i] for i in range(n)]
        t = nt
        if mp.norm(step) < mpf(10) ** (-WORK_DPS + 15):
            return w0, t, w
    raise RuntimeError(f"Newton's method did not settle at e = {e}")


def radau(n):
    """Gauss-Radau on [0, 1] with the node 0: the other nodes are the zeros
    of the Jacobi polynomial P_n^(0,1)(2t - 1)."""
    g = lambda x: mp.jacobi(n, 0, 1, 2 * x - 1)  # noqa: E731
    grid = [mpf(i) / 4000 for i in range(4001)]
    t = [mp.findroot(g, (a, b), solver="anderson") for a, b in zip(grid, grid[1:])
         if g(a) * g(b) < 0]
    assert len(t) == n
    a = mp.matrix([[1 if k == 0 else 0] + [x ** k for x in t] for k in range(n + 1)])
    b = mp.matrix([mpf(1) / (k + 1) for k in range(n + 1)])
    sol = mp.lu_solve(a, b)
    return sol[0], t, [sol[1 + i] for i in range(n)]


def rule(n):
    mp.dps = WORK_DPS
    w0, t, w = radau(n)
    w0, t, w = newton(n, mpf(1), w0, t, w)
    for s in range(1, STEPS + 1):
        w0, t, w = newton(n, 1 - mpf(s) / STEPS, w0, t, w)
    return w0, t, w


def check(n, w0, t, w):
    """The rule against mpmath.quad: each defining moment, and a function
    with a kink and complex singularities at twice the half-width."""
    with mp.workdps(WORK_DPS + 10):
        for k in range(1, n + 1):
            p = 2 * k
            for phi in (lambda x: x ** p, lambda x: x ** p * mp.log(x)):
                exact = mp.quad(phi, [0, 1])
                approx = sum(w[i] * phi(t[i]) for i in range(n))
                assert abs(approx - exact) < mpf(10) ** (-WORK_DPS + 20), (k, approx - exact)

        def kinked(y):
            smooth = 1 / (y * y + 4) + mp.exp(y) * mp.cos(y)
            q = y / (y * y + 4) + y * y * mp.sin(y + 1)
            return smooth + (mp.log(abs(y)) * y * q if y != 0 else 0)

        exact = mp.quad(kinked, [-1, 0, 1])
        approx = 2 * w0 * kinked(mpf(0)) + sum(w[i] * (kinked(t[i]) + kinked(-t[i]))
                                               for i in range(n))
        assert abs(approx / exact - 1) < KINK_TOLERANCE, approx / exact - 1


def nearest(x):
    """The double nearest x and its distance from a rounding tie in ulps."""
    d = float(x)
    exact = Fraction(mp.nstr(x, WORK_DPS - 5, min_fixed=-10**9, max_fixed=10**9))
    ulp = Fraction(abs(d) * 2.0 ** -52) if d != 0 else Fraction(1)
    err = abs(exact - Fraction(d)) / ulp
    return d, abs(Fraction(1, 2) - err)


def generate():
    w0, t, w = rule(PAIRS)
    check(PAIRS, w0, t, w)
    margin = Fraction(1)
    cells = []
    d0, m = nearest(w0)
    margin = min(margin, m)
    for x, y in zip(t, w):
        dx, mx = nearest(x)
        dy, my = nearest(y)
        margin = min(margin, mx, my)
        cells.append(f"    {{{dx!r}, {dy!r}}},")
    lines = [
        "// Generated by tools/gen_kink_rule.py; do not edit.",
        "//",
        "// The symmetric rule across the lens's kink, on [0, 1] per side: a node at",
        "// 0 of weight CENTRE_WEIGHT and the pairs +-t of weight w, exact for",
        f"// 1, t^2k and t^2k ln|t| (k = 1..{PAIRS}) over [-1, 1] when each weight is",
        "// doubled, and for every odd function by symmetry.",
        "#pragma once",
        "",
        "#include <array>",
        "",
        "namespace models::kink_rule {",
        "",
        "struct Pair {",
        "    double t;",
        "    double w;",
        "};",
        "",
        f"inline constexpr double CENTRE_WEIGHT = {d0!r};",
        "",
        f"inline constexpr std::array<Pair, {PAIRS}> PAIRS{{{{",
        *cells,
        "}};",
        "",
        "}  // namespace models::kink_rule",
        "",
    ]
    return "\n".join(lines), margin


if __name__ == "__main__":
    sys.exit(generated_file.main(sys.argv[1:], __doc__.splitlines()[0], DEFAULT_OUTPUT,
                                 REPO_ROOT, generate))
