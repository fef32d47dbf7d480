"""Module load: one load per process, failed loads forgotten, imports, class creation.

Each case runs in a fresh interpreter, since a module can be loaded only once per process.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from conftest import check_python
from quarn_devkit.waits import scaled

REMOTE = "quarn_data.lock.implementations.remote_latch"
LOCAL = "quarn_data.lock.implementations.local_latch"
MODULES = pytest.mark.parametrize(
    ("name", "short", "cls"),
    [(REMOTE, "remote_latch", "RemoteLatch"), (LOCAL, "local_latch", "LocalLatch")],
)


@MODULES
def test_later_imports_get_the_same_module_and_run_nothing(name: str, short: str, cls: str) -> None:
    check_python(f"""
        import importlib, importlib.util, sys
        import {name} as first
        original = first.{cls}
        # Were the load to run again, it would pick these up.
        import quarn_data.lock.base as base
        base.LockBase = None
        del sys.modules["{name}"]
        second = importlib.import_module("{name}")
        assert second is first
        assert second.{cls} is original and second.LockBase is not None
        assert importlib.reload(second) is first and first.{cls} is original
        spec = importlib.util.find_spec("{name}")
        assert importlib.util.module_from_spec(spec) is first
    """)


@MODULES
def test_exec_on_another_module_object_is_refused(name: str, short: str, cls: str) -> None:
    check_python(f"""
        import importlib.util
        spec = importlib.util.find_spec("{name}")
        one = importlib.util.module_from_spec(spec)
        other = importlib.util.module_from_spec(spec)
        assert one is not other
        spec.loader.exec_module(one)
        try:
            spec.loader.exec_module(other)
        except RuntimeError as e:
            assert str(e) == (
                "Module '{short}' has already been imported. "
                "Re-initialisation is not supported."), str(e)
        else:
            raise AssertionError("second exec ran")
        assert not hasattr(other, "{cls}")
    """)


@MODULES
def test_another_interpreter_is_refused(name: str, short: str, cls: str) -> None:
    # The outcome comes back through a pipe: an exception escaping run_string would leak
    # the interpreter's own copies of its text, which sanitizer runs report.
    check_python(f"""
        import os
        try:  # the private module of subinterpreters has changed its name and calls
            import _interpreters as interpreters
            def create(): return interpreters.create("legacy")
        except ImportError:
            import _xxsubinterpreters as interpreters
            def create(): return interpreters.create(isolated=False)
        import {name}
        read, write = os.pipe()
        sub = create()
        interpreters.run_string(sub, "\\n".join([
            "import os",
            "try:",
            "    import {name}",
            "except ImportError as e:",
            f"    os.write({{write}}, str(e).encode())",
            "else:",
            f"    os.write({{write}}, b'loaded')",
        ]))
        interpreters.destroy(sub)
        os.close(write)
        text = os.read(read, 4096).decode()
        assert text == ("Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process."), text
    """)


@pytest.mark.parametrize(
    ("name", "host_module", "missing"),
    [
        (REMOTE, "quarn_data.lock.base", "LockBase"),
        (REMOTE, "quarn_data.errors", "QuarnConnectionError"),
        (REMOTE, "quarn_utils.models.data_models.address", "Address"),
        (LOCAL, "quarn_data.data_models.lock_object", "LockObject"),
        (LOCAL, "quarn_data.lock.base", "LockBase"),
    ],
)
def test_a_missing_name_fails_the_load_which_is_then_forgotten(
    name: str, host_module: str, missing: str
) -> None:
    check_python(f"""
        import importlib, sys
        import {host_module} as host
        saved = host.{missing}
        del host.{missing}
        try:
            import {name}
        except ImportError as e:
            assert type(e) is ImportError and str(e) == "cannot import name {missing}", repr(e)
        else:
            raise AssertionError("loaded without {missing}")
        assert "{name}" not in sys.modules
        host.{missing} = saved
        module = importlib.import_module("{name}")
        assert module.{missing} is saved
    """)


def test_a_loaded_submodule_satisfies_a_from_import() -> None:
    # `from package import name` falls back to the loaded submodule package.name.
    check_python(f"""
        import sys, types
        import quarn_data.lock.base as base
        real = base.LockBase
        del base.LockBase
        sys.modules["quarn_data.lock.base.LockBase"] = real  # what the fallback finds
        import {LOCAL} as m
        assert m.LockBase is real and issubclass(m.LocalLatch, real)
    """)


def test_without_redis_the_remote_module_fails_and_loads_once_redis_is_back() -> None:
    check_python(f"""
        import importlib, sys
        import redis
        sys.modules["redis"] = None   # import of redis halted
        try:
            import {REMOTE}
        except ModuleNotFoundError as e:
            assert e.name == "redis", repr(e)
        else:
            raise AssertionError("loaded without redis")
        assert "{REMOTE}" not in sys.modules
        import {LOCAL}             # the local backend does not need redis
        sys.modules["redis"] = redis
        module = importlib.import_module("{REMOTE}")
        assert module.redis is redis and module.RemoteLatch().is_connected is False
    """)


@pytest.mark.parametrize(
    ("name", "globals_in_order"),
    [
        (REMOTE, ["json", "sleep", "Any", "redis", "Address", "QuarnConnectionError",
                  "LockBase", "RemoteLatch"]),
        (LOCAL, ["Lock", "time", "Any", "Address", "LockObject", "LockBase", "LocalLatch"]),
    ],
)
def test_module_namespace(name: str, globals_in_order: list[str]) -> None:
    # What the import system gives any module found where ours is, made without our create
    # and exec slots: the module object's own entries, then those of where it was found
    # (__file__, ...).
    check_python(f"""
        import importlib.machinery, importlib.util, json, threading, time, typing
        found = importlib.util.find_spec("{name}")
        plain = importlib.machinery.ModuleSpec(found.name, None, origin=found.origin)
        plain.has_location = found.has_location
        given = list(vars(importlib.util.module_from_spec(plain)))
        assert "__file__" in given, given
        import {name} as m
        assert list(vars(m)) == given + {globals_in_order!r}, list(vars(m))
        assert m.__doc__ is None and m.__spec__ is not None and m.__file__ == found.origin
        expected = dict(json=json, sleep=time.sleep, Any=typing.Any, Lock=threading.Lock,
                        time=time.time)
        for key, value in expected.items():
            if key in {globals_in_order!r}:
                assert getattr(m, key) is value, key
        import quarn_data.lock.base, quarn_data.errors, quarn_utils.models.data_models.address
        assert m.LockBase is quarn_data.lock.base.LockBase
        assert m.Address is quarn_utils.models.data_models.address.Address
    """)


RECORDING_BASE = """
        import abc, sys
        import quarn_data.lock.base as base
        calls = []

        class Namespace(dict):
            def __setitem__(self, key, value):
                calls.append(("set", key))
                super().__setitem__(key, value)

        class Meta(abc.ABCMeta):
            @classmethod
            def __prepare__(mcls, name, bases, **kwargs):
                calls.append(("prepare", name, bases))
                return Namespace()

            def __new__(mcls, name, bases, namespace, **kwargs):
                calls.append(("new", name, bases, type(namespace).__name__))
                return super().__new__(mcls, name, bases, dict(namespace))

        class RecordingBase(metaclass=Meta):
            pass

        base.LockBase = RecordingBase
        calls.clear()
