#!/usr/bin/env python3
"""Resident memory of the server before, during and after clients that stop reading.

usage: bench/stalled_readers.py BUILD_DIR [--stalled 3] [--resources 200]

Starts BUILD_DIR/TAVO_WServer.exe on a free loopback port with a database seeded by
BUILD_DIR/tools/tavo_load (--resources resources, so that each list is about 10 KB). Then, for
--stalled clients of each kind, none of which ever reads:
  - a display that asks for its list again and again (CURRENTLIST replies);
  - an administration connection that asks for a call station's list again and again (each
    RETCALLLIST an answer of its own, so its backlog grows until the server drops it).
Prints VmRSS of the server (kB) before the clients, at their peak, and after the server has
dropped the ones it drops and the rest have disconnected. 127.0.0.1 only; every loop bounded."""
import argparse, os, shutil, socket, sqlite3, subprocess, sys, tempfile, time

KEY = 'HKEY_LOCAL_MACHINE\\SOFTWARE\\KerVanta\\TAVO_WServer'
M = b'\xa4'


def rss_kb(pid, field='VmRSS:'):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


def cpu_ticks(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return int(fields[11]) + int(fields[12])


def wait_idle(pid, limit_s=120):
    """Waits until the server has used no CPU for two seconds (at most limit_s): on a busy
    machine a shorter pause may only mean that it was not scheduled."""
    end = time.time() + limit_s
    last, quiet = cpu_ticks(pid), 0
    while time.time() < end and quiet < 4:
        time.sleep(0.5)
        now = cpu_ticks(pid)
        quiet = quiet + 1 if now == last else 0
        last = now


def free_port():
    s = socket.socket(); s.bind(('127.0.0.1', 0)); p = s.getsockname()[1]; s.close(); return p


def connect(port):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(('127.0.0.1', port))
    return s


def flood(sock, request, count):
    """Sends the request count times in batches; stops when the server has closed."""
    batch = request * 200
    sent = 0
    sock.settimeout(2.0)
    try:
        while sent < count:
            sock.sendall(batch)
            sent += 200
            time.sleep(0.002)
    except OSError as e:
        print('  flood stopped after %d requests: %s' % (sent, e))
        return False
    return True


def start_server(build, tmp, displays, stations, resources, registry='', prepare=None):
    """Starts BUILD/TAVO_WServer.exe in tmp over a database seeded by tavo_load; prepare(db)
    may change the database first, registry adds lines to the registry key. Returns the
    process and its main port once it accepts."""
    exe = os.path.join(tmp, 'TAVO_WServer.exe'); shutil.copy2(os.path.join(build, 'TAVO_WServer.exe'), exe)
    here = os.path.dirname(os.path.abspath(__file__))
    subprocess.run([sys.executable, os.path.join(here, '..', 'packaging', 'make_udl.py'),
                    os.path.join(tmp, 'TAVO.udl'), 'Provider=SQLite;Data Source=TAVO.sqlite'], check=True)
    subprocess.run([os.path.join(build, 'tools', 'tavo_load'), '--seed', os.path.join(tmp, 'TAVO.sqlite'),
                    '--displays', str(displays), '--stations', str(stations), '--resources', str(resources)],
                   check=True, stdout=subprocess.DEVNULL)
    port = free_port()
    # The update listener gets a free port of its own (main port + 1 may be taken).
    db = sqlite3.connect(os.path.join(tmp, 'TAVO.sqlite'))
    db.execute("INSERT INTO SETTINGS (NYCKELNAMN, STRINGVALUE) VALUES "
               "('ServerSettings-UpdateServerPort', ?)", (str(free_port()),))
    if prepare:
        prepare(db)
    db.commit(); db.close()
    with open(os.path.join(tmp, 'registry.ini'), 'w') as f:
        f.write('[%s]\nPort=%d\n%s' % (KEY, port, registry))
    proc = subprocess.Popen([exe, '--foreground', '--registry', os.path.join(tmp, 'registry.ini'),
                             '--event-log', os.path.join(tmp, 'events.log')])
    for _ in range(200):
        try:
            socket.create_connection(('127.0.0.1', port), 0.2).close(); break
        except OSError:
            time.sleep(0.05)
    else:
        with open(os.path.join(tmp, 'events.log'), errors='replace') as f:
            sys.exit('the server did not start:\n' + f.read()[-2000:])
    return proc, port


def stop_server(proc, tmp):
    if proc:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
    shutil.rmtree(tmp, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('build'); ap.add_argument('--stalled', type=int, default=3)
    ap.add_argument('--resources', type=int, default=200)
    ap.add_argument('--requests', type=int, default=6000)
    a = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix='tavo-stalled-')
    proc = None
    try:
        proc, port = start_server(a.build, tmp, a.stalled, 1, a.resources)
        time.sleep(0.5)
        before = rss_kb(proc.pid)

        clients = []
        for i in range(a.stalled):
            d = connect(port)
            d.sendall(M + b'GETCALLLIST:LOADSHOW%d:1:GETCALLLIST' % i + M)
            admin = connect(port)
            admin.sendall(M + b'GETCALLLIST:x:2:GETCALLLIST' + M)
            clients += [(d, M + b'GETCALLLIST:LOADSHOW%d:1:GETCALLLIST' % i + M),
                        (admin, M + b'GETCALLLIST:LOADCALL0:0:GETCALLLIST' + M)]
        time.sleep(0.2)
        for sock, request in clients:
            flood(sock, request, a.requests)
            if os.environ.get('STALLED_DEBUG'):
                wait_idle(proc.pid)
                print('  after one flood: VmRSS %d kB' % rss_kb(proc.pid))
        wait_idle(proc.pid)
        peak = rss_kb(proc.pid, 'VmHWM:')
        during = rss_kb(proc.pid)
        for sock, _ in clients:
            sock.close()
        wait_idle(proc.pid)
        after = rss_kb(proc.pid)
        with open(os.path.join(tmp, 'events.log'), encoding='utf-8', errors='replace') as f:
            log = f.read().splitlines()
        dropped = sum(1 for line in log if 'closing the connection of' in line)
        if os.environ.get('STALLED_DEBUG'):
            print('\n'.join(l[:200] for l in log[-10:]))
        print('stalled clients: %d displays + %d administration connections, %d dropped by the server'
              % (a.stalled, a.stalled, dropped))
        print('server VmRSS kB: before %d, with the stalled clients %d (peak %d), after they are gone %d (%.2fx before)'
              % (before, during, peak, after, after / before))
    finally:
        stop_server(proc, tmp)


if __name__ == '__main__':
    main()
