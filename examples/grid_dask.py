"""A grid of limb-darkened light curves over impact parameter and source
radius, computed on a dask.distributed cluster of worker processes, as for a
library of templates against which survey events are matched; then the same
grid computed by a plain loop in this process, to show that the two agree
bit for bit (the magnification does not depend on where or in which order it
is computed).

A light curve is the magnification of a source of radius rho (Einstein
radii) with the linear limb darkening of coefficient 0.6, passing the lens at
impact parameter u0, at times tau = (t - t0) / tE.  A task is a row of the
grid, the curves of every source radius at one impact parameter: tens of
milliseconds of work each, against the scheduler's millisecond or so per task.

    python3 grid_dask.py [--u0 N] [--rho N] [--points N] [--workers N]
                         [--save PATH.npz]

Exits with status 1 if the two grids differ.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time

import numpy as np

U0_RANGE = (1e-3, 0.3)     # impact parameters, Einstein radii, spaced logarithmically
RHO_RANGE = (1e-3, 0.05)   # source radii, Einstein radii, spaced logarithmically
TAU_MAX = 0.5              # the curves span tau = -TAU_MAX .. TAU_MAX


def light_curve(u0, rho, tau):
    """Limb-darkened magnification along the track."""
    import caustrix

    u = np.hypot(u0, tau)
    # With re = 1, rstar = rho: separations in source radii are u / rho.
    return np.array(caustrix.integrated_heyrovsky_magnification((u / rho).tolist(), 1.0, rho))


def grid_row(u0, rho, tau):
    """The light curves at impact parameter u0 for every source radius in
    rho, and the id of the process that computed them."""
    return os.getpid(), np.stack([light_curve(u0, r, tau) for r in rho])


def axes(n_u0, n_rho, points):
    u0 = np.geomspace(*U0_RANGE, n_u0)
    rho = np.geomspace(*RHO_RANGE, n_rho)
    tau = np.linspace(-TAU_MAX, TAU_MAX, points)
    return u0, rho, tau


def distributed_grid(u0, rho, tau, workers):
    """The grid, one task per row, on a cluster of `workers`
    single-threaded processes; the ids of the processes that did the work; and
    the seconds taken to start the cluster and to compute."""
    from dask.distributed import Client, LocalCluster

    clock = time.perf_counter()
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        client.wait_for_workers(workers)
        started = time.perf_counter()
        # The axes go to the workers once, not with every task.
        [rho_future, tau_future] = client.scatter([rho, tau], broadcast=True)
        futures = client.map(grid_row, u0.tolist(), rho=rho_future, tau=tau_future, pure=False)
        results = client.gather(futures)
        finished = time.perf_counter()
    pids = {pid for pid, _ in results}
    grid = np.stack([row for _, row in results])
    return grid, pids, (started - clock, finished - started)


def serial_grid(u0, rho, tau):
    return np.stack([[light_curve(a, b, tau) for b in rho] for a in u0])


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--u0", type=int, default=24, help="impact parameters (default 24)")
    parser.add_argument("--rho", type=int, default=24, help="source radii (default 24)")
    parser.add_argument("--points", type=int, default=3001, help="points per light curve (default 3001)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--save", metavar="PATH", help="save the distributed grid and its axes (.npz)")
    args = parser.parse_args(argv)
    for name in ("u0", "rho", "points", "workers"):
        if getattr(args, name) < 1:
            parser.error(f"--{name} must be at least 1")
    return args


def main(argv=None):
    args = parse(argv)
    u0, rho, tau = axes(args.u0, args.rho, args.points)
    print(f"{u0.size} x {rho.size} light curves of {tau.size} points: "
          f"u0 {U0_RANGE[0]:g} .. {U0_RANGE[1]:g}, rho {RHO_RANGE[0]:g} .. {RHO_RANGE[1]:g}, "
          f"tau {-TAU_MAX:g} .. {TAU_MAX:g}")

    grid, pids, (start_seconds, distributed_seconds) = distributed_grid(u0, rho, tau, args.workers)
    elsewhere = "none of them" if os.getpid() not in pids else "one of them"
    print(f"on {args.workers} worker processes: {distributed_seconds:.2f} s, after "
          f"{start_seconds:.2f} s starting the cluster; computed by {len(pids)} processes, "
          f"{elsewhere} this one")

    clock = time.perf_counter()
    serial = serial_grid(u0, rho, tau)
    serial_seconds = time.perf_counter() - clock
    print(f"in this process: {serial_seconds:.2f} s")

    # Compare the bits: equal as floats is not enough (-0.0 == 0.0).
    differing = int(np.count_nonzero(grid.view(np.uint64) != serial.view(np.uint64)))
    identical = differing == 0
    print(f"values differing: {differing} of {grid.size}; largest difference "
          f"{np.max(np.abs(grid - serial)):.3g}; identical bit for bit: {'yes' if identical else 'NO'}")

    # The peak magnifications, for a few corners of the grid.
    peak = grid.max(axis=2)
    rows = sorted({0, u0.size // 2, u0.size - 1})
    columns = sorted({0, rho.size // 2, rho.size - 1})
    print("peak magnification (rows u0, columns rho)")
    print(f"{'':>10s}" + "".join(f"{rho[j]:>12.4g}" for j in columns))
    for i in rows:
        print(f"{u0[i]:>10.4g}" + "".join(f"{peak[i, j]:>12.4f}" for j in columns))

    if args.save:
        np.savez(args.save, u0=u0, rho=rho, tau=tau, grid=grid)
        print(f"wrote {args.save}")

    return {
        "u0": u0,
        "rho": rho,
        "tau": tau,
        "grid": grid,
        "serial": serial,
        "identical": identical,
        "worker_pids": pids,
        "pid": os.getpid(),
        "seconds": {"start": start_seconds, "distributed": distributed_seconds,
                    "serial": serial_seconds},
        "exit_code": 0 if identical else 1,
    }


if __name__ == "__main__":
    sys.exit(main()["exit_code"])
