"""The uniform law computed a run of points at a time (the discs in vector
lanes) gives every point the value it has on its own, whatever the shapes,
strides and broadcasts, and the value the scalar element gives it."""

from __future__ import annotations

import json

import numpy as np
import pytest

import caustrix
from helpers import run_child


def one_by_one(function, *arrays):
    """The function at each broadcast point as a lone pair of floats."""
    arrays = np.broadcast_arrays(*(np.asarray(a, dtype=float) for a in arrays))
    out = np.empty(arrays[0].shape)
    for index in np.ndindex(out.shape):
        out[index] = function(*(float(a[index]) for a in arrays))
    return out


def same_bits(got, expected):
    got = np.ascontiguousarray(got)
    expected = np.ascontiguousarray(expected)
    assert got.shape == expected.shape
    differ = got.view(np.uint64) != expected.view(np.uint64)
    assert not differ.any(), (got[differ][:5], expected[differ][:5])


def separations(rng, n):
    """Through and around the disc, by the limb, and far outside."""
    inside = rng.uniform(0, 3, n)
    limb = 1 + rng.normal(0, 1e-4, n // 4)
    far = 10 ** rng.uniform(0, 4, n // 4)
    return np.concatenate([[0.0, 1.0, 1 - 2**-52, 1 + 2**-52, 999.9, 1e3, 1e12], inside, limb, far])


@pytest.mark.parametrize("layout", ["contiguous", "strided", "broadcast", "transposed", "tail"])
def test_every_layout_gives_each_point_its_own_value(layout):
    rng = np.random.default_rng(11)
    x = separations(rng, 600)
    rho = 10 ** rng.uniform(-4, 0.5, x.size)
    if layout == "contiguous":
        u, r = x * rho, rho
    elif layout == "strided":
        u = np.repeat(x * rho, 3)[::3]
        r = np.repeat(rho, 2)[1::2]
        assert not u.flags.contiguous
    elif layout == "broadcast":
        # Runs along the last axis with rho a zero-stride scalar per row.
        u = (x[:257] * 0.01)[None, :]
        r = np.array([1e-4, 0.003, 0.01, 0.2, 2.0])[:, None]
    elif layout == "transposed":
        u = (x[:299 * 2] * rho[:299 * 2]).reshape(2, 299).T
        r = rho[:299 * 2].reshape(2, 299).T
    else:
        # Lengths around the run and the lane group, one row each.
        u, r = x[:1], rho[:1]
        for n in (0, 1, 3, 4, 5, 7, 8, 9, 255, 256, 257, 513):
            same_bits(caustrix.magnification(x[:n] * rho[:n], rho[:n]),
                      one_by_one(caustrix.magnification, x[:n] * rho[:n], rho[:n]))
    same_bits(caustrix.magnification(u, r), one_by_one(caustrix.magnification, u, r))


def test_a_large_call_divided_between_threads_matches_point_by_point():
    rng = np.random.default_rng(5)
    # 80000 points: enough work for the pool to take the call in chunks.
    x = separations(rng, 120000)[:160000]
    rho = 10 ** rng.uniform(-3, 0, x.size)
    u = (x * rho).reshape(-1, 8)[:, ::2]  # strided runs of four
    r = rho.reshape(-1, 8)[:, ::2]
    same_bits(caustrix.magnification(u, r), one_by_one(caustrix.magnification, u, r))


def test_light_curve_runs_match_point_by_point_into_a_strided_output():
    t = np.linspace(-3, 3, 1001)[::2]
    t0 = np.array([0.0, 0.1])[:, None]
    rho = 0.02
    out = np.full((2, 501 * 2), -7.0)[:, ::2]
    caustrix.light_curve(t, t0, 0.005, 1.3, rho, out=out)
    same_bits(out, one_by_one(caustrix.light_curve, t, t0, 0.005, 1.3, rho))
    assert (out.base[:, 1::2] == -7.0).all()


def test_every_vector_level_agrees_with_the_scalar_path():
    # The edge cases of the law (rho = 0, tiny sources, a lens beyond the
    # largest double of source radii, NaN) beside ordinary points.
    script = """
        import json, os, sys
        os.environ["CAUSTRIX_SIMD"] = sys.argv[1] if len(sys.argv) > 1 else "{level}"
        import numpy as np, caustrix
        rng = np.random.default_rng(9)
        x = np.concatenate([[0, 0.5, 1, 1 + 1e-15, 2, 1e3, 1e9, 1e11, np.inf, np.nan],
                            rng.uniform(0, 3, 3000), 10 ** rng.uniform(0, 4, 500)])
        rho = np.array([0, 5e-324, 1e-300, 1e-160, 1e-150, 1e-4, 0.01, 0.3, 3, 1e200])[:, None]
        u = np.where(np.isfinite(x * rho), x * rho, x)
        u = np.concatenate([u, -u], axis=1)
        a = caustrix.magnification(u, rho)
        c = np.array([caustrix.witt_mao_magnification([v], 2.0, 0.07)[0] for v in x[10:1010]])
        print(json.dumps([a.view(np.uint64).tolist(), c.view(np.uint64).tolist()]))
    """
    results = {}
    for level in ("baseline", "avx2", "avx512"):
        child = run_child(script.replace("{level}", level))
        assert child.returncode == 0, child.stderr
        results[level] = json.loads(child.stdout)
    assert results["avx2"] == results["baseline"]
    assert results["avx512"] == results["baseline"]
