"""RemoteLatch on a Redis Cluster: lock traffic spread over several masters.

RemoteLatch builds its client in the static method `_get_redis_client`, which `connect`
looks up on the instance; a subclass that returns redis-py's cluster client instead of
`redis.Redis` makes every lock a key on the master that owns the key's hash slot. Each
lock is still one key taken with SET NX and freed with DEL, so nothing else changes:
targets whose keys hash to different slots are locked on different masters, and the
servers share the load.

    python examples/cluster.py 127.0.0.1 7000   # any node of the cluster

The cluster client reads the slot map from the node it is given when it is built, so
`connect` fails at once when no cluster answers there (unlike `redis.Redis`, which
connects on its first command).

The client is bounded, for what a master's failure does to a caller (RELIABILITY.md's
"Redis Cluster" table has the measured figures, with `cluster-node-timeout` 1000):

- A socket and a connect timeout of 0.5 s: a master that stalls or is cut off costs a
  caller 0.5 s and the client's TimeoutError, not redis-py's 5 s per try (and a topology
  refresh that asks such a node waits no longer either).
- No retry by the cluster client. Its defaults retry a failed command ten times with a
  backoff of up to 1 s, refreshing the slot map between tries: a caller on a dead
  master's slots is held for about 3.5 s and then gets `True` or an error, whatever its
  `timeout_ms`, and on CLUSTERDOWN every caller, on every master, waits the same way.
  Here each command fails at once with ConnectionError while its master is down, and the
  caller decides: retry `acquire` until the replica has taken over (about 2.5 s after a
  kill; the client sees the new master within a second after that, once its next topology
  refresh runs). A SET that timed out is not sent again, since it may still run: see
  examples/bounded.py.

On the servers, `cluster-require-full-coverage no` keeps the other masters serving while
one master's slots have no master: with the default (yes) every node answers CLUSTERDOWN
to every command from the moment the dead master is flagged failing until its replica is
promoted (about 0.9 s here), and for as long as no replica takes over.
"""

from __future__ import annotations

import sys
from typing import Any, cast

import redis
from redis.backoff import NoBackoff
from redis.cluster import RedisCluster
from redis.crc import key_slot
from redis.retry import Retry

from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address

SOCKET_TIMEOUT_S = 0.5  # the longest one command may wait for its reply
CONNECT_TIMEOUT_S = 0.5  # the longest a new connection may take to open
RETRIES = 0  # commands the cluster client sends again after an error


def retries() -> dict[str, Any]:
    """No retry of a command by the cluster client. redis-py 6.0 and later count its
    retries in `retry`; earlier releases in `cluster_error_retry_attempts`, and give
    `retry` to each node's connections only."""
    if tuple(int(n) for n in redis.__version__.split(".")[:1]) >= (6,):
        return {"retry": Retry(NoBackoff(), RETRIES)}
    return {"retry": Retry(NoBackoff(), RETRIES), "cluster_error_retry_attempts": RETRIES}


class ClusterLatch(RemoteLatch):
    """A RemoteLatch whose locks live on a Redis Cluster, through a bounded client."""

    @staticmethod
    def _get_redis_client(
        host: str,
        *,
        port: int = 6379,
        username: str | None = None,
        password: str | None = None,
        ssl: bool = False,
        ssl_certfile: str | None = None,
        ssl_keyfile: str | None = None,
        ssl_ca_certs: str | None = None,
    ) -> Any:
        return RedisCluster(
            host=host,
            port=port,
            username=username,
            password=password,
            ssl=ssl,
            ssl_certfile=ssl_certfile,
            ssl_keyfile=ssl_keyfile,
            ssl_ca_certs=ssl_ca_certs,
            socket_timeout=SOCKET_TIMEOUT_S,
            socket_connect_timeout=CONNECT_TIMEOUT_S,
            **retries(),
        )


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: cluster.py HOST PORT  (any node of a Redis Cluster)", file=sys.stderr)
        return 2
    latch = ClusterLatch()
    latch.connect(argv[0], port=int(argv[1]))
    client = cast(RedisCluster, latch.client)  # what _get_redis_client returned
    targets = [Address("orders", str(n)) for n in range(6)]
    for target in targets:
        assert latch.acquire(target, timeout_ms=1000, metadata={"by": "cluster example"})
    for target in targets:
        key = target.to_string()
        slot = key_slot(key.encode())
        node = client.nodes_manager.get_node_from_slot(slot)
        print(f"{key}: slot {slot} on {node.host}:{node.port}, held: {client.exists(key) == 1}")
    for target in targets:
        latch.release(target)
    latch.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
