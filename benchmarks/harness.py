"""What every benchmark here shares: interleaved-rounds timing, per-round ratios, the
description of the machine and the interpreter, the printed tables and the JSON result file.

A benchmark module has a `NAME` and a ``run(context) -> verdicts`` that times its rows,
prints its tables and records its sections in ``context.results``; ``main([module, ...])``
runs the modules given, one after the other, and writes one JSON file for the run
(benchmarks/README.md says what it holds). A module whose sections can run apart names
them in `SECTIONS` and asks ``context.wants(section)`` before each; ``--only SECTION``
runs only the sections named.

The rows of a section are timed in interleaved rounds (the order rotates every round), so
that drift of the machine hits all rows alike; each row reports the median and the
min-max over the rounds of its per-pair time, and each ratio is taken round by round
(same round, both rows) before its median and min-max are reported. Times are net of the
bare loop (``for _ in range(n): pass``), measured in the same rounds; the ratios with the
loop left in are shown beside them. The garbage collector is off during timed sections.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import statistics
import sys
import textwrap
import time
from collections.abc import Callable, Iterable, Sequence
from contextlib import ExitStack
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Protocol

from quarn_devkit import machine, results as result_files
from quarn_devkit.redis_server import RedisServer, redis_server_version

ROOT = Path(__file__).resolve().parent.parent
RESULTS = ROOT / "results" / "bench"
FORMAT = 2  # of the result file; results/README.md describes it
perf_ns = time.perf_counter_ns


# --- timing machinery ----------------------------------------------------------------------

def make_loop(body: str, names: Sequence[str]) -> Callable[..., None]:
    """A function run(n, *names) that executes `body` n times, with `names` as locals."""
    source = f"def run(n, {', '.join(names)}):\n    for _ in range(n):\n        {body}\n"
    namespace: dict[str, Any] = {}
    exec(compile(source, f"<bench: {body}>", "exec"), namespace)
    run: Callable[..., None] = namespace["run"]
    return run


@dataclass
class Case:
    """One row of a timed section: `body` run with the locals `args`. The row is known by
    its `id` in the result file and to the report; its `label` is only what people read."""

    id: str
    label: str
    body: str
    args: dict[str, Any]
    reps: int

    def __post_init__(self) -> None:
        self.loop = make_loop(self.body, list(self.args))
        self.values = list(self.args.values())

    def time_per_pair(self) -> float:
        """Nanoseconds per execution of the body (loop included)."""
        loop, values, reps = self.loop, self.values, self.reps
        start = perf_ns()
        loop(reps, *values)
        return (perf_ns() - start) / reps


@dataclass
class External:
    """A row measured by another program; `measure()` returns ns per pair."""

    id: str
    label: str
    measure: Callable[[], float]


@dataclass
class Rounds:
    """Per-round ns per pair of each row, by row id: `net` of the bare loop (External rows
    as measured), `gross` with the loop included, and the bare loop's own `loop`."""

    net: dict[str, list[float]]
    gross: dict[str, list[float]]
    loop: list[float]
    labels: dict[str, str]
    external: set[str] = field(default_factory=set)


def run_rounds(cases: Sequence[Case | External], rounds: int, warmup_rounds: int,
               empty_reps: int, blocks: int = 1) -> Rounds:
    """Times every case in each round, the order rotating from round to round. A round
    runs each Case in `blocks` blocks of its `reps` pairs, the cases taking turns block
    by block, so that a burst of other work hits all of them; an External row is
    measured once per round."""
    empty = Case("bare-loop", "bare loop", "pass", {}, empty_reps)
    out = Rounds({c.id: [] for c in cases}, {c.id: [] for c in cases}, [],
                 {c.id: c.label for c in cases}, {c.id for c in cases if isinstance(c, External)})
    order: list[Case | External] = [empty, *cases]
    gc.collect()
    gc.disable()
    try:
        for r in range(warmup_rounds + rounds):
            shift = r % len(order)
            turn = order[shift:] + order[:shift]
            totals = dict.fromkeys((c.id for c in order), 0.0)
            for block in range(blocks):
                for case in turn:
                    if isinstance(case, Case):
                        totals[case.id] += case.time_per_pair() / blocks
                    elif block == 0:
                        totals[case.id] = case.measure()
            if r < warmup_rounds:
                continue
            base = totals[empty.id]
            out.loop.append(base)
            for case in cases:
                out.gross[case.id].append(totals[case.id])
                net = totals[case.id] - (base if isinstance(case, Case) else 0.0)
                out.net[case.id].append(net)
    finally:
        gc.enable()
    return out


