// The module's Python functions: parse and convert the arguments (all of
// them, in parameter order, before any work), call the native entry, build
// the result. Nothing is kept, caught or logged.
#include "capi/capi.hpp"
#include "loadscore.hpp"

namespace loadscore {

namespace {

bool check_str(PyObject* obj, const char* name) noexcept {
    return capi::check_exact(obj, &PyUnicode_Type, name, true);
}

// Converts args[first, first + N) to doubles.
template <std::size_t N>
bool doubles(PyObject* const* args, std::size_t first, double (&out)[N]) noexcept {
    for (std::size_t i = 0; i < N; ++i) {
        if (!capi::to_double(args[first + i], out[i])) return false;
    }
    return true;
}

PyObject* float_result(double value) noexcept {
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(value);
}

template <std::size_t N>
PyObject* float_tuple(const std::array<double, N>& values) noexcept {
    capi::Ref tuple = capi::Ref::steal(PyTuple_New(N));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, item);
    }
    return tuple.release();
}

// --- quick_framework_score ------------------------------------------------------

constexpr capi::Param quick_params[] = {{"code", nullptr, "str"}, {"framework", nullptr, "str"}};
constexpr capi::Signature quick_sig("quick_framework_score", quick_params);

PyObject* py_quick_framework_score(State& st, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    capi::Args<2> a;
    if (!a.parse(quick_sig, args, nargs, kwnames) || !check_str(a[0], "code") ||
        !check_str(a[1], "framework")) {
        return nullptr;
    }
    return float_result(quick_framework_score(st, a[0], a[1]));
}

constexpr const char quick_doc[] =
    "Fast pattern scoring using precompiled regex.\n"
    "\n"
    "Args:\n"
    "    code: Source code to analyze\n"
    "    framework: Framework name ('numpy', 'pandas', 'sklearn')\n"
    "\n"
    "Returns:\n"
    "    Score from 0.0 to 1.0 based on pattern matches\n"
    "\n"
    "Performance: <100us for typical code snippets\n";

// --- score_indicators -----------------------------------------------------------

constexpr capi::Param indicators_params[] = {{"code", nullptr, "str"},
                                             {"function_name", nullptr, "str"}};
constexpr capi::Signature indicators_sig("score_indicators", indicators_params);

PyObject* py_score_indicators(State& st, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    capi::Args<2> a;
    if (!a.parse(indicators_sig, args, nargs, kwnames) || !check_str(a[0], "code") ||
        !check_str(a[1], "function_name")) {
        return nullptr;
    }
    IndicatorCounts counts;
    if (!score_indicators(st, a[0], a[1], counts)) return nullptr;
    capi::Ref tuple = capi::Ref::steal(PyTuple_New(counts.size()));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        PyObject* item = PyLong_FromLong(counts[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, item);
    }
    return tuple.release();
}

constexpr const char indicators_doc[] =
    "Score code against all indicator categories.\n"
    "\n"
    "Args:\n"
    "    code: Source code to analyze\n"
    "    function_name: Name of the function being analyzed\n"
    "\n"
    "Returns:\n"
    "    Tuple of (cpu_score, memory_score, parallel_score, gpu_op_score,\n"
    "              large_data_score, embarrassing_score, sequential_score)\n";

// --- normalize_scores -----------------------------------------------------------

constexpr capi::Param normalize_params[] = {
    {"cpu_score", nullptr, "int"},        {"memory_score", nullptr, "int"},
    {"parallel_score", nullptr, "int"},   {"gpu_op_score", nullptr, "int"},
    {"large_data_score", nullptr, "int"},
};
constexpr capi::Signature normalize_sig("normalize_scores", normalize_params);

PyObject* py_normalize_scores(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    capi::Args<5> a;
    if (!a.parse(normalize_sig, args, nargs, kwnames)) return nullptr;
    std::int32_t scores[5];
    for (std::size_t i = 0; i < 5; ++i) {
        if (!capi::to_int(a[i], scores[i])) return nullptr;
    }
    return float_tuple(normalize_scores(scores[0], scores[1], scores[2], scores[3], scores[4]));
}

