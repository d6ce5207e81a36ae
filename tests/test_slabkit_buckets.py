"""FastBucketAllocator and the size functions, against Python models."""

from __future__ import annotations

import inspect
import pickle
from functools import partial

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumetra.memory.slabkit import (
    FastBucketAllocator,
    fast_align_size,
    fast_can_fit_aligned,
    fast_get_bucket_size,
)

from conftest import run_threads, scaled

I32_MAX = 2**31 - 1
I32_MIN = -(2**31)
TOO_LARGE_INT32 = "value too large to convert to int32_t"


def c_div(a: int, b: int) -> int:
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


def align(size: int, alignment: int) -> int:
    return (size + alignment - 1) & ~(alignment - 1)


def bucket_of(size: int, step: int) -> int:
    return c_div(size + step - 1, step) * step


class ModelAllocator:
    """The allocator as plain Python: a dict of lists searched in sorted order."""

    def __init__(self, step=8, small=256, medium=4096):
        self.step, self.medium = step, medium
        self.lists: dict[int, list[int]] = {s: [] for s in range(step, small + 1, step)}
        self.lists.update({s: [] for s in range(small + step, medium + 1, step)})

    def bucket(self, size):
        return -1 if size > self.medium else bucket_of(size, self.step)

    def add_to_bucket(self, offset, size):
        b = self.bucket(size)
        if b <= 0 or b != size or b not in self.lists:
            return False
        self.lists[b].append(offset)
        return True

    def remove_from_bucket(self, size):
        b = self.bucket(size)
        if b <= 0 or not self.lists.get(b):
            return None
        return self.lists[b].pop()

    def find_best_fit_bucket(self, size, alignment):
        b = self.bucket(size)
        if b <= 0:
            return None
        candidates = [b] if self.lists.get(b) else []
        candidates += [k for k in sorted(self.lists) if k > b and self.lists[k]]
        for key in candidates:
            offset = self.lists[key].pop()
            if align(offset, alignment) + size <= offset + key:
                return offset
            self.lists[key].append(offset)
        return None


# --- size functions -----------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "result"),
    [
        ((1,), 8),
        ((8,), 8),
        ((9,), 16),
        ((100, 64), 128),
        ((0,), 0),
        ((-9,), 0),
        ((-17,), -8),
        ((10, -8), 0),
        ((I32_MAX,), 2**31),
        ((I32_MAX, I32_MAX), I32_MAX),
        ((I32_MIN, -1), I32_MIN - 2),
    ],
)
def test_fast_get_bucket_size(args, result):
    assert fast_get_bucket_size(*args) == result


def test_fast_get_bucket_size_zero_step():
    with pytest.raises(ZeroDivisionError, match="step"):
        fast_get_bucket_size(10, 0)
    with pytest.raises(ZeroDivisionError):
        fast_get_bucket_size(size=0, step=0)


@pytest.mark.parametrize(
    ("size", "alignment", "result"),
    [(13, 8, 16), (16, 8, 16), (0, 1, 0), (-5, 8, 0), (I32_MAX, 8, 2**31), (1, 2**30, 2**30)],
)
def test_fast_align_size(size, alignment, result):
    assert fast_align_size(size, alignment) == result


@pytest.mark.parametrize("alignment", [6, 0, -8, I32_MIN, 12])
def test_fast_align_size_rejects_non_powers(alignment):
    with pytest.raises(ValueError, match="^Alignment must be a power of 2$"):
        fast_align_size(13, alignment)


@pytest.mark.parametrize(
    ("args", "result"),
    [
        ((0, 64, 64, 8), False),
        ((0, 64, 63, 8), True),
        ((4, 64, 60, 8), False),
        ((4, 64, 59, 8), True),
        ((4, 64, 59, 0), True),  # no power-of-two check: alignment 0 aligns to 0
        ((I32_MAX, I32_MAX, I32_MAX, 8), False),
        ((I32_MAX, I32_MAX, 1, 1), True),
    ],
)
def test_fast_can_fit_aligned(args, result):
    assert fast_can_fit_aligned(*args) is result


@given(st.integers(I32_MIN, I32_MAX), st.integers(I32_MIN, I32_MAX).filter(bool))
def test_bucket_size_matches_model(size, step):
    assert fast_get_bucket_size(size, step) == bucket_of(size, step)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: fast_get_bucket_size(2**31), OverflowError, "value too large to convert to int"),
        (lambda: fast_align_size(1, None), TypeError, "an integer is required"),  # type: ignore[arg-type]
    ],
)
def test_function_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


# --- allocator ----------------------------------------------------------------------


def drain(allocator, keys):
    return {k: list(iter(partial(allocator.remove_from_bucket, k), None)) for k in keys}


