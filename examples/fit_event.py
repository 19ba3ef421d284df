"""Fitting a simulated high-magnification event whose source is resolved by
the lens, observed in two bands.

A source of radius rho (Einstein radii) passes the lens at an impact
parameter u0 < rho, so the lens transits the disc and the peak of the light
curve is set by the size and the limb darkening of the source.  The event is
observed in the I and V bands, each by a survey (sparse, over the whole
event) and by follow-up (dense, over the peak), with photon noise and a noise
floor.  The source is limb-darkened by the quadratic law, with coefficients
of its own in each band (values typical of Claret's tables for a K giant), and
each band has its own source flux and unmagnified blend flux.

The parameters (t0, u0, tE, rho), shared by the bands, are found by
Nelder-Mead from a coarse grid of trial events, then sampled with emcee; for
each trial the fluxes of each band enter linearly, F = fs A + fb, and are
solved by weighted least squares.  The model is caustrix.light_curve with the
quadratic law and the band's coefficients, as in the simulation, within 25
source radii of the lens, and the uniform disc farther out (L_SWITCH).

Prints the true values, the posterior medians with their 16th and 84th
percentiles and the deviations in standard deviations, and writes a plot of
the data, the best model and the residuals (fit_event.png, or --plot PATH).
Exits with status 1 if a parameter is recovered more than 4 sigma off.

    python3 fit_event.py [--points N] [--walkers N] [--steps N] [--burn N]
                         [--seed N] [--plot PATH]
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import caustrix

Array = npt.NDArray[np.float64]

NAMES = ("t0", "u0", "tE", "rho")
UNITS = ("d", "", "d", "")

# The simulated event.  t0 in HJD - 2450000.
TRUTH = (9512.40, 0.0060, 18.0, 0.0090)


class Band(NamedTuple):
    """A band's quadratic limb darkening I = 1 - a (1 - mu) - b (1 - mu)^2,
    its source and blend fluxes (units of a 20th-magnitude star) and its
    share of the data points."""
    coefficients: tuple[float, float]
    source_flux: float
    blend_flux: float
    share: float


BANDS = {
    "I": Band((0.40, 0.26), 1.0, 0.4, 0.65),
    "V": Band((0.70, 0.10), 0.35, 0.25, 0.35),
}

SURVEY_HALF_SPAN = 2.5     # survey points over t0 +- this many tE
FOLLOW_UP_HALF_SPAN = 0.4  # follow-up points over t0 +- this many days
FOLLOW_UP_SHARE = 0.4      # of a band's points
BASELINE_NOISE = 0.01      # photon noise at baseline, relative to the band's baseline flux
NOISE_FLOOR = 0.002        # relative to the flux

# Separations beyond L_SWITCH source radii are computed for a uniformly
# bright disc, nearer ones for the limb-darkened disc.  Outside the disc the
# two differ by a relative k (rho / u)^2: a quarter of the difference of
# their mean square radii (1/2 of rho^2, and 0.452 and 0.431 for the I and
# V laws) times the Laplacian of the point-source curve, over the curve; k
# is 0.012 in I and 0.0172 in V.  Beyond 25 source radii that is below
# 2.8e-5, while no flux error is below 0.2 % of the flux (the noise floor):
# the switch moves no model point by as much as 0.014 sigma.  The
# limb-darkened disc costs many times a uniform one with the lens over the
# source, but only a small multiple of it beyond eight source radii, where
# it is a short series; most survey points are far from the lens.
L_SWITCH = 25.0

# Flat priors, on these ranges (t0 on the span of the data).
U0_RANGE = (0.0, 1.0)
TE_RANGE = (0.5, 300.0)
RHO_RANGE = (1e-4, 0.1)

MAX_SIGMA = 4.0


def magnification(params, t, coefficients, switch=L_SWITCH) -> Array:
    """Magnification at times t of the source with the quadratic law of
    these coefficients; the uniform disc stands in beyond `switch` source
    radii."""
    t0, u0, te, rho = params
    a = caustrix.light_curve(t, t0, u0, te, rho)
    near = np.hypot(u0, (t - t0) / te) < switch * rho
    if near.any():
        a[near] = caustrix.light_curve(t[near], t0, u0, te, rho, "quadratic", coefficients)
    return a


def noise(flux, baseline) -> Array:
    """Flux errors: photon noise scaled from the baseline, and a floor."""
    return np.sqrt(BASELINE_NOISE**2 * baseline * flux + (NOISE_FLOOR * flux)**2)


class Data(NamedTuple):
    """One band's observations."""
    t: Array
    flux: Array
    sigma: Array