"""


@pytest.mark.parametrize(
    ("name", "cls", "keys"),
    [
        (REMOTE, "RemoteLatch", ["__module__", "__qualname__", "__doc__", "__annotations__",
                                 "is_connected", "is_alive", "connect", "disconnect", "acquire",
                                 "release", "_get_redis_client"]),
        (LOCAL, "LocalLatch", ["__module__", "__qualname__", "__doc__", "connect", "disconnect",
                               "is_connected", "is_alive", "__init__", "acquire", "release"]),
    ],
)
def test_class_is_made_through_the_metaclass_of_the_base(name: str, cls: str,
                                                         keys: list[str]) -> None:
    check_python(RECORDING_BASE + f"""
        import {name} as m
        assert calls[0] == ("prepare", "{cls}", (RecordingBase,)), calls[0]
        assert calls[1:-1] == [("set", k) for k in {keys!r}], calls
        assert calls[-1] == ("new", "{cls}", (RecordingBase,), "Namespace"), calls[-1]
        assert type(m.{cls}) is Meta and m.{cls}.__qualname__ == "{cls}"
        assert m.{cls}.__module__ == "{name}"
    """)


@MODULES
def test_a_base_that_is_not_a_class_is_resolved_as_a_class_statement_does(
        name: str, short: str, cls: str) -> None:
    # A generic alias gives its class through __mro_entries__ and stays in __orig_bases__.
    check_python(f"""
        import typing
        import quarn_data.lock.base as base
        T = typing.TypeVar("T")

        class GenericBase(base.LockBase, typing.Generic[T]):
            pass

        base.LockBase = GenericBase[int]
        import {name} as m

        class Twin(GenericBase[int]):
            pass

        made = m.{cls}
        assert made.__bases__ == Twin.__bases__ == (GenericBase,), made.__bases__
        assert made.__orig_bases__ == Twin.__orig_bases__ == (GenericBase[int],), made.__orig_bases__
        assert made.__mro__[1:] == Twin.__mro__[1:]
        made()  # an instance: the class defines every abstract member
    """)


@MODULES
def test_errors_of_the_metaclass_fail_the_load(name: str, short: str, cls: str) -> None:
    check_python(f"""
        import abc, sys
        import quarn_data.lock.base as base

        class Refusing(abc.ABCMeta):
            def __new__(mcls, name, *args):
                if name != "Base":
                    raise LookupError("no classes today")
                return super().__new__(mcls, name, *args)

        class Base(metaclass=Refusing):
            pass
        base.LockBase = Base
        try:
            import {name}
        except LookupError as e:
            assert str(e) == "no classes today"
        else:
            raise AssertionError("loaded")
        assert "{name}" not in sys.modules

        base.LockBase = 42          # no usable metaclass: the class statement's TypeError
        try:
            import {name}
        except TypeError:
            pass
        else:
            raise AssertionError("loaded")
    """)


EMBEDDING = r"""
#include <Python.h>
#include <stdio.h>
#include <stdlib.h>

