#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A throw-away PostgreSQL server for the test suites, from Debian's postgresql package: initdb and
# pg_ctl as an unprivileged user (nobody when run as root) in a new folder under /tmp, listening
# only on a Unix socket in that folder (no TCP port at all), fsync off.
#   pg-test-server.sh start [FILE]    creates and starts a server, prints its folder (and writes it
#                                     to FILE, for CTest fixtures)
#   pg-test-server.sh stop DIR        stops it (waits until it is down), keeps the folder
#   pg-test-server.sh restart DIR     starts a stopped server again (waits until it answers)
#   pg-test-server.sh remove DIR|FILE stops it if running and removes the folder
#   pg-test-server.sh url DIR [DB]    the URL of database DB (default postgres), user uvq
#   pg-test-server.sh psql DIR DB     runs the SQL on standard input in database DB
# Role "uvq" is trusted; role "uvq_secret" must give its password (scram-sha-256), for the
# password tests.
set -euo pipefail

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "pg-test-server: no PostgreSQL server installed (Debian package postgresql)" >&2
  exit 2
fi
owner=nobody

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u "$owner" -- "$@"
  else
    "$@"
  fi
}

folder_of() {
  local arg=$1
  [ -f "$arg" ] && arg=$(cat "$arg")
  case "$arg" in
    /tmp/uvq-pg.*) printf '%s\n' "$arg" ;;
    *) echo "pg-test-server: $arg is not a test server's folder" >&2; exit 2 ;;
  esac
}

start_server() {
  local dir=$1
  if ! as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 120 start >/dev/null; then
    echo "pg-test-server: the server did not start; its log:" >&2
    cat "$dir/server.log" >&2 || true
    exit 1
  fi
}

case "${1:-}" in
  start)
    if [ "$(id -u)" -eq 0 ] && ! runuser -u "$owner" -- true 2>/dev/null; then
      echo "pg-test-server: cannot run as $owner (initdb refuses root)" >&2
      exit 2
    fi
    dir=$(mktemp -d /tmp/uvq-pg.XXXXXX)
    [ "$(id -u)" -eq 0 ] && chown "$owner" "$dir"
    if ! as_owner "$bin/initdb" -D "$dir/data" -U uvq -A trust -E UTF8 --no-sync \
        >"$dir/initdb.log" 2>&1; then
      cat "$dir/initdb.log" >&2
      rm -rf "$dir"
      exit 1
    fi
    cat >>"$dir/data/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$dir'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 50
password_encryption = 'scram-sha-256'
CONF
    hba="$dir/data/pg_hba.conf"
    { echo "local all uvq_secret scram-sha-256"; cat "$hba"; } >"$hba.new"
    mv "$hba.new" "$hba"
    [ "$(id -u)" -eq 0 ] && chown "$owner" "$hba"
    start_server "$dir"
    [ -n "${2:-}" ] && printf '%s\n' "$dir" >"$2"
    printf '%s\n' "$dir"
    ;;
  stop)
    dir=$(folder_of "$2")
    as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w -t 120 stop >/dev/null
    ;;
  restart)
    dir=$(folder_of "$2")
    start_server "$dir"
    ;;
  remove)
    dir=$(folder_of "$2")
    as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    rm -rf "$dir"
    [ -f "$2" ] && rm -f "$2"
    ;;
  url)
    dir=$(folder_of "$2")
    printf 'postgresql://uvq@/%s?host=%s\n' "${3:-postgres}" "$dir"
    ;;
  psql)
    dir=$(folder_of "$2")
    "$bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -U uvq -d "$3" -f - >/dev/null
    ;;
  *)
    sed -n '2,14p' "$0" >&2
    exit 2
    ;;
esac
