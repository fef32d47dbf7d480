"""The faults of a Redis Cluster, for the rows of RELIABILITY.md's "Redis Cluster" table:
a master killed, a manual failover, a slot moved under load, a master lost without a
replica, and a master cut off by the network.

The cluster (quarn_devkit.redis_cluster) has three masters and three replicas on
loopback, `cluster-node-timeout` NODE_TIMEOUT_MS (1000 ms), each replica synced before a
trial; a trial that kills, cuts off or moves something leaves the cluster healthy for the
next (the killed node is started again and rejoins as a replica). "default" is redis-py's
`RedisCluster` with its defaults (`DefaultClusterLatch` below, the README's first
example); "bounded" is examples/cluster.py's `ClusterLatch`.

During each fault, twelve callers (`Callers`) make a call every PACE_S: per set-up and per
side (the failed master's slots, "its"; another master's, "other"), a waiting acquire, an
acquire of a free lock and a release. The master-kill, failover and cut-off rows carry
`fault` (what happens at time 0), `until` (what ends their timelines) and `timelines`: per
trial, one record for each caller (its id "bounded/its/waiting", its label "bounded, its
slots, waiting") with every call it made from the one in flight at the fault until both
set-ups took a lock on the failed master's slots again (the cut-off row: until the cut
healed), as [start, end, outcome] in seconds from the fault.
"""

from __future__ import annotations

import collections
import functools
import itertools
import json
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import redis
from redis.cluster import RedisCluster
from redis.crc import key_slot

import cluster as cluster_example
from cluster import ClusterLatch
from faults.harness import (DEFAULT_TIMEOUT_S, ROOT, Row, Unavailable, namespace, nft, row,
                            run_in_namespace, spread)
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_devkit.redis_cluster import NODE_TIMEOUT_MS, LocalCluster
from quarn_devkit.redis_server import RedisServer
from quarn_devkit.waits import scaled
from quarn_utils.models.data_models.address import Address

# The bounded client's own timeouts are for a machine at full speed: here, as in the
# workers, they scale with the time factor (1 unless the run is emulated).
cluster_example.SOCKET_TIMEOUT_S = scaled(cluster_example.SOCKET_TIMEOUT_S)
cluster_example.CONNECT_TIMEOUT_S = scaled(cluster_example.CONNECT_TIMEOUT_S)

NODE_TIMEOUT_S = NODE_TIMEOUT_MS / 1000
WAITING_MS = 200
PACE_S = 0.05


class DefaultClusterLatch(RemoteLatch):
    """The README's first example: redis-py's cluster client with its defaults."""

    @staticmethod
    def _get_redis_client(host: str, *, port: int = 6379, **_: Any) -> Any:
        return RedisCluster(host=host, port=port)


SETUPS: dict[str, type[RemoteLatch]] = {"default": DefaultClusterLatch, "bounded": ClusterLatch}
# Each side of a fault: its id in a caller's id, its words in a caller's label.
SIDES = {"faulty": ("its", "its slots"), "healthy": ("other", "other slots")}
CALLS = ("waiting", "free", "release")


@contextmanager
def healthy_cluster() -> Iterator[LocalCluster]:
    """Three masters with a replica each, healthy and empty, with their default settings."""
    with LocalCluster(masters=3, replicas=1) as made:
        yield made


@contextmanager
def healed(cluster: LocalCluster) -> Iterator[LocalCluster]:
    """The cluster healthy and empty for one experiment, and healed again after it, also
    when it failed."""
    cluster.heal()
    cluster.flush()
    try:
        yield cluster
    finally:
        cluster.heal()
        cluster.configure("cluster-require-full-coverage", "yes")


def connected(cls: type[RemoteLatch], node: RedisServer) -> RemoteLatch:
    latch = cls()
    latch.connect(node.host, port=node.port)
    return latch


def slot_map(cluster: LocalCluster) -> Callable[[int], RedisServer]:
    """The master of each slot, as the cluster has it now."""
    ranges = [(low, high, master) for master in cluster.masters()
              for v in cluster.view(master) if "myself" in v.flags for low, high in v.slots]
    return lambda slot: next(m for low, high, m in ranges if low <= slot <= high)


def targets_on(cluster: LocalCluster, master: RedisServer, prefix: str) -> Iterator[Address]:
    """Targets whose keys hash to slots of `master`, without end."""
    owner = slot_map(cluster)
    for n in itertools.count():
        target = Address(prefix, str(n))
        if owner(key_slot(target.to_string().encode())) is master:
            yield target


