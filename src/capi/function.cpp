#include "function.hpp"

#include "internals.hpp"
#include "state.hpp"

#include <structmember.h>

#include <cstddef>

namespace capi {

namespace {

FunctionObject* as_function(PyObject* obj) noexcept {
    return reinterpret_cast<FunctionObject*>(obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    if (PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_HEAPTYPE)) Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->owner);
    Py_VISIT(f->defining_module);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    return 0;
}

// The owner and the defining module are kept until deallocation: `state`
// points into the module, and a call may still reach a function that the
// collector has cleared.
void function_dealloc(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->text_signature);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->defining_module);
    PyObject_GC_Del(self);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) Py_DECREF(type);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<native function %U>", as_function(self)->qualname);
}

PyObject* get_or_none(PyObject* value) noexcept { return Py_NewRef(value ? value : Py_None); }

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}
PyObject* get_text_signature(PyObject* self, void*) noexcept {
    return get_or_none(as_function(self)->text_signature);
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* build_annotations(const FunctionDef& def) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    auto add = [&](const char* key, const char* value) {
        Ref text = Ref::steal(PyUnicode_FromString(value));
        return text && PyDict_SetItemString(dict.get(), key, text.get()) == 0;
    };
    for (Py_ssize_t i = 0; i < def.sig->count; ++i) {
        const Param& p = def.sig->params[i];
        if (p.annotation && !add(p.name, p.annotation)) return nullptr;
    }
    if (def.return_annotation && !add("return", def.return_annotation)) return nullptr;
    return dict.release();
}

constexpr unsigned long function_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                         Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;

PyMemberDef function_spec_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getattro, reinterpret_cast<void*>(PyObject_GenericGetAttr)},
    {Py_tp_setattro, reinterpret_cast<void*>(PyObject_GenericSetAttr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_members, function_spec_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

// Immutable, like the interpreter's own function types, and not subclassable.
// No type docstring: it would shadow the instances' `__doc__` member.
PyType_Spec function_spec = {
    "native_function",
    sizeof(FunctionObject),
    0,
    function_flags | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

PyTypeObject* new_function_type(PyObject* module) noexcept {
    return reinterpret_cast<PyTypeObject*>(internals::new_heap_type(module, &function_spec));
}

PyObject* raise_unbound(PyObject* callable) noexcept {
    PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument",
                 as_function(callable)->qualname);
    return nullptr;
}

PyObject* raise_wrong_self(PyObject* callable, PyObject* self) noexcept {
    FunctionObject* f = as_function(callable);
    PyErr_Format(PyExc_TypeError,
                 "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object", f->name,
                 f->owner->tp_name, Py_TYPE(self)->tp_name);
    return nullptr;
}

namespace {

PyObject* make_function(PyTypeObject* type, PyObject* module, void* state, const FunctionDef& def,
                        Binding binding, const char* module_name, const char* qualname_prefix,
                        PyTypeObject* owner) noexcept {
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, type)));
    if (!self) return nullptr;
    FunctionObject* f = as_function(self.get());
    f->vectorcall = def.call;
    f->state = state;
    f->owner = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(owner)));
    f->defining_module = Py_XNewRef(module);
    f->name = f->qualname = f->module = f->doc = f->annotations = f->text_signature = f->dict =
        f->weakrefs = nullptr;
    // Members are filled before the object is tracked, so a collection never
    // sees a half-built function. Each is checked as it is made: nothing may
    // run with an error pending (making the text signature can run the
    // collector, which would report a pending error as its own and clear it).
    if ((f->name = PyUnicode_InternFromString(def.sig->name)) == nullptr) return nullptr;
    f->qualname = qualname_prefix ? PyUnicode_FromFormat("%s.%s", qualname_prefix, def.sig->name)
                                  : Py_NewRef(f->name);
    if (f->qualname == nullptr) return nullptr;
    if ((f->module = PyUnicode_FromString(module_name)) == nullptr) return nullptr;
    f->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    if (f->doc == nullptr) return nullptr;
    if ((f->annotations = build_annotations(def)) == nullptr) return nullptr;
    f->text_signature = text_signature(*def.sig, binding == Binding::method);
    if (f->text_signature == nullptr) return nullptr;
    PyObject_GC_Track(self.get());
    return self.release();
}

}  // namespace

PyObject* new_function(PyObject* module, ModuleState& st, void* state, const FunctionDef& def,
                       Binding binding, const char* qualname_prefix, PyTypeObject* owner) noexcept {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return nullptr;
    return make_function(st.function_type, module, state, def, binding, module_name,
                         qualname_prefix, owner);
}

}  // namespace capi
