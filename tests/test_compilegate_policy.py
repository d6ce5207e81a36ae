"""Compilegate: decisions, threshold updates, statistics, locking and the shared policy."""

from __future__ import annotations

import gc
import logging
import sys
import threading
import time
import types
import weakref
from types import SimpleNamespace

import pytest
from hypothesis import given
from hypothesis import strategies as st

from lumetra.jit import compilegate
from lumetra.jit.compilegate import (
    Compilegate,
    FunctionMetrics,
    PolicyConfig,
    get_compilegate,
    reset_compilegate,
)
from refcheck import references

LOGGER = "lumetra.jit.compilegate"


class Store:
    """A telemetry store handing out one metrics object, recording the calls."""

    def __init__(self, metrics):
        self.metrics = metrics
        self.asked = []

    def get_metrics(self, func_id):
        self.asked.append(func_id)
        return self.metrics


def native(**kw):
    return FunctionMetrics(**kw)


def duck(**kw):
    return SimpleNamespace(**kw)


def next_threshold(cur, speedup, cc, *, lr=0.1, target=2.0, lo=10, hi=10000):
    """The update rule, written out in Python."""
    ratio = speedup if target <= 0 else speedup / target
    adjustment = -(lr * cur) if ratio > 1.0 else lr * cur
    new = cur + adjustment * (1.0 - cc * 0.1) if cc <= 10 else float(cur)
    return lo if new < lo else (int(new) if new <= hi else hi)


def finishes(fn, timeout=10.0):
    """Runs fn in a thread; False if it is still blocked after `timeout`."""
    worker = threading.Thread(target=fn, daemon=True)
    worker.start()
    worker.join(timeout)
    return not worker.is_alive()


# --- should_compile -----------------------------------------------------------------


@pytest.mark.parametrize("make", [native, duck])
@pytest.mark.parametrize(
    ("calls", "compiles", "age", "expected"),
    [(99, 0, 0, False), (100, 0, 0, True), (100, 1, 599, False), (5000, 1, 600, True)]
    + [(100, 3, None, True), (99, 3, None, False)],  # None: no last_compiled attribute
)
def test_should_compile_boundaries(make, calls, compiles, age, expected):
    m = make(call_count=calls, compile_count=compiles, avg_speedup=1.0)
    if age is not None:  # else FunctionMetrics keeps 0.0, the duck has no attribute
        m.last_compiled = time.time() - age
    assert Compilegate().should_compile("f", Store(m)) is expected


def test_negative_threshold_is_reached_by_any_call_count():
    config = PolicyConfig()
    config.initial_threshold = -5
    assert Compilegate(config).should_compile("f", Store(native(call_count=0, compile_count=0)))


def test_clock_is_the_modules_time_time(monkeypatch):
    gate = Compilegate()
    store = Store(native(call_count=100, compile_count=1, last_compiled=1000.0))
    assert gate.should_compile("f", store)  # the real clock is far past 1600
    for fake_now, expected in [(1599.0, False), (1600.0, True)]:
        monkeypatch.setattr(time, "time", lambda now=fake_now: now)
        assert gate.should_compile("f", store) is expected
    monkeypatch.setattr(compilegate, "time", SimpleNamespace(time=lambda: 1000))
    assert not gate.should_compile("f", store)
    clock = types.ModuleType("clock")  # a module of its own, changed after it is in use
    clock.__dict__["time"] = lambda: 1000
    monkeypatch.setattr(compilegate, "time", clock)
    assert not gate.should_compile("f", store)
    clock.__dict__["time"] = lambda: 1600
    assert gate.should_compile("f", store)
    monkeypatch.undo()
    assert gate.should_compile("f", store)


# --- update -------------------------------------------------------------------------


@pytest.mark.parametrize("make", [native, duck])
@pytest.mark.parametrize(
    ("start", "compiles", "speedup", "expected"),
    [
        (100, 1, 3.0, 91),
        (100, 1, 1.0, 109),
        (100, 1, 2.0, 109),  # a ratio of exactly 1 raises the threshold
        (100, 5, 3.0, 95),
        (100, 10, 3.0, 100),
        (100, 25, 0.1, 100),
        (10, 1, 4.0, 10),  # 9.1 clamped up
        (10000, 1, 0.5, 10000),  # 10900 clamped down
    ],
)
def test_update_worked_examples(make, start, compiles, speedup, expected):
    gate = Compilegate(PolicyConfig(initial_threshold=start))
    gate.update("f", Store(make(compile_count=compiles, avg_speedup=speedup)))
    assert gate.get_threshold("f") == expected
    assert gate.get_threshold("g") == start


