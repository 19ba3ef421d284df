#!/usr/bin/env python3
"""Write tests/data/integrated_reference.txt: magnifications of limb-darkened
and tabulated-profile sources by a point lens, for source radii rho from 1e-7
to 1e3 Einstein radii and lenses from the centre through the limb (and the
doubles next to it) to a few Einstein radii away.

Lengths are in source radii; eps = 1/rho is the Einstein radius.  With I(r)
the radial brightness (0 beyond r = 1) and F = 2 pi int_0^1 r I(r) dr its
exact flux,

    A(l) = int_0^1 2 pi r I(r) A_ring(l, r) dr / F,

where A_ring is the magnification of the thin ring of radius r.  Each value
is computed two independent ways with mpmath:

  rings   the integral above, with A_ring from Heyrovsky's closed form in K
          and Pi as Carlson integrals of 1 - m and 1 - n formed from r - l
          without cancellation; the radius range is split at
          the lens (where A_ring diverges logarithmically), at the table's
          radii (kinks of I), and at distances of 0.1, 1 and 10 Einstein
          radii from the lens (where A_ring changes its regime), and every
          piece is integrated by tanh-sinh, which takes the logarithm at an
          end point in its stride;

  discs   by parts, with 2 pi r A_ring(r) = pi d/dr G(r), G(r) = r^2 A_disc(r)
          and A_disc(r) the Witt-Mao magnification of the uniform disc of
          radius r about the source centre (closed form in K, E and Pi):
            int_0^1 2 pi r I A_ring dr = pi (G(1) I(1) - int_0^1 G(r) I'(r) dr);
          for the linear law, I' dr = c dmu with mu = sqrt(1 - r^2), so the
          last integral is taken over mu, where it has no end-point
          singularity at the limb; for a table, I' is the constant slope of
          each segment.

A row is written only when the two agree to 1e-16 relative (most agree to
1e-20 or better; the last column says how well); otherwise the generator
stops.  The ring value is written to 20 significant digits.

Profiles:
  linear_0.6       I = 1 - c (1 - mu), c = 0.6 (the double);
  quadratic_map12  the 12-point table of tests/data/profile_reference.txt;
  feature_map      a table with radii at lens positions of the grid (0.3 and
                   0.999999) and a bright ring 2e-6 wide at r = 0.7.
The flux F is exact: (1/2 - c/6) 2 pi for the law, the exact integral of the
piecewise-linear interpolant for a table.

    python3 tools/gen_integrated_reference.py [output] [--check]

The output is the same on every run.
"""

import math
import os
import sys

import mpmath as mp
from mpmath import mpf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference_rows  # noqa: E402
import gen_profile_reference  # noqa: E402

GENERATOR = "tools/gen_integrated_reference.py"
REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
DEFAULT_OUTPUT = os.path.join(REPO, "tests", "data", "integrated_reference.txt")

DPS = 20
AGREE = mpf("1e-16")
MAX_DEGREE = 6

LIMB_COEFFICIENT = 0.6
LINEAR = "linear_0.6"
MAP12 = "quadratic_map12"
FEATURE = "feature_map"

RHOS = (1e-7, 1e-5, 1e-3, 0.1, 1.0, 10.0, 1e3)
BELOW_LIMB = math.nextafter(1.0, 0.0)
ABOVE_LIMB = math.nextafter(1.0, 2.0)
SEPARATIONS = (0.0, 0.3, 0.999999, BELOW_LIMB, 1.0, ABOVE_LIMB, 1.000001, 1.5, 3.0)


def tables():
    """{name: (bl, bf)} of the tabulated profiles, as doubles."""
    map12 = gen_profile_reference.flux_map_table()
    feature = ([0.0, 0.3, 0.7 - 1e-6, 0.7, 0.7 + 1e-6, 0.999999, 1.0],
               [1.0, 0.9, 0.75, 3.0, 0.75, 0.5, 0.25])
    return {MAP12: map12, FEATURE: feature}


def separations(rho):
    """The grid's lens positions for one source size: the fixed ones, and 3
    Einstein radii away when that is beyond 3 source radii."""
    out = list(SEPARATIONS)
    far = 3.0 / rho
    if far > 3.0:
        out.append(far)
    return out


# The tables cost several times the law (a piece per segment, and a lens one
# ulp from the limb many more), so they take three source sizes, the doubles
# next to the limb only at rho = 1, and no separation just outside.
TABLE_RHOS = (1e-7, 1.0, 1e3)
TABLE_SKIPS = (1.000001, 3.0)


def table_separations(rho):
    return [l for l in separations(rho) if l not in TABLE_SKIPS
            and (rho == 1.0 or l not in (BELOW_LIMB, ABOVE_LIMB))]


