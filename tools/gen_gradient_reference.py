#!/usr/bin/env python3
"""Write tests/data/gradient_reference.txt: the magnification of a
limb-darkened source by a point lens and its derivatives with respect to
the lens-source separation u, the source radius rho (both in Einstein
radii) and each coefficient of the limb-darkening law, for every law and
coefficient set of tools/gen_law_reference.py, on points of its grid of
(rho, u) (all of them for the uniform disc and the linear law, a spread
for the others; none within 1e-6 source radii of the limb, where dA/du
diverges logarithmically), and on a sequence approaching the limb from
both sides.

With l = u/rho, r the radius in source radii, mu = sqrt(1 - r^2), I(mu) the
brightness and N = int_0^1 I 2 mu dmu its flux,

    N A = int_0^1 I A_ring(u, rho r) 2 r dr                      (rings)
        = I(mu = 0) G(1) + int_0^1 G(r) dI                        (discs)

with A_ring the point-lens magnification averaged over the thin ring of
radius rho r about the source centre, G(r) = r^2 A_disc(u, rho r) and
A_disc the uniform disc's (Witt-Mao).  The disc integral is taken in a
variable x in which dI/dx has no singularity at the limb (x = sqrt(mu) for
the laws that are polynomials in sqrt(mu), mu^alpha for power-2, mu for
the logarithmic law); a table is integrated by parts segment by segment.

Every derivative is computed two independent ways, and a row is written
only when the two agree to 1e-15 relative (or to 1e-17 of A, for a
derivative far below A, where only that much of it is resolved):

  dA/du     (a) discs, with d G / du from the Witt-Mao closed form
                differentiated analytically: forward-mode derivatives
                through mpmath's Legendre K(m), E(m), Pi(n, m) with their
                derivatives in m and n (DLMF 19.4.1, 19.4.2, 19.4.4);
            (b) discs, with d G / du by a central difference (step 1e-12
                of the distance to the nearest kink, at 14 digits more) of
                the closed form evaluated with Carlson's integrals.
  dA/drho   (a) rings: moving every radius of the source by drho/rho,
                rho dA/drho = 2 (I(mu=0) A_ring(u, rho)
                                 + int_0^1 (1 - mu^2) A_ring(u, rho r) dI) / N - 2 A,
                which for the uniform disc is (2/rho)(A_ring - A_disc);
                a table adds a term for each step of its brightness;
            (b) discs, with d G / drho by a central difference as for u.
  dA/dc_k   from the basis integrals: I = sum_k c_k phi_k (phi_0 = 1
            carrying the constant), J_k = int_0^1 phi_k A_ring 2 r dr and
            N_k = int_0^1 phi_k 2 mu dmu; dA/dc_k = (J_k - A N_k) / N with
            J_k (a) over rings and (b) over discs.  Power-2's exponent takes
            phi = dI/dalpha = c mu^alpha ln mu the same way.  A table's
            coefficients are its brightnesses (the radii are fixed): phi_k
            is the hat function of the k-th radius.
  A         over rings and over discs, as tools/gen_law_reference.py.

For u = 0 the magnification is even in u and dA/du is 0, written exactly.

Columns: label rho u A dA/du dA/drho dA/dc_1 ... dA/dc_K diff; values to
20 significant digits, diff the largest disagreement of the two ways over
the row's quantities (relative, or in units of A for the small ones).

    python3 tools/gen_gradient_reference.py [output] [--check]
    python3 tools/gen_gradient_reference.py --point LAW C1,C2,.. RHO U

A row of a limb-darkened law takes one to a few CPU-minutes (a table's,
with a basis integral per radius, several), the whole file about an hour of
CPU time on two processes.  The output is the same on every run.
"""

import os
import sys

import mpmath as mp
from mpmath import mpf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference_rows  # noqa: E402
import gen_integrated_reference as closed  # noqa: E402
import gen_law_reference as values  # noqa: E402

GENERATOR = "tools/gen_gradient_reference.py"
REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
DEFAULT_OUTPUT = os.path.join(REPO, "tests", "data", "gradient_reference.txt")

