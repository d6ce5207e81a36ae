"""lumetra.gpu.devicemem: chunk shapes, chunk counts, suitability, pressure, headroom."""

from __future__ import annotations

import contextlib
import math
import sys
import tracemalloc

import pytest
from hypothesis import given
from hypothesis import strategies as st

from lumetra.gpu import devicemem as dm
from lumetra.gpu.devicemem import (
    calculate_memory_pressure,
    calculate_optimal_chunks,
    compute_chunk_shapes,
    recommend_headroom,
    score_gpu_suitability,
)

U64_MAX = 2**64 - 1
I32_MAX = 2**31 - 1

# --- compute_chunk_shapes ---------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (((10, 4), 8, 100), [(3, 4), (3, 4), (3, 4), (1, 4)]),
        (((10,), 4, 1000), [(10,)]),
        (((10,), 4, 12), [(3,), (3,), (3,), (1,)]),
        (((5, 1000), 8, 100), [(1, 1000)] * 5),  # one row is larger than the limit
        (((9, 2, 3), 1, 18), [(3, 2, 3)] * 3),
        (((0, 4), 8, 100), []),
        (((-3, 4), 8, 100), []),
        (((1000,), 1, 2**32), [(1000,)]),
        ((((I32_MAX,), 1, U64_MAX)), [(I32_MAX,)]),
        (((2.9, 4), 8, 64), [(2, 4)]),
        # A row of zero bytes takes no memory: every row in one chunk.
        (((10, 0), 8, 100), [(10, 0)]),
        (((10, 3, 0), 8, 1), [(10, 3, 0)]),
        # A row whose byte size exceeds 64 bits never fits: one row per chunk
        # (a wrapped size of 0 or 8 bytes would have put all rows in one).
        (((3, 2**61), 8, U64_MAX), [(1, 2**61)] * 3),
        (((3, 2**61 + 1), 8, 100), [(1, 2**61 + 1)] * 3),
    ],
)
def test_chunk_shapes(args, expected):
    result = compute_chunk_shapes(*args)
    assert type(result) is list
    assert all(type(chunk) is tuple for chunk in result)
    assert result == expected


def test_scalar_shape_and_trailing_items_are_the_same_objects():
    scalar = ()
    assert compute_chunk_shapes(scalar, 8, 100) == [()]
    assert compute_chunk_shapes(scalar, 8, 100)[0] is scalar

    width, depth = 10**3 + 7, 2.0  # not cached small ints, a float kept as given
    shape = (25, width, depth)
    refs = sys.getrefcount(width), sys.getrefcount(depth)
    chunks = compute_chunk_shapes(shape, 1, 10 * width * 2)  # type: ignore[arg-type]
    assert chunks == [(10, width, depth), (10, width, depth), (5, width, depth)]
    assert all(c[1] is width and c[2] is depth and type(c[0]) is int for c in chunks)
    del chunks
    assert (sys.getrefcount(width), sys.getrefcount(depth)) == refs


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        (((10, 4), 0, 100), ValueError, "element_size must be positive"),
        (((10, 4), -1, 0), ValueError, "element_size must be positive"),
        (((10, 4), 8, 0), ValueError, "max_chunk_bytes must be positive"),
        # The checks come after the conversions and before the shape's length.
        ((None, 0, 100), ValueError, "element_size must be positive"),
        ((None, 8, 100), TypeError, "object of type 'NoneType' has no len()"),
        (([10, 4], 0, 100), TypeError, "Argument 'shape' has incorrect type"),
        (((10, 4), 8, -1), OverflowError, "can't convert negative value to uint64_t"),
        (((10, 4), 2**31, 100), OverflowError, "value too large to convert to int"),
        (((10, -4), 8, 100), OverflowError, "can't convert negative value to uint64_t"),
        # Trailing dimensions are converted before the first one.
        (((2**40, -4), 8, 100), OverflowError, "can't convert negative value to uint64_t"),
        (((3000000000,), 1, 2**32), OverflowError, "value too large to convert to int"),
        (((10, "4"), 8, 100), TypeError, "an integer is required"),
    ],
)
def test_chunk_shape_errors(args, error, message):
    with pytest.raises(error) as info:
        compute_chunk_shapes(*args)
    assert str(info.value).startswith(message)


def reference_row_size(element_size: int, rest: tuple[int, ...]) -> int:
    return element_size * math.prod(rest)


