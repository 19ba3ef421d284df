"""The examples' claims, at small sizes: the light curve shows the
finite-source effects and draws its plot; the two-band event fit recovers the
simulated parameters and each band's fluxes, reproducibly, with a cheap
far-field model that stays below the noise in both bands, and draws its plot;
the dask array of light curves computed block by block on worker processes
is the one-call grid computed here, bit for bit; and a type checker passes
the examples against the module's stubs."""

from __future__ import annotations

import contextlib
import importlib
import math
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import caustrix

pytest.importorskip("emcee")
pytest.importorskip("scipy")
pytest.importorskip("matplotlib")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
FIT_SIZE = ["--points", "300", "--walkers", "16", "--steps", "300", "--burn", "150"]
TINY_FIT = ["--points", "120", "--walkers", "8", "--steps", "25", "--burn", "5"]


@contextlib.contextmanager
def example(name):
    """The example script `name` imported as a module, for the time of a test."""
    sys.path.insert(0, str(EXAMPLES))
    try:
        yield importlib.import_module(name)
    finally:
        sys.path.remove(str(EXAMPLES))
        sys.modules.pop(name, None)


@pytest.fixture(scope="module")
def fit_event():
    with example("fit_event") as module:
        yield module


def test_lightcurve_example(tmp_path, capsys):
    with example("lightcurve") as lightcurve:
        output = tmp_path / "curve.png"
        curves = lightcurve.main(["--points", "41", "--output", str(output)])
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert f"wrote {output}" in capsys.readouterr().out
    times, point = curves["times"], curves["point"]
    peak = times.index(0.0)
    for rho in lightcurve.RHOS:
        uniform, darkened = curves["uniform"][rho], curves["limb_darkened"][rho]
        # A source larger than the impact parameter flattens the peak below
        # the point source's, and the brighter centre of a limb-darkened
        # disc lifts it above the uniform disc's.
        if rho > lightcurve.U0:
            assert uniform[peak] < darkened[peak] < point[peak]
        # Far from the lens (many source radii) every source is a point.
        u_far = (lightcurve.U0 ** 2 + (times[0] / lightcurve.T_E) ** 2) ** 0.5
        assert abs(uniform[0] / point[0] - 1) < (rho / u_far) ** 2
        assert abs(darkened[0] / point[0] - 1) < (rho / u_far) ** 2


@pytest.fixture(scope="module")
def fit(fit_event, tmp_path_factory):
    path = tmp_path_factory.mktemp("fit") / "event.png"
    return fit_event.main(FIT_SIZE + ["--plot", str(path)])


def test_fit_recovers_the_event(fit, fit_event):
    assert np.all(np.isfinite(fit["deviation"]))
    assert np.all(fit["lower"] > 0) and np.all(fit["upper"] > 0)
    assert np.max(np.abs(fit["deviation"])) < 4.0, fit["deviation"]
    assert fit["recovered"] and fit["exit_code"] == 0
    # The source is resolved: rho is measured, far from a point source.
    rho, rho_width = fit["median"][3], fit["lower"][3]
    assert rho / rho_width > 20
    # A good fit of data with honest errors, and fluxes near the simulated ones.
    assert abs(fit["chi2"] / fit["dof"] - 1) < 5 * math.sqrt(2 / fit["dof"])
    # Each band's fluxes near its simulated ones.
    assert set(fit["fluxes"]) == {"I", "V"}
    for name, (fs, fb) in fit["fluxes"].items():
        band = fit_event.BANDS[name]
        assert fs == pytest.approx(band.source_flux, rel=0.05), name
        assert fb == pytest.approx(band.blend_flux, abs=0.05), name
    assert 0.15 < fit["acceptance"] < 0.8


def test_fit_writes_the_plot(fit):
    data = Path(fit["plot"]).read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 10_000


def test_fit_is_reproducible_and_follows_the_seed(fit_event, tmp_path):
    def chain(seed, global_seed):
        # Whatever state numpy's global generator is left in by the caller.
        np.random.seed(global_seed)
        argv = TINY_FIT + ["--seed", str(seed), "--plot", str(tmp_path / f"{seed}.png")]
        return fit_event.main(argv)["chain"]

    saved = np.random.get_state()
    try:
        first, again, other = chain(7, 1), chain(7, 2), chain(8, 1)
    finally:
        np.random.set_state(saved)
    assert np.array_equal(first, again)
    assert not np.array_equal(first, other)


