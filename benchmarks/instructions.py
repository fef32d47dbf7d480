"""Instructions per pair, counted by valgrind's callgrind: repeatable where timings are not.

    python benchmarks/instructions.py                 # every row, 20000 pairs
    python benchmarks/instructions.py local floor     # some rows
    python benchmarks/instructions.py --keep DIR local
    python benchmarks/instructions.py --no-json       # print only

Each row is one loop of the benchmarks (bench_local.py's str-target section and
bench_properties.py's reads), run in a child interpreter under callgrind twice, with N and
with 2N iterations after the same warm-up; the difference of the two totals divided by N
is the count per iteration, free of start-up and warm-up, and the same count for the bare
loop (``pass``) is subtracted. With --keep, the callgrind profiles of both runs of each row
are kept in DIR, so that the difference per function can be taken with callgrind_annotate.
A run of every row writes its counts to results/bench/BUILD.instructions.json (or --json
FILE), which scripts/report turns into the instructions table of BENCHMARKS.md.
"""

from __future__ import annotations

import argparse
import datetime
import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve()
ROOT = HERE.parent.parent
WARMUP = 5_000

# row: (what it measures, loop body, one iteration is...)
ROWS = {
    "loop": ("the bare loop, subtracted from the others", "pass"),
    "local": ("LocalLatch pair on a str target", "latch.acquire(t); latch.release(t)"),
    "floor": ("C floor pair", "floor.acquire(o, t); floor.release(o, t)"),
    "inline": ("the steps inline in Python",
               "t in o.locks; o.locks[t].acquire(timeout=-1); t in o.locks; o.locks[t].release()"),
    "plain": ("plain-Python class pair", "py.acquire(t); py.release(t)"),
    "keyword": ("LocalLatch pair, one keyword", "latch.acquire(t, timeout_ms=-1); latch.release(t)"),
    "property": ("LocalLatch.is_connected, one read", "latch.is_connected"),
    "pyproperty": ("Python property returning True, one read", "py.is_connected"),
    "cproperty": ("a property over a C builtin (operator.truth), one read", "c.is_connected"),
    "remote_property": ("RemoteLatch.is_connected (client set), one read", "remote.is_connected"),
    "remote_pyproperty": ("the same steps as a Python property, one read", "pyremote.is_connected"),
}


def worker(row: str, n: int) -> None:
    # Beside this file.
    from bench_local import PyLocalLatch, build_c_floor
    from bench_properties import CGetter, PyRemoteProbe
    from harness import make_loop
    from quarn_data.lock.implementations.local_latch import LocalLatch
    from quarn_data.lock.implementations.remote_latch import RemoteLatch

    t: Any = "orders/42"
    latch, o, py = LocalLatch(), LocalLatch(), PyLocalLatch()
    remote, pyremote = RemoteLatch(), PyRemoteProbe()
    remote.client = pyremote.client = object()  # type: ignore[attr-defined,assignment]
    for obj in (latch, o, py):
        obj.acquire(t)
        obj.release(t)
    names: dict[str, Any] = {"latch": latch, "o": o, "py": py, "t": t, "remote": remote,
                             "pyremote": pyremote, "c": CGetter()}
    if row == "floor":
        names["floor"] = build_c_floor()
    body = ROWS[row][1]
    used = [k for k in names if re.search(rf"\b{k}\b", body)]
    loop = make_loop(body, used)
    values = [names[k] for k in used]
    import gc
    gc.disable()
    loop(WARMUP, *values)
    loop(n, *values)


def collected(row: str, n: int, out_file: str) -> int:
    env = dict(os.environ, PYTHONHASHSEED="0")
    # A first run outside valgrind writes the bytecode caches, which the counted runs then
    # only read, alike.
    subprocess.run([sys.executable, str(HERE), "--worker", row, "1"], env=env, check=True)
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
         sys.executable, str(HERE), "--worker", row, str(n)],
        capture_output=True, text=True, env=env,
    )
    found = re.search(r"Collected\s*:\s*(\d+)", result.stderr)
    if result.returncode != 0 or found is None:
        raise RuntimeError(f"callgrind run of {row!r} failed:\n{result.stderr[-3000:]}")
    return int(found.group(1))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("rows", nargs="*", help=f"rows to count (default all: {', '.join(ROWS)})")
    parser.add_argument("--pairs", type=int, default=20_000, help="N (default 20000)")
    parser.add_argument("--keep", type=Path, help="folder for the profiles of the 2N runs")
    parser.add_argument("--json", type=Path, metavar="FILE", help="where the result file goes "
                        "(default: results/bench/BUILD.instructions.json, when every row runs)")
    parser.add_argument("--no-json", dest="write_json", action="store_false",
                        help="write no result file")
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker[0], int(args.worker[1]))
        return 0
    rows = args.rows or [r for r in ROWS if r != "loop"]
    unknown = [r for r in rows if r not in ROWS]
    if unknown:
        parser.error(f"unknown rows: {', '.join(unknown)}")
    if args.keep:
        args.keep.mkdir(parents=True, exist_ok=True)
    print(f"Python {sys.version.split()[0]} ({sys.executable}); N = {args.pairs}")
    n: int = args.pairs

    def per_iteration(row: str) -> float:
        def keep(k: int) -> str:
            return str(args.keep / f"callgrind.{row}.{k}") if args.keep else os.devnull
        return (collected(row, 2 * n, keep(2 * n)) - collected(row, n, keep(n))) / n

    loop = per_iteration("loop")
    print(f"  {'loop':<18} {loop:8.0f} instructions per iteration   ({ROWS['loop'][0]})")
    counts = {}
    for row in rows:
        if row == "loop":
            continue
        counts[row] = round(per_iteration(row) - loop)
        print(f"  {row:<18} {counts[row]:8d} instructions per iteration   ({ROWS[row][0]})",
              flush=True)
    if args.write_json and (args.json or not args.rows):
        from quarn_devkit import machine, results

        head = machine.describe(ROOT)
        path = args.json or (ROOT / "results" / "bench" /
                             f"{machine.build_id(head['interpreter'])}.instructions.json")
        results.write(path, {
            "format": 2, "kind": "instructions",
            "command": [HERE.name, *sys.argv[1:]],
            "date": f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}",
            **head, "label": machine.build_label(head["interpreter"]), "pairs": n,
            "loop": round(loop),
            "rows": {row: {"label": ROWS[row][0], "instructions": count}
                     for row, count in counts.items()}})
        print(f"Results: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
