#!/usr/bin/env python3
"""A randomised sweep of caustrix.magnification's accuracy for every law,
over the whole claimed range: source radii rho from 1e-6 to 1e3 Einstein
radii, the lens from the centre (0, tiny offsets) through the source, the
limb (1 -/+ 1e-k for k = 1 .. 16, the doubles next to rho) and out past the
far-field cut at 8 source radii to 1e6 and beyond, and coefficients over
each law's valid range (typical stellar values and the edges where the
brightness reaches 0 at the limb or inside the disc; power-2 exponents
from 0.01 to 50, the steepest the law accepts).

Two stages:

  dense   tens of thousands of points against a second double-precision
          route written here: the law's magnification by parts from the
          uniform disc, N A = I(0) G(1) + int G dI, G(x) = x^2 M(x) with M
          the uniform disc of radius x (source radii) about the source's
          centre (caustrix's uniform law, whose own accuracy is checked
          elsewhere), integrated by Gauss-Legendre pieces graded
          geometrically towards every singular point (the lens's kink, the
          limb, the centre), in the variable in which the law's slope is
          smooth (x near the centre; s = sqrt(mu) near the limb, t = mu^alpha
          for the power-2 law; a table segment by segment in x).  Nothing is
          shared with caustrix's layout of pieces, its node counts or its
          far-field series.  Its own error is about 1e-14, so it locates
          regions, it does not certify them.  The uniform law is compared
          with mpmath's closed form of the disc instead.

  mpmath  the dense stage's worst points of each law and region, and points
          chosen where errors are likeliest (next to the limb, the lens near
          the centre, u/rho just either side of 8, rho near 1, extreme
          exponents), each computed two independent ways with the routes of
          tools/gen_law_reference.py (over rings with Heyrovsky's closed form
          and over discs by parts with Witt and Mao's); a point counts only
          when the two agree within 1e-15.  Results are cached (one JSON line
          per point) so that an interrupted run loses nothing.

It prints, per law and region, the worst relative error of caustrix with its
arguments, and the claim (1e-13 uniform, 1e-10 the others).

    python3 tools/law_accuracy_sweep.py [--dense N] [--mp N] [--seed S]
        [--cache PATH] [--laws a,b] [--quick]

--dense is the number of dense points per law, --mp the number of mpmath
points per law (half the dense stage's worst, half the likeliest edges).
--quick runs a few dozen points in seconds.
"""

import argparse
import json
import math
import os
import sys
import time

import numpy as np

import caustrix

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_integrated_reference as closed  # noqa: E402
import gen_law_reference as glr  # noqa: E402

import mpmath as mp  # noqa: E402
from mpmath import mpf  # noqa: E402

CLAIM = {"uniform": 1e-13}
DEFAULT_CLAIM = 1e-10
AGREE = 1e-15          # the two mpmath routes must agree this well
LAW_NAMES = ["uniform", "linear", "quadratic", "square-root", "logarithmic",
             "power-2", "nonlinear", "table"]

# Regions of the lens position l = u / rho (source radii).
REGIONS = [("centre", 0.0, 1e-3), ("inside", 1e-3, 0.9), ("limb", 0.9, 1.1),
           ("outside", 1.1, 8.0), ("past 8", 8.0, 16.0), ("far", 16.0, math.inf)]


def region(l):
    for name, lo, hi in REGIONS:
        if lo <= l < hi:
            return name
    return "far"


# --------------------------------------------------------------------------
# Coefficients: fixed edge sets and random valid ones.


EDGES = {
    "uniform": [()],
    "linear": [(1.0,), (-0.5,), (0.6,)],
    "quadratic": [(0.6, 0.4), (4.0, -4.0), (0.0, 1.0), (2.0, -1.0)],
    "square-root": [(-0.3, 1.3), (0.0, 1.0), (1.0, 0.0)],
    "logarithmic": [(1.0, 0.3), (1.0, 0.0), (0.75, 0.2)],
    "power-2": [(1.0, 0.01), (1.0, 0.05), (1.0, 5.0), (1.0, 20.0), (1.0, 50.0), (0.65, 0.6)],
    "nonlinear": [(0.5, 0.1, 0.2, 0.2), (-4.0, 4.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0),
                  (0.6, -0.2, 0.6, -0.25)],
    "table": [((0.0, 0.5, 1.0), (1.0, 0.8, 0.0)),
              ((0.2, 0.4, 0.6, 0.8, 0.95), (0.5, 0.75, 2.0, 0.75, 0.5))],
}


