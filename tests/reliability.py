"""Discovery of every Python-visible function and method of the extension
modules, shared by the reliability tests."""

from __future__ import annotations

import _thread
import builtins
import contextlib
import functools
import gc
import importlib
import inspect
import os
import sys
import threading
import time
import types
from typing import Any

MODULES = [
    "lumetra.memory.lockless",
    "lumetra.memory.slabkit",
    "lumetra.memory.blockindex",
    "lumetra.jit.compilegate",
    "lumetra.plugins.analyzer.loadscore",
    "lumetra.plugins.analyzer.adaptplan",
    "lumetra.gpu.devicemem",
    "lumetra.native.hostprobe",
    "lumetra.monitoring.statcounters",
]

# Constructor arguments for classes that cannot be built without any. Methods
# are swept on instances built this way.
CONSTRUCTOR_ARGS = {
    "FastSlabHeaderOps": (3, 8),
}

# Constructors whose integer parameters size an allocation made at once (a
# bucket table, a counter array): legitimate huge values would only measure the
# machine's memory, so their integers are drawn from a small range.
SIZED_CONSTRUCTORS = {"FastBucketAllocator", "CounterAggregator"}


def _is_native(obj) -> bool:
    return type(obj).__name__ == "native_function"


def _positional_count(func) -> int:
    try:
        params = inspect.signature(func).parameters.values()
    except (TypeError, ValueError):
        return 3
    return sum(1 for p in params if p.name != "self")


def discover():
    """(id, callable factory, parameter names) for every function and method."""
    found = []
    for module_name in MODULES:
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            continue
        short = module_name.rsplit(".", 1)[1]
        for name, obj in sorted(vars(module).items()):
            if name.startswith("__"):
                continue
            if _is_native(obj):
                found.append((f"{short}.{name}", (lambda f=obj: f), _param_names(obj)))
            elif inspect.isclass(obj) and obj.__module__ == module_name:
                found.append((f"{short}.{name}()", (lambda c=obj: c), _param_names(obj)))
                seen: set[int] = set()
                for attr, member in sorted(vars(obj).items(), key=_canonical_first):
                    func = member.__func__ if isinstance(member, staticmethod) else member
                    # Aliases are the same object as the method they stand for.
                    if not _is_native(func) or attr in ("__init__",) or id(func) in seen:
                        continue
                    seen.add(id(func))
                    names = _param_names(func)
                    found.append((f"{short}.{name}.{attr}", _bound_factory(obj, attr), names))
                    # Unbound, with anything at all in the place of self.
                    found.append((f"{short}.{name}.{attr}[unbound]", (lambda f=func: f), names))
    return found


def _canonical_first(item) -> tuple[bool, str]:
    # A function listed under several names is reported under its own name.
    name, member = item
    func = member.__func__ if isinstance(member, staticmethod) else member
    return (getattr(func, "__name__", name) != name, name)


def _param_names(func) -> list[str]:
    try:
        return [p for p in inspect.signature(func).parameters if p != "self"]
    except (TypeError, ValueError):
        return []


def _bound_factory(cls, attr):
    def make():
        instance = cls(*CONSTRUCTOR_ARGS.get(cls.__name__, ()))
        return getattr(instance, attr)

    return make


# --- the fault sweeps -----------------------------------------------------------
#
# test_reliability_faults.py runs each sweep in child interpreters that import this
# module and call one of the sweep_* functions below. Before each case a child writes
# "case <name>" to its standard output, so a crash or a hang names its case.


def _store():
    # get_metrics runs no Python code here: the sweeps drive the policy, not a store
    # that calls back into it under its lock (which the policy documents).
    from lumetra.jit.compilegate import FunctionMetrics

    metrics = FunctionMetrics(call_count=200, compile_count=1, avg_speedup=3.0)
    return types.SimpleNamespace(get_metrics={"f": metrics}.__getitem__)


