#!/usr/bin/env python3
"""Write the reference tables for the elliptic-integral kernels into tests/data/.

Every table holds one case per line: the arguments, then the reference value
split into a leading double and the remainder (reference - leading double),
so that a test can measure errors well below one unit in the last place.
All numbers are written with float.hex() and read back exactly by strtod.

The arguments are doubles drawn from a seeded Mersenne Twister, and each
reference is computed by mpmath from exactly those doubles (mpf(x) of the
double is exact).  Each value is computed at two working precisions and the
two must agree to far below a double's resolution.  Before anything is
written, mpmath's argument conventions and the transformations used here for
the principal values are checked against quadrature of the defining
integrals.

    python3 tools/gen_kernel_reference.py [output-directory]

The output is byte-for-byte the same on every run on a given platform (the
draws pass through the C library's pow, so another one might round a few
arguments differently; the committed tables are what the tests read).
"""

import math
import os
import random
import sys
import zlib

import mpmath
from mpmath import mp, mpf

SEED = 20240611
DIGITS = 50          # working precision of the references
CHECK_DIGITS = 75    # second, higher precision used to confirm each value
GENERATOR = "tools/gen_kernel_reference.py"


# --------------------------------------------------------------------------
# References


def rf(x, y, z):
    return mpmath.elliprf(x, y, z)


def rc(x, y):
    return mpmath.elliprc(x, y, pv=True)


def rd(x, y, z):
    return mpmath.elliprd(x, y, z)


def rj(x, y, z, p):
    if p > 0:
        return mpmath.elliprj(x, y, z, p)
    # mpmath reaches the principal value by numerical integration, which is
    # slow and loses digits; use the transformation to a positive p instead
    # (DLMF 19.20.14, with the largest argument singled out), checked against
    # quadrature in check_conventions.
    a, b, c = sorted((x, y, z))
    q = -p
    pp = c - (c - a) * (c - b) / (c + q)
    return ((pp - c) * mpmath.elliprj(a, b, c, pp) - 3 * mpmath.elliprf(a, b, c)
            + 3 * mpmath.sqrt(a * b * c / (a * b + pp * q)) * mpmath.elliprc(a * b + pp * q, pp * q)) / (c + q)


def rg(x, y, z):
    return mpmath.elliprg(x, y, z)


def k(m):
    return mpmath.ellipk(m)


def e(m):
    return mpmath.ellipe(m)


def pi3(n, m):
    # mpmath.ellippi(n, m): characteristic first, then parameter m = k^2.
    if n < 1:
        return mpmath.ellippi(n, m)
    # Principal value for n > 1 from Pi(n, m) = K(m) - Pi(m/n, m) (DLMF 19.6.5);
    # mpmath's own complex continuation is far slower.  Checked by quadrature.
    return mpmath.ellipk(m) - mpmath.ellippi(m / n, m)


def evaluate(func, args):
    """func at the exact doubles args, confirmed at a higher precision."""
    with mp.workdps(DIGITS):
        v = mpf(func(*[mpf(a) for a in args]))
    with mp.workdps(CHECK_DIGITS):
        w = mpf(func(*[mpf(a) for a in args]))
        if w != 0 and abs((v - w) / w) > mpf(2) ** -110:
            raise SystemExit(f"reference not settled: {func.__name__}{tuple(args)}: {v} vs {w}")
        if w == 0 and v != 0:
            raise SystemExit(f"reference not settled: {func.__name__}{tuple(args)}")
        return w


def split(v):
    """v as a leading double and the double nearest the remainder."""
    with mp.workdps(CHECK_DIGITS):
        hi = float(v)
        lo = float(v - mpf(hi))
    if not math.isfinite(hi):
        raise SystemExit(f"reference out of double range: {v}")
    return hi, lo


# --------------------------------------------------------------------------
# Independent checks of mpmath's conventions


def _pv_quad(g, a, upper, scales=()):
    """Principal value of int_0^upper g(t)/(t - a) dt, 0 < a < upper.

    Over [a - h, a + h] the pole is removed by subtracting g(a), whose own
    principal value over that symmetric window vanishes.  The quadrature runs
    with twenty extra digits, and the scales (where g varies fastest) become
    break points."""
    with mp.workdps(mp.dps + 20):
        a = mpf(a)
        h = min(a, upper - a)
        ga = g(a)

        def pieces(lo, hi, mid=()):
            pts = {lo, hi, *mid}
            pts |= {mpf(c) for c in scales if lo < c < hi}
            return sorted(pts)

        parts = [mpmath.quad(lambda t: (g(t) - ga) / (t - a), pieces(a - h, a + h, [a]))]
        if a - h > 0:
            parts.append(mpmath.quad(lambda t: g(t) / (t - a), pieces(mpf(0), a - h)))
        if upper == mpmath.inf:
            # t = 2a/w^2 maps the tail onto (0, 1] with a smooth integrand.
            parts.append(mpmath.quad(lambda w: g(2 * a / w**2) / (2 * a / w**2 - a) * 4 * a / w**3,
                                     [0, 1]))
        elif a + h < upper:
            parts.append(mpmath.quad(lambda t: g(t) / (t - a), pieces(a + h, upper)))
        return mpmath.fsum(parts)