def valid(law, c):
    try:
        caustrix.magnification(0.5, 0.1, law, c)
        return True
    except ValueError:
        return False


def random_coefficients(rng, law):
    """A valid coefficient set of the sizes met in stellar tables, or wider."""
    while True:
        if law == "uniform":
            c = ()
        elif law == "linear":
            c = (rng.uniform(-0.5, 1.0),)
        elif law == "quadratic":
            c = (rng.uniform(-0.2, 1.5), rng.uniform(-0.8, 1.0))
        elif law == "square-root":
            c = (rng.uniform(-0.5, 1.2), rng.uniform(-0.5, 1.5))
        elif law == "logarithmic":
            c = (rng.uniform(0.0, 1.0), rng.uniform(-0.3, 0.8))
        elif law == "power-2":
            c = (rng.uniform(0.0, 1.0), 10 ** rng.uniform(-2, math.log10(50)))
        elif law == "nonlinear":
            c = tuple(rng.uniform(-1.5, 1.5) for _ in range(4))
        else:
            k = int(rng.integers(3, 12))
            radii = np.sort(rng.uniform(0, 1, k))
            radii[0] = 0.0 if rng.random() < 0.5 else radii[0]
            radii[-1] = 1.0 if rng.random() < 0.5 else radii[-1]
            radii = np.unique(radii)
            c = (tuple(float(r) for r in radii), tuple(float(b) for b in rng.uniform(0, 2, radii.size)))
        c = tuple(float(v) for v in c) if law != "table" else c
        if valid(law, c):
            return c


def coefficient_sets(rng, law, count):
    sets = [c for c in EDGES[law] if valid(law, c)]
    while len(sets) < count:
        sets.append(random_coefficients(rng, law))
    return sets


# --------------------------------------------------------------------------
# Separations.


def random_point(rng):
    """(rho, u), rho log-uniform in [1e-6, 1e3] or at its edges, the lens at
    a separation drawn from the regions that matter."""
    pick = rng.random()
    rho = float(10 ** rng.uniform(-6, 3)) if pick < 0.8 else float(rng.choice([1e-6, 1.0, 1e3]))
    kind = rng.integers(0, 10)
    if kind == 0:        # the centre and tiny offsets
        l = float(rng.choice([0.0, 10 ** rng.uniform(-300, -3), 10 ** rng.uniform(-9, -5)]))
        return rho, l * rho
    if kind in (1, 2):   # over the source, densely
        return rho, rho * float(rng.uniform(0, 1))
    if kind == 3:        # 1 -/+ 1e-k
        k = int(rng.integers(1, 17))
        l = 1 + float(rng.choice([-1, 1])) * 10.0 ** -k * float(rng.uniform(0.5, 2))
        return rho, rho * l
    if kind == 4:        # the doubles next to rho
        u = rho
        step = math.inf if rng.random() < 0.5 else 0.0
        for _ in range(int(rng.choice([0, 1, 1, 2, 3, 10]))):
            u = math.nextafter(u, step)
        return rho, u
    if kind == 5:        # outside, up to the far-field cut
        return rho, rho * float(rng.uniform(1, 8))
    if kind == 6:        # either side of 8, closely
        l = 8 * (1 + float(rng.choice([-1, 1])) * 10.0 ** rng.uniform(-16, -1))
        return rho, rho * l
    if kind == 7:        # the doubles next to 8 rho
        u = 8 * rho
        for _ in range(int(rng.integers(0, 3))):
            u = math.nextafter(u, math.inf if rng.random() < 0.5 else 0.0)
        return rho, u
    if kind == 8:        # far field
        return rho, rho * float(10 ** rng.uniform(math.log10(8), 6))
    return rho, rho * float(10 ** rng.uniform(6, 12))


# --------------------------------------------------------------------------
# The dense stage's double-precision route.

GL_N = 16
GL_X, GL_W = np.polynomial.legendre.leggauss(GL_N)
RATIO = 0.5            # geometric grading: each piece half its distance's size
LONGEST = 1 / 32       # no piece longer, so that steep smooth slopes are resolved


