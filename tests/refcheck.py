"""Reference-count check for debug interpreters.

Under an interpreter built with reference debugging (`sys.gettotalrefcount`
exists) and with LUMETRA_REFCHECK=1 in the environment, every test runs a few
extra times and the interpreter's total reference count must stay flat across
the repeated runs: a reference leaked per call shows up as steady growth.

Only tests that can run several times in a row are repeated: hypothesis tests
(their engine keeps growing caches of its own) and tests with fixtures that
hold per-run state (monkeypatch, captured logs, temporary paths) run once, and
a test can opt out with @pytest.mark.no_refcheck.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys

import pytest

WARMUPS = 2
MEASURED = 4
# Allowed growth per repeated run: interpreter-internal caches (method caches,
# interned strings) may settle a little after the warm-ups.
TOLERANCE_PER_RUN = 2

# Fixtures that keep no state between repeated runs of a test body.
REPEATABLE_FIXTURES = {"request", "fast_switching", "fresh_python"}

ENABLED = hasattr(sys, "gettotalrefcount") and os.environ.get("LUMETRA_REFCHECK") == "1"


def pytest_configure(config):
    config.addinivalue_line("markers", "no_refcheck: do not repeat this test for reference checks")


def _total() -> int:
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    if (
        not ENABLED
        or item.get_closest_marker("no_refcheck")
        or getattr(getattr(item, "obj", None), "is_hypothesis_test", False)
        or not set(getattr(item, "fixturenames", ())) <= REPEATABLE_FIXTURES
    ):
        yield
        return
    for _ in range(WARMUPS):
        item.runtest()
    before = _total()
    for _ in range(MEASURED):
        item.runtest()
    growth = _total() - before
    outcome = yield
    if outcome.excinfo is None and growth > TOLERANCE_PER_RUN * MEASURED:
        pytest.fail(
            f"total reference count grew by {growth} over {MEASURED} repeated runs",
            pytrace=False,
        )


def references(address: int) -> int:
    """The strong references held to the object at `address` (its `id()`).

    Unlike a bare sys.getrefcount(obj), which from 3.14 counts its argument or
    not depending on how the caller's bytecode loads it, this counts the
    object through a list item: one strong reference for the list and one for
    the item taken out of it, on every version and build (free-threaded
    builds keep the count in two fields, which sys.getrefcount adds up).
    """
    held = [ctypes.cast(address, ctypes.py_object).value]
    return sys.getrefcount(held[0]) - 2
