"""adaptplan: the detection functions over recent history, and the module itself."""

from __future__ import annotations

import inspect
import math
from typing import SupportsFloat

import pytest

from lumetra.plugins.analyzer import adaptplan
from lumetra.plugins.analyzer.adaptplan import (
    calculate_performance_trend,
    detect_dominant_pattern,
    detect_performance_degradation,
    detect_workload_characteristics_change,
)

NEUTRAL_CHANGE = (False, 0.0, 0.0, 0.0)


def samples(metrics, start=0):
    return [(float(start + i), float(m)) for i, m in enumerate(metrics)]


def pattern(parallel=0.5, cpu=0.5, memory=0.5):
    return {"parallelization_potential": parallel, "cpu_intensity": cpu, "memory_intensity": memory}


# --- module -------------------------------------------------------------------------


ATTRIBUTES = """detect_performance_degradation calculate_performance_trend
    detect_workload_characteristics_change detect_dominant_pattern is_adaptation_beneficial
    should_skip_adaptation detect_memory_pressure detect_fragmentation_threshold
    calculate_adaptation_urgency score_pool_recommendation predict_resource_requirements
    logging logger""".split()  # noqa: SIM905


def test_module_layout_and_banner(fresh_python):
    proc = fresh_python(
        """
        import logging
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append((record.name, record.levelname, record.getMessage()))
        logging.getLogger().addHandler(Keep())
        logging.getLogger().setLevel(logging.DEBUG)
        from lumetra.plugins.analyzer import adaptplan
        import lumetra.plugins.analyzer.adaptplan
        print(" ".join(k for k in vars(adaptplan) if not k.startswith("__")))
        print(records)
        """
    )
    assert proc.returncode == 0, proc.stderr
    names, records = proc.stdout.splitlines()
    assert names.split() == ATTRIBUTES
    banner = "Lumetra Adaptplan Cython module loaded - IP protected"
    assert records == str([("lumetra.plugins.analyzer.adaptplan", "INFO", banner)])


def test_docstrings_layout():
    for name in ATTRIBUTES[:11]:
        lines = getattr(adaptplan, name).__doc__.splitlines()
        assert lines[1] == ""
        assert lines[2].startswith("IP-PROTECTED: ")
        args = lines[lines.index("Args:") + 1 : lines.index("Returns:") - 1]
        params = inspect.signature(getattr(adaptplan, name)).parameters
        assert [line.split(":")[0].strip() for line in args] == list(params), name
    doc = detect_performance_degradation.__doc__
    assert doc is not None
    assert "Degradation threshold (e.g., 0.15 for 15%)" in doc


# --- detect_performance_degradation ---------------------------------------------------


@pytest.mark.parametrize(
    ("history", "baseline", "threshold", "start", "expected"),
    [
        (None, 100, 0.1, 0, False),
        ([], 100, 0.1, 0, False),
        (samples([1] * 4), 100, 0.1, 0, False),
        (samples([1] * 10), 0, 0.1, 0, False),
        (samples([1] * 10), -5, 0.1, 0, False),
        (samples([1] * 10), 100, 0.1, 6, False),  # only four samples in the window
        (samples([1] * 10), 100, 0.1, 5, True),  # timestamp equal to the start counts
        (samples([90] * 5), 100, 0.1, 0, False),  # degradation exactly 0.1
        (samples([89] * 5), 100, 0.1, 0, True),
        (samples([110] * 5), 100, 0.0, 0, False),
        (samples([1000] * 5 + [0] * 5), 100, 0.1, 5, True),  # the window decides
    ],
)
def test_degradation(history, baseline, threshold, start, expected):
    assert detect_performance_degradation(history, baseline, threshold, start) is expected


def test_degradation_looks_at_no_sample_when_too_short():
    bad = [("x", "y", "z")] * 4
    assert detect_performance_degradation(bad, 100, 0.1, 0) is False
    assert detect_performance_degradation(bad * 3, 0, 0.1, 0) is False


