/*
 * cdsrc_edc.cpp - the raw sector check and its EDC.
 *
 * The EDC runs over nearly every byte that a raw image copy reads, so it has a
 * fast path. On x86-64 processors with carry-less multiplication (PCLMULQDQ,
 * asked of the processor at every call) the data are folded 64 bytes at a time
 * into a 128-bit remainder that is then reduced to 32 bits (Barrett reduction);
 * where the processor multiplies four such lanes at once (VPCLMULQDQ on 512-bit
 * registers) the first part folds 256 bytes at a time. The constants are
 * powers of x modulo the polynomial, worked out by the compiler. Elsewhere, and for the last bytes, the CRC is taken sixteen bytes
 * at a time ("slicing by 16") with sixteen tables, also made by the compiler,
 * each giving the CRC of one byte followed by 0 to 15 zero bytes.
 * No state but those constants. The test build can ask which path a set of
 * features would take, and run any path (cdsrc_edc.h).
 */
#include "cdsrc_edc.h"

#include <string.h>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define EDC_CLMUL 1
#include <immintrin.h>
#endif

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

/* ---- carry-less multiplication ---- */

#ifdef EDC_CLMUL

/* Powers of x modulo the polynomial, in the bit-reflected form that the folding
   takes: P is the polynomial in normal form with its x^32 term. */
const uint64_t EDC_P = 0x18001801Bull; /* 0xD8018001 reflected back, with x^32 */

constexpr uint64_t reflect(uint64_t v, int bits)
{
    uint64_t r = 0;
    for (int i = 0; i < bits; i++) r |= ((v >> i) & 1) << (bits - 1 - i);
    return r;
}
/* (x^n mod P), reflected over 32 bits and shifted left by one. */
constexpr uint64_t fold_key(int n)
{
    uint64_t r = 1;
    for (int i = 0; i < n; i++) {
        r <<= 1;
        if (r >> 32) r ^= EDC_P;
    }
    return reflect(r, 32) << 1;
}
/* floor(x^64 / P), reflected over 33 bits: the Barrett constant. */
constexpr uint64_t barrett_mu()
{
    uint64_t q = 0;
    unsigned __int128 r = (unsigned __int128)1 << 64;
    for (int i = 64; i >= 32; i--) {
        if ((r >> i) & 1) {
            q |= (uint64_t)1 << (i - 32);
            r ^= (unsigned __int128)EDC_P << (i - 32);
        }
    }
    return reflect(q, 33);
}

alignas(64) constexpr uint64_t k16[8] = {fold_key(16 * 128 + 32), fold_key(16 * 128 - 32),
                                         fold_key(16 * 128 + 32), fold_key(16 * 128 - 32),
                                         fold_key(16 * 128 + 32), fold_key(16 * 128 - 32),
                                         fold_key(16 * 128 + 32), fold_key(16 * 128 - 32)}; /* 256 bytes on */
alignas(64) constexpr uint64_t k4x4[8] = {fold_key(4 * 128 + 32), fold_key(4 * 128 - 32),
                                          fold_key(4 * 128 + 32), fold_key(4 * 128 - 32),
                                          fold_key(4 * 128 + 32), fold_key(4 * 128 - 32),
                                          fold_key(4 * 128 + 32), fold_key(4 * 128 - 32)}; /* 64 bytes on */
alignas(16) constexpr uint64_t k1k2[2] = {fold_key(4 * 128 + 32), fold_key(4 * 128 - 32)}; /* 64 bytes on */
alignas(16) constexpr uint64_t k3k4[2] = {fold_key(128 + 32), fold_key(128 - 32)};         /* 16 bytes on */
alignas(16) constexpr uint64_t k5k0[2] = {fold_key(64), 0};                                 /* 128 to 64 bits */
alignas(16) constexpr uint64_t poly_mu[2] = {reflect(EDC_P, 33), barrett_mu()};

/* Folds the 128-bit remainder x over 16 * distance bytes (the keys of that
   distance) and adds the block y. */
__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i keys, __m128i y)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, keys, 0x00), _mm_clmulepi64_si128(x, keys, 0x11)), y);
}

