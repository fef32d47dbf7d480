"""Leak soak: every member of both classes, on its success path and on each error path,
called many times over fresh objects, must leave nothing behind.

Each case is one call (or a tight acquire/release pair) that asserts its own outcome. It
runs once to warm up, then N times while four things are watched:

- ``sys.getrefcount`` of the argument objects passed to every call (fresh, never
  immortal objects: no small ints, ``None`` or ``True`` among them) must not move at all;
- ``len(gc.get_objects())`` after a collection must not grow;
- RSS (``/proc/self/statm``) must not grow beyond allocator noise;
- then two more runs of the case under ``tracemalloc``: from the end of the first to the
  end of the second, the memory still traced after a collection must grow by less than a
  few KiB and 20 blocks, whatever the number of calls (in one of up to three such pairs:
  the interpreter's own noise comes and goes, a leak shows in every pair).

Length: ``QUARN_SOAK=short`` (the default, so the normal suite stays fast: 2,000 calls
per case, twice 1,000 more traced; about 8 s) or ``QUARN_SOAK=full`` (100,000 calls per case,
twice 5,000 more traced; about a minute on two cores)::

    QUARN_SOAK=full scripts/test tests/test_leaks.py

Cases that need the Redis server (the success paths and the polling) make round trips,
and a repeated import runs the import machinery; they run fewer times: 2,000 in the full
form, 200 in the short one. The error paths that never reach the server carry the high
counts.
"""

from __future__ import annotations

import gc
import importlib.util
import os
import resource
import sys
import tracemalloc
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pytest
import redis

from quarn_data.errors import QuarnConnectionError
from quarn_data.lock.implementations import local_latch, remote_latch
from quarn_data.lock.implementations.local_latch import LocalLatch
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address

SOAK = os.environ.get("QUARN_SOAK", "short")
if SOAK not in ("short", "full"):
    raise RuntimeError(f"QUARN_SOAK must be 'short' or 'full', not {SOAK!r}")
FULL = SOAK == "full"
CALLS = 100_000 if FULL else 2_000
TRACED_CALLS = 5_000 if FULL else 1_000
SLOW_CALLS = 2_000 if FULL else 200

# Under scripts/sanitize two checks are left out: RSS says nothing while freed memory
# waits in ASan's quarantine, and tracemalloc itself leaks (CPython 3.12 never frees the
# traceback records it interns, which LeakSanitizer then reports at exit).
SANITIZED = bool(os.environ.get("QUARN_SANITIZED"))
RSS_LIMIT = 4 << 20  # bytes; a leak of 48 bytes per call shows in the full form
TRACED_LIMIT = 4 << 10  # bytes; a 16-byte leak per call shows in either form
TRACED_BLOCKS = 20  # blocks; catches leaks of tiny blocks (a module's 1-byte state)
GC_LIMIT = 10  # objects; a leak of one tracked object per call gives thousands
JIT = bool(getattr(sys, "_jit", None) and sys._jit.is_enabled())

NOT_CONNECTED = "RemoteLatch is not connected. Call connect() before using this method."


# --- measuring ------------------------------------------------------------------------

def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


@dataclass
class Case:
    """One call to repeat, the objects it passes on every call, and a clean-up."""

    call: Callable[[], object]
    probes: tuple[object, ...] = ()
    after: Callable[[], object] = lambda: None
    # Blocks that a traced pair may gain without a leak: more where each call makes a class,
    # of which the interpreter keeps a few dozen blocks now and then.
    blocks: int = TRACED_BLOCKS


# The collections of the measurement itself, on a line of their own: what the collector
# allocates for its own work is traced at this line. A free-threaded build's collector
# keeps such memory (its work buffers, blocks it frees only once every thread has moved
# on), some tens of KiB that grow by a 4 KiB chunk now and then as it walks more objects;
# with the GIL it keeps none. Traces made here, and tracemalloc's own, are not the calls'.
collect = lambda: gc.collect()  # noqa: E731
NOT_THE_MEASURE = (tracemalloc.Filter(False, __file__, collect.__code__.co_firstlineno),
                   tracemalloc.Filter(False, tracemalloc.__file__))


