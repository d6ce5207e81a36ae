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

#include "fields.hpp"
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

}  // namespace capi
