"""Result files -> the tables of BENCHMARKS.md and RELIABILITY.md, and the PNG charts.

    python benchmarks/report.py                  # every result file in results/
    python benchmarks/report.py FILE.json ...    # the files given
    python benchmarks/report.py --no-charts ...  # the tables only

Reads the JSON files that the benchmarks (kind "bench") and scripts/faults (kind
"faults") write, and rewrites only what lies between the marker comments
``<!-- report:NAME -->`` and ``<!-- /report:NAME -->`` of the two documents; everything
around them is hand-written and left as it is. A block whose data is not among the files
given is left alone too. Runs of the same interpreter build are merged, the newest of each
section winning; builds are shown in a fixed order (pyenv's, then Debian's, each by
version, the JIT off before on).

Charts need matplotlib (``pip install "quarn-latches[bench]"``; scripts/report installs
it). Every figure is computed from the rounds in the files: a ratio is the median of the
per-round ratios, its whiskers the min and max of them.
"""

from __future__ import annotations

import argparse
import json
import re
import statistics
import sys
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent

# One colour per row, the same in every chart: ours blue (LocalLatch) and purple
# (RemoteLatch), the same steps written directly in Python green, the alternatives written
# in Python orange (the plain class, redis-py's Lock made once) and brown (Lock made per
# pair), the C floors grey.
COLOURS = {
    "LocalLatch": "#1f77b4",
    "RemoteLatch": "#9467bd",
    "inline": "#2ca02c",
    "plain": "#ff7f0e",
    "lock_once": "#ff7f0e",
    "lock_each": "#8c564b",
    "c_floor": "#595959",
}
# What each chart row is, by the label the benchmark gives it.
ROLES = {
    "LocalLatch: latch.acquire(t); latch.release(t)": "LocalLatch",
    "inline steps (membership test and subscript, both halves)": "inline",
    "plain-Python class": "plain",
    "C floor: floor.acquire(o, t); floor.release(o, t)": "c_floor",
    "RemoteLatch: acquire(t, metadata=m) + release(t)": "RemoteLatch",
    "raw client: set(key, json.dumps(m), nx=True) + delete(key)": "inline",
    "redis-py Lock made once: acquire(blocking=False) + release()": "lock_once",
    "redis-py Lock made per pair: client.lock(name) + the same": "lock_each",
    "C client floor: redis-benchmark -c 1, 2 x SET": "c_floor",
    "LocalLatch (thread -> thread)": "LocalLatch",
    "threading.Lock inline (thread -> thread)": "inline",
    "RemoteLatch (process -> process, 0.1 s polling)": "RemoteLatch",
    "redis-py Lock (process -> process, sleep=0.1)": "lock_once",
}
SECTION_NAMES = {
    "local": "LocalLatch pair, `Address` target",
    "local_floor": "LocalLatch pair, str target, beside the C floor",
    "properties": "Property reads",
    "remote": "RemoteLatch pair on loopback",
}
LOCAL = {"ours": "LocalLatch: latch.acquire(t); latch.release(t)",
         "floor": "C floor: floor.acquire(o, t); floor.release(o, t)",
         "inline": "inline steps (membership test and subscript, both halves)",
         "plain": "plain-Python class"}
REMOTE = {"ours": "RemoteLatch: acquire(t, metadata=m) + release(t)",
          "raw": "raw client: set(key, json.dumps(m), nx=True) + delete(key)",
          "once": "redis-py Lock made once: acquire(blocking=False) + release()",
          "each": "redis-py Lock made per pair: client.lock(name) + the same",
          "python": "RemoteLatch pair, redis-py's Python parser",
          "hiredis": "RemoteLatch pair, hiredis parser",
          "floor": "C client floor: redis-benchmark -c 1, 2 x SET"}
HANDOVER = ["LocalLatch (thread -> thread)", "threading.Lock inline (thread -> thread)",
            "RemoteLatch (process -> process, 0.1 s polling)",
            "redis-py Lock (process -> process, sleep=0.1)"]
