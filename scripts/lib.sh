# Shared by the scripts in this folder: where things are and how to find them.
# shellcheck shell=bash

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VENV:-$ROOT/.venv}"

# CPython 3.12: $PYTHON if set, else the newest pyenv 3.12, else python3.12 on PATH.
find_python() {
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
  candidate="$(ls -d "$root"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V | tail -n 1)"
  if [ -n "$candidate" ]; then
    echo "$candidate"
  elif command -v python3.12 >/dev/null 2>&1; then
    command -v python3.12
  else
    echo "CPython 3.12 not found: install it (pyenv install 3.12) or set PYTHON" >&2
    return 1
  fi
}

# redis-server from Debian's packages, installed when missing.
ensure_redis_server() {
  if command -v redis-server >/dev/null 2>&1; then
    return
  fi
  echo "== installing redis-server from Debian's packages"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q redis-server
}

# nftables, for the partition test of tests/test_deployment_faults.py: installed when
# missing and running as root (as CI does); elsewhere that test skips itself.
ensure_nftables() {
  if command -v nft >/dev/null 2>&1 || [ "$(id -u)" -ne 0 ]; then
    return
  fi
  echo "== installing nftables from Debian's packages"
  { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q nftables; } ||
    echo "== nftables not installed: the partition test will skip"
}

# The package and its test tools in $VENV. Rebuilds only when a source changed since
# the last install, or when that install was of the other flavour (QUARN_SANITIZE on/off).
ensure_package() {
  if [ ! -x "$VENV/bin/python" ]; then
    local python
    python="$(find_python)"
    echo "== creating $VENV with $python"
    "$python" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
  fi
  local stamp="$VENV/.quarn-installed" flavour recorded=""
  flavour="QUARN_SANITIZE=${QUARN_SANITIZE:-OFF}"
  if [ -f "$stamp" ]; then recorded="$(cat "$stamp")"; fi
  if [ -f "$stamp" ] && [ "${recorded:-QUARN_SANITIZE=OFF}" = "$flavour" ] &&
    [ -z "$(find "$ROOT/src" "$ROOT/CMakeLists.txt" "$ROOT/pyproject.toml" -newer "$stamp" -print -quit)" ]; then
    return
  fi
  echo "== building and installing quarn_data into $VENV"
  # Each venv keeps its own CMake build tree, so rebuilds are incremental and two venvs
  # never share one.
  "$VENV/bin/python" -m pip install -q -C build-dir="$VENV/cmake-build" "$ROOT[remote-latch,test]"
  echo "$flavour" >"$stamp"
}
