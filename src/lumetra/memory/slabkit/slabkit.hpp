// Module-internal declarations of lumetra.memory.slabkit: the module state
// and one `add_*` per class or function group, called by the module's
// start-up in import order.
#pragma once

#include <Python.h>

#include "capi/capi.hpp"

namespace slabkit {

// The module's state: one per module object, so one per interpreter.
// `threading.Lock` and `logger` are looked up in the module's namespace when
// used, so rebinding either is honoured.
struct State : capi::ModuleState {
    static PyModuleDef definition;  // module.cpp
    PyTypeObject* FastSlabHeaderOpsType = nullptr;
    PyTypeObject* FastBucketAllocatorType = nullptr;
    PyTypeObject* FastStatsCollectorType = nullptr;
    capi::Names<
        // FastSlabHeaderOps
        "logger", "warning",
        // FastBucketAllocator
        "_init_buckets",
        // FastStatsCollector.get_stats keys
        "total_allocations", "total_deallocations", "bucketed_allocations", "fallback_allocations",
        "bucketed_allocation_ratio", "alignment_padding_bytes",
        // fast_bitmap_operations
        "is_set", "set", "clear", "find_first">
        names;

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        capi::each_ref(f, base(), FastSlabHeaderOpsType, FastBucketAllocatorType,
                       FastStatsCollectorType, names);
    }
};

bool add_slab_header_ops(PyObject* module, State& st) noexcept;
bool add_bucket_allocator(PyObject* module, State& st) noexcept;
bool add_stats_collector(PyObject* module, State& st) noexcept;
bool add_functions(PyObject* module, State& st) noexcept;

}  // namespace slabkit
