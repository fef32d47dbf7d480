"""A short tour of both lock backends.

RemoteLatch: three processes take turns on one lock kept on a private redis-server that
this script starts and stops. LocalLatch: four threads of this process share one target.
Each holder does a read-modify-write that would lose updates without the lock.
"""

from __future__ import annotations

import subprocess
import sys
import threading
import time

from quarn_devkit.redis_server import RedisServer
from quarn_devkit.waits import scaled
from quarn_utils.models.data_models.address import Address

TARGET = Address("demo", "invoice-7")
ROUNDS = 3


def remote_worker(port: int, name: str) -> None:
    import redis

    from quarn_data.lock.implementations.remote_latch import RemoteLatch

    latch = RemoteLatch()
    latch.connect("127.0.0.1", port=port)
    plain = redis.Redis(port=port)
    for _ in range(ROUNDS):
        latch.acquire(TARGET, timeout_ms=10_000, metadata={"holder": name})
        holder = plain.get(TARGET.to_string()).decode()
        count = int(plain.get("demo:count") or 0)
        print(f"  {name}: holds {TARGET.to_string()} (value {holder}), count {count} -> {count + 1}",
              flush=True)
        time.sleep(0.05)
        plain.set("demo:count", count + 1)
        latch.release(TARGET)
        time.sleep(0.12)  # give the others a turn: waiters poll every 0.1 s
    latch.disconnect()


def remote_demo() -> None:
    import redis

    print("RemoteLatch: 3 processes, one lock on a private redis-server")
    with RedisServer() as server:
        workers = [
            subprocess.Popen([sys.executable, __file__, "--worker", str(server.port), f"process-{i}"])
            for i in range(3)
        ]
        for worker in workers:
            if worker.wait(timeout=scaled(60)) != 0:
                raise SystemExit("a worker failed")
        count = int(redis.Redis(port=server.port).get("demo:count"))
        print(f"  final count {count} (expected {3 * ROUNDS}); server on port {server.port} stopped")
        if count != 3 * ROUNDS:
            raise SystemExit("lost updates")


def local_demo() -> None:
    from quarn_data.lock.implementations.local_latch import LocalLatch

    print("LocalLatch: 4 threads, one lock in this process")
    latch = LocalLatch()
    count = 0

    def worker(name: str) -> None:
        nonlocal count
        for _ in range(1000):
            latch.acquire(TARGET, timeout_ms=5000, metadata={"holder": name})
            value = count
            time.sleep(0)  # invite a thread switch inside the critical section
            count = value + 1
            latch.release(TARGET)

    threads = [threading.Thread(target=worker, args=(f"thread-{i}",)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(f"  final count {count} (expected 4000)")
    print(f"  record of the first acquisition: {latch.lock_data[TARGET]}")
    if count != 4000:
        raise SystemExit("lost updates")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--worker"]:
        remote_worker(int(sys.argv[2]), sys.argv[3])
    else:
        remote_demo()
        local_demo()