def test_updates_compound_from_the_stored_value():
    gate = Compilegate()
    gate.update("f", Store(native(compile_count=1, avg_speedup=3.0)))
    assert gate.get_threshold("f") == 91
    gate.update("f", Store(native(compile_count=2, avg_speedup=3.0)))
    assert gate.get_threshold("f") == 83  # 91 - 9.1 * 0.8 = 83.72


@given(
    values=st.tuples(*[st.integers(-(2**31), 2**31 - 1)] * 3),
    compiles=st.integers(1, 2**32 - 1) | st.integers(1, 12),
    rates=st.tuples(st.floats(-1e6, 1e6), st.floats(-10, 10), st.floats(-10, 10)),
)
def test_update_matches_the_rule_for_any_record(values, compiles, rates):
    (cur, lo, hi), (speedup, lr, target) = values, rates
    config = PolicyConfig()
    # Unchecked writes: inverted bounds and out-of-range rates must stay defined.
    config.initial_threshold, config.min_threshold, config.max_threshold = cur, lo, hi
    config.learning_rate, config.target_speedup = lr, target
    gate = Compilegate(config)
    gate.update("f", Store(native(compile_count=compiles, avg_speedup=speedup)))
    expected = next_threshold(cur, speedup, compiles, lr=lr, target=target, lo=lo, hi=hi)
    assert gate.get_threshold("f") == expected


