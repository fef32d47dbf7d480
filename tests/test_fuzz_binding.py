"""Fuzzed argument binding: every method, property getter and constructor of both classes,
called with random positional and keyword arguments.

Each member has a pure-Python twin below with the same signature and the same steps.
For each drawn call:

1. ``inspect.signature(twin).bind(...)`` says whether the call binds;
2. `binding_error` gives the exact TypeError text that the binder must raise, following
   its order of checks: too many positional arguments, then a missing positional one
   (counted as the index of the first missing), then the keywords in call order (given
   twice, or unknown), then the exact-type tests in parameter order; it must agree with
   step 1 on whether the call binds;
3. when the call binds and passes the type tests, the member and its twin both run, each
   on an instance of its own in the same state (a fresh one, unconnected or connected to
   the session server with its keys flushed), and must give the same result or the same
   exception (type and text) and leave the same state behind (tables, client, keys).

So any other exception out of binding, a wrong text, a wrong check order, or a crash
fails. No call reaches a host other than the session server: `connect` runs on a
subclass whose client factory only records its arguments, and the real factory only
builds clients, which connect lazily. A module `sleep` that raises makes sure that no
call ever waits.
"""

from __future__ import annotations

import inspect
import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pytest
import redis
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quarn_data.lock.implementations import local_latch, remote_latch
from quarn_data.lock.implementations.local_latch import LocalLatch
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address

# Deterministic, no example database: the same examples on every run, nothing written.
EXAMPLES = int(os.environ.get("QUARN_FUZZ_EXAMPLES", "120"))
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)

NOT_CONNECTED = "RemoteLatch is not connected. Call connect() before using this method."
NOW = 1700000000.1234  # the local module's clock during these tests


class StrSubclass(str):
    pass


class IntSubclass(int):
    pass


class RecordingLatch(RemoteLatch):
    """A RemoteLatch whose client factory records its arguments instead of building one."""

    @staticmethod
    def _get_redis_client(*args: object, **kwargs: object) -> object:
        return ("recorded", args, list(kwargs.items()))


class Self:
    """Marks where a call passes the instance (the real one or the twin's)."""

    def __repr__(self) -> str:
        return "SELF"


SELF = Self()


# --- twins ----------------------------------------------------------------------------
#
# The same signatures and steps as the native members. Globals are read from the native
# module at call time, as the members do.

class RemoteTwin:
    def is_connected(self) -> bool:
        return getattr(self, "client", None) is not None

    def is_alive(self) -> bool:
        if not getattr(self, "client", None):
            return False
        try:
            self.client.ping()
        except BaseException as error:
            if isinstance(error, remote_latch.redis.exceptions.ConnectionError):
                return False
            raise
        return True

    def connect(self, host: str, *, port: int = 6379, username: str | None = None,
                password: str | None = None, ssl: bool = False,
                ssl_certfile: str | None = None, ssl_keyfile: str | None = None,
                ssl_ca_certs: str | None = None) -> None:
        factory = self._get_redis_client
        self.client = factory(host, port=port, username=username, password=password,
                              ssl=ssl, ssl_certfile=ssl_certfile, ssl_keyfile=ssl_keyfile,
                              ssl_ca_certs=ssl_ca_certs)

    def disconnect(self) -> None:
        self.client.close()

    def acquire(self, target_address: Any, *, timeout_ms: int = -1, blocking: bool = True,
                metadata: Any = None) -> bool:
        if not getattr(self, "client", None):
            raise remote_latch.QuarnConnectionError(NOT_CONNECTED)

        def attempt() -> bool:
            set_ = self.client.set
            key = target_address.to_string()
            value = "" if metadata is None else remote_latch.json.dumps(metadata)
            return bool(set_(key, value, nx=True))

        if not blocking:
            return attempt()
        limit, timing = timeout_ms / 1000.0, 0.0
        while True:
            if attempt():
                return True
            if 0 <= limit <= timing:
                return False
            remote_latch.sleep(0.1)
            timing += 0.1

    def release(self, target_address: Any) -> None:
        if not getattr(self, "client", None):
            raise remote_latch.QuarnConnectionError(NOT_CONNECTED)
        delete = self.client.delete
        delete(target_address.to_string())

    @staticmethod
    def _get_redis_client(host: str, *, port: int = 6379, username: str | None = None,
                          password: str | None = None, ssl: bool = False,
                          ssl_certfile: str | None = None, ssl_keyfile: str | None = None,
                          ssl_ca_certs: str | None = None) -> Any:
        import redis as package

        return package.Redis(host=host, port=port, username=username, password=password,
                             ssl=ssl, ssl_certfile=ssl_certfile, ssl_keyfile=ssl_keyfile,
                             ssl_ca_certs=ssl_ca_certs)