BUILTIN_GETTER = "C builtin getter / Python property"
# One colour per outcome of a call in a fault's timeline, the same in every chart: what the
# call returned in greens and grey, the client's errors in reds, oranges and purple.
OUTCOME_COLOURS = {"True": "#2ca02c", "False": "#7f7f7f", "None": "#98df8a",
                   "ConnectionError": "#d62728", "MasterNotFoundError": "#fdae61",
                   "TimeoutError": "#8c2d04", "ClusterDownError": "#6a3d9a"}
OUTCOME_NAMES = {"True": "acquire returned True", "False": "acquire returned False",
                 "None": "release returned"}
OTHER_ERROR = "#e377c2"
# A timeline chart shows the first trials whose lanes (one per caller) fit in this many,
# and at least one trial: taller is no longer readable at the README's width.
MAX_LANES = 24


# --- the runs -----------------------------------------------------------------------------

@dataclass
class Build:
    """The runs of one interpreter build, merged: each section from the newest run."""

    label: str
    interpreter: dict[str, Any]
    runs: list[dict[str, Any]] = field(default_factory=list)
    sections: dict[str, dict[str, Any]] = field(default_factory=dict)
    section_runs: dict[str, dict[str, Any]] = field(default_factory=dict)

    @property
    def short(self) -> str:
        """E.g. "3.14.8 Debian JIT" (PGO and LTO go with Debian's builds here)."""
        py = self.interpreter
        words = [py["version"], {"pyenv": "pyenv", "debian": "Debian"}.get(py["origin"],
                                                                           py["origin"])]
        if py["jit"]["enabled"]:
            words.append("JIT")
        return " ".join(words)

    def order(self) -> tuple[int, tuple[int, ...], bool]:
        py = self.interpreter
        version = tuple(int(x) for x in re.findall(r"\d+", py["version"])[:3])
        return ({"pyenv": 0, "debian": 1}.get(py["origin"], 2), version, py["jit"]["enabled"])


def load(paths: Iterable[Path]) -> tuple[list[Build], list[tuple[Path, dict[str, Any]]]]:
    """The bench runs grouped by build (in display order), and the faults files."""
    builds: dict[str, Build] = {}
    faults = []
    for path in paths:
        data = json.loads(path.read_text())
        if data.get("format") != 1:
            raise SystemExit(f"{path}: not a result file of format 1")
        if data["kind"] == "faults":
            faults.append((path, data))
            continue
        build = builds.setdefault(data["label"], Build(data["label"], data["interpreter"]))
        build.runs.append(data)
    for build in builds.values():
        for run in sorted(build.runs, key=lambda r: r["date"]):
            for key, section in run["sections"].items():
                build.sections[key] = section
                build.section_runs[key] = run
    return sorted(builds.values(), key=Build.order), faults


def ratio_rounds(section: dict[str, Any], numerator: str, denominator: str) -> list[float]:
    rows = section["rows"]
    return [a / b for a, b in zip(rows[numerator]["net_ns"], rows[denominator]["net_ns"])]


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


def table(header: Sequence[str], rows: Iterable[Sequence[str]]) -> list[str]:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return lines


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
        labels: dict[str, None] = {}
        for b in present:
            labels.update(dict.fromkeys(q["label"] for q in b.sections[key]["ratios"]))
        for label in labels:
            targets = []
            cells = []
            for b in builds:
                section = b.sections.get(key)
                found = [q for q in section["ratios"] if q["label"] == label] if section else []
                if section is None or not found:
                    cells.append("–")
                    continue
                q = found[0]
                value = statistics.median(ratio_rounds(section, q["numerator"],
                                                       q["denominator"]))
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
                    q = [r for r in b.sections.get(key, {}).get("ratios", [])
                         if r["label"] == label]
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
    floor = [q for q in section["ratios"] if q["label"] == BUILTIN_GETTER]
    if not floor:
        return False
    value = statistics.median(ratio_rounds(section, floor[0]["numerator"],
                                           floor[0]["denominator"]))
    return not meets(target, value)


