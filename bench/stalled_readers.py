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
import argparse, os, shutil, socket, subprocess, sys, tempfile, time

KEY = 'HKEY_LOCAL_MACHINE\\SOFTWARE\\KerVanta\\TAVO_WServer'
M = b'\xa4'


def rss_kb(pid, field='VmRSS:'):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


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
    except OSError:
        return False
    return True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('build'); ap.add_argument('--stalled', type=int, default=3)
    ap.add_argument('--resources', type=int, default=200)
    ap.add_argument('--requests', type=int, default=6000)
    a = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix='tavo-stalled-')
    proc = None
    try:
        exe = os.path.join(tmp, 'TAVO_WServer.exe'); shutil.copy2(os.path.join(a.build, 'TAVO_WServer.exe'), exe)
        here = os.path.dirname(os.path.abspath(__file__))
        subprocess.run([sys.executable, os.path.join(here, '..', 'packaging', 'make_udl.py'),
                        os.path.join(tmp, 'TAVO.udl'), 'Provider=SQLite;Data Source=TAVO.sqlite'], check=True)
        subprocess.run([os.path.join(a.build, 'tools', 'tavo_load'), '--seed', os.path.join(tmp, 'TAVO.sqlite'),
                        '--displays', str(a.stalled), '--stations', '1', '--resources', str(a.resources)],
                       check=True, stdout=subprocess.DEVNULL)
        port = free_port()
        with open(os.path.join(tmp, 'registry.ini'), 'w') as f:
            f.write('[%s]\nPort=%d\n' % (KEY, port))
        proc = subprocess.Popen([exe, '--foreground', '--registry', os.path.join(tmp, 'registry.ini'),
                                 '--event-log', os.path.join(tmp, 'events.log')])
        for _ in range(100):
            try:
                socket.create_connection(('127.0.0.1', port), 0.2).close(); break
            except OSError:
                time.sleep(0.05)
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
        time.sleep(1.0)
        peak = rss_kb(proc.pid, 'VmHWM:')
        during = rss_kb(proc.pid)
        for sock, _ in clients:
            sock.close()
        time.sleep(2.0)
        after = rss_kb(proc.pid)
        dropped = 0
        with open(os.path.join(tmp, 'events.log'), encoding='utf-8', errors='replace') as f:
            dropped = sum(1 for line in f if 'closing the connection of' in line)
        print('stalled clients: %d displays + %d administration connections, %d dropped by the server'
              % (a.stalled, a.stalled, dropped))
        print('server VmRSS kB: before %d, with the stalled clients %d (peak %d), after they are gone %d (%.2fx before)'
              % (before, during, peak, after, after / before))
    finally:
        if proc:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == '__main__':
    main()
