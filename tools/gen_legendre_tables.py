#!/usr/bin/env python3
"""Generate the Taylor-coefficient tables of the complete elliptic integrals.

Writes src/ellip/legendre/taylor_tables.hpp: for each of the ten expansion
intervals of K(m) and E(m) on 0 <= m < 0.9, the coefficients

    c_j = f^(j)(m_c) / j!,   j = 0 .. degree,

of the Taylor polynomial about the interval centre m_c, each stored as a
double.  The coefficients are summed from the hypergeometric series

    K(m) = (pi/2) sum_k a_k m^k,               a_k = ((1/2)_k / k!)^2,
    E(m) = (pi/2) sum_k a_k m^k / (1 - 2k),

differentiated term by term:

    c_j = (pi/2) sum_{k >= j} b_k C(k, j) m_c^(k - j),

with b_k = a_k for K and a_k / (1 - 2k) for E.  Every term of a given c_j
has the same sign (for j >= 1), so the sums carry no cancellation; they run
until a rigorous geometric bound on the remaining tail is below TAIL_REL of
the partial sum.

Usage:
    python3 tools/gen_legendre_tables.py [OUTPUT] [--check]

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
DEFAULT_OUTPUT = REPO_ROOT / "src" / "ellip" / "legendre" / "taylor_tables.hpp"

# Working precision and tail tolerance of the production run, and of the
# independent run the production values are checked against.
WORK_DPS = 60
TAIL_REL = mpf("1e-45")
CHECK_DPS = 80
CHECK_TAIL_REL = "1e-65"

# Interval centres (exact decimals) and polynomial degrees.
CENTRES = ("0.05", "0.15", "0.25", "0.35", "0.45",
           "0.55", "0.65", "0.75", "0.825", "0.875")
K_DEGREES = (11, 11, 11, 12, 13, 14, 16, 19, 15, 19)
E_DEGREES = (10, 10, 10, 11, 12, 12, 14, 16, 13, 16)
K_TOTAL = 151
E_TOTAL = 134

# Interval i = trunc(20 m), i = 0 .. 17, to its row.
ROW_OF_INTERVAL = (0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 9)

# Three E coefficients hold the double next to the nearest one.  They are
# part of the tables' definition, so the polynomials reproduce the reference
# values bit for bit.  Keyed by (row, j).
E_NEIGHBOUR_EXCEPTIONS = {
    (0, 10): -0.00408639923325515,
    (1, 5): -0.020644781177568104,
    (1, 8): -0.012759847429264804,
}

# Reference values of (c0, c1) per row: f(m_c) and f'(m_c).
K_C0_C1 = (
    (1.5910034537907922, 0.41600074399178694),
    (1.63525673226458, 0.4711906261487323),
    (1.685750354812596, 0.5417318486132803),
    (1.7443505972256133, 0.6348642753719353),
    (1.8138839368169826, 0.7631632457005573),
    (1.8989249102715535, 0.9505217946182445),
    (2.0075983984243764, 1.2484572312123474),
    (2.1565156474996434, 1.7918056418494632),
    (2.3181226217125106, 2.6169201502912327),
    (2.473596173751344, 3.727624244118099),
)
E_C0_C1 = (
    (1.5509733517804722, -0.4003010201031985),
    (1.5101218320928198, -0.41711633390586755),
    (1.4674622093394272, -0.43657629094633776),
    (1.4226911334908792, -0.4595135196210487),
    (1.3754019718711163, -0.4872021832731848),
    (1.3250244979582302, -0.5217276475575667),
    (1.2707074796501499, -0.5668391682878666),
    (1.2110560275684594, -0.6303064132874558),
    (1.1613071521962828, -0.7011002845552895),
    (1.1246173251197522, -0.7708450563609095),
)

# A coefficient whose exact value lies this close (in ulps) to the midpoint
# between two doubles would make its rounding fragile; none does.
MIN_TIE_MARGIN_ULP = Fraction(1, 10**6)


def taylor_coefficients(kind: str, centre: mpf, degree: int, tail_rel) -> list[mpf]:
    """c_0 .. c_degree of K ('K') or E ('E') about centre, at the current precision.

    S_j accumulates sum_k b_k C(k, j) m_c^k; then c_j = (pi/2) S_j / m_c^j.
    Term ratio bound: |b_{k+1}/b_k| <= 1 for both series, so
    |term_j(k+1) / term_j(k)| <= rho = m_c (k+1)/(k+1-j), which decreases in k;
    once rho < 1 the tail after term k is at most |term| rho / (1 - rho).
    """
    tail_rel = mpf(tail_rel)
    sums = [mpf(0)] * (degree + 1)
    terms = [mpf(0)] * (degree + 1)
    ak = mpf(1)  # a_k
    mk = mpf(1)  # m_c^k
    bk_mk = mpf(1)  # b_k m_c^k
    k = 0
    while True:
        binom = 1  # C(k, j), updated across j
        for j in range(min(k, degree) + 1):
            if j > 0:
                binom = binom * (k - j + 1) // j
            terms[j] = bk_mk * binom
            sums[j] += terms[j]
        # A few surplus terms cost less than testing the bound every time.
        if k >= degree and k % 32 == 0 and all(
                _tail_below(terms[j], sums[j], centre * (k + 1) / (k + 1 - j), tail_rel)
                for j in range(degree + 1)):
            break
        # a_{k+1} = a_k ((k + 1/2) / (k + 1))^2
        ak = ak * ((mpf(2 * k + 1) / (2 * k + 2)) ** 2)
        mk = mk * centre
        k += 1
        bk_mk = (ak if kind == "K" else ak / (1 - 2 * k)) * mk
    half_pi = mp.pi / 2
    return [half_pi * sums[j] / centre**j for j in range(degree + 1)]


def _tail_below(term: mpf, partial: mpf, rho: mpf, tail_rel: mpf) -> bool:
    """Whether the tail after `term`, bounded by |term| rho / (1 - rho), is below
    tail_rel |partial|."""
    return rho < 1 and abs(term) * rho / (1 - rho) <= tail_rel * abs(partial)


def exact(x: mpf) -> Fraction:
    """The exact rational value of an mpf."""
    man, exp = x.man_exp  # magnitude only; the sign is separate
    return int(mpmath.sign(x)) * Fraction(man) * Fraction(2) ** exp


def nearest_double(x: mpf) -> float:
    """Round x to the nearest double, by two independent routes that must agree."""
    via_mpmath = float(x)  # mpmath rounds to nearest in its default context
    via_fraction = float(exact(x))  # CPython's int/int division is correctly rounded
    if via_mpmath != via_fraction:
        raise AssertionError(f"rounding disagreement for {x}: {via_mpmath!r} vs {via_fraction!r}")
    d = via_fraction
    q = exact(x)
    below = math.nextafter(d, -math.inf)
    above = math.nextafter(d, math.inf)
    dist = abs(q - Fraction(d))
    if not (dist <= abs(q - Fraction(below)) and dist <= abs(q - Fraction(above))):
        raise AssertionError(f"{d!r} is not the double nearest {x}")
    return d


def tie_margin_ulp(x: mpf, d: float) -> Fraction:
    """How far x sits from the rounding boundary of d, in ulps of d (0.5 = on d)."""
    q = exact(x)
    ulp = Fraction(math.ulp(d))
    return Fraction(1, 2) - abs(q - Fraction(d)) / ulp


def build_tables(dps: int, tail_rel) -> dict[str, list[list[mpf]]]:
    with mp.workdps(dps):
        return {
            kind: [taylor_coefficients(kind, mpf(c), deg, tail_rel)
                   for c, deg in zip(CENTRES, degrees)]
            for kind, degrees in (("K", K_DEGREES), ("E", E_DEGREES))
        }


def cross_check(tables: dict[str, list[list[mpf]]]) -> None:
    """Check the production sums against an independent higher-precision run and
    against closed forms of f(m_c) and f'(m_c)."""
    fine = build_tables(CHECK_DPS, CHECK_TAIL_REL)
    with mp.workdps(CHECK_DPS):
        for kind in ("K", "E"):
            for row, (coarse_row, fine_row) in enumerate(zip(tables[kind], fine[kind])):
                for j, (a, b) in enumerate(zip(coarse_row, fine_row)):
                    if abs(a - b) > 2 * TAIL_REL * abs(b):
                        raise AssertionError(f"{kind} row {row} c{j}: {a} vs {b}")
        for row, c in enumerate(CENTRES):
            m = mpf(c)
            kv, ev = mpmath.ellipk(m), mpmath.ellipe(m)
            # dK/dm = (E - (1 - m) K) / (2 m (1 - m)),  dE/dm = (E - K) / (2 m)
            closed = {
                "K": (kv, (ev - (1 - m) * kv) / (2 * m * (1 - m))),
                "E": (ev, (ev - kv) / (2 * m)),
            }
            for kind in ("K", "E"):
                for j in (0, 1):
                    got = fine[kind][row][j]
                    want = closed[kind][j]
                    if abs(got - want) > mpf("1e-70") * abs(want):
                        raise AssertionError(f"{kind} row {row} c{j}: series {got} vs closed form {want}")


