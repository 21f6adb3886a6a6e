/*
 * readahead.h - copies a stream into a file while its next chunks are read on a
 * second thread, so that a disc keeps streaming while the target is written
 * and a slow target never waits for the disc.
 *
 * The reading side is a function given by the caller: whatever it does (seeks,
 * reads tried again, checks of what it read, its log lines) runs on the
 * reading thread, one call at a time, and never while the calling thread lists
 * or opens anything on the same source: between two copies the reading thread
 * is idle. The writing side stays on the calling thread: the writes, in pieces
 * of the size the caller asks for, and a step after each piece, in order.
 *
 * Without readahead_begin, or when the thread cannot be started, a copy reads
 * and writes in turn on the calling thread, with the same results.
 *
 * One copy at a time (the install has one): the chunks pass through buffers of
 * this module, 2 MiB of them (3 MiB for chunks of 1 MiB), kept until the
 * process ends.
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
/* Ends the reading thread; nothing when none was started. */
void readahead_end(void);

/* Copies the stream that rd reads, chunk bytes at most per read (up to
   READAHEAD_CHUNK_MAX), to the open file out, in writes of piece bytes at most
   (up to chunk), telling step (when given) of each. RA_DONE when the stream
   ended and all of it is written; RA_UNREAD when a read failed, RA_WRITE_FAILED
   when a write failed or was short, RA_STOPPED when step asked to stop. The
   module logs nothing. out then holds the stream's bytes up to the piece that
   failed (a failed write may have put part of it), or up to the one after
   which the stop was asked, and nothing else; no read of this copy is running
   on return. */
int readahead_copy(readahead_read_fn rd, void *rd_ctx, uint32_t chunk, uint32_t piece, pf_file out,
                   readahead_step_fn step, void *step_ctx);

#endif
