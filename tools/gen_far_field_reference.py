#!/usr/bin/env python3
"""Write tests/data/far_field_reference.txt: the magnification of
limb-darkened sources far from a point lens (8 to 1e10 source radii), its
excess over 1 and its derivatives, for every law of the fitting functions at
typical and extreme coefficients.

Lengths are in Einstein radii: u the lens-source separation, rho the source
radius, both doubles; x = u/rho.  With I(mu) the brightness at mu =
sqrt(1 - r^2) (r in source radii), N = int_0^1 2 mu I dmu, f(D) the
point-lens magnification at D Einstein radii and g = f - 1 =
4 / (D S (D^2 + 2 + D S)), S = sqrt(D^2 + 4) (positive, no cancellation),
the excess A - 1 is computed two independent ways:

  plane   the brightness-weighted mean of g over the source disc in 2D:
              N (A - 1) = int_0^1 2 mu I(mu) <g>_ring(R) dmu,
          R = rho r; the ring mean over the angle by the periodic trapezoid
          rule (exponentially convergent: the lens is 8 ring radii away or
          more, and the rule's points are doubled until its error is below
          the working precision), the outer integral by mpmath's tanh-sinh
          rule, N by quadrature too;

  discs   the law against exact uniform-disc magnifications, by parts:
              N (A - 1) = I(0) E(1) + int_0^1 E(r(mu)) I'(mu) dmu,
          E(r) = r^2 (A_disc(u, rho r) - 1), A_disc the Witt-Mao closed form
          with mpmath's complete elliptic integrals at a precision raised by
          the digits its terms cancel; mu in [0, 1/2] (in sqrt(mu), or in
          mu^alpha for the power law, where I' is singular at the limb) and the centre's
          side in y = r^2 by a double-exponential rule; N in closed form.

A row is written only when the two agree to 1e-18 relative in the excess
(the last column says how well).  The derivatives dA/du, dA/drho and dA/dc_k
are those of the plane route differentiated under the integral (g' =
-8/(D^2 S^3) and the law's own derivatives in its coefficients); on every
tenth row each is checked against a central difference of the plane route's
value to 1e-12 (beyond the noise of the values at 30 digits).  Both routes compare their rule with the same rule at twice
the step, which must agree to 1e-8 (a guard; the error roughly squares as
the step halves, and the routes' agreement is the test).

    python3 tools/gen_far_field_reference.py [output] [--check]

The output is the same on every run; it takes a few CPU-minutes.
"""

import math
import os
import sys

import mpmath as mp
from mpmath import mpf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference_rows  # noqa: E402
from gen_law_reference import brightness  # noqa: E402

REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
DEFAULT_OUTPUT = os.path.join(REPO, "tests", "data", "far_field_reference.txt")

DPS = 30
AGREE = mpf("1e-18")
SLOPE_AGREE = mpf("1e-12")
# The rule at twice the step may differ by this much: a guard against a
# rule far from converged (its error roughly squares as the step halves);
# the routes' agreement to AGREE is the real test.
ROUGH = mpf("1e-8")

# (label, law, coefficients): typical, darker than typical, limb-brightened,
# at the edges of validity, and the nonlinear law with mixed signs.
LAWS = [
    ("linear_0.6", "linear", (0.6,)),
    ("linear_dark", "linear", (1.0,)),
    ("linear_bright", "linear", (-2.0,)),
    ("quadratic", "quadratic", (0.4, 0.25)),
    ("quadratic_edge", "quadratic", (4.0, -4.0)),
    ("square_root", "square-root", (0.25, 0.55)),
    ("square_root_edge", "square-root", (-0.3, 1.3)),
    ("logarithmic", "logarithmic", (0.75, 0.2)),
    ("logarithmic_edge", "logarithmic", (1.0, 0.3)),
    ("power_2", "power-2", (0.65, 0.6)),
    ("power_2_small_alpha", "power-2", (1.0, 0.05)),
    ("power_2_dark", "power-2", (1.0, 4.0)),
    ("nonlinear", "nonlinear", (0.5, 0.1, 0.2, -0.1)),
    ("nonlinear_mixed", "nonlinear", (1.5, -2.0, 2.2, -0.9)),
]
LAW_OF = {label: (law, c) for label, law, c in LAWS}

RHOS = (1e-8, 1.0, 1e3)
# The threshold, each tier's first point (where it keeps the fewest terms
# for its distance), and the far end.
SEPARATIONS = (8.0, 32.0, 256.0, 1000.0, 1e5, 1e10)
# A lighter grid for the laws beyond the first of each kind.
SHORT_RHOS = (1e-8, 1e3)
SHORT_SEPARATIONS = (8.0, 32.0)


