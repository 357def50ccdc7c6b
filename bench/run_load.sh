#!/bin/bash
# Runs the load tool against a fresh Release server on loopback.
#   [SYNC=NORMAL] [SMS=1] [STREAMS=S] bench/run_load.sh BUILD_DIR DISPLAYS [STATIONS] [CALLS] [IDLE]
# The server runs in a temporary program directory with a seeded SQLite database. SMS=1 marks
# the resources for SMS and runs the HTTPS test gateway (tests/sms/gateway.py) on loopback.
# STREAMS=S also keeps S browser pages open on the displays' event streams
# (/display/NAME/events).
set -euo pipefail
BUILD=${1:?build directory}
DISPLAYS=${2:?number of displays}
STATIONS=${3:-10}
CALLS=${4:-1000}
IDLE=${5:-0}
DIR=$(mktemp -d)
PID= GWPID=
trap 'kill $PID $GWPID 2>/dev/null || true; wait $PID $GWPID 2>/dev/null || true; rm -rf "$DIR"' EXIT
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
if [ -n "${SMS:-}" ]; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=tavo-bench -addext subjectAltName=IP:127.0.0.1 \
    -keyout "$DIR/gw.key" -out "$DIR/gw.crt" >/dev/null 2>&1
  mkdir "$DIR/gw"
  python3 "$(dirname "$0")/../tests/sms/gateway.py" --cert "$DIR/gw.crt" --key "$DIR/gw.key" \
    --port-file "$DIR/gw/port" --record "$DIR/gw" &
  GWPID=$!
  for _ in $(seq 100); do [ -f "$DIR/gw/port" ] && break; sleep 0.05; done
  PASSWORD=$("$BUILD/tools/tavo_crypt" encrypt-string hemligt)
  python3 -c 'import sqlite3,sys; db=sqlite3.connect(sys.argv[1]); db.execute("UPDATE CALLABLES SET SENDSMS=1, SMSNUMMER=\x27070-\x27 || LOPNR"); db.executemany("INSERT INTO SETTINGS (NYCKELNAMN, STRINGVALUE, INTEGERVALUE) VALUES (?, ?, ?)", [("SMSUSERNAME", "Bench", None), ("SMSPASSWORD", sys.argv[2], None), ("SMSKUNDNR", None, 4711)]); db.commit()' "$DIR/TAVO.sqlite" "$PASSWORD"
  printf 'HTTPSERVER=127.0.0.1:%s\nCAFile=%s\n' "$(cat "$DIR/gw/port")" "$DIR/gw.crt" >> "$DIR/registry.ini"
fi
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
if [ -n "${SMS:-}" ]; then
  sleep 2
  echo "SMS uploads the gateway received: $(grep -c '^POST' "$DIR/gw/requests.tsv" 2>/dev/null || true)"
fi
