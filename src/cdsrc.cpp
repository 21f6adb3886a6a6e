/*
 * cdsrc.cpp - the disc source over a folder or an image, with its ISO 9660 reader.
 * The image files themselves (sheets, layouts, sector reads and their checks)
 * are cdsrc_image.h.
 *
 * State: who is asked about a file that cannot be read (cd_set_ask_retry); the
 * copies' chunks pass through the buffers of readahead.h, and the sector reader
 * has a stage buffer. A source changes nothing after cd_open: every call reads
 * the disc afresh. One copy at a time: while a copy runs, each file's data are
 * read on the reading thread of readahead.h (reads, their retries and "read
 * retried" lines, the sector checks of a raw image), which goes on into the
 * next file of the same listing; the walk lists or opens anything else of the
 * source only once it has stopped that reading. The writes, the progress and
 * the question about a file that cannot be read stay on the calling thread.
 *
 * Everything read from an image is untrusted: a record is checked against the
 * bytes read before any field of it is used, an extent and a length against the
 * size of the image before anything is allocated for them, and every name
 * against cd_name_safe before it becomes a path. A walk lists each directory
 * extent once and no deeper than 16 levels, so the records that a walk meets
 * are bounded by the image's size. The bytes that a copy writes are not: files
 * may share an extent (mastering tools store identical files once), and each
 * record is copied as the disc records it.
 *
 * Damage is a failed copy, never a quiet one: a directory that cannot be read,
 * holds a record that does not fit or a broken multi-extent chain, is reached a
 * second time or lies too deep, an interleaved file, a sector that fails its
 * check, and two entries of one directory that would land in one target file,
 * each end the copy with a line.
 *
 * A disc in a drive fails now and then and works the next time (dust, a drive
 * that recalibrates): the copy reads each failed chunk or listing again at the
 * same place a few times before it gives up on it, and then asks whoever
 * cd_set_ask_retry named whether to read that file or folder again from its
 * start. The front end that is asked sets it before the copy starts.
 */
#include "cdsrc.h"
#include "cdsrc_image.h"
#include "cdsrc_internal.h"
#include "cdsrc_names.h"

#include "platform.h"
#include "readahead.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const uint32_t COPY_RUN = 32;             /* logical sectors per write of an image copy */
/* Logical sectors per read of an image copy: a few large reads cost the
   reading side fewer calls, while the writes stay COPY_RUN sectors. */
static const uint32_t READ_RUN = 256;

/* Offsets in a directory record. */
enum {
    DR_LEN = 0, DR_XA_LEN = 1, DR_EXTENT = 2, DR_SIZE = 10, DR_FLAGS = 25, DR_UNIT = 26, DR_GAP = 27,
    DR_ID_LEN = 32, DR_ID = 33
};
enum { DR_FLAG_DIR = 0x02, DR_FLAG_ASSOCIATED = 0x04, DR_FLAG_MORE = 0x80 };
/* Offsets in the primary volume descriptor (logical sector 16): its root
   directory's record. */
enum { PVD_SECTOR = 16, PVD_ROOT = 156 };

/* The little-endian half of an on-disc both-endian 32-bit field. */
static uint32_t le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
/* ASCII letters in upper case, every other byte as it is. */
static char upper(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

/* Where a record's data begin: its extent, after the logical blocks of its
   extended attribute record; beyond any image when that does not fit 32 bits. */
static uint32_t data_extent(const unsigned char *r)
{
    uint64_t at = (uint64_t)le32(r + DR_EXTENT) + r[DR_XA_LEN];
    return at > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)at;
}

/* A name's byte as Windows might compare it: ASCII letters without case, and
   every byte above 0x7F alike, because in the code page of the machine that
   copies it such a byte may be a letter whose other case is another byte
   (0xE9 and 0xC9 in Western pages), or part of a two-byte character. Two names
   that fold alike may name one file there. */
static unsigned char fold(unsigned char c) { return c >= 0x80 ? 0x80 : (unsigned char)upper((char)c); }

static int same_name(const char *a, const char *b)
{
    while (*a && upper(*a) == upper(*b)) a++, b++;
    return upper(*a) == upper(*b);
}

/* 1 when bytes starting at logical sector extent lie wholly inside the image. */
static int in_image(const cd_source *src, uint32_t extent, uint64_t bytes)
{
    return (uint64_t)extent + (bytes + CD_SECTOR - 1) / CD_SECTOR <= src->image->sectors;
}

/* ---- reading the disc with a second chance ---- */

/* Tries of one read; the pauses before the second to the last. A drive spends
   seconds on a bad sector by itself: the pauses only let dust settle, and one
   file waits no more than PAUSE_BUDGET_MS in all. */
enum { READ_TRIES = 5, PAUSE_BUDGET_MS = 1000 };
#ifndef KELP_FUZZING
static const unsigned RETRY_PAUSE_MS[READ_TRIES - 1] = {50, 100, 200, 400};
#else
/* The fuzzing build reads damaged images by the million: no dust to settle. */
static const unsigned RETRY_PAUSE_MS[READ_TRIES - 1] = {0, 0, 0, 0};
#endif

static cd_ask_fn ask_fn;
static void *ask_user;

void cd_set_ask_retry(cd_ask_fn fn, void *user)
{
    ask_fn = fn;
    ask_user = user;
}

/* One file or folder of the disc while it is read: its name for the log and
   the question, whether its first retry was logged, and the pause it may
   still spend. */
