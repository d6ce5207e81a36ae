"""AtomicCounter, its wrapper, and the shared argument layer seen through them."""

from __future__ import annotations

import inspect
import pickle
import threading

import pytest

from lumetra.memory import lockless
from lumetra.memory.lockless import AtomicCounter, AtomicCounterWrapper

from conftest import run_threads

I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 3


# --- arithmetic -----------------------------------------------------------------


def test_worked_sequence():
    c = AtomicCounter(5)
    assert c.increment() == 6
    assert c.decrement() == 5
    assert c.fetch_and_add(10) == 5
    assert c.load() == 15
    assert c.compare_and_swap(15, 20) is True
    assert c.load() == 20
    assert c.compare_and_swap(15, 30) is False
    assert c.load() == 20
    assert c.increment(0) == 20
    assert c.fetch_and_add(0) == 20
    assert c.store(7) is None  # type: ignore[func-returns-value]
    assert c.load() == 7
    assert AtomicCounter().load() == 0


@pytest.mark.parametrize(
    ("start", "op", "arg", "result", "after"),
    [
        (I64_MAX, "increment", 1, I64_MIN, I64_MIN),
        (I64_MIN, "decrement", 1, I64_MAX, I64_MAX),
        (0, "decrement", I64_MIN, I64_MIN, I64_MIN),  # -MIN wraps to MIN
        (I64_MAX, "fetch_and_add", 1, I64_MAX, I64_MIN),
        (10, "increment", -5, 5, 5),
        (10, "decrement", -5, 15, 15),
    ],
)
def test_wrapping_arithmetic(start, op, arg, result, after):
    c = AtomicCounter(start)
    assert getattr(c, op)(arg) == result
    assert c.load() == after


def test_compare_and_swap_extremes():
    c = AtomicCounter(I64_MIN)
    assert c.compare_and_swap(I64_MIN, I64_MAX)
    assert c.load() == I64_MAX


# --- argument conversion ----------------------------------------------------------


@pytest.mark.parametrize(
    ("value", "expected"),
    [(2.9, 2), (-2.9, -2), (True, 1), (IntLike(41), 41), (I64_MAX, I64_MAX), (I64_MIN, I64_MIN)],
)
def test_integer_conversion(value, expected):
    assert AtomicCounter(value).load() == expected
    c = AtomicCounter()
    c.store(value)
    assert c.load() == expected


@pytest.mark.parametrize("value", ["3", None, IndexOnly(), [1], 3j])
def test_non_integers_rejected(value):
    with pytest.raises(TypeError, match="^an integer is required$"):
        AtomicCounter(value)
    with pytest.raises(TypeError, match="^an integer is required$"):
        AtomicCounter().increment(value)


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**64, 10**30, IntLike(2**63)])
def test_overflow(value):
    with pytest.raises(OverflowError):
        AtomicCounter(value)
    c = AtomicCounter(4)
    with pytest.raises(OverflowError):
        c.compare_and_swap(4, value)
    assert c.load() == 4


def test_int_returning_wrong_type():
    class Bad:
        def __int__(self):
            return "x"

    class Raises:
        def __int__(self):
            raise ZeroDivisionError

    with pytest.raises(TypeError, match="returned non-int"):
        AtomicCounter(Bad())  # type: ignore[arg-type]
    with pytest.raises(ZeroDivisionError):
        AtomicCounter(Raises())  # type: ignore[arg-type]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda c: c.load(1), "load() takes exactly 0 positional arguments (1 given)"),
        (lambda c: c.store(), "store() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.store(1, 2), "store() takes exactly 1 positional argument (2 given)"),
        (lambda c: c.increment(1, 2), "increment() takes at most 1 positional argument (2 given)"),
        (
            lambda c: c.compare_and_swap(1),
            "compare_and_swap() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda c: c.compare_and_swap(new_value=1),
            "compare_and_swap() takes exactly 2 positional arguments (0 given)",
        ),
        (
            lambda c: c.compare_and_swap(1, expected=2),
            "compare_and_swap() got multiple values for keyword argument 'expected'",
        ),
        (lambda c: c.increment(step=1), "increment() got an unexpected keyword argument 'step'"),
        (lambda c: c.load(x=1), "load() got an unexpected keyword argument 'x'"),
        (
            lambda c: AtomicCounter(1, 2),  # type: ignore[call-arg]
            "AtomicCounter() takes at most 1 positional argument (2 given)",
        ),
        (
            lambda c: AtomicCounter(value=1),  # type: ignore[call-arg]
            "AtomicCounter() got an unexpected keyword argument 'value'",
        ),
    ],
)
def test_argument_messages(call, message):
    with pytest.raises(TypeError) as info:
        call(AtomicCounter())
    assert str(info.value) == message


