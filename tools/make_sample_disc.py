#!/usr/bin/env python3
"""make_sample_disc.py - writes the tree of a sample game disc into OUTDIR.

usage: make_sample_disc.py OUTDIR [--large] [--seed N]

The tree holds the files by which the setup recognises the game disc
(DATA\\A.QAR, DATA\\HD.QAR, DATA\\T.QAR, SETUP\\KMX.EXE, SETUP\\PLAYW32.DLL), the
disc's icon KMIRE.ICO (drawn with ImageMagick, packed with icotool), and other
files in nested folders. All names are upper-case 8.3 names and the tree is at
most 8 levels deep, so that every ISO 9660 level can hold it. Contents are
deterministic for a seed: the same command gives the same bytes.

The default tree is small (about 1 MB, with sizes at the edges of a 2048-byte
sector and of a 64 KiB chunk, and an empty file and folder) for the tests;
--large gives about 500 MB, a few large files and a few hundred small ones, as
on a game CD, for the benchmarks.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

GAME_FILES = ['DATA/A.QAR', 'DATA/HD.QAR', 'DATA/T.QAR', 'SETUP/KMX.EXE', 'SETUP/PLAYW32.DLL']


def write(root, rel, size, rng):
    path = os.path.join(root, *rel.split('/'))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        left = size
        while left > 0:
            n = min(left, 1 << 24)
            f.write(rng.randbytes(n))
            left -= n


def make_icon(path):
    """A two-image icon (32 and 16 pixels) drawn by ImageMagick; icotool packs it."""
    tmp = tempfile.mkdtemp(prefix='kelp_ico_')
    try:
        pngs = []
        for px in (32, 16):
            png = os.path.join(tmp, 'i%d.png' % px)
            r = px // 2 - 1
            subprocess.run(['convert', '-size', '%dx%d' % (px, px), 'xc:none',
                            '-fill', '#2a7a4a', '-draw', 'circle %d,%d %d,%d' % (r, r, r, 0),
                            '-fill', '#e0c040', '-draw', 'rectangle %d,%d %d,%d' % (px // 4, px // 4, px // 2, px // 2),
                            '-strip', '-define', 'png:color-type=6', png], check=True)
            pngs.append(png)
        subprocess.run(['icotool', '-c', '-o', path] + pngs, check=True)
    finally:
        shutil.rmtree(tmp)


def small_tree(root, rng):
    sizes = {
        'DATA/A.QAR': 70000, 'DATA/HD.QAR': 100000, 'DATA/T.QAR': 2048,
        'SETUP/KMX.EXE': 65536, 'SETUP/PLAYW32.DLL': 65537,
        'README.TXT': 2047, 'EMPTY.DAT': 0, 'ONE.BIN': 1, 'EDGE.BIN': 2049,
        'MUSIC/TRACK01.RAW': 131072, 'MUSIC/TRACK02.RAW': 4000,
        'MAPS/WORLD1/LEVEL1.MAP': 3000, 'MAPS/WORLD1/LEVEL2.MAP': 5000,
        'MAPS/WORLD2/DEEP/DEEPER/BOTTOM.DAT': 777,
    }
    for rel in sorted(sizes):
        write(root, rel, sizes[rel], rng)
    os.makedirs(os.path.join(root, 'EXTRAS', 'NOTHING'), exist_ok=True)


def large_tree(root, rng):
    big = {'DATA/A.QAR': 150, 'DATA/HD.QAR': 120, 'DATA/T.QAR': 90, 'MOVIES/INTRO.MOV': 60, 'MOVIES/END.MOV': 40}
    for rel in sorted(big):
        write(root, rel, big[rel] << 20, rng)
    write(root, 'SETUP/KMX.EXE', 1800000, rng)
    write(root, 'SETUP/PLAYW32.DLL', 400000, rng)
    for folder in range(8):
        for i in range(40):
            write(root, 'LEVELS/L%d/PART%03d.DAT' % (folder, i), rng.randrange(1, 300000), rng)
    os.makedirs(os.path.join(root, 'EXTRAS', 'NOTHING'), exist_ok=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('outdir')
    ap.add_argument('--large', action='store_true', help='about 500 MB, for benchmarks')
    ap.add_argument('--seed', type=int, default=1)
    a = ap.parse_args()
    if os.path.exists(a.outdir):
        shutil.rmtree(a.outdir)
    os.makedirs(a.outdir)
    rng = random.Random(a.seed)
    (large_tree if a.large else small_tree)(a.outdir, rng)
    make_icon(os.path.join(a.outdir, 'KMIRE.ICO'))
    missing = [f for f in GAME_FILES if not os.path.isfile(os.path.join(a.outdir, f))]
    if missing:
        sys.exit('make_sample_disc: missing %s' % missing)


if __name__ == '__main__':
    main()
