#!/usr/bin/env bash
# Installs each wheel ./scripts/wheels.sh made into a fresh virtual
# environment of its Python and runs tests/smoke/wheel_smoke.py there with
# nothing but that environment on PATH (no compiler, no cmake):
#
#   ./scripts/wheel_smoke.sh [WHEEL_DIR]     (default dist/)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

root=$PWD
dir=${1:-dist}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
tested=0
for minor in "${SUPPORTED_PYTHONS[@]}"; do
  tag=cp${minor/./}
  wheel=$(ls "$dir"/fennowick-*-"$tag"-"$tag"-manylinux*.whl 2>/dev/null | tail -n 1 || true)
  [ -n "$wheel" ] || continue
  python=$(find_python "$minor")
  [ -n "$python" ] || continue
  env="$scratch/venv-$minor"
  "$python" -m venv "$env"
  # Only the environment on PATH, a home of its own, binary packages only.
  env -i HOME="$scratch" PATH="$env/bin" \
    "$env/bin/python" -m pip install "${PIP_FLAGS[@]}" --only-binary=:all: "$wheel"
  (cd "$scratch" && env -i HOME="$scratch" PATH="$env/bin" "$env/bin/python" "$root/tests/smoke/wheel_smoke.py")
  tested=$((tested + 1))
done
if [ "$tested" = 0 ]; then
  echo "no wheel to test in $dir: run ./scripts/wheels.sh first" >&2
  exit 1
fi
