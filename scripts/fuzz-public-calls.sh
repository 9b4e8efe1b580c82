#!/usr/bin/env bash
# Builds the libFuzzer target of the public calls into a running engine (names and parameter trees of any shape)
# with clang under AddressSanitizer and UndefinedBehaviorSanitizer, and runs it for N seconds
# (default 60).
#   scripts/fuzz-public-calls.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KVL_FUZZ_BUILD_DIR:-build/fuzz}
corpus=tests/AppMeasurement/engine/fuzz/public-calls-corpus
mkdir -p "$corpus"

seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVL_SANITIZE=ON -DKVL_BUILD_TESTS=ON -DKVL_BUILD_FUZZ=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" --target apm_public_calls_fuzzer -j4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$build/tests/AppMeasurement/engine/fuzz/apm_public_calls_fuzzer" \
  -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=4096 -print_final_stats=1 \
  "$work" "$corpus"
