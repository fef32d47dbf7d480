"""Lock throughput: acquire + release pairs per second from N client processes, against
one redis-server and against a Redis Cluster of three masters, on this machine.

    python benchmarks/throughput.py                  # 1, 2, 4 and 8 processes, 3 s each
    python benchmarks/throughput.py --processes 4 --seconds 5 --no-json

Each process has its own RemoteLatch (the single server) or examples/cluster.py's
ClusterLatch (the cluster) and takes and frees locks on targets of its own, without
contention, as fast as it can: `acquire(t, blocking=False)` then `release(t)`, one SET NX
and one DEL, each a round trip. Once all are connected, each counts the pairs it
completes within the same window of `--seconds`. The servers and the clients share the
machine's cores, so what limits each figure is printed beside it: the CPU time that the
servers and the clients used in the window, as a share of the machine.

The servers are started here on free loopback ports (quarn_devkit) and stopped at the end.
The rows go to results/bench/throughput.SERVER.json (or --json FILE), where scripts/report
finds them for the throughput table of BENCHMARKS.md.
"""

from __future__ import annotations

import argparse
import datetime
import os
import re
import subprocess
import sys
import time
from pathlib import Path

from quarn_devkit import machine, results
from quarn_devkit.redis_cluster import LocalCluster
from quarn_devkit.redis_server import RedisServer, redis_server_version
from quarn_devkit.waits import scaled

ROOT = Path(__file__).resolve().parent.parent

CLIENT = """
import sys, time
sys.path.insert(0, {examples!r})
from quarn_utils.models.data_models.address import Address
if {cluster}:
    from cluster import ClusterLatch as Latch
else:
    from quarn_data.lock.implementations.remote_latch import RemoteLatch as Latch
latch = Latch()
latch.connect("127.0.0.1", port={port})
targets = [Address("throughput", "{me}", str(n)) for n in range(1000)]
latch.acquire(targets[0], blocking=False)   # connections open before the window
latch.release(targets[0])
print("ready", flush=True)
start = float(sys.stdin.readline())   # the same window for all, once all are ready
end = start + {seconds}
while time.time() < start:
    time.sleep(0.001)
pairs = 0
while time.time() < end:
    target = targets[pairs % 1000]
    assert latch.acquire(target, blocking=False)
    latch.release(target)
    pairs += 1
print(pairs)
"""


def cpu_seconds(pids: list[int]) -> float:
    """User + system CPU time of the processes so far, from /proc."""
    ticks = os.sysconf("SC_CLK_TCK")
    total = 0
    for pid in pids:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total / ticks


def run(ports: list[int], server_pids: list[int], processes: int, seconds: float,
        cluster: bool) -> dict[str, float]:
    clients = [subprocess.Popen(
        [sys.executable, "-c", CLIENT.format(
            examples=str(ROOT / "examples"), cluster=cluster, port=ports[me % len(ports)],
            me=me, seconds=seconds)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) for me in range(processes)]
    for client in clients:
        assert client.stdout is not None and client.stdout.readline() == "ready\n"
    start = time.time() + 0.2
    for client in clients:
        assert client.stdin is not None
        client.stdin.write(f"{start}\n")
        client.stdin.close()
    time.sleep(max(0.0, start - time.time()))
    servers_before = cpu_seconds(server_pids)
    clients_before = cpu_seconds([c.pid for c in clients])
    time.sleep(seconds)
    servers_used = cpu_seconds(server_pids) - servers_before
    clients_used = cpu_seconds([c.pid for c in clients]) - clients_before
    pairs = 0
    for client in clients:
        assert client.stdout is not None
        out = client.stdout.read()
        client.wait(scaled(60))
        assert client.returncode == 0, f"a client failed ({client.returncode})"
        pairs += int(out)
    capacity = seconds * (os.cpu_count() or 1)
    return {"processes": processes, "pairs_per_s": round(pairs / seconds),
            "servers_cpu": round(servers_used / capacity, 2),
            "clients_cpu": round(clients_used / capacity, 2)}


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--processes", type=int, nargs="*", default=[1, 2, 4, 8])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--json", type=Path, metavar="FILE",
                        help="where the result file goes (default: "
                        "results/bench/throughput.SERVER.json)")
    parser.add_argument("--no-json", dest="write_json", action="store_false",
                        help="write no result file")
    args = parser.parse_args(argv)
    head = {"format": 2, "kind": "throughput", "command": ["throughput.py", *argv],
            "date": f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}",
            **machine.describe(ROOT), "load_average": {"start": machine.load_average()}}
    rows = []
    with RedisServer() as server:
        for n in args.processes:
            rows.append({"id": f"server-{n}", "target": "one server",
                         **run([server.port], [server.pid], n, args.seconds, False)})
    with LocalCluster(masters=3) as made:
        masters = made.masters()
        for n in args.processes:
            rows.append({"id": f"cluster-{n}", "target": "cluster, 3 masters",
                         **run([m.port for m in masters], [m.pid for m in masters], n,
                               args.seconds, True)})
    server_version = redis_server_version()
    head["load_average"]["end"] = machine.load_average()
    print(f"# {server_version}, CPython {head['interpreter']['version']}, "
          f"{os.cpu_count()} CPUs, load average {head['load_average']['start'][0]:.1f} at "
          "the start")
    for row in rows:
        print(f"{row['target']:<20} {row['processes']:>2} processes: "
              f"{row['pairs_per_s']:>7} pairs/s   servers {row['servers_cpu']:.0%} "
              f"clients {row['clients_cpu']:.0%} of the machine")
    if args.write_json:
        name = re.sub(r"[^a-z0-9.]+", "-", server_version.lower().replace(" server v=", "-"))
        path = args.json or ROOT / "results" / "bench" / f"throughput.{name.strip('-')}.json"
        import redis

        results.write(path, {**head, "seconds": args.seconds,
                             "clients": {"redis_server": server_version,
                                         "redis_py": redis.__version__},
                             "rows": rows})
        print(f"Results: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
