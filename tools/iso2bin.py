#!/usr/bin/env python3
"""iso2bin.py - turns an ISO image (2048-byte sectors) into a raw CD image of
2352-byte sectors, with the sync pattern, the header (address and mode), for
Mode 2 the Form 1 subheader, and the error detection and correction codes
(EDC, P and Q parity) that CD readers and other tools check. Optionally writes a
CUE sheet that names the image.

usage: iso2bin.py ISO BIN [--mode 1|2] [--sector 2352|2448] [--pregap FRAMES]
                  [--cue CUE] [--cue-style plain|cdtext|lower]

--sector 2448 adds after each sector the 96 bytes of its subchannel, interleaved
as drives deliver it (bit 7 of each byte is the P channel, bit 6 the Q channel):
P is set in the pregap, Q holds the mode 1 position (control 4 for data, track 1,
index, the track-relative and absolute times, its CRC). --pregap stores that many
frames of the first track's pregap (empty sectors) before sector 0; the sheet
then has INDEX 00 at the start of the file and INDEX 01 after the pregap.
--cue-style cdtext adds TITLE, PERFORMER, REM and CDTEXTFILE lines around the
FILE line, as disc-authoring programs write them; lower writes every keyword in
lower case.

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


def _crc16_table():
    t = np.zeros(256, np.uint16)
    for i in range(256):
        c = i << 8
        for _ in range(8):
            c = ((c << 1) ^ 0x1021 if c & 0x8000 else c << 1) & 0xFFFF
        t[i] = c
    return t


CRC16 = _crc16_table()


def subchannel(first, n, pregap):
    """The interleaved P and Q subchannel (n, 96) of sectors first..first+n-1,
    where sector numbers below 0 lie in the pregap of that many frames."""
    sector = np.arange(first, first + n)
    in_pregap = sector < 0
    rel = np.where(in_pregap, -sector, sector)  # counts down to INDEX 01, then up
    absolute = sector + LEAD_IN
    q = np.zeros((n, 12), np.uint8)
    q[:, 0] = 0x41  # control 4 (data track), address mode 1 (position)
    q[:, 1] = 0x01
    q[:, 2] = np.where(in_pregap, 0, 1)
    for col, t in ((3, rel), (7, absolute)):
        q[:, col] = _bcd(t // (75 * 60))
        q[:, col + 1] = _bcd((t // 75) % 60)
        q[:, col + 2] = _bcd(t % 75)
    crc = np.zeros(n, np.uint16)
    for col in range(10):
        crc = ((crc << np.uint16(8)) & np.uint16(0xFFFF)) ^ CRC16[((crc >> np.uint16(8)) ^ q[:, col]) & 0xFF]
    crc = ~crc
    q[:, 10] = crc >> 8
    q[:, 11] = crc & 0xFF
    bits = np.unpackbits(q, axis=1)  # (n, 96), most significant bit first
    sub = (bits << 6).astype(np.uint8)
    sub[in_pregap] |= 0x80
    return sub


def convert(iso, out, mode, sector=2352, pregap=0):
    size = os.path.getsize(iso)
    if size % 2048:
        sys.exit("iso2bin: %s is not a whole number of 2048-byte sectors" % iso)

    def write(data, first):
        raw = raw_sectors(data, first, mode)
        if sector == 2448:
            raw = np.concatenate([raw, subchannel(first, data.shape[0], pregap)], axis=1)
        fo.write(raw.tobytes())

    with open(iso, 'rb') as fi, open(out, 'wb') as fo:
        if pregap:
            write(np.zeros((pregap, 2048), np.uint8), -pregap)
        first = 0
        while True:
            chunk = fi.read(BATCH * 2048)
            if not chunk:
                break
            data = np.frombuffer(chunk, np.uint8).reshape(-1, 2048)
            write(data, first)
            first += data.shape[0]


def write_cue(cue, image, mode, sector=2352, pregap=0, style='plain'):
    track = 'MODE%d/%d' % (mode, sector)
    index1 = '%02d:%02d:%02d' % (pregap // (75 * 60), (pregap // 75) % 60, pregap % 75)
    lines = []
    if style == 'cdtext':
        lines += ['REM GENRE "Game"', 'REM COMMENT "made by iso2bin; FILE lines below"', 'CDTEXTFILE "disc.cdt"',
                  'PERFORMER "Kelp Team"', 'TITLE "PROFILE"']
    lines += ['FILE "%s" BINARY' % os.path.basename(image), '  TRACK 01 %s' % track]
    if style == 'cdtext':
        lines += ['    TITLE "FILE SYSTEM"', '    PERFORMER "Kelp Team"']
    if pregap:
        lines.append('    INDEX 00 00:00:00')
    lines.append('    INDEX 01 %s' % index1)
    if style == 'lower':
        lines = [line.replace(w, w.lower(), 1) for line in lines
                 for w in [line.split()[0]]]
        lines = [line.replace('BINARY', 'binary').replace(track, track.lower()) for line in lines]
    with open(cue, 'w', newline='\r\n') as f:
        f.write('\n'.join(lines) + '\n')


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('iso')
    ap.add_argument('bin')
    ap.add_argument('--mode', type=int, choices=(1, 2), default=1)
    ap.add_argument('--sector', type=int, choices=(2352, 2448), default=2352)
    ap.add_argument('--pregap', type=int, default=0, help='frames of pregap stored before the data')
    ap.add_argument('--cue', help='also write a CUE sheet naming BIN (beside it)')
    ap.add_argument('--cue-style', choices=('plain', 'cdtext', 'lower'), default='plain')
    a = ap.parse_args()
    convert(a.iso, a.bin, a.mode, a.sector, a.pregap)
    if a.cue:
        write_cue(a.cue, a.bin, a.mode, a.sector, a.pregap, a.cue_style)


if __name__ == '__main__':
    main()
