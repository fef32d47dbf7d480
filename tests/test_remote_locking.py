"""RemoteLatch.acquire / release against a real redis-server."""

from __future__ import annotations

import json
import sys
import time
from typing import Any

import pytest
import redis

from conftest import run_python
from quarn_devkit.waits import scaled
from quarn_data.errors import QuarnConnectionError
from quarn_data.lock.implementations import remote_latch
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address

NOT_CONNECTED = "RemoteLatch is not connected. Call connect() before using this method."
TARGET = Address("orders", "42")
KEY = TARGET.to_string()


def sets_sent(client: redis.Redis) -> int:
    """SET commands the server has run since the last `reset_stats`."""
    return int(client.info("commandstats").get("cmdstat_set", {}).get("calls", 0))


def reset_stats(client: redis.Redis) -> None:
    client.config_resetstat()


class SleepRecorder:
    """Replaces the module's `sleep`: records each wait and runs an optional action."""

    def __init__(self, action: Any = None) -> None:
        self.waits: list[object] = []
        self.action = action

    def __call__(self, seconds: object) -> None:
        self.waits.append(seconds)
        if self.action is not None:
            self.action(len(self.waits))


# --- the record on the server ---------------------------------------------------------------


@pytest.mark.parametrize(
    ("metadata", "value"),
    [
        (None, b""),
        ({}, b"{}"),
        ({"owner": "job-7", "n": [1, 2.5, None]}, b'{"owner": "job-7", "n": [1, 2.5, null]}'),
        ({"b": 1, "a": 2}, b'{"b": 1, "a": 2}'),  # the dict's own order
        ({"name": "\u00e9\u2603"}, b'{"name": "\\u00e9\\u2603"}'),  # ASCII-only output
        ([1, "x"], b'[1, "x"]'),  # no type test on metadata
        (0, b"0"),  # falsy but not None
    ],
)
def test_acquire_writes_the_key_with_the_metadata_text_and_no_expiry(
    latch: RemoteLatch, redis_client: redis.Redis, metadata: Any, value: bytes
) -> None:
    assert latch.acquire(TARGET, metadata=metadata) is True
    assert redis_client.get(KEY) == value
    assert redis_client.ttl(KEY) == -1
    assert redis_client.keys("*") == [KEY.encode()]  # the key text unchanged, nothing else
    assert latch.acquire(TARGET, blocking=False) is False  # not re-entrant
    assert latch.release(TARGET) is None
    assert redis_client.exists(KEY) == 0


def test_each_attempt_is_one_set_nx_with_key_value_and_nx_only(
    redis_server: Any, redis_client: redis.Redis
) -> None:
    seen = []

    class Recording(redis.Redis):
        def set(self, *args: Any, **kwargs: Any) -> Any:
            seen.append(("set", args, kwargs))
            return super().set(*args, **kwargs)

        def delete(self, *args: Any) -> Any:
            seen.append(("delete", args, {}))
            return super().delete(*args)

    latch = RemoteLatch()
    latch.client = Recording(port=redis_server.port)
    latch.acquire(TARGET, metadata={"a": 1})
    latch.release(TARGET)
    assert seen == [("set", (KEY, '{"a": 1}'), {"nx": True}), ("delete", (KEY,), {})]


def test_release_deletes_whoever_holds_the_key(latch: RemoteLatch, redis_server: Any,
                                               redis_client: redis.Redis) -> None:
    assert latch.release(Address("never", "taken")) is None
    other = RemoteLatch()
    other.connect("127.0.0.1", port=redis_server.port)
    assert latch.acquire(TARGET) is True
    assert other.acquire(TARGET, blocking=False) is False
    other.release(TARGET)  # no ownership check, by design
    assert redis_client.exists(KEY) == 0
    assert other.acquire(TARGET, blocking=False) is True


def test_equal_targets_with_different_texts_are_different_locks(latch: RemoteLatch) -> None:
    class Spelled:
        def __init__(self, text: str) -> None:
            self.text = text

        def __eq__(self, other: object) -> bool:
            return True

        __hash__ = object.__hash__

        def to_string(self) -> str:
            return self.text

    assert latch.acquire(Spelled("/a"), blocking=False) is True
    assert latch.acquire(Spelled("/b"), blocking=False) is True
    assert latch.acquire(Spelled("/a"), blocking=False) is False


# --- not connected --------------------------------------------------------------------------


