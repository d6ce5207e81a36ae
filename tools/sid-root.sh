#!/usr/bin/env bash
# A Debian unstable ("sid") root file system holding the interpreters the
# machine itself lacks (python3.14, python3.15, with their headers, venv and
# test modules, and g++), made with debootstrap and reused while complete.
#
#   tools/sid-root.sh                 make the root (or check it) and print its path
#   tools/sid-root.sh COMMAND [ARG...] run COMMAND inside it, from the repository root
#
# Inside, the repository is bind-mounted read-write at /srv/lumetra (the
# working directory), /proc, /sys, /dev and a private /dev/shm are mounted,
# and the machine's DNS resolver configuration, CA bundle (PIP_CERT) and pip
# settings are carried in, so pip reaches the same package indexes as outside.
# Mounts are made in a private mount namespace where possible and are undone
# on exit either way.
#
# Environment:
#   LUMETRA_SID_ROOT    where the root lives (default ~/.cache/lumetra-sid,
#                       under XDG_CACHE_HOME if set); about 800 MB
#   LUMETRA_SID_MIRROR  Debian mirror to use (default: the first Debian
#                       mirror in this machine's apt sources that serves sid)
#   LUMETRA_SID_REFRESH=1 remakes the root even if it is complete
#
# Needs root privileges (debootstrap, mount, chroot). If the root cannot be
# made, the script fails and says why; it never falls back to anything else.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
self="$repo/tools/$(basename "$0")"
root="${LUMETRA_SID_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/lumetra-sid}"
# What the test suite needs on 3.14 and 3.15: the interpreter, its headers and
# venv, and the test-support modules (_testcapi drives the allocation-failure
# tests, which would otherwise be skipped).
packages=(
    python3.14 python3.14-dev python3.14-venv libpython3.14-testsuite
    python3.15 python3.15-dev python3.15-venv libpython3.15-testsuite
    g++ ca-certificates
)
interpreters=(python3.14 python3.15)
stamp="$root/.lumetra-sid-complete"
inner=/srv/lumetra

die() {
    echo "sid-root: $*" >&2
    exit 1
}

[ "$(id -u)" = 0 ] || die "needs root privileges (debootstrap, mount and chroot)"

# Mirrors from this machine's apt sources (deb822 .sources files and one-line
# lists) that carry a plain release, not only "-security" or "-updates"
# suites: one URI per line.
apt_mirrors() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            function flush() {
                # Keep stanzas that carry a plain release (no "-security" and the like).
                plain = 0
                m = split(suites, s, " ")
                for (i = 1; i <= m; i++) if (s[i] !~ /-/) plain = 1
                n = (types ~ /(^| )deb( |$)/ && enabled != "no" && plain) ? split(uris, u, " ") : 0
                for (i = 1; i <= n; i++) print u[i]
                types = uris = suites = enabled = ""
            }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ /, "") }
            key == "types" { types = $0 } key == "uris" { uris = $0 }
            key == "suites" { suites = $0 } key == "enabled" { enabled = tolower($0) }
            END { flush() }
        ' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        # deb [options] uri suite components...
        sed -n 's/^[ \t]*deb[ \t]\+\(\[[^]]*\][ \t]\+\)\?\([^ \t]\+\)[ \t]\+\([^ \t]\+\).*/\2 \3/p' "$f" |
            awk '$2 !~ /-/ { print $1 }'
    done
}

