"""CounterAggregator and create_aggregator."""

from __future__ import annotations

import gc
import inspect
import math
import pickle
import statistics
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumetra.monitoring import statcounters
from lumetra.monitoring.statcounters import CounterAggregator, create_aggregator

INF = float("inf")
EMPTY = {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}
KEYS = ["count", "mean", "variance", "std", "min", "max"]


class FloatLike:
    def __float__(self):
        return 2.5


def fed(values, counter_id=0, num_counters=4):
    agg = CounterAggregator(num_counters)
    for v in values:
        agg.update(counter_id, v)
    return agg


# --- statistics -----------------------------------------------------------------


def test_new_aggregator_is_empty():
    agg = CounterAggregator()
    for counter_id in (0, 999):
        stats = agg.get_stats(counter_id)
        assert stats == EMPTY
        assert list(stats) == KEYS
        assert type(stats["count"]) is int
    assert agg.get_all_stats() == []


@pytest.mark.parametrize(
    ("values", "expected"),
    [
        (
            [2.0, 4.0],
            {"count": 2, "mean": 3.0, "variance": 1.0, "std": 1.0, "min": 2.0, "max": 4.0},
        ),
        ([1.0, 2.0, 3.0, 4.0], {"count": 4, "mean": 2.5, "variance": 1.25, "min": 1.0, "max": 4.0}),
        ([7.0], {"count": 1, "mean": 7.0, "variance": 0.0, "std": 0.0, "min": 7.0, "max": 7.0}),
        ([0.1] * 10, {"count": 10, "variance": 0.0, "std": 0.0, "min": 0.1, "max": 0.1}),
        ([True, 3, FloatLike()], {"count": 3, "min": 1.0, "max": 3.0}),
    ],
)
def test_worked_examples(values, expected):
    stats = fed(values, counter_id=3).get_stats(3)
    assert list(stats) == KEYS
    for key, value in expected.items():
        assert stats[key] == value, key
    assert all(type(stats[k]) is float for k in KEYS[1:])


@pytest.mark.parametrize("offset", [1e9, 1e12, 1.5e15, -3e13])
def test_variance_is_stable_under_a_large_offset(offset):
    values = [offset + d for d in (0.0, 1.0, 2.0, 5.0, 3.0)]
    stats = fed(values).get_stats(0)
    expected = statistics.pvariance(values)
    assert stats["variance"] == pytest.approx(expected, rel=1e-12)
    assert stats["std"] == pytest.approx(math.sqrt(expected), rel=1e-12)


def test_equal_large_values_have_zero_spread():
    stats = fed([123456789.123] * 7).get_stats(0)
    assert stats["variance"] == 0.0
    assert stats["std"] == 0.0


@settings(max_examples=300, deadline=None)
@given(
    st.floats(-1e15, 1e15),
    st.lists(st.floats(-1e6, 1e6), min_size=1, max_size=30),
)
def test_matches_python_statistics(offset, deltas):
    values = [offset + d for d in deltas]
    stats = fed(values).get_stats(0)
    assert stats["count"] == len(values)
    assert stats["mean"] == sum(values) / len(values)
    assert stats["variance"] >= 0.0
    assert stats["variance"] == pytest.approx(statistics.pvariance(values), rel=1e-9, abs=1e-300)
    assert stats["min"] == min(values)
    assert stats["max"] == max(values)


def test_nan_becomes_minimum_and_leaves_maximum():
    nan = float("nan")
    stats = fed([2.0, nan]).get_stats(0)
    assert math.isnan(stats["min"])
    assert stats["max"] == 2.0
    assert math.isnan(stats["variance"])
    assert math.isnan(stats["std"])
    # A NaN minimum is replaced by the next value, since NaN <= value is false.
    assert fed([nan, 2.0]).get_stats(0)["min"] == 2.0


def test_reset_and_reset_all():
    agg = CounterAggregator(5)
    for counter_id in (1, 3, 4):
        agg.update(counter_id, 2.0)
        agg.update(counter_id, 4.0)
    assert agg.reset(3) is None
    assert agg.get_stats(3) == EMPTY
    assert [i for i, _ in agg.get_all_stats()] == [1, 4]
    agg.update(3, 9.0)
    assert agg.get_stats(3)["mean"] == 9.0  # no trace of the values before the reset
    assert agg.reset_all() is None
    assert agg.get_all_stats() == []
    assert all(agg.get_stats(i) == EMPTY for i in range(5))


