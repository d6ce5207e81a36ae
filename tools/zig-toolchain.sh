#!/usr/bin/env bash
# Writes a CMake toolchain file that compiles with the C++ compiler of the
# ziglang package: clang, targeting glibc 2.28 (the modules then need no glibc
# symbol newer than that, whatever the build machine's glibc) or musl, and
# linking zig's own C++ runtime statically (no dependency on the system's
# libstdc++).
#
#   tools/zig-toolchain.sh PYTHON ARCH DIR [INCLUDE]
#
# ARCH is x86_64 or aarch64 (glibc), or x86_64-musl or aarch64-musl; another
# architecture than this machine's makes a cross build. DIR receives
# toolchain.cmake and the wrappers it names (c++, ar, ranlib). INCLUDE is
# searched after the compiler's own directories (a cross build's copy of the
# target interpreter's include directory, whose pyconfig.h includes
# <multiarch/pythonX.Y/pyconfig.h>).
#
# PYTHON's pip installs the pinned ziglang once into LUMETRA_ZIG_HOME
# (default ~/.cache/lumetra-zig, under XDG_CACHE_HOME if set), which also
# holds zig's cache: the C++ runtime of a target is built once (about a minute
# of one core) and reused while the zig installation stays where it is.
set -euo pipefail

# The compiler release the wheels are built and measured with; change it only
# together with a fresh run of tools/build-release.sh --test and
# tools/bench-versions.sh --builds gcc,zig.
ziglang_version=0.17.1
glibc=2.28

die() {
    echo "zig-toolchain: $*" >&2
    exit 1
}

[ $# = 3 ] || [ $# = 4 ] || {
    sed -n '2,20s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
python="$1" arch="$2" dir="$3" include="${4:-}"
case "$arch" in
x86_64 | aarch64) target="$arch-linux-gnu.$glibc" ;;
x86_64-musl | aarch64-musl)
    arch="${arch%-musl}"
    target="$arch-linux-musl"
    ;;
*) die "unknown architecture '$arch' (x86_64, aarch64, x86_64-musl or aarch64-musl)" ;;
esac

home="${LUMETRA_ZIG_HOME:-${XDG_CACHE_HOME:-$HOME/.cache}/lumetra-zig}"
install="$home/ziglang-$ziglang_version"
if [ ! -x "$install/ziglang/zig" ]; then
    mkdir -p "$home"
    rm -rf "$install.new"
    PIP_ROOT_USER_ACTION=ignore "$python" -m pip install --quiet --disable-pip-version-check --no-deps \
        --target "$install.new" "ziglang==$ziglang_version" ||
        die "could not install ziglang $ziglang_version with $python"
    [ -x "$install.new/ziglang/zig" ] || die "ziglang $ziglang_version has no zig executable"
    rm -rf "$install"
    mv "$install.new" "$install"
fi
zig="$install/ziglang/zig"
"$zig" version >/dev/null || die "$zig does not run on this machine"

mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
# zig's clang keeps the frame pointer at every optimisation level; GCC, the
# system compiler, omits it from -O1 on, and so do the release builds (a
# register more for the descents and scans; a flag given later, as the
# sanitizer build's -fno-omit-frame-pointer, still wins).
flags=(-target "$target" -fomit-frame-pointer)
if [ -n "$include" ]; then
    [ -d "$include" ] || die "no directory $include"
    flags+=(-idirafter "$(cd "$include" && pwd)")
fi
# wrapper NAME [ARG...]: DIR/NAME runs `zig NAME ARG...` with the caller's
# arguments after them (printf %q quotes each word for the wrapper's shell).
wrapper() {
    {
        echo '#!/bin/sh'
        printf 'ZIG_GLOBAL_CACHE_DIR=%q; export ZIG_GLOBAL_CACHE_DIR\n' "$home/cache"
        printf 'exec %q' "$zig"
        printf ' %q' "$@"
        echo ' "$@"'
    } >"$dir/$1.new"
    chmod +x "$dir/$1.new"
    mv "$dir/$1.new" "$dir/$1"
}
wrapper c++ "${flags[@]}"
wrapper ar
wrapper ranlib

{
    if [ "$arch" != "$(uname -m)" ]; then
        echo "set(CMAKE_SYSTEM_NAME Linux)"
        echo "set(CMAKE_SYSTEM_PROCESSOR $arch)"
    fi
    echo "set(CMAKE_CXX_COMPILER \"$dir/c++\")"
    echo "set(CMAKE_AR \"$dir/ar\" CACHE FILEPATH \"\")"
    echo "set(CMAKE_RANLIB \"$dir/ranlib\" CACHE FILEPATH \"\")"
} >"$dir/toolchain.cmake"
