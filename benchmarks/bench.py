"""Benchmarks of the two lock backends, printed as one table.

    python benchmarks/bench.py            # full run, a few minutes at most
    python benchmarks/bench.py --quick    # smoke run, well under a minute

What is measured, side by side:

1. LocalLatch: an uncontended ``acquire(t)`` + ``release(t)`` pair against the same lock
   operations written inline in Python (with the table reads that LocalLatch makes: a
   membership test and a subscript, each on ``o.locks`` read afresh, in both halves; the
   floor with one lookup and ``timeout=-1`` by keyword; and a stricter floor without
   arguments) and against a plain-Python class doing what LocalLatch does.
   Then the same pair on a str target against a C floor: two METH_FASTCALL functions doing
   those steps with public C calls and no binder (benchmarks/floor.c, built here for the
   running interpreter), which shows what the native call layer itself costs.
   And the properties: reading ``is_connected`` / ``is_alive`` against a Python property
   whose getter gives the same result.
2. RemoteLatch: an uncontended ``acquire(t, metadata=m)`` + ``release(t)`` pair against the
   raw client calls it makes, redis-py's own ``Lock``, and the C client floor
   (``redis-benchmark -c 1`` for SET; a pair is two requests).
3. Handover latency: from ``release`` in one thread (LocalLatch) or process (RemoteLatch)
   to a waiting ``acquire`` returning in another, as a distribution.
4. Memory per target held by LocalLatch's two tables.

The rows of a section are timed in interleaved rounds (the order rotates every round), so
that drift of the machine hits all rows alike; each row reports the median and the
min-max over the rounds of its per-pair time, and each ratio is taken round by round
(same round, both rows) before its median and min-max are reported. Times are net of the
bare loop (``for _ in range(n): pass``), measured in the same rounds; the ratios with the
loop left in are shown beside them. The garbage collector is off during timed sections.

The script starts a private redis-server on a free loopback port and stops it at the end.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import operator
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import threading
import time
import tracemalloc
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from importlib.machinery import ExtensionFileLoader
from importlib.util import module_from_spec, spec_from_loader
from pathlib import Path
from threading import Lock
from types import ModuleType
from typing import Any

from quarn_data.data_models.lock_object import LockObject
from quarn_data.lock.implementations.local_latch import LocalLatch
from quarn_devkit.redis_server import RedisServer
from quarn_utils.models.data_models.address import Address

perf_ns = time.perf_counter_ns
METADATA = {"owner": "bench", "pid": 4242}


# --- the plain-Python reference class ------------------------------------------------------

class PyLocalLatch:
    """LocalLatch written in plain Python, step by step as the native class works.

    Two tables keyed by the target; the first acquisition of a target stores a new Lock
    and a LockObject record (expires_at, data); the lock is asked with
    ``timeout=seconds`` (or -1) when blocking, else with ``blocking=False``.
    """

    def __init__(self) -> None:
        self.locks: dict[Any, Any] = {}
        self.lock_data: dict[Any, Any] = {}

    def acquire(self, target_address: Any, *, timeout_ms: int = -1, blocking: bool = True,
                metadata: dict[str, Any] | None = None) -> bool:
        if type(timeout_ms) is not int:
            raise TypeError(
                "Argument 'timeout_ms' has incorrect type (expected int, got "
                f"{type(timeout_ms).__name__})"
            )
        if target_address not in self.locks:
            self.locks.setdefault(target_address, Lock())
            expires_at = round(time.time() * 1000) + timeout_ms if timeout_ms >= 0 else -1
            data = metadata if metadata else {}
            self.lock_data[target_address] = LockObject(expires_at=expires_at, data=data)
        lock = self.locks[target_address]
        if blocking:
            return lock.acquire(timeout=timeout_ms / 1000 if timeout_ms >= 0 else -1)
        return lock.acquire(blocking=False)

    def release(self, target_address: Any) -> None:
        if target_address in self.locks:
            lock = self.locks[target_address]
            lock.release()

    @property
    def is_connected(self) -> bool:
        return True

    @property
    def is_alive(self) -> bool:
        return True


class PyRemoteProbe:
    """RemoteLatch's is_connected written in plain Python."""

    @property
    def is_connected(self) -> bool:
        return getattr(self, "client", None) is not None


class CGetter:
    """A property whose getter is a C builtin (METH_O) that answers True for any object."""

    is_connected = property(operator.truth)


# --- the C floor -----------------------------------------------------------------------

FLOOR_SOURCE = Path(__file__).resolve().parent / "floor.c"


