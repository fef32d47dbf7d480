"""A private Redis Cluster on loopback, for the tests and the benchmarks.

    with LocalCluster(masters=3, replicas=1) as cluster:
        client = RedisCluster(host="127.0.0.1", port=cluster.nodes[0].port)

Each node is a `RedisServer` in cluster mode with a bus port of its own, in a directory
that keeps its ``nodes.conf`` across a restart (and no data: nothing is persisted). The
cluster is joined here rather than by ``redis-cli --cluster create`` (which needs redis-cli
and sleeps between its steps), to the same layout as ``--cluster-replicas 1``: node i of
the first `masters` serves the i-th equal share of the 16384 slots, every node meets the
first, and each further node replicates the master with the fewest replicas so far.

Every wait for the nodes to start, meet, agree, sync or fail over is bounded, through
`scaled()`: `wait_healthy()` fails with each node's view and the tail of its log.
A test that kills, cuts off or moves something calls `heal()` afterwards: it starts each
node that is down again (a former master comes back as a replica of the one promoted in
its place), applies the settings made with `configure()` to it, and waits until the
cluster is healthy. `close()` stops every node by its PID.
"""

from __future__ import annotations

import shutil
import tempfile
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from types import TracebackType
from typing import Any

import redis

from quarn_devkit.redis_server import RedisServer
from quarn_devkit.waits import scaled

# The one place that says how long a node may be silent before the others count it as
# failing (and a replica starts to take over): the tests' figures are measured against it.
NODE_TIMEOUT_MS = 1000
SLOTS = 16384
# How long a join, a sync or a failover may take at native speed, with ample room.
HEALTHY_TIMEOUT_S = 30.0


@dataclass
class NodeView:
    """One line of CLUSTER NODES: what one node believes of another (or of itself)."""

    id: str
    host: str
    port: int
    flags: set[str]
    master_id: str | None
    link: str
    slots: list[tuple[int, int]] = field(default_factory=list)

    @property
    def is_master(self) -> bool:
        return "master" in self.flags


def parse_nodes(text: str) -> list[NodeView]:
    views = []
    for line in text.splitlines():
        words = line.split()
        if len(words) < 8:
            continue
        address = words[1].split("@")[0].split(",")[0]
        host, _, port = address.rpartition(":")
        slots = []
        for word in words[8:]:
            if word.startswith("["):
                continue  # a slot being migrated or imported
            low, _, high = word.partition("-")
            slots.append((int(low), int(high or low)))
        views.append(NodeView(words[0], host, int(port), set(words[2].split(",")),
                              None if words[3] == "-" else words[3], words[7], slots))
    return views


