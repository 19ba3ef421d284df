"""The README's figures for the gradient functions: the largest error of
magnification_and_gradient() against high-precision derivatives computed
here with mpmath, and what a gradient costs next to a value.

    python bench/gradient_figures.py            # every figure (a few minutes)
    python bench/gradient_figures.py --quick    # a smaller grid, no timing

References.  The uniform disc two ways: mpmath's derivative of the
Witt-Mao closed form (K, E, Pi), and the boundary integrals
dA/du = (1/(pi rho)) int f(|u + rho e^(it)|) cos t dt and
dA/drho = (2/rho)(A_ring - A) by mpmath.quad, which must agree to 1e-20
first.  The laws: differentiated under the integral of the value by parts,
A = 1 + [I(0) E(1) + int_0^1 E(x) I'(mu) dmu] / N, E = x^2 (W(u, rho x) - 1),
with W and its slopes from mpmath's elliptic integrals and mpmath.quad's
tanh-sinh rule split at the lens (no node shared with the module's
Gauss-Legendre layout), and dA/dc_k = (S_k - (A - 1) N_k) / N from each
coefficient's basis.

Errors are relative to the derivative, or to 1e-2 A where the derivative
is smaller: a figure below 1e-9 is an error below 1e-9 of the derivative or
1e-11 of the magnification, whichever is larger (a slope far below the
value's own precision is resolved absolutely).
"""

from __future__ import annotations

import argparse
import functools
import math
import os
import sys
import time

import mpmath as mp
import numpy as np

import caustrix

mp.mp.dps = 40


def disc_integrals(u, r):
    h, d = u + r, u - r
    s = mp.sqrt(d * d + 4)
    n = 4 * u * r / h ** 2
    m = 4 * n / (d * d + 4)
    k, e = mp.ellipk(m), mp.ellipe(m)
    x = (mp.ellippi(n, m) - k) / n if n else mp.pi / 4
    return h, s, n, m, k, e, x


def disc(u, r):
    """W, dW/du and dW/dr of the uniform disc of radius r at u (Einstein radii)."""
    if u == 0:
        w = mp.sqrt(r * r + 4) / r
        return w, mp.mpf(0), -4 / (r * r * mp.sqrt(r * r + 4))
    h, s, n, m, k, e, x = disc_integrals(u, r)
    d_ = (k - e) / m
    p = (1 - n) * x
    z = d_ - p
    w = (2 * s / h * k + 8 * u * r * p / (h * s) - 8 * u * z / (r * h * s)) / mp.pi
    wu = 8 * (k - 2 * d_) / (mp.pi * r * h * s)
    wr = 8 * (2 * u * z - r * k) / (mp.pi * r * r * h * s)
    return w, wu, wr


def closed_form(u, r):
    h, s, n, m, k, e, x = disc_integrals(u, r)
    d = u - r
    pi_nm = k + n * x
    return (e * h * s / (2 * r * r) - k * d * (u * u - r * r + 8) / (2 * r * r * s)
            + pi_nm * 2 * (1 + r * r) * d * d / (r * r * h * s)) / mp.pi


def f_point(p):
    return (p * p + 2) / (p * mp.sqrt(p * p + 4))


def uniform_reference(u, rho):
    """(dA/du, dA/drho) two ways, checked against each other."""
    U, R = mp.mpf(u), mp.mpf(rho)
    extra = int(2 * math.log10(u / rho + 1) + 5 * math.log10(max(u, 1.0)))
    with mp.workdps(30 + extra):
        by_diff = (mp.diff(lambda v: closed_form(v, R), U), mp.diff(lambda v: closed_form(U, v), R))
        p = lambda t: mp.sqrt(U * U + R * R + 2 * U * R * mp.cos(t))  # noqa: E731
        cusp = [0, mp.pi] if u != rho else [0, mp.pi]
        moment = mp.quad(lambda t: f_point(p(t)) * mp.cos(t), cusp) * 2 / (mp.pi * R)
        ring = mp.quad(lambda t: f_point(p(t)), cusp) / mp.pi
        by_quad = (moment, 2 / R * (ring - closed_form(U, R)))
    for a, b in zip(by_diff, by_quad):
        assert abs(a - b) <= mp.mpf(10) ** -18 * max(abs(a), mp.mpf(10) ** -30), (u, rho, a, b)
    return by_diff


# The laws' brightness slopes I'(mu), and for each coefficient its basis:
# (dI(0)/dc_k, dI'/dc_k as a function of mu, dN/dc_k).
LAWS = {
    "quadratic": (
        (0.4, 0.3),
        lambda c, mu: c[0] + 2 * c[1] * (1 - mu),
        lambda c: 1 - c[0] - c[1],
        lambda c: 1 - c[0] / 3 - c[1] / 6,
        [(-1, lambda c, mu: 1, lambda c: -mp.mpf(1) / 3),
         (-1, lambda c, mu: 2 * (1 - mu), lambda c: -mp.mpf(1) / 6)],
    ),
    "power-2": (
        (0.6, 0.7),
        lambda c, mu: c[0] * c[1] * mu ** (c[1] - 1),
        lambda c: 1 - c[0],
        lambda c: 1 - c[0] * c[1] / (c[1] + 2),
        [(-1, lambda c, mu: c[1] * mu ** (c[1] - 1), lambda c: -c[1] / (c[1] + 2)),
         (0, lambda c, mu: c[0] * mu ** (c[1] - 1) * (1 + c[1] * mp.log(mu)),
          lambda c: -2 * c[0] / (c[1] + 2) ** 2)],
    ),
}


