// Module-internal declarations of lumetra.jit.compilegate: the instance
// layouts with their native-level operations, the module's state (its types,
// names, constants and the shared policy), and one `add_*` per start-up step,
// called by the module's start-up in import order.
//
// PolicyConfig and FunctionMetrics hold one native record each and no Python
// references. A Compilegate holds three references, set by its constructor and
// never null or replaced afterwards: `_config`, `_thresholds` (func_id -> int,
// keys are exact str or None, values exact ints in int32_t range) and `_lock`.
// `_thresholds` is read and written only while `_lock` is held.
#pragma once

#include <Python.h>

#include <cstdint>

#include "capi/capi.hpp"
#include "policy.hpp"

namespace compilegate {

struct PolicyConfigObject {
    PyObject_HEAD
    CPolicyConfig _config;

    // An instance holds no reference but the one to its type, and is still
    // known to the collector: the shared policy, held by the module's state,
    // holds its PolicyConfig, so the type (and through it the module) would
    // otherwise keep a reference the collector cannot see, and the module
    // would never be freed when its interpreter ends.
    static constexpr bool collected = true;

    // Native-level operations: reads of the record for the policy's native
    // code, which calls them directly (no Python call, no lock). Each field is
    // read whole with one relaxed atomic load, as a property write on another
    // thread stores it whole (capi::record_property); nothing orders one
    // field with another, as nothing did for Python code.
    int32_t get_initial_threshold_fast() const noexcept {
        return capi::relaxed_load(_config.initial_threshold);
    }
    int32_t get_min_threshold_fast() const noexcept {
        return capi::relaxed_load(_config.min_threshold);
    }
    int32_t get_max_threshold_fast() const noexcept {
        return capi::relaxed_load(_config.max_threshold);
    }
    double get_learning_rate_fast() const noexcept {
        return capi::relaxed_load(_config.learning_rate);
    }
    double get_target_speedup_fast() const noexcept {
        return capi::relaxed_load(_config.target_speedup);
    }
};

struct FunctionMetricsObject {
    PyObject_HEAD
    CFunctionMetrics _metrics;

    // Native-level operations, as for PolicyConfigObject (none for
    // total_execution_time_ms).
    uint64_t get_call_count_fast() const noexcept {
        return capi::relaxed_load(_metrics.call_count);
    }
    uint32_t get_compile_count_fast() const noexcept {
        return capi::relaxed_load(_metrics.compile_count);
    }
    double get_avg_speedup_fast() const noexcept {
        return capi::relaxed_load(_metrics.avg_speedup);
    }
    double get_last_compiled_fast() const noexcept {
        return capi::relaxed_load(_metrics.last_compiled);
    }
};

struct CompilegateObject {
    PyObject_HEAD
    capi::Ref _config;      // PolicyConfigObject (or a subclass instance)
    capi::Ref _thresholds;  // dict, guarded by _lock
    capi::Ref _lock;        // threading.Lock()

    // The collector clears none of them (see compilegate_type.cpp).
    template <typename F>
    void for_each_ref(F&& f) noexcept {
        f(_config, capi::kept);
        f(_thresholds, capi::kept);
        f(_lock, capi::kept);
    }

    PolicyConfigObject* config() const noexcept {
        return reinterpret_cast<PolicyConfigObject*>(_config.get());
    }

    // Native-level operation: the threshold in force for `func_id` (an exact
    // str or None). The caller holds `_lock`. False with an error set only if
    // a stored value cannot be read back, which the policy never stores.
    // `stored` receives a strong reference to the stored value (null when
    // there is none), for the caller to drop once the lock is released.
    bool _get_threshold_fast(PyObject* func_id, int32_t& threshold,
                             capi::Ref& stored) const noexcept;
};

// time.time() as resolved through the module's `time` global, kept while
// neither namespace changes (see current_time in compilegate_type.cpp). Only
// a resolution through the `time` module found at import is kept: its
// namespace `time_dict` is held (and, from 3.12, watched) from import until
// the module's state is released, so releasing never reads a module the
// collector may already have cleared. `time_func` is the function last
// resolved from it, null while none is kept.
//
// 3.11 tells a change by the two namespaces' version tags; later versions by
// a dict watcher on both (`watcher`, -1 when none could be had: nothing is
// then kept), whose callback moves a change counter on. `watcher`,
// `time_module` and `time_dict` are set at import and only read afterwards;
// `time_func` and the versions or change count are read and written in a
// critical section on the module's namespace (`module_dict`).
struct TimeResolution {
    PyObject* time_module = nullptr;  // the `time` global at import
    PyObject* time_dict = nullptr;    // its namespace
    PyObject* time_func = nullptr;    // time_module.time when last resolved, or null
    uint64_t globals_version = 0;
    uint64_t module_version = 0;
    int watcher = -1;
    uint64_t changes = 0;  // the change counter when last resolved

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        f(time_module);
        f(time_dict);
        f(time_func);
    }
};

