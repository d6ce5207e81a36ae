"""Leak checks: representative calls of every function and method, repeated.

Each discovered target (see reliability.py) gets the call its discovery implies
(discovered_calls). The table below holds what discovery does not produce: its
successful calls (on filled instances, with values that make new objects) stand
in place of the discovered one, and its error paths are added. Each call is
repeated many times; traced memory (tracemalloc) and the reference counts of
its arguments and of None/True/False must not grow. Methods are called on a
fresh instance each time, so constructors and destructors are checked as well.
"""

from __future__ import annotations

import gc
import os
import sys
import tracemalloc
from collections.abc import Callable
from dataclasses import dataclass, field

import pytest

from lumetra.gpu import devicemem as dm
from lumetra.jit import compilegate as cg
from lumetra.memory import slabkit as sk
from lumetra.memory.blockindex import FastRedBlackTree
from lumetra.memory.blockrec import Blockrec
from lumetra.memory.lockless import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
)
from lumetra.monitoring.statcounters import CounterAggregator, create_aggregator
from lumetra.plugins.analyzer import adaptplan as ap
from lumetra.plugins.analyzer import loadscore

import reliability
from conftest import scaled
from reliability import CONSTRUCTOR_ARGS, discover

REPEATS = scaled(2000, 200)
# A leak of one small object (or one reference) per call exceeds these.
MEMORY_SLACK = 16 * 1024
REFCOUNT_SLACK = 20


@dataclass
class Call:
    func: Callable
    args: tuple = ()
    kwargs: dict = field(default_factory=dict)
    raises: type[BaseException] | None = None

    def __call__(self) -> None:
        if self.raises is None:
            self.func(*self.args, **self.kwargs)
            return
        try:
            self.func(*self.args, **self.kwargs)
        except self.raises:
            return
        raise AssertionError(f"{self.func!r} did not raise {self.raises.__name__}")


def method(cls, name, *args, ctor=(), raises=None, **kwargs) -> Call:
    """`name` called on a new instance each time."""

    def call(*a, **k):
        return getattr(cls(*ctor), name)(*a, **k)

    call.__qualname__ = f"{cls.__name__}().{name}"
    return Call(call, args, kwargs, raises)


BIG = 10**30

CALLS: dict[str, list[Call]] = {
    "lockless.AtomicCounter()": [
        Call(AtomicCounter, (7,)),
        Call(AtomicCounter, (2.5,)),
        Call(AtomicCounter, kwargs={"initial_value": 3}),
        Call(AtomicCounter, ("x",), raises=TypeError),
        Call(AtomicCounter, (BIG,), raises=OverflowError),
        Call(AtomicCounter, (1, 2), raises=TypeError),
    ],
    "lockless.AtomicCounter.load": [method(AtomicCounter, "load", ctor=(1000,))],
    "lockless.AtomicCounter.store": [
        method(AtomicCounter, "store", 1000),
        method(AtomicCounter, "store", BIG, raises=OverflowError),
    ],
    "lockless.AtomicCounter.increment": [
        method(AtomicCounter, "increment", 1000),
        method(AtomicCounter, "increment", delta=2.5),
        method(AtomicCounter, "increment", bogus=1, raises=TypeError),
    ],
    "lockless.AtomicCounter.decrement": [method(AtomicCounter, "decrement", ctor=(5000,))],
    "lockless.AtomicCounter.compare_and_swap": [
        method(AtomicCounter, "compare_and_swap", 0, 1000),
        method(AtomicCounter, "compare_and_swap", 5, 1000),
        method(AtomicCounter, "compare_and_swap", 1, expected=1, raises=TypeError),
    ],
    "lockless.AtomicCounter.fetch_and_add": [method(AtomicCounter, "fetch_and_add", 1000)],
    "lockless.AtomicCounterWrapper()": [
        Call(AtomicCounterWrapper, (3,)),
        Call(AtomicCounterWrapper, (None,), raises=TypeError),
    ],
    "lockless.AtomicCounterWrapper.load": [method(AtomicCounterWrapper, "load", ctor=(1000,))],
    "lockless.AtomicCounterWrapper.store": [method(AtomicCounterWrapper, "store", 1000.5)],
    "lockless.AtomicCounterWrapper.increment": [
        method(AtomicCounterWrapper, "increment", 1000),
        method(AtomicCounterWrapper, "increment", "1", raises=TypeError),
    ],
    "lockless.AtomicCounterWrapper.decrement": [method(AtomicCounterWrapper, "decrement", 7)],
    "lockless.AtomicCounterWrapper.compare_and_swap": [
        method(AtomicCounterWrapper, "compare_and_swap", 0, 1000)
    ],
    "lockless.AtomicCounterWrapper.fetch_and_add": [
        method(AtomicCounterWrapper, "fetch_and_add", 1000)
    ],
}

