"""Vectorised numpy/scipy forms of the eight caustrix magnifications.

The reference points for bench/report.py.  Lengths are in source radii
unless said otherwise: l is the lens-source separation, r a radius on the
source, rho = rstar / re the source radius in Einstein radii.  The point-lens
magnification is A_ps(u) = (u^2 + 2) / (u sqrt(u^2 + 4)), u in Einstein radii.

Uniform disc.  witt_mao_scipy from scipy_witt_mao.py (the Witt-Mao closed
form; inside |u - rho| < 1e-5 Einstein radii of the limb it takes the limb
value).  The batched form is that function over the (re, rstar) pairs, re
slowest.

Ring.  The point-lens magnification averaged around the ring of radius r
about the source centre, in Einstein units D = rho (r - l), S = rho (r + l):

    A_ring = (2 / pi) (2 K(m) + D^2 Pi(n, m)) / (S sqrt(4 + D^2)),
    n = 4 l r / (l + r)^2,   1 - n = D^2 / S^2,
    m = 4 n / (4 + D^2),     1 - m = D^2 (4 + S^2) / ((4 + D^2) S^2),

with K = ellipkm1(1 - m) and Pi = K + (n / 3) RJ(0, 1 - m, 1, 1 - n)
(Carlson).  The complements are formed from D, so the ring stays accurate as
it approaches the lens; a ring through the lens (D = 0) is infinite.  Running
this file checks the form against mpmath quadrature of A_ps around the ring.

Disc with the distance to the limb given.  For the disc route below the disc
of radius r (Einstein radii) about the source centre, lens at u, is needed
with d = u - r known exactly; it is the same Witt-Mao closed form as
scipy_witt_mao.py, but with 1 - n = d^2 / (u + r)^2 and
1 - m = (d^2 + 4 (1 - n)) / (d^2 + 4) formed from d, and the limb value

    A = (1/pi) [ 2/r + ((1 + r^2)/r^2) 2 atan(r) ]

(pi/2 + asin((r^2 - 1)/(r^2 + 1)) = 2 atan(r) without its cancellation for
small r) used only at d = 0, so that discs whose edge passes close to the
lens keep their digits.

Limb-darkened and flux-map sources.  With brightness I(r) (zero beyond the
limb), the magnification is the brightness-weighted mean over the disc:

    ring route:  A = int_0^1 2 r I(r) A_ring(l, r) dr / int_0^1 2 r I(r) dr,
    disc route:  A = [I(1) A_disc(1) + int_0^1 (-I'(s)) s^2 A_disc(s) ds]
                     / int_0^1 2 r I(r) dr,

A_disc(s) being the uniform disc of radius s about the source centre (the
profile written as a stack of uniform discs).  The linear law is
I(r) = 1 - c (1 - sqrt(1 - r^2)), c = 0.6; the flux map is the
piecewise-linear profile through (bl, bf), bl rising from 0 to 1, I(1) =
bf[-1].  The integral over the source radius is split at every radius of the
table and at r = l (where A_ring has a log |r - l| singularity and the disc
an (s - l) log |s - l| term), and each piece takes a fixed tanh-sinh rule
(step 1/5, 37 nodes) with the distances of each node to both ends of its
piece carried separately, so that the end-point singularities (the log
above, and the square root of the linear law at the limb) lose nothing.
The disc route of the linear law integrates in w = sqrt(1 - s), in which
its weight -I'(s) = c s / sqrt(1 - s^2) is smooth.  Against the
two-dimensional integration references in tests/data/profile_reference.txt
(rho from 0.001 to 0.5, lens from the centre to 10 source radii, the limb
approached to 1e-3) the largest relative errors are

    linear law   ring route 3.4e-9 (lens at 1.001), disc route 2.6e-10,
    flux map     ring route 4.4e-12, disc route 7.4e-15;

run this file to recompute them.

Discrete flux map.  sum_j bf_j A_ring(l, bl_j), with no normalisation (as
caustrix: a single ring of weight 1 is that ring).
"""

