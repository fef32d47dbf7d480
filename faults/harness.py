"""What the fault experiments share: the rows they report, the clients, timing of calls in
threads, one caller's timeline through a fault, and a network namespace for a partition.

Each experiment of faults/server.py and faults/cluster.py runs a number of trials and
returns its row: a dict with a stable `id` (what result files, the report and the tests
know it by), a `label` (what people read) and its figures, times in seconds as
{"median", "max"} over the trials. An experiment fails (AssertionError) on an outcome that
RELIABILITY.md does not state: one trial of each is a test of the suite.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import redis

from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_devkit.waits import scaled

ROOT = Path(__file__).resolve().parent.parent

Row = dict[str, Any]

# How long the client that `connect` builds waits for a reply with this redis-py: 5 s in
# recent releases, no limit (None) in older ones, which wait as long as the server is silent.
DEFAULT_TIMEOUT_S: float | None = redis.Redis().connection_pool.connection_kwargs.get(
    "socket_timeout")
CLIENT_ERRORS = (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError)


def row(id: str, label: str, trials: int, **figures: Any) -> Row:  # noqa: A002 - the row's id
    return {"id": id, "label": label, "trials": trials, **figures}


def spread(values: list[float]) -> dict[str, float]:
    return {"median": round(statistics.median(values), 2), "max": round(max(values), 2)}


def connected(cls: type[RemoteLatch], port: int, host: str = "127.0.0.1") -> RemoteLatch:
    latch = cls()
    latch.connect(host, port=port)
    latch.client.ping()  # an open connection, as in a running service
    return latch


def timed(call: Callable[[], object]) -> tuple[float, object]:
    """(seconds taken, result or the exception raised)."""
    started = time.monotonic()
    try:
        outcome: object = call()
    except Exception as error:  # noqa: BLE001 - the outcome is what the experiment looks at
        outcome = error
    return time.monotonic() - started, outcome


def in_threads(calls: dict[str, Callable[[], object]]) -> tuple[
        dict[str, threading.Thread], dict[str, tuple[float, object]],
        dict[str, tuple[float, float]]]:
    """Starts each call in a thread of its own; the outcomes fill in as they end, beside
    the span (time.monotonic() before and after) of each call."""
    outcomes: dict[str, tuple[float, object]] = {}
    spans: dict[str, tuple[float, float]] = {}
    threads = {}
    for name, call in calls.items():
        def run(name: str = name, call: Callable[[], object] = call) -> None:
            began = time.monotonic()
            outcomes[name] = timed(call)
            spans[name] = (began, time.monotonic())
        threads[name] = threading.Thread(target=run, daemon=True)
        threads[name].start()
    return threads, outcomes, spans


class Timeline:
    """One caller's calls around a fault: [start, end, outcome] each, in seconds since the
    fault (time.monotonic() at `zero`), the outcome "True", "False" or the name of the
    exception raised. Kept from the call in flight at the fault (it may start before 0) to
    the first True of a call made after it. `caller` is its id, `label` what people read."""

    def __init__(self, caller: str, label: str) -> None:
        self.caller, self.label = caller, label
        self.zero: float | None = None
        self.calls: list[list[float | str]] = []

    def call(self, acquire: Callable[[], bool]) -> bool | None:
        """acquire(); its result, or None when it raised one of the client's errors."""
        began = time.monotonic()
        try:
            taken: bool | None = acquire()
            outcome = str(taken)
        except CLIENT_ERRORS as error:
            taken, outcome = None, type(error).__name__
        ended = time.monotonic()
        if self.zero is not None and ended >= self.zero and not self.done():
            self.calls.append([round(began - self.zero, 4), round(ended - self.zero, 4),
                               outcome])
        return taken

    def done(self) -> bool:
        return any(call[2] == "True" and float(call[0]) >= 0 for call in self.calls)

    def record(self, trial: int) -> dict[str, object]:
        return {"trial": trial, "caller": self.caller, "label": self.label,
                "calls": self.calls}


# --- a network namespace ------------------------------------------------------------------

class Unavailable(Exception):
    """What an experiment needs cannot be had here (a tool, root, a namespace)."""


@contextlib.contextmanager
def namespace() -> Iterator[str]:
    """A network namespace with its loopback up, deleted afterwards (with whatever still
    runs in it). Unavailable where ip, nft or namespaces are missing."""
    for tool, package in (("ip", "iproute2"), ("nft", "nftables")):
        if shutil.which(tool) is None:
            raise Unavailable(f"needs {tool} (apt-get install {package}) for a partition")
    name = f"quarn-faults-{os.getpid()}"
    made = subprocess.run(["ip", "netns", "add", name], capture_output=True, text=True)
    if made.returncode != 0:
        raise Unavailable(f"cannot create a network namespace here: {made.stderr.strip()}")
    try:
        subprocess.run(["ip", "netns", "exec", name, "ip", "link", "set", "lo", "up"],
                       check=True, capture_output=True, timeout=scaled(30))
        probe = subprocess.run(["ip", "netns", "exec", name, "nft", "list", "tables"],
                               capture_output=True, text=True, timeout=scaled(30))
        if probe.returncode != 0:
            raise Unavailable(f"nftables not usable in a namespace here: {probe.stderr.strip()}")
        yield name
    finally:
        # Whatever still runs in there was started by the experiment (a server whose child
        # was killed): stop it by its PID, then delete the namespace.
        left = subprocess.run(["ip", "netns", "pids", name], capture_output=True, text=True)
        for pid in left.stdout.split():
            os.kill(int(pid), signal.SIGCONT)
            os.kill(int(pid), signal.SIGKILL)
        subprocess.run(["ip", "netns", "delete", name], capture_output=True, timeout=scaled(30))


def run_in_namespace(name: str, code: str, *, timeout: float) -> str:
    """Runs `code` with this interpreter inside the namespace `name`, with this repository
    on its path; its stdout, once it exited with 0 within `timeout` seconds at native
    speed."""
    process = subprocess.Popen(
        ["ip", "netns", "exec", name, sys.executable, "-c",
         f"import sys; sys.path.insert(0, {str(ROOT)!r})\n" + code],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        out, err = process.communicate(timeout=scaled(timeout))
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGINT)  # lets the child stop its servers
            try:
                process.communicate(timeout=scaled(10))
            except subprocess.TimeoutExpired:
                process.kill()
                process.communicate()
    assert process.returncode == 0, f"stdout:\n{out}\nstderr:\n{err}"
    return out


def nft(*words: str) -> None:
    subprocess.run(["nft", *words], check=True, capture_output=True, timeout=scaled(30))