def round_tables(tables: dict[str, list[list[mpf]]]) -> tuple[dict[str, list[list[float]]], Fraction]:
    """Round every coefficient to its nearest double, then apply the E exceptions.

    Returns the double tables and the smallest distance, in ulps, of any exact
    coefficient from a rounding boundary.
    """
    doubles: dict[str, list[list[float]]] = {}
    min_margin = Fraction(1, 2)
    for kind in ("K", "E"):
        doubles[kind] = []
        for row, coefs in enumerate(tables[kind]):
            out = []
            for j, x in enumerate(coefs):
                d = nearest_double(x)
                margin = tie_margin_ulp(x, d)
                if not (kind == "E" and (row, j) in E_NEIGHBOUR_EXCEPTIONS):
                    min_margin = min(min_margin, margin)
                out.append(d)
            doubles[kind].append(out)

    for (row, j), stored in E_NEIGHBOUR_EXCEPTIONS.items():
        nearest = doubles["E"][row][j]
        neighbours = (math.nextafter(nearest, -math.inf), math.nextafter(nearest, math.inf))
        if stored == nearest or stored not in neighbours:
            raise AssertionError(
                f"E row {row} c{j}: exception {stored!r} is not one ulp from the nearest double {nearest!r}")
        doubles["E"][row][j] = stored

    if min_margin < MIN_TIE_MARGIN_ULP:
        raise AssertionError(f"a coefficient lies within {float(min_margin):.3g} ulp of a rounding tie")
    return doubles, min_margin


