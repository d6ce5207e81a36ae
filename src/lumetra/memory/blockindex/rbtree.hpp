// Red-black tree of free blocks keyed by size: the native core of
// FastRedBlackTree.
//
// Layout: one tree node per distinct size. Further entries of the same size
// hang behind that node in a singly linked chain, newest first (a new duplicate
// is always linked directly behind the tree node), so a known size costs one
// descent and no rebalancing. Chain entries keep parent/left/right null and are
// never recoloured or rotated.
//
// Invariants between operations (verified by `check_invariants`):
//   - binary search tree on `size`, no two tree nodes of equal size;
//   - the root is black, a red node has black children, and every path from a
//     node down to a null link crosses the same number of black nodes, so the
//     height stays within 2*log2(tree nodes + 1);
//   - `node_count` is the number of entries (tree nodes plus chained entries).
//
// The tree neither allocates nor frees: callers hand in zero-linked records and
// take back the records they remove, together with the opaque `block_obj` each
// carries (its owner decides what that pointer means). No operation calls out
// while it changes links, so a caller that runs one to completion never lets
// anybody observe a half-linked tree.
#pragma once

#include <cstdint>
#include <utility>

namespace blockindex {

enum Color : int32_t { RED = 0, BLACK = 1 };

struct RBNode {
    RBNode* parent;  // null at the root and in chain entries
    RBNode* left;    // smaller sizes; null in chain entries
    RBNode* right;   // larger sizes; null in chain entries
    Color color;
    uint64_t size;
    void* block_obj;  // owned by whoever owns the tree
    RBNode* next_same_size;
    uint64_t insert_time_ns;  // diagnostics only
};

inline bool is_red(const RBNode* node) noexcept { return node != nullptr && node->color == RED; }
// A missing child counts as black.
inline bool is_black(const RBNode* node) noexcept {
    return node == nullptr || node->color == BLACK;
}

// What `check_invariants` found: `error` is null when the tree is sound.
struct CheckResult {
    const char* error = nullptr;
    int black_height = 0;
    uint64_t tree_nodes = 0;
    uint64_t entries = 0;
};

class Tree {
public:
    RBNode* root = nullptr;
    uint64_t node_count = 0;

    // Exact lookup: the tree node of `size`, or null.
    RBNode* find_node(uint64_t size) const noexcept {
        RBNode* node = root;
        while (node != nullptr) {
            if (size == node->size) return node;
            node = size < node->size ? node->left : node->right;
        }
        return nullptr;
    }

    // Lower bound: the tree node with the smallest size >= `size`, or null.
    RBNode* find_best_fit_node(uint64_t size) const noexcept {
        RBNode* node = root;
        RBNode* candidate = nullptr;
        while (node != nullptr) {
            if (node->size < size) {
                node = node->right;
            } else {
                // Every later candidate lies in this node's left subtree, so
                // it is smaller than the current one.
                candidate = node;
                node = node->left;
            }
        }
        return candidate;
    }

    static RBNode* minimum(RBNode* node) noexcept {
        while (node->left != nullptr) node = node->left;
        return node;
    }

    void rotate_left(RBNode* node) noexcept {
        RBNode* right_child = node->right;
        node->right = right_child->left;
        if (right_child->left != nullptr) right_child->left->parent = node;
        right_child->parent = node->parent;
        replace_child(node, right_child);
        right_child->left = node;
        node->parent = right_child;
    }

    void rotate_right(RBNode* node) noexcept {
        RBNode* left_child = node->left;
        node->left = left_child->right;
        if (left_child->right != nullptr) left_child->right->parent = node;
        left_child->parent = node->parent;
        replace_child(node, left_child);
        left_child->right = node;
        node->parent = left_child;
    }

    // Restores the colouring after `node` was linked in red below a parent.
    void fixup_insert(RBNode* node) noexcept {
        while (node->parent != nullptr && node->parent->color == RED) {
            // A red parent is never the root, so the grandparent exists.
            RBNode* parent = node->parent;
            RBNode* grandparent = parent->parent;
            if (parent == grandparent->left) {
                RBNode* uncle = grandparent->right;
                if (is_red(uncle)) {
                    parent->color = BLACK;
                    uncle->color = BLACK;
                    grandparent->color = RED;
                    node = grandparent;
                    continue;
                }
                if (node == parent->right) {
                    node = parent;
                    rotate_left(node);
                }
                node->parent->color = BLACK;
                node->parent->parent->color = RED;
                rotate_right(node->parent->parent);
            } else {
                RBNode* uncle = grandparent->left;
                if (is_red(uncle)) {
                    parent->color = BLACK;
                    uncle->color = BLACK;
                    grandparent->color = RED;
                    node = grandparent;
                    continue;
                }
                if (node == parent->left) {
                    node = parent;
                    rotate_right(node);
                }
                node->parent->color = BLACK;
                node->parent->parent->color = RED;
                rotate_left(node->parent->parent);
            }
        }
        root->color = BLACK;
    }

