"""Handover latency: from ``release`` in one thread (LocalLatch) or process (RemoteLatch)
to a waiting ``acquire`` returning in another, as a distribution, beside a bare
``threading.Lock`` and redis-py's ``Lock`` (``sleep=0.1``).

    python benchmarks/bench_handover.py [--quick]

It starts a private redis-server on a free loopback port and stops it at the end.
"""

from __future__ import annotations

import argparse
import gc
import random
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from threading import Lock
from typing import Any

import harness
from harness import Context, perf_ns, print_distribution
from quarn_data.lock.implementations.local_latch import LocalLatch
from quarn_utils.models.data_models.address import Address

NAME = "handover"

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
        "local": (lambda: latch.acquire(t), lambda: latch.release(t)),
        "threading": (plain.acquire, plain.release),
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
    out: dict[str, list[float]] = {row: [] for row in rows}
    gc.collect()
    gc.disable()
    try:
        for i in range(args.local_handovers * len(rows)):
            row = list(rows)[i % len(rows)]
            acquire, release = rows[row]
            assert acquire()
            state["row"] = row
            go.release()
            started.acquire()
            time.sleep(0.002)          # the waiter is now blocked inside acquire()
            begin = perf_ns()
            release()
            if not done.acquire(timeout=10):
                raise RuntimeError("local handover: the waiting thread did not get the lock")
            out[row].append(state["end"] - begin)
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
        "remote": ("latch", lambda: latch.acquire(t, blocking=False), lambda: latch.release(t)),
        "redis-lock": ("lock", lambda: lock.acquire(blocking=False), lock.release),
    }
    waiter = subprocess.Popen([sys.executable, "-c", WAITER, str(port)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert waiter.stdin is not None and waiter.stdout is not None
    rng = random.Random(7)
    out: dict[str, list[float]] = {row: [] for row in rows}
    try:
        if waiter.stdout.readline().strip() != "ready":
            raise RuntimeError("remote handover: the waiting process did not start")
        gc.collect()
        gc.disable()
        for i in range(args.remote_handovers * len(rows)):
            row = list(rows)[i % len(rows)]
            kind, acquire, release = rows[row]
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
            out[row].append(end - begin)
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


# Each row's label, by its id.
LABELS = {"local": "LocalLatch (thread -> thread)",
          "threading": "threading.Lock inline (thread -> thread)",
          "remote": "RemoteLatch (process -> process, 0.1 s polling)",
          "redis-lock": "redis-py Lock (process -> process, sleep=0.1)"}


def run(context: Context) -> list[str]:
    args, port = context.args, context.redis_port()
    print("Handover latency: release() in one thread/process -> the waiting acquire() "
          "returns in another")
    print(f"  {'row':<52} {'median':>10} {'p90':>10} {'min':>10} {'max':>10} {'count':>6}")
    local = handover_local(args)
    for row, values in local.items():
        print_distribution(LABELS[row], values)
    remote = handover_remote(args, port)
    for row, values in remote.items():
        print_distribution(LABELS[row], values)
    print("  A waiting remote acquire polls every 0.1 s, so its handover takes up to ~100 ms "
          "by design;\n  the local one is the wake-up of a thread blocked in the lock.")
    print()
    context.results.add(NAME, {
        "kind": "distribution",
        "params": {"local_handovers": args.local_handovers,
                   "remote_handovers": args.remote_handovers},
        "rows": {row: {"label": LABELS[row], "ns": harness.ns_list(values)}
                 for row, values in {**local, **remote}.items()},
    })
    return []


if __name__ == "__main__":
    sys.exit(harness.main([sys.modules[__name__]], description=__doc__.split("\n\n")[0]))
