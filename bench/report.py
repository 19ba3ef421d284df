"""One table: per-point cost of the eight caustrix magnifications against
their numpy/scipy forms (scipy_models.py), on two light-curve workloads.

    python bench/report.py [--points N] [--repeat R] [--quick] [--markdown]

Workloads.  W1 is a source of rho = 0.01 Einstein radii, W2 of rho = 0.1
(re = 1, rstar = rho).  Both follow the same straight track: the lens passes
the source centre at the impact parameter u0 = rho / 4, so it crosses the
disc and its limb twice, and u(t) = sqrt(u0^2 + t^2) Einstein radii with t
in Einstein times over half the light curve.  Half the points are spread
evenly over 0 <= t <= 3 (the survey cadence: u from u0 to 3), the other half
evenly over 0 <= t <= 2 rho (dense cover while the lens is within two source
radii, l from 0.25 to 2.06, about 4/N source radii apart there).  The
separations are l = u / rho source radii, sorted; with the default 4000
points W1 runs from l = 0.25 to 300 with 1000 points inside the disc.

Each function gets the separations as a Python list and returns a list; the
scipy forms are timed the same way (list in, array converted to a list
out).  Times are per separation (for the batched function, per separation
and curve), best of R samples after a warm-up call, each sample repeating
the call until it lasts 20 ms; both columns of a row come from the same run.
The ratio is scipy over caustrix.  The last column of each workload is the
largest relative difference of the two over the track (equal values, the
infinities of a ring through the lens included, count as no difference).

The arguments of the rows:
  witt_mao                   uniform disc
  multi_witt_mao             re = [1], rstar = 8 sizes spaced evenly in log
                             between 0.8 rho and 1.25 rho (a scan of sizes)
  heyrovsky                  ring of radius 0.5 source radii, called once
                             per separation from a Python loop (the function
                             takes one separation)
  integrated_heyrovsky,      linear limb darkening I = 1 - 0.6 (1 - mu)
  integrated_witt_mao
  integrated_flux_map_*,     the quadratic law I = 1 - 0.5 (1 - mu)
  discrete_flux_map_*        - 0.2 (1 - mu)^2 tabulated at the 12 radii
                             0, 0.1, ..., 0.9, 0.95, 1
"""

import argparse
import math
import os
import sys
import time

import numpy as np

import caustrix

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_witt_mao import timed  # noqa: E402
from scipy_witt_mao import LIMB  # noqa: E402
import scipy_models  # noqa: E402

WORKLOADS = (("W1", 0.01), ("W2", 0.1))
RING_RADIUS = 0.5
SIZES = 8
MIN_SAMPLE = 0.02                  # seconds per timing sample

BL = [0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 1.0]
BF = [1 - 0.5 * (1 - m) - 0.2 * (1 - m) ** 2 for m in ((1 - r * r) ** 0.5 for r in BL)]


def track(rho, points):
    """Separations (source radii) along the straight track described above."""
    half = points // 2
    t = np.concatenate([np.linspace(0.0, 3.0, points - half),
                        np.linspace(0.0, 2.0 * rho, half)])
    return np.sort(np.hypot(0.25 * rho, t) / rho).tolist()


def rows(rho):
    """(name, caustrix call, scipy call, source sizes) for one workload; each
    call takes the list of separations and returns lists, one value per
    separation and source size (rho in Einstein radii)."""
    re = 1.0
    sizes = [rho * 0.8 * (1.25 / 0.8) ** (k / (SIZES - 1)) for k in range(SIZES)]
    c, s = caustrix, scipy_models
    hey = c.heyrovsky_magnification
    return [
        ("witt_mao", lambda l: c.witt_mao_magnification(l, re, rho),
         lambda l: s.witt_mao(l, re, rho).tolist(), [rho]),
        ("multi_witt_mao", lambda l: c.multi_witt_mao_magnification(l, [re], sizes),
         lambda l: [a.tolist() for a in s.multi_witt_mao(l, [re], sizes)], sizes),
        ("heyrovsky", lambda l: [hey(x, RING_RADIUS, re, rho) for x in l],
         lambda l: s.heyrovsky(l, RING_RADIUS, re, rho).tolist(), [rho]),
        ("integrated_heyrovsky", lambda l: c.integrated_heyrovsky_magnification(l, re, rho),
         lambda l: s.integrated_heyrovsky(l, re, rho).tolist(), [rho]),
        ("integrated_witt_mao", lambda l: c.integrated_witt_mao_magnification(l, re, rho),
         lambda l: s.integrated_witt_mao(l, re, rho).tolist(), [rho]),
        ("integrated_flux_map_heyrovsky",
         lambda l: c.integrated_flux_map_heyrovsky_magnification(l, re, rho, BL, BF),
         lambda l: s.integrated_flux_map_heyrovsky(l, re, rho, BL, BF).tolist(), [rho]),
        ("integrated_flux_map_witt_mao",
         lambda l: c.integrated_flux_map_witt_mao_magnification(l, re, rho, BL, BF),
         lambda l: s.integrated_flux_map_witt_mao(l, re, rho, BL, BF).tolist(), [rho]),
        ("discrete_flux_map_heyrovsky",
         lambda l: c.discrete_flux_map_heyrovsky_magnification(l, re, rho, BL, BF),
         lambda l: s.discrete_flux_map_heyrovsky(l, re, rho, BL, BF).tolist(), [rho]),
    ]


