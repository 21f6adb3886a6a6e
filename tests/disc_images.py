#!/usr/bin/env python3
"""disc_images.py [--wine WINE_RUN PREFIX] DISCCOPY WORKDIR - disccopy (the host
build, or the Windows build under Wine) on the sample disc in the raw layouts and
sheets that other tools write, and on damaged images.

- The sample disc's images from tools/make_disc_images.sh: the raw Mode 1 and
  Mode 2 images in both layouts, with their EDC and with every EDC 0 (as some
  tools leave it), the pregap sheet, the sheet with TITLE, PERFORMER, REM and
  CDTEXTFILE lines, the lower-case sheet, and sheets with a byte-order mark, an
  unquoted name and an absolute name from another machine each copy to the same
  tree, byte for byte, as the ISO image.
- Damaged images, made here from an xorriso image of a small tree by changing
  the bytes of one record or sector each (a zero-filled or a changed sector of
  a raw image among them): every copy exits 1 with its one line, and no file of
  the target holds anything but the start of the disc file of its own name;
  --list exits 1 with the line of a damaged directory. Records that mastering
  tools write (an associated file, an extended attribute record) copy whole.
- The sample disc as Alcohol (.mds + .mdf: 2048, 2352 and 2448-byte sectors, a
  data track after an audio track), CloneCD (.ccd + .img, Mode 1 and Mode 2)
  and DiscJuggler (.cdi: versions 2, 3 and 3.5, 2048, 2336 and 2352-byte
  sectors) images written by tools/iso2image.py: each data file converted back
  by a reader packaged in Debian (mdf2iso, ccd2iso, iat; they probe the data
  file alone) equals the ISO, and each image, given by its descriptor or by its
  data file, copies to what 7-Zip extracts from the ISO.
"""
import os
import shutil
import struct
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import iso2bin  # noqa: E402
from kelpwine import tree_files as tree  # noqa: E402

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what, file=sys.stderr)


class Disccopy:
    def __init__(self, exe, wine=None):
        self.exe, self.wine = exe, wine

    def path(self, p):
        p = os.path.abspath(p)
        return "Z:" + p.replace("/", "\\") if self.wine else p

    def run(self, src, out):
        return self.call([self.path(src), self.path(out)])

    def list(self, src):
        return self.call(["--list", self.path(src)])

    def call(self, args):
        cmd = [self.exe] + args
        if self.wine:
            cmd = [self.wine[0], self.wine[1]] + cmd
        r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        lines = r.stderr.decode("utf-8", "replace").replace("\r", "").splitlines()
        return r.returncode, lines


# ---- the new layouts ----

def layouts(dc, work):
    t, img = os.path.join(work, "t"), os.path.join(work, "img")
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make_sample_disc.py"), t], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["bash", os.path.join(ROOT, "tools", "make_disc_images.sh"), t, img, "game"], check=True,
                   env=dict(os.environ, PYTHON=sys.executable))
    rc, _ = dc.run(os.path.join(img, "game.iso"), os.path.join(work, "out_iso"))
    check(rc == 0, "copy of game.iso")
    want = tree(os.path.join(work, "out_iso"))
    check(want == tree(t), "the ISO copy equals the tree")
    # Every EDC 0, as some tools that turn an ISO file into a raw image leave it.
    for name, edc_at in (("game.bin", 2064), ("game_m2.bin", 2072), ("game_2448.img", 2064),
                         ("game_m2_2448.img", 2072)):
        with open(os.path.join(img, name), "rb") as f:
            data = bytearray(f.read())
        size = 2448 if name.endswith(".img") else 2352
        for at in range(edc_at, len(data), size):
            data[at:at + 4] = bytes(4)
        with open(os.path.join(img, "noedc_" + name), "wb") as f:
            f.write(data)
    sheets = {
        "bom.cue": b'\xef\xbb\xbfFILE "game.bin" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n',
        "unquoted.cue": b"FILE game_m2.bin BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n",
        "absolute.cue": b'FILE "D:\\Users\\someone\\Rips\\game_2448.img" BINARY\n  TRACK 01 MODE1/2448\n'
                        b'    INDEX 01 00:00:00\n',
        "rooted.cue": b"FILE /home/someone/rips/game_m2_2448.img BINARY\n  TRACK 01 MODE2/2448\n"
                      b"    INDEX 01 00:00:00\n",
    }
    for name, text in sheets.items():
        with open(os.path.join(img, name), "wb") as f:
            f.write(text)
    for src in ("game.bin", "game_m2.bin", "game_2448.img", "game_m2_2448.img", "noedc_game.bin",
                "noedc_game_m2.bin", "noedc_game_2448.img", "noedc_game_m2_2448.img", "game_pregap.cue",
                "game_2448.cue", "game_m2_2448.cue", "game_cdtext.cue", "game_lower.cue") + tuple(sheets):
        out = os.path.join(work, "out_" + src.replace(".", "_"))
        rc, lines = dc.run(os.path.join(img, src), out)
        check(rc == 0 and lines == [], "copy of %s: exit %d, %s" % (src, rc, lines))
        check(tree(out) == want, "%s copies to the same tree as the ISO" % src)
    print("ok: both raw layouts and modes with and without EDC, the pregap, CD-Text, lower-case, "
          "byte-order mark, unquoted and absolute sheets copy like the ISO")


