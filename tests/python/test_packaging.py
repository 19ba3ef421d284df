"""The distribution as a user receives it: an sdist that holds every
committed file and builds from scratch, and a wheel that installs into a
fresh virtual environment and computes the same numbers as the module under
test.

The test scripts build the module as a wheel and name it in CAUSTRIX_WHEEL;
that wheel is checked here, and only the sdist is made (which compiles
nothing).  Without it, the wheel is built from the sdist in isolation."""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys
import tarfile
import venv
import zipfile

import pytest

import caustrix

ROOT = pathlib.Path(__file__).resolve().parents[2]
CHECK = ("import caustrix; "
         "print(repr(caustrix.witt_mao_magnification([0.0, 1.0, 3.0], 1.0, 0.5)))")


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    pytest.importorskip("build")
    if not (ROOT / ".git").exists():
        pytest.skip("the sdist is made from the git checkout")
    out = tmp_path_factory.mktemp("dist")
    built = os.environ.get("CAUSTRIX_WHEEL")
    # Isolated, as a user's build is: the build requirements come from
    # pyproject.toml, and the wheel is built from the unpacked sdist.
    only_sdist = ["--sdist"] if built else []
    result = subprocess.run([sys.executable, "-m", "build", *only_sdist, "--outdir", str(out),
                             str(ROOT)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    (sdist,) = out.glob("caustrix-*.tar.gz")
    if built:
        wheel = pathlib.Path(built)
        assert wheel.is_file(), built
    else:
        (wheel,) = out.glob("caustrix-*.whl")
    return sdist, wheel


def test_the_sdist_holds_every_committed_file(dist):
    # What the sdist lacks, a user's build from it lacks; the module was
    # built from the committed files, so all of them must be there.
    sdist, _ = dist
    committed = subprocess.run(["git", "ls-tree", "-r", "-z", "--name-only", "HEAD"], cwd=ROOT,
                               capture_output=True, check=True).stdout.decode().split("\0")
    committed = {name for name in committed if name}
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert committed - names == set()


def test_sdist_holds_the_sources_and_the_wheel_only_the_module(dist):
    sdist, wheel = dist
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert {"pyproject.toml", "meson.build", "meson.options", "README.md",
            "src/module/caustrix.pyi", "src/module/exports.map"} <= names
    with zipfile.ZipFile(wheel) as archive:
        payload = {name for name in archive.namelist() if ".dist-info/" not in name}
        metadata = next(archive.read(n) for n in archive.namelist()
                        if n.endswith(".dist-info/METADATA")).decode()
    assert len(payload) == 3
    assert {"caustrix.pyi", "caustrix-stubs/__init__.pyi"} <= payload
    assert any(name.startswith("caustrix.cpython-") and name.endswith(".so")
               for name in payload)
    # numpy is the one dependency of the package itself (for the fitting
    # functions); everything else is an extra.
    requirements = [line for line in metadata.splitlines() if line.startswith("Requires-Dist:")]
    assert "Requires-Dist: numpy>=1.26" in requirements
    assert all("extra ==" in line for line in requirements
               if line != "Requires-Dist: numpy>=1.26")


def metadata_fields(text):
    """The header fields of a METADATA or PKG-INFO file: name -> values."""
    fields = {}
    for line in text.split("\n\n", 1)[0].splitlines():
        if ": " in line and not line.startswith(" "):
            key, value = line.split(": ", 1)
            fields.setdefault(key, []).append(value)
    return fields


def meson_version():
    match = re.search(r"project\([^)]*?version:\s*'([^']+)'", (ROOT / "meson.build").read_text(),
                      re.S)
    assert match, "meson.build's project() has no version"
    return match.group(1)


def test_metadata_has_the_licence_the_classifiers_and_the_one_version(dist):
    sdist, wheel = dist
    version = meson_version()
    assert sdist.name == f"caustrix-{version}.tar.gz"
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        metadata = next(archive.read(n) for n in names
                        if n.endswith(".dist-info/METADATA")).decode()
        (licence,) = [n for n in names if n.endswith(".dist-info/licenses/LICENSE")]
        assert archive.read(licence) == (ROOT / "LICENSE").read_bytes()
    with tarfile.open(sdist) as archive:
        members = {m.name.split("/", 1)[1]: m for m in archive.getmembers() if "/" in m.name}
        assert "LICENSE" in members
        pkg_info = archive.extractfile(members["PKG-INFO"]).read().decode()
    for text in (metadata, pkg_info):
        fields = metadata_fields(text)
        assert fields["Version"] == [version]
        assert fields["License-Expression"] == ["BSD-3-Clause"]
        assert fields["License-File"] == ["LICENSE"]
        assert "License" not in fields  # the expression replaces the free text
        assert {"Operating System :: POSIX :: Linux",
                "Intended Audience :: Science/Research",
                "Programming Language :: Python :: 3.11",
                "Topic :: Scientific/Engineering :: Astronomy"} <= set(fields["Classifier"])
        assert sum(c.startswith("Development Status ::") for c in fields["Classifier"]) == 1
        assert not any(c.startswith("License ::") for c in fields["Classifier"])


def test_the_version_is_written_once():
    import tomllib

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert "version" not in project and "version" in project["dynamic"]
    assert caustrix.__version__ == meson_version()
    assert "__version__" not in caustrix.__all__


def test_wheel_installs_into_a_fresh_environment(dist, tmp_path):
    _, wheel = dist
    env = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True).create(env)
    python = env / "bin" / "python"
    # Without numpy, which only the fitting functions need: the classic
    # functions must work in an environment that has nothing else.
    install = subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-index",
                              "--no-deps", str(wheel)], capture_output=True, text=True)
    assert install.returncode == 0, install.stdout + install.stderr
    # Run from the environment's own directory, so nothing of the checkout
    # or of the outer interpreter can be imported instead.
    run = subprocess.run([str(python), "-I", "-c", CHECK], cwd=env,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == repr(caustrix.witt_mao_magnification([0.0, 1.0, 3.0],
                                                                       1.0, 0.5))


def test_constraints_pin_every_requirement_within_its_lower_bound():
    """The scripts install from constraints.txt: each requirement of the
    build and of every extra is pinned there, at a version its bound allows."""
    import tomllib

    from packaging.requirements import Requirement
    from packaging.utils import canonicalize_name

    pins = {}
    for line in (ROOT / "constraints.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, version = line.split("==")
            pins[canonicalize_name(name)] = version
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    requirements = list(project["build-system"]["requires"])
    requirements += project["project"].get("dependencies", [])
    for group in project["project"]["optional-dependencies"].values():
        requirements += group
    for text in requirements:
        requirement = Requirement(text)
        name = canonicalize_name(requirement.name)
        assert name in pins, text
        assert requirement.specifier.contains(pins[name]), (text, pins[name])
        if "distributed" in requirement.extras:
            assert "distributed" in pins, text
