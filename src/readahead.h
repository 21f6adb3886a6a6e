/*
 * readahead.h - copies a stream into a file while its next chunks are read on a
 * second thread, so that a disc keeps streaming while the target is written
 * and a slow target never waits for the disc.
 *
 * The reading side is a function given by the caller: whatever it does (seeks,
 * reads tried again, checks of what it read, its log lines) runs on the
 * reading thread, one call at a time. The writing side stays on the calling
 * thread: the writes, in pieces of the size the caller asks for, and a step
 * after each piece, in order.
 *
 * Between two copies the reading thread is idle, unless the caller named the
 * stream it copies next (readahead_then): the reading then goes on from the
 * end of one file into the next while the last chunks of the first are
 * written, so that neither side waits at the files' seams. Until that copy
 * begins, or readahead_drop, the named stream and its context are the reading
 * thread's, and the calling thread reads nothing of the source they read.
 *
 * Without readahead_begin, or when the thread cannot be started, a copy reads
 * and writes in turn on the calling thread, with the same results.
 *
 * A stop asked through stop_ask (util.h) ends a copy without waiting for the
 * disc: see readahead_copy. A read that the system cannot cancel is then left
 * behind on its thread and finishes on its own; what it read goes nowhere.
 *
 * One copy at a time (the install has one): the chunks pass through buffers of
 * this module, 3 MiB of them, kept while its reading thread runs, and 1 MiB
 * for a copy without it, kept until the process ends.
 */
#ifndef KELP_READAHEAD_H
#define KELP_READAHEAD_H

#include "platform.h"
#include "util.h"

#include <stdint.h>

/* The largest chunk a copy may read at a time. */
enum { READAHEAD_CHUNK_MAX = COPY_BLOCK };

/* Reads the stream's next chunk into buf, at most cap bytes: 1 with the count
   through *got, which is 0 once the stream has ended; 0 when the read failed.
   It is not called again after either. */
typedef int (*readahead_read_fn)(void *ctx, void *buf, uint32_t cap, uint32_t *got);
/* Told each piece once it is written whole, in order: 1 to go on, 0 to stop. */
typedef int (*readahead_step_fn)(void *ctx, uint32_t bytes);

/* How a copy ended. */
enum { RA_DONE = 1, RA_UNREAD = 2, RA_WRITE_FAILED = 3, RA_STOPPED = 4 };

/* Starts the reading thread for the copies that follow; 0 when it cannot be
   started (they then read on the calling thread). */
int readahead_begin(void);
/* Ends the reading thread (stopping a reading ahead); nothing when none was
   started. */
void readahead_end(void);

/* Names the stream that the next readahead_copy may read ahead into once its
   own stream has been read to its end. The copy after it, given the same rd
   and rd_ctx (and chunk), takes over what was read of it; any other copy
   stops that reading first and starts afresh. When the copy that was told of
   it does not end RA_DONE, the named stream may have been read in part: it is
   to be started again from its beginning. */
void readahead_then(readahead_read_fn rd, void *rd_ctx);
/* Stops a reading ahead into a stream whose copy has not begun and forgets
   a stream named by readahead_then; returns once the reading thread is idle. */
void readahead_drop(void);

/* The reads that stopped copies left behind and that have not returned yet.
   While it is above 0, whatever such a read uses (the context given with its
   read function, the source that reads through) must be kept as it is, not
   freed or reused: a caller that cannot tell which is kept lets it all be. */
int readahead_left_behind(void);

/* Copies the stream that rd reads, chunk bytes at most per read (up to
   READAHEAD_CHUNK_MAX), to the open file out, in writes of piece bytes at most
   (up to chunk), telling step (when given) of each. RA_DONE when the stream
   ended and all of it is written; RA_UNREAD when a read failed, RA_WRITE_FAILED
   when a write failed or was short, RA_STOPPED when step asked to stop, or
   when a stop is asked (stop_ask) before the copy begins, while it waits for a
   read, or before a read gives up. The module logs nothing. out then holds the
   stream's bytes up to the piece that failed (a failed write may have put part
   of it), or up to the one after which the stop was heard, and nothing else;
   no read of this copy is running on return, and none at all unless it ended
   RA_DONE with a stream named by readahead_then, which the reading thread may
   then be reading, or a stop left a read behind (readahead_left_behind). A
   stopped copy waits 0.2 s at most for a running read, after asking the
   system to cancel it. */
int readahead_copy(readahead_read_fn rd, void *rd_ctx, uint32_t chunk, uint32_t piece, pf_file out,
                   readahead_step_fn step, void *step_ctx);

#endif
