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
 * What the second thread touches, and when: the fields of ra below (with the
 * monitor held); the read functions and their contexts, with the source they
 * read and whatever they log, only between the start of a copy and the moment
 * it clears `reading` (a stream named next is included from the copy that
 * names it on); and the slot it fills, which the writer does not touch until
 * head has passed it. It never writes a target file and never calls the step.
 * Everything else stays with the calling thread.
 */
#include "readahead.h"

#include "platform.h"

static const uint32_t SLOTS_MAX = 32, ARENA = 3 * READAHEAD_CHUNK_MAX;
enum { SLOT_DATA, SLOT_END, SLOT_FAILED };

alignas(4096) static unsigned char arena[ARENA];

static struct {
    pf_monitor m;
    pf_thread t;
    int quit;             /* readahead_end: the thread is to end */
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
} ra;

/* The stream named by readahead_then for the next copy: the calling thread's. */
static readahead_read_fn then_rd;
static void *then_ctx;

static unsigned char *slot(uint64_t n) { return arena + (size_t)(n % ra.slots) * ra.chunk; }

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

static void reader(void *unused)
{
    (void)unused;
    pf_monitor_enter(ra.m);
    for (;;) {
        while (!ra.reading && !ra.quit) pf_monitor_wait(ra.m);
        if (ra.quit) break;
        while (!ra.stop) {
            if (ra.head - ra.tail == ra.slots) {
                ra.reader_waits = 1;
                while (!ra.stop && ra.head - ra.tail > ra.slots / 2) pf_monitor_wait(ra.m);
                ra.reader_waits = 0;
                continue;
            }
            uint64_t n = ra.head;
            uint32_t got = 0;
            readahead_read_fn rd = ra.rd;
            void *ctx = ra.ctx;
            pf_monitor_leave(ra.m);
            int ok = rd(ctx, slot(n), ra.chunk, &got) && got <= ra.chunk;
            pf_monitor_enter(ra.m);
            int state = !ok ? SLOT_FAILED : got ? SLOT_DATA : SLOT_END;
            ra.state[n % ra.slots] = state;
            ra.len[n % ra.slots] = got;
            ra.head = n + 1;
            if (ra.writer_waits) pf_monitor_wake(ra.m);
            if (state == SLOT_END && ra.next_rd) {
                ra.rd = ra.next_rd;
                ra.ctx = ra.next_ctx;
                ra.next_rd = NULL;
                ra.went_on = 1;
                continue;
            }
            if (state != SLOT_DATA) break;
        }
        ra.reading = 0;
        pf_monitor_wake(ra.m);
    }
    pf_monitor_leave(ra.m);
}

int readahead_begin(void)
{
    if (ra.t) return 1;
    ra.m = pf_monitor_new();
    if (!ra.m) return 0;
    ra.quit = 0;
    ra.reading = 0;
    ra.ahead = 0;
    ra.next_rd = NULL;
    ra.t = pf_thread_start(reader, NULL);
    if (!ra.t) {
        pf_monitor_free(ra.m);
        ra.m = NULL;
        return 0;
    }
    return 1;
}

void readahead_end(void)
{
    then_rd = NULL;
    if (!ra.t) return;
    pf_monitor_enter(ra.m);
    ra.stop = 1;
    ra.quit = 1;
    pf_monitor_wake(ra.m);
    pf_monitor_leave(ra.m);
    pf_thread_join(ra.t);
    ra.t = NULL;
    ra.reading = 0;
    ra.ahead = 0;
    pf_monitor_free(ra.m);
    ra.m = NULL;
}

void readahead_then(readahead_read_fn rd, void *rd_ctx)
{
    then_rd = rd;
    then_ctx = rd_ctx;
}

/* Stops the reader and waits until it is idle; with the monitor held. */
static void stop_reading(void)
{
    ra.stop = 1;
    pf_monitor_wake(ra.m);
    while (ra.reading) pf_monitor_wait(ra.m);
    ra.next_rd = NULL;
    ra.went_on = 0;
    ra.ahead = 0;
}

void readahead_drop(void)
{
    then_rd = NULL;
    if (!ra.t) return;
    pf_monitor_enter(ra.m);
    stop_reading();
    pf_monitor_leave(ra.m);
}

/* The copy without the thread: read, write, read, ... */
static int copy_in_turn(readahead_read_fn rd, void *rd_ctx, uint32_t chunk, uint32_t piece, pf_file out,
                        readahead_step_fn step, void *step_ctx)
{
    for (;;) {
        uint32_t got = 0;
        if (!rd(rd_ctx, arena, chunk, &got) || got > chunk) return RA_UNREAD;
        if (got == 0) return RA_DONE;
        int r = put_chunk(out, arena, got, piece, step, step_ctx);
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
    if (!ra.t) return copy_in_turn(rd, rd_ctx, chunk, piece, out, step, step_ctx);
    pf_monitor_enter(ra.m);
    if (ra.ahead && ra.rd == rd && ra.ctx == rd_ctx && ra.chunk == chunk) {
        /* The ring holds this stream's first chunks already. */
        ra.ahead = 0;
        ra.next_rd = next_rd;
        ra.next_ctx = next_ctx;
        if (!ra.reading && next_rd && ra.state[(ra.head - 1) % ra.slots] == SLOT_END) {
            /* It was read to its end: on with the next, behind it. */
            ra.rd = next_rd;
            ra.ctx = next_ctx;
            ra.next_rd = NULL;
            ra.went_on = 1;
            ra.reading = 1;
            pf_monitor_wake(ra.m);
        }
    } else {
        if (ra.ahead) stop_reading();
        ra.rd = rd;
        ra.ctx = rd_ctx;
        ra.chunk = chunk;
        ra.slots = ARENA / chunk < SLOTS_MAX ? ARENA / chunk : SLOTS_MAX;
        ra.next_rd = next_rd;
        ra.next_ctx = next_ctx;
        ra.went_on = 0;
        ra.head = ra.tail = 0;
        ra.stop = 0;
        ra.reading = 1;
        pf_monitor_wake(ra.m);
    }
    int r;
    for (;;) {
        ra.writer_waits = 1;
        while (ra.head == ra.tail) pf_monitor_wait(ra.m);
        ra.writer_waits = 0;
        uint64_t n = ra.tail;
        int state = ra.state[n % ra.slots];
        uint32_t len = ra.len[n % ra.slots];
        if (state != SLOT_DATA) {
            r = state == SLOT_END ? RA_DONE : RA_UNREAD;
            if (r == RA_DONE && ra.went_on) {
                /* The reader is on the next stream: leave it at work. */
                ra.tail = n + 1;
                ra.went_on = 0;
                ra.ahead = 1;
                if (ra.reader_waits && ra.head - ra.tail <= ra.slots / 2) pf_monitor_wake(ra.m);
                pf_monitor_leave(ra.m);
                return r;
            }
            break;
        }
        pf_monitor_leave(ra.m);
        r = put_chunk(out, slot(n), len, piece, step, step_ctx);
        pf_monitor_enter(ra.m);
        if (r != RA_DONE) break;
        ra.tail = n + 1;
        if (ra.reader_waits && ra.head - ra.tail <= ra.slots / 2) pf_monitor_wake(ra.m);
    }
    stop_reading();
    pf_monitor_leave(ra.m);
    return r;
}
