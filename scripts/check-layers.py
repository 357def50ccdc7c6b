#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer above its own.

The layers import one way: common <- platform <- database/sms <- protocol <- calls/supervision
<- admin/update/web <- service. Folders of one rank (database and sms; calls and supervision;
admin, update and web) do not include each other.
"""
import pathlib
import re
import sys

RANK = {"common": 0, "platform": 1, "database": 2, "sms": 2, "protocol": 3, "calls": 4,
        "supervision": 4, "admin": 5, "update": 5, "web": 5, "service": 6}
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
