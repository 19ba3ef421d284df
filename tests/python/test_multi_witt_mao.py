"""Batched disc curves on the worker pool: pair order, identity with the
single-curve function, errors, pool sizing and concurrent callers."""

import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import caustrix

L = [0.0, 0.5, 0.999, 1.0, 1.001, 2.0, 10.0]


def run_child(code, **env):
    """Runs code in a fresh interpreter with the given environment changes
    (None removes a variable) and returns what it printed as JSON."""
    child_env = dict(os.environ)
    for key in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        child_env.pop(key, None)
    for key, value in env.items():
        if value is not None:
            child_env[key] = value
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env,
                         capture_output=True, text=True, check=True, timeout=120)
    return json.loads(out.stdout)


def test_pairs_in_order_re_slowest():
    re = [1.0, 2.0]
    rstar = [0.1, 0.2, 0.3]
    batch = caustrix.multi_witt_mao_magnification(L, re, rstar)
    assert len(batch) == 6
    pairs = [(a, b) for a in re for b in rstar]
    for curve, (a, b) in zip(batch, pairs):
        assert curve == caustrix.witt_mao_magnification(L, a, b)


def test_shape_with_three_re_and_two_rstar():
    batch = caustrix.multi_witt_mao_magnification([0.5, 2.0], [1, 2, 3], [0.1, 0.2])
    assert [len(c) for c in batch] == [2] * 6
    assert batch[1] == caustrix.witt_mao_magnification([0.5, 2.0], 1, 0.2)


def test_empty_inputs():
    assert caustrix.multi_witt_mao_magnification(L, [], [0.1]) == []
    assert caustrix.multi_witt_mao_magnification(L, [1.0], []) == []
    assert caustrix.multi_witt_mao_magnification([], [1.0, 2.0], [0.1, 0.2]) == [[]] * 4


def test_single_pair_matches():
    assert caustrix.multi_witt_mao_magnification(L, [1.5], [0.01]) == [
        caustrix.witt_mao_magnification(L, 1.5, 0.01)]


@pytest.mark.parametrize("points, pairs", [(1, 1), (1, 3), (85, 3), (128, 2), (257, 1),
                                           (43, 6), (300, 2)])
def test_small_and_larger_batches_give_the_single_curves_bit_for_bit(points, pairs):
    # Around the size below which a batch is computed into a stack buffer.
    l = [3.0 * i / max(points - 1, 1) for i in range(points)]
    rstar = [0.01 * (k + 1) for k in range(pairs)]
    batch = caustrix.multi_witt_mao_magnification(l, [1.25], rstar)
    assert len(batch) == pairs
    for curve, s in zip(batch, rstar):
        assert [v.hex() for v in curve] == [
            v.hex() for v in caustrix.witt_mao_magnification(l, 1.25, s)]
    # Each curve is its own new list.
    assert len({id(curve) for curve in batch}) == pairs


def test_lowest_indexed_error_is_raised_like_the_single_curve():
    nan = float("nan")
    # Pairs 1 and 3 fail (a NaN source radius); pair 1 is reported.
    rstar = [0.1, nan, 0.2, nan]
    with pytest.raises(RuntimeError) as batch_error:
        caustrix.multi_witt_mao_magnification(L, [1.0], rstar)
    with pytest.raises(RuntimeError) as single_error:
        caustrix.witt_mao_magnification(L, 1.0, nan)
    assert type(batch_error.value) is RuntimeError
    assert batch_error.value.args == single_error.value.args
    assert len(batch_error.value.args) == 1


def test_conversion_errors_name_the_parameter():
    with pytest.raises(TypeError, match=r"^argument 're': "):
        caustrix.multi_witt_mao_magnification(L, 1.0, [0.1])
    with pytest.raises(TypeError, match=r"^argument 'rstar': Can't extract `str` to `Vec`$"):
        caustrix.multi_witt_mao_magnification(L, [1.0], "0.1")


BATCH_CODE = """
    import json, caustrix
    l = [i / 37 for i in range(150)]
    re = [0.5, 1.0, 2.0, 4.0]
    rstar = [0.001, 0.01, 0.1, 0.5, 1.0, 3.0]
    batch = caustrix.multi_witt_mao_magnification(l, re, rstar)
    print(json.dumps([[v.hex() for v in curve] for curve in batch]))
"""


def test_bit_identical_across_pool_sizes():
    results = [run_child(BATCH_CODE, RAYON_NUM_THREADS=n) for n in ("1", "2", "8")]
    assert results[0] == results[1] == results[2]


THREADS_CODE = """
    import json, os, caustrix
    before = len(os.listdir("/proc/self/task"))
    caustrix.multi_witt_mao_magnification([0.5], [1.0, 2.0], [0.1])
    after = len(os.listdir("/proc/self/task"))
    print(json.dumps([before, after, len(os.sched_getaffinity(0))]))
"""