SOURCE = "import numpy as np\nfor i in range(10):\n    total += np.sum(x[i]) @ y\n" * 20
CALLS.update(
    {
        "loadscore.quick_framework_score": [
            Call(loadscore.quick_framework_score, (SOURCE, "numpy")),
            Call(loadscore.quick_framework_score, (SOURCE, "Numpy")),
            Call(loadscore.quick_framework_score, (None, "numpy"), raises=TypeError),
        ],
        "loadscore.score_indicators": [
            Call(loadscore.score_indicators, (SOURCE, "vectorize_sum")),
            Call(loadscore.score_indicators, ("x\ud800 for", None)),
            Call(loadscore.score_indicators, (None, "f"), raises=TypeError),
            Call(loadscore.score_indicators, (SOURCE, 5), raises=TypeError),
        ],
        "loadscore.normalize_scores": [
            Call(loadscore.normalize_scores, (15, 3, 0, 40, -1)),
            Call(loadscore.normalize_scores, (1, 2, 3, 4, 2**40), raises=OverflowError),
        ],
        "loadscore.score_framework_patterns": [
            Call(loadscore.score_framework_patterns, (SOURCE,)),
            Call(loadscore.score_framework_patterns, (b"x",), raises=TypeError),
        ],
        "loadscore.determine_workload_pattern": [
            Call(loadscore.determine_workload_pattern, (0.5,) * 8 + (3, 1) + (0.4,) * 6 + ([1],)),
            Call(
                loadscore.determine_workload_pattern, (0.5,) * 17, kwargs={"x": 1}, raises=TypeError
            ),
        ],
        "loadscore.calculate_gpu_suitability": [
            Call(loadscore.calculate_gpu_suitability, (0.8, 0.5, 0.5, True, "8.6")),
            Call(loadscore.calculate_gpu_suitability, (0.8, 0.5, 0.5, True, "x.6")),
            Call(
                loadscore.calculate_gpu_suitability,
                (0.8, 0.5, 0.5, True, "9" * 30),
                raises=OverflowError,
            ),
        ],
        "loadscore.estimate_gpu_speedup": [
            Call(loadscore.estimate_gpu_speedup, (0.9, 1.0, "yes")),
            Call(loadscore.estimate_gpu_speedup, ("a", 1.0, True), raises=TypeError),
        ],
        "loadscore.calculate_parallelization_potential": [
            Call(loadscore.calculate_parallelization_potential, (0.5, 1.0, 1.0, 0.5))
        ],
        "loadscore.update_adaptive_threshold": [
            Call(loadscore.update_adaptive_threshold, (0.5, 0.9, 0.05, 0.1, 0.9))
        ],
    }
)


def filled_tree() -> FastRedBlackTree:
    tree = FastRedBlackTree(sample_rate=1)
    for i in range(12):
        tree.insert(8 * (i % 5 + 1), Blockrec(64 * i, 8 * (i % 5 + 1)))
    return tree


class EqRaises:
    def __eq__(self, other):
        raise ZeroDivisionError

    __hash__ = object.__hash__


