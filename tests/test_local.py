"""LocalLatch: construction, fixed lifecycle answers, per-target locks and their records."""

from __future__ import annotations

import inspect
import sys
import threading
import time
import warnings
from collections.abc import Callable
from typing import Any

import pytest

from conftest import check_python
from quarn_devkit.waits import scaled
from quarn_data.lock.implementations import local_latch
from quarn_data.lock.implementations.local_latch import LocalLatch
from quarn_utils.models.data_models.address import Address

A, B = Address("a"), Address("b")


class Record:
    """Replaces the module's LockObject: keeps its keyword arguments, in order."""

    made: list[Record] = []

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        assert args == ()
        self.kwargs = kwargs
        Record.made.append(self)


@pytest.fixture
def records(monkeypatch: pytest.MonkeyPatch) -> list[Record]:
    Record.made = []
    monkeypatch.setattr(local_latch, "LockObject", Record)
    return Record.made


def run_in_thread(fn: Callable[[], Any], limit: float = 30) -> Any:
    result: list[Any] = []
    thread = threading.Thread(target=lambda: result.append(fn()), daemon=True)
    thread.start()
    thread.join(scaled(limit))
    assert not thread.is_alive(), "thread did not finish"
    return result[0]


# --- the class ------------------------------------------------------------------------------


def test_class_namespace_and_members() -> None:
    assert list(LocalLatch.__dict__)[:9] == [
        "__module__", "__doc__", "connect", "disconnect", "is_connected", "is_alive",
        "__init__", "acquire", "release"]
    assert "__annotations__" not in LocalLatch.__dict__
    assert LocalLatch.__doc__ == "\n    A local latch implementation of the LockBase class.\n    "
    assert LocalLatch.__bases__ == (local_latch.LockBase,)
    for name in ("is_connected", "is_alive"):
        prop = LocalLatch.__dict__[name]
        assert isinstance(prop, property) and prop.fset is None and prop.__doc__ is None
        with pytest.raises(AttributeError):
            setattr(LocalLatch(), name, False)
    sig = inspect.signature(LocalLatch.connect)
    assert str(sig) == "(self, *args: 'Any', **kwargs: 'Any') -> 'None'"
    assert LocalLatch.connect.__code__.co_varnames == ("self", "args", "kwargs")
    assert LocalLatch.acquire.__kwdefaults__ == {"timeout_ms": -1, "blocking": True,
                                                 "metadata": None}
    assert LocalLatch.acquire.__code__.co_varnames == (
        "self", "target_address", "timeout_ms", "blocking", "metadata", "lock")
    assert LocalLatch.release.__annotations__ == {"target_address": "Address", "return": "None"}
    for name in ("connect", "disconnect", "__init__"):
        fn = LocalLatch.__dict__[name]
        assert (fn.__doc__, fn.__defaults__, fn.__kwdefaults__) == (None, None, None)
        assert fn.__qualname__ == f"LocalLatch.{name}"


def test_construction_and_fixed_answers() -> None:
    latch, other = LocalLatch(), LocalLatch()
    assert latch.locks == {} and latch.lock_data == {}
    assert latch.locks is not other.locks and latch.lock_data is not other.lock_data
    assert (latch.is_connected, latch.is_alive) == (True, True)
    assert latch.connect() is None and latch.connect(1, 2) is None
    assert latch.connect(host=1, self_=2) is None
    latch.acquire(A)
    assert latch.disconnect() is None
    assert (latch.is_connected, latch.is_alive) == (True, True)
    assert latch.acquire(A, blocking=False) is False  # still held after disconnect
    latch.release(A)
    with pytest.raises(TypeError, match="not callable"):
        latch.is_connected()  # type: ignore[operator]
    locks = latch.locks
    assert latch.__init__() is None  # type: ignore[misc]
    assert latch.locks == {} and latch.locks is not locks and latch.lock_data == {}