# One valid call of every method of every stateful class, in an order that leaves
# the object holding something, and calls of module functions that read containers.
CALLS = {
    "AtomicCounter": "compare_and_swap(0, 1); decrement(1); fetch_and_add(1); increment(1); "
    "load(); store(5)",
    "AtomicPointer": "compare_and_swap(None, 'a'); get_version(); load(); store('b')",
    "LockFreeStack": "is_empty(); pop(); size(); push('a')",
    "LockFreeStatistics": "_update_peaks(3, 300); get_snapshot(); py_record_deallocation(64, 9); "
    "record_deallocation(64, 9); reset(); py_record_allocation(64, True, 8, 9); "
    "record_allocation(64, True, 8, 9)",
    "PerformanceTimer": "elapsed_ms(); elapsed_ns(); elapsed_us(); start()",
    "FastBucketAllocator": "_init_buckets(); find_best_fit_bucket(24, 16); "
    "remove_from_bucket(32); add_to_bucket(96, 32)",
    "FastSlabHeaderOps": "pack_header(); py_deallocate_object_at(0); py_find_free_object(); "
    "py_is_object_free(1); unpack_header(bytes(16)); py_allocate_object_at(0)",
    "FastStatsCollector": "get_stats(); py_record_deallocation(); reset_stats(); "
    "py_record_allocation(64, 8, True)",
    "FastRedBlackTree": "_check_invariants(); _sanitize_size(64); clear(); delete(64, (0, 64)); "
    "find_all_exact(64); find_best_fit(32); get_size_distribution(); get_statistics(); "
    "get_stats(); remove_ge(32); reset_circuit_breaker(); size(); insert(64, (0, 64)); "
    "_set_entry_limit(1 << 20)",
    "Compilegate": "get_statistics(); get_threshold('f'); should_compile('f', store()); "
    "update('f', store())",
    "CounterAggregator": "get_all_stats(); get_stats(3); reset(3); reset_all(); update(3, 1e9)",
    "adaptplan": "calculate_performance_trend([(0.0, 100.0), (1.0, 95.0), (2.0, 90.0)] * 2, 0); "
    "detect_dominant_pattern(['cpu', 'io', 'cpu', None] * 3, 8); "
    "detect_performance_degradation([(0.0, 100.0), (1.0, 90.0)] * 3, 100.0, 0.05, 0.0); "
    "detect_workload_characteristics_change([{'parallelization_potential': 0.5, "
    "'cpu_intensity': 0.5, 'memory_intensity': 1} for _ in range(6)], 0.3); "
    "predict_resource_requirements([(t, 100) for t in range(10)], 9.0)",
}
CALLS["AtomicCounterWrapper"] = CALLS["AtomicCounter"]
# Calls that run long without the interpreter lock: the text scans.
LONG_TEXT = "import numpy as np\nfor i in range(10): total += np.sum(x[i])\n" * 16384
SCANS = {"score_indicators": (LONG_TEXT, "f"), "score_framework_patterns": (LONG_TEXT,)}


def calls(name: str) -> list[tuple[str, tuple]]:
    """(method, fresh arguments) of each call of CALLS[name]."""
    env = {"store": _store, "args": lambda *args: args}
    split = (call.partition("(") for call in CALLS[name].split("; "))
    return [(method, eval(f"args({rest}", env)) for method, _, rest in split]


def stateful_classes() -> dict[str, type]:
    """Every class of the modules that has methods besides the special ones."""
    found = {}
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        for name, obj in vars(module).items():
            if (
                inspect.isclass(obj)
                and obj.__module__ == module_name
                and any(_is_native(m) and not a.startswith("__") for a, m in vars(obj).items())
            ):
                found[name] = obj
    return found


def make(name: str):
    """An instance of stateful class `name`, after one round of its calls."""
    obj = stateful_classes()[name](*CONSTRUCTOR_ARGS.get(name, ()))
    for method, args in calls(name):
        with contextlib.suppress(Exception):
            getattr(obj, method)(*args)
    return obj


def _case(name: str) -> None:
    os.write(1, f"case {name}\n".encode())


def _attempt(call) -> object:
    try:
        return call()
    except SystemError:  # an error path that set no exception, or set one and returned
        raise
    except Exception:
        return None


class _Garbage:
    """A reference cycle whose finalizer makes `calls` and leaves new garbage behind
    for the next collection, while `budget` lasts."""

    calls: list[Any] = []
    budget = 0

    def __init__(self):
        self.cycle = self

    def __del__(self):
        if _Garbage.budget > 0:
            _Garbage.budget -= 1
            for call in _Garbage.calls:
                _attempt(call)
            _Garbage()