DPS = 20
AGREE = mpf("1e-15")
# A derivative is compared relative to itself or, when smaller, to this
# fraction of A (so to 1e-17 of A): far from the source dA/du falls as
# u^-5 while A stays near 1, and 1e-17 of A is a million times below what
# the fitting functions promise there.
FLOOR = mpf("1e-2")
MAX_DEGREE = 6
LIMB_EXCLUSION = mpf("1e-6")

# The sequence approaching the limb: l = 1 -+ 10^-k, both sides, for laws
# bright at the limb, where dA/du diverges.
LIMB_LABELS = ("uniform", "quadratic_dwarf_v")
LIMB_RHOS = (1.0,)
LIMB_POWERS = (1, 2, 4, 6)


def limb_cases():
    out = []
    for label in LIMB_LABELS:
        for rho in LIMB_RHOS:
            for k in LIMB_POWERS:
                out.append((label, rho, rho * (1 - 10.0 ** -k)))
                out.append((label, rho, rho * (1 + 10.0 ** -k)))
    return out


def away_from_limb(rho, u):
    with mp.workdps(40):
        return abs(mpf(u) / mpf(rho) - 1) >= LIMB_EXCLUSION


# The law reference's grid away from the limb, whole for the uniform disc
# and the linear law, and for the other laws the points below: each law
# reaches rho = 1e-6 and 1e3, the centre, 1e-8 source radii from it,
# inside and outside the limb and 1e6 source radii away, with every
# coefficient set at least once, which keeps the file to about an hour.
WHOLE = ("uniform", "linear_0.6", "linear_edge_1", "linear_negative")
CHOSEN = {
    "quadratic_dwarf_v": [(1e-6, 0.0), (1e-6, 1e6), (1e-3, 1e-8), (1.0, 0.7), (1e3, 0.5)],
    "quadratic_giant_v": [(1e3, 0.9)],
    "quadratic_dwarf_k": [(1e-6, 0.3)],
    "quadratic_edge_sum_1": [(1.0, 0.0)],
    "quadratic_edge_inside": [(1e3, 0.9)],
    "square_root_dwarf": [(1e-6, 0.0), (1e-3, 0.9), (1.0, 3.0)],
    "square_root_giant": [(1e-6, 0.3)],
    "square_root_edge": [(1e3, 0.9)],
    "logarithmic_dwarf": [(1e-6, 1e6), (1e-3, 1e-8), (1.0, 0.7)],
    "logarithmic_giant": [(1.0, 0.0)],
    "logarithmic_edge": [(1e3, 0.9)],
    "power_2_dwarf": [(1e-6, 0.0), (0.1, 0.5), (1e3, 1e-8)],
    "power_2_giant": [(1e3, 0.9)],
    "power_2_small_alpha": [(1e-6, 0.3)],
    "power_2_large_alpha": [(1.0, 0.0)],
    "nonlinear_dwarf": [(1e-3, 0.9), (1.0, 3.0), (1e3, 1e6)],
    "nonlinear_giant": [(1e-6, 0.3)],
    "nonlinear_edge_limb": [(1.0, 0.0)],
    "nonlinear_edge_inside": [(1e3, 0.9)],
    "table_quadratic_12": [(1.0, 0.7)],
    "table_ring": [(1e-6, 0.3)],
}


def chosen():
    picked = {(label, rho, values.resolve(rho, l)) for label, points in CHOSEN.items()
              for rho, l in points}
    return [(label, rho, u) for label, rho, u in values.cases()
            if (label in WHOLE and away_from_limb(rho, u)) or (label, rho, u) in picked]


def cases():
    """(label, rho, u) of every row, in file order: the law reference's
    grid as above, then the sequence towards the limb."""
    return chosen() + limb_cases()


def laws():
    return values.laws()


# --------------------------------------------------------------------------
# Forward-mode derivatives: a value and its derivative in one variable.