def local_floor_table(builds: Sequence[Build]) -> list[str]:
    rows = []
    for b in builds:
        s = b.sections.get("local_floor")
        if s is None or LOCAL["floor"] not in s["rows"]:
            continue
        r = {k: ratio_rounds(s, LOCAL[a], LOCAL[c]) for k, (a, c) in {
            "ours/floor": ("ours", "floor"), "plain/ours": ("plain", "ours"),
            "plain/floor": ("plain", "floor"), "ours/inline": ("ours", "inline")}.items()}
        rows.append([b.short, *(f"{median_ns(s, LOCAL[k]):.0f}" for k in
                                ("ours", "floor", "inline", "plain")),
                     *(f"{statistics.median(v):.2f}" for v in r.values()),
                     f"{min(r['ours/floor']):.2f}–{max(r['ours/floor']):.2f}",
                     str(len(r["ours/floor"]))])
    return table(["Build", "ours ns", "C floor ns", "inline ns", "plain-Python ns",
                  "ours / floor", "plain-Python / ours", "plain-Python / floor",
                  "ours / inline", "ours / floor, min–max", "rounds"], rows)


def remote_table(builds: Sequence[Build]) -> list[str]:
    rows = []
    for b in builds:
        s = b.sections.get("remote")
        if s is None:
            continue
        cells = [fmt_time(median_ns(s, REMOTE[k])) if REMOTE[k] in s["rows"] else "–"
                 for k in ("ours", "raw", "once", "each", "python", "hiredis", "floor")]
        ratios = []
        for a, c in (("ours", "raw"), ("once", "raw"), ("python", "hiredis"), ("ours", "floor")):
            ok = REMOTE[a] in s["rows"] and REMOTE[c] in s["rows"]
            ratios.append(f"{statistics.median(ratio_rounds(s, REMOTE[a], REMOTE[c])):.2f}"
                          if ok else "–")
        rows.append([b.short, *cells, *ratios])
    return table(["Build", "RemoteLatch", "raw client calls", "Lock made once",
                  "Lock made per pair", "Python parser", "hiredis parser", "C client floor",
                  "RemoteLatch / raw", "Lock (once) / raw", "Python / hiredis parser",
                  "RemoteLatch / C floor"], rows)


def handover_table(builds: Sequence[Build]) -> list[str]:
    rows = []
    for b in builds:
        s = b.sections.get("handover")
        if s is None:
            continue
        cells = []
        for label in HANDOVER:
            values = s["rows"][label]["ns"]
            cells.append(f"{fmt_time(statistics.median(values))} / "
                         f"{fmt_time(percentile(values, 0.9))} / {fmt_time(max(values))}")
        counts = sorted({len(s["rows"][label]["ns"]) for label in HANDOVER})
        rows.append([b.short, *cells, " / ".join(map(str, counts))])
    return table(["Build (median / p90 / max)", "LocalLatch, thread → thread",
                  "threading.Lock, thread → thread", "RemoteLatch, process → process",
                  "redis-py Lock, process → process", "handovers per row"], rows)


def memory_table(builds: Sequence[Build]) -> list[str]:
    rows = []
    header: list[str] = []
    for b in builds:
        s = b.sections.get("memory")
        if s is None:
            continue
        cells = {(r["case"], r["targets"]): r["bytes_per_target"] for r in s["rows"]}
        if not header:
            header = ["Build", *(f"{case}, {n:,} targets" for case, n in cells)]
        g = s["getsizeof"]
        rows.append([b.short, *(f"{v:.0f} B" for v in cells.values()),
                     f"{g['lock']} / {g['record']} / {g['data_dict']} / "
                     f"{g['table_slots_per_target']:.0f} B"])
    if not header:
        return []
    return table([*header, "lock / record / data dict / table slots per target "
                  "(sys.getsizeof)"], rows)


