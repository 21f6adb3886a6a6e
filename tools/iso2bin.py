#!/usr/bin/env python3
"""iso2bin.py - turns an ISO image (2048-byte sectors) into a raw CD image of
2352-byte sectors, with the sync pattern, the header (address and mode), for
Mode 2 the Form 1 subheader, and the error detection and correction codes
(EDC, P and Q parity) that CD readers and other tools check. Optionally writes a
CUE sheet that names the image.

usage: iso2bin.py ISO BIN [--mode 1|2] [--cue CUE]

The work is done on numpy arrays, a batch of sectors at a time, so a 500 MB
image takes seconds rather than hours.
"""
import argparse
import os
import sys

import numpy as np

BATCH = 8192
LEAD_IN = 150  # the address of sector 0 is 00:02:00


def _tables():
    f = np.zeros(256, np.uint8)
    b = np.zeros(256, np.uint8)
    for i in range(256):
        j = ((i << 1) ^ (0x11D if i & 0x80 else 0)) & 0xFF
        f[i] = j
        b[i ^ j] = i
    edc = np.zeros(256, np.uint32)
    for i in range(256):
        e = i
        for _ in range(8):
            e = (e >> 1) ^ (0xD8018001 if e & 1 else 0)
        edc[i] = e
    return f, b, edc


ECC_F, ECC_B, EDC_LUT = _tables()


def _ecc_index(major_count, minor_count, major_mult, minor_inc):
    size = major_count * minor_count
    idx = np.zeros((major_count, minor_count), np.int64)
    for major in range(major_count):
        index = (major >> 1) * major_mult + (major & 1)
        for minor in range(minor_count):
            idx[major, minor] = index
            index += minor_inc
            if index >= size:
                index -= size
    return idx


P_INDEX = _ecc_index(86, 24, 2, 86)
Q_INDEX = _ecc_index(52, 43, 86, 88)


def _ecc_block(region, idx):
    """region: (n, bytes) uint8 starting at the header; returns (n, 2*majors)."""
    n = region.shape[0]
    majors = idx.shape[0]
    a = np.zeros((n, majors), np.uint8)
    b = np.zeros((n, majors), np.uint8)
    for minor in range(idx.shape[1]):
        t = region[:, idx[:, minor]]
        a ^= t
        b ^= t
        a = ECC_F[a]
    a = ECC_B[ECC_F[a] ^ b]
    return np.concatenate([a, a ^ b], axis=1)


def _edc(block):
    """block: (n, bytes) uint8; the EDC of each row, little-endian bytes (n, 4)."""
    e = np.zeros(block.shape[0], np.uint32)
    for col in range(block.shape[1]):
        e = (e >> np.uint32(8)) ^ EDC_LUT[(e ^ block[:, col]) & np.uint32(0xFF)]
    return e.astype('<u4').view(np.uint8).reshape(-1, 4)


def _bcd(v):
    return ((v // 10) << 4) | (v % 10)


def raw_sectors(data, first, mode):
    """data: (n, 2048) uint8 user data of sectors first..first+n-1."""
    n = data.shape[0]
    s = np.zeros((n, 2352), np.uint8)
    s[:, 1:11] = 0xFF
    addr = np.arange(first, first + n) + LEAD_IN
    s[:, 12] = _bcd(addr // (75 * 60))
    s[:, 13] = _bcd((addr // 75) % 60)
    s[:, 14] = _bcd(addr % 75)
    s[:, 15] = mode
    if mode == 1:
        s[:, 16:2064] = data
        s[:, 2064:2068] = _edc(s[:, 0:2064])
        region = s[:, 12:2352]
    else:
        # Form 1 subheader, twice: file 0, channel 0, submode "data", coding 0.
        s[:, 18] = s[:, 22] = 0x08
        s[:, 24:2072] = data
        s[:, 2072:2076] = _edc(s[:, 16:2072])
        # The header takes no part in the Mode 2 parity: it counts as zeros.
        region = s[:, 12:2352].copy()
        region[:, 0:4] = 0
    region[:, 2064:2236] = _ecc_block(region, P_INDEX)
    region[:, 2236:2340] = _ecc_block(region, Q_INDEX)
    if mode == 1:
        s[:, 12:2352] = region
    else:
        s[:, 16:2352] = region[:, 4:]
    return s


def convert(iso, out, mode):
    size = os.path.getsize(iso)
    if size % 2048:
        sys.exit("iso2bin: %s is not a whole number of 2048-byte sectors" % iso)
    first = 0
    with open(iso, 'rb') as fi, open(out, 'wb') as fo:
        while True:
            chunk = fi.read(BATCH * 2048)
            if not chunk:
                break
            data = np.frombuffer(chunk, np.uint8).reshape(-1, 2048)
            fo.write(raw_sectors(data, first, mode).tobytes())
            first += data.shape[0]


def write_cue(cue, image, mode):
    track = 'MODE1/2352' if mode == 1 else 'MODE2/2352'
    with open(cue, 'w', newline='\r\n') as f:
        f.write('FILE "%s" BINARY\n  TRACK 01 %s\n    INDEX 01 00:00:00\n' % (os.path.basename(image), track))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('iso')
    ap.add_argument('bin')
    ap.add_argument('--mode', type=int, choices=(1, 2), default=1)
    ap.add_argument('--cue', help='also write a CUE sheet naming BIN (beside it)')
    a = ap.parse_args()
    convert(a.iso, a.bin, a.mode)
    if a.cue:
        write_cue(a.cue, a.bin, a.mode)


if __name__ == '__main__':
    main()
