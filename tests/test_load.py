"""Mutual exclusion under load, for both backends.

Every worker loops: acquire, read a shared counter, pause, write counter + 1, release, and
notes when its critical section began and ended (time.monotonic_ns(), one clock for all
processes on Linux). Afterwards the counter must equal the number of acquisitions, and no
two critical sections may overlap. A control run of the same harness without the lock
must fail both checks, so a harness that cannot see a broken lock fails too.

In its first round, each worker waits between its read and its write until another worker
has read the counter too. Without a working lock one does, whatever the scheduler does:
the two read-modify-writes overlap and an update is lost. With the lock nobody can come,
and the first holder alone waits, COMPANY_WAIT_S.
"""

from __future__ import annotations

import json
import os
import select
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable, Iterator, Sequence

import pytest
import redis

from quarn_data.lock.implementations.local_latch import LocalLatch
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address
from quarn_devkit.redis_server import RedisServer
from quarn_devkit.waits import scaled

REMOTE_PROCESSES, REMOTE_ROUNDS = 8, 250
LOCAL_THREADS, LOCAL_ROUNDS = 16, 20_000
# How long the first holder of a working lock waits for company that cannot come; without
# the lock, company comes at once and the wait has no limit.
COMPANY_WAIT_S = 0.5
# How long the workers may take to start, and the threads to meet, at native speed.
START_S = 60.0

Interval = tuple[int, int]


def overlaps(intervals: Sequence[Interval]) -> list[tuple[Interval, Interval]]:
    """Pairs of neighbouring critical sections (in start order) that overlap."""
    ordered = sorted(intervals)
    return [(a, b) for a, b in zip(ordered, ordered[1:]) if b[0] < a[1]]


# --- remote: processes on one server ----------------------------------------------------

WORKER = """
    import json, os, sys, time
    import redis
    from quarn_data.lock.implementations.remote_latch import RemoteLatch
    from quarn_utils.models.data_models.address import Address

    port, rounds, locked = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "locked"
    company_wait_s = float(sys.argv[4]) if locked else float("inf")
    latch = RemoteLatch()
    latch.connect("127.0.0.1", port=port)
    data = redis.Redis(port=port)
    target = Address("load", "remote")
    key = target.to_string()
    me = {"pid": os.getpid()}
    mine = json.dumps(me).encode()

    print("ready", flush=True)
    sys.stdin.readline()  # all workers start together
    intervals, foreign = [], 0
    for n in range(rounds):
        if locked:
            assert latch.acquire(target, metadata=me) is True
        start = time.monotonic_ns()
        if locked and data.get(key) != mine:
            foreign += 1  # the lock's key names another holder
        value = int(data.get("load:counter") or 0)
        if n == 0:  # wait for another worker to have read too (see the module docstring)
            readers, waited_until = data.incr("load:readers"), time.monotonic() + company_wait_s
            while readers < 2 and time.monotonic() < waited_until:
                time.sleep(0.001)
                readers = int(data.get("load:readers"))
        time.sleep(0.0002)
        data.set("load:counter", value + 1)
        end = time.monotonic_ns()
        if locked:
            latch.release(target)
        intervals.append((start, end))
    print(json.dumps({"intervals": intervals, "foreign": foreign}), flush=True)
"""


