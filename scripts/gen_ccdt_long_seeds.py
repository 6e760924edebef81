#!/usr/bin/env python3
# Writes the ccdt_file_fuzz seeds of long channel records: one table per MQCD version (1 to 12),
# each holding a record at the version's longest (its fixed part, MQCD and trailer, plus the
# largest tail a record may carry), one a byte longer, and one as long as the file's largest record
# (the fixed part of version 12 plus that tail). Each record is its key and version, zeros to the
# end of its fixed part (no exits, no peer name), then filler. The outputs are committed; run this
# again after changing the limits:  scripts/gen_ccdt_long_seeds.py
import struct
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "tests" / "fuzz" / "corpus" / "ccdt_file_fuzz"

FIXED = [992, 1320, 1488, 1552, 1620, 1780, 1880, 1972, 1996, 2008, 2072, 2076]  # versions 1 to 12
TAIL_MAX = 10000 + 4 + 1024  # exit-list area, padding and zeros, SSL peer name
FILE_MAX = FIXED[-1] + TAIL_MAX


def record(name, version, length):
    data = bytearray(name.encode().ljust(20, b" "))
    data += b"\0" * (FIXED[version - 1] - len(data))
    struct.pack_into("<i", data, 20, version)
    data += b"x" * (length - len(data))
    return bytes(data)


def table(records):
    # Blocks one after the other, linked in key order (the names are given sorted).
    out = bytearray(b"AMQR")
    positions = []
    at = 4
    for r in records:
        positions.append(at)
        at += 20 + len(r)
    for i, r in enumerate(records):
        previous = positions[i - 1] if i > 0 else 0
        following = positions[i + 1] if i + 1 < len(records) else 0
        out += struct.pack("<IIIII", 20 + len(r), len(r), 0, previous, following) + r
    return bytes(out + b"\0\0\0\0")


for version in range(1, 13):
    longest = FIXED[version - 1] + TAIL_MAX
    lengths = sorted({longest, longest + 1, FILE_MAX})
    records = [record("LONG%d.%c" % (version, "ABC"[i]), version, n) for i, n in enumerate(lengths)]
    (OUT / ("long-v%02d" % version)).write_bytes(table(records))
