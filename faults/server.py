"""The faults of one Redis server (and of a Sentinel group), and of one process: what each
does to a waiting `acquire` and to a held lock, for the rows of RELIABILITY.md's table.

    python faults/run.py --only pause            # faults/run.py runs them and keeps the rows

"Default client" is the `redis.Redis` that `RemoteLatch.connect` builds (redis-py's
defaults: 5 s socket and connect timeouts, ten retries with backoff); "bounded client" is
examples/bounded.py (0.5 s timeouts, no retry after a timeout). Each experiment starts its
own servers (and, for the partition, a network namespace) and stops all it started, also
on failure; a paused server is continued before it is stopped.
"""

from __future__ import annotations

import functools
import gc
import io
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager, redirect_stdout
from pathlib import Path

import redis

import bounded
import sentinel
from bounded import BoundedLatch
from faults.harness import (DEFAULT_TIMEOUT_S, Row, Timeline, Unavailable, connected,
                            in_threads, namespace, row, run_in_namespace, spread, timed)
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_devkit.redis_server import RedisServer
from quarn_devkit.waits import scaled
from quarn_utils.models.data_models.address import Address
from sentinel import SERVICE_NAME, SentinelLatch

# The bounded client's 0.5 s, with room for a loaded machine.
BOUNDED_LIMIT_S = 1.5
SETUPS = {"default": RemoteLatch, "bounded": BoundedLatch}
CASES = ("waiting", "free", "release")


# --- six clients in the middle of an operation ----------------------------------------------

def scenario_calls(port: int, admin: redis.Redis, tag: str) -> tuple[
        dict[str, Callable[[], object]], list[RemoteLatch]]:
    """For each client set-up: a blocking acquire (500 ms) on a lock that someone else
    holds, an acquire (500 ms) of a free lock, and the release of a lock it holds."""
    calls: dict[str, Callable[[], object]] = {}
    latches = []
    held = Address(tag, "held")
    admin.set(held.to_string(), "someone else")
    for kind, cls in SETUPS.items():
        for case in CASES:
            latch = connected(cls, port)
            latches.append(latch)
            target = held if case == "waiting" else Address(tag, f"{case}-{kind}")
            if case == "release":
                assert latch.acquire(target, blocking=False)
                calls[f"{kind} {case}"] = functools.partial(latch.release, target)
            else:
                calls[f"{kind} {case}"] = functools.partial(
                    latch.acquire, target, timeout_ms=500, metadata={"who": kind})
    return calls, latches


def check_scenario(outcomes: dict[str, tuple[float, object]],
                   spans: dict[str, tuple[float, float]], healed: float, admin: redis.Redis,
                   tag: str) -> dict[str, str]:
    """The outcomes that the pause and the partition rows state, for calls made in the
    `spans` that in_threads gives, during a fault that ended at `healed` (time.monotonic()
    taken just before the server was continued or the path restored). Returns what each
    call gave: its result, or the name of the exception it raised."""
    for kind in SETUPS:
        for case in CASES:
            name = f"{kind} {case}"
            elapsed, result = outcomes[name]
            if kind == "bounded":
                # Each command gives up after the socket timeout.
                assert type(result) is redis.exceptions.TimeoutError, (name, result)
                assert elapsed < scaled(BOUNDED_LIMIT_S), (name, elapsed)
                continue
            # Blocked for the whole fault; then the late reply, or its own retry after
            # the socket timeout, decides. A SET that waited longer than that timeout was
            # sent again; on waking the server ran the first one, and the retry found that
            # key: the free lock reads as taken. A shorter wait simply completes on waking.
            # How long a call waited is measured, not assumed: a loaded machine may start
            # it well after the fault began. Near the timeout either can happen.
            began, ended = spans[name]
            blocked = healed - began
            assert ended >= healed, (name, "ended before the fault did", blocked, elapsed,
                                     result)
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
    for kind in SETUPS:
        assert admin.exists(f"/{tag}/release-{kind}") == 0
        assert admin.get(f"/{tag}/free-{kind}") == json.dumps({"who": kind}).encode()
    return {name: type(result).__name__ if isinstance(result, BaseException) else repr(result)
            for name, (_, result) in outcomes.items()}


