#!/bin/bash
# Runs the load tool against a fresh Release server on loopback.
#   [SYNC=NORMAL] [STREAMS=S] bench/run_load.sh BUILD_DIR DISPLAYS [STATIONS] [CALLS] [IDLE]
# The server runs in a temporary program directory with a seeded SQLite database. STREAMS=S
# also keeps S browser pages open on the displays' event streams (/display/NAME/events).
set -euo pipefail
BUILD=${1:?build directory}
DISPLAYS=${2:?number of displays}
STATIONS=${3:-10}
CALLS=${4:-1000}
IDLE=${5:-0}
DIR=$(mktemp -d)
trap 'kill $PID 2>/dev/null || true; wait $PID 2>/dev/null || true; rm -rf "$DIR"' EXIT
cp "$BUILD/TAVO_WServer.exe" "$DIR/"
python3 "$(dirname "$0")/../packaging/make_udl.py" "$DIR/TAVO.udl" "Provider=SQLite;Data Source=TAVO.sqlite"
"$BUILD/tools/tavo_load" --seed "$DIR/TAVO.sqlite" --displays "$DISPLAYS" --stations "$STATIONS" --resources 5 >/dev/null
read -r PORT UPDATE_PORT HTTP_PORT < <(python3 -c 'import socket; s=[socket.socket() for _ in range(3)]; [x.bind(("127.0.0.1",0)) for x in s]; print(*[x.getsockname()[1] for x in s])')
# The update listener defaults to PORT+1, which may be the local port of a client connection
# here (both are ephemeral ports); give it a free one of its own.
python3 -c 'import sqlite3,sys; db=sqlite3.connect(sys.argv[1]); db.execute("DELETE FROM SETTINGS WHERE NYCKELNAMN=?", ("ServerSettings-UpdateServerPort",)); db.execute("INSERT INTO SETTINGS (NYCKELNAMN, STRINGVALUE) VALUES (?, ?)", ("ServerSettings-UpdateServerPort", sys.argv[2])); db.commit()' "$DIR/TAVO.sqlite" "$UPDATE_PORT"
printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\KerVanta\\TAVO_WServer]\nPort=%s\n' "$PORT" > "$DIR/registry.ini"
# SYNC=NORMAL runs the call log without a disk flush per commit (the server's default is FULL).
if [ -n "${SYNC:-}" ]; then printf 'SQLiteSynchronous=%s\n' "$SYNC" >> "$DIR/registry.ini"; fi
STREAMS=${STREAMS:-0}
STREAM_ARGS=()
if [ "$STREAMS" -gt 0 ]; then
  printf 'MetricsPort=%s\nWebDisplayMaxStreams=%s\n' "$HTTP_PORT" "$STREAMS" >> "$DIR/registry.ini"
  STREAM_ARGS=(--streams "$STREAMS" --http-port "$HTTP_PORT")
fi
# Server and tool each hold one descriptor per connection.
ulimit -n $(( IDLE + DISPLAYS + STATIONS + 1024 > 8192 ? IDLE + DISPLAYS + STATIONS + 1024 : 8192 ))
"$DIR/TAVO_WServer.exe" --foreground --registry "$DIR/registry.ini" --event-log "$DIR/events.log" &
PID=$!
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$PORT) 2>/dev/null && break; sleep 0.05; done
"$BUILD/tools/tavo_load" --port "$PORT" --displays "$DISPLAYS" --stations "$STATIONS" --calls "$CALLS" \
  --idle "$IDLE" --pid "$PID" "${STREAM_ARGS[@]}"
