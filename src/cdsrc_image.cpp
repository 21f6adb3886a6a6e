/*
 * cdsrc_image.cpp - the image files of the disc source: CUE sheets, the sector
 * layouts of plain and raw images, and reading logical sectors out of them.
 *
 * Logical sector n (2048 bytes of user data) lies in the image file at
 *   data_start + n * sector_size + data_offset
 * with one of five layouts, probed in this order:
 *   2048/0   ISO image, user data only
 *   2352/16  raw Mode 1 (sync and header before the data)
 *   2352/24  raw Mode 2 Form 1 (sync, header and subheader before the data)
 *   2448/16  raw Mode 1 with 96 bytes of subchannel data after each sector
 *   2448/24  raw Mode 2 Form 1 with subchannel data
 * data_start is 0 unless a CUE sheet places the first track's INDEX 01 after
 * the start of its file (a pregap stored in the image).
 *
 * State: the static stage buffer of raw runs (see cdsrc.cpp for the module's
 * other state and its one-thread rule).
 */
#include "cdsrc.h"
#include "cdsrc_internal.h"

#include "platform.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { RAW_SECTOR = 2352, SUB_SECTOR = 2448, MAX_SECTOR = SUB_SECTOR };
static const uint32_t RAW_RUN = 32;              /* logical sectors per read of a raw image */
static const uint32_t PLAIN_RUN = 1u << 16;       /* logical sectors per read of a plain image */
enum { FRAMES_PER_SECOND = 75 };

/* Offsets in the primary volume descriptor. */
enum { PVD_SECTOR = 16, PVD_ROOT_EXTENT = 158, PVD_ROOT_SIZE = 166 };
/* A Mode 2 sector's subheader lies 8 bytes before its user data; its third byte
   is the submode, whose bit 5 marks Form 2 (2324 bytes of data, no 2048). */
enum { MODE2_OFFSET = 24, SUBHEADER = 8, SUBMODE = 2, SUBMODE_FORM2 = 0x20 };

static const uint32_t layouts[][2] = {
    {CD_SECTOR, 0}, {RAW_SECTOR, 16}, {RAW_SECTOR, MODE2_OFFSET}, {SUB_SECTOR, 16}, {SUB_SECTOR, MODE2_OFFSET},
};
enum { LAYOUTS = sizeof layouts / sizeof layouts[0] };

static unsigned char stage[RAW_RUN * MAX_SECTOR];

/* ---- CUE sheets ---- */

typedef struct cue_sheet {
    char image[PATH_CAP];  /* the quoted name of the first FILE line */
    int layout;            /* index into layouts that the first track names, or -1 */
    uint32_t frame_bytes;  /* bytes per frame of the first track, for its INDEX 01 */
    uint64_t start;        /* frames from the file's start to the first track's INDEX 01 */
} cue_sheet;

enum { CUE_OK, CUE_UNSUPPORTED, CUE_AUDIO };

static const char *skip_blanks(const char *p)
{
    while (*p == ' ' || *p == '\t') p++;
    return p;
}

/* 1 when the word at p is kw in any letter case and ends there; *end is then
   just after it. */
static int word_is(const char *p, const char *kw, const char **end)
{
    size_t i = 0;
    for (; kw[i]; i++)
        if (cd_upper(p[i]) != kw[i]) return 0;
    if (p[i] && p[i] != ' ' && p[i] != '\t' && p[i] != '\r' && p[i] != '\n') return 0;
    *end = p + i;
    return 1;
}

/* Parses up to three decimal digits; -1 when there are none. */
static int number(const char **pp)
{
    const char *p = *pp;
    int v = 0, n = 0;
    while (*p >= '0' && *p <= '9' && n < 3) v = v * 10 + (*p++ - '0'), n++;
    if (n == 0) return -1;
    *pp = p;
    return v;
}