def outcome_figures(figures: dict[str, list[float]],
                    given: dict[str, set[str]]) -> dict[str, object]:
    """Each call's seconds ({"median", "max"}) and what it gave in the trials."""
    return {name: {**spread(values), "gave": sorted(given[name])}
            for name, values in figures.items()}


# --- server paused ---------------------------------------------------------------------------

# Longer than the default client's 5 s socket timeout, so that its retry shows.
PAUSE_S = 6.0


def paused(trials: int) -> Row:
    """SIGSTOP for 6 s while six clients are in the middle of a lock operation."""
    figures: dict[str, list[float]] = {}
    given: dict[str, set[str]] = {}
    for trial in range(trials):
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
            with redirect_stdout(io.StringIO()):
                assert bounded.main(["127.0.0.1", str(server.port)]) == 0
            server.pause()
            paused_at = time.monotonic()
            try:
                threads, outcomes, spans = in_threads(calls)
                with redirect_stdout(io.StringIO()):
                    assert bounded.main(["127.0.0.1", str(server.port)]) == 1  # no answer
                time.sleep(PAUSE_S - (time.monotonic() - paused_at))
            finally:
                healed = time.monotonic()
                server.resume()
            for thread in threads.values():
                thread.join(scaled(30))
            assert len(outcomes) == 6, sorted(outcomes)
            for name, gave in check_scenario(outcomes, spans, healed, admin, tag).items():
                given.setdefault(name, set()).add(gave)
            for name, (elapsed, _) in outcomes.items():
                figures.setdefault(name, []).append(elapsed)
    return row("pause", "server paused", trials, pause_s=PAUSE_S,
               calls=outcome_figures(figures, given))


def paused_for_good() -> Row:
    """The default client's own limit on a server that never answers again: ten retries of
    its 5 s socket timeout (a redis-py without that timeout waits for ever)."""
    if DEFAULT_TIMEOUT_S is None:
        raise AssertionError("this redis-py's default client waits as long as the server is "
                             "silent: nothing to measure")
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
    return row("pause-for-good", "server paused and not resumed", 1,
               seconds_to_error=round(elapsed, 1), error=type(result).__name__)


# --- a partition that drops packets ----------------------------------------------------------

PARTITION_S = 2.5

# Runs inside a network namespace of its own: a private server on the namespace's
# loopback, the six clients of the pause row, and an nftables rule that drops every
# packet to the server's port for PARTITION_S seconds.
PARTITIONED = """
import json, time
import redis
from faults import server as s
from faults.harness import in_threads, nft
from quarn_devkit.redis_server import RedisServer
from quarn_devkit.waits import scaled

figures, given = {{}}, {{}}
for trial in range({trials}):
    with RedisServer() as server:
        admin = redis.Redis(port=server.port)
        tag = f"partition{{trial}}"
        calls, latches = s.scenario_calls(server.port, admin, tag)
        nft("add", "table", "inet", "quarn")
        nft("add chain inet quarn in {{ type filter hook input priority 0; }}")
        nft("add", "rule", "inet", "quarn", "in", "tcp", "dport", str(server.port), "drop")
        cut = time.monotonic()
        try:
            threads, outcomes, spans = in_threads(calls)
            time.sleep(s.PARTITION_S - (time.monotonic() - cut))
        finally:
            healed = time.monotonic()
            nft("delete", "table", "inet", "quarn")
        for thread in threads.values():
            thread.join(scaled(60))
        # The bounded client closed its sockets with the command unacknowledged: the
        # kernel sends it again (backing off up to 3.2 s here) once the path is back.
        deadline = time.monotonic() + scaled(15)
        while time.monotonic() < deadline and not admin.exists(f"/{{tag}}/free-bounded"):
            time.sleep(0.05)
        for name, gave in s.check_scenario(outcomes, spans, healed, admin, tag).items():
            given.setdefault(name, []).append(gave)
        for name, (elapsed, _) in outcomes.items():
            figures.setdefault(name, []).append(elapsed)
        for latch in latches:
            latch.disconnect()
        admin.close()
print(json.dumps({{"figures": figures, "given": given}}))
"""


