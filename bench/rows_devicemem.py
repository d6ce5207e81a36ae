"""Rows for lumetra.gpu.devicemem, each against a pure-Python version of the same rules."""

from __future__ import annotations

from lumetra.gpu import devicemem

from run import Row, stmt

MAX_SAFE = 2**63 - 1

CHUNKABLE_OPS = frozenset(
    {
        "zeros",
        "ones",
        "empty",
        "full",
        "random.randn",
        "random.rand",
        "random.random",
        "random.standard_normal",
        "random.uniform",
        "arange",
        "linspace",
    }
)
NON_CHUNKABLE_OPS = frozenset(
    {"matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve"}
    | {"inv", "sort", "argsort"}
)

NO_GPU_MEMORY = (2, 0, 1, "No GPU memory available")
FITS = (0, 0, 1, "Allocation fits in GPU memory")
NOT_CHUNKABLE = (2, 0, 1, "Operation not chunkable, falling back to CPU")


def estimate_allocation_bytes(shape: tuple, element_size: int, overhead_factor: float = 1.0):
    total = 1
    for item in shape:
        dim = int(item)
        if dim <= 0:
            return 0
        if total > MAX_SAFE // dim:
            return MAX_SAFE
        total *= dim
    if element_size < 0:
        return 0
    if element_size > 0 and total > MAX_SAFE // element_size:
        return MAX_SAFE
    base = total * element_size
    if overhead_factor > 1.0:
        return min(int(base * overhead_factor), 2**64 - 1)
    return base


def calculate_safe_limit(available_bytes: int, headroom_ratio: float) -> int:
    headroom = min(max(headroom_ratio, 0.0), 0.99)
    return int((1.0 - headroom) * available_bytes)


def decide_allocation_strategy(requested_bytes, available_bytes, headroom_ratio, is_chunkable):
    safe_limit = calculate_safe_limit(available_bytes, headroom_ratio)
    if safe_limit == 0:
        return NO_GPU_MEMORY
    if requested_bytes <= safe_limit:
        return FITS
    if is_chunkable:
        count = -(-requested_bytes // safe_limit)
        return (1, safe_limit, count, f"Chunking into {count} GPU passes")
    return NOT_CHUNKABLE


def is_oom_error(error_message: str, error_type: str) -> bool:
    m = error_message.lower()
    t = error_type.lower()
    return (
        "out of memory" in m
        or "outofmemoryerror" in t
        or ("cuda" in m and "memory" in m)
        or ("allocat" in m and "failed" in m)
        or ("memory" in m and "insufficient" in m)
        or ("gpu" in m and "memory" in m)
    )


def compute_chunk_shapes(shape: tuple, element_size: int, max_chunk_bytes: int) -> list:
    if element_size <= 0:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes == 0:
        raise ValueError("max_chunk_bytes must be positive")
    if not shape:
        return [shape]
    rest = shape[1:]
    row_size = element_size
    for dim in rest:
        row_size *= dim
    rows_per_chunk = 1 if max_chunk_bytes < row_size else max_chunk_bytes // max(row_size, 1)
    chunks = []
    remaining = shape[0]
    while remaining > 0:
        rows = min(rows_per_chunk, remaining)
        chunks.append((rows, *rest))
        remaining -= rows
    return chunks


def score_gpu_suitability(data_size_bytes, operation_type, available_gpu_memory, headroom_ratio):
    safe_limit = calculate_safe_limit(available_gpu_memory, headroom_ratio)
    if safe_limit == 0:
        size_score = 0.0
    elif data_size_bytes <= safe_limit:
        size_score = min(1.0, data_size_bytes * 1.25 / safe_limit)
    else:
        size_score = safe_limit / data_size_bytes
    if operation_type in CHUNKABLE_OPS:
        op_score = 0.9
    elif operation_type in NON_CHUNKABLE_OPS:
        op_score = 0.7
    else:
        op_score = 0.5
    return size_score * op_score


def rows(headline: bool = False) -> list[Row]:
    shape4 = (64, 128, 256, 3)
    message = "CUDA out of memory. Tried to allocate 2.00 GiB (GPU 0; 7.80 GiB total capacity)"
    # 10,000 rows of 32 bytes in chunks of at most 320 bytes: 1,000 chunks.
    chunk_args = ((10_000, 4), 8, 320)
    assert len(devicemem.compute_chunk_shapes(*chunk_args)) == 1000
    assert compute_chunk_shapes(*chunk_args) == devicemem.compute_chunk_shapes(*chunk_args)
    data, free = 3 * 2**30, 8 * 2**30
    return [
        Row(
            "estimate_allocation_bytes(4-d shape, 4)",
            stmt("f(s, 4, 1.1)", f=devicemem.estimate_allocation_bytes, s=shape4),
            "pure Python",
            stmt("f(s, 4, 1.1)", f=estimate_allocation_bytes, s=shape4),
        ),
        Row(
            "decide_allocation_strategy(fits)",
            stmt("f(500, 1000, 0.2, False)", f=devicemem.decide_allocation_strategy),
            "pure Python",
            stmt("f(500, 1000, 0.2, False)", f=decide_allocation_strategy),
            headline=True,
        ),
        Row(
            "decide_allocation_strategy(chunked)",
            stmt("f(2500, 1000, 0.2, True)", f=devicemem.decide_allocation_strategy),
            "pure Python",
            stmt("f(2500, 1000, 0.2, True)", f=decide_allocation_strategy),
        ),
        Row(
            "is_oom_error(typical message)",
            stmt("f(m, 'RuntimeError')", f=devicemem.is_oom_error, m=message),
            "pure Python",
            stmt("f(m, 'RuntimeError')", f=is_oom_error, m=message),
        ),
        Row(
            "is_oom_error(no match)",
            stmt("f(m, 'RuntimeError')", f=devicemem.is_oom_error, m="CUDA driver too old"),
            "pure Python",
            stmt("f(m, 'RuntimeError')", f=is_oom_error, m="CUDA driver too old"),
        ),
        Row(
            "compute_chunk_shapes(1,000 chunks)",
            stmt("f(*a)", f=devicemem.compute_chunk_shapes, a=chunk_args),
            "pure Python",
            stmt("f(*a)", f=compute_chunk_shapes, a=chunk_args),
            vs_floor=False,
        ),
        Row(
            "score_gpu_suitability(...)",
            stmt("f(d, 'matmul', a, 0.2)", f=devicemem.score_gpu_suitability, d=data, a=free),
            "pure Python",
            stmt("f(d, 'matmul', a, 0.2)", f=score_gpu_suitability, d=data, a=free),
        ),
    ]