def test_get_all_stats_lists_used_counters_in_order():
    agg = CounterAggregator(10)
    for counter_id in (7, 2, 7):
        agg.update(counter_id, 1.0)
    result = agg.get_all_stats()
    assert [(i, s["count"]) for i, s in result] == [(2, 1), (7, 2)]
    assert all(type(pair) is tuple and len(pair) == 2 for pair in result)


def test_subclass_override_used_by_get_all_stats():
    calls = []

    class Tagged(CounterAggregator):
        def get_stats(self, counter_id):
            calls.append(counter_id)
            stats = super().get_stats(counter_id)
            stats["tag"] = "sub"
            return stats

    agg = Tagged(4)
    agg.update(2, 5.0)
    assert agg.get_all_stats() == [(2, {**fed([5.0], 2).get_stats(2), "tag": "sub"})]
    assert calls == [2]

    class Plain(CounterAggregator):
        pass

    plain = Plain(4)
    plain.update(1, 1.0)
    assert plain.get_all_stats() == [(1, fed([1.0], 1).get_stats(1))]


def test_override_that_resets_is_reported_as_empty():
    class Resetting(CounterAggregator):
        def get_stats(self, counter_id):
            self.reset(counter_id)
            return super().get_stats(counter_id)

    agg = Resetting(3)
    agg.update(0, 1.0)
    agg.update(2, 1.0)
    assert agg.get_all_stats() == [(0, EMPTY), (2, EMPTY)]


def test_override_errors_propagate():
    class Failing(CounterAggregator):
        def get_stats(self, counter_id):
            raise ZeroDivisionError

    agg = Failing(2)
    agg.update(1, 1.0)
    with pytest.raises(ZeroDivisionError):
        agg.get_all_stats()


# --- construction and bad input ---------------------------------------------------


@pytest.mark.parametrize(
    ("make", "size"),
    [
        (create_aggregator, 1000),
        (lambda: create_aggregator(5), 5),
        (lambda: create_aggregator(num_counters=2.9), 2),
        (lambda: CounterAggregator(num_counters=True), 1),
    ],
)
def test_sizes(make, size):
    agg = make()
    assert type(agg) is CounterAggregator
    agg.get_stats(size - 1)
    with pytest.raises(IndexError, match=f"^Counter ID {size} out of range$"):
        agg.get_stats(size)


@pytest.mark.parametrize("counter_id", [-1, 1000, 2**31 - 1, -(2**31)])
@pytest.mark.parametrize("op", ["update", "get_stats", "reset"])
def test_id_out_of_range(op, counter_id):
    agg = CounterAggregator()
    agg.update(0, 1.0)
    args = (counter_id, 1.0) if op == "update" else (counter_id,)
    with pytest.raises(IndexError) as info:
        getattr(agg, op)(*args)
    assert str(info.value) == f"Counter ID {counter_id} out of range"
    assert agg.get_all_stats() == [(0, fed([1.0]).get_stats(0))]


def test_zero_counters_rejects_every_id():
    agg = CounterAggregator(0)
    with pytest.raises(IndexError, match="^Counter ID 0 out of range$"):
        agg.update(0, 1.0)
    assert agg.get_all_stats() == []
    agg.reset_all()


@pytest.mark.parametrize("num_counters", [-1, -(2**31)])
def test_negative_size_fails_allocation(num_counters):
    with pytest.raises(MemoryError, match="^Failed to allocate counter storage$"):
        CounterAggregator(num_counters)
    with pytest.raises(MemoryError, match="^Failed to allocate counter storage$"):
        create_aggregator(num_counters)


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda a: a.update(2**31, 1.0), OverflowError, "value too large to convert to int"),
        (lambda a: a.get_stats(-(2**31) - 1), OverflowError, "value too large to convert to int"),
        (lambda a: CounterAggregator(2**40), OverflowError, "value too large to convert to int"),
        (lambda a: a.update("1", 1.0), TypeError, "an integer is required"),
        (lambda a: a.reset(None), TypeError, "an integer is required"),
        (lambda a: a.update(0, "1.5"), TypeError, "must be real number, not str"),
        (lambda a: a.update(0, None), TypeError, "must be real number, not NoneType"),
        (
            lambda a: a.update(0),
            TypeError,
            "update() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda a: a.get_all_stats(1),
            TypeError,
            "get_all_stats() takes exactly 0 positional arguments (1 given)",
        ),
        (
            lambda a: CounterAggregator(1, 2),
            TypeError,
            "CounterAggregator() takes at most 1 positional argument (2 given)",
        ),
        (
            lambda a: a.update(0, 1.0, counter_id=1),
            TypeError,
            "update() got multiple values for keyword argument 'counter_id'",
        ),
        (
            lambda a: create_aggregator(size=3),
            TypeError,
            "create_aggregator() got an unexpected keyword argument 'size'",
        ),
    ],
)
def test_bad_arguments_change_nothing(call, exc, message):
    agg = CounterAggregator(4)
    with pytest.raises(exc) as info:
        call(agg)
    assert str(info.value) == message
    assert agg.get_all_stats() == []