def partition(trials: int) -> Row:
    """A rule that drops every packet to the server's port for 2.5 s, while six clients
    are in the middle of a lock operation (in a network namespace: needs root)."""
    with namespace() as name:
        out = json.loads(run_in_namespace(name, PARTITIONED.format(trials=trials),
                                          timeout=60 + 30 * trials))
    given = {name: set(values) for name, values in out["given"].items()}
    return row("partition", "partition that drops packets", trials, partition_s=PARTITION_S,
               calls=outcome_figures(out["figures"], given))


# --- server crash and restart ----------------------------------------------------------------

PERSISTENCE = {"none": [], "appendonly-always": ["--appendonly", "yes",
                                                 "--appendfsync", "always"]}


def crash_and_restart(persistence: str, directory: Path) -> Row:
    """SIGKILL and start again on the same port and directory, while a lock is held, with
    each client set-up."""
    target = Address("restart", persistence)
    seen = {}
    for setup, cls in SETUPS.items():
        (directory / setup).mkdir(parents=True, exist_ok=True)
        with ExitStack() as stack:
            server = RedisServer(PERSISTENCE[persistence], directory=directory / setup)
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
            seen[setup] = {"lock_survived": not taken_by_other}
    return row(f"restart-{persistence}", f"server crash and restart, {persistence}", 1,
               persistence=persistence, setups=seen)


# --- Sentinel failover -----------------------------------------------------------------------

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


def sentinel_failover(trials: int) -> Row:
    """The master is killed while a client takes locks as fast as it can: how long until
    locks can be taken again, how many locks that the client was told it holds are
    missing on the promoted replica, and how many keys there nobody holds. Each caller's
    calls from the kill until its first successful acquire are its timeline."""
    recovery, taken, lost, orphaned = [], 0, 0, 0
    timelines: list[dict[str, object]] = []
    for trial in range(1, trials + 1):
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
                printed = io.StringIO()
                with redirect_stdout(printed):
                    assert sentinel.main([hosts]) == 0
                assert printed.getvalue() == (
                    f"taken: True on the master of 'locks', port {master.port}\n")
                deadline = time.monotonic() + scaled(10)
                while callers_of(sentinels):
                    assert time.monotonic() < deadline, "sentinel connections left open"
                    time.sleep(0.01)
            finally:
                gc.enable()
            held: list[Address] = []
            stop = threading.Event()
            # The taker takes a new lock with each call; the probe tries one lock every 10 ms.
            taking = Timeline("taker", "taker (a new lock each call)")
            probing = Timeline("probe", "probe (one lock every 10 ms)")

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
                assert time.monotonic() - killed < scaled(30) and thread.is_alive(), (
                    "the taker is stuck")
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
    return row("sentinel-failover", "sentinel failover", trials,
               seconds_until_locks_again=spread(recovery), locks_held_at_kill=taken,
               locks_lost=lost, keys_nobody_holds=orphaned, fault="SIGKILL of the master",
               timelines=timelines)


# --- memory pressure -------------------------------------------------------------------------

POLICIES = ["allkeys-lru", "allkeys-lfu", "allkeys-random", "volatile-lru", "volatile-lfu",
            "volatile-random", "volatile-ttl", "noeviction"]


@contextmanager
def memory_server() -> Iterator[RedisServer]:
    """One server for every policy: each experiment resets its limit and flushes it."""
    with RedisServer() as server:
        yield server


