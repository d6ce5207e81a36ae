// Module-internal declarations of lumetra.memory.lockless: the module state,
// one `add_*` per class, called by the module's start-up in import order, and
// the instance layouts other native code of the module reads directly.
#pragma once

#include <Python.h>

#include <cstdint>

#include "capi/capi.hpp"
#include "cell.hpp"
#include "counter.hpp"
#include "stack.hpp"
#include "statistics.hpp"

namespace lockless {

struct AtomicCounterObject {
    PyObject_HEAD
    Counter counter;
};

// AtomicPointer: `cell` and the object it points to are guarded by `lock`; the
// cell owns one strong reference to the held object (null when empty).
struct AtomicPointerObject {
    PyObject_HEAD
    VersionedCell<PyObject> cell;
    capi::Ref lock;  // threading.Lock, never null

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        f(lock, capi::kept);
    }
    int visit_native(visitproc visit, void* arg) noexcept {
        Py_VISIT(cell.load());
        return 0;
    }
    // The cell is empty before the held reference is dropped.
    void clear_native() noexcept { capi::Ref::steal(cell.take()).reset(); }
};

// LockFreeStack: the chain is guarded by `lock`; each linked node owns one
// strong reference to its item; the size is read without the lock.
struct LockFreeStackObject {
    PyObject_HEAD
    NodeStack<PyObject> stack;
    capi::Ref lock;  // threading.Lock, never null

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        f(lock, capi::kept);
    }
    int visit_native(visitproc visit, void* arg) noexcept;
    void clear_native() noexcept;
};

// Order of LockFreeStatistics' public counter attributes.
enum StatField : int {
    total_allocations,
    total_deallocations,
    current_allocations,
    bytes_allocated,
    bytes_reserved,
    peak_allocations,
    peak_bytes_allocated,
    bucketed_allocations,
    fallback_allocations,
    alignment_padding_bytes,
    total_allocation_time_ns,
    total_deallocation_time_ns,
    stat_field_count,
};

// LockFreeStatistics: `counters` are the public attributes (owned; null reads as None and means
// deleted), replaceable from Python by any thread at any time: each is read and replaced only
// inside a critical section on the instance; native code works on an exact AtomicCounter inside the
// section and takes anything else as a strong reference, whose methods it calls after leaving.
// `update_lock` serialises `reset`.
struct LockFreeStatisticsObject {
    PyObject_HEAD
    capi::Ref update_lock;  // threading.Lock, never null
    capi::Ref counters[stat_field_count];

    // The collector clears the counters, which then read as None, so later
    // recording calls raise AttributeError; the lock is kept, so reset()
    // always finds it.
    template <typename F>
    void for_each_ref(F&& f) noexcept {
        f(update_lock, capi::kept);
        for (capi::Ref& counter : counters) f(counter);
    }
};

// PerformanceTimer: the start, 0 until start(); accessed only through
// capi::relaxed_load and capi::relaxed_store.
struct PerformanceTimerObject {
    PyObject_HEAD
    int64_t start_time_ns;
};

// The module's state: one per module object, so one per interpreter.
struct State : capi::ModuleState {
    static PyModuleDef definition;  // module.cpp
    PyTypeObject* AtomicCounterType = nullptr;
    PyTypeObject* AtomicPointerType = nullptr;
    PyTypeObject* LockFreeStackType = nullptr;
    PyTypeObject* LockFreeStatisticsType = nullptr;
    PyTypeObject* PerformanceTimerType = nullptr;
    PyObject* zero_int = nullptr;    // 0
    PyObject* zero_float = nullptr;  // 0.0
    PyObject* hundred = nullptr;     // 100.0
    PyObject* thousand = nullptr;    // 1000.0
    PyObject* million = nullptr;     // 1e6
    // The snapshot keys in order, each mapped to None; copied by get_snapshot.
    PyObject* snapshot_template = nullptr;
    capi::Names<
        // AtomicCounterWrapper
        "_counter", "py_load", "py_store", "py_increment", "py_decrement", "py_compare_and_swap",
        "py_fetch_and_add",
        // LockFreeStatistics: counter methods, the override, text constants
        "increment", "decrement", "load", "store", "compare_and_swap", "_update_peaks",
        "lock-free C11 atomics", ".1f", "%",
        // get_snapshot's keys, in order
        "total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
        "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
        "fallback_allocations", "bucketed_allocation_ratio", "alignment_padding_bytes",
        "average_allocation_time_ns", "average_deallocation_time_ns", "allocation_mode",
        // PerformanceTimer
        "time", "perf_counter_ns", "elapsed_ns">
        names;

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        capi::each_ref(f, base(), AtomicCounterType, AtomicPointerType, LockFreeStackType,
                       LockFreeStatisticsType, PerformanceTimerType, zero_int, zero_float, hundred,
                       thousand, million, snapshot_template, names);
    }
};

// The counter inside `obj` when it is exactly an AtomicCounter, else null. A
// subclass instance goes through its methods even when it overrides none
// (capi::overridden would tell): this is asked inside a critical section on
// the statistics object, where a type lookup, which may wait for the type
// lock and so suspend the section, must not run.
inline Counter* exact_counter(const State& st, PyObject* obj) noexcept {
    return Py_IS_TYPE(obj, st.AtomicCounterType)
               ? &reinterpret_cast<AtomicCounterObject*>(obj)->counter
               : nullptr;
}

bool add_atomic_counter(PyObject* module, State& st) noexcept;
bool add_atomic_pointer(PyObject* module, State& st) noexcept;
bool add_lock_free_stack(PyObject* module, State& st) noexcept;
bool add_lock_free_statistics(PyObject* module, State& st) noexcept;
bool add_performance_timer(PyObject* module, State& st) noexcept;
// The py_* class aliases of AtomicCounter's methods.
bool add_atomic_counter_aliases(State& st) noexcept;
bool add_atomic_counter_wrapper(PyObject* module, State& st) noexcept;

}  // namespace lockless
