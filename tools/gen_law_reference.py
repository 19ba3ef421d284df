#!/usr/bin/env python3
"""Write tests/data/law_reference.txt: magnifications of limb-darkened sources
by a point lens, for every limb-darkening law of the fitting functions, with
the coefficients given by the caller.

Lengths here are in Einstein radii: u is the lens-source separation and rho
the source radius, both doubles; l = u/rho (exact, not rounded to a double)
is the separation in source radii.  With I(mu) the brightness at mu =
sqrt(1 - r^2), r the radius in source radii (I = 0 beyond r = 1), and

    N = int_0^1 I 2 r dr = int_0^1 I(mu) 2 mu dmu,

the magnification is A(u, rho) = int_0^1 I A_ring(l, r) 2 r dr / N, with
A_ring the point-lens magnification averaged over the thin ring of radius r
about the source centre.  Each value is computed two independent ways:

  rings   that integral over r, with A_ring from Heyrovsky's closed form
          (K and Pi as Carlson integrals of complements formed from r - l),
          and N by quadrature of I(mu) 2 mu over mu;

  discs   by parts, with G(r) = r^2 A_disc(r), A_disc the Witt-Mao closed
          form for the uniform disc of radius r about the source centre
          (K, E and Pi as Carlson integrals), and d/dr G = 2 r A_ring:
              N A = I(mu = 0) G(1) + int_0^1 G(sqrt(1 - mu^2)) I'(mu) dmu,
          taken in a variable in which I' dmu has no singularity at the
          limb: s = sqrt(mu) for the laws that are polynomials in sqrt(mu)
          (I' has a mu^-1/2 term), t = mu^alpha for the power-2 law (I' ~
          mu^(alpha - 1)), mu itself for the logarithmic law (whose ln mu is
          an end-point singularity that tanh-sinh takes in its stride); a
          table is integrated by parts segment by segment in r.  N is the
          law's exact flux in closed form.

Both routes split their range at the lens (where A_ring diverges
logarithmically and G has a kink in its derivative), at 0.1, 1 and 10
Einstein radii either side of it (where the integrands change regime), at
l times powers of 100 for a lens near the centre, at the mu where the
discs first reach a lens near the limb, and at a table's radii, each cut
mapped into the route's variable; every piece is integrated by mpmath's
tanh-sinh rule at DPS digits.  The rings route integrates over d = r - l,
so that its nodes resolve the distance to the lens however near the limb;
both routes evaluate their integrands at a precision raised by the digits
that r - l loses there.

A row is written only when the two routes agree to 1e-15 relative (nearly
all agree to 1e-17 or better; the last column says how well); otherwise the
generator stops.  The value written is the rings route's, to 20 significant
digits.  The whole file takes about 8 CPU-minutes, 6 minutes on two cores.

The closed forms of the ring and the disc are those of
tools/gen_integrated_reference.py, checked there against direct
integrations.

    python3 tools/gen_law_reference.py [output] [--check]

The output is the same on every run.
"""

import math
import os
import sys

import mpmath as mp
from mpmath import mpf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference_rows  # noqa: E402
import gen_integrated_reference as closed  # noqa: E402

GENERATOR = "tools/gen_law_reference.py"
REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
DEFAULT_OUTPUT = os.path.join(REPO, "tests", "data", "law_reference.txt")

DPS = 20
AGREE = mpf("1e-15")
MAX_DEGREE = 6

# --------------------------------------------------------------------------
# The laws and their coefficients.
#
# Each entry: (label, law, coefficients, grid).  The "typical" sets have the
# size of the coefficients in Claret's tables for main-sequence dwarfs and
# giants in the V, I and K bands (not copied from any one row); the others
# sit on the edge of the law's valid range, where the brightness touches zero
# at the limb or inside the disc, or where the exponent is extreme.

BELOW = "below"      # u one ulp below rho: l just under 1
ABOVE = "above"      # u one ulp above rho: l just over 1

