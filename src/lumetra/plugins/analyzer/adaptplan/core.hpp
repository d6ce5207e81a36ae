// Arithmetic of the orchestrator's adaptation heuristics, on native values.
//
// Everything here is pure and stateless: no interpreter, no allocation, no
// shared state, so any thread may call it at any time. The scalar decisions
// are complete here and serve directly as their own native entries; the
// history functions (in the binding) read Python lists and hand their running
// sums to the accumulators below.
//
// Comparisons are strict exactly where the decisions say "exceeds" and the
// order of floating-point operations is kept as written, because callers
// compare results at the thresholds.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace adaptplan {

inline double clamp_unit(double value) noexcept { return std::min(std::max(value, 0.0), 1.0); }

// --- performance history --------------------------------------------------------

// Samples needed inside the window before a degradation is judged.
inline constexpr int64_t min_degradation_samples = 5;
// Samples needed (in the list and in the window) before a trend is computed.
inline constexpr int64_t min_trend_samples = 3;

// Running mean of the in-window metrics.
struct WindowAverage {
    double total = 0.0;
    int64_t count = 0;

    void add(double timestamp, double metric, double window_start_time) noexcept {
        if (timestamp < window_start_time) return;
        total += metric;
        ++count;
    }

    // True when the in-window average fell below the baseline by strictly
    // more than `threshold` (relative to the baseline).
    bool degraded(double baseline_performance, double threshold) const noexcept {
        if (count < min_degradation_samples) return false;
        const double current_avg = total / static_cast<double>(count);
        const double degradation = (baseline_performance - current_avg) / baseline_performance;
        return degradation > threshold;
    }
};

// Least-squares slope of metric over time for the samples at or after the
// window start, in list order. Times are taken relative to the first kept
// sample, which is known as soon as it is seen, so one pass suffices and the
// sums are accumulated in the same order as a second pass over the kept
// samples would.
struct TrendFit {
    double t0 = 0.0;
    double sum_x = 0.0;
    double sum_y = 0.0;
    double sum_xy = 0.0;
    double sum_xx = 0.0;
    int64_t n = 0;

    void add(double timestamp, double metric, double window_start_time) noexcept {
        if (!(timestamp >= window_start_time)) return;
        if (n == 0) t0 = timestamp;
        const double x_norm = timestamp - t0;
        sum_x += x_norm;
        sum_y += metric;
        sum_xy += x_norm * metric;
        sum_xx += x_norm * x_norm;
        ++n;
    }

    // Slope relative to the mean metric, clamped to [-1, 1]; 0.0 when fewer
    // than three samples were kept, when all kept timestamps are equal, or when
    // the mean metric is zero.
    double relative_slope() const noexcept {
        if (n < min_trend_samples) return 0.0;
        const double count = static_cast<double>(n);
        const double mean_x = sum_x / count;
        const double mean_y = sum_y / count;
        const double denominator = sum_xx - count * mean_x * mean_x;
        if (std::fabs(denominator) < 1e-10) return 0.0;
        if (std::fabs(mean_y) < 1e-10) return 0.0;
        const double slope = (sum_xy - count * mean_x * mean_y) / denominator;
        return std::min(std::max(slope / mean_y, -1.0), 1.0);
    }
};

// --- workload characteristics ---------------------------------------------------

struct CharacteristicsChange {
    bool changed;
    double parallel_change;
    double cpu_change;
    double memory_change;
};

// Sums over the three newest and the three older observations.
inline CharacteristicsChange characteristics_change(const double recent[3], const double older[3],
                                                    double change_threshold) noexcept {
    constexpr double third = 1.0 / 3.0;
    CharacteristicsChange c{};
    c.parallel_change = std::fabs(recent[0] - older[0]) * third;
    c.cpu_change = std::fabs(recent[1] - older[1]) * third;
    c.memory_change = std::fabs(recent[2] - older[2]) * third;
    c.changed = c.parallel_change > change_threshold || c.cpu_change > change_threshold ||
                c.memory_change > change_threshold;
    return c;
}

