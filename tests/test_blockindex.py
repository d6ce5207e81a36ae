"""FastRedBlackTree: the documented behaviour, bad input, ownership and re-entry."""

from __future__ import annotations

import functools
import gc
import inspect
import math
import pickle
import random
import sys
import threading
import time
import types
import typing
import weakref

import pytest

from lumetra.memory import blockindex, lockless
from lumetra.memory.blockindex import FastRedBlackTree
from lumetra.memory.blockrec import Blockrec
from refcheck import references

from conftest import call_failing_allocation

STAT_KEYS = [
    "total_blocks",
    "total_insertions",
    "total_deletions",
    "total_searches",
    "bucket_hits",
    "tree_hits",
    "operation_count",
]
REPORT_KEYS = ["node_count", "height", "sampled_operations", "is_valid"]


def seq(tree: FastRedBlackTree) -> int:
    return tree._check_invariants()["seq_counter"]


def tree_of(*sizes: int) -> FastRedBlackTree:
    tree = FastRedBlackTree()
    for size in sizes:
        tree.insert(size, Blockrec(0, size))
    return tree


def full_tree() -> FastRedBlackTree:
    """Sizes 0, 1, 2, ... up to the last slot of the tree's storage."""
    tree = tree_of(0)
    while tree._check_invariants()["slots"] > len(tree):
        tree.insert(len(tree), Blockrec(0, len(tree)))
    return tree


# --- chains, equality, best fit ---------------------------------------------------


def test_chain_order_promotion_and_delete_by_equality():
    a, b, c = Blockrec(0, 64), Blockrec(1, 64), Blockrec(2, 64)
    tree = FastRedBlackTree()
    assert all(tree.insert(64, block) is True for block in (a, b, c))
    assert tree.find_all_exact(64) == [a, c, b] and tree.size() == 3
    assert tree.get_size_distribution() == {64: 3} and tree.get_stats()["height"] == 1
    assert tree.delete(16, Blockrec(0, 64)) is False  # stored under another size
    assert tree.delete(64, Blockrec(9, 64)) is False
    assert tree.delete(64, Blockrec(0, 64)) is True  # an equal copy removes a
    assert [x is y for x, y in zip(tree.find_all_exact(64), [c, b], strict=True)] == [True, True]
    assert tree.remove_ge(64) == (64, c)
    assert tree.find_all_exact(64) == [b]
    stats = tree.get_stats()
    assert (stats["total_blocks"], stats["total_deletions"]) == (1, 2)


@pytest.mark.parametrize(
    ("stored", "request_size", "expected"),
    [
        ([8, 12, 16], 10, 12),
        ([8, 12, 16], 0, 8),
        ([8, 12, 16], 17, None),
        ([8], 10, None),
        ([2**64 - 1, 5], 6, 2**64 - 1),
        (list(range(0, 2000, 2)), 1001, 1002),
    ],
)
def test_best_fit(stored, request_size, expected):
    tree = tree_of(*stored)
    found = tree.find_best_fit(request_size)
    assert (found.size if found else None) == expected
    assert tree.find_best_fit(request_size, alignment=4096) == found
    assert tree.get_stats()["total_searches"] == 2  # misses count too
    assert tree.remove_ge(request_size) == ((expected, found) if found else (None, None))


def test_writers_advance_seq_by_two_and_readers_not_at_all():
    tree = tree_of(4, 8)
    for call in [
        lambda: tree.insert(4, "x"),
        lambda: tree.delete(4, "absent"),
        lambda: tree.delete(4, "x"),
        lambda: tree.remove_ge(100),
        tree.clear,
        lambda: tree.remove_ge(0),
    ]:
        before = seq(tree)
        call()
        assert seq(tree) == before + 2
    before = seq(tree)
    tree.find_best_fit(1), tree.find_all_exact(1), tree.get_stats(), tree.get_size_distribution()
    tree.insert(3, 1)
    with pytest.raises(ValueError):
        tree.insert(-1, 1)
    tree.delete(-1, 1), tree.remove_ge(-1)
    assert seq(tree) == before + 2


# --- statistics, sampling, shape ----------------------------------------------------


def test_fresh_stats_and_report_keys():
    stats = FastRedBlackTree().get_stats()
    assert list(stats) == STAT_KEYS + REPORT_KEYS
    assert stats == dict.fromkeys(STAT_KEYS + REPORT_KEYS, 0) | {"is_valid": True}
    assert FastRedBlackTree().get_statistics() == {}


