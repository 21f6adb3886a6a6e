/*
 * util.h - the small file operations every module shares, the byte-counting
 * progress record, and CRC-32.
 *
 * Paths are code-page text of at most 519 characters; every working copy is a
 * PATH_CAP-byte buffer filled by a bounded formatter, which cuts a longer path.
 * Results are 1 for success and 0 for failure, or heap blocks the caller frees.
 * The failures a user must see are logged here ("cannot write %s (error %lu)",
 * "write failed: %s", "cannot read %s", "cannot write %s"); tests and reads
 * report nothing.
 *
 * copy_file passes every block through one static 1 MiB buffer and the CRC table
 * is built on first use, so at most one copy runs at a time and the first
 * crc32_buf call must not meet another; the install runs on one thread.
 */
#ifndef KELP_UTIL_H
#define KELP_UTIL_H

#include "platform.h"

#include <stddef.h>
#include <stdint.h>

enum { PATH_CAP = 520 };
enum { COPY_BLOCK = 1 << 20 };

/* Told the bytes done after every addition; returns 1 to go on, 0 to stop
   the work (the user asked to). */
typedef int (*progress_fn)(uint64_t done, uint64_t total, void *user);

/* Bytes done out of a total. done only grows and may pass total: nothing clamps
   it, and a callback must cope with that. */
typedef struct progress {
    uint64_t done;
    uint64_t total;
    progress_fn callback; /* or none */
    void *user;
    int stopped;          /* set once the callback has asked to stop */
} progress;

/* The stop of the install in hand: asked from any thread (the window's
   confirmed Stop, the end of the session) and heard wherever the install may
   wait: its progress, the tries and pauses of a disc read, a copy waiting for
   the disc. It stays asked until stop_reset, which comes before an install
   and also forgets a no to a question about a held file (held_refused). */
void stop_ask(void);
int stop_is_asked(void);
void stop_reset(void);
/* Sleeps ms milliseconds, or until a stop is asked: 1 after the whole pause,
   0 once a stop is asked (at once when it was asked before). */
int stop_pause(unsigned ms);

/* Joins a folder and a name with a backslash into out (PATH_CAP bytes);
   0 when the result would be cut, and a cut path must not be used: it could
   name another file. */
int path_join(char *out, const char *folder, const char *name);

/* Adds bytes to done, then calls the callback, if any, with the new done.
   Returns 0 once the callback or stop_ask has asked to stop (and sets
   stopped), else 1; a copy stops at the block where it hears 0. */
int progress_add(progress *p, uint64_t bytes);

int path_exists(const char *path);
int is_dir(const char *path);
/* Creates the folder and every missing folder above it; 1 when path is a folder
   afterwards, whoever made it. A drive part such as "C:\" is never created. */
int make_dirs(const char *path);
/* Writes the block as the whole file, creating missing parent folders. A block
   of 4 GiB or more cannot be written in one call and fails. */
int write_file(const char *path, const void *data, uint64_t size);
/* The whole file in a heap block of size + 1 bytes (the last byte unset, room for
   a NUL), its length through *size; none for a missing or unreadable file, a
   failed allocation or a short read, and *size is then left alone. */
void *read_file(const char *path, uint64_t *size);
/* Copies one file in 1 MiB blocks, creating missing parent folders of the target
   first (even when the source turns out to be missing), adding every block to
   pr when given. A failed read or write, or a stop asked through pr, returns 0
   without a message and leaves the partly written target. */
int copy_file(const char *from, const char *to, progress *pr);
/* The standard CRC-32 (reflected 0xEDB88320, as in PNG and gzip); 0 for no bytes. */
uint32_t crc32_buf(const void *data, uint64_t len);
/* A listing of one folder's entries other than "." and "..", in the file
   system's order:
       folder_listing l;
       if (folder_open(&l, folder)) {
           while (folder_next(&l)) ... l.e ...;
           folder_close(&l);
       } */
typedef struct folder_listing {
    pf_find h;
    pf_entry e; /* the entry folder_next moved to */
    int ahead;  /* e holds the first entry, not yet handed out */
} folder_listing;
/* 0 when the folder cannot be listed (missing, unreadable, or a path that
   would be cut), and there is nothing to close. */
int folder_open(folder_listing *l, const char *folder);
/* Moves l->e to the next entry; 0 at the end of the listing (or where it broke
   off: pf_find_failed tells, right after). */
int folder_next(folder_listing *l);
void folder_close(folder_listing *l);
/* Removes the folder and everything in it, read-only files too; a link (to a
   folder or a file) is removed as a link, without entering it. Non-zero when
   the folder itself is gone. */
int delete_tree(const char *folder);
/* Deletes one file, read-only or not, or a link without touching its target,
   with the tries of a held file below. 1 when it is gone (or was never there);
   otherwise pf_last_error and pf_last_error_in_use tell why. */
int remove_file(const char *path);

/* ---- files that another program holds for a moment ----
 * On Windows a virus scanner opens each new executable right after it is
 * written, and a program may still run from its file: a change of such a file
 * (a write, a replacement, a resource update, an attribute change, a deletion)
 * fails with a sharing violation, a lock violation, or access denied while
 * the file is held (pf_file_held). Such a change is tried again after growing
 * pauses (50 ms times the square of the try's number) until some 15 seconds
 * have passed for that file; the first pause of a file is logged
 * ("write retried: %s"). Then whoever set_ask_held named is asked; without
 * anyone, the change fails. Any other failure fails at once. A Stop
 * (stop_ask), or a no to an earlier question, ends the tries of a write at
 * once, and no question is asked after a no; a deletion keeps its tries,
 * since the rollback still removes what the install wrote.
 *
 * The tries of one file, from held_start. */
typedef struct held_file {
    const char *path;
    unsigned tries;     /* failed tries so far */
    unsigned waited_ms; /* paused so far */
    int logged;
    int hears_stop;     /* a Stop ends the tries (held_start sets it) */
    int unexplained;    /* tried again after a failure without a reason */
} held_file;

/* What the question is about: a file held by another program (its path), or
   the game running from the install folder (the folder). */
enum { ASK_HELD_FILE = 1, ASK_GAME_RUNNING = 2 };
/* Asked after the tries: 1 to try again (with fresh tries), 0 to give up.
   Called on the installing thread, which waits for the answer. */
typedef int (*held_ask_fn)(int what, const char *path, void *user);
/* Names who is asked (none: nobody, the change fails, as in a silent run). Set
   before the install starts, never while it runs. */
void set_ask_held(held_ask_fn fn, void *user);
/* Asks whoever set_ask_held named; 0 without anyone. */
int ask_held(int what, const char *path);
/* 1 once a question about a held file has been answered no since
   stop_reset or set_ask_held: the user chose to stop the installation, and a later change
   that would only meet the same hold is not worth another question. */
int held_refused(void);

held_file held_start(const char *path);
/* Right after a failed change of h->path, pf_last_error still that failure's:
   1 after a pause when the failure is a hold and the tries last (and at
   once, a single time, after a failure that gives no reason), 0 otherwise
   with pf_last_error unchanged. Logs nothing but the first pause. */
int held_again(held_file *h);
/* held_again, and when the tries are over the question: 1 to try again. */
int held_retry(held_file *h);
/* pf_create with the tries and the question. */
struct pf_file_s *create_held(const char *path);
/* pf_set_attributes with the tries (no question). */
int set_attributes_held(const char *path, uint32_t attrs);

#ifdef KELP_FAULTS
/* The time the tries of one file may pause, 15000 ms; a test shortens it. */
extern unsigned held_budget_ms;
#endif

#endif
