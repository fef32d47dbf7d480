"""What the faults of a real deployment do to the locks: one test per row of RELIABILITY.md.

Each test starts its own servers (and, for the partition, a network namespace), drives the
backends through the fault, asserts the outcome that the table states, and stops all it
started, also on failure. A paused server is continued before it is stopped.

Figures: QUARN_FAULT_TRIALS=N repeats the trials of the timed rows N times (default 1), and
QUARN_FAULT_REPORT=FILE appends each row's figures to FILE as a JSON line; scripts/faults
sets both and keeps them in a result file of results/faults/. A row that follows callers
through a fault adds `fault` (what happens at time 0) and `timelines`: one record per trial and caller, {"trial": 1, "caller":
"probe", "calls": [[start, end, outcome], ...]}, times in seconds since the fault, outcome
"True", "False" or the name of the exception raised, from the call in flight at the fault
to the first True of a call made after it (`Timeline`; results/README.md describes the
files).

"Default client" is the `redis.Redis` that `RemoteLatch.connect` builds (redis-py's
defaults: 5 s socket and connect timeouts, ten retries with backoff); "bounded client" is
`examples/bounded.py` (0.5 s timeouts, no retry after a timeout).
"""

from __future__ import annotations

import gc
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import ExitStack
from typing import Any

import pytest
import redis

from conftest import ROOT, check_python
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address
from quarn_devkit.redis_server import RedisServer
from quarn_devkit.waits import scaled

sys.path.insert(0, str(ROOT / "examples"))
import bounded  # noqa: E402
import sentinel  # noqa: E402
from bounded import BoundedLatch  # noqa: E402
from sentinel import SERVICE_NAME, SentinelLatch  # noqa: E402

pytestmark = pytest.mark.deployment

TRIALS = int(os.environ.get("QUARN_FAULT_TRIALS", "1"))
# How long the client that `connect` builds waits for a reply with this redis-py: 5 s in
# recent releases, no limit (None) in older ones, which wait as long as the server is silent.
DEFAULT_TIMEOUT_S = redis.Redis().connection_pool.connection_kwargs.get("socket_timeout")
CLIENT_ERRORS = (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError)
# The bounded client's 0.5 s, with room for a loaded machine.
BOUNDED_LIMIT_S = 1.5


def report(row: str, **figures: object) -> None:
    """Appends the row's figures to $QUARN_FAULT_REPORT, when set."""
    path = os.environ.get("QUARN_FAULT_REPORT")
    if path:
        with open(path, "a") as out:
            out.write(json.dumps({"row": row, "trials": TRIALS, **figures}) + "\n")


def spread(values: list[float]) -> dict[str, float]:
    return {"median": round(statistics.median(values), 2), "max": round(max(values), 2)}


def connected(cls: type[RemoteLatch], port: int) -> RemoteLatch:
    latch = cls()
    latch.connect("127.0.0.1", port=port)
    latch.client.ping()  # an open connection, as in a running service
    return latch


def timed(call: Callable[[], object]) -> tuple[float, object]:
    """(seconds taken, result or the exception raised)."""
    started = time.monotonic()
    try:
        outcome: object = call()
    except Exception as error:  # noqa: BLE001 - the outcome is what the test looks at
        outcome = error
    return time.monotonic() - started, outcome


def in_threads(calls: dict[str, Callable[[], object]]) -> tuple[
        dict[str, threading.Thread], dict[str, tuple[float, object]],
        dict[str, tuple[float, float]]]:
    """Starts each call in a thread of its own; the outcomes fill in as they end, beside
    the span (time.monotonic() before and after) of each call."""
    outcomes: dict[str, tuple[float, object]] = {}
    spans: dict[str, tuple[float, float]] = {}
    threads = {}
    for name, call in calls.items():
        def run(name: str = name, call: Callable[[], object] = call) -> None:
            began = time.monotonic()
            outcomes[name] = timed(call)
            spans[name] = (began, time.monotonic())
        threads[name] = threading.Thread(target=run, daemon=True)
        threads[name].start()
    return threads, outcomes, spans


