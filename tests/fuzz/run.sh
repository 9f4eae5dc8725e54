#!/usr/bin/env bash
# Builds the libFuzzer target over map files (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it for a bounded time. Any crash,
# sanitizer report, hang past 5 s or memory use past 2 GiB fails the run and
# leaves the input in build/fuzz/artifacts/.
#   tests/fuzz/run.sh [SECONDS]      (default 60)
# The committed corpus (tests/fuzz/corpus: small real map files, plus inputs
# that once crashed) is replayed first; what the run finds is kept outside the
# repository in build/fuzz/corpus, so later runs start from it.
set -euo pipefail
cd "$(dirname "$0")/../.."
budget=${1:-60}
build=build/fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DFENNOWICK_PYTHON=OFF -DFENNOWICK_NATIVE_TESTS=OFF -DFENNOWICK_BENCHMARKS=OFF -DFENNOWICK_FUZZ=ON \
  -DFENNOWICK_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target fuzz_map_file -j "$(nproc)"

mkdir -p "$build/corpus" "$build/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$build/fuzz_map_file" "$build/corpus" tests/fuzz/corpus \
  -max_total_time="$budget" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/"
