#!/usr/bin/env python3
"""Writes a data-link file: UTF-16LE with a byte-order mark, CR LF lines."""
import sys

if len(sys.argv) != 3:
    sys.exit("usage: make_udl.py FILE 'Provider=...;Data Source=...'")
path, init = sys.argv[1], sys.argv[2]
text = "[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n" + init + "\r\n"
with open(path, "wb") as f:
    f.write(b"\xff\xfe" + text.encode("utf-16-le"))