def cases():
    seen = set()
    out = []
    for label, law, _ in LAWS:
        full = law not in seen
        seen.add(law)
        for rho in RHOS if full else SHORT_RHOS:
            for x in SEPARATIONS if full else SHORT_SEPARATIONS:
                out.append((label, rho, rho * x))
    return out


# --------------------------------------------------------------------------
# The laws.


def brightness_slope(law, c, mu):
    """I'(mu)."""
    c = [mpf(v) for v in c]
    if law == "linear":
        return c[0]
    if law == "quadratic":
        return c[0] + 2 * c[1] * (1 - mu)
    if law == "square-root":
        return c[0] + c[1] / (2 * mp.sqrt(mu))
    if law == "logarithmic":
        return c[0] - c[1] * (1 + mp.log(mu))
    if law == "power-2":
        return c[0] * c[1] * mu ** (c[1] - 1)
    if law == "nonlinear":
        return sum(a * mpf(k) / 2 * mu ** (mpf(k) / 2 - 1) for k, a in enumerate(c, start=1))
    raise ValueError(law)


def brightness_by_coefficient(law, c, mu, k):
    """dI/dc_k at mu."""
    c = [mpf(v) for v in c]
    if law in ("linear", "quadratic", "square-root", "logarithmic") and k == 0:
        return -(1 - mu)
    if law == "quadratic":
        return -(1 - mu) ** 2
    if law == "square-root":
        return -(1 - mp.sqrt(mu))
    if law == "logarithmic":
        return -(mu * mp.log(mu)) if mu > 0 else mpf(0)
    if law == "power-2":
        if k == 0:
            return -(1 - mu ** c[1])
        return c[0] * mu ** c[1] * mp.log(mu) if mu > 0 else mpf(0)
    if law == "nonlinear":
        return -(1 - mu ** (mpf(k + 1) / 2))
    raise ValueError(law)


def exact_flux(law, c):
    c = [mpf(v) for v in c]
    if law == "linear":
        return 1 - c[0] / 3
    if law == "quadratic":
        return 1 - c[0] / 3 - c[1] / 6
    if law == "square-root":
        return 1 - c[0] / 3 - c[1] / 5
    if law == "logarithmic":
        return 1 - c[0] / 3 + 2 * c[1] / 9
    if law == "power-2":
        return 1 - c[0] * c[1] / (c[1] + 2)
    if law == "nonlinear":
        return 1 - sum(a * mpf(k) / (k + 4) for k, a in enumerate(c, start=1))
    raise ValueError(law)


# --------------------------------------------------------------------------
# A double-exponential rule on [a, b], with the distance of each node from
# the far end formed directly (the centre's side of the source needs 1 - mu
# to full precision).


def de_nodes(a, b, h, reach=mpf("3.6")):
    """(k, x, b - x, weight) for t = k h, |t| <= reach."""
    a, b = mpf(a), mpf(b)
    half = (b - a) / 2
    out = []
    k_max = int(reach / h)
    for k in range(-k_max, k_max + 1):
        t = k * h
        v = mp.pi / 2 * mp.sinh(t)
        e = mp.exp(2 * v)
        below = 2 / (e + 1)          # 1 - tanh(v)
        above = 2 * e / (e + 1)      # 1 + tanh(v)
        x = a + half * above
        to_b = half * below
        w = half * (mp.pi / 2) * mp.cosh(t) / mp.cosh(v) ** 2
        if w == 0 or to_b == 0 or x == a:
            continue
        out.append((k, x, to_b, w * h))
    return out


def de_integrate(f, a, b, parts, h=mpf(1) / 16):
    """The integrals of the `parts` components of f(x, b - x) on [a, b], with
    the rule at h and at 2 h (a subset of its nodes) for an error estimate."""
    fine = [mpf(0)] * parts
    coarse = [mpf(0)] * parts
    for k, x, to_b, w in de_nodes(a, b, h):
        values = f(x, to_b)
        for i in range(parts):
            fine[i] += w * values[i]
        if k % 2 == 0:
            for i in range(parts):
                coarse[i] += 2 * w * values[i]
    return fine, coarse


# --------------------------------------------------------------------------
# The plane route.


def g(d):
    s = mp.sqrt(d * d + 4)
    return 4 / (d * s * (d * d + 2 + d * s))


def g_slope(d):
    s = mp.sqrt(d * d + 4)
    return -8 / (d * d * s**3)


