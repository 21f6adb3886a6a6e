/*
 * cdsrc_walk.cpp - what the two walks of the disc source share: see
 * cdsrc_walk.h.
 *
 * State: who is asked about a file that cannot be read, set before a copy
 * through cd_set_ask_retry.
 */
#include "cdsrc_walk.h"

#include "cdsrc_names.h"

#include "platform.h"
#include "readahead.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

void item_set_ask(cd_ask_fn fn, void *user)
{
    ask_fn = fn;
    ask_user = user;
}

disc_item item_of(const char *name)
{
    disc_item it = {name, 0, PAUSE_BUDGET_MS};
    return it;
}

/* After failed try number attempt (from 0): 1, after a pause, when another
   try is due, 0 when the tries are used up or a stop is asked. */
int item_try_again(disc_item *it, int attempt)
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
int item_ask(disc_item *it)
{
    if (stop_is_asked() || !ask_fn || !ask_fn(it->name, ask_user)) return 0;
    it->pause_left = PAUSE_BUDGET_MS;
    return 1;
}

/* Adds to pr what an attempt at a file has written beyond what earlier
   attempts counted, so that reading a file again adds nothing twice; below
   that it adds 0, so that every piece still asks. 0 when the one who hears the
   progress asks the copy to stop. */
int count_new(progress *pr, uint64_t *counted, uint64_t written)
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
int child_path(const char *folder, const char *name, size_t len, int refused, char *out)
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

/* Damage met by a walk: a strict walk logs the line and stops (0), any other
   goes on without the damaged part (1). */
int walk_damage(const walk *w, const char *format, const char *what)
{
    if (!w->strict) return 1;
    setup_log(format, what);
    return 0;
}

/* The walk's path below the root, "\" for the root itself. */
const char *walk_where(const walk *w) { return w->rel[0] ? w->rel : "\\"; }

/* 1 the first time an extent is met, 0 after (also when the set cannot grow:
   then the directory is left out rather than risk walking it twice). */
int walk_first_visit(walk *w, uint32_t extent)
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
int walk_push(walk *w, const char *name, int folder)
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

void walk_pop(walk *w, int len) { w->rel[len] = 0; }

/* Counts a file whose path is the walk's rel. */
void walk_file(walk *w, uint64_t size)
{
    w->total += size;
    if (w->fn) w->fn(w->rel, size, w->user);
}

/* A piece was written (a readahead_step_fn): 0 when the copy is to stop. */
int file_step(void *ctx, uint32_t bytes)
{
    file_steps *fs = (file_steps *)ctx;
    fs->written += bytes;
    return count_new(fs->pr, fs->counted, fs->written);
}

/* The result of an attempt at the target to from how its copy ended; the
   write failure, such as a full disk, is logged here: the caller's own line
   would not say which file or why. */
int copy_result(int ra_result, const char *to)
{
    switch (ra_result) {
    case RA_DONE: return COPY_DONE;
    case RA_UNREAD: return COPY_UNREAD;
    case RA_WRITE_FAILED: setup_log("write failed: %s", to); return COPY_FAILED;
    default: return COPY_FAILED; /* stopped: nothing to say */
    }
}

