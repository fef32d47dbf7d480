"""Benchmark result files -> the generated blocks of BENCHMARKS.md and README.md, and the
charts in charts/ with the numbers each draws beside it (charts/NAME.csv).

    python benchmarks/report.py                  # every result file of results/bench
    python benchmarks/report.py FILE.json ...    # the files given
    python benchmarks/report.py --check          # compare instead of writing
    python benchmarks/report.py --no-charts      # the blocks only

Reads the JSON files that the benchmarks write (kinds "bench", "instructions" and
"throughput"; results/README.md describes them) and rewrites only what lies between the
marker comments ``<!-- report:NAME -->`` and ``<!-- /report:NAME -->``. Rows, ratios and
sections are found by their ids; labels are only shown. Runs of the same interpreter build
are merged, the newest of each section winning; builds are shown in a fixed order
(pyenv's, then Debian's, each by version, the JIT off before on). With --check nothing is
written: the blocks and the charts' numbers are made from the files and compared with the
committed ones, and any difference fails (scripts/report --check, which CI runs).

Charts need matplotlib (``pip install "quarn-latches[bench]"``; scripts/report installs
it); --check needs none. Every figure is computed from the rounds in the files: a ratio is
the median of the per-round ratios, its whiskers the min and max of them.
"""

from __future__ import annotations

import argparse
import functools
import json
import re
import statistics
import sys
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from quarn_devkit.documents import pyplot, table, write_blocks, write_data

ROOT = Path(__file__).resolve().parent.parent
FORMAT = 2

# One colour per kind of row, the same in every chart: ours blue (LocalLatch) and purple
# (RemoteLatch), the same steps written directly in Python green, the alternatives written
# in Python orange (the plain class, redis-py's Lock made once) and brown (Lock made per
# pair), the C floors grey.
COLOURS = {"LocalLatch": "#1f77b4", "RemoteLatch": "#9467bd", "inline": "#2ca02c",
           "plain": "#ff7f0e", "lock_once": "#ff7f0e", "lock_each": "#8c564b",
           "c_floor": "#595959"}
# What each charted row is, by section and row id.
ROLES = {("local_floor", "latch"): "LocalLatch", ("local_floor", "inline"): "inline",
         ("local_floor", "plain"): "plain", ("local_floor", "c-floor"): "c_floor",
         ("remote", "latch"): "RemoteLatch", ("remote", "raw"): "inline",
         ("remote", "lock-once"): "lock_once", ("remote", "lock-each"): "lock_each",
         ("remote", "c-floor"): "c_floor", ("handover", "local"): "LocalLatch",
         ("handover", "threading"): "inline", ("handover", "remote"): "RemoteLatch",
         ("handover", "redis-lock"): "lock_once"}
SECTION_NAMES = {"local": "LocalLatch pair, `Address` target",
                 "local_floor": "LocalLatch pair, str target, beside the C floor",
                 "local_turns": "LocalLatch instances taking turns",
                 "properties": "Property reads",
                 "remote": "RemoteLatch pair on loopback"}
HANDOVER = ["local", "threading", "remote", "redis-lock"]
BLOCKS = {"machine", "builds", "ratios", "local-floor", "local-turns", "targets", "remote",
          "handover", "memory", "instructions", "throughput"}
README_BLOCKS = {"performance"}
CHARTS = ("local-pair", "remote-pair", "handover")


# --- the runs -----------------------------------------------------------------------------

@dataclass
class Build:
    """The runs of one interpreter build, merged: each section from the newest run."""

    label: str
    interpreter: dict[str, Any]
    runs: list[dict[str, Any]] = field(default_factory=list)
    sections: dict[str, dict[str, Any]] = field(default_factory=dict)
    instructions: dict[str, Any] | None = None

    @property
    def short(self) -> str:
        """E.g. "3.14.8 Debian JIT" (PGO and LTO go with Debian's builds here)."""
        py = self.interpreter
        words = [py["version"], {"pyenv": "pyenv", "debian": "Debian"}.get(py["origin"],
                                                                           py["origin"])]
        if py["jit"]["enabled"]:
            words.append("JIT")
        return " ".join(words)

    @property
    def debian_without_jit(self) -> bool:
        return bool(self.interpreter["origin"] == "debian" and not self.interpreter["jit"]["enabled"])

    def order(self) -> tuple[int, tuple[int, ...], bool]:
        py = self.interpreter
        version = tuple(int(x) for x in re.findall(r"\d+", py["version"])[:3])
        return ({"pyenv": 0, "debian": 1}.get(py["origin"], 2), version, py["jit"]["enabled"])