def scenario_calls(port: int, admin: redis.Redis, tag: str) -> tuple[
        dict[str, Callable[[], object]], list[RemoteLatch]]:
    """For each client kind: a blocking acquire (500 ms) on a lock that someone else
    holds, an acquire (500 ms) of a free lock, and the release of a lock it holds."""
    calls: dict[str, Callable[[], object]] = {}
    latches = []
    held = Address(tag, "held")
    admin.set(held.to_string(), "someone else")
    for kind, cls in (("default", RemoteLatch), ("bounded", BoundedLatch)):
        for case in ("waiting", "free", "release"):
            latch = connected(cls, port)
            latches.append(latch)
            target = held if case == "waiting" else Address(tag, f"{case}-{kind}")
            if case == "release":
                assert latch.acquire(target, blocking=False)
                calls[f"{kind} {case}"] = lambda l=latch, t=target: l.release(t)
            else:
                calls[f"{kind} {case}"] = lambda l=latch, t=target, k=kind: l.acquire(
                    t, timeout_ms=500, metadata={"who": k})
    return calls, latches


def check_scenario(outcomes: dict[str, tuple[float, object]],
                   spans: dict[str, tuple[float, float]], healed: float, admin: redis.Redis,
                   tag: str) -> None:
    """The outcomes that the pause and the partition rows state, for calls made in the
    `spans` that in_threads gives, during a fault that ended at `healed` (time.monotonic()
    taken just before the server was continued or the path restored)."""
    for kind in ("default", "bounded"):
        for case in ("waiting", "free", "release"):
            name = f"{kind} {case}"
            elapsed, result = outcomes[name]
            if kind == "bounded":
                # Each command gives up after the socket timeout.
                assert type(result) is redis.exceptions.TimeoutError, (name, result)
                assert elapsed < BOUNDED_LIMIT_S, (name, elapsed)
                continue
            # Blocked for the whole fault; then the late reply, or its own retry after
            # the socket timeout, decides. A SET that waited longer than that timeout was
            # sent again; on waking the server ran the first one, and the retry found that
            # key: the free lock reads as taken. A shorter wait simply completes on waking.
            # How long a call waited is measured, not assumed: a loaded machine may start
            # it well after the fault began. Near the timeout either can happen.
            began, ended = spans[name]
            blocked = healed - began
            assert ended >= healed, (name, "ended before the fault did", blocked)
            if case != "free":
                assert result == {"waiting": False, "release": None}[case], (name, result)
            elif DEFAULT_TIMEOUT_S is not None and abs(blocked - DEFAULT_TIMEOUT_S) < 0.25:
                assert result in (True, False), (name, result, blocked)
            else:
                timed_out = DEFAULT_TIMEOUT_S is not None and blocked > DEFAULT_TIMEOUT_S
                assert result is (not timed_out), (name, result, blocked)
    # The held lock is untouched. A release that timed out still ran once the server got
    # it; an acquire that timed out, or found its own key on retry, created a key that
    # nobody holds.
    assert admin.get(f"/{tag}/held") == b"someone else"
    for kind in ("default", "bounded"):
        assert admin.exists(f"/{tag}/release-{kind}") == 0
        assert admin.get(f"/{tag}/free-{kind}") == json.dumps({"who": kind}).encode()


# --- server paused ---------------------------------------------------------------------

# Longer than the default client's 5 s socket timeout, so that its retry shows.
PAUSE_S = 6.0


def test_paused_server() -> None:
    """SIGSTOP for 6 s while six clients are in the middle of a lock operation."""
    figures: dict[str, list[float]] = {}
    for trial in range(TRIALS):
        with ExitStack() as stack:
            server = RedisServer()
            stack.callback(server.close)  # SIGCONT, then SIGTERM
            server.start()
            admin = redis.Redis(port=server.port)
            stack.callback(admin.close)
            tag = f"pause{trial}"
            calls, latches = scenario_calls(server.port, admin, tag)
            for latch in latches:
                stack.callback(latch.disconnect)
            assert bounded.main(["127.0.0.1", str(server.port)]) == 0
            server.pause()
            paused = time.monotonic()
            try:
                threads, outcomes, spans = in_threads(calls)
                assert bounded.main(["127.0.0.1", str(server.port)]) == 1  # no answer
                time.sleep(PAUSE_S - (time.monotonic() - paused))
            finally:
                healed = time.monotonic()
                server.resume()
            for thread in threads.values():
                thread.join(scaled(30))
            assert len(outcomes) == 6, sorted(outcomes)
            check_scenario(outcomes, spans, healed, admin, tag)
            for name, (elapsed, _) in outcomes.items():
                figures.setdefault(name, []).append(elapsed)
    report("pause", pause_s=PAUSE_S, **{name: spread(v) for name, v in figures.items()})