/* "MM:SS:FF" as frames, or -1. */
static long long cue_time(const char *p)
{
    int m = number(&p);
    if (m < 0 || *p++ != ':') return -1;
    int s = number(&p);
    if (s < 0 || s >= 60 || *p++ != ':') return -1;
    int f = number(&p);
    if (f < 0 || f >= FRAMES_PER_SECOND) return -1;
    if (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') return -1;
    return ((long long)m * 60 + s) * FRAMES_PER_SECOND + f;
}

/* The first track's type: its layout index, or -1 for a type read by probing
   alone; *frame_bytes the bytes per frame in the file. 0 for AUDIO. */
static int track_type(const char *p, int *layout, uint32_t *frame_bytes)
{
    static const struct {
        const char *name;
        int layout;
        uint32_t bytes;
    } types[] = {
        {"MODE1/2048", 0, CD_SECTOR},   {"MODE1/2352", 1, RAW_SECTOR}, {"MODE2/2352", 2, RAW_SECTOR},
        {"MODE1/2448", 3, SUB_SECTOR},  {"MODE2/2448", 4, SUB_SECTOR},
    };
    const char *end;
    if (word_is(p, "AUDIO", &end)) return 0;
    *layout = -1;
    *frame_bytes = RAW_SECTOR;
    for (auto &t : types) {
        if (word_is(p, t.name, &end)) {
            *layout = t.layout;
            *frame_bytes = t.bytes;
        }
    }
    return 1;
}

/* Reads the sheet's text (NUL-terminated). Keywords count only as the first word
   of a line, in any letter case, so that TITLE "PROFILE", REM lines and
   CDTEXTFILE are never taken for FILE. The first FILE line names the image in
   double quotes; its first TRACK gives the type, and that track's INDEX 01
   where its data begin. */
static int cue_parse(const char *text, cue_sheet *out)
{
    int have_file = 0, in_track = 0;
    out->layout = -1;
    out->frame_bytes = RAW_SECTOR;
    out->start = 0;
    for (const char *line = text; *line;) {
        const char *next = strchr(line, '\n');
        next = next ? next + 1 : line + strlen(line);
        const char *p = skip_blanks(line), *rest;
        if (!have_file && word_is(p, "FILE", &rest)) {
            const char *open = skip_blanks(rest);
            if (*open != '"') return CUE_UNSUPPORTED; /* an unquoted name */
            const char *close = open + 1;
            while (*close && *close != '"' && *close != '\n') close++;
            if (*close != '"' || close - open - 1 >= PATH_CAP) return CUE_UNSUPPORTED;
            memcpy(out->image, open + 1, (size_t)(close - open - 1));
            out->image[close - open - 1] = 0;
            have_file = 1;
        } else if (have_file && word_is(p, "FILE", &rest)) {
            break; /* the first file has ended */
        } else if (have_file && word_is(p, "TRACK", &rest)) {
            if (in_track) break; /* the first track has ended */
            const char *type = skip_blanks(rest);
            if (number(&type) < 0) return CUE_UNSUPPORTED;
            if (!track_type(skip_blanks(type), &out->layout, &out->frame_bytes)) return CUE_AUDIO;
            in_track = 1;
        } else if (in_track && word_is(p, "INDEX", &rest)) {
            const char *t = skip_blanks(rest);
            if (number(&t) == 1) {
                long long frames = cue_time(skip_blanks(t));
                if (frames < 0) return CUE_UNSUPPORTED;
                out->start = (uint64_t)frames;
                break;
            }
        }
        line = next;
    }
    return have_file ? CUE_OK : CUE_UNSUPPORTED;
}

/* The image that the sheet at path names, into image: beside the sheet, or as
   written when the name holds a colon. 0 when the path would be cut: a cut path
   could name another file. */
static int cue_image_path(const char *sheet, const char *name, char *image)
{
    char folder[PATH_CAP];
    snprintf(folder, sizeof folder, "%s", sheet);
    /* A slash separates folders as well as a backslash: "C:/Images/game.cue" is
       a valid path, and its image lies beside it, not in the current folder. */
    char *slash = strrchr(folder, '\\'), *fwd = strrchr(folder, '/');
    if (fwd > slash) slash = fwd;
    if (slash) slash[1] = 0;
    else folder[0] = 0;
    if (strchr(name, ':')) folder[0] = 0;
    return snprintf(image, PATH_CAP, "%s%s", folder, name) < PATH_CAP;
}

/* ---- layouts and sectors ---- */

int probe(cd_source *src, uint32_t sector_size, uint32_t data_offset)
{
    unsigned char pvd[CD_SECTOR];
    uint64_t bytes = 0;
    src->sector_size = sector_size;
    src->data_offset = data_offset;
    src->file_pos = UINT64_MAX;
    src->image_sectors = 0;
    if (!pf_file_size(src->file, &bytes)) return 0;
    /* Logical sector n is whole in the file when its 2048 bytes of user data are. */
    uint64_t first = src->data_start + data_offset;
    if (bytes >= first + CD_SECTOR) src->image_sectors = (bytes - first - CD_SECTOR) / sector_size + 1;
    if (!read_sectors(src, PVD_SECTOR, 1, pvd)) return 0;
    if (pvd[0] != 1 || memcmp(pvd + 1, "CD001", 5) != 0) return 0;
    src->root_extent = cd_le32(pvd + PVD_ROOT_EXTENT);
    src->root_size = cd_le32(pvd + PVD_ROOT_SIZE);
    return 1;
}

/* Reads n bytes at pos. A copy reads the image front to back, so the seek is
   left out when the file is already there: it costs a call per chunk. */
static int read_at(cd_source *src, uint64_t pos, void *dst, uint32_t n, uint32_t *got)
{
    if (src->file_pos != pos && !pf_seek(src->file, pos)) {
        src->file_pos = UINT64_MAX;
        return 0;
    }
    int ok = pf_read(src->file, dst, n, got);
    src->file_pos = ok ? pos + *got : UINT64_MAX;
    return ok;
}

int read_sectors(cd_source *src, uint32_t first, uint32_t count, void *dst)
{
    unsigned char *out = (unsigned char *)dst;
    /* Sectors past the end of the image fail as a short read would, after the
       ones before them have been read. */
    uint64_t avail = src->image_sectors > first ? src->image_sectors - first : 0;
    uint32_t want = count <= avail ? count : (uint32_t)avail;
    int whole = want == count;
    uint64_t sector = first;
    while (want > 0) {
        uint32_t got = 0;
        if (src->sector_size == CD_SECTOR) {
            uint32_t n = want < PLAIN_RUN ? want : PLAIN_RUN;
            if (!read_at(src, src->data_start + sector * CD_SECTOR + src->data_offset, out, n * CD_SECTOR,
                         &got) ||
                got != n * CD_SECTOR)
                return 0;
            out += (size_t)n * CD_SECTOR;
            sector += n;
            want -= n;
            continue;
        }
        /* A raw run: from the first sector's user data (its subheader, in Mode 2)
           to the last one's user data, read at once; the user data of each
           sector are picked out of it. */
        uint32_t lead = src->data_offset == MODE2_OFFSET ? SUBHEADER : 0;
        uint32_t n = want < RAW_RUN ? want : RAW_RUN;
        uint32_t bytes = (n - 1) * src->sector_size + lead + CD_SECTOR;
        uint64_t pos = src->data_start + sector * src->sector_size + src->data_offset - lead;
        int ok = read_at(src, pos, stage, bytes, &got);
        for (uint32_t i = 0; i < n; i++) {
            const unsigned char *s = stage + (size_t)i * src->sector_size;
            if (!ok || (uint64_t)i * src->sector_size + lead + CD_SECTOR > got) return 0;
            /* A Form 2 sector holds no 2048 bytes of user data at this offset:
               reading it as Form 1 would copy other bytes. */
            if (lead && (s[SUBMODE] & SUBMODE_FORM2)) return 0;
            memcpy(out, s + lead, CD_SECTOR);
            out += CD_SECTOR;
        }
        sector += n;
        want -= n;
    }
    return whole;
}

/* ---- opening ---- */

int image_open(cd_source *src, const char *given)
{
    char path[PATH_CAP];
    snprintf(path, sizeof path, "%s", given);
    int first = -1; /* the layout to try first */
    uint64_t start_frames = 0;
    uint32_t frame_bytes = RAW_SECTOR;
    const char *dot = strrchr(path, '.');
    if (dot && strlen(dot) == 4 && cd_upper(dot[1]) == 'C' && cd_upper(dot[2]) == 'U' && cd_upper(dot[3]) == 'E') {
        uint64_t n = 0;
        char *text = (char *)read_file(path, &n);
        if (!text) return 0;
        text[n] = 0;
        cue_sheet cue;
        int r = cue_parse(text, &cue);
        free(text);
        if (r == CUE_AUDIO) setup_log("the first track of %s is not a data track", path);
        if (r != CUE_OK) return 0;
        char image[PATH_CAP];
        if (!cue_image_path(path, cue.image, image)) return 0;
        memcpy(path, image, sizeof path);
        first = cue.layout;
        start_frames = cue.start;
        frame_bytes = cue.frame_bytes;
    }
    src->file = pf_open_read(path, 0);
    if (src->file == PF_NO_FILE) return 0;
    src->data_start = start_frames * frame_bytes;
    int found = first >= 0 && probe(src, layouts[first][0], layouts[first][1]);
    for (int i = 0; i < LAYOUTS && !found; i++)
        if (i != first) found = probe(src, layouts[i][0], layouts[i][1]);
    if (!found) {
        pf_close(src->file);
        src->file = PF_NO_FILE;
        return 0;
    }
    src->kind = CD_SOURCE_IMAGE;
    snprintf(src->path, sizeof src->path, "%s", path);
    snprintf(src->desc, sizeof src->desc, "image %s", src->path);
    return 1;
}
