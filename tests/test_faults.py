"""Both backends under faults: a server that stops or restarts under a waiting or holding
client, a holder killed outright, and Ctrl-C (a real SIGINT) during a blocking wait.

Tests that stop or restart a server use a private one, never the session server. The
redis client retries a failed command a few times with a growing pause (a few seconds in
all) before its error comes out; the bounds below leave room for that.
"""

from __future__ import annotations

import json
import os
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Iterator

import pytest
import redis

from conftest import check_python
from faults import server as experiments
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address
from quarn_devkit.redis_server import RedisServer
from quarn_devkit.waits import scaled

# The client's own retries take about 4 s against a stopped server; a hang never ends.
ERROR_BOUND_S = scaled(10.0)
# How long a child or a thread may take to start, to answer or to finish, at native speed.
ANSWER_S = scaled(30.0)


@pytest.fixture
def private_server() -> Iterator[RedisServer]:
    with RedisServer() as server:
        yield server


def connected(port: int) -> RemoteLatch:
    latch = RemoteLatch()
    latch.connect("127.0.0.1", port=port)
    return latch


def read_line(process: subprocess.Popen[str], timeout: float) -> str:
    """One line of the child's stdout; fails, with the child's stderr, if none comes
    within `timeout` seconds."""
    assert process.stdout is not None
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    line = process.stdout.readline().strip() if ready else ""
    if not line:
        process.kill()
        _, err = process.communicate()
        raise AssertionError(f"no line from the child in {timeout} s:\n{err}")
    return line


def spawn(code: str) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )


# --- a server that goes away ---------------------------------------------------------

WAITER = """
    from quarn_data.lock.implementations.remote_latch import RemoteLatch
    from quarn_utils.models.data_models.address import Address

    latch = RemoteLatch()
    latch.connect("127.0.0.1", port=PORT)
    print("waiting", flush=True)
    try:
        result = latch.acquire(Address("faults", "held"), metadata={"who": "waiter"})
    except BaseException as exc:
        print(type(exc).__module__ + "." + type(exc).__qualname__, flush=True)
    else:
        print("returned", result, flush=True)
"""


def set_calls(port: int) -> int:
    """SET commands the server has carried out so far, refused attempts included."""
    with redis.Redis(port=port) as admin:
        return int(admin.info("commandstats")["cmdstat_set"]["calls"])


def wait_for_sets(port: int, count: int) -> None:
    """Returns once the server has carried out `count` SET commands, however slow the
    clients are; fails after ANSWER_S."""
    deadline = time.monotonic() + ANSWER_S
    while set_calls(port) < count:
        assert time.monotonic() < deadline, f"fewer than {count} SET commands in {ANSWER_S:g} s"
        time.sleep(0.05)


@pytest.mark.parametrize("where", ["thread", "process"])
def test_stopped_server_ends_a_blocking_acquire(private_server: RedisServer, where: str) -> None:
    target = Address("faults", "held")
    holder = connected(private_server.port)
    assert holder.acquire(target, metadata={"who": "holder"}) is True

    if where == "thread":
        waiter = connected(private_server.port)
        outcome: list[BaseException | bool] = []

        def wait() -> None:
            try:
                outcome.append(waiter.acquire(target, metadata={"who": "waiter"}))
            except BaseException as exc:  # noqa: BLE001 - the test inspects it
                outcome.append(exc)

        thread = threading.Thread(target=wait, daemon=True)
        thread.start()
        wait_for_sets(private_server.port, 3)  # the holder's SET, then the waiter's polls
        assert thread.is_alive() and not outcome
        stopped = time.monotonic()
        private_server.stop()
        thread.join(timeout=ANSWER_S)
        elapsed = time.monotonic() - stopped
        assert not thread.is_alive(), \
            f"acquire still waiting {ANSWER_S:g} s after the server stopped"
        waiter.disconnect()
        assert len(outcome) == 1
        assert type(outcome[0]) is redis.exceptions.ConnectionError, repr(outcome[0])
    else:
        process = spawn(WAITER.replace("PORT", str(private_server.port)))
        try:
            assert read_line(process, ANSWER_S) == "waiting"
            wait_for_sets(private_server.port, 3)
            assert process.poll() is None, "the child stopped waiting on a held lock"
            stopped = time.monotonic()
            private_server.stop()
            out, err = process.communicate(timeout=ANSWER_S)
            elapsed = time.monotonic() - stopped
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        assert process.returncode == 0, err
        assert out.strip() == "redis.exceptions.ConnectionError", (out, err)
    holder.disconnect()
    assert elapsed < ERROR_BOUND_S, f"error came {elapsed:.1f} s after the server stopped"