# (rho, l) pairs; l is a double, or BELOW/ABOVE for the doubles next to rho.
FULL = [
    (1e-6, 0.0), (1e-6, BELOW), (1e-6, 1.0), (1e-6, 1e6),
    (1e-3, 1e-8), (1e-3, 0.9), (1e-3, ABOVE), (1e-3, 1e3),
    (0.1, 0.5), (0.1, BELOW),
    (1.0, 0.0), (1.0, 0.7), (1.0, 1.0), (1.0, ABOVE), (1.0, 3.0),
    (10.0, BELOW),
    (1e3, 1e-8), (1e3, 0.5), (1e3, 1.0), (1e3, ABOVE), (1e3, 1e6),
]
SHORT = [
    (1e-6, 0.3), (1e-6, ABOVE), (1e-2, 1.0), (1.0, 0.0), (1.0, BELOW), (1e3, 0.9), (1e3, BELOW),
]
# A power law with a large exponent is a bright core about the centre, of
# width 1/sqrt(alpha): the lens at the centre, beside the core, inside and
# just outside the source.
STEEP = [(1e-3, 0.99), (1e-3, 1.01), (0.05, 0.4), (1.0, 2.4), (10.0, 0.0)]
# The uniform disc has its own references over a wider range elsewhere;
# here it takes the fitting functions' range with the others.
UNIFORM = FULL + [(1e-6, 1e-8), (0.1, 1.2), (10.0, 0.3), (1e3, 1e3)]

TABLE12_RADII = (0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 1.0)
TABLE12_LAW = (0.4, 0.25)      # quadratic law sampled at the radii


def _quadratic_table():
    a, b = TABLE12_LAW
    bf = []
    with mp.workdps(40):
        for r in TABLE12_RADII:
            q = 1 - mp.sqrt(1 - mpf(r) ** 2)
            bf.append(float(1 - a * q - b * q * q))
    return (list(TABLE12_RADII), bf)


# A table that starts off the centre and stops before the limb: no light
# inside r = 0.2 and beyond r = 0.95, a step at both ends, and a bright
# ring peaking at r = 0.6.
RING_TABLE = ([0.2, 0.4, 0.6, 0.8, 0.95], [0.5, 0.75, 2.0, 0.75, 0.5])

LAWS = [
    ("uniform", "uniform", (), UNIFORM),
    # linear: a = 0.6 is the classic functions' built-in law.
    ("linear_0.6", "linear", (0.6,), FULL),
    ("linear_edge_1", "linear", (1.0,), SHORT),            # zero at the limb
    ("linear_negative", "linear", (-0.5,), SHORT),          # limb brightening
    # quadratic: dwarf in V, giant in V, dwarf in K.
    ("quadratic_dwarf_v", "quadratic", (0.4, 0.25), FULL),
    ("quadratic_giant_v", "quadratic", (0.7, 0.1), SHORT),
    ("quadratic_dwarf_k", "quadratic", (0.15, 0.3), SHORT),
    ("quadratic_edge_sum_1", "quadratic", (0.6, 0.4), SHORT),   # a + b = 1: zero at the limb
    ("quadratic_edge_inside", "quadratic", (4.0, -4.0), SHORT),  # (1 - 2(1 - mu))^2: zero at mu = 1/2
    # square-root (c, d)
    ("square_root_dwarf", "square-root", (0.25, 0.55), FULL),
    ("square_root_giant", "square-root", (0.6, 0.25), SHORT),
    ("square_root_edge", "square-root", (-0.3, 1.3), SHORT),     # zero at the limb, rising as sqrt(mu)
    # logarithmic (e, f)
    ("logarithmic_dwarf", "logarithmic", (0.75, 0.2), FULL),
    ("logarithmic_giant", "logarithmic", (0.85, 0.3), SHORT),
    ("logarithmic_edge", "logarithmic", (1.0, 0.3), SHORT),      # zero at the limb, as mu ln mu
    # power-2 (c, alpha)
    ("power_2_dwarf", "power-2", (0.65, 0.6), FULL),
    ("power_2_giant", "power-2", (0.75, 0.45), SHORT),
    ("power_2_small_alpha", "power-2", (1.0, 0.05), SHORT),     # mu^0.05: steep at the limb
    ("power_2_large_alpha", "power-2", (1.0, 5.0), SHORT),
    # nonlinear (a1, a2, a3, a4)
    ("nonlinear_dwarf", "nonlinear", (0.6, -0.2, 0.6, -0.25), FULL),
    ("nonlinear_giant", "nonlinear", (0.8, -0.7, 1.1, -0.45), SHORT),
    ("nonlinear_edge_limb", "nonlinear", (0.5, 0.1, 0.2, 0.2), SHORT),   # sum 1: zero at the limb
    ("nonlinear_edge_inside", "nonlinear", (-4.0, 4.0, 0.0, 0.0), SHORT),  # (2 sqrt(mu) - 1)^2
    # tables (radii, brightnesses)
    ("table_quadratic_12", "table", _quadratic_table(), FULL),
    ("table_ring", "table", RING_TABLE, SHORT),
]