def test_keywords_accepted():
    agg = CounterAggregator(num_counters=3)
    agg.update(value=4.0, counter_id=2)
    assert agg.get_stats(counter_id=2)["mean"] == 4.0
    agg.reset(counter_id=2)
    assert agg.get_all_stats() == []


# --- the type -------------------------------------------------------------------


def test_interface_text():
    assert CounterAggregator.__doc__.startswith(
        "Fast counter aggregation in compiled code.\n\n"
        "Uses atomic operations for thread-safe updates without GIL overhead."
    )
    assert create_aggregator.__doc__ == "Create a new CounterAggregator instance."
    first_lines = {
        "update": "Update counter with new value.",
        "get_stats": "Get statistics for a counter.",
        "reset": "Reset a specific counter.",
        "reset_all": "Reset all counters.",
        "get_all_stats": "Get statistics for all counters.",
    }
    for name, line in first_lines.items():
        assert getattr(CounterAggregator, name).__doc__.splitlines()[0] == line
    assert "Thread-safe via lock (correctness over performance)" in CounterAggregator.update.__doc__
    assert str(inspect.signature(CounterAggregator)) == "(num_counters=1000)"
    assert str(inspect.signature(create_aggregator)) == "(num_counters=1000)"
    assert str(inspect.signature(CounterAggregator.update)) == "(self, /, counter_id, value)"


def test_no_pickling_no_dict_no_visible_fields():
    agg = CounterAggregator(2)
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(agg)
    with pytest.raises(AttributeError):
        agg.extra = 1
    for name in ("counters", "num_counters", "lock"):
        assert not hasattr(agg, name)


def test_module_namespace():
    assert statcounters.threading is threading
    assert not hasattr(statcounters, "logger")


def test_lock_comes_from_module_threading(monkeypatch):
    made = []

    class CountingLock:
        def __init__(self):
            self._lock = threading.Lock()
            made.append(self)

        def acquire(self):
            return self._lock.acquire()

        def release(self):
            self._lock.release()

    class FakeThreading:
        Lock = CountingLock

    monkeypatch.setattr(statcounters, "threading", FakeThreading)
    agg = CounterAggregator(2)
    agg.update(1, 3.0)
    assert agg.get_stats(1)["count"] == 1
    assert len(made) == 1
    assert not made[0]._lock.locked()


def test_collected_in_a_cycle():
    class Cyclic(CounterAggregator):
        pass

    agg = Cyclic(3)
    agg.me = agg
    agg.update(0, 1.0)
    del agg
    gc.collect()  # frees the array through the collector; ASan builds check it


# --- threads --------------------------------------------------------------------


def test_concurrent_updates_lose_nothing():
    threads, per_thread = 4, 2000
    agg = CounterAggregator(3)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        barrier = threading.Barrier(threads)

        def work(k):
            barrier.wait()
            for i in range(per_thread):
                agg.update(i % 3, float(k))
                if i % 500 == 0:
                    agg.get_all_stats()

        workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(old_interval)
    stats = [s for _, s in agg.get_all_stats()]
    assert sum(s["count"] for s in stats) == threads * per_thread
    total = sum(s["mean"] * s["count"] for s in stats)
    assert total == pytest.approx(per_thread * sum(range(threads)))
    assert min(s["min"] for s in stats) == 0.0
    assert max(s["max"] for s in stats) == threads - 1