@dataclass
class Ratio:
    """A ratio of two rows (by id), taken round by round; `id` names it in the result file."""

    id: str
    label: str
    numerator: str
    denominator: str
    target: str = ""   # e.g. "<= 1.15" or ">= 1.80"
    note: str = ""
    note_in_summary: bool = False
    # A ratio of ratios: (numerator / denominator) / (over[0] / over[1]), round by round.
    over: tuple[str, str] | None = None


def per_round(rounds: dict[str, list[float]], numerator: str, denominator: str,
              over: tuple[str, str] | None = None) -> list[float]:
    """The ratio of two rows taken round by round (both from the same round), divided by
    the ratio of the two rows `over` of the same round, if given."""
    each = [a / b for a, b in zip(rounds[numerator], rounds[denominator])]
    if over is None:
        return each
    return [r / (a / b) for r, a, b in zip(each, rounds[over[0]], rounds[over[1]])]


def meets(target: str, value: float) -> bool:
    """Whether `value` meets a target such as "<= 1.10" or ">= 1.70"."""
    op, bound = target.split()
    return value <= float(bound) if op == "<=" else value >= float(bound)


# --- formatting ------------------------------------------------------------------------

def fmt_ns(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e4:
        return f"{ns / 1e3:.1f} us"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


def fmt_range(values: Sequence[float]) -> str:
    return f"{fmt_ns(min(values))} - {fmt_ns(max(values))}"


def label_width(*groups: Iterable[str]) -> int:
    return max(len(label) for group in groups for label in group)


def print_rows(title: str, rounds: Rounds, reference: str, width: int) -> None:
    """One line per row: median and min-max of the per-round times, and the median of the
    per-round ratios to the `reference` row (an id)."""
    print(title)
    print(f"  {'row':<{width}} {'median':>10}   {'min - max':<21} {'ratio':>6}")
    for row, values in rounds.net.items():
        ratios = per_round(rounds.net, row, reference)
        mark = "  (reference)" if row == reference else ""
        print(f"  {rounds.labels[row]:<{width}} {fmt_ns(statistics.median(values)):>10}   "
              f"{fmt_range(values):<21} {statistics.median(ratios):>6.2f}{mark}")


def print_ratios(rounds: Rounds, ratios: Sequence[Ratio], width: int) -> list[str]:
    """Prints per-round ratios of the net times (median, min-max, target, how many rounds
    met it, verdict on the median) and, for comparison, the median ratio of the gross
    times (bare loop included); returns the verdict lines."""
    verdicts = []
    print(f"  {'ratio (taken round by round)':<{width}} {'median':>10}   {'min - max':<15} "
          f"{'with loop':>9} {'target':>8}  verdict")
    for q in ratios:
        each = per_round(rounds.net, q.numerator, q.denominator, q.over)
        gross = statistics.median(per_round(rounds.gross, q.numerator, q.denominator, q.over))
        med = statistics.median(each)
        verdict = ""
        target = q.target or "-"
        if q.target:
            hits = sum(1 for x in each if meets(q.target, x))
            verdict = (f"{'MET' if meets(q.target, med) else 'NOT MET'} at the median "
                       f"(met in {hits}/{len(each)} rounds)")
            verdicts.append(f"{q.label} = {med:.2f} (target {q.target}): {verdict}")
        spread = f"{min(each):.2f} - {max(each):.2f}"
        print(f"  {q.label:<{width}} {med:>10.2f}   {spread:<15} {gross:>9.2f} {target:>8}  "
              f"{verdict}")
        if q.note:
            for line in textwrap.wrap(q.note, 96):
                print(f"      {line}")
            if q.note_in_summary:
                verdicts.append(q.note)
    return verdicts


def percentile(values: Sequence[float], p: float) -> float:
    ordered = sorted(values)
    k = (len(ordered) - 1) * p
    lo, hi = int(k), min(int(k) + 1, len(ordered) - 1)
    return ordered[lo] + (ordered[hi] - ordered[lo]) * (k - lo)


def print_distribution(label: str, values: Sequence[float]) -> None:
    cells = [statistics.median(values), percentile(values, 0.9), min(values), max(values)]
    print(f"  {label:<52} " + " ".join(f"{fmt_ns(v):>10}" for v in cells)
          + f" {len(values):>6}")


# --- results as data ---------------------------------------------------------------------

def ns_list(values: Iterable[float]) -> list[float]:
    return [round(v, 3) for v in values]


class Results:
    """The sections of one run, as they go into its JSON file."""

    def __init__(self) -> None:
        self.sections: dict[str, dict[str, Any]] = {}

    def timed(self, key: str, title: str, measured: Rounds, ratios: Sequence[Ratio],
              reference: str, **params: Any) -> None:
        """A section of interleaved rounds: each row's per-round ns per pair, net of the
        bare loop and with it, the bare loop's own, and the ratios defined on the rows."""
        self.sections[key] = {
            "kind": "rounds",
            "title": title,
            "reference": reference,
            "params": params,
            "loop_ns": ns_list(measured.loop),
            "rows": {row: {"label": measured.labels[row],
                           "net_ns": ns_list(measured.net[row]),
                           "gross_ns": ns_list(measured.gross[row]),
                           "external": row in measured.external}
                     for row in measured.net},
            "ratios": [{"id": q.id, "label": q.label, "numerator": q.numerator,
                        "denominator": q.denominator, "target": q.target, "note": q.note,
                        **({"over": list(q.over)} if q.over else {})}
                       for q in ratios],
        }

    def add(self, key: str, section: dict[str, Any]) -> None:
        self.sections[key] = section


# --- the run ------------------------------------------------------------------------------

class Context:
    """What a benchmark's run() gets: the settings, the results to add to, and a private
    redis-server started at the first use of `redis_port()` and stopped at the end."""

    def __init__(self, args: argparse.Namespace, results: Results, stack: ExitStack) -> None:
        self.args = args
        self.results = results
        self._stack = stack
        self._server: RedisServer | None = None

    def section(self, key: str, title: str, measured: Rounds, ratios: Sequence[Ratio],
                reference: str, /, **params: Any) -> list[str]:
        """Prints a section's rows (ratios to the `reference` row) and its ratios, adds it
        to the results under `key` with `params`, and returns the verdict lines."""
        width = label_width(measured.labels.values(), [q.label for q in ratios])
        print_rows(title, measured, reference, width)
        verdicts = print_ratios(measured, ratios, width)
        print()
        self.results.timed(key, title, measured, ratios, reference, **params)
        return verdicts

    def wants(self, section: str) -> bool:
        """Whether this run includes `section` (all of them unless --only named some)."""
        return not self.args.only or section in self.args.only

    def redis_port(self) -> int:
        if self._server is None:
            self._server = self._stack.enter_context(RedisServer())
        return self._server.port


class Benchmark(Protocol):
    NAME: str  # its section, unless the module names several in SECTIONS

    def run(self, context: Context) -> list[str]: ...


def sections_of(benchmark: Benchmark) -> tuple[str, ...]:
    return tuple(getattr(benchmark, "SECTIONS", (benchmark.NAME,)))


def parse_args(argv: Sequence[str] | None, description: str,
               sections: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--quick", action="store_true",
                        help="few rounds and repetitions: a smoke run, well under a minute")
    parser.add_argument("--no-redis-benchmark", dest="redis_benchmark", action="store_false",
                        help="skip the C client floor (redis-benchmark)")
    parser.add_argument("--json", type=Path, metavar="FILE",
                        help="where the result file goes (default: results/bench/BUILD.json, "
                        "with the benchmarks' names when not all of them ran, -quick for "
                        "--quick)")
    parser.add_argument("--no-json", dest="write_json", action="store_false",
                        help="write no result file")
    parser.add_argument("--only", action="append", metavar="SECTION[,SECTION...]",
                        help=f"run only these sections (repeatable; of {', '.join(sections)})")
    args = parser.parse_args(argv)
    if args.only:
        args.only = [name for value in args.only for name in value.split(",") if name]
        unknown = [name for name in args.only if name not in sections]
        if unknown or not args.only:
            parser.error(f"--only {','.join(unknown)}: the sections are {', '.join(sections)}")
    if args.quick:
        args.local_rounds, args.local_blocks, args.local_reps = 7, 1, 10_000
        args.remote_rounds, args.remote_blocks, args.remote_reps = 7, 2, 50
        args.redis_benchmark_requests = 2_000
        args.local_handovers = 30
        args.remote_handovers = 5
        args.memory_targets = [1_000]
    else:
        # Many short rounds, each made of short blocks taken in turn: the rows of one round
        # run close together in time, so the per-round ratios stay sound when other work
        # on the machine comes and goes.
        args.local_rounds, args.local_blocks, args.local_reps = 101, 4, 5_000
        args.remote_rounds, args.remote_blocks, args.remote_reps = 81, 6, 50
        args.redis_benchmark_requests = 10_000
        args.local_handovers = 400
        args.remote_handovers = 60
        args.memory_targets = [1_000, 100_000]
    return args


def client_versions() -> dict[str, str]:
    """redis-server, redis-py and the reply parser that redis-py uses."""
    import redis
    from redis.utils import HIREDIS_AVAILABLE

    try:
        import hiredis
        parser = f"hiredis {hiredis.__version__}" + ("" if HIREDIS_AVAILABLE else
                                                      ", too old for this redis-py")
    except ImportError:
        parser = "redis-py's own (hiredis not installed)"
    try:
        server = redis_server_version()
    except RuntimeError as error:
        server = str(error)
    return {"redis_server": server, "redis_py": redis.__version__, "parser": parser}


def print_machine(head: dict[str, Any], args: argparse.Namespace) -> None:
    m, py, clients = head["machine"], head["interpreter"], head["clients"]
    load = head["load_average"]["start"]
    print("Machine")
    print(f"  CPU:           {m['cpu']}")
    print(f"  cores:         {m['cores']} (usable by this process: {m['usable_cores']})")
    print(f"  kernel:        {m['kernel']} ({m['os']})")
    print(f"  Python:        {py['implementation']} {py['version']} ({sys.executable})")
    print(f"  build:         {machine.build_label(py)}"
          + (f", {py['package']}" if py["package"] else ""))
    jit = py["jit"]
    print("  JIT:           " + ("not built in" if not jit["available"] else "on" if jit["enabled"]
                                 else "off (built in; PYTHON_JIT=1 turns it on)"))
    print(f"  redis-server:  {clients['redis_server']}")
    print(f"  redis-py:      {clients['redis_py']}; reply parser: {clients['parser']}")
    print(f"  source:        {machine.revision_text(head['source'])}")
    print(f"  date:          {head['date']}")
    print(f"  load average:  {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} (1, 5, 15 min) at start")
    mode = "--quick" if args.quick else "full"
    print(f"  run:           {mode}: {args.local_rounds} rounds (local), {args.remote_rounds} "
          f"rounds (remote)"
          + ("" if args.redis_benchmark else ", without redis-benchmark"))
    print()


def default_json(head: dict[str, Any], names: Sequence[str], everything: bool,
                 quick: bool) -> Path:
    """results/bench/BUILD.json, or BUILD.NAME+NAME.json for a part of the benchmarks."""
    name = machine.build_id(head["interpreter"])
    if not everything:
        name += "." + "+".join(names)
    return RESULTS / (name + ("-quick" if quick else "") + ".json")


def main(benchmarks: Sequence[Benchmark], argv: Sequence[str] | None = None,
         description: str = "", everything: bool = False) -> int:
    """Runs the benchmarks given, prints their tables and the verdicts on the targets,
    and writes the run's result file. `everything`: these are all the benchmarks."""
    args = parse_args(argv, description, [s for b in benchmarks for s in sections_of(b)])
    if args.only:
        benchmarks = [b for b in benchmarks if set(sections_of(b)) & set(args.only)]
        everything = False
    started = time.monotonic()
    head: dict[str, Any] = {
        "format": FORMAT,
        "kind": "bench",
        "benchmarks": [b.NAME for b in benchmarks],
        "mode": "quick" if args.quick else "full",
        "command": [Path(sys.argv[0]).name, *(sys.argv[1:] if argv is None else argv)],
        "date": f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}",
        **machine.describe(ROOT),
        "clients": client_versions(),
        "load_average": {"start": machine.load_average()},
    }
    head["label"] = machine.build_label(head["interpreter"])
    print_machine(head, args)
    results = Results()
    verdicts: list[str] = []
    with ExitStack() as stack:
        context = Context(args, results, stack)
        for benchmark in benchmarks:
            verdicts += benchmark.run(context)
    print("Targets")
    for line in verdicts:
        print(f"  {line}")
    load = machine.load_average()
    seconds = time.monotonic() - started
    head["load_average"]["end"] = load
    head["seconds"] = round(seconds, 1)
    print(f"\nDone in {seconds:.0f} s; load average at end "
          f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}.")
    if args.write_json:
        path = args.json or default_json(head, args.only or head["benchmarks"], everything,
                                         args.quick)
        result_files.write(path, {**head, "sections": results.sections})
        print(f"Results: {path}")
    return 0
