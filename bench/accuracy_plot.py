"""Plot the relative error of caustrix's uniform-disc and limb-darkened
magnifications against high-precision references, for rho = 0.01 and 0.1.

    python bench/accuracy_plot.py [--output accuracy.png]

Three panels, log-scale relative error with the double-precision epsilon
drawn across:

  (a) witt_mao_magnification against the Witt-Mao closed form at raised precision
      (closed_form() of
      tools/gen_disc_reference.py), separations 0 to 5 source
      radii;
  (b) the same near the limb, against |l - 1| from 1e-12 to 0.5, lens inside
      and outside the disc;
  (c) integrated_heyrovsky_magnification (ring route) and
      integrated_witt_mao_magnification (disc route), linear limb darkening
      c = 0.6, against the two-dimensional integration references of
      tests/data/profile_reference.txt (tools/gen_profile_reference.py), at
      the separations listed there.

An error of exactly zero is drawn at 1e-17.  Runs in about five seconds.
"""

import argparse
import os
import runpy
import sys
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import mpmath  # noqa: E402
import numpy as np  # noqa: E402

import caustrix  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from scipy_models import profile_reference  # noqa: E402

RHOS = (0.01, 0.1)
FLOOR = 1e-17
EPS = np.finfo(np.float64).eps
COLOURS = {0.01: "tab:blue", 0.1: "tab:orange"}


def disc_reference():
    """reference(x, rho): the uniform disc at the exact arguments, from the
    closed form at raised precision of the disc's reference generator."""
    path = os.path.join(HERE, os.pardir, "tools", "gen_disc_reference.py")
    closed_form = runpy.run_path(path)["closed_form"]
    return lambda x, rho: closed_form(rho, x)


def relative_errors(values, exact):
    err = np.array([float(abs((mpmath.mpf(v) - e) / e)) for v, e in zip(values, exact)])
    return np.maximum(err, FLOOR)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default="accuracy.png", help="PNG to write")
    args = parser.parse_args(argv)
    start = time.perf_counter()
    reference = disc_reference()

    fig, axes = plt.subplots(1, 3, figsize=(16, 5), constrained_layout=True)
    ax_a, ax_b, ax_c = axes

    # (a) and (b): the uniform disc.
    across = np.linspace(0.0, 5.0, 401)
    approach = 10.0 ** -np.arange(0.3, 12.01, 0.25)
    for rho in RHOS:
        colour = COLOURS[rho]
        values = caustrix.witt_mao_magnification(across.tolist(), 1.0, rho)
        err = relative_errors(values, [reference(x, rho) for x in across])
        ax_a.semilogy(across, err, ".", ms=3, color=colour, label=f"rho = {rho}")
        for side, marker, word in ((-1.0, "v", "inside"), (1.0, "^", "outside")):
            xs = (1.0 + side * approach).tolist()
            values = caustrix.witt_mao_magnification(xs, 1.0, rho)
            err = relative_errors(values, [reference(x, rho) for x in xs])
            ax_b.loglog(approach, err, marker, ms=4, color=colour, mfc="none" if side > 0 else colour,
                        label=f"rho = {rho}, lens {word}")

    # (c): linear limb darkening against the two-dimensional integration.
    rows, _ = profile_reference()
    rows = [row for row in rows if row[0] == "linear_0.6" and row[1] in RHOS]
    separations = sorted({l for _, _, l, _ in rows})
    position = {l: i for i, l in enumerate(separations)}
    for rho in RHOS:
        cases = sorted((l, v) for _, r, l, v in rows if r == rho)
        ls = [l for l, _ in cases]
        exact = [mpmath.mpf(v) for _, v in cases]
        x = np.array([position[l] for l in ls], dtype=float)
        for name, fn, marker, shift in (
                ("integrated_heyrovsky", caustrix.integrated_heyrovsky_magnification, "o", -0.12),
                ("integrated_witt_mao", caustrix.integrated_witt_mao_magnification, "s", 0.12)):
            err = relative_errors(fn(ls, 1.0, rho), exact)
            ax_c.semilogy(x + shift, err, marker, ms=5, color=COLOURS[rho],
                          mfc="none" if marker == "s" else COLOURS[rho],
                          label=f"{name}, rho = {rho}")
    ax_c.set_xticks(range(len(separations)))
    ax_c.set_xticklabels([f"{l:g}" for l in separations], rotation=60)

    for ax in axes:
        ax.axhline(EPS, color="k", ls="--", lw=1, label="double epsilon")
        ax.set_ylabel("relative error")
        # Headroom above the points for the legend.
        bottom, top = ax.get_ylim()
        ax.set_ylim(bottom, top * 300)
        ax.grid(True, which="major", alpha=0.3)
        ax.legend(fontsize=7, loc="upper left")
    ax_a.set_xlabel("separation l (source radii)")
    ax_a.set_title("(a) uniform disc, witt_mao_magnification\nagainst 40-digit mpmath closed form",
                   fontsize=10)
    ax_b.set_xlabel("|l - 1| (source radii)")
    ax_b.set_title("(b) uniform disc near the limb", fontsize=10)
    ax_c.set_xlabel("separation l (source radii)")
    ax_c.set_title("(c) linear limb darkening (c = 0.6) against\n"
                   "2-D integration (tests/data/profile_reference.txt)", fontsize=10)

    out = os.path.abspath(args.output)
    os.makedirs(os.path.dirname(out), exist_ok=True)
    fig.savefig(out, dpi=120)
    print(f"wrote {out} in {time.perf_counter() - start:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
