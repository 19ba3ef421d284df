"""magnification() and light_curve() as callers see them: numpy's
broadcasting and conversions, out=, every refusal with its text, agreement
with the classic functions, and the same values however the work is split
between threads."""

from __future__ import annotations

import math
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import caustrix

from helpers import default_sigint, run_child

magnification = caustrix.magnification
light_curve = caustrix.light_curve

TABLE = ([0.0, 0.3, 0.7, 1.0], [1.0, 0.9, 0.6, 0.2])


def classic_uniform(u, rho):
    """The uniform disc by the classic function, element by element: the
    separation in source radii, re = 1 and rstar = rho."""
    u, rho = np.broadcast_arrays(np.abs(np.asarray(u, float)), np.asarray(rho, float))
    flat = [caustrix.witt_mao_magnification([a / r], 1.0, r)[0] if r > 0 else
            (a * a + 2) / (a * math.sqrt(a * a + 4))
            for a, r in zip(u.ravel(), rho.ravel())]
    return np.array(flat).reshape(u.shape)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape
    assert a.tobytes() == b.tobytes(), np.flatnonzero(a.view(np.int64) != b.view(np.int64))


# --------------------------------------------------------------------------
# Shapes and conversions


GRID = np.array([0.0, 1e-3, 0.05, 0.0999, 0.1, 0.1001, 0.3, 2.0, 1e3])


@pytest.mark.parametrize("u, rho, shape", [
    (0.5, 0.1, ()),
    (np.float64(0.5), np.array(0.1), ()),
    (GRID, 0.1, (9,)),
    (GRID[:, None], [0.01, 0.1, 1.0], (9, 3)),
    ([[0.5]], np.full((2, 1, 3), 0.2), (2, 1, 3)),
    (np.empty((0, 3)), 0.1, (0, 3)),
    (np.empty(0), np.ones((4, 1)), (4, 0)),
    (GRID[::-2], 0.1, (5,)),                             # negative strides
    (np.broadcast_to(0.4, (3, 4)), np.arange(1, 5) / 10, (3, 4)),  # zero strides
    (np.asfortranarray(np.outer(GRID, [1, 2])), 0.1, (9, 2)),
    (GRID.astype(">f8"), 0.1, (9,)),                   # not native byte order
    (GRID.astype(np.float32), np.float32(0.1), (9,)),
    ([0, 1, 2, 3], 1, (4,)),
    (np.arange(4, dtype=np.uint8), True, (4,)),
    (range(4), 0.5, (4,)),
])
def test_result_has_the_broadcast_shape_and_the_classic_values(u, rho, shape):
    got = magnification(u, rho)
    assert type(got) is np.ndarray and got.dtype == np.float64 and got.shape == shape
    u64 = np.asarray(u).astype(np.float64)
    rho64 = np.asarray(rho).astype(np.float64)
    same_bits(got, classic_uniform(u64, rho64))


def test_separation_counts_by_its_size_and_nan_stays_nan():
    u = np.array([0.0, 0.05, 0.1, 0.3, 7.0, np.inf])
    same_bits(magnification(-u, 0.1), magnification(u, 0.1))
    same_bits(magnification(-u, 0.1, "table", TABLE), magnification(u, 0.1, "table", TABLE))
    for law, c in [("uniform", ()), ("linear", (0.6,)), ("table", TABLE)]:
        assert np.isnan(magnification([np.nan, 0.5], 0.1, law, c)[0])


def test_zero_rho_is_the_point_lens():
    u = np.array([1e-3, 0.1, 1.0, 3.0, 1e6])
    point = (u * u + 2) / (u * np.sqrt(u * u + 4))
    np.testing.assert_allclose(magnification(u, 0.0), point, rtol=1e-15)
    np.testing.assert_allclose(magnification(u, 0.0, "quadratic", (0.4, 0.2)), point,
                               rtol=1e-15)


@pytest.mark.parametrize("value, message", [
    ("0.5", "u must be real numbers, not an array of dtype <U3"),
    (1j, "u must be real numbers, not an array of dtype complex128"),
    ([0.5, None], "u must be real numbers, not an array of dtype object"),
])
def test_values_that_are_not_real_numbers_are_refused(value, message):
    with pytest.raises(TypeError) as info:
        magnification(value, 0.1)
    assert str(info.value) == message


