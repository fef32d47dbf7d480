"""help() and inspect on the native classes read as they do on a Python class.

The yardstick is a twin of each class written in Python below: the same members with
the same signatures, annotation texts and docstrings. Whatever help(), pydoc,
inspect.signature and inspect.getdoc show for the twin, they must show for the native
class, through the class and through an instance. The twins' docstrings are the texts
the classes document themselves with; the LocalLatch members that have none fall back,
as any method without a docstring does, to those of LockBase.
"""

from __future__ import annotations

import inspect
import io
import pickle
import pydoc
import re
import types
from collections.abc import Iterator
from typing import Any

import pytest
import redis

from quarn_data.lock.base import LockBase
from quarn_data.lock.implementations.local_latch import LocalLatch
from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address


class Twins:
    """Python versions of the native classes (their qualified names start with "Twins.",
    which is how inspect finds a method's class)."""

    class RemoteLatch(LockBase):
        """
        Represents a Redis-based lock mechanism.

        Attributes:
            client (redis.Redis): The Redis client used for lock operations.
        """

        client: redis.Redis

        @property
        def is_connected(self) -> bool:
            """
            Checks if the Redis client is connected.

            Returns:
                bool: True if the Redis client is connected, False otherwise.
            """
            return False

        @property
        def is_alive(self) -> bool:
            """
            Checks if the Redis client is alive by sending a ping command.

            Returns:
                bool: True if the Redis client is alive and responds to the ping, False otherwise.
            """
            return False

        def connect(self, host: str, *, port: int = 6379, username: str | None = None,
                    password: str | None = None, ssl: bool = False,
                    ssl_certfile: str | None = None, ssl_keyfile: str | None = None,
                    ssl_ca_certs: str | None = None) -> None:
            """
            Connects to the Redis server with the specified parameters.

            Args:
                host (str): The hostname of the Redis server.
                port (int, optional): The port number of the Redis server. Defaults to 6379.
                username (str | None, optional): The username for Redis authentication. Defaults to None.
                password (str | None, optional): The password for Redis authentication. Defaults to None.
                ssl (bool, optional): Whether to use SSL for the connection. Defaults to False.
                ssl_certfile (str | None, optional): The path to the SSL certificate file. Defaults to None.
                ssl_keyfile (str | None, optional): The path to the SSL key file. Defaults to None.
                ssl_ca_certs (str | None, optional): The path to the SSL CA certificates file. Defaults to None.

            Returns:
                None
            """

        def disconnect(self) -> None:
            """
            Disconnects the Redis client.

            Returns:
                None
            """

        def acquire(self, target_address: Address, *, timeout_ms: int = -1,
                    blocking: bool = True, metadata: dict[str, Any] | None = None) -> bool:
            """
            Acquires a lock for the given target address.

            Args:
                target_address (Address): The address to lock.
                timeout_ms (int, optional): The timeout in milliseconds to wait for the lock. Defaults to -1 (no timeout).
                blocking (bool, optional): Whether to block until the lock is acquired. Defaults to True.
                metadata (dict[str, Any] | None, optional): Additional metadata to associate with the lock. Defaults to None

            Returns:
                bool: True if the lock was acquired, False otherwise.
            """
            return False

        def release(self, target_address: Address) -> None:
            """
            Releases the lock for the given target address.

            Args:
                target_address (Address): The address to unlock.

            Returns:
                None
            """

        @staticmethod
        def _get_redis_client(host: str, *, port: int = 6379, username: str | None = None,
                              password: str | None = None, ssl: bool = False,
                              ssl_certfile: str | None = None, ssl_keyfile: str | None = None,
                              ssl_ca_certs: str | None = None) -> Any:
            return None

    class LocalLatch(LockBase):
        """
        A local latch implementation of the LockBase class.
        """

        def connect(self, *args: Any, **kwargs: Any) -> None:
            pass

        def disconnect(self) -> None:
            pass

        @property
        def is_connected(self) -> bool:
            return True

        @property
        def is_alive(self) -> bool:
            return True

        def __init__(self) -> None:
            pass

        def acquire(self, target_address: Address, *, timeout_ms: int = -1,
                    blocking: bool = True, metadata: dict[str, Any] | None = None) -> bool:
            """
            Acquires the lock for a specific target (resource) with optional timeout, blocking, and metadata parameters.

            Args:
                target_address (Address): The target address to acquire the lock for.
                timeout_ms (int, optional): The timeout in milliseconds. Defaults to -1 (no timeout).
                blocking (bool, optional): Whether to block until the lock is acquired. Defaults to True.
                metadata (dict[str, Any] | None, optional): The metadata to store with the lock. Defaults to None.

            Returns:
                bool: True if the lock was acquired, False otherwise.
            """
            return False

        def release(self, target_address: Address) -> None:
            """
            Releases the lock for a specific target (resource).

            Args:
                target_address (Address): The target address to release the lock for.

            Raises:
                RuntimeError: If the lock is not acquired.

            Returns:
                None
            """


