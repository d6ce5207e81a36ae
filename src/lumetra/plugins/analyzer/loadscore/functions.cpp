// The module's Python functions: parse and convert the arguments (all of
// them, in parameter order, before any work), call the native entry, build
// the result. Nothing is kept, caught or logged.
#include "capi/capi.hpp"
#include "loadscore.hpp"

namespace loadscore {

namespace {

using capi::Arg;
using capi::PyBool;
using capi::PyFloat;
using capi::PyStr;
using Int = capi::CInt;

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

constexpr capi::TypedSignature quick_sig("quick_framework_score", Arg<PyStr>{"code"},
                                         Arg<PyStr>{"framework"});

PyObject* py_quick_framework_score(State& st, PyObject* code, PyObject* framework) noexcept {
    return float_result(quick_framework_score(st, code, framework));
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

constexpr capi::TypedSignature indicators_sig("score_indicators", Arg<PyStr>{"code"},
                                              Arg<PyStr>{"function_name"});

PyObject* py_score_indicators(State& st, PyObject* code, PyObject* function_name) noexcept {
    IndicatorCounts counts;
    if (!score_indicators(st, code, function_name, counts)) return nullptr;
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

constexpr capi::TypedSignature normalize_sig("normalize_scores", Arg<Int>{"cpu_score"},
                                             Arg<Int>{"memory_score"}, Arg<Int>{"parallel_score"},
                                             Arg<Int>{"gpu_op_score"},
                                             Arg<Int>{"large_data_score"});

PyObject* py_normalize_scores(std::int32_t cpu_score, std::int32_t memory_score,
                              std::int32_t parallel_score, std::int32_t gpu_op_score,
                              std::int32_t large_data_score) noexcept {
    return float_tuple(
        normalize_scores(cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score));
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

constexpr capi::TypedSignature framework_sig("score_framework_patterns", Arg<PyStr>{"code"});

PyObject* py_score_framework_patterns(State& st, PyObject* code) noexcept {
    FrameworkScores scores;
    if (!score_framework_patterns(st, code, scores)) return nullptr;
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

constexpr capi::TypedSignature pattern_sig(
    "determine_workload_pattern", Arg<PyFloat>{"cpu_intensity"}, Arg<PyFloat>{"memory_intensity"},
    Arg<PyFloat>{"parallelization_potential"}, Arg<PyFloat>{"gpu_suitability"},
    Arg<PyFloat>{"gpu_operation_score"}, Arg<PyFloat>{"numpy_score"}, Arg<PyFloat>{"pandas_score"},
    Arg<PyFloat>{"sklearn_score"}, Arg<Int>{"sequential_count"}, Arg<Int>{"embarrassing_count"},
    Arg<PyFloat>{"cpu_threshold"}, Arg<PyFloat>{"memory_threshold"}, Arg<PyFloat>{"gpu_threshold"},
    Arg<PyFloat>{"numpy_threshold"}, Arg<PyFloat>{"pandas_threshold"},
    Arg<PyFloat>{"sklearn_threshold"}, Arg<PyBool>{"gpu_available"});

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

constexpr capi::TypedSignature suitability_sig("calculate_gpu_suitability",
                                               Arg<PyFloat>{"gpu_operation_score"},
                                               Arg<PyFloat>{"gpu_data_size_score"},
                                               Arg<PyFloat>{"cpu_intensity"},
                                               Arg<PyBool>{"gpu_available"},
                                               Arg<PyStr>{"compute_capability"});

PyObject* py_calculate_gpu_suitability(double gpu_operation_score, double gpu_data_size_score,
                                       double cpu_intensity, bool gpu_available,
                                       PyObject* compute_capability) noexcept {
    return float_result(calculate_gpu_suitability(gpu_operation_score, gpu_data_size_score,
                                                  cpu_intensity, gpu_available,
                                                  compute_capability));
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

constexpr capi::TypedSignature speedup_sig("estimate_gpu_speedup",
                                           Arg<PyFloat>{"gpu_operation_score"},
                                           Arg<PyFloat>{"gpu_data_size_score"},
                                           Arg<PyBool>{"gpu_available"});

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

constexpr capi::TypedSignature parallel_sig("calculate_parallelization_potential",
                                            Arg<PyFloat>{"base_parallel_score"},
                                            Arg<PyFloat>{"embarrassing_bonus"},
                                            Arg<PyFloat>{"sequential_penalty"},
                                            Arg<PyFloat>{"loop_chunking_potential"});

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

constexpr capi::TypedSignature threshold_sig(
    "update_adaptive_threshold", Arg<PyFloat>{"current_threshold"}, Arg<PyFloat>{"success_rate"},
    Arg<PyFloat>{"learning_rate"}, Arg<PyFloat>{"min_threshold"}, Arg<PyFloat>{"max_threshold"});

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
    capi::function<py_quick_framework_score, quick_sig>(quick_doc, "float"),
    capi::function<py_score_indicators, indicators_sig>(indicators_doc, "tuple"),
    capi::function<py_normalize_scores, normalize_sig>(normalize_doc, "tuple"),
    capi::function<py_score_framework_patterns, framework_sig>(framework_doc, "tuple"),
    capi::native<determine_workload_pattern, pattern_sig>(pattern_doc, "int"),
    capi::function<py_calculate_gpu_suitability, suitability_sig>(suitability_doc, "float"),
    capi::native<estimate_gpu_speedup, speedup_sig>(speedup_doc, "float"),
    capi::native<calculate_parallelization_potential, parallel_sig>(parallel_doc, "float"),
    capi::native<update_adaptive_threshold, threshold_sig>(threshold_doc, "float"),
};

}  // namespace

bool add_functions(PyObject* module, State& st) noexcept {
    return capi::add_functions(module, st, functions);
}

}  // namespace loadscore