def graded(a, b, left, right):
    """Piece edges of [a, b], graded geometrically towards a (left) and b
    (right), down to 1e-17 of the scale (below which the integrand's share
    is far below an ulp of the whole)."""
    if not b > a:
        return []
    if left and right:
        m = (a + b) / 2
        return graded(a, m, True, False) + graded(m, b, False, True)[1:]
    if not (left or right):
        n = max(1, math.ceil((b - a) / LONGEST))
        return list(np.linspace(a, b, n + 1))
    tiny = max(1e-17 * max(abs(a), abs(b)), 1e-310)
    h = b - a
    steps = [0.0]
    while h > tiny:
        steps.append(h)
        h *= RATIO
    steps = sorted(steps)
    if right:
        edges = [b - t for t in reversed(steps)]
        edges[0] = a
    else:
        edges = [a + t for t in steps]
        edges[-1] = b
    # Cut any long piece further.
    out = [edges[0]]
    for x in edges[1:]:
        n = max(1, math.ceil((x - out[-1]) / LONGEST))
        out += list(np.linspace(out[-1], x, n + 1)[1:])
    return out


def split(points, a, b):
    """Pieces of [a, b] graded towards each of the points in [a, b]."""
    inner = sorted({p for p in points if a < p < b})
    marks = [a] + inner + [b]
    sing = set(points)
    edges = [a]
    for lo, hi in zip(marks, marks[1:]):
        edges += graded(lo, hi, lo in sing, hi in sing)[1:]
    return np.array(edges)


def nodes(edges):
    mid = (edges[1:] + edges[:-1]) / 2
    half = (edges[1:] - edges[:-1]) / 2
    return (mid[:, None] + half[:, None] * GL_X).ravel(), (half[:, None] * GL_W).ravel()


def disc_g(u, rho, x):
    """G(x) = x^2 M(x) for discs of radius x (source radii)."""
    x = np.asarray(x, dtype=float)
    m = caustrix.magnification(np.full(x.shape, u), x * rho)
    with np.errstate(invalid="ignore"):     # 0 * inf for a lens at the centre
        return np.where(x > 0, x * x * m, 0.0)


def slope_mu(law, c, mu):
    """dI/dmu."""
    if law == "linear":
        return np.full_like(mu, c[0])
    if law == "quadratic":
        return c[0] + 2 * c[1] * (1 - mu)
    if law == "square-root":
        return c[0] + c[1] / (2 * np.sqrt(mu))
    if law == "logarithmic":
        return c[0] - c[1] * (1 + np.log(mu))
    if law == "power-2":
        return c[0] * c[1] * mu ** (c[1] - 1)
    if law == "nonlinear":
        return sum(a * (k / 2) * mu ** (k / 2 - 1) for k, a in enumerate(c, start=1))
    raise ValueError(law)


def slope_s(law, c, s):
    """dI/ds, s = sqrt(mu), for the laws other than power-2."""
    mu = s * s
    if law == "logarithmic":
        with np.errstate(divide="ignore", invalid="ignore"):
            v = 2 * s * (c[0] - c[1] * (1 + 2 * np.log(s)))
        return np.where(s > 0, v, 0.0)
    if law == "square-root":
        return 2 * s * c[0] + c[1]
    if law == "nonlinear":
        return sum(a * k * s ** (k - 1) for k, a in enumerate(c, start=1))
    return slope_mu(law, c, mu) * 2 * s


def flux(law, c):
    with mp.workdps(30):
        if law == "table":
            return float(glr.table_flux(glr.segments(c)))
        return float(glr.exact_flux(law, c))


X_SPLIT = 0.5                          # the centre's side is integrated in x
MU_SPLIT = math.sqrt(0.75)


def double_route(law, c, rho, u):
    l = u / rho
    total = 0.0
    if law == "table":
        radii, bright = c
        points = [0.0, 1.0, l]
        for a, b, fa, fb in zip(radii, radii[1:], bright, bright[1:]):
            if b <= a:
                continue
            k = (fb - fa) / (b - a)
            ga, gb = disc_g(u, rho, [a, b])
            total += fb * gb - fa * ga
            if k != 0:
                x, w = nodes(split(points + [a, b], a, b))
                total -= k * float(np.dot(w, disc_g(u, rho, x)))
        return total / flux(law, c)
    # I(mu = 0) G(1)
    i0 = 1.0 if law == "uniform" else float(brightness_at_limb(law, c))
    total = i0 * float(disc_g(u, rho, [1.0])[0])
    if law == "uniform":
        return total
    # The centre's side, in x: int_0^X G(x) I'(mu) x / mu dx.
    x, w = nodes(split([0.0, l, X_SPLIT], 0.0, X_SPLIT))
    mu = np.sqrt((1 - x) * (1 + x))
    total += float(np.dot(w, disc_g(u, rho, x) * slope_mu(law, c, mu) * x / mu))
    mu_l = math.sqrt((1 - l) * (1 + l)) if l < 1 else None
    if law == "power-2":
        alpha = c[1]
        t_end = MU_SPLIT ** alpha
        points = [0.0, t_end] + ([mu_l ** alpha] if mu_l is not None else [])
        t, w = nodes(split(points, 0.0, t_end))
        mu = t ** (1 / alpha)
        xs = np.sqrt((1 - mu) * (1 + mu))
        total += c[0] * float(np.dot(w, disc_g(u, rho, xs)))
    else:
        s_end = math.sqrt(MU_SPLIT)
        points = [0.0, s_end] + ([math.sqrt(mu_l)] if mu_l is not None else [])
        s, w = nodes(split(points, 0.0, s_end))
        sq = s * s
        xs = np.sqrt((1 - sq) * (1 + sq))
        total += float(np.dot(w, disc_g(u, rho, xs) * slope_s(law, c, s)))
    return total / flux(law, c)


