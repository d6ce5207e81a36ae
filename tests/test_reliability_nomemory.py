"""Allocation failures: every allocation of an operation made to fail in turn.

The interpreter's allocation-failure hook (`_testcapi.set_nomemory`) fails the
n-th allocation after it is set. Each operation is run with n = 0, 1, 2, ...
until it completes several times in a row without reaching the failing
allocation; every run must succeed or raise MemoryError, and the object must
stay usable and consistent afterwards.
"""

from __future__ import annotations

from collections.abc import Callable

import pytest

from lumetra.memory.lockless import AtomicCounter, AtomicCounterWrapper

_testcapi = pytest.importorskip("_testcapi")

MAX_POINTS = 400


def fail_each_allocation(operation: Callable[[], object], check: Callable[[], None]) -> int:
    """Runs `operation` with its n-th allocation failing, for each n in turn,
    calling `check` after every run. Returns how many runs raised MemoryError."""
    failures = 0
    clean_runs = 0
    for n in range(MAX_POINTS):
        _testcapi.set_nomemory(n, n + 1)
        try:
            operation()
        except MemoryError:
            failures += 1
            clean_runs = 0
        else:
            clean_runs += 1
        finally:
            _testcapi.remove_mem_hooks()
        check()
        if clean_runs >= 5:
            return failures
    raise AssertionError("operation kept allocating; raise MAX_POINTS")


@pytest.mark.parametrize(
    ("operation", "allocates"),
    [
        (lambda c: c.increment(10**6), True),
        (lambda c: c.load(), True),
        (lambda c: c.compare_and_swap(1, 2), False),
        (lambda c: c.increment(delta=10**6), True),
        (lambda c: AtomicCounter(10**9), True),
    ],
)
def test_atomic_counter(operation, allocates):
    c = AtomicCounter(10**6)

    def check():
        value = c.load()
        c.store(value)
        assert c.load() == value

    failures = fail_each_allocation(lambda: operation(c), check)
    assert (failures > 0) == allocates


def test_wrapper():
    w = AtomicCounterWrapper(5)
    failures = fail_each_allocation(lambda: w.increment(10**6), w.load)
    assert failures > 0
    assert isinstance(w._counter, AtomicCounter)
