"""RemoteLatch against a redis-server that requires TLS with client certificates and an
ACL user with a password (the default user is off).

The certificates are made with the openssl command line for each run: a throwaway CA, a
server certificate for 127.0.0.1/localhost and a client certificate. The client connects
lazily, so a refused connection shows up at the first lock operation, as the client's own
exception (after the client's own retries, a few seconds).
"""

from __future__ import annotations

import json
import shutil
import subprocess
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest
import redis

from quarn_data.lock.implementations.remote_latch import RemoteLatch
from quarn_utils.models.data_models.address import Address
from quarn_devkit.redis_server import RedisServer
from quarn_devkit.waits import scaled

USER = "alice"
PASSWORD = "s3cret-pass"
TARGET = Address("tls", "orders", "42")

pytestmark = pytest.mark.skipif(shutil.which("openssl") is None, reason="needs openssl")


@dataclass(frozen=True)
class TlsFiles:
    ca_cert: str
    server_cert: str
    server_key: str
    client_cert: str
    client_key: str


def _openssl(*args: str, cwd: Path) -> None:
    result = subprocess.run(
        ["openssl", *args], cwd=cwd, capture_output=True, text=True, timeout=scaled(60)
    )
    assert result.returncode == 0, f"openssl {' '.join(args)}:\n{result.stderr}"


def make_tls_files(directory: Path) -> TlsFiles:
    """A CA and two certificates it signed: server (serverAuth, SAN 127.0.0.1 and
    localhost) and client (clientAuth). Absolute paths, since redis-server changes
    directory before it loads them."""
    directory = directory.resolve()
    ec_key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    # Key usage on the CA: newer ssl modules verify strictly (VERIFY_X509_STRICT).
    _openssl("req", "-x509", "-new", *ec_key, "-keyout", "ca.key", "-out", "ca.crt",
             "-days", "2", "-subj", "/CN=quarn throwaway CA",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)
    extensions = {
        "server": "subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n",
        "client": "extendedKeyUsage=clientAuth\n",
    }
    for who, ext in extensions.items():
        (directory / f"{who}.ext").write_text(ext)
        _openssl("req", "-new", *ec_key, "-keyout", f"{who}.key", "-out", f"{who}.csr",
                 "-subj", f"/CN=quarn {who}", cwd=directory)
        _openssl("x509", "-req", "-in", f"{who}.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                 "-CAcreateserial", "-days", "2", "-extfile", f"{who}.ext",
                 "-out", f"{who}.crt", cwd=directory)
    return TlsFiles(
        ca_cert=str(directory / "ca.crt"),
        server_cert=str(directory / "server.crt"),
        server_key=str(directory / "server.key"),
        client_cert=str(directory / "client.crt"),
        client_key=str(directory / "client.key"),
    )


@pytest.fixture(scope="module")
def tls_files(tmp_path_factory: pytest.TempPathFactory) -> TlsFiles:
    return make_tls_files(tmp_path_factory.mktemp("tls"))


@pytest.fixture(scope="module")
def tls_server(tls_files: TlsFiles) -> Iterator[RedisServer]:
    args = [
        "--tls-cert-file", tls_files.server_cert,
        "--tls-key-file", tls_files.server_key,
        "--tls-ca-cert-file", tls_files.ca_cert,
        "--tls-auth-clients", "yes",
        # Each word of an ACL rule is an argument of its own.
        "--user", USER, "on", f">{PASSWORD}", "~*", "&*", "+@all",
        "--user", "default", "off",
    ]
    with RedisServer(args, tls=True) as server:
        yield server


@pytest.fixture
def admin(tls_server: RedisServer, tls_files: TlsFiles) -> Iterator[redis.Redis]:
    """A plain redis-py client with full credentials; the server is flushed first."""
    client = redis.Redis(
        host="127.0.0.1", port=tls_server.port, username=USER, password=PASSWORD,
        ssl=True, ssl_certfile=tls_files.client_cert, ssl_keyfile=tls_files.client_key,
        ssl_ca_certs=tls_files.ca_cert,
    )
    client.flushall()
    yield client
    client.close()


def good_params(server: RedisServer, files: TlsFiles) -> dict[str, object]:
    return {
        "port": server.port, "username": USER, "password": PASSWORD, "ssl": True,
        "ssl_certfile": files.client_cert, "ssl_keyfile": files.client_key,
        "ssl_ca_certs": files.ca_cert,
    }


def test_locks_over_tls_as_acl_user(
    tls_server: RedisServer, tls_files: TlsFiles, admin: redis.Redis
) -> None:
    latch = RemoteLatch()
    assert latch.connect("127.0.0.1", **good_params(tls_server, tls_files)) is None
    try:
        assert latch.is_alive is True
        # The default user is off, so the session can only be the ACL user's.
        assert latch.client.acl_whoami() == USER

        metadata = {"owner": "worker-7", "job": [1, 2, 3], "note": "ünïcode"}
        assert latch.acquire(TARGET, metadata=metadata) is True
        key = TARGET.to_string()
        assert admin.get(key) == json.dumps(metadata).encode()
        assert admin.ttl(key) == -1
        # Held: a second attempt by the same instance fails, blocking with a limit or not.
        assert latch.acquire(TARGET, blocking=False) is False
        assert latch.acquire(TARGET, timeout_ms=100) is False
        assert admin.get(key) == json.dumps(metadata).encode()

        assert latch.release(TARGET) is None
        assert admin.exists(key) == 0

        # Another instance over its own TLS session takes the freed lock.
        other = RemoteLatch()
        other.connect("127.0.0.1", **good_params(tls_server, tls_files))
        assert other.acquire(TARGET, timeout_ms=0) is True
        assert admin.get(key) == b""
        assert latch.acquire(TARGET, blocking=False) is False
        latch.release(TARGET)
        assert admin.exists(key) == 0
        other.disconnect()
    finally:
        latch.disconnect()


@pytest.mark.parametrize(
    ("change", "error"),
    [
        pytest.param({"password": "wrong-pass"}, redis.exceptions.AuthenticationError,
                     id="wrong-password"),
        pytest.param({"ssl_certfile": None, "ssl_keyfile": None},
                     redis.exceptions.ConnectionError, id="no-client-certificate"),
        pytest.param({"ssl": False, "ssl_certfile": None, "ssl_keyfile": None,
                      "ssl_ca_certs": None},
                     redis.exceptions.ConnectionError, id="plain-tcp-to-tls-port"),
    ],
)
def test_refused_connection_fails_at_first_lock_operation(
    tls_server: RedisServer, tls_files: TlsFiles, admin: redis.Redis,
    change: dict[str, object], error: type[Exception],
) -> None:
    latch = RemoteLatch()
    # Nothing is sent yet: connect only builds the client.
    assert latch.connect("127.0.0.1", **{**good_params(tls_server, tls_files), **change}) is None
    assert latch.is_connected is True
    try:
        # A blocking acquire without limit: the client's error must end the wait.
        with pytest.raises(redis.exceptions.RedisError) as info:
            latch.acquire(TARGET, metadata={"owner": "intruder"})
        assert type(info.value) is error, repr(info.value)
    finally:
        latch.disconnect()
    assert admin.exists(TARGET.to_string()) == 0
    assert admin.dbsize() == 0
