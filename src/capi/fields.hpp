// Instance fields that own references, and the collector slots and
// deallocation generated from their list.
//
// An instance keeps each owned reference in a `Ref` field and its type lists
// those fields once (`alloc<Self>` makes an instance with every listed field
// constructed null):
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
// fields marked `capi::kept`, which methods use without a check and which
// break no cycle the collector needs broken (a threading.Lock holds no
// references; each type says why for its own). Deallocation releases every
// field, in list order. What an instance owns besides plain fields is handled
// by optional members, which the generated slots call:
//   int visit_native(visitproc, void*) noexcept  visits it (a cell's object)
//   void clear_native() noexcept    empties it, first in tp_clear and dealloc
//   void release_native() noexcept  frees native storage, last in dealloc
#pragma once

#include <Python.h>

#include <new>

#include "lock.hpp"
#include "ref.hpp"

namespace capi {

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

// A Ref field that Python code may replace (a settable attribute) while other
// threads read it: read as a strong reference, and replaced, under a critical
// section on the instance, the old reference dropped only after the section.
// No reader is then left with a borrowed pointer to an object another
// thread has just released.
inline Ref read_shared(PyObject* owner, const Ref& field) noexcept {
    CriticalSection section(owner);
    return Ref::borrow(field.get());
}
inline void replace_shared(PyObject* owner, Ref& field, Ref value) noexcept {
    {
        CriticalSection section(owner);
        field.swap(value);
    }
    // `value` now holds the old reference, dropped here.
}

// A new instance of `type` (the type laid out as `Self`, or a subclass):
// tp_alloc's zero-filled memory with each listed field constructed in it,
// so that every field's life begins before it is first assigned. Null with
// an error set.
template <typename Self>
Self* alloc(PyTypeObject* type) noexcept {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    Self* self = reinterpret_cast<Self*>(obj);
    if constexpr (detail::HasRefs<Self>) {
        self->for_each_ref([](Ref& field, auto...) { new (&field) Ref(); });
    }
    return self;
}

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
    Py_TRASHCAN_BEGIN(self, dealloc_gc<Self>)
    if (type->tp_weaklistoffset != 0) PyObject_ClearWeakRefs(self);
    detail::release(reinterpret_cast<Self*>(self));
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

}  // namespace capi