def ring_means(u, big_r):
    """The means over the ring of radius big_r about the source's centre of
    g(D), dD/du g'(D) and dD/dR g'(D), by the periodic trapezoid rule, whose
    error falls like (R/u)^n."""
    if big_r == 0:
        return g(u), g_slope(u), mpf(0)
    n = max(8, int(mp.ceil(mpf(mp.mp.dps + 5) / mp.log10(u / big_r))) + 4)
    n += n % 2
    sums = [mpf(0)] * 3
    for j in range(n // 2 + 1):
        cos = mp.cos(2 * mp.pi * j / n)
        w = 1 if 0 < j < n // 2 else mpf(1) / 2
        d = mp.sqrt(u * u + big_r * big_r + 2 * u * big_r * cos)
        gs = g_slope(d)
        sums[0] += w * g(d)
        sums[1] += w * gs * (u + big_r * cos) / d
        sums[2] += w * gs * (big_r + u * cos) / d
    return tuple(v * 2 / n for v in sums)


def plane(law, c, rho, u):
    """(excess, du, drho, [dc_k]) and the estimated relative error of the
    excess, all from one pass over the nodes in mu."""
    rho, u = mpf(rho), mpf(u)
    count = len(c)

    def f(mu, to_one):
        r = mp.sqrt(to_one * (1 + mu))
        mean, mean_u, mean_r = ring_means(u, rho * r)
        weight = 2 * mu
        i = brightness(law, c, mu)
        out = [weight * i * mean, weight * i * mean_u, weight * i * mean_r * r, weight * i]
        for k in range(count):
            ik = brightness_by_coefficient(law, c, mu, k)
            out += [weight * ik * mean, weight * ik]
        return out

    fine, coarse = de_integrate(f, 0, 1, 4 + 2 * count, h=mpf(1) / 16)
    flux = fine[3]
    excess = fine[0] / flux
    error = abs(coarse[0] / coarse[3] - excess) / excess
    dc = [(fine[4 + 2 * k] - excess * fine[5 + 2 * k]) / flux for k in range(count)]
    return (excess, fine[1] / flux, fine[2] / flux, dc), error


# --------------------------------------------------------------------------
# The discs route.


def disc_excess(u, big_r, estimate):
    """A_disc - 1 for the uniform disc of radius big_r, the Witt-Mao closed
    form at a precision raised by the digits its terms cancel (they grow
    like (u/R)^2 times A, and A - 1 is near `estimate`)."""
    lost = 2 * mp.log10(u / big_r) + max(0, -mp.log10(estimate)) + mp.log10(1 + 1 / big_r**2)
    with mp.workdps(mp.mp.dps + int(lost) + 10):
        u, big_r = mpf(u), mpf(big_r)
        d = u - big_r
        h = u + big_r
        s = mp.sqrt(d * d + 4)
        n = 4 * u * big_r / (h * h)
        m = 4 * n / (d * d + 4)
        r2 = big_r * big_r
        a = (mp.ellipe(m) * h * s / (2 * r2)
             - mp.ellipk(m) * d * (u * u - r2 + 8) / (2 * r2 * s)
             + mp.ellippi(n, m) * 2 * (1 + r2) * d * d / (r2 * h * s)) / mp.pi
        return +(a - 1)


# Nodes of the centre's piece nearer the centre than this (in y = r^2) are
# left out: the integrand is below y times its scale there, and together
# they hold less than 1e-24 of it.
Y_LEAST = mpf("1e-24")


def discs(law, c, rho, u):
    """The excess and the estimated relative error of its quadrature."""
    rho, u = mpf(rho), mpf(u)
    estimate = g(u)
    cs = [mpf(v) for v in c]

    def e_of(r):
        return r * r * disc_excess(u, rho * r, estimate)

    limb = brightness(law, c, mpf(0)) * e_of(mpf(1))
    if law == "power-2":
        # I' dmu = c d(mu^alpha): in t = mu^alpha the limb's mu^(alpha - 1) goes.
        alpha = cs[1]

        def outer_f(t, _):
            mu = t ** (1 / alpha)
            return [e_of(mp.sqrt((1 - mu) * (1 + mu))) * cs[0]]

        # r = sqrt(1 - t^(2/alpha)) is singular at |t| = 1, just beyond the
        # piece's end for a small alpha: pieces halving their distance from
        # it keep each one's convergence.
        end = mpf(1) / 2 ** alpha
        cuts = [mpf(0)]
        j = 1
        while 1 - mpf(2) ** -j < end:
            cuts.append(1 - mpf(2) ** -j)
            j += 1
        cuts.append(end)
        outer = ([mpf(0)], [mpf(0)])
        for a, b in zip(cuts, cuts[1:]):
            piece = de_integrate(outer_f, a, b, 1)
            outer = ([outer[0][0] + piece[0][0]], [outer[1][0] + piece[1][0]])
    else:
        # In s = sqrt(mu) the square-root terms' mu^(-1/2) in I' goes.
        def outer_f(s, _):
            mu = s * s
            return [e_of(mp.sqrt((1 - mu) * (1 + mu))) * brightness_slope(law, c, mu) * 2 * s]

        outer = de_integrate(outer_f, 0, mp.sqrt(mpf(1) / 2), 1)

    # mu in [1/2, 1] as y = r^2 in [0, 3/4]: dmu = -dy / (2 mu).
    def inner_f(y, _):
        if y < Y_LEAST:
            return [mpf(0)]
        mu = mp.sqrt(1 - y)
        return [y * disc_excess(u, rho * mp.sqrt(y), estimate) * brightness_slope(law, c, mu)
                / (2 * mu)]

    centre = de_integrate(inner_f, 0, mpf(3) / 4, 1)
    flux = exact_flux(law, c)
    fine = (limb + outer[0][0] + centre[0][0]) / flux
    coarse = (limb + outer[1][0] + centre[1][0]) / flux
    return fine, abs(coarse - fine) / fine


# --------------------------------------------------------------------------

# Rows whose derivatives are also checked against central differences of the
# plane route (every CHECK_EVERY-th row: each check costs several passes).
CHECK_EVERY = 10


def compute(case, check_slopes=False):
    label, rho, u = case
    law, c = LAW_OF[label]
    # The derivatives in rho and the coefficients are the terms in x^-2 and
    # beyond, which the plane route forms as differences of quantities x^2
    # larger: far out it keeps those digits too (1e-19 of them at least).
    extra = max(0, round(2 * math.log10(u / rho)) - 10)
    with mp.workdps(DPS + extra):
        (excess, du, drho, dc), error = plane(law, c, rho, u)
    with mp.workdps(DPS):
        other, other_error = discs(law, c, rho, u)
        if not max(error, other_error) <= ROUGH:
            raise RuntimeError(f"quadrature not converged at {case}: {error} {other_error}")
        diff = abs(other - excess) / excess
    with mp.workdps(DPS + extra):
        if check_slopes:
            h = mpf(10) ** -7
            checks = [(du, lambda e: plane(law, c, rho, u * (1 + e))[0][0], u),
                      (drho, lambda e: plane(law, c, rho * (1 + e), u)[0][0], rho)]
            for k in range(len(c)):
                def moved(e, k=k):
                    cc = [mpf(v) for v in c]
                    cc[k] += e
                    return plane(law, cc, rho, u)[0][0]
                checks.append((dc[k], moved, 1))
            for got, value, scale in checks:
                want = (value(h) - value(-h)) / (2 * h * scale)
                # The difference's own truncation (h^2) and the values'
                # noise (1e-24 of the excess, over the step).
                noise = mpf(10) ** -24 * abs(excess) / (h * scale)
                if not abs(want - got) <= SLOPE_AGREE * abs(got) + noise:
                    raise RuntimeError(f"a slope disagrees at {case}: {got} vs {want}")
    return case, (excess, du, drho, dc), diff


def format_row(case, values, diff):
    label, rho, u = case
    excess, du, drho, dc = values
    cells = [mp.nstr(v, 20, strip_zeros=False) for v in (excess, du, drho, *dc)]
    return f"{label} {rho!r} {u!r} {' '.join(cells)} {float(diff):.1e}\n"


def row(indexed):
    index, case = indexed
    case, values, diff = compute(case, check_slopes=index % CHECK_EVERY == 0)
    if not diff <= AGREE:
        raise RuntimeError(f"routes disagree at {case}: relative difference {float(diff):.2e}")
    return format_row(case, values, diff)


def header():
    lines = [
        "# The magnification of limb-darkened sources far from a point lens.",
        "# Generated by tools/gen_far_field_reference.py; do not edit.",
        "# Lengths in Einstein radii: u the separation, rho the source radius.",
        "# Columns: label rho u (A - 1) dA/du dA/drho dA/dc_k... diff, where A - 1",
        "# was computed as the 2D mean of the point lens's excess over the source",
        "# and, independently, from uniform-disc closed forms; diff is their",
        "# relative difference.  Laws (label law: coefficients):",
    ]
    lines += [f"# law {label} {law}: {' '.join(repr(v) for v in c)}" for label, law, c in LAWS]
    return "\n".join(lines) + "\n"


def read(path):
    """(label, rho, u, excess, du, drho, [dc...], diff) rows, the values as
    mpf of the file's digits."""
    rows = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                continue
            cells = line.split()
            label, rho, u = cells[0], float(cells[1]), float(cells[2])
            with mp.workdps(DPS):
                values = [mpf(v) for v in cells[3:-1]]
            rows.append((label, rho, u, values[0], values[1], values[2], values[3:],
                         float(cells[-1])))
    return rows


def generate():
    return reference_rows.generate(header(), list(enumerate(cases())), row)


if __name__ == "__main__":
    sys.exit(reference_rows.main(sys.argv, DEFAULT_OUTPUT, generate))