# --------------------------------------------------------------------------
# Agreement with the classic functions and between the two functions


def test_uniform_law_is_the_classic_disc_to_the_bit_across_the_range():
    rng = np.random.default_rng(7)
    rho = np.array([1e-6, 1e-3, 0.1, 1.0, 30.0, 1e3])[:, None]
    ratio = np.concatenate([[0.0, 1e-8, 0.5, 1 - 2**-52, 1.0, 1 + 2**-52, 2.0, 1e6],
                            rng.uniform(0, 3, 24)])
    u = ratio * rho
    same_bits(magnification(u, rho), classic_uniform(u, rho))


def test_table_law_is_the_classic_flux_map():
    rho = 0.05
    ratio = [0.0, 0.5, 0.999, 1.0, 1.001, 2.5, 40.0]
    got = magnification(np.array(ratio) * rho, rho, "table", TABLE)
    classic = caustrix.integrated_flux_map_witt_mao_magnification(
        list(np.array(ratio) * rho / rho), 1.0, rho, *TABLE)
    np.testing.assert_allclose(got, classic, rtol=1e-15)


def test_linear_law_is_the_classic_integrated_disc():
    ratio = np.array([0.0, 0.5, 0.999, 1.0, 1.001, 2.5, 40.0])
    got = magnification(ratio * 0.1, 0.1, "linear", (0.6,))
    classic = caustrix.integrated_witt_mao_magnification(list(ratio), 1.0, 0.1)
    np.testing.assert_allclose(got, classic, rtol=1e-10)


def test_light_curve_is_the_magnification_at_the_path_separation():
    t = np.linspace(-3, 5, 41)[:, None]
    t0, u0, te = 0.7, np.array([0.0, -0.02, 0.3]), 1.5
    rho = 0.05
    u = np.sqrt(u0 ** 2 + ((t - t0) / te) ** 2)
    for law, c in [("uniform", ()), ("table", TABLE)]:
        same_bits(light_curve(t, t0, u0, te, rho, law, c), magnification(u, rho, law, c))
    out = np.full((41, 3), -1.0)
    assert light_curve(t, t0, u0, te, rho, out=out) is out
    same_bits(out, magnification(u, rho))


LAWS = [("linear", (0.6,)), ("quadratic", (0.5, 0.2)), ("square-root", (0.3, 0.4)),
        ("logarithmic", (0.6, 0.2)), ("power-2", (0.6, 0.6)),
        ("nonlinear", (0.5, 0.1, 0.3, -0.1)), ("table", TABLE)]


@pytest.mark.parametrize("law, c", LAWS)
def test_an_array_of_darkened_points_is_each_point_alone(law, c):
    # Arrays take the points' discs together, several points at a time:
    # every point must still get the value a call for it alone gives,
    # whatever the layout of the arrays and wherever the points lie (inside,
    # at the limb, beyond it, in the far field, non-finite, rho = 0).
    rho = 0.05
    x = np.concatenate([np.linspace(0, 3, 300), [1 - 2e-16, 1, 1 + 2e-16, 7.9, 8, 1e3,
                                                  np.inf, np.nan]])
    u = x * rho
    alone = np.array([magnification(float(v), rho, law, c) for v in u])
    same_bits(magnification(u, rho, law, c), alone)
    same_bits(magnification(u[::-1], rho, law, c), alone[::-1])
    radii = np.where(np.arange(u.size) % 3 == 0, 0.0, np.geomspace(1e-6, 10, u.size))
    alone = np.array([magnification(float(v), float(r), law, c) for v, r in zip(u, radii)])
    same_bits(magnification(u, radii, law, c), alone)
    same_bits(magnification(np.stack([u, u])[:, ::2], radii[::2], law, c),
              np.stack([alone[::2], alone[::2]]))
    written = u.copy()
    assert magnification(written, radii, law, c, out=written) is written
    same_bits(written, alone)
    t = np.linspace(-1, 1, 201)
    path = np.sqrt(0.01 ** 2 + ((t - 0.1) / 0.5) ** 2)
    same_bits(light_curve(t, 0.1, 0.01, 0.5, rho, law, c),
              np.array([magnification(float(v), rho, law, c) for v in path]))


# --------------------------------------------------------------------------
# out=