typedef struct disc_item {
    const char *name;
    int retried;
    unsigned pause_left;
} disc_item;

static disc_item item_of(const char *name)
{
    disc_item it = {name, 0, PAUSE_BUDGET_MS};
    return it;
}

/* After failed try number attempt (from 0): 1, after a pause, when another
   try is due, 0 when the tries are used up or a stop is asked. */
static int item_try_again(disc_item *it, int attempt)
{
    if (attempt + 1 >= READ_TRIES || stop_is_asked()) return 0;
    if (!it->retried) {
        setup_log("read retried: %s", it->name);
        it->retried = 1;
    }
    unsigned ms = RETRY_PAUSE_MS[attempt] < it->pause_left ? RETRY_PAUSE_MS[attempt] : it->pause_left;
    it->pause_left -= ms;
    return !ms || stop_pause(ms);
}

/* After the tries: 1 when the one asked wants the item read again from its
   start (with a fresh allowance of pauses), 0 to give up, also without a
   question once a stop is asked. Logs nothing. */
static int item_ask(disc_item *it)
{
    if (stop_is_asked() || !ask_fn || !ask_fn(it->name, ask_user)) return 0;
    it->pause_left = PAUSE_BUDGET_MS;
    return 1;
}

/* Adds to pr what an attempt at a file has written beyond what earlier
   attempts counted, so that reading a file again adds nothing twice; below
   that it adds 0, so that every piece still asks. 0 when the one who hears the
   progress asks the copy to stop. */
static int count_new(progress *pr, uint64_t *counted, uint64_t written)
{
    uint64_t add = written > *counted ? written - *counted : 0;
    if (add) *counted = written;
    return !pr || progress_add(pr, add);
}

/* ---- names ---- */

/* A name of len bytes that may hold anything, NUL included, made printable for
   a log line. */
static void printable(const char *name, size_t len, char *out, size_t cap)
{
    size_t o = 0;
    for (size_t i = 0; i < len && o + 5 < cap; i++) {
        unsigned char c = (unsigned char)name[i];
        if (c < 0x20 || c == 0x7F) o += (size_t)snprintf(out + o, cap - o, "\\x%02X", c);
        else out[o++] = (char)c;
    }
    out[o] = 0;
}

/* Joins folder and name into out; 0 and a log line when the name may not become
   a path (refused stands for a name that the disc's listing refused) or the path
   would be cut (a cut path could name another file). */
static int child_path(const char *folder, const char *name, size_t len, int refused, char *out)
{
    if (refused || !cd_name_safe(name)) {
        char shown[300];
        printable(name, len, shown, sizeof shown);
        setup_log("unsafe name \"%s\" in %s", shown, folder);
        return 0;
    }
    if (!path_join(out, folder, name)) {
        setup_log("path too long: %s\\%s", folder, name);
        return 0;
    }
    return 1;
}

/* ---- a walk: directories already listed, and the path below the root ---- */

typedef struct walk {
    uint64_t *seen;   /* open addressing: extent + 1, 0 for a free slot */
    size_t used, cap;
    int strict;       /* damage ends the walk with its line; else the damaged part is left out */
    cd_list_fn fn;    /* or none */
    void *user;
    uint64_t total;   /* the bytes of the files met */
    size_t deepest;   /* the longest path below the root met, a file's or a folder's */
    size_t deepest_folder; /* the longest such path of a folder */
    progress *pr;     /* of a copy, or none */
    char rel[PATH_CAP];
} walk;

/* Damage met by a walk: a strict walk logs the line and stops (0), any other
   goes on without the damaged part (1). */
static int walk_damage(const walk *w, const char *format, const char *what)
{
    if (!w->strict) return 1;
    setup_log(format, what);
    return 0;
}

/* The walk's path below the root, "\" for the root itself. */
static const char *walk_where(const walk *w) { return w->rel[0] ? w->rel : "\\"; }

/* 1 the first time an extent is met, 0 after (also when the set cannot grow:
   then the directory is left out rather than risk walking it twice). */
static int walk_first_visit(walk *w, uint32_t extent)
{
    if (2 * (w->used + 1) > w->cap) {
        size_t cap = w->cap ? w->cap * 2 : 64;
        uint64_t *slots = (uint64_t *)calloc(cap, sizeof *slots);
        if (!slots) return 0;
        for (size_t i = 0; i < w->cap; i++) {
            if (!w->seen[i]) continue;
            size_t h = (size_t)(w->seen[i] * 2654435761u) & (cap - 1);
            while (slots[h]) h = (h + 1) & (cap - 1);
            slots[h] = w->seen[i];
        }
        free(w->seen);
        w->seen = slots;
        w->cap = cap;
    }
    uint64_t key = (uint64_t)extent + 1;
    size_t h = (size_t)(key * 2654435761u) & (w->cap - 1);
    while (w->seen[h]) {
        if (w->seen[h] == key) return 0;
        h = (h + 1) & (w->cap - 1);
    }
    w->seen[h] = key;
    w->used++;
    return 1;
}

/* Appends "\name" (a folder's, when folder) to the walk's relative path;
   returns the old length for walk_pop, or -1 when it does not fit. Either way
   the path's length counts for the deepest. */
