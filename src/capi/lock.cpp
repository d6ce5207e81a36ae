#include "lock.hpp"

#include <pythread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <semaphore.h>
#endif

#include "call.hpp"
#include "ref.hpp"

namespace capi {

namespace {

// Which route acquire and release take for the interpreter's own lock type.
enum class Route {
    methods,   // acquire()/release() method calls, as for any other lock object
    c_calls,   // the lock type's C functions, called without the method lookup
    mirrored,  // c_calls, plus an uncontended try through the mirrored layout
};

void verify_direct_acquire(PyObject* thread_module) noexcept;
bool direct_acquire(PyObject* lock) noexcept;
bool direct_release(PyObject* lock) noexcept;

Route route = Route::methods;
// The interpreter's lock type and its C entry points, found once.
PyTypeObject* lock_type = nullptr;
PyCFunctionWithKeywords lock_acquire_c = nullptr;
PyCFunction lock_release_c = nullptr;
PyObject* empty_tuple = nullptr;
PyObject* s_acquire = nullptr;
PyObject* s_release = nullptr;

// LUMETRA_LOCK_FAST_PATH=0 keeps every lock on the public method route.
bool fast_path_allowed() noexcept {
    const char* setting = std::getenv("LUMETRA_LOCK_FAST_PATH");
    return setting == nullptr || std::strcmp(setting, "0") != 0;
}

// The C function behind a plain method descriptor with the given flags.
PyCFunction method_function(PyObject* descr, int flags) noexcept {
    if (descr == nullptr || !Py_IS_TYPE(descr, &PyMethodDescr_Type)) return nullptr;
    PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
    return def->ml_flags == flags ? def->ml_meth : nullptr;
}

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
    if (!PyType_Check(type.get()) || !fast_path_allowed()) return true;
    lock_type = reinterpret_cast<PyTypeObject*>(type.release());
    // The lock's own C functions are called directly only when both are
    // plain method descriptors of the kinds expected; otherwise, and for
    // contended acquires where they are not, method calls do the work.
    Ref acquire = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(lock_type), s_acquire));
    Ref release = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(lock_type), s_release));
    if (!acquire || !release) {
        PyErr_Clear();
        return true;
    }
    PyCFunction a = method_function(acquire.get(), METH_VARARGS | METH_KEYWORDS);
    PyCFunction r = method_function(release.get(), METH_NOARGS);
    if (a != nullptr && r != nullptr) {
        lock_acquire_c = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(a));
        lock_release_c = r;
        route = Route::c_calls;
    }
    verify_direct_acquire(thread.get());
    return true;
}

}  // namespace

bool lock_acquire(PyObject* lock) noexcept {
    if (!find_lock_type()) return false;
    Ref result;
    if (route != Route::methods && Py_IS_TYPE(lock, lock_type)) {
        if (direct_acquire(lock)) return true;
        if (lock_acquire_c != nullptr) {
            return static_cast<bool>(Ref::steal(lock_acquire_c(lock, empty_tuple, nullptr)));
        }
    }
    return static_cast<bool>(Ref::steal(PyObject_CallMethodNoArgs(lock, s_acquire)));
}