    // Puts subtree `v` (possibly null) where `u` hangs.
    void transplant(RBNode* u, RBNode* v) noexcept {
        replace_child(u, v);
        if (v != nullptr) v->parent = u->parent;
    }

    // Links a fresh entry (all links null, colour red): behind the tree node of
    // its size when there is one, otherwise as a new tree node.
    void link(RBNode* entry) noexcept {
        RBNode* parent = nullptr;
        RBNode* current = root;
        while (current != nullptr) {
            if (entry->size == current->size) {
                entry->next_same_size = current->next_same_size;
                current->next_same_size = entry;
                ++node_count;
                return;
            }
            parent = current;
            current = entry->size < current->size ? current->left : current->right;
        }
        entry->parent = parent;
        ++node_count;
        if (parent == nullptr) {
            root = entry;
            entry->color = BLACK;
            return;
        }
        if (entry->size < parent->size) {
            parent->left = entry;
        } else {
            parent->right = entry;
        }
        fixup_insert(entry);
    }

    // Removes the entry held by tree node `node` (the first of its size) and
    // returns the record to free, which carries the removed block. With a
    // chain, the newest duplicate is promoted into the tree node (its block and
    // time move over) and the tree shape is unchanged.
    RBNode* remove_head(RBNode* node) noexcept {
        --node_count;
        RBNode* promoted = node->next_same_size;
        if (promoted == nullptr) {
            unlink_node(node);
            return node;
        }
        node->next_same_size = promoted->next_same_size;
        std::swap(node->block_obj, promoted->block_obj);
        std::swap(node->insert_time_ns, promoted->insert_time_ns);
        return promoted;
    }

    // Removes the chained entry that follows `prev` and returns it.
    RBNode* remove_after(RBNode* prev) noexcept {
        --node_count;
        RBNode* entry = prev->next_same_size;
        prev->next_same_size = entry->next_same_size;
        return entry;
    }

    // Takes a tree node without chain out of the tree (complete red-black
    // deletion; the record itself is left to the caller).
    void unlink_node(RBNode* node) noexcept {
        Color removed_color = node->color;
        RBNode* child;
        RBNode* child_parent;
        if (node->left == nullptr) {
            child = node->right;
            child_parent = node->parent;
            transplant(node, node->right);
        } else if (node->right == nullptr) {
            child = node->left;
            child_parent = node->parent;
            transplant(node, node->left);
        } else {
            RBNode* replacement = minimum(node->right);
            removed_color = replacement->color;
            child = replacement->right;
            if (replacement->parent == node) {
                child_parent = replacement;
            } else {
                child_parent = replacement->parent;
                transplant(replacement, replacement->right);
                replacement->right = node->right;
                replacement->right->parent = replacement;
            }
            transplant(node, replacement);
            replacement->left = node->left;
            replacement->left->parent = replacement;
            replacement->color = node->color;
        }
        // Removing a black node shortens every path through `child`, also when
        // no child took its place: the repair then starts from the empty slot.
        if (removed_color == BLACK) fixup_delete(child, child_parent);
    }

    // Deletion repair. `node` (possibly null, which counts as black) carries an
    // extra black; `parent` is its parent, needed when `node` is null.
    void fixup_delete(RBNode* node, RBNode* parent) noexcept {
        while (node != root && is_black(node)) {
            if (node == parent->left) {
                RBNode* sibling = parent->right;
                if (is_red(sibling)) {
                    sibling->color = BLACK;
                    parent->color = RED;
                    rotate_left(parent);
                    sibling = parent->right;
                }
                // The side without the extra black is one black taller, so a
                // sibling exists; the check only guards a damaged tree.
                if (sibling == nullptr) break;
                if (is_black(sibling->left) && is_black(sibling->right)) {
                    sibling->color = RED;
                    node = parent;
                    parent = node->parent;
                    continue;
                }
                if (is_black(sibling->right)) {
                    sibling->left->color = BLACK;
                    sibling->color = RED;
                    rotate_right(sibling);
                    sibling = parent->right;
                }
                sibling->color = parent->color;
                parent->color = BLACK;
                if (sibling->right != nullptr) sibling->right->color = BLACK;
                rotate_left(parent);
                node = root;
            } else {
                RBNode* sibling = parent->left;
                if (is_red(sibling)) {
                    sibling->color = BLACK;
                    parent->color = RED;
                    rotate_right(parent);
                    sibling = parent->left;
                }
                if (sibling == nullptr) break;
                if (is_black(sibling->left) && is_black(sibling->right)) {
                    sibling->color = RED;
                    node = parent;
                    parent = node->parent;
                    continue;
                }
                if (is_black(sibling->left)) {
                    sibling->right->color = BLACK;
                    sibling->color = RED;
                    rotate_left(sibling);
                    sibling = parent->left;
                }
                sibling->color = parent->color;
                parent->color = BLACK;
                if (sibling->left != nullptr) sibling->left->color = BLACK;
                rotate_right(parent);
                node = root;
            }
        }
        if (node != nullptr) node->color = BLACK;
    }

