"""FastStatsCollector."""

from __future__ import annotations

import pickle

import pytest

from lumetra.memory.slabkit import FastStatsCollector

from conftest import run_threads

KEYS = [
    "total_allocations",
    "total_deallocations",
    "bucketed_allocations",
    "fallback_allocations",
    "bucketed_allocation_ratio",
    "alignment_padding_bytes",
]


def report(counts=(0, 0, 0, 0), ratio="0.0%", padding=0):
    """A get_stats() result: (total, released, bucketed, fallback) counts, ratio, padding."""
    return dict(zip(KEYS, [*counts, ratio, padding], strict=True))


def test_new_collector_reports_zero():
    stats = FastStatsCollector().get_stats()
    assert list(stats) == KEYS
    assert stats == report()


@pytest.mark.parametrize(
    ("bucketed", "total", "ratio"),
    [(1, 3, "33.3%"), (2, 3, "66.7%"), (1, 8, "12.5%"), (3, 3, "100.0%"), (0, 2, "0.0%")],
)
def test_ratio_text(bucketed, total, ratio):
    c = FastStatsCollector()
    for i in range(total):
        c.py_record_allocation(64, 0, i < bucketed)
    assert c.get_stats()["bucketed_allocation_ratio"] == ratio


def test_padding_and_kinds():
    c = FastStatsCollector()
    assert c.py_record_allocation(64, 8, True) is None  # type: ignore[func-returns-value]
    c.py_record_allocation(size=64, padding=-3, is_bucketed=False)
    assert c.get_stats() == report((2, 0, 1, 1), "50.0%", 5)


def test_negative_padding_wraps():
    c = FastStatsCollector()
    c.py_record_allocation(1, -1, True)
    assert c.get_stats()["alignment_padding_bytes"] == 2**64 - 1


class Falsy:
    def __bool__(self):
        return False


@pytest.mark.parametrize(
    ("flag", "bucketed"),
    [(0, False), ("", False), (None, False), ([], False), (Falsy(), False),
     (1, True), ("no", True), ([0], True), (object(), True)],
)  # fmt: skip
def test_is_bucketed_truth_value(flag, bucketed):
    c = FastStatsCollector()
    c.py_record_allocation(8, 0, flag)
    stats = c.get_stats()
    assert (stats["bucketed_allocations"], stats["fallback_allocations"]) == (
        int(bucketed),
        int(not bucketed),
    )


def test_releases_counted_independently_and_reset():
    c = FastStatsCollector()
    for _ in range(3):
        assert c.py_record_deallocation() is None  # type: ignore[func-returns-value]
    c.py_record_allocation(8, 2, True)
    assert c.get_stats() == report((1, 3, 1, 0), "100.0%", 2)
    assert c.reset_stats() is None  # type: ignore[func-returns-value]
    assert c.get_stats() == report()


class BadBool:
    def __bool__(self):
        raise RuntimeError("no truth")


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((2**31, 0, True), OverflowError, "value too large to convert to int"),
        ((0, -(2**31) - 1, True), OverflowError, "value too large to convert to int"),
        ((0, "1", True), TypeError, "an integer is required"),
        ((0, 1, BadBool()), RuntimeError, "no truth"),
    ],
)
def test_bad_arguments_change_nothing(args, error, message):
    c = FastStatsCollector()
    with pytest.raises(error) as info:
        c.py_record_allocation(*args)
    assert str(info.value) == message
    assert c.get_stats() == report()
    c.py_record_allocation(0, 0, True)  # the lock was not left held
    assert c.get_stats()["total_allocations"] == 1


def test_type_surface():
    c = FastStatsCollector()
    assert FastStatsCollector.__doc__ == "Fast statistics collection"
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(c)
    with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
        FastStatsCollector(1)  # type: ignore[call-arg]


def test_threads_lose_no_count():
    threads, per_thread = 4, 2000
    c = FastStatsCollector()

    def work(t):
        for i in range(per_thread):
            c.py_record_allocation(16, 1, (i + t) % 2)
            if i % 2:
                c.py_record_deallocation()
            if i % 500 == 0:
                s = c.get_stats()
                assert (
                    s["total_allocations"] == s["bucketed_allocations"] + s["fallback_allocations"]
                )

    run_threads(work, threads)
    total = threads * per_thread
    assert c.get_stats() == report((total, total // 2, total // 2, total // 2), "50.0%", total)
