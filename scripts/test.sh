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

echo "== threaded native tests under ThreadSanitizer"
# A test whose name contains "Thread" is a threaded test and runs here. CTest
# starts every test in a process of its own, so a test that forks before it
# starts any thread is fine; a test that forks after starting threads is not
# supported by ThreadSanitizer and must not carry "Thread" in its name. Threads
# of one process must reach a backing file through one mapping: accesses
# through two mappings of one file are unrelated memory to ThreadSanitizer.
cmake -S . -B build/tsan -G Ninja -DFENNOWICK_PYTHON=OFF -DFENNOWICK_NATIVE_TESTS=ON \
  -DFENNOWICK_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tsan -j "$JOBS"
# halt_on_error: a report in a forked child ends it, so the test fails too.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan -R Thread --output-on-failure --no-tests=error -j "$JOBS"

echo "== fuzzing map files (replay of the corpus, then 10 s)"
tests/fuzz/run.sh 10

if [ -x model/check.sh ]; then
  echo "== model check of the expansion protocol"
  ./model/check.sh
fi

echo "== type check of the stubs against the tests' uses"
(cd tests && $PY -m mypy --ignore-missing-imports python/test_dict_api.py python/test_batch.py python/helpers.py)

echo "== python tests"
# run against the installed package, not the source folder
(cd tests && $PY -m pytest -q -p no:cacheprovider python "$@")
