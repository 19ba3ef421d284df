"""The speed figures the README quotes, against the figures caustrix aims at.

    python bench/targets.py [--quick] [--markdown]

Each row times one call shape as users make it and prints its cost per
point next to the aim and whether it is met:

  magnification, uniform      numpy array in and out, the W1 track of
                              report.py (rho = 0.01), one thread
  magnification, <law>        the same for every limb-darkening law at
                              typical coefficients
  witt_mao through lists      the classic function, list in, list out, W1
  integrated_* (classic)      the two classic limb-darkened functions, W1
  12-radius flux maps         the classic flux-map functions with report.py's
                              12-radius table, W1
  batched 24 x 10^4           multi_witt_mao_magnification for 24 source
                              sizes against 24 single calls of
                              witt_mao_magnification: the ratio of the times
  batched 24 x 1, 1 x 1       one-point curves: batch against single calls

Every argument list is made once, before the timing, for the batch as for
the single calls: making a one-element list costs about a fifth of a
one-point call, which would otherwise be charged to the batch alone.

The one-thread rows run in a child process held to one processor with a pool
of one thread; the batched rows in a child with every processor this process
may use (the ratio needs two free processors: on a busy machine it falls
towards 1).  Times are the best of R samples, each repeating the call until
it lasts 20 ms; the batched rows take 3R samples of each of the two calls
they compare, alternating between them.
"""

import argparse
import json
import math
import os
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

MIN_SAMPLE = 0.02
LAWS = [
    ("linear", (0.6,)),
    ("quadratic", (0.5, 0.2)),
    ("square-root", (0.3, 0.4)),
    ("logarithmic", (0.6, 0.2)),
    ("power-2", (0.6, 0.6)),
    ("nonlinear", (0.5, 0.1, 0.3, -0.1)),
]


def best_seconds(call, repeat):
    """Best time of one call over `repeat` samples of k calls each."""
    t0 = time.perf_counter()
    call()
    once = time.perf_counter() - t0
    k = max(1, math.ceil(MIN_SAMPLE / max(once, 1e-9)))
    best = math.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(k):
            call()
        best = min(best, (time.perf_counter() - t0) / k)
    return best


def best_seconds_interleaved(first, second, repeat):
    """Best times of two calls, their samples taken in turn (A B A B ...), so
    that a burst of load from elsewhere falls on both alike."""
    counts = []
    for call in (first, second):
        t0 = time.perf_counter()
        call()
        once = time.perf_counter() - t0
        counts.append(max(1, math.ceil(MIN_SAMPLE / max(once, 1e-9))))
    best = [math.inf, math.inf]
    for _ in range(repeat):
        for j, call in enumerate((first, second)):
            t0 = time.perf_counter()
            for _ in range(counts[j]):
                call()
            best[j] = min(best[j], (time.perf_counter() - t0) / counts[j])
    return best


def one_thread(points, repeat):
    """Per-point seconds of the single-thread rows (run in the child)."""
    import caustrix
    import report

    rho = 0.01
    l = report.track(rho, points)
    u = np.asarray(l) * rho
    per = {}
    per["magnification uniform"] = best_seconds(lambda: caustrix.magnification(u, rho), repeat)
    for law, c in LAWS:
        per["magnification " + law] = best_seconds(
            lambda: caustrix.magnification(u, rho, law, c), repeat)
    per["witt_mao through lists"] = best_seconds(
        lambda: caustrix.witt_mao_magnification(l, 1.0, rho), repeat)
    per["integrated_witt_mao"] = best_seconds(
        lambda: caustrix.integrated_witt_mao_magnification(l, 1.0, rho), repeat)
    per["integrated_heyrovsky"] = best_seconds(
        lambda: caustrix.integrated_heyrovsky_magnification(l, 1.0, rho), repeat)
    per["flux map witt_mao"] = best_seconds(
        lambda: caustrix.integrated_flux_map_witt_mao_magnification(l, 1.0, rho, report.BL,
                                                                    report.BF), repeat)
    per["flux map heyrovsky"] = best_seconds(
        lambda: caustrix.integrated_flux_map_heyrovsky_magnification(l, 1.0, rho, report.BL,
                                                                     report.BF), repeat)
    return {k: v / points for k, v in per.items()}


