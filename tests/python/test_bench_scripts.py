"""The benchmark report and the accuracy plot still run (at their smallest
size; their timings are read by people, never asserted here)."""

from __future__ import annotations

import math
import os
import pathlib
import subprocess
import sys

import pytest

import caustrix

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench"


def run(*args):
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True,
                          cwd=BENCH)


def test_report_has_a_row_per_function():
    pytest.importorskip("scipy")
    result = run(BENCH / "report.py", "--quick", "--markdown")
    assert result.returncode == 0, result.stderr
    rows = [line for line in result.stdout.splitlines() if line.startswith("| `")]
    assert sorted(row.split("`")[1] + "_magnification" for row in rows) == sorted(
        caustrix.__all__)


def test_accuracy_plot_is_written(tmp_path):
    pytest.importorskip("matplotlib")
    output = tmp_path / "accuracy.png"
    result = run(BENCH / "accuracy_plot.py", "--output", output)
    assert result.returncode == 0, result.stderr
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_peer_table_runs_and_its_reference_holds_caustrix():
    """A tiny run of the peer table: a row per law for caustrix (and for each
    peer that is installed), the uniform disc within 1e-13 of the script's
    mpmath reference (a wrong reference or a wrong track would show there),
    and the pool's results the same bits on one core and on two."""
    pytest.importorskip("numpy")
    pytest.importorskip("mpmath")
    result = run(BENCH / "peers.py", "--points", "40", "--repeat", "1", "--reference", "0",
                 "--threads-points", "2000", "--markdown")
    assert result.returncode == 0, result.stderr
    rows = [line.split("|")[1:-1] for line in result.stdout.splitlines()
            if line.startswith("| `")]
    cells = {(r[0].strip(" `"), r[1].strip()): [c.strip() for c in r[2:]] for r in rows}
    assert {law for name, law in cells if name == "caustrix"} == {
        "uniform", "linear", "quadratic"}
    uniform = cells[("caustrix", "uniform")]
    assert float(uniform[1]) < 1e-13 and float(uniform[4]) < 1e-13, uniform
    for (name, law), row in cells.items():
        errors = [float(row[1]), float(row[4])]
        assert all(e >= 0 and math.isfinite(e) for e in errors), (name, law, row)
    threads = [line for line in result.stdout.splitlines() if line.startswith("threads:")]
    if len(os.sched_getaffinity(0)) > 1:
        assert len(threads) == 2 and all("the same bits: yes" in line for line in threads)


def test_peer_track_is_the_report_track():
    import numpy as np

    peers = peers_module()
    report = sys.modules["report"]
    for _, rho in report.WORKLOADS:
        u = peers.separations(rho, peers.track_times(rho, 1000))
        assert np.allclose(u / rho, report.track(rho, 1000), rtol=4e-16, atol=0)
        picks = peers.subsample(u, rho, 5)
        # The reference points include the last one inside the limb and the
        # first one outside it.
        assert u[picks].min() == u[0] and u[picks].max() == u[-1]
        assert u[picks][u[picks] < rho].max() == u[u < rho].max()
        assert u[picks][u[picks] > rho].min() == u[u > rho].min()


def peers_module():
    sys.path.insert(0, str(BENCH))
    try:
        import peers
    finally:
        sys.path.remove(str(BENCH))
    return peers


def test_peer_reference_law_sets_the_far_field():
    """Far from a small source a law enters the magnification through its
    mean square radius <r^2> only: A - A_uniform = rho^2 (<r^2> - 1/2) / 4
    times the Laplacian of the point-lens curve, to relative order
    (rho / u)^2.  Checks the reference's brightness, coefficient order and
    flux for the linear and the quadratic law against that, with <r^2> from
    a plain quadrature."""
    mp = pytest.importorskip("mpmath")
    peers = peers_module()
    rho, u = 0.01, 0.3

    def point(x):
        return (x * x + 2) / (x * mp.sqrt(x * x + 4))

    with mp.workdps(30):
        laplacian = mp.diff(point, u, 2) + mp.diff(point, u, 1) / u
    uniform, _ = peers.reference(("uniform", (), rho, u))
    for law, (a, b) in (("linear", (0.6, 0.0)), ("quadratic", (0.5, 0.2))):
        brightness = lambda m: 1 - a * (1 - m) - b * (1 - m) ** 2
        mean_r2 = (mp.quad(lambda m: m * (1 - m * m) * brightness(m), [0, 1])
                   / mp.quad(lambda m: m * brightness(m), [0, 1]))
        expected = float(rho**2 / 4 * (mean_r2 - 0.5) * laplacian)
        coefficients = (a,) if law == "linear" else (a, b)
        value, _ = peers.reference((law, coefficients, rho, u))
        assert abs((value - uniform) / expected - 1) < 1e-2, (law, value - uniform, expected)


def test_peer_error_metric_never_hides_a_bad_value():
    """A NaN from a contender is the worst error, not a value skipped; equal
    values (infinities included) are no error; and the point a peer is
    furthest from caustrix, a NaN included, joins the reference points."""
    import numpy as np

    peers = peers_module()
    exact = np.array([1.0, 2.0, np.inf, 4.0])
    assert peers.relative_error([1.0, 2.0, np.inf, 4.0], exact) == 0.0
    assert peers.relative_error([1.0, 2.0 * (1 + 1e-9), np.inf, 4.0], exact) == pytest.approx(1e-9)
    assert peers.relative_error([1.0, np.nan, np.inf, 4.0], exact) == np.inf
    ours = np.array([1.0, 2.0, 3.0, 4.0])
    timed = {("caustrix", "linear", "W1"): (1e-6, ours),
             ("peer", "linear", "W1"): (1e-6, np.array([1.0, 2.001, 3.0, 4.0])),
             ("other", "linear", "W1"): (1e-6, np.array([1.0, 2.0, 3.0, np.nan])),
             ("other", "linear", "W2"): (1e-6, np.array([9.0, 2.0, 3.0, 4.0]))}
    assert peers.worst_points(timed, "linear", "W1") == {1, 3}


def test_peer_reference_is_the_classic_limb_darkened_disc():
    """The reference's linear law is the classic functions' (coefficient
    0.6, normalised by its flux), inside the source and far from it."""
    pytest.importorskip("mpmath")
    peers = peers_module()
    for rho, l in ((0.1, 0.5), (0.01, 40.0)):
        value, agree = peers.reference(("linear", (0.6,), rho, l * rho))
        classic = caustrix.integrated_witt_mao_magnification([l], 1.0, rho)[0]
        assert agree < 1e-16
        assert abs(value / classic - 1) < 1e-12, (rho, l, value, classic)


def test_targets_cover_every_darkening_law_and_the_batches():
    # Each law the fitting function offers (the table apart) has a row, so a
    # law added later is not left out of the speed figures.
    result = run(BENCH / "targets.py", "--quick", "--markdown")
    assert result.returncode == 0, result.stderr
    names = {line.split(" | ")[0].lstrip("| ") for line in result.stdout.splitlines()
             if line.startswith("| ") and not line.startswith("| call")}
    sys.path.insert(0, str(BENCH))
    try:
        import targets
    finally:
        sys.path.remove(str(BENCH))
    assert {"magnification " + law for law, _ in targets.LAWS} <= names
    assert {"magnification uniform", "batched 24 x 1", "batched 1 x 1"} <= names
    laws = {"linear", "quadratic", "square-root", "logarithmic", "power-2", "nonlinear"}
    assert {law for law, _ in targets.LAWS} == laws
