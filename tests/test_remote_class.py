"""RemoteLatch as a class: its members, their binding rules, and the connection lifecycle."""

from __future__ import annotations

import inspect
from typing import Any

import pytest
import redis

from conftest import check_python
from quarn_data.lock.implementations import remote_latch
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address

MEMBERS = ["is_connected", "is_alive", "connect", "disconnect", "acquire", "release",
           "_get_redis_client"]
CONNECT_DEFAULTS = {"port": 6379, "username": None, "password": None, "ssl": False,
                    "ssl_certfile": None, "ssl_keyfile": None, "ssl_ca_certs": None}
CONNECT_ANNOTATIONS = {"host": "str", "port": "int", "username": "str | None",
                       "password": "str | None", "ssl": "bool", "ssl_certfile": "str | None",
                       "ssl_keyfile": "str | None", "ssl_ca_certs": "str | None"}


def doc(*lines: str, indent: int = 8) -> str:
    """A docstring as the class body writes it: lines indented, blank lines empty."""
    pad = " " * indent
    return "\n" + "".join((pad + line if line else "") + "\n" for line in lines) + pad


def section(*lines: str) -> tuple[str, ...]:
    """Lines under a heading such as Args: are indented four more."""
    return tuple("    " + line for line in lines)


DOCS = {
    "is_connected": doc("Checks if the Redis client is connected.", "", "Returns:",
                        *section("bool: True if the Redis client is connected, False otherwise.")),
    "is_alive": doc("Checks if the Redis client is alive by sending a ping command.", "",
                    "Returns:", *section("bool: True if the Redis client is alive and responds "
                                         "to the ping, False otherwise.")),
    "connect": doc(
        "Connects to the Redis server with the specified parameters.", "", "Args:",
        *section("host (str): The hostname of the Redis server.",
                 "port (int, optional): The port number of the Redis server. Defaults to 6379.",
                 "username (str | None, optional): The username for Redis authentication. "
                 "Defaults to None.",
                 "password (str | None, optional): The password for Redis authentication. "
                 "Defaults to None.",
                 "ssl (bool, optional): Whether to use SSL for the connection. Defaults to False.",
                 "ssl_certfile (str | None, optional): The path to the SSL certificate file. "
                 "Defaults to None.",
                 "ssl_keyfile (str | None, optional): The path to the SSL key file. "
                 "Defaults to None.",
                 "ssl_ca_certs (str | None, optional): The path to the SSL CA certificates file. "
                 "Defaults to None."),
        "", "Returns:", *section("None")),
    "disconnect": doc("Disconnects the Redis client.", "", "Returns:", *section("None")),
    "acquire": doc(
        "Acquires a lock for the given target address.", "", "Args:",
        *section("target_address (Address): The address to lock.",
                 "timeout_ms (int, optional): The timeout in milliseconds to wait for the lock. "
                 "Defaults to -1 (no timeout).",
                 "blocking (bool, optional): Whether to block until the lock is acquired. "
                 "Defaults to True.",
                 "metadata (dict[str, Any] | None, optional): Additional metadata to associate "
                 "with the lock. Defaults to None"),
        "", "Returns:", *section("bool: True if the lock was acquired, False otherwise.")),
    "release": doc("Releases the lock for the given target address.", "", "Args:",
                   *section("target_address (Address): The address to unlock."),
                   "", "Returns:", *section("None")),
    "_get_redis_client": None,
}


def function(name: str) -> Any:
    entry = RemoteLatch.__dict__[name]
    return entry.fget if isinstance(entry, property) else entry.__func__ if isinstance(
        entry, staticmethod) else entry


# --- the class ------------------------------------------------------------------------------


def test_class_namespace() -> None:
    keys = list(RemoteLatch.__dict__)
    assert keys[:3] == ["__module__", "__doc__", "__annotations__"]
    assert keys[3:10] == MEMBERS
    assert RemoteLatch.__module__ == "quarn_data.lock.implementations.remote_latch"
    assert RemoteLatch.__doc__ == doc(
        "Represents a Redis-based lock mechanism.", "", "Attributes:",
        "    client (redis.Redis): The Redis client used for lock operations.", indent=4)
    assert RemoteLatch.__annotations__ == {"client": "redis.Redis"}
    assert not hasattr(RemoteLatch, "client")
    assert RemoteLatch.__bases__ == (remote_latch.LockBase,)
    assert type(RemoteLatch) is type(remote_latch.LockBase)
    assert not RemoteLatch.__abstractmethods__