def timeline_summary(faults: Sequence[tuple[Path, dict[str, Any]]]) -> list[str]:
    """Per row with timelines, per caller: the calls and the seconds from the fault until
    the caller's first successful acquire, median / max over the trials."""
    rows = []
    sources = []
    for path, data in faults:
        sources.append(f"`{path.relative_to(ROOT) if path.is_relative_to(ROOT) else path.name}` "
                       f"({data['clients']['redis_server']}, CPython "
                       f"{data['interpreter']['version']}, {data['date']}, "
                       f"{data['trials']} trials)")
        for row in data["rows"]:
            by_caller: dict[str, list[tuple[int, float]]] = {}
            for timeline in row.get("timelines", []):
                after = [call for call in timeline["calls"] if call[0] >= 0]
                done = [i for i, call in enumerate(after) if call[2] == "True"]
                if done:
                    by_caller.setdefault(timeline["caller"], []).append(
                        (done[0] + 1, after[done[0]][1]))
            for caller, seen in by_caller.items():
                counts, seconds = [c for c, _ in seen], [s for _, s in seen]
                rows.append([row["row"], caller, data["clients"]["redis_server"],
                             f"{statistics.median(counts):.0f} / {max(counts)}",
                             f"{statistics.median(seconds):.2f} / {max(seconds):.2f} s",
                             str(len(seen))])
    if not rows:
        return []
    return [f"From {'; '.join(sources)}.", "",
            *table(["Row", "Caller", "Server", "Calls made after the fault until the first "
                    "successful acquire (median / max)", "Its return after the fault (median / "
                    "max)", "Trials"],
                   rows)]


def replace_blocks(path: Path, blocks: dict[str, list[str]]) -> list[str]:
    """Writes each block between its markers in `path`; returns the names written."""
    text = path.read_text()
    written = []
    for name, lines in blocks.items():
        if not lines:
            continue
        pattern = re.compile(rf"(<!-- report:{re.escape(name)} -->\n).*?(<!-- /report:"
                             rf"{re.escape(name)} -->)", re.S)
        if not pattern.search(text):
            print(f"{path.name}: no <!-- report:{name} --> block; left out")
            continue
        body = "\n".join(lines) + "\n"
        text = pattern.sub(lambda m: m.group(1) + body + m.group(2), text, count=1)
        written.append(name)
    path.write_text(text)
    return written


# --- charts --------------------------------------------------------------------------------

def pyplot() -> Any:
    try:
        import matplotlib
    except ImportError:
        raise SystemExit("the charts need matplotlib: pip install \"quarn-latches[bench]\" "
                         "(scripts/report installs it), or pass --no-charts") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    plt.rcParams.update({"font.size": 10, "axes.titlesize": 11, "figure.dpi": 100,
                         "savefig.dpi": 150, "axes.spines.top": False,
                         "axes.spines.right": False})
    return plt


