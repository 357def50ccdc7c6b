#!/bin/sh
# install-service.sh in a scratch prefix, without systemd (a stand-in systemctl runs the unit):
# cmake --install keeps the script executable; the script installs the unit and the rules and
# starts the service; after an upgrade it restarts it, so that the new program runs; and
# --uninstall stops it and removes what it installed, keeping the database and the registry.
# Usage: install_service_test.sh BUILD_DIR SOURCE_DIR
set -eu
BUILD=$1
SRC=$2
[ "$(id -u)" = 0 ] || { echo "SKIP: chown to the service user needs root"; exit 0; }
TMP=$(mktemp -d)
export FAKE_SYSTEMD_STATE=$TMP/state
export SYSCONFDIR=$TMP/etc LOGDIR=$TMP/log SERVICE_USER=root SYSTEMCTL=$TMP/bin/systemctl
export UNIT_DIR=$SYSCONFDIR/systemd/system
PREFIX=$TMP/opt/tavo
cleanup() {
  if [ -f "$FAKE_SYSTEMD_STATE/pid" ]; then kill "$(cat "$FAKE_SYSTEMD_STATE/pid")" 2>/dev/null || true; fi
  rm -rf "$TMP"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ ! -f "$FAKE_SYSTEMD_STATE/out" ] || cat "$FAKE_SYSTEMD_STATE/out"; exit 1; }
mkdir -p "$FAKE_SYSTEMD_STATE" "$TMP/bin" "$SYSCONFDIR/polkit-1/rules.d" "$SYSCONFDIR/logrotate.d"
cp "$SRC/tests/packaging/fake_systemctl.sh" "$SYSTEMCTL"
chmod +x "$SYSTEMCTL"

cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
[ -x "$PREFIX/install-service.sh" ] || fail "install-service.sh lost its execute bit"
PORT=$(python3 -c '
import socket
for _ in range(100):
    a, b = socket.socket(), socket.socket()
    try:
        a.bind(("127.0.0.1", 0)); b.bind(("127.0.0.1", a.getsockname()[1] + 1))
        print(a.getsockname()[1]); break
    except OSError:
        pass
    finally:
        a.close(); b.close()
')
printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\KerVanta\\TAVO_WServer]\nPort=%s\n' "$PORT" > "$PREFIX/registry.ini"
ping() { "$PREFIX/tools/tavo-cli" -p "$PORT" -t 5 ping >/dev/null 2>&1; }

# Install: unit, rules, log directory; enabled and serving.
"$PREFIX/install-service.sh" >/dev/null || fail "install"
UNIT=$UNIT_DIR/TAVO_WindowsServer.service
grep -qx "ExecStart=$PREFIX/TAVO_WServer.exe --registry $PREFIX/registry.ini" "$UNIT" || fail "ExecStart of $UNIT"
grep -qx "WorkingDirectory=$PREFIX" "$UNIT" || fail "WorkingDirectory of $UNIT"
grep -qx "User=root" "$UNIT" || fail "User of $UNIT"
OUT=$(systemd-analyze verify "$UNIT" 2>&1 | grep TAVO_WindowsServer || true)
[ -z "$OUT" ] || fail "systemd-analyze verify: $OUT"
grep -q 'subject.user != "root"' "$SYSCONFDIR/polkit-1/rules.d/50-tavo-restart.rules" || fail "polkit rule"
grep -q "^$LOGDIR/events.log {" "$SYSCONFDIR/logrotate.d/TAVO_WServer" || fail "logrotate rule"
[ -d "$LOGDIR" ] || fail "no log directory"
[ -f "$FAKE_SYSTEMD_STATE/enabled" ] || fail "not enabled"
ping || fail "the installed service does not serve"

# Upgrade: a new program file in place (as cmake --install puts it), the old one still runs.
OLD=$(cat "$FAKE_SYSTEMD_STATE/pid")
cp "$PREFIX/TAVO_WServer.exe" "$TMP/new.exe"
mv "$TMP/new.exe" "$PREFIX/TAVO_WServer.exe"
case $(readlink "/proc/$OLD/exe") in *"(deleted)") ;; *) fail "the old program file is still in place" ;; esac
"$PREFIX/install-service.sh" >/dev/null || fail "upgrade"
NEW=$(cat "$FAKE_SYSTEMD_STATE/pid")
[ "$NEW" != "$OLD" ] || fail "the service was not restarted"
kill -0 "$OLD" 2>/dev/null && fail "the old program still runs"
[ "$(readlink "/proc/$NEW/exe")" = "$PREFIX/TAVO_WServer.exe" ] || fail "the new program does not run"
ping || fail "the upgraded service does not serve"

# Uninstall: stopped, unit and rules gone; the database and the registry store stay.
"$PREFIX/install-service.sh" --uninstall >/dev/null || fail "uninstall"
kill -0 "$NEW" 2>/dev/null && fail "still running after --uninstall"
[ ! -e "$UNIT" ] || fail "unit left behind"
[ ! -e "$SYSCONFDIR/polkit-1/rules.d/50-tavo-restart.rules" ] || fail "polkit rule left behind"
[ ! -e "$SYSCONFDIR/logrotate.d/TAVO_WServer" ] || fail "logrotate rule left behind"
[ ! -f "$FAKE_SYSTEMD_STATE/enabled" ] || fail "still enabled"
[ -s "$PREFIX/TAVO.sqlite" ] || fail "the database was removed"
grep -q "^Port=$PORT" "$PREFIX/registry.ini" || fail "the registry store was removed"
echo "install, upgrade and uninstall verified"