/* Runs the script argv[1] in argv[2] runtimes, one after another in this process: each
   is initialised, runs the script, and is finalised. */
int main(int argc, char** argv) {
    if (argc != 3) return 2;
    for (int round = 1; round <= atoi(argv[2]); ++round) {
        Py_Initialize();
        int failed = PyRun_SimpleString(argv[1]);
        if (Py_FinalizeEx() < 0 || failed) {
            fprintf(stderr, "round %d failed\n", round);
            return 1;
        }
    }
    return 0;
}
"""


def embedding_build(folder: Path) -> Path:
    """The program above, built with the running interpreter's flags for embedding, or a
    skip when that interpreter has no python-config or no C compiler is found."""
    config = Path(sysconfig.get_config_var("BINDIR")) / (
        f"python{sysconfig.get_config_var('VERSION')}{sys.abiflags}-config")
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not config.exists() or compiler is None:
        pytest.skip(f"embedding needs {config} and a C compiler")
    flags = {kind: subprocess.run([str(config), f"--{kind}", "--embed"], capture_output=True,
                                  text=True, check=True).stdout.split()
             for kind in ("cflags", "ldflags")}
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        # A static libpython: the program itself must export the C API to extensions.
        flags["ldflags"] += sysconfig.get_config_var("LINKFORSHARED").split()
    (folder / "embed.c").write_text(EMBEDDING)
    program = folder / "embed"
    subprocess.run([compiler, *flags["cflags"], str(folder / "embed.c"), "-o", str(program),
                    *flags["ldflags"]], check=True, capture_output=True, text=True)
    return program


def test_a_new_runtime_loads_both_modules_afresh(tmp_path: Path) -> None:
    """Py_FinalizeEx() and Py_Initialize() again in one process: each runtime imports and
    uses both modules as the first one did (the interpreter that loaded them is gone, and
    with it everything they made)."""
    # remote_latch needs only a module named redis to load; the client package would bring
    # ssl and hashlib, which some builds cannot import in a second runtime (pyenv's 3.12.1:
    # _hashlib crashes there, with or without these modules).
    script = f"""
import sys, types
sys.modules["redis"] = types.ModuleType("redis")
import {LOCAL} as local, {REMOTE} as remote
latch = local.LocalLatch()
assert latch.acquire("t") is True and latch.acquire("t", blocking=False) is False
latch.release("t")
latch.locks = {{}}  # read afresh: a new table, a new lock
assert latch.acquire("t") is True and len(latch.locks) == 1
assert remote.RemoteLatch().is_connected is False
print("round ok")
"""
    program = embedding_build(tmp_path)
    paths = sysconfig.get_paths()
    env = {**os.environ, "PYTHONPATH": os.pathsep.join({paths["purelib"], paths["platlib"]})}
    done = subprocess.run([str(program), script, "3"], capture_output=True, text=True, env=env,
                          timeout=scaled(60))
    assert done.returncode == 0 and done.stdout.split("\n") == ["round ok"] * 3 + [""], (
        f"exit {done.returncode}\nstdout:\n{done.stdout}\nstderr:\n{done.stderr}")


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="an interpreter with the GIL")
def test_the_modules_keep_the_gil_off() -> None:
    """On a free-threaded interpreter, loading both modules leaves the GIL off: each
    declares that it runs without it (an undeclared module turns it on, with a warning)."""
    check_python(f"""
        import sys, types, warnings
        warnings.simplefilter("error")
        sys.modules["redis"] = types.ModuleType("redis")  # hiredis 3.5 would turn the GIL on
        import {LOCAL}, {REMOTE}
        assert not sys._is_gil_enabled()
    """, env={"PYTHON_GIL": None})
