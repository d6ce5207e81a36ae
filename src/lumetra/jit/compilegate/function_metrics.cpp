// Binding of FunctionMetrics: one function's telemetry record behind Python
// properties.
//
// `last_compiled` and `last_compile_time` are two names of the one stored
// field. Every value the conversions accept is stored; a failed conversion
// leaves the field unchanged.
#include <type_traits>

#include "capi/capi.hpp"
#include "compilegate.hpp"

namespace compilegate {

namespace {

using Self = FunctionMetricsObject;

Self* as_metrics(PyObject* obj) noexcept { return reinterpret_cast<Self*>(obj); }

constexpr CFunctionMetrics defaults{};
constexpr capi::TypedSignature new_sig(
    "FunctionMetrics", capi::Arg<uint64_t>{"call_count", defaults.call_count},
    capi::Arg<uint32_t>{"compile_count", defaults.compile_count},
    capi::Arg<double>{"avg_speedup", defaults.avg_speedup},
    capi::Arg<double>{"total_execution_time_ms", defaults.total_execution_time_ms},
    capi::Arg<double>{"last_compile_time", defaults.last_compiled},
    capi::Arg<PyObject*>{"last_compiled", capi::none});

PyObject* metrics_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    CFunctionMetrics record;
    double last_compile_time;
    PyObject* last_compiled;
    double last_compiled_value = -1.0;
    if (!new_sig.parse_tuple(args, kwargs, record.call_count, record.compile_count,
                             record.avg_speedup, record.total_execution_time_ms, last_compile_time,
                             last_compiled) ||
        (last_compiled != Py_None && !capi::to_double(last_compiled, last_compiled_value))) {
        return nullptr;
    }
    // An omitted, None or negative `last_compiled` defers to `last_compile_time`.
    record.last_compiled = last_compiled_value >= 0 ? last_compiled_value : last_compile_time;
    return make_function_metrics(type, record);
}

template <typename T, T CFunctionMetrics::* Field>
PyObject* get_field(PyObject* self, void*) noexcept {
    const T value = as_metrics(self)->_metrics.*Field;
    if constexpr (std::is_same_v<T, double>) {
        return PyFloat_FromDouble(value);
    } else {
        return PyLong_FromUnsignedLongLong(value);
    }
}

// Property writes convert as the constructor does.
template <typename T, T CFunctionMetrics::* Field>
int set_field(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) return capi::reject_delete();
    T converted;
    if (!capi::Convert<T>::convert(value, converted, nullptr)) return -1;
    as_metrics(self)->_metrics.*Field = converted;
    return 0;
}

#define METRICS_FIELD(T, name) \
    get_field<T, &CFunctionMetrics::name>, set_field<T, &CFunctionMetrics::name>

PyGetSetDef getset[] = {
    {"call_count", METRICS_FIELD(uint64_t, call_count), nullptr, nullptr},
    {"compile_count", METRICS_FIELD(uint32_t, compile_count), nullptr, nullptr},
    {"avg_speedup", METRICS_FIELD(double, avg_speedup), nullptr, nullptr},
    {"total_execution_time_ms", METRICS_FIELD(double, total_execution_time_ms), nullptr, nullptr},
    {"last_compiled", METRICS_FIELD(double, last_compiled),
     "Timestamp of last compilation (matches TelemetryStore interface).", nullptr},
    // This docstring and the class docstring each call the other name the
    // alias; both names are the one field. Both texts are kept: callers match them.
    {"last_compile_time", METRICS_FIELD(double, last_compiled),
     "Alias for last_compiled for backward compatibility.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef METRICS_FIELD

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(metrics_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(capi::dealloc_plain)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>(
                    "Metrics for a function's execution and compilation.\n\n"
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
                    "    last_compiled: Alias for last_compile_time (matches TelemetryStore)\n")},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "lumetra.jit.compilegate.FunctionMetrics",
    sizeof(Self),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyObject* make_function_metrics(PyTypeObject* type, const CFunctionMetrics& record) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_metrics(self)->_metrics = record;
    return self;
}

bool add_function_metrics(PyObject* module, State& st) noexcept {
    st.FunctionMetricsType =
        capi::create_type(module, st, {.type_spec = &type_spec, .constructor = &new_sig});
    return st.FunctionMetricsType != nullptr;
}

}  // namespace compilegate
