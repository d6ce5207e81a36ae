// The indicator lists the text scorers count, and the counting itself.
//
// An entry of a list counts once when it occurs anywhere in the lower-cased
// text as a plain substring (not a word match), however often it occurs. All
// lists scored together are matched in one scan: their distinct entries form
// one SubstringSet, and each list keeps the mask of its entries' patterns, so
// a list's count is the number of bits its mask shares with the scan's result.
// Some lists also count entries found in a second text (the function name).
//
// Built by the first import in the process; read-only afterwards and shared by
// every thread of every interpreter.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <iterator>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "substring_set.hpp"

namespace loadscore {

// Lists of score_indicators, in the order of its result.
inline constexpr std::string_view cpu_indicators[] = {
    "for",       "while", "range", "numpy", "scipy",  "math", "calculation", "compute",
    "algorithm", "sum",   "prod",  "dot",   "matmul", "fft",  "linalg",
};
inline constexpr std::string_view memory_indicators[] = {
    "array",    "list",   "dict",  "pandas", "dataframe",
    "allocate", "buffer", "cache", "append", "extend",
};
inline constexpr std::string_view parallel_indicators[] = {
    "multiprocessing",
    "threading",
    "concurrent",
    "async",
    "parallel",
    "pool",
    "worker",
    "chunk",
    "batch",
    "processpoolexecutor",
    "threadpoolexecutor",
};
inline constexpr std::string_view gpu_operation_indicators[] = {
    "matmul", "dot",      "tensordot", "@",        "fft",      "ifft",
    "rfft",   "convolve", "correlate", "sum",      "mean",     "std",
    "var",    "sin",      "cos",       "exp",      "log",      "sqrt",
    "power",  "**",       "add",       "subtract", "multiply", "divide",
    "/",      "*",        "+",         "-",        "linalg",   "linear_algebra",
    "array",  "asarray",  "zeros",     "ones",     "empty",    "full",
};
inline constexpr std::string_view large_data_indicators[] = {
    "reshape", "resize", "huge", "large", "gigabyte", "gb", "million",
    "billion", "1e6",    "1e9",  "1024",  "megabyte", "mb",
};
inline constexpr std::string_view embarrassingly_parallel_indicators[] = {
    "workload", "benchmark", "intensive", "chunk_workload",
    "map",      "apply",     "vectorize", "broadcast",
};
inline constexpr std::string_view sequential_indicators[] = {
    "global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies",
};

// Lists of score_framework_patterns, in the order of its result.
inline constexpr std::string_view numpy_indicators[] = {
    "numpy",     "np.",         "ndarray", "array",  "matrix", "vectorize", "broadcast",
    "ufunc",     "dot",         "matmul",  "linalg", "fft",    "sum",       "mean",
    "std",       "var",         "min",     "max",    "argmax", "argmin",    "reshape",
    "transpose", "concatenate", "stack",   "split",
};
inline constexpr std::string_view pandas_indicators[] = {
    "pandas", "pd.",       "dataframe", "series",  "groupby",  "apply",
    "agg",    "transform", "merge",     "join",    "concat",   "pivot",
    "melt",   "query",     "eval",      "rolling", "resample", "sort_values",
};
inline constexpr std::string_view sklearn_indicators[] = {
    "sklearn",    "fit",          "predict",          "transform",
    "score",      "cross_val",    "gridsearchcv",     "randomizedsearchcv",
    "pipeline",   "featureunion", "train_test_split", "classification",
    "regression", "clustering",   "preprocessing",    "model_selection",
    "metrics",    "ensemble",
};

// normalize_scores and framework_scores scale by these lengths.
static_assert(std::size(cpu_indicators) == 15 && std::size(memory_indicators) == 10 &&
              std::size(parallel_indicators) == 11 && std::size(gpu_operation_indicators) == 36 &&
              std::size(large_data_indicators) == 13 &&
              std::size(embarrassingly_parallel_indicators) == 8 &&
              std::size(sequential_indicators) == 8);
static_assert(std::size(numpy_indicators) == 25 && std::size(pandas_indicators) == 18 &&
              std::size(sklearn_indicators) == 18);

struct IndicatorList {
    std::span<const std::string_view> entries;
    // Entries found in the second text (the function name) count as well.
    bool counts_name;
};

template <std::size_t Words, std::size_t Lists>
class IndicatorLists {
public:
    using Matcher = SubstringSet<Words>;
    using Mask = typename Matcher::Mask;
    using Counts = std::array<int, Lists>;

    // Throws what SubstringSet throws, and std::invalid_argument for a list
    // that repeats an entry (its count could then exceed its length).
    explicit IndicatorLists(const std::array<IndicatorList, Lists>& lists)
        : patterns_(distinct_entries(lists)), matcher_(patterns_) {
        for (std::size_t i = 0; i < Lists; ++i) {
            masks_[i] = Mask{};
            counts_name_[i] = lists[i].counts_name;
            for (std::string_view entry : lists[i].entries) {
                const std::size_t bit = index_of(entry);
                std::uint64_t& word = masks_[i][bit / 64];
                const std::uint64_t flag = std::uint64_t{1} << (bit % 64);
                if (word & flag) throw std::invalid_argument("entry repeated in a list");
                word |= flag;
            }
        }
    }

    const Matcher& matcher() const noexcept { return matcher_; }

    // Entries of each list found in the text (`in_text`), or, for lists that
    // count the name, in the text or the name (`in_name`).
    Counts count(const Mask& in_text, const Mask& in_name) const noexcept {
        Counts counts{};
        for (std::size_t i = 0; i < Lists; ++i) {
            int total = 0;
            for (std::size_t w = 0; w < Words; ++w) {
                const std::uint64_t found = counts_name_[i] ? in_text[w] | in_name[w] : in_text[w];
                total += std::popcount(found & masks_[i][w]);
            }
            counts[i] = total;
        }
        return counts;
    }

private:
    static std::vector<std::string_view> distinct_entries(
        const std::array<IndicatorList, Lists>& lists) {
        std::vector<std::string_view> patterns;
        for (const IndicatorList& list : lists) {
            for (std::string_view entry : list.entries) {
                if (std::find(patterns.begin(), patterns.end(), entry) == patterns.end()) {
                    patterns.push_back(entry);
                }
            }
        }
        return patterns;
    }

    std::size_t index_of(std::string_view entry) const noexcept {
        return static_cast<std::size_t>(std::find(patterns_.begin(), patterns_.end(), entry) -
                                        patterns_.begin());
    }

    std::vector<std::string_view> patterns_;  // distinct entries; bit i is patterns_[i]
    Matcher matcher_;
    std::array<Mask, Lists> masks_;
    std::array<bool, Lists> counts_name_;
};

// The seven lists of score_indicators: the GPU operation and embarrassingly
// parallel lists also count entries of the function name.
using IndicatorScorer = IndicatorLists<2, 7>;

inline std::array<IndicatorList, 7> indicator_lists() noexcept {
    return {{
        {cpu_indicators, false},
        {memory_indicators, false},
        {parallel_indicators, false},
        {gpu_operation_indicators, true},
        {large_data_indicators, false},
        {embarrassingly_parallel_indicators, true},
        {sequential_indicators, false},
    }};
}

// The three lists of score_framework_patterns (text only).
using FrameworkScorer = IndicatorLists<1, 3>;

inline std::array<IndicatorList, 3> framework_lists() noexcept {
    return {{
        {numpy_indicators, false},
        {pandas_indicators, false},
        {sklearn_indicators, false},
    }};
}

}  // namespace loadscore
