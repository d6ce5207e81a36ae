// Module-internal declarations of lumetra.plugins.analyzer.loadscore.
//
// Native entries: the typed functions behind the module's Python functions,
// callable by native code without building argument tuples. Those that take
// Python objects are declared here; the purely numeric ones are in scoring.hpp.
// A text parameter is a `str` or None as its Python function documents (the
// Python functions check that); an entry that fails returns its error value
// (-1.0 or false) with a Python exception set. None of them keeps state
// between calls (they only read the module's constants, which never change
// after import), so any number of threads may call them at once; each needs
// its thread attached to the interpreter (holding the GIL where there is one).
#pragma once

#include <Python.h>

#include <array>

#include "capi/capi.hpp"
#include "scoring.hpp"

namespace loadscore {

using IndicatorCounts = std::array<int, 7>;

// The module's state: one per module object, so one per interpreter. Built by
// the module's execution and only read afterwards.
struct State : capi::ModuleState {
    static PyModuleDef definition;  // module.cpp
    // `_COMPILED_PATTERNS`: framework name -> pattern compiled by `re` with
    // IGNORECASE; never exposed to Python.
    PyObject* compiled_patterns = nullptr;
    PyObject* str_lower = nullptr;  // the `str.lower` method descriptor
    capi::Names<"re", "findall"> names;

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        capi::each_ref(f, base(), compiled_patterns, str_lower, names);
    }
};

// Builds `_COMPILED_PATTERNS` with the module's global `re`, takes `str.lower`
// and makes sure the process's indicator matchers are built. Called by the
// module's execution.
bool build_patterns(State& st) noexcept;

// Non-overlapping matches of the framework's pattern in `code`, a tenth each,
// 1.0 beyond ten; 0.0 for a framework that is not a pattern name.
double quick_framework_score(const State& st, PyObject* code, PyObject* framework) noexcept;

// Entries of the seven indicator lists found in `code.lower()` (and, for the
// GPU operation and embarrassingly parallel lists, in the lower-cased name).
bool score_indicators(const State& st, PyObject* code, PyObject* function_name,
                      IndicatorCounts& out) noexcept;

// The numpy, pandas and sklearn entry counts of `code.lower()`, normalised.
bool score_framework_patterns(const State& st, PyObject* code, FrameworkScores& out) noexcept;

// Reads the major version (`int()` of the text before the first ".") of a
// `str` or None `compute_capability`; an unreadable one gives 1.0 and a major
// version outside 32 bits raises OverflowError.
double calculate_gpu_suitability(double gpu_operation_score, double gpu_data_size_score,
                                 double cpu_intensity, bool gpu_available,
                                 PyObject* compute_capability) noexcept;

// Python functions of the module, bound in their documented order.
bool add_functions(PyObject* module, State& st) noexcept;

}  // namespace loadscore
