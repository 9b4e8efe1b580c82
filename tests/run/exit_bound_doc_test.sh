#!/usr/bin/env bash
# What the user reads about Ctrl-C is the app's true bound: every "at most N s" in the README,
# the app's guide and the app's own header is the background time plus the expired tasks' grace
# (app/main.cc), and each of them states it. Usage: exit_bound_doc_test.sh <source dir>
set -uo pipefail
cd "$1" || exit 1
background=$(sed -n 's/.*kBackgroundTimeSeconds = \([0-9]*\);.*/\1/p' app/main.cc)
grace=$(sed -n 's/.*kExpirationGraceSeconds = \([0-9]*\);.*/\1/p' app/main.cc)
if [ -z "$background" ] || [ -z "$grace" ]; then
  echo "FAIL the background time or the grace is not found in app/main.cc"
  exit 1
fi
bound="at most $((background + grace)) s"
failures=0
for file in README.md docs/app.md app/main.cc; do
  # The text as read: comment markers gone, lines joined.
  stated=$(sed 's#^ *// \{0,1\}##' "$file" | tr '\n' ' ' | tr -s ' ' | grep -oE 'at most [0-9]+ s' |
    sort -u | paste -sd, -)
  if [ "$stated" = "$bound" ]; then
    echo "ok   $file: $bound"
  else
    echo "FAIL $file states '${stated:-nothing}', the bound is '$bound'"
    failures=$((failures + 1))
  fi
done
[ "$failures" = 0 ] || { echo "$failures failed"; exit 1; }
echo "the exit bound: all as expected"
