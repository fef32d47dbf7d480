"""scripts/report's programs turn result files of known rounds into the documents' blocks,
between their markers only, into the numbers of each chart, and into PNG charts (where
matplotlib is installed: the test venvs leave it out, see benchmarks/README.md); with
--check they write nothing and fail on any difference."""

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

LOCAL = {"latch": [100, 120, 90], "c-floor": [100, 100, 100], "inline": [150, 150, 150],
         "plain": [200, 240, 270]}
HANDOVER = ["local", "threading", "remote", "redis-lock"]


def bench_run(version: str, origin: str, jit: bool, local: dict[str, list[int]]) -> dict[str, Any]:
    return {
        "format": 2, "kind": "bench", "benchmarks": ["local", "handover"], "mode": "full",
        "date": "2026-12-09 06:00 UTC", "label": f"{version} {origin} {jit}",
        "machine": {"cpu": "a CPU", "cores": 2, "os": "Debian"},
        "interpreter": {"version": version, "origin": origin, "package": "", "pgo": False,
                        "lto": False, "jit": {"available": jit, "enabled": jit},
                        "where": "host", "venv": ".venv"},
        "source": {"commit": "abc1234", "changed_src": False},
        "clients": {"redis_server": "Redis server v=7.0.15"},
        "load_average": {"start": [0.5, 0, 0], "end": [1.25, 0, 0]},
        "sections": {
            "local_floor": {"kind": "rounds", "rows": {
                k: {"label": f"the {k} row", "net_ns": v, "gross_ns": [x + 10 for x in v],
                    "external": False} for k, v in local.items()},
                "ratios": [{"id": "latch/c-floor", "label": "LocalLatch / C floor",
                            "numerator": "latch", "denominator": "c-floor",
                            "target": "<= 1.10", "note": ""}]},
            "handover": {"kind": "distribution", "rows": {
                ident: {"label": f"the {ident} row",
                        "ns": [2e4 * (i + 1), 3e4 * (i + 1), 9e4 * (i + 1)]}
                for i, ident in enumerate(HANDOVER)}},
        },
    }


