"""scripts/report's program turns result files of known rounds into the documents' tables,
between their markers only, and into PNG charts (where matplotlib is installed: the test
venvs leave it out, see benchmarks/README.md)."""

from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

from conftest import ROOT
from quarn_devkit.waits import scaled

LOCAL = {"LocalLatch: latch.acquire(t); latch.release(t)": [100, 120, 90],
         "C floor: floor.acquire(o, t); floor.release(o, t)": [100, 100, 100],
         "inline steps (membership test and subscript, both halves)": [150, 150, 150],
         "plain-Python class": [200, 240, 270]}
RATIOS = [("LocalLatch / C floor", "LocalLatch: latch.acquire(t); latch.release(t)",
           "C floor: floor.acquire(o, t); floor.release(o, t)", "<= 1.10")]
HANDOVER = ["LocalLatch (thread -> thread)", "threading.Lock inline (thread -> thread)",
            "RemoteLatch (process -> process, 0.1 s polling)",
            "redis-py Lock (process -> process, sleep=0.1)"]


def bench_run(version: str, origin: str, jit: bool, local: dict[str, list[int]]) -> dict[str, Any]:
    def rows(values: dict[str, list[int]]) -> dict[str, Any]:
        return {k: {"net_ns": v, "gross_ns": [x + 10 for x in v], "external": False}
                for k, v in values.items()}

    return {
        "format": 1, "kind": "bench", "benchmarks": ["local", "handover"], "mode": "full",
        "date": "2026-12-09 06:00 UTC", "label": f"{version} {origin} {jit}",
        "interpreter": {"version": version, "origin": origin, "package": "", "pgo": False,
                        "lto": False, "jit": {"available": jit, "enabled": jit},
                        "where": "host", "venv": ".venv"},
        "source": {"commit": "abc1234", "changed_src": False},
        "clients": {"redis_server": "Redis server v=7.0.15"},
        "load_average": {"start": [0.5, 0, 0], "end": [1.25, 0, 0]},
        "sections": {
            "local_floor": {"kind": "rounds", "rows": rows(local), "ratios": [
                {"label": a, "numerator": b, "denominator": c, "target": d, "note": ""}
                for a, b, c, d in RATIOS]},
            "handover": {"kind": "distribution",
                         "rows": {label: {"ns": [2e4 * (i + 1), 3e4 * (i + 1), 9e4 * (i + 1)]}
                                  for i, label in enumerate(HANDOVER)}},
        },
    }


FAULTS = {
    "format": 1, "kind": "faults", "date": "2026-12-09 07:00 UTC", "trials": 1,
    "interpreter": {"version": "3.12.1"}, "clients": {"redis_server": "Redis server v=7.0.15"},
    "rows": [{"row": "sentinel failover", "fault": "SIGKILL of the master", "timelines": [
        {"trial": 1, "caller": "taker", "calls": [
            [-0.001, 0.001, "True"], [0.0, 0.01, "ConnectionError"],
            [0.02, 0.03, "MasterNotFoundError"], [0.5, 0.51, "True"]]},
        {"trial": 1, "caller": "probe", "calls": [[0.0, 0.2, "True"]]}]},
        # Twelve callers per trial, each followed past its first True until the row's end.
        {"row": "cluster master killed", "fault": "SIGKILL of a master",
         "until": "both set-ups take locks on its slots again", "timelines": [
             {"trial": trial, "caller": f"caller {n:02}", "calls": [
                 [-0.02, 0.1, "ConnectionError"], [0.2, 0.3, "ClusterDownError"],
                 [0.4, 0.5, "True" if n % 3 == 0 else "None"], [0.6, 0.7, "True"]]}
             for trial in (1, 2, 3) for n in range(12)]}],
}

DOC = """# Hand-written title

Prose that stays.
<!-- report:local-floor -->
an old table
<!-- /report:local-floor -->
More prose.
<!-- report:ratios -->
<!-- /report:ratios -->
<!-- report:timelines -->
<!-- /report:timelines -->
The end.
"""


