# Sourced by the commands of scripts/ and .ci/: where things are and how to find them.
# shellcheck shell=bash

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Venvs live in the repository (git ignores them), or, inside a Debian root made by
# scripts/debian-root, in that root, so that the host's and the root's never meet. The
# default venv is .venv for CPython 3.12 and .venv-X.Y for QUARN_PYTHON_VERSION=X.Y;
# QUARN_PYTHON=/path/to/pythonX.Y names an interpreter by path instead (a free-threaded
# python3.14t of your own build, say), whose venv is .venv-<its file name>.
VENV_HOME="${QUARN_VENV_HOME:-$ROOT}"
if [ -n "${QUARN_PYTHON:-}" ]; then
  PYTHON="$QUARN_PYTHON"
  VENV="${VENV:-$VENV_HOME/.venv-$(basename "$QUARN_PYTHON")}"
fi
VENV="${VENV:-$VENV_HOME/.venv${QUARN_PYTHON_VERSION:+-$QUARN_PYTHON_VERSION}}"

# The revision of the tree, for the result files (quarn_devkit.machine), found where git is
# (the host) and passed on into the Debian roots, which have no git.
if [ -z "${QUARN_REVISION:-}" ] && git -C "$ROOT" rev-parse --short HEAD >/dev/null 2>&1; then
  QUARN_REVISION="$(git -C "$ROOT" rev-parse --short HEAD)"
  git -C "$ROOT" diff --quiet HEAD -- src CMakeLists.txt || QUARN_REVISION="$QUARN_REVISION+src"
  export QUARN_REVISION
fi

# The CPython minor versions the backends support, oldest first, and where each is
# built and tested: pyenv's builds on the host, Debian's in the Debian testing root of
# scripts/debian-root (amd64), and, for aarch64, Debian's arm64 builds (Debian has no
# CPython 3.12 for arm64, so 3.12 on aarch64 installs from the sdist).
SUPPORTED_PYTHONS="3.12 3.13 3.14 3.15"
HOST_PYTHONS="3.12 3.13"
ROOT_PYTHONS="3.14 3.15"
AARCH64_PYTHONS="3.13 3.14 3.15"

# A CPython: $PYTHON if set, else the newest pyenv build of the minor version given (3.12 by
# default), else pythonX.Y on PATH.
find_python() {
  local version="${1:-3.12}"
  if [ -n "${PYTHON:-}" ]; then
    echo "$PYTHON"
    return
  fi
  local root candidate
  if command -v pyenv >/dev/null 2>&1; then
    root="$(pyenv root)"
  else
    root="${PYENV_ROOT:-$HOME/.pyenv}"
  fi
  candidate="$(ls -d "$root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V | tail -n 1)"
  if [ -n "$candidate" ]; then
    echo "$candidate"
  elif command -v "python$version" >/dev/null 2>&1; then
    command -v "python$version"
  else
    echo "CPython $version not found: install it (pyenv install $version) or set PYTHON" >&2
    return 1
  fi
}

# apt-get on the host, one at a time (CI's two tracks may both install something), with
# sudo unless running as root. An install is tried first; the package lists are updated
# only when it fails.
apt_host() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo flock /var/lock/quarn-apt.lock env DEBIAN_FRONTEND=noninteractive \
    apt-get -o DPkg::Lock::Timeout=600 "$@"
}
apt_install() {
  apt_host install -y -q "$@" >/dev/null 2>&1 ||
    { apt_host update -q && apt_host install -y -q "$@"; }
}