def relative_bars(plt: Any, path: Path, builds: Sequence[Build], key: str,
                  baseline: str, baseline_name: str, rows: Sequence[tuple[str, str]],
                  title: str, ylabel: str, tick_note: str) -> bool:
    """Grouped bars, one group per build: each row's per-round ratio to `baseline`
    (median; whiskers min-max), the baseline drawn as a dashed line at 1."""
    shown = [b for b in builds if key in b.sections and baseline in b.sections[key]["rows"]]
    if not shown:
        return False
    fig, ax = plt.subplots(figsize=(8, 5), layout="constrained")
    width = 0.8 / len(rows)
    top: float = 1.0  # the axis ends above the highest median: a wild round is a number
    clipped: list[tuple[float, float]] = []
    for i, (label, name) in enumerate(rows):
        xs, meds, lows, highs = [], [], [], []
        for x, b in enumerate(shown):
            s = b.sections[key]
            if label not in s["rows"]:
                continue
            each = ratio_rounds(s, label, baseline)
            med = statistics.median(each)
            xs.append(x + (i - (len(rows) - 1) / 2) * width)
            meds.append(med)
            lows.append(med - min(each))
            highs.append(max(each) - med)
            top = max(top, med)
            clipped.append((xs[-1], max(each)))
        ax.bar(xs, meds, width * 0.92, color=COLOURS[ROLES[label]], label=name,
               yerr=[lows, highs], error_kw={"elinewidth": 0.9, "capsize": 2,
                                             "ecolor": "#333333"})
        for middle, med in zip(xs, meds):
            ax.annotate(f"{med:.2f}", (middle, 0), xytext=(0, 3), textcoords="offset points",
                        ha="center", va="bottom", fontsize=7, rotation=90,
                        bbox={"boxstyle": "round,pad=0.15", "fc": "white", "ec": "none",
                              "alpha": 0.85})
    ax.axhline(1.0, color=COLOURS[ROLES[baseline]], linestyle="--", linewidth=1.2,
               label=f"{baseline_name} = 1")
    ticks = []
    for b in shown:
        ticks.append(f"{b.short.replace(' ', chr(10), 1)}\n"
                     f"{tick_note} {fmt_time(median_ns(b.sections[key], baseline))}")
    ax.set_xticks(range(len(shown)), ticks, fontsize=8)
    top *= 1.6
    ax.set_ylim(0, top)
    for middle, highest in clipped:
        if highest > top:
            ax.annotate(f"↑{highest:.0f}", (middle, top), xytext=(0, -2),
                        textcoords="offset points", ha="center", va="top", fontsize=6.5)
    ax.set_ylabel(ylabel)
    ax.set_title(title)
    fig.legend(fontsize=8, loc="outside lower center", ncols=4 if len(rows) < 4 else 3,
               frameon=False)
    ax.grid(axis="y", linewidth=0.4, alpha=0.5)
    fig.savefig(path)
    plt.close(fig)
    return True


def local_chart(plt: Any, path: Path, builds: Sequence[Build]) -> bool:
    rounds = {len(b.sections["local_floor"]["rows"][LOCAL["ours"]]["net_ns"])
              for b in builds if "local_floor" in b.sections}
    return relative_bars(
        plt, path, builds, "local_floor", LOCAL["floor"], "C floor (benchmarks/floor.c)",
        [(LOCAL["ours"], "LocalLatch"), (LOCAL["inline"], "the steps inline in Python"),
         (LOCAL["plain"], "plain-Python class")],
        "LocalLatch acquire + release pair on a str target, against the C floor\n"
        f"(median of the per-round ratios; whiskers: min–max over "
        f"{'/'.join(map(str, sorted(rounds)))} rounds, ↑ the max of one cut off)",
        "time per pair ÷ the C floor's (×)", "floor")


def remote_chart(plt: Any, path: Path, builds: Sequence[Build]) -> bool:
    rounds = {len(b.sections["remote"]["rows"][REMOTE["ours"]]["net_ns"])
              for b in builds if "remote" in b.sections}
    return relative_bars(
        plt, path, builds, "remote", REMOTE["raw"], "raw client calls (set NX + delete)",
        [(REMOTE["ours"], "RemoteLatch"), (REMOTE["once"], "redis-py Lock, made once"),
         (REMOTE["each"], "redis-py Lock, made per pair"),
         (REMOTE["floor"], "C client floor (redis-benchmark -c 1)")],
        "RemoteLatch acquire + release pair on loopback, against the raw client calls\n"
        f"(median of the per-round ratios; whiskers: min–max over "
        f"{'/'.join(map(str, sorted(rounds)))} rounds, ↑ the max of one cut off)",
        "time per pair ÷ the raw calls' (×)", "raw")


