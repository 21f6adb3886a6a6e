/*
 * cdsrc_folder.cpp - the folder walk of the disc source: a folder's listing
 * read whole before anything of it is copied, and each file copied through the
 * reading thread of readahead.h, its reads and listings tried again and then
 * asked about as an image's are.
 *
 * No state of its own. One thread at a time, as cdsrc.h.
 */
#include "cdsrc_folder.h"

#include "cdsrc_walk.h"

#include "platform.h"
#include "readahead.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
    pf_file out = create_held(to);
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
int dir_walk(const char *folder, walk *w, const char *target, int depth)
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