// First position of the dominant-pattern window over a list of length n.
// Computed in 64 bits: a window size near the 32-bit limits must neither wrap
// nor widen the window (a negative size means an empty window).
inline int64_t window_start(int64_t n, int32_t window_size) noexcept {
    return std::max<int64_t>(0, n - static_cast<int64_t>(window_size));
}

// --- adaptation decisions -------------------------------------------------------

// The part of is_adaptation_beneficial that follows the pool comparison: does
// the recommendation promise enough, with enough confidence?
inline bool recommendation_justifies_switch(double recommendation_score,
                                            double recommendation_confidence,
                                            double current_performance_estimate,
                                            int32_t trigger_code, double min_improvement_ratio,
                                            double min_confidence) noexcept {
    if (recommendation_confidence < min_confidence) return false;
    if (trigger_code == 0) return recommendation_score > 0.5;
    if (current_performance_estimate <= 0) return recommendation_score > 0.6;
    return recommendation_score > min_improvement_ratio * current_performance_estimate;
}

inline bool should_skip_adaptation(double last_adaptation_time, double current_time,
                                   double min_interval) noexcept {
    return current_time - last_adaptation_time < min_interval;
}

inline bool detect_memory_pressure(double current_usage, double peak_usage,
                                   double pressure_threshold = 0.8) noexcept {
    if (peak_usage <= 0 || current_usage < 0) return false;
    return current_usage / peak_usage > pressure_threshold;
}

inline bool detect_fragmentation_threshold(double fragmentation_ratio,
                                           double threshold = 0.3) noexcept {
    if (fragmentation_ratio < 0) return false;
    return fragmentation_ratio > threshold;
}

inline double calculate_adaptation_urgency(double performance_degradation, double memory_pressure,
                                           double fragmentation_ratio,
                                           bool workload_changed) noexcept {
    double urgency = 0.4 * clamp_unit(performance_degradation) + 0.3 * clamp_unit(memory_pressure) +
                     0.15 * clamp_unit(fragmentation_ratio);
    if (workload_changed) urgency += 0.15;
    return std::min(urgency, 1.0);
}

inline double score_pool_recommendation(double workload_fit, double memory_fit,
                                        double thread_count_fit,
                                        double historical_success_rate) noexcept {
    const double score = 0.35 * clamp_unit(workload_fit) + 0.3 * clamp_unit(memory_fit) +
                         0.2 * clamp_unit(thread_count_fit) +
                         0.15 * clamp_unit(historical_success_rate);
    return std::min(score, 1.0);
}

// --- resource prediction --------------------------------------------------------

inline constexpr int64_t min_prediction_records = 10;

struct Prediction {
    int32_t predicted_allocations;
    int32_t predicted_total_bytes;
    double confidence;
};

// A truncated count as a signed 32-bit value, saturating at both ends. A NaN
// (only from non-finite inputs) counts as nothing rather than reaching an
// undefined conversion.
inline int32_t saturate_i32(double value) noexcept {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    if (value <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Confidence grows by 0.008 per record up to 0.8 at a hundred records.
inline double prediction_confidence(int64_t records) noexcept {
    return records >= 100 ? 0.8 : static_cast<double>(records) * 0.008;
}

// `records` >= min_prediction_records and `duration` > 0 (the caller answers
// the other cases with the neutral prediction).
inline Prediction predict(int64_t records, double duration, double total_size,
                          double prediction_horizon_seconds) noexcept {
    const double n = static_cast<double>(records);
    const double allocations_per_second = n / duration;
    // The byte estimate uses the truncated count before the 32-bit limit.
    const double predicted_allocations =
        std::trunc(allocations_per_second * prediction_horizon_seconds);
    const double avg_size = total_size / n;
    const double predicted_bytes = std::trunc(avg_size * predicted_allocations);
    return {saturate_i32(predicted_allocations), saturate_i32(predicted_bytes),
            prediction_confidence(records)};
}

}  // namespace adaptplan