BLOCK = Blockrec(0, 16)
CALLS.update(
    {
        "blockindex.FastRedBlackTree()": [
            Call(FastRedBlackTree, (7,)),
            Call(FastRedBlackTree, (-1,), raises=OverflowError),
            Call(filled_tree),
        ],
        "blockindex.FastRedBlackTree._sanitize_size": [
            Call(FastRedBlackTree._sanitize_size, (12.5,)),
            Call(FastRedBlackTree._sanitize_size, (-1,), raises=ValueError),
            Call(FastRedBlackTree._sanitize_size, ("1",), raises=TypeError),
        ],
        "blockindex.FastRedBlackTree.insert": [
            method(filled_tree, "insert", 16, BLOCK),
            method(filled_tree, "insert", 1000, BLOCK),
            method(filled_tree, "insert", -1, BLOCK, raises=ValueError),
            method(filled_tree, "insert", 2**64, BLOCK, raises=OverflowError),
        ],
        "blockindex.FastRedBlackTree.find_best_fit": [
            method(filled_tree, "find_best_fit", 17),
            method(filled_tree, "find_best_fit", 10**6, alignment=8),
            method(filled_tree, "find_best_fit", None, raises=TypeError),
        ],
        "blockindex.FastRedBlackTree.find_all_exact": [method(filled_tree, "find_all_exact", 16)],
        "blockindex.FastRedBlackTree.delete": [
            method(filled_tree, "delete", 16, Blockrec(64, 16)),
            method(filled_tree, "delete", 16, BLOCK),
            method(filled_tree, "delete", 16, EqRaises(), raises=ZeroDivisionError),
        ],
        "blockindex.FastRedBlackTree.remove_ge": [
            method(filled_tree, "remove_ge", 9),
            method(FastRedBlackTree, "remove_ge", 9),
        ],
        "blockindex.FastRedBlackTree.size": [method(filled_tree, "size")],
        "blockindex.FastRedBlackTree.clear": [method(filled_tree, "clear")],
        "blockindex.FastRedBlackTree.get_stats": [method(filled_tree, "get_stats")],
        "blockindex.FastRedBlackTree.get_statistics": [method(filled_tree, "get_statistics")],
        "blockindex.FastRedBlackTree.get_size_distribution": [
            method(filled_tree, "get_size_distribution")
        ],
        "blockindex.FastRedBlackTree.reset_circuit_breaker": [
            method(filled_tree, "reset_circuit_breaker")
        ],
        "blockindex.FastRedBlackTree._check_invariants": [method(filled_tree, "_check_invariants")],
        "blockindex.FastRedBlackTree._set_entry_limit": [
            method(filled_tree, "_set_entry_limit", 12),
            method(filled_tree, "_set_entry_limit", -1, raises=OverflowError),
        ],
    }
)

HISTORY = [(float(t), 100.0 - t) for t in range(40)]
PATTERNS = [
    {"parallelization_potential": 0.1 * i, "cpu_intensity": 0.5, "memory_intensity": 1}
    for i in range(8)
]
LABELS = ["cpu", "io", None, "cpu", "gpu", "io", "cpu"]
ALLOCATIONS = [(float(t), 128.0) for t in range(30)]
CALLS.update(
    {
        "adaptplan.detect_performance_degradation": [
            Call(ap.detect_performance_degradation, (HISTORY, 120.0, 0.1, 5.0)),
            Call(
                ap.detect_performance_degradation,
                ([*HISTORY, (1, 2, 3)], 120.0, 0.1, 5.0),
                raises=ValueError,
            ),
            Call(
                ap.detect_performance_degradation,
                ([*HISTORY, ("x", 2)], 120.0, 0.1, 5.0),
                raises=TypeError,
            ),
        ],
        "adaptplan.calculate_performance_trend": [
            Call(ap.calculate_performance_trend, (HISTORY, 3.0)),
            Call(ap.calculate_performance_trend, ([(1.0,)] * 4, 3.0), raises=ValueError),
        ],
        "adaptplan.detect_workload_characteristics_change": [
            Call(ap.detect_workload_characteristics_change, (PATTERNS,)),
            Call(ap.detect_workload_characteristics_change, ([*PATTERNS, []],), raises=TypeError),
            Call(ap.detect_workload_characteristics_change, (None,), raises=TypeError),
        ],
        "adaptplan.detect_dominant_pattern": [
            Call(ap.detect_dominant_pattern, (LABELS, 6)),
            Call(ap.detect_dominant_pattern, ([*LABELS, 5],), raises=TypeError),
        ],
        "adaptplan.is_adaptation_beneficial": [
            Call(ap.is_adaptation_beneficial, ("threads", "processes", 0.9, 0.8, 0.5, 1)),
            Call(ap.is_adaptation_beneficial, (5, "processes", 0.9, 0.8, 0.5, 1), raises=TypeError),
        ],
        "adaptplan.should_skip_adaptation": [Call(ap.should_skip_adaptation, (100.0, 105.0, 10.0))],
        "adaptplan.detect_memory_pressure": [Call(ap.detect_memory_pressure, (900, 1000))],
        "adaptplan.detect_fragmentation_threshold": [
            Call(ap.detect_fragmentation_threshold, (0.31,))
        ],
        "adaptplan.calculate_adaptation_urgency": [
            Call(ap.calculate_adaptation_urgency, (0.5, 0.2, 0.1, [1]))
        ],
        "adaptplan.score_pool_recommendation": [
            Call(ap.score_pool_recommendation, (0.5, 0.5, 0.5, 0.5))
        ],
        "adaptplan.predict_resource_requirements": [
            Call(ap.predict_resource_requirements, (ALLOCATIONS, 9.0)),
            Call(
                ap.predict_resource_requirements, ([*ALLOCATIONS, (1.0,)], 9.0), raises=ValueError
            ),
        ],
    }
)

