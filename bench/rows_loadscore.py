"""Rows for lumetra.plugins.analyzer.loadscore."""

from __future__ import annotations

import argparse
import inspect
import re

from lumetra.plugins.analyzer import loadscore

from run import Row, stmt

# --- pure-Python reference implementations -----------------------------------------

CPU = ["for", "while", "range", "numpy", "scipy", "math", "calculation", "compute"]
CPU += ["algorithm", "sum", "prod", "dot", "matmul", "fft", "linalg"]
MEMORY = ["array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache"]
MEMORY += ["append", "extend"]
PARALLEL = ["multiprocessing", "threading", "concurrent", "async", "parallel", "pool"]
PARALLEL += ["worker", "chunk", "batch", "processpoolexecutor", "threadpoolexecutor"]
GPU_OPS = ["matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate"]
GPU_OPS += ["sum", "mean", "std", "var", "sin", "cos", "exp", "log", "sqrt", "power", "**"]
GPU_OPS += ["add", "subtract", "multiply", "divide", "/", "*", "+", "-", "linalg"]
GPU_OPS += ["linear_algebra", "array", "asarray", "zeros", "ones", "empty", "full"]
LARGE_DATA = ["reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion"]
LARGE_DATA += ["1e6", "1e9", "1024", "megabyte", "mb"]
EMBARRASSING = ["workload", "benchmark", "intensive", "chunk_workload", "map", "apply"]
EMBARRASSING += ["vectorize", "broadcast"]
SEQUENTIAL = ["global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered"]
SEQUENTIAL += ["dependencies"]
NUMPY = ["numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc"]
NUMPY += ["dot", "matmul", "linalg", "fft", "sum", "mean", "std", "var", "min", "max"]
NUMPY += ["argmax", "argmin", "reshape", "transpose", "concatenate", "stack", "split"]
PANDAS = ["pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform"]
PANDAS += ["merge", "join", "concat", "pivot", "melt", "query", "eval", "rolling"]
PANDAS += ["resample", "sort_values"]
SKLEARN = ["sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv"]
SKLEARN += ["randomizedsearchcv", "pipeline", "featureunion", "train_test_split"]
SKLEARN += ["classification", "regression", "clustering", "preprocessing"]
SKLEARN += ["model_selection", "metrics", "ensemble"]

PATTERNS = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(
        r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b", re.IGNORECASE
    ),
}


def clamp(value, lo, hi):
    return lo if value < lo else min(value, hi)


def py_quick_framework_score(code, framework):
    pattern = PATTERNS.get(framework)
    if pattern is None:
        return 0.0
    matches = len(pattern.findall(code))
    return 1.0 if matches > 10 else matches * 0.1


def py_score_indicators(code, function_name):
    code_lower = code.lower()
    func_lower = function_name.lower() if function_name else ""

    def count(entries, name_too=False):
        return sum(1 for e in entries if e in code_lower or (name_too and e in func_lower))

    return (
        count(CPU),
        count(MEMORY),
        count(PARALLEL),
        count(GPU_OPS, True),
        count(LARGE_DATA),
        count(EMBARRASSING, True),
        count(SEQUENTIAL),
    )


def py_score_framework_patterns(code):
    code_lower = code.lower()
    counts = [sum(1 for e in entries if e in code_lower) for entries in (NUMPY, PANDAS, SKLEARN)]
    return tuple(clamp(c * (1.0 / n), 0.0, 1.0) for c, n in zip(counts, (25, 18, 18), strict=True))


def py_determine_workload_pattern(  # noqa: PLR0911, PLR0917 (mirrors the interface)
    cpu_intensity,
    memory_intensity,
    parallelization_potential,
    gpu_suitability,
    gpu_operation_score,
    numpy_score,
    pandas_score,
    sklearn_score,
    sequential_count,
    embarrassing_count,
    cpu_threshold,
    memory_threshold,
    gpu_threshold,
    numpy_threshold,
    pandas_threshold,
    sklearn_threshold,
    gpu_available,
):
    if sklearn_score > sklearn_threshold:
        return 12
    if pandas_score > pandas_threshold:
        return 10
    if numpy_score > numpy_threshold:
        return 8
    if gpu_available and gpu_suitability > gpu_threshold:
        if gpu_operation_score > 0.7 and cpu_intensity > 0.6:
            return 6
        if memory_intensity > 0.5:
            return 7
        return 5
    if embarrassing_count > 0 or parallelization_potential > 0.6:
        return 3
    if cpu_intensity > cpu_threshold:
        return 1
    if memory_intensity > memory_threshold:
        return 2
    if sequential_count > 2:
        return 4
    return 0


# --- rows -------------------------------------------------------------------------

SNIPPET = """
def normalise(batch):
    import numpy as np
    data = np.asarray(batch, dtype=np.float64)
    mean = data.mean(axis=0)
    std = data.std(axis=0) + 1e-9
    return np.array((data - mean) / std)
"""

# Falls through every rule to the last one: the longest decision.
PATTERN_ARGS = (0.1, 0.1, 0.1, 0.9, 0.9, 0.1, 0.1, 0.1, 1, 0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, False)


def rows(headline: bool = False) -> list[Row]:
    source = inspect.getsource(argparse)
    texts = {"2 KB": source[:2048], "8 KB": source[:8192], "50 KB": source[:50_000]}
    ls = loadscore
    result = []
    for label, text in texts.items():
        result += [
            Row(
                f"score_indicators, {label} source",
                stmt("f(t, 'parse_args')", f=ls.score_indicators, t=text),
                "Python substring tests",
                stmt("f(t, 'parse_args')", f=py_score_indicators, t=text),
                vs_floor=False,
                series="score_indicators",
                x=len(text),
                x_label="text size (characters)",
            ),
            Row(
                f"score_framework_patterns, {label} source",
                stmt("f(t)", f=ls.score_framework_patterns, t=text),
                "Python substring tests",
                stmt("f(t)", f=py_score_framework_patterns, t=text),
                vs_floor=False,
                series="score_framework_patterns",
                x=len(text),
                x_label="text size (characters)",
            ),
        ]
    result += [
        # How much the one-pass scan adds to lower-casing the text, which any
        # implementation has to do.
        Row(
            "score_indicators, 50 KB (lower + scan)",
            stmt("f(t, 'parse_args')", f=ls.score_indicators, t=texts["50 KB"]),
            "str.lower() alone",
            stmt("t.lower()", t=texts["50 KB"]),
            vs_floor=False,
        ),
        Row(
            "quick_framework_score, 220 B snippet",
            stmt("f(t, 'numpy')", f=ls.quick_framework_score, t=SNIPPET),
            "Python with the same patterns",
            stmt("f(t, 'numpy')", f=py_quick_framework_score, t=SNIPPET),
        ),
        Row(
            "determine_workload_pattern (17 args)",
            stmt("f(*a)", f=ls.determine_workload_pattern, a=PATTERN_ARGS),
            "Python reference",
            stmt("f(*a)", f=py_determine_workload_pattern, a=PATTERN_ARGS),
            headline=True,
        ),
        Row(
            "calculate_gpu_suitability(..., '8.6')",
            stmt("f(0.8, 0.5, 0.5, True, '8.6')", f=ls.calculate_gpu_suitability),
        ),
    ]
    return result