@dataclass
class Results:
    builds: list[Build]
    throughput: list[dict[str, Any]]


def load(paths: Iterable[Path]) -> Results:
    builds: dict[str, Build] = {}
    throughput = []
    for path in paths:
        data = json.loads(path.read_text())
        if data.get("format") != FORMAT:
            raise SystemExit(f"{path}: not a result file of format {FORMAT}")
        if data["kind"] == "throughput":
            throughput.append({**data, "path": path})
            continue
        if data["kind"] not in ("bench", "instructions"):
            continue
        build = builds.setdefault(data["label"], Build(data["label"], data["interpreter"]))
        if data["kind"] == "instructions":
            if build.instructions is None or data["date"] > build.instructions["date"]:
                build.instructions = data
        else:
            build.runs.append(data)
    for build in builds.values():
        for run in sorted(build.runs, key=lambda r: r["date"]):
            build.sections.update(run["sections"])
    return Results(sorted(builds.values(), key=Build.order),
                   sorted(throughput, key=lambda d: d["date"]))


def ratio_rounds(section: dict[str, Any], numerator: str, denominator: str,
                 over: Sequence[str] | None = None) -> list[float]:
    rows = section["rows"]
    each = [a / b for a, b in zip(rows[numerator]["net_ns"], rows[denominator]["net_ns"])]
    if over:
        each = [r / (a / b) for r, a, b in zip(each, rows[over[0]]["net_ns"],
                                                  rows[over[1]]["net_ns"])]
    return each


def ratio(section: dict[str, Any], ident: str) -> float | None:
    """The median of the per-round values of the section's ratio `ident`, if it has it."""
    for q in section["ratios"]:
        if q["id"] == ident:
            return statistics.median(ratio_rounds(section, q["numerator"], q["denominator"],
                                                  q.get("over")))
    return None


def median_ns(section: dict[str, Any], row: str) -> float:
    return float(statistics.median(section["rows"][row]["net_ns"]))


def meets(target: str, value: float) -> bool:
    op, bound = target.split()
    return value <= float(bound) if op == "<=" else value >= float(bound)


def percentile(values: Sequence[float], p: float) -> float:
    ordered = sorted(values)
    k = (len(ordered) - 1) * p
    lo, hi = int(k), min(int(k) + 1, len(ordered) - 1)
    return ordered[lo] + (ordered[hi] - ordered[lo]) * (k - lo)


def span(values: Iterable[float], digits: int = 2) -> str:
    """"a–b" of the smallest and largest, or one value when they print alike."""
    ordered = sorted(values)
    if not ordered:
        return "–"
    low, high = f"{ordered[0]:.{digits}f}", f"{ordered[-1]:.{digits}f}"
    return low if low == high else f"{low}–{high}"


# --- tables --------------------------------------------------------------------------------

def fmt_time(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.1f} ms"
    if ns >= 1e4:
        return f"{ns / 1e3:.0f} µs"
    if ns >= 1e3:
        return f"{ns / 1e3:.1f} µs"
    return f"{ns:.0f} ns"


def fmt_target(target: str) -> str:
    return target.replace("<=", "≤").replace(">=", "≥")


def machine_block(builds: Sequence[Build]) -> list[str]:
    runs = [run for b in builds for run in b.runs]
    machines = sorted({f"{r['machine']['cpu']}, {r['machine']['cores']} cores" for r in runs})
    systems = sorted({f"{r['machine']['os']} ({r['interpreter']['where']})" for r in runs})
    loads = [value for r in runs for value in (r["load_average"]["start"][0],
                                                r["load_average"]["end"][0])]
    dates = sorted(r["date"] for r in runs)
    servers = sorted({r["clients"]["redis_server"] for r in runs})
    return [f"{len(runs)} runs, from {dates[0]} to {dates[-1]}, on {' and '.join(machines)}, "
            f"under {' and '.join(systems)}; the 1-minute load average at the start and end of "
            f"each run was {span(loads)}. The remote rows talked to {' and '.join(servers)}."]


