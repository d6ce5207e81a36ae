// The scoring arithmetic: pure functions of native values, no state, no
// interpreter. These are the native entries of the numeric functions; the
// binding converts arguments, calls them and wraps the result.
//
// Comparisons are strict where a rule says "above" or "below". Results are
// defined for finite arguments; NaN passes through `_clamp` unchanged (as
// Python's `min` would keep it) and fails every strict comparison.
#pragma once

#include <array>
#include <cstdint>

namespace loadscore {

// `min_val` below it, otherwise the smaller of `value` and `max_val` (the
// first of the two when they compare equal or unordered, as `min` picks).
inline double _clamp(double value, double min_val, double max_val) noexcept {
    if (value < min_val) return min_val;
    return max_val < value ? max_val : value;
}

using NormalizedScores = std::array<double, 5>;

// Each count times the double nearest to 1 / (its list's length), in [0, 1].
// Multiplying by the reciprocal (not dividing) is the defined result: three
// memory hits give the product 3 * 0.1, just above 0.3.
inline NormalizedScores normalize_scores(std::int32_t cpu_score, std::int32_t memory_score,
                                         std::int32_t parallel_score, std::int32_t gpu_op_score,
                                         std::int32_t large_data_score) noexcept {
    return {
        _clamp(cpu_score * (1.0 / 15), 0.0, 1.0),
        _clamp(memory_score * (1.0 / 10), 0.0, 1.0),
        _clamp(parallel_score * (1.0 / 11), 0.0, 1.0),
        _clamp(gpu_op_score * (1.0 / 36), 0.0, 1.0),
        _clamp(large_data_score * (1.0 / 13), 0.0, 1.0),
    };
}

using FrameworkScores = std::array<double, 3>;

// numpy, pandas and sklearn entry counts scaled by 1/25, 1/18 and 1/18.
inline FrameworkScores framework_scores(int numpy_count, int pandas_count,
                                        int sklearn_count) noexcept {
    return {
        _clamp(numpy_count * (1.0 / 25), 0.0, 1.0),
        _clamp(pandas_count * (1.0 / 18), 0.0, 1.0),
        _clamp(sklearn_count * (1.0 / 18), 0.0, 1.0),
    };
}

// quick_framework_score's scale: a tenth per match, 1.0 beyond ten.
inline double match_score(std::int64_t matches) noexcept {
    return matches > 10 ? 1.0 : static_cast<double>(matches) * 0.1;
}

// Workload pattern codes; the first rule that holds decides.
enum WorkloadPattern : int {
    MIXED = 0,
    CPU_INTENSIVE = 1,
    MEMORY_INTENSIVE = 2,
    PARALLEL_FRIENDLY = 3,
    SEQUENTIAL = 4,
    GPU_SUITABLE = 5,
    GPU_COMPUTE_INTENSIVE = 6,
    GPU_MEMORY_BOUND = 7,
    NUMPY_VECTORIZED = 8,
    PANDAS_DATAFRAME = 10,
    SKLEARN_TRAINING = 12,
};

inline int determine_workload_pattern(
    double cpu_intensity, double memory_intensity, double parallelization_potential,
    double gpu_suitability, double gpu_operation_score, double numpy_score, double pandas_score,
    double sklearn_score, std::int32_t sequential_count, std::int32_t embarrassing_count,
    double cpu_threshold, double memory_threshold, double gpu_threshold, double numpy_threshold,
    double pandas_threshold, double sklearn_threshold, bool gpu_available) noexcept {
    if (sklearn_score > sklearn_threshold) return SKLEARN_TRAINING;
    if (pandas_score > pandas_threshold) return PANDAS_DATAFRAME;
    if (numpy_score > numpy_threshold) return NUMPY_VECTORIZED;
    if (gpu_available && gpu_suitability > gpu_threshold) {
        // Fixed cut-offs inside the GPU branch, not the caller's thresholds.
        if (gpu_operation_score > 0.7 && cpu_intensity > 0.6) return GPU_COMPUTE_INTENSIVE;
        if (memory_intensity > 0.5) return GPU_MEMORY_BOUND;
        return GPU_SUITABLE;
    }
    if (embarrassing_count > 0 || parallelization_potential > 0.6) return PARALLEL_FRIENDLY;
    if (cpu_intensity > cpu_threshold) return CPU_INTENSIVE;
    if (memory_intensity > memory_threshold) return MEMORY_INTENSIVE;
    if (sequential_count > 2) return SEQUENTIAL;
    return MIXED;
}

// Weight of the GPU's compute capability, from its major version.
inline double capability_factor(std::int32_t major) noexcept {
    if (major >= 8) return 1.2;
    if (major == 7) return 1.1;
    if (major == 6) return 1.0;
    return 0.8;
}

// `capability_factor` is 1.0 when the capability is unknown or unreadable.
inline double calculate_gpu_suitability(double gpu_operation_score, double gpu_data_size_score,
                                        double cpu_intensity, bool gpu_available,
                                        double capability_factor) noexcept {
    if (!gpu_available) return 0.0;
    const double base_score = gpu_operation_score * 0.6 + gpu_data_size_score * 0.4;
    const double cpu_boost = _clamp(cpu_intensity * 0.3, 0.0, 0.3);
    return _clamp((base_score + cpu_boost) * capability_factor, 0.0, 1.0);
}

inline double estimate_gpu_speedup(double gpu_operation_score, double gpu_data_size_score,
                                   bool gpu_available) noexcept {
    if (!gpu_available || gpu_operation_score == 0.0) return 1.0;
    double base_speedup = 2.0;
    if (gpu_operation_score > 0.8) {
        base_speedup = 15.0;
    } else if (gpu_operation_score > 0.6) {
        base_speedup = 8.0;
    } else if (gpu_operation_score > 0.3) {
        base_speedup = 4.0;
    }
    return base_speedup * (1.0 + gpu_data_size_score * 0.5);
}

inline double calculate_parallelization_potential(double base_parallel_score,
                                                  double embarrassing_bonus,
                                                  double sequential_penalty,
                                                  double loop_chunking_potential) noexcept {
    const double result = base_parallel_score + _clamp(embarrassing_bonus * 0.3, 0.0, 0.7) -
                          _clamp(sequential_penalty * 0.2, 0.0, 0.5) +
                          loop_chunking_potential * 0.4;
    return _clamp(result, 0.0, 1.0);
}

// Raises the threshold after a success rate above 0.8, lowers it below 0.4,
// keeps it in the band between (both ends included), then bounds it.
inline double update_adaptive_threshold(double current_threshold, double success_rate,
                                        double learning_rate, double min_threshold,
                                        double max_threshold) noexcept {
    double new_threshold = current_threshold;
    if (success_rate > 0.8) {
        new_threshold = current_threshold + learning_rate;
    } else if (success_rate < 0.4) {
        new_threshold = current_threshold - learning_rate;
    }
    return _clamp(new_threshold, min_threshold, max_threshold);
}

}  // namespace loadscore