def check_conventions():
    with mp.workdps(DIGITS):
        tol = mpf(10) ** -35

        def agree(v, ref, what):
            if not abs(v - ref) <= tol * abs(ref):
                raise SystemExit(f"convention check failed: {what}: {v} vs {ref}")

        # RC(x, y) for y < 0 against its principal-value integral.
        for x, y in [(0.25, -2.0), (3.0, -0.5), (1e-6, -4e5)]:
            x, y = mpf(x), mpf(y)
            g = lambda t: 0.5 / mpmath.sqrt(t + x)
            agree(rc(x, y), _pv_quad(g, -y, mpmath.inf, (x,)), ("elliprc", x, y))
        agree(rc(0.25, -2.0), mpmath.log(2) / 3, "elliprc(0.25, -2)")

        # RJ(x, y, z, p) for p < 0 against its principal-value integral, and
        # once against mpmath's own (slow) continuation.
        for x, y, z, p in [(2.0, 3.0, 4.0, -5.0), (0.0, 1.5, 7.0, -0.25),
                           (3e-7, 2e4, 5e2, -1e-3), (9.0, 1e-4, 0.0, -3e6)]:
            x, y, z, p = map(mpf, (x, y, z, p))
            g = lambda t: 1.5 / mpmath.sqrt((t + x) * (t + y) * (t + z))
            agree(rj(x, y, z, p), _pv_quad(g, -p, mpmath.inf, (x, y, z)), ("elliprj", x, y, z, p))
        with mp.workdps(DIGITS + 30):
            v = rj(mpf(2), mpf(3), mpf(4), mpf(-5))
            agree(v, mpmath.elliprj(2, 3, 4, -5).real, "elliprj(2, 3, 4, -5)")

        # Pi(n, m): n first, m = k^2 second; n > 1 is the principal value.
        # With s = sin^2(t), Pi = int_0^1 ds / (2 (1 - n s) sqrt(s (1 - s) (1 - m s))).
        for n, m in [(0.3, 0.5), (-0.5, 0.5), (-40.0, -3.0), (2.0, 0.5), (1.25, 0.3),
                     (7.5, -1.25), (3e4, 0.999)]:
            n, m = mpf(n), mpf(m)
            g = lambda s: 1 / (2 * mpmath.sqrt(s * (1 - s) * (1 - m * s)))
            if n < 1:
                with mp.workdps(DIGITS + 20):
                    ref = mpmath.quad(lambda s: g(s) / (1 - n * s), [0, 1])
            else:
                ref = _pv_quad(lambda s: -g(s) / n, 1 / n, mpf(1))
            agree(pi3(n, m), ref, ("ellippi", n, m))
        with mp.workdps(DIGITS + 30):
            agree(pi3(mpf(2), mpf(0.5)), mpmath.ellippi(2, 0.5).real, "ellippi(2, 0.5)")

        # K and E take the parameter m, not the modulus.
        for m in (0.5, -2.0, 0.99):
            m = mpf(m)
            with mp.workdps(DIGITS + 20):
                kq = mpmath.quad(lambda t: 1 / mpmath.sqrt(1 - m * mpmath.sin(t) ** 2), [0, mpmath.pi / 2])
                eq = mpmath.quad(lambda t: mpmath.sqrt(1 - m * mpmath.sin(t) ** 2), [0, mpmath.pi / 2])
            agree(k(m), kq, ("ellipk", m))
            agree(e(m), eq, ("ellipe", m))


# --------------------------------------------------------------------------
# Argument generators


class Draw:
    """Doubles from a seeded generator: uniform and log-uniform."""

    def __init__(self, name):
        self.rng = random.Random(SEED ^ zlib.crc32(name.encode()))

    def u(self, lo, hi):
        return lo + (hi - lo) * self.rng.random()

    def log(self, lo, hi):
        """Log-uniform in [lo, hi], both positive."""
        return 10.0 ** self.u(math.log10(lo), math.log10(hi))

    def pick(self, seq):
        return seq[int(self.rng.random() * len(seq))]

    def near_one(self, lo, hi):
        """1 - d with d log-uniform in [lo, hi], so that 1 - m is exact."""
        return 1.0 - self.log(lo, hi)