# ---- damaged images ----

def both32(v):
    return struct.pack("<I", v) + struct.pack(">I", v)


def records(iso, extent, size):
    """(offset in iso, identifier) of every record of one directory."""
    out, d = [], 0
    while d < size:
        at = extent * 2048 + d
        n = iso[at]
        if n == 0:
            d = (d // 2048 + 1) * 2048
            continue
        out.append((at, bytes(iso[at + 33:at + 33 + iso[at + 32]])))
        d += n
    return out


def find(iso, path):
    """The offset of the record of path ("DATA/SUB/Z.TXT;1")."""
    extent, size = struct.unpack_from("<I", iso, 16 * 2048 + 158)[0], struct.unpack_from("<I", iso, 16 * 2048 + 166)[0]
    at = None
    for part in path.split("/"):
        at = next(a for a, ident in records(iso, extent, size) if ident == part.encode("latin-1"))
        extent, size = struct.unpack_from("<I", iso, at + 2)[0], struct.unpack_from("<I", iso, at + 10)[0]
    return at


def rename(iso, path, new):
    at = find(iso, path)
    check(len(new) == iso[at + 32], "a rename keeps the identifier's length")
    iso[at + 33:at + 33 + len(new)] = new


def damaged(dc, work):
    t = os.path.join(work, "dt")
    shutil.rmtree(t, ignore_errors=True)
    files = {"A.TXT": b"first", "A.TXU": b"second", "BIG.DAT": bytes(range(256)) * 800, "CONSOLE1.TXT": b"device",
             "DATA/SUB/OK.TXT": b"ok", "DATA/SUB/Z.TXT": b"zed", "DIR2/IN.TXT": b"in", "ZZ.TXT": b"last"}
    for rel, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(t, rel)), exist_ok=True)
        with open(os.path.join(t, rel), "wb") as f:
            f.write(data)
    base = os.path.join(work, "base.iso")
    subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "--norock", "-o", base, t], check=True,
                   stderr=subprocess.DEVNULL)
    with open(base, "rb") as f:
        good = f.read()

    cases = []  # (file name, bytes, expected line (or lines) with OUT for the target)

    def variant(name, line, change):
        iso = bytearray(good)
        change(iso)
        cases.append((name, bytes(iso), line))

    variant("nulbyte.iso", 'unsafe name "A.TXT\\x001" in OUT', lambda iso: rename(iso, "A.TXU;1", b"A.TXT\x001"))
    variant("case.iso", 'unsafe name "a.txt" in OUT', lambda iso: rename(iso, "A.TXU;1", b"a.txt;1"))
    variant("device.iso", 'unsafe name "CON     .TXT" in OUT',
            lambda iso: rename(iso, "CONSOLE1.TXT;1", b"CON     .TXT;1"))

    def no_identifier(iso):
        iso[find(iso, "DATA/SUB/Z.TXT;1") + 32] = 0
    variant("record.iso", "damaged directory DATA\\SUB", no_identifier)

    def far_directory(iso):
        at = find(iso, "DIR2")
        iso[at + 2:at + 10] = both32(0x00FFFFFF)
    variant("directory.iso", "read error in DIR2", far_directory)

    def interleaved(iso):
        iso[find(iso, "BIG.DAT;1") + 26] = 1  # file unit size
    variant("interleaved.iso", "unsupported interleaved file BIG.DAT", interleaved)

    def broken_chain(iso):
        iso[find(iso, "A.TXT;1") + 25] |= 0x80  # "more", but A.TXU follows
    variant("chain.iso", "damaged directory \\", broken_chain)

    def loop(iso):
        at, root = find(iso, "DIR2"), find(iso, "DATA")
        iso[at + 2:at + 10] = iso[root + 2:root + 10]  # two names for DATA
    variant("loop.iso", "damaged directory \\", loop)

    # A tree 17 levels deep.
    deep = os.path.join(work, "deep")
    shutil.rmtree(deep, ignore_errors=True)
    levels = os.path.join(deep, *["L%d" % i for i in range(1, 18)])
    os.makedirs(levels)
    with open(os.path.join(levels, "F.TXT"), "wb") as f:
        f.write(b"deep")
    subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "--norock", "-o", os.path.join(work, "deep.iso"), deep],
                   check=True, stderr=subprocess.DEVNULL)
    with open(os.path.join(work, "deep.iso"), "rb") as f:
        cases.append(("deep.iso", f.read(), "folder too deep: " + "\\".join("L%d" % i for i in range(1, 18))))

    # A Mode 2 image whose BIG.DAT turns to Form 2 after its first 64 KiB.
    iso2bin.convert(base, os.path.join(work, "m2.bin"), 2)
    with open(os.path.join(work, "m2.bin"), "rb") as f:
        m2 = bytearray(f.read())
    big = struct.unpack_from("<I", good, find(bytearray(good), "BIG.DAT;1") + 2)[0]
    for s in range(big + 32, big + 40):
        m2[s * 2352 + 18] |= 0x20
        m2[s * 2352 + 22] |= 0x20
    # A sector that cannot be read is read again before the copy gives up.
    cases.append(("form2.bin", bytes(m2), ["read retried: BIG.DAT", "read error in BIG.DAT"]))

    # Raw Mode 1 images with their EDC: one sector of BIG.DAT zero-filled, as
    # dumping tools fill what they could not read, or with one byte changed.
    iso2bin.convert(base, os.path.join(work, "m1.bin"), 1)
    with open(os.path.join(work, "m1.bin"), "rb") as f:
        m1 = f.read()
    at = (big + 3) * 2352
    bad_sector = ["read retried: BIG.DAT", "read error in BIG.DAT"]
    cases.append(("zeroed.bin", m1[:at] + bytes(2352) + m1[at + 2352:], bad_sector))
    flipped = bytearray(m1)
    flipped[at + 16 + 700] ^= 0x01
    cases.append(("flipped.bin", bytes(flipped), bad_sector))

    for name, data, line in cases:
        src, out = os.path.join(work, name), os.path.join(work, "out_" + name.replace(".", "_"))
        with open(src, "wb") as f:
            f.write(data)
        rc, lines = dc.run(src, out)
        want = [x.replace("OUT", dc.path(out)) for x in ([line] if isinstance(line, str) else line)] + ["copy failed"]
        check(rc == 1, "%s: exit %d" % (name, rc))
        check(lines == want, "%s: lines %s, not %s" % (name, lines, want))
        for rel, got in tree(out).items():
            own = files.get(rel.replace(os.sep, "/"), b"deep" if name == "deep.iso" else None)
            check(own is not None and own.startswith(got), "%s: %s holds other bytes" % (name, rel))
    print("ok: %d damaged images fail with their line, and no file holds another's bytes" % len(cases))
    rc, lines = dc.list(os.path.join(work, "record.iso"))
    check(rc == 1 and lines == ["damaged directory DATA\\SUB"], "--list of record.iso: exit %d, %s" % (rc, lines))

    # Records as mastering tools write them: the associated file's record that
    # a hybrid disc puts before the file's own, and an extended attribute
    # record before a file's data. Both copy to the tree itself.
    def associated(iso):
        at = find(iso, "A.TXU;1")
        iso[at + 25] |= 0x04  # A.TXU becomes the associated file of A.TXT
        rename(iso, "A.TXU;1", b"A.TXT;1")
    def extended(iso):
        at = find(iso, "BIG.DAT;1")
        extent = struct.unpack_from("<I", iso, at + 2)[0]
        iso[at + 1] = 1  # one block of attributes, so the extent starts one block earlier
        iso[at + 2:at + 10] = both32(extent - 1)
    for name, change, want in (("associated.iso", associated, dict(files)), ("extended.iso", extended, dict(files))):
        iso = bytearray(good)
        change(iso)
        if name == "associated.iso":
            del want["A.TXU"]
        src, out = os.path.join(work, name), os.path.join(work, "out_" + name.replace(".", "_"))
        with open(src, "wb") as f:
            f.write(iso)
        rc, lines = dc.run(src, out)
        got = {rel.replace(os.sep, "/"): data for rel, data in tree(out).items()}
        check(rc == 0 and lines == [] and got == want, "%s: exit %d, %s, %s" % (name, rc, lines, sorted(got)))
    print("ok: an associated file is left out, an extended attribute record skipped")

    # A sheet whose first track is audio does not open.
    sheet = os.path.join(work, "audio.cue")
    with open(sheet, "w") as f:
        f.write('FILE "m2.bin" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n')
    rc, lines = dc.run(sheet, os.path.join(work, "out_audio"))
    check(rc == 1 and lines == ["the first track of %s is not a data track" % dc.path(sheet),
                                "cannot open %s" % dc.path(sheet)], "audio.cue: exit %d, %s" % (rc, lines))