import os
import sys

import numpy as np
from scipy import special

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scipy_witt_mao import witt_mao_scipy  # noqa: E402

LINEAR_LAW = 0.6            # I(r) = 1 - c (1 - mu), mu = sqrt(1 - r^2)
STEP = 0.2                  # tanh-sinh step
CUT = 1e-30                 # nodes nearer an end than this (relative) are left out


# --------------------------------------------------------------------------
# Ring and disc


def ring(l, r, rho, d=None):
    """A_ring for lenses at l and rings of radius r (source radii, arrays
    broadcast together); d = r - l if it is known more exactly than the
    difference of the rounded values."""
    l = np.asarray(l, dtype=np.float64)
    r = np.asarray(r, dtype=np.float64)
    if d is None:
        d = r - l
    dd = rho * np.asarray(d, dtype=np.float64)
    ss = rho * (l + r)
    d2 = dd * dd
    s2 = ss * ss
    q = 4.0 + d2
    with np.errstate(divide="ignore", invalid="ignore"):
        nc = d2 / s2                                  # 1 - n
        n = 1.0 - nc
        mc = d2 * (4.0 + s2) / (q * s2)               # 1 - m
        k = special.ellipkm1(mc)
        p = k + (n / 3.0) * special.elliprj(0.0, mc, 1.0, nc)
        # The lens on the centre (or the ring shrunk to the centre): n = 0, Pi = K.
        p = np.where(n == 0.0, k, p)
        a = (2.0 / np.pi) * (2.0 * k + d2 * p) / (ss * np.sqrt(q))
    return np.where(dd == 0.0, np.inf, a)


def disc(u, r, d):
    """Uniform disc of radius r (Einstein radii) about the source centre, the
    lens at u, d = u - r given exactly (arrays broadcast together)."""
    d2 = d * d
    h = u + r
    sq = np.sqrt(d2 + 4.0)
    r2 = r * r
    with np.errstate(divide="ignore", invalid="ignore"):
        nc = d2 / (h * h)                             # 1 - n
        n = 1.0 - nc
        m = 4.0 * n / (d2 + 4.0)
        mc = (d2 + 4.0 * nc) / (d2 + 4.0)             # 1 - m
        limb = d == 0.0
        # Keep the limb points clear of the singularities; replaced below.
        nc = np.where(limb, 1.0, nc)
        n = np.where(limb, 0.0, n)
        mc = np.where(limb, 1.0, mc)
        m = np.where(limb, 0.0, m)
        e = special.ellipe(m)
        k = special.ellipkm1(mc)
        p = k + (n / 3.0) * special.elliprj(0.0, mc, 1.0, nc)
        p = np.where(n == 0.0, k, p)
        g = (e * (h * sq / (2.0 * r2))
             - k * (d * (u * u - r2 + 8.0) / (2.0 * r2 * sq))
             + p * (2.0 * (1.0 + r2) * d2 / (r2 * h * sq)))
        # pi/2 + asin((r^2 - 1)/(r^2 + 1)) = 2 atan(r), without the cancellation.
        g_limb = 2.0 / r + ((1.0 + r2) / r2) * 2.0 * np.arctan(r)
    return np.where(limb, g_limb, g) / np.pi


# --------------------------------------------------------------------------
# Quadrature over the source radius


def tanh_sinh(step=0.2, cut=1e-30):
    """Tanh-sinh rule on [-1, 1] as (1 + x, 1 - x, weight), each distance to
    an end exact; nodes closer than `cut` to an end are left out."""
    left, right, weight = [], [], []
    k = 0
    while True:
        t = k * step
        e = np.exp(np.pi * np.sinh(t))
        c = 2.0 / (1.0 + e)                           # distance to the nearer end
        if c < cut:
            break
        w = step * (np.pi / 2.0) * np.cosh(t) * 4.0 * e / (1.0 + e) ** 2
        if k == 0:
            left.append(1.0), right.append(1.0), weight.append(w)
        else:
            left += [2.0 - c, c]
            right += [c, 2.0 - c]
            weight += [w, w]
        k += 1
    return np.array(left), np.array(right), np.array(weight)