def neighbours(x, count):
    """x and the count doubles on either side of it."""
    out = [x]
    a = b = x
    for _ in range(count):
        a = math.nextafter(a, -math.inf)
        b = math.nextafter(b, math.inf)
        out += [a, b]
    return sorted(out)


WIDE = (1e-10, 1e10)


def elliprf_random(d):
    return [(d.log(*WIDE), d.log(*WIDE), d.log(*WIDE)) for _ in range(240)]


def elliprf_two_equal(d):
    cases = [(d.log(*WIDE), y, y) for y in (d.log(*WIDE) for _ in range(120))]
    # Nearly equal pairs, where RC's logarithm and arctangent lose most.
    for _ in range(60):
        y = d.log(*WIDE)
        cases.append((y * (1 + d.pick([-1, 1]) * d.log(1e-15, 1e-1)), y, y))
    cases += [(x, x, x) for x in (d.log(*WIDE) for _ in range(20))]
    return cases


def elliprf_one_zero(d):
    cases = [(0.0, d.log(*WIDE), d.log(*WIDE)) for _ in range(160)]
    cases += [(0.0, y, y) for y in (d.log(*WIDE) for _ in range(20))]
    # Nearly equal non-zero pair: the arithmetic-geometric mean stops at once.
    for _ in range(20):
        y = d.log(*WIDE)
        cases.append((0.0, y, y * (1 + d.log(1e-15, 1e-3))))
    return cases


def elliprc_random(d):
    return [(d.log(*WIDE), d.log(*WIDE)) for _ in range(240)]


def elliprc_near_equal(d):
    cases = []
    for _ in range(200):
        x = d.log(*WIDE)
        # Both sides of x = y, from a relative distance of ~1e-15 up to a factor
        # of three: the arctangent form above, log1p and the plain log below.
        r = 1 + d.pick([-1, 1]) * d.log(1e-15, 0.7)
        if d.rng.random() < 0.25:
            r = 1 / r
        cases.append((x, x * r))
    cases += [(x, x) for x in (d.log(*WIDE) for _ in range(20))]
    return cases


def elliprc_negative_y(d):
    cases = [(d.log(*WIDE), -d.log(*WIDE)) for _ in range(200)]
    cases += [(x, -x * (1 + d.log(1e-15, 1e-2))) for x in (d.log(*WIDE) for _ in range(20))]
    return cases


def elliprd_random(d):
    return [(d.log(*WIDE), d.log(*WIDE), d.log(*WIDE)) for _ in range(240)]


def elliprd_two_equal(d):
    cases = []
    for _ in range(70):
        a, b = d.log(*WIDE), d.log(*WIDE)
        cases += [(a, a, b), (a, b, b)]
    for _ in range(30):
        a = d.log(*WIDE)
        b = a * (1 + d.pick([-1, 1]) * d.log(1e-15, 1e-1))
        cases += [(a, a, b), (b, a, a)]
    cases += [(a, a, a) for a in (d.log(*WIDE) for _ in range(20))]
    return cases


def elliprd_one_zero(d):
    cases = [(0.0, d.log(*WIDE), d.log(*WIDE)) for _ in range(160)]
    cases += [(0.0, z, z) for z in (d.log(*WIDE) for _ in range(20))]
    for _ in range(20):
        z = d.log(*WIDE)
        cases.append((0.0, z * (1 + d.pick([-1, 1]) * d.log(1e-15, 1e-3)), z))
    return cases


def elliprj_random(d):
    return [(d.log(*WIDE), d.log(*WIDE), d.log(*WIDE), d.log(*WIDE)) for _ in range(240)]


def elliprj_two_equal(d):
    cases = []
    for _ in range(60):
        # p well away from the repeated pair (the near case has its own table).
        x, y, p = d.log(*WIDE), d.log(*WIDE), d.log(*WIDE)
        if 1 / 1.5 < p / y < 1.5:
            continue
        cases.append((x, y, y, p))
    for _ in range(40):
        x, y = d.log(*WIDE), d.log(*WIDE)
        cases.append((x, y, y, y))
    for _ in range(50):
        x, y, z = d.log(*WIDE), d.log(*WIDE), d.log(*WIDE)
        cases.append((x, y, z, z))
    for _ in range(40):
        # Three equal: the closed form through RC(x, p) - 1/sqrt(x) cancels as
        # p approaches x, so p is kept at least a factor of two away.
        x = d.log(*WIDE)
        p = x * 10.0 ** (d.pick([-1, 1]) * d.u(math.log10(2), 10))
        cases.append((x, x, x, p))
    cases += [(x, x, x, x) for x in (d.log(*WIDE) for _ in range(15))]
    return cases


