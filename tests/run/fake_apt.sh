#!/usr/bin/env bash
# Stand-ins for the package manager, for the tests of scripts/install-deps.sh and run.sh's
# install step: sourced, it writes dpkg-query, id, sudo and apt-get into $1 (put it first on
# PATH). Each call of sudo and apt-get is appended to $FAKE_LOG. Settings, from the environment:
#   FAKE_MISSING        packages dpkg-query reports as not installed (space-separated)
#   FAKE_UID            what `id -u` answers (1000)
#   FAKE_LISTS_HELD     a file holding how many more `apt-get update` calls find the package
#                       lists locked, as when another apt-get update runs
#   FAKE_DPKG_HELD      when this file exists, dpkg's lock is held: an install that does not
#                       wait for it (DPkg::Lock::Timeout) fails as apt-get does
#   FAKE_INSTALL_STATUS the status of `apt-get install` (0)
# A successful `apt-get install` of nodejs or npm puts a stand-in of Debian's (node 18.20.4, an
# npm that logs its calls) into $1, as fake_node_into does for a machine's own Node.js.
fake_apt_into() {
  local dir=$1
  mkdir -p "$dir"
  cat >"$dir/dpkg-query" <<'SH'
#!/usr/bin/env bash
package=${!#}
for missing in ${FAKE_MISSING:-}; do [ "$missing" = "$package" ] && exit 1; done
printf 'install ok installed'
SH
  cat >"$dir/id" <<'SH'
#!/usr/bin/env bash
if [ "${1:-}" = -u ]; then echo "${FAKE_UID:-1000}"; else exec /usr/bin/id "$@"; fi
SH
  cat >"$dir/sudo" <<'SH'
#!/usr/bin/env bash
echo "sudo $*" >>"$FAKE_LOG"
exec "$@"
SH
  cat >"$dir/apt-get" <<'SH'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE_LOG"
case " $* " in
  *" update "*)
    held=$(cat "${FAKE_LISTS_HELD:-/dev/null}" 2>/dev/null)
    if [ "${held:-0}" -gt 0 ]; then
      echo $((held - 1)) >"$FAKE_LISTS_HELD"
      echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (apt-get)" >&2
      echo "E: Unable to lock directory /var/lib/apt/lists/" >&2
      exit 100
    fi
    exit 0
    ;;
  *" install "*)
    if [ -n "${FAKE_DPKG_HELD:-}" ] && [ -e "$FAKE_DPKG_HELD" ] &&
      [[ "$*" != *"DPkg::Lock::Timeout="* ]]; then
      echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt-get)" >&2
      exit 100
    fi
    status=${FAKE_INSTALL_STATUS:-0}
    if [ "$status" = 0 ]; then
      source "$(dirname "$0")/fake-node.sh"
      for package in "$@"; do
        case $package in
          nodejs) fake_node_into "$(dirname "$0")" 18.20.4 ;;
          npm) fake_npm_into "$(dirname "$0")" ;;
        esac
      done
    fi
    exit "$status"
    ;;
esac
SH
  declare -f fake_node_into fake_npm_into >"$dir/fake-node.sh"
  chmod +x "$dir"/*
}

# fake_node_into DIR VERSION: a `node` that is that version (what install-deps.sh and
# install-npm.sh ask of it: `node --version` and the major version through `node -p`).
fake_node_into() {
  cat >"$1/node" <<SH
#!/usr/bin/env bash
case "\$1" in
  --version) echo v$2 ;;
  -p) echo ${2%%.*} ;;
  *) exit 1 ;;
esac
SH
  chmod +x "$1/node"
}

# fake_npm_into DIR: an `npm` that appends its calls to $FAKE_LOG.
fake_npm_into() {
  cat >"$1/npm" <<'SH'
#!/usr/bin/env bash
echo "npm $*" >>"$FAKE_LOG"
SH
  chmod +x "$1/npm"
}

# path_without_node DIR: fills DIR with links to every command on PATH but node, nodejs, npm and
# npx, for a PATH on which a machine without Node.js is stood in for.
path_without_node() {
  local dir=$1 entry command
  mkdir -p "$dir"
  local IFS=:
  for entry in $PATH; do
    [ -d "$entry" ] || continue
    for command in "$entry"/*; do
      case ${command##*/} in node | nodejs | npm | npx) continue ;; esac
      [ -x "$command" ] && [ ! -e "$dir/${command##*/}" ] && ln -s "$command" "$dir/${command##*/}"
    done
  done
  return 0
}