def test_same_instance_locks_again_after_restart(private_server: RedisServer) -> None:
    target = Address("faults", "restart")
    latch = connected(private_server.port)
    admin = redis.Redis(port=private_server.port)
    try:
        assert latch.is_alive is True
        assert latch.acquire(target, metadata={"round": 1}) is True

        private_server.stop()
        assert latch.is_alive is False
        assert latch.is_connected is True
        with pytest.raises(redis.exceptions.ConnectionError) as info:
            latch.acquire(target, blocking=False)
        assert type(info.value) is redis.exceptions.ConnectionError

        private_server.start()  # same port; the server keeps nothing, so the key is gone
        assert latch.is_alive is True
        assert latch.acquire(target, metadata={"round": 2}) is True
        assert admin.get(target.to_string()) == b'{"round": 2}'
        assert latch.acquire(target, blocking=False) is False
        latch.release(target)
        assert admin.exists(target.to_string()) == 0
    finally:
        latch.disconnect()
        admin.close()


def test_killed_holder_leaves_its_key_until_released(redis_server: RedisServer,
                                                     redis_client: redis.Redis) -> None:
    """RELIABILITY.md's row of a holder killed (faults/server.py)."""
    found = experiments.holder_killed(redis_server.port)
    assert found["ttl"] == -1 and found["waiting_gave"] == "False"


# --- Ctrl-C during a wait --------------------------------------------------------------

# Runs in a fresh interpreter, so the waiting thread is really the main thread and the
# default SIGINT handler is in place. A helper thread delivers a real SIGINT to the main
# thread while it waits on a lock held by someone else.
INTERRUPTED_WAIT = """
    import faulthandler, json, os, signal, threading, time
    from quarn_devkit.waits import scaled
    from quarn_utils.models.data_models.address import Address

    ANSWER_S = scaled(30.0)
    faulthandler.dump_traceback_later(2 * ANSWER_S, exit=True)

    BACKEND = os.environ["T_BACKEND"]
    TIMEOUT_MS = int(os.environ["T_TIMEOUT_MS"])
    target = Address("faults", "sigint")
    # Python leaves SIGINT ignored when it starts so (as under a background job of a shell):
    # take the default handler, which raises KeyboardInterrupt.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    if BACKEND == "local":
        from quarn_data.lock.implementations.local_latch import LocalLatch

        latch = LocalLatch()
        held, let_go = threading.Event(), threading.Event()

        def holder_thread():
            assert latch.acquire(target, metadata={"who": "holder"}) is True
            held.set()
            let_go.wait(2 * ANSWER_S)
            latch.release(target)

        holder = threading.Thread(target=holder_thread, daemon=True)
        holder.start()
        assert held.wait(ANSWER_S)
        lock, record = latch.locks[target], latch.lock_data[target]

        def release_by_holder():
            let_go.set()
            holder.join(ANSWER_S)
            assert not holder.is_alive()
    else:
        import redis
        from quarn_data.lock.implementations.remote_latch import RemoteLatch

        port = int(os.environ["T_PORT"])
        admin = redis.Redis(port=port)
        holder = RemoteLatch()
        holder.connect("127.0.0.1", port=port)
        latch = RemoteLatch()
        latch.connect("127.0.0.1", port=port)
        assert holder.acquire(target, metadata={"who": "holder"}) is True

        def release_by_holder():
            holder.release(target)

    sent = []

    def interrupter():
        time.sleep(0.5)
        sent.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    started = time.monotonic()
    threading.Thread(target=interrupter, daemon=True).start()
    try:
        result = latch.acquire(target, timeout_ms=TIMEOUT_MS, metadata={"who": "waiter"})
    except KeyboardInterrupt:
        caught = time.monotonic()
    else:
        raise SystemExit(f"acquire returned {result!r} instead of being interrupted")
    assert sent, "interrupted before the signal was sent"
    assert caught - started >= 0.4, caught - started

    # The interrupted wait took nothing and changed nothing.
    if BACKEND == "local":
        assert list(latch.locks) == [target] and list(latch.lock_data) == [target]
        assert latch.locks[target] is lock and latch.lock_data[target] is record
        assert record.data == {"who": "holder"} and record.expires_at == -1
        assert lock.locked()
        assert latch.acquire(target, blocking=False) is False
    else:
        assert admin.get(target.to_string()) == b'{"who": "holder"}'
        assert latch.acquire(target, blocking=False) is False

    release_by_holder()
    assert latch.acquire(target, timeout_ms=5000, metadata={"who": "waiter"}) is True
    if BACKEND == "local":
        assert latch.locks[target] is lock and latch.lock_data[target] is record
    else:
        assert admin.get(target.to_string()) == b'{"who": "waiter"}'
    latch.release(target)
    if BACKEND == "local":
        assert not lock.locked()
    else:
        assert admin.exists(target.to_string()) == 0
    print(json.dumps({"delay": caught - sent[0]}))
"""


@pytest.mark.parametrize("timeout_ms", [-1, 60_000], ids=["no-limit", "60s-limit"])
@pytest.mark.parametrize("backend", ["local", "remote"])
def test_sigint_interrupts_a_blocking_acquire(
    backend: str, timeout_ms: int, redis_server: RedisServer, redis_client: redis.Redis
) -> None:
    out = check_python(
        INTERRUPTED_WAIT,
        env={"T_BACKEND": backend, "T_TIMEOUT_MS": str(timeout_ms),
             "T_PORT": str(redis_server.port)},
    )
    delay = json.loads(out)["delay"]
    assert delay < 2.0, f"KeyboardInterrupt came {delay:.2f} s after the signal"
