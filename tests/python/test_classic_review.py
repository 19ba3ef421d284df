"""Faults of the classic functions found by using them as a hostile but
realistic caller would: each test fails on the fault it names."""
from __future__ import annotations

import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import caustrix

# A flux map of many radii: its quadrature polls for pending signals inside
# each element, while it holds its working storage.
BL = np.linspace(0.0, 1.0, 2000).tolist()
BF = (1.0 - 0.6 * (1.0 - np.sqrt(1.0 - np.linspace(0.0, 1.0, 2000) ** 2))).tolist()
# Another, for the calls that the signal handler makes.
BL2 = np.linspace(0.0, 1.0, 700).tolist()
BF2 = (1.0 - 0.3 * np.linspace(0.0, 1.0, 700)).tolist()
L = np.linspace(0.0, 3.0, 40).tolist()

FLUX_MAPS = [
    caustrix.integrated_flux_map_witt_mao_magnification,
    caustrix.integrated_flux_map_heyrovsky_magnification,
]


def calls_under_signals(outer, handler_call, wanted_hits=5, attempts=20):
    """Runs `outer()` while a 0.5 ms timer's handler calls `handler_call()`
    (not nested in itself), until the handler has run at least `wanted_hits`
    times inside the calls.  Returns the results of `outer` and those of the
    handler's calls."""
    outer_results, handler_results = [], []
    busy = [False]

    def handler(signum, frame):
        if busy[0]:
            return
        busy[0] = True
        try:
            handler_results.append(handler_call())
        finally:
            busy[0] = False

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        for _ in range(attempts):
            signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
            try:
                outer_results.append(outer())
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
            if len(handler_results) >= wanted_hits:
                break
    finally:
        signal.signal(signal.SIGALRM, previous)
    return outer_results, handler_results


@pytest.mark.parametrize("function", FLUX_MAPS, ids=lambda f: f.__name__)
def test_a_signal_handler_calling_a_flux_map_leaves_the_interrupted_call_exact(function):
    # The handler's call used to share the interrupted call's working storage
    # on the same thread and leave it with wrong values (off by up to 20 %).
    expected = function(L, 1.0, 0.5, BL, BF)
    expected_inner = function(L[:3], 1.0, 0.2, BL2, BF2)
    outer, inner = calls_under_signals(
        lambda: function(L, 1.0, 0.5, BL, BF),
        lambda: function(L[:3], 1.0, 0.2, BL2, BF2),
    )
    assert len(inner) >= 5, "the handler did not run inside the calls"
    assert all(result == expected for result in outer)
    assert all(result == expected_inner for result in inner)


def test_a_raising_handler_stops_a_nested_flux_map_and_the_call_it_interrupted():
    # A second signal that raises inside the handler's own call must end it
    # and the call it interrupted, each leaving its storage fit for reuse.
    function = caustrix.integrated_flux_map_witt_mao_magnification
    expected = function(L[:4], 1.0, 0.5, BL, BF)
    state = {"depth": 0, "calls": 0}

    class Stop(Exception):
        pass

    def handler(signum, frame):
        state["calls"] += 1
        if state["depth"] == 0:
            state["depth"] += 1
            try:
                function(L * 50, 1.0, 0.5, BL, BF)  # ended by the next signal
            finally:
                state["depth"] -= 1
        raise Stop

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        with pytest.raises(Stop):
            function(L * 50, 1.0, 0.5, BL, BF)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert state["calls"] >= 2
    assert function(L[:4], 1.0, 0.5, BL, BF) == expected


def test_a_signal_handler_calling_the_table_law_leaves_an_interrupted_flux_map_exact():
    # The table law of magnification() integrates by the flux maps' own
    # routes; its call used to overwrite the interrupted call's storage and
    # corrupt the heap (hence a child).
    script = textwrap.dedent(
        """
        import signal, sys
        import numpy as np
        import caustrix
        sys.path.insert(0, %r)
        from test_classic_review import BL, BF, BL2, BF2, L, calls_under_signals
        f = caustrix.integrated_flux_map_witt_mao_magnification
        expected = f(L, 1.0, 0.5, BL, BF)
        u = np.asarray(L[:3])
        outer, inner = calls_under_signals(
            lambda: f(L, 1.0, 0.5, BL, BF),
            lambda: caustrix.magnification(u, 0.2, "table", (BL2, BF2)))
        assert len(inner) >= 5, "the handler did not run inside the calls"
        sys.exit(0 if all(r == expected for r in outer) else 3)
        """
        % str(Path(__file__).parent)
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
