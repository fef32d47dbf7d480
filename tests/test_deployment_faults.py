"""What the faults of a real deployment do to the locks: one trial of each row of
RELIABILITY.md's table, run by the experiments of faults/server.py, which fail on any
outcome the table does not state (faults/run.py repeats them for the figures).

Marks: `deployment` for the rows whose outcome is a server's and a client's timing (CI runs
them once per server and client), `slow` for those of more than a few seconds. The rows of a
crash and restart, the ACL user and fork() run everywhere: the interpreter takes part in them.
"""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path

import pytest

from faults import server as experiments
from faults.harness import Unavailable
from quarn_devkit.redis_server import RedisServer


@pytest.mark.deployment
def test_paused_server() -> None:
    found = experiments.paused(1)
    assert {name: call["gave"] for name, call in found["calls"].items()
            if name.startswith("bounded")} == {f"bounded {case}": ["TimeoutError"]
                                               for case in experiments.CASES}


@pytest.mark.deployment
@pytest.mark.slow
def test_partition_that_drops_packets() -> None:
    try:
        found = experiments.partition(1)
    except Unavailable as why:
        pytest.skip(str(why))
    assert found["calls"]["default waiting"]["gave"] == ["False"]


@pytest.mark.parametrize("persistence", list(experiments.PERSISTENCE))
def test_server_crash_and_restart(persistence: str, tmp_path: Path) -> None:
    found = experiments.crash_and_restart(persistence, tmp_path)
    assert {s["lock_survived"] for s in found["setups"].values()} == {persistence != "none"}


@pytest.mark.deployment
@pytest.mark.slow
def test_sentinel_failover() -> None:
    found = experiments.sentinel_failover(1)
    assert found["locks_lost"] == 0 and {t["caller"] for t in found["timelines"]} == {
        "probe", "taker"}


@pytest.fixture(scope="module")
def memory_server() -> Iterator[RedisServer]:
    with experiments.memory_server() as server:
        yield server


@pytest.mark.deployment
@pytest.mark.parametrize("policy", experiments.POLICIES)
def test_eviction(policy: str, memory_server: RedisServer) -> None:
    found = experiments.eviction(policy, memory_server)
    assert found["held_lock_survived"] is not policy.startswith("allkeys-")


def test_fork_of_a_process_holding_a_local_lock() -> None:
    experiments.fork_of_a_holder()


def test_user_allowed_only_get() -> None:
    found = experiments.user_allowed_only_get()
    assert list(found["refusals"]) == ["set", "del", "ping"]


def test_the_attempts_of_a_blocking_acquire(redis_server: RedisServer) -> None:
    """README's table of attempts and waits: one attempt more than waits, at every limit."""
    found = experiments.attempts(redis_server.port)
    assert all(seen["attempts"] == seen["waits"] + 1 for seen in found["limits"].values())
