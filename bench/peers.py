"""Peer table of the fitting API: per-point cost and worst relative error of
caustrix.magnification next to VBMicrolensing and MulensModel, on the two
light-curve workloads of report.py, for a uniform and two limb-darkened laws;
and one call on 10^6 points with the worker pool on two cores against one.

    python bench/peers.py [--points N] [--repeat R] [--reference K]
                          [--threads-points N] [--quick] [--markdown]

Workloads.  W1 (rho = 0.01) and W2 (rho = 0.1), the separations of
report.py's track: the lens passes the source centre at u0 = rho / 4, u(t) =
sqrt(u0^2 + t^2) Einstein radii, half the times spread over 0 <= t <= 3 and
half over 0 <= t <= 2 rho (the source crossing).  Each contender gets the
separations u as a numpy array (MulensModel gets the times t of the same
track, with t0 = 0, u0 = rho / 4, tE = 1, and forms u itself) and returns an
array of magnifications.

Laws.  uniform; linear I = 1 - 0.6 (1 - mu), the coefficient of the classic
limb-darkened functions; quadratic I = 1 - 0.5 (1 - mu) - 0.2 (1 - mu)^2, the
law tabulated by report.py's flux-map rows.

Contenders, each on one thread:
  caustrix          magnification(u, rho, law, coefficients), one call per
                    workload (the worker pool held to one thread);
  VBMicrolensing    ESPLMag2(u, rho) per point with its default tolerances,
                    the law set by SetLDprofile and the coefficients a1, a2;
  MulensModel       Model.get_magnification over the times, the named
                    finite-source method over the whole track, the linear
                    coefficient set by set_limb_coeff_u; it has no quadratic
                    law.  Methods Lee09 (uniform and LD) and Gould94 / Yoo04
                    (uniform / LD).
The peers are optional: a contender that is not installed is left out.

Cost: seconds per point, best of R samples after a warm-up call, each sample
repeating the call until it lasts 20 ms (a call that takes more than a
second is timed once).  In brackets, the cost over caustrix's for the same
law and workload.

Error: the largest relative error against an mpmath reference at the same
points of each track for every contender: K spread evenly over the sorted
separations, the nearest point either side of the limb, and the point where
each peer is furthest from caustrix.  Every reference value is computed
twice, over rings (Heyrovsky's closed form) and over discs (Witt and Mao's,
integrating by parts in mu), with the functions of
tools/gen_integrated_reference.py, and required to agree within 1e-16.
Diff: the largest relative difference from caustrix's value over all points
of the track.

Threads: caustrix.magnification on 10^6 points of the W2 track, uniform and
quadratic, in two child processes held to one and to two processors (their
affinity, and RAYON_NUM_THREADS), best of R (at most 3); the ratio of the two
times, and whether the two results are the same bits.
"""

import argparse
import hashlib
import os
import subprocess
import sys
import time
import warnings
from multiprocessing import Pool

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
import report  # noqa: E402

WORKLOADS = report.WORKLOADS
LAWS = (("uniform", ()), ("linear", (0.6,)), ("quadratic", (0.5, 0.2)))
# A call this long (seconds) is timed once: the machine's noise is small
# beside it, and repeating MulensModel's slowest method would take minutes.
SLOW = 1.0
# The two reference routes must agree far below the smallest error the table
# can show (a few ulps of caustrix's uniform disc).
AGREE = 1e-16
THREADS_RHO = 0.1          # the threads row runs on the W2 track
THREADS_LAWS = ("uniform", "quadratic")


# --------------------------------------------------------------------------
# The track


def track_times(rho, points):
    """Times (Einstein times from the closest approach) of report.py's track,
    in the order of increasing separation."""
    half = points // 2
    return np.sort(np.concatenate([np.linspace(0.0, 3.0, points - half),
                                   np.linspace(0.0, 2.0 * rho, half)]))


def separations(rho, t):
    """Lens-source separations (Einstein radii) at the times t of the track."""
    return np.hypot(0.25 * rho, t)