@pytest.mark.parametrize("env, expected", [
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+2"}, 2),
    ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, None),
    ({}, None),
])
def test_pool_thread_count(env, expected):
    before, after, cpus = run_child(THREADS_CODE, **env)
    # Unset: the processors available to the process (no cgroup quota here
    # is assumed beyond what the affinity mask shows).
    want = expected if expected is not None else None
    if want is None:
        assert 1 <= after - before <= cpus
    else:
        assert after - before == want


def test_pool_is_created_once():
    code = """
        import json, os, caustrix
        caustrix.multi_witt_mao_magnification([0.5], [], [])
        first = len(os.listdir("/proc/self/task"))
        for _ in range(5):
            caustrix.multi_witt_mao_magnification([0.5], [1.0, 2.0, 3.0], [0.1, 0.2])
        print(json.dumps([first, len(os.listdir("/proc/self/task"))]))
    """
    first, later = run_child(code, RAYON_NUM_THREADS="4")
    assert first == later


def test_concurrent_callers_from_python_threads():
    re = [1.0, 2.0, 3.0]
    rstar = [0.01, 0.1, 1.0]
    expected = caustrix.multi_witt_mao_magnification(L, re, rstar)
    failures = []

    def worker():
        try:
            for _ in range(20):
                if caustrix.multi_witt_mao_magnification(L, re, rstar) != expected:
                    failures.append("mismatch")
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(repr(exc))

    threads = [threading.Thread(target=worker) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_collections_during_result_building_see_only_complete_lists():
    """A collection may start while the result's lists are made; a gc callback
    that walks every tracked object (as memory profilers do) must never meet a
    list with empty slots."""
    got = run_child("""
        import gc, json
        import caustrix

        walked = []
        def walk(phase, info):
            if phase == "start":
                for obj in gc.get_objects():
                    if type(obj) is list:
                        for item in obj:
                            pass
                walked.append(1)

        gc.set_threshold(1, 1, 1)
        gc.callbacks.append(walk)
        l = [0.5, 1.0]
        re = [1.0 + i for i in range(30)]
        batches = [caustrix.multi_witt_mao_magnification(l, re, [0.1, 0.2]) for _ in range(20)]
        ones = [caustrix.multi_witt_mao_magnification(l, [1.0], [0.1]) for _ in range(20)]
        curve = caustrix.witt_mao_magnification(l * 500, 1.0, 0.1)
        gc.callbacks.remove(walk)
        expected = [caustrix.witt_mao_magnification(l, a, b) for a in re for b in (0.1, 0.2)]
        one = [caustrix.witt_mao_magnification(l, 1.0, 0.1)]
        print(json.dumps({"collections": len(walked),
                          "same": all(batch == expected for batch in batches)
                                  and all(batch == one for batch in ones),
                          "curve": curve == caustrix.witt_mao_magnification(l, 1.0, 0.1) * 500}))
    """)
    # Up to 3.11 a collection starts inside an allocation, so one runs while
    # the result's lists are made; from 3.12 on collections wait for the
    # interpreter's next safe point, between the calls.
    if sys.version_info < (3, 12):
        assert got["collections"] > 20
    else:
        assert got["collections"] > 0
    assert got["same"] and got["curve"]


# Batches on both sides of the calling-thread threshold, with curves cut into
# pieces across the pool (one long curve, a few long ones, many curves longer
# than a piece may be) and not cut (many short ones); every value must be the
# single-curve one whatever the pool size.
SPLIT_CODE = """
    import json, caustrix
    shapes = [(5000, [1.0], [0.1]), (3000, [1.0, 2.0], [0.05]), (200, [0.5, 1.0, 2.0],
              [0.01, 0.1, 1.0, 3.0, 0.3, 0.03, 0.2, 0.02]), (7, [1.0], [0.1, 0.2, 0.3]),
              (2047, [1.0], [0.1]), (1, [1.0, 2.0], [0.1]),
              (9000, [1.0, 2.0], [0.01 * k for k in range(1, 11)])]
    out = []
    for n, re, rstar in shapes:
        l = [3.0 * i / n for i in range(n)]
        batch = caustrix.multi_witt_mao_magnification(l, re, rstar)
        singles = [caustrix.witt_mao_magnification(l, a, b) for a in re for b in rstar]
        out.append([[v.hex() for v in curve] for curve in batch] == [[v.hex() for v in c]
                   for c in singles])
        out.append(sum(v for curve in batch for v in curve).hex())
    print(json.dumps(out))
"""


def test_cut_and_uncut_batches_match_single_curves_for_every_pool_size():
    results = [run_child(SPLIT_CODE, RAYON_NUM_THREADS=n) for n in ("1", "2", "3", "4")]
    assert all(results[0][::2]) and len(results[0]) == 14
    assert results[0] == results[1] == results[2] == results[3]


def test_failures_in_late_pieces_of_cut_curves_fail_the_batch():
    nan = float("nan")
    l = [3.0 * i / 6000 for i in range(6000)]
    for bad in (0, 2999, 5999):
        broken = list(l)
        broken[bad] = nan
        with pytest.raises(RuntimeError, match="^elliprj: Fail to converge$"):
            caustrix.multi_witt_mao_magnification(broken, [1.0], [0.1, 0.2])
    # Only the last pair fails, in the last piece of its curve.
    with pytest.raises(RuntimeError):
        caustrix.multi_witt_mao_magnification(l, [1.0], [0.1, 0.2, nan])
    # The module goes on working.
    assert caustrix.multi_witt_mao_magnification(l[:3], [1.0], [0.1]) == [
        caustrix.witt_mao_magnification(l[:3], 1.0, 0.1)]


def test_signal_handlers_during_the_batch_see_only_complete_lists():
    # The curves' lists are made while the workers compute the others, and
    # pending signals are handled meanwhile; a handler that walks every list
    # the collector knows must find no empty slot, and the result must not
    # change.
    import gc
    import signal
    l = [3.0 * i / 20000 for i in range(20000)]
    want = caustrix.multi_witt_mao_magnification(l, [1.0, 2.0], [0.1, 0.2, 0.3, 0.4])
    seen = []

    def walk(signum, frame):
        if len(seen) < 5:
            seen.append(None)  # also keeps a handler that fires during this one out
            seen[-1] = sum(1 for o in gc.get_objects() if type(o) is list for _ in o)

    previous = signal.signal(signal.SIGALRM, walk)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        got = caustrix.multi_witt_mao_magnification(l, [1.0, 2.0], [0.1, 0.2, 0.3, 0.4])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, previous)
    assert got == want
    assert seen


