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
capi::Ref policy_lock(const State& st) noexcept {
    return capi::Ref::borrow(capi::global<"_policy_lock">(st));
}

constexpr capi::Signature get_compilegate_sig("get_compilegate");

PyObject* get_compilegate(State& st, PyObject* const*, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(get_compilegate_sig, nargs, kwnames)) return nullptr;
    capi::Ref lock = policy_lock(st);
    if (!lock) return nullptr;
    capi::LockGuard guard;
    if (!guard.acquire(lock.get())) return nullptr;
    if (st.global_policy == nullptr) {
        // On failure the shared policy stays None.
        st.global_policy = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(st.CompilegateType));
        if (st.global_policy == nullptr) return nullptr;
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

constexpr capi::Param create_metrics_params[] = {
    {"call_count", "0", "int"},
    {"compile_count", "0", "int"},
    {"avg_speedup", "1.0", "float"},
    {"total_execution_time_ms", "0.0", "float"},
    {"last_compile_time", "0.0", "float"},
};
constexpr capi::Signature create_metrics_sig("create_function_metrics", create_metrics_params);

// An `int` parameter: validated (numbers go through int()) or its default.
capi::Ref int_arg(PyObject* given, const char* name) noexcept {
    return capi::Ref::steal(given ? capi::int_param(given, name) : nullptr);
}

PyObject* create_function_metrics(State& st, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    capi::Args<5> a;
    if (!a.parse(create_metrics_sig, args, nargs, kwnames)) return nullptr;
    // The arguments are validated first, then the FunctionMetrics constructor
    // converts the two counts to their native widths.
    CFunctionMetrics record;
    capi::Ref call_count = int_arg(a[0], "call_count");
    if (a[0] && !call_count) return nullptr;
    capi::Ref compile_count = int_arg(a[1], "compile_count");
    if (a[1] && !compile_count) return nullptr;
    if ((a[2] && !capi::to_double(a[2], record.avg_speedup)) ||
        (a[3] && !capi::to_double(a[3], record.total_execution_time_ms)) ||
        (a[4] && !capi::to_double(a[4], record.last_compiled)) ||
        (call_count && !capi::to_uint64(call_count.get(), record.call_count)) ||
        (compile_count && !capi::to_uint32(compile_count.get(), record.compile_count))) {
        return nullptr;
    }
    return make_function_metrics(st.FunctionMetricsType, record);
}

constexpr capi::Param create_config_params[] = {
    {"initial_threshold", "100", "int"}, {"min_threshold", "10", "int"},
    {"max_threshold", "10000", "int"},   {"learning_rate", "0.1", "float"},
    {"target_speedup", "2.0", "float"},
};
constexpr capi::Signature create_config_sig("create_policy_config", create_config_params);

PyObject* create_policy_config(State& st, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    capi::Args<5> a;
    if (!a.parse(create_config_sig, args, nargs, kwnames)) return nullptr;
    // Validated first, then converted and checked by the PolicyConfig
    // constructor, whose ValueError propagates.
    CPolicyConfig record;
    capi::Ref initial = int_arg(a[0], "initial_threshold");
    if (a[0] && !initial) return nullptr;
    capi::Ref minimum = int_arg(a[1], "min_threshold");
    if (a[1] && !minimum) return nullptr;
    capi::Ref maximum = int_arg(a[2], "max_threshold");
    if (a[2] && !maximum) return nullptr;
    if ((a[3] && !capi::to_double(a[3], record.learning_rate)) ||
        (a[4] && !capi::to_double(a[4], record.target_speedup)) ||
        (initial && !capi::to_int(initial.get(), record.initial_threshold)) ||
        (minimum && !capi::to_int(minimum.get(), record.min_threshold)) ||
        (maximum && !capi::to_int(maximum.get(), record.max_threshold))) {
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
