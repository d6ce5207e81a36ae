"""Allocation failures: every allocation of an operation made to fail in turn.

The interpreter's allocation-failure hook (`_testcapi.set_nomemory`) fails the
n-th allocation after it is set. Each operation is run with n = 0, 1, 2, ...
until it completes several times in a row without reaching the failing
allocation; every run must succeed or raise MemoryError, and the object must
stay usable and consistent afterwards.
"""

from __future__ import annotations

import gc
import os
import sys
from collections.abc import Callable
from typing import Any

import pytest

from lumetra.gpu import devicemem
from lumetra.jit import compilegate as cg
from lumetra.memory import slabkit as sk
from lumetra.memory.blockindex import FastRedBlackTree
from lumetra.memory.lockless import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)
from lumetra.monitoring.statcounters import CounterAggregator, create_aggregator
from lumetra.native import hostprobe
from lumetra.plugins.analyzer import adaptplan, loadscore

from conftest import FREE_THREADED, run_python
from reliability import MODULES

_testcapi = pytest.importorskip("_testcapi")

MAX_POINTS = 2000


def fail_each_allocation(operation: Callable[[], object], check: Callable[[], object]) -> int:
    """Runs `operation` with its n-th allocation failing, for each n in turn,
    calling `check` after every run. Returns how many runs raised MemoryError.

    A run that returns may have absorbed the failure (a fallback path) or never
    reached it; the walk ends after several runs in a row that never reached it.
    """
    # Garbage left by earlier tests would otherwise be collected (and finalized)
    # inside the walk, where its own allocations fail.
    gc.collect()
    failures = 0
    clean_runs = 0
    for n in range(MAX_POINTS):
        failed = reached = False
        _testcapi.set_nomemory(n, n + 1)
        try:
            try:
                operation()
            except MemoryError:
                failed = True
            except RuntimeError as error:
                # threading.Lock() reports its own failed allocation this way.
                if str(error) != "can't allocate lock":
                    raise
                failed = True
            else:
                # A failure still pending is met by the next n allocations.
                try:
                    for _ in range(n + 1):
                        bytearray(64)
                except MemoryError:
                    pass
                else:
                    reached = True
        finally:
            _testcapi.remove_mem_hooks()
        check()
        failures += failed
        clean_runs = 0 if failed or reached else clean_runs + 1
        if clean_runs >= 5:
            return failures
    raise AssertionError("operation kept allocating; raise MAX_POINTS")


def each_result(build: Callable[[], object], check: Callable[[], None] = lambda: None) -> int:
    """fail_each_allocation for an operation that builds a result: every result
    it returns must equal the one it returns without failures."""
    expected = build()
    got = [expected]

    def operation() -> None:
        got[0] = build()

    def verify() -> None:
        assert got[0] == expected
        check()
        assert build() == expected

    return fail_each_allocation(operation, verify)


@pytest.mark.parametrize(
    ("operation", "allocates"),
    [
        (lambda c: c.increment(10**12), True),
        (lambda c: c.load(), True),
        (lambda c: c.compare_and_swap(1, 2), False),
        (lambda c: c.increment(delta=10**12), True),
        (lambda c: AtomicCounter(10**9), True),
    ],
)
def test_atomic_counter(operation, allocates):
    # Values past 2**30: from 3.14 the interpreter hands out smaller ints
    # from a free list, so a result would not need an allocation there.
    c = AtomicCounter(10**12)

    def check():
        value = c.load()
        c.store(value)
        assert c.load() == value

    failures = fail_each_allocation(lambda: operation(c), check)
    assert (failures > 0) == allocates


def test_wrapper():
    w = AtomicCounterWrapper(5)
    failures = fail_each_allocation(lambda: w.increment(10**12), w.load)
    assert failures > 0
    assert isinstance(w._counter, AtomicCounter)


# --- construction ------------------------------------------------------------------


def _use_pointer(p: AtomicPointer) -> None:
    held = p.load()
    assert type(held) is list and p.get_version() == 0
    assert p.compare_and_swap(held, None) and p.load() is None and p.get_version() == 1


def _use_stack(s: LockFreeStack) -> None:
    s.push(1)
    s.push(None)
    assert s.size() == 2 and s.pop() is None and s.pop() == 1 and s.is_empty()


