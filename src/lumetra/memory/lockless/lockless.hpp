// Module-internal declarations of lumetra.memory.lockless: one `add_*` per
// class, called by the module's start-up in import order, and the instance
// layouts other native code of the module reads directly.
#pragma once

#include <Python.h>

#include "cell.hpp"
#include "counter.hpp"
#include "stack.hpp"
#include "statistics.hpp"

namespace lockless {

struct AtomicCounterObject {
    PyObject_HEAD Counter counter;
};

// AtomicPointer: `cell` and the object it points to are guarded by `lock`; the
// cell owns one strong reference to the held object (null when empty).
struct AtomicPointerObject {
    PyObject_HEAD VersionedCell<PyObject> cell;
    PyObject* lock;  // threading.Lock, owned; None after clearing by the collector
};

// LockFreeStack: the chain is guarded by `lock`; each linked node owns one
// strong reference to its item; the size is read without the lock.
struct LockFreeStackObject {
    PyObject_HEAD NodeStack<PyObject> stack;
    PyObject* lock;  // threading.Lock, owned; None after clearing by the collector
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

// LockFreeStatistics: `stats` is the lock-free native fast path; `counters`
// are the public attributes (owned; null reads as None and means deleted),
// replaceable from Python at any time, so native code holds a reference to one
// across any call that can run Python code. `update_lock` serialises `reset`.
struct LockFreeStatisticsObject {
    PyObject_HEAD Statistics stats;
    PyObject* update_lock;
    PyObject* counters[stat_field_count];
};

struct PerformanceTimerObject {
    PyObject_HEAD int64_t start_time_ns;
};

// The module's globals, where constructors look up `threading` (set first at
// start-up; the module keeps it alive).
extern PyObject* module_dict;

// The AtomicCounter type, set by add_atomic_counter.
extern PyTypeObject* AtomicCounterType;

// The counter inside `obj` when it is exactly an AtomicCounter (not a
// subclass, whose methods may be overridden), else null.
inline Counter* exact_counter(PyObject* obj) noexcept {
    return Py_IS_TYPE(obj, AtomicCounterType)
               ? &reinterpret_cast<AtomicCounterObject*>(obj)->counter
               : nullptr;
}

bool add_atomic_counter(PyObject* module) noexcept;
bool add_atomic_pointer(PyObject* module) noexcept;
bool add_lock_free_stack(PyObject* module) noexcept;
bool add_lock_free_statistics(PyObject* module) noexcept;
bool add_performance_timer(PyObject* module) noexcept;
// The py_* class aliases of AtomicCounter's methods.
bool add_atomic_counter_aliases() noexcept;
bool add_atomic_counter_wrapper(PyObject* module) noexcept;

}  // namespace lockless
