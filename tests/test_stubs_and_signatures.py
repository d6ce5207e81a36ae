"""Type stubs and introspection: the stubs beside every extension module agree
with the built modules (mypy's stubtest), and every function and method has a
signature that names its real parameters."""

from __future__ import annotations

import importlib
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

from reliability import MODULES, discover


def importable_modules() -> list[str]:
    found = []
    for name in MODULES:
        try:
            importlib.import_module(name)
        except ImportError:
            continue
        found.append(name)
    return found


# The modules re-export names of `typing` (TypeVar, Generic, ...), which
# stubtest checks against the typeshed bundled with mypy: where that mypy is
# older than the interpreter (free-threaded 3.13 has no wheel of a newer one),
# the typing objects' own members may differ. Only those entries are let
# through; everything of ours is still checked.
TYPING_REEXPORTS = r"lumetra\.[\w.]+\.(TypeVar|Generic|Optional|Dict|List|Tuple|Any)(\..*)?"


def test_stubs_match_modules(tmp_path):
    pytest.importorskip("mypy")
    modules = importable_modules()
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text(TYPING_REEXPORTS + "\n", encoding="utf-8")
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "--concise",
            "--allowlist",
            str(allowlist),
            "--ignore-unused-allowlist",
            *modules,
        ],
        capture_output=True,
        text=True,
        timeout=600,
        check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("name", importable_modules())
def test_stub_and_marker_installed(name):
    module, package = importlib.import_module(name), importlib.import_module("lumetra")
    assert module.__file__ is not None and package.__file__ is not None
    path = Path(module.__file__)
    assert path.with_name(path.name.split(".", 1)[0] + ".pyi").exists()
    assert (Path(package.__file__).parent / "py.typed").exists()


TARGETS = [t for t in discover() if not t[0].endswith("[unbound]")]


@pytest.mark.parametrize(("name", "factory", "params"), TARGETS, ids=[t[0] for t in TARGETS])
def test_signature_names_parameters(name, factory, params):
    target = factory()
    if inspect.isclass(target):
        return  # classes are covered by their constructors' stubs
    signature = inspect.signature(target)
    names = [p for p in signature.parameters if p != "self"]
    assert names == params
    assert all(
        p.kind is not inspect.Parameter.VAR_POSITIONAL for p in signature.parameters.values()
    )
