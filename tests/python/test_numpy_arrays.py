"""Arrays as sequence arguments: a one-dimensional array of native doubles is
read straight from its buffer and must give exactly what the same values give
as a list of floats; every other array takes the element-by-element
conversion and must behave exactly as iterating it does."""

from __future__ import annotations

import array
import subprocess
import sys

import numpy as np
import pytest

import caustrix

from helpers import PUBLIC, covering, outcome, sequence_positions

# Arguments of every function that takes a sequence, as lists.
SEQUENCE_SAMPLES = covering({
    "witt_mao_magnification": ([0.0, 0.5, 1.0, 1.0 + 1e-9, 3.0, 40.0], 1.0, 0.1),
    "multi_witt_mao_magnification": ([0.0, 0.5, 1.0, 3.0], [0.5, 1.0, 2.0], [0.01, 0.1, 1.0]),
    "integrated_witt_mao_magnification": ([0.0, 0.999, 1.0, 2.5], 1.0, 0.1),
    "integrated_heyrovsky_magnification": ([0.0, 0.999, 1.0, 2.5], 1.0, 0.1),
    "integrated_flux_map_witt_mao_magnification":
        ([0.0, 0.5, 1.5], 1.0, 0.1, [0.0, 0.3, 0.7, 1.0], [1.0, 0.9, 0.6, 0.3]),
    "integrated_flux_map_heyrovsky_magnification":
        ([0.0, 0.5, 1.5], 1.0, 0.1, [0.0, 0.3, 0.7, 1.0], [1.0, 0.9, 0.6, 0.3]),
    "discrete_flux_map_heyrovsky_magnification":
        ([0.0, 0.5, 1.5], 1.0, 0.1, [0.2, 0.5, 0.8], [1.0, 0.7, 0.4]),
}, names=[name for name in PUBLIC if sequence_positions(name)])
# (function, its arguments as lists, the positions of its sequence arguments)
SEQUENCE_ARGUMENTS = [(name, args, sequence_positions(name))
                      for name, args in SEQUENCE_SAMPLES.items()]
CASES = [(name, args, pos) for name, args, positions in SEQUENCE_ARGUMENTS
         for pos in positions]
CASE_IDS = [f"{name}-arg{pos}" for name, _, pos in CASES]


def call_with(name, args, pos, value):
    replaced = list(args)
    replaced[pos] = value
    return outcome(lambda: getattr(caustrix, name)(*replaced))


def strided(values, step):
    """A float64 view with the given stride over a larger buffer."""
    backing = np.full(len(values) * abs(step), -7.0)
    view = backing[::step]
    view[:] = values
    return view


def unaligned(values):
    """A float64 array whose data starts one byte into its buffer."""
    raw = bytearray(8 * len(values) + 1)
    view = np.frombuffer(raw, dtype=np.float64, count=len(values), offset=1)
    view[:] = values
    return view


@pytest.mark.parametrize("name, args, pos", CASES, ids=CASE_IDS)
class TestDoubleArraysGiveTheListResult:
    def test_buffer_layouts(self, name, args, pos):
        values = args[pos]
        expected = call_with(name, args, pos, list(values))
        contiguous = np.array(values, dtype=np.float64)
        read_only = contiguous.copy()
        read_only.flags.writeable = False
        layouts = {
            "contiguous": contiguous,
            "read-only": read_only,
            "every other": strided(values, 2),
            "reversed": strided(values, -1),
            "every third, reversed": strided(values, -3),
            "unaligned": unaligned(values),
            "array.array": array.array("d", values),
            "memoryview": memoryview(array.array("d", values)),
            "strided memoryview": memoryview(array.array("d", [x for v in values
                                                               for x in (v, -1.0)]))[::2],
        }
        for label, value in layouts.items():
            assert call_with(name, args, pos, value) == expected, label

    @pytest.mark.filterwarnings("ignore:Warning. converting a masked element")
    def test_other_arrays_convert_as_iteration_does(self, name, args, pos):
        values = args[pos]
        others = [
            np.array(values, dtype=np.float32),
            np.array(values, dtype=">f8"),
            np.array(values, dtype=np.longdouble),
            np.round(np.array(values)).astype(np.int64),
            np.array(values).reshape(1, -1),
            np.array(values).reshape(-1, 1),
            np.ma.masked_array(values, mask=[i == 1 for i in range(len(values))]),
            memoryview(array.array("f", values)),
            memoryview(bytes(range(len(values)))),
        ]
        for value in others:
            assert call_with(name, args, pos, value) == call_with(name, args, pos,
                                                                  list(value)), repr(value)

    def test_non_finite_and_empty_arrays(self, name, args, pos):
        values = list(args[pos])
        for special in (float("nan"), float("inf"), -float("inf"), -0.0, 5e-324):
            changed = values[:-1] + [special]
            assert (call_with(name, args, pos, np.array(changed))
                    == call_with(name, args, pos, changed)), special
        assert call_with(name, args, pos, np.array([])) == call_with(name, args, pos, [])