def elliprj_two_equal_near_p(d):
    # y = z with p within a factor of 1.5 of them, on both sides of the ratio
    # 1.2 that separates the duplication (closer) from the difference of two
    # RC values (farther).  That difference cancels by about
    # ln(x/y) / ln(p/y) when x is much larger than y, so this table has a
    # budget of its own.
    cases = []
    for _ in range(200):
        x, y = d.log(*WIDE), d.log(*WIDE)
        r = d.u(1.0, 1.5)
        cases.append((x, y, y, y * r if d.rng.random() < 0.5 else y / r))
    return cases


def elliprj_one_zero(d):
    cases = [(0.0, d.log(*WIDE), d.log(*WIDE), d.log(*WIDE)) for _ in range(160)]
    for _ in range(40):
        y, p = d.log(*WIDE), d.log(*WIDE)
        cases.append((0.0, y, y, p))
    return cases


def elliprj_negative_p(d):
    cases = []
    for _ in range(200):
        x, y, z = d.log(*WIDE), d.log(*WIDE), d.log(*WIDE)
        if d.rng.random() < 0.2:
            x = 0.0
        cases.append((x, y, z, -d.log(*WIDE)))
    return cases


def elliprg_random(d):
    return [(d.log(*WIDE), d.log(*WIDE), d.log(*WIDE)) for _ in range(240)]


def elliprg_two_equal(d):
    cases = []
    for _ in range(70):
        a, b = d.log(*WIDE), d.log(*WIDE)
        cases += [(a, a, b), (a, b, b)]
    for _ in range(20):
        a = d.log(*WIDE)
        cases.append((a, a, a * (1 + d.pick([-1, 1]) * d.log(1e-15, 1e-1))))
    cases += [(a, a, a) for a in (d.log(*WIDE) for _ in range(20))]
    return cases


def elliprg_one_zero(d):
    cases = [(0.0, d.log(*WIDE), d.log(*WIDE)) for _ in range(160)]
    cases += [(0.0, y, y) for y in (d.log(*WIDE) for _ in range(20))]
    cases += [(0.0, 0.0, z) for z in (d.log(*WIDE) for _ in range(20))]
    return cases


# Parameters for K and E: every tabulated interval, each border between two
# polynomials (and the border with the Carlson form at 0.9) with the doubles
# around it, m <= -0.05 over many decades, and m close to 1.
BORDERS = [0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.85, 0.9]


def _legendre_parameters(d):
    ms = [d.u(0.0, 0.9) for _ in range(150)]
    for b in BORDERS:
        ms += neighbours(b, 2)
    ms += [v for v in neighbours(-0.05, 2) if v <= -0.05]
    ms += [-d.log(0.05, 1e10) for _ in range(40)]
    ms += [d.u(0.9, 1.0) for _ in range(20)]
    ms += [d.near_one(1e-15, 1e-1) for _ in range(40)]
    return [(m,) for m in ms]


def _small_negative_parameters(d):
    """-0.05 < m < 0, which K takes from the polynomial of [0, 0.1)."""
    ms = [d.u(-0.05, 0.0) for _ in range(60)]
    ms += [-d.log(1e-300, 1e-2) for _ in range(10)]
    ms += [v for v in neighbours(-0.05, 2) if v > -0.05]
    ms += [-(2.0 ** -1074), -(2.0 ** -1022)]
    return [(m,) for m in ms]


def ellipk_cases(d):
    return _legendre_parameters(d)


def ellipk_small_negative(d):
    return _small_negative_parameters(d)


def ellipe_cases(d):
    # E reaches negative m through m/(m - 1), so it has no separate table.
    return _legendre_parameters(d) + _small_negative_parameters(d)


def _parameter(d):
    """An m for Pi: mostly tabulated range, some negative, some close to 1."""
    r = d.rng.random()
    if r < 0.6:
        return d.u(0.0, 0.9)
    if r < 0.75:
        return d.u(0.9, 1.0)
    if r < 0.9:
        return -d.log(1e-3, 1e3)
    return d.near_one(1e-14, 1e-2)


def ellippi_n_below_one(d):
    cases = [(d.u(0.0, 1.0), _parameter(d)) for _ in range(160)]
    # n close to 1, where Pi grows like 1/sqrt(1 - n).
    cases += [(d.near_one(1e-15, 1e-2), _parameter(d)) for _ in range(40)]
    return cases


def ellippi_negative_n(d):
    cases = [(-d.log(1e-8, 1e8), _parameter(d)) for _ in range(180)]
    cases += [(m, m) for m in (-d.log(1e-3, 1e3) for _ in range(20))]
    return cases


# For n > 1 the reduction to RJ(0, 1 - m, 1, 1 - m/n) loses the digits that
# m/n has in common with 1: about 0.05/(1 - m/n) eps.  Pairs with
# (n - m)/n < 0.01, that is n and m both close to 1, are left out.
def _pv_usable(n, m):
    return n > 1.0 + 2.0 ** -52 and (n - m) / n >= 0.01


