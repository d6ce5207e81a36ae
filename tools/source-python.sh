#!/usr/bin/env bash
# CPython interpreters that no Debian or PyPI package ships, built from the
# upstream source inside Debian's CPython source packages and reused while
# complete. KIND chooses one:
#
#   ft       free-threaded (--disable-gil), built by the system's gcc
#   ft-tsan  free-threaded with ThreadSanitizer (--with-thread-sanitizer),
#            built by the system's gcc (12, with libtsan): extension modules
#            loaded into it must be built by the same gcc with
#            -fsanitize=thread (tools/thread-sanitized-tests.sh)
#   musl     for musl libc (Debian's musl, musl-gcc), with zlib, libffi and
#            sqlite built for musl from their Debian source packages first
#
#   tools/source-python.sh KIND [VERSION]   build the interpreter (or reuse
#                                           it) and print its path
#   tools/source-python.sh KIND --versions  print the versions (3.11 and up;
#                                           ft kinds 3.13 and up) whose source
#                                           can be had, newest first
#
# VERSION is 3.13 or the like; without it, the newest version whose source can
# be had. The source is the newest Debian version of the pythonX.Y source
# package in sid, forky or trixie whose files the mirror serves (the index
# lists some that the pool does not hold yet): the upstream tarball, built as
# it is, without Debian's patches. Downloads use a private apt configuration
# with its own lists and cache; the system's apt sources are left alone.
# Missing build dependencies are installed with apt (root privileges).
#
# Environment:
#   LUMETRA_SOURCE_PYTHON_REFRESH=1  rebuilds even if the interpreter is complete
#   LUMETRA_SOURCE_PYTHON_MIRROR     Debian mirror (default: the first Debian
#                                    mirror in this machine's apt sources that
#                                    serves sid's sources)
#   CMAKE_BUILD_PARALLEL_LEVEL       make's jobs (default 2)
# Interpreters live in ~/.cache/lumetra-python-KIND-VERSION (under
# XDG_CACHE_HOME if set), source packages in ~/.cache/lumetra-python-sources.
#
# ft builds in about 3 minutes on two cores, ft-tsan in about 6, musl in about
# 4 (with zlib, libffi and sqlite). If the source cannot be had or the build
# or its checks fail, the script fails and says why.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
source "$repo/tools/debian-mirrors.sh"
suites=(sid forky trixie)

die() {
    echo "source-python${kind:+ $kind}${version:+ $version}: $*" >&2
    exit 1
}
usage() {
    sed -n '2,18s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

kind="${1:-}" version=""
[ $# -ge 1 ] && [ $# -le 2 ] || usage
case "$kind" in
ft | ft-tsan) oldest=13 ;;
musl) oldest=11 ;;
*) usage ;;
esac
want="${2:-}"
case "$want" in
"" | --versions) ;;
3.[0-9]*) [[ "$want" =~ ^3\.[0-9]+$ ]] || die "VERSION is like 3.13, not $want" ;;
*) usage ;;
esac

cache="${XDG_CACHE_HOME:-$HOME/.cache}"
sources="$cache/lumetra-python-sources"
jobs="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

# What the interpreter is built with: the stamp repeats it, so that a change
# here rebuilds.
case "$kind" in
ft) configure=(--disable-gil) ;;
ft-tsan) configure=(--disable-gil --with-thread-sanitizer) ;;
musl) configure=(--without-ensurepip) ;;
esac