class TestOut:
    def test_filled_in_place_and_returned(self):
        out = np.full(9, -1.0)
        assert magnification(GRID, 0.1, out=out) is out
        same_bits(out, magnification(GRID, 0.1))

    def test_a_strided_view_is_filled_and_nothing_around_it(self):
        base = np.full((9, 4), -1.0)
        view = base[:, 1::2]  # (9, 2), neither row nor column contiguous
        magnification(GRID[:, None], [0.1, 0.2], out=view)
        same_bits(view, magnification(GRID[:, None], [0.1, 0.2]))
        assert (base[:, ::2] == -1.0).all()
        magnification(GRID, 0.1, out=base.T[2])
        same_bits(base[:, 2], magnification(GRID, 0.1))

    def test_an_output_that_overlaps_an_input_reads_the_input_first(self):
        expected = magnification(GRID, 0.1)
        u = GRID.copy()
        magnification(u, 0.1, out=u)
        same_bits(u, expected)
        # Shifted by one element: each write would land on the next read.
        buffer = np.concatenate([GRID, [0.0]])
        magnification(buffer[:-1], 0.1, out=buffer[1:])
        same_bits(buffer[1:], expected)
        # rho broadcast from the output itself.
        cell = np.array([0.1])
        magnification(GRID[:1], cell, out=cell)
        same_bits(cell, expected[:1])

    @pytest.mark.parametrize("out, error, message", [
        (np.empty(9, np.float32), TypeError,
         "out must be a numpy.ndarray of float64, not of dtype float32"),
        (np.empty(9, ">f8"), TypeError,
         "out must be a numpy.ndarray of float64, not of dtype >f8"),
        ([0.0] * 9, TypeError, "out must be a numpy.ndarray of float64, not 'list'"),
        (np.empty(8), ValueError,
         "out has shape (8,), but the result has shape (9,) (law 'uniform')"),
        (np.empty((9, 1)), ValueError,
         "out has shape (9, 1), but the result has shape (9,) (law 'uniform')"),
    ])
    def test_wrong_outputs_are_refused(self, out, error, message):
        with pytest.raises(error) as info:
            magnification(GRID, 0.1, out=out)
        assert str(info.value) == message

    def test_a_read_only_output_is_refused_untouched(self):
        out = np.zeros(9)
        out.flags.writeable = False
        with pytest.raises(ValueError, match=r"^out is read-only \(law 'uniform'\)$"):
            magnification(GRID, 0.1, out=out)
        assert (out == 0).all()

    def test_out_is_keyword_only(self):
        with pytest.raises(TypeError):
            magnification(GRID, 0.1, "uniform", (), np.empty(9))


# --------------------------------------------------------------------------
# Refusals


LAWS = ("'uniform', 'linear', 'quadratic', 'square-root', 'logarithmic', 'power-2', "
        "'nonlinear', 'table'")


