"""The fitting functions against a hostile caller: arguments that change
while they are read, outputs laid over themselves, and the other ways a
call inside a fit must neither crash, nor return numbers that depend on
chance, nor report a failure as success."""

from __future__ import annotations

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import caustrix

from helpers import run_child

magnification = caustrix.magnification


# --------------------------------------------------------------------------
# The law's coefficients


class TestCoefficients:
    def test_a_coefficient_that_empties_its_list_while_read(self):
        # The list is read item by item; the first item's __float__ empties
        # it, which must not send the reader past its end.
        done = run_child("""
            import caustrix
            coefficients = []
            class Emptying:
                def __float__(self):
                    coefficients.clear()
                    return 0.3
            coefficients[:] = [Emptying(), 0.2]
            for law in ("quadratic", "table"):
                if law == "table":
                    radii = []
                    class EmptiesRadii:
                        def __float__(self):
                            radii.clear()
                            return 0.0
                    radii[:] = [EmptiesRadii(), 1.0]
                    got = caustrix.magnification(0.05, 0.1, "table", (radii, [1.0, 0.5]))
                    want = caustrix.magnification(0.05, 0.1, "table", ([0.0, 1.0], [1.0, 0.5]))
                else:
                    got = caustrix.magnification(0.05, 0.1, law, coefficients)
                    want = caustrix.magnification(0.05, 0.1, law, (0.3, 0.2))
                print(law, got == want)
        """)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ["quadratic", "True", "table", "True"]

    @pytest.mark.parametrize("coefficients", [{0.4, 0.26}, frozenset({0.4, 0.26})])
    def test_a_set_has_no_order_and_is_refused(self, coefficients):
        # (0.4, 0.26) and (0.26, 0.4) are both good quadratic laws: read in
        # the set's order they would give one or the other silently.
        with pytest.raises(TypeError) as info:
            magnification(0.05, 0.1, "quadratic", coefficients)
        assert str(info.value) == (f"law 'quadratic': the coefficients must be a sequence of "
                                   f"numbers, not '{type(coefficients).__name__}'")
        with pytest.raises(TypeError, match="the radii must be a sequence of numbers, not 'set'"):
            magnification(0.05, 0.1, "table", ({0.0, 1.0}, [1.0, 0.5]))


# --------------------------------------------------------------------------
# Outputs laid over themselves


def index_order(out_shape, strides, values, size):
    """The bytes of a buffer of `size` doubles after values (of out_shape)
    are written into its view of byte `strides`, element by element in
    index order: the last write to a byte stays."""
    raw = bytearray(size * 8)
    flat = np.ascontiguousarray(values).ravel()
    for n, index in enumerate(np.ndindex(*out_shape)):
        at = sum(i * s for i, s in zip(index, strides))
        raw[at:at + 8] = flat[n].tobytes()
    return bytes(raw)


@pytest.mark.parametrize("shape, strides, size", [
    ((200, 200), (8, 8), 400),     # element (i, j) is element (i + 1, j - 1)
    ((40_000,), (4,), 20_001),     # each element half over the next
    ((200, 200), (16, 8), 600),    # rows overlapping the next half-way
])
def test_an_output_over_itself_is_written_in_index_order(shape, strides, size):
    # Large enough for the worker pool: written from several threads in any
    # order, the result would change from call to call and from the pool's
    # size, and stride 4 would leave bytes of two elements in one double.
    u = np.linspace(0.0, 0.3, np.prod(shape)).reshape(shape)
    values = magnification(u, 0.1, "linear", (0.5,))
    expected = index_order(shape, strides, values, size)
    for _ in range(3):
        base = np.zeros(size)
        out = as_strided(base, shape=shape, strides=strides)
        assert magnification(u, 0.1, "linear", (0.5,), out=out) is out
        assert base.tobytes() == expected
