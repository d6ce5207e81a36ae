"""LockFreeStatistics and PerformanceTimer."""

from __future__ import annotations

import gc
import inspect
import pickle
import threading
import weakref
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from lumetra.memory.lockless import AtomicCounter, LockFreeStatistics, PerformanceTimer

from conftest import switch_interval

COUNTERS = [
    "total_allocations",
    "total_deallocations",
    "current_allocations",
    "bytes_allocated",
    "bytes_reserved",
    "peak_allocations",
    "peak_bytes_allocated",
    "bucketed_allocations",
    "fallback_allocations",
    "alignment_padding_bytes",
    "total_allocation_time_ns",
    "total_deallocation_time_ns",
]
KEYS = [
    "total_allocations",
    "total_deallocations",
    "current_allocations",
    "bytes_allocated",
    "bytes_reserved",
    "peak_allocations",
    "peak_bytes_allocated",
    "bucketed_allocations",
    "fallback_allocations",
    "bucketed_allocation_ratio",
    "alignment_padding_bytes",
    "average_allocation_time_ns",
    "average_deallocation_time_ns",
    "allocation_mode",
]
EMPTY = dict.fromkeys(KEYS, 0) | {
    "bucketed_allocation_ratio": "0.0%",
    "average_allocation_time_ns": 0.0,
    "average_deallocation_time_ns": 0.0,
    "allocation_mode": "lock-free C11 atomics",
}
I64_MAX = 2**63 - 1


def snapshot_of(stats):
    snap = stats.get_snapshot()
    assert list(snap) == KEYS
    return snap


def test_new_instance():
    stats = LockFreeStatistics()
    snap = snapshot_of(stats)
    assert snap == EMPTY
    assert [type(v) for v in snap.values()] == [int] * 9 + [str, int, float, float, str]
    assert all(type(getattr(stats, name)) is AtomicCounter for name in COUNTERS)


def test_worked_sequence_and_reset():
    stats = LockFreeStatistics()
    stats.record_allocation(100)
    stats.record_allocation(50, False, 8, 1000)
    snap = snapshot_of(stats)
    expected = {
        "total_allocations": 2,
        "current_allocations": 2,
        "bytes_allocated": 150,
        "bucketed_allocations": 1,
        "fallback_allocations": 1,
        "alignment_padding_bytes": 8,
        "peak_allocations": 2,
        "peak_bytes_allocated": 150,
        "bucketed_allocation_ratio": "50.0%",
        "average_allocation_time_ns": 500.0,
    }
    assert snap == EMPTY | expected
    stats.record_deallocation(50, time_ns=200)
    snap = snapshot_of(stats)
    assert snap == EMPTY | expected | {
        "total_deallocations": 1,
        "current_allocations": 1,
        "bytes_allocated": 100,
        "average_deallocation_time_ns": 200.0,
    }
    assert stats.total_deallocation_time_ns.load() == 200
    assert stats.reset() is None  # type: ignore[func-returns-value]
    assert snapshot_of(stats) == EMPTY
    stats.record_allocation(10)
    snap = snapshot_of(stats)
    assert snap["bucketed_allocation_ratio"] == "100.0%"
    assert (snap["peak_allocations"], snap["peak_bytes_allocated"]) == (1, 10)


@pytest.mark.parametrize("value", [0, -5, False, -0.5])
def test_non_positive_padding_and_time_are_ignored(value):
    stats = LockFreeStatistics()
    stats.record_allocation(10, True, value, value)
    stats.record_deallocation(10, value)
    assert stats.alignment_padding_bytes.load() == 0
    assert stats.total_allocation_time_ns.load() == 0
    assert stats.total_deallocation_time_ns.load() == 0


@pytest.mark.parametrize(
    ("bucketed", "total", "text"),
    [(1, 3, "33.3%"), (2, 3, "66.7%"), (3, 4, "75.0%"), (1, 400, "0.2%"), (3, 400, "0.8%")],
)
def test_ratio_text(bucketed, total, text):
    stats = LockFreeStatistics()
    for i in range(total):
        stats.record_allocation(1, i < bucketed)
    assert snapshot_of(stats)["bucketed_allocation_ratio"] == text


@given(
    st.integers(-(2**63), I64_MAX),
    st.one_of(st.integers(1, 10**6), st.integers(1, I64_MAX)),
    st.integers(0, I64_MAX),
)
def test_ratio_and_average_match_python_arithmetic(bucketed, total, alloc_time):
    stats = LockFreeStatistics()
    stats.bucketed_allocations.store(bucketed)
    stats.total_allocations.store(total)
    stats.total_allocation_time_ns.store(alloc_time)
    snap = stats.get_snapshot()
    assert snap["bucketed_allocation_ratio"] == f"{bucketed / total * 100.0:.1f}%"
    assert snap["average_allocation_time_ns"] == alloc_time / total