@pytest.mark.slow
@pytest.mark.skipif(TRIALS < 2, reason="over a minute; scripts/faults runs it")
@pytest.mark.skipif(DEFAULT_TIMEOUT_S is None,
                    reason="this redis-py's default client waits as long as the server is silent")
def test_default_client_gives_up_on_a_server_that_stays_paused() -> None:
    """The default client's own limit: ten retries of a 5 s socket timeout."""
    with RedisServer() as server:
        admin = redis.Redis(port=server.port)
        latch = connected(RemoteLatch, server.port)
        try:
            admin.set("/stalled/held", "someone else")
            server.pause()
            try:
                elapsed, result = timed(lambda: latch.acquire(Address("stalled", "held"),
                                                              timeout_ms=500))
            finally:
                server.resume()
        finally:
            latch.disconnect()
            admin.close()
    assert type(result) is redis.exceptions.TimeoutError, result
    assert 50 < elapsed < 80, elapsed
    report("pause beyond the default client's retries", trials=1,
           seconds_to_error=round(elapsed, 1))


# --- server restart ----------------------------------------------------------------------


@pytest.mark.parametrize("cls", [RemoteLatch, BoundedLatch], ids=["default", "bounded"])
@pytest.mark.parametrize("persistence", ["none", "appendonly-always"])
def test_server_crash_and_restart(persistence: str, cls: type[RemoteLatch],
                                  tmp_path: Any) -> None:
    """SIGKILL and start again on the same port and directory, while a lock is held."""
    args = ["--appendonly", "yes", "--appendfsync", "always"] if persistence != "none" else []
    target = Address("restart", persistence)
    with ExitStack() as stack:
        server = RedisServer(args, directory=tmp_path)
        stack.callback(server.close)
        server.start()
        holder, other = connected(cls, server.port), connected(cls, server.port)
        stack.callback(holder.disconnect)
        stack.callback(other.disconnect)
        assert holder.acquire(target, metadata={"who": "holder"})
        os.kill(server.pid, signal.SIGKILL)
        assert server.process is not None
        server.process.wait(scaled(30))
        server.start()
        # The same client objects carry on: their pools replace the closed connections.
        taken_by_other = other.acquire(target, blocking=False)
        if persistence == "none":
            assert taken_by_other is True  # the lock is gone: two holders
            other.release(target)
        else:
            assert taken_by_other is False  # the key came back from the append-only file
            assert holder.client.get(target.to_string()) == b'{"who": "holder"}'
        holder.release(target)
        assert other.acquire(target, blocking=False) is True


# --- Sentinel failover ---------------------------------------------------------------------


def sentinel_group(stack: ExitStack) -> tuple[RedisServer, RedisServer, list[RedisServer]]:
    """A master, its replica in sync, and three sentinels that know both and each other."""
    master = RedisServer(["--repl-diskless-sync-delay", "0"])
    stack.callback(master.close)
    master.start()
    replica = RedisServer(["--replicaof", "127.0.0.1", str(master.port)])
    stack.callback(replica.close)
    replica.start()
    config = (f"sentinel monitor {SERVICE_NAME} 127.0.0.1 {master.port} 2\n"
              f"sentinel down-after-milliseconds {SERVICE_NAME} 1000\n"
              f"sentinel failover-timeout {SERVICE_NAME} 3000\n")
    sentinels = []
    for _ in range(3):
        watcher = RedisServer(sentinel=config)
        stack.callback(watcher.close)
        sentinels.append(watcher.start())
    deadline = time.monotonic() + scaled(30)
    while True:
        with redis.Redis(port=replica.port) as node:
            synced = node.info("replication")["master_link_status"] == "up"
        known = []
        for watcher in sentinels:
            with redis.Redis(port=watcher.port) as node:
                known.append((len(node.sentinel_slaves(SERVICE_NAME)),
                              len(node.sentinel_sentinels(SERVICE_NAME))))
        if synced and known == [(1, 2)] * 3:
            return master, replica, sentinels
        assert time.monotonic() < deadline, (synced, known)
        time.sleep(0.05)