def validate(doubles: dict[str, list[list[float]]]) -> None:
    for kind, degrees, total, c0c1 in (("K", K_DEGREES, K_TOTAL, K_C0_C1),
                                       ("E", E_DEGREES, E_TOTAL, E_C0_C1)):
        rows = doubles[kind]
        assert len(rows) == len(CENTRES)
        assert [len(r) - 1 for r in rows] == list(degrees)
        count = sum(len(r) for r in rows)
        if count != total:
            raise AssertionError(f"{kind} table holds {count} coefficients, expected {total}")
        for row, (c0, c1) in enumerate(c0c1):
            if rows[row][0] != c0 or rows[row][1] != c1:
                raise AssertionError(
                    f"{kind} row {row}: c0, c1 = {rows[row][0]!r}, {rows[row][1]!r}; expected {c0!r}, {c1!r}")
    assert len(ROW_OF_INTERVAL) == 18 and max(ROW_OF_INTERVAL) == len(CENTRES) - 1


HEADER_COMMENT = f"""\
// Taylor coefficients of the complete elliptic integrals K(m) and E(m).
//
// GENERATED FILE - DO NOT EDIT BY HAND.  Produced by tools/gen_legendre_tables.py;
// change the generator and rerun it (`python3 tools/gen_legendre_tables.py`), and
// `python3 tools/gen_legendre_tables.py --check` verifies this file is current.
//
// Row r expands f = K or E about its centre m_c:
//     f(m) ~ c[0] + c[1] t + ... + c[degree] t^degree,  t = m - m_c,
// with c[j] = f^(j)(m_c) / j!.  The coefficients are the hypergeometric series
//     K(m) = (pi/2) sum_k a_k m^k,  E(m) = (pi/2) sum_k a_k m^k / (1 - 2k),
//     a_k = ((1/2)_k / k!)^2,
// differentiated term by term, c[j] = (pi/2) sum_(k>=j) b_k C(k, j) m_c^(k-j),
// summed at the exact decimal centre in {WORK_DPS}-digit arithmetic until a bound on
// the remaining tail is below 1e-45 of the sum, and checked against an
// independent {CHECK_DPS}-digit run and against closed forms of f(m_c) and f'(m_c).
//
// Each c[j] is the double nearest its exact value (correctly rounded; no exact
// value lies near a rounding tie), with three deliberate exceptions in the E
// table, which hold the neighbouring double, exactly one ulp from the nearest:
//     E centre 0.05, c10;  E centre 0.15, c5 and c8.
// They are part of the tables' definition and are not to be "corrected".
//
// Doubles are written in shortest round-trip form, so they read back bit-exact.
"""


