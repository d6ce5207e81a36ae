// Interpreter internals and version differences, in one place.
//
// Everything in the package that depends on a private API or on an object's
// internal layout goes through this header, or through lock_layout.hpp for
// the lock object and method descriptors that only lock.cpp reads; modules
// use the public C API and the rest of this layer. Each entry says why it is
// here and which versions take which route. Where a newer version offers a
// public call, that version uses it.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ref.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace capi::internals {

// The member kinds of a type's special offsets (`__vectorcalloffset__` and
// the like): public in Python.h from 3.12, in structmember.h before.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int member_ssize = Py_T_PYSSIZET;
inline constexpr int member_readonly = Py_READONLY;
#else
inline constexpr int member_ssize = T_PYSSIZET;
inline constexpr int member_readonly = READONLY;
#endif

// Sign of an int object (-1, 0 or 1); `v` must be an int. 3.11 keeps the sign
// in the size field; 3.12 moved it into a tag word with no public reader
// until 3.14's PyLong_GetSign.
inline int long_sign(PyObject* v) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    int sign = 0;
    (void)PyLong_GetSign(v, &sign);  // cannot fail for an int
    return sign;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyLong_Sign(v);
#else
    const Py_ssize_t size = Py_SIZE(v);
    return size < 0 ? -1 : (size > 0 ? 1 : 0);
#endif
}

// The value of an int below 2**30 in magnitude, read without a call; false
// for larger ones. `obj` must be an int. 3.12 offers the compact-value reader
// as unstable API; 3.11 reads the single digit.
inline bool compact_long(PyObject* obj, long long& value) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    auto* v = reinterpret_cast<PyLongObject*>(obj);
    if (!PyUnstable_Long_IsCompact(v)) return false;
    value = static_cast<long long>(PyUnstable_Long_CompactValue(v));
    return true;
#else
    const Py_ssize_t size = Py_SIZE(obj);
    if (size < -1 || size > 1) return false;
    value = static_cast<long long>(size) *
            static_cast<long long>(reinterpret_cast<PyLongObject*>(obj)->ob_digit[0]);
    return true;
#endif
}

// getattr(obj, name) that reports a missing attribute by returning 0 with
// *result null, without raising and clearing AttributeError; -1 on another
// error, 1 when found. Public from 3.13.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// time.perf_counter_ns() without building an int. Public from 3.13.
inline int64_t perf_counter_ns() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyTime_t t = 0;
    (void)PyTime_PerfCounterRaw(&t);  // the raw clock reports no error
    return t;
#else
    return _PyTime_GetPerfCounter();
#endif
}

// time.time() as a double, the way that function computes it. Public from 3.13.
inline double time_seconds() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyTime_t t = 0;
    (void)PyTime_TimeRaw(&t);
    return PyTime_AsSecondsDouble(t);
#else
    return _PyTime_AsSecondsDouble(_PyTime_GetSystemClock());
#endif
}

// A dict sized for `n` entries, saving the resizes of a result dict built key
// by key. Exported but private (checked up to 3.15); later versions get the
// plain constructor until checked.
inline PyObject* new_presized_dict(Py_ssize_t n) noexcept {
#if PY_VERSION_HEX < 0x03100000
    return _PyDict_NewPresized(n);
#else
    (void)n;
    return PyDict_New();
#endif
}

// d[key] as a strong reference, so that another thread replacing the entry
// cannot free it under the caller: 1 with *result set, 0 with null when
// absent, -1 with null and an error set. Public from 3.13; before, the
// interpreter lock keeps the entry alive between the lookup and the increment
// (no free-threaded build predates 3.13).
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject* found = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(found);
    return found != nullptr ? 1 : (PyErr_Occurred() ? -1 : 0);
#endif
}

// list[index] of a list as a strong reference, or null with IndexError ("list
// index out of range") when another thread has shortened the list. With a GIL
// nothing can change the list between the bound check and the read, so that
// case stays inline (it runs once per entry in the loops over a list);
// free-threaded builds (3.13 and later) take the interpreter's lock-free read.
inline PyObject* list_get_ref(PyObject* list, Py_ssize_t index) noexcept {
#ifdef Py_GIL_DISABLED
    return PyList_GetItemRef(list, index);
#else
    if (static_cast<size_t>(index) >= static_cast<size_t>(PyList_GET_SIZE(list))) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    return Py_NewRef(PyList_GET_ITEM(list, index));
#endif
}

