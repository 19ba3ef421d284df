"""Ctrl-C ends a long profile computation promptly, also while a single
separation is still being integrated over a table of many radii."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from helpers import default_sigint

CHILD = textwrap.dedent("""
    import sys, time
    import caustrix
    n = 300_000
    bl = [i / (n - 1) for i in range(n)]
    bf = [1.0 - 0.5 * r for r in bl]
    function = getattr(caustrix, sys.argv[1])
    print("ready", flush=True)
    try:
        function([0.3, 0.7] * 100, 1.0, 0.1, bl, bf)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    else:
        print("finished", flush=True)
""")


@pytest.mark.parametrize("function", ["integrated_flux_map_heyrovsky_magnification",
                                      "integrated_flux_map_witt_mao_magnification",
                                      "discrete_flux_map_heyrovsky_magnification"])
def test_sigint_inside_one_element(function):
    child = subprocess.Popen([sys.executable, "-c", CHILD, function], stdout=subprocess.PIPE,
                             text=True, env=dict(os.environ), preexec_fn=default_sigint)
    try:
        assert child.stdout.readline().strip() == "ready"
        # Let the call get well into its first separation.
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
    words = out.split()
    if words == ["finished"]:
        pytest.skip("the call finished before the signal arrived")
    assert words[0] == "interrupted", out
    latency = float(words[1]) - sent
    print(f"{function}: KeyboardInterrupt {latency * 1e3:.1f} ms after SIGINT")
    # A generous bound for a loaded machine; the poll itself is every few
    # hundred microseconds of work.
    assert latency < 2.0
