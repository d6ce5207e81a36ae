"""adaptplan: adaptation decisions, resource prediction and argument handling."""

from __future__ import annotations

from typing import Any

import pytest

from lumetra.plugins.analyzer.adaptplan import (
    calculate_adaptation_urgency,
    calculate_performance_trend,
    detect_dominant_pattern,
    detect_fragmentation_threshold,
    detect_memory_pressure,
    detect_performance_degradation,
    detect_workload_characteristics_change,
    is_adaptation_beneficial,
    predict_resource_requirements,
    score_pool_recommendation,
    should_skip_adaptation,
)


class IndexLike:
    def __index__(self):
        return 1


# --- decisions ----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (("pool_a", "pool_a", 0.99, 0.99, 0.1, 1), False),
        ((None, None, 0.99, 0.99, 0.1, 1), False),
        (("pool_a", "pool_b", 0.9, 0.59, 0.5, 1), False),
        (("pool_a", "pool_b", 0.51, 0.6, 0.5, 0), True),
        (("pool_a", "pool_b", 0.5, 0.6, 0.5, 0), False),
        (("pool_a", "pool_b", 0.61, 0.6, 0.0, 1), True),
        (("pool_a", "pool_b", 0.6, 0.6, 0.0, 1), False),
        (("pool_a", "pool_b", 0.56, 0.6, 0.5, 1), True),
        (("pool_a", "pool_b", 0.55, 0.6, 0.5, 1), False),
        ((None, "pool_b", 0.9, 0.9, 0.0, 0), True),
        (("pool_a", "pool_b", 0.9, 0.7, 0.5, 1, 2.0, 0.8), False),
        (("pool_a", "pool_b", 1.1, 0.8, 0.5, 1.9, 2.0, 0.8), True),
    ],
)
def test_is_adaptation_beneficial(args, expected):
    assert is_adaptation_beneficial(*args) is expected


@pytest.mark.parametrize(
    ("func", "args", "expected"),
    [
        (should_skip_adaptation, (100.0, 105.0, 10.0), True),
        (should_skip_adaptation, (100.0, 110.0, 10.0), False),
        (should_skip_adaptation, (100.0, 90.0, 0.0), True),
        (should_skip_adaptation, (100.0, 90.0, -10.0), False),
        (detect_memory_pressure, (900, 1000), True),
        (detect_memory_pressure, (800, 1000), False),
        (detect_memory_pressure, (900, 0), False),
        (detect_memory_pressure, (-1, 1000), False),
        (detect_memory_pressure, (1500, 1000, 2.0), False),
        (detect_fragmentation_threshold, (0.3,), False),
        (detect_fragmentation_threshold, (0.31,), True),
        (detect_fragmentation_threshold, (-0.5, -1.0), False),
        (detect_fragmentation_threshold, (5.0,), True),
    ],
)
def test_boolean_decisions(func, args, expected):
    assert func(*args) is expected


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((1.0, 1.0, 1.0, True), 1.0),
        ((0.0, 0.0, 0.0, True), 0.15),
        ((2.0, -1.0, 0.5, False), 0.475),
        ((0, 0, 0, [0]), 0.15),
        ((0, 0.5, 0, ""), 0.15),
    ],
)
def test_urgency(args, expected):
    result = calculate_adaptation_urgency(*args)
    assert type(result) is float
    assert result == pytest.approx(expected)


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((1, 1, 1, 1), 1.0),
        ((1, 0, 0, 0), 0.35),
        ((0, 0, 0, 1), 0.15),
        ((0.5, 0.5, 0.5, 0.5), 0.5),
        ((-1, -1, -1, 1), 0.15),
        ((True, False, IndexLike(), 0), 0.55),
    ],
)
def test_pool_score(args, expected):
    assert score_pool_recommendation(*args) == pytest.approx(expected)


# --- predict_resource_requirements ----------------------------------------------------


def records(count, size=100.0, step=1.0):
    return [(i * step, size) for i in range(count)]


@pytest.mark.parametrize(
    ("history", "horizon", "expected"),
    [
        (records(9), 9.0, (0, 0, 0.0)),
        (records(10, step=0.0), 9.0, (0, 0, 0.0)),
        ([(9.0, 1.0)] + records(9), 9.0, (0, 0, 0.0)),  # last before first
        (records(10), 9.0, (10, 1000, 0.08)),
        (records(10), 0.0, (0, 0, 0.08)),
        (records(10), -9.0, (-10, -1000, 0.08)),
        (records(11), 10.0, (11, 1100, 0.088)),
        ([(0.0, 100.0)] * 199 + [(256.0, 100.0)], 256.0, (200, 20000, 0.8)),
        (records(10, size=3 * 2**30), 9.0, (10, 2147483647, 0.08)),
        (records(10, size=-(2**31)), 9.0, (10, -2147483648, 0.08)),
        (records(10), 9.0 * 2**32, (2147483647, 2147483647, 0.08)),
        ([[float(i), 100] for i in range(10)], 9.0, (10, 1000, 0.08)),
    ],
)
def test_prediction(history, horizon, expected):
    result = predict_resource_requirements(history, horizon)
    assert result == expected
    assert [type(v) for v in result] == [int, int, float]