def c_compiler() -> list[str] | None:
    """The C compiler: $CC, else the interpreter's own, else cc or gcc on PATH."""
    for candidate in (os.environ.get("CC"), sysconfig.get_config_var("CC"), "cc", "gcc"):
        if candidate:
            words = candidate.split()
            if shutil.which(words[0]):
                return words
    return None


def build_c_floor() -> ModuleType | None:
    """Compiles benchmarks/floor.c for the running interpreter in a temporary folder
    and loads it; None (with the reason printed) when no C compiler can build it."""
    compiler = c_compiler()
    if compiler is None:
        print("(no C compiler found: no C floor rows)")
        return None
    name = "bench_floor"
    with tempfile.TemporaryDirectory(prefix="quarn-bench-floor-") as folder:
        target = Path(folder) / (name + sysconfig.get_config_var("EXT_SUFFIX"))
        command = [*compiler, "-shared", "-fPIC", "-O3", "-DNDEBUG",
                   "-I", sysconfig.get_paths()["include"], str(FLOOR_SOURCE), "-o", str(target)]
        built = subprocess.run(command, capture_output=True, text=True)
        if built.returncode != 0:
            print(f"(the C floor did not build: no C floor rows)\n{built.stderr}")
            return None
        # The loaded library stays mapped once its file is gone.
        loader = ExtensionFileLoader(name, str(target))
        found = spec_from_loader(name, loader)
        assert found is not None
        module = module_from_spec(found)
        loader.exec_module(module)
    return module


# --- timing machinery ----------------------------------------------------------------------

def make_loop(body: str, names: Sequence[str]) -> Callable[..., None]:
    """A function run(n, *names) that executes `body` n times, with `names` as locals."""
    source = f"def run(n, {', '.join(names)}):\n    for _ in range(n):\n        {body}\n"
    namespace: dict[str, Any] = {}
    exec(compile(source, f"<bench: {body}>", "exec"), namespace)
    return namespace["run"]


@dataclass
class Case:
    """One row of a timed section: `body` run with the locals `args`."""

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

    label: str
    measure: Callable[[], float]


@dataclass
class Rounds:
    """Per-round ns per pair of each row: `net` of the bare loop (External rows as
    measured), `gross` with the loop included, and the bare loop's own `loop`."""

    net: dict[str, list[float]]
    gross: dict[str, list[float]]
    loop: list[float]


def run_rounds(cases: Sequence[Case | External], rounds: int, warmup_rounds: int,
               empty_reps: int, blocks: int = 1) -> Rounds:
    """Times every case in each round, the order rotating from round to round. A round
    runs each Case in `blocks` blocks of its `reps` pairs, the cases taking turns block
    by block, so that a burst of other work hits all of them; an External row is
    measured once per round."""
    empty = Case("bare loop", "pass", {}, empty_reps)
    out = Rounds({c.label: [] for c in cases}, {c.label: [] for c in cases}, [])
    order: list[Case | External] = [empty, *cases]
    gc.collect()
    gc.disable()
    try:
        for r in range(warmup_rounds + rounds):
            shift = r % len(order)
            turn = order[shift:] + order[:shift]
            totals = dict.fromkeys((c.label for c in order), 0.0)
            for block in range(blocks):
                for case in turn:
                    if isinstance(case, Case):
                        totals[case.label] += case.time_per_pair() / blocks
                    elif block == 0:
                        totals[case.label] = case.measure()
            if r < warmup_rounds:
                continue
            base = totals[empty.label]
            out.loop.append(base)
            for case in cases:
                out.gross[case.label].append(totals[case.label])
                net = totals[case.label] - (base if isinstance(case, Case) else 0.0)
                out.net[case.label].append(net)
    finally:
        gc.enable()
    return out


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


def print_rows(title: str, results: dict[str, list[float]], reference: str, width: int) -> None:
    """One line per row: median and min-max of the per-round times, and the median of the
    per-round ratios to the `reference` row."""
    print(title)
    print(f"  {'row':<{width}} {'median':>10}   {'min - max':<21} {'ratio':>6}")
    ref = results[reference]
    for label, values in results.items():
        ratios = [v / r for v, r in zip(values, ref)]
        mark = "  (reference)" if label == reference else ""
        print(f"  {label:<{width}} {fmt_ns(statistics.median(values)):>10}   "
              f"{fmt_range(values):<21} {statistics.median(ratios):>6.2f}{mark}")


@dataclass
class Ratio:
    label: str
    numerator: str
    denominator: str
    target: str = ""   # e.g. "<= 1.15" or ">= 1.80"
    note: str = ""
    note_in_summary: bool = False


