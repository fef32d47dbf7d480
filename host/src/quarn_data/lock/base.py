"""Stand-in for the host package's lock interface.

Only what the backends rely on: ``ABCMeta`` as the metaclass, the six members declared
abstract, and no initialiser, so a new instance has no ``client`` attribute.
"""

from __future__ import annotations

import abc
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quarn_utils.models.data_models.address import Address


class LockBase(metaclass=abc.ABCMeta):
    """Interface of a lock backend: connect, lock and unlock targets, disconnect."""

    @abc.abstractmethod
    def connect(self, *args: Any, **kwargs: Any) -> None:
        """Connects the backend to wherever it keeps its locks."""

    @abc.abstractmethod
    def disconnect(self) -> None:
        """Closes the connection that ``connect`` opened."""

    @abc.abstractmethod
    def acquire(
        self,
        target_address: Address,
        *,
        timeout_ms: int = -1,
        blocking: bool = True,
        metadata: dict[str, Any] | None = None,
    ) -> bool:
        """Takes the lock on a target; True when taken."""

    @abc.abstractmethod
    def release(self, target_address: Address) -> None:
        """Frees the lock on a target."""

    @property
    @abc.abstractmethod
    def is_connected(self) -> bool:
        """Whether the backend holds a connection."""

    @property
    @abc.abstractmethod
    def is_alive(self) -> bool:
        """Whether the backend's server answers."""
