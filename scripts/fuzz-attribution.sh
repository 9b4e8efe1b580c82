#!/usr/bin/env bash
# Builds the libFuzzer targets of the attribution flows' untrusted input (an opened link, a
# deferred deep-link answer, a SKAdNetwork answer) with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for N seconds (default 60), keeping new inputs in
# its corpus.
#   scripts/fuzz-attribution.sh [seconds] [campaignurl|deeplinkresponse|skanresponse ...]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KVL_FUZZ_BUILD_DIR:-build/fuzz}
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(campaignurl deeplinkresponse skanresponse)

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVL_SANITIZE=ON -DKVL_BUILD_TESTS=ON -DKVL_BUILD_FUZZ=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j "${KVL_JOBS:-4}" \
  --target $(printf 'apm_%s_fuzzer ' "${targets[@]}")
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for target in "${targets[@]}"; do
  corpus=tests/AppMeasurement/engine/fuzz/corpus-$target
  work=$(mktemp -d)
  "$build/tests/AppMeasurement/engine/fuzz/apm_${target}_fuzzer" \
    -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=4096 -print_final_stats=1 \
    "$work" "$corpus"
  # New inputs that widen coverage join the kept corpus.
  "$build/tests/AppMeasurement/engine/fuzz/apm_${target}_fuzzer" -merge=1 "$corpus" "$work" \
    >/dev/null 2>&1 || true
  rm -rf "$work"
done