# ---- other tools' images ----

def converted_equals(cmd, out, iso):
    """Runs an independent converter writing out; 1 when out holds the ISO's bytes."""
    if os.path.exists(out):
        os.remove(out)
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not os.path.exists(out):
        return False
    with open(out, "rb") as a, open(iso, "rb") as b:
        return a.read() == b.read()


def other_tools(dc, work):
    t, img = os.path.join(work, "t"), os.path.join(work, "img")
    iso = os.path.join(img, "game.iso")
    z = os.path.join(work, "7z_game")
    subprocess.run(["7zz", "x", "-y", "-o" + z, iso], check=True, stdout=subprocess.DEVNULL)
    want = tree(z)
    check(want == tree(t), "7-Zip's extraction of the ISO equals the tree")
    o = os.path.join(work, "other")
    back = os.path.join(work, "back.iso")

    def make(fmt, name, *opts):
        path = os.path.join(o, name)
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "iso2image.py"), fmt, iso, path] + list(opts),
                       check=True)
        return path

    cases = []  # (descriptor, data file, independent converter's command or None)
    for sector in (2048, 2352, 2448):
        mds = make("mds", "m%d.mds" % sector, "--sector", str(sector))
        mdf = mds[:-1] + "f"
        if sector == 2048:  # already the ISO's bytes: mdf2iso says so and leaves it
            check(open(mdf, "rb").read() == open(iso, "rb").read(), "the 2048-byte .mdf is the ISO")
            conv = None
        elif sector == 2352:
            conv = ["mdf2iso", mdf, back]
        else:  # mdf2iso does not know 2448-byte sectors; iat does
            conv = ["iat", mdf, back]
        cases.append((mds, mdf, conv))
    for mode in (1, 2):
        ccd = make("ccd", "c%d.ccd" % mode, "--mode", str(mode))
        cases.append((ccd, ccd[:-3] + "img", ["ccd2iso", ccd[:-3] + "img", back]))
    for version in ("2", "3", "3.5"):
        for sector, mode in ((2048, 1), (2336, 2), (2352, 1)):
            cdi = make("cdi", "d%s_%d.cdi" % (version, sector), "--version", version, "--sector", str(sector),
                       "--mode", str(mode))
            cases.append((cdi, None, ["iat", cdi, back]))
    # A data track after an audio track of 20 sectors and its pregap: the ISO
    # mastered for its place on the disc, sector 170.
    shifted = os.path.join(work, "game_at170.iso")
    subprocess.run(["genisoimage", "-quiet", "-iso-level", "2", "-D", "-V", "KELPMIRE", "-C", "0,170", "-o",
                    shifted, t], check=True, stderr=subprocess.DEVNULL)
    after = os.path.join(o, "after_audio.mds")
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "iso2image.py"), "mds", shifted, after,
                    "--audio", "20"], check=True)
    cases.append((after, after[:-1] + "f", None))
    for desc, data, conv in cases:
        name = os.path.basename(desc)
        if conv:
            check(converted_equals(conv, back, iso), "%s converted back by %s equals the ISO" % (name, conv[0]))
        for src in (desc, data) if data else (desc,):
            out = os.path.join(work, "out_" + os.path.basename(src).replace(".", "_"))
            rc, lines = dc.run(src, out)
            check(rc == 0 and lines == [], "copy of %s: exit %d, %s" % (os.path.basename(src), rc, lines))
            check(tree(out) == want, "%s copies to what 7-Zip extracts from the ISO" % os.path.basename(src))
    print("ok: %d Alcohol, CloneCD and DiscJuggler images, by descriptor and data file, copy as 7-Zip extracts "
          "the ISO" % len(cases))