FAULTS = {
    "format": 2, "kind": "faults", "date": "2026-12-09 07:00 UTC", "trials": 1,
    "command": ["faults/run.py"], "machine": {"cpu": "a CPU", "cores": 2, "os": "Debian"},
    "interpreter": {"version": "3.12.1", "origin": "pyenv", "where": "host"},
    "clients": {"redis_server": "Redis server v=7.0.15", "redis_py": "8.2.0"},
    "load_average": {"start": [0.5, 0, 0], "end": [1.5, 0, 0]},
    "rows": [{"id": "sentinel-failover", "label": "sentinel failover", "trials": 1,
              "seconds_until_locks_again": {"median": 0.51, "max": 0.51},
              "locks_held_at_kill": 120, "locks_lost": 0, "keys_nobody_holds": 1,
              "fault": "SIGKILL of the master", "timelines": [
                  {"trial": 1, "caller": "taker", "label": "the taker", "calls": [
                      [-0.001, 0.001, "True"], [0.0, 0.01, "ConnectionError"],
                      [0.02, 0.03, "MasterNotFoundError"], [0.5, 0.51, "True"]]},
                  {"trial": 1, "caller": "probe", "label": "the probe",
                   "calls": [[0.0, 0.2, "True"]]}]},
             # Twelve callers per trial, each followed past its first True until the row's end.
             {"id": "cluster-kill-yes", "label": "cluster master killed", "trials": 3,
              "fault": "SIGKILL of a master", "until": "both set-ups take locks again",
              "timelines": [
                  {"trial": trial, "caller": f"caller-{n:02}", "label": f"caller {n:02}",
                   "calls": [[-0.02, 0.1, "ConnectionError"], [0.2, 0.3, "ClusterDownError"],
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
""" + "".join(f"<!-- report:{name} -->\n<!-- /report:{name} -->\n" for name in (
    "machine", "builds", "targets", "handover", "server-table", "sentinel", "servers", "runs",
    "production"))


def result_files(tmp_path: Path) -> list[str]:
    files = []
    for name, data in (("debian.json", bench_run("3.14.8", "debian", True, LOCAL)),
                       ("pyenv.json", bench_run("3.12.1", "pyenv", False, {
                           **LOCAL, "latch": [300, 300, 300], "c-floor": [200, 200, 200]})),
                       ("faults.json", FAULTS)):
        (tmp_path / name).write_text(json.dumps(data))
        files.append(str(tmp_path / name))
    return files


def report(tmp_path: Path, *extra: str, check: bool = False) -> subprocess.CompletedProcess[str]:
    """Both reports, on the files above and on one document standing for all three."""
    doc, files = tmp_path / "DOC.md", result_files(tmp_path)
    if not doc.exists():
        doc.write_text(DOC)
    outcomes = [subprocess.run(
        [sys.executable, str(ROOT / program), *options, "--readme", str(doc), "--charts",
         str(tmp_path / "charts"), *extra, *(["--check"] if check else []), *files],
        capture_output=True, text=True, timeout=scaled(120))
        for program, options in (("benchmarks/report.py", ["--benchmarks", str(doc)]),
                                 ("faults/report.py", ["--reliability", str(doc)]))]
    return subprocess.CompletedProcess(
        [], max(o.returncode for o in outcomes), "".join(o.stdout for o in outcomes),
        "".join(o.stderr for o in outcomes))


def test_blocks_from_known_rounds(tmp_path: Path) -> None:
    done = report(tmp_path, "--no-charts")
    assert done.returncode == 0, done.stderr
    text = (tmp_path / "DOC.md").read_text()
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
    assert "| sentinel failover | the taker | Redis 7.0.15 | 3 / 3 | 0.51 / 0.51 s | 1 |" in lines
    assert "| sentinel failover | the probe | Redis 7.0.15 | 1 / 1 | 0.20 / 0.20 s | 1 |" in lines
    # A timeline that goes on past the first True counts up to that True only.
    assert "| cluster master killed | caller 00 | Redis 7.0.15 | 2 / 2 | 0.50 / 0.50 s | 3 |" \
        in lines
    assert "| cluster master killed | caller 01 | Redis 7.0.15 | 3 / 3 | 0.70 / 0.70 s | 3 |" \
        in lines
    # Only what lies between the markers changes.
    def hand_written(doc: str) -> str:
        return re.sub(r"(<!-- report:[\w-]+ -->\n).*?(<!-- /report)", r"\1\2", doc, flags=re.S)

    assert hand_written(text) == hand_written(DOC) and "an old table" not in text
    # Each chart's numbers, drawn or not.
    assert sorted(p.name for p in (tmp_path / "charts").iterdir()) == [
        "cluster-kill-yes.csv", "handover.csv", "local-pair.csv", "sentinel-failover.csv"]


def test_check_finds_what_drifted(tmp_path: Path) -> None:
    """--check passes on documents written from the same files, and names the block and
    the chart whose numbers a changed result file no longer gives."""
    assert report(tmp_path, "--no-charts").returncode == 0
    checked = report(tmp_path, check=True)
    assert checked.returncode == 0, checked.stdout
    drifted = bench_run("3.14.8", "debian", True, {**LOCAL, "latch": [110, 130, 95]})
    (tmp_path / "debian.json").write_text(json.dumps(drifted))
    doc = tmp_path / "DOC.md"
    before = doc.read_text()
    checked = subprocess.run(
        [sys.executable, str(ROOT / "benchmarks" / "report.py"), "--check", "--benchmarks",
         str(doc), "--readme", str(doc), "--charts", str(tmp_path / "charts"),
         str(tmp_path / "debian.json"), str(tmp_path / "pyenv.json")],
        capture_output=True, text=True, timeout=scaled(120))
    assert checked.returncode == 1
    assert "DOC.md: block local-floor differs from the results" in checked.stdout
    assert "-| 3.14.8 Debian JIT | 100 | 100 | 150 | 240 | 1.00 |" in checked.stdout
    assert "+| 3.14.8 Debian JIT | 110 | 100 | 150 | 240 | 1.10 |" in checked.stdout
    assert "local-pair.csv differs from the results" in checked.stdout
    assert doc.read_text() == before  # --check writes nothing


def test_charts_are_png(tmp_path: Path) -> None:
    pytest.importorskip("matplotlib")
    assert report(tmp_path).returncode == 0
    drawn = {path.name: path.read_bytes()[:24] for path in (tmp_path / "charts").iterdir()
             if path.suffix == ".png"}
    assert {name: head[:8] for name, head in drawn.items()} == dict.fromkeys(
        ["local-pair.png", "handover.png", "sentinel-failover.png", "cluster-kill-yes.png"],
        b"\x89PNG\r\n\x1a\n")
    # 36 lanes of a row's timelines would not be readable at the README's width: the chart
    # shows the trials that fit, and stays no taller than it is wide (PNG's IHDR chunk).
    width, height = (int.from_bytes(drawn["cluster-kill-yes.png"][i:i + 4], "big")
                     for i in (16, 20))
    assert height <= width, (width, height)
