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
//     validate against `seq_counter`.
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
    uint64_t total_blocks = 0;  // equals tree.node_count
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
};
using Tree = BasicTree<PyMemory>;

// Native state of one tree, with the native-level operations.
struct FastRedBlackTree {
    Tree tree;
    capi::Ref write_lock;
    uint64_t seq_counter = 0;  // even: stable; odd: a writer is inside its section
    uint32_t sample_rate = 100;
    capi::Ref operation_counter;  // AtomicCounter, or null without atomic counters
    capi::Ref sampled_counter;
    int using_atomic = 0;
    capi::Ref stats_lock;
    Stats stats;

    // Native-level operations, in the order of the class's operation table.

    // Releases each entry's block of a detached tree (post-order), then its
    // storage.
    void _recursive_free(Tree&& detached) noexcept;
    // Room for one more entry: false with MemoryError set ("Failed to
    // allocate RB node", with the limit when the tree is full).
    bool _reserve_node() noexcept;
    // A fresh red entry holding a new reference to `block`, linked nowhere;
    // NO_NODE with MemoryError set. Calls no Python code.
    NodeId _allocate_node(uint64_t size, PyObject* block, uint64_t insert_time_ns) noexcept;
    bool _should_sample() const noexcept { return sample_rate == 1; }
    // sampled_counter.increment() when atomic counters are in use; false with
    // an exception set when that call fails.
    bool _record_sample() noexcept;
    void _rotate_left(NodeId node) noexcept { tree.rotate_left(node); }
    void _rotate_right(NodeId node) noexcept { tree.rotate_right(node); }
    void _fixup_insert(NodeId node) noexcept { tree.fixup_insert(node); }
    NodeId _find_node(uint64_t size) const noexcept { return tree.find_node(size); }
    NodeId _find_best_fit_node(uint64_t size) const noexcept {
        return tree.find_best_fit_node(size);
    }
    NodeId _minimum(NodeId node) const noexcept { return tree.minimum(node); }
    void _transplant(NodeId u, NodeId v) noexcept { tree.transplant(u, v); }
    // Takes tree node `node` (without chain) out of the tree and frees its
    // slot; returns the entry's block reference, for the caller to drop once
    // the tree may be observed again.
    capi::Ref _delete_node(NodeId node) noexcept;
    void _fixup_delete(NodeId node, NodeId parent) noexcept { tree.fixup_delete(node, parent); }
    int _compute_height(NodeId node) const noexcept { return tree.height(node); }
    // New dict {size: entries} in pre-order; the caller holds write_lock.
    PyObject* _collect_distribution() noexcept;
    bool _collect_dist_recursive(NodeId node, PyObject* dist) noexcept;
};

struct TreeObject {
    PyObject_HEAD FastRedBlackTree t;
};

// Process-wide state, filled once by the module's start-up.
extern PyTypeObject* FastRedBlackTreeType;
// The module namespace: `threading`, `time`, `AtomicCounter` and
// `ATOMIC_AVAILABLE` are looked up there when used, as module globals.
extern PyObject* module_dict;

// A module global (borrowed), or null with NameError set.
PyObject* module_global(PyObject* name) noexcept;

// Interned names used by both halves of the binding.
extern PyObject* s_load;

bool add_fast_red_black_tree(PyObject* module) noexcept;

// Statistics methods (stats.cpp).
PyObject* get_stats(TreeObject* self, PyObject* const* args, Py_ssize_t nargs,
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

bool init_stats_names() noexcept;

}  // namespace blockindex
