#!/usr/bin/env bash
# Tests the package as users get it, on one interpreter: builds a wheel from
# the source tree (warnings as errors), installs it with the test extra into a
# fresh virtual environment outside the tree, and runs the whole test suite
# from the repository root against the installed package.
#
#   tools/wheel-tests.sh [--install FILE | --zig] PYTHON [pytest arguments...]
#
# PYTHON is a version (3.12 or 3.12.1) or an interpreter command or path
# (python3.14); tools/find-python.sh says how it is looked up.
# --install FILE installs that wheel instead of building one (release checks);
# --zig builds it with the release wheels' compiler (tools/zig-toolchain.sh)
# instead of the system's.
# Inside the Debian root: tools/sid-root.sh tools/wheel-tests.sh python3.14
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"

install=""
case "${1:-}" in
--install)
    install="$(realpath "$2")"
    shift 2
    ;;
--zig)
    install=zig
    shift
    ;;
esac
[ $# -ge 1 ] || {
    sed -n '2,14s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
want="$1"
shift

source "$repo/tools/installed-venv.sh"
installed_venv "$want" test "$install"

# The suite finds the installed package, never src/ (tests/conftest.py checks).
cd "$repo"
"$py" -m pytest -p no:cacheprovider "$@"
