"""RemoteLatch: an uncontended ``acquire(t, metadata=m)`` + ``release(t)`` pair on
loopback against the raw client calls it makes, redis-py's own ``Lock``, the same pair with
each reply parser, and the C client floor (``redis-benchmark -c 1`` for SET; a pair is two
requests).

    python benchmarks/bench_remote.py [--quick] [--no-redis-benchmark]

It starts a private redis-server on a free loopback port and stops it at the end.
"""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
from collections.abc import Callable

import harness
from harness import Case, Context, External, Ratio
from quarn_utils.models.data_models.address import Address

NAME = "remote"
METADATA = {"owner": "bench", "pid": 4242}


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


def run(context: Context) -> list[str]:
    import redis

    from quarn_data.lock.implementations.remote_latch import RemoteLatch

    args, port = context.args, context.redis_port()
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
        Case("raw", "raw client: set(key, json.dumps(m), nx=True) + delete(key)",
             "client.set(key, json.dumps(m), nx=True); client.delete(key)",
             {"client": client, "key": key, "json": json, "m": METADATA}, reps),
        Case("latch", "RemoteLatch: acquire(t, metadata=m) + release(t)",
             "latch.acquire(t, metadata=m); latch.release(t)",
             {"latch": latch, "t": t, "m": METADATA}, reps),
        Case("lock-once", "redis-py Lock made once: acquire(blocking=False) + release()",
             "lk.acquire(blocking=False); lk.release()", {"lk": reused}, reps),
        Case("lock-each", "redis-py Lock made per pair: client.lock(name) + the same",
             "lk = client.lock(name); lk.acquire(blocking=False); lk.release()",
             {"client": client, "name": lock_name}, reps),
    ]
    # The reply parser: redis-py's own, in Python, or hiredis's C parser when installed.
    # Both latches are built like connect() builds one, on a pool told which parser to use.
    parser_latches = []
    if hiredis_available():
        from redis.connection import _HiredisParser, _RESP2Parser  # type: ignore[attr-defined]
        for row, label, parser in (
                ("parser-python", "RemoteLatch pair, redis-py's Python parser", _RESP2Parser),
                ("parser-hiredis", "RemoteLatch pair, hiredis parser", _HiredisParser)):
            other = RemoteLatch()
            other.client = redis.Redis(connection_pool=redis.ConnectionPool(
                host="127.0.0.1", port=port, parser_class=parser))
            assert other.acquire(t, metadata=METADATA) is True
            other.release(t)
            parser_latches.append(other)
            cases.append(Case(row, label, "latch.acquire(t, metadata=m); latch.release(t)",
                              {"latch": other, "t": t, "m": METADATA}, reps))
    if args.redis_benchmark:
        cases.append(External("c-floor", "C client floor: redis-benchmark -c 1, 2 x SET",
                              redis_benchmark_pair(port, args.redis_benchmark_requests)))
    rounds = harness.run_rounds(cases, args.remote_rounds, 1, reps, args.remote_blocks)
    assert client.exists(key, lock_name) == 0
    client.flushall()
    client.close()
    latch.disconnect()
    for other in parser_latches:
        other.disconnect()

    # Lock makes the same two round trips as the raw calls (SET NX, then an EVALSHA of a
    # small script), so the pair is held to the raw calls, not to Lock.
    ratios = [
        Ratio("latch/raw", "RemoteLatch / raw client calls", "latch", "raw", "<= 1.03"),
        Ratio("lock-once/latch", "redis-py Lock (made once) / RemoteLatch", "lock-once", "latch"),
        Ratio("lock-once/raw", "redis-py Lock (made once) / raw client calls", "lock-once",
              "raw"),
        Ratio("lock-each/latch", "redis-py Lock (made per pair) / RemoteLatch", "lock-each",
              "latch"),
    ]
    if parser_latches:
        ratios.append(Ratio("parser-python/hiredis",
                            "Python parser / hiredis parser (RemoteLatch pair)",
                            "parser-python", "parser-hiredis"))
    else:
        print("(hiredis is not installed: no rows comparing the reply parsers)")
    if args.redis_benchmark:
        ratios.append(Ratio("latch/c-floor", "RemoteLatch / C client floor", "latch", "c-floor"))
        ratios.append(Ratio("raw/c-floor", "raw client calls / C client floor", "raw", "c-floor"))
    title = (f"RemoteLatch: uncontended pair on loopback, time per pair "
             f"({args.remote_blocks} x {reps} pairs per round, m = {json.dumps(METADATA)}; "
             "bare loop subtracted)")
    return context.section(NAME, title, rounds, ratios, "latch", metadata=METADATA,
                           rounds=args.remote_rounds, warmup_rounds=1, blocks=args.remote_blocks,
                           reps=reps, redis_benchmark_requests=args.redis_benchmark_requests)


if __name__ == "__main__":
    sys.exit(harness.main([sys.modules[__name__]], description=__doc__.split("\n\n")[0]))
