#!/usr/bin/env bash
# Sets everything up and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${SKIP_SETUP:-0}" = 1 ] || ./scripts/setup.sh
source scripts/pythons.sh
quillmap="$(default_venv)/bin/quillmap"
if [ -x "$quillmap" ] && "$quillmap" --help >/dev/null 2>&1; then
  exec "$quillmap" demo "$@"
fi
export PATH="$PATH:$(default_venv)/bin"  # cmake, when the machine has none of its own
# Until the command line exists: the native benchmarks of the core.
cmake -S . -B build/bench -G Ninja -DFENNOWICK_PYTHON=OFF -DFENNOWICK_BENCHMARKS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j "$(nproc)"
for b in build/bench/bench_*; do
  [ -x "$b" ] && "$b"
done
