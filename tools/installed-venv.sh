# Sourced by the scripts that run something against the package as users get
# it (tools/wheel-tests.sh, tools/bench-versions.sh); defines one function:
#
#   installed_venv PYTHON EXTRA [WHEEL | zig]
#
# makes a fresh virtual environment outside the tree with the interpreter that
# PYTHON names (see tools/find-python.sh), builds a wheel from the source tree
# with warnings as errors, installs it with EXTRA, and sets `py` to the
# environment's interpreter. The wheel is built by the system's compiler, or
# with `zig` by the compiler of the release wheels (tools/zig-toolchain.sh);
# WHEEL installs that file instead. An interpreter for musl has no compiler
# of its own here: its wheel is always built by zig, as the release's is
# (tools/build-release.sh wheel). The environment is removed when the sourcing
# script exits (this sets its EXIT trap).

installed_venv() {
    local want="$1" extra="$2" wheel="${3:-}" repo python
    repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    source "$repo/tools/venv-pip.sh"
    python="$("$repo/tools/find-python.sh" "$want")"
    echo "$(basename "$0" .sh): $("$python" -VV | head -n 1) ($python)"

    installed_venv_dir="$(mktemp -d)"
    trap 'rm -rf "$installed_venv_dir"' EXIT
    new_venv "$python" "$installed_venv_dir/venv"
    py="$installed_venv_dir/venv/bin/python"
    # LUMETRA_VENV_PIP_UPGRADE=0 keeps the interpreter's own pip (under
    # emulation an upgrade costs minutes, and any recent pip installs wheels).
    [ "${LUMETRA_VENV_PIP_UPGRADE:-1}" = 0 ] || venv_install "$py" --quiet --upgrade pip

    export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
    if [ -z "$wheel" ] || [ "$wheel" = zig ] &&
        "$python" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("HOST_GNU_TYPE").endswith("-musl"))'; then
        "$repo/tools/build-release.sh" wheel "$want" "$repo" "$(uname -m)" "$installed_venv_dir/wheel"
        wheel="$(echo "$installed_venv_dir"/wheel/lumetra-*.whl)"
    elif [ -z "$wheel" ] || [ "$wheel" = zig ]; then
        local compiler=()
        if [ "$wheel" = zig ]; then
            # The interpreter's headers beside zig's own, as the release
            # build has them (tools/build-release.sh).
            "$repo/tools/build-release.sh" target "$want" "$installed_venv_dir/target"
            "$repo/tools/zig-toolchain.sh" "$py" "$(uname -m)" "$installed_venv_dir/zig" \
                "$installed_venv_dir/target/include"
            compiler=(-C "cmake.toolchain-file=$installed_venv_dir/zig/toolchain.cmake")
        fi
        "$py" -m pip wheel --quiet --no-deps --wheel-dir "$installed_venv_dir/wheel" \
            -C cmake.define.LUMETRA_WERROR=ON "${compiler[@]}" "$repo"
        wheel="$(echo "$installed_venv_dir"/wheel/lumetra-*.whl)"
    fi
    # Some dependencies publish a source distribution that needs a Rust
    # toolchain before they publish wheels for a free-threaded interpreter
    # (hypothesis for 3.13t): the newest version with a wheel is taken there.
    if [ "$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("Py_GIL_DISABLED") or 0)')" != 1 ]; then
        venv_install "$py" --quiet "$wheel[$extra]"
        return
    fi
    # The extra's requirements but those that cannot be had for a
    # free-threaded 3.13 at all: `atomics` (a peer in the tour) needs cffi,
    # which refuses to build for it. The tour skips a peer that is missing.
    local requirements
    mapfile -t requirements < <("$py" - "$repo/pyproject.toml" "$extra" <<'PY'
import re, sys, tomllib
with open(sys.argv[1], "rb") as f:
    extras = tomllib.load(f)["project"]["optional-dependencies"]
for requirement in extras[sys.argv[2]]:
    if re.match(r"atomics\b", requirement) is None:
        print(requirement)
PY
    )
    venv_install "$py" --quiet --only-binary=:all: "$wheel" "${requirements[@]}"
}