class Dual:
    __slots__ = ("v", "d")

    def __init__(self, v, d=0):
        self.v, self.d = mpf(v), mpf(d)

    @staticmethod
    def of(x):
        return x if isinstance(x, Dual) else Dual(x)

    def __add__(self, o):
        o = Dual.of(o)
        return Dual(self.v + o.v, self.d + o.d)

    __radd__ = __add__

    def __sub__(self, o):
        o = Dual.of(o)
        return Dual(self.v - o.v, self.d - o.d)

    def __rsub__(self, o):
        return Dual.of(o) - self

    def __mul__(self, o):
        o = Dual.of(o)
        return Dual(self.v * o.v, self.d * o.v + self.v * o.d)

    __rmul__ = __mul__

    def __truediv__(self, o):
        o = Dual.of(o)
        return Dual(self.v / o.v, (self.d * o.v - self.v * o.d) / (o.v * o.v))

    def __rtruediv__(self, o):
        return Dual.of(o) / self


def dsqrt(x):
    s = mp.sqrt(x.v)
    return Dual(s, x.d / (2 * s))


def legendre(n, m, one_minus_m):
    """K(m), E(m), Pi(n, m) as duals, from mpmath's Legendre forms, with
    dK/dm = (E - (1-m) K) / (2 m (1-m)), dE/dm = (E - K) / (2 m) and
    dPi = [E + (m - n) K / n + (n^2 - m) Pi / n] / (2 (m - n)(n - 1)) dn
          + [E / (m - 1) + Pi] / (2 (n - m)) dm."""
    mv, nv, cm = m.v, n.v, one_minus_m.v
    k = mp.ellipk(mv)
    e = mp.ellipe(mv)
    p = mp.ellippi(nv, mv)
    dk = (e - cm * k) / (2 * mv * cm)
    de = (e - k) / (2 * mv)
    dpn = (e + (mv - nv) * k / nv + (nv * nv - mv) * p / nv) / (2 * (mv - nv) * (nv - 1))
    dpm = (-e / cm + p) / (2 * (nv - mv))
    return (Dual(k, dk * m.d), Dual(e, de * m.d), Dual(p, dpn * n.d + dpm * m.d))


def point_slope(u):
    """d/du of the point-lens magnification (u^2 + 2) / (u sqrt(u^2 + 4))."""
    return -8 / (u * u * (u * u + 4) ** mpf(1.5))


def disc_slope_u(rho, l, r):
    """d G / du, G = r^2 A_disc(u, rho r), u = rho l: the Witt-Mao closed
    form differentiated in u, at a precision raised by the digits its terms
    and the complements 1 - m, 1 - n, m - n lose."""
    rho, l, r = mpf(rho), mpf(l), mpf(r)
    if r == 0 or l == 0:
        return mpf(0)
    if r < l * mpf("1e-15"):
        # A disc this small seen from the lens is a point.
        return r * r * point_slope(rho * l)
    if r == l:
        # A node on the lens itself (rounded onto the cut): the log
        # singularity there has no weight in the integral.
        return mpf(0)
    near = abs(l - r) * rho / (1 + rho * (l + r))
    # Far from the lens the terms' slopes cancel to dA/du ~ u^-5, as
    # u^6/p^2 of them.
    lost = (2 * mp.log10(1 + l / r) + 2 * abs(mp.log10(rho * r)) + 4 * max(0, -mp.log10(near))
            + 6 * max(0, mp.log10(rho * l)))
    with mp.workdps(mp.mp.dps + int(lost) + 8):
        p = rho * r
        u = Dual(rho * l, 1)
        h = u + p
        d = u - p
        s = dsqrt(d * d + 4)
        n = 4 * u * p / (h * h)
        m = 4 * n / (d * d + 4)
        one_minus_m = d * d * (h * h + 4) / (h * h * (d * d + 4))
        k, e, pi3 = legendre(n, m, one_minus_m)
        g = (e * h * s / (2 * p * p)
             - k * d * (u * u - p * p + 8) / (2 * p * p * s)
             + pi3 * 2 * (1 + p * p) * d * d / (p * p * h * s))
        return +(r * r * g.d / mp.pi)


def central(f, x, reach):
    """df/dx by a central difference with step 1e-12 reach, `reach` the
    distance from x to the nearest point where f is not smooth (so that the
    truncation error is (1e-12)^2 of the derivative), with f evaluated at
    14 digits more for the 12 that the difference cancels, and more again
    when the step is a small part of x."""
    h = reach * mpf("1e-12")
    extra = 14 + int(max(0, mp.log10(abs(x) / reach)))
    with mp.workdps(mp.mp.dps + extra):
        return (f(x + h) - f(x - h)) / (2 * h)


