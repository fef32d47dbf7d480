"""RemoteLatch on the master of a Redis Sentinel group, following it through failovers.

`connect` is given the sentinels, not the master: `host` names one sentinel or several,
comma-separated, each as HOST or HOST:PORT (`port` is the port of those without one).
The client asks them for the current master of `SERVICE_NAME` whenever it opens a
connection, so after a failover the next connection goes to the promoted replica.
`username`, `password` and the TLS files are for the master; the sentinels are reached
without them.

What a failover does to the locks (RELIABILITY.md has the measured figures):

- while no master answers (a few seconds with `down-after-milliseconds` 1000), `acquire`
  and `release` raise the client's ConnectionError or TimeoutError; retry them later;
- replication is asynchronous, so a lock taken just before the master failed can be
  missing on the new master, and then a second holder can take it.

The timeouts and the retry policy are those of examples/bounded.py, for the same reasons.

    python examples/sentinel.py 127.0.0.1:26379,127.0.0.1:26380,127.0.0.1:26381
"""

from __future__ import annotations

import sys
from typing import Any, cast

import redis
from redis.backoff import NoBackoff
from redis.retry import Retry
from redis.sentinel import Sentinel, SentinelConnectionPool

from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address

SERVICE_NAME = "locks"  # the name in the sentinels' `sentinel monitor` line
SOCKET_TIMEOUT_S = 0.5
CONNECT_TIMEOUT_S = 0.5
HEALTH_CHECK_S = 30


def sentinel_addresses(host: str, port: int) -> list[tuple[str, int]]:
    """'h1:26379,h2' -> [('h1', 26379), ('h2', port)]."""
    addresses = []
    for item in host.split(","):
        name, colon, given = item.strip().rpartition(":")
        if colon and given.isdigit():
            addresses.append((name, int(given)))
        else:
            addresses.append((item.strip(), port))
    return addresses


class SentinelLatch(RemoteLatch):
    """A RemoteLatch whose locks live on the current master of a Sentinel group."""

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
        sentinels = Sentinel(
            sentinel_addresses(host, port),
            sentinel_kwargs={
                "socket_timeout": SOCKET_TIMEOUT_S,
                "socket_connect_timeout": CONNECT_TIMEOUT_S,
            },
        )
        # Unlike redis.Redis, master_for hands every keyword to the connection class, and
        # the plain one takes no TLS files.
        tls: dict[str, Any] = {}
        if ssl:
            tls = {"ssl": True, "ssl_certfile": ssl_certfile, "ssl_keyfile": ssl_keyfile,
                   "ssl_ca_certs": ssl_ca_certs}
        return sentinels.master_for(
            SERVICE_NAME,
            username=username,
            password=password,
            **tls,
            socket_timeout=SOCKET_TIMEOUT_S,
            socket_connect_timeout=CONNECT_TIMEOUT_S,
            retry=Retry(NoBackoff(), 1, supported_errors=(redis.exceptions.ConnectionError,)),
            health_check_interval=HEALTH_CHECK_S,
        )

    def disconnect(self) -> None:
        """Closes the connections to the master, then those to the sentinels, which the
        master's client does not own: left to the garbage collector, they would be
        closed some time later, with a ResourceWarning."""
        pool = cast(SentinelConnectionPool, self.client.connection_pool)
        sentinels = pool.sentinel_manager.sentinels
        super().disconnect()
        for client in sentinels:
            client.connection_pool.disconnect()  # redis-py 5.0.0's close() leaves it open


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print("usage: sentinel.py HOST:PORT[,HOST:PORT...]  (the sentinels)", file=sys.stderr)
        return 2
    latch = SentinelLatch()
    latch.connect(argv[0], port=26379)
    target = Address("orders", "sentinel-example")
    taken = latch.acquire(target, timeout_ms=500, metadata={"by": "sentinel example"})
    server = latch.client.info("server")
    print(f"taken: {taken} on the master of {SERVICE_NAME!r}, port {server['tcp_port']}")
    if taken:
        latch.release(target)
    latch.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
