/*
 * image_mds.cpp - the media descriptor (.mds) of Alcohol images: where the
 * first data track lies in its data file (.mdf).
 *
 * The layout is described in the libmirage image headers and in the public
 * notes on disc image formats. Every integer is little-endian; every offset
 * counts from the start of the .mds.
 *   header, 88 bytes: "MEDIA DESCRIPTOR" (16), format version (2, major 1),
 *     medium type (2 at 0x12: 0 CD-ROM, 1 CD-R, 2 CD-RW), session count (2 at
 *     0x14), offset of the first session block (4 at 0x50)
 *   session block, 24 bytes: count of its track blocks (1 at 0x0A), offset of
 *     the first (4 at 0x14)
 *   track block, 80 bytes: mode (1 at 0x00, low four bits), subchannel (1 at
 *     0x01: 0 none, 8 = 96 bytes after each sector), point (1 at 0x04: 1..99
 *     a track, A0h and up lead-in information), offset of its index block (4
 *     at 0x0C), sector size (2 at 0x10), start sector on the disc (4 at 0x24),
 *     start offset in the data file (8 at 0x28), file count (4 at 0x30),
 *     offset of its file-name block (4 at 0x34)
 *   index block, 8 bytes: sectors of index 0 (the pregap, not stored in the
 *     data file), sectors of index 1 (the track's sectors in the data file)
 *   file-name block, 16 bytes: offset of the name (4), its characters (1 at
 *     0x04: 0 bytes, 1 UTF-16); the name "*.mdf" means the .mds's own name
 *     with the extension .mdf
 * The sector size counts the 96 subchannel bytes when the track has them:
 * image_track.sector_size is that whole stride, the subchannel skipped.
 * Ignored: the session addresses and track ranges, ADR/control and the Q
 * fields of the track blocks, lead-in blocks (point A0h and up), DVD
 * structures, BCA and read-error (DPM) data.
 *
 * A descriptor that lies is refused with one line: a block or name past the
 * .mds, an absurd count, size or address, tracks that overlap in the data file
 * or on the disc, no data track, a data track past the end of its data file.
 */
#include "image_formats.h"

#include "image_descriptor.h"
#include "cdsrc_names.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* No honest .mds comes near this: a CD's holds a few kilobytes. */
static const uint64_t MDS_CAP = 4u << 20;
enum { MAX_SESSIONS = 99, MAX_TRACKS = 99 };

enum { HDR_SIZE = 0x58, HDR_VERSION = 0x10, HDR_MEDIUM = 0x12, HDR_SESSIONS = 0x14, HDR_SESSION_AT = 0x50 };
enum { SES_SIZE = 0x18, SES_BLOCKS = 0x0A, SES_BLOCKS_AT = 0x14 };
enum {
    TRK_SIZE = 0x50, TRK_MODE = 0x00, TRK_SUBCHANNEL = 0x01, TRK_POINT = 0x04, TRK_INDEX_AT = 0x0C,
    TRK_SECTOR = 0x10, TRK_START = 0x24, TRK_OFFSET = 0x28, TRK_FILES = 0x30, TRK_NAME_BLOCK = 0x34
};
enum { IDX_SIZE = 8, IDX_PREGAP = 0, IDX_LENGTH = 4 };
enum { NAME_BLOCK_SIZE = 0x10, NAME_AT = 0x00, NAME_WIDE = 0x04 };
enum { SUBCHANNEL_PW = 8, SUBCHANNEL_BYTES = 96 };
enum { MEDIUM_CD_RW = 2 };

typedef struct mds_track {
    int point;
    int mode;              /* 0 audio, 1, 2 */
    uint32_t sector_size;
    uint32_t start;        /* disc address of index 1 */
    uint32_t length;       /* sectors in the data file */
    uint64_t offset;       /* byte offset in the data file */
    uint32_t files, name_block;
} mds_track;

/* 1 when the n bytes at offset at lie inside the .mds. */
static int inside(uint64_t size, uint64_t at, uint64_t n) { return at <= size && n <= size - at; }

/* The track's mode from the low four bits of its mode byte (the high ones mean
   nothing): 0 audio, 1 Mode 1, 2 Mode 2 (any form), -1 unknown. */
static int track_mode(unsigned m)
{
    switch (m & 0x7) {
    case 1: return 0;
    case 2: return 1;
    case 6: return -1;
    default: return 2;
    }
}

