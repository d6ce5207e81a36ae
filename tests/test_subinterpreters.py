"""Every module in sub-interpreters and on re-import.

Each module's README examples run in a sub-interpreter (with its own GIL from
3.12 on; 3.11 has only sub-interpreters that share it), then in the main
interpreter, then in a second sub-interpreter. Each case runs in a child
process so that a crash fails one test, not the run. Under the debug
interpreter the interpreter-wide reference count must not grow over repeated
sub-interpreter lifetimes.
"""

from __future__ import annotations

import re
import sys
import textwrap

import pytest

from test_readme import README

from conftest import run_python
from reliability import MODULES

# The README's usage section of each module: its text from the module's
# heading to the next heading.
_SECTIONS = dict(
    re.findall(r"^### `([\w.]+)`\n(.*?)(?=^##)", README.read_text(encoding="utf-8"), re.S | re.M)
)

_HARNESS = """
import doctest, gc, sys
try:
    import _interpreters as interpreters
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        interpreters = None

RUN_EXAMPLES = (
    "import doctest\\n"
    "test = doctest.DocTestParser().get_doctest(%r, {}, 'examples', None, 0)\\n"
    "runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)\\n"
    "runner.run(test)\\n"
    "assert runner.failures == 0 and runner.tries > 0, runner.failures\\n"
) % (EXAMPLES,)

def in_subinterpreter(code):
    if interpreters is None:  # 3.11: a sub-interpreter sharing the GIL
        import _testcapi
        assert _testcapi.run_in_subinterp(code) == 0
        return
    interp = interpreters.create()
    try:
        failure = interpreters.run_string(interp, code)
        assert failure is None, failure
    finally:
        interpreters.destroy(interp)
"""


def _harness(module: str) -> str:
    return f"EXAMPLES = {_SECTIONS[module]!r}\n" + _HARNESS


def test_every_module_has_examples():
    assert set(_SECTIONS) == set(MODULES)


@pytest.mark.parametrize("module", MODULES)
def test_examples_in_subinterpreters_then_main(module):
    code = _harness(module) + textwrap.dedent(
        """
        in_subinterpreter(RUN_EXAMPLES)
        exec(RUN_EXAMPLES)
        in_subinterpreter(RUN_EXAMPLES)
        exec(RUN_EXAMPLES)
        print("done")
        """
    )
    done = run_python(code)
    assert (done.returncode, done.stdout.splitlines()[-1:]) == (0, ["done"]), done.stderr


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")
@pytest.mark.parametrize("module", MODULES)
def test_subinterpreter_lifetimes_leak_nothing(module):
    code = _harness(module) + textwrap.dedent(
        """
        for _ in range(3):
            in_subinterpreter(RUN_EXAMPLES)
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(10):
            in_subinterpreter(RUN_EXAMPLES)
        gc.collect()
        print(sys.gettotalrefcount() - before)
        """
    )
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    # Ten lifetimes of an interpreter that imports nothing leave a few
    # references of the interpreter's own; anything per lifetime is a leak.
    assert int(done.stdout.split()[-1]) < 10


@pytest.mark.parametrize("module", MODULES)
def test_reload_and_reimport(module):
    code = _harness(module) + textwrap.dedent(
        f"""
        import importlib
        first = importlib.import_module({module!r})
        assert importlib.reload(first) is first
        exec(RUN_EXAMPLES)
        for _ in range(3):
            del sys.modules[{module!r}]
            again = importlib.import_module({module!r})
            assert again is not first
            exec(RUN_EXAMPLES)
        del first, again
        gc.collect()
        exec(RUN_EXAMPLES)
        print("done")
        """
    )
    done = run_python(code)
    assert (done.returncode, done.stdout.splitlines()[-1:]) == (0, ["done"]), done.stderr
