#!/usr/bin/env python3
"""iso2image.py - writes an ISO image (2048-byte sectors) as the images that
three other imaging tools write: an Alcohol descriptor and its data file
(.mds + .mdf), a CloneCD sheet and its data file (.ccd + .img), or a
DiscJuggler image (.cdi, sectors and tables in one file). The layouts follow
the libmirage image headers and the public notes on disc image formats; raw
sectors (sync, header, EDC and ECC, subchannel) come from iso2bin.py, run as a
program of its own.

usage: iso2image.py mds ISO OUT.mds [--sector 2048|2352|2448] [--mode 1|2] [--audio SECTORS]
       iso2image.py ccd ISO OUT.ccd [--mode 1|2]
       iso2image.py cdi ISO OUT.cdi [--version 2|3|3.5] [--sector 2048|2336|2352] [--mode 1|2]

mds: the data file is OUT with the extension .mdf, named "*.mdf" in the
descriptor. --audio puts an audio track of that many silent sectors first; the
data track then begins 150 sectors (its pregap, not stored) after it, at disc
address SECTORS + 150, where the ISO's own addresses must count from (an image
mastered for that address, e.g. genisoimage -C 0,ADDRESS).
ccd: the data file is OUT with the extension .img, 2352-byte sectors; no .sub.
cdi: the data track's 150-sector pregap is stored before its sectors, as
DiscJuggler stores it; --version picks the tables' layout (3.5 is the one the
public notes describe; 2 and 3 the shorter ones of the published readers).

Only the standard library is used here.
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
RAW = 2352
LEAD_IN = 150
CHUNK = 1 << 22


def raw_sectors(iso, mode, sector=RAW, pregap=0):
    """A temporary file of the ISO's sectors made raw by iso2bin.py; the caller
    removes it."""
    fd, path = tempfile.mkstemp(suffix=".bin")
    os.close(fd)
    subprocess.run([sys.executable, os.path.join(HERE, "iso2bin.py"), iso, path, "--mode", str(mode),
                    "--sector", str(sector), "--pregap", str(pregap)], check=True)
    return path


def copy_into(out, src, skip=0, stride=None, keep=None):
    """Appends src to out; with stride, only the bytes skip..skip+keep of each
    stride-byte sector."""
    with open(src, "rb") as f:
        if stride is None:
            while True:
                b = f.read(CHUNK)
                if not b:
                    return
                out.write(b)
        per = CHUNK // stride * stride
        while True:
            b = f.read(per)
            if not b:
                return
            out.write(b"".join(b[i + skip:i + skip + keep] for i in range(0, len(b), stride)))


def sectors_of(iso):
    size = os.path.getsize(iso)
    if size % 2048:
        sys.exit("iso2image: %s is not whole 2048-byte sectors" % iso)
    return size // 2048


def with_ext(path, ext):
    return os.path.splitext(path)[0] + ext


# ---- Alcohol .mds + .mdf ----

MDS_MODE = {0: 0xA9, 1: 0xAA, 2: 0xAC}  # audio, Mode 1, Mode 2 Form 1


def mds_block(mode, sub, point, index_at, size, start, offset, name_block, adr_ctl, pmsf=(0, 0, 0)):
    b = bytearray(80)
    b[0], b[1], b[2], b[4] = mode, sub, adr_ctl, point
    b[9:12] = bytes(pmsf)
    if point < 0xA0:
        struct.pack_into("<IHB", b, 0x0C, index_at, size, 2)
        struct.pack_into("<IQII", b, 0x24, start, offset, 1, name_block)
    return bytes(b)


def msf(lba):
    f = lba + LEAD_IN
    return (f // 4500, f // 75 % 60, f % 75)


def mds_descriptor(n, sector, mode, audio):
    """The .mds of an image of n data sectors (after audio silent ones when
    audio), its data file named "*.mdf"."""
    sub = 8 if sector == 2448 else 0
    # tracks: (mode byte, control, sector size, disc address, pregap, length, offset)
    tracks, data_offset = [], 0
    if audio:
        tracks.append((MDS_MODE[0], 0x0, RAW, 0, LEAD_IN, audio, 0))
        data_offset = audio * RAW
    start = audio + LEAD_IN if audio else 0
    tracks.append((MDS_MODE[mode], 0x4, sector, start, LEAD_IN, n, data_offset))
    end = start + n
    blocks = 3 + len(tracks)
    track_at = 0x58 + 0x18
    index_at = track_at + blocks * 80
    name_block = index_at + blocks * 8
    name_at = name_block + 16
    h = bytearray(0x58)
    h[0:16] = b"MEDIA DESCRIPTOR"
    h[16:18] = b"\x01\x03"
    struct.pack_into("<HH", h, 0x12, 0, 1)
    h[0x16] = 2
    struct.pack_into("<I", h, 0x50, 0x58)
    ses = struct.pack("<iiHBBHHII", -LEAD_IN, end, 1, blocks, 3, 1, len(tracks), 0, track_at)
    body = bytearray()
    first_ctl = tracks[0][1]
    body += mds_block(0, 0, 0xA0, 0, 0, 0, 0, 0, 0x10 | first_ctl, (1, 0, 0))
    body += mds_block(0, 0, 0xA1, 0, 0, 0, 0, 0, 0x14, (len(tracks), 0, 0))
    body += mds_block(0, 0, 0xA2, 0, 0, 0, 0, 0, 0x14, msf(end))
    for i, (m, ctl, size, at, _, _, offset) in enumerate(tracks):
        body += mds_block(m, sub if m != MDS_MODE[0] else 0, i + 1, index_at + (3 + i) * 8,
                          size if m != MDS_MODE[0] else RAW, at, offset, name_block, 0x10 | ctl, msf(at))
    for _ in range(3):
        body += bytes(8)
    for t in tracks:
        body += struct.pack("<II", t[4], t[5])
    body += struct.pack("<IB", name_at, 0) + bytes(11)
    body += b"*.mdf\0"
    return bytes(h) + ses + bytes(body)


def write_mds(iso, out, sector, mode, audio):
    with open(out, "wb") as f:
        f.write(mds_descriptor(sectors_of(iso), sector, mode, audio))
    with open(with_ext(out, ".mdf"), "wb") as f:
        if audio:
            zero = bytes(RAW * 1024)
            left = audio
            while left:
                k = min(left, 1024)
                f.write(zero[:k * RAW])
                left -= k
        if sector == 2048:
            copy_into(f, iso)
        else:
            raw = raw_sectors(iso, mode, sector)
            try:
                copy_into(f, raw)
            finally:
                os.remove(raw)


# ---- CloneCD .ccd + .img ----

def ccd_sheet(n, mode):
    """The .ccd text of an image of n sectors in one Mode 1 or 2 track."""
    entries = [
        (0xA0, 1, 0x20 if mode == 2 else 0, 0),  # (point, PMin, PSec, PFrame): first track, disc type
        (0xA1, 1, 0, 0),
        (0xA2,) + msf(n),
        (0x01,) + msf(0),
    ]
    lines = ["[CloneCD]", "Version=3", "[Disc]", "TocEntries=%d" % len(entries), "Sessions=1",
             "DataTracksScrambled=0", "CDTextLength=0", "[Session 1]", "PreGapMode=%d" % mode, "PreGapSubC=0"]
    for i, (point, pm, ps, pf) in enumerate(entries):
        plba = (pm * 60 + ps) * 75 + pf - LEAD_IN
        lines += ["[Entry %d]" % i, "Session=1", "Point=0x%02x" % point, "ADR=0x01", "Control=0x04", "TrackNo=0",
                  "AMin=0", "ASec=0", "AFrame=0", "ALBA=-150", "Zero=0", "PMin=%d" % pm, "PSec=%d" % ps,
                  "PFrame=%d" % pf, "PLBA=%d" % plba]
    lines += ["[TRACK 1]", "MODE=%d" % mode, "INDEX 1=0"]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def write_ccd(iso, out, mode):
    with open(out, "wb") as f:
        f.write(ccd_sheet(sectors_of(iso), mode))
    raw = raw_sectors(iso, mode)
    try:
        with open(with_ext(out, ".img"), "wb") as f:
            copy_into(f, raw)
    finally:
        os.remove(raw)


# ---- DiscJuggler .cdi ----

CDI_VERSIONS = {"2": 0x80000004, "3": 0x80000005, "3.5": 0x80000006}
CDI_READ_MODE = {2048: 0, 2336: 1, 2352: 2}
START_MARK = b"\0\0\x01\0\0\0\xff\xff\xff\xff"


def cdi_tables(version, mode, sector, total, pregap, path, start=0):
    """The tables of one session of one data track, then the empty session
    that ends them and the disc block, up to (not including) the footer."""
    v35, v2 = version == CDI_VERSIONS["3.5"], version == CDI_VERSIONS["2"]
    name = path.encode("latin-1", "replace")[:255]
    t = bytearray()
    t += struct.pack("<HH", 1, 1)  # sessions, then the session's track count
    t += bytes(4) + START_MARK + START_MARK
    t += b"\x64\x05\x2a\x01"  # unknown, then the disc's track count
    t += bytes([len(name)]) + name
    t += bytes(11) + b"\x02\0\0\0" + bytes(4) + (b"\0\0\0\x80" if v35 else bytes(4))
    if v35:
        t += struct.pack("<IHH", 360000, 0, 0x98)  # capacity, medium type CD-ROM
    t += struct.pack("<HII", 2, pregap, total - pregap)  # two indices: the pregap, the track
    t += struct.pack("<IH", 0, 0)  # no CD-Text
    t += struct.pack("<I", mode) + bytes(4) + struct.pack("<II", 0, 0)  # mode, session 0, track 0
    t += struct.pack("<II", start, total) + bytes(12) + struct.pack("<I", 0)
    t += struct.pack("<I", CDI_READ_MODE[sector])
    t += struct.pack("<IBII", 4, 0, total, 0) + bytes(12) + struct.pack("<I", 0)  # control, length, ISRC
    if not v2:
        t += b"\0" + b"\xff" * 8
        t += struct.pack("<IIIII", 1, 0x80, 2, 0x10, 44100) + bytes(0x2A) + b"\xff" * 4 + bytes(12)
        # the last track of its session: session type, "last", the next address
        t += bytes([mode]) + bytes(5) + b"\0\0" + struct.pack("<I", total)
        t += b"\0"  # the next session block's first byte
    else:
        t += bytes(12)
    t += struct.pack("<H", 0) + bytes(7) + b"\x01" + bytes(3) + b"\xff\xff"  # the empty session
    disc = bytearray(b"\xff\xff\0\0\x01\0\0\0\xff\xff\xff\xff\x64\x05\x2a\x01")
    disc += bytes([len(name)]) + name + bytes(11) + b"\x02" + bytes(10) + b"\x80"
    disc += struct.pack("<IHH", 360000, 0, 0x98)
    disc += struct.pack("<I", total) + b"\x08KELPMIRE" + b"\0" + struct.pack("<II", 1, 1)
    disc += bytes(13) + struct.pack("<II", 0, 0) + bytes(8)
    return bytes(t + disc)


def cdi_footer(version, data_end, tables_size):
    """The last 8 bytes: the version, then where the tables start (counted
    back from the end in version 3.5)."""
    where = tables_size + 8 if version == CDI_VERSIONS["3.5"] else data_end
    return struct.pack("<II", version, where)


def write_cdi(iso, out, version, sector, mode):
    v = CDI_VERSIONS[version]
    n = sectors_of(iso)
    total = LEAD_IN + n
    with open(out, "wb") as f:
        if sector == 2048:
            f.write(bytes(LEAD_IN * 2048))
            copy_into(f, iso)
        else:
            raw = raw_sectors(iso, mode, RAW, LEAD_IN)
            try:
                if sector == RAW:
                    copy_into(f, raw)
                else:  # Mode 2 without its sync and header
                    copy_into(f, raw, 16, RAW, 2336)
            finally:
                os.remove(raw)
        tables = cdi_tables(v, mode, sector, total, LEAD_IN, "C:\\Rips\\" + os.path.basename(out))
        f.write(tables + cdi_footer(v, f.tell(), len(tables)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="format", required=True)
    m = sub.add_parser("mds")
    m.add_argument("--sector", type=int, choices=(2048, 2352, 2448), default=2352)
    m.add_argument("--mode", type=int, choices=(1, 2), default=1)
    m.add_argument("--audio", type=int, default=0)
    c = sub.add_parser("ccd")
    c.add_argument("--mode", type=int, choices=(1, 2), default=1)
    d = sub.add_parser("cdi")
    d.add_argument("--version", choices=sorted(CDI_VERSIONS), default="3.5")
    d.add_argument("--sector", type=int, choices=(2048, 2336, 2352), default=2352)
    d.add_argument("--mode", type=int, choices=(1, 2), default=1)
    for p in (m, c, d):
        p.add_argument("iso")
        p.add_argument("out")
    a = ap.parse_args()
    os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
    if a.format == "mds":
        write_mds(a.iso, a.out, a.sector, a.mode, a.audio)
    elif a.format == "ccd":
        write_ccd(a.iso, a.out, a.mode)
    else:
        if a.sector == 2336 and a.mode != 2:
            sys.exit("iso2image: 2336-byte sectors are Mode 2")
        write_cdi(a.iso, a.out, a.version, a.sector, a.mode)


if __name__ == "__main__":
    main()
