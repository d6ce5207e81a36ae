// Size arithmetic of the bucket allocator and the module's size functions.
//
// Inputs are 32-bit values from Python; every computation is done in 64 bits,
// where none of these expressions can overflow (each intermediate stays within
// a few times 2**32), so results are the true rounded values rather than
// wrapped ones. Division truncates toward zero, as in C. The alignment
// formula uses two's-complement masking and is defined for any alignment,
// including zero and negative ones; callers that need a power of two check
// `is_power_of_2` first. `get_bucket_size` needs a non-zero step: callers
// reject zero before calling it.
#pragma once

#include <cstdint>

namespace slabkit {

inline bool is_power_of_2(int64_t x) noexcept { return x > 0 && (x & (x - 1)) == 0; }

inline int64_t fast_align(int64_t size, int64_t alignment) noexcept {
    return (size + alignment - 1) & ~(alignment - 1);
}

inline int64_t get_bucket_size(int64_t size, int64_t step) noexcept {
    const int64_t end = size + step - 1;
    // For a power-of-two step (the default 8 among them) and a non-negative
    // `end`, masking gives what the truncating division gives, without a
    // divide (tens of cycles) that not every compiler removes for a default
    // step known at compile time.
    if (end >= 0 && is_power_of_2(step)) return end & ~(step - 1);
    return (end / step) * step;
}

// The `<` fit test of fast_can_fit_aligned: an allocation that would end
// exactly at the block end does not fit here (the allocator's search uses `<=`).
inline bool can_fit_aligned(int64_t block_offset, int64_t block_size, int64_t alloc_size,
                            int64_t alignment) noexcept {
    return fast_align(block_offset, alignment) + alloc_size < block_offset + block_size;
}

// The allocator's fit test: the aligned allocation ends at or before the end
// of the block it would be cut from.
inline bool fits_in_block(int64_t offset, int64_t block_size, int64_t alloc_size,
                          int64_t alignment) noexcept {
    return fast_align(offset, alignment) + alloc_size <= offset + block_size;
}

// Bucket configuration of one allocator; `bucket_size_step` is positive.
struct BucketConfig {
    int32_t bucket_size_step = 8;
    int32_t small_block_max = 256;
    int32_t medium_block_max = 4096;

    // The bucket that holds blocks of `size`, or -1 above the medium range.
    // Sizes of 0 or less round to 0 or a negative multiple of the step.
    int64_t get_bucket_size_fast(int32_t size) const noexcept {
        if (size > medium_block_max) return -1;
        return get_bucket_size(size, bucket_size_step);
    }

    // Bucket keys in ascending order: step, 2*step, ... up to small_block_max,
    // then small_block_max + step, ... up to medium_block_max. The second run
    // starts above the first, so the whole sequence is strictly ascending.
    template <typename Visit>
    bool for_each_bucket(Visit&& visit) const {
        const int64_t step = bucket_size_step;
        for (int64_t size = step; size <= small_block_max; size += step) {
            if (!visit(size)) return false;
        }
        for (int64_t size = int64_t{small_block_max} + step; size <= medium_block_max;
             size += step) {
            if (!visit(size)) return false;
        }
        return true;
    }
};

}  // namespace slabkit
