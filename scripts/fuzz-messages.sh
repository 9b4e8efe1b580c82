#!/usr/bin/env bash
# Builds the message decoder's libFuzzer target with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it for N seconds (default 60) over the kept corpus.
#   scripts/fuzz-messages.sh [seconds]
#   scripts/fuzz-messages.sh --seed     rewrite the seed corpus from the round-trip tests
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KVL_FUZZ_BUILD_DIR:-build/fuzz}
corpus=tests/AppMeasurement/messages/fuzz/corpus

if [ "${1:-}" = "--seed" ]; then
  testbuild=${KVL_BUILD_DIR:-build/asan}
  cmake --build "$testbuild" --target apm_messages_tests -j4
  mkdir -p "$corpus"
  KVL_WRITE_FUZZ_SEEDS="$PWD/$corpus" "$testbuild/tests/AppMeasurement/messages/apm_messages_tests" \
    --gtest_filter='EveryMessage/ProtocRoundTrip.*' >/dev/null
  ls "$corpus" | wc -l
  exit 0
fi

seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVL_SANITIZE=ON -DKVL_BUILD_TESTS=ON -DKVL_BUILD_FUZZ=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" --target apm_messages_fuzzer -j4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$build/tests/AppMeasurement/messages/fuzz/apm_messages_fuzzer" \
  -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=4096 -print_final_stats=1 \
  "$work" "$corpus"