static int walk_push(walk *w, const char *name, int folder)
{
    size_t n = strlen(w->rel);
    size_t whole = n + (n ? 1 : 0) + strlen(name);
    if (whole > w->deepest) w->deepest = whole;
    if (folder && whole > w->deepest_folder) w->deepest_folder = whole;
    int r = snprintf(w->rel + n, PATH_CAP - n, n ? "\\%s" : "%s", name);
    if (r < 0 || n + (size_t)r >= PATH_CAP) {
        w->rel[n] = 0;
        return -1;
    }
    return (int)n;
}

static void walk_pop(walk *w, int len) { w->rel[len] = 0; }

/* Counts a file whose path is the walk's rel. */
static void walk_file(walk *w, uint64_t size)
{
    w->total += size;
    if (w->fn) w->fn(w->rel, size, w->user);
}

/* ---- the ISO 9660 reader ---- */

/* Marks every entry whose name folds like an earlier entry's (see fold) as
   refused: Windows would give both one file. The records of a multi-extent file
   (one record with more set, the next under the very same name) are one entry.
   0 when the table cannot be had. */
static int refuse_duplicates(iso_entry *list, int n)
{
    size_t cap = 16;
    while (cap < 2 * (size_t)n) cap *= 2;
    int *slots = (int *)malloc(cap * sizeof *slots);
    if (!slots) return 0;
    for (size_t i = 0; i < cap; i++) slots[i] = -1;
    for (int i = 0; i < n; i++) {
        iso_entry *e = &list[i];
        if (i > 0 && list[i - 1].more && !e->directory && !list[i - 1].directory &&
            e->name_len == list[i - 1].name_len && memcmp(e->name, list[i - 1].name, (size_t)e->name_len) == 0)
            continue;
        uint32_t h = 2166136261u;
        for (int k = 0; k < e->name_len; k++) h = (h ^ fold((unsigned char)e->name[k])) * 16777619u;
        size_t at = h & (cap - 1);
        for (; slots[at] >= 0; at = (at + 1) & (cap - 1)) {
            const iso_entry *o = &list[slots[at]];
            int k = 0;
            if (o->name_len != e->name_len) continue;
            while (k < e->name_len && fold((unsigned char)o->name[k]) == fold((unsigned char)e->name[k])) k++;
            if (k == e->name_len) break;
        }
        if (slots[at] >= 0) e->refused = 1;
        else slots[at] = i;
    }
    free(slots);
    return 1;
}

/* Where the chain of records of a multi-extent file breaks: the index of its
   first record, or -1 when every chain is whole. A record with more set must
   be a file's, followed by a record of the very same name. */
static int broken_chain(const iso_entry *list, int n)
{
    int start = 0;
    for (int i = 0; i < n; i++) {
        if (i == 0 || !list[i - 1].more) start = i;
        const iso_entry *e = &list[i], *next = i + 1 < n ? &list[i + 1] : NULL;
        if (e->more && (e->directory || !next || next->directory || next->name_len != e->name_len ||
                        memcmp(next->name, e->name, (size_t)e->name_len) != 0))
            return start;
    }
    return -1;
}

iso_entry *iso_dir(cd_source *src, uint32_t extent, uint32_t size, int *count, int *fault)
{
    int cap = 64, n = 0, bad = ISO_DIR_OK;
    *count = 0;
    if (fault) *fault = ISO_DIR_UNREADABLE;
    iso_entry *list = (iso_entry *)malloc((size_t)cap * sizeof *list);
    if (!list) return NULL;
    uint32_t sectors = (uint32_t)(((uint64_t)size + CD_SECTOR - 1) / CD_SECTOR);
    if (sectors == 0) {
        if (fault) *fault = ISO_DIR_OK;
        return list;
    }
    if (!in_image(src, extent, size)) return list;
    unsigned char *data = (unsigned char *)malloc((size_t)sectors * CD_SECTOR);
    if (!data || !read_sectors(src->image, extent, sectors, data)) {
        free(data);
        return list;
    }
    uint64_t d = 0;
    while (d < size) {
        unsigned len = data[d + DR_LEN];
        if (len == 0) { /* the rest of the sector is padding */
            d = (d / CD_SECTOR + 1) * CD_SECTOR;
            continue;
        }
        /* The record must hold its fixed fields and its identifier, and end
           inside the directory, before any field of it is read; otherwise
           nothing after it can be trusted. */
        const unsigned char *r = data + d;
        if (len < DR_ID + 1 || d + len > size || r[DR_ID_LEN] == 0 || (unsigned)DR_ID + r[DR_ID_LEN] > len) {
            bad = ISO_DIR_DAMAGED;
            break;
        }
        unsigned id_len = r[DR_ID_LEN];
        d += len;
        if (id_len == 1 && (r[DR_ID] == 0 || r[DR_ID] == 1)) continue; /* itself, its parent */
        /* An associated file's record holds data that belong to the file of
           the same name (the other half of a hybrid disc): not a file here. */
        if (r[DR_FLAGS] & DR_FLAG_ASSOCIATED) continue;
        if (n == cap) {
            iso_entry *bigger = (iso_entry *)realloc(list, (size_t)cap * 2 * sizeof *list);
            if (!bigger) {
                bad = ISO_DIR_UNREADABLE;
                break;
            }
            list = bigger;
            cap *= 2;
        }
        iso_entry *e = &list[n++];
        memset(e, 0, sizeof *e);
        size_t k = 0;
        while (k < id_len && k < sizeof e->name - 1 && r[DR_ID + k] != ';') {
            e->name[k] = (char)r[DR_ID + k];
            k++;
        }
        if (k > 0 && e->name[k - 1] == '.') k--;
        e->name[k] = 0;
        e->name_len = (int)k;
        /* A NUL would cut the name short and give it another entry's name. */
        e->refused = memchr(r + DR_ID, 0, id_len) != NULL;
        e->extent = data_extent(r);
        e->size = le32(r + DR_SIZE);
        e->directory = (r[DR_FLAGS] & DR_FLAG_DIR) ? 1 : 0;
        e->more = (r[DR_FLAGS] & DR_FLAG_MORE) ? 1 : 0;
        e->interleaved = r[DR_UNIT] != 0 || r[DR_GAP] != 0;
    }
    free(data);
    int broken = bad == ISO_DIR_UNREADABLE ? -1 : broken_chain(list, n);
    if (broken >= 0) {
        n = broken;
        bad = ISO_DIR_DAMAGED;
    }
    if (bad != ISO_DIR_UNREADABLE && !refuse_duplicates(list, n)) bad = ISO_DIR_UNREADABLE;
    if (bad == ISO_DIR_UNREADABLE) n = 0;
    *count = n;
    if (fault) *fault = bad;
    return list;
}

