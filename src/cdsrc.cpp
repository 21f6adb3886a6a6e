/*
 * cdsrc.cpp - the disc source over a folder or an image, with its ISO 9660 reader.
 * How image files are opened and their sectors read is in cdsrc_image.cpp.
 *
 * State: the static buffer of the image copy (buf, one chunk of user data; the
 * sector reader has one more). A source changes nothing after cd_open: every
 * call reads the disc afresh. One thread at a time.
 *
 * Everything read from an image is untrusted: a record is checked against the
 * bytes read before any field of it is used, an extent and a length against the
 * size of the image before anything is allocated for them, and every name
 * against cd_name_safe before it becomes a path. A walk lists each directory
 * extent once, so loops and shared directories in a crafted image cannot make a
 * total or a copy run longer than the image is large.
 *
 * Damage is a failed copy, never a quiet one: a directory that cannot be read or
 * holds a record that does not fit, and two entries of one directory that would
 * land in one target file, each end the copy with a line.
 */
#include "cdsrc.h"
#include "cdsrc_internal.h"

#include "platform.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const uint32_t COPY_RUN = 32;             /* logical sectors per chunk of an image copy */

/* Offsets in a directory record. */
enum { DR_LEN = 0, DR_EXTENT = 2, DR_SIZE = 10, DR_FLAGS = 25, DR_ID_LEN = 32, DR_ID = 33 };
enum { DR_FLAG_DIR = 0x02, DR_FLAG_MORE = 0x80 };

static unsigned char buf[COPY_RUN * CD_SECTOR];

/* A name's byte as Windows might compare it: ASCII letters without case, and
   every byte above 0x7F alike, because in the code page of the machine that
   copies it such a byte may be a letter whose other case is another byte
   (0xE9 and 0xC9 in Western pages), or part of a two-byte character. Two names
   that fold alike may name one file there. */
static unsigned char fold(unsigned char c) { return c >= 0x80 ? 0x80 : (unsigned char)cd_upper((char)c); }

static int same_name(const char *a, const char *b)
{
    while (*a && cd_upper(*a) == cd_upper(*b)) a++, b++;
    return cd_upper(*a) == cd_upper(*b);
}

/* 1 when bytes starting at logical sector extent lie wholly inside the image. */
static int in_image(const cd_source *src, uint32_t extent, uint64_t bytes)
{
    return (uint64_t)extent + (bytes + CD_SECTOR - 1) / CD_SECTOR <= src->image_sectors;
}

/* ---- names ---- */

int cd_name_safe(const char *name)
{
    size_t n = strlen(name);
    if (n == 0 || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
    if (name[n - 1] == '.' || name[n - 1] == ' ') return 0;
    for (const unsigned char *p = (const unsigned char *)name; *p; p++)
        if (*p < 0x20 || *p == 0x7F || strchr("\\/:*?\"<>|", *p)) return 0;
    /* A device name is reserved whatever follows its first dot, and Windows
       ignores the spaces before that dot, however many. */
    size_t b = strcspn(name, ".");
    while (b > 0 && name[b - 1] == ' ') b--;
    char base[8];
    if (b >= sizeof base) return 1;
    for (size_t i = 0; i < b; i++) base[i] = cd_upper(name[i]);
    base[b] = 0;
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *d : devices)
        if (strcmp(base, d) == 0) return 0;
    if (b == 4 && (memcmp(base, "COM", 3) == 0 || memcmp(base, "LPT", 3) == 0)) {
        unsigned char c = (unsigned char)base[3];
        /* The code page's superscript digits 1, 2 and 3 count as digits too. */
        if ((c >= '1' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3) return 0;
    }
    return 1;
}

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
    cd_list_fn fn;    /* or none */
    void *user;
    char rel[PATH_CAP];
} walk;

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

/* Appends "\name" to the walk's relative path; returns the old length for
   walk_pop, or -1 when it does not fit. */
static int walk_push(walk *w, const char *name)
{
    size_t n = strlen(w->rel);
    int r = snprintf(w->rel + n, PATH_CAP - n, n ? "\\%s" : "%s", name);
    if (r < 0 || n + (size_t)r >= PATH_CAP) {
        w->rel[n] = 0;
        return -1;
    }
    return (int)n;
}

static void walk_pop(walk *w, int len) { w->rel[len] = 0; }

