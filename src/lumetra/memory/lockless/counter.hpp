// Lock-free signed 64-bit counter: the native core of AtomicCounter.
//
// Every operation is one sequentially consistent hardware atomic on `_value`
// (a load, a store, a fetch-and-add or a strong compare-exchange): no lock, no
// retry loop, no allocation. Arithmetic wraps modulo 2**64; results are computed
// in unsigned arithmetic so that wrapping is defined. The operations need
// neither the interpreter nor its lock.
//
// Ordering: the value itself would be safe under any ordering, since every
// access is one atomic instruction. Sequential consistency is the promise
// callers build on, though (a counter bumped after writing other data and
// read before reading it orders that data too, on a weakly ordered machine
// as on x86), so every operation keeps the default seq_cst; on aarch64 that
// is a load-acquire, a store-release, and read-modify-writes with both.
#pragma once

#include <atomic>
#include <cstdint>

namespace lockless {

class Counter {
public:
    // Plain initialisation: no other thread can see the object yet.
    explicit Counter(int64_t initial_value = 0) noexcept : _value(initial_value) {}

    int64_t _c_load() const noexcept { return _value.load(); }
    void _c_store(int64_t value) noexcept { _value.store(value); }
    // Results come from the single fetch-and-add, so concurrent callers each
    // see the value their own addition produced.
    int64_t _c_increment(int64_t delta = 1) noexcept {
        return wrap_add(_value.fetch_add(delta), delta);
    }
    int64_t _c_decrement(int64_t delta = 1) noexcept {
        return wrap_sub(_value.fetch_sub(delta), delta);
    }
    bool _c_compare_and_swap(int64_t expected, int64_t new_value) noexcept {
        return _value.compare_exchange_strong(expected, new_value);
    }
    int64_t _c_fetch_and_add(int64_t delta) noexcept { return _value.fetch_add(delta); }

private:
    static int64_t wrap_add(int64_t a, int64_t b) noexcept {
        return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
    }
    static int64_t wrap_sub(int64_t a, int64_t b) noexcept {
        return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
    }

    std::atomic<int64_t> _value;
};

static_assert(std::atomic<int64_t>::is_always_lock_free);

}  // namespace lockless
