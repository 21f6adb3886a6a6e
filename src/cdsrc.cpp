/*
 * cdsrc.cpp - the disc source over a folder or an image: opening it and the
 * public operations, each handed to the walk of its kind. The ISO 9660 reader
 * and its walk are cdsrc_iso.cpp, the folder walk cdsrc_folder.cpp, what the
 * two walks share (the second chance of a read, names that become paths, the
 * walk's record) cdsrc_walk.cpp; the image files themselves (descriptors,
 * layouts, sector reads and their checks) are cdsrc_image.h.
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
#include "cdsrc_folder.h"
#include "cdsrc_image.h"
#include "cdsrc_internal.h"
#include "cdsrc_iso.h"
#include "cdsrc_walk.h"

#include "platform.h"
#include "readahead.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

void cd_set_ask_retry(cd_ask_fn fn, void *user) { item_set_ask(fn, user); }

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
    src->image = image_open(path, src->path);
    if (!src->image || !iso_root(src)) {
        cd_close(src);
        return NULL;
    }
    src->kind = CD_SOURCE_IMAGE;
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
    return iso_read(src, rel, size);
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
