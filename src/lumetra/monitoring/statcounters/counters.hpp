// Running statistics of numbered counters: the native core of CounterAggregator.
//
// One `AtomicCounter` record per counter keeps the count, the plain sum of the
// values (the reported mean is sum / count), the smallest and largest value,
// and what the variance needs. The shortcut sum_sq / n - mean * mean subtracts
// two nearly equal large numbers when the values share a large offset
// (nanosecond timings, byte counts) and can come out far off or negative.
// Instead the record keeps the first value since the last reset as `shift`
// and runs Welford's update on value - shift: for offset data the subtraction
// is exact, the running mean stays of the size of the spread, and `m2` (the sum
// of squared deviations) is accurate to a few ulps; Welford's update never
// makes it negative.
//
// Records are plain data with no synchronisation of their own: the owner (the
// aggregator's lock) serialises every write, and every read but one: the
// count is also read without the lock, to skip unused records. Writers store
// it with relaxed atomic stores and that reader loads it with a relaxed atomic
// load, so it sees a whole value some update stored; relaxed is enough, since
// nothing else is read on the strength of it (the record itself is then read
// under the lock).
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace statcounters {

inline constexpr double positive_infinity = std::numeric_limits<double>::infinity();

struct AtomicCounter {
    uint64_t count;  // values reported since the last reset
    double sum;      // their plain sum
    double shift;    // first value since the last reset (0.0 when empty)
    double mean;     // running mean of value - shift (0.0 when empty)
    double m2;       // sum of squared deviations from the mean: >= 0, or NaN
    double min_val;  // +inf when empty
    double max_val;  // -inf when empty

    void clear() noexcept {
        std::atomic_ref<uint64_t>(count).store(0, std::memory_order_relaxed);
        sum = 0.0;
        shift = 0.0;
        mean = 0.0;
        m2 = 0.0;
        min_val = positive_infinity;
        max_val = -positive_infinity;
    }

    void add(double value) noexcept {
        if (count == 0) shift = value;
        // Plain reads of `count` are the writer's own: writers hold the lock.
        std::atomic_ref<uint64_t>(count).store(count + 1, std::memory_order_relaxed);
        sum += value;
        const double shifted = value - shift;
        // delta and (shifted - new mean) have the same sign, so the increment of
        // m2 is never negative, rounding included.
        const double delta = shifted - mean;
        mean += delta / static_cast<double>(count);
        m2 += delta * (shifted - mean);
        // Written so that a NaN value becomes the minimum and leaves the maximum.
        if (!(min_val <= value)) min_val = value;
        if (max_val < value) max_val = value;
    }

    // The count read without the owner's lock (see above).
    uint64_t count_unlocked() const noexcept {
        return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(count))
            .load(std::memory_order_relaxed);
    }
};

static_assert(std::atomic_ref<uint64_t>::is_always_lock_free &&
              std::atomic_ref<uint64_t>::required_alignment <= alignof(uint64_t));

// What get_stats reports for one counter.
struct Stats {
    uint64_t count;
    double mean;
    double variance;  // population variance
    double std;
    double min;
    double max;
};

inline Stats stats_of(const AtomicCounter& c) noexcept {
    if (c.count == 0) return {0, 0.0, 0.0, 0.0, positive_infinity, -positive_infinity};
    const double n = static_cast<double>(c.count);
    const double variance = c.m2 / n;
    // A variance of zero gives 0.0; NaN (from NaN or infinite values) stays NaN
    // rather than posing as a spread of zero.
    const double std =
        variance > 0.0 ? std::sqrt(variance) : (variance == variance ? 0.0 : variance);
    return {c.count, c.sum / n, variance, std, c.min_val, c.max_val};
}

// Allocates `n` empty records with the C allocator; null when `n` is negative
// or the memory is not available. Zero records is a valid (one-byte) request.
inline AtomicCounter* allocate_counters(int32_t n) noexcept {
    // 32-bit count times a small record size: exact in 64-bit arithmetic.
    const int64_t bytes = static_cast<int64_t>(n) * static_cast<int64_t>(sizeof(AtomicCounter));
    if (bytes < 0 || static_cast<uint64_t>(bytes) > SIZE_MAX) return nullptr;
    auto* counters =
        static_cast<AtomicCounter*>(std::malloc(bytes == 0 ? 1 : static_cast<size_t>(bytes)));
    if (counters == nullptr) return nullptr;
    for (int32_t i = 0; i < n; ++i) counters[i].clear();
    return counters;
}

inline void free_counters(AtomicCounter* counters) noexcept { std::free(counters); }

}  // namespace statcounters
