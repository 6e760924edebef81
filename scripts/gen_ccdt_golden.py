#!/usr/bin/env python3
# Lays out the golden channel-record images of tests/ccdt/golden from the on-file record layout
# alone, so that they check the converter instead of repeating it. One fully set channel (two
# entries in each exit list, a user identifier, a password and an SSL peer name) is laid out:
#   vNN.bin       as the table layer writes it at output version NN (1 to 12);
#   vNN-at12.bin  that image read back and written again at version 12: the fields version NN lacks
#                 hold their defaults.
# Credentials are plain here; the test deciphers the written ones before comparing, so the key
# may change without touching these files. The outputs are committed; run this again after
# changing the layout:  scripts/gen_ccdt_golden.py   (--check: fail when the committed ones are stale)
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "tests" / "ccdt" / "golden"
CHECK = "--check" in sys.argv[1:]

# The rows of a channel record in file order: label, first version holding it, kind, characters
# (chars, password) or 32-bit count (longs).
ROWS = [
    ("Channel Name", 1, "chars", 20),
    ("Version", 1, "longs", 1),
    ("Channel Type", 1, "longs", 1),
    ("Transport Type", 1, "longs", 1),
    ("Description", 1, "chars", 64),
    ("QMgr Name", 1, "chars", 48),
    ("XmitQ name", 1, "chars", 48),
    ("Short Connection Name", 1, "chars", 20),
    ("MCA Name", 1, "chars", 20),
    ("Mode Name", 1, "chars", 8),
    ("Tp Name", 1, "chars", 64),
    ("Batch Size", 1, "longs", 1),
    ("Disc. Interval", 1, "longs", 1),
    ("Short Retry Count", 1, "longs", 1),
    ("Short Retry Interval", 1, "longs", 1),
    ("Long Retry Count", 1, "longs", 1),
    ("Long Retry Interval", 1, "longs", 1),
    ("Security Exit", 1, "chars", 128),
    ("Message Exit", 1, "chars", 128),
    ("Send Exit", 1, "chars", 128),
    ("Receive Exit", 1, "chars", 128),
    ("Sequence Wrap", 1, "longs", 1),
    ("Max Message Length", 1, "longs", 1),
    ("Put Authority", 1, "longs", 1),
    ("Data Conversion", 1, "longs", 1),
    ("Security User Data", 1, "chars", 32),
    ("Message User Data", 1, "chars", 32),
    ("Send User Data", 1, "chars", 32),
    ("Receive User Data", 1, "chars", 32),
    ("User Identifier", 2, "chars", 12),
    ("Password", 2, "password", 12),
    ("MCA User Id", 2, "chars", 12),
    ("MCA Type", 2, "longs", 1),
    ("Connection Name", 2, "chars", 264),
    ("Remote Useridentifer", 2, "chars", 12),
    ("Remote Password", 2, "password", 12),
    ("Msg Retry Exit", 3, "chars", 128),
    ("Msg Retry User Data", 3, "chars", 32),
    ("Msg Retry Count", 3, "longs", 1),
    ("Msg Retry Interval", 3, "longs", 1),
    ("Heartbeat Interval", 4, "longs", 1),
    ("Batch Interval", 4, "longs", 1),
    ("NPM Speed", 4, "longs", 1),
    ("Struc Length", 4, "longs", 1),
    ("Exit Name Length", 4, "longs", 1),
    ("Exit Data Length", 4, "longs", 1),
    ("Msg Exits Defined", 4, "longs", 1),
    ("Snd Exits Defined", 4, "longs", 1),
    ("Rcv Exits Defined", 4, "longs", 1),
    ("Msg Exits Ptr", 4, "pointer", 0),
    ("Msg Data  Ptr", 4, "pointer", 0),
    ("Snd Exits Ptr", 4, "pointer", 0),
    ("Snd Data  Ptr", 4, "pointer", 0),
    ("Rcv Exits Ptr", 4, "pointer", 0),
    ("Rcv Data  Ptr", 4, "pointer", 0),
    ("Cluster Ptr", 5, "pointer", 0),
    ("Clusters Defined", 5, "longs", 1),
    ("Network Priority", 5, "longs", 1),
    ("Long MCA UserId Length", 6, "longs", 1),
    ("Long Remote UserId Length", 6, "longs", 1),
    ("Long MCA Userid Ptr", 6, "pointer", 0),
    ("Long Remote Ptr", 6, "pointer", 0),
    ("MCA Security Id", 6, "chars", 40),
    ("Remote Security Id", 6, "chars", 40),
    ("SSL Cipher Spec", 7, "chars", 32),
    ("SSL PeerName Ptr", 7, "pointer", 0),
    ("SSL PeerName Length", 7, "longs", 1),
    ("SSL Client Auth", 7, "longs", 1),
    ("Keep Alive Int.", 7, "longs", 1),
    ("Local Address", 7, "chars", 48),
    ("Batch Heartbeat", 7, "longs", 1),
    ("Hdr Comp", 8, "longs", 2),
    ("Msg Comp", 8, "longs", 16),
    ("CLWL Rank", 8, "longs", 1),
    ("CLWL Priority", 8, "longs", 1),
    ("CLWL Weight", 8, "longs", 1),
    ("Monitoring", 8, "longs", 1),
    ("Statistics", 8, "longs", 1),
    ("Sharing Conversations", 9, "longs", 1),
    ("Property Control", 9, "longs", 1),
    ("Maximum Instances", 9, "longs", 1),
    ("Max Instances per Client", 9, "longs", 1),
    ("Client Channel Weight", 9, "longs", 1),
    ("Connection Affinity", 9, "longs", 1),
    ("Batch Data Limit", 10, "longs", 1),
    ("Use DLQ", 10, "longs", 1),
    ("Default Reconnect", 10, "longs", 1),
    ("Certificate Label", 11, "chars", 64),
    ("SPL Protection", 12, "longs", 1),
    ("End of MQCD Marker", 1, "marker", 0),
    ("New Sequence Number", 1, "longs", 1),
    ("Encrypt", 1, "longs", 1),
    ("ExitListsLen", 4, "longs", 1),
    ("Flags", 5, "longs", 1),
    ("Cluster", 5, "chars", 48),
    ("Alter Time", 5, "time", 0),
    ("Long MCA User", 6, "chars", 64),
]
assert len(ROWS) == 97
ROW = {label: i + 1 for i, (label, *_rest) in enumerate(ROWS)}