#define LOAD(p) _mm_loadu_si128((const __m128i *)(p))

/* The CRC register from four lanes that stand for the bytes before p, and
   the len bytes from p (a multiple of 16). */
__attribute__((target("pclmul,sse2"))) uint32_t edc_lanes(__m128i x1, __m128i x2, __m128i x3, __m128i x4,
                                                        const unsigned char *p, size_t len)
{
    __m128i x0 = _mm_load_si128((const __m128i *)k1k2);
    for (; len >= 64; p += 64, len -= 64) {
        x1 = fold(x1, x0, LOAD(p + 0x00));
        x2 = fold(x2, x0, LOAD(p + 0x10));
        x3 = fold(x3, x0, LOAD(p + 0x20));
        x4 = fold(x4, x0, LOAD(p + 0x30));
    }
    /* The four lanes into one, then the rest 16 bytes at a time. */
    x0 = _mm_load_si128((const __m128i *)k3k4);
    x1 = fold(fold(fold(x1, x0, x2), x0, x3), x0, x4);
    for (; len >= 16; p += 16, len -= 16) x1 = fold(x1, x0, LOAD(p));
    /* 128 bits to 64, then the Barrett reduction to 32. */
    x2 = _mm_clmulepi64_si128(x1, x0, 0x10);
    x3 = _mm_setr_epi32(~0, 0, ~0, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x0 = _mm_load_si128((const __m128i *)k5k0);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, x3);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, x0, 0x00), x2);
    x0 = _mm_load_si128((const __m128i *)poly_mu);
    x2 = _mm_and_si128(x1, x3);
    x2 = _mm_clmulepi64_si128(x2, x0, 0x10);
    x2 = _mm_and_si128(x2, x3);
    x2 = _mm_clmulepi64_si128(x2, x0, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return (uint32_t)_mm_cvtsi128_si32(_mm_srli_si128(x1, 4));
}

/* The CRC register after len bytes (64 or more, a multiple of 16) from crc:
   four lanes of 16 bytes, each folded 64 bytes on, then folded into one. */
__attribute__((target("pclmul,sse2"))) uint32_t edc_clmul(const unsigned char *p, size_t len, uint32_t crc)
{
    return edc_lanes(_mm_xor_si128(LOAD(p), _mm_cvtsi32_si128((int)crc)), LOAD(p + 0x10), LOAD(p + 0x20),
                     LOAD(p + 0x30), p + 64, len - 64);
}

#define VTARGET __attribute__((target("avx512f,vpclmulqdq,pclmul,sse2")))

/* fold for four lanes at once: x folded on by the keys' distance, plus y. */
VTARGET inline __m512i fold4(__m512i x, __m512i keys, __m512i y)
{
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, keys, 0x00), _mm512_clmulepi64_epi128(x, keys, 0x11),
                                     y, 0x96); /* a ^ b ^ c */
}

/* edc_clmul for 256 bytes or more: four registers of four lanes each fold
   256 bytes on, then into one register, whose lanes go on as edc_clmul's. */
VTARGET uint32_t edc_vclmul(const unsigned char *p, size_t len, uint32_t crc)
{
    __m512i z0 = _mm512_xor_si512(_mm512_loadu_si512(p), _mm512_maskz_set1_epi32(1, (int)crc));
    __m512i z1 = _mm512_loadu_si512(p + 64), z2 = _mm512_loadu_si512(p + 128), z3 = _mm512_loadu_si512(p + 192);
    __m512i k = _mm512_load_si512(k16);
    for (p += 256, len -= 256; len >= 256; p += 256, len -= 256) {
        z0 = fold4(z0, k, _mm512_loadu_si512(p));
        z1 = fold4(z1, k, _mm512_loadu_si512(p + 64));
        z2 = fold4(z2, k, _mm512_loadu_si512(p + 128));
        z3 = fold4(z3, k, _mm512_loadu_si512(p + 192));
    }
    k = _mm512_load_si512(k4x4);
    z0 = fold4(fold4(fold4(z0, k, z1), k, z2), k, z3);
    for (; len >= 64; p += 64, len -= 64) z0 = fold4(z0, k, _mm512_loadu_si512(p));
    alignas(64) __m128i lane[4];
    _mm512_store_si512(lane, z0);
    return edc_lanes(lane[0], lane[1], lane[2], lane[3], p, len);
}
#endif

