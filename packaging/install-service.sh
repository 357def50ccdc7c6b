#!/bin/sh
# Installs the program directory as the systemd service TAVO_WindowsServer, upgrades it, or
# removes it. Run as root from the program directory, after
# `cmake --install build-release --prefix /opt/tavo`:
#   install-service.sh              install; after an upgrade, restart the running service so
#                                   that the new program runs
#   install-service.sh --uninstall  stop the service and remove the unit, the polkit rule and
#                                   the logrotate rule; the program directory with its database
#                                   and registry store, the log directory and the user stay
# SYSCONFDIR (default /etc), LOGDIR (default /var/log/tavo), SERVICE_USER (default tavo) and
# SYSTEMCTL (default systemctl, where systemd runs) let a test install into a scratch
# directory.
set -e
DIR=$(cd "$(dirname "$0")" && pwd)
UNIT=TAVO_WindowsServer.service
SYSCONFDIR=${SYSCONFDIR:-/etc}
LOGDIR=${LOGDIR:-/var/log/tavo}
SERVICE_USER=${SERVICE_USER:-tavo}
if [ -z "$SYSTEMCTL" ] && [ -d /run/systemd/system ]; then SYSTEMCTL=systemctl; fi
UNIT_FILE=$SYSCONFDIR/systemd/system/$UNIT
RULE_FILE=$SYSCONFDIR/polkit-1/rules.d/50-tavo-restart.rules
ROTATE_FILE=$SYSCONFDIR/logrotate.d/TAVO_WServer

say() { printf 'install-service.sh: %s\n' "$*"; }

case "$1" in
  "") ;;
  --uninstall)
    if [ -n "$SYSTEMCTL" ] && [ -f "$UNIT_FILE" ]; then
      "$SYSTEMCTL" disable --now "$UNIT" || say "could not stop $UNIT; it is removed all the same"
    fi
    rm -f "$UNIT_FILE" "$RULE_FILE" "$ROTATE_FILE"
    if [ -n "$SYSTEMCTL" ]; then "$SYSTEMCTL" daemon-reload; fi
    say "removed $UNIT, its polkit and logrotate rules; kept $DIR (program, database, registry store), $LOGDIR and the user $SERVICE_USER"
    exit 0
    ;;
  *)
    echo "usage: install-service.sh [--uninstall]" >&2
    exit 2
    ;;
esac

id "$SERVICE_USER" >/dev/null 2>&1 ||
  useradd --system --home-dir "$DIR" --shell /usr/sbin/nologin "$SERVICE_USER"
# The service account owns the program directory and can write to it: the self-update writes
# version files there and puts new program files in place, keeping "Old_" copies.
chown -R "$SERVICE_USER:$SERVICE_USER" "$DIR"
chmod u+rwx "$DIR"
# For --event-log; the unit's LogsDirectory= makes it too, this is for logrotate's sake.
mkdir -p "$LOGDIR"
chown "$SERVICE_USER:$SERVICE_USER" "$LOGDIR"
chmod 0750 "$LOGDIR"

mkdir -p "$(dirname "$UNIT_FILE")"
sed -e "s#/opt/tavo#$DIR#g" -e "s#^User=tavo\$#User=$SERVICE_USER#" \
    -e "s#^Group=tavo\$#Group=$SERVICE_USER#" "$DIR/$UNIT" > "$UNIT_FILE"
if [ -d "$(dirname "$RULE_FILE")" ]; then
  sed "s#subject.user != \"tavo\"#subject.user != \"$SERVICE_USER\"#" \
      "$DIR/50-tavo-restart.rules" > "$RULE_FILE"
else
  say "no polkit rules directory ($(dirname "$RULE_FILE")): the server's own restarts end its process and systemd starts it again"
fi
if [ -d "$(dirname "$ROTATE_FILE")" ]; then
  sed -e "s#/var/log/tavo#$LOGDIR#g" -e "s#0640 tavo tavo#0640 $SERVICE_USER $SERVICE_USER#" \
      "$DIR/TAVO_WServer.logrotate" > "$ROTATE_FILE"
fi

if [ -z "$SYSTEMCTL" ]; then
  say "systemd does not run here: $UNIT_FILE is installed but not started; start the server by hand with $DIR/TAVO_WServer.exe --foreground --registry $DIR/registry.ini"
  exit 0
fi
"$SYSTEMCTL" daemon-reload
"$SYSTEMCTL" enable "$UNIT"
if "$SYSTEMCTL" is-active --quiet "$UNIT"; then
  # An upgrade: the running process still runs the old program until it is restarted.
  action=restart
else
  action=start
fi
if ! "$SYSTEMCTL" "$action" "$UNIT"; then
  say "$UNIT did not $action; journalctl -u $UNIT -n 20 says why"
  exit 1
fi
say "$UNIT ${action}ed from $DIR; journalctl -u $UNIT -f follows its event log"