CALLS.update(
    {
        "devicemem.estimate_allocation_bytes": [
            Call(dm.estimate_allocation_bytes, ((64, 64, 3, 3), 4, 1.2)),
            Call(dm.estimate_allocation_bytes, ((2**31 - 1, 2**31 - 1, 4), 8)),
            Call(dm.estimate_allocation_bytes, ((2**31,), 1), raises=OverflowError),
            Call(dm.estimate_allocation_bytes, ([10], 1), raises=TypeError),
        ],
        "devicemem.calculate_safe_limit": [Call(dm.calculate_safe_limit, (1000, 0.2))],
        "devicemem.decide_allocation_strategy": [
            Call(dm.decide_allocation_strategy, (500, 1000, 0.2, False)),
            Call(dm.decide_allocation_strategy, (2500, 1000, 0.2, True)),
            Call(dm.decide_allocation_strategy, (-1, 1000, 0.2, True), raises=OverflowError),
        ],
        "devicemem.compute_chunk_shapes": [
            Call(dm.compute_chunk_shapes, ((100, 4, 3), 8, 1000)),
            Call(dm.compute_chunk_shapes, ((10, -4), 8, 100), raises=OverflowError),
            Call(dm.compute_chunk_shapes, ((10, 4), 0, 100), raises=ValueError),
        ],
        "devicemem.calculate_optimal_chunks": [
            Call(dm.calculate_optimal_chunks, (2500, 1000, 0.2))
        ],
        "devicemem.is_oom_error": [
            Call(
                dm.is_oom_error, ("CUDA out of memory. Tried to allocate 2.00 GiB", "RuntimeError")
            ),
            Call(dm.is_oom_error, ("Unicode \u212a \ud800 nothing", "Error")),
            Call(dm.is_oom_error, (None, "Error"), raises=TypeError),
        ],
        "devicemem.is_chunkable_operation": [
            Call(dm.is_chunkable_operation, ("random.randn",)),
            Call(dm.is_chunkable_operation, (5,), raises=TypeError),
        ],
        "devicemem.score_gpu_suitability": [
            Call(dm.score_gpu_suitability, (320, "matmul", 1000, 0.2))
        ],
        "devicemem.calculate_memory_pressure": [Call(dm.calculate_memory_pressure, (25, 100))],
        "devicemem.recommend_headroom": [Call(dm.recommend_headroom, (0.7,))],
    }
)


def filled_stack() -> LockFreeStack:
    stack = LockFreeStack()
    for item in (BLOCK, None, 3, "x"):
        stack.push(item)
    return stack


def used_statistics() -> LockFreeStatistics:
    stats = LockFreeStatistics()
    stats.record_allocation(100)
    stats.record_allocation(50, False, 8, 1000)
    return stats


def push_pop(stack: LockFreeStack, item: object) -> None:
    stack.push(item)
    stack.pop()


