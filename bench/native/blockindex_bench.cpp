// Native benchmark of the free-block tree's core, with no interpreter in the
// loop: the tree as the module builds it (arena of 32-byte records), the
// tree as it was before (one 64-byte record per entry from a small-object
// pool, linked by pointers), and a sorted array in Eytzinger (breadth-first)
// order with prefetching, the cache-friendliest static search there is.
//
// Each structure holds the same random 40-bit keys, 10^3 to 10^6 of them,
// and answers the same random queries: lower bound (the smallest key >= the
// query), insert of fresh keys, and remove-smallest-at-least. Writers are
// timed in batches that are undone untimed afterwards, so every structure
// keeps its size. Before each timed pass the structure serves other random
// lookups untimed, so it meets the pass as warm as steady random use leaves
// it. Passes of the three structures are interleaved and the best of all
// repeats is kept; ratios from one run are what carry over between machines.
//
//   blockindex_bench [--ideas] [--quick] [--repeats N] [--queries N] [--max-exponent E]
//   blockindex_bench --verify [--steps N]
//
// --ideas adds variants of the arena tree, each with one idea changed (4 KiB
// pages, prefetching both children, a breadth-first layout).
// --verify replays random operations on the arena tree and the pointer tree
// and compares their shapes, colours and chains after every step.
#include <sys/mman.h>
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "lumetra/memory/blockindex/rbtree.hpp"
#include "pointer_tree.hpp"

namespace {

// Time this thread spent running: other processes on a shared machine then
// cost only the cache contents they evict, not the time they are scheduled.
struct Clock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock, duration>;
    static time_point now() noexcept {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return time_point(duration(int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec));
    }
};

// The arena's storage from the C heap, offered for huge pages as the module's
// is, or not (to measure what they give).
template <bool Huge>
struct Heap {
    static void* reallocate(void* old, size_t bytes) noexcept { return std::realloc(old, bytes); }
    static void release(void* old) noexcept { std::free(old); }
    static constexpr bool huge_pages = Huge;
    static constexpr bool concurrent_readers = false;  // one thread
};

using ArenaTree = blockindex::BasicTree<Heap<true>>;  // as the module keeps it

// Stand-in for a block object: the tree never looks at it.
void* block_for(uint64_t key) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(key * 2 + 1));
}

// --- the tree before: 64-byte records from a small-object pool ----------------

// Hands out 64-byte records the way the interpreter's small-object allocator
// does for one size class: 16 KiB pools behind a 48-byte header, carved in
// order from 1 MiB arenas; a freed record is handed out again first.
class RecordPool {
public:
    static constexpr size_t record = 64;
    static constexpr size_t pool = 16384;
    static constexpr size_t pool_header = 48;
    static constexpr size_t arena = size_t{1} << 20;

    RecordPool() = default;
    RecordPool(const RecordPool&) = delete;
    RecordPool& operator=(const RecordPool&) = delete;
    ~RecordPool() {
        for (void* a : arenas_) std::free(a);
    }

    void* allocate() {
        if (free_ != nullptr) {
            void* p = free_;
            free_ = *static_cast<void**>(p);
            return p;
        }
        if (next_ + record > pool_end_) new_pool();
        void* p = next_;
        next_ += record;
        return p;
    }
    void deallocate(void* p) {
        *static_cast<void**>(p) = free_;
        free_ = p;
    }
    // The pools carved so far: arenas are shared with every other size class
    // in the interpreter, pools belong to one.
    size_t bytes() const { return pools_ * pool; }

private:
    std::vector<void*> arenas_;
    char* arena_next_ = nullptr;
    char* arena_end_ = nullptr;
    char* next_ = nullptr;
    char* pool_end_ = nullptr;
    void* free_ = nullptr;
    size_t pools_ = 0;

    void new_pool() {
        if (arena_next_ == arena_end_) {
            void* a = std::aligned_alloc(pool, arena);
            if (a == nullptr) std::abort();
            arenas_.push_back(a);
            arena_next_ = static_cast<char*>(a);
            arena_end_ = arena_next_ + arena;
        }
        ++pools_;
        next_ = arena_next_ + pool_header;
        pool_end_ = next_ + (pool - pool_header) / record * record;
        arena_next_ += pool;
    }
};