def _use_statistics(s: LockFreeStatistics) -> None:
    s.record_allocation(100, padding=4)
    snapshot = s.get_snapshot()
    assert snapshot["total_allocations"] == snapshot["peak_allocations"] == 1
    assert snapshot["peak_bytes_allocated"] == 100 and snapshot["alignment_padding_bytes"] == 4


def _use_tree(t: FastRedBlackTree) -> None:
    block = object()
    assert t.insert(1000, block) and t.find_best_fit(999) is block
    assert t.get_stats()["sampled_operations"] == 1
    assert t.remove_ge(1) == (1000, block) and len(t) == 0
    t._check_invariants()


def _use_aggregator(a: CounterAggregator) -> None:
    a.update(15, 2.5)
    assert a.get_all_stats() == [(15, a.get_stats(15))] and a.get_stats(15)["mean"] == 2.5


@pytest.mark.parametrize(
    ("construct", "use"),
    [
        pytest.param(
            lambda: AtomicPointer([1]),
            _use_pointer,
            marks=pytest.mark.skipif(
                FREE_THREADED and sys.version_info[:2] == (3, 13),
                reason="3.13t's PyList_New frees the new list with its item pointer unset "
                "when the item array cannot be allocated, and crashes",
            ),
        ),
        (LockFreeStack, _use_stack),
        (LockFreeStatistics, _use_statistics),
        (lambda: FastRedBlackTree(sample_rate=1), _use_tree),
        (lambda: CounterAggregator(16), _use_aggregator),
        (lambda: create_aggregator(16), _use_aggregator),
        (lambda: AtomicCounterWrapper(10**6), lambda w: w.increment(10**6) == 2 * 10**6),
        (PerformanceTimer, lambda timer: timer.start() or timer.elapsed_ns() >= 0),
    ],
    ids=["pointer", "stack", "statistics", "tree", "aggregator", "create", "wrapper", "timer"],
)
def test_construction(construct, use):
    made = [None]

    def operation() -> None:
        made[0] = construct()

    def check() -> None:
        if made[0] is not None:
            assert use(made[0]) is not False
            made[0] = None

    assert fail_each_allocation(operation, check) > 0


# --- stack ---------------------------------------------------------------------------


def test_stack_push_failure_leaves_the_stack_unchanged():
    stack = LockFreeStack()
    below = [object() for _ in range(3)]
    item = object()
    refs = sys.getrefcount(item)
    pushed = [False]
    errors: list[str] = []

    def push() -> None:
        try:
            stack.push(item)
        except MemoryError as error:
            errors.append(str(error))
            raise
        pushed[0] = True

    def check() -> None:
        expected = [item] * pushed[0] + below[::-1]
        assert stack.size() == len(expected)
        assert all(stack.pop() is x for x in expected) and stack.pop() is None
        del expected
        assert sys.getrefcount(item) == refs  # neither kept nor dropped twice
        for x in below:
            stack.push(x)
        pushed[0] = False

    for x in below:
        stack.push(x)
    assert fail_each_allocation(push, check) > 0
    assert errors and set(errors) == {"Failed to allocate stack node"}


# --- tree ----------------------------------------------------------------------------


def tree_with_blocks(sample_rate: int = 100) -> tuple[FastRedBlackTree, dict[int, list[object]]]:
    tree = FastRedBlackTree(sample_rate)
    blocks = {size: [object() for _ in range(size % 3 + 1)] for size in range(1000, 1020)}
    for size, same_size in blocks.items():
        for block in same_size:
            tree.insert(size, block)
    # Past the small-int cache: the counters' results are allocated from now on.
    spare = object()
    for _ in range(300):
        tree.insert(1, spare)
        tree.delete(1, spare)
    # Filled to the last slot of its storage: a new block makes it grow.
    for size in range(2000, 2000 + tree._check_invariants()["slots"] - len(tree)):
        blocks[size] = [object()]
        tree.insert(size, blocks[size][0])
    return tree, blocks


def assert_holds(
    tree: FastRedBlackTree, blocks: dict[int, list[object]], *, search: bool = True
) -> None:
    tree._check_invariants()  # raises on a broken tree or an odd sequence counter
    assert len(tree) == sum(map(len, blocks.values()))
    assert tree.get_size_distribution() == {size: len(b) for size, b in blocks.items()}
    if not search:  # searching counts in the statistics
        return
    for size, same_size in blocks.items():
        assert sorted(map(id, tree.find_all_exact(size))) == sorted(map(id, same_size))