@pytest.mark.parametrize("zero", [0, 0.0, False])
def test_update_without_compilation_stores_and_logs_nothing(zero, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    gate = Compilegate()
    assert gate.update("f", Store(duck(compile_count=zero))) is None  # type: ignore[func-returns-value]
    assert gate.get_statistics()["tracked_functions"] == 0
    assert caplog.records == []


@pytest.mark.parametrize(
    ("func_id", "compiles", "text"),
    [
        ("f", 10, "Updated threshold for f: 100 -> 100 (speedup: 3.00x)"),
        ("f", 1, "Updated threshold for f: 100 -> 91 (speedup: 3.00x)"),
        (None, 1, "Updated threshold for None: 100 -> 91 (speedup: 3.00x)"),
    ],
)
def test_update_debug_record(func_id, compiles, text, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    Compilegate().update(func_id, Store(native(compile_count=compiles, avg_speedup=3.0)))
    [record] = caplog.records
    assert (record.name, record.levelno, record.getMessage()) == (LOGGER, logging.DEBUG, text)


def test_update_log_reaches_replaced_debug_even_when_disabled(monkeypatch):
    assert not compilegate.logger.isEnabledFor(logging.DEBUG)
    seen: list[object] = []
    monkeypatch.setattr(compilegate.logger, "debug", seen.append)
    Compilegate().update("f", Store(native(compile_count=1, avg_speedup=0.5)))
    monkeypatch.setattr(compilegate, "logger", SimpleNamespace(debug=seen.append))
    Compilegate().update("g", Store(native(compile_count=1, avg_speedup=3.25)))
    assert seen == [
        "Updated threshold for f: 100 -> 109 (speedup: 0.50x)",
        "Updated threshold for g: 100 -> 91 (speedup: 3.25x)",
    ]


def test_none_is_its_own_key():
    gate = Compilegate()
    gate.update(None, Store(native(compile_count=1, avg_speedup=3.0)))
    assert (gate.get_threshold(None), gate.get_threshold("None")) == (91, 100)


# --- argument and store errors ------------------------------------------------------


class StrSub(str):
    pass


@pytest.mark.parametrize(
    ("func_id", "type_name"), [(1, "int"), (b"f", "bytes"), (StrSub("f"), "StrSub")]
)
@pytest.mark.parametrize("method", ["get_threshold", "should_compile", "update"])
def test_func_id_must_be_str_or_none(func_id, type_name, method):
    store = Store(native(call_count=500, compile_count=1))
    args = (func_id,) if method == "get_threshold" else (func_id, store)
    with pytest.raises(TypeError) as info:
        getattr(Compilegate(), method)(*args)
    assert (
        str(info.value) == f"Argument 'func_id' has incorrect type (expected str, got {type_name})"
    )
    assert store.asked == []


@pytest.mark.parametrize(
    ("method", "store", "error", "message"),
    [
        ("should_compile", object(), AttributeError, "get_metrics"),
        ("update", object(), AttributeError, "get_metrics"),
        ("should_compile", Store(duck(call_count=1, avg_speedup=1)), AttributeError,
         "compile_count"),
        ("should_compile", Store(duck(compile_count=1, call_count=-1, avg_speedup=1)),
         OverflowError, "can't convert negative value to uint64_t"),
        ("update", Store(duck(compile_count=1)), AttributeError, "avg_speedup"),
        ("update", Store(duck(compile_count=-1, avg_speedup=1.0)), OverflowError,
         "can't convert negative value to uint32_t"),
    ],
)  # fmt: skip
def test_store_errors_release_the_lock_and_change_nothing(method, store, error, message, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    gate = Compilegate()
    with pytest.raises(error, match=message):
        getattr(gate, method)("f", store)
    assert finishes(gate.get_statistics, timeout=5)
    assert gate.get_statistics()["tracked_functions"] == 0
    assert caplog.records == []


# --- configuration and statistics ---------------------------------------------------


def test_config_coercion():
    assert Compilegate().config is not Compilegate().config
    shared = PolicyConfig(initial_threshold=300)
    gate = Compilegate(config=shared)
    assert gate.config is shared
    shared.initial_threshold = 500  # seen at the next read
    assert gate.get_threshold("f") == 500
    c = Compilegate(SimpleNamespace(min_threshold=20)).config
    assert (c.initial_threshold, c.min_threshold, c.max_threshold) == (100, 20, 10000)
    assert Compilegate({"min_threshold": 20}).config.min_threshold == 10
    with pytest.raises(ValueError, match=r"learning_rate must be in \(0, 1\]"):
        Compilegate(SimpleNamespace(learning_rate=5))
    with pytest.raises(AttributeError):
        gate.config = shared  # type: ignore[misc]


def test_statistics():
    gate = Compilegate()
    keys = ["tracked_functions", "avg_threshold", "min_threshold", "max_threshold"]
    stats = gate.get_statistics()
    assert (list(stats), list(stats.values())) == (keys, [0, 100, 10, 10000])
    gate.update("a", Store(native(compile_count=1, avg_speedup=3.0)))
    gate.update("b", Store(native(compile_count=1, avg_speedup=1.0)))
    stats = gate.get_statistics()
    assert (list(stats), list(stats.values())) == (keys, [2, 100.0, 91, 109])
    assert type(stats["avg_threshold"]) is float


def test_method_metadata():
    annotations = [m.__annotations__ for m in (Compilegate.get_threshold, get_compilegate)]
    assert annotations == [{"return": "int"}, {"return": "Compilegate"}]
    assert "not re-entrant" in (Compilegate.__doc__ or "")


# --- locking ------------------------------------------------------------------------


class RecordingLock:
    def __init__(self):
        self.events = []
        self._lock = threading.Lock()

    def acquire(self):
        self.events.append("acquire")
        return self._lock.acquire()

    def release(self):
        self.events.append("release")
        self._lock.release()


def test_store_is_called_under_the_lock_and_logging_after_it(monkeypatch, caplog):
    lock = RecordingLock()
    monkeypatch.setattr(compilegate, "threading", SimpleNamespace(Lock=lambda: lock))
    gate = Compilegate()
    monkeypatch.undo()
    states = []

    class Probe(Store):
        def get_metrics(self, func_id):
            states.append(lock.events[-1])
            return super().get_metrics(func_id)

    class Handler(logging.Handler):
        def emit(self, record):
            states.append(lock.events[-1])

    handler = Handler()
    logging.getLogger(LOGGER).addHandler(handler)
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    try:
        gate.should_compile("f", Probe(native(compile_count=1, avg_speedup=3.0)))
        gate.update("f", Probe(native(compile_count=1, avg_speedup=3.0)))
    finally:
        logging.getLogger(LOGGER).removeHandler(handler)
    assert states == ["acquire", "acquire", "release"]
    assert lock.events == ["acquire", "release"] * 2


def test_metrics_dropped_after_the_lock():
    gate = Compilegate()

    class CallsBack:
        compile_count, call_count, avg_speedup = 1, 500, 3.0

        def __del__(self):
            gate.get_threshold("f")  # would deadlock if dropped under the lock

    class FreshStore:
        def get_metrics(self, func_id):
            return CallsBack()

    def both() -> None:
        gate.should_compile("f", FreshStore())
        gate.update("f", FreshStore())

    assert finishes(both)
    assert gate.get_threshold("f") == 91


def test_references_balanced():
    # A str built at run time: literals are immortal from 3.12 on.
    func_id = "".join(["re", "fs"])
    gate, m = Compilegate(), native(call_count=500, compile_count=1)
    store = Store(m)
    before = sys.getrefcount(m), sys.getrefcount(func_id), sys.getrefcount(store)
    for _ in range(50):
        gate.should_compile(func_id, store)
        gate.update(func_id, store)
    store.asked.clear()
    assert (sys.getrefcount(m), sys.getrefcount(func_id) - 1, sys.getrefcount(store)) == before


def test_policy_collected_through_a_cycle():
    class Config(PolicyConfig):
        gate: Compilegate

    config = Config()
    config.gate = Compilegate(config)
    ref = weakref.ref(config)
    del config
    gc.collect()
    assert ref() is None


def test_concurrent_calls_are_serialised():
    gate = Compilegate(PolicyConfig(max_threshold=2**31 - 1))
    inside, overlaps = [0], []

    class SlowMetrics:
        call_count, compile_count = 10**6, 1

        @property
        def avg_speedup(self):
            time.sleep(0)  # hand the interpreter to another thread mid-update
            return 1.0

    class Exclusive:
        def get_metrics(self, func_id):
            inside[0] += 1
            if inside[0] != 1:
                overlaps.append(func_id)
            time.sleep(0)
            inside[0] -= 1
            return SlowMetrics()

    threads, rounds = 4, 40
    store = Exclusive()

    def work():
        for _ in range(rounds):
            gate.should_compile("shared", store)
            gate.update("shared", store)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    expected = 100
    for _ in range(threads * rounds):  # no update lost: every one compounds
        expected = next_threshold(expected, 1.0, 1, hi=2**31 - 1)
    assert overlaps == []
    assert gate.get_threshold("shared") == expected
    assert gate.get_statistics()["tracked_functions"] == 1


# --- the shared policy ----------------------------------------------------------------


def test_shared_policy_lifecycle():
    reset_compilegate()
    first = get_compilegate()
    assert get_compilegate() is first
    first.update("f", Store(native(compile_count=1, avg_speedup=3.0)))
    assert reset_compilegate() is None  # type: ignore[func-returns-value]
    second = get_compilegate()
    assert second is not first
    assert second.get_statistics()["tracked_functions"] == 0
    assert first.get_threshold("f") == 91  # earlier policies stay usable


def test_shared_policy_uses_policy_lock_and_survives_failure(monkeypatch):
    reset_compilegate()
    lock = RecordingLock()
    monkeypatch.setattr(compilegate, "_policy_lock", lock)
    monkeypatch.setattr(compilegate, "threading", SimpleNamespace(Lock=lambda: 1 / 0))
    for _ in range(2):  # nothing was kept by the failed attempt
        with pytest.raises(ZeroDivisionError):
            get_compilegate()
    monkeypatch.setattr(compilegate, "threading", threading)
    assert isinstance(get_compilegate(), Compilegate)
    reset_compilegate()
    assert lock.events == ["acquire", "release"] * 4


def test_shared_policy_made_reentrantly_is_one_policy(monkeypatch):
    # Making the policy calls threading.Lock(), which here asks for the shared
    # policy again through a re-entrant _policy_lock.
    reset_compilegate()
    inner: list[Compilegate | None] = []

    def lock():
        if not inner:
            inner.append(None)
            inner[0] = get_compilegate()
        return threading.Lock()

    monkeypatch.setattr(compilegate, "_policy_lock", threading.RLock())
    monkeypatch.setattr(compilegate, "threading", SimpleNamespace(Lock=lock))
    outer = get_compilegate()
    assert outer is inner.pop() is get_compilegate()
    reset_compilegate()
    assert references(id(outer)) == 1  # ours: nothing leaked