class PointerIndex {
public:
    using Node = pointer_tree::RBNode;
    static constexpr const char* name = "pointer tree";

    ~PointerIndex() { free_subtree(tree_.detach()); }

    void insert(uint64_t key, void* block) {
        auto* node = static_cast<Node*>(pool_.allocate());
        *node = Node{nullptr, nullptr, nullptr, pointer_tree::RED, key, block, nullptr, 0};
        tree_.link(node);
    }
    uint64_t lower_bound(uint64_t key) const {
        const Node* node = tree_.find_best_fit_node(key);
        return node == nullptr ? UINT64_MAX : node->size;
    }
    bool remove_ge(uint64_t key, uint64_t& size, void*& block) {
        Node* node = tree_.find_best_fit_node(key);
        if (node == nullptr) return false;
        size = node->size;
        Node* record = tree_.remove_head(node);
        block = record->block_obj;
        pool_.deallocate(record);
        return true;
    }
    bool erase(uint64_t key, void* block) {
        Node* node = tree_.find_node(key);
        for (Node *entry = node, *prev = nullptr; entry != nullptr;
             prev = entry, entry = entry->next_same_size) {
            if (entry->block_obj != block) continue;
            Node* record = prev == nullptr ? tree_.remove_head(node) : tree_.remove_after(prev);
            pool_.deallocate(record);
            return true;
        }
        return false;
    }
    uint64_t entries() const { return tree_.node_count; }
    double bytes_per_entry() const { return static_cast<double>(pool_.bytes()) / entries(); }
    const pointer_tree::Tree& tree() const { return tree_; }

private:
    RecordPool pool_;
    pointer_tree::Tree tree_;

    void free_subtree(Node* node) {
        if (node == nullptr) return;
        free_subtree(node->left);
        free_subtree(node->right);
        for (Node* entry = node; entry != nullptr;) {
            Node* next = entry->next_same_size;
            pool_.deallocate(entry);
            entry = next;
        }
    }
};

// --- the tree as the module builds it -----------------------------------------

// How the arena tree is used: the module's way, or with one idea changed.
enum class Variant {
    module,       // huge pages, records where insertion put them
    small_pages,  // without huge pages
    prefetch,     // lookups also prefetch both children of every node passed
    relaid,       // laid out breadth first once built, as shrinking does
    branchy,      // lookups branch on each comparison instead of selecting
};

template <Variant V = Variant::module>
class ArenaIndex {
public:
    using Tree = blockindex::BasicTree<Heap<V != Variant::small_pages>>;
    using NodeId = blockindex::NodeId;
    static constexpr NodeId none = blockindex::NO_NODE;

    void insert(uint64_t key, void* block) {
        if (tree_.reserve() != blockindex::Reserve::ok) std::abort();
        tree_.link(tree_.take(key, block, 0));
    }
    void built() {
        if (V == Variant::relaid && !tree_.relayout(tree_.slots_allocated())) std::abort();
    }
    uint64_t lower_bound(uint64_t key) const {
        NodeId node = none;
        if constexpr (V == Variant::prefetch) {
            NodeId at = tree_.root();
            while (at != none) {
                const NodeId left = tree_.left_of(at);
                const NodeId right = tree_.right_of(at);
                __builtin_prefetch(&tree_.record_of(left));
                __builtin_prefetch(&tree_.record_of(right));
                const bool below = tree_.size_of(at) < key;
                node = below ? node : at;
                at = below ? right : left;
            }
        } else if constexpr (V == Variant::branchy) {
            NodeId at = tree_.root();
            while (at != none) {
                if (tree_.size_of(at) < key) {
                    at = tree_.right_of(at);
                } else {
                    node = at;
                    at = tree_.left_of(at);
                }
            }
        } else {
            node = tree_.find_best_fit_node(key);
        }
        return node == none ? UINT64_MAX : tree_.size_of(node);
    }
    bool remove_ge(uint64_t key, uint64_t& size, void*& block) {
        const NodeId node = tree_.find_best_fit_node(key);
        if (node == none) return false;
        size = tree_.size_of(node);
        block = tree_.release(tree_.remove_head(node));
        return true;
    }
    bool erase(uint64_t key, void* block) {
        const NodeId node = tree_.find_node(key);
        for (NodeId entry = node, prev = none; entry != none;
             prev = entry, entry = tree_.next_same_size(entry)) {
            if (tree_.block_of(entry) != block) continue;
            tree_.release(prev == none ? tree_.remove_head(node) : tree_.remove_after(prev));
            return true;
        }
        return false;
    }
    uint64_t entries() const { return tree_.node_count(); }
    double bytes_per_entry() const {
        return static_cast<double>(tree_.bytes_allocated()) / entries();
    }
    const Tree& tree() const { return tree_; }

private:
    Tree tree_;
};

