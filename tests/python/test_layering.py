"""Calls go down only: module -> models -> runtime and kernels.

Every quoted include under src/ is resolved to the layer it lands in, and a
file may include only its own layer or the layers below it; Python.h (and
any other interpreter header) is for the binding surface alone.  The same
layers are separate static libraries in meson.build, so a call upward also
fails to link; this checks that every source file sits in its own layer's
library.

Run by pytest, and as a meson test (python tests/python/test_layering.py).
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

KERNEL_DIRS = ("ellip", "quadrature", "numdiff", "interp")

# What each layer may include besides the standard library.
ALLOWED = {
    "kernels": {"kernels"},
    "runtime": {"runtime"},
    "models": {"models", "kernels", "runtime"},
    "module": {"module", "models", "kernels", "runtime"},
}

# The library of each layer in meson.build, by its list of sources.
SOURCE_LISTS = {
    "kernels": "kernel_sources",
    "runtime": "runtime_sources",
    "models": "model_sources",
    "module": "surface_sources",
}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
INTERPRETER_HEADERS = re.compile(r"^(Python\.h|structmember\.h|numpy/|pythread\.h|py\w*\.h$)")


def layer_of(relative: Path) -> str | None:
    """The layer of a path relative to src/, or None outside the layers."""
    top = relative.parts[0]
    if top in KERNEL_DIRS:
        return "kernels"
    if top in ("runtime", "models", "module"):
        return top
    return None


def violations(src: Path) -> list[str]:
    """Every upward or interpreter include under `src`, one line each."""
    found = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".hpp", ".cpp", ".h"):
            continue
        relative = path.relative_to(src)
        layer = layer_of(relative)
        if layer is None:
            found.append(f"{relative}: outside every layer")
            continue
        for bracket, name in INCLUDE.findall(path.read_text()):
            if INTERPRETER_HEADERS.match(name):
                if layer != "module":
                    found.append(f"{relative}: includes {name}, which only src/module may")
                continue
            if bracket == "<":
                continue  # the standard library and the system
            beside = path.parent / name
            target = beside if beside.exists() else src / name
            if not target.exists():
                found.append(f"{relative}: includes {name}, which does not exist")
                continue
            target_layer = layer_of(target.resolve().relative_to(src.resolve()))
            if target_layer not in ALLOWED[layer]:
                found.append(f"{relative}: {layer} includes {name} ({target_layer})")
    return found


def misplaced_sources(root: Path) -> list[str]:
    """Source files missing from their layer's library, or listed in another."""
    build = (root / "meson.build").read_text()
    found = []
    listed: dict[str, str] = {}
    for layer, variable in SOURCE_LISTS.items():
        block = re.search(variable + r"\s*=\s*files\((.*?)\)", build, re.DOTALL)
        if block is None:
            found.append(f"meson.build has no {variable}")
            continue
        for name in re.findall(r"'([^']+)'", block.group(1)):
            listed[name] = layer
    src = root / "src"
    for path in sorted(src.rglob("*.cpp")):
        relative = path.relative_to(root).as_posix()
        layer = layer_of(path.relative_to(src))
        if relative == "src/module/module.cpp":
            continue  # the import entry, built into the extension module itself
        if relative not in listed:
            found.append(f"{relative}: in no library")
        elif listed[relative] != layer:
            found.append(f"{relative}: a {layer} file in the {listed[relative]} library")
    return found


def test_no_file_includes_upward():
    assert violations(ROOT / "src") == []


def test_every_source_is_built_in_its_own_layer():
    assert misplaced_sources(ROOT) == []


def test_the_check_sees_upward_includes(tmp_path):
    # A checker that never fires would pass the repository too.
    files = {
        "ellip/k.cpp": '#include "models/m.hpp"\n#include "runtime/r.hpp"\n',
        "interp/i.hpp": '#include "ellip/k.hpp"\n#include <vector>\n',
        "ellip/k.hpp": "",
        "runtime/r.hpp": '#include "models/m.hpp"\n',
        "models/m.hpp": '#include <Python.h>\n#include "module/f.hpp"\n#include "runtime/r.hpp"\n',
        "module/f.hpp": '#include <Python.h>\n#include "models/m.hpp"\n',
        "models/local.cpp": '#include "m.hpp"\n',
    }
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    assert violations(tmp_path) == [
        "ellip/k.cpp: kernels includes models/m.hpp (models)",
        "ellip/k.cpp: kernels includes runtime/r.hpp (runtime)",
        "models/m.hpp: includes Python.h, which only src/module may",
        "models/m.hpp: models includes module/f.hpp (module)",
        "runtime/r.hpp: runtime includes models/m.hpp (models)",
    ]


if __name__ == "__main__":
    problems = violations(ROOT / "src") + misplaced_sources(ROOT)
    for line in problems:
        print(line)
    print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
    sys.exit(1 if problems else 0)
