// Module-internal declarations of lumetra.plugins.analyzer.adaptplan.
//
// Native entries: one typed function per Python function, with the same
// parameters (after the module state, for those that use its constants). List
// parameters must already be an exact `list` or None and str parameters an
// exact `str` or None (the Python wrappers check this). Results:
// an int flag for bool (-1 with an exception set on failure), a double for
// float (-1.0 with an exception set on failure), otherwise a new reference or
// null. The scalar decisions that cannot fail live in core.hpp.
//
// Reading lists: a list's length is read once, then entries are read by
// position. Converting a value (`__float__`, `__index__`, `__add__`, iterating a
// sample) can run Python code that changes the list, and without the GIL
// another thread may change it at any moment, so every entry is taken as a
// strong reference at once (list_item), which re-checks the bound against the
// list's current size and raises IndexError past the end. Dict values are
// taken the same way (dict_get_ref). Where no Python code runs between reads
// (the labels of detect_dominant_pattern, a two-item sample list), all of them
// run in one critical section on the list, which keeps it unchanged.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "capi/capi.hpp"
#include "core.hpp"

namespace adaptplan {

// --- module state -----------------------------------------------------------------

// The module's constant objects, one set per module object (so per
// interpreter), built by its execution and only read afterwards.
struct State : capi::ModuleState {
    static PyModuleDef definition;           // module.cpp
    PyObject* neutral_change = nullptr;      // (False, 0.0, 0.0, 0.0)
    PyObject* neutral_prediction = nullptr;  // (0, 0, 0.0)
    PyObject* zero = nullptr;                // 0, the index of a record's timestamp
    capi::Names<"mixed", "parallelization_potential", "cpu_intensity", "memory_intensity"> names;

    // The keys of a pattern dict, in the order of the change tuple.
    std::array<PyObject*, 3> characteristic_keys() const noexcept {
        return {names.get<"parallelization_potential">(), names.get<"cpu_intensity">(),
                names.get<"memory_intensity">()};
    }

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        capi::each_ref(f, base(), neutral_change, neutral_prediction, zero, names);
    }
};

// Fills the state's constants; false with an error set.
bool init_constants(State& st) noexcept;

// --- shared readers --------------------------------------------------------------

// Strong reference to list[i], or IndexError ("list index out of range") once
// the list has shrunk below i: taken in one step, so no other thread can
// replace the entry and drop the list's reference in between.
inline bool list_item(PyObject* list, Py_ssize_t i, capi::Ref& out) noexcept {
    out = capi::Ref::steal(capi::internals::list_get_ref(list, i));
    return static_cast<bool>(out);
}

// Unpacks an iterable of exactly two items and converts the first, then the
// second, to double.
bool unpack_pair(PyObject* sample, double& first, double& second) noexcept;

// "object of type 'NoneType' has no len()", as len(None) reports it.
PyObject* raise_none_has_no_len() noexcept;

// String equality of two exact-str-or-None values (None equals only None).
// Runs no Python code.
inline bool same_label(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    if (a == Py_None || b == Py_None) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    // Strings are stored in their narrowest kind, so equal strings share it.
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0;
}

// --- native entries ---------------------------------------------------------------

int detect_performance_degradation(PyObject* performance_history, double baseline_performance,
                                   double threshold, double window_start_time) noexcept;
double calculate_performance_trend(PyObject* performance_history,
                                   double window_start_time) noexcept;
PyObject* detect_workload_characteristics_change(const State& st, PyObject* pattern_history,
                                                 double change_threshold = 0.3) noexcept;
PyObject* detect_dominant_pattern(const State& st, PyObject* patterns,
                                  int32_t window_size = 5) noexcept;
int is_adaptation_beneficial(PyObject* current_pool, PyObject* recommended_pool,
                             double recommendation_score, double recommendation_confidence,
                             double current_performance_estimate, int32_t trigger_code,
                             double min_improvement_ratio = 1.1,
                             double min_confidence = 0.6) noexcept;
PyObject* predict_resource_requirements(const State& st, PyObject* allocation_history,
                                        double prediction_horizon_seconds) noexcept;

// --- Python functions, in binding order -------------------------------------------

std::span<const capi::FunctionDef> history_functions() noexcept;
std::span<const capi::FunctionDef> decision_functions() noexcept;

}  // namespace adaptplan
