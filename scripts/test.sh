#!/usr/bin/env bash
# Every test: the GoogleTest suites of the kernels, models and panic
# translation (meson test), then the Python suites against the installed
# module (pytest).
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

ensure_apt g++ pkg-config libgtest-dev libgmock-dev
ensure_build_tools
install_module test

echo "==> C++ tests"
if [ -f build/tests/build.ninja ]; then
    meson setup --reconfigure build/tests -Dtests=enabled >/dev/null
else
    meson setup build/tests -Dtests=enabled --buildtype=release >/dev/null
fi
meson test -C build/tests --print-errorlogs

echo "==> Reference and memory balance (debug interpreter)"
./scripts/refcount.sh

echo "==> Sanitizers and fuzzing"
./scripts/hardening.sh

echo "==> Python tests"
"$PYTHON" -m pytest tests/python "$@"
