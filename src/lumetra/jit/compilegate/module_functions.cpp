// Module functions: the shared policy and the two factories.
//
// The shared policy (`st.global_policy`, the module's `_global_policy`, not
// visible from Python) is read and written only while `_policy_lock` is held;
// the lock is looked up in the module namespace at each call. A replaced
// policy is released after the lock, so whatever its destruction runs cannot
// deadlock on `_policy_lock`.
#include <utility>

#include "capi/capi.hpp"
#include "compilegate.hpp"

namespace compilegate {

namespace {

// A strong reference to the current `_policy_lock`: the global may be rebound
// while this thread waits for the lock.
capi::Ref policy_lock(const State& st) noexcept { return capi::global<"_policy_lock">(st); }

constexpr capi::Signature get_compilegate_sig("get_compilegate");

PyObject* get_compilegate(State& st, PyObject* const*, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(get_compilegate_sig, nargs, kwnames)) return nullptr;
    capi::Ref lock = policy_lock(st);
    if (!lock) return nullptr;
    capi::Ref made;  // a policy not kept, dropped after the lock is released
    capi::LockGuard guard;
    if (!guard.acquire(lock.get())) return nullptr;
    if (st.global_policy == nullptr) {
        // On failure the shared policy stays None.
        made =
            capi::Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(st.CompilegateType)));
        if (!made) return nullptr;
        // Making it runs Python code (`threading.Lock()`), which may have
        // called get_compilegate() again through a re-entrant `_policy_lock`
        // and stored a policy already: that one stays the shared policy, so
        // that every caller gets the same object.
        if (st.global_policy == nullptr) st.global_policy = made.release();
    }
    return Py_NewRef(st.global_policy);
}

constexpr capi::Signature reset_compilegate_sig("reset_compilegate");

PyObject* reset_compilegate(State& st, PyObject* const*, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(reset_compilegate_sig, nargs, kwnames)) return nullptr;
    capi::Ref lock = policy_lock(st);
    if (!lock) return nullptr;
    capi::Ref previous;  // dropped after the guard releases the lock
    {
        capi::LockGuard guard;
        if (!guard.acquire(lock.get())) return nullptr;
        previous = capi::Ref::steal(std::exchange(st.global_policy, nullptr));
    }
    Py_RETURN_NONE;
}

constexpr CFunctionMetrics metrics_defaults{};
constexpr capi::TypedSignature create_metrics_sig(
    "create_function_metrics", capi::Arg<capi::PyInt>{"call_count", metrics_defaults.call_count},
    capi::Arg<capi::PyInt>{"compile_count", metrics_defaults.compile_count},
    capi::Arg<capi::PyFloat>{"avg_speedup", metrics_defaults.avg_speedup},
    capi::Arg<capi::PyFloat>{"total_execution_time_ms", metrics_defaults.total_execution_time_ms},
    capi::Arg<capi::PyFloat>{"last_compile_time", metrics_defaults.last_compiled});

PyObject* create_function_metrics(State& st, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    // The arguments are validated first, then the FunctionMetrics constructor
    // converts the two counts to their native widths.
    CFunctionMetrics record;
    capi::IntValue call_count, compile_count;
    if (!create_metrics_sig.parse(args, nargs, kwnames, call_count, compile_count,
                                  record.avg_speedup, record.total_execution_time_ms,
                                  record.last_compiled) ||
        !call_count.as<uint64_t>(record.call_count) ||
        !compile_count.as<uint32_t>(record.compile_count)) {
        return nullptr;
    }
    return make_function_metrics(st.FunctionMetricsType, record);
}

constexpr PolicyConfigSignature<capi::PyInt, capi::PyFloat> create_config_sig(
    "create_policy_config");

PyObject* create_policy_config(State& st, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    // Validated first, then converted and checked by the PolicyConfig
    // constructor, whose ValueError propagates.
    CPolicyConfig record;
    capi::IntValue initial, minimum, maximum;
    if (!create_config_sig.parse(args, nargs, kwnames, initial, minimum, maximum,
                                 record.learning_rate, record.target_speedup) ||
        !initial.as<int>(record.initial_threshold) || !minimum.as<int>(record.min_threshold) ||
        !maximum.as<int>(record.max_threshold)) {
        return nullptr;
    }
    return make_policy_config(st.PolicyConfigType, record);
}

const capi::FunctionDef functions[] = {
    capi::function<get_compilegate>(
        get_compilegate_sig,
        "Get global policy instance.\n\n"
        "Always acquires the lock before checking or creating the singleton, so\n"
        "that its initialisation cannot race.",
        "Compilegate"),
    capi::function<reset_compilegate>(reset_compilegate_sig, "Reset global policy instance."),
    capi::function<create_function_metrics>(
        create_metrics_sig,
        "Factory function to create FunctionMetrics.\n\n"
        "Provides a Python-friendly interface for creating metrics objects.",
        "FunctionMetrics"),
    capi::function<create_policy_config>(
        create_config_sig,
        "Factory function to create PolicyConfig.\n\n"
        "Provides a Python-friendly interface for creating config objects.",
        "PolicyConfig"),
};

}  // namespace

bool add_module_functions(PyObject* module, State& st) noexcept {
    return capi::add_functions(module, st, functions);
}

}  // namespace compilegate
