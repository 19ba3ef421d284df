"""The distribution as a user receives it: an sdist that builds from scratch,
and a wheel (built from that sdist) that installs into a fresh virtual
environment and computes the same numbers as the module under test."""

from __future__ import annotations

import pathlib
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
    # Isolated, as a user's build is: the build requirements come from
    # pyproject.toml, and the wheel is built from the unpacked sdist.
    result = subprocess.run([sys.executable, "-m", "build", "--outdir", str(out), str(ROOT)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    (sdist,) = out.glob("caustrix-*.tar.gz")
    (wheel,) = out.glob("caustrix-*.whl")
    return sdist, wheel


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
    assert "Requires-Dist: numpy" in metadata  # only as an extra
    assert all("extra ==" in line for line in metadata.splitlines()
               if line.startswith("Requires-Dist:"))


def test_wheel_installs_into_a_fresh_environment(dist, tmp_path):
    _, wheel = dist
    env = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True).create(env)
    python = env / "bin" / "python"
    install = subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-index",
                              str(wheel)], capture_output=True, text=True)
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
    for group in project["project"]["optional-dependencies"].values():
        requirements += group
    for text in requirements:
        requirement = Requirement(text)
        name = canonicalize_name(requirement.name)
        assert name in pins, text
        assert requirement.specifier.contains(pins[name]), (text, pins[name])
        if "distributed" in requirement.extras:
            assert "distributed" in pins, text
