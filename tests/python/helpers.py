"""What the test suites share: the public functions as the module declares
them, and a few small tools.

The names come from caustrix.__all__ and the parameters from each
function's __text_signature__, so a new function reaches every suite that
loops over the functions.  Whether a parameter takes a sequence or a number
comes from the type stub (the text signature does not say); test_stubs.py
checks the stub against the module, kinds included.  A suite that needs
sample arguments for every function passes its table through `covering`,
which names the functions it lacks.

Plain Python without pytest, so that tests/refcount/check_refcounts.py can
use it under a debug interpreter too.
"""

from __future__ import annotations

import ast
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import caustrix

ROOT = Path(__file__).resolve().parents[2]
SOURCE_STUB = ROOT / "src" / "module" / "caustrix.pyi"


def parameters_of(function) -> tuple[str, ...]:
    """The parameter names of a module function, from its text signature."""
    text = function.__text_signature__
    assert text.startswith("(") and text.endswith(")"), text
    return tuple(name.strip() for name in text[1:-1].split(",") if name.strip())


# name -> parameter names, in registration order.
PUBLIC: dict[str, tuple[str, ...]] = {
    name: parameters_of(getattr(caustrix, name)) for name in caustrix.__all__
}


def stub_kinds(stub_text: str) -> dict[str, dict[str, str]]:
    """name -> {parameter: "sequence" or "number"}, from the annotations of
    the stub's classic functions (_Numbers is a sequence, _Number a number);
    the fitting functions beside them take array-likes."""
    kinds = {}
    for node in ast.parse(stub_text).body:
        if isinstance(node, ast.FunctionDef) and node.name in caustrix.__all__:
            kinds[node.name] = {
                a.arg: {"_Numbers": "sequence", "_Number": "number"}[ast.unparse(a.annotation)]
                for a in node.args.args
            }
    return kinds


KINDS = stub_kinds(SOURCE_STUB.read_text())


def is_sequence(name: str, parameter: str) -> bool:
    return KINDS[name][parameter] == "sequence"


def sequence_positions(name: str) -> tuple[int, ...]:
    return tuple(i for i, p in enumerate(PUBLIC[name]) if is_sequence(name, p))


def covering(table: dict, names=None) -> dict:
    """`table` in registration order, after checking that it has an entry for
    each public function (or for each of `names`) and for nothing else."""
    wanted = list(PUBLIC) if names is None else list(names)
    missing = [n for n in wanted if n not in table]
    unknown = [n for n in table if n not in wanted]
    if missing or unknown:
        raise AssertionError(f"sample table out of step with the module: "
                             f"missing {missing}, unknown {unknown}")
    return {name: table[name] for name in wanted}


def quoted_list(names) -> str:
    """"'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the binding messages list names."""
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def outcome(call):
    """What a call ends in, comparable across calls: its result with NaN made
    comparable, or the type and arguments of what it raised."""
    try:
        result = call()
    except Exception as exc:  # noqa: BLE001
        return ("raised", type(exc), exc.args)
    return ("returned", repr(result))


def run_child(script):
    """Runs a script in a fresh interpreter that finds the same caustrix."""
    env = dict(os.environ)
    found = os.path.dirname(os.path.abspath(caustrix.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (found, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                          capture_output=True, text=True, env=env, timeout=120)


def default_sigint():
    """For subprocess's preexec_fn: a child whose Ctrl-C is tested gets the
    default disposition of SIGINT, so that its interpreter installs the
    handler that raises KeyboardInterrupt.  A shell ignores SIGINT in the
    commands it starts in the background, and the ignoring is inherited
    across exec: without this, a test run started with `&` would see every
    child ignore the signal."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def load_tool(name):
    """A generator script of tools/ as a module; its folder is importable
    while it loads, so that it may import its sibling generators."""
    import importlib.util
    tools = str(ROOT / "tools")
    found = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    sys.path.insert(0, tools)
    try:
        found.loader.exec_module(module)
    finally:
        sys.path.remove(tools)
    return module