// --- Eytzinger array ------------------------------------------------------------

// Sorted keys laid out breadth first (1-based: the children of k are 2k and
// 2k + 1), 64-byte aligned so that the 16 descendants four levels below k,
// 16k .. 16k + 15, fill two whole cache lines, which the descent prefetches.
// Writers keep a sorted copy and lay the array out again: O(n) each.
class EytzingerIndex {
public:
    static constexpr const char* name = "Eytzinger array";

    ~EytzingerIndex() { std::free(layout_); }

    void build(std::vector<std::pair<uint64_t, void*>> pairs) {
        std::sort(pairs.begin(), pairs.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        sorted_ = std::move(pairs);
        relayout();
    }
    void insert(uint64_t key, void* block) {
        auto at = std::upper_bound(sorted_.begin(), sorted_.end(), key,
                                   [](uint64_t k, const auto& p) { return k < p.first; });
        sorted_.insert(at, {key, block});
        relayout();
    }
    uint64_t lower_bound(uint64_t key) const {
        const uint64_t* keys = layout_;
        size_t k = 1;
        while (k <= n_) {
            __builtin_prefetch(keys + 16 * k);
            __builtin_prefetch(keys + 16 * k + 8);
            k = 2 * k + (keys[k] < key);
        }
        // Undo the right turns taken after the last left turn.
        k >>= __builtin_ffsll(static_cast<long long>(~k));
        return k == 0 ? UINT64_MAX : keys[k];
    }
    bool remove_ge(uint64_t key, uint64_t& size, void*& block) {
        auto at = std::lower_bound(sorted_.begin(), sorted_.end(), key,
                                   [](const auto& p, uint64_t k) { return p.first < k; });
        if (at == sorted_.end()) return false;
        size = at->first;
        block = at->second;
        sorted_.erase(at);
        relayout();
        return true;
    }
    bool erase(uint64_t key, void* block) {
        for (auto at = std::lower_bound(sorted_.begin(), sorted_.end(), key,
                                        [](const auto& p, uint64_t k) { return p.first < k; });
             at != sorted_.end() && at->first == key; ++at) {
            if (at->second != block) continue;
            sorted_.erase(at);
            relayout();
            return true;
        }
        return false;
    }
    uint64_t entries() const { return sorted_.size(); }
    // The searched keys and a parallel array of blocks, as a lookup index
    // returning blocks would hold them.
    double bytes_per_entry() const { return 2.0 * sizeof(uint64_t); }

private:
    std::vector<std::pair<uint64_t, void*>> sorted_;
    uint64_t* layout_ = nullptr;
    size_t n_ = 0;
    size_t allocated_ = 0;

    void relayout() {
        n_ = sorted_.size();
        // Room for the prefetches past the end: 16 (n + 1) + 16 keys.
        const size_t wanted = (16 * (n_ + 2) * sizeof(uint64_t) + 63) / 64 * 64;
        if (wanted > allocated_) {
            std::free(layout_);
            layout_ = static_cast<uint64_t*>(std::aligned_alloc(64, wanted));
            if (layout_ == nullptr) std::abort();
            allocated_ = wanted;
        }
        size_t i = 0;
        fill(1, i);
    }
    void fill(size_t k, size_t& i) {
        if (k > n_) return;
        fill(2 * k, i);
        layout_[k] = sorted_[i++].first;
        fill(2 * k + 1, i);
    }
};

// --- measurement ------------------------------------------------------------------

uint64_t random_key(std::mt19937_64& rng) { return rng() >> 24; }  // 40 bits

volatile uint64_t sink;

template <typename Index>
void warm(const Index& index, const std::vector<uint64_t>& warmers) {
    uint64_t sum = 0;
    for (uint64_t q : warmers) sum += index.lower_bound(q);
    sink = sum;
}

template <typename Index>
double time_lookups(const Index& index, const std::vector<uint64_t>& queries) {
    uint64_t sum = 0;
    const auto start = Clock::now();
    for (uint64_t q : queries) sum += index.lower_bound(q);
    const auto elapsed = Clock::now() - start;
    sink = sum;
    return std::chrono::duration<double, std::nano>(elapsed).count() / queries.size();
}

template <typename Index>
double time_inserts(Index& index, const std::vector<uint64_t>& fresh) {
    const auto start = Clock::now();
    for (uint64_t key : fresh) index.insert(key, block_for(key));
    const auto elapsed = Clock::now() - start;
    for (uint64_t key : fresh) {
        if (!index.erase(key, block_for(key))) std::abort();
    }
    return std::chrono::duration<double, std::nano>(elapsed).count() / fresh.size();
}

template <typename Index>
double time_removals(Index& index, const std::vector<uint64_t>& queries) {
    std::vector<std::pair<uint64_t, void*>> removed;
    removed.reserve(queries.size());
    const auto start = Clock::now();
    for (uint64_t q : queries) {
        uint64_t size;
        void* block;
        if (index.remove_ge(q, size, block)) removed.emplace_back(size, block);
    }
    const auto elapsed = Clock::now() - start;
    for (const auto& [size, block] : removed) index.insert(size, block);
    return std::chrono::duration<double, std::nano>(elapsed).count() / queries.size();
}

struct Options {
    int repeats = 7;
    int max_exponent = 6;
    size_t queries = 100000;
    bool ideas = false;
    bool verify = false;
    uint64_t steps = 200000;
};

enum Op { lookup, insert, remove_ge, op_count };
constexpr const char* op_names[op_count] = {"lower bound", "insert", "remove_ge"};

// One size's keys and queries; every structure gets the same.
struct Workload {
    size_t n;
    std::vector<std::pair<uint64_t, void*>> pairs;
    std::vector<uint64_t> warmers, queries, fresh, removals;
    // The array's writers are O(n): a few of them suffice.
    std::vector<uint64_t> array_fresh, array_removals;

