"""The symmetric rule the limb-darkened quadrature takes across the lens
(src/models/limb_law_kink_rule.hpp): the committed header is what its
generator writes, and its doubles integrate what the rule claims."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

mpmath = pytest.importorskip("mpmath")
from mpmath import mp, mpf  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parents[2]
GENERATOR = REPO_ROOT / "tools" / "gen_kink_rule.py"
HEADER = REPO_ROOT / "src" / "models" / "limb_law_kink_rule.hpp"


def committed_rule():
    text = HEADER.read_text(encoding="utf-8")
    centre = float(re.search(r"CENTRE_WEIGHT = ([^;]+);", text).group(1))
    pairs = [(float(t), float(w)) for t, w in re.findall(r"\{([0-9.e-]+), ([0-9.e-]+)\}", text)]
    return centre, pairs


def integrate(f, centre, pairs):
    """The rule over [-1, 1]."""
    return 2 * centre * f(mpf(0)) + sum(w * (f(mpf(t)) + f(-mpf(t))) for t, w in pairs)


@pytest.mark.reference_data
def test_committed_header_is_current():
    done = subprocess.run([sys.executable, str(GENERATOR), str(HEADER), "--check"],
                          capture_output=True, text=True, cwd=REPO_ROOT, timeout=300)
    assert done.returncode == 0, done.stderr


@pytest.mark.reference_data
def test_rule_is_exact_for_its_family_and_odd_functions():
    centre, pairs = committed_rule()
    assert len(pairs) == 7 and all(0 < t < 1 for t, _ in pairs)
    assert all(w > 0 for _, w in pairs) and centre > 0
    with mp.workdps(30):
        for k in range(0, len(pairs) + 1):
            p = 2 * k
            assert abs(integrate(lambda t: t ** p, centre, pairs) - mpf(2) / (p + 1)) < 4e-16
            if k > 0:
                got = integrate(lambda t: t ** p * mp.log(abs(t)) if t else mpf(0), centre, pairs)
                assert abs(got + mpf(2) / (p + 1) ** 2) < 4e-16, k
        # Odd functions, the kink's own y ln|y| among them, vanish.
        assert integrate(lambda t: t * mp.log(abs(t)) if t else mpf(0), centre, pairs) == 0
        assert abs(integrate(lambda t: t ** 3 + mp.sin(t), centre, pairs)) < 1e-16


@pytest.mark.reference_data
def test_rule_integrates_a_kink_between_nearby_singularities():
    # A smooth part and a kink y ln|y| Q(y), both with poles at +-2i, twice
    # the half-width away, as the layout allows.
    centre, pairs = committed_rule()

    def f(y):
        q = 1 / (y * y + 4) + y * mp.cos(y)
        return 1 / (y * y + 4) + mp.exp(y) + (y * mp.log(abs(y)) * q if y else 0)

    with mp.workdps(30):
        exact = mp.quad(f, [-1, 0, 1])
        assert abs(integrate(f, centre, pairs) / exact - 1) < 1e-14