def builds_table(builds: Sequence[Build]) -> list[str]:
    rows = []
    for b in builds:
        py = b.interpreter
        origin = {"pyenv": "pyenv", "debian": f"Debian's package ({py['package']})"}.get(
            py["origin"], py["origin"])
        optimized = "+".join(n.upper() for n in ("pgo", "lto") if py.get(n)) or "no PGO or LTO"
        jit = ("on" if py["jit"]["enabled"] else "off") if py["jit"]["available"] else "none"
        for run in sorted(b.runs, key=lambda r: r["date"]):
            load = run["load_average"]
            rows.append([
                f"CPython {py['version']}", origin, optimized, jit,
                f"{py['where']}, {py['venv'] or '-'}",
                ", ".join(run["benchmarks"]) + ("" if run["mode"] == "full" else " (quick)"),
                run["date"], f"{load['start'][0]:.2f} → {load['end'][0]:.2f}",
                f"{run['source']['commit']}" + (" (src changed)" if run["source"]["changed_src"]
                                                 else ""),
                run["clients"]["redis_server"].replace(" server v=", " "),
            ])
    return table(["Interpreter", "Build", "Optimised", "JIT", "Where, venv", "Benchmarks",
                  "Date", "Load (1 min, start → end)", "Revision", "Server"], rows)


def ratios_table(builds: Sequence[Build]) -> list[str]:
    """Every ratio of the timed sections, one column per build: the median of the
    per-round ratios, marked where it misses its target or the target has no meaning."""
    header = ["Ratio (median of the per-round ratios)", "Target", *(b.short for b in builds)]
    rows: list[list[str]] = []
    marks: set[str] = set()
    for key, name in SECTION_NAMES.items():
        present = [b for b in builds if key in b.sections]
        if not present:
            continue
        rows.append([f"**{name}**", "", *([""] * len(builds))])
        ratios: dict[str, str] = {}
        for b in present:
            ratios.update({q["id"]: q["label"] for q in b.sections[key]["ratios"]})
        for ident, label in ratios.items():
            targets, cells = [], []
            for b in builds:
                section = b.sections.get(key)
                found = [q for q in section["ratios"] if q["id"] == ident] if section else []
                if section is None or not found:
                    cells.append("–")
                    continue
                q = found[0]
                value = statistics.median(ratio_rounds(section, q["numerator"],
                                                       q["denominator"], q.get("over")))
                cell = f"{value:.2f}"
                if q["target"]:
                    targets.append(q["target"])
                    if meets(q["target"], value):
                        pass
                    elif key == "properties" and out_of_reach(section, q["target"]):
                        cell += " ‡"
                        marks.add("‡")
                    else:
                        cell += " ✗"
                        marks.add("✗")
                cells.append(cell)
            shown = sorted(set(targets))
            target = " / ".join(fmt_target(t) for t in shown)
            if shown and len(targets) < sum(c != "–" for c in cells):
                target += " where it applies"
                for i, b in enumerate(builds):
                    q = [r for r in b.sections.get(key, {}).get("ratios", []) if r["id"] == ident]
                    if q and not q[0]["target"]:
                        cells[i] += " †"
                        marks.add("†")
            rows.append([label, target, *cells])
    lines = table(header, rows)
    notes = {"✗": "✗ misses its target at the median.",
             "†": "† the target does not apply on this build: the C floor itself is not "
                  "enough faster than the plain-Python class (the benchmark's note says by "
                  "how much).",
             "‡": "‡ out of reach for any native getter on this build: a property over a bare "
                  "C builtin already costs more than the target (row \"C builtin getter / "
                  "Python property\")."}
    if marks:
        lines.append("")
        lines += [notes[m] for m in ("✗", "†", "‡") if m in marks]
    return lines


def out_of_reach(section: dict[str, Any], target: str) -> bool:
    """Whether even a property over a bare C builtin misses `target` on this build."""
    value = ratio(section, "c-getter/python")
    return value is not None and not meets(target, value)


