#!/usr/bin/env python3
"""The icon writers on real Windows executables, run under Wine through the
seticon tool and checked with icoutils (wrestool, icotool).

usage: icons_wine.py SOURCE_DIR BUILD_DIR SETICON_EXE NOICON_EXE

noicon.exe has no resources of its own; each case works on a copy of it in a
scratch folder of the build. Icon files come from ImageMagick, emblem pictures
from tools/make_pbm.py.
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys

src, build, seticon, noicon = sys.argv[1:5]
work = os.path.join(build, "icons_wine")
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def winpath(p):
    return "Z:" + os.path.abspath(p).replace("/", "\\")


def run(*args, **kw):
    return subprocess.run(list(args), capture_output=True, **kw)


def wine(*args):
    return run(os.path.join(src, "scripts", "wine-run"), os.path.join(build, "wineprefix"), *args)


def set_icon(exe, kind, data_file):
    return wine(seticon, winpath(exe), kind, winpath(data_file))


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def fresh_exe(name):
    exe = os.path.join(work, name)
    shutil.copyfile(noicon, exe)
    return exe


def resources(exe):
    """(type, name, language) of every resource that wrestool lists."""
    out = []
    for line in run("wrestool", "-l", exe, text=True).stdout.splitlines():
        f = dict(part[2:].split("=", 1) for part in line.split()[:3])
        out.append((f["type"], f["name"], f["language"]))
    return out


def raw(exe, rtype, name):
    return run("wrestool", "-x", "--raw", "--type=%s" % rtype, "--name=%s" % name, exe).stdout


def ico_images(data):
    """The directory entries (16 bytes each) and the image bytes of an icon file."""
    n = struct.unpack_from("<H", data, 4)[0]
    entries = [data[6 + 16 * i:22 + 16 * i] for i in range(n)]
    images = []
    for e in entries:
        length, offset = struct.unpack_from("<II", e, 8)
        images.append(data[offset:offset + length])
    return entries, images


def icotool_list(path):
    return run("icotool", "-l", path, text=True).stdout.split()


shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)

# ---- an icon file: 256 (PNG), 48, 32 (32-bit) and 16 (16 colours) ----
k256 = os.path.join(work, "k256.png")
ico = os.path.join(work, "k.ico")
subprocess.run(["convert", "-size", "256x256", "xc:none", "-fill", "orange", "-draw", "circle 128,128 128,8",
                "-fill", "navy", "-draw", "rectangle 80,100 176,156", "-depth", "8", "PNG32:" + k256], check=True)
subprocess.run(["convert", k256, "(", "-clone", "0", "-resize", "48x48", ")", "(", "-clone", "0", "-resize",
                "32x32", ")", "(", "-clone", "0", "-resize", "16x16", "-colors", "16", ")", ico], check=True)
with open(ico, "rb") as f:
    ico_data = f.read()
entries, images = ico_images(ico_data)
check(len(images) == 4 and images[0][:4] == b"\x89PNG", "test icon has 4 images, the 256 one PNG")

exe = fresh_exe("x.exe")
r = set_icon(exe, "--ico", ico)
check(r.returncode == 0, "seticon --ico exits 0")
check(b"icon: 4 images from the CD" in r.stderr, "seticon logs the image count")
want = [("3", str(k), "0") for k in range(1, 5)] + [("14", "1", "0")]
check(sorted(resources(exe)) == sorted(want), "icon images 1..4 and group 1, language 0")
for k, img in enumerate(images, 1):
    check(raw(exe, 3, k) == img, "icon image %d equals the file's image byte for byte" % k)
group = raw(exe, 14, 1)
layout = struct.pack("<HHH", 0, 1, 4) + b"".join(e[:12] + struct.pack("<H", k) for k, e in enumerate(entries, 1))
check(group == layout, "group: header, the file's 12 directory bytes and identifier k per entry")
extracted = os.path.join(work, "x.ico")
run("wrestool", "-x", "--type=14", "--name=1", "-o", extracted, exe)
check(icotool_list(extracted) == icotool_list(ico), "icotool lists the same icons as in the source")
for d in ("from_src", "from_exe"):
    os.makedirs(os.path.join(work, d))
run("icotool", "-x", "-o", os.path.join(work, "from_src"), ico)
run("icotool", "-x", "-o", os.path.join(work, "from_exe"), extracted)
src_pngs = sorted(os.listdir(os.path.join(work, "from_src")))
exe_pngs = sorted(os.listdir(os.path.join(work, "from_exe")))
check(len(src_pngs) == 4 and len(exe_pngs) == 4 and
      all(digest(os.path.join(work, "from_src", a)) == digest(os.path.join(work, "from_exe", b))
          for a, b in zip(src_pngs, exe_pngs)), "icotool decodes the same pictures from both")
check(wine(exe).stdout.strip() == b"noicon runs", "the changed executable still runs")

# ---- a failed update leaves the file byte for byte as it was ----
bad = bytearray(ico_data)
length, offset = struct.unpack_from("<II", bad, 6 + 16 * 3 + 8)
struct.pack_into("<I", bad, 6 + 16 * 3 + 8, len(bad) - offset + 1)  # the last image ends a byte late
bad_ico = os.path.join(work, "bad.ico")
with open(bad_ico, "wb") as f:
    f.write(bad)
for name, target in (("an executable without icon", fresh_exe("y.exe")), ("an executable with an icon", exe)):
    before = digest(target)
    r = set_icon(target, "--ico", bad_ico)
    check(r.returncode == 1 and b"ERROR: icon image out of range" in r.stderr,
          "out-of-range image on %s: exit 1 and its message" % name)
    check(digest(target) == before, "out-of-range image leaves %s unchanged" % name)

# ---- usage and unreadable input ----
check(wine(seticon, winpath(exe), "--png", winpath(ico)).returncode == 2, "unknown option: exit 2")
check(wine(seticon, winpath(exe)).returncode == 2, "missing arguments: exit 2")
check(set_icon(exe, "--ico", os.path.join(work, "none.ico")).returncode == 1, "missing icon file: exit 1")

# ---- an emblem picture, stored and packed with ByteRun1 ----
sides = [16, 24, 32, 48, 64, 128, 256]
outputs = []
for packed in (False, True):
    pic = os.path.join(work, "emblem%d.lbm" % packed)
    subprocess.run([sys.executable, os.path.join(src, "tools", "make_pbm.py"), pic, "45", "30"] +
                   (["--byterun1"] if packed else []), check=True)
    target = fresh_exe("e%d.exe" % packed)
    r = set_icon(target, "--lbm", pic)
    what = "emblem (%s)" % ("ByteRun1" if packed else "stored")
    check(r.returncode == 0 and r.stderr == b"", what + ": exit 0, no log line")
    check(sorted(resources(target)) == sorted([("3", str(k), "0") for k in range(1, 8)] + [("14", "1", "0")]),
          what + ": icon images 1..7 and group 1")
    out = os.path.join(work, "e%d.ico" % packed)
    run("wrestool", "-x", "--type=14", "--name=1", "-o", out, target)
    listing = run("icotool", "-l", out, text=True).stdout.splitlines()
    want = ["--icon --index=%d --width=%d --height=%d --bit-depth=32 --palette-size=0" % (k, t, t)
            for k, t in enumerate(sides, 1)]
    check(listing == want, what + ": icotool lists seven 32-bit images of sides 16 to 256")
    check(wine(target).stdout.strip() == b"noicon runs", what + ": the executable still runs")
    outputs.append([raw(target, 3, k) for k in range(1, 8)] + [raw(target, 14, 1)])
check(outputs[0] == outputs[1], "stored and ByteRun1 pictures give the same resources")

# ---- the update keeps what it does not replace ----
# The four images of the icon file replace images 1..4 and the group of an
# executable that holds the emblem's seven; images 5..7 stay as they were.
target = os.path.join(work, "e1.exe")
check(set_icon(target, "--ico", ico).returncode == 0, "icon file over an emblem: exit 0")
check(sorted(resources(target)) == sorted([("3", str(k), "0") for k in range(1, 8)] + [("14", "1", "0")]),
      "icon file over an emblem: images 1..7 and group 1 remain")
check([raw(target, 3, k) for k in range(1, 5)] == images and raw(target, 14, 1) == group,
      "icon file over an emblem: images 1..4 and the group are the icon file's")
check([raw(target, 3, k) for k in range(5, 8)] == outputs[1][4:7],
      "icon file over an emblem: images 5..7 are the emblem's")

print("%d failure(s)" % len(failures))
sys.exit(1 if failures else 0)
