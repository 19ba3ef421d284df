#!/usr/bin/env python3
"""Generate the Gauss-Legendre rules of the limb-darkened element.

Writes src/quadrature/gauss_legendre_table.hpp: for n = 4, 6, 8, 10, 12, 16,
20 and 24 the n-point Gauss-Legendre rule on [0, 1] (nodes t_j ascending, weights w_j
summing to 1), and for n = 8, 12 and 16 the product weights of the logarithm,

    L_j = int_0^1 l_j(t) t ln t dt,

l_j the Lagrange polynomial of the rule's nodes, with which
sum_j f(t_j) L_j integrates f(t) t ln t exactly for f a polynomial of degree
below n.

Every value is computed two independent ways in high precision before it is
rounded: the nodes as zeros of the Legendre polynomial by Newton's method on
its three-term recurrence, confirmed by mpmath's own Legendre function and
the weights by 2 / ((1 - x^2) P_n'(x)^2) against the sum of squares of the
normalised polynomials (the Christoffel function); the logarithm's weights by
the Legendre expansion of l_j with the closed-form moments of t ln t against
the shifted Legendre polynomials, confirmed by mpmath.quad of l_j(t) t ln t
directly.  Each double is the nearest to its exact value, rounded through
mpmath and through the exact rational value, which agree; none lies near a
rounding tie.

Usage:
    python3 tools/gen_gauss_legendre.py [OUTPUT] [--check]
"""

from __future__ import annotations

import math
import sys
from fractions import Fraction
from pathlib import Path

import mpmath
from mpmath import mp, mpf

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generated_file  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_OUTPUT = REPO_ROOT / "src" / "quadrature" / "gauss_legendre_table.hpp"

WORK_DPS = 60
SIZES = (4, 6, 8, 10, 12, 16, 20, 24)
LOG_SIZES = (8, 12, 16)
MIN_TIE_MARGIN_ULP = Fraction(1, 10**12)


def legendre_and_slope(n: int, x: mpf) -> tuple[mpf, mpf]:
    """P_n(x) and P_n'(x) by the three-term recurrence."""
    p0, p1 = mpf(1), x
    for k in range(1, n):
        p0, p1 = p1, ((2 * k + 1) * x * p1 - k * p0) / (k + 1)
    return p1, n * (x * p1 - p0) / (x * x - 1)


def rule_newton(n: int) -> list[tuple[mpf, mpf]]:
    """(node, weight) on [-1, 1], ascending, by Newton's method."""
    out = []
    for i in range(n):
        x = mpmath.cos(mp.pi * (i + mpf(3) / 4) / (n + mpf(1) / 2))
        for _ in range(100):
            p, dp = legendre_and_slope(n, x)
            step = p / dp
            x -= step
            if abs(step) < mpf(10) ** (-WORK_DPS + 5):
                break
        _, dp = legendre_and_slope(n, x)
        out.append((x, 2 / ((1 - x * x) * dp * dp)))
    return sorted(out)


def confirm_rule(n: int, rule: list[tuple[mpf, mpf]]) -> None:
    """Each node a zero of mpmath's P_n; each weight the Christoffel number
    1 / sum_k (k + 1/2) P_k(x)^2."""
    for x, w in rule:
        if abs(mpmath.legendre(n, x)) > mpf(10) ** (10 - WORK_DPS):
            raise AssertionError(f"n = {n}: {x} is not a zero")
        christoffel = 1 / mpmath.fsum((k + mpf(1) / 2) * mpmath.legendre(k, x) ** 2
                                      for k in range(n))
        if abs(christoffel - w) > mpf(10) ** (10 - WORK_DPS) * w:
            raise AssertionError(f"n = {n}: weight {w} vs {christoffel}")


def shifted_legendre(i: int, t: mpf) -> mpf:
    return mpmath.legendre(i, 2 * t - 1)


def t_log_t_moment(i: int) -> mpf:
    """int_0^1 t ln t P~_i(t) dt = d/dbeta of
    prod_{k<i}(beta - k) / prod_{k=1}^{i+1}(beta + k) at beta = 1."""
    beta = mpf(1)

    def moment(b):
        num = mpf(1)
        for k in range(i):
            num *= b - k
        den = mpf(1)
        for k in range(1, i + 2):
            den *= b + k
        return num / den

    return mpmath.diff(moment, beta)