@pytest.mark.parametrize("name", MEMBERS)
def test_member_attributes(name: str) -> None:
    fn = function(name)
    assert fn.__name__ == name
    assert fn.__qualname__ == f"RemoteLatch.{name}"
    assert fn.__module__ == "quarn_data.lock.implementations.remote_latch"
    assert fn.__doc__ == DOCS[name]
    assert fn.__defaults__ is None
    assert all(isinstance(text, str) for text in fn.__annotations__.values())
    assert list(fn.__annotations__)[-1] == "return"
    assert fn.__globals__ is vars(remote_latch)
    assert inspect.signature(fn).parameters  # readable signature


@pytest.mark.parametrize(
    ("name", "annotations", "kwdefaults"),
    [
        ("is_connected", {"return": "bool"}, None),
        ("is_alive", {"return": "bool"}, None),
        ("connect", {**CONNECT_ANNOTATIONS, "return": "None"}, CONNECT_DEFAULTS),
        ("disconnect", {"return": "None"}, None),
        ("acquire", {"target_address": "Address", "timeout_ms": "int", "blocking": "bool",
                     "metadata": "dict[str, Any] | None", "return": "bool"},
         {"timeout_ms": -1, "blocking": True, "metadata": None}),
        ("release", {"target_address": "Address", "return": "None"}, None),
        ("_get_redis_client", {**CONNECT_ANNOTATIONS, "return": "Any"}, CONNECT_DEFAULTS),
    ],
)
def test_annotations_and_defaults(name: str, annotations: dict[str, str],
                                  kwdefaults: dict[str, object] | None) -> None:
    fn = function(name)
    assert fn.__annotations__ == annotations
    assert list(fn.__annotations__) == list(annotations)
    assert fn.__kwdefaults__ == kwdefaults
    if kwdefaults:
        assert list(fn.__kwdefaults__) == list(kwdefaults)
        assert all(type(fn.__kwdefaults__[k]) is type(v) for k, v in kwdefaults.items())


def test_acquire_code_object_lists_its_locals() -> None:
    code = RemoteLatch.acquire.__code__
    assert code.co_varnames[:5] == ("self", "target_address", "timeout_ms", "blocking",
                                    "metadata")
    assert "_set_command" in code.co_varnames and "_timing" in code.co_varnames
    assert (code.co_argcount, code.co_kwonlyargcount, code.co_posonlyargcount) == (2, 3, 0)
    assert code.co_qualname == "RemoteLatch.acquire"


def test_binding_through_class_and_instance() -> None:
    latch = RemoteLatch()
    assert latch.acquire.__self__ is latch and latch.acquire.__func__ is RemoteLatch.acquire
    assert RemoteLatch.__dict__["acquire"].__get__(None, RemoteLatch) is RemoteLatch.acquire
    assert RemoteLatch._get_redis_client is latch._get_redis_client
    assert isinstance(RemoteLatch.__dict__["_get_redis_client"], staticmethod)
    for name in ("is_connected", "is_alive"):
        prop = RemoteLatch.__dict__[name]
        assert isinstance(prop, property) and prop.fset is None and prop.fdel is None
        with pytest.raises(AttributeError):
            setattr(latch, name, True)


# --- binding errors -------------------------------------------------------------------------

