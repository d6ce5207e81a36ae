"""Bounded multi-threaded stress per stateful type: several threads mix every
operation, and invariants are checked at the end (totals exact, nothing lost
or duplicated)."""

from __future__ import annotations

import math
import statistics
import threading
from collections import Counter

from lumetra.jit import compilegate as cg
from lumetra.memory import slabkit as sk
from lumetra.memory.blockindex import FastRedBlackTree
from lumetra.memory.lockless import (
    AtomicCounter,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
)
from lumetra.monitoring.statcounters import CounterAggregator
from lumetra.plugins.analyzer import adaptplan
from refcheck import references

from conftest import STRESS_THREADS as THREADS
from conftest import run_threads


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


def test_atomic_pointer_mixed_operations():
    cell = AtomicPointer()
    rounds = 1000
    stores = [0] * THREADS
    # Every installed object is new, so a swap that displaced one object twice
    # would show up as a duplicate here.
    displaced: list[list[object]] = [[] for _ in range(THREADS)]

    def work(index: int) -> None:
        last_version = 0
        for i in range(rounds):
            if i % 5 == 0:
                cell.store((index, i))
                stores[index] += 1
            current = cell.load()
            if cell.compare_and_swap(current, (index, i, "swap")):
                displaced[index].append(current)
            version = cell.get_version()
            assert version >= last_version
            last_version = version

    run_threads(work)
    swaps = [item for items in displaced for item in items]
    assert cell.get_version() == sum(stores) + len(swaps)
    installed = [item for item in swaps if item is not None]
    assert len({id(item) for item in installed}) == len(installed)
    assert swaps.count(None) <= 1  # the empty start is displaced at most once
    final = cell.load()
    assert final not in installed
    assert references(id(final)) == 2  # the cell and `final`


def test_stack_mixed_operations():
    stack = LockFreeStack()
    rounds = 1000
    popped: list[list[object]] = [[] for _ in range(THREADS)]

    def work(index: int) -> None:
        for i in range(rounds):
            stack.push((index, i))
            if i % 3 == 0:
                stack.push(None)  # None is an item like any other
            if i % 2 == 1:
                popped[index].append(stack.pop())
            if i % 7 == 0:
                assert stack.size() >= 0
                stack.is_empty()

    run_threads(work)
    remaining = stack.size()
    drained = []
    while not stack.is_empty():
        drained.append(stack.pop())
    assert len(drained) == remaining and stack.pop() is None and stack.size() == 0
    pushed: Counter[object] = Counter((index, i) for index in range(THREADS) for i in range(rounds))
    pushed[None] = THREADS * len(range(0, rounds, 3))
    # Every item pushed is popped exactly once, during the run or after it.
    assert Counter(item for items in popped for item in items) + Counter(drained) == pushed


def test_statistics_mixed_operations():
    stats = LockFreeStatistics()
    rounds = 300
    phase = threading.Barrier(THREADS)

    def record(index: int) -> None:
        size = 8 * (index + 1)
        last_peaks = (0, 0)
        for i in range(rounds):
            stats.record_allocation(size, i % 2 == 0, padding=i % 3, time_ns=5)
            if i % 5 == 0:
                stats.py_record_allocation(size, False, time_ns=7)
                stats.py_record_deallocation(size)
            stats._update_peaks(1, size)  # below the peaks already reached
            snapshot = stats.get_snapshot()
            peaks = (snapshot["peak_allocations"], snapshot["peak_bytes_allocated"])
            assert peaks[0] >= last_peaks[0] and peaks[1] >= last_peaks[1]
            last_peaks = peaks
            stats.record_deallocation(size, time_ns=3)

    def work(index: int) -> None:
        record(index)
        phase.wait()
        before = stats.get_snapshot()
        phase.wait()
        # Only reset changes the counters now: a snapshot sees each one before
        # or after it.
        if index == 0:
            stats.reset()
        else:
            during = stats.get_snapshot()
            assert all(during[k] in (v, 0) for k, v in before.items() if type(v) is int)
        phase.wait()
        record(index)

    run_threads(work)
    s = stats.get_snapshot()
    recorded = THREADS * rounds
    unlocked = THREADS * len(range(0, rounds, 5))  # py_record_* calls
    assert s["total_allocations"] == s["total_deallocations"] == recorded + unlocked
    assert s["current_allocations"] == s["bytes_allocated"] == 0
    assert s["bucketed_allocations"] == THREADS * len(range(0, rounds, 2))
    assert s["fallback_allocations"] == recorded - s["bucketed_allocations"]
    assert s["alignment_padding_bytes"] == THREADS * sum(i % 3 for i in range(rounds))
    # py_record_* times go to the native counters only.
    assert s["average_allocation_time_ns"] == 5 * recorded / (recorded + unlocked)
    assert s["average_deallocation_time_ns"] == 3 * recorded / (recorded + unlocked)
    # Each thread holds at most two allocations at a time (one recorded each
    # way), and the largest size was held at least once.
    assert 1 <= s["peak_allocations"] <= 2 * THREADS
    assert 8 * THREADS <= s["peak_bytes_allocated"] <= 2 * 8 * sum(range(1, THREADS + 1))