def test_keywords_accepted():
    c = AtomicCounter(initial_value=3)
    assert c.increment(delta=2) == 5
    assert c.compare_and_swap(new_value=9, expected=5)
    c.store(value=1)
    assert c.fetch_and_add(delta=1) == 1


def test_non_string_keyword_rejected():
    c = AtomicCounter()
    with pytest.raises(TypeError, match="keywords must be strings"):
        c.increment(**{1: 2})  # type: ignore[arg-type]


def test_unbound_call_checks_self():
    assert AtomicCounter.increment(AtomicCounter(1), 2) == 3
    with pytest.raises(TypeError):
        AtomicCounter.load(5)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        AtomicCounter.load()  # type: ignore[call-arg]


# --- the type and its function objects --------------------------------------------


METHODS = ["load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"]


@pytest.mark.parametrize("name", METHODS)
def test_aliases_are_the_same_objects(name):
    assert AtomicCounter.__dict__["py_" + name] is AtomicCounter.__dict__[name]
    c = AtomicCounter(1)
    assert getattr(c, "py_" + name).__func__ is getattr(c, name).__func__


def test_function_metadata():
    f = AtomicCounter.increment
    assert f.__name__ == "increment"
    assert f.__qualname__ == "AtomicCounter.increment"
    assert f.__module__ == "lumetra.memory.lockless"
    assert f.__doc__ == "Atomically increment and return new value."
    assert str(inspect.signature(f)) == "(self, /, delta=1)"
    assert str(inspect.signature(AtomicCounter(0).compare_and_swap)) == "(expected, new_value)"
    assert str(inspect.signature(AtomicCounter)) == "(initial_value=0)"
    expected = {"load": "int", "increment": "int", "decrement": "int", "fetch_and_add": "int"}
    expected["compare_and_swap"] = "bool"
    for name, annotation in expected.items():
        assert getattr(AtomicCounter, name).__annotations__ == {"return": annotation}
    assert AtomicCounter.store.__annotations__ == {}


def test_methods_bind_without_bound_method_on_calls():
    c = AtomicCounter(1)
    bound = c.increment
    assert bound.__self__ is c  # type: ignore[attr-defined]
    assert bound() == 2


def test_no_pickling_and_no_instance_dict():
    c = AtomicCounter(3)
    for action in (lambda: pickle.dumps(c), c.__reduce__, lambda: c.__setstate__(None)):  # type: ignore[attr-defined]
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            action()
    with pytest.raises(AttributeError):
        c.extra = 1  # type: ignore[attr-defined]
    assert not hasattr(c, "__dict__")


def test_type_is_immutable_but_subclassable():
    with pytest.raises(TypeError):
        AtomicCounter.load = None  # type: ignore[method-assign, assignment]

    class Sub(AtomicCounter):
        note: str

        def increment(self, delta=1):
            return super().increment(delta) * 10

    s = Sub(4)
    assert s.increment() == 50
    assert s.load() == 5
    s.note = "subclasses get a dict"
    with pytest.raises(TypeError):
        pickle.dumps(s)


