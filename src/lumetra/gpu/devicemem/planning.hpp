// GPU memory planning arithmetic: the native core of lumetra.gpu.devicemem.
//
// Everything here is a pure function of its arguments: no state, no
// allocation, no interpreter. Byte counts are unsigned 64-bit; every product
// that could overflow is either checked against a saturation value or
// performed in saturating arithmetic, and every double-to-integer conversion
// goes through `to_u64_saturating`, which is defined for all doubles (NaN
// included) instead of relying on an out-of-range cast.
//
// The safe-limit rule (`calculate_safe_limit`) is shared by the strategy
// decision, the chunk count and the suitability score.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

namespace devicemem::core {

// Saturation value of the allocation estimate: the largest signed 64-bit value.
inline constexpr uint64_t MAX_SAFE = 9223372036854775807ULL;

inline constexpr uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();

// A double truncated toward zero into [0, 2**64 - 1]: values at or above 2**64
// give 2**64 - 1, zero, negative values and NaN give 0.
constexpr uint64_t to_u64_saturating(double value) noexcept {
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return U64_MAX;
    return static_cast<uint64_t>(value);
}

// Exact ceiling of a / b for b > 0. Dividing in doubles can round a quotient
// such as (2**53 + 1) / 2**53 down to 1, which would plan fewer passes than the
// data needs.
constexpr uint64_t ceil_div(uint64_t a, uint64_t b) noexcept {
    return a / b + (a % b != 0 ? 1 : 0);
}

// a * b, or 2**64 - 1 when the product does not fit.
constexpr uint64_t mul_saturating(uint64_t a, uint64_t b) noexcept {
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? U64_MAX : product;
}

// The safe-limit rule: keep `headroom_ratio` (clamped to [0.0, 0.99]) of the
// available bytes free and allow the rest. A headroom of 1.0 or more still
// leaves 1% usable; a negative one leaves everything usable.
constexpr uint64_t calculate_safe_limit(uint64_t available_bytes, double headroom_ratio) noexcept {
    double headroom = headroom_ratio;
    if (headroom < 0.0) {
        headroom = 0.0;
    } else if (headroom > 0.99) {
        headroom = 0.99;
    }
    return to_u64_saturating((1.0 - headroom) * static_cast<double>(available_bytes));
}

// Bytes an array takes. `read_dim(i, dim)` converts dimension i on demand
// (returning false when the conversion fails), so a zero dimension or a
// saturated count stops before later dimensions are looked at. Returns false
// only when `read_dim` failed.
//
// The element count saturates at MAX_SAFE, and so does the byte count; the
// overhead factor applies only above 1.0 and never to a saturated or zero
// result. A negative element size, like a negative dimension, gives 0; its
// dimensions are then not read.
template <typename ReadDim>
bool estimate_allocation_bytes(std::size_t ndim, ReadDim&& read_dim, int32_t element_size,
                               double overhead_factor, uint64_t& out) noexcept {
    if (element_size < 0) {
        out = 0;
        return true;
    }
    uint64_t total_elements = 1;
    for (std::size_t i = 0; i < ndim; ++i) {
        int32_t dim;
        if (!read_dim(i, dim)) return false;
        if (dim <= 0) {
            out = 0;
            return true;
        }
        const uint64_t d = static_cast<uint64_t>(dim);
        if (total_elements > MAX_SAFE / d) {
            out = MAX_SAFE;
            return true;
        }
        total_elements *= d;
    }
    const uint64_t size = static_cast<uint64_t>(element_size);
    if (size > 0 && total_elements > MAX_SAFE / size) {
        out = MAX_SAFE;
        return true;
    }
    const uint64_t base_bytes = total_elements * size;  // <= MAX_SAFE by the checks above
    out = overhead_factor > 1.0
              ? to_u64_saturating(static_cast<double>(base_bytes) * overhead_factor)
              : base_bytes;
    return true;
}

// Strategy codes of the three-tier decision.
enum StrategyCode : int { GPU_DIRECT = 0, GPU_CHUNKED = 1, CPU_FALLBACK = 2 };

enum class Decision { no_gpu_memory, fits, chunked, not_chunkable };

struct Strategy {
    Decision decision;
    uint64_t chunk_size;   // safe limit when chunked, else 0
    uint64_t chunk_count;  // >= 2 when chunked, else 1
};

constexpr Strategy decide_allocation_strategy(uint64_t requested_bytes, uint64_t available_bytes,
                                              double headroom_ratio, bool is_chunkable) noexcept {
    const uint64_t safe_limit = calculate_safe_limit(available_bytes, headroom_ratio);
    if (safe_limit == 0) return {Decision::no_gpu_memory, 0, 1};
    if (requested_bytes <= safe_limit) return {Decision::fits, 0, 1};
    if (is_chunkable) {
        return {Decision::chunked, safe_limit, ceil_div(requested_bytes, safe_limit)};
    }
    return {Decision::not_chunkable, 0, 1};
}

// Out-of-memory keyword rules, applied to texts as `str.lower()` leaves them.
//
// `Text` is a view of code units (1, 2 or 4 bytes). The keywords are ASCII, so
// a unit matches a keyword character when it equals it after folding A-Z to
// a-z; units outside ASCII never match. Folding lets a caller pass a text
// whose only difference from its lower-cased form is ASCII case (any Latin-1
// text) without building the lower-cased copy.
template <typename Unit>
struct Text {
    const Unit* data;
    std::size_t size;