static void walk_file(walk *w, const char *name, uint64_t size)
{
    if (!w->fn) return;
    int len = walk_push(w, name);
    if (len < 0) return;
    w->fn(w->rel, size, w->user);
    walk_pop(w, len);
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
    if (!data || !read_sectors(src, extent, sectors, data)) {
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
           inside the directory; otherwise nothing after it can be trusted. */
        const unsigned char *r = data + d;
        unsigned id_len = len > DR_ID_LEN ? r[DR_ID_LEN] : 0;
        if (len < DR_ID + 1 || d + len > size || id_len == 0 || DR_ID + id_len > len) {
            bad = ISO_DIR_DAMAGED;
            break;
        }
        d += len;
        if (id_len == 1 && (r[DR_ID] == 0 || r[DR_ID] == 1)) continue; /* itself, its parent */
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
        e->extent = cd_le32(r + DR_EXTENT);
        e->size = cd_le32(r + DR_SIZE);
        e->directory = (r[DR_FLAGS] & DR_FLAG_DIR) ? 1 : 0;
        e->more = (r[DR_FLAGS] & DR_FLAG_MORE) ? 1 : 0;
    }
    free(data);
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
        while (*p && *p != '\\' && *p != '/' && k < sizeof comp - 1) comp[k++] = cd_upper(*p++);
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

static uint64_t iso_total(cd_source *src, walk *w, uint32_t extent, uint32_t size, int depth)
{
    int n = 0;
    uint64_t total = 0;
    iso_entry *list = iso_dir(src, extent, size, &n, NULL);
    for (int i = 0; i < n; i++) {
        iso_entry *e = &list[i];
        if (!e->directory) {
            total += e->size;
            walk_file(w, e->name, e->size);
            continue;
        }
        if (depth >= CD_MAX_DEPTH || !walk_first_visit(w, e->extent)) continue;
        int len = walk_push(w, e->name);
        if (len < 0) continue;
        total += iso_total(src, w, e->extent, e->size, depth + 1);
        walk_pop(w, len);
    }
    free(list);
    return total;
}

/* Copies one extent's data to the open file to (its path) in chunks of
   COPY_RUN sectors. A failed write, such as a full disk, is logged here: the
   caller's own line would not say which file or why. */
static int copy_extent(cd_source *src, pf_file f, const char *to, const iso_entry *e, progress *pr)
{
    uint64_t sector = e->extent;
    uint32_t remain = e->size;
    while (remain > 0) {
        uint32_t n = (uint32_t)(((uint64_t)remain + CD_SECTOR - 1) / CD_SECTOR);
        if (n > COPY_RUN) n = COPY_RUN;
        if (sector > 0xFFFFFFFFu || !read_sectors(src, (uint32_t)sector, n, buf)) {
            setup_log("read error in %s", e->name);
            return 0;
        }
        uint32_t bytes = n * CD_SECTOR < remain ? n * CD_SECTOR : remain, put = 0;
        if (!pf_write(f, buf, bytes, &put) || put != bytes) {
            setup_log("write failed: %s", to);
            return 0;
        }
        remain -= bytes;
        sector += n;
        if (pr && !progress_add(pr, bytes)) return 0; /* stopped: nothing to say */
    }
    return 1;
}

/* Copies the directory at (extent, size), whose own name is name and whose path
   below the root is the walk's rel, into target. */
static int iso_copy(cd_source *src, walk *w, const char *name, uint32_t extent, uint32_t size, const char *target,
                    progress *pr, int depth)
{
    int n = 0, ok = 1, fault = ISO_DIR_OK;
    iso_entry *list = iso_dir(src, extent, size, &n, &fault);
    make_dirs(target);
    if (!list || fault == ISO_DIR_UNREADABLE) {
        setup_log("read error in %s", name);
        free(list);
        return 0;
    }
    if (fault == ISO_DIR_DAMAGED) {
        setup_log("damaged directory %s", w->rel[0] ? w->rel : "\\");
        free(list);
        return 0;
    }
    for (int i = 0; ok && i < n; i++) {
        iso_entry *e = &list[i];
        char child[PATH_CAP];
        if (e->directory && depth >= CD_MAX_DEPTH) continue;
        if (!child_path(target, e->name, (size_t)e->name_len, e->refused, child)) {
            ok = 0;
            break;
        }
        if (e->directory) {
            if (!walk_first_visit(w, e->extent)) {
                setup_log("directory listed twice on the disc, left out: %s", child);
                continue;
            }
            int len = walk_push(w, e->name);
            if (len < 0) { /* rel is shorter than child, which fits */
                setup_log("path too long: %s", child);
                ok = 0;
                break;
            }
            ok = iso_copy(src, w, e->name, e->extent, e->size, child, pr, depth + 1);
            walk_pop(w, len);
            continue;
        }
        pf_file f = pf_create(child);
        if (f == PF_NO_FILE) {
            setup_log("cannot write %s", child);
            ok = 0;
            break;
        }
        ok = copy_extent(src, f, child, e, pr);
        /* The records of a multi-extent file follow one another under one name;
           their data are joined into the one target file. */
        while (ok && e->more && i + 1 < n && !list[i + 1].directory && strcmp(list[i + 1].name, e->name) == 0) {
            e = &list[++i];
            ok = copy_extent(src, f, child, e, pr);
        }
        pf_close(f);
    }
    free(list);
    return ok;
}

/* ---- folders ---- */

static uint64_t dir_total(const char *folder, walk *w, int depth)
{
    char pattern[PATH_CAP], child[PATH_CAP];
    pf_entry e;
    uint64_t total = 0;
    if (!path_join(pattern, folder, "*")) return 0;
    pf_find h = pf_find_first(pattern, &e);
    if (!h) return 0;
    do {
        if (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0) continue;
        if (!(e.attrs & PF_ATTR_DIRECTORY)) {
            total += e.size;
            walk_file(w, e.name, e.size);
            continue;
        }
        if (depth >= CD_MAX_DEPTH) continue;
        /* A cut path could name another folder: leave it out. */
        if (!path_join(child, folder, e.name)) continue;
        int len = walk_push(w, e.name);
        if (len < 0) continue;
        total += dir_total(child, w, depth + 1);
        walk_pop(w, len);
    } while (pf_find_next(h, &e));
    pf_find_close(h);
    return total;
}

static int dir_copy(const char *folder, const char *target, progress *pr, int depth)
{
    char pattern[PATH_CAP], from[PATH_CAP], to[PATH_CAP];
    pf_entry e;
    int ok = 1;
    snprintf(pattern, sizeof pattern, "%s\\*", folder);
    pf_find h = pf_find_first(pattern, &e);
    make_dirs(target);
    if (!h) return 1;
    do {
        if (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0) continue;
        int is_folder = (e.attrs & PF_ATTR_DIRECTORY) != 0;
        if (is_folder && depth >= CD_MAX_DEPTH) continue;
        if (!path_join(from, folder, e.name)) {
            setup_log("path too long: %s\\%s", folder, e.name);
            ok = 0;
        } else if (!child_path(target, e.name, strlen(e.name), 0, to)) {
            ok = 0;
        } else if (is_folder) {
            ok = dir_copy(from, to, pr, depth + 1);
        } else {
            ok = copy_file(from, to, pr);
            pf_set_attributes(to, PF_ATTR_NORMAL);
        }
    } while (ok && pf_find_next(h, &e));
    pf_find_close(h);
    return ok;
}

/* ---- the public operations ---- */

cd_source *cd_open(const char *given)
{
    cd_source *src = (cd_source *)calloc(1, sizeof *src);
    if (!src) return NULL;
    src->file = PF_NO_FILE;
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
    if (!image_open(src, path)) {
        cd_close(src);
        return NULL;
    }
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
    if (!rel[0] || !iso_find(src, rel, &e) || e.directory) return NULL;
    /* The size comes from the disc: nothing is allocated for data the image
       does not hold. */
    if (!in_image(src, e.extent, e.size)) return NULL;
    uint32_t sectors = (uint32_t)(((uint64_t)e.size + CD_SECTOR - 1) / CD_SECTOR);
    char *block = (char *)malloc((size_t)sectors * CD_SECTOR + 1);
    if (!block) return NULL;
    if (!read_sectors(src, e.extent, sectors, block)) {
        free(block);
        return NULL;
    }
    *size = e.size;
    return block;
}

uint64_t cd_list(cd_source *src, cd_list_fn fn, void *user)
{
    walk w = {};
    w.fn = fn;
    w.user = user;
    uint64_t total;
    if (src->kind == CD_SOURCE_IMAGE) {
        walk_first_visit(&w, src->root_extent);
        total = iso_total(src, &w, src->root_extent, src->root_size, 0);
    } else {
        total = dir_total(src->path, &w, 0);
    }
    free(w.seen);
    return total;
}

uint64_t cd_total_bytes(cd_source *src) { return cd_list(src, NULL, NULL); }

int cd_copy_all(cd_source *src, const char *target, progress *pr)
{
    if (src->kind != CD_SOURCE_IMAGE) return dir_copy(src->path, target, pr, 0);
    walk w = {};
    walk_first_visit(&w, src->root_extent);
    int ok = iso_copy(src, &w, "\\", src->root_extent, src->root_size, target, pr, 0);
    free(w.seen);
    return ok;
}

void cd_close(cd_source *src)
{
    if (!src) return;
    pf_close(src->file);
    free(src);
}