RULE = tanh_sinh(STEP, CUT)


def _pieces(l, breaks):
    """For each interval between consecutive entries of `breaks` (rising),
    the pieces of the integral over it: split at l[i] where that falls
    inside.  Yields (interval index, point indices, lower ends, upper ends)."""
    for j in range(len(breaks) - 1):
        a, b = breaks[j], breaks[j + 1]
        inside = (l > a) & (l < b)
        whole = np.nonzero(~inside)[0]
        split = np.nonzero(inside)[0]
        if whole.size:
            yield j, whole, np.full(whole.size, a), np.full(whole.size, b)
        if split.size:
            yield j, split, np.full(split.size, a), l[split]
            yield j, split, l[split], np.full(split.size, b)


def _nodes(a, b, rule):
    """The rule mapped onto [a[i], b[i]]: (x, x - a, b - x, weight), (P, K)
    arrays, the distances to the ends exact."""
    left, right, weight = rule
    half = (0.5 * (b - a))[:, None]
    da = half * left
    db = half * right
    x = np.where(left <= 1.0, a[:, None] + da, b[:, None] - db)
    return x, da, db, half * weight


def _radius_nodes(l, breaks, rule=RULE):
    """Nodes in r over the intervals of `breaks`, split at the lens.  Yields
    (interval, point indices, r, r - l, 1 - r, dr weight)."""
    near_a = rule[0] <= 1.0
    for j, idx, a, b in _pieces(l, breaks):
        r, da, db, weight = _nodes(a, b, rule)
        lp = l[idx][:, None]
        r_minus_l = np.where(near_a, (a[:, None] - lp) + da, (b[:, None] - lp) - db)
        one_minus_r = (1.0 - b[:, None]) + db
        yield j, idx, r, r_minus_l, one_minus_r, weight


class LinearLaw:
    """I(r) = 1 - c (1 - sqrt(1 - r^2)).

    The ring route integrates in r.  The disc route's weight -I'(r) =
    c r / sqrt(1 - r^2) is singular at the limb, and a lens just inside it
    would sit next to that singularity; it integrates in w = sqrt(1 - r)
    (r = 1 - w^2, dr = -2 w dw), where the weight is smooth."""

    def __init__(self, c=LINEAR_LAW):
        self.c = c
        self.edge = 1.0 - c                          # I(1)
        self.norm = 1.0 - c / 3.0                    # int_0^1 2 r I(r) dr

    def ring_nodes(self, l):
        return _radius_nodes(l, [0.0, 1.0])

    def disc_nodes(self, l, rule=RULE):
        """As _radius_nodes, in w."""
        inside = (l > 0.0) & (l < 1.0)
        wl = np.where(inside, np.sqrt(np.where(inside, 1.0 - l, 0.0)), 0.0)
        residual = (1.0 - l) - wl * wl                # 1 - l - wl^2, from rounding
        for _, idx, a, b in _pieces(wl, [0.0, 1.0]):
            w, da, db, weight = _nodes(a, b, rule)
            one_minus_r = w * w
            # r = (1 - w)(1 + w), with 1 - w exact next to w = 1 (the centre).
            one_minus_w = np.where(rule[0] <= 1.0, 1.0 - w, (1.0 - b[:, None]) + db)
            r = one_minus_w * (1.0 + w)
            lp = l[idx][:, None]
            # Next to w = wl, r - l = -(w - wl)(w + wl) + residual from the
            # carried distance to that end.
            wlp = wl[idx][:, None]
            at_a = (a == wl[idx])[:, None] & inside[idx][:, None]
            at_b = (b == wl[idx])[:, None] & inside[idx][:, None]
            r_minus_l = np.where(r < 0.5, r - lp, (1.0 - lp) - one_minus_r)
            r_minus_l = np.where(at_a, -da * (w + wlp) + residual[idx][:, None], r_minus_l)
            r_minus_l = np.where(at_b, db * (w + wlp) + residual[idx][:, None], r_minus_l)
            yield 0, idx, r, r_minus_l, one_minus_r, 2.0 * w * weight

    def brightness(self, j, r, one_minus_r):
        return 1.0 - self.c + self.c * np.sqrt(one_minus_r * (1.0 + r))

    def fall(self, j, r, one_minus_r):
        """-I'(r)."""
        return self.c * r / np.sqrt(one_minus_r * (1.0 + r))