/* 1 when the stride is a main sector of 2048, 2336 or 2352 bytes, with the 96
   subchannel bytes exactly when the block says so, and fits the mode. */
static int sector_size_ok(uint32_t size, unsigned subchannel, int mode)
{
    if ((subchannel != 0 && subchannel != SUBCHANNEL_PW) || size < SUBCHANNEL_BYTES) return 0;
    uint32_t main = subchannel ? size - SUBCHANNEL_BYTES : size;
    if (main == 2336) return mode == 2;
    return main == 2048 || main == 2352;
}

/* Reads one track block at at into *t; 0 after its line. */
static int read_track(const char *path, const unsigned char *mds, uint64_t size, uint64_t at, mds_track *t)
{
    const unsigned char *b = mds + at;
    t->point = b[TRK_POINT];
    t->mode = track_mode(b[TRK_MODE]);
    t->sector_size = get_le16(b + TRK_SECTOR);
    t->start = get_le32(b + TRK_START);
    t->offset = get_le64(b + TRK_OFFSET);
    t->files = get_le32(b + TRK_FILES);
    t->name_block = get_le32(b + TRK_NAME_BLOCK);
    if (t->mode < 0) {
        setup_log("%s: track %d has an unknown mode 0x%02X", path, t->point, b[TRK_MODE]);
        return 0;
    }
    if (!sector_size_ok(t->sector_size, b[TRK_SUBCHANNEL], t->mode)) {
        setup_log("%s: track %d has sectors of %u bytes", path, t->point, t->sector_size);
        return 0;
    }
    uint32_t index_at = get_le32(b + TRK_INDEX_AT);
    if (!inside(size, index_at, IDX_SIZE)) {
        setup_log("%s: the index block of track %d lies past its end", path, t->point);
        return 0;
    }
    t->length = get_le32(mds + index_at + IDX_LENGTH);
    if (t->length == 0 || t->start > IMAGE_MAX_SECTORS || t->length > IMAGE_MAX_SECTORS - t->start) {
        setup_log("%s: track %d has %u sectors from sector %u", path, t->point, t->length, t->start);
        return 0;
    }
    return 1;
}

/* The data file's name from the file-name block at at, into name (PATH_CAP
   bytes): 8-bit or UTF-16 characters up to a NUL inside the .mds. A UTF-16
   name must be ASCII: other characters have no one spelling in the code page
   that paths use here. 0 after its line. */
static int read_name(const char *path, const unsigned char *mds, uint64_t size, uint32_t at, char *name)
{
    if (!inside(size, at, NAME_BLOCK_SIZE)) {
        setup_log("%s: its file-name block lies past its end", path);
        return 0;
    }
    uint64_t p = get_le32(mds + at + NAME_AT);
    int wide = mds[at + NAME_WIDE] != 0;
    size_t n = 0;
    for (;; n++) {
        uint64_t c_at = p + (wide ? 2 * (uint64_t)n : n);
        if (n >= PATH_CAP || !inside(size, c_at, wide ? 2 : 1)) {
            setup_log("%s: its data file's name runs past its end", path);
            return 0;
        }
        unsigned c = wide ? get_le16(mds + c_at) : mds[c_at];
        if (c == 0) break;
        if (wide && c >= 0x80) {
            setup_log("%s: its data file's name is not plain ASCII", path);
            return 0;
        }
        name[n] = (char)c;
    }
    name[n] = 0;
    return 1;
}

/* The data file named by name beside the .mds: "*.ext" is the .mds's own name
   with the extension .ext. 0 after its line. */
static int data_file(const char *path, const char *name, char *out)
{
    if (name[0] == '*' && name[1] == '.' && !strpbrk(name + 1, "\\/:*?")) return sibling_file(path, name + 1, out);
    if (!image_named_file(path, name, out)) {
        setup_log("%s: its data file %s cannot be found", path, name);
        return 0;
    }
    return 1;
}

/* 1 when the half-open ranges [a, a + an) and [b, b + bn) meet. */
static int overlap(uint64_t a, uint64_t an, uint64_t b, uint64_t bn) { return a < b + bn && b < a + an; }

/* Reads every track block of every session into tracks (MAX_TRACKS), their
   count through *count. 0 after its line. */