@pytest.mark.parametrize("sample_rate", [100, 1])
def test_tree_insert_failure_leaves_the_tree_unchanged(sample_rate):
    tree, blocks = tree_with_blocks(sample_rate)
    block = object()
    refs = sys.getrefcount(block)
    inserted = [False]
    errors: list[str] = []

    def insert() -> None:
        try:
            tree.insert(5000, block)
        except MemoryError as error:
            errors.append(str(error))
            raise
        inserted[0] = True

    def check() -> None:
        if inserted[0]:
            assert_holds(tree, {**blocks, 5000: [block]})
            assert tree.delete(5000, block)
        assert_holds(tree, blocks)
        assert sys.getrefcount(block) == refs
        inserted[0] = False

    assert fail_each_allocation(insert, check) > 0
    assert "Failed to allocate RB node" in errors


def test_tree_remove_ge_failure_keeps_the_block():
    tree, blocks = tree_with_blocks()
    taken: list[tuple[Any, Any] | None] = [None]

    def remove() -> None:
        taken[0] = tree.remove_ge(1005)

    def check() -> None:
        if taken[0] is not None:
            size, block = taken[0]
            assert size == 1005 and any(block is b for b in blocks[size])
            tree.insert(size, block)
            taken[0] = None
        assert_holds(tree, blocks)

    # From 3.14 the result's small ints and pair come from the interpreter's
    # free lists, and the call may allocate nothing at all.
    assert fail_each_allocation(remove, check) > 0 or sys.version_info >= (3, 14)


@pytest.mark.parametrize(
    "build",
    [
        lambda t: t.find_all_exact(1001),
        lambda t: t.get_size_distribution(),
        lambda t: t.get_stats(),
    ],
    ids=["find_all_exact", "get_size_distribution", "get_stats"],
)
def test_tree_results(build):
    tree, blocks = tree_with_blocks()
    assert each_result(lambda: build(tree), lambda: assert_holds(tree, blocks, search=False)) > 0


# --- statistics and aggregator -------------------------------------------------------


