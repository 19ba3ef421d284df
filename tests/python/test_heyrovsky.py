"""The ring magnification: listed values, and accuracy against
tests/data/ring_reference.txt (made by tools/gen_ring_reference.py, each value
computed from the elliptic closed form and from the angular average of the
point-lens magnification, which agree to 1e-20), down to rings passing an
ulp from the lens, lenses 1e-8 source radii from the centre, lengths near
1e-162 and Einstein radii from 1e-3 to 1e7 source radii."""

import math
import pathlib
import sys

import pytest

import caustrix

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data" / "ring_reference.txt"

BUDGET = 1e-13


def load():
    rows = []
    for line in DATA.read_text().splitlines():
        if line.startswith("ring "):
            _, l, r, eps, value, diff = line.split()
            rows.append((float(l), float(r), float(eps), float(value), float(diff)))
    return rows


ROWS = load()


def ring(l, r, eps):
    return caustrix.heyrovsky_magnification(l, r, eps, 1.0)


def test_listed_values():
    # Lens at the centre: the point-source magnification at r / eps.
    assert ring(0.0, 1.0, 1.0) == pytest.approx(3 / math.sqrt(5), rel=4e-16)
    assert ring(0.5, 1.0, 1.0) == pytest.approx(1.42449446, abs=1e-8)
    assert ring(2.0, 1.0, 1.0) == pytest.approx(1.09511213, abs=1e-8)
    assert ring(1.0, 1.0 + 2e-5, 1.0) == pytest.approx(4.4956, abs=1e-4)
    assert ring(1.0, 1.0 + 5e-6, 1.0) == pytest.approx(4.9369, abs=1e-4)


def test_ring_through_the_lens_is_infinite():
    for l in (1e-8, 0.5, 1.0, 7.0):
        assert ring(l, l, 1.0) == math.inf
    assert ring(0.0, 0.0, 1.0) == math.inf


def test_returns_a_float():
    assert type(caustrix.heyrovsky_magnification(0.5, 1, 1, 1)) is float
    with pytest.raises(TypeError, match=r"^argument 'l': "):
        caustrix.heyrovsky_magnification([0.5], 1.0, 1.0, 1.0)


def test_relative_error_within_budget():
    worst = (0.0, None)
    for l, r, eps, exact, _ in ROWS:
        err = abs(ring(l, r, eps) / exact - 1)
        if err > worst[0]:
            worst = (err, (l, r, eps))
    print(f"max relative error {worst[0]:.2e} at (l, r, eps) = {worst[1]}")
    assert len(ROWS) >= 60
    assert worst[0] <= BUDGET, worst


@pytest.mark.reference_data
def test_reference_rows_agree_two_ways():
    assert all(diff <= 1e-20 for *_, diff in ROWS)


@pytest.mark.reference_data
def test_reference_file_matches_its_generator():
    """A sample of rows, regenerated, must be the committed lines."""
    sys.path.insert(0, str(ROOT / "tools"))
    try:
        import gen_ring_reference as gen
    finally:
        sys.path.pop(0)
    lines = set(DATA.read_text().splitlines())
    assert gen.header().splitlines()[0] in lines
    cases = gen.ring_cases()
    for case in (cases[0], cases[len(cases) // 2], cases[-1]):
        case, value, diff = gen.ring_row(case)
        assert gen.format_ring(case, value, diff).rstrip("\n") in lines


def test_distances_count_by_their_size():
    for l, r in ((2.0, 1.0), (0.3, 0.7), (0.5, 0.0), (0.0, 0.5)):
        value = ring(l, r, 1.0)
        assert ring(-l, r, 1.0) == value
        assert ring(l, -r, 1.0) == value
        assert ring(-l, -r, 1.0) == value
    # |l| = |r|: the ring passes through the lens.
    assert caustrix.heyrovsky_magnification(-0.3, 0.3, 1, 1) == math.inf
    # The Einstein radius enters squared.
    for re, rstar in ((-1.0, 1.0), (1.0, -1.0), (-1.0, -1.0)):
        assert caustrix.heyrovsky_magnification(0.5, 1.0, re, rstar) == ring(0.5, 1.0, 1.0)


def test_extreme_lengths():
    # Lengths whose squares underflow: the value is that at 1e162 times the
    # scale, as the magnification depends on ratios only (eps 1e-162 x 1e162).
    tiny = caustrix.heyrovsky_magnification(1e-162, 1.5e-162, 1, 1)
    exact = [v for l, r, eps, v, _ in ROWS if (l, r, eps) == (1e-162, 1.5e-162, 1.0)]
    assert tiny == pytest.approx(exact[0], rel=1e-13)
    # A lens at the centre of a ring of radius 1e-200: the point-source
    # magnification at 1e-200 Einstein radii, 1e200.
    assert caustrix.heyrovsky_magnification(0.0, 1e-200, 1.0, 1.0) == pytest.approx(1e200, rel=1e-15)
    # A lens far from a small ring sees it as a point source.
    assert caustrix.heyrovsky_magnification(1e80, 1.0, 1.0, 1.0) == 1.0


def test_large_ring_just_off_the_lens_is_finite():
    """l = 1e4 with r = l + 2e-5 once rounded n to exactly 1."""
    value = ring(1e4, 1e4 + 2e-5, 1.0)
    assert math.isfinite(value)
    exact = [v for l, r, eps, v, _ in ROWS if (l, r, eps) == (1e4, 1e4 + 2e-5, 10.0)]
    assert exact and ring(1e4, 1e4 + 2e-5, 10.0) == pytest.approx(exact[0], rel=1e-13)


def test_ring_is_the_derivative_of_the_disc():
    """(1/2r) d/dr (r^2 A_disc(r)) by a high-order difference of the disc
    model reproduces the ring, away from the lens."""
    eps, l, r = 2.0, 0.3, 0.8
    h = 1e-3

    def r2_disc(radius):
        # A disc of radius `radius` source radii: separation l/radius,
        # size radius/eps Einstein radii.
        (a,) = caustrix.witt_mao_magnification([l / radius], eps, radius)
        return radius * radius * a

    derivative = (-r2_disc(r + 2 * h) + 8 * r2_disc(r + h) - 8 * r2_disc(r - h)
                  + r2_disc(r - 2 * h)) / (12 * h)
    assert derivative / (2 * r) == pytest.approx(ring(l, r, eps), rel=1e-9)