def keys_on(node: RedisServer, prefix: str) -> set[str]:
    with redis.Redis(host=node.host, port=node.port) as client:
        return {key.decode() for key in client.scan_iter(match=f"/{prefix}/*", count=1000)}


def outcome_name(outcome: object) -> str:
    return type(outcome).__name__ if isinstance(outcome, BaseException) else repr(outcome)


# --- callers during a fault ----------------------------------------------------------


class Callers:
    """Per client set-up and per side (the slots of the faulty master, another master's),
    three callers in threads of their own, each with its own client, each making one
    call every PACE_S: a waiting acquire, an acquire of a free lock, and a release. Beside
    them a taker takes free locks on the faulty master's slots as fast as it can (the
    bounded client), so that enough locks are held at the fault to count the lost ones."""

    def __init__(self, cluster: LocalCluster, faulty: RedisServer, healthy: RedisServer,
                 tag: str, entry: RedisServer) -> None:
        self.stop = threading.Event()
        self.calls: list[tuple[str, str, str, float, float, str]] = []
        self.held: set[str] = set()  # keys whose callers were told they hold them
        self.unknown: set[str] = set()  # keys of a release that raised
        self.taken: list[tuple[float, str]] = []  # (time, key) of the taker's locks
        self.threads: list[threading.Thread] = []
        self.latches: list[RemoteLatch] = []
        self.lock = threading.Lock()
        self.tag = tag
        self.pools = {side: targets_on(cluster, master, tag)
                      for side, master in (("faulty", faulty), ("healthy", healthy))}
        # One lock on each side that someone else holds, for the waiting callers.
        self.others = {side: next(self.pools[side]) for side in self.pools}
        for side, master in (("faulty", faulty), ("healthy", healthy)):
            with redis.Redis(host=master.host, port=master.port) as node:
                node.set(self.others[side].to_string(), "someone else")
            self.held.add(self.others[side].to_string())
        for setup, cls in SETUPS.items():
            for side in SIDES:
                for call in CALLS:
                    latch = connected(cls, entry)
                    self.latches.append(latch)
                    self._start(self._caller, latch, setup, side, call, self.others[side])
        taker = connected(ClusterLatch, entry)
        self.latches.append(taker)
        self._start(self._taker, taker)

    def _start(self, run: Callable[..., None], *args: Any) -> None:
        thread = threading.Thread(target=run, args=args, daemon=True)
        thread.start()
        self.threads.append(thread)

    def _next(self, side: str) -> Address:
        with self.lock:
            return next(self.pools[side])

    def _caller(self, latch: RemoteLatch, setup: str, side: str, call: str,
                held: Address) -> None:
        while not self.stop.is_set():
            began = time.monotonic()
            if call == "release":
                target = self._next(side)
                try:
                    if not latch.acquire(target, blocking=False):
                        continue
                except Exception:  # noqa: BLE001 - a release needs a lock first
                    time.sleep(PACE_S)
                    continue
                began = time.monotonic()
                result = self._timed(lambda: latch.release(target))
                if isinstance(result, BaseException):
                    self.unknown.add(target.to_string())
            else:
                target = held if call == "waiting" else self._next(side)
                result = self._timed(lambda: latch.acquire(target, timeout_ms=WAITING_MS))
                if result is True:
                    self.held.add(target.to_string())
            ended = time.monotonic()
            self.calls.append((setup, side, call, began, ended, outcome_name(result)))
            time.sleep(max(0.0, began + PACE_S - time.monotonic()))

    @staticmethod
    def _timed(call: Callable[[], object]) -> object:
        try:
            return call()
        except Exception as error:  # noqa: BLE001 - the outcome is what is recorded
            return error

    def _taker(self, latch: RemoteLatch) -> None:
        while not self.stop.is_set():
            target = self._next("faulty")
            try:
                if latch.acquire(target, blocking=False):
                    self.taken.append((time.monotonic(), target.to_string()))
                    self.held.add(target.to_string())
            except Exception:  # noqa: BLE001 - it only counts the locks it got
                time.sleep(0.01)

    def wait(self, what: str, done: Callable[[], bool], seconds: float = 30) -> None:
        deadline = time.monotonic() + scaled(seconds)
        while not done():
            assert time.monotonic() < deadline, f"not within {scaled(seconds):.0f} s: {what}"
            assert all(t.is_alive() for t in self.threads), "a caller died"
            time.sleep(0.01)

    def warm_up(self) -> None:
        """Until every caller has made a call and the taker holds some locks."""
        self.wait("every caller made a call", lambda: len(
            {c[:3] for c in self.calls}) == 12 and len(self.taken) > 50)

    def succeeded_after(self, moment: float, setup: str, side: str = "faulty") -> float | None:
        """End of the first "free" call of `setup` on `side` that started after
        `moment` and took its lock."""
        ends = [c[4] for c in list(self.calls)
                if c[:3] == (setup, side, "free") and c[3] > moment and c[5] == "True"]
        return min(ends) if ends else None

    def took_locks_after(self, moment: float, setup: str) -> bool:
        return self.succeeded_after(moment, setup) is not None

    def close(self) -> None:
        self.stop.set()
        for thread in self.threads:
            thread.join(scaled(120))
        assert not any(t.is_alive() for t in self.threads), "a caller did not end"
        for latch in self.latches:
            latch.disconnect()

    def timeline(self, fault: float) -> list[list[Any]]:
        return [[s, side, c, round(a - fault, 3), round(b - fault, 3), o]
                for s, side, c, a, b, o in sorted(self.calls, key=lambda c: c[3])]


