#!/usr/bin/env bash
# Shared set-up for the project's commands: installs what a fresh Debian machine lacks
# (apt packages, a Python 3.13 virtual environment, PyPI packages). Idempotent: a second
# run only checks. Sourced by scripts/demo, scripts/test and scripts/bench.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
APT_PACKAGES=(build-essential cmake pkg-config libopencv-core-dev libopencv-imgproc-dev libgtest-dev)

log() { printf '[molvane] %s\n' "$*" >&2; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; elif command -v sudo >/dev/null 2>&1; then sudo "$@"; else
    log "need root to run: $*"; return 1; fi
}

ensure_apt_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  log "installing apt packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null 2>&1 || {
    as_root apt-get update >/dev/null
    as_root apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null
  }
}

python_works() { "$1" -c 'import sys, venv; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; }

# MOLVANE_PYTHON names an interpreter; else python3.13 from PATH, else pyenv's 3.13,
# else Debian's python3.13 packages.
find_python() {
  local cand
  if [ -n "${MOLVANE_PYTHON:-}" ]; then echo "$MOLVANE_PYTHON"; return 0; fi
  if command -v python3.13 >/dev/null 2>&1 && python_works python3.13; then command -v python3.13; return 0; fi
  if command -v pyenv >/dev/null 2>&1; then
    cand="$(pyenv root)/versions/$(pyenv versions --bare 2>/dev/null | grep -E '^3\.13(\.[0-9]+)?$' | sort -V | tail -n1)/bin/python3.13"
    if [ -x "$cand" ] && python_works "$cand"; then echo "$cand"; return 0; fi
  fi
  for cand in "$HOME"/.pyenv/versions/3.13*/bin/python3.13; do
    if [ -x "$cand" ] && python_works "$cand"; then echo "$cand"; return 0; fi
  done
  ensure_apt_packages python3.13 python3.13-venv python3.13-dev
  echo /usr/bin/python3.13
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys' >/dev/null 2>&1; then
    local py; py="$(find_python)"
    log "creating virtual environment with $py"
    "$py" -m venv "$VENV"
  fi
  local stamp="$VENV/.requirements.stamp" req="$ROOT/requirements-dev.txt"
  if [ ! -f "$stamp" ] || ! cmp -s "$req" "$stamp"; then
    log "installing PyPI packages from requirements-dev.txt"
    "$VENV/bin/python" -m pip install -q --upgrade pip
    "$VENV/bin/python" -m pip install -q -r "$req"
    cp "$req" "$stamp"
  fi
}

# Builds and installs the package into the venv; the build directory is kept, so a
# second run recompiles only what changed.
build_package() {
  log "building molvane"
  "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps \
    -Cbuild-dir="$ROOT/build/wheel" "$ROOT"
}

bootstrap() {
  ensure_apt_packages "${APT_PACKAGES[@]}"
  ensure_venv
  build_package
}
