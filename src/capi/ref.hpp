// Owned references.
//
// Every owned `PyObject*` is held by a `Ref`: a raw pointer is borrowed. A
// reference kept beyond a call is a `Ref` field of an instance, listed in its
// type's `for_each_ref` (fields.hpp), or a module state pointer, listed in the
// state's `for_each_ref` (state.hpp); the lists drive traversal, clearing and
// release. Ownership is decided at construction (`Ref::steal` takes over a new
// reference, `Ref::borrow` adds one) and handed back to the interpreter with
// `release()`.
//
// The package is built without C++ exceptions (see CMakeLists.txt): the only
// unwinding that crosses our frames is the forced one that ends a daemon
// thread at interpreter exit, and it runs no destructor, so a `Ref` is never
// dropped without the interpreter lock.
#pragma once

#include <Python.h>

#include <type_traits>
#include <utility>

namespace capi {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        // The old object is dropped only after the new one is in place, so a
        // destructor that runs from the drop sees a consistent owner.
        PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference (which may be null after a failed call).
    [[nodiscard]] static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    [[nodiscard]] PyObject* get() const noexcept { return obj_; }
    // Gives the reference back to the caller, typically as a return value.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset() noexcept { Py_CLEAR(obj_); }
    // Exchanges the two references; nothing is dropped.
    void swap(Ref& other) noexcept { std::swap(obj_, other.obj_); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// A Ref is exactly one pointer, so the interpreter may read and write a Ref
// field as an object member; instance fields are constructed by alloc<Self>
// (fields.hpp).
static_assert(std::is_standard_layout_v<Ref> && sizeof(Ref) == sizeof(PyObject*));

// Returns a new reference to Py_True or Py_False.
inline PyObject* new_bool(bool value) noexcept {
    PyObject* result = value ? Py_True : Py_False;
    Py_INCREF(result);
    return result;
}

inline PyObject* new_none() noexcept {
    Py_INCREF(Py_None);
    return Py_None;
}

// Takes the pending exception off the thread as one object (normalised, its
// traceback attached, as `except ... as e` binds it): a new reference, or
// null when none is pending.
inline Ref take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

// Sets the pending exception aside for the guard's lifetime and puts it back
// at the end, replacing whatever was raised in between: for cleanup code
// (finalizers, lookups whose errors are ignored) that must not clobber an
// exception in flight.
class SavedError {
public:
    SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        error_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &error_, &traceback_);
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(error_);
#else
        PyErr_Restore(type_, error_, traceback_);
#endif
    }

private:
    PyObject* error_ = nullptr;  // the exception (3.12+), or its value
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
};

}  // namespace capi