static int read_tracks(const char *path, const unsigned char *mds, uint64_t size, mds_track *tracks, int *count)
{
    unsigned sessions = get_le16(mds + HDR_SESSIONS);
    uint64_t ses_at = get_le32(mds + HDR_SESSION_AT);
    if (sessions == 0 || sessions > MAX_SESSIONS || !inside(size, ses_at, (uint64_t)sessions * SES_SIZE)) {
        setup_log("%s: %u sessions at %llu do not fit it", path, sessions, (unsigned long long)ses_at);
        return 0;
    }
    *count = 0;
    for (unsigned s = 0; s < sessions; s++) {
        const unsigned char *ses = mds + ses_at + (uint64_t)s * SES_SIZE;
        unsigned blocks = ses[SES_BLOCKS];
        uint64_t blk_at = get_le32(ses + SES_BLOCKS_AT);
        if (!inside(size, blk_at, (uint64_t)blocks * TRK_SIZE)) {
            setup_log("%s: the %u track blocks of session %u lie past its end", path, blocks, s + 1);
            return 0;
        }
        for (unsigned i = 0; i < blocks; i++) {
            uint64_t at = blk_at + (uint64_t)i * TRK_SIZE;
            int point = mds[at + TRK_POINT];
            if (point < 1 || point > 99) continue; /* lead-in information */
            if (*count == MAX_TRACKS) {
                setup_log("%s: more than %d tracks", path, MAX_TRACKS);
                return 0;
            }
            if (!read_track(path, mds, size, at, &tracks[*count])) return 0;
            ++*count;
        }
    }
    return 1;
}

/* 0 after its line when two tracks share a sector of the disc or bytes of the
   data file (tracks of other files than the first data track's are rare enough
   to be held to the same rule). */
static int tracks_apart(const char *path, const mds_track *t, int n)
{
    for (int i = 0; i < n; i++)
        for (int j = i + 1; j < n; j++)
            if (overlap(t[i].start, t[i].length, t[j].start, t[j].length) ||
                overlap(t[i].offset, (uint64_t)t[i].length * t[i].sector_size, t[j].offset,
                        (uint64_t)t[j].length * t[j].sector_size)) {
                setup_log("%s: tracks %d and %d overlap", path, t[i].point, t[j].point);
                return 0;
            }
    return 1;
}

static int mds_parse(const char *path, const unsigned char *mds, uint64_t size, image_track *out)
{
    if (size < HDR_SIZE || memcmp(mds, "MEDIA DESCRIPTOR", 16) != 0 || mds[HDR_VERSION] != 1) {
        setup_log("%s: not a media descriptor of a known version", path);
        return 0;
    }
    if (get_le16(mds + HDR_MEDIUM) > MEDIUM_CD_RW) {
        setup_log("%s: the image is not of a CD (medium type 0x%X)", path, get_le16(mds + HDR_MEDIUM));
        return 0;
    }
    mds_track tracks[MAX_TRACKS];
    int n = 0;
    if (!read_tracks(path, mds, size, tracks, &n) || !tracks_apart(path, tracks, n)) return 0;
    const mds_track *data = NULL;
    for (int i = 0; i < n && !data; i++)
        if (tracks[i].mode != 0) data = &tracks[i];
    if (!data) {
        setup_log("%s: no data track", path);
        return 0;
    }
    if (data->files != 1) {
        setup_log("%s: track %d is split into %u files", path, data->point, data->files);
        return 0;
    }
    char name[PATH_CAP];
    uint64_t file_size = 0;
    if (!read_name(path, mds, size, data->name_block, name) || !data_file(path, name, out->file) ||
        !data_file_size(path, out->file, &file_size))
        return 0;
    uint64_t bytes = (uint64_t)data->length * data->sector_size;
    if (data->offset > file_size || bytes > file_size - data->offset) {
        setup_log("%s: track %d runs past the end of %s", path, data->point, out->file);
        return 0;
    }
    out->start = data->offset;
    out->first_lba = data->start;
    out->sector_size = data->sector_size;
    out->mode = data->mode;
    return 1;
}

int mds_read(const char *descriptor, image_track *out)
{
    uint64_t size = 0;
    unsigned char *mds = descriptor_load(descriptor, MDS_CAP, &size);
    if (!mds) return 0;
    int ok = mds_parse(descriptor, mds, size, out);
    free(mds);
    return ok;
}
