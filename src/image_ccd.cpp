/*
 * image_ccd.cpp - the CloneCD sheet (.ccd): where the first data track lies in
 * its data file (.img, the sheet's own name with that extension).
 *
 * The sheet is described in the libmirage image headers and in the public
 * notes on disc image formats. It is INI-style text: "[Section]" lines and
 * "Key=Value" lines, keys and section names in any letter case, numbers in
 * decimal or as 0x hexadecimal.
 *   [CloneCD]         must be there; its Version is not read
 *   [Disc]            TocEntries (the count of [Entry N] sections), Sessions
 *   [Entry N]         N below TocEntries: Session, Point, Control, PMin, PLBA.
 *                     Point A0h gives the session's first track in PMin, A1h
 *                     its last, A2h the address of its lead-out in PLBA; a
 *                     Point of 1..99 gives that track's address (index 1) in
 *                     PLBA; bit 2 of Control marks a data track
 *   [TRACK N]         MODE (0 audio, 1, 2), INDEX 0 and INDEX 1 (addresses
 *                     from the start of the track's session); sheets of
 *                     version 2 have none, and Control then tells data from
 *                     audio
 * The .img holds 2352-byte sectors, each session's from the start of its first
 * track (the first track's INDEX 1 less INDEX 0, if given, before its PLBA) to
 * its lead-out; the two seconds before the first track and the gaps between
 * sessions are not stored. So a track's place in the file is the sum of the
 * tracks before it. The .sub (subchannel data) is not needed.
 * Ignored: [CDText], [Session N], ISRC, ADR and the MSF fields; other Points.
 *
 * A sheet that lies is refused with one line: a missing section or entry, an
 * absurd count or address, tracks out of order or overlapping, no data track,
 * a data track past the end of the .img.
 */
#include "image_formats.h"

#include "image_descriptor.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const uint64_t CCD_CAP = 1u << 20;
enum { RAW_SECTOR = 2352, MAX_ENTRIES = 1000, MAX_SESSIONS = 99, MAX_TRACKS = 99 };
enum { POINT_FIRST = 0xA0, POINT_LAST = 0xA1, POINT_LEAD_OUT = 0xA2, CONTROL_DATA = 0x04 };
/* A value that no key gave. */
static const long long UNSET = -(1LL << 40);

typedef struct ccd_entry {
    long long session, point, control, pmin, plba;
} ccd_entry;

typedef struct ccd_track {
    long long mode, index0, index1;
} ccd_track;

typedef struct ccd_sheet {
    int have_clonecd;
    long long toc_entries, sessions;
    ccd_entry *entries;            /* entry_count of them, made at the first [Entry] */
    long long entry_count;         /* TocEntries then: a later TocEntries changes nothing */
    ccd_track tracks[MAX_TRACKS + 1];
} ccd_sheet;

enum { SEC_NONE, SEC_CLONECD, SEC_DISC, SEC_ENTRY, SEC_TRACK, SEC_OTHER };

static char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

/* 1 when the n characters at p spell word in any letter case. */
static int same(const char *p, size_t n, const char *word)
{
    if (strlen(word) != n) return 0;
    for (size_t i = 0; i < n; i++)
        if (lower(p[i]) != word[i]) return 0;
    return 1;
}

/* A number in decimal or 0x hexadecimal, with an optional minus, filling the
   n characters at p; 0 when it is not one or has more than nine digits. */
static int number(const char *p, size_t n, long long *v)
{
    int neg = n > 0 && *p == '-';
    if (neg) p++, n--;
    int base = 10;
    if (n > 2 && p[0] == '0' && lower(p[1]) == 'x') base = 16, p += 2, n -= 2;
    if (n == 0 || n > 9) return 0;
    long long r = 0;
    for (size_t i = 0; i < n; i++) {
        char c = lower(p[i]);
        int d = c >= '0' && c <= '9' ? c - '0' : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) return 0;
        r = r * base + d;
    }
    *v = neg ? -r : r;
    return 1;
}

static const char *trim_start(const char *p, const char *end)
{
    while (p < end && (*p == ' ' || *p == '\t')) p++;
    return p;
}

static const char *trim_end(const char *start, const char *p)
{
    while (p > start && (p[-1] == ' ' || p[-1] == '\t' || p[-1] == '\r')) p--;
    return p;
}

/* A section line "[Name]" or "[Name N]": its kind, and its number through *num. */
static int section(const char *p, const char *end, long long *num)
{
    const char *sp = p;
    while (sp < end && *sp != ' ') sp++;
    size_t word = (size_t)(sp - p);
    *num = UNSET;
    if (sp < end) {
        const char *n = trim_start(sp, end);
        if (!number(n, (size_t)(end - n), num)) return SEC_OTHER;
    }
    if (same(p, word, "clonecd") && sp == end) return SEC_CLONECD;
    if (same(p, word, "disc") && sp == end) return SEC_DISC;
    if (same(p, word, "entry") && sp < end) return SEC_ENTRY;
    if (same(p, word, "track") && sp < end) return SEC_TRACK;
    return SEC_OTHER;
}

