"""Least-squares fit of a resolved-source event with the exact Jacobian, and
the Fisher-matrix uncertainties beside the posterior widths from emcee.

A source of radius rho (Einstein radii), limb-darkened by the linear law
I = 1 - a (1 - mu), passes the lens at u0 < rho.  The model flux is
F = fs A(t; t0, u0, tE, rho, a) + fb, and all seven parameters are fitted.
caustrix.light_curve_and_gradient gives A with its derivatives with respect
to (t0, u0, tE, rho, a) in one call, so each Jacobian costs one model
evaluation; scipy.optimize.least_squares with jac="2-point" pays one per
parameter instead.  Both start from the same point and must reach the same
optimum.

At the optimum, the inverse of J^T J (J the Jacobian of the residuals
(F - flux) / sigma) is the Fisher-matrix covariance; emcee then samples the
posterior (flat priors) and its standard deviations are printed next to the
Fisher ones.

    python3 fit_with_gradient.py [--points N] [--walkers N] [--steps N]
                                 [--burn N] [--seed N]
"""

from __future__ import annotations

import argparse
import math
import sys
from typing import Any

import numpy as np
import numpy.typing as npt

import caustrix

Array = npt.NDArray[np.float64]

NAMES = ("t0", "u0", "tE", "rho", "a", "fs", "fb")
# The simulated event: t0 (days), u0, tE (days), rho, the linear law's a,
# the source and blend fluxes.
TRUTH = (0.0, 0.004, 20.0, 0.008, 0.55, 1.0, 0.3)
HALF_SPAN = 1.5           # survey points over t0 +- this many tE
PEAK_SHARE = 0.5          # the share of points over the peak, t0 +- 0.3 d
PEAK_HALF_SPAN = 0.3
SIGMA = 0.004             # flux error, relative to the baseline flux


class Counter:
    """Model evaluations: a value, or a value with its gradient, counts one."""

    def __init__(self) -> None:
        self.calls = 0


def model(params, t, counter: Counter) -> Array:
    t0, u0, te, rho, a, fs, fb = params
    counter.calls += 1
    return fs * caustrix.light_curve(t, t0, u0, te, rho, "linear", (a,)) + fb


def model_and_jacobian(params, t, counter: Counter) -> tuple[Array, Array]:
    t0, u0, te, rho, a, fs, fb = params
    counter.calls += 1
    mag, grad = caustrix.light_curve_and_gradient(t, t0, u0, te, rho, "linear", (a,))
    jac = np.empty((t.size, 7))
    jac[:, :5] = fs * grad
    jac[:, 5] = mag
    jac[:, 6] = 1.0
    return fs * mag + fb, jac


def simulate(points, seed) -> tuple[Array, Array, Array]:
    rng = np.random.default_rng(seed)
    t0, te = TRUTH[0], TRUTH[2]
    n_peak = int(round(PEAK_SHARE * points))
    t = np.sort(np.concatenate([
        t0 + HALF_SPAN * te * rng.uniform(-1.0, 1.0, points - n_peak),
        t0 + PEAK_HALF_SPAN * rng.uniform(-1.0, 1.0, n_peak)]))
    flux = model(TRUTH, t, Counter())
    sigma = np.full(t.size, SIGMA * (TRUTH[5] + TRUTH[6]))
    return t, flux + sigma * rng.standard_normal(t.size), sigma


def fit(t, flux, sigma, start, analytic: bool) -> tuple[Any, int]:
    """least_squares from `start`, with the exact Jacobian or 2-point
    differences; the result and the number of model evaluations."""
    from scipy.optimize import least_squares

    counter = Counter()
    cache: dict[bytes, tuple[Array, Array]] = {}

    def both(p):
        key = np.asarray(p).tobytes()
        if key not in cache:
            cache.clear()
            cache[key] = model_and_jacobian(p, t, counter)
        return cache[key]

    # The law's brightness must stay non-negative (0 <= a <= 1), and the
    # sizes positive.
    inf = math.inf
    bounds = ([-inf, 0, 0, 0, 0, -inf, -inf], [inf, inf, inf, inf, 1, inf, inf])
    if analytic:
        # One evaluation gives the residuals and the Jacobian: scipy asks
        # for the Jacobian at the point whose residuals it has just taken.
        result = least_squares(lambda p: (both(p)[0] - flux) / sigma, start,
                               jac=lambda p: both(p)[1] / sigma[:, None],
                               bounds=bounds, x_scale="jac", xtol=1e-12, ftol=1e-12,
                               gtol=1e-12)
    else:
        result = least_squares(lambda p: (model(p, t, counter) - flux) / sigma, start,
                               jac="2-point", bounds=bounds, x_scale="jac", xtol=1e-12,
                               ftol=1e-12, gtol=1e-12)
    return result, counter.calls


