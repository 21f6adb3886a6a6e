/*
 * cdsrc.cpp - the disc source over a folder or an image, with its ISO 9660 reader.
 *
 * State: the two static buffers of the image copy (buf, one chunk of user data,
 * and stage, one run of raw sectors). A source changes nothing after cd_open:
 * every call reads the disc afresh. One thread at a time.
 *
 * Everything read from an image is untrusted: a record is checked against the
 * bytes read before any field of it is used, an extent and a length against the
 * size of the image before anything is allocated for them, and every name
 * against cd_name_safe before it becomes a path. A walk lists each directory
 * extent once, so loops and shared directories in a crafted image cannot make a
 * total or a copy run longer than the image is large.
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
enum { RAW_SECTOR = 2352 };
static const uint32_t PLAIN_RUN = 1u << 16;       /* logical sectors per read of a plain image */

/* Offsets in the primary volume descriptor and in a directory record. */
enum { PVD_SECTOR = 16, PVD_ROOT_EXTENT = 158, PVD_ROOT_SIZE = 166 };
enum { DR_LEN = 0, DR_EXTENT = 2, DR_SIZE = 10, DR_FLAGS = 25, DR_ID_LEN = 32, DR_ID = 33 };
enum { DR_FLAG_DIR = 0x02, DR_FLAG_MORE = 0x80 };

static unsigned char buf[COPY_RUN * CD_SECTOR];
static unsigned char stage[COPY_RUN * RAW_SECTOR];