def ellippi_n_above_one(d):
    cases = [(1.0 + d.log(1e-14, 1e8), _parameter(d)) for _ in range(240)]
    return [(n, m) for n, m in cases if _pv_usable(n, m)][:200]


def ellippi_m_near_one(d):
    cases = []
    while len(cases) < 200:
        m = d.near_one(1e-15, 1e-2)
        if 1.0 - m <= 2.0 ** -52:
            continue
        r = d.rng.random()
        if r < 0.4:
            n = d.u(0.0, 1.0)
        elif r < 0.7:
            n = -d.log(1e-6, 1e6)
        else:
            n = 1.0 + d.log(1e-2, 1e6)
            if not _pv_usable(n, m):
                continue
        cases.append((n, m))
    return cases


# --------------------------------------------------------------------------
# The fused AGM kernels: K(m), D = (K - E)/m, X = (Pi - K)/n, P = (1 - n) X
# and Z = D - P at once, from the parameters m, n and their complements
# mc = 1 - m, nc = 1 - n.  Of each pair the member not above 1/2 is drawn as a
# double and is exact; the other is its complement rounded to a double, as a
# caller forms it.  The references are taken at the exact member.


def _fused_closed_form(m, mc, n, nc):
    """K, D, X, P, Z from mpmath's K, E and Pi, at the working precision in
    force (the caller raises it by the digits the differences lose)."""
    mt = mpf(m) if m <= 0.5 else 1 - mpf(mc)
    nt = mpf(n) if n <= 0.5 else 1 - mpf(nc)
    k = mpmath.ellipk(mt)
    d = (k - mpmath.ellipe(mt)) / mt if mt != 0 else mp.pi / 4
    if nt == 0:
        x = d
    else:
        x = (mpmath.ellippi(nt, mt) - k) / nt
    p = (1 - nt) * x
    return [k, d, x, p, d - p]


def _fused_quadrature(m, mc, n, nc):
    """The same five values from their defining integrals, written with
    t = pi/2 - theta so that 1 - m sin^2 = sin^2 t + mc cos^2 t and
    1 - n sin^2 = sin^2 t + nc cos^2 t carry the exact complements:
      K = int 1/R,  D = int cos^2/R,  X = int cos^2/(N R),
      Z = n int sin^2 cos^2/(N R),  R = sqrt(sin^2 + mc cos^2), N = sin^2 + nc cos^2.
    Every integrand is positive: nothing cancels.  Break points follow the
    peaks of width sqrt(mc) and sqrt(nc) at t = 0."""
    mt = mpf(m) if m <= 0.5 else 1 - mpf(mc)
    nt = mpf(n) if n <= 0.5 else 1 - mpf(nc)
    mct, nct = 1 - mt, 1 - nt
    points = {mpf(0), mp.pi / 2}
    for w in (mct, nct):
        if 0 < w < mpf("1e-4"):
            r = mp.sqrt(w)
            points |= {r * mpf(10) ** k for k in range(0, 40) if r * mpf(10) ** k < 1}
    points = sorted(points)

    def integral(f):
        def g(t):
            st, ct = mp.sin(t), mp.cos(t)
            s2, c2 = st * st, ct * ct
            return f(s2, c2, mp.sqrt(s2 + mct * c2), s2 + nct * c2)
        return mpmath.quad(g, points)

    k = integral(lambda s2, c2, r, nn: 1 / r)
    d = integral(lambda s2, c2, r, nn: c2 / r)
    x = integral(lambda s2, c2, r, nn: c2 / (nn * r))
    z = nt * integral(lambda s2, c2, r, nn: s2 * c2 / (nn * r))
    return [k, d, x, nct * x, z]


