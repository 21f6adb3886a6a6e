#!/usr/bin/env python3
"""iso2nrg.py - writes a disc's one data track as a Nero image (.nrg): the
track's sectors, then the chunk chain that describes them, then the footer.

usage: iso2nrg.py SRC NRG --src-sector 2048|2352|2448 [--mode 1|2]
                  [--store 2048|2336|2352|2448] [--version 1|2] [--tao]
                  [--pregap SECTORS] [--audio-first SECTORS]

SRC holds the track's sectors in the layout --src-sector names: an ISO image
(2048), or a raw image that iso2bin.py wrote (2352, or 2448 with subchannel),
whose first --pregap sectors are the track's pregap. --store picks what of each
sector the image keeps: the user data (2048), a Mode 2 sector from its
subheader on (2336), the raw sector (2352) or the raw sector with its
subchannel (2448).

A disc-at-once image (the default) keeps the pregap and describes the disc in
a cue chunk (CUES with BCD times, version 1; CUEX with addresses, version 2)
and a DAO chunk (DAOI with 32-bit offsets; DAOX with 64-bit ones); a
track-at-once image (--tao) keeps no pregap and has one ETNF (ETN2) entry per
track. Both end with SINF (tracks in the session), MTYP and END!, then the
footer: "NERO" and a 32-bit offset of the chain, or "NER5" and a 64-bit one.
--audio-first puts an audio track of that many silent sectors before the data
track, so that the data track starts at a later disc address.

The layout, big-endian throughout: a chunk is its 4-byte name, its 32-bit size
and its data. A DAO chunk holds its own size again, a 13-byte catalogue number,
a byte, a 16-bit disc type, the first and last track, then one entry per track:
a 12-byte ISRC, the 16-bit sector size, the mode code, 3 bytes, and the offsets
of index 0, index 1 and the track's end. A cue entry is control/address, the
track and index (BCD), a zero byte, then the time (00 MM SS FF in BCD) or the
32-bit address. An ETNF entry is the offset and length of the track in the
file, its mode code, its first address and a 32-bit zero (ETN2: the offset,
the length and the zero in 64 bits).

Only the Python standard library is used.
"""
import argparse
import os
import struct
import sys

LEAD_IN = 150
BATCH = 4096  # sectors read at a time
# Mode codes by (stored sector size, mode); 7 is audio.
MODE_CODES = {(2048, 1): 0x00, (2048, 2): 0x02, (2336, 2): 0x03, (2352, 1): 0x05, (2352, 2): 0x06,
              (2448, 1): 0x0F, (2448, 2): 0x11}
AUDIO = 0x07


