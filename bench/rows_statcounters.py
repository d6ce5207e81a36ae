"""Rows for lumetra.monitoring.statcounters."""

from __future__ import annotations

import math
import threading

from lumetra.monitoring.statcounters import CounterAggregator

from run import Row, stmt

INF = float("inf")


class PyAggregator:
    """What a Python user writes without the module: per-counter lists under one
    lock, with the same shifted Welford update."""

    def __init__(self, num_counters: int = 1000) -> None:
        self._counters = [[0, 0.0, 0.0, 0.0, 0.0, INF, -INF] for _ in range(num_counters)]
        self._lock = threading.Lock()

    def update(self, counter_id: int, value: float) -> None:
        if not 0 <= counter_id < len(self._counters):
            raise IndexError(f"Counter ID {counter_id} out of range")
        value = float(value)
        with self._lock:
            c = self._counters[counter_id]
            if c[0] == 0:
                c[2] = value
            c[0] += 1
            c[1] += value
            shifted = value - c[2]
            delta = shifted - c[3]
            c[3] += delta / c[0]
            c[4] += delta * (shifted - c[3])
            if not c[5] <= value:
                c[5] = value
            if c[6] < value:  # noqa: PLR1730 (a plain test, as fast as Python gets)
                c[6] = value

    def get_stats(self, counter_id: int) -> dict:
        if not 0 <= counter_id < len(self._counters):
            raise IndexError(f"Counter ID {counter_id} out of range")
        with self._lock:
            count, total, _, _, m2, low, high = self._counters[counter_id]
        if count == 0:
            return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}
        variance = m2 / count
        std = math.sqrt(variance) if variance > 0 else 0.0
        return {
            "count": count,
            "mean": total / count,
            "variance": variance,
            "std": std,
            "min": low,
            "max": high,
        }

    def get_all_stats(self) -> list:
        return [(i, self.get_stats(i)) for i, c in enumerate(self._counters) if c[0] > 0]


def filled(cls, used: int = 100):
    agg = cls(1000)
    for i in range(used):
        for v in (1.0, 2.0, 4.0):
            agg.update(i * 10, v)
    return agg


def rows(headline: bool = False) -> list[Row]:
    native, python = filled(CounterAggregator), filled(PyAggregator)
    return [
        Row(
            "CounterAggregator.update(id, value)",
            stmt("a.update(17, 3.5)", a=native),
            "Python aggregator with a lock",
            stmt("a.update(17, 3.5)", a=python),
            headline=True,
        ),
        Row(
            "CounterAggregator.get_stats(id)",
            stmt("a.get_stats(10)", a=native),
            "Python aggregator with a lock",
            stmt("a.get_stats(10)", a=python),
        ),
        Row(
            "CounterAggregator.get_all_stats(), 100 used",
            stmt("a.get_all_stats()", a=native),
            "Python aggregator with a lock",
            stmt("a.get_all_stats()", a=python),
            vs_floor=False,
        ),
    ]
