#!/bin/sh
# Stands in for systemctl where no systemd runs: one unit, whose ExecStart it runs as a child
# in the unit's WorkingDirectory, started when the program serves (Type=notify), stopped with
# SIGTERM. FAKE_SYSTEMD_STATE is its directory, UNIT_DIR where the unit files are.
STATE=${FAKE_SYSTEMD_STATE:?}
echo "$*" >> "$STATE/calls"
now=
args=
for a; do
  case $a in
    --quiet) ;;
    --now) now=1 ;;
    *) args="$args $a" ;;
  esac
done
set -- $args
verb=$1
unit=$2

running() { [ -f "$STATE/pid" ] && kill -0 "$(cat "$STATE/pid")" 2>/dev/null; }

start() {
  file=$UNIT_DIR/$unit
  exec_start=$(sed -n 's/^ExecStart=//p' "$file")
  dir=$(sed -n 's/^WorkingDirectory=//p' "$file")
  [ -n "$exec_start" ] || { echo "no unit $unit" >&2; return 1; }
  n=$(ls "$STATE" | grep -c '^events' || true)
  log=$STATE/events.$n.log
  (cd "$dir" && exec $exec_start --foreground --event-log "$log") </dev/null >>"$STATE/out" 2>&1 &
  echo $! > "$STATE/pid"
  i=0
  while [ $i -lt 300 ]; do
    grep -q "Serving on port" "$log" 2>/dev/null && return 0
    running || return 1
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

stop() {
  running || { rm -f "$STATE/pid"; return 0; }
  pid=$(cat "$STATE/pid")
  kill -TERM "$pid"
  i=0
  while kill -0 "$pid" 2>/dev/null && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
  rm -f "$STATE/pid"
}

case $verb in
  daemon-reload) ;;
  enable) touch "$STATE/enabled" ;;
  disable) rm -f "$STATE/enabled"; [ -z "$now" ] || stop ;;
  is-active) running ;;
  start) running || start ;;
  stop) stop ;;
  restart) stop; start ;;
  *) echo "fake systemctl: no verb $verb" >&2; exit 1 ;;
esac