def test_prediction_confidence_steps():
    for n in range(10, 100):
        assert predict_resource_requirements(records(n), 1.0)[2] == n * 0.008


def test_prediction_record_errors():
    bad = records(10)
    bad[4] = (4.0, 1.0, 2.0)
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        predict_resource_requirements(bad, 1.0)
    bad[4] = (4.0,)
    with pytest.raises(ValueError, match="^need more than 1 value to unpack$"):
        predict_resource_requirements(bad, 1.0)
    bad = records(10)
    bad[0] = 5
    with pytest.raises(TypeError, match="'int' object is not subscriptable"):
        predict_resource_requirements(bad, 1.0)
    bad[0] = {0: 0.0}  # indexable at 0, but unpacks into one key
    with pytest.raises(ValueError, match="^need more than 1 value to unpack$"):
        predict_resource_requirements(bad, 1.0)


# --- argument handling ---------------------------------------------------------------


def arg_type(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize(
    ("func", "args", "kwargs", "error", "message"),
    [
        (detect_performance_degradation, ([], 1, 1), {}, TypeError, "{}() takes exactly 4 "
         "positional arguments (3 given)"),
        (detect_workload_characteristics_change, ([], 0.3, 1), {}, TypeError, "{}() takes at "
         "most 2 positional arguments (3 given)"),
        (is_adaptation_beneficial, ("a", "b", 1, 1, 1), {}, TypeError, "{}() takes at least 6 "
         "positional arguments (5 given)"),
        (detect_fragmentation_threshold, (), {}, TypeError, "{}() takes at least 1 positional "
         "argument (0 given)"),
        (detect_memory_pressure, (1, 2), {"peak": 3}, TypeError, "{}() got an unexpected "
         "keyword argument 'peak'"),
        (should_skip_adaptation, (1, 2, 3), {"current_time": 2}, TypeError, "{}() got multiple "
         "values for keyword argument 'current_time'"),
        (calculate_performance_trend, ((), 0), {}, TypeError,
         arg_type("performance_history", "list", "tuple")),
        (detect_dominant_pattern, (type("L", (list,), {})(["a"]),), {}, TypeError,
         arg_type("patterns", "list", "L")),
        (predict_resource_requirements, ({}, 1.0), {}, TypeError,
         arg_type("allocation_history", "list", "dict")),
        (is_adaptation_beneficial, (5, "b", 1, 1, 1, 0), {}, TypeError,
         arg_type("current_pool", "str", "int")),
        (is_adaptation_beneficial, ("a", b"b", 1, 1, 1, 0), {}, TypeError,
         arg_type("recommended_pool", "str", "bytes")),
        (is_adaptation_beneficial, ("a", "b", 1, 1, 1, None), {}, TypeError,
         "an integer is required"),
        (is_adaptation_beneficial, ("a", "b", 1, 1, 1, -(2**31) - 1), {}, OverflowError,
         "value too large to convert to int"),
        (detect_memory_pressure, ("1", 2), {}, TypeError, "must be real number, not str"),
        (calculate_adaptation_urgency, (None, 0, 0, 1), {}, TypeError,
         "must be real number, not NoneType"),
        # Numbers are converted before the list is checked.
        (detect_performance_degradation, ((), "x", 0, 0), {}, TypeError,
         "must be real number, not str"),
    ],
)  # fmt: skip
def test_argument_errors(func, args, kwargs, error, message):
    with pytest.raises(error) as info:
        func(*args, **kwargs)
    assert type(info.value) is error
    assert str(info.value) == message.format(func.__name__)


def test_non_string_keywords_rejected():
    with pytest.raises(TypeError, match="keywords must be strings$"):
        score_pool_recommendation(1, 1, 1, **{1: 1})  # type: ignore[arg-type]


def test_keywords_accepted():
    kwargs: dict[str, Any] = {
        "recommendation_score": 0.9,
        "recommendation_confidence": 0.9,
        "trigger_code": 1,
    }
    assert is_adaptation_beneficial("a", "b", current_performance_estimate=0.5, **kwargs)
    assert not is_adaptation_beneficial("a", "b", 0.9, 0.9, 0.5, 1, min_confidence=0.95)
    assert detect_dominant_pattern(patterns=["a", "b"], window_size=1) == "b"
    assert predict_resource_requirements(
        prediction_horizon_seconds=9, allocation_history=records(10)
    ) == (10, 1000, 0.08)
