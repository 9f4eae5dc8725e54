#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian machine with
# Python 3.11 or later: the native toolchain and libraries from Debian, then,
# in the project's virtual environment (the active one, else .venv), the
# package itself with its test and benchmark extras. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PY=${PYTHON:-python3}
APT_PACKAGES=(
  build-essential ninja-build
  libgtest-dev libgmock-dev libbenchmark-dev libxxhash-dev
  clang libclang-rt-14-dev valgrind spin
  redis-server
)
# Debian's own python3 makes virtual environments only with python3-venv.
"$PY" -c 'import ensurepip' >/dev/null 2>&1 || APT_PACKAGES+=(python3-venv)
missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

venv=$(default_venv)
if [ -n "${VIRTUAL_ENV:-}" ]; then PY="$VIRTUAL_ENV/bin/python"; fi
./scripts/venv.sh "$PY" "$venv" test,bench
