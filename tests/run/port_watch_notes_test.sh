#!/usr/bin/env bash
# The watch of the default ports names a port it cannot watch (one a running ./run.sh holds) in
# its notes, and ./test.sh prints them after the suite, where a user sees them without -V.
# Usage: port_watch_notes_test.sh <default-port-guard> <test.sh>
set -uo pipefail
source "$(dirname "$0")/hold_port.sh"
guard=$1
test_sh=$2
work=$(mktemp -d)
holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$work"' EXIT

# A port held here (a free one the kernel picks) stands for a default port a ./run.sh holds.
hold_free_port "$work/port"

mkdir -p "$work/build"
"$guard" start "$work/build/default-port-guard" "$port" >/dev/null
"$guard" stop "$work/build/default-port-guard" >/dev/null

# test.sh's last step, from where it names the notes file, with CTest stood in for.
{
  echo 'ctest() { return 0; }'
  echo "build=$work/build"
  sed -n '/^notes=/,$p' "$test_sh" | grep -v '^rm -f "\$notes"'
} >"$work/tail.sh"
out=$(bash "$work/tail.sh" 2>&1)
if [[ "$out" == *"NOTE: port(s) $port on 127.0.0.1 are held by another process"* ]]; then
  echo "ok   test.sh prints the watch's NOTE"
else
  echo "FAIL test.sh's output after the suite lacks the NOTE for port $port:"
  echo "$out" | sed 's/^/  | /'
  exit 1
fi
