#!/usr/bin/env python3
"""Write tests/data/profile_reference.txt: magnifications of limb-darkened and
tabulated-profile sources by a point lens, from a direct two-dimensional
integration of the point-lens magnification over the source disc.

Lengths are in source radii.  The source is the unit disc with radial
brightness I(r); the lens lies at distance l from its centre; rho is the
source radius in Einstein radii, so a source point at distance t from the
lens is magnified by A_ps(rho t), A_ps(u) = (u^2 + 2) / (u sqrt(u^2 + 4)).
The reference is

    A(l) = int_disc A_ps(rho |p - lens|) I(|p|) dA / int_disc I(|p|) dA.

Method.  Write I(r) = I(1) + int_r^1 (-I'(s)) ds (exact for the continuous
profiles used here, whose only discontinuity is the step at the limb) and
swap the order of integration:

    int_disc A_ps I dA = I(1) U(1) + int_0^1 (-I'(s)) U(s) ds,

where U(s) is the integral of A_ps over the disc of radius s about the
source centre.  U(s) is integrated in polar coordinates (t, phi) about the
lens: the circle of radius t meets that disc in an arc of half-angle phi(t)
with known endpoints, so the angular integral of the constant A_ps(rho t)
is exact and

    U(s) = int t A_ps(rho t) 2 phi(t) dt,   t from |s - l| to s + l,

plus, for s > l, the whole disc of radius s - l about the lens, whose flux
is (pi / rho^2) u sqrt(u^2 + 4) with u = rho (s - l) (the antiderivative of
u A_ps(u)).  With t = |s - l| + 2 min(s, l) sin^2(zeta) the integrand is
analytic in zeta on [0, pi/2]: the square-root end points of phi(t) are
gone, and t A_ps(rho t) is bounded at t = 0.  The one near singularity left
is at zeta ~ i sqrt(|s - l| / (2 min(s, l))), when the lens is close to the
circle |p| = s; the inner rule is Gauss-Legendre with more nodes as that
point nears the axis, and tanh-sinh once it is close.

The outer integral over s is split at every radius of the flux-map table
(where -I' jumps) and at s = l (where U has an (s - l) log|s - l| term).
Pieces with a singular end point (s = l, and s = 1, where the limb-darkening
weight s / sqrt(1 - s^2) blows up) use tanh-sinh, with the distances to the
end points carried separately so that nothing near them cancels; the other
pieces use Gauss-Legendre with a node count set by the distance to the
nearest singular point.  The denominators are exact.

Every value is computed twice: once at 20 digits with the coarser rules, and
once at 30 digits with finer ones (more Gauss nodes, tanh-sinh step halved).
The finer value is written; the relative difference of the two is written
as its uncertainty, and a value whose two computations differ by more than
1e-12 is reported and left out.

    python3 tools/gen_profile_reference.py [output-file]

The output is byte-for-byte the same on every run.
"""

import math
import os
import sys
import time
from multiprocessing import Pool

import mpmath
from mpmath import mp, mpf

GENERATOR = "tools/gen_profile_reference.py"
DEFAULT_OUTPUT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                              os.pardir, "tests", "data", "profile_reference.txt"))

RHOS = (0.5, 0.1, 0.01, 0.001)
SEPARATIONS = (0.0, 0.1, 0.3, 0.5, 0.9, 0.999, 1.0, 1.001, 1.1, 1.5, 2.0, 3.0, 5.0, 10.0)
UNIFORM_SEPARATIONS = (0.0, 0.5, 1.0, 2.0, 10.0)

LIMB_COEFFICIENT = 0.6          # linear law I = 1 - c (1 - mu), mu = sqrt(1 - r^2)
MAP_RADII = (0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 1.0)
MAP_LAW = (0.5, 0.2)            # quadratic law I = 1 - a (1 - mu) - b (1 - mu)^2

LINEAR = "linear_0.6"
UNIFORM = "uniform"
FLUX_MAP = "quadratic_map12"

ACCEPT = 1e-12                  # largest relative difference of the two computations

# The two computations.  inner_gauss lists (smallest |s - l| / (2 min(s, l)),
# nodes) for the inner Gauss-Legendre rules; below the last threshold the
# inner rule is tanh-sinh with step 2^-inner_ts.  Outer pieces without a
# singular end take outer_scale times the node count needed for a decay of
# the error to about exp(-44), the others tanh-sinh with step 2^-outer_ts.
PASSES = {
    "coarse": dict(dps=20, outer_ts=3, inner_ts=4, outer_scale=1.0,
                   inner_gauss=((0.15, 24), (0.05, 32), (0.015, 48), (0.005, 64))),
    "fine": dict(dps=30, outer_ts=4, inner_ts=5, outer_scale=1.5,
                 inner_gauss=((0.15, 32), (0.05, 48), (0.015, 64), (0.005, 96))),
}
OUTER_GAUSS_MAX = 64            # coarse node count past which a piece goes to tanh-sinh


