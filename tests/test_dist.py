"""What scripts/dist writes into dist/: one portable wheel per supported CPython and
architecture and an sdist, each installed the way a user of the host installs it.

Run after scripts/dist with `scripts/test -m dist` (CI does); the default run leaves these
tests out. A missing or incomplete dist/ fails them: it never skips. Each wheel is
installed where its interpreter runs: on the host, inside the Debian roots of
scripts/debian-root (CPython 3.14 and 3.15; aarch64, under emulation). A wheel of this
machine's architecture whose interpreter is not here skips, unless QUARN_DIST_PYTHONS names
its version: then it must be here.
"""

from __future__ import annotations

import hashlib
import os
import platform
import re
import subprocess
import sys
import textwrap
import tomllib
import zipfile
from collections.abc import Iterator
from email.parser import Parser
from pathlib import Path

import pytest
from packaging.specifiers import SpecifierSet

from conftest import ROOT
from quarn_devkit.redis_server import RedisServer
from quarn_devkit.waits import scaled

pytestmark = pytest.mark.dist

DIST = Path(os.environ.get("QUARN_DIST", ROOT / "dist"))
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def versions(name: str) -> list[str]:
    """A list of CPython versions from scripts/lib.sh."""
    found = re.search(rf'^{name}="([^"]*)"', (ROOT / "scripts/lib.sh").read_text(), re.M)
    assert found is not None, name
    return found[1].split()


SUPPORTED = versions("SUPPORTED_PYTHONS")
# The oldest manylinux tag of each architecture, which every wheel of it qualifies for.
TAGS = {"x86_64": "manylinux1_x86_64.manylinux_2_5_x86_64",
        "aarch64": "manylinux2014_aarch64.manylinux_2_17_aarch64"}
WHEELS = [(v, "x86_64") for v in versions("HOST_PYTHONS") + versions("ROOT_PYTHONS")] + [
    (v, "aarch64") for v in versions("AARCH64_PYTHONS")]
HERE = platform.machine()
MODULE_DIR = "quarn_data/lock/implementations/"
HOST_PACKAGES = ("quarn_data", "quarn_utils")


def run(command: list[str | Path], *, env: dict[str, str] | None = None,
        timeout: float = 300) -> str:
    """Runs `command` and returns its stdout; fails unless it exits with 0 within `timeout`
    seconds at native speed."""
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                            timeout=scaled(timeout), env=env, stdin=subprocess.DEVNULL)
    assert result.returncode == 0, f"{command}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
    return result.stdout


def find_python(version: str) -> str:
    """The interpreter that scripts/dist built the wheel for `version` with."""
    return run(["bash", "-c", f'PYTHON= ; . "{ROOT}/scripts/lib.sh"; find_python {version}']).strip()


def wheel_for(version: str, arch: str = HERE) -> Path:
    tag = "cp" + version.replace(".", "")
    name = f"quarn_latches-{PROJECT['version']}-{tag}-{tag}-{TAGS[arch]}.whl"
    assert (DIST / name).is_file(), f"no {name} in {DIST}: run scripts/dist first"
    return DIST / name


def python_here(version: str) -> str:
    """The interpreter for `version` on this machine; skips when there is none, unless
    QUARN_DIST_PYTHONS names the version."""
    required = os.environ.get("QUARN_DIST_PYTHONS", "").split()
    if required and version not in required:
        pytest.skip(f"QUARN_DIST_PYTHONS={' '.join(required)} leaves CPython {version} out")
    try:
        return find_python(version)
    except AssertionError:
        if required:
            raise
        pytest.skip(f"no CPython {version} here (its wheel is tested where it runs)")


def snapshot(site: Path) -> dict[str, str]:
    """sha256 of every file of the host's packages in a site-packages folder."""
    return {
        str(path.relative_to(site)): hashlib.sha256(path.read_bytes()).hexdigest()
        for package in HOST_PACKAGES
        for path in sorted((site / package).rglob("*"))
        if path.is_file() and "__pycache__" not in path.parts
    }