ITEM = object()
SHARED_STACK = LockFreeStack()
CALLS.update(
    {
        "lockless.AtomicPointer()": [Call(AtomicPointer, (ITEM,)), Call(AtomicPointer)],
        "lockless.AtomicPointer.load": [method(AtomicPointer, "load", ctor=(ITEM,))],
        "lockless.AtomicPointer.store": [
            method(AtomicPointer, "store", ITEM, ctor=(ITEM,)),
            method(AtomicPointer, "store", None, ctor=(ITEM,)),
        ],
        "lockless.AtomicPointer.compare_and_swap": [
            method(AtomicPointer, "compare_and_swap", ITEM, BLOCK, ctor=(ITEM,)),
            method(AtomicPointer, "compare_and_swap", BLOCK, ITEM, ctor=(ITEM,)),
        ],
        "lockless.LockFreeStack()": [
            Call(filled_stack),
            Call(LockFreeStack, (1,), raises=TypeError),
        ],
        "lockless.LockFreeStack.push": [
            method(filled_stack, "push", ITEM),
            Call(push_pop, (SHARED_STACK, ITEM)),
        ],
        "lockless.LockFreeStack.pop": [method(filled_stack, "pop"), method(LockFreeStack, "pop")],
        "lockless.LockFreeStack.is_empty": [method(filled_stack, "is_empty")],
        "lockless.LockFreeStack.size": [method(filled_stack, "size")],
        "lockless.LockFreeStatistics()": [Call(used_statistics)],
        "lockless.LockFreeStatistics.record_allocation": [
            method(used_statistics, "record_allocation", 10**6, False, 8, 10**6),
            method(used_statistics, "record_allocation", "1", raises=TypeError),
            method(used_statistics, "record_allocation", 2**70, raises=OverflowError),
        ],
        "lockless.LockFreeStatistics.record_deallocation": [
            method(used_statistics, "record_deallocation", 10**6, 10**6)
        ],
        "lockless.LockFreeStatistics.py_record_allocation": [
            method(used_statistics, "py_record_allocation", 10**6, True, 8, 10**6),
            method(used_statistics, "py_record_allocation", 2**70, True, raises=OverflowError),
        ],
        "lockless.LockFreeStatistics.py_record_deallocation": [
            method(used_statistics, "py_record_deallocation", 10**6, 10**6)
        ],
        "lockless.LockFreeStatistics._update_peaks": [
            method(used_statistics, "_update_peaks", 10**6, 10**7)
        ],
        "lockless.LockFreeStatistics.get_snapshot": [method(used_statistics, "get_snapshot")],
        "lockless.LockFreeStatistics.reset": [method(used_statistics, "reset")],
    }
)


def used_aggregator() -> CounterAggregator:
    aggregator = CounterAggregator(8)
    for i in range(8):
        aggregator.update(i % 3, 1e9 + i)
    return aggregator


CALLS.update(
    {
        "statcounters.CounterAggregator()": [
            Call(used_aggregator),
            Call(CounterAggregator, (-1,), raises=MemoryError),
            Call(CounterAggregator, (2**40,), raises=OverflowError),
        ],
        "statcounters.CounterAggregator.update": [
            method(used_aggregator, "update", 2, 1e9),
            method(used_aggregator, "update", 8, 1.0, raises=IndexError),
            method(used_aggregator, "update", 1, "x", raises=TypeError),
        ],
        "statcounters.CounterAggregator.get_stats": [
            method(used_aggregator, "get_stats", 1),
            method(used_aggregator, "get_stats", 7),
            method(used_aggregator, "get_stats", -1, raises=IndexError),
        ],
        "statcounters.CounterAggregator.reset": [method(used_aggregator, "reset", 1)],
        "statcounters.CounterAggregator.reset_all": [method(used_aggregator, "reset_all")],
        "statcounters.CounterAggregator.get_all_stats": [method(used_aggregator, "get_all_stats")],
        "statcounters.create_aggregator": [Call(create_aggregator, (4,))],
    }
)


class Store:
    """A telemetry store holding one metrics record per function."""

    def __init__(self, metrics) -> None:
        self.metrics = metrics

    def get_metrics(self, func_id):
        return self.metrics


class PlainMetrics:
    call_count = 500
    compile_count = 3
    avg_speedup = 2.5