def recorded_statistics() -> LockFreeStatistics:
    stats = LockFreeStatistics()
    for size in (10**6, 3 * 10**6, 5):
        stats.record_allocation(size, size > 10, padding=size // 1000, time_ns=size * 7)
    stats.record_deallocation(10**6, time_ns=999)
    return stats


def test_statistics_snapshot():
    assert each_result(recorded_statistics().get_snapshot) > 0


def test_statistics_reset_is_all_or_nothing():
    stats = recorded_statistics()
    recorded = stats.get_snapshot()
    cleared = LockFreeStatistics().get_snapshot()

    def check() -> None:
        assert stats.get_snapshot() in (recorded, cleared)
        stats.reset()
        for size in (10**6, 3 * 10**6, 5):
            stats.record_allocation(size, size > 10, padding=size // 1000, time_ns=size * 7)
        stats.record_deallocation(10**6, time_ns=999)
        assert stats.get_snapshot() == recorded

    fail_each_allocation(stats.reset, check)


def fed_aggregator() -> CounterAggregator:
    aggregator = CounterAggregator(16)
    for i, value in enumerate([1.5, -2.0, 1e300, 7.0, 0.25]):
        aggregator.update(i % 3 + 4, value)
    return aggregator


@pytest.mark.parametrize(
    "build", [lambda a: a.get_stats(4), lambda a: a.get_all_stats()], ids=["one", "all"]
)
def test_aggregator_results(build):
    aggregator = fed_aggregator()
    assert each_result(lambda: build(aggregator)) > 0


# --- functions -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "build",
    [
        lambda: devicemem.compute_chunk_shapes((25, 10**3 + 7, 3), 8, 10**5),
        lambda: loadscore.score_indicators(
            "for i in range(10): total += np.sum(x) ** 2 with lock", "vectorize_sum"
        ),
        lambda: adaptplan.predict_resource_requirements(
            [(float(i), 100.0 + i) for i in range(20)], 9.0
        ),
        lambda: adaptplan.calculate_performance_trend(
            [(float(i), float(i * i)) for i in range(20)], 2
        ),
        # Enough distinct labels to outgrow the counter's own storage and index them.
        lambda labels=[f"p{i}" for i in range(40)] * 3: adaptplan.detect_dominant_pattern(
            labels, 120
        ),
    ],
    ids=["compute_chunk_shapes", "score_indicators", "predict", "trend", "dominant"],
)
def test_function_results(build):
    assert each_result(build) > 0


# The interpreter's own os.stat and shutil.which keep going after a failed
# allocation in 3.11 (os.stat fills its time fields with an exception set),
# which its debug build stops with a fatal error. The probes that use them are
# walked on release builds only.
# Plain Python code that some interpreters (3.12.1 and 3.13.0 among them)
# crash on under the hook: functions made after a failed allocation. The debug
# allocator makes the damage show every time rather than now and then.
_FUNCTION_CREATION = """
import _testcapi
def make():
    f = lambda: 1
    return next(k for k in (1, 2) if k), f
for n in range(200):
    for _ in range(30):
        _testcapi.set_nomemory(n, n + 1)
        try:
            make()
        except MemoryError:
            pass
        finally:
            _testcapi.remove_mem_hooks()
"""


def _crashes_creating_functions() -> bool:
    env = {**os.environ, "PYTHONMALLOC": "debug"}
    return run_python(_FUNCTION_CREATION, env=env).returncode != 0


# The probes run Python code of the standard library and of the back-end
# registry; where the interpreter itself faults under the hook they cannot be walked.
_interpreter_faults = pytest.mark.skipif(
    hasattr(sys, "gettotalrefcount") or _crashes_creating_functions(),
    reason="this interpreter faults under the hook in plain Python code (the debug "
    "interpreter aborts in os.stat and shutil.which; some releases crash creating a "
    "function after a failed allocation)",
)


# Generators in the back-end registry report a failed allocation while closing.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize(
    "name",
    [
        pytest.param("detect_capabilities", marks=_interpreter_faults),
        pytest.param("detect_gpu_backends", marks=_interpreter_faults),
        pytest.param("detect_numa_nodes", marks=_interpreter_faults),
        "detect_physical_cores",
        "detect_python_version",
    ],
)
def test_probes(name):
    # The probes fall back when a step fails, so a failed allocation may give
    # a fallback report instead of MemoryError; it must still be a full one.
    probe = getattr(hostprobe, name)
    expected = probe()
    got = [expected]

    def operation() -> None:
        got[0] = probe()

    def check() -> None:
        result, got[0] = got[0], expected
        assert type(result) is type(expected)
        if isinstance(result, dict):
            fallback = result.get("detector") == "native_fallback"
            assert set(result) == set(expected) | ({"error"} if fallback else set())
            assert all(type(result[key]) is type(value) for key, value in expected.items())
        elif isinstance(expected, tuple):
            assert result == expected
        else:
            assert result >= 1

    fail_each_allocation(operation, check)


# --- slab allocator kit and compilation policy --------------------------------------


def _use_header_ops(ops: sk.FastSlabHeaderOps) -> None:
    ops.py_allocate_object_at(0)
    assert ops.py_find_free_object() == 1 and len(ops.pack_header()) == 16


def _use_buckets(allocator: sk.FastBucketAllocator) -> None:
    assert allocator.add_to_bucket(64, 32) and allocator.remove_from_bucket(32) == 64
    assert allocator.remove_from_bucket(32) is None


def _use_collector(collector: sk.FastStatsCollector) -> None:
    collector.py_record_allocation(64, 8, True)
    assert collector.get_stats()["bucketed_allocation_ratio"] == "100.0%"


def _use_policy(policy: cg.Compilegate) -> None:
    store = _Store(cg.FunctionMetrics(call_count=150, compile_count=1, avg_speedup=3.0))
    assert policy.should_compile("f", store)
    policy.update("f", store)
    assert policy.get_threshold("f") == 91


class _Store:
    def __init__(self, metrics: object) -> None:
        self.metrics = metrics

    def get_metrics(self, func_id: object) -> object:
        return self.metrics


@pytest.mark.parametrize(
    ("construct", "use"),
    [
        (lambda: sk.FastSlabHeaderOps(3, 8), _use_header_ops),
        (sk.FastBucketAllocator, _use_buckets),
        (sk.FastStatsCollector, _use_collector),
        (cg.PolicyConfig, lambda c: c.initial_threshold == 100),
        (lambda: cg.FunctionMetrics(10**12), lambda m: m.call_count == 10**12),
        (cg.Compilegate, _use_policy),
        (lambda: cg.create_policy_config(100, 10, 1000), lambda c: c.max_threshold == 1000),
    ],
    ids=["header", "buckets", "collector", "config", "metrics", "policy", "factory"],
)
def test_construction_of_allocator_and_policy_types(construct, use):
    test_construction(construct, use)


