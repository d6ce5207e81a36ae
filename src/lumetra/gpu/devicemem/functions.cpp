// The ten Python-visible functions of lumetra.gpu.devicemem.
//
// Each one parses its arguments (every parameter by position or keyword),
// converts them in parameter order, calls the native entry and wraps the
// native result. The module state reaches the entries that read its constants;
// the functions never release the interpreter lock, as their work is far
// shorter than releasing it.
//
// The docstrings' "IP-PROTECTED: " topic lines are kept as written: callers match them.
#include "capi/capi.hpp"
#include "devicemem.hpp"

namespace devicemem {

namespace {

using capi::Arg;
// `tuple` and `str` parameters: exactly that type, or None.
using Tuple = capi::Exact<&PyTuple_Type>;
using Str = capi::Exact<&PyUnicode_Type>;

PyObject* new_flag(int flag) noexcept { return flag < 0 ? nullptr : capi::new_bool(flag != 0); }

// --- estimate_allocation_bytes ------------------------------------------------------

constexpr capi::TypedSignature estimate_sig("estimate_allocation_bytes", Arg<Tuple>{"shape"},
                                            Arg<int>{"element_size"},
                                            Arg<double>{"overhead_factor", 1.0});
constexpr const char estimate_doc[] =
    "Estimate memory required for array allocation.\n"
    "\n"
    "IP-PROTECTED: Core memory estimation algorithm.\n"
    "\n"
    "Args:\n"
    "    shape: Array shape (tuple of dimensions)\n"
    "    element_size: Size of one element in bytes\n"
    "    overhead_factor: Multiplier for allocator overhead, applied only above 1.0\n"
    "\n"
    "Returns:\n"
    "    Estimated bytes, saturating at 9223372036854775807 (the factor is not\n"
    "    applied to a saturated result). A zero or negative dimension gives 0, and\n"
    "    so does a negative element_size.\n";

PyObject* py_estimate_allocation_bytes(PyObject* shape, int32_t element_size,
                                       double overhead_factor) noexcept {
    uint64_t bytes;
    if (!estimate_allocation_bytes(shape, element_size, overhead_factor, bytes)) return nullptr;
    return PyLong_FromUnsignedLongLong(bytes);
}

// --- calculate_safe_limit -------------------------------------------------------------

constexpr capi::TypedSignature safe_limit_sig("calculate_safe_limit",
                                              Arg<uint64_t>{"available_bytes"},
                                              Arg<double>{"headroom_ratio"});
constexpr const char safe_limit_doc[] =
    "Calculate safe allocation limit with headroom.\n"
    "\n"
    "IP-PROTECTED: Safety margin calculation for GPU memory.\n"
    "\n"
    "Args:\n"
    "    available_bytes: Free device memory in bytes\n"
    "    headroom_ratio: Fraction of it to keep free (clamped to 0.0-0.99)\n"
    "\n"
    "Returns:\n"
    "    Bytes that may be allocated\n";

// --- decide_allocation_strategy -------------------------------------------------------

constexpr capi::TypedSignature decide_sig("decide_allocation_strategy",
                                          Arg<uint64_t>{"requested_bytes"},
                                          Arg<uint64_t>{"available_bytes"},
                                          Arg<double>{"headroom_ratio"}, Arg<bool>{"is_chunkable"});
constexpr const char decide_doc[] =
    "Decide allocation strategy based on memory requirements.\n"
    "\n"
    "IP-PROTECTED: Three-tier fallback decision algorithm.\n"
    "\n"
    "Args:\n"
    "    requested_bytes: Bytes the allocation needs\n"
    "    available_bytes: Free device memory in bytes\n"
    "    headroom_ratio: Fraction of free memory to keep free\n"
    "    is_chunkable: Whether the operation can run in several passes\n"
    "\n"
    "Returns:\n"
    "    Tuple of (strategy_code, chunk_size, chunk_count, message)\n"
    "    strategy_code: GPU_DIRECT (0), GPU_CHUNKED (1), or CPU_FALLBACK (2)\n"
    "    chunk_size: Bytes per chunk (0 if not chunking)\n"
    "    chunk_count: Number of chunks (1 if not chunking)\n"
    "    message: Description of the decision\n";

// --- is_oom_error -----------------------------------------------------------------------

constexpr capi::TypedSignature oom_sig("is_oom_error", Arg<Str>{"error_message"},
                                       Arg<Str>{"error_type"});
constexpr const char oom_doc[] =
    "Detect if an error is an Out of Memory error.\n"
    "\n"
    "IP-PROTECTED: OOM detection heuristics for GPU operations.\n"
    "\n"
    "Args:\n"
    "    error_message: The exception's message\n"
    "    error_type: The exception's class name\n"
    "\n"
    "Returns:\n"
    "    True if the error looks like device memory exhaustion\n"
    "\n"
    "Raises:\n"
    "    TypeError: If either argument is None\n";

PyObject* py_is_oom_error(const State& st, PyObject* error_message, PyObject* error_type) noexcept {
    return new_flag(is_oom_error(st, error_message, error_type));
}

// --- is_chunkable_operation -------------------------------------------------------------

constexpr capi::TypedSignature chunkable_sig("is_chunkable_operation", Arg<Str>{"operation"});
constexpr const char chunkable_doc[] =
    "Determine if an operation can be chunked for large allocations.\n"
    "\n"
    "IP-PROTECTED: Operation classification for chunking decisions.\n"
    "\n"
    "Args:\n"
    "    operation: Operation name, e.g. 'zeros' or 'random.randn' (case-sensitive)\n"
    "\n"
    "Returns:\n"
    "    True if the operation's result can be produced in independent slices\n";

PyObject* py_is_chunkable_operation(const State& st, PyObject* operation) noexcept {
    return new_flag(is_chunkable_operation(st, operation));
}

// --- compute_chunk_shapes ---------------------------------------------------------------

constexpr capi::TypedSignature chunk_shapes_sig("compute_chunk_shapes", Arg<Tuple>{"shape"},
                                                Arg<int>{"element_size"},
                                                Arg<uint64_t>{"max_chunk_bytes"});
constexpr const char chunk_shapes_doc[] =
    "Compute optimal chunk shapes for a large array.\n"
    "\n"
    "IP-PROTECTED: Intelligent chunking algorithm for GPU memory management.\n"
    "Splits along the first axis for simplicity and efficiency.\n"
    "Ensures chunks are sized to fit within GPU memory limits.\n"
    "\n"
    "Args:\n"
    "    shape: Full array shape (tuple of dimensions)\n"
    "    element_size: Size of one element in bytes\n"
    "    max_chunk_bytes: Largest byte size of one chunk\n"
    "\n"
    "Returns:\n"
    "    List of chunk shapes (rows, *shape[1:]) whose rows add up to shape[0].\n"
    "    A row larger than max_chunk_bytes forms a chunk of one row; a row of\n"
    "    zero bytes (a trailing dimension of 0) puts all rows in one chunk.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If element_size <= 0 or max_chunk_bytes == 0\n";

// --- calculate_optimal_chunks -----------------------------------------------------------

constexpr capi::TypedSignature optimal_sig("calculate_optimal_chunks", Arg<uint64_t>{"total_bytes"},
                                           Arg<uint64_t>{"available_bytes"},
                                           Arg<double>{"headroom_ratio"}, Arg<int>{"min_chunks", 1},
                                           Arg<int>{"max_chunks", 1000});
constexpr const char optimal_doc[] =
    "Calculate optimal number of chunks for a large operation.\n"
    "\n"
    "IP-PROTECTED: Chunk count optimization algorithm.\n"
    "\n"
    "Args:\n"
    "    total_bytes: Bytes the operation needs\n"
    "    available_bytes: Free device memory in bytes\n"
    "    headroom_ratio: Fraction of free memory to keep free\n"
    "    min_chunks: Smallest number of chunks to return\n"
    "    max_chunks: Largest number of chunks to return\n"
    "\n"
    "Returns:\n"
    "    Number of chunks (max_chunks when no memory is usable)\n";

// --- score_gpu_suitability --------------------------------------------------------------

constexpr capi::TypedSignature score_sig("score_gpu_suitability", Arg<uint64_t>{"data_size_bytes"},
                                         Arg<Str>{"operation_type"},
                                         Arg<uint64_t>{"available_gpu_memory"},
                                         Arg<double>{"headroom_ratio"});
constexpr const char score_doc[] =
    "Score how suitable a workload is for GPU execution.\n"
    "\n"
    "IP-PROTECTED: GPU suitability scoring algorithm.\n"
    "\n"
    "Args:\n"
    "    data_size_bytes: Bytes of data the workload processes\n"
    "    operation_type: Operation name, e.g. 'zeros' or 'matmul'\n"
    "    available_gpu_memory: Free device memory in bytes\n"
    "    headroom_ratio: Fraction of free memory to keep free\n"
    "\n"
    "Returns:\n"
    "    Suitability score from 0.0 (unsuitable) to 1.0 (ideal)\n";

PyObject* py_score_gpu_suitability(const State& st, uint64_t data_size_bytes,
                                   PyObject* operation_type, uint64_t available_gpu_memory,
                                   double headroom_ratio) noexcept {
    const double score = score_gpu_suitability(st, data_size_bytes, operation_type,
                                               available_gpu_memory, headroom_ratio);
    if (score < 0.0) return nullptr;
    return PyFloat_FromDouble(score);
}

// --- calculate_memory_pressure ----------------------------------------------------------

constexpr capi::TypedSignature pressure_sig("calculate_memory_pressure",
                                            Arg<uint64_t>{"used_bytes"},
                                            Arg<uint64_t>{"total_bytes"});
constexpr const char pressure_doc[] =
    "Calculate current memory pressure as a ratio.\n"
    "\n"
    "IP-PROTECTED: Memory pressure calculation for decision making.\n"
    "\n"
    "Args:\n"
    "    used_bytes: Device memory in use, in bytes\n"
    "    total_bytes: Total device memory in bytes\n"
    "\n"
    "Returns:\n"
    "    Pressure score from 0.0 (no pressure) to 1.0 (fully used)\n";

// --- recommend_headroom -----------------------------------------------------------------

constexpr capi::TypedSignature headroom_sig("recommend_headroom", Arg<double>{"current_pressure"},
                                            Arg<double>{"base_headroom", 0.5});
constexpr const char headroom_doc[] =
    "Recommend headroom ratio based on current memory pressure.\n"
    "\n"
    "IP-PROTECTED: Adaptive headroom recommendation algorithm.\n"
    "\n"
    "Args:\n"
    "    current_pressure: Current memory pressure (0.0-1.0)\n"
    "    base_headroom: Headroom to use under moderate pressure\n"
    "\n"
    "Returns:\n"
    "    Recommended headroom ratio (0.3-0.8 range)\n";

// Bound in this order, before the operation sets are built.
const capi::FunctionDef planning_functions[] = {
    capi::function<py_estimate_allocation_bytes, estimate_sig>(estimate_doc, "int"),
    capi::native<calculate_safe_limit, safe_limit_sig>(safe_limit_doc, "int"),
    capi::function<decide_allocation_strategy, decide_sig>(decide_doc, "tuple"),
    capi::function<compute_chunk_shapes, chunk_shapes_sig>(chunk_shapes_doc, "list"),
    capi::native<calculate_optimal_chunks, optimal_sig>(optimal_doc, "int"),
    capi::function<py_is_oom_error, oom_sig>(oom_doc, "bool"),
};

// Bound in this order, after the operation sets are built.
const capi::FunctionDef assessment_functions[] = {
    capi::function<py_is_chunkable_operation, chunkable_sig>(chunkable_doc, "bool"),
    capi::function<py_score_gpu_suitability, score_sig>(score_doc, "float"),
    capi::native<calculate_memory_pressure, pressure_sig>(pressure_doc, "float"),
    capi::native<recommend_headroom, headroom_sig>(headroom_doc, "float"),
};

}  // namespace

bool add_planning_functions(PyObject* module, State& st) noexcept {
    return capi::add_functions(module, st, planning_functions);
}

bool add_assessment_functions(PyObject* module, State& st) noexcept {
    return capi::add_functions(module, st, assessment_functions);
}

}  // namespace devicemem