STORE = Store(cg.FunctionMetrics(call_count=500, compile_count=2, avg_speedup=3.0))
PLAIN_STORE = Store(PlainMetrics())
BAD_STORE = Store(object())
CONFIG = cg.PolicyConfig()
CALLS.update(
    {
        "compilegate.PolicyConfig()": [
            Call(cg.PolicyConfig, (50, 10, 100, 0.5, 1.5)),
            Call(cg.PolicyConfig, kwargs={"min_threshold": 0}, raises=ValueError),
            Call(cg.PolicyConfig, ("x",), raises=TypeError),
        ],
        "compilegate.FunctionMetrics()": [
            Call(cg.FunctionMetrics, (10**12, 3, 2.0, 1.5, 5.0, 7.0)),
            Call(cg.FunctionMetrics, (-1,), raises=OverflowError),
        ],
        "compilegate.Compilegate()": [
            Call(cg.Compilegate),
            Call(cg.Compilegate, (CONFIG,)),
            Call(cg.Compilegate, (PlainMetrics(),)),
        ],
        "compilegate.Compilegate.get_threshold": [
            method(cg.Compilegate, "get_threshold", 5, raises=TypeError),
        ],
        "compilegate.Compilegate.should_compile": [
            method(cg.Compilegate, "should_compile", "f", STORE),
            method(cg.Compilegate, "should_compile", None, PLAIN_STORE),
            method(cg.Compilegate, "should_compile", "f", BAD_STORE, raises=AttributeError),
        ],
        "compilegate.Compilegate.update": [
            method(cg.Compilegate, "update", "f", STORE),
            method(cg.Compilegate, "update", "f", BAD_STORE, raises=AttributeError),
        ],
        "compilegate.create_function_metrics": [
            Call(cg.create_function_metrics, (3.9, 2)),
            Call(cg.create_function_metrics, ("3",), raises=TypeError),
        ],
        "compilegate.create_policy_config": [
            Call(cg.create_policy_config, (100, 10, 1000)),
            Call(cg.create_policy_config, (5,), raises=ValueError),
        ],
    }
)


def stocked_buckets() -> sk.FastBucketAllocator:
    allocator = sk.FastBucketAllocator()
    for offset in range(0, 4096, 64):
        allocator.add_to_bucket(offset, 32 + offset % 3 * 8)
    return allocator


HEADER = sk.FastSlabHeaderOps(3, 8).pack_header()
CORRUPT = HEADER[:1] + b"\x7f" + HEADER[2:]
CALLS.update(
    {
        "slabkit.FastSlabHeaderOps()": [
            Call(sk.FastSlabHeaderOps, (300, 64)),
            Call(sk.FastSlabHeaderOps, (2**40, 8), raises=OverflowError),
        ],
        "slabkit.FastSlabHeaderOps.unpack_header": [
            method(sk.FastSlabHeaderOps, "unpack_header", HEADER, ctor=(3, 8)),
            method(sk.FastSlabHeaderOps, "unpack_header", b"", ctor=(3, 8), raises=ValueError),
            method(sk.FastSlabHeaderOps, "unpack_header", None, ctor=(3, 8), raises=TypeError),
        ],
        "slabkit.FastBucketAllocator()": [
            Call(stocked_buckets),
            Call(sk.FastBucketAllocator, (0,), raises=ValueError),
        ],
        "slabkit.FastBucketAllocator._init_buckets": [method(stocked_buckets, "_init_buckets")],
        "slabkit.FastBucketAllocator.add_to_bucket": [
            method(stocked_buckets, "add_to_bucket", 10**6, 32),
            method(stocked_buckets, "add_to_bucket", 10**6, 20),
        ],
        "slabkit.FastBucketAllocator.remove_from_bucket": [
            method(stocked_buckets, "remove_from_bucket", 40),
            method(stocked_buckets, "remove_from_bucket", 5000),
        ],
        "slabkit.FastBucketAllocator.find_best_fit_bucket": [
            method(stocked_buckets, "find_best_fit_bucket", 24, 16),
            method(stocked_buckets, "find_best_fit_bucket", 1000, 64),
        ],
        "slabkit.FastStatsCollector.py_record_allocation": [
            method(
                sk.FastStatsCollector, "py_record_allocation", 2**40, 8, True, raises=OverflowError
            ),
        ],
        "slabkit.fast_align_size": [
            Call(sk.fast_align_size, (13, 8)),
            Call(sk.fast_align_size, (13, 6), raises=ValueError),
        ],
        "slabkit.fast_get_bucket_size": [
            Call(sk.fast_get_bucket_size, (2**31 - 1,)),
            Call(sk.fast_get_bucket_size, (5, 0), raises=ZeroDivisionError),
        ],
        "slabkit.fast_bitmap_operations": [
            Call(sk.fast_bitmap_operations, (2**63, 63, "is_set")),
            Call(sk.fast_bitmap_operations, (0, 5, "set")),
            Call(sk.fast_bitmap_operations, (0, 5, None), raises=ValueError),
        ],
        "slabkit.fast_can_fit_aligned": [Call(sk.fast_can_fit_aligned, (4, 64, 59, 8))],
    }
)

