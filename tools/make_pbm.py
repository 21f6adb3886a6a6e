#!/usr/bin/env python3
"""make_pbm.py - writes a test emblem as an IFF "PBM " picture (one palette
index per pixel): a bright disc with coloured rings on a black background.

usage: make_pbm.py OUT WIDTH HEIGHT [--byterun1]

With --byterun1 the BODY is packed row by row with ByteRun1 (compression 1);
otherwise it is stored (compression 0). Rows of odd width get their pad byte.
"""
import struct
import sys


def chunk(cid, data):
    out = cid + struct.pack(">I", len(data)) + data
    return out + (b"\0" if len(data) % 2 else b"")


def palette():
    pal = bytearray(b"\0\0\0")  # index 0: black, turns transparent
    for k in range(1, 256):
        pal += bytes(((k * 53) % 256, (k * 97 + 60) % 256, (k * 31 + 120) % 256))
    return bytes(pal)


def pixels(w, h):
    cx, cy, r = (w - 1) / 2, (h - 1) / 2, min(w, h) * 0.45
    rows = []
    for y in range(h):
        row = bytearray()
        for x in range(w):
            d = ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5
            row.append(0 if d > r else 1 + int(d / max(r, 1) * 6) * 40 + (x // 3) % 3)
        if w % 2:
            row.append(0)
        rows.append(bytes(row))
    return rows


def byterun1(row):
    """Packs one row: replicate runs of 3 or more, literal runs otherwise."""
    out, i, n = bytearray(), 0, len(row)
    while i < n:
        j = i
        while j < n and j - i < 128 and row[j] == row[i]:
            j += 1
        if j - i >= 3:
            out += bytes((257 - (j - i), row[i]))
            i = j
            continue
        j = i
        while j < n and j - i < 128 and not (j + 2 < n and row[j] == row[j + 1] == row[j + 2]):
            j += 1
        out += bytes((j - i - 1,)) + row[i:j]
        i = j
    return bytes(out)


def main(argv):
    if len(argv) not in (4, 5) or (len(argv) == 5 and argv[4] != "--byterun1"):
        sys.exit(__doc__)
    out, w, h = argv[1], int(argv[2]), int(argv[3])
    packed = len(argv) == 5
    rows = pixels(w, h)
    body = b"".join(byterun1(r) for r in rows) if packed else b"".join(rows)
    bmhd = struct.pack(">HHhhBBBBHBBhh", w, h, 0, 0, 8, 0, 1 if packed else 0, 0, 0, 10, 11, w, h)
    form = b"PBM " + chunk(b"BMHD", bmhd) + chunk(b"CMAP", palette()) + chunk(b"BODY", body)
    with open(out, "wb") as f:
        f.write(b"FORM" + struct.pack(">I", len(form)) + form)


if __name__ == "__main__":
    main(sys.argv)
