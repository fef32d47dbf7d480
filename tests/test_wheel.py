"""`pip wheel .` builds a wheel that installs into a fresh venv, where the local backend
works without the remote-latch extra (and without redis)."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
import textwrap
import zipfile
from email.parser import Parser
from pathlib import Path

import pytest

from conftest import ROOT

IMPLEMENTATIONS = "quarn_data/lock/implementations/"


def run(command: list[str], *, timeout: float) -> subprocess.CompletedProcess[str]:
    result = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                            stdin=subprocess.DEVNULL)
    assert result.returncode == 0, f"{command}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def wheel(tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("wheel")
    # Without build isolation when the backend is at hand (the test extra brings it):
    # faster, and no download. Its own build dir, so that it never meets another build.
    isolation = ["--no-build-isolation"] if importlib.util.find_spec("scikit_build_core") else []
    run([sys.executable, "-m", "pip", "wheel", str(ROOT), "--no-deps", *isolation,
         "-w", str(out), "-C", f"build-dir={out / 'build'}", "-q"], timeout=600)
    (built,) = out.glob("quarn_data-*.whl")
    return built


@pytest.fixture(scope="module")
def venv_python(wheel: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A fresh venv with the wheel alone installed: no extra, no index to fetch from."""
    venv = tmp_path_factory.mktemp("venv")
    run([sys.executable, "-m", "venv", "--without-pip", str(venv)], timeout=60)
    python = venv / "bin" / "python"
    run([sys.executable, "-m", "pip", "--python", str(python), "install", "-q",
         "--no-index", "--no-deps", str(wheel)], timeout=120)
    return python


def in_venv(python: Path, code: str) -> str:
    # -I: no PYTHONPATH, no user site, no current directory; only the venv's packages.
    return run([str(python), "-I", "-c", textwrap.dedent(code)], timeout=60).stdout


def test_wheel_holds_both_modules_their_stubs_and_the_typed_markers(wheel: Path) -> None:
    names = zipfile.ZipFile(wheel).namelist()
    for module in ("remote_latch", "local_latch"):
        assert [n for n in names if n.startswith(IMPLEMENTATIONS + module + ".cpython-312-")
                and n.endswith(".so")], f"no extension module {module} in {names}"
        assert IMPLEMENTATIONS + module + ".pyi" in names
    assert "quarn_data/py.typed" in names
    assert "quarn_utils/py.typed" in names
    assert "quarn_utils/models/data_models/address.py" in names


def test_wheel_needs_redis_only_for_the_remote_latch_extra(wheel: Path) -> None:
    with zipfile.ZipFile(wheel) as archive:
        (metadata_name,) = [n for n in archive.namelist() if n.endswith(".dist-info/METADATA")]
        metadata = Parser().parsestr(archive.read(metadata_name).decode())
    requirements = metadata.get_all("Requires-Dist") or []
    assert [r for r in requirements if r.startswith("redis")]
    for requirement in requirements:
        assert "; extra ==" in requirement, f"{requirement!r} is needed without any extra"
    assert "remote-latch" in (metadata.get_all("Provides-Extra") or [])


def test_local_backend_works_in_a_fresh_venv_without_redis(venv_python: Path) -> None:
    out = in_venv(venv_python, """
        import importlib.util, sys, threading
        from pathlib import Path

        assert importlib.util.find_spec("redis") is None, "redis is installed"
        from quarn_data.lock.implementations import local_latch
        from quarn_data.lock.implementations.local_latch import LocalLatch
        from quarn_utils.models.data_models.address import Address

        assert Path(local_latch.__file__).is_relative_to(sys.prefix), local_latch.__file__
        latch = LocalLatch()
        latch.connect()
        target = Address("orders", "1")
        assert latch.acquire(target, metadata={"by": "wheel test"}) is True
        assert latch.acquire(target, blocking=False) is False
        results = []
        waiter = threading.Thread(target=lambda: results.append(latch.acquire(target)))
        waiter.start()
        latch.release(target)
        waiter.join(timeout=30)
        assert results == [True], results
        latch.release(target)
        assert latch.acquire(Address("other"), timeout_ms=0) is True
        latch.disconnect()
        print("local ok")
    """)
    assert out == "local ok\n"


def test_remote_backend_refuses_to_load_without_redis(venv_python: Path) -> None:
    out = in_venv(venv_python, """
        import sys

        name = "quarn_data.lock.implementations.remote_latch"
        for attempt in range(2):
            try:
                __import__(name)
            except ModuleNotFoundError as error:
                assert type(error) is ModuleNotFoundError
                assert error.name == "redis", error.name
                assert str(error) == "No module named 'redis'", str(error)
                assert error.__cause__ is None
            else:
                raise AssertionError("remote_latch loaded without redis")
            assert name not in sys.modules
        print("refused")
    """)
    assert out == "refused\n"


def test_stubs_and_markers_are_installed(venv_python: Path) -> None:
    out = in_venv(venv_python, """
        from pathlib import Path
        import quarn_data, quarn_utils
        data = Path(quarn_data.__file__).parent
        for path in (data / "py.typed", Path(quarn_utils.__file__).parent / "py.typed",
                     data / "lock/implementations/remote_latch.pyi",
                     data / "lock/implementations/local_latch.pyi"):
            assert path.is_file(), path
        print("installed")
    """)
    assert out == "installed\n"