def callers_of(sentinels: list[RedisServer]) -> int:
    """Connections to the sentinels other than their links to each other and the one
    that asks."""
    count = 0
    for watcher in sentinels:
        admin = redis.Redis(port=watcher.port)
        try:
            own = admin.client_id()
            count += sum(1 for client in admin.client_list()
                         if int(client["id"]) != own and not client["name"].startswith("sentinel-"))
        finally:
            admin.connection_pool.disconnect()  # redis-py 5.0.0's close() leaves it open
    return count


class Timeline:
    """One caller's calls around a fault: [start, end, outcome] each, in seconds since the
    fault (time.monotonic() at `zero`), the outcome "True", "False" or the name of the
    exception raised. Kept from the call in flight at the fault (it may start before 0) to
    the first True of a call made after it."""

    def __init__(self, caller: str) -> None:
        self.caller = caller
        self.zero: float | None = None
        self.calls: list[list[float | str]] = []

    def call(self, acquire: Callable[[], bool]) -> bool | None:
        """acquire(); its result, or None when it raised one of the client's errors."""
        began = time.monotonic()
        try:
            taken: bool | None = acquire()
            outcome = str(taken)
        except CLIENT_ERRORS as error:
            taken, outcome = None, type(error).__name__
        ended = time.monotonic()
        if self.zero is not None and ended >= self.zero and not self.done():
            self.calls.append([round(began - self.zero, 4), round(ended - self.zero, 4),
                               outcome])
        return taken

    def done(self) -> bool:
        return any(call[2] == "True" and float(call[0]) >= 0 for call in self.calls)

    def record(self, trial: int) -> dict[str, object]:
        return {"trial": trial, "caller": self.caller, "calls": self.calls}


@pytest.mark.slow
def test_sentinel_failover(capsys: pytest.CaptureFixture[str]) -> None:
    """The master is killed while a client takes locks as fast as it can: how long until
    locks can be taken again, how many locks that the client was told it holds are
    missing on the promoted replica, and how many keys there nobody holds. Each caller's
    calls from the kill until its first successful acquire are its timeline."""
    recovery, taken, lost, orphaned = [], 0, 0, 0
    timelines: list[dict[str, object]] = []
    for trial in range(1, TRIALS + 1):
        with ExitStack() as stack:
            master, replica, sentinels = sentinel_group(stack)
            hosts = ",".join(f"127.0.0.1:{s.port}" for s in sentinels)
            taker, probe = SentinelLatch(), SentinelLatch()
            for latch in (taker, probe):
                latch.connect(hosts, port=26379)
                stack.callback(latch.disconnect)
            # The example's disconnect closes what it opened to the sentinels too, without
            # the garbage collector's help (which first closes what earlier clients left).
            gc.collect()
            gc.disable()
            try:
                assert sentinel.main([hosts]) == 0
                deadline = time.monotonic() + scaled(10)
                while callers_of(sentinels):
                    assert time.monotonic() < deadline, "sentinel connections left open"
                    time.sleep(0.01)
            finally:
                gc.enable()
            assert capsys.readouterr().out == (
                f"taken: True on the master of 'locks', port {master.port}\n")
            held: list[Address] = []
            stop = threading.Event()
            # The taker takes a new lock with each call; the probe tries one lock every 10 ms.
            taking, probing = Timeline("taker"), Timeline("probe")

            def take() -> None:
                n = 0
                while not stop.is_set():
                    target = Address("failover", str(n))
                    n += 1
                    got = taking.call(lambda: taker.acquire(target, blocking=False))
                    if got:
                        held.append(target)
                    elif got is None:
                        time.sleep(0.01)

            thread = threading.Thread(target=take, daemon=True)
            thread.start()
            stack.callback(thread.join, scaled(30))
            stack.callback(stop.set)
            deadline = time.monotonic() + scaled(30)
            while len(held) <= 100:  # enough locks held at the kill to count the lost ones
                assert time.monotonic() < deadline and thread.is_alive(), "the taker is stuck"
                time.sleep(0.01)
            os.kill(master.pid, signal.SIGKILL)
            killed = time.monotonic()
            held_at_kill = len(held)
            taking.zero = probing.zero = killed
            while not probing.call(lambda: probe.acquire(Address("failover", "probe"),
                                                         blocking=False)):
                assert time.monotonic() - killed < scaled(30), "no master 30 s after the kill"
                time.sleep(0.01)
            recovery.append(time.monotonic() - killed)
            while not taking.done():  # the taker's own first lock on the new master
                assert time.monotonic() - killed < scaled(30) and thread.is_alive(), "the taker is stuck"
                time.sleep(0.01)
            stop.set()
            thread.join(scaled(30))
            timelines += [probing.record(trial), taking.record(trial)]
            assert held_at_kill > 100
            with redis.Redis(port=replica.port) as promoted:
                assert promoted.info("replication")["role"] == "master"
                keys = {key.decode() for key in promoted.keys()}
                held_keys = {target.to_string() for target in held}
                missing = held_keys - keys
                # A SET that the master carried out and replicated but whose reply died
                # with it: the acquire raised, and nobody holds the key.
                orphans = keys - held_keys - {Address("failover", "probe").to_string()}
                assert len(orphans) <= 1, orphans  # one SET in flight at the kill
                # The holders free their locks on the new master.
                for target in held:
                    taker.release(target)
                assert promoted.dbsize() == 1 + len(orphans)
            taken += held_at_kill
            lost += len(missing)
            orphaned += len(orphans)
    # On loopback the replica had every acknowledged lock: what a master wrote to its
    # replica's socket before it died is still delivered.
    assert lost == 0, f"{lost} of {taken} locks lost"
    report("sentinel failover", seconds_until_locks_again=spread(recovery),
           locks_held_at_kill=taken, locks_lost=lost, keys_nobody_holds=orphaned,
           fault="SIGKILL of the master", timelines=timelines)