PAIRS = [
    pytest.param(RemoteLatch, Twins.RemoteLatch, id="RemoteLatch"),
    pytest.param(LocalLatch, Twins.LocalLatch, id="LocalLatch"),
]


@pytest.fixture(autouse=True)
def leave_no_annotations_behind() -> Iterator[None]:
    """Reading `cls.__annotations__` (pydoc does) stores an empty dict in a class that had
    none, as for any class; take it out again so that other tests see the class as loaded."""
    classes = (RemoteLatch, LocalLatch, Twins.RemoteLatch, Twins.LocalLatch)
    had = {cls: "__annotations__" in vars(cls) for cls in classes}
    yield
    for cls, present in had.items():
        if not present and "__annotations__" in vars(cls):
            del cls.__annotations__


def members(cls: type) -> list[str]:
    """Names of the methods, properties and static methods that `cls` itself defines."""
    return [
        name for name, value in vars(cls).items()
        if isinstance(value, (property, staticmethod)) or inspect.isroutine(value)
    ]


MEMBERS = [
    pytest.param(native, twin, name, id=f"{native.__name__}.{name}")
    for native, twin in [(RemoteLatch, Twins.RemoteLatch), (LocalLatch, Twins.LocalLatch)]
    for name in members(native)
]


def body(text: str) -> str:
    """pydoc output without its title line, which names the module (and, for a function,
    the function's type)."""
    title, _, rest = text.partition("\n")
    assert title.startswith(("Python Library Documentation: ", "Help on ")), title
    return rest


def as_native(text: str, native: type, twin: type) -> str:
    """The twin's help text with the twin's module in class names replaced by the
    native class's."""
    return text.replace(f"{twin.__module__}.{twin.__name__}",
                        f"{native.__module__}.{native.__name__}")


def help_text(thing: object) -> str:
    """What help(thing) prints, through pydoc's Helper as the builtin help() uses it."""
    out = io.StringIO()
    pydoc.Helper(output=out).help(thing)
    return out.getvalue()


def new(cls: type) -> Any:
    return cls()


