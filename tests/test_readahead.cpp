// Tests of the copy that reads ahead: the bytes whole and in order with one
// step per piece written, a failure on either side, a stop after any piece,
// and the reads running ahead on their own thread. Every case runs three ways:
// without the reading thread, with its start refused, and with it.
#include "readahead.h"
#include "platform.h"
#include "testkit.h"
#include "util.h"

#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <numeric>
#include <thread>

namespace {

enum Mode { IN_TURN, REFUSED, THREADED };
const Mode modes[] = {IN_TURN, REFUSED, THREADED};
const char *mode_name(Mode m) { return m == IN_TURN ? "in turn" : m == REFUSED ? "thread refused" : "threaded"; }

// The reading thread for one case, ended when it goes out of scope.
struct Reading {
    explicit Reading(Mode m)
    {
        if (m == IN_TURN) return;
        if (m == REFUSED) pf_fail_thread_in = 1;
        started = readahead_begin();
        pf_fail_thread_in = 0;
    }
    ~Reading() { readahead_end(); }
    int started = 0;
};

// A stream handed out in chunks of the given sizes; its read function records
// what the reading side did.
struct Stream {
    std::string bytes;
    std::vector<uint32_t> sizes;
    int fail_at = -1;  // this read fails
    int slow_at = -1;  // this read takes 50 ms
    int slow_all = 0;  // every read takes this many ms
    size_t at = 0;     // the reading side's own
    std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> reads{0};
    std::atomic<int> late{0}; // reads after the copy returned
    std::atomic<int> running{0}; // reads at work now
    std::atomic<bool> returned{false}, other_thread{false}, too_big{false};