int iso_find(cd_source *src, const char *rel, iso_entry *out)
{
    uint32_t extent = src->root_extent, size = src->root_size;
    const char *p = rel;
    while (*p) {
        char comp[64];
        size_t k = 0;
        while (*p && *p != '\\' && *p != '/' && k < sizeof comp - 1) comp[k++] = upper(*p++);
        comp[k] = 0;
        while (*p == '\\' || *p == '/') p++;
        int n = 0;
        iso_entry *list = iso_dir(src, extent, size, &n, NULL);
        int i = 0;
        while (i < n && (list[i].refused || !cd_name_safe(list[i].name) || !same_name(list[i].name, comp))) i++;
        if (i == n) {
            free(list);
            return 0;
        }
        *out = list[i];
        extent = list[i].extent;
        size = list[i].size;
        free(list);
    }
    return 1;
}

/* Reads n logical sectors from first into dst, trying again where the image
   holds them, from try number attempt on; 0 when every try failed or they lie
   beyond the image. */
static int read_run(cd_source *src, disc_item *it, uint64_t first, uint32_t n, void *dst, int attempt)
{
    if (first > 0xFFFFFFFFu) return 0;
    for (;; attempt++) {
        if (read_sectors(src->image, (uint32_t)first, n, dst)) return 1;
        /* Data beyond the end of the image will not be there next time. */
        if (!in_image(src, (uint32_t)first, (uint64_t)n * CD_SECTOR) || !item_try_again(it, attempt)) return 0;
    }
}

/* The counting side of one attempt at a file: the bytes it has written, and
   those that earlier attempts counted; pr hears only the new ones. */
typedef struct file_steps {
    progress *pr;
    uint64_t *counted;
    uint64_t written;
} file_steps;

/* A piece was written (a readahead_step_fn): 0 when the copy is to stop. */
static int file_step(void *ctx, uint32_t bytes)
{
    file_steps *fs = (file_steps *)ctx;
    fs->written += bytes;
    return count_new(fs->pr, fs->counted, fs->written);
}

/* Results of one attempt at a file: done, a failure that is logged and final
   (a stop too, which says nothing), and a read (or an opening) that failed
   every try, which may be tried again from the start. */
enum { COPY_DONE = 1, COPY_FAILED = 0, COPY_UNREAD = -1, COPY_UNOPENED = -2 };

/* The result of an attempt at the target to from how its copy ended; the
   write failure, such as a full disk, is logged here: the caller's own line
   would not say which file or why. */
static int copy_result(int ra_result, const char *to)
{
    switch (ra_result) {
    case RA_DONE: return COPY_DONE;
    case RA_UNREAD: return COPY_UNREAD;
    case RA_WRITE_FAILED: setup_log("write failed: %s", to); return COPY_FAILED;
    default: return COPY_FAILED; /* stopped: nothing to say */
    }
}

/* The reading side of an image file's copy: the records list[i] to list[last]
   (one, or a multi-extent file's, whose data are joined) and where it stands
   in them. Runs on the reading thread. */
typedef struct iso_reader {
    cd_source *src;
    const iso_entry *list;
    int i, last;
    uint64_t sector;
    uint32_t remain;
    disc_item *it;
    int small;        /* a large read failed: the rest goes COPY_RUN sectors at a time */
} iso_reader;

/* Reads the file's next chunk of at most cap bytes, whole sectors of one
   extent (a readahead_read_fn); the chunk's bytes are the file's, without the
   padding of an extent's last sector. A large read that fails counts as the
   first failed try of its first COPY_RUN sectors, and from then on the file is
   read COPY_RUN sectors at a time: the sectors before a bad one are still
   written, and each run gets its tries, as when every read was that small. */