def local_floor_table(builds: Sequence[Build]) -> list[str]:
    rows = []
    for b in builds:
        s = b.sections.get("local_floor")
        if s is None or "c-floor" not in s["rows"]:
            continue
        r = {name: ratio_rounds(s, a, c) for name, (a, c) in {
            "ours/floor": ("latch", "c-floor"), "plain/ours": ("plain", "latch"),
            "plain/floor": ("plain", "c-floor"), "ours/inline": ("latch", "inline")}.items()}
        rows.append([b.short, *(f"{median_ns(s, k):.0f}" for k in
                                ("latch", "c-floor", "inline", "plain")),
                     *(f"{statistics.median(v):.2f}" for v in r.values()),
                     f"{min(r['ours/floor']):.2f}–{max(r['ours/floor']):.2f}",
                     str(len(r["ours/floor"]))])
    if not rows:
        return []
    return table(["Build", "ours ns", "C floor ns", "inline ns", "plain-Python ns",
                  "ours / floor", "plain-Python / ours", "plain-Python / floor",
                  "ours / inline", "ours / floor, min–max", "rounds"], rows)


def turns_table(builds: Sequence[Build]) -> list[str]:
    rows, turns = [], []
    for b in builds:
        s = b.sections.get("local_turns")
        if s is None:
            continue
        turns = s["params"]["turns"]
        last = turns[-1]
        cells = [f"{ratio(s, f'latch/plain-{k}'):.2f}" for k in turns]
        value = ratio(s, f"turns-{last}/1")
        assert value is not None
        target = next(q["target"] for q in s["ratios"] if q["id"] == f"turns-{last}/1")
        rows.append([b.short, *cells, f"{value:.2f}" + ("" if meets(target, value) else " ✗")])
    if not rows:
        return []
    return table(["Build", *(f"LocalLatch / plain-Python class, {k} instance"
                             f"{'s' if k > 1 else ''} taking turns" for k in turns),
                  f"that ratio, {turns[-1]} instances / 1 (target "
                  f"{fmt_target(targets_of(builds, 'local_turns')[0])})"], rows)


def targets_of(builds: Sequence[Build], key: str) -> list[str]:
    return sorted({q["target"] for b in builds if key in b.sections
                   for q in b.sections[key]["ratios"] if q["target"]})


def targets_block(builds: Sequence[Build]) -> list[str]:
    """Where the LocalLatch pair stands against its targets, over every build."""
    floor = [b for b in builds if "local_floor" in b.sections]
    if not floor:
        return []
    ours_floor = [ratio(b.sections["local_floor"], "latch/c-floor") for b in floor]
    ours_inline = [ratio(b.sections["local_floor"], "latch/inline") for b in floor]
    plain = [ratio(b.sections["local_floor"], "plain/latch") for b in floor]
    missed = [b.short for b in floor
              if any(q["target"] and not meets(q["target"], ratio(b.sections["local_floor"],
                                                                  q["id"]) or 0)
                     for q in b.sections["local_floor"]["ratios"])]
    verdict = ("All of them are met on every build here" if not missed else
               f"Missed on {', '.join(missed)}; met elsewhere")
    return [f"{verdict} ({len(floor)} builds, medians of the per-round ratios): "
            f"{span(v for v in ours_floor if v is not None)}× the C floor, "
            f"{span(v for v in ours_inline if v is not None)}× the inline steps, and the "
            f"plain-Python class {span(v for v in plain if v is not None)}× slower."]


def remote_table(builds: Sequence[Build]) -> list[str]:
    rows = []
    for b in builds:
        s = b.sections.get("remote")
        if s is None:
            continue
        cells = [fmt_time(median_ns(s, k)) if k in s["rows"] else "–"
                 for k in ("latch", "raw", "lock-once", "lock-each", "parser-python",
                           "parser-hiredis", "c-floor")]
        ratios = [f"{value:.2f}" if (value := ratio(s, ident)) is not None else "–"
                  for ident in ("latch/raw", "lock-once/raw", "parser-python/hiredis",
                                "latch/c-floor")]
        rows.append([b.short, *cells, *ratios])
    if not rows:
        return []
    return table(["Build", "RemoteLatch", "raw client calls", "Lock made once",
                  "Lock made per pair", "Python parser", "hiredis parser", "C client floor",
                  "RemoteLatch / raw", "Lock (once) / raw", "Python / hiredis parser",
                  "RemoteLatch / C floor"], rows)


