#!/usr/bin/env python3
"""Start-up time of the server on a call log of --rows rows (default 1,000,000) in a database
made the way the original system made it: no index on CALLLOG besides its key.

usage: bench/startup_big_calllog.py BUILD_DIR [--rows 1000000] [--starts 3]

Times, for each start, the moment from exec to the main port accepting a connection (the
call list is loaded before the listeners open). The first start of a server that creates the
missing indexes does so once; the starts after it show the steady figure. 127.0.0.1 only."""
import argparse, os, shutil, socket, sqlite3, subprocess, sys, tempfile, time

KEY = 'HKEY_LOCAL_MACHINE\\SOFTWARE\\KerVanta\\TAVO_WServer'
SCHEMA = """
CREATE TABLE STATIONS(LOPNR INTEGER PRIMARY KEY, STATIONNAME VARCHAR(100), FRIENDLYNAME VARCHAR(100),
  NAMECOLOUR INTEGER, STATIONTYPE INTEGER, IMEINUMBER VARCHAR(25));
CREATE TABLE CALLABLES(LOPNR INTEGER PRIMARY KEY, CALLNAME VARCHAR(50), FULLNAME VARCHAR(100),
  NAMECOLOUR INTEGER, SENDSMS INTEGER, SMSNUMMER VARCHAR(250), AKTIV VARCHAR(1));
CREATE TABLE CALLLIST(STATIONSLOPNR INTEGER, CALLABLESLOPNR INTEGER, IXLOPNR INTEGER);
CREATE TABLE CALLLOG(LOPNR INTEGER PRIMARY KEY, STATIONSLOPNR INTEGER, CALLABLESLOPNR INTEGER,
  SMSSENT BIT, CALLTSTAMP DATETIME, CANCELTSTAMP DATETIME, CONFIRMTSTAMP DATETIME,
  COMINGTSTAMP DATETIME, COMINGLOPNR INT);
CREATE TABLE SETTINGS(NYCKELNAMN VARCHAR(255), STRINGVALUE VARCHAR(4000), INTEGERVALUE INTEGER);
INSERT INTO SETTINGS VALUES('SMSNUMMERLENGTH', NULL, 250);
"""


def free_port():
    s = socket.socket(); s.bind(('127.0.0.1', 0)); p = s.getsockname()[1]; s.close(); return p


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('build'); ap.add_argument('--rows', type=int, default=1000000)
    ap.add_argument('--starts', type=int, default=3)
    a = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix='tavo-startup-')
    try:
        exe = os.path.join(tmp, 'TAVO_WServer.exe'); shutil.copy2(os.path.join(a.build, 'TAVO_WServer.exe'), exe)
        here = os.path.dirname(os.path.abspath(__file__))
        subprocess.run([sys.executable, os.path.join(here, '..', 'packaging', 'make_udl.py'),
                        os.path.join(tmp, 'TAVO.udl'), 'Provider=SQLite;Data Source=TAVO.sqlite'], check=True)
        db = sqlite3.connect(os.path.join(tmp, 'TAVO.sqlite'))
        db.executescript(SCHEMA)
        db.execute("INSERT INTO CALLABLES WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 20) "
                   "SELECT i, 'Resurs ' || i, 'Resurs nummer ' || i, 255, 0, NULL, 'T' FROM n")
        db.execute("INSERT INTO STATIONS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 50) "
                   "SELECT i, 'RUM' || i, 'Rum ' || i, 65280, 0, NULL FROM n")
        db.execute("INSERT INTO CALLLIST SELECT STATIONS.LOPNR, CALLABLES.LOPNR, CALLABLES.LOPNR FROM STATIONS, CALLABLES")
        # Ten years up to now, confirmed; the last few hundred of today partly still open.
        db.execute("INSERT INTO CALLLOG (LOPNR, STATIONSLOPNR, CALLABLESLOPNR, SMSSENT, CALLTSTAMP, CONFIRMTSTAMP) "
                   "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < ?) "
                   "SELECT i, i % 50 + 1, i % 20 + 1, 0, "
                   "strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime', '-' || ((? - i) * 315) || ' seconds'), "
                   "strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime', '-' || ((? - i) * 315 - 60) || ' seconds') FROM n",
                   (a.rows, a.rows, a.rows))
        db.execute("UPDATE CALLLOG SET CONFIRMTSTAMP = NULL WHERE LOPNR > ? AND LOPNR % 7 = 0", (a.rows - 100,))
        db.execute("INSERT INTO SETTINGS VALUES('ServerSettings-UpdateServerPort', ?, NULL)", (str(free_port()),))
        db.commit(); db.close()
        port = free_port()
        with open(os.path.join(tmp, 'registry.ini'), 'w') as f:
            f.write('[%s]\nPort=%d\n' % (KEY, port))
        for n in range(a.starts):
            t0 = time.monotonic()
            proc = subprocess.Popen([exe, '--foreground', '--registry', os.path.join(tmp, 'registry.ini'),
                                     '--event-log', os.path.join(tmp, 'events.log')])
            ok = False
            while time.monotonic() - t0 < 120 and proc.poll() is None:
                try:
                    socket.create_connection(('127.0.0.1', port), 0.5).close(); ok = True; break
                except OSError:
                    time.sleep(0.002)
            elapsed = (time.monotonic() - t0) * 1000
            proc.terminate(); proc.wait(30)
            print('start %d: %s after %.0f ms' % (n + 1, 'accepting' if ok else 'NOT accepting', elapsed))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == '__main__':
    main()