def eviction(policy: str, server: RedisServer) -> Row:
    """A held lock and a cache of keys with a TTL, written until the lock is gone, the
    server refuses writes, or it has evicted the cache's size in keys `turnovers` times
    (with one random choice per eviction, a lock outlives 40 turnovers once in e^40)."""
    target, fresh = Address("evict", "held"), Address("evict", "fresh")
    with redis.Redis(port=server.port) as admin:
        admin.config_set("maxmemory", "0")
        admin.flushall()
        latch, other = connected(RemoteLatch, server.port), connected(RemoteLatch, server.port)
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
            new_lock = (type(fresh_taken).__name__ if isinstance(fresh_taken, BaseException)
                        else repr(fresh_taken))
            return row(f"eviction-{policy}", f"eviction, {policy}", 1, policy=policy,
                       cache_keys_written=written, evicted_keys=evicted,
                       held_lock_survived=survived, new_lock=new_lock)
        finally:
            admin.config_set("maxmemory", "0")
            admin.flushall()
            latch.disconnect()
            other.disconnect()


# --- a holder killed -------------------------------------------------------------------------

HOLDER = """
import sys, time
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address

latch = RemoteLatch()
latch.connect("127.0.0.1", port=int(sys.argv[1]))
assert latch.acquire(Address("faults", "killed"), metadata={"who": "doomed"}) is True
print("held", flush=True)
time.sleep(600)
"""


def holder_killed(port: int) -> Row:
    """A process that holds a lock is killed (SIGKILL): the key stays, another instance
    waits in vain, and any instance's release frees it."""
    target = Address("faults", "killed")
    key = target.to_string()
    process = subprocess.Popen([sys.executable, "-c", HOLDER, str(port)],
                               stdout=subprocess.PIPE, text=True)
    try:
        assert process.stdout is not None
        assert process.stdout.readline() == "held\n"
        os.kill(process.pid, signal.SIGKILL)
        process.communicate(timeout=scaled(30))
    finally:
        if process.poll() is None:
            process.kill()
        process.communicate()
    assert process.returncode == -signal.SIGKILL
    admin, latch = redis.Redis(port=port), connected(RemoteLatch, port)
    try:
        # No expiry: the key outlives its holder.
        assert admin.get(key) == b'{"who": "doomed"}'
        ttl = admin.ttl(key)
        assert ttl == -1
        waited = latch.acquire(target, timeout_ms=300)
        assert waited is False and admin.get(key) == b'{"who": "doomed"}'
        # Any instance may free it.
        latch.release(target)
        assert admin.exists(key) == 0
        assert latch.acquire(target, timeout_ms=0, metadata={"who": "heir"}) is True
        assert admin.get(key) == b'{"who": "heir"}'
        latch.release(target)
    finally:
        latch.disconnect()
        admin.close()
    return row("holder-killed", "holder killed", 1, ttl=ttl, waiting_timeout_ms=300,
               waiting_gave=repr(waited), freed_by_another_instance=True)


# --- LocalLatch across fork() ----------------------------------------------------------------

FORKED = """
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
"""


def fork_of_a_holder() -> Row:
    """The child of a process whose LocalLatch holds a lock gets a copy of the lock in its
    held state, owned by nobody there (in a fresh interpreter: fork() leaves this one)."""
    done = subprocess.run([sys.executable, "-c", FORKED], capture_output=True, text=True,
                          timeout=scaled(60))
    assert done.returncode == 0, done.stderr
    return row("fork", "fork() of a LocalLatch holder", 1, child_sees_it_held=True,
               child_acquire_timeout_ms=100, child_acquire_gave="False",
               child_takes_it_after_release=True, parent_still_holds=True)


# --- ACL ---------------------------------------------------------------------------------------

