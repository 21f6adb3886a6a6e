/*
 * cdsrc_image.cpp - the image files of the disc source: CUE sheets, the sector
 * layouts of plain and raw images, and reading logical sectors out of them.
 *
 * The five layouts (sector size / offset of the user data), probed in this order:
 *   2048/0   ISO image, user data only
 *   2352/16  raw Mode 1 (sync and header before the data)
 *   2352/24  raw Mode 2 Form 1 (sync, header and subheader before the data)
 *   2448/16  raw Mode 1 with 96 bytes of subchannel data after each sector
 *   2448/24  raw Mode 2 Form 1 with subchannel data
 * data_start is 0 unless a CUE sheet places the first track's INDEX 01 after
 * the start of its file (a pregap stored in the image).
 *
 * State: the static stage buffer of raw runs. One thread at a time.
 */
#include "cdsrc_image.h"

#include "cdsrc_edc.h"
#include "cdsrc_names.h"
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

/* The volume descriptor that a layout must show at logical sector 16. */
enum { PVD_SECTOR = 16 };
/* Where the user data of a Mode 2 Form 1 sector begin, after its subheader. */
enum { MODE2_OFFSET = 24 };
/* The bytes of a raw sector that a read needs, from its start through its EDC. */
enum { MODE1_NEED = 2068, MODE2_NEED = 2076 };

static const uint32_t layouts[][2] = {
    {CD_SECTOR, 0}, {RAW_SECTOR, 16}, {RAW_SECTOR, MODE2_OFFSET}, {SUB_SECTOR, 16}, {SUB_SECTOR, MODE2_OFFSET},
};
enum { LAYOUTS = sizeof layouts / sizeof layouts[0] };

static unsigned char stage[RAW_RUN * MAX_SECTOR];

/* ---- CUE sheets ---- */

