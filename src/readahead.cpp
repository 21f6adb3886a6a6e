/*
 * readahead.cpp - a copy whose reads run ahead of its writes on a second thread.
 *
 * The chunks pass through a ring of slots cut from one static arena: the
 * reading thread fills slot head % slots while the calling thread writes slot
 * tail % slots, and neither passes the other. A slot that ends the stream (its
 * end, or a failed read) stops the reader; a failed write or a stop asked by
 * the step stops the writer, which then waits until the reader is idle again
 * before it returns, so that no read of this copy outlives it.
 *
 * A side that has to wait is woken only when there is work for it: the writer
 * at the next chunk, the reader, which waits once the ring is full, when half
 * of it is free again. So the threads hand over in batches and not at every
 * chunk, where each hand-over costs two trips to the kernel.
 *
 * At the end of a stream the reader goes on with the one named next, if any:
 * the slot that ends the first stream is followed in the ring by the next
 * one's chunks. The copy of the first then returns with the reader still at
 * work (`ahead`), and the copy of the next takes the ring as it stands.
 *
 * What the second thread touches, and when: the fields of its reader record
 * (with the monitor held); the read functions and their contexts, with the
 * source they read and whatever they log, only between the start of a copy
 * and the moment it clears `reading` (a stream named next is included from
 * the copy that names it on); and the slot it fills, which the writer does not
 * touch until head has passed it. It never writes a target file and never
 * calls the step. Everything else stays with the calling thread.
 *
 * A stop (stop_ask) does not wait for the disc: a copy that waits for a chunk
 * looks for it every STOP_POLL_MS, and once a stop is asked a read still
 * running is cancelled, as far as the system can, and given LET_GO_MS to
 * return. A read that does not is left behind: its reader record, with the
 * slots it reads into and its monitor, goes with the thread, which frees it
 * when the read returns, drops what it read and ends; the next copy starts a
 * new reader with slots of its own. The caller learns of it through
 * readahead_left_behind and keeps what the read function uses.
 */
#include "readahead.h"

#include "platform.h"

#include <stdlib.h>

#include <atomic>

static const uint32_t SLOTS_MAX = 32, ARENA = 3 * READAHEAD_CHUNK_MAX;
enum { SLOT_DATA, SLOT_END, SLOT_FAILED };
/* How often a copy that waits for the disc looks whether a stop was asked, and
   how long a stopped copy waits for a read still running before it goes on
   without it. */
static const unsigned STOP_POLL_MS = 20, LET_GO_MS = 200;

/* One reading thread and what it shares with the copies. */
typedef struct ra_state {
    pf_monitor m;
    pf_thread t;
    void *block;          /* the heap block that holds the slots */
    unsigned char *arena; /* its first page */
    int quit;             /* the thread is to end */
    int left;             /* left behind: the thread frees the record at its end */
    /* The stream being read; rd, ctx, chunk and slots are set before reading,
       and rd and ctx change only when the reader goes on into next. */
    readahead_read_fn rd;
    void *ctx;
    uint32_t chunk, slots;
    readahead_read_fn next_rd; /* the stream to go on with at the end of this one */
    void *next_ctx;
    int went_on;          /* the reader went on into next during this copy */
    int ahead;            /* the ring from tail on is a stream not yet being copied */
    int reading;          /* 1 from the copy's start until the reader has let go */
    int stop;             /* the writer wants no more chunks */
    int reader_waits;     /* for half the slots to come free */
    int writer_waits;     /* for a chunk */
    uint64_t head, tail;  /* chunks read, chunks written */
    int state[SLOTS_MAX];
    uint32_t len[SLOTS_MAX];
} ra_state;

/* The reader of the copies, or none (not begun, or its start failed, or it
   was left behind); wanted from a readahead_begin that started one to
   readahead_end, so that a copy after a reader left behind starts another. */
static ra_state *ra;
static int wanted;
static std::atomic<int> left_behind;

/* The buffer of a copy that reads and writes in turn. */
alignas(4096) static unsigned char turn_buf[READAHEAD_CHUNK_MAX];

/* The stream named by readahead_then for the next copy: the calling thread's. */
static readahead_read_fn then_rd;
static void *then_ctx;

static unsigned char *slot(ra_state *s, uint64_t n) { return s->arena + (size_t)(n % s->slots) * s->chunk; }

static void state_free(ra_state *s)
{
    pf_monitor_free(s->m);
    free(s->block);
    free(s);
}

/* Writes a chunk of len bytes in pieces, telling step of each: RA_DONE, or
   how the copy ends. */