# Sets whose values are referenced here and whose gradients are not (the
# gradient reference takes the sets of LAWS): power laws so steep that the
# brightness is a core of a fifth and of a seventh of the radius (the
# steepest the law accepts).
VALUE_ONLY = [
    ("power_2_steep", "power-2", (1.0, 20.0), STEEP),
    ("power_2_core", "power-2", (0.9, 50.0), STEEP),
]


def all_laws():
    return LAWS + VALUE_ONLY


def laws():
    """{label: (law, coefficients)}."""
    return {label: (law, coefficients) for label, law, coefficients, _ in all_laws()}


def resolve(rho, l):
    """The double u of a grid point."""
    if l == BELOW:
        return math.nextafter(rho, 0.0)
    if l == ABOVE:
        return math.nextafter(rho, math.inf)
    return rho * l if l != 1.0 else rho


def cases():
    """(label, rho, u) of every row, in file order."""
    return [(label, rho, resolve(rho, l)) for label, _, _, grid in all_laws() for rho, l in grid]


# --------------------------------------------------------------------------
# Brightness, its flux, and the pieces the routes need.


def polynomial(law, c):
    """A law that is a polynomial in s = sqrt(mu): its coefficients, lowest
    power first, as mpf; None for the other laws."""
    c = [mpf(x) for x in c]
    if law == "uniform":
        return [mpf(1)]
    if law == "linear":                # 1 - a (1 - s^2)
        return [1 - c[0], 0, c[0]]
    if law == "quadratic":             # 1 - a t - b t^2, t = 1 - s^2
        a, b = c
        return [1 - a - b, 0, a + 2 * b, 0, -b]
    if law == "square-root":           # 1 - c (1 - s^2) - d (1 - s)
        return [1 - c[0] - c[1], c[1], c[0]]
    if law == "nonlinear":             # 1 - sum a_k (1 - s^k)
        return [1 - sum(c), c[0], c[1], c[2], c[3]]
    return None


def brightness(law, c, mu):
    """I(mu), from the law's own formula (not the polynomial)."""
    one = mpf(1)
    c = [mpf(x) for x in c]
    if law == "uniform":
        return one
    if law == "linear":
        return 1 - c[0] * (1 - mu)
    if law == "quadratic":
        return 1 - c[0] * (1 - mu) - c[1] * (1 - mu) ** 2
    if law == "square-root":
        return 1 - c[0] * (1 - mu) - c[1] * (1 - mp.sqrt(mu))
    if law == "logarithmic":
        return 1 - c[0] * (1 - mu) - (c[1] * mu * mp.log(mu) if mu > 0 else 0)
    if law == "power-2":
        return 1 - c[0] * (1 - mu ** c[1])
    if law == "nonlinear":
        return 1 - sum(a * (1 - mu ** (mpf(k) / 2)) for k, a in enumerate(c, start=1))
    raise ValueError(law)


def exact_flux(law, c):
    """N = int_0^1 I(mu) 2 mu dmu in closed form."""
    p = polynomial(law, c)
    if p is not None:
        # int_0^1 s^j 2 mu dmu = 4 / (j + 4) with mu = s^2.
        return sum(pj * mpf(4) / (j + 4) for j, pj in enumerate(p))
    e, f = (mpf(x) for x in c)
    if law == "logarithmic":
        return 1 - e / 3 + 2 * f / 9
    if law == "power-2":
        return 1 - e * f / (f + 2)
    raise ValueError(law)


def segments(table):
    """(a, b, f(a), slope) of each piece of a table, exact from the doubles."""
    bl, bf = table
    return [(mpf(bl[j]), mpf(bl[j + 1]), mpf(bf[j]),
             (mpf(bf[j + 1]) - mpf(bf[j])) / (mpf(bl[j + 1]) - mpf(bl[j])))
            for j in range(len(bl) - 1)]


def table_brightness(segs, r):
    for a, b, f0, k in segs:
        if a <= r <= b:
            return f0 + k * (r - a)
    return mpf(0)


def table_flux(segs):
    """N = 2 int_0^1 r I(r) dr, exact for the piecewise-linear profile."""
    total = mpf(0)
    for a, b, f0, k in segs:
        total += f0 * (b**2 - a**2) / 2 + k * ((b**3 - a**3) / 3 - a * (b**2 - a**2) / 2)
    return 2 * total


