# Sourced by tools/build-release.sh and tools/release-tests.sh: the wheels a
# release holds and where the interpreter of each one lives.
#
#   release_targets              "VERSION ARCH [KIND]" per wheel, one per line;
#                                KIND is ft (free-threaded, ABI tag t) or musl
#                                (musllinux); without it, glibc's default build
#   interpreter_of VERSION ARCH [KIND]
#                                sets `root` (a tools/debian-root.sh root, or
#                                empty for this machine) and `python` (the
#                                interpreter there: a version or a command, as
#                                tools/find-python.sh takes it); the ft and musl
#                                interpreters are built from source the first
#                                time (tools/source-python.sh)
#   run_in ROOT COMMAND [ARG...] runs COMMAND on this machine (ROOT empty) or
#                                inside that root, from the repository root
#   emulated_full                the version whose aarch64 wheel runs the whole
#                                suite under emulation
#   emulated_subset              the test files the other aarch64 wheels run
#
# No wheel is made for 3.12 on aarch64: no Debian release carries 3.12 for
# arm64, so there is no interpreter here to test it on. The free-threaded
# wheel is made for 3.13 on x86-64; the musllinux wheels for every version
# whose source tools/source-python.sh can have (asked of the mirror each
# time; 3.13 at least) on x86-64. No ft or musl interpreter is built for
# aarch64 (README: Release).
musl_least=3.13

release_targets() {
    local musl v
    musl="$("$(dirname "${BASH_SOURCE[0]}")/source-python.sh" musl --versions)" || return 1
    grep -qx "$musl_least" <<<"$musl" || {
        echo "release-targets: no source of Python $musl_least for the musl interpreter (only: $musl)" >&2
        return 1
    }
    printf '%s\n' "3.11 x86_64" "3.12 x86_64" "3.13 x86_64" "3.14 x86_64" "3.15 x86_64" \
        "3.11 aarch64" "3.13 aarch64" "3.14 aarch64" "3.15 aarch64" "3.13 x86_64 ft"
    for v in $musl; do
        echo "$v x86_64 musl"
    done
}

interpreter_of() {
    case "$2 $1 ${3:-}" in
    "x86_64 3.11 " | "x86_64 3.12 " | "x86_64 3.13 ") root="" python="$1" ;;
    "x86_64 3.14 " | "x86_64 3.15 ") root=sid python="python$1" ;;
    "aarch64 3.11 ") root=bookworm-arm64 python=python3.11 ;;
    "aarch64 3.13 " | "aarch64 3.14 " | "aarch64 3.15 ") root=sid-arm64 python="python$1" ;;
    "x86_64 3.13 ft" | "x86_64 "*" musl")
        root=""
        python="$("$(dirname "${BASH_SOURCE[0]}")/source-python.sh" "$3" "$1")" || return 1
        ;;
    *)
        echo "no interpreter known for $1${3:+ ($3)} on $2" >&2
        return 1
        ;;
    esac
}

run_in() {
    local where="$1"
    shift
    if [ -z "$where" ]; then
        "$@"
    else
        "$(dirname "${BASH_SOURCE[0]}")/debian-root.sh" "$where" "$@"
    fi
}

# Under qemu-user the suite runs many times slower than natively, so one
# aarch64 wheel runs all of it and the others a part that still reaches every
# module (the README's examples), both lock routes and the version-dependent
# paths (test_versions), the allocation-failure paths, threads contending for
# every lock-based type, and sub-interpreters.
emulated_full=3.13
emulated_subset=(
    tests/test_readme.py
    tests/test_versions.py
    tests/test_reliability_nomemory.py
    tests/test_reliability_threads.py
    tests/test_subinterpreters.py
)
