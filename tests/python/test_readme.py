"""The README stays true: its code runs and prints what it says, its table
names exactly the module's functions, and its example calls give the values
it shows."""

from __future__ import annotations

import pathlib
import re

import caustrix

README = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()


def test_python_blocks_print_what_they_say():
    blocks = re.findall(r"```python\n(.*?)```", README, re.S)
    assert blocks
    for block in blocks:
        namespace = {}
        lines = block.splitlines()
        for i, line in enumerate(lines):
            if i + 1 < len(lines) and lines[i + 1].startswith("# ") and not line.startswith("#"):
                expected = lines[i + 1][2:]
                assert repr(eval(line, namespace)) == expected, line
            elif line and not line.startswith("#"):
                exec(line, namespace)


def test_function_table_is_the_module():
    rows = re.findall(r"^\| `(\w+)\(([^)]*)\)` \| [^|]+ \| ([^|]+) \|$", README, re.M)
    assert sorted(name for name, _, _ in rows) == sorted(caustrix.__all__)
    for name, params, example in rows:
        signature = getattr(caustrix, name).__text_signature__
        assert signature == f"({params})", name
        call = re.match(r"`(\(.*\))` → `(.*)`$", example.strip())
        if call is None:
            continue
        args = eval(call.group(1).replace("l,", "[0.0, 1.0, 3.0],", 1))
        shown = call.group(2)
        result = getattr(caustrix, name)(*args)
        values = [x for row in result for x in row] if name.startswith("multi") else (
            result if isinstance(result, list) else [result])
        shown_values = re.findall(r"\d+\.(\d+)…", shown)
        numbers = re.findall(r"(\d+\.\d+)…", shown)
        assert len(numbers) == len(values), (name, shown)
        # Each shown number is the computed one rounded to the digits shown.
        for text, decimals, value in zip(numbers, shown_values, values):
            assert abs(float(text) - value) <= 0.5 * 10.0 ** -len(decimals), (name, text, value)


ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_accuracy_table_is_what_the_script_measures():
    """docs/accuracy_table.md and the README's copy are the script's output
    for the module under test and the committed references."""
    import subprocess
    import sys

    result = subprocess.run([sys.executable, str(ROOT / "bench" / "accuracy_table.py"), "--check"],
                            capture_output=True, text=True, cwd=ROOT)
    assert result.returncode == 0, result.stderr


def test_accuracy_reference_is_what_the_generator_writes():
    """A sample of the committed references, regenerated."""
    import subprocess
    import sys

    result = subprocess.run([sys.executable, str(ROOT / "tools" / "gen_accuracy_reference.py"),
                             "--sample", "25"], capture_output=True, text=True, cwd=ROOT,
                            timeout=600)
    assert result.returncode == 0, result.stderr
    from mpmath import mpf

    def parse(lines):
        # The last digits of 25 may differ between mpmath releases.
        return {line.rsplit(" ", 1)[0]: mpf(line.rsplit(" ", 1)[1])
                for line in lines if line and not line.startswith("#")}

    committed = parse((ROOT / "tests" / "data" / "accuracy_reference.txt").read_text().splitlines())
    sample = parse(result.stdout.splitlines())
    assert len(sample) >= 8
    for key, value in sample.items():
        assert key in committed, key
        assert abs(value / committed[key] - 1) <= 1e-20, (key, value, committed[key])
