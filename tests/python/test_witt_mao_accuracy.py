"""Accuracy of the uniform-disc magnification against a 40-digit evaluation
of the Witt-Mao closed form, with the complete elliptic integrals of mpmath.

The grid covers stellar sources (rho from 1e-4) to sources far larger than
the Einstein ring, lenses from the centre to 100 source radii, and the limb
approached from both sides down to |x - 1| = 1e-12, where the complements
1 - n and 1 - m shrink towards underflow.
"""

import math

import pytest

import caustrix

mp = pytest.importorskip("mpmath")

BUDGET = 1e-13
RHOS = [1e-4, 1e-3, 1e-2, 0.1, 0.5, 1.0, 10.0, 1e3]
SEPARATIONS = [0.0, 1e-3, 0.1, 0.5, 0.9, 0.99, 1.0, 1.5, 2.0, 5.0, 10.0, 30.0, 100.0] + [
    1.0 + sign * 10.0**-k for k in range(2, 13) for sign in (-1.0, 1.0)
]


def reference(x, rho):
    """The closed form at 40 digits, from exactly the doubles the module
    sees: u = x*rho is formed in double precision, as the module does."""
    with mp.workdps(40):
        rho_ = mp.mpf(rho)
        u = mp.mpf(x * rho)  # the module's own rounding of the separation
        d = u - rho_
        h = u + rho_
        if d == 0:
            # The arcsine sits next to -pi/2 for a small source: enough
            # digits to keep 40 after the cancellation.
            with mp.workdps(40 + max(0, int(-2 * mp.log10(rho_)))):
                return +((2 / rho_ + (1 + rho_**2) / rho_**2
                          * (mp.pi / 2 + mp.asin((rho_**2 - 1) / (rho_**2 + 1)))) / mp.pi)
        s = mp.sqrt(d * d + 4)
        n = 4 * u * rho_ / h**2
        m = 4 * n / (d * d + 4)
        e = mp.ellipe(m)
        k = mp.ellipk(m)
        p = mp.ellippi(n, m) if n != 0 else k
        g = (e * h * s / (2 * rho_**2)
             - k * d * (u * u - rho_**2 + 8) / (2 * rho_**2 * s)
             + p * 2 * (1 + rho_**2) * d * d / (rho_**2 * h * s))
        return g / mp.pi


@pytest.mark.parametrize("rho", RHOS)
def test_relative_error_within_budget(rho):
    values = caustrix.witt_mao_magnification(SEPARATIONS, 1.0, rho)
    worst = (0.0, None)
    for x, value in zip(SEPARATIONS, values):
        exact = reference(x, rho)
        err = float(abs((mp.mpf(value) - exact) / exact))
        if err > worst[0]:
            worst = (err, x)
    print(f"rho={rho:g}: max relative error {worst[0]:.2e} at x={worst[1]!r}")
    assert worst[0] <= BUDGET, f"rho={rho}: {worst[0]:.3e} at x={worst[1]!r}"


@pytest.mark.parametrize("rho", [1e-4, 1e-2, 0.5])
def test_no_band_of_limb_values(rho):
    """A lens 1e-6 source radii off the limb is not the limb value: near the
    limb the magnification has a logarithmic slope."""
    limb, inside, outside = caustrix.witt_mao_magnification(
        [1.0, 1.0 - 1e-6, 1.0 + 1e-6], 1.0, rho)
    assert inside > limb > outside
    for x, value in ((1.0 - 1e-6, inside), (1.0 + 1e-6, outside)):
        exact = reference(x, rho)
        assert abs((value - exact) / exact) <= BUDGET


@pytest.mark.parametrize("rho", [1e-200, 1e-12, 1e-6, 1e12, 1e200])
def test_lens_on_the_limb_of_extreme_sources(rho):
    """On the limb the magnification is 4/(pi rho) for a tiny source and 1 for
    a huge one; neither may overflow in rho^2 on the way."""
    (value,) = caustrix.witt_mao_magnification([1.0], 1.0, rho)
    exact = reference(1.0, rho)
    assert abs((mp.mpf(value) - exact) / exact) <= BUDGET


def test_large_source_next_to_the_limb_is_finite():
    """rho = 1000 with x = 1 + 2e-8 once rounded n to exactly 1."""
    (value,) = caustrix.witt_mao_magnification([1 + 2e-8], 1.0, 1000.0)
    assert math.isfinite(value)
    assert abs(value - float(reference(1 + 2e-8, 1000.0))) <= BUDGET * value


def test_finite_inputs_never_raise():
    xs = [i / 50 for i in range(0, 251)] + [1 + k * 1e-15 for k in range(-40, 41)]
    for rho in (1e-6, 1e-4, 1.0, 1e4):
        values = caustrix.witt_mao_magnification(xs, 1.0, rho)
        # The magnification of a disc never falls below 1 (to rounding).
        assert all(math.isfinite(v) and v >= 1.0 - 1e-15 for v in values), rho
