#!/usr/bin/env bash
# Times the tour's headline rows on every supported interpreter in one sitting
# and writes them as one table, a column per version, into the README's
# Performance section. For 3.11, 3.12 and 3.13 (found on this machine, see
# tools/find-python.sh) and python3.14 and python3.15 (inside the Debian root,
# see tools/sid-root.sh), one after another, never side by side: a wheel is
# built from the source tree and installed with the bench extra into a fresh
# virtual environment outside the tree, and `bench/run.py --headline --json`
# runs against it. `bench/run.py --merge` then makes the table.
#
#   tools/bench-versions.sh [--quick]
#
# --quick times few repeats, to check the whole run: the table is printed
# and the README left alone. Each interpreter's results stay in
# build/bench-versions/ as JSON, with the table as table.md. Needs root
# privileges (the Debian root).
#
#   tools/bench-versions.sh one PYTHON JSON [bench/run.py arguments...]
#
# (one step of the above) builds, installs and times on one interpreter.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"

usage() {
    sed -n '2,20s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

if [ "${1:-}" = one ]; then
    [ $# -ge 3 ] || usage
    want="$2" json="$3"
    shift 3
    source tools/installed-venv.sh
    installed_venv "$want" bench
    "$py" bench/run.py --headline --json "$json" "$@"
    exit 0
fi

run_args=()
readme=(--readme README.md)
case "${1:-}" in
--quick)
    run_args=(--quick)
    readme=()
    ;;
"") ;;
*) usage ;;
esac

host_versions=(3.11 3.12 3.13)
sid_interpreters=(python3.14 python3.15)
out=build/bench-versions

# Everything that could fail early, or take long for reasons other than the
# benchmark, comes first: the interpreters are found and the Debian root is
# made or checked before anything is timed.
merge_python="$(tools/find-python.sh "${host_versions[0]}")"
for v in "${host_versions[@]}"; do
    tools/find-python.sh "$v" >/dev/null
done
tools/sid-root.sh >/dev/null

rm -rf "$out"
mkdir -p "$out"
times=()
for v in "${host_versions[@]}"; do
    t=$SECONDS
    tools/bench-versions.sh one "$v" "$out/$v.json" "${run_args[@]}"
    times+=("$v: $((SECONDS - t)) s")
done
for p in "${sid_interpreters[@]}"; do
    t=$SECONDS
    tools/sid-root.sh tools/bench-versions.sh one "$p" "$out/${p#python}.json" "${run_args[@]}"
    times+=("${p#python}: $((SECONDS - t)) s")
done

"$merge_python" bench/run.py --merge "$out"/*.json --markdown "$out/table.md" "${readme[@]}"
echo "bench-versions: build, install and timing per interpreter: ${times[*]}"