def disc_slope_u_numeric(rho, l, r):
    """d G / du by a central difference of the Carlson closed form, whose
    derivative has its kink where the disc's rim reaches the lens."""
    rho, l, r = mpf(rho), mpf(l), mpf(r)
    if l == 0 or r == 0:
        return mpf(0)
    with mp.workdps(mp.mp.dps + 10):
        u = rho * l
        reach = min(u, abs(u - rho * r))
    if reach == 0:
        return mpf(0)
    return central(lambda v: closed.disc_flux(rho, v / rho, r), u, reach)


def disc_slope_rho_numeric(rho, l, r):
    """d G / drho at fixed u, the same way: the kink is at rho r = u."""
    rho, l, r = mpf(rho), mpf(l), mpf(r)
    if r == 0:
        return mpf(0)
    with mp.workdps(mp.mp.dps + 10):
        u = rho * l
        reach = rho if l == 0 else min(rho, abs(rho - u / r))
    if reach == 0:
        return mpf(0)
    return central(lambda v: closed.disc_flux(v, u / v, r), rho, reach)


# --------------------------------------------------------------------------
# A law as weights phi(mu): its brightness and its derivatives in each
# coefficient, each with its slope in the law's disc variable x.


class Weight:
    """phi as a function of mu (for rings and the flux), its slope d phi/dx
    in the law's variable x (for discs), and its value at the limb."""

    def __init__(self, at_mu, slope, at_limb, flat=False):
        self.at_mu, self.slope, self.at_limb = at_mu, slope, at_limb
        self.flat = flat        # constant: no slope to integrate


class Law:
    """The disc variable x of a law (mu of x, x of mu), its brightness and
    the weights of its coefficients."""

    def __init__(self, mu_of_x, x_of_mu, brightness, coefficient_weights):
        self.mu_of_x, self.x_of_mu = mu_of_x, x_of_mu
        self.brightness, self.weights = brightness, coefficient_weights


def poly_weight(p):
    """phi = sum_j p_j s^j, s = sqrt(mu)."""
    p = [mpf(v) for v in p]

    def at_mu(mu):
        s = mp.sqrt(mu)
        return sum(pj * s**j for j, pj in enumerate(p))

    def slope(s):
        return sum(j * pj * s ** (j - 1) for j, pj in enumerate(p) if j)
    return Weight(at_mu, slope, p[0], flat=not any(p[1:]))


def make_law(law, c):
    c = [mpf(v) for v in c]
    if law in ("uniform", "linear", "quadratic", "square-root", "nonlinear"):
        bright = poly_weight(values.polynomial(law, c))
        bases = {
            "uniform": [],
            "linear": [[-1, 0, 1]],                                   # -(1 - mu)
            "quadratic": [[-1, 0, 1], [-1, 0, 2, 0, -1]],              # -(1 - mu)^2
            "square-root": [[-1, 0, 1], [-1, 1]],                      # -(1 - sqrt(mu))
            "nonlinear": [[-1] + [0] * (k - 1) + [1] for k in range(1, 5)],   # -(1 - s^k)
        }[law]
        return Law(lambda s: s * s, mp.sqrt, bright, [poly_weight(b) for b in bases])
    if law == "logarithmic":
        e, f = c

        def mulog(mu):
            return mu * mp.log(mu) if mu > 0 else mpf(0)
        bright = Weight(lambda mu: 1 - e * (1 - mu) - f * mulog(mu),
                        lambda mu: e - f * (1 + mp.log(mu)), 1 - e)
        we = Weight(lambda mu: mu - 1, lambda mu: mpf(1), mpf(-1))
        wf = Weight(lambda mu: -mulog(mu), lambda mu: -(1 + mp.log(mu)), mpf(0))
        return Law(lambda mu: mu, lambda mu: mu, bright, [we, wf])
    if law == "power-2":
        k, alpha = c

        def tlog(t):
            return t * mp.log(t) / alpha if t > 0 else mpf(0)
        # x = t = mu^alpha: I = 1 - k + k t; dI/dalpha = k mu^alpha ln mu = k t ln t / alpha.
        bright = Weight(lambda mu: 1 - k + k * mu**alpha, lambda t: k, 1 - k)
        wc = Weight(lambda mu: mu**alpha - 1, lambda t: mpf(1), mpf(-1))
        wa = Weight(lambda mu: k * tlog(mu**alpha), lambda t: k * (mp.log(t) + 1) / alpha, mpf(0))
        return Law(lambda t: t ** (1 / alpha), lambda mu: mu**alpha, bright, [wc, wa])
    raise ValueError(law)


