/*
 * cdsrc_iso.cpp - the ISO 9660 reader of the disc source: directories listed
 * from their records, paths looked up, and the walk that counts an image's
 * tree and copies it, each file read on the reading thread of readahead.h
 * while the chunk before is written.
 *
 * Everything read from an image is untrusted: a record is checked against the
 * bytes read before any field of it is used, an extent and a length against
 * the size of the image before anything is allocated for them, and every name
 * against cd_name_safe before it becomes a path (cdsrc.cpp says more).
 *
 * No state of its own. One thread at a time, as cdsrc.h.
 */
#include "cdsrc_iso.h"

#include "cdsrc_image.h"
#include "cdsrc_names.h"
#include "cdsrc_walk.h"

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
        pf_file f = create_held(child);
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
int iso_walk(cd_source *src, walk *w, const char *name, uint32_t extent, uint32_t size, const char *target,
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

/* ---- the source's root, and a file read whole ---- */

int iso_root(cd_source *src)
{
    unsigned char pvd[CD_SECTOR];
    if (!read_sectors(src->image, src->image->first_lba + PVD_SECTOR, 1, pvd)) return 0;
    src->root_extent = data_extent(pvd + PVD_ROOT);
    src->root_size = le32(pvd + PVD_ROOT + DR_SIZE);
    return 1;
}

void *iso_read(cd_source *src, const char *rel, uint64_t *size)
{
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