// Lets `obj` (of a collected type, new and seen by no other thread yet) be
// shared by every thread without each call from another thread writing its
// reference count: on free-threaded builds, a function object that all
// threads call would otherwise bounce one cache line between them on every
// call. `module` is the module being executed.
// - 3.14 and later: deferred reference counting, through the public call.
// - 3.13 free-threaded: the same marking as the interpreter gives its own
//   functions (a "deferred" collector bit, one extra local reference and the
//   shared count marked queued); the interpreter turns every object so
//   marked immortal when the first thread besides the main one starts. If
//   that has happened already, which the module object tells (the
//   interpreter marked it the same way when making it), `obj` is made
//   immortal at once, as the interpreter then does with its own.
// - GIL builds before 3.14: nothing to do.
inline void share_between_threads(PyObject* obj, [[maybe_unused]] PyObject* module) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    (void)PyUnstable_Object_EnableDeferredRefcount(obj);
#elif defined(Py_GIL_DISABLED)
    if (_Py_IsImmortal(module)) {
        PyObject_GC_UnTrack(obj);
        obj->ob_tid = _Py_UNOWNED_TID;
        obj->ob_ref_local = _Py_IMMORTAL_REFCNT_LOCAL;
        obj->ob_ref_shared = 0;
        return;
    }
    // The marking assumes no other thread has counted a reference yet.
    if (obj->ob_ref_shared != 0) return;
    constexpr uint8_t deferred_bit = 64;  // _PyGC_BITS_DEFERRED
    obj->ob_gc_bits |= deferred_bit;
    obj->ob_ref_local += 1;
    obj->ob_ref_shared = _Py_REF_QUEUED;
#else
    (void)obj;
#endif
}

// A heap type of `module` made from its slot table, with the error the
// interpreter forgets: 3.11 and 3.12 return null without an exception when
// copying the type's name fails.
inline PyObject* new_heap_type(PyObject* module, PyType_Spec* shape) noexcept {
    PyObject* type = PyType_FromModuleAndSpec(module, shape, nullptr);
    if (type == nullptr && !PyErr_Occurred()) PyErr_NoMemory();
    return type;
}

// A dict's modification counter, for caches keyed on a namespace staying
// unchanged. Only 3.11 has one (3.12 deprecated it and 3.14 removed it);
// later versions read 0, and callers watch the dict instead.
inline uint64_t dict_version(PyObject* dict) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
    (void)dict;
    return 0;
#endif
}

// obj.name looked up for a call: 1 with *method set to the function when the
// attribute is a method that binds to `obj` (call it with `obj` first), 0 with
// *method set to the attribute otherwise, -1 with null and an error set. The
// private lookup skips creating the bound method; from 3.13, where it is no
// longer exported, a bound method of `obj` is unwrapped instead.
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    const int unbound = _PyObject_GetMethod(obj, name, method);
    return *method == nullptr ? -1 : unbound;
#else
    PyObject* found = PyObject_GetAttr(obj, name);
    *method = found;
    if (found == nullptr) return -1;
    if (PyMethod_Check(found) && PyMethod_GET_SELF(found) == obj) {
        *method = Py_NewRef(PyMethod_GET_FUNCTION(found));
        Py_DECREF(found);
        return 1;
    }
    return 0;
#endif
}

// A new reference to the type's own dictionary. Public from 3.12, where
// static built-in types may keep theirs per interpreter; 3.11 reads the slot.
inline PyObject* type_dict(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    return Py_XNewRef(type->tp_dict);
#endif
}

// The attribute `name` as found along the type's MRO, without invoking
// descriptors; borrowed, null when absent, never an error. The private lookup
// uses the interpreter's type cache (exported up to 3.15 at least); later
// versions walk the MRO through the public type dictionaries until checked.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept {
#if PY_VERSION_HEX < 0x03100000
    return _PyType_Lookup(type, name);
#else
    PyObject* mro = type->tp_mro;
    if (mro == nullptr) return nullptr;
    SavedError saved;  // lookup errors are ignored, as the interpreter's lookup does
    PyObject* found = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro) && found == nullptr; ++i) {
        Ref dict = Ref::steal(type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        // Types keep their dictionaries, so the value outlives the reference.
        if (dict) found = PyDict_GetItemWithError(dict.get(), name);
    }
    return found;
#endif
}

}  // namespace capi::internals
