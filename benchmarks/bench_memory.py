"""LocalLatch's memory per target held in its two tables, by tracemalloc, and what one
entry is made of, by sys.getsizeof.

    python benchmarks/bench_memory.py [--quick]
"""

from __future__ import annotations

import gc
import sys
import tracemalloc
from typing import Any

import harness
from harness import Context
from quarn_data.lock.implementations.local_latch import LocalLatch
from quarn_utils.models.data_models.address import Address

NAME = "memory"


def lock_tables_bytes(n: int, timeout_ms: int, metadata: dict[str, Any] | None) -> int:
    """Bytes traced by tracemalloc for a LocalLatch after acquire+release of n targets."""
    targets = [Address("bench", "memory", str(i)) for i in range(n)]
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        latch = LocalLatch()
        for target in targets:
            latch.acquire(target, timeout_ms=timeout_ms, metadata=metadata)
            latch.release(target)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert len(latch.locks) == len(latch.lock_data) == n
    del latch
    return after - before


def run(context: Context) -> list[str]:
    args = context.args
    print("LocalLatch memory per target (both tables; the Address objects themselves are not "
          "counted)")
    print(f"  {'case':<52} {'targets':>10} {'bytes/target':>13}")
    caller_dict = {"owner": "bench"}
    scenarios: list[tuple[str, str, int, dict[str, Any] | None]] = [
        ("defaults", "timeout_ms=-1, metadata=None (data: new {})", -1, None),
        ("timeout-metadata", "timeout_ms=5000, metadata=caller's dict (not counted)", 5000,
         caller_dict),
    ]
    rows = []
    for case, label, timeout_ms, metadata in scenarios:
        for n in args.memory_targets:
            per = lock_tables_bytes(n, timeout_ms, metadata) / n
            print(f"  {label:<52} {n:>10} {per:>13.1f}")
            rows.append({"case": case, "label": label, "targets": n,
                         "bytes_per_target": round(per, 1)})
    # What one entry is made of, by sys.getsizeof.
    t = Address("bench", "memory", "one")
    latch = LocalLatch()
    latch.acquire(t)
    latch.release(t)
    lock, record = latch.locks[t], latch.lock_data[t]
    n = args.memory_targets[-1]
    big = LocalLatch()
    for i in range(n):
        target = Address("bench", "size", str(i))
        big.acquire(target)
        big.release(target)
    table_bytes = (sys.getsizeof(big.locks) + sys.getsizeof(big.lock_data)) / n
    print(f"  breakdown by sys.getsizeof: lock object {sys.getsizeof(lock)} B, LockObject "
          f"record {sys.getsizeof(record)} B, its data dict {sys.getsizeof(record.data)} B,")
    print(f"    dict slots of both tables {table_bytes:.1f} B/target at {n} targets (amortised: "
          "the tables grow by doubling);")
    print("    expires_at -1 is a shared small int; with a timeout it is a new int. tracemalloc "
          "also")
    print("    counts the OS semaphore of each lock (not seen by getsizeof); it counts "
          "requested sizes,")
    print("    not the allocator's slack.")
    print()
    context.results.add(NAME, {
        "kind": "memory",
        "rows": rows,
        "getsizeof": {"lock": sys.getsizeof(lock), "record": sys.getsizeof(record),
                      "data_dict": sys.getsizeof(record.data),
                      "table_slots_per_target": round(table_bytes, 1), "at_targets": n},
    })
    return []


if __name__ == "__main__":
    sys.exit(harness.main([sys.modules[__name__]], description=__doc__.split("\n\n")[0]))
