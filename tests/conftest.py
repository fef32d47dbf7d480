"""Shared fixtures: a private redis-server for the session, clients, subprocess runner."""

from __future__ import annotations

import faulthandler
import os
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from importlib import metadata
from pathlib import Path

import pytest
from pytest_timeout import Settings

from quarn_devkit.redis_server import RedisServer, redis_server_binary, redis_server_version
from quarn_devkit.waits import scaled

ROOT = Path(__file__).resolve().parent.parent
# The fault experiments (the package `faults` of the repository), which the tests run once.
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))


def pytest_report_header() -> str:
    """Which server the tests start (REDIS_SERVER chooses it)."""
    try:
        return f"server: {redis_server_version()} ({redis_server_binary()})"
    except (RuntimeError, OSError) as error:
        return f"server: none ({error})"

# --- time limits ----------------------------------------------------------------------
# Every test has a time limit: `timeout` of pytest-timeout in pyproject.toml, written for
# native speed and multiplied by the time factor of quarn_devkit.waits (QUARN_TIME_FACTOR,
# which a slow run, such as CI's emulated steps, sets), unless a limit is given explicitly,
# with PYTEST_TIMEOUT=<seconds> in the environment or --timeout=<seconds>. Past it the test
# fails with the stacks of all threads, and the run goes on. A hang that the limit's signal
# cannot end (native code that never comes back to the interpreter) meets a second watchdog
# at twice the limit: faulthandler, from a thread of its own, writes every thread's
# traceback to the terminal and ends the run.

_terminal_stderr: list[int] = []


def redis_close_leaves_connections_open() -> bool:
    """redis-py 5.0.0's Redis.close() leaves the client's connections open (5.0.1 closes
    them). The garbage collector closes their sockets later, in whichever test it runs,
    with a ResourceWarning whenever it finalizes a socket before its connection."""
    try:
        return metadata.version("redis") == "5.0.0"
    except metadata.PackageNotFoundError:
        return False


@pytest.hookimpl(tryfirst=True)  # before pytest-timeout reads the limit
def pytest_configure(config: pytest.Config) -> None:
    if config.getoption("timeout") is None and not os.environ.get("PYTEST_TIMEOUT"):
        config.option.timeout = scaled(float(config.getini("timeout")))
    if redis_close_leaves_connections_open():
        config.addinivalue_line("filterwarnings",
                                r"ignore:unclosed <socket\.socket:ResourceWarning")
    # Output capture is paused while plugins are configured: fd 2 is the terminal's here,
    # where what faulthandler writes as it ends the process can still be read.
    _terminal_stderr.append(os.dup(2))


def pytest_unconfigure(config: pytest.Config) -> None:
    faulthandler.cancel_dump_traceback_later()
    os.close(_terminal_stderr.pop())


@pytest.hookimpl
def pytest_timeout_set_timer(item: pytest.Item, settings: Settings) -> None:
    faulthandler.dump_traceback_later(2 * settings.timeout, exit=True,
                                      file=_terminal_stderr[-1])
    # None: pytest-timeout goes on to set its own timer.


@pytest.hookimpl
def pytest_timeout_cancel_timer(item: pytest.Item) -> None:
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="session")
def redis_server() -> Iterator[RedisServer]:
    """One private server for the whole session; tests flush it through `redis_client`."""
    with RedisServer() as server:
        yield server


@pytest.fixture
def redis_client(redis_server: RedisServer) -> Iterator[object]:
    """A plain redis-py client on the session server, which it flushes first."""
    import redis

    client = redis.Redis(port=redis_server.port)
    client.flushall()
    yield client
    client.close()


@pytest.fixture
def latch(redis_server: RedisServer, redis_client: object) -> Iterator[object]:
    """A RemoteLatch connected to the session server."""
    from quarn_data.lock.implementations.remote_latch import RemoteLatch

    instance = RemoteLatch()
    instance.connect("127.0.0.1", port=redis_server.port)
    yield instance
    instance.disconnect()


def run_python(code: str, *, env: dict[str, str | None] | None = None,
               timeout: float | None = None,
               cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter (the one running the tests) and returns the result;
    `env` adds to the environment (None removes a variable); `timeout` defaults to a minute
    at native speed."""
    full_env: dict[str, str | None] = {**os.environ, **(env or {})}
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout if timeout is not None else scaled(60),
        env={name: value for name, value in full_env.items() if value is not None}, cwd=cwd,
    )


def check_python(code: str, **kwargs: object) -> str:
    """Like `run_python`, but fails the test unless the code exits with 0; returns stdout."""
    result = run_python(code, **kwargs)  # type: ignore[arg-type]
    assert result.returncode == 0, f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}"
    return result.stdout