@pytest.mark.parametrize("law, coefficients, error, message", [
    ("foo", (), ValueError, f"unknown law 'foo' (laws: {LAWS})"),
    ("Linear", (0.5,), ValueError, f"unknown law 'Linear' (laws: {LAWS})"),
    (3, (), TypeError, "law must be a str, not 'int'"),
    ("uniform", (0.5,), ValueError, "law 'uniform' takes no coefficients, got 1"),
    ("linear", (), ValueError, "law 'linear' takes 1 coefficient (a,), got 0"),
    ("quadratic", (0.1, 0.2, 0.3), ValueError,
     "law 'quadratic' takes 2 coefficients (a, b), got 3"),
    ("nonlinear", [0.5] * 3, ValueError,
     "law 'nonlinear' takes 4 coefficients (a1, a2, a3, a4), got 3"),
    ("table", TABLE[0], ValueError,
     "law 'table' takes 2 coefficients (radii, brightnesses), got 4"),
    ("linear", 0.6, TypeError,
     "law 'linear': the coefficients must be a sequence of numbers, not 'float'"),
    ("linear", "a", TypeError,
     "law 'linear': the coefficients must be a sequence of numbers, not 'str'"),
    ("linear", ["0.6"], TypeError,
     "law 'linear': the coefficients must be a sequence of numbers, but item 0 is 'str'"),
    ("table", 2.0, TypeError,
     "law 'table' takes its coefficients as a pair (radii, brightnesses) of sequences, "
     "not 'float'"),
    ("table", (0.5, 1.0), TypeError,
     "law 'table': the radii must be a sequence of numbers, not 'float'"),
    ("linear", (1.5,), ValueError,
     "law 'linear' with coefficients (1.5,): the brightness is negative somewhere on the disc"),
    ("quadratic", (0.6, 0.5), ValueError,
     "law 'quadratic' with coefficients (0.6, 0.5): "
     "the brightness is negative somewhere on the disc"),
    ("linear", (float("nan"),), ValueError,
     "law 'linear' with coefficients (nan,): the coefficients must be finite"),
    ("power-2", (0.5, 0), ValueError,
     "law 'power-2' with coefficients (0.5, 0.0): the exponent alpha must be positive"),
    ("power-2", (0.5, 50.000000000001), ValueError,
     "law 'power-2' with coefficients (0.5, 50.000000000001): "
     "the exponent alpha must not exceed 50"),
    ("table", ([0.0, 1.0], [1.0]), ValueError,
     "law 'table': the radii and the brightnesses must be of the same length"),
    ("table", ([0.5, 0.2], [1.0, 1.0]), ValueError, "law 'table': the radii must be ascending"),
    ("table", ([0.0, 1.0], [0.0, 0.0]), ValueError, "law 'table': the profile has no flux"),
])
def test_bad_laws_are_refused_with_their_reason(law, coefficients, error, message):
    for call in (lambda: magnification(0.5, 0.1, law, coefficients),
                 lambda: light_curve(0.0, 0.0, 0.5, 1.0, 0.1, law=law,
                                     coefficients=coefficients)):
        with pytest.raises(error) as info:
            call()
        assert str(info.value) == message


def test_laws_at_the_edge_of_their_range_are_accepted():
    for law, c in [("linear", (1.0,)), ("quadratic", (0.0, 1.0)), ("square-root", (0.0, 1.0)),
                   ("logarithmic", (1.0, 0.0)), ("power-2", (1.0, 0.1)),
                   ("nonlinear", (0.0, 0.0, 0.0, 1.0)), ("linear", np.array([0.6])),
                   ("table", (np.array([0.0, 1.0]), (1.0, 0.0)))]:
        assert np.isfinite(magnification(0.3, 0.1, law, c))


@pytest.mark.parametrize("rho", [-1e-300, np.nan, np.inf, [0.1, -0.1]])
def test_a_bad_rho_is_refused_before_anything_is_written(rho):
    out = np.full(2, 7.0)
    with pytest.raises(ValueError) as info:
        magnification([0.1, 0.2], rho, "linear", (0.5,), out=out)
    assert str(info.value) == "rho must be finite and not negative (law 'linear')"
    assert (out == 7.0).all()


def test_shapes_that_do_not_broadcast_are_named():
    with pytest.raises(ValueError) as info:
        magnification(np.ones(3), np.ones((2, 4)))
    assert str(info.value) == ("u of shape (3,) and rho of shape (2, 4) do not broadcast "
                               "together (law 'uniform')")
    with pytest.raises(ValueError) as info:
        light_curve(np.ones(3), 0.0, np.ones(2), 1.0, 0.1, "linear", (0.3,))
    assert str(info.value) == ("t of shape (3,), t0 of shape (), u0 of shape (2,), "
                               "tE of shape () and rho of shape () do not broadcast together "
                               "(law 'linear')")


# --------------------------------------------------------------------------
# Hostile arguments


