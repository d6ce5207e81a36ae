"""Workload scoring: worked examples, argument rules and the module itself."""

from __future__ import annotations

import inspect
import logging
import re
from typing import Any

import pytest

from lumetra.plugins.analyzer import loadscore as ls


class Text(str):
    """A str subclass: rejected where an exact str is required."""


DWP_NAMES = list(inspect.signature(ls.determine_workload_pattern).parameters)


def pattern(**overrides):
    """determine_workload_pattern with zero scores, thresholds 0.5 and no GPU."""
    args: dict[str, Any] = dict.fromkeys(DWP_NAMES, 0.0)
    args.update(dict.fromkeys([n for n in DWP_NAMES if n.endswith("_threshold")], 0.5))
    args.update(sequential_count=0, embarrassing_count=0, gpu_available=False)
    args.update(overrides)
    return ls.determine_workload_pattern(**args)


# --- quick_framework_score ------------------------------------------------------


@pytest.mark.parametrize(
    ("code", "framework", "expected"),
    [
        ("import numpy as np\nx = np.array([1, 2])", "numpy", 3 * 0.1),
        ("import NUMPY as NP\nx = NP.Array([1, 2])", "numpy", 3 * 0.1),
        ("import numpy as np\nx = np.array([1, 2])", "NumPy", 0.0),
        ("import numpy", None, 0.0),
        ("import numpy", "torch", 0.0),
        (None, "torch", 0.0),
        ("df.groupby(k).merge(o)", "pandas", 2 * 0.1),
        ("model.fit(x); model.predict(y)", "sklearn", 2 * 0.1),
        ("array " * 10, "numpy", 1.0),
        ("array " * 11, "numpy", 1.0),
        ("arrays np_x", "numpy", 0.0),  # whole words only
    ],
)
def test_quick_framework_score(code, framework, expected):
    assert ls.quick_framework_score(code, framework) == expected


def test_quick_framework_score_needs_text_for_known_framework():
    with pytest.raises(TypeError, match="expected string or bytes-like object"):
        ls.quick_framework_score(None, "numpy")


# --- score_indicators -----------------------------------------------------------


@pytest.mark.parametrize(
    ("code", "name", "expected"),
    [
        ("", None, (0, 0, 0, 0, 0, 0, 0)),
        ("", "vectorize_sum", (0, 0, 0, 1, 0, 1, 0)),
        ("", "VECTORIZE_SUM", (0, 0, 0, 1, 0, 1, 0)),
        ("for i in range(10): total += i", None, (2, 0, 0, 1, 0, 0, 0)),
        # An entry counts once however often it occurs, and once when it is in
        # both the code and the name; the name counts for two lists only.
        ("sum sum sum", "sum_range", (1, 0, 0, 1, 0, 0, 0)),
        ("", "for_lock_apply", (0, 0, 0, 0, 0, 1, 0)),
        ("x ** 2", None, (0, 0, 0, 2, 0, 0, 0)),  # "**" and "*"
        ("Global LOCK; ordered", None, (0, 0, 0, 0, 0, 0, 3)),
        # str.lower's full case mapping: KELVIN SIGN lowers to an ASCII "k".
        ("LOC\u212a", None, (0, 0, 0, 0, 0, 0, 1)),
        ("for\ud800", "sum\udfff", (1, 0, 0, 1, 0, 0, 0)),
        ("fo\ud800r \U0001f600fft", None, (1, 0, 0, 1, 0, 0, 0)),
    ],
)
def test_score_indicators(code, name, expected):
    assert ls.score_indicators(code, name) == expected


# --- normalize_scores and score_framework_patterns ------------------------------


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((15, 10, 11, 36, 13), (1.0, 1.0, 1.0, 1.0, 1.0)),
        ((30, -1, 0, 0, 0), (1.0, 0.0, 0.0, 0.0, 0.0)),
        ((1, 3, 1, 1, 1), (1 * (1 / 15), 3 * 0.1, 1 * (1 / 11), 1 * (1 / 36), 1 * (1 / 13))),
        ((7.9, True, 2**31 - 1, -(2**31), 0), (7 * (1 / 15), 0.1, 1.0, 0.0, 0.0)),
    ],
)
def test_normalize_scores(args, expected):
    result = ls.normalize_scores(*args)
    assert type(result) is tuple
    assert result == expected
    assert ls.normalize_scores(3, 3, 3, 3, 3)[1] > 0.3  # the product, not 0.3


