#!/usr/bin/env bash
# ./run.sh [APP ARGS]    builds what is missing, starts the local measurement service, the
#                        login-and-link service and the app, prints the page's URL (it holds a
#                        one-time secret: the first browser to open it gets the session).
#                        Arguments go to the app (e.g. -KVLAnalyticsDebugEnabled). Ctrl-C sends
#                        the app to the background (pending events upload first), then stops the
#                        services; a second Ctrl-C ends the app at once.
# ./run.sh page-url      prints a new one-time URL of the running app's page (another browser,
#                        or after the browser forgot its session cookie).
# ./run.sh open-url URL  opens URL in the running app as the system would (custom-scheme URLs go
#                        to the app's URL handler, http(s) URLs arrive as universal links).
set -euo pipefail
cd "$(dirname "$0")"

build=${KVL_RUN_BUILD_DIR:-build/run}
data=${KVL_RUN_DATA_DIR:-$PWD/build/run-data}
port=${KVL_APP_PORT:-8971}

if [ "${1:-}" = open-url ] || [ "${1:-}" = page-url ]; then
  if [ "$1" = open-url ]; then
    [ $# -eq 2 ] || { echo "usage: ./run.sh open-url URL" >&2; exit 2; }
  else
    [ $# -eq 1 ] || { echo "usage: ./run.sh page-url" >&2; exit 2; }
  fi
  control="$data/app/app-control.json"
  [ -r "$control" ] || { echo "run.sh: the app is not running (no $control)" >&2; exit 1; }
  python3 - "$control" "$@" <<'PY'
import json, sys, urllib.request
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
with urllib.request.urlopen(request) as answer:
    if order["action"] == "page-url":
        print(json.load(answer)["url"])
    else:
        print(f"run.sh: {order['action']} {order['url']}: {answer.status}")
PY
  exit 0
fi

if [ ! -d node_modules/@capacitor/core ]; then
  bash scripts/install-npm.sh
fi
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "${KVL_JOBS:-4}" --target app measurement-service link-service

mkdir -p "$data/app" "$data/measurement"
# Each runs in a session of its own, so that the terminal's Ctrl-C reaches only this script,
# which stops them in order: the app first (it uploads what is pending to the service), then
# the services.
services=()
app=
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
trap cleanup INT TERM EXIT

# With sample answers: a deferred deep link, a SKAdNetwork conversion value, configurations that
# switch both on, and psm-server's members (tools/measurement-service/samples/README.md).
samples=tools/measurement-service/samples
setsid "$build/tools/measurement-service/measurement-service" --port 8970 --data "$data/measurement" \
  --config-dir tools/measurement-service/sample-config --deeplink "$samples/deeplink.json" \
  --skan "$samples/skan.json" --psm-members tools/psm-server/sample-members.json &
services+=($!)
setsid "$build/tools/link-service/link-service" --port 8972 &
services+=($!)
setsid "$build/app/app" --data-dir "$data/app" --bundle "$build/app/App.bundle" --port "$port" \
  "$@" &
app=$!
echo "run.sh: Ctrl-C stops the app (after it uploads what is pending) and both services"
# Ends when any of them ends (or on Ctrl-C); the trap stops the others.
wait -n "$app" "${services[@]}" || true
