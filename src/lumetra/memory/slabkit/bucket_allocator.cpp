// Binding of FastBucketAllocator: size-class free lists of block offsets.
//
// `bucketed_free_lists` is a dict from bucket size (int) to a list of free
// offsets (ints) used as a stack. Its keys are written only by `_init_buckets`,
// in ascending order (see BucketConfig::for_each_bucket), and re-running it
// replaces values in place, so the dict's iteration order is ascending key
// order: the larger-bucket search walks the dict instead of sorting its keys.
//
// Every list read and write of the methods happens while `lock` (a
// threading.Lock, not re-entrant) is held; bucket sizes are computed before it
// is taken, and arguments are converted before it, so no Python code of the
// caller runs under the lock. References are dropped only after the lock is
// released. `_init_buckets` takes no lock: it replaces the dict's lists while
// other threads may be looking them up, so a list is always taken from the
// dict as a strong reference, and the larger-bucket walk holds the dict's
// critical section (below).
//
// A failed fit check leaves the offset where it was: popping the last offset
// and appending it back is the same list, without a chance of failing.
//
// The dict and the lock are set in tp_new and never replaced or cleared (both
// are kept by the collector's clear), so methods can use them without checks. The instance
// takes part in garbage collection because `threading.Lock` may be rebound to
// a class whose objects refer back, and the dict is reachable from Python
// (through gc.get_referents); such cycles are broken by the other objects in
// them.
#include <new>
#include <utility>

#include "capi/capi.hpp"
#include "size_math.hpp"
#include "slabkit.hpp"

namespace slabkit {

// An int32_t argument together with the int object given for it, so that an
// exact int can serve as a dict key or a stored offset without making another.
struct Int32Given {};
struct GivenInt32 {
    PyObject* given;  // borrowed from the call; null when omitted
    int32_t value;
};

}  // namespace slabkit

template <>
struct capi::Convert<slabkit::Int32Given> : capi::Convert<capi::Int32> {
    using type = slabkit::GivenInt32;
    static bool fallback(const Default& d, type& out) noexcept {
        out.given = nullptr;
        return Convert<Int32>::fallback(d, out.value);
    }
    static bool convert(PyObject* obj, type& out, const char* name) noexcept {
        out.given = obj;
        return Convert<Int32>::convert(obj, out.value, name);
    }
};

namespace slabkit {

namespace {

struct Self {
    PyObject_HEAD
    BucketConfig config;
    capi::Ref bucketed_free_lists;
    capi::Ref lock;

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        f(bucketed_free_lists, capi::kept);
        f(lock, capi::kept);
    }
};

// --- bucket access (lock held) ---------------------------------------------------

// The list under `key` as a strong reference (`_init_buckets` may replace it
// at any time, and takes no lock), or null: with an error set when the lookup
// failed, without one when there is no such bucket.
capi::Ref find_bucket(Self* self, PyObject* key) noexcept {
    PyObject* found = nullptr;
    if (capi::internals::dict_get_ref(self->bucketed_free_lists.get(), key, &found) <= 0) {
        return {};
    }
    capi::Ref list = capi::Ref::steal(found);
    if (!PyList_Check(list.get())) return {};
    return list;
}

// Offsets are stored as ints within 32 bits; reading one runs no Python code.
bool offset_value(PyObject* item, int32_t& out) noexcept {
    if (!PyLong_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    return capi::to_int32(item, out);
}

// Removes the last offset of `list` into `result` when `take(offset)` says so
// (1 = yes, 0 = no, -1 = error). 1 = taken, 0 = not taken or the list is
// empty, -1 = error. Only this allocator's methods change the lists, under its
// lock, so the last item is still the last when it is removed. The lists are
// reachable from Python code, though (gc.get_referents): the item is read as
// a strong reference, so that a list changed meanwhile by other code in
// another thread cannot free it under us, and the removal is the list's own
// operation. (Not a critical section on the list around both: the list's own
// operation takes that section too, and on 3.13 taking it again from the same
// thread waits for itself, through a suspension, before going on.)
template <typename Take>
int pop_last_if(PyObject* list, Take take, capi::Ref& result) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n == 0) return 0;
    capi::Ref item = capi::Ref::steal(capi::internals::list_get_ref(list, n - 1));
    if (!item) {
        PyErr_Clear();  // emptied meanwhile by other code: nothing to take
        return 0;
    }
    const int taken = take(item.get());
    if (taken <= 0) return taken;
    if (PyList_SetSlice(list, n - 1, n, nullptr) < 0) return -1;
    result = std::move(item);
    return 1;
}