def log_weights(n: int, rule: list[tuple[mpf, mpf]]) -> list[mpf]:
    """L_j on [0, 1] from the Legendre expansion of the Lagrange polynomials,
    confirmed by direct quadrature."""
    moments = [t_log_t_moment(i) for i in range(n)]
    nodes = [(x + 1) / 2 for x, _ in rule]
    weights = [w / 2 for _, w in rule]
    out = []
    for j, (tj, wj) in enumerate(zip(nodes, weights)):
        value = wj * mpmath.fsum((2 * i + 1) * shifted_legendre(i, tj) * moments[i]
                                 for i in range(n))

        def lagrange(t, j=j):
            prod = mpf(1)
            for k, tk in enumerate(nodes):
                if k != j:
                    prod *= (t - tk) / (nodes[j] - tk)
            return prod

        direct = mpmath.quad(lambda t: lagrange(t) * t * mpmath.log(t), [0] + nodes + [1])
        if abs(direct - value) > mpf(10) ** (-40):
            raise AssertionError(f"log weight {j}: {value} vs {direct}")
        out.append(value)
    return out


def exact(x: mpf) -> Fraction:
    man, exp = x.man_exp
    return int(mpmath.sign(x)) * Fraction(man) * Fraction(2) ** exp


def nearest_double(x: mpf) -> tuple[float, Fraction]:
    q = exact(x)
    d = float(x)
    if d != float(q):
        raise AssertionError(f"rounding disagreement for {x}")
    if d == 0:
        return d, Fraction(1, 2)
    dist = abs(q - Fraction(d))
    for neighbour in (math.nextafter(d, -math.inf), math.nextafter(d, math.inf)):
        if abs(q - Fraction(neighbour)) < dist:
            raise AssertionError(f"{d!r} is not the double nearest {x}")
    return d, Fraction(1, 2) - dist / Fraction(math.ulp(d))


HEADER_COMMENT = """\
// Gauss-Legendre rules on [0, 1] and the logarithm's product weights.
//
// GENERATED FILE - DO NOT EDIT BY HAND.  Produced by tools/gen_gauss_legendre.py;
// change the generator and rerun it (`python3 tools/gen_gauss_legendre.py`), and
// `python3 tools/gen_gauss_legendre.py --check` verifies this file is current.
//
// RULE_n holds the n nodes t_j in ascending order and their weights w_j (which
// sum to 1).  LOG_WEIGHTS_n[j] = int_0^1 l_j(t) t ln t dt for the Lagrange
// polynomials l_j of RULE_n's nodes, n = 8, 12 and 16.  Each value is the double nearest its
// exact value, computed two independent ways in 60-digit arithmetic.
"""


def generate() -> tuple[str, Fraction]:
    margin = Fraction(1, 2)
    lines = [HEADER_COMMENT, "#pragma once", "", "#include <array>", "",
             "namespace quadrature::gauss_legendre {", "",
             "struct Node {", "    double t;", "    double w;", "};", ""]
    with mp.workdps(WORK_DPS):
        for n in SIZES:
            rule = rule_newton(n)
            confirm_rule(n, rule)
            lines.append(f"inline constexpr std::array<Node, {n}> RULE_{n}{{{{")
            for x, w in rule:
                t, m1 = nearest_double((x + 1) / 2)
                ww, m2 = nearest_double(w / 2)
                margin = min(margin, m1, m2)
                lines.append(f"    Node{{{t!r}, {ww!r}}},")
            lines.append("}};")
            lines.append("")
            if n in LOG_SIZES:
                logs = log_weights(n, rule)
                lines.append(f"inline constexpr std::array<double, {n}> LOG_WEIGHTS_{n}{{{{")
                for v in logs:
                    d, m = nearest_double(v)
                    margin = min(margin, m)
                    lines.append(f"    {d!r},")
                lines.append("}};")
                lines.append("")
    lines.append("}  // namespace quadrature::gauss_legendre")
    lines.append("")
    if margin < MIN_TIE_MARGIN_ULP:
        raise AssertionError(f"a value lies within {float(margin):.3g} ulp of a rounding tie")
    return "\n".join(lines), margin


if __name__ == "__main__":
    sys.exit(generated_file.main(sys.argv[1:], __doc__.splitlines()[0], DEFAULT_OUTPUT,
                                 REPO_ROOT, generate))
