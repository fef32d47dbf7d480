"""Shared fixtures: a private redis-server for the session, clients, subprocess runner."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

from redis_server import RedisServer, redis_server_binary, redis_server_version  # noqa: E402


def pytest_report_header() -> str:
    """Which server the tests start (REDIS_SERVER chooses it)."""
    try:
        return f"server: {redis_server_version()} ({redis_server_binary()})"
    except (RuntimeError, OSError) as error:
        return f"server: none ({error})"


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


def run_python(code: str, *, env: dict[str, str] | None = None, timeout: float = 60,
               cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter (the one running the tests) and returns the result."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout, env=full_env, cwd=cwd,
    )


def check_python(code: str, **kwargs: object) -> str:
    """Like `run_python`, but fails the test unless the code exits with 0; returns stdout."""
    result = run_python(code, **kwargs)  # type: ignore[arg-type]
    assert result.returncode == 0, f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}"
    return result.stdout
