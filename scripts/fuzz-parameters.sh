#!/usr/bin/env bash
# Builds the libFuzzer target of the parameter sanitiser, the validator and the event model
# with clang under AddressSanitizer and UndefinedBehaviorSanitizer, and runs it for N seconds
# (default 60); new inputs that add coverage join the kept corpus.
#   scripts/fuzz-parameters.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KVL_FUZZ_BUILD_DIR:-build/fuzz}
corpus=tests/AppMeasurement/engine/fuzz/corpus
mkdir -p "$corpus"

seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVL_SANITIZE=ON -DKVL_BUILD_TESTS=ON -DKVL_BUILD_FUZZ=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" --target apm_parameters_fuzzer -j4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
fuzzer="$build/tests/AppMeasurement/engine/fuzz/apm_parameters_fuzzer"
"$fuzzer" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=4096 -print_final_stats=1 \
  "$work" "$corpus"
# Keep what added coverage, minimised, for the replay test.
"$fuzzer" -merge=1 -max_len=4096 "$corpus" "$work"
