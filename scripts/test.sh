#!/usr/bin/env bash
# Sets everything up and runs every test: the native suite (GoogleTest via
# CTest), the native suite again under AddressSanitizer+UBSan, the exhaustive
# model check of the expansion protocol, and the Python suite (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${SKIP_SETUP:-0}" = 1 ] || ./scripts/setup.sh
PY=${PYTHON:-python3}
JOBS=$(nproc)

echo "== native tests"
cmake -S . -B build/native -G Ninja -DFENNOWICK_PYTHON=OFF -DFENNOWICK_NATIVE_TESTS=ON \
  -DFENNOWICK_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$JOBS"
ctest --test-dir build/native --output-on-failure --no-tests=error -j "$JOBS"

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DFENNOWICK_PYTHON=OFF -DFENNOWICK_NATIVE_TESTS=ON \
  -DFENNOWICK_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/asan --output-on-failure --no-tests=error -j "$JOBS"

if [ -x model/check.sh ]; then
  echo "== model check of the expansion protocol"
  ./model/check.sh
fi

echo "== python tests"
# run against the installed package, not the source folder
(cd tests && $PY -m pytest -q -p no:cacheprovider python "$@")
