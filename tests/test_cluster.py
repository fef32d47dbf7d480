"""RemoteLatch on a three-master Redis Cluster, through the subclass in examples/cluster.py.

The cluster runs on loopback: three private redis-servers in cluster mode, joined by
`redis-cli --cluster create`. Locks on targets whose keys hash to slots of different
masters are taken and freed from several processes at once.
"""

from __future__ import annotations

import json
import socket
import subprocess
import sys
import time
from collections.abc import Iterator
from contextlib import ExitStack
from dataclasses import dataclass
from typing import Any

import pytest
import redis
from redis.cluster import RedisCluster
from redis.crc import key_slot

from conftest import ROOT
from quarn_devkit.redis_server import RedisServer, redis_cli_binary

sys.path.insert(0, str(ROOT / "examples"))
from cluster import ClusterLatch  # noqa: E402

from quarn_utils.models.data_models.address import Address  # noqa: E402

JOIN_TIMEOUT_S = 60.0


@dataclass
class Cluster:
    servers: list[RedisServer]

    @property
    def ports(self) -> list[int]:
        return [server.port for server in self.servers]

    def owner(self, key: str) -> int:
        """Port of the master that serves the key's slot, as the nodes report it."""
        slot = key_slot(key.encode())
        with redis.Redis(port=self.ports[0]) as node:
            for start, end, (host, port, *_), *_ in node.execute_command("CLUSTER SLOTS"):
                if start <= slot <= end:
                    return int(port)
        raise AssertionError(f"no master serves slot {slot}")


def cluster_info(port: int) -> dict[str, Any]:
    with redis.Redis(port=port) as node:
        info = node.execute_command("CLUSTER INFO")
    assert isinstance(info, dict)
    return info


@pytest.fixture(scope="module")
def cluster(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Cluster]:
    redis_cli = redis_cli_binary()
    if redis_cli is None:
        pytest.skip("no redis-cli (Debian's redis-tools) beside the server: cannot create a cluster")
    with ExitStack() as stack:
        servers = []
        for _ in range(3):
            directory = tmp_path_factory.mktemp("cluster-node")
            server = RedisServer(
                [
                    "--cluster-enabled", "yes",
                    "--cluster-config-file", str(directory / "nodes.conf"),
                    "--cluster-node-timeout", "5000",
                ],
                directory=directory,
                cluster_bus=True,
            )
            stack.callback(server.close)  # stops it by its PID
            servers.append(server.start())
        create = subprocess.run(
            [redis_cli, "--cluster", "create", *(f"127.0.0.1:{s.port}" for s in servers),
             "--cluster-replicas", "0", "--cluster-yes"],
            capture_output=True, text=True, timeout=JOIN_TIMEOUT_S, stdin=subprocess.DEVNULL,
        )
        assert create.returncode == 0, f"{create.stdout}\n{create.stderr}"
        assert "All 16384 slots covered" in create.stdout, create.stdout
        deadline = time.monotonic() + JOIN_TIMEOUT_S
        while not all(cluster_info(s.port).get("cluster_state") == "ok" for s in servers):
            assert time.monotonic() < deadline, [cluster_info(s.port) for s in servers]
            time.sleep(0.05)
        yield Cluster(servers)


@pytest.fixture
def targets(cluster: Cluster) -> list[Address]:
    """One target per master: the first keys found in a slot of each master."""
    by_owner: dict[int, Address] = {}
    for n in range(1000):
        target = Address("orders", str(n))
        by_owner.setdefault(cluster.owner(target.to_string()), target)
        if len(by_owner) == 3:
            break
    assert sorted(by_owner) == sorted(cluster.ports)
    with RedisCluster(host="127.0.0.1", port=cluster.ports[0]) as client:
        for target in by_owner.values():
            client.delete(target.to_string(), "{" + target.to_string() + "}:counter")
    return list(by_owner.values())


def connected(cluster: Cluster) -> ClusterLatch:
    latch = ClusterLatch()
    latch.connect("127.0.0.1", port=cluster.ports[1])
    return latch


def test_the_cluster_is_up(cluster: Cluster) -> None:
    for port in cluster.ports:
        info = cluster_info(port)
        assert info["cluster_known_nodes"] == "3"
        assert info["cluster_size"] == "3"
        assert info["cluster_slots_ok"] == "16384"


def test_targets_fall_in_slots_of_different_masters(cluster: Cluster,
                                                    targets: list[Address]) -> None:
    with redis.Redis(port=cluster.ports[2]) as node:
        slots = [node.execute_command("CLUSTER KEYSLOT", t.to_string()) for t in targets]
    assert slots == [key_slot(t.to_string().encode()) for t in targets]
    assert len({cluster.owner(t.to_string()) for t in targets}) == 3