def print_ratios(rounds: Rounds, ratios: Sequence[Ratio], width: int) -> list[str]:
    """Prints per-round ratios of the net times (median, min-max, target, how many rounds
    met it, verdict on the median) and, for comparison, the median ratio of the gross
    times (bare loop included); returns the verdict lines."""
    verdicts = []
    print(f"  {'ratio (taken round by round)':<{width}} {'median':>10}   {'min - max':<15} "
          f"{'with loop':>9} {'target':>8}  verdict")
    for q in ratios:
        per_round = [a / b for a, b in zip(rounds.net[q.numerator], rounds.net[q.denominator])]
        gross = statistics.median(
            a / b for a, b in zip(rounds.gross[q.numerator], rounds.gross[q.denominator]))
        med = statistics.median(per_round)
        verdict = ""
        target = q.target or "-"
        if q.target:
            op, bound = q.target.split()
            ok = (lambda x: x <= float(bound)) if op == "<=" else (lambda x: x >= float(bound))
            hits = sum(1 for x in per_round if ok(x))
            verdict = (f"{'MET' if ok(med) else 'NOT MET'} at the median "
                       f"(met in {hits}/{len(per_round)} rounds)")
            verdicts.append(f"{q.label} = {med:.2f} (target {q.target}): {verdict}")
        spread = f"{min(per_round):.2f} - {max(per_round):.2f}"
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


# --- machine -------------------------------------------------------------------------

