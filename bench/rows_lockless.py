"""Rows for lumetra.memory.lockless."""

from __future__ import annotations

import collections
import itertools
import threading
import time

from lumetra.memory.lockless import (
    AtomicCounter,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
)

from run import Measure, Row, stmt

# The headline rows: the peer rows below time the same operations against
# other packages' atomic types.
COUNTER_LOAD = "AtomicCounter.load()"
COUNTER_INCREMENT = "AtomicCounter.increment()"
COUNTER_CAS = "AtomicCounter.compare_and_swap(a, b)"
POINTER_LOAD = "AtomicPointer.load()"
POINTER_STORE = "AtomicPointer.store(v)"
POINTER_CAS = "AtomicPointer.compare_and_swap(v, v)"


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


class LockedCell:
    """A reference cell guarded by a lock, as a Python user would write it."""

    def __init__(self, value=None) -> None:
        self._value = value
        self._version = 0
        self._lock = threading.Lock()

    def load(self):
        with self._lock:
            return self._value

    def store(self, value) -> None:
        with self._lock:
            self._value = value
            self._version += 1

    def compare_and_swap(self, expected, new_value) -> bool:
        with self._lock:
            if self._value is expected:
                self._value = new_value
                self._version += 1
                return True
            return False


class LockedList:
    """A list used as a stack under a lock."""

    def __init__(self) -> None:
        self._items: list = []
        self._lock = threading.Lock()

    def push(self, item) -> None:
        with self._lock:
            self._items.append(item)

    def pop(self):
        with self._lock:
            return self._items.pop() if self._items else None