def quad(f, points):
    return mp.quad(f, points, maxdegree=MAX_DEGREE)


def mu_cuts(l, rho, digits):
    """The law reference's cuts in mu: where the discs reach the lens and
    the regimes of the ring change."""
    with mp.workdps(digits):
        mus = {mp.sqrt((1 - r) * (1 + r)) for r in values.radius_cuts(l, rho)}
        mus |= values.near_limb_mus(l)
    return sorted(m for m in mus if 0 < m < 1)


def law_flux(w):
    """int_0^1 phi 2 mu dmu, split where the power and logarithmic weights
    change fastest near the limb."""
    mus = [mpf(0), mpf("1e-8"), mpf("1e-4"), mpf("0.01"), mpf("0.25"), mpf(1)]
    return quad(lambda mu: 2 * mu * w.at_mu(mu), mus)


def rings(w, rho, l, digits):
    """int_0^1 phi(mu(r)) A_ring 2 r dr over d = r - l (Heyrovsky's ring)."""
    eps = 1 / rho
    with mp.workdps(digits):
        gap = 1 - l

    def integrand(d):
        r = l + d
        if d == 0 or r <= 0:
            return mpf(0)
        return 2 * r * w.at_mu(mp.sqrt((gap - d) * (1 + r))) * closed.ring(l, d, eps)

    edges = {mpf(0), mpf(1)} | set(values.radius_cuts(l, rho))
    with mp.workdps(digits):
        offsets = sorted(gap if e == 1 else e - l for e in edges)
    return quad(values.raised(integrand, digits), offsets)


def discs(law, w, G, whole, rho, l, digits):
    """phi(mu=0) G(1) + int_0^1 G(r(x)) dphi/dx dx, for any G of the disc
    radius (the disc's flux or one of its derivatives); `whole` is G(1)."""
    if w.flat:
        return w.at_limb * whole
    xs = [mpf(0)] + [law.x_of_mu(m) for m in mu_cuts(l, rho, digits)] + [mpf(1)]

    def f(x):
        mu = law.mu_of_x(x)
        return G(mp.sqrt((1 - mu) * (1 + mu))) * w.slope(x)
    return w.at_limb * whole + quad(values.raised(f, digits), xs)


def ring_at(rho, l, r, digits):
    """A_ring(u, rho r) with r - l formed at the raised precision."""
    with mp.workdps(digits):
        d = r - l
        if d == 0:
            # A node rounded onto the lens: no weight there.
            return mpf(0)
        return closed.ring(l, d, 1 / rho)


def rho_by_rings(law, rho, l, A, N, digits):
    """rho dA/drho = 2 (I(0) A_ring(u, rho) + int (1 - mu^2) A_ring dI) / N - 2 A."""
    w = law.brightness
    xs = [mpf(0)] + [law.x_of_mu(m) for m in mu_cuts(l, rho, digits)] + [mpf(1)]

    def f(x):
        mu = law.mu_of_x(x)
        slope = w.slope(x)
        if slope == 0:
            return mpf(0)
        r = mp.sqrt((1 - mu) * (1 + mu))
        return (1 - mu * mu) * ring_at(rho, l, r, digits) * slope
    edge = w.at_limb * ring_at(rho, l, mpf(1), digits)
    inner = 0 if w.flat else quad(values.raised(f, digits), xs)
    return 2 * ((edge + inner) / N - A) / rho


# --------------------------------------------------------------------------
# Tables: piecewise linear in r through (radii, brightnesses), 0 outside.