def test_connect_gives_the_cluster_client(cluster: Cluster) -> None:
    latch = connected(cluster)
    assert isinstance(latch.client, RedisCluster)
    assert latch.is_connected
    assert latch.is_alive
    latch.disconnect()


def test_each_lock_is_a_key_on_its_master(cluster: Cluster, targets: list[Address]) -> None:
    holder, other = connected(cluster), connected(cluster)
    try:
        for n, target in enumerate(targets):
            assert holder.acquire(target, blocking=False, metadata={"n": n})
        for n, target in enumerate(targets):
            # The key is on the master that owns its slot, with the metadata as value.
            with redis.Redis(port=cluster.owner(target.to_string())) as node:
                assert node.get(target.to_string()) == json.dumps({"n": n}).encode()
                assert node.ttl(target.to_string()) == -1
            assert not other.acquire(target, blocking=False)
            assert not other.acquire(target, timeout_ms=100)
        holder.release(targets[1])
        assert other.acquire(targets[1], blocking=False)
        assert not holder.acquire(targets[1], blocking=False)
        assert not other.acquire(targets[0], blocking=False)
        for target in targets:
            (other if target == targets[1] else holder).release(target)
        with RedisCluster(host="127.0.0.1", port=cluster.ports[0]) as client:
            assert all(client.exists(t.to_string()) == 0 for t in targets)
    finally:
        holder.disconnect()
        other.disconnect()


WORKER = """
import json, sys, time
sys.path.insert(0, {examples!r})
from cluster import ClusterLatch
from quarn_utils.models.data_models.address import Address

port, workers, rounds = {port}, {workers}, {rounds}
targets = [Address(*segments) for segments in {segments!r}]
latch = ClusterLatch()
latch.connect("127.0.0.1", port=port)
client = latch.client

# Start together, so that the workers contend from their first round.
client.incr("{{barrier}}:ready")
deadline = time.monotonic() + 30
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


def test_mutual_exclusion_across_processes(cluster: Cluster, targets: list[Address]) -> None:
    """Each worker increments one counter per target under that target's lock with a
    read, a pause and a write: a lost update or two overlapping holds fail the test."""
    workers, rounds = 3, 8
    with RedisCluster(host="127.0.0.1", port=cluster.ports[0]) as client:
        client.delete("{barrier}:ready")
        processes = [
            subprocess.Popen(
                [sys.executable, "-c", WORKER.format(
                    examples=str(ROOT / "examples"), port=cluster.ports[me % 3],
                    workers=workers, rounds=rounds, segments=[t.segments for t in targets])],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            )
            for me in range(workers)
        ]
        outputs = []
        try:
            for process in processes:
                out, err = process.communicate(timeout=120)
                assert process.returncode == 0, err
                outputs.append(json.loads(out))
        finally:
            for process in processes:
                if process.poll() is None:
                    process.kill()
                    process.wait()
        for target in targets:
            key = target.to_string()
            assert client.get("{" + key + "}:counter") == str(workers * rounds).encode()
            assert client.exists(key) == 0
            sections = sorted(tuple(s) for output in outputs for s in output["sections"][key])
            assert len(sections) == workers * rounds
            for (_, end), (start, _) in zip(sections, sections[1:]):
                assert end <= start, f"two holders of {key} at once"
    # The check means something only if the workers did meet at the locks.
    assert sum(output["waits"] for output in outputs) > 0


def test_the_example_script_runs(cluster: Cluster) -> None:
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "cluster.py"), "127.0.0.1", str(cluster.ports[0])],
        capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 6 and all(line.endswith("held: True") for line in lines), lines
    assert {line.split(" on ")[1].split(",")[0] for line in lines} == {
        f"127.0.0.1:{port}" for port in cluster.ports}


def test_a_port_taken_before_the_server_binds_it_is_chosen_again() -> None:
    """Another process may bind a free port between its choice and the server's start (CI
    runs two tracks side by side): the server then starts on ports chosen afresh."""
    with socket.socket() as squatter:
        squatter.bind(("127.0.0.1", 0))
        squatter.listen()
        server = RedisServer(["--cluster-enabled", "yes"], cluster_bus=True)
        taken, server.port = server.port, squatter.getsockname()[1]
        try:
            server.start()
            assert server.port not in (squatter.getsockname()[1], taken)
            assert cluster_info(server.port)["cluster_state"] == "fail"  # up, no slots yet
        finally:
            server.close()