def test_add_and_remove_examples():
    a = FastBucketAllocator()
    assert a.add_to_bucket(1024, 24) is True
    assert a.add_to_bucket(1024, 20) is False
    assert a.add_to_bucket(0, 5000) is False
    assert a.add_to_bucket(0, 0) is False
    assert a.remove_from_bucket(24) == 1024
    a.add_to_bucket(100, 24)
    a.add_to_bucket(offset=200, size=24)
    assert [a.remove_from_bucket(17) for _ in range(3)] == [200, 100, None]
    assert a.remove_from_bucket(5000) is None
    assert a.remove_from_bucket(-3) is None


def test_best_fit_examples():
    a = FastBucketAllocator()
    a.add_to_bucket(8, 24)
    assert a.find_best_fit_bucket(24, 16) is None
    a.add_to_bucket(96, 32)
    assert a.find_best_fit_bucket(24, 16) == 96
    assert a.remove_from_bucket(24) == 8  # the unfit offset went back
    assert a.find_best_fit_bucket(5000, 8) is None
    a.add_to_bucket(40, 24)
    assert a.find_best_fit_bucket(size=17, alignment=8) == 40


@pytest.mark.parametrize("step", [0, -8, I32_MIN])
def test_constructor_rejects_non_positive_step(step):
    with pytest.raises(ValueError, match="bucket_size_step"):
        FastBucketAllocator(step)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda a: FastBucketAllocator(2**31), OverflowError, TOO_LARGE_INT32),
        (lambda a: a.add_to_bucket(2**31, 8), OverflowError, TOO_LARGE_INT32),
        (lambda a: a.remove_from_bucket(-(2**31) - 1), OverflowError, TOO_LARGE_INT32),
        (lambda a: a.find_best_fit_bucket(8, "8"), TypeError, "an integer is required"),
    ],
)
def test_allocator_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call(FastBucketAllocator())
    assert str(info.value) == message


def test_allocator_surface():
    a = FastBucketAllocator(bucket_size_step=16.5, small_block_max=64.9, medium_block_max=64)  # type: ignore[arg-type]
    assert a.add_to_bucket(True, 64.5) is True  # type: ignore[arg-type]
    assert a.remove_from_bucket(64) == 1
    assert a.remove_from_bucket(64) is None
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(a)
    assert str(inspect.signature(FastBucketAllocator)) == (
        "(bucket_size_step=8, small_block_max=256, medium_block_max=4096)"
    )


def test_subclass_init_buckets_override_is_called():
    calls: list[object] = []

    class NoBuckets(FastBucketAllocator):
        def _init_buckets(self):
            calls.append(self)

    class Logged(FastBucketAllocator):
        def _init_buckets(self):
            calls.append("logged")
            super()._init_buckets()

    bare = NoBuckets()
    assert calls == [bare]
    assert bare.add_to_bucket(0, 8) is False
    logged = Logged(8, 16, 16)
    assert calls[-1] == "logged"
    assert logged.add_to_bucket(3, 16) and logged.remove_from_bucket(16) == 3


CONFIGS = st.tuples(st.integers(1, 12), st.integers(-20, 60), st.integers(-20, 120))
OPS = st.lists(
    st.one_of(
        st.tuples(st.just("add"), st.integers(-50, 300), st.integers(-10, 130)),
        st.tuples(st.just("remove"), st.integers(-10, 130)),
        st.tuples(st.just("fit"), st.integers(-10, 130), st.sampled_from([-4, 0, 1, 3, 4, 16])),
        st.tuples(st.just("init")),
    ),
    max_size=60,
)


@settings(max_examples=scaled(150), deadline=None)
@given(CONFIGS, OPS)
def test_random_sequences_match_model(config, ops):
    native, model = FastBucketAllocator(*config), ModelAllocator(*config)
    for op, *args in ops:
        if op == "add":
            assert native.add_to_bucket(*args) == model.add_to_bucket(*args)
        elif op == "init":
            assert native._init_buckets() is None  # type: ignore[func-returns-value]
            model = ModelAllocator(*config)
        elif op == "remove":
            assert native.remove_from_bucket(*args) == model.remove_from_bucket(*args)
        else:
            assert native.find_best_fit_bucket(*args) == model.find_best_fit_bucket(*args)
    assert drain(native, model.lists) == {k: v[::-1] for k, v in model.lists.items()}


def test_threads_lose_no_offset():
    threads, per_thread = 4, 400
    a = FastBucketAllocator()
    taken: list[list[int]] = [[] for _ in range(threads)]

    def work(t):
        for i in range(per_thread):
            a.add_to_bucket(t * per_thread + i, 8 * (1 + i % 4))
            if i % 3 == 0:
                got = a.find_best_fit_bucket(8, 8) if i % 2 else a.remove_from_bucket(16)
                if got is not None:
                    taken[t].append(got)

    run_threads(work, threads)
    left = [o for offsets in drain(a, [8, 16, 24, 32]).values() for o in offsets]
    assert sorted(left + [o for t in taken for o in t]) == list(range(threads * per_thread))
