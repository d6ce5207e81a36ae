#!/usr/bin/env bash
# Debian root file systems holding the interpreters the machine itself lacks,
# made with debootstrap and reused while complete. NAME chooses one:
#
#   sid             Debian unstable for this machine's architecture: python3.14
#                   and python3.15, and g++ (builds and tests on 3.14 and 3.15)
#   sid-arm64       Debian unstable for arm64: python3.13, python3.14, python3.15
#   bookworm-arm64  Debian 12 for arm64: python3.11
#
# Every interpreter comes with its headers, venv and _testcapi.
#
#   tools/debian-root.sh NAME                  make the root (or check it) and print its path
#   tools/debian-root.sh NAME COMMAND [ARG...] run COMMAND inside it, from the repository root
#
# An arm64 root on a machine of another architecture runs under qemu-user:
# qemu-user-static and binfmt-support are installed if missing, binfmt_misc is
# mounted and the aarch64 handler enabled (it must have the F flag, so that the
# emulator works inside the root).
#
# Inside, the repository is bind-mounted read-write at /srv/lumetra (the
# working directory), /proc, /sys, /dev and a private /dev/shm are mounted,
# and the machine's DNS resolver configuration, CA bundle (PIP_CERT) and pip
# settings are carried in, so pip reaches the same package indexes as outside.
# Mounts are made in a private mount namespace where possible and are undone
# on exit either way.
#
# Environment, with NAME upper-cased and "-" made "_" (LUMETRA_SID_ROOT,
# LUMETRA_SID_ARM64_MIRROR, ...):
#   LUMETRA_<NAME>_ROOT    where the root lives (default ~/.cache/lumetra-NAME,
#                          under XDG_CACHE_HOME if set); 800 MB to 1 GB
#   LUMETRA_<NAME>_MIRROR  Debian mirror to use (default: the first Debian
#                          mirror in this machine's apt sources that serves the
#                          release for the root's architecture)
#   LUMETRA_<NAME>_REFRESH=1 remakes the root even if it is complete
#   LUMETRA_ROOT_SHARE     directories of this machine, separated by ":", made
#                          visible read-write at the same path inside (a
#                          compiler and its cache shared with builds outside)
#
# Needs root privileges (debootstrap, mount, chroot). If the root cannot be
# made or run, the script fails and says why; it never falls back to anything
# else.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
self="$repo/tools/debian-root.sh"
inner=/srv/lumetra

die() {
    echo "debian-root${name:+ $name}: $*" >&2
    exit 1
}

name="${1:-}"
[ -n "$name" ] || {
    sed -n '2,14s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
shift

# Each root's release, architecture and packages: each interpreter with its
# headers (the arm64 wheels are built against them) and venv. _testcapi, which
# drives the allocation-failure tests, comes with the interpreter's standard
# library. The sid root also holds the interpreters' own test suites; the
# arm64 roots leave them out, since under emulation their set-up
# byte-compiles thousands of test files for half an hour.
host_arch="$(dpkg --print-architecture 2>/dev/null || true)"
testsuite=0
case "$name" in
sid)
    suite=sid arch="$host_arch" interpreters=(python3.14 python3.15) extra=(g++) testsuite=1
    ;;
sid-arm64)
    suite=sid arch=arm64 interpreters=(python3.13 python3.14 python3.15) extra=()
    ;;
bookworm-arm64)
    # python3.11-venv needs python3.11-distutils, which only python3-distutils
    # provides, and debootstrap does not follow such virtual packages.
    suite=bookworm arch=arm64 interpreters=(python3.11) extra=(python3-distutils)
    ;;
*) die "unknown root '$name' (sid, sid-arm64 or bookworm-arm64)" ;;
esac
[ -n "$arch" ] || die "cannot tell this machine's Debian architecture (dpkg --print-architecture)"
packages=()
for py in "${interpreters[@]}"; do
    packages+=("$py" "$py-dev" "$py-venv")
    [ "$testsuite" = 0 ] || packages+=("lib$py-testsuite")
