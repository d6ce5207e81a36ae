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
// half the size, tree nodes breadth first. Growing and shrinking always move
// the records into fresh storage (never a reallocation in place), so that a
// reader still inside the old array keeps it until the writer frees it after
// the readers left (below). The node array is preceded by one 32-byte header
// record, the one link 0 would name, which holds for readers the number of
// slots handed out in that array. Freed slots go on a free list and are handed
// out again newest first, so a tree that shrinks and grows again within its
// storage allocates nothing.
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
//
// One writer, any number of lock-free readers. Changes are made by one writer
// at a time (the owner serialises them); readers (`ReadView`) walk the tree at
// the same time without any lock, under a sequence counter the owner keeps:
// it makes the counter odd before a change (then a release fence) and even
// after it (a release store), and a reader loads it (seq_cst, for ReaderGate)
// before it looks and again after an acquire fence, keeping what it saw only
// when the two loads agree on an even value. So that this is a data-race-free
// program:
//   - every field a reader loads while a writer may store it is accessed
//     atomically: `root_`'s published copy, the published array pointer and
//     its header's count, `node_count_`, and a record's size, block, children
//     and chain word (through std::atomic_ref: relaxed loads by readers, so a
//     descent costs what a plain one does on x86 and ARM, and relaxed stores
//     by the writer where readers run at the same time, `store_shared`). The
//     parent links and the creation times are the writer's alone;
//   - a reader may see any mixture of old and new values while a change runs
//     (it then fails the re-check), so it trusts nothing it read before the
//     re-check: every link is checked against the array it came from (a
//     multiple of four naming a slot handed out in that array), a descent
//     gives up after `max_read_depth` levels and a chain walk after as many
//     entries as the array has slots, so a torn read can neither leave the
//     array nor loop;
//   - memory a reader may be inside is never freed under it. With
//     `Memory::concurrent_readers` (free-threaded Python), readers register in
//     `ReaderGate` around each attempt, and a writer calls `synchronize()`
//     after it unpublished something (an array it replaced, a record whose
//     block the owner is about to drop) and before freeing it: that waits
//     until every reader that could have seen it has left. Without it
//     (Python with an interpreter lock) a reader holds the lock from its first
//     load to its last and no writer changes anything without it, so nothing
//     a reader could be inside is freed meanwhile and both calls cost nothing.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
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

// The record in front of a node array (where link 0 points).
struct StorageHeader {
    uint32_t used;  // slots handed out in this array; readers load it atomically
    uint32_t reserved[7];
};
static_assert(sizeof(StorageHeader) == sizeof(RBNode), "the header takes one record's place");

