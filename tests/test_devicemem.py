"""lumetra.gpu.devicemem: the module, allocation estimate, safe limit, strategy, OOM and
operation classification."""

from __future__ import annotations

import inspect
import logging
import sys

import pytest

from lumetra.gpu import devicemem as dm

MAX_SAFE = 2**63 - 1
U64_MAX = 2**64 - 1
I32_MAX = 2**31 - 1

CHUNKABLE = ["zeros", "ones", "empty", "full", "arange", "linspace"] + [
    "random." + name for name in ("randn", "rand", "random", "standard_normal", "uniform")
]
NON_CHUNKABLE = "matmul dot fft ifft fft2 ifft2 svd eig eigvals solve inv sort argsort".split()  # noqa: SIM905, E501


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


# --- the module -------------------------------------------------------------------


def test_module_namespace_and_order():
    public = [name for name in vars(dm) if not name.startswith("__")]
    assert public == [*FUNCTIONS, "logging", "logger"]
    assert dm.logging is logging
    assert dm.logger is logging.getLogger("lumetra.gpu.devicemem")
    assert dm.__doc__.splitlines()[0].endswith("core of the GPU memory heuristics.")


def test_banner_logged_once_at_import(fresh_python):
    result = fresh_python(
        """
        import logging
        logging.basicConfig(level=logging.INFO, format="%(levelname)s|%(name)s|%(message)s")
        import lumetra.gpu.devicemem
        import importlib; importlib.import_module("lumetra.gpu.devicemem")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines() == [
        "INFO|lumetra.gpu.devicemem|Lumetra Devicemem Cython module loaded - IP protected"
    ]


SUMMARIES = {
    "estimate_allocation_bytes": (
        "Estimate memory required for array allocation.",
        "Core memory estimation algorithm.",
    ),
    "calculate_safe_limit": (
        "Calculate safe allocation limit with headroom.",
        "Safety margin calculation for GPU memory.",
    ),
    "decide_allocation_strategy": (
        "Decide allocation strategy based on memory requirements.",
        "Three-tier fallback decision algorithm.",
    ),
    "compute_chunk_shapes": (
        "Compute optimal chunk shapes for a large array.",
        "Intelligent chunking algorithm for GPU memory management.",
    ),
    "calculate_optimal_chunks": (
        "Calculate optimal number of chunks for a large operation.",
        "Chunk count optimization algorithm.",
    ),
    "is_oom_error": (
        "Detect if an error is an Out of Memory error.",
        "OOM detection heuristics for GPU operations.",
    ),
    "is_chunkable_operation": (
        "Determine if an operation can be chunked for large allocations.",
        "Operation classification for chunking decisions.",
    ),
    "score_gpu_suitability": (
        "Score how suitable a workload is for GPU execution.",
        "GPU suitability scoring algorithm.",
    ),
    "calculate_memory_pressure": (
        "Calculate current memory pressure as a ratio.",
        "Memory pressure calculation for decision making.",
    ),
    "recommend_headroom": (
        "Recommend headroom ratio based on current memory pressure.",
        "Adaptive headroom recommendation algorithm.",
    ),
}
FUNCTIONS = list(SUMMARIES)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring_layout_and_metadata(name):
    f = getattr(dm, name)
    lines = f.__doc__.splitlines()
    summary, topic = SUMMARIES[name]
    assert lines[:3] == [summary, "", "IP-PROTECTED: " + topic]
    assert "Args:" in lines
    assert lines.index("Returns:") > lines.index("Args:")
    params = list(inspect.signature(f).parameters)
    for param in params:
        assert any(line.startswith(f"    {param}: ") for line in lines)
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "lumetra.gpu.devicemem"


def test_docstring_details():
    chunk_doc, decide = dm.compute_chunk_shapes.__doc__, dm.decide_allocation_strategy.__doc__
    assert chunk_doc is not None and decide is not None
    lines = chunk_doc.splitlines()
    assert lines[3:5] == [
        "Splits along the first axis for simplicity and efficiency.",
        "Ensures chunks are sized to fit within GPU memory limits.",
    ]
    assert lines[lines.index("Raises:") + 1].strip() == (
        "ValueError: If element_size <= 0 or max_chunk_bytes == 0"
    )
    for text in (
        "GPU_DIRECT (0), GPU_CHUNKED (1), or CPU_FALLBACK (2)",
        "Bytes per chunk (0 if not chunking)",
        "Number of chunks (1 if not chunking)",
    ):
        assert text in decide
    returns = {
        "score_gpu_suitability": "Suitability score from 0.0 (unsuitable) to 1.0 (ideal)",
        "calculate_memory_pressure": "Pressure score from 0.0 (no pressure) to 1.0 (fully used)",
        "recommend_headroom": "Recommended headroom ratio (0.3-0.8 range)",
    }
    for name, text in returns.items():
        doc = getattr(dm, name).__doc__.splitlines()
        assert doc[doc.index("Returns:") + 1].strip() == text


# --- argument handling ------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: dm.calculate_safe_limit(1),  # type: ignore[call-arg]
            "calculate_safe_limit() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda: dm.estimate_allocation_bytes((1,), 1, 1.0, 4),  # type: ignore[call-arg]
            "estimate_allocation_bytes() takes at most 3 positional arguments (4 given)",
        ),
        (
            lambda: dm.is_oom_error("x", error="y"),  # type: ignore[call-arg]
            "is_oom_error() got an unexpected keyword argument 'error'",
        ),
        (
            lambda: dm.calculate_memory_pressure(1, used_bytes=2),  # type: ignore[call-arg, misc]
            "calculate_memory_pressure() got multiple values for keyword argument 'used_bytes'",
        ),
        (
            lambda: dm.estimate_allocation_bytes([1000], 8),  # type: ignore[arg-type]
            "Argument 'shape' has incorrect type (expected tuple, got list)",
        ),
        (
            lambda: dm.is_oom_error("x", b"y"),  # type: ignore[arg-type]
            "Argument 'error_type' has incorrect type (expected str, got bytes)",
        ),
        (lambda: dm.calculate_safe_limit("1", 0.2), "an integer is required"),  # type: ignore[arg-type]
        (lambda: dm.recommend_headroom("0.5"), "must be real number, not str"),  # type: ignore[arg-type]
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_and_conversions():
    with pytest.raises(TypeError, match="keywords must be strings"):
        dm.is_chunkable_operation(**{1: "zeros"})  # type: ignore[arg-type]
    assert dm.decide_allocation_strategy(
        is_chunkable=1, headroom_ratio=0.2, available_bytes=1000, requested_bytes=2500
    ) == (1, 800, 4, "Chunking into 4 GPU passes")
    assert dm.calculate_safe_limit(IntLike(1000), 0.2) == 800  # type: ignore[arg-type]
    assert dm.calculate_safe_limit(1000.9, False) == 1000  # type: ignore[arg-type]
    assert dm.calculate_optimal_chunks(2500, 1000, 0.2, max_chunks=3.7) == 3  # type: ignore[arg-type]
    assert str(inspect.signature(dm.estimate_allocation_bytes)) == (
        "(shape, element_size, overhead_factor=1.0)"
    )
    assert dm.score_gpu_suitability.__annotations__ == {"return": "float"}

    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):  # the truth value's error propagates
        dm.decide_allocation_strategy(1, 2, 0.0, Bad())


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: dm.calculate_safe_limit(-1, 0.1), "can't convert negative value to uint64_t"),
        (lambda: dm.calculate_safe_limit(2**64, 0.1), None),
        (lambda: dm.estimate_allocation_bytes((1,), 2**31), "value too large to convert to int"),
        (lambda: dm.calculate_optimal_chunks(1, 1, 0.2, -(2**31) - 1), "value too large"),
    ],
)
def test_range_errors(call, message):
    with pytest.raises(OverflowError) as info:
        call()
    if message:
        assert str(info.value).startswith(message)


# --- estimate_allocation_bytes ----------------------------------------------------


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (((1000, 1000), 8), 8_000_000),
        (((1000, 1000), 8, 1.2), 9_600_000),
        (((1000, 1000), 8, 0.5), 8_000_000),
        (((), 4), 4),
        (((), 4, 1.5), 6),
        (((10, 0, 10), 8), 0),
        (((10, -1), 8), 0),
        (((5, 0, 2**40), 8), 0),  # the third dimension is never converted
        (((5, 0, "x"), 8), 0),
        (((2.9, True, IntLike(3)), 2), 12),
        (((10,), 0), 0),
        (((2147483647, 2147483647, 4), 8), MAX_SAFE),  # saturated count
        (((I32_MAX, I32_MAX), 8), MAX_SAFE),  # saturated bytes
        (((I32_MAX, I32_MAX), 8, 2.0), MAX_SAFE),  # ... and no factor applied
        (((I32_MAX, I32_MAX), 1), I32_MAX**2),
        (((I32_MAX, I32_MAX), 2, 4.0), U64_MAX),  # factor saturates at 2**64 - 1
        (((10,), 1, float("inf")), U64_MAX),
        (((10,), 0, float("inf")), 0),
        # A negative element size gives 0, never a wrapped value.
        (((10,), -4), 0),
        (((10, 10), -1, 3.0), 0),
        (((), -8), 0),
    ],
)
def test_estimate(args, expected):
    assert dm.estimate_allocation_bytes(*args) == expected


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        (((2**31,), 1), OverflowError, "value too large to convert to int"),
        (((10, -(2**31) - 1), 1), OverflowError, "value too large to convert to int"),
        ((None, 8), TypeError, "object of type 'NoneType' has no len()"),
        ((None, "8"), TypeError, "an integer is required"),  # conversions come first
        (((3, "4"), 8), TypeError, "an integer is required"),
        ((type("T", (tuple,), {})((1,)), 8), TypeError, "Argument 'shape' has incorrect type"),
    ],
)
def test_estimate_errors(args, error, message):
    with pytest.raises(error) as info:
        dm.estimate_allocation_bytes(*args)
    assert str(info.value).startswith(message)


# --- calculate_safe_limit ---------------------------------------------------------


@pytest.mark.parametrize(
    ("available", "headroom", "expected"),
    [
        (1000, 0.2, 800),
        (1000, 1.5, 10),  # headroom clamped to 0.99
        (1000, 0.99, 10),
        (1000, -0.5, 1000),
        (0, 0.1, 0),
        (U64_MAX, 0.0, U64_MAX),  # 2**64 as a double saturates instead of wrapping
        (U64_MAX, 0.5, 2**63),
    ],
)
def test_safe_limit(available, headroom, expected):
    assert dm.calculate_safe_limit(available, headroom) == expected


# --- decide_allocation_strategy ---------------------------------------------------


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((500, 1000, 0.2, False), (0, 0, 1, "Allocation fits in GPU memory")),
        ((800, 1000, 0.2, False), (0, 0, 1, "Allocation fits in GPU memory")),
        ((0, 1000, 0.2, True), (0, 0, 1, "Allocation fits in GPU memory")),
        ((2500, 1000, 0.2, True), (1, 800, 4, "Chunking into 4 GPU passes")),
        ((801, 1000, 0.2, [1]), (1, 800, 2, "Chunking into 2 GPU passes")),
        ((2500, 1000, 0.2, False), (2, 0, 1, "Operation not chunkable, falling back to CPU")),
        ((2500, 1000, 0.2, None), (2, 0, 1, "Operation not chunkable, falling back to CPU")),
        ((0, 0, 0.2, True), (2, 0, 1, "No GPU memory available")),
        ((10, 50, 0.99, True), (2, 0, 1, "No GPU memory available")),  # limit truncates to 0
        # Exact ceiling: a quotient just above 1 is not rounded down to one pass.
        ((2**53 + 1, 2**53, 0.0, True), (1, 2**53, 2, "Chunking into 2 GPU passes")),
        (
            (U64_MAX, 1, 0.0, True),
            (1, 1, U64_MAX, "Chunking into 18446744073709551615 GPU passes"),
        ),
    ],
)
def test_strategy(args, expected):
    result = dm.decide_allocation_strategy(*args)
    assert type(result) is tuple
    assert result == expected


def test_fixed_strategies_are_shared_objects():
    for args in [(1, 100, 0.2, False), (0, 0, 0.2, True), (500, 100, 0.2, False)]:
        first = dm.decide_allocation_strategy(*args)
        before = sys.getrefcount(first)
        for _ in range(100):
            assert dm.decide_allocation_strategy(*args) is first
        assert sys.getrefcount(first) == before
    chunked = dm.decide_allocation_strategy(2500, 1000, 0.2, True)
    assert chunked is not dm.decide_allocation_strategy(2500, 1000, 0.2, True)


# --- is_oom_error -----------------------------------------------------------------


def reference_is_oom(message: str, error_type: str) -> bool:
    m, t = message.lower(), error_type.lower()
    return (
        "out of memory" in m
        or "outofmemoryerror" in t
        or ("cuda" in m and "memory" in m)
        or ("allocat" in m and "failed" in m)
        or ("memory" in m and "insufficient" in m)
        or ("gpu" in m and "memory" in m)
    )


@pytest.mark.parametrize(
    ("message", "error_type", "expected"),
    [
        ("CUDA out of memory. Tried to allocate 2.00 GiB", "RuntimeError", True),  # rule 1
        ("", "OutOfMemoryError", True),  # rule 2
        ("", "torch.cuda.OUTOFMEMORYERROR", True),
        ("CUDA error: memory access fault", "RuntimeError", True),  # rule 3
        ("cuBLAS failed to allocate workspace", "RuntimeError", True),  # rule 4
        ("Memory insufficient", "Error", True),  # rule 5
        ("GPU memory fragmentation warning", "UserWarning", True),  # rule 6
        ("CUDA driver version is insufficient", "RuntimeError", False),
        ("out of memory", "", True),
        ("out  of memory", "MemoryError", False),
        ("", "", False),
    ],
)
def test_oom_rules(message, error_type, expected):
    assert dm.is_oom_error(message, error_type) is expected
    assert dm.is_oom_error(error_type=error_type, error_message=message) is expected


@pytest.mark.parametrize(
    "message",
    [
        "GPU MÉMOIRE memory",  # Latin-1, searched in place
        "ÀLLOCATION FAILED",
        "GPU \u0394 MEMORY",  # wider text, lower-cased by the interpreter
        "\u0130NSUFFICIENT MEMORY",  # lower() puts a combining dot after the i
        "Memory \u0130nsufficient",
        "CUDA \U0001f600 Memory",
        "\ud800 Out Of Memory",  # lone surrogate
        "memory: Allocat\u0131on failed",
        "x" * 300 + " GPU Memory",  # longer than the on-stack buffer
        "\u0394" * 300 + " GPU memor" + "Y",
        "\u0394" * 300 + " GPU memor",
    ],
)
def test_oom_matches_str_lower(message):
    assert dm.is_oom_error(message, "E") is reference_is_oom(message, "E")
    assert dm.is_oom_error("", message.replace(" ", "") + "OutOfMemoryError\u0394") is True


@pytest.mark.parametrize(
    ("args", "argname"),
    [((None, "RuntimeError"), "error_message"), (("out of memory", None), "error_type")],
)
def test_oom_rejects_none(args, argname):
    with pytest.raises(TypeError) as info:
        dm.is_oom_error(*args)
    assert str(info.value) == (
        f"Argument '{argname}' has incorrect type (expected str, got NoneType)"
    )


# --- is_chunkable_operation -------------------------------------------------------


@pytest.mark.parametrize(
    ("operation", "expected"),
    [(op, True) for op in CHUNKABLE]
    + [(op, False) for op in NON_CHUNKABLE]
    + [(op, False) for op in ("Zeros", "concatenate", "zeros ", "", None, "random")],
)
def test_chunkable_operation(operation, expected):
    assert dm.is_chunkable_operation(operation) is expected


@pytest.mark.parametrize("operation", [5, b"zeros", type("S", (str,), {})("zeros")])
def test_chunkable_operation_rejects_non_str(operation):
    with pytest.raises(TypeError, match="^Argument 'operation' has incorrect type"):
        dm.is_chunkable_operation(operation)