def handover_chart(plt: Any, path: Path, builds: Sequence[Build], reference: str) -> bool:
    chosen = [b for b in builds if "handover" in b.sections
              and (not reference or reference in (b.short, b.label))]
    if not chosen:
        return False
    b = chosen[0]
    rows = b.sections["handover"]["rows"]
    fig, ax = plt.subplots(figsize=(8, 4.8), layout="constrained")
    for label in HANDOVER:
        values = sorted(v / 1e9 for v in rows[label]["ns"])
        fractions = [0.0] + [(i + 1) / len(values) for i in range(len(values))]
        ax.step([values[0], *values], fractions, where="post", color=COLOURS[ROLES[label]], linewidth=1.6,
                linestyle="-" if "thread" in label else "--",
                label=f"{label} (n = {len(values)})")
    ax.set_xscale("log")
    ticks = [1e-5, 1e-4, 1e-3, 1e-2, 1e-1]
    ax.set_xticks(ticks, ["10 µs", "100 µs", "1 ms", "10 ms", "100 ms"])
    ax.set_xlim(min(ticks[0], min(min(r["ns"]) for r in rows.values()) / 1e9 * 0.8), 0.2)
    ax.set_ylim(0, 1.02)
    ax.set_xlabel("handover latency: release() → the waiting acquire() returns "
                  "(log scale)")
    ax.set_ylabel("fraction of handovers at or below")
    ax.set_title(f"Handover latency, CPython {b.short}\n(a waiting RemoteLatch polls every "
                 "0.1 s, so its handovers spread over 0–100 ms by design)")
    fig.legend(fontsize=8, loc="outside lower center", ncols=2, frameon=False)
    ax.grid(linewidth=0.4, alpha=0.5)
    fig.savefig(path)
    plt.close(fig)
    return True