def simulate(points, seed) -> dict[str, Data]:
    """The simulated event in each band: times, fluxes and flux errors."""
    rng = np.random.default_rng(seed)
    t0, _, te, _ = TRUTH
    data = {}
    for name, band in BANDS.items():
        n = int(round(band.share * points))
        n_follow = int(round(FOLLOW_UP_SHARE * n))
        survey = t0 + SURVEY_HALF_SPAN * te * rng.uniform(-1.0, 1.0, n - n_follow)
        follow = t0 + FOLLOW_UP_HALF_SPAN * rng.uniform(-1.0, 1.0, n_follow)
        t = np.sort(np.concatenate([survey, follow]))
        a = magnification(TRUTH, t, band.coefficients, switch=math.inf)
        true_flux = band.source_flux * a + band.blend_flux
        sigma = noise(true_flux, band.source_flux + band.blend_flux)
        data[name] = Data(t, true_flux + sigma * rng.standard_normal(t.size), sigma)
    return data


def linear_fluxes(a, flux, sigma) -> tuple[float, float, float]:
    """Source and blend fluxes minimising chi^2 for magnifications a, and the chi^2."""
    w = sigma**-2
    s1, sa, saa = w.sum(), (w * a).sum(), (w * a * a).sum()
    sf, saf = (w * flux).sum(), (w * a * flux).sum()
    det = saa * s1 - sa * sa
    fs = float((saf * s1 - sa * sf) / det)
    fb = float((saa * sf - sa * saf) / det)
    chi2 = float((w * (flux - fs * a - fb)**2).sum())
    return fs, fb, chi2


class Event:
    """The data of every band and the posterior of (t0, u0, tE, rho) given them."""

    def __init__(self, data: dict[str, Data]):
        self.data = data
        times = np.concatenate([d.t for d in data.values()])
        self.t0_range = (float(times.min()), float(times.max()))
        self.points = int(times.size)
        # Four shared parameters and two fluxes per band.
        self.dof = self.points - len(NAMES) - 2 * len(data)

    def in_prior(self, params) -> bool:
        t0, u0, te, rho = params
        return bool(self.t0_range[0] < t0 < self.t0_range[1] and U0_RANGE[0] < u0 < U0_RANGE[1]
                    and TE_RANGE[0] < te < TE_RANGE[1] and RHO_RANGE[0] < rho < RHO_RANGE[1])

    def fluxes(self, params) -> dict[str, tuple[float, float, float]]:
        """(fs, fb, chi^2) of each band at these parameters."""
        return {name: linear_fluxes(magnification(params, d.t, BANDS[name].coefficients),
                                    d.flux, d.sigma)
                for name, d in self.data.items()}

    def chi2(self, params) -> float:
        if not self.in_prior(params):
            return math.inf
        return sum(chi2 for _, _, chi2 in self.fluxes(params).values())

    def log_probability(self, params) -> float:
        return -0.5 * self.chi2(params)


def starting_point(event):
    """A maximum-likelihood point: the best of a coarse grid of trial events
    peaking at the brightest point, refined by Nelder-Mead in (t0, log u0,
    log tE, log rho)."""
    from scipy.optimize import minimize

    first = event.data["I"]
    t_peak = float(first.t[np.argmax(first.flux)])
    trials = [(t_peak, ratio * rho, te, rho)
              for te in (5.0, 15.0, 50.0)
              for rho in (0.002, 0.005, 0.01, 0.02, 0.05)
              for ratio in (0.3, 0.8, 1.5)]
    best = min(trials, key=event.chi2)

    def to_free(p):
        return np.array([p[0], math.log(p[1]), math.log(p[2]), math.log(p[3])])

    def from_free(x):
        return (x[0], math.exp(x[1]), math.exp(x[2]), math.exp(x[3]))

    x = to_free(best)
    for _ in range(2):   # a restart, so that the simplex does not stall on its initial size
        x = minimize(lambda y: event.chi2(from_free(y)), x, method="Nelder-Mead",
                     options={"xatol": 1e-7, "fatol": 1e-3, "maxfev": 3000}).x
    return np.array(from_free(x))


