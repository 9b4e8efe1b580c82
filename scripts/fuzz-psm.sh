#!/usr/bin/env bash
# Builds the libFuzzer target over the private-set-membership and on-device conversion parsers
# with clang under AddressSanitizer and UndefinedBehaviorSanitizer, and runs it for N seconds
# (default 60) over the kept corpus of real psm-server answers.
#   scripts/fuzz-psm.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KVL_FUZZ_BUILD_DIR:-build/fuzz}
corpus=tests/OrvaneAdsOnDeviceConversion/fuzz/corpus
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVL_SANITIZE=ON -DKVL_BUILD_TESTS=ON -DKVL_BUILD_FUZZ=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" --target psm_fuzzer -j4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KVL_FUZZ_QUIET=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$build/tests/OrvaneAdsOnDeviceConversion/fuzz/psm_fuzzer" \
  -max_total_time="$seconds" -max_len=262144 -rss_limit_mb=4096 -timeout=10 -print_final_stats=1 \
  "$work" "$corpus"
