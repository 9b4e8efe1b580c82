#!/usr/bin/env bash
# Installs every build and test dependency from Debian's archive.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  # build tools
  build-essential cmake ninja-build ccache pkg-config clang libclang-rt-14-dev clang-format
  # libraries
  libsqlite3-dev nanopb libnanopb-dev protobuf-compiler libprotobuf-dev python3-protobuf
  android-libboringssl-dev libabsl-dev libcurl4-gnutls-dev zlib1g-dev libplist-dev libicu-dev
  nlohmann-json3-dev libboost-dev libboost-system-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  duktape-dev liburiparser-dev
  # tools the tests call
  python3 sqlite3 gzip openssl curl strace
  # the browser of the app's end-to-end tests (driven by playwright-core)
  chromium
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ! command -v node >/dev/null 2>&1; then
  missing+=(nodejs)
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The npm packages, installed as the user who runs the tests so that node_modules stays theirs.
if [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
  sudo -u "$SUDO_USER" bash "$(dirname "$0")/install-npm.sh"
else
  bash "$(dirname "$0")/install-npm.sh"
fi