COUNT = "{}() takes {} {} positional argument{} ({} given)"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: LocalLatch(1), COUNT.format("__init__", "exactly", 1, "", 2)),
        (lambda: LocalLatch(x=1), "__init__() got an unexpected keyword argument 'x'"),
        (lambda: LocalLatch.connect(), COUNT.format("connect", "at least", 1, "", 0)),
        (lambda: LocalLatch.connect(LocalLatch(), self=1),
         "connect() got multiple values for keyword argument 'self'"),
        (lambda: LocalLatch().disconnect(1), COUNT.format("disconnect", "exactly", 1, "", 2)),
        (lambda: LocalLatch().disconnect(x=1),
         "disconnect() got an unexpected keyword argument 'x'"),
        (lambda: LocalLatch.disconnect(LocalLatch(), self=1),
         "disconnect() got multiple values for keyword argument 'self'"),
        (lambda: LocalLatch().acquire(A, 100), COUNT.format("acquire", "exactly", 2, "s", 3)),
        (lambda: LocalLatch().acquire(), COUNT.format("acquire", "exactly", 2, "s", 1)),
        (lambda: LocalLatch().acquire(A, wait=1),
         "acquire() got an unexpected keyword argument 'wait'"),
        (lambda: LocalLatch().release(), COUNT.format("release", "exactly", 2, "s", 1)),
        (lambda: LocalLatch().release(A, target_address=A),
         "release() got multiple values for keyword argument 'target_address'"),
        (lambda: LocalLatch.__dict__["is_alive"].fget(1, 2),
         COUNT.format("is_alive", "exactly", 1, "", 2)),
    ],
)
def test_binding_errors(call: Callable[[], Any], message: str) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_connect_takes_self_by_keyword_and_collects_the_rest() -> None:
    assert LocalLatch.connect(self=LocalLatch(), args=1, kwargs=2) is None
    assert LocalLatch.disconnect(self=LocalLatch()) is None


@pytest.mark.parametrize("value", [True, False, 1.5, None, "5", 10**0 * 1.0])
def test_timeout_must_be_an_exact_int(value: Any) -> None:
    latch = LocalLatch()
    with pytest.raises(TypeError) as info:
        latch.acquire(A, timeout_ms=value)
    assert str(info.value) == (
        f"Argument 'timeout_ms' has incorrect type (expected int, got {type(value).__name__})")
    assert latch.locks == {} and latch.lock_data == {}


# --- records --------------------------------------------------------------------------------


def test_first_acquire_with_defaults(records: list[Record]) -> None:
    latch = LocalLatch()
    assert latch.acquire(A) is True
    assert list(latch.locks) == [A] and list(latch.lock_data) == [A]
    assert type(latch.locks[A]) is type(threading.Lock())
    assert latch.lock_data[A] is records[0]
    assert list(records[0].kwargs) == ["expires_at", "data"]
    assert records[0].kwargs == {"expires_at": -1, "data": {}}


