// Helpers for extension types.
//
// Types are heap types created from a PyType_Spec, immutable (like classes
// written in C: their attributes cannot be replaced from Python, so native code
// may call its own implementation directly when `type(self)` is the type
// itself) and subclassable. Methods are native function objects placed in the
// type's dictionary; aliases are the same objects under further names.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <span>

#include "function.hpp"
#include "ref.hpp"

namespace capi {

struct Alias {
    const char* alias;
    const char* target;
};

struct TypeDef {
    PyType_Spec* type_spec;
    std::span<const FunctionDef> methods = {};
    std::span<const FunctionDef> static_methods = {};
    // Instances cannot be pickled: __reduce__ and __setstate__ raise.
    bool no_pickle = true;
    // The constructor's parameters: when given, the type's docstring (its
    // Py_tp_doc slot, or none) is preceded by the signature line
    // "Name(a, b=1)\n--\n\n" that `inspect.signature` reads.
    const Signature* constructor = nullptr;
};

struct ModuleState;

// Creates the type, fills its dictionary and binds it in `module` under the
// last component of type_spec->name; its methods carry the module's state
// (function.hpp). Returns a new reference or null.
PyTypeObject* create_type(PyObject* module, ModuleState& st, void* state,
                          const TypeDef& def) noexcept;
template <typename State>
PyTypeObject* create_type(PyObject* module, State& st, const TypeDef& def) noexcept {
    return create_type(module, st, &st, def);
}

// Adds `alias = target` entries to a type created by create_type.
bool add_aliases(PyTypeObject* type, std::initializer_list<Alias> aliases) noexcept;

// Sets a class attribute of a type created by create_type (steals nothing).
bool set_type_attr(PyTypeObject* type, const char* name, PyObject* value) noexcept;

// Property deleters: deleting a native property raises NotImplementedError "__del__".
inline int reject_delete() noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// True when `self` is an instance of a Python subclass of `base` whose class
// replaces the method `name`: native code must then call the override instead
// of its own implementation. No error is ever set.
bool overridden(PyObject* self, PyTypeObject* base, PyObject* name) noexcept;

// Standard tp_dealloc for a non-GC heap type without owned references.
void dealloc_plain(PyObject* self) noexcept;

// Instance fields that own references.
//
// An instance keeps each owned reference in a `Ref` field (tp_alloc hands out
// zero-filled memory, which is a null Ref, so fields need no construction)
// and its type lists those fields once:
//
//     struct PointerObject {
//         PyObject_HEAD VersionedCell<PyObject> cell;
//         capi::Ref lock;
//         template <typename F>
//         void for_each_ref(F&& f) noexcept { f(lock, capi::kept); }
//     };
//
// tp_traverse (`traverse<Self>`), tp_clear (`clear<Self>`) and tp_dealloc
// (`dealloc_gc<Self>`) follow from the list. The collector visits every
// field; tp_clear nulls each field before dropping its reference, except the
// fields marked `capi::kept`: methods use those without a check, and they
// close no cycle on their own (a threading.Lock holds no references).
// Deallocation releases every field. What an instance owns besides plain
// fields is handled by optional members, which the generated slots call:
//   int visit_native(visitproc, void*) noexcept  visits it (a cell's object)
//   void clear_native() noexcept    empties it, first in tp_clear and dealloc
//   void release_native() noexcept  frees native storage, last in dealloc
struct Kept {};
inline constexpr Kept kept{};

namespace detail {

struct AnyField {
    template <typename... Mark>
    void operator()(Ref&, Mark...) const noexcept {}
};

template <typename Self>
concept HasRefs = requires(Self& self) { self.for_each_ref(AnyField{}); };

// What deallocation gives up: the native contents, every field (set to null
// before its reference is dropped), then native storage.
template <typename Self>
void release(Self* self) noexcept {
    if constexpr (requires { self->clear_native(); }) self->clear_native();
    if constexpr (HasRefs<Self>) {
        self->for_each_ref([](Ref& field, auto...) { field.reset(); });
    }
    if constexpr (requires { self->release_native(); }) self->release_native();
}

}  // namespace detail

template <typename Self>
int traverse(PyObject* obj, visitproc visit, void* arg) noexcept {
    Self* self = reinterpret_cast<Self*>(obj);
    Py_VISIT(Py_TYPE(obj));
    int result = 0;
    if constexpr (detail::HasRefs<Self>) {
        self->for_each_ref([&](Ref& field, auto...) {
            if (result == 0 && field) result = visit(field.get(), arg);
        });
    }
    if constexpr (requires { self->visit_native(visit, arg); }) {
        if (result == 0) result = self->visit_native(visit, arg);
    }
    return result;
}

template <typename Self>
int clear(PyObject* obj) noexcept {
    Self* self = reinterpret_cast<Self*>(obj);
    if constexpr (requires { self->clear_native(); }) self->clear_native();
    if constexpr (detail::HasRefs<Self>) {
        self->for_each_ref([](Ref& field, auto... mark) {
            if constexpr (sizeof...(mark) == 0) field.reset();
        });
    }
    return 0;
}

// tp_dealloc of a heap type the collector tracks: untrack, then (inside the
// interpreter's trashcan, so that freeing a deeply nested structure does not
// exhaust the C stack) release what the instance owns, as described above,
// free the instance and drop its type. The release may run arbitrary Python
// code.
template <typename Self>
void dealloc_gc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, dealloc_gc<Self>) if (type->tp_weaklistoffset != 0)
        PyObject_ClearWeakRefs(self);
    detail::release(reinterpret_cast<Self*>(self));
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

}  // namespace capi
