"""Block records of the memory manager.

A stand-in for the package's own record type: the free-block index only stores
these objects and compares them with ``==``, so any value type will do.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Blockrec:
    """A block of memory: where it starts and how many bytes it spans.

    Two records are equal when both fields are equal.
    """

    offset: int
    size: int
