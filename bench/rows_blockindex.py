"""Rows for lumetra.memory.blockindex.

FastRedBlackTree against the best-fit indexes a Python user would write: one on
sortedcontainers.SortedKeyList, one on bisect over a list. Each operation is
timed at 10^3 to 10^6 stored blocks so that the growth per size is visible.
Writers are timed in batches that are undone (untimed) afterwards, so the
index keeps its size from one measurement to the next.
"""

from __future__ import annotations

import bisect
import random
import time
from collections.abc import Callable
from operator import itemgetter

from sortedcontainers import SortedKeyList

from lumetra.memory.blockindex import FastRedBlackTree
from lumetra.memory.blockrec import Blockrec

from run import Measure, Row

EXPONENTS = (3, 4, 5, 6)
QUERIES = 2000


class SortedKeyListIndex:
    """Best fit on a SortedKeyList of (size, block) pairs keyed by size."""

    def __init__(self, pairs) -> None:
        self._items = SortedKeyList(pairs, key=itemgetter(0))

    def insert(self, size: int, block) -> bool:
        self._items.add((size, block))
        return True

    def delete(self, size: int, block) -> bool:
        try:
            self._items.remove((size, block))
        except ValueError:
            return False
        return True

    def find_best_fit(self, size: int, alignment: int = 1):
        items = self._items
        i = items.bisect_key_left(size)
        return items[i][1] if i < len(items) else None

    def find_all_exact(self, size: int) -> list:
        items = self._items
        lo, hi = items.bisect_key_left(size), items.bisect_key_right(size)
        return [block for _, block in items.islice(lo, hi)]

    def remove_ge(self, size: int):
        items = self._items
        i = items.bisect_key_left(size)
        return items.pop(i) if i < len(items) else (None, None)


class BisectIndex:
    """Best fit with bisect over a sorted list of sizes and a parallel list of
    blocks."""

    def __init__(self, pairs) -> None:
        pairs = sorted(pairs, key=itemgetter(0))
        self._sizes = [size for size, _ in pairs]
        self._blocks = [block for _, block in pairs]

    def insert(self, size: int, block) -> bool:
        i = bisect.bisect_right(self._sizes, size)
        self._sizes.insert(i, size)
        self._blocks.insert(i, block)
        return True

    def delete(self, size: int, block) -> bool:
        lo = bisect.bisect_left(self._sizes, size)
        hi = bisect.bisect_right(self._sizes, size, lo)
        for i in range(lo, hi):
            if self._blocks[i] == block:
                del self._sizes[i], self._blocks[i]
                return True
        return False

    def find_best_fit(self, size: int, alignment: int = 1):
        i = bisect.bisect_left(self._sizes, size)
        return self._blocks[i] if i < len(self._blocks) else None

    def find_all_exact(self, size: int) -> list:
        lo = bisect.bisect_left(self._sizes, size)
        return self._blocks[lo : bisect.bisect_right(self._sizes, size, lo)]

    def remove_ge(self, size: int):
        i = bisect.bisect_left(self._sizes, size)
        if i == len(self._sizes):
            return (None, None)
        return self._sizes.pop(i), self._blocks.pop(i)


# Each measure first runs the same operation on other random sizes, untimed:
# the timed pass then meets the index as warm as steady random use leaves it,
# whatever ran before it, without replaying the paths it is about to take.


def reads(method: Callable, warm: list[int], queries: list[int]) -> Measure:
    def measure() -> float:
        for q in warm:
            method(q)
        start = time.perf_counter_ns()
        for q in queries:
            method(q)
        return (time.perf_counter_ns() - start) / len(queries)

    return measure


def inserts(index, warm: list, pairs: list) -> Measure:
    """Times inserting `pairs`; every inserted pair is deleted again, untimed."""

    def measure() -> float:
        insert = index.insert
        elapsed = 0
        for batch in (warm, pairs):
            start = time.perf_counter_ns()
            for size, block in batch:
                insert(size, block)
            elapsed = time.perf_counter_ns() - start
            for size, block in batch:
                index.delete(size, block)
        return elapsed / len(pairs)

    return measure


def removals(index, warm: list[int], queries: list[int]) -> Measure:
    """Times remove_ge over `queries`; removed blocks are put back, untimed."""

    def measure() -> float:
        remove_ge = index.remove_ge
        elapsed = 0
        for batch in (warm, queries):
            start = time.perf_counter_ns()
            removed = [remove_ge(q) for q in batch]
            elapsed = time.perf_counter_ns() - start
            for size, block in removed:
                if block is not None:
                    index.insert(size, block)
        return elapsed / len(queries)

    return measure


def rows_at(exponent: int) -> list[Row]:
    n = 10**exponent
    rng = random.Random(exponent)
    # Sizes from a range twice the block count: most sizes are distinct, some
    # repeat and form chains.
    span = 2 * n
    pairs = [(s, Blockrec(i, s)) for i, s in enumerate(rng.randrange(span) for _ in range(n))]
    tree = FastRedBlackTree()
    for size, block in pairs:
        tree.insert(size, block)
    baselines = [
        ("SortedKeyList index", SortedKeyListIndex(pairs)),
        ("bisect list index", BisectIndex(pairs)),
    ]
    warm = [rng.randrange(span) for _ in range(QUERIES)]
    queries = [rng.randrange(span) for _ in range(QUERIES)]
    batch = min(200, n // 10)
    fresh = [(s, Blockrec(n + i, s)) for i, s in enumerate(warm[:batch] + queries[:batch])]
    ops = {
        "insert(size, block)": lambda index: inserts(index, fresh[:batch], fresh[batch:]),
        "find_best_fit(size)": lambda index: reads(index.find_best_fit, warm, queries),
        "remove_ge(size)": lambda index: removals(index, warm[:batch], queries[:batch]),
        "find_all_exact(size)": lambda index: reads(index.find_all_exact, warm, queries),
    }
    result = []
    for op_name, make in ops.items():
        measure = make(tree)
        for base_name, base in baselines:
            name = f"{op_name} @ 10^{exponent} blocks"
            result.append(Row(name, measure, base_name, make(base)))
    return result


def rows() -> list[Row]:
    return [row for exponent in EXPONENTS for row in rows_at(exponent)]
