#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian machine with
# Python 3.11: the native toolchain and libraries, then the package itself
# with its test and benchmark extras. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

APT_PACKAGES=(
  build-essential ninja-build
  libgtest-dev libgmock-dev libbenchmark-dev libxxhash-dev
  clang libclang-rt-14-dev valgrind spin
  redis-server
)
missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PY=${PYTHON:-python3}
$PY -m pip install -q --upgrade "pip>=23" >/dev/null
$PY -m pip install -q "scikit-build-core>=0.10" "cmake>=3.20" ninja
$PY -m pip install -q --no-build-isolation ".[test,bench]"
