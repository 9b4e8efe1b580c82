#!/usr/bin/env bash
# Installs the dependencies from Debian's archive.
#   scripts/install-deps.sh         everything ./test.sh needs (build, tests, benchmarks, the
#                                   end-to-end tests' browser), then the npm packages
#   scripts/install-deps.sh --run   only what ./run.sh needs to build and start the app, the
#                                   local services and the developer tools, and what the
#                                   walk-throughs in docs/ call (no test frameworks, sanitizer
#                                   runtime, formatter or browser: the page opens in any browser)
# Both install Node.js and npm, for the npm packages, from Debian (nodejs 18) when the machine has
# no Node.js or one older than 18; a machine's own newer Node.js is kept.
# Run it as yourself. It checks each package first and calls the package manager only when one
# is missing, through sudo when not root. Another package manager at work (an unattended
# upgrade, a second install) is waited for, up to 10 minutes, instead of failing on its lock.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

# Both locks are waited for, up to 10 minutes: dpkg's through apt-get's own option, the
# package lists' (which that option does not cover on Debian 12's apt) by trying again every
# 5 s (KVL_APT_LOCK_PAUSE), 120 times.
lock_wait_seconds=600
lock_pause=${KVL_APT_LOCK_PAUSE:-5}

# As root: `apt-get update`, then the packages given.
install_as_root() {
  export DEBIAN_FRONTEND=noninteractive
  local tries=0 out
  until out=$(apt-get -o DPkg::Lock::Timeout="$lock_wait_seconds" update -qq 2>&1); do
    if [[ "$out" != *"Could not get lock"* ]] || [ "$tries" -ge 120 ]; then
      echo "$out" >&2
      return 1
    fi
    [ "$tries" = 0 ] && echo "install-deps: waiting for another package manager to finish"
    tries=$((tries + 1))
    sleep "$lock_pause"
  done
  [ -z "$out" ] || echo "$out"
  apt-get -o DPkg::Lock::Timeout="$lock_wait_seconds" install -y -qq --no-install-recommends "$@"
}

if [ "${1:-}" = --as-root ]; then
  shift
  install_as_root "$@"
  exit
fi

mode=all
case "${1:-}" in
  --run) mode=run ;;
  "") ;;
  *)
    echo "usage: scripts/install-deps.sh [--run]" >&2
    exit 2
    ;;
esac

packages=(
  # build tools
  build-essential cmake ninja-build ccache pkg-config
  # libraries
  libsqlite3-dev nanopb libnanopb-dev protobuf-compiler libprotobuf-dev python3-protobuf
  android-libboringssl-dev libabsl-dev libcurl4-gnutls-dev zlib1g-dev libplist-dev libicu-dev
  nlohmann-json3-dev libboost-dev libboost-system-dev duktape-dev liburiparser-dev
  # run.sh's own helpers (the port check, page-url and open-url)
  python3
  # what the walk-throughs in docs/ call besides the tools built here
  sqlite3 curl
)
if [ "$mode" = all ]; then
  packages+=(
    # the sanitizer and fuzzing builds, the formatter
    clang libclang-rt-14-dev clang-format
    # test and benchmark frameworks
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    # tools the tests call (runuser, chattr, timeout, base64 and tar come with every Debian,
    # its smallest install too)
    gzip openssl strace xxd
    # the browser of the app's end-to-end tests (driven by playwright-core)
    chromium
  )
fi

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "install-deps: not a Debian system (no dpkg-query); install these yourself:" >&2
  echo "  ${packages[*]}" >&2
  exit 1
fi
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# Node.js 18 is the oldest that the npm packages run on (esbuild and playwright-core ask for no
# newer). A machine's own Node.js of 18 or newer is used as it is, never replaced by Debian's.
node_major=0
if command -v node >/dev/null 2>&1; then
  node_major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null) || node_major=0
  [[ "$node_major" =~ ^[0-9]+$ ]] || node_major=0
fi
if [ "$node_major" -lt 18 ]; then
  missing+=(nodejs npm)
elif ! command -v npm >/dev/null 2>&1; then
  missing+=(npm)
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  if [ "$(id -u)" = 0 ]; then
    install_as_root "${missing[@]}"
  else
    sudo env KVL_APT_LOCK_PAUSE="$lock_pause" bash "$0" --as-root "${missing[@]}"
  fi
fi

# The npm packages, installed as the user who runs the tests so that node_modules stays theirs
# (./run.sh installs them itself when it configures its build).
if [ "$mode" = all ]; then
  if [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
    sudo -u "$SUDO_USER" bash "$(dirname "$0")/install-npm.sh"
  else
    bash "$(dirname "$0")/install-npm.sh"
  fi
fi