def during(calls: list[list[Any]], setup: str, side: str, start: float,
           end: float) -> list[list[Any]]:
    """The calls of `setup` on `side` that were under way between start and end."""
    return [c for c in calls if c[0] == setup and c[1] == side and c[4] >= start
            and c[3] <= end]


def caller_timelines(calls: list[list[Any]], trial: int,
                     until: float) -> list[dict[str, object]]:
    """The trial's calls as one timeline record per caller (faults.harness.Timeline's
    format): [start, end, outcome] of each call under way between the fault and `until`."""
    return [{"trial": trial, "caller": f"{setup}/{SIDES[side][0]}/{call}",
             "label": f"{setup}, {SIDES[side][1]}, {call}",
             "calls": [c[3:] for c in during(calls, setup, side, 0, until) if c[2] == call]}
            for setup in SETUPS for side in SIDES for call in CALLS]


def errors(calls: list[list[Any]]) -> dict[str, int]:
    return dict(collections.Counter(c[5] for c in calls if c[5] not in ("True", "False",
                                                                         "None")))


def longest(calls: list[list[Any]]) -> float:
    return max((c[4] - c[3] for c in calls), default=0.0)


def summary(calls: list[list[Any]], start: float, end: float) -> dict[str, Any]:
    """Per set-up and side: the longest call under way in [start, end], and the errors."""
    return {f"{setup} {side}": {"longest_call_s": round(longest(during(calls, setup, side,
                                                                       start, end)), 2),
                                "errors": errors(during(calls, setup, side, start, end))}
            for setup in SETUPS for side in ("faulty", "healthy")}


def role(node: RedisServer) -> str | None:
    try:
        with redis.Redis(host=node.host, port=node.port, socket_timeout=0.5) as client:
            return str(client.info("replication")["role"])
    except redis.RedisError:
        return None


def wait_for(what: str, done: Callable[[], bool], seconds: float = 30) -> float:
    """Polls `done` every 10 ms; the time.monotonic() at which it was first true."""
    deadline = time.monotonic() + scaled(seconds)
    while not done():
        assert time.monotonic() < deadline, f"not within {scaled(seconds):.0f} s: {what}"
        time.sleep(0.01)
    return time.monotonic()


# --- workers that take turns on targets ----------------------------------------------

WORKER = """
import json, sys, time
sys.path[:0] = [{root!r}, {examples!r}]
import cluster
from cluster import ClusterLatch
from faults.cluster import DefaultClusterLatch
from quarn_devkit.waits import scaled
from quarn_utils.models.data_models.address import Address

# The bounded client's timeouts are for a real machine; an emulated one answers slower.
cluster.SOCKET_TIMEOUT_S = scaled(cluster.SOCKET_TIMEOUT_S)
cluster.CONNECT_TIMEOUT_S = scaled(cluster.CONNECT_TIMEOUT_S)

port, workers, rounds = {port}, {workers}, {rounds}
targets = [Address(*segments) for segments in {segments!r}]
latch = (ClusterLatch if {bounded} else DefaultClusterLatch)()
latch.connect("127.0.0.1", port=port)
client = latch.client

# Start together, so that the workers contend from their first round.
client.incr("{{barrier}}:ready")
deadline = time.monotonic() + {ready_s}
while int(client.get("{{barrier}}:ready")) < workers:
    assert time.monotonic() < deadline, "the other workers never came"
    time.sleep(0.005)

sections, waits = {{}}, 0
for _ in range(rounds):
    for target in targets:
        key = target.to_string()
        counter = "{{" + key + "}}:counter"  # a hash tag: same slot as the lock
        if not latch.acquire(target, blocking=False):
            waits += 1
            assert latch.acquire(target, timeout_ms=30000)
        start = time.monotonic_ns()
        value = int(client.get(counter) or 0)
        time.sleep(0.005)
        client.set(counter, value + 1)
        end = time.monotonic_ns()
        latch.release(target)
        sections.setdefault(key, []).append((start, end))
latch.disconnect()
print(json.dumps({{"sections": sections, "waits": waits}}))
"""


