"""Interpreters that refuse the module.  Since Python 3.12 an isolated
sub-interpreter refuses single-phase modules such as this one, after it has
run the module's entry; that attempt must not make the module the isolated
interpreter's, or the main interpreter could never import it afterwards."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

import caustrix

try:
    import _xxsubinterpreters  # noqa: F401
except ImportError:
    _xxsubinterpreters = None

pytestmark = pytest.mark.skipif(
    sys.version_info < (3, 12) or _xxsubinterpreters is None,
    reason="isolated sub-interpreters need Python 3.12 and _xxsubinterpreters")

CHILD = r"""
import json
import _xxsubinterpreters as interpreters

def import_in(interpreter):
    try:
        interpreters.run_string(interpreter, "import caustrix")
        return "imported"
    except Exception as exc:  # the failure inside arrives as RunFailedError
        return str(exc)

report = {"isolated first": import_in(interpreters.create(isolated=True))}
import caustrix
report["main"] = caustrix.witt_mao_magnification([0.5], 1.0, 0.5)
report["legacy after main"] = import_in(interpreters.create(isolated=False))
report["isolated after main"] = import_in(interpreters.create(isolated=True))
print(json.dumps(report))
"""


def test_a_refusing_interpreter_leaves_the_module_to_the_main_one():
    env = dict(os.environ)
    found = os.path.dirname(os.path.abspath(caustrix.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (found, env.get("PYTHONPATH")) if p)
    done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert "ImportError" in report["isolated first"], report
    assert "subinterpreters" in report["isolated first"], report
    assert report["main"] == caustrix.witt_mao_magnification([0.5], 1.0, 0.5)
    # The first-come rule still holds for every later interpreter.
    for later in ("legacy after main", "isolated after main"):
        assert "ImportError" in report[later], report
