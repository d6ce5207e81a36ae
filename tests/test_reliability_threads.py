"""Bounded multi-threaded stress per stateful type: several threads mix every
operation, and invariants are checked at the end (totals exact, nothing lost
or duplicated)."""

from __future__ import annotations

import sys
import threading
from collections.abc import Callable

import pytest

from lumetra.memory.lockless import AtomicCounter

THREADS = 4


@pytest.fixture(autouse=True)
def fast_switching():
    # Switch threads often so that operations interleave finely.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def run_threads(work: Callable[[int], None], threads: int = THREADS) -> None:
    barrier = threading.Barrier(threads)
    errors: list[BaseException] = []

    def runner(index: int) -> None:
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # reported after join
            errors.append(error)

    workers = [threading.Thread(target=runner, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    if errors:
        raise errors[0]


def test_atomic_counter_mixed_operations():
    c = AtomicCounter()
    rounds = 3000
    successes = [0] * THREADS

    def work(index: int) -> None:
        for i in range(rounds):
            c.increment(3)
            c.decrement()
            c.fetch_and_add(-1)
            # Net +1 per round from the three above; a swap adds 1 when it wins.
            current = c.load()
            if c.compare_and_swap(current, current + 1):
                successes[index] += 1
            if i % 100 == 0:
                c.increment(0)

    run_threads(work)
    assert c.load() == THREADS * rounds + sum(successes)
