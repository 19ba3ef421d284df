"""A limb-darkened source far from the lens (8 source radii and more): the
mean-value series of the point lens against tests/data/far_field_reference.txt
(every law at typical and extreme coefficients, rho 1e-8 to 1e3, x = u/rho 8
to 1e10, each excess computed two independent ways), its derivatives, its
meeting with the quadrature at the threshold, the ends of the range, and
the committed files against their generators."""

from __future__ import annotations

import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

mpmath = pytest.importorskip("mpmath")
from mpmath import mpf  # noqa: E402

import caustrix  # noqa: E402
from helpers import load_tool  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parents[2]
DATA = REPO_ROOT / "tests" / "data" / "far_field_reference.txt"
TABLE = REPO_ROOT / "src" / "models" / "limb_law_far_field_table.hpp"

GEN = load_tool("gen_far_field_reference")
ROWS = GEN.read(DATA)
LAW_OF = GEN.LAW_OF

# What the series claims: A within 1e-15 relative (a few ulps) whatever
# the excess, and the excess itself within 1e-14 where A carries it.
OF_A = 1e-15
OF_EXCESS = 1e-14
# The derivatives within 1e-13 of themselves (they are the series'
# own, term by term).
SLOPE = 1e-13

LAWS = [("linear", (0.6,)), ("quadratic", (0.4, 0.25)), ("square-root", (0.25, 0.55)),
        ("logarithmic", (0.75, 0.2)), ("power-2", (0.65, 0.6)),
        ("nonlinear", (0.5, 0.1, 0.2, -0.1)), ("power-2", (1.0, 0.05)),
        ("nonlinear", (1.5, -2.0, 2.2, -0.9))]

# The threshold and the separations (source radii) from which fewer terms
# are kept.
THRESHOLD = 8.0
TIER_STARTS = (32.0, 256.0, 1000.0, 1e5)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape
    assert a.tobytes() == b.tobytes(), np.flatnonzero(a.view(np.int64) != b.view(np.int64))


def grouped():
    """The rows by label, as arrays for one call per coefficient set."""
    groups = {}
    for row in ROWS:
        groups.setdefault(row[0], []).append(row)
    return groups


@pytest.mark.reference_data
class TestReferenceData:
    def test_grid_spans_the_claimed_range(self):
        xs = [u / rho for _, rho, u, *_ in ROWS]
        rhos = [rho for _, rho, *_ in ROWS]
        assert min(xs) == pytest.approx(8) and max(xs) == pytest.approx(1e10)
        assert min(rhos) == 1e-8 and max(rhos) == 1e3
        assert {LAW_OF[label][0] for label, *_ in ROWS} == {
            "linear", "quadratic", "square-root", "logarithmic", "power-2", "nonlinear"}

    def test_the_two_routes_agreed(self):
        assert all(0 <= row[-1] <= 1e-18 for row in ROWS)

    def test_far_end_is_the_point_lens_with_its_first_correction(self):
        # At 1e10 source radii A - 1 = (f - 1)(1 + O(x^-2)): an independent
        # check of the file's scale, from f alone.
        checked = 0
        for label, rho, u, excess, *_ in ROWS:
            if u / rho < 1e9:
                continue
            with mpmath.workdps(30):
                v = mpf(u)
                f1 = 4 / (v * mpmath.sqrt(v * v + 4) * (v * v + 2 + v * mpmath.sqrt(v * v + 4)))
                assert abs(excess / f1 - 1) < 1e-18, (label, rho, u)
            checked += 1
        assert checked >= 14


@pytest.mark.parametrize("label", sorted(grouped()))
def test_values_against_the_reference(label):
    law, c = LAW_OF[label]
    rows = grouped()[label]
    u = np.array([r[2] for r in rows])
    rho = np.array([r[1] for r in rows])
    got = caustrix.magnification(u, rho, law, c)
    worst = 0.0
    for a, (_, r, x, excess, *_) in zip(got, rows):
        exact = 1 + excess
        err = float(abs((mpf(a) - exact) / exact))
        assert err <= OF_A, (label, r, x, err)
        assert a >= 1
        if excess > 1e-3:
            e = float(abs((mpf(a) - 1 - excess) / excess))
            assert e <= OF_EXCESS, (label, r, x, e)
        worst = max(worst, err)
    print(f"{label}: worst relative error of A {worst:.2e}")


def slope_error(got, exact, scale):
    """The error in units of the budget: relative, or of A's scale where the
    derivative itself is below the doubles' reach (1e-300)."""
    return float(abs(mpf(got) - exact) / max(abs(exact) * SLOPE, mpf(10) ** -300 * scale))


@pytest.mark.parametrize("label", sorted(grouped()))
def test_derivatives_against_the_reference(label):
    law, c = LAW_OF[label]
    rows = grouped()[label]
    u = np.array([r[2] for r in rows])
    rho = np.array([r[1] for r in rows])
    a, du, drho, dc = caustrix.magnification_and_gradient(u, rho, law, c)
    same_bits(a, caustrix.magnification(u, rho, law, c))
    for i, (_, r, x, excess, d_u, d_rho, d_c, _) in enumerate(rows):
        assert slope_error(du[i], d_u, 1) <= 1, (label, r, x, float(du[i]), float(d_u))
        assert slope_error(drho[i], d_rho, 1) <= 1, (label, r, x, float(drho[i]), float(d_rho))
        for k, want in enumerate(d_c):
            assert slope_error(dc[i, k], want, 1) <= 1, (label, r, x, k, float(dc[i, k]), float(want))