# The private apt configuration: deb-src lines for the suites above on one
# mirror, with lists, cache and state of its own under $sources/apt. The
# index is fetched once per run. Runs of this script share it, one at a time
# (apt_lock, apt_unlock).
apt_lock() {
    mkdir -p "$sources"
    exec 8>"$sources/apt.lock"
    flock -x 8
}
apt_unlock() {
    flock -u 8
}
apt_ready=0
private_apt() {
    [ "$apt_ready" = 0 ] || return 0
    command -v wget >/dev/null || apt_install wget
    local mirror="${LUMETRA_SOURCE_PYTHON_MIRROR:-}" uri tried=()
    if [ -z "$mirror" ]; then
        while read -r uri; do
            case "$uri" in http://* | https://* | ftp://*) ;; *) continue ;; esac
            uri="${uri%/}"
            tried+=("$uri")
            if wget -q -T 20 -t 2 -O /dev/null "$uri/dists/sid/Release"; then
                mirror="$uri"
                break
            fi
        done < <(apt_mirrors | awk '!seen[$0]++')
        [ -n "$mirror" ] || die "no Debian mirror in this machine's apt sources serves sid${tried[*]:+ (tried: ${tried[*]})}; set LUMETRA_SOURCE_PYTHON_MIRROR"
    fi
    local dir="$sources/apt" s
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/sources.list.d" "$dir/preferences.d"
    for s in "${suites[@]}"; do
        echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $s main"
    done >"$dir/sources.list"
    cat >"$dir/apt.conf" <<EOF
Dir::Etc::SourceList "$dir/sources.list";
Dir::Etc::SourceParts "$dir/sources.list.d";
Dir::Etc::Preferences "$dir/preferences";
Dir::Etc::PreferencesParts "$dir/preferences.d";
Dir::State::Lists "$dir/lists";
Dir::State::status "/dev/null";
Dir::Cache "$dir/cache";
APT::Sandbox::User "root";
EOF
    export APT_CONFIG="$dir/apt.conf"
    [ -f /usr/share/keyrings/debian-archive-keyring.gpg ] || apt_install debian-archive-keyring
    apt-get update -qq >"$dir/update.log" 2>&1 || {
        cat "$dir/update.log" >&2
        die "apt-get update of the source indexes ($mirror: ${suites[*]}) failed"
    }
    ! grep -q '^[WE]:' "$dir/update.log" || {
        cat "$dir/update.log" >&2
        die "apt-get update of the source indexes ($mirror: ${suites[*]}) was incomplete"
    }
    apt_ready=1
}

