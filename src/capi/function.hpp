// The native function object.
//
// Every Python-visible function and method of the package is one of these: a
// vectorcall object that binds to instances like a Python function (its type
// has Py_TPFLAGS_METHOD_DESCRIPTOR, so `obj.method()` is called without creating
// a bound method), carries `__name__`, `__qualname__`, `__module__`, `__doc__`,
// `__annotations__` and a `__text_signature__` that `inspect.signature` reads,
// and can stand in a class under several names as one object.
//
// Entry points are generated from one declaration each (method<impl, sig>,
// function<impl, sig>, native<fn, sig> below): the arguments are parsed and
// converted as the signature declares and passed to a typed implementation;
// a method first checks that its first argument is an instance of the owner
// type when the function is called unbound.
#pragma once

#include <Python.h>

#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "args.hpp"
#include "fields.hpp"
#include "lock.hpp"
#include "ref.hpp"

namespace capi {

struct ModuleState;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    // The defining module's state (see state.hpp); valid as long as
    // `defining_module` is held, which only deallocation gives up.
    void* state;
    // Methods of extension types: the type `self` must be an instance of;
    // null for functions and for methods of ordinary Python classes.
    Ref owner;
    Ref defining_module;
    Ref name;
    Ref qualname;
    Ref module;
    Ref doc;
    Ref annotations;
    Ref text_signature;
    Ref dict;
    PyObject* weakrefs;  // the weak reference list, which owns nothing

    PyTypeObject* owner_type() const noexcept {
        return reinterpret_cast<PyTypeObject*>(owner.get());
    }

    // The collector clears what Python code can set; the names and the
    // signature are strings, and the owner and the defining module are kept
    // until deallocation: a call may still reach a function the collector has
    // cleared, and `state` points into the module.
    template <typename F>
    void for_each_ref(F&& f) noexcept {
        f(annotations);
        f(dict);
        f(doc);
        f(module);
        f(name, kept);
        f(qualname, kept);
        f(text_signature, kept);
        f(owner, kept);
        f(defining_module, kept);
    }
};

PyObject* raise_unbound(PyObject* callable) noexcept;
PyObject* raise_wrong_self(PyObject* callable, PyObject* self) noexcept;

template <typename State>
State& function_state(PyObject* callable) noexcept {
    return *static_cast<State*>(reinterpret_cast<FunctionObject*>(callable)->state);
}

// Declares one function: its signature (name, parameters, defaults and
// parameter annotations), entry point, docstring and return annotation.
struct FunctionDef {
    const Signature* sig;
    vectorcallfunc call;
    const char* doc = nullptr;
    const char* return_annotation = nullptr;
};

// How a typed method's body runs with respect to other threads.
enum class Sync {
    none,              // as it is: the implementation synchronises itself
    critical_section,  // inside a critical section on `self` (lock.hpp)
};

