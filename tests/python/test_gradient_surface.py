"""magnification_and_gradient() and light_curve_and_gradient(): the value is
magnification()'s to the bit, the derivatives agree with the functions'
own differences and with high-precision derivatives of the disc's closed
form, the shapes follow the broadcast with a trailing axis for the
coefficients, and the work may be split between threads freely."""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import textwrap

import mpmath as mp
import numpy as np
import pytest

import caustrix

gradient = caustrix.magnification_and_gradient
curve_gradient = caustrix.light_curve_and_gradient

LAWS = [
    ("uniform", ()),
    ("linear", (0.6,)),
    ("quadratic", (0.4, 0.3)),
    ("square-root", (0.3, 0.4)),
    ("logarithmic", (0.5, 0.2)),
    ("logarithmic", (0.5, 0.0)),   # no s ln s term in the law's own slope
    ("power-2", (0.6, 0.7)),
    ("power-2", (0.0, 0.7)),       # no mu^alpha term either
    ("nonlinear", (0.5, 0.1, 0.2, -0.1)),
]

# Separations in source radii: the centre, inside, both sides of the limb,
# outside, and the far field of the disc and of the quadrature.
RATIOS = np.array([0.0, 1e-7, 0.05, 0.3, 0.7, 0.95, 1.05, 1.5, 3.0, 30.0, 300.0, 2e3])


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape
    assert a.tobytes() == b.tobytes(), np.flatnonzero(a.view(np.int64) != b.view(np.int64))


@pytest.mark.parametrize("law, c", LAWS)
def test_value_is_magnification_to_the_bit_with_the_shapes_of_the_call(law, c):
    u = RATIOS[:, None] * np.array([0.01, 0.5, 4.0])
    rho = np.array([0.01, 0.5, 4.0])
    a, du, drho, dc = gradient(u, rho, law, c)
    same_bits(a, caustrix.magnification(u, rho, law, c))
    assert du.shape == drho.shape == (12, 3) and dc.shape == (12, 3, len(c))
    assert np.isfinite(du).all() and np.isfinite(drho).all() and np.isfinite(dc).all()
    # Scalars give 0-d arrays and a 1-d coefficient axis.
    a0, du0, drho0, dc0 = gradient(0.2, 0.1, law, c)
    assert a0.shape == du0.shape == drho0.shape == () and dc0.shape == (len(c),)


def gradient_alone(law, c, u, rho):
    """The gradient of each point taken by a call of its own."""
    parts = [gradient(float(v), float(r), law, c) for v, r in zip(u, rho)]
    return tuple(np.array([p[k] for p in parts]) for k in range(4))


@pytest.mark.parametrize("law, c", LAWS + [("power-2", (0.6, 4.5))])
def test_an_array_of_points_has_each_point_s_gradient_alone(law, c):
    # Arrays take the points' discs to the gradient lanes together, several
    # points at a time: every point must still get the value and slopes a
    # call for it alone gives, whatever the layout of the arrays and wherever
    # the points lie (inside, at the limb, beyond it, next to the centre, in
    # the far field, non-finite, rho = 0).
    rho = 0.05
    x = np.concatenate([np.linspace(0, 3, 240), [1e-7, 1 - 2e-16, 1, 1 + 2e-16, 7.9, 8, 1e3,
                                                  1e11, np.inf, np.nan]])
    u = np.where(np.arange(x.size) % 4 == 1, -x, x) * rho
    one = np.full(u.size, rho)
    alone = gradient_alone(law, c, u, one)
    for got, expected in zip(gradient(u, rho, law, c), alone):
        same_bits(got, expected)
    for got, expected in zip(gradient(u[::-1], rho, law, c), alone):
        same_bits(got, expected[::-1])
    radii = np.where(np.arange(u.size) % 3 == 0, 0.0, np.geomspace(1e-6, 10, u.size))
    alone = gradient_alone(law, c, u, radii)
    for got, expected in zip(gradient(u, radii, law, c), alone):
        same_bits(got, expected)
    # Strided operands, broadcast over a second axis.
    wide = np.stack([u, u])[:, ::2]
    for got, expected in zip(gradient(wide, radii[::2], law, c), alone):
        same_bits(got, np.stack([expected[::2], expected[::2]]))
    # The light curve: each row is the chain rule on the point's own slopes.
    t = np.linspace(-1, 1, 201)
    t0, u0, te = 0.1, 0.01, 0.5
    a, g = curve_gradient(t, t0, u0, te, rho, law, c)
    for i in range(0, t.size, 7):
        a1, g1 = curve_gradient(t[i], t0, u0, te, rho, law, c)
        same_bits(a[i], a1)
        same_bits(g[i], g1)
    same_bits(a, caustrix.light_curve(t, t0, u0, te, rho, law, c))


