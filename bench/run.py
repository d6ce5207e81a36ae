"""The tour: every module exercised and timed against the baseline a user would
otherwise pick, and against the floor (calling an empty C method).

    python bench/run.py                 # every module
    python bench/run.py --module lockless
    python bench/run.py --quick         # fewer repeats, for a smoke run
    python bench/run.py --plot DIR      # also chart the rows that scale with input
    python bench/run.py --headline --json FILE     # the headline rows, as JSON
    python bench/run.py --merge FILE... --readme README.md
                                        # one table, one column per interpreter

Each row is timed several times, interleaved with its baseline and the floor,
and the best (lowest) time of each is kept. Absolute times vary between
machines; the ratios measured in one run are what we compare:

    speed-up  = baseline time / operation time   (higher is better)
    vs floor  = operation time / floor time      (1.0 is a bare C call)
"""

from __future__ import annotations

import argparse
import gc
import importlib
import json
import pkgutil
import re
import sys
import time
import timeit
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from pathlib import Path

# A measurement returns nanoseconds per operation.
Measure = Callable[[], float]


def stmt(code: str, setup: str = "pass", target_seconds: float = 0.02, **namespace) -> Measure:
    """Times `code` with timeit; the loop count is fixed on first use so that one
    measurement takes about `target_seconds`."""
    timer = timeit.Timer(code, setup, globals=namespace)
    number = 0

    def measure() -> float:
        nonlocal number
        if number == 0:
            n, elapsed = timer.autorange()
            number = max(1, int(n * target_seconds / max(elapsed, 1e-9)))
        return timer.timeit(number) / number * 1e9

    return measure


@dataclass
class Row:
    """One line of the table: an operation, optionally with a baseline."""

    name: str
    op: Measure
    baseline_name: str = ""
    baseline: Measure | None = None
    # Show the ratio to the floor (for single calls, not for bulk operations).
    vs_floor: bool = True
    # Rows that scale with their input: the chart they belong to and the input
    # size of this row (for --plot).
    series: str = ""
    x: float | None = None
    x_label: str = "input size"
    # A row a reader looks at first: timed by --headline and shown in the
    # per-version table of the README.
    headline: bool = False
    # Set when the baseline is another package's take on the operation a
    # headline row times (this row's `op` times it again, interleaved with the
    # peer): the name of that headline row. The per-version table shows the
    # peer on a line of its own under it.
    peer_of: str = ""


@dataclass
class Result:
    row: Row
    op_ns: float
    baseline_ns: float | None


def floor_measure() -> Measure:
    # str.isascii on an empty string: a C method that only returns a constant.
    return stmt("s.isascii()", s="")


def run_rows(rows: Iterable[Row], floor: Measure, repeats: int) -> tuple[list[Result], float]:
    rows = list(rows)
    best_floor = float("inf")
    best_op = [float("inf")] * len(rows)
    best_base = [float("inf")] * len(rows)
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            best_floor = min(best_floor, floor())
            for i, row in enumerate(rows):
                best_op[i] = min(best_op[i], row.op())
                if row.baseline is not None:
                    best_base[i] = min(best_base[i], row.baseline())
    finally:
        if gc_was_enabled:
            gc.enable()
    results = [
        Result(row, best_op[i], best_base[i] if row.baseline is not None else None)
        for i, row in enumerate(rows)
    ]
    return results, best_floor


def format_ns(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.1f} ns"


def print_table(module: str, results: list[Result], floor_ns: float) -> None:
    header = (
        f"{'operation':<44} {'time':>10} {'baseline':<34} "
        f"{'base time':>10} {'speed-up':>8} {'vs floor':>8}"
    )
    print(f"\n== {module} (floor {format_ns(floor_ns)}) ==")
    print(header)
    print("-" * len(header))
    for r in results:
        base = format_ns(r.baseline_ns) if r.baseline_ns is not None else ""
        speedup = f"{r.baseline_ns / r.op_ns:.2f}x" if r.baseline_ns is not None else ""
        floor = f"{r.op_ns / floor_ns:.2f}x" if r.row.vs_floor else ""
        print(
            f"{r.row.name:<44} {format_ns(r.op_ns):>10} {r.row.baseline_name:<34} "
            f"{base:>10} {speedup:>8} {floor:>8}"
        )


