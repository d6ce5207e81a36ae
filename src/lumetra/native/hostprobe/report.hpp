// The reports of lumetra.native.hostprobe: their keys, in the order callers
// see them, and the initial values of the backend report.
//
// Plain data shared by the probes; the binding turns each key into one
// interned string of the module's state at start-up.
#pragma once

#include <cstddef>

namespace hostprobe {

// Keys of the backend report, which detect_capabilities copies in this order.
enum BackendKey : std::size_t {
    has_gpu,
    gpu_count,
    gpu_memory_mb,
    cuda_available,
    rocm_available,
    oneapi_available,
    active_backend,
    backend_version,
    backend_key_count,
};

inline constexpr const char* backend_key_names[backend_key_count] = {
    "has_gpu",        "gpu_count",        "gpu_memory_mb",  "cuda_available",
    "rocm_available", "oneapi_available", "active_backend", "backend_version",
};

// Back-end registry members whose presence sets the *_available flags.
struct AvailabilityFlag {
    BackendKey key;
    const char* member;
};
inline constexpr AvailabilityFlag availability_flags[] = {
    {cuda_available, "CUDA"},
    {rocm_available, "ROCm"},
    {oneapi_available, "oneAPI"},
};

// Keys of the capability report that do not come from the backend report.
// The report's order is: physical_cores, numa_nodes, the backend keys, then
// python_version ... detection_time_ms, with `error` before
// detection_time_ms in the fallback report.
enum CapabilityKey : std::size_t {
    physical_cores,
    numa_nodes,
    python_version,
    subinterpreter_support,
    platform,
    detected_at,
    detector,
    error,
    detection_time_ms,
    capability_key_count,
};

inline constexpr const char* capability_key_names[capability_key_count] = {
    "physical_cores", "numa_nodes", "python_version", "subinterpreter_support", "platform",
    "detected_at",    "detector",   "error",          "detection_time_ms",
};

// Where Linux lists NUMA nodes: one "node<N>" entry per node.
inline constexpr char numa_path[] = "/sys/devices/system/node";
inline constexpr char numa_prefix[] = "node";
inline constexpr long numa_prefix_length = 4;

// The NVIDIA command-line probe and its time-out in seconds.
inline constexpr const char* nvidia_smi_command[] = {"nvidia-smi", "--query-gpu=name",
                                                     "--format=csv,noheader"};
inline constexpr double nvidia_smi_timeout = 0.5;

}  // namespace hostprobe