@pytest.fixture(scope="module")
def host_wheel(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The host stand-in's wheel (pure Python): QUARN_HOST_WHEEL when given (built where pip
    runs natively, for a run under emulation), else built here."""
    given = os.environ.get("QUARN_HOST_WHEEL")
    if given:
        return Path(given)
    out = tmp_path_factory.mktemp("host")
    run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", out, ROOT / "host"])
    (wheel,) = out.glob("*.whl")
    return wheel


@pytest.fixture(scope="module")
def server() -> Iterator[RedisServer]:
    with RedisServer() as running:
        yield running


def new_venv(python: str, where: Path, host_wheel: Path) -> tuple[Path, Path]:
    """A fresh venv of `python` holding only the host stand-in: (its python, site-packages)."""
    run([python, "-m", "venv", "--without-pip", where])
    venv_python = where / "bin" / "python"
    pip_install(venv_python, "--no-index", "--no-deps", host_wheel)
    site = run([venv_python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"])
    return venv_python, Path(site.strip())


def pip_install(python: Path, *args: str | Path, env: dict[str, str] | None = None) -> None:
    # Without byte-compiling what it installs: the checks import what they need, and under
    # emulation compiling all of redis-py costs more than the rest of the install.
    run([sys.executable, "-m", "pip", "--python", python, "install", "-q", "--no-compile", *args],
        env=env)


def without_compiler(tmp_path: Path, venv_python: Path) -> dict[str, str]:
    """An environment where every C/C++ compiler is `false`, on PATH and in CC/CXX."""
    fake = tmp_path / "no-compiler"
    fake.mkdir()
    for name in ("cc", "c++", "gcc", "g++", "clang", "clang++"):
        (fake / name).symlink_to("/bin/false")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "CFLAGS", "CXXFLAGS")}
    env.update(PATH=f"{fake}:{venv_python.parent}", CC="false", CXX="false")
    return env


def in_venv(python: Path, code: str, *args: str) -> str:
    # -I: no PYTHONPATH, no user site, no current directory; only the venv's packages.
    return run([python, "-I", "-c", textwrap.dedent(code), *args], timeout=60)


LOCAL_ALONE = """
    import importlib.metadata, sys, threading
    from pathlib import Path
    from quarn_data.lock.implementations import local_latch
    from quarn_data.lock.implementations.local_latch import LocalLatch
    from quarn_utils.models.data_models.address import Address

    assert Path(local_latch.__file__).is_relative_to(sys.prefix), local_latch.__file__
    latch, target = LocalLatch(), Address("orders", "1")
    assert latch.acquire(target, metadata={"by": "dist test"}) is True
    assert latch.acquire(target, blocking=False) is False
    results = []
    waiter = threading.Thread(target=lambda: results.append(latch.acquire(target)), daemon=True)
    waiter.start()
    latch.release(target)
    waiter.join()  # bounded by in_venv's time limit
    assert results == [True], results
    try:
        import quarn_data.lock.implementations.remote_latch
    except ModuleNotFoundError as error:
        assert error.name == "redis", error
    else:
        raise AssertionError("remote_latch loaded without redis")
    print("local", importlib.metadata.version("quarn-latches"))
"""

REMOTE = """
    import importlib.metadata, sys
    from quarn_data.lock.implementations.remote_latch import RemoteLatch
    from quarn_utils.models.data_models.address import Address

    first, second, target = RemoteLatch(), RemoteLatch(), Address("dist", "remote")
    for latch in (first, second):
        latch.connect("127.0.0.1", port=int(sys.argv[1]))
    assert first.is_alive
    assert first.acquire(target, metadata={"by": "dist test"}) is True
    assert second.acquire(target, timeout_ms=100) is False
    first.release(target)
    assert second.acquire(target, blocking=False) is True
    second.release(target)
    print("remote", importlib.metadata.version("quarn-latches"))
