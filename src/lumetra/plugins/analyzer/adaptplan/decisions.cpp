// The adaptation decisions and the resource prediction: thin wrappers that
// convert arguments and call the arithmetic of core.hpp, plus the one pass
// over an allocation history.
//
// The scalar wrappers run no Python code after their arguments are converted;
// the prediction reads its list by position, each entry taken as a strong
// reference with its bound re-checked (see adaptplan.hpp).
#include "adaptplan.hpp"

namespace adaptplan {

// --- native entries ---------------------------------------------------------------

int is_adaptation_beneficial(PyObject* current_pool, PyObject* recommended_pool,
                             double recommendation_score, double recommendation_confidence,
                             double current_performance_estimate, int32_t trigger_code,
                             double min_improvement_ratio, double min_confidence) noexcept {
    // Nothing to switch to.
    if (same_label(current_pool, recommended_pool)) return 0;
    return recommendation_justifies_switch(recommendation_score, recommendation_confidence,
                                           current_performance_estimate, trigger_code,
                                           min_improvement_ratio, min_confidence);
}

namespace {

// record[0] as a double; any indexable record works.
bool timestamp_of(const State& st, PyObject* record, double& out) noexcept {
    if ((PyTuple_CheckExact(record) && PyTuple_GET_SIZE(record) > 0)) {
        // The caller holds the tuple, and the tuple holds its item.
        return capi::to_double(PyTuple_GET_ITEM(record, 0), out);
    }
    capi::Ref item = capi::Ref::steal(PyObject_GetItem(record, st.zero));
    return item && capi::to_double(item.get(), out);
}

bool record_timestamp(const State& st, PyObject* history, Py_ssize_t i, double& out) noexcept {
    capi::Ref record;
    return list_item(history, i, record) && timestamp_of(st, record.get(), out);
}

}  // namespace

PyObject* predict_resource_requirements(const State& st, PyObject* allocation_history,
                                        double prediction_horizon_seconds) noexcept {
    if (allocation_history == Py_None) return raise_none_has_no_len();
    const Py_ssize_t n = PyList_GET_SIZE(allocation_history);
    if (n < min_prediction_records) return Py_NewRef(st.neutral_prediction);

    double first_ts, last_ts;
    if (!record_timestamp(st, allocation_history, 0, first_ts) ||
        !record_timestamp(st, allocation_history, n - 1, last_ts)) {
        return nullptr;
    }
    const double duration = last_ts - first_ts;
    if (duration <= 0) return Py_NewRef(st.neutral_prediction);

    double total_size = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        capi::Ref record;
        double ts, size;
        if (!list_item(allocation_history, i, record) || !unpack_pair(record.get(), ts, size)) {
            return nullptr;
        }
        total_size += size;
    }
    const Prediction p = predict(n, duration, total_size, prediction_horizon_seconds);
    return Py_BuildValue("(iid)", p.predicted_allocations, p.predicted_total_bytes, p.confidence);
}

// --- Python functions -------------------------------------------------------------