def start_workers(cluster: LocalCluster, targets: list[Address], workers: int,
                  rounds: int) -> list[subprocess.Popen[str]]:
    masters = cluster.masters()
    with RedisCluster(host="127.0.0.1", port=masters[0].port) as client:
        client.delete("{barrier}:ready")
    return [subprocess.Popen(
        [sys.executable, "-c", WORKER.format(
            root=str(ROOT), examples=str(ROOT / "examples"),
            port=masters[me % len(masters)].port, bounded=me % 2 == 0,
            workers=workers, rounds=rounds, segments=[t.segments for t in targets],
            ready_s=scaled(30))],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for me in range(workers)]


def finish_workers(cluster: LocalCluster, processes: list[subprocess.Popen[str]],
                   targets: list[Address], rounds: int) -> int:
    """Waits for the workers and checks that each counter is exact and that no two
    critical sections overlapped; the number of times a worker found a lock taken."""
    outputs = []
    try:
        for process in processes:
            out, err = process.communicate(timeout=scaled(120))
            assert process.returncode == 0, err
            outputs.append(json.loads(out))
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
            with process:  # closes its pipes, also those of a worker not read above
                pass
    with RedisCluster(host="127.0.0.1", port=cluster.masters()[0].port) as client:
        for target in targets:
            key = target.to_string()
            assert client.get("{" + key + "}:counter") == str(len(processes) * rounds).encode()
            assert client.exists(key) == 0
            sections = sorted(tuple(s) for output in outputs for s in output["sections"][key])
            assert len(sections) == len(processes) * rounds
            for (_, end), (start, _) in zip(sections, sections[1:]):
                assert end <= start, f"two holders of {key} at once"
    return sum(output["waits"] for output in outputs)


# --- a master killed, a manual failover ------------------------------------------------

class StateWatch:
    """Polls one node's cluster_state every 10 ms in a thread: when it was not "ok"."""

    def __init__(self, node: RedisServer) -> None:
        self.node, self.stop = node, threading.Event()
        self.down: list[float] = []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        while not self.stop.is_set():
            try:
                state = LocalCluster.admin(self.node, "CLUSTER", "INFO", timeout=0.5)
                if not state.startswith(b"cluster_state:ok"):
                    self.down.append(time.monotonic())
            except redis.RedisError:
                pass
            time.sleep(0.01)

    def close(self) -> None:
        self.stop.set()
        self.thread.join(scaled(10))


def locks_on_failed_over(cluster: LocalCluster, callers: Callers, taken_before: set[str],
                         promoted_node: RedisServer) -> tuple[int, list[str]]:
    """(locks held at the fault missing on the promoted node, keys there that nobody
    holds: an acquire that raised or timed out after its SET ran)."""
    keys = keys_on(promoted_node, callers.tag)
    return len(taken_before - keys), sorted(keys - callers.held - callers.unknown)


# --- a slot moved under load -----------------------------------------------------------


def move_slot(cluster: LocalCluster, slot: int, source: RedisServer, destination: RedisServer,
              batch: int = 10, pause_s: float = 0.02) -> None:
    """Moves `slot` as `redis-cli --cluster reshard` does: the destination imports it, the
    source migrates it, MIGRATE carries its keys a batch at a time, then every master is
    told its new owner (the destination first)."""
    admin = LocalCluster.admin
    source_id, destination_id = cluster.node_id(source), cluster.node_id(destination)
    admin(destination, "CLUSTER", "SETSLOT", slot, "IMPORTING", source_id)
    admin(source, "CLUSTER", "SETSLOT", slot, "MIGRATING", destination_id)
    while keys := admin(source, "CLUSTER", "GETKEYSINSLOT", slot, batch):
        admin(source, "MIGRATE", destination.host, destination.port, "", 0, 5000, "KEYS", *keys)
        time.sleep(pause_s)
    for node in [destination, source] + [m for m in cluster.masters()
                                         if m not in (source, destination)]:
        admin(node, "CLUSTER", "SETSLOT", slot, "NODE", destination_id)


def slot_moved(cluster: LocalCluster, trials: int) -> Row:
    """Four processes (two of each client set-up) take turns on one target and bump a
    counter in its slot inside the lock while that slot moves to another master, with 200
    other keys in it and a lock held by someone else throughout."""
    workers, rounds, moved_during = 4, 40, 0
    for trial in range(trials):
        masters = cluster.masters()
        source, destination = masters[trial % 3], masters[(trial + 1) % 3]
        contended = next(targets_on(cluster, source, f"move{trial}"))
        slot = key_slot(contended.to_string().encode())
        kept = next(t for t in (Address(f"move{trial}-kept", str(n)) for n in itertools.count())
                    if key_slot(t.to_string().encode()) == slot)
        with redis.Redis(port=source.port) as node:
            for n in range(200):
                node.set("{" + contended.to_string() + "}:" + str(n), "x")
        holder, other = connected(ClusterLatch, masters[2]), connected(ClusterLatch, masters[1])
        try:
            assert holder.acquire(kept, metadata={"who": "holder"})
            processes = start_workers(cluster, [contended], workers, rounds)
            counter = "{" + contended.to_string() + "}:counter"
            wait_for("the workers at work", lambda: int(holder.client.get(counter) or 0) >= 4)
            move_slot(cluster, slot, source, destination)
            moved_during += int(holder.client.get(counter) or 0) < workers * rounds
            # Exact counter, no overlapping holds; any error a worker saw fails it.
            assert finish_workers(cluster, processes, [contended], rounds) > 0
            assert cluster.owner(slot) is destination
            # The lock held throughout moved with its slot and is still held.
            with redis.Redis(port=destination.port) as node:
                assert node.get(kept.to_string()) == b'{"who": "holder"}'
            assert other.acquire(kept, blocking=False) is False
            holder.release(kept)
            assert other.acquire(kept, blocking=False) is True
            other.release(kept)
        finally:
            holder.disconnect()
            other.disconnect()
        cluster.wait_healthy()
        cluster.flush()
    # The move ended while the workers were still at work.
    assert moved_during == trials
    return row("cluster-slot-moved", "cluster slot moved", trials, workers=workers,
               increments=workers * rounds * trials, lost_increments=0, overlaps=0,
               errors_reaching_callers=0)


# --- a master killed, a manual failover: the experiment --------------------------------------

# The bounded client's 0.5 s timeouts, and on CLUSTERDOWN its client's pause of 0.25 s and a
# topology refresh (up to 1.6 s with redis-py 5.0), with room for a loaded machine.
BOUNDED_LIMIT_S = 2.5
CLIENT_ERRORS = {"ConnectionError", "TimeoutError", "ClusterDownError"}
# Each fault's words, and what happens at its time 0.
FAULTS = {"kill": ("master killed", "SIGKILL of a master"),
          "failover": ("manual failover", "CLUSTER FAILOVER on a replica"),
          "cut": ("master cut off", "a master's packets dropped")}
RECOVERED = "both set-ups take locks on its slots again"


def master_failover(cluster: LocalCluster, fault: str, coverage: str, trials: int) -> Row:
    """A master SIGKILLed (its replica takes over after cluster-node-timeout and an
    election), or a replica told to take over (CLUSTER FAILOVER), while callers of both
    client set-ups work on its slots and on another master's; with
    cluster-require-full-coverage yes (the servers' default) or no."""
    cluster.configure("cluster-require-full-coverage", coverage)
    figures: dict[str, list[float]] = collections.defaultdict(list)
    totals: collections.Counter[str] = collections.Counter()
    errors_seen: dict[str, collections.Counter[str]] = collections.defaultdict(
        collections.Counter)
    timelines: list[dict[str, object]] = []
    for trial in range(trials):
        masters = cluster.masters()
        victim, other = masters[0], masters[1]
        replica = cluster.replicas_of(victim)[0]
        callers = Callers(cluster, victim, other, f"{fault}-{coverage}-{trial}", masters[2])
        watch = StateWatch(other)
        try:
            callers.warm_up()
            taken_before = {key for _, key in callers.taken}
            if fault == "kill":
                victim.kill()
            else:
                LocalCluster.admin(replica, "CLUSTER", "FAILOVER")
            started = time.monotonic()
            promoted = wait_for("the replica promoted", lambda: role(replica) == "master")
            for setup in SETUPS:
                callers.wait(f"{setup} takes locks again",
                             functools.partial(callers.took_locks_after, started, setup))
            time.sleep(0.5)
        finally:
            watch.close()
            callers.close()
        calls = callers.timeline(started)
        lost, orphans = locks_on_failed_over(cluster, callers, taken_before, replica)
        promoted_s = promoted - started
        again = {s: callers.succeeded_after(started, s) - started for s in SETUPS}  # type: ignore[operator]
        window = summary(calls, 0, max(again.values()))
        down = [t - started for t in watch.down if t > started]
        timelines += caller_timelines(calls, trial + 1, max(again.values()))

        # Of the locks taken before a manual failover, none is missing on the promoted
        # replica: it takes over only once it has all its master wrote. After a kill,
        # what its master had not yet sent is lost: counted, not asserted (none on
        # loopback in most trials; see RELIABILITY.md). At most the SETs in flight at
        # the kill left a key that nobody holds.
        if fault == "failover":
            assert lost == 0, f"{lost} of {len(taken_before)} locks lost"
        assert len(orphans) <= (5 if fault == "kill" else 0), orphans
        for side in ("faulty", "healthy"):
            bounded = during(calls, "bounded", side, 0, max(again.values()))
            # Each bounded call ends within its timeouts, and only with the client's errors.
            assert longest(bounded) < scaled(BOUNDED_LIMIT_S), (side, longest(bounded))
            assert set(errors(bounded)) <= CLIENT_ERRORS, (side, errors(bounded))
        healthy_calls = [c for c in calls if c[1] == "healthy" and c[4] >= 0
                         and c[3] <= max(again.values())]
        if fault == "kill" and coverage == "yes":
            # The cause of the stall on the healthy masters: from the moment the dead
            # master is flagged FAIL until its replica is promoted, every node, healthy
            # ones included, counts the cluster as down and refuses every command.
            assert down, "the cluster never went down"
        else:
            # Without that rule (or in a manual failover) the cluster never counts as
            # down, and the other masters go on serving as if nothing happened. Their
            # calls' lengths (0.2 to 0.3 s on a quiet machine) are bounded with room for
            # a loaded one: the stall that a down cluster causes is the cluster state
            # above, not a figure a busy machine can outrun.
            assert not down, f"the cluster counted as down {min(down):.2f} s after the fault"
            assert not errors(healthy_calls), errors(healthy_calls)
            assert longest(healthy_calls) < scaled(WAITING_MS / 1000 + NODE_TIMEOUT_S), (
                longest(healthy_calls))
        if fault == "failover":
            # The old master holds its writers until the replica has caught up; then
            # they are redirected to it. The default client waits that long; the
            # bounded one can time out first.
            assert not errors([c for c in calls if c[0] == "default"]), errors(calls)
            assert set(errors(calls)) <= {"TimeoutError"}, errors(calls)

        figures["promoted_s"].append(promoted_s)
        for setup in SETUPS:
            figures[f"{setup} locks again after_s"].append(again[setup])
        for key, value in window.items():
            figures[f"{key} longest call_s"].append(value["longest_call_s"])
            errors_seen[key].update(value["errors"])
        if down:
            figures["cluster down from_s"].append(min(down))
            figures["cluster down until_s"].append(max(down))
        totals.update(locks_held_at_fault=len(taken_before), locks_lost=lost,
                      keys_nobody_holds=len(orphans), trials_with_locks_lost=int(lost > 0))
        if fault == "kill":
            cluster.heal()
        else:
            cluster.wait_healthy()
        cluster.flush()
    return row(f"cluster-{fault}-{coverage}", f"cluster {FAULTS[fault][0]}, full coverage "
               f"{coverage}", trials, coverage=coverage,
               **{name: spread(values) for name, values in figures.items()},
               errors={key: dict(counter) for key, counter in errors_seen.items()}, **totals,
               fault=FAULTS[fault][1], until=RECOVERED, timelines=timelines)


# --- a master lost without a replica -----------------------------------------------------------

LOST_OBSERVED_S = 3 * NODE_TIMEOUT_S + 1.5


def master_lost(cluster: LocalCluster, coverage: str) -> Row:
    """The replica of a master dies, then the master: nobody takes over its slots. Callers
    of both set-ups on its slots and on another master's, for LOST_OBSERVED_S."""
    cluster.configure("cluster-require-full-coverage", coverage)
    masters = cluster.masters()
    victim, other = masters[0], masters[1]
    cluster.replicas_of(victim)[0].kill()
    callers = Callers(cluster, victim, other, f"lost-{coverage}", masters[2])
    watch = StateWatch(other)
    try:
        callers.warm_up()
        victim.kill()
        started = time.monotonic()
        time.sleep(LOST_OBSERVED_S)
    finally:
        watch.close()
        callers.close()
    calls = callers.timeline(started)
    down = [t - started for t in watch.down if t > started]
    late = [c for c in calls if c[4] > LOST_OBSERVED_S - 1.0]  # the cluster has settled
    for setup in SETUPS:
        # Its slots answer nothing but errors.
        faulty = [c for c in late if c[0] == setup and c[1] == "faulty"]
        assert faulty and all(c[5] in CLIENT_ERRORS for c in faulty), faulty
        assert "True" not in {c[5] for c in calls if tuple(c[:3]) == (setup, "faulty", "free")
                              and c[3] > 0}
        healthy_late = [c for c in late if c[0] == setup and c[1] == "healthy"]
        if coverage == "yes":
            # The cluster is down: every slot refuses, the other masters' too.
            assert down and all(c[5] == "ClusterDownError" for c in healthy_late), (
                healthy_late)
        else:
            # The other masters go on serving.
            assert not down and not errors(healthy_late) and "True" in {
                c[5] for c in healthy_late}, healthy_late
    # The locks of the lost master are gone with it (nothing is persisted): after the
    # restart, its slots are empty.
    cluster.heal()
    assert not keys_on(victim, callers.tag)
    return row(f"cluster-lost-{coverage}", f"cluster master lost without a replica, full "
               f"coverage {coverage}", 1, coverage=coverage,
               cluster_down_from_s=round(min(down), 2) if down else None,
               **summary(calls, 0, LOST_OBSERVED_S), locks_on_lost_master_after_restart=0)


# --- one master cut off --------------------------------------------------------------------------

# The cut-off master is reached on ISOLATED[0] by the other nodes and by the cluster
# clients, and on ISOLATED[1] by one client of its own side of the cut, which still
# reaches it; the rule drops every packet from or to ISOLATED[0].
ISOLATED = ("127.0.0.2", "127.0.0.3")


def cut_off_trials(trials: int, coverage: str) -> dict[str, Any]:
    """Runs inside a network namespace of its own: a cluster whose node 0, a master, is
    cut off while the callers work, and a client of its side takes locks on it as fast
    as it can. Returns the figures; fails on an outcome that the table does not state."""
    from bounded import BoundedLatch

    figures: dict[str, list[float]] = collections.defaultdict(list)
    totals: collections.Counter[str] = collections.Counter()
    timelines: list[dict[str, object]] = []
    with LocalCluster(masters=3, replicas=1, hosts={0: ISOLATED}) as cluster:
        isolated = cluster.nodes[0]
        cluster.configure("cluster-require-full-coverage", coverage)
        for trial in range(trials):
            if role(isolated) != "master":  # it came back as a replica: make it master again
                LocalCluster.admin(isolated, "CLUSTER", "FAILOVER")
                wait_for("the isolated node master again", lambda: role(isolated) == "master")
                cluster.wait_healthy()
            cluster.flush()
            masters = cluster.masters()
            others = [m for m in masters if m is not isolated]
            replica = cluster.replicas_of(isolated)[0]
            tag = f"cut-{coverage}-{trial}"
            callers = Callers(cluster, isolated, others[0], tag, others[1])
            own_side = BoundedLatch()
            own_side.connect(ISOLATED[1], port=isolated.port)
            accepted: list[tuple[float, str]] = []
            refused: list[float] = []

            def take() -> None:
                for target in targets_on(cluster, isolated, f"{tag}-own"):
                    if callers.stop.is_set():
                        return
                    try:
                        if own_side.acquire(target, blocking=False):
                            accepted.append((time.monotonic(), target.to_string()))
                    except redis.RedisError:
                        refused.append(time.monotonic())
                        time.sleep(0.01)

            taker = threading.Thread(target=take, daemon=True)
            taker.start()
            try:
                callers.warm_up()
                wait_for("the own side's client at work", lambda: len(accepted) > 50)
                nft("add", "table", "ip", "quarn-cut")
                nft("add chain ip quarn-cut in { type filter hook input priority 0; }")
                nft("add", "rule", "ip", "quarn-cut", "in", "ip", "saddr", ISOLATED[0], "drop")
                nft("add", "rule", "ip", "quarn-cut", "in", "ip", "daddr", ISOLATED[0], "drop")
                cut = time.monotonic()
                try:
                    noticed = wait_for("the cut-off master refuses",
                                       lambda: any(t > cut for t in refused))
                    promoted = wait_for("the replica promoted",
                                        lambda: role(replica) == "master")
                    # A client without a reply timeout (redis-py before 6.0 by default)
                    # waits on the cut-off master until the cut heals.
                    for setup in [s for s in SETUPS if s == "bounded" or DEFAULT_TIMEOUT_S]:
                        callers.wait(f"{setup} takes locks again",
                                     functools.partial(callers.took_locks_after, cut, setup))
                    time.sleep(0.5)
                finally:
                    callers.stop.set()
                    taker.join(scaled(30))
                    healed_at = time.monotonic()
                    nft("delete", "table", "ip", "quarn-cut")
            finally:
                callers.close()
                own_side.disconnect()
            calls = callers.timeline(cut)
            timelines += caller_timelines(calls, trial + 1, healed_at - cut)
            # Locks that the cut-off master granted after the cut never reached its
            # replica: on the promoted replica they are free, and a second client takes
            # each of them while the first still believes it holds it.
            granted = {key for t, key in accepted if t > cut}
            kept = {key for t, key in accepted if t <= cut}
            on_promoted = keys_on(replica, f"{tag}-own")
            assert granted and not granted & on_promoted, (len(granted), granted & on_promoted)
            # So can the last ones granted before it: replication is asynchronous, and
            # what the master had not yet sent when the packets began to drop never came.
            lost_before = len(kept - on_promoted)
            second = ClusterLatch()
            second.connect("127.0.0.1", port=others[0].port)
            try:
                taken_twice = sum(second.acquire(Address(*key.split("/")[1:]), blocking=False)
                                  for key in sorted(granted)[:20])
            finally:
                second.disconnect()
            assert taken_twice == min(20, len(granted))
            window = max(t for t, _ in accepted) - cut
            # The master stops granting once it misses the majority for the node timeout,
            # before its replica takes over: the window is bounded by that timeout.
            assert window < 2 * NODE_TIMEOUT_S and noticed < promoted, (
                window, noticed - cut, promoted - cut)
            for side in ("faulty", "healthy"):
                bounded = during(calls, "bounded", side, 0, healed_at - cut)
                assert longest(bounded) < scaled(BOUNDED_LIMIT_S), (side, longest(bounded))
            figures["granted after the cut for_s"].append(window)
            figures["refused from_s"].append(noticed - cut)
            figures["promoted_s"].append(promoted - cut)
            for setup in SETUPS:
                again = callers.succeeded_after(cut, setup)
                if again is not None:
                    figures[f"{setup} locks again after_s"].append(again - cut)
            for key, value in summary(calls, 0, healed_at - cut).items():
                figures[f"{key} longest call_s"].append(value["longest_call_s"])
            totals.update(granted_after_the_cut=len(granted), lost_on_promotion=len(granted),
                          granted_before_the_cut=len(kept), of_those_lost=lost_before)
            cluster.heal()
    return {"coverage": coverage,
            "figures": {name: spread(values) for name, values in figures.items()},
            "totals": dict(totals), "timelines": timelines}


CUT_OFF = """
import json
from faults import cluster
print(json.dumps([cluster.cut_off_trials({trials}, coverage) for coverage in ("yes", "no")]))
"""


def master_cut_off(trials: int) -> list[Row]:
    """A master cut off from the other nodes and from the cluster clients by a rule that
    drops its packets, while one client on its own side of the cut still reaches it; with
    each coverage (in a network namespace: needs root)."""
    with namespace() as name:
        out = run_in_namespace(name, CUT_OFF.format(trials=trials), timeout=90 + 90 * trials)
    return [row(f"cluster-cut-{result['coverage']}", f"cluster {FAULTS['cut'][0]}, full "
                f"coverage {result['coverage']}", trials, coverage=result["coverage"],
                **result["figures"], **result["totals"], fault=FAULTS["cut"][1],
                until="the cut heals", timelines=result["timelines"])
            for result in json.loads(out)]


def run_all(trials: int, only: Callable[[str], bool], report: Callable[[Row], None],
            left_out: dict[str, str]) -> None:
    """Every experiment of this file that `only` accepts (by row id), each row given to
    `report` as it is measured, or its id and the reason in `left_out` where what it
    needs cannot be had here."""
    planned = [f"cluster-{f}-{c}" for f, c in (("kill", "yes"), ("kill", "no"),
                                                ("failover", "yes"))]
    wanted = [ident for ident in [*planned, "cluster-slot-moved", "cluster-lost-yes",
                                  "cluster-lost-no"] if only(ident)]
    if wanted:
        with healthy_cluster() as made:
            for ident in wanted:
                with healed(made):
                    if ident in planned:
                        _, fault, coverage = ident.split("-")
                        report(master_failover(made, fault, coverage, trials))
                    elif ident == "cluster-slot-moved":
                        report(slot_moved(made, trials))
                    else:
                        report(master_lost(made, ident.rsplit("-", 1)[1]))
    if only("cluster-cut-yes") or only("cluster-cut-no"):
        try:
            for result in master_cut_off(trials):
                if only(result["id"]):
                    report(result)
        except Unavailable as why:
            left_out["cluster-cut"] = str(why)
