#!/usr/bin/env bash
# Memory and undefined-behaviour hardening, in three parts:
#   1. the GoogleTest suites built with AddressSanitizer and UBSan (build/asan);
#   2. the Python suites that exercise the module, against the module from
#      that same sanitized build;
#   3. a time-bounded libFuzzer run over the kernels and models
#      (tests/fuzz/fuzz_kernels.cpp), built with clang.
# Any sanitizer report, failed test or fuzzer finding fails the script.
#
# FUZZ_SECONDS (default 40) bounds the fuzzing time.  The committed seed
# corpus (tests/fuzz/corpus) is copied to a temporary directory, so the
# inputs the fuzzer adds are thrown away; a crashing input is kept in
# build/fuzz/ and the command that reproduces it is printed.
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

FUZZ_SECONDS=${FUZZ_SECONDS:-40}
ROOT=$PWD

ensure_apt g++ pkg-config libgtest-dev libgmock-dev clang-14 libclang-rt-14-dev
ensure_build_tools

# The test requirements of the package, as pyproject.toml lists them; pip
# does nothing when they are already installed.
mapfile -t test_requirements < <("$PYTHON" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))
')
PIP_ROOT_USER_ACTION=ignore "$PYTHON" -m pip install -q "${test_requirements[@]}"

part=""
started=$SECONDS
report_failure() {
    local status=$?
    if [ -n "$part" ]; then
        echo "==> hardening FAILED in part: $part (exit status $status)"
    fi
}
trap report_failure EXIT

section() {
    part="$1"
    part_started=$SECONDS
    echo
    echo "==> hardening: $1"
}

# Every report is fatal and comes with its stack.  UBSan reports are made
# non-recoverable at compile time as well (-fno-sanitize-recover).
ASAN_BASE="halt_on_error=1:abort_on_error=1:print_stacktrace=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# ---------------------------------------------------------------------------
section "C++ tests with AddressSanitizer and UBSan"

asan_options=(
    -Dtests=enabled
    --buildtype=debugoptimized
    -Db_sanitize=address,undefined
    "-Dcpp_args=-fno-sanitize-recover=undefined -fno-omit-frame-pointer -D_GLIBCXX_ASSERTIONS"
)
if [ -f build/asan/build.ninja ]; then
    meson setup --reconfigure build/asan "${asan_options[@]}" >/dev/null
else
    # The Python part preloads gcc's ASan runtime, so the build must use gcc.
    CXX=g++ meson setup build/asan "${asan_options[@]}" >/dev/null
fi
meson compile -C build/asan >/dev/null

# The surface tests embed the interpreter, whose own allocations that live
# until exit read as leaks; every other suite runs with leak detection.
embedded=()
others=()
while IFS= read -r name; do
    case "$name" in
        *:surface) embedded+=("$name") ;;
        *) others+=("$name") ;;
    esac
