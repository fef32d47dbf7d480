# In-process lock backend: one threading.Lock per target.

from threading import Lock as Lock
from time import time as time
from typing import Any as Any

from quarn_data.data_models.lock_object import LockObject as LockObject
from quarn_data.lock.base import LockBase as LockBase
from quarn_utils.models.data_models.address import Address as Address

class LocalLatch(LockBase):
    locks: dict[Address, Lock]
    lock_data: dict[Address, LockObject]
    def connect(self, *args: Any, **kwargs: Any) -> None: ...
    def disconnect(self) -> None: ...
    @property
    def is_connected(self) -> bool: ...
    @property
    def is_alive(self) -> bool: ...
    def __init__(self) -> None: ...
    def acquire(
        self,
        target_address: Address,
        *,
        timeout_ms: int = -1,
        blocking: bool = True,
        metadata: dict[str, Any] | None = None,
    ) -> bool: ...
    def release(self, target_address: Address) -> None: ...
