"""AtomicPointer and LockFreeStack: states, ownership, collection and threads."""

from __future__ import annotations

import gc
import inspect
import pickle
import sys
import threading
import types
import weakref
from typing import Any

import pytest

from lumetra.memory import lockless
from lumetra.memory.lockless import AtomicPointer, LockFreeStack

from conftest import call_failing_allocation, run_threads


class Item:
    """A weak-referenceable object that can take part in cycles."""

    container: Any  # an AtomicPointer or a LockFreeStack


# --- AtomicPointer ------------------------------------------------------------------


def test_cell_states_and_versions():
    a, c = Item(), Item()
    p = AtomicPointer()
    assert (p.load(), p.get_version()) == (None, 0)
    p.store(a)
    assert (p.load(), p.get_version()) == (a, 1)
    p.store(a)  # storing the same object still counts
    assert p.get_version() == 2
    assert p.store(None) is None  # type: ignore[func-returns-value]
    assert (p.load(), p.get_version()) == (None, 3)
    assert p.compare_and_swap(None, a) is True  # None matches the empty cell
    assert p.compare_and_swap(c, Item()) is False
    assert (p.load(), p.get_version()) == (a, 4)
    assert p.compare_and_swap(a, c) is True
    assert (p.load(), p.get_version()) == (c, 5)
    assert p.compare_and_swap(c, None) is True
    assert (p.load(), p.get_version()) == (None, 6)
    assert AtomicPointer(a).get_version() == 0
    assert AtomicPointer(initial_value=None).load() is None


def test_swap_compares_identity_not_equality():
    held = [1, 2]
    p = AtomicPointer(held)
    assert p.compare_and_swap([1, 2], "other") is False
    assert p.load() is held
    assert p.compare_and_swap(held, "other") is True


@pytest.mark.parametrize(
    "action",
    [
        lambda p, a: p.store(a),
        lambda p, a: p.compare_and_swap(a, a),
        lambda p, a: p.compare_and_swap(Item(), a),  # failed swap drops its reference
        lambda p, a: p.load(),
    ],
)
def test_cell_reference_counts(action):
    a = Item()
    p = AtomicPointer(a)
    before = sys.getrefcount(a)
    for _ in range(5):
        result = action(p, a)
        del result
    assert sys.getrefcount(a) == before
    p.store(None)
    assert sys.getrefcount(a) == before - 1


def test_cell_releases_objects_exactly_once():
    refs = []
    p = AtomicPointer()
    for _ in range(10):
        obj = Item()
        refs.append(weakref.ref(obj))
        p.store(obj)
        p.compare_and_swap(obj, obj)
        del obj
    assert [r() is None for r in refs] == [True] * 9 + [False]
    del p
    assert refs[-1]() is None


# --- LockFreeStack ------------------------------------------------------------------


def test_stack_lifo_and_none_items():
    s = LockFreeStack()
    assert (s.size(), s.is_empty(), s.pop()) == (0, True, None)
    for i in (1, 2, 3):
        s.push(i)
    sizes, items = [], []
    while not s.is_empty():
        sizes.append(s.size())
        items.append(s.pop())
    assert items == [3, 2, 1] and sizes == [3, 2, 1]
    assert (s.pop(), s.size()) == (None, 0)
    s.push(None)
    assert (s.size(), s.is_empty()) == (1, False)
    assert s.pop() is None
    assert s.is_empty()


def test_stack_reference_counts_and_destruction_order():
    a = Item()
    s = LockFreeStack()
    before = sys.getrefcount(a)
    s.push(a)
    assert sys.getrefcount(a) == before + 1
    assert s.pop() is a
    assert sys.getrefcount(a) == before

    released = []

    class Tracked:
        def __init__(self, n):
            self.n = n

        def __del__(self):
            released.append(self.n)

    s = LockFreeStack()
    for n in range(4):
        s.push(Tracked(n))
    del s
    assert released == [3, 2, 1, 0]  # top to bottom


def test_destruction_keeps_pending_exception():
    class Noisy:
        def __del__(self):
            try:
                raise KeyError("inside __del__")
            except KeyError:
                pass

    def fail():
        s = LockFreeStack()
        s.push(Noisy())
        p = AtomicPointer(Noisy())  # noqa: F841 - released while the error propagates
        raise ValueError("boom")

    with pytest.raises(ValueError, match="boom"):
        fail()


@pytest.mark.parametrize("make", [LockFreeStack, AtomicPointer])
def test_construction_allocation_failure_is_memory_error(make):
    # Finding `threading` must not turn a failed allocation into a NameError.
    errors = []
    for n in range(12):
        try:
            call_failing_allocation(n, make)
        except Exception as exc:
            errors.append(exc)
    assert errors
    assert all(
        type(e) is MemoryError or (type(e) is RuntimeError and str(e) == "can't allocate lock")
        for e in errors
    )