def test_a_zero_dimensional_array_fails_as_before():
    expected = outcome(lambda: caustrix.witt_mao_magnification(np.float64(1.0), 1.0, 0.1))
    scalar_array = outcome(lambda: caustrix.witt_mao_magnification(np.array(1.0), 1.0, 0.1))
    assert expected[0] == scalar_array[0] == "raised"
    assert scalar_array[1] is TypeError


def test_the_buffer_is_released_and_the_values_copied():
    values = array.array("d", [0.0, 0.5, 1.0])
    first = caustrix.witt_mao_magnification(values, 1.0, 0.1)
    values.append(2.0)  # raises BufferError while an export is held
    values[0] = 5.0
    assert caustrix.witt_mao_magnification(values, 1.0, 0.1)[1:3] == first[1:3]
    grown = np.linspace(0.0, 2.0, 5).copy()
    caustrix.witt_mao_magnification(grown, 1.0, 0.1)
    grown.resize(10, refcheck=False)  # refused while a buffer is exported


def test_a_large_array_matches_its_list_bit_for_bit():
    rng = np.random.default_rng(20261208)
    values = np.concatenate([rng.uniform(0.0, 5.0, 20000), 1.0 + rng.normal(0, 1e-6, 2000)])
    for view in (values, values[::-3]):
        assert (caustrix.witt_mao_magnification(view, 2.0, 0.05)
                == caustrix.witt_mao_magnification(view.tolist(), 2.0, 0.05))


def test_subclasses_named_like_the_array_types_are_iterated():
    """Only numpy.ndarray and array.array themselves are read from their
    buffers; a subclass, whatever it is called, is converted through its own
    __iter__."""
    def own_iter(self):
        return iter([2.0] * len(self))

    fake_array = type("array.array", (array.array,), {"__iter__": own_iter})
    fake_ndarray = type("numpy.ndarray", (np.ndarray,), {"__iter__": own_iter})
    subclasses = [fake_array("d", [0.5, 1.5]), np.array([0.5, 1.5]).view(fake_ndarray)]
    expected = caustrix.witt_mao_magnification([2.0, 2.0], 1.0, 0.5)
    for values in subclasses:
        assert type(values).__name__ in ("array.array", "numpy.ndarray")
        assert caustrix.witt_mao_magnification(values, 1.0, 0.5) == expected
    # The real types still give their own values.
    direct = caustrix.witt_mao_magnification([0.5, 1.5], 1.0, 0.5)
    assert caustrix.witt_mao_magnification(array.array("d", [0.5, 1.5]), 1.0, 0.5) == direct
    assert caustrix.witt_mao_magnification(np.array([0.5, 1.5]), 1.0, 0.5) == direct


def test_arrays_convert_where_numpy_cannot_be_imported():
    code = """
import array, sys
sys.modules["numpy"] = None  # any import of numpy now fails
import caustrix
values = array.array("d", [0.5, 1.5])
got = [caustrix.witt_mao_magnification(v, 1.0, 0.5)
       for v in (values, memoryview(values), [0.5, 1.5], (0.5, 1.5))]
assert all(g == got[0] for g in got), got
assert caustrix.multi_witt_mao_magnification(values, values, [0.1])[1] == \
    caustrix.witt_mao_magnification([0.5, 1.5], 1.5, 0.1)
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
