#!/usr/bin/env python3
"""make_seeds.py - writes the seed corpora of the fuzz targets into
tests/fuzz/corpus/<target>/ (committed; run again only to change them).

The seeds are the unit tests' kind of fixture, kept small: a compact ISO image
whose directories and files sit in the system area before the volume
descriptor (17 sectors in all), its raw Mode 1 and Mode 2 Form 1 forms in
2352-byte and 2448-byte sectors, one with a loop and a multi-extent file, damaged
ones (names that land in one file, a record without identifier, a directory
beyond the image, Form 2 sectors), CUE sheets in the forms the reader meets
(keywords in any case and place, pregaps, audio first tracks, the 2448-byte
types, a byte-order mark, unquoted and absolute names), root directories for
the directory target (associated files, extended attribute records,
interleaved files, whole and broken multi-extent chains, a loop, a record at
the very end of the directory), the descriptor target's inputs (its CUE
sheets, Nero images of the compact ISO in each table and sector size, and
minimal Alcohol, CloneCD and DiscJuggler descriptors), icon files and emblem pictures
(tools/make_pbm.py).

usage: make_seeds.py
"""
import os
import struct
import sys

import numpy

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import iso2bin  # noqa: E402
import iso2image  # noqa: E402
import make_pbm  # noqa: E402


def both32(v):
    return struct.pack("<I", v) + struct.pack(">I", v)


def rec(ident, extent, size, flags=0):
    n = 33 + len(ident)
    n += n & 1
    r = bytes([n, 0]) + both32(extent) + both32(size) + bytes(7) + bytes([flags, 0, 0]) + \
        struct.pack("<H", 1) + struct.pack(">H", 1) + bytes([len(ident)]) + ident
    return r.ljust(n, b"\0")


def image(dirs, files, root=1):
    """dirs: {lba: [records]}, files: {lba: bytes}; the PVD names root."""
    img = bytearray(17 * 2048)
    for lba, recs in dirs.items():
        d = b"".join(recs)
        img[lba * 2048:lba * 2048 + len(d)] = d
    for lba, data in files.items():
        img[lba * 2048:lba * 2048 + len(data)] = data
    pvd = bytearray(2048)
    pvd[0] = 1
    pvd[1:6] = b"CD001"
    pvd[6] = 1
    r = rec(b"\0", root, 2048, 2)
    pvd[156:156 + len(r)] = r
    img[16 * 2048:17 * 2048] = pvd
    return bytes(img)


def disc_seeds():
    dot, up = rec(b"\0", 1, 2048, 2), rec(b"\1", 1, 2048, 2)
    plain = image({1: [dot, up, rec(b"README.TXT;1", 3, 11), rec(b"DATA", 2, 2048, 2), rec(b"EMPTY.;1", 0, 0)],
                   2: [rec(b"\0", 2, 2048, 2), up, rec(b"A.QAR;1", 4, 5000), rec(b"SUB", 7, 2048, 2)],
                   7: [rec(b"\0", 7, 2048, 2), rec(b"\1", 2, 2048, 2), rec(b"B.DAT;1", 3, 11)]},
                  {3: b"hello kelp\n", 4: bytes(range(256)) * 19 + bytes(136)})
    # A directory that contains itself and its parent again, and a file in two extents.
    hostile = image({1: [dot, up, rec(b"LOOP", 1, 2048, 2), rec(b"BIG.DAT;1", 3, 2048, 0x80),
                         rec(b"BIG.DAT;1", 5, 100), rec(b"CON", 3, 4)]},
                    {3: b"x" * 4096})
    # Two names that land in one file (case, a NUL), a device name with spaces,
    # a record without identifier, a directory beyond the image.
    twice = image({1: [dot, up, rec(b"A.TXT;1", 3, 11), rec(b"a.txt;1", 3, 5), rec(b"A.TXT\0X;1", 3, 4),
                       rec(b"CON     .TXT;1", 3, 2), rec(b"FAR", 90000, 2048, 2)]},
                  {3: b"hello kelp\n"})
    noid = bytearray(rec(b"LOST.TXT;1", 3, 11))
    noid[32] = 0
    damaged = image({1: [dot, up, rec(b"KEEP.TXT;1", 3, 11), bytes(noid), rec(b"AFTER.TXT;1", 3, 11)]},
                    {3: b"hello kelp\n"})
    iso = {"plain.iso": plain, "hostile.iso": hostile, "twice.iso": twice, "damaged.iso": damaged}
    out = dict(iso)
    sectors = numpy.frombuffer(plain, numpy.uint8).reshape(-1, 2048)
    out["plain_mode1.bin"] = iso2bin.raw_sectors(sectors, 0, 1).tobytes()
    out["plain_mode2.bin"] = iso2bin.raw_sectors(sectors, 0, 2).tobytes()
    for mode in (1, 2):
        raw = iso2bin.raw_sectors(sectors, 0, mode)
        sub = iso2bin.subchannel(0, raw.shape[0], 0)
        out["plain_mode%d_2448.img" % mode] = numpy.concatenate([raw, sub], axis=1).tobytes()
    # Mode 2 with A.QAR's sectors (4 and 5) in Form 2.
    form2 = iso2bin.raw_sectors(sectors, 0, 2)
    form2[4:6, 18] |= 0x20
    form2[4:6, 22] |= 0x20
    out["form2_mode2.bin"] = form2.tobytes()
    return out


