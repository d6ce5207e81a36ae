"""Rows for lumetra.native.hostprobe."""

from __future__ import annotations

import os
import subprocess
import sys
import time

from lumetra.native import hostprobe

from run import Row, stmt

BACKEND_DEFAULTS = {
    "has_gpu": False,
    "gpu_count": 0,
    "gpu_memory_mb": 0,
    "cuda_available": False,
    "rocm_available": False,
    "oneapi_available": False,
    "active_backend": "cpu",
    "backend_version": "",
}


# A pure-Python equivalent of the probes, as a caller would write them.


def py_physical_cores() -> int:
    try:
        if hasattr(os, "sched_getaffinity"):
            return max(1, len(os.sched_getaffinity(0)))
        return os.cpu_count() or 1
    except Exception:
        return os.cpu_count() or 1


def py_numa_nodes() -> int:
    try:
        path = "/sys/devices/system/node"
        if sys.platform == "linux" and os.path.exists(path):
            names = [n for n in os.listdir(path) if n.startswith("node") and n[4:].isdigit()]
            return len(names) or 1
    except Exception:
        pass
    return 1


def py_gpu_backends() -> dict:
    info = dict(BACKEND_DEFAULTS)
    try:
        from lumetra.gpu.devreg import GPUBackendKind, GPUDevreg

        backends = GPUDevreg.detect_available_backends()
        info["cuda_available"] = GPUBackendKind.CUDA in backends
        info["rocm_available"] = GPUBackendKind.ROCm in backends
        info["oneapi_available"] = GPUBackendKind.oneAPI in backends
        best = GPUDevreg.get_best_available()
        info["active_backend"] = best.info.kind.value
        info["backend_version"] = best.info.version
        info["has_gpu"] = info["active_backend"] != "cpu"
        if info["has_gpu"] and best.info.kind in backends:
            device = backends[best.info.kind]
            info["gpu_count"] = device.device_count
            info["gpu_memory_mb"] = int(device.memory_gb * 1024)
    except Exception:
        try:
            result = subprocess.run(
                ["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],
                capture_output=True,
                timeout=0.5,
                check=False,
            )
            if result.returncode == 0 and result.stdout:
                lines = result.stdout.decode("utf-8", errors="ignore").strip().split("\n")
                info["has_gpu"] = True
                info["gpu_count"] = len([line for line in lines if line.strip()])
        except Exception:
            pass
    return info


def py_capabilities() -> dict[str, object]:
    start = time.perf_counter()
    caps: dict[str, object] = {"physical_cores": py_physical_cores(), "numa_nodes": py_numa_nodes()}
    caps.update(py_gpu_backends())
    v = sys.version_info
    caps["python_version"] = f"{v.major}.{v.minor}.{v.micro}"
    caps["subinterpreter_support"] = False
    caps["platform"] = sys.platform
    caps["detected_at"] = time.time()
    caps["detector"] = "python"
    caps["detection_time_ms"] = (time.perf_counter() - start) * 1000
    return caps


def rows(headline: bool = False) -> list[Row]:
    rows = [
        ("detect_physical_cores()", "detect_physical_cores", py_physical_cores),
        ("detect_numa_nodes()", "detect_numa_nodes", py_numa_nodes),
        ("detect_gpu_backends()", "detect_gpu_backends", py_gpu_backends),
        ("detect_capabilities() end to end", "detect_capabilities", py_capabilities),
    ]
    return [
        Row(
            name,
            stmt("f()", f=getattr(hostprobe, attr)),
            "same probes in Python",
            stmt("f()", f=baseline),
            vs_floor=False,
            headline=attr == "detect_physical_cores",
        )
        for name, attr, baseline in rows
    ]
