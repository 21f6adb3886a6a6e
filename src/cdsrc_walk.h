/*
 * cdsrc_walk.h - what the two walks of the disc source share (cdsrc_iso.cpp over
 * an image, cdsrc_folder.cpp over a folder): a read of the disc tried again and
 * then asked about, names that become target paths, the record of one walk
 * (directories already listed, the path below the root, the counts) and the
 * results of one attempt at copying a file.
 *
 * State: who is asked about a file that cannot be read (item_set_ask).
 * One walk at a time, on the copying thread; disc_item's tries also run on the
 * reading thread of readahead.h while that thread holds the item.
 */
#ifndef KELP_CDSRC_WALK_H
#define KELP_CDSRC_WALK_H

#include "cdsrc_types.h"
#include "util.h"

#include <stddef.h>
#include <stdint.h>

/* The root is depth 0; a walk lists no folder below this depth. */
enum { CD_MAX_DEPTH = 16 };

/* ---- reading the disc with a second chance (cdsrc_walk.cpp) ---- */

/* Names who item_ask asks (cd_set_ask_retry). */
void item_set_ask(cd_ask_fn fn, void *user);
/* One file or folder of the disc while it is read: its name for the log and
   the question, whether its first retry was logged, and the pause it may
   still spend. */
typedef struct disc_item {
    const char *name;
    int retried;
    unsigned pause_left;
} disc_item;

disc_item item_of(const char *name);
/* After failed try number attempt (from 0): 1, after a pause, when another
   try is due (the first retry logged "read retried: %s"), 0 when the tries
   are used up. */
int item_try_again(disc_item *it, int attempt);
/* After the tries: 1 when the one asked wants the item read again from its
   start, 0 to give up. Logs nothing. */
int item_ask(disc_item *it);
/* Adds to pr what an attempt at a file has written beyond what earlier
   attempts counted; 0 when the one who hears the progress asks to stop. */
int count_new(progress *pr, uint64_t *counted, uint64_t written);

/* ---- names ---- */

/* Joins folder and name into out; 0 and a log line when the name may not
   become a path (refused: the disc's listing refused it) or would be cut. */
int child_path(const char *folder, const char *name, size_t len, int refused, char *out);

/* ---- a walk ---- */

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
int walk_damage(const walk *w, const char *format, const char *what);
/* The walk's path below the root, "\" for the root itself. */
const char *walk_where(const walk *w);
/* 1 the first time an extent is met, 0 after (also when the set cannot grow). */
int walk_first_visit(walk *w, uint32_t extent);
/* Appends "\name" to the walk's path; the old length for walk_pop, or -1 when
   it does not fit. */
int walk_push(walk *w, const char *name, int folder);
void walk_pop(walk *w, int len);
/* Counts a file whose path is the walk's rel. */
void walk_file(walk *w, uint64_t size);

/* ---- one attempt at copying a file ---- */

/* The counting side of one attempt at a file: the bytes it has written, and
   those that earlier attempts counted; pr hears only the new ones. */
typedef struct file_steps {
    progress *pr;
    uint64_t *counted;
    uint64_t written;
} file_steps;
/* A piece was written (a readahead_step_fn): 0 when the copy is to stop. */
int file_step(void *ctx, uint32_t bytes);

/* Results of one attempt at a file: done, a failure that is logged and final
   (a stop too, which says nothing), and a read (or an opening) that failed
   every try, which may be tried again from the start. */
enum { COPY_DONE = 1, COPY_FAILED = 0, COPY_UNREAD = -1, COPY_UNOPENED = -2 };
/* The result of an attempt at the target to from how its readahead copy
   ended; a write failure is logged here. */
int copy_result(int ra_result, const char *to);

#endif
