"""The installed type stubs describe the module as it is: the same names as
__all__, the same parameters as the text signatures, and a type checker that
finds them and uses them."""

from __future__ import annotations

import ast
import inspect
import pathlib
import subprocess
import sys
import textwrap

import pytest

import caustrix

from helpers import PUBLIC, is_sequence

SOURCE_STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "module" / "caustrix.pyi"
INSTALLED = pathlib.Path(caustrix.__file__).parent
STUB_FILES = [INSTALLED / "caustrix.pyi", INSTALLED / "caustrix-stubs" / "__init__.pyi"]


def stub_tree():
    return ast.parse(SOURCE_STUB.read_text())


def test_installed_stubs_are_the_source_stub():
    for path in STUB_FILES:
        assert path.read_text() == SOURCE_STUB.read_text(), path


def test_stub_functions_are_all_with_the_text_signatures():
    tree = stub_tree()
    every = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    declared_all = next(ast.literal_eval(node.value) for node in tree.body
                        if isinstance(node, ast.Assign)
                        and [t.id for t in node.targets] == ["__all__"])
    assert declared_all == caustrix.__all__
    # The classic functions in their order, then the fitting functions.
    functions = [f for f in every if f.name in caustrix.__all__]
    assert [f.name for f in every] == caustrix.__all__ + [
        "magnification", "light_curve", "magnification_and_gradient", "light_curve_and_gradient"]
    for f in functions:
        runtime = inspect.signature(getattr(caustrix, f.name))
        assert [a.arg for a in f.args.args] == list(runtime.parameters), f.name
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in runtime.parameters.values())
        assert not (f.args.posonlyargs or f.args.kwonlyargs or f.args.vararg
                    or f.args.kwarg or f.args.defaults), f.name
        expected = "float" if f.name == "heyrovsky_magnification" else (
            "list[list[float]]" if f.name.startswith("multi_") else "list[float]")
        assert ast.unparse(f.returns) == expected, f.name


def test_stub_says_which_parameters_take_sequences():
    # The shared test helpers take each parameter's kind from the stub: a
    # sequence parameter refuses a number and a number parameter a list.
    for name, params in PUBLIC.items():
        function = getattr(caustrix, name)
        good = {p: [0.5] if is_sequence(name, p) else 1.0 for p in params}
        for p in params:
            wrong = 1.5 if is_sequence(name, p) else [1.5]
            with pytest.raises(TypeError) as info:
                function(**{**good, p: wrong})
            expected = (f"argument '{p}': 'float' object cannot be converted to 'Sequence'"
                        if is_sequence(name, p) else f"argument '{p}': must be real number")
            assert str(info.value).startswith(expected), (name, p, str(info.value))


def run_mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(cwd / ".mypy"),
                           *args], cwd=cwd, capture_output=True, text=True)


def test_a_type_checker_finds_and_applies_the_stubs(tmp_path):
    pytest.importorskip("mypy")
    stubtest = subprocess.run([sys.executable, "-m", "mypy.stubtest", "caustrix",
                               "--mypy-config-file", "/dev/null"],
                              cwd=tmp_path, capture_output=True, text=True)
    assert stubtest.returncode == 0, stubtest.stdout + stubtest.stderr
    (tmp_path / "use.py").write_text(textwrap.dedent("""\
        import array
        import numpy as np
        import caustrix
        a: list[float] = caustrix.witt_mao_magnification(np.linspace(0, 1, 3), 1.0, 0.1)
        b: list[list[float]] = caustrix.multi_witt_mao_magnification(range(3), [1], (0.1,))
        c: float = caustrix.heyrovsky_magnification(0.5, 1, 1.0, 1.0)
        d: list[float] = caustrix.discrete_flux_map_heyrovsky_magnification(
            array.array("d", [0.0]), 1, 0.1, [0.5], [1.0])
        wrong_result: str = caustrix.heyrovsky_magnification(0.5, 1.0, 1.0, 1.0)
        caustrix.witt_mao_magnification("not numbers", 1.0, 0.1)
        caustrix.integrated_witt_mao_magnification([0.0], 1.0)
        """))
    result = run_mypy("use.py", cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["9", "10", "11"], result.stdout


def test_the_fitting_functions_are_typed_for_numpy(tmp_path):
    # Array-likes in, a float64 array out; out= only by keyword and only an array.
    pytest.importorskip("mypy")
    (tmp_path / "use.py").write_text(textwrap.dedent("""\
        import numpy as np
        import numpy.typing as npt
        import caustrix
        a: npt.NDArray[np.float64] = caustrix.magnification([0.1, 0.2], 0.05)
        b: npt.NDArray[np.float64] = caustrix.light_curve(
            np.linspace(-1, 1, 5), 0.0, 0.1, 20.0, 0.01, "table", ([0.0, 1.0], [1.0, 0.5]),
            out=np.empty(5))
        c = caustrix.magnification(np.ones((2, 3)), 0.1, "quadratic", (0.4, 0.2))
        wrong_result: list[float] = caustrix.magnification(0.5, 0.1)
        caustrix.magnification(0.5, 0.1, "linear", (0.6,), np.empty(()))
        caustrix.magnification(0.5, 0.1, out=[0.0])
        """))
    result = run_mypy("use.py", cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["9", "10", "11"], result.stdout