# --- the wrapper ------------------------------------------------------------------


def test_wrapper_behaviour():
    w = AtomicCounterWrapper()
    assert w.load() == 0
    w = AtomicCounterWrapper(3)
    assert w.increment(2.7) == 5  # type: ignore[arg-type]
    assert w.decrement() == 4
    assert w.fetch_and_add(True) == 4
    assert w.compare_and_swap(5, 9) is True
    assert w.store(1) is None  # type: ignore[func-returns-value]
    assert w.load() == 1
    assert isinstance(w._counter, AtomicCounter)
    assert not isinstance(w, AtomicCounter)
    assert AtomicCounterWrapper.__bases__ == (object,)
    assert AtomicCounterWrapper.__module__ == "lumetra.memory.lockless"
    assert AtomicCounterWrapper.__qualname__ == "AtomicCounterWrapper"
    assert AtomicCounterWrapper.__doc__ == (
        "Python wrapper for Cython AtomicCounter (backward compatibility)."
    )
    assert AtomicCounterWrapper.increment.__annotations__ == {"delta": "int", "return": "int"}
    assert str(inspect.signature(AtomicCounterWrapper)) == "(initial_value=0)"


@pytest.mark.parametrize(
    ("call", "name", "type_name"),
    [
        (lambda w: w.increment(None), "delta", "NoneType"),
        (lambda w: w.store("1"), "value", "str"),
        (lambda w: w.compare_and_swap(1, [2]), "new_value", "list"),
        (lambda w: AtomicCounterWrapper(None), "initial_value", "NoneType"),  # type: ignore[arg-type]
    ],
)
def test_wrapper_validation(call, name, type_name):
    with pytest.raises(TypeError) as info:
        call(AtomicCounterWrapper(1))
    assert str(info.value) == (
        f"Argument '{name}' has incorrect type (expected int, got {type_name})"
    )


def test_wrapper_follows_replaced_counter():
    w = AtomicCounterWrapper(1)
    w._counter = AtomicCounter(100)
    assert w.increment() == 101
    w._counter = None  # type: ignore[assignment]
    with pytest.raises(AttributeError):
        w.load()
    with pytest.raises(TypeError):
        pickle.dumps(AtomicCounterWrapper())


# --- module -----------------------------------------------------------------------


def test_module_attributes():
    import logging
    import time
    import typing

    assert lockless.CYTHON_ATOMICS_AVAILABLE is True
    assert lockless.logger is logging.getLogger("lumetra.memory.lockless")
    assert lockless.threading is threading
    assert lockless.time is time
    assert lockless.logging is logging
    assert lockless.Optional is typing.Optional
    assert lockless.TypeVar is typing.TypeVar
    assert lockless.Generic is typing.Generic


def test_banner_logged_once_at_import(fresh_python):
    result = fresh_python(
        """
        import logging
        logging.basicConfig(level=logging.INFO, format="%(levelname)s|%(name)s|%(message)s")
        import lumetra.memory.lockless
        import importlib; importlib.import_module("lumetra.memory.lockless")
        """
    )
    assert result.returncode == 0, result.stderr
    lines = [line for line in result.stderr.splitlines() if line]
    assert lines == [
        "INFO|lumetra.memory.lockless|"
        "Lumetra Cython Lockless loaded - C11 atomics active (10-20\u00d7 speedup)"
    ]


# --- threads ----------------------------------------------------------------------


def test_concurrent_increments_are_exact():
    threads, per_thread = 4, 5000
    c = AtomicCounter()
    results: list[list[int]] = [[] for _ in range(threads)]

    def work(index):
        results[index].extend(c.increment() for _ in range(per_thread))

    run_threads(work, threads, interval=1e-6)
    assert c.load() == threads * per_thread
    assert sorted(v for r in results for v in r) == list(range(1, threads * per_thread + 1))
