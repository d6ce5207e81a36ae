// Binding of PerformanceTimer: a start/elapsed timer on the interpreter's
// nanosecond performance clock.
//
// `time` is imported at each call (a lookup in sys.modules once it is loaded)
// and `time.perf_counter_ns` looked up on it, so a replaced clock is honoured.
// elapsed_us() and elapsed_ms() go through `self.elapsed_ns()`, so a subclass
// override is honoured. No synchronisation: one instance is meant for one
// thread at a time. The start is still read and written as a relaxed atomic
// (it publishes nothing else), so that threads sharing a timer against that
// advice read a start some thread wrote rather than racing on a plain field.
#include "capi/capi.hpp"
#include "lockless.hpp"

namespace lockless {

namespace {

using Self = PerformanceTimerObject;

// time.perf_counter_ns(), importing `time` as the statement `import time` does.
PyObject* perf_counter_ns(const State& st) noexcept {
    capi::Ref time = capi::Ref::steal(
        PyImport_ImportModuleLevelObject(st.names.get<"time">(), nullptr, nullptr, nullptr, 0));
    if (!time) return nullptr;
    return capi::call_method<"perf_counter_ns">(st, time.get());
}

constexpr capi::Signature new_sig("PerformanceTimer");

// The start is 0 in the new instance's zero-filled memory.
PyObject* timer_new(PyTypeObject* type) noexcept {
    return reinterpret_cast<PyObject*>(capi::alloc<Self>(type));
}

constexpr capi::Signature start_sig("start");
PyObject* start(State& st, Self* self) noexcept {
    capi::Ref now = capi::Ref::steal(perf_counter_ns(st));
    int64_t value;
    if (!now || !capi::to_int64(now.get(), value)) return nullptr;
    capi::relaxed_store(self->start_time_ns, value);
    return capi::new_none();
}

PyObject* elapsed_ns_impl(const State& st, Self* self) noexcept {
    capi::Ref now = capi::Ref::steal(perf_counter_ns(st));
    if (!now) return nullptr;
    capi::Ref start_ns =
        capi::Ref::steal(PyLong_FromLongLong(capi::relaxed_load(self->start_time_ns)));
    if (!start_ns) return nullptr;
    // Arbitrary precision: the difference never overflows.
    return PyNumber_Subtract(now.get(), start_ns.get());
}

constexpr capi::Signature elapsed_ns_sig("elapsed_ns");
PyObject* elapsed_ns(State& st, Self* self) noexcept { return elapsed_ns_impl(st, self); }

// self.elapsed_ns() scaled: an int or float reading is converted to float and
// multiplied by `factor`; any other object is true-divided by `divisor`.
PyObject* scaled_elapsed(const State& st, Self* self, double factor, PyObject* divisor) noexcept {
    capi::Ref ns;
    if (!capi::overridden(reinterpret_cast<PyObject*>(self), st.PerformanceTimerType,
                          st.names.get<"elapsed_ns">())) {
        ns = capi::Ref::steal(elapsed_ns_impl(st, self));
    } else {
        ns = capi::Ref::steal(
            capi::call_method<"elapsed_ns">(st, reinterpret_cast<PyObject*>(self)));
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
PyObject* elapsed_us(State& st, Self* self) noexcept {
    return scaled_elapsed(st, self, 0.001, st.thousand);
}

constexpr capi::Signature elapsed_ms_sig("elapsed_ms");
PyObject* elapsed_ms(State& st, Self* self) noexcept {
    return scaled_elapsed(st, self, 1e-6, st.million);
}

const capi::FunctionDef methods[] = {
    capi::method<start, start_sig>("Start timing."),
    capi::method<elapsed_ns, elapsed_ns_sig>("Get elapsed time in nanoseconds.", "int"),
    capi::method<elapsed_us, elapsed_us_sig>("Get elapsed time in microseconds.", "float"),
    capi::method<elapsed_ms, elapsed_ms_sig>("Get elapsed time in milliseconds.", "float"),
};

}  // namespace

bool add_performance_timer(PyObject* module, State& st) noexcept {
    if ((st.thousand = PyFloat_FromDouble(1000.0)) == nullptr ||
        (st.million = PyFloat_FromDouble(1e6)) == nullptr) {
        return false;
    }
    st.PerformanceTimerType =
        capi::create_type<Self>(module, st,
                                {
                                    .name = "lumetra.memory.lockless.PerformanceTimer",
                                    .doc = "High-resolution timer for performance measurement.",
                                    .constructor = capi::constructor<timer_new, new_sig>(),
                                    .methods = methods,
                                });
    return st.PerformanceTimerType != nullptr;
}

}  // namespace lockless