def soak(case: Case, calls: int) -> None:
    call, probes = case.call, case.probes
    for _ in range(max(calls // 10, 50)):
        call()
    # Everything alive now (and any garbage of the warm-up) moves out of the collector's
    # sight: the collections below cost little, and gc.get_objects() lists only what
    # the calls leave behind.
    gc.freeze()
    try:
        measure(call, probes, calls, case.blocks)
    finally:
        gc.unfreeze()


def measure(call: Callable[[], object], probes: tuple[object, ...], calls: int,
            block_limit: int) -> None:
    refs = [sys.getrefcount(p) for p in probes]
    objects = len(gc.get_objects())
    rss = rss_bytes()

    for _ in range(calls):
        call()

    gc.collect()
    rss_growth = rss_bytes() - rss
    object_growth = len(gc.get_objects()) - objects
    assert [sys.getrefcount(p) for p in probes] == refs, "argument references leaked"
    assert object_growth <= GC_LIMIT, f"{object_growth} objects left after {calls} calls"
    if not SANITIZED:
        assert rss_growth <= RSS_LIMIT, f"RSS grew by {rss_growth} bytes in {calls} calls"

    if SANITIZED:
        return
    # Traced runs in pairs, and only the growth from the end of the first run of a pair to
    # the end of the second counts: the interpreter's own caches fill once and then stay.
    # The import machinery also keeps a few dozen blocks now and then and lets them go
    # later, so a pair over the limits is measured again, up to three times: that noise
    # comes and goes, while a leak adds its blocks in every pair. With the JIT on, the
    # interpreter also compiles traces of the paths that the calls make hot, a few pairs
    # in a row (redis-py's, in the server cases) until every such trace exists: up to ten.
    traced = min(calls, TRACED_CALLS)
    for _ in range(10 if JIT else 3):
        tracemalloc.start()
        try:
            held = []
            for _ in range(2):
                for _ in range(traced):
                    call()
                collect()
                held.append(tracemalloc.take_snapshot().filter_traces(NOT_THE_MEASURE))
        finally:
            tracemalloc.stop()
        first, second = held
        left = sum(t.size for t in second.traces) - sum(t.size for t in first.traces)
        blocks = len(second.traces) - len(first.traces)
        if left <= TRACED_LIMIT and blocks <= block_limit:
            return
    # Where the growth was allocated, so that a failure in CI says what kept it.
    stats = sorted(second.compare_to(first, "lineno"), key=lambda stat: -stat.count_diff)
    grown = "; ".join(str(stat) for stat in stats[:3])
    assert left <= TRACED_LIMIT, f"{left} bytes still traced after {traced} calls ({grown})"
    assert blocks <= block_limit, f"{blocks} blocks still traced after {traced} calls ({grown})"


def expect(error: type[BaseException], text: str | None, fn: Callable[..., object], /,
           *args: object, **kwargs: object) -> None:
    """Calls fn(*args, **kwargs), which must raise `error` (with `text`, when given)."""
    try:
        fn(*args, **kwargs)
    except error as caught:
        if text is not None and str(caught) != text:
            raise AssertionError(f"{type(caught).__name__}: {caught!s} != {text!r}") from None
    else:
        raise AssertionError(f"no {error.__name__} from {fn!r}")


def fresh_int(value: int) -> int:
    """An int object of its own (not a cached or immortal small int)."""
    return int(str(value))


def fresh_text(text: str) -> str:
    """A str object of its own (not the interned constant)."""
    return "".join(list(text))


def counting(result: object = None) -> Callable[..., object]:
    """A stand-in for a module global such as `sleep`: counts its calls."""
    def replacement(*args: object, **kwargs: object) -> object:
        replacement.calls += 1  # type: ignore[attr-defined]
        return result
    replacement.calls = 0  # type: ignore[attr-defined]
    return replacement


def raising(text: str) -> Callable[..., object]:
    """A stand-in for a module global that raises a new Refused(text) when called.

    (A new one each time: an exception object raised again keeps the tracebacks of all
    its earlier raises, and with them every frame and argument.)
    """
    def replacement(*args: object, **kwargs: object) -> object:
        raise Refused(text)
    return replacement


# --- bad inputs ---------------------------------------------------------------------

class Refused(Exception):
    """What the bad inputs below raise."""


class IntSubclass(int):
    pass


class StrSubclass(str):
    pass


class BadTruth:
    def __bool__(self) -> bool:
        raise Refused("no truth value")


class BadHash:
    def __hash__(self) -> int:
        raise Refused("no hash")


class BadTarget:
    def to_string(self) -> str:
        raise Refused("no key")


class BrokenClient:
    """Not a Redis client: a truthy object whose every operation raises."""

    def set(self, *args: object, **kwargs: object) -> object:
        raise Refused("set")

    def delete(self, *args: object) -> object:
        raise Refused("delete")

    def ping(self) -> object:
        raise Refused("ping")

    def close(self) -> object:
        raise Refused("close")


class NoMethodsClient:
    """Not a Redis client: reading any of its methods raises."""

    @property
    def set(self) -> object:
        raise Refused("set attribute")

    @property
    def delete(self) -> object:
        raise Refused("delete attribute")


class UnreachableClient:
    """Not a Redis client: its ping fails the way a client's does on a dead server."""

    def __init__(self, error: type[BaseException]) -> None:
        self.error = error

    def ping(self) -> object:
        raise self.error("server gone")


class LostConnection(redis.exceptions.ConnectionError):
    pass


class ClientRaises(RemoteLatch):
    """Reading `client` fails with something other than AttributeError."""

    @property
    def client(self) -> object:
        raise Refused("client attribute")


class RecordingFactory(RemoteLatch):
    """connect() stores what this factory makes; no client package is involved."""

    @staticmethod
    def _get_redis_client(host: str, **kwargs: object) -> object:
        return [host, kwargs]


class RefusingFactory(RemoteLatch):
    @staticmethod
    def _get_redis_client(host: str, **kwargs: object) -> object:
        raise Refused("factory")


class RefusesTables(LocalLatch):
    def __setattr__(self, name: str, value: object) -> None:
        if name == "lock_data":
            raise Refused(name)
        super().__setattr__(name, value)


class TableSubclass(dict):  # type: ignore[type-arg]
    """A mapping that is not exactly a dict: the tables' generic path."""


# --- local cases ----------------------------------------------------------------------

CaseFactory = Callable[[pytest.MonkeyPatch], Case]
LOCAL: dict[str, CaseFactory] = {}
REMOTE: dict[str, CaseFactory] = {}
SERVER: dict[str, Callable[[pytest.MonkeyPatch, Any], Case]] = {}


def local(fn: CaseFactory) -> CaseFactory:
    LOCAL[fn.__name__] = fn
    return fn


def remote(fn: CaseFactory) -> CaseFactory:
    REMOTE[fn.__name__] = fn
    return fn


def server(fn: Callable[[pytest.MonkeyPatch, Any], Case]) -> Callable[..., Case]:
    SERVER[fn.__name__] = fn
    return fn


def held_local(target: Address) -> LocalLatch:
    latch = LocalLatch()
    assert latch.acquire(target) is True
    return latch


@local
def local_new_instance(mp: pytest.MonkeyPatch) -> Case:
    def call() -> None:
        latch = LocalLatch()
        assert latch.locks == {} and latch.lock_data == {}
    return Case(call)


@local
def local_init_again(mp: pytest.MonkeyPatch) -> Case:
    latch = LocalLatch()
    return Case(lambda: latch.__init__(), (latch,))


@local
def local_init_positional(mp: pytest.MonkeyPatch) -> Case:
    arg = object()
    text = "__init__() takes exactly 1 positional argument (2 given)"
    return Case(lambda: expect(TypeError, text, LocalLatch, arg), (arg,))


@local
def local_init_keyword(mp: pytest.MonkeyPatch) -> Case:
    arg = object()
    text = "__init__() got an unexpected keyword argument 'x'"
    return Case(lambda: expect(TypeError, text, LocalLatch, x=arg), (arg,))


@local
def local_init_self_twice(mp: pytest.MonkeyPatch) -> Case:
    latch, arg = LocalLatch(), object()
    text = "__init__() got multiple values for keyword argument 'self'"
    return Case(lambda: expect(TypeError, text, LocalLatch.__init__, latch, self=arg),
                (latch, arg))


@local
def local_init_refused_table(mp: pytest.MonkeyPatch) -> Case:
    return Case(lambda: expect(Refused, "lock_data", RefusesTables))


@local
def local_connect(mp: pytest.MonkeyPatch) -> Case:
    latch, a, b, c = LocalLatch(), object(), fresh_text("localhost"), fresh_int(6379)
    return Case(lambda: latch.connect(a, b, host=b, port=c, extra=a), (latch, a, b, c))


@local
def local_connect_no_self(mp: pytest.MonkeyPatch) -> Case:
    text = "connect() takes at least 1 positional argument (0 given)"
    return Case(lambda: expect(TypeError, text, LocalLatch.connect))


@local
def local_connect_self_twice(mp: pytest.MonkeyPatch) -> Case:
    latch, arg = LocalLatch(), object()
    text = "connect() got multiple values for keyword argument 'self'"
    return Case(lambda: expect(TypeError, text, latch.connect, arg, self=arg), (latch, arg))


@local
def local_disconnect(mp: pytest.MonkeyPatch) -> Case:
    latch = LocalLatch()
    return Case(latch.disconnect, (latch,))


@local
def local_disconnect_positional(mp: pytest.MonkeyPatch) -> Case:
    latch, arg = LocalLatch(), object()
    text = "disconnect() takes exactly 1 positional argument (2 given)"
    return Case(lambda: expect(TypeError, text, latch.disconnect, arg), (latch, arg))


@local
def local_disconnect_keyword(mp: pytest.MonkeyPatch) -> Case:
    latch, arg = LocalLatch(), object()
    text = "disconnect() got an unexpected keyword argument 'now'"
    return Case(lambda: expect(TypeError, text, latch.disconnect, now=arg), (latch, arg))


@local
def local_properties(mp: pytest.MonkeyPatch) -> Case:
    latch = LocalLatch()

    def call() -> None:
        assert latch.is_connected is True and latch.is_alive is True
    return Case(call, (latch,))


@local
def local_getter_arguments(mp: pytest.MonkeyPatch) -> Case:
    latch, arg = LocalLatch(), object()
    getter = LocalLatch.__dict__["is_alive"].fget

    def call() -> None:
        expect(TypeError, "is_alive() takes exactly 1 positional argument (0 given)", getter)
        expect(TypeError, "is_alive() takes exactly 1 positional argument (2 given)",
               getter, latch, arg)
        expect(TypeError, "is_alive() got an unexpected keyword argument 'x'",
               getter, latch, x=arg)
    return Case(call, (latch, arg))


@local
def local_first_acquire(mp: pytest.MonkeyPatch) -> Case:
    target, metadata = Address("soak", "first"), {"owner": object()}

    def call() -> None:
        latch = LocalLatch()
        assert latch.acquire(target, metadata=metadata) is True
        assert latch.lock_data[target].data is metadata
        latch.release(target)
    return Case(call, (target, metadata))


@local
def local_first_acquire_with_expiry(mp: pytest.MonkeyPatch) -> Case:
    target, timeout = Address("soak", "expiry"), fresh_int(5000)

    def call() -> None:
        latch = LocalLatch()
        assert latch.acquire(target, timeout_ms=timeout) is True
        latch.release(target)
    return Case(call, (target, timeout))


@local
def local_acquire_release(mp: pytest.MonkeyPatch) -> Case:
    latch, target = LocalLatch(), Address("soak", "again")
    timeout, metadata = fresh_int(2500), {"n": fresh_int(10**30)}

    def call() -> None:
        assert latch.acquire(target, timeout_ms=timeout, metadata=metadata) is True
        assert latch.release(target) is None
    return Case(call, (latch, target, timeout, metadata))


@local
def local_acquire_generic_tables(mp: pytest.MonkeyPatch) -> Case:
    latch, target = LocalLatch(), Address("soak", "mapping")
    latch.locks, latch.lock_data = TableSubclass(), TableSubclass()

    def call() -> None:
        assert latch.acquire(target) is True
        latch.release(target)
    return Case(call, (latch, target))


@local
def local_acquire_held_nonblocking(mp: pytest.MonkeyPatch) -> Case:
    target, no = Address("soak", "held"), []  # [] is false and counts its references
    latch = held_local(target)

    def call() -> None:
        assert latch.acquire(target, blocking=no) is False
    return Case(call, (latch, target, no))


@local
def local_acquire_held_no_wait(mp: pytest.MonkeyPatch) -> Case:
    target, metadata = Address("soak", "held"), {"k": object()}
    latch = held_local(target)

    def call() -> None:
        assert latch.acquire(target, timeout_ms=0, metadata=metadata) is False
    return Case(call, (latch, target, metadata))


def _local_wrong_timeout(value_factory: Callable[[], object], type_name: str) -> CaseFactory:
    def factory(mp: pytest.MonkeyPatch) -> Case:
        latch, target, value = LocalLatch(), Address("soak", "type"), value_factory()
        text = f"Argument 'timeout_ms' has incorrect type (expected int, got {type_name})"

        def call() -> None:
            expect(TypeError, text, latch.acquire, target, timeout_ms=value)
            assert target not in latch.locks
        probes = (latch, target) if type_name in ("bool", "NoneType") else (latch, target, value)
        return Case(call, probes)
    return factory


for _name, _make, _type in [
    ("bool", lambda: True, "bool"),
    ("none", lambda: None, "NoneType"),
    ("float", lambda: float("1.5"), "float"),
    ("int_subclass", lambda: IntSubclass(7), "IntSubclass"),
    ("str", lambda: fresh_text("100"), "str"),
]:
    LOCAL[f"local_acquire_timeout_{_name}"] = _local_wrong_timeout(_make, _type)


@local
def local_acquire_positional(mp: pytest.MonkeyPatch) -> Case:
    latch, target, arg = LocalLatch(), Address("soak", "count"), fresh_int(100)

    def call() -> None:
        expect(TypeError, "acquire() takes exactly 2 positional arguments (3 given)",
               latch.acquire, target, arg)
        expect(TypeError, "acquire() takes exactly 2 positional arguments (1 given)",
               latch.acquire, timeout_ms=arg)
    return Case(call, (latch, target, arg))


@local
def local_acquire_keyword(mp: pytest.MonkeyPatch) -> Case:
    latch, target, arg = LocalLatch(), Address("soak", "kw"), object()

    def call() -> None:
        expect(TypeError, "acquire() got an unexpected keyword argument 'timeout'",
               latch.acquire, target, timeout=arg)
        expect(TypeError, "acquire() got multiple values for keyword argument 'target_address'",
               latch.acquire, target, target_address=arg)
    return Case(call, (latch, target, arg))


@local
def local_acquire_unhashable(mp: pytest.MonkeyPatch) -> Case:
    latch, target = LocalLatch(), [object()]
    try:  # the interpreter's own wording, which differs between versions
        target in {}
    except TypeError as error:
        text = str(error)

    def call() -> None:
        expect(TypeError, text, latch.acquire, target)
        expect(TypeError, text, latch.release, target)
    return Case(call, (latch, target))


@local
def local_acquire_bad_hash(mp: pytest.MonkeyPatch) -> Case:
    latch, target = LocalLatch(), BadHash()
    return Case(lambda: expect(Refused, "no hash", latch.acquire, target), (latch, target))


@local
def local_acquire_lock_refused(mp: pytest.MonkeyPatch) -> Case:
    mp.setattr(local_latch, "Lock", raising("lock"))
    target = Address("soak", "lock")

    def call() -> None:
        latch = LocalLatch()
        expect(Refused, "lock", latch.acquire, target)
        assert not latch.locks
    return Case(call, (target,))


@local
def local_acquire_record_refused(mp: pytest.MonkeyPatch) -> Case:
    mp.setattr(local_latch, "LockObject", raising("record"))
    target, metadata = Address("soak", "record"), {"k": object()}

    def call() -> None:
        latch = LocalLatch()
        expect(Refused, "record", latch.acquire, target, metadata=metadata)
        assert target in latch.locks and target not in latch.lock_data
    return Case(call, (target, metadata))


@local
def local_acquire_record_missing(mp: pytest.MonkeyPatch) -> Case:
    mp.delattr(local_latch, "LockObject")
    target = Address("soak", "record")

    def call() -> None:
        latch = LocalLatch()
        expect(NameError, "name 'LockObject' is not defined", latch.acquire, target)
    return Case(call, (target,))


@local
def local_acquire_clock_refused(mp: pytest.MonkeyPatch) -> Case:
    mp.setattr(local_latch, "time", raising("clock"))
    target, timeout = Address("soak", "clock"), fresh_int(1000)

    def call() -> None:
        expect(Refused, "clock", LocalLatch().acquire, target, timeout_ms=timeout)
    return Case(call, (target, timeout))


@local
def local_acquire_bad_metadata_truth(mp: pytest.MonkeyPatch) -> Case:
    target, metadata = Address("soak", "meta"), BadTruth()

    def call() -> None:
        expect(Refused, "no truth value", LocalLatch().acquire, target, metadata=metadata)
    return Case(call, (target, metadata))


@local
def local_acquire_bad_blocking_truth(mp: pytest.MonkeyPatch) -> Case:
    latch, target, blocking = LocalLatch(), Address("soak", "blocking"), BadTruth()
    return Case(lambda: expect(Refused, "no truth value", latch.acquire, target,
                               blocking=blocking), (latch, target, blocking))


@local
def local_acquire_limit_too_large(mp: pytest.MonkeyPatch) -> Case:
    latch, target = LocalLatch(), Address("soak", "large")
    large, huge = fresh_int(10**20), fresh_int(10**400)

    def call() -> None:
        expect(OverflowError, None, latch.acquire, target, timeout_ms=large)
        expect(OverflowError, "integer division result too large for a float",
               latch.acquire, target, timeout_ms=huge)
    return Case(call, (latch, target, large, huge))


@local
def local_release_not_held(mp: pytest.MonkeyPatch) -> Case:
    latch, target, never = LocalLatch(), Address("soak", "free"), Address("soak", "never")
    latch.acquire(target)
    latch.release(target)

    def call() -> None:
        expect(RuntimeError, "release unlocked lock", latch.release, target)
        assert latch.release(never) is None
    return Case(call, (latch, target, never))


@local
def local_release_arguments(mp: pytest.MonkeyPatch) -> Case:
    latch, target, arg = LocalLatch(), Address("soak", "release"), object()

    def call() -> None:
        expect(TypeError, "release() takes exactly 2 positional arguments (1 given)",
               latch.release)
        expect(TypeError, "release() takes exactly 2 positional arguments (3 given)",
               latch.release, target, arg)
        expect(TypeError, "release() got an unexpected keyword argument 'force'",
               latch.release, target, force=arg)
        expect(TypeError, "release() got multiple values for keyword argument 'target_address'",
               latch.release, target, target_address=arg)
    return Case(call, (latch, target, arg))


@local
def local_table_replaced_during_lookup(mp: pytest.MonkeyPatch) -> Case:
    latch, lock = LocalLatch(), local_latch.Lock()

    class Resetting:
        def __hash__(self) -> int:
            return 1

        def __eq__(self, other: object) -> bool:
            latch.__init__()  # type: ignore[misc]
            return True

    stored, target = Resetting(), Resetting()

    def call() -> None:
        for method in (latch.acquire, latch.release):
            latch.locks = {stored: lock}
            expect(KeyError, None, method, target)
    return Case(call, (latch, lock, stored, target))


@local
def local_acquire_method_unreadable(mp: pytest.MonkeyPatch) -> Case:
    class Unreadable:
        @property
        def acquire(self) -> object:
            raise Refused("acquire attribute")

    latch, target, huge = LocalLatch(), Address("soak", "unreadable"), fresh_int(10**400)
    latch.locks[target] = Unreadable()

    def call() -> None:
        expect(Refused, "acquire attribute", latch.acquire, target, timeout_ms=huge)
        expect(Refused, "acquire attribute", latch.acquire, target, blocking=False)
    return Case(call, (latch, target, huge))


# --- remote cases that never reach a server ---------------------------------------

def connected(client: object, cls: type[RemoteLatch] = RemoteLatch) -> RemoteLatch:
    latch = cls()
    latch.client = client
    return latch


@remote
def remote_new_instance(mp: pytest.MonkeyPatch) -> Case:
    def call() -> None:
        latch = RemoteLatch()
        assert latch.is_connected is False
    return Case(call)


@remote
def remote_properties_unconnected(mp: pytest.MonkeyPatch) -> Case:
    latch, falsy = RemoteLatch(), connected([])

    def call() -> None:
        assert latch.is_connected is False and latch.is_alive is False
        assert falsy.is_connected is True and falsy.is_alive is False
    return Case(call, (latch, falsy))


@remote
def remote_is_alive_connection_error(mp: pytest.MonkeyPatch) -> Case:
    exact = connected(UnreachableClient(redis.exceptions.ConnectionError))
    derived = connected(UnreachableClient(LostConnection))

    def call() -> None:
        assert exact.is_alive is False and derived.is_alive is False
    return Case(call, (exact, derived))


@remote
def remote_is_alive_other_error(mp: pytest.MonkeyPatch) -> Case:
    latch = connected(BrokenClient())
    return Case(lambda: expect(Refused, "ping", getattr, latch, "is_alive"), (latch,))


@remote
def remote_is_alive_no_redis_exceptions(mp: pytest.MonkeyPatch) -> Case:
    mp.setattr(remote_latch, "redis", object())
    latch = connected(UnreachableClient(redis.exceptions.ConnectionError))

    def call() -> None:
        try:
            latch.is_alive
        except AttributeError as error:
            assert isinstance(error.__context__, redis.exceptions.ConnectionError)
        else:
            raise AssertionError("is_alive answered")
    return Case(call, (latch,))


@remote
def remote_client_read_fails(mp: pytest.MonkeyPatch) -> Case:
    latch, target = ClientRaises(), Address("soak", "client")

    def call() -> None:
        expect(Refused, "client attribute", getattr, latch, "is_connected")
        expect(Refused, "client attribute", getattr, latch, "is_alive")
        expect(Refused, "client attribute", latch.acquire, target)
        expect(Refused, "client attribute", latch.release, target)
    return Case(call, (latch, target))


@remote
def remote_client_truth_fails(mp: pytest.MonkeyPatch) -> Case:
    latch, target = connected(BadTruth()), Address("soak", "truth")

    def call() -> None:
        assert latch.is_connected is True
        expect(Refused, "no truth value", getattr, latch, "is_alive")
        expect(Refused, "no truth value", latch.acquire, target)
        expect(Refused, "no truth value", latch.release, target)
    return Case(call, (latch, target))


@remote
def remote_getter_arguments(mp: pytest.MonkeyPatch) -> Case:
    latch, arg = RemoteLatch(), object()
    getter = RemoteLatch.__dict__["is_connected"].fget

    def call() -> None:
        expect(TypeError, "is_connected() takes exactly 1 positional argument (0 given)",
               getter)
        expect(TypeError, "is_connected() takes exactly 1 positional argument (2 given)",
               getter, latch, arg)
        expect(TypeError, "is_connected() got multiple values for keyword argument 'self'",
               getter, latch, self=arg)
    return Case(call, (latch, arg))


@remote
def remote_connect_override(mp: pytest.MonkeyPatch) -> Case:
    latch = RecordingFactory()
    host, port, password = fresh_text("db.invalid"), fresh_int(7000), fresh_text("secret")

    def call() -> None:
        assert latch.connect(host, port=port, password=password, ssl=True) is None
        assert latch.client[0] is host
    return Case(call, (latch, host, port, password))


@remote
def remote_connect_factory_raises(mp: pytest.MonkeyPatch) -> Case:
    latch, host = RefusingFactory(), fresh_text("db.invalid")

    def call() -> None:
        expect(Refused, "factory", latch.connect, host)
        assert latch.is_connected is False
    return Case(call, (latch, host))


def _remote_connect_type(host_of: Callable[[], object], port_of: Callable[[], object],
                         text: str, probe_values: bool) -> CaseFactory:
    def factory(mp: pytest.MonkeyPatch) -> Case:
        latch, host, port = RecordingFactory(), host_of(), port_of()

        def call() -> None:
            expect(TypeError, text, latch.connect, host, port=port)
            expect(TypeError, text, RemoteLatch._get_redis_client, host, port=port)
            assert latch.is_connected is False
        return Case(call, (latch, host, port) if probe_values else (latch,))
    return factory


_WRONG = "Argument '{}' has incorrect type (expected {}, got {})"
for _name, _host, _port, _text, _probe in [
    ("host_none", lambda: None, lambda: fresh_int(6379), _WRONG.format("host", "str", "NoneType"),
     False),
    ("host_subclass", lambda: StrSubclass("localhost"), lambda: fresh_int(6379),
     _WRONG.format("host", "str", "StrSubclass"), True),
    ("host_bytes", lambda: b"localhost", lambda: fresh_int(6379),
     _WRONG.format("host", "str", "bytes"), True),
    ("port_bool", lambda: fresh_text("localhost"), lambda: True,
     _WRONG.format("port", "int", "bool"), False),
    ("port_float", lambda: fresh_text("localhost"), lambda: float("6379"),
     _WRONG.format("port", "int", "float"), True),
    ("port_subclass", lambda: fresh_text("localhost"), lambda: IntSubclass(6379),
     _WRONG.format("port", "int", "IntSubclass"), True),
    ("both_wrong", lambda: None, lambda: None, _WRONG.format("host", "str", "NoneType"), False),
]:
    REMOTE[f"remote_connect_{_name}"] = _remote_connect_type(_host, _port, _text, _probe)


@remote
def remote_connect_arguments(mp: pytest.MonkeyPatch) -> Case:
    latch, host, arg = RecordingFactory(), fresh_text("localhost"), fresh_int(6380)

    def call() -> None:
        expect(TypeError, "connect() takes exactly 2 positional arguments (3 given)",
               latch.connect, host, arg)
        expect(TypeError, "connect() takes exactly 2 positional arguments (1 given)",
               latch.connect, port=arg)
        expect(TypeError, "connect() got an unexpected keyword argument 'db'",
               latch.connect, host, db=arg)
        expect(TypeError, "connect() got multiple values for keyword argument 'host'",
               latch.connect, host, host=host)
        expect(TypeError, "_get_redis_client() takes exactly 1 positional argument (2 given)",
               RemoteLatch._get_redis_client, host, arg)
        expect(TypeError, "_get_redis_client() got an unexpected keyword argument 'self'",
               RemoteLatch._get_redis_client, host, self=arg)
        assert latch.is_connected is False
    return Case(call, (latch, host, arg))


@remote
def remote_connect_without_redis(mp: pytest.MonkeyPatch) -> Case:
    mp.setitem(sys.modules, "redis", None)
    latch, host = RemoteLatch(), fresh_text("localhost")
    text = 'RemoteLatch requires the redis package. Use pip "install quarn_data[remote-latch]"'

    def call() -> None:
        try:
            latch.connect(host)
        except ImportError as error:
            assert str(error) == text
            assert isinstance(error.__cause__, ImportError)
        else:
            raise AssertionError("connect() without redis")
        assert latch.is_connected is False
    return Case(call, (latch, host))


@remote
def remote_disconnect(mp: pytest.MonkeyPatch) -> Case:
    client = redis.Redis(host="127.0.0.1", port=fresh_int(1))  # never used: no connection
    latch = connected(client)

    def call() -> None:
        assert latch.disconnect() is None
    return Case(call, (latch, client))


@remote
def remote_disconnect_errors(mp: pytest.MonkeyPatch) -> Case:
    never, cleared, broken = RemoteLatch(), connected(None), connected(BrokenClient())
    arg = object()

    def call() -> None:
        expect(AttributeError, "'RemoteLatch' object has no attribute 'client'", never.disconnect)
        expect(AttributeError, "'NoneType' object has no attribute 'close'", cleared.disconnect)
        expect(Refused, "close", broken.disconnect)
        expect(TypeError, "disconnect() takes exactly 1 positional argument (2 given)",
               broken.disconnect, arg)
        expect(TypeError, "disconnect() got an unexpected keyword argument 'force'",
               broken.disconnect, force=arg)
    return Case(call, (never, cleared, broken, arg))


@remote
def remote_not_connected(mp: pytest.MonkeyPatch) -> Case:
    never, cleared, falsy = RemoteLatch(), connected(None), connected([])
    target, metadata, timeout = Address("soak", "nc"), {"k": object()}, fresh_int(500)

    def call() -> None:
        for latch in (never, cleared, falsy):
            expect(QuarnConnectionError, NOT_CONNECTED, latch.acquire, target,
                   timeout_ms=timeout, metadata=metadata)
            expect(QuarnConnectionError, NOT_CONNECTED, latch.release, target)
    return Case(call, (never, cleared, falsy, target, metadata, timeout))


@remote
def remote_not_connected_error_replaced(mp: pytest.MonkeyPatch) -> Case:
    latch, target = RemoteLatch(), Address("soak", "nc")
    mp.setattr(remote_latch, "QuarnConnectionError", lambda message: [message])

    def call() -> None:
        text = "raise: exception class must be a subclass of BaseException"
        expect(TypeError, text, latch.acquire, target)
        expect(TypeError, text, latch.release, target)
    return Case(call, (latch, target))


@remote
def remote_not_connected_error_missing(mp: pytest.MonkeyPatch) -> Case:
    latch, target = RemoteLatch(), Address("soak", "nc")
    mp.delattr(remote_latch, "QuarnConnectionError")
    return Case(lambda: expect(NameError, "name 'QuarnConnectionError' is not defined",
                               latch.acquire, target), (latch, target))


def _remote_wrong_timeout(value_factory: Callable[[], object], type_name: str,
                          probe_value: bool) -> CaseFactory:
    def factory(mp: pytest.MonkeyPatch) -> Case:
        latch, target, value = RemoteLatch(), Address("soak", "type"), value_factory()
        text = f"Argument 'timeout_ms' has incorrect type (expected int, got {type_name})"
        return Case(lambda: expect(TypeError, text, latch.acquire, target, timeout_ms=value),
                    (latch, target, value) if probe_value else (latch, target))
    return factory


for _name, _make, _type, _probe in [
    ("bool", lambda: False, "bool", False),
    ("none", lambda: None, "NoneType", False),
    ("float", lambda: float("0.5"), "float", True),
    ("int_subclass", lambda: IntSubclass(100), "IntSubclass", True),
]:
    REMOTE[f"remote_acquire_timeout_{_name}"] = _remote_wrong_timeout(_make, _type, _probe)


@remote
def remote_acquire_release_arguments(mp: pytest.MonkeyPatch) -> Case:
    latch, target, arg = RemoteLatch(), Address("soak", "args"), fresh_int(100)

    def call() -> None:
        expect(TypeError, "acquire() takes exactly 2 positional arguments (3 given)",
               latch.acquire, target, arg)
        expect(TypeError, "acquire() takes exactly 2 positional arguments (1 given)",
               latch.acquire, metadata=arg)
        expect(TypeError, "acquire() got an unexpected keyword argument 'ttl'",
               latch.acquire, target, ttl=arg)
        expect(TypeError, "acquire() got multiple values for keyword argument 'target_address'",
               latch.acquire, target, target_address=target)
        expect(TypeError, "release() takes exactly 2 positional arguments (1 given)",
               latch.release)
        expect(TypeError, "release() got an unexpected keyword argument 'ttl'",
               latch.release, target, ttl=arg)
        expect(TypeError, "release() got multiple values for keyword argument 'self'",
               latch.release, target, self=latch)
    return Case(call, (latch, target, arg))


@remote
def remote_client_methods_fail(mp: pytest.MonkeyPatch) -> Case:
    broken, missing = connected(BrokenClient()), connected(NoMethodsClient())
    target, metadata = Address("soak", "client"), {"k": [fresh_text("v")]}

    def call() -> None:
        expect(Refused, "set", broken.acquire, target, metadata=metadata)
        expect(Refused, "set", broken.acquire, target, blocking=False)
        expect(Refused, "delete", broken.release, target)
        expect(Refused, "set attribute", missing.acquire, target, timeout_ms=0)
        expect(Refused, "delete attribute", missing.release, target)
    return Case(call, (broken, missing, target, metadata))


@remote
def remote_key_fails(mp: pytest.MonkeyPatch) -> Case:
    # A real client, never reached: the key is made before the client is called.
    client = redis.Redis(host="127.0.0.1", port=fresh_int(1))
    latch, target = connected(client), BadTarget()

    def call() -> None:
        expect(Refused, "no key", latch.acquire, target)
        expect(Refused, "no key", latch.acquire, target, blocking=False)
        expect(Refused, "no key", latch.release, target)
    return Case(call, (latch, client, target))


@remote
def remote_value_fails(mp: pytest.MonkeyPatch) -> Case:
    client = redis.Redis(host="127.0.0.1", port=fresh_int(1))
    latch, target, metadata = connected(client), Address("soak", "json"), {"k": object()}
    text = "Object of type object is not JSON serializable"
    return Case(lambda: expect(TypeError, text, latch.acquire, target, metadata=metadata),
                (latch, client, target, metadata))


@remote
def remote_blocking_fails(mp: pytest.MonkeyPatch) -> Case:
    latch, target, blocking = connected(BrokenClient()), Address("soak", "blk"), BadTruth()
    huge = fresh_int(10**400)

    def call() -> None:
        expect(Refused, "no truth value", latch.acquire, target, blocking=blocking)
        expect(OverflowError, "int too large to convert to float", latch.acquire, target,
               timeout_ms=huge)
    return Case(call, (latch, target, blocking, huge))


# --- remote cases on the session server --------------------------------------------

@server
def server_acquire_release(mp: pytest.MonkeyPatch, port: int) -> Case:
    latch = RemoteLatch()
    latch.connect(fresh_text("127.0.0.1"), port=fresh_int(port))
    target, metadata = Address("soak", "server"), {"owner": fresh_text("me"), "n": [1.5]}

    def call() -> None:
        assert latch.acquire(target, metadata=metadata) is True
        assert latch.acquire(target, blocking=False) is False
        assert latch.release(target) is None
        assert latch.acquire(target, blocking=metadata) is True
        latch.release(target)
    return Case(call, (latch, target, metadata))


@server
def server_poll_until_limit(mp: pytest.MonkeyPatch, port: int) -> Case:
    sleep = counting()
    mp.setattr(remote_latch, "sleep", sleep)
    holder, latch = RemoteLatch(), RemoteLatch()
    for instance in (holder, latch):
        instance.connect("127.0.0.1", port=port)
    target, timeout = Address("soak", "poll"), fresh_int(300)
    assert holder.acquire(target) is True

    def call() -> None:
        assert latch.acquire(target, timeout_ms=timeout) is False
    return Case(call, (latch, target, timeout), after=lambda: holder.release(target))


@server
def server_sleep_fails(mp: pytest.MonkeyPatch, port: int) -> Case:
    mp.setattr(remote_latch, "sleep", raising("sleep"))
    latch = RemoteLatch()
    latch.connect("127.0.0.1", port=port)
    target, metadata = Address("soak", "sleep"), {"k": fresh_int(10**20)}
    assert latch.acquire(target) is True
    return Case(lambda: expect(Refused, "sleep", latch.acquire, target, metadata=metadata),
                (latch, target, metadata), after=lambda: latch.release(target))


@server
def server_is_alive(mp: pytest.MonkeyPatch, port: int) -> Case:
    latch = RemoteLatch()
    latch.connect("127.0.0.1", port=port)

    def call() -> None:
        assert latch.is_alive is True
    return Case(call, (latch,))


@server
def server_connect_disconnect(mp: pytest.MonkeyPatch, port: int) -> Case:
    # The real factory: each call builds a client (lazily: no connection is made). A new
    # instance each time, so that no client outlives its call.
    host, number = fresh_text("127.0.0.1"), fresh_int(port)

    def call() -> None:
        latch = RemoteLatch()
        latch.connect(host, port=number, username=None, ssl=False)
        latch.disconnect()
    return Case(call, (host, number))


@server
def server_get_redis_client(mp: pytest.MonkeyPatch, port: int) -> Case:
    host, number, password = fresh_text("127.0.0.1"), fresh_int(port), fresh_text("pw")

    def call() -> None:
        client = RemoteLatch._get_redis_client(host, port=number, password=password)
        assert isinstance(client, redis.Redis)
    return Case(call, (host, number, password))


# --- the tests ----------------------------------------------------------------------

@pytest.mark.parametrize("name", sorted(LOCAL))
def test_local_member_leaves_nothing(name: str, monkeypatch: pytest.MonkeyPatch) -> None:
    soak(LOCAL[name](monkeypatch), CALLS)


@pytest.mark.parametrize("name", sorted(REMOTE))
def test_remote_member_leaves_nothing(name: str, monkeypatch: pytest.MonkeyPatch) -> None:
    soak(REMOTE[name](monkeypatch), CALLS)


@pytest.mark.parametrize("name", sorted(SERVER))
def test_remote_member_on_server_leaves_nothing(name: str, monkeypatch: pytest.MonkeyPatch,
                                                redis_server: Any, redis_client: Any) -> None:
    case = SERVER[name](monkeypatch, redis_server.port)
    try:
        soak(case, SLOW_CALLS)
    finally:
        case.after()
    assert redis_client.keys("*") == []


@pytest.mark.parametrize("module", [local_latch, remote_latch], ids=lambda m: m.__name__)
def test_later_import_leaves_nothing(module: Any) -> None:
    """Creating and executing the module again (what a later import does) gives the same
    module back and leaves nothing behind: the interpreter drops the state block of the
    module that a create slot returns, so the module must free the old one first."""
    found = importlib.util.find_spec(module.__name__)
    assert found is not None and found.loader is not None
    loader = found.loader

    def call() -> None:
        assert importlib.util.module_from_spec(found) is module
        loader.exec_module(module)
    # A leaked state block adds one block per call; the class made by each call leaves a
    # few dozen now and then (51 seen once in CI), however many calls there are.
    soak(Case(call, (module, found), blocks=SLOW_CALLS // 2), SLOW_CALLS)


def test_probes_are_counted() -> None:
    """The measurement itself: a call that keeps what it is given or makes is caught."""
    kept: list[object] = []
    arg = object()
    with pytest.raises(AssertionError, match="argument references leaked"):
        soak(Case(lambda: kept.append(arg), (arg,)), 100)
    kept.clear()
    with pytest.raises(AssertionError, match="objects left"):
        soak(Case(lambda: kept.append([])), 1_000)
    kept.clear()
    if not SANITIZED:
        with pytest.raises(AssertionError, match="still traced"):
            soak(Case(lambda: kept.append(fresh_int(10**30))), 1_000)
        kept.clear()
