#include "types.hpp"

#include <cstring>

#include "internals.hpp"
#include "state.hpp"

namespace capi {

namespace {

// Kept as written, though nothing here has a __cinit__: callers match this text.
constexpr const char* no_pickle_text = "no default __reduce__ due to non-trivial __cinit__";

constexpr Signature reduce_sig("__reduce__");
constexpr TypedSignature setstate_sig("__setstate__", Arg<PyObject*>{"state"});

PyObject* reduce_impl(PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, no_pickle_text);
    return nullptr;
}

PyObject* setstate_impl(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, no_pickle_text);
    return nullptr;
}

const FunctionDef no_pickle_methods[] = {
    method<reduce_impl, reduce_sig>("Instances cannot be pickled."),
    method<setstate_impl, setstate_sig>("Instances cannot be pickled."),
};

const char* short_name(const char* dotted) noexcept {
    const char* dot = std::strrchr(dotted, '.');
    return dot ? dot + 1 : dotted;
}

bool add_functions(PyTypeObject* type, std::span<const FunctionDef> defs, bool static_method,
                   PyObject* module, ModuleState& st, void* state) noexcept {
    const char* class_name = short_name(type->tp_name);
    for (const FunctionDef& def : defs) {
        const Binding binding = static_method ? Binding::function : Binding::method;
        PyTypeObject* owner = static_method ? nullptr : type;
        Ref func = Ref::steal(new_function(module, st, state, def, binding, class_name, owner));
        if (!func) return false;
        if (static_method) {
            func = Ref::steal(PyStaticMethod_New(func.get()));
            if (!func) return false;
            // The wrapper is what a lookup on the type finds and counts.
            internals::share_between_threads(func.get(), module);
        }
        if (PyDict_SetItemString(type->tp_dict, def.sig->name, func.get()) < 0) return false;
    }
    return true;
}

// The docstring of a type: its own, led by the constructor's signature line
// "Name(a, b=1)\n--\n\n" when it declares a constructor. A new str, or
// null with an error set; None when there is neither.
PyObject* type_doc(const Type& decl) noexcept {
    if (decl.constructor.sig == nullptr) {
        return decl.doc ? PyUnicode_FromString(decl.doc) : new_none();
    }
    Ref signature = Ref::steal(text_signature(*decl.constructor.sig, false));
    if (!signature) return nullptr;
    return PyUnicode_FromFormat("%s%U\n--\n\n%s", decl.constructor.sig->name, signature.get(),
                                decl.doc ? decl.doc : "");
}

}  // namespace

PyTypeObject* detail::create_type(PyObject* module, ModuleState& st, void* state, const Type& decl,
                                  const Shape& shape) noexcept {
    Ref doc = Ref::steal(type_doc(decl));
    if (!doc) return nullptr;
    const char* doc_text = doc.get() == Py_None ? nullptr : PyUnicode_AsUTF8(doc.get());
    if (doc_text == nullptr && PyErr_Occurred()) return nullptr;
    // The slot table is copied by the interpreter (and the docstring with it).
    PyType_Slot* slots = PyMem_New(PyType_Slot, decl.slots.size() + 7);
    if (slots == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    std::size_t n = 0;
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(shape.dealloc)};
    if (shape.collected) {
        slots[n++] = {Py_tp_traverse, reinterpret_cast<void*>(shape.traverse)};
        slots[n++] = {Py_tp_clear, reinterpret_cast<void*>(shape.clear)};
    }
    if (decl.constructor.call) {
        slots[n++] = {Py_tp_new, reinterpret_cast<void*>(decl.constructor.call)};
    }
    if (decl.getset) slots[n++] = {Py_tp_getset, decl.getset};
    if (doc_text) slots[n++] = {Py_tp_doc, const_cast<char*>(doc_text)};
    for (const PyType_Slot& slot : decl.slots) slots[n++] = slot;
    slots[n] = {0, nullptr};
    PyType_Spec description = {
        decl.name,
        static_cast<int>(shape.basicsize),
        0,
        static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE |
                                  Py_TPFLAGS_IMMUTABLETYPE |
                                  (shape.collected ? Py_TPFLAGS_HAVE_GC : 0UL)),
        slots,
    };
    Ref type = Ref::steal(internals::new_heap_type(module, &description));
    PyMem_Free(slots);
    if (!type) return nullptr;
    // Every thread makes instances, each of which holds its type.
    internals::share_between_threads(type.get(), module);
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    if (!add_functions(t, decl.methods, false, module, st, state) ||
        !add_functions(t, decl.static_methods, true, module, st, state) ||
        (decl.no_pickle && !add_functions(t, no_pickle_methods, false, module, st, state))) {
        return nullptr;
    }
    PyType_Modified(t);
    if (PyModule_AddObjectRef(module, short_name(t->tp_name), type.get()) < 0) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type.release());
}

bool add_aliases(PyTypeObject* type, std::initializer_list<Alias> aliases) noexcept {
    for (const Alias& a : aliases) {
        // Not PyDict_GetItemString: it hides a failure to make the key, which
        // would then be reported as a missing attribute.
        Ref key = Ref::steal(PyUnicode_FromString(a.target));
        if (!key) return false;
        PyObject* target = PyDict_GetItemWithError(type->tp_dict, key.get());
        if (target == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_AttributeError, "no attribute %s to alias", a.target);
            }
            return false;
        }
        if (PyDict_SetItemString(type->tp_dict, a.alias, target) < 0) return false;
    }
    PyType_Modified(type);
    return true;
}

bool overridden(PyObject* self, PyTypeObject* base,
                std::initializer_list<PyObject*> names) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (type == base) return false;
    if (type->tp_getattro != base->tp_getattro) return true;
    // The lookups only read type dictionaries and set no error; only the
    // found objects' identities are compared.
    for (PyObject* name : names) {
        if (internals::type_lookup(type, name) != internals::type_lookup(base, name)) return true;
    }
    return false;
}

}  // namespace capi