def run_remote_workers(port: int, processes: int, rounds: int, locked: bool,
                       timeout: float) -> tuple[list[Interval], int, float]:
    """Starts the workers, lets them go at once, and gathers their critical sections."""
    code = textwrap.dedent(WORKER)
    mode = "locked" if locked else "unlocked"
    workers = [
        subprocess.Popen(
            [sys.executable, "-c", code, str(port), str(rounds), mode, str(COMPANY_WAIT_S)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        for _ in range(processes)
    ]
    # Every worker must be ready within START_S of the first one's start (all start at once).
    start_s = scaled(START_S)
    ready_by = time.monotonic() + start_s
    try:
        for worker in workers:
            assert worker.stdout is not None
            ready, _, _ = select.select([worker.stdout], [], [],
                                        max(0.0, ready_by - time.monotonic()))
            line = worker.stdout.readline().strip() if ready else f"(silent for {start_s:g} s)"
            if line != "ready":
                worker.kill()
                _, err = worker.communicate()
                raise AssertionError(f"worker not ready: {line!r}\n{err}")
        began = time.monotonic()
        for worker in workers:
            assert worker.stdin is not None
            worker.stdin.write("go\n")
            worker.stdin.flush()
        intervals: list[Interval] = []
        foreign = 0
        deadline = began + scaled(timeout)
        for worker in workers:
            out, err = worker.communicate(timeout=max(1.0, deadline - time.monotonic()))
            assert worker.returncode == 0, err
            report = json.loads(out)
            intervals += [tuple(pair) for pair in report["intervals"]]
            foreign += report["foreign"]
        return intervals, foreign, time.monotonic() - began
    finally:
        for worker in workers:
            if worker.poll() is None:
                worker.kill()
                worker.communicate()


@pytest.fixture
def load_server() -> Iterator[tuple[int, redis.Redis]]:
    with RedisServer() as server:
        client = redis.Redis(port=server.port)
        yield server.port, client
        client.close()


def test_remote_processes_exclude_each_other(load_server: tuple[int, redis.Redis]) -> None:
    port, admin = load_server
    intervals, foreign, seconds = run_remote_workers(
        port, REMOTE_PROCESSES, REMOTE_ROUNDS, locked=True, timeout=180
    )
    total = REMOTE_PROCESSES * REMOTE_ROUNDS
    # SET calls: one per acquisition, one per counter write, one per refused attempt.
    refused = int(admin.info("commandstats")["cmdstat_set"]["calls"]) - 2 * total
    print(f"remote: {REMOTE_PROCESSES} processes x {REMOTE_ROUNDS} in {seconds:.2f} s,"
          f" {refused} refused attempts")
    assert refused > 0, "the workers never contended"
    assert len(intervals) == total
    assert int(admin.get("load:counter")) == total
    assert foreign == 0
    assert overlaps(intervals) == []
    assert admin.exists(Address("load", "remote").to_string()) == 0


def test_remote_harness_sees_a_missing_lock(load_server: tuple[int, redis.Redis]) -> None:
    port, admin = load_server
    intervals, _, _ = run_remote_workers(port, 4, 20, locked=False, timeout=60)
    assert int(admin.get("load:counter")) < 4 * 20
    assert overlaps(intervals) != []


# --- local: threads on one instance ------------------------------------------------------

def pause() -> None:
    pass


def run_local_threads(threads: int, rounds: int, locked: bool) -> tuple[list[Interval], int]:
    """All threads hammer one target of one fresh LocalLatch, each with its own (equal)
    Address object; the first acquisitions race to create the target's lock."""
    latch = LocalLatch()
    counter = [0]
    per_thread: list[list[Interval]] = [[] for _ in range(threads)]
    errors: list[BaseException] = []
    gate = threading.Barrier(threads)
    # Threads meet in pairs (see the module docstring); an even number leaves none alone.
    assert threads % 2 == 0
    company = threading.Barrier(2)
    company_wait_s = COMPANY_WAIT_S if locked else None

    def work(slot: list[Interval]) -> None:
        target = Address("load", "local")
        clock = time.monotonic_ns
        try:
            gate.wait(timeout=scaled(START_S))
            for n in range(rounds):
                if locked and latch.acquire(target) is not True:
                    raise AssertionError("blocking acquire without limit returned False")
                start = clock()
                value = counter[0]
                if n == 0:
                    try:
                        company.wait(company_wait_s)
                    except threading.BrokenBarrierError:
                        pass  # the first holder gave up waiting: nobody waits any more
                pause()  # a call: a point where the interpreter may switch threads
                counter[0] = value + 1
                end = clock()
                if locked:
                    latch.release(target)
                slot.append((start, end))
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            errors.append(exc)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        pool = [threading.Thread(target=work, args=(slot,), daemon=True) for slot in per_thread]
        for thread in pool:
            thread.start()
        deadline = time.monotonic() + scaled(240)
        for thread in pool:
            thread.join(timeout=max(0.1, deadline - time.monotonic()))
        assert not any(thread.is_alive() for thread in pool), "threads still running"
    finally:
        sys.setswitchinterval(old_interval)
    assert errors == []
    if locked:
        assert len(latch.locks) == 1 and len(latch.lock_data) == 1
        assert not latch.locks[Address("load", "local")].locked()
    return [interval for slot in per_thread for interval in slot], counter[0]


def test_local_threads_exclude_each_other() -> None:
    began = time.monotonic()
    intervals, count = run_local_threads(LOCAL_THREADS, LOCAL_ROUNDS, locked=True)
    print(f"local: {LOCAL_THREADS} threads x {LOCAL_ROUNDS} in {time.monotonic() - began:.2f} s")
    assert count == LOCAL_THREADS * LOCAL_ROUNDS
    assert len(intervals) == LOCAL_THREADS * LOCAL_ROUNDS
    assert overlaps(intervals) == []


def test_local_harness_sees_a_missing_lock() -> None:
    intervals, count = run_local_threads(LOCAL_THREADS, LOCAL_ROUNDS, locked=False)
    assert count < LOCAL_THREADS * LOCAL_ROUNDS
    assert overlaps(intervals) != []


# --- without the GIL: threads that truly run at once ----------------------------------------

GIL_ON = getattr(sys, "_is_gil_enabled", lambda: True)()
without_the_gil = pytest.mark.skipif(GIL_ON, reason="the GIL is on: threads take turns")
# More threads than cores, so that some always wait while others run.
STRESS_THREADS = max(8, 3 * (os.cpu_count() or 1))
STRESS_ROUNDS, STRESS_PRIVATE = 20_000, 3


def hammer(threads: int, body: Callable[[int], None]) -> float:
    """Runs body(i) in `threads` threads started together; returns the seconds taken and
    raises what any thread raised."""
    errors: list[BaseException] = []
    gate = threading.Barrier(threads + 1)

    def run(i: int) -> None:
        try:
            gate.wait(timeout=scaled(START_S))
            body(i)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    pool = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(threads)]
    for thread in pool:
        thread.start()
    gate.wait(timeout=scaled(START_S))
    began = time.monotonic()
    deadline = began + scaled(240)
    for thread in pool:
        thread.join(timeout=max(0.1, deadline - time.monotonic()))
    assert not any(thread.is_alive() for thread in pool), "threads still running"
    assert errors == [], errors
    return time.monotonic() - began


@without_the_gil
@pytest.mark.parametrize("locked", [True, False], ids=["locked", "control without the lock"])
def test_threads_at_once_on_a_shared_and_private_targets(locked: bool) -> None:
    """Every thread takes, in turn, the shared target and one of its private ones, and bumps
    that target's counter inside the lock: no increment is lost, no two holds of the shared
    target overlap, and every lock is free at the end. Without the lock, the same threads
    lose increments and overlap: the check can see a broken lock."""
    latch, shared = LocalLatch(), Address("stress", "shared")
    counts: dict[Address, int] = {}
    holds: list[list[Interval]] = [[] for _ in range(STRESS_THREADS)]

    def body(i: int) -> None:
        mine = [Address("stress", f"{i}/{k}") for k in range(STRESS_PRIVATE)]
        clock, slot = time.monotonic_ns, holds[i]
        for n in range(STRESS_ROUNDS):
            target = shared if n % 2 == 0 else mine[n // 2 % STRESS_PRIVATE]
            if locked and latch.acquire(target) is not True:
                raise AssertionError("blocking acquire without limit returned False")
            start = clock()
            counts[target] = counts.get(target, 0) + 1
            end = clock()
            if locked:
                latch.release(target)
            if target is shared:
                slot.append((start, end))

    seconds = hammer(STRESS_THREADS, body)
    print(f"local: {STRESS_THREADS} threads x {STRESS_ROUNDS} pairs in {seconds:.2f} s")
    # A counter only loses increments, never gains: the sum shows any lost.
    lost = STRESS_THREADS * STRESS_ROUNDS - sum(counts.values())
    overlapping = overlaps([hold for slot in holds for hold in slot])
    if not locked:
        assert lost > 0 or overlapping != []
        return
    assert lost == 0 and overlapping == []
    assert len(latch.locks) == len(latch.lock_data) == 1 + STRESS_THREADS * STRESS_PRIVATE
    assert not any(lock.locked() for lock in latch.locks.values())


@without_the_gil
def test_threads_at_once_share_one_remote_latch(load_server: tuple[int, redis.Redis]) -> None:
    """Threads share one RemoteLatch (and its client's connection pool) on one target and
    bump a counter inside the lock: none lost, no two holds overlap, the key gone at the end."""
    port, admin = load_server
    latch, target = RemoteLatch(), Address("stress", "remote")
    latch.connect("127.0.0.1", port=port)
    rounds, count = 100, [0]
    holds: list[list[Interval]] = [[] for _ in range(STRESS_THREADS)]

    def body(i: int) -> None:
        for _ in range(rounds):
            assert latch.acquire(target, metadata={"thread": i}) is True
            start = time.monotonic_ns()
            value = count[0]
            time.sleep(0)  # another thread may run here, and would, were the lock broken
            count[0] = value + 1
            holds[i].append((start, time.monotonic_ns()))
            latch.release(target)

    try:
        seconds = hammer(STRESS_THREADS, body)
    finally:
        latch.disconnect()
    print(f"remote: {STRESS_THREADS} threads x {rounds} pairs in {seconds:.2f} s")
    assert count[0] == STRESS_THREADS * rounds
    assert overlaps([hold for slot in holds for hold in slot]) == []
    assert admin.exists(target.to_string()) == 0
