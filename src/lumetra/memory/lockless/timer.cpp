// Binding of PerformanceTimer: a start/elapsed timer on the interpreter's
// nanosecond performance clock.
//
// `time` is imported at each call (a lookup in sys.modules once it is loaded)
// and `time.perf_counter_ns` looked up on it, so a replaced clock is honoured.
// elapsed_us() and elapsed_ms() go through `self.elapsed_ns()`, so a subclass
// override is honoured. No synchronisation: one instance is meant for one
// thread at a time.
#include "capi/capi.hpp"
#include "lockless.hpp"

namespace lockless {

namespace {

using Self = PerformanceTimerObject;

PyTypeObject* TimerType = nullptr;
PyObject* s_time = nullptr;
PyObject* s_perf_counter_ns = nullptr;
PyObject* s_elapsed_ns = nullptr;
PyObject* thousand = nullptr;
PyObject* million = nullptr;

// time.perf_counter_ns(), importing `time` as the statement `import time` does.
PyObject* perf_counter_ns() noexcept {
    capi::Ref time =
        capi::Ref::steal(PyImport_ImportModuleLevelObject(s_time, nullptr, nullptr, nullptr, 0));
    if (!time) return nullptr;
    return capi::call_method(time.get(), s_perf_counter_ns);
}

constexpr capi::Signature new_sig("PerformanceTimer");

PyObject* timer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    capi::Args<1> a;  // no parameters: any argument is reported
    if (!a.parse_tuple(new_sig, args, kwargs)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<Self*>(self)->start_time_ns = 0;
    return self;
}

constexpr capi::Signature start_sig("start");
PyObject* start(Self* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(start_sig, nargs, kwnames)) return nullptr;
    capi::Ref now = capi::Ref::steal(perf_counter_ns());
    int64_t value;
    if (!now || !capi::to_int64(now.get(), value)) return nullptr;
    self->start_time_ns = value;
    Py_RETURN_NONE;
}

PyObject* elapsed_ns_impl(Self* self) noexcept {
    capi::Ref now = capi::Ref::steal(perf_counter_ns());
    if (!now) return nullptr;
    capi::Ref start_ns = capi::Ref::steal(PyLong_FromLongLong(self->start_time_ns));
    if (!start_ns) return nullptr;
    // Arbitrary precision: the difference never overflows.
    return PyNumber_Subtract(now.get(), start_ns.get());
}

constexpr capi::Signature elapsed_ns_sig("elapsed_ns");
PyObject* elapsed_ns(Self* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(elapsed_ns_sig, nargs, kwnames)) return nullptr;
    return elapsed_ns_impl(self);
}

// self.elapsed_ns() scaled: an int or float reading is converted to float and
// multiplied by `factor`; any other object is true-divided by `divisor`.
PyObject* scaled_elapsed(Self* self, double factor, PyObject* divisor) noexcept {
    capi::Ref ns;
    if (Py_IS_TYPE(self, TimerType)) {
        ns = capi::Ref::steal(elapsed_ns_impl(self));
    } else {
        ns = capi::Ref::steal(capi::call_method(reinterpret_cast<PyObject*>(self), s_elapsed_ns));
    }
    if (!ns) return nullptr;
    double value;
    if (PyLong_Check(ns.get())) {
        value = PyLong_AsDouble(ns.get());
        if (value == -1.0 && PyErr_Occurred()) return nullptr;
    } else if (PyFloat_Check(ns.get())) {
        value = PyFloat_AS_DOUBLE(ns.get());
    } else {
        return PyNumber_TrueDivide(ns.get(), divisor);
    }
    return PyFloat_FromDouble(value * factor);
}

constexpr capi::Signature elapsed_us_sig("elapsed_us");
PyObject* elapsed_us(Self* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(elapsed_us_sig, nargs, kwnames)) return nullptr;
    return scaled_elapsed(self, 0.001, thousand);
}

constexpr capi::Signature elapsed_ms_sig("elapsed_ms");
PyObject* elapsed_ms(Self* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(elapsed_ms_sig, nargs, kwnames)) return nullptr;
    return scaled_elapsed(self, 1e-6, million);
}

const capi::FunctionDef methods[] = {
    capi::method<Self, start>(start_sig, "Start timing."),
    capi::method<Self, elapsed_ns>(elapsed_ns_sig, "Get elapsed time in nanoseconds.", "int"),
    capi::method<Self, elapsed_us>(elapsed_us_sig, "Get elapsed time in microseconds.", "float"),
    capi::method<Self, elapsed_ms>(elapsed_ms_sig, "Get elapsed time in milliseconds.", "float"),
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(timer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(capi::dealloc_plain)},
    {Py_tp_doc, const_cast<char*>("PerformanceTimer()\n--\n\n"
                                  "High-resolution timer for performance measurement.")},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "lumetra.memory.lockless.PerformanceTimer",
    sizeof(Self),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

bool add_performance_timer(PyObject* module) noexcept {
    if (!capi::intern_all({{s_time, "time"},
                           {s_perf_counter_ns, "perf_counter_ns"},
                           {s_elapsed_ns, "elapsed_ns"}})) {
        return false;
    }
    if (thousand == nullptr) {
        thousand = PyFloat_FromDouble(1000.0);
        million = PyFloat_FromDouble(1e6);
        if (!thousand || !million) return false;
    }
    TimerType = capi::create_type(module, {&type_spec, methods});
    return TimerType != nullptr;
}

}  // namespace lockless