def test_the_record_of_the_first_acquisition(records: list[Record],
                                             monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(local_latch, "time", lambda: 1700000000.1234)
    latch, metadata = LocalLatch(), {"owner": "x"}
    assert latch.acquire(A, timeout_ms=5000, metadata=metadata) is True
    assert records[0].kwargs["expires_at"] == 1700000005123
    assert type(records[0].kwargs["expires_at"]) is int
    assert records[0].kwargs["data"] is metadata
    lock = latch.locks[A]
    latch.release(A)
    assert latch.acquire(A, timeout_ms=1, metadata={"other": 1}) is True
    assert len(records) == 1 and latch.lock_data[A] is records[0] and latch.locks[A] is lock
    latch.release(A)
    assert A in latch.locks and A in latch.lock_data


@pytest.mark.parametrize(
    ("clock", "timeout_ms", "expires_at"),
    [
        (lambda: 1.0005, 0, 1000),       # 1000.5: ties go to even
        (lambda: 1.0015, 7, 1002 + 7),   # 1001.5
        (lambda: 2, 3, 2003),            # an int clock gives the exact product
        (lambda: 1.5, -5, -1),           # any negative timeout: no expiry...
        (lambda: "not a clock", -1, -1),  # ...and no clock read
    ],
)
def test_expiry_arithmetic(records: list[Record], monkeypatch: pytest.MonkeyPatch,
                           clock: Any, timeout_ms: int, expires_at: int) -> None:
    monkeypatch.setattr(local_latch, "time", clock)
    LocalLatch().acquire(A, timeout_ms=timeout_ms)
    assert records[0].kwargs["expires_at"] == expires_at
    assert type(records[0].kwargs["expires_at"]) is int


@pytest.mark.parametrize("metadata", [None, {}, 0, "", [], False])
def test_false_metadata_gives_a_fresh_empty_dict(records: list[Record], metadata: Any) -> None:
    LocalLatch().acquire(A, metadata=metadata)
    data = records[0].kwargs["data"]
    assert data == {} and type(data) is dict and data is not metadata


def test_round_was_fetched_at_load() -> None:
    check_python("""
        import builtins
        from quarn_data.lock.implementations import local_latch
        from quarn_utils.models.data_models.address import Address
        builtins.round = lambda x: 0
        local_latch.time = lambda: 1.0
        latch = local_latch.LocalLatch()
        latch.acquire(Address("a"), timeout_ms=7)
        assert latch.lock_data[Address("a")].expires_at == 1007
    """)


def test_the_real_record_and_clock() -> None:
    before = round(time.time() * 1000)
    latch = LocalLatch()
    latch.acquire(A, timeout_ms=250, metadata={"k": "v"})
    record = latch.lock_data[A]
    assert before + 250 <= record.expires_at <= round(time.time() * 1000) + 250
    assert record.data == {"k": "v"}


# --- waiting --------------------------------------------------------------------------------


def test_held_target_with_limits() -> None:
    latch = LocalLatch()
    latch.acquire(A)
    for kwargs in ({"timeout_ms": 0}, {"blocking": False}, {"blocking": False, "timeout_ms": 5000},
                   {"blocking": 0}, {"blocking": ""}):
        start = time.monotonic()
        assert run_in_thread(lambda: latch.acquire(A, **kwargs)) is False
        assert time.monotonic() - start < 1.0
    start = time.monotonic()
    assert run_in_thread(lambda: latch.acquire(A, timeout_ms=100)) is False
    assert 0.09 <= time.monotonic() - start < 5.0
    assert list(latch.locks) == [A] and list(latch.lock_data) == [A]


def test_a_zero_limit_on_a_held_lock_answers_at_once() -> None:
    latch = LocalLatch()
    assert latch.acquire(A) is True
    # The caller's own thread would wait for ever if 0 meant no limit: ask from another.
    assert run_in_thread(lambda: latch.acquire(A, timeout_ms=0), limit=2) is False


def test_a_non_empty_string_blocks_and_a_thread_can_release_another_threads_lock() -> None:
    latch = LocalLatch()
    latch.acquire(A)
    timer = threading.Timer(0.2, latch.release, (A,))
    timer.daemon = True
    timer.start()
    start = time.monotonic()
    assert latch.acquire(A, blocking="yes") is True
    assert time.monotonic() - start >= 0.15
    run_in_thread(lambda: latch.release(A))
    assert latch.acquire(A, blocking=False) is True
    timer.join()


def test_an_expired_stamp_does_not_free_the_lock(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(local_latch, "time", lambda: 0.0)  # expires_at lies in 1970
    latch = LocalLatch()
    latch.acquire(A, timeout_ms=1)
    assert latch.lock_data[A].expires_at == 1
    assert run_in_thread(lambda: latch.acquire(A, timeout_ms=100)) is False


def test_the_wait_limit_is_passed_as_seconds(monkeypatch: pytest.MonkeyPatch) -> None:
    calls = []

    class RecordingLock:
        def acquire(self, *args: Any, **kwargs: Any) -> bool:
            calls.append((args, kwargs))
            return True

        def release(self) -> None:
            calls.append("release")

    monkeypatch.setattr(local_latch, "Lock", RecordingLock)
    latch = LocalLatch()
    latch.acquire(A, timeout_ms=1500)
    latch.acquire(A, timeout_ms=0)
    latch.acquire(A, timeout_ms=-3)
    latch.acquire(A, blocking=False, timeout_ms=10)
    latch.release(A)
    assert calls == [((), {"timeout": 1.5}), ((), {"timeout": 0.0}), ((), {"timeout": -1}),
                     ((), {"blocking": False}), "release"]
    assert type(calls[1][1]["timeout"]) is float  # type: ignore[index]


# --- release --------------------------------------------------------------------------------


def test_release_of_unknown_and_unheld_targets() -> None:
    latch = LocalLatch()
    assert latch.release(A) is None and A not in latch.locks
    latch.acquire(A)
    latch.release(A)
    with pytest.raises(RuntimeError):
        latch.release(A)
    assert list(latch.locks) == [A] and list(latch.lock_data) == [A]


def test_equal_targets_share_a_lock_unequal_ones_do_not() -> None:
    latch = LocalLatch()
    assert latch.acquire(Address("x", "1")) is True
    assert latch.acquire(Address("x", "1"), blocking=False) is False
    assert latch.acquire(Address("x", "2"), blocking=False) is True
    assert latch.acquire(-1, blocking=False) is True
    assert latch.acquire(-2, blocking=False) is True  # hash(-1) == hash(-2)
    assert len(latch.locks) == 4


# --- table reads ----------------------------------------------------------------------------


class TracedTable(dict):  # type: ignore[type-arg]
    """A `locks` table that is not exactly a dict: logs each operation into `trace`."""

    def __init__(self, trace: list[str]) -> None:
        super().__init__()
        self.trace = trace

    def __contains__(self, key: object) -> bool:
        self.trace.append("in")
        return super().__contains__(key)

    def __getitem__(self, key: object) -> Any:
        self.trace.append("get")
        return super().__getitem__(key)

    def __setitem__(self, key: object, value: Any) -> None:
        self.trace.append("set")
        super().__setitem__(key, value)


class TracedLatch(LocalLatch):
    """Logs each read of its two tables into `trace`."""

    trace: list[str]

    def __getattribute__(self, name: str) -> Any:
        if name in ("locks", "lock_data"):
            object.__getattribute__(self, "trace").append(name)
        return super().__getattribute__(name)


@pytest.mark.parametrize("generic", [False, True], ids=["dict", "dict subclass"])
def test_each_step_reads_the_table_again(generic: bool) -> None:
    latch = TracedLatch()
    latch.trace = trace = []
    if generic:
        latch.locks = TracedTable(trace)
    steps = [
        (lambda: latch.acquire(A), True,
         ["locks", "in", "locks", "set", "lock_data", "locks", "get"]),
        (lambda: latch.acquire(A, blocking=False), False, ["locks", "in", "locks", "get"]),
        (lambda: latch.release(A), None, ["locks", "in", "locks", "get"]),
        (lambda: latch.release(B), None, ["locks", "in"]),
        (lambda: latch.acquire(A, timeout_ms=0), True, ["locks", "in", "locks", "get"]),
    ]
    for call, result, expected in steps:
        trace.clear()
        assert call() is result
        assert trace == (expected if generic else [s for s in expected if s.startswith("lock")])
    assert list(latch.locks) == [A] and list(latch.lock_data) == [A]


@pytest.mark.parametrize("method", ["acquire", "release"])
def test_a_table_replaced_during_the_membership_test(method: str) -> None:
    latch = LocalLatch()

    class Resetting:
        """All alike; comparing two of them empties the latch's tables first."""

        def __hash__(self) -> int:
            return 1

        def __eq__(self, other: object) -> bool:
            latch.__init__()  # type: ignore[misc]
            return True

    stored, target = Resetting(), Resetting()
    latch.acquire(stored)
    latch.release(stored)
    with pytest.raises(KeyError) as info:
        getattr(latch, method)(target)
    assert info.value.args == (target,)
    assert latch.locks == {} and latch.lock_data == {}


class Redirected(LocalLatch):
    """Its `locks` is a property: what `__class__` assignment can turn a latch into."""

    @property
    def locks(self) -> Any:
        return self.__dict__["other"]


def _class_property(latch: LocalLatch, table: dict[Any, Any], patch: pytest.MonkeyPatch) -> None:
    patch.setattr(LocalLatch, "locks", property(lambda self: table), raising=False)


def _base_property(latch: LocalLatch, table: dict[Any, Any], patch: pytest.MonkeyPatch) -> None:
    patch.setattr(local_latch.LockBase, "locks", property(lambda self: table), raising=False)


def _getattribute(latch: LocalLatch, table: dict[Any, Any], patch: pytest.MonkeyPatch) -> None:
    def read(self: Any, name: str) -> Any:
        return table if name == "locks" else object.__getattribute__(self, name)

    patch.setattr(LocalLatch, "__getattribute__", read, raising=False)


def _getattr(latch: LocalLatch, table: dict[Any, Any], patch: pytest.MonkeyPatch) -> None:
    del latch.locks
    patch.setattr(LocalLatch, "__getattr__", lambda self, name: table, raising=False)


def _class_assigned(latch: LocalLatch, table: dict[Any, Any], patch: pytest.MonkeyPatch) -> None:
    latch.other = table  # type: ignore[attr-defined]
    latch.__class__ = Redirected


def _dict_assigned(latch: LocalLatch, table: dict[Any, Any], patch: pytest.MonkeyPatch) -> None:
    latch.__dict__ = {"lock_data": {}, "locks": table}


def _dict_updated(latch: LocalLatch, table: dict[Any, Any], patch: pytest.MonkeyPatch) -> None:
    vars(latch).update(locks=table)


def _other_keys(latch: LocalLatch, table: dict[Any, Any], patch: pytest.MonkeyPatch) -> None:
    class Key(str):
        pass

    vars(latch)[Key("extra")] = 1  # a key that is no exact str
    latch.locks = table


@pytest.mark.parametrize("redirect", [
    _class_property, _base_property, _getattribute, _getattr, _class_assigned, _dict_assigned,
    _dict_updated, _other_keys])
def test_a_table_read_follows_every_change_of_where_it_comes_from(
        redirect: Callable[..., None], monkeypatch: pytest.MonkeyPatch) -> None:
    """Each read of `locks` answers as the generic lookup, whatever changed since the last
    one: the class, a base, the instance's class or its dict."""
    latch, table = LocalLatch(), {}
    for _ in range(50):  # warm: the interpreter has specialised its calls
        latch.acquire(A)
        latch.release(A)
    redirect(latch, table, monkeypatch)
    assert latch.acquire(A) is True and A in table and table[A].locked()
    latch.release(A)
    assert not table[A].locked()
    monkeypatch.undo()
    if type(latch) is LocalLatch and "locks" in vars(latch):
        latch.locks = fresh = {}
        assert latch.acquire(B) is True and list(fresh) == [B]


def test_each_read_sees_the_latest_table() -> None:
    """Stores in a loop (the interpreter specialises them), two latches taking turns, and
    latches made and dropped: every acquire and release finds the table stored last."""
    latches = [LocalLatch(), LocalLatch()]
    for i in range(200):
        latch = latches[i % 2]
        latch.locks = table = {}
        assert latch.acquire(A) is True and list(table) == [A]
        latch.release(A)
        assert not table[A].locked()
        dropped = LocalLatch()  # its dict is freed with it, and another takes its place
        assert dropped.acquire(B) is True and list(dropped.locks) == [B]
    del latch.locks
    with pytest.raises(AttributeError) as info:
        latch.release(A)
    with pytest.raises(AttributeError) as generic:
        latch.locks  # noqa: B018
    assert (str(info.value), info.value.name, info.value.obj) == (
        str(generic.value), "locks", latch)


class LikeLocks:
    """Hashes as the str "locks" and equals nothing: a dict lookup of "locks" that meets it
    compares the two, and counts that in `compared`; its first comparison runs `first`."""

    compared = 0
    first: Callable[[], None] = staticmethod(lambda: None)

    def __hash__(self) -> int:
        return hash("locks")

    def __eq__(self, other: object) -> bool:
        LikeLocks.compared += 1
        first, LikeLocks.first = LikeLocks.first, staticmethod(lambda: None)
        first()
        return False


def test_each_read_compares_what_the_generic_lookup_compares() -> None:
    """A key of the instance dict met before "locks" is compared by every lookup of `locks`:
    each read of the table compares it as often as the generic lookup does."""
    latch = LocalLatch()
    latch.acquire(A)
    latch.release(A)
    latch.__dict__ = {LikeLocks(): None, **vars(latch)}  # first, where the lookup meets it
    LikeLocks.compared = 0
    latch.locks  # noqa: B018
    per_read, LikeLocks.compared = LikeLocks.compared, 0
    for _ in range(3):
        latch.acquire(A)  # two reads of the table in each, as in release
        latch.release(A)
    assert per_read > 0 and LikeLocks.compared == 3 * 4 * per_read


def test_a_class_changed_while_its_bases_are_searched(monkeypatch: pytest.MonkeyPatch) -> None:
    """The search of LocalLatch's bases for `locks` compares a key that gives LocalLatch a
    `locks` property meanwhile: from then on, `locks` is what that property gives."""
    latch, table = LocalLatch(), {}
    latch.acquire(A)
    latch.release(A)
    base = local_latch.LockBase
    with warnings.catch_warnings():  # 3.13 on: "non-string key in the __dict__ of class"
        warnings.simplefilter("ignore", RuntimeWarning)
        with_key = type(base)("WithKey", (base,), {LikeLocks(): None})
    LikeLocks.first = staticmethod(lambda: monkeypatch.setattr(
        LocalLatch, "locks", property(lambda self: table), raising=False))
    LocalLatch.__bases__ = (with_key,)
    try:
        assert latch.acquire(B) is True
        # The table that the generic lookup gives now (3.12's type cache keeps the search's
        # stale answer: the instance's table; from 3.14 on, the property's).
        assert latch.locks[B].locked()
        latch.release(B)
        assert not latch.locks[B].locked()
    finally:
        LocalLatch.__bases__ = (base,)


def test_reads_from_the_instance_dict_only_where_every_event_arrives() -> None:
    """LocalLatch reads `self.locks` from the instance dict, holding a dict watcher of its
    own, only where the interpreter sends every event those reads rest on, which the module
    proves at load. The test asks the interpreter itself, with a watcher of its own: CPython
    3.13.0 sends no event for a store through an object's inline values once its __dict__
    exists (gh-125608), and before 3.13 no instance keeps its values inline; free-threaded
    builds read generically."""
    out = check_python("""
        import sys, sysconfig
        try:
            import _testcapi
        except ImportError:
            print("no _testcapi")
            raise SystemExit

        def free_dict_watchers():
            taken = []
            try:
                while True:
                    taken.append(_testcapi.add_dict_watcher(0))
            except RuntimeError:
                pass
            for watcher in taken:
                _testcapi.clear_dict_watcher(watcher)
            return len(taken)

        class Plain:
            pass
        o = Plain()
        o.x = 1
        watcher = _testcapi.add_dict_watcher(0)
        _testcapi.watch_dict(watcher, vars(o))
        o.x = 2  # through the inline values, if the object has them
        heard = _testcapi.get_dict_watcher_events() != []
        _testcapi.unwatch_dict(watcher, vars(o))
        _testcapi.clear_dict_watcher(watcher)
        inline = bool(Plain.__flags__ & (1 << 2))  # Py_TPFLAGS_INLINE_VALUES, 3.13 on
        threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
        before = free_dict_watchers()
        from quarn_data.lock.implementations.local_latch import LocalLatch
        latch = LocalLatch()
        assert latch.acquire("t") and latch.release("t") is None
        print(inline and heard and not threaded, before - free_dict_watchers())
    """).split()
    if out == ["no", "_testcapi"]:
        pytest.skip("this interpreter has no _testcapi")
    expected, held = out
    assert int(held) == (expected == "True"), out


class CountedHash:
    """Hashes like every other one; its hash call number `fail_at` raises."""

    def __init__(self) -> None:
        self.hashes, self.fail_at = 0, 0

    def __hash__(self) -> int:
        self.hashes += 1
        if self.hashes == self.fail_at:
            raise Boom(f"hash {self.hashes}")
        return 1


@pytest.mark.parametrize(
    ("method", "known", "failing"),
    [
        ("acquire", True, 2),    # the membership test, then the subscript
        ("release", True, 2),
        ("acquire", False, 4),   # membership, store into both tables, subscript
    ],
)
def test_every_lookup_hashes_the_target(method: str, known: bool, failing: int) -> None:
    latch, target = LocalLatch(), CountedHash()
    if known:
        latch.acquire(target)
    target.fail_at = target.hashes + failing
    with pytest.raises(Boom, match=f"hash {target.fail_at}$"):
        getattr(latch, method)(target, **({"blocking": False} if method == "acquire" else {}))
    assert list(latch.locks) == [target] and list(latch.lock_data) == [target]
    assert latch.locks[target].locked() is known


# --- failures -------------------------------------------------------------------------------


class Boom(Exception):
    pass


class BadHash:
    def __hash__(self) -> int:
        raise Boom("hash")


class BadEq:
    def __hash__(self) -> int:
        return 7

    def __eq__(self, other: object) -> bool:
        raise Boom("eq")


@pytest.mark.parametrize("target", [[], {}, BadHash()])
def test_targets_that_cannot_be_looked_up(target: Any) -> None:
    latch = LocalLatch()
    for call in (latch.acquire, latch.release):
        with pytest.raises((TypeError, Boom)):
            call(target)
    assert latch.locks == {} and latch.lock_data == {}


def test_a_target_whose_equality_raises() -> None:
    latch = LocalLatch()
    latch.acquire(BadEq())
    with pytest.raises(Boom):
        latch.acquire(BadEq())
    with pytest.raises(Boom):
        latch.release(BadEq())
    assert len(latch.locks) == 1


def refusing_record(**kwargs: Any) -> Any:
    raise Boom("refused")


@pytest.mark.parametrize(
    ("name", "value", "error"),
    [
        ("LockObject", refusing_record, Boom),
        ("LockObject", None, TypeError),
        ("time", lambda: "x", TypeError),   # "x" * 1000 is text; round() refuses it
        ("time", lambda: [], TypeError),
    ],
)
def test_a_failed_record_leaves_the_lock_without_record(
    monkeypatch: pytest.MonkeyPatch, name: str, value: Any, error: type[Exception]
) -> None:
    latch = LocalLatch()
    with monkeypatch.context() as patch:
        patch.setattr(local_latch, name, value)
        with pytest.raises(error):
            latch.acquire(A, timeout_ms=10)
    assert list(latch.locks) == [A] and latch.lock_data == {}
    assert latch.acquire(A) is True and latch.lock_data == {}
    latch.release(A)


def test_missing_globals_fail_where_they_are_used(monkeypatch: pytest.MonkeyPatch) -> None:
    latch = LocalLatch()
    monkeypatch.delattr(local_latch, "Lock")
    with pytest.raises(NameError, match="name 'Lock' is not defined"):
        latch.acquire(A)
    assert latch.locks == {}
    monkeypatch.undo()
    monkeypatch.delattr(local_latch, "LockObject")
    with pytest.raises(NameError, match="LockObject"):
        latch.acquire(A)
    assert list(latch.locks) == [A] and latch.lock_data == {}


class Falsy:
    def __bool__(self) -> bool:
        raise Boom("truth")


@pytest.mark.parametrize("timeout_ms", [10**13, 10**400])
def test_limits_the_lock_refuses(timeout_ms: int) -> None:
    latch = LocalLatch()
    with pytest.raises(OverflowError):
        latch.acquire(A, timeout_ms=timeout_ms)
    assert latch.acquire(A, blocking=False) is True  # not taken by the failed call
    assert list(latch.lock_data) == [A]


def test_a_lock_whose_acquire_cannot_be_read_fails_before_the_limit(
        monkeypatch: pytest.MonkeyPatch) -> None:
    class Unusable:
        @property
        def acquire(self) -> Any:
            raise Boom("no acquire")

    monkeypatch.setattr(local_latch, "Lock", Unusable)
    with pytest.raises(Boom):  # not the OverflowError of 10**400 / 1000
        LocalLatch().acquire(A, timeout_ms=10**400)


def test_failing_truth_tests() -> None:
    latch = LocalLatch()
    with pytest.raises(Boom):
        latch.acquire(A, metadata=Falsy())
    assert list(latch.locks) == [A] and latch.lock_data == {}
    with pytest.raises(Boom):
        latch.acquire(B, blocking=Falsy())
    assert B in latch.locks and B in latch.lock_data
    assert latch.acquire(B, blocking=False) is True


def test_a_refusing_subclass_table() -> None:
    class Refusing(LocalLatch):
        def __setattr__(self, name: str, value: Any) -> None:
            if name == "lock_data":
                raise Boom(name)
            super().__setattr__(name, value)

    with pytest.raises(Boom):
        Refusing()
    latch = Refusing.__new__(Refusing)
    with pytest.raises(Boom):
        latch.__init__()  # type: ignore[misc]
    assert latch.locks == {} and not hasattr(latch, "lock_data")


def test_loads_without_redis() -> None:
    check_python("""
        import sys
        sys.modules["redis"] = None
        from quarn_data.lock.implementations.local_latch import LocalLatch
        from quarn_utils.models.data_models.address import Address
        latch = LocalLatch()
        assert latch.acquire(Address("a")) and latch.release(Address("a")) is None
        assert sys.modules["redis"] is None
    """)


# --- threads --------------------------------------------------------------------------------


def test_racing_first_acquisitions_share_one_lock() -> None:
    class Slow:
        """Equal targets whose hashing yields, to widen the gap between lookup and store."""

        def __hash__(self) -> int:
            time.sleep(0)
            return 1

        def __eq__(self, other: object) -> bool:
            time.sleep(0)
            return isinstance(other, Slow)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for _ in range(20):
            latch, threads, results = LocalLatch(), 16, []
            barrier = threading.Barrier(threads)

            def racer() -> None:
                barrier.wait()
                results.append(latch.acquire(Slow(), blocking=False))

            workers = [threading.Thread(target=racer, daemon=True) for _ in range(threads)]
            for w in workers:
                w.start()
            for w in workers:
                w.join(scaled(30))
            assert sorted(results) == [False] * (threads - 1) + [True]
            assert len(latch.locks) == 1 and len(latch.lock_data) == 1
    finally:
        sys.setswitchinterval(old)


def test_racing_first_acquisitions_build_one_record(records: list[Record],
                                                    monkeypatch: pytest.MonkeyPatch) -> None:
    """Every racer has found no entry and made its lock before any of them stores one:
    one lock is stored, and only the racer that stored it builds the record."""
    threads, maker = 8, {}
    gate = threading.Barrier(threads)

    def new_lock() -> Any:
        lock = threading.Lock()
        maker[lock] = threading.current_thread().name
        gate.wait(timeout=scaled(30))
        return lock

    monkeypatch.setattr(local_latch, "Lock", new_lock)
    latch, results = LocalLatch(), []

    def racer() -> None:
        name = threading.current_thread().name
        results.append(latch.acquire(Address("race"), blocking=False, metadata={"by": name}))

    workers = [threading.Thread(target=racer, name=f"racer {n}", daemon=True)
               for n in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(scaled(30))
    assert sorted(results) == [False] * (threads - 1) + [True]
    assert len(maker) == threads and len(records) == 1
    assert latch.lock_data[Address("race")] is records[0]
    assert records[0].kwargs["data"] == {"by": maker[latch.locks[Address("race")]]}


def test_mutual_exclusion_between_threads() -> None:
    latch, target = LocalLatch(), Address("counter")
    counter = [0]
    threads, rounds = 8, 2000
    wait_ms = round(scaled(20) * 1000)

    def worker() -> None:
        for _ in range(rounds):
            assert latch.acquire(target, timeout_ms=wait_ms)
            value = counter[0]
            counter[0] = value + 1  # lost updates show up without exclusion
            latch.release(target)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        workers = [threading.Thread(target=worker, daemon=True) for _ in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(scaled(60))
    finally:
        sys.setswitchinterval(old)
    assert counter[0] == threads * rounds
