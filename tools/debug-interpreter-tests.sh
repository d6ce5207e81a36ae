#!/usr/bin/env bash
# Runs the test suite under Debian's debug build of the interpreter
# (python3.11-dbg, ABI-compatible with the release build) with every test
# repeated and the interpreter's total reference count required to stay flat.
#
#   tools/debug-interpreter-tests.sh [pytest arguments...]
#
# DEBUG_VENV chooses the environment (default: a fresh temporary one, removed
# when this script exits).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v python3.11-dbg >/dev/null; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        # Another installation running (CI's other lane) is waited for.
        apt-get -o DPkg::Lock::Timeout=600 update -qq
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
            python3.11-dbg python3.11-dev python3.11-venv >/dev/null
    else
        echo "python3.11-dbg is not installed and cannot be installed here" >&2
        exit 1
    fi
fi

venv="${DEBUG_VENV:-}"
if [ -z "$venv" ]; then
    venv_dir="$(mktemp -d)"
    trap 'rm -rf "$venv_dir"' EXIT
    venv="$venv_dir/venv"
fi
if [ ! -x "$venv/bin/python" ]; then
    python3.11-dbg -m venv "$venv"
fi
"$venv/bin/python" -W ignore -m pip install --quiet --upgrade pip
"$venv/bin/python" -W ignore -m pip install --quiet scikit-build-core cmake ninja pytest hypothesis

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
"$venv/bin/python" -W ignore -m pip install --quiet --force-reinstall --no-deps --no-build-isolation \
    -C build-dir=build/debug-interpreter -C cmake.define.LUMETRA_WERROR=ON .

export LUMETRA_REFCHECK=1
cd tests
# Not exec: the EXIT trap must still run to remove a temporary environment.
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
