#!/usr/bin/env bash
# scripts/install-deps.sh against a stand-in package manager (fake_apt.sh): it asks for sudo
# and apt-get only when a package is missing, installs only what the mode needs, and waits for
# another package manager's locks instead of failing. Usage: install_deps_test.sh <script>
set -uo pipefail
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/fake_apt.sh"
fake_apt_into "$work/bin"
export PATH="$work/bin:$PATH" FAKE_LOG=$work/log KVL_APT_LOCK_PAUSE=0
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
run() {
  : >"$work/log"
  env "$@" bash "$script" --run >"$work/out" 2>&1
  echo $? >"$work/status"
}
status_is() { [ "$(cat "$work/status")" = "$1" ]; }
log_has() { grep -qF -- "$1" "$work/log"; }
log_lacks() { ! grep -qF -- "$1" "$work/log"; }
log_empty() { [ ! -s "$work/log" ]; }
output_has() { grep -qF -- "$1" "$work/out"; }

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

[ "$failures" = 0 ] || { echo "$failures failed"; exit 1; }
echo "install-deps.sh: all as expected"
