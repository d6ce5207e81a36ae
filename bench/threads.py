"""Scaling with threads: two threads, each on objects of its own, against one
thread doing the same work once.

    python bench/threads.py                  # every row, 5 rounds
    python bench/threads.py --rounds 9 --ops 500000 --row counter.increment

For each row and round, one thread runs the row's loop (`ops` operations),
then two threads run it at once, each on objects it made itself. Reported per
row, as the median and range over the rounds:

    wall = two threads' wall time / one thread's   (1.0 scales perfectly, 2.0 not at all)
    cpu  = a thread's CPU time with two / with one (1.0 when nothing is shared)

The rows of the interpreter's own making are the machine's ceiling, measured in
the same run: a loop that shares nothing (`itertools.count`), a module function
that every thread calls (`math.sqrt`) and a method of a built-in type on an
object of each thread's own (`deque.clear`). With a GIL, two threads take
about twice as long as one whatever the row; the figures mean something on a
free-threaded build (Python 3.13t and later).
"""

from __future__ import annotations

import argparse
import statistics
import sys
import sysconfig
import threading
import time
from collections.abc import Callable

# A row's setup: made in the thread that runs it, returning the loop to time.
Setup = Callable[[], Callable[[int], object]]


def loop(body: str, setup: str = "") -> Setup:
    """A row whose loop runs `body` once per operation after `setup`, both as
    statements inside a function (fast locals, as in user code); the setup's
    names are made anew in each thread that runs the row."""
    source = f"def make():\n    {setup or 'pass'}\n    def run(count_):\n"
    source += f"        for _ in range(count_):\n            {body}\n    return run\n"
    namespace: dict[str, object] = {}
    exec(compile(source, f"<row {body}>", "exec"), ROW_GLOBALS, namespace)
    make = namespace["make"]
    assert callable(make)
    return make


ROW_GLOBALS: dict[str, object] = {}
exec(
    "import itertools, math\n"
    "from collections import deque\n"
    "from lumetra.memory.lockless import AtomicCounter, AtomicPointer\n"
    "from lumetra.memory.slabkit import fast_get_bucket_size\n"
    "from lumetra.memory.blockindex import FastRedBlackTree\n"
    "from lumetra.memory.blockrec import Blockrec\n"
    "from lumetra.monitoring.statcounters import CounterAggregator\n"
    "from lumetra.plugins.analyzer import loadscore\n",
    ROW_GLOBALS,
)

# Arguments are made in each thread's setup, never written as constants in
# the loop: on 3.13t every thread running the loop would count references to
# the one constant object of the shared code, and that contended count, not
# the call, would be timed. (Small ints, True and interned strings are
# immortal and count nothing.)
TREE_SETUP = (
    "t = FastRedBlackTree(); n = int('1000')\n"
    "    for s in range(8, 4096, 8): t.insert(s, Blockrec(s, s))"
)
GPU_SETUP = (
    "gpu = loadscore.calculate_gpu_suitability\n"
    "    a, b, c, v = float('4'), float('2'), float('1'), str(8.6)"
)

ROWS: dict[str, Setup] = {
    # The ceiling: the interpreter's own.
    "itertools.count (shares nothing)": loop("next(c)", "c = itertools.count()"),
    "math.sqrt (shared function)": loop("sqrt(x)", "sqrt = math.sqrt; x = float('2')"),
    "deque.clear (own object)": loop("d.clear()", "d = deque()"),
    # Ours.
    "counter.increment": loop("c.increment()", "c = AtomicCounter(0)"),
    "counter.load": loop("c.load()", "c = AtomicCounter(0)"),
    "pointer.load": loop("p.load()", "p = AtomicPointer(1)"),
    "pointer.store": loop("p.store(v)", "p = AtomicPointer(1); v = 2"),
    "fast_get_bucket_size(100)": loop("fast_get_bucket_size(100)"),
    "tree.find_best_fit": loop("t.find_best_fit(n)", TREE_SETUP),
    "aggregator.update": loop("a.update(7, x)", "a = CounterAggregator(16); x = float('1.5')"),
    "loadscore.calculate_gpu_suitability": loop("gpu(a, b, c, True, v)", GPU_SETUP),
}

try:  # a peer, where it installs
    exec("from ft_utils.concurrency import AtomicInt64", ROW_GLOBALS)
except ImportError:
    pass
else:
    ROWS["peer: ft_utils AtomicInt64.incr"] = loop("i.incr()", "i = AtomicInt64(0)")


def timed_threads(setup: Setup, threads: int, ops: int) -> tuple[float, float]:
    """Runs the row's loop in `threads` threads at once, each after its own
    setup; returns the wall time from the common start to the last finish and
    the mean CPU time of a thread, in seconds."""
    ready = threading.Barrier(threads + 1)
    cpu: list[float] = []
    finished: list[float] = []
    errors: list[BaseException] = []

    def worker() -> None:
        try:
            run = setup()
            run(1000)  # warm up (specialisation, caches)
        except BaseException as error:
            errors.append(error)
            raise
        finally:
            ready.wait()
        start = time.thread_time()
        run(ops)
        cpu.append(time.thread_time() - start)
        finished.append(time.perf_counter())

    workers = [threading.Thread(target=worker) for _ in range(threads)]
    for w in workers:
        w.start()
    ready.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    if errors:
        raise errors[0]
    return max(finished) - start, sum(cpu) / len(cpu)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--ops", type=int, default=300_000, help="operations per thread")
    parser.add_argument("--row", action="append", help="only these rows (by name)")
    args = parser.parse_args(argv)
    rows = {name: setup for name, setup in ROWS.items() if not args.row or name in args.row}
    walls: dict[str, list[float]] = {name: [] for name in rows}
    cpus: dict[str, list[float]] = {name: [] for name in rows}
    for round_ in range(args.rounds):
        print(f"round {round_ + 1}/{args.rounds}", file=sys.stderr, flush=True)
        for name, setup in rows.items():
            wall1, cpu1 = timed_threads(setup, 1, args.ops)
            wall2, cpu2 = timed_threads(setup, 2, args.ops)
            walls[name].append(wall2 / wall1)
            cpus[name].append(cpu2 / cpu1)

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL"
    print(
        f"Python {sys.version.split()[0]} ({build} build, GIL {'on' if gil else 'off'}); "
        f"{args.ops} operations per thread; median (range) of {args.rounds} rounds"
    )
    print(f"{'row':<40} {'wall 2/1':>18} {'cpu 2/1':>18}")
    for name in rows:
        w, c = walls[name], cpus[name]
        print(
            f"{name:<40} {statistics.median(w):>5.2f} ({min(w):.2f}-{max(w):.2f})"
            f" {statistics.median(c):>7.2f} ({min(c):.2f}-{max(c):.2f})"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
