// Module-internal declarations of lumetra.monitoring.statcounters.
//
// A CounterAggregator owns `num_counters` records (fixed for its lifetime) and
// one threading.Lock. Every read or write of a record happens with the
// interpreter lock held and, except for the unlocked count check of
// get_all_stats, with `lock` held too. No call into Python code (result
// building, overrides, lock waits) happens while a record is half-updated.
#pragma once

#include <Python.h>

#include <cstdint>

#include "counters.hpp"

namespace statcounters {

struct CounterAggregatorObject {
    PyObject_HEAD AtomicCounter* counters;  // owned; freed by the destructor
    int32_t num_counters;                   // >= 0, fixed
    PyObject* lock;                         // owned threading.Lock; null only after a GC clear
};

// The CounterAggregator type, set by add_counter_aggregator.
extern PyTypeObject* CounterAggregatorType;

// Binds `module_dict` (for the `threading` lookup) and creates the type.
bool add_counter_aggregator(PyObject* module) noexcept;
bool add_functions(PyObject* module) noexcept;

}  // namespace statcounters