# What every record read starts from; fields not named are zero or NUL-filled.
DEFAULTS = {
    "Version": [6], "Channel Type": [1], "Transport Type": [1], "Batch Size": [50],
    "Disc. Interval": [6000], "Short Retry Count": [10], "Short Retry Interval": [60],
    "Long Retry Count": [999999999], "Long Retry Interval": [1200], "Sequence Wrap": [999999999],
    "Max Message Length": [4194304], "Put Authority": [1], "MCA Type": [1], "Msg Retry Count": [10],
    "Msg Retry Interval": [1000], "Heartbeat Interval": [300], "NPM Speed": [2], "Struc Length": [1992],
    "Exit Name Length": [128], "Exit Data Length": [32], "Keep Alive Int.": [-1], "Hdr Comp": [0, -1],
    "Msg Comp": [0] + [-1] * 15, "CLWL Weight": [50], "Sharing Conversations": [10],
    "Maximum Instances": [999999999], "Max Instances per Client": [999999999],
    "Connection Affinity": [1], "Batch Data Limit": [5000], "Use DLQ": [2],
}

# Each version's MQCD part and the trailer behind it, as documented; the walk must agree.
PARTS = [984, 1312, 1480, 1540, 1552, 1648, 1748, 1840, 1864, 1876, 1940, 1944]
TRAILERS = [8, 8, 8, 12, 68, 132, 132, 132, 132, 132, 132, 132]

CLOCK = 1767225600  # the test clock: 2026-01-01 00:00:00 UTC
SINGLE_EXITS = ["Message Exit", "Message User Data", "Send Exit", "Send User Data", "Receive Exit",
                "Receive User Data"]  # the six lists' single fields, in list order
EXIT_LISTS = [["msgexit(one)", "msgexit(two)"], ["mdata-1", "mdata-2"],
              ["sendexit(one)", "sendexit(two)"], ["sdata-1", "sdata-2"],
              ["rcvexit(one)", "rcvexit(two)"], ["rdata-1", "rdata-2"]]
PEER_NAME = b"CN=golden peer,O=zunt"


def pattern(row, size):
    """The characters a fully set record holds in a chars row: the row number repeated."""
    return (("r%02d-" % row) * size)[:size].encode()


def blanks(text, size):
    return text[:size].ljust(size, b" ")


def trimmed(entry):
    return entry.rstrip(b" \0\t\n")


def full_record():
    """The fully set record in memory (version 12), row label to value; the test sets the same."""
    rec = {}
    for label, _first, kind, size in ROWS:
        row = ROW[label]
        if kind in ("chars", "password"):
            rec[label] = pattern(row, size)
        elif kind == "longs":
            rec[label] = [row * 100 + k for k in range(size)]
    rec["Channel Name"] = blanks(b"GOLDEN", 20)
    rec["Version"] = [12]
    rec["Channel Type"] = [6]
    rec["Transport Type"] = [2]
    rec["Exit Name Length"] = [64]
    rec["Exit Data Length"] = [16]
    for label in ("Msg Exits Defined", "Snd Exits Defined", "Rcv Exits Defined"):
        rec[label] = [2]
    rec["SSL PeerName Length"] = [len(PEER_NAME)]
    rec["Encrypt"] = [0]
    rec["Alter Time"] = 12345
    rec["lists"] = [[e.encode() for e in entries] for entries in EXIT_LISTS]
    rec["peer"] = PEER_NAME
    return rec


