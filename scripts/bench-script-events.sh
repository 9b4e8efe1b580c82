#!/usr/bin/env bash
# The editing workload's events per second before and after a change of the script runtime:
# builds bench/script's benchmark in Release for a base revision (default: main) and for the
# working tree, runs the event-editing pair (the runtime and its Duktape anchor, measured in
# the same run) in each, and prints events per second and the ratio after / before, both
# raw and relative to the anchor.
#   scripts/bench-script-events.sh [base-revision]
set -euo pipefail
cd "$(dirname "$0")/.."

base=${1:-main}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The base's sources and build are kept between runs, so that a second run rebuilds only what
# changed.
rm -rf build/bench-base/src
mkdir -p build/bench-base/src
git archive "$base" | tar -x -C build/bench-base/src
before=build/bench-base/build

build() {  # source dir, build dir
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVL_BUILD_BENCH=ON \
    -DKVL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$2" --target apm_script_bench -j4 >/dev/null
}
run() {  # build dir, output json
  "$1/bench/script/apm_script_bench" --benchmark_filter='^BM_(Duktape)?EventEditing(/|$)' \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out="$2" --benchmark_out_format=json >/dev/null
}

build build/bench-base/src "$before"
build . "${KVL_RELEASE_BUILD_DIR:-build/release}"
run "$before" "$work/before.json"
run "${KVL_RELEASE_BUILD_DIR:-build/release}" "$work/after.json"

python3 - "$work/before.json" "$work/after.json" <<'PY'
import json, sys
def medians(path):
    out = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            out[b["run_name"].split("/")[0]] = b["items_per_second"]
    return out
before, after = medians(sys.argv[1]), medians(sys.argv[2])
run, anchor = "BM_EventEditing", "BM_DuktapeEventEditing"
print(f"events/s before: {before[run]:,.0f} (anchor {before[anchor]:,.0f})")
print(f"events/s after:  {after[run]:,.0f} (anchor {after[anchor]:,.0f})")
print(f"after / before: {after[run] / before[run]:.3f}")
print(f"after / before, relative to the anchor: "
      f"{(after[run] / after[anchor]) / (before[run] / before[anchor]):.3f}")
PY