// A field that readers load while the writer may store it: a relaxed atomic
// load (the sequence counter orders it, see the top of this file). The
// writer's side is BasicTree::store_shared.
template <typename T>
inline T load_shared(T& field) noexcept {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

// std::atomic_thread_fence(Order). gcc refuses that under -fsanitize=thread
// (ThreadSanitizer does not model fences, -Wtsan), so a ThreadSanitizer build
// calls the builtin with that warning off. It sees no race for want of them:
// every field these fences order is itself accessed atomically, and the frees
// they guard are ordered by the reader gate's read-modify-writes, which it
// models.
template <std::memory_order Order>
inline void thread_fence() noexcept {
#if defined(__SANITIZE_THREAD__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
    __atomic_thread_fence(static_cast<int>(Order));
#pragma GCC diagnostic pop
#else
    std::atomic_thread_fence(Order);
#endif
}

// The deepest descent a reader follows: a red-black tree of at most
// max_entries tree nodes is at most 2*log2(2^29) = 58 levels high, so a
// longer path can only come from a torn read.
inline constexpr int max_read_depth = 64;

// What one reader attempt sees of a tree: the array it loaded, the links
// valid in it and the root. Everything read through it may be torn by a
// writer working at the same time: the owner's sequence counter decides
// afterwards whether the attempt counts. A lookup returns false when it met
// something no consistent tree holds (a link outside the array or not a
// multiple of four, a path deeper than max_read_depth, a chain longer than the
// array): the attempt is void. Without `Concurrent` (a GIL build, where a
// reader never runs while a change is under way) nothing is checked: the
// checks cost a descent of a thousand-node tree a few percent. The loads stay
// relaxed atomic loads there too: with plain ones clang's code for the
// descent measured a fifth slower.
template <bool Concurrent>
class ReadView {
public:
    ReadView(RBNode* nodes, NodeId root) noexcept
        : nodes_(nodes), limit_(limit_of(nodes)), root_(root) {}

    // Lower bound: the tree node with the smallest size >= `size` (or
    // NO_NODE) in `out`.
    bool lower_bound(uint64_t size, NodeId& out) const noexcept {
        NodeId node = root_;
        NodeId candidate = NO_NODE;
        for (int depth = 0; node != NO_NODE; ++depth) {
            if (torn(node, depth == max_read_depth)) return false;
            RBNode& n = at(node);
            const uint64_t here = load_shared(n.size);
            const NodeId left = load_shared(n.left);
            const NodeId right = load_shared(n.right);
            // Both children loaded, then a select: the direction is a coin
            // toss for random sizes, so no branch may depend on it.
            const bool below = unpredictable(here < size);
            candidate = below ? candidate : node;
            node = below ? right : left;
        }
        out = candidate;
        return true;
    }

    // Exact lookup: the tree node of `size` (or NO_NODE) in `out`.
    bool find(uint64_t size, NodeId& out) const noexcept {
        NodeId node = root_;
        for (int depth = 0; node != NO_NODE; ++depth) {
            if (torn(node, depth == max_read_depth)) return false;
            RBNode& n = at(node);
            const uint64_t here = load_shared(n.size);
            const NodeId left = load_shared(n.left);
            const NodeId right = load_shared(n.right);
            if (here == size) break;
            node = unpredictable(here < size) ? right : left;
        }
        out = node;
        return true;
    }

    // The block of a node a lookup of this view returned.
    void* block_of(NodeId node) const noexcept { return load_shared(at(node).block_obj); }

    // Calls `visit(block)` for `node` (from a lookup of this view, or NO_NODE)
    // and each entry chained behind it, in chain order.
    template <typename Visit>
    bool chain(NodeId node, Visit& visit) const noexcept {
        for (uint32_t seen = 0; node != NO_NODE; ++seen) {
            if (torn(node, seen == limit_ / 4)) return false;
            RBNode& n = at(node);
            visit(load_shared(n.block_obj));
            node = load_shared(n.color_next) & ((uint32_t{1} << 31) - 1);
        }
        return true;
    }

private:
    RBNode* nodes_;   // slot 0 of the array; null for a tree without storage
    uint32_t limit_;  // the highest link naming a slot handed out in it
    NodeId root_;

    // Tells the compiler that `coin` is a coin toss, so that it selects
    // (a conditional move) instead of jumping: left to itself it jumps in
    // some of these loops, and a descent then pays a misprediction at every
    // other level.
    static bool unpredictable(bool coin) noexcept {
#if defined(__clang__)
        return __builtin_unpredictable(coin);
#elif defined(__GNUC__)
        return __builtin_expect_with_probability(coin, 1, 0.5);
#else
        return coin;
#endif
    }
    static uint32_t limit_of(RBNode* nodes) noexcept {
        if (nodes == nullptr) return 0;
        return load_shared(reinterpret_cast<StorageHeader*>(nodes - 1)->used) * 4;
    }
    // Whether a non-empty link met `too_far` along a path, or names no slot
    // handed out in this view's array.
    bool torn(NodeId link, bool too_far) const noexcept {
        if constexpr (Concurrent) {
            return (link & 3) != 0 || link > limit_ || too_far;
        } else {
            (void)link;
            (void)too_far;
            return false;
        }
    }
    RBNode& at(NodeId link) const noexcept {
        return *reinterpret_cast<RBNode*>(reinterpret_cast<char*>(nodes_) + size_t{link} * 8 -
                                          sizeof(RBNode));
    }
};

// What `check_invariants` found: `error` is null when the tree is sound.
struct CheckResult {
    const char* error = nullptr;
    int black_height = 0;
    uint64_t tree_nodes = 0;
    uint64_t entries = 0;
};

// Readers that walk a tree without the writer's lock register here for each
// attempt, and a writer waits for them before it frees memory they may be in.
//
// A reader: enter() (reads the epoch, then a seq_cst increment of that
// epoch's count), then a seq_cst load of the owner's sequence counter, its
// walk, leave() (a release decrement). A writer, after it unpublished
// something U (relaxed or release stores, made after the odd counter store):
// synchronize() = a seq_cst fence, then seq_cst loads of the counts.
//   - A reader whose increment the writer's loads do not see came after them
//     in the single total order of seq_cst operations, so its counter load
//     follows the writer's fence and observes the odd store made before U or
//     a later store: it retries, or it acquired an even value stored after U
//     and sees U complete. So only readers the counts show can be inside U.
//   - Those the writer waits out: it waits for the previous epoch's count to
//     reach zero, moves the epoch on (new readers count there), then waits for
//     the count of the epoch it left. A reader counts under the epoch it read,
//     one of the two, so each reader seen is waited for; and as new readers
//     go to the other count, only stragglers that read the epoch just before
//     it moved can delay either wait: the wait ends.
// Readers never block, call back into their owner or wait for anything
// inside, so the writer's wait is short (it yields the processor while it
// spins). Writers call synchronize() one at a time (the owner serialises
// them), and never while they are registered as readers themselves.
// fork() in Python stops every other thread at a point outside any attempt,
// so a child process never inherits a reader that is not there.
template <bool Concurrent>
class ReaderGate {
public:
    unsigned enter() noexcept { return 0; }
    void leave(unsigned) noexcept {}
    void synchronize() noexcept {}
};

template <>
class ReaderGate<true> {
public:
    ReaderGate() noexcept = default;
    ReaderGate(const ReaderGate&) = delete;
    ReaderGate& operator=(const ReaderGate&) = delete;

    unsigned enter() noexcept {
        const auto slot = static_cast<unsigned>(epoch_.load(std::memory_order_acquire) & 1);
        counts_[slot].readers.fetch_add(1, std::memory_order_seq_cst);
        return slot;
    }
    // Release: the reader's loads happen before whatever a writer that sees
    // the count drop (with an acquire load) does next, freeing included.
    void leave(unsigned slot) noexcept {
        counts_[slot].readers.fetch_sub(1, std::memory_order_release);
    }
    void synchronize() noexcept {
        thread_fence<std::memory_order_seq_cst>();
        if (idle(0) && idle(1)) return;
        const uint64_t epoch = epoch_.load(std::memory_order_relaxed);
        wait_idle((epoch + 1) & 1);
        epoch_.store(epoch + 1, std::memory_order_seq_cst);
        wait_idle(epoch & 1);
    }

private:
    // Each count on a cache line of its own (padding rather than alignment:
    // the tree lives inside a Python object, which is only 16-byte aligned).
    struct Count {
        std::atomic<uint64_t> readers{0};
        char pad[56];
    };
    std::atomic<uint64_t> epoch_{0};  // changed only by synchronize()
    [[maybe_unused]] char pad_[56];
    Count counts_[2];

    bool idle(unsigned slot) const noexcept {
        return counts_[slot].readers.load(std::memory_order_seq_cst) == 0;
    }
    void wait_idle(unsigned slot) const noexcept {
        for (unsigned spins = 0; !idle(slot); ++spins) {
            if (spins >= 64) std::this_thread::yield();
        }
    }
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
//   static constexpr bool concurrent_readers  // readers may run while a writer works
template <typename Memory>
class BasicTree {
public:
    using Gate = ReaderGate<Memory::concurrent_readers>;

    // A tree that lock-free readers use registers them in `gate`, which the
    // owner keeps (outside the tree, so that a tree object stays small: trees
    // detached for freeing live on the stack of nested deallocations).
    explicit BasicTree(Gate* gate = nullptr) noexcept : gate_(gate) {}
    BasicTree(const BasicTree&) = delete;
    BasicTree& operator=(const BasicTree&) = delete;
    // Takes over `other`'s entries and storage and leaves it empty (readers of
    // `other` find it empty from then on; the storage may still hold some of
    // them until the owner's synchronize()). The gate stays with `other`.
    BasicTree(BasicTree&& other) noexcept
        : root_(std::exchange(other.root_, NO_NODE)),
          node_count_(std::exchange(other.node_count_, 0)),
          nodes_(std::exchange(other.nodes_, nullptr)),
          times_(std::exchange(other.times_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          used_(std::exchange(other.used_, 0)),
          free_head_(std::exchange(other.free_head_, NO_NODE)),
          entry_limit_(std::exchange(other.entry_limit_, max_entries)) {
        other.publish();
        publish();
    }
    // Takes over `other`'s entries and storage; this tree's own storage is
    // freed (its blocks, if any, are the owner's business; no reader may be
    // inside it).
    BasicTree& operator=(BasicTree&& other) noexcept {
        BasicTree taken(std::move(other));
        std::swap(root_, taken.root_);
        std::swap(node_count_, taken.node_count_);
        std::swap(nodes_, taken.nodes_);
        std::swap(times_, taken.times_);
        std::swap(capacity_, taken.capacity_);
        std::swap(used_, taken.used_);
        std::swap(free_head_, taken.free_head_);
        std::swap(entry_limit_, taken.entry_limit_);
        publish();
        return *this;
    }
    // Frees the storage; the blocks are the owner's business.
    ~BasicTree() {
        release_nodes(nodes_);
        Memory::release(times_);
    }

    // --- entries --------------------------------------------------------------

    NodeId root() const noexcept { return root_; }
    // The number of entries; any thread may read it at any time.
    uint64_t node_count() const noexcept { return load_shared(const_cast<uint64_t&>(node_count_)); }

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
            store_shared(header_of(nodes_).used, used_);
        }
        RBNode& n = at(node);
        store_shared(n.size, size);
        store_shared(n.block_obj, block);
        store_shared(n.left, NO_NODE);
        store_shared(n.right, NO_NODE);
        n.parent = NO_NODE;
        store_shared(n.color_next, uint32_t{RED});
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
        store_shared(n.left, free_mark);
        store_shared(n.right, free_head_);
        free_head_ = node;
        if (capacity_ > min_shrink_slots && node_count() < capacity_ / 4) shrink();
        return block;
    }

    // --- lock-free reading ------------------------------------------------------

    // A reader's registration for one attempt (see ReaderGate): enter first,
    // then load the owner's sequence counter (seq_cst), then read_view().
    unsigned enter_reader() noexcept { return gate_->enter(); }
    void leave_reader(unsigned slot) noexcept { gate_->leave(slot); }
    // Returns once no reader can still be inside anything the writer
    // unpublished before the call (an array, a record's former contents, the
    // storage of a detached tree). The writer calls it before freeing such
    // memory or dropping a block a reader may have seen.
    void synchronize() noexcept {
        if (gate_ != nullptr) gate_->synchronize();
    }

    // The tree as a reader sees it now. Acquire: the records and header of
    // an array are written before its publication.
    ReadView<Memory::concurrent_readers> read_view() const noexcept {
        return ReadView<Memory::concurrent_readers>(shared_nodes_.load(std::memory_order_acquire),
                                                    shared_root_.load(std::memory_order_relaxed));
    }

    // --- lookups ----------------------------------------------------------------

    // Exact lookup: the tree node of `size`, or NO_NODE.
    NodeId find_node(uint64_t size) const noexcept {
        NodeId node = root_;
        while (node != NO_NODE) {
            const RBNode& n = at(node);
            if (size == n.size) return node;
            node = child_of(n, size < n.size);
        }
        return NO_NODE;
    }

    // Lower bound: the tree node with the smallest size >= `size`, or NO_NODE.
    NodeId find_best_fit_node(uint64_t size) const noexcept {
        NodeId node = root_;
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
        store_shared(n.right, inner);
        if (inner != NO_NODE) at(inner).parent = node;
        r.parent = n.parent;
        replace_child(n.parent, node, right_child);
        store_shared(r.left, node);
        n.parent = right_child;
    }

    void rotate_right(NodeId node) noexcept {
        RBNode& n = at(node);
        const NodeId left_child = n.left;
        RBNode& l = at(left_child);
        const NodeId inner = l.right;
        store_shared(n.left, inner);
        if (inner != NO_NODE) at(inner).parent = node;
        l.parent = n.parent;
        replace_child(n.parent, node, left_child);
        store_shared(l.right, node);
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
        paint_black(root_);
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
        NodeId current = root_;
        while (current != NO_NODE) {
            RBNode& c = at(current);
            if (size == c.size) {
                // The entry stays red: chain entries carry no colour.
                store_shared(at(entry).color_next, c.color_next & next_mask);
                store_shared(c.color_next, (c.color_next & ~next_mask) | entry);
                count_entries(+1);
                return;
            }
            parent = current;
            current = child_of(c, size < c.size);
        }
        count_entries(+1);
        if (parent == NO_NODE) {
            paint_black(entry);
            set_root(entry);
            return;
        }
        at(entry).parent = parent;
        if (size < at(parent).size) {
            store_shared(at(parent).left, entry);
        } else {
            store_shared(at(parent).right, entry);
        }
        fixup_insert(entry);
    }

    // Removes the entry held by tree node `node` (the first of its size) and
    // returns the slot to release, which carries the removed block. With a
    // chain, the newest duplicate is promoted into the tree node (its block and
    // time move over) and the tree shape is unchanged.
    NodeId remove_head(NodeId node) noexcept {
        count_entries(-1);
        const NodeId promoted = next_same_size(node);
        if (promoted == NO_NODE) {
            unlink_node(node);
            return node;
        }
        set_next(node, next_same_size(promoted));
        void* const removed = at(node).block_obj;
        store_shared(at(node).block_obj, at(promoted).block_obj);
        store_shared(at(promoted).block_obj, removed);
        std::swap(time_at(node), time_at(promoted));
        return promoted;
    }

    // Removes the chained entry that follows `prev` and returns it.
    NodeId remove_after(NodeId prev) noexcept {
        count_entries(-1);
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
                store_shared(at(replacement).right, right);
                at(right).parent = replacement;
            }
            transplant(node, replacement);
            store_shared(at(replacement).left, left);
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
        while (node != root_ && is_black(node)) {
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
                node = root_;
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
                node = root_;
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
        if (slots < node_count() || slots > entry_limit_) return false;
        RBNode* const nodes = allocate_nodes(slots);
        if (nodes == nullptr) return false;
        auto* times = static_cast<uint64_t*>(
            Memory::reallocate(nullptr, static_cast<size_t>(slots) * sizeof(uint64_t)));
        if (times == nullptr) {
            release_nodes(nodes);
            return false;
        }
        // Breadth first: a node's new record is first a placeholder holding
        // its old link (in `left`) and its parent's new link; the records
        // from slot `next` on are placeholders not yet filled.
        uint32_t next = 0;
        if (root_ != NO_NODE) nodes[next++] = RBNode{0, nullptr, root_, NO_NODE, NO_NODE, 0};
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
        // The new array is complete before it is published (a release store).
        header_of(nodes).used = next;
        clear_unused(nodes, next, slots);
        RBNode* const old = std::exchange(nodes_, nodes);
        Memory::release(times_);
        times_ = times;
        capacity_ = slots;
        used_ = next;
        free_head_ = NO_NODE;
        root_ = node_count() > 0 ? link_of(0) : NO_NODE;
        publish();
        retire_nodes(old);
        return true;
    }

    // Empties this tree and returns its former entries and storage: the caller
    // releases the blocks (`free_all`) once nothing can reach them through
    // this tree any more, and the storage goes with the returned tree. Readers
    // may still be inside that storage and hold its blocks until the owner's
    // synchronize(), which must come first.
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
        const NodeId old_root = std::exchange(root_, NO_NODE);
        store_shared(node_count_, uint64_t{0});
        publish();
        free_subtree(old_root, release);
        // The storage goes with it (no temporary tree: this runs nested once
        // per tree when the blocks are trees themselves).
        release_nodes(std::exchange(nodes_, nullptr));
        Memory::release(std::exchange(times_, nullptr));
        capacity_ = 0;
        used_ = 0;
        free_head_ = NO_NODE;
        publish();
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
        if (root_ != NO_NODE && parent_of(root_) != NO_NODE) {
            result.error = "root has a parent";
        } else if (is_red(root_)) {
            result.error = "root is red";
        } else if (root_ != shared_root_.load(std::memory_order_relaxed) ||
                   nodes_ != shared_nodes_.load(std::memory_order_relaxed) ||
                   (nodes_ != nullptr && header_of(nodes_).used != used_)) {
            result.error = "what readers see differs from the tree";
        } else {
            result.black_height = check_subtree(root_, nullptr, nullptr, 0, result);
        }
        if (result.error == nullptr && result.entries != node_count()) {
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
            if (result.error == nullptr && free_slots + node_count() != slots_used()) {
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

    NodeId root_ = NO_NODE;
    uint64_t node_count_ = 0;    // stored by the writer only (store_shared)
    RBNode* nodes_ = nullptr;    // slot 0 of the node array, behind its header
    uint64_t* times_ = nullptr;  // creation times, for diagnostics only
    uint32_t capacity_ = 0;      // slots the storage holds
    uint32_t used_ = 0;          // slots handed out so far
    NodeId free_head_ = NO_NODE;
    uint32_t entry_limit_ = max_entries;  // at most max_entries
    // What readers load: copies of nodes_ and root_, stored whenever those
    // change (publish(), set_root()).
    std::atomic<RBNode*> shared_nodes_{nullptr};
    std::atomic<NodeId> shared_root_{NO_NODE};
    Gate* gate_ = nullptr;  // null for a tree nobody reads without the lock

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
        store_shared(word, (word & ~next_mask) | next);
    }
    void set_color(NodeId node, Color color) noexcept {
        uint32_t& word = at(node).color_next;
        store_shared(word, (word & next_mask) | uint32_t{color} << 31);
    }
    void paint_black(NodeId node) noexcept {
        uint32_t& word = at(node).color_next;
        store_shared(word, word | ~next_mask);
    }
    void paint_red(NodeId node) noexcept {
        uint32_t& word = at(node).color_next;
        store_shared(word, word & next_mask);
    }

    void set_root(NodeId node) noexcept {
        root_ = node;
        shared_root_.store(node, std::memory_order_relaxed);
    }
    // node_count_ has one writer: a store, not a read-modify-write.
    void count_entries(int delta) noexcept {
        store_shared(node_count_, node_count_ + static_cast<uint64_t>(static_cast<int64_t>(delta)));
    }

    // Puts `replacement` into the slot of `parent` (or the root) that holds
    // `node`.
    void replace_child(NodeId parent, NodeId node, NodeId replacement) noexcept {
        if (parent == NO_NODE) {
            set_root(replacement);
        } else if (node == at(parent).left) {
            store_shared(at(parent).left, replacement);
        } else {
            store_shared(at(parent).right, replacement);
        }
    }

    // The writer's store to a field readers load: relaxed atomic when readers
    // run at the same time, else plain (readers then never overlap a change,
    // and compilers treat an atomic store as a barrier to other accesses).
    template <typename T>
    static void store_shared(T& field, T value) noexcept {
        if constexpr (Memory::concurrent_readers) {
            std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
        } else {
            field = value;
        }
    }

    static StorageHeader& header_of(RBNode* nodes) noexcept {
        return *reinterpret_cast<StorageHeader*>(nodes - 1);
    }
    // A node array of `slots` slots behind a header counting none handed out
    // (slot 0's address; null on failure). Large arrays are offered for huge
    // pages before their pages are first touched.
    static RBNode* allocate_nodes(uint32_t slots) noexcept {
        // Fits a 64-bit size_t: slots <= 2^29.
        const size_t node_bytes = static_cast<size_t>(slots) * sizeof(RBNode);
        void* storage = Memory::reallocate(nullptr, node_bytes + sizeof(StorageHeader));
        if (storage == nullptr) return nullptr;
        auto* nodes = static_cast<RBNode*>(storage) + 1;
        if (Memory::huge_pages && node_bytes >= huge_page_array_bytes) {
            advise_huge_pages(nodes, node_bytes);
        }
        header_of(nodes) = StorageHeader{};
        return nodes;
    }
    static void release_nodes(RBNode* nodes) noexcept {
        if (nodes != nullptr) Memory::release(nodes - 1);
    }
    // With concurrent readers, the slots not handed out yet are zeroed: a
    // reader whose loads race ahead of the writer's initialising stores then
    // still reads values that were written (it fails its re-check either way).
    static void clear_unused(RBNode* nodes, uint32_t used, uint32_t slots) noexcept {
        if constexpr (Memory::concurrent_readers) {
            std::memset(static_cast<void*>(nodes + used), 0, size_t{slots - used} * sizeof(RBNode));
        }
    }
    // Makes the writer's nodes_ and root_ what readers load.
    void publish() noexcept {
        shared_nodes_.store(nodes_, std::memory_order_release);
        shared_root_.store(root_, std::memory_order_relaxed);
    }
    // Frees a node array that publish() replaced, once no reader is in it.
    void retire_nodes(RBNode* old) noexcept {
        if (old == nullptr) return;
        synchronize();
        release_nodes(old);
    }

    // Moves the entries into arrays one half longer (at least by one slot, at
    // most to the entry limit). It runs only when every slot is handed out.
    // Both arrays are had before anything changes, so a failure changes
    // nothing (a grown time array only leaves room unused).
    Reserve grow() noexcept {
        if (capacity_ >= entry_limit_) return Reserve::full;
        // Small trees start small: a tree of one block holds one slot.
        uint64_t wanted = uint64_t{capacity_} + (capacity_ < 2 ? 1 : capacity_ / 2);
        if (wanted > entry_limit_) wanted = entry_limit_;
        const auto slots = static_cast<uint32_t>(wanted);
        RBNode* const nodes = allocate_nodes(slots);
        if (nodes == nullptr) return Reserve::no_memory;
        void* times = Memory::reallocate(times_, static_cast<size_t>(slots) * sizeof(uint64_t));
        if (times == nullptr) {
            release_nodes(nodes);
            return Reserve::no_memory;
        }
        times_ = static_cast<uint64_t*>(times);
        if (used_ > 0) std::memcpy(nodes, nodes_, size_t{used_} * sizeof(RBNode));
        header_of(nodes).used = used_;
        clear_unused(nodes, used_, slots);
        RBNode* const old = std::exchange(nodes_, nodes);
        capacity_ = slots;
        publish();
        retire_nodes(old);
        return Reserve::ok;
    }

    // Moves the entries into storage of half the size, or frees the storage
    // of an empty tree. A failed allocation leaves things as they are.
    void shrink() noexcept {
        if (node_count() > 0) {
            (void)relayout(capacity_ / 2);
            return;
        }
        RBNode* const old = std::exchange(nodes_, nullptr);
        Memory::release(std::exchange(times_, nullptr));
        capacity_ = 0;
        used_ = 0;
        free_head_ = NO_NODE;
        publish();
        retire_nodes(old);
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
            if (++result.entries > node_count()) {
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
