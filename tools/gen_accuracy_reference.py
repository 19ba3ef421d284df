#!/usr/bin/env python3
"""Write tests/data/accuracy_reference.txt: high-precision magnifications at
the extremes of every range the README claims, each computed two
independent ways that must agree, for bench/accuracy_table.py.

Lengths are in source radii; rho is the source radius in Einstein radii.

  disc     uniform disc, lens at l.  (a) the Witt-Mao closed form with
           mpmath's complete elliptic integrals, at 40 digits plus the
           digits lost to cancellation far from the source (the three terms
           cancel like 1/u^2); (b) the point-lens magnification integrated
           in polar coordinates about the lens (disc_flux of
           gen_profile_reference.py, no elliptic integrals, 30 digits).
  ring     thin ring of radius r, lens at l.  (a) the elliptic closed form;
           (b) the defining average of the point-lens magnification around
           the ring, by mpmath.quad split at the scale |r - l| / sqrt(r l)
           of the peak next to the lens.

A value is written (25 digits) only if (a) and (b) agree within 1e-18
relative; the written one is (a).  The limb-darkened and tabulated profiles
are in profile_reference.txt (a two-dimensional integration).

    python3 tools/gen_accuracy_reference.py [output-file] [--sample N]

--sample N computes only every N-th row and prints the rows (for the test
that the committed file is what this script writes).  The output is the
same on every run.
"""

import os
import sys
import time
from multiprocessing import Pool

import mpmath
from mpmath import mp, mpf

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_profile_reference as profiles  # noqa: E402

GENERATOR = "tools/gen_accuracy_reference.py"
DEFAULT_OUTPUT = os.path.normpath(os.path.join(HERE, os.pardir, "tests", "data",
                                               "accuracy_reference.txt"))
ACCEPT = mpf("1e-18")           # largest relative difference of the two ways
DPS = 30                        # working digits of the integrations
CLOSE = 40                      # digits of 1 - n kept, at most, next to the lens

LIMB_DOWN = 1.0 - 2.0**-53      # the double below 1
LIMB_UP = 1.0 + 2.0**-52        # the double above 1
DISC_RHOS = (1e-7, 1e-5, 1e-3, 0.1, 1.0, 10.0, 1e3, 1e4)
DISC_SEPARATIONS = (0.0, 0.5, 0.9, 1 - 1e-6, 1 - 1e-12, LIMB_DOWN, 1.0, LIMB_UP, 1 + 1e-12,
                    1 + 1e-6, 1.1, 2.0, 10.0)
FAR_FIELD = (10.0, 1e3, 1e10, 1e100, 1e300)     # lens distances in Einstein radii
RING_EPS = (1e-3, 0.1, 10.0, 1e4, 1e7)          # Einstein radius in source radii = 1/rho
RING_LENSES = (0.0, 1e-8, 0.5, 1.0, 10.0)


def rows():
    """(kind, rho or eps, l, r) of every reference, in file order."""
    out = []
    for rho in DISC_RHOS:
        ls = list(DISC_SEPARATIONS) + [u / rho for u in FAR_FIELD if u / rho > 10.0]
        out += [("disc", rho, l, None) for l in ls]
    for eps in RING_EPS:
        for l in RING_LENSES:
            rs = [0.1, 1.0, 2.0]
            if l > 0:
                rs += [l * (1 - 1e-6), l * (1 + 1e-12)]
            out += [("ring", eps, l, r) for r in rs if r != l]
    return out


# --------------------------------------------------------------------------
# Closed forms


def disc_closed(rho, u):
    """Uniform disc of radius rho (Einstein radii), lens at u, at the
    current precision; rho and u exact."""
    d, h = u - rho, u + rho
    if d == 0:
        # Lens on the limb: Pi's term vanishes, the form reduces to
        # 2/rho + (1 + rho^2)/rho^2 (pi/2 + asin((rho^2 - 1)/(rho^2 + 1))).
        return (2 / rho + (1 + rho**2) / rho**2
                * (mp.pi / 2 + mp.asin((rho**2 - 1) / (rho**2 + 1)))) / mp.pi
    s = mp.sqrt(d * d + 4)
    with complement_digits((d / h) ** 2):
        n = 1 - (d / h) ** 2        # 4 u rho / h^2, never rounded above 1
        m = 4 * n / (d * d + 4)
        k = mp.ellipk(m)
        p = mp.ellippi(n, m) if n != 0 else k
        e = mp.ellipe(m)
    g = (e * h * s / (2 * rho**2)
         - k * d * (u * u - rho**2 + 8) / (2 * rho**2 * s)
         + p * 2 * (1 + rho**2) * d * d / (rho**2 * h * s))
    return g / mp.pi


def complement_digits(c):
    """Working precision that keeps the current digits in 1 - c as well, for
    c down to 10^-CLOSE: closer to the lens or the limb than that, a quadrature
    node's weight is too small for its value to matter."""
    return mp.workdps(mp.dps + 5 + min(CLOSE, max(0, int(-mp.log10(c)))) if c > 0 else mp.dps)