def cases():
    return ([(LINEAR, rho, l) for rho in RHOS for l in separations(rho)]
            + [(profile, rho, l) for profile in (MAP12, FEATURE)
               for rho in TABLE_RHOS for l in table_separations(rho)])


# --------------------------------------------------------------------------
# Profiles as pieces: (a, b, f0, slope) with I = f0 + slope (r - a) on [a, b].


def segments(profile):
    if profile == LINEAR:
        return None
    bl, bf = tables()[profile]
    segs = []
    for j in range(len(bl) - 1):
        a, b, fa, fb = (mpf(v) for v in (bl[j], bl[j + 1], bf[j], bf[j + 1]))
        segs.append((a, b, fa, (fb - fa) / (b - a)))
    return segs


def brightness(segs, r):
    c = mpf(LIMB_COEFFICIENT)
    if segs is None:
        return 1 - c * (1 - mp.sqrt((1 - r) * (1 + r)))
    for a, b, f0, k in segs:
        if a <= r <= b:
            return f0 + k * (r - a)
    return mpf(0)


def flux(segs):
    """F = 2 pi int_0^1 r I(r) dr, exactly."""
    if segs is None:
        return 2 * mp.pi * (mpf(1) / 2 - mpf(LIMB_COEFFICIENT) / 6)
    total = mpf(0)
    for a, b, f0, k in segs:
        total += f0 * (b**2 - a**2) / 2 + k * ((b**3 - a**3) / 3 - a * (b**2 - a**2) / 2)
    return 2 * mp.pi * total


# --------------------------------------------------------------------------
# Where the integrands change their behaviour.


def cuts(l, rho, lo=0, hi=1):
    """Radii in (lo, hi) that split the radius range: the lens, 0.1, 1 and 10
    Einstein radii either side of it, and, for a lens just outside or just
    inside the limb, a geometric sequence of distances from the limb."""
    l, eps = mpf(l), 1 / mpf(rho)
    points = {l}
    for s in (mpf("0.1"), mpf(1), mpf(10)):
        points |= {l - s * eps, l + s * eps}
    gap = abs(1 - l)
    if 0 < gap < mpf("0.01"):
        k = 0
        while gap * 10**k < mpf("0.5"):
            points.add(1 - gap * 10**k)
            k += 2
    return sorted(p for p in points if lo < p < hi)


def working_dps(l):
    """Digits for a lens near the limb: r - l must keep DPS digits where the
    two are only |1 - l| apart."""
    gap = abs(1 - mpf(l))
    extra = 0 if gap == 0 or gap > mpf("0.1") else int(-mp.log10(gap)) + 2
    return DPS + extra


def quad(f, points):
    return mp.quad(f, points, maxdegree=MAX_DEGREE)


# --------------------------------------------------------------------------
# Route 1: rings.


def ring(l, d, eps):
    """Heyrovsky's ring of radius l + d, lens at l, with K and Pi as Carlson
    integrals of the complements 1 - m and 1 - n, formed without
    cancellation from d: 1 - n = d^2 / s^2, 1 - m = d^2 (s^2 + 4 eps^2) /
    (q s^2), s = 2 l + d, q = 4 eps^2 + d^2."""
    s = 2 * l + d
    q = 4 * eps**2 + d * d
    n = 4 * l * (l + d) / s**2
    y = d * d * (s * s + 4 * eps**2) / (q * s * s)
    k = mp.elliprf(0, y, 1)
    p = k if n == 0 else k + n / 3 * mp.elliprj(0, y, 1, d * d / (s * s))
    return (2 / mp.pi) * (2 * eps**2 * k + d * d * p) / (s * mp.sqrt(q))


def by_rings(profile, rho, l):
    segs = segments(profile)
    eps = 1 / mpf(rho)
    l_ = mpf(l)

    def integrand(r):
        d = r - l_
        if d == 0 or r == 0:
            return mpf(0)
        return 2 * mp.pi * r * brightness(segs, r) * ring(l_, d, eps)

    edges = {mpf(0), mpf(1)} | set(cuts(l, rho))
    if segs is not None:
        edges |= {a for a, _, _, _ in segs if 0 < a < 1}
    return quad(integrand, sorted(edges)) / flux(segs)


# --------------------------------------------------------------------------
# Route 2: discs.