# --- calculate_performance_trend -----------------------------------------------------


@pytest.mark.parametrize(
    ("history", "start", "expected"),
    [
        (None, 0, 0.0),
        (samples([1, 2]), 0, 0.0),
        (samples([1, 2, 3, 4, 5]), 3, 0.0),  # two samples in the window
        ([(5.0, 1.0), (5.0, 2.0), (5.0, 3.0)], 0, 0.0),  # equal timestamps
        (samples([1, 2, 3]), 0, 0.5),
        (samples([1, 2, 3]), 0.0, 0.5),
        (samples([10, 0, -10]), 0, 0.0),  # zero mean
        (samples([1, 100, 10000]), 0, 1.0),
        (samples([10000, 100, 1]), 0, -1.0),
        (samples([3, 2, 1]), 0, -0.5),
        (samples([0, 0, 5, 6, 7]), 2, 1.0 / 6.0),  # t0 is the first kept sample
        # unsorted, any iterable pair (an iterator is used up by one run)
        pytest.param([[2, 3], (0, 1), iter((1, 2))], 0, 0.5, marks=pytest.mark.no_refcheck),
    ],
)
def test_trend(history, start, expected):
    assert calculate_performance_trend(history, start) == pytest.approx(expected)


@pytest.mark.parametrize(
    ("sample", "error", "message"),
    [
        ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
        (range(3), ValueError, "too many values to unpack (expected 2)"),
        ((1,), ValueError, "need more than 1 value to unpack"),
        ([], ValueError, "need more than 0 values to unpack"),
        (range(0), ValueError, "need more than 0 values to unpack"),
        ({1}, ValueError, "need more than 1 value to unpack"),
        (5, TypeError, "'int' object is not iterable"),
        (("1", 2), TypeError, "must be real number, not str"),
    ],
)
@pytest.mark.parametrize("func", ["degradation", "trend"])
def test_bad_sample_fails_even_outside_window(func, sample, error, message):
    history = [*samples([1, 2, 3, 4, 5]), sample]
    with pytest.raises(error) as info:
        if func == "trend":
            calculate_performance_trend(history, 1e9)
        else:
            detect_performance_degradation(history, 100, 0.1, 1e9)
    assert str(info.value) == message


# --- detect_workload_characteristics_change -------------------------------------------


@pytest.mark.parametrize(
    ("history", "threshold", "expected"),
    [
        ([pattern()] * 5, 0.3, NEUTRAL_CHANGE),
        ([pattern(cpu=0.2)] * 3 + [pattern(cpu=0.6)] * 3, 0.3, (True, 0.0, 0.4, 0.0)),
        ([{"parallelization_potential": 1, "cpu_intensity": 1}] + [pattern()] * 5, 0.3, None),
        (["old", 7, None] + [pattern()] * 6, 0.3, (False, 0.0, 0.0, 0.0)),
        ([pattern(memory=0)] * 3 + [pattern(memory=1)] * 3, 1.0, (False, 0.0, 0.0, 1.0)),
        ([pattern(memory=0)] * 3 + [pattern(memory=1)] * 3, 0.99, (True, 0.0, 0.0, 1.0)),
        ([pattern(parallel=True)] * 3 + [pattern(parallel=2)] * 3, 0.3, (True, 1.0, 0.0, 0.0)),
    ],
)
def test_change_results(history, threshold, expected):
    result = detect_workload_characteristics_change(history, change_threshold=threshold)
    assert result == pytest.approx(expected or NEUTRAL_CHANGE)
    assert [type(v) for v in result] == [bool, float, float, float]


def test_change_missing_key_stops_validation():
    # The second entry lacks a key, so the list after it is never looked at.
    history = [pattern(), {"cpu_intensity": 1}, [], [], [], []]
    assert detect_workload_characteristics_change(history) == NEUTRAL_CHANGE


