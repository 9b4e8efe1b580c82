#!/usr/bin/env bash
# Builds the script runtime in Release and checks the bounds of one event's run: every hostile
# shape of tests/AppMeasurement/script/HostileShapes.h must end within 2 s and under 512 MB
# peak, with its expected outcome, and leave the runtime usable for the next event.
#   scripts/check-script-bounds.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KVL_RELEASE_BUILD_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target apm_script_bounds_check -j4
"$build/bench/script/apm_script_bounds_check"