constexpr const char normalize_doc[] =
    "Normalize indicator scores to 0.0-1.0 range.\n"
    "\n"
    "Args:\n"
    "    cpu_score: Raw CPU indicator count\n"
    "    memory_score: Raw memory indicator count\n"
    "    parallel_score: Raw parallel indicator count\n"
    "    gpu_op_score: Raw GPU operation indicator count\n"
    "    large_data_score: Raw large data indicator count\n"
    "\n"
    "Returns:\n"
    "    Tuple of normalized scores\n";

// --- score_framework_patterns ---------------------------------------------------

constexpr capi::Param framework_params[] = {{"code", nullptr, "str"}};
constexpr capi::Signature framework_sig("score_framework_patterns", framework_params);

PyObject* py_score_framework_patterns(State& st, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    capi::Args<1> a;
    if (!a.parse(framework_sig, args, nargs, kwnames) || !check_str(a[0], "code")) {
        return nullptr;
    }
    FrameworkScores scores;
    if (!score_framework_patterns(st, a[0], scores)) return nullptr;
    return float_tuple(scores);
}

constexpr const char framework_doc[] =
    "Score code for framework-specific patterns.\n"
    "\n"
    "Args:\n"
    "    code: Source code to analyze\n"
    "\n"
    "Returns:\n"
    "    Tuple of (numpy_score, pandas_score, sklearn_score)\n";

// --- determine_workload_pattern -------------------------------------------------

constexpr capi::Param pattern_params[] = {
    {"cpu_intensity", nullptr, "float"},
    {"memory_intensity", nullptr, "float"},
    {"parallelization_potential", nullptr, "float"},
    {"gpu_suitability", nullptr, "float"},
    {"gpu_operation_score", nullptr, "float"},
    {"numpy_score", nullptr, "float"},
    {"pandas_score", nullptr, "float"},
    {"sklearn_score", nullptr, "float"},
    {"sequential_count", nullptr, "int"},
    {"embarrassing_count", nullptr, "int"},
    {"cpu_threshold", nullptr, "float"},
    {"memory_threshold", nullptr, "float"},
    {"gpu_threshold", nullptr, "float"},
    {"numpy_threshold", nullptr, "float"},
    {"pandas_threshold", nullptr, "float"},
    {"sklearn_threshold", nullptr, "float"},
    {"gpu_available", nullptr, "bool"},
};
constexpr capi::Signature pattern_sig("determine_workload_pattern", pattern_params);

PyObject* py_determine_workload_pattern(PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    capi::Args<17> a;
    if (!a.parse(pattern_sig, args, nargs, kwnames)) return nullptr;
    double scores[8];
    std::int32_t sequential_count, embarrassing_count;
    double thresholds[6];
    if (!doubles(a.values, 0, scores) || !capi::to_int(a[8], sequential_count) ||
        !capi::to_int(a[9], embarrassing_count) || !doubles(a.values, 10, thresholds)) {
        return nullptr;
    }
    const int gpu_available = capi::to_truth(a[16]);
    if (gpu_available < 0) return nullptr;
    return PyLong_FromLong(determine_workload_pattern(
        scores[0], scores[1], scores[2], scores[3], scores[4], scores[5], scores[6], scores[7],
        sequential_count, embarrassing_count, thresholds[0], thresholds[1], thresholds[2],
        thresholds[3], thresholds[4], thresholds[5], gpu_available != 0));
}