# ---- Nero images ----

NERO_VARIANTS = [
    # (name, source, its sector size, mode, what is stored, footer version, track-at-once, pregap, audio first)
    ("dao_m1_2048_v1.nrg", "pre_m1.bin", 2352, 1, 2048, 1, False, 150, 0),
    ("dao_m1_2048_v2.nrg", "pre_m1.bin", 2352, 1, 2048, 2, False, 150, 0),
    ("dao_m2_2048_v2.nrg", "pre_m2.bin", 2352, 2, 2048, 2, False, 150, 0),
    ("dao_m2_2336_v1.nrg", "pre_m2.bin", 2352, 2, 2336, 1, False, 150, 0),
    ("dao_m1_2352_v2.nrg", "pre_m1.bin", 2352, 1, 2352, 2, False, 150, 0),
    ("dao_m2_2352_v1.nrg", "pre_m2.bin", 2352, 2, 2352, 1, False, 150, 0),
    ("dao_m1_2448_v1.nrg", "pre_m1_2448.bin", 2448, 1, 2448, 1, False, 150, 0),
    ("dao_m2_2448_v2.nrg", "pre_m2_2448.bin", 2448, 2, 2448, 2, False, 150, 0),
    ("tao_m1_2048_v1.nrg", "game.iso", 2048, 1, 2048, 1, True, 0, 0),
    ("tao_m2_2336_v2.nrg", "pre_m2.bin", 2352, 2, 2336, 2, True, 150, 0),
    ("tao_m1_2352_v2.nrg", "pre_m1.bin", 2352, 1, 2352, 2, True, 150, 0),
    ("tao_m2_2448_v1.nrg", "pre_m2_2448.bin", 2448, 2, 2448, 1, True, 150, 0),
    # A data track after an audio track, its file system mastered for its place on the disc.
    ("audio_m2_2352_v2.nrg", "late_m2.bin", 2352, 2, 2352, 2, False, 150, 300),
    ("audio_m1_2048_v1.nrg", "late_m1.bin", 2352, 1, 2048, 1, True, 150, 300),
]


