// Binding of FastBucketAllocator: size-class free lists of block offsets.
//
// `bucketed_free_lists` is a dict from bucket size (int) to a list of free
// offsets (ints) used as a stack. Its keys are written only by `_init_buckets`,
// in ascending order (see BucketConfig::for_each_bucket), and re-running it
// replaces values in place, so the dict's iteration order is ascending key
// order: the larger-bucket search walks the dict instead of sorting its keys.
//
// Every list read and write happens while `lock` (a threading.Lock, not
// re-entrant) is held; bucket sizes are computed before it is taken, and
// arguments are converted before it, so no Python code of the caller runs
// under the lock. References are dropped only after the lock is released.
//
// A failed fit check leaves the offset where it was: popping the last offset
// and appending it back is the same list, without a chance of failing.
//
// The dict and the lock are set in tp_new and never replaced or cleared (the
// type has no tp_clear), so methods can use them without checks. The instance
// takes part in garbage collection because `threading.Lock` may be rebound to
// a class whose objects refer back, and the dict is reachable from Python
// (through gc.get_referents); such cycles are broken by the other objects in
// them.
#include <new>

#include "capi/capi.hpp"
#include "size_math.hpp"
#include "slabkit.hpp"

namespace slabkit {

namespace {

struct Self {
    PyObject_HEAD BucketConfig config;
    capi::Ref bucketed_free_lists;
    capi::Ref lock;

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        f(bucketed_free_lists, capi::kept);
        f(lock, capi::kept);
    }
};

// --- bucket access (lock held) ---------------------------------------------------

// The list under `key`, or null: with an error set when the lookup failed,
// without one when there is no such bucket.
capi::Ref find_bucket(Self* self, PyObject* key) noexcept {
    PyObject* list = PyDict_GetItemWithError(self->bucketed_free_lists.get(), key);
    if (list == nullptr || !PyList_Check(list)) return {};
    return capi::Ref::borrow(list);
}

// Removes and returns the last offset of a non-empty list.
PyObject* pop_last(PyObject* list) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    capi::Ref item = capi::Ref::borrow(PyList_GET_ITEM(list, n - 1));
    if (PyList_SetSlice(list, n - 1, n, nullptr) < 0) return nullptr;
    return item.release();
}

