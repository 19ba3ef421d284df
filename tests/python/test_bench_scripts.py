"""The benchmark report and the accuracy plot still run (at their smallest
size; their timings are read by people, never asserted here)."""

from __future__ import annotations

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
