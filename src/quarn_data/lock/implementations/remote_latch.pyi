# Redis-backed lock backend: one key per locked target, taken with SET NX, freed with DEL.

import json as json
from time import sleep as sleep
from typing import Any as Any

import redis as redis
from quarn_data.errors import QuarnConnectionError as QuarnConnectionError
from quarn_data.lock.base import LockBase as LockBase
from quarn_utils.models.data_models.address import Address as Address

class RemoteLatch(LockBase):
    client: redis.Redis
    @property
    def is_connected(self) -> bool: ...
    @property
    def is_alive(self) -> bool: ...
    def connect(
        self,
        host: str,
        *,
        port: int = 6379,
        username: str | None = None,
        password: str | None = None,
        ssl: bool = False,
        ssl_certfile: str | None = None,
        ssl_keyfile: str | None = None,
        ssl_ca_certs: str | None = None,
    ) -> None: ...
    def disconnect(self) -> None: ...
    def acquire(
        self,
        target_address: Address,
        *,
        timeout_ms: int = -1,
        blocking: bool = True,
        metadata: dict[str, Any] | None = None,
    ) -> bool: ...
    def release(self, target_address: Address) -> None: ...
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
    ) -> Any: ...