    // Empties the tree and returns the old root: the caller frees the detached
    // records once nothing can reach them through the tree any more.
    RBNode* detach() noexcept {
        RBNode* old_root = root;
        root = nullptr;
        node_count = 0;
        return old_root;
    }

    // 0 for an empty subtree; chains add no height. The recursion is bounded
    // by the balanced height.
    static int height(const RBNode* node) noexcept {
        if (node == nullptr) return 0;
        const int left = height(node->left);
        const int right = height(node->right);
        return 1 + (left > right ? left : right);
    }

    static uint64_t entries_of(const RBNode* node) noexcept {
        uint64_t count = 0;
        for (; node != nullptr; node = node->next_same_size) ++count;
        return count;
    }

    // Post-order over a detached subtree: the left and right subtrees, then the
    // node's chain, then the node itself. `release(record)` may free the record.
    template <typename Release>
    static void free_subtree(RBNode* node, Release& release) noexcept {
        if (node == nullptr) return;
        free_subtree(node->left, release);
        free_subtree(node->right, release);
        RBNode* entry = node->next_same_size;
        while (entry != nullptr) {
            RBNode* next = entry->next_same_size;
            release(entry);
            entry = next;
        }
        release(node);
    }

    // Calls `visit(record)` for every entry until it returns non-zero.
    template <typename Visit>
    static int visit_entries(const RBNode* node, Visit& visit) noexcept {
        if (node == nullptr) return 0;
        for (const RBNode* entry = node; entry != nullptr; entry = entry->next_same_size) {
            if (int stop = visit(entry)) return stop;
        }
        if (int stop = visit_entries(node->left, visit)) return stop;
        return visit_entries(node->right, visit);
    }

    // Pre-order over tree nodes (root first) until `visit(node)` returns false.
    template <typename Visit>
    static bool preorder(const RBNode* node, Visit& visit) noexcept {
        if (node == nullptr) return true;
        return visit(node) && preorder(node->left, visit) && preorder(node->right, visit);
    }

    // Verifies every invariant listed at the top of this file; for tests and
    // debugging. Depth is capped so that a damaged tree cannot exhaust the stack.
    CheckResult check_invariants() const noexcept {
        CheckResult result;
        if (root != nullptr && root->parent != nullptr) {
            result.error = "root has a parent";
        } else if (is_red(root)) {
            result.error = "root is red";
        } else {
            result.black_height = check_subtree(root, nullptr, nullptr, 0, result);
        }
        if (result.error == nullptr && result.entries != node_count) {
            result.error = "node_count differs from the number of entries";
        }
        return result;
    }

private:
    // Puts `replacement` into the slot of `node`'s parent (or the root) that
    // holds `node`.
    void replace_child(RBNode* node, RBNode* replacement) noexcept {
        if (node->parent == nullptr) {
            root = replacement;
        } else if (node == node->parent->left) {
            node->parent->left = replacement;
        } else {
            node->parent->right = replacement;
        }
    }

    static constexpr int max_check_depth = 200;

    // Returns the black height of `node`'s subtree; sizes must lie strictly
    // between *low and *high where those are given.
    int check_subtree(const RBNode* node, const uint64_t* low, const uint64_t* high, int depth,
                      CheckResult& result) const noexcept {
        const uint64_t node_count_limit = node_count;
        if (node == nullptr || result.error != nullptr) return 1;
        if (depth > max_check_depth) {
            result.error = "tree deeper than any balanced tree can be";
            return 0;
        }
        ++result.tree_nodes;
        if ((low != nullptr && node->size <= *low) || (high != nullptr && node->size >= *high)) {
            result.error = "search order violated";
            return 0;
        }
        if (node->color != RED && node->color != BLACK) {
            result.error = "invalid colour";
            return 0;
        }
        if ((node->left != nullptr && node->left->parent != node) ||
            (node->right != nullptr && node->right->parent != node)) {
            result.error = "parent link broken";
            return 0;
        }
        if (node->color == RED && (is_red(node->left) || is_red(node->right))) {
            result.error = "red node with a red child";
            return 0;
        }
        for (const RBNode* entry = node; entry != nullptr; entry = entry->next_same_size) {
            // A cycle in a damaged chain ends here instead of looping.
            if (++result.entries > node_count_limit) {
                result.error = "more entries than node_count";
                return 0;
            }
            if (entry == node) continue;
            if (entry->size != node->size) {
                result.error = "chain entry of another size";
                return 0;
            }
            if (entry->parent != nullptr || entry->left != nullptr || entry->right != nullptr) {
                result.error = "chain entry with tree links";
                return 0;
            }
        }
        const int left = check_subtree(node->left, low, &node->size, depth + 1, result);
        const int right = check_subtree(node->right, &node->size, high, depth + 1, result);
        if (result.error != nullptr) return 0;
        if (left != right) {
            result.error = "black heights differ";
            return 0;
        }
        return left + (node->color == BLACK ? 1 : 0);
    }
};

}  // namespace blockindex
