#!/usr/bin/env bash
# Runs a command against a throw-away PostgreSQL server: initdb into a temporary directory,
# the server listening only on a Unix socket in that directory, stopped and removed when the
# command ends (about a second here). The command finds it through
#   GRAVELIN_TEST_POSTGRES_URI  postgresql:///postgres?host=DIR&user=postgres
#   GRAVELIN_TEST_POSTGRES_CTL  "with-postgres.sh --ctl DIR": append stop or start to stop
#                               the server or start it again (the unavailability tests)
# PostgreSQL refuses to run as root: as root the server runs as the postgres user.
# GRAVELIN_TEST_POSTGRES_FSYNC=on keeps fsync on (benchmarks); tests run with it off.
#
#   tests/receiver/storage/with-postgres.sh COMMAND [ARG...]
set -euo pipefail

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bindir" ] && command -v pg_config >/dev/null; then bindir=$(pg_config --bindir); fi
if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
  echo "with-postgres.sh: no PostgreSQL server found (Debian package postgresql)" >&2
  exit 2
fi

as_owner() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

start() {
  local dir=$1 fsync=off
  [ "${GRAVELIN_TEST_POSTGRES_FSYNC:-off}" = on ] && fsync=on
  as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
    -o "-k $dir -c listen_addresses='' -c fsync=$fsync -c max_connections=200" start >/dev/null
}

stop() {
  as_owner "$bindir/pg_ctl" -D "$1/data" -m fast -w stop >/dev/null
}

if [ "${1:-}" = --ctl ]; then
  case "${3:-}" in
    start) start "$2" ;;
    stop) stop "$2" ;;
    *) echo "usage: with-postgres.sh --ctl DIR start|stop" >&2; exit 2 ;;
  esac
  exit 0
fi

if [ $# -eq 0 ]; then
  echo "usage: with-postgres.sh COMMAND [ARG...]" >&2
  exit 2
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/gravelin-postgres.XXXXXX")
cleanup() {
  as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
[ "$(id -u)" = 0 ] && chown postgres: "$dir"

if ! as_owner "$bindir/initdb" -D "$dir/data" -A trust --no-sync -E UTF8 --locale=C -U postgres \
    >"$dir/initdb.log" 2>&1; then
  cat "$dir/initdb.log" >&2
  exit 2
fi
if ! start "$dir"; then
  cat "$dir/server.log" >&2
  exit 2
fi

export GRAVELIN_TEST_POSTGRES_URI="postgresql:///postgres?host=$dir&user=postgres"
export GRAVELIN_TEST_POSTGRES_CTL="$(cd "$(dirname "$0")" && pwd)/$(basename "$0") --ctl $dir"
status=0
"$@" || status=$?
exit "$status"
