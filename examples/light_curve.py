"""A point-lens light curve of finite sources: a source passes behind the
lens with impact parameter u0 (Einstein radii), and its magnification is
computed for a uniformly bright disc and for a limb-darkened disc (the linear
law with coefficient 0.6), for several source radii.

Prints the curve and writes light_curve.png in the current directory.
"""

import math
import sys

import caustrix

U0 = 0.02          # impact parameter, Einstein radii
T_E = 20.0         # Einstein crossing time, days
RHOS = [0.005, 0.02, 0.05]   # source radius, Einstein radii
TIMES = [-1.5 + 3.0 * i / 600 for i in range(601)]   # days from closest approach


def separations(rho):
    """Lens-source separations along the track, in source radii."""
    return [math.hypot(U0, t / T_E) / rho for t in TIMES]


def main():
    # re and rstar share one length unit: take re = 1 so that rstar = rho.
    uniform = {rho: caustrix.witt_mao_magnification(separations(rho), 1.0, rho)
               for rho in RHOS}
    darkened = {rho: caustrix.integrated_heyrovsky_magnification(separations(rho), 1.0, rho)
                for rho in RHOS}
    point = [(u * u + 2) / (u * math.sqrt(u * u + 4))
             for u in (math.hypot(U0, t / T_E) for t in TIMES)]

    print(f"Point-lens magnification of finite sources, u0 = {U0}, tE = {T_E} d")
    print("uniform disc (U) and linear limb darkening 0.6 (LD)")
    print("t [d]     point    " + "".join(f"{'rho=' + format(rho, 'g'):<24s}" for rho in RHOS))
    print(" " * 19 + "".join(f"{'U':<12s}{'LD':<12s}" for _ in RHOS))
    for i in range(0, len(TIMES), 25):
        row = "".join(f"{uniform[rho][i]:<12.6f}{darkened[rho][i]:<12.6f}" for rho in RHOS)
        print(f"{TIMES[i]:+7.3f}  {point[i]:9.4f}  {row}")

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed; no plot written", file=sys.stderr)
        return
    fig, ax = plt.subplots(figsize=(8, 5))
    ax.plot(TIMES, point, color="0.6", ls=":", lw=1, label="point source")
    for rho, colour in zip(RHOS, ("C0", "C1", "C2")):
        ax.plot(TIMES, uniform[rho], color=colour, lw=1.5, label=f"uniform, rho = {rho:g}")
        ax.plot(TIMES, darkened[rho], color=colour, lw=1.5, ls="--",
                label=f"limb-darkened, rho = {rho:g}")
    ax.set_yscale("log")
    ax.set_xlabel("time from closest approach [days]")
    ax.set_ylabel("magnification")
    ax.set_title(f"Point-lens light curve of finite sources (u0 = {U0}, tE = {T_E} d)")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig("light_curve.png", dpi=120)
    print("wrote light_curve.png")


if __name__ == "__main__":
    main()