/* Files "Key=Value" under the current section; unknown keys pass. 0 after its
   line when a known key's value is not a number, or [Disc] gives an absurd
   count. */
static int key(const char *path, ccd_sheet *c, int sec, long long num, const char *k, size_t kn, const char *v,
               size_t vn)
{
    long long *field = NULL;
    if (sec == SEC_DISC && same(k, kn, "tocentries")) field = &c->toc_entries;
    if (sec == SEC_DISC && same(k, kn, "sessions")) field = &c->sessions;
    if (sec == SEC_ENTRY) {
        ccd_entry *e = &c->entries[num];
        if (same(k, kn, "session")) field = &e->session;
        if (same(k, kn, "point")) field = &e->point;
        if (same(k, kn, "control")) field = &e->control;
        if (same(k, kn, "pmin")) field = &e->pmin;
        if (same(k, kn, "plba")) field = &e->plba;
    }
    if (sec == SEC_TRACK) {
        ccd_track *t = &c->tracks[num];
        if (same(k, kn, "mode")) field = &t->mode;
        if (same(k, kn, "index 0")) field = &t->index0;
        if (same(k, kn, "index 1")) field = &t->index1;
    }
    if (!field) return 1;
    if (field == &c->toc_entries && c->entries) {
        setup_log("%s: TocEntries given again after the entries", path);
        return 0;
    }
    if (!number(v, vn, field)) {
        setup_log("%s: %.*s=%.*s is not a number", path, (int)kn, k, (int)vn, v);
        return 0;
    }
    return 1;
}

/* Makes room for the entries once [Disc] is over and its count is known. */
static int entries_ready(const char *path, ccd_sheet *c)
{
    if (c->entries) return 1;
    if (c->toc_entries < 1 || c->toc_entries > MAX_ENTRIES) {
        setup_log("%s: no TocEntries from 1 to %d before [Entry 0]", path, MAX_ENTRIES);
        return 0;
    }
    c->entries = (ccd_entry *)malloc((size_t)c->toc_entries * sizeof *c->entries);
    if (!c->entries) {
        setup_log("%s: no memory for its %lld entries", path, c->toc_entries);
        return 0;
    }
    c->entry_count = c->toc_entries;
    for (long long i = 0; i < c->entry_count; i++) c->entries[i] = ccd_entry{UNSET, UNSET, UNSET, UNSET, UNSET};
    return 1;
}

/* Reads the sheet's text (NUL-terminated) into *c. 0 after its line. */
static int ccd_parse(const char *path, const char *text, ccd_sheet *c)
{
    int sec = SEC_NONE;
    long long num = UNSET;
    for (const char *line = text; *line;) {
        const char *nl = strchr(line, '\n');
        const char *next = nl ? nl + 1 : line + strlen(line);
        const char *p = trim_start(line, next), *end = trim_end(p, nl ? nl : next);
        line = next;
        if (p == end || *p == ';') continue;
        if (*p == '[') {
            if (end[-1] != ']') {
                setup_log("%s: a section line without its ]", path);
                return 0;
            }
            sec = section(trim_start(p + 1, end - 1), trim_end(p + 1, end - 1), &num);
            if (sec == SEC_CLONECD) c->have_clonecd = 1;
            if (sec == SEC_ENTRY && (!entries_ready(path, c) || num < 0 || num >= c->entry_count)) {
                if (c->entries) setup_log("%s: [Entry %lld] beyond TocEntries=%lld", path, num, c->entry_count);
                return 0;
            }
            if (sec == SEC_TRACK && (num < 1 || num > MAX_TRACKS)) {
                setup_log("%s: [TRACK %lld] is no track number", path, num);
                return 0;
            }
            continue;
        }
        const char *eq = (const char *)memchr(p, '=', (size_t)(end - p));
        if (!eq) continue;
        const char *kend = trim_end(p, eq), *v = trim_start(eq + 1, end);
        if (!key(path, c, sec, num, p, (size_t)(kend - p), v, (size_t)(end - v))) return 0;
    }
    if (!c->have_clonecd || !c->entries) {
        setup_log("%s: not a CloneCD sheet (no [CloneCD] or no [Entry] section)", path);
        return 0;
    }
    return 1;
}

/* The entry of session s with point p, or none. */
static const ccd_entry *find(const ccd_sheet *c, long long s, long long p)
{
    for (long long i = 0; i < c->entry_count; i++)
        if (c->entries[i].session == s && c->entries[i].point == p) return &c->entries[i];
    return NULL;
}