COUNT = "{}() takes exactly {} positional argument{} ({} given)"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda r: r.acquire(), COUNT.format("acquire", 2, "s", 1)),
        (lambda r: r.acquire(Address("a"), 100), COUNT.format("acquire", 2, "s", 3)),
        (lambda r: RemoteLatch.acquire(), COUNT.format("acquire", 2, "s", 0)),
        (lambda r: RemoteLatch.acquire(target_address=Address("a")),
         COUNT.format("acquire", 2, "s", 0)),
        (lambda r: r.acquire(timeout_ms=5), COUNT.format("acquire", 2, "s", 1)),
        (lambda r: r.acquire(Address("a"), timeout=5),
         "acquire() got an unexpected keyword argument 'timeout'"),
        (lambda r: r.acquire(Address("a"), target_address=Address("a")),
         "acquire() got multiple values for keyword argument 'target_address'"),
        (lambda r: r.release(), COUNT.format("release", 2, "s", 1)),
        (lambda r: r.release(Address("a"), Address("b")), COUNT.format("release", 2, "s", 3)),
        (lambda r: r.release(Address("a"), force=True),
         "release() got an unexpected keyword argument 'force'"),
        (lambda r: r.connect(), COUNT.format("connect", 2, "s", 1)),
        (lambda r: r.connect("h", 6379), COUNT.format("connect", 2, "s", 3)),
        (lambda r: r.connect("h", db=1), "connect() got an unexpected keyword argument 'db'"),
        (lambda r: r.connect("h", host="h"),
         "connect() got multiple values for keyword argument 'host'"),
        (lambda r: r.disconnect(1), COUNT.format("disconnect", 1, "", 2)),
        (lambda r: r.disconnect(now=True),
         "disconnect() got an unexpected keyword argument 'now'"),
        (lambda r: RemoteLatch._get_redis_client("h", 6379),
         COUNT.format("_get_redis_client", 1, "", 2)),
        (lambda r: RemoteLatch._get_redis_client(), COUNT.format("_get_redis_client", 1, "", 0)),
        (lambda r: RemoteLatch.__dict__["is_alive"].fget(), COUNT.format("is_alive", 1, "", 0)),
        (lambda r: r.acquire(Address("a"), **{"\u00e9t\u00e9": 1}),
         "acquire() got an unexpected keyword argument '\u00e9t\u00e9'"),
        (lambda r: r.acquire(Address("a"), **{"": 1}),
         "acquire() got an unexpected keyword argument ''"),
    ],
)
def test_binding_errors(call: Any, message: str) -> None:
    with pytest.raises(TypeError) as info:
        call(RemoteLatch())
    assert str(info.value) == message


# A class whose attribute reads call back into one of the native functions makes a loop
# of native calls with no Python frame between them; it must end in RecursionError, not in
# a crashed interpreter. Run in a child interpreter, so that a crash fails only this test.
NATIVE_LOOPS = {
    "remote is_connected reading a client property made of itself": """
        from quarn_data.lock.implementations.remote_latch import RemoteLatch
        class Looping(RemoteLatch):
            client = property(RemoteLatch.__dict__["is_connected"].fget)
        probe = lambda: Looping().is_connected
    """,
    "local acquire as the __getattr__ that finds its lock table": """
        from quarn_data.lock.implementations.local_latch import LocalLatch
        class Looping(LocalLatch):
            __getattr__ = LocalLatch.acquire
        probe = lambda: object.__new__(Looping).acquire("t")
    """,
}


@pytest.mark.parametrize("setup", NATIVE_LOOPS.values(), ids=list(NATIVE_LOOPS))
def test_a_loop_of_native_calls_ends_in_recursion_error(setup: str) -> None:
    out = check_python(inspect.cleandoc(setup) + """
try:
    probe()
except RecursionError as error:
    print("RecursionError", error)
""")
    assert out.startswith("RecursionError"), out


class Text(str):
    pass


class Number(int):
    pass


TYPE = "Argument '{}' has incorrect type (expected {}, got {})"


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"host": None}, TYPE.format("host", "str", "NoneType")),
        ({"host": Text("h")}, TYPE.format("host", "str", "Text")),
        ({"host": b"h"}, TYPE.format("host", "str", "bytes")),
        ({"host": "h", "port": True}, TYPE.format("port", "int", "bool")),
        ({"host": "h", "port": None}, TYPE.format("port", "int", "NoneType")),
        ({"host": "h", "port": Number(1)}, TYPE.format("port", "int", "Number")),
        ({"host": "h", "port": 6379.0}, TYPE.format("port", "int", "float")),
        ({"host": 1, "port": "x"}, TYPE.format("host", "str", "int")),  # host is tested first
    ],
)
def test_connect_type_tests_come_before_anything_else(kwargs: dict[str, Any],
                                                      message: str) -> None:
    calls = []

    class Recording(RemoteLatch):
        @staticmethod
        def _get_redis_client(*args: Any, **kw: Any) -> Any:
            calls.append(args)

    latch = Recording()
    for connect in (latch.connect, RemoteLatch._get_redis_client):
        with pytest.raises(TypeError) as info:
            connect(**kwargs)
        assert str(info.value) == message
    assert calls == [] and not hasattr(latch, "client")


