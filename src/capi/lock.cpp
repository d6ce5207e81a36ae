#include "lock.hpp"

#include <pythread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "call.hpp"
#include "internals.hpp"
#include "lock_layout.hpp"
#include "ref.hpp"
#include "state.hpp"

// How a lock is driven.
//
// Uncontended acquire and release avoid the method machinery: `acquire()`
// parses its arguments and reads the clock even for a non-blocking try, which
// costs several times more than taking a free lock. The interpreter's lock
// object is read through a mirror of its layout (lock_layout.hpp says which),
// and a probe of a real lock checks the chosen mirror against the lock's own
// methods before it is used. On any other version, when the probe is
// surprised, or with LUMETRA_LOCK_FAST_PATH=0 in the environment, the
// interpreter's locks go through the C functions of their own
// `acquire()`/`release()` methods (called directly: a method call by name
// allocates, and an allocation may start a collection whose finalizers call
// back into a method holding the lock, or fail under memory pressure and
// leave the lock held), and any other lock object through method calls. The
// lock's own functions also do the work whenever the lock is taken, so that
// waiting, signals and timeouts behave as usual.
//
// The route rests only on facts Python code cannot rebind, so one process-wide
// answer serves every interpreter:
// - The probe lock comes from the `allocate_lock` C function in `_thread`'s
//   module definition, called on the `_thread` module itself, never from a
//   module attribute (`_thread.LockType`, `_thread.allocate_lock`,
//   `threading.Lock` may all be rebound).
// - Its type must be named "_thread.lock" and define `acquire` and `release`
//   itself as built-in methods of the expected kinds; a Python class, or a
//   subclass of any lock, fails this (its descriptors, if any, belong to the
//   base). The type's deallocator then identifies the interpreter's locks:
//   every interpreter has its own lock type object, but they all run the same
//   C functions, and no other type uses that deallocator.
// - Whether raw locks are semaphores comes from the build's configuration
//   (lock_layout.hpp), not from `sys.thread_info`.
// A route is published only when it was found this way. An interpreter where
// `_thread` itself is not the interpreter's own module publishes nothing and
// drives its locks through method calls; it cannot change how any other
// interpreter drives its locks.
namespace capi {

namespace {

using namespace lock_layout;

// The lock type's C functions are always called directly; with a mirror, an
// uncontended acquire or release is done through the mirrored layout first.
enum class Mirror { none, semaphore, mutex };

// METH_FASTCALL | METH_KEYWORDS (public by this name only from 3.13).
using AcquireFast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct LockRoute {
    Mirror mirror = Mirror::none;
    destructor lock_dealloc = nullptr;  // the lock type's tp_dealloc
    // acquire() takes (args, kwargs) up to 3.14 and the vectorcall
    // convention from 3.15; exactly one of the two is set.
    PyCFunctionWithKeywords acquire_c = nullptr;
    AcquireFast acquire_fast = nullptr;
    PyCFunction release_c = nullptr;
};

// Published once per process. Interpreters that probe at the same time find
// the same answer; the first to publish wins and the others drop theirs.
// Acquire/release ordering: a reader that sees the pointer also sees the
// fields written before it was published.
std::atomic<const LockRoute*> published{nullptr};

// lock.acquire() through the lock type's own C function: a new reference to
// its result, or null with an error set.
PyObject* call_acquire(const LockRoute& r, PyObject* lock) noexcept {
    if (r.acquire_fast != nullptr) return r.acquire_fast(lock, nullptr, 0, nullptr);
    Ref no_args = Ref::steal(PyTuple_New(0));
    return no_args ? r.acquire_c(lock, no_args.get(), nullptr) : nullptr;
}

// LUMETRA_LOCK_FAST_PATH=0 keeps every lock off the mirrored layout.
bool fast_path_allowed() noexcept {
    const char* setting = std::getenv("LUMETRA_LOCK_FAST_PATH");
    return setting == nullptr || std::strcmp(setting, "0") != 0;
}

bool call_method_ok(PyObject* lock, const char* name) noexcept {
    return static_cast<bool>(Ref::steal(PyObject_CallMethod(lock, name, nullptr)));
}

// True when the lock's own locked() agrees with `expected`.
[[maybe_unused]] bool reports_locked(PyObject* lock, bool expected) noexcept {
    Ref result = Ref::steal(PyObject_CallMethod(lock, "locked", nullptr));
    return result && PyObject_IsTrue(result.get()) == static_cast<int>(expected);
}

#ifdef LUMETRA_SEMAPHORE_MIRROR
// True when a probe lock behaves as the mirror predicts.
bool probe_semaphore(PyObject* l, const LockRoute& r) noexcept {
    if (Py_TYPE(l)->tp_weaklistoffset !=
        static_cast<Py_ssize_t>(offsetof(SemaphoreLock, in_weakreflist))) {
        return false;
    }
    SemaphoreLock* m = as_semaphore(l);
    if (m->locked != 0) return false;
    Ref acquired = Ref::steal(call_acquire(r, l));
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

#ifdef LUMETRA_MUTEX_MIRROR
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

// Which mirror the probe lock `l` (unlocked, seen by no one else) confirms.
Mirror probe_mirror(PyObject* l, const LockRoute& r) noexcept {
    [[maybe_unused]] const auto size = static_cast<size_t>(Py_TYPE(l)->tp_basicsize);
#ifdef LUMETRA_SEMAPHORE_MIRROR
    if (size == sizeof(SemaphoreLock) && probe_semaphore(l, r)) return Mirror::semaphore;
#endif
#ifdef LUMETRA_MUTEX_MIRROR
    if (size == sizeof(MutexLock) && probe_mutex(l)) return Mirror::mutex;
#endif
    (void)r;
    return Mirror::none;
}

// A new lock from `_thread`'s own `allocate_lock` C function, looked up in
// the module's definition. Null without an error when `_thread` is not the
// interpreter's own module (or has no such function); null with an error
// when making the lock failed.
Ref new_probe_lock() noexcept {
    Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
    if (!thread) return Ref();
    PyModuleDef* def = PyModule_Check(thread.get()) ? PyModule_GetDef(thread.get()) : nullptr;
    if (def == nullptr || def->m_name == nullptr || std::strcmp(def->m_name, "_thread") != 0 ||
        def->m_methods == nullptr) {
        return Ref();
    }
    for (const PyMethodDef* m = def->m_methods; m->ml_name != nullptr; ++m) {
        if (std::strcmp(m->ml_name, "allocate_lock") == 0 && m->ml_flags == METH_NOARGS) {
            return Ref::steal(m->ml_meth(thread.get(), nullptr));
        }
    }
    return Ref();
}

// The type's own method `name` (see own_method), or null; never an error.
PyCFunction lock_method(PyTypeObject* type, const char* name, int flags) noexcept {
    SavedError saved;  // a failed lookup only means "not this route"
    Ref dict = Ref::steal(internals::type_dict(type));
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!dict || !key) return nullptr;
    return own_method(type, PyDict_GetItemWithError(dict.get(), key.get()), flags);
}

// Finds the route for the interpreter's lock type into `r`: 1 when found, 0
// when this interpreter offers no trustworthy lock to learn it from, -1 with
// an error set when the probe itself failed (no memory).
int probe_route(LockRoute& r) noexcept {
    Ref lock = new_probe_lock();
    if (!lock) return PyErr_Occurred() ? -1 : 0;
    PyTypeObject* type = Py_TYPE(lock.get());
    if (std::strcmp(type->tp_name, "_thread.lock") != 0) return 0;
    PyCFunction acquire = lock_method(type, "acquire", METH_VARARGS | METH_KEYWORDS);
    PyCFunction acquire_fast = lock_method(type, "acquire", METH_FASTCALL | METH_KEYWORDS);
    PyCFunction release = lock_method(type, "release", METH_NOARGS);
    if ((acquire == nullptr && acquire_fast == nullptr) || release == nullptr) return 0;
    r.lock_dealloc = type->tp_dealloc;
    // The casts undo the one PyMethodDef's field type imposes; the flags
    // checked above say which signature the function really has.
    r.acquire_c = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(acquire));
    r.acquire_fast = reinterpret_cast<AcquireFast>(reinterpret_cast<void (*)()>(acquire_fast));
    r.release_c = release;
    if (fast_path_allowed()) {
        r.mirror = probe_mirror(lock.get(), r);
        if (PyErr_Occurred()) return -1;  // the probe could not run (no memory)
    }
    return 1;
}

// The published route, probing for it when none is yet. Null, without an
// error, while no route is known (locks then go through method calls); null
// with an error when probing failed.
const LockRoute* find_route() noexcept {
    const LockRoute* r = published.load(std::memory_order_acquire);
    if (r != nullptr) return r;
    auto* found = new (std::nothrow) LockRoute();
    if (found == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (probe_route(*found) != 1) {
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

// The published route when `lock` is an instance of the interpreter's own
// lock type (in any interpreter); null for any other object, or while no
// route is known.
const LockRoute* route_for(PyObject* lock) noexcept {
    const LockRoute* r = published.load(std::memory_order_acquire);
    return r != nullptr && Py_TYPE(lock)->tp_dealloc == r->lock_dealloc ? r : nullptr;
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

// Skipping a free lock for a brief critical section. With a GIL, the thread
// running the section holds the interpreter lock from before it looks at the
// lock until after the section ends (the section never lets it go). Any other
// thread that touches what the lock protects does so holding the same
// interpreter lock: Python code always does, our own sections take the lock
// only with it held, and the lock and what it protects belong to one
// interpreter (sub-interpreters with a GIL of their own do not share objects).
// So:
// - If the lock reads as free, no thread is inside its critical section (the
//   holder's section ends with the release, made holding the interpreter
//   lock), and none can enter one before this thread lets the interpreter
//   lock go, after the section. A thread blocked in acquire() without the
//   interpreter lock may take the raw lock meanwhile, but acquire() takes the
//   interpreter lock back before it returns, so its section starts after ours
//   ends. Taking and giving back the lock would change nothing anyone can see.
// - If the lock reads as held (by Python code that reached it, through `gc`
//   for instance, or by a thread that has taken the raw lock and waits for
//   the interpreter lock), the section takes it for real and waits.
// "Free" reads the raw lock itself, which a waiter takes before it marks the
// lock object: the semaphore's count (sem_getvalue) and the object's flag, or
// the mutex byte's "locked" bit. The interpreter lock orders this thread after
// the last holder's release, so a relaxed read suffices. Builds without a GIL
// always take the lock.
bool lock_elidable([[maybe_unused]] PyObject* lock) noexcept {
#ifdef Py_GIL_DISABLED
    return false;
#else
    const LockRoute* r = route_for(lock);
    if (r == nullptr) return false;
    switch (r->mirror) {
#ifdef LUMETRA_SEMAPHORE_MIRROR
        case Mirror::semaphore: {
            int count = 0;
            return as_semaphore(lock)->locked == 0 &&
                   sem_getvalue(raw_semaphore(lock), &count) == 0 && count > 0;
        }
#endif
#ifdef LUMETRA_MUTEX_MIRROR
        case Mirror::mutex:
            return (mutex_bits(lock).load(std::memory_order_relaxed) & held) == 0;
#endif
        default:
            return false;
    }
#endif
}

bool prepare_locks() noexcept { return find_route() != nullptr || !PyErr_Occurred(); }

bool lock_acquire(PyObject* lock) noexcept {
    if (const LockRoute* r = route_for(lock)) {
        return direct_acquire(r, lock) || Ref::steal(call_acquire(*r, lock));
    }
    return call_method_ok(lock, "acquire");
}

bool lock_release(PyObject* lock) noexcept {
    const LockRoute* r = route_for(lock);
    if (r != nullptr && direct_release(r, lock)) return true;
    auto release = [&] {
        return Ref::steal(r != nullptr ? r->release_c(lock, nullptr)
                                       : PyObject_CallMethod(lock, "release", nullptr));
    };
    if (!PyErr_Occurred()) return static_cast<bool>(release());
    // Released on the way out of a failed operation: its exception stays the
    // one reported, and a failed release is only unraisable.
    SavedError pending;
    if (!release()) PyErr_WriteUnraisable(lock);
    return true;
}

PyObject* new_threading_lock(const ModuleState& st) noexcept {
    Ref module = module_global(st.module_dict, st.base_names.get<"threading">());
    if (!module) return nullptr;
    Ref factory = Ref::steal(PyObject_GetAttr(module.get(), st.base_names.get<"Lock">()));
    if (!factory) return nullptr;
    return PyObject_CallNoArgs(factory.get());
}

}  // namespace capi