static int read_iso_chunk(void *ctx, void *dst, uint32_t cap, uint32_t *got)
{
    iso_reader *r = (iso_reader *)ctx;
    *got = 0;
    while (r->remain == 0) {
        if (r->i >= r->last) return 1;
        r->i++;
        r->sector = r->list[r->i].extent;
        r->remain = r->list[r->i].size;
    }
    uint32_t n = (uint32_t)(((uint64_t)r->remain + CD_SECTOR - 1) / CD_SECTOR);
    if (n > cap / CD_SECTOR) n = cap / CD_SECTOR;
    if (r->sector > 0xFFFFFFFFu) return 0;
    int attempt = 0, done = 0;
    if (n > COPY_RUN && !r->small) {
        int inside = in_image(r->src, (uint32_t)r->sector, (uint64_t)n * CD_SECTOR);
        done = inside && read_sectors(r->src->image, (uint32_t)r->sector, n, dst);
        if (!done) {
            r->small = 1;
            /* Sectors beyond the end of the image are not tried again. */
            if (inside && !item_try_again(r->it, 0)) return 0;
            attempt = inside;
        }
    }
    if (!done) {
        if (n > COPY_RUN) n = COPY_RUN;
        if (!read_run(r->src, r->it, r->sector, n, dst, attempt)) return 0;
    }
    *got = n * CD_SECTOR < r->remain ? n * CD_SECTOR : r->remain;
    r->remain -= *got;
    r->sector += n;
    return 1;
}

/* One file of an image to copy, the records list[first] to rd.last: its
   reading side and its item, which the tries and the question count on. */
typedef struct iso_file {
    disc_item it;
    int first;
    iso_reader rd;
} iso_file;

/* The file's reading side back at its start. */
static void iso_file_rewind(iso_file *f)
{
    const iso_entry *e = &f->rd.list[f->first];
    iso_reader rd = {f->rd.src, f->rd.list, f->first, f->rd.last, e->extent, e->size, &f->it, 0};
    f->rd = rd;
}

static void iso_file_start(iso_file *f, cd_source *src, const iso_entry *list, int first, int last)
{
    f->it = item_of(list[first].name);
    f->first = first;
    f->rd.src = src;
    f->rd.list = list;
    f->rd.last = last;
    iso_file_rewind(f);
}

/* Copies file, whose reading side is at its start (and may have begun
   reading ahead), into child, in writes of COPY_RUN sectors, the next read
   while one is written; then, when given, the file to read on into at its
   end. A read that fails every try is asked about and, when wanted, the file
   is written again from its start. The question is asked here, on the copying
   thread, once the reading thread has let go: a Retry starts a new target
   file, which is this thread's, and the one asked answers one question at a
   time. */
static int iso_copy_file(iso_file *file, iso_file *then, const char *child, progress *pr)
{
    uint64_t counted = 0;
    for (;;) {
        pf_file f = pf_create(child);
        if (f == PF_NO_FILE) {
            setup_log("cannot write %s", child);
            return 0;
        }
        file_steps fs = {pr, &counted, 0};
        if (then) readahead_then(read_iso_chunk, &then->rd);
        int r = copy_result(readahead_copy(read_iso_chunk, &file->rd, READ_RUN * CD_SECTOR, COPY_RUN * CD_SECTOR, f,
                                           file_step, &fs),
                            child);
        pf_close(f);
        if (r != COPY_UNREAD) return r;
        if (!item_ask(&file->it)) {
            setup_log("read error in %s", file->it.name);
            return 0;
        }
        iso_file_rewind(file);
    }
}

/* Lists a directory for a copy as iso_dir does, trying a directory that cannot
   be read again (when the image holds it) and then asking about it. */
static iso_entry *iso_dir_again(cd_source *src, const char *name, uint32_t extent, uint32_t size, int *n, int *fault)
{
    disc_item it = item_of(name);
    int attempt = 0;
    for (;;) {
        iso_entry *list = iso_dir(src, extent, size, n, fault);
        if (list && *fault != ISO_DIR_UNREADABLE) return list;
        /* A directory beyond the end of the image will not be there next time. */
        if (!in_image(src, extent, size)) return list;
        if (item_try_again(&it, attempt)) {
            attempt++;
        } else if (item_ask(&it)) {
            attempt = 0;
        } else {
            return list;
        }
        free(list);
    }
}

/* 1 when the file of entry i, or a later record of its multi-extent chain, is
   recorded in interleaved units. */
static int interleaved(const iso_entry *list, int n, int i)
{
    for (; i < n; i++)
        if (list[i].interleaved || !list[i].more) return list[i].interleaved;
    return 0;
}

/* The last record of the file whose first record is entry i: the records of
   a multi-extent file follow one another under one name, and their data are
   joined into one file. */
static int chain_last(const iso_entry *list, int n, int i)
{
    int last = i;
    while (list[last].more && last + 1 < n && !list[last + 1].directory &&
           strcmp(list[last + 1].name, list[i].name) == 0)
        last++;
    return last;
}

/* Walks the directory at (extent, size), whose own name is name and whose path
   below the root is the walk's rel: counts its files and, when target is
   given, copies them into it. 0 when the walk is to stop: damage met by a
   strict walk, or a failed copy (each logged). */
