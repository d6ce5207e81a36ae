// Allocation counters of FastStatsCollector.
//
// Plain (non-atomic) unsigned 64-bit counters that wrap modulo 2**64; callers
// sharing a record between threads serialise access with the collector's lock.
// `total_allocations == bucketed_allocations + fallback_allocations` (modulo
// 2**64) because one operation moves both sides.
#pragma once

#include <cstdint>

namespace slabkit {

struct FastAllocStats {
    uint64_t total_allocations = 0;
    uint64_t total_deallocations = 0;
    uint64_t bucketed_allocations = 0;
    uint64_t fallback_allocations = 0;
    uint64_t alignment_padding_bytes = 0;

    // `size` is accepted for the caller's convenience and not counted. A
    // negative padding lowers the padding total (modulo 2**64).
    void record_allocation(int32_t /*size*/, int32_t padding, bool is_bucketed) noexcept {
        ++total_allocations;
        alignment_padding_bytes += static_cast<uint64_t>(static_cast<int64_t>(padding));
        if (is_bucketed) {
            ++bucketed_allocations;
        } else {
            ++fallback_allocations;
        }
    }

    void record_deallocation() noexcept { ++total_deallocations; }

    void reset() noexcept { *this = FastAllocStats{}; }
};

}  // namespace slabkit