def subsample(u, rho, count):
    """Indices of the reference points: `count` spread evenly over the
    sorted track, and the point either side of the limb (u = rho) nearest
    to it."""
    picks = set(np.linspace(0, u.size - 1, count).round().astype(int).tolist()) if count else set()
    inside = np.flatnonzero(u < rho)
    outside = np.flatnonzero(u > rho)
    picks |= set(inside[-1:].tolist()) | set(outside[:1].tolist())
    return np.array(sorted(picks), dtype=int)


# --------------------------------------------------------------------------
# The mpmath reference


def law_terms(law, coefficients):
    """(I(mu), dI/dmu, int_0^1 mu I dmu) of a law, in mpmath numbers; the last
    is the flux over 2 pi."""
    from mpmath import mpf

    c = [mpf(x) for x in coefficients]
    if law == "uniform":
        return (lambda mu: mpf(1)), (lambda mu: mpf(0)), mpf(1) / 2
    if law == "linear":
        a, = c
        return (lambda mu: 1 - a * (1 - mu)), (lambda mu: a), mpf(1) / 2 - a / 6
    if law == "quadratic":
        a, b = c
        return ((lambda mu: 1 - a * (1 - mu) - b * (1 - mu) ** 2),
                (lambda mu: a + 2 * b * (1 - mu)), mpf(1) / 2 - a / 6 - b / 12)
    raise ValueError(f"no reference for the law {law!r}")


def by_rings(law, coefficients, rho, l):
    """A = int_0^1 2 r I(r) A_ring(r) dr / (2 int_0^1 mu I dmu), l in source radii."""
    import mpmath as mp
    from mpmath import mpf

    import gen_integrated_reference as gen

    brightness, _, half_flux = law_terms(law, coefficients)
    eps = 1 / mpf(rho)

    def integrand(r):
        d = r - l
        if d == 0 or r == 0:
            return mpf(0)
        return 2 * r * brightness(mp.sqrt((1 - r) * (1 + r))) * gen.ring(l, d, eps)

    edges = sorted({mpf(0), mpf(1)} | set(gen.cuts(l, rho)))
    return gen.quad(integrand, edges) / (2 * half_flux)


def by_discs(law, coefficients, rho, l):
    """The same by parts: with G(r) = r^2 A_disc(r), int 2 r I A_ring dr =
    I(mu = 0) G(1) + int_0^1 G(sqrt(1 - mu^2)) dI/dmu dmu, taken over mu,
    where the integrand has no singularity at the limb."""
    import mpmath as mp
    from mpmath import mpf

    import gen_integrated_reference as gen

    brightness, slope, half_flux = law_terms(law, coefficients)
    total = brightness(mpf(0)) * gen.disc_flux(rho, l, 1)
    if law != "uniform":
        mus = {mpf(0), mpf(1)} | {mp.sqrt((1 - r) * (1 + r)) for r in gen.cuts(l, rho)}
        gap = abs(1 - l)
        if 0 < gap < mpf("0.01"):
            # 1 - r = gap lies near mu = sqrt(2 gap): follow it in mu as well.
            mus |= {mp.sqrt(2 * gap) * mpf(10) ** k for k in range(-2, 9)}
        mus = sorted(m for m in mus if 0 <= m <= 1)
        total += gen.quad(lambda mu: gen.disc_flux(rho, l, mp.sqrt((1 - mu) * (1 + mu)))
                          * slope(mu), mus)
    return total / (2 * half_flux)


def reference(task):
    """(value, relative difference of the two routes) for (law, coefficients,
    rho, u), u and rho in Einstein radii."""
    import mpmath as mp
    from mpmath import mpf

    import gen_integrated_reference as gen

    law, coefficients, rho, u = task
    with mp.workdps(50):
        l = mpf(u) / mpf(rho)
    with mp.workdps(gen.working_dps(l)):
        rings = by_rings(law, coefficients, rho, l)
        discs = by_discs(law, coefficients, rho, l)
        agree = abs(discs / rings - 1)
    if agree > AGREE:
        raise ArithmeticError(f"reference routes differ by {float(agree):.1e} for {task}")
    return float(rings), float(agree)


def references(tasks, processes):
    if processes > 1 and len(tasks) > 1:
        with Pool(processes) as pool:
            return pool.map(reference, tasks, chunksize=1)
    return [reference(task) for task in tasks]


