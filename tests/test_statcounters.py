"""CounterAggregator and create_aggregator."""

from __future__ import annotations

import functools
import inspect
import math
import operator
import pickle
import statistics
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumetra.monitoring import statcounters
from lumetra.monitoring.statcounters import CounterAggregator, create_aggregator

from conftest import run_threads, scaled

INF = float("inf")
EMPTY = {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}


class FloatLike:
    def __float__(self):
        return 2.5


def fed(values, counter_id=0, num_counters=4):
    agg = CounterAggregator(num_counters)
    for v in values:
        agg.update(counter_id, v)
    return agg


@pytest.mark.parametrize(
    ("values", "expected"),
    [
        ([], EMPTY),
        (
            [2.0, 4.0],
            {"count": 2, "mean": 3.0, "variance": 1.0, "std": 1.0, "min": 2.0, "max": 4.0},
        ),
        ([1.0, 2.0, 3.0, 4.0], {"count": 4, "mean": 2.5, "variance": 1.25, "min": 1.0, "max": 4.0}),
        ([7.0], {"count": 1, "variance": 0.0, "std": 0.0}),
        ([0.1] * 10, {"variance": 0.0, "std": 0.0}),  # the shortcut formula goes negative here
        ([True, 3, FloatLike()], {"count": 3, "min": 1.0, "max": 3.0}),
    ],
)
def test_worked_examples(values, expected):
    stats = fed(values, counter_id=3).get_stats(3)
    assert list(stats) == list(EMPTY)
    assert {k: stats[k] for k in expected} == expected
    assert type(stats["count"]) is int
    assert all(type(v) is float for v in list(stats.values())[1:])


@pytest.mark.parametrize("offset", [1e9, 1e12, 1.5e15, -3e13])
def test_variance_is_stable_under_a_large_offset(offset):
    values = [offset + d for d in (0.0, 1.0, 2.0, 5.0, 3.0)]
    stats = fed(values).get_stats(0)
    assert stats["variance"] == pytest.approx(statistics.pvariance(values), rel=1e-12)
    assert stats["std"] == pytest.approx(statistics.pstdev(values), rel=1e-12)


@settings(max_examples=scaled(300), deadline=None)
@given(st.floats(-1e15, 1e15), st.lists(st.floats(-1e6, 1e6), min_size=1, max_size=30))
def test_matches_python_statistics(offset, deltas):
    values = [offset + d for d in deltas]
    stats = fed(values).get_stats(0)
    assert stats["count"] == len(values)
    # Summed left to right in doubles: from 3.12 on, sum() compensates.
    assert stats["mean"] == functools.reduce(operator.add, values, 0.0) / len(values)
    assert stats["variance"] >= 0.0
    assert stats["variance"] == pytest.approx(statistics.pvariance(values), rel=1e-9, abs=1e-300)
    assert (stats["min"], stats["max"]) == (min(values), max(values))


def test_nan_values():
    stats = fed([2.0, math.nan]).get_stats(0)
    assert math.isnan(stats["min"])  # NaN becomes the minimum ...
    assert stats["max"] == 2.0  # ... and leaves the maximum
    assert math.isnan(stats["variance"]) and math.isnan(stats["std"])
    assert fed([math.nan, 2.0]).get_stats(0)["min"] == 2.0  # NaN <= 2.0 is false


def test_reset_reset_all_and_get_all_stats():
    agg = CounterAggregator(10)
    for counter_id in (7, 2, 7, 4):
        agg.update(counter_id, 1.0)
    assert [(i, s["count"]) for i, s in agg.get_all_stats()] == [(2, 1), (4, 1), (7, 2)]
    assert all(type(pair) is tuple for pair in agg.get_all_stats())
    assert agg.reset(7) is None  # type: ignore[func-returns-value]
    assert agg.get_stats(7) == EMPTY
    agg.update(7, 9.0)
    assert agg.get_stats(7)["mean"] == 9.0  # nothing left from before the reset
    assert agg.reset_all() is None  # type: ignore[func-returns-value]
    assert agg.get_all_stats() == []
    assert all(agg.get_stats(i) == EMPTY for i in range(10))


