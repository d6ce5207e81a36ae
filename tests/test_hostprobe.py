"""Host capability detection, each probe driven through substitutes."""

from __future__ import annotations

import collections
import enum
import os
import platform
import shutil
import sys
import time
import types
from typing import Any

import pytest

from lumetra.native import hostprobe

INITIAL: dict[str, object] = dict.fromkeys(["has_gpu", "gpu_count", "gpu_memory_mb"], 0)
INITIAL.update(has_gpu=False, cuda_available=False, rocm_available=False, oneapi_available=False)
INITIAL.update(active_backend="cpu", backend_version="")
TAIL = ["python_version", "subinterpreter_support", "platform", "detected_at", "detector"]
KEYS = ["physical_cores", "numa_nodes", *INITIAL, *TAIL, "detection_time_ms"]
FALLBACK_KEYS = [*KEYS[:-1], "error", "detection_time_ms"]
SLEEP = shutil.which("sleep")  # found before tests narrow PATH
Kind = enum.Enum("Kind", {"CUDA": "cuda", "ROCm": "rocm", "oneAPI": "oneapi", "CPU": "cpu"})
NS = types.SimpleNamespace
VersionInfo = collections.namedtuple("VersionInfo", "major minor micro")


def fake_os(exists=lambda path: False, cpu_count=lambda: 16, **attrs):
    return NS(path=NS(exists=exists), cpu_count=cpu_count, **attrs)


def fail(*args):
    raise OSError("probe failed")


@pytest.mark.parametrize(
    ("attrs", "expected"),
    [
        ({"sched_getaffinity": lambda pid: {0, 1}}, 2),  # restricted on a 16-core host
        ({"sched_getaffinity": lambda pid: set()}, 1),
        ({}, 16),
        ({"cpu_count": lambda: None}, 1),
        ({"sched_getaffinity": fail}, 16),
        ({"sched_getaffinity": fail, "cpu_count": lambda: 0}, 1),
        ({"sched_getaffinity": lambda pid: 5}, 16),  # len() fails
    ],
)
def test_physical_cores(monkeypatch, attrs, expected):
    monkeypatch.setattr(hostprobe, "os", fake_os(**attrs))
    assert hostprobe.detect_physical_cores() == expected


def test_physical_cores_follow_real_affinity(fresh_python):
    result = fresh_python(
        """
        import os
        from lumetra.native import hostprobe
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        print(hostprobe.detect_physical_cores())
        """
    )
    assert result.stdout.strip() == "1", result.stderr


@pytest.mark.parametrize(
    ("platform_name", "entries", "expected"),
    [
        ("linux", ["node0", "node1", "possible", "online", "has_cpu"], 2),
        ("linux", ["possible", "online"], 1),
        ("linux", ["nodeX", "node", "node1a", "mynode0", "node12"], 1),
        ("linux", None, 1),  # no directory
        ("linux", fail, 1),
        ("linux", [b"node0"], 1),  # str methods on bytes fail
        ("darwin", ["node0", "node1"], 1),
    ],
)
def test_numa_nodes(monkeypatch, platform_name, entries, expected):
    listdir = entries if callable(entries) else lambda path: entries
    os_ = fake_os(exists=lambda path: entries is not None, listdir=listdir)
    monkeypatch.setattr(hostprobe, "os", os_)
    monkeypatch.setattr(hostprobe, "sys", NS(platform=platform_name))
    assert hostprobe.detect_numa_nodes() == expected


@pytest.mark.parametrize(
    ("highest", "succeeds", "expected"),
    [(3, True, 4), (3, False, 1), (2**31 - 1, True, 1), (None, True, 1)],
)
def test_numa_nodes_windows(monkeypatch, highest, succeeds, expected):
    calls: dict[str, Any] = {}

    class Function:
        def __call__(self, ref):
            calls["function"] = self
            ref.value = highest
            return int(succeeds)

    def win_dll(name, use_last_error=False):
        calls["dll"] = (name, use_last_error)
        return NS(GetNumaHighestNodeNumber=Function())

    ctypes: Any = types.ModuleType("ctypes")
    ctypes.wintypes = NS(BOOL="BOOL")
    ctypes.c_ulong = lambda value: NS(value=value)
    ctypes.POINTER, ctypes.byref = (lambda t: ("POINTER", t)), (lambda obj: obj)
    if highest is not None:  # else the real ctypes, which has no WinDLL here
        ctypes.WinDLL = win_dll
        monkeypatch.setitem(sys.modules, "ctypes", ctypes)
    monkeypatch.setattr(hostprobe, "sys", NS(platform="win32"))
    assert hostprobe.detect_numa_nodes() == expected
    if highest is not None:
        assert calls["dll"] == ("kernel32", True)
        assert calls["function"].restype == "BOOL"
        assert calls["function"].argtypes == [("POINTER", ctypes.c_ulong)]


