"""A private redis-server on a free loopback port, for the tests, the demo and benchmarks.

    with RedisServer() as server:
        client = redis.Redis(port=server.port)

The server keeps nothing on disk (``--save '' --appendonly no``), works in a temporary
directory of its own and is stopped by its PID. Extra command-line arguments (TLS, ACL
users, cluster mode) go through ``extra_args``; ``tls=True`` moves the listener from
``--port`` to ``--tls-port``. ``sentinel=`` runs a Sentinel instead, with the given
configuration lines (``sentinel monitor ...``) in a file of its own, which Sentinel rewrites.
"""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from collections.abc import Sequence
from pathlib import Path
from types import TracebackType

from quarn_devkit.waits import scaled

# How long a server may take to start, and to stop once asked to, at native speed.
READY_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0


def redis_server_binary() -> str:
    """Path of the server the tests start: $REDIS_SERVER (a path, or a name on PATH such as
    valkey-server), else redis-server; RuntimeError saying how to get it."""
    name = os.environ.get("REDIS_SERVER") or "redis-server"
    path = shutil.which(name)
    if path is None:
        raise RuntimeError(
            f"{name} not found: install Debian's package (apt-get install redis-server)"
            " or set REDIS_SERVER to the path or name of a server"
        )
    return path


def server_environment() -> dict[str, str] | None:
    """The environment a server starts with: the caller's (None), except in a sanitizer
    run (QUARN_SANITIZED), where scripts/sanitize preloads the sanitizer runtimes for the
    interpreters and the server starts without them: Redis 8 and Valkey 9 abort under
    them (AddressSanitizer: bad-malloc_usable_size, in zmalloc)."""
    if not os.environ.get("QUARN_SANITIZED"):
        return None
    return {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def redis_cli_binary() -> str | None:
    """The command-line client that comes with that server (valkey-cli beside
    valkey-server), else redis-cli; None when there is none."""
    server = Path(redis_server_binary())
    beside = server.with_name(server.name.replace("-server", "-cli"))
    if beside != server and os.access(beside, os.X_OK):
        return str(beside)
    return shutil.which("redis-cli")


def redis_server_version() -> str:
    """What the server says of itself, e.g. "Redis server v=8.0.6" or "Valkey server v=9.1.2"."""
    out = subprocess.run([redis_server_binary(), "--version"], capture_output=True, text=True,
                         timeout=scaled(30), env=server_environment()).stdout
    return out.split(" sha=")[0].strip()


_handed_out: set[int] = set()


def free_port() -> int:
    """A loopback TCP port that was free a moment ago, and not handed out before by this
    process (two servers started one after the other must not be given the same one)."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            port = int(s.getsockname()[1])
        if port not in _handed_out:
            _handed_out.add(port)
            return port


class PortTaken(RuntimeError):
    """Another process bound the server's port between its choice and the server's start."""


class RedisServer:
    """One redis-server process; start(), stop(), restart(), or use it as a context."""

    def __init__(
        self,
        extra_args: Sequence[str] = (),
        *,
        tls: bool = False,
        port: int | None = None,
        directory: str | Path | None = None,
        sentinel: str | None = None,
        cluster_bus: bool = False,
        hosts: Sequence[str] = ("127.0.0.1",),
    ) -> None:
        self.extra_args = list(extra_args)
        self.hosts = list(hosts)
        self.host = self.hosts[0]
        self.sentinel = sentinel
        self.tls = tls
        # Ports chosen here are chosen again if another process takes one before the
        # server binds it (the first start only: a restart keeps its port).
        self._choose_ports = port is None
        self.port = port if port is not None else free_port()
        # Cluster mode: a bus port of its own (the default, port + 10000, can lie past
        # 65535 for a port from the ephemeral range).
        self.bus_port = free_port() if cluster_bus else None
        self._own_dir = directory is None
        self.dir = Path(directory) if directory is not None else Path(
            tempfile.mkdtemp(prefix="quarn-redis-")
        )
        self.log = self.dir / "redis.log"
        self.process: subprocess.Popen[bytes] | None = None

    @property
    def pid(self) -> int:
        assert self.process is not None, "server not started"
        return self.process.pid

    def command(self) -> list[str]:
        listen = (
            ["--port", "0", "--tls-port", str(self.port)]
            if self.tls
            else ["--port", str(self.port)]
        )
        mode = [] if self.sentinel is None else [str(self.dir / "sentinel.conf"), "--sentinel"]
        if self.bus_port is not None:
            listen += ["--cluster-port", str(self.bus_port)]
        return [
            redis_server_binary(),
            *mode,
            *listen,
            "--bind", *self.hosts,
            "--save", "",
            "--appendonly", "no",
            "--dir", str(self.dir),
            "--logfile", str(self.log),
            *self.extra_args,
        ]

    def start(self) -> RedisServer:
        for _ in range(4):
            try:
                return self._start()
            except PortTaken:
                self.port = free_port()
                if self.bus_port is not None:
                    self.bus_port = free_port()
        return self._start()

    def _start(self) -> RedisServer:
        if self.log.exists():
            self.log.unlink()
        if self.sentinel is not None:
            (self.dir / "sentinel.conf").write_text(self.sentinel)
        ready = "Ready to accept connections" if self.sentinel is None else "Sentinel ID is"
        self.process = subprocess.Popen(
            self.command(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            env=server_environment(),
        )
        limit = scaled(READY_TIMEOUT_S)
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                if self._choose_ports and "Failed listening on port" in self._log_text():
                    raise PortTaken(self._log_text())
                raise RuntimeError(
                    f"redis-server exited with {self.process.returncode}:\n{self._log_text()}"
                )
            if ready in self._log_text() and self._listening():
                self._choose_ports = False
                return self
            time.sleep(0.01)
        self.stop()
        raise RuntimeError(f"redis-server not ready in {limit:g} s:\n{self._log_text()}")

    def stop(self) -> None:
        """Stops the server by its PID: SIGCONT (in case it was paused), SIGTERM, SIGKILL."""
        process, self.process = self.process, None
        if process is None or process.poll() is not None:
            return
        os.kill(process.pid, signal.SIGCONT)
        process.terminate()
        try:
            process.wait(timeout=scaled(STOP_TIMEOUT_S))
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    @property
    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def kill(self) -> None:
        """SIGKILL, as a crash; the server can be started again on the same ports."""
        assert self.process is not None, "server not started"
        self.process.kill()
        self.process.wait()

    def log_tail(self, lines: int = 40) -> str:
        return "\n".join(self._log_text().splitlines()[-lines:])

    def restart(self) -> None:
        """Stops the server and starts it again on the same port (data is gone)."""
        self.stop()
        self.start()

    def pause(self) -> None:
        os.kill(self.pid, signal.SIGSTOP)

    def resume(self) -> None:
        os.kill(self.pid, signal.SIGCONT)

    def close(self) -> None:
        self.stop()
        if self._own_dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> RedisServer:
        return self.start()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def _listening(self) -> bool:
        try:
            with socket.create_connection((self.host, self.port), timeout=0.5):
                return True
        except OSError:
            return False

    def _log_text(self) -> str:
        try:
            return self.log.read_text(errors="replace")
        except FileNotFoundError:
            return ""
