// Module-internal declarations of lumetra.monitoring.statcounters.
//
// A CounterAggregator owns `num_counters` records (fixed for its lifetime) and
// one threading.Lock. Every read or write of a record happens with `lock`
// held, except for the count check of get_all_stats, which reads one count
// without it as an atomic load (counters.hpp). No call into Python code
// (result building, overrides, lock waits) happens while a record is
// half-updated.
//
// The class docstring's "atomic operations ... without GIL overhead" is the
// documented wording callers see; the records are in fact plain fields
// guarded by the lock.
#pragma once

#include <Python.h>

#include <cstdint>

#include "capi/capi.hpp"
#include "counters.hpp"

namespace statcounters {

struct CounterAggregatorObject {
    PyObject_HEAD
    AtomicCounter* counters;  // owned; freed by the destructor
    int32_t num_counters;     // >= 0, fixed
    capi::Ref lock;           // threading.Lock, never null

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        f(lock, capi::kept);
    }
    void release_native() noexcept {
        free_counters(counters);
        counters = nullptr;
    }
};

// The module's state: one per module object, so one per interpreter.
struct State : capi::ModuleState {
    static PyModuleDef definition;  // module.cpp
    PyTypeObject* CounterAggregatorType = nullptr;
    capi::Names<"count", "mean", "variance", "std", "min", "max", "get_stats"> names;

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        capi::each_ref(f, base(), CounterAggregatorType, names);
    }
};

bool add_counter_aggregator(PyObject* module, State& st) noexcept;
bool add_functions(PyObject* module, State& st) noexcept;

}  // namespace statcounters
