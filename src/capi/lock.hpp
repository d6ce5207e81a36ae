// Holding a `threading.Lock` from native code.
//
// Native objects keep their lock as the Python object `threading.Lock()`
// returned (looked up in the module namespace when the object is made). When
// it is the interpreter's own lock type, acquire and release call that type's
// C functions directly; any other object (a replaced `threading.Lock`) is
// driven through its `acquire()`/`release()` methods, so behaviour is the same
// either way. Acquiring may wait, and then lets other threads run.
#pragma once

#include <Python.h>

namespace capi {

// lock.acquire(); false with an error set on failure.
bool lock_acquire(PyObject* lock) noexcept;
// lock.release(); false with an error set on failure. An exception pending on
// entry is kept and still pending on return.
bool lock_release(PyObject* lock) noexcept;

// True when a brief critical section (below) may run without taking `lock`:
// the interpreter has a GIL, `lock` is the interpreter's own lock type with a
// known layout, and it reads as free. lock.cpp argues why that is safe.
bool lock_elidable(PyObject* lock) noexcept;

// `with lock:` — acquire in `acquire()`, release when the guard ends. A release
// failure at scope end is reported as unraisable (it cannot happen for a lock
// the guard acquired itself).
class LockGuard {
public:
    LockGuard() noexcept = default;
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    ~LockGuard() { release(); }

    [[nodiscard]] bool acquire(PyObject* lock) noexcept {
        if (!lock_acquire(lock)) return false;
        lock_ = lock;
        Py_INCREF(lock_);
        return true;
    }
    // acquire() for a brief critical section: one that only reads and writes
    // plain memory, calling no Python code (no comparison, no reference drop
    // that may run a destructor), allocating nothing and never letting go of
    // the interpreter lock. A free lock of the interpreter's own type is then
    // not taken at all (see lock_elidable); any other lock is acquired.
    [[nodiscard]] bool acquire_brief(PyObject* lock) noexcept {
        return lock_elidable(lock) || acquire(lock);
    }
    // Releases early (before the guard ends); safe to call twice.
    void release() noexcept {
        if (lock_ == nullptr) return;
        PyObject* lock = lock_;
        lock_ = nullptr;
        if (!lock_release(lock)) PyErr_WriteUnraisable(lock);
        Py_DECREF(lock);
    }

private:
    PyObject* lock_ = nullptr;
};

// A critical section on one object, or two: on free-threaded builds, the
// per-object lock that the interpreter's own containers take for each
// operation; on builds with a GIL, nothing (the interpreter lock already
// serialises the section). Unlike a mutex, the interpreter suspends a critical
// section while its thread blocks (waiting for a lock, for I/O, for the
// interpreter to stop the world) and resumes it after, so it excludes other
// threads only from code that runs without blocking: call no Python code
// that may block, and take no lock, in the middle of a change the section
// must keep whole. Sections of the same thread nest, on different objects
// only: 3.13 has a thread that opens a section on an object it already holds
// wait for itself, which suspends the outer section (letting other threads
// in) and costs microseconds; the interpreter's own functions that take a
// section on their argument (a dict's or list's changes) count too.
class CriticalSection {
public:
    explicit CriticalSection([[maybe_unused]] PyObject* obj) noexcept {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, obj);
#endif
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
#ifdef Py_GIL_DISABLED
    ~CriticalSection() { PyCriticalSection_End(&section_); }

private:
    PyCriticalSection section_;
#endif
};

// The same on two objects at once (taken in an order that cannot deadlock).
class CriticalSection2 {
public:
    CriticalSection2([[maybe_unused]] PyObject* a, [[maybe_unused]] PyObject* b) noexcept {
#ifdef Py_GIL_DISABLED
        PyCriticalSection2_Begin(&section_, a, b);
#endif
    }
    CriticalSection2(const CriticalSection2&) = delete;
    CriticalSection2& operator=(const CriticalSection2&) = delete;
#ifdef Py_GIL_DISABLED
    ~CriticalSection2() { PyCriticalSection2_End(&section_); }

private:
    PyCriticalSection2 section_;
#endif
};

struct ModuleState;

// threading.Lock() through the module's global `threading` (looked up at each
// call, as the Python code `threading.Lock()` would do it).
PyObject* new_threading_lock(const ModuleState& st) noexcept;

// Finds how locks are driven (once per process); false with an error set.
// Modules call it while they are imported, so the first lock operation does
// not have to.
bool prepare_locks() noexcept;

}  // namespace capi
