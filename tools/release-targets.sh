# Sourced by tools/build-release.sh and tools/release-tests.sh: the wheels a
# release holds and where the interpreter of each one lives.
#
#   release_targets              "VERSION ARCH" per wheel, one per line
#   interpreter_of VERSION ARCH  sets `root` (a tools/debian-root.sh root, or
#                                empty for this machine) and `python` (the
#                                interpreter there: a version or a command, as
#                                tools/find-python.sh takes it)
#   run_in ROOT COMMAND [ARG...] runs COMMAND on this machine (ROOT empty) or
#                                inside that root, from the repository root
#   emulated_full                the version whose aarch64 wheel runs the whole
#                                suite under emulation
#   emulated_subset              the test files the other aarch64 wheels run
#
# No wheel is made for 3.12 on aarch64: no Debian release carries 3.12 for
# arm64, so there is no interpreter here to test it on.

release_targets() {
    printf '%s\n' "3.11 x86_64" "3.12 x86_64" "3.13 x86_64" "3.14 x86_64" "3.15 x86_64" \
        "3.11 aarch64" "3.13 aarch64" "3.14 aarch64" "3.15 aarch64"
}

interpreter_of() {
    case "$2 $1" in
    "x86_64 3.11" | "x86_64 3.12" | "x86_64 3.13") root="" python="$1" ;;
    "x86_64 3.14" | "x86_64 3.15") root=sid python="python$1" ;;
    "aarch64 3.11") root=bookworm-arm64 python=python3.11 ;;
    "aarch64 3.13" | "aarch64 3.14" | "aarch64 3.15") root=sid-arm64 python="python$1" ;;
    *)
        echo "no interpreter known for $1 on $2" >&2
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
