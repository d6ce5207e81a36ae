"""Shared test helpers."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import lumetra

pytest_plugins = ["refcheck"]


# Emulated runs (an aarch64 interpreter under qemu-user) stretch every
# time-out by this factor (tools/release-tests.sh sets it).
TIMEOUT_SCALE = float(os.environ.get("LUMETRA_TEST_TIMEOUT_SCALE", "1"))


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
