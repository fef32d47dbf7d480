"""Typed use of both lock backends; checked with `mypy --strict` (scripts/typecheck).

The backends are native modules; their types come from the stubs shipped beside them
(remote_latch.pyi, local_latch.pyi) and the package's py.typed marker.

    python examples/typed_usage.py                 # local backend only
    python examples/typed_usage.py 127.0.0.1 6379  # and a Redis server
"""

from __future__ import annotations

import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import redis
from quarn_data.errors import QuarnConnectionError
from quarn_data.lock.base import LockBase
from quarn_data.lock.implementations.local_latch import LocalLatch
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address


@contextmanager
def locked(backend: LockBase, target: Address, *, timeout_ms: int = -1,
           metadata: dict[str, Any] | None = None) -> Iterator[bool]:
    """Holds the lock on `target` for the body; yields whether it was taken in time."""
    taken = backend.acquire(target, timeout_ms=timeout_ms, metadata=metadata)
    try:
        yield taken
    finally:
        if taken:
            backend.release(target)


def count_free(backend: LockBase, targets: list[Address]) -> int:
    """How many of `targets` are free right now (each is taken and given back at once)."""
    free = 0
    for target in targets:
        if backend.acquire(target, blocking=False):
            backend.release(target)
            free += 1
    return free


class TimedRemoteLatch(RemoteLatch):
    """A RemoteLatch whose client gives up on a silent server after two seconds."""

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
            host=host, port=port, username=username, password=password, ssl=ssl,
            ssl_certfile=ssl_certfile, ssl_keyfile=ssl_keyfile, ssl_ca_certs=ssl_ca_certs,
            socket_timeout=2.0,
        )


def use(backend: LockBase) -> None:
    orders = Address("orders", "2024/12")
    invoices = Address("invoices")
    with locked(backend, orders, timeout_ms=500, metadata={"owner": "typed_usage"}) as taken:
        held: bool = backend.acquire(orders, blocking=False)
        print(f"{type(backend).__name__}: taken={taken}, taken again={held}")
    print(f"{type(backend).__name__}: free targets: {count_free(backend, [orders, invoices])} of 2")


def main(argv: list[str]) -> int:
    local = LocalLatch()
    local.connect()
    connected: bool = local.is_connected and local.is_alive
    assert connected
    use(local)
    local.disconnect()

    if len(argv) >= 2:
        remote = TimedRemoteLatch()
        try:
            remote.acquire(Address("nowhere"))
        except QuarnConnectionError as error:
            print(f"before connect: {error}")
        remote.connect(argv[0], port=int(argv[1]))
        if not remote.is_alive:
            print(f"no Redis server answers at {argv[0]}:{argv[1]}")
            return 1
        use(remote)
        remote.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