static int iso_walk(cd_source *src, walk *w, const char *name, uint32_t extent, uint32_t size, const char *target,
                    int depth)
{
    int n = 0, ok = 1, fault = ISO_DIR_OK;
    iso_entry *list = target ? iso_dir_again(src, name, extent, size, &n, &fault)
                             : iso_dir(src, extent, size, &n, &fault);
    /* The copy of a file reads on into the next file of the listing: files[now]
       is the entry ready, whose reading may have begun. On the heap: a read
       that a stop leaves behind may use them after this walk has returned. */
    iso_file *files = target ? (iso_file *)calloc(2, sizeof *files) : NULL;
    int now = 0, ready = -1;
    if (target) make_dirs(target); /* a file that cannot be written into it says so */
    if (!list || fault == ISO_DIR_UNREADABLE || (target && !files)) ok = walk_damage(w, "read error in %s", name);
    else if (fault == ISO_DIR_DAMAGED) ok = walk_damage(w, "damaged directory %s", walk_where(w));
    for (int i = 0; ok && i < n; i++) {
        iso_entry *e = &list[i];
        char child[PATH_CAP];
        if (ready >= 0 && ready != i) { /* it was not copied after all */
            readahead_drop();
            ready = -1;
        }
        if (target && !child_path(target, e->name, (size_t)e->name_len, e->refused, child)) {
            ok = 0;
            break;
        }
        /* A second record of a directory already walked (a loop, or two names
           for one directory) is damage of the directory that holds it. */
        if (e->directory && depth < CD_MAX_DEPTH && !walk_first_visit(w, e->extent)) {
            ok = walk_damage(w, "damaged directory %s", walk_where(w));
            continue;
        }
        int len = walk_push(w, e->name, e->directory);
        if (len < 0) { /* with a target, rel is shorter than child, which fits */
            ok = walk_damage(w, "path too long: %s", e->name);
            continue;
        }
        if (e->directory && depth >= CD_MAX_DEPTH) {
            ok = walk_damage(w, "folder too deep: %s", w->rel);
        } else if (e->directory) {
            ok = iso_walk(src, w, e->name, e->extent, e->size, target ? child : NULL, depth + 1);
        } else if (interleaved(list, n, i) && !walk_damage(w, "unsupported interleaved file %s", w->rel)) {
            /* copied as one run, its data would be mixed with others' */
            ok = 0;
        } else if (target) {
            int last = chain_last(list, n, i), next = last + 1;
            if (ready != i) iso_file_start(&files[now], src, list, i, last);
            iso_file *then = NULL;
            if (next < n && !list[next].directory && !interleaved(list, n, next)) {
                then = &files[1 - now];
                iso_file_start(then, src, list, next, chain_last(list, n, next));
            }
            ok = iso_copy_file(&files[now], then, child, w->pr);
            now = 1 - now;
            ready = then ? next : -1;
            i = last;
        } else {
            int last = chain_last(list, n, i);
            uint64_t size = 0;
            for (int k = i; k <= last; k++) size += list[k].size;
            walk_file(w, size);
            i = last;
        }
        walk_pop(w, len);
    }
    readahead_drop(); /* a reading ahead (also of a file whose copy never began) holds the list */
    if (!readahead_left_behind()) { /* else a read may still use them */
        free(files);
        free(list);
    }
    return ok;
}

/* ---- folders ---- */

/* A disc file or folder's name as the player knows it: the folder and the
   name joined, without doubling the backslash of a drive root ("D:\" and
   "MAPS" give "D:\MAPS"). 0 when it would be cut. */
static int disc_join(char *out, const char *folder, const char *name)
{
    size_t n = strlen(folder);
    int root = n > 0 && (folder[n - 1] == '\\' || folder[n - 1] == '/');
    return snprintf(out, PATH_CAP, root ? "%s%s" : "%s\\%s", folder, name) < PATH_CAP;
}

/* One listing of a folder, "." and ".." left out, into a heap array: COPY_DONE,
   or COPY_UNREAD when the folder could not be read (or memory ran out). */
static int list_once(const char *folder, pf_entry **out, int *count)
{
    char pattern[PATH_CAP];
    pf_entry e;
    *out = NULL;
    *count = 0;
    if (!disc_join(pattern, folder, "*")) return COPY_UNREAD;
    pf_find h = pf_find_first(pattern, &e);
    if (!h) return pf_find_failed() ? COPY_UNREAD : COPY_DONE;
    int cap = 0, n = 0, r = COPY_DONE;
    pf_entry *list = NULL;
    do {
        if (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0) continue;
        if (n == cap) {
            int bigger = cap ? cap * 2 : 32;
            pf_entry *more = (pf_entry *)realloc(list, (size_t)bigger * sizeof *list);
            if (!more) {
                r = COPY_UNREAD;
                break;
            }
            list = more;
            cap = bigger;
        }
        list[n++] = e;
    } while (pf_find_next(h, &e));
    if (r == COPY_DONE && pf_find_failed()) r = COPY_UNREAD; /* it broke off */
    pf_find_close(h);
    if (r != COPY_DONE) {
        free(list);
        return r;
    }
    *out = list;
    *count = n;
    return COPY_DONE;
}

/* The whole listing of a disc folder, read before anything of it is copied,
   so that a listing read again starts afresh; tried again and then asked
   about as a file's read is. 0 with "read error in %s" when it cannot be had. */
static int list_disc_folder(const char *folder, pf_entry **out, int *count)
{
    disc_item it = item_of(folder);
    int attempt = 0;
    while (list_once(folder, out, count) != COPY_DONE) {
        if (item_try_again(&it, attempt)) {
            attempt++;
        } else if (item_ask(&it)) {
            attempt = 0;
        } else {
            setup_log("read error in %s", folder);
            return 0;
        }
    }
    return 1;
}

/* The reading side of a folder source's file: the open file and the
   position of its next chunk. Runs on the reading thread. */
typedef struct file_reader {
    char from[PATH_CAP];
    disc_item it;     /* the tries and the question count on it */
    pf_file f;        /* opened by the first read */
    uint64_t pos;
    int unopened;     /* it could not be opened */
} file_reader;

