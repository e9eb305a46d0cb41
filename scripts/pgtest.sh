#!/usr/bin/env bash
# A throw-away PostgreSQL 15 server for the tests and benchmarks: initdb into a new
# temporary directory, listening on a Unix socket in that directory only (no TCP),
# password authentication, stopped and removed at the end even on failure. As root
# the server runs as the unprivileged user nobody (initdb refuses root).
#
#   scripts/pgtest.sh -- command args...    runs the command with a server; its exit
#                                           status is the command's
#   source scripts/pgtest.sh                then: pgt_start, pgt_stop, pgt_restart,
#                                           pgt_cleanup (call it from your EXIT trap)
#
# While the server runs: PGT_ADMIN and PGT_STATION are connection strings of the
# database "factory" for its owner and for the role "station" (which may only take and
# settle addresses, once factory-db has granted it); PGT_BASE is the directory;
# PGT_PID the server's process id.
PGT_BIN="${PGT_BIN:-/usr/lib/postgresql/15/bin}"
PGT_SRC="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

pgt_as_server() {  # runs a command as the server's user
  if [ "$(id -u)" = 0 ]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env -- "$@"
  else
    "$@"
  fi
}

pgt_start() {  # initdb (first time) and start; waits until it serves
  if [ ! -x "$PGT_BIN/initdb" ]; then
    echo "pgtest: $PGT_BIN/initdb missing (scripts/setup.sh installs postgresql-15)" >&2
    return 1
  fi
  if [ -z "${PGT_BASE:-}" ]; then
    PGT_BASE="$(mktemp -d /tmp/pt_pg.XXXXXX)"
    chmod 711 "$PGT_BASE"
    mkdir -m 700 "$PGT_BASE/data"
    mkdir -m 711 "$PGT_BASE/sock"
    local pw_admin pw_station
    pw_admin="$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')"
    pw_station="$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')"
    printf '%s\n' "$pw_admin" > "$PGT_BASE/pw"
    [ "$(id -u)" = 0 ] && chown nobody:nogroup "$PGT_BASE/data" "$PGT_BASE/sock" "$PGT_BASE/pw"
    if ! pgt_as_server "$PGT_BIN/initdb" -D "$PGT_BASE/data" -U pt_admin --pwfile="$PGT_BASE/pw" \
        --auth-local=scram-sha-256 --auth-host=reject -E UTF8 --locale=C.UTF-8 \
        > "$PGT_BASE/initdb.log" 2>&1; then
      echo "pgtest: initdb failed:" >&2
      cat "$PGT_BASE/initdb.log" >&2
      return 1
    fi
    rm -f "$PGT_BASE/pw"
    cat >> "$PGT_BASE/data/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$PGT_BASE/sock'
max_connections = 40
shared_buffers = 16MB
logging_collector = off
CONF
    PGT_ADMIN="host=$PGT_BASE/sock dbname=factory user=pt_admin password=$pw_admin"
    PGT_STATION="host=$PGT_BASE/sock dbname=factory user=station password=$pw_station"
    export PGT_BASE PGT_ADMIN PGT_STATION
    pgt_run_server || return 1
    PGPASSWORD="$pw_admin" "$PGT_BIN/psql" -X -q -v ON_ERROR_STOP=1 \
      "host=$PGT_BASE/sock dbname=postgres user=pt_admin" \
      -c "CREATE DATABASE factory" -c "CREATE ROLE station LOGIN PASSWORD '$pw_station'" \
      >/dev/null || return 1
    return 0
  fi
  pgt_run_server
}

pgt_run_server() {
  if ! pgt_as_server "$PGT_BIN/pg_ctl" -D "$PGT_BASE/data" -l "$PGT_BASE/data/server.log" -w -t 60 \
      start > /dev/null; then
    echo "pgtest: the server did not start:" >&2
    cat "$PGT_BASE/data/server.log" >&2
    return 1
  fi
  PGT_PID="$(head -1 "$PGT_BASE/data/postmaster.pid")"
  export PGT_PID
}

pgt_stop() {  # a fast stop: sessions are ended, nothing committed is lost
  [ -n "${PGT_BASE:-}" ] && [ -f "$PGT_BASE/data/postmaster.pid" ] || return 0
  pgt_as_server "$PGT_BIN/pg_ctl" -D "$PGT_BASE/data" -m fast -w -t 60 stop > /dev/null ||
    pgt_as_server "$PGT_BIN/pg_ctl" -D "$PGT_BASE/data" -m immediate -w -t 60 stop > /dev/null
}

pgt_restart() {
  pgt_stop && pgt_run_server
}

pgt_cleanup() {
  [ -n "${PGT_BASE:-}" ] || return 0
  pgt_stop 2>/dev/null
  rm -rf "$PGT_BASE"
  PGT_BASE=""
}

# psql as the database's owner: pgt_sql "SELECT ..." prints unaligned rows.
pgt_sql() {
  "$PGT_BIN/psql" -X -q -At -v ON_ERROR_STOP=1 "$PGT_ADMIN" -c "$1"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -uo pipefail
  [ "${1:-}" = "--" ] && shift
  if [ $# = 0 ]; then
    echo "usage: scripts/pgtest.sh -- command args..." >&2
    exit 2
  fi
  trap pgt_cleanup EXIT
  trap 'exit 130' INT TERM
  pgt_start || exit 1
  rc=0
  "$@" || rc=$?
  exit "$rc"
fi
