#!/bin/sh
# A throw-away PostgreSQL server on a loopback port, for the database tests and benchmarks.
#   pg_server.sh start STATEFILE   initdb in a new temporary directory, start, write "DIR PORT"
#   pg_server.sh stop STATEFILE    stop the server named in STATEFILE and remove its directory
#   pg_server.sh pause STATEFILE   stop it as an administrator would (fast), keeping its data
#   pg_server.sh resume STATEFILE  start a paused server again on the same port
# TAVO_PG_ALSO_LISTEN=ADDRESS at start: the server also listens on that address (of a network
# namespace pair the test made) and lets the networks of its addresses in.
# As root the server runs as the unprivileged user postgres (initdb refuses root).
set -eu
cmd=${1:?start or stop}
state=${2:?state file}
case "$state" in /*) ;; *) state="$PWD/$state" ;; esac

bindir=${TAVO_PG_BINDIR:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}
[ -x "$bindir/initdb" ] || { echo "PostgreSQL server binaries not found (package postgresql)" >&2; exit 1; }

as_owner() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

stop() {
  [ -f "$state" ] || return 0
  read -r dir port < "$state" || true
  if [ -n "${dir:-}" ] && [ -d "$dir/data" ]; then
    as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  case "${dir:-}" in /tmp/tavo-pg-*|"${TMPDIR:-/tmp}"/tavo-pg-*) rm -rf "$dir" ;; esac
  rm -f "$state"
}

options() {
  echo "-p $1 -c listen_addresses=127.0.0.1${3:+,$3} -c unix_socket_directories=$2 -c fsync=off -c synchronous_commit=off -c full_page_writes=off -c max_connections=100"
}

pause() {
  cd "${TMPDIR:-/tmp}"
  read -r dir port < "$state"
  as_owner "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
}

resume() {
  cd "${TMPDIR:-/tmp}"
  read -r dir port also < "$state"
  as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 -o "$(options "$port" "$dir" "${also:-}")" start >/dev/null
}

start() {
  cd "${TMPDIR:-/tmp}"  # the server user may not be allowed into the caller's directory
  stop  # a server left behind by an interrupted run
  dir=$(mktemp -d "${TMPDIR:-/tmp}/tavo-pg-XXXXXX")
  chmod 755 "$dir"
  [ "$(id -u)" = 0 ] && chown postgres "$dir"
  if ! as_owner "$bindir/initdb" -D "$dir/data" -U tavo -A trust -E UTF8 --locale=C --no-sync \
       >"$dir/initdb.log" 2>&1; then
    cat "$dir/initdb.log" >&2; rm -rf "$dir"; exit 1
  fi
  also=${TAVO_PG_ALSO_LISTEN:-}
  if [ -n "$also" ]; then echo "host all all samenet trust" >> "$dir/data/pg_hba.conf"; fi
  tries=0
  while [ $tries -lt 10 ]; do
    tries=$((tries + 1))
    port=$((20000 + $(od -An -N2 -tu2 /dev/urandom | tr -d ' ') % 40000))
    if as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
         -o "$(options "$port" "$dir" "$also")" \
         start >/dev/null 2>&1; then
      echo "$dir $port $also" > "$state"
      echo "PostgreSQL on 127.0.0.1:$port in $dir"
      return 0
    fi
  done
  cat "$dir/server.log" >&2 || true
  rm -rf "$dir"
  exit 1
}

case "$cmd" in
  start) start ;;
  stop) stop ;;
  pause) pause ;;
  resume) resume ;;
  *) echo "usage: $0 start|stop|pause|resume STATEFILE" >&2; exit 2 ;;
esac
