// Binding of AtomicPointer: a versioned reference cell serialised by one
// threading.Lock per instance.
//
// Ownership: the cell owns one strong reference to the held object. New
// references are taken before the lock is acquired and displaced ones are
// dropped after it is released, so a destructor triggered by a drop never
// runs inside the critical section, which contains only pointer and integer
// updates: a brief section, which skips a free lock under a GIL
// (capi::lock_elidable) and takes it on free-threaded builds. load() takes its
// reference to the held object inside the lock, so a store in another thread
// cannot drop the object between the read and the reference. `None` is never
// held: it empties the cell.
//
// The held object is visited by the garbage collector, so a reference cycle
// that runs through a cell is collected; clearing empties the cell. The lock
// reference is visited but never cleared: a lock holds no references of its
// own, so a cycle through a replaced `threading.Lock` is broken by the other
// objects in it, and the methods never find the lock gone.
#include <new>

#include "capi/capi.hpp"
#include "lockless.hpp"

namespace lockless {

namespace {

using Self = AtomicPointerObject;

// A new reference for the cell: null for None.
PyObject* cell_ref(PyObject* value) noexcept {
    return value == Py_None ? nullptr : Py_NewRef(value);
}

constexpr capi::TypedSignature new_sig("AtomicPointer",
                                       capi::Arg<PyObject*>{"initial_value", capi::none});

PyObject* pointer_new(PyTypeObject* type, PyObject* initial_value) noexcept {
    capi::Ref self = capi::Ref::steal(reinterpret_cast<PyObject*>(capi::alloc<Self>(type)));
    if (!self) return nullptr;
    Self* p = reinterpret_cast<Self*>(self.get());
    new (&p->cell) VersionedCell<PyObject>(cell_ref(initial_value));
    p->lock = capi::Ref::steal(capi::new_threading_lock(capi::state_of<State>(type)));
    if (!p->lock) return nullptr;
    return self.release();
}

constexpr capi::Signature load_sig("load");
PyObject* load(Self* self) noexcept {
    capi::LockGuard guard;
    if (!guard.acquire_brief(self->lock.get())) return nullptr;
    // The reference is taken inside the lock: once it is released another
    // thread may displace and drop the cell's own reference.
    PyObject* held = self->cell.load();
    PyObject* result = Py_NewRef(held ? held : Py_None);
    guard.release();
    return result;
}

constexpr capi::TypedSignature store_sig("store", capi::Arg<PyObject*>{"value"});
PyObject* store(Self* self, PyObject* value) noexcept {
    capi::Ref desired = capi::Ref::steal(cell_ref(value));
    capi::Ref displaced;
    {
        capi::LockGuard guard;
        if (!guard.acquire_brief(self->lock.get())) return nullptr;
        displaced = capi::Ref::steal(self->cell.exchange(desired.release()));
    }
    displaced.reset();
    return capi::new_none();
}

constexpr capi::TypedSignature cas_sig("compare_and_swap", capi::Arg<PyObject*>{"expected"},
                                       capi::Arg<PyObject*>{"new_value"});
PyObject* compare_and_swap(Self* self, PyObject* expected, PyObject* new_value) noexcept {
    // Compared by identity only; no reference to `expected` is needed.
    if (expected == Py_None) expected = nullptr;
    capi::Ref desired = capi::Ref::steal(cell_ref(new_value));
    capi::Ref displaced;
    bool swapped;
    {
        capi::LockGuard guard;
        if (!guard.acquire_brief(self->lock.get())) return nullptr;
        PyObject* old = nullptr;
        swapped = self->cell.compare_and_swap(expected, desired.get(), old);
        if (swapped) {
            // The cell now owns `desired`, and we what it displaced.
            (void)desired.release();
            displaced = capi::Ref::steal(old);
        }
    }
    // After the lock: the displaced reference after a swap, the one taken to
    // `new_value` after a failure, are dropped on return.
    return capi::new_bool(swapped);
}

constexpr capi::Signature version_sig("get_version");
PyObject* get_version(Self* self) noexcept {
    uint64_t version;
    {
        capi::LockGuard guard;
        if (!guard.acquire_brief(self->lock.get())) return nullptr;
        version = self->cell.version();
    }
    return PyLong_FromUnsignedLongLong(version);
}

const capi::FunctionDef methods[] = {
    capi::method<load, load_sig>("Atomically load pointer value.\n\n"
                                 "Returns the held object, or None when the cell is empty.",
                                 "Optional[object]"),
    capi::method<store, store_sig>(
        "Atomically store new pointer value.\n\n"
        "Storing None empties the cell. Every store counts as a change,\n"
        "even of the object already held."),
    capi::method<compare_and_swap, cas_sig>(
        "Atomically compare and swap pointer.\n\n"
        "Replaces the held object with new_value when it is expected itself\n"
        "(identity, not equality; None matches an empty cell) and returns True;\n"
        "otherwise changes nothing and returns False.",
        "bool"),
    capi::method<get_version, version_sig>("Get current version for ABA detection.\n\n"
                                           "The version counts successful stores and swaps.",
                                           "int"),
};

}  // namespace

bool add_atomic_pointer(PyObject* module, State& st) noexcept {
    st.AtomicPointerType = capi::create_type<Self>(
        module, st,
        {
            .name = "lumetra.memory.lockless.AtomicPointer",
            .doc = "Reference cell with load, store and compare-and-swap, and a version that\n"
                   "counts successful changes so that callers can detect the ABA case.\n\n"
                   "The operations are serialised by a threading.Lock: a lock-free reference\n"
                   "cell would need hazard pointers to be safe under the interpreter's\n"
                   "reference counting.\n\n"
                   "Performance targets (including interpreter and lock overhead):\n"
                   "    load(), store(): ~50-100ns\n"
                   "    compare_and_swap(): ~100-150ns\n",
            .constructor = capi::constructor<pointer_new, new_sig>(),
            .methods = methods,
        });
    return st.AtomicPointerType != nullptr;
}

}  // namespace lockless