class TestHostile:
    def test_an_output_that_writes_many_elements_to_one_place_keeps_the_last(self):
        # Large enough for the worker pool, were it not written in order.
        u = np.linspace(0.0, 3.0, 300_001)
        cell = np.zeros(1)
        out = np.lib.stride_tricks.as_strided(cell, shape=u.shape, strides=(0,))
        magnification(u, 0.1, out=out)
        same_bits(cell, magnification(u[-1:], 0.1))

    def test_a_result_too_large_for_memory_is_refused_before_work(self):
        huge = np.broadcast_to(0.5, (2**50,))  # one double, seen 2**50 times
        with pytest.raises((MemoryError, ValueError)):
            magnification(huge, 0.1)

    def test_failures_of_the_callers_own_objects_pass_unchanged(self):
        class Boom(Exception):
            pass

        class ArrayRaises:
            def __array__(self, dtype=None, copy=None):
                raise Boom("no array")

        class FloatRaises:
            def __float__(self):
                raise Boom("no float")

        with pytest.raises(Boom):
            magnification(ArrayRaises(), 0.1)
        with pytest.raises(Boom):
            light_curve(0.0, 0.0, 0.1, 1.0, ArrayRaises())
        class PairLengthRaises:
            def __len__(self):
                raise Boom("no length")

            def __getitem__(self, i):
                return ([0.0, 1.0], [1.0, 0.5])[i]

        with pytest.raises(Boom):
            magnification(0.5, 0.1, "linear", [FloatRaises()])
        with pytest.raises(Boom):
            magnification(0.5, 0.1, "table", PairLengthRaises())
        with pytest.raises(OverflowError):
            magnification(10**400, 0.1)

    def test_an_array_subclass_as_out_is_filled_and_returned(self):
        out = np.ma.masked_array(np.zeros(9), mask=[False] * 9)
        assert magnification(GRID, 0.1, out=out) is out
        same_bits(out.data, magnification(GRID, 0.1))


# --------------------------------------------------------------------------
# Threads, signals, processes


# A table law costs about 10 us per element: a few hundred thousand keep a
# call busy for seconds without large arrays.
LONG_CALL = "caustrix.magnification(np.linspace(0, 0.3, {n}), 0.1, 'table', " \
            "([0.0, 0.3, 0.7, 1.0], [1.0, 0.9, 0.6, 0.2]))"


def test_results_are_the_same_bits_for_any_pool_size():
    code = f"""
        import hashlib, numpy as np, caustrix
        a = caustrix.magnification(np.linspace(0, 3, 200_001), np.array([[0.01], [0.2]]))
        b = {LONG_CALL.format(n=3001)}
        c = caustrix.light_curve(np.linspace(-2, 2, 100_003), 0.1, 0.05, 1.3, 0.02)
        print(hashlib.sha256(a.tobytes() + b.tobytes() + c.tobytes()).hexdigest())
    """
    digests = set()
    for threads in ("1", "2", "3", "7"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        digests.add(done.stdout.strip())
    assert len(digests) == 1


def test_other_threads_run_while_a_call_computes():
    ticks = 0
    stop = threading.Event()

    def count():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    u = np.linspace(0, 0.3, 40_000)
    counter.start()
    try:
        started = ticks
        result = magnification(u, 0.1, "table", TABLE)
        during = ticks - started
    finally:
        stop.set()
        counter.join()
    print(f"counter advanced {during} times during the call")
    assert during > 10
    # Concurrent calls from several threads give what one call gives.
    outcomes = [None] * 3

    def work(k):
        outcomes[k] = magnification(u[::10], 0.1, "table", TABLE)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for got in outcomes:
        same_bits(got, result[::10])


INTERRUPTED_CHILD = """
import sys, time
import numpy as np, caustrix
print("ready", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
else:
    print("finished", flush=True)
"""


# A finely tabulated profile, whose elements take some 20 ms each: signals
# are looked for between runs of elements, and a run of them once took
# seconds.
LONG_TABLE_CALL = ("caustrix.magnification(np.linspace(0.0, 0.3, 600), 0.1, 'table', "
                   "(np.linspace(0.0, 1.0, 100_000), np.linspace(1.0, 0.2, 100_000)))")


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("call", [LONG_CALL.format(n=2_000_000), LONG_TABLE_CALL],
                         ids=["many points", "a long table"])
def test_ctrl_c_ends_a_long_call_promptly(threads, call):
    script = INTERRUPTED_CHILD.format(call=call)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ, RAYON_NUM_THREADS=threads),
                             preexec_fn=default_sigint)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
    words = out.split()
    assert words[0] == "interrupted", out
    latency = float(words[1]) - sent
    print(f"{threads} thread(s): KeyboardInterrupt {latency * 1e3:.1f} ms after SIGINT")
    # Generous for a loaded machine; signals are looked for every 5-10 ms,
    # or after an element of the long table.
    assert latency < 2.0