def handover_table(builds: Sequence[Build]) -> list[str]:
    rows = []
    labels: dict[str, str] = {}
    for b in builds:
        s = b.sections.get("handover")
        if s is None:
            continue
        cells = []
        for ident in HANDOVER:
            values = s["rows"][ident]["ns"]
            labels[ident] = s["rows"][ident]["label"]
            cells.append(f"{fmt_time(statistics.median(values))} / "
                         f"{fmt_time(percentile(values, 0.9))} / {fmt_time(max(values))}")
        counts = sorted({len(s["rows"][ident]["ns"]) for ident in HANDOVER})
        rows.append([b.short, *cells, " / ".join(map(str, counts))])
    if not rows:
        return []
    return table(["Build (median / p90 / max)", *(labels[i] for i in HANDOVER),
                  "handovers per row"], rows)


def memory_table(builds: Sequence[Build]) -> list[str]:
    rows = []
    header: list[str] = []
    for b in builds:
        s = b.sections.get("memory")
        if s is None:
            continue
        cells = {(r["case"], r["targets"]): (r["label"], r["bytes_per_target"])
                 for r in s["rows"]}
        if not header:
            header = ["Build", *(f"{label}, {n:,} targets" for (_, n), (label, _) in
                                 cells.items())]
        g = s["getsizeof"]
        rows.append([b.short, *(f"{v:.0f} B" for _, v in cells.values()),
                     f"{g['lock']} / {g['record']} / {g['data_dict']} / "
                     f"{g['table_slots_per_target']:.0f} B"])
    if not header:
        return []
    return table([*header, "lock / record / data dict / table slots per target "
                  "(sys.getsizeof)"], rows)


def instructions_table(builds: Sequence[Build]) -> list[str]:
    counted = [b for b in builds if b.instructions]
    if not counted:
        return []
    labels: dict[str, str] = {}
    for b in counted:
        assert b.instructions is not None
        labels.update({row: data["label"] for row, data in b.instructions["rows"].items()})
    rows = []
    for row, label in labels.items():
        cells = []
        for b in counted:
            assert b.instructions is not None
            found = b.instructions["rows"].get(row)
            cells.append(f"{found['instructions']:,}" if found else "–")
        rows.append([f"{label} (`{row}`)", *cells])
    return table(["Loop (instructions per iteration, the bare loop subtracted)",
                  *(b.short for b in counted)], rows)


def throughput_table(runs: Sequence[dict[str, Any]]) -> list[str]:
    if not runs:
        return []
    run = runs[-1]
    by_id = {r["id"]: r for r in run["rows"]}
    counts = sorted({r["processes"] for r in run["rows"]})
    py, load = run["interpreter"], run["load_average"]
    rows = []
    for n in counts:
        cells = [n]
        for target in ("server", "cluster"):
            r = by_id.get(f"{target}-{n}")
            cells += (["–", "–"] if r is None else
                      [f"{r['pairs_per_s']:,}", f"{r['servers_cpu']:.0%} / {r['clients_cpu']:.0%}"])
        rows.append([str(c) for c in cells])
    return [f"Taken {run['date']} by `{run['command'][0]}` ({run['seconds']:g} s per row) with "
            f"{run['clients']['redis_server']}, redis-py {run['clients']['redis_py']} and "
            f"CPython {py['version']} ({py['origin']}), on {run['machine']['cores']} cores; load "
            f"average {load['start'][0]:.2f} at the start, {load['end'][0]:.2f} at the end.", "",
            *table(["Processes", "One server: pairs/s", "CPU used: servers / clients",
                    "Cluster, 3 masters: pairs/s", "CPU used: servers / clients"], rows)]


