"""The ring magnification: listed values, and accuracy against a 40-digit
evaluation of the elliptic form with mpmath, down to rings passing 1e-12
source radii from the lens and lenses 1e-8 source radii from the centre."""

import math
import random

import pytest

import caustrix

mp = pytest.importorskip("mpmath")

BUDGET = 1e-13


def reference(l, r, eps):
    with mp.workdps(40):
        l, r, eps = mp.mpf(l), mp.mpf(r), mp.mpf(eps)
        d = r - l
        s = l + r
        q = 4 * eps**2 + d * d
        n = 4 * l * r / s**2
        m = 16 * eps**2 * l * r / (q * s**2)
        k = mp.ellipk(m)
        p = mp.ellippi(n, m) if n != 0 else k
        return (2 / mp.pi) * (2 * eps**2 * k + d * d * p) / (s * mp.sqrt(q))


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


def grid():
    cases = []
    for eps in (0.1, 1.0, 10.0, 1e3):
        for l in (0.0, 1e-8, 1e-4, 0.5, 1.0, 1.7, 10.0):
            cases += [(l, r, eps) for r in (0.0, 0.1, 0.5, 1.0, 2.0) if (l, r) != (0.0, 0.0)]
            if 0 < l <= 2:
                for k in range(2, 13):
                    step = 10.0**-k * (l if l < 1e-2 else 1.0)
                    cases += [(l, l - step, eps), (l, l + step, eps)]
    rng = random.Random(7)
    for _ in range(300):
        l = rng.choice([0.0, 10 ** rng.uniform(-8, 1)])
        cases.append((l, rng.uniform(0, 2), 10 ** rng.uniform(-1, 3)))
    return cases


def test_relative_error_within_budget():
    worst = (0.0, None)
    for l, r, eps in grid():
        value = ring(l, r, eps)
        exact = reference(l, r, eps)
        err = float(abs((mp.mpf(value) - exact) / exact))
        if err > worst[0]:
            worst = (err, (l, r, eps))
    print(f"max relative error {worst[0]:.2e} at (l, r, eps) = {worst[1]}")
    assert worst[0] <= BUDGET, worst


def test_large_ring_just_off_the_lens_is_finite():
    """l = 1e4 with r = l + 2e-5 once rounded n to exactly 1."""
    value = ring(1e4, 1e4 + 2e-5, 1.0)
    assert math.isfinite(value)
    assert value == pytest.approx(float(reference(1e4, 1e4 + 2e-5, 1.0)), rel=1e-12)


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
