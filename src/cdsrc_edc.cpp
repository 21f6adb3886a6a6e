/*
 * cdsrc_edc.cpp - the raw sector check and its EDC.
 *
 * The EDC runs over nearly every byte that a raw image copy reads, so it is
 * computed sixteen bytes at a time ("slicing by 16"): sixteen tables, made by
 * the compiler, each giving the CRC of one byte followed by 0 to 15 zero bytes.
 * No state but those constant tables.
 */
#include "cdsrc_edc.h"

#include <string.h>

namespace {

const uint32_t EDC_POLY = 0xD8018001u; /* reflected */
enum { SLICES = 16 };

struct edc_tables {
    uint32_t t[SLICES][256];
};

constexpr edc_tables make_tables()
{
    edc_tables r{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ ((c & 1) ? EDC_POLY : 0);
        r.t[0][n] = c;
    }
    for (int s = 1; s < SLICES; s++)
        for (uint32_t n = 0; n < 256; n++) r.t[s][n] = (r.t[s - 1][n] >> 8) ^ r.t[0][r.t[s - 1][n] & 0xFF];
    return r;
}

constexpr edc_tables tables = make_tables();

inline uint32_t le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* Offsets in a raw sector. */
enum { SYNC_LEN = 12, MODE_BYTE = 15, SUBMODE = 18, SUBMODE_FORM2 = 0x20 };
enum { M1_EDC = 2064, M2_EDC_FROM = 16, M2_EDC = 2072 };
const unsigned char sync_pattern[SYNC_LEN] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};

} // namespace

uint32_t cd_edc(const void *data, size_t len)
{
    const unsigned char *p = (const unsigned char *)data;
    const auto &T = tables.t;
    uint32_t crc = 0;
    for (; len >= SLICES; p += SLICES, len -= SLICES) {
        uint32_t a = crc ^ le32(p), b = le32(p + 4), c = le32(p + 8), d = le32(p + 12);
        crc = T[15][a & 0xFF] ^ T[14][(a >> 8) & 0xFF] ^ T[13][(a >> 16) & 0xFF] ^ T[12][a >> 24] ^
              T[11][b & 0xFF] ^ T[10][(b >> 8) & 0xFF] ^ T[9][(b >> 16) & 0xFF] ^ T[8][b >> 24] ^
              T[7][c & 0xFF] ^ T[6][(c >> 8) & 0xFF] ^ T[5][(c >> 16) & 0xFF] ^ T[4][c >> 24] ^
              T[3][d & 0xFF] ^ T[2][(d >> 8) & 0xFF] ^ T[1][(d >> 16) & 0xFF] ^ T[0][d >> 24];
    }
    for (; len > 0; p++, len--) crc = (crc >> 8) ^ T[0][(crc ^ *p) & 0xFF];
    return crc;
}

uint32_t cd_edc_bitwise(const void *data, size_t len)
{
    const unsigned char *p = (const unsigned char *)data;
    uint32_t crc = 0;
    for (size_t i = 0; i < len; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ ((crc & 1) ? EDC_POLY : 0);
    }
    return crc;
}

int cd_raw_sector_ok(const unsigned char *s, int mode)
{
    if (memcmp(s, sync_pattern, SYNC_LEN) != 0 || s[MODE_BYTE] != mode) return 0;
    if (mode == 1) {
        uint32_t stored = le32(s + M1_EDC);
        return stored == 0 || cd_edc(s, M1_EDC) == stored;
    }
    /* A Form 2 sector holds 2324 bytes of data, not 2048: reading it as Form 1
       would copy other bytes. */
    if (s[SUBMODE] & SUBMODE_FORM2) return 0;
    uint32_t stored = le32(s + M2_EDC);
    return stored == 0 || cd_edc(s + M2_EDC_FROM, M2_EDC - M2_EDC_FROM) == stored;
}