# --- memory pressure ----------------------------------------------------------------------

POLICIES = ["allkeys-lru", "allkeys-lfu", "allkeys-random", "volatile-lru", "volatile-lfu",
            "volatile-random", "volatile-ttl", "noeviction"]


@pytest.fixture(scope="module")
def memory_server() -> Iterator[RedisServer]:
    with RedisServer() as server:
        yield server


@pytest.mark.parametrize("policy", POLICIES)
def test_eviction(policy: str, memory_server: RedisServer) -> None:
    """A held lock and a cache of keys with a TTL, written until the lock is gone, the
    server refuses writes, or it has evicted the cache's size in keys `turnovers` times
    (with one random choice per eviction, a lock outlives 40 turnovers once in e^40)."""
    target, fresh = Address("evict", "held"), Address("evict", "fresh")
    with redis.Redis(port=memory_server.port) as admin:
        admin.config_set("maxmemory", "0")
        admin.flushall()
        latch, other = connected(RemoteLatch, memory_server.port), connected(
            RemoteLatch, memory_server.port)
        try:
            assert latch.acquire(target, metadata={"who": "holder"})
            limit = int(admin.info("memory")["used_memory"]) + 2_000_000
            admin.config_set("maxmemory-policy", policy)
            admin.config_set("maxmemory", str(limit))
            admin.config_resetstat()
            value, written, refused = b"x" * 1000, 0, None
            turnovers = 40 if policy.startswith("allkeys-") else 4
            while admin.exists(target.to_string()):
                if int(admin.info("stats")["evicted_keys"]) >= turnovers * admin.dbsize():
                    break
                pipe = admin.pipeline(transaction=False)
                for n in range(written, written + 200):
                    pipe.set(f"cache:{n}", value, ex=3600)
                try:
                    pipe.execute()
                except redis.exceptions.OutOfMemoryError as error:
                    # Full. Freed buffers can bring it back just under its limit for a
                    # moment; a limit well under its use keeps it full.
                    refused = error
                    used = int(admin.info("memory")["used_memory"])
                    admin.config_set("maxmemory", str(used - 1_000_000))
                    break
                written += 200
            evicted = int(admin.info("stats")["evicted_keys"])
            survived = bool(admin.exists(target.to_string()))
            try:
                fresh_taken: object = other.acquire(fresh, blocking=False)
            except redis.exceptions.ResponseError as error:
                fresh_taken = error
            if policy.startswith("allkeys-"):
                # The held lock went with the cache: another client takes it.
                assert not survived and evicted > 0
                assert other.acquire(target, blocking=False) is True
                assert fresh_taken is True
            elif policy.startswith("volatile-"):
                # Only keys with a TTL are candidates; the lock has none.
                assert survived and evicted > 0 and refused is None
                assert fresh_taken is True
            else:
                # Nothing is evicted; writes are refused, new locks too, but a release
                # (DEL) still works.
                assert survived and evicted == 0 and refused is not None
                assert type(fresh_taken) is redis.exceptions.OutOfMemoryError
                latch.release(target)
                assert not admin.exists(target.to_string())
            report(f"eviction {policy}", trials=1, cache_keys_written=written, evicted_keys=evicted,
                   held_lock_survived=survived, new_lock=repr(fresh_taken))
        finally:
            admin.config_set("maxmemory", "0")
            admin.flushall()
            latch.disconnect()
            other.disconnect()