namespace {

// In every wrapper numbers and flags are converted first, in parameter order,
// and exact-type parameters checked after them.
using capi::Arg;
using capi::PyBool;
using capi::PyFloat;
using Str = capi::Last<capi::PyStr>;
using List = capi::Last<capi::PyList>;

constexpr capi::TypedSignature beneficial_sig(
    "is_adaptation_beneficial", Arg<Str>{"current_pool"}, Arg<Str>{"recommended_pool"},
    Arg<PyFloat>{"recommendation_score"}, Arg<PyFloat>{"recommendation_confidence"},
    Arg<PyFloat>{"current_performance_estimate"}, Arg<capi::CInt>{"trigger_code"},
    Arg<PyFloat>{"min_improvement_ratio", 1.1}, Arg<PyFloat>{"min_confidence", 0.6});

bool py_is_adaptation_beneficial(PyObject* current_pool, PyObject* recommended_pool, double score,
                                 double confidence, double estimate, int32_t trigger_code,
                                 double min_improvement_ratio, double min_confidence) noexcept {
    return is_adaptation_beneficial(current_pool, recommended_pool, score, confidence, estimate,
                                    trigger_code, min_improvement_ratio, min_confidence) != 0;
}

constexpr capi::TypedSignature skip_sig("should_skip_adaptation",
                                        Arg<PyFloat>{"last_adaptation_time"},
                                        Arg<PyFloat>{"current_time"}, Arg<PyFloat>{"min_interval"});

constexpr capi::TypedSignature pressure_sig("detect_memory_pressure", Arg<PyFloat>{"current_usage"},
                                            Arg<PyFloat>{"peak_usage"},
                                            Arg<PyFloat>{"pressure_threshold", 0.8});

constexpr capi::TypedSignature fragmentation_sig("detect_fragmentation_threshold",
                                                 Arg<PyFloat>{"fragmentation_ratio"},
                                                 Arg<PyFloat>{"threshold", 0.3});

constexpr capi::TypedSignature urgency_sig("calculate_adaptation_urgency",
                                           Arg<PyFloat>{"performance_degradation"},
                                           Arg<PyFloat>{"memory_pressure"},
                                           Arg<PyFloat>{"fragmentation_ratio"},
                                           Arg<PyBool>{"workload_changed"});

constexpr capi::TypedSignature score_sig("score_pool_recommendation", Arg<PyFloat>{"workload_fit"},
                                         Arg<PyFloat>{"memory_fit"},
                                         Arg<PyFloat>{"thread_count_fit"},
                                         Arg<PyFloat>{"historical_success_rate"});

constexpr capi::TypedSignature prediction_sig("predict_resource_requirements",
                                              Arg<List>{"allocation_history"},
                                              Arg<PyFloat>{"prediction_horizon_seconds"});

// The docstrings' "IP-PROTECTED: " topic lines are kept as written: callers match them.
const capi::FunctionDef functions[] = {
    capi::native<py_is_adaptation_beneficial, beneficial_sig>(
        "Determine if pool adaptation would be beneficial.\n"
        "\n"
        "IP-PROTECTED: Core adaptation decision algorithm.\n"
        "\n"
        "Args:\n"
        "    current_pool: Current pool type name\n"
        "    recommended_pool: Recommended pool type name\n"
        "    recommendation_score: Expected performance of the recommended pool\n"
        "    recommendation_confidence: Confidence in the recommendation (0-1)\n"
        "    current_performance_estimate: Estimated performance of the current pool\n"
        "    trigger_code: The adaptation trigger type\n"
        "    min_improvement_ratio: Required improvement over the current pool\n"
        "    min_confidence: Minimum confidence to act on the recommendation\n"
        "\n"
        "Returns:\n"
        "    True if switching to the recommended pool is worth it\n",
        "bool"),
    capi::native<should_skip_adaptation, skip_sig>(
        "Check if adaptation should be skipped due to timing.\n"
        "\n"
        "IP-PROTECTED: Adaptation cooldown logic.\n"
        "\n"
        "Args:\n"
        "    last_adaptation_time: Time of the last adaptation in seconds\n"
        "    current_time: Current time in seconds\n"
        "    min_interval: Minimum seconds between adaptations\n"
        "\n"
        "Returns:\n"
        "    True if the last adaptation is too recent\n",
        "bool"),
    capi::native<detect_memory_pressure, pressure_sig>(
        "Detect memory pressure conditions.\n"
        "\n"
        "IP-PROTECTED: Memory pressure detection algorithm.\n"
        "\n"
        "Args:\n"
        "    current_usage: Current memory usage in bytes\n"
        "    peak_usage: Peak memory usage in bytes\n"
        "    pressure_threshold: Usage ratio above which memory is under pressure\n"
        "\n"
        "Returns:\n"
        "    True if memory is under pressure\n",
        "bool"),
    capi::native<detect_fragmentation_threshold, fragmentation_sig>(
        "Check if fragmentation exceeds threshold.\n"
        "\n"
        "IP-PROTECTED: Fragmentation evaluation.\n"
        "\n"
        "Args:\n"
        "    fragmentation_ratio: Current fragmentation ratio\n"
        "    threshold: Fragmentation ratio above which action is needed\n"
        "\n"
        "Returns:\n"
        "    True if fragmentation exceeds the threshold\n",
        "bool"),
    capi::native<calculate_adaptation_urgency, urgency_sig>(
        "Calculate urgency score for adaptation.\n"
        "\n"
        "IP-PROTECTED: Urgency scoring algorithm for prioritizing adaptations.\n"
        "\n"
        "Args:\n"
        "    performance_degradation: Performance degradation ratio (0-1)\n"
        "    memory_pressure: Memory pressure ratio (0-1)\n"
        "    fragmentation_ratio: Fragmentation ratio (0-1)\n"
        "    workload_changed: Whether the workload characteristics changed\n"
        "\n"
        "Returns:\n"
        "    Urgency score (0.0 to 1.0)\n",
        "float"),
    capi::native<score_pool_recommendation, score_sig>(
        "Score a pool recommendation based on multiple factors.\n"
        "\n"
        "IP-PROTECTED: Pool recommendation scoring algorithm.\n"
        "\n"
        "Args:\n"
        "    workload_fit: How well the pool fits the workload (0-1)\n"
        "    memory_fit: How well the pool fits the memory profile (0-1)\n"
        "    thread_count_fit: How well the pool's thread count fits (0-1)\n"
        "    historical_success_rate: Past success rate of the pool (0-1)\n"
        "\n"
        "Returns:\n"
        "    Recommendation score (0.0 to 1.0)\n",
        "float"),
    capi::function<predict_resource_requirements, prediction_sig>(
        "Predict future resource requirements based on allocation history.\n"
        "\n"
        "IP-PROTECTED: Resource prediction algorithm.\n"
        "\n"
        "Args:\n"
        "    allocation_history: List of (timestamp, size) tuples\n"
        "    prediction_horizon_seconds: How far ahead to predict, in seconds\n"
        "\n"
        "Returns:\n"
        "    Tuple of (predicted_allocations, predicted_total_bytes, confidence)\n",
        "tuple"),
};

}  // namespace

std::span<const capi::FunctionDef> decision_functions() noexcept { return functions; }

}  // namespace adaptplan