def batched(points, repeat):
    """Ratios single calls / batch (run in the child with every processor)."""
    import caustrix
    import report

    rho = 0.01
    sizes = [rho * (1 + k / 24) for k in range(24)]
    ones = [1.0]
    # A ratio of two wall times on a shared machine: the samples of the two
    # calls alternate, and there are three times as many as for the rows above.
    repeat *= 3
    ratios = {}
    for label, l in (("batched 24 x %d" % points, report.track(rho, points)),
                     ("batched 24 x 1", [0.5])):
        batch, single = best_seconds_interleaved(
            lambda: caustrix.multi_witt_mao_magnification(l, ones, sizes),
            lambda: [caustrix.witt_mao_magnification(l, 1.0, s) for s in sizes], repeat)
        ratios[label] = single / batch
    l = [0.5]
    sources = [rho]
    batch, single = best_seconds_interleaved(
        lambda: caustrix.multi_witt_mao_magnification(l, ones, sources),
        lambda: caustrix.witt_mao_magnification(l, 1.0, rho), repeat)
    ratios["batched 1 x 1"] = single / batch
    return ratios


def child(kind, points, repeat, processors):
    """Run one group of rows in a fresh interpreter with the given processors."""
    env = dict(os.environ)
    env["RAYON_NUM_THREADS"] = str(len(processors))
    # numpy (imported for the track) would otherwise start BLAS threads of
    # its own, which compete with the pool's for the same processors.
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    code = ("import json, os, sys; sys.path.insert(0, %r); os.sched_setaffinity(0, %r); "
            "import targets; print(json.dumps(targets.%s(%d, %d)))"
            % (HERE, sorted(processors), kind, points, repeat))
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def cost(seconds):
    ns = seconds * 1e9
    return "%.0f ns" % ns if ns < 1000 else "%.2f us" % (ns / 1000)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args(argv)
    points, batch_points, repeat = (400, 1000, 2) if args.quick else (4000, 10000, 5)
    processors = sorted(os.sched_getaffinity(0))
    per = child("one_thread", points, repeat, processors[:1])
    ratios = child("batched", batch_points, repeat, processors)

    aims = {"magnification uniform": 15e-9, "witt_mao through lists": 35e-9,
            "integrated_witt_mao": 1.5e-6, "integrated_heyrovsky": 1.5e-6,
            "flux map witt_mao": 3e-6, "flux map heyrovsky": 3e-6}
    rows = []
    for name, seconds in per.items():
        aim = aims.get(name, 300e-9)
        rows.append((name, cost(seconds), "<= " + cost(aim), "%.1fx" % (seconds / aim),
                     "yes" if seconds <= aim else "no"))
    for name, ratio in ratios.items():
        aim = 1.8 if name.startswith("batched 24 x") and name != "batched 24 x 1" else 1.0
        rows.append((name, "%.2fx over single calls" % ratio, ">= %.1fx" % aim, "",
                     "yes" if ratio >= aim else "no"))
    header = ("call", "measured", "aim", "measured / aim", "met")
    if args.markdown:
        print("| " + " | ".join(header) + " |")
        print("|---|---:|---:|---:|---|")
        for r in rows:
            print("| " + " | ".join(r) + " |")
    else:
        for r in rows:
            print("  ".join(str(x).ljust(24) for x in r))
    print()
    print("%d points of the W1 track (rho = 0.01) per one-thread row; batched rows on %d "
          "processor(s); best of %d." % (points, len(processors), repeat))


if __name__ == "__main__":
    main()