def test_bucket_operations_keep_every_offset():
    allocator = sk.FastBucketAllocator()
    stored = list(range(0, 64 * 40, 64))

    def operation() -> None:
        # Each offset is taken and put back, so the bucket's content never
        # changes whatever step fails.
        offset = allocator.remove_from_bucket(40)
        if offset is not None:
            allocator.add_to_bucket(offset, 40)

    for offset in stored:
        allocator.add_to_bucket(offset, 40)

    def check() -> None:
        taken = []
        while (offset := allocator.remove_from_bucket(40)) is not None:
            taken.append(offset)
        assert sorted(taken) == stored
        for offset in taken:
            assert allocator.add_to_bucket(offset, 40)

    fail_each_allocation(operation, check)


@pytest.mark.parametrize(
    "build",
    [
        lambda: sk.FastSlabHeaderOps(7, 40).pack_header(),
        lambda: sk.fast_bitmap_operations(2**63 + 5, 2, "clear"),
        lambda: _collector_with_events().get_stats(),
        lambda: _policy_with_thresholds().get_statistics(),
    ],
    ids=["pack_header", "bitmap", "collector_stats", "policy_statistics"],
)
def test_allocator_and_policy_results(build):
    each_result(build)


def _collector_with_events() -> sk.FastStatsCollector:
    collector = sk.FastStatsCollector()
    for i in range(3):
        collector.py_record_allocation(64, i, i == 0)
    return collector


def _policy_with_thresholds() -> cg.Compilegate:
    policy = cg.Compilegate()
    for name, speedup in (("a", 3.0), ("b", 1.0)):
        policy.update(name, _Store(cg.FunctionMetrics(compile_count=1, avg_speedup=speedup)))
    return policy


def test_policy_update_is_all_or_nothing():
    # Each run updates a function not seen before, so the update has to store
    # a new entry. An update that returns has stored it; one that raises has
    # stored nothing or (when the failure came from logging the change, which
    # follows the store) exactly the learned value.
    policy = cg.Compilegate()
    store = _Store(cg.FunctionMetrics(compile_count=1, avg_speedup=3.0))
    names = [f"function-{i}" for i in range(MAX_POINTS)]
    runs = [0]

    def operation() -> None:
        name = names[runs[0]]
        runs[0] += 1
        policy.update(name, store)

    def check() -> None:
        statistics = policy.get_statistics()
        tracked = statistics["tracked_functions"]
        assert tracked <= runs[0]
        if tracked:
            assert statistics["min_threshold"] == statistics["max_threshold"] == 91
        for name in names[: runs[0]]:
            assert policy.get_threshold(name) in (91, 100)

    # Stores into the policy's table rarely allocate (only when it grows), so
    # the walk may well complete without a MemoryError; the checks still run.
    fail_each_allocation(operation, check)


# --- module import --------------------------------------------------------------------

# Each allocation of a fresh import failing in turn: the import raises
# MemoryError (or importlib's own "can't allocate lock" for its module lock)
# and leaves nothing behind, so the next import succeeds and works.
_IMPORT_WALK = """
import gc, importlib, sys, _testcapi
name = {name!r}
importlib.import_module(name)
failures = clean = 0
for n in range(3000):
    sys.modules.pop(name, None)
    _testcapi.set_nomemory(n, n + 1)
    try:
        importlib.import_module(name)
        clean += 1
    except MemoryError:
        failures, clean = failures + 1, 0
    except RuntimeError as error:
        assert str(error) == "can't allocate lock", error
        clean = 0
    finally:
        _testcapi.remove_mem_hooks()
    module = importlib.import_module(name)
    assert module is sys.modules[name] and module.__name__ == name
    if clean == 200:  # the import no longer reaches the failing allocation
        break
print(failures)
"""


@_interpreter_faults
@pytest.mark.parametrize("name", MODULES)
def test_failed_import_leaves_nothing_behind(name):
    done = run_python(_IMPORT_WALK.format(name=name))
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) > 0
