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
# Timed on their own at the smallest size (against the faster of the two
# baselines) for the per-version table.
HEADLINE_OPS = ("insert(size, block)", "find_best_fit(size)")


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


# Before each timed pass a measure runs best-fit lookups for other random
# sizes, untimed: the timed pass meets the index as warm as steady random use
# leaves it, whatever ran before, without replaying the paths it then takes.


def warmed(index, warm: list[int], timed: Callable[[], float]) -> Measure:
    def measure() -> float:
        find_best_fit = index.find_best_fit
        for q in warm:
            find_best_fit(q)
        return timed()

    return measure


def reads(method: Callable, queries: list[int]) -> Callable[[], float]:
    def timed() -> float:
        start = time.perf_counter_ns()
        for q in queries:
            method(q)
        return (time.perf_counter_ns() - start) / len(queries)

    return timed


def inserts(index, pairs: list) -> Callable[[], float]:
    """Times inserting `pairs`, then deletes them again untimed."""

    def timed() -> float:
        insert = index.insert
        start = time.perf_counter_ns()
        for size, block in pairs:
            insert(size, block)
        elapsed = time.perf_counter_ns() - start
        for size, block in pairs:
            index.delete(size, block)
        return elapsed / len(pairs)

    return timed


def removals(index, queries: list[int]) -> Callable[[], float]:
    """Times remove_ge over `queries`, then puts the removed blocks back untimed."""

    def timed() -> float:
        remove_ge = index.remove_ge
        start = time.perf_counter_ns()
        removed = [remove_ge(q) for q in queries]
        elapsed = time.perf_counter_ns() - start
        for size, block in removed:
            if block is not None:
                index.insert(size, block)
        return elapsed / len(queries)

    return timed


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
    fresh = [(s, Blockrec(n + i, s)) for i, s in enumerate(queries[:batch])]
    ops = {
        "insert(size, block)": lambda index: inserts(index, fresh),
        "find_best_fit(size)": lambda index: reads(index.find_best_fit, queries),
        "remove_ge(size)": lambda index: removals(index, queries[:batch]),
        "find_all_exact(size)": lambda index: reads(index.find_all_exact, queries),
    }
    result = []
    for op_name, make in ops.items():
        name = f"{op_name} @ 10^{exponent} blocks"
        for base_name, base in baselines:
            op, baseline = warmed(tree, warm, make(tree)), warmed(base, warm, make(base))
            result.append(
                Row(
                    name,
                    op,
                    base_name,
                    baseline,
                    series=op_name,
                    x=n,
                    x_label="stored blocks",
                    headline=(
                        exponent == EXPONENTS[0]
                        and op_name in HEADLINE_OPS
                        and base_name == "bisect list index"
                    ),
                )
            )
    return result


def rows(headline: bool = False) -> list[Row]:
    # The headline rows are all at the smallest size: the larger trees, which
    # take seconds to build, are left out when only those are wanted.
    exponents = EXPONENTS[:1] if headline else EXPONENTS
    return [row for exponent in exponents for row in rows_at(exponent)]