def plot(module: str, results: list[Result], directory: Path) -> list[Path]:
    """One PNG per series: time per operation against input size, for the
    operation and its baseline."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    charts: dict[str, list[Result]] = {}
    for r in results:
        if r.row.series and r.row.x is not None:
            charts.setdefault(r.row.series, []).append(r)
    written = []
    directory.mkdir(parents=True, exist_ok=True)
    for series, rs in charts.items():
        fig, ax = plt.subplots(figsize=(6.4, 4.0), dpi=110)
        # label -> x -> best time (an operation timed in several rows, once
        # per baseline, is drawn once)
        lines: dict[str, dict[float, float]] = {}
        for r in rs:
            x = r.row.x
            assert x is not None  # only rows with an input size were charted
            entries = [(f"lumetra {series}", r.op_ns)]
            if r.baseline_ns is not None:
                entries.append((r.row.baseline_name, r.baseline_ns))
            for label, ns in entries:
                by_x = lines.setdefault(label, {})
                by_x[x] = min(ns, by_x.get(x, ns))
        for label, by_x in lines.items():
            points = sorted(by_x.items())
            ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=label)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel(rs[0].row.x_label)
        ax.set_ylabel("time per operation (ns)")
        ax.set_title(f"{module}: {series}")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize="small")
        fig.tight_layout()
        slug = re.sub(r"[^A-Za-z0-9]+", "_", series).strip("_")
        path = directory / f"{module}-{slug}.png"
        fig.savefig(path)
        plt.close(fig)
        written.append(path)
    return written


def machine_description() -> str:
    """CPU model, core count and interpreter, for the record of a run."""
    import platform

    return f"{cpu_description()}, Python {platform.python_version()}"


def cpu_description() -> str:
    """CPU model and core count."""
    import os
    import platform

    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores"


def markdown_table(module: str, results: list[Result], floor_ns: float) -> str:
    lines = [
        f"#### {module} (floor {format_ns(floor_ns)})",
        "",
        "| operation | time | baseline | baseline time | speed-up | vs floor |",
        "|---|---:|---|---:|---:|---:|",
    ]
    for r in results:
        base = format_ns(r.baseline_ns) if r.baseline_ns is not None else ""
        speedup = f"{r.baseline_ns / r.op_ns:.2f}x" if r.baseline_ns is not None else ""
        floor = f"{r.op_ns / floor_ns:.2f}x" if r.row.vs_floor else ""
        lines.append(
            f"| {r.row.name} | {format_ns(r.op_ns)} | {r.row.baseline_name} | {base} "
            f"| {speedup} | {floor} |"
        )
    return "\n".join(lines) + "\n"


README_START = "<!-- bench:start -->"
README_END = "<!-- bench:end -->"
VERSIONS_START = "<!-- bench-versions:start -->"
VERSIONS_END = "<!-- bench-versions:end -->"


def update_readme(
    path: Path, tables: str, start_marker: str = README_START, end_marker: str = README_END
) -> None:
    readme = path.read_text(encoding="utf-8")
    start, end = readme.index(start_marker), readme.index(end_marker)
    path.write_text(
        readme[: start + len(start_marker)] + "\n" + tables + "\n" + readme[end:], encoding="utf-8"
    )


def json_record(module: str, results: list[Result], floor_ns: float) -> list[dict]:
    """One module's results as plain data for --json."""
    return [
        {
            "module": module,
            "name": r.row.name,
            "time_ns": r.op_ns,
            "floor_ns": floor_ns,
            "floor_multiple": r.op_ns / floor_ns,
            "baseline": r.row.baseline_name,
            "baseline_ns": r.baseline_ns,
            "peer_of": r.row.peer_of,
        }
        for r in results
    ]


def version_key(run: dict) -> tuple[int, ...]:
    return tuple(int(part) for part in re.findall(r"\d+", run["python"])[:3])


def versions_table(runs: list[dict]) -> str:
    """The headline rows of several --json runs (one per interpreter) as one
    Markdown table: multiples of the bare-call floor, one column per version;
    each peer on a line under the row it is compared with, "—" where a row was
    not timed (a peer that does not install on that version)."""
    runs = sorted(
        runs,
        key=lambda run: (version_key(run), run.get("free_threaded", False), run.get("build", "")),
    )
    labels = [
        ".".join(str(n) for n in version_key(run)[:2]) + ("t" if run.get("free_threaded") else "")
        for run in runs
    ]
    builds = sorted({run.get("build", "") for run in runs})
    if len(builds) > 1:  # the same interpreters with differently built packages
        labels = [
            f"{label} {run.get('build', '?')}" for label, run in zip(labels, runs, strict=True)
        ]
    # (module, operation) -> column -> multiple; headline rows first, each
    # followed by its peers, in the order the runs list them.
    lines: dict[tuple[str, str], dict[int, float]] = {}
    peers: dict[tuple[str, str], list[tuple[str, str]]] = {}
    for column, run in enumerate(runs):
        for rec in run["rows"]:
            if rec["peer_of"]:
                subject = (rec["module"], rec["peer_of"])
                key = (rec["module"], f"peer: {rec['baseline']}")
                if key not in peers.setdefault(subject, []):
                    peers[subject].append(key)
                lines.setdefault(key, {})[column] = rec["baseline_ns"] / rec["floor_ns"]
            else:
                lines.setdefault((rec["module"], rec["name"]), {})[column] = rec["floor_multiple"]
    peer_keys = {key for keys in peers.values() for key in keys}
    order = []
    for key in lines:
        if key not in peer_keys:
            order += [key, *peers.pop(key, [])]
    order += [key for keys in peers.values() for key in keys]  # peers of no headline row

    dates = sorted({run["date"] for run in runs})
    when = dates[0] if len(dates) == 1 else f"{dates[0]} to {dates[-1]}"
    repeats = sorted({run["repeats"] for run in runs})
    versions = ", ".join(dict.fromkeys(run["python"] for run in runs))
    if len(builds) > 1:
        versions += "; package built with " + " and ".join(builds)
    text = [
        f"Measured {when} in one sitting on {runs[0]['cpu']} (Python {versions}); "
        f"best of {'/'.join(map(str, repeats))} runs per row; each row as a multiple of "
        "the bare-call floor timed alongside it (the floor's best time is the first line).",
        "",
        "| module | operation | " + " | ".join(labels) + " |",
        "|---|---|" + "---:|" * len(labels),
        '| | floor: `"".isascii()` | '
        + " | ".join(format_ns(min(rec["floor_ns"] for rec in run["rows"])) for run in runs)
        + " |",
    ]
    previous = ""
    for module, name in order:
        cells = [
            f"{lines[module, name][c]:.2f}x" if c in lines[module, name] else "—"
            for c in range(len(runs))
        ]
        text.append(
            f"| {module if module != previous else ''} | {name} | " + " | ".join(cells) + " |"
        )
        previous = module
    return "\n".join(text) + "\n"


