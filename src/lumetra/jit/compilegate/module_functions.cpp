// Module functions: the shared policy and the two factories.
//
// The shared policy (`st.global_policy`, the module's `_global_policy`, not
// visible from Python) is read and written only while `_policy_lock` is held;
// the lock is looked up in the module namespace at each call. A replaced
// policy is released after the lock, so whatever its destruction runs cannot
// deadlock on `_policy_lock`.
//
// The lock keeps one policy from being made twice, but it is a module global
// that Python code may rebind while another thread holds the former lock, and
// then two threads are inside at once. So each read or write of the pointer
// also runs in a critical section on the module's namespace, which holds no
// call into Python: whatever the lock, a reader owns its reference before
// the writer can drop the policy it read.
#include <utility>

#include "capi/capi.hpp"
#include "compilegate.hpp"

namespace compilegate {

namespace {

// A strong reference to the current `_policy_lock`: the global may be rebound
// while this thread waits for the lock.
capi::Ref policy_lock(const State& st) noexcept { return capi::global<"_policy_lock">(st); }

// The shared policy as a new reference, or null when there is none.
capi::Ref shared_policy(State& st) noexcept {
    capi::CriticalSection section(st.module_dict);
    return capi::Ref::borrow(st.global_policy);
}

constexpr capi::Signature get_compilegate_sig("get_compilegate");

PyObject* get_compilegate(State& st) noexcept {
    capi::Ref lock = policy_lock(st);
    if (!lock) return nullptr;
    capi::Ref made;  // a policy not kept, dropped after the lock is released
    capi::LockGuard guard;
    if (!guard.acquire(lock.get())) return nullptr;
    if (capi::Ref policy = shared_policy(st)) return policy.release();
    // On failure the shared policy stays None.
    made = capi::Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(st.CompilegateType)));
    if (!made) return nullptr;
    // Making it runs Python code (`threading.Lock()`), which may have called
    // get_compilegate() again through a re-entrant `_policy_lock` and stored a
    // policy already: that one stays the shared policy, so that every caller
    // gets the same object.
    capi::CriticalSection section(st.module_dict);
    if (st.global_policy == nullptr) st.global_policy = made.release();
    return Py_NewRef(st.global_policy);
}

constexpr capi::Signature reset_compilegate_sig("reset_compilegate");

PyObject* reset_compilegate(State& st) noexcept {
    capi::Ref lock = policy_lock(st);
    if (!lock) return nullptr;
    capi::Ref previous;  // dropped after the guard releases the lock
    capi::LockGuard guard;
    if (!guard.acquire(lock.get())) return nullptr;
    capi::CriticalSection section(st.module_dict);
    previous = capi::Ref::steal(std::exchange(st.global_policy, nullptr));
    return capi::new_none();
}

constexpr CFunctionMetrics metrics_defaults{};
constexpr capi::TypedSignature create_metrics_sig(
    "create_function_metrics", capi::Arg<capi::PyInt>{"call_count", metrics_defaults.call_count},
    capi::Arg<capi::PyInt>{"compile_count", metrics_defaults.compile_count},
    capi::Arg<capi::PyFloat>{"avg_speedup", metrics_defaults.avg_speedup},
    capi::Arg<capi::PyFloat>{"total_execution_time_ms", metrics_defaults.total_execution_time_ms},
    capi::Arg<capi::PyFloat>{"last_compile_time", metrics_defaults.last_compiled});

PyObject* create_function_metrics(State& st, capi::IntValue& call_count,
                                  capi::IntValue& compile_count, double avg_speedup,
                                  double total_execution_time_ms,
                                  double last_compile_time) noexcept {
    // The arguments are validated first, then the FunctionMetrics constructor
    // converts the two counts to their native widths.
    CFunctionMetrics record{0, 0, avg_speedup, total_execution_time_ms, last_compile_time};
    if (!call_count.as<uint64_t>(record.call_count) ||
        !compile_count.as<uint32_t>(record.compile_count)) {
        return nullptr;
    }
    return make_function_metrics(st.FunctionMetricsType, record);
}

constexpr PolicyConfigSignature<capi::PyInt, capi::PyFloat> create_config_sig(
    "create_policy_config");

PyObject* create_policy_config(State& st, capi::IntValue& initial, capi::IntValue& minimum,
                               capi::IntValue& maximum, double learning_rate,
                               double target_speedup) noexcept {
    // Validated first, then converted and checked by the PolicyConfig
    // constructor, whose ValueError propagates.
    CPolicyConfig record{0, 0, 0, learning_rate, target_speedup};
    if (!initial.as<int>(record.initial_threshold) || !minimum.as<int>(record.min_threshold) ||
        !maximum.as<int>(record.max_threshold)) {
        return nullptr;
    }
    return make_policy_config(st.PolicyConfigType, record);
}

const capi::FunctionDef functions[] = {
    capi::function<get_compilegate, get_compilegate_sig>(
        "Get global policy instance.\n\n"
        "Always acquires the lock before checking or creating the singleton, so\n"
        "that its initialisation cannot race.",
        "Compilegate"),
    capi::function<reset_compilegate, reset_compilegate_sig>("Reset global policy instance."),
    capi::function<create_function_metrics, create_metrics_sig>(
        "Factory function to create FunctionMetrics.\n\n"
        "Provides a Python-friendly interface for creating metrics objects.",
        "FunctionMetrics"),
    capi::function<create_policy_config, create_config_sig>(
        "Factory function to create PolicyConfig.\n\n"
        "Provides a Python-friendly interface for creating config objects.",
        "PolicyConfig"),
};

}  // namespace

bool add_module_functions(PyObject* module, State& st) noexcept {
    return capi::add_functions(module, st, functions);
}

}  // namespace compilegate
