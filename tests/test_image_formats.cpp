// Tests of the descriptor readers of other imaging tools (Alcohol .mds,
// CloneCD .ccd, DiscJuggler .cdi): each form they write gives its first data
// track, and each descriptor that lies is refused with one line. Descriptors
// are built byte by byte here; the data files are zeros of the right size, as
// the readers check sizes and never sectors.
#include "image_formats.h"
#include "testkit.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

namespace {

void le(std::string &s, size_t at, uint64_t v, int n)
{
    if (s.size() < at + n) s.resize(at + n, '\0');
    for (int i = 0; i < n; i++) s[at + i] = (char)(v >> (8 * i));
}
void add(std::string &s, uint64_t v, int n) { le(s, s.size(), v, n); }

struct Want {
    std::string file; // the data file's name beside the descriptor
    uint64_t start;
    uint32_t first_lba, sector_size;
    int mode;
};

// Reads with fn and checks the record, or the refusal and its one line.
void expect_read(int (*fn)(const char *, image_track *), const std::string &path, const Want *want,
                 const std::string &what)
{
    LogCapture log;
    image_track t;
    memset(&t, 0, sizeof t);
    int ok = fn(path.c_str(), &t);
    ASSERT_EQ(ok, want != nullptr) << what << ": " << (log.lines().empty() ? "" : log.lines()[0]);
    if (want) {
        size_t cut = path.find_last_of('\\');
        EXPECT_EQ(std::string(t.file), path.substr(0, cut + 1) + want->file) << what;
        EXPECT_EQ(t.start, want->start) << what;
        EXPECT_EQ(t.first_lba, want->first_lba) << what;
        EXPECT_EQ(t.sector_size, want->sector_size) << what;
        EXPECT_EQ(t.mode, want->mode) << what;
        EXPECT_TRUE(log.lines().empty()) << what;
    } else {
        EXPECT_EQ(log.lines().size(), 1u) << what;
    }
}

// A form a tool writes: the descriptor's name and bytes, and what it gives.
struct Form {
    const char *name;
    std::string bytes;
    Want want;
};

// Writes each form's descriptor into the folder d and checks what fn reads.
void expect_forms(int (*fn)(const char *, image_track *), const std::string &d, const std::vector<Form> &cases)
{
    for (auto &c : cases) {
        put(d + "\\" + c.name, c.bytes);
        expect_read(fn, d + "\\" + c.name, &c.want, c.name);
    }
}

// A lie told in a good descriptor: what it is, and the change of its bytes.
struct Damage {
    const char *what;
    std::function<void(std::string &)> damage;
};

// Writes good with each damage in turn as path and checks that fn refuses it
// with one line.
void expect_refused(int (*fn)(const char *, image_track *), const std::string &path, const std::string &good,
                    const std::vector<Damage> &cases)
{
    for (auto &c : cases) {
        std::string s = good;
        c.damage(s);
        put(path, s);
        expect_read(fn, path, nullptr, c.what);
    }
}

// ---- Alcohol .mds ----

struct MdsTrack {
    unsigned mode; // the mode byte: 0xA9 audio, 0xAA Mode 1, 0xAB Mode 2, 0xAC Mode 2 Form 1
    unsigned sub;  // 0, or 8 for 96 subchannel bytes
    uint32_t size, start;
    uint64_t offset;
    uint32_t pregap, length;
    uint32_t files;
};

// Offsets of the fields a damaged case rewrites.
enum { M_SESSION_AT = 0x50, M_SESSIONS = 0x14, M_SES = 0x58, M_BLOCKS = M_SES + 0x0A, M_TRACKS = 0x70 };

// An .mds as Alcohol lays it out: header, one session block, three lead-in
// blocks (A0, A1, A2) and the track blocks, the index blocks, one file-name
// block and the name.
std::string mds(const std::vector<MdsTrack> &tracks, const std::string &name = "*.mdf", bool wide = false)
{
    size_t blocks = 3 + tracks.size();
    size_t index_at = M_TRACKS + blocks * 80, name_block = index_at + blocks * 8, name_at = name_block + 16;
    std::string s = "MEDIA DESCRIPTOR";
    le(s, 0x10, 0x0301, 2);
    le(s, M_SESSIONS, 1, 2);
    le(s, M_SESSION_AT, M_SES, 4);
    le(s, M_SES + 0x00, (uint32_t)-150, 4);
    le(s, M_SES + 0x08, 1, 2);
    s.resize(M_SES + 0x0A);
    add(s, blocks, 1);
    add(s, 3, 1);
    add(s, 1, 2);
    add(s, tracks.size(), 2);
    add(s, 0, 4);
    add(s, M_TRACKS, 4);
    for (unsigned p = 0xA0; p <= 0xA2; p++) {
        std::string b(80, '\0');
        b[2] = 0x14;
        b[4] = (char)p;
        s += b;
    }
    for (size_t i = 0; i < tracks.size(); i++) {
        const MdsTrack &t = tracks[i];
        std::string b(80, '\0');
        b[0] = (char)t.mode;
        b[1] = (char)t.sub;
        b[4] = (char)(i + 1);
        le(b, 0x0C, index_at + (3 + i) * 8, 4);
        le(b, 0x10, t.size, 2);
        b[0x12] = 2;
        le(b, 0x24, t.start, 4);
        le(b, 0x28, t.offset, 8);
        le(b, 0x30, t.files, 4);
        le(b, 0x34, name_block, 4);
        s += b;
    }
    for (size_t i = 0; i < blocks; i++) {
        add(s, i < 3 ? 0 : tracks[i - 3].pregap, 4);
        add(s, i < 3 ? 0 : tracks[i - 3].length, 4);
    }
    add(s, name_at, 4);
    add(s, wide ? 1 : 0, 1);
    s.resize(name_at);
    for (char c : name) add(s, (unsigned char)c, wide ? 2 : 1);
    add(s, 0, wide ? 2 : 1);
    return s;
}

MdsTrack mds_data(unsigned mode, uint32_t size, unsigned sub = 0)
{
    return MdsTrack{mode, sub, size, 0, 0, 150, 40, 1};
}

TEST(MdsRead, EachSectorSizeAModeAndADataTrackAfterAudio)
{
    std::string d = scratch("mds_forms");
    put(d + "\\g2048.mdf", std::string(40 * 2048, '\0'));
    put(d + "\\g2352.mdf", std::string(40 * 2352, '\0'));
    put(d + "\\g2448.mdf", std::string(40 * 2448, '\0'));
    put(d + "\\mixed.mdf", std::string(60 * 2352, '\0'));
    put(d + "\\named.bin", std::string(40 * 2336, '\0'));
    MdsTrack audio{0xA9, 0, 2352, 0, 0, 150, 20, 1};
    MdsTrack after{0xAA, 0, 2352, 20 + 150, 20 * 2352, 150, 40, 1};
    std::vector<Form> cases = {
        {"g2048.mds", mds({mds_data(0xAA, 2048)}), {"g2048.mdf", 0, 0, 2048, 1}},
        {"g2352.mds", mds({mds_data(0xAC, 2352)}), {"g2352.mdf", 0, 0, 2352, 2}},
        {"g2448.mds", mds({mds_data(0xAA, 2448, 8)}), {"g2448.mdf", 0, 0, 2448, 1}},
        {"mixed.mds", mds({audio, after}), {"mixed.mdf", 20 * 2352, 170, 2352, 1}},
        // a name of its own, in 16-bit characters, and a Mode 2 of 2336 bytes
        {"other.mds", mds({mds_data(0xEB, 2336)}, "named.bin", true), {"named.bin", 0, 0, 2336, 2}},
        {"wide.mds", mds({mds_data(0xAA, 2048)}, "*.mdf", true), {"wide.mdf", 0, 0, 2048, 1}},
    };
    put(d + "\\wide.mdf", std::string(40 * 2048, '\0'));
    expect_forms(mds_read, d, cases);
}

TEST(MdsRead, ADescriptorThatLiesIsRefusedWithOneLine)
{
    std::string d = scratch("mds_lies");
    put(d + "\\bad.mdf", std::string(40 * 2352, '\0'));
    std::string good = mds({mds_data(0xAA, 2352)});
    size_t trk = M_TRACKS + 3 * 80; // the data track's block
    std::vector<Damage> cases = {
        {"another signature", [](std::string &s) { s[0] = 'X'; }},
        {"cut inside its header", [](std::string &s) { s.resize(0x40); }},
        {"sessions past its end", [](std::string &s) { le(s, M_SESSION_AT, s.size() - 8, 4); }},
        {"absurd session count", [](std::string &s) { le(s, M_SESSIONS, 60000, 2); }},
        {"track blocks past its end", [](std::string &s) { s[M_BLOCKS] = (char)200; }},
        {"index block past its end", [&](std::string &s) { le(s, trk + 0x0C, 0xFFFFFFF0u, 4); }},
        {"file-name block past its end", [&](std::string &s) { le(s, trk + 0x34, s.size(), 4); }},
        {"name without its end", [](std::string &s) { s.resize(s.size() - 1); }},
        {"odd sector size", [&](std::string &s) { le(s, trk + 0x10, 2000, 2); }},
        {"2336-byte Mode 1", [&](std::string &s) { le(s, trk + 0x10, 2336, 2); }},
        {"subchannel without room", [&](std::string &s) { s[trk + 1] = 8; }},
        {"unknown mode", [&](std::string &s) { s[trk] = (char)0xA6; }},
        {"no sectors", [&](std::string &s) { le(s, M_TRACKS + 4 * 80 + 3 * 8 + 4, 0, 4); }},
        {"absurd length", [&](std::string &s) { le(s, M_TRACKS + 4 * 80 + 3 * 8 + 4, 0xFFFFFFFFu, 4); }},
        {"past its data file", [&](std::string &s) { le(s, trk + 0x28, 2352, 8); }},
        {"offset past 2^63", [&](std::string &s) { le(s, trk + 0x28, 0xFFFFFFFFFFFFFF00ull, 8); }},
        {"split data file", [&](std::string &s) { le(s, trk + 0x30, 2, 4); }},
        {"a DVD", [](std::string &s) { le(s, 0x12, 0x10, 2); }},
        {"another data file that is missing", [&](std::string &s) { s[s.size() - 4] = 'x'; }},
    };
    expect_refused(mds_read, d + "\\bad.mds", good, cases);
    // Whole descriptors: all audio, two tracks on the same bytes, and no data file.
    MdsTrack audio{0xA9, 0, 2352, 0, 0, 150, 20, 1};
    MdsTrack same{0xAA, 0, 2352, 20, 0, 0, 20, 1};
    put(d + "\\audio.mds", mds({audio}));
    put(d + "\\audio.mdf", std::string(40 * 2352, '\0'));
    expect_read(mds_read, d + "\\audio.mds", nullptr, "no data track");
    put(d + "\\same.mds", mds({audio, same}));
    put(d + "\\same.mdf", std::string(40 * 2352, '\0'));
    expect_read(mds_read, d + "\\same.mds", nullptr, "tracks on the same bytes");
    put(d + "\\alone.mds", good);
    expect_read(mds_read, d + "\\alone.mds", nullptr, "no data file");
    expect_read(mds_read, d + "\\gone.mds", nullptr, "no descriptor");
}

// ---- CloneCD .ccd ----

struct CcdTrack {
    int session, point, control;
    long plba;
    int mode;          // -1: no [TRACK] section
    long index0, index1; // -1: not given
};

// A sheet with sessions of tracks, each session's lead-out given in lead_out.
std::string ccd(const std::vector<CcdTrack> &tracks, const std::vector<long> &lead_out)
{
    std::string s = "[CloneCD]\r\nVersion=3\r\n[Disc]\r\n";
    s += "TocEntries=" + std::to_string(tracks.size() + 3 * lead_out.size()) + "\r\n";
    s += "Sessions=" + std::to_string(lead_out.size()) + "\r\nDataTracksScrambled=0\r\nCDTextLength=0\r\n";
    for (size_t i = 0; i < lead_out.size(); i++) s += "[Session " + std::to_string(i + 1) + "]\r\nPreGapMode=1\r\n";
    int n = 0;
    auto entry = [&](int session, int point, int control, long pmin, long plba) {
        char b[512];
        snprintf(b, sizeof b,
                 "[Entry %d]\r\nSession=%d\r\nPoint=0x%02x\r\nADR=0x01\r\nControl=0x%02x\r\nTrackNo=0\r\nAMin=0\r\n"
                 "ASec=0\r\nAFrame=0\r\nALBA=-150\r\nZero=0\r\nPMin=%ld\r\nPSec=0\r\nPFrame=0\r\nPLBA=%ld\r\n",
                 n++, session, point, control, pmin, plba);
        s += b;
    };
    for (size_t i = 0; i < lead_out.size(); i++) {
        int first = 0, last = 0;
        for (auto &t : tracks)
            if (t.session == (int)i + 1) first = first ? first : t.point, last = t.point;
        entry((int)i + 1, 0xA0, 4, first, -150 + 4500 * first);
        entry((int)i + 1, 0xA1, 4, last, -150 + 4500 * last);
        entry((int)i + 1, 0xA2, 4, (lead_out[i] + 150) / 4500, lead_out[i]);
        for (auto &t : tracks)
            if (t.session == (int)i + 1) entry(t.session, t.point, t.control, 0, t.plba);
    }
    for (auto &t : tracks) {
        if (t.mode < 0) continue;
        s += "[TRACK " + std::to_string(t.point) + "]\r\nMODE=" + std::to_string(t.mode) + "\r\n";
        if (t.index0 >= 0) s += "INDEX 0=" + std::to_string(t.index0) + "\r\n";
        if (t.index1 >= 0) s += "INDEX 1=" + std::to_string(t.index1) + "\r\n";
    }
    return s;
}

TEST(CcdRead, ModesADataTrackAfterAudioAndASecondSession)
{
    std::string d = scratch("ccd_forms");
    std::string img(400 * 2352, '\0');
    for (const char *n : {"m1", "m2", "mixed", "old", "multi"}) put(d + "\\" + n + ".img", img);
    std::vector<Form> cases = {
        {"m1.ccd", ccd({{1, 1, 4, 0, 1, -1, 0}}, {300}), {"m1.img", 0, 0, 2352, 1}},
        {"m2.ccd", ccd({{1, 1, 4, 0, 2, -1, 0}}, {300}), {"m2.img", 0, 0, 2352, 2}},
        // audio, then a data track whose pregap the .img holds
        {"mixed.ccd", ccd({{1, 1, 0, 0, 0, -1, 0}, {1, 2, 4, 250, 1, 100, 250}}, {400}),
         {"mixed.img", 250 * 2352, 250, 2352, 1}},
        // version 2: no [TRACK] sections, Control tells the data track; the
        // mode is left to the sectors
        {"old.ccd", ccd({{1, 1, 0, 0, -1, -1, -1}, {1, 2, 4, 100, -1, -1, -1}}, {300}),
         {"old.img", 100 * 2352, 100, 2352, 0}},
        // audio in the first session, data in the second, whose first 150
        // sectors (its track's pregap) the .img holds after the first session
        {"multi.ccd", ccd({{1, 1, 0, 0, 0, -1, 0}, {2, 2, 4, 11500, 1, -1, 150}}, {100, 11600}),
         {"multi.img", (100 + 150) * 2352, 11500, 2352, 1}},
    };
    expect_forms(ccd_read, d, cases);
}

TEST(CcdRead, ASheetThatLiesIsRefusedWithOneLine)
{
    std::string d = scratch("ccd_lies");
    put(d + "\\bad.img", std::string(300 * 2352, '\0'));
    std::string good = ccd({{1, 1, 0, 0, 0, -1, 0}, {1, 2, 4, 100, 1, -1, 100}}, {300});
    auto replace = [](std::string from, std::string to) {
        return [from, to](std::string &s) {
            size_t at = s.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            s.replace(at, from.size(), to);
        };
    };
    std::vector<Damage> cases = {
        {"no [CloneCD]", replace("[CloneCD]", "[CloneDVD]")},
        {"absurd TocEntries", replace("TocEntries=5", "TocEntries=999999")},
        {"no TocEntries", replace("TocEntries=5", "Toc=5")},
        {"an entry beyond TocEntries", replace("TocEntries=5", "TocEntries=4")},
        {"no Sessions", replace("Sessions=1", "Sessions=0")},
        {"a PLBA that is no number", replace("PLBA=100", "PLBA=1OO")},
        {"no lead-out", replace("Point=0xa2", "Point=0xb2")},
        {"lead-out before the tracks", replace("PLBA=300", "PLBA=50")},
        {"absurd lead-out", replace("PLBA=300", "PLBA=99999999")},
        {"tracks out of order", replace("PLBA=100", "PLBA=0")},
        {"a track past the lead-out", replace("PLBA=100", "PLBA=400")},
        {"no entry for a track", replace("Point=0x02", "Point=0x03")},
        {"first track after the last", replace("PMin=2", "PMin=0")},
        {"unknown mode", replace("MODE=1", "MODE=7")},
        {"a pregap before the disc", replace("INDEX 1=100", "INDEX 0=0\r\nINDEX 1=600")},
        {"a track number out of range", replace("[TRACK 2]", "[TRACK 100]")},
        {"no data track", replace("MODE=1", "MODE=0")},
        {"a section line without its end", replace("[Disc]", "[Disc")},
        // a second [Disc] after the entries, counting more of them than there are
        {"a larger TocEntries after the entries", [](std::string &s) { s += "[Disc]\r\nTocEntries=900\r\n"; }},
    };
    expect_refused(ccd_read, d + "\\bad.ccd", good, cases);
    put(d + "\\short.ccd", good);
    put(d + "\\short.img", std::string(299 * 2352, '\0'));
    expect_read(ccd_read, d + "\\short.ccd", nullptr, "a data track past the end of the .img");
    put(d + "\\alone.ccd", good);
    expect_read(ccd_read, d + "\\alone.ccd", nullptr, "no .img");
    put(d + "\\big.ccd", good + std::string(2u << 20, ';'));
    put(d + "\\big.img", std::string(300 * 2352, '\0'));
    expect_read(ccd_read, d + "\\big.ccd", nullptr, "a sheet larger than any");
}

// ---- DiscJuggler .cdi ----

const uint32_t V2 = 0x80000004u, V3 = 0x80000005u, V35 = 0x80000006u;

struct CdiTrack {
    uint32_t mode, read_mode, start, pregap, total;
};

const uint32_t CDI_SIZES[] = {2048, 2336, 2352, 2368, 2448};

// The tables of an image of version v, sessions of tracks; marks lets a case
// break the start mark.
std::string cdi_tables(uint32_t v, const std::vector<std::vector<CdiTrack>> &sessions)
{
    const std::string mark("\0\0\x01\0\0\0\xFF\xFF\xFF\xFF", 10);
    std::string s;
    add(s, sessions.size(), 2);
    int all = 0;
    for (auto &ses : sessions) all += (int)ses.size();
    for (auto &ses : sessions) {
        add(s, ses.size(), 2);
        for (size_t i = 0; i < ses.size(); i++) {
            const CdiTrack &t = ses[i];
            add(s, 0, 4);
            s += mark + mark;
            add(s, 0, 3);
            add(s, all, 1);
            std::string path = "C:\\Rips\\kelp.cdi";
            add(s, path.size(), 1);
            s += path;
            s += std::string(19, '\0');
            add(s, v == V35 ? 0x80000000u : 0, 4);
            if (v == V35) s += std::string(8, '\0');
            add(s, 2, 2);
            add(s, t.pregap, 4);
            add(s, t.total - t.pregap, 4);
            add(s, 0, 4); // no CD-Text
            add(s, 0, 2);
            add(s, t.mode, 4);
            s += std::string(12, '\0');
            add(s, t.start, 4);
            add(s, t.total, 4);
            s += std::string(16, '\0');
            add(s, t.read_mode, 4);
            s += std::string(29, '\0');
            if (v != V2) {
                s += std::string(5, '\0');
                add(s, 0xFFFFFFFFu, 4);
                s += std::string(78, '\0');
            }
        }
        s += std::string(12 + (v != V2), '\0');
    }
    s += std::string(0x60, '\0'); // the disc block, which is not read
    return s;
}

// The whole image: the tracks' sectors (zeros), the tables and the footer.
std::string cdi(uint32_t v, const std::vector<std::vector<CdiTrack>> &sessions)
{
    uint64_t bytes = 0;
    for (auto &ses : sessions)
        for (auto &t : ses) bytes += (uint64_t)t.total * CDI_SIZES[t.read_mode];
    std::string s(bytes, '\0');
    std::string tables = cdi_tables(v, sessions);
    s += tables;
    add(s, v, 4);
    add(s, v == V35 ? tables.size() + 8 : bytes, 4);
    return s;
}

TEST(CdiRead, EachVersionSectorSizeAndADataTrackAfterAudio)
{
    std::string d = scratch("cdi_forms");
    CdiTrack audio{0, 2, 0, 150, 170};
    std::vector<Form> cases = {
        {"v2.cdi", cdi(V2, {{{1, 0, 0, 150, 190}}}), {"v2.cdi", 150 * 2048, 0, 2048, 1}},
        {"v3.cdi", cdi(V3, {{{2, 1, 0, 150, 190}}}), {"v3.cdi", 150 * 2336, 0, 2336, 2}},
        {"v35.cdi", cdi(V35, {{{2, 2, 0, 150, 190}}}), {"v35.cdi", 150 * 2352, 0, 2352, 2}},
        {"sub.cdi", cdi(V35, {{{1, 4, 0, 150, 190}}}), {"sub.cdi", 150 * 2448, 0, 2448, 1}},
        {"mixed.cdi", cdi(V35, {{audio, {1, 2, 170, 150, 190}}}), {"mixed.cdi", (170 + 150) * 2352, 170, 2352, 1}},
        // an audio session, then a data session after the gap between them
        {"multi.cdi", cdi(V3, {{audio}, {{1, 0, 11570, 150, 190}}}),
         {"multi.cdi", 170 * 2352 + 150 * 2048, 11570, 2048, 1}},
    };
    expect_forms(cdi_read, d, cases);
}

TEST(CdiRead, AnImageThatLiesIsRefusedWithOneLine)
{
    std::string d = scratch("cdi_lies");
    CdiTrack data{1, 2, 0, 150, 190}, audio{0, 2, 0, 150, 170};
    std::string good = cdi(V35, {{data}});
    size_t tables = 190 * 2352, track = tables + 4; // the first track's table
    size_t after_path = track + 4 + 20 + 4 + 1 + 16 + 19 + 4 + 8;
    size_t mode_at = after_path + 2 + 8 + 4 + 2, start_at = mode_at + 4 + 12, read_mode_at = start_at + 8 + 16;
    auto at = [](size_t where, uint64_t v, int n) { return [=](std::string &s) { le(s, where, v, n); }; };
    std::vector<Damage> cases = {
        {"another version", at(good.size() - 8, 0x80000007u, 4)},
        {"tables past the footer", at(good.size() - 4, 4, 4)},
        {"tables before the file", at(good.size() - 4, good.size() + 1, 4)},
        {"no tables", at(good.size() - 4, 0, 4)},
        {"no sessions", at(tables, 0, 2)},
        {"absurd sessions", at(tables, 5000, 2)},
        {"absurd tracks", at(tables + 2, 5000, 2)},
        {"a broken start mark", at(track + 4 + 2, 7, 1)},
        {"a path of the wrong length", at(track + 4 + 20 + 4, 0xFF, 1)},
        {"absurd indices", at(after_path, 0xFFFF, 2)},
        {"one index", at(after_path, 1, 2)},
        {"absurd CD-Text", at(after_path + 2 + 8, 0x10000, 4)},
        {"unknown mode", at(mode_at, 5, 4)},
        {"unknown read mode", at(read_mode_at, 9, 4)},
        {"Q subchannel on the data track", [=](std::string &s) {
             le(s, read_mode_at, 3, 4);
             le(s, start_at + 4, 170, 4);
         }},
        {"sectors into the tables", at(start_at + 4, 191, 4)},
        {"no sectors past the pregap", at(start_at + 4, 150, 4)},
        {"absurd start", at(start_at, 0xFFFFFFF0u, 4)},
        {"a track before the disc", at(track + 4 + 20 + 4 + 1 + 16 + 19 + 4 + 8 + 2, 10, 4)},
        {"too short for a footer", [](std::string &s) { s.resize(6); }},
        {"tables cut", [&](std::string &s) {
             std::string tail = s.substr(s.size() - 8);
             s.resize(track + 60);
             s += tail;
             le(s, s.size() - 4, 60 + 4 + 8, 4);
         }},
    };
    expect_refused(cdi_read, d + "\\bad.cdi", good, cases);
    put(d + "\\audio.cdi", cdi(V35, {{audio}}));
    expect_read(cdi_read, d + "\\audio.cdi", nullptr, "no data track");
    put(d + "\\overlap.cdi", cdi(V2, {{audio, {1, 0, 100, 150, 190}}}));
    expect_read(cdi_read, d + "\\overlap.cdi", nullptr, "tracks that overlap on the disc");
    expect_read(cdi_read, d + "\\gone.cdi", nullptr, "no image");
}

} // namespace