// Tries the most recently added offset of `list` (a bucket of blocks of
// `block_size`): pops and returns it when the aligned allocation fits.
// 1 = taken (into `result`), 0 = does not fit or the list is empty, -1 = error.
int take_if_fits(PyObject* list, int64_t block_size, int32_t size, int32_t alignment,
                 capi::Ref& result) noexcept {
    const auto fits = [&](PyObject* item) noexcept {
        int32_t offset;
        if (!offset_value(item, offset)) return -1;
        return fits_in_block(offset, block_size, size, alignment) ? 1 : 0;
    };
    return pop_last_if(list, fits, result);
}

// A dict key as a bucket size; false for keys this allocator never creates.
bool bucket_key(PyObject* key, int64_t& out) noexcept {
    if (!PyLong_Check(key)) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        PyErr_Clear();
        return false;
    }
    out = value;
    return true;
}

// The key object for `bucket_size`: the caller's own int when it is that
// value already (no allocation), else a new one.
capi::Ref key_for(const GivenInt32& size, int64_t bucket_size) noexcept {
    if (size.value == bucket_size && PyLong_CheckExact(size.given)) {
        return capi::Ref::borrow(size.given);
    }
    return capi::Ref::steal(PyLong_FromLongLong(bucket_size));
}

bool init_buckets(Self* self) noexcept {
    PyObject* dict = self->bucketed_free_lists.get();
    return self->config.for_each_bucket([dict](int64_t size) noexcept {
        capi::Ref key = capi::Ref::steal(PyLong_FromLongLong(size));
        capi::Ref list = capi::Ref::steal(PyList_New(0));
        return key && list && PyDict_SetItem(dict, key.get(), list.get()) == 0;
    });
}

// The larger-bucket search: buckets above `bucket_size` in ascending order,
// one offset tried from each. The walk holds a critical section on the dict,
// which PyDict_Next needs against `_init_buckets` replacing entries in another
// thread; each list is held by a reference of our own before it is used.
// Should a list's own section (taken by its operations) have to wait, the
// dict's is suspended meanwhile, and the walk resumes on the dict as it then
// is, at the same position.
int take_from_larger(PyObject* dict, int64_t bucket_size, int32_t size, int32_t alignment,
                     capi::Ref& result) noexcept {
    capi::CriticalSection section(dict);
    Py_ssize_t pos = 0;
    PyObject *key_obj, *value;
    while (PyDict_Next(dict, &pos, &key_obj, &value)) {
        int64_t check_size;
        // An empty bucket is passed over before anything else (most are).
        if (!PyList_Check(value) || PyList_GET_SIZE(value) == 0 ||
            !bucket_key(key_obj, check_size) || check_size <= bucket_size) {
            continue;
        }
        capi::Ref list = capi::Ref::borrow(value);
        const int taken = take_if_fits(list.get(), check_size, size, alignment, result);
        if (taken != 0) return taken;
    }
    return 0;
}

// --- construction ----------------------------------------------------------------

constexpr BucketConfig defaults{};
constexpr capi::TypedSignature new_sig(
    "FastBucketAllocator", capi::Arg<capi::Int32>{"bucket_size_step", defaults.bucket_size_step},
    capi::Arg<capi::Int32>{"small_block_max", defaults.small_block_max},
    capi::Arg<capi::Int32>{"medium_block_max", defaults.medium_block_max});

PyObject* allocator_new(PyTypeObject* type, int32_t bucket_size_step, int32_t small_block_max,
                        int32_t medium_block_max) noexcept {
    // Bucket sizes are multiples of the step: a step of 0 would divide by zero
    // and a negative one would make every bucket size 0 or negative.
    if (bucket_size_step <= 0) {
        PyErr_Format(PyExc_ValueError, "bucket_size_step must be positive, got %d",
                     static_cast<int>(bucket_size_step));
        return nullptr;
    }
    capi::Ref owned = capi::Ref::steal(reinterpret_cast<PyObject*>(capi::alloc<Self>(type)));
    if (!owned) return nullptr;
    auto* self = reinterpret_cast<Self*>(owned.get());
    BucketConfig config;
    config.bucket_size_step = bucket_size_step;
    config.small_block_max = small_block_max;
    config.medium_block_max = medium_block_max;
    new (&self->config) BucketConfig(config);
    // The lock is made only once the dict exists (no Python code may run with
    // an exception pending).
    self->bucketed_free_lists = capi::Ref::steal(PyDict_New());
    if (!self->bucketed_free_lists) return nullptr;
    const State& st = capi::state_of<State>(type);
    self->lock = capi::Ref::steal(capi::new_threading_lock(st));
    if (!self->lock) return nullptr;
    // A subclass may replace _init_buckets; its version runs instead.
    if (capi::overridden(owned.get(), st.FastBucketAllocatorType,
                         st.names.get<"_init_buckets">())) {
        capi::Ref result = capi::Ref::steal(capi::call_method<"_init_buckets">(st, owned.get()));
        if (!result) return nullptr;
    } else if (!init_buckets(self)) {
        return nullptr;
    }
    return owned.release();
}