def _fused_quadrature_log(m, mc, n, nc):
    """The same five integrals in s = ln tan t, for complements down to
    1e-300, where the peaks of width sqrt(mc) and sqrt(nc) at t = 0 would need
    hundreds of break points in t.  With T = tan t = e^s,
      dt = T ds / (1 + T^2),  1/R = sqrt((1 + T^2) / (T^2 + mc)),
      cos^2 = 1 / (1 + T^2),  1/N = (1 + T^2) / (T^2 + nc),
    so that with w = T / sqrt((1 + T^2)(T^2 + mc))
      K = int w,  D = int w / (1 + T^2),  X = int w / (T^2 + nc),
      Z = n int w T^2 / ((1 + T^2)(T^2 + nc)),
    every integrand positive and smooth, a bump of width about 1 in s at
    each of ln sqrt(mc), ln sqrt(nc) and 0, decaying like e^(-|s|) beyond
    them.  The range stops 145 units past the outer bumps, where the tails
    are below e^-145 (1e-63) of the integrals.  The complements are taken
    from the exact member of each pair, never as 1 - m at a working
    precision that cannot hold m next to 1."""
    mct = mpf(mc) if m > 0.5 else 1 - mpf(m)
    nct = mpf(nc) if n > 0.5 else 1 - mpf(n)
    nt = mpf(n) if n <= 0.5 else 1 - mpf(nc)
    peaks = sorted({mpmath.log(mct) / 2, mpmath.log(nct) / 2, mpf(0)})
    points = {peaks[0] - 145, mpf(145)}
    for c in peaks:
        points |= {c - 4, c, c + 4}
    points = sorted(points)

    def integral(f):
        def g(s):
            t2 = mp.exp(2 * s)
            w = mp.exp(s) / mp.sqrt((1 + t2) * (t2 + mct))
            return f(t2, w)
        return mpmath.quad(g, points)

    k = integral(lambda t2, w: w)
    d = integral(lambda t2, w: w / (1 + t2))
    x = integral(lambda t2, w: w / (t2 + nct))
    z = nt * integral(lambda t2, w: w * t2 / ((1 + t2) * (t2 + nct)))
    return [k, d, x, nct * x, z]


# Working digits of the quadrature in s: the agreement checked below is
# 1e-24, and the closed form carries the digits written.
LOG_QUADRATURE_DIGITS = 32


def _fused_digits(m, mc, n, nc):
    """Digits lost by the closed form's differences, with a margin."""
    lost = 0.0
    for v in (m, mc, n, nc):
        if 0 < v < 1:
            lost = max(lost, -math.log10(v))
    return DIGITS + int(2 * lost) + 10


def fused_reference(args, log_quadrature=False):
    m, mc, n, nc = args
    with mp.workdps(_fused_digits(*args)):
        closed = _fused_closed_form(m, mc, n, nc)
    if log_quadrature:
        with mp.workdps(LOG_QUADRATURE_DIGITS):
            quad = _fused_quadrature_log(m, mc, n, nc)
    else:
        with mp.workdps(DIGITS):
            quad = _fused_quadrature(m, mc, n, nc)
    with mp.workdps(CHECK_DIGITS):
        for name, c, q in zip("KDXPZ", closed, quad):
            if c == 0 and q == 0:
                continue
            if not abs(c - q) <= mpf(10) ** -24 * abs(c):
                raise SystemExit(f"fused references disagree: {name}{tuple(args)}: {c} vs {q}")
    return closed


def _pair(v):
    """A parameter and its complement from a draw v: v itself when v <= 1/2,
    else its complement is made the exact member."""
    if v <= 0.5:
        return v, 1.0 - v
    c = 1.0 - v
    return 1.0 - c, c


def _fused_case(m, n=None, mc=None, nc=None):
    """Complete the four arguments from whichever members were drawn."""
    if mc is None:
        m, mc = _pair(m)
    else:
        m = 1.0 - mc
    if nc is None:
        n, nc = _pair(n)
    else:
        n = 1.0 - nc
    return (m, mc, n, nc)


def _rounded_low(v):
    """The double below v: a complement next to 1 rounded the other way, as a
    caller's formula for it may give (1 - 2^-53 for a parameter of 1e-24)."""
    return math.nextafter(v, 0.0)


def fused_m_tiny(d):
    cases = []
    for _ in range(80):
        m = d.log(1e-300, 1e-4)
        m, mc, n, nc = _fused_case(m, n=d.log(m, 0.99))
        if d.rng.random() < 0.3:
            mc = _rounded_low(mc)
        cases.append((m, mc, n, nc))
    return cases


def fused_m_moderate(d):
    cases = []
    for _ in range(80):
        m = d.u(1e-4, 0.9)
        cases.append(_fused_case(m, n=d.u(m, 0.999)))
    return cases


def fused_m_near_one(d):
    # n >= m, with both complements small: the limb of a small source.
    cases = []
    for _ in range(80):
        mc = d.log(1e-30, 1e-2)
        cases.append(_fused_case(None, mc=mc, nc=mc * d.log(1e-4, 1.0)))
    return cases


def fused_nc_small(d):
    # nc small against sqrt(mc): the sum S cancels and the telescoped sum
    # takes over.
    cases = []
    for _ in range(80):
        cases.append(_fused_case(d.u(0.0, 0.9), nc=d.log(1e-30, 1e-3)))
    return cases


def fused_n_small(d):
    # nc next to 1 and m <= n: the disc far outside a small source.
    cases = [(0.0, 1.0, 0.0, 1.0)]
    for _ in range(80):
        n = d.log(1e-300, 1e-3)
        m = 0.0 if d.rng.random() < 0.05 else n * d.log(1e-6, 1.0)
        m, mc, n, nc = _fused_case(m, n=n)
        if d.rng.random() < 0.3:
            mc, nc = _rounded_low(mc), _rounded_low(nc)
        cases.append((m, mc, n, nc))
    return cases


