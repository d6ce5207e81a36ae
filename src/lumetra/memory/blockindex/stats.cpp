// Binding of FastRedBlackTree's reporting: get_stats, get_statistics,
// get_size_distribution and reset_circuit_breaker.
//
// Result dictionaries are allocated before any lock is taken: allocating a
// container can start a collection whose finalizers may call back into this
// tree, and neither lock is re-entrant. Filling them (int keys and values)
// runs no Python code, so the tree walks see a consistent tree; get_stats
// fills its dictionary after the lock, as it also calls the sampling counter.
#include "blockindex.hpp"

namespace blockindex {

namespace {

using Self = TreeObject;

bool set_item(PyObject* dict, PyObject* key, PyObject* value) noexcept {
    return value != nullptr && PyDict_SetItem(dict, key, value) == 0;
}

bool set_count(PyObject* dict, PyObject* key, unsigned long long value) noexcept {
    capi::Ref number = capi::Ref::steal(PyLong_FromUnsignedLongLong(value));
    return set_item(dict, key, number.get());
}

}  // namespace

PyObject* get_stats(Self* self) noexcept {
    const State& st = *self->state;
    FastRedBlackTree& t = self->t;
    capi::Ref result = capi::Ref::steal(PyDict_New());
    if (!result) return nullptr;
    PyObject* d = result.get();
    // Copied under the lock and the tree's critical section, which every
    // structural change and its statistics take: the copy agrees with the
    // tree, and the height walk sees it whole. The sampling counter's load()
    // (Python code when `AtomicCounter` is rebound) and the int values come
    // after both.
    StatsValues stats;
    uint64_t node_count;
    int height;
    capi::Ref counter;
    {
        capi::LockGuard guard;
        if (!guard.acquire(t.stats_lock.get())) return nullptr;
        capi::CriticalSection cs(reinterpret_cast<PyObject*>(self));
        stats = t.stats.values();
        node_count = t.tree.node_count();
        height = t._compute_height(t.tree.root());
        if (t.using_atomic) counter = capi::Ref::borrow(t.sampled_counter.get());
    }
    // The statistics in their dictionary order, then the four computed keys.
    const auto& n = st.names;
    if (!set_count(d, n.get<"total_blocks">(), stats.total_blocks) ||
        !set_count(d, n.get<"total_insertions">(), stats.total_insertions) ||
        !set_count(d, n.get<"total_deletions">(), stats.total_deletions) ||
        !set_count(d, n.get<"total_searches">(), stats.total_searches) ||
        !set_count(d, n.get<"bucket_hits">(), stats.bucket_hits) ||
        !set_count(d, n.get<"tree_hits">(), stats.tree_hits) ||
        !set_count(d, n.get<"operation_count">(), stats.operation_count) ||
        (stats.has_circuit_breaker_trips && !set_count(d, n.get<"circuit_breaker_trips">(), 0)) ||
        !set_count(d, n.get<"node_count">(), node_count) ||
        !set_count(d, n.get<"height">(), static_cast<unsigned long long>(height))) {
        return nullptr;
    }
    capi::Ref sampled;
    if (counter) {
        sampled = capi::Ref::steal(capi::call_method<"load">(st, counter.get()));
    } else {
        sampled = capi::Ref::steal(PyLong_FromLong(0));
    }
    if (!set_item(d, n.get<"sampled_operations">(), sampled.get()) ||
        !set_item(d, n.get<"is_valid">(), Py_True)) {
        return nullptr;
    }
    return result.release();
}

PyObject* get_statistics(Self*) noexcept { return PyDict_New(); }

PyObject* get_size_distribution(Self* self) noexcept {
    FastRedBlackTree& t = self->t;
    capi::Ref dist = capi::Ref::steal(PyDict_New());
    if (!dist) return nullptr;
    capi::LockGuard guard;
    if (!guard.acquire(t.write_lock.get())) return nullptr;
    if (t.tree.root() != NO_NODE && !t._collect_dist_recursive(t.tree.root(), dist.get())) {
        return nullptr;
    }
    return dist.release();
}

PyObject* reset_circuit_breaker(Self* self) noexcept {
    FastRedBlackTree& t = self->t;
    capi::LockGuard guard;
    if (!guard.acquire(t.stats_lock.get())) return nullptr;
    // In the critical section: a writer counting an insertion then cannot
    // store its count over the reset.
    capi::CriticalSection cs(reinterpret_cast<PyObject*>(self));
    t.stats.has_circuit_breaker_trips.store(true, std::memory_order_relaxed);
    t.stats.operation_count.store(0, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

bool FastRedBlackTree::_collect_dist_recursive(NodeId node, PyObject* dist) noexcept {
    auto visit = [this, dist](NodeId n) {
        capi::Ref key = capi::Ref::steal(PyLong_FromUnsignedLongLong(tree.size_of(n)));
        capi::Ref count = capi::Ref::steal(PyLong_FromUnsignedLongLong(tree.entries_of(n)));
        return key && count && PyDict_SetItem(dist, key.get(), count.get()) == 0;
    };
    return tree.preorder(node, visit);
}

}  // namespace blockindex