    Workload(int exponent, const Options& options) : n(1) {
        for (int i = 0; i < exponent; ++i) n *= 10;
        std::mt19937_64 rng(exponent);
        pairs.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            const uint64_t key = random_key(rng);
            pairs.emplace_back(key, block_for(key));
        }
        auto draw = [&](size_t count) {
            std::vector<uint64_t> keys(count);
            for (auto& k : keys) k = random_key(rng);
            return keys;
        };
        warmers = draw(options.queries / 4);
        queries = draw(options.queries);
        const size_t batch = std::min<size_t>(n / 10, 10000);
        fresh = draw(batch);
        removals = draw(batch);
        const size_t array_batch = std::max<size_t>(1, std::min(batch, 5000000 / n));
        array_fresh.assign(fresh.begin(), fresh.begin() + static_cast<ptrdiff_t>(array_batch));
        array_removals.assign(removals.begin(),
                              removals.begin() + static_cast<ptrdiff_t>(array_batch));
    }
};

template <typename Index>
void build(Index& index, const Workload& w) {
    if constexpr (std::is_same_v<Index, EytzingerIndex>) {
        index.build(w.pairs);
    } else {
        for (const auto& [key, block] : w.pairs) index.insert(key, block);
        if constexpr (requires { index.built(); }) index.built();
    }
}