def summarise(samples):
    """Medians and the distances to the 16th and 84th percentiles, per parameter."""
    p16, p50, p84 = np.percentile(samples, [16, 50, 84], axis=0)
    return p50, p50 - p16, p84 - p50


def deviations(truth, median, lower, upper):
    """(median - truth) in units of the half-width on the side of the truth."""
    truth = np.asarray(truth)
    width = np.where(truth < median, lower, upper)
    return (median - truth) / width


def print_table(truth, median, lower, upper, dev):
    print(f"{'':8s}{'true':>11s}{'median':>14s}{'-1 sigma':>11s}{'+1 sigma':>11s}"
          f"{'deviation':>12s}")
    for name, unit, tr, m, lo, hi, d in zip(NAMES, UNITS, truth, median, lower, upper, dev):
        digits = {"t0": 5, "tE": 3}.get(name, 6)
        label = f"{name} [{unit}]" if unit else name
        print(f"{label:<8s}{tr:>11.{digits}f}{m:>14.{digits}f}{-lo:>11.{digits}f}"
              f"{hi:>+11.{digits}f}{d:>+8.2f} sig")


def plot(path, event, best, fluxes):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t0, _, te, _ = best
    lo_t, hi_t = event.t0_range
    fine = np.concatenate([np.linspace(lo_t, hi_t, 1500),
                           np.linspace(t0 - FOLLOW_UP_HALF_SPAN, t0 + FOLLOW_UP_HALF_SPAN, 1500)])
    fine.sort()

    fig, axes = plt.subplots(2, 2, figsize=(11, 6.5), sharex="col",
                             height_ratios=[3, 1])
    windows = ((lo_t, hi_t), (t0 - FOLLOW_UP_HALF_SPAN, t0 + FOLLOW_UP_HALF_SPAN))
    for colour, (name, d) in zip(("C3", "C0"), event.data.items()):
        fs, fb, _ = fluxes[name]
        coefficients = BANDS[name].coefficients
        model = fs * magnification(best, fine, coefficients) + fb
        residual = (d.flux - (fs * magnification(best, d.t, coefficients) + fb)) / d.sigma
        for column, (lo, hi) in enumerate(windows):
            top, bottom = axes[0, column], axes[1, column]
            seen = (d.t >= lo) & (d.t <= hi)
            top.errorbar(d.t[seen] - t0, d.flux[seen], d.sigma[seen], fmt=".", ms=3,
                         color=colour, ecolor="0.7", elinewidth=0.8, alpha=0.7,
                         label=f"{name} data")
            top.plot(fine - t0, model, color=colour, lw=1.2,
                     label=f"{name} model, a, b = {coefficients[0]:g}, {coefficients[1]:g}")
            bottom.errorbar(d.t[seen] - t0, residual[seen], 1.0, fmt=".", ms=3,
                            color=colour, ecolor="0.7", elinewidth=0.8, alpha=0.7)
    for column, (lo, hi) in enumerate(windows):
        axes[1, column].axhline(0.0, color="k", lw=1.0)
        axes[1, column].set_xlim(lo - t0, hi - t0)
        axes[1, column].set_xlabel(f"t - {t0:.3f} [HJD - 2450000]")
    axes[0, 0].set_yscale("log")
    axes[0, 0].set_ylabel("flux")
    axes[1, 0].set_ylabel("residual / sigma")
    axes[0, 0].set_title(f"whole event (tE = {te:.2f} d)")
    axes[0, 1].set_title("the lens crossing the source")
    axes[0, 1].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=600,
                        help="data points, over both bands (default 600)")
    parser.add_argument("--walkers", type=int, default=24, help="emcee walkers (default 24)")
    parser.add_argument("--steps", type=int, default=1000, help="steps per walker (default 1000)")
    parser.add_argument("--burn", type=int, default=300, help="steps discarded (default 300)")
    parser.add_argument("--seed", type=int, default=20240611, help="seed of the noise and of the sampler")
    parser.add_argument("--plot", default="fit_event.png", help="plot file (default fit_event.png)")
    args = parser.parse_args(argv)
    if args.walkers < 2 * len(NAMES):
        parser.error(f"--walkers must be at least {2 * len(NAMES)}")
    if not 0 <= args.burn < args.steps:
        parser.error("--burn must be below --steps")
    if args.points < 40:
        parser.error("--points must be at least 40")
    return args