def test_py_record_touches_native_and_three_public_counters():
    stats = LockFreeStatistics()
    stats.py_record_allocation(64, True)
    snap = snapshot_of(stats)
    assert snap == EMPTY | {
        "total_allocations": 1,
        "current_allocations": 1,
        "bytes_allocated": 64,
        "bucketed_allocation_ratio": "0.0%",
    }
    stats.py_record_deallocation(64, 5)
    snap = snapshot_of(stats)
    assert (snap["total_deallocations"], snap["current_allocations"]) == (1, 0)
    assert (snap["bytes_allocated"], snap["average_deallocation_time_ns"]) == (0, 0.0)


def test_update_peaks():
    stats = LockFreeStatistics()
    assert stats._update_peaks(5, 10) is None  # type: ignore[func-returns-value]
    assert (stats.peak_allocations.load(), stats.peak_bytes_allocated.load()) == (5, 10)
    stats._update_peaks(3, 20)
    assert (stats.peak_allocations.load(), stats.peak_bytes_allocated.load()) == (5, 20)
    stats._update_peaks(-(2**70), 2.9)  # type: ignore[arg-type]  # below any peak; floats go through int()
    assert stats.peak_bytes_allocated.load() == 20
    with pytest.raises(OverflowError):
        stats._update_peaks(2**63, 0)


# --- argument handling --------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "name", "type_name"),
    [
        (lambda s: s.record_allocation(None), "size", "NoneType"),
        (lambda s: s.record_allocation(1, True, "8"), "padding", "str"),
        (lambda s: s.record_allocation(1, time_ns=[1]), "time_ns", "list"),
        (lambda s: s.record_deallocation(b"1"), "size", "bytes"),
        (lambda s: s.py_record_allocation(1, True, None), "padding", "NoneType"),
        (lambda s: s.py_record_deallocation(1, "x"), "time_ns", "str"),
        (lambda s: s._update_peaks(1, None), "current_bytes", "NoneType"),
    ],
)
def test_int_parameters_rejected_before_any_change(call, name, type_name):
    stats = LockFreeStatistics()
    with pytest.raises(TypeError) as info:
        call(stats)
    assert str(info.value) == (
        f"Argument '{name}' has incorrect type (expected int, got {type_name})"
    )
    assert snapshot_of(stats) == EMPTY


def test_numbers_are_converted_and_truth_taken():
    stats = LockFreeStatistics()
    stats.record_allocation(10.9, [], Decimal("3.7"), True)  # type: ignore[arg-type]
    assert stats.bytes_allocated.load() == 10
    assert stats.fallback_allocations.load() == 1
    assert stats.alignment_padding_bytes.load() == 3
    assert stats.total_allocation_time_ns.load() == 1

    class BadTruth:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        stats.record_allocation(1, BadTruth())
    assert stats.total_allocations.load() == 1


def test_overflow_timing():
    stats = LockFreeStatistics()
    with pytest.raises(OverflowError):
        stats.py_record_allocation(2**63, True)
    assert snapshot_of(stats) == EMPTY
    with pytest.raises(OverflowError):
        stats.record_allocation(2**63)
    # Steps before the counter that receives the value stay applied.
    assert stats.total_allocations.load() == 1
    assert stats.current_allocations.load() == 1
    assert stats.bytes_allocated.load() == 0


def test_interface_metadata():
    assert str(inspect.signature(LockFreeStatistics.py_record_allocation)) == (
        "(self, /, size, is_bucketed, padding=0, time_ns=0)"
    )
    assert LockFreeStatistics.record_allocation.__annotations__ == {
        "size": "int",
        "is_bucketed": "bool",
        "padding": "int",
        "time_ns": "int",
    }
    assert LockFreeStatistics.py_record_deallocation.__doc__ == (
        "Record deallocation event.\n\n"
        "Updates both internal atomics and public AtomicCounter instances."
    )
    with pytest.raises(TypeError, match="non-trivial __cinit__"):
        pickle.dumps(LockFreeStatistics())


# --- public counters ----------------------------------------------------------------


class PyCounter:
    """A counter written in Python, honoured by the methods that call by name."""

    def __init__(self):
        self.value = 0
        self.calls = []

    def load(self):
        self.calls.append("load")
        return self.value

    def store(self, value):
        self.value = value

    def increment(self, delta=1):
        self.calls.append(("increment", delta))
        self.value += delta
        return self.value

    def decrement(self, delta=1):
        self.value -= delta
        return self.value

    def compare_and_swap(self, expected, new_value):
        if self.value == expected:
            self.value = new_value
            return True
        return False