def performance_block(builds: Sequence[Build]) -> list[str]:
    """README's "in short": the ranges over every build."""
    def values(key: str, ident: str, keep: Callable[[Build], bool] = lambda b: True) -> list[float]:
        return [v for b in builds if key in b.sections and keep(b)
                if (v := ratio(b.sections[key], ident)) is not None]

    floor, plain = values("local_floor", "latch/c-floor"), values("local_floor", "plain/latch")
    plain_address, turns = values("local", "plain/latch"), values("local_turns", "turns-8/1")
    debian = values("properties", "local-connected/python", lambda b: b.debian_without_jit)
    other = [b for b in builds if not b.debian_without_jit]
    builtin = values("properties", "c-getter/python", lambda b: b in other)
    ours_other = values("properties", "local-connected/python", lambda b: b in other)
    remote, parsers = values("remote", "latch/raw"), values("remote", "parser-python/hiredis")
    if not (floor and plain and remote):
        return []
    versions = sorted({b.interpreter["version"] for b in builds},
                      key=lambda v: tuple(int(x) for x in v.split(".")))
    text = (f"In short, over the {len(builds)} interpreter builds measured (CPython "
            f"{versions[0]} to {versions[-1]}, the JIT off and on): a `LocalLatch` acquire + "
            f"release pair costs {span(floor)}× what two plain C functions doing the same "
            f"steps through the C API cost (a floor that the benchmark builds), and a "
            f"plain-Python class doing the same work costs {span(plain)}× as much as ours on a "
            f"str target")
    if plain_address:
        text += f" ({span(plain_address)}× on an `Address` target, whose hash runs Python code)"
    text += "."
    if turns:
        text += (f" With eight instances taking turns, that lead is {span(turns)}× what it is "
                 "with one.")
    if debian:
        text += (f" Reading `is_connected` costs {span(debian)}× what a Python property "
                 "costs on Debian's PGO builds with the JIT off")
        if builtin and ours_other:
            text += (f"; on the others even a property over a bare C builtin costs "
                     f"{span(builtin)}× a Python property, and ours {span(ours_other)}×")
        text += "."
    text += (f" A `RemoteLatch` pair costs {span(remote)}× the raw `set(..., nx=True)` + "
             "`delete` client calls")
    if parsers:
        text += (f", and with redis-py's own reply parser {span(parsers)}× what it costs with "
                 "hiredis, which the `remote-latch` extra brings")
    return [text + "."]


# --- charts --------------------------------------------------------------------------------

@dataclass
class Bars:
    """A grouped bar chart of per-round ratios to a baseline row, one group per build."""

    key: str
    baseline: str
    baseline_name: str
    rows: Sequence[tuple[str, str]]
    title: str
    ylabel: str
    tick_note: str

    def shown(self, builds: Sequence[Build]) -> list[Build]:
        return [b for b in builds if self.key in b.sections
                and self.baseline in b.sections[self.key]["rows"]]

    def data(self, builds: Sequence[Build]) -> list[list[object]]:
        """The numbers drawn: per build and row, the median, min and max of the ratios."""
        out: list[list[object]] = [["build", "row", "median", "min", "max", "rounds"]]
        for b in self.shown(builds):
            s = b.sections[self.key]
            for ident, _ in self.rows:
                if ident in s["rows"]:
                    each = ratio_rounds(s, ident, self.baseline)
                    out.append([b.short, ident, round(statistics.median(each), 3),
                                round(min(each), 3), round(max(each), 3), len(each)])
        return out

    def draw(self, plt: Any, path: Path, *, builds: Sequence[Build]) -> None:
        shown = self.shown(builds)
        fig, ax = plt.subplots(figsize=(8, 5), layout="constrained")
        width = 0.8 / len(self.rows)
        top: float = 1.0  # the axis ends above the highest median: a wild round is a number
        clipped: list[tuple[float, float]] = []
        rounds = set()
        for i, (ident, name) in enumerate(self.rows):
            xs, meds, lows, highs = [], [], [], []
            for x, b in enumerate(shown):
                s = b.sections[self.key]
                if ident not in s["rows"]:
                    continue
                each = ratio_rounds(s, ident, self.baseline)
                rounds.add(len(each))
                med = statistics.median(each)
                xs.append(x + (i - (len(self.rows) - 1) / 2) * width)
                meds.append(med)
                lows.append(med - min(each))
                highs.append(max(each) - med)
                top = max(top, med)
                clipped.append((xs[-1], max(each)))
            ax.bar(xs, meds, width * 0.92, color=COLOURS[ROLES[(self.key, ident)]], label=name,
                   yerr=[lows, highs], error_kw={"elinewidth": 0.9, "capsize": 2,
                                                 "ecolor": "#333333"})
            for middle, med in zip(xs, meds):
                ax.annotate(f"{med:.2f}", (middle, 0), xytext=(0, 3), textcoords="offset points",
                            ha="center", va="bottom", fontsize=7, rotation=90,
                            bbox={"boxstyle": "round,pad=0.15", "fc": "white", "ec": "none",
                                  "alpha": 0.85})
        ax.axhline(1.0, color=COLOURS[ROLES[(self.key, self.baseline)]], linestyle="--",
                   linewidth=1.2, label=f"{self.baseline_name} = 1")
        ticks = [f"{b.short.replace(' ', chr(10), 1)}\n{self.tick_note} "
                 f"{fmt_time(median_ns(b.sections[self.key], self.baseline))}" for b in shown]
        ax.set_xticks(range(len(shown)), ticks, fontsize=8)
        top *= 1.6
        ax.set_ylim(0, top)
        for middle, highest in clipped:
            if highest > top:
                ax.annotate(f"↑{highest:.0f}", (middle, top), xytext=(0, -2),
                            textcoords="offset points", ha="center", va="top", fontsize=6.5)
        ax.set_ylabel(self.ylabel)
        ax.set_xlabel("interpreter build, and the baseline's median time per pair")
        ax.set_title(f"{self.title}\n(median of the per-round ratios; whiskers: min–max over "
                     f"{'/'.join(map(str, sorted(rounds)))} rounds, ↑ the max of one cut off)")
        fig.legend(fontsize=8, loc="outside lower center",
                   ncols=4 if len(self.rows) < 4 else 3, frameon=False)
        ax.grid(axis="y", linewidth=0.4, alpha=0.5)
        fig.savefig(path)
        plt.close(fig)


