#include "function.hpp"

#include "fields.hpp"
#include "internals.hpp"
#include "state.hpp"

#include <cstddef>

namespace capi {

namespace {

FunctionObject* as_function(PyObject* obj) noexcept {
    return reinterpret_cast<FunctionObject*>(obj);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<native function %U>", as_function(self)->qualname.get());
}

PyObject* get_or_none(PyObject* value) noexcept { return Py_NewRef(value ? value : Py_None); }

PyObject* get_name(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->name.get());
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->qualname.get());
}
PyObject* get_text_signature(PyObject* self, void*) noexcept {
    return get_or_none(as_function(self)->text_signature.get());
}

// The attributes Python code may replace are read and replaced through
// read_shared/replace_shared: every thread calls the same function objects.
PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    Ref current = read_shared(self, f->annotations);
    if (current) return current.release();
    // Made on first use after a deletion; a dict another thread made
    // meanwhile is the one kept.
    Ref made = Ref::steal(PyDict_New());
    if (!made) return nullptr;
    {
        CriticalSection section(self);
        if (!f->annotations) f->annotations = Ref::borrow(made.get());
        current = Ref::borrow(f->annotations.get());
    }
    return current.release();
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    replace_shared(self, as_function(self)->annotations, Ref::borrow(value));
    return 0;
}

// __module__ and __doc__: any object; deleted, they read as None.
template <Ref FunctionObject::* Field>
PyObject* get_attribute(PyObject* self, void*) noexcept {
    Ref value = read_shared(self, as_function(self)->*Field);
    return value ? value.release() : new_none();
}
template <Ref FunctionObject::* Field>
int set_attribute(PyObject* self, PyObject* value, void*) noexcept {
    replace_shared(self, as_function(self)->*Field, Ref::borrow(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__module__", get_attribute<&FunctionObject::module>, set_attribute<&FunctionObject::module>,
     nullptr, nullptr},
    {"__doc__", get_attribute<&FunctionObject::doc>, set_attribute<&FunctionObject::doc>, nullptr,
     nullptr},
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
    {"__vectorcalloffset__", internals::member_ssize, offsetof(FunctionObject, vectorcall),
     internals::member_readonly, nullptr},
    {"__weaklistoffset__", internals::member_ssize, offsetof(FunctionObject, weakrefs),
     internals::member_readonly, nullptr},
    {"__dictoffset__", internals::member_ssize, offsetof(FunctionObject, dict),
     internals::member_readonly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_gc<FunctionObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getattro, reinterpret_cast<void*>(PyObject_GenericGetAttr)},
    {Py_tp_setattro, reinterpret_cast<void*>(PyObject_GenericSetAttr)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse<FunctionObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear<FunctionObject>)},
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
                 as_function(callable)->qualname.get());
    return nullptr;
}

PyObject* raise_wrong_self(PyObject* callable, PyObject* self) noexcept {
    FunctionObject* f = as_function(callable);
    PyErr_Format(PyExc_TypeError,
                 "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                 f->name.get(), f->owner_type()->tp_name, Py_TYPE(self)->tp_name);
    return nullptr;
}

namespace {

PyObject* make_function(PyTypeObject* type, PyObject* module, void* state, const FunctionDef& def,
                        Binding binding, const char* module_name, const char* qualname_prefix,
                        PyTypeObject* owner) noexcept {
    // Allocated zero-filled (null fields) and untracked again until every
    // member is filled, so a collection never sees a half-built function.
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    PyObject_GC_UnTrack(self.get());
    FunctionObject* f = as_function(self.get());
    f->vectorcall = def.call;
    f->state = state;
    f->owner = Ref::borrow(reinterpret_cast<PyObject*>(owner));
    f->defining_module = Ref::borrow(module);
    // Each member is checked as it is made: nothing may run with an error
    // pending (making the text signature can run the collector, which would
    // report a pending error as its own and clear it).
    f->name = Ref::steal(PyUnicode_InternFromString(def.sig->name));
    if (!f->name) return nullptr;
    f->qualname = qualname_prefix
                      ? Ref::steal(PyUnicode_FromFormat("%s.%s", qualname_prefix, def.sig->name))
                      : Ref::borrow(f->name.get());
    if (!f->qualname) return nullptr;
    f->module = Ref::steal(PyUnicode_FromString(module_name));
    if (!f->module) return nullptr;
    f->doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref::borrow(Py_None);
    if (!f->doc) return nullptr;
    f->annotations = Ref::steal(build_annotations(def));
    if (!f->annotations) return nullptr;
    f->text_signature = Ref::steal(text_signature(*def.sig, binding == Binding::method));
    if (!f->text_signature) return nullptr;
    PyObject_GC_Track(self.get());
    // Every thread calls the same function objects.
    internals::share_between_threads(self.get(), module);
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
