#include "lock.hpp"

#include <pythread.h>
#include <semaphore.h>

#include <cstddef>

#include "ref.hpp"

namespace capi {

namespace {

// The interpreter's lock type and its C entry points, found once.
PyTypeObject* lock_type = nullptr;
PyCFunctionWithKeywords lock_acquire_c = nullptr;
PyCFunction lock_release_c = nullptr;
PyObject* empty_tuple = nullptr;
PyObject* s_acquire = nullptr;
PyObject* s_release = nullptr;

// The uncontended fast path. An uncontended acquire through the lock type's C
// entry point costs about as much as the critical sections it guards (argument
// parsing, and a monotonic clock read for a deadline a non-blocking attempt
// never uses). When the lock object has the layout below (CPython 3.11's
// `_thread` lock, checked against the type at start-up) the first attempt is
// made on the underlying lock directly; it keeps `locked` as the type's own
// methods do, and anything but an immediate success takes the C entry point,
// which waits with the interpreter lock released and handles signals.
struct NativeLock {
    PyObject_HEAD PyThread_type_lock lock_lock;
    PyObject* in_weakreflist;
    char locked;
};
enum class FastPath { none, native, semaphore };
FastPath fast_path = FastPath::none;

FastPath find_fast_path(PyTypeObject* t) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
    if ((Py_Version >> 16) != 0x030B || t->tp_basicsize != sizeof(NativeLock) ||
        t->tp_weaklistoffset != static_cast<Py_ssize_t>(offsetof(NativeLock, in_weakreflist))) {
        return FastPath::none;
    }
    // sys.thread_info.lock == "semaphore": the lock is a POSIX semaphore, and a
    // non-blocking attempt is one sem_trywait.
    PyObject* info = PySys_GetObject("thread_info");  // borrowed
    if (info == nullptr) return FastPath::native;
    Ref kind = Ref::steal(PyObject_GetAttrString(info, "lock"));
    if (!kind) {
        PyErr_Clear();
        return FastPath::native;
    }
    const int semaphore = PyUnicode_Check(kind.get()) &&
                          PyUnicode_CompareWithASCIIString(kind.get(), "semaphore") == 0;
    return semaphore ? FastPath::semaphore : FastPath::native;
#else
    (void)t;
    return FastPath::none;
#endif
}

bool try_acquire_fast(PyObject* lock) noexcept {
    auto* native = reinterpret_cast<NativeLock*>(lock);
    const bool acquired =
        fast_path == FastPath::semaphore
            ? sem_trywait(static_cast<sem_t*>(native->lock_lock)) == 0
            : PyThread_acquire_lock(native->lock_lock, NOWAIT_LOCK) == PY_LOCK_ACQUIRED;
    if (acquired) native->locked = 1;
    return acquired;
}

bool find_lock_type() noexcept {
    if (s_acquire != nullptr) return true;
    s_acquire = PyUnicode_InternFromString("acquire");
    s_release = PyUnicode_InternFromString("release");
    empty_tuple = PyTuple_New(0);
    if (!s_acquire || !s_release || !empty_tuple) return false;
    Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
    if (!thread) return false;
    Ref type = Ref::steal(PyObject_GetAttrString(thread.get(), "LockType"));
    if (!type || !PyType_Check(type.get())) return type ? true : false;
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    PyObject* acquire = PyDict_GetItem(t->tp_dict, s_acquire);
    PyObject* release = PyDict_GetItem(t->tp_dict, s_release);
    // Only take the direct route when both are plain C method descriptors of
    // the expected kinds; otherwise every lock goes through method calls.
    if (acquire && release && Py_IS_TYPE(acquire, &PyMethodDescr_Type) &&
        Py_IS_TYPE(release, &PyMethodDescr_Type)) {
        PyMethodDef* a = reinterpret_cast<PyMethodDescrObject*>(acquire)->d_method;
        PyMethodDef* r = reinterpret_cast<PyMethodDescrObject*>(release)->d_method;
        if (a->ml_flags == (METH_VARARGS | METH_KEYWORDS) && r->ml_flags == METH_NOARGS) {
            lock_acquire_c =
                reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(a->ml_meth));
            lock_release_c = r->ml_meth;
            lock_type = reinterpret_cast<PyTypeObject*>(type.release());
            fast_path = find_fast_path(lock_type);
        }
    }
    return true;
}

}  // namespace

bool lock_acquire(PyObject* lock) noexcept {
    if (!find_lock_type()) return false;
    Ref result;
    if (lock_type != nullptr && Py_IS_TYPE(lock, lock_type)) {
        if (fast_path != FastPath::none && try_acquire_fast(lock)) return true;
        result = Ref::steal(lock_acquire_c(lock, empty_tuple, nullptr));
    } else {
        result = Ref::steal(PyObject_CallMethodNoArgs(lock, s_acquire));
    }
    return static_cast<bool>(result);
}

bool lock_release(PyObject* lock) noexcept {
    if (!find_lock_type()) return false;
    if (fast_path != FastPath::none && lock_type != nullptr && Py_IS_TYPE(lock, lock_type) &&
        reinterpret_cast<NativeLock*>(lock)->locked) {
        // What the type's release() does for a held lock; it cannot fail.
        auto* native = reinterpret_cast<NativeLock*>(lock);
        native->locked = 0;
        PyThread_release_lock(native->lock_lock);
        return true;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref result;
    if (lock_type != nullptr && Py_IS_TYPE(lock, lock_type)) {
        result = Ref::steal(lock_release_c(lock, nullptr));
    } else {
        result = Ref::steal(PyObject_CallMethodNoArgs(lock, s_release));
    }
    if (!result) {
        // The release error wins only when nothing was pending before.
        if (type != nullptr) {
            PyErr_WriteUnraisable(lock);
            PyErr_Restore(type, value, traceback);
        } else {
            return false;
        }
        return true;
    }
    PyErr_Restore(type, value, traceback);
    return true;
}

PyObject* new_threading_lock(PyObject* module_dict) noexcept {
    PyObject* threading = PyDict_GetItemString(module_dict, "threading");
    if (threading == nullptr) {
        PyErr_SetString(PyExc_NameError, "name 'threading' is not defined");
        return nullptr;
    }
    Ref factory = Ref::steal(PyObject_GetAttrString(threading, "Lock"));
    if (!factory) return nullptr;
    return PyObject_CallNoArgs(factory.get());
}

}  // namespace capi
