"""Sweeps for the faults an outside attack finds: finalizers that call back into an
object in the middle of its own call, daemon threads stopped at exit inside a call,
deep nesting, and containers changed under a call that reads them.

Every sweep is generic over the stateful classes and methods (reliability.py lists
one valid call of each) and runs in child interpreters, so that a crash or a hang
fails one test, named after the case it happened in, rather than the run.
"""

from __future__ import annotations

import os
import subprocess

import pytest

import reliability as r
from conftest import run_python

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
# A sanitizer build runs several times slower.
TIMEOUT = 120 if os.environ.get("LUMETRA_SANITIZED") else 30

pytestmark = pytest.mark.no_refcheck  # the work happens in the child interpreters


def _last_case(output: str | bytes | None) -> str:
    if isinstance(output, bytes):
        output = output.decode(errors="replace")
    cases = [line[5:] for line in (output or "").splitlines() if line.startswith("case ")]
    return cases[-1] if cases else "start-up"


def run_sweep(call: str) -> None:
    code = f"import sys; sys.path.insert(0, {TESTS_DIR!r}); import reliability; reliability.{call}"
    try:
        proc = run_python(code, timeout=TIMEOUT)
    except subprocess.TimeoutExpired as hang:
        pytest.fail(f"hung in {_last_case(hang.stdout)}", pytrace=False)
    if proc.returncode != 0:
        pytest.fail(
            f"{_last_case(proc.stdout)}: exit status {proc.returncode}\n{proc.stderr[-3000:]}",
            pytrace=False,
        )


def test_calls_cover_every_method():
    for name, cls in r.stateful_classes().items():
        members = [m.__func__ if isinstance(m, staticmethod) else m for m in vars(cls).values()]
        methods = {m.__name__ for m in members if r._is_native(m)}
        methods -= {"__init__", "__reduce__", "__setstate__"}
        assert {method for method, _ in r.calls(name)} == methods, name


@pytest.mark.parametrize("name", sorted(r.stateful_classes()))
def test_finalizer_calling_back_during_a_method(name):
    run_sweep(f"sweep_finalizers({name!r})")


@pytest.mark.parametrize("name", r.holders())
def test_deep_nesting_is_freed(name):
    run_sweep(f"sweep_nesting({name!r})")


@pytest.mark.parametrize("name", r.borrowed_cases())
def test_containers_changed_during_a_call(name):
    run_sweep(f"sweep_borrowed({name!r})")


@pytest.mark.parametrize("name", r.exit_cases())
def test_exit_with_daemon_threads_inside_calls(name):
    run_sweep(f"sweep_exit({name!r})")
