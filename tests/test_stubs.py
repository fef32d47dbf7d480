"""The installed type stubs against the runtime modules, beyond what stubtest compares.

stubtest (scripts/typecheck) checks names, parameter kinds and defaults, but neither the
module globals that come from imports nor annotation texts. Both are checked here: the
runtime modules store their annotations as texts, so the stub's annotations, written
back as source, must be the very same texts.
"""

from __future__ import annotations

import ast
import importlib
import inspect
import subprocess
import sys
from pathlib import Path
from types import ModuleType

import pytest
from conftest import ROOT
from quarn_devkit.redis_server import RedisServer
from quarn_devkit.waits import scaled

from quarn_data.lock.implementations import local_latch, remote_latch

MODULES = [
    pytest.param(remote_latch, "RemoteLatch", id="remote_latch"),
    pytest.param(local_latch, "LocalLatch", id="local_latch"),
]


def stub_of(module: ModuleType) -> ast.Module:
    path = Path(module.__file__ or "").with_name(module.__name__.rpartition(".")[2] + ".pyi")
    assert path.is_file(), f"no stub installed beside {module.__file__}"
    return ast.parse(path.read_text(), filename=str(path))


def stub_class(module: ModuleType, name: str) -> ast.ClassDef:
    (cls,) = [n for n in stub_of(module).body if isinstance(n, ast.ClassDef) and n.name == name]
    return cls


@pytest.mark.parametrize("package", ["quarn_data", "quarn_utils"])
def test_packages_are_marked_typed(package: str) -> None:
    directory = Path(importlib.import_module(package).__file__ or "").parent
    assert (directory / "py.typed").is_file()


@pytest.mark.parametrize(("module", "class_name"), MODULES)
def test_stub_binds_the_module_globals_of_the_runtime(module: ModuleType,
                                                      class_name: str) -> None:
    """Every global of the module is in the stub, bound to the same object, and no more."""
    bound: dict[str, object] = {}
    for node in stub_of(module).body:
        if isinstance(node, ast.Import):
            for alias in node.names:
                assert alias.asname == alias.name, "re-export with `import x as x`"
                bound[alias.name] = importlib.import_module(alias.name)
        elif isinstance(node, ast.ImportFrom):
            source = importlib.import_module(node.module or "")
            for alias in node.names:
                assert alias.asname == alias.name, "re-export with `from m import x as x`"
                bound[alias.name] = getattr(source, alias.name)
        elif isinstance(node, ast.ClassDef):
            bound[node.name] = getattr(module, node.name)
    runtime = {k: v for k, v in vars(module).items() if not k.startswith("__")}
    assert bound.keys() == runtime.keys()
    for name, value in runtime.items():
        assert bound[name] is value, name
    assert runtime[class_name].__module__ == module.__name__


def stub_members(cls: ast.ClassDef) -> dict[str, tuple[str, ast.FunctionDef]]:
    """Stub members by name: (decorator or "function", definition)."""
    members = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            kinds = [d.id for d in node.decorator_list if isinstance(d, ast.Name)]
            assert len(kinds) == len(node.decorator_list) <= 1
            members[node.name] = (kinds[0] if kinds else "function", node)
    return members


def stub_annotations(fn: ast.FunctionDef) -> dict[str, str]:
    """The annotations of a stub function as texts, in the order a def would store them."""
    args = fn.args
    params = [*args.posonlyargs, *args.args]
    params += [args.vararg] if args.vararg else []
    params += args.kwonlyargs
    params += [args.kwarg] if args.kwarg else []
    texts = {p.arg: ast.unparse(p.annotation) for p in params if p.annotation is not None}
    if fn.returns is not None:
        texts["return"] = ast.unparse(fn.returns)
    return texts


RUNTIME_KIND = {property: "property", staticmethod: "staticmethod"}


@pytest.mark.parametrize(("module", "class_name"), MODULES)
def test_stub_members_match_the_class(module: ModuleType, class_name: str) -> None:
    """Same members, same kind (method, property, static method), same annotation texts."""
    cls = getattr(module, class_name)
    members = stub_members(stub_class(module, class_name))
    runtime = {
        name: value for name, value in vars(cls).items()
        if isinstance(value, (property, staticmethod)) or inspect.isroutine(value)
    }
    assert members.keys() == runtime.keys()
    for name, value in runtime.items():
        kind, definition = members[name]
        assert kind == RUNTIME_KIND.get(type(value), "function"), name
        function = value.fget if isinstance(value, property) else getattr(cls, name)
        assert stub_annotations(definition) == function.__annotations__, name
        assert list(stub_annotations(definition)) == list(function.__annotations__), name


@pytest.mark.parametrize(("module", "class_name"), MODULES)
def test_stub_attributes_are_the_runtime_ones(module: ModuleType, class_name: str) -> None:
    """A declared attribute is a class annotation with the same text, or is set by the
    initialiser; every class annotation is declared."""
    cls = getattr(module, class_name)
    declared = {
        node.target.id: ast.unparse(node.annotation)
        for node in stub_class(module, class_name).body
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
    }
    class_annotations = vars(cls).get("__annotations__", {})
    instance_attributes = set(vars(cls()))
    for name, text in declared.items():
        if name in class_annotations:
            assert class_annotations[name] == text
        else:
            assert name in instance_attributes, name
    assert set(class_annotations) <= set(declared)
    assert instance_attributes <= set(declared)


def test_the_typed_example_runs(redis_server: RedisServer) -> None:
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "typed_usage.py"), "127.0.0.1",
         str(redis_server.port)],
        capture_output=True, text=True, timeout=scaled(60), stdin=subprocess.DEVNULL,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "LocalLatch: taken=True, taken again=False",
        "LocalLatch: free targets: 2 of 2",
        "before connect: RemoteLatch is not connected. Call connect() before using this method.",
        "TimedRemoteLatch: taken=True, taken again=False",
        "TimedRemoteLatch: free targets: 2 of 2",
    ]
