"""The uniform disc's curve as a list: computed a block at a time straight into
the list, its floats made from the interpreter's object allocator, its
separations read from an exact list in one pass.  What the blocks must not
change (the values, their order, the errors) and what the floats must be
(ordinary floats, counted, traced and freed like any other)."""
from __future__ import annotations

import gc
import math
import os
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest

import caustrix

wm = caustrix.witt_mao_magnification
RHO = 0.01

# Lengths on either side of the curve's block (256), of the interrupt
# polling interval (1024) and of the signal polling interval (4096).
BOUNDARIES = [1, 7, 8, 9, 255, 256, 257, 1023, 1024, 1025, 4095, 4096, 4097, 5000]


def separations(n):
    """n distinct separations (source radii) over the centre, the limb, the
    near field and the far-field series, shuffled so that a value put into
    the wrong slot shows."""
    near = np.linspace(0.0, 2.5, n // 2)
    far = np.geomspace(2.5, 5e3, n - n // 2)
    rng = np.random.default_rng(7)
    return rng.permutation(np.concatenate([near, far])).tolist()


L = separations(BOUNDARIES[-1])
# One pair at a time: no block, no lane group.
SINGLE = [wm([x], 1.0, RHO)[0] for x in L]


class Float(float):
    pass


class Dunder:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class TestBlocks:
    def test_every_length_gives_the_single_pair_values_in_order(self):
        for n in BOUNDARIES:
            assert wm(L[:n], 1.0, RHO) == SINGLE[:n], n

    def test_a_tuple_and_an_array_give_the_same_list(self):
        expected = SINGLE[:4097]
        assert wm(tuple(L[:4097]), 1.0, RHO) == expected
        assert wm(np.asarray(L[:4097]), 1.0, RHO) == expected

    @pytest.mark.parametrize("at", [0, 255, 256, 1024, 4096, 4999])
    def test_a_failure_in_any_block_discards_the_curve(self, at):
        with pytest.raises(RuntimeError) as single:
            wm([math.nan], 1.0, RHO)
        bad = list(L)
        bad[at] = math.nan
        with pytest.raises(RuntimeError) as whole:
            wm(bad, 1.0, RHO)
        assert str(whole.value) == str(single.value)
        assert wm(L, 1.0, RHO) == SINGLE


class TestReading:
    @pytest.mark.parametrize("at", [0, 1, 4095, 4096, 4097, 4999])
    @pytest.mark.parametrize("make", [int, Float, np.float64, Dunder],
                             ids=["int", "subclass", "numpy", "__float__"])
    def test_an_element_of_another_type_anywhere_reads_as_its_float(self, at, make):
        mixed = list(L)
        # An integer stands for a whole separation.
        value = 2.0 if make is int else L[at]
        mixed[at] = 2 if make is int else make(value)
        expected = list(SINGLE)
        expected[at] = wm([value], 1.0, RHO)[0]
        assert wm(mixed, 1.0, RHO) == expected
        assert wm(tuple(mixed), 1.0, RHO) == expected

    @pytest.mark.parametrize("container", [list, tuple])
    def test_an_unconvertible_element_late_in_a_long_sequence_is_the_error(self, container):
        bad = list(L)
        bad[4500] = "a"
        with pytest.raises(TypeError, match=r"^argument 'l': must be real number, not str$"):
            wm(container(bad), 1.0, RHO)

    def test_runs_of_floats_between_other_elements(self):
        mixed = [int(x) if i % 3 == 0 else x for i, x in enumerate(L)]
        assert wm(mixed, 1.0, RHO) == wm([float(x) for x in mixed], 1.0, RHO)


    def test_a_list_grown_by_an_element_is_read_to_its_new_end(self):
        # The element's conversion extends the list by thousands of floats
        # (moving its items elsewhere): the read goes on over the new items.
        values = L[:100] + [None] + L[100:200]

        class Extending:
            def __float__(self):
                values.extend(L[200:])
                return 2.0

        values[100] = Extending()
        assert wm(values, 1.0, RHO) == wm(L[:100] + [2.0] + L[100:], 1.0, RHO)

    def test_a_signal_handler_that_empties_the_list_between_runs_is_survived(self):
        # The poll for signals after a run of exact floats may run a handler
        # that empties the list, freeing its items; the element after the
        # run must then be read from the list as it is, not from the items
        # seen before the poll.  Under the debug allocator a freed item
        # array is overwritten at once, so reading it crashed the child.
        script = textwrap.dedent("""
            import signal, caustrix
            class X:
                def __float__(self): return 1.5
            state = {}
            def handler(signum, frame):
                # Taken in one step: a second signal may run this handler
                # again while the first clears the list.
                lst = state.pop("lst", None)
                if lst is not None:
                    lst.clear()
            signal.signal(signal.SIGALRM, handler)
            signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
            for _ in range(40):
                lst = []
                for _ in range(200):
                    lst.append(X())
                    lst.extend([0.5] * 4095)
                state["lst"] = lst
                caustrix.witt_mao_magnification(lst, 1.0, 0.1)
            signal.setitimer(signal.ITIMER_REAL, 0)
            print("done")
        """)
        env = dict(os.environ, PYTHONMALLOC="debug")
        found = os.path.dirname(os.path.abspath(caustrix.__file__))
        env["PYTHONPATH"] = os.pathsep.join(p for p in (found, env.get("PYTHONPATH")) if p)
        child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                               env=env, timeout=300)
        assert child.returncode == 0, child.stderr[-2000:]
        assert child.stdout.strip() == "done"


class TestFloats:
    def test_the_results_are_exact_floats_held_by_the_list_alone(self):
        result = wm(L, 1.0, RHO)
        assert type(result) is list and gc.is_tracked(result)
        # Floats the interpreter made, held the same way, as the control.
        control = [x * 1.0 for x in SINGLE]
        for k in (0, 255, 256, 4096, len(L) - 1):
            assert type(result[k]) is float
            # Counted outside the assertion, which holds what it shows.
            ours, theirs = sys.getrefcount(result[k]), sys.getrefcount(control[k])
            assert ours == theirs

    def test_tracemalloc_traces_the_floats_to_the_call(self):
        tracemalloc.start(1)
        try:
            result = wm(L, 1.0, RHO)
            line = sys._getframe().f_lineno - 1
            # Past the first hundred: those may be reused floats allocated
            # before tracing began, untraced as any such float is.
            for k in (300, 4096, len(L) - 1):
                traceback = tracemalloc.get_object_traceback(result[k])
                assert traceback is not None
                assert traceback[0].filename == __file__
                assert traceback[0].lineno == line
        finally:
            tracemalloc.stop()

    @pytest.mark.parametrize("call", [
        lambda: wm(L, 1.0, RHO),
        lambda: wm(L[:4000] + [math.nan], 1.0, RHO),
        lambda: caustrix.integrated_witt_mao_magnification(L[:64], 1.0, RHO),
        lambda: caustrix.multi_witt_mao_magnification(L[:600], [1.0], [RHO, 2 * RHO]),
    ], ids=["curve", "failing curve", "integrated", "batch"])
    def test_the_floats_are_freed_with_their_list(self, call):
        def run():
            try:
                call()
            except RuntimeError:
                pass

        run()
        tracemalloc.start()
        try:
            run()
            gc.collect()
            base, _ = tracemalloc.get_traced_memory()
            for _ in range(20):
                run()
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - base
        finally:
            tracemalloc.stop()
        # A curve's floats are some 100 KiB: one leaked curve shows at once.
        assert grown < 16 * 1024
