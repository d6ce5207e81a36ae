// Red-black tree of free blocks keyed by size: the native core of
// FastRedBlackTree.
//
// Entries: one tree node per distinct size. Further entries of the same size
// hang behind that node in a singly linked chain, newest first (a new
// duplicate is always linked directly behind the tree node), so a known size
// costs one descent and no rebalancing. Chain entries keep parent/left/right
// empty and are never recoloured or rotated.
//
// Storage: every entry is a slot of one arena and is named by its 32-bit
// index; index 0 is never handed out and means "none". A slot is a 32-byte
// record holding everything a descent, a rotation or a result reads (size,
// block, children, parent with the colour in its low bit, chain link), so a
// lookup touches one cache line per level and its result without another
// load; the creation times, read by nobody, live in a parallel array. The
// arrays grow by half their length through `Memory` and stay where they are
// otherwise: a failed growth leaves the tree as it was. Freed slots go on a
// free list and are handed out again newest first, so a tree that shrinks and
// grows again allocates nothing.
//
// Invariants between operations (verified by `check_invariants`):
//   - binary search tree on `size`, no two tree nodes of equal size;
//   - the root is black, a red node has black children, and every path from a
//     node down to an empty link crosses the same number of black nodes, so
//     the height stays within 2*log2(tree nodes + 1);
//   - `node_count` is the number of entries (tree nodes plus chained entries);
//   - every slot below `used_` other than 0 is an entry or on the free list.
//
// Limit: at most `max_entries` (2^31 - 1) entries, since a parent index
// shares its word with the colour; `reserve` reports a full tree instead of
// letting an index wrap.
//
// The tree calls no code of its owner while it changes links, so an owner
// that runs an operation to completion never lets anybody observe a
// half-linked tree. The opaque `block_obj` of an entry belongs to the owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace blockindex {

enum Color : uint32_t { RED = 0, BLACK = 1 };

// Index of an arena slot; NO_NODE is the empty link.
using NodeId = uint32_t;
inline constexpr NodeId NO_NODE = 0;
inline constexpr uint32_t max_entries = (uint32_t{1} << 31) - 1;

struct RBNode {
    uint64_t size;
    void* block_obj;  // owned by whoever owns the tree
    // Smaller sizes; NO_NODE in chain entries. A free slot holds free_mark
    // here and the next free slot in `right`.
    NodeId left;
    NodeId right;           // larger sizes; NO_NODE in chain entries
    uint32_t parent_color;  // parent index << 1 | colour
    NodeId next_same_size;  // NO_NODE at the chain's end
};
static_assert(sizeof(RBNode) == 32, "two records to a cache line");

// What `check_invariants` found: `error` is null when the tree is sound.
struct CheckResult {
    const char* error = nullptr;
    int black_height = 0;
    uint64_t tree_nodes = 0;
    uint64_t entries = 0;
};