constexpr const char pattern_doc[] =
    "Determine primary workload pattern from scores.\n"
    "\n"
    "Args:\n"
    "    cpu_intensity: CPU intensity score (0.0-1.0)\n"
    "    memory_intensity: Memory intensity score (0.0-1.0)\n"
    "    parallelization_potential: Parallelization potential score (0.0-1.0)\n"
    "    gpu_suitability: GPU suitability score (0.0-1.0)\n"
    "    gpu_operation_score: GPU operation score (0.0-1.0)\n"
    "    numpy_score: NumPy framework score (0.0-1.0)\n"
    "    pandas_score: Pandas framework score (0.0-1.0)\n"
    "    sklearn_score: Sklearn framework score (0.0-1.0)\n"
    "    sequential_count: Count of sequential indicators\n"
    "    embarrassing_count: Count of embarrassingly parallel indicators\n"
    "    cpu_threshold: Threshold for CPU intensive classification\n"
    "    memory_threshold: Threshold for memory intensive classification\n"
    "    gpu_threshold: Threshold for GPU suitability classification\n"
    "    numpy_threshold: Threshold for NumPy framework detection\n"
    "    pandas_threshold: Threshold for Pandas framework detection\n"
    "    sklearn_threshold: Threshold for Sklearn framework detection\n"
    "    gpu_available: Whether GPU is available\n"
    "\n"
    "Returns:\n"
    "    Pattern code:\n"
    "        0 = MIXED\n"
    "        1 = CPU_INTENSIVE\n"
    "        2 = MEMORY_INTENSIVE\n"
    "        3 = PARALLEL_FRIENDLY\n"
    "        4 = SEQUENTIAL\n"
    "        5 = GPU_SUITABLE\n"
    "        6 = GPU_COMPUTE_INTENSIVE\n"
    "        7 = GPU_MEMORY_BOUND\n"
    "        8 = NUMPY_VECTORIZED\n"
    "        9 = NUMPY_LINALG\n"
    "        10 = PANDAS_DATAFRAME\n"
    "        11 = PANDAS_GROUPBY\n"
    "        12 = SKLEARN_TRAINING\n"
    "        13 = SKLEARN_INFERENCE\n";

// --- calculate_gpu_suitability --------------------------------------------------

constexpr capi::Param suitability_params[] = {
    {"gpu_operation_score", nullptr, "float"}, {"gpu_data_size_score", nullptr, "float"},
    {"cpu_intensity", nullptr, "float"},       {"gpu_available", nullptr, "bool"},
    {"compute_capability", nullptr, "str"},
};
constexpr capi::Signature suitability_sig("calculate_gpu_suitability", suitability_params);

PyObject* py_calculate_gpu_suitability(PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    capi::Args<5> a;
    if (!a.parse(suitability_sig, args, nargs, kwnames)) return nullptr;
    double scores[3];
    if (!doubles(a.values, 0, scores)) return nullptr;
    const int gpu_available = capi::to_truth(a[3]);
    if (gpu_available < 0 || !check_str(a[4], "compute_capability")) return nullptr;
    return float_result(
        calculate_gpu_suitability(scores[0], scores[1], scores[2], gpu_available != 0, a[4]));
}

constexpr const char suitability_doc[] =
    "Calculate overall GPU suitability score.\n"
    "\n"
    "Args:\n"
    "    gpu_operation_score: Score from GPU operation indicators (0.0-1.0)\n"
    "    gpu_data_size_score: Score from data size indicators (0.0-1.0)\n"
    "    cpu_intensity: CPU intensity score (0.0-1.0)\n"
    "    gpu_available: Whether GPU is available\n"
    "    compute_capability: GPU compute capability string (e.g., \"8.6\")\n"
    "\n"
    "Returns:\n"
    "    GPU suitability score (0.0-1.0)\n";

// --- estimate_gpu_speedup -------------------------------------------------------

constexpr capi::Param speedup_params[] = {
    {"gpu_operation_score", nullptr, "float"},
    {"gpu_data_size_score", nullptr, "float"},
    {"gpu_available", nullptr, "bool"},
};
constexpr capi::Signature speedup_sig("estimate_gpu_speedup", speedup_params);

PyObject* py_estimate_gpu_speedup(PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    capi::Args<3> a;
    if (!a.parse(speedup_sig, args, nargs, kwnames)) return nullptr;
    double scores[2];
    if (!doubles(a.values, 0, scores)) return nullptr;
    const int gpu_available = capi::to_truth(a[2]);
    if (gpu_available < 0) return nullptr;
    return PyFloat_FromDouble(estimate_gpu_speedup(scores[0], scores[1], gpu_available != 0));
}

