#!/usr/bin/env bash
# run.sh's answers that need no build and no running app: its usage, refused URLs, a stopped
# app, a port that is taken, an install that fails. None of them may build or start anything: the build and data
# folders it is given must not appear. Usage: run_script_test.sh <path to run.sh>
set -uo pipefail
source "$(dirname "$0")/hold_port.sh"
run=$1
work=$(mktemp -d)
holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$work"' EXIT
export KVL_RUN_BUILD_DIR=$work/build KVL_RUN_DATA_DIR=$work/data
failures=0

# expect NAME STATUS TEXT -- COMMAND...: COMMAND exits with STATUS and prints TEXT (stdout or
# stderr), and builds and starts nothing.
expect() {
  local name=$1 status=$2 text=$3
  shift 4
  local out rc
  out=$("$@" 2>&1)
  rc=$?
  if [ "$rc" != "$status" ] || [[ "$out" != *"$text"* ]] || [ -e "$work/build" ] ||
    [ -e "$work/data" ]; then
    echo "FAIL $name: status $rc (expected $status), output:"
    echo "$out" | sed 's/^/  | /'
    [ -e "$work/build" ] && echo "  it made the build folder"
    [ -e "$work/data" ] && echo "  it made the data folder"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

expect "--help prints the usage" 0 "./run.sh open-url URL" -- "$run" --help
expect "-h prints the usage" 0 "./run.sh page-url" -- "$run" -h
expect "an unknown command is refused" 2 "unknown command 'statr'" -- "$run" statr
for url in 'not a url' '' 'https:no-host' 'http://' "$(printf 'app:a\tb')"; do
  expect "open-url refuses [$url]" 2 "not a URL" -- "$run" open-url "$url"
done
expect "open-url without its URL" 2 "usage: ./run.sh open-url URL" -- "$run" open-url
for url in 'https://app.example/page' 'com.orvane.kavrelin.app://google/link/?deep_link_id=x'; do
  expect "open-url [$url] with the app stopped" 1 "the app is not running" -- \
    "$run" open-url "$url"
done
expect "page-url with the app stopped" 1 "the app is not running" -- "$run" page-url
expect "-h names uploads-url" 0 "./run.sh uploads-url" -- "$run" -h
expect "uploads-url with the service stopped" 1 "the measurement service is not running" -- \
  "$run" uploads-url

# A port held here (a free one the kernel picks) as the app's: refused before any build.
hold_free_port "$work/port"
rm -f "$work/port"
KVL_APP_PORT=$port expect "a taken port is named" 1 "127.0.0.1:$port (the app) is taken" -- "$run"
# (Only while the services' ports are free: under CTest the watch holds them, and the advice is
# then to free those; the namespace rows below check both wherever they can.)
if python3 -c 'import socket
for port in (8970, 8972):
    socket.socket().bind(("127.0.0.1", port))' 2>/dev/null; then
  KVL_APP_PORT=$port expect "the app's taken port can be moved" 1 \
    "move the app's port with KVL_APP_PORT" -- "$run"
fi

# The services' ports cannot be moved: KVL_APP_PORT is suggested only when the app's port is
# taken. (Under CTest the watch of the default ports holds 8970 and 8972; when nothing does,
# there is nothing to check without starting the services.)
if python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 8970))' 2>/dev/null; then
  echo "skip a taken service port (8970 is free here)"
else
  out=$(KVL_APP_PORT=0 "$run" 2>&1)
  if [[ "$out" == *"127.0.0.1:8970 (the measurement service) is taken"* ]] &&
    [[ "$out" != *KVL_APP_PORT* ]] && [ ! -e "$work/build" ]; then
    echo "ok   a taken service port is named without KVL_APP_PORT"
  else
    echo "FAIL a taken service port, output:"
    echo "$out" | sed 's/^/  | /'
    failures=$((failures + 1))
  fi
fi

