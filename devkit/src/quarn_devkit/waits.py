"""How long the tests and the tools wait for something that takes machine time: a process
or a server to start, a worker to say it is ready, a cluster to agree, a replica to be
promoted, a child to finish.

Every such limit is written as what it takes on a machine like ours at native speed, with
ample room, and goes through `scaled()`, which multiplies it by one factor that the
environment sets: ``QUARN_TIME_FACTOR`` (default 1). A run that is slower by nature sets
it once (CI's emulated steps: every instruction runs under qemu), instead of each wait
guessing how slow a machine may be. The per-test time limit of the suite scales with it
too (tests/conftest.py), unless one is given explicitly.

Times that a test measures, and the delays that a fault is made of (a pause of 6 s, a
partition of 2.5 s, a lock's ``timeout_ms``), are what is being tested: they never scale.
"""

from __future__ import annotations

import os

ENVIRONMENT = "QUARN_TIME_FACTOR"


def factor() -> float:
    """The factor that ``QUARN_TIME_FACTOR`` sets (1 when unset); ValueError for a value
    that is not a positive number."""
    text = os.environ.get(ENVIRONMENT, "").strip()
    if not text:
        return 1.0
    value = float(text)
    if not value > 0:
        raise ValueError(f"{ENVIRONMENT}={text!r}: not a positive number")
    return value


def scaled(seconds: float) -> float:
    """`seconds`, a limit written for native speed, times the factor."""
    return seconds * factor()