def report(tmp_path: Path, *extra: str) -> tuple[str, Path]:
    files = []
    for name, data in (("debian.json", bench_run("3.14.8", "debian", True, LOCAL)),
                       ("pyenv.json", bench_run("3.12.1", "pyenv", False, {
                           **LOCAL, "LocalLatch: latch.acquire(t); latch.release(t)":
                           [300, 300, 300], "C floor: floor.acquire(o, t); "
                           "floor.release(o, t)": [200, 200, 200]})),
                       ("faults.json", FAULTS)):
        (tmp_path / name).write_text(json.dumps(data))
        files.append(str(tmp_path / name))
    doc = tmp_path / "DOC.md"
    doc.write_text(DOC)
    result = subprocess.run(
        [sys.executable, str(ROOT / "benchmarks" / "report.py"), "--benchmarks", str(doc),
         "--reliability", str(doc), "--charts", str(tmp_path / "charts"), *extra, *files],
        capture_output=True, text=True, timeout=scaled(120))
    assert result.returncode == 0, result.stderr
    return doc.read_text(), tmp_path / "charts"


def test_tables_from_known_rounds(tmp_path: Path) -> None:
    text, charts = report(tmp_path, "--no-charts")
    lines = text.splitlines()
    # Medians of the rows and of the per-round ratios; pyenv's build before Debian's.
    assert "| 3.12.1 pyenv | 300 | 200 | 150 | 240 | 1.50 | 0.80 | 1.20 | 2.00 | 1.50–1.50 | 3 |" \
        in lines
    assert "| 3.14.8 Debian JIT | 100 | 100 | 150 | 240 | 1.00 | 2.00 | 2.40 | 0.67 | 0.90–1.20 " \
        "| 3 |" in lines
    assert "| Ratio (median of the per-round ratios) | Target | 3.12.1 pyenv | 3.14.8 Debian JIT |" \
        in lines
    assert "| LocalLatch / C floor | ≤ 1.10 | 1.50 ✗ | 1.00 |" in lines
    # Calls made after the fault up to the first True: the one in flight at it is not counted.
    assert "| sentinel failover | taker | Redis server v=7.0.15 | 3 / 3 | 0.51 / 0.51 s | 1 |" \
        in lines
    assert "| sentinel failover | probe | Redis server v=7.0.15 | 1 / 1 | 0.20 / 0.20 s | 1 |" \
        in lines
    # A timeline that goes on past the first True counts up to that True only.
    assert "| cluster master killed | caller 00 | Redis server v=7.0.15 | 2 / 2 | 0.50 / 0.50 s " \
        "| 3 |" in lines
    assert "| cluster master killed | caller 01 | Redis server v=7.0.15 | 3 / 3 | 0.70 / 0.70 s " \
        "| 3 |" in lines
    # Only what lies between the markers changes.
    def hand_written(doc: str) -> str:
        return re.sub(r"(<!-- report:[\w-]+ -->\n).*?(<!-- /report)", r"\1\2", doc, flags=re.S)

    assert hand_written(text) == hand_written(DOC) and "an old table" not in text
    assert not charts.exists()


def test_charts_are_png(tmp_path: Path) -> None:
    pytest.importorskip("matplotlib")
    _, charts = report(tmp_path)
    drawn = {path.name: path.read_bytes()[:24] for path in charts.iterdir()}
    assert {name: head[:8] for name, head in drawn.items()} == dict.fromkeys(
        ["local-pair.png", "handover.png", "sentinel-failover.png",
         "cluster-master-killed.png"], b"\x89PNG\r\n\x1a\n")
    # 36 lanes of a row's timelines would not be readable at the README's width: the chart
    # shows the trials that fit, and stays no taller than it is wide (PNG's IHDR chunk).
    width, height = (int.from_bytes(drawn["cluster-master-killed.png"][i:i + 4], "big")
                     for i in (16, 20))
    assert height <= width, (width, height)