@given(
    first=st.integers(-2, 3000),
    rest=st.lists(st.one_of(st.integers(0, 64), st.integers(0, 2**40)), max_size=3),
    element_size=st.integers(1, 16),
    max_chunk_bytes=st.one_of(st.integers(1, 4096), st.integers(1, U64_MAX)),
)
def test_chunk_shapes_property(first, rest, element_size, max_chunk_bytes):
    shape = (first, *rest)
    chunks = compute_chunk_shapes(shape, element_size, max_chunk_bytes)
    rows = [chunk[0] for chunk in chunks]
    assert sum(rows) == max(first, 0)
    assert all(r >= 1 for r in rows)
    assert all(chunk[1:] == shape[1:] for chunk in chunks)
    row_size = reference_row_size(element_size, shape[1:])
    if row_size == 0:
        assert len(chunks) == (1 if first > 0 else 0)
        return
    rows_per_chunk = max(1, max_chunk_bytes // row_size)
    assert all(r == rows_per_chunk for r in rows[:-1])
    if row_size <= max_chunk_bytes:
        assert all(r * row_size <= max_chunk_bytes for r in rows)


# --- calculate_optimal_chunks -----------------------------------------------------


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((2500, 1000, 0.2), 4),
        ((100, 1000, 0.2), 1),
        ((0, 1000, 0.2), 1),  # min_chunks
        ((10**9, 1000, 0.2), 1000),  # max_chunks
        ((2500, 0, 0.2), 1000),  # no usable memory
        ((2500, 0, 0.2, 1, 7), 7),
        ((2500, 1000, 0.2, 5, 3), 5),  # below min_chunks wins over max_chunks
        ((8000, 1000, 0.2, 5, 3), 3),
        ((0, 1000, 0.2, -5, 3), 0),
        ((U64_MAX, 1, 0.0, 1, I32_MAX), I32_MAX),  # saturates at the int32 limit
        ((2**53 + 1, 2**53, 0.0), 2),  # exact ceiling
    ],
)
def test_optimal_chunks(args, expected):
    assert calculate_optimal_chunks(*args) == expected


# --- score_gpu_suitability --------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((640, "zeros", 1000, 0.2), 0.9),  # size score reaches 1.0 at 80% of the limit
        ((800, "random.randn", 1000, 0.2), 0.9),
        ((320, "matmul", 1000, 0.2), 0.35),
        ((1600, "sort", 1000, 0.2), 0.35),  # outgrows the limit: 800 / 1600
        ((100, "custom_op", 0, 0.2), 0.0),
        ((100, None, 1000, 0.2), 0.5 * 100 * 1.25 / 800),
        ((400, "Zeros", 1000, 0.2), 0.5 * 0.625),
        ((0, "zeros", 1000, 0.2), 0.0),
        ((U64_MAX, "fft", 1, 0.0), 0.7 / U64_MAX),
    ],
)
def test_suitability(args, expected):
    result = score_gpu_suitability(*args)
    assert type(result) is float
    assert result == pytest.approx(expected, rel=1e-12, abs=1e-300)


# --- calculate_memory_pressure and recommend_headroom -----------------------------


@pytest.mark.parametrize(
    ("used", "total", "expected"),
    [(5, 0, 1.0), (0, 100, 0.0), (150, 100, 1.0), (25, 100, 0.25), (U64_MAX, U64_MAX, 1.0)],
)
def test_memory_pressure(used, total, expected):
    assert calculate_memory_pressure(used, total) == expected


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((0.9,), 0.8),
        ((0.7,), 0.6),
        ((0.5,), 0.5),
        ((0.1,), 0.4),
        ((0.1, 0.35), 0.3),
        ((0.5, 0.95), 0.8),
        ((0.5, 0.1), 0.3),
        ((0.8, 0.5), 0.65),  # each boundary belongs to the lower band
        ((0.6, 0.5), 0.5),
        ((0.3, 0.5), 0.4),
        ((0.9, 0.0), 0.8),  # the top band is not lowered by a small base
        ((True, 0.5), 0.8),
    ],
)
def test_recommend_headroom(args, expected):
    assert recommend_headroom(*args) == pytest.approx(expected)


def test_no_memory_growth_over_repeated_calls():
    def work():
        for _ in range(300):
            dm.compute_chunk_shapes((100, 7, 3.0), 8, 100)  # type: ignore[arg-type]
            dm.decide_allocation_strategy(2500, 1000, 0.2, True)
            dm.is_oom_error("\u0394" * 300 + " x", "OutOfMemory\u0394")
            dm.estimate_allocation_bytes((5, 6, 7), 8, 1.5)
            dm.score_gpu_suitability(1, "zeros", 2, 0.1)
            with contextlib.suppress(OverflowError):
                dm.compute_chunk_shapes((10, -4), 8, 100)

    tracemalloc.start()
    try:
        work()
        before = tracemalloc.get_traced_memory()[0]
        work()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 2_000