def user_allowed_only_get() -> Row:
    """An ACL user that may only GET: each lock operation names the command refused."""
    args = ["--user", "reader", "on", ">reader-pass", "~*", "+get",
            "--user", "admin", "on", ">admin-pass", "~*", "&*", "+@all",
            "--user", "default", "off"]
    target = Address("acl", "orders")
    refusals = {}
    with RedisServer(args) as server:
        latch = RemoteLatch()
        latch.connect("127.0.0.1", port=server.port, username="reader", password="reader-pass")
        admin = redis.Redis(port=server.port, username="admin", password="admin-pass")
        # The servers word it differently: Redis from 7.2 and Valkey (which reports 7.2.4
        # here) name the user, Redis 7.0 does not.
        version = tuple(int(n) for n in admin.info("server")["redis_version"].split(".")[:2])
        who = "User reader" if version >= (7, 2) else "this user"
        try:
            for command, call in (("set", lambda: latch.acquire(target, timeout_ms=500)),
                                  ("del", lambda: latch.release(target)),
                                  ("ping", lambda: latch.is_alive)):
                _, refused = timed(call)
                expected = f"{who} has no permissions to run the {command!r} command"
                # The first lock operation names the refused command; nothing is written.
                assert type(refused) is redis.exceptions.NoPermissionError, refused
                assert re.fullmatch(re.escape(expected), str(refused)), str(refused)
                assert admin.dbsize() == 0
                refusals[command] = {"error": type(refused).__name__, "text": str(refused)}
        finally:
            latch.disconnect()
            admin.close()
    return row("acl-get-only", "ACL user allowed only GET", 1, refusals=refusals)


# --- the attempts of a blocking acquire ------------------------------------------------------

LIMITS_MS = (0, 100, 300, 500, 800, 1000, 1500, 2000)


def attempts(port: int) -> Row:
    """How many attempts (SET NX) and waits of 0.1 s a blocking acquire makes on a lock that
    someone else holds, for each of LIMITS_MS: the module's own sleep is replaced by one that
    only counts, and the server counts the SETs. The waits are counted as the module counts
    them, adding 0.1 to a float per wait until the sum reaches timeout_ms / 1000, so the
    float sums of 0.1 decide where a limit that is a multiple of it ends."""
    from quarn_data.lock.implementations import remote_latch

    target = Address("attempts", "held")
    admin, latch = redis.Redis(port=port), connected(RemoteLatch, port)
    waits: list[float] = []
    real_sleep = remote_latch.sleep

    def counted(seconds: float) -> None:
        waits.append(seconds)
    remote_latch.sleep = counted  # type: ignore[assignment]
    seen = {}
    try:
        admin.set(target.to_string(), "someone else")
        for limit in LIMITS_MS:
            waits.clear()
            admin.config_resetstat()
            assert latch.acquire(target, timeout_ms=limit) is False
            sets = int(admin.info("commandstats")["cmdstat_set"]["calls"])
            assert all(wait == 0.1 for wait in waits)
            seen[str(limit)] = {"attempts": sets, "waits": len(waits)}
    finally:
        remote_latch.sleep = real_sleep
        latch.disconnect()
        admin.close()
    return row("attempts", "attempts of a blocking acquire", 1, limits=seen)


def run_all(trials: int, only: Callable[[str], bool], report: Callable[[Row], None],
            work: Path, left_out: dict[str, str]) -> None:
    """Every experiment of this file that `only` accepts (by row id), each row given to
    `report` as it is measured, or its id and the reason in `left_out` where what it
    needs cannot be had here; `work` is a folder for the servers' files."""
    steps: list[tuple[str, Callable[[], Row]]] = [
        ("pause", lambda: paused(trials)),
        ("pause-for-good", paused_for_good),
        ("partition", lambda: partition(trials)),
        *((f"restart-{p}", lambda p=p: crash_and_restart(p, work / p)) for p in PERSISTENCE),
        ("sentinel-failover", lambda: sentinel_failover(trials)),
        ("holder-killed", lambda: with_server(holder_killed)),
        ("attempts", lambda: with_server(attempts)),
        ("fork", fork_of_a_holder),
        ("acl-get-only", user_allowed_only_get),
    ]
    for ident, step in steps:
        if only(ident):
            try:
                report(step())
            except Unavailable as why:
                left_out[ident] = str(why)
    if any(only(f"eviction-{policy}") for policy in POLICIES):
        with memory_server() as server:
            for policy in POLICIES:
                if only(f"eviction-{policy}"):
                    report(eviction(policy, server))


def with_server(experiment: Callable[[int], Row]) -> Row:
    with RedisServer() as server:
        return experiment(server.port)

