#!/usr/bin/env bash
# Every test: the GoogleTest suites of the kernels, models and panic
# translation (meson test), the Python suites against the installed module
# (pytest), the reference counts on the debug interpreter, the sanitizers
# and fuzzing, and the suites that exercise the native module again under
# every other CPython from 3.11 up found on this machine.  Arguments
# are passed on to pytest.  Every part runs even when an earlier one fails;
# the script fails if any did, and names them.
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

ensure_apt g++ pkg-config libgtest-dev libgmock-dev
ensure_build_tools
install_module test

failed=()
started=$SECONDS

# Runs one part, and records it when it fails.
part() {
    local name="$1"
    shift
    local part_started=$SECONDS
    if "$@"; then
        echo "(${name}: passed in $((SECONDS - part_started)) s)"
    else
        echo "(${name}: FAILED after $((SECONDS - part_started)) s)"
        failed+=("$name")
    fi
}

cpp_tests() {
    local meson=("$PYTHON" -m mesonbuild.mesonmain)
    if [ -f build/tests/build.ninja ]; then
        "${meson[@]}" setup --reconfigure build/tests -Dtests=enabled >/dev/null || return 1
    else
        "${meson[@]}" setup build/tests -Dtests=enabled --buildtype=release >/dev/null || return 1
    fi
    "${meson[@]}" test -C build/tests --print-errorlogs
}

# The suites that import the module.  The suites of the installed package
# (its stubs, examples with dask and emcee, sdist and wheel, benchmarks)
# test the distribution rather than the native code, take most of the
# Python run's time, and run under the main interpreter only; so do the
# checks of the reference data (marked reference_data), which run mpmath.
native_suites() {
    grep -l -E '^\s*(import\s.*\bcaustrix\b|from\s+caustrix\b)' tests/python/test_*.py |
        grep -v -x -F -e tests/python/test_stubs.py -e tests/python/test_examples.py \
            -e tests/python/test_packaging.py -e tests/python/test_bench_scripts.py | sort
}

# Every CPython from 3.11 up other than the main interpreter's version, one
# per version: python3.N on PATH first, then pyenv's installations.  Lines
# "VERSION PATH", ascending.  A candidate that does not run (a pyenv shim of
# a version that is not selected), lacks the headers an extension is built
# against or cannot make a virtual environment is skipped with a note.
other_interpreters() {
    local main candidates=() candidate info
    main=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    for minor in $(seq 11 40); do
        candidates+=("python3.$minor")
    done
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3.*; do
        [[ "$(basename "$candidate")" =~ ^python3\.[0-9]+$ ]] && candidates+=("$candidate")
    done
    declare -A seen=(["$main"]=1)
    for candidate in "${candidates[@]}"; do
        info=$("$candidate" -c '
import os, sys, sysconfig
if sys.implementation.name != "cpython" or sys.version_info < (3, 11):
    raise SystemExit(1)
problem = ""
if not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    problem = "no Python.h"
else:
    try:
        import venv, ensurepip  # noqa: F401
    except ImportError:
        problem = "no venv or ensurepip"
print("%d.%d" % sys.version_info[:2], sys.executable, problem)
' 2>/dev/null) || continue
        read -r version executable problem <<<"$info"
        [ -z "${seen[$version]:-}" ] || continue
        seen[$version]=1
        if [ -n "$problem" ]; then
            echo "==> skipping Python $version ($executable): $problem" >&2
            continue
        fi
        echo "$version $executable"
    done | sort -V
}

# Builds and installs the module into a virtual environment of the given
# interpreter under build/ (kept between runs) and runs the native suites.
python_tests_under() {
    local version="$1" interpreter="$2" env="build/venv-$1"
    shift 2
    if ! "$env/bin/python" -c 'import sys; assert sys.version_info[:2] == tuple(map(int, sys.argv[1].split(".")))' \
            "$version" 2>/dev/null; then
        rm -rf "$env"
        "$interpreter" -m venv "$env" || return 1
    fi
    (
        PYTHON="$PWD/$env/bin/python"
        ensure_build_tools && install_module test &&
            "$PYTHON" -m pytest -p no:cacheprovider -m "not reference_data" "$@" $(native_suites)
    )
}

# The fast suites first, so that their failures show within minutes; the
# debug interpreter, the sanitizers and the other interpreters follow.
part "C++ tests" cpp_tests

echo "==> Python tests ($("$PYTHON" --version))"
part "Python tests, $("$PYTHON" --version)" "$PYTHON" -m pytest tests/python "$@"

part "reference counts (debug interpreter)" ./scripts/refcount.sh
part "sanitizers and fuzzing" ./scripts/hardening.sh

mapfile -t others < <(other_interpreters)
for other in "${others[@]}"; do
    read -r version interpreter <<<"$other"
    echo "==> Python tests of the native module under Python $version ($interpreter)"
    part "Python tests, Python $version" python_tests_under "$version" "$interpreter" "$@"
done

echo
if ((${#failed[@]})); then
    echo "==> FAILED after $((SECONDS - started)) s: ${failed[*]}"
    exit 1
fi
echo "==> all tests passed in $((SECONDS - started)) s"
