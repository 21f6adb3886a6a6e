/*
 * image_nrg.cpp - Nero images (.nrg): the disc's sectors first, then a chain
 * of chunks that describes them, then a footer that says where the chain
 * begins. Everything is big-endian.
 *
 * The footer: the last 12 bytes "NER5" and a 64-bit offset of the chain
 * (version 2), else the last 8 bytes "NERO" and a 32-bit offset (version 1).
 * A chunk: a 4-byte name, a 32-bit size, that many bytes. Read here:
 *   CUES / CUEX  the cue points, 8 bytes each: control and address, track and
 *                index (BCD), a zero byte, then the time as 00 MM SS FF in BCD
 *                (CUES) or a signed 32-bit disc address (CUEX); index 1 of a
 *                track gives its first address.
 *   DAOI / DAOX  a disc-at-once image: the chunk's size again (4), a 13-byte
 *                catalogue number, a byte, a 16-bit disc type, the first and
 *                last track (22 bytes), then per track a 12-byte ISRC, the
 *                16-bit sector size, the mode code, 3 bytes, and the offsets of
 *                index 0, index 1 and the track's end (32-bit in DAOI, a
 *                30-byte entry; 64-bit in DAOX, 42 bytes).
 *   ETNF / ETN2  a track-at-once image: per track its offset and length in
 *                the file (32-bit; ETN2 64-bit), the mode code, its first disc
 *                address (32-bit) and a zero field (32-bit; ETN2 64-bit):
 *                20 or 32 bytes.
 *   END!         the end of the chain.
 * Passed over: SINF (tracks per session), MTYP (media type), CDTX (CD-TEXT),
 * DINF, TOCT, RELO and any other chunk. A chain may hold both a DAO and an
 * ETN table; the DAO one is taken. The layout is the one the public notes on
 * disc image formats describe.
 *
 * The data file is the image itself. The first data track (a mode code that
 * is not audio) is the one read: its index 1 offset, cue address, sector size
 * and mode. Every offset must lie before the chain and the tracks must follow
 * each other without overlap; the chain must fit between its start and the
 * footer and end with END!.
 *
 * No state; one thread at a time.
 */
#include "image_formats.h"

#include "image_descriptor.h"
#include "platform.h"
#include "setup_log.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { FOOTER_V2 = 12, FOOTER_V1 = 8, CHUNK_HEAD = 8, CUE_POINT = 8 };
enum { DAO_HEAD = 22, DAOI_TRACK = 30, DAOX_TRACK = 42, ETNF_TRACK = 20, ETN2_TRACK = 32 };
/* Offsets in a DAO chunk's header and track entry. */
enum { DAO_FIRST = 20, DAO_LAST = 21, DT_SIZE = 12, DT_MODE = 14, DT_INDEX0 = 18 };
/* A chain is a few hundred bytes; one this long is not a Nero image's. */
static const uint64_t CHAIN_MAX = 1u << 20;
enum { LEAD_IN = 150, MAX_TRACK = 99 };

/* What a mode code stores: bytes per sector and the mode, 0 for audio. */
static const struct {
    unsigned char code;
    uint32_t size;
    int mode;
} modes[] = {
    {0x00, 2048, 1}, {0x02, 2048, 2}, {0x03, 2336, 2}, {0x05, 2352, 1}, {0x06, 2352, 2},
    {0x07, 2352, 0}, {0x0F, 2448, 1}, {0x10, 2448, 0}, {0x11, 2448, 2},
};

/* A BCD byte's value, or -1. */
static int bcd(unsigned char b)
{
    return (b >> 4) < 10 && (b & 15) < 10 ? (b >> 4) * 10 + (b & 15) : -1;
}

typedef struct chain {
    const unsigned char *cue, *dao, *etn; /* each chunk's data, or none */
    uint32_t cue_len, dao_len, etn_len;
    int cue_x, dao_x, etn_2;              /* the 64-bit (or address) variants */
} chain;

