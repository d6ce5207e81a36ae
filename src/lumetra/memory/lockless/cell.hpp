// Versioned reference cell: the native core of AtomicPointer.
//
// The cell holds at most one pointer (null when empty) and a version that
// counts successful changes (stores and successful swaps), wrapping modulo
// 2**64. Ownership of what the pointer designates stays with the caller: the
// cell only moves pointers in and hands the displaced one back, so that the
// binding can drop references after its lock is released.
//
// Not thread-safe by itself: every member is guarded by the owner's lock.
#pragma once

#include <cstdint>
#include <utility>

namespace lockless {

template <typename T>
class VersionedCell {
public:
    explicit VersionedCell(T* initial = nullptr) noexcept : _ptr(initial) {}

    T* load() const noexcept { return _ptr; }
    uint64_t version() const noexcept { return _version; }

    // Replaces the pointer (storing the same one still counts as a change) and
    // returns the previous one.
    T* exchange(T* desired) noexcept {
        ++_version;
        return std::exchange(_ptr, desired);
    }

    // Identity comparison: succeeds when the held pointer is `expected` (null
    // matches null). On success `displaced` receives the previous pointer.
    bool compare_and_swap(T* expected, T* desired, T*& displaced) noexcept {
        if (_ptr != expected) return false;
        displaced = exchange(desired);
        return true;
    }

    // Empties the cell without counting a change (teardown only).
    T* take() noexcept { return std::exchange(_ptr, nullptr); }

private:
    T* _ptr;
    uint64_t _version = 0;  // unsigned: wraps modulo 2**64 without overflow
};

}  // namespace lockless