@pytest.mark.parametrize("value", [True, None, 1.5, Number(5)])
def test_timeout_type_test_comes_before_the_connection_test(value: object) -> None:
    for call in (lambda: RemoteLatch().acquire(Address("a"), timeout_ms=value),
                 lambda: RemoteLatch().acquire(Address("a"), timeout_ms=value, blocking=False)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == TYPE.format("timeout_ms", "int", type(value).__name__)


# --- connection lifecycle -------------------------------------------------------------------


class Unusable:
    """A stand-in for the redis module that must not be touched."""

    def __getattr__(self, name: str) -> Any:
        raise AssertionError(f"redis.{name} touched")


def test_unconnected_instance(monkeypatch: pytest.MonkeyPatch) -> None:
    latch = RemoteLatch()
    monkeypatch.setattr(remote_latch, "redis", Unusable())
    assert latch.is_connected is False
    assert latch.is_alive is False
    with pytest.raises(AttributeError):
        latch.disconnect()
    latch.client = None
    assert (latch.is_connected, latch.is_alive) == (False, False)
    with pytest.raises(AttributeError, match="close"):
        latch.disconnect()


def test_connect_builds_the_client_with_every_parameter(monkeypatch: pytest.MonkeyPatch) -> None:
    made = []

    class RecordingRedis(redis.Redis):
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            made.append((args, kwargs))
            no_retries = redis.retry.Retry(redis.backoff.NoBackoff(), 0)
            super().__init__(*args, **kwargs, retry=no_retries)

    monkeypatch.setattr(redis, "Redis", RecordingRedis)
    latch = RemoteLatch()
    assert latch.connect("127.0.0.1", port=1) is None  # nothing listens there
    assert made == [((), {"host": "127.0.0.1", **CONNECT_DEFAULTS, "port": 1})]
    assert list(made[0][1]) == ["host", *CONNECT_DEFAULTS]
    assert type(latch.client) is RecordingRedis
    assert latch.is_connected is True
    assert latch.is_alive is False  # ping fails with the client's ConnectionError


def test_state_table_against_a_server(redis_server: Any) -> None:
    latch = RemoteLatch()
    latch.connect("127.0.0.1", port=redis_server.port)
    first = latch.client
    assert (latch.is_connected, latch.is_alive) == (True, True)
    assert latch.disconnect() is None
    assert latch.client is first and latch.is_connected is True
    assert latch.is_alive is True  # the closed client reconnects for its ping
    latch.disconnect()
    latch.disconnect()  # closing again is the client's business
    latch.connect("127.0.0.1", port=redis_server.port)
    assert latch.client is not first and latch.is_alive is True


def test_reconnecting_does_not_close_the_previous_client(redis_server: Any) -> None:
    closed = []

    class Client(redis.Redis):
        def close(self) -> None:
            closed.append(self)
            super().close()

    class Latch(RemoteLatch):
        @staticmethod
        def _get_redis_client(host: str, **kwargs: Any) -> Any:
            return Client(host=host, **kwargs)

    latch = Latch()
    latch.connect("127.0.0.1", port=redis_server.port)
    first = latch.client
    latch.connect("127.0.0.1", port=redis_server.port)
    assert latch.client is not first and closed == []
    latch.disconnect()
    assert closed == [latch.client]
    first.close()


def test_a_subclass_factory_or_an_instance_attribute_decides_the_client() -> None:
    sentinel = object()

    class Latch(RemoteLatch):
        @staticmethod
        def _get_redis_client(host: str, **kwargs: Any) -> Any:
            return (host, kwargs)

    latch = Latch()
    latch.connect("h", ssl=True)
    assert latch.client == ("h", {**CONNECT_DEFAULTS, "ssl": True})
    latch._get_redis_client = lambda *a, **k: sentinel
    latch.connect("h")
    assert latch.client is sentinel


class ConnectionErrorChild(redis.exceptions.ConnectionError):
    pass


class Pinging:
    """A client object whose ping does what it is told (bad input, not a Redis double)."""

    def __init__(self, outcome: Any) -> None:
        self.outcome = outcome

    def ping(self) -> Any:
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


@pytest.mark.parametrize(
    ("outcome", "alive"),
    [
        (False, True),  # the reply is not looked at
        (None, True),
        (redis.exceptions.ConnectionError("down"), False),
        (ConnectionErrorChild("down"), False),
        (redis.exceptions.TimeoutError("slow"), redis.exceptions.TimeoutError),
        (redis.exceptions.AuthenticationError("who"), False),  # a ConnectionError subclass
        (KeyError("k"), KeyError),
        (KeyboardInterrupt(), KeyboardInterrupt),
    ],
)
def test_is_alive_outcomes(outcome: Any, alive: Any) -> None:
    latch = RemoteLatch()
    latch.client = Pinging(outcome)
    if isinstance(alive, bool):
        assert latch.is_alive is alive
    else:
        with pytest.raises(alive):
            latch.is_alive  # noqa: B018


def test_is_alive_resolves_the_connection_error_at_that_moment(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    latch = RemoteLatch()
    latch.client = Pinging(KeyError("k"))
    fake = type("fake", (), {"exceptions": type("e", (), {"ConnectionError": KeyError})})
    monkeypatch.setattr(remote_latch, "redis", fake)
    assert latch.is_alive is False
    monkeypatch.delattr(remote_latch, "redis")
    with pytest.raises(NameError) as info:
        latch.is_alive  # noqa: B018
    assert isinstance(info.value.__context__, KeyError)
    monkeypatch.setattr(remote_latch, "redis", type("r", (), {"exceptions": type(
        "e", (), {"ConnectionError": 42})}), raising=False)
    with pytest.raises(TypeError, match="catching classes that do not inherit"):
        latch.is_alive  # noqa: B018


@pytest.mark.parametrize("client", [0, "", [], Pinging(None)])
def test_is_alive_asks_only_a_truthy_client(client: Any) -> None:
    latch = RemoteLatch()
    latch.client = client
    assert latch.is_connected is True
    assert latch.is_alive is bool(client)


def test_a_failing_client_lookup_propagates() -> None:
    class Broken(RemoteLatch):
        @property
        def client(self) -> Any:
            raise ValueError("broken")

    latch = Broken()
    for read in (lambda: latch.is_connected, lambda: latch.is_alive,
                 lambda: latch.acquire(Address("a")), lambda: latch.release(Address("a"))):
        with pytest.raises(ValueError, match="broken"):
            read()


@pytest.mark.parametrize(
    ("breakage", "replaced"),
    [
        ('sys.modules["redis"] = None', True),        # ModuleNotFoundError
        ('fail_with(Missing("no redis"))', True),     # any other ImportError
        ('fail_with(LookupError("finder"))', False),  # not an ImportError: unchanged
    ],
    ids=["absent", "import-error", "other-error"],
)
def test_import_errors_of_redis_at_connect_time(breakage: str, replaced: bool) -> None:
    check_python(f"""
        import sys
        from quarn_data.lock.implementations.remote_latch import RemoteLatch

        class Missing(ImportError):
            pass

        raised = []

        def fail_with(error):
            class Finder:
                @staticmethod
                def find_spec(name, path=None, target=None):
                    if name == "redis":
                        raised.append(error)
                        raise error
            del sys.modules["redis"]
            sys.meta_path.insert(0, Finder)

        {breakage}
        latch = RemoteLatch()
        try:
            latch.connect("h")
        except Exception as e:
            if {replaced}:
                assert type(e) is ImportError, repr(e)
                assert e.args == ('RemoteLatch requires the redis package. '
                                  'Use pip "install quarn_data[remote-latch]"',), e.args
                assert isinstance(e.__cause__, ImportError), repr(e.__cause__)
                assert e.__cause__ is (raised or [e.__cause__])[0]
                assert e.__context__ is e.__cause__ and e.__suppress_context__
            else:
                assert e is raised[0] and e.__cause__ is None, repr(e)
        else:
            raise AssertionError("connected without redis")
        assert not hasattr(latch, "client")
    """)


def test_get_redis_client_works_without_an_instance(redis_server: Any) -> None:
    client = RemoteLatch._get_redis_client("127.0.0.1", port=redis_server.port)
    assert type(client) is redis.Redis and client.ping() is True
    client.close()