/* The reading side of the disc file folder\name, at its start; 0 when its
   path would be cut. */
static int file_start(file_reader *r, const char *folder, const char *name)
{
    if (!disc_join(r->from, folder, name)) return 0;
    r->it = item_of(r->from);
    r->f = PF_NO_FILE;
    r->pos = 0;
    r->unopened = 0;
    return 1;
}

/* Reads the file's next chunk of at most cap bytes (a readahead_read_fn),
   opening it first: again at the same position after a failure, as a read
   that fails may have moved the file's position. Opening is tried again too:
   a drive without its disc fails there. */
static int read_file_chunk(void *ctx, void *dst, uint32_t cap, uint32_t *got)
{
    file_reader *r = (file_reader *)ctx;
    for (int attempt = 0; r->f == PF_NO_FILE && (r->f = pf_open_read(r->from, 1)) == PF_NO_FILE; attempt++) {
        if (!item_try_again(&r->it, attempt)) {
            r->unopened = 1;
            return 0;
        }
    }
    for (int attempt = 0;; attempt++) {
        if ((attempt == 0 || pf_seek(r->f, r->pos)) && pf_read(r->f, dst, cap, got)) {
            r->pos += *got;
            return 1;
        }
        if (!item_try_again(&r->it, attempt)) return 0;
    }
}

/* Closes the file that rd opened, once the reading thread has let go of it
   (a read that a stop left behind keeps it). */
static void file_done(file_reader *rd)
{
    if (readahead_left_behind()) return;
    pf_close(rd->f);
    rd->f = PF_NO_FILE;
}

/* One attempt at copying the disc file of rd (at its start) to the target file
   to, in blocks of COPY_BLOCK, the next read while one is written; then, when
   given, the file whose reading follows. The file is opened by its first
   read: a target made for a file that cannot be opened goes again, unless it
   was there before. */
static int file_once(file_reader *rd, file_reader *then, const char *to, uint64_t *counted, progress *pr)
{
    int was_there = path_exists(to);
    pf_file out = pf_create(to);
    if (out == PF_NO_FILE) {
        setup_log("cannot write %s", to);
        return COPY_FAILED;
    }
    file_steps fs = {pr, counted, 0};
    if (then) readahead_then(read_file_chunk, then);
    int r = copy_result(readahead_copy(read_file_chunk, rd, COPY_BLOCK, COPY_BLOCK, out, file_step, &fs), to);
    pf_close(out);
    file_done(rd);
    if (r == COPY_UNREAD && rd->unopened) {
        if (!was_there) pf_delete_file(to);
        return COPY_UNOPENED;
    }
    return r;
}

/* Copies one file of a folder source, reading it again from its start when
   asked to after a read that failed every try. */
static int disc_file_copy(file_reader *rd, file_reader *then, const char *to, progress *pr)
{
    uint64_t counted = 0;
    for (;;) {
        int r = file_once(rd, then, to, &counted, pr);
        if (r != COPY_UNREAD && r != COPY_UNOPENED) return r;
        if (!item_ask(&rd->it)) {
            setup_log(r == COPY_UNOPENED ? "cannot read %s" : "read error in %s", rd->from);
            return 0;
        }
        rd->pos = 0;
        rd->unopened = 0;
    }
}

/* Counts the files of a folder source's folder and, when target is given,
   copies them into it; as iso_walk. A strict walk reads a listing that fails
   again and then asks about it; any other counts such a folder as empty. */
static int dir_walk(const char *folder, walk *w, const char *target, int depth)
{
    char from[PATH_CAP], to[PATH_CAP];
    pf_entry *list = NULL;
    int n = 0, ok = 1;
    if (w->strict) {
        if (!list_disc_folder(folder, &list, &n)) return 0;
    } else if (list_once(folder, &list, &n) != COPY_DONE) {
        return 1;
    }
    if (target && !make_dirs(target)) {
        setup_log("cannot write %s", target);
        free(list);
        return 0;
    }
    /* The copy of a file reads on into the next file of the listing: files[now]
       is the entry ready, whose reading may have begun (on the heap, as
       iso_walk's). */
    file_reader *files = target ? (file_reader *)calloc(2, sizeof *files) : NULL;
    if (target && !files) {
        setup_log("read error in %s", folder);
        free(list);
        return 0;
    }
    if (files) files[0].f = files[1].f = PF_NO_FILE;
    int now = 0, ready = -1;
    for (int i = 0; ok && i < n; i++) {
        const pf_entry *e = &list[i];
        int is_folder = (e->attrs & PF_ATTR_DIRECTORY) != 0, len = -1;
        if (ready >= 0 && ready != i) { /* it was not copied after all */
            readahead_drop();
            file_done(&files[now]);
            ready = -1;
        }
        /* A cut path could name another file. */
        if (!disc_join(from, folder, e->name) || (len = walk_push(w, e->name, is_folder)) < 0) {
            if (w->strict) setup_log("path too long: %s\\%s", folder, e->name);
            ok = !w->strict;
        } else if (target && !child_path(target, e->name, strlen(e->name), 0, to)) {
            ok = 0;
        } else if (is_folder && depth >= CD_MAX_DEPTH) {
            ok = walk_damage(w, "folder too deep: %s", w->rel);
        } else if (is_folder) {
            ok = dir_walk(from, w, target ? to : NULL, depth + 1);
        } else if (target) {
            if (ready != i) file_start(&files[now], folder, e->name); /* fits: from did */
            file_reader *then = NULL;
            if (i + 1 < n && !(list[i + 1].attrs & PF_ATTR_DIRECTORY) &&
                file_start(&files[1 - now], folder, list[i + 1].name))
                then = &files[1 - now];
            ok = disc_file_copy(&files[now], then, to, w->pr);
            pf_set_attributes(to, PF_ATTR_NORMAL);
            now = 1 - now;
            ready = then ? i + 1 : -1;
        } else {
            walk_file(w, e->size);
        }
        if (len >= 0) walk_pop(w, len);
    }
    /* Also a file whose copy never began may be read ahead, and open. */
    readahead_drop();
    if (files) {
        file_done(&files[0]);
        file_done(&files[1]);
        if (!readahead_left_behind()) free(files);
    }
    free(list);
    return ok;
}