def test_get_all_stats_calls_a_subclass_override():
    class Tagged(CounterAggregator):
        def get_stats(self, counter_id):
            if counter_id == 3:
                self.reset(counter_id)  # reset between the count check and the read
            return {**super().get_stats(counter_id), "tag": counter_id}

    agg = Tagged(4)
    agg.update(1, 5.0)
    agg.update(3, 5.0)
    assert agg.get_all_stats() == [
        (1, {**fed([5.0]).get_stats(0), "tag": 1}),
        (3, {**EMPTY, "tag": 3}),
    ]

    class Failing(CounterAggregator):
        def get_stats(self, counter_id):
            raise ZeroDivisionError

    failing = Failing(2)
    failing.update(1, 1.0)
    with pytest.raises(ZeroDivisionError):
        failing.get_all_stats()


@pytest.mark.parametrize("counter_id", [-1, 1000, -(2**31)])
@pytest.mark.parametrize("op", ["update", "get_stats", "reset"])
def test_id_out_of_range_changes_nothing(op, counter_id):
    agg = fed([1.0], num_counters=1000)
    with pytest.raises(IndexError) as info:
        getattr(agg, op)(counter_id, *([1.0] if op == "update" else []))
    assert str(info.value) == f"Counter ID {counter_id} out of range"
    assert agg.get_all_stats() == [(0, fed([1.0]).get_stats(0))]


def test_sizes():
    for agg, size in [
        (create_aggregator(), 1000),
        (create_aggregator(5), 5),
        (CounterAggregator(0), 0),
    ]:
        assert type(agg) is CounterAggregator
        with pytest.raises(IndexError, match=f"^Counter ID {size} out of range$"):
            agg.update(size, 1.0)
        if size:
            assert agg.get_stats(size - 1) == EMPTY
    for make in (CounterAggregator, create_aggregator):
        with pytest.raises(MemoryError, match="^Failed to allocate counter storage$"):
            make(-1)


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda a: a.update(2**31, 1.0), OverflowError, "value too large to convert to int"),
        (lambda a: CounterAggregator(2**40), OverflowError, "value too large to convert to int"),
        (lambda a: a.reset(None), TypeError, "an integer is required"),
        (lambda a: a.update(0, "1.5"), TypeError, "must be real number, not str"),
        (
            lambda a: a.update(0),
            TypeError,
            "update() takes exactly 2 positional arguments (1 given)",
        ),
    ],
)
def test_bad_arguments_change_nothing(call, exc, message):
    agg = CounterAggregator(4)
    with pytest.raises(exc) as info:
        call(agg)
    assert str(info.value) == message
    assert agg.get_all_stats() == []


def test_interface():
    agg = CounterAggregator(num_counters=3)
    agg.update(value=4.0, counter_id=2)
    assert agg.get_stats(counter_id=2)["mean"] == 4.0
    class_doc, update_doc = CounterAggregator.__doc__, CounterAggregator.update.__doc__
    assert class_doc is not None and update_doc is not None
    assert class_doc.endswith(
        "Fast counter aggregation in compiled code.\n\n"
        "Uses atomic operations for thread-safe updates without GIL overhead."
    )
    assert create_aggregator.__doc__ == "Create a new CounterAggregator instance."
    assert update_doc.splitlines()[0] == "Update counter with new value."
    assert "Thread-safe via lock (correctness over performance)" in update_doc
    assert str(inspect.signature(create_aggregator)) == "(num_counters=1000)"
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(agg)
    with pytest.raises(AttributeError):
        agg.counters = None  # type: ignore[attr-defined]
    assert statcounters.threading is threading


def test_lock_comes_from_the_module_threading(monkeypatch):
    made = []

    class Lock:
        def __init__(self):
            self.held = 0
            made.append(self)

        def acquire(self):
            self.held += 1

        def release(self):
            self.held -= 1

    monkeypatch.setattr(statcounters, "threading", type("T", (), {"Lock": Lock}))
    agg = CounterAggregator(2)
    agg.update(1, 3.0)
    assert agg.get_stats(1)["count"] == 1
    assert [lock.held for lock in made] == [0]


def test_concurrent_updates_lose_nothing():
    threads, per_thread = 4, 2000
    agg = CounterAggregator(3)

    def work(k):
        for i in range(per_thread):
            agg.update(i % 3, float(k))
            if i % 500 == 0:
                agg.get_all_stats()

    run_threads(work, threads, interval=1e-6)
    stats = [s for _, s in agg.get_all_stats()]
    assert sum(s["count"] for s in stats) == threads * per_thread
    assert sum(s["mean"] * s["count"] for s in stats) == pytest.approx(per_thread * 6)
    assert (min(s["min"] for s in stats), max(s["max"] for s in stats)) == (0.0, 3.0)
