"""Stand-in for the host package's lock record."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True, slots=True, kw_only=True)
class LockObject:
    """What a backend remembers about a lock when it is first taken.

    Attributes:
        expires_at (int): Wall-clock milliseconds since the Unix epoch at which the
            lock is due to end, or -1 for none.
        data (dict[str, Any]): The caller's metadata.
    """

    expires_at: int
    data: dict[str, Any]
