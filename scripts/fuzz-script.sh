#!/usr/bin/env bash
# Builds the script runtime's libFuzzer target with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it for N seconds (default 60). The target's own watchdog
# aborts on an input that runs too long or a process that grows too large; libFuzzer's limits
# back it up.
#   scripts/fuzz-script.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KVL_FUZZ_BUILD_DIR:-build/fuzz}
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVL_SANITIZE=ON -DKVL_BUILD_TESTS=ON -DKVL_BUILD_FUZZ=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" --target apm_script_fuzzer -j4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# A program that spends its whole budget takes about 0.5 s in Release and ten times that here:
# only inputs past the watchdog's bound are failures, slow ones are not reported.
mkdir -p "$build/fuzz-artifacts"
"$build/tests/AppMeasurement/script/fuzz/apm_script_fuzzer" \
  -max_total_time="$seconds" -max_len=4096 -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
  -report_slow_units=30 -artifact_prefix="$build/fuzz-artifacts/" "$work"