def test_far_field_uniform_disc_stays_below_the_noise(fit_event):
    data = fit_event.simulate(600, 20240611)
    t0, u0, te, rho = fit_event.TRUTH
    # In each band, the true event and smaller, fainter-peaked sources,
    # whose switch lies nearer the lens where the relative errors are
    # smallest.
    for name, (t, _, sigma) in data.items():
        band = fit_event.BANDS[name]
        for scale in (1.0, 0.3, 0.1):
            params = (t0, u0 * scale, te, rho * scale)
            l = np.hypot(params[1], (t - t0) / te) / params[3]
            assert np.count_nonzero(l > fit_event.L_SWITCH) > 50
            hybrid = fit_event.magnification(params, t, band.coefficients)
            darkened = fit_event.magnification(params, t, band.coefficients, switch=math.inf)
            near = l < fit_event.L_SWITCH
            assert np.array_equal(hybrid[near], darkened[near])
            shift = band.source_flux * np.abs(hybrid - darkened) / sigma
            assert shift.max() < 0.015, (name, scale)
            # The switch is taken: far from the lens the curves differ, once
            # the law's disc differs from the uniform one at all.
            law_is_darkened = (caustrix.magnification(0.0, 0.01, "quadratic", band.coefficients)
                               != caustrix.magnification(0.0, 0.01))
            assert shift.max() > 0 or not law_is_darkened, (name, scale)


def test_dask_grid_is_the_serial_grid(tmp_path):
    pytest.importorskip("distributed")
    saved = tmp_path / "grid.npz"
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "grid_dask.py"), "--u0", "3", "--rho", "4",
         "--points", "151", "--chunk-u0", "2", "--chunk-rho", "3", "--workers", "2",
         "--save", str(saved)],
        capture_output=True, text=True, cwd=tmp_path, timeout=180)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "identical bit for bit: yes" in result.stdout
    # Computed on the workers, not in the process that started them.
    assert re.search(r"computed by [12] processes, none of them this one", result.stdout)
    assert "Traceback" not in result.stderr, result.stderr

    # The saved grid against the magnifications computed here, curve by curve.
    with np.load(saved) as grid:
        u0, rho, tau, curves = grid["u0"], grid["rho"], grid["tau"], grid["grid"]
    assert curves.shape == (3, 4, 151)
    assert len(set(curves.max(axis=2).ravel())) == 12
    # Curve by curve, a single call with the example's law gives the same bits.
    with example("grid_dask") as grid_dask:
        law, coefficients = grid_dask.LAW, grid_dask.COEFFICIENTS
    for i, a in enumerate(u0):
        for j, r in enumerate(rho):
            here = caustrix.light_curve(tau, 0.0, a, 1.0, r, law, coefficients)
            assert np.array_equal(curves[i, j].view(np.uint64), here.view(np.uint64)), (a, r)


def test_dask_blocks_make_the_plain_grid_for_any_chunking():
    """Blocks of one curve, blocks that do not divide the axes and a single
    block covering the whole grid all give the one-call grid, bit for bit
    (computed here by dask's synchronous scheduler)."""
    pytest.importorskip("dask.array")
    with example("grid_dask") as grid_dask:
        u0, rho, tau = grid_dask.axes(5, 7, 33)
        plain = grid_dask.plain_grid(u0, rho, tau)
        assert plain.shape == (5, 7, 33)
        for chunk_u0, chunk_rho in ((1, 1), (2, 3), (5, 7), (9, 11)):
            lazy = grid_dask.dask_grid(u0, rho, tau, chunk_u0, chunk_rho)
            grid = lazy.compute(scheduler="synchronous")
            assert grid.tobytes() == plain.tobytes(), (chunk_u0, chunk_rho)


def test_exact_jacobian_fit_needs_fewer_evaluations_for_the_same_optimum():
    with example("fit_with_gradient") as module:
        outcome = module.main(["--points", "200", "--walkers", "16", "--steps", "150",
                               "--burn", "50"])
        truth = np.array(module.TRUTH)
    exact, differences = outcome["exact"], outcome["differences"]
    assert exact.success and differences.success
    # The same optimum, found with a fraction of the model evaluations.
    assert outcome["apart"] < 0.05
    assert outcome["exact_calls"] * 3 < outcome["difference_calls"]
    # The simulated parameters within 4 Fisher standard deviations, and the
    # posterior widths near the Fisher ones (a short chain: loosely).
    assert (np.abs(exact.x - truth) < 4 * outcome["fisher"]).all()
    ratio = outcome["widths"] / outcome["fisher"]
    assert (ratio > 0.5).all() and (ratio < 2).all(), ratio


def test_examples_pass_the_type_checker(tmp_path):
    """mypy on the examples, against the installed module's stubs (checking
    the bodies of unannotated functions too); the untyped third-party
    packages (emcee, scipy, dask) are taken as Any."""
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / ".mypy"),
         "--ignore-missing-imports", "--check-untyped-defs",
         *(str(EXAMPLES / name) for name in ("fit_event.py", "fit_with_gradient.py",
                                             "grid_dask.py", "lightcurve.py"))],
        cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