constexpr const char speedup_doc[] =
    "Estimate GPU speedup from static code analysis.\n"
    "\n"
    "Args:\n"
    "    gpu_operation_score: Score from GPU operation indicators (0.0-1.0)\n"
    "    gpu_data_size_score: Score from data size indicators (0.0-1.0)\n"
    "    gpu_available: Whether GPU is available\n"
    "\n"
    "Returns:\n"
    "    Estimated speedup ratio (1.0 = no speedup)\n";

// --- calculate_parallelization_potential ----------------------------------------

constexpr capi::Param parallel_params[] = {
    {"base_parallel_score", nullptr, "float"},
    {"embarrassing_bonus", nullptr, "float"},
    {"sequential_penalty", nullptr, "float"},
    {"loop_chunking_potential", nullptr, "float"},
};
constexpr capi::Signature parallel_sig("calculate_parallelization_potential", parallel_params);

PyObject* py_calculate_parallelization_potential(PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) noexcept {
    capi::Args<4> a;
    double v[4];
    if (!a.parse(parallel_sig, args, nargs, kwnames) || !doubles(a.values, 0, v)) return nullptr;
    return PyFloat_FromDouble(calculate_parallelization_potential(v[0], v[1], v[2], v[3]));
}

constexpr const char parallel_doc[] =
    "Calculate parallelization potential score.\n"
    "\n"
    "Args:\n"
    "    base_parallel_score: Base score from parallel indicators (0.0-1.0)\n"
    "    embarrassing_bonus: Bonus from embarrassingly parallel patterns\n"
    "    sequential_penalty: Penalty from sequential indicators\n"
    "    loop_chunking_potential: Potential from loop chunking analysis\n"
    "\n"
    "Returns:\n"
    "    Parallelization potential score (0.0-1.0)\n";

// --- update_adaptive_threshold --------------------------------------------------

constexpr capi::Param threshold_params[] = {
    {"current_threshold", nullptr, "float"}, {"success_rate", nullptr, "float"},
    {"learning_rate", nullptr, "float"},     {"min_threshold", nullptr, "float"},
    {"max_threshold", nullptr, "float"},
};
constexpr capi::Signature threshold_sig("update_adaptive_threshold", threshold_params);

PyObject* py_update_adaptive_threshold(PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    capi::Args<5> a;
    double v[5];
    if (!a.parse(threshold_sig, args, nargs, kwnames) || !doubles(a.values, 0, v)) {
        return nullptr;
    }
    return PyFloat_FromDouble(update_adaptive_threshold(v[0], v[1], v[2], v[3], v[4]));
}

constexpr const char threshold_doc[] =
    "Update adaptive threshold based on performance feedback.\n"
    "\n"
    "Used for threshold learning in framework detection.\n"
    "\n"
    "Args:\n"
    "    current_threshold: Current threshold value\n"
    "    success_rate: Recent success rate (0.0-1.0)\n"
    "    learning_rate: Learning rate for adjustment\n"
    "    min_threshold: Minimum allowed threshold\n"
    "    max_threshold: Maximum allowed threshold\n"
    "\n"
    "Returns:\n"
    "    Updated threshold value\n";

const capi::FunctionDef functions[] = {
    capi::function<py_quick_framework_score>(quick_sig, quick_doc, "float"),
    capi::function<py_score_indicators>(indicators_sig, indicators_doc, "tuple"),
    capi::function<py_normalize_scores>(normalize_sig, normalize_doc, "tuple"),
    capi::function<py_score_framework_patterns>(framework_sig, framework_doc, "tuple"),
    capi::function<py_determine_workload_pattern>(pattern_sig, pattern_doc, "int"),
    capi::function<py_calculate_gpu_suitability>(suitability_sig, suitability_doc, "float"),
    capi::function<py_estimate_gpu_speedup>(speedup_sig, speedup_doc, "float"),
    capi::function<py_calculate_parallelization_potential>(parallel_sig, parallel_doc, "float"),
    capi::function<py_update_adaptive_threshold>(threshold_sig, threshold_doc, "float"),
};

}  // namespace

bool add_functions(PyObject* module, State& st) noexcept {
    return capi::add_functions(module, st, functions);
}

}  // namespace loadscore