def iso2nrg(src, out, sector, mode, store, version, tao, pregap, audio_first):
    cmd = [sys.executable, os.path.join(ROOT, "tools", "iso2nrg.py"), src, out, "--src-sector", str(sector),
           "--mode", str(mode), "--store", str(store), "--version", str(version), "--pregap", str(pregap),
           "--audio-first", str(audio_first)]
    subprocess.run(cmd + (["--tao"] if tao else []), check=True)


def nero_sources(t, work):
    """The raw images that the Nero images are made from, in work/nrg."""
    n = os.path.join(work, "nrg")
    os.makedirs(n, exist_ok=True)
    iso, late = os.path.join(work, "img", "game.iso"), os.path.join(n, "late.iso")
    shutil.copy(iso, os.path.join(n, "game.iso"))
    # Mastered for address 450: after 300 sectors of audio and the data track's pregap.
    subprocess.run(["genisoimage", "-quiet", "-iso-level", "2", "-V", "KELPMIRE", "-C", "0,450", "-o", late, t],
                   check=True, stderr=subprocess.DEVNULL)
    for name, src, mode, sector in (("pre_m1.bin", iso, 1, 2352), ("pre_m2.bin", iso, 2, 2352),
                                    ("pre_m1_2448.bin", iso, 1, 2448), ("pre_m2_2448.bin", iso, 2, 2448),
                                    ("late_m1.bin", late, 1, 2352), ("late_m2.bin", late, 2, 2352)):
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "iso2bin.py"), src, os.path.join(n, name),
                        "--mode", str(mode), "--sector", str(sector), "--pregap", "150"], check=True)
    return n


