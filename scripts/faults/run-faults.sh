#!/usr/bin/env bash
# Runs the fault sample: applies each patch of scripts/faults/patches in turn, builds the test
# binaries named for it in faults.tsv, runs their tests (`ctest -L <binary>`), reverts the patch
# and records whether the tests caught it.
#
#   scripts/faults/run-faults.sh [-s SOURCE_DIR] [-b BUILD_DIR] [-o RESULT_FILE] [-j JOBS]
#                                [-l LOG_DIR] [PATTERN]
#
# SOURCE_DIR is the tree the patches apply to (default: this checkout), BUILD_DIR a configured
# test build of it (default: SOURCE_DIR/build/asan, configured if missing). PATTERN (an
# extended regular expression) picks faults by id or test binary. JOBS (default
# $KVL_FAULT_JOBS, else 4) is both the build's and CTest's parallelism: runs on several
# checkouts at once share the machine, so give each a part of it. Each result line is
#   <id> <caught|missed|no-build|no-apply|unpatched-fails> <binaries>
# "no-build" means the patched code did not compile: the fault proves nothing either way.
# Before any patch, the tests of every binary named are run on the code as it is: a fault
# whose binaries' tests fail already is not tried ("unpatched-fails"), since its failure would
# say nothing. LOG_DIR, when given, keeps each fault's build or test output (<id>.log).
# Compare two result files with scripts/faults/compare-results.sh.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=""
out=""
logs=""
jobs=${KVL_FAULT_JOBS:-4}
while getopts "s:b:o:j:l:" opt; do
  case $opt in
    s) src=$(cd "$OPTARG" && pwd) ;;
    b) build=$OPTARG ;;
    o) out=$OPTARG ;;
    j) jobs=$OPTARG ;;
    l) logs=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
pattern=${1:-.}
build=${build:-$src/build/asan}
out=${out:-$here/results-$(date -u +%Y%m%dT%H%M%S).txt}

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKVL_SANITIZE=ON \
    -DKVL_BUILD_TESTS=ON >/dev/null || exit 1
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

log=$(mktemp)
applied=""
# An interrupted run leaves no fault behind in the tree.
cleanup() {
  [ -n "$applied" ] && git -C "$src" apply -R "$applied"
  rm -f "$log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
: >"$out"
[ -n "$logs" ] && mkdir -p "$logs"

# The faults picked, as "id<TAB>binaries" lines.
selected() {
  while IFS=$'\t' read -r id suites _; do
    [ -z "$id" ] && continue
    case $id in \#*) continue ;; esac
    echo "$id $suites" | grep -Eq -- "$pattern" || continue
    printf '%s\t%s\n' "$id" "$suites"
  done <"$here/faults.tsv"
}

# Every test requires the default-port watch, whose program no test binary depends on.
cmake --build "$build" -j "$jobs" --target default-port-guard >"$log" 2>&1 || {
  cat "$log" >&2
  exit 1
}

# The tests of each set of binaries, on the code as it is.
declare -A unpatched
for suites in $(selected | cut -f2 | sort -u); do
  # shellcheck disable=SC2086
  if cmake --build "$build" -j "$jobs" --target ${suites//,/ } >"$log" 2>&1 &&
    ctest --test-dir "$build" -L "^$(echo "$suites" | sed 's/,/$|^/g')\$" -j "$jobs" \
      --timeout 300 --no-tests=error >"$log" 2>&1; then
    unpatched[$suites]=passes
  else
    unpatched[$suites]=fails
    echo "the tests of $suites fail without any fault:" >&2
    grep -E 'Failed|Not Run|\*\*\*|Error' "$log" | head -n 20 >&2
  fi
done

caught=0
total=0
while IFS=$'\t' read -r id suites; do
  patch="$here/patches/$id.patch"
  targets=${suites//,/ }
  labels=$(echo "$suites" | sed 's/,/$|^/g')
  if [ "${unpatched[$suites]}" = fails ]; then
    result="unpatched-fails"
  elif ! git -C "$src" apply "$patch" 2>"$log"; then
    result=no-apply
  else
    applied=$patch
    # shellcheck disable=SC2086
    if ! cmake --build "$build" -j "$jobs" --target $targets >"$log" 2>&1; then
      result=no-build
    elif ctest --test-dir "$build" -L "^$labels\$" -j "$jobs" --timeout 300 --stop-on-failure \
        >"$log" 2>&1; then
      result=missed
    else
      result=caught
    fi
    applied=""
    git -C "$src" apply -R "$patch" || { echo "cannot revert $id" >&2; exit 1; }
  fi
  [ -n "$logs" ] && cp "$log" "$logs/$id.log"
  total=$((total + 1))
  [ "$result" = caught ] && caught=$((caught + 1))
  echo "$id $result $suites" | tee -a "$out"
done < <(selected)

# Leave the binaries built from the unpatched code.
# shellcheck disable=SC2046
cmake --build "$build" -j "$jobs" --target $(selected | cut -f2 | tr ',' '\n' | sort -u) \
  >/dev/null 2>&1
echo "caught $caught of $total ($out)"
