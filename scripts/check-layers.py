#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer above its own.

The layers import one way: common <- platform <- database <- sms <- protocol <-
calls/supervision <- admin/update/web <- service. The SMS subsystem keeps its outbox in the
database, so it stands above it. Folders of one rank (calls and supervision; admin, update and
web) do not include each other.
"""
import pathlib
import re
import sys

RANK = {"common": 0, "platform": 1, "database": 2, "sms": 3, "protocol": 4, "calls": 5,
        "supervision": 5, "admin": 6, "update": 6, "web": 6, "service": 7}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/[^"]+"', re.M)


def main(root):
    bad = []
    for layer, rank in RANK.items():
        for path in sorted((root / layer).glob("**/*.[ch]*")):
            for target in INCLUDE.findall(path.read_text(errors="replace")):
                if target not in RANK or target == layer:
                    continue
                if RANK[target] >= rank:
                    bad.append(f"{path.relative_to(root)} includes {target}/")
    for line in bad:
        print(line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")))
