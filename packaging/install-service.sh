#!/bin/sh
# Installs the program directory as a systemd service (run as root from the program directory,
# e.g. after `cmake --install build-release --prefix /opt/tavo`).
set -e
DIR=$(cd "$(dirname "$0")" && pwd)
id tavo >/dev/null 2>&1 || useradd --system --home-dir "$DIR" --shell /usr/sbin/nologin tavo
# The service account owns the program directory and can write to it: the self-update writes
# version files there and puts new program files in place, keeping "Old_" copies.
chown -R tavo:tavo "$DIR"
chmod u+rwx "$DIR"
sed "s#/opt/tavo#$DIR#g" "$DIR/TAVO_WindowsServer.service" > /etc/systemd/system/TAVO_WindowsServer.service
if [ -d /etc/polkit-1/rules.d ]; then
  cp "$DIR/50-tavo-restart.rules" /etc/polkit-1/rules.d/
fi
systemctl daemon-reload
systemctl enable --now TAVO_WindowsServer.service
