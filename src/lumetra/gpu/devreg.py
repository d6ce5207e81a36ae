"""GPU back-end registry (a small stand-in for the package's own).

Reports what this machine actually offers, as far as it can tell without a
GPU library: the CPU back-end always, and the CUDA back-end when the NVIDIA
driver's command-line tool `nvidia-smi` answers, with its device count, the
memory of one device and the driver version. ROCm and oneAPI are never
reported by this stand-in.
"""

from __future__ import annotations

import enum
import shutil
import subprocess
from dataclasses import dataclass

__all__ = ["BackendInfo", "GPUBackend", "GPUBackendKind", "GPUDevreg"]

# Bounds the `nvidia-smi` query; a driver that hangs means no usable GPU.
NVIDIA_SMI_TIMEOUT = 2.0


class GPUBackendKind(enum.Enum):
    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"


@dataclass(frozen=True)
class BackendInfo:
    kind: GPUBackendKind
    version: str = ""
    device_count: int = 0
    # Memory of one device in GiB (the smallest device when they differ).
    memory_gb: float = 0.0


@dataclass(frozen=True)
class GPUBackend:
    info: BackendInfo


# Most capable first: get_best_available returns the first one detected.
PREFERENCE = (GPUBackendKind.CUDA, GPUBackendKind.ROCm, GPUBackendKind.oneAPI, GPUBackendKind.CPU)


def _cuda_info() -> BackendInfo | None:
    executable = shutil.which("nvidia-smi")
    if executable is None:
        return None
    try:
        result = subprocess.run(
            [
                executable,
                "--query-gpu=memory.total,driver_version",
                "--format=csv,noheader,nounits",
            ],
            capture_output=True,
            timeout=NVIDIA_SMI_TIMEOUT,
            check=False,
        )
    except (OSError, subprocess.SubprocessError):
        return None
    if result.returncode != 0:
        return None
    rows = [
        [field.strip() for field in line.split(",")]
        for line in result.stdout.decode("utf-8", errors="ignore").splitlines()
        if line.strip()
    ]
    try:
        memory_mib = min(float(row[0]) for row in rows)
        version = rows[0][1]
    except (IndexError, ValueError):  # no rows, or output in a form we do not know
        return None
    return BackendInfo(GPUBackendKind.CUDA, version, len(rows), memory_mib / 1024)


def _cpu_info() -> BackendInfo:
    return BackendInfo(GPUBackendKind.CPU, "", 1, 0.0)


class GPUDevreg:
    """Detects the back-ends available on this machine; every call probes afresh."""

    @staticmethod
    def detect_available_backends() -> dict[GPUBackendKind, BackendInfo]:
        backends: dict[GPUBackendKind, BackendInfo] = {}
        cuda = _cuda_info()
        if cuda is not None:
            backends[GPUBackendKind.CUDA] = cuda
        backends[GPUBackendKind.CPU] = _cpu_info()
        return backends

    @classmethod
    def get_best_available(cls) -> GPUBackend:
        backends = cls.detect_available_backends()
        best = next(kind for kind in PREFERENCE if kind in backends)
        return GPUBackend(backends[best])