def radius_cuts(l, rho):
    """Radii in (0, 1) where the integrands change behaviour: the lens, and
    0.1, 1 and 10 Einstein radii either side of it; for a lens within 1e-2
    of the centre, l times powers of 100, which lead the rule from the
    scale of l out to that of the source."""
    eps = 1 / rho
    points = {l}
    for s in (mpf("0.1"), mpf(1), mpf(10)):
        points |= {l - s * eps, l + s * eps}
    if 0 < l < mpf("0.01"):
        x = l * 10
        while x < mpf("0.5"):
            points.add(x)
            x *= 100
    return sorted(p for p in points if 0 < p < 1)


def near_limb_mus(l):
    """For a lens within 1e-2 of the limb, the mu at which the lens's
    distance from the limb is reached, sqrt(2 |1 - l|): below it the discs
    miss the lens (or, outside, reach it only there)."""
    gap = abs(1 - l)
    if 0 < gap < mpf("0.01"):
        return {mp.sqrt(2 * gap)}
    return set()


def quad(f, points):
    return mp.quad(f, points, maxdegree=MAX_DEGREE)


# --------------------------------------------------------------------------
# The quadratures run at DPS digits; the integrands at the raised precision
# of the lens's distance from the limb (closed.working_dps), from the
# nodes as given.  A node rounded to DPS digits moves the result by far less
# than DPS digits, but r - l must be formed from it with all its digits.


def raised(f, digits):
    def g(x):
        with mp.workdps(digits):
            return f(x)
    return g


# --------------------------------------------------------------------------
# Route 1: rings, over d = r - l, so that the nodes resolve the distance to
# the lens however close it is to the limb.


def by_rings(law, c, rho, l, digits):
    eps = 1 / rho
    with mp.workdps(digits):
        gap = 1 - l                     # 1 - r = gap - d
    edges = {mpf(0), mpf(1)} | set(radius_cuts(l, rho))
    if law == "table":
        segs = segments(c)
        edges |= {a for a, _, _, _ in segs if 0 < a < 1} | {b for _, b, _, _ in segs if 0 < b < 1}

        def bright(r, d):
            return table_brightness(segs, r)
    else:
        def bright(r, d):
            return brightness(law, c, mp.sqrt((gap - d) * (1 + r)))

    def integrand(d):
        r = l + d
        if d == 0 or r <= 0:
            return mpf(0)
        return 2 * r * bright(r, d) * closed.ring(l, d, eps)

    with mp.workdps(digits):
        offsets = sorted(gap if e == 1 else e - l for e in edges)
    total = quad(raised(integrand, digits), offsets)
    if law == "table":
        norm = quad(lambda r: 2 * r * table_brightness(segs, r), sorted(edges))
    else:
        # Over mu, split where the power-2 and nonlinear laws change
        # fastest near the limb.
        mus = [mpf(0), mpf("1e-8"), mpf("1e-4"), mpf("0.01"), mpf("0.25"), mpf(1)]
        norm = quad(lambda mu: 2 * mu * brightness(law, c, mu), mus)
    return total / norm


# --------------------------------------------------------------------------
# Route 2: discs, by parts.


def by_discs(law, c, rho, l, digits):
    def G(r):
        return closed.disc_flux(rho, l, r)

    def G_of_mu(mu):
        return G(mp.sqrt((1 - mu) * (1 + mu)))

    with mp.workdps(digits):
        whole = G(mpf(1))
    if law == "table":
        segs = segments(c)
        total = mpf(0)
        for a, b, fa, k in segs:
            fb = fa + k * (b - a)
            # int_a^b I dG = I(b) G(b) - I(a) G(a) - k int_a^b G dr
            with mp.workdps(digits):
                total += fb * G(b) - fa * G(a)
            if k != 0:
                pieces = [a] + [x for x in radius_cuts(l, rho) if a < x < b] + [b]
                total -= k * quad(raised(G, digits), pieces)
        return total / table_flux(segs)

    # The cuts in mu, then in the route's variable.
    with mp.workdps(digits):
        mus = {mp.sqrt((1 - r) * (1 + r)) for r in radius_cuts(l, rho)} | near_limb_mus(l)
    mus = sorted(m for m in mus if 0 < m < 1)

    p = polynomial(law, c)
    if p is not None:
        # s = sqrt(mu): I = sum p_j s^j, dI = sum j p_j s^(j-1) ds.
        dp = [j * pj for j, pj in enumerate(p)][1:]
        if not any(dp):
            return whole

        def f(s):
            slope = mpf(0)
            for coefficient in reversed(dp):
                slope = slope * s + coefficient
            return G_of_mu(s * s) * slope
        points = [mpf(0)] + [mp.sqrt(m) for m in mus] + [mpf(1)]
        return (p[0] * whole + quad(raised(f, digits), points)) / exact_flux(law, c)

    e, g = (mpf(x) for x in c)
    if law == "logarithmic":
        # I' = e - f (1 + ln mu)
        def f(mu):
            return G_of_mu(mu) * (e - g * (1 + mp.log(mu)))
        points = [mpf(0)] + mus + [mpf(1)]
        return ((1 - e) * whole + quad(raised(f, digits), points)) / exact_flux(law, c)
    if law == "power-2":
        # t = mu^alpha: I = 1 - c + c t, dI = c dt.
        def f(t):
            return G_of_mu(t ** (1 / g))
        points = [mpf(0)] + [m ** g for m in mus] + [mpf(1)]
        return ((1 - e) * whole + e * quad(raised(f, digits), points)) / exact_flux(law, c)
    raise ValueError(law)


