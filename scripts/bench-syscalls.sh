#!/usr/bin/env bash
# System calls per event of the engine benchmark's committed runs, every thread of the
# process, by strace: each benchmark runs twice with fixed iteration counts and the counts of
# the two runs are subtracted, so that start-up, the stored rows' set-up and exit drop out.
# What remains per event includes the untimed upkeep between batches (deleting the batch's
# count of the oldest rows and resetting the daily counts; the anchor deletes its rows too).
#
# Usage: scripts/bench-syscalls.sh [path to apm_engine_bench] [short iterations] [long iterations]
set -euo pipefail

bench=${1:-build/release/bench/engine/apm_engine_bench}
short=${2:-2}
long=${3:-6}
batch=200  # events per iteration (kBatch of bench/engine/EngineBench.cc)

if ! command -v strace >/dev/null; then
  echo "strace is not installed" >&2
  exit 1
fi
if [ ! -x "$bench" ]; then
  echo "no benchmark program at $bench (build the apm_engine_bench target)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs one benchmark with N iterations under strace; the summary goes to $work/<tag>.
trace() {
  local filter=$1 iterations=$2 out=$3
  KVL_ENGINE_BENCH_ITERATIONS=$iterations strace -f -c -o "$out" \
    "$bench" --benchmark_filter="$filter" --benchmark_repetitions=1 >/dev/null 2>&1
}

for name in BM_Facade_LoggedAndCommitted/0 BM_Facade_LoggedAndCommitted/40000 \
  BM_Sqlite_OneRowTransactions/0 BM_Sqlite_OneRowTransactions/40000; do
  filter="^${name}(/iterations:[0-9]+)?\$"
  trace "$filter" "$short" "$work/short"
  trace "$filter" "$long" "$work/long"
  python3 - "$work/short" "$work/long" "$(((long - short) * batch))" "$name" <<'PY'
import sys

def calls(path):
    counts = {}
    for line in open(path):
        fields = line.split()
        # "% time seconds usecs/call calls [errors] syscall"; the separators and header skip.
        if len(fields) < 5 or not fields[0][0].isdigit():
            continue
        counts[fields[-1]] = int(fields[3])
    return counts

short, long = calls(sys.argv[1]), calls(sys.argv[2])
events, name = int(sys.argv[3]), sys.argv[4]
per_event = {k: (long.get(k, 0) - short.get(k, 0)) / events for k in set(short) | set(long)}
total = per_event.pop("total", 0)
top = sorted(per_event.items(), key=lambda kv: -kv[1])[:6]
print(f"{name}: {total:.2f} system calls per event (" +
      ", ".join(f"{k} {v:.2f}" for k, v in top if v > 0.005) + ")")
PY
done