def table_basis(n, k):
    return [mpf(1) if j == k else mpf(0) for j in range(n)]


def table_segments(radii, bright):
    return values.segments((radii, bright))


def table_rings(radii, bright, rho, l, digits):
    segs = table_segments(radii, bright)
    eps = 1 / rho
    with mp.workdps(digits):
        gap = 1 - l

    def integrand(d):
        r = l + d
        if d == 0 or r <= 0:
            return mpf(0)
        return 2 * r * values.table_brightness(segs, r) * closed.ring(l, d, eps)

    # Only where the brightness is not 0: a hat function of one radius
    # spans the two segments about it.
    lit = [j for j, b in enumerate(bright) if b != 0]
    lo = mpf(radii[max(0, lit[0] - 1)])
    hi = mpf(radii[min(len(radii) - 1, lit[-1] + 1)])
    edges = {lo, hi} | {e for e in values.radius_cuts(l, rho) if lo < e < hi}
    edges |= {mpf(v) for v in radii if lo < v < hi}
    with mp.workdps(digits):
        offsets = sorted(gap if e == 1 else e - l for e in edges)
    return quad(values.raised(integrand, digits), offsets)


def table_discs(radii, bright, G, rho, l, digits):
    """sum over segments of I(b) G(b) - I(a) G(a) - k int_a^b G dr."""
    total = mpf(0)
    for a, b, fa, k in table_segments(radii, bright):
        fb = fa + k * (b - a)
        with mp.workdps(digits):
            if fb:
                total += fb * G(b)
            if fa:
                total -= fa * G(a)
        if k != 0:
            pieces = [a] + [x for x in values.radius_cuts(l, rho) if a < x < b] + [b]
            total -= k * quad(values.raised(G, digits), pieces)
    return total


def table_rho_by_rings(radii, bright, rho, l, A, N, digits):
    """rho dA/drho = -2 A - (int 2 r^2 I' A_ring dr + sum_steps 2 r_j^2 dI_j A_ring(r_j)) / N,
    the steps including the drop to 0 at the last radius."""
    segs = table_segments(radii, bright)
    total = mpf(0)
    for a, b, fa, k in segs:
        if k != 0:
            pieces = [a] + [x for x in values.radius_cuts(l, rho) if a < x < b] + [b]
            total += k * quad(values.raised(lambda r: 2 * r * r * ring_at(rho, l, r, digits), digits),
                              pieces)
    steps = [(mpf(radii[0]), mpf(bright[0])), (mpf(radii[-1]), -mpf(bright[-1]))]
    for rj, jump in steps:
        if rj > 0 and jump != 0:
            total += 2 * rj * rj * jump * ring_at(rho, l, rj, digits)
    return -(2 * A + total / N) / rho


# --------------------------------------------------------------------------


def close(a, b, scale):
    """Disagreement of a and b, relative to the larger of |a| and scale."""
    size = max(abs(a), abs(b), scale)
    return abs(a - b) / size if size else mpf(0)


def row_dps(l, rho):
    """Digits of a row's quadratures.  Far from the source the rings'
    derivative in rho subtracts A from a ring mean within (rho/u)^2 of it
    and divides by rho: the row carries those digits more."""
    if l <= 1:
        return DPS
    return DPS + int(2 * mp.log10(l) + max(0, -mp.log10(rho)))


def compute(case):
    """(case, [A, dA/du, dA/drho, dA/dc...], the disagreements of the two
    ways: A, dA/du (unless u = 0), dA/drho, dA/dc...)."""
    label, rho, u = case
    lawname, c = laws()[label]
    return case, *reference(lawname, c, rho, u)


