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
PyObject* forward(const State& st, PyObject* self, Args... args) noexcept {
    capi::Ref counter = capi::Ref::steal(capi::attr<"_counter">(st, self));
    if (!counter) return nullptr;
    return capi::call_method<Method>(st, counter.get(), args...);
}

// Validated `int` parameter, or the default when omitted.
capi::Ref int_arg(PyObject* given, const char* name, long default_value) noexcept {
    if (given == nullptr) return capi::Ref::steal(PyLong_FromLong(default_value));
    return capi::Ref::steal(capi::int_param(given, name));
}

constexpr capi::Param init_params[] = {{"initial_value", "0", "int"}};
constexpr capi::Signature init_sig("__init__", init_params);
PyObject* init(State& st, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    capi::Args<1> a;
    if (!a.parse(init_sig, args, nargs, kwnames)) return nullptr;
    capi::Ref initial_value = int_arg(a[0], "initial_value", 0);
    if (!initial_value) return nullptr;
    capi::Ref counter = capi::Ref::steal(PyObject_CallOneArg(
        reinterpret_cast<PyObject*>(st.AtomicCounterType), initial_value.get()));
    if (!counter || PyObject_SetAttr(self, st.names.get<"_counter">(), counter.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr capi::Signature load_sig("load");
PyObject* load(State& st, PyObject* self, PyObject* const*, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(load_sig, nargs, kwnames)) return nullptr;
    return forward<"py_load">(st, self);
}

constexpr capi::Param store_params[] = {{"value", nullptr, "int"}};
constexpr capi::Signature store_sig("store", store_params);
PyObject* store(State& st, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    capi::Args<1> a;
    if (!a.parse(store_sig, args, nargs, kwnames)) return nullptr;
    capi::Ref value = int_arg(a[0], "value", 0);
    if (!value) return nullptr;
    capi::Ref result = capi::Ref::steal(forward<"py_store">(st, self, value.get()));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

template <capi::Name Method, const capi::Signature& Sig>
PyObject* delta_op(State& st, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    capi::Args<1> a;
    if (!a.parse(Sig, args, nargs, kwnames)) return nullptr;
    capi::Ref delta = int_arg(a[0], "delta", 1);
    if (!delta) return nullptr;
    return forward<Method>(st, self, delta.get());
}

constexpr capi::Param delta_default_params[] = {{"delta", "1", "int"}};
constexpr capi::Param delta_required_params[] = {{"delta", nullptr, "int"}};
constexpr capi::Signature increment_sig("increment", delta_default_params);
constexpr capi::Signature decrement_sig("decrement", delta_default_params);
constexpr capi::Signature fetch_and_add_sig("fetch_and_add", delta_required_params);

constexpr capi::Param cas_params[] = {{"expected", nullptr, "int"}, {"new_value", nullptr, "int"}};
constexpr capi::Signature cas_sig("compare_and_swap", cas_params);
PyObject* compare_and_swap(State& st, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    capi::Args<2> a;
    if (!a.parse(cas_sig, args, nargs, kwnames)) return nullptr;
    capi::Ref expected = int_arg(a[0], "expected", 0);
    if (!expected) return nullptr;
    capi::Ref new_value = int_arg(a[1], "new_value", 0);
    if (!new_value) return nullptr;
    return forward<"py_compare_and_swap">(st, self, expected.get(), new_value.get());
}

const capi::FunctionDef methods[] = {
    capi::method<init>(init_sig),
    capi::method<load>(load_sig, nullptr, "int"),
    capi::method<store>(store_sig),
    capi::method<delta_op<"py_increment", increment_sig>>(increment_sig, nullptr, "int"),
    capi::method<delta_op<"py_decrement", decrement_sig>>(decrement_sig, nullptr, "int"),
    capi::method<compare_and_swap>(cas_sig, nullptr, "bool"),
    capi::method<delta_op<"py_fetch_and_add", fetch_and_add_sig>>(fetch_and_add_sig, nullptr,
                                                                  "int"),
};

}  // namespace

bool add_atomic_counter_wrapper(PyObject* module, State& st) noexcept {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return false;
    // The class docstring is kept as written: callers match it.
    capi::Ref ns = capi::Ref::steal(Py_BuildValue(
        "{s:s,s:s,s:s}", "__module__", module_name, "__qualname__", "AtomicCounterWrapper",
        "__doc__", "Python wrapper for Cython AtomicCounter (backward compatibility)."));
    if (!ns) return false;
    for (const capi::FunctionDef& def : methods) {
        capi::Ref func = capi::Ref::steal(capi::new_function(
            module, st, &st, def, capi::Binding::method, "AtomicCounterWrapper", nullptr));
        if (!func || PyDict_SetItemString(ns.get(), def.sig->name, func.get()) < 0) return false;
    }
    capi::Ref cls = capi::Ref::steal(PyObject_CallFunction(
        reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "AtomicCounterWrapper",
        reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get()));
    return cls && PyModule_AddObjectRef(module, "AtomicCounterWrapper", cls.get()) == 0;
}

}  // namespace lockless
