"""Generated tables: the Taylor tables of K(m) and E(m) (freshness, shape,
and the mathematics of the stored coefficients, checked independently of the
generator's series with mpmath's own elliptic integrals), and the reference
tables of the fused AGM kernels and of the disc magnification (checked
against their generators on a sample of rows)."""

from __future__ import annotations

import math
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from helpers import load_tool

# Checks of generated tables and their generators, not of the module.
pytestmark = pytest.mark.reference_data

mpmath = pytest.importorskip("mpmath")
from mpmath import mp, mpf  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parents[2]
GENERATOR = REPO_ROOT / "tools" / "gen_legendre_tables.py"
HEADER = REPO_ROOT / "src" / "ellip" / "legendre" / "taylor_tables.hpp"

# The E coefficients that hold the double next to the nearest one: (row, j).
E_NEIGHBOURS = {(0, 10), (1, 5), (1, 8)}


def run_generator(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(GENERATOR), *args],
                          capture_output=True, text=True, cwd=REPO_ROOT, timeout=120)


def parse_header(text: str) -> dict:
    """Coefficient arrays, row tables and the interval map, read from the header."""
    code = re.sub(r"//[^\n]*", "", text)
    arrays = {}
    for name, size, body in re.findall(r"inline constexpr double (\w+)\[(\d+)\] = \{(.*?)\};", code, re.S):
        values = [float(v) for v in body.replace("\n", " ").split(",") if v.strip()]
        assert len(values) == int(size), name
        arrays[name] = values
    rows = {}
    for kind in ("K", "E"):
        body = re.search(rf"inline constexpr TaylorRow {kind}_ROWS\[10\] = \{{(.*?)\}};", code, re.S).group(1)
        rows[kind] = [(float(c), int(d), arrays[a])
                      for c, d, a in re.findall(r"\{\s*([^,]+),\s*(\d+),\s*(\w+)\s*\}", body)]
    interval_map = re.search(r"ROW_OF_INTERVAL\[18\] = \{(.*?)\};", code, re.S).group(1)
    return {"arrays": arrays, "rows": rows,
            "row_of_interval": [int(v) for v in interval_map.split(",")]}


@pytest.fixture(scope="module")
def tables() -> dict:
    return parse_header(HEADER.read_text(encoding="utf-8"))


def horner(coefs: list[float], t: float) -> float:
    acc = coefs[-1]
    for c in reversed(coefs[:-1]):
        acc = acc * t + c
    return acc


class TestGenerator:
    def test_committed_header_is_current(self):
        result = run_generator("--check")
        assert result.returncode == 0, result.stderr

    def test_check_rejects_a_stale_header(self, tmp_path):
        text = HEADER.read_text(encoding="utf-8")
        stale = tmp_path / "taylor_tables.hpp"
        # One coefficient one ulp off: the check must fail and show the line.
        stale.write_text(text.replace("1.5910034537907922,", "1.5910034537907924,", 1), encoding="utf-8")
        result = run_generator(str(stale), "--check")
        assert result.returncode != 0
        assert "1.5910034537907924" in result.stderr


class TestLayout:
    def test_rows_cover_the_intervals(self, tables):
        rows_k, rows_e = tables["rows"]["K"], tables["rows"]["E"]
        assert [len(c) - 1 for _, _, c in rows_k] == [d for _, d, _ in rows_k]
        assert [len(c) - 1 for _, _, c in rows_e] == [d for _, d, _ in rows_e]
        assert sum(len(c) for _, _, c in rows_k) == 151
        assert sum(len(c) for _, _, c in rows_e) == 134
        assert [c for c, _, _ in rows_k] == [c for c, _, _ in rows_e]
        # Every interval [i/20, (i+1)/20) lies in its row's span, and the
        # row's centre is that span's midpoint.
        for i, r in enumerate(tables["row_of_interval"]):
            members = [j for j, s in enumerate(tables["row_of_interval"]) if s == r]
            lo, hi = min(members) / 20, (max(members) + 1) / 20
            assert lo <= i / 20 < hi
            assert rows_k[r][0] == pytest.approx((lo + hi) / 2, abs=1e-15)

    def test_cpp_reads_back_the_same_bits(self, tables, tmp_path):
        cxx = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
        if cxx is None:
            pytest.skip("no C++ compiler")
        source = tmp_path / "dump.cpp"
        source.write_text(
            '#include "ellip/legendre/taylor_tables.hpp"\n'
            "#include <cstdio>\n"
            "using namespace ellip::legendre::detail;\n"
            "static void dump(const TaylorRow* rows) {\n"
            "    for (int r = 0; r < 10; ++r) {\n"
            '        std::printf("%a %d\\n", rows[r].centre, rows[r].degree);\n'
            '        for (int j = 0; j <= rows[r].degree; ++j) std::printf("%a\\n", rows[r].c[j]);\n'
            "    }\n"
            "}\n"
            "int main() {\n"
            "    dump(K_ROWS);\n"
            "    dump(E_ROWS);\n"
            '    for (int r : ROW_OF_INTERVAL) std::printf("%d\\n", r);\n'
            "}\n")
        exe = tmp_path / "dump"
        subprocess.run([cxx, "-std=c++20", "-Wall", "-Werror", "-I", str(REPO_ROOT / "src"),
                        str(source), "-o", str(exe)], check=True, timeout=120)
        out = subprocess.run([str(exe)], capture_output=True, text=True, check=True).stdout
        got = [float.fromhex(w) if "p" in w else int(w) for w in out.split()]
        expected = []
        for kind in ("K", "E"):
            for centre, degree, coefs in tables["rows"][kind]:
                expected += [centre, degree, *coefs]
        expected += tables["row_of_interval"]
        # Floats compare by value, so this is a bit-for-bit comparison.
        assert got == expected