def _cancelling_parameter(d):
    """(m, mc) for the tables of the cancelling sum: a third with m
    log-uniform in [1e-300, 1/2] (m -> 0, m exact), the rest with mc
    log-uniform in [1e-300, 1/2] or, for half of them, in [1e-16, 1/2]
    (m -> 1, mc exact; the disc near the limb of a small source)."""
    r = d.rng.random()
    if r < 1 / 3:
        m = d.log(1e-300, 0.5)
        return m, 1.0 - m
    mc = d.log(1e-300 if r < 2 / 3 else 1e-16, 0.5)
    return 1.0 - mc, mc


def _with_nc(m, mc, nc):
    """The four arguments with nc exact (nc <= 1/2) and the member of m and
    mc that was drawn exact."""
    if m <= 0.5:
        return _fused_case(m, nc=nc)
    return _fused_case(None, mc=mc, nc=nc)


def fused_pi_cancelling(d):
    # nc from 1e-300 up to sqrt(mc)/4 (and 1/2): S = 1 + T cancels, from a
    # lens a hair off the limb to n -> 1 with m anywhere in [0, 1).
    cases = []
    for _ in range(100):
        m, mc = _cancelling_parameter(d)
        top = min(0.5, math.sqrt(mc) / 4)
        bottom = 1e-300 if d.rng.random() < 0.5 else max(1e-300, top * 1e-12)
        cases.append(_with_nc(m, mc, d.log(bottom, top)))
    return cases


def _cancellation_edge(mc):
    """The nc at which S = 2 nc RJ(0, mc, 1, nc) / (3 RF(0, mc, 1)) = 1/4.
    For small nc, S ~ pi sqrt(nc / mc) / K, nearly a power of nc: the secant
    method in ln nc, from that estimate, settles in a few steps."""
    with mp.workdps(30):
        mcm = mpf(mc)
        k = mpmath.elliprf(0, mcm, 1)

        def f(t):
            nc = mp.exp(t)
            return mp.log(8 * nc * mpmath.elliprj(0, mcm, 1, nc) / (3 * k))

        t0 = mp.log(mcm * (k / (4 * mp.pi)) ** 2)
        t = mpmath.findroot(f, (t0, t0 + mpf("0.1")), solver="secant", tol=mpf(10) ** -40)
        return float(mp.exp(t))


def fused_pi_boundary(d):
    # nc within a factor of 1 +- 0.5 (down to 1 +- 1e-12) of the edge
    # S = 1/4 between the plain and the telescoped sum, on both sides.
    cases = []
    for _ in range(60):
        m, mc = _cancelling_parameter(d)
        edge = _cancellation_edge(mc)
        nc = min(0.5, edge * (1 + d.pick([-1, 1]) * d.log(1e-12, 0.5)))
        cases.append(_with_nc(m, mc, nc))
    return cases


FUSED_TABLES = [
    ("fused_m_tiny", "m log-uniform in [1e-300, 1e-4], m <= n < 0.99, some mc an ulp low",
     fused_m_tiny),
    ("fused_m_moderate", "m in [1e-4, 0.9], m <= n < 0.999", fused_m_moderate),
    ("fused_m_near_one", "mc log-uniform in [1e-30, 1e-2], nc in [1e-4 mc, mc]", fused_m_near_one),
    ("fused_nc_small", "m in [0, 0.9], nc log-uniform in [1e-30, 1e-3]", fused_nc_small),
    ("fused_n_small", "n log-uniform in [1e-300, 1e-3], m in [1e-6 n, n] (and 0), some mc and nc"
     " an ulp low", fused_n_small),
    ("fused_pi_cancelling", "m or mc log-uniform in [1e-300, 1/2], nc log-uniform in [1e-300,"
     " min(1/2, sqrt(mc)/4)] or its top 12 decades", fused_pi_cancelling),
    ("fused_pi_boundary", "m or mc log-uniform in [1e-300, 1/2], nc within 1 +- [1e-12, 0.5] times"
     " the edge of the cancelling sum", fused_pi_boundary),
]

# Tables whose complements reach 1e-300: their second reference is the
# quadrature in ln tan t.
LOG_QUADRATURE_TABLES = {"fused_pi_cancelling", "fused_pi_boundary"}


def fused_line(args, table=None):
    values = fused_reference(args, log_quadrature=table in LOG_QUADRATURE_TABLES)
    out = list(args)
    for v in values:
        out += split(v)
    return " ".join(a.hex() for a in out)


