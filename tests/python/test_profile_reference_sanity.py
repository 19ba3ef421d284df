"""Checks of tests/data/profile_reference.txt itself, independent of the
module and of the generator's quadrature.

Where the lens lies outside the source (l > 1) or at its centre (l = 0) the
point-lens magnification is analytic over the disc, and a product rule in
polar coordinates about the source centre (Gauss-Legendre in radius,
trapezoidal in the periodic angle) converges geometrically: it recomputes
those rows for every profile to a few units in 1e-15.  The rows with the lens
inside the disc or on its edge are left to the generator's own two-way check,
whose recorded differences must all be small.
"""

import math
from pathlib import Path

import numpy as np
import pytest

DATA = Path(__file__).resolve().parent.parent / "data" / "profile_reference.txt"

RHOS = (0.5, 0.1, 0.01, 0.001)
SEPARATIONS = (0.0, 0.1, 0.3, 0.5, 0.9, 0.999, 1.0, 1.001, 1.1, 1.5, 2.0, 3.0, 5.0, 10.0)
UNIFORM_SEPARATIONS = (0.0, 0.5, 1.0, 2.0, 10.0)
MAP_RADII = (0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 1.0)
LIMB = 0.6

# l at which the lens is far enough from the disc for the product rule below
# (or, at l = 0, where the angular integral is trivial).
CHECKABLE = (0.0, 1.1, 1.5, 2.0, 3.0, 5.0, 10.0)
TOLERANCE = 2e-14


def _read():
    tables, rows = {}, {}
    for line in DATA.read_text().splitlines():
        if line.startswith("# table "):
            head, values = line[len("# table "):].split(":")
            name, column = head.split()
            tables[(name, column)] = [float(v) for v in values.split()]
        elif line and not line.startswith("#"):
            profile, rho, l, value, unc = line.split()
            key = (profile, float(rho), float(l))
            assert key not in rows, f"duplicate row {key}"
            rows[key] = (float(value), float(unc))
    return tables, rows


TABLES, ROWS = _read()
RADII = TABLES[("quadratic_map12", "radius")]
BRIGHTNESS = TABLES[("quadratic_map12", "brightness")]


def test_grid_is_complete():
    expected = {(p, rho, l) for p in ("linear_0.6", "quadratic_map12")
                for rho in RHOS for l in SEPARATIONS}
    expected |= {("uniform", rho, l) for rho in RHOS for l in UNIFORM_SEPARATIONS}
    assert set(ROWS) == expected


def test_every_uncertainty_is_small():
    for key, (value, unc) in ROWS.items():
        assert math.isfinite(value) and value > 1.0, key
        assert 0.0 <= unc <= 1e-12, (key, unc)


def test_flux_map_table_is_the_quadratic_law():
    assert RADII == list(MAP_RADII)
    assert len(BRIGHTNESS) == len(RADII)
    for r, f in zip(RADII, BRIGHTNESS):
        q = 1.0 - math.sqrt(1.0 - r * r)
        assert f == pytest.approx(1.0 - 0.5 * q - 0.2 * q * q, rel=4e-16, abs=0), r
    assert all(a > b for a, b in zip(BRIGHTNESS, BRIGHTNESS[1:]))
    assert BRIGHTNESS[0] == 1.0


def test_uniform_disc_centred_on_lens():
    # The flux of a disc about the lens is elementary: A = sqrt(rho^2 + 4) / rho.
    for rho in RHOS:
        value, _ = ROWS[("uniform", rho, 0.0)]
        assert value == pytest.approx(math.sqrt(rho * rho + 4.0) / rho, rel=4e-16)


def _ring_average(r, l, rho, intervals):
    """int_0^{2 pi} A_ps(rho |r e^{i theta} - l|) dtheta, trapezoidal (the
    integrand is even and periodic in theta)."""
    theta = np.linspace(0.0, math.pi, intervals + 1)
    d = np.sqrt((l - r[:, None]) ** 2 + 4.0 * r[:, None] * l * np.sin(theta / 2) ** 2)
    u = rho * d
    a = (u * u + 2.0) / (u * np.sqrt(u * u + 4.0))
    w = np.full(intervals + 1, 2.0 * math.pi / intervals)
    w[0] = w[-1] = math.pi / intervals
    return a @ w


def _intervals(l):
    # The nearest singularity in theta is at i acosh((1 + l^2) / 2l) (r = 1).
    if l == 0.0:
        return 2
    return 64 * max(1, math.ceil(1.0 / math.acosh((1.0 + l * l) / (2.0 * l))))


def _gauss(n, lo, hi):
    x, w = np.polynomial.legendre.leggauss(n)
    return lo + (hi - lo) * (x + 1) / 2, w * (hi - lo) / 2


def product_rule(profile, rho, l):
    m = _intervals(l)
    # The denominators come from the same nodes, so that the rounding of the
    # nodes and weights (near 1e-15 for leggauss) cancels in the ratio.
    if profile == "uniform":
        r, w = _gauss(40, 0.0, 1.0)
        weight = w * r
    elif profile == "linear_0.6":
        # r = sin(sigma): r I(r) dr = sin cos (1 - c + c cos) dsigma, analytic.
        s, w = _gauss(48, 0.0, math.pi / 2)
        r = np.sin(s)
        weight = w * r * np.cos(s) * (1.0 - LIMB + LIMB * np.cos(s))
    if profile != "quadratic_map12":
        return float(np.sum(weight * _ring_average(r, l, rho, m))) / (2.0 * math.pi * float(np.sum(weight)))
    num = norm = 0.0
    for r0, r1, f0, f1 in zip(RADII, RADII[1:], BRIGHTNESS, BRIGHTNESS[1:]):
        r, w = _gauss(16, r0, r1)
        weight = w * r * (f0 + (f1 - f0) * (r - r0) / (r1 - r0))
        num += float(np.sum(weight * _ring_average(r, l, rho, m)))
        norm += 2.0 * math.pi * float(np.sum(weight))
    return num / norm


@pytest.mark.parametrize("profile", ["uniform", "linear_0.6", "quadratic_map12"])
def test_rows_with_lens_off_the_disc_against_product_rule(profile):
    checked = 0
    worst = (0.0, None)
    for (p, rho, l), (value, _) in ROWS.items():
        if p != profile or l not in CHECKABLE:
            continue
        err = abs(product_rule(profile, rho, l) / value - 1.0)
        if err >= worst[0]:
            worst = (err, (rho, l))
        checked += 1
    assert checked >= 8
    assert worst[0] <= TOLERANCE, f"{profile}: {worst[0]:.2e} at (rho, l) = {worst[1]}"


def test_product_rule_detects_a_wrong_profile():
    # The check above must be able to tell the profiles apart.
    for rho in RHOS:
        for l in (1.1, 2.0):
            lin = ROWS[("linear_0.6", rho, l)][0]
            assert abs(product_rule("quadratic_map12", rho, l) / lin - 1.0) > 1e-7
