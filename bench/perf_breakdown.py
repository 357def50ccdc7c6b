#!/usr/bin/env python3
"""Where the time of one command goes, from a `perf record -g` of the server.

usage: perf script -i perf.data | bench/perf_breakdown.py [ROOT_SYMBOL_PART]

Takes the samples whose call chain passes through a frame containing ROOT_SYMBOL_PART
(default "CmdComing") and splits them by the first frame under it that names one of the
server's own operations, and by where the sample itself landed (kernel, SQLite, libc, ours)."""
import collections, re, sys

root = sys.argv[1] if len(sys.argv) > 1 else 'CmdComing'
OWN = re.compile(r'tavo::(\w+::)*(\w+)')


def samples(lines):
    frames = []
    for line in lines:
        if not line.strip():
            if frames:
                yield frames
            frames = []
        elif line.startswith((' ', '\t')):
            parts = line.strip().split(' ', 1)
            frames.append(parts[1] if len(parts) > 1 else parts[0])
    if frames:
        yield frames


total = 0
inside = 0
by_child = collections.Counter()
by_leaf = collections.Counter()
for frames in samples(sys.stdin):
    total += 1
    idx = next((i for i, f in enumerate(frames) if root in f), None)
    if idx is None:
        continue
    inside += 1
    child = 'the command itself'
    for f in reversed(frames[:idx]):
        m = OWN.search(f)
        if m:
            child = m.group(0)
            break
    by_child[child] += 1
    leaf = frames[0]
    kind = ('kernel' if 'kernel' in leaf else 'SQLite' if 'sqlite' in leaf else
            'TAVO_WServer' if 'TAVO_WServer' in leaf else 'libc/libstdc++' if 'lib' in leaf else 'other')
    by_leaf[kind] += 1

print('%d of %d samples (%.0f%%) under %s' % (inside, total, 100.0 * inside / max(total, 1), root))
print('by the first of our operations under it:')
for k, v in by_child.most_common(12):
    print('  %5.1f%%  %s' % (100.0 * v / max(inside, 1), k))
print('by where the samples landed:')
for k, v in by_leaf.most_common():
    print('  %5.1f%%  %s' % (100.0 * v / max(inside, 1), k))
