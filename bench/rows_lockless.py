"""Rows for lumetra.memory.lockless."""

from __future__ import annotations

import itertools
import threading
import time

from lumetra.memory.lockless import AtomicCounter

from run import Measure, Row, stmt


class LockedInt:
    """What a Python user writes without the module: an int guarded by a lock."""

    def __init__(self, value: int = 0) -> None:
        self._value = value
        self._lock = threading.Lock()

    def load(self) -> int:
        with self._lock:
            return self._value

    def increment(self, delta: int = 1) -> int:
        with self._lock:
            self._value += delta
            return self._value

    def compare_and_swap(self, expected: int, new_value: int) -> bool:
        with self._lock:
            if self._value == expected:
                self._value = new_value
                return True
            return False


def threaded_increments(counter_factory, threads: int = 4, per_thread: int = 50_000) -> Measure:
    """Nanoseconds per increment with `threads` threads hammering one counter."""

    def measure() -> float:
        counter = counter_factory()
        barrier = threading.Barrier(threads + 1)

        def work() -> None:
            inc = counter.increment
            barrier.wait()
            for _ in range(per_thread):
                inc()

        workers = [threading.Thread(target=work) for _ in range(threads)]
        for w in workers:
            w.start()
        barrier.wait()
        start = time.perf_counter_ns()
        for w in workers:
            w.join()
        return (time.perf_counter_ns() - start) / (threads * per_thread)

    return measure


def single_increments(counter_factory, n: int = 200_000) -> Measure:
    def measure() -> float:
        inc = counter_factory().increment
        start = time.perf_counter_ns()
        for _ in range(n):
            inc()
        return (time.perf_counter_ns() - start) / n

    return measure


def rows() -> list[Row]:
    c = AtomicCounter(1000)
    locked = LockedInt(1000)
    return [
        Row(
            "AtomicCounter.load()",
            stmt("c.load()", c=c),
            "Lock-guarded int",
            stmt("l.load()", l=locked),
        ),
        Row(
            "AtomicCounter.increment()",
            stmt("c.increment()", c=c),
            "Lock-guarded int",
            stmt("l.increment()", l=locked),
        ),
        Row(
            "AtomicCounter.increment() vs count()",
            stmt("c.increment()", c=c),
            "next(itertools.count())",
            stmt("next(it)", it=itertools.count()),
        ),
        Row(
            "AtomicCounter.compare_and_swap(a, b)",
            stmt("c.compare_and_swap(1000, 1000)", c=c),
            "Lock-guarded int",
            stmt("l.compare_and_swap(1000, 1000)", l=locked),
        ),
        Row(
            "increment(), 4 threads (per op)",
            threaded_increments(AtomicCounter),
            "same loop, 1 thread",
            single_increments(AtomicCounter),
        ),
        Row(
            "Lock-guarded int, 4 threads (per op)",
            threaded_increments(LockedInt),
            "AtomicCounter, 4 threads",
            threaded_increments(AtomicCounter),
        ),
    ]
