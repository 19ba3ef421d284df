#!/usr/bin/env bash
# Reference and memory balance of every function: builds caustrix for
# Debian's debug interpreter (python3.11d, which counts every reference) in
# build/dbg and runs tests/refcount/check_refcounts.py under it.  Arguments
# are passed on to the check (--calls, --rounds, --warmup, -k TEXT).
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

# Debian's numpy, for the fitting functions: a release-build extension, which
# the debug interpreter loads (the two share one ABI).
ensure_apt g++ pkg-config python3.11-dbg python3-numpy
# meson runs under the ordinary interpreter (Debian's own meson is older than
# the project needs); only the module is built for the debug one.
ensure_build_tools

DEBUG_PYTHON=$(command -v python3.11d || command -v python3.11-dbg)
BUILD=build/dbg
MESON=("$PYTHON" -m mesonbuild.mesonmain)

# The python module of meson takes the interpreter from the native file, so
# the extension gets the debug ABI (caustrix.cpython-311d-*.so) and headers.
echo "==> building caustrix for $DEBUG_PYTHON in $BUILD"
if [ ! -f "$BUILD/build.ninja" ]; then
    mkdir -p build
    printf "[binaries]\npython = '%s'\n" "$DEBUG_PYTHON" >build/dbg-native.ini
    "${MESON[@]}" setup "$BUILD" --native-file build/dbg-native.ini --buildtype=debug \
        -Dtests=disabled -Dbenchmarks=disabled >/dev/null
fi
"${MESON[@]}" compile -C "$BUILD" >/dev/null
suffix=$("$DEBUG_PYTHON" -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")
if [ ! -f "$BUILD/caustrix$suffix" ]; then
    echo "no caustrix$suffix in $BUILD: the module was not built for $DEBUG_PYTHON" >&2
    exit 1
fi

echo "==> reference and memory balance"
# The check takes some 25 s on a quiet machine of two cores and four times
# that on a loaded one; the bound only stops a call that never returns.
PYTHONPATH="$BUILD" timeout -k 10 900 "$DEBUG_PYTHON" tests/refcount/check_refcounts.py "$@"
