"""PolicyConfig, FunctionMetrics, their factories and the module itself."""

from __future__ import annotations

import logging
import operator
import pickle
import threading
import time
import typing

import pytest

from lumetra.jit import compilegate
from lumetra.jit.compilegate import (
    FunctionMetrics,
    PolicyConfig,
    create_function_metrics,
    create_policy_config,
)

config_values = operator.attrgetter(
    "initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"
)


# --- PolicyConfig -----------------------------------------------------------------


def test_config_defaults_and_accepted_edges():
    assert config_values(PolicyConfig()) == (100, 10, 10000, 0.1, 2.0)
    assert config_values(PolicyConfig(11, 10, 11, 1.0, 1e-9)) == (11, 10, 11, 1.0, 1e-9)
    assert config_values(PolicyConfig(55.9, True, 60, 1, 3)) == (55, 1, 60, 1.0, 3.0)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        # The first failing rule wins, whatever else is wrong.
        (
            {"min_threshold": 0, "max_threshold": -5, "learning_rate": 9.0},
            "min_threshold must be positive",
        ),
        (
            {"min_threshold": 50, "max_threshold": 50},
            "max_threshold must be greater than min_threshold",
        ),
        ({"learning_rate": 0.0, "target_speedup": 0.0}, "learning_rate must be in (0, 1]"),
        ({"learning_rate": 1.5}, "learning_rate must be in (0, 1]"),
        ({"target_speedup": 0.0, "initial_threshold": 1}, "target_speedup must be positive"),
        ({"initial_threshold": 5}, "initial_threshold must be within bounds"),
        ({"initial_threshold": 10001}, "initial_threshold must be within bounds"),
    ],
)
def test_config_checks_in_order(kwargs, message):
    with pytest.raises(ValueError) as info:
        PolicyConfig(**kwargs)
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        create_policy_config(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        # Conversions all happen before any range check.
        ({"min_threshold": 0, "learning_rate": "x"}, TypeError, "must be real number, not str"),
        ({"min_threshold": 0, "max_threshold": "x"}, TypeError, "an integer is required"),
        ({"initial_threshold": 2**31}, OverflowError, "value too large to convert to int"),
        ({"min_threshold": -(2**31) - 1}, OverflowError, "value too large to convert to int"),
    ],
)
def test_config_conversion_errors(kwargs, error, message):
    with pytest.raises(error, match=message):
        PolicyConfig(**kwargs)


def test_config_properties_write_unchecked():
    c = PolicyConfig()
    c.min_threshold = 20000  # inverted bounds are stored as given
    c.learning_rate = 7
    c.initial_threshold = 3.9  # type: ignore[assignment]
    assert config_values(c) == (3, 20000, 10000, 7.0, 2.0)
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        c.max_threshold = 2**31
    with pytest.raises(TypeError):
        c.target_speedup = "fast"  # type: ignore[assignment]
    assert config_values(c) == (3, 20000, 10000, 7.0, 2.0)


# --- FunctionMetrics --------------------------------------------------------------


@pytest.mark.parametrize(
    ("kwargs", "stored"),
    [
        ({}, 0.0),
        ({"last_compile_time": 5.0}, 5.0),
        ({"last_compile_time": 5.0, "last_compiled": 7.0}, 7.0),
        ({"last_compile_time": 5.0, "last_compiled": -1.0}, 5.0),
        ({"last_compile_time": 5.0, "last_compiled": None}, 5.0),
        ({"last_compiled": 0.0}, 0.0),
    ],
)
def test_metrics_one_stored_compile_time(kwargs, stored):
    m = FunctionMetrics(**kwargs)
    assert m.last_compiled == m.last_compile_time == stored


def test_metrics_fields_and_aliasing():
    m = FunctionMetrics(2**64 - 1, 2**32 - 1, 3.5, 12.25, 1.5)
    assert (m.call_count, m.compile_count, m.total_execution_time_ms) == (
        2**64 - 1,
        2**32 - 1,
        12.25,
    )
    m.last_compile_time, m.call_count = 9, 7.9  # type: ignore[assignment]
    assert (m.last_compiled, m.call_count) == (9.0, 7)
    m.last_compiled = 11.5
    assert m.last_compile_time == 11.5


@pytest.mark.parametrize(
    ("name", "value", "error", "message"),
    [
        ("call_count", -1, OverflowError, "can't convert negative value to uint64_t"),
        ("call_count", 2**64, OverflowError, "too big"),
        ("compile_count", -1, OverflowError, "can't convert negative value to uint32_t"),
        ("compile_count", 2**32, OverflowError, "value too large to convert to uint32_t"),
        ("compile_count", "1", TypeError, "an integer is required"),
        ("avg_speedup", None, TypeError, "must be real number"),
    ],
)
def test_metrics_conversion_errors(name, value, error, message):
    with pytest.raises(error, match=message):
        FunctionMetrics(**{name: value})
    m = FunctionMetrics(call_count=4, compile_count=2, avg_speedup=1.5)
    with pytest.raises(error, match=message):
        setattr(m, name, value)
    assert (m.call_count, m.compile_count, m.avg_speedup) == (4, 2, 1.5)


