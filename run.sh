#!/usr/bin/env bash
# usage: ./run.sh [APP ARGS]    installs the system packages it needs when one is missing
#                               (scripts/install-deps.sh --run, through sudo when not root),
#                               builds what is missing (into build/run), starts the local
#                               measurement service (127.0.0.1:8970), the login-and-link service
#                               (127.0.0.1:8972) and the app (127.0.0.1:8971, or KVL_APP_PORT),
#                               and prints the page's address. It holds a one-time secret (the
#                               first browser to open it gets the session) and, after "#", the
#                               page's key: paste it whole into an open browser, not on a
#                               command line, where other users can read it. The measurement
#                               service prints the address of its uploads page the same way
#                               ("measurement-service: the uploads are shown at URL", a one-time
#                               secret and a key too). Arguments go to
#                               the app (e.g. -KVLAnalyticsDebugEnabled). Ctrl-C sends the app to the
#                               background (pending events upload first), then stops the
#                               services; a second Ctrl-C ends the app at once. Exits non-zero
#                               when a port is taken or any of the three ends by itself.
#        ./run.sh page-url      prints a new address of the running app's page (for another
#                               browser or tab, or one that lost its session).
#        ./run.sh uploads-url   prints a new address of the running measurement service's
#                               uploads page, likewise.
#        ./run.sh open-url URL  opens URL in the running app as the system would (custom-scheme
#                               URLs go to the app's URL handler, http(s) URLs arrive as
#                               universal links). Text that is not a URL is refused.
#        ./run.sh --launch-url URL  starts the app as a link that opened it would (the same URLs
#                               as open-url; more app arguments may follow).
#        ./run.sh tools         installs what is missing as above, builds every developer tool
#                               (measurement-service, psm-server, apm-msg, ...) into build/run
#                               and prints where each one is.
#        ./run.sh --help        prints this.
# Environment: KVL_APP_PORT (8971), KVL_RUN_BUILD_DIR (build/run), KVL_RUN_DATA_DIR
# (build/run-data), KVL_JOBS (4, build jobs).
set -euo pipefail
cd "$(dirname "$0")"

build=${KVL_RUN_BUILD_DIR:-build/run}
data=${KVL_RUN_DATA_DIR:-$PWD/build/run-data}
port=${KVL_APP_PORT:-8971}
measurement_port=8970
link_port=8972

usage() { sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; }

die() {
  echo "run.sh: $1" >&2
  exit "${2:-1}"
}

configure() {
  # The system packages the run build needs, on a fresh machine too: checked each time,
  # installed (through sudo when not root) only when one is missing.
  bash scripts/install-deps.sh --run
  # The app's web bundle is made from the npm packages, which the build looks for when it is
  # configured: install them first, and configure again a build made without them.
  if [ ! -d node_modules/@capacitor/core ]; then
    bash scripts/install-npm.sh
  fi
  if [ ! -f "$build/build.ninja" ] || ! grep -q 'App.bundle/www/app.js' "$build/build.ninja"; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVL_BUILD_TESTS=OFF \
      >/dev/null
  fi
}

