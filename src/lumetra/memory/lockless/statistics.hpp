// The native parts of LockFreeStatistics: the peak loop and the one-decimal
// formatting of the bucketed ratio.
//
// Peak loop: load the peak; stop when the candidate is not above it; else
// compare-and-swap the loaded peak for the candidate and stop when that
// succeeded. A peak therefore never decreases (except by a reset) and ends at
// least as high as every candidate offered, whatever the interleaving. It
// needs only the compare-and-swap to be atomic: the peaks are AtomicCounters,
// whose operations are sequentially consistent. Nothing here needs the
// interpreter or its lock.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace lockless {

// Raises a peak to `candidate` when it is lower. `load()` and
// `compare_and_swap(expected, desired)` are the peak's own operations.
template <typename Load, typename Cas>
void raise_peak(int64_t candidate, Load load, Cas compare_and_swap) noexcept {
    for (;;) {
        const int64_t peak = load();
        if (candidate <= peak || compare_and_swap(peak, candidate)) return;
    }
}

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
