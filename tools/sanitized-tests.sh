#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer
# into their own virtual environment and runs the whole test suite against them.
# Any sanitizer report aborts the interpreter, which fails the run.
#
#   tools/sanitized-tests.sh [pytest arguments...]
#
# SANITIZE_VENV chooses the environment (default: a fresh temporary one, removed
# when this script exits).
set -euo pipefail
cd "$(dirname "$0")/.."

venv="${SANITIZE_VENV:-}"
if [ -z "$venv" ]; then
    venv_dir="$(mktemp -d)"
    trap 'unset LD_PRELOAD; rm -rf "$venv_dir"' EXIT  # rm without the sanitizer runtime
    venv="$venv_dir/venv"
fi
if [ ! -x "$venv/bin/python" ]; then
    python3 -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet scikit-build-core cmake ninja pytest hypothesis

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
"$venv/bin/python" -m pip install --quiet --no-build-isolation \
    -C build-dir=build/sanitize \
    -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.LUMETRA_SANITIZE=ON \
    -C cmake.define.LUMETRA_WERROR=ON .

# The interpreter itself is not instrumented: the sanitizer runtime must be
# loaded first, and Python's own allocator bypassed so that every object
# allocation is checked. Leak detection is left to the suite's own reference
# and tracemalloc checks (the interpreter keeps objects alive at exit by design).
asan_runtime="$(${CXX:-g++} -print-file-name=libasan.so)"
export LD_PRELOAD="$asan_runtime"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export LUMETRA_SANITIZED=1
cd tests
# Not exec: the EXIT trap must still run to remove a temporary environment.
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