# Python-level glue methods (the wrapper's `__init__` runs through its
# constructor entry) and unbound variants are covered through these entries.
DISCOVERED = {n: (make, params) for n, make, params in discover() if not n.endswith("[unbound]")}
TARGET_IDS = sorted(DISCOVERED)


def discovered_calls(target: str) -> list[Call]:
    """The calls discovery gives `target`, each on a new instance for a method: a
    constructor with its usual arguments, the refusal to pickle, the valid call of
    reliability.CALLS, or else a call without arguments where it takes none."""
    make, params = DISCOVERED[target]

    def fresh(*args, raises=None) -> Call:
        def call(*a):
            return make()(*a)

        call.__qualname__ = target
        return Call(call, args, raises=raises)

    if target.endswith("()"):
        return [fresh(*CONSTRUCTOR_ARGS.get(target[:-2].split(".")[1], ()))]
    owner, name = target.split(".")[-2:]
    if name in ("__reduce__", "__setstate__"):
        return [fresh(*((1,) if name == "__setstate__" else ()), raises=TypeError)]
    valid = dict(reliability.calls(owner)) if owner in reliability.CALLS else {}
    if name in valid:
        return [fresh(*valid[name])]
    return [] if params else [fresh()]


@pytest.fixture(scope="module", autouse=True)
def _frozen_heap():
    """Moves every object alive before these tests out of the collector's view,
    so that each gc.collect() below walks only what the calls made."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def _watched(call: Call) -> list[object]:
    return [None, True, False, *call.args, *call.kwargs.values()]


def _measure(call: Call) -> tuple[int, list[int]]:
    gc.collect()
    watched = _watched(call)
    refs = [sys.getrefcount(o) for o in watched]
    return tracemalloc.get_traced_memory()[0], refs


@pytest.mark.no_refcheck
@pytest.mark.skipif(
    os.environ.get("LUMETRA_SANITIZED") == "1",
    reason="the sanitizer runtime keeps a bounded pool of traced blocks alive; memory growth "
    "is checked in the normal and debug-interpreter runs",
)
@pytest.mark.parametrize("target", TARGET_IDS)
def test_repeated_calls_do_not_leak(target):
    listed = CALLS.get(target, [])
    succeeding = any(call.raises is None for call in listed)
    calls = ([] if succeeding else discovered_calls(target)) + listed
    if not calls:
        pytest.fail(f"no representative calls listed for {target}")
    # hostprobe probes the system (a directory listing, possibly a subprocess):
    # fewer repetitions of those are representative enough.
    repeats = REPEATS // 10 if target.startswith("hostprobe.") else REPEATS
    for call in calls:
        tracemalloc.start()
        try:
            # Interpreter caches and free lists settle during the warm-up, which
            # runs traced so that what they keep is not counted as growth.
            for _ in range(repeats // 2):
                call()
            memory_before, refs_before = _measure(call)
            for _ in range(repeats):
                call()
            memory_after, refs_after = _measure(call)
        finally:
            tracemalloc.stop()
        growth = memory_after - memory_before
        assert growth < MEMORY_SLACK, f"{call.func!r}{call.args}: traced memory grew by {growth}"
        for obj, before, after in zip(_watched(call), refs_before, refs_after, strict=True):
            assert after - before <= REFCOUNT_SLACK, (
                f"{call.func!r}{call.args}: references to {obj!r} grew by {after - before}"
            )


def test_table_names_only_existing_targets():
    assert set(CALLS) <= set(TARGET_IDS)