def relative_differences(law, c, u, rho, h=1e-6):
    """The derivatives by central differences of magnification() itself."""
    f = lambda uu, rr, cc: caustrix.magnification(uu, rr, law, cc)  # noqa: E731
    du = (f(u + h * rho, rho, c) - f(u - h * rho, rho, c)) / (2 * h * rho)
    drho = (f(u, rho * (1 + h), c) - f(u, rho * (1 - h), c)) / (2 * h * rho)
    dc = []
    for k in range(len(c)):
        up, down = list(c), list(c)
        up[k] += h
        down[k] -= h
        dc.append((f(u, rho, up) - f(u, rho, down)) / (2 * h))
    return du, drho, np.moveaxis(np.array(dc), 0, -1) if c else np.zeros(u.shape + (0,))


@pytest.mark.parametrize("law, c", LAWS)
@pytest.mark.parametrize("rho", [0.01, 0.5, 4.0])
def test_derivatives_agree_with_differences_of_the_value(law, c, rho):
    # A sanity check of every law's wiring, not of the accuracy: the
    # differences carry their own 1e-8 or so.
    u = np.array([0.02, 0.3, 0.7, 1.5, 3.0, 20.0]) * rho   # the last beyond the source's near field
    a, du, drho, dc = gradient(u, rho, law, c)
    ndu, ndrho, ndc = relative_differences(law, c, u, rho)
    scale = a / rho  # the natural size of a slope in u or rho
    np.testing.assert_allclose(du, ndu, rtol=1e-6, atol=1e-7 * scale.max())
    np.testing.assert_allclose(drho, ndrho, rtol=1e-6, atol=1e-7 * scale.max())
    np.testing.assert_allclose(dc, ndc, rtol=1e-6, atol=1e-7 * a.max())


def test_separation_counts_by_its_size_and_the_centre_is_flat():
    u = np.array([0.0, 0.03, 0.2, 1.0, 5.0])
    for law, c in LAWS:
        a, du, drho, dc = gradient(u, 0.2, law, c)
        b, dum, drhom, dcm = gradient(-u, 0.2, law, c)
        same_bits(a, b)
        np.testing.assert_array_equal(du, -dum)
        same_bits(drho, drhom)
        same_bits(dc, dcm)
        assert du[0] == 0
        assert (du[1:] < 0).all()   # the magnification falls away from the centre


def test_nan_and_point_sources():
    for law, c in LAWS:
        a, du, drho, dc = gradient([np.nan], 0.1, law, c)
        assert np.isnan(a).all() and np.isnan(du).all() and np.isnan(drho).all()
        assert np.isnan(dc).all()
        # rho = 0: the point lens, whose slope in u is -8 / (u^2 (u^2 + 4)^(3/2)).
        u = np.array([0.1, 1.0, 30.0])
        a, du, drho, dc = gradient(u, 0.0, law, c)
        np.testing.assert_allclose(du, -8 / (u ** 2 * (u ** 2 + 4) ** 1.5), rtol=1e-14)
        assert (drho == 0).all() and (dc == 0).all()


def test_the_limb_of_a_uniform_disc_is_a_logarithmic_kink():
    for rho in (1e-4, 0.1, 1.0, 30.0):
        a, du, drho, _ = gradient(rho, rho)
        assert du == -np.inf and drho == np.inf
        # Approaching it from either side the slopes are finite and grow
        # without bound, steadily.
        for side in (-1, 1):
            gaps = 10.0 ** -np.arange(2, 13)
            _, du, drho, _ = gradient(rho * (1 + side * gaps), rho)
            assert np.isfinite(du).all() and np.isfinite(drho).all()
            assert (np.diff(du) < 0).all() and (np.diff(drho) > 0).all()


def test_table_law_has_no_gradient_and_errors_are_magnification_s():
    with pytest.raises(ValueError, match="law 'table' has no gradient"):
        gradient(0.5, 0.1, "table", ([0.0, 1.0], [1.0, 0.5]))
    with pytest.raises(ValueError, match="law 'table' has no gradient"):
        curve_gradient(0.5, 0.0, 0.1, 1.0, 0.1, "table", ([0.0, 1.0], [1.0, 0.5]))
    for call in (lambda f: f([0.5], -0.1), lambda f: f([0.5, 1.0], [0.1, 0.2, 0.3]),
                 lambda f: f(0.5, 0.1, "foo"), lambda f: f(0.5, 0.1, "linear", (0.1, 0.2)),
                 lambda f: f(0.5, 0.1, "linear", (1.5,))):
        with pytest.raises(ValueError) as plain:
            call(caustrix.magnification)
        with pytest.raises(ValueError) as with_gradient:
            call(gradient)
        assert str(with_gradient.value) == str(plain.value)
    with pytest.raises(TypeError):
        gradient(0.5, 0.1, out=np.empty(()))
    with pytest.raises(TypeError):
        gradient(["0.5"], 0.1)