def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def command_output(*cmd: str) -> str:
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def source_revision() -> str:
    """The git commit of the working tree, and whether the native sources differ from it."""
    root = Path(__file__).resolve().parent.parent
    try:
        head = subprocess.run(["git", "-C", str(root), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, timeout=10)
        if head.returncode != 0:
            return "unknown (not a git checkout)"
        changed = subprocess.run(
            ["git", "-C", str(root), "diff", "--quiet", "HEAD", "--", "src", "CMakeLists.txt"],
            timeout=10,
        ).returncode != 0
    except (OSError, subprocess.SubprocessError):
        return "unknown"
    return f"git {head.stdout.strip()}" + (" with uncommitted changes in src" if changed else "")


def jit_state() -> str:
    """Whether the interpreter's JIT compiler runs (PYTHON_JIT=1 on builds that have it)."""
    jit = getattr(sys, "_jit", None)
    if jit is None or not jit.is_available():
        return "not built in"
    return "on" if jit.is_enabled() else "off (built in; PYTHON_JIT=1 turns it on)"


def print_machine(args: argparse.Namespace) -> None:
    import redis

    load = os.getloadavg()
    print("Machine")
    print(f"  CPU:           {cpu_model()}")
    print(f"  cores:         {os.cpu_count()} (usable by this process: "
          f"{len(os.sched_getaffinity(0))})")
    print(f"  kernel:        {platform.system()} {platform.release()}")
    print(f"  Python:        {platform.python_implementation()} {platform.python_version()} "
          f"({sys.executable})")
    print(f"  JIT:           {jit_state()}")
    server_version = command_output(shutil.which("redis-server") or "redis-server", "--version")
    print(f"  redis-server:  {server_version.split(' sha=')[0]}")
    try:
        import hiredis
        parser = f"hiredis {hiredis.__version__}" + ("" if hiredis_available() else
                                                      ", too old for this redis-py")
    except ImportError:
        parser = "redis-py's own (hiredis not installed)"
    print(f"  redis-py:      {redis.__version__}; reply parser: {parser}")
    print(f"  source:        {source_revision()}")
    print(f"  date:          {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}")
    print(f"  load average:  {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} (1, 5, 15 min) at start")
    mode = "--quick" if args.quick else "full"
    print(f"  run:           {mode}: {args.local_rounds} rounds (local), {args.remote_rounds} "
          f"rounds (remote)"
          + ("" if args.redis_benchmark else ", without redis-benchmark"))
    print()


# --- sections ----------------------------------------------------------------------------

def bench_local(args: argparse.Namespace) -> list[str]:
    t = Address("bench", "local")
    latch, inline = LocalLatch(), LocalLatch()
    py = PyLocalLatch()
    locks = {t: Lock()}
    for obj in (latch, inline, py):  # first acquisition makes the entries; pairs reuse them
        assert obj.acquire(t) is True
        obj.release(t)
    reps = args.local_reps
    reads = "inline, with the table reads"
    cases = [
        Case(reads,
             "t in o.locks; o.locks[t].acquire(timeout=-1); t in o.locks; o.locks[t].release()",
             {"o": inline, "t": t}, reps),
        Case("inline Python floor",
             "lock = locks[t]; lock.acquire(timeout=-1); lock.release()",
             {"locks": locks, "t": t}, reps),
        Case("inline, positional: lock.acquire(); lock.release()",
             "lock = locks[t]; lock.acquire(); lock.release()", {"locks": locks, "t": t}, reps),
        Case("LocalLatch", "latch.acquire(t); latch.release(t)", {"latch": latch, "t": t}, reps),
        Case("plain-Python class (PyLocalLatch)", "py.acquire(t); py.release(t)",
             {"py": py, "t": t}, reps),
    ]
    rounds = run_rounds(cases, args.local_rounds, 2, reps, args.local_blocks)
    ratios = [
        Ratio("LocalLatch / inline with the table reads", "LocalLatch", reads, "<= 0.85"),
        Ratio("plain-Python class / LocalLatch", "plain-Python class (PyLocalLatch)",
              "LocalLatch", ">= 1.70"),
        Ratio("LocalLatch / inline Python floor", "LocalLatch", "inline Python floor"),
        Ratio("LocalLatch / inline, positional", "LocalLatch",
              "inline, positional: lock.acquire(); lock.release()",
              note=("The floors do less than LocalLatch: one lookup per pair, where LocalLatch "
                    "reads the table twice in acquire and twice in release (four hash calls; "
                    "Address hashes in Python). The positional one is stricter still: "
                    "_thread.lock parses the keyword timeout=-1 far more slowly than no "
                    "argument, and LocalLatch passes the wait limit by position.")),
    ]
    width = label_width(rounds.net, [q.label for q in ratios])
    loop = fmt_ns(statistics.median(rounds.loop))
    print_rows(f"LocalLatch: uncontended acquire(t) + release(t), time per pair "
               f"({args.local_blocks} x {reps} pairs per round; bare loop {loop} subtracted)",
               rounds.net, "LocalLatch", width)
    verdicts = print_ratios(rounds, ratios, width)
    print()
    return verdicts


def bench_local_floor(args: argparse.Namespace) -> list[str]:
    """The pair on a str target beside the C floor, the inline steps and the plain class."""
    floor = build_c_floor()
    t = "orders/42"
    latch, inline, holder, py = LocalLatch(), LocalLatch(), LocalLatch(), PyLocalLatch()
    for obj in (latch, inline, holder, py):  # the entries exist before timing
        assert obj.acquire(t) is True
        obj.release(t)
    reps = args.local_reps
    mine, plain = "LocalLatch: latch.acquire(t); latch.release(t)", "plain-Python class"
    inline_steps = "inline steps (membership test and subscript, both halves)"
    c_floor = "C floor: floor.acquire(o, t); floor.release(o, t)"
    cases = [
        Case(mine, "latch.acquire(t); latch.release(t)", {"latch": latch, "t": t}, reps),
        Case(inline_steps,
             "t in o.locks; o.locks[t].acquire(timeout=-1); t in o.locks; o.locks[t].release()",
             {"o": inline, "t": t}, reps),
        Case(plain, "py.acquire(t); py.release(t)", {"py": py, "t": t}, reps),
    ]
    if floor is not None:
        assert floor.acquire(holder, t) is True
        floor.release(holder, t)
        assert not holder.locks[t].locked()
        cases.append(Case(c_floor, "floor.acquire(o, t); floor.release(o, t)",
                          {"floor": floor, "o": holder, "t": t}, reps))
    rounds = run_rounds(cases, args.local_rounds, 2, reps, args.local_blocks)
    ratios = [Ratio("LocalLatch / inline steps", mine, inline_steps, "<= 1.00")]
    if floor is not None:
        plain_over_floor = statistics.median(
            [a / b for a, b in zip(rounds.net[plain], rounds.net[c_floor])])
        applies = plain_over_floor >= 1.70
        ratios += [
            Ratio("LocalLatch / C floor", mine, c_floor, "<= 1.05"),
            Ratio("plain-Python class / C floor", plain, c_floor),
            Ratio("plain-Python class / LocalLatch (str target)", plain, mine,
                  ">= 1.60" if applies else "",
                  note=("" if applies else
                        f"The C floor itself is only {plain_over_floor:.2f} x faster than the "
                        "plain-Python class (< 1.70): the 1.60 target does not apply here."),
                  note_in_summary=not applies),
        ]
    else:
        ratios.append(Ratio("plain-Python class / LocalLatch (str target)", plain, mine))
    width = label_width(rounds.net, [q.label for q in ratios])
    print_rows(f"LocalLatch beside a C floor: acquire(t) + release(t) on t = {t!r}, time per "
               f"pair ({args.local_blocks} x {reps} pairs per round; bare loop subtracted)",
               rounds.net, mine, width)
    verdicts = print_ratios(rounds, ratios, width)
    print()
    return verdicts


def bench_properties(args: argparse.Namespace) -> list[str]:
    """Reading a property of ours against a Python property with the same result."""
    from quarn_data.lock.implementations.remote_latch import RemoteLatch

    local, py_local = LocalLatch(), PyLocalLatch()
    connected, py_connected = RemoteLatch(), PyRemoteProbe()
    connected.client = py_connected.client = object()  # is_connected reads only the attribute
    absent, py_absent = RemoteLatch(), PyRemoteProbe()  # before connect: no attribute at all
    pairs = [
        ("LocalLatch.is_connected", "Python property: return True", local, py_local,
         "is_connected"),
        ("LocalLatch.is_alive", "Python property: return True (is_alive)", local, py_local,
         "is_alive"),
        ("RemoteLatch.is_connected (client set)", "Python property: the same steps",
         connected, py_connected, "is_connected"),
        ("RemoteLatch.is_connected (no client yet)", "Python property: the same steps (unset)",
         absent, py_absent, "is_connected"),
    ]
    reps = args.local_reps
    cases, ratios = [], []
    for mine, theirs, obj, py_obj, attr in pairs:
        assert getattr(obj, attr) is getattr(py_obj, attr)
        body = f"o.{attr}; o.{attr}; o.{attr}; o.{attr}"
        cases += [Case(mine, body, {"o": obj}, reps), Case(theirs, body, {"o": py_obj}, reps)]
        ratios.append(Ratio(f"{mine} / Python property", mine, theirs, "<= 1.20"))
    # The least that a getter which is not a Python function costs: the interpreter inlines
    # a Python getter's frame, and reads any other through its generic attribute lookup.
    builtin = "property(operator.truth): a C builtin getter"
    truth = CGetter()
    assert truth.is_connected is True
    cases.append(Case(builtin, "o.is_connected; o.is_connected; o.is_connected; o.is_connected",
                      {"o": truth}, reps))
    ratios.append(Ratio("C builtin getter / Python property", builtin, pairs[0][1],
                        note=("The floor of any native getter on this interpreter: a property "
                              "over a C builtin that does nothing but answer.")))
    rounds = run_rounds(cases, args.local_rounds, 2, reps, args.local_blocks)
    width = label_width(rounds.net, [q.label for q in ratios])
    print_rows(f"Properties: four reads per row ({args.local_blocks} x {reps} per round; bare "
               "loop subtracted)", rounds.net, pairs[0][0], width)
    verdicts = print_ratios(rounds, ratios, width)
    print()
    return verdicts


def redis_benchmark_pair(port: int, requests: int) -> Callable[[], float]:
    """ns per pair (two SET requests) from `redis-benchmark -c 1 -t set`."""
    binary = shutil.which("redis-benchmark")
    if binary is None:
        raise RuntimeError("redis-benchmark not found (Debian package redis-tools)")

    def measure() -> float:
        out = subprocess.run(
            [binary, "-h", "127.0.0.1", "-p", str(port), "-c", "1", "-n", str(requests),
             "-t", "set", "--csv"],
            capture_output=True, text=True, timeout=120, check=True,
        ).stdout
        row = [line for line in out.splitlines() if line.startswith('"SET"')][0]
        rps = float(row.split(",")[1].strip('"'))
        return 2 * 1e9 / rps

    return measure


def hiredis_available() -> bool:
    """Whether redis-py would parse replies with hiredis (installed, and a version it takes)."""
    from redis.utils import HIREDIS_AVAILABLE
    return bool(HIREDIS_AVAILABLE)


def bench_remote(args: argparse.Namespace, port: int) -> list[str]:
    import redis

    from quarn_data.lock.implementations.remote_latch import RemoteLatch

    t = Address("bench", "remote")
    key = t.to_string()
    client = redis.Redis(host="127.0.0.1", port=port)
    latch = RemoteLatch()
    latch.connect("127.0.0.1", port=port)
    lock_name = "/bench/redis-py-lock"
    reused = client.lock(lock_name)
    # Check each row does a real acquire and release before timing it.
    assert latch.acquire(t, metadata=METADATA) is True
    assert client.get(key) == json.dumps(METADATA).encode()
    latch.release(t)
    assert client.exists(key) == 0
    assert reused.acquire(blocking=False) is True
    reused.release()

    reps = args.remote_reps
    cases: list[Case | External] = [
        Case("raw client: set(key, json.dumps(m), nx=True) + delete(key)",
             "client.set(key, json.dumps(m), nx=True); client.delete(key)",
             {"client": client, "key": key, "json": json, "m": METADATA}, reps),
        Case("RemoteLatch: acquire(t, metadata=m) + release(t)",
             "latch.acquire(t, metadata=m); latch.release(t)",
             {"latch": latch, "t": t, "m": METADATA}, reps),
        Case("redis-py Lock made once: acquire(blocking=False) + release()",
             "lk.acquire(blocking=False); lk.release()", {"lk": reused}, reps),
        Case("redis-py Lock made per pair: client.lock(name) + the same",
             "lk = client.lock(name); lk.acquire(blocking=False); lk.release()",
             {"client": client, "name": lock_name}, reps),
    ]
    # The reply parser: redis-py's own, in Python, or hiredis's C parser when installed.
    # Both latches are built like connect() builds one, on a pool told which parser to use.
    parsed = {"Python": "RemoteLatch pair, redis-py's Python parser",
              "hiredis": "RemoteLatch pair, hiredis parser"}
    parser_latches = []
    if hiredis_available():
        from redis.connection import _HiredisParser, _RESP2Parser
        for label, parser in ((parsed["Python"], _RESP2Parser),
                              (parsed["hiredis"], _HiredisParser)):
            other = RemoteLatch()
            other.client = redis.Redis(connection_pool=redis.ConnectionPool(
                host="127.0.0.1", port=port, parser_class=parser))
            assert other.acquire(t, metadata=METADATA) is True
            other.release(t)
            parser_latches.append(other)
            cases.append(Case(label, "latch.acquire(t, metadata=m); latch.release(t)",
                              {"latch": other, "t": t, "m": METADATA}, reps))
    c_floor = "C client floor: redis-benchmark -c 1, 2 x SET"
    if args.redis_benchmark:
        cases.append(External(c_floor, redis_benchmark_pair(port, args.redis_benchmark_requests)))
    rounds = run_rounds(cases, args.remote_rounds, 1, reps, args.remote_blocks)
    assert client.exists(key, lock_name) == 0
    client.flushall()
    client.close()
    latch.disconnect()
    for other in parser_latches:
        other.disconnect()

    raw = "raw client: set(key, json.dumps(m), nx=True) + delete(key)"
    mine = "RemoteLatch: acquire(t, metadata=m) + release(t)"
    lock_once = "redis-py Lock made once: acquire(blocking=False) + release()"
    lock_each = "redis-py Lock made per pair: client.lock(name) + the same"
    lock_over_raw = statistics.median(
        [a / b for a, b in zip(rounds.net[lock_once], rounds.net[raw])])
    reachable = lock_over_raw >= 1.35
    ratios = [
        Ratio("RemoteLatch / raw client calls", mine, raw, "<= 1.03"),
        Ratio("redis-py Lock (made once) / RemoteLatch", lock_once, mine, ">= 1.35"),
        Ratio("redis-py Lock (made once) / raw client calls", lock_once, raw, "",
              note=("The most that any wrapper of the raw calls can reach against Lock: "
                    + ("the 1.35 target is within reach here."
                       if reachable else
                       f"{lock_over_raw:.2f} < 1.35, so the 1.35 target against a Lock made "
                       "once is NOT reachable on this machine by any implementation that "
                       "sends these two requests.")),
              note_in_summary=True),
        Ratio("redis-py Lock (made per pair) / RemoteLatch", lock_each, mine, ""),
    ]
    if parser_latches:
        ratios.append(Ratio("Python parser / hiredis parser (RemoteLatch pair)",
                            parsed["Python"], parsed["hiredis"], ""))
    else:
        print("(hiredis is not installed: no rows comparing the reply parsers)")
    if args.redis_benchmark:
        ratios.append(Ratio("RemoteLatch / C client floor", mine, c_floor, ""))
        ratios.append(Ratio("raw client calls / C client floor", raw, c_floor, ""))
    width = label_width(rounds.net, [q.label for q in ratios])
    print_rows(f"RemoteLatch: uncontended pair on loopback, time per pair "
               f"({args.remote_blocks} x {reps} pairs per round, m = {json.dumps(METADATA)}; "
               "bare loop subtracted)", rounds.net, mine, width)
    verdicts = print_ratios(rounds, ratios, width)
    print()
    return verdicts


# --- handover latency ----------------------------------------------------------------------

WAITER = r"""
import sys, time
import redis
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address

port = int(sys.argv[1])
t = Address("bench", "handover")
latch = RemoteLatch()
latch.connect("127.0.0.1", port=port)
client = redis.Redis(host="127.0.0.1", port=port)
lock = client.lock(t.to_string() + "/redis-py", sleep=0.1)
print("ready", flush=True)
for line in sys.stdin:
    kind = line.strip()
    print("started", flush=True)
    # Blocking, polling every 0.1 s; the limit only keeps a fault from hanging the run.
    if kind == "latch":
        taken = latch.acquire(t, timeout_ms=10_000)
        end = time.monotonic_ns()
        if taken:
            latch.release(t)
    else:
        taken = lock.acquire(blocking_timeout=10)
        end = time.monotonic_ns()
        if taken:
            lock.release()
    print(end if taken else "timeout", flush=True)
"""


def handover_local(args: argparse.Namespace) -> dict[str, list[float]]:
    """release() in the main thread -> a waiting acquire() returning in another thread."""
    t = Address("bench", "handover")
    latch = LocalLatch()
    plain = Lock()
    rows: dict[str, tuple[Callable[[], Any], Callable[[], Any]]] = {
        "LocalLatch (thread -> thread)": (lambda: latch.acquire(t), lambda: latch.release(t)),
        "threading.Lock inline (thread -> thread)": (plain.acquire, plain.release),
    }
    go, started, done = Lock(), Lock(), Lock()
    for sem in (go, started, done):
        sem.acquire()
    state: dict[str, Any] = {"row": None, "end": 0, "stop": False}

    def waiter() -> None:
        while True:
            go.acquire()
            if state["stop"]:
                return
            acquire, release = rows[state["row"]]
            started.release()
            acquire()
            state["end"] = perf_ns()
            release()
            done.release()

    thread = threading.Thread(target=waiter, daemon=True)
    thread.start()
    out: dict[str, list[float]] = {label: [] for label in rows}
    gc.collect()
    gc.disable()
    try:
        for i in range(args.local_handovers * len(rows)):
            label = list(rows)[i % len(rows)]
            acquire, release = rows[label]
            assert acquire()
            state["row"] = label
            go.release()
            started.acquire()
            time.sleep(0.002)          # the waiter is now blocked inside acquire()
            begin = perf_ns()
            release()
            if not done.acquire(timeout=10):
                raise RuntimeError("local handover: the waiting thread did not get the lock")
            out[label].append(state["end"] - begin)
    finally:
        gc.enable()
        state["stop"] = True
        go.release()
        thread.join(timeout=10)
    return out


def handover_remote(args: argparse.Namespace, port: int) -> dict[str, list[float]]:
    """release() in this process -> a waiting acquire() returning in another process."""
    import redis

    from quarn_data.lock.implementations.remote_latch import RemoteLatch

    t = Address("bench", "handover")
    latch = RemoteLatch()
    latch.connect("127.0.0.1", port=port)
    client = redis.Redis(host="127.0.0.1", port=port)
    lock = client.lock(t.to_string() + "/redis-py", sleep=0.1)
    rows: dict[str, tuple[str, Callable[[], Any], Callable[[], Any]]] = {
        "RemoteLatch (process -> process, 0.1 s polling)":
            ("latch", lambda: latch.acquire(t, blocking=False), lambda: latch.release(t)),
        "redis-py Lock (process -> process, sleep=0.1)":
            ("lock", lambda: lock.acquire(blocking=False), lock.release),
    }
    waiter = subprocess.Popen([sys.executable, "-c", WAITER, str(port)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert waiter.stdin is not None and waiter.stdout is not None
    rng = random.Random(7)
    out: dict[str, list[float]] = {label: [] for label in rows}
    try:
        if waiter.stdout.readline().strip() != "ready":
            raise RuntimeError("remote handover: the waiting process did not start")
        gc.collect()
        gc.disable()
        for i in range(args.remote_handovers * len(rows)):
            label = list(rows)[i % len(rows)]
            kind, acquire, release = rows[label]
            assert acquire()
            waiter.stdin.write(kind + "\n")
            waiter.stdin.flush()
            assert waiter.stdout.readline().strip() == "started"
            # The waiter has made its first attempt and polls every 0.1 s from then on;
            # a random release time spreads the handovers over the polling phase.
            time.sleep(0.02 + rng.uniform(0.0, 0.1))
            begin = time.monotonic_ns()
            release()
            reply = waiter.stdout.readline().strip()
            if not reply.isdigit():
                raise RuntimeError(f"remote handover: the waiting process said {reply!r}")
            end = int(reply)
            out[label].append(end - begin)
    finally:
        gc.enable()
        waiter.stdin.close()
        try:
            waiter.wait(timeout=10)
        except subprocess.TimeoutExpired:
            waiter.kill()
            waiter.wait()
        waiter.stdout.close()
        client.close()
        latch.disconnect()
    return out


def bench_handover(args: argparse.Namespace, port: int) -> None:
    print("Handover latency: release() in one thread/process -> the waiting acquire() "
          "returns in another")
    print(f"  {'row':<52} {'median':>10} {'p90':>10} {'min':>10} {'max':>10} {'count':>6}")
    for label, values in handover_local(args).items():
        print_distribution(label, values)
    for label, values in handover_remote(args, port).items():
        print_distribution(label, values)
    print("  A waiting remote acquire polls every 0.1 s, so its handover takes up to ~100 ms "
          "by design;\n  the local one is the wake-up of a thread blocked in the lock.")
    print()


# --- memory ---------------------------------------------------------------------------

def lock_tables_bytes(n: int, timeout_ms: int, metadata: dict[str, Any] | None) -> int:
    """Bytes traced by tracemalloc for a LocalLatch after acquire+release of n targets."""
    targets = [Address("bench", "memory", str(i)) for i in range(n)]
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        latch = LocalLatch()
        for target in targets:
            latch.acquire(target, timeout_ms=timeout_ms, metadata=metadata)
            latch.release(target)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert len(latch.locks) == len(latch.lock_data) == n
    del latch
    return after - before


def bench_memory(args: argparse.Namespace) -> None:
    print("LocalLatch memory per target (both tables; the Address objects themselves are not "
          "counted)")
    print(f"  {'case':<52} {'targets':>10} {'bytes/target':>13}")
    caller_dict = {"owner": "bench"}
    scenarios = [
        ("timeout_ms=-1, metadata=None (data: new {})", -1, None),
        ("timeout_ms=5000, metadata=caller's dict (not counted)", 5000, caller_dict),
    ]
    for label, timeout_ms, metadata in scenarios:
        for n in args.memory_targets:
            per = lock_tables_bytes(n, timeout_ms, metadata) / n
            print(f"  {label:<52} {n:>10} {per:>13.1f}")
    # What one entry is made of, by sys.getsizeof.
    t = Address("bench", "memory", "one")
    latch = LocalLatch()
    latch.acquire(t)
    latch.release(t)
    lock, record = latch.locks[t], latch.lock_data[t]
    n = args.memory_targets[-1]
    big = LocalLatch()
    for i in range(n):
        target = Address("bench", "size", str(i))
        big.acquire(target)
        big.release(target)
    table_bytes = (sys.getsizeof(big.locks) + sys.getsizeof(big.lock_data)) / n
    print(f"  breakdown by sys.getsizeof: lock object {sys.getsizeof(lock)} B, LockObject "
          f"record {sys.getsizeof(record)} B, its data dict {sys.getsizeof(record.data)} B,")
    print(f"    dict slots of both tables {table_bytes:.1f} B/target at {n} targets (amortised: "
          "the tables grow by doubling);")
    print("    expires_at -1 is a shared small int; with a timeout it is a new int. tracemalloc "
          "also")
    print("    counts the OS semaphore of each lock (not seen by getsizeof); it counts "
          "requested sizes,")
    print("    not the allocator's slack.")
    print()


# --- main --------------------------------------------------------------------------------

SECTIONS = ("local", "local-floor", "properties", "remote", "handover", "memory")


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="few rounds and repetitions: a smoke run, well under a minute")
    parser.add_argument("--no-redis-benchmark", dest="redis_benchmark", action="store_false",
                        help="skip the C client floor (redis-benchmark)")
    parser.add_argument("--only", choices=SECTIONS, action="append",
                        help="run only this section (repeatable; default: all)")
    args = parser.parse_args(argv)
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


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    started = time.monotonic()
    print_machine(args)
    run = set(args.only or SECTIONS)
    verdicts = bench_local(args) if "local" in run else []
    verdicts += bench_local_floor(args) if "local-floor" in run else []
    verdicts += bench_properties(args) if "properties" in run else []
    if run & {"remote", "handover"}:
        with RedisServer() as server:
            verdicts += bench_remote(args, server.port) if "remote" in run else []
            if "handover" in run:
                bench_handover(args, server.port)
    if "memory" in run:
        bench_memory(args)
    print("Targets")
    for line in verdicts:
        print(f"  {line}")
    load = os.getloadavg()
    print(f"\nDone in {time.monotonic() - started:.0f} s; load average at end "
          f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