done
packages+=("${extra[@]}" ca-certificates)

var="LUMETRA_$(tr 'a-z-' 'A-Z_' <<<"$name")"
root_var="${var}_ROOT" mirror_var="${var}_MIRROR" refresh_var="${var}_REFRESH"
root="${!root_var:-${XDG_CACHE_HOME:-$HOME/.cache}/lumetra-$name}"
stamp="$root/.lumetra-$name-complete"

[ "$(id -u)" = 0 ] || die "needs root privileges (debootstrap, mount and chroot)"

source "$repo/tools/debian-mirrors.sh"

# Prints the first mirror that serves the root's release for its architecture.
find_mirror() {
    if [ -n "${!mirror_var:-}" ]; then
        echo "${!mirror_var}"
        return
    fi
    local uri release tried=()
    while read -r uri; do
        case "$uri" in http://* | https://* | ftp://*) ;; *) continue ;; esac
        uri="${uri%/}"
        tried+=("$uri")
        if release="$(wget -q -T 20 -t 2 -O - "$uri/dists/$suite/Release")" &&
            grep -q "^Architectures:.* $arch\( \|\$\)" <<<"$release"; then
            echo "$uri"
            return
        fi
    done < <(apt_mirrors | awk '!seen[$0]++')
    if [ ${#tried[@]} = 0 ]; then
        die "no Debian mirror found in /etc/apt/sources.list or /etc/apt/sources.list.d; set $mirror_var"
    fi
    die "no mirror answered for Debian $suite on $arch; tried: ${tried[*]}; set $mirror_var"
}

# A root of another architecture runs under qemu-user through binfmt_misc.
# The handler must carry the F flag: the kernel then opens the emulator when
# it is registered, so programs inside the root find it without a copy there.
# True when the root's programs run here: natively, or through an enabled
# aarch64 handler with the F flag.
emulation_ready() {
    [ "$arch" = "$host_arch" ] && return 0
    local handler=/proc/sys/fs/binfmt_misc/qemu-aarch64
    grep -qx enabled "$handler" 2>/dev/null && grep -q '^flags:.*F' "$handler"
}

ensure_emulation() {
    [ "$arch" != "$host_arch" ] || return 0
    [ "$arch" = arm64 ] || die "no emulator known for $arch"
    local handler=/proc/sys/fs/binfmt_misc/qemu-aarch64
    if [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
            [ -e /proc/sys/fs/binfmt_misc/status ] ||
            die "cannot mount binfmt_misc on /proc/sys/fs/binfmt_misc (needed to run $arch programs)"
    fi
    if ! command -v qemu-aarch64-static >/dev/null || ! command -v update-binfmts >/dev/null; then
        apt_install qemu-user-static binfmt-support
    fi
    if ! grep -qx enabled "$handler" 2>/dev/null; then
        update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
    fi
    grep -qx enabled "$handler" 2>/dev/null ||
        die "no enabled aarch64 handler in binfmt_misc (update-binfmts --enable qemu-aarch64 failed)"
    grep -q '^flags:.*F' "$handler" ||
        die "the aarch64 handler in binfmt_misc lacks the F flag, so the emulator is not found inside the root"
}

# Fails if anything is mounted at or below $1 (a removal would reach into it).
refuse_if_mounted() {
    if awk -v p="$1" '$5 == p || index($5, p "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
        die "$1 still has file systems mounted below it; unmount them first"
    fi
}

make_root() {
    command -v debootstrap >/dev/null && command -v wget >/dev/null || apt_install debootstrap wget
    local mirror
    mirror="$(find_mirror)"
    local tmp="$root.new"
    refuse_if_mounted "$tmp"
    rm -rf "$tmp"
    mkdir -p "$(dirname "$root")"
    echo "debian-root: making $root: Debian $suite for $arch from $mirror" \
        "($([ "$arch" = "$host_arch" ] && echo "about a minute" || echo "several minutes under emulation"))" >&2
    local include
    include="$(
        IFS=,
        echo "${packages[*]}"
    )"
    if ! debootstrap --arch="$arch" --variant=minbase --include="$include" "$suite" "$tmp" "$mirror" >"$tmp.log" 2>&1; then
        tail -n 20 "$tmp.log" >&2
        die "debootstrap of $suite for $arch from $mirror failed (full log: $tmp.log)"
    fi
    local py
    for py in "${interpreters[@]}"; do
        chroot "$tmp" "$py" -c 'import _testcapi, ensurepip, venv' ||
            die "$py in the new root lacks _testcapi, ensurepip or venv"
    done
    chroot "$tmp" apt-get clean
    printf '%s\n' "${packages[@]}" >"$tmp/${stamp##*/}"
    refuse_if_mounted "$root"
    rm -rf "$root"
    mv "$tmp" "$root"
    rm -f "$tmp.log"
}

root_is_complete() {
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$(printf '%s\n' "${packages[@]}")" ]
}

# Making the root (or setting up the emulator) excludes every other use of
# it; uses share it, so that two wheels tested in one root run side by side.
# flock converts the shared lock to the exclusive one and back.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock -s 9
if [ -z "${LUMETRA_ROOT_IN_NAMESPACE:-}" ] &&
    { [ "${!refresh_var:-0}" = 1 ] || ! root_is_complete || ! emulation_ready; }; then
    flock -x 9
    ensure_emulation
    if [ "${!refresh_var:-0}" = 1 ] || ! root_is_complete; then
        make_root
    fi
    flock -s 9
fi
root_is_complete || die "$root is incomplete"

if [ $# = 0 ]; then
    echo "$root"
    exit 0
fi

# Mounts live in a private mount namespace when the system allows one, so
# nothing outlives this process even if it is killed; the trap below undoes
# them in any case.
if [ -z "${LUMETRA_ROOT_IN_NAMESPACE:-}" ] && unshare --mount --propagation private true 2>/dev/null; then
    export LUMETRA_ROOT_IN_NAMESPACE=1
    exec 9>&-
    exec unshare --mount --propagation private "$self" "$name" "$@"
fi

mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" ||
            echo "debian-root: could not unmount ${mounted[i]}" >&2
    done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Fails unless $root$1 resolves inside the root: a symbolic link in the root
# with an absolute target would otherwise lead a copy or mount onto the
# machine's own file system.
inside() {
    mkdir -p "$(dirname "$root$1")"
    case "$(realpath -m "$root$1")" in
    "$(realpath "$root")"/*) ;;
    *) die "$1 inside the root leads outside it" ;;
    esac
}

# mount_at TARGET MOUNT-ARGS...: mounts at $root/TARGET and records it.
mount_at() {
    local target="$root$1"
    shift
    inside "${target#"$root"}"
    mkdir -p "$target"
    mount "$@" "$target"
    mounted+=("$target")
}
bind_ro() {
    mount_at "$2" --bind "$1"
    mount -o remount,bind,ro "$root$2"
}

mount_at /proc -t proc proc
bind_ro /sys /sys
mount_at /dev --bind /dev
mount_at /dev/pts --bind /dev/pts
mount_at /dev/shm -t tmpfs -o mode=1777,nosuid,nodev tmpfs
mount_at "$inner" --bind "$repo"
# Directories shared with builds outside, at the same path inside.
IFS=: read -r -a shared <<<"${LUMETRA_ROOT_SHARE:-}"
for d in "${shared[@]}"; do
    [ -n "$d" ] || continue
    case "$d" in /*) ;; *) die "LUMETRA_ROOT_SHARE: $d is not an absolute path" ;; esac
    [ -d "$d" ] || die "LUMETRA_ROOT_SHARE: no directory $d"
    mount_at "$d" --bind "$d"
done

# The machine's resolver, CA bundle and pip settings, refreshed on every run.
rm -f "$root/etc/resolv.conf"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
host_ca=""
for candidate in "${PIP_CERT:-}" "${SSL_CERT_FILE:-}" /etc/ssl/certs/ca-certificates.crt /etc/pki/tls/certs/ca-bundle.crt; do
    if [ -n "$candidate" ] && [ -f "$candidate" ]; then
        host_ca="$candidate"
        break
    fi
done
[ -n "$host_ca" ] || die "no CA certificate bundle found on this machine (set PIP_CERT)"
inside /etc/from-host/ca-bundle.crt
cp -L "$host_ca" "$root/etc/from-host/ca-bundle.crt"

# pip's own view of its settings (configuration files and PIP_* variables):
# file settings go into the root's pip.conf, variables into its environment,
# and local paths they name (file:// indexes, find-links, constraints) are
# made visible at the same place inside, directories read-only.
host_python="$(command -v python3 || true)"
pip_env=()
: >"$root/etc/from-host/pip.conf"
if [ -n "$host_python" ] && "$host_python" -m pip --version >/dev/null 2>&1; then
    while IFS=$'\t' read -r kind a b; do
        case "$kind" in
        env) pip_env+=("$a=$b") ;;
        dir) bind_ro "$a" "$a" ;;
        copy)
            inside "$a"
            rm -f "$root$a"
            cp -L "$a" "$root$a"
            ;;
        esac
    done < <("$host_python" -m pip config list 2>/dev/null | "$host_python" -c '
import ast, configparser, os, re, sys
conf = configparser.RawConfigParser()
conf.optionxform = str
paths = set()
for line in sys.stdin:
    m = re.match(r"^([^.=]+)\.([^=]+)=(.*)$", line.strip())
    if not m:
        continue
    section, key, value = m[1], m[2], ast.literal_eval(m[3])
    if key == "cert":
        continue  # PIP_CERT points at the copied bundle
    for token in value.split():
        path = token[len("file://"):] if token.startswith("file://") else token
        if not (path.startswith("/") and os.path.exists(path)):
            continue
        if key.endswith("index-url"):
            # The package files of a local index often lie next to its pages.
            path = os.path.dirname(path.rstrip("/"))
        paths.add(os.path.realpath(path) if os.path.isfile(path) else path)
    if section == ":env:":
        print("env", "PIP_" + key.upper().replace("-", "_"), value, sep="\t")
    else:
        if not conf.has_section(section):
            conf.add_section(section)
        conf[section][key] = value
for path in sorted(paths):
    print("dir" if os.path.isdir(path) else "copy", path, "", sep="\t")
with open(sys.argv[1], "w") as f:
    conf.write(f)
' "$root/etc/from-host/pip.conf")
fi

passed=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8)
passed+=("${pip_env[@]}" PIP_CONFIG_FILE=/etc/from-host/pip.conf PIP_CERT=/etc/from-host/ca-bundle.crt)
while IFS='=' read -r name _; do
    case "$name" in
    LUMETRA_*_ROOT | LUMETRA_*_MIRROR | LUMETRA_*_REFRESH | LUMETRA_ROOT_IN_NAMESPACE | LUMETRA_ROOT_SHARE | PIP_CERT | PIP_CONFIG_FILE) ;;
    LUMETRA_* | SKBUILD_* | CMAKE_BUILD_PARALLEL_LEVEL | PYTEST_ADDOPTS | TERM | http_proxy | https_proxy | no_proxy | HTTP_PROXY | HTTPS_PROXY | NO_PROXY)
        passed+=("$name=${!name}")
        ;;
    esac
done < <(env)

status=0
chroot "$root" /usr/bin/env -i "${passed[@]}" /bin/bash -c 'cd "$0" && exec "$@"' "$inner" "$@" || status=$?
exit "$status"