class FluxMap:
    """The piecewise-linear profile through (bl, bf), bl from 0 to 1.
    Integrated in r, split at every radius of the table."""

    def __init__(self, bl, bf):
        bl = [float(v) for v in bl]
        bf = [float(v) for v in bf]
        if bl[0] != 0.0 or bl[-1] != 1.0:
            raise ValueError("the table's radii must run from 0 to 1")
        self.breaks = bl
        self.f0 = bf[:-1]
        self.slopes = [(bf[j + 1] - bf[j]) / (bl[j + 1] - bl[j]) for j in range(len(bl) - 1)]
        self.edge = bf[-1]
        self.norm = 2.0 * sum(
            f0 * (r1 * r1 - r0 * r0) / 2.0 + k * ((r1**3 - r0**3) / 3.0 - r0 * (r1 * r1 - r0 * r0) / 2.0)
            for r0, r1, f0, k in zip(bl[:-1], bl[1:], bf[:-1], self.slopes))

    def ring_nodes(self, l):
        return _radius_nodes(l, self.breaks)

    disc_nodes = ring_nodes

    def brightness(self, j, r, one_minus_r):
        return self.f0[j] + self.slopes[j] * (r - self.breaks[j])

    def fall(self, j, r, one_minus_r):
        return np.full_like(r, -self.slopes[j])


def ring_route(l, rho, profile):
    l = np.asarray(l, dtype=np.float64)
    total = np.zeros_like(l)
    for j, idx, r, r_minus_l, one_minus_r, weight in profile.ring_nodes(l):
        f = 2.0 * r * profile.brightness(j, r, one_minus_r) * ring(l[idx][:, None], r, rho, r_minus_l)
        total[idx] += (f * weight).sum(axis=1)
    return total / profile.norm


def disc_route(l, rho, profile):
    l = np.asarray(l, dtype=np.float64)
    u = rho * l
    total = profile.edge * disc(u, np.full_like(u, rho), rho * (l - 1.0))
    for j, idx, r, r_minus_l, one_minus_r, weight in profile.disc_nodes(l):
        a = disc(u[idx][:, None], rho * r, -rho * r_minus_l)
        f = profile.fall(j, r, one_minus_r) * r * r * a
        total[idx] += (f * weight).sum(axis=1)
    return total / profile.norm


# --------------------------------------------------------------------------
# The eight functions, arguments as in caustrix (separations as an array)


def witt_mao(l, re, rstar):
    return witt_mao_scipy(l, re, rstar)


def multi_witt_mao(l, re_list, rstar_list):
    l = np.asarray(l, dtype=np.float64)
    return [witt_mao_scipy(l, re, rstar) for re in re_list for rstar in rstar_list]


def heyrovsky(l, r, re, rstar):
    return ring(l, r, float(rstar) / float(re))


def integrated_heyrovsky(l, re, rstar):
    return ring_route(l, float(rstar) / float(re), LinearLaw())


def integrated_witt_mao(l, re, rstar):
    return disc_route(l, float(rstar) / float(re), LinearLaw())