/* Walks the whole source (see iso_walk); frees what the walk kept. */
static int walk_source(cd_source *src, walk *w, const char *target)
{
    int ok;
    if (src->kind == CD_SOURCE_IMAGE) {
        walk_first_visit(w, src->root_extent);
        ok = iso_walk(src, w, "\\", src->root_extent, src->root_size, target, 0);
    } else {
        ok = dir_walk(src->path, w, target, 0);
    }
    free(w->seen);
    w->seen = NULL;
    return ok;
}

/* ---- the public operations ---- */

cd_source *cd_open(const char *given)
{
    cd_source *src = (cd_source *)calloc(1, sizeof *src);
    if (!src) return NULL;
    char path[PATH_CAP];
    snprintf(path, sizeof path, "%s", given);
    size_t len = strlen(path);
    if (len > 3) {
        while (len > 3 && (path[len - 1] == '\\' || path[len - 1] == '/')) path[--len] = 0;
    } else if (len == 2 && path[1] == ':') {
        strcat(path, "\\"); /* a bare drive letter is the drive's root */
    }
    if (is_dir(path)) {
        snprintf(src->path, sizeof src->path, "%s", path);
        snprintf(src->desc, sizeof src->desc, "folder %s", src->path);
        return src;
    }
    unsigned char pvd[CD_SECTOR];
    src->image = image_open(path, src->path);
    if (!src->image || !read_sectors(src->image, PVD_SECTOR, 1, pvd)) {
        cd_close(src);
        return NULL;
    }
    src->kind = CD_SOURCE_IMAGE;
    src->root_extent = data_extent(pvd + PVD_ROOT);
    src->root_size = le32(pvd + PVD_ROOT + DR_SIZE);
    snprintf(src->desc, sizeof src->desc, "image %s", src->path);
    return src;
}

const char *cd_describe(const cd_source *src) { return src->desc; }

int cd_exists(cd_source *src, const char *rel)
{
    if (src->kind == CD_SOURCE_IMAGE) {
        iso_entry scratch;
        return iso_find(src, rel, &scratch);
    }
    char p[PATH_CAP];
    if (!path_join(p, src->path, rel)) return 0;
    return path_exists(p);
}

void *cd_read(cd_source *src, const char *rel, uint64_t *size)
{
    if (src->kind != CD_SOURCE_IMAGE) {
        char p[PATH_CAP];
        if (!path_join(p, src->path, rel)) return NULL;
        return read_file(p, size);
    }
    iso_entry e;
    /* An interleaved file is not one run, and a file in several extents is
       not its first extent: neither is read as such. */
    if (!rel[0] || !iso_find(src, rel, &e) || e.directory || e.interleaved || e.more) return NULL;
    /* The size comes from the disc: nothing is allocated for data the image
       does not hold. */
    if (!in_image(src, e.extent, e.size)) return NULL;
    uint32_t sectors = (uint32_t)(((uint64_t)e.size + CD_SECTOR - 1) / CD_SECTOR);
    char *block = (char *)malloc((size_t)sectors * CD_SECTOR + 1);
    if (!block) return NULL;
    if (!read_sectors(src->image, e.extent, sectors, block)) {
        free(block);
        return NULL;
    }
    *size = e.size;
    return block;
}

int cd_list(cd_source *src, cd_list_fn fn, void *user, uint64_t *total)
{
    walk w = {};
    w.strict = 1;
    w.fn = fn;
    w.user = user;
    int ok = walk_source(src, &w, NULL);
    if (total) *total = w.total;
    return ok;
}

void cd_count_all(cd_source *src, cd_list_fn fn, void *user, cd_count *out)
{
    walk w = {};
    w.fn = fn;
    w.user = user;
    walk_source(src, &w, NULL);
    out->bytes = w.total;
    out->deepest = w.deepest;
    out->deepest_folder = w.deepest_folder;
}

uint64_t cd_total_bytes(cd_source *src)
{
    cd_count c;
    cd_count_all(src, NULL, NULL, &c);
    return c.bytes;
}

int cd_copy_all(cd_source *src, const char *target, progress *pr)
{
    walk w = {};
    w.strict = 1;
    w.pr = pr;
    /* Without the reading thread the copy reads and writes in turn. */
    readahead_begin();
    int ok = walk_source(src, &w, target);
    readahead_end();
    return ok;
}

void cd_close(cd_source *src)
{
    /* A read that a stop left behind may still read through it: kept. */
    if (!src || readahead_left_behind()) return;
    image_close(src->image);
    free(src);
}