def dir_seeds():
    """Root directories as fuzz_cd_dir places them: at sector 18, as long as the
    seed; a 4096-byte seed holds a subdirectory in its second sector (19), and
    file data follow the directory (from 19, or 20 after a subdirectory)."""
    def field(r, at, value):
        r = bytearray(r)
        r[at] = value
        return bytes(r)

    dot, up = rec(b"\0", 18, 2048, 2), rec(b"\1", 18, 2048, 2)

    def one(*recs):
        return b"".join((dot, up) + recs).ljust(2048, b"\0")

    sub = b"".join((rec(b"\0", 19, 2048, 2), rec(b"\1", 18, 4096, 2), rec(b"IN.TXT;1", 21, 5)))
    tree = b"".join((rec(b"\0", 18, 4096, 2), up, rec(b"README.TXT;1", 20, 11), rec(b"DATA", 19, 2048, 2)))
    tail = one(rec(b"A.TXT;1", 19, 3)).rstrip(b"\0")
    tail = tail.ljust(2048 - 20, b"\0") + bytes([40]) + bytes(19)  # a record 20 bytes before the end
    return {
        "tree.dir": tree.ljust(2048, b"\0") + sub.ljust(2048, b"\0"),
        "hybrid.dir": one(field(rec(b"GAME.EXE;1", 19, 100), 25, 4), rec(b"GAME.EXE;1", 20, 100)),
        "xattr.dir": one(field(rec(b"XA.DAT;1", 19, 3000), 1, 1)),
        "interleaved.dir": one(field(field(rec(b"MOVIE.STR;1", 19, 9000), 26, 1), 27, 1)),
        "chain.dir": one(rec(b"BIG.DAT;1", 19, 4096, 0x80), rec(b"BIG.DAT;1", 23, 100), rec(b"Z.TXT;1", 24, 2)),
        "broken.dir": one(rec(b"BIG.DAT;1", 19, 4096, 0x80), rec(b"OTHER.DAT;1", 23, 100),
                          rec(b"LAST.DAT;1", 24, 10, 0x80)),
        "loop.dir": one(rec(b"SELF", 18, 2048, 2), rec(b"A.TXT;1", 19, 3)),
        "tail.dir": tail,
    }


def cue_seeds():
    return {
        "plain.cue": b'FILE "game.bin" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n',
        "crlf.cue": b'REM made by hand\r\nFILE "GAME.BIN" BINARY\r\n  TRACK 01 MODE2/2352\r\n',
        "colon.cue": b'FILE "Z:game.bin" BINARY\n',
        "unquoted.cue": b"FILE game.bin BINARY\n",
        "subfolder.cue": b'FILE "sub\\..\\game.bin" BINARY\n',
        "cdtext.cue": b'REM GENRE Game\r\nCDTEXTFILE "disc.cdt"\r\nTITLE "PROFILE"\r\nPERFORMER "Q"\r\n'
                      b'FILE "game.bin" BINARY\r\n  TRACK 01 MODE1/2352\r\n    TITLE "FILE"\r\n'
                      b'    INDEX 01 00:00:00\r\n',
        "lower.cue": b'\tfile "game.bin" binary\n  track 01 mode1/2352\n    index 01 00:00:00\n',
        "pregap.cue": b'FILE "pre.img" BINARY\n  TRACK 01 MODE2/2448\n    INDEX 00 00:00:00\n'
                      b'    INDEX 01 00:00:02\n  TRACK 02 AUDIO\n    INDEX 01 00:00:30\n',
        "probed.cue": b'FILE "pre.img" BINARY\n  TRACK 01 MODE1/2448\n    INDEX 01 00:00:02\n',
        "audio.cue": b'FILE "game.bin" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n'
                     b'  TRACK 02 MODE1/2352\n    INDEX 01 00:00:00\n',
        "bom.cue": b'\xef\xbb\xbfFILE "game.bin" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n',
        "absolute.cue": b'FILE "C:\\Users\\Q\\Images\\pre.img" BINARY\n  TRACK 01 MODE2/2448\n'
                        b'    INDEX 01 00:00:02\n',
        "rooted.cue": b'FILE /home/q/game.bin BINARY\n  TRACK 01 MODE1/2352\n',
    }


