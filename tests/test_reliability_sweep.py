"""Hostile-argument sweep over every Python-visible function and method.

Every function, class and method of the nine extension modules is discovered
by walking the modules, then called with generated argument lists: integers at
and beyond every width, NaN and infinities, None, booleans, strings with lone
surrogates, bytes, containers, and objects whose conversion or comparison
methods raise or return the wrong type. Each call must return or raise an
ordinary exception; a SystemError (an error returned without an exception set,
or a result returned with one set) fails the test, and a crash fails the run.
"""

from __future__ import annotations

import importlib
import inspect
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import scaled
from reliability import MODULES, SIZED_CONSTRUCTORS, discover


class Boom(Exception):
    pass


def _raise(*_args, **_kwargs):
    raise Boom


class RaisingInt:
    __int__ = __index__ = _raise


class WrongInt:
    def __int__(self):
        return "not an int"

    def __index__(self):
        return 1.5  # noqa: PLE0305 - deliberately wrong


class RaisingFloat:
    __float__ = _raise


class WrongFloat:
    def __float__(self):
        return "nan"


class RaisingBool:
    __bool__ = _raise


class WrongBool:
    def __bool__(self):
        return 2  # noqa: PLE0304 - deliberately wrong


class RaisingEq:
    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = _raise
    __hash__ = object.__hash__


class RaisingHash:
    __hash__ = _raise


class RaisingLen:
    __len__ = _raise
    __iter__ = _raise
    __getitem__ = _raise


class WrongLen:
    def __len__(self):
        return -1  # noqa: PLE0303 - deliberately wrong

    def __iter__(self):
        return 5


class ShortIter:
    """Claims two items but yields one, then raises."""

    def __len__(self):
        return 2  # noqa: PLE0304 - deliberately wrong

    def __iter__(self):
        yield 1.0
        raise Boom

    def __getitem__(self, i):
        raise IndexError(i)


class StrSub(str):
    pass


class ListSub(list):
    pass


class IntSub(int):
    pass


HOSTILE_OBJECTS = [
    RaisingInt(),
    WrongInt(),
    RaisingFloat(),
    WrongFloat(),
    RaisingBool(),
    WrongBool(),
    RaisingEq(),
    RaisingHash(),
    RaisingLen(),
    WrongLen(),
    ShortIter(),
    StrSub("numpy"),
    ListSub([1, 2]),
    IntSub(7),
    object(),
]

WIDTH_INTS = [
    0,
    1,
    -1,
    2,
    7,
    64,
    2**31 - 1,
    2**31,
    -(2**31),
    -(2**31) - 1,
    2**32,
    2**63 - 1,
    2**63,
    -(2**63),
    -(2**63) - 1,
    2**64 - 1,
    2**64,
    10**40,
]

FLOATS = [0.0, -0.0, 0.5, 1.5, -1.0, 1e308, -1e308, math.nan, math.inf, -math.inf, 5e-324]

STRINGS = ["", "numpy", "np.array(x) + 1", "\ud800", "x\udfffy", "é" * 3, "None", "0", "8.6"]

SCALARS = [None, True, False, b"", b"\x00" * 16, *WIDTH_INTS, *FLOATS, *STRINGS, *HOSTILE_OBJECTS]


def pick(pool):
    # Drawn by index: hypothesis hashes and compares the members of sampled_from,
    # which some hostile objects refuse.
    return st.integers(0, len(pool) - 1).map(pool.__getitem__)


scalar = pick(SCALARS) | st.integers() | st.floats() | st.text(max_size=20)
small = pick([0, 1, -1, 2, 0.5, "a", None, True, RaisingFloat(), RaisingEq()])
sample = st.tuples(small, small) | st.lists(small, max_size=3).map(tuple)
record = st.fixed_dictionaries(
    {},
    optional={
        "parallelization_potential": small,
        "cpu_intensity": small,
        "memory_intensity": small,
    },
)
container = (
    st.lists(sample | small | record, max_size=12)
    | st.lists(sample, min_size=10, max_size=14)
    | st.tuples(small, small, small)
    | st.lists(small, max_size=3).map(tuple)
    | st.dictionaries(st.text(max_size=3), small, max_size=3)
)
value = scalar | container


TARGETS = discover()


def _check_call(func, args, kwargs):
    try:
        func(*args, **kwargs)
    except SystemError as error:  # an error path that set no exception, or set one and returned
        raise AssertionError(f"SystemError from {func!r}{args!r}{kwargs!r}: {error}") from error
    except Exception:
        pass


@pytest.mark.parametrize(("name", "factory", "params"), TARGETS, ids=[t[0] for t in TARGETS])
@settings(
    max_examples=scaled(40, 5),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(data=st.data())
def test_hostile_arguments(name, factory, params, data):
    func = factory()
    sized = inspect.isclass(func) and func.__name__ in SIZED_CONSTRUCTORS
    arg = st.integers(-3, 300) | small if sized else value
    count = data.draw(st.integers(0, len(params) + 1), label="count")
    args = data.draw(st.lists(arg, min_size=count, max_size=count), label="args")
    kwargs = {}
    if params and data.draw(st.booleans(), label="use keywords"):
        keys = data.draw(
            st.lists(st.sampled_from([*params, "bogus"]), unique=True, max_size=len(params) + 1),
            label="keywords",
        )
        kwargs = {k: data.draw(arg, label=k) for k in keys}
    _check_call(func, args, kwargs)


def test_sweep_covers_every_module():
    covered = {name.split(".")[0] for name, _, _ in TARGETS}
    importable = set()
    for module_name in MODULES:
        try:
            importlib.import_module(module_name)
        except ImportError:
            continue
        importable.add(module_name.rsplit(".", 1)[1])
    assert covered == importable