def nero(dc, work):
    """Each Nero variant copies to 7-Zip's extraction of the ISO."""
    t, n = os.path.join(work, "t"), nero_sources(os.path.join(work, "t"), work)
    ref = os.path.join(work, "7z_iso")
    subprocess.run(["7zz", "x", "-y", "-o" + ref, os.path.join(work, "img", "game.iso")], check=True,
                   stdout=subprocess.DEVNULL)
    want = tree(ref)
    check(want == tree(t), "7-Zip's extraction of the ISO equals the tree")
    for v in NERO_VARIANTS:
        name, src = v[0], os.path.join(n, v[1])
        iso2nrg(src, os.path.join(n, name), *v[2:])
        out = os.path.join(work, "out_" + name.replace(".", "_"))
        rc, lines = dc.run(os.path.join(n, name), out)
        check(rc == 0 and lines == [], "copy of %s: exit %d, %s" % (name, rc, lines))
        check(tree(out) == want, "%s copies to 7-Zip's extraction of the ISO" % name)
    print("ok: %d Nero images (both footers, disc- and track-at-once, 2048, 2336, 2352 and 2448-byte "
          "sectors, a data track after audio) copy like 7-Zip's extraction of the ISO" % len(NERO_VARIANTS))


def chunk_at(data, name):
    """The offset of the first chunk of that name in a Nero image's chain."""
    if data[-12:-8] == b"NER5":
        pos = struct.unpack(">Q", data[-8:])[0]
    else:
        pos = struct.unpack(">I", data[-4:])[0]
    while data[pos:pos + 4] != name:
        if data[pos:pos + 4] == b"END!":
            raise KeyError(name)
        pos += 8 + struct.unpack(">I", data[pos + 4:pos + 8])[0]
    return pos