def seconds_per_call(call, repeat):
    """Best time of one call: timed() over samples of k calls, k set so that
    a sample lasts MIN_SAMPLE."""
    t0 = time.perf_counter()
    call()
    once = time.perf_counter() - t0
    k = max(1, math.ceil(MIN_SAMPLE / max(once, 1e-9)))
    if k == 1:
        return timed(call, repeat)[0]
    return timed(lambda: [call() for _ in range(k)], repeat)[0] / k


def relative_difference(ours, theirs):
    a = np.asarray(ours, dtype=np.float64).ravel()
    b = np.asarray(theirs, dtype=np.float64).ravel()
    with np.errstate(divide="ignore", invalid="ignore"):
        diff = np.abs(a - b) / np.abs(b)
    diff[a == b] = 0.0
    return float(np.max(diff)) if diff.size else 0.0


def measure(points, repeat):
    """{(name, workload): (caustrix s, scipy s, max rel diff)} per separation
    and curve, and for the disc rows the difference without the limb band:
    {(name, workload): (max rel diff, points left out)}."""
    results = {}
    off_band = {}
    for label, rho in WORKLOADS:
        l = track(rho, points)
        for name, ours, theirs, sizes in rows(rho):
            work = points * len(sizes)
            t_ours = seconds_per_call(lambda: ours(l), repeat) / work
            t_theirs = seconds_per_call(lambda: theirs(l), repeat) / work
            a = np.asarray(ours(l), dtype=np.float64).reshape(len(sizes), points)
            b = np.asarray(theirs(l), dtype=np.float64).reshape(len(sizes), points)
            results[(name, label)] = (t_ours, t_theirs, relative_difference(a, b))
            if name in ("witt_mao", "multi_witt_mao"):
                # scipy_witt_mao.py takes the limb value within LIMB Einstein
                # radii of the limb (|u - rho| < LIMB, u = l rho).
                band = np.abs(np.asarray(l)[None, :] - 1.0) * np.asarray(sizes)[:, None] < LIMB
                off_band[(name, label)] = (relative_difference(a[~band], b[~band]),
                                           int(band.sum()))
    return results, off_band


def cost(seconds):
    ns = seconds * 1e9
    if ns < 1000:
        return f"{ns:.0f} ns"
    if ns < 100_000:
        return f"{ns / 1000:.2f} us"
    return f"{ns / 1000:.0f} us"


def table(results, names):
    header = ["function"]
    for label, rho in WORKLOADS:
        header += [f"{label} caustrix", f"{label} scipy", f"{label} ratio", f"{label} max rel diff"]
    body = []
    for name in names:
        row = [name]
        for label, _ in WORKLOADS:
            ours, theirs, diff = results[(name, label)]
            row += [cost(ours), cost(theirs), f"{theirs / ours:.1f}x", f"{diff:.1e}"]
        body.append(row)
    return header, body


def print_plain(header, body, lines):
    widths = [max(len(r[i]) for r in [header] + body) for i in range(len(header))]
    fmt = lambda r: "  ".join(v.ljust(w) if i == 0 else v.rjust(w)
                              for i, (v, w) in enumerate(zip(r, widths)))
    print(fmt(header))
    print("  ".join("-" * w for w in widths))
    for r in body:
        print(fmt(r))
    for line in lines:
        print(line)


def print_markdown(header, body, lines):
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join(["---"] + ["---:"] * (len(header) - 1)) + "|")
    for r in body:
        print("| " + " | ".join([f"`{r[0]}`"] + r[1:]) + " |")
    for line in lines:
        print()
        print(line)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=None,
                        help="separations per workload (default 4000; 400 with --quick)")
    parser.add_argument("--repeat", type=int, default=None,
                        help="timing samples, best taken (default 5; 2 with --quick)")
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args(argv)
    points = args.points or (400 if args.quick else 4000)
    repeat = args.repeat or (2 if args.quick else 5)
    if points < 2 or repeat < 1:
        parser.error("--points must be at least 2 and --repeat at least 1")

    start = time.perf_counter()
    results, off_band = measure(points, repeat)
    elapsed = time.perf_counter() - start
    names = [name for name, *_ in rows(0.1)]
    header, body = table(results, names)

    workloads = ", ".join(f"{label}: rho = {rho}" for label, rho in WORKLOADS)
    lines = [
        "",
        f"{points} separations per workload ({workloads}; track in bench/report.py), "
        f"best of {repeat}, {len(os.sched_getaffinity(0))} processors, list in and list out; "
        f"ratio = scipy / caustrix; multi_witt_mao per separation and curve "
        f"({SIZES} curves).",
        "witt_mao and multi_witt_mao: scipy_witt_mao.py takes the limb value within "
        f"{LIMB:g} Einstein radii of the limb; without that band they differ by "
        + ", ".join(f"{d:.1e} ({name} {label}, {n} values left out)"
                    for (name, label), (d, n) in off_band.items()) + ".",
        f"Measured in {elapsed:.0f} s.",
    ]
    if args.markdown:
        print_markdown(header, body, [line for line in lines if line])
    else:
        print_plain(header, body, lines)
    return 0


if __name__ == "__main__":
    sys.exit(main())