def area(lists):
    out = b""
    for entries in lists:
        for e in entries:
            out += trimmed(e) + b"\x02"
        out += b"\x01"
    return out


def write(rec, version):
    """The file image of a memory record written at a version, credentials plain."""
    rec = dict(rec)
    # Writing: the short connection name is the long one's start, the clock stamps the record and
    # a user identifier marks the credentials enciphered where the version holds them.
    rec["Short Connection Name"] = rec["Connection Name"][:20]
    rec["Alter Time"] = CLOCK
    user = rec["User Identifier"]
    rec["Encrypt"] = [1 if version >= 2 and user[:1] not in (b" ", b"\0") else 0]
    rec["Version"] = [version]
    lists = rec["lists"]
    if version < 4:
        # The single exit fields carry each list's first entry (cut at the field, blank-padded).
        for label, entries in zip(SINGLE_EXITS, lists):
            size = ROWS[ROW[label] - 1][3]
            rec[label] = blanks(trimmed(entries[0]) if entries else b"", size)
    out = bytearray()
    struc_at = None
    for label, first, kind, size in ROWS:
        if version < first:
            continue
        if kind in ("chars", "password"):
            value = rec[label]
            assert len(value) == size, label
            out += value
        elif kind == "longs":
            if label == "Struc Length":
                struc_at = len(out)
            out += struct.pack("<%di" % size, *rec[label])
        elif kind == "pointer":
            out += b"\0" * 4
        elif kind == "time":
            out += struct.pack("<i", ((rec[label] + 2**31) % 2**32) - 2**31)
        elif kind == "marker":
            assert len(out) == PARTS[version - 1], (version, len(out))
            if struc_at is not None:
                struct.pack_into("<i", out, struc_at, len(out))
    assert len(out) == PARTS[version - 1] + TRAILERS[version - 1], version
    if version >= 4:
        tail = area(lists)
        assert len(tail) == rec["ExitListsLen"][0]
        if version < 9:
            tail += b"\0" * {6: 2, 7: 1}.get(len(tail), 0)
        if version >= 7:
            tail += rec["peer"][: rec["SSL PeerName Length"][0]]
        out += tail
    return bytes(out)


def read(image):
    """The memory record a file image reads into: fields the version lacks hold their defaults."""
    version = struct.unpack_from("<i", image, 20)[0]
    rec = {}
    for label, _first, kind, size in ROWS:
        if kind in ("chars", "password"):
            rec[label] = b"\0" * size
        elif kind == "longs":
            rec[label] = DEFAULTS.get(label, [0] * size)
    rec["Alter Time"] = 0
    at = 0
    for label, first, kind, size in ROWS:
        if version < first:
            continue
        if kind in ("chars", "password"):
            rec[label] = image[at:at + size]
            at += size
        elif kind == "longs":
            rec[label] = list(struct.unpack_from("<%di" % size, image, at))
            at += 4 * size
        elif kind in ("pointer", "time"):
            if kind == "time":
                rec[label] = struct.unpack_from("<i", image, at)[0]
            at += 4
    if version < 2:
        rec["Connection Name"] = blanks(trimmed(rec["Short Connection Name"]), 264)
    if version < 4:
        rec["lists"] = [[trimmed(rec[label])] if trimmed(rec[label]) else [] for label in SINGLE_EXITS]
        rec["ExitListsLen"] = [len(area(rec["lists"]))]
        rec["peer"] = b""
    else:
        tail = image[at:]
        length = rec["ExitListsLen"][0]
        rec["lists"] = unpack(tail[:length])
        rest = tail[length:]
        peer = rec["SSL PeerName Length"][0]
        rec["peer"] = rest.lstrip(b"\0")[:peer] if peer else b""
    return rec


def unpack(data):
    lists, entries, entry = [], [], b""
    for byte in data:
        if byte == 2:
            entries.append(entry)
            entry = b""
        elif byte == 1:
            lists.append(entries)
            entries = []
        else:
            entry += bytes([byte])
    assert len(lists) == 6 and not entry and not entries
    return lists


def main():
    record = full_record()
    record["ExitListsLen"] = [len(area(record["lists"]))]
    images = {}
    for version in range(1, 13):
        written = write(record, version)
        images["v%02d.bin" % version] = written
        images["v%02d-at12.bin" % version] = write(read(written), 12)
    stale = []
    OUT.mkdir(parents=True, exist_ok=True)
    for name, data in images.items():
        path = OUT / name
        if CHECK:
            if not path.exists() or path.read_bytes() != data:
                stale.append(name)
        else:
            path.write_bytes(data)
    if stale:
        sys.exit("stale (run scripts/gen_ccdt_golden.py): " + ", ".join(stale))


main()
