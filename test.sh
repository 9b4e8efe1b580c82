#!/usr/bin/env bash
# The one test command: installs every dependency, builds under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
cd "$(dirname "$0")"

# Asks for sudo only when a package is missing (and waits for another package manager's lock).
bash scripts/install-deps.sh

echo "chromium: $(chromium --version 2>/dev/null || echo missing)"
echo "playwright-core: $(node -p "require('./node_modules/playwright-core/package.json').version" 2>/dev/null || echo missing)"

# Time is read through platform::Clock alone, so that tests can run it virtually.
bash scripts/check-clock-reads.sh

build=${KVL_BUILD_DIR:-build/asan}
# CI builds with warnings as errors: the build stays warning-free.
werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKVL_SANITIZE=ON -DKVL_BUILD_TESTS=ON \
  -DKVL_WERROR="$werror"
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The watch of the default ports leaves its NOTEs (a port held by a running ./run.sh, another
# test run reaching them) in a file: CTest shows a passing test's output only under -V.
notes=$build/default-port-guard/notes
rm -f "$notes"
status=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300 || status=$?
if [ -s "$notes" ]; then cat "$notes"; fi
exit "$status"
