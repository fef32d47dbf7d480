"""What a measurement ran on: the machine, the interpreter and its build, the source tree.

The benchmarks and ``scripts/faults`` put `describe()` at the head of every result file,
so that a figure can always be traced to the machine, the interpreter build (pyenv's or
Debian's, PGO and LTO, the JIT on or off) and the commit it came from.

    python -m quarn_devkit.machine        # the description of this interpreter, as JSON
"""

from __future__ import annotations

import json
import os
import platform
import subprocess
import sys
import sysconfig
from pathlib import Path
from typing import Any


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def command_output(*cmd: str) -> str:
    """What the command prints, stripped; "unknown" when it cannot run."""
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def os_name() -> str:
    """PRETTY_NAME of /etc/os-release (inside a Debian root: the root's own)."""
    try:
        for line in Path("/etc/os-release").read_text().splitlines():
            if line.startswith("PRETTY_NAME="):
                return line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return platform.system()


def load_average() -> list[float]:
    """The 1, 5 and 15 minute load averages."""
    return [round(x, 2) for x in os.getloadavg()]


def machine() -> dict[str, Any]:
    return {
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "usable_cores": len(os.sched_getaffinity(0)),
        "kernel": f"{platform.system()} {platform.release()}",
        "os": os_name(),
        "arch": platform.machine(),
    }


def jit() -> dict[str, bool]:
    """Whether the interpreter has the JIT, and whether it is on (PYTHON_JIT=1 turns it on
    in Debian's 3.14 and 3.15); both False where ``sys._jit`` does not exist."""
    probe = getattr(sys, "_jit", None)
    if probe is None:
        return {"available": False, "enabled": False}
    return {"available": bool(probe.is_available()), "enabled": bool(probe.is_enabled())}


def home_relative(path: str) -> str:
    """`path` with the home folder written as ~ (result files name no one's home)."""
    home = os.path.expanduser("~")
    if home not in ("", "/") and (path == home or path.startswith(home + os.sep)):
        return "~" + path[len(home):]
    return path


def interpreter() -> dict[str, Any]:
    """The running interpreter and where its build comes from.

    `origin` is "pyenv" (built by pyenv's python-build: PGO and LTO only when its configure
    arguments say so), "debian" (a package of the distribution: Debian builds python3.X
    with PGO and LTO, which its configure arguments do not show) or "other"."""
    base = Path(sys.base_prefix)
    executable = os.path.realpath(getattr(sys, "_base_executable", sys.executable))
    config = sysconfig.get_config_var("CONFIG_ARGS") or ""
    info: dict[str, Any] = {
        "implementation": platform.python_implementation(),
        "version": platform.python_version(),
        "executable": home_relative(executable),
        "venv": Path(sys.prefix).name if sys.prefix != sys.base_prefix else None,
        "where": (f"Debian root {os.environ['QUARN_IN_ROOT']}" if os.environ.get("QUARN_IN_ROOT")
                  else "host"),
        "compiler": platform.python_compiler(),
        "jit": jit(),
    }
    package = ""
    if "/.pyenv/versions/" in f"{base}/":
        origin = "pyenv"
    elif str(base) == "/usr" and Path("/etc/debian_version").exists():
        owner = command_output("dpkg-query", "-S", executable)
        name = owner.split(":", 1)[0] if ":" in owner else ""
        version = command_output("dpkg-query", "-W", "-f", "${Version}", name) if name else ""
        origin = "debian" if name else "other"
        package = f"{name} {version}".strip()
    else:
        origin = "other"
    if origin == "debian":
        info.update(origin=origin, package=package, pgo=True, lto=True,
                    optimizations_from="Debian's packaging (debian/rules)")
    else:
        info.update(origin=origin, package=package, pgo="--enable-optimizations" in config,
                    lto="--with-lto" in config, optimizations_from="CONFIG_ARGS")
    return info


def build_label(info: dict[str, Any]) -> str:
    """E.g. "3.14.8 (Debian, PGO+LTO, JIT on)" or "3.12.1 (pyenv)"."""
    words = [{"pyenv": "pyenv", "debian": "Debian"}.get(info["origin"], info["origin"])]
    optimized = [name for name in ("pgo", "lto") if info.get(name)]
    if optimized:
        words.append("+".join(name.upper() for name in optimized))
    if info["jit"]["available"]:
        words.append("JIT on" if info["jit"]["enabled"] else "JIT off")
    return f"{info['version']} ({', '.join(words)})"


def build_id(info: dict[str, Any]) -> str:
    """A file name for the build, e.g. "cpython-3.14.8-debian-jit"."""
    name = f"{info['implementation'].lower()}-{info['version']}-{info['origin']}"
    return name + ("-jit" if info["jit"]["enabled"] else "")


def source_revision(root: Path) -> dict[str, Any]:
    """The git commit of the tree at `root`, and whether the native sources differ from it;
    where git cannot tell (a Debian root has no git), what the commands found outside it
    ($QUARN_REVISION: the commit, with "+src" when the sources differed)."""
    given = os.environ.get("QUARN_REVISION", "")
    if given:
        commit, _, mark = given.partition("+")
        return {"commit": commit, "changed_src": mark == "src"}
    head = command_output("git", "-C", str(root), "rev-parse", "--short", "HEAD")
    if not head or head == "unknown":
        return {"commit": "unknown", "changed_src": None}
    try:
        changed = subprocess.run(
            ["git", "-C", str(root), "diff", "--quiet", "HEAD", "--", "src", "CMakeLists.txt"],
            timeout=10,
        ).returncode != 0
    except (OSError, subprocess.SubprocessError):
        return {"commit": head, "changed_src": None}
    return {"commit": head, "changed_src": changed}


def revision_text(revision: dict[str, Any]) -> str:
    if revision["commit"] == "unknown":
        return "unknown (not a git checkout)"
    return f"git {revision['commit']}" + (
        " with uncommitted changes in src" if revision["changed_src"] else "")


def describe(root: Path) -> dict[str, Any]:
    """Machine, interpreter and source revision, as the head of a result file."""
    return {"machine": machine(), "interpreter": interpreter(), "source": source_revision(root)}


if __name__ == "__main__":
    print(json.dumps(describe(Path.cwd()), indent=2))
