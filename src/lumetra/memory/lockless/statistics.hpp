// Lock-free allocation statistics: the native counters of LockFreeStatistics.
//
// Twelve signed 64-bit counters, each changed only by single atomic
// read-modify-writes (acquire-release fetch-and-add and compare-and-swap) and
// release stores of zero by `reset`. A recording call's several changes are not
// one atomic step: a concurrent reader may see some of them and not others.
// Peaks are raised by a compare-and-swap loop, so a peak never decreases
// (except by `reset`) and ends at least as high as every candidate offered,
// whatever the interleaving. Additions wrap modulo 2**64 like AtomicCounter's.
// Nothing here needs the interpreter or its lock.
//
// Ordering: each counter is a total of its own, and no reader infers one
// counter from another (a snapshot is a set of separate reads, not a cut), so
// correctness needs only each read-modify-write to be atomic, which every
// ordering gives; the peak loop needs only its compare-and-swap to be atomic.
// Acquire-release is kept on top: it costs an x86 nothing, and on a weakly
// ordered machine a thread that reads a counter sees the changes the writer
// made to the other counters before it.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace lockless {

using Atomic64 = std::atomic<int64_t>;

// Raises `peak` to `candidate` when it is lower. `load()` and
// `compare_and_swap(expected, desired)` are the peak's own operations, so the
// same loop serves native counters and AtomicCounter instances.
template <typename Load, typename Cas>
void raise_peak(int64_t candidate, Load load, Cas compare_and_swap) noexcept {
    for (;;) {
        const int64_t peak = load();
        if (candidate <= peak || compare_and_swap(peak, candidate)) return;
    }
}

inline void raise_peak(Atomic64& peak, int64_t candidate) noexcept {
    raise_peak(
        candidate, [&] { return peak.load(std::memory_order_acquire); },
        [&](int64_t expected, int64_t desired) {
            return peak.compare_exchange_strong(expected, desired, std::memory_order_acq_rel,
                                                std::memory_order_acquire);
        });
}

struct Statistics {
    Atomic64 _total_allocations{0};
    Atomic64 _total_deallocations{0};
    Atomic64 _current_allocations{0};
    Atomic64 _bytes_allocated{0};
    Atomic64 _bytes_reserved{0};  // changed by nothing but reset
    Atomic64 _peak_allocations{0};
    Atomic64 _peak_bytes_allocated{0};
    Atomic64 _bucketed_allocations{0};
    Atomic64 _fallback_allocations{0};
    Atomic64 _alignment_padding_bytes{0};
    Atomic64 _total_allocation_time_ns{0};
    Atomic64 _total_deallocation_time_ns{0};

    void record_allocation(int64_t size, bool is_bucketed, int64_t padding,
                           int64_t time_ns) noexcept {
        add(_total_allocations, 1);
        // The peaks are offered the values this call's own additions produced.
        const int64_t current = add(_current_allocations, 1);
        const int64_t bytes = add(_bytes_allocated, size);
        add(is_bucketed ? _bucketed_allocations : _fallback_allocations, 1);
        if (padding > 0) add(_alignment_padding_bytes, padding);
        if (time_ns > 0) add(_total_allocation_time_ns, time_ns);
        _update_peak_allocations(current);
        _update_peak_bytes(bytes);
    }

    void record_deallocation(int64_t size, int64_t time_ns) noexcept {
        add(_total_deallocations, 1);
        sub(_current_allocations, 1);
        sub(_bytes_allocated, size);
        if (time_ns > 0) add(_total_deallocation_time_ns, time_ns);
    }

    void _update_peak_allocations(int64_t current) noexcept {
        raise_peak(_peak_allocations, current);
    }
    void _update_peak_bytes(int64_t current) noexcept {
        raise_peak(_peak_bytes_allocated, current);
    }

    void reset() noexcept {
        for (Atomic64* counter :
             {&_total_allocations, &_total_deallocations, &_current_allocations, &_bytes_allocated,
              &_bytes_reserved, &_peak_allocations, &_peak_bytes_allocated, &_bucketed_allocations,
              &_fallback_allocations, &_alignment_padding_bytes, &_total_allocation_time_ns,
              &_total_deallocation_time_ns}) {
            counter->store(0, std::memory_order_release);
        }
    }

private:
    // Fetch-and-add returning the new value, computed in unsigned arithmetic
    // so that wrapping is defined.
    static int64_t add(Atomic64& counter, int64_t delta) noexcept {
        const int64_t old = counter.fetch_add(delta, std::memory_order_acq_rel);
        return static_cast<int64_t>(static_cast<uint64_t>(old) + static_cast<uint64_t>(delta));
    }
    static int64_t sub(Atomic64& counter, int64_t delta) noexcept {
        const int64_t old = counter.fetch_sub(delta, std::memory_order_acq_rel);
        return static_cast<int64_t>(static_cast<uint64_t>(old) - static_cast<uint64_t>(delta));
    }
};

static_assert(Atomic64::is_always_lock_free);

// Writes `x` with one decimal, exactly as format(x, ".1f") does (the exact
// binary value rounded half to even), followed by `suffix`, into `out`, and
// returns the length. Returns 0 without writing for NaN, infinities and
// |x| >= 2**49, which the caller formats the general way.
//
// x * 10 is split into an exact sum hi + lo (x * 8 and x * 2 are exact, and
// their sum's rounding error is recovered exactly), so the rounding decision
// is made on the exact product, never on a rounded one.
inline std::size_t format_one_decimal(double x, char suffix, char (&out)[24]) noexcept {
    const double a = std::fabs(x);
    if (!(a < 0x1p49)) return 0;
    const double p = a * 8.0, q = a * 2.0;
    const double hi = p + q;
    const double q_part = hi - p;
    const double lo = (p - (hi - q_part)) + (q - q_part);
    double n = std::nearbyint(hi);  // ties to even in the default rounding mode
    const double d = hi - n;        // exact: hi and n are within 0.5 of each other
    // hi is a tie only if the exact product is one or lies just beyond it.
    if (d == 0.5 && lo > 0) n += 1.0;
    if (d == -0.5 && lo < 0) n -= 1.0;
    uint64_t tenths = static_cast<uint64_t>(n);  // < 10 * 2**49 < 2**53
    char digits[20];
    std::size_t count = 0;
    digits[count++] = static_cast<char>('0' + tenths % 10);
    digits[count++] = '.';
    tenths /= 10;
    do {
        digits[count++] = static_cast<char>('0' + tenths % 10);
        tenths /= 10;
    } while (tenths != 0);
    std::size_t length = 0;
    if (std::signbit(x)) out[length++] = '-';  // format() keeps the sign of -0.0
    while (count > 0) out[length++] = digits[--count];
    out[length++] = suffix;
    return length;
}

}  // namespace lockless