def test_fork_from_a_signal_handler_during_a_pooled_call():
    code = f"""
        import os, signal, sys
        import numpy as np, caustrix
        parent = os.getpid()
        def fork_here(signum, frame):
            if os.fork() != 0:
                os.wait()
        signal.signal(signal.SIGALRM, fork_here)
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        got = {LONG_CALL.format(n=200_000)}
        signal.setitimer(signal.ITIMER_REAL, 0)
        expected = {LONG_CALL.format(n=200_000)}
        print("child" if os.getpid() != parent else "parent", got.tobytes() == expected.tobytes(),
              flush=True)
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=300, env=dict(os.environ, RAYON_NUM_THREADS="2"))
    assert done.returncode == 0, done.stderr
    lines = sorted(done.stdout.split("\n")[:-1])
    if lines == ["parent True"]:
        pytest.skip("the call ended before the timer fired")
    assert lines == ["child True", "parent True"], done.stdout


def test_classic_functions_work_without_numpy():
    done = run_child("""
        import sys
        sys.modules["numpy"] = None
        import caustrix
        print(caustrix.witt_mao_magnification([0.5], 1.0, 0.1))
        print(caustrix.multi_witt_mao_magnification([0.5], [1.0, 2.0], [0.1]))
        for call in (lambda: caustrix.magnification(0.5, 0.1),
                     lambda: caustrix.light_curve(0.0, 0.0, 0.5, 1.0, 0.1)):
            try:
                call()
            except ImportError as exc:
                print(type(exc).__name__, exc, "|", type(exc.__cause__).__name__)
        assert "numpy" not in sys.modules or sys.modules["numpy"] is None
    """)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("[") and lines[1].startswith("[[")
    assert lines[2:] == [
        "ImportError magnification() needs numpy, which could not be imported | "
        "ModuleNotFoundError",
        "ImportError light_curve() needs numpy, which could not be imported | "
        "ModuleNotFoundError"]


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                    reason="the sanitizers' red zones multiply every stack frame")
def test_every_function_runs_on_a_thread_with_a_small_stack():
    # A darkened source's quadrature works on arrays of some 10^3 nodes;
    # held on the stack they overflowed a thread given 128 KiB, and the
    # interpreter died.  Every function must run on a thread of 64 KiB.
    code = """
        import threading, numpy as np, caustrix
        threading.stack_size(64 * 1024)
        TABLE = ([0.0, 0.5, 1.0], [1.0, 0.8, 0.3])
        def work():
            u = np.concatenate([np.linspace(0, 0.05, 300), [1e-170, 0.0, 2.0]])
            for law, c in [("uniform", ()), ("linear", (0.6,)), ("quadratic", (0.5, 0.2)),
                           ("square-root", (0.3, 0.4)), ("logarithmic", (0.6, 0.0)),
                           ("logarithmic", (0.6, 0.2)), ("power-2", (0.0, 0.6)),
                           ("power-2", (0.6, 0.6)), ("nonlinear", (0.5, 0.1, 0.3, -0.1)),
                           ("table", TABLE)]:
                for rho in (0.01, 1e-160, 3.0):
                    for x in (u, float(u[3])):
                        caustrix.magnification(x, rho, law, c)
                        caustrix.light_curve(x, 0.0, 0.001, 1.0, rho, law, c)
                        if law != "table":
                            caustrix.magnification_and_gradient(x, rho, law, c)
                            caustrix.light_curve_and_gradient(x, 0.0, 0.001, 1.0, rho, law, c)
            l = [0.0, 0.5, 1.0, 1.5, 30.0]
            caustrix.witt_mao_magnification(l, 1.0, 0.01)
            caustrix.multi_witt_mao_magnification(l, [1.0], [0.01, 0.02])
            caustrix.heyrovsky_magnification(0.5, 0.7, 1.0, 0.01)
            caustrix.integrated_witt_mao_magnification(l, 1.0, 0.01)
            caustrix.integrated_heyrovsky_magnification(l, 1.0, 0.01)
            for f in (caustrix.integrated_flux_map_witt_mao_magnification,
                      caustrix.integrated_flux_map_heyrovsky_magnification,
                      caustrix.discrete_flux_map_heyrovsky_magnification):
                f(l, 1.0, 0.01, *TABLE)
            print("done", flush=True)
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=300, env=dict(os.environ, RAYON_NUM_THREADS="1"))
    assert done.returncode == 0 and done.stdout == "done\n", (done.returncode, done.stderr)