// --- methods ---------------------------------------------------------------------

constexpr capi::Signature init_buckets_sig("_init_buckets");
PyObject* py_init_buckets(Self* self) noexcept {
    return init_buckets(self) ? capi::new_none() : nullptr;
}

constexpr capi::TypedSignature add_sig("add_to_bucket", capi::Arg<Int32Given>{"offset"},
                                       capi::Arg<Int32Given>{"size"});
PyObject* add_to_bucket(Self* self, GivenInt32& offset, GivenInt32& size) noexcept {
    // Only exact bucket sizes are accepted.
    const int64_t bucket_size = self->config.get_bucket_size_fast(size.value);
    if (bucket_size <= 0 || bucket_size != size.value) return capi::new_bool(false);
    capi::Ref key = key_for(size, bucket_size);
    capi::Ref value = PyLong_CheckExact(offset.given)
                          ? capi::Ref::borrow(offset.given)
                          : capi::Ref::steal(PyLong_FromLong(offset.value));
    if (!key || !value) return nullptr;
    capi::Ref list;
    capi::LockGuard guard;
    if (!guard.acquire(self->lock.get())) return nullptr;
    list = find_bucket(self, key.get());
    if (!list) return PyErr_Occurred() ? nullptr : capi::new_bool(false);
    if (PyList_Append(list.get(), value.get()) < 0) return nullptr;
    return capi::new_bool(true);
}

constexpr capi::TypedSignature remove_sig("remove_from_bucket", capi::Arg<Int32Given>{"size"});
PyObject* remove_from_bucket(Self* self, GivenInt32& size) noexcept {
    const int64_t bucket_size = self->config.get_bucket_size_fast(size.value);
    if (bucket_size <= 0) return capi::new_none();
    capi::Ref key = key_for(size, bucket_size);
    if (!key) return nullptr;
    capi::Ref list, result;
    capi::LockGuard guard;
    if (!guard.acquire(self->lock.get())) return nullptr;
    list = find_bucket(self, key.get());
    if (!list) return PyErr_Occurred() ? nullptr : capi::new_none();
    const auto any = [](PyObject*) noexcept { return 1; };
    if (pop_last_if(list.get(), any, result) < 0) return nullptr;
    return result ? result.release() : capi::new_none();
}

constexpr capi::TypedSignature best_fit_sig("find_best_fit_bucket", capi::Arg<Int32Given>{"size"},
                                            capi::Arg<capi::Int32>{"alignment"});
PyObject* find_best_fit_bucket(Self* self, GivenInt32& size, int32_t alignment) noexcept {
    const int64_t bucket_size = self->config.get_bucket_size_fast(size.value);
    if (bucket_size <= 0) return capi::new_none();
    capi::Ref key = key_for(size, bucket_size);
    if (!key) return nullptr;
    capi::Ref exact, result;
    capi::LockGuard guard;
    if (!guard.acquire(self->lock.get())) return nullptr;
    exact = find_bucket(self, key.get());
    if (!exact && PyErr_Occurred()) return nullptr;
    if (exact && take_if_fits(exact.get(), bucket_size, size.value, alignment, result) < 0) {
        return nullptr;
    }
    if (!result && take_from_larger(self->bucketed_free_lists.get(), bucket_size, size.value,
                                    alignment, result) < 0) {
        return nullptr;
    }
    guard.release();
    return result ? result.release() : capi::new_none();
}

const capi::FunctionDef methods[] = {
    capi::method<py_init_buckets, init_buckets_sig>("Initialize size-class buckets."),
    capi::method<add_to_bucket, add_sig>("Add block to appropriate bucket."),
    capi::method<remove_from_bucket, remove_sig>("Remove block from appropriate bucket."),
    capi::method<find_best_fit_bucket, best_fit_sig>("Find best fit bucket for allocation."),
};

}  // namespace

bool add_bucket_allocator(PyObject* module, State& st) noexcept {
    st.FastBucketAllocatorType = capi::create_type<Self>(
        module, st,
        {
            .name = "lumetra.memory.slabkit.FastBucketAllocator",
            .doc = "Segregated free lists of block offsets, one per rounded block size,\n"
                   "with exact-bucket and larger-bucket best-fit search under one lock.\n",
            .constructor = capi::constructor<allocator_new, new_sig>(),
            .methods = methods,
        });
    return st.FastBucketAllocatorType != nullptr;
}

}  // namespace slabkit
