#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer above its own.

The layers import one way: common <- platform <- database <- sms <- protocol <-
calls/supervision <- admin/update/web <- service. The SMS subsystem keeps its outbox in the
database, so it stands above it. Folders of one rank (calls and supervision; admin, update and
web) do not include each other. Every other top-level folder holding C or C++ sources must be
one of those that stand outside the layers (tests, benchmarks, tools), so a new folder cannot
escape the check.
"""
import pathlib
import re
import sys

RANK = {"common": 0, "platform": 1, "database": 2, "sms": 3, "protocol": 4, "calls": 5,
        "supervision": 5, "admin": 6, "update": 6, "web": 6, "service": 7}
# Above every layer: they may include any of them. docs, packaging, scripts and sql hold no
# sources; build trees live beside the sources and are skipped.
OUTSIDE = {"tests", "bench", "tools", "docs", "packaging", "scripts", "sql"}
SOURCE = re.compile(r"\.(c|cc|cpp|h|hpp)$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/[^"]+"', re.M)


def unplaced(root):
    """Top-level folders with sources that have no place in the layer order."""
    for folder in sorted(p for p in root.iterdir() if p.is_dir()):
        name = folder.name
        if name in RANK or name in OUTSIDE or name.startswith((".", "build", "out")):
            continue
        if any(SOURCE.search(f.name) for f in folder.rglob("*") if f.is_file()):
            yield f"{name}/ holds sources but has no place in the layer order"


def main(root):
    bad = list(unplaced(root))
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