/* What the walk over the tracks found: the first data track. */
typedef struct ccd_found {
    long long track, file_sector, lba, mode; /* file_sector: index 1's sector in the .img */
    long long end_sector;                    /* the sector after the track in the .img */
} ccd_found;

/* The sectors of a track before its INDEX 1 that the .img holds: INDEX 1 less
   INDEX 0 when both are given; for the first track of a session, INDEX 1 alone
   counts from the session's start. */
static long long pregap(const ccd_track *t, int first_of_session)
{
    if (t->index1 != UNSET && t->index0 != UNSET) return t->index1 - t->index0;
    if (t->index1 != UNSET && first_of_session) return t->index1;
    return 0;
}

/* Walks the sessions and their tracks in order, placing each in the .img, and
   stops at the first data track. 0 after its line. */
static int ccd_walk(const char *path, const ccd_sheet *c, ccd_found *f)
{
    if (c->sessions < 1 || c->sessions > MAX_SESSIONS) {
        setup_log("%s: no Sessions from 1 to %d", path, MAX_SESSIONS);
        return 0;
    }
    long long file_sector = 0, disc_end = -IMAGE_LEAD_IN;
    for (long long s = 1; s <= c->sessions; s++) {
        const ccd_entry *a0 = find(c, s, POINT_FIRST), *a1 = find(c, s, POINT_LAST), *a2 = find(c, s, POINT_LEAD_OUT);
        if (!a0 || !a1 || !a2) {
            setup_log("%s: session %lld lacks its point A0, A1 or A2", path, s);
            return 0;
        }
        long long first = a0->pmin, last = a1->pmin, lead_out = a2->plba;
        if (first < 1 || last < first || last > MAX_TRACKS || lead_out < 0 || lead_out > IMAGE_MAX_SECTORS) {
            setup_log("%s: session %lld has tracks %lld to %lld and its lead-out at %lld", path, s, first, last,
                      lead_out);
            return 0;
        }
        for (long long t = first; t <= last; t++) {
            const ccd_entry *e = find(c, s, t), *next = t < last ? find(c, s, t + 1) : a2;
            if (!e || !next || e->plba == UNSET || next->plba == UNSET) {
                setup_log("%s: track %lld or the one after it has no entry with its PLBA", path, t);
                return 0;
            }
            long long gap = pregap(&c->tracks[t], t == first);
            long long next_gap = t < last ? pregap(&c->tracks[t + 1], 0) : 0;
            long long start = e->plba - gap, end = next->plba - next_gap;
            if (gap < 0 || gap > IMAGE_MAX_SECTORS || e->plba < 0 || start < disc_end || e->plba >= end || end > lead_out) {
                setup_log("%s: track %lld (sectors %lld to %lld) overlaps its neighbours or the lead-out", path, t,
                          start, end);
                return 0;
            }
            /* kind: -1 audio, 0 data of a mode the sheet does not say, 1, 2 */
            long long mode = c->tracks[t].mode, kind = mode;
            if (mode == UNSET) kind = e->control != UNSET && (e->control & CONTROL_DATA) ? 0 : -1;
            else if (mode == 0) kind = -1;
            else if (mode != 1 && mode != 2) {
                setup_log("%s: track %lld has MODE=%lld", path, t, mode);
                return 0;
            }
            if (kind >= 0) {
                *f = ccd_found{t, file_sector + gap, e->plba, kind, file_sector + (end - start)};
                return 1;
            }
            file_sector += end - start;
            disc_end = end;
        }
        disc_end = lead_out;
    }
    setup_log("%s: no data track", path);
    return 0;
}

int ccd_read(const char *descriptor, image_track *out)
{
    uint64_t size = 0;
    unsigned char *text = descriptor_load(descriptor, CCD_CAP, &size);
    if (!text) return 0;
    ccd_sheet *c = (ccd_sheet *)calloc(1, sizeof *c);
    int ok = 0;
    ccd_found f;
    uint64_t img_size = 0;
    if (c) {
        c->toc_entries = c->sessions = UNSET;
        for (auto &t : c->tracks) t = ccd_track{UNSET, UNSET, UNSET};
        ok = ccd_parse(descriptor, (const char *)text, c) && ccd_walk(descriptor, c, &f) &&
             sibling_file(descriptor, ".img", out->file) && data_file_size(descriptor, out->file, &img_size);
    }
    if (ok && (uint64_t)f.end_sector * RAW_SECTOR > img_size) {
        setup_log("%s: track %lld runs past the end of %s", descriptor, f.track, out->file);
        ok = 0;
    }
    if (ok) {
        out->start = (uint64_t)f.file_sector * RAW_SECTOR;
        out->first_lba = (uint32_t)f.lba;
        out->sector_size = RAW_SECTOR;
        out->mode = (int)f.mode;
    }
    if (c) free(c->entries);
    free(c);
    free(text);
    return ok;
}
