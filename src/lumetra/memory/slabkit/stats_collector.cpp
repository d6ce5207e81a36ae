// Binding of FastStatsCollector: allocation counters behind one lock.
//
// `stats` is guarded by `lock` (a threading.Lock set in tp_new and never
// replaced). Arguments, truth values included, are converted before the lock
// is taken; a report copies the counters under the lock and builds its
// dictionary after releasing it, so it is one consistent snapshot and no
// object is created or dropped while the lock is held. The lock is visited by
// the collector but never cleared (it is kept by the collector's clear).
#include <new>

#include "alloc_stats.hpp"
#include "capi/capi.hpp"
#include "slabkit.hpp"

namespace slabkit {

namespace {

struct Self {
    PyObject_HEAD
    FastAllocStats stats;
    capi::Ref lock;

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        f(lock, capi::kept);
    }
};

constexpr capi::Signature new_sig("FastStatsCollector");

PyObject* collector_new(PyTypeObject* type) noexcept {
    capi::Ref owned = capi::Ref::steal(reinterpret_cast<PyObject*>(capi::alloc<Self>(type)));
    if (!owned) return nullptr;
    auto* self = reinterpret_cast<Self*>(owned.get());
    new (&self->stats) FastAllocStats();
    self->lock = capi::Ref::steal(capi::new_threading_lock(capi::state_of<State>(type)));
    if (!self->lock) return nullptr;
    return owned.release();
}

constexpr capi::TypedSignature record_sig("py_record_allocation", capi::Arg<int>{"size"},
                                          capi::Arg<int>{"padding"},
                                          capi::Arg<bool>{"is_bucketed"});
PyObject* py_record_allocation(Self* self, int32_t size, int32_t padding,
                               bool is_bucketed) noexcept {
    capi::LockGuard guard;
    if (!guard.acquire(self->lock.get())) return nullptr;
    self->stats.record_allocation(size, padding, is_bucketed);
    return capi::new_none();
}

constexpr capi::Signature dealloc_sig("py_record_deallocation");
PyObject* py_record_deallocation(Self* self) noexcept {
    capi::LockGuard guard;
    if (!guard.acquire(self->lock.get())) return nullptr;
    self->stats.record_deallocation();
    return capi::new_none();
}

// bucketed / total * 100 with one decimal and a percent sign. The quotient is
// the correctly rounded one Python's int division gives: exact in doubles
// while both counts are below 2**53, through Python ints beyond.
PyObject* ratio_text(uint64_t bucketed, uint64_t total) noexcept {
    double ratio = 0.0;
    if (total > 0) {
        constexpr uint64_t exact_limit = uint64_t{1} << 53;
        if (bucketed <= exact_limit && total <= exact_limit) {
            ratio = static_cast<double>(bucketed) / static_cast<double>(total);
        } else {
            capi::Ref b = capi::Ref::steal(PyLong_FromUnsignedLongLong(bucketed));
            capi::Ref t = capi::Ref::steal(PyLong_FromUnsignedLongLong(total));
            if (!b || !t) return nullptr;
            capi::Ref q = capi::Ref::steal(PyNumber_TrueDivide(b.get(), t.get()));
            if (!q) return nullptr;
            ratio = PyFloat_AsDouble(q.get());
        }
        ratio *= 100.0;
    }
    return capi::percent_text(ratio);
}

bool set_count(PyObject* dict, PyObject* key, uint64_t value) noexcept {
    capi::Ref number = capi::Ref::steal(PyLong_FromUnsignedLongLong(value));
    return number && PyDict_SetItem(dict, key, number.get()) == 0;
}

constexpr capi::Signature get_stats_sig("get_stats");
PyObject* get_stats(State& st, Self* self) noexcept {
    FastAllocStats snapshot;
    {
        capi::LockGuard guard;
        if (!guard.acquire(self->lock.get())) return nullptr;
        snapshot = self->stats;
    }
    capi::Ref ratio =
        capi::Ref::steal(ratio_text(snapshot.bucketed_allocations, snapshot.total_allocations));
    capi::Ref dict = capi::Ref::steal(PyDict_New());
    if (!ratio || !dict) return nullptr;
    PyObject* d = dict.get();
    if (!set_count(d, st.names.get<"total_allocations">(), snapshot.total_allocations) ||
        !set_count(d, st.names.get<"total_deallocations">(), snapshot.total_deallocations) ||
        !set_count(d, st.names.get<"bucketed_allocations">(), snapshot.bucketed_allocations) ||
        !set_count(d, st.names.get<"fallback_allocations">(), snapshot.fallback_allocations) ||
        PyDict_SetItem(d, st.names.get<"bucketed_allocation_ratio">(), ratio.get()) < 0 ||
        !set_count(d, st.names.get<"alignment_padding_bytes">(),
                   snapshot.alignment_padding_bytes)) {
        return nullptr;
    }
    return dict.release();
}

constexpr capi::Signature reset_sig("reset_stats");
PyObject* reset_stats(Self* self) noexcept {
    capi::LockGuard guard;
    if (!guard.acquire(self->lock.get())) return nullptr;
    self->stats.reset();
    return capi::new_none();
}

const capi::FunctionDef methods[] = {
    capi::method<py_record_allocation, record_sig>(
        "Record allocation statistics (Python interface)."),
    capi::method<py_record_deallocation, dealloc_sig>(
        "Record deallocation statistics (Python interface)."),
    capi::method<get_stats, get_stats_sig>("Get statistics dictionary."),
    capi::method<reset_stats, reset_sig>("Reset all statistics."),
};

}  // namespace

bool add_stats_collector(PyObject* module, State& st) noexcept {
    st.FastStatsCollectorType =
        capi::create_type<Self>(module, st,
                                {
                                    .name = "lumetra.memory.slabkit.FastStatsCollector",
                                    .doc = "Fast statistics collection",
                                    .constructor = capi::constructor<collector_new, new_sig>(),
                                    .methods = methods,
                                });
    return st.FastStatsCollectorType != nullptr;
}

}  // namespace slabkit