@pytest.mark.parametrize("law, c", LAWS[:3] + LAWS[6:7])
def test_light_curve_gradient_is_the_chain_rule_through_the_path(law, c):
    t = np.linspace(-1.0, 1.0, 9)
    t0, u0, te, rho = 0.1, 0.05, 1.3, 0.08
    a, g = curve_gradient(t, t0, u0, te, rho, law, c)
    same_bits(a, caustrix.light_curve(t, t0, u0, te, rho, law, c))
    assert g.shape == (9, 4 + len(c))
    params = [t0, u0, te, rho, *c]
    h = 1e-6
    for k in range(len(params)):
        up, down = list(params), list(params)
        up[k] += h
        down[k] -= h
        diff = (caustrix.light_curve(t, *up[:4], law, tuple(up[4:])) -
                caustrix.light_curve(t, *down[:4], law, tuple(down[4:]))) / (2 * h)
        np.testing.assert_allclose(g[:, k], diff, rtol=1e-5, atol=1e-6 * a.max(), err_msg=k)
    # Broadcasting: the trailing axis follows the broadcast shape.
    a, g = curve_gradient(t[:, None], t0, [0.05, 0.1], te, rho, law, c)
    assert a.shape == (9, 2) and g.shape == (9, 2, 4 + len(c))


def test_closest_approach_through_the_lens_is_flat():
    a, g = curve_gradient([0.0, 0.5], 0.0, 0.0, 1.0, 0.1)
    assert (g[0, :3] == 0).all()
    assert np.isfinite(g).all()


# --------------------------------------------------------------------------
# The uniform disc against high-precision derivatives of its closed form


def disc(u, r):
    h, d = u + r, u - r
    s = mp.sqrt(d * d + 4)
    n = 4 * u * r / h ** 2
    m = 4 * n / (d * d + 4)
    return (mp.ellipe(m) * h * s / (2 * r * r)
            - mp.ellipk(m) * d * (u * u - r * r + 8) / (2 * r * r * s)
            + mp.ellippi(n, m) * 2 * (1 + r * r) * d * d / (r * r * h * s)) / mp.pi


@pytest.mark.parametrize("rho", [1e-6, 1e-2, 1.0, 1e3])
def test_uniform_disc_derivatives_against_the_closed_form(rho):
    # Each branch: near the centre, inside, the limb zone on both sides,
    # outside, and the mean-value series of the far field.  The closed form
    # cancels like x^2 (u^2 + 4)^2, which the working precision covers.
    worst = 0.0
    for x in (1e-4, 0.3, 0.999, 1 - 1e-6, 1 + 1e-6, 1.2, 5.0, 150.0, 2e3):
        u = x * rho
        mp.mp.dps = int(30 + 2 * np.log10(x + 1) + 5 * np.log10(max(u, 1.0)))
        U, R = mp.mpf(u), mp.mpf(rho)
        ref_u = mp.diff(lambda v: disc(v, R), U)
        ref_r = mp.diff(lambda v: disc(U, v), R)
        a, du, drho, _ = gradient(u, rho)
        # Relative to the slope, or to A / rho where the slope in rho is far
        # below the value's own precision.
        for got, ref in ((du, ref_u), (drho, ref_r)):
            error = abs(float(got) - ref) / max(abs(ref), 1e-11 * a / rho)
            worst = max(worst, float(error))
    mp.mp.dps = 15
    assert worst < 1e-10, worst


# --------------------------------------------------------------------------
# Threads


def test_results_are_the_same_bits_for_any_pool_size():
    code = """
        import hashlib, numpy as np, caustrix
        u = np.linspace(0, 3, 100_001)
        parts = caustrix.magnification_and_gradient(u, np.array([[0.01], [0.2]]))
        parts += caustrix.magnification_and_gradient(u[:3001], 0.1, "quadratic", (0.4, 0.2))
        parts += caustrix.light_curve_and_gradient(np.linspace(-2, 2, 50_003), 0.1, 0.05, 1.3,
                                                   0.02, "linear", (0.6,))
        print(hashlib.sha256(b"".join(p.tobytes() for p in parts)).hexdigest())
    """
    digests = set()
    for threads in ("1", "2", "3"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        digests.add(done.stdout.strip())
    assert len(digests) == 1
