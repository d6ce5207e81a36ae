// AtomicCounterWrapper: an ordinary Python class (instance dictionary, base
// `object`) whose methods are native functions. Each method validates its
// `int` parameters, then looks up `self._counter` and calls the aliased
// py_* method on it, so replacing `_counter` is honoured.
#include "capi/capi.hpp"
#include "lockless.hpp"

namespace lockless {

namespace {

// Calls self._counter.<Method>(*args) with `args` already validated.
template <capi::Name Method, typename... Args>
PyObject* forward(const State& st, PyObject* self, Args&... args) noexcept {
    if (!(args.object() && ...)) return nullptr;
    capi::Ref counter = capi::Ref::steal(capi::attr<"_counter">(st, self));
    if (!counter) return nullptr;
    return capi::call_method<Method>(st, counter.get(), args.object()...);
}

constexpr capi::TypedSignature init_sig("__init__", capi::Arg<capi::PyInt>{"initial_value", 0});
PyObject* init(State& st, PyObject* self, capi::IntValue& initial_value) noexcept {
    if (!initial_value.object()) return nullptr;
    capi::Ref counter = capi::Ref::steal(PyObject_CallOneArg(
        reinterpret_cast<PyObject*>(st.AtomicCounterType), initial_value.object()));
    if (!counter || PyObject_SetAttr(self, st.names.get<"_counter">(), counter.get()) < 0) {
        return nullptr;
    }
    return capi::new_none();
}

constexpr capi::Signature load_sig("load");
PyObject* load(State& st, PyObject* self) noexcept { return forward<"py_load">(st, self); }

constexpr capi::TypedSignature store_sig("store", capi::Arg<capi::PyInt>{"value"});
PyObject* store(State& st, PyObject* self, capi::IntValue& value) noexcept {
    capi::Ref result = capi::Ref::steal(forward<"py_store">(st, self, value));
    if (!result) return nullptr;
    return capi::new_none();
}

// increment, decrement and fetch_and_add: one int, forwarded.
template <capi::Name Method>
PyObject* delta_op(State& st, PyObject* self, capi::IntValue& delta) noexcept {
    return forward<Method>(st, self, delta);
}

constexpr capi::TypedSignature increment_sig("increment", capi::Arg<capi::PyInt>{"delta", 1});
constexpr capi::TypedSignature decrement_sig("decrement", increment_sig);
constexpr capi::TypedSignature fetch_and_add_sig("fetch_and_add", capi::Arg<capi::PyInt>{"delta"});

constexpr capi::TypedSignature cas_sig("compare_and_swap", capi::Arg<capi::PyInt>{"expected"},
                                       capi::Arg<capi::PyInt>{"new_value"});
PyObject* compare_and_swap(State& st, PyObject* self, capi::IntValue& expected,
                           capi::IntValue& new_value) noexcept {
    return forward<"py_compare_and_swap">(st, self, expected, new_value);
}

const capi::FunctionDef methods[] = {
    capi::method<init, init_sig>(),
    capi::method<load, load_sig>(nullptr, "int"),
    capi::method<store, store_sig>(),
    capi::method<delta_op<"py_increment">, increment_sig>(nullptr, "int"),
    capi::method<delta_op<"py_decrement">, decrement_sig>(nullptr, "int"),
    capi::method<compare_and_swap, cas_sig>(nullptr, "bool"),
    capi::method<delta_op<"py_fetch_and_add">, fetch_and_add_sig>(nullptr, "int"),
};

}  // namespace

bool add_atomic_counter_wrapper(PyObject* module, State& st) noexcept {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return false;
    // The class docstring is kept as written: callers match it.
    capi::Ref ns = capi::Ref::steal(Py_BuildValue(
        "{s:s,s:s,s:s}", "__module__", module_name, "__qualname__", "AtomicCounterWrapper",
        "__doc__", "Python wrapper for Cython AtomicCounter (backward compatibility)."));
    if (!ns || !capi::add_methods(ns.get(), "AtomicCounterWrapper", module, st, methods)) {
        return false;
    }
    capi::Ref cls = capi::Ref::steal(PyObject_CallFunction(
        reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "AtomicCounterWrapper",
        reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get()));
    return cls && PyModule_AddObjectRef(module, "AtomicCounterWrapper", cls.get()) == 0;
}

}  // namespace lockless