# --------------------------------------------------------------------------
# Contenders: name, note, {law: make(rho, t, u) -> call returning an array}


def caustrix_contender():
    import caustrix

    def make(law, coefficients):
        return lambda rho, t, u: (lambda: caustrix.magnification(u, rho, law, coefficients))

    laws = {law: make(law, c) for law, c in LAWS}
    return "caustrix", f"caustrix {caustrix.__version__} magnification()", laws


def vbm_contender():
    try:
        import VBMicrolensing
    except ImportError:
        return None
    from importlib.metadata import version

    vbm = VBMicrolensing.VBMicrolensing()
    profiles = {"uniform": vbm.LDlinear, "linear": vbm.LDlinear, "quadratic": vbm.LDquadratic}
    defaults = (vbm.Tol, vbm.RelTol)

    def make(law, coefficients):
        a = (list(coefficients) + [0.0, 0.0])[:2]

        def setup(rho, t, u):
            points = u.tolist()

            def call():
                vbm.SetLDprofile(profiles[law])
                vbm.a1, vbm.a2 = a
                return np.array([vbm.ESPLMag2(x, rho) for x in points])
            return call
        return setup

    laws = {law: make(law, c) for law, c in LAWS}
    note = (f"VBMicrolensing {version('VBMicrolensing')} ESPLMag2 per point, default "
            f"Tol = {defaults[0]:g}, RelTol = {defaults[1]:g}")
    return "VBMicrolensing", note, laws


def mulens_contender(label, methods):
    try:
        import MulensModel
    except ImportError:
        return None

    def make(law, coefficients, method):
        def setup(rho, t, u):
            model = MulensModel.Model({"t_0": 0.0, "u_0": 0.25 * rho, "t_E": 1.0, "rho": rho})
            model.set_magnification_methods([float(t[0]) - 1.0, method, float(t[-1]) + 1.0])
            if coefficients:
                model.set_limb_coeff_u("I", coefficients[0])

            def call():
                with warnings.catch_warnings():
                    # It warns of lost digits at large u: that loss is what
                    # the error columns measure.
                    warnings.simplefilter("ignore")
                    if coefficients:
                        return np.asarray(model.get_magnification(t, bandpass="I"))
                    return np.asarray(model.get_magnification(t))
            return call
        return setup

    coefficients = dict(LAWS)
    laws = {law: make(law, coefficients[law], method) for law, method in methods.items()}
    note = (f"MulensModel {MulensModel.__version__} ({label}) get_magnification: "
            + ", ".join(f"{law} {method}" for law, method in methods.items()))
    return f"MulensModel {label}", note, laws


def contenders():
    found = [caustrix_contender(), vbm_contender(),
             mulens_contender("Lee09", {"uniform": "finite_source_uniform_Lee09",
                                        "linear": "finite_source_LD_Lee09"}),
             mulens_contender("Gould94/Yoo04", {"uniform": "finite_source_uniform_Gould94",
                                                "linear": "finite_source_LD_Yoo04"})]
    return [c for c in found if c is not None]


# --------------------------------------------------------------------------
# Measuring


def seconds_and_values(call, repeat):
    """(best seconds per call, the call's result)."""
    t0 = time.perf_counter()
    values = np.asarray(call(), dtype=np.float64)
    once = time.perf_counter() - t0
    if once > SLOW:
        return once, values
    return report.seconds_per_call(call, repeat), values


