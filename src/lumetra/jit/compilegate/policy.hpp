// The adaptive compilation policy on native values: the configuration and
// metrics records, the constructor's validation and the two pure functions the
// policy runs on every decision and update.
//
// Nothing here touches the interpreter or takes a lock; the records are plain
// values copied in and out by the binding. The configuration invariant
// (0 < min_threshold < max_threshold, min_threshold <= initial_threshold <=
// max_threshold, 0 < learning_rate <= 1, target_speedup > 0) holds after
// construction only: property writes store unchecked values, so every function
// below stays defined (no overflow, no out-of-range cast) for any record,
// including inverted bounds, negative thresholds and non-finite doubles.
#pragma once

#include <cstdint>

namespace compilegate {

struct CPolicyConfig {
    int32_t initial_threshold = 100;
    int32_t min_threshold = 10;
    int32_t max_threshold = 10000;
    double learning_rate = 0.1;   // fraction of the threshold moved per update
    double target_speedup = 2.0;  // speed-up at which compiling has paid off
};

struct CFunctionMetrics {
    uint64_t call_count = 0;
    uint32_t compile_count = 0;
    double avg_speedup = 1.0;
    double total_execution_time_ms = 0.0;
    double last_compiled = 0.0;  // time.time() seconds; 0.0 = never compiled
};

// The first broken rule of a freshly built configuration, in the order the
// constructor checks them, or null when the record is valid.
inline const char* validate(const CPolicyConfig& c) noexcept {
    if (c.min_threshold <= 0) return "min_threshold must be positive";
    if (c.min_threshold >= c.max_threshold)
        return "max_threshold must be greater than min_threshold";
    if (c.learning_rate <= 0 || c.learning_rate > 1) return "learning_rate must be in (0, 1]";
    if (c.target_speedup <= 0) return "target_speedup must be positive";
    if (c.initial_threshold < c.min_threshold || c.initial_threshold > c.max_threshold) {
        return "initial_threshold must be within bounds";
    }
    return nullptr;
}

// Seconds that must pass after a compilation before the next one.
inline constexpr double recompile_interval = 600.0;

// Whether a function is due for (re)compilation: its call count has reached
// its threshold and it was never compiled or the last compilation is at least
// `recompile_interval` seconds old. The speed-ups take no part.
inline bool _should_compile_check(uint64_t call_count, uint32_t compile_count, int32_t threshold,
                                  double last_compile_time, double current_time,
                                  double recompile_interval) noexcept {
    // Compared as numbers: a negative threshold (possible after unchecked
    // property writes) is reached by every call count, which a plain C
    // comparison of unsigned with signed would get backwards.
    if (threshold > 0 && call_count < static_cast<uint64_t>(threshold)) return false;
    if (compile_count == 0) return true;
    const double time_since_compile = current_time - last_compile_time;
    return !(time_since_compile < recompile_interval);
}

// The next threshold of a compiled function. The threshold moves by
// `learning_rate` of itself, down when the speed-up beats the target and up
// otherwise (a ratio of exactly 1 raises it); the step is scaled by a
// confidence that falls by 0.1 per compilation and is zero from the tenth on.
// The result is clamped to [min_threshold, max_threshold] (with inverted
// bounds: min_threshold below it, max_threshold otherwise); a NaN lands on
// max_threshold.
inline int32_t _adaptive_threshold_update(int32_t current_threshold, double avg_speedup,
                                          uint32_t compile_count, double learning_rate,
                                          double target_speedup, int32_t min_threshold,
                                          int32_t max_threshold) noexcept {
    const double speedup_ratio = target_speedup <= 0 ? avg_speedup : avg_speedup / target_speedup;
    double adjustment = learning_rate * current_threshold;
    if (speedup_ratio > 1.0) adjustment = -adjustment;
    double new_threshold_float = current_threshold;
    if (compile_count <= 10) {
        const double confidence = 1.0 - compile_count * 0.1;
        new_threshold_float = current_threshold + adjustment * confidence;
    }
    if (new_threshold_float < min_threshold) return min_threshold;
    // Here min_threshold <= value <= max_threshold, so the truncating cast is
    // within int32_t.
    if (new_threshold_float <= max_threshold) return static_cast<int32_t>(new_threshold_float);
    return max_threshold;
}

}  // namespace compilegate
