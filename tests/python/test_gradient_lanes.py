"""The gradients computed with the discs in vector lanes (a run of points at
a time for the uniform law, a layout's nodes at a time for the darkened
laws) give every point what the scalar path gives it, bit for bit, whatever
the shapes and strides, and A beside them stays the magnification's."""

from __future__ import annotations

import json

import numpy as np
import pytest

import caustrix
from helpers import run_child


def same_bits(got, expected):
    got = np.ascontiguousarray(got)
    expected = np.ascontiguousarray(expected)
    assert got.shape == expected.shape
    differ = got.view(np.uint64) != expected.view(np.uint64)
    assert not differ.any(), (got[differ][:5], expected[differ][:5])


def one_by_one(*arrays):
    """magnification_and_gradient (uniform) at each broadcast point alone."""
    arrays = np.broadcast_arrays(*(np.asarray(a, dtype=float) for a in arrays))
    fields = [np.empty(arrays[0].shape) for _ in range(3)]
    for index in np.ndindex(arrays[0].shape):
        a, du, dr, _ = caustrix.magnification_and_gradient(*(float(v[index]) for v in arrays))
        for f, v in zip(fields, (a, du, dr)):
            f[index] = v
    return fields


def separations(rng, n):
    """Through and around the disc, by the limb, across x = 100 and far outside."""
    return np.concatenate([
        [0.0, 1.0, 1 - 2**-52, 1 + 2**-52, 99.99, 100.0, 999.9, 1e3, 1e12],
        rng.uniform(0, 3, n), 1 + rng.normal(0, 1e-4, n // 4), 10 ** rng.uniform(0, 4, n // 4)])


@pytest.mark.parametrize("layout", ["strided", "broadcast", "transposed", "tail"])
def test_uniform_runs_give_each_point_its_own_gradient(layout):
    rng = np.random.default_rng(17)
    x = separations(rng, 400)
    rho = 10 ** rng.uniform(-4, 0.5, x.size)
    sign = np.where(rng.uniform(size=x.size) < 0.3, -1.0, 1.0)
    if layout == "strided":
        u = np.repeat(sign * x * rho, 3)[::3]
        r = np.repeat(rho, 2)[1::2]
        assert not u.flags.contiguous
    elif layout == "broadcast":
        u = (x[:257] * 0.01)[None, :]
        r = np.array([0.0, 1e-160, 1e-4, 0.01, 2.0])[:, None]
    elif layout == "transposed":
        u = (x[:398] * rho[:398]).reshape(2, 199).T
        r = rho[:398].reshape(2, 199).T
    else:
        u, r = x[:1], rho[:1]
        for n in (0, 1, 3, 4, 5, 7, 8, 9, 255, 256, 257):
            a, du, dr, _ = caustrix.magnification_and_gradient(x[:n] * rho[:n], rho[:n])
            for got, want in zip((a, du, dr), one_by_one(x[:n] * rho[:n], rho[:n])):
                same_bits(got, want)
    a, du, dr, dc = caustrix.magnification_and_gradient(u, r)
    assert dc.shape == a.shape + (0,)
    for got, want in zip((a, du, dr), one_by_one(u, r)):
        same_bits(got, want)
    same_bits(a, caustrix.magnification(u, r))


def test_uniform_light_curve_rows_match_point_by_point():
    t = np.linspace(-3, 3, 601)[::2]
    t0 = np.array([0.0, 0.1])[:, None]
    a, g = caustrix.light_curve_and_gradient(t, t0, 0.005, 1.3, 0.02)
    same_bits(a, caustrix.light_curve(t, t0, 0.005, 1.3, 0.02))
    for i in (0, 1):
        for j in range(0, t.size, 37):
            a1, g1 = caustrix.light_curve_and_gradient(t[j], t0[i, 0], 0.005, 1.3, 0.02)
            same_bits(a[i, j], a1)
            same_bits(g[i, j], g1)


def test_every_vector_level_agrees_with_the_scalar_path():
    # The uniform law's edge cases (rho = 0, tiny sources, a lens beyond the
    # largest double of source radii, NaN, negative u) beside ordinary
    # points, and the darkened laws, whose layouts put nodes at every kind
    # of disc (inside, on and next to the limb, far outside).
    script = """
        import json, os, sys
        os.environ["CAUSTRIX_SIMD"] = "{level}"
        import numpy as np, caustrix
        rng = np.random.default_rng(9)
        x = np.concatenate([[0, 0.5, 1, 1 + 1e-15, 2, 100, 1e3, 1e9, 1e11, np.inf, np.nan],
                            rng.uniform(0, 3, 600), 10 ** rng.uniform(0, 4, 200)])
        rho = np.array([0, 5e-324, 1e-300, 1e-160, 1e-150, 1e-4, 0.01, 0.3, 3, 1e200])[:, None]
        u = np.where(np.isfinite(x * rho), x * rho, x)
        u = np.concatenate([u, -u], axis=1)
        out = [np.concatenate([f.ravel() for f in caustrix.magnification_and_gradient(u, rho)])]
        xs = np.concatenate([[0, 1e-7, 0.5, 1 - 1e-9, 1, 1 + 1e-9, 2, 50], rng.uniform(0, 2.5, 40)])
        for law, c in (("quadratic", (0.4, 0.3)), ("power-2", (0.6, 0.7)),
                       ("logarithmic", (0.5, 0.0)), ("nonlinear", (0.5, 0.1, 0.2, -0.1))):
            for r in (1e-3, 0.1, 30.0):
                fields = caustrix.magnification_and_gradient(xs * r, r, law, c)
                assert (fields[0] == caustrix.magnification(xs * r, r, law, c)).all()
                out.append(np.concatenate([f.ravel() for f in fields]))
        t = np.linspace(-2, 2, 41)
        out.append(np.concatenate([f.ravel() for f in caustrix.light_curve_and_gradient(
            t, 0.1, 0.05, 1.5, 0.1, "quadratic", (0.4, 0.3))]))
        print(json.dumps([np.ascontiguousarray(v).view(np.uint64).tolist() for v in out]))
    """
    results = {}
    for level in ("baseline", "avx2", "avx512"):
        child = run_child(script.replace("{level}", level))
        assert child.returncode == 0, child.stderr
        results[level] = json.loads(child.stdout)
    assert results["avx2"] == results["baseline"]
    assert results["avx512"] == results["baseline"]
