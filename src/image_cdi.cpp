/*
 * image_cdi.cpp - DiscJuggler images (.cdi): where the first data track lies
 * in the image itself, which holds the sectors first and its tables after them.
 *
 * The layout is described in the libmirage image headers and in the public
 * notes on disc image formats (which give the tables of version 3.5), and by
 * the published readers of the versions 2, 3 and 3.5. Every integer is
 * little-endian.
 *   footer, the last 8 bytes: version (4: 0x80000004 for 2, 0x80000005 for 3,
 *     0x80000006 for 3.5), then where the tables start: from the file's start
 *     in versions 2 and 3, as a count back from the file's end in 3.5
 *   tables: session count (2), then for each session its track count (2) and
 *     its tracks, then 12 bytes (13 after version 2) to the next session's
 *     count; a session of no tracks (an open disc) is only those bytes
 *   track: a 4-byte word, 8 more bytes when it is not 0 (written by later
 *     versions); the start mark 00 00 01 00 00 00 FF FF FF FF twice; 4 bytes;
 *     the length (1) of the original image's path and the path itself (never
 *     read: the sectors are in this file); 19 bytes; a 4-byte word, 8 more
 *     bytes when it is 0x80000000 (version 4 of the program); the index count
 *     (2) and each index's length (4 each: the first is the pregap); the
 *     count of CD-Text blocks (4), each 18 fields of a length byte and its
 *     bytes; 2 bytes; the track mode (4: 0 audio, 1 Mode 1, 2 Mode 2); 12
 *     bytes; the track's start on the disc (4, its pregap's first frame,
 *     counted from 00:00:00); its length in sectors with the pregap (4); 16
 *     bytes; the read mode (4: 0 2048-byte sectors, 1 2336, 2 2352, 3 2352
 *     with 16 bytes of Q subchannel, 4 2352 with 96 bytes); 29 bytes; after
 *     version 2, 5 bytes and a 4-byte word, 78 more bytes when it is all ones
 * The tracks' sectors follow each other in the file from its start, pregaps
 * included, in the order of the tables. Ignored: the paths, ISRCs, CD-Text,
 * session types and the disc block after the sessions.
 *
 * An image that lies is refused with one line: a footer of another version, a
 * table start past the footer, a table that runs out, a missing start mark,
 * absurd counts, modes or sizes, tracks that overlap on the disc, no data
 * track, a data track whose sectors run into the tables.
 */
#include "image_formats.h"