"""


def test_dist_holds_an_sdist_and_one_portable_wheel_per_python_and_architecture() -> None:
    version = PROJECT["version"]
    assert {v for v, _ in WHEELS} == set(SUPPORTED)
    expected = {f"quarn_latches-{version}.tar.gz"} | {wheel_for(*w).name for w in WHEELS}
    assert {p.name for p in DIST.iterdir()} == expected
    for python, arch in WHEELS:
        with zipfile.ZipFile(wheel_for(python, arch)) as archive:
            names = {n for n in archive.namelist() if not n.endswith("/")}
            info = f"quarn_latches-{version}.dist-info/"
            metadata = Parser().parsestr(archive.read(info + "METADATA").decode())
            elf = archive.read(f"{MODULE_DIR}local_latch.cpython-"
                               f"{python.replace('.', '')}-{arch}-linux-gnu.so")[:20]
        # An ELF shared object for the wheel's machine (e_machine: 62 x86-64, 183 aarch64).
        assert elf[:4] == b"\x7fELF" and int.from_bytes(elf[18:20], "little") == {
            "x86_64": 62, "aarch64": 183}[arch]
        # Only what the host does not have: the modules and their stubs.
        abi = f"cpython-{python.replace('.', '')}-{arch}-linux-gnu"
        assert names - {n for n in names if n.startswith(info)} == {
            f"{MODULE_DIR}{module}{suffix}"
            for module in ("remote_latch", "local_latch")
            for suffix in (f".{abi}.so", ".pyi")
        }
        assert metadata["Name"] == "quarn-latches" and metadata["Version"] == version
        assert SpecifierSet(metadata["Requires-Python"]) == SpecifierSet(
            PROJECT["requires-python"])
        assert metadata["License-Expression"] == "MIT"
        classifiers = metadata.get_all("Classifier") or []
        assert {c.rpartition(":: ")[2] for c in classifiers
                if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)} == set(SUPPORTED)
        for requirement in metadata.get_all("Requires-Dist") or []:
            assert "; extra ==" in requirement, f"{requirement!r} is needed without any extra"
        assert "remote-latch" in (metadata.get_all("Provides-Extra") or [])


@pytest.mark.parametrize("version", [v for v, arch in WHEELS if arch == HERE])
def test_wheel_installs_beside_the_host_without_a_compiler_and_works(
        version: str, host_wheel: Path, server: RedisServer, tmp_path: Path) -> None:
    python, site = new_venv(python_here(version), tmp_path / "venv", host_wheel)
    host_files = snapshot(site)
    env = without_compiler(tmp_path, python)
    wheel = wheel_for(version)

    # The wheel alone (no extra): only binaries, no compiler; the local backend works.
    pip_install(python, "--no-index", "--no-deps", wheel, env=env)
    installed = snapshot(site)
    ours = {name for name in zipfile.ZipFile(wheel).namelist()
            if name.startswith(MODULE_DIR) and not name.endswith("/")}
    assert {k: v for k, v in installed.items() if k not in ours} == host_files, \
        "installing the backends changed a file of the host"
    assert set(installed) - set(host_files) == ours
    assert in_venv(python, LOCAL_ALONE).startswith("local ")

    # The remote-latch extra, from the index, binaries only; the remote backend works.
    pip_install(python, "--only-binary", ":all:", f"{wheel}[remote-latch]", env=env)
    assert in_venv(python, REMOTE, str(server.port)) == f"remote {PROJECT['version']}\n"

    # Uninstalling takes the backends' files and nothing of the host's.
    run([sys.executable, "-m", "pip", "--python", python, "uninstall", "-q", "-y",
         "quarn-latches"])
    assert snapshot(site) == host_files


def test_sdist_builds_in_isolation_and_installs(host_wheel: Path, tmp_path: Path) -> None:
    (sdist,) = DIST.glob("*.tar.gz")
    python, _ = new_venv(find_python(SUPPORTED[0]), tmp_path / "venv", host_wheel)
    # pip builds it in an isolated environment of its own, from the sdist alone.
    pip_install(python, "--no-cache-dir", sdist)
    assert in_venv(python, LOCAL_ALONE) == f"local {PROJECT['version']}\n"


def test_an_unsupported_interpreter_is_refused_in_words(tmp_path: Path) -> None:
    """pip and a forced build name the supported versions instead of failing in the
    compiler; shown with the one unsupported CPython these machines have."""
    try:
        python = find_python("3.11")
    except AssertionError:
        pytest.skip("no CPython 3.11 here to stand for an unsupported interpreter")
    (sdist,) = DIST.glob("*.tar.gz")
    refused = subprocess.run([python, "-m", "pip", "install", "--dry-run", "--no-deps", sdist],
                             capture_output=True, text=True, timeout=scaled(120))
    assert refused.returncode != 0 and "requires a different Python" in refused.stderr
    forced = subprocess.run(["cmake", "-S", ROOT, "-B", tmp_path / "build",
                             f"-DPython_EXECUTABLE={python}"],
                            capture_output=True, text=True, timeout=scaled(120))
    assert forced.returncode != 0
    assert "support CPython 3.12, 3.13, 3.14 and 3.15 with the GIL" in " ".join(forced.stderr.split())
