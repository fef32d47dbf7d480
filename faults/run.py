"""Measures what the faults of a real deployment do to the locks: each experiment of
faults/server.py and faults/cluster.py, repeated, its rows printed and kept in one result
file for scripts/report.

    python faults/run.py                         # every row, 10 trials of each timed one
    python faults/run.py --trials 3 --only pause,cluster-kill
    python faults/run.py --list                  # the rows' ids

A row is chosen by its id or by the beginning of it (`cluster-` chooses every cluster row).
The partition and cut-off rows need root (a network namespace and nftables); they are left
out, with the reason printed, where that cannot be had. The server is `REDIS_SERVER` (a
path, or a name on PATH), else redis-server. The file goes to results/faults/SERVER.json
(SERVER.SELECTION.json when --only chose rows), or to --json FILE (results/README.md
describes it).
"""

from __future__ import annotations

import argparse
import datetime
import json
import re
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The experiments are the package `faults` of the repository, and `cluster` is the
# example, not faults/cluster.py: the repository takes the place of this file's folder.
sys.path[0] = str(ROOT)

import redis  # noqa: E402

from faults import cluster, server  # noqa: E402
from faults.harness import Row  # noqa: E402
from quarn_devkit import machine, redis_server, results  # noqa: E402

FORMAT = 2
IDS = ["pause", "pause-for-good", "partition", *(f"restart-{p}" for p in server.PERSISTENCE),
       "sentinel-failover", "holder-killed", "attempts", "fork", "acl-get-only",
       *(f"eviction-{policy}" for policy in server.POLICIES),
       "cluster-kill-yes", "cluster-kill-no", "cluster-failover-yes", "cluster-slot-moved",
       "cluster-lost-yes", "cluster-lost-no", "cluster-cut-yes", "cluster-cut-no"]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--trials", type=int, default=10,
                        help="trials of each timed row (default 10)")
    parser.add_argument("--only", action="append", metavar="ID[,ID...]",
                        help="the rows whose ids are, or begin with, these")
    parser.add_argument("--json", type=Path, metavar="FILE", help="where the result file goes")
    parser.add_argument("--list", action="store_true", help="print the rows' ids and stop")
    args = parser.parse_args(argv)
    if args.list:
        print("\n".join(IDS))
        return 0
    chosen = [name for value in args.only or [] for name in value.split(",") if name]
    unknown = [name for name in chosen if not any(i.startswith(name) for i in IDS)]
    if unknown:
        parser.error(f"no row's id begins with {', '.join(unknown)} (--list shows them)")

    def only(ident: str) -> bool:
        return not chosen or any(ident.startswith(name) for name in chosen)

    server_version = redis_server.redis_server_version()
    head = {"format": FORMAT, "kind": "faults",
            "command": ["faults/run.py", *(argv if argv is not None else sys.argv[1:])],
            "date": f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}",
            "trials": args.trials, **machine.describe(ROOT),
            "clients": {"redis_server": server_version, "redis_py": redis.__version__},
            "load_average": {"start": machine.load_average()}}
    py = head["interpreter"]
    print(f"{server_version}, redis-py {redis.__version__}, CPython {py['version']}; "
          f"{args.trials} trials of each timed row")
    rows: list[Row] = []
    left_out: dict[str, str] = {}

    def report(found: Row) -> None:
        rows.append(found)
        # The figures, without the timelines (which are kept in the file).
        print(json.dumps({k: v for k, v in found.items() if k != "timelines"}), flush=True)

    with tempfile.TemporaryDirectory(prefix="quarn-faults-") as work:
        server.run_all(args.trials, only, report, Path(work), left_out)
    cluster.run_all(args.trials, only, report, left_out)
    for ident, why in left_out.items():
        print(f"(left out: {ident}: {why})")
    head["load_average"]["end"] = machine.load_average()
    if not rows:
        print("(no rows measured)")
        return 1
    name = re.sub(r"[^a-z0-9.]+", "-", server_version.lower().replace(" server v=", "-"))
    name = name.strip("-")
    if chosen:
        name += "." + "+".join(re.sub(r"[^a-z0-9-]+", "-", c) for c in chosen)
    path = args.json or ROOT / "results" / "faults" / f"{name}.json"
    results.write(path, {**head, "left_out": left_out, "rows": rows})
    print(f"Results: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