# --- a partition that drops packets --------------------------------------------------------

PARTITION_S = 2.5

# Runs inside a network namespace of its own: a private server on the namespace's
# loopback, the six clients of the pause row, and an nftables rule that drops every
# packet to the server's port for PARTITION_S seconds.
PARTITIONED = """
    import json, subprocess, sys, time
    sys.path[:0] = [{tests!r}, {examples!r}]
    import redis
    from quarn_devkit.redis_server import RedisServer
    import test_deployment_faults as t

    def nft(*words):
        subprocess.run(["nft", *words], check=True, capture_output=True, timeout=t.scaled(30))

    figures = {{}}
    for trial in range(t.TRIALS):
        with RedisServer() as server:
            admin = redis.Redis(port=server.port)
            tag = f"partition{{trial}}"
            calls, latches = t.scenario_calls(server.port, admin, tag)
            nft("add", "table", "inet", "quarn")
            nft("add chain inet quarn in {{ type filter hook input priority 0; }}")
            nft("add", "rule", "inet", "quarn", "in", "tcp", "dport", str(server.port), "drop")
            cut = time.monotonic()
            try:
                threads, outcomes, spans = t.in_threads(calls)
                time.sleep(t.PARTITION_S - (time.monotonic() - cut))
            finally:
                healed = time.monotonic()
                nft("delete", "table", "inet", "quarn")
            for thread in threads.values():
                thread.join(t.scaled(60))
            # The bounded client closed its sockets with the command unacknowledged: the
            # kernel sends it again (backing off up to 3.2 s here) once the path is back.
            deadline = time.monotonic() + t.scaled(15)
            while time.monotonic() < deadline and not admin.exists(f"/{{tag}}/free-bounded"):
                time.sleep(0.05)
            t.check_scenario(outcomes, spans, healed, admin, tag)
            for name, (elapsed, _) in outcomes.items():
                figures.setdefault(name, []).append(elapsed)
            for latch in latches:
                latch.disconnect()
            admin.close()
    print(json.dumps({{name: t.spread(v) for name, v in figures.items()}}))
"""