def nero_damaged(dc, work):
    """Nero images whose chain lies: each refused with its line, nothing copied."""
    n = os.path.join(work, "nrg")
    with open(os.path.join(n, "dao_m1_2352_v2.nrg"), "rb") as f:
        dao = f.read()
    with open(os.path.join(n, "tao_m1_2048_v1.nrg"), "rb") as f:
        tao = f.read()
    with open(os.path.join(n, "audio_m2_2352_v2.nrg"), "rb") as f:
        audio = f.read()
    with open(os.path.join(n, "dao_m2_2336_v1.nrg"), "rb") as f:
        m2 = f.read()

    def put(data, at, value):
        data[at:at + len(value)] = value

    def daox(data, field, value, track=0):
        # A DAOX track entry: ISRC, sector size, mode code, 3 bytes, index 0, index 1, end.
        at = chunk_at(data, b"DAOX") + 8 + 22 + 42 * track + {"size": 12, "mode": 14, "index0": 18, "end": 34}[field]
        put(data, at, value)

    cases = [  # (name, base, change, line with PATH for the image)
        ("nofooter.nrg", dao, lambda d: d.__delitem__(slice(len(d) - 12, None)), "PATH has no Nero footer"),
        ("short.nrg", b"", lambda d: put(d, 0, b"NERO\0\0\0\0"), "PATH is too short for a Nero image"),
        ("chainpast.nrg", dao, lambda d: put(d, len(d) - 8, struct.pack(">Q", len(d))),
         "the chunks of PATH do not lie before its footer"),
        ("huge.nrg", dao, lambda d: put(d, len(d) - 8, struct.pack(">Q", 0)),
         "the chunks of PATH do not lie before its footer"),
        ("chunkpast.nrg", dao, lambda d: put(d, chunk_at(d, b"CUEX") + 4, struct.pack(">I", 0xFFFFFF00)),
         "a chunk of PATH runs past its footer"),
        ("noend.nrg", dao, lambda d: put(d, chunk_at(d, b"END!"), b"ENDX"), "the chunks of PATH end without END!"),
        ("notable.nrg", dao, lambda d: put(d, chunk_at(d, b"DAOX"), b"DAOZ"), "PATH has no track table"),
        ("nocue.nrg", dao, lambda d: put(d, chunk_at(d, b"CUEX"), b"CUEZ"),
         "PATH has no cue points for its disc-at-once tracks"),
        ("tracks.nrg", dao, lambda d: put(d, chunk_at(d, b"DAOX") + 8 + 21, b"\xc8"),
         "PATH lists tracks 1 to 200 in a table of 64 bytes"),
        ("trackpast.nrg", dao, lambda d: daox(d, "end", struct.pack(">Q", len(d))),
         "track 1 of PATH lies outside its data or over another track"),
        ("overlap.nrg", audio, lambda d: daox(d, "index0", struct.pack(">Q", 2352), track=1),
         "track 2 of PATH lies outside its data or over another track"),
        ("size.nrg", dao, lambda d: daox(d, "size", struct.pack(">H", 4000)), "PATH names sectors of 4000 bytes"),
        ("audio.nrg", dao, lambda d: daox(d, "mode", b"\x07"), "PATH has no data track"),
        ("farlba.nrg", dao, lambda d: put(d, chunk_at(d, b"CUEX") + 8 + 16 + 4, struct.pack(">i", 0x7FFFFFFF)),
         "PATH places its data track beyond the end of a CD"),
        ("etnmode.nrg", tao, lambda d: put(d, chunk_at(d, b"ETNF") + 8 + 8, struct.pack(">I", 0x42)),
         "track 1 of PATH has the mode code 66, which is not known"),
        ("etnpast.nrg", tao, lambda d: put(d, chunk_at(d, b"ETNF") + 8 + 4, struct.pack(">I", 0xFFFFFF00)),
         "track 1 of PATH lies outside its data or over another track"),
        # A 2336-byte sector is checked as a raw one is: a changed byte of the
        # volume descriptor's data fails its EDC, and no layout is left.
        ("edc2336.nrg", m2, lambda d: d.__setitem__((150 + 16) * 2336 + 8 + 100, d[(150 + 16) * 2336 + 8 + 100] ^ 1),
         None),
    ]
    for name, base, change, line in cases:
        data = bytearray(base)
        change(data)
        path = os.path.join(n, name)
        with open(path, "wb") as f:
            f.write(data)
        out = os.path.join(work, "out_" + name.replace(".", "_"))
        rc, lines = dc.run(path, out)
        want = ([line.replace("PATH", dc.path(path))] if line else []) + ["cannot open %s" % dc.path(path)]
        check(rc == 1 and lines == want, "%s: exit %d, %s (want %s)" % (name, rc, lines, want))
        check(not os.path.exists(out), "%s: nothing copied" % name)
    print("ok: %d damaged Nero images refused with their lines" % len(cases))


def main():
    args = sys.argv[1:]
    wine = None
    if args[0] == "--wine":
        wine, args = args[1:3], args[3:]
    exe, work = args
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    dc = Disccopy(os.path.abspath(exe), wine)
    layouts(dc, work)
    other_tools(dc, work)
    nero(dc, work)
    nero_damaged(dc, work)
    damaged(dc, work)
    if failures:
        sys.exit("%d failures" % len(failures))
    print("ok: all")


if __name__ == "__main__":
    main()