# --- GPU back-ends ----------------------------------------------------------------


@pytest.fixture
def path_dir(tmp_path, monkeypatch):
    """An empty directory as the whole PATH; `nvidia_smi` puts a script there."""
    monkeypatch.setenv("PATH", str(tmp_path))
    return tmp_path


def nvidia_smi(directory, body):
    script = directory / "nvidia-smi"
    script.write_text("#!/bin/sh\n" + body)
    script.chmod(0o755)


def install_registry(monkeypatch, backends, best, fail_best=False):
    def get_best_available():
        if fail_best:
            raise RuntimeError("registry broke")
        return NS(info=NS(kind=Kind[best], version="12.4"))

    registry = NS(detect_available_backends=lambda: backends, get_best_available=get_best_available)
    module: Any = types.ModuleType("lumetra.gpu.devreg")
    module.GPUDevreg, module.GPUBackendKind = registry, Kind
    monkeypatch.setitem(sys.modules, "lumetra.gpu.devreg", module)


@pytest.mark.usefixtures("path_dir")
@pytest.mark.parametrize(
    ("names", "best", "expected"),
    [
        (["CUDA", "CPU"], "CUDA", {"has_gpu": True, "gpu_count": 2, "gpu_memory_mb": 8181}),
        (["ROCm", "oneAPI"], "ROCm", {"has_gpu": True, "gpu_count": 2, "gpu_memory_mb": 8181}),
        (["oneAPI"], "CUDA", {"has_gpu": True}),  # best one not listed: no count or memory
        (["CPU"], "CPU", {}),
    ],
)
def test_backends_from_registry(monkeypatch, names, best, expected):
    install_registry(
        monkeypatch, {Kind[n]: NS(device_count=2, memory_gb=7.99) for n in names}, best
    )
    report = hostprobe.detect_gpu_backends()
    flags = {f"{n.lower()}_available": n in names for n in ("CUDA", "ROCm", "oneAPI")}
    assert report == {**INITIAL, **flags, **expected, "active_backend": Kind[best].value,
                      "backend_version": "12.4"}  # fmt: skip
    assert list(report) == list(INITIAL)


@pytest.mark.usefixtures("path_dir")
def test_registry_failure_keeps_earlier_values(monkeypatch):
    install_registry(monkeypatch, {Kind.CUDA: None}, "CUDA", fail_best=True)
    assert hostprobe.detect_gpu_backends() == {**INITIAL, "cuda_available": True}


@pytest.mark.parametrize(
    ("body", "expected"),
    [
        (None, {}),
        ('[ "$*" = "--query-gpu=name --format=csv,noheader" ] && printf "A\\n\\n \\nB\\n"', 2),
        ('printf "\\377GPU\\n"', 1),
        ("echo GPU; exit 3", {}),
        ("exit 0", {}),
        (f"exec {SLEEP} 3", {}),  # killed at the 0.5 s time-out
    ],
)
def test_nvidia_smi_fallback(monkeypatch, path_dir, body, expected):
    monkeypatch.setitem(sys.modules, "lumetra.gpu.devreg", None)
    if body is not None:
        nvidia_smi(path_dir, body)
    if isinstance(expected, int):
        expected = {"has_gpu": True, "gpu_count": expected}
    start = time.monotonic()
    assert hostprobe.detect_gpu_backends() == {**INITIAL, **expected}
    assert time.monotonic() - start < 2.5


def test_stand_in_registry(path_dir):
    from lumetra.gpu.devreg import GPUBackendKind, GPUDevreg

    assert list(GPUDevreg.detect_available_backends()) == [GPUBackendKind.CPU]
    assert hostprobe.detect_gpu_backends() == INITIAL
    nvidia_smi(path_dir, 'case "$1" in --query-gpu=name) exit 1;; esac\necho "garbage"')
    assert hostprobe.detect_gpu_backends() == INITIAL
    nvidia_smi(path_dir, 'printf "24576, 550.54\\n16384, 550.54\\n"')
    assert GPUDevreg.get_best_available().info.kind is GPUBackendKind.CUDA
    cuda = {"has_gpu": True, "gpu_count": 2, "gpu_memory_mb": 16384, "cuda_available": True}
    expected = {**INITIAL, **cuda, "active_backend": "cuda", "backend_version": "550.54"}
    assert hostprobe.detect_gpu_backends() == expected


# --- interpreter and the combined report ------------------------------------------