# Prints the first mirror that answers for sid.
find_mirror() {
    if [ -n "${LUMETRA_SID_MIRROR:-}" ]; then
        echo "$LUMETRA_SID_MIRROR"
        return
    fi
    local uri tried=()
    while read -r uri; do
        case "$uri" in http://* | https://* | ftp://*) ;; *) continue ;; esac
        uri="${uri%/}"
        tried+=("$uri")
        if wget -q -T 20 -t 2 -O /dev/null "$uri/dists/sid/Release"; then
            echo "$uri"
            return
        fi
    done < <(apt_mirrors | awk '!seen[$0]++')
    if [ ${#tried[@]} = 0 ]; then
        die "no Debian mirror found in /etc/apt/sources.list or /etc/apt/sources.list.d; set LUMETRA_SID_MIRROR"
    fi
    die "no mirror answered for Debian unstable (sid); tried: ${tried[*]}; set LUMETRA_SID_MIRROR"
}

# Fails if anything is mounted at or below $1 (a removal would reach into it).
refuse_if_mounted() {
    if awk -v p="$1" '$5 == p || index($5, p "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
        die "$1 still has file systems mounted below it; unmount them first"
    fi
}

make_root() {
    command -v debootstrap >/dev/null || {
        command -v apt-get >/dev/null || die "debootstrap is not installed and apt-get is not available"
        echo "sid-root: installing debootstrap" >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap wget >/dev/null 2>&1 || {
            apt-get update -qq
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap wget >/dev/null
        } || die "could not install debootstrap"
    }
    local mirror
    mirror="$(find_mirror)"
    local tmp="$root.new"
    refuse_if_mounted "$tmp"
    rm -rf "$tmp"
    mkdir -p "$(dirname "$root")"
    echo "sid-root: making $root from $mirror (about a minute)" >&2
    local include
    include="$(
        IFS=,
        echo "${packages[*]}"
    )"
    if ! debootstrap --variant=minbase --include="$include" sid "$tmp" "$mirror" >"$tmp.log" 2>&1; then
        tail -n 20 "$tmp.log" >&2
        die "debootstrap of sid from $mirror failed (full log: $tmp.log)"
    fi
    local py
    for py in "${interpreters[@]}"; do
        chroot "$tmp" "$py" -c 'import _testcapi, ensurepip, venv' ||
            die "$py in the new root lacks _testcapi, ensurepip or venv"
    done
    chroot "$tmp" apt-get clean
    printf '%s\n' "${packages[@]}" >"$tmp/.lumetra-sid-complete"
    refuse_if_mounted "$root"
    rm -rf "$root"
    mv "$tmp" "$root"
    rm -f "$tmp.log"
}

root_is_complete() {
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$(printf '%s\n' "${packages[@]}")" ]
}

# Making the root excludes every other use of it; uses share it.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
if [ -z "${LUMETRA_SID_IN_NAMESPACE:-}" ]; then
    flock -x 9
    if [ "${LUMETRA_SID_REFRESH:-0}" = 1 ] || ! root_is_complete; then
        make_root
    fi
fi
flock -s 9
root_is_complete || die "$root is incomplete"

if [ $# = 0 ]; then
    echo "$root"
    exit 0
fi

# Mounts live in a private mount namespace when the system allows one, so
# nothing outlives this process even if it is killed; the trap below undoes
# them in any case.
if [ -z "${LUMETRA_SID_IN_NAMESPACE:-}" ] && unshare --mount --propagation private true 2>/dev/null; then
    export LUMETRA_SID_IN_NAMESPACE=1
    exec 9>&-
    exec unshare --mount --propagation private "$self" "$@"
fi

mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" ||
            echo "sid-root: could not unmount ${mounted[i]}" >&2
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
    LUMETRA_SID_* | PIP_CERT | PIP_CONFIG_FILE) ;;
    LUMETRA_* | SKBUILD_* | CMAKE_BUILD_PARALLEL_LEVEL | PYTEST_ADDOPTS | TERM | http_proxy | https_proxy | no_proxy | HTTP_PROXY | HTTPS_PROXY | NO_PROXY)
        passed+=("$name=${!name}")
        ;;
    esac
done < <(env)

status=0
chroot "$root" /usr/bin/env -i "${passed[@]}" /bin/bash -c 'cd "$0" && exec "$@"' "$inner" "$@" || status=$?
exit "$status"