def entry(text: str, name: str) -> str:
    """The entry of member `name` in pydoc's text of a class: its title line (with the
    signature, over several lines where pydoc wraps it) and its indented docstring."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines)
                 if line == f" |  {name}" or line.startswith(f" |  {name}("))
    end = next((i for i in range(start + 1, len(lines))
                if re.match(r" \|  [A-Za-z_-]", lines[i])), len(lines))
    return "\n".join(lines[start:end])


class MethodDescriptor:
    """A twin's function in the shape of a native function: a method descriptor that
    binds through __get__, names its class in __objclass__ and shows its signature through
    a code object, but is no Python function. pydoc notes the class of such a descriptor
    on some versions and not on others; this one is documented as the native ones are."""

    __objclass__: type

    def __init__(self, function: Any) -> None:
        self.function = function
        for attribute in ("__name__", "__qualname__", "__module__", "__doc__", "__code__",
                          "__defaults__", "__kwdefaults__", "__annotations__"):
            setattr(self, attribute, getattr(function, attribute))

    def __get__(self, instance: object, owner: type | None = None) -> Any:
        return self if instance is None else types.MethodType(self, instance)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self.function(*args, **kwargs)


def shaped_like_native(twin: type) -> type:
    """A copy of a twin class whose functions are MethodDescriptors."""
    namespace: dict[str, Any] = {"__qualname__": twin.__qualname__}
    descriptors = []
    for key, value in vars(twin).items():
        if key in ("__dict__", "__weakref__"):
            continue
        if inspect.isfunction(value):
            value = MethodDescriptor(value)
            descriptors.append(value)
        elif isinstance(value, staticmethod):
            descriptors.append(MethodDescriptor(value.__func__))
            value = staticmethod(descriptors[-1])
        namespace[key] = value
    shaped = type(twin)(twin.__name__, twin.__bases__, namespace)
    for descriptor in descriptors:
        descriptor.__objclass__ = shaped
    return shaped


@pytest.mark.parametrize(("native", "twin"), PAIRS)
def test_twin_defines_the_same_members(native: type, twin: type) -> None:
    assert sorted(members(native)) == sorted(members(twin))


@pytest.mark.parametrize(("native", "twin"), PAIRS)
@pytest.mark.parametrize("through", ["class", "instance"])
def test_help_reads_as_for_a_python_class(native: type, twin: type, through: str) -> None:
    def subject(cls: type) -> object:
        return cls if through == "class" else new(cls)

    assert body(help_text(subject(native))) == body(help_text(subject(twin)))
    rendered = pydoc.render_doc(subject(native), renderer=pydoc.plaintext)
    assert body(rendered) == body(pydoc.render_doc(subject(twin), renderer=pydoc.plaintext))


@pytest.mark.parametrize(("native", "twin", "name"), MEMBERS)
def test_help_shows_each_public_member_with_signature_and_docstring(
        native: type, twin: type, name: str) -> None:
    text = pydoc.render_doc(native, renderer=pydoc.plaintext)
    if name.startswith("_") and name != "__init__":
        assert f" {name}(" not in text, "private members stay out of help(), as in Python"
        return
    expected = entry(pydoc.render_doc(twin, renderer=pydoc.plaintext), name)
    assert expected.count("\n") > 1, "an entry has its signature and its docstring"
    assert entry(text, name) == expected


@pytest.mark.parametrize(("native", "twin", "name"), MEMBERS)
@pytest.mark.parametrize("through", ["class", "instance"])
def test_signature_of_every_member(native: type, twin: type, name: str, through: str) -> None:
    def member(cls: type) -> Any:
        value = vars(cls)[name]
        if isinstance(value, property):
            return value.fget  # the getter; the property itself is not callable
        return getattr(cls if through == "class" else new(cls), name)

    native_signature = inspect.signature(member(native))
    twin_signature = inspect.signature(member(twin))
    assert native_signature == twin_signature
    assert str(native_signature) == str(twin_signature)
    for parameter in native_signature.parameters.values():
        assert parameter.annotation is inspect.Parameter.empty or isinstance(
            parameter.annotation, str)
    assert isinstance(native_signature.return_annotation, str)
    bound = through == "instance" and not isinstance(vars(native)[name], (property, staticmethod))
    assert ("self" in native_signature.parameters) == (not bound and name != "_get_redis_client")


@pytest.mark.parametrize(("native", "twin", "name"), [
    member for member in MEMBERS
    if not isinstance(vars(member.values[0])[member.values[2]], property)
])
def test_members_pickle_by_qualified_name(native: type, twin: type, name: str) -> None:
    member = getattr(native, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(member, protocol)) is member
    through_instance = pickle.loads(pickle.dumps(getattr(new(native), name)))
    if isinstance(vars(native)[name], staticmethod):
        assert through_instance is member
    else:
        assert through_instance.__func__ is member and type(through_instance.__self__) is native


@pytest.mark.parametrize("native", [RemoteLatch, LocalLatch])
@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_names_take_only_text_as_on_a_python_function(native: type, attribute: str) -> None:
    def python_function() -> None:
        pass

    member = native.acquire  # type: ignore[attr-defined]
    original = getattr(member, attribute)
    try:
        for value in (1, None, b"acquire"):
            with pytest.raises(TypeError) as expected:
                setattr(python_function, attribute, value)
            with pytest.raises(TypeError) as refused:
                setattr(member, attribute, value)
            assert str(refused.value) == str(expected.value)
        with pytest.raises(TypeError) as refused:
            delattr(member, attribute)
        assert str(refused.value) == str(expected.value)
        assert getattr(member, attribute) == original
        setattr(member, attribute, "renamed")
        assert getattr(member, attribute) == "renamed"
    finally:
        setattr(member, attribute, original)


@pytest.mark.parametrize(("native", "twin", "name"), MEMBERS)
@pytest.mark.parametrize("through", ["class", "instance"])
def test_getdoc_of_every_member(native: type, twin: type, name: str, through: str) -> None:
    def member(cls: type) -> Any:
        if isinstance(vars(cls)[name], property):
            return vars(cls)[name]  # reading it through an instance gives its value
        return getattr(cls if through == "class" else new(cls), name)

    assert inspect.getdoc(member(native)) == inspect.getdoc(member(twin))
    assert pydoc.getdoc(member(native)) == pydoc.getdoc(member(twin))


@pytest.mark.parametrize(("native", "twin"), PAIRS)
def test_getdoc_of_the_class(native: type, twin: type) -> None:
    assert inspect.getdoc(native) == inspect.getdoc(twin)
    assert inspect.getdoc(new(native)) == inspect.getdoc(new(twin))


@pytest.mark.parametrize("name", ["connect", "disconnect", "is_connected", "is_alive",
                                  "__init__"])
def test_local_members_without_docstrings_inherit_the_base_ones(name: str) -> None:
    """They have no docstring of their own, so getdoc() and help() take LockBase's (or
    object's, for __init__), through the class and through an instance alike."""
    own = vars(LocalLatch)[name]
    assert (own.fget if isinstance(own, property) else own).__doc__ is None
    base_doc = inspect.getdoc(getattr(LockBase, name))
    assert base_doc
    through_class = inspect.getdoc(getattr(LocalLatch, name))
    through_instance = inspect.getdoc(vars(LocalLatch)[name] if isinstance(own, property)
                                      else getattr(LocalLatch(), name))
    assert through_class == through_instance == base_doc


@pytest.mark.parametrize(("native", "twin", "name"), [
    member for member in MEMBERS
    if not isinstance(vars(member.values[0])[member.values[2]], property)
])
def test_help_on_a_method(native: type, twin: type, name: str) -> None:
    shaped = shaped_like_native(twin)
    for owner, twin_owner in ((native, shaped), (new(native), new(shaped))):
        twin_text = as_native(body(help_text(getattr(twin_owner, name))), native, twin)
        assert body(help_text(getattr(owner, name))) == twin_text
