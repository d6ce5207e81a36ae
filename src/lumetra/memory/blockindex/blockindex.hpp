// Module-internal declarations of lumetra.memory.blockindex.
//
// A FastRedBlackTree instance is a TreeObject: the Python header followed by
// the native state below. Who guards what:
//   - Writers (insert, delete, remove_ge, clear) hold write_lock for their
//     whole section and keep `seq_counter` odd meanwhile (SeqWrite). Inside
//     it they run Python code (a block's `==`, the clock, the sampling
//     counter) only where the tree is complete, and make every structural
//     change, with its `stats` updates, inside a critical section on the tree
//     that calls no Python code. So code holding that critical section
//     (get_stats, _check_invariants) always sees a consistent tree, as code
//     holding the interpreter lock did: with a GIL the section is nothing and
//     the interpreter lock, never let go inside a change, does the same.
//   - Readers (find_best_fit, find_all_exact) take no lock and may run while
//     a writer changes the tree, on free-threaded builds truly at once. They
//     follow the seqlock protocol described in rbtree.hpp: register with the
//     tree's reader gate, load `seq_counter` (seq_cst), back off while it is
//     odd, read the records through relaxed atomic loads, and keep the result
//     only if `seq_counter` is unchanged after an acquire fence. Writers make
//     it odd with a relaxed store followed by a release fence, and even with
//     a release store.
//   - Blocks a reader returns: after its re-check the reader still has not
//     taken a reference, and a writer may remove the block the next moment.
//     Every writer that removes blocks (delete, remove_ge, clear, the
//     collector's clear) calls `tree.synchronize()` after the removal and
//     before the tree's reference can go (dropped, or handed to remove_ge's
//     caller, who may drop it): it waits until every reader that could have
//     loaded the block has left, and readers take their reference before
//     they leave. A reader therefore increfs only a block the tree still
//     holds. Arrays a writer replaces are freed the same way (rbtree.hpp).
//   - A link (NodeId) names a slot of the tree's storage, which a writer may
//     move (growing, shrinking) or free (clear): code that runs Python code
//     while it holds one uses it again only if `seq_counter` did not move, and
//     a writer takes a slot only after the Python code it must run.
//   - Removed blocks are released only after the tree is consistent and the
//     write lock is released, because dropping a reference can run a
//     destructor that calls back into the tree.
//   - `stats` counters are atomics: writers bump theirs inside their critical
//     sections, readers bump `total_searches` from any thread at once (an
//     atomic add); get_stats copies them under stats_lock and the critical
//     section, so it sees them agree with the tree.
//   - `sample_rate` and `using_atomic` never change after construction; the
//     counters are replaced only by clear(), under write_lock and the critical
//     section, which is also what other threads read them under (taking their
//     own reference before they call them).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "capi/capi.hpp"
#include "rbtree.hpp"

namespace blockindex {

// The statistics dictionary's values, as get_stats() copies them.
struct StatsValues {
    uint64_t total_blocks = 0;
    uint64_t total_insertions = 0;
    uint64_t total_deletions = 0;
    uint64_t total_searches = 0;
    uint64_t bucket_hits = 0;
    uint64_t tree_hits = 0;
    uint64_t operation_count = 0;
    bool has_circuit_breaker_trips = false;
};

// The statistics dictionary kept as native counters, so that hot paths bump
// integers instead of dictionary entries; get_stats() builds the dictionary.
// Relaxed atomics: get_stats and readers on other threads load them while a
// writer stores; what they must agree with is ordered by the critical section.
struct Stats {
    std::atomic<uint64_t> total_blocks{0};  // equals tree.node_count()
    std::atomic<uint64_t> total_insertions{0};
    std::atomic<uint64_t> total_deletions{0};
    std::atomic<uint64_t> total_searches{0};  // bumped by readers, without a lock
    std::atomic<uint64_t> bucket_hits{0};     // never changes
    std::atomic<uint64_t> tree_hits{0};       // never changes
    std::atomic<uint64_t> operation_count{0};
    // The "circuit_breaker_trips" key (always 0) exists after the first
    // reset_circuit_breaker() until the next clear().
    std::atomic<bool> has_circuit_breaker_trips{false};

