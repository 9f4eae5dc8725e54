#!/usr/bin/env bash
# Sets everything up and runs every test: the native suite (GoogleTest via
# CTest), the native suite again under AddressSanitizer+UBSan, the exhaustive
# model check of the expansion protocol, the Python suite (pytest) on each
# supported Python found on the machine, each in a virtual environment of its
# own, and a smoke test of the binary wheels. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${SKIP_SETUP:-0}" = 1 ] || ./scripts/setup.sh
source scripts/pythons.sh
VENV=$(default_venv)
PY="$VENV/bin/python"
if [ ! -x "$PY" ]; then
  echo "no environment in $VENV: run ./scripts/test.sh without SKIP_SETUP=1 once" >&2
  exit 1
fi
# cmake comes from the environment when the machine has none of its own.
export PATH="$PATH:$VENV/bin"
JOBS=$(nproc)
failed=()

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
(cd tests && "$PY" -m mypy --ignore-missing-imports python/test_dict_api.py python/test_batch.py python/helpers.py)

# Run against the installed package, not the source folder. A failing version
# does not stop the others; the command fails at the end.
python_suite() {
  local py=$1
  shift
  echo "== python tests, Python $(python_minor "$py") ($(dirname "$(dirname "$py")"))"
  (cd tests && "$py" -m pytest -q -p no:cacheprovider python "$@") || failed+=("python tests on $(python_minor "$py")")
}
python_suite "$PY" "$@"
default_minor=$(python_minor "$PY")
for minor in "${SUPPORTED_PYTHONS[@]}"; do
  [ "$minor" != "$default_minor" ] || continue
  other=$(find_python "$minor")
  if [ -z "$other" ]; then
    echo "== Python $minor not found: its suite is skipped"
    continue
  fi
  if [ "${SKIP_SETUP:-0}" != 1 ] || [ ! -x ".venv-$minor/bin/python" ]; then
    ./scripts/venv.sh "$other" ".venv-$minor" test,bench
  fi
  python_suite "$PWD/.venv-$minor/bin/python" "$@"
done

echo "== binary wheels: build, repair, install without a compiler, share a map between two processes"
./scripts/wheels.sh && ./scripts/wheel_smoke.sh || failed+=("wheels")

if [ ${#failed[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failed[@]}" >&2
  exit 1
fi
