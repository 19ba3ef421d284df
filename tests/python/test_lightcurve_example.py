"""The README's main job, examples/lightcurve.py, at a small size: it writes
its plot and its curves show the finite-source effects they are meant to."""

from __future__ import annotations

import importlib.util
import pathlib

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "lightcurve.py"


def load():
    spec = importlib.util.spec_from_file_location("lightcurve_example", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_lightcurve_example(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    example = load()
    output = tmp_path / "curve.png"
    curves = example.main(["--points", "41", "--output", str(output)])
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert f"wrote {output}" in capsys.readouterr().out
    times, point = curves["times"], curves["point"]
    peak = times.index(0.0)
    for rho in example.RHOS:
        uniform, darkened = curves["uniform"][rho], curves["limb_darkened"][rho]
        # A source larger than the impact parameter flattens the peak below
        # the point source's, and the brighter centre of a limb-darkened
        # disc lifts it above the uniform disc's.
        if rho > example.U0:
            assert uniform[peak] < darkened[peak] < point[peak]
        # Far from the lens (many source radii) every source is a point.
        u_far = (example.U0 ** 2 + (times[0] / example.T_E) ** 2) ** 0.5
        assert abs(uniform[0] / point[0] - 1) < (rho / u_far) ** 2
        assert abs(darkened[0] / point[0] - 1) < (rho / u_far) ** 2
