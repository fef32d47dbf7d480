"""RemoteLatch with a client that never waits on a silent server longer than half a second.

`acquire(target, timeout_ms=500)` counts only its own waits between attempts: an attempt
that the server does not answer (the server paused, swapping, or cut off by a network
that drops packets) holds the caller for as long as the client waits for the reply. The
default `redis.Redis` waits 5 s per try and retries ten times, so a stalled server holds
the caller for about a minute. This subclass builds a client whose every command gives
up with `redis.exceptions.TimeoutError` after `SOCKET_TIMEOUT_S`, so a waiting `acquire`
or a `release` ends within about half a second of the server going silent.

Retries: none after a timeout. A command that timed out may still be sitting in the
server's socket, or in the network, and run later: a repeated SET NX would then find the
key that its own first try created and wait for it for ever. One immediate retry after a
connection error, for the health check: a connection idle for `HEALTH_CHECK_S` is pinged
before a lock command goes over it, and if it died silently (a firewall or NAT forgot
it), the retry opens a new one. A connection that the server closed, as in a restart, is
replaced by the client's pool before use.

RELIABILITY.md has the measured behaviour of both clients under each fault.

    python examples/bounded.py 127.0.0.1 6379
"""

from __future__ import annotations

import sys
import time
from typing import Any

import redis
from redis.backoff import NoBackoff
from redis.retry import Retry

from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address

SOCKET_TIMEOUT_S = 0.5  # the longest one command may wait for its reply
CONNECT_TIMEOUT_S = 0.5  # the longest a new connection may take to open
HEALTH_CHECK_S = 30  # ping a connection that was idle this long before using it


class BoundedLatch(RemoteLatch):
    """A RemoteLatch whose commands fail with the client's TimeoutError instead of
    hanging when the server does not answer."""

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
        return redis.Redis(
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
            retry=Retry(NoBackoff(), 1, supported_errors=(redis.exceptions.ConnectionError,)),
            health_check_interval=HEALTH_CHECK_S,
        )


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: bounded.py HOST PORT", file=sys.stderr)
        return 2
    latch = BoundedLatch()
    latch.connect(argv[0], port=int(argv[1]))
    target = Address("orders", "bounded-example")
    started = time.monotonic()
    try:
        taken = latch.acquire(target, timeout_ms=500, metadata={"by": "bounded example"})
        print(f"taken: {taken} after {time.monotonic() - started:.2f} s")
        if taken:
            latch.release(target)
        return 0
    except (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError) as error:
        # The server did not answer in time. The SET may still run when it does, leaving
        # a key that nobody holds: look at it (and its metadata) before deleting it.
        print(f"no answer after {time.monotonic() - started:.2f} s: {error!r}")
        return 1
    finally:
        latch.disconnect()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