def disc_flux(rho, l, r):
    """G(r) = r^2 A_disc, the uniform disc of radius r about the source centre
    (rho r Einstein radii), the lens at l; the Witt-Mao closed form with K,
    E and Pi as Carlson integrals of complements formed from d = u - p, at a
    precision raised by the digits its terms lose to cancellation."""
    rho, l, r = mpf(rho), mpf(l), mpf(r)
    if r == 0:
        return mpf(0)
    if l == 0:
        return r * mp.sqrt((rho * r) ** 2 + 4) / rho
    if r < l * mpf("1e-15"):
        # A disc this small seen from the lens is a point; the correction,
        # relative (r/l)^2, is far below the digits kept.
        u = rho * l
        return r * r * (u * u + 2) / (u * mp.sqrt(u * u + 4))
    lost = 2 * mp.log10(1 + l / r) + 2 * abs(mp.log10(rho * r))
    with mp.workdps(mp.mp.dps + int(lost) + 5):
        p = rho * r             # the disc's radius in Einstein radii
        u = rho * l             # the lens's distance from its centre
        d = rho * (l - r)
        if d == 0:
            a = (2 / p + (1 + p**2) / p**2 * (mp.pi / 2 + mp.asin((p**2 - 1) / (p**2 + 1)))) / mp.pi
            return +(r * r * a)
        h = u + p
        s = mp.sqrt(d * d + 4)
        n = 4 * u * p / h**2
        m = 4 * n / (d * d + 4)
        y = d * d * (h * h + 4) / (h * h * (d * d + 4))
        k = mp.elliprf(0, y, 1)
        e = k - m / 3 * mp.elliprd(0, y, 1)
        pi3 = k + n / 3 * mp.elliprj(0, y, 1, d * d / (h * h))
        g = (e * h * s / (2 * p**2)
             - k * d * (u * u - p**2 + 8) / (2 * p**2 * s)
             + pi3 * 2 * (1 + p**2) * d * d / (p**2 * h * s))
        return +(r * r * g / mp.pi)


def by_discs(profile, rho, l):
    segs = segments(profile)
    whole = disc_flux(rho, l, 1)
    if segs is None:
        c = mpf(LIMB_COEFFICIENT)
        # int_0^1 G I' dr = -c int_0^1 G(sqrt(1 - mu^2)) dmu.
        g = lambda mu: disc_flux(rho, l, mp.sqrt((1 - mu) * (1 + mu)))
        mus = {mpf(0), mpf(1)}
        mus |= {mp.sqrt((1 - r) * (1 + r)) for r in cuts(l, rho)}
        gap = abs(1 - mpf(l))
        if 0 < gap < mpf("0.01"):
            # 1 - r = gap near mu = sqrt(2 gap): follow it in mu as well.
            mus |= {mp.sqrt(2 * gap) * mpf(10) ** k for k in range(-2, 9)}
        mus = sorted(m for m in mus if 0 <= m <= 1)
        total = (1 - c) * whole + c * quad(g, mus)
    else:
        total = segs[-1][2] + segs[-1][3] * (segs[-1][1] - segs[-1][0])
        total *= whole
        for a, b, _, k in segs:
            if k == 0:
                continue
            edges = [a] + cuts(l, rho, a, b) + [b]
            total -= k * quad(lambda r: disc_flux(rho, l, r), edges)
    return mp.pi * total / flux(segs)


# --------------------------------------------------------------------------


def compute(case):
    profile, rho, l = case
    with mp.workdps(working_dps(l)):
        ring = by_rings(profile, rho, l)
        disc = by_discs(profile, rho, l)
        diff = abs(disc / ring - 1)
    return case, ring, diff


def header():
    lines = [
        "# Magnification of limb-darkened and tabulated-profile sources by a point lens.",
        f"# Generated by {GENERATOR}; do not edit.",
        "# Lengths in source radii; rho is the source radius in Einstein radii and l the",
        "# lens-source separation.  A = int_0^1 2 pi r I(r) A_ring(l, r) dr / F, F the exact",
        "# flux 2 pi int_0^1 r I(r) dr, by quadrature over rings (Heyrovsky's closed form)",
        "# and, independently, over discs (Witt-Mao's closed form, by parts).",
        "# Profiles (mu = sqrt(1 - r^2), I = 0 for r > 1):",
        f"#   {LINEAR:<16} I = 1 - c (1 - mu), c = {LIMB_COEFFICIENT!r} (the double)",
        "#   tables           piecewise linear in r through the points below, 0 outside",
    ]
    for name, (bl, bf) in tables().items():
        lines.append(f"# table {name} radius: " + " ".join(repr(float(v)) for v in bl))
        lines.append(f"# table {name} brightness: " + " ".join(repr(float(v)) for v in bf))
    lines.append(f"# Columns: profile rho l value diff; value to {DPS} digits, diff the relative")
    lines.append("# difference of the two computations.")
    return "\n".join(lines) + "\n"


def row(case):
    """One line of the file; an exception if the two routes disagree."""
    return reference_rows.checked_row(compute, AGREE, DPS, case)


def generate(processes=2):
    return reference_rows.generate(header(), cases(), row, processes)


def main(argv):
    return reference_rows.main(argv, DEFAULT_OUTPUT, generate)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