// Times every operation on `index` once and keeps the best times in `best`.
template <typename Index>
void measure(Index& index, const Workload& w, double (&best)[op_count]) {
    constexpr bool array = std::is_same_v<Index, EytzingerIndex>;
    auto keep = [&](Op op, double ns) { best[op] = std::min(best[op], ns); };
    warm(index, w.warmers);
    keep(lookup, time_lookups(index, w.queries));
    warm(index, w.warmers);
    keep(insert, time_inserts(index, array ? w.array_fresh : w.fresh));
    warm(index, w.warmers);
    keep(remove_ge, time_removals(index, array ? w.array_removals : w.removals));
}

// Builds each structure for each size and prints, per operation, the best
// time of each over the interleaved repeats, then the memory per key.
template <typename... Index>
void run_table(const Options& options, const char* const (&names)[sizeof...(Index)],
               const char* ratios) {
    constexpr size_t count = sizeof...(Index);
    std::printf("| keys | operation |");
    for (const char* name : names) std::printf(" %s |", name);
    std::printf("%s\n|---:|---|", ratios);
    for (size_t i = 0; i < count + 2; ++i) std::printf("---:|");
    std::printf("\n");
    std::vector<std::string> memory_rows;
    for (int exponent = 3; exponent <= options.max_exponent; ++exponent) {
        const Workload w(exponent, options);
        std::tuple<Index...> indexes;
        std::apply([&](auto&... index) { (build(index, w), ...); }, indexes);
        double best[count][op_count];
        for (auto& row : best) std::fill(std::begin(row), std::end(row), 1e300);
        for (int r = 0; r < options.repeats; ++r) {
            size_t i = 0;
            std::apply([&](auto&... index) { (measure(index, w, best[i++]), ...); }, indexes);
        }
        for (int op = 0; op < op_count; ++op) {
            std::printf("| 10^%d | %s |", exponent, op_names[op]);
            for (size_t i = 0; i < count; ++i) std::printf(" %.1f ns |", best[i][op]);
            // First against second (speed-up), second against last.
            std::printf(" %.2fx | %.2fx |\n", best[0][op] / best[1][op],
                        best[1][op] / best[count - 1][op]);
        }
        std::string row = "| 10^" + std::to_string(exponent) + " |";
        std::apply(
            [&](const auto&... index) {
                ((row += " " + std::to_string(index.bytes_per_entry()).substr(0, 5) + " B |"), ...);
            },
            indexes);
        memory_rows.push_back(row);
        std::fflush(stdout);
    }
    std::printf("\nStorage allocated per key held:\n\n| keys |");
    for (const char* name : names) std::printf(" %s |", name);
    std::printf("\n|---:|");
    for (size_t i = 0; i < count; ++i) std::printf("---:|");
    std::printf("\n");
    for (const auto& row : memory_rows) std::printf("%s\n", row.c_str());
}

void run(const Options& options) {
    if (options.ideas) {
        const char* const names[] = {"pointer tree",
                                     "arena, 4 KiB pages",
                                     "arena",
                                     "arena, branching descent",
                                     "arena + prefetch children",
                                     "arena, breadth first",
                                     "Eytzinger"};
        run_table<PointerIndex, ArenaIndex<Variant::small_pages>, ArenaIndex<>,
                  ArenaIndex<Variant::branchy>, ArenaIndex<Variant::prefetch>,
                  ArenaIndex<Variant::relaid>, EytzingerIndex>(
            options, names, " pointer / 4 KiB | 4 KiB / Eytzinger |");
        return;
    }
    const char* const names[] = {"pointer tree (before)", "arena tree", "Eytzinger"};
    run_table<PointerIndex, ArenaIndex<>, EytzingerIndex>(options, names,
                                                          " speed-up | arena / Eytzinger |");
}

// --- verification -------------------------------------------------------------------

