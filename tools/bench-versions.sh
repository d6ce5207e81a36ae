#!/usr/bin/env bash
# Times the tour's headline rows on every supported interpreter in one sitting
# and writes them as one table, a column per version, into the README's
# Performance section. For 3.11, 3.12 and 3.13 (found on this machine, see
# tools/find-python.sh), the free-threaded 3.13t (built from source, see
# tools/source-python.sh) and python3.14 and python3.15 (inside the Debian
# root, see tools/sid-root.sh), one after another, never side by side: a wheel is
# built from the source tree and installed with the bench extra into a fresh
# virtual environment outside the tree, and `bench/run.py --headline --json`
# runs against it. `bench/run.py --merge` then makes the table.
#
#   tools/bench-versions.sh [--quick] [--builds LIST]
#
# --quick times few repeats, to check the whole run: the table is printed
# and the README left alone. --builds names the compilers to build with,
# separated by commas: zig (the release wheels' compiler, the default; see
# tools/zig-toolchain.sh) and gcc (the system's). With both, each interpreter
# times one build right after the other, the table has a column per version
# and build, and the README is left alone. Each interpreter's results stay in
# build/bench-versions/ as JSON, with the table as table.md. Needs root
# privileges (the Debian root).
#
#   tools/bench-versions.sh one PYTHON JSON BUILD [bench/run.py arguments...]
#
# (one step of the above) builds, installs and times on one interpreter.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"

usage() {
    sed -n '2,25s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

if [ "${1:-}" = one ]; then
    [ $# -ge 4 ] || usage
    want="$2" json="$3" build="$4"
    shift 4
    source tools/installed-venv.sh
    case "$build" in
    gcc) installed_venv "$want" bench ;;
    zig) installed_venv "$want" bench zig ;;
    *) usage ;;
    esac
    "$py" bench/run.py --headline --json "$json" --build "$build" "$@"
    exit 0
fi

run_args=()
readme=(--readme README.md)
builds=(zig)
while [ $# -gt 0 ]; do
    case "$1" in
    --quick)
        run_args=(--quick)
        readme=()
        ;;
    --builds)
        [ $# -ge 2 ] || usage
        IFS=, read -r -a builds <<<"$2"
        shift
        ;;
    *) usage ;;
    esac
    shift
done
for b in "${builds[@]}"; do
    case "$b" in gcc | zig) ;; *) usage ;; esac
done
[ ${#builds[@]} = 1 ] || readme=()
# One zig installation and cache serve the builds here and in the Debian root.
export LUMETRA_ZIG_HOME="${LUMETRA_ZIG_HOME:-${XDG_CACHE_HOME:-$HOME/.cache}/lumetra-zig}"
export LUMETRA_ROOT_SHARE="$LUMETRA_ZIG_HOME"
mkdir -p "$LUMETRA_ZIG_HOME"

host_versions=(3.11 3.12 3.13)
sid_interpreters=(python3.14 python3.15)
# The free-threaded interpreter, built from source once (tools/source-python.sh).
ft_python=""
out=build/bench-versions

# Everything that could fail early, or take long for reasons other than the
# benchmark, comes first: the interpreters are found and the Debian root is
# made or checked before anything is timed.
merge_python="$(tools/find-python.sh "${host_versions[0]}")"
for v in "${host_versions[@]}"; do
    tools/find-python.sh "$v" >/dev/null
done
tools/sid-root.sh >/dev/null
ft_python="$(tools/source-python.sh ft)"

rm -rf "$out"
mkdir -p "$out"
times=()
for v in "${host_versions[@]}"; do
    for b in "${builds[@]}"; do
        t=$SECONDS
        tools/bench-versions.sh one "$v" "$out/$v-$b.json" "$b" "${run_args[@]}"
        times+=("$v $b: $((SECONDS - t)) s")
    done
done
for b in "${builds[@]}"; do
    t=$SECONDS
    tools/bench-versions.sh one "$ft_python" "$out/3.13t-$b.json" "$b" "${run_args[@]}"
    times+=("3.13t $b: $((SECONDS - t)) s")
done
for p in "${sid_interpreters[@]}"; do
    for b in "${builds[@]}"; do
        t=$SECONDS
        tools/sid-root.sh tools/bench-versions.sh one "$p" "$out/${p#python}-$b.json" "$b" "${run_args[@]}"
        times+=("${p#python} $b: $((SECONDS - t)) s")
    done
done

"$merge_python" bench/run.py --merge "$out"/*.json --markdown "$out/table.md" "${readme[@]}"
echo "bench-versions: build, install and timing per interpreter: ${times[*]}"