def bcd(v):
    return ((v // 10) << 4) | (v % 10)


def msf(lba):
    f = lba + LEAD_IN
    return bytes([0, bcd(f // 4500), bcd(f // 75 % 60), bcd(f % 75)])


def chunk(name, data):
    return name + struct.pack('>I', len(data)) + data


def stored_sectors(src, src_sector, mode, store, skip):
    """The bytes of the sectors of SRC from sector skip on as the image keeps
    them, a batch at a time."""
    size = os.path.getsize(src)
    if size % src_sector:
        sys.exit('iso2nrg: %s is not a whole number of %d-byte sectors' % (src, src_sector))
    user = 16 if mode == 1 else 24
    cut = {2048: (0, 2048) if src_sector == 2048 else (user, user + 2048), 2336: (16, 2352), 2352: (0, 2352),
           2448: (0, 2448)}[store]
    with open(src, 'rb') as f:
        f.seek(skip * src_sector)
        while True:
            data = f.read(BATCH * src_sector)
            if not data:
                break
            yield b''.join(data[at + cut[0]:at + cut[1]] for at in range(0, len(data), src_sector))


def write(src, nrg, src_sector, mode, store, version, tao, pregap, audio_first):
    if (store, mode) not in MODE_CODES or (store > 2048 and src_sector == 2048) or (store == 2448 and src_sector != 2448):
        sys.exit('iso2nrg: cannot store %d-byte Mode %d sectors from %d-byte ones' % (store, mode, src_sector))
    gap = pregap  # on the disc, whether the image keeps it or not
    if tao:
        pregap = 0
    code = MODE_CODES[(store, mode)]
    wide = version == 2
    f = open(nrg, 'wb')
    # The tracks: (number, mode code, sector size, index 0, index 1, end, first address).
    tracks = []
    lba = 0
    if audio_first:
        # Audio needs no pregap of its own here: the disc's first 150 frames lie before address 0.
        f.write(bytes(2352 * audio_first))
        tracks.append((1, AUDIO, 2352, 0, 0, f.tell(), lba))
        lba += audio_first
    start = f.tell()
    for batch in stored_sectors(src, src_sector, mode, store, gap - pregap):
        f.write(batch)
    end = f.tell()
    sectors = (end - start) // store
    index1 = start + pregap * store
    # The first track's pregap lies before address 0, in the disc's first two
    # seconds; a later track's takes addresses of its own.
    if tracks:
        lba += gap
    tracks.append((len(tracks) + 1, code, store, start, index1, end, lba))
    first_track, last_track = tracks[0][0], tracks[-1][0]
    lead_out = lba + sectors - pregap

    chain = bytearray()
    if tao:
        entries = bytearray()
        for number, c, size, i0, i1, end, first in tracks:
            if wide:
                entries += struct.pack('>QQIIQ', i1, end - i1, c, first, 0)
            else:
                entries += struct.pack('>IIIII', i1, end - i1, c, first, 0)
        chain += chunk(b'ETN2' if wide else b'ETNF', bytes(entries))
    else:
        cue = bytearray()

        def point(ctrl, track, index, address):
            if wide:
                return struct.pack('>BBBBi', ctrl, track, index, 0, address)
            return bytes([ctrl, track, index, 0]) + msf(address)

        cue += point(0x41 if tracks[0][1] != AUDIO else 0x01, 0, 0, -LEAD_IN)
        for number, c, size, i0, i1, end, first in tracks:
            ctrl = 0x01 if c == AUDIO else 0x41
            cue += point(ctrl, bcd(number), 0, first - (i1 - i0) // size)
            cue += point(ctrl, bcd(number), 1, first)
        cue += point(0x41, 0xAA, 1, lead_out)
        chain += chunk(b'CUEX' if wide else b'CUES', bytes(cue))
        entries = bytearray()
        for number, c, size, i0, i1, end, first in tracks:
            entries += bytes(12) + struct.pack('>HB3s', size, c, b'\0\0\1')
            entries += struct.pack('>QQQ' if wide else '>III', i0, i1, end)
        head_len = 4 + 13 + 1 + 2 + 1 + 1
        size = head_len + len(entries)
        disc_type = 0x20 if mode == 2 else 0x00
        head = struct.pack('>I', size) + bytes(13) + b'\0' + struct.pack('>H', disc_type << 8 | 1)
        head += bytes([first_track, last_track])
        chain += chunk(b'DAOX' if wide else b'DAOI', head + bytes(entries))
    chain += chunk(b'SINF', struct.pack('>I', len(tracks)))
    chain += chunk(b'MTYP', struct.pack('>I', 1))
    chain += chunk(b'END!', b'')
    footer = b'NER5' + struct.pack('>Q', end) if wide else b'NERO' + struct.pack('>I', end)
    f.write(chain)
    f.write(footer)
    f.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('src')
    ap.add_argument('nrg')
    ap.add_argument('--src-sector', type=int, choices=(2048, 2352, 2448), required=True)
    ap.add_argument('--mode', type=int, choices=(1, 2), default=1)
    ap.add_argument('--store', type=int, choices=(2048, 2336, 2352, 2448))
    ap.add_argument('--version', type=int, choices=(1, 2), default=2)
    ap.add_argument('--tao', action='store_true')
    ap.add_argument('--pregap', type=int, default=0, help='sectors of SRC before the track (its pregap)')
    ap.add_argument('--audio-first', type=int, default=0, help='an audio track of that many sectors first')
    a = ap.parse_args()
    write(a.src, a.nrg, a.src_sector, a.mode, a.store or a.src_sector, a.version, a.tao, a.pregap, a.audio_first)


if __name__ == '__main__':
    main()
