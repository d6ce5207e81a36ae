"""Rows for lumetra.jit.compilegate."""

from __future__ import annotations

import logging
import threading
import time
from types import SimpleNamespace

from lumetra.jit.compilegate import Compilegate, FunctionMetrics

from run import Row, stmt

logger = logging.getLogger("bench.compilegate")


class PyPolicy:
    """What a Python user writes without the module: the same rules, one lock."""

    def __init__(self, initial=100, lo=10, hi=10000, rate=0.1, target=2.0) -> None:
        self.initial, self.lo, self.hi, self.rate, self.target = initial, lo, hi, rate, target
        self._thresholds: dict[str | None, int] = {}
        self._lock = threading.Lock()
        self._recompile_interval = 600.0

    def get_threshold(self, func_id: str | None) -> int:
        if func_id is not None and type(func_id) is not str:
            raise TypeError("func_id")
        with self._lock:
            return self._thresholds.get(func_id, self.initial)

    def should_compile(self, func_id: str | None, telemetry_store) -> bool:
        if func_id is not None and type(func_id) is not str:
            raise TypeError("func_id")
        now = time.time()
        with self._lock:
            threshold = self._thresholds.get(func_id, self.initial)
            metrics = telemetry_store.get_metrics(func_id)
            calls = metrics.call_count
            compiles = metrics.compile_count
            _speedup = metrics.avg_speedup  # read, as the policy reads it
            last = getattr(metrics, "last_compiled", 0.0)
        if calls < threshold:
            return False
        if compiles == 0:
            return True
        return now - last >= self._recompile_interval

    def update(self, func_id: str | None, telemetry_store) -> None:
        if func_id is not None and type(func_id) is not str:
            raise TypeError("func_id")
        with self._lock:
            metrics = telemetry_store.get_metrics(func_id)
            if metrics.compile_count == 0:
                return
            current = self._thresholds.get(func_id, self.initial)
            compiles = metrics.compile_count
            speedup = metrics.avg_speedup
            ratio = speedup / self.target if self.target > 0 else speedup
            adjustment = self.rate * current
            if ratio > 1.0:
                adjustment = -adjustment
            new = current + adjustment * (1.0 - compiles * 0.1) if compiles <= 10 else current
            new = self.lo if new < self.lo else (int(new) if new <= self.hi else self.hi)
            self._thresholds[func_id] = new
        logger.debug(
            f"Updated threshold for {func_id}: {current} -> {new} (speedup: {speedup:.2f}x)"
        )


class Store:
    """A telemetry store that hands out one stored metrics record."""

    def __init__(self, metrics) -> None:
        self.metrics = metrics

    def get_metrics(self, func_id):
        return self.metrics


def rows(headline: bool = False) -> list[Row]:
    gate = Compilegate()
    py = PyPolicy()
    # Compiled long ago, so the decision runs through every step; ten
    # compilations keep update() from moving the threshold between repeats.
    metrics = FunctionMetrics(call_count=500, compile_count=10, avg_speedup=3.0, last_compiled=1.0)
    store = Store(metrics)
    # The same record as a plain Python object: every field through getattr.
    plain = Store(
        SimpleNamespace(call_count=500, compile_count=10, avg_speedup=3.0, last_compiled=1.0)
    )
    gate.update("f", store)
    py.update("f", store)
    return [
        Row(
            "Compilegate.get_threshold(func_id)",
            stmt("g.get_threshold('f')", g=gate),
            "pure-Python policy",
            stmt("p.get_threshold('f')", p=py),
            headline=True,
        ),
        Row(
            "Compilegate.should_compile(func_id, store)",
            stmt("g.should_compile('f', s)", g=gate, s=store),
            "pure-Python policy",
            stmt("p.should_compile('f', s)", p=py, s=store),
            headline=True,
        ),
        Row(
            "  ... store returning a Python object",
            stmt("g.should_compile('f', s)", g=gate, s=plain),
            "pure-Python policy",
            stmt("p.should_compile('f', s)", p=py, s=plain),
        ),
        Row(
            "Compilegate.update(func_id, store)",
            stmt("g.update('f', s)", g=gate, s=store),
            "pure-Python policy",
            stmt("p.update('f', s)", p=py, s=store),
        ),
        Row(
            "  the store's own get_metrics(func_id)",
            stmt("s.get_metrics('f')", s=store),
        ),
        Row(
            "Compilegate.get_statistics()",
            stmt("g.get_statistics()", g=gate),
        ),
    ]
