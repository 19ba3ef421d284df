"""Wall-clock timings of the caustrix curve functions against numpy/scipy.

Each section times one caustrix function per point over a long curve, in the
same run as a vectorised scipy form of the same magnification, checks that the
two agree and prints one summary line.  Run with no arguments for every
section, or name sections to run only those:

    python bench/bench_witt_mao.py [--points N] [--repeat R] [section ...]

Sections are plain functions registered with @section; a new curve function
(batched, ring, limb-darkened) gets a new one.
"""

import argparse
import array
import os
import statistics
import sys
import time

import numpy as np

import caustrix

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scipy_witt_mao import LIMB, witt_mao_scipy  # noqa: E402

SECTIONS = {}


def section(fn):
    SECTIONS[fn.__name__] = fn
    return fn


def timed(call, repeat):
    """Best and median wall time of `repeat` calls, after one warm-up call."""
    call()
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        call()
        times.append(time.perf_counter() - t0)
    return min(times), statistics.median(times)


def report(label, times, points):
    best, median = times
    print(
        f"  {label:<34s} best {best / points * 1e9:8.1f} ns/point"
        f"   median {median / points * 1e9:8.1f} ns/point"
    )
    return best / points * 1e9


def max_relative_difference(a, b, mask):
    a = np.asarray(a)[mask]
    b = np.asarray(b)[mask]
    if a.size == 0:
        return 0.0
    return float(np.max(np.abs(a - b) / np.abs(b)))


@section
def witt_mao(points, repeat):
    re, rstar = 1.0, 0.01
    rho = rstar / re
    l_list = np.linspace(0.0, 3.0, points).tolist()
    l_array = np.asarray(l_list)

    print(f"witt_mao_magnification: {points} separations over [0, 3], rho = {rho}")

    ns_caustrix = report(
        "caustrix (list in, list out)",
        timed(lambda: caustrix.witt_mao_magnification(l_list, re, rstar), repeat),
        points,
    )
    ns_scipy = report(
        "scipy (list in, array out)",
        timed(lambda: witt_mao_scipy(l_list, re, rstar), repeat),
        points,
    )
    ns_scipy_array = report(
        "scipy (array in, array out)",
        timed(lambda: witt_mao_scipy(l_array, re, rstar), repeat),
        points,
    )
    report(
        "scipy (list in, list out)",
        timed(lambda: witt_mao_scipy(l_list, re, rstar).tolist(), repeat),
        points,
    )

    ours = np.asarray(caustrix.witt_mao_magnification(l_list, re, rstar))
    theirs = witt_mao_scipy(l_array, re, rstar)
    # Distance from the limb in Einstein radii; the closed form cancels badly
    # as it shrinks, so agreement is judged well away from it.
    d = np.abs(l_array * rho - rho)
    away = d >= 1e-2 * rho
    near = (d >= LIMB) & ~away
    on = d < LIMB
    print(f"  max relative difference, |x - 1| >= 1e-2: {max_relative_difference(ours, theirs, away):.3e}")
    print(f"  max relative difference, near the limb:   {max_relative_difference(ours, theirs, near):.3e}"
          f"  ({int(near.sum())} points)")
    print(f"  max relative difference, on the limb:     {max_relative_difference(ours, theirs, on):.3e}"
          f"  ({int(on.sum())} points)")
    agree = max_relative_difference(ours, theirs, away) <= 1e-10
    print(f"  agreement to 1e-10 away from the limb: {'yes' if agree else 'NO'}")

    print(
        f"witt_mao_magnification: {ns_caustrix:.1f} ns/point; scipy: {ns_scipy:.1f} ns/point"
        f" ({ns_scipy_array:.1f} from an array); ratio {ns_scipy / ns_caustrix:.1f}x"
    )


