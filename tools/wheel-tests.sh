#!/usr/bin/env bash
# Tests the package as users get it, on one interpreter: builds a wheel from
# the source tree (warnings as errors), installs it with the test extra into a
# fresh virtual environment outside the tree, and runs the whole test suite
# from the repository root against the installed package.
#
#   tools/wheel-tests.sh [--install FILE] PYTHON [pytest arguments...]
#
# PYTHON is a version (3.12 or 3.12.1: the newest matching pyenv interpreter,
# else python3.12 from PATH) or an interpreter command or path (python3.14).
# --install FILE installs that wheel instead of building one (release checks).
# Inside the Debian root: tools/sid-root.sh tools/wheel-tests.sh python3.14
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"

install=""
if [ "${1:-}" = --install ]; then
    install="$(realpath "$2")"
    shift 2
fi
[ $# -ge 1 ] || {
    sed -n '2,12s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
want="$1"
shift

version_of() {
    "$1" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])' 2>/dev/null
}

# Prints the interpreter PYTHON names, or fails saying what was looked for.
resolve_python() {
    local want="$1" v cmd
    if [[ "$want" =~ ^[0-9]+\.[0-9]+(\.[0-9]+)?$ ]]; then
        if command -v pyenv >/dev/null; then
            v="$(pyenv versions --bare | grep -xE "${want//./\\.}(\.[0-9]+)?" | sort -V | tail -n 1 || true)"
            if [ -n "$v" ]; then
                PYENV_VERSION="$v" pyenv which python3
                return
            fi
        fi
        cmd="python$(cut -d. -f1,2 <<<"$want")"
        v="$(version_of "$cmd" || true)"
        if [[ -n "$v" && ("$v" == "$want" || "$v" == "$want".*) ]]; then
            command -v "$cmd"
            return
        fi
        echo "wheel-tests: no Python $want found (pyenv, or $cmd on PATH)" >&2
        return 1
    fi
    command -v "$want" || {
        echo "wheel-tests: no interpreter '$want'" >&2
        return 1
    }
}

python="$(resolve_python "$want")"
echo "wheel-tests: Python $(version_of "$python") ($python)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$python" -m venv "$work/venv"
py="$work/venv/bin/python"
"$py" -m pip install --quiet --upgrade pip

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
if [ -z "$install" ]; then
    "$py" -m pip wheel --quiet --no-deps --wheel-dir "$work/wheel" \
        -C cmake.define.LUMETRA_WERROR=ON "$repo"
    install="$(echo "$work"/wheel/lumetra-*.whl)"
fi
"$py" -m pip install --quiet "$install[test]"

# The suite finds the installed package, never src/ (tests/conftest.py checks).
cd "$repo"
"$py" -m pytest -p no:cacheprovider "$@"