def integrated_flux_map_heyrovsky(l, re, rstar, bl, bf):
    return ring_route(l, float(rstar) / float(re), FluxMap(bl, bf))


def integrated_flux_map_witt_mao(l, re, rstar, bl, bf):
    return disc_route(l, float(rstar) / float(re), FluxMap(bl, bf))


def discrete_flux_map_heyrovsky(l, re, rstar, bl, bf):
    l = np.asarray(l, dtype=np.float64)
    rho = float(rstar) / float(re)
    total = np.zeros_like(l)
    for r, f in zip(bl, bf):
        total += f * ring(l, r, rho)
    return total


# --------------------------------------------------------------------------
# Checks of the forms above against independent evaluations


def _check_ring():
    """The elliptic ring against mpmath quadrature of A_ps around the ring."""
    import mpmath as mp

    worst = 0.0
    cases = [(0.3, 0.5, 0.1), (2.0, 0.7, 0.01), (0.9, 1.0, 0.3), (0.0, 0.4, 0.1),
             (1.0, 1.0 + 1e-6, 0.01), (5.0, 0.2, 1.0), (0.5, 0.0, 0.05), (1e-6, 0.8, 0.01)]
    with mp.workdps(30):
        for l, r, rho in cases:
            d = mp.mpf(r) - mp.mpf(l)

            def a_ps(phi):
                # |point - lens|^2 = (r - l)^2 + 4 l r sin^2(phi / 2), no cancellation.
                u = rho * mp.sqrt(d * d + 4 * mp.mpf(l) * r * mp.sin(phi / 2) ** 2)
                return (u * u + 2) / (u * mp.sqrt(u * u + 4))
            # Split towards phi = 0, where a ring close to the lens peaks.
            exact = mp.quad(a_ps, [0] + [mp.mpf(10) ** -k for k in range(8, 0, -1)] + [mp.pi],
                            maxdegree=10) / mp.pi
            value = float(ring(l, r, rho))
            worst = max(worst, float(abs(value / exact - 1)))
    print(f"ring against mpmath quadrature around the ring: max relative error {worst:.1e}")


PROFILE_REFERENCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                 "tests", "data", "profile_reference.txt")


def profile_reference(path=PROFILE_REFERENCE):
    """The rows (profile, rho, l, value) of tools/gen_profile_reference.py's
    file, and its flux-map table {"bl": radii, "bf": brightnesses}."""
    rows, table = [], {}
    with open(path) as f:
        for line in f:
            for key, word in (("bl", "radius"), ("bf", "brightness")):
                prefix = f"# table quadratic_map12 {word}:"
                if line.startswith(prefix):
                    table[key] = [float(v) for v in line[len(prefix):].split()]
            if line.startswith("#") or not line.strip():
                continue
            profile, rho, l, value, _ = line.split()
            rows.append((profile, float(rho), float(l), float(value)))
    return rows, table


def _check_profiles():
    """Both routes against the two-dimensional integration references."""
    rows, table = profile_reference()
    profiles = {"linear_0.6": LinearLaw(), "uniform": FluxMap([0.0, 1.0], [1.0, 1.0]),
                "quadratic_map12": FluxMap(table["bl"], table["bf"])}
    for name, profile in profiles.items():
        worst = {"ring": (0.0, None), "disc": (0.0, None)}
        for _, rho, l, value in (row for row in rows if row[0] == name):
            for route, fn in (("ring", ring_route), ("disc", disc_route)):
                err = abs(float(fn(np.array([l]), rho, profile)[0]) / value - 1)
                if not err <= worst[route][0]:
                    worst[route] = (err, (rho, l))
        print(f"{name:<16} ring route max relative error {worst['ring'][0]:.1e} at (rho, l) = "
              f"{worst['ring'][1]}; disc route {worst['disc'][0]:.1e} at {worst['disc'][1]}")


if __name__ == "__main__":
    _check_ring()
    _check_profiles()