def law_reference(law, u, rho):
    """(A, dA/du, dA/drho, dA/dc) of a law by tanh-sinh quadrature."""
    coefficients, slope, limb, flux, basis = LAWS[law]
    c = [mp.mpf(v) for v in coefficients]
    U, R = mp.mpf(u), mp.mpf(rho)
    lens = U / R

    @functools.lru_cache(maxsize=None)
    def at(mu):
        x = mp.sqrt(1 - mu * mu)
        if x == 0:
            return mp.mpf(0), mp.mpf(0), mp.mpf(0)  # a disc of no size holds no excess
        if abs(x - lens) < mp.mpf(10) ** -15:
            # A node within the working precision of the lens, where the
            # disc's limb formulas are singular: its logarithmic share of
            # the integral is far below the result's digits.
            x = lens + mp.mpf(10) ** -15 * (1 if x > lens else -1)
        w, wu, wr = disc(U, R * x)
        return x * x * (w - 1), x * x * wu, x ** 3 * wr

    cuts = [mp.mpf(0), mp.sqrt(1 - lens * lens), mp.mpf(1)] if lens < 1 else [mp.mpf(0), 1]

    def integral(part, weight):
        return mp.quad(lambda mu: at(mu)[part] * weight(mu), cuts)

    whole = disc(U, R)
    n = flux(c)
    s = limb(c) * (whole[0] - 1) + integral(0, lambda mu: slope(c, mu))
    du = (limb(c) * whole[1] + integral(1, lambda mu: slope(c, mu))) / n
    dr = (limb(c) * whole[2] + integral(2, lambda mu: slope(c, mu))) / n
    dc = []
    for dlimb, dslope, dflux in basis:
        sk = dlimb * (whole[0] - 1) + integral(0, lambda mu: dslope(c, mu))
        dc.append((sk - s / n * dflux(c)) / n)
    return 1 + s / n, du, dr, dc


def error(got, ref, a):
    return float(abs(mp.mpf(float(got)) - ref) / max(abs(ref), mp.mpf(1e-2) * a))


def accuracy(quick):
    rhos = [1e-6, 1e-2, 1.0, 1e3] if not quick else [1e-3, 1.0]
    ratios = ([0.0, 1e-4, 0.3, 0.999, 1 - 1e-6, 1 + 1e-6, 1.5, 150.0, 1e4, 1e6]
              if not quick else [0.3, 0.999, 1.5, 150.0])
    worst = {}
    for rho in rhos:
        for x in ratios:
            u = x * rho
            a, du, dr, _ = caustrix.magnification_and_gradient(u, rho)
            if x == 0:
                ref = (mp.mpf(0), -4 / (mp.mpf(rho) ** 2 * mp.sqrt(mp.mpf(rho) ** 2 + 4)))
            else:
                ref = uniform_reference(u, rho)
            for name, got, r in (("du", du, ref[0]), ("drho", dr, ref[1])):
                e = error(got, r, a)
                key = ("uniform", name)
                if e > worst.get(key, (0,))[0]:
                    worst[key] = (e, rho, x)
    print("uniform disc done", file=sys.stderr)
    law_rhos = [1e-3, 0.1, 1e3] if not quick else [0.1]
    law_ratios = [0.3, 0.95, 1.5] if not quick else [0.5, 1.5]
    for law in LAWS:
        c = LAWS[law][0]
        for rho in law_rhos:
            for x in law_ratios:
                u = x * rho
                a, du, dr, dc = caustrix.magnification_and_gradient(u, rho, law, c)
                _, ru, rr, rc = law_reference(law, u, rho)
                for name, got, ref in (("du", du, ru), ("drho", dr, rr),
                                       *((f"dc{k}", dc[k], rc[k]) for k in range(2))):
                    e = error(got, ref, a)
                    key = (law, name)
                    if e > worst.get(key, (0,))[0]:
                        worst[key] = (e, rho, x)
    return worst


def cost(repeats=7):
    """Time per point of a gradient over a value, interleaved A/B/A/B.

    With one thread the calls compute on the calling thread, so its CPU time
    is their cost: unlike the wall clock it does not count the time other
    processes on a busy machine take the processor away."""
    rows = []
    for law, c, n in (("uniform", (), 200_000), ("quadratic", (0.4, 0.3), 4_000),
                      ("power-2", (0.6, 0.7), 4_000)):
        u = np.linspace(0.0, 3.0, n) * 0.1
        value, both = [], []
        for _ in range(repeats):
            t = time.thread_time()
            caustrix.magnification(u, 0.1, law, c)
            value.append(time.thread_time() - t)
            t = time.thread_time()
            caustrix.magnification_and_gradient(u, 0.1, law, c)
            both.append(time.thread_time() - t)
        rows.append((law, min(value) / n * 1e9, min(both) / n * 1e9))
    return rows


def main():
    # The costs are one thread's: the pool is sized when first used.
    os.environ.setdefault("RAYON_NUM_THREADS", "1")
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    opts = parser.parse_args()
    worst = accuracy(opts.quick)
    print("| law | derivative | worst error | at rho | at u/rho |")
    print("|---|---|---|---|---|")
    for (law, name), (e, rho, x) in worst.items():
        print(f"| {law} | {name} | {e:.1e} | {rho:g} | {x:.10g} |")
    if not opts.quick:
        print()
        print("| law | value, ns/point | value and gradient, ns/point | ratio |")
        print("|---|---|---|---|")
        for law, a, b in cost():
            print(f"| {law} | {a:.0f} | {b:.0f} | {b / a:.2f} |")


if __name__ == "__main__":
    main()
