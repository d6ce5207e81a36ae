#include "lock.hpp"

#include <pythread.h>

#include <cstddef>

#if defined(__linux__)
#include <semaphore.h>
#endif

#include "call.hpp"
#include "ref.hpp"

namespace capi {

namespace {

void verify_direct_acquire(PyObject* thread_module) noexcept;
bool direct_acquire(PyObject* lock) noexcept;
bool direct_release(PyObject* lock) noexcept;

// The interpreter's lock type and its C entry points, found once.
PyTypeObject* lock_type = nullptr;
PyCFunctionWithKeywords lock_acquire_c = nullptr;
PyCFunction lock_release_c = nullptr;
PyObject* empty_tuple = nullptr;
PyObject* s_acquire = nullptr;
PyObject* s_release = nullptr;

bool find_lock_type() noexcept {
    static bool ready = false;
    if (ready) return true;
    if (s_acquire == nullptr && (s_acquire = PyUnicode_InternFromString("acquire")) == nullptr) {
        return false;
    }
    if (s_release == nullptr && (s_release = PyUnicode_InternFromString("release")) == nullptr) {
        return false;
    }
    if (empty_tuple == nullptr && (empty_tuple = PyTuple_New(0)) == nullptr) return false;
    Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
    if (!thread) return false;
    Ref type = Ref::steal(PyObject_GetAttrString(thread.get(), "LockType"));
    if (!type) return false;
    ready = true;
    if (!PyType_Check(type.get())) return true;
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
            verify_direct_acquire(thread.get());
        }
    }
    return true;
}

}  // namespace

bool lock_acquire(PyObject* lock) noexcept {
    if (!find_lock_type()) return false;
    Ref result;
    if (lock_type != nullptr && Py_IS_TYPE(lock, lock_type)) {
        if (direct_acquire(lock)) return true;
        result = Ref::steal(lock_acquire_c(lock, empty_tuple, nullptr));
    } else {
        result = Ref::steal(PyObject_CallMethodNoArgs(lock, s_acquire));
    }
    return static_cast<bool>(result);
}

bool lock_release(PyObject* lock) noexcept {
    if (!find_lock_type()) return false;
    if (lock_type != nullptr && Py_IS_TYPE(lock, lock_type) && direct_release(lock)) return true;
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
    // The names are made once: a lookup by C string would allocate the key at
    // every call, and a failure there must surface as MemoryError, not as a
    // missing name.
    static PyObject* s_threading = nullptr;
    static PyObject* s_lock = nullptr;
    if (s_threading == nullptr &&
        (s_threading = PyUnicode_InternFromString("threading")) == nullptr) {
        return nullptr;
    }
    if (s_lock == nullptr && (s_lock = PyUnicode_InternFromString("Lock")) == nullptr) {
        return nullptr;
    }
    PyObject* threading = module_global(module_dict, s_threading);  // borrowed
    if (threading == nullptr) return nullptr;
    // Held across the attribute lookup, which may run code that rebinds the global.
    Ref module = Ref::borrow(threading);
    Ref factory = Ref::steal(PyObject_GetAttr(module.get(), s_lock));
    if (!factory) return nullptr;
    return PyObject_CallNoArgs(factory.get());
}

// Uncontended acquire and release without the method machinery. `acquire()`
// parses its arguments and reads the clock even for a non-blocking try, which
// costs several times more than taking a free lock. The interpreter's lock
// object is read through a mirror of its 3.11 layout, and its raw lock, when
// the interpreter reports semaphore-based locks, is tried with sem_trywait.
// The route is used only after the layout has been checked against the type
// and against the behaviour of a real lock; otherwise (and whenever the lock is
// taken, so that waiting, signals and timeouts behave as usual) the lock's own
// functions do the work.
namespace {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && defined(__linux__)
struct ThreadLockLayout {
    PyObject_HEAD PyThread_type_lock lock_lock;
    PyObject* in_weakreflist;
    char locked;
};
bool direct_acquire_ok = false;

sem_t* raw_semaphore(ThreadLockLayout* mirror) noexcept {
    return static_cast<sem_t*>(mirror->lock_lock);
}

bool semaphore_locks() noexcept {
    PyObject* info = PySys_GetObject("thread_info");  // borrowed
    if (info == nullptr) return false;
    Ref kind = Ref::steal(PyObject_GetAttrString(info, "lock"));
    return kind && PyUnicode_Check(kind.get()) &&
           PyUnicode_CompareWithASCIIString(kind.get(), "semaphore") == 0;
}

// True when a probe lock behaves as the mirror predicts. Any surprise
// (including an error) leaves the ordinary route in place.
bool probe_direct_acquire(PyObject* thread_module) noexcept {
    if (lock_type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(ThreadLockLayout)) ||
        lock_type->tp_weaklistoffset !=
            static_cast<Py_ssize_t>(offsetof(ThreadLockLayout, in_weakreflist)) ||
        !semaphore_locks()) {
        return false;
    }
    Ref lock = Ref::steal(PyObject_CallMethod(thread_module, "allocate_lock", nullptr));
    if (!lock || !Py_IS_TYPE(lock.get(), lock_type)) return false;
    auto* mirror = reinterpret_cast<ThreadLockLayout*>(lock.get());
    if (mirror->locked != 0) return false;
    Ref acquired = Ref::steal(lock_acquire_c(lock.get(), empty_tuple, nullptr));
    if (!acquired || mirror->locked != 1 || sem_trywait(raw_semaphore(mirror)) == 0) return false;
    Ref released = Ref::steal(lock_release_c(lock.get(), nullptr));
    if (!released || mirror->locked != 0) return false;
    // The raw lock is free again: taking it must succeed. The probe lock is
    // then marked as `acquire()` marks it and released the ordinary way.
    if (sem_trywait(raw_semaphore(mirror)) != 0) return false;
    mirror->locked = 1;
    released = Ref::steal(lock_release_c(lock.get(), nullptr));
    return released && mirror->locked == 0;
}

void verify_direct_acquire(PyObject* thread_module) noexcept {
    direct_acquire_ok = probe_direct_acquire(thread_module);
    if (!direct_acquire_ok) PyErr_Clear();
}

// What `acquire()` does first, a non-blocking try that keeps the interpreter
// lock. False when the lock is taken (or the route is unavailable).
bool direct_acquire(PyObject* lock) noexcept {
    if (!direct_acquire_ok) return false;
    auto* mirror = reinterpret_cast<ThreadLockLayout*>(lock);
    if (sem_trywait(raw_semaphore(mirror)) != 0) return false;
    mirror->locked = 1;
    return true;
}

// What `release()` does for a held lock. False when the lock is not marked as
// held (the lock's own function then raises) or the route is unavailable.
bool direct_release(PyObject* lock) noexcept {
    if (!direct_acquire_ok) return false;
    auto* mirror = reinterpret_cast<ThreadLockLayout*>(lock);
    if (!mirror->locked) return false;
    mirror->locked = 0;
    PyThread_release_lock(mirror->lock_lock);
    return true;
}
#else
void verify_direct_acquire(PyObject*) noexcept {}
bool direct_acquire(PyObject*) noexcept { return false; }
bool direct_release(PyObject*) noexcept { return false; }
#endif

}  // namespace

}  // namespace capi