def relative_error(values, exact):
    values, exact = np.asarray(values, dtype=np.float64), np.asarray(exact, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        error = np.abs(values - exact) / np.abs(exact)
    error[values == exact] = 0.0
    # A NaN from a contender is an error, not a number to skip.
    return float(np.max(np.where(np.isnan(error), np.inf, error))) if error.size else 0.0


def worst_points(results, law, label):
    """Where each peer differs most from caustrix on one law and workload."""
    ours = results[("caustrix", law, label)][1]
    picks = set()
    for (name, other_law, other_label), (_, values) in results.items():
        if name != "caustrix" and (other_law, other_label) == (law, label):
            with np.errstate(divide="ignore", invalid="ignore"):
                diff = np.abs(values - ours) / np.abs(ours)
            picks.add(int(np.argmax(np.where(np.isnan(diff), np.inf, diff))))
    return picks


def measure(points, repeat, count, processes):
    """{(contender, law, workload): (seconds per point, error, diff)}, the
    worst agreement of the reference routes, the number of reference points
    per law and workload and a note on each contender."""
    tracks = {}
    for label, rho in WORKLOADS:
        t = track_times(rho, points)
        tracks[label] = (rho, t, separations(rho, t))

    # The timings run on one thread on one processor.
    processors = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(processors)})
    timed = {}
    found = contenders()
    for name, _, laws in found:
        for law, _ in LAWS:
            for label, (rho, t, u) in tracks.items():
                if law in laws:
                    seconds, values = seconds_and_values(laws[law](rho, t, u), repeat)
                    timed[(name, law, label)] = (seconds / points, values)
    os.sched_setaffinity(0, processors)

    # Every contender is checked at the same points: those spread over the
    # track and next to the limb, and where any peer is furthest from
    # caustrix (so that a peer's worst point is not missed between them).
    picks = {(law, label): np.array(sorted(set(subsample(u, rho, count).tolist())
                                           | worst_points(timed, law, label)), dtype=int)
             for law, _ in LAWS for label, (rho, _, u) in tracks.items()}
    coefficients = dict(LAWS)
    tasks = [(law, coefficients[law], tracks[label][0], float(tracks[label][2][i]))
             for (law, label), where in picks.items() for i in where]
    values = references(tasks, processes)
    exact = {}
    for task, (value, _) in zip(tasks, values):
        exact.setdefault((task[0], task[2]), []).append(value)
    agreement = max((a for _, a in values), default=0.0)

    results = {}
    for (name, law, label), (seconds, values) in timed.items():
        ours = timed[("caustrix", law, label)][1]
        diff = None if name == "caustrix" else relative_error(values, ours)
        where = picks[(law, label)]
        error = relative_error(values[where], exact[(law, tracks[label][0])])
        results[(name, law, label)] = (seconds, error, diff)
    sizes = {key: int(where.size) for key, where in picks.items()}
    return results, agreement, sizes, [note for _, note, _ in found]


def pool_child(points, repeat, law):
    """In a child process: best seconds of one call on `points` separations
    of the threads track, and a digest of the result's bytes."""
    import caustrix

    coefficients = dict(LAWS)[law]
    u = separations(THREADS_RHO, track_times(THREADS_RHO, points))
    call = lambda: caustrix.magnification(u, THREADS_RHO, law, coefficients)
    best, _ = report.timed(call, repeat)
    digest = hashlib.sha256(call().tobytes()).hexdigest()
    print(f"{best!r} {digest}")


def pool_run(cores, points, repeat, law):
    """(seconds, digest) of pool_child held to `cores` processors."""
    cpus = sorted(os.sched_getaffinity(0))[:cores]
    env = dict(os.environ, RAYON_NUM_THREADS=str(cores))
    env.pop("RAYON_RS_NUM_CPUS", None)
    result = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--pool-child", str(points), str(repeat), law],
        capture_output=True, text=True, env=env, check=True,
        preexec_fn=lambda: os.sched_setaffinity(0, cpus))
    seconds, digest = result.stdout.split()
    return float(seconds), digest


def measure_threads(points, repeat):
    """{law: (1-core s, 2-core s, same bits)}, or None with fewer than two processors."""
    if len(os.sched_getaffinity(0)) < 2:
        return None
    out = {}
    # A 10^6-point call is long enough that three samples settle the best.
    repeat = min(repeat, 3)
    for law in THREADS_LAWS:
        one, bits_one = pool_run(1, points, repeat, law)
        two, bits_two = pool_run(2, points, repeat, law)
        out[law] = (one, two, bits_one == bits_two)
    return out


# --------------------------------------------------------------------------
# The table


