#!/usr/bin/env bash
# Sets everything up and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${SKIP_SETUP:-0}" = 1 ] || ./scripts/setup.sh
if command -v quillmap >/dev/null 2>&1 && quillmap --help >/dev/null 2>&1; then
  exec quillmap demo "$@"
fi
# Until the command line exists: the native benchmarks of the core.
cmake -S . -B build/bench -G Ninja -DFENNOWICK_PYTHON=OFF -DFENNOWICK_BENCHMARKS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j "$(nproc)"
for b in build/bench/bench_*; do
  [ -x "$b" ] && "$b"
done