@pytest.mark.parametrize(
    ("version", "module", "expected"),
    [
        (VersionInfo(3, 11, 7), types.ModuleType("x"), ("3.11.7", False)),
        (VersionInfo(3, 12, 4), types.ModuleType("x"), ("3.12.4", True)),
        (VersionInfo(3, 12, 4), None, ("3.12.4", False)),  # the import fails
    ],
)
def test_python_version(monkeypatch, version, module, expected):
    monkeypatch.setattr(hostprobe, "sys", NS(version_info=version))
    monkeypatch.setitem(sys.modules, "_xxsubinterpreters", module)
    assert hostprobe.detect_python_version() == expected


def test_capabilities_report():
    caps = hostprobe.detect_capabilities()
    assert list(caps) == KEYS
    assert caps["physical_cores"] == len(os.sched_getaffinity(0))
    assert {k: caps[k] for k in INITIAL} == hostprobe.detect_gpu_backends()
    assert caps["python_version"] == platform.python_version()
    assert (caps["platform"], caps["detector"]) == (sys.platform, "native")
    assert abs(caps["detected_at"] - time.time()) < 60
    assert type(caps["detection_time_ms"]) is float and caps["detection_time_ms"] >= 0


def test_capabilities_use_module_globals(monkeypatch):
    monkeypatch.setattr(hostprobe, "detect_physical_cores", lambda: 64)
    monkeypatch.setattr(hostprobe, "detect_python_version", lambda: ["9.9.9", True])
    monkeypatch.setattr(hostprobe, "detect_gpu_backends", lambda: {**INITIAL, "gpu_count": 3})
    caps = hostprobe.detect_capabilities()
    assert list(caps) == KEYS
    assert [caps[k] for k in KEYS[:4]] == [64, hostprobe.detect_numa_nodes(), False, 3]
    assert (caps["python_version"], caps["subinterpreter_support"]) == ("9.9.9", True)


def clock_failing(times):
    stamps = [ZeroDivisionError(f"clock {i}") for i in range(times)] + [123.0]

    def stamp():
        first = stamps[0]
        if isinstance(first, Exception):
            stamps.pop(0)
            raise first
        return first

    return NS(perf_counter=time.perf_counter, time=stamp)


@pytest.mark.parametrize(
    ("name", "replacement", "error"),
    [
        ("detect_gpu_backends", lambda: {}, "'has_gpu'"),
        ("detect_gpu_backends", lambda: dict(list(INITIAL.items())[:-1]), "'backend_version'"),
        (
            "detect_python_version",
            lambda: ("3", False, 1),
            "too many values to unpack (expected 2)",
        ),
        (
            "detect_python_version",
            lambda: ("3",),
            "not enough values to unpack (expected 2, got 1)",
        ),
        ("detect_python_version", lambda: None, "cannot unpack non-iterable NoneType object"),
        ("detect_numa_nodes", None, "'NoneType' object is not callable"),
        ("time", clock_failing(1), "clock 0"),  # fails after every other key is written
    ],
)
def test_capabilities_fallback(monkeypatch, name, replacement, error):
    monkeypatch.setattr(hostprobe, "detect_physical_cores", lambda: 99)
    monkeypatch.setattr(hostprobe, name, replacement)
    caps = hostprobe.detect_capabilities()
    assert list(caps) == FALLBACK_KEYS
    assert (caps["detector"], caps["error"]) == ("native_fallback", error)
    assert [caps["physical_cores"], caps["numa_nodes"]] == [os.cpu_count() or 1, 1]
    assert {k: caps[k] for k in INITIAL} == INITIAL
    assert caps["python_version"] == "{}.{}".format(*sys.version_info[:2])
    assert (caps["subinterpreter_support"], caps["platform"]) == (False, sys.platform)
    assert type(caps["detection_time_ms"]) is float


def interrupted(*args):
    raise KeyboardInterrupt


@pytest.mark.parametrize(
    ("name", "value", "exc"),
    [
        ("os", None, NameError),  # missing in the probe, its handler and the fallback
        ("time", clock_failing(2), ZeroDivisionError),  # the fallback's own stamp fails
        ("detect_numa_nodes", interrupted, KeyboardInterrupt),  # not an Exception
        ("os", fake_os(sched_getaffinity=interrupted), KeyboardInterrupt),
    ],
)
def test_capabilities_errors_that_propagate(monkeypatch, name, value, exc):
    if value is None:
        monkeypatch.delattr(hostprobe, name)
    else:
        monkeypatch.setattr(hostprobe, name, value)
    with pytest.raises(exc):
        hostprobe.detect_capabilities()


def test_module_namespace():
    assert sorted(n for n in vars(hostprobe) if not n.startswith("__")) == [
        *(f"detect_{n}" for n in ("capabilities", "gpu_backends", "numa_nodes")),
        *(f"detect_{n}" for n in ("physical_cores", "python_version")),
        *("os", "sys", "time"),
    ]
    assert (hostprobe.sys, hostprobe.os, hostprobe.time) == (sys, os, time)