def sweep_finalizers(name: str) -> None:
    """Each method runs with garbage pending and the collector's threshold at 1, so
    that its first allocation of a tracked object starts a collection, whose
    finalizer calls every method of the same object (and so on, a few times)."""
    for method, args in calls(name):
        _case(f"{name}.{method}")
        obj = make(name)
        _Garbage.calls = [functools.partial(getattr(obj, m), *a) for m, a in calls(name)]
        bound = getattr(obj, method)
        gc.collect()
        gc.disable()
        _Garbage.budget = 8
        _Garbage()
        gc.set_threshold(1)
        gc.enable()
        try:  # no tracked object is made between here and the method's own code
            bound(*args)
        except SystemError:
            raise
        except Exception:
            pass
        finally:
            _Garbage.budget = 0
            gc.set_threshold(700, 10, 10)
            gc.collect()


class _HoldingLock:
    """What a rebound `threading.Lock` may return: a lock that holds an object."""

    def __init__(self, held):
        self._lock, self.held = _thread.allocate_lock(), held

    def acquire(self, *args):
        return self._lock.acquire(*args)

    def release(self):
        self._lock.release()


# Nested instances need no more than one bucket or counter.
NESTED_ARGS = {"FastBucketAllocator": (64, 64, 64), "CounterAggregator": (1,)}
# How an instance comes to hold another, where a method or attribute does it.
HOLD: dict[str, Any] = {
    "AtomicPointer": lambda obj, inner: obj.store(inner),
    "LockFreeStack": lambda obj, inner: obj.push(inner),
    "FastRedBlackTree": lambda obj, inner: obj.insert(1, inner),
    "LockFreeStatistics": lambda obj, inner: setattr(obj, "total_allocations", inner),
    "AtomicCounterWrapper": lambda obj, inner: setattr(obj, "_counter", inner),
}


def _wrap(cls: type, inner):
    """A new instance of `cls` that holds `inner`."""
    args = NESTED_ARGS.get(cls.__name__, CONSTRUCTOR_ARGS.get(cls.__name__, ()))
    if cls.__name__ in HOLD:
        obj = cls(*args)
        HOLD[cls.__name__](obj, inner)
        return obj
    # Through its lock (the module's `threading` may be rebound to anything) and
    # through any dict it holds.
    module: Any = sys.modules[cls.__module__]
    real, module.threading = (
        module.threading,
        types.SimpleNamespace(Lock=lambda: _HoldingLock(inner)),
    )
    try:
        obj = cls(*args)
    finally:
        module.threading = real
    for ref in gc.get_referents(obj):
        if type(ref) is dict:
            ref["held"] = inner
    return obj


def holders() -> list[str]:
    """The stateful classes whose instances can hold Python objects."""
    return [name for name in stateful_classes() if gc.is_tracked(make(name))]


def sweep_nesting(name: str, depth: int = 100_000) -> None:
    """Instances nested `depth` deep, each holding the next, then freed at once."""
    _case(f"{name} x {depth}")
    cls, obj = stateful_classes()[name], None
    for _ in range(depth):
        obj = _wrap(cls, obj)
    del obj


class Mutator:
    """A value whose conversions and comparisons first empty or rebind everything the
    sweep registered (dropping what was held there), then answer plausibly."""

    victims: list[Any] = []
    armed = False

    def _strike(self):
        for victim in Mutator.victims if Mutator.armed else []:
            if isinstance(victim, dict | list):
                victim.clear()
            else:
                obj, attribute = victim
                setattr(obj, attribute, type(getattr(obj, attribute))())

    def __index__(self):
        self._strike()
        return 5

    def __float__(self):
        self._strike()
        return 5.0

    def __radd__(self, other):
        return self.__float__() + other

    def __bool__(self):
        self._strike()
        return True

    def __eq__(self, other):
        self._strike()
        return False

    def __hash__(self):
        self._strike()
        return hash("f")  # the func_id of CALLS: lookups of "f" compare with it

    __int__ = __index__
    __lt__ = __le__ = __gt__ = __ge__ = __eq__


def _plant(value, victims: list[Any]):
    """`value` with every number inside it replaced by a Mutator; the lists and dicts
    met on the way are registered as victims."""
    if isinstance(value, bool | int | float):
        return Mutator()
    if isinstance(value, tuple):
        return tuple(_plant(v, victims) for v in value)
    if isinstance(value, list | dict):
        victims.append(value)
        for key in range(len(value)) if isinstance(value, list) else list(value):
            value[key] = _plant(value[key], victims)
        if isinstance(value, dict):
            value[Mutator()] = Mutator()
    return value