def test_statistics_counters_replaced_while_recording():
    # Every increment lands in exactly one counter, the one bound when its step
    # read the attribute, however often another thread rebinds it; a plain
    # AtomicCounter is no longer changed once the rebinding has returned, and
    # a subclass's (used through its methods) once it is freed.
    tally: list[int] = []

    class Counted(AtomicCounter):
        def __del__(self) -> None:
            tally.append(self.load())

    stats = LockFreeStatistics()
    rounds, recorders = 500, THREADS - 1

    def work(index: int) -> None:
        for i in range(rounds):
            if index < recorders:
                stats.record_allocation(8)
                continue
            old = stats.total_allocations
            stats.total_allocations = Counted() if i % 2 else AtomicCounter()
            if type(old) is AtomicCounter:
                tally.append(old.load())

    run_threads(work)
    assert sum(tally) + stats.total_allocations.load() == recorders * rounds


class Block:
    """A stored block whose equality is Python code: a delete comparing blocks
    can be interrupted by other threads while it holds the tree's write lock."""

    __slots__ = ("owner", "number")

    def __init__(self, owner: int, number: int) -> None:
        self.owner, self.number = owner, number

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Block):
            return NotImplemented
        return (self.owner, self.number) == (other.owner, other.number)

    def __hash__(self) -> int:
        return hash((self.owner, self.number))

    @property
    def size(self) -> int:
        # Sizes are shared between threads, so same-size chains hold several
        # threads' blocks.
        return 64 * (1 + (self.owner + self.number) % 8)


