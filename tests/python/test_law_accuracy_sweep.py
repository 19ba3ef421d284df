"""The accuracy sweep of the fitting function (tools/law_accuracy_sweep.py):
its double-precision second route is good enough to locate errors far below
the claims (against the committed mpmath references, for every law and the
whole grid, the limb and its neighbouring doubles included), and a quick run
completes and finds nothing above the claims on its sample."""

from __future__ import annotations

import subprocess
import sys

import pytest

from helpers import ROOT, load_tool

pytest.importorskip("mpmath")
np = pytest.importorskip("numpy")

sweep = load_tool("law_accuracy_sweep")
LAWS, ROWS = load_tool("gen_law_reference").read(ROOT / "tests" / "data" / "law_reference.txt")


def test_double_route_reproduces_the_references():
    # Every row of every darkened law and table: the route must stay well
    # below the smallest claim it is used to check (1e-10), at 1e-12.
    worst = (0.0, None)
    for label, rho, u, value, _ in ROWS:
        law, c = LAWS[label]
        if law == "uniform":
            continue
        got = sweep.double_route(law, c, rho, u)
        err = abs(got / float(value) - 1)
        if err > worst[0]:
            worst = (err, (label, rho, u))
    assert worst[0] < 1e-12, worst


@pytest.mark.parametrize("law, c", [("power-2", (1.0, 50.0)), ("quadratic", (0.4, 0.25))])
def test_double_route_tells_a_wrong_law_apart(law, c):
    # The route is not caustrix's value in disguise: a coefficient moved by
    # 1e-6 moves it by far more than its own error.
    rho, u = 0.05, 0.02
    a = sweep.double_route(law, c, rho, u)
    b = sweep.double_route(law, (c[0] + 1e-6,) + tuple(c[1:]), rho, u)
    assert abs(a / b - 1) > 1e-9


def test_quick_run(tmp_path):
    result = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "law_accuracy_sweep.py"), "--quick",
         "--laws", "quadratic,table", "--cache", str(tmp_path / "cache.jsonl")],
        capture_output=True, text=True, cwd=ROOT, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    for law in ("quadratic", "table"):
        assert f"{law}: claim 1e-10" in result.stdout
    assert "ABOVE THE CLAIM" not in result.stdout
    assert "mpmath stage, 2 points confirmed two ways" in result.stdout
