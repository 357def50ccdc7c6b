#!/usr/bin/env python3
"""Resident memory of the server while browser pages stop reading their event streams.

usage: bench/stalled_pages.py BUILD_DIR [--stalled 60] [--resources 40] [--seconds 30]

Starts BUILD_DIR/TAVO_WServer.exe with its pages on (MetricsPort, WebDisplayMaxStreams 64) over
a database seeded by BUILD_DIR/tools/tavo_load (--resources resources with long names, so that
a display's list is some tens of KB). Opens --stalled page streams (/display/NAME/events, a
4 KB receive buffer, never read) and one that reads, then has a call station open and confirm
calls for --seconds. Prints VmRSS of the server (kB) before the pages, at the end of the calls
(and its peak), after the stalled streams were dropped, and the stream counters of /metrics.
127.0.0.1 only; every loop bounded."""
import argparse, os, socket, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stalled_readers import M, rss_kb, wait_idle, free_port, start_server, stop_server  # noqa: E402


def metrics(port):
    s = socket.create_connection(('127.0.0.1', port), 5)
    s.sendall(b'GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n')
    data = b''
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    s.close()
    values = {}
    for line in data.decode(errors='replace').splitlines():
        if line.startswith('tavo_web_streams'):
            name, value = line.split(' ', 1)
            values[name] = value
    return values


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('build'); ap.add_argument('--stalled', type=int, default=60)
    ap.add_argument('--resources', type=int, default=40)
    ap.add_argument('--seconds', type=float, default=30)
    a = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix='tavo-pages-')
    proc = None
    try:
        displays = 4
        http = free_port()
        # Long resource names: each display's list is large.
        long_names = lambda db: db.execute(
            "UPDATE CALLABLES SET CALLNAME = CALLNAME || ' ' || substr(hex(zeroblob(500)), 1, 1000)")
        proc, port = start_server(a.build, tmp, displays, 1, a.resources,
                                  'MetricsPort=%d\nWebDisplayMaxStreams=64\n' % http, long_names)
        time.sleep(0.5)
        before = rss_kb(proc.pid)

        stalled = []
        for i in range(a.stalled):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(('127.0.0.1', http))
            s.sendall(b'GET /display/LOADSHOW%d/events HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' % (i % displays))
            stalled.append(s)
        reader = socket.create_connection(('127.0.0.1', http))
        reader.sendall(b'GET /display/LOADSHOW0/events HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n')
        reader.setblocking(False)
        station = socket.create_connection(('127.0.0.1', port))
        station.sendall(b'#DATASTART#' + M + b'GETCALLLIST:LOADCALL0:0:GETCALLLIST' + M + b'#DATAEND#')
        time.sleep(0.5)
        print('open streams:', metrics(http))

        read = changes = 0
        end = time.time() + a.seconds
        while time.time() < end:
            station.sendall(b'#DATASTART#' + M + b'CALLING:%d:CALLING' % (changes % a.resources + 1) + M + b'#DATAEND#')
            changes += 1
            time.sleep(0.005)
            try:
                while True:
                    chunk = reader.recv(1 << 20)
                    if not chunk:
                        break
                    read += len(chunk)
            except BlockingIOError:
                pass
            station.setblocking(False)
            try:
                while station.recv(1 << 20):
                    pass
            except BlockingIOError:
                pass
            station.setblocking(True)
        during = rss_kb(proc.pid)
        time.sleep(12)  # past the time-out of a stream that takes nothing
        wait_idle(proc.pid)
        after = rss_kb(proc.pid)
        peak = rss_kb(proc.pid, 'VmHWM:')
        print('%d changes in %.0f s; the reading page took %.1f MB' % (changes, a.seconds, read / 1e6))
        print('streams after:', metrics(http))
        print('server VmRSS kB: before the pages %d, at the end of the calls %d, after the stalled '
              'streams were dropped %d, peak %d' % (before, during, after, peak))
        for s in stalled:
            s.close()
    finally:
        stop_server(proc, tmp)


if __name__ == '__main__':
    main()