// A native result as a Python object: bool, int or float.
inline PyObject* to_python(bool value) noexcept { return new_bool(value); }
inline PyObject* to_python(int32_t value) noexcept { return PyLong_FromLong(value); }
inline PyObject* to_python(uint32_t value) noexcept { return PyLong_FromUnsignedLong(value); }
inline PyObject* to_python(int64_t value) noexcept { return PyLong_FromLongLong(value); }
inline PyObject* to_python(uint64_t value) noexcept { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* to_python(double value) noexcept { return PyFloat_FromDouble(value); }

namespace detail {

struct NoSection {
    explicit NoSection(PyObject*) noexcept {}
};

// The parameter list of a typed implementation.
template <typename F>
struct TypedImpl;
template <typename R, typename... P>
struct TypedImpl<R (*)(P...) noexcept> {
    using Params = std::tuple<P...>;
};

// True when an implementation's first parameter is the module state.
template <typename Params>
constexpr bool takes_state() noexcept {
    if constexpr (std::tuple_size_v<Params> == 0) {
        return false;
    } else {
        using First = std::tuple_element_t<0, Params>;
        return std::is_lvalue_reference_v<First> &&
               std::is_base_of_v<ModuleState, std::remove_cvref_t<First>>;
    }
}

// Calls `Impl(lead..., converted arguments...)` and makes its result the
// call's: an object (new reference, or null with an error set) as it is, a
// native number or truth value through to_python, nothing as None.
template <auto Impl, typename Values, std::size_t... I, typename... Lead>
[[gnu::always_inline]] inline PyObject* invoke(Values& values, std::index_sequence<I...>,
                                               Lead&&... lead) noexcept {
    using Result = decltype(Impl(std::forward<Lead>(lead)..., std::get<I>(values)...));
    if constexpr (std::is_void_v<Result>) {
        Impl(std::forward<Lead>(lead)..., std::get<I>(values)...);
        return new_none();
    } else if constexpr (std::is_same_v<Result, PyObject*>) {
        return Impl(std::forward<Lead>(lead)..., std::get<I>(values)...);
    } else {
        return to_python(Impl(std::forward<Lead>(lead)..., std::get<I>(values)...));
    }
}

template <auto Impl, typename Values, typename... Lead>
[[gnu::always_inline]] inline PyObject* invoke(Values& values, Lead&&... lead) noexcept {
    return invoke<Impl>(values, std::make_index_sequence<std::tuple_size_v<Values>>{},
                        std::forward<Lead>(lead)...);
}

// The module state an implementation takes first, or void.
template <typename Params, bool = takes_state<Params>()>
struct StateOf {
    using type = void;
};
template <typename Params>
struct StateOf<Params, true> {
    using type = std::remove_reference_t<std::tuple_element_t<0, Params>>;
};
template <typename Params>
using StateParam = typename StateOf<Params>::type;

template <auto Impl, const auto& Sig>
PyObject* typed_function_entry(PyObject* callable, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) noexcept {
    typename std::remove_cvref_t<decltype(Sig)>::Values values;
    if (!Sig.parse_all(args, PyVectorcall_NARGS(nargsf), kwnames, values)) return nullptr;
    using Params = typename TypedImpl<decltype(Impl)>::Params;
    if constexpr (takes_state<Params>()) {
        return invoke<Impl>(values, function_state<StateParam<Params>>(callable));
    } else {
        (void)callable;
        return invoke<Impl>(values);
    }
}

template <auto Impl, const auto& Sig, Sync S>
PyObject* typed_method_entry(PyObject* callable, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) return raise_unbound(callable);
    PyObject* self = args[0];
    PyTypeObject* owner = reinterpret_cast<FunctionObject*>(callable)->owner_type();
    if (owner != nullptr && !Py_IS_TYPE(self, owner) && !PyType_IsSubtype(Py_TYPE(self), owner)) {
        return raise_wrong_self(callable, self);
    }
    // Arguments are converted before the critical section: a conversion may
    // run Python code (__index__, __float__) that uses the same object.
    typename std::remove_cvref_t<decltype(Sig)>::Values values;
    if (!Sig.parse_all(args + 1, nargs - 1, kwnames, values)) return nullptr;
    using Params = typename TypedImpl<decltype(Impl)>::Params;
    constexpr bool with_state = takes_state<Params>();
    using Self = std::tuple_element_t<with_state ? 1 : 0, Params>;
    [[maybe_unused]] std::conditional_t<S == Sync::critical_section, CriticalSection, NoSection>
        section(self);
    if constexpr (with_state) {
        return invoke<Impl>(values, function_state<StateParam<Params>>(callable),
                            reinterpret_cast<Self>(self));
    } else {
        return invoke<Impl>(values, reinterpret_cast<Self>(self));
    }
}

}  // namespace detail

// method<impl, sig[, sync]>(doc, return annotation): a method whose
// arguments are parsed and converted as `sig` (a TypedSignature, or a plain
// Signature for none) declares, then passed to
//   impl([State& st,] Self* self, converted arguments...)
// in declaration order. The result is the call's: an object (a new reference,
// or null with an error set) as it is, a native number or truth value as
// to_python makes it, nothing as None. With Sync::critical_section the body
// runs inside a critical section on `self` (lock.hpp).
template <auto Impl, const auto& Sig, Sync S = Sync::none>
constexpr FunctionDef method(const char* doc = nullptr,
                             const char* return_annotation = nullptr) noexcept {
    return FunctionDef{&Sig, &detail::typed_method_entry<Impl, Sig, S>, doc, return_annotation};
}

// function<impl, sig>(doc, return annotation): a function whose arguments are
// parsed and converted as `sig` declares, then passed to
//   impl([State& st,] converted arguments...)
// with its result made the call's as for methods.
template <auto Impl, const auto& Sig>
constexpr FunctionDef function(const char* doc = nullptr,
                               const char* return_annotation = nullptr) noexcept {
    return FunctionDef{&Sig, &detail::typed_function_entry<Impl, Sig>, doc, return_annotation};
}

// native<fn, sig>: the same for a pure native function (no state), for the
// thin bindings that need no code of their own.
template <auto Fn, const auto& Sig>
constexpr FunctionDef native(const char* doc = nullptr,
                             const char* return_annotation = nullptr) noexcept {
    return function<Fn, Sig>(doc, return_annotation);
}

enum class Binding { method, function };

// Creates a function object of the module's function type, bound to the
// module and its state. `qualname_prefix` is the class name for methods
// (giving "Class.name") or null; `owner` as in FunctionObject. With
// Binding::method the text signature starts with `$self`.
PyObject* new_function(PyObject* module, ModuleState& st, void* state, const FunctionDef& def,
                       Binding binding, const char* qualname_prefix, PyTypeObject* owner) noexcept;

// The module's native function type, created once per module object.
PyTypeObject* new_function_type(PyObject* module) noexcept;

}  // namespace capi
