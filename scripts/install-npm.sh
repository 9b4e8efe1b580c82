#!/usr/bin/env bash
# Installs the npm packages of package-lock.json into node_modules (the hybrid runtime's
# JavaScript, esbuild, playwright-core), with the machine's Node.js, which must be 18 or newer
# (what those packages ask for, and what Debian 12's nodejs is; scripts/install-deps.sh installs
# Debian's nodejs and npm where there is none). Never downloads a browser: the end-to-end tests
# drive Debian's chromium. Idempotent.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v node >/dev/null 2>&1; then
  echo "install-npm: Node.js 18 or newer is required (not found)" >&2
  exit 1
fi
major=$(node -p 'process.versions.node.split(".")[0]')
if [ "$major" -lt 18 ]; then
  echo "install-npm: Node.js 18 or newer is required (found $(node --version))" >&2
  exit 1
fi
if [ -f node_modules/.package-lock.json ] && [ node_modules/.package-lock.json -nt package-lock.json ]; then
  exit 0
fi
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund
