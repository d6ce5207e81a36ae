// Red-black tree of free blocks keyed by size: the native core of
// FastRedBlackTree.
//
// Entries: one tree node per distinct size. Further entries of the same size
// hang behind that node in a singly linked chain, newest first (a new
// duplicate is always linked directly behind the tree node), so a known size
// costs one descent and no rebalancing. Chain entries keep parent/left/right
// empty and are never recoloured or rotated.
//
// Storage: every entry is a slot of one arena, named by a 32-bit link: four
// times one more than the slot's index, so that a record's address is the
// base plus the link times eight less 32, one addressing mode with no
// arithmetic on the way down, and link 0 means "none". A slot is a 32-byte
// record holding everything a descent, a rotation or a result reads (size,
// block, children, parent, chain link with the colour in its top bit), so a
// lookup touches one cache line per level and its result without another
// load; the creation times, read by nobody, live in a parallel array. The
// arrays grow by half their length through `Memory` (a failed growth leaves
// the tree as it was) and, once less than a quarter full, move into storage of
// half the size, tree nodes breadth first. Freed slots go on a free list and
// are handed out again newest first, so a tree that shrinks and grows again
// within its storage allocates nothing.
//
// Invariants between operations (verified by `check_invariants`):
//   - binary search tree on `size`, no two tree nodes of equal size;
//   - the root is black, a red node has black children, and every path from a
//     node down to an empty link crosses the same number of black nodes, so
//     the height stays within 2*log2(tree nodes + 1);
//   - `node_count` is the number of entries (tree nodes plus chained entries);
//   - every slot below `used_` is an entry or on the free list.
//
// Limit: at most `max_entries` (2^29 - 1) entries, since a link is four
// times a slot number and a chain link shares its word with the colour;
// `reserve` reports a full tree instead of letting a link wrap.
//
// The tree calls no code of its owner while it changes links, so an owner
// that runs an operation to completion never lets anybody observe a
// half-linked tree. The opaque `block_obj` of an entry belongs to the owner.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace blockindex {

enum Color : uint32_t { RED = 0, BLACK = 1 };

// Link to an arena slot (four times its index); NO_NODE is the empty link.
using NodeId = uint32_t;
inline constexpr NodeId NO_NODE = 0;
inline constexpr uint32_t max_entries = (uint32_t{1} << 29) - 1;