@section
def batched(points, repeat):
    """24 curves of 10^4 separations: one batched call on the worker pool
    against 24 sequential single-curve calls, and the pool's overhead for
    24 curves of one separation each."""
    re = [0.5, 1.0, 2.0, 4.0]
    rstar = [0.001, 0.003, 0.01, 0.03, 0.1, 0.3]
    pairs = [(a, b) for a in re for b in rstar]
    for n in (10_000, 1):
        l_list = np.linspace(0.0, 3.0, n).tolist()
        work = len(pairs) * n
        print(f"multi_witt_mao_magnification: {len(pairs)} pairs x {n} separations"
              f" ({os.cpu_count()} processors)")
        best_batch = timed(lambda: caustrix.multi_witt_mao_magnification(l_list, re, rstar),
                           repeat)
        best_seq = timed(lambda: [caustrix.witt_mao_magnification(l_list, a, b)
                                  for a, b in pairs], repeat)
        report("batched (pool)", best_batch, work)
        report("sequential single-curve calls", best_seq, work)
        assert caustrix.multi_witt_mao_magnification(l_list, re, rstar) == [
            caustrix.witt_mao_magnification(l_list, a, b) for a, b in pairs]
        print(f"  batched over sequential: {best_seq[0] / best_batch[0]:.2f}x faster"
              f"  (best {best_batch[0] * 1e6:.1f} us vs {best_seq[0] * 1e6:.1f} us per call)")
        # The result floats are made (and the previous result freed) on the
        # calling thread after the workers have finished, so that share of
        # the sequential time does not shrink with more workers.  The same
        # number of floats made and freed from a ready array of doubles
        # measures it, and bounds the attainable speed-up (Amdahl).
        ready = array.array("d", l_list)
        objects = timed(lambda: [ready.tolist() for _ in pairs], repeat)[0]
        workers = len(os.sched_getaffinity(0))
        compute = max(best_seq[0] - objects, 0.0)
        ceiling = best_seq[0] / (compute / workers + objects)
        print(f"  making and freeing the result floats: {objects * 1e6:.1f} us;"
              f" ceiling on {workers} processors: {ceiling:.2f}x")


@section
def limb_darkened(points, repeat):
    """Per-point cost of the profile-integrated curves, 10^3 separations over
    [0, 3], for rho = 0.01 (W1) and rho = 0.1 (W2)."""
    n = 1000
    l_list = np.linspace(0.0, 3.0, n).tolist()
    # A quadratic limb-darkening law tabulated at 12 radii.
    bl = [0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 1.0]
    mu = [(1 - r * r) ** 0.5 for r in bl]
    bf = [1 - 0.5 * (1 - m) - 0.2 * (1 - m) ** 2 for m in mu]
    for rho in (0.01, 0.1):
        print(f"profile-integrated curves: {n} separations over [0, 3], rho = {rho}")
        calls = [
            ("ring route, linear law", lambda: caustrix.integrated_heyrovsky_magnification(
                l_list, 1.0, rho)),
            ("disc route, linear law", lambda: caustrix.integrated_witt_mao_magnification(
                l_list, 1.0, rho)),
            ("ring route, flux map (12 radii)",
             lambda: caustrix.integrated_flux_map_heyrovsky_magnification(
                 l_list, 1.0, rho, bl, bf)),
            ("disc route, flux map (12 radii)",
             lambda: caustrix.integrated_flux_map_witt_mao_magnification(
                 l_list, 1.0, rho, bl, bf)),
            ("uniform disc, for scale", lambda: caustrix.witt_mao_magnification(
                l_list, 1.0, rho)),
        ]
        for label, call in calls:
            best, median = timed(call, max(1, repeat // 2))
            print(f"  {label:<34s} best {best / n * 1e6:8.2f} us/point"
                  f"   median {median / n * 1e6:8.2f} us/point")


class IteratedArray(np.ndarray):
    """The same float64 array, but as a subclass, so that caustrix takes the
    element-by-element iteration instead of reading the buffer."""


@section
def array_conversion(points, repeat):
    """Conversion alone of 10^6 separations from a float64 array: read
    through the buffer protocol, against iterating the same array (one numpy
    scalar per element) and against a list of floats.  The batched function
    with no pairs converts `l` and computes nothing."""
    n = max(points, 1_000_000)
    values = np.linspace(0.0, 3.0, n)
    iterated = values.view(IteratedArray)
    as_list = values.tolist()

    def convert(obj):
        return lambda: caustrix.multi_witt_mao_magnification(obj, [], [])

    print(f"conversion of {n} separations (multi_witt_mao_magnification with no pairs)")
    buffer = report("float64 array (buffer)", timed(convert(values), repeat), n)
    strided = report("strided float64 array (buffer)", timed(convert(values[::-2]), repeat),
                     len(values[::-2]))
    iterating = report("the array, iterated", timed(convert(iterated), repeat), n)
    listed = report("list of floats", timed(convert(as_list), repeat), n)
    print(f"  buffer over iteration: {iterating / buffer:.1f}x cheaper"
          f" (strided {iterating / strided:.1f}x; list {listed / buffer:.1f}x)")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("sections", nargs="*", metavar="section",
                        help="one of: " + ", ".join(SECTIONS) + " (default: all)")
    args = parser.parse_args(argv)
    unknown = [name for name in args.sections if name not in SECTIONS]
    if unknown:
        parser.error("unknown section(s): " + ", ".join(unknown))
    for name in args.sections or SECTIONS:
        SECTIONS[name](args.points, args.repeat)
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