def render(doubles: dict[str, list[list[float]]]) -> str:
    lines = [HEADER_COMMENT, "#pragma once", "", "namespace ellip::legendre::detail {", "",
             "struct TaylorRow {",
             "    double centre;        // m_c, the expansion point",
             "    int degree;           // highest power of t = m - m_c",
             "    const double* c;      // c[0] .. c[degree]",
             "};", ""]
    for kind in ("K", "E"):
        for row, coefs in enumerate(doubles[kind]):
            lines.append(f"// {kind}, centre {CENTRES[row]}, degree {len(coefs) - 1}")
            lines.append(f"inline constexpr double {kind}_ROW_{row}[{len(coefs)}] = {{")
            for j, d in enumerate(coefs):
                note = ""
                if kind == "E" and (row, j) in E_NEIGHBOUR_EXCEPTIONS:
                    note = "  (neighbour of the nearest double, deliberate)"
                lines.append(f"    {d!r},  // c{j}{note}")
            lines.append("};")
            lines.append("")
    for kind in ("K", "E"):
        lines.append(f"inline constexpr TaylorRow {kind}_ROWS[{len(CENTRES)}] = {{")
        for row, coefs in enumerate(doubles[kind]):
            lines.append(f"    {{{float(CENTRES[row])!r}, {len(coefs) - 1}, {kind}_ROW_{row}}},")
        lines.append("};")
        lines.append("")
    lines.append("// Interval i = trunc(20 m), i = 0..17, to its row: pairs share a row except the last two.")
    lines.append("inline constexpr int ROW_OF_INTERVAL[18] = {"
                 + ",".join(str(r) for r in ROW_OF_INTERVAL) + "};")
    lines.append("")
    lines.append("}  // namespace ellip::legendre::detail")
    return "\n".join(lines) + "\n"


def generate() -> tuple[str, Fraction]:
    tables = build_tables(WORK_DPS, TAIL_REL)
    cross_check(tables)
    doubles, margin = round_tables(tables)
    validate(doubles)
    return render(doubles), margin


def main(argv: list[str] | None = None) -> int:
    return generated_file.main(argv, __doc__.splitlines()[0], DEFAULT_OUTPUT, REPO_ROOT, generate)


if __name__ == "__main__":
    sys.exit(main())