# --------------------------------------------------------------------------
# Profiles


def flux_map_table():
    """The radii and the quadratic law at them, each brightness the double
    nearest the exact value at the (double) radius."""
    a, b = MAP_LAW
    bf = []
    with mp.workdps(60):
        for r in MAP_RADII:
            q = 1 - mp.sqrt(1 - mpf(r) ** 2)
            v = 1 - mpf(a) * q - mpf(b) * q * q
            bf.append(float(v))
    return list(MAP_RADII), bf


def write_flux_map_table(out, bl, bf, name=FLUX_MAP):
    """Write the table as two header lines of exact doubles (repr):
    '# table NAME radius: r0 r1 ...' and '# table NAME brightness: f0 f1 ...'."""
    out.write(f"# table {name} radius: " + " ".join(repr(float(r)) for r in bl) + "\n")
    out.write(f"# table {name} brightness: " + " ".join(repr(float(f)) for f in bf) + "\n")


def map_segments(bl, bf):
    """(r0, r1, f0, slope) of each linear piece, exactly from the doubles."""
    segs = []
    for j in range(len(bl) - 1):
        r0, r1, f0, f1 = mpf(bl[j]), mpf(bl[j + 1]), mpf(bf[j]), mpf(bf[j + 1])
        segs.append((r0, r1, f0, (f1 - f0) / (r1 - r0)))
    return segs


def map_norm(segs):
    """int_0^1 r I(r) dr of the piecewise-linear profile."""
    total = mpf(0)
    for r0, r1, f0, k in segs:
        total += f0 * (r1**2 - r0**2) / 2 + k * ((r1**3 - r0**3) / 3 - r0 * (r1**2 - r0**2) / 2)
    return total


# --------------------------------------------------------------------------
# Quadrature rules on [-1, 1], as (1 + x, 1 - x, weight): the distance to each
# end point is kept exactly rather than recovered from x.


def tanh_sinh(level, dps, cut_digits):
    """Nodes closer to an end point than 10^-cut_digits (relative) are left
    out: cut_digits about dps for bounded integrands, 2 dps for an inverse
    square root at an end point."""
    h = mpf(2) ** -level
    half_pi = mp.pi / 2
    cut = mpf(10) ** -cut_digits
    nodes = [(mpf(1), mpf(1), h * half_pi)]
    k = 1
    while True:
        tau = k * h
        e = mp.exp(2 * half_pi * mp.sinh(tau))
        c = 2 / (1 + e)                     # 1 - x
        if c < cut:
            break
        w = h * half_pi * mp.cosh(tau) * 4 * e / (1 + e) ** 2
        nodes.append((2 - c, c, w))
        nodes.append((c, 2 - c, w))
        k += 1
    return nodes