def brightness_at_limb(law, c):
    if law == "power-2":
        return 1 - c[0]
    if law == "logarithmic":
        return 1 - c[0]
    with mp.workdps(30):
        return glr.polynomial(law, c)[0]


def closed_uniform(rho, u):
    """The uniform disc at 30 digits, from the closed form."""
    with mp.workdps(30):
        l = mpf(u) / mpf(rho)
        return float(closed.disc_flux(rho, l, 1))


# --------------------------------------------------------------------------
# The mpmath stage.


def mp_reference(law, c, rho, u):
    """(value, relative difference of the two routes)."""
    with mp.workdps(60):
        l = mpf(u) / mpf(rho)
    digits = closed.working_dps(l) + 2
    with mp.workdps(glr.DPS):
        ring = glr.by_rings(law, c, mpf(rho), l, digits)
        disc = glr.by_discs(law, c, mpf(rho), l, digits)
        return ring, float(abs(disc / ring - 1))


def key(law, c, rho, u):
    return json.dumps([law, c, rho.hex(), u.hex()])


def load_cache(path):
    cache = {}
    if path and os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                try:
                    entry = json.loads(line)
                except ValueError:
                    continue        # a line cut short by an interrupted run
                cache[entry["key"]] = (mpf(entry["value"]), entry["diff"])
    return cache


def edge_points(rng, law, sets, count):
    """Points where errors are likeliest, for the mpmath stage."""
    out = []
    while len(out) < count:
        c = sets[int(rng.integers(0, len(sets)))]
        rho = float(rng.choice([1e-6, 1e-3, 0.1, 0.5, 1.0, 2.0, 10.0, 1e3, 10 ** rng.uniform(-6, 3)]))
        kind = rng.integers(0, 6)
        if kind == 0:
            k = int(rng.integers(1, 17))
            u = rho * (1 + float(rng.choice([-1, 1])) * 10.0 ** -k)
        elif kind == 1:
            u = rho
            for _ in range(int(rng.integers(0, 3))):
                u = math.nextafter(u, math.inf if rng.random() < 0.5 else 0.0)
        elif kind == 2:
            u = rho * float(rng.choice([0.0, 1e-300, 1e-8, 9e-7, 1.1e-6, 1e-3]))
        elif kind == 3:
            u = 8 * rho
            move = rng.integers(-2, 3)
            for _ in range(abs(int(move))):
                u = math.nextafter(u, math.inf if move > 0 else 0.0)
            if rng.random() < 0.5:
                u = rho * 8 * (1 + float(rng.choice([-1, 1])) * 10.0 ** rng.uniform(-12, -1))
        elif kind == 4:
            u = rho * float(rng.uniform(0.0, 1.0))
        else:
            u = rho * float(10 ** rng.uniform(0, 6))
        out.append((c, rho, u))
    return out


# --------------------------------------------------------------------------


def relative(a, b):
    return abs(a - b) / abs(b)


def fmt_args(c, rho, u):
    l = u / rho
    cs = "table" if isinstance(c, tuple) and c and isinstance(c[0], tuple) else repr(c)
    return f"c={cs} rho={rho!r} u={u!r} (u/rho={l!r}, 1-u/rho={1 - l:.3g})"


def region_order(name):
    base = name.split(" (")[0]
    return ([r[0] for r in REGIONS].index(base), name)


def worst_by_region(law, results):
    """{region: (error, c, rho, u)} of the largest error in each region."""
    best = {}
    for err, c, rho, u in results:
        name = region(u / rho)
        if name not in best or err > best[name][0]:
            best[name] = (err, c, rho, u)
    return best


