"""Shared test helpers."""

from __future__ import annotations

import contextlib
import gc
import os
import subprocess
import sys
import sysconfig
import textwrap
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, TypeVar

import pytest

import lumetra

pytest_plugins = ["refcheck"]

T = TypeVar("T")


# Emulated runs (an aarch64 interpreter under qemu-user) stretch every
# time-out by this factor (tools/release-tests.sh sets it).
TIMEOUT_SCALE = float(os.environ.get("LUMETRA_TEST_TIMEOUT_SCALE", "1"))
# They also run the repetition-heavy tests (leak checks, generated examples)
# with their counts multiplied by this factor: every test still runs, with
# fewer repetitions (tools/release-tests.sh sets it).
EFFORT = float(os.environ.get("LUMETRA_TEST_EFFORT", "1"))


# Free-threaded builds (no GIL) run threads truly at once: thread tests use
# more of them there.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
STRESS_THREADS = 8 if FREE_THREADED else 4


def scaled(count: int, least: int = 10) -> int:
    """`count` repetitions scaled by EFFORT, never fewer than `least`."""
    return max(least, round(count * EFFORT))


def run_python(
    code: str, *, env: dict[str, str] | None = None, timeout: float = 60
) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter and returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout * TIMEOUT_SCALE,
        env=env,
        check=False,
    )


def call_failing_allocation(n: int, func: Callable[..., T], *args: Any) -> T:
    """func(*args) with the interpreter's n-th allocation from the call on (counting
    from 0) failing, through `_testcapi`'s allocation-failure hook (the test is
    skipped without it). The hook is set right before the call and removed right
    after it, so that the count starts at the call and no test code runs under it.

    The collector is off meanwhile: garbage left by earlier tests would otherwise be
    collected inside the call, and its finalizers, failing to allocate, report the
    error as unraisable."""
    testcapi = pytest.importorskip("_testcapi")
    enabled = gc.isenabled()
    gc.disable()
    testcapi.set_nomemory(n, n + 1)
    try:
        return func(*args)
    finally:
        testcapi.remove_mem_hooks()
        if enabled:
            gc.enable()


@contextlib.contextmanager
def switch_interval(seconds: float) -> Iterator[None]:
    """Inside the block threads switch every `seconds`, so that operations interleave
    finely."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(seconds)
    try:
        yield
    finally:
        sys.setswitchinterval(old)


def run_threads(
    work: Callable[[int], object], threads: int = STRESS_THREADS, interval: float = 1e-5
) -> None:
    """Runs work(0) ... work(threads - 1), each in its own thread, released together by
    a barrier while threads switch every `interval` seconds. The first exception a
    worker raised is raised again once all have joined."""
    barrier = threading.Barrier(threads)
    errors: list[BaseException] = []

    def runner(index: int) -> None:
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # reported after join
            errors.append(error)

    workers = [threading.Thread(target=runner, args=(i,)) for i in range(threads)]
    with switch_interval(interval):
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    if errors:
        raise errors[0]


@pytest.fixture
def fresh_python():
    return run_python


# The suite tests the installed package; the source tree holds no built modules.
_SOURCE_TREE = Path(__file__).resolve().parents[1] / "src"


def pytest_report_header() -> str:
    return f"lumetra: {Path(lumetra.__file__).parent}"


def pytest_configure(config):
    if Path(lumetra.__file__).resolve().is_relative_to(_SOURCE_TREE):
        raise pytest.UsageError(f"lumetra was imported from the source tree ({lumetra.__file__})")