// The module's state: one per module object, so one per interpreter.
struct State : capi::ModuleState {
    PyTypeObject* PolicyConfigType = nullptr;
    PyTypeObject* FunctionMetricsType = nullptr;
    PyTypeObject* CompilegateType = nullptr;
    // The shared policy of get_compilegate() (`_global_policy`, not visible
    // from Python); null stands for None. Guarded by `_policy_lock`, and each
    // read or write of the pointer also runs in a critical section on the
    // module's namespace (module_functions.cpp says why).
    PyObject* global_policy = nullptr;
    PyObject* zero = nullptr;  // 0
    // Originals of the standard names that the fast paths of should_compile
    // and update compare against by identity, as found at import.
    PyObject* builtin_time = nullptr;  // time.time
    PyObject* debug_level = nullptr;   // logging.DEBUG
    PyObject* logger_debug = nullptr;  // logging.Logger.debug; null if Logger is not a class
    TimeResolution time_resolution;
    capi::Names<"get_metrics", "call_count", "compile_count", "avg_speedup", "last_compiled",
                "time", "logger", "debug", "isEnabledFor", "initial_threshold", "min_threshold",
                "max_threshold", "learning_rate", "target_speedup", "tracked_functions",
                "avg_threshold", "_policy_lock", "DEBUG", "Logger">
        names;

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        capi::each_ref(f, base(), PolicyConfigType, FunctionMetricsType, CompilegateType,
                       global_policy, zero, builtin_time, debug_level, logger_debug,
                       time_resolution, names);
    }
    // Before the references go: gives back the dict watcher.
    void release_native() noexcept;

    static PyModuleDef definition;
};

// The parameters of PolicyConfig's constructor and of create_policy_config:
// the five fields in order, their defaults those of CPolicyConfig. `Int` and
// `Float` are the conversions of the three thresholds and of the two ratios.
template <typename Int, typename Float>
struct PolicyConfigSignature : capi::TypedSignature<Int, Int, Int, Float, Float> {
    static constexpr CPolicyConfig defaults{};
    explicit constexpr PolicyConfigSignature(const char* name) noexcept
        : capi::TypedSignature<Int, Int, Int, Float, Float>(
              name, capi::Arg<Int>{"initial_threshold", defaults.initial_threshold},
              capi::Arg<Int>{"min_threshold", defaults.min_threshold},
              capi::Arg<Int>{"max_threshold", defaults.max_threshold},
              capi::Arg<Float>{"learning_rate", defaults.learning_rate},
              capi::Arg<Float>{"target_speedup", defaults.target_speedup}) {}
};

// Converts the five constructor values (null = default) and validates the
// result; returns a new PolicyConfig of `type` or null with the error set.
PyObject* new_policy_config(PyTypeObject* type, PyObject* const values[5]) noexcept;
// Validates an already converted record and wraps it in a new PolicyConfig.
PyObject* make_policy_config(PyTypeObject* type, const CPolicyConfig& record) noexcept;
PyObject* make_function_metrics(PyTypeObject* type, const CFunctionMetrics& record) noexcept;

bool add_policy_config(PyObject* module, State& st) noexcept;
bool add_function_metrics(PyObject* module, State& st) noexcept;
// Creates the Compilegate type and the constants its methods use.
bool add_compilegate(PyObject* module, State& st) noexcept;
// Captures, once the module has imported `time` and `logging`, the originals
// of time.time, logging.DEBUG and logging.Logger.debug that the fast paths of
// should_compile and update compare against.
bool capture_standard_names(State& st) noexcept;
// Keeps the `time` module found at import for the time.time() resolution and,
// from 3.12, starts watching both namespaces; false with an error set only on
// a failure other than the interpreter having no watcher left, which merely
// disables the cache.
bool watch_time_names(State& st) noexcept;
bool add_module_functions(PyObject* module, State& st) noexcept;

}  // namespace compilegate