def test_attributes_are_replaceable_and_deletable():
    stats = LockFreeStatistics()
    stats.bytes_reserved = 7
    assert stats.bytes_reserved == 7
    del stats.bytes_reserved
    assert stats.bytes_reserved is None
    with pytest.raises(AttributeError):
        stats.reset()

    stats = LockFreeStatistics()
    stats.current_allocations = PyCounter()
    stats.peak_bytes_allocated = PyCounter()
    stats.record_allocation(30)
    assert stats.current_allocations.calls == [("increment", 1), "load"]
    assert stats.peak_bytes_allocated.value == 30
    assert snapshot_of(stats)["current_allocations"] == 1
    stats.reset()
    assert stats.current_allocations.value == 0


@pytest.mark.parametrize(
    ("attribute", "applied"),
    [
        ("total_allocations", []),
        ("bytes_allocated", ["total_allocations", "current_allocations"]),
        ("fallback_allocations", ["total_allocations", "current_allocations"]),
    ],
)
def test_unsuitable_attribute_raises_at_its_step(attribute, applied):
    stats = LockFreeStatistics()
    setattr(stats, attribute, "not a counter")
    with pytest.raises(AttributeError):
        stats.record_allocation(5, False)
    for name in ("total_allocations", "current_allocations"):
        if name != attribute:
            assert getattr(stats, name).load() == (1 if name in applied else 0)


def test_counter_subclass_override_is_honoured():
    class Doubling(AtomicCounter):
        def increment(self, delta=1):
            return super().increment(2 * delta)

    stats = LockFreeStatistics()
    stats.total_allocations = Doubling()
    stats.record_allocation(1)
    assert stats.total_allocations.load() == 2


def test_update_peaks_is_looked_up_on_the_instance():
    seen = []

    class Recording(LockFreeStatistics):
        def _update_peaks(self, current_allocs, current_bytes):
            seen.append((current_allocs, current_bytes))

    stats = Recording()
    stats.record_allocation(40)
    stats.record_allocation(2)
    assert seen == [(1, 40), (2, 42)]
    assert stats.peak_allocations.load() == 0


def test_cycle_through_public_attribute_is_collected():
    class Holder:
        stats: LockFreeStatistics

    holder = Holder()
    holder.stats = LockFreeStatistics()
    holder.stats.bytes_reserved = holder
    ref = weakref.ref(holder)
    del holder
    gc.collect()
    assert ref() is None


# --- threads ------------------------------------------------------------------------


@pytest.mark.parametrize("method", ["record_allocation", "py_record_allocation"])
def test_concurrent_recording_loses_nothing(method):
    threads, per_thread = 4, 2000
    stats = LockFreeStatistics()
    peaks: list[int] = []
    stop = threading.Event()

    def record(index):
        call = getattr(stats, method)
        for n in range(per_thread):
            call(3, (index + n) % 2 == 0)
            if n % 3 == 0:
                stats.record_deallocation(3)

    def watch():
        while not stop.is_set():
            peaks.append(stats.peak_allocations.load())

    with switch_interval(1e-6):
        watcher = threading.Thread(target=watch)
        watcher.start()
        workers = [threading.Thread(target=record, args=(i,)) for i in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        stop.set()
        watcher.join()
    total = threads * per_thread
    deallocs = threads * len(range(0, per_thread, 3))
    snap = snapshot_of(stats)
    assert snap["total_allocations"] == total
    assert snap["total_deallocations"] == deallocs
    assert snap["current_allocations"] == total - deallocs
    assert snap["bytes_allocated"] == 3 * (total - deallocs)
    assert peaks == sorted(peaks)
    if method == "record_allocation":
        assert snap["bucketed_allocations"] + snap["fallback_allocations"] == total
        assert total - deallocs <= snap["peak_allocations"] <= total


# --- PerformanceTimer ---------------------------------------------------------------


def test_timer_readings():
    timer = PerformanceTimer()
    assert timer.elapsed_ns() > 0  # not started: the raw clock
    assert timer.start() is None  # type: ignore[func-returns-value]
    elapsed = timer.elapsed_ns()
    assert type(elapsed) is int and elapsed >= 0
    us = timer.elapsed_us()
    ms = timer.elapsed_ms()
    assert type(us) is float and type(ms) is float
    assert us / 1000 <= ms < us / 1000 + 50
    timer.start()
    assert timer.elapsed_ns() < elapsed + 10**9
    with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
        PerformanceTimer(1)  # type: ignore[call-arg]
    assert PerformanceTimer.__doc__ == "High-resolution timer for performance measurement."


@pytest.mark.parametrize(
    ("reading", "us", "ms"),
    [
        (1234, 1234 * 0.001, 1234 * 1e-6),
        (2.5, 2.5 * 0.001, 2.5 * 1e-6),
        (Fraction(3001), Fraction(3001) / 1000.0, Fraction(3001) / 1e6),
    ],
)
def test_timer_scales_the_instance_reading(reading, us, ms):
    class Fixed(PerformanceTimer):
        def elapsed_ns(self):
            return reading

    timer = Fixed()
    assert timer.elapsed_us() == us
    assert timer.elapsed_ms() == ms
