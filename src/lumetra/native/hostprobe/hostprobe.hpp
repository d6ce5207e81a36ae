// Module-internal declarations of lumetra.native.hostprobe.
#pragma once

#include <Python.h>

#include <cstddef>
#include <iterator>

#include "capi/capi.hpp"
#include "report.hpp"

namespace hostprobe {

// The module's state: one per module object, so one per interpreter. Built by
// the module's execution and only read afterwards.
struct State : capi::ModuleState {
    static PyModuleDef definition;  // module.cpp
    // The keys of the two reports, indexed by the enums of report.hpp.
    PyObject* backend_keys[backend_key_count] = {};
    PyObject* capability_keys[capability_key_count] = {};
    // The registry members of availability_flags, in that order.
    PyObject* availability_members[std::size(availability_flags)] = {};
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* int_1024 = nullptr;
    PyObject* timeout_value = nullptr;      // nvidia_smi_timeout
    PyObject* version_3_12 = nullptr;       // (3, 12)
    PyObject* version_3_13 = nullptr;       // (3, 13)
    PyObject* numa_suffix_slice = nullptr;  // [numa_prefix_length:]
    PyObject* run_kwnames = nullptr;        // ("capture_output", "timeout", "check")
    PyObject* decode_kwnames = nullptr;     // ("errors",)
    PyObject* winDLL_kwnames = nullptr;     // ("use_last_error",)
    PyObject* devreg_fromlist = nullptr;    // ("GPUDevreg", "GPUBackendKind")
    // Attribute names are always the interned strings below (or the keys
    // above), never made afresh for a lookup: the interpreter's type-attribute
    // cache is keyed by the name's address and keeps the name, so a new string
    // per call would take a further cache slot at every call.
    capi::Names<
        // module globals
        "os", "sys", "time", "detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends",
        "detect_python_version",
        // attributes and methods
        "sched_getaffinity", "cpu_count", "perf_counter", "startswith", "isdigit", "path", "exists",
        "listdir", "platform", "version_info", "major", "minor", "micro", "WinDLL",
        "GetNumaHighestNodeNumber", "BOOL", "c_ulong", "POINTER", "byref", "value",
        "detect_available_backends", "get_best_available", "info", "kind", "version",
        "device_count", "memory_gb", "run", "returncode", "stdout", "decode", "strip", "split",
        "GPUDevreg", "GPUBackendKind", "restype", "argtypes",
        // modules
        "lumetra.gpu.devreg", "ctypes", "wintypes", "kernel32",
        // texts
        "cpu", "", "linux", "win32", numa_path, numa_prefix, "native", "native_fallback", "\n",
        "utf-8", "ignore">
        names;

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        capi::each_ref(f, base(), backend_keys, capability_keys, availability_members, int_0, int_1,
                       int_1024, timeout_value, version_3_12, version_3_13, numa_suffix_slice,
                       run_kwnames, decode_kwnames, winDLL_kwnames, devreg_fromlist, names);
    }
};

// Builds the constants and binds the five probe functions in `module`, whose
// namespace the probes read their globals from.
bool add_probes(PyObject* module, State& st) noexcept;

}  // namespace hostprobe