class TestMeetings:
    @pytest.mark.parametrize("law, c", LAWS)
    @pytest.mark.parametrize("rho", [1e-6, 0.01, 1.0, 30.0])
    def test_the_series_meets_the_quadrature_at_the_threshold(self, law, c, rho):
        # Just inside the threshold the quadrature (good to 1e-12 or so) and
        # at it the series: they must agree to the quadrature's accuracy.
        u_in = math.nextafter(THRESHOLD * rho, 0) * np.ones(1)
        inside = caustrix.magnification(u_in, rho, law, c)[0]
        at = caustrix.magnification(np.array([THRESHOLD * rho]), rho, law, c)[0]
        assert abs(at / inside - 1) <= 1e-12, (at, inside)

    @pytest.mark.parametrize("law, c", LAWS)
    @pytest.mark.parametrize("x", TIER_STARTS)
    def test_fewer_terms_farther_out_change_nothing_visible(self, law, c, x):
        # Where the series drops terms, the value on either side of the cut
        # differs by no more than rounding.
        for rho in (1e-8, 1e-3, 1.0):
            u = x * rho
            pair = caustrix.magnification(np.array([math.nextafter(u, 0), u]), rho, law, c)
            assert abs(pair[1] / pair[0] - 1) <= 2e-15, (rho, pair)

    @pytest.mark.parametrize("law, c", LAWS)
    def test_gradient_value_is_magnification_to_the_bit_far_out(self, law, c):
        x = np.array([THRESHOLD, 8.5, 31.999, 32.0, 255.9, 256.0, 999.0, 1e3, 1e5, 1e9, 1e10])
        for rho in (1e-200, 1e-150, 1e-8, 0.3, 1e3, 1e200):
            u = np.concatenate([x * rho, -x * rho])
            a, du, drho, dc = caustrix.magnification_and_gradient(u, rho, law, c)
            same_bits(a, caustrix.magnification(u, rho, law, c))
            # (Below 1e-150 Einstein radii dA/du ~ 1/u^2 exceeds the doubles.)
            if rho >= 1e-150:
                assert np.isfinite(du).all() and np.isfinite(drho).all()
                assert np.isfinite(dc).all()
            # The magnification falls with distance and u counts by its size.
            half = len(x)
            assert (du[:half] <= 0).all() and (du[half:] >= 0).all()
            same_bits(du[:half], -du[half:])


class TestEnds:
    @pytest.mark.parametrize("law, c", LAWS)
    def test_a_tiny_source_scales_with_its_size(self, law, c):
        # Below 1e-150 Einstein radii A u is a function of x alone; at x = 8
        # a source of 1e-200 Einstein radii and one of 1e-8 see the same
        # A u to the order u^2 = 6.4e-15 of the latter.
        small = caustrix.magnification(np.array([8e-200]), 1e-200, law, c)[0] * 8e-200
        larger = caustrix.magnification(np.array([8e-8]), 1e-8, law, c)[0] * 8e-8
        assert abs(small / larger - 1) <= 2e-14

    @pytest.mark.parametrize("law, c", LAWS)
    def test_huge_separations_neither_overflow_nor_go_below_one(self, law, c):
        with np.errstate(all="raise"):
            rho = np.array([1e-3, 1.0, 1e250, 1e299, 1e300])
            u = rho * 10
            a, du, drho, dc = caustrix.magnification_and_gradient(u, rho, law, c)
        assert (a >= 1).all() and np.isfinite(a).all()
        assert a[0] > 1 and (a[2:] == 1).all()
        assert np.isfinite(du).all() and np.isfinite(drho).all() and np.isfinite(dc).all()

    def test_excess_near_the_switch_of_forms(self):
        # The series is written in u^2 below u = 2 and in (2/u)^2 beyond;
        # the two forms meet to rounding.
        for law, c in LAWS:
            # (Not 8 itself: an ulp below u = 2 would be inside the threshold.)
            for x in (9.0, 40.0, 2e3):
                rho = 2.0 / x
                us = np.array([math.nextafter(2.0, 0), 2.0])
                a = caustrix.magnification(us, rho, law, c)
                assert abs((a[1] - 1) / (a[0] - 1) - 1) <= 1e-14, (law, c, x, a)
                a, du, drho, dc = caustrix.magnification_and_gradient(us, rho, law, c)
                for d in (du, drho, *dc.T):
                    assert abs(d[1] / d[0] - 1) <= 1e-13, (law, c, x, d)


@pytest.mark.reference_data
class TestGenerators:
    def test_laplacian_table_is_its_generators(self):
        result = subprocess.run([sys.executable, str(REPO_ROOT / "tools" / "gen_far_field.py"),
                                 "--check"], capture_output=True, text=True, cwd=REPO_ROOT,
                                timeout=120)
        assert result.returncode == 0, result.stderr

    def test_a_stale_laplacian_table_is_refused(self, tmp_path):
        text = TABLE.read_text(encoding="utf-8")
        stale = tmp_path / "table.hpp"
        stale.write_text(text.replace("9800.0,", "9801.0,", 1), encoding="utf-8")
        result = subprocess.run([sys.executable, str(REPO_ROOT / "tools" / "gen_far_field.py"),
                                 str(stale), "--check"], capture_output=True, text=True,
                                cwd=REPO_ROOT, timeout=120)
        assert result.returncode != 0 and "9801.0" in result.stderr

    def test_header_and_grid_are_the_generators(self):
        text = DATA.read_text(encoding="utf-8")
        assert text.startswith(GEN.header())
        assert [(label, rho, u) for label, rho, u, *_ in ROWS] == GEN.cases()

    @pytest.mark.parametrize("index", [0, 21])
    def test_sample_rows_reproduce(self, index):
        # Row 0 also checks its derivatives by central differences.
        lines = [line for line in DATA.read_text(encoding="utf-8").splitlines(keepends=True)
                 if not line.startswith("#")]
        assert GEN.row((index, GEN.cases()[index])) == lines[index]
