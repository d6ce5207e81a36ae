// Interpreter internals, continued: the lock object and method descriptors.
//
// Like internals.hpp, this header holds what depends on an object's internal
// layout, with its version routes beside it; lock.cpp (the only user) reads
// the interpreter's lock through it, and only after a probe of a real lock
// has confirmed the mirror (see there). Split from internals.hpp because
// these mirrors matter to one file and pull in the semaphore header.
//
// - Method descriptors: the C function and flags behind a method of a
//   built-in type, and the type that defined it. The fields are those of
//   `PyMethodDescrObject`, unchanged from 3.11 to 3.15.
// - The lock object, two layouts:
//   - 3.11 to 3.13: a raw lock pointer, a weak-reference list and a `locked`
//     flag. When the interpreter's raw locks are POSIX semaphores, the raw
//     lock can be tried with sem_trywait and given back with
//     PyThread_release_lock. Whether they are is a fact of the build, read
//     from its configuration header by the test the interpreter's own thread
//     code makes: never from `sys.thread_info`, which Python code may rebind,
//     nor from PyThread_GetInfo, whose result corrupts memory when freed on
//     3.13.0.
//   - 3.14 and 3.15: a one-byte `PyMutex` (bit 0 "locked", bit 1 "has parked
//     waiters"), taken with the compare-and-swap the interpreter's own inline
//     lock function uses and given back with the public PyMutex_Unlock.
//   Versions past 3.15 get neither mirror until checked.
//
// Ordering: the semaphore layout's `locked` flag is read and written plainly,
// as the interpreter's own lock functions do, because every access (theirs
// and ours) is made holding the interpreter lock; what the lock protects is
// ordered by the semaphore, whose wait and post are barriers. The mutex byte
// is changed only by atomic read-modify-writes: the sequentially consistent
// compare-and-swap that the interpreter's inline lock function also uses
// (acquire ordering at least, so the protected data is not read early on a
// weakly ordered machine), and the interpreter's own PyMutex_Unlock (release
// ordering, so the protected data is written before the byte says free).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <semaphore.h>
#include <unistd.h>
#endif

namespace capi::lock_layout {

// The C function behind `descr` when it is a plain method descriptor defined
// by `type` itself (not inherited, not a Python function) with exactly the
// given calling-convention flags; null otherwise.
inline PyCFunction own_method(PyTypeObject* type, PyObject* descr, int flags) noexcept {
    if (descr == nullptr || !Py_IS_TYPE(descr, &PyMethodDescr_Type)) return nullptr;
    auto* method = reinterpret_cast<PyMethodDescrObject*>(descr);
    if (PyDescr_TYPE(method) != type) return nullptr;
    const PyMethodDef* def = method->d_method;
    return def->ml_flags == flags ? def->ml_meth : nullptr;
}

#if defined(__linux__) && PY_VERSION_HEX < 0x030E0000 && defined(_POSIX_SEMAPHORES) && \
    !defined(HAVE_BROKEN_POSIX_SEMAPHORES) && defined(HAVE_SEM_TIMEDWAIT)
#define LUMETRA_SEMAPHORE_MIRROR 1
struct SemaphoreLock {
    PyObject_HEAD
    PyThread_type_lock lock_lock;
    PyObject* in_weakreflist;
    char locked;
};

inline SemaphoreLock* as_semaphore(PyObject* lock) noexcept {
    return reinterpret_cast<SemaphoreLock*>(lock);
}
inline sem_t* raw_semaphore(PyObject* lock) noexcept {
    return static_cast<sem_t*>(as_semaphore(lock)->lock_lock);
}
#endif

#if PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x03100000
#define LUMETRA_MUTEX_MIRROR 1
struct MutexLock {
    PyObject_HEAD
    PyMutex lock;
};
inline constexpr uint8_t unlocked = 0;
inline constexpr uint8_t held = 1;

inline PyMutex* mutex_of(PyObject* lock) noexcept {
    return &reinterpret_cast<MutexLock*>(lock)->lock;
}
inline std::atomic_ref<uint8_t> mutex_bits(PyObject* lock) noexcept {
    return std::atomic_ref<uint8_t>(mutex_of(lock)->_bits);
}
#endif

}  // namespace capi::lock_layout