# ensure_commands COMMAND=PACKAGE ...: installs, in one go, the packages of the commands
# that are missing.
ensure_commands() {
  local pair missing=()
  for pair in "$@"; do
    command -v "${pair%%=*}" >/dev/null 2>&1 || missing+=("${pair#*=}")
  done
  [ ${#missing[@]} -eq 0 ] && return
  echo "== installing ${missing[*]} from Debian's packages"
  apt_install "${missing[@]}"
}

# redis-server from Debian's packages, installed when missing. REDIS_SERVER (a path, or a
# name on PATH such as valkey-server) chooses another server for the tests.
ensure_redis_server() {
  if [ -n "${REDIS_SERVER:-}" ]; then
    command -v "$REDIS_SERVER" >/dev/null 2>&1 && return
    echo "REDIS_SERVER=$REDIS_SERVER: no such server" >&2
    return 1
  fi
  ensure_commands redis-server=redis-server redis-cli=redis-tools
}

# nftables, for the partition test of tests/test_deployment_faults.py: installed when
# missing and running as root (as CI does); elsewhere that test skips itself.
ensure_nftables() {
  [ "$(id -u)" -eq 0 ] || return 0
  ensure_commands nft=nftables || echo "== nftables not installed: the partition test will skip"
}

# What a build of the backends needs beyond pip, for the interpreter $1: a C++20 compiler
# (g++ 10 or newer) and the interpreter's headers (CMake comes from PyPI with the build
# when the machine has none recent enough). Installed from Debian's packages when missing,
# where that is allowed (as root, or with sudo); otherwise one line says what to install.
ensure_build_tools() {
  local python="$1" missing=() version
  if ! command -v g++ >/dev/null 2>&1; then
    missing+=(g++)
  elif [ "$(g++ -dumpversion | cut -d. -f1)" -lt 10 ]; then
    echo "the build needs g++ 10 or newer (C++20); this one is $(g++ -dumpversion)" >&2
    return 1
  fi
  if ! "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))'; then
    version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    missing+=("python$version-dev")
  fi
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ] && ! sudo -n true 2>/dev/null; then
    echo "the build needs ${missing[*]}: sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "== installing ${missing[*]} from Debian's packages (the build needs them)"
  apt_install "${missing[@]}"
}

# The host stand-in and the development kit (devkit/), then the backends with their test
# tools, in $VENV (made with $PYTHON, or CPython $QUARN_PYTHON_VERSION, default 3.12).
# Rebuilds only when a source changed since the last install, or when that install was of
# another flavour (sanitizers on or off, other versions of the dependencies: QUARN_PINS,
# requirements installed last, e.g. "redis==5.0.0 hiredis==3.2.0"). With QUARN_WHEEL set to
# a wheel of ours, installs that wheel instead of building the sources (the suite then
# tests what ships: the aarch64 wheels under emulation, where a build would take minutes),
# and with QUARN_SUPPORT_WHEELS, a folder of the host stand-in's and the devkit's wheels,
# those wheels instead of their sources.
#
# Under emulation (the arm64 root on another machine) pip itself would run emulated, 20 to
# 100 times slower: there scripts/debian-root gives QUARN_UV, a native, statically linked
# uv, which resolves, downloads and unpacks natively and runs the venv's interpreter only
# to ask it what it is. The venv still gets its own pip, for the tests that use it.
ensure_package() {
  # One install at a time per venv: CI's two tracks may both use one venv of a root.
  mkdir -p "$(dirname "$VENV")"
  local lock
  exec {lock}>"$VENV.lock"
  flock "$lock"
  _ensure_package
  exec {lock}>&-
}

# venv_install [--reinstall] ARG...: `pip install -q ARG...` into $VENV, by its own pip or
# by $QUARN_UV. --reinstall reinstalls what the arguments name even when the same version is
# installed.
venv_install() {
  local reinstall=()
  if [ "${1:-}" = --reinstall ]; then
    shift
    if [ -n "${QUARN_UV:-}" ]; then reinstall=(--reinstall); else reinstall=(--force-reinstall); fi
  fi
  if [ -n "${QUARN_UV:-}" ]; then
    "$QUARN_UV" pip install -q --system-certs --python "$VENV/bin/python" "${reinstall[@]}" "$@"
  else
    "$VENV/bin/python" -m pip install -q "${reinstall[@]}" "$@"
  fi
}

_ensure_package() {
  if [ ! -x "$VENV/bin/python" ]; then
    local python
    python="$(find_python "${QUARN_PYTHON_VERSION:-3.12}")"
    echo "== creating $VENV with $python${QUARN_UV:+ (packages installed by $QUARN_UV)}"
    if [ -n "${QUARN_UV:-}" ]; then
      "$python" -m venv --without-pip "$VENV"
    else
      "$python" -m venv "$VENV"
    fi
    venv_install --upgrade pip
  fi
  local stamp="$VENV/.quarn-installed" flavour recorded=""
  flavour="FROM=$ROOT QUARN_SANITIZE=${QUARN_SANITIZE:-OFF} QUARN_TSAN=${QUARN_TSAN:-OFF} QUARN_PINS=${QUARN_PINS:-}"
  flavour="$flavour QUARN_WHEEL=${QUARN_WHEEL:-}"
  if [ -f "$stamp" ]; then recorded="$(cat "$stamp")"; fi
  if [ -f "$stamp" ] && [ "$recorded" = "$flavour" ] &&
    [ -z "$(find "$ROOT/src" "$ROOT/host" "$ROOT/devkit/src" "$ROOT/devkit/pyproject.toml" \
      "$ROOT/CMakeLists.txt" "$ROOT/pyproject.toml" \
      ${QUARN_WHEEL:+"$QUARN_WHEEL"} \
      \( -name build -o -name '*.egg-info' -o -name __pycache__ \) -prune -o \
      -newer "$stamp" -print -quit)" ]; then
    return
  fi
  # The stand-in first: the backends' wheel adds its modules to the host's package.
  if [ -n "${QUARN_WHEEL:-}" ]; then
    echo "== installing the host stand-in, the devkit and $(basename "$QUARN_WHEEL") into $VENV"
    if [ -n "${QUARN_SUPPORT_WHEELS:-}" ]; then
      # Their wheels, built beforehand where pip runs natively (both are pure Python).
      venv_install "$QUARN_SUPPORT_WHEELS"/quarn_host_standin-*.whl \
        "$QUARN_SUPPORT_WHEELS"/quarn_devkit-*.whl
    else
      venv_install "$ROOT/host" "$ROOT/devkit"
    fi
    venv_install --reinstall --no-deps "$QUARN_WHEEL"
    venv_install "$QUARN_WHEEL[remote-latch,test]"
  else
    ensure_build_tools "$VENV/bin/python"
    echo "== installing the host stand-in and the devkit, and building the backends into $VENV"
    venv_install "$ROOT/host" "$ROOT/devkit"
    # Each venv keeps its own CMake build tree, so rebuilds are incremental and two venvs
    # never share one.
    venv_install -C build-dir="$VENV/cmake-build" "$ROOT[remote-latch,test]"
  fi
  if [ -n "${QUARN_PINS:-}" ]; then
    # shellcheck disable=SC2086 # one word per requirement
    venv_install $QUARN_PINS
  fi
  echo "$flavour" >"$stamp"
}

# The `bench` extra (matplotlib, for the charts of scripts/report) in $VENV, installed when
# missing. Its requirements are read from pyproject.toml and installed alone: installing
# the package with the extra would rebuild it.
ensure_bench_extra() {
  "$VENV/bin/python" -c "import matplotlib" 2>/dev/null && return
  local wanted
  wanted="$("$VENV/bin/python" -c '
import sys, tomllib
print(" ".join(tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]["bench"]))
' "$ROOT/pyproject.toml")"
  echo "== installing the bench extra ($wanted) into $VENV"
  # shellcheck disable=SC2086 # one word per requirement
  "$VENV/bin/python" -m pip install -q $wanted
}
