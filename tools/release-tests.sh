#!/usr/bin/env bash
# Tests one release wheel on its own architecture: tools/wheel-tests.sh
# installs it with the test extra into a fresh virtual environment outside the
# tree and runs the suite against it, on the interpreter that
# tools/release-targets.sh names for the wheel's version, architecture and
# kind (an aarch64 one inside an arm64 Debian root, run by qemu-user on an
# x86-64 machine; the free-threaded and musl ones built by
# tools/source-python.sh).
#
#   tools/release-tests.sh [--full] WHEEL [pytest arguments...]
#
# The x86-64 wheels and the aarch64 wheel of 3.13 run the whole suite; the
# other aarch64 wheels run the part tools/release-targets.sh chooses, or the
# whole suite with --full.
#
# WHEEL must lie inside the repository (a Debian root sees only that).
# Needs root privileges for the wheels tested inside a Debian root.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
full=0
if [ "${1:-}" = --full ]; then
    full=1
    shift
fi
[ $# -ge 1 ] || {
    sed -n '2,17s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
wheel="$(realpath --relative-to="$repo" "$1")"
shift
cd "$repo"
source tools/release-targets.sh

die() {
    echo "release-tests: $*" >&2
    exit 1
}
[ -f "$wheel" ] || die "no wheel $wheel"
case "$wheel" in ../*) die "$wheel lies outside the repository" ;; esac
[[ "$(basename "$wheel")" =~ ^lumetra-[^-]+-cp3([0-9]+)-cp3[0-9]+(t?)-(many|musl)linux[^-]*_(x86_64|aarch64)\.whl$ ]] ||
    die "$wheel is not a release wheel for CPython on x86_64 or aarch64"
version="3.${BASH_REMATCH[1]}" arch="${BASH_REMATCH[4]}" kind=""
[ -z "${BASH_REMATCH[2]}" ] || kind=ft
[ "${BASH_REMATCH[3]}" = many ] || kind=musl
interpreter_of "$version" "$arch" "$kind"
# The free-threaded wheel runs as the package leaves the interpreter: no
# PYTHON_GIL setting turns the GIL on or off for it.
unset PYTHON_GIL
tests=()
if [ "$arch" != "$(uname -m)" ]; then
    [ "$version" = "$emulated_full" ] || [ "$full" = 1 ] || tests=("${emulated_subset[@]}")
    # Under emulation pip would spend minutes byte-compiling every file it
    # installs (pip's own in the new environment, mypy's) and upgrading
    # itself: modules are compiled when first imported instead, and the
    # interpreter's own pip installs the wheels.
    export PIP_NO_COMPILE=1 LUMETRA_VENV_PIP_UPGRADE=0
    # The suite's time-outs for child interpreters allow for emulation, and
    # its repetition-heavy tests (leak checks, generated examples) run a tenth
    # of their repetitions: every test still runs, at about a third of the
    # native suite's cost, which emulation multiplies some 30 times.
    export LUMETRA_TEST_TIMEOUT_SCALE=10 LUMETRA_TEST_EFFORT=0.1
fi
run_in "$root" tools/wheel-tests.sh --install "$wheel" "$python" "$@" "${tests[@]}"