def test_push_allocation_failure_leaves_stack_unchanged():
    s = LockFreeStack()
    s.push("bottom")
    item = Item()
    before = sys.getrefcount(item)
    push = s.push
    error: MemoryError | None = None
    try:
        call_failing_allocation(0, push, item)  # the node is the call's first allocation
    except MemoryError as exc:
        error = exc
    assert isinstance(error, MemoryError)
    assert str(error) == "Failed to allocate stack node"
    del error
    assert (s.size(), sys.getrefcount(item)) == (1, before)
    assert s.pop() == "bottom"


# --- both types ---------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["cell", "stack"])
def test_cycles_through_containers_are_collected(kind):
    obj = Item()
    if kind == "cell":
        obj.container = AtomicPointer(obj)
    else:
        obj.container = LockFreeStack()
        obj.container.push(obj)
        obj.container.push(Item())
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None


def test_deep_nesting_is_destroyed_without_recursion_overflow(fresh_python):
    result = fresh_python(
        """
        from lumetra.memory.lockless import AtomicPointer, LockFreeStack
        p = None
        for _ in range(300_000):
            p = AtomicPointer(p)
        del p
        s = LockFreeStack()
        for _ in range(300_000):
            outer = LockFreeStack()
            outer.push(s)
            s = outer
        del s, outer
        print("done")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "done"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: AtomicPointer(1, 2),  # type: ignore[call-arg]
            "AtomicPointer() takes at most 1 positional argument (2 given)",
        ),
        (
            lambda: LockFreeStack(1),  # type: ignore[call-arg]
            "LockFreeStack() takes exactly 0 positional arguments (1 given)",
        ),
        (lambda: LockFreeStack().push(), "push() takes exactly 1 positional argument (0 given)"),  # type: ignore[call-arg]
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_interface_metadata():
    assert str(inspect.signature(AtomicPointer)) == "(initial_value=None)"
    assert AtomicPointer.load.__annotations__ == {"return": "Optional[object]"}
    assert LockFreeStack.size.__annotations__ == {"return": "int"}
    version_doc, size_doc = AtomicPointer.get_version.__doc__, LockFreeStack.size.__doc__
    assert version_doc is not None and size_doc is not None
    assert version_doc.startswith("Get current version for ABA detection.")
    assert size_doc.startswith("Get approximate stack size.")


@pytest.mark.parametrize("make", [AtomicPointer, LockFreeStack])
def test_no_pickling_no_dict_subclassable(make):
    obj = make()
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(obj)
    with pytest.raises(AttributeError):
        obj.extra = 1
    sub = type("Sub", (make,), {})()
    sub.extra = 1
    assert isinstance(sub, make)


def test_lock_comes_from_module_threading(monkeypatch):
    calls = []

    class RecordingLock:
        def __init__(self):
            self._lock = threading.Lock()

        def acquire(self):
            calls.append("acquire")
            return self._lock.acquire()

        def release(self):
            calls.append("release")
            self._lock.release()

    monkeypatch.setattr(lockless, "threading", types.SimpleNamespace(Lock=RecordingLock))
    s = LockFreeStack()
    s.push(1)
    s.size()  # lock-free
    assert s.pop() == 1
    assert calls == ["acquire", "release"] * 2
    monkeypatch.delattr(lockless, "threading")
    with pytest.raises(NameError):
        AtomicPointer()


@pytest.mark.parametrize(
    "operation",
    [
        lambda p: p.load(),
        lambda p: p.store(2),
        lambda p: p.compare_and_swap(None, 3),
        lambda p: p.get_version(),
    ],
    ids=["load", "store", "compare_and_swap", "get_version"],
)
def test_operations_wait_for_a_lock_held_from_python(operation):
    p = AtomicPointer(1)
    (lock,) = [o for o in gc.get_referents(p) if hasattr(o, "acquire")]
    done = threading.Event()

    def work():
        operation(p)
        done.set()

    worker = threading.Thread(target=work)
    with lock:
        worker.start()
        assert not done.wait(0.2)
    assert done.wait(10)
    worker.join()


# --- threads ------------------------------------------------------------------------


def test_concurrent_pushes_and_pops_lose_nothing():
    threads, per_thread = 4, 2000
    s = LockFreeStack()
    popped: list[list[int]] = [[] for _ in range(threads)]

    def work(index):
        out = popped[index]
        for n in range(per_thread):
            s.push(index * per_thread + n)
            if n % 2:
                out.append(s.pop())

    run_threads(work, threads, interval=1e-6)
    remaining = []
    assert s.size() == threads * per_thread // 2
    while not s.is_empty():
        remaining.append(s.pop())
    everything = sorted(remaining + [v for out in popped for v in out])
    assert everything == list(range(threads * per_thread))
    assert s.size() == 0


def test_concurrent_cell_swaps_count_every_change():
    threads, per_thread = 4, 1000
    p = AtomicPointer(0)
    wins = [0] * threads

    def work(index):
        for _ in range(per_thread):
            while True:
                current = p.load()
                if p.compare_and_swap(current, current + 1):
                    wins[index] += 1
                    break

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert p.load() == threads * per_thread == sum(wins) == p.get_version()
