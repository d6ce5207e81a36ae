"""Shared test helpers."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

pytest_plugins = ["refcheck"]


def run_python(
    code: str, *, env: dict[str, str] | None = None, timeout: float = 60
) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter and returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        check=False,
    )


@pytest.fixture
def fresh_python():
    return run_python
