#!/usr/bin/env python3
"""Runs the fan-out comparison (../shared/fanout/compare_tavo.py) with every process on a CPU of
our choosing, so that our server and Redis meet the harness in the same placement.

usage: compare_placed.py same|apart COMPARE_TAVO_PY TAVO_EXE [compare_tavo.py's options]

Left to the scheduler, a run settles in one of two placements for its whole length: the server
(or Redis) on the harness's CPU, or on the other one. The same program is 40 to 60 % slower in
the first, and the script's ratio compares whatever each side happened to get, so one run may
compare the two placements with each other. "same" puts the server, Redis and the harness on
CPU 0; "apart" puts the server and Redis on CPU 1 and the harness on CPU 0."""
import os
import runpy
import subprocess
import sys


def main():
    if len(sys.argv) < 4 or sys.argv[1] not in ('same', 'apart'):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    placement, script = sys.argv[1], os.path.abspath(sys.argv[2])
    if placement == 'apart' and len(os.sched_getaffinity(0)) < 2:
        print('apart needs two CPUs', file=sys.stderr)
        return 2
    server_cpu, harness_cpu = ('0', '0') if placement == 'same' else ('1', '0')

    def pinned(args, cpu):
        return ['taskset', '-c', cpu] + list(args)

    popen, run = subprocess.Popen, subprocess.run

    def placed_popen(args, *a, **k):
        name = os.path.basename(str(args[0]))
        if name == 'redis-server' or name.endswith('TAVO_WServer.exe'):
            args = pinned(args, server_cpu)
        return popen(args, *a, **k)

    def placed_run(args, *a, **k):
        if os.path.basename(str(args[0])) == 'fanout':
            args = pinned(args, harness_cpu)
        return run(args, *a, **k)

    subprocess.Popen, subprocess.run = placed_popen, placed_run
    sys.argv = [script] + sys.argv[3:]
    runpy.run_path(script, run_name='__main__')  # exits with the script's own status
    return 0


if __name__ == '__main__':
    sys.exit(main())