def cost(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return report.cost(seconds)


def ratio(x):
    return f"{x:.1f}x" if x < 10 else f"{x:.0f}x"


def table(results):
    header = ["contender", "law"]
    for label, _ in WORKLOADS:
        header += [f"{label} per point", f"{label} error", f"{label} diff"]
    body = []
    for name in dict.fromkeys(name for name, _, _ in results):
        for law, _ in LAWS:
            if (name, law, WORKLOADS[0][0]) not in results:
                continue
            row = [name, law]
            for label, _ in WORKLOADS:
                seconds, error, diff = results[(name, law, label)]
                ours = results[("caustrix", law, label)][0]
                row.append(cost(seconds) if name == "caustrix"
                           else f"{cost(seconds)} ({ratio(seconds / ours)})")
                row.append(f"{error:.1e}")
                row.append("—" if diff is None else f"{diff:.1e}")
            body.append(row)
    return header, body


def print_markdown(header, body, lines):
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join(["---", "---"] + ["---:"] * (len(header) - 2)) + "|")
    for r in body:
        print("| " + " | ".join([f"`{r[0]}`"] + r[1:]) + " |")
    for line in lines:
        print()
        print(line)


def notes(points, repeat, count, sizes, agreement, contender_notes, threads, threads_points,
          elapsed):
    workloads = ", ".join(f"{label}: rho = {rho}" for label, rho in WORKLOADS)
    lines = [
        f"{points} separations per workload ({workloads}; the track of bench/report.py), "
        f"one thread on one processor, numpy array in and out, best of {repeat}; in brackets "
        "the cost over caustrix's for the same law and workload.",
        "Laws: linear 0.6; quadratic (0.5, 0.2).  error: largest relative error against "
        f"an mpmath reference at {min(sizes.values())} to {max(sizes.values())} points of "
        f"each track and law, the same for every contender: {count} spread evenly, the "
        "nearest either side of the limb and each peer's point furthest from caustrix; "
        "each value computed over rings and over discs, the two agreeing within "
        f"{max(agreement, 1e-300):.0e}.  diff: largest relative difference from caustrix "
        "over all points.",
    ]
    lines += contender_notes
    if threads is None:
        lines.append("threads: not measured (fewer than two processors).")
    else:
        for law, (one, two, same) in threads.items():
            lines.append(
                f"threads: {threads_points} points (W2 track, {law}) in one call: "
                f"{cost(one / threads_points)} per point on 1 core, "
                f"{cost(two / threads_points)} on 2 cores, {one / two:.2f}x; "
                f"the same bits: {'yes' if same else 'NO'}.")
    lines.append(f"Measured in {elapsed:.0f} s.")
    return lines


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--pool-child"]:
        pool_child(int(argv[1]), int(argv[2]), argv[3])
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=None,
                        help="separations per workload (default 4000; 400 with --quick)")
    parser.add_argument("--repeat", type=int, default=None,
                        help="timing samples, best taken (default 5; 2 with --quick)")
    parser.add_argument("--reference", type=int, default=None,
                        help="reference points spread over each track, besides the two "
                        "at the limb (default 10; 2 with --quick)")
    parser.add_argument("--threads-points", type=int, default=None,
                        help="separations of the threads row (default 10^6; 10^5 with --quick)")
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args(argv)
    points = args.points or (400 if args.quick else 4000)
    repeat = args.repeat or (2 if args.quick else 5)
    count = args.reference if args.reference is not None else (2 if args.quick else 10)
    threads_points = args.threads_points or (10**5 if args.quick else 10**6)
    if points < 8 or repeat < 1 or count < 0 or threads_points < 1:
        parser.error("--points must be at least 8, --repeat and --threads-points at least 1, "
                     "--reference at least 0")

    start = time.perf_counter()
    threads = measure_threads(threads_points, repeat)
    # The table's caustrix calls run on one thread: the pool is sized when
    # first used, after this.
    os.environ["RAYON_NUM_THREADS"] = "1"
    results, agreement, sizes, contender_notes = measure(points, repeat, count,
                                                         len(os.sched_getaffinity(0)))
    elapsed = time.perf_counter() - start
    header, body = table(results)
    lines = notes(points, repeat, count, sizes, agreement, contender_notes, threads,
                  threads_points, elapsed)
    if args.markdown:
        print_markdown(header, body, lines)
    else:
        report.print_plain(header, body, [""] + lines)
    return 0


if __name__ == "__main__":
    sys.exit(main())