# Which port is taken decides the advice: only the app's can be moved (KVL_APP_PORT); a
# service's must be freed. The default ports are held in a network namespace of this test's own
# (its loopback brought up), so that nothing outside it is reached or matters; skipped where no
# such namespace can be made.
in_own_network() {
  local enter=(unshare -rn)
  [ "$(id -u)" = 0 ] && enter=(unshare -n)
  "${enter[@]}" python3 -c '
import fcntl, socket, struct, subprocess, sys
# SIOCSIFFLAGS: the loopback up (IFF_UP).
fcntl.ioctl(socket.socket(), 0x8914, struct.pack("16sH14x", b"lo", 1))
held = []
for port in sys.argv[1].split():
    s = socket.socket()
    s.bind(("127.0.0.1", int(port)))
    s.listen()
    held.append(s)
sys.exit(subprocess.call(sys.argv[2:]))
' "$@"
}
if ! in_own_network "" true 2>/dev/null; then
  echo "skip which port is taken (no network namespace can be made here)"
else
  expect "only the app's port taken: it can be moved" 1 \
    "or move the app's port with KVL_APP_PORT" -- in_own_network 8971 "$run"
  for held in "8970" "8972" "8970 8971" "8971 8972" "8970 8971 8972"; do
    out=$(in_own_network "$held" "$run" 2>&1)
    rc=$?
    ok=1
    [ "$rc" = 1 ] && [[ "$out" != *KVL_APP_PORT* ]] && [ ! -e "$work/build" ] || ok=
    for port in $held; do [[ "$out" == *"127.0.0.1:$port ("*") is taken"* ]] || ok=; done
    case " $held " in
      *" 8970 "*" 8972 "*)
        [[ "$out" == *"ports 8970 (the measurement service) and 8972 (the link service) must be freed"* ]] || ok= ;;
      *" 8970 "*) [[ "$out" == *"port 8970 (the measurement service) must be freed"* ]] || ok= ;;
      *" 8972 "*) [[ "$out" == *"port 8972 (the link service) must be freed"* ]] || ok= ;;
    esac
    if [ -n "$ok" ]; then
      echo "ok   ports $held taken: the services' named to be freed, KVL_APP_PORT not suggested"
    else
      echo "FAIL ports $held taken: status $rc, output:"
      echo "$out" | sed 's/^/  | /'
      failures=$((failures + 1))
    fi
  done
fi

# The install step comes before any build, and stops the run when it fails: a package it needs
# is missing (fake_apt.sh stands in for the package manager), as on a fresh machine.
source "$(dirname "$0")/fake_apt.sh"
fake_apt_into "$work/bin"
PATH="$work/bin:$PATH" FAKE_LOG=$work/apt.log FAKE_MISSING=nlohmann-json3-dev FAKE_INSTALL_STATUS=100 \
  expect "tools installs a missing package first" 100 "installing nlohmann-json3-dev" -- "$run" tools
if grep -qF "install -y -qq --no-install-recommends nlohmann-json3-dev" "$work/apt.log"; then
  echo "ok   tools asked apt-get for it"
else
  echo "FAIL tools did not ask apt-get for nlohmann-json3-dev:"
  sed 's/^/  | /' "$work/apt.log" 2>/dev/null
  failures=$((failures + 1))
fi

# The walk-throughs in docs/ call sqlite3 and curl: `./run.sh tools` installs them.
: >"$work/apt.log"
PATH="$work/bin:$PATH" FAKE_LOG=$work/apt.log FAKE_MISSING="sqlite3 curl" FAKE_INSTALL_STATUS=100 \
  expect "tools installs sqlite3 and curl" 100 "installing sqlite3 curl" -- "$run" tools
if grep -qF "install -y -qq --no-install-recommends sqlite3 curl" "$work/apt.log"; then
  echo "ok   tools asked apt-get for sqlite3 and curl"
else
  echo "FAIL tools did not ask apt-get for sqlite3 and curl:"
  sed 's/^/  | /' "$work/apt.log" 2>/dev/null
  failures=$((failures + 1))
fi

[ "$failures" = 0 ] || { echo "$failures failed"; exit 1; }
echo "run.sh: all as expected"