static int put_chunk(pf_file out, const unsigned char *p, uint32_t len, uint32_t piece, readahead_step_fn step,
                     void *step_ctx)
{
    for (uint32_t off = 0; off < len;) {
        uint32_t n = len - off < piece ? len - off : piece, put = 0;
        if (!pf_write(out, p + off, n, &put) || put != n) return RA_WRITE_FAILED;
        off += n;
        if (step && !step(step_ctx, n)) return RA_STOPPED;
    }
    return RA_DONE;
}

static void reader(void *arg)
{
    ra_state *s = (ra_state *)arg;
    pf_monitor_enter(s->m);
    for (;;) {
        while (!s->reading && !s->quit) pf_monitor_wait(s->m);
        if (s->quit) break;
        while (!s->stop) {
            if (s->head - s->tail == s->slots) {
                s->reader_waits = 1;
                while (!s->stop && s->head - s->tail > s->slots / 2) pf_monitor_wait(s->m);
                s->reader_waits = 0;
                continue;
            }
            uint64_t n = s->head;
            uint32_t got = 0;
            readahead_read_fn rd = s->rd;
            void *ctx = s->ctx;
            pf_monitor_leave(s->m);
            int ok = rd(ctx, slot(s, n), s->chunk, &got) && got <= s->chunk;
            pf_monitor_enter(s->m);
            if (s->left) break; /* nobody wants it any more */
            int state = !ok ? SLOT_FAILED : got ? SLOT_DATA : SLOT_END;
            s->state[n % s->slots] = state;
            s->len[n % s->slots] = got;
            s->head = n + 1;
            if (s->writer_waits) pf_monitor_wake(s->m);
            if (state == SLOT_END && s->next_rd) {
                s->rd = s->next_rd;
                s->ctx = s->next_ctx;
                s->next_rd = NULL;
                s->went_on = 1;
                continue;
            }
            if (state != SLOT_DATA) break;
        }
        s->reading = 0;
        pf_monitor_wake(s->m);
    }
    int left = s->left;
    pf_monitor_leave(s->m);
    if (left) {
        state_free(s);
        left_behind--;
    }
}

/* A new reader with its slots and thread, as ra; none when any of them cannot
   be had. */
static void state_start(void)
{
    ra_state *s = (ra_state *)calloc(1, sizeof *s);
    if (!s) return;
    s->m = pf_monitor_new();
    s->block = malloc(ARENA + 4096);
    if (!s->m || !s->block) {
        state_free(s);
        return;
    }
    s->arena = (unsigned char *)(((uintptr_t)s->block + 4095) & ~(uintptr_t)4095);
    s->t = pf_thread_start(reader, s);
    if (!s->t) {
        state_free(s);
        return;
    }
    ra = s;
}

int readahead_begin(void)
{
    if (!ra) state_start();
    wanted = ra != NULL;
    return wanted;
}

/* Stops the reader and waits until it is idle, without the monitor. Once a
   stop is asked, a read still running is cancelled (again at every look) and
   waited for LET_GO_MS at most; then the reader is left behind and ra is
   none. */
static void stop_reading(void)
{
    ra_state *s = ra;
    pf_monitor_enter(s->m);
    s->stop = 1;
    pf_monitor_wake(s->m);
    /* A stop may also come while this waits (for a write that failed). */
    for (unsigned waited = 0; s->reading;) {
        if (stop_is_asked()) {
            if (waited >= LET_GO_MS) {
                pf_thread t = s->t;
                left_behind++;
                s->left = 1;
                s->quit = 1;
                pf_monitor_leave(s->m); /* from here on the record is the thread's */
                pf_thread_detach(t);
                ra = NULL;
                return;
            }
            pf_thread_cancel_io(s->t);
            waited += STOP_POLL_MS;
        }
        pf_monitor_wait_ms(s->m, STOP_POLL_MS);
    }
    s->next_rd = NULL;
    s->went_on = 0;
    s->ahead = 0;
    pf_monitor_leave(s->m);
}

void readahead_end(void)
{
    then_rd = NULL;
    wanted = 0;
    if (!ra) return;
    stop_reading();
    if (!ra) return;
    pf_monitor_enter(ra->m);
    ra->quit = 1;
    pf_monitor_wake(ra->m);
    pf_monitor_leave(ra->m);
    pf_thread_join(ra->t);
    state_free(ra);
    ra = NULL;
}

int readahead_left_behind(void) { return left_behind.load(); }