def main(argv=None) -> dict[str, Any]:
    import emcee

    args = parse(argv)
    clock = time.perf_counter()
    event = Event(simulate(args.points, args.seed))
    lo_t, hi_t = event.t0_range
    print(f"{event.points} points over {hi_t - lo_t:.1f} d ("
          + ", ".join(f"{d.t.size} in {name}" for name, d in event.data.items())
          + "); true event: " + ", ".join(f"{n} = {v:g}" for n, v in zip(NAMES, TRUTH)))
    for name, band in BANDS.items():
        print(f"  {name}: quadratic limb darkening a = {band.coefficients[0]:g}, "
              f"b = {band.coefficients[1]:g}; fs = {band.source_flux:g}, fb = {band.blend_flux:g}")

    start = starting_point(event)
    print("starting point: " + ", ".join(f"{n} = {v:.6g}" for n, v in zip(NAMES, start))
          + f"; chi^2 = {event.chi2(start):.1f} for {event.dof} degrees of freedom")

    # Walkers in a small ball around the starting point: 1e-4 d in t0, a
    # relative 1e-3 in the others.
    rng = np.random.default_rng(args.seed + 1)
    scale = np.array([1e-4, 1e-3 * start[1], 1e-3 * start[2], 1e-3 * start[3]])
    ball = start + scale * rng.standard_normal((args.walkers, len(NAMES)))
    ball[0] = start
    sampler = emcee.EnsembleSampler(args.walkers, len(NAMES), event.log_probability)
    # emcee draws its moves from its own RandomState; seed it.
    sampler.random_state = np.random.RandomState(args.seed).get_state()
    sampler.run_mcmc(ball, args.steps, progress=False)

    samples = sampler.get_chain(discard=args.burn, flat=True)
    log_prob = sampler.get_log_prob(discard=args.burn, flat=True)
    tau = sampler.get_autocorr_time(discard=args.burn, tol=0)
    best = samples[np.argmax(log_prob)]
    fluxes = event.fluxes(best)
    chi2 = sum(c for _, _, c in fluxes.values())
    median, lower, upper = summarise(samples)
    dev = deviations(TRUTH, median, lower, upper)
    elapsed = time.perf_counter() - clock

    print(f"{args.walkers} walkers x {args.steps} steps, first {args.burn} discarded; "
          f"acceptance {np.mean(sampler.acceptance_fraction):.2f}; "
          f"autocorrelation time {np.max(tau):.0f} steps")
    print(f"best: chi^2 = {chi2:.1f} for {event.dof} degrees of freedom; "
          + "; ".join(f"{name}: fs = {fs:.4f}, fb = {fb:.4f}"
                      for name, (fs, fb, _) in fluxes.items()))
    print_table(TRUTH, median, lower, upper, dev)

    plot(args.plot, event, best, fluxes)
    print(f"wrote {args.plot}; {elapsed:.1f} s")

    recovered = bool(np.all(np.abs(dev) <= MAX_SIGMA))
    if not recovered:
        print(f"a parameter is more than {MAX_SIGMA:g} sigma from its true value", file=sys.stderr)
    return {
        "names": NAMES,
        "truth": np.array(TRUTH),
        "start": start,
        "median": median,
        "lower": lower,
        "upper": upper,
        "deviation": dev,
        "best": best,
        "fluxes": {name: (fs, fb) for name, (fs, fb, _) in fluxes.items()},
        "chi2": chi2,
        "dof": event.dof,
        "acceptance": float(np.mean(sampler.acceptance_fraction)),
        "chain": sampler.get_chain(),
        "plot": args.plot,
        "recovered": recovered,
        "exit_code": 0 if recovered else 1,
    }


if __name__ == "__main__":
    sys.exit(main()["exit_code"])