# debian_versions PACKAGE: the index's versions of a source package, newest
# first.
debian_versions() {
    apt-cache showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u | {
        # insertion into a list sorted by dpkg's ordering
        local sorted=() v i placed
        while read -r v; do
            placed=0
            for i in "${!sorted[@]}"; do
                if dpkg --compare-versions "$v" gt "${sorted[i]}"; then
                    sorted=("${sorted[@]:0:i}" "$v" "${sorted[@]:i}")
                    placed=1
                    break
                fi
            done
            [ "$placed" = 1 ] || sorted+=("$v")
        done
        [ ${#sorted[@]} = 0 ] || printf '%s\n' "${sorted[@]}"
    }
}

# served PACKAGE VERSION: true when the mirror answers for every file of that
# source package version.
served() {
    local uri
    while read -r uri; do
        wget -q -T 20 -t 2 --spider "$uri" || return 1
    done < <(apt-get source --print-uris "$1=$2" 2>/dev/null | sed -n "s/^'\([^']*\)'.*/\1/p")
}

# fetch PACKAGE: downloads the newest version of a source package that the
# mirror serves into $sources/pool, reusing files already there, and sets
# `fetched` (its Debian version) and `orig` (its upstream tarball).
fetch() {
    apt_lock
    private_apt
    local v tried=()
    mapfile -t candidates < <(debian_versions "$1")
    [ ${#candidates[@]} -gt 0 ] || die "no source package $1 in ${suites[*]}"
    mkdir -p "$sources/pool"
    for v in "${candidates[@]}"; do
        tried+=("$v")
        if (cd "$sources/pool" && apt-get source -qq --download-only "$1=$v" >"$sources/pool/fetch.log" 2>&1); then
            fetched="$v"
            local upstream="${v#*:}"
            upstream="${upstream%-*}"
            orig="$(compgen -G "$sources/pool/${1}_$upstream.orig.tar.*" | grep -v '\.asc$' | head -n 1 || true)"
            [ -n "$orig" ] || die "$1 $v downloaded without an upstream tarball"
            apt_unlock
            return
        fi
    done
    sed 's/^/  /' "$sources/pool/fetch.log" >&2
    die "the mirror serves none of $1's versions ${tried[*]}"
}

# Versions of the interpreter whose source can be had, newest first.
available_versions() {
    apt_lock
    private_apt
    local f n found=0
    for n in $(for f in $(apt-get indextargets --format '$(FILENAME)' 'Created-By: Sources'); do
        /usr/lib/apt/apt-helper cat-file "$f" | sed -n 's/^Package: python3\.\([0-9]\+\)$/\1/p'
    done | sort -rnu); do
        [ "$n" -ge "$oldest" ] || continue
        local v
        for v in $(debian_versions "python3.$n"); do
            if served "python3.$n" "$v"; then
                echo "3.$n"
                found=1
                break
            fi
        done
    done
    [ "$found" = 1 ] || die "the mirror serves no CPython 3.$oldest or newer source in ${suites[*]}"
    apt_unlock
}

if [ "$want" = --versions ]; then
    available_versions
    exit 0
fi
if [ -z "$want" ]; then
    want="$(available_versions)"
    want="${want%%$'\n'*}"
fi
version="$want"
prefix="$cache/lumetra-python-$kind-$version"
stamp="$prefix/.lumetra-python-complete"
# The musl build's dependencies are built with it.
musl_deps=(zlib libffi sqlite3)
expected="$kind ${configure[*]}"
[ "$kind" != musl ] || expected+=" with ${musl_deps[*]}"

# The interpreter's command: python3.13t for the free-threaded builds.
interpreter() {
    local t=""
    [ "$kind" = musl ] || t=t
    echo "$prefix/bin/python$version$t"
}
is_complete() {
    [ -f "$stamp" ] && [ "$(head -n 1 "$stamp")" = "$expected" ] && [ -x "$(interpreter)" ]
}

# Environment of every run of a ThreadSanitizer interpreter: reports the
# interpreter's own known races do not count (tools/tsan-suppressions.txt).
tsan_env() {
    [ "$kind" = ft-tsan ] || return 0
    export TSAN_OPTIONS="suppressions=$repo/tools/tsan-suppressions.txt ${TSAN_OPTIONS:-}"
}

# check: the finished interpreter is the kind asked for, and has what the
# test suite and pip need.
check() {
    local py
    py="$(interpreter)"
    tsan_env
    "$py" - "$kind" "$version" <<'EOF' || die "$py fails its checks (above)"
import sys, sysconfig
kind, version = sys.argv[1:3]
problems = []
if "%d.%d" % sys.version_info[:2] != version:
    problems.append(f"is Python {sys.version}, not {version}")
for module in ("_testcapi", "ctypes", "zlib", "sqlite3", "venv"):
    try:
        __import__(module)
    except ImportError as e:
        problems.append(f"cannot import {module}: {e}")
import ctypes
if ctypes.c_int(7).value != 7:
    problems.append("ctypes does not work")
free = sysconfig.get_config_var("Py_GIL_DISABLED") == 1
if kind.startswith("ft"):
    if not free:
        problems.append("Py_GIL_DISABLED is not 1")
    if sys._is_gil_enabled():
        problems.append("the GIL is enabled")
    if kind == "ft-tsan" and "--with-thread-sanitizer" not in sysconfig.get_config_var("CONFIG_ARGS"):
        problems.append("not configured --with-thread-sanitizer")
    try:
        import ssl  # pip reaches the package index
    except ImportError as e:
        problems.append(f"cannot import ssl: {e}")
else:
    cp = "cpython-%d%d" % sys.version_info[:2]
    if free:
        problems.append("Py_GIL_DISABLED is set")
    if sysconfig.get_config_var("HOST_GNU_TYPE") != "x86_64-pc-linux-musl":
        problems.append(f"HOST_GNU_TYPE is {sysconfig.get_config_var('HOST_GNU_TYPE')}")
    if sysconfig.get_config_var("EXT_SUFFIX") != f".{cp}-x86_64-linux-musl.so":
        problems.append(f"EXT_SUFFIX is {sysconfig.get_config_var('EXT_SUFFIX')}")
if problems:
    sys.exit(f"{sys.executable}:\n  " + "\n  ".join(problems))
EOF
}

# musl_dep PACKAGE COMMAND...: unpacks the newest served version of a Debian
# source package and runs COMMAND in it (with `cc` and `deps` set), logging
# to $work/PACKAGE.log.
musl_dep() {
    local package="$1" src="$work/deps/$1"
    shift
    fetch "$package"
    echo "source-python: $package $fetched for musl" >&2
    mkdir -p "$src"
    tar -xf "$orig" -C "$src" --strip-components=1
    (cd "$src" && "$@") >"$work/$package.log" 2>&1 || {
        tail -n 30 "$work/$package.log" >&2
        die "$package $fetched does not build for musl (log above)"
    }
}

# build_musl_deps DIR: zlib (pip and wheels), libffi (ctypes) and sqlite
# (sqlite3, which mypy's cache needs) for musl, static and position
# independent (the interpreter's extension modules link them in), installed
# into DIR.
build_musl_deps() {
    deps="$1" cc="$prefix/lib/lumetra-musl/cc"
    mkdir -p "$work/deps"
    musl_dep zlib eval 'CC="$cc" CFLAGS="-O2 -fPIC" ./configure --prefix="$deps" --static &&
        make -j"$jobs" && make install'
    # Debian's libffi tarball is the upstream repository's tree, without the
    # generated configure script.
    musl_dep libffi eval '{ [ -x configure ] || autoreconf -fi; } &&
        CC="$cc" CFLAGS="-O2" ./configure --prefix="$deps" --libdir="$deps/lib" \
            --disable-shared --enable-static --with-pic --disable-docs --disable-multi-os-directory &&
        make -j"$jobs" && make install'
    # Code generation uses the jimsh that sqlite carries (built by the host's cc).
    musl_dep sqlite3 eval 'CC="$cc" CFLAGS="-O2 -fPIC" ./configure --prefix="$deps" \
            --disable-shared --disable-tcl &&
        make -j"$jobs" install'
}

# musl_cc: the C compiler the musl interpreter is configured with, kept with
# the interpreter (its sysconfig names it): musl-gcc, with the kernel's own
# headers (linux/, asm/, asm-generic/; musl-gcc searches only musl's) after
# musl's, and answering --print-multiarch, which musl-gcc passes to gcc
# (whose answer, the glibc triplet, would not match configure's).
musl_cc() {
    local dir="$prefix/lib/lumetra-musl" multiarch
    multiarch="$(gcc -print-multiarch)"
    mkdir -p "$dir/include"
    ln -sfn /usr/include/linux "$dir/include/linux"
    ln -sfn /usr/include/asm-generic "$dir/include/asm-generic"
    ln -sfn "/usr/include/$multiarch/asm" "$dir/include/asm"
    [ -d "$dir/include/asm/" ] || die "no kernel headers at /usr/include/$multiarch/asm (linux-libc-dev)"
    cat >"$dir/cc" <<EOF
#!/bin/sh
# musl-gcc for the musl interpreter (tools/source-python.sh).
case "\$*" in
--print-multiarch) echo x86_64-linux-musl; exit 0 ;;
esac
exec musl-gcc "\$@" -idirafter "$dir/include"
EOF
    chmod +x "$dir/cc"
}

build() {
    local packages=(gcc make xz-utils dpkg-dev libffi-dev zlib1g-dev)
    case "$kind" in
    ft) packages+=(libssl-dev libbz2-dev liblzma-dev libsqlite3-dev uuid-dev) ;;
    ft-tsan) packages+=(libssl-dev libbz2-dev liblzma-dev libsqlite3-dev uuid-dev libtsan2) ;;
    musl) packages+=(musl musl-dev musl-tools linux-libc-dev autoconf automake libtool) ;;
    esac
    apt_install "${packages[@]}"
    fetch "python$version"
    local source_version="$fetched" python_orig="$orig"
    echo "source-python: building $kind $version from python$version $source_version into $prefix" >&2
    work="$prefix.build"
    rm -rf "$work" "$prefix"
    mkdir -p "$work/src" "$prefix"
    trap 'rm -rf "$work"' EXIT
    tar -xf "$python_orig" -C "$work/src" --strip-components=1
    local env=()
    if [ "$kind" = musl ]; then
        musl_cc
        build_musl_deps "$work/deps/prefix"
        # Only the musl builds of the dependencies: glibc's would leak in
        # through the system's pkg-config paths.
        env=(CC="$prefix/lib/lumetra-musl/cc" PKG_CONFIG_LIBDIR="$work/deps/prefix/lib/pkgconfig" PKG_CONFIG_PATH=)
    fi
    tsan_env
    local log="$prefix.build.log"
    # The installation byte-compiles only the top directory of the standard
    # library: the rest is compiled when first imported (the ThreadSanitizer
    # interpreter would otherwise spend some 15 minutes compiling the
    # interpreter's own test suite three times over).
    (cd "$work/src" && env "${env[@]}" ./configure --prefix="$prefix" "${configure[@]}" &&
        make -j"$jobs" && make install COMPILEALL_OPTS="-j0 -l") >"$log" 2>&1 || {
        tail -n 40 "$log" >&2
        die "the build failed (log above; whole log: $log)"
    }
    check
    printf '%s\n%s\n' "$expected" "python$version $source_version" >"$stamp"
    rm -f "$log"
}

mkdir -p "$cache"
exec 9>"$prefix.lock"
if [ "${LUMETRA_SOURCE_PYTHON_REFRESH:-0}" = 1 ] || ! is_complete; then
    flock -x 9
    if [ "${LUMETRA_SOURCE_PYTHON_REFRESH:-0}" = 1 ] || ! is_complete; then
        build
    fi
fi
is_complete || die "$prefix is incomplete"
interpreter
