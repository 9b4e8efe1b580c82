#!/usr/bin/env bash
# Builds the cryptography fuzz target with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it for N seconds (default 60).
#   scripts/fuzz-crypto.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${KVL_FUZZ_BUILD_DIR:-build/fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DKVL_SANITIZE=ON -DKVL_BUILD_FUZZ=ON -DKVL_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j "${KVL_JOBS:-4}" --target crypto_fuzzer
corpus="$build/crypto_fuzzer_corpus"
mkdir -p "$corpus"
# Seeds: a valid P-256 point for each selector that reads points, and a length prefix.
printf '\x00\x03\x6b\x17\xd1\xf2\xe1\x2c\x42\x47\xf8\xbc\xe6\xe5\x63\xa4\x40\xf2\x77\x03\x7d\x81\x2d\xeb\x33\xa0\xf4\xa1\x39\x45\xd8\x98\xc2\x96' >"$corpus/p256_point"
printf '\x02\x03\x6b\x17\xd1\xf2\xe1\x2c\x42\x47\xf8\xbc\xe6\xe5\x63\xa4\x40\xf2\x77\x03\x7d\x81\x2d\xeb\x33\xa0\xf4\xa1\x39\x45\xd8\x98\xc2\x96' >"$corpus/p256_ciphertext"
printf '\x04\x03\x00\x00\x00abc' >"$corpus/length_prefix"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$build/tests/privacy/fuzz/crypto_fuzzer" -max_total_time="$seconds" -max_len=512 "$corpus"