def gauss_legendre(n, dps):
    nodes = []
    with mp.workdps(dps + 15):
        tol = mpf(10) ** -(dps + 10)
        for i in range(1, (n + 1) // 2 + 1):
            x = mp.cos(mp.pi * (i - mpf(1) / 4) / (n + mpf(1) / 2))
            for _ in range(100):
                p0, p1 = mpf(1), x
                for j in range(2, n + 1):
                    p0, p1 = p1, ((2 * j - 1) * x * p1 - (j - 1) * p0) / j
                dp = n * (x * p1 - p0) / (x * x - 1)
                dx = p1 / dp
                x -= dx
                if abs(dx) < tol:
                    break
            p0, p1 = mpf(1), x
            for j in range(2, n + 1):
                p0, p1 = p1, ((2 * j - 1) * x * p1 - (j - 1) * p0) / j
            dp = n * (x * p1 - p0) / (x * x - 1)
            w = 2 / ((1 - x * x) * dp * dp)
            if abs(x) < tol:                # the middle node of an odd rule
                nodes.append((mpf(1), mpf(1), +w))
            else:
                nodes.append((+(1 - x), +(1 + x), +w))
                nodes.append((+(1 + x), +(1 - x), +w))
    if abs(sum(w for _, _, w in nodes) - 2) > mpf(10) ** -(dps - 2):
        raise SystemExit(f"Gauss-Legendre rule of {n} nodes is wrong")
    return nodes


class Rules:
    """The node sets of one computation, at its working precision."""

    def __init__(self, name):
        cfg = PASSES[name]
        self.name = name
        self.dps = cfg["dps"]
        self.outer_ts_level = cfg["outer_ts"]
        self.outer_scale = cfg["outer_scale"]
        with mp.workdps(self.dps):
            # The limb-darkening weight s / sqrt(1 - s^2) is singular at s = 1.
            self.outer_ts = tanh_sinh(cfg["outer_ts"], self.dps, 2 * self.dps + 6)
            self._outer_gl = {}
            self.inner_gl = [(mpf(r), self._inner(gauss_legendre(n, self.dps)))
                             for r, n in cfg["inner_gauss"]]
            self.inner_ts = self._inner(tanh_sinh(cfg["inner_ts"], self.dps, self.dps + 3))

    @staticmethod
    def _inner(nodes):
        """The rule on zeta in [0, pi/2], as (sin^2, cot, sin cos, weight sin cos)."""
        q = mp.pi / 4
        out = []
        for cl, cr, w in nodes:
            sz = mp.sin(q * cl)             # sin(zeta)
            cz = mp.sin(q * cr)             # cos(zeta) = sin(pi/2 - zeta)
            out.append((sz * sz, cz / sz, sz * cz, w * q * sz * cz))
        return out

    def outer_gl(self, n):
        if n not in self._outer_gl:
            self._outer_gl[n] = gauss_legendre(n, self.dps)
        return self._outer_gl[n]

    def inner_rule(self, ratio):
        for threshold, nodes in self.inner_gl:
            if ratio >= threshold:
                return nodes
        return self.inner_ts


# --------------------------------------------------------------------------
# The flux of A_ps over the disc of radius s about the source centre


def disc_flux(rules, rho, l, s, a, above):
    """U(s) for the lens at distance l, with a = |s - l| and above = (s >= l)
    given separately (each accurate when small)."""
    r2 = rho * rho
    total = mpf(0)
    if above:
        u = rho * a
        total = mp.pi / r2 * u * mp.sqrt(u * u + 4)
    if l == 0:
        return total
    acc = mpf(0)
    sqrt, atan = mp.sqrt, mp.atan
    if above:
        # t = a + D sin^2; tan(phi/2) = cot(zeta) sqrt((t + a) / (t + b)).
        d = 2 * l
        b = a + d
        for s2, cot, sc, wsc in rules.inner_rule(a / d):
            t = a + d * s2
            x = r2 * t * t
            acc += wsc * (x + 2) / sqrt(x + 4) * atan(cot * sqrt((t + a) / (t + b)))
    else:
        # tan(phi/2) = D sin cos / sqrt((t + a) (t + b)).
        d = 2 * s
        b = l + s
        for s2, cot, sc, wsc in rules.inner_rule(a / d):
            t = a + d * s2
            x = r2 * t * t
            acc += wsc * (x + 2) / sqrt(x + 4) * atan(d * sc / sqrt((t + a) * (t + b)))
    return total + acc * 8 * d / rho


# --------------------------------------------------------------------------
# One separation: every profile, at one working precision


def _pieces(l, bl):
    cuts = sorted({mpf(r) for r in bl} | ({l} if 0 < l < 1 else set()))
    return list(zip(cuts[:-1], cuts[1:]))


def _gauss_count(lo, hi, singular, scale):
    """Nodes for a Gauss-Legendre piece, or None if a singular point is too
    close (then tanh-sinh)."""
    c, half = (lo + hi) / 2, (hi - lo) / 2
    worst = None
    for p in singular:
        z = abs(p - c) / half
        if z <= 1 + mpf(10) ** -6:
            return None
        rate = z + mp.sqrt(z * z - 1)
        worst = rate if worst is None else min(worst, rate)
    n = 8 if worst is None else max(8, int(mp.ceil(22 / mp.log(worst))))
    if n > OUTER_GAUSS_MAX:
        return None
    return int(math.ceil(n * scale))


def magnifications(rules, rho, l, with_uniform):
    """{profile: magnification} at the working precision of rules."""
    bl, bf = flux_map_table()
    with mp.workdps(rules.dps):
        rho, l = mpf(rho), mpf(l)
        segs = map_segments(bl, bf)
        c = mpf(LIMB_COEFFICIENT)
        u1 = disc_flux(rules, rho, l, mpf(1), abs(1 - l), l <= 1)

        singular = [mpf(1), mpf(-1)] + ([l, -l] if l > 0 else [])
        lin_acc = mpf(0)
        map_acc = mpf(0)
        for lo, hi in _pieces(l, bl):
            slope = next(k for r0, r1, f0, k in segs if r0 <= lo and hi <= r1)
            n = _gauss_count(lo, hi, singular, rules.outer_scale)
            nodes = rules.outer_ts if n is None else rules.outer_gl(n)
            half = (hi - lo) / 2
            lin_part = mpf(0)
            map_part = mpf(0)
            for cl, cr, w in nodes:
                dl, dr = half * cl, half * cr
                s = lo + dl
                if lo == l:
                    signed = dl
                elif hi == l:
                    signed = -dr
                else:
                    signed = s - l
                u = disc_flux(rules, rho, l, s, abs(signed), signed >= 0)
                map_part += w * u
                lin_part += w * u * s / mp.sqrt(((1 - hi) + dr) * (1 + s))
            map_acc -= slope * map_part * half
            lin_acc += lin_part * half

        result = {
            LINEAR: ((1 - c) * u1 + c * lin_acc) / (mp.pi * (1 - c / 3)),
            FLUX_MAP: (mpf(bf[-1]) * u1 + map_acc) / (2 * mp.pi * map_norm(segs)),
        }
        if with_uniform:
            result[UNIFORM] = u1 / mp.pi
        return result


_RULES = {}


def compute(task):
    """Both computations for one (rho, l); returns the pairs (fine, coarse)."""
    rho, l = task
    start = time.perf_counter()
    values = {}
    for name in ("coarse", "fine"):
        if name not in _RULES:
            _RULES[name] = Rules(name)
        values[name] = magnifications(_RULES[name], rho, l, l in UNIFORM_SEPARATIONS)
    out = {}
    with mp.workdps(40):
        for profile, fine in values["fine"].items():
            coarse = values["coarse"][profile]
            out[profile] = (float(fine), float(abs((fine - coarse) / fine)), mpmath.nstr(fine, 25))
    return rho, l, out, time.perf_counter() - start


# --------------------------------------------------------------------------


HEADER = f"""\
# Magnification of an extended source by a single point lens, for radial
# brightness profiles.  Generated by {GENERATOR}; do not edit.
#
# Lengths in source radii: rho is the source radius in Einstein radii and l
# the lens-source separation.  A(l) = int A_ps(rho |p - lens|) I(|p|) dA /
# int I(|p|) dA over the unit source disc, A_ps(u) = (u^2+2)/(u sqrt(u^2+4)),
# by direct two-dimensional quadrature (no elliptic integrals): the profile
# written as a superposition of uniform discs about the source centre, each
# disc's flux integrated in polar coordinates about the lens.
#
# Profiles, with mu = sqrt(1 - r^2) and I = 0 for r > 1:
#   {LINEAR:<16} I = 1 - c (1 - mu), c = {LIMB_COEFFICIENT!r} (the double)
#   {UNIFORM:<16} I = 1
#   {FLUX_MAP:<16} the piecewise-linear (in r) profile through the points
#                    of the table below, which are the radii and the law
#                    I = 1 - {MAP_LAW[0]!r} (1 - mu) - {MAP_LAW[1]!r} (1 - mu)^2
#                    rounded to doubles; I(1) = last brightness, 0 beyond.
"""

COLUMNS = """\
#
# rel_uncertainty: relative difference between a 20-digit computation with
# coarser rules and the 30-digit one written here (before the rounding of
# value to the nearest double).  rho, l and value are Python reprs of doubles.
#
# profile rho l value rel_uncertainty
"""


def tasks():
    return [(rho, l) for rho in RHOS for l in SEPARATIONS]


def main(argv):
    path = argv[1] if len(argv) > 1 else DEFAULT_OUTPUT
    start = time.perf_counter()
    rows = {}
    rejected = []
    with Pool(2) as pool:
        for rho, l, out, seconds in pool.imap(compute, tasks()):
            worst = max(unc for _, unc, _ in out.values())
            print(f"rho={rho!r:<6} l={l!r:<6} {seconds:6.2f} s  worst rel diff {worst:.1e}  "
                  + "  ".join(f"{p}={text}" for p, (_, _, text) in out.items()), flush=True)
            for profile, (value, unc, _) in out.items():
                if unc > ACCEPT:
                    rejected.append((profile, rho, l, unc))
                else:
                    rows[(profile, rho, l)] = (value, unc)

    bl, bf = flux_map_table()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as out:
        out.write(HEADER)
        write_flux_map_table(out, bl, bf)
        out.write(COLUMNS)
        for profile, grid in ((LINEAR, SEPARATIONS), (UNIFORM, UNIFORM_SEPARATIONS),
                              (FLUX_MAP, SEPARATIONS)):
            for rho in RHOS:
                for l in grid:
                    if (profile, rho, l) in rows:
                        value, unc = rows[(profile, rho, l)]
                        out.write(f"{profile} {rho!r} {l!r} {value!r} {unc:.1e}\n")

    worst = max(unc for _, unc in rows.values())
    print(f"wrote {len(rows)} values to {path} in {time.perf_counter() - start:.1f} s; "
          f"worst rel_uncertainty {worst:.1e}")
    if rejected:
        for profile, rho, l, unc in rejected:
            print(f"NOT WRITTEN: {profile} rho={rho!r} l={l!r}: the two computations "
                  f"differ by {unc:.1e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
