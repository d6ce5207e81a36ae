# Sourced by the scripts that make virtual environments for the interpreters
# (tools/installed-venv.sh, tools/build-release.sh); defines two functions:
#
#   new_venv PYTHON DIR         makes a virtual environment with pip at DIR
#   venv_install PY ARG...      PY -m pip install ARG...
#
# An interpreter built without ssl (the musl one of tools/source-python.sh)
# cannot reach the package index itself: for it, this machine's python3
# downloads what is asked for, as wheels for the interpreter's version,
# ABI and platforms (musllinux), and the interpreter's pip installs them from
# that directory without an index. Its environment gets pip the same way,
# from the wheel of pip run as pip itself (no ensurepip in that build).

# True when PY's pip can reach the package index itself.
venv_online() {
    "$1" -c 'import ssl' 2>/dev/null
}

new_venv() {
    local python="$1" dir="$2"
    if venv_online "$python"; then
        "$python" -m venv "$dir"
        return
    fi
    "$python" -m venv --without-pip "$dir"
    local wheels
    wheels="$(mktemp -d)"
    python3 -m pip download --quiet --disable-pip-version-check --no-deps --only-binary=:all: \
        --dest "$wheels" pip || {
        rm -rf "$wheels"
        echo "venv-pip: this machine's python3 could not download pip for $python" >&2
        return 1
    }
    local pip_wheel
    pip_wheel="$(echo "$wheels"/pip-*.whl)"
    PYTHONPATH="$pip_wheel" "$dir/bin/python" -m pip install --quiet --disable-pip-version-check \
        --no-index "$pip_wheel" || {
        rm -rf "$wheels"
        echo "venv-pip: pip could not install itself into $dir" >&2
        return 1
    }
    rm -rf "$wheels"
}

venv_install() {
    local py="$1"
    shift
    if venv_online "$py"; then
        "$py" -m pip install "$@"
        return
    fi
    # The target's tags, as its own pip sees them: version, ABI, platforms.
    local described version abi platforms_line platforms=() args=() quiet=() a
    described="$("$py" -c '
import sys
from pip._vendor.packaging import tags
platforms = list(dict.fromkeys(t.platform for t in tags.sys_tags() if t.platform != "any"))
print("%d.%d" % sys.version_info[:2], tags.interpreter_name() + tags.interpreter_version(), *platforms)
')" || return 1
    read -r version abi platforms_line <<<"$described"
    read -r -a platforms <<<"$platforms_line"
    for a in "${platforms[@]}"; do
        args+=(--platform "$a")
    done
    # Options for the installation only (and --quiet for both).
    local requirements=() upgrade=()
    for a in "$@"; do
        case "$a" in
        --quiet | -q) quiet=(--quiet) ;;
        --upgrade | -U) upgrade=(--upgrade) ;;
        --only-binary=*) ;;
        -*)
            echo "venv-pip: option $a is not supported for $py (no index)" >&2
            return 1
            ;;
        *) requirements+=("$a") ;;
        esac
    done
    local wheels
    wheels="$(mktemp -d)"
    python3 -m pip download "${quiet[@]}" --disable-pip-version-check --only-binary=:all: \
        --python-version "$version" --implementation cp --abi "$abi" "${args[@]}" \
        --dest "$wheels" "${requirements[@]}" || {
        rm -rf "$wheels"
        echo "venv-pip: this machine's python3 could not download ${requirements[*]} for $py" >&2
        return 1
    }
    "$py" -m pip install "${quiet[@]}" "${upgrade[@]}" --disable-pip-version-check --no-index \
        --find-links "$wheels" "${requirements[@]}" || {
        rm -rf "$wheels"
        return 1
    }
    rm -rf "$wheels"
}