#include "image_descriptor.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum : uint32_t { CDI_V2 = 0x80000004u, CDI_V3 = 0x80000005u, CDI_V35 = 0x80000006u };
enum { FOOTER_SIZE = 8, FOOTER_VERSION = 0, FOOTER_TABLES = 4 };
/* Tables of 99 tracks with the longest paths and CD-Text stay far below. */
static const uint64_t TABLES_CAP = 4u << 20;
enum { MAX_SESSIONS = 99, MAX_TRACKS = 99, MAX_INDICES = 99, MAX_CDTEXT = 8, CDTEXT_FIELDS = 18 };
/* The stretches of a track's table that are skipped, in their order. */
enum {
    TRACK_EXTRA = 8,      /* after a first word that is not 0 */
    BEFORE_NAME = 4,      /* three bytes and the disc's track count */
    AFTER_NAME = 19,      /* up to the word that marks the 8 bytes of version 4 */
    DJ4_EXTRA = 8,        /* capacity and medium type */
    AFTER_CDTEXT = 2,
    AFTER_MODE = 12,      /* the mode's other bytes, session and track numbers */
    AFTER_LENGTH = 16,
    AFTER_READ_MODE = 29, /* control, the length again, ISRC and its flag */
    BEFORE_DJ3 = 5,       /* after version 2: up to the word that marks 78 more bytes */
    DJ3_EXTRA = 78,
    SESSION_TAIL = 12     /* after a session's last track, one byte more after version 2 */
};
static const uint32_t DJ4_MARK = 0x80000000u, DJ3_MARK = 0xFFFFFFFFu;
static const unsigned char START_MARK[10] = {0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
static const uint32_t SECTOR_SIZES[] = {2048, 2336, 2352, 2368, 2448};
enum { READ_MODE_Q16 = 3 };

/* A reader over the tables that cannot run past them: once a read would, ok
   drops to 0 and every further read gives zeros. */
typedef struct cursor {
    const unsigned char *p;
    uint64_t size, at;
    int ok;
} cursor;

static const unsigned char *take(cursor *c, uint64_t n)
{
    static const unsigned char zeros[10] = {0};
    if (!c->ok || n > c->size - c->at) {
        c->ok = 0;
        return zeros;
    }
    const unsigned char *r = c->p + c->at;
    c->at += n;
    return r;
}
static void skip(cursor *c, uint64_t n) { take(c, n); }
static uint32_t u8(cursor *c) { return *take(c, 1); }
static uint32_t u16(cursor *c) { return get_le16(take(c, 2)); }
static uint32_t u32(cursor *c) { return get_le32(take(c, 4)); }

typedef struct cdi_track {
    uint32_t mode, read_mode, pregap, start, total;
} cdi_track;

/* Reads one track's table; 0 after its line. */
static int read_track(const char *path, cursor *c, uint32_t version, int number, cdi_track *t)
{
    if (u32(c) != 0) skip(c, TRACK_EXTRA);
    for (int i = 0; i < 2; i++)
        if (memcmp(take(c, sizeof START_MARK), START_MARK, sizeof START_MARK) != 0 && c->ok) {
            setup_log("%s: track %d has no start mark at %llu", path, number, (unsigned long long)c->at);
            return 0;
        }
    skip(c, BEFORE_NAME);
    skip(c, u8(c)); /* the original image's path */
    skip(c, AFTER_NAME);
    if (u32(c) == DJ4_MARK) skip(c, DJ4_EXTRA);
    uint32_t indices = u16(c);
    if (c->ok && (indices < 2 || indices > MAX_INDICES)) {
        setup_log("%s: track %d has %u indices", path, number, indices);
        return 0;
    }
    t->pregap = u32(c);
    skip(c, (uint64_t)(indices - 1) * 4);
    uint32_t cdtext = u32(c);
    if (c->ok && cdtext > MAX_CDTEXT) {
        setup_log("%s: track %d has %u CD-Text blocks", path, number, cdtext);
        return 0;
    }
    for (uint32_t b = 0; b < cdtext; b++)
        for (int f = 0; f < CDTEXT_FIELDS; f++) skip(c, u8(c));
    skip(c, AFTER_CDTEXT);
    t->mode = u32(c);
    skip(c, AFTER_MODE);
    t->start = u32(c);
    t->total = u32(c);
    skip(c, AFTER_LENGTH);
    t->read_mode = u32(c);
    skip(c, AFTER_READ_MODE);
    if (version != CDI_V2) {
        skip(c, BEFORE_DJ3);
        if (u32(c) == DJ3_MARK) skip(c, DJ3_EXTRA);
    }
    if (!c->ok) {
        setup_log("%s: the table of track %d runs past the end of the tables", path, number);
        return 0;
    }
    if (t->mode > 2 || t->read_mode >= sizeof SECTOR_SIZES / sizeof SECTOR_SIZES[0]) {
        setup_log("%s: track %d has mode %u and read mode %u", path, number, t->mode, t->read_mode);
        return 0;
    }
    if (t->total == 0 || t->pregap >= t->total || t->start > IMAGE_MAX_SECTORS ||
        t->total > IMAGE_MAX_SECTORS - t->start) {
        setup_log("%s: track %d has %u sectors (%u of pregap) from frame %u", path, number, t->total, t->pregap,
                  t->start);
        return 0;
    }
    return 1;
}

/* Walks the sessions' tables to the first data track, placing each track's
   sectors in the file; data_end is where the sectors must end (the tables'
   start). 0 after its line. */
static int cdi_walk(const char *path, cursor *c, uint32_t version, uint64_t data_end, image_track *out)
{
    uint32_t sessions = u16(c);
    if (sessions == 0 || sessions > MAX_SESSIONS) {
        setup_log("%s: %u sessions", path, sessions);
        return 0;
    }
    uint64_t pos = 0, disc_end = 0;
    int number = 0;
    for (uint32_t s = 0; s < sessions; s++) {
        uint32_t tracks = u16(c);
        if (!c->ok || tracks > (uint32_t)(MAX_TRACKS - number)) {
            setup_log("%s: session %u has %u tracks", path, s + 1, tracks);
            return 0;
        }
        for (uint32_t i = 0; i < tracks; i++) {
            cdi_track t;
            if (!read_track(path, c, version, ++number, &t)) return 0;
            uint32_t size = SECTOR_SIZES[t.read_mode];
            uint64_t bytes = (uint64_t)t.total * size;
            if (t.start < disc_end) {
                setup_log("%s: track %d overlaps the track before it on the disc", path, number);
                return 0;
            }
            if (bytes > data_end - pos) {
                setup_log("%s: track %d runs past the sectors into the tables", path, number);
                return 0;
            }
            if (t.mode != 0) {
                if (t.read_mode == READ_MODE_Q16 || t.start + t.pregap < (uint32_t)IMAGE_LEAD_IN) {
                    setup_log("%s: data track %d has read mode %u from frame %u", path, number, t.read_mode,
                              t.start + t.pregap);
                    return 0;
                }
                out->start = pos + (uint64_t)t.pregap * size;
                out->first_lba = t.start + t.pregap - IMAGE_LEAD_IN;
                out->sector_size = size;
                out->mode = (int)t.mode;
                return 1;
            }
            pos += bytes;
            disc_end = (uint64_t)t.start + t.total;
        }
        skip(c, SESSION_TAIL + (version != CDI_V2));
    }
    setup_log("%s: no data track", path);
    return 0;
}

int cdi_read(const char *descriptor, image_track *out)
{
    uint64_t size = 0, n = 0;
    if (!data_file_size(descriptor, descriptor, &size)) return 0;
    if (size < FOOTER_SIZE) {
        setup_log("%s: too short for a DiscJuggler image", descriptor);
        return 0;
    }
    unsigned char *footer = descriptor_tail(descriptor, size - FOOTER_SIZE, FOOTER_SIZE, &n);
    if (!footer) return 0;
    uint32_t version = get_le32(footer + FOOTER_VERSION), at = get_le32(footer + FOOTER_TABLES);
    free(footer);
    if (version != CDI_V2 && version != CDI_V3 && version != CDI_V35) {
        setup_log("%s: not a DiscJuggler image of version 2, 3 or 3.5 (0x%08X)", descriptor, version);
        return 0;
    }
    /* Version 3.5 counts the tables' start back from the end, footer included. */
    uint64_t tables = version == CDI_V35 ? (at <= size ? size - at : UINT64_MAX) : at;
    if (at == 0 || tables >= size - FOOTER_SIZE) {
        setup_log("%s: its tables would start at %u, past its footer", descriptor, at);
        return 0;
    }
    if (snprintf(out->file, sizeof out->file, "%s", descriptor) >= (int)sizeof out->file) return 0;
    unsigned char *t = descriptor_tail(descriptor, tables, TABLES_CAP, &n);
    if (!t) return 0;
    cursor c = {t, n - FOOTER_SIZE, 0, 1};
    int ok = cdi_walk(descriptor, &c, version, tables, out);
    free(t);
    return ok;
}
