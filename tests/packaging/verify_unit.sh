#!/bin/sh
# Checks the systemd unit with systemd-analyze, pointed at the built executable.
set -e
UNIT_SRC="$1"
EXE_DIR="$2"
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
sed "s#/opt/tavo#$EXE_DIR#g" "$UNIT_SRC" > "$TMP/TAVO_WindowsServer.service"
OUT=$(systemd-analyze verify "$TMP/TAVO_WindowsServer.service" 2>&1 || true)
# Warnings about the host's own units are not ours.
OURS=$(printf '%s\n' "$OUT" | grep 'TAVO_WindowsServer' || true)
if [ -n "$OURS" ]; then
  printf '%s\n' "$OURS"
  exit 1
fi
grep -q '^Type=notify$' "$TMP/TAVO_WindowsServer.service"
grep -q '^Restart=on-failure$' "$TMP/TAVO_WindowsServer.service"
grep -q '^AmbientCapabilities=CAP_NET_BIND_SERVICE$' "$TMP/TAVO_WindowsServer.service"
grep -q '^LimitNOFILE=65536$' "$TMP/TAVO_WindowsServer.service"
grep -q '^WatchdogSec=30$' "$TMP/TAVO_WindowsServer.service"
echo "unit verified"