def other_tool_seeds():
    """Descriptors of Alcohol (.mds), CloneCD (.ccd) and DiscJuggler (.cdi)
    images as tools/iso2image.py writes them, for a target that reads any
    descriptor beside small data files: the .mds and .ccd describe 17 sectors
    of the compact image (their data files "<name>.mdf" and "<name>.img", of
    2352-byte Mode 1 sectors, are the target's to provide); each .cdi holds
    its own sectors (the compact image after a pregap of 2 frames, in
    2048-byte sectors) before its tables, in each of the three versions."""
    iso = image({1: [rec(b"\0", 1, 2048, 2), rec(b"\1", 1, 2048, 2), rec(b"A.TXT;1", 15, 5)]}, {15: b"hello"})
    seeds = {
        "game.mds": iso2image.mds_descriptor(17, 2352, 1, 0),
        "sub.mds": iso2image.mds_descriptor(17, 2448, 2, 0),
        "audio.mds": iso2image.mds_descriptor(17, 2352, 1, 4),
        "game.ccd": iso2image.ccd_sheet(17, 1),
        "m2.ccd": iso2image.ccd_sheet(17, 2),
    }
    for name, version in iso2image.CDI_VERSIONS.items():
        data = bytes(2 * 2048) + iso
        tables = iso2image.cdi_tables(version, 1, 2048, 19, 2, "C:\\Rips\\v%s.cdi" % name, start=148)
        seeds["v%s.cdi" % name] = data + tables + iso2image.cdi_footer(version, len(data), len(tables))
    return seeds


def nrg_seeds(iso):
    """Nero images of the seed ISO (17 sectors), in each table and sector size."""
    import tempfile
    import iso2nrg
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        src = {2048: os.path.join(tmp, "s.iso"), 2352: os.path.join(tmp, "s.bin")}
        with open(src[2048], "wb") as f:
            f.write(iso)
        data = numpy.frombuffer(iso, numpy.uint8).reshape(-1, 2048)
        with open(src[2352], "wb") as f:
            f.write(iso2bin.raw_sectors(data, 0, 2).tobytes())
        for name, sector, mode, store, version, tao in (("dao_2048_v2", 2048, 1, 2048, 2, False),
                                                        ("tao_2048_v1", 2048, 1, 2048, 1, True),
                                                        ("dao_2352_v1", 2352, 2, 2352, 1, False),
                                                        ("tao_2336_v2", 2352, 2, 2336, 2, True)):
            nrg = os.path.join(tmp, name + ".nrg")
            iso2nrg.write(src[sector], nrg, sector, mode, store, version, tao, 0, 0)
            with open(nrg, "rb") as f:
                out[name + ".nrg"] = f.read()
    return out


def desc_seeds(iso):
    """The descriptor target's inputs: the format's selector byte (cue 0, nrg 1,
    mds 2, ccd 3, cdi 4), then the descriptor; the Alcohol, CloneCD and
    DiscJuggler ones as tools/iso2image.py writes them."""
    seeds = {name: b"\0" + data for name, data in cue_seeds().items()}
    seeds.update({name: b"\1" + data for name, data in nrg_seeds(iso).items()})
    selector = {".mds": b"\2", ".ccd": b"\3", ".cdi": b"\4"}
    seeds.update({name: selector[os.path.splitext(name)[1]] + data for name, data in other_tool_seeds().items()})
    return seeds


def ico(images):
    """An icon file of (width, height, bytes) images."""
    head = struct.pack("<HHH", 0, 1, len(images))
    at = 6 + 16 * len(images)
    dirs, body = b"", b""
    for w, h, data in images:
        dirs += struct.pack("<BBBBHHII", w, h, 0, 0, 1, 32, len(data), at + len(body))
        body += data
    return head + dirs + body


def bmp_image(side):
    hdr = struct.pack("<IiiHHIIiiII", 40, side, side * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    return hdr + bytes([0x20, 0x40, 0x80, 0xFF]) * side * side + bytes(((side + 31) // 32) * 4 * side)


def icon_seeds():
    return {
        "one.ico": ico([(16, 16, bmp_image(16))]),
        "two.ico": ico([(16, 16, bmp_image(16)), (8, 8, bmp_image(8))]),
        "png.ico": ico([(0, 0, b"\x89PNG\r\n\x1a\n" + bytes(24))]),
    }


def pbm(w, h, packed):
    body = b"".join((make_pbm.byterun1(r) if packed else r) for r in make_pbm.pixels(w, h))
    bmhd = struct.pack(">HHhhBBBBHBBhh", w, h, 0, 0, 8, 0, 1 if packed else 0, 0, 0, 1, 1, w, h)
    form = b"PBM " + make_pbm.chunk(b"BMHD", bmhd) + make_pbm.chunk(b"CMAP", make_pbm.palette()) + \
        make_pbm.chunk(b"BODY", body)
    return b"FORM" + struct.pack(">I", len(form)) + form


def lbm_seeds():
    return {"stored.lbm": pbm(12, 9, False), "byterun1.lbm": pbm(17, 13, True), "tiny.lbm": pbm(1, 1, False)}


def main():
    discs = disc_seeds()
    for target, seeds in (("cd_image", discs), ("cd_cue", cue_seeds()), ("cd_desc", desc_seeds(discs["plain.iso"])),
                          ("cd_dir", dir_seeds()),
                          ("icon_ico", icon_seeds()), ("icon_lbm", lbm_seeds())):
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