@pytest.mark.parametrize(("rate", "inserts", "sampled"), [(100, 250, 2), (0, 50, 0), (1, 7, 7)])
def test_sampling(rate, inserts, sampled):
    tree = FastRedBlackTree(sample_rate=rate)
    for i in range(inserts):
        tree.insert(i % 5, i)
    stats = tree.get_stats()
    assert (stats["sampled_operations"], stats["operation_count"]) == (sampled, inserts)


def test_circuit_breaker_key_and_clear():
    tree = tree_of(1, 2, 3)
    tree.find_best_fit(2)
    assert tree.reset_circuit_breaker() is None  # type: ignore[func-returns-value]
    stats = tree.get_stats()
    assert list(stats) == STAT_KEYS + ["circuit_breaker_trips"] + REPORT_KEYS
    assert (stats["circuit_breaker_trips"], stats["operation_count"]) == (0, 0)
    assert stats["total_insertions"] == 3
    tree.clear()
    stats = tree.get_stats()
    assert list(stats) == STAT_KEYS + REPORT_KEYS
    assert all(stats[k] == 0 for k in STAT_KEYS + ["node_count", "height"])


@pytest.mark.parametrize(
    ("sizes", "distribution", "height"),
    [
        ([20, 10, 30], [(20, 1), (10, 1), (30, 1)], 2),
        ([10, 10, 10], [(10, 3)], 1),
        ([1, 2, 3, 4, 5, 6, 7], [(2, 1), (1, 1), (4, 1), (3, 1), (6, 1), (5, 1), (7, 1)], 4),
        ([], [], 0),
    ],
)
def test_distribution_preorder_and_height(sizes, distribution, height):
    tree = tree_of(*sizes)
    assert list(tree.get_size_distribution().items()) == distribution
    assert tree.get_stats()["height"] == height


def test_repr_len_bool():
    tree = FastRedBlackTree()
    assert (len(tree), bool(tree)) == (0, False)
    assert repr(tree) == "FastRedBlackTree(blocks=0, native=True)"
    tree.insert(9, None), tree.insert(9, None), tree.insert(1, None)
    assert (len(tree), bool(tree)) == (3, True)
    assert repr(tree) == "FastRedBlackTree(blocks=3, native=True)"


# --- bad input --------------------------------------------------------------------


def test_negative_sizes_are_neutral_and_change_nothing():
    tree = tree_of(5)
    stats = tree.get_stats()
    with pytest.raises(ValueError) as info:
        tree.insert(-1, "b")
    assert str(info.value) == "Invalid size: -1"
    assert tree.find_best_fit(-1) is None
    assert tree.find_all_exact(-1) == []
    assert tree.delete(-1, "b") is False
    assert tree.remove_ge(-1) == (None, None)
    assert tree.get_stats() == stats


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.insert(2**64, 1),
        lambda t: t.find_best_fit(2**64),
        lambda t: t.find_all_exact(2**70),
        lambda t: t.remove_ge(2**64),
        lambda t: FastRedBlackTree(sample_rate=2**32),
        lambda t: FastRedBlackTree(sample_rate=-1),
    ],
)
def test_overflow(call):
    tree = tree_of(1)
    with pytest.raises(OverflowError):
        call(tree)
    assert tree.get_stats()["total_searches"] == 0 and len(tree) == 1


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda t: t.insert("3", 1), "Argument 'size' has incorrect type (expected int, got str)"),
        (lambda t: t.find_best_fit(3, alignment="8"), "Argument 'alignment' has incorrect type"),
        (lambda t: t.remove_ge([1]), "(expected int, got list)"),
        (lambda t: FastRedBlackTree("7"), "an integer is required"),  # type: ignore[arg-type]
        (lambda t: t.insert(1), "insert() takes exactly 2 positional arguments (1 given)"),
        (lambda t: t.find_best_fit(1, 2, 3), "find_best_fit() takes at most 2 positional"),
    ],
)
def test_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(FastRedBlackTree())
    assert message in str(info.value)


def test_numeric_sizes_are_truncated():
    tree = FastRedBlackTree()
    tree.insert(3.9, "b"), tree.insert(True, "t")  # type: ignore[arg-type]
    assert (tree.find_all_exact(3), tree.find_all_exact(1.5)) == (["b"], ["t"])  # type: ignore[arg-type]
    assert FastRedBlackTree._sanitize_size(7.2) == 7  # type: ignore[arg-type]


def test_failing_eq_propagates_and_tree_stays_usable():
    class Touchy:
        __hash__ = None  # type: ignore[assignment]

        def __eq__(self, other):
            raise ZeroDivisionError

    tree = FastRedBlackTree()
    tree.insert(8, Touchy())
    tree.insert(8, "plain")
    before = seq(tree)
    with pytest.raises(ZeroDivisionError):
        tree.delete(8, "plain")
    assert seq(tree) == before + 2  # lock and counter were released
    assert tree.insert(8, "more") and len(tree) == 3