case "${1:-}" in
  -h | --help | help)
    usage
    exit 0
    ;;
  tools)
    [ $# -eq 1 ] || die "usage: ./run.sh tools" 2
    # Every executable of tools/*/CMakeLists.txt, with the folder it is built in.
    tools=()
    paths=()
    for list in tools/*/CMakeLists.txt; do
      dir=$(dirname "$list")
      for name in $(sed -n 's/^[[:space:]]*add_executable(\([A-Za-z0-9_-]*\).*/\1/p' "$list"); do
        tools+=("$name")
        paths+=("$build/$dir/$name")
      done
    done
    configure
    cmake --build "$build" -j "${KVL_JOBS:-4}" --target "${tools[@]}"
    echo "run.sh: the tools are built:"
    for path in "${paths[@]}"; do echo "  $path"; done
    exit 0
    ;;
  uploads-url)
    [ $# -eq 1 ] || die "usage: ./run.sh uploads-url" 2
    control="$data/measurement/control.json"
    [ -r "$control" ] || die "the measurement service is not running (no $control); start it with ./run.sh"
    exec python3 - "$control" <<'PY'
import json, sys, urllib.error, urllib.request
control = json.load(open(sys.argv[1]))
request = urllib.request.Request(control["url"] + "/_control/page-url", method="POST", data=b"",
                                 headers={"X-Service-Token": control["token"],
                                          "Content-Type": "application/json"})
try:
    with urllib.request.urlopen(request) as answer:
        print(json.load(answer)["url"])
except urllib.error.HTTPError as error:
    sys.exit(f"run.sh: the measurement service refused a new address: {error.code} {error.reason}")
except urllib.error.URLError as error:
    sys.exit(f"run.sh: the measurement service at {control['url']} does not answer "
             f"({error.reason}); is it still running?")
PY
    ;;
  open-url | page-url)
    if [ "$1" = open-url ]; then
      [ $# -eq 2 ] || die "usage: ./run.sh open-url URL" 2
      # A scheme, then no space or control character; http(s) URLs need a host. The app checks
      # the URL fully and refuses what it cannot open (400).
      if ! [[ "$2" =~ ^[A-Za-z][A-Za-z0-9+.-]*:[^[:space:][:cntrl:]]+$ ]] ||
        { [[ "$2" =~ ^[Hh][Tt][Tt][Pp][Ss]?: ]] && ! [[ "$2" =~ ^[A-Za-z]+://[^/?#]+ ]]; }; then
        die "not a URL: '$2' (e.g. https://app.example/page or com.example.app://path)" 2
      fi
    else
      [ $# -eq 1 ] || die "usage: ./run.sh page-url" 2
    fi
    control="$data/app/app-control.json"
    [ -r "$control" ] || die "the app is not running (no $control); start it with ./run.sh"
    exec python3 - "$control" "$@" <<'PY'
import json, sys, urllib.error, urllib.request
control = json.load(open(sys.argv[1]))
if sys.argv[2] == "page-url":
    order = {"action": "page-url"}
else:
    url = sys.argv[3]
    action = "continue-activity" if url.lower().startswith(("http://", "https://")) else "open-url"
    order = {"action": action, "url": url}
request = urllib.request.Request(control["url"] + "/_app/control", method="POST",
                                 data=json.dumps(order).encode(),
                                 headers={"X-App-Token": control["token"],
                                          "Content-Type": "application/json"})
try:
    with urllib.request.urlopen(request) as answer:
        if order["action"] == "page-url":
            print(json.load(answer)["url"])
        else:
            print(f"run.sh: {order['action']} {order['url']}: {answer.status}")
except urllib.error.HTTPError as error:
    what = "a new page address" if order["action"] == "page-url" else f"{order['action']} {order['url']}"
    sys.exit(f"run.sh: the app refused {what}: {error.code} {error.reason}")
except urllib.error.URLError as error:
    sys.exit(f"run.sh: the app at {control['url']} does not answer ({error.reason}); "
             "is it still running?")
PY
    ;;
  -*)
    # The app's own arguments: "-LaunchArgument" and "--option value".
    ;;
  "") ;;
  *)
    usage >&2
    die "unknown command '$1'" 2
    ;;
esac

# Each port free before anything is built or started: a second ./run.sh, or anything else that
# holds one, is named instead of found out later. Checked by binding, so that nothing is sent
# to what listens there. The check is python3's, which a fresh machine may lack: then the
# packages are installed first.
command -v python3 >/dev/null 2>&1 || bash scripts/install-deps.sh --run
port_taken() {
  python3 - "$1" <<'PY'
import socket, sys
probe = socket.socket()
probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    probe.bind(("127.0.0.1", int(sys.argv[1])))
except OSError:
    sys.exit(0)
sys.exit(1)
PY
}
taken=()
for pair in "$measurement_port:the measurement service" "$link_port:the link service" \
  "$port:the app"; do
  if [ "${pair%%:*}" != 0 ] && port_taken "${pair%%:*}"; then taken+=("$pair"); fi
done
if [ ${#taken[@]} -gt 0 ]; then
  services_taken=()
  for pair in "${taken[@]}"; do
    echo "run.sh: 127.0.0.1:${pair%%:*} (${pair#*:}) is taken" >&2
    [ "${pair#*:}" = "the app" ] || services_taken+=("${pair%%:*} (${pair#*:})")
  done
  # Only the app's port can be moved: the services' ports are where the app's configuration
  # looks for them, so moving the app's would not help while one of those is taken.
  if [ ${#services_taken[@]} = 1 ]; then
    die "port ${services_taken[0]} must be freed (the app looks for the service there): stop what holds it (another ./run.sh?) and try again"
  elif [ ${#services_taken[@]} = 2 ]; then
    die "ports ${services_taken[0]} and ${services_taken[1]} must be freed (the app looks for the services there): stop what holds them (another ./run.sh?) and try again"
  fi
  die "stop what holds it (another ./run.sh?) and try again, or move the app's port with KVL_APP_PORT (e.g. KVL_APP_PORT=8981 ./run.sh)"
fi

configure
cmake --build "$build" -j "${KVL_JOBS:-4}" --target app measurement-service link-service

# The data is the user's alone: its folders are made so, and closed when an older run made them
# with the user's umask.
(umask 077 && mkdir -p "$data/app" "$data/measurement")
chmod 700 "$data" "$data/app" "$data/measurement"
# Each runs in a session of its own, so that the terminal's Ctrl-C reaches only this script,
# which stops them in order: the app first (it uploads what is pending to the service), then
# the services.
services=()
app=
stopping=
cleanup() {
  trap - TERM EXIT
  # A second Ctrl-C ends the app at once.
  trap '[ -n "$app" ] && kill -TERM "$app" 2>/dev/null' INT
  if [ -n "$app" ]; then
    kill -TERM "$app" 2>/dev/null || true
    # A wait cut short by the second Ctrl-C's trap is resumed.
    while kill -0 "$app" 2>/dev/null; do wait "$app" 2>/dev/null || true; done
  fi
  trap - INT
  for pid in "${services[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${services[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap 'stopping=1; cleanup' INT TERM
trap cleanup EXIT

declare -A names
# With sample answers: a deferred deep link, a SKAdNetwork conversion value, configurations that
# switch both on and upload every 15 s, and psm-server's members
# (tools/measurement-service/samples/README.md).
samples=tools/measurement-service/samples
setsid "$build/tools/measurement-service/measurement-service" --port "$measurement_port" \
  --data "$data/measurement" --config-dir tools/measurement-service/sample-config \
  --deeplink "$samples/deeplink.json" --skan "$samples/skan.json" \
  --psm-members tools/psm-server/sample-members.json &
services+=($!)
names[$!]="the measurement service (127.0.0.1:$measurement_port)"
setsid "$build/tools/link-service/link-service" --port "$link_port" &
services+=($!)
names[$!]="the link service (127.0.0.1:$link_port)"
setsid "$build/app/app" --data-dir "$data/app" --bundle "$build/app/App.bundle" --port "$port" \
  "$@" &
app=$!
names[$!]="the app (127.0.0.1:$port)"
echo "run.sh: Ctrl-C stops the app (after it uploads what is pending) and both services"
# Ends when any of them ends (or on Ctrl-C, whose trap stops them all).
status=0
ended=
wait -n -p ended "$app" "${services[@]}" || status=$?
if [ -n "$stopping" ]; then
  exit 0
fi
who="a process"
[ -n "$ended" ] && who=${names[$ended]}
echo "run.sh: $who ended by itself (status $status); stopping the others" >&2
refused=
[ "$ended" = "$app" ] && app= && [ "$status" = 2 ] && refused=1
cleanup
# The app refused its arguments (e.g. a --launch-url that is no URL): a usage error here too.
[ -n "$refused" ] && exit 2
exit 1
