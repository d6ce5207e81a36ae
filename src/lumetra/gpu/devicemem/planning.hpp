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
// The keywords are ASCII, so the rules only need to see the ASCII letters of a
// lower-cased text: `fold_to_ascii` copies a text's code units (1, 2 or 4
// bytes) to bytes, A-Z folded to a-z and every unit outside ASCII replaced by
// 0x80, which no keyword contains. For a text whose lower-cased form differs
// from it only in ASCII case (any Latin-1 text) folding is lower-casing.
template <typename Unit>
void fold_to_ascii(const Unit* units, std::size_t size, char* out) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        // Byte arithmetic throughout, so that the loop vectorises in byte lanes.
        for (std::size_t i = 0; i < size; ++i) {
            const uint8_t c = units[i];
            const uint8_t lower = static_cast<uint8_t>(c - 'A') < 26 ? c + ('a' - 'A') : c;
            out[i] = static_cast<char>(c < 0x80 ? lower : 0x80);
        }
    } else {
        for (std::size_t i = 0; i < size; ++i) {
            const auto c = static_cast<uint32_t>(units[i]);
            const uint32_t lower = c - 'A' < 26u ? c + ('a' - 'A') : c;
            out[i] = static_cast<char>(c < 0x80 ? lower : 0x80);
        }
    }
}

// The message keywords, one bit each.
enum OomKeyword : unsigned {
    OUT_OF_MEMORY = 1u << 0,
    CUDA = 1u << 1,
    MEMORY = 1u << 2,
    ALLOCAT = 1u << 3,
    FAILED = 1u << 4,
    INSUFFICIENT = 1u << 5,
    GPU = 1u << 6,
};

// Rules 1 and 3 to 6 on the set of keywords found in the message.
constexpr bool message_rules_hold(unsigned found) noexcept {
    return (found & OUT_OF_MEMORY) != 0 ||
           ((found & MEMORY) != 0 && (found & (CUDA | INSUFFICIENT | GPU)) != 0) ||
           ((found & ALLOCAT) != 0 && (found & FAILED) != 0);
}

// The message keywords begin with seven different letters, so one pass that
// tries at each position the only keyword that can start there finds them
// all; it stops as soon as a rule holds.
constexpr bool message_is_oom(std::string_view message) noexcept {
    unsigned found = 0;
    for (std::size_t i = 0; i < message.size(); ++i) {
        const std::string_view rest = message.substr(i);
        unsigned bit;
        bool hit;
        switch (message[i]) {
            case 'o':
                bit = OUT_OF_MEMORY, hit = rest.starts_with("out of memory");
                break;
            case 'c':
                bit = CUDA, hit = rest.starts_with("cuda");
                break;
            case 'm':
                bit = MEMORY, hit = rest.starts_with("memory");
                break;
            case 'a':
                bit = ALLOCAT, hit = rest.starts_with("allocat");
                break;
            case 'f':
                bit = FAILED, hit = rest.starts_with("failed");
                break;
            case 'i':
                bit = INSUFFICIENT, hit = rest.starts_with("insufficient");
                break;
            case 'g':
                bit = GPU, hit = rest.starts_with("gpu");
                break;
            default:
                continue;
        }
        if (hit) {
            found |= bit;
            if (message_rules_hold(found)) return true;
        }
    }
    return false;
}

// Rule 2, on the folded type name.
constexpr bool type_is_oom(std::string_view type) noexcept {
    return type.find("outofmemoryerror") != std::string_view::npos;
}

// Rules 1 to 6 on folded texts: the result is the same whichever order the
// rules are tried in.
constexpr bool is_oom_error(std::string_view message, std::string_view type) noexcept {
    return message_is_oom(message) || type_is_oom(type);
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