@pytest.mark.parametrize(
    ("value", "error", "message"),
    [
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
    ],
)
def test_normalize_scores_integer_errors(value, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        ls.normalize_scores(0, 0, 0, 0, value)


@pytest.mark.parametrize(
    ("code", "expected"),
    [
        ("", (0.0, 0.0, 0.0)),
        ("np.dot(a, b)", (2 * (1 / 25), 0.0, 0.0)),  # "np." and "dot"
        ("df.apply(f).transform(g)", (0.0, 2 / 18, 1 / 18)),
        ("from sklearn import Pipeline; clf.fit(X)", (0.0, 0.0, 3 * (1 / 18))),
    ],
)
def test_score_framework_patterns(code, expected):
    assert ls.score_framework_patterns(code) == expected


# --- determine_workload_pattern -------------------------------------------------

GPU = {"gpu_suitability": 0.6, "gpu_available": 1}  # GPU-suitable at threshold 0.5


@pytest.mark.parametrize(
    ("overrides", "code"),
    [
        ({}, 0),
        ({"sequential_count": 3}, 4),
        ({"sequential_count": 2}, 0),
        ({"embarrassing_count": 1, "cpu_intensity": 0.9}, 3),
        ({"parallelization_potential": 0.61}, 3),
        ({"parallelization_potential": 0.6}, 0),
        ({"cpu_intensity": 0.51, "memory_intensity": 0.9, "sequential_count": 9}, 1),
        ({"memory_intensity": 0.51, "sequential_count": 9}, 2),
        ({"cpu_intensity": 0.5, "memory_intensity": 0.5}, 0),  # equal is not above
        ({"sklearn_score": 0.6, "pandas_score": 0.9, "gpu_suitability": 1, "gpu_available": 1}, 12),
        ({"pandas_score": 0.6, "numpy_score": 0.9}, 10),
        ({"numpy_score": 0.6, "embarrassing_count": 5}, 8),
        ({"sklearn_score": 0.5, "pandas_score": 0.5, "numpy_score": 0.5}, 0),
        ({"gpu_suitability": 0.9, "gpu_available": False, "cpu_intensity": 0.9}, 1),
        ({"gpu_suitability": 0.5, "gpu_available": True}, 0),
        ({"gpu_suitability": 0.6, "gpu_available": [1], "embarrassing_count": 1}, 5),
        ({**GPU, "gpu_operation_score": 0.8, "cpu_intensity": 0.7}, 6),
        ({**GPU, "gpu_operation_score": 0.7, "cpu_intensity": 0.7, "memory_intensity": 0.6}, 7),
        ({**GPU, "gpu_operation_score": 0.8, "cpu_intensity": 0.6, "memory_intensity": 0.5}, 5),
    ],
)
def test_determine_workload_pattern(overrides, code):
    assert pattern(**overrides) == code


def test_determine_workload_pattern_conversions():
    class Falsy:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        pattern(gpu_available=Falsy())
    with pytest.raises(TypeError, match="must be real number"):
        pattern(cpu_threshold="0.5")
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        pattern(sequential_count=2**40)
    assert pattern(sequential_count=3.9) == 4


# --- numeric estimators ---------------------------------------------------------


@pytest.mark.parametrize(
    ("capability", "factor"),
    [
        ("8.6", 1.2),
        ("7.5", 1.1),
        ("6.1", 1.0),
        ("5.2", 0.8),
        ("-3.0", 0.8),
        (None, 1.0),
        ("", 1.0),
        ("x.y", 1.0),
        (".5", 1.0),
        (" 7 .0", 1.1),  # int() accepts blanks and a sign
        ("+7", 1.1),
        ("1_0.0", 1.2),
        ("\u0668.6", 1.2),  # ARABIC-INDIC DIGIT EIGHT
        ("0000000007.0", 1.1),
        ("1" * 5000 + ".0", 1.0),  # beyond int()'s digit limit: ValueError
    ],
)
def test_gpu_suitability_capability(capability, factor):
    expected = min((0.8 * 0.6 + 0.5 * 0.4 + 0.5 * 0.3) * factor, 1.0)
    assert ls.calculate_gpu_suitability(0.8, 0.5, 0.5, True, capability) == expected


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((0.8, 0.5, 0.5, False, "8.6"), 0.0),
        ((0.8, 0.5, 0.5, 0, "99999999999.0"), 0.0),  # not parsed without a GPU
        ((0.0, 0.0, 2.0, True, None), 0.3),
        ((0.0, 0.0, -1.0, True, None), 0.0),
        ((1.0, 1.0, 1.0, True, "9.0"), 1.0),
    ],
)
def test_gpu_suitability(args, expected):
    assert ls.calculate_gpu_suitability(*args) == pytest.approx(expected, abs=1e-15)


@pytest.mark.parametrize("capability", ["2147483648.0", "-2147483649", "9" * 30])
def test_gpu_suitability_capability_overflow(capability):
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        ls.calculate_gpu_suitability(0.5, 0.5, 0.5, True, capability)


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((0.9, 1.0, True), 22.5),
        ((0.7, 0.0, True), 8.0),
        ((0.5, 0.2, True), 4.0 * (1.0 + 0.2 * 0.5)),
        ((0.3, 0.0, True), 2.0),
        ((-0.5, 0.0, True), 2.0),
        ((0.0, 1.0, True), 1.0),
        ((0.9, 1.0, False), 1.0),
    ],
)
def test_estimate_gpu_speedup(args, expected):
    assert ls.estimate_gpu_speedup(*args) == expected


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((0.5, 1.0, 1.0, 0.5), 0.5 + 0.3 - 0.2 + 0.2),
        ((0.5, 5.0, 0.0, 0.0), 1.0),
        ((0.2, 0.0, 10.0, 0.0), 0.0),
        ((0.2, -4.0, -4.0, 0.0), 0.2),
        ((0.0, 0.0, 0.0, 3.0), 1.0),
    ],
)
def test_parallelization_potential(args, expected):
    assert ls.calculate_parallelization_potential(*args) == expected


