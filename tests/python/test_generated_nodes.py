"""The generated tanh-sinh node table: the committed header is what the
generator makes, a stale header is caught, and every stored pair is the
nearest double to its node, recomputed here by a route and at a precision
of this test's own."""

from __future__ import annotations

import re
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import pytest

mpmath = pytest.importorskip("mpmath")
from mpmath import mp, mpf  # noqa: E402

# Checks of generated tables and their generators, not of the module.
pytestmark = pytest.mark.reference_data

REPO_ROOT = Path(__file__).resolve().parents[2]
GENERATOR = REPO_ROOT / "tools" / "gen_tanh_sinh_nodes.py"
HEADER = REPO_ROOT / "src" / "quadrature" / "node_table.hpp"


def run_generator(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(GENERATOR), *args],
                          capture_output=True, text=True, cwd=REPO_ROOT, timeout=120)


def test_committed_header_is_current():
    result = run_generator("--check")
    assert result.returncode == 0, result.stderr


def test_check_rejects_a_stale_header(tmp_path):
    stale = tmp_path / "node_table.hpp"
    # The t = 1 weight one ulp off: the check must fail and show the line.
    text = HEADER.read_text(encoding="utf-8")
    assert "0.23002239451478868," in text
    stale.write_text(text.replace("0.23002239451478868,", "0.2300223945147887,", 1), encoding="utf-8")
    result = run_generator(str(stale), "--check")
    assert result.returncode != 0
    assert "0.2300223945147887," in result.stderr


def test_every_pair_is_the_nearest_double():
    rows = re.findall(r"Node\{([^,]+), ([^}]+)\},\s*// t = (\d+)(?:/(\d+))?", HEADER.read_text(encoding="utf-8"))
    assert len(rows) == 192
    sizes = (3, 3, 6, 12, 24, 48, 96)
    start = 0
    with mp.workdps(40):
        for level, size in enumerate(sizes):
            h = Fraction(1, 2**level)
            expected_t = [Fraction(1), Fraction(2), Fraction(3)] if level == 0 else \
                [(2 * j + 1) * h for j in range(size)]
            for (w, x, num, den), t in zip(rows[start:start + size], expected_t):
                assert Fraction(int(num), int(den or 1)) == t
                tt = mpf(t.numerator) / t.denominator
                u = mp.pi / 2 * mpmath.sinh(tt)
                # 1 - tanh u = 2 / (exp(2u) + 1), free of cancellation near 1.
                want_x = 1 - 2 / (mpmath.exp(2 * u) + 1)
                want_w = mpf(h.numerator) / h.denominator * mp.pi / 2 * mpmath.cosh(tt) * mpmath.sech(u) ** 2
                assert float(x) == float(want_x), (level, t)
                assert float(w) == float(want_w), (level, t)
            start += size
    # The largest abscissa keeps the points of [0, 1] 2.15e-14 from its ends.
    assert max(float(x) for _, x, _, _ in rows) == 0.999999999999957


GAUSS_LEGENDRE = REPO_ROOT / "tools" / "gen_gauss_legendre.py"


def test_gauss_legendre_table_is_current():
    result = subprocess.run([sys.executable, str(GAUSS_LEGENDRE), "--check"],
                            capture_output=True, text=True, cwd=REPO_ROOT, timeout=300)
    assert result.returncode == 0, result.stderr