@pytest.mark.parametrize("cause", ["no memory", "entry limit"])
def test_node_allocation_failure(cause):
    tree = full_tree()  # a new entry needs more storage
    n, block = len(tree), object()
    message = "Failed to allocate RB node"
    insert = tree.insert
    if cause == "entry limit":
        tree._set_entry_limit(n)
        message += f": a tree holds at most {n} blocks"
    else:  # the next allocation, the storage's growth, fails
        insert = functools.partial(call_failing_allocation, 0, tree.insert)
    refs, before, caught = references(id(block)), seq(tree), None
    try:
        insert(n, block)
    except MemoryError as exc:
        caught = exc
    assert isinstance(caught, MemoryError) and str(caught) == message
    del caught
    assert references(id(block)) == refs
    assert (len(tree), seq(tree), tree.get_stats()["total_insertions"]) == (n, before + 2, n)
    if cause == "entry limit":
        assert tree.remove_ge(0)[0] == 0  # frees a slot, which the next insert takes
    assert tree.insert(n, block) is True
    tree._check_invariants()


@pytest.mark.parametrize("remove", ["delete", "remove_ge"])
def test_freed_storage_is_reused_then_given_back(remove):
    rng = random.Random(7)
    held = [Blockrec(i, rng.randrange(2000)) for i in range(3000)]  # repeated sizes chain
    tree = FastRedBlackTree()
    for block in held:
        tree.insert(block.size, block)
    slots = tree._check_invariants()["slots"]

    def take(count: int) -> list[Blockrec]:
        taken = []
        for _ in range(count):
            if remove == "delete":
                block = held.pop(rng.randrange(len(held)))
                assert tree.delete(block.size, block)
            else:
                found = tree.remove_ge(rng.randrange(2000))[1] or tree.remove_ge(0)[1]
                assert isinstance(found, Blockrec)
                block = found
                held.remove(block)
            taken.append(block)
        return taken

    for _ in range(4):
        for block in take(len(held) // 2):
            tree.insert(block.size, block)
            held.append(block)
        assert tree._check_invariants()["slots"] == slots
    take(len(held))
    assert tree._check_invariants()["slots"] <= slots // 2


def test_failed_sample_count_leaves_the_tree_unchanged():
    made = []

    class Counter:
        def __init__(self, value):
            self.value = value
            made.append(self)

        def increment(self):
            if self is made[1]:  # the sampled-operations counter
                raise ZeroDivisionError
            self.value += 1
            return self.value

        def load(self):
            return self.value

    # The counters are made with the tree; patched by hand, so that repeated
    # runs under the reference check keep nothing alive.
    saved, blockindex.AtomicCounter = blockindex.AtomicCounter, Counter  # type: ignore[misc, assignment]
    try:
        tree = FastRedBlackTree(sample_rate=1)
    finally:
        blockindex.AtomicCounter = saved  # type: ignore[misc]
    block = object()
    refs, before = references(id(block)), seq(tree)
    with pytest.raises(ZeroDivisionError):
        tree.insert(7, block)
    assert references(id(block)) == refs
    assert (len(tree), seq(tree), tree.find_all_exact(7)) == (0, before + 2, [])
    assert tree.get_stats()["total_insertions"] == 0


@pytest.mark.parametrize(
    "reenter",
    [lambda tree: tree.clear(), lambda tree: [tree.remove_ge(0) for _ in range(len(tree))]],
    ids=["clear", "drain"],
)
def test_writer_reentering_through_the_sample_count(reenter):
    # With a lock that lets its holder in again, the sample count can empty
    # the tree (and shrink its storage) in the middle of an insert.
    made: list = []

    class Counter:
        def __init__(self, value):
            self.value = value
            made.append(self)

        def increment(self):
            self.value += 1
            if self is made[1] and len(made) > 2:
                made.append(reenter(tree))
            return self.value

        def load(self):
            return self.value

    saved = blockindex.threading, blockindex.AtomicCounter
    blockindex.threading = types.SimpleNamespace(Lock=threading.RLock)  # type: ignore[assignment]
    blockindex.AtomicCounter = Counter  # type: ignore[misc, assignment]
    try:
        tree = FastRedBlackTree(sample_rate=1)
    finally:
        blockindex.threading, blockindex.AtomicCounter = saved  # type: ignore[misc]
    for size in range(3000):
        tree.insert(size, size)
    made.append("armed")
    assert tree.insert(5000, "new")
    tree._check_invariants()
    assert (len(tree), tree.find_all_exact(5000)) == (1, ["new"])


def test_remove_ge_allocation_failure_keeps_the_block():
    block = object()
    for n in range(4):
        tree = FastRedBlackTree()
        tree.insert(1000, block)  # a size outside the small-int cache
        try:
            result = call_failing_allocation(n, tree.remove_ge, 900)
        except MemoryError:
            result = None
        # Either the caller has the block or the tree still does.
        assert result == (1000, block) or (tree.find_all_exact(1000) == [block] and len(tree) == 1)
        tree._check_invariants()


def test_clock_is_read_through_the_module_global(monkeypatch):
    calls = []

    def perf_counter_ns() -> int:
        calls.append(1)
        return 7

    monkeypatch.setattr(time, "perf_counter_ns", perf_counter_ns)
    tree = FastRedBlackTree()
    tree.insert(1, "a")
    assert calls == [1]
    monkeypatch.setattr(blockindex, "time", types.SimpleNamespace(perf_counter_ns=lambda: 1 / 0))
    before = seq(tree)
    with pytest.raises(ZeroDivisionError):
        tree.insert(2, "b")
    assert (seq(tree), len(tree), tree.get_stats()["total_insertions"]) == (before + 2, 1, 1)
    monkeypatch.delattr(blockindex, "time")
    with pytest.raises(NameError):
        tree.insert(2, "b")


# --- ownership, collection, re-entry --------------------------------------------------


def test_reference_counts():
    block = object()
    base = sys.getrefcount(block)
    tree = FastRedBlackTree()
    for n in (1, 1, 2, 3):
        tree.insert(n, block)
    assert sys.getrefcount(block) == base + 4
    tree.delete(1, block)
    assert sys.getrefcount(block) == base + 3
    size, got = tree.remove_ge(2)
    assert size == 2 and got is block and sys.getrefcount(block) == base + 3
    del got
    tree.find_all_exact(1), tree.find_best_fit(0)
    assert sys.getrefcount(block) == base + 2
    tree.clear()
    assert sys.getrefcount(block) == base
    tree.insert(1, block)
    del tree
    assert sys.getrefcount(block) == base


def test_cycle_through_a_block_is_collected():
    class Block:
        tree: FastRedBlackTree

    tree = FastRedBlackTree()
    block = Block()
    block.tree = tree
    tree.insert(10, block)
    probe = weakref.ref(block)
    del tree, block
    gc.collect()
    assert probe() is None


def test_deep_nesting_is_destroyed_without_recursion_overflow(fresh_python):
    # Each tree is a block of the next, plain and subclassed (which frees
    # through the subclass's deallocation first): freeing the outermost one
    # must not recurse once per level.
    result = fresh_python(
        """
        from lumetra.memory.blockindex import FastRedBlackTree
        class Sub(FastRedBlackTree):
            pass
        for cls in (FastRedBlackTree, Sub):
            tree = cls()
            for _ in range(100_000):
                outer = cls()
                outer.insert(1, tree)
                tree = outer
            del tree, outer
        print("done")
        """
    )
    assert (result.returncode, result.stdout.strip()) == (0, "done"), result.stderr


class Rebound:
    """A block whose destructor writes to and reads from the tree holding it."""

    def __init__(self, tree, log):
        self.tree, self.log = tree, log

    def __del__(self):
        self.tree.insert(1000, "reinserted")
        self.log.append((self.tree.find_best_fit(1000), len(self.tree)))
        self.tree._check_invariants()


class EqualsAll:
    __hash__ = None  # type: ignore[assignment]

    def __eq__(self, other):
        return True


@pytest.mark.parametrize(
    "drop",
    [lambda t: t.delete(5, EqualsAll()), lambda t: t.remove_ge(5), lambda t: t.clear()],
)
def test_destructors_run_after_the_tree_is_consistent(drop):
    # Dropping the tree's reference runs the destructor at once: it must find
    # the write lock free (no deadlock) and the tree complete.
    tree = FastRedBlackTree()
    log: list[tuple[object, int]] = []
    tree.insert(5, Rebound(tree, log))
    tree.insert(6, "other")
    drop(tree)
    assert log and log[0][0] == "reinserted"
    tree._check_invariants()
    assert tree.find_all_exact(1000) == ["reinserted"]


def test_reader_inside_a_write_backs_off_then_gives_up(monkeypatch):
    sleeps: list[float] = []
    fake_time = types.SimpleNamespace(sleep=sleeps.append, perf_counter_ns=time.perf_counter_ns)
    monkeypatch.setattr(blockindex, "time", fake_time)
    tree = tree_of(4)
    seen = []

    class Peeker:
        __hash__ = None  # type: ignore[assignment]

        def __eq__(self, other):
            seen.append((tree.find_best_fit(0), tree.find_all_exact(4)))
            return False

    tree.insert(4, Peeker())
    tree.delete(4, "x")
    assert seen == [(None, [])]
    assert sleeps == [0.0001] * 200
    assert tree.get_stats()["total_searches"] == 0
    assert tree.find_best_fit(4) is not None


# --- the class and the module ---------------------------------------------------------


def test_subclass_overrides_are_honoured():
    class Rounding(FastRedBlackTree):
        # an instance method where the base has a static one; the tree calls
        # whichever the instance has
        def _sanitize_size(self, size):  # type: ignore[override]
            if size > 10**6:
                raise ValueError("too big")
            return (size + 7) // 8 * 8

        def size(self):
            return 42

    tree = Rounding(sample_rate=1)
    tree.insert(3, "a")
    assert tree.find_all_exact(8) == ["a"] and tree.find_best_fit(1) == "a"
    assert tree.find_best_fit(10**7) is None and tree.remove_ge(10**7) == (None, None)
    with pytest.raises(ValueError, match="too big"):
        tree.insert(10**7, "b")
    assert (len(tree), bool(tree)) == (42, True)
    assert repr(tree) == "FastRedBlackTree(blocks=1, native=True)"


class _Index:
    def __index__(self):
        return 5


@pytest.mark.parametrize("count", [5, _Index(), 0, -1, -(2**70), 2**70, 3.0, "3"])
def test_len_takes_size_as_python_takes_a_len_result(count):
    class Sized(FastRedBlackTree):
        def size(self):
            return count

    class Model:
        def __len__(self):
            return count

    def outcome(obj):
        try:
            return len(obj)
        except Exception as error:
            return type(error), str(error)

    assert outcome(Sized()) == outcome(Model())


def test_interface_metadata():
    t = FastRedBlackTree
    assert str(inspect.signature(t)) == "(sample_rate=100)"
    assert str(inspect.signature(t.find_best_fit)) == "(self, /, size, alignment=1)"
    assert str(inspect.signature(t._sanitize_size)) == "(size)"
    doc = t.find_best_fit.__doc__
    assert doc is not None
    assert doc.startswith("Find best-fit block (LOCK-FREE read).")
    assert "Alignment (unused)" in doc
    assert t.get_statistics.__doc__ == "Get timing statistics (empty for sampling mode)."
    assert "Native intrusive Red-Black tree" in (t.__doc__ or "")
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(t())


def test_module_attributes():
    assert blockindex.Blockrec is Blockrec
    assert blockindex.AtomicCounter is lockless.AtomicCounter
    assert blockindex.ATOMIC_AVAILABLE is True
    assert (blockindex.threading, blockindex.time, blockindex.math) == (threading, time, math)
    for name in ("List", "Optional", "Tuple", "Dict", "Any"):
        assert getattr(blockindex, name) is getattr(typing, name)
    assert not hasattr(blockindex, "logger")
    assert Blockrec(1, 2) == Blockrec(1, 2) != Blockrec(1, 3)


@pytest.mark.parametrize(
    ("blocker", "outcome"),
    [
        ("sys.modules['lumetra.memory.lockless'] = None", "without"),
        ("sys.modules['lumetra.memory.lockless'] = types.ModuleType('empty')", "without"),
        ("sys.modules['lumetra.memory.lockless'] = Exploding('x')", "RuntimeError"),
        ("sys.modules['lumetra.memory.blockrec'] = None", "ModuleNotFoundError"),
    ],
)
def test_import_fallbacks(fresh_python, blocker, outcome):
    result = fresh_python(
        f"""
        import sys, types
        class Exploding(types.ModuleType):
            def __getattr__(self, name):
                raise RuntimeError(name)
        import lumetra.memory
        {blocker}
        try:
            from lumetra.memory import blockindex
        except Exception as exc:
            print(type(exc).__name__)
            raise SystemExit
        tree = blockindex.FastRedBlackTree(sample_rate=1)
        for i in range(250):
            tree.insert(i, i)
        stats = tree.get_stats()
        assert blockindex.ATOMIC_AVAILABLE is False and blockindex.AtomicCounter is None
        assert (stats["sampled_operations"], stats["operation_count"]) == (0, 250)
        tree.clear()
        print("without")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == outcome
