#!/usr/bin/env bash
# Compares two runs of the fault sample: prints every fault caught in BEFORE and not in AFTER,
# and exits 1 if there is one.
#   scripts/faults/compare-results.sh BEFORE AFTER
set -euo pipefail
before=$1
after=$2
lost=0
while read -r id result _; do
  [ "$result" = caught ] || continue
  now=$(awk -v id="$id" '$1 == id { print $2 }' "$after")
  if [ -z "$now" ]; then
    echo "$id: not run after"
  elif [ "$now" != caught ]; then
    echo "$id: caught before, $now after"
    lost=1
  fi
done <"$before"
echo "before: $(grep -c ' caught ' "$before") caught of $(wc -l <"$before");" \
  "after: $(grep -c ' caught ' "$after") caught of $(wc -l <"$after")"
exit $lost