def reference(lawname, c, rho, u):
    """[A, dA/du, dA/drho, dA/dc...] of the law `lawname` with coefficients
    c (for a table, (radii, brightnesses)) at (rho, u), and the
    disagreements of the two ways, as compute() gives them for a row."""
    with mp.workdps(60):
        l = mpf(u) / mpf(rho)
    dps = row_dps(l, mpf(rho))
    digits = closed.working_dps(l) + 2 + (dps - DPS)
    with mp.workdps(dps):
        rho_ = mpf(rho)
        if lawname == "table":
            return table_compute(c, rho_, l, digits)
        law = make_law(lawname, c)

        def G(r):
            return closed.disc_flux(rho_, l, r)

        def Gu(r):
            return disc_slope_u(rho_, l, r)

        def Gu_numeric(r):
            return disc_slope_u_numeric(rho_, l, r)

        def Grho_numeric(r):
            return disc_slope_rho_numeric(rho_, l, r)

        def at1(f):
            with mp.workdps(digits):
                return f(mpf(1))

        bright = law.brightness
        N = law_flux(bright)
        A_r = rings(bright, rho_, l, digits) / N
        A_d = discs(law, bright, G, at1(G), rho_, l, digits) / N
        diffs = [close(A_r, A_d, 0)]
        A = A_r

        if l == 0:
            du = mpf(0)
        else:
            du_a = discs(law, bright, Gu, at1(Gu), rho_, l, digits) / N
            du_b = discs(law, bright, Gu_numeric, at1(Gu_numeric), rho_, l, digits) / N
            diffs.append(close(du_a, du_b, FLOOR * A))
            du = du_a

        drho_a = rho_by_rings(law, rho_, l, A, N, digits)
        drho_b = discs(law, bright, Grho_numeric, at1(Grho_numeric), rho_, l, digits) / N
        diffs.append(close(drho_a, drho_b, FLOOR * A))

        dcs = []
        for w in law.weights:
            Nk = law_flux(w)
            Jr = rings(w, rho_, l, digits)
            Jd = discs(law, w, G, at1(G), rho_, l, digits)
            dc_r = (Jr - A * Nk) / N
            dc_d = (Jd - A_d * Nk) / N
            diffs.append(close(dc_r, dc_d, FLOOR * A))
            dcs.append(dc_r)
        return [A, du, drho_a] + dcs, diffs


def table_compute(c, rho, l, digits):
    radii, bright = c
    n = len(bright)
    segs_flux = values.table_flux(table_segments(radii, bright))

    def G(r):
        return closed.disc_flux(rho, l, r)

    def Gu(r):
        return disc_slope_u(rho, l, r)

    def Gu_numeric(r):
        return disc_slope_u_numeric(rho, l, r)

    def Grho_numeric(r):
        return disc_slope_rho_numeric(rho, l, r)

    N = segs_flux
    A_r = table_rings(radii, bright, rho, l, digits) / N
    A_d = table_discs(radii, bright, G, rho, l, digits) / N
    diffs = [close(A_r, A_d, 0)]
    A = A_r
    if l == 0:
        du = mpf(0)
    else:
        du_a = table_discs(radii, bright, Gu, rho, l, digits) / N
        du_b = table_discs(radii, bright, Gu_numeric, rho, l, digits) / N
        diffs.append(close(du_a, du_b, FLOOR * A))
        du = du_a
    drho_a = table_rho_by_rings(radii, bright, rho, l, A, N, digits)
    drho_b = table_discs(radii, bright, Grho_numeric, rho, l, digits) / N
    diffs.append(close(drho_a, drho_b, FLOOR * A))
    dcs = []
    for k in range(n):
        e = table_basis(n, k)
        Nk = values.table_flux(table_segments(radii, e))
        Jr = table_rings(radii, e, rho, l, digits)
        Jd = table_discs(radii, e, G, rho, l, digits)
        dc_r = (Jr - A * Nk) / N
        dc_d = (Jd - A_d * Nk) / N
        diffs.append(close(dc_r, dc_d, FLOOR * A))
        dcs.append(dc_r)
    return [A, du, drho_a] + dcs, diffs


# --------------------------------------------------------------------------


