#!/usr/bin/env bash
# Builds the extension modules with ThreadSanitizer into their own virtual
# environment of the free-threaded ThreadSanitizer interpreter
# (tools/source-python.sh ft-tsan, built by the system's gcc) and runs the
# tests that drive the modules from several threads against them
# (tests/test_reliability_threads.py and the tests of the other files that
# start threads), with the GIL off.
#
#   tools/thread-sanitized-tests.sh [pytest arguments...]
#
# The modules are compiled by the same gcc with -fsanitize=thread, so that
# they share the interpreter's ThreadSanitizer runtime; pip runs in the plain
# free-threaded interpreter (tools/source-python.sh ft, built if missing). Any report fails the
# run (the interpreter exits with status 66), unless it is one of the
# interpreter's own known races listed in tools/tsan-suppressions.txt, each
# with its reason; no race at an access in a lumetra frame is ever suppressed.
#
# TSAN_VENV chooses the environment (default: a fresh temporary one, removed
# when this script exits).
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"

die() {
    echo "thread-sanitized-tests: $*" >&2
    exit 1
}

python="$(tools/source-python.sh ft-tsan 3.13)" || die "no ThreadSanitizer interpreter (above)"
unset PYTHON_GIL

venv="${TSAN_VENV:-}"
if [ -z "$venv" ]; then
    venv_dir="$(mktemp -d)"
    venv="$venv_dir/venv"
fi
# Under ThreadSanitizer the interpreter runs some ten times slower, and pip
# with it (ensurepip alone takes many minutes): pip runs in the plain
# free-threaded interpreter of the same version and build (tools/source-python.sh
# ft), whose tags are the same (cp313t; an abi3 wheel does not load there), and
# installs into this environment's site-packages. Wheels only: hypothesis's
# newest releases need a Rust toolchain for 3.13t.
py="$venv/bin/python"
if [ ! -x "$py" ]; then
    "$python" -m venv --without-pip "$venv"
fi
read -r version site include < <("$py" -c '
import sys, sysconfig
print("%d.%d" % sys.version_info[:2], sysconfig.get_path("purelib"), sysconfig.get_path("include"))')
ft="$(tools/source-python.sh ft "$version")" || die "no free-threaded interpreter to run pip (above)"
pip=(env PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1 "$ft" -m pip)
"${pip[@]}" install --quiet --upgrade --target "$site" --only-binary=:all: pytest hypothesis ||
    die "could not install pytest and hypothesis for $version free-threaded"

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
# Compiled by the gcc that built the interpreter, against the sanitized
# interpreter's headers. The extension modules are MODULE libraries: CMake
# links them with the module linker flags.
flags="-fsanitize=thread -fno-omit-frame-pointer"
wheels="$(mktemp -d)"
CXX="${CXX:-g++}" "${pip[@]}" wheel --quiet --no-deps --wheel-dir "$wheels" \
    -C build-dir=build/thread-sanitize \
    -C cmake.build-type=RelWithDebInfo \
    -C "cmake.define.Python_INCLUDE_DIR=$include" \
    -C "cmake.define.CMAKE_CXX_FLAGS=$flags" \
    -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread" \
    -C cmake.define.LUMETRA_WERROR=ON .
"${pip[@]}" install --quiet --upgrade --no-deps --target "$site" "$wheels"/lumetra-*.whl
rm -rf "$wheels"

# The tests that run threads: all of tests/test_reliability_threads.py, and in
# the other files that use `threading`, each test whose own code, a function
# of its file that it calls or a module-level value it names (the code of a
# child interpreter) starts threads (threading.Thread, a ThreadPoolExecutor,
# or run_threads from conftest.py). Under ThreadSanitizer the rest of those
# files would only add time.
mapfile -t selected < <(python3 - $(grep -lw threading tests/test_*.py) <<'EOF'
import ast, sys

def starts_threads(node):
    text = ast.unparse(node)
    return any(s in text for s in ("Thread(", "ThreadPoolExecutor(", "run_threads("))

for path in sys.argv[1:]:
    tree = ast.parse(open(path).read())
    helpers = {n.name for n in tree.body
               if isinstance(n, ast.FunctionDef) and not n.name.startswith("test_")
               and starts_threads(n)}
    helpers |= {t.id for n in tree.body if isinstance(n, ast.Assign) and starts_threads(n.value)
                for t in n.targets if isinstance(t, ast.Name)}
    whole = path.endswith("/test_reliability_threads.py")
    for n in tree.body:
        tests = [(n.name, n)] if isinstance(n, ast.FunctionDef) else []
        if isinstance(n, ast.ClassDef) and n.name.startswith("Test"):
            tests = [(f"{n.name}::{m.name}", m) for m in n.body if isinstance(m, ast.FunctionDef)]
        for name, fn in tests:
            if not name.split("::")[-1].startswith("test_"):
                continue
            called = {c.id for c in ast.walk(fn) if isinstance(c, ast.Name)}
            if whole or starts_threads(fn) or called & helpers:
                print(f"{path.removeprefix('tests/')}::{name}")
EOF
)
[ ${#selected[@]} -gt 0 ] || die "no test starts a thread"
echo "thread-sanitized-tests: ${#selected[@]} tests that start threads"

# halt_on_error stops at the first report with its stacks; second_deadlock_stack
# shows both acquisitions of a lock-order inversion. Reports go to files of
# their own (pytest holds the test's standard error, which a halted process
# never hands back), from the test process and every child interpreter, and
# are printed at the end; any report fails the run.
reports="$(mktemp -d)"
trap 'rm -rf "${venv_dir:-}" "$reports"' EXIT
export TSAN_OPTIONS="suppressions=$repo/tools/tsan-suppressions.txt halt_on_error=1 second_deadlock_stack=1 log_path=$reports/report"
# ThreadSanitizer slows the interpreter some ten times: time-outs for child
# interpreters are stretched, and the repetition-heavy tests (generated
# examples, leak checks) run a tenth of their repetitions, as under
# emulation; every test still runs.
export LUMETRA_TEST_TIMEOUT_SCALE=10 LUMETRA_TEST_EFFORT=0.1
cd tests
status=0
"$py" -m pytest -q -p no:cacheprovider "${selected[@]}" "$@" || status=$?
if compgen -G "$reports/report*" >/dev/null; then
    cat "$reports"/report* >&2
    die "ThreadSanitizer reported (above); pytest's status was $status"
fi
exit "$status"
