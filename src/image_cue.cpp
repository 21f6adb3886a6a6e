/*
 * image_cue.cpp - CUE sheets: the text that names a disc's image files and
 * tracks. Read here: the first FILE line (the data file), the first TRACK of
 * that file (its type: MODE1/2048, MODE1/2352, MODE2/2352, MODE1/2448,
 * MODE2/2448; AUDIO refused; any other type leaves the layout to the probes)
 * and that track's INDEX 01 (MM:SS:FF, 75 frames a second: where its data
 * begin in the file, after a pregap stored there). Everything else (REM,
 * TITLE, PERFORMER, CDTEXTFILE, FLAGS, later files and tracks) is passed over.
 *
 * No state. One thread at a time (the sheet is read whole into the heap).
 */
#include "image_formats.h"

#include "cdsrc_names.h"
#include "setup_log.h"
#include "util.h"

#include <stdlib.h>
#include <string.h>

/* Bytes per frame of the types a sheet names. */
enum { CUE_PLAIN = 2048, CUE_RAW = 2352, CUE_SUB = 2448 };
enum { FRAMES_PER_SECOND = 75 };

static char upper(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

typedef struct cue_sheet {
    char image[PATH_CAP];  /* the image's name in the first FILE line */
    int mode;              /* the first track's mode, or 0 for a type probed alone */
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

/* The first track's type: its mode, or 0 for a type read by probing alone;
   *frame_bytes the bytes per frame in the file. 0 for AUDIO. */
static int track_type(const char *p, int *mode, uint32_t *frame_bytes)
{
    static const struct {
        const char *name;
        int mode;
        uint32_t bytes;
    } types[] = {
        {"MODE1/2048", 1, CUE_PLAIN}, {"MODE1/2352", 1, CUE_RAW}, {"MODE2/2352", 2, CUE_RAW},
        {"MODE1/2448", 1, CUE_SUB},   {"MODE2/2448", 2, CUE_SUB},
    };
    const char *end;
    if (word_is(p, "AUDIO", &end)) return 0;
    *mode = 0;
    *frame_bytes = CUE_RAW;
    for (auto &t : types) {
        if (word_is(p, t.name, &end)) {
            *mode = t.mode;
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
    out->mode = 0;
    out->frame_bytes = CUE_RAW;
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
            if (!track_type(skip_blanks(type), &out->mode, &out->frame_bytes)) return CUE_AUDIO;
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

int cue_read(const char *sheet, image_track *out)
{
    uint64_t n = 0;
    char *text = (char *)read_file(sheet, &n);
    if (!text) return 0;
    text[n] = 0;
    cue_sheet cue;
    int r = cue_parse(text, &cue);
    free(text);
    if (r == CUE_AUDIO) setup_log("the first track of %s is not a data track", sheet);
    if (r != CUE_OK || !image_named_file(sheet, cue.image, out->file)) return 0;
    out->start = cue.start * cue.frame_bytes;
    out->first_lba = 0;
    out->sector_size = cue.frame_bytes;
    out->mode = cue.mode;
    return 1;
}