def write_fused_table(directory, name, description, make):
    cases = make(Draw(name))
    lines = [
        f"# Generated by {GENERATOR} (mpmath, {DIGITS} digits, seed {SEED}); do not edit.",
        f"# {name}: {description}.",
        "# Columns: m mc n nc, then value and remainder of K, D = (K - E)/m, X = (Pi - K)/n,"
        " P = (1 - n) X and Z = D - P;",
        "# of m and mc (n and nc) the member not above 1/2 is exact, the other its rounded"
        " complement.",
    ]
    for args in cases:
        assert all(isinstance(a, float) and math.isfinite(a) for a in args), (name, args)
        lines.append(fused_line(args, name))
    path = os.path.join(directory, name + ".txt")
    with open(path, "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    print(f"{path}: {len(cases)} cases")


# --------------------------------------------------------------------------
# Tables

TABLES = [
    # file, function, columns, description, argument generator
    ("elliprf_random", rf, "x y z", "x, y, z log-uniform in [1e-10, 1e10]", elliprf_random),
    ("elliprf_two_equal", rf, "x y z", "two (or three) arguments equal", elliprf_two_equal),
    ("elliprf_one_zero", rf, "x y z", "x = 0", elliprf_one_zero),
    ("elliprc_random", rc, "x y", "x, y log-uniform in [1e-10, 1e10]", elliprc_random),
    ("elliprc_near_equal", rc, "x y", "y within a factor of three of x", elliprc_near_equal),
    ("elliprc_negative_y", rc, "x y", "y < 0, Cauchy principal value", elliprc_negative_y),
    ("elliprd_random", rd, "x y z", "x, y, z log-uniform in [1e-10, 1e10]", elliprd_random),
    ("elliprd_two_equal", rd, "x y z", "two (or three) arguments equal", elliprd_two_equal),
    ("elliprd_one_zero", rd, "x y z", "x = 0", elliprd_one_zero),
    ("elliprj_random", rj, "x y z p", "x, y, z, p log-uniform in [1e-10, 1e10]", elliprj_random),
    ("elliprj_two_equal", rj, "x y z p", "two or more of x, y, z, p equal", elliprj_two_equal),
    ("elliprj_two_equal_near_p", rj, "x y z p", "y = z, p within a factor of 1.5 of them",
     elliprj_two_equal_near_p),
    ("elliprj_one_zero", rj, "x y z p", "x = 0", elliprj_one_zero),
    ("elliprj_negative_p", rj, "x y z p", "p < 0, Cauchy principal value", elliprj_negative_p),
    ("elliprg_random", rg, "x y z", "x, y, z log-uniform in [1e-10, 1e10]", elliprg_random),
    ("elliprg_two_equal", rg, "x y z", "two (or three) arguments equal", elliprg_two_equal),
    ("elliprg_one_zero", rg, "x y z", "x = 0 (and some y = 0)", elliprg_one_zero),
    ("ellipk", k, "m", "parameter m = k^2: tabulated range, borders, m <= -0.05, m near 1",
     ellipk_cases),
    ("ellipk_small_negative", k, "m", "-0.05 < m < 0", ellipk_small_negative),
    ("ellipe", e, "m", "parameter m = k^2: tabulated range, borders, m < 0, m near 1",
     ellipe_cases),
    ("ellippi_n_below_one", pi3, "n m", "0 < n < 1", ellippi_n_below_one),
    ("ellippi_negative_n", pi3, "n m", "n < 0 (and some m = n)", ellippi_negative_n),
    ("ellippi_n_above_one", pi3, "n m", "n > 1, Cauchy principal value, (n - m)/n >= 0.01",
     ellippi_n_above_one),
    ("ellippi_m_near_one", pi3, "n m", "m within 1e-2 of 1, n in all three ranges",
     ellippi_m_near_one),
]


def write_table(directory, name, func, columns, description, make):
    cases = make(Draw(name))
    lines = [
        f"# Generated by {GENERATOR} (mpmath, {DIGITS} digits, seed {SEED}); do not edit.",
        f"# {name}: {description}.",
        f"# Columns: {columns} value remainder; value + remainder is the reference"
        " computed from the exact arguments.",
    ]
    for args in cases:
        assert all(isinstance(a, float) and math.isfinite(a) for a in args), (name, args)
        hi, lo = split(evaluate(func, args))
        lines.append(" ".join(a.hex() for a in (*args, hi, lo)))
    path = os.path.join(directory, name + ".txt")
    with open(path, "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    print(f"{path}: {len(cases)} cases")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    directory = sys.argv[1] if len(sys.argv) > 1 else os.path.normpath(os.path.join(here, "..", "tests", "data"))
    os.makedirs(directory, exist_ok=True)
    only = sys.argv[2:]
    if not only:
        check_conventions()
        for table in TABLES:
            write_table(directory, *table)
    for table in FUSED_TABLES:
        if not only or table[0] in only:
            write_fused_table(directory, *table)


if __name__ == "__main__":
    main()