# --------------------------------------------------------------------------


def compute(case):
    """(case, rings value, relative difference of the routes)."""
    label, rho, u = case
    law, c = laws()[label]
    with mp.workdps(60):
        l = mpf(u) / mpf(rho)
    digits = closed.working_dps(l) + 2
    with mp.workdps(DPS):
        ring = by_rings(law, c, mpf(rho), l, digits)
        disc = by_discs(law, c, mpf(rho), l, digits)
        diff = abs(disc / ring - 1)
    return case, ring, diff


def header():
    lines = [
        "# Magnification of limb-darkened sources by a point lens, for every law of the",
        "# fitting functions.",
        f"# Generated by {GENERATOR}; do not edit.",
        "# Lengths in Einstein radii: u is the lens-source separation and rho the source",
        "# radius.  A = int_0^1 I A_ring(u/rho, r) 2 r dr / int_0^1 I 2 r dr, r in source",
        "# radii, computed over rings (Heyrovsky's closed form) and, independently, over",
        "# discs (Witt-Mao's closed form, by parts in a variable smooth at the limb).",
        "# Laws, mu = sqrt(1 - r^2): uniform 1; linear 1 - a(1-mu); quadratic",
        "# 1 - a(1-mu) - b(1-mu)^2; square-root 1 - c(1-mu) - d(1-sqrt(mu)); logarithmic",
        "# 1 - e(1-mu) - f mu ln(mu); power-2 1 - c(1-mu^alpha); nonlinear",
        "# 1 - sum_k a_k(1-mu^(k/2)); table piecewise linear in r, 0 outside its radii.",
        "# Coefficient sets (label law: coefficients, Python reprs of doubles):",
    ]
    for label, law, c, _ in all_laws():
        if law == "table":
            bl, bf = c
            lines.append(f"# table {label} radius: " + " ".join(repr(float(v)) for v in bl))
            lines.append(f"# table {label} brightness: " + " ".join(repr(float(v)) for v in bf))
        else:
            lines.append(f"# law {label} {law}:" + "".join(f" {float(v)!r}" for v in c))
    lines.append(f"# Columns: label rho u value diff; value to {DPS} digits, diff the relative")
    lines.append("# difference of the two computations.")
    return "\n".join(lines) + "\n"


def read(path=DEFAULT_OUTPUT):
    """The committed file: {label: (law, coefficients)}, a table's
    coefficients the pair (radii, brightnesses), and the rows
    (label, rho, u, value, diff), each value to all its digits."""
    laws, tables, rows = {}, {}, []
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line.startswith("# law "):
                head, values = line[len("# law "):].split(":", 1)
                label, law = head.split()
                laws[label] = (law, tuple(float(v) for v in values.split()))
            elif line.startswith("# table "):
                head, values = line[len("# table "):].split(":", 1)
                label, column = head.split()
                tables.setdefault(label, {})[column] = [float(v) for v in values.split()]
            elif line and not line.startswith("#"):
                label, rho, u, value, diff = line.split()
                with mp.workdps(30):
                    rows.append((label, float(rho), float(u), mpf(value), float(diff)))
    for label, columns in tables.items():
        laws[label] = ("table", (columns["radius"], columns["brightness"]))
    return laws, rows


def row(case):
    """One line of the file; an exception if the two routes disagree."""
    return reference_rows.checked_row(compute, AGREE, DPS, case)


def generate(processes=2):
    return reference_rows.generate(header(), cases(), row, processes)


def main(argv):
    return reference_rows.main(argv, DEFAULT_OUTPUT, generate)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