/* The chunks of the chain in buf; 0 after a line. */
static int walk_chain(const char *path, const unsigned char *buf, uint64_t len, chain *c)
{
    memset(c, 0, sizeof *c);
    for (uint64_t pos = 0;;) {
        if (len - pos < CHUNK_HEAD) {
            setup_log("the chunks of %s end without END!", path);
            return 0;
        }
        const unsigned char *h = buf + pos;
        uint32_t size = get_be32(h + 4);
        if (size > len - pos - CHUNK_HEAD) {
            setup_log("a chunk of %s runs past its footer", path);
            return 0;
        }
        const unsigned char *data = h + CHUNK_HEAD;
        if (!memcmp(h, "END!", 4)) return 1;
        if (!memcmp(h, "CUES", 4) || !memcmp(h, "CUEX", 4)) {
            c->cue = data, c->cue_len = size, c->cue_x = h[3] == 'X';
        } else if (!memcmp(h, "DAOI", 4) || !memcmp(h, "DAOX", 4)) {
            c->dao = data, c->dao_len = size, c->dao_x = h[3] == 'X';
        } else if (!memcmp(h, "ETNF", 4) || !memcmp(h, "ETN2", 4)) {
            c->etn = data, c->etn_len = size, c->etn_2 = h[3] == '2';
        }
        pos += CHUNK_HEAD + (uint64_t)size;
    }
}

/* The disc address of track's index 1 from the cue points; 0 after a line. */
static int cue_address(const char *path, const chain *c, int track, uint32_t *lba)
{
    if (!c->cue || c->cue_len % CUE_POINT) {
        setup_log("%s has no cue points for its disc-at-once tracks", path);
        return 0;
    }
    for (uint32_t at = 0; at < c->cue_len; at += CUE_POINT) {
        const unsigned char *p = c->cue + at;
        if (bcd(p[1]) != track || bcd(p[2]) != 1) continue;
        long long a;
        if (c->cue_x) {
            a = (int32_t)get_be32(p + 4);
        } else {
            int m = bcd(p[5]), s = bcd(p[6]), f = bcd(p[7]);
            if (m < 0 || s < 0 || s >= 60 || f < 0 || f >= 75) break;
            a = ((long long)m * 60 + s) * 75 + f - LEAD_IN;
        }
        if (a < 0) break;
        *lba = (uint32_t)a;
        return 1;
    }
    setup_log("%s gives no address for track %d", path, track);
    return 0;
}

/* Fills the mode of code; 0 for a code not known. */
static int mode_of(unsigned code, uint32_t *size, int *mode)
{
    for (auto &m : modes) {
        if (m.code == code) {
            *size = m.size;
            *mode = m.mode;
            return 1;
        }
    }
    return 0;
}

/* 1 when a track from..to lies in the data, after the one before it (which
   ended at *prev_end, moved on to to); 0 after a line. */
static int track_fits(const char *path, int track, uint64_t from, uint64_t to, uint64_t data_end, uint64_t *prev_end)
{
    if (from < *prev_end || from > to || to > data_end) {
        setup_log("track %d of %s lies outside its data or over another track", track, path);
        return 0;
    }
    *prev_end = to;
    return 1;
}

/* The first data track of a disc-at-once table. */
static int read_dao(const char *path, const chain *c, uint64_t data_end, image_track *out)
{
    uint32_t entry = c->dao_x ? DAOX_TRACK : DAOI_TRACK;
    if (c->dao_len < DAO_HEAD) {
        setup_log("the track table of %s is cut short", path);
        return 0;
    }
    int first = c->dao[DAO_FIRST], last = c->dao[DAO_LAST];
    if (first < 1 || last < first || last > MAX_TRACK || c->dao_len < DAO_HEAD + (uint32_t)(last - first + 1) * entry) {
        setup_log("%s lists tracks %d to %d in a table of %u bytes", path, first, last, (unsigned)c->dao_len);
        return 0;
    }
    uint64_t prev_end = 0;
    for (int t = first; t <= last; t++) {
        const unsigned char *e = c->dao + DAO_HEAD + (size_t)(t - first) * entry;
        const unsigned char *o = e + DT_INDEX0;
        uint64_t i0 = c->dao_x ? get_be64(o) : get_be32(o), i1 = c->dao_x ? get_be64(o + 8) : get_be32(o + 4),
                 end = c->dao_x ? get_be64(o + 16) : get_be32(o + 8);
        uint32_t size = get_be16(e + DT_SIZE), code_size = 0;
        int mode = -1;
        /* The pregap (index 0 to 1), then the track proper (index 1 to its end). */
        if (!track_fits(path, t, i0, i1, data_end, &prev_end) || !track_fits(path, t, i1, end, data_end, &prev_end))
            return 0;
        if (!mode_of(e[DT_MODE], &code_size, &mode)) mode = -1;
        if (mode == 0) continue; /* audio */
        if (mode < 0) mode = 0;  /* a code not known: the layouts are probed */
        if (!cue_address(path, c, t, &out->first_lba)) return 0;
        out->start = i1, out->sector_size = size, out->mode = mode;
        return 1;
    }
    setup_log("%s has no data track", path);
    return 0;
}

