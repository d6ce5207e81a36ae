// Extension types, each made from one declaration.
//
// Types are heap types, immutable (like classes written in C: their attributes
// cannot be replaced from Python, so native code may call its own
// implementation directly when `type(self)` is the type itself) and
// subclassable. A class declares only what is its own:
//
//     constexpr capi::TypedSignature new_sig("AtomicCounter", capi::Arg<int64_t>{"initial_value",
//     0}); PyObject* counter_new(PyTypeObject* type, int64_t initial_value) noexcept; const
//     capi::FunctionDef methods[] = {capi::method<load, load_sig>("...", "int"), ...};
//
//     st.AtomicCounterType = capi::create_type<AtomicCounterObject>(module, st, {
//         .name = "lumetra.memory.lockless.AtomicCounter",
//         .doc = "...",
//         .constructor = capi::constructor<counter_new, new_sig>(),
//         .methods = methods,
//     });
//
// The rest follows from the instance struct `Self`: its size; whether the
// collector knows the type (it does when `Self` lists reference fields, visits
// native contents, or says `static constexpr bool collected = true`), and
// then its traverse, clear and deallocation, generated from the field list
// (fields.hpp); deallocation otherwise, which still releases native storage.
// Methods are native function objects (function.hpp) placed in the type's
// dictionary, with `__reduce__` and `__setstate__` refusing pickling; the
// docstring is led by the constructor's signature line; aliases are the same
// function objects under further names.
#pragma once

#include <Python.h>

#include <atomic>
#include <initializer_list>
#include <span>
#include <type_traits>

#include "fields.hpp"
#include "function.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace capi {

// A type's constructor (tp_new) and the parameters it declares.
struct Constructor {
    newfunc call = nullptr;
    const Signature* sig = nullptr;
};

namespace detail {

template <auto Impl, const auto& Sig>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    typename std::remove_cvref_t<decltype(Sig)>::Values values;
    if (!Sig.parse_tuple_all(args, kwargs, values)) return nullptr;
    using Params = typename TypedImpl<decltype(Impl)>::Params;
    if constexpr (takes_state<Params>()) {
        return invoke<Impl>(values, state_of<StateParam<Params>>(type), type);
    } else {
        return invoke<Impl>(values, type);
    }
}

}  // namespace detail

// constructor<impl, sig>(): tp_new from a typed implementation
//   impl([State& st,] PyTypeObject* type, converted arguments...)
// which returns the new instance (a new reference) or null with an error set;
// the call's arguments are parsed and converted as `sig` declares, and `sig`
// gives the docstring's signature line.
template <auto Impl, const auto& Sig>
constexpr Constructor constructor() noexcept {
    return Constructor{&detail::constructor_entry<Impl, Sig>, &Sig};
}

// Everything a type declares of its own.
struct Type {
    const char* name;  // dotted: the module's name, then the class's
    const char* doc = nullptr;
    Constructor constructor = {};
    std::span<const FunctionDef> methods = {};
    std::span<const FunctionDef> static_methods = {};
    // Properties, ending with an empty entry; kept by the type, so static.
    PyGetSetDef* getset = nullptr;
    // Any further slots (tp_repr, sq_length, ...).
    std::span<const PyType_Slot> slots = {};
    // Instances cannot be pickled: __reduce__ and __setstate__ raise.
    bool no_pickle = true;
};

// What a type's instances need of the shared layer, from their struct.
struct Shape {
    Py_ssize_t basicsize;
    bool collected;
    destructor dealloc;
    traverseproc traverse;
    inquiry clear;
};

