"""The symmetric rule the ring route takes across a lens inside the source
(src/models/ring_kink_rule.hpp): the committed header is what its generator
writes, and its doubles integrate what the rule claims."""

from __future__ import annotations

import math
import re
import subprocess
import sys
from pathlib import Path

import pytest

import caustrix

mpmath = pytest.importorskip("mpmath")
from mpmath import mp, mpf  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parents[2]
GENERATOR = REPO_ROOT / "tools" / "gen_ring_kink_rule.py"
HEADER = REPO_ROOT / "src" / "models" / "ring_kink_rule.hpp"


def committed_rule():
    text = HEADER.read_text(encoding="utf-8")
    return [(float(t), float(w)) for t, w in re.findall(r"\{([0-9.e-]+), ([0-9.e-]+)\}", text)]


def integrate(f, nodes):
    """The rule over [-1, 1]; it never evaluates f at 0."""
    return sum(w * (f(mpf(t)) + f(-mpf(t))) for t, w in nodes)


@pytest.mark.reference_data
def test_committed_header_is_current():
    done = subprocess.run([sys.executable, str(GENERATOR), str(HEADER), "--check"],
                          capture_output=True, text=True, cwd=REPO_ROOT, timeout=300)
    assert done.returncode == 0, done.stderr


@pytest.mark.reference_data
def test_rule_is_exact_for_even_powers_and_their_logarithms():
    nodes = committed_rule()
    assert len(nodes) == 8 and all(0 < t < 1 for t, _ in nodes)
    assert all(w > 0 for _, w in nodes)
    with mp.workdps(30):
        for k in range(8):
            p = 2 * k
            assert abs(integrate(lambda t: t ** p, nodes) - mpf(2) / (p + 1)) < 4e-16, k
            # The ring's own logarithm, ln|y|, is the k = 0 member.
            got = integrate(lambda t: t ** p * mp.log(abs(t)), nodes)
            assert abs(got + mpf(2) / (p + 1) ** 2) < 4e-16, k
        assert abs(integrate(lambda t: t ** 5 * mp.log(abs(t)) + mp.sin(t), nodes)) < 1e-16


@pytest.mark.reference_data
def test_rule_integrates_a_logarithm_between_singularities_four_half_widths_away():
    # As the ring route lays it out: the nearest other singular point at
    # four times the half-width.
    nodes = committed_rule()

    def f(y):
        q = 1 / ((y - 4) ** 2 + 1) + y * mp.cos(y)
        return 1 / ((y + 4) ** 2 + 1) + mp.exp(y) + mp.log(abs(y)) * q

    with mp.workdps(30):
        exact = mp.quad(f, [-1, 0, 1])
        assert abs(integrate(f, nodes) / exact - 1) < 1e-15


@pytest.mark.parametrize("rho", [0.01, 1.0, 10.0])
def test_ring_route_across_the_lens_matches_discs(rho):
    """The ring route spans a lens inside the source with the symmetric
    piece; at lenses next to the centre, next to a table's breakpoints (the
    piece then narrow) and next to the limb it agrees with the disc route to
    1e-13."""
    ls = [1e-7, 1e-3, 0.1, 0.3 - 1e-9, 0.3 + 1e-9, 0.5, 0.74, 0.76, 0.9, 0.999,
          1 - 1e-9, math.nextafter(1.0, 0.0)]
    bl, bf = [0.0, 0.3, 0.5, 0.75, 1.0], [1.0, 0.9, 0.7, 0.6, 0.2]
    pairs = [(caustrix.integrated_heyrovsky_magnification(ls, 1.0, rho),
              caustrix.integrated_witt_mao_magnification(ls, 1.0, rho)),
             (caustrix.integrated_flux_map_heyrovsky_magnification(ls, 1.0, rho, bl, bf),
              caustrix.integrated_flux_map_witt_mao_magnification(ls, 1.0, rho, bl, bf))]
    for ring, disc in pairs:
        for l, a, b in zip(ls, ring, disc):
            assert a == pytest.approx(b, rel=1e-13), l