class TestMathematics:
    def test_coefficients_are_the_nearest_doubles(self, tables):
        """Against mpmath's Taylor expansion of its own K and E (numerical
        differentiation, not the hypergeometric series): every coefficient is
        the nearest double, except the three deliberate neighbours."""
        with mp.workdps(40):
            for kind, f in (("K", mpmath.ellipk), ("E", mpmath.ellipe)):
                for row, (centre, degree, coefs) in enumerate(tables["rows"][kind]):
                    # The exact decimal centre, not the double nearest it.
                    exact = mp.taylor(f, mpf(repr(centre)), degree)
                    for j, (stored, x) in enumerate(zip(coefs, exact)):
                        nearest = float(x)
                        if kind == "E" and (row, j) in E_NEIGHBOURS:
                            assert stored != nearest
                            assert stored in (math.nextafter(nearest, -math.inf),
                                              math.nextafter(nearest, math.inf)), (row, j)
                        else:
                            assert stored == nearest, (kind, row, j, stored, nearest)

    @pytest.mark.parametrize("kind", ["K", "E"])
    def test_polynomials_at_interval_ends(self, tables, kind):
        """Each interval's polynomial, evaluated in double by Horner's rule from
        the top coefficient down, agrees with the function at both ends of the
        interval, which are the worst points for the truncated series."""
        f = mpmath.ellipk if kind == "K" else mpmath.ellipe
        rows = tables["rows"][kind]
        points = []
        for i, r in enumerate(tables["row_of_interval"]):
            points += [(i / 20, r), (math.nextafter((i + 1) / 20, 0.0), r)]
        with mp.workdps(30):
            for m, r in points:
                centre, _, coefs = rows[r]
                got = horner(coefs, m - centre)
                want = f(mpf(m))
                err_ulp = abs(mpf(got) - want) / math.ulp(float(want))
                assert err_ulp <= 3, (kind, m, got, float(want), float(err_ulp))

    def test_k_row_0_below_zero(self, tables):
        """K also takes row 0 on -0.05 < m < 0, where t reaches -0.1, twice the
        row's design radius: the truncated series loses accuracy there, about
        300 ulps at m = -0.05, but stays within 1e-13 relative."""
        centre, _, coefs = tables["rows"]["K"][0]
        with mp.workdps(30):
            for m in (-0.01, -0.03, math.nextafter(-0.05, 0.0)):
                want = mpmath.ellipk(mpf(m))
                assert abs(mpf(horner(coefs, m - centre)) - want) <= mpf("1e-13") * want, m

    def test_value_at_zero_is_half_pi(self, tables):
        for kind in ("K", "E"):
            centre, _, coefs = tables["rows"][kind][0]
            assert horner(coefs, 0.0 - centre) == 1.5707963267948966


# --------------------------------------------------------------------------
# Reference tables of the fused AGM kernels and of the disc magnification:
# the committed files hold exactly the generators' arguments, and a sample of
# rows, recomputed (both ways, with the generators' own agreement checks),
# reproduces the committed text.  The full regeneration takes minutes.

DATA = REPO_ROOT / "tests" / "data"


def _load_tool(name):
    return load_tool(name)


def _data_lines(path):
    return [line for line in path.read_text(encoding="utf-8").splitlines()
            if line and not line.startswith("#")]


class TestFusedKernelTables:
    gen = _load_tool("gen_kernel_reference")

    @pytest.mark.parametrize("table", [t[0] for t in gen.FUSED_TABLES])
    def test_rows_match_the_generator(self, table):
        name, _, make = next(t for t in self.gen.FUSED_TABLES if t[0] == table)
        cases = make(self.gen.Draw(name))
        lines = _data_lines(DATA / f"{name}.txt")
        assert len(lines) == len(cases)
        for args, line in zip(cases, lines):
            assert line.split()[:4] == [a.hex() for a in args]
        # Rows spread over the table; the near-one rows are the slow ones.
        step = len(cases) // (1 if name == "fused_m_near_one" else 3)
        for i in range(0, len(cases), step):
            assert self.gen.fused_line(cases[i], name) == lines[i], (name, i)


class TestDiscReferenceTable:
    gen = _load_tool("gen_disc_reference")
    path = DATA / "witt_mao_reference.txt"

    def test_rows_match_the_grid(self):
        lines = _data_lines(self.path)
        grid = self.gen.grid()
        assert [line.split()[:2] for line in lines] == [[r.hex(), x.hex()] for r, x in grid]

    def test_sample_rows_reproduce(self):
        lines = dict(((float.fromhex(w[0]), float.fromhex(w[1])), " ".join(w))
                     for w in (line.split() for line in _data_lines(self.path)))
        below = math.nextafter(1.0, 0.0)
        sample = [(1e-7, 0.0), (1e-7, 5e-324), (1e-7, 3.0 / 1e-7), (1e-3, below), (1.0, 1.0),
                  (1.0, 1e300), (100.0, math.nextafter(1.0, 2.0)), (1e4, 0.5), (1e4, 1e3)]
        for rho, x in sample:
            assert self.gen.row(rho, x) == lines[(rho, x)], (rho, x)