def dense_stage(law, rng, count, log):
    sets = coefficient_sets(rng, law, max(6, count // 200))
    results = []
    for i in range(count):
        c = sets[i % len(sets)]
        rho, u = random_point(rng)
        got = float(caustrix.magnification(u, rho, law, c))
        if law == "uniform":
            want = closed_uniform(rho, u)
        else:
            want = double_route(law, c, rho, u)
        if not (math.isfinite(got) and math.isfinite(want)):
            log(f"  non-finite: {law} {fmt_args(c, rho, u)} caustrix {got!r} route {want!r}")
            results.append((math.inf, c, rho, u))
            continue
        results.append((relative(got, want), c, rho, u))
    return sets, results


def mp_stage(law, points, cache, cache_path, log, deadline):
    results, disagreements = [], []
    for c, rho, u in points:
        if time.time() > deadline:
            log(f"  mpmath stage stopped at its time limit after {len(results)} points")
            break
        k = key(law, c, rho, u)
        if k not in cache:
            value, diff = mp_reference(law, c, rho, u)
            cache[k] = (value, diff)
            if cache_path:
                with open(cache_path, "a", encoding="utf-8") as f:
                    f.write(json.dumps({"key": k, "value": mp.nstr(value, 25), "diff": diff}) + "\n")
        value, diff = cache[k]
        if not diff <= AGREE:
            disagreements.append((diff, c, rho, u))
            continue
        got = float(caustrix.magnification(u, rho, law, c))
        with mp.workdps(30):
            err = float(abs(mpf(got) / value - 1))
        results.append((err, c, rho, u))
    return results, disagreements


# --------------------------------------------------------------------------
# The gradient: magnification_and_gradient against derivatives of the double
# route.  In u and rho, differences of fourth order with steps of 1e-3 of
# the scale on which A changes (in u the larger of the source and the lens's
# distance, in rho the source, or the lens's distance from the limb if
# less; a power law's core, 1/sqrt(alpha) of those); points within
# 1e-3 of the limb are left out (the derivatives have a logarithmic kink
# there).  In a coefficient that enters the law linearly, A = P / N with P
# and N affine in it, so the slopes of A N and N from a difference of any
# step are exact but for rounding, and dA/dc = (d(AN) - A dN) / N; the
# power law's exponent takes a difference of fourth order.  The claim: 1e-9
# of the derivative or 1e-11 of A; where a difference's rounding (the
# route's 2e-15 of A over the step) exceeds that, the error is measured
# against the rounding instead, so that only what the check resolves is
# reported.

GRADIENT_CLAIM = 1e-9
ROUTE_ROUNDING = 2e-15


def difference(f, x, h):
    return (8 * (f(x + h) - f(x - h)) - (f(x + 2 * h) - f(x - 2 * h))) / (12 * h)


def gradient_errors(law, c, rho, u):
    """{quantity: error over the allowance} at one point."""
    a, du, drho, dc = (np.asarray(v, dtype=float)
                       for v in caustrix.magnification_and_gradient(u, rho, law, c))
    a = float(a)
    # A steep power law's core, 1/sqrt(alpha) of the radius, is a scale too.
    core = min(1.0, 1 / math.sqrt(c[1])) if law == "power-2" else 1.0
    h = 1e-3 * core * min(max(u, rho), abs(u - rho))
    hr = 1e-3 * core * min(rho, abs(u - rho))     # rho itself bounds its steps
    want = {
        "dA/du": (difference(lambda v: double_route(law, c, rho, abs(v)), u, h), h),
        "dA/drho": (difference(lambda r: double_route(law, c, r, u), rho, hr), hr),
    }
    got = {"dA/du": float(du), "dA/drho": float(drho)}
    for i in range(len(c)):
        def moved(x, i=i):
            return c[:i] + (x,) + c[i + 1:]
        if law == "power-2" and i == 1:
            step = 1e-3 * c[1]
            want["dA/dc1"] = (difference(lambda x: double_route(law, moved(x), rho, u), c[1], step),
                              step / 2)
        else:
            step = 0.25
            up, down = moved(c[i] + step), moved(c[i] - step)
            n_up, n_down, n = flux(law, up), flux(law, down), flux(law, c)
            d_an = (double_route(law, up, rho, u) * n_up - double_route(law, down, rho, u) * n_down) / (2 * step)
            want[f"dA/dc{i}"] = ((d_an - a * (n_up - n_down) / (2 * step)) / n, step * n)
        got[f"dA/dc{i}"] = float(dc.reshape(-1)[i])
    errors = {}
    for k, (value, step) in want.items():
        allowance = max(GRADIENT_CLAIM * abs(value), GRADIENT_CLAIM * 1e-2 * a)
        floor = ROUTE_ROUNDING * a / step
        errors[k] = abs(got[k] - value) / max(allowance, floor)
    return errors


def gradient_stage(law, rng, sets, count, log):
    worst = {}
    done = 0
    while done < count:
        c = sets[done % len(sets)]
        rho, u = random_point(rng)
        if abs(u / rho - 1) < 1e-3 or u / rho > 1e8:
            continue
        done += 1
        for k, err in gradient_errors(law, c, rho, u).items():
            name = f"{k} {region(u / rho)}"
            if name not in worst or not err <= worst[name][0]:
                worst[name] = (err, c, rho, u)
    log(f"  gradient, {count} points against differences of the double route"
        " (error over the allowance, 1.0 = at the claim):")
    failed = False
    for name in sorted(worst):
        err, c, rho, u = worst[name]
        mark = "" if err <= 1 else "  ABOVE THE CLAIM"
        log(f"    {name:28s} {err:.1e}  {fmt_args(c, rho, u)}{mark}")
        failed |= not err <= 1
    return failed


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dense", type=int, default=4000, help="dense points per law")
    parser.add_argument("--mp", type=int, default=60, help="mpmath points per law")
    parser.add_argument("--gradient", type=int, default=0,
                        help="points per law for the gradient (0: no gradient stage)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--cache", default="/tmp/caustrix_law_sweep_cache.jsonl")
    parser.add_argument("--laws", default=",".join(LAW_NAMES))
    parser.add_argument("--minutes", type=float, default=60,
                        help="time limit of the mpmath stages, shared equally by the laws")
    parser.add_argument("--quick", action="store_true", help="a few dozen points, in seconds")
    args = parser.parse_args(argv[1:])
    if args.quick:
        args.dense, args.mp = 40, 2
    laws = args.laws.split(",")
    per_law = 60 * args.minutes / len(laws)

    def log(text):
        print(text, flush=True)

    cache = load_cache(args.cache)
    failed = False
    for law in laws:
        rng = np.random.default_rng([args.seed, LAW_NAMES.index(law)])
        claim = CLAIM.get(law, DEFAULT_CLAIM)
        start = time.time()
        sets, dense = dense_stage(law, rng, args.dense, log)
        log(f"{law}: claim {claim:.0e}; dense stage, {len(dense)} points, {len(sets)} coefficient sets,"
            f" {time.time() - start:.1f} s ({'mpmath closed form' if law == 'uniform' else 'double route'})")
        for name, (err, c, rho, u) in sorted(worst_by_region(law, dense).items(),
                                             key=lambda kv: region_order(kv[0])):
            log(f"  {name:8s} worst {err:.2e}  {fmt_args(c, rho, u)}")
        if args.gradient and law not in ("uniform", "table"):
            failed |= gradient_stage(law, rng, sets, args.gradient, log)
        # The mpmath stage: the dense stage's worst points and likely edges.
        # The worst few of each region and group, then the likeliest edges.
        ranked = sorted(dense, key=lambda r: -r[0])
        per_group = args.mp // (4 * len(REGIONS))
        chosen, seen, taken = [], set(), {}
        for err, c, rho, u in ranked:
            group = region(u / rho)
            if taken.get(group, 0) < per_group and (rho, u) not in seen:
                seen.add((rho, u))
                taken[group] = taken.get(group, 0) + 1
                chosen.append((c, rho, u))
        chosen += edge_points(rng, law, sets, args.mp - len(chosen))
        start = time.time()
        results, disagreements = mp_stage(law, chosen, cache, args.cache, log, start + per_law)
        log(f"  mpmath stage, {len(results)} points confirmed two ways, {time.time() - start:.1f} s")
        for diff, c, rho, u in disagreements:
            log(f"  routes disagree ({diff:.1e}), point not used: {fmt_args(c, rho, u)}")
        for name, (err, c, rho, u) in sorted(worst_by_region(law, results).items(),
                                             key=lambda kv: region_order(kv[0])):
            mark = "" if err <= claim else "  ABOVE THE CLAIM"
            log(f"  {name:8s} worst {err:.2e}  {fmt_args(c, rho, u)}{mark}")
            failed |= err > claim
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