@pytest.mark.parametrize("client", ["missing", None, 0, ""])
@pytest.mark.parametrize("call", ["acquire", "release"])
def test_not_connected(redis_client: redis.Redis, client: Any, call: str) -> None:
    latch = RemoteLatch()
    if client != "missing":
        latch.client = client
    reset_stats(redis_client)
    with pytest.raises(QuarnConnectionError) as info:
        getattr(latch, call)(TARGET)
    assert info.value.args == (NOT_CONNECTED,) and info.value.__cause__ is None
    assert sets_sent(redis_client) == 0 and redis_client.dbsize() == 0


def test_the_connection_error_is_looked_up_when_raised(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(remote_latch, "QuarnConnectionError", KeyError)
    with pytest.raises(KeyError):
        RemoteLatch().release(TARGET)
    monkeypatch.setattr(remote_latch, "QuarnConnectionError", lambda msg: msg)
    with pytest.raises(TypeError, match="exceptions must derive from BaseException|"
                                        "exception class must be a subclass of BaseException"):
        RemoteLatch().acquire(TARGET)


# --- the attempt / wait schedule ------------------------------------------------------------


@pytest.mark.parametrize(
    ("timeout_ms", "waits"),
    [(0, 0), (1, 1), (100, 1), (101, 2), (300, 3), (500, 5), (799, 8), (800, 9), (900, 10),
     (1099, 11), (1100, 12), (1200, 12), (2000, 20), (5000, 51), (10000, 101)],
)
def test_schedule_on_a_held_key(latch: RemoteLatch, redis_client: redis.Redis,
                                monkeypatch: pytest.MonkeyPatch, timeout_ms: int,
                                waits: int) -> None:
    redis_client.set(KEY, "held")
    sleep = SleepRecorder()
    monkeypatch.setattr(remote_latch, "sleep", sleep)
    reset_stats(redis_client)
    assert latch.acquire(TARGET, timeout_ms=timeout_ms) is False
    assert sleep.waits == [0.1] * waits
    assert all(type(w) is float for w in sleep.waits)
    assert sets_sent(redis_client) == waits + 1
    assert redis_client.get(KEY) == b"held"


@pytest.mark.parametrize("timeout_ms", [-1, -5, -(10**30)])
def test_negative_timeout_waits_until_the_key_is_freed(
    latch: RemoteLatch, redis_client: redis.Redis, monkeypatch: pytest.MonkeyPatch,
    timeout_ms: int
) -> None:
    redis_client.set(KEY, "held")
    sleep = SleepRecorder(lambda n: n == 25 and redis_client.delete(KEY))
    monkeypatch.setattr(remote_latch, "sleep", sleep)
    assert latch.acquire(TARGET, timeout_ms=timeout_ms, metadata={"w": 1}) is True
    assert len(sleep.waits) == 25 and redis_client.get(KEY) == b'{"w": 1}'


@pytest.mark.parametrize("blocking", [False, None, 0, "", (), 0.0])
def test_non_blocking_is_one_attempt_whatever_the_timeout(
    latch: RemoteLatch, redis_client: redis.Redis, monkeypatch: pytest.MonkeyPatch,
    blocking: Any
) -> None:
    redis_client.set(KEY, "held")
    sleep = SleepRecorder()
    monkeypatch.setattr(remote_latch, "sleep", sleep)
    reset_stats(redis_client)
    assert latch.acquire(TARGET, timeout_ms=5000, blocking=blocking) is False
    assert latch.acquire(TARGET, timeout_ms=10**400, blocking=blocking) is False
    assert sleep.waits == [] and sets_sent(redis_client) == 2


def test_a_non_empty_string_blocks(latch: RemoteLatch, redis_client: redis.Redis,
                                   monkeypatch: pytest.MonkeyPatch) -> None:
    redis_client.set(KEY, "held")
    sleep = SleepRecorder()
    monkeypatch.setattr(remote_latch, "sleep", sleep)
    assert latch.acquire(TARGET, timeout_ms=200, blocking="no") is False
    assert len(sleep.waits) == 2


def test_real_waits_take_the_counted_time(latch: RemoteLatch, redis_client: redis.Redis) -> None:
    redis_client.set(KEY, "held")
    start = time.monotonic()
    assert latch.acquire(TARGET, timeout_ms=300) is False
    assert 0.3 <= time.monotonic() - start < 3.0


# --- errors propagate -----------------------------------------------------------------------


def test_huge_timeout_overflows_before_the_first_attempt(latch: RemoteLatch,
                                                         redis_client: redis.Redis) -> None:
    reset_stats(redis_client)
    with pytest.raises(OverflowError):
        latch.acquire(TARGET, timeout_ms=10**400)
    assert sets_sent(redis_client) == 0


def test_unserialisable_metadata_writes_nothing(latch: RemoteLatch,
                                                redis_client: redis.Redis) -> None:
    with pytest.raises(TypeError, match="not JSON serializable"):
        latch.acquire(TARGET, metadata={"x": object()})
    assert redis_client.dbsize() == 0


def test_globals_are_looked_up_at_each_use(latch: RemoteLatch, redis_client: redis.Redis,
                                           monkeypatch: pytest.MonkeyPatch) -> None:
    class Json:
        @staticmethod
        def dumps(value: Any) -> str:
            return "custom:" + json.dumps(value)

    monkeypatch.setattr(remote_latch, "json", Json)
    latch.acquire(TARGET, metadata=[1])
    assert redis_client.get(KEY) == b"custom:[1]"
    monkeypatch.setattr(remote_latch, "sleep", None)  # not callable: the wait fails
    with pytest.raises(TypeError, match="not callable"):
        latch.acquire(TARGET, timeout_ms=100)


class Boom(Exception):
    pass


def test_errors_from_the_target_and_the_wait_propagate(latch: RemoteLatch,
                                                       redis_client: redis.Redis,
                                                       monkeypatch: pytest.MonkeyPatch) -> None:
    class Exploding:
        def to_string(self) -> str:
            raise Boom("to_string")

    for call in (lambda: latch.acquire(Exploding()), lambda: latch.release(Exploding()),
                 lambda: latch.acquire(object())):
        with pytest.raises((Boom, AttributeError)):
            call()
    redis_client.set(KEY, "held")

    def failing_sleep(seconds: float) -> None:
        raise Boom("sleep")

    monkeypatch.setattr(remote_latch, "sleep", failing_sleep)
    reset_stats(redis_client)
    with pytest.raises(Boom, match="sleep"):
        latch.acquire(TARGET)
    assert sets_sent(redis_client) == 1


def test_the_key_and_value_are_computed_for_every_attempt(
    latch: RemoteLatch, redis_client: redis.Redis, monkeypatch: pytest.MonkeyPatch
) -> None:
    calls = []

    class Counting:
        def to_string(self) -> str:
            calls.append("to_string")
            return KEY

    class Json:
        @staticmethod
        def dumps(value: Any) -> str:
            calls.append("dumps")
            return "v"

    redis_client.set(KEY, "held")
    monkeypatch.setattr(remote_latch, "json", Json)
    monkeypatch.setattr(remote_latch, "sleep", SleepRecorder())
    latch.acquire(Counting(), timeout_ms=200, metadata={})
    assert calls == ["to_string", "dumps"] * 3


# --- several processes ----------------------------------------------------------------------

WORKER = """
import sys, time
import redis
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address

port, rounds = int(sys.argv[1]), int(sys.argv[2])
latch = RemoteLatch()
latch.connect("127.0.0.1", port=port)
plain = redis.Redis(port=port)
target = Address("counter")
for _ in range(rounds):
    assert latch.acquire(target, timeout_ms={wait_ms}, metadata={{"pid": 1}})
    value = int(plain.get("count") or 0)   # a non-atomic read-modify-write
    time.sleep(0.001)
    plain.set("count", value + 1)
    latch.release(target)
"""


def test_mutual_exclusion_across_processes(redis_server: Any, redis_client: redis.Redis) -> None:
    import subprocess

    processes, rounds = 4, 25
    code = WORKER.format(wait_ms=round(scaled(20) * 1000))
    workers = [subprocess.Popen([sys.executable, "-c", code, str(redis_server.port), str(rounds)])
               for _ in range(processes)]
    try:
        for worker in workers:
            assert worker.wait(timeout=scaled(120)) == 0
    finally:
        for worker in workers:
            worker.kill()
    assert int(redis_client.get("count")) == processes * rounds
    assert redis_client.exists(Address("counter").to_string()) == 0


def test_a_fresh_interpreter_locks_against_this_one(latch: RemoteLatch,
                                                    redis_server: Any) -> None:
    assert latch.acquire(TARGET) is True
    result = run_python(f"""
        from quarn_data.lock.implementations.remote_latch import RemoteLatch
        from quarn_utils.models.data_models.address import Address
        other = RemoteLatch()
        other.connect("127.0.0.1", port={redis_server.port})
        print(other.acquire(Address("orders", "42"), timeout_ms=0))
    """)
    assert result.stdout.strip() == "False", result.stderr
