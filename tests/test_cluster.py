"""RemoteLatch on a Redis Cluster, through the subclasses of examples/cluster.py: the locks
spread over the masters and exclude across processes; and one trial of each row of
RELIABILITY.md's "Redis Cluster" table, run by the experiments of faults/cluster.py,
which fail on any outcome the table does not state (faults/run.py repeats them).

The cluster has three masters and three replicas on loopback (faults.cluster, with
quarn_devkit.redis_cluster), healed again after each test that harms it.
"""

from __future__ import annotations

import json
import subprocess
import sys
from collections.abc import Iterator

import pytest
import redis
from redis.cluster import RedisCluster

from conftest import ROOT
from faults import cluster as experiments
from faults.cluster import (ClusterLatch, DefaultClusterLatch, caller_timelines, connected,
                            finish_workers, keys_on, start_workers, targets_on)
from faults.harness import Unavailable
from quarn_devkit.redis_cluster import LocalCluster
from quarn_devkit.redis_server import RedisServer
from quarn_devkit.waits import scaled


@pytest.fixture(scope="module")
def cluster() -> Iterator[LocalCluster]:
    with experiments.healthy_cluster() as made:
        yield made


@pytest.fixture
def healthy(cluster: LocalCluster) -> Iterator[LocalCluster]:
    """The cluster, healthy and empty, with its default settings; healed again after the
    test, also when it failed."""
    with experiments.healed(cluster) as made:
        yield made


# --- the cluster at work ---------------------------------------------------------------


def test_the_cluster_is_up(cluster: LocalCluster) -> None:
    masters = cluster.masters()
    assert len(masters) == 3 and all(len(cluster.replicas_of(m)) == 1 for m in masters)
    for node in cluster.nodes:
        info = cluster.info(node)
        assert (info["cluster_known_nodes"], info["cluster_size"]) == ("6", "3")
        assert info["cluster_slots_ok"] == "16384"


def test_each_lock_is_a_key_on_its_master(healthy: LocalCluster) -> None:
    masters = healthy.masters()
    targets = [next(targets_on(healthy, master, "orders")) for master in masters]
    holder, other = (connected(ClusterLatch, masters[1]), connected(DefaultClusterLatch,
                                                                     masters[2]))
    try:
        assert isinstance(holder.client, RedisCluster) and holder.is_alive
        for n, target in enumerate(targets):
            assert holder.acquire(target, blocking=False, metadata={"n": n})
        for n, (master, target) in enumerate(zip(masters, targets)):
            # The key is on the master that owns its slot, with the metadata as value.
            with redis.Redis(port=master.port) as node:
                assert node.get(target.to_string()) == json.dumps({"n": n}).encode()
                assert node.ttl(target.to_string()) == -1
            assert not other.acquire(target, timeout_ms=100)
        holder.release(targets[1])
        assert other.acquire(targets[1], blocking=False)
        assert not holder.acquire(targets[1], blocking=False)
        for target in targets:
            (other if target == targets[1] else holder).release(target)
        assert all(not keys_on(master, "orders") for master in masters)
    finally:
        holder.disconnect()
        other.disconnect()


def test_mutual_exclusion_across_processes(healthy: LocalCluster) -> None:
    """Each worker increments one counter per target under that target's lock with a
    read, a pause and a write: a lost update or two overlapping holds fail the test."""
    targets = [next(targets_on(healthy, master, "mutex")) for master in healthy.masters()]
    processes = start_workers(healthy, targets, workers=3, rounds=8)
    # The check means something only if the workers did meet at the locks.
    assert finish_workers(healthy, processes, targets, rounds=8) > 0


def test_the_example_script_runs(healthy: LocalCluster) -> None:
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "cluster.py"), "127.0.0.1",
         str(healthy.nodes[0].port)],
        capture_output=True, text=True, timeout=scaled(60), stdin=subprocess.DEVNULL,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 6 and all(line.endswith("held: True") for line in lines), lines
    assert {line.split(" on ")[1].split(",")[0] for line in lines} == {
        f"127.0.0.1:{master.port}" for master in healthy.masters()}


def test_a_port_taken_before_the_server_binds_it_is_chosen_again() -> None:
    """Another process may bind a free port between its choice and the server's start (CI
    runs two tracks side by side): the server then starts on ports chosen afresh."""
    import socket

    with socket.socket() as squatter:
        squatter.bind(("127.0.0.1", 0))
        squatter.listen()
        server = RedisServer(["--cluster-enabled", "yes"], cluster_bus=True)
        taken, server.port = server.port, squatter.getsockname()[1]
        try:
            server.start()
            assert server.port not in (squatter.getsockname()[1], taken)
            assert LocalCluster.admin(server, "CLUSTER", "INFO").startswith(
                b"cluster_state:fail")  # up, no slots yet
        finally:
            server.close()


def test_each_caller_gets_a_timeline_of_its_calls_during_the_fault() -> None:
    calls = [["bounded", "faulty", "free", -0.09, -0.04, "True"],  # ended before the fault
             ["bounded", "faulty", "free", -0.04, 0.2, "ConnectionError"],  # in flight at it
             ["bounded", "faulty", "free", 0.25, 0.26, "True"],
             ["bounded", "faulty", "free", 1.01, 1.02, "True"],  # started after the end
             ["default", "healthy", "waiting", 0.0, 0.21, "False"]]
    records = caller_timelines(calls, 3, until=1.0)
    assert len(records) == 12 and {r["trial"] for r in records} == {3}
    kept = {(r["caller"], r["label"]): r["calls"] for r in records if r["calls"]}
    assert kept == {("bounded/its/free", "bounded, its slots, free"):
                    [[-0.04, 0.2, "ConnectionError"], [0.25, 0.26, "True"]],
                    ("default/other/waiting", "default, other slots, waiting"):
                    [[0.0, 0.21, "False"]]}


# --- the cluster's faults, one trial each ------------------------------------------------


@pytest.mark.deployment
@pytest.mark.parametrize(("fault", "coverage"), [("kill", "yes"), ("kill", "no"),
                                                 ("failover", "yes")])
def test_master_failover(healthy: LocalCluster, fault: str, coverage: str) -> None:
    found = experiments.master_failover(healthy, fault, coverage, 1)
    assert len(found["timelines"]) == 12 and found["keys_nobody_holds"] <= 5


@pytest.mark.deployment
def test_slot_moved_under_load(healthy: LocalCluster) -> None:
    assert experiments.slot_moved(healthy, 1)["lost_increments"] == 0


@pytest.mark.deployment
@pytest.mark.parametrize("coverage", ["yes", "no"])
def test_master_lost_without_a_replica(healthy: LocalCluster, coverage: str) -> None:
    found = experiments.master_lost(healthy, coverage)
    assert (found["cluster_down_from_s"] is not None) is (coverage == "yes")


@pytest.mark.deployment
@pytest.mark.slow
def test_master_cut_off() -> None:
    try:
        found = experiments.master_cut_off(1)
    except Unavailable as why:
        pytest.skip(str(why))
    assert [r["id"] for r in found] == ["cluster-cut-yes", "cluster-cut-no"]
