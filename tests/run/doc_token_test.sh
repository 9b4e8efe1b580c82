#!/usr/bin/env bash
# The control tokens stay off every command line the guides show: any local user reads other
# processes' command lines (/proc/*/cmdline), and a token opens what the services received.
# Every line of the guides, READMEs and scripts that hands a token header to a program reads it
# from a file or standard input, never from an argument; and each guide's `token_header`, run
# as written on a control file, prints the header that curl reads (`-H @-`).
# Usage: doc_token_test.sh <source dir>
set -uo pipefail
cd "$1" || exit 1
failures=0
# Outside a git checkout (an unpacked tree), every guide and script but the build and packages.
files=$(git ls-files '*.md' '*.sh' 2>/dev/null ||
  find . \( -path ./node_modules -o -path './build*' \) -prune -o \
    \( -name '*.md' -o -name '*.sh' \) -print | sed 's|^\./||')
# A header whose value is expanded by the shell, or written out, in an argument.
argument='(X-Service-Token|X-App-Token|X-Page-Key): *[^ @]*(\$|[0-9a-f]{32})'
while IFS= read -r file; do
  [ -f "$file" ] || continue
  case "$file" in node_modules/* | build/* | tests/run/doc_token_test.sh) continue ;; esac
  if found=$(grep -nE -- "$argument" "$file"); then
    echo "FAIL $file puts a token on a command line:"
    echo "$found" | sed 's/^/       /'
    failures=$((failures + 1))
  fi
done <<<"$files"

# Each guide's token_header, as written, on a control file of a known token.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/ms" "$work/DIR"
token=0123456789abcdef0123456789abcdef
for control in "$work/ms/control.json" "$work/links.json" "$work/DIR/control.json"; do
  printf '{"url": "http://127.0.0.1:1", "token": "%s", "pid": 1}\n' "$token" >"$control"
done
checked=0
while IFS= read -r file; do
  [ -f "$file" ] || continue
  while IFS= read -r definition; do
    printed=$(cd "$work" && eval "$definition" && token_header)
    if [ "$printed" = "X-Service-Token: $token" ]; then
      checked=$((checked + 1))
    else
      echo "FAIL $file: its token_header prints '$printed'"
      failures=$((failures + 1))
    fi
  done < <(grep -hoE '^ *token_header\(\) \{.*\}$' "$file")
done <<<"$files"
if [ "$checked" = 0 ]; then
  echo "FAIL no guide shows how to hand the token to curl"
  failures=$((failures + 1))
fi
[ "$failures" = 0 ] || { echo "$failures failed"; exit 1; }
echo "the tokens: off every command line ($checked token_header definitions checked)"
