#!/usr/bin/env python3
"""Generate the node table of the tanh-sinh (double-exponential) quadrature.

Writes src/quadrature/node_table.hpp: seven levels of (weight, abscissa)
pairs.  Level 0 takes t = 1, 2, 3 with step h = 1; level L = 1 .. 6 takes the
odd multiples t = (2j + 1) / 2^L below 3 with step h = 2^-L.  For each t

    abscissa = tanh((pi/2) sinh t),
    weight   = h (pi/2) cosh t / cosh^2((pi/2) sinh t),

so the step is folded into the weight.  The central node t = 0 is not stored.

Every value is evaluated in WORK_DPS-digit arithmetic, confirmed by an
independent CHECK_DPS-digit evaluation written with exponentials instead of
hyperbolic functions, and rounded to the nearest double twice, by mpmath and
through the exact rational value (fractions), the two roundings having to
agree.  No exact value may lie close to a rounding tie.

Usage:
    python3 tools/gen_tanh_sinh_nodes.py [OUTPUT] [--check]

Without --check the header is (re)written to OUTPUT (default: the committed
path).  With --check it is regenerated in memory and compared with OUTPUT;
the exit status is 1, with the first differing line printed, if they differ.
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
DEFAULT_OUTPUT = REPO_ROOT / "src" / "quadrature" / "node_table.hpp"

WORK_DPS = 50
CHECK_DPS = 80
LEVELS = 7
LEVEL_SIZES = (3, 3, 6, 12, 24, 48, 96)

# An exact value this close (in ulps) to the midpoint between two doubles
# would make its rounding depend on the working precision; none is.
MIN_TIE_MARGIN_ULP = Fraction(1, 10**12)

# (level, t as a fraction) -> (weight, abscissa), as the table must hold them.
TELLING_ROWS = {
    (0, Fraction(1)): (0.23002239451478868, 0.9513679640727469),
    (0, Fraction(2)): (0.00026620051375271693, 0.9999774771924616),
    (0, Fraction(3)): (1.3581784274539091e-12, 0.999999999999957),
    (1, Fraction(1, 2)): (0.4829882897061506, 0.6742714922484359),
    (1, Fraction(3, 2)): (0.009171583494963921, 0.9975148564572244),
    (1, Fraction(5, 2)): (1.071560227847152e-07, 0.9999999888756649),
    (6, Fraction(1, 64)): (0.024531906707493643, 0.02453976357464916),
    (6, Fraction(191, 64)): (3.411862828005251e-14, 0.9999999999999298),
}


def level_parameters(level: int) -> tuple[Fraction, list[Fraction]]:
    """The step h and the parameters t of one level, in increasing t."""
    if level == 0:
        return Fraction(1), [Fraction(1), Fraction(2), Fraction(3)]
    h = Fraction(1, 2**level)
    return h, [(2 * j + 1) * h for j in range(3 * 2 ** (level - 1))]


def node_hyperbolic(t: Fraction, h: Fraction) -> tuple[mpf, mpf]:
    """(weight, abscissa) from the defining formulas, at the current precision."""
    tt = mpf(t.numerator) / t.denominator
    u = mp.pi / 2 * mpmath.sinh(tt)
    weight = mpf(h.numerator) / h.denominator * (mp.pi / 2) * mpmath.cosh(tt) / mpmath.cosh(u) ** 2
    return weight, mpmath.tanh(u)


def node_exponential(t: Fraction, h: Fraction) -> tuple[mpf, mpf]:
    """The same pair by another route: with q = exp(-2u),
    tanh u = (1 - q) / (1 + q) and 1 / cosh^2 u = 4 q / (1 + q)^2."""
    tt = mpf(t.numerator) / t.denominator
    et = mpmath.exp(tt)
    u = mp.pi / 4 * (et - 1 / et)
    q = mpmath.exp(-2 * u)
    cosh_t = (et + 1 / et) / 2
    weight = mpf(h.numerator) / h.denominator * (mp.pi / 2) * cosh_t * 4 * q / (1 + q) ** 2
    return weight, (1 - q) / (1 + q)


def exact(x: mpf) -> Fraction:
    """The exact rational value of an mpf."""
    man, exp = x.man_exp
    return int(mpmath.sign(x)) * Fraction(man) * Fraction(2) ** exp


def nearest_double(x: mpf) -> tuple[float, Fraction]:
    """x rounded to the nearest double by two routes that must agree, and how
    far x lies from a rounding tie, in ulps (0.5 = on the double itself)."""
    q = exact(x)
    via_mpmath = float(x)
    via_fraction = float(q)  # correctly rounded int/int division
    if via_mpmath != via_fraction:
        raise AssertionError(f"rounding disagreement for {x}: {via_mpmath!r} vs {via_fraction!r}")
    d = via_fraction
    dist = abs(q - Fraction(d))
    for neighbour in (math.nextafter(d, -math.inf), math.nextafter(d, math.inf)):
        if abs(q - Fraction(neighbour)) < dist:
            raise AssertionError(f"{d!r} is not the double nearest {x}")
    return d, Fraction(1, 2) - dist / Fraction(math.ulp(d))


def build() -> tuple[list[list[tuple[Fraction, float, float]]], Fraction]:
    """Levels of (t, weight, abscissa) as doubles, and the smallest tie margin."""
    levels = []
    min_margin = Fraction(1, 2)
    for level in range(LEVELS):
        h, ts = level_parameters(level)
        rows = []
        for t in ts:
            with mp.workdps(WORK_DPS):
                values = node_hyperbolic(t, h)
            with mp.workdps(CHECK_DPS):
                confirm = node_exponential(t, h)
                for v, c in zip(values, confirm):
                    if abs(v - c) > mpf(10) ** (4 - WORK_DPS) * abs(c):
                        raise AssertionError(f"level {level} t = {t}: {v} vs {c}")
            pair = []
            for v, c in zip(values, confirm):
                d, margin = nearest_double(v)
                if nearest_double(c)[0] != d:
                    raise AssertionError(f"level {level} t = {t}: the two evaluations round apart")
                min_margin = min(min_margin, margin)
                pair.append(d)
            rows.append((t, pair[0], pair[1]))
        levels.append(rows)
    if min_margin < MIN_TIE_MARGIN_ULP:
        raise AssertionError(f"a node lies within {float(min_margin):.3g} ulp of a rounding tie")
    return levels, min_margin


def validate(levels: list[list[tuple[Fraction, float, float]]]) -> None:
    if tuple(len(rows) for rows in levels) != LEVEL_SIZES:
        raise AssertionError(f"level sizes {[len(rows) for rows in levels]}")
    found = {(level, t): (w, x) for level, rows in enumerate(levels) for t, w, x in rows}
    for key, want in TELLING_ROWS.items():
        if found.get(key) != want:
            raise AssertionError(f"level {key[0]} t = {key[1]}: {found.get(key)!r}, expected {want!r}")
    for rows in levels:
        xs = [x for _, _, x in rows]
        if not all(0 < a < b < 1 for a, b in zip(xs, xs[1:])):
            raise AssertionError("abscissas must rise strictly inside (0, 1)")


HEADER_COMMENT = f"""\
// Nodes of the tanh-sinh quadrature on [-1, 1], seven levels.
//
// GENERATED FILE - DO NOT EDIT BY HAND.  Produced by tools/gen_tanh_sinh_nodes.py;
// change the generator and rerun it (`python3 tools/gen_tanh_sinh_nodes.py`), and
// `python3 tools/gen_tanh_sinh_nodes.py --check` verifies this file is current.
//
// Level 0 holds t = 1, 2, 3 with step h = 1; level L = 1..6 holds the odd
// multiples t = (2j + 1) / 2^L below 3 with h = 2^-L, in increasing t.  Each
// pair is
//     abscissa = tanh((pi/2) sinh t),
//     weight   = h (pi/2) cosh t / cosh^2((pi/2) sinh t),
// the step folded into the weight; the node -abscissa shares the weight, and
// the central node t = 0 (abscissa 0, weight pi/2) is not stored.
//
// The values are computed in {WORK_DPS}-digit arithmetic, confirmed by an
// independent {CHECK_DPS}-digit evaluation through exponentials, and each is the
// double nearest its exact value (rounded through mpmath and through the exact
// rational value, which agree; no value lies near a rounding tie).  Evaluating
// the formulas in double precision instead is off by up to some 24 ulps.
//
// Doubles are written in shortest round-trip form, so they read back bit-exact.
"""


def render(levels: list[list[tuple[Fraction, float, float]]]) -> str:
    total = sum(len(rows) for rows in levels)
    lines = [HEADER_COMMENT, "#pragma once", "", "#include <array>",
             "#include <span>", "", "namespace quadrature::double_exponential {", "",
             "struct Node {", "    double weight;", "    double abscissa;", "};", "",
             f"inline constexpr std::array<Node, {total}> NODES = {{{{"]
    offsets = []
    for level, rows in enumerate(levels):
        offsets.append(sum(len(r) for r in levels[:level]))
        lines.append(f"    // level {level}, h = {'1' if level == 0 else f'1/{2**level}'}")
        for t, w, x in rows:
            lines.append(f"    Node{{{w!r}, {x!r}}},  // t = {t}")
    lines.append("}};")
    lines.append("")
    lines.append("// Level L is NODE_TABLE[L], a view into NODES.")
    lines.append(f"inline constexpr std::array<std::span<const Node>, {len(levels)}> NODE_TABLE = {{{{")
    for offset, rows in zip(offsets, levels):
        lines.append(f"    std::span<const Node>(NODES.data() + {offset}, {len(rows)}),")
    lines.append("}};")
    lines.append("")
    lines.append("}  // namespace quadrature::double_exponential")
    return "\n".join(lines) + "\n"


def generate() -> tuple[str, Fraction]:
    levels, margin = build()
    validate(levels)
    return render(levels), margin


def main(argv: list[str] | None = None) -> int:
    return generated_file.main(argv, __doc__.splitlines()[0], DEFAULT_OUTPUT, REPO_ROOT, generate)


if __name__ == "__main__":
    sys.exit(main())