/* The first data track of a track-at-once table. */
static int read_etn(const char *path, const chain *c, uint64_t data_end, image_track *out)
{
    uint32_t entry = c->etn_2 ? ETN2_TRACK : ETNF_TRACK;
    if (c->etn_len == 0 || c->etn_len % entry) {
        setup_log("the track table of %s is %u bytes, no whole number of tracks", path, (unsigned)c->etn_len);
        return 0;
    }
    uint64_t prev_end = 0;
    for (uint32_t at = 0; at < c->etn_len; at += entry) {
        const unsigned char *e = c->etn + at;
        uint64_t offset = c->etn_2 ? get_be64(e) : get_be32(e),
                 length = c->etn_2 ? get_be64(e + 8) : get_be32(e + 4);
        const unsigned char *rest = e + (c->etn_2 ? 16 : 8);
        uint32_t code = get_be32(rest), lba = get_be32(rest + 4), size = 0;
        int mode = 0;
        int t = (int)(at / entry + 1);
        uint64_t to = length > data_end ? data_end + 1 : offset + length; /* no wrap past 64 bits */
        if (!track_fits(path, t, offset, to, data_end, &prev_end)) return 0;
        if (code > 0xFF || !mode_of(code, &size, &mode)) {
            setup_log("track %d of %s has the mode code %u, which is not known", t, path, (unsigned)code);
            return 0;
        }
        if (mode == 0) continue;
        out->start = offset, out->first_lba = lba, out->sector_size = size, out->mode = mode;
        return 1;
    }
    setup_log("%s has no data track", path);
    return 0;
}

int nrg_read(const char *path, image_track *out)
{
    pf_file f = pf_open_read(path, 0);
    uint64_t size = 0;
    unsigned char foot[FOOTER_V2];
    uint32_t got = 0;
    if (f == PF_NO_FILE || !pf_file_size(f, &size)) {
        pf_close(f);
        setup_log("cannot read %s", path);
        return 0;
    }
    if (size < FOOTER_V2 || !pf_seek(f, size - FOOTER_V2) || !pf_read(f, foot, FOOTER_V2, &got) || got != FOOTER_V2) {
        pf_close(f);
        setup_log("%s is too short for a Nero image", path);
        return 0;
    }
    uint64_t chain_at, footer_at;
    if (!memcmp(foot, "NER5", 4)) {
        chain_at = get_be64(foot + 4), footer_at = size - FOOTER_V2;
    } else if (!memcmp(foot + 4, "NERO", 4)) {
        chain_at = get_be32(foot + 8), footer_at = size - FOOTER_V1;
    } else {
        pf_close(f);
        setup_log("%s has no Nero footer", path);
        return 0;
    }
    if (chain_at >= footer_at || footer_at - chain_at > CHAIN_MAX) {
        pf_close(f);
        setup_log("the chunks of %s do not lie before its footer", path);
        return 0;
    }
    uint32_t len = (uint32_t)(footer_at - chain_at);
    unsigned char *buf = (unsigned char *)malloc(len);
    int ok = buf && pf_seek(f, chain_at) && pf_read(f, buf, len, &got) && got == len;
    pf_close(f);
    if (!ok) {
        free(buf);
        setup_log("cannot read %s", path);
        return 0;
    }
    chain c;
    ok = walk_chain(path, buf, len, &c);
    if (ok && !c.dao && !c.etn) {
        setup_log("%s has no track table", path);
        ok = 0;
    }
    if (ok) ok = c.dao ? read_dao(path, &c, chain_at, out) : read_etn(path, &c, chain_at, out);
    free(buf);
    if (!ok) return 0;
    snprintf(out->file, sizeof out->file, "%s", path);
    return 1;
}
