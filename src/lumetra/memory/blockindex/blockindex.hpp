// Module-internal declarations of lumetra.memory.blockindex.
//
// A FastRedBlackTree instance is a TreeObject: the Python header followed by
// the native state below. Who guards what:
//   - `tree` and `seq_counter` change only inside a writer's critical section
//     (write_lock held, seq_counter odd). Every structural change runs to
//     completion without calling into Python, so code holding the interpreter
//     lock (readers, get_stats, the collector) always sees a consistent tree.
//     Python code that a writer must run inside its section (a block's `==`,
//     the clock, the sampling counter) sees the tree unchanged or complete.
//   - Readers take no lock: they traverse under the interpreter lock and
//     validate against `seq_counter`. `tree` and `seq_counter` are plain
//     memory, not atomics, because every access to them is made holding the
//     interpreter lock: a writer lets it go inside its section only inside
//     Python code it runs there, a reader lets it go only to back off, and
//     the interpreter lock's hand-over orders all memory on every
//     architecture (it is a lock), so a reader on another core sees the
//     writer's changes complete before it sees the even counter. A build
//     without the interpreter lock would need the counter atomic, with
//     acquire loads and release stores around the tree's accesses.
//   - A link (NodeId) names a slot of the tree's storage, which a writer may
//     move (growing, shrinking) or free (clear): code that runs Python code
//     while it holds one uses it again only if `seq_counter` did not move, and
//     a writer takes a slot only after the Python code it must run.
//   - Removed blocks are released only after the tree is consistent and the
//     write lock is released, because dropping a reference can run a
//     destructor that calls back into the tree.
//   - `stats` counters are bumped by writers under write_lock and by readers
//     under the interpreter lock alone; get_stats and reset_circuit_breaker
//     hold stats_lock.
//   - `sample_rate` and `using_atomic` never change after construction; the
//     counters are replaced only by clear(), under write_lock.
#pragma once

#include <Python.h>

#include <cstdint>

#include "capi/capi.hpp"
#include "rbtree.hpp"

namespace blockindex {

// The statistics dictionary kept as native counters, so that hot paths bump
// integers instead of dictionary entries; get_stats() builds the dictionary.
struct Stats {
    uint64_t total_blocks = 0;  // equals tree.node_count()
    uint64_t total_insertions = 0;
    uint64_t total_deletions = 0;
    uint64_t total_searches = 0;
    uint64_t bucket_hits = 0;  // never changes
    uint64_t tree_hits = 0;    // never changes
    uint64_t operation_count = 0;
    // The "circuit_breaker_trips" key (always 0) exists after the first
    // reset_circuit_breaker() until the next clear().
    bool has_circuit_breaker_trips = false;
};

// The tree's storage comes from the interpreter's allocator: tracemalloc
// counts it, and the allocation-failure hook can fail its growth.
struct PyMemory {
    static void* reallocate(void* old, size_t bytes) noexcept { return PyMem_Realloc(old, bytes); }
    static void release(void* old) noexcept { PyMem_Free(old); }
    static constexpr bool huge_pages = true;
    static constexpr bool concurrent_readers = false;
};
using Tree = BasicTree<PyMemory>;

// The module's state: one per module object, so one per interpreter.
struct State : capi::ModuleState {
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
        ModuleState::for_each_ref(f);
        f(FastRedBlackTreeType);
        f(backoff_seconds);
        f(int_zero);
        f(none_pair);
        f(std_time_module);
        f(std_perf_counter_ns);
        names.for_each_ref(f);
    }
};

extern PyModuleDef module_def;

// The state of the module that made `type` (or its base).
inline State& state_of(PyTypeObject* type) noexcept {
    return capi::type_state<State>(type, module_def);
}

// Native state of one tree, with the native-level operations the binding
// uses; the tree algorithms themselves are the methods of `Tree`.
struct FastRedBlackTree {
    Tree::Gate readers;  // the lock-free readers of `tree`
    Tree tree{&readers};
    capi::Ref write_lock;      // threading.Lock(), never null
    uint64_t seq_counter = 0;  // even: stable; odd: a writer is inside its section
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
    // allocate RB node", with the limit when the tree is full).
    bool _reserve_node() noexcept;
    // A fresh red entry holding a new reference to `block`, linked nowhere;
    // NO_NODE with MemoryError set. Calls no Python code.
    NodeId _allocate_node(uint64_t size, PyObject* block, uint64_t insert_time_ns) noexcept;
    // sampled_counter.increment() when atomic counters are in use; false with
    // an exception set when that call fails.
    bool _record_sample(const State& st) noexcept;
    int _compute_height(NodeId node) const noexcept { return tree.height(node); }
    // Adds {size: entries} of `node`'s subtree to `dist` in pre-order; the
    // caller holds write_lock.
    bool _collect_dist_recursive(NodeId node, PyObject* dist) noexcept;
};

struct TreeObject {
    // The defining module's state, for the slots that run on every len() and
    // truth test (finding it from the type costs a walk of the MRO). Set by
    // tp_new; the instance keeps its type, and so the module, alive.
    PyObject_HEAD const State* state;
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
    void release_native() noexcept { t.~FastRedBlackTree(); }
};

bool add_fast_red_black_tree(PyObject* module, State& st) noexcept;

// Statistics methods (stats.cpp).
PyObject* get_stats(State& st, TreeObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;
PyObject* get_statistics(TreeObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;
PyObject* get_size_distribution(TreeObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;
PyObject* reset_circuit_breaker(TreeObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

inline constexpr capi::Signature get_stats_sig("get_stats");
inline constexpr capi::Signature get_statistics_sig("get_statistics");
inline constexpr capi::Signature get_size_distribution_sig("get_size_distribution");
inline constexpr capi::Signature reset_circuit_breaker_sig("reset_circuit_breaker");

}  // namespace blockindex
