#!/usr/bin/env python3
"""check_raw.py BIN ISO MODE - checks a raw image of 2352-byte sectors against
the ISO it was made from, without sharing code with the tool that made it: the
sync pattern, the header's address and mode, the Mode 2 Form 1 subheader, the
user data, the EDC (a bitwise CRC) and the P and Q parity (by their syndromes
over GF(2^8), which are zero for every codeword of a correct sector).
Checks every sector of a small image; exits 1 at the first fault."""
import sys

EXP = [0] * 512
x = 1
for i in range(255):
    EXP[i] = x
    x <<= 1
    if x & 0x100:
        x ^= 0x11D
for i in range(255, 512):
    EXP[i] = EXP[i - 255]
LOG = [0] * 256
for i in range(255):
    LOG[EXP[i]] = i


def mul_alpha_pow(v, p):
    return 0 if v == 0 else EXP[LOG[v] + p % 255]


def edc(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ (0xD8018001 if crc & 1 else 0)
    return crc


def codewords_ok(region, majors, minors, major_mult, minor_inc, parity_at):
    size = majors * minors
    for m in range(majors):
        word = []
        index = (m >> 1) * major_mult + (m & 1)
        for _ in range(minors):
            word.append(region[index])
            index = (index + minor_inc) % size
        word += [region[parity_at + m], region[parity_at + majors + m]]
        n = len(word)
        s0 = s1 = 0
        for k, c in enumerate(word):
            s0 ^= c
            s1 ^= mul_alpha_pow(c, n - 1 - k)
        if s0 or s1:
            return False
    return True


def bcd(v):
    return (v // 10) * 16 + v % 10


def main():
    raw = open(sys.argv[1], 'rb').read()
    iso = open(sys.argv[2], 'rb').read()
    mode = int(sys.argv[3])
    if len(raw) != len(iso) // 2048 * 2352:
        sys.exit('size: %d raw bytes for %d ISO bytes' % (len(raw), len(iso)))
    for n in range(len(iso) // 2048):
        s = raw[n * 2352:(n + 1) * 2352]
        a = n + 150
        fault = None
        if s[:12] != b'\0' + b'\xff' * 10 + b'\0':
            fault = 'sync'
        elif list(s[12:16]) != [bcd(a // 4500), bcd(a // 75 % 60), bcd(a % 75), mode]:
            fault = 'header'
        elif mode == 2 and (s[16:20] != s[20:24] or s[18] & 0x20):
            fault = 'subheader (not Form 1)'
        elif s[16 + 8 * (mode == 2):][:2048] != iso[n * 2048:(n + 1) * 2048]:
            fault = 'user data'
        elif mode == 1 and (int.from_bytes(s[2064:2068], 'little') != edc(s[:2064]) or any(s[2068:2076])):
            fault = 'EDC'
        elif mode == 2 and int.from_bytes(s[2072:2076], 'little') != edc(s[16:2072]):
            fault = 'EDC'
        else:
            region = bytearray(s[12:])
            if mode == 2:
                region[0:4] = b'\0\0\0\0'
            if not codewords_ok(region, 86, 24, 2, 86, 2064):
                fault = 'P parity'
            elif not codewords_ok(region, 52, 43, 86, 88, 2236):
                fault = 'Q parity'
        if fault:
            sys.exit('%s: sector %d: bad %s' % (sys.argv[1], n, fault))
    print('%s: %d sectors, Mode %d, all good' % (sys.argv[1], len(iso) // 2048, mode))


if __name__ == '__main__':
    main()
