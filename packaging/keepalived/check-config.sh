#!/bin/sh
# Checks the keepalived configuration of a standby pair with keepalived's own parser, with the
# notify script and the health check's program where the configuration expects them.
set -e
CONF="$1"
command -v keepalived >/dev/null || { echo "keepalived is not installed"; exit 77; }
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
NOTIFY=$(dirname "$CONF")/keepalived-notify.sh
# The machine running the check may have no eth0: the first network card that is not the
# loopback stands in for it.
NIC=$(ls /sys/class/net | grep -v '^lo$' | head -n 1)
[ -n "$NIC" ] || { echo "no network card to check the configuration with"; exit 77; }
sed -e "s#/usr/local/lib/tavo/keepalived-notify.sh#$NOTIFY#" -e "s#\beth0\b#$NIC#g" "$CONF" > "$TMP/keepalived.conf"
if ! OUT=$(timeout 20 keepalived --config-test --use-file="$TMP/keepalived.conf" --log-console 2>&1); then
  printf '%s\n' "$OUT"
  exit 1
fi
grep -q 'http://127.0.0.1:9102/health' "$TMP/keepalived.conf"
echo "keepalived configuration verified"
