"""Discovery of every Python-visible function and method of the extension
modules, shared by the reliability tests."""

from __future__ import annotations

import importlib
import inspect

MODULES = [
    "lumetra.memory.lockless",
    "lumetra.memory.slabkit",
    "lumetra.memory.blockindex",
    "lumetra.jit.compilegate",
    "lumetra.plugins.analyzer.loadscore",
    "lumetra.plugins.analyzer.adaptplan",
    "lumetra.gpu.devicemem",
    "lumetra.native.hostprobe",
    "lumetra.monitoring.statcounters",
]

# Constructor arguments for classes that cannot be built without any. Methods
# are swept on instances built this way.
CONSTRUCTOR_ARGS = {
    "FastSlabHeaderOps": (3, 8),
}

# Constructors whose integer parameters size an allocation made at once (a
# bucket table, a counter array): legitimate huge values would only measure the
# machine's memory, so their integers are drawn from a small range.
SIZED_CONSTRUCTORS = {"FastBucketAllocator", "CounterAggregator"}


def _is_native(obj) -> bool:
    return type(obj).__name__ == "native_function"


def _positional_count(func) -> int:
    try:
        params = inspect.signature(func).parameters.values()
    except (TypeError, ValueError):
        return 3
    return sum(1 for p in params if p.name != "self")


def discover():
    """(id, callable factory, parameter names) for every function and method."""
    found = []
    for module_name in MODULES:
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            continue
        short = module_name.rsplit(".", 1)[1]
        for name, obj in sorted(vars(module).items()):
            if name.startswith("__"):
                continue
            if _is_native(obj):
                found.append((f"{short}.{name}", (lambda f=obj: f), _param_names(obj)))
            elif inspect.isclass(obj) and obj.__module__ == module_name:
                found.append((f"{short}.{name}()", (lambda c=obj: c), _param_names(obj)))
                seen: set[int] = set()
                for attr, member in sorted(vars(obj).items(), key=_canonical_first):
                    func = member.__func__ if isinstance(member, staticmethod) else member
                    # Aliases are the same object as the method they stand for.
                    if not _is_native(func) or attr in ("__init__",) or id(func) in seen:
                        continue
                    seen.add(id(func))
                    names = _param_names(func)
                    found.append((f"{short}.{name}.{attr}", _bound_factory(obj, attr), names))
                    # Unbound, with anything at all in the place of self.
                    found.append((f"{short}.{name}.{attr}[unbound]", (lambda f=func: f), names))
    return found


def _canonical_first(item) -> tuple[bool, str]:
    # A function listed under several names is reported under its own name.
    name, member = item
    func = member.__func__ if isinstance(member, staticmethod) else member
    return (getattr(func, "__name__", name) != name, name)


def _param_names(func) -> list[str]:
    try:
        return [p for p in inspect.signature(func).parameters if p != "self"]
    except (TypeError, ValueError):
        return []


def _bound_factory(cls, attr):
    def make():
        instance = cls(*CONSTRUCTOR_ARGS.get(cls.__name__, ()))
        return getattr(instance, attr)

    return make
