#!/usr/bin/env bash
# scripts/install-deps.sh against a stand-in package manager (fake_apt.sh): it asks for sudo
# and apt-get only when a package is missing, installs only what the mode needs, and waits for
# another package manager's locks instead of failing. Node.js: Debian's nodejs and npm are
# installed, in both modes, only where the machine has no Node.js or one older than 18, and
# scripts/install-npm.sh then takes what was installed. Usage: install_deps_test.sh <script>
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The scripts in a checkout of their own, without node_modules, so that install-npm.sh calls npm.
mkdir -p "$work/repo/scripts"
cp "$1" "$(dirname "$1")/install-npm.sh" "$work/repo/scripts/"
echo '{}' >"$work/repo/package-lock.json"
script=$work/repo/scripts/$(basename "$1")
source "$(dirname "$0")/fake_apt.sh"
fake_apt_into "$work/bin"
# A machine with Node.js 20 and its npm, unless a row says otherwise (FAKE_NODE).
path_without_node "$work/system"
export PATH="$work/bin:$work/system" FAKE_LOG=$work/log KVL_APT_LOCK_PAUSE=0
failures=0

# check NAME CONDITION...: reports the outcome of the last run.
check() {
  local name=$1
  shift
  if "$@"; then
    echo "ok   $name"
  else
    echo "FAIL $name; output and package-manager calls:"
    sed 's/^/  | /' "$work/out" "$work/log"
    failures=$((failures + 1))
  fi
}
# run [--all] [VARIABLE=VALUE...]: install-deps.sh --run (with --all: in its full mode) on a
# machine whose Node.js is FAKE_NODE (a version; empty: none), with an npm beside it unless
# FAKE_NODE_NPM is empty.
run() {
  local mode=--run
  [ "${1:-}" = --all ] && mode= && shift
  : >"$work/log"
  rm -f "$work/bin/node" "$work/bin/npm"
  local node=20.11.1 npm=1 setting
  for setting in "$@"; do
    case $setting in
      FAKE_NODE=*) node=${setting#FAKE_NODE=} ;;
      FAKE_NODE_NPM=*) npm=${setting#FAKE_NODE_NPM=} ;;
    esac
  done
  [ -n "$node" ] && fake_node_into "$work/bin" "$node"
  [ -n "$node" ] && [ -n "$npm" ] && fake_npm_into "$work/bin"
  env "$@" bash "$script" $mode >"$work/out" 2>&1
  echo $? >"$work/status"
}
status_is() { [ "$(cat "$work/status")" = "$1" ]; }
log_has() { grep -qF -- "$1" "$work/log"; }
log_lacks() { ! grep -qF -- "$1" "$work/log"; }
log_empty() { [ ! -s "$work/log" ]; }
output_has() { grep -qF -- "$1" "$work/out"; }
output_lacks() { ! grep -qF -- "$1" "$work/out"; }

run FAKE_MISSING=
check "nothing missing: no sudo, no apt-get" eval 'status_is 0 && log_empty'

run FAKE_MISSING="nlohmann-json3-dev chromium libgtest-dev"
check "a missing package is installed through sudo, with a wait for dpkg's lock" eval \
  'status_is 0 && log_has "sudo env KVL_APT_LOCK_PAUSE=0 bash" &&
   log_has "apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends nlohmann-json3-dev" &&
   log_lacks "chromium" && log_lacks "libgtest-dev"'

run FAKE_MISSING=cmake FAKE_UID=0
check "as root: no sudo" eval 'status_is 0 && log_lacks "sudo " && log_has "install -y -qq --no-install-recommends cmake"'

echo 2 >"$work/lists-held"
touch "$work/dpkg-held"
run FAKE_MISSING=cmake FAKE_LISTS_HELD="$work/lists-held" FAKE_DPKG_HELD="$work/dpkg-held"
check "another package manager's locks are waited for" eval \
  'status_is 0 && output_has "waiting for another package manager" &&
   [ "$(grep -c " update" "$work/log")" = 3 ] && log_has "install -y"'

run FAKE_MISSING=cmake FAKE_INSTALL_STATUS=100
check "a failed install fails the script" eval 'status_is 100'

installed() { grep -F -- "--no-install-recommends" "$work/log" | sed 's/.*--no-install-recommends //'; }
installs() { [ "$(installed)" = "$1" ]; }

# What each mode installs: the walk-throughs' sqlite3 and curl in both, xxd (which the tests
# call) only for the tests.
run FAKE_MISSING="sqlite3 curl xxd cmake"
check "--run installs sqlite3 and curl, not the tests' xxd" installs "cmake sqlite3 curl"
run --all FAKE_MISSING="sqlite3 curl xxd cmake libgtest-dev"
check "the full mode installs xxd and the test frameworks too" eval \
  'status_is 0 && installs "cmake sqlite3 curl libgtest-dev xxd"'

# Node.js, in both modes: Debian's nodejs and npm only where there is none or it is older than
# 18; the machine's own newer one is kept. The full mode then installs the npm packages with it.
for mode in "" --all; do
  run $mode FAKE_NODE=
  check "${mode:-"--run"}: no Node.js: Debian's nodejs and npm" eval \
    'status_is 0 && installs "nodejs npm" && output_lacks "is required"'
  run $mode FAKE_NODE=16.20.2
  check "${mode:-"--run"}: Node.js 16: Debian's nodejs and npm" eval \
    'status_is 0 && installs "nodejs npm"'
  run $mode FAKE_NODE=18.19.0 FAKE_NODE_NPM=
  check "${mode:-"--run"}: Node.js 18 without npm: only npm" eval 'status_is 0 && installs "npm"'
  for node in 18.0.0 20.11.1 22.3.0; do
    run $mode FAKE_NODE=$node
    check "${mode:-"--run"}: Node.js $node is kept" eval 'status_is 0 && log_lacks "install -y"'
  done
done
run --all FAKE_NODE=
check "the npm packages are installed with Debian's Node.js" eval \
  'status_is 0 && log_has "npm ci" && [ "$(tail -1 "$work/log")" = "npm ci --no-audit --no-fund" ]'
run --all FAKE_NODE=22.3.0
check "and with the machine's own" eval 'status_is 0 && log_has "npm ci" && log_lacks "install -y"'
run --run FAKE_NODE=
check "--run leaves the npm packages to run.sh" log_lacks "npm ci"

# install-npm.sh takes Node.js 18 or newer.
for node in 16.20.2 17.9.1 18.0.0 18.20.4 20.11.1; do
  : >"$work/log"
  fake_node_into "$work/bin" "$node"
  fake_npm_into "$work/bin"
  bash "$work/repo/scripts/install-npm.sh" >"$work/out" 2>&1
  echo $? >"$work/status"
  if [ "${node%%.*}" -ge 18 ]; then
    check "install-npm.sh takes Node.js $node" eval 'status_is 0 && log_has "npm ci"'
  else
    check "install-npm.sh refuses Node.js $node" eval \
      'status_is 1 && output_has "Node.js 18 or newer is required (found v$node)" && log_empty'
  fi
done

[ "$failures" = 0 ] || { echo "$failures failed"; exit 1; }
echo "install-deps.sh: all as expected"