static char upper(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

typedef struct cue_sheet {
    char image[PATH_CAP];  /* the image's name in the first FILE line */
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
        if (upper(p[i]) != kw[i]) return 0;
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

static int line_end(char c) { return c == 0 || c == '\r' || c == '\n'; }

/* The image's name on a FILE line, from p (after the keyword) into name: in
   double quotes, or, as several tools write it, one word without quotes
   followed by the file's type and nothing more, so that a name with spaces
   but without its quotes is never taken in part. 0 when neither. */
static int cue_file_name(const char *p, char *name)
{
    const char *open = skip_blanks(p), *close;
    if (*open == '"') {
        open++;
        close = open;
        while (*close && *close != '"' && *close != '\n') close++;
        if (*close != '"') return 0;
    } else {
        close = open;
        while (!line_end(*close) && *close != ' ' && *close != '\t') close++;
        const char *type = skip_blanks(close), *after = type;
        while (!line_end(*after) && *after != ' ' && *after != '\t') after++;
        if (after == type || !line_end(*skip_blanks(after))) return 0;
    }
    if (close == open || close - open >= PATH_CAP) return 0;
    memcpy(name, open, (size_t)(close - open));
    name[close - open] = 0;
    return 1;
}

/* Reads the sheet's text (NUL-terminated), after a UTF-8 byte-order mark if it
   has one. Keywords count only as the first word of a line, in any letter
   case, so that TITLE "PROFILE", REM lines and CDTEXTFILE are never taken for
   FILE. The first FILE line names the image; its first TRACK gives the type,
   and that track's INDEX 01 where its data begin. */
static int cue_parse(const char *text, cue_sheet *out)
{
    int have_file = 0, in_track = 0;
    out->layout = -1;
    out->frame_bytes = RAW_SECTOR;
    out->start = 0;
    if (strncmp(text, "\xEF\xBB\xBF", 3) == 0) text += 3;
    for (const char *line = text; *line;) {
        const char *next = strchr(line, '\n');
        next = next ? next + 1 : line + strlen(line);
        const char *p = skip_blanks(line), *rest;
        if (!have_file && word_is(p, "FILE", &rest)) {
            if (!cue_file_name(rest, out->image)) return CUE_UNSUPPORTED;
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

/* ---- layouts and sectors ---- */

/* The bytes of a sector, from its start, that a read of its user data needs. */
static uint32_t sector_need(const cd_image *img)
{
    if (img->sector_size == CD_SECTOR) return CD_SECTOR;
    return img->data_offset == MODE2_OFFSET ? MODE2_NEED : MODE1_NEED;
}

/* 1 when the image, read in this layout, holds a volume descriptor at logical
   sector 16; the layout and the image's bound are set either way. */
static int probe(cd_image *img, uint32_t sector_size, uint32_t data_offset)
{
    unsigned char pvd[CD_SECTOR];
    uint64_t bytes = 0;
    img->sector_size = sector_size;
    img->data_offset = data_offset;
    img->file_pos = UINT64_MAX;
    img->sectors = 0;
    if (!pf_file_size(img->file, &bytes)) return 0;
    uint64_t need = sector_need(img);
    if (bytes >= img->data_start + need) img->sectors = (bytes - img->data_start - need) / sector_size + 1;
    if (!read_sectors(img, PVD_SECTOR, 1, pvd)) return 0;
    return pvd[0] == 1 && memcmp(pvd + 1, "CD001", 5) == 0;
}

/* Reads n bytes at pos. A copy reads the image front to back, so the seek is
   left out when the file is already there: it costs a call per chunk. */
static int read_at(cd_image *img, uint64_t pos, void *dst, uint32_t n, uint32_t *got)
{
    if (img->file_pos != pos && !pf_seek(img->file, pos)) {
        img->file_pos = UINT64_MAX;
        return 0;
    }
    int ok = pf_read(img->file, dst, n, got);
    img->file_pos = ok ? pos + *got : UINT64_MAX;
    return ok;
}

int read_sectors(cd_image *img, uint32_t first, uint32_t count, void *dst)
{
    unsigned char *out = (unsigned char *)dst;
    /* Sectors past the end of the image fail as a short read would, after the
       ones before them have been read. */
    uint64_t avail = img->sectors > first ? img->sectors - first : 0;
    uint32_t want = count <= avail ? count : (uint32_t)avail;
    int whole = want == count;
    uint64_t sector = first;
    uint32_t need = sector_need(img), ss = img->sector_size;
    int mode = img->data_offset == MODE2_OFFSET ? 2 : 1;
    while (want > 0) {
        uint32_t got = 0;
        if (ss == CD_SECTOR) {
            uint32_t n = want < PLAIN_RUN ? want : PLAIN_RUN;
            if (!read_at(img, img->data_start + sector * CD_SECTOR, out, n * CD_SECTOR, &got) ||
                got != n * CD_SECTOR)
                return 0;
            out += (size_t)n * CD_SECTOR;
            sector += n;
            want -= n;
            continue;
        }
        /* A raw run: from the first sector's start to the last one's EDC, read
           at once; each sector is checked and its user data picked out. */
        uint32_t n = want < RAW_RUN ? want : RAW_RUN;
        int ok = read_at(img, img->data_start + sector * ss, stage, (n - 1) * ss + need, &got);
        for (uint32_t i = 0; i < n; i++) {
            const unsigned char *s = stage + (size_t)i * ss;
            if (!ok || (uint64_t)i * ss + need > got || !cd_raw_sector_ok(s, mode)) return 0;
            memcpy(out, s + img->data_offset, CD_SECTOR);
            out += CD_SECTOR;
        }
        sector += n;
        want -= n;
    }
    return whole;
}

/* ---- opening ---- */

cd_image *image_open(const char *given, char *opened)
{
    char path[PATH_CAP];
    snprintf(path, sizeof path, "%s", given);
    int first = -1; /* the layout to try first */
    uint64_t start_frames = 0;
    uint32_t frame_bytes = RAW_SECTOR;
    const char *dot = strrchr(path, '.');
    if (dot && strlen(dot) == 4 && upper(dot[1]) == 'C' && upper(dot[2]) == 'U' && upper(dot[3]) == 'E') {
        uint64_t n = 0;
        char *text = (char *)read_file(path, &n);
        if (!text) return NULL;
        text[n] = 0;
        cue_sheet cue;
        int r = cue_parse(text, &cue);
        free(text);
        if (r == CUE_AUDIO) setup_log("the first track of %s is not a data track", path);
        if (r != CUE_OK) return NULL;
        char image[PATH_CAP];
        if (!image_named_file(path, cue.image, image)) return NULL;
        memcpy(path, image, sizeof path);
        first = cue.layout;
        start_frames = cue.start;
        frame_bytes = cue.frame_bytes;
    }
    cd_image *img = (cd_image *)calloc(1, sizeof *img);
    if (!img) return NULL;
    img->file = pf_open_read(path, 0);
    img->data_start = start_frames * frame_bytes;
    int found = img->file != PF_NO_FILE && first >= 0 && probe(img, layouts[first][0], layouts[first][1]);
    for (int i = 0; i < LAYOUTS && !found && img->file != PF_NO_FILE; i++)
        if (i != first) found = probe(img, layouts[i][0], layouts[i][1]);
    if (!found) {
        image_close(img);
        return NULL;
    }
    snprintf(opened, PATH_CAP, "%s", path);
    return img;
}

void image_close(cd_image *img)
{
    if (!img) return;
    pf_close(img->file);
    free(img);
}