class _Float(float):
    pass


def _hexes(batch):
    return [[v.hex() for v in curve] for curve in batch]


@pytest.mark.parametrize("make", [
    lambda l, re, rs: (l, re, rs),                                # lists of floats
    lambda l, re, rs: (tuple(l), tuple(re), tuple(rs)),           # tuples of floats
    lambda l, re, rs: (l, [_Float(v) for v in re], rs),           # a float subclass
    lambda l, re, rs: (l, re, [*rs[:-1], int(rs[-1] * 0) + 1]),   # an int among floats
])
@pytest.mark.parametrize("points, pairs", [(1, 1), (256, 1), (257, 1), (64, 4), (65, 4),
                                           (1, 256), (1, 257), (0, 300)])
def test_every_kind_of_argument_and_size_gives_the_single_curves(make, points, pairs):
    # Small batches of plain floats are read straight from the lists; any
    # other element, or a larger batch, takes the general conversion.  Both
    # give each pair's single curve bit for bit, positionally or by keyword.
    l = [0.25 + 3.0 * i / max(points, 1) for i in range(points)]
    rstar = [0.01 * (k + 1) for k in range(pairs)]
    l, re, rstar = make(l, [1.25], rstar)
    want = [[v.hex() for v in caustrix.witt_mao_magnification(l, 1.25, s)] for s in rstar]
    assert _hexes(caustrix.multi_witt_mao_magnification(l, re, rstar)) == want
    assert _hexes(caustrix.multi_witt_mao_magnification(l, re, rstar=rstar)) == want


def test_small_batch_errors_and_edges_match_the_general_road():
    nan = float("nan")
    # The lowest failing pair's error, read from plain floats and with a
    # float subclass first (which takes the general conversion).
    for rstar in ([0.1, nan, nan], (0.1, nan, nan)):
        with pytest.raises(RuntimeError) as small:
            caustrix.multi_witt_mao_magnification([0.5], [1.0], rstar)
        with pytest.raises(RuntimeError) as general:
            caustrix.multi_witt_mao_magnification([0.5], [1.0],
                                                  [_Float(rstar[0]), *rstar[1:]])
        assert small.value.args == general.value.args
    assert caustrix.multi_witt_mao_magnification([], [1.0], [0.1, 0.2]) == [[], []]
    assert caustrix.multi_witt_mao_magnification([0.5], [], [0.1]) == []
    # Errors of conversion and binding are unchanged for lists.
    with pytest.raises(TypeError, match=r"^argument 'l': must be real number, not str$"):
        caustrix.multi_witt_mao_magnification(["x"], [1.0], [0.1])
    with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
        caustrix.multi_witt_mao_magnification([0.5], [1.0], [0.1], [0.2])
    with pytest.raises(TypeError, match="got multiple values for argument 'l'"):
        caustrix.multi_witt_mao_magnification([0.5], [1.0], [0.1], l=[0.5])
    # A one-point batch returns new lists each call, never shared ones.
    a = caustrix.multi_witt_mao_magnification([0.5], [1.0], [0.1])
    b = caustrix.multi_witt_mao_magnification([0.5], [1.0], [0.1])
    assert a == b and a is not b and a[0] is not b[0]
