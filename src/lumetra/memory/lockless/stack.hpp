// Intrusive LIFO chain with an atomic element count: the native core of
// LockFreeStack.
//
// The owner allocates nodes and fills `data`; the chain only links and unlinks
// them. `_head` and every node's `next` are guarded by the owner's lock.
// `_size` is changed only inside that lock (acquire-release fetch-and-add) and
// read with an acquire load without it, so `size()` never waits but may lag an
// operation that is in progress in another thread. `_size` publishes nothing
// but itself: the nodes are published to other threads by the lock, so the
// caller of `size()` reads no node on the strength of it, and any ordering
// would be correct; acquire-release only keeps the count in step with the
// lock's own order on a weakly ordered machine.
//
// Invariant (under the lock): the chain from `_head` has exactly `_size` nodes.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace lockless {

template <typename T>
struct StackNode {
    T* data;          // the item; owned by the node while it is linked
    StackNode* next;  // the node below, null at the bottom
};

template <typename T>
class NodeStack {
public:
    using Node = StackNode<T>;

    NodeStack() noexcept = default;
    NodeStack(const NodeStack&) = delete;
    NodeStack& operator=(const NodeStack&) = delete;

    // Caller holds the lock.
    void push(Node* node) noexcept {
        node->next = _head;
        _head = node;
        _size.fetch_add(1, std::memory_order_acq_rel);
    }

    // Caller holds the lock. Returns the unlinked top node, or null when empty.
    Node* pop() noexcept {
        Node* node = _head;
        if (node == nullptr) return nullptr;
        _head = node->next;
        _size.fetch_sub(1, std::memory_order_acq_rel);
        return node;
    }

    // Caller holds the lock.
    bool empty() const noexcept { return _head == nullptr; }
    Node* top() const noexcept { return _head; }

    // Lock-free; approximate while another thread is pushing or popping.
    int64_t size() const noexcept { return _size.load(std::memory_order_acquire); }

    // Unlinks the whole chain (top first) and leaves the stack empty; the
    // caller then owns every node. Used at teardown, when no other thread can
    // reach the stack.
    Node* detach() noexcept {
        _size.store(0, std::memory_order_release);
        return std::exchange(_head, nullptr);
    }

private:
    Node* _head = nullptr;
    std::atomic<int64_t> _size{0};
};

static_assert(std::atomic<int64_t>::is_always_lock_free);

}  // namespace lockless
