// The tree as it was before its entries moved into an arena: one 64-byte
// record per entry, allocated one by one, linked by pointers. Kept for the
// benchmark as the baseline the arena layout is measured against; the
// algorithms are the same, step for step.
#pragma once

#include <cstdint>
#include <utility>

namespace pointer_tree {

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
};

}  // namespace pointer_tree
