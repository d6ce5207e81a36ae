#!/usr/bin/env bash
# Prints the path of the interpreter that PYTHON names, or fails saying what
# was looked for.
#
#   tools/find-python.sh PYTHON
#
# PYTHON is a version (3.12 or 3.12.1: the newest matching pyenv interpreter,
# else python3.12 from PATH if its version matches) or an interpreter command
# or path (python3.14).
set -euo pipefail
[ $# = 1 ] || {
    sed -n '2,9s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
want="$1"

version_of() {
    "$1" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])' 2>/dev/null
}

if [[ "$want" =~ ^[0-9]+\.[0-9]+(\.[0-9]+)?$ ]]; then
    if command -v pyenv >/dev/null; then
        v="$(pyenv versions --bare | grep -xE "${want//./\\.}(\.[0-9]+)?" | sort -V | tail -n 1 || true)"
        if [ -n "$v" ]; then
            PYENV_VERSION="$v" exec pyenv which python3
        fi
    fi
    cmd="python$(cut -d. -f1,2 <<<"$want")"
    v="$(version_of "$cmd" || true)"
    if [[ -n "$v" && ("$v" == "$want" || "$v" == "$want".*) ]]; then
        command -v "$cmd"
        exit
    fi
    echo "find-python: no Python $want found (pyenv, or $cmd on PATH)" >&2
    exit 1
fi
command -v "$want" || {
    echo "find-python: no interpreter '$want'" >&2
    exit 1
}
