#include "lock.hpp"

#include <pythread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <semaphore.h>
#endif

#include "call.hpp"
#include "ref.hpp"
#include "state.hpp"

// How a lock is driven.
//
// Uncontended acquire and release avoid the method machinery: `acquire()`
// parses its arguments and reads the clock even for a non-blocking try, which
// costs several times more than taking a free lock. The interpreter's lock
// object is read through a mirror of its layout, for the layouts checked here:
// - 3.11 to 3.13: a raw lock pointer, a weak-reference list and a `locked`
//   flag; the raw lock, when the interpreter reports semaphore-based locks, is
//   tried with sem_trywait;
// - 3.14 and 3.15: a one-byte mutex, taken and given back with the same
//   compare-and-swap the interpreter's own inline mutex functions use.
// The object size tells the two apart, and a probe of a real lock checks the
// chosen mirror against the lock's own methods before it is used. On any
// other version, when the probe is surprised, or with LUMETRA_LOCK_FAST_PATH=0
// in the environment, the interpreter's locks go through the C functions of
// their own `acquire()`/`release()` methods (called directly: a method call
// by name allocates, and an allocation may start a collection whose
// finalizers call back into a method holding the lock, or fail under memory
// pressure and leave the lock held), and any other lock object through
// method calls. The lock's own functions also do the work whenever the lock
// is taken, so that waiting, signals and timeouts behave as usual.
//
// What the probe finds is plain C data shared by every interpreter of the
// process: each interpreter has its own lock type object, but they all run
// the same C functions, so the lock type is recognised by its deallocator.
namespace capi {

namespace {

enum class Route {
    methods,   // acquire()/release() method calls, as for any other lock object
    c_calls,   // the lock type's C functions, called without the method lookup
    mirrored,  // c_calls, plus an uncontended try through the mirrored layout
};

enum class Mirror { none, semaphore, mutex };

struct LockRoute {
    Route route = Route::methods;
    Mirror mirror = Mirror::none;
    destructor lock_dealloc = nullptr;  // the lock type's tp_dealloc
    PyCFunctionWithKeywords acquire_c = nullptr;
    PyCFunction release_c = nullptr;
};

// Published once per process. Interpreters that probe at the same time find
// the same answer; the first to publish wins and the others drop theirs.
std::atomic<const LockRoute*> published{nullptr};

// LUMETRA_LOCK_FAST_PATH=0 keeps every lock off the mirrored layout.
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

bool call_method_ok(PyObject* lock, const char* name) noexcept {
    return static_cast<bool>(Ref::steal(PyObject_CallMethod(lock, name, nullptr)));
}

// True when the lock's own locked() agrees with `expected`.
[[maybe_unused]] bool reports_locked(PyObject* lock, bool expected) noexcept {
    Ref result = Ref::steal(PyObject_CallMethod(lock, "locked", nullptr));
    return result && PyObject_IsTrue(result.get()) == static_cast<int>(expected);
}

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
bool probe_semaphore(PyObject* l, const LockRoute& r) noexcept {
    if (r.route != Route::c_calls ||
        Py_TYPE(l)->tp_weaklistoffset !=
            static_cast<Py_ssize_t>(offsetof(SemaphoreLock, in_weakreflist)) ||
        !semaphore_locks()) {
        return false;
    }
    SemaphoreLock* m = as_semaphore(l);
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args || m->locked != 0) return false;
    Ref acquired = Ref::steal(r.acquire_c(l, no_args.get(), nullptr));
    if (!acquired || m->locked != 1 || sem_trywait(raw_semaphore(l)) == 0) return false;
    Ref released = Ref::steal(r.release_c(l, nullptr));
    if (!released || m->locked != 0) return false;
    // The raw lock is free again: taking it must succeed. The probe lock is
    // then marked as `acquire()` marks it and released the ordinary way.
    if (sem_trywait(raw_semaphore(l)) != 0) return false;
    m->locked = 1;
    released = Ref::steal(r.release_c(l, nullptr));
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

bool probe_mutex(PyObject* l) noexcept {
    // Taken by acquire(): the byte says held; given back by release(): free.
    if (mutex_bits(l).load() != unlocked || !call_method_ok(l, "acquire") ||
        mutex_bits(l).load() != held || !reports_locked(l, true) || !call_method_ok(l, "release") ||
        mutex_bits(l).load() != unlocked) {
        return false;
    }
    // Taken here: the lock says held, and its own release() frees it.
    if (!try_lock(l) || !reports_locked(l, true) || !call_method_ok(l, "release") ||
        !reports_locked(l, false)) {
        return false;
    }
    // Taken by acquire() and given back here.
    if (!call_method_ok(l, "acquire")) return false;
    PyMutex_Unlock(mutex_of(l));
    return reports_locked(l, false);
}
#endif

Mirror probe_mirror(PyObject* thread_module, const LockRoute& r) noexcept {
    Ref lock = Ref::steal(PyObject_CallMethod(thread_module, "allocate_lock", nullptr));
    if (!lock || Py_TYPE(lock.get())->tp_dealloc != r.lock_dealloc) return Mirror::none;
    [[maybe_unused]] const auto size = static_cast<size_t>(Py_TYPE(lock.get())->tp_basicsize);
#ifdef LUMETRA_SEMAPHORE_MIRROR
    if (size == sizeof(SemaphoreLock) && probe_semaphore(lock.get(), r)) return Mirror::semaphore;
#endif
#ifdef LUMETRA_MUTEX_MIRROR
    if (size == sizeof(MutexLock) && probe_mutex(lock.get())) return Mirror::mutex;
#endif
    return Mirror::none;
}

// Finds the route for the interpreter's lock type. False with an error set
// when the lock type cannot be found at all; any surprise after that only
// leaves a slower route.
bool probe_route(LockRoute& r) noexcept {
    Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
    if (!thread) return false;
    Ref type = Ref::steal(PyObject_GetAttrString(thread.get(), "LockType"));
    if (!type) return false;
    if (!PyType_Check(type.get())) return true;
    auto* lock_type = reinterpret_cast<PyTypeObject*>(type.get());
    r.lock_dealloc = lock_type->tp_dealloc;
    // The lock's own C functions are called directly only when both are
    // plain method descriptors of the kinds expected; otherwise method calls
    // do the work of a contended acquire.
    Ref acquire = Ref::steal(PyObject_GetAttrString(type.get(), "acquire"));
    Ref release = Ref::steal(PyObject_GetAttrString(type.get(), "release"));
    if (!acquire || !release) {
        PyErr_Clear();
        return true;
    }
    PyCFunction a = method_function(acquire.get(), METH_VARARGS | METH_KEYWORDS);
    PyCFunction rel = method_function(release.get(), METH_NOARGS);
    if (a != nullptr && rel != nullptr) {
        r.acquire_c = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(a));
        r.release_c = rel;
        r.route = Route::c_calls;
    }
    if (!fast_path_allowed()) return true;
    r.mirror = probe_mirror(thread.get(), r);
    if (r.mirror != Mirror::none) {
        r.route = Route::mirrored;
    } else {
        PyErr_Clear();
    }
    return true;
}

const LockRoute* lock_route() noexcept {
    const LockRoute* r = published.load(std::memory_order_acquire);
    if (r != nullptr) return r;
    auto* found = new (std::nothrow) LockRoute();
    if (found == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (!probe_route(*found)) {
        delete found;
        return nullptr;
    }
    const LockRoute* expected = nullptr;
    if (!published.compare_exchange_strong(expected, found, std::memory_order_acq_rel)) {
        delete found;
        return expected;
    }
    return found;
}

// True when `lock` is the interpreter's own lock type and a route other than
// method calls is known for it.
bool own_lock(const LockRoute* r, PyObject* lock) noexcept {
    return r->route != Route::methods && Py_TYPE(lock)->tp_dealloc == r->lock_dealloc;
}

// What `acquire()` does first, a non-blocking try that keeps the interpreter
// lock. False when the lock is taken (or there is no mirror).
bool direct_acquire(const LockRoute* r, [[maybe_unused]] PyObject* lock) noexcept {
    switch (r->mirror) {
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
bool direct_release(const LockRoute* r, [[maybe_unused]] PyObject* lock) noexcept {
    switch (r->mirror) {
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

bool prepare_locks() noexcept { return lock_route() != nullptr; }

bool lock_acquire(PyObject* lock) noexcept {
    const LockRoute* r = lock_route();
    if (r == nullptr) return false;
    if (own_lock(r, lock)) {
        if (direct_acquire(r, lock)) return true;
        if (r->acquire_c != nullptr) {
            Ref no_args = Ref::steal(PyTuple_New(0));
            return no_args && Ref::steal(r->acquire_c(lock, no_args.get(), nullptr));
        }
    }
    return call_method_ok(lock, "acquire");
}

bool lock_release(PyObject* lock) noexcept {
    const LockRoute* r = lock_route();
    if (r == nullptr) return false;
    const bool own = own_lock(r, lock);
    if (own && direct_release(r, lock)) return true;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref result =
        Ref::steal(own && r->release_c != nullptr ? r->release_c(lock, nullptr)
                                                  : PyObject_CallMethod(lock, "release", nullptr));
    if (!result) {
        // The release error wins only when nothing was pending before.
        if (type == nullptr) return false;
        PyErr_WriteUnraisable(lock);
    }
    PyErr_Restore(type, value, traceback);
    return true;
}

PyObject* new_threading_lock(const ModuleState& st) noexcept {
    PyObject* threading = module_global(st.module_dict, st.base_names.get<"threading">());
    if (threading == nullptr) return nullptr;
    // Held across the attribute lookup, which may run code that rebinds the global.
    Ref module = Ref::borrow(threading);
    Ref factory = Ref::steal(PyObject_GetAttr(module.get(), st.base_names.get<"Lock">()));
    if (!factory) return nullptr;
    return PyObject_CallNoArgs(factory.get());
}

}  // namespace capi
