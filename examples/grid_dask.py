"""A grid of limb-darkened light curves over impact parameter and source
radius, as a dask array computed block by block on a dask.distributed cluster
of worker processes, as for a library of templates against which survey
events are matched; then the same grid from one plain call of
caustrix.light_curve in this process, to show that the two agree bit for bit
(the magnification does not depend on where, in which pieces or in which
order it is computed).

A light curve is the magnification of a source of radius rho (Einstein
radii) with the quadratic limb darkening a = 0.40, b = 0.26, passing the lens
at impact parameter u0, at times tau = (t - t0) / tE.  The grid is the
broadcast of three axes, u0 (rows), rho (columns) and tau, each a dask array
cut into chunks; dask.array.map_blocks calls caustrix.light_curve on each
block of the broadcast, and a task is one block: --chunk-u0 impact
parameters by --chunk-rho source radii, whole light curves.

    python3 grid_dask.py [--u0 N] [--rho N] [--points N] [--chunk-u0 N]
                         [--chunk-rho N] [--workers N] [--save PATH.npz]

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
LAW = "quadratic"
COEFFICIENTS = (0.40, 0.26)


def light_curves(tau, u0, rho):
    """The curves of one block: tau, u0 and rho broadcast against each other."""
    import caustrix

    return caustrix.light_curve(tau, 0.0, u0, 1.0, rho, LAW, COEFFICIENTS)


def axes(n_u0, n_rho, points):
    u0 = np.geomspace(*U0_RANGE, n_u0)
    rho = np.geomspace(*RHO_RANGE, n_rho)
    tau = np.linspace(-TAU_MAX, TAU_MAX, points)
    return u0, rho, tau


def dask_grid(u0, rho, tau, chunk_u0, chunk_rho):
    """The grid as a lazy dask array of shape (u0, rho, tau)."""
    import dask.array as da

    u0_axis = da.from_array(u0[:, None, None], chunks=(chunk_u0, 1, 1))
    rho_axis = da.from_array(rho[None, :, None], chunks=(1, chunk_rho, 1))
    tau_axis = da.from_array(tau[None, None, :], chunks=(1, 1, tau.size))
    return da.map_blocks(light_curves, tau_axis, u0_axis, rho_axis, dtype=np.float64)


def distributed_grid(grid, workers):
    """The dask array computed on a cluster of `workers` single-threaded
    processes; the ids of the processes that computed its blocks; and the
    seconds taken to start the cluster and to compute."""
    from dask.distributed import Client, LocalCluster, get_task_stream

    clock = time.perf_counter()
    # One thread per worker process, for caustrix's own pool too: the
    # processes share the machine's cores between them.
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR,
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, \
            Client(cluster) as client:
        client.wait_for_workers(workers)
        started = time.perf_counter()
        with get_task_stream(client) as stream:
            values = grid.compute()
        finished = time.perf_counter()
        pids = client.run(os.getpid)
        # A block's key is (name, i, j, k), its name that of the function.
        computed_by = {pids[task["worker"]] for task in stream.data
                       if isinstance(task["key"], tuple)
                       and str(task["key"][0]).startswith("light_curves-")}
    return values, computed_by, (started - clock, finished - started)


def plain_grid(u0, rho, tau):
    """The grid from one call, numpy broadcasting the three axes."""
    return light_curves(tau[None, None, :], u0[:, None, None], rho[None, :, None])


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--u0", type=int, default=24, help="impact parameters (default 24)")
    parser.add_argument("--rho", type=int, default=24, help="source radii (default 24)")
    parser.add_argument("--points", type=int, default=3001, help="points per light curve (default 3001)")
    parser.add_argument("--chunk-u0", type=int, default=4, help="impact parameters per block (default 4)")
    parser.add_argument("--chunk-rho", type=int, default=8, help="source radii per block (default 8)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--save", metavar="PATH", help="save the distributed grid and its axes (.npz)")
    args = parser.parse_args(argv)
    for name in ("u0", "rho", "points", "chunk_u0", "chunk_rho", "workers"):
        if getattr(args, name) < 1:
            parser.error(f"--{name.replace('_', '-')} must be at least 1")
    return args


def main(argv=None):
    args = parse(argv)
    u0, rho, tau = axes(args.u0, args.rho, args.points)
    print(f"{u0.size} x {rho.size} light curves of {tau.size} points: "
          f"u0 {U0_RANGE[0]:g} .. {U0_RANGE[1]:g}, rho {RHO_RANGE[0]:g} .. {RHO_RANGE[1]:g}, "
          f"tau {-TAU_MAX:g} .. {TAU_MAX:g}; {LAW} limb darkening {COEFFICIENTS}")

    lazy = dask_grid(u0, rho, tau, args.chunk_u0, args.chunk_rho)
    print(f"dask array {lazy.shape}, {lazy.npartitions} blocks of up to "
          f"{args.chunk_u0} x {args.chunk_rho} curves")
    grid, pids, (start_seconds, distributed_seconds) = distributed_grid(lazy, args.workers)
    elsewhere = "none of them" if os.getpid() not in pids else "one of them"
    print(f"on {args.workers} worker processes: {distributed_seconds:.2f} s, after "
          f"{start_seconds:.2f} s starting the cluster; computed by {len(pids)} processes, "
          f"{elsewhere} this one")

    clock = time.perf_counter()
    plain = plain_grid(u0, rho, tau)
    plain_seconds = time.perf_counter() - clock
    print(f"in this process, one call: {plain_seconds:.2f} s")

    # Compare the bits: equal as floats is not enough (-0.0 == 0.0).
    differing = int(np.count_nonzero(grid.view(np.uint64) != plain.view(np.uint64)))
    identical = differing == 0 and grid.shape == plain.shape
    print(f"values differing: {differing} of {grid.size}; largest difference "
          f"{np.max(np.abs(grid - plain)):.3g}; identical bit for bit: {'yes' if identical else 'NO'}")

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
        "plain": plain,
        "identical": identical,
        "worker_pids": pids,
        "pid": os.getpid(),
        "seconds": {"start": start_seconds, "distributed": distributed_seconds,
                    "plain": plain_seconds},
        "exit_code": 0 if identical else 1,
    }


if __name__ == "__main__":
    sys.exit(main()["exit_code"])