    Stream(std::vector<uint32_t> s, unsigned seed) : sizes(std::move(s))
    {
        bytes = pattern_bytes(std::accumulate(sizes.begin(), sizes.end(), (size_t)0), seed);
    }
    // The stream's first n chunks.
    std::string head(size_t n) const
    {
        return bytes.substr(0, std::accumulate(sizes.begin(), sizes.begin() + (long)n, (size_t)0));
    }
};

int read_stream(void *ctx, void *buf, uint32_t cap, uint32_t *got)
{
    Stream *s = (Stream *)ctx;
    if (s->returned) s->late++;
    if (std::this_thread::get_id() != s->caller) s->other_thread = true;
    s->running++;
    int k = s->reads++;
    if (k == s->slow_at) pf_sleep(50);
    if (s->slow_all) pf_sleep((unsigned)s->slow_all);
    *got = 0;
    int ok = k != s->fail_at;
    if (ok && (size_t)k < s->sizes.size()) {
        uint32_t n = s->sizes[k];
        if (n > cap) s->too_big = true;
        memcpy(buf, s->bytes.data() + s->at, n);
        s->at += n;
        *got = n;
    }
    s->running--;
    return ok;
}

// The steps; stop_at names the step after which to stop. The first step can
// wait until the reading side is wait_for reads ahead.
struct Steps {
    std::vector<uint32_t> added;
    int stop_at = -1;
    Stream *ahead = nullptr;
    int wait_for = 0;
    bool saw_ahead = false;
};

int on_step(void *ctx, uint32_t bytes)
{
    Steps *s = (Steps *)ctx;
    s->added.push_back(bytes);
    if (s->ahead && s->added.size() == 1) {
        for (int i = 0; i < 500 && s->ahead->reads < s->wait_for; i++) pf_sleep(10);
        s->saw_ahead = s->ahead->reads >= s->wait_for;
    }
    return (int)s->added.size() - 1 != s->stop_at;
}

// Copies the stream into path; afterwards gives a reading side that is still
// at work the time to show itself.
int copy(Stream &s, uint32_t chunk, uint32_t piece, Steps *steps, const std::string &path)
{
    pf_file out = pf_create(path.c_str());
    EXPECT_NE(out, PF_NO_FILE);
    int r = readahead_copy(read_stream, &s, chunk, piece, out, steps ? on_step : nullptr, steps);
    s.returned = true;
    pf_close(out);
    pf_sleep(20);
    return r;
}

std::vector<uint32_t> chunks(size_t n, uint32_t size, uint32_t last)
{
    std::vector<uint32_t> v(n, size);
    if (n) v.back() = last;
    return v;
}

// The pieces that chunks of these sizes are written in.
std::vector<uint32_t> pieces(const std::vector<uint32_t> &sizes, uint32_t piece)
{
    std::vector<uint32_t> v;
    for (uint32_t n : sizes)
        for (uint32_t off = 0; off < n; off += piece) v.push_back(n - off < piece ? n - off : piece);
    return v;
}

const uint32_t K64 = 65536, M1 = 1048576;

TEST(Readahead, BytesWholeAndInOrderWithOneStepPerPiece)
{
    struct {
        const char *what;
        uint32_t chunk, piece;
        std::vector<uint32_t> sizes;
    } cases[] = {
        {"empty", K64, K64, {}},
        {"one byte", K64, K64, {1}},
        {"one whole chunk", K64, K64, {K64}},
        {"more chunks than slots", K64, K64, chunks(40, K64, 34464)},
        {"short and uneven chunks", K64, K64, {1, K64, 2048, 3, K64 - 1, 7, K64, 100, 1, K64, 5, 9, 2}},
        {"1 MiB chunks", M1, M1, chunks(7, M1, 524288)},
        {"1 MiB chunks written in 64 KiB pieces", M1, K64, chunks(6, M1, 3 * K64 + 5)},
        {"uneven chunks in pieces", 4 * K64, K64, {4 * K64, 1, 3 * K64 + 1, K64, 2 * K64 - 7}},
    };
    std::string d = scratch("readahead_whole");
    for (Mode m : modes) {
        Reading r(m);
        EXPECT_EQ(r.started, m == THREADED) << mode_name(m);
        for (auto &c : cases) {
            Stream s(c.sizes, 3);
            Steps steps;
            std::string to = d + "\\out.bin";
            EXPECT_EQ(copy(s, c.chunk, c.piece, &steps, to), RA_DONE) << c.what << ", " << mode_name(m);
            EXPECT_EQ(get(to), s.bytes) << c.what << ", " << mode_name(m);
            EXPECT_EQ(steps.added, pieces(c.sizes, c.piece)) << c.what;
            EXPECT_EQ(s.reads, (int)c.sizes.size() + 1) << c.what << ": no read after the end";
            EXPECT_EQ(s.other_thread, m == THREADED) << c.what << ", " << mode_name(m);
            EXPECT_FALSE(s.too_big);
            EXPECT_EQ(s.late, 0);
        }
    }
}

TEST(Readahead, AFailedReadKeepsTheBytesBeforeItAndReadsNoFurther)
{
    std::string d = scratch("readahead_readerr");
    for (Mode m : modes) {
        Reading r(m);
        for (int at : {0, 1, 12, 16}) {
            Stream s(chunks(16, K64, 1000), 4);
            s.fail_at = at;
            Steps steps;
            std::string to = d + "\\out.bin";
            EXPECT_EQ(copy(s, K64, K64, &steps, to), RA_UNREAD) << at << ", " << mode_name(m);
            EXPECT_EQ(get(to), s.head((size_t)at)) << at << ", " << mode_name(m);
            EXPECT_EQ(steps.added.size(), (size_t)at);
            EXPECT_EQ(s.reads, at + 1) << "no read after the failed one";
            EXPECT_EQ(s.late, 0);
        }
    }
}

// A write that fails, also while a read is still at work and in the middle of
// a chunk written in pieces: the target holds the pieces before it.
TEST(Readahead, AFailedWriteEndsTheCopyOnceTheReadsHaveStopped)
{
    std::string d = scratch("readahead_writeerr");
    for (Mode m : modes) {
        Reading r(m);
        for (uint32_t chunk : {K64, 4 * K64}) {
            for (int nth : {1, 2, 10}) {
                Stream s(chunks(16, chunk, 1000), 5);
                s.slow_at = nth + 1; // a read still at work when the write fails
                Steps steps;
                std::string to = d + "\\out.bin";
                pf_fail_write_in = nth;
                EXPECT_EQ(copy(s, chunk, K64, &steps, to), RA_WRITE_FAILED) << nth << ", " << mode_name(m);
                pf_fail_write_in = 0;
                EXPECT_EQ(get(to), s.bytes.substr(0, (size_t)(nth - 1) * K64)) << nth << ", " << mode_name(m);
                EXPECT_EQ(steps.added.size(), (size_t)nth - 1);
                EXPECT_EQ(s.late, 0);
            }
        }
    }
}

// A stop after any step, also while the disc is slow to give the next chunk:
// the copy ends, the target holds the pieces up to that step, no read goes on
// after it, and the next copy starts afresh.
TEST(Readahead, AStopAfterAnyPieceKeepsExactlyThePiecesWritten)
{
    std::string d = scratch("readahead_stop");
    const size_t n = 12;
    for (Mode m : modes) {
        Reading r(m);
        for (uint32_t chunk : {K64, 2 * K64}) {
            for (size_t at = 0; at < n; at++) {
                for (int slow : {0, 1}) {
                    Stream s(chunks(n, chunk, 4321), 6);
                    if (slow) s.slow_at = (int)at + 1;
                    Steps steps;
                    steps.stop_at = (int)at;
                    std::string to = d + "\\out.bin";
                    EXPECT_EQ(copy(s, chunk, K64, &steps, to), RA_STOPPED) << at << ", " << mode_name(m);
                    std::vector<uint32_t> p = pieces(s.sizes, K64);
                    size_t kept = std::accumulate(p.begin(), p.begin() + (long)at + 1, (size_t)0);
                    EXPECT_EQ(get(to), s.bytes.substr(0, kept)) << at << ", " << mode_name(m);
                    EXPECT_EQ(s.late, 0);

                    Stream next(chunks(5, K64, 77), 7);
                    Steps all;
                    EXPECT_EQ(copy(next, K64, K64, &all, to), RA_DONE) << "after a stop at " << at;
                    EXPECT_EQ(get(to), next.bytes);
                }
            }
        }
    }
}

TEST(Readahead, ReadsRunAheadWhileAChunkIsWritten)
{
    Reading r(THREADED);
    ASSERT_EQ(r.started, 1);
    std::string d = scratch("readahead_ahead");
    Stream s(chunks(20, K64, K64), 8);
    Steps steps;
    steps.ahead = &s;
    steps.wait_for = 5; // the first chunk's step holds the writer
    EXPECT_EQ(copy(s, K64, K64, &steps, d + "\\out.bin"), RA_DONE);
    EXPECT_TRUE(steps.saw_ahead) << "the reads waited for the writes";
    EXPECT_EQ(get(d + "\\out.bin"), s.bytes);
}

// Copies a, naming b as the stream to go on into; no sleep afterwards, so that
// the reading ahead into b is still at work on return.
int copy_then(Stream &a, Stream &b, Steps *steps, const std::string &path)
{
    pf_file out = pf_create(path.c_str());
    EXPECT_NE(out, PF_NO_FILE);
    readahead_then(read_stream, &b);
    int r = readahead_copy(read_stream, &a, K64, K64, out, steps ? on_step : nullptr, steps);
    a.returned = true;
    pf_close(out);
    return r;
}

// The reads of s stay where they are for a while: none is running or to come.
bool reads_stay(Stream &s)
{
    int before = s.reads;
    pf_sleep(60);
    return s.reads == before;
}

TEST(Readahead, TheReadsGoOnIntoTheStreamNamedNext)
{
    std::string d = scratch("readahead_then");
    struct {
        const char *what;
        std::vector<uint32_t> a, b, c;
    } cases[] = {
        {"three streams", chunks(5, K64, 100), chunks(3, K64, 7), chunks(4, K64, K64)},
        {"an empty one between", {K64, 9}, {}, {3, K64}},
        {"one longer than the ring", {1}, chunks(70, K64, 5), {K64}},
        {"short ones", {1}, {2}, {3}},
    };
    for (Mode m : modes) {
        Reading r(m);
        for (auto &c : cases) {
            Stream a(c.a, 10), b(c.b, 11), cc(c.c, 12);
            Steps sa, sb, sc;
            std::string what = std::string(c.what) + ", " + mode_name(m);
            EXPECT_EQ(copy_then(a, b, &sa, d + "\\a.bin"), RA_DONE) << what;
            EXPECT_EQ(copy_then(b, cc, &sb, d + "\\b.bin"), RA_DONE) << what;
            EXPECT_EQ(copy(cc, K64, K64, &sc, d + "\\c.bin"), RA_DONE) << what;
            EXPECT_EQ(get(d + "\\a.bin"), a.bytes) << what;
            EXPECT_EQ(get(d + "\\b.bin"), b.bytes) << what;
            EXPECT_EQ(get(d + "\\c.bin"), cc.bytes) << what;
            EXPECT_EQ(sb.added, pieces(c.b, K64)) << what;
            EXPECT_EQ(sc.added, pieces(c.c, K64)) << what;
            for (Stream *s : {&a, &b, &cc}) {
                EXPECT_EQ(s->reads, (int)s->sizes.size() + 1) << what << ": each stream read once to its end";
                EXPECT_EQ(s->late, 0) << what;
                EXPECT_EQ(s->other_thread, m == THREADED) << what;
            }
        }
    }

    // The next stream is read while the last chunk of the one before is
    // written: its step holds the writer until the reads have come.
    Reading r(THREADED);
    Stream a({K64}, 13), b(chunks(4, K64, 1), 14);
    Steps sa, sb;
    sa.ahead = &b;
    sa.wait_for = 3;
    EXPECT_EQ(copy_then(a, b, &sa, d + "\\a.bin"), RA_DONE);
    EXPECT_TRUE(sa.saw_ahead) << "the next stream waited for the copy of the one before";
    EXPECT_EQ(copy(b, K64, K64, &sb, d + "\\b.bin"), RA_DONE);
    EXPECT_EQ(get(d + "\\b.bin"), b.bytes);
}

// A read of the next stream that fails while the one before is written ends
// that stream's own copy, which finds the failure where it lies; the stream
// named after it is not read at all, and a copy of it afterwards is whole.
TEST(Readahead, AReadThatFailsAheadEndsTheCopyOfItsOwnStream)
{
    std::string d = scratch("readahead_then_fail");
    for (Mode m : modes) {
        Reading r(m);
        for (int at : {0, 2}) {
            Stream a(chunks(3, K64, 10), 15), b(chunks(5, K64, 20), 16), c(chunks(2, K64, 30), 17);
            b.fail_at = at;
            Steps sa, sb, sc;
            std::string what = std::to_string(at) + ", " + mode_name(m);
            EXPECT_EQ(copy_then(a, b, &sa, d + "\\a.bin"), RA_DONE) << what;
            EXPECT_EQ(get(d + "\\a.bin"), a.bytes) << what;
            EXPECT_EQ(copy_then(b, c, &sb, d + "\\b.bin"), RA_UNREAD) << what;
            EXPECT_EQ(get(d + "\\b.bin"), b.head((size_t)at)) << what;
            EXPECT_EQ(c.reads, 0) << what << ": nothing read past the failure";
            EXPECT_EQ(copy(c, K64, K64, &sc, d + "\\c.bin"), RA_DONE) << what;
            EXPECT_EQ(get(d + "\\c.bin"), c.bytes) << what;
        }
    }
}

// A stream named next whose copy does not follow is read no further: when the
// copy before it fails or is stopped at its last piece, when another stream is
// copied instead, when the caller drops it, and when the thread ends. The
// dropped one reads slowly, so that its ring is far from full when the drop
// returns: by then no read of it may be at work.
TEST(Readahead, AStreamNamedButNotCopiedIsReadNoFurther)
{
    std::string d = scratch("readahead_then_drop");
    enum { WRITE_FAILS, STOPPED, OTHER_COPY, DROPPED, THREAD_ENDS };
    for (int how : {WRITE_FAILS, STOPPED, OTHER_COPY, DROPPED, THREAD_ENDS}) {
        for (Mode m : modes) {
            Stream a(chunks(4, K64, K64), 18), b(chunks(70, K64, 5), 19), other(chunks(3, K64, 9), 20);
            if (how == DROPPED) b.slow_all = 20;
            {
                Reading r(m);
                Steps sa;
                // a's first step waits until b is being read, so its last
                // piece (which fails or stops the copy) is written after.
                sa.ahead = m == THREADED ? &b : nullptr;
                sa.wait_for = 1;
                if (how == STOPPED) sa.stop_at = 3;
                if (how == WRITE_FAILS) pf_fail_write_in = 4;
                int want = how == WRITE_FAILS ? RA_WRITE_FAILED : how == STOPPED ? RA_STOPPED : RA_DONE;
                int got = copy_then(a, b, &sa, d + "\\a.bin");
                pf_fail_write_in = 0;
                EXPECT_EQ(got, want) << how << ", " << mode_name(m);
                if (how == OTHER_COPY) {
                    Steps so;
                    EXPECT_EQ(copy(other, K64, K64, &so, d + "\\o.bin"), RA_DONE) << mode_name(m);
                    EXPECT_EQ(get(d + "\\o.bin"), other.bytes) << mode_name(m);
                }
                if (how == DROPPED) {
                    readahead_drop();
                    EXPECT_EQ(b.running, 0) << mode_name(m) << ": a read still at work after the drop";
                }
                if (how != THREAD_ENDS) {
                    EXPECT_TRUE(reads_stay(b)) << how << ", " << mode_name(m);
                }
            }
            EXPECT_TRUE(reads_stay(b)) << how << ", " << mode_name(m);
            if (m == THREADED) {
                EXPECT_GT(b.reads, 0) << how << ": b was being read ahead";
            }
            EXPECT_LT(b.reads, 70) << how << ", " << mode_name(m);
        }
    }
}

// A read that blocks until the test releases it (10 s at most), then fills
// its whole buffer with 0xEE and says so, or fails.
struct Blocked {
    std::atomic<bool> entered{false}, released{false}, returned{false};
    bool fail = false;
};
int read_blocked(void *ctx, void *buf, uint32_t cap, uint32_t *got)
{
    Blocked *b = (Blocked *)ctx;
    b->entered = true;
    for (int i = 0; i < 1000 && !b->released; i++) pf_sleep(10);
    memset(buf, 0xEE, cap);
    *got = b->fail ? 0 : cap;
    b->returned = true;
    return !b->fail;
}

// The step of a stream's last piece asks a stop, as the window does, once the
// reading is inside the next stream's read.
struct StopWhenEntered {
    Blocked *b;
    int pieces, seen = 0;
};
int stop_when_entered(void *ctx, uint32_t)
{
    StopWhenEntered *s = (StopWhenEntered *)ctx;
    if (++s->seen == s->pieces) {
        for (int i = 0; i < 500 && !s->b->entered; i++) pf_sleep(10);
        stop_ask();
    }
    return !stop_is_asked();
}

// The next copy's read: its chunk first, then the blocked read is let go and
// has written its buffer before this chunk is handed over.
struct ReleaseFirst {
    Stream *s;
    Blocked *b;
};
int read_release_first(void *ctx, void *buf, uint32_t cap, uint32_t *got)
{
    ReleaseFirst *r = (ReleaseFirst *)ctx;
    int ok = read_stream(r->s, buf, cap, got);
    if (!r->b->released) {
        r->b->released = true;
        for (int i = 0; i < 500 && !r->b->returned; i++) pf_sleep(10);
    }
    return ok;
}

// A stop asked while the next stream's read does not return: the copy ends
// without it; once it returns, what it read goes nowhere, and the copy that
// follows has buffers of its own.
TEST(Readahead, AStopLeavesAReadThatDoesNotReturnBehind)
{
    Reading r(THREADED);
    ASSERT_EQ(r.started, 1);
    std::string d = scratch("readahead_left");
    Stream a(chunks(3, K64, K64), 21), c(chunks(4, K64, 99), 22);
    Blocked b;
    StopWhenEntered step = {&b, 3};
    pf_file out = pf_create((d + "\\a.bin").c_str());
    readahead_then(read_blocked, &b);
    EXPECT_EQ(readahead_copy(read_stream, &a, K64, K64, out, stop_when_entered, &step), RA_STOPPED);
    pf_close(out);
    EXPECT_TRUE(b.entered);
    EXPECT_FALSE(b.returned) << "the stop waited for a read of a stream whose copy had not begun";
    EXPECT_EQ(readahead_left_behind(), 1);
    EXPECT_EQ(get(d + "\\a.bin"), a.bytes);

    // The next install starts afresh and has its own buffers.
    stop_reset();
    ReleaseFirst rf = {&c, &b};
    out = pf_create((d + "\\c.bin").c_str());
    EXPECT_EQ(readahead_copy(read_release_first, &rf, K64, K64, out, nullptr, nullptr), RA_DONE);
    pf_close(out);
    EXPECT_TRUE(b.returned);
    EXPECT_EQ(get(d + "\\c.bin"), c.bytes) << "the late read touched the next copy's chunks";
    for (int i = 0; i < 500 && readahead_left_behind(); i++) pf_sleep(10);
    EXPECT_EQ(readahead_left_behind(), 0) << "the read left behind ends once it returns";
}

// Once a stop is asked, a copy waiting for a slow read ends without it, and a
// copy asked for afterwards reads nothing.
TEST(Readahead, AStopAskedElsewhereEndsACopyWaitingForTheDisc)
{
    for (Mode m : {REFUSED, THREADED}) {
        Reading r(m);
        std::string d = scratch("readahead_stop_asked");
        Blocked b;
        b.fail = true;
        std::thread stopper([&] {
            for (int i = 0; i < 500 && !b.entered; i++) pf_sleep(10);
            if (m == REFUSED) b.released = true; // the read on this thread returns by itself
            stop_ask();
        });
        pf_file out = pf_create((d + "\\b.bin").c_str());
        EXPECT_EQ(readahead_copy(read_blocked, &b, K64, K64, out, nullptr, nullptr), RA_STOPPED) << mode_name(m);
        stopper.join();
        EXPECT_EQ(b.returned, m == REFUSED) << mode_name(m);
        Stream later(chunks(2, K64, 5), 23);
        EXPECT_EQ(readahead_copy(read_stream, &later, K64, K64, out, nullptr, nullptr), RA_STOPPED) << mode_name(m);
        EXPECT_EQ(later.reads, 0) << mode_name(m);
        pf_close(out);
        EXPECT_EQ(get(d + "\\b.bin"), "") << mode_name(m);
        stop_reset();
        b.released = true;
        for (int i = 0; i < 500 && readahead_left_behind(); i++) pf_sleep(10);
    }
}

} // namespace
