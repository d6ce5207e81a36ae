// Module-internal declarations of lumetra.jit.compilegate: the instance
// layouts with their native-level operations, the types, and one `add_*` per
// start-up step, called by the module's start-up in import order.
//
// PolicyConfig and FunctionMetrics hold one native record each and no Python
// references. A Compilegate holds three references, set by its constructor and
// never null or replaced afterwards: `_config`, `_thresholds` (func_id -> int,
// keys are exact str or None, values exact ints in int32_t range) and `_lock`.
// `_thresholds` is read and written only while `_lock` is held.
#pragma once

#include <Python.h>

#include "capi/ref.hpp"
#include "policy.hpp"

namespace compilegate {

struct PolicyConfigObject {
    PyObject_HEAD CPolicyConfig _config;

    // Native-level operations, in slot order. They only read the record.
    int32_t get_initial_threshold_fast() const noexcept { return _config.initial_threshold; }
    int32_t get_min_threshold_fast() const noexcept { return _config.min_threshold; }
    int32_t get_max_threshold_fast() const noexcept { return _config.max_threshold; }
    double get_learning_rate_fast() const noexcept { return _config.learning_rate; }
    double get_target_speedup_fast() const noexcept { return _config.target_speedup; }
};

struct FunctionMetricsObject {
    PyObject_HEAD CFunctionMetrics _metrics;

    // Native-level operations, in slot order.
    uint64_t get_call_count_fast() const noexcept { return _metrics.call_count; }
    uint32_t get_compile_count_fast() const noexcept { return _metrics.compile_count; }
    double get_avg_speedup_fast() const noexcept { return _metrics.avg_speedup; }
    double get_last_compiled_fast() const noexcept { return _metrics.last_compiled; }
};

struct CompilegateObject {
    PyObject_HEAD PyObject* _config;  // PolicyConfigObject (or a subclass instance)
    PyObject* _thresholds;            // dict, guarded by _lock
    PyObject* _lock;                  // threading.Lock()
    double _recompile_interval;       // seconds, 600.0

    PolicyConfigObject* config() const noexcept {
        return reinterpret_cast<PolicyConfigObject*>(_config);
    }

    // Native-level operation: the threshold in force for `func_id` (an exact
    // str or None). The caller holds `_lock`. False with an error set only if
    // a stored value cannot be read back, which the policy never stores.
    // `stored`, when given, receives a strong reference to the stored value,
    // for the caller to drop once the lock is released.
    bool _get_threshold_fast(PyObject* func_id, int32_t& threshold,
                             capi::Ref* stored = nullptr) const noexcept;
};

extern PyTypeObject* PolicyConfigType;
extern PyTypeObject* FunctionMetricsType;
extern PyTypeObject* CompilegateType;

// The module's namespace; global names (`time`, `logger`, `threading`,
// `_policy_lock`) are looked up in it when used, as Python code would.
extern PyObject* module_dict;

// Converts the five constructor values (null = default) and validates the
// result; returns a new PolicyConfig of `type` or null with the error set.
PyObject* new_policy_config(PyTypeObject* type, PyObject* const values[5]) noexcept;
// Validates an already converted record and wraps it in a new PolicyConfig.
PyObject* make_policy_config(PyTypeObject* type, const CPolicyConfig& record) noexcept;
PyObject* make_function_metrics(PyTypeObject* type, const CFunctionMetrics& record) noexcept;

bool add_policy_config(PyObject* module) noexcept;
bool add_function_metrics(PyObject* module) noexcept;
bool add_compilegate(PyObject* module) noexcept;
// Captures, once the module has imported `time` and `logging`, the originals
// of time.time, logging.DEBUG and logging.Logger.debug that the fast paths of
// should_compile and update compare against.
bool capture_standard_names() noexcept;
bool add_module_functions(PyObject* module) noexcept;

}  // namespace compilegate