@pytest.mark.parametrize(
    ("bad", "message"),
    [([], "Expected dict, got list"), (None, "'NoneType' object is not iterable")],
)
def test_change_entry_type(bad, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        detect_workload_characteristics_change([pattern()] * 5 + [bad])


def test_change_values_added_as_python_numbers():
    class Quarter:
        def __radd__(self, other):
            return other + 0.25

    history = [pattern(cpu=0)] * 3 + [pattern(cpu=Quarter())] * 3
    assert detect_workload_characteristics_change(history)[2] == 0.25
    with pytest.raises(TypeError, match="unsupported operand"):
        detect_workload_characteristics_change([pattern(cpu="x")] * 6)
    with pytest.raises(OverflowError):
        detect_workload_characteristics_change([pattern(cpu=10**400)] * 6)


# --- detect_dominant_pattern -----------------------------------------------------------


@pytest.mark.parametrize(
    ("patterns", "window", "expected"),
    [
        ([], 5, "mixed"),
        (["a", "b", "a", "b"], 5, "a"),
        (["a", "a", "a", "b", "c"], 2, "b"),
        (["a", "a", "a", "b", "c"], 2.9, "b"),
        (["a", "b"], 0, "mixed"),
        (["a", "b"], -3, "mixed"),
        (["a", "b"], -(2**31), "mixed"),
        (["a", "b", "b"], 2**31 - 1, "b"),
        (["a", None, None, "a", None], 5, None),
        (["a", "b", "c", "d", "e"], 5, "a"),
        ([1, "x", "y"], 2, "x"),  # an int outside the window is ignored
        (["b"] + [str(i) for i in range(40)] + ["b"], 100, "b"),
        ([str(i % 30) for i in range(100)], 100, "0"),
    ],
)
def test_dominant_pattern(patterns, window, expected):
    assert detect_dominant_pattern(patterns, window) == expected


def test_dominant_pattern_equal_strings_count_together():
    equal = ["".join(["pat", "tern"]), "".join(["patt", "ern"])]
    assert detect_dominant_pattern(["x", *equal], 3) == "pattern"


def test_dominant_pattern_errors():
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        detect_dominant_pattern(["a", 1], 5)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        detect_dominant_pattern(["a"], 2**31)
    with pytest.raises(TypeError, match="^an integer is required$"):
        detect_dominant_pattern(["a"], "5")  # type: ignore[arg-type]


@pytest.mark.parametrize(
    "func",
    [
        detect_workload_characteristics_change,
        detect_dominant_pattern,
        adaptplan.predict_resource_requirements,
    ],
)
def test_none_has_no_len(func):
    args = (None, 1.0) if func is adaptplan.predict_resource_requirements else (None,)
    with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
        func(*args)


# --- lists changed by Python code during a call ------------------------------------------


class Shrinking:
    """A number whose conversion empties the list that holds it."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 1.0


@pytest.mark.parametrize(
    "call",
    [
        lambda h: detect_performance_degradation(h, 100, 0.1, 0),
        lambda h: calculate_performance_trend(h, 0),
        lambda h: adaptplan.predict_resource_requirements(h, 1.0),
    ],
)
def test_list_emptied_mid_call_raises(call):
    history = samples(range(12))
    history[1] = (1.0, Shrinking(history))
    with pytest.raises(IndexError, match="^list index out of range$"):
        call(history)
    assert history == []


def test_sample_list_emptied_by_its_own_item():
    sample: list[SupportsFloat] = [0.0, 1.0]
    sample[0] = Shrinking(sample)
    history = [*samples([1, 2, 3]), sample]
    assert math.isfinite(calculate_performance_trend(history, 0))


def test_dict_changed_by_addition():
    class Dropper:
        def __init__(self, entry):
            self.entry = entry

        def __radd__(self, other):
            self.entry.clear()
            return other + 1.0

    history = [pattern() for _ in range(6)]
    history[3]["parallelization_potential"] = Dropper(history[3])
    with pytest.raises(KeyError, match="cpu_intensity"):
        detect_workload_characteristics_change(history)
