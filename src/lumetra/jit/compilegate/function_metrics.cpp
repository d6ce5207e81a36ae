// Binding of FunctionMetrics: one function's telemetry record behind Python
// properties.
//
// `last_compiled` and `last_compile_time` are two names of the one stored
// field. Every value the conversions accept is stored; a failed conversion
// leaves the field unchanged. Each property access is one relaxed atomic
// access to its field (capi::record_property), as are the policy's native
// reads of a record that another thread may be updating.
#include "capi/capi.hpp"
#include "compilegate.hpp"

namespace compilegate {

namespace {

using Self = FunctionMetricsObject;

constexpr CFunctionMetrics defaults{};
constexpr capi::TypedSignature new_sig(
    "FunctionMetrics", capi::Arg<uint64_t>{"call_count", defaults.call_count},
    capi::Arg<uint32_t>{"compile_count", defaults.compile_count},
    capi::Arg<double>{"avg_speedup", defaults.avg_speedup},
    capi::Arg<double>{"total_execution_time_ms", defaults.total_execution_time_ms},
    capi::Arg<double>{"last_compile_time", defaults.last_compiled},
    capi::Arg<PyObject*>{"last_compiled", capi::none});

PyObject* metrics_new(PyTypeObject* type, uint64_t call_count, uint32_t compile_count,
                      double avg_speedup, double total_execution_time_ms, double last_compile_time,
                      PyObject* last_compiled) noexcept {
    double last_compiled_value = -1.0;
    if (last_compiled != Py_None && !capi::to_double(last_compiled, last_compiled_value)) {
        return nullptr;
    }
    // An omitted, None or negative `last_compiled` defers to `last_compile_time`.
    return make_function_metrics(
        type, {call_count, compile_count, avg_speedup, total_execution_time_ms,
               last_compiled_value >= 0 ? last_compiled_value : last_compile_time});
}

template <auto Field>
constexpr PyGetSetDef property(const char* name, const char* doc = nullptr) noexcept {
    return capi::record_property<&Self::_metrics, Field>(name, doc);
}

PyGetSetDef getset[] = {
    property<&CFunctionMetrics::call_count>("call_count"),
    property<&CFunctionMetrics::compile_count>("compile_count"),
    property<&CFunctionMetrics::avg_speedup>("avg_speedup"),
    property<&CFunctionMetrics::total_execution_time_ms>("total_execution_time_ms"),
    property<&CFunctionMetrics::last_compiled>(
        "last_compiled", "Timestamp of last compilation (matches TelemetryStore interface)."),
    // This docstring and the class docstring each call the other name the
    // alias; both names are the one field. Both texts are kept: callers match them.
    property<&CFunctionMetrics::last_compiled>(
        "last_compile_time", "Alias for last_compiled for backward compatibility."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* make_function_metrics(PyTypeObject* type, const CFunctionMetrics& record) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    // No other thread has seen the new instance yet.
    reinterpret_cast<Self*>(self)->_metrics = record;
    return self;
}

bool add_function_metrics(PyObject* module, State& st) noexcept {
    st.FunctionMetricsType = capi::create_type<Self>(
        module, st,
        {
            .name = "lumetra.jit.compilegate.FunctionMetrics",
            .doc = "Metrics for a function's execution and compilation.\n\n"
                   "Mirrors the interface of the pure-Python FunctionMetrics record kept by the\n"
                   "package's telemetry store, so that either can be handed to the policy.\n\n"
                   "Attributes:\n"
                   "    call_count: Number of times function has been called\n"
                   "    compile_count: Number of times function has been compiled\n"
                   "    avg_speedup: Average speedup from compilation\n"
                   "    total_execution_time_ms: Total execution time in milliseconds\n"
                   "    last_compile_time: Timestamp of last compilation (original API name)\n"
                   // Kept as written (callers match it), though the property's
                   // docstring names the other one the alias.
                   "    last_compiled: Alias for last_compile_time (matches TelemetryStore)\n",
            .constructor = capi::constructor<metrics_new, new_sig>(),
            .getset = getset,
        });
    return st.FunctionMetricsType != nullptr;
}

}  // namespace compilegate