bool lock_release(PyObject* lock) noexcept {
    if (!find_lock_type()) return false;
    const bool own_type = route != Route::methods && Py_IS_TYPE(lock, lock_type);
    if (own_type && direct_release(lock)) return true;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref result;
    if (own_type && lock_release_c != nullptr) {
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
// object is read through a mirror of its layout, for the layouts checked here:
// - 3.11 to 3.13: a raw lock pointer, a weak-reference list and a `locked`
//   flag; the raw lock, when the interpreter reports semaphore-based locks, is
//   tried with sem_trywait;
// - 3.14 and 3.15: a one-byte mutex, taken and given back with the same
//   compare-and-swap the interpreter's own inline mutex functions use.
// The object size tells the two apart, and a start-up probe checks the chosen
// mirror against the behaviour of a real lock; on any other version, or when
// the probe is surprised, the lock's own functions do all the work. They also
// do it whenever the lock is taken, so that waiting, signals and timeouts
// behave as usual.
namespace {

enum class Mirror { none, semaphore, mutex };
Mirror mirror = Mirror::none;

#if defined(__linux__) && PY_VERSION_HEX < 0x03100000
#define LUMETRA_SEMAPHORE_MIRROR 1
struct SemaphoreLock {
    PyObject_HEAD PyThread_type_lock lock_lock;
    PyObject* in_weakreflist;
    char locked;
};

SemaphoreLock* as_semaphore(PyObject* lock) noexcept {
    return reinterpret_cast<SemaphoreLock*>(lock);
}
sem_t* raw_semaphore(PyObject* lock) noexcept {
    return static_cast<sem_t*>(as_semaphore(lock)->lock_lock);
}

bool semaphore_locks() noexcept {
    PyObject* info = PySys_GetObject("thread_info");  // borrowed
    if (info == nullptr) return false;
    Ref kind = Ref::steal(PyObject_GetAttrString(info, "lock"));
    return kind && PyUnicode_Check(kind.get()) &&
           PyUnicode_CompareWithASCIIString(kind.get(), "semaphore") == 0;
}

// True when a probe lock behaves as the mirror predicts.
bool probe_semaphore(PyObject* l) noexcept {
    if (route != Route::c_calls ||
        lock_type->tp_weaklistoffset !=
            static_cast<Py_ssize_t>(offsetof(SemaphoreLock, in_weakreflist)) ||
        !semaphore_locks()) {
        return false;
    }
    SemaphoreLock* m = as_semaphore(l);
    if (m->locked != 0) return false;
    Ref acquired = Ref::steal(lock_acquire_c(l, empty_tuple, nullptr));
    if (!acquired || m->locked != 1 || sem_trywait(raw_semaphore(l)) == 0) return false;
    Ref released = Ref::steal(lock_release_c(l, nullptr));
    if (!released || m->locked != 0) return false;
    // The raw lock is free again: taking it must succeed. The probe lock is
    // then marked as `acquire()` marks it and released the ordinary way.
    if (sem_trywait(raw_semaphore(l)) != 0) return false;
    m->locked = 1;
    released = Ref::steal(lock_release_c(l, nullptr));
    return released && m->locked == 0;
}
#endif

#if PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x03100000
#define LUMETRA_MUTEX_MIRROR 1
struct MutexLock {
    PyObject_HEAD PyMutex lock;
};
constexpr uint8_t unlocked = 0;
constexpr uint8_t held = 1;  // the mutex's "locked" bit; bit 1 marks parked waiters

PyMutex* mutex_of(PyObject* lock) noexcept { return &reinterpret_cast<MutexLock*>(lock)->lock; }
std::atomic_ref<uint8_t> mutex_bits(PyObject* lock) noexcept {
    return std::atomic_ref<uint8_t>(mutex_of(lock)->_bits);
}

bool try_lock(PyObject* lock) noexcept {
    uint8_t expected = unlocked;
    return mutex_bits(lock).compare_exchange_strong(expected, held);
}

// True when the lock's own locked() agrees with `expected`.
bool reports_locked(PyObject* lock, bool expected) noexcept {
    Ref result = Ref::steal(PyObject_CallMethod(lock, "locked", nullptr));
    return result && PyObject_IsTrue(result.get()) == static_cast<int>(expected);
}

bool call_ok(PyObject* lock, PyObject* name) noexcept {
    return static_cast<bool>(Ref::steal(PyObject_CallMethodNoArgs(lock, name)));
}

bool probe_mutex(PyObject* l) noexcept {
    // Taken by acquire(): the byte says held; given back by release(): free.
    if (mutex_bits(l).load() != unlocked || !call_ok(l, s_acquire) ||
        mutex_bits(l).load() != held || !reports_locked(l, true) || !call_ok(l, s_release) ||
        mutex_bits(l).load() != unlocked) {
        return false;
    }
    // Taken here: the lock says held, and its own release() frees it.
    if (!try_lock(l) || !reports_locked(l, true) || !call_ok(l, s_release) ||
        !reports_locked(l, false)) {
        return false;
    }
    // Taken by acquire() and given back here.
    if (!call_ok(l, s_acquire)) return false;
    PyMutex_Unlock(mutex_of(l));
    return reports_locked(l, false);
}
#endif

Mirror probe_direct_acquire(PyObject* thread_module) noexcept {
    Ref lock = Ref::steal(PyObject_CallMethod(thread_module, "allocate_lock", nullptr));
    if (!lock || !Py_IS_TYPE(lock.get(), lock_type)) return Mirror::none;
    [[maybe_unused]] const auto size = static_cast<size_t>(lock_type->tp_basicsize);
#ifdef LUMETRA_SEMAPHORE_MIRROR
    if (size == sizeof(SemaphoreLock) && probe_semaphore(lock.get())) return Mirror::semaphore;
#endif
#ifdef LUMETRA_MUTEX_MIRROR
    if (size == sizeof(MutexLock) && probe_mutex(lock.get())) return Mirror::mutex;
#endif
    return Mirror::none;
}

void verify_direct_acquire(PyObject* thread_module) noexcept {
    mirror = probe_direct_acquire(thread_module);
    if (mirror != Mirror::none) {
        route = Route::mirrored;
    } else {
        PyErr_Clear();
    }
}

// What `acquire()` does first, a non-blocking try that keeps the interpreter
// lock. False when the lock is taken (or there is no mirror).
bool direct_acquire([[maybe_unused]] PyObject* lock) noexcept {
    switch (mirror) {
#ifdef LUMETRA_SEMAPHORE_MIRROR
        case Mirror::semaphore:
            if (sem_trywait(raw_semaphore(lock)) != 0) return false;
            as_semaphore(lock)->locked = 1;
            return true;
#endif
#ifdef LUMETRA_MUTEX_MIRROR
        case Mirror::mutex:
            return try_lock(lock);
#endif
        default:
            return false;
    }
}

// What `release()` does for a held lock (the mutex's own unlock also wakes a
// parked waiter). False when the lock is not held (the lock's own function
// then raises) or there is no mirror.
bool direct_release([[maybe_unused]] PyObject* lock) noexcept {
    switch (mirror) {
#ifdef LUMETRA_SEMAPHORE_MIRROR
        case Mirror::semaphore:
            if (!as_semaphore(lock)->locked) return false;
            as_semaphore(lock)->locked = 0;
            PyThread_release_lock(as_semaphore(lock)->lock_lock);
            return true;
#endif
#ifdef LUMETRA_MUTEX_MIRROR
        case Mirror::mutex:
            if (!(mutex_bits(lock).load() & held)) return false;
            PyMutex_Unlock(mutex_of(lock));
            return true;
#endif
        default:
            return false;
    }
}

}  // namespace

}  // namespace capi