    // A counter only writers change (inside the critical section, one at a
    // time): a load and a store, no read-modify-write.
    static void add(std::atomic<uint64_t>& counter, int64_t delta) noexcept {
        counter.store(counter.load(std::memory_order_relaxed) + static_cast<uint64_t>(delta),
                      std::memory_order_relaxed);
    }
    // One more lock-free search. Readers on several threads count at once
    // without a GIL; with one, each holds it from the load to the store.
    void count_search() noexcept {
#ifdef Py_GIL_DISABLED
        total_searches.fetch_add(1, std::memory_order_relaxed);
#else
        add(total_searches, 1);
#endif
    }
    StatsValues values() const noexcept {
        constexpr auto relaxed = std::memory_order_relaxed;
        return {total_blocks.load(relaxed),    total_insertions.load(relaxed),
                total_deletions.load(relaxed), total_searches.load(relaxed),
                bucket_hits.load(relaxed),     tree_hits.load(relaxed),
                operation_count.load(relaxed), has_circuit_breaker_trips.load(relaxed)};
    }
    void reset() noexcept {
        for (auto* counter : {&total_blocks, &total_insertions, &total_deletions, &total_searches,
                              &bucket_hits, &tree_hits, &operation_count}) {
            counter->store(0, std::memory_order_relaxed);
        }
        has_circuit_breaker_trips.store(false, std::memory_order_relaxed);
    }
};

// The tree's storage comes from the interpreter's allocator: tracemalloc
// counts it, and the allocation-failure hook can fail its growth. Readers run
// while a writer works only without the GIL (with it, both hold it throughout).
struct PyMemory {
    static void* reallocate(void* old, size_t bytes) noexcept { return PyMem_Realloc(old, bytes); }
    static void release(void* old) noexcept { PyMem_Free(old); }
    static constexpr bool huge_pages = true;
#ifdef Py_GIL_DISABLED
    static constexpr bool concurrent_readers = true;
#else
    static constexpr bool concurrent_readers = false;
#endif
};
using Tree = BasicTree<PyMemory>;

// The module's state: one per module object, so one per interpreter.
struct State : capi::ModuleState {
    static PyModuleDef definition;  // module.cpp
    PyTypeObject* FastRedBlackTreeType = nullptr;
    PyObject* backoff_seconds = nullptr;  // 0.0001: the readers' time.sleep while a write runs
    PyObject* int_zero = nullptr;         // 0
    PyObject* none_pair = nullptr;        // (None, None)
    // The interpreter's own `time` module and its perf_counter_ns, as found at
    // import; compared by identity to read the clock directly.
    PyObject* std_time_module = nullptr;
    PyObject* std_perf_counter_ns = nullptr;
    capi::Names<"time", "sleep", "perf_counter_ns", "increment", "load", "_sanitize_size", "size",
                "ATOMIC_AVAILABLE", "AtomicCounter", "seq_counter", "tree_nodes", "entries",
                "black_height", "total_blocks", "total_insertions", "total_deletions",
                "total_searches", "bucket_hits", "tree_hits", "operation_count",
                "circuit_breaker_trips", "node_count", "height", "sampled_operations", "is_valid",
                "slots">
        names;

    template <typename F>
    void for_each_ref(F&& f) noexcept {
        capi::each_ref(f, base(), FastRedBlackTreeType, backoff_seconds, int_zero, none_pair,
                       std_time_module, std_perf_counter_ns, names);
    }
};

// Native state of one tree, with the native-level operations the binding
// uses; the tree algorithms themselves are the methods of `Tree`.
struct FastRedBlackTree {
    Tree::Gate readers;  // the lock-free readers of `tree`
    Tree tree{&readers};
    capi::Ref write_lock;  // threading.Lock(), never null
    // Even: stable; odd: a writer is inside its section. Loaded by readers on
    // any thread; stored by writers only (see SeqWrite in tree.cpp).
    std::atomic<uint64_t> seq_counter{0};
    // Writers inside their section: more than one only when a writer re-enters
    // through a lock that lets its holder in again. Guarded by write_lock.
    uint32_t writers = 0;
    uint32_t sample_rate = 100;
    capi::Ref operation_counter;  // AtomicCounter, or null without atomic counters
    capi::Ref sampled_counter;
    int using_atomic = 0;
    capi::Ref stats_lock;  // threading.Lock(), never null
    Stats stats;

    // Releases each entry's block of a detached tree (post-order), then its
    // storage.
    void _recursive_free(Tree&& detached) noexcept;
    // Room for one more entry: false with MemoryError set ("Failed to
    // allocate RB node", with the limit when the tree is full). `owner` is
    // the tree object, whose critical section a growth takes.
    bool _reserve_node(PyObject* owner) noexcept;
    // A fresh red entry holding a new reference to `block`, linked nowhere;
    // NO_NODE with MemoryError set. Calls no Python code.
    NodeId _allocate_node(PyObject* owner, uint64_t size, PyObject* block,
                          uint64_t insert_time_ns) noexcept;
    // sampled_counter.increment() when atomic counters are in use; false with
    // an exception set when that call fails.
    bool _record_sample(const State& st) noexcept;
    int _compute_height(NodeId node) const noexcept { return tree.height(node); }
    // Adds {size: entries} of `node`'s subtree to `dist` in pre-order; the
    // caller holds write_lock.
    bool _collect_dist_recursive(NodeId node, PyObject* dist) noexcept;
};

struct TreeObject {
    // The defining module's state, for the methods and for the slots that run
    // on every len() and truth test (finding it from the type costs a walk of
    // the MRO). Set by tp_new; the instance keeps its type, and so the module,
    // alive.
    PyObject_HEAD
    const State* state;
    FastRedBlackTree t;  // constructed by tp_new, destroyed by release_native

    // The locks and counters are visited but never cleared: they hold no
    // reference back to the tree (a cycle through a replaced `threading.Lock`
    // or `AtomicCounter` is broken by the Python objects in it), so methods
    // never find them gone.
    template <typename F>
    void for_each_ref(F&& f) noexcept {
        f(t.write_lock, capi::kept);
        f(t.operation_counter, capi::kept);
        f(t.sampled_counter, capi::kept);
        f(t.stats_lock, capi::kept);
    }
    int visit_native(visitproc visit, void* arg) noexcept;
    void clear_native() noexcept;
    // Empties the tree for clear_native and returns its former entries.
    [[gnu::noinline]] Tree detach_entries() noexcept;
    void release_native() noexcept { t.~FastRedBlackTree(); }
};

bool add_fast_red_black_tree(PyObject* module, State& st) noexcept;

// Statistics methods (stats.cpp).
PyObject* get_stats(TreeObject* self) noexcept;
PyObject* get_statistics(TreeObject* self) noexcept;
PyObject* get_size_distribution(TreeObject* self) noexcept;
PyObject* reset_circuit_breaker(TreeObject* self) noexcept;

inline constexpr capi::Signature get_stats_sig("get_stats");
inline constexpr capi::Signature get_statistics_sig("get_statistics");
inline constexpr capi::Signature get_size_distribution_sig("get_size_distribution");
inline constexpr capi::Signature reset_circuit_breaker_sig("reset_circuit_breaker");

}  // namespace blockindex