def test_tree_mixed_operations():
    tree = FastRedBlackTree(sample_rate=3)
    rounds = 300
    deleted: list[list[Block]] = [[] for _ in range(THREADS)]
    taken: list[list[Block]] = [[] for _ in range(THREADS)]

    def work(index: int) -> None:
        for i in range(rounds):
            block = Block(index, i)
            assert tree.insert(block.size, block) is True
            if i % 3 == 0:
                earlier = Block(index, i // 2)  # an equal copy finds the stored one
                if tree.delete(earlier.size, earlier):
                    deleted[index].append(earlier)
            if i % 4 == 1:
                found_size, found = tree.remove_ge(block.size)
                if found is not None:
                    assert found_size == found.size >= block.size
                    taken[index].append(found)
            fit = tree.find_best_fit(block.size, alignment=8)
            assert fit is None or fit.size >= block.size
            exact = tree.find_all_exact(block.size)
            assert len(set(exact)) == len(exact)
            assert all(b.size == block.size for b in exact)
            if i % 10 == 0:
                assert tree.get_stats()["is_valid"] is True
                assert sum(tree.get_size_distribution().values()) >= 0
                assert len(tree) >= 0

    run_threads(work)
    shape = tree._check_invariants()
    removed = Counter(b for blocks in deleted + taken for b in blocks)
    assert max(removed.values()) == 1
    remaining = Counter(b for size in range(64, 64 * 9, 64) for b in tree.find_all_exact(size))
    inserted = Counter(Block(index, i) for index in range(THREADS) for i in range(rounds))
    # Every inserted block was deleted, taken or is still stored: exactly once.
    assert removed + remaining == inserted
    assert len(tree) == tree.size() == shape["entries"] == remaining.total()
    assert tree.get_size_distribution() == dict(Counter(b.size for b in remaining))
    stats = tree.get_stats()
    assert stats["total_blocks"] == len(tree)
    assert stats["total_insertions"] == THREADS * rounds == stats["operation_count"]
    assert stats["total_deletions"] == removed.total()
    assert stats["sampled_operations"] == THREADS * rounds // 3


def test_aggregator_mixed_operations():
    aggregator = CounterAggregator(16)
    rounds = 500
    shared, contested = range(4), 15

    def work(index: int) -> None:
        seen = [0] * len(shared)
        for i in range(rounds):
            counter_id = shared[i % len(shared)]
            aggregator.update(counter_id, float(index * 1000 + i))
            aggregator.update(contested, 1.0)
            if i % 7 == index:
                aggregator.reset(contested)
            stats = aggregator.get_stats(counter_id)
            assert stats["count"] >= seen[counter_id]  # nothing resets these
            seen[counter_id] = int(stats["count"])
            if i % 25 == 0:
                for listed_id, listed in aggregator.get_all_stats():
                    if listed["count"] == 0:  # reset after its unlocked count check
                        assert listed_id == contested
                        continue
                    assert listed["min"] <= listed["max"]
                    if listed_id == contested:
                        assert listed["mean"] == listed["std"] + 1.0 == 1.0

    run_threads(work)
    for counter_id in shared:
        values = [
            float(index * 1000 + i)
            for index in range(THREADS)
            for i in range(counter_id, rounds, len(shared))
        ]
        stats = aggregator.get_stats(counter_id)
        assert stats["count"] == len(values)
        assert stats["mean"] == sum(values) / len(values)  # integral sums are exact
        assert (stats["min"], stats["max"]) == (min(values), max(values))
        assert math.isclose(stats["variance"], statistics.pvariance(values), rel_tol=1e-12)
    assert aggregator.get_stats(contested)["count"] <= THREADS * rounds
    aggregator.reset_all()
    assert aggregator.get_all_stats() == []


def test_bucket_allocator_mixed_operations():
    # Each thread owns a range of offsets and moves them in and out of shared
    # buckets; at the end every offset is either with its owner or in exactly
    # one bucket.
    allocator = sk.FastBucketAllocator()
    per_thread, rounds = 40, 300
    owned = [range(i * 10_000, i * 10_000 + per_thread * 64, 64) for i in range(THREADS)]
    held = [list(offsets) for offsets in owned]
    sizes = [16, 24, 32, 48]

    def work(index: int) -> None:
        mine = held[index]
        for i in range(rounds):
            size = sizes[i % len(sizes)]
            if mine and i % 3 != 2:
                assert allocator.add_to_bucket(mine.pop(), size)
            taken = (
                allocator.find_best_fit_bucket(size - 8, 8)
                if i % 2
                else allocator.remove_from_bucket(size)
            )
            if taken is not None:
                mine.append(taken)

    run_threads(work)
    in_buckets = []
    for size in sizes:
        while (offset := allocator.remove_from_bucket(size)) is not None:
            in_buckets.append(offset)
    everything = sorted(in_buckets + [o for mine in held for o in mine])
    expected = sorted(
        o for i in range(THREADS) for o in range(i * 10_000, i * 10_000 + per_thread * 64, 64)
    )
    assert everything == expected


def test_stats_collector_mixed_operations():
    collector = sk.FastStatsCollector()
    rounds = 2000

    def work(index: int) -> None:
        for i in range(rounds):
            collector.py_record_allocation(64, index, i % 4 == 0)
            if i % 2:
                collector.py_record_deallocation()
            if i % 200 == 0:
                stats = collector.get_stats()
                assert stats["total_allocations"] == (
                    stats["bucketed_allocations"] + stats["fallback_allocations"]
                )

    run_threads(work)
    stats = collector.get_stats()
    assert stats["total_allocations"] == THREADS * rounds
    assert stats["bucketed_allocations"] == THREADS * rounds // 4
    assert stats["total_deallocations"] == THREADS * rounds // 2
    assert stats["alignment_padding_bytes"] == rounds * sum(range(THREADS))
    assert stats["bucketed_allocation_ratio"] == "25.0%"


def test_slab_header_mixed_operations():
    # Each thread takes and frees its own objects of one shared slab: every call
    # bumps the epoch once, and every object ends free.
    ops = sk.FastSlabHeaderOps(3, 8 * THREADS)
    rounds = 5000

    def work(index: int) -> None:
        for i in range(rounds):
            slot = index * 8 + i % 8
            ops.py_allocate_object_at(slot)
            ops.py_deallocate_object_at(slot)
            if i % 100 == 0:
                assert ops.py_is_object_free(slot) and len(ops.pack_header()) == 16

    run_threads(work)
    header = ops.pack_header()
    assert int.from_bytes(header[2:6], "little") == 2 * THREADS * rounds  # the epoch
    assert ops.py_find_free_object() == 0 and header[1] & 0x10 == 0  # all free again


class _MetricsStore:
    def __init__(self) -> None:
        self.metrics = {
            f"f{i}": cg.FunctionMetrics(call_count=1000, compile_count=1, avg_speedup=3.0)
            for i in range(4)
        }

    def get_metrics(self, func_id):
        return self.metrics[func_id]


class _Fixed:
    """A telemetry store with one metrics record for every function."""

    def __init__(self, metrics) -> None:
        self.metrics = metrics

    def get_metrics(self, func_id):
        return self.metrics


def test_policy_mixed_operations():
    # Threads decide on and update the same functions. An update always moves
    # a function's threshold by the same rule, so after the run each threshold
    # must equal that many updates applied one after another.
    policy = cg.Compilegate()
    store = _MetricsStore()
    rounds = 300
    updates = [0] * 4
    counting = threading.Lock()

    def work(index: int) -> None:
        for i in range(rounds):
            k = (index + i) % 4
            name = f"f{k}"
            assert policy.should_compile(name, store) in (True, False)
            if i % 3 == 0:
                policy.update(name, store)
                with counting:
                    updates[k] += 1
            assert policy.get_threshold(name) >= 10
            if i % 50 == 0:
                policy.get_statistics()

    run_threads(work)
    values = []
    for k, count in enumerate(updates):
        reference = cg.Compilegate()
        for _ in range(count):
            reference.update("f", _Fixed(store.metrics[f"f{k}"]))
        values.append(policy.get_threshold(f"f{k}"))
        assert values[-1] == reference.get_threshold("f")
    statistics = policy.get_statistics()
    assert statistics["tracked_functions"] == 4
    assert (statistics["min_threshold"], statistics["max_threshold"]) == (min(values), max(values))


def test_analysis_reads_lists_other_threads_change():
    # Half the threads replace list entries with new objects (dropping the old
    # ones) while the others read the same lists: every read holds what it read.
    labels = [f"p{i}" * 3 for i in range(64)]
    history = [(float(i), float(i)) for i in range(64)]

    def work(index: int) -> None:
        for i in range(1500):
            if index % 2:
                labels[i % 64] = f"q{i}" * 3
                history[i % 64] = (float(i), float(index))
            else:
                pattern = adaptplan.detect_dominant_pattern(labels, 64)
                assert pattern is not None and pattern[0] in "pq"
                assert -1.0 <= adaptplan.calculate_performance_trend(history, 0.0) <= 1.0
                adaptplan.detect_performance_degradation(history, 1.0, 0.5, 0.0)

    run_threads(work)
    assert adaptplan.detect_dominant_pattern(labels, 64) == max(labels, key=labels.count)