LOCAL_BARS = Bars(
    "local_floor", "c-floor", "C floor (benchmarks/floor.c)",
    [("latch", "LocalLatch"), ("inline", "the steps inline in Python"),
     ("plain", "plain-Python class")],
    "LocalLatch acquire + release pair on a str target, against the C floor",
    "time per pair ÷ the C floor's (×)", "floor")
REMOTE_BARS = Bars(
    "remote", "raw", "raw client calls (set NX + delete)",
    [("latch", "RemoteLatch"), ("lock-once", "redis-py Lock, made once"),
     ("lock-each", "redis-py Lock, made per pair"),
     ("c-floor", "C client floor (redis-benchmark -c 1)")],
    "RemoteLatch acquire + release pair on loopback, against the raw client calls",
    "time per pair ÷ the raw calls' (×)", "raw")


def handover_build(builds: Sequence[Build], reference: str) -> Build | None:
    chosen = [b for b in builds if "handover" in b.sections
              and (not reference or reference in (b.short, b.label))]
    return chosen[0] if chosen else None


def handover_data(b: Build) -> list[list[object]]:
    out: list[list[object]] = [["build", "row", "median_ms", "p90_ms", "max_ms", "handovers"]]
    for ident in HANDOVER:
        values = b.sections["handover"]["rows"][ident]["ns"]
        out.append([b.short, ident, round(statistics.median(values) / 1e6, 4),
                    round(percentile(values, 0.9) / 1e6, 4), round(max(values) / 1e6, 4),
                    len(values)])
    return out


def handover_chart(plt: Any, path: Path, b: Build) -> None:
    rows = b.sections["handover"]["rows"]
    fig, ax = plt.subplots(figsize=(8, 4.8), layout="constrained")
    for ident in HANDOVER:
        values = sorted(v / 1e9 for v in rows[ident]["ns"])
        fractions = [0.0] + [(i + 1) / len(values) for i in range(len(values))]
        ax.step([values[0], *values], fractions, where="post",
                color=COLOURS[ROLES[("handover", ident)]], linewidth=1.6,
                linestyle="-" if ident in ("local", "threading") else "--",
                label=f"{rows[ident]['label']} (n = {len(values)})")
    ax.set_xscale("log")
    ticks = [1e-5, 1e-4, 1e-3, 1e-2, 1e-1]
    ax.set_xticks(ticks, ["10 µs", "100 µs", "1 ms", "10 ms", "100 ms"])
    ax.set_xlim(min(ticks[0], min(min(r["ns"]) for r in rows.values()) / 1e9 * 0.8), 0.2)
    ax.set_ylim(0, 1.02)
    ax.set_xlabel("handover latency: release() → the waiting acquire() returns (seconds, "
                  "log scale)")
    ax.set_ylabel("fraction of handovers at or below it")
    ax.set_title(f"Handover latency, CPython {b.short}\n(a waiting RemoteLatch polls every "
                 "0.1 s, so its handovers spread over 0–100 ms by design)")
    fig.legend(fontsize=8, loc="outside lower center", ncols=2, frameon=False)
    ax.grid(linewidth=0.4, alpha=0.5)
    fig.savefig(path)
    plt.close(fig)