struct RBNode {
    uint64_t size;
    void* block_obj;  // owned by whoever owns the tree
    // Smaller sizes; NO_NODE in chain entries. A free slot holds free_mark
    // here and the next free slot in `right`.
    NodeId left;
    NodeId right;         // larger sizes; NO_NODE in chain entries
    NodeId parent;        // NO_NODE at the root and in chain entries
    uint32_t color_next;  // colour << 31 | next entry of the same size (NO_NODE at the end)
};
static_assert(sizeof(RBNode) == 32, "two records to a cache line");
static_assert(offsetof(RBNode, right) == offsetof(RBNode, left) + sizeof(NodeId),
              "the children are read as one word");

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
//   static constexpr bool huge_pages  // offer large node arrays for huge pages
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

    const RBNode& record_of(NodeId node) const noexcept { return at(node); }
    uint64_t size_of(NodeId node) const noexcept { return at(node).size; }
    void* block_of(NodeId node) const noexcept { return at(node).block_obj; }
    NodeId next_same_size(NodeId node) const noexcept { return at(node).color_next & next_mask; }
    NodeId left_of(NodeId node) const noexcept { return at(node).left; }
    NodeId right_of(NodeId node) const noexcept { return at(node).right; }
    NodeId parent_of(NodeId node) const noexcept { return at(node).parent; }
    Color color_of(NodeId node) const noexcept {
        return static_cast<Color>(at(node).color_next >> 31);
    }
    uint64_t insert_time_ns(NodeId node) const noexcept { return time_at(node); }
    bool is_red(NodeId node) const noexcept { return node != NO_NODE && color_of(node) == RED; }
    // A missing child counts as black.
    bool is_black(NodeId node) const noexcept { return !is_red(node); }

    // Slots handed out so far (live or free) and slots the storage holds.
    uint32_t slots_used() const noexcept { return used_; }
    uint32_t slots_allocated() const noexcept { return capacity_; }
    size_t bytes_allocated() const noexcept {
        return size_t{capacity_} * (sizeof(RBNode) + sizeof(uint64_t));
    }

    // The most slots the storage grows to: `max_entries`,
    // unless lowered (for tests of what happens beyond it).
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
            free_head_ = at(node).right;
        } else {
            node = link_of(used_++);
        }
        at(node) = RBNode{size, block, NO_NODE, NO_NODE, NO_NODE, RED};
        time_at(node) = insert_time_ns;
        return node;
    }

    // Puts an entry that is linked nowhere back on the free list and returns
    // the block it held. When the entries fill less than a quarter of a large
    // storage, they move into one of half the size (see `relayout`), so
    // links other than `node` held by the caller are void after.
    void* release(NodeId node) noexcept {
        RBNode& n = at(node);
        void* block = n.block_obj;
        n.left = free_mark;
        n.right = free_head_;
        free_head_ = node;
        if (capacity_ > min_shrink_slots && node_count < capacity_ / 4) shrink();
        return block;
    }

    // --- lookups ----------------------------------------------------------------

    // Exact lookup: the tree node of `size`, or NO_NODE.
    NodeId find_node(uint64_t size) const noexcept {
        NodeId node = root;
        while (node != NO_NODE) {
            const RBNode& n = at(node);
            if (size == n.size) return node;
            node = child_of(n, size < n.size);
        }
        return NO_NODE;
    }

    // Lower bound: the tree node with the smallest size >= `size`, or NO_NODE.
    NodeId find_best_fit_node(uint64_t size) const noexcept {
        NodeId node = root;
        NodeId candidate = NO_NODE;
        while (node != NO_NODE) {
            const RBNode& n = at(node);
            // Every later candidate lies in this node's left subtree, so it
            // is smaller than the current one. Selects instead of a branch:
            // the direction is a coin toss for random sizes.
            const bool below = n.size < size;
            candidate = below ? candidate : node;
            node = child_of(n, !below);
        }
        return candidate;
    }

    NodeId minimum(NodeId node) const noexcept {
        while (at(node).left != NO_NODE) node = at(node).left;
        return node;
    }

    // --- structural changes -----------------------------------------------------

    void rotate_left(NodeId node) noexcept {
        RBNode& n = at(node);
        const NodeId right_child = n.right;
        RBNode& r = at(right_child);
        const NodeId inner = r.left;
        n.right = inner;
        if (inner != NO_NODE) at(inner).parent = node;
        r.parent = n.parent;
        replace_child(n.parent, node, right_child);
        r.left = node;
        n.parent = right_child;
    }

    void rotate_right(NodeId node) noexcept {
        RBNode& n = at(node);
        const NodeId left_child = n.left;
        RBNode& l = at(left_child);
        const NodeId inner = l.right;
        n.left = inner;
        if (inner != NO_NODE) at(inner).parent = node;
        l.parent = n.parent;
        replace_child(n.parent, node, left_child);
        l.right = node;
        n.parent = left_child;
    }

    // Restores the colouring after `node` was linked in red below a parent.
    void fixup_insert(NodeId node) noexcept {
        for (NodeId parent = at(node).parent; is_red(parent); parent = at(node).parent) {
            // A red parent is never the root, so the grandparent exists.
            const NodeId grandparent = at(parent).parent;
            const RBNode& g = at(grandparent);
            if (parent == g.left) {
                const NodeId uncle = g.right;
                if (is_red(uncle)) {
                    paint_black(parent);
                    paint_black(uncle);
                    paint_red(grandparent);
                    node = grandparent;
                    continue;
                }
                if (node == at(parent).right) {
                    node = parent;
                    rotate_left(node);
                }
                const NodeId top = at(at(node).parent).parent;
                paint_black(at(node).parent);
                paint_red(top);
                rotate_right(top);
            } else {
                const NodeId uncle = g.left;
                if (is_red(uncle)) {
                    paint_black(parent);
                    paint_black(uncle);
                    paint_red(grandparent);
                    node = grandparent;
                    continue;
                }
                if (node == at(parent).left) {
                    node = parent;
                    rotate_right(node);
                }
                const NodeId top = at(at(node).parent).parent;
                paint_black(at(node).parent);
                paint_red(top);
                rotate_left(top);
            }
        }
        paint_black(root);
    }

    // Puts subtree `v` (possibly empty) where `u` hangs.
    void transplant(NodeId u, NodeId v) noexcept {
        const NodeId parent = at(u).parent;
        replace_child(parent, u, v);
        if (v != NO_NODE) at(v).parent = parent;
    }

    // Links a fresh entry from `take`: behind the tree node of its size when
    // there is one, otherwise as a new tree node.
    void link(NodeId entry) noexcept {
        const uint64_t size = at(entry).size;
        NodeId parent = NO_NODE;
        NodeId current = root;
        while (current != NO_NODE) {
            RBNode& c = at(current);
            if (size == c.size) {
                // The entry stays red: chain entries carry no colour.
                at(entry).color_next = c.color_next & next_mask;
                c.color_next = (c.color_next & ~next_mask) | entry;
                ++node_count;
                return;
            }
            parent = current;
            current = child_of(c, size < c.size);
        }
        ++node_count;
        if (parent == NO_NODE) {
            root = entry;
            paint_black(entry);
            return;
        }
        at(entry).parent = parent;
        if (size < at(parent).size) {
            at(parent).left = entry;
        } else {
            at(parent).right = entry;
        }
        fixup_insert(entry);
    }

    // Removes the entry held by tree node `node` (the first of its size) and
    // returns the slot to release, which carries the removed block. With a
    // chain, the newest duplicate is promoted into the tree node (its block and
    // time move over) and the tree shape is unchanged.
    NodeId remove_head(NodeId node) noexcept {
        --node_count;
        const NodeId promoted = next_same_size(node);
        if (promoted == NO_NODE) {
            unlink_node(node);
            return node;
        }
        set_next(node, next_same_size(promoted));
        std::swap(at(node).block_obj, at(promoted).block_obj);
        std::swap(time_at(node), time_at(promoted));
        return promoted;
    }

    // Removes the chained entry that follows `prev` and returns it.
    NodeId remove_after(NodeId prev) noexcept {
        --node_count;
        const NodeId entry = next_same_size(prev);
        set_next(prev, next_same_size(entry));
        return entry;
    }

    // Takes a tree node without chain out of the tree (complete red-black
    // deletion; the slot itself is left to the caller).
    void unlink_node(NodeId node) noexcept {
        Color removed_color = color_of(node);
        NodeId child;
        NodeId child_parent;
        const NodeId left = at(node).left;
        const NodeId right = at(node).right;
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
            child = at(replacement).right;
            if (parent_of(replacement) == node) {
                child_parent = replacement;
            } else {
                child_parent = parent_of(replacement);
                transplant(replacement, child);
                at(replacement).right = right;
                at(right).parent = replacement;
            }
            transplant(node, replacement);
            at(replacement).left = left;
            at(left).parent = replacement;
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
            if (node == at(parent).left) {
                NodeId sibling = at(parent).right;
                if (is_red(sibling)) {
                    paint_black(sibling);
                    paint_red(parent);
                    rotate_left(parent);
                    sibling = at(parent).right;
                }
                // The side without the extra black is one black taller, so a
                // sibling exists; the check only guards a damaged tree.
                if (sibling == NO_NODE) break;
                if (is_black(at(sibling).left) && is_black(at(sibling).right)) {
                    paint_red(sibling);
                    node = parent;
                    parent = parent_of(node);
                    continue;
                }
                if (is_black(at(sibling).right)) {
                    paint_black(at(sibling).left);
                    paint_red(sibling);
                    rotate_right(sibling);
                    sibling = at(parent).right;
                }
                set_color(sibling, color_of(parent));
                paint_black(parent);
                if (at(sibling).right != NO_NODE) paint_black(at(sibling).right);
                rotate_left(parent);
                node = root;
            } else {
                NodeId sibling = at(parent).left;
                if (is_red(sibling)) {
                    paint_black(sibling);
                    paint_red(parent);
                    rotate_right(parent);
                    sibling = at(parent).left;
                }
                if (sibling == NO_NODE) break;
                if (is_black(at(sibling).left) && is_black(at(sibling).right)) {
                    paint_red(sibling);
                    node = parent;
                    parent = parent_of(node);
                    continue;
                }
                if (is_black(at(sibling).left)) {
                    paint_black(at(sibling).right);
                    paint_red(sibling);
                    rotate_left(sibling);
                    sibling = at(parent).left;
                }
                set_color(sibling, color_of(parent));
                paint_black(parent);
                if (at(sibling).left != NO_NODE) paint_black(at(sibling).left);
                rotate_right(parent);
                node = root;
            }
        }
        if (node != NO_NODE) paint_black(node);
    }

    // Moves every entry into fresh storage of `slots` slots:
    // the tree nodes breadth first from the root, then each size's chain in
    // chain order. The top levels of the tree then share cache lines and
    // pages. Returns false, with nothing changed, when `slots` is too small or
    // the storage cannot be had. Links held by the caller are void after.
    bool relayout(uint32_t slots) noexcept {
        if (slots < node_count || slots > entry_limit_) return false;
        const size_t node_bytes = static_cast<size_t>(slots) * sizeof(RBNode);
        auto* nodes = static_cast<RBNode*>(Memory::reallocate(nullptr, node_bytes));
        if (nodes == nullptr) return false;
        if (Memory::huge_pages && node_bytes >= huge_page_array_bytes) {
            advise_huge_pages(nodes, node_bytes);
        }
        auto* times = static_cast<uint64_t*>(
            Memory::reallocate(nullptr, static_cast<size_t>(slots) * sizeof(uint64_t)));
        if (times == nullptr) {
            Memory::release(nodes);
            return false;
        }
        // Breadth first: a node's new record is first a placeholder holding
        // its old link (in `left`) and its parent's new link; the records
        // from slot `next` on are placeholders not yet filled.
        uint32_t next = 0;
        if (root != NO_NODE) nodes[next++] = RBNode{0, nullptr, root, NO_NODE, NO_NODE, 0};
        constexpr uint32_t ahead = 16;  // placeholders whose old records are fetched early
        for (uint32_t slot = 0; slot < next; ++slot) {
            if (slot + ahead < next) {
                __builtin_prefetch(&at(nodes[slot + ahead].left));
                __builtin_prefetch(&time_at(nodes[slot + ahead].left));
            }
            const NodeId old = nodes[slot].left;
            const NodeId parent = nodes[slot].parent;
            const RBNode& o = at(old);
            RBNode& n = nodes[slot];
            n = o;
            n.parent = parent;
            times[slot] = time_at(old);
            if (o.left != NO_NODE) {
                n.left = link_of(next);
                nodes[next++] = RBNode{0, nullptr, o.left, NO_NODE, link_of(slot), 0};
            }
            if (o.right != NO_NODE) {
                n.right = link_of(next);
                nodes[next++] = RBNode{0, nullptr, o.right, NO_NODE, link_of(slot), 0};
            }
        }
        // The chains, each behind the other; the chain link of a record
        // copied above still holds an old link.
        const uint32_t tree_nodes = next;
        for (uint32_t slot = 0; slot < tree_nodes; ++slot) {
            uint32_t* chain = &nodes[slot].color_next;
            for (NodeId old = *chain & next_mask; old != NO_NODE; old = next_same_size(old)) {
                nodes[next] = at(old);
                times[next] = time_at(old);
                *chain = (*chain & ~next_mask) | link_of(next);
                chain = &nodes[next++].color_next;
            }
            *chain &= ~next_mask;
        }
        Memory::release(nodes_);
        Memory::release(times_);
        nodes_ = nodes;
        times_ = times;
        capacity_ = slots;
        used_ = next;
        free_head_ = NO_NODE;
        root = node_count > 0 ? link_of(0) : NO_NODE;
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
        const int left = height(at(node).left);
        const int right = height(at(node).right);
        return 1 + (left > right ? left : right);
    }

    uint64_t entries_of(NodeId node) const noexcept {
        uint64_t count = 0;
        for (; node != NO_NODE; node = next_same_size(node)) ++count;
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
        for (uint32_t slot = 0; slot < used_; ++slot) {
            if (nodes_[slot].left == free_mark) continue;
            if (int stop = visit(nodes_[slot].block_obj)) return stop;
        }
        return 0;
    }

    // Pre-order over tree nodes (root first) until `visit(node)` returns false.
    template <typename Visit>
    bool preorder(NodeId node, Visit& visit) const noexcept {
        if (node == NO_NODE) return true;
        return visit(node) && preorder(at(node).left, visit) && preorder(at(node).right, visit);
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
            for (NodeId node = free_head_; node != NO_NODE; node = at(node).right) {
                if (!handed_out(node) || at(node).left != free_mark || ++free_slots > used_) {
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
    // Marks a free slot in `left`; never a link, as links are multiples of four.
    static constexpr NodeId free_mark = UINT32_MAX;
    // Storage of up to this many slots (40 KiB) is kept however few entries
    // remain, so that a small tree that empties and fills again allocates
    // nothing.
    static constexpr uint32_t min_shrink_slots = 1024;
    // Node arrays from this size on (131,072 slots) are offered for huge
    // pages: they then hold at least one whole 2 MiB page.
    static constexpr size_t huge_page_array_bytes = size_t{4} << 20;

    RBNode* nodes_ = nullptr;
    uint64_t* times_ = nullptr;  // creation times, for diagnostics only
    uint32_t capacity_ = 0;      // slots the storage holds
    uint32_t used_ = 0;          // slots handed out so far
    NodeId free_head_ = NO_NODE;
    uint32_t entry_limit_ = max_entries;  // at most max_entries

    static constexpr uint32_t next_mask = (uint32_t{1} << 31) - 1;

    static constexpr NodeId link_of(uint32_t slot) noexcept { return (slot + 1) << 2; }
    // The child of `n` toward smaller sizes when `smaller`, else toward larger
    // ones, for the descents; a level should cost one load (size and links
    // share a line) and a select. clang turns a choice between the two fields
    // into a load from an address chosen by the comparison, so every level
    // would wait for a second load after the comparison (that made clang's
    // build of the lookups about a fifth slower); reading both links as one
    // word leaves it only the values to choose from. GCC chooses between the
    // fields with the load folded into the select or a branch, one instruction
    // less per level than the word's shift.
    static NodeId child_of(const RBNode& n, bool smaller) noexcept {
#if defined(__clang__)
        uint64_t links;
        std::memcpy(&links, reinterpret_cast<const char*>(&n) + offsetof(RBNode, left),
                    sizeof links);
        const auto first = static_cast<NodeId>(links);
        const auto second = static_cast<NodeId>(links >> 32);
        constexpr bool left_first = std::endian::native == std::endian::little;
        return smaller == left_first ? first : second;
#else
        return smaller ? n.left : n.right;
#endif
    }
    // The record a link names: base + link * 8 - 32 is a single addressing
    // mode.
    RBNode& at(NodeId link) const noexcept {
        return *reinterpret_cast<RBNode*>(reinterpret_cast<char*>(nodes_) + size_t{link} * 8 -
                                          sizeof(RBNode));
    }
    uint64_t& time_at(NodeId link) const noexcept { return times_[(link >> 2) - 1]; }
    // A link to a slot handed out (live or free); for the checker.
    bool handed_out(NodeId link) const noexcept {
        return link != NO_NODE && (link & 3) == 0 && (link >> 2) - 1 < used_;
    }

    void set_next(NodeId node, NodeId next) noexcept {
        uint32_t& word = at(node).color_next;
        word = (word & ~next_mask) | next;
    }
    void set_color(NodeId node, Color color) noexcept {
        uint32_t& word = at(node).color_next;
        word = (word & next_mask) | uint32_t{color} << 31;
    }
    void paint_black(NodeId node) noexcept { at(node).color_next |= ~next_mask; }
    void paint_red(NodeId node) noexcept { at(node).color_next &= next_mask; }

    // Puts `replacement` into the slot of `parent` (or the root) that holds
    // `node`.
    void replace_child(NodeId parent, NodeId node, NodeId replacement) noexcept {
        if (parent == NO_NODE) {
            root = replacement;
        } else if (node == at(parent).left) {
            at(parent).left = replacement;
        } else {
            at(parent).right = replacement;
        }
    }

    // Grows both arrays by half (at least by one slot, at most to the entry
    // limit). It runs only when every slot is handed out. The node array is
    // grown first; if the second growth fails, the first only leaves room that
    // `capacity_` does not count yet.
    Reserve grow() noexcept {
        if (capacity_ >= entry_limit_) return Reserve::full;
        // Small trees start small: a tree of one block holds one slot.
        uint64_t wanted = uint64_t{capacity_} + (capacity_ < 2 ? 1 : capacity_ / 2);
        if (wanted > entry_limit_) wanted = entry_limit_;
        // Both byte counts fit a 64-bit size_t: wanted <= 2^29.
        const size_t node_bytes = static_cast<size_t>(wanted) * sizeof(RBNode);
        void* nodes;
        if (Memory::huge_pages && node_bytes >= huge_page_array_bytes) {
            // Fresh storage, offered for huge pages before its pages are first
            // touched: grown in place, the part already touched would keep
            // its small pages.
            nodes = Memory::reallocate(nullptr, node_bytes);
            if (nodes == nullptr) return Reserve::no_memory;
            advise_huge_pages(nodes, node_bytes);
            std::memcpy(nodes, nodes_, size_t{capacity_} * sizeof(RBNode));
            Memory::release(nodes_);
        } else {
            nodes = Memory::reallocate(nodes_, node_bytes);
            if (nodes == nullptr) return Reserve::no_memory;
        }
        nodes_ = static_cast<RBNode*>(nodes);
        void* times = Memory::reallocate(times_, static_cast<size_t>(wanted) * sizeof(uint64_t));
        if (times == nullptr) return Reserve::no_memory;
        times_ = static_cast<uint64_t*>(times);
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
        free_subtree(at(node).left, release);
        free_subtree(at(node).right, release);
        NodeId entry = next_same_size(node);
        while (entry != NO_NODE) {
            const NodeId next = next_same_size(entry);
            release(at(entry).block_obj);
            entry = next;
        }
        release(at(node).block_obj);
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
        if (!handed_out(node) || at(node).left == free_mark) {
            result.error = "link to a free slot";
            return 0;
        }
        ++result.tree_nodes;
        const RBNode& n = at(node);
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
        for (NodeId entry = node; entry != NO_NODE; entry = next_same_size(entry)) {
            // A cycle in a damaged chain ends here instead of looping.
            if (++result.entries > node_count) {
                result.error = "more entries than node_count";
                return 0;
            }
            if (entry == node) continue;
            if (!handed_out(entry) || at(entry).left == free_mark) {
                result.error = "link to a free slot";
                return 0;
            }
            const RBNode& e = at(entry);
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