// Offers the 2 MiB-aligned part of a large array to the kernel for huge pages
// (where it backs such requests): a descent through an array of many
// megabytes then costs no page-table walks. Only a hint; failure is harmless.
inline void advise_huge_pages(void* data, size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
    constexpr uintptr_t huge = uintptr_t{1} << 21;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(huge - 1);
    if (end > start) (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// Outcome of `reserve`.
enum class Reserve { ok, no_memory, full };

// `Memory` provides the arena's storage:
//   static void* reallocate(void* old, size_t bytes)  // null on failure, old untouched
//   static void release(void* old)
template <typename Memory>
class BasicTree {
public:
    NodeId root = NO_NODE;
    uint64_t node_count = 0;

    BasicTree() noexcept = default;
    BasicTree(const BasicTree&) = delete;
    BasicTree& operator=(const BasicTree&) = delete;
    // Takes over `other`'s entries and storage and leaves it empty.
    BasicTree(BasicTree&& other) noexcept
        : root(std::exchange(other.root, NO_NODE)),
          node_count(std::exchange(other.node_count, 0)),
          nodes_(std::exchange(other.nodes_, nullptr)),
          times_(std::exchange(other.times_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          used_(std::exchange(other.used_, 0)),
          free_head_(std::exchange(other.free_head_, NO_NODE)),
          entry_limit_(std::exchange(other.entry_limit_, max_entries)) {}
    // Takes over `other`'s entries and storage; this tree's own storage is
    // freed (its blocks, if any, are the owner's business).
    BasicTree& operator=(BasicTree&& other) noexcept {
        BasicTree taken(std::move(other));
        std::swap(root, taken.root);
        std::swap(node_count, taken.node_count);
        std::swap(nodes_, taken.nodes_);
        std::swap(times_, taken.times_);
        std::swap(capacity_, taken.capacity_);
        std::swap(used_, taken.used_);
        std::swap(free_head_, taken.free_head_);
        std::swap(entry_limit_, taken.entry_limit_);
        return *this;
    }
    // Frees the storage; the blocks are the owner's business.
    ~BasicTree() {
        Memory::release(nodes_);
        Memory::release(times_);
    }

    // --- entries --------------------------------------------------------------

    uint64_t size_of(NodeId node) const noexcept { return nodes_[node].size; }
    void* block_of(NodeId node) const noexcept { return nodes_[node].block_obj; }
    NodeId next_same_size(NodeId node) const noexcept { return nodes_[node].next_same_size; }
    NodeId left_of(NodeId node) const noexcept { return nodes_[node].left; }
    NodeId right_of(NodeId node) const noexcept { return nodes_[node].right; }
    NodeId parent_of(NodeId node) const noexcept { return nodes_[node].parent_color >> 1; }
    Color color_of(NodeId node) const noexcept {
        return static_cast<Color>(nodes_[node].parent_color & 1);
    }
    uint64_t insert_time_ns(NodeId node) const noexcept { return times_[node]; }
    bool is_red(NodeId node) const noexcept { return node != NO_NODE && color_of(node) == RED; }
    // A missing child counts as black.
    bool is_black(NodeId node) const noexcept { return !is_red(node); }

    // Slots handed out so far (live or free) and slots the storage holds,
    // index 0 excluded.
    uint32_t slots_used() const noexcept { return used_ > 0 ? used_ - 1 : 0; }
    uint32_t slots_allocated() const noexcept { return capacity_ > 0 ? capacity_ - 1 : 0; }
    size_t bytes_allocated() const noexcept {
        return size_t{capacity_} * (sizeof(RBNode) + sizeof(uint64_t));
    }

    // The most entries this tree will hold: `max_entries`, unless lowered
    // (for tests of what happens beyond it).
    uint32_t entry_limit() const noexcept { return entry_limit_; }
    void limit_entries(uint32_t limit) noexcept {
        entry_limit_ = limit < max_entries ? limit : max_entries;
    }

    // Makes sure `take` has a slot to hand out: a free one, or a fresh one
    // after growing the storage. On failure nothing changed.
    Reserve reserve() noexcept {
        if (free_head_ != NO_NODE || used_ < capacity_) return Reserve::ok;
        return grow();
    }

    // A fresh red entry, linked nowhere; `reserve` must have returned ok.
    NodeId take(uint64_t size, void* block, uint64_t insert_time_ns) noexcept {
        NodeId node = free_head_;
        if (node != NO_NODE) {
            free_head_ = nodes_[node].right;
        } else {
            node = used_++;
        }
        nodes_[node] = RBNode{size, block, NO_NODE, NO_NODE, RED, NO_NODE};
        times_[node] = insert_time_ns;
        return node;
    }

    // Puts an entry that is linked nowhere back on the free list and returns
    // the block it held. When the entries fill less than a quarter of a large
    // storage, they move into one of half the size (see `relayout`), so
    // indices other than `node` held by the caller are void after.
    void* release(NodeId node) noexcept {
        void* block = nodes_[node].block_obj;
        nodes_[node] = RBNode{0, nullptr, free_mark, free_head_, 0, NO_NODE};
        free_head_ = node;
        if (capacity_ > min_shrink_slots && node_count < capacity_ / 4) shrink();
        return block;
    }

    // --- lookups ----------------------------------------------------------------

    // Exact lookup: the tree node of `size`, or NO_NODE.
    NodeId find_node(uint64_t size) const noexcept {
        const RBNode* nodes = nodes_;
        NodeId node = root;
        while (node != NO_NODE) {
            const RBNode& n = nodes[node];
            if (size == n.size) return node;
            node = size < n.size ? n.left : n.right;
        }
        return NO_NODE;
    }

    // Lower bound: the tree node with the smallest size >= `size`, or NO_NODE.
    NodeId find_best_fit_node(uint64_t size) const noexcept {
        const RBNode* nodes = nodes_;
        NodeId node = root;
        NodeId candidate = NO_NODE;
        while (node != NO_NODE) {
            const RBNode& n = nodes[node];
            // Every later candidate lies in this node's left subtree, so it
            // is smaller than the current one. Selects instead of a branch:
            // the direction is a coin toss for random sizes.
            const bool below = n.size < size;
            candidate = below ? candidate : node;
            node = below ? n.right : n.left;
        }
        return candidate;
    }

    NodeId minimum(NodeId node) const noexcept {
        while (nodes_[node].left != NO_NODE) node = nodes_[node].left;
        return node;
    }

    // --- structural changes -----------------------------------------------------

    void rotate_left(NodeId node) noexcept {
        const NodeId right_child = nodes_[node].right;
        const NodeId inner = nodes_[right_child].left;
        nodes_[node].right = inner;
        if (inner != NO_NODE) set_parent(inner, node);
        set_parent(right_child, parent_of(node));
        replace_child(node, right_child);
        nodes_[right_child].left = node;
        set_parent(node, right_child);
    }

    void rotate_right(NodeId node) noexcept {
        const NodeId left_child = nodes_[node].left;
        const NodeId inner = nodes_[left_child].right;
        nodes_[node].left = inner;
        if (inner != NO_NODE) set_parent(inner, node);
        set_parent(left_child, parent_of(node));
        replace_child(node, left_child);
        nodes_[left_child].right = node;
        set_parent(node, left_child);
    }

    // Restores the colouring after `node` was linked in red below a parent.
    void fixup_insert(NodeId node) noexcept {
        while (is_red(parent_of(node))) {
            // A red parent is never the root, so the grandparent exists.
            const NodeId parent = parent_of(node);
            const NodeId grandparent = parent_of(parent);
            if (parent == nodes_[grandparent].left) {
                const NodeId uncle = nodes_[grandparent].right;
                if (is_red(uncle)) {
                    set_color(parent, BLACK);
                    set_color(uncle, BLACK);
                    set_color(grandparent, RED);
                    node = grandparent;
                    continue;
                }
                if (node == nodes_[parent].right) {
                    node = parent;
                    rotate_left(node);
                }
                set_color(parent_of(node), BLACK);
                set_color(parent_of(parent_of(node)), RED);
                rotate_right(parent_of(parent_of(node)));
            } else {
                const NodeId uncle = nodes_[grandparent].left;
                if (is_red(uncle)) {
                    set_color(parent, BLACK);
                    set_color(uncle, BLACK);
                    set_color(grandparent, RED);
                    node = grandparent;
                    continue;
                }
                if (node == nodes_[parent].left) {
                    node = parent;
                    rotate_right(node);
                }
                set_color(parent_of(node), BLACK);
                set_color(parent_of(parent_of(node)), RED);
                rotate_left(parent_of(parent_of(node)));
            }
        }
        set_color(root, BLACK);
    }

    // Puts subtree `v` (possibly empty) where `u` hangs.
    void transplant(NodeId u, NodeId v) noexcept {
        replace_child(u, v);
        if (v != NO_NODE) set_parent(v, parent_of(u));
    }

    // Links a fresh entry from `take`: behind the tree node of its size when
    // there is one, otherwise as a new tree node.
    void link(NodeId entry) noexcept {
        const uint64_t size = nodes_[entry].size;
        NodeId parent = NO_NODE;
        NodeId current = root;
        while (current != NO_NODE) {
            RBNode& c = nodes_[current];
            if (size == c.size) {
                nodes_[entry].next_same_size = c.next_same_size;
                c.next_same_size = entry;
                ++node_count;
                return;
            }
            parent = current;
            current = size < c.size ? c.left : c.right;
        }
        ++node_count;
        if (parent == NO_NODE) {
            root = entry;
            set_color(entry, BLACK);
            return;
        }
        set_parent(entry, parent);
        if (size < nodes_[parent].size) {
            nodes_[parent].left = entry;
        } else {
            nodes_[parent].right = entry;
        }
        fixup_insert(entry);
    }

    // Removes the entry held by tree node `node` (the first of its size) and
    // returns the slot to release, which carries the removed block. With a
    // chain, the newest duplicate is promoted into the tree node (its block and
    // time move over) and the tree shape is unchanged.
    NodeId remove_head(NodeId node) noexcept {
        --node_count;
        const NodeId promoted = nodes_[node].next_same_size;
        if (promoted == NO_NODE) {
            unlink_node(node);
            return node;
        }
        nodes_[node].next_same_size = nodes_[promoted].next_same_size;
        std::swap(nodes_[node].block_obj, nodes_[promoted].block_obj);
        std::swap(times_[node], times_[promoted]);
        return promoted;
    }

    // Removes the chained entry that follows `prev` and returns it.
    NodeId remove_after(NodeId prev) noexcept {
        --node_count;
        const NodeId entry = nodes_[prev].next_same_size;
        nodes_[prev].next_same_size = nodes_[entry].next_same_size;
        return entry;
    }

    // Takes a tree node without chain out of the tree (complete red-black
    // deletion; the slot itself is left to the caller).
    void unlink_node(NodeId node) noexcept {
        Color removed_color = color_of(node);
        NodeId child;
        NodeId child_parent;
        const NodeId left = nodes_[node].left;
        const NodeId right = nodes_[node].right;
        if (left == NO_NODE) {
            child = right;
            child_parent = parent_of(node);
            transplant(node, right);
        } else if (right == NO_NODE) {
            child = left;
            child_parent = parent_of(node);
            transplant(node, left);
        } else {
            const NodeId replacement = minimum(right);
            removed_color = color_of(replacement);
            child = nodes_[replacement].right;
            if (parent_of(replacement) == node) {
                child_parent = replacement;
            } else {
                child_parent = parent_of(replacement);
                transplant(replacement, child);
                nodes_[replacement].right = right;
                set_parent(right, replacement);
            }
            transplant(node, replacement);
            nodes_[replacement].left = left;
            set_parent(left, replacement);
            set_color(replacement, color_of(node));
        }
        // Removing a black node shortens every path through `child`, also when
        // no child took its place: the repair then starts from the empty slot.
        if (removed_color == BLACK) fixup_delete(child, child_parent);
    }

    // Deletion repair. `node` (possibly empty, which counts as black) carries
    // an extra black; `parent` is its parent, needed when `node` is empty.
    void fixup_delete(NodeId node, NodeId parent) noexcept {
        while (node != root && is_black(node)) {
            if (node == nodes_[parent].left) {
                NodeId sibling = nodes_[parent].right;
                if (is_red(sibling)) {
                    set_color(sibling, BLACK);
                    set_color(parent, RED);
                    rotate_left(parent);
                    sibling = nodes_[parent].right;
                }
                // The side without the extra black is one black taller, so a
                // sibling exists; the check only guards a damaged tree.
                if (sibling == NO_NODE) break;
                if (is_black(nodes_[sibling].left) && is_black(nodes_[sibling].right)) {
                    set_color(sibling, RED);
                    node = parent;
                    parent = parent_of(node);
                    continue;
                }
                if (is_black(nodes_[sibling].right)) {
                    set_color(nodes_[sibling].left, BLACK);
                    set_color(sibling, RED);
                    rotate_right(sibling);
                    sibling = nodes_[parent].right;
                }
                set_color(sibling, color_of(parent));
                set_color(parent, BLACK);
                if (nodes_[sibling].right != NO_NODE) set_color(nodes_[sibling].right, BLACK);
                rotate_left(parent);
                node = root;
            } else {
                NodeId sibling = nodes_[parent].left;
                if (is_red(sibling)) {
                    set_color(sibling, BLACK);
                    set_color(parent, RED);
                    rotate_right(parent);
                    sibling = nodes_[parent].left;
                }
                if (sibling == NO_NODE) break;
                if (is_black(nodes_[sibling].left) && is_black(nodes_[sibling].right)) {
                    set_color(sibling, RED);
                    node = parent;
                    parent = parent_of(node);
                    continue;
                }
                if (is_black(nodes_[sibling].left)) {
                    set_color(nodes_[sibling].right, BLACK);
                    set_color(sibling, RED);
                    rotate_left(sibling);
                    sibling = nodes_[parent].left;
                }
                set_color(sibling, color_of(parent));
                set_color(parent, BLACK);
                if (nodes_[sibling].left != NO_NODE) set_color(nodes_[sibling].left, BLACK);
                rotate_right(parent);
                node = root;
            }
        }
        if (node != NO_NODE) set_color(node, BLACK);
    }

    // Moves every entry into fresh storage of `slots` slots (index 0 included):
    // the tree nodes breadth first from the root, then each size's chain in
    // chain order. The top levels of the tree then share cache lines and
    // pages. Returns false, with nothing changed, when `slots` is too small or
    // the storage cannot be had. Indices held by the caller are void after.
    bool relayout(uint32_t slots) noexcept {
        if (uint64_t{slots} < node_count + 1 || slots > uint64_t{entry_limit_} + 1) return false;
        const size_t node_bytes = static_cast<size_t>(slots) * sizeof(RBNode);
        auto* nodes = static_cast<RBNode*>(Memory::reallocate(nullptr, node_bytes));
        if (nodes == nullptr) return false;
        advise_huge_pages(nodes, node_bytes);
        auto* times = static_cast<uint64_t*>(
            Memory::reallocate(nullptr, static_cast<size_t>(slots) * sizeof(uint64_t)));
        if (times == nullptr) {
            Memory::release(nodes);
            return false;
        }
        nodes[0] = RBNode{0, nullptr, NO_NODE, NO_NODE, BLACK, NO_NODE};
        times[0] = 0;
        // Breadth first: a node's new record is first a placeholder holding
        // its old index (in `left`) and its parent's new index; the records
        // from `next` on are placeholders not yet filled.
        NodeId next = 1;
        if (root != NO_NODE) nodes[next++] = RBNode{0, nullptr, root, NO_NODE, 0, NO_NODE};
        constexpr NodeId ahead = 16;  // placeholders whose old records are fetched early
        for (NodeId at = 1; at < next; ++at) {
            if (at + ahead < next) {
                __builtin_prefetch(&nodes_[nodes[at + ahead].left]);
                __builtin_prefetch(&times_[nodes[at + ahead].left]);
            }
            const NodeId old = nodes[at].left;
            const uint32_t parent_word = nodes[at].parent_color;
            const RBNode& o = nodes_[old];
            RBNode& n = nodes[at];
            n = o;
            n.parent_color = parent_word | (o.parent_color & 1);
            times[at] = times_[old];
            if (o.left != NO_NODE) {
                n.left = next;
                nodes[next++] = RBNode{0, nullptr, o.left, NO_NODE, at << 1, NO_NODE};
            }
            if (o.right != NO_NODE) {
                n.right = next;
                nodes[next++] = RBNode{0, nullptr, o.right, NO_NODE, at << 1, NO_NODE};
            }
        }
        // The chains, each behind the other; `next_same_size` of a record
        // copied above still holds an old index.
        const NodeId tree_nodes = next;
        for (NodeId at = 1; at < tree_nodes; ++at) {
            NodeId prev = at;
            for (NodeId old = nodes[at].next_same_size; old != NO_NODE;
                 old = nodes_[old].next_same_size) {
                nodes[next] = nodes_[old];
                times[next] = times_[old];
                nodes[prev].next_same_size = next;
                prev = next++;
            }
            nodes[prev].next_same_size = NO_NODE;
        }
        Memory::release(nodes_);
        Memory::release(times_);
        nodes_ = nodes;
        times_ = times;
        capacity_ = slots;
        used_ = next;
        free_head_ = NO_NODE;
        root = node_count > 0 ? 1 : NO_NODE;
        return true;
    }

    // Empties this tree and returns its former entries and storage: the caller
    // releases the blocks (`free_all`) once nothing can reach them through
    // this tree any more, and the storage goes with the returned tree.
    BasicTree detach() noexcept {
        BasicTree detached(std::move(*this));
        entry_limit_ = detached.entry_limit_;
        return detached;
    }

    // --- walks ------------------------------------------------------------------

    // 0 for an empty subtree; chains add no height. The recursion is bounded
    // by the balanced height.
    int height(NodeId node) const noexcept {
        if (node == NO_NODE) return 0;
        const int left = height(nodes_[node].left);
        const int right = height(nodes_[node].right);
        return 1 + (left > right ? left : right);
    }

    uint64_t entries_of(NodeId node) const noexcept {
        uint64_t count = 0;
        for (; node != NO_NODE; node = nodes_[node].next_same_size) ++count;
        return count;
    }

    // Hands every entry's block to `release(block)` in post-order (left and
    // right subtrees, then the node's chain, then the node) and empties the
    // tree. Meant for a detached tree: `release` may run code that uses the
    // tree the entries came from.
    template <typename Release>
    void free_all(Release& release) noexcept {
        const NodeId old_root = std::exchange(root, NO_NODE);
        node_count = 0;
        free_subtree(old_root, release);
        BasicTree emptied(std::move(*this));  // the storage goes with it
    }

    // Calls `visit(block)` for every entry (in storage order) until it returns
    // non-zero, and returns that value.
    template <typename Visit>
    int visit_entries(Visit& visit) const noexcept {
        for (NodeId node = 1; node < used_; ++node) {
            if (nodes_[node].left == free_mark) continue;
            if (int stop = visit(nodes_[node].block_obj)) return stop;
        }
        return 0;
    }

    // Pre-order over tree nodes (root first) until `visit(node)` returns false.
    template <typename Visit>
    bool preorder(NodeId node, Visit& visit) const noexcept {
        if (node == NO_NODE) return true;
        return visit(node) && preorder(nodes_[node].left, visit) &&
               preorder(nodes_[node].right, visit);
    }

    // Verifies every invariant listed at the top of this file; for tests and
    // debugging. Depth is capped so that a damaged tree cannot exhaust the stack.
    CheckResult check_invariants() const noexcept {
        CheckResult result;
        if (root != NO_NODE && parent_of(root) != NO_NODE) {
            result.error = "root has a parent";
        } else if (is_red(root)) {
            result.error = "root is red";
        } else {
            result.black_height = check_subtree(root, nullptr, nullptr, 0, result);
        }
        if (result.error == nullptr && result.entries != node_count) {
            result.error = "node_count differs from the number of entries";
        }
        if (result.error == nullptr) {
            uint64_t free_slots = 0;
            for (NodeId node = free_head_; node != NO_NODE; node = nodes_[node].right) {
                if (node >= used_ || nodes_[node].left != free_mark || ++free_slots > used_) {
                    result.error = "free list broken";
                    break;
                }
            }
            if (result.error == nullptr && free_slots + node_count != slots_used()) {
                result.error = "slots neither in use nor free";
            }
        }
        return result;
    }

private:
    // Marks a free slot in `left`; never an index, as indices stay below 2^31.
    static constexpr NodeId free_mark = UINT32_MAX;
    // Storage of up to this many slots (40 KiB) is kept however few entries
    // remain, so that a small tree that empties and fills again allocates
    // nothing.
    static constexpr uint32_t min_shrink_slots = 1024;

    RBNode* nodes_ = nullptr;
    uint64_t* times_ = nullptr;  // creation times, for diagnostics only
    uint32_t capacity_ = 0;      // slots the storage holds, index 0 included
    uint32_t used_ = 0;          // slots handed out so far, index 0 included
    NodeId free_head_ = NO_NODE;
    uint32_t entry_limit_ = max_entries;  // at most max_entries

    void set_parent(NodeId node, NodeId parent) noexcept {
        uint32_t& word = nodes_[node].parent_color;
        word = parent << 1 | (word & 1);
    }
    void set_color(NodeId node, Color color) noexcept {
        uint32_t& word = nodes_[node].parent_color;
        word = (word & ~uint32_t{1}) | color;
    }

    // Puts `replacement` into the slot of `node`'s parent (or the root) that
    // holds `node`.
    void replace_child(NodeId node, NodeId replacement) noexcept {
        const NodeId parent = parent_of(node);
        if (parent == NO_NODE) {
            root = replacement;
        } else if (node == nodes_[parent].left) {
            nodes_[parent].left = replacement;
        } else {
            nodes_[parent].right = replacement;
        }
    }

    // Grows both arrays by half (at least to 16 slots, at most to the entry
    // limit). The node array is
    // grown first; if the second growth fails, the first only leaves room that
    // `capacity_` does not count yet.
    Reserve grow() noexcept {
        // Every slot below capacity_ is handed out: slots_used() entries and
        // free slots would exceed the limit with one more.
        const uint64_t limit = uint64_t{entry_limit_} + 1;
        if (capacity_ >= limit) return Reserve::full;
        uint64_t wanted = capacity_ < 16 ? 16 : uint64_t{capacity_} + capacity_ / 2;
        if (wanted > limit) wanted = limit;
        // Both byte counts fit a 64-bit size_t: wanted <= 2^31.
        const size_t node_bytes = static_cast<size_t>(wanted) * sizeof(RBNode);
        void* nodes = Memory::reallocate(nodes_, node_bytes);
        if (nodes == nullptr) return Reserve::no_memory;
        nodes_ = static_cast<RBNode*>(nodes);
        advise_huge_pages(nodes_, node_bytes);
        void* times = Memory::reallocate(times_, static_cast<size_t>(wanted) * sizeof(uint64_t));
        if (times == nullptr) return Reserve::no_memory;
        times_ = static_cast<uint64_t*>(times);
        if (capacity_ == 0) {
            // Index 0 is the empty link: a black record that nothing links to.
            nodes_[0] = RBNode{0, nullptr, NO_NODE, NO_NODE, BLACK, NO_NODE};
            times_[0] = 0;
            used_ = 1;
        }
        capacity_ = static_cast<uint32_t>(wanted);
        return Reserve::ok;
    }

    // Moves the entries into storage of half the size, or frees the storage
    // of an empty tree. A failed allocation leaves things as they are.
    void shrink() noexcept {
        if (node_count > 0) {
            (void)relayout(capacity_ / 2);
            return;
        }
        BasicTree emptied(std::move(*this));
        entry_limit_ = emptied.entry_limit_;
    }

    template <typename Release>
    void free_subtree(NodeId node, Release& release) noexcept {
        if (node == NO_NODE) return;
        free_subtree(nodes_[node].left, release);
        free_subtree(nodes_[node].right, release);
        NodeId entry = nodes_[node].next_same_size;
        while (entry != NO_NODE) {
            const NodeId next = nodes_[entry].next_same_size;
            release(nodes_[entry].block_obj);
            entry = next;
        }
        release(nodes_[node].block_obj);
    }

    static constexpr int max_check_depth = 200;

    // Returns the black height of `node`'s subtree; sizes must lie strictly
    // between *low and *high where those are given.
    int check_subtree(NodeId node, const uint64_t* low, const uint64_t* high, int depth,
                      CheckResult& result) const noexcept {
        if (node == NO_NODE || result.error != nullptr) return 1;
        if (depth > max_check_depth) {
            result.error = "tree deeper than any balanced tree can be";
            return 0;
        }
        if (node >= used_ || nodes_[node].left == free_mark) {
            result.error = "link to a free slot";
            return 0;
        }
        ++result.tree_nodes;
        const RBNode& n = nodes_[node];
        if ((low != nullptr && n.size <= *low) || (high != nullptr && n.size >= *high)) {
            result.error = "search order violated";
            return 0;
        }
        if ((n.left != NO_NODE && parent_of(n.left) != node) ||
            (n.right != NO_NODE && parent_of(n.right) != node)) {
            result.error = "parent link broken";
            return 0;
        }
        if (color_of(node) == RED && (is_red(n.left) || is_red(n.right))) {
            result.error = "red node with a red child";
            return 0;
        }
        for (NodeId entry = node; entry != NO_NODE; entry = nodes_[entry].next_same_size) {
            // A cycle in a damaged chain ends here instead of looping.
            if (++result.entries > node_count) {
                result.error = "more entries than node_count";
                return 0;
            }
            if (entry == node) continue;
            const RBNode& e = nodes_[entry];
            if (entry >= used_ || e.left == free_mark) {
                result.error = "link to a free slot";
                return 0;
            }
            if (e.size != n.size) {
                result.error = "chain entry of another size";
                return 0;
            }
            if (parent_of(entry) != NO_NODE || e.left != NO_NODE || e.right != NO_NODE) {
                result.error = "chain entry with tree links";
                return 0;
            }
        }
        const int left = check_subtree(n.left, low, &n.size, depth + 1, result);
        const int right = check_subtree(n.right, &n.size, high, depth + 1, result);
        if (result.error != nullptr) return 0;
        if (left != right) {
            result.error = "black heights differ";
            return 0;
        }
        return left + (color_of(node) == BLACK ? 1 : 0);
    }
};

}  // namespace blockindex