void readahead_then(readahead_read_fn rd, void *rd_ctx)
{
    then_rd = rd;
    then_ctx = rd_ctx;
}

void readahead_drop(void)
{
    then_rd = NULL;
    if (ra) stop_reading();
}

/* The copy without the thread: read, write, read, ... */
static int copy_in_turn(readahead_read_fn rd, void *rd_ctx, uint32_t chunk, uint32_t piece, pf_file out,
                        readahead_step_fn step, void *step_ctx)
{
    for (;;) {
        uint32_t got = 0;
        if (!rd(rd_ctx, turn_buf, chunk, &got) || got > chunk) return stop_is_asked() ? RA_STOPPED : RA_UNREAD;
        if (got == 0) return RA_DONE;
        int r = put_chunk(out, turn_buf, got, piece, step, step_ctx);
        if (r != RA_DONE) return r;
    }
}

int readahead_copy(readahead_read_fn rd, void *rd_ctx, uint32_t chunk, uint32_t piece, pf_file out,
                   readahead_step_fn step, void *step_ctx)
{
    if (chunk > READAHEAD_CHUNK_MAX) chunk = READAHEAD_CHUNK_MAX;
    if (piece == 0 || piece > chunk) piece = chunk;
    readahead_read_fn next_rd = then_rd;
    void *next_ctx = then_ctx;
    then_rd = NULL;
    if (chunk == 0) return RA_UNREAD;
    /* A stream not yet begun is not waited for once a stop is asked. */
    if (stop_is_asked()) {
        if (ra) stop_reading();
        return RA_STOPPED;
    }
    int same = 0;
    if (ra) {
        pf_monitor_enter(ra->m);
        int ahead = ra->ahead;
        same = ahead && ra->rd == rd && ra->ctx == rd_ctx && ra->chunk == chunk;
        pf_monitor_leave(ra->m);
        if (ahead && !same) stop_reading();
    }
    if (!ra && wanted) state_start();
    if (!ra) return copy_in_turn(rd, rd_ctx, chunk, piece, out, step, step_ctx);
    ra_state *s = ra;
    pf_monitor_enter(s->m);
    if (same) {
        /* The ring holds this stream's first chunks already. */
        s->ahead = 0;
        s->next_rd = next_rd;
        s->next_ctx = next_ctx;
        if (!s->reading && next_rd && s->state[(s->head - 1) % s->slots] == SLOT_END) {
            /* It was read to its end: on with the next, behind it. */
            s->rd = next_rd;
            s->ctx = next_ctx;
            s->next_rd = NULL;
            s->went_on = 1;
            s->reading = 1;
            pf_monitor_wake(s->m);
        }
    } else {
        s->rd = rd;
        s->ctx = rd_ctx;
        s->chunk = chunk;
        s->slots = ARENA / chunk < SLOTS_MAX ? ARENA / chunk : SLOTS_MAX;
        s->next_rd = next_rd;
        s->next_ctx = next_ctx;
        s->went_on = 0;
        s->head = s->tail = 0;
        s->stop = 0;
        s->reading = 1;
        pf_monitor_wake(s->m);
    }
    int r;
    for (;;) {
        s->writer_waits = 1;
        while (s->head == s->tail && !stop_is_asked()) pf_monitor_wait_ms(s->m, STOP_POLL_MS);
        s->writer_waits = 0;
        if (s->head == s->tail) {
            r = RA_STOPPED;
            break;
        }
        uint64_t n = s->tail;
        int state = s->state[n % s->slots];
        uint32_t len = s->len[n % s->slots];
        if (state != SLOT_DATA) {
            /* A read that gave up its tries for a stop is the stop. */
            r = state == SLOT_END ? RA_DONE : stop_is_asked() ? RA_STOPPED : RA_UNREAD;
            if (r == RA_DONE && s->went_on) {
                /* The reader is on the next stream: leave it at work. */
                s->tail = n + 1;
                s->went_on = 0;
                s->ahead = 1;
                if (s->reader_waits && s->head - s->tail <= s->slots / 2) pf_monitor_wake(s->m);
                pf_monitor_leave(s->m);
                return r;
            }
            break;
        }
        pf_monitor_leave(s->m);
        r = put_chunk(out, slot(s, n), len, piece, step, step_ctx);
        pf_monitor_enter(s->m);
        if (r != RA_DONE) break;
        s->tail = n + 1;
        if (s->reader_waits && s->head - s->tail <= s->slots / 2) pf_monitor_wake(s->m);
    }
    pf_monitor_leave(s->m);
    stop_reading();
    return r;
}