# --- main ---------------------------------------------------------------------------------

def default_files() -> list[Path]:
    return [p for p in sorted((ROOT / "results" / "bench").glob("*.json"))
            if not p.name.endswith("-quick.json")]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", type=Path,
                        help="result files (default: those of results/bench, but the --quick "
                        "runs)")
    parser.add_argument("--check", action="store_true",
                        help="compare the documents and the charts' numbers with what the "
                        "results give, write nothing, fail on a difference")
    parser.add_argument("--benchmarks", type=Path, default=ROOT / "BENCHMARKS.md",
                        help="the document of the tables (default BENCHMARKS.md)")
    parser.add_argument("--readme", type=Path, default=ROOT / "README.md",
                        help="the document of the summary (default README.md)")
    parser.add_argument("--charts", type=Path, default=ROOT / "charts",
                        help="folder of the charts and their numbers (default charts/)")
    parser.add_argument("--no-charts", dest="draw", action="store_false",
                        help="write the blocks and the charts' numbers, draw no chart")
    parser.add_argument("--handover-build", default="",
                        help="the build whose handover latency is drawn, e.g. "
                        "'3.14.8 Debian' (default: the first build shown)")
    args = parser.parse_args(argv)
    files = args.files or default_files()
    if not files:
        print("benchmarks: no result files given, and none in results/bench")
        return 0
    found = load(files)
    builds = [b for b in found.builds if b.runs]
    if not (found.builds or found.throughput):
        print("benchmarks: no result file of the benchmarks among those given")
        return 0
    drift: list[str] = []
    if builds:
        blocks = {"machine": machine_block(builds), "builds": builds_table(builds),
                  "ratios": ratios_table(builds), "local-floor": local_floor_table(builds),
                  "local-turns": turns_table(builds), "targets": targets_block(builds),
                  "remote": remote_table(builds), "handover": handover_table(builds),
                  "memory": memory_table(builds), "instructions": instructions_table(found.builds),
                  "throughput": throughput_table(found.throughput)}
        drift += write_blocks(args.benchmarks, {k: v for k, v in blocks.items() if v}, BLOCKS,
                              args.check)
        summary = performance_block(builds)
        if summary:
            drift += write_blocks(args.readme, {"performance": summary}, README_BLOCKS,
                                  args.check)
    charts: dict[str, tuple[list[list[object]], Callable[[Any, Path], None]]] = {}
    for name, bars in (("local-pair", LOCAL_BARS), ("remote-pair", REMOTE_BARS)):
        if bars.shown(builds):
            charts[name] = (bars.data(builds), functools.partial(bars.draw, builds=builds))
    chosen = handover_build(builds, args.handover_build)
    if chosen is not None:
        charts["handover"] = (handover_data(chosen),
                              lambda plt, path: handover_chart(plt, path, chosen))
    plt = pyplot() if args.draw and not args.check and charts else None
    args.charts.mkdir(parents=True, exist_ok=True)
    for name, (data, draw) in charts.items():
        drift += write_data(args.charts / f"{name}.csv", data, args.check)
        if plt is not None:
            draw(plt, args.charts / f"{name}.png")
    if args.check:
        for text in drift:
            print(text)
        print(f"benchmarks: {'no difference' if not drift else f'{len(drift)} differences'} "
              f"from {len(files)} result files")
        return 1 if drift else 0
    for text in drift:
        print(text)
    print(f"{args.benchmarks.name}, {args.readme.name} and charts "
          f"({', '.join(charts) or 'none'}) written from {len(files)} result files")
    return 0


if __name__ == "__main__":
    sys.exit(main())