def fisher_covariance(t, sigma, best) -> Array:
    _, jac = model_and_jacobian(best, t, Counter())
    j = jac / sigma[:, None]
    return np.linalg.inv(j.T @ j)


def fisher_errors(t, sigma, best) -> Array:
    return np.sqrt(np.diag(fisher_covariance(t, sigma, best)))


def posterior_widths(t, flux, sigma, best, walkers, steps, burn, seed) -> Array:
    import emcee

    def log_probability(p):
        if not (p[1] > 0 and p[2] > 0 and p[3] > 0 and 0 <= p[4] <= 1):
            return -math.inf
        r = (model(p, t, Counter()) - flux) / sigma
        return -0.5 * float(r @ r)

    # The walkers start spread as the Fisher matrix says, so that a short
    # chain is already in equilibrium; the sampler then finds the widths on
    # its own.
    rng = np.random.default_rng(seed)
    start = rng.multivariate_normal(best, fisher_covariance(t, sigma, best), walkers)
    start[:, 4] = np.clip(start[:, 4], 0.0, 1.0)
    sampler = emcee.EnsembleSampler(walkers, best.size, log_probability)
    sampler.random_state = np.random.RandomState(seed).get_state()
    sampler.run_mcmc(start, steps)
    chain = sampler.get_chain(discard=burn, flat=True)
    return chain.std(axis=0)


def main(argv=None) -> dict[str, Any]:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=300)
    parser.add_argument("--walkers", type=int, default=16)
    parser.add_argument("--steps", type=int, default=600)
    parser.add_argument("--burn", type=int, default=200)
    parser.add_argument("--seed", type=int, default=20261209)
    opts = parser.parse_args(argv)

    t, flux, sigma = simulate(opts.points, opts.seed)
    # A start off the truth in every parameter, as a coarse search would leave it.
    start = np.array(TRUTH) * np.array([1, 1.3, 0.9, 1.15, 0.8, 0.95, 1.2])
    start[0] = TRUTH[0] + 0.02
    exact, exact_calls = fit(t, flux, sigma, start, analytic=True)
    differences, difference_calls = fit(t, flux, sigma, start, analytic=False)
    chi2_exact = float(exact.fun @ exact.fun)
    chi2_differences = float(differences.fun @ differences.fun)
    print(f"{t.size} points; least squares from the same start")
    print(f"  exact Jacobian:      {exact_calls:4d} model evaluations, chi^2 = {chi2_exact:.6f}")
    print(f"  2-point differences: {difference_calls:4d} model evaluations, "
          f"chi^2 = {chi2_differences:.6f}")

    best = exact.x
    fisher = fisher_errors(t, sigma, best)
    apart = float(np.max(np.abs(exact.x - differences.x) / fisher))
    print(f"  the two optima differ by at most {apart:.1e} standard deviations")
    widths = posterior_widths(t, flux, sigma, best, opts.walkers, opts.steps, opts.burn,
                              opts.seed)
    print(f"{'':>4} {'truth':>10} {'best':>12} {'Fisher sd':>11} {'emcee sd':>11}")
    for k, name in enumerate(NAMES):
        print(f"{name:>4} {TRUTH[k]:10.5g} {best[k]:12.6g} {fisher[k]:11.3g} {widths[k]:11.3g}")
    return {"exact": exact, "differences": differences, "apart": apart, "exact_calls": exact_calls,
            "difference_calls": difference_calls, "fisher": fisher, "widths": widths}


if __name__ == "__main__":
    outcome = main()
    sys.exit(0 if outcome["exact_calls"] < outcome["difference_calls"] else 1)