// Pre-order (size, colour, chain length) of both trees must agree.
bool same_shape(const pointer_tree::RBNode* p, const ArenaTree& tree, blockindex::NodeId a) {
    if (p == nullptr || a == blockindex::NO_NODE) return p == nullptr && a == blockindex::NO_NODE;
    uint64_t chain = 0;
    for (const pointer_tree::RBNode* e = p; e != nullptr; e = e->next_same_size) ++chain;
    if (p->size != tree.size_of(a) || static_cast<uint32_t>(p->color) != tree.color_of(a) ||
        chain != tree.entries_of(a) || p->block_obj != tree.block_of(a)) {
        return false;
    }
    return same_shape(p->left, tree, tree.left_of(a)) &&
           same_shape(p->right, tree, tree.right_of(a));
}

int verify(const Options& options) {
    std::mt19937_64 rng(42);
    PointerIndex pointer;
    ArenaIndex arena;
    std::vector<std::pair<uint64_t, void*>> held;
    uint64_t serial = 0;
    uint64_t shrinks = 0;
    uint32_t slots = 0;
    for (uint64_t step = 0; step < options.steps; ++step) {
        // Phases that grow, shrink and churn, over a key range with repeats.
        const uint64_t phase = step / 5000 % 3;
        const unsigned roll = rng() % 100;
        const uint64_t key = rng() % (phase == 2 ? 64 : 4096);
        const unsigned grow = phase == 0 ? 60 : phase == 1 ? 35 : 50;
        if (roll < grow) {
            void* block = reinterpret_cast<void*>(static_cast<uintptr_t>(++serial * 2 + 1));
            pointer.insert(key, block);
            arena.insert(key, block);
            held.emplace_back(key, block);
        } else if (roll < grow + 20 || held.empty()) {
            uint64_t s1 = 0, s2 = 0;
            void *b1 = nullptr, *b2 = nullptr;
            const bool r1 = pointer.remove_ge(key, s1, b1);
            const bool r2 = arena.remove_ge(key, s2, b2);
            if (r1 != r2 || s1 != s2 || b1 != b2) {
                std::printf("step %" PRIu64 ": remove_ge differs\n", step);
                return 1;
            }
            if (r1) {
                auto at = std::find(held.begin(), held.end(), std::make_pair(s1, b1));
                held.erase(at);
            }
        } else {
            const size_t i = rng() % held.size();
            const auto [k, b] = held[i];
            held.erase(held.begin() + static_cast<ptrdiff_t>(i));
            if (!pointer.erase(k, b) || !arena.erase(k, b)) {
                std::printf("step %" PRIu64 ": erase failed\n", step);
                return 1;
            }
        }
        const blockindex::CheckResult check = arena.tree().check_invariants();
        if (check.error != nullptr) {
            std::printf("step %" PRIu64 ": %s\n", step, check.error);
            return 1;
        }
        if (!same_shape(pointer.tree().root, arena.tree(), arena.tree().root())) {
            std::printf("step %" PRIu64 ": shapes differ\n", step);
            return 1;
        }
        shrinks += arena.tree().slots_allocated() < slots;
        slots = arena.tree().slots_allocated();
    }
    std::printf("%" PRIu64 " steps (storage shrank %" PRIu64
                " times): same shapes, colours and chains; invariants hold\n",
                options.steps, shrinks);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options.repeats = 2;
            options.queries = 20000;
        } else if (arg == "--repeats" && i + 1 < argc) {
            options.repeats = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--max-exponent" && i + 1 < argc) {
            options.max_exponent = std::clamp(std::atoi(argv[++i]), 3, 7);
        } else if (arg == "--ideas") {
            options.ideas = true;
        } else if (arg == "--queries" && i + 1 < argc) {
            options.queries = std::max(100, std::atoi(argv[++i]));
        } else if (arg == "--verify") {
            options.verify = true;
        } else if (arg == "--steps" && i + 1 < argc) {
            options.steps = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr,
                         "usage: %s [--ideas] [--quick] [--repeats N] [--queries N] "
                         "[--max-exponent E] | --verify [--steps N]\n",
                         argv[0]);
            return 2;
        }
    }
    if (options.verify) return verify(options);
    run(options);
    return 0;
}