static uint32_t le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static char upper(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

static int same_name(const char *a, const char *b)
{
    while (*a && upper(*a) == upper(*b)) a++, b++;
    return upper(*a) == upper(*b);
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
       ignores spaces before that dot. */
    char base[8];
    size_t b = 0;
    while (name[b] && name[b] != '.' && b < sizeof base) b++;
    if (b == sizeof base) return 1;
    while (b > 0 && name[b - 1] == ' ') b--;
    for (size_t i = 0; i < b; i++) base[i] = upper(name[i]);
    base[b] = 0;
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL"};
    for (const char *d : devices)
        if (strcmp(base, d) == 0) return 0;
    if (b == 4 && (memcmp(base, "COM", 3) == 0 || memcmp(base, "LPT", 3) == 0)) {
        unsigned char c = (unsigned char)base[3];
        /* The code page's superscript digits 1, 2 and 3 count as digits too. */
        if ((c >= '1' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3) return 0;
    }
    return 1;
}

/* A name that may hold anything, made printable for a log line. */
static void printable(const char *name, char *out, size_t cap)
{
    size_t o = 0;
    for (const unsigned char *p = (const unsigned char *)name; *p && o + 5 < cap; p++) {
        if (*p < 0x20 || *p == 0x7F) o += (size_t)snprintf(out + o, cap - o, "\\x%02X", *p);
        else out[o++] = (char)*p;
    }
    out[o] = 0;
}

/* Joins folder and name into out; 0 and a log line when the name may not become
   a path or the path would be cut (a cut path could name another file). */
static int child_path(const char *folder, const char *name, char *out)
{
    if (!cd_name_safe(name)) {
        char shown[300];
        printable(name, shown, sizeof shown);
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

/* ---- the image reader ---- */

int probe(cd_source *src, uint32_t sector_size, uint32_t data_offset)
{
    unsigned char pvd[CD_SECTOR];
    uint32_t got = 0;
    src->sector_size = sector_size;
    src->data_offset = data_offset;
    src->file_pos = UINT64_MAX;
    if (!pf_seek(src->file, (uint64_t)PVD_SECTOR * sector_size + data_offset)) return 0;
    if (!pf_read(src->file, pvd, sizeof pvd, &got) || got != sizeof pvd) return 0;
    if (pvd[0] != 1 || memcmp(pvd + 1, "CD001", 5) != 0) return 0;
    src->root_extent = le32(pvd + PVD_ROOT_EXTENT);
    src->root_size = le32(pvd + PVD_ROOT_SIZE);
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
            if (!read_at(src, sector * CD_SECTOR + src->data_offset, out, n * CD_SECTOR, &got) ||
                got != n * CD_SECTOR)
                return 0;
            out += (size_t)n * CD_SECTOR;
            sector += n;
            want -= n;
            continue;
        }
        /* A raw run: from the first sector's user data to the last one's, read
           at once; the user data of each sector are picked out of it. */
        uint32_t n = want < COPY_RUN ? want : COPY_RUN;
        uint32_t bytes = (n - 1) * src->sector_size + CD_SECTOR;
        int ok = read_at(src, sector * src->sector_size + src->data_offset, stage, bytes, &got);
        for (uint32_t i = 0; i < n; i++) {
            if (!ok || (uint64_t)i * src->sector_size + CD_SECTOR > got) return 0;
            memcpy(out, stage + (size_t)i * src->sector_size, CD_SECTOR);
            out += CD_SECTOR;
        }
        sector += n;
        want -= n;
    }
    return whole;
}

iso_entry *iso_dir(cd_source *src, uint32_t extent, uint32_t size, int *count)
{
    int cap = 64, n = 0;
    *count = 0;
    iso_entry *list = (iso_entry *)malloc((size_t)cap * sizeof *list);
    if (!list) return NULL;
    uint32_t sectors = (uint32_t)(((uint64_t)size + CD_SECTOR - 1) / CD_SECTOR);
    if (sectors == 0 || !in_image(src, extent, size)) return list;
    unsigned char *data = (unsigned char *)malloc((size_t)sectors * CD_SECTOR);
    if (!data || !read_sectors(src, extent, sectors, data)) {
        free(data);
        return list;
    }
    uint64_t d = 0;
    while (d < size) {
        unsigned len = data[d + DR_LEN];
        if (len == 0) {
            d = (d / CD_SECTOR + 1) * CD_SECTOR;
            continue;
        }
        /* The record must hold its fixed fields and its identifier, and end
           inside the directory; otherwise nothing after it can be trusted. */
        if (len < DR_ID + 1 || d + len > size) break;
        const unsigned char *r = data + d;
        unsigned id_len = r[DR_ID_LEN];
        if (id_len == 0 || DR_ID + id_len > len) break;
        d += len;
        if (id_len == 1 && (r[DR_ID] == 0 || r[DR_ID] == 1)) continue; /* itself, its parent */
        if (n == cap) {
            iso_entry *bigger = (iso_entry *)realloc(list, (size_t)cap * 2 * sizeof *list);
            if (!bigger) break;
            list = bigger;
            cap *= 2;
        }
        iso_entry *e = &list[n++];
        size_t k = 0;
        while (k < id_len && k < sizeof e->name - 1 && r[DR_ID + k] != ';') {
            e->name[k] = (char)r[DR_ID + k];
            k++;
        }
        if (k > 0 && e->name[k - 1] == '.') k--;
        e->name[k] = 0;
        e->extent = le32(r + DR_EXTENT);
        e->size = le32(r + DR_SIZE);
        e->directory = (r[DR_FLAGS] & DR_FLAG_DIR) ? 1 : 0;
        e->more = (r[DR_FLAGS] & DR_FLAG_MORE) ? 1 : 0;
    }
    free(data);
    *count = n;
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
        iso_entry *list = iso_dir(src, extent, size, &n);
        int i = 0;
        while (i < n && !(cd_name_safe(list[i].name) && same_name(list[i].name, comp))) i++;
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
    iso_entry *list = iso_dir(src, extent, size, &n);
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
        if (pr) progress_add(pr, bytes);
    }
    return 1;
}

static int iso_copy(cd_source *src, walk *w, uint32_t extent, uint32_t size, const char *target,
                    progress *pr, int depth)
{
    int n = 0, ok = 1;
    iso_entry *list = iso_dir(src, extent, size, &n);
    make_dirs(target);
    for (int i = 0; ok && i < n; i++) {
        iso_entry *e = &list[i];
        char child[PATH_CAP];
        if (e->directory && depth >= CD_MAX_DEPTH) continue;
        if (!child_path(target, e->name, child)) {
            ok = 0;
            break;
        }
        if (e->directory) {
            if (!walk_first_visit(w, e->extent)) {
                setup_log("directory listed twice on the disc, left out: %s", child);
                continue;
            }
            ok = iso_copy(src, w, e->extent, e->size, child, pr, depth + 1);
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
        } else if (!child_path(target, e.name, to)) {
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

/* Takes the image name from a CUE sheet's first FILE line; path becomes the
   image's path. Leaves path alone when the sheet cannot be read or names no
   quoted file. */
static void follow_cue(char *path)
{
    uint64_t n = 0;
    char *text = (char *)read_file(path, &n);
    if (!text) return;
    text[n] = 0;
    char *file = strstr(text, "FILE");
    char *open = file ? strchr(file, '"') : NULL;
    char *close = open ? strchr(open + 1, '"') : NULL;
    if (close) {
        *close = 0;
        const char *name = open + 1;
        char folder[PATH_CAP];
        snprintf(folder, sizeof folder, "%s", path);
        /* A slash separates folders as well as a backslash: "C:/Images/game.cue"
           is a valid path, and its image lies beside it, not in the current folder. */
        char *slash = strrchr(folder, '\\'), *fwd = strrchr(folder, '/');
        if (fwd > slash) slash = fwd;
        if (slash) slash[1] = 0;
        else folder[0] = 0;
        if (strchr(name, ':')) snprintf(path, PATH_CAP, "%s", name);
        else snprintf(path, PATH_CAP, "%s%s", folder, name);
    }
    free(text);
}

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
    const char *dot = strrchr(path, '.');
    if (dot && strlen(dot) == 4 && same_name(dot, ".CUE")) follow_cue(path);

    src->file = pf_open_read(path, 0);
    uint64_t bytes = 0;
    if (src->file == PF_NO_FILE || !pf_file_size(src->file, &bytes)) {
        cd_close(src);
        return NULL;
    }
    static const uint32_t layouts[3][2] = {{CD_SECTOR, 0}, {RAW_SECTOR, 16}, {RAW_SECTOR, 24}};
    int found = 0;
    for (int i = 0; i < 3 && !found; i++) found = probe(src, layouts[i][0], layouts[i][1]);
    if (!found) {
        cd_close(src);
        return NULL;
    }
    /* Logical sector n is whole in the file when its 2048 bytes of user data are. */
    if (bytes >= (uint64_t)src->data_offset + CD_SECTOR)
        src->image_sectors = (bytes - src->data_offset - CD_SECTOR) / src->sector_size + 1;
    src->kind = CD_SOURCE_IMAGE;
    snprintf(src->path, sizeof src->path, "%s", path);
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
    int ok = iso_copy(src, &w, src->root_extent, src->root_size, target, pr, 0);
    free(w.seen);
    return ok;
}

void cd_close(cd_source *src)
{
    if (!src) return;
    pf_close(src->file);
    free(src);
}