def timeline_chart(plt: Any, path: Path, row: dict[str, Any], data: dict[str, Any]) -> bool:
    """Each caller's calls after the fault, one lane per trial and caller: a bar from the
    call to its return, coloured by the outcome, a dot on its first True after the fault.
    A lane ends where the row's timelines do (`until`; by default at that first True)."""
    timelines = row.get("timelines") or []
    if not timelines:
        return False
    trials = sorted({t["trial"] for t in timelines})
    shown: list[Any] = []
    for trial in trials:
        lanes_of = [t for t in timelines if t["trial"] == trial]
        if shown and len(shown) + len(lanes_of) > MAX_LANES:
            break
        shown += lanes_of
    lanes = sorted(shown, key=lambda t: (t["trial"], t["caller"]))
    fig, ax = plt.subplots(figsize=(8, 0.9 + 0.24 * len(lanes)), layout="constrained")
    seen: dict[str, str] = {}
    longest = 0.0
    for y, lane in enumerate(lanes):
        by_colour: dict[str, list[tuple[float, float]]] = {}
        for start, end, outcome in lane["calls"]:
            colour = OUTCOME_COLOURS.get(outcome, OTHER_ERROR)
            seen.setdefault(outcome, colour)
            by_colour.setdefault(colour, []).append((start, max(end - start, 0.004)))
            longest = max(longest, end)
        for colour, spans in by_colour.items():
            ax.broken_barh(spans, (y - 0.35, 0.7), facecolors=colour, linewidth=0)
        taken = [end for start, end, outcome in lane["calls"] if outcome == "True" and start >= 0]
        if taken:
            ax.plot(taken[0], y, marker="o", color=OUTCOME_COLOURS["True"], markersize=4)
    ax.axvline(0, color="black", linewidth=1)
    ax.set_yticks(range(len(lanes)), [f"trial {t['trial']}, {t['caller']}" for t in lanes],
                  fontsize=7)
    ax.invert_yaxis()
    ax.set_xlim(min(0.0, min((c[0] for t in lanes for c in t["calls"]), default=0.0)) - 0.05,
                longest + 0.1)
    ax.set_xlabel(f"seconds since the fault (0: {row.get('fault', 'the fault')})")
    handles = [plt.Rectangle((0, 0), 1, 1, color=c) for c in seen.values()]
    # Four columns of long names would outgrow a chart whose lane names are long.
    columns = 4 if len(seen) <= 3 else 3
    ax.legend(handles, [OUTCOME_NAMES.get(o, f"raised {o}") for o in seen], fontsize=8,
              ncols=columns, loc="lower center", bbox_to_anchor=(0.5, 1.0), frameon=False)
    shown_trials = sorted({t["trial"] for t in lanes})
    which = (f"{data['trials']} trials" if len(shown_trials) == len(trials) else
             f"trial{'s' if len(shown_trials) > 1 else ''} "
             f"{', '.join(map(str, shown_trials))} of {len(trials)}")
    until = f"until {row['until']}" if row.get("until") else "to its first successful acquire"
    # Wrapped to the figure's width by matplotlib (the axes may sit right of its middle).
    ax.set_title(f"{row['row'][0].upper()}{row['row'][1:]}: each caller's calls from the "
                 f"fault {until}\n{data['clients']['redis_server']}, {which}",
                 pad=22 + 12 * ((len(seen) - 1) // columns), wrap=True)
    ax.grid(axis="x", linewidth=0.4, alpha=0.5)
    fig.savefig(path)
    plt.close(fig)
    return True


def slug(text: str) -> str:
    return re.sub(r"[^a-z0-9]+", "-", text.lower()).strip("-")


# --- main ---------------------------------------------------------------------------------

def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", type=Path,
                        help="result files (default: those of results/bench, but the --quick "
                        "runs, and of results/faults)")
    parser.add_argument("--benchmarks", type=Path, default=ROOT / "BENCHMARKS.md",
                        help="the document of the bench tables (default BENCHMARKS.md)")
    parser.add_argument("--reliability", type=Path, default=ROOT / "RELIABILITY.md",
                        help="the document of the faults tables (default RELIABILITY.md)")
    parser.add_argument("--charts", type=Path, default=ROOT / "charts",
                        help="folder of the PNG charts (default charts/)")
    parser.add_argument("--no-charts", dest="draw", action="store_false",
                        help="write the tables only")
    parser.add_argument("--handover-build", default="",
                        help="the build whose handover latency is drawn, e.g. "
                        "'3.14.8 Debian' (default: the first build shown)")
    args = parser.parse_args(argv)
    files = args.files or [
        *(p for p in sorted((ROOT / "results" / "bench").glob("*.json"))
          if not p.name.endswith("-quick.json")),
        *sorted((ROOT / "results" / "faults").glob("*.json"))]
    if not files:
        parser.error("no result files given, and none in results/")
    builds, faults = load(files)
    if builds:
        written = replace_blocks(args.benchmarks, {
            "builds": builds_table(builds), "ratios": ratios_table(builds),
            "local-floor": local_floor_table(builds), "remote": remote_table(builds),
            "handover": handover_table(builds), "memory": memory_table(builds)})
        print(f"{args.benchmarks.name}: {', '.join(written) or 'nothing'} written from "
              f"{len(builds)} builds")
    if faults:
        written = replace_blocks(args.reliability, {"timelines": timeline_summary(faults)})
        print(f"{args.reliability.name}: {', '.join(written) or 'nothing'} written")
    if not args.draw:
        return 0
    plt = pyplot()
    args.charts.mkdir(parents=True, exist_ok=True)
    drawn = []
    if builds:
        for name, drawn_ok in (
                ("local-pair", local_chart(plt, args.charts / "local-pair.png", builds)),
                ("remote-pair", remote_chart(plt, args.charts / "remote-pair.png", builds)),
                ("handover", handover_chart(plt, args.charts / "handover.png", builds,
                                            args.handover_build))):
            if drawn_ok:
                drawn.append(f"{name}.png")
    for _, data in faults:
        for row in data["rows"]:
            if timeline_chart(plt, args.charts / f"{slug(row['row'])}.png", row, data):
                drawn.append(f"{slug(row['row'])}.png")
    print(f"charts in {args.charts}: {', '.join(drawn) or 'none'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