@pytest.mark.parametrize(
    ("current", "success", "expected"),
    [
        (0.5, 0.9, 0.55),
        (0.5, 0.3, 0.45),
        (0.5, 0.6, 0.5),
        (0.5, 0.8, 0.5),
        (0.5, 0.4, 0.5),
        (0.88, 0.9, 0.9),
        (0.12, 0.1, 0.1),
    ],
)
def test_update_adaptive_threshold(current, success, expected):
    assert ls.update_adaptive_threshold(current, success, 0.05, 0.1, 0.9) == expected


# --- argument rules -------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "name", "given"),
    [
        (lambda: ls.score_indicators(1, None), "code", "int"),  # type: ignore[arg-type]
        (lambda: ls.score_indicators("", 1.5), "function_name", "float"),  # type: ignore[arg-type]
        (lambda: ls.quick_framework_score(b"x", "numpy"), "code", "bytes"),  # type: ignore[arg-type]
        (lambda: ls.quick_framework_score("x", ["numpy"]), "framework", "list"),  # type: ignore[arg-type]
        (lambda: ls.score_framework_patterns(1), "code", "int"),  # type: ignore[arg-type]
        (lambda: ls.calculate_gpu_suitability(0, 0, 0, False, 8.6), "compute_capability", "float"),  # type: ignore[arg-type]
        (lambda: ls.score_framework_patterns(Text("x")), "code", "Text"),
    ],
)
def test_str_parameters(call, name, given):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {given})"


def test_none_code_fails_in_str_lower():
    for call in (lambda: ls.score_indicators(None, "f"), lambda: ls.score_framework_patterns(None)):  # type: ignore[arg-type]
        with pytest.raises(TypeError, match="^descriptor 'lower' for 'str' objects doesn't apply"):
            call()


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: ls.score_indicators("x"), "takes exactly 2 positional arguments (1 given)"),  # type: ignore[call-arg]
        (lambda: ls.normalize_scores(1, 2, 3, 4, 5, 6), "takes exactly 5 positional arguments"),  # type: ignore[call-arg]
        (lambda: ls.estimate_gpu_speedup(1, 2, gpu=True), "unexpected keyword argument 'gpu'"),  # type: ignore[call-arg]
        (lambda: ls.score_framework_patterns("x", code="y"), "multiple values for keyword"),  # type: ignore[misc]
    ],
)
def test_argument_count_and_keywords(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()
    assert ls.score_indicators(function_name="sum", code="") == (0, 0, 0, 1, 0, 0, 0)


# --- module ---------------------------------------------------------------------


def test_module_surface():
    assert ls.re is re
    assert ls.logging is logging
    assert ls.logger is logging.getLogger("lumetra.plugins.analyzer.loadscore")
    assert not hasattr(ls, "_COMPILED_PATTERNS")
    assert not hasattr(ls, "_clamp")
    assert ls.__doc__.startswith("Workload Detection Algorithms - IP Protected Core\n")
    firsts = {
        "quick_framework_score": "Fast pattern scoring using precompiled regex.",
        "score_indicators": "Score code against all indicator categories.",
        "normalize_scores": "Normalize indicator scores to 0.0-1.0 range.",
        "score_framework_patterns": "Score code for framework-specific patterns.",
        "determine_workload_pattern": "Determine primary workload pattern from scores.",
        "calculate_gpu_suitability": "Calculate overall GPU suitability score.",
        "estimate_gpu_speedup": "Estimate GPU speedup from static code analysis.",
        "calculate_parallelization_potential": "Calculate parallelization potential score.",
        "update_adaptive_threshold": "Update adaptive threshold based on performance feedback.",
    }
    for name, first in firsts.items():
        func = getattr(ls, name)
        assert func.__doc__.splitlines()[0] == first
        assert func.__module__ == "lumetra.plugins.analyzer.loadscore"
    quick_doc, pattern_doc = ls.quick_framework_score.__doc__, ls.determine_workload_pattern.__doc__
    assert quick_doc is not None and pattern_doc is not None
    assert "<100us for typical code snippets" in quick_doc
    assert "13 = SKLEARN_INFERENCE" in pattern_doc
    assert str(inspect.signature(ls.score_indicators)) == "(code, function_name)"
    assert len(DWP_NAMES) == 17


def test_banner_logged_once_at_import(fresh_python):
    result = fresh_python(
        """
        import logging
        logging.basicConfig(level=logging.INFO, format="%(levelname)s|%(name)s|%(message)s")
        import lumetra.plugins.analyzer.loadscore
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines() == [
        "INFO|lumetra.plugins.analyzer.loadscore|"
        "Lumetra Loadscore Cython module loaded - IP protected"
    ]