def disc_closed_wide(rho, l):
    """The closed form with enough digits for the cancellation far from the
    source and next to the limb."""
    u = mpf(rho) * mpf(l)
    extra = 10 + 2 * max(0, int(mp.log10(u))) if u > 1 else 10
    extra += 2 * max(0, int(-mp.log10(mpf(rho))))   # the limb's arcsine for a small source
    with mp.workdps(40 + extra):
        return disc_closed(mpf(rho), mpf(rho) * mpf(l))


def ring_closed(l, r, eps):
    l, r, eps = mpf(l), mpf(r), mpf(eps)
    d, s = r - l, l + r
    q = 4 * eps**2 + d * d
    with complement_digits((d / s) ** 2):
        n = 1 - (d / s) ** 2        # 4 l r / s^2, never rounded above 1
        m = 4 * eps**2 * n / q
        k = mp.ellipk(m)
        p = mp.ellippi(n, m) if n != 0 else k
    return (2 / mp.pi) * (2 * eps**2 * k + d * d * p) / (s * mp.sqrt(q))


def point_lens(u):
    return (u * u + 2) / (u * mp.sqrt(u * u + 4))


def ring_average(l, r, eps):
    """(1/pi) int_0^pi A_ps(|ring point - lens| / eps) dphi."""
    l, r, eps = mpf(l), mpf(r), mpf(eps)
    d2, c = (r - l) ** 2, 4 * r * l

    def f(phi):
        return point_lens(mp.sqrt(d2 + c * mp.sin(phi / 2) ** 2) / eps)

    points = [mpf(0)]
    if l > 0 and r > 0:
        w = abs(r - l) / mp.sqrt(r * l)
        while w < 1:
            points.append(w)
            w *= 10
    points.append(mp.pi)
    return mp.quad(f, points) / mp.pi


# --------------------------------------------------------------------------


_FINE = None


def compute(row):
    """(row, reference, relative difference of the two ways, seconds)."""
    global _FINE
    kind, a, l, r = row
    start = time.perf_counter()
    with mp.workdps(DPS):
        if kind == "disc":
            if _FINE is None:
                _FINE = profiles.Rules("fine")
            first = disc_closed_wide(a, l)
            lf = mpf(l)
            second = profiles.disc_flux(_FINE, mpf(a), lf, mpf(1), abs(1 - lf), lf <= 1) / mp.pi
        elif kind == "ring":
            # mpmath's Pi loses digits with both n and m next to 1, as for a
            # ring passing close to the lens: 20 more digits.
            with mp.workdps(DPS + 20):
                first = ring_closed(l, r, a)
            second = ring_average(l, r, a)
        diff = abs((first - second) / first)
    return row, first, diff, time.perf_counter() - start


def line(row, value):
    kind, a, l, r = row
    return f"{kind} {a!r} {l!r} {r!r} {mpmath.nstr(value, 25, min_fixed=-1, max_fixed=-1)}"


HEADER = f"""\
# Magnifications of a point lens at the extremes of the claimed ranges,
# each computed two independent ways that agree within {mpmath.nstr(ACCEPT, 1)} relative.
# Generated by {GENERATOR}; do not edit.
#
# kind a l r value
#   disc    uniform disc; a = rho (source radius in Einstein radii), lens at
#           l source radii, r = None
#   ring    thin ring of radius r source radii, lens at l; a = Einstein
#           radius in source radii (1/rho)
# a, l and r are Python reprs of doubles; value has 25 significant digits.
"""


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    sample = None
    if "--sample" in argv:
        sample = int(argv[argv.index("--sample") + 1])
        args = [a for a in args if a != str(sample)]
    path = args[0] if args else DEFAULT_OUTPUT
    todo = rows()
    if sample:
        todo = todo[::sample]
    start = time.perf_counter()
    results = {}
    rejected = []
    with Pool(2) as pool:
        for row, value, diff, seconds in pool.imap_unordered(compute, todo):
            if not sample:
                print(f"{row} {seconds:6.2f} s  two ways differ by {mpmath.nstr(diff, 2)}",
                      flush=True)
            if diff > ACCEPT:
                rejected.append((row, diff))
            else:
                results[row] = value
    text = [line(row, results[row]) for row in todo if row in results]
    if sample:
        print("\n".join(text))
    else:
        with open(path, "w", encoding="utf-8", newline="\n") as out:
            out.write(HEADER)
            out.write("\n".join(text) + "\n")
        print(f"wrote {len(text)} values to {path} in {time.perf_counter() - start:.1f} s")
    for row, diff in rejected:
        print(f"NOT WRITTEN: {row}: the two ways differ by {mpmath.nstr(diff, 2)}",
              file=sys.stderr)
    return 1 if rejected else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