class LockedStatistics:
    """The statistics' recording and snapshot steps in pure Python with one lock."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.total_allocations = 0
        self.total_deallocations = 0
        self.current_allocations = 0
        self.bytes_allocated = 0
        self.bytes_reserved = 0
        self.peak_allocations = 0
        self.peak_bytes_allocated = 0
        self.bucketed_allocations = 0
        self.fallback_allocations = 0
        self.alignment_padding_bytes = 0
        self.total_allocation_time_ns = 0
        self.total_deallocation_time_ns = 0

    def record_allocation(self, size: int, is_bucketed=True, padding: int = 0, time_ns: int = 0):
        with self._lock:
            self.total_allocations += 1
            self.current_allocations += 1
            self.bytes_allocated += size
            if is_bucketed:
                self.bucketed_allocations += 1
            else:
                self.fallback_allocations += 1
            if padding > 0:
                self.alignment_padding_bytes += padding
            if time_ns > 0:
                self.total_allocation_time_ns += time_ns
            self.peak_allocations = max(self.peak_allocations, self.current_allocations)
            self.peak_bytes_allocated = max(self.peak_bytes_allocated, self.bytes_allocated)

    def get_snapshot(self) -> dict:
        with self._lock:
            total = self.total_allocations
            deallocs = self.total_deallocations
            snapshot = {
                "total_allocations": total,
                "total_deallocations": deallocs,
                "current_allocations": self.current_allocations,
                "bytes_allocated": self.bytes_allocated,
                "bytes_reserved": self.bytes_reserved,
                "peak_allocations": self.peak_allocations,
                "peak_bytes_allocated": self.peak_bytes_allocated,
                "bucketed_allocations": self.bucketed_allocations,
                "fallback_allocations": self.fallback_allocations,
                "bucketed_allocation_ratio": "",
                "alignment_padding_bytes": self.alignment_padding_bytes,
                "average_allocation_time_ns": 0.0,
                "average_deallocation_time_ns": 0.0,
                "allocation_mode": "lock-free C11 atomics",
            }
            alloc_time = self.total_allocation_time_ns
            dealloc_time = self.total_deallocation_time_ns
        ratio = self.bucketed_allocations / total * 100.0 if total > 0 else 0.0
        snapshot["bucketed_allocation_ratio"] = f"{ratio:.1f}%"
        if total > 0:
            snapshot["average_allocation_time_ns"] = alloc_time / total
        if deallocs > 0:
            snapshot["average_deallocation_time_ns"] = dealloc_time / deallocs
        return snapshot


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


def rows(headline: bool = False) -> list[Row]:
    c = AtomicCounter(1000)
    locked = LockedInt(1000)
    return [
        Row(
            COUNTER_LOAD,
            stmt("c.load()", c=c),
            "Lock-guarded int",
            stmt("l.load()", l=locked),
            headline=True,
        ),
        Row(
            COUNTER_INCREMENT,
            stmt("c.increment()", c=c),
            "Lock-guarded int",
            stmt("l.increment()", l=locked),
            headline=True,
        ),
        Row(
            "AtomicCounter.increment() vs count()",
            stmt("c.increment()", c=c),
            "next(itertools.count())",
            stmt("next(it)", it=itertools.count()),
        ),
        Row(
            COUNTER_CAS,
            stmt("c.compare_and_swap(1000, 1000)", c=c),
            "Lock-guarded int",
            stmt("l.compare_and_swap(1000, 1000)", l=locked),
            headline=True,
        ),
        *peer_rows(c),
        *pointer_rows(),
        *stack_rows(),
        *statistics_rows(),
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


def peer_rows(c: AtomicCounter) -> list[Row]:
    """The same operations on the atomic types other packages offer, where they
    install: `atomics` on every version, `ft_utils` from 3.13 on."""
    rows = []
    try:
        import atomics
    except ImportError:
        pass
    else:
        a = atomics.atomic(width=8, atype=atomics.INT)
        a.store(1000)
        rows += [
            Row(
                "AtomicCounter.load() vs atomics",
                stmt("c.load()", c=c),
                "atomics int load()",
                stmt("a.load()", a=a),
                headline=True,
                peer_of=COUNTER_LOAD,
            ),
            Row(
                "AtomicCounter.increment() vs atomics",
                stmt("c.increment()", c=c),
                "atomics int inc()",
                stmt("a.inc()", a=a),
                headline=True,
                peer_of=COUNTER_INCREMENT,
            ),
            Row(
                "AtomicCounter.compare_and_swap vs atomics",
                stmt("c.compare_and_swap(1000, 1000)", c=c),
                "atomics int cmpxchg_strong()",
                stmt("a.cmpxchg_strong(1000, 1000)", a=a),
                headline=True,
                peer_of=COUNTER_CAS,
            ),
        ]
    try:
        from ft_utils.concurrency import AtomicInt64, AtomicReference
    except ImportError:
        return rows
    i64, value = AtomicInt64(1000), object()
    p, ref = AtomicPointer(value), AtomicReference(value)
    return [
        *rows,
        Row(
            "AtomicCounter.load() vs ft_utils",
            stmt("c.load()", c=c),
            "ft_utils AtomicInt64.get()",
            stmt("i.get()", i=i64),
            headline=True,
            peer_of=COUNTER_LOAD,
        ),
        Row(
            "AtomicCounter.increment() vs ft_utils",
            stmt("c.increment()", c=c),
            "ft_utils AtomicInt64.incr()",
            stmt("i.incr()", i=i64),
            headline=True,
            peer_of=COUNTER_INCREMENT,
        ),
        Row(
            "AtomicPointer.load() vs ft_utils",
            stmt("p.load()", p=p),
            "ft_utils AtomicReference.get()",
            stmt("r.get()", r=ref),
            headline=True,
            peer_of=POINTER_LOAD,
        ),
        Row(
            "AtomicPointer.store(v) vs ft_utils",
            stmt("p.store(v)", p=p, v=value),
            "ft_utils AtomicReference.set(v)",
            stmt("r.set(v)", r=ref, v=value),
            headline=True,
            peer_of=POINTER_STORE,
        ),
        Row(
            "AtomicPointer.compare_and_swap vs ft_utils",
            stmt("p.compare_and_swap(v, v)", p=p, v=value),
            "ft_utils AtomicReference.compare_exchange",
            stmt("r.compare_exchange(v, v)", r=ref, v=value),
            headline=True,
            peer_of=POINTER_CAS,
        ),
    ]


def pointer_rows() -> list[Row]:
    value = object()
    p, cell = AtomicPointer(value), LockedCell(value)
    return [
        Row(
            POINTER_LOAD,
            stmt("p.load()", p=p),
            "Lock-guarded cell",
            stmt("c.load()", c=cell),
            headline=True,
        ),
        Row(
            POINTER_STORE,
            stmt("p.store(v)", p=p, v=value),
            "Lock-guarded cell",
            stmt("c.store(v)", c=cell, v=value),
            headline=True,
        ),
        Row(
            POINTER_CAS,
            stmt("p.compare_and_swap(v, v)", p=p, v=value),
            "Lock-guarded cell",
            stmt("c.compare_and_swap(v, v)", c=cell, v=value),
            headline=True,
        ),
    ]


def stack_rows() -> list[Row]:
    s, d, locked = LockFreeStack(), collections.deque[int](), LockedList()
    for i in range(8):
        s.push(i)
        d.append(i)
        locked.push(i)
    return [
        Row(
            "LockFreeStack.push(x) + pop()",
            stmt("s.push(1); s.pop()", s=s),
            "deque.append(x) + pop()",
            stmt("d.append(1); d.pop()", d=d),
        ),
        Row(
            "LockFreeStack.push(x) + pop() vs list",
            stmt("s.push(1); s.pop()", s=s),
            "Lock-guarded list push + pop",
            stmt("l.push(1); l.pop()", l=locked),
        ),
        Row("LockFreeStack.size()", stmt("s.size()", s=s), "len(deque)", stmt("len(d)", d=d)),
    ]


def statistics_rows() -> list[Row]:
    stats, locked = LockFreeStatistics(), LockedStatistics()
    for i in range(100):
        stats.record_allocation(64 + i, i % 4 != 0, 8, 120)
        locked.record_allocation(64 + i, i % 4 != 0, 8, 120)
    return [
        Row(
            "LockFreeStatistics.record_allocation(n)",
            stmt("s.record_allocation(128)", s=stats),
            "Lock-guarded Python class",
            stmt("s.record_allocation(128)", s=locked),
        ),
        Row(
            "record_allocation(n, False, 8, 120)",
            stmt("s.record_allocation(128, False, 8, 120)", s=stats),
            "Lock-guarded Python class",
            stmt("s.record_allocation(128, False, 8, 120)", s=locked),
        ),
        Row(
            "LockFreeStatistics.py_record_allocation",
            stmt("s.py_record_allocation(128, True)", s=stats),
            "Lock-guarded Python class",
            stmt("s.record_allocation(128, True)", s=locked),
        ),
        Row(
            "LockFreeStatistics.get_snapshot()",
            stmt("s.get_snapshot()", s=stats),
            "Lock-guarded Python class",
            stmt("s.get_snapshot()", s=locked),
        ),
    ]