done < <(meson test -C build/asan --no-rebuild --list 2>/dev/null)
if ((${#others[@]})); then
    ASAN_OPTIONS="$ASAN_BASE:detect_leaks=1" \
        meson test -C build/asan --no-rebuild --print-errorlogs "${others[@]}"
fi
if ((${#embedded[@]})); then
    ASAN_OPTIONS="$ASAN_BASE:detect_leaks=0" \
        meson test -C build/asan --no-rebuild --print-errorlogs "${embedded[@]}"
fi
cpp_seconds=$((SECONDS - part_started))
echo "(C++ part took ${cpp_seconds} s)"

# ---------------------------------------------------------------------------
section "Python tests against the sanitized module"

# The interpreter itself is not instrumented: the ASan runtime must be loaded
# before anything else, so it is preloaded.  The interpreter does not link
# the C++ runtime either, and ASan resolves the C++ throw it intercepts only
# at start-up: without libstdc++ preloaded after it, the first exception
# thrown in the module aborts the process instead of becoming a Python
# exception.  CPython keeps objects alive until exit, which leak detection
# would report, so it is off here.  PYTHONMALLOC=malloc hands every object to
# ASan's allocator, so that a reference released too early is caught as a
# use after free.
libasan=$(g++ -print-file-name=libasan.so)
if [ ! -e "$libasan" ]; then
    echo "gcc's ASan runtime (libasan.so) not found" >&2
    exit 1
fi
libstdcxx=$(readlink -f "$(g++ -print-file-name=libstdc++.so.6)")
if [ ! -e "$libstdcxx" ]; then
    echo "gcc's C++ runtime (libstdc++.so.6) not found" >&2
    exit 1
fi
module=$(find build/asan -maxdepth 1 -name 'caustrix*.so' | head -n 1)
if [ -z "$module" ]; then
    echo "the sanitized module was not built in build/asan" >&2
    exit 1
fi
python_env=(
    env
    "PYTHONPATH=$ROOT/build/asan${PYTHONPATH:+:$PYTHONPATH}"
    "LD_PRELOAD=$libasan:$libstdcxx"
    PYTHONMALLOC=malloc
    "ASAN_OPTIONS=$ASAN_BASE:detect_leaks=0"
)
"${python_env[@]}" "$PYTHON" -c '
import pathlib, sys, caustrix
expected = pathlib.Path(sys.argv[1]).resolve()
if pathlib.Path(caustrix.__file__).resolve() != expected:
    sys.exit(f"imported {caustrix.__file__}, not the sanitized {expected}")
' "$module"

# A C++ exception thrown in the sanitized module must arrive as a Python
# exception: a worker thread refused at pool start-up (user "nobody" may
# start no process here) throws inside the pool, and the call raises.
if [ "$(id -u)" = 0 ]; then
    "${python_env[@]}" RAYON_NUM_THREADS=4 "$PYTHON" -c '
import os, resource, caustrix
resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
os.setgid(65534)
os.setuid(65534)
try:
    caustrix.multi_witt_mao_magnification([0.5], [1.0, 2.0], [0.1])
except BaseException as exc:
    assert type(exc).__name__ == "PanicException", repr(exc)
    assert "thread pool has not been initialized" in str(exc), repr(exc)
else:
    raise SystemExit("the refused thread start raised nothing")
' 2>build/asan/throw-check.log || {
        cat build/asan/throw-check.log >&2
        echo "a C++ exception in the sanitized module did not become a Python exception" >&2
        exit 1
    }
    echo "a C++ exception in the sanitized module became a Python exception"
else
    echo "not root: the check that C++ exceptions reach Python is skipped"
fi

# Only the suites that import the module: the generator checks do not load it.
mapfile -t suites < <(grep -l -E '^\s*(import\s.*\bcaustrix\b|from\s+caustrix\b)' tests/python/test_*.py | sort)
# The suites of the installed package (its stubs, examples, wheel, benchmarks)
# test the distribution, not the native code, and look for the installed
# files beside the module: they run in the plain test run only.
package_suites=(tests/python/test_stubs.py tests/python/test_examples.py tests/python/test_packaging.py
                tests/python/test_bench_scripts.py)
for excluded in "${package_suites[@]}"; do
    for i in "${!suites[@]}"; do
        [ "${suites[$i]}" != "$excluded" ] || unset 'suites[i]'
    done
done
suites=("${suites[@]}")
if ((${#suites[@]} == 0)); then
    echo "no Python suite imports caustrix" >&2
    exit 1
fi
# Three kinds of test mean nothing under ASan.  Its operator new cannot throw
# std::bad_alloc (on exhaustion it ends the process), so memory is not
# exhausted on purpose here; freed memory stays in its quarantine, so the
# resident set grows although nothing leaks; and this compiler's ASan
# allocator does not take its lock around fork(), so a child forked (from a
# signal handler) while a worker thread allocates can inherit the lock held
# and hang at its first allocation: the fork tests of allocating darkened
# profiles run in the plain test runs only.
not_under_asan=(
    --deselect tests/python/test_fitting_surface.py::test_fork_from_a_signal_handler_during_a_pooled_call
    --deselect tests/python/test_hostile_input.py::TestMemoryLimits::test_real_exhaustion_raises_memory_error
    --deselect tests/python/test_fitting_surface.py::TestHostile::test_a_result_too_large_for_memory_is_refused_before_work
    --deselect tests/python/test_process_and_threads.py::test_memory_stays_flat_over_many_calls
)
"${python_env[@]}" "$PYTHON" -m pytest -q -x -p no:cacheprovider -m "not reference_data" \
    "${not_under_asan[@]}" "${suites[@]}"
python_seconds=$((SECONDS - part_started))
echo "(Python part took ${python_seconds} s)"

# ---------------------------------------------------------------------------
section "libFuzzer over the kernels and models (${FUZZ_SECONDS} s)"

clangxx=""
for candidate in clang++-14 clang++; do
    if command -v "$candidate" >/dev/null; then
        clangxx=$candidate
        break
    fi
done
if [ -z "$clangxx" ]; then
    echo "clang++ not found" >&2
    exit 1
fi

mkdir -p build/fuzz
# Failing inputs of an earlier run would be mistaken for this run's.
rm -f build/fuzz/crash-* build/fuzz/leak-* build/fuzz/timeout-* build/fuzz/oom-*
# The plain C++ kernels, runtime and models, without the binding surface.
mapfile -t core_sources < <(find src/ellip src/models src/numdiff src/runtime -name '*.cpp' | sort)
"$clangxx" -std=c++20 -g -O1 -fno-omit-frame-pointer -ffp-contract=off -fno-fast-math \
    -D_GLIBCXX_ASSERTIONS \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Isrc tests/fuzz/fuzz_kernels.cpp "${core_sources[@]}" -pthread \
    -o build/fuzz/fuzz_kernels

work=$(mktemp -d)
trap 'rm -rf "$work"; report_failure' EXIT
mkdir "$work/corpus"
cp tests/fuzz/corpus/* "$work/corpus/"
fuzz_log=build/fuzz/fuzz_kernels.log
if ! ASAN_OPTIONS="halt_on_error=1:print_stacktrace=1:detect_stack_use_after_return=1:detect_leaks=1" \
    build/fuzz/fuzz_kernels -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -max_len=512 \
    -timeout=30 -print_final_stats=1 -artifact_prefix="$ROOT/build/fuzz/" \
    "$work/corpus" >"$fuzz_log" 2>&1; then
    tail -n 60 "$fuzz_log"
    echo
    echo "the fuzzer found a failing input; full log in $fuzz_log"
    for input in build/fuzz/crash-* build/fuzz/leak-* build/fuzz/timeout-* build/fuzz/oom-*; do
        [ -e "$input" ] && echo "reproduce with: build/fuzz/fuzz_kernels $input"
    done
    exit 1
fi
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$fuzz_log")
grep -E '^#[0-9]+[[:space:]]+DONE' "$fuzz_log" || true
echo "fuzz executions: ${executions:-unknown}"
fuzz_seconds=$((SECONDS - part_started))
echo "(fuzzing part took ${fuzz_seconds} s)"

part=""
echo
echo "==> hardening passed in $((SECONDS - started)) s: C++ ${cpp_seconds} s, Python ${python_seconds} s, fuzzing ${fuzz_seconds} s (${executions:-unknown} executions)"