// Offsets are stored as ints within 32 bits; reading one runs no Python code.
bool offset_value(PyObject* item, int32_t& out) noexcept {
    if (!PyLong_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    return capi::to_int32(item, out);
}

// Tries the most recently added offset of `list` (a bucket of blocks of
// `block_size`): pops and returns it when the aligned allocation fits.
// 1 = taken (into `result`), 0 = does not fit or the list is empty, -1 = error.
int take_if_fits(PyObject* list, int64_t block_size, int32_t size, int32_t alignment,
                 capi::Ref& result) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n == 0) return 0;
    int32_t offset;
    if (!offset_value(PyList_GET_ITEM(list, n - 1), offset)) return -1;
    if (!fits_in_block(offset, block_size, size, alignment)) return 0;
    result = capi::Ref::steal(pop_last(list));
    return result ? 1 : -1;
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
capi::Ref key_for(PyObject* given, int32_t given_value, int64_t bucket_size) noexcept {
    if (given_value == bucket_size && PyLong_CheckExact(given)) return capi::Ref::borrow(given);
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

// --- construction ----------------------------------------------------------------

constexpr BucketConfig defaults{};
constexpr capi::TypedSignature new_sig(
    "FastBucketAllocator", capi::Arg<capi::Int32>{"bucket_size_step", defaults.bucket_size_step},
    capi::Arg<capi::Int32>{"small_block_max", defaults.small_block_max},
    capi::Arg<capi::Int32>{"medium_block_max", defaults.medium_block_max});

PyObject* allocator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    BucketConfig config;
    if (!new_sig.parse_tuple(args, kwargs, config.bucket_size_step, config.small_block_max,
                             config.medium_block_max)) {
        return nullptr;
    }
    // Bucket sizes are multiples of the step: a step of 0 would divide by zero
    // and a negative one would make every bucket size 0 or negative.
    if (config.bucket_size_step <= 0) {
        PyErr_Format(PyExc_ValueError, "bucket_size_step must be positive, got %d",
                     static_cast<int>(config.bucket_size_step));
        return nullptr;
    }
    capi::Ref owned = capi::Ref::steal(type->tp_alloc(type, 0));
    if (!owned) return nullptr;
    auto* self = reinterpret_cast<Self*>(owned.get());
    new (&self->config) BucketConfig(config);
    // The lock is made only once the dict exists (no Python code may run with
    // an exception pending).
    self->bucketed_free_lists = capi::Ref::steal(PyDict_New());
    if (!self->bucketed_free_lists) return nullptr;
    const State& st = state_of(type);
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
PyObject* py_init_buckets(Self* self, PyObject* const*, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    if (!capi::parse_no_args(init_buckets_sig, nargs, kwnames) || !init_buckets(self)) {
        return nullptr;
    }
    return capi::new_none();
}

constexpr capi::TypedSignature add_sig("add_to_bucket", capi::Arg<capi::Int32>{"offset"},
                                       capi::Arg<capi::Int32>{"size"});
PyObject* add_to_bucket(Self* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    PyObject* a[2];
    int32_t offset, size;
    if (!add_sig.parse(args, nargs, kwnames, a, offset, size)) return nullptr;
    // Only exact bucket sizes are accepted.
    const int64_t bucket_size = self->config.get_bucket_size_fast(size);
    if (bucket_size <= 0 || bucket_size != size) return capi::new_bool(false);
    capi::Ref key = key_for(a[1], size, bucket_size);
    capi::Ref value = PyLong_CheckExact(a[0]) ? capi::Ref::borrow(a[0])
                                              : capi::Ref::steal(PyLong_FromLong(offset));
    if (!key || !value) return nullptr;
    capi::Ref list;
    capi::LockGuard guard;
    if (!guard.acquire(self->lock.get())) return nullptr;
    list = find_bucket(self, key.get());
    if (!list) return PyErr_Occurred() ? nullptr : capi::new_bool(false);
    if (PyList_Append(list.get(), value.get()) < 0) return nullptr;
    return capi::new_bool(true);
}

constexpr capi::TypedSignature remove_sig("remove_from_bucket", capi::Arg<capi::Int32>{"size"});
PyObject* remove_from_bucket(Self* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    PyObject* a[1];
    int32_t size;
    if (!remove_sig.parse(args, nargs, kwnames, a, size)) return nullptr;
    const int64_t bucket_size = self->config.get_bucket_size_fast(size);
    if (bucket_size <= 0) return capi::new_none();
    capi::Ref key = key_for(a[0], size, bucket_size);
    if (!key) return nullptr;
    capi::Ref list;
    capi::LockGuard guard;
    if (!guard.acquire(self->lock.get())) return nullptr;
    list = find_bucket(self, key.get());
    if (!list) return PyErr_Occurred() ? nullptr : capi::new_none();
    if (PyList_GET_SIZE(list.get()) == 0) return capi::new_none();
    return pop_last(list.get());
}

constexpr capi::TypedSignature best_fit_sig("find_best_fit_bucket", capi::Arg<capi::Int32>{"size"},
                                            capi::Arg<capi::Int32>{"alignment"});
PyObject* find_best_fit_bucket(Self* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    PyObject* a[2];
    int32_t size, alignment;
    if (!best_fit_sig.parse(args, nargs, kwnames, a, size, alignment)) return nullptr;
    const int64_t bucket_size = self->config.get_bucket_size_fast(size);
    if (bucket_size <= 0) return capi::new_none();
    capi::Ref key = key_for(a[0], size, bucket_size);
    if (!key) return nullptr;
    capi::Ref exact, result;
    capi::LockGuard guard;
    if (!guard.acquire(self->lock.get())) return nullptr;
    exact = find_bucket(self, key.get());
    if (!exact && PyErr_Occurred()) return nullptr;
    if (exact && take_if_fits(exact.get(), bucket_size, size, alignment, result) < 0) {
        return nullptr;
    }
    if (!result) {
        // Larger buckets in ascending order, one offset tried from each. No
        // Python code runs during the walk, so the dict cannot change under it.
        PyObject* dict = self->bucketed_free_lists.get();
        Py_ssize_t pos = 0;
        PyObject *key_obj, *list;
        while (PyDict_Next(dict, &pos, &key_obj, &list)) {
            int64_t check_size;
            if (!PyList_Check(list) || !bucket_key(key_obj, check_size) ||
                check_size <= bucket_size) {
                continue;
            }
            const int taken = take_if_fits(list, check_size, size, alignment, result);
            if (taken < 0) return nullptr;
            if (taken > 0) break;
        }
    }
    guard.release();
    return result ? result.release() : capi::new_none();
}

const capi::FunctionDef methods[] = {
    capi::method<py_init_buckets>(init_buckets_sig, "Initialize size-class buckets."),
    capi::method<add_to_bucket>(add_sig, "Add block to appropriate bucket."),
    capi::method<remove_from_bucket>(remove_sig, "Remove block from appropriate bucket."),
    capi::method<find_best_fit_bucket>(best_fit_sig, "Find best fit bucket for allocation."),
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(allocator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(capi::dealloc_gc<Self>)},
    {Py_tp_traverse, reinterpret_cast<void*>(capi::traverse<Self>)},
    {Py_tp_doc,
     const_cast<char*>("Segregated free lists of block offsets, one per rounded block size,\n"
                       "with exact-bucket and larger-bucket best-fit search under one lock.\n")},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "lumetra.memory.slabkit.FastBucketAllocator",
    sizeof(Self),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace

bool add_bucket_allocator(PyObject* module, State& st) noexcept {
    st.FastBucketAllocatorType = capi::create_type(
        module, st, {.type_spec = &type_spec, .methods = methods, .constructor = &new_sig});
    return st.FastBucketAllocatorType != nullptr;
}

}  // namespace slabkit