def _reachable(obj, victims: list[Any]) -> None:
    """Registers what a caller can change inside `obj`: the dicts and lists it holds
    (found as the collector finds them), with Mutators planted in them, and its
    attributes that hold objects."""
    for ref in gc.get_referents(obj):
        if type(ref) in (dict, list):
            _plant(ref, victims)
    for attribute, member in vars(type(obj)).items():
        if isinstance(member, types.MemberDescriptorType) or (
            isinstance(member, types.GetSetDescriptorType) and _rebindable(obj, attribute)
        ):
            victims.append((obj, attribute))


def _rebindable(obj, attribute: str) -> bool:
    """A property of the class's own that holds an object (not a number or text) and
    can be set."""
    if attribute.startswith("__"):
        return False
    value = getattr(obj, attribute)
    if isinstance(value, int | float | str):
        return False
    try:
        setattr(obj, attribute, value)
    except AttributeError:
        return False
    return True


def borrowed_cases() -> list[str]:
    """The stateful classes with something reachable to change, and the modules
    whose functions read containers."""
    found = [name for name in CALLS if not name[0].isupper()]
    for name in stateful_classes():
        victims: list[Any] = []
        _reachable(make(name), victims)
        found += [name] if victims else []
    return found


def sweep_borrowed(name: str) -> None:
    """Every call of `name` (a stateful class or a module) with Mutators in its
    arguments and in everything reachable from its object, so that reading them
    changes what the call is reading."""
    module = next((m for m in MODULES if m.endswith("." + name)), None)
    for method, args in calls(name):
        _case(f"{name}.{method}")
        victims: list[Any] = []
        obj = importlib.import_module(module) if module else make(name)
        if not module:
            _reachable(obj, victims)
        call = functools.partial(getattr(obj, method), *_plant(args, victims))
        Mutator.victims, Mutator.armed = victims, True
        try:
            repr(_attempt(call))  # a result holding a freed object fails here
        finally:
            Mutator.victims, Mutator.armed = [], False


def _daemons(call, count: int = 3) -> None:
    def loop():
        while True:
            _attempt(call)

    for _ in range(count):
        threading.Thread(target=loop, daemon=True).start()


class _ReleaseAtExit:
    """Holds locks until the interpreter clears `builtins._`, early in the finalization
    of its modules and after it has started stopping other threads (module globals
    would not do: the parked threads' frames keep them alive), then releases them one
    by one, naming each case first."""

    def __init__(self, held: list[tuple[str, Any]]):
        self.held, self.write, self.sleep = held, os.write, time.sleep

    def __del__(self):
        for name, lock in self.held:
            self.write(1, f"case {name} (woken at exit)\n".encode())
            lock.release()
            self.sleep(0.02)


class _SlowBlock:
    def __eq__(self, other):
        time.sleep(60)  # inside delete(): the write lock is held, seq_counter odd
        return False

    __hash__ = None  # type: ignore[assignment]


def sweep_exit(name: str) -> None:
    """Daemon threads parked inside calls that wait, when the main thread ends: every
    method of a class with locks (the locks held here, released while the interpreter
    finalizes), the tree readers' back-off behind a writer, or a long text scan."""
    _case(name)
    if name in SCANS:
        from lumetra.plugins.analyzer import loadscore

        _daemons(functools.partial(getattr(loadscore, name), *SCANS[name]))
    elif name.endswith("/back-off"):
        tree = make("FastRedBlackTree")
        threading.Thread(target=tree.delete, args=(64, _SlowBlock()), daemon=True).start()
        _daemons(functools.partial(getattr(tree, name.partition("/")[0]), 64))
    else:
        held = []
        for method, args in calls(name):
            obj = make(name)  # one instance, and so one set of locks, per method
            locks = [r for r in gc.get_referents(obj) if type(r) is _thread.LockType]
            for lock in locks:
                lock.acquire()
            held += [(f"{name}.{method}", lock) for lock in locks]
            _daemons(functools.partial(getattr(obj, method), *args), count=1)
        builtins._ = _ReleaseAtExit(held)  # type: ignore[attr-defined]
    time.sleep(0.1)


def exit_cases() -> list[str]:
    """The classes whose instances hold locks, the tree's readers, and the scans."""
    locked = [
        name
        for name in stateful_classes()
        if any(type(r) is _thread.LockType for r in gc.get_referents(make(name)))
    ]
    return [*locked, "find_best_fit/back-off", "find_all_exact/back-off", *SCANS]