def discover() -> dict[str, Callable[..., list[Row]]]:
    """Row providers: bench/rows_<module>.py, each with a `rows(headline=False)`
    function. With headline=True only the headline rows are wanted: a provider
    may then skip setting up the others (run.py keeps only the headline rows
    in any case)."""
    here = Path(__file__).resolve().parent
    sys.path.insert(0, str(here))
    providers = {}
    for info in sorted(pkgutil.iter_modules([str(here)]), key=lambda i: i.name):
        if info.name.startswith("rows_"):
            providers[info.name.removeprefix("rows_")] = importlib.import_module(info.name).rows
    return providers


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module", action="append", help="run only this module's rows")
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    parser.add_argument("--repeats", type=int, default=None)
    parser.add_argument(
        "--headline", action="store_true", help="only the headline rows and their peers"
    )
    parser.add_argument("--plot", type=Path, metavar="DIR", help="write PNG charts here")
    parser.add_argument(
        "--markdown", type=Path, metavar="FILE", help="also write the tables as Markdown"
    )
    parser.add_argument("--json", type=Path, metavar="FILE", help="also write the results as JSON")
    parser.add_argument(
        "--build", metavar="NAME", help="with --json: how the package was built (gcc, zig)"
    )
    parser.add_argument(
        "--merge",
        type=Path,
        nargs="+",
        metavar="FILE",
        help="time nothing: make one table, a column per interpreter, of the headline rows "
        "in these --json files (with --readme: between the bench-versions markers)",
    )
    parser.add_argument(
        "--readme",
        type=Path,
        metavar="FILE",
        help="replace the tables between the bench markers of this README",
    )
    args = parser.parse_args(argv)

    if args.merge:
        runs = [json.loads(path.read_text(encoding="utf-8")) for path in args.merge]
        text = versions_table(runs)
        print(text)
        if args.markdown:
            args.markdown.write_text(text, encoding="utf-8")
        if args.readme:
            update_readme(args.readme, text, VERSIONS_START, VERSIONS_END)
        return 0

    providers = discover()
    selected = args.module or list(providers)
    unknown = [m for m in selected if m not in providers]
    if unknown:
        parser.error(f"unknown module(s) {unknown}; choose from {sorted(providers)}")
    repeats = args.repeats or (2 if args.quick else 7)
    floor = floor_measure()
    markdown = [
        f"Measured {time.strftime('%Y-%m-%d')} on {machine_description()}; "
        f"best of {repeats} runs per row.\n"
    ]
    records: list[dict] = []
    for index, module in enumerate(selected, 1):
        print(f"[{index}/{len(selected)}] timing {module} ...", file=sys.stderr, flush=True)
        if args.headline:
            rows = [row for row in providers[module](headline=True) if row.headline]
        else:
            rows = providers[module]()
        results, floor_ns = run_rows(rows, floor, repeats)
        print_table(module, results, floor_ns)
        markdown.append(markdown_table(module, results, floor_ns))
        records += json_record(module, results, floor_ns)
        if args.plot:
            for path in plot(module, results, args.plot):
                print(f"chart: {path}", file=sys.stderr)
    text = "\n".join(markdown)
    if args.markdown:
        args.markdown.write_text(text, encoding="utf-8")
    if args.json:
        import platform
        import sysconfig

        run = {
            "python": platform.python_version(),
            "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
            "cpu": cpu_description(),
            "date": time.strftime("%Y-%m-%d"),
            "repeats": repeats,
            "rows": records,
        }
        if args.build:
            run["build"] = args.build
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(run, indent=1) + "\n", encoding="utf-8")
    if args.readme:
        update_readme(args.readme, text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