# --- shared type behaviour --------------------------------------------------------


@pytest.mark.parametrize(
    ("obj", "name"),
    [
        (PolicyConfig(), "initial_threshold"),
        (PolicyConfig(), "learning_rate"),
        (FunctionMetrics(), "call_count"),
        (FunctionMetrics(), "last_compile_time"),
    ],
)
def test_records_are_closed(obj, name):
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(obj, name)
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(obj)


def test_docstrings():
    config_doc, metrics_doc = PolicyConfig.__doc__, FunctionMetrics.__doc__
    assert config_doc is not None and metrics_doc is not None
    assert "\n" not in config_doc
    assert metrics_doc.startswith("Metrics for a function's execution and compilation.")
    assert "last_compiled: Alias for last_compile_time (matches TelemetryStore)" in metrics_doc
    assert FunctionMetrics.last_compile_time.__doc__ == (
        "Alias for last_compiled for backward compatibility."
    )


# --- factories --------------------------------------------------------------------


def test_factory_defaults_and_int_parameters():
    m = create_function_metrics()
    assert (m.call_count, m.compile_count, m.avg_speedup) == (0, 0, 1.0)
    assert (m.total_execution_time_ms, m.last_compiled) == (0.0, 0.0)
    m = create_function_metrics(3.9, True, 2, 4, last_compile_time=8)  # type: ignore[arg-type]
    assert (m.call_count, m.compile_count, m.avg_speedup, m.last_compile_time) == (3, 1, 2.0, 8.0)
    assert config_values(create_policy_config(50.7, 20, 60.2)) == (50, 20, 60, 0.1, 2.0)  # type: ignore[arg-type]
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        create_function_metrics(call_count=-1)


@pytest.mark.parametrize(
    ("call", "name", "type_name"),
    [
        (lambda: create_policy_config("100"), "initial_threshold", "str"),  # type: ignore[arg-type]
        (lambda: create_policy_config(max_threshold=None), "max_threshold", "NoneType"),  # type: ignore[arg-type]
        (lambda: create_function_metrics(compile_count=[1]), "compile_count", "list"),  # type: ignore[arg-type]
    ],
)
def test_factory_int_type_errors(call, name, type_name):
    with pytest.raises(TypeError) as info:
        call()
    assert (
        str(info.value) == f"Argument '{name}' has incorrect type (expected int, got {type_name})"
    )


def test_factory_annotations_and_docs():
    ints, floats = (
        dict.fromkeys(["call_count", "compile_count"], "int"),
        dict.fromkeys(["avg_speedup", "total_execution_time_ms", "last_compile_time"], "float"),
    )
    assert create_function_metrics.__annotations__ == {
        **ints,
        **floats,
        "return": "FunctionMetrics",
    }
    ints = dict.fromkeys(["initial_threshold", "min_threshold", "max_threshold"], "int")
    floats = dict.fromkeys(["learning_rate", "target_speedup"], "float")
    assert create_policy_config.__annotations__ == {**ints, **floats, "return": "PolicyConfig"}
    assert create_policy_config.__doc__ == (
        "Factory function to create PolicyConfig.\n\n"
        "Provides a Python-friendly interface for creating config objects."
    )


# --- the module -------------------------------------------------------------------


def test_module_attributes():
    assert compilegate.__doc__.startswith("Adaptive JIT threshold policy.")
    assert "Reduces compilation attempts while maximizing benefit." in compilegate.__doc__
    assert compilegate.logger is logging.getLogger("lumetra.jit.compilegate")
    assert (compilegate.time, compilegate.logging, compilegate.threading) == (
        time,
        logging,
        threading,
    )
    assert compilegate.Dict is typing.Dict  # noqa: UP006
    assert compilegate.Optional is typing.Optional
    assert isinstance(compilegate._policy_lock, type(threading.Lock()))
    assert not hasattr(compilegate, "_global_policy")
    assert not hasattr(compilegate, "_should_compile_check")


def test_banner_logged_once_at_import(fresh_python):
    result = fresh_python(
        """
        import logging
        logging.basicConfig(level=logging.DEBUG, format="%(levelname)s|%(name)s|%(message)s")
        import lumetra.jit.compilegate
        import importlib; importlib.import_module("lumetra.jit.compilegate")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines() == [
        "INFO|lumetra.jit.compilegate|Lumetra Compilegate Cython module loaded - IP protected"
    ]