@pytest.fixture
def namespace() -> Iterator[str]:
    """A network namespace with its loopback up, deleted afterwards."""
    for tool, package in (("ip", "iproute2"), ("nft", "nftables")):
        if shutil.which(tool) is None:
            pytest.skip(f"needs {tool} (apt-get install {package}) for a partition")
    name = f"quarn-faults-{os.getpid()}"
    made = subprocess.run(["ip", "netns", "add", name], capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip(f"cannot create a network namespace here: {made.stderr.strip()}")
    try:
        subprocess.run(["ip", "netns", "exec", name, "ip", "link", "set", "lo", "up"],
                       check=True, capture_output=True, timeout=scaled(30))
        probe = subprocess.run(["ip", "netns", "exec", name, "nft", "list", "tables"],
                               capture_output=True, text=True, timeout=scaled(30))
        if probe.returncode != 0:
            pytest.skip(f"nftables not usable in a namespace here: {probe.stderr.strip()}")
        yield name
    finally:
        # Whatever still runs in there was started by this test (a server whose child
        # was killed): stop it by its PID, then delete the namespace.
        left = subprocess.run(["ip", "netns", "pids", name], capture_output=True, text=True)
        for pid in left.stdout.split():
            os.kill(int(pid), signal.SIGCONT)
            os.kill(int(pid), signal.SIGKILL)
        subprocess.run(["ip", "netns", "delete", name], capture_output=True, timeout=scaled(30))


@pytest.mark.slow
def test_partition_that_drops_packets(namespace: str) -> None:
    code = textwrap.dedent(PARTITIONED.format(
        tests=str(ROOT / "tests"), examples=str(ROOT / "examples")))
    out = run_in_namespace(namespace, code, timeout=60 + 30 * TRIALS)
    report("partition", partition_s=PARTITION_S, **json.loads(out))


def run_in_namespace(namespace: str, code: str, *, timeout: float) -> str:
    """Runs `code` with this interpreter inside `namespace`; its stdout, once it exited
    with 0 within `timeout` seconds at native speed."""
    process = subprocess.Popen(
        ["ip", "netns", "exec", namespace, sys.executable, "-c", code],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        out, err = process.communicate(timeout=scaled(timeout))
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGINT)  # lets the child stop its servers
            try:
                process.communicate(timeout=scaled(10))
            except subprocess.TimeoutExpired:
                process.kill()
                process.communicate()
    assert process.returncode == 0, f"stdout:\n{out}\nstderr:\n{err}"
    return out


# --- LocalLatch across fork() ------------------------------------------------------------


def test_fork_of_a_process_holding_a_local_lock() -> None:
    """The child gets a copy of the lock in its held state, owned by nobody there."""
    check_python("""
        import os
        from quarn_data.lock.implementations.local_latch import LocalLatch
        from quarn_utils.models.data_models.address import Address

        target = Address("fork", "held")
        latch = LocalLatch()
        assert latch.acquire(target, metadata={"who": "parent"})
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            seen = [latch.locks[target].locked(),
                    latch.acquire(target, timeout_ms=100),   # held by nobody in here
                    latch.release(target),                   # any thread may free it
                    latch.acquire(target, blocking=False),   # and take it: two holders
                    latch.lock_data[target].data]
            os.write(write_end, repr(seen).encode())
            os._exit(0)
        os.close(write_end)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        seen = os.read(read_end, 4096).decode()
        assert seen == "[True, False, None, True, {'who': 'parent'}]", seen
        # The parent's lock is its own: still held, and the child's take changed nothing.
        assert latch.locks[target].locked() and not latch.acquire(target, blocking=False)
        latch.release(target)
    """)


# --- ACL -----------------------------------------------------------------------------------


def test_user_allowed_only_get() -> None:
    args = ["--user", "reader", "on", ">reader-pass", "~*", "+get",
            "--user", "admin", "on", ">admin-pass", "~*", "&*", "+@all",
            "--user", "default", "off"]
    target = Address("acl", "orders")
    with RedisServer(args) as server:
        latch = RemoteLatch()
        latch.connect("127.0.0.1", port=server.port, username="reader", password="reader-pass")
        admin = redis.Redis(port=server.port, username="admin", password="admin-pass")
        # The servers word it differently: Redis from 7.2 and Valkey (which reports 7.2.4
        # here) name the user, Redis 7.0 does not.
        version = tuple(int(n) for n in admin.info("server")["redis_version"].split(".")[:2])
        who = "User reader" if version >= (7, 2) else "this user"

        def refused(command: str) -> str:
            return f"^{re.escape(f'{who} has no permissions to run the {command!r} command')}$"
        try:
            # The first lock operation names the refused command; nothing is written.
            with pytest.raises(redis.exceptions.NoPermissionError, match=refused("set")):
                latch.acquire(target, timeout_ms=500)
            assert admin.dbsize() == 0
            with pytest.raises(redis.exceptions.NoPermissionError, match=refused("del")):
                latch.release(target)
            # is_alive lets every error but a connection error through.
            with pytest.raises(redis.exceptions.NoPermissionError, match=refused("ping")):
                latch.is_alive
        finally:
            latch.disconnect()
            admin.close()