namespace detail {

// tp_dealloc of a type the collector does not know: native storage, then
// the instance and its reference to the type.
template <typename Self>
void dealloc_plain(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    release(reinterpret_cast<Self*>(self));
    type->tp_free(self);
    Py_DECREF(type);
}

template <typename Self>
constexpr bool collected() noexcept {
    if constexpr (requires { Self::collected; }) {
        if (Self::collected) return true;
    }
    return HasRefs<Self> || requires(Self& s, visitproc v, void* a) { s.visit_native(v, a); };
}

template <typename Self>
constexpr Shape shape() noexcept {
    static_assert(std::is_standard_layout_v<Self>, "an instance struct starts with PyObject_HEAD");
    if constexpr (collected<Self>()) {
        return {sizeof(Self), true, dealloc_gc<Self>, traverse<Self>, clear<Self>};
    } else {
        return {sizeof(Self), false, dealloc_plain<Self>, nullptr, nullptr};
    }
}

PyTypeObject* create_type(PyObject* module, ModuleState& st, void* state, const Type& decl,
                          const Shape& shape) noexcept;

}  // namespace detail

// Creates the type `decl` declares, for instances laid out as `Self`, fills
// its dictionary and binds it in `module` under its class name; its methods
// carry the module's state. Returns a new reference or null.
template <typename Self, typename State>
PyTypeObject* create_type(PyObject* module, State& st, const Type& decl) noexcept {
    return detail::create_type(module, st, &st, decl, detail::shape<Self>());
}

// Property deleters: deleting a native property raises NotImplementedError "__del__".
inline int reject_delete() noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// A plain field of an instance read or written while other threads may use
// the instance: each access is one relaxed atomic access, so it is whole, as
// a single attribute access was under the interpreter lock; nothing orders it
// with the instance's other fields (Python code setting attributes one by one
// never had that either).
template <typename T>
T relaxed_load(const T& field) noexcept {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}
template <typename T>
void relaxed_store(T& field, T value) noexcept {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

namespace detail {

template <typename M>
struct MemberOf;
template <typename C, typename T>
struct MemberOf<T C::*> {
    using Class = C;
    using Type = T;
};

template <auto Record, auto Field>
auto& record_field(PyObject* self) noexcept {
    using Self = typename MemberOf<decltype(Record)>::Class;
    return reinterpret_cast<Self*>(self)->*Record.*Field;
}

template <auto Record, auto Field>
PyObject* get_field(PyObject* self, void*) noexcept {
    return to_python(relaxed_load(record_field<Record, Field>(self)));
}

template <auto Record, auto Field, typename K>
int set_field(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) return reject_delete();
    typename Convert<K>::type converted;
    if (!Convert<K>::convert(value, converted, nullptr)) return -1;
    relaxed_store(record_field<Record, Field>(self), converted);
    return 0;
}

}  // namespace detail

// A property over `Field` of the native record `Record` of the instance
// (`&Object::record`, `&Record::field`): reading gives the value as to_python
// makes it; writing converts as kind K does (by default the field's own
// type), a failed conversion leaving the field unchanged; deleting raises
// NotImplementedError "__del__". Each access is relaxed_load/relaxed_store.
template <auto Record, auto Field, typename K = typename detail::MemberOf<decltype(Field)>::Type>
constexpr PyGetSetDef record_property(const char* name, const char* doc = nullptr) noexcept {
    return {name, &detail::get_field<Record, Field>, &detail::set_field<Record, Field, K>, doc,
            nullptr};
}

struct Alias {
    const char* alias;
    const char* target;
};

// Adds `alias = target` entries to a type created by create_type.
bool add_aliases(PyTypeObject* type, std::initializer_list<Alias> aliases) noexcept;

// The one rule for native code that could run a type's own implementation of
// its methods or properties instead of looking them up on the instance: true
// when `self` (an instance of `base` or of a subclass) is of a Python subclass
// that replaces any of the attributes `names`, or attribute lookup itself
// (`__getattribute__`); native code must then go through Python. For an
// instance of `base` itself, or of a subclass that replaces none of them, the
// lookup would find the type's own implementation, which native code may then
// run directly. No error is ever set.
bool overridden(PyObject* self, PyTypeObject* base,
                std::initializer_list<PyObject*> names) noexcept;
inline bool overridden(PyObject* self, PyTypeObject* base, PyObject* name) noexcept {
    return overridden(self, base, {name});
}

}  // namespace capi
