// Module-internal declarations of lumetra.memory.lockless: one `add_*` per
// class, called by the module's start-up in import order.
#pragma once

#include <Python.h>

#include "counter.hpp"

namespace lockless {

struct AtomicCounterObject {
    PyObject_HEAD Counter counter;
};

// The AtomicCounter type, set by add_atomic_counter.
extern PyTypeObject* AtomicCounterType;

bool add_atomic_counter(PyObject* module) noexcept;
// The py_* class aliases of AtomicCounter's methods.
bool add_atomic_counter_aliases() noexcept;
bool add_atomic_counter_wrapper(PyObject* module) noexcept;

}  // namespace lockless
