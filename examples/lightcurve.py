"""A point-lens light curve of finite sources.

A source passes behind the lens with impact parameter u0 (Einstein radii);
its magnification is computed with caustrix.light_curve for a uniformly
bright disc and for a limb-darkened disc (the quadratic law with
coefficients typical of a solar-type star in the I band), for several source
radii rho (Einstein radii), next to the point-source curve.  Prints the
curves and writes a plot (light_curve.png in the current directory unless
--output says otherwise).

    python examples/lightcurve.py [--points N] [--output PATH]
"""

import argparse
import math
import sys

import caustrix

U0 = 0.02                    # impact parameter, Einstein radii
T_E = 20.0                   # Einstein crossing time, days
RHOS = [0.005, 0.02, 0.05]   # source radii, Einstein radii
HALF_WIDTH = 1.5             # days either side of the closest approach
LAW = ("quadratic", (0.40, 0.26))   # I = 1 - a (1 - mu) - b (1 - mu)^2


def point_source(u):
    """The point-source magnification at lens distance u (Einstein radii)."""
    return (u * u + 2) / (u * math.sqrt(u * u + 4))


def light_curves(times):
    """Uniform and limb-darkened curves for each rho, and the point source."""
    track = [math.hypot(U0, t / T_E) for t in times]
    uniform, darkened = {}, {}
    for rho in RHOS:
        # Times in days, t0 = 0 at the closest approach.
        uniform[rho] = caustrix.light_curve(times, 0.0, U0, T_E, rho)
        darkened[rho] = caustrix.light_curve(times, 0.0, U0, T_E, rho, *LAW)
    return uniform, darkened, [point_source(u) for u in track]


def print_table(times, uniform, darkened, point, rows=25):
    print(f"Point-lens magnification of finite sources, u0 = {U0}, tE = {T_E} d")
    print(f"uniform disc (U) and the {LAW[0]} limb-darkening law {LAW[1]} (LD)")
    print("t [d]     point    " + "".join(f"{'rho=' + format(rho, 'g'):<24s}" for rho in RHOS))
    print(" " * 19 + "".join(f"{'U':<12s}{'LD':<12s}" for _ in RHOS))
    step = max(1, (len(times) - 1) // (rows - 1))
    for i in range(0, len(times), step):
        row = "".join(f"{uniform[rho][i]:<12.6f}{darkened[rho][i]:<12.6f}" for rho in RHOS)
        print(f"{times[i]:+7.3f}  {point[i]:9.4f}  {row}")


def plot(times, uniform, darkened, point, output):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5))
    ax.plot(times, point, color="0.6", ls=":", lw=1, label="point source")
    for rho, colour in zip(RHOS, ("C0", "C1", "C2")):
        ax.plot(times, uniform[rho], color=colour, lw=1.5, label=f"uniform, rho = {rho:g}")
        ax.plot(times, darkened[rho], color=colour, lw=1.5, ls="--",
                label=f"limb-darkened, rho = {rho:g}")
    ax.set_yscale("log")
    ax.set_xlabel("time from closest approach [days]")
    ax.set_ylabel("magnification")
    ax.set_title(f"Point-lens light curve of finite sources (u0 = {U0}, tE = {T_E} d)")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(output, dpi=120)
    plt.close(fig)
    print(f"wrote {output}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=601, help="epochs along the track")
    parser.add_argument("--output", default="light_curve.png", help="where the plot goes")
    args = parser.parse_args(argv)
    n = max(args.points, 2)
    times = [-HALF_WIDTH + 2 * HALF_WIDTH * i / (n - 1) for i in range(n)]
    uniform, darkened, point = light_curves(times)
    print_table(times, uniform, darkened, point)
    try:
        plot(times, uniform, darkened, point, args.output)
    except ImportError:
        print("matplotlib is not installed; no plot written", file=sys.stderr)
    return {"times": times, "uniform": uniform, "limb_darkened": darkened, "point": point}


if __name__ == "__main__":
    main()