class LocalCluster:
    """`masters` masters, each with `replicas` replicas, on loopback."""

    def __init__(
        self,
        masters: int = 3,
        replicas: int = 0,
        *,
        node_timeout_ms: int = NODE_TIMEOUT_MS,
        extra_args: Sequence[str] = (),
        hosts: dict[int, Sequence[str]] | None = None,
    ) -> None:
        self.masters_count = masters
        self.replicas_count = replicas
        self.node_timeout_ms = node_timeout_ms
        self.dir = Path(tempfile.mkdtemp(prefix="quarn-cluster-"))
        self.settings: dict[str, str] = {}
        self.ids: list[str] = []
        self.nodes: list[RedisServer] = []
        for n in range(masters * (1 + replicas)):
            directory = self.dir / f"node{n}"
            directory.mkdir()
            node_hosts = list((hosts or {}).get(n, ("127.0.0.1",)))
            # A node on an address of its own also sends from it, to the bus and to its
            # master, so that a rule on that address cuts it off in both directions.
            source = ["--bind-source-addr", node_hosts[0]] if node_hosts[0] != "127.0.0.1" else []
            if hosts:
                # Protected mode counts only 127.0.0.1 as loopback: it would refuse the
                # nodes and replicas that come from the other addresses.
                source += ["--protected-mode", "no"]
            self.nodes.append(RedisServer(
                ["--cluster-enabled", "yes",
                 "--cluster-config-file", str(directory / "nodes.conf"),
                 "--cluster-node-timeout", str(node_timeout_ms),
                 # A replica's first sync starts at once, not after 5 s.
                 "--repl-diskless-sync-delay", "0",
                 *source, *extra_args],
                directory=directory, cluster_bus=True, hosts=node_hosts))

    # --- start and stop ------------------------------------------------------------

    def start(self) -> LocalCluster:
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def _start(self) -> None:
        for node in self.nodes:
            node.start()
        self.ids = [self.admin(node, "CLUSTER", "MYID").decode() for node in self.nodes]
        share = SLOTS // self.masters_count
        for n, node in enumerate(self.nodes):
            # Distinct epochs, set while each node knows only itself, spare the nodes the
            # collision handling that would otherwise give them distinct ones.
            self.admin(node, "CLUSTER", "SET-CONFIG-EPOCH", n + 1)
            if n < self.masters_count:
                low = n * share
                high = SLOTS - 1 if n == self.masters_count - 1 else low + share - 1
                self.admin(node, "CLUSTER", "ADDSLOTSRANGE", low, high)
        first = self.nodes[0]
        for node in self.nodes[1:]:
            assert node.bus_port is not None
            self.admin(first, "CLUSTER", "MEET", node.host, node.port, node.bus_port)
        self._wait("every node knows every other", lambda: all(
            len(self.view(node)) == len(self.nodes)
            and not any(v.flags & {"handshake", "noaddr"} for v in self.view(node))
            for node in self.nodes))
        for n in range(self.masters_count, len(self.nodes)):
            master = (n - self.masters_count) % self.masters_count
            self.admin(self.nodes[n], "CLUSTER", "REPLICATE", self.ids[master])
        self.wait_healthy()

    def close(self) -> None:
        for node in self.nodes:
            node.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> LocalCluster:
        return self.start()

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    # --- what the nodes say --------------------------------------------------------

    @staticmethod
    def admin(node: RedisServer, *command: Any, timeout: float = 5.0) -> Any:
        """One command on one node, over a connection of its own."""
        client: Any = redis.Redis(host=node.host, port=node.port,
                                  socket_timeout=scaled(timeout),
                                  socket_connect_timeout=scaled(timeout))
        try:
            return client.execute_command(*command)
        finally:
            # Closed here, not by the collector: redis-py before 5.1 leaves the socket to
            # the pool's garbage, and a failed call's traceback keeps it in a cycle.
            client.connection_pool.disconnect()

    def view(self, node: RedisServer) -> list[NodeView]:
        """The node's CLUSTER NODES."""
        reply = self.admin(node, "CLUSTER", "NODES")
        return parse_nodes(reply.decode() if isinstance(reply, bytes) else str(reply))

    def info(self, node: RedisServer, section: str | None = None) -> dict[str, Any]:
        """CLUSTER INFO, or INFO of `section`."""
        if section is None:
            reply = self.admin(node, "CLUSTER", "INFO")
            text = reply.decode() if isinstance(reply, bytes) else str(reply)
            return dict(line.split(":", 1) for line in text.split() if ":" in line)
        client = redis.Redis(host=node.host, port=node.port, socket_timeout=scaled(5))
        try:
            return dict(client.info(section))
        finally:
            client.connection_pool.disconnect()

    def node(self, node_id: str) -> RedisServer:
        return self.nodes[self.ids.index(node_id)]

    def running(self) -> list[RedisServer]:
        return [node for node in self.nodes if node.running]

    def masters(self) -> list[RedisServer]:
        """The masters that serve slots, by their first slot, as a running node sees them."""
        views = [v for v in self.view(self.running()[0]) if v.is_master and v.slots]
        return [self.node(v.id) for v in sorted(views, key=lambda v: v.slots[0])]

    def replicas_of(self, master: RedisServer) -> list[RedisServer]:
        master_id = self.ids[self.nodes.index(master)]
        return [self.node(v.id) for v in self.view(self.running()[0])
                if v.master_id == master_id and not v.is_master]

    def owner(self, slot: int) -> RedisServer:
        """The master that serves `slot`, as a running node sees it."""
        for v in self.view(self.running()[0]):
            if v.is_master and any(low <= slot <= high for low, high in v.slots):
                return self.node(v.id)
        raise AssertionError(f"no master serves slot {slot}")

    def node_id(self, node: RedisServer) -> str:
        return self.ids[self.nodes.index(node)]

    # --- changes -------------------------------------------------------------------

    def configure(self, name: str, value: str) -> None:
        """CONFIG SET on every running node, and again on each node that `heal` starts."""
        self.settings[name] = value
        for node in self.running():
            self.admin(node, "CONFIG", "SET", name, value)

    def flush(self) -> None:
        """Deletes every key (on the masters; the replicas follow)."""
        for node in self.masters():
            self.admin(node, "FLUSHALL")

    def heal(self) -> None:
        """Starts every node that is down again and waits until the cluster is healthy."""
        for node in self.nodes:
            if not node.running:
                node.start()
                for name, value in self.settings.items():
                    self.admin(node, "CONFIG", "SET", name, value)
        self.wait_healthy()

    # --- health --------------------------------------------------------------------

    def problems(self) -> list[str]:
        """What keeps the cluster from being healthy; empty when it is: every node up and
        agreeing, all slots served, each master with its replicas, each replica synced."""
        found = []
        masters_seen = set()
        for n, node in enumerate(self.nodes):
            if not node.running:
                found.append(f"node {n} (port {node.port}) is not running")
                continue
            try:
                info, views = self.info(node), self.view(node)
                replication = self.info(node, "replication")
            except redis.RedisError as error:
                found.append(f"node {n} (port {node.port}): {error!r}")
                continue
            if info.get("cluster_state") != "ok" or info.get("cluster_slots_ok") != str(SLOTS):
                found.append(f"node {n}: state {info.get('cluster_state')}, "
                             f"{info.get('cluster_slots_ok')} slots ok")
            bad = [f"{v.port} {','.join(sorted(v.flags))} {v.link}" for v in views
                   if v.flags & {"fail", "fail?", "handshake", "noaddr"}
                   or v.link != "connected"]
            if len(views) != len(self.nodes) or bad:
                found.append(f"node {n}: knows {len(views)} nodes, {bad}")
            masters = {v.id: tuple(v.slots) for v in views if v.is_master and v.slots}
            masters_seen.add(tuple(sorted(masters.items())))
            followers = [sum(1 for v in views if v.master_id == m) for m in masters]
            if len(masters) != self.masters_count or followers != [self.replicas_count] * len(
                    masters):
                found.append(f"node {n}: {len(masters)} masters with {followers} replicas")
            if replication.get("role") == "slave" and (
                    replication.get("master_link_status") != "up"
                    or int(replication.get("master_sync_in_progress", 0))):
                found.append(f"node {n}: replica link {replication.get('master_link_status')}")
        if len(masters_seen) > 1:
            found.append("the nodes disagree on the masters and their slots")
        return found

    def wait_healthy(self, timeout_s: float = HEALTHY_TIMEOUT_S) -> None:
        self._wait("the cluster is healthy", lambda: not self.problems(), timeout_s)

    def _wait(self, what: str, done: Callable[[], bool],
              timeout_s: float = HEALTHY_TIMEOUT_S) -> None:
        deadline = time.monotonic() + scaled(timeout_s)
        while True:
            try:
                if done():
                    return
            except redis.RedisError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError(self.report(f"not so within {scaled(timeout_s):.0f} s: {what}"))
            time.sleep(0.05)

    def report(self, headline: str) -> str:
        """The headline, what is wrong, and each node's view and the tail of its log."""
        parts = [headline, *self.problems()]
        for n, node in enumerate(self.nodes):
            parts.append(f"--- node {n}, port {node.port}, bus {node.bus_port}, "
                         f"{'running' if node.running else 'down'}")
            if node.running:
                try:
                    reply = self.admin(node, "CLUSTER", "NODES")
                    parts.append(reply.decode() if isinstance(reply, bytes) else str(reply))
                except redis.RedisError as error:
                    parts.append(repr(error))
            parts.append(node.log_tail())
        return "\n".join(parts)
