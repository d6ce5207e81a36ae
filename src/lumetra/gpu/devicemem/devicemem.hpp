// Module-internal declarations of lumetra.gpu.devicemem.
//
// The native entries below take the functions' typed parameters and return
// native results; the Python-visible functions convert their arguments and
// call them, and other native code of the module may call them directly.
// Parameters declared `tuple` or `str` take exactly that type or None (the
// caller has checked the type); entries that can fail return null, false or -1
// with a Python exception set.
//
// The operation sets and the fixed strategy results live in the module's
// state: built by `build_constants` during the module's execution, only read
// afterwards, and not reachable from Python.
#pragma once

#include <Python.h>

#include <cstdint>

#include "capi/capi.hpp"
#include "planning.hpp"

namespace devicemem {

// The module's state: one per module object, so one per interpreter.
struct State : capi::ModuleState {
    static PyModuleDef definition;             // module.cpp
    PyObject* chunkable_ops = nullptr;         // frozenset of interned operation names
    PyObject* non_chunkable_ops = nullptr;     // frozenset of interned operation names
    PyObject* no_gpu_memory_result = nullptr;  // the three fixed strategy tuples
    PyObject* fits_result = nullptr;
    PyObject* not_chunkable_result = nullptr;
    capi::Names<"lower"> names;

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        capi::each_ref(f, base(), chunkable_ops, non_chunkable_ops, no_gpu_memory_result,
                       fits_result, not_chunkable_result, names);
    }
};

// Start-up steps, in import order: the six planning functions, the constant
// tables (operation sets, fixed strategy results), then the four functions
// that classify operations or assess memory.
bool add_planning_functions(PyObject* module, State& st) noexcept;
bool build_constants(State& st) noexcept;
bool add_assessment_functions(PyObject* module, State& st) noexcept;

// Dimensions are converted one at a time, as they are needed.
bool estimate_allocation_bytes(PyObject* shape, int32_t element_size, double overhead_factor,
                               uint64_t& out) noexcept;

inline uint64_t calculate_safe_limit(uint64_t available_bytes, double headroom_ratio) noexcept {
    return core::calculate_safe_limit(available_bytes, headroom_ratio);
}

// A new reference to the (strategy_code, chunk_size, chunk_count, message)
// tuple; the three fixed outcomes are shared objects.
PyObject* decide_allocation_strategy(const State& st, uint64_t requested_bytes,
                                     uint64_t available_bytes, double headroom_ratio,
                                     bool is_chunkable) noexcept;

// 1 or 0; -1 with TypeError for None.
int is_oom_error(const State& st, PyObject* error_message, PyObject* error_type) noexcept;

// 1 or 0 (-1 only for an argument that is neither str nor None).
int is_chunkable_operation(const State& st, PyObject* operation) noexcept;

// A new list of chunk shapes, or null.
PyObject* compute_chunk_shapes(PyObject* shape, int32_t element_size,
                               uint64_t max_chunk_bytes) noexcept;

inline int32_t calculate_optimal_chunks(uint64_t total_bytes, uint64_t available_bytes,
                                        double headroom_ratio, int32_t min_chunks,
                                        int32_t max_chunks) noexcept {
    return core::calculate_optimal_chunks(total_bytes, available_bytes, headroom_ratio, min_chunks,
                                          max_chunks);
}

// In [0.0, 0.9]; -1.0 with an error set only for an operation that is neither
// str nor None.
double score_gpu_suitability(const State& st, uint64_t data_size_bytes, PyObject* operation_type,
                             uint64_t available_gpu_memory, double headroom_ratio) noexcept;

inline double calculate_memory_pressure(uint64_t used_bytes, uint64_t total_bytes) noexcept {
    return core::calculate_memory_pressure(used_bytes, total_bytes);
}

inline double recommend_headroom(double current_pressure, double base_headroom) noexcept {
    return core::recommend_headroom(current_pressure, base_headroom);
}

}  // namespace devicemem