class LocalTwin:
    def connect(self, *args: Any, **kwargs: Any) -> None:
        return None

    def disconnect(self) -> None:
        return None

    def is_connected(self) -> bool:
        return True

    def is_alive(self) -> bool:
        return True

    def __init__(self) -> None:
        self.locks: dict[Any, Any] = {}
        self.lock_data: dict[Any, Any] = {}

    def acquire(self, target_address: Any, *, timeout_ms: int = -1, blocking: bool = True,
                metadata: Any = None) -> bool:
        if target_address not in self.locks:
            self.locks[target_address] = local_latch.Lock()
            record_class = local_latch.LockObject
            expires_at = round(local_latch.time() * 1000) + timeout_ms if timeout_ms >= 0 else -1
            data = metadata if metadata else {}
            self.lock_data[target_address] = record_class(expires_at=expires_at, data=data)
        lock = self.locks[target_address]
        if blocking:
            return lock.acquire(timeout=timeout_ms / 1000 if timeout_ms >= 0 else -1)
        return lock.acquire(blocking=False)

    def release(self, target_address: Any) -> None:
        if target_address in self.locks:
            self.locks[target_address].release()


EXACT = {"host": str, "port": int, "timeout_ms": int}


def binding_error(name: str, signature: inspect.Signature, args: list[object],
                  kwargs: dict[str, object]) -> str | None:
    """The TypeError text that binding `args` and `kwargs` must raise, or None."""
    params = list(signature.parameters.values())
    positional = [p for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    var_positional = any(p.kind is p.VAR_POSITIONAL for p in params)
    var_keyword = any(p.kind is p.VAR_KEYWORD for p in params)
    named = [p.name for p in params if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]

    def count(how: str, given: int) -> str:
        expected = len(positional)  # no positional parameter has a default
        return (f"{name}() takes {how} {expected} positional argument"
                f"{'' if expected == 1 else 's'} ({given} given)")

    if len(args) > len(positional) and not var_positional:
        return count("exactly", len(args))
    for index in range(len(args), len(positional)):
        if positional[index].name not in kwargs:
            return count("at least" if var_positional else "exactly", index)
    for key in kwargs:
        if key in named:
            if named.index(key) < len(args):
                return f"{name}() got multiple values for keyword argument '{key}'"
        elif not var_keyword:
            return f"{name}() got an unexpected keyword argument '{key}'"
    bound = signature.bind(*args, **kwargs)
    bound.apply_defaults()
    for param in params:
        required = EXACT.get(param.name)
        if required is not None and type(bound.arguments[param.name]) is not required:
            return (f"Argument '{param.name}' has incorrect type (expected "
                    f"{required.__name__}, got {type(bound.arguments[param.name]).__name__})")
    return None


# --- drawing calls ----------------------------------------------------------------------

NAN = float("nan")

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from([10**400, -(10**400), 2**63, -(2**63) - 1, -1, 0, 6379]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.just(NAN),
    st.text(max_size=6),
    st.text(max_size=6).map(StrSubclass),
    st.integers(min_value=-3, max_value=3000).map(IntSubclass),
    st.binary(max_size=4),
    st.builds(object),
)
addresses = st.builds(Address, st.text(max_size=4), st.text(max_size=4))
values = st.one_of(
    scalars,
    addresses,
    st.lists(scalars, max_size=2),
    st.dictionaries(st.text(max_size=3), scalars, max_size=2),
    st.tuples(scalars),
)

# Values that pass more of a parameter's checks, mixed in by name and by position.
LIKELY = {
    "host": st.one_of(st.text(max_size=8), st.sampled_from(["127.0.0.1", "localhost"])),
    "port": st.integers(min_value=-(2**64), max_value=2**64),
    "timeout_ms": st.integers(min_value=-5, max_value=2**40),
    "target_address": addresses,
    "metadata": st.one_of(st.none(), st.dictionaries(st.text(max_size=3),
                                                      st.integers() | st.text(max_size=3),
                                                      max_size=2)),
}
ODD_NAMES = ["", "x", "self", "args", "kwargs", "timeout", "Host", "host ", "ключ", "名前",
             "é", "\x00", "nx", "client"]


def value_for(name: str | None) -> st.SearchStrategy[object]:
    likely = LIKELY.get(name or "")
    return values if likely is None else st.one_of(likely, values)


@dataclass
class Drawn:
    args: list[object]
    kwargs: dict[str, object]

    def resolve(self, instance: object) -> tuple[list[object], dict[str, object]]:
        args = [instance if a is SELF else a for a in self.args]
        kwargs = {k: instance if v is SELF else v for k, v in self.kwargs.items()}
        return args, kwargs


@st.composite
def drawn_calls(draw: st.DrawFn, signature: inspect.Signature, bound: bool) -> Drawn:
    """A call of a member. Bound: through an instance or the type, which supplies `self`
    (the drawn arguments come after it). Not bound: `self` is drawn like the others,
    mostly as the instance (SELF), by position or by keyword."""
    names = list(signature.parameters)
    slots = [name for name, p in signature.parameters.items()
             if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
    if bound and slots and slots[0] == "self":
        slots = slots[1:]
    args: list[object] = []
    if not bound and draw(st.integers(0, 3)) > 0:
        args.append(SELF)
        slots = slots[1:]
    # Mostly the right number of positional arguments, often one off, sometimes more.
    # (Choices are drawn as numbers 0-99 and mapped, so that the spread does not follow
    # hypothesis's preference for the edges of a list.)
    right, plan = len(slots), draw(st.integers(0, 99))
    count = (right if plan < 60 else max(right - 1, 0) if plan < 75 else right + 1 if plan < 90
             else draw(st.integers(0, right + 3)))
    for index in range(count):
        slot = slots[index] if index < len(slots) else None
        args.append(draw(value_for(slot)))
    # Mostly real parameter names (each one may still be given twice or be positional),
    # some odd ones: empty, non-ASCII, a NUL, near misses, any text.
    keys: list[str] = []
    for _ in range(draw(st.integers(0, 3))):
        plan = draw(st.integers(0, 9))
        key = draw(st.sampled_from(names) if plan < 7 else
                   st.sampled_from(ODD_NAMES) if plan < 9 else st.text(max_size=4))
        if key not in keys:
            keys.append(key)
    kwargs: dict[str, object] = {}
    for key in keys:
        if key == "self" and not bound and draw(st.booleans()):
            kwargs[key] = SELF
        else:
            kwargs[key] = draw(value_for(key))
    return Drawn(args, kwargs)


# --- outcomes and state ---------------------------------------------------------------

def outcome(fn: Callable[..., object], args: list[object], kwargs: dict[str, object]) -> tuple:
    try:
        result = fn(*args, **kwargs)
    except Exception as error:  # anything but an Exception (a crash) fails the test
        return ("raised", type(error), str(error))
    return ("returned", describe(result))


def describe(value: object) -> object:
    """What a result is, for comparing the member's with the twin's."""
    if isinstance(value, redis.Redis):
        pool = value.connection_pool
        fields = ["host", "port", "username", "password", "ssl_certfile", "ssl_keyfile",
                  "ssl_ca_certs"]
        return ("Redis", pool.connection_class,
                [pool.connection_kwargs.get(f, "<absent>") for f in fields])
    if isinstance(value, LocalLatch):
        return ("LocalLatch", local_state(value))
    if type(value) is RemoteLatch:
        return ("RemoteLatch", vars(value))
    assert value is None or type(value) is bool, f"unexpected result {value!r}"
    return value


def local_state(instance: object) -> object:
    locks = getattr(instance, "locks", None)
    data = getattr(instance, "lock_data", None)
    if not isinstance(locks, dict) or not isinstance(data, dict):
        return (locks, data)
    return (
        [(key, type(lock), lock.locked()) for key, lock in locks.items()],
        [(key, record.expires_at, record.data) for key, record in data.items()],
    )


def remote_state(instance: object, server: redis.Redis) -> object:
    keys = sorted(server.keys("*"))
    client = getattr(instance, "client", "<absent>")
    if isinstance(client, redis.Redis):
        client = "<client>"
    return ([(key, server.get(key)) for key in keys], client)


# --- the members ------------------------------------------------------------------------

@dataclass
class Member:
    name: str                             # test id
    twin: Callable[..., object]           # pure-Python signature and steps
    real: Callable[..., object] | str     # the native member, or its name on the instance
    bound: bool                           # True: the call supplies self (or takes none)


def remote_members() -> list[Member]:
    get = RemoteLatch.__dict__
    twin = RemoteTwin.__dict__
    return [
        Member("is_connected_getter", twin["is_connected"], get["is_connected"].fget, False),
        Member("is_alive_getter", twin["is_alive"], get["is_alive"].fget, False),
        Member("connect_bound", twin["connect"], "connect", True),
        Member("connect_unbound", twin["connect"], get["connect"], False),
        Member("disconnect_bound", twin["disconnect"], "disconnect", True),
        Member("disconnect_unbound", twin["disconnect"], get["disconnect"], False),
        Member("acquire_bound", twin["acquire"], "acquire", True),
        Member("acquire_unbound", twin["acquire"], get["acquire"], False),
        Member("release_bound", twin["release"], "release", True),
        Member("release_unbound", twin["release"], get["release"], False),
        Member("get_redis_client", twin["_get_redis_client"].__func__,
               RemoteLatch._get_redis_client, True),
    ]


def local_members() -> list[Member]:
    get = LocalLatch.__dict__
    twin = LocalTwin.__dict__
    return [
        Member("connect_bound", twin["connect"], "connect", True),
        Member("connect_unbound", twin["connect"], get["connect"], False),
        Member("disconnect_bound", twin["disconnect"], "disconnect", True),
        Member("disconnect_unbound", twin["disconnect"], get["disconnect"], False),
        Member("is_connected_getter", twin["is_connected"], get["is_connected"].fget, False),
        Member("is_alive_getter", twin["is_alive"], get["is_alive"].fget, False),
        Member("init_unbound", twin["__init__"], get["__init__"], False),
        Member("acquire_bound", twin["acquire"], "acquire", True),
        Member("acquire_unbound", twin["acquire"], get["acquire"], False),
        Member("release_bound", twin["release"], "release", True),
        Member("release_unbound", twin["release"], get["release"], False),
    ]


def with_self(member: Member, drawn: Drawn) -> tuple[list[object], dict[str, object]]:
    """The arguments as the binder sees them: `self` first for a bound call."""
    args, kwargs = list(drawn.args), dict(drawn.kwargs)
    if member.bound and "self" in inspect.signature(member.twin).parameters:
        args.insert(0, SELF)
    return args, kwargs


def expected_binding(member: Member, drawn: Drawn) -> str | None:
    signature = inspect.signature(member.twin)
    args, kwargs = with_self(member, drawn)
    error = binding_error(member.twin.__name__, signature, args, kwargs)
    try:
        signature.bind(*args, **kwargs)
        binds = True
    except TypeError:
        binds = False
    type_test = error is not None and error.startswith("Argument '")
    assert binds == (error is None or type_test), (
        f"the twin's own binding ({binds}) disagrees with the rules ({error!r})")
    return error


def call_real(member: Member, instance: object, drawn: Drawn) -> tuple:
    args, kwargs = drawn.resolve(instance)
    if isinstance(member.real, str):  # through the instance
        return outcome(getattr(instance, member.real), args, kwargs)
    return outcome(member.real, args, kwargs)


def call_twin(member: Member, instance: object, drawn: Drawn) -> tuple:
    args, kwargs = with_self(member, drawn)
    args = [instance if a is SELF else a for a in args]
    kwargs = {k: instance if v is SELF else v for k, v in kwargs.items()}
    return outcome(member.twin, args, kwargs)


# --- the tests ----------------------------------------------------------------------------

@pytest.fixture
def quiet_modules(monkeypatch: pytest.MonkeyPatch) -> None:
    """No call may wait, and the local clock stands still (records are compared)."""
    def no_wait(seconds: object) -> None:
        raise AssertionError("a fuzzed call waited")
    monkeypatch.setattr(remote_latch, "sleep", no_wait)
    monkeypatch.setattr(local_latch, "time", lambda: NOW)


@pytest.mark.parametrize("member", remote_members(), ids=lambda m: m.name)
def test_remote_member_binds_like_python(member: Member, redis_server: Any,
                                         quiet_modules: None) -> None:
    server = redis.Redis(port=redis_server.port)
    server.flushall()
    signature = inspect.signature(member.twin)

    # Each client is closed once its example is done: one left to the collector would close
    # its socket with a ResourceWarning (an error here) in whichever test collects it.
    made: list[redis.Redis] = []

    def instance(kind: str) -> RecordingLatch:
        latch = RecordingLatch()
        if kind == "connected":
            latch.client = redis.Redis(host="127.0.0.1", port=redis_server.port)
            made.append(latch.client)
        return latch

    def close_made() -> None:
        while made:
            made.pop().close()

    @FUZZ
    @given(drawn=drawn_calls(signature, member.bound),
           kind=st.sampled_from(["unconnected", "connected"]))
    def run(drawn: Drawn, kind: str) -> None:
        close_made()
        error = expected_binding(member, drawn)
        real_instance = instance(kind)
        real = call_real(member, real_instance, drawn)
        real_state = remote_state(real_instance, server)
        server.flushall()
        if error is not None:
            assert real == ("raised", TypeError, error)
            assert real_state == ([], "<absent>" if kind == "unconnected" else "<client>")
            return
        twin_instance = instance(kind)
        twin = call_twin(member, twin_instance, drawn)
        twin_state = remote_state(twin_instance, server)
        server.flushall()
        assert real == twin
        assert real_state == twin_state

    try:
        run()
    finally:
        close_made()
        server.flushall()
        server.close()


@pytest.mark.parametrize("member", local_members(), ids=lambda m: m.name)
def test_local_member_binds_like_python(member: Member, quiet_modules: None) -> None:
    signature = inspect.signature(member.twin)

    @FUZZ
    @given(drawn=drawn_calls(signature, member.bound))
    def run(drawn: Drawn) -> None:
        error = expected_binding(member, drawn)
        real_instance = LocalLatch()
        real = call_real(member, real_instance, drawn)
        if error is not None:
            assert real == ("raised", TypeError, error)
            assert local_state(real_instance) == ([], [])
            return
        twin_instance = LocalLatch()
        twin = call_twin(member, twin_instance, drawn)
        assert real == twin
        assert local_state(real_instance) == local_state(twin_instance)

    run()


# Every named parameter of both classes, by keyword, with values that are not the defaults.
BY_KEYWORD: dict[str, object] = {
    "self": SELF, "target_address": Address("kw", "built"), "timeout_ms": 1500,
    "blocking": False, "metadata": {"k": 1}, "host": "localhost", "port": 6380,
    "username": "user", "password": "secret", "ssl": True, "ssl_certfile": "cert",
    "ssl_keyfile": "key", "ssl_ca_certs": "ca",
}


def built(name: str) -> str:
    """`name` made at run time: equal to it, but not the interned object."""
    made = "".join(list(name))
    assert made == name and made is not name
    return made


@pytest.mark.parametrize(
    ("backend", "member"),
    [("remote", m) for m in remote_members()] + [("local", m) for m in local_members()],
    ids=lambda value: value if isinstance(value, str) else value.name,
)
def test_keyword_names_built_at_run_time_bind_like_literal_ones(
        backend: str, member: Member, redis_server: Any, quiet_modules: None) -> None:
    server = redis.Redis(port=redis_server.port)
    params = inspect.signature(member.twin).parameters.values()
    names = [p.name for p in params if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)
             and not (member.bound and p.name == "self")]
    seen = []
    for spell in (str, built):
        drawn = Drawn([], {spell(name): BY_KEYWORD[name] for name in names})
        if backend == "local":
            instance: Any = LocalLatch()
            seen.append((call_real(member, instance, drawn), local_state(instance)))
        else:
            instance = RecordingLatch()
            client = instance.client = redis.Redis(host="127.0.0.1", port=redis_server.port)
            seen.append((call_real(member, instance, drawn), remote_state(instance, server)))
            server.flushall()
            client.close()
    server.close()
    assert seen[0][0][0] == "returned", seen[0]
    assert seen[1] == seen[0]


def test_local_constructor_binds_like_python(quiet_modules: None) -> None:
    """LocalLatch(...) passes its arguments to the native __init__ after the new instance."""
    member = Member("LocalLatch", LocalTwin.__dict__["__init__"], LocalLatch, True)

    @FUZZ
    @given(drawn=drawn_calls(inspect.signature(LocalTwin.__init__), bound=True))
    def run(drawn: Drawn) -> None:
        error = expected_binding(member, drawn)
        result = outcome(LocalLatch, drawn.args, drawn.kwargs)
        if error is not None:
            assert result == ("raised", TypeError, error)
        else:
            assert result == ("returned", ("LocalLatch", ([], [])))

    run()


def test_remote_constructor_takes_nothing() -> None:
    """RemoteLatch has no initialiser of its own: object's rule, no arguments at all."""
    @FUZZ
    @given(drawn=drawn_calls(inspect.signature(LocalTwin.__init__), bound=True))
    def run(drawn: Drawn) -> None:
        result = outcome(RemoteLatch, drawn.args, drawn.kwargs)
        if drawn.args or drawn.kwargs:
            assert result == ("raised", TypeError, "RemoteLatch() takes no arguments")
        else:
            assert result == ("returned", ("RemoteLatch", {}))

    run()


def test_rules_agree_with_known_texts() -> None:
    """The rules above, checked against texts that the native members are known to give."""
    connect = inspect.signature(RemoteTwin.connect)
    assert binding_error("connect", connect, [SELF, "h", 1], {}) == (
        "connect() takes exactly 2 positional arguments (3 given)")
    assert binding_error("connect", connect, [SELF], {"port": 1, "bogus": 2}) == (
        "connect() takes exactly 2 positional arguments (1 given)")
    assert binding_error("connect", connect, [SELF, "h"], {"bogus": 1, "host": 2}) == (
        "connect() got an unexpected keyword argument 'bogus'")
    assert binding_error("connect", connect, [SELF, None], {"port": True}) == (
        "Argument 'host' has incorrect type (expected str, got NoneType)")
    local_connect = inspect.signature(LocalTwin.connect)
    assert binding_error("connect", local_connect, [], {"x": 1}) == (
        "connect() takes at least 1 positional argument (0 given)")
    assert binding_error("connect", local_connect, [SELF, 1], {"args": 1, "kwargs": 2}) is None
    assert binding_error("connect", local_connect, [SELF], {"self": 1}) == (
        "connect() got multiple values for keyword argument 'self'")