def header():
    lines = [
        "# Magnification of limb-darkened sources by a point lens and its derivatives,",
        "# for every law of the fitting functions.",
        f"# Generated by {GENERATOR}; do not edit.",
        "# Lengths in Einstein radii: u is the lens-source separation and rho the source",
        "# radius; the coefficient sets and the grid are those of tools/gen_law_reference.py",
        "# without the points within 1e-6 source radii of the limb, followed by a sequence",
        "# u = rho (1 -+ 10^-k), k = 1..6, approaching the limb from both sides.",
        "# Each derivative computed two independent ways (analytic and numerical",
        "# differentiation; rings and discs), agreeing to 1e-15 relative.",
        "# dA/dc follows the law's coefficient order; for a table, the brightnesses.",
        "# Coefficient sets (label law: coefficients, Python reprs of doubles):",
    ]
    for label, law, c, _ in values.LAWS:
        if law == "table":
            bl, bf = c
            lines.append(f"# table {label} radius: " + " ".join(repr(float(v)) for v in bl))
            lines.append(f"# table {label} brightness: " + " ".join(repr(float(v)) for v in bf))
        else:
            lines.append(f"# law {label} {law}:" + "".join(f" {float(v)!r}" for v in c))
    lines.append(f"# Columns: label rho u A dA/du dA/drho dA/dc_1 .. dA/dc_K diff; values to {DPS}")
    lines.append("# digits, diff the largest disagreement of the two ways over the row.")
    return "\n".join(lines) + "\n"


def format_row(case, quantities, diff):
    label, rho, u = case
    cols = " ".join(mp.nstr(q, DPS, strip_zeros=False) for q in quantities)
    return f"{label} {rho!r} {u!r} {cols} {float(max(diff)):.1e}\n"


def row(case):
    """One line of the file; an exception if two ways disagree."""
    case, quantities, diff = compute(case)
    if not max(diff) <= AGREE:
        raise RuntimeError(f"routes disagree at {case}: "
                           + ", ".join(f"{float(d):.2e}" for d in diff))
    return format_row(case, quantities, diff)


def read(path=DEFAULT_OUTPUT):
    """{label: (law, coefficients)} and the rows (label, rho, u, [A, dA/du,
    dA/drho, dA/dc...] as mpf, diff)."""
    laws_, tables, rows = {}, {}, []
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line.startswith("# law "):
                head, vals = line[len("# law "):].split(":", 1)
                label, law = head.split()
                laws_[label] = (law, tuple(float(v) for v in vals.split()))
            elif line.startswith("# table "):
                head, vals = line[len("# table "):].split(":", 1)
                label, column = head.split()
                tables.setdefault(label, {})[column] = [float(v) for v in vals.split()]
            elif line and not line.startswith("#"):
                label, rho, u, *qs, diff = line.split()
                with mp.workdps(30):
                    rows.append((label, float(rho), float(u), [mpf(q) for q in qs], float(diff)))
    for label, columns in tables.items():
        laws_[label] = ("table", (columns["radius"], columns["brightness"]))
    return laws_, rows


def generate(processes=2):
    return reference_rows.generate(header(), cases(), row, processes)


def print_point(argv):
    """--point LAW C1,C2,.. RHO U: one point's reference with any
    coefficients, beside caustrix's gradient there (each derivative's error
    over its allowance, 1e-9 of itself or 1e-11 of A)."""
    law, coefficients, rho, u = argv[argv.index("--point") + 1:][:4]
    c = tuple(float(v) for v in coefficients.split(",") if v)
    rho, u = float(rho), float(u)
    quantities, diffs = reference(law, c, rho, u)
    if not max(diffs) <= AGREE:
        raise RuntimeError("routes disagree: " + ", ".join(f"{float(d):.2e}" for d in diffs))
    import caustrix
    a, du, drho, dc = caustrix.magnification_and_gradient(u, rho, law, c)
    got = [float(a), float(du), float(drho)] + [float(v) for v in dc]
    names = ["A", "dA/du", "dA/drho"] + [f"dA/dc{k}" for k in range(len(c))]
    for k, (name, want, have) in enumerate(zip(names, quantities, got)):
        error = abs(mpf(have) - want)
        scale = abs(want) if k == 0 else max(mpf("1e-9") * abs(want), mpf("1e-11") * quantities[0])
        kind = "relative" if k == 0 else "over allowance"
        print(f"{name:8s} {mp.nstr(want, DPS)}  caustrix {have!r}  {kind} {float(error / scale):.2e}")
    return 0


def main(argv):
    if "--point" in argv:
        return print_point(argv)
    return reference_rows.main(argv, DEFAULT_OUTPUT, generate)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