    bool contains(std::string_view keyword) const noexcept {
        if (keyword.size() > size) return false;
        const std::size_t last = size - keyword.size();
        for (std::size_t start = 0; start <= last; ++start) {
            std::size_t j = 0;
            while (j < keyword.size() &&
                   fold(data[start + j]) == static_cast<unsigned char>(keyword[j])) {
                ++j;
            }
            if (j == keyword.size()) return true;
        }
        return false;
    }

private:
    static constexpr uint32_t fold(Unit unit) noexcept {
        const uint32_t c = static_cast<uint32_t>(unit);
        return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
    }
};

template <typename MessageUnit, typename TypeUnit>
bool is_oom_error(const Text<MessageUnit>& message, const Text<TypeUnit>& type) noexcept {
    return message.contains("out of memory") || type.contains("outofmemoryerror") ||
           (message.contains("cuda") && message.contains("memory")) ||
           (message.contains("allocat") && message.contains("failed")) ||
           (message.contains("memory") && message.contains("insufficient")) ||
           (message.contains("gpu") && message.contains("memory"));
}

// Operation names, as the GPU layer spells them (case-sensitive). Chunkable
// operations create arrays whose slices can be produced independently; the
// others work on the whole array at once.
inline constexpr std::array<std::string_view, 11> CHUNKABLE_OPS = {
    "zeros",          "ones",        "empty",         "full",
    "random.randn",   "random.rand", "random.random", "random.standard_normal",
    "random.uniform", "arange",      "linspace",
};
inline constexpr std::array<std::string_view, 13> NON_CHUNKABLE_OPS = {
    "matmul", "dot",     "fft",   "ifft", "fft2", "ifft2",   "svd",
    "eig",    "eigvals", "solve", "inv",  "sort", "argsort",
};

enum class OperationKind { chunkable, non_chunkable, other };

// Bytes of one index of the first axis: the element size times the trailing
// dimensions, saturating at 2**64 - 1 (such a row never fits a chunk).
class RowSize {
public:
    explicit constexpr RowSize(int32_t element_size) noexcept
        : bytes_(static_cast<uint64_t>(element_size)) {}
    constexpr void multiply(uint64_t dim) noexcept { bytes_ = mul_saturating(bytes_, dim); }
    constexpr uint64_t bytes() const noexcept { return bytes_; }

private:
    uint64_t bytes_;
};

// Rows of the first axis per chunk. A row larger than the limit still forms a
// chunk of one row; a row of zero bytes (a trailing dimension of 0) takes no
// memory, so every row goes into one chunk.
constexpr uint64_t rows_per_chunk(uint64_t row_size, uint64_t max_chunk_bytes) noexcept {
    if (row_size == 0) return U64_MAX;
    if (max_chunk_bytes < row_size) return 1;
    return max_chunk_bytes / row_size;
}

// Number of chunks `first_dim` rows make; 0 for a first dimension of 0 or less.
constexpr uint64_t chunk_count(int32_t first_dim, uint64_t rows_per_chunk) noexcept {
    if (first_dim <= 0) return 0;
    return ceil_div(static_cast<uint64_t>(first_dim), rows_per_chunk);
}

// Passes an operation of `total_bytes` needs under the safe limit, within
// [min_chunks, max_chunks]; `min_chunks` wins when the bounds cross and the
// count is below it. No usable memory gives `max_chunks`.
constexpr int32_t calculate_optimal_chunks(uint64_t total_bytes, uint64_t available_bytes,
                                           double headroom_ratio, int32_t min_chunks,
                                           int32_t max_chunks) noexcept {
    const uint64_t safe_limit = calculate_safe_limit(available_bytes, headroom_ratio);
    if (safe_limit == 0) return max_chunks;
    const uint64_t needed = ceil_div(total_bytes, safe_limit);
    const int32_t chunks = needed > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                               ? std::numeric_limits<int32_t>::max()
                               : static_cast<int32_t>(needed);
    if (chunks < min_chunks) return min_chunks;
    return std::min(chunks, max_chunks);
}

constexpr double operation_score(OperationKind kind) noexcept {
    switch (kind) {
        case OperationKind::chunkable:
            return 0.9;
        case OperationKind::non_chunkable:
            return 0.7;
        case OperationKind::other:
            break;
    }
    return 0.5;
}

// Size score times operation score, in [0.0, 0.9]. The size score rises with
// the data up to 1.0 at 80% of the safe limit and falls as safe_limit / size
// once the data outgrows it; no usable memory scores 0.
constexpr double score_gpu_suitability(uint64_t data_size_bytes, OperationKind kind,
                                       uint64_t available_gpu_memory,
                                       double headroom_ratio) noexcept {
    const uint64_t safe_limit = calculate_safe_limit(available_gpu_memory, headroom_ratio);
    double size_score;
    if (safe_limit == 0) {
        size_score = 0.0;
    } else if (data_size_bytes <= safe_limit) {
        size_score = std::min(
            1.0, static_cast<double>(data_size_bytes) * 1.25 / static_cast<double>(safe_limit));
    } else {
        // data_size_bytes > safe_limit > 0: the divisor is never zero.
        size_score = static_cast<double>(safe_limit) / static_cast<double>(data_size_bytes);
    }
    return size_score * operation_score(kind);
}

// Used over total, capped at 1.0; no memory at all is full pressure.
constexpr double calculate_memory_pressure(uint64_t used_bytes, uint64_t total_bytes) noexcept {
    if (total_bytes == 0) return 1.0;
    return std::min(1.0, static_cast<double>(used_bytes) / static_cast<double>(total_bytes));
}

// Headroom to keep next, by pressure band (each boundary in the lower band),
// clamped to [0.3, 0.8].
constexpr double recommend_headroom(double current_pressure, double base_headroom) noexcept {
    if (current_pressure > 0.8) return 0.8;
    double headroom;
    if (current_pressure > 0.6) {
        headroom = base_headroom + (current_pressure - 0.5) * 0.5;
    } else if (current_pressure > 0.3) {
        headroom = base_headroom;
    } else {
        headroom = base_headroom - 0.1;
    }
    if (headroom < 0.3) return 0.3;
    if (headroom > 0.8) return 0.8;
    return headroom;
}

}  // namespace devicemem::core