inline uint32_t le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* Offsets in a raw sector. */
enum { SYNC_LEN = 12, MODE_BYTE = 15, SUBMODE = 18, SUBMODE_FORM2 = 0x20 };
enum { M1_EDC = 2064, M2_EDC_FROM = 16, M2_EDC = 2072 };
const unsigned char sync_pattern[SYNC_LEN] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};

} // namespace

/* The features of the processor that the fast paths need, as EDC_CPU_* bits.
   Asked at every call: a few loads of what the runtime learned at start-up. */
static unsigned cpu_features(void)
{
    unsigned f = 0;
#ifdef EDC_CLMUL
    if (__builtin_cpu_supports("pclmul")) f |= EDC_CPU_PCLMUL;
    if (__builtin_cpu_supports("avx512f")) f |= EDC_CPU_AVX512F;
    if (__builtin_cpu_supports("vpclmulqdq")) f |= EDC_CPU_VPCLMULQDQ;
#endif
    return f;
}

/* The path for len bytes on a processor with the features cpu. The 512-bit
   path runs AVX-512F instructions and VPCLMULQDQ on them, and finishes on the
   128-bit one: a processor that lacks any of the three would stop at an
   illegal instruction. */
static int edc_path(unsigned cpu, size_t len)
{
    const unsigned wide = EDC_CPU_PCLMUL | EDC_CPU_AVX512F | EDC_CPU_VPCLMULQDQ;
#ifdef EDC_CLMUL
    if (len >= 256 && (cpu & wide) == wide) return EDC_PATH_VCLMUL;
    if (len >= 64 && (cpu & EDC_CPU_PCLMUL)) return EDC_PATH_CLMUL;
#else
    (void)cpu, (void)len, (void)wide;
#endif
    return EDC_PATH_TABLES;
}

/* The EDC of len bytes through the path (the tables take any bytes that the
   path leaves over). */
static uint32_t edc_through(int path, const void *data, size_t len)
{
    const unsigned char *p = (const unsigned char *)data;
    const auto &T = tables.t;
    uint32_t crc = 0;
#ifdef EDC_CLMUL
    if (path != EDC_PATH_TABLES) {
        size_t n = len & ~(size_t)15;
        crc = path == EDC_PATH_VCLMUL ? edc_vclmul(p, n, crc) : edc_clmul(p, n, crc);
        p += n;
        len -= n;
    }
#else
    (void)path;
#endif
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

uint32_t cd_edc(const void *data, size_t len) { return edc_through(edc_path(cpu_features(), len), data, len); }

#ifdef KELP_FAULTS
unsigned cd_edc_cpu(void) { return cpu_features(); }
int cd_edc_path(unsigned cpu, size_t len) { return edc_path(cpu, len); }
uint32_t cd_edc_through(int path, const void *data, size_t len) { return edc_through(path, data, len); }
#endif

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

int cd_mode2_sector_ok(const unsigned char *s)
{
    /* A Form 2 sector holds 2324 bytes of data, not 2048: reading it as Form 1
       would copy other bytes. */
    if (s[SUBMODE - M2_EDC_FROM] & SUBMODE_FORM2) return 0;
    uint32_t stored = le32(s + M2_EDC - M2_EDC_FROM);
    return stored == 0 || cd_edc(s, M2_EDC - M2_EDC_FROM) == stored;
}

int cd_raw_sector_ok(const unsigned char *s, int mode)
{
    if (memcmp(s, sync_pattern, SYNC_LEN) != 0 || s[MODE_BYTE] != mode) return 0;
    if (mode == 1) {
        uint32_t stored = le32(s + M1_EDC);
        return stored == 0 || cd_edc(s, M1_EDC) == stored;
    }
    return cd_mode2_sector_ok(s + M2_EDC_FROM);
}
