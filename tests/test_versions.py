"""Behaviour that rests on interpreter internals which differ between
versions: integer signs and compact values, the threading.Lock route, and the
name of the sub-interpreter module."""

from __future__ import annotations

import os
import sys
import types
from typing import NamedTuple

import pytest

from lumetra.jit.compilegate import FunctionMetrics
from lumetra.memory.blockindex import FastRedBlackTree
from lumetra.memory.lockless import AtomicCounter
from lumetra.native import hostprobe

from conftest import run_python

# Values on both sides of the one-digit (compact) integer form, and of the widths.
BORDERS = [0, 1, 2**30 - 1, 2**30, 2**31, 2**32, 2**63 - 1, 2**64 - 1, 2**64, 2**70]


@pytest.mark.parametrize("value", BORDERS + [-v for v in BORDERS if v])
def test_integer_conversions_at_the_borders(value):
    def outcome(call):
        try:
            return call()
        except OverflowError as error:
            return str(error)

    uint64 = outcome(lambda: FunctionMetrics(call_count=value).call_count)
    uint32 = outcome(lambda: FunctionMetrics(compile_count=value).compile_count)
    int64 = outcome(lambda: AtomicCounter(value).load())
    if value < 0:
        assert uint64 == "can't convert negative value to uint64_t"
        assert uint32 == "can't convert negative value to uint32_t"
    else:
        assert uint64 == (value if value < 2**64 else "int too big to convert")
        assert uint32 == (value if value < 2**32 else "value too large to convert to uint32_t")
    in_range = -(2**63) <= value < 2**63
    assert int64 == (value if in_range else "value too large to convert to int64_t")


@pytest.mark.parametrize("size", [-1, -(2**30), -(2**40), -(2**70)])
def test_negative_tree_sizes(size):
    tree = FastRedBlackTree()
    tree.insert(8, "block")
    assert (tree.find_best_fit(size), tree.find_all_exact(size)) == (None, [])
    assert (tree.remove_ge(size), tree.delete(size, "block")) == ((None, None), False)
    with pytest.raises(ValueError, match=f"Invalid size: {size}"):
        tree.insert(size, "b")
    assert bool(tree) and not FastRedBlackTree()


class VersionInfo(NamedTuple):
    major: int
    minor: int
    micro: int


def test_sub_interpreter_module_from_313(monkeypatch):
    info = VersionInfo(3, 13, 1)
    monkeypatch.setattr(hostprobe, "sys", types.SimpleNamespace(version_info=info))
    monkeypatch.setitem(sys.modules, "_interpreters", None)  # the import fails
    monkeypatch.setitem(sys.modules, "_xxsubinterpreters", types.ModuleType("x"))
    assert hostprobe.detect_python_version() == ("3.13.1", True)
    monkeypatch.setitem(sys.modules, "_xxsubinterpreters", None)
    assert hostprobe.detect_python_version() == ("3.13.1", False)


# Every lock-based type, uncontended and contended, with the lock route switched
# on and off: the printed results must be the same.
LOCK_WORKLOAD = """
import threading
from lumetra.jit.compilegate import Compilegate
from lumetra.memory.lockless import AtomicPointer, LockFreeStack
from lumetra.memory.slabkit import FastBucketAllocator
from lumetra.monitoring.statcounters import CounterAggregator
cell, stack, buckets = AtomicPointer(), LockFreeStack(), FastBucketAllocator()
agg = CounterAggregator(4)
class M: call_count = 200; compile_count = 1; avg_speedup = 3.0
class S:
    def get_metrics(self, f): return M()
gate = Compilegate()
def work(k):
    for i in range(300):
        stack.push(i); stack.pop(); cell.store(i); agg.update(k, float(i))
        buckets.add_to_bucket(64 * (k * 300 + i), 32); gate.update("f", S())
threads = [threading.Thread(target=work, args=(k,)) for k in range(3)]
[t.start() for t in threads]; [t.join() for t in threads]
print(stack.size(), cell.get_version(), agg.get_stats(1)["count"], gate.get_threshold("f"),
      buckets.find_best_fit_bucket(32, 8) is not None, sorted(agg.get_all_stats())[0][1]["max"])
"""


def test_lock_routes_agree():
    results = []
    for setting in ("1", "0"):
        env = {**os.environ, "LUMETRA_LOCK_FAST_PATH": setting}
        done = run_python(LOCK_WORKLOAD, env=env)
        assert done.returncode == 0, done.stderr
        results.append(done.stdout)
    assert results[0] == results[1] == "0 900 300 10 True 299.0\n"


# Python code rebinds every name the lock route could be learnt from, in a
# sub-interpreter that imports the package first or in the main interpreter
# before its first import. Locks of the interpreter's own type must still take
# the route (it allocates nothing, so a load succeeds with every allocation
# failing), and any other lock object must go through its methods.
REBOUND_LOCK_NAMES = """
import sys, threading, _testcapi
REBIND = (
    "import _thread, sys\\n"
    "class R(_thread.RLock): pass\\n"
    "_thread.LockType = _thread.allocate_lock = R\\n"
    "sys.thread_info = None\\n"
    "import lumetra.memory.lockless\\n"
)
if {in_sub_interpreter}:
    try:
        import _interpreters as I; new = lambda: I.create("isolated"); run = I.exec
    except ImportError:
        import _xxsubinterpreters as I; new = lambda: I.create(isolated=True); run = I.run_string
    a = new()
    run(a, REBIND)
    I.destroy(a)
else:
    exec(REBIND)
from lumetra.memory import lockless
real = lockless.AtomicPointer("x")
class PyLock:
    def __init__(self): self._l = threading.Lock()
    def acquire(self, *a): return self._l.acquire(*a)
    def release(self): self._l.release()
lockless.threading = type(sys)("t"); lockless.threading.Lock = PyLock
p = lockless.AtomicPointer()
for i in range(1000): p.store(i)
def load_without_memory(cell):
    _testcapi.set_nomemory(0)
    try:
        return cell.load()
    except MemoryError:
        return "MemoryError"
    finally:
        _testcapi.remove_mem_hooks()
print(p.load(), load_without_memory(real), load_without_memory(p))
"""


@pytest.mark.parametrize("in_sub_interpreter", [True, False])
def test_rebound_lock_names_never_misdrive_a_lock(in_sub_interpreter):
    pytest.importorskip("_testcapi")
    done = run_python(REBOUND_LOCK_NAMES.format(in_sub_interpreter=in_sub_interpreter))
    assert (done.returncode, done.stdout) == (0, "999 x MemoryError\n"), done.stderr
