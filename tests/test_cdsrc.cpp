// Tests of the disc source: opening the four forms, the ISO 9660 reader, totals
// and copies, and crafted images that must neither crash nor escape the target.
// Images are built byte by byte here, so the same tests run on both targets.
#include "cdsrc.h"
#include "cdsrc_edc.h"
#include "cdsrc_internal.h"
#include "platform.h"
#include "testkit.h"
#include "util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <map>

#ifndef _WIN32
#include <sys/stat.h> // mkfifo
#endif

namespace {

// ---- an ISO 9660 image in memory ----

void both32(std::string &s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++) {
        s[at + i] = (char)(v >> (8 * i));
        s[at + 7 - i] = (char)(v >> (8 * i));
    }
}

// One directory record; flags 2 = directory, 0x80 = more extents follow.
std::string rec(const std::string &id, uint32_t extent, uint32_t size, unsigned flags)
{
    size_t len = 33 + id.size();
    len += len & 1;
    std::string r(len, '\0');
    r[0] = (char)len;
    both32(r, 2, extent);
    both32(r, 10, size);
    r[25] = (char)flags;
    r[28] = 1; // volume sequence number
    r[32] = (char)id.size();
    memcpy(&r[33], id.data(), id.size());
    return r;
}

struct Image {
    std::string bytes = std::string(18 * 2048, '\0');

    void put_at(uint32_t lba, const std::string &data)
    {
        size_t end = (size_t)lba * 2048 + data.size();
        end = (end + 2047) / 2048 * 2048;
        if (bytes.size() < end) bytes.resize(end, '\0');
        memcpy(&bytes[(size_t)lba * 2048], data.data(), data.size());
    }
    uint32_t next() const { return (uint32_t)(bytes.size() / 2048); }
    // Packs records into sectors as ISO 9660 does (none crosses a sector end);
    // returns the directory's size in bytes.
    uint32_t dir_at(uint32_t lba, const std::vector<std::string> &recs)
    {
        std::string d;
        for (auto &r : recs) {
            if (d.size() % 2048 + r.size() > 2048) d.resize((d.size() / 2048 + 1) * 2048, '\0');
            d += r;
        }
        d.resize((d.size() + 2047) / 2048 * 2048, '\0');
        put_at(lba, d);
        return (uint32_t)d.size();
    }
    void pvd(uint32_t root, uint32_t root_size)
    {
        std::string v(2048, '\0');
        v[0] = 1;
        memcpy(&v[1], "CD001", 5);
        v[6] = 1;
        std::string r = rec(std::string(1, '\0'), root, root_size, 2);
        memcpy(&v[156], r.data(), r.size());
        put_at(16, v);
        std::string t(2048, '\0');
        t[0] = (char)255;
        memcpy(&t[1], "CD001", 5);
        put_at(17, t);
    }
};

// A tree to lay out: a directory has kids, a file has data.
struct Node {
    std::string id; // the identifier as recorded, e.g. "A.QAR;1"
    bool dir;
    std::string data;
    std::vector<Node> kids;
};
Node F(const std::string &id, const std::string &data) { return Node{id, false, data, {}}; }
Node D(const std::string &id, std::vector<Node> kids) { return Node{id, true, "", kids}; }

uint32_t dir_bytes(const Node &n)
{
    std::vector<std::string> recs = {rec(std::string(1, '\0'), 0, 0, 2), rec(std::string(1, '\1'), 0, 0, 2)};
    for (auto &k : n.kids) recs.push_back(rec(k.id, 0, 0, 0));
    Image scratch_img;
    return scratch_img.dir_at(0, recs);
}

// Lays out a directory and everything below it; returns its (extent, size).
std::pair<uint32_t, uint32_t> place(Image &img, const Node &n, uint32_t parent, uint32_t parent_size)
{
    uint32_t size = dir_bytes(n), lba = img.next();
    img.put_at(lba, std::string(size, '\0'));
    if (parent == 0) parent = lba, parent_size = size;
    std::vector<std::string> recs = {rec(std::string(1, '\0'), lba, size, 2),
                                     rec(std::string(1, '\1'), parent, parent_size, 2)};
    for (auto &k : n.kids) {
        if (k.dir) {
            auto where = place(img, k, lba, size);
            recs.push_back(rec(k.id, where.first, where.second, 2));
        } else {
            uint32_t at = img.next();
            if (!k.data.empty()) img.put_at(at, k.data);
            recs.push_back(rec(k.id, at, (uint32_t)k.data.size(), 0));
        }
    }
    img.dir_at(lba, recs);
    return {lba, size};
}

Image build(const Node &root)
{
    Image img;
    auto r = place(img, root, 0, 0);
    img.pvd(r.first, r.second);
    return img;
}

// The EDC of a raw sector, bit by bit as the format defines it.
uint32_t edc_of(const char *p, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc ^= (unsigned char)p[i];
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (crc & 1 ? 0xD8018001u : 0);
    }
    return crc;
}

// The image as raw sectors of 2352 bytes, or 2448 with subchannel data after
// them, with the user data at offset 16 (Mode 1) or 24 (Mode 2 Form 1); sync,
// header and the Mode 2 subheader are filled in, and the EDC when edc is set
// (else it stays 0, as some tools leave it). Sectors from form2_from on (when
// given) are marked Form 2 in their subheader. A pregap of that many sectors
// holding no data comes first.
std::string raw(const std::string &iso, int mode, size_t sector = 2352, size_t form2_from = SIZE_MAX,
                size_t pregap = 0, size_t form2_to = SIZE_MAX, bool edc = false)
{
    std::string out;
    size_t count = iso.size() / 2048;
    for (size_t s = 0; s < pregap + count; s++) {
        std::string sec(sector, '\0');
        memset(&sec[1], 0xFF, 10);
        sec[15] = (char)mode;
        if (sector > 2352) memset(&sec[2352], 0xA5, sector - 2352);
        if (s >= pregap) {
            size_t at = s - pregap;
            if (mode == 2) sec[18] = sec[22] = (char)(at >= form2_from && at < form2_to ? 0x28 : 0x08);
            memcpy(&sec[mode == 1 ? 16 : 24], &iso[at * 2048], 2048);
        }
        if (edc) {
            size_t from = mode == 1 ? 0 : 16, to = mode == 1 ? 2064 : 2072;
            uint32_t e = edc_of(&sec[from], to - from);
            for (int k = 0; k < 4; k++) sec[to + k] = (char)(e >> (8 * k));
        }
        out += sec;
    }
    return out;
}

std::string save(const std::string &dir, const std::string &name, const std::string &bytes)
{
    std::string p = dir + "\\" + name;
    put(p, bytes);
    return p;
}

std::map<std::string, std::string> tree_of(const std::string &folder, const std::string &rel = "")
{
    std::map<std::string, std::string> out;
    pf_entry e;
    pf_find h = pf_find_first((folder + "\\*").c_str(), &e);
    if (!h) return out;
    do {
        std::string name = e.name;
        if (name == "." || name == "..") continue;
        std::string r = rel.empty() ? name : rel + "\\" + name;
        if (e.attrs & PF_ATTR_DIRECTORY) {
            out[r + "\\"] = "";
            auto sub = tree_of(folder + "\\" + name, r);
            out.insert(sub.begin(), sub.end());
        } else {
            out[r] = get(folder + "\\" + name);
        }
    } while (pf_find_next(h, &e));
    pf_find_close(h);
    return out;
}

struct Calls {
    std::vector<uint64_t> added;
    uint64_t last = 0;
};
int record(uint64_t done, uint64_t, void *user)
{
    Calls *c = (Calls *)user;
    c->added.push_back(done - c->last);
    c->last = done;
    return 1;
}

std::vector<std::string> names_of(cd_source *src, uint32_t extent, uint32_t size)
{
    int n = 0;
    iso_entry *list = iso_dir(src, extent, size, &n, nullptr);
    std::vector<std::string> out;
    for (int i = 0; i < n; i++) out.push_back(list[i].name);
    free(list);
    return out;
}

Node sample_tree()
{
    return D("", {D("DATA", {F("A.QAR;1", "alpha"), F("HD.QAR;1", pattern_bytes(5000, 1))}),
                  F("README.;1", "read me"), D("EMPTY", {}), F("ZERO.BIN;1", "")});
}

// ---- opening ----

TEST(CdOpen, ThreeLayoutsACueSheetAndJunk)
{
    std::string d = scratch("cd_open");
    std::string iso = build(sample_tree()).bytes;
    save(d, "game.iso", iso);
    save(d, "mode1.bin", raw(iso, 1));
    save(d, "mode2.bin", raw(iso, 2));
    save(d, "sub1.img", raw(iso, 1, 2448));
    save(d, "sub2.mdf", raw(iso, 2, 2448));
    save(d, "sub1.cue", "FILE \"sub1.img\" BINARY\n  TRACK 01 MODE1/2448\n    INDEX 01 00:00:00\n");
    save(d, "sub2.cue", "FILE \"sub2.mdf\" BINARY\n  TRACK 01 MODE2/2448\n    INDEX 01 00:00:00\n");
    save(d, "junk.iso", pattern_bytes(40000, 5));
    save(d, "game.cue", "FILE \"mode1.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n");
    save(d, "upper.CUE", "FILE \"mode2.bin\" BINARY\n");
    save(d, "bare.cue", "FILE mode1.bin BINARY\n");
    save(d, "abs.cue", "FILE \"" + d + "\\mode2.bin\" BINARY\n");
    struct {
        std::string open;
        int ok;
        uint32_t size, offset;
        std::string path;
    } cases[] = {
        {"game.iso", 1, 2048, 0, "game.iso"},
        {"mode1.bin", 1, 2352, 16, "mode1.bin"},
        {"mode2.bin", 1, 2352, 24, "mode2.bin"},
        {"game.cue", 1, 2352, 16, "mode1.bin"},
        {"upper.CUE", 1, 2352, 24, "mode2.bin"},
        {"sub1.img", 1, 2448, 16, "sub1.img"},
        {"sub2.mdf", 1, 2448, 24, "sub2.mdf"},
        {"sub1.cue", 1, 2448, 16, "sub1.img"},
        {"sub2.cue", 1, 2448, 24, "sub2.mdf"},
        {"bare.cue", 1, 2352, 16, "mode1.bin"},
        {"abs.cue", 1, 2352, 24, "mode2.bin"}, // an absolute name that exists is taken as written
        {"junk.iso", 0, 0, 0, ""},
        {"missing.iso", 0, 0, 0, ""},
    };
    for (auto &c : cases) {
        cd_source *s = cd_open((d + "\\" + c.open).c_str());
        ASSERT_EQ(s != nullptr, c.ok == 1) << c.open;
        if (!s) continue;
        EXPECT_EQ(s->kind, CD_SOURCE_IMAGE);
        EXPECT_EQ(s->image->sector_size, c.size) << c.open;
        EXPECT_EQ(s->image->data_offset, c.offset) << c.open;
        EXPECT_EQ(std::string(s->path), d + "\\" + c.path);
        EXPECT_EQ(std::string(cd_describe(s)), "image " + d + "\\" + c.path);
        EXPECT_EQ(cd_total_bytes(s), 5u + 5000 + 7) << c.open;
        std::string out = d + "\\out_" + c.open;
        ASSERT_EQ(cd_copy_all(s, out.c_str(), nullptr), 1) << c.open;
        EXPECT_EQ(tree_of(out)["DATA\\HD.QAR"], pattern_bytes(5000, 1)) << c.open;
        cd_close(s);
    }
    cd_source *slashed = cd_open((d + "/game.cue").c_str());
    ASSERT_NE(slashed, nullptr) << "the sheet's folder ends at a slash too";
    EXPECT_EQ(std::string(slashed->path), d + "/mode1.bin");
    cd_close(slashed);
    cd_close(nullptr);
}

// A sheet may name anything. A device or a pipe is not an image: opening one
// must fail at once rather than wait in the first read for data that never come.
TEST(CdOpen, ACueSheetNamingADeviceOrAPipeYieldsNone)
{
    std::string d = scratch("cue_device");
#ifdef _WIN32
    const char *name = "NUL";
#else
    const char *name = "pipe.bin";
    ASSERT_EQ(mkfifo((d + "/pipe.bin").c_str(), 0600), 0);
#endif
    put(d + "\\dev.cue", std::string("FILE \"") + name + "\" BINARY\n");
    EXPECT_EQ(cd_open((d + "\\dev.cue").c_str()), nullptr);
    EXPECT_EQ(cd_open((d + "\\" + name).c_str()), nullptr);
}

TEST(CdOpen, FoldersLoseTrailingSeparatorsAndAFolderNamedCueIsAFolder)
{
    std::string d = scratch("cd_open_dir");
    make_dirs((d + "\\disc.cue").c_str());
    for (std::string p : {d + "\\\\/", d + "\\disc.cue"}) {
        cd_source *s = cd_open(p.c_str());
        ASSERT_NE(s, nullptr) << p;
        std::string want = p.back() == '/' ? d : p;
        EXPECT_EQ(s->kind, CD_SOURCE_FOLDER);
        EXPECT_EQ(s->image, nullptr);
        EXPECT_EQ(std::string(cd_describe(s)), "folder " + want);
        cd_close(s);
    }
}

// ---- reading ----

TEST(IsoDir, CleansIdentifiersAndSkipsItselfAndParent)
{
    std::string d = scratch("iso_names");
    std::string seventy(70, 'N'), dot63 = std::string(62, 'P') + ".X";
    Image img;
    std::vector<std::string> recs = {rec(std::string(1, '\0'), 18, 2048, 2), rec(std::string(1, '\1'), 18, 2048, 2),
                                     rec("A.QAR;1", 20, 1, 0),  rec("README.;1", 20, 1, 0),
                                     rec("DIRNAME", 18, 2048, 2), rec(seventy, 20, 1, 0),
                                     rec(dot63, 20, 1, 0),       rec("lower.txt;1", 20, 1, 0)};
    uint32_t size = img.dir_at(18, recs);
    img.put_at(20, "x");
    img.pvd(18, size);
    cd_source *s = cd_open(save(d, "n.iso", img.bytes).c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(names_of(s, 18, size), (std::vector<std::string>{"A.QAR", "README", "DIRNAME", std::string(63, 'N'),
                                                               std::string(62, 'P'), "lower.txt"}));
    cd_close(s);
}

TEST(IsoDir, ZeroLengthMovesToTheNextSectorAndBigDirectoriesGrow)
{
    std::string d = scratch("iso_big_dir");
    std::vector<Node> kids;
    for (int i = 0; i < 300; i++) kids.push_back(F("FILE" + std::to_string(i) + ".DAT;1", std::to_string(i)));
    Image img = build(D("", kids));
    cd_source *s = cd_open(save(d, "big.iso", img.bytes).c_str());
    ASSERT_NE(s, nullptr);
    ASSERT_GT(s->root_size, 2048u * 4) << "the records span several sectors, each ending in zeros";
    auto names = names_of(s, s->root_extent, s->root_size);
    ASSERT_EQ(names.size(), 300u);
    EXPECT_EQ(names[0], "FILE0.DAT");
    EXPECT_EQ(names[299], "FILE299.DAT");
    uint64_t n = 0;
    char *b = (char *)cd_read(s, "file299.dat", &n);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::string(b, (size_t)n), "299");
    free(b);
    cd_close(s);
}

TEST(IsoFind, CaseSeparatorsAndTheRoot)
{
    std::string d = scratch("iso_find");
    cd_source *s = cd_open(save(d, "g.iso", build(sample_tree()).bytes).c_str());
    ASSERT_NE(s, nullptr);
    struct {
        const char *rel;
        int found, directory;
    } cases[] = {
        {"DATA\\A.QAR", 1, 0}, {"data/a.qar", 1, 0}, {"Data\\\\//A.Qar", 1, 0}, {"DATA\\", 1, 1},
        {"DATA", 1, 1},        {"EMPTY", 1, 1},      {"README", 1, 0},         {"\\DATA", 0, 0},
        {"DATA\\B.QAR", 0, 0}, {"DATA\\A.QAR\\X", 0, 0}, {"DATA\\..\\README", 0, 0}, {".", 0, 0},
    };
    for (auto &c : cases) {
        iso_entry e = {};
        EXPECT_EQ(iso_find(s, c.rel, &e), c.found) << c.rel;
        EXPECT_EQ(cd_exists(s, c.rel), c.found) << c.rel;
        if (c.found) {
            EXPECT_EQ(e.directory, c.directory) << c.rel;
        }
    }
    iso_entry untouched = {"keep", 7, 7, 0, 0, 0, 4};
    EXPECT_EQ(iso_find(s, "", &untouched), 1);
    EXPECT_STREQ(untouched.name, "keep");
    cd_close(s);
}

TEST(CdRead, FilesGiveTheirBytesDirectoriesAndMissingGiveNone)
{
    std::string d = scratch("cd_read");
    std::string iso = build(sample_tree()).bytes;
    save(d, "g.iso", iso);
    save(d, "g.bin", raw(iso, 2));
    std::string folder = d + "\\copy";
    put(folder + "\\DATA\\A.QAR", "alpha");
    put(folder + "\\README", "read me");
    for (std::string p : {d + "\\g.iso", d + "\\g.bin", folder}) {
        cd_source *s = cd_open(p.c_str());
        ASSERT_NE(s, nullptr) << p;
        uint64_t n = 77;
        char *b = (char *)cd_read(s, "DATA\\A.QAR", &n);
        ASSERT_NE(b, nullptr) << p;
        EXPECT_EQ(std::string(b, (size_t)n), "alpha");
        b[n] = 0; // the spare byte is the caller's
        free(b);
        n = 77;
        EXPECT_EQ(cd_read(s, "DATA", &n), nullptr) << p;
        EXPECT_EQ(cd_read(s, "NOPE", &n), nullptr) << p;
        EXPECT_EQ(n, 77u);
        EXPECT_TRUE(cd_exists(s, "DATA")) << p;
        EXPECT_TRUE(cd_exists(s, "DATA\\A.QAR")) << p;
        EXPECT_FALSE(cd_exists(s, "DATA\\Z.QAR")) << p;
        cd_close(s);
    }
    cd_source *s = cd_open((d + "\\g.iso").c_str());
    uint64_t n = 0;
    EXPECT_EQ(cd_read(s, "", &n), nullptr) << "the root is a directory";
    cd_close(s);
}

TEST(ReadSectors, RawRunsPickTheUserDataAndStopAtTheFirstMissingSector)
{
    std::string d = scratch("read_sectors");
    Image img = build(sample_tree());
    for (uint32_t i = 0; i < 40; i++) img.put_at(img.next(), std::string(2048, (char)('a' + i % 26)));
    for (int mode : {0, 1, 2}) {
        std::string bytes = mode ? raw(img.bytes, mode) : img.bytes;
        cd_source *s = cd_open(save(d, "r" + std::to_string(mode), bytes).c_str());
        ASSERT_NE(s, nullptr);
        uint32_t count = (uint32_t)s->image->sectors;
        std::string out((size_t)(count + 3) * 2048, '?');
        EXPECT_EQ(read_sectors(s->image, 0, count, &out[0]), 1) << mode;
        EXPECT_EQ(out.substr(0, (size_t)count * 2048), img.bytes) << mode;
        std::string tail(5 * 2048, '?');
        EXPECT_EQ(read_sectors(s->image, count - 2, 5, &tail[0]), 0) << mode;
        EXPECT_EQ(tail.substr(0, 4096), img.bytes.substr((size_t)(count - 2) * 2048)) << mode;
        EXPECT_EQ(read_sectors(s->image, 0, 0, &tail[0]), 1);
        cd_close(s);
    }
}

// ---- totals and copies ----

TEST(CdCopyAll, ImageChunksProgressAndAnEmptyFile)
{
    std::string d = scratch("copy_chunks");
    std::string big = pattern_bytes(100000, 4);
    cd_source *s = cd_open(save(d, "c.iso", build(D("", {F("BIG.BIN;1", big), F("ZERO.BIN;1", "")})).bytes).c_str());
    ASSERT_NE(s, nullptr);
    Calls c;
    progress pr = {0, 0, record, &c};
    ASSERT_EQ(cd_copy_all(s, (d + "\\out").c_str(), &pr), 1);
    EXPECT_EQ(c.added, (std::vector<uint64_t>{65536, 34464}));
    EXPECT_EQ(get(d + "\\out\\BIG.BIN"), big);
    EXPECT_EQ(get(d + "\\out\\ZERO.BIN"), "");
    cd_close(s);
}

TEST(CdCopyAll, ReadErrorInTheSecondChunkStopsEverything)
{
    LogCapture log;
    std::string d = scratch("copy_readerr");
    std::string big = pattern_bytes(100000, 6);
    cd_source *s = cd_open(save(d, "e.iso", build(D("", {F("BIG.BIN;1", big), F("LATER.TXT;1", "x")})).bytes).c_str());
    ASSERT_NE(s, nullptr);
    iso_entry e = {};
    ASSERT_EQ(iso_find(s, "BIG.BIN", &e), 1);
    pf_fail_read_at = ((long long)e.extent + 32) * 2048 + 100; // a byte of the second chunk
    EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), nullptr), 0);
    pf_fail_read_at = -1;
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"read retried: BIG.BIN", "read error in BIG.BIN"}));
    EXPECT_EQ(get(d + "\\out\\BIG.BIN"), big.substr(0, 65536));
    EXPECT_FALSE(path_exists((d + "\\out\\LATER.TXT").c_str()));
    cd_close(s);
}

// A full disk: the second write of a file fails. Both kinds of source name the
// target in their line, keep what was written and copy nothing after it.
TEST(CdCopyAll, WriteErrorNamesTheTargetAndStopsEverything)
{
    std::string big = pattern_bytes(1100000, 7);
    for (int folder = 0; folder < 2; folder++) {
        LogCapture log;
        std::string d = scratch(folder ? "copy_writeerr_dir" : "copy_writeerr_iso");
        std::string from = d + "\\src";
        if (folder) {
            put(from + "\\BIG.BIN", big);
        } else {
            from = save(d, "w.iso", build(D("", {F("BIG.BIN;1", big), F("LATER.TXT;1", "x")})).bytes);
        }
        cd_source *s = cd_open(from.c_str());
        ASSERT_NE(s, nullptr);
        pf_fail_write_in = 2;
        EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), nullptr), 0);
        pf_fail_write_in = 0;
        EXPECT_EQ(log.lines(), std::vector<std::string>{"write failed: " + d + "\\out\\BIG.BIN"});
        EXPECT_EQ(get(d + "\\out\\BIG.BIN").size(), folder ? 1048576u : 65536u);
        EXPECT_FALSE(path_exists((d + "\\out\\LATER.TXT").c_str()));
        cd_close(s);
    }
}

// A chain of n nested folders L1\L2\..., each holding one file of one byte.
Node chain(int level, int n)
{
    Node dnode = D("L" + std::to_string(level), {F("F.TXT;1", std::string(1, (char)('A' + level % 26)))});
    if (level < n) dnode.kids.push_back(chain(level + 1, n));
    return dnode;
}

// Sixteen levels below the root copy whole on both kinds of source; a folder
// at the seventeenth fails the copy with its path rather than being left out.
TEST(DepthRule, SixteenLevelsCopyAndTheSeventeenthFailsOnBothKinds)
{
    std::string deep17;
    for (int i = 1; i <= 17; i++) deep17 += (i > 1 ? "\\L" : "L") + std::to_string(i);
    for (int levels : {16, 17}) {
        LogCapture log;
        std::string d = scratch("depth");
        cd_source *img = cd_open(save(d, "deep.iso", build(chain(0, levels)).bytes).c_str());
        ASSERT_NE(img, nullptr);
        // The root's file and those of L1..L16: 17 bytes; a total leaves out what is too deep.
        EXPECT_EQ(cd_total_bytes(img), 17u) << levels;
        EXPECT_EQ(cd_copy_all(img, (d + "\\from_iso").c_str(), nullptr), levels == 16) << levels;
        cd_close(img);
        std::string deep16 = d + "\\from_iso";
        for (int i = 1; i <= 16; i++) deep16 += "\\L" + std::to_string(i);
        EXPECT_TRUE(path_exists((deep16 + "\\F.TXT").c_str())) << levels;
        EXPECT_FALSE(path_exists((deep16 + "\\L17").c_str())) << levels;

        // The same tree as a folder source.
        std::string folder = d + "\\tree\\" + deep17.substr(0, levels == 16 ? deep17.rfind('\\') : std::string::npos);
        for (std::string f = folder; f.size() > d.size() + 5; f = f.substr(0, f.rfind('\\')))
            put(f + "\\F.TXT", "x");
        put(d + "\\tree\\F.TXT", "x");
        cd_source *dir = cd_open((d + "\\tree").c_str());
        ASSERT_NE(dir, nullptr);
        EXPECT_EQ(cd_total_bytes(dir), 17u) << levels;
        EXPECT_EQ(cd_copy_all(dir, (d + "\\from_dir").c_str(), nullptr), levels == 16) << levels;
        cd_close(dir);
        if (levels == 16) {
            EXPECT_TRUE(log.lines().empty());
            EXPECT_EQ(tree_of(d + "\\from_dir"), tree_of(d + "\\tree"));
        } else {
            EXPECT_EQ(log.lines(), std::vector<std::string>(2, "folder too deep: " + deep17));
        }
    }
}

// Records each file heard; a file heard twice is recorded with no size.
void heard_once(const char *rel, uint64_t size, void *user)
{
    auto &met = *(std::map<std::string, uint64_t> *)user;
    met[rel] = met.count(rel) ? 0 : size;
}

// The count hears every file and learns the deepest path that a copy makes,
// which may be an empty folder's, on both kinds of source.
TEST(CdCount, EveryFileAndTheDeepestPathOnBothKinds)
{
    std::string d = scratch("count");
    Node tree = D("", {D("SHORT", {F("A.TXT;1", "abc")}), D("LONGERNAME", {D("EMPTYSUBFOLDERNAME", {})}),
                       D("DEEPFILEFOLDER", {F("AFILENAMEOFLENGTHTWENTY6.TXT;1", "a")}),
                       F("X.;1", std::string(3000, 'x'))});
    put(d + "\\tree\\SHORT\\A.TXT", "abc");
    make_dirs((d + "\\tree\\LONGERNAME\\EMPTYSUBFOLDERNAME").c_str());
    put(d + "\\tree\\DEEPFILEFOLDER\\AFILENAMEOFLENGTHTWENTY6.TXT", "a");
    put(d + "\\tree\\X", std::string(3000, 'x'));
    const std::map<std::string, uint64_t> files = {
        {"SHORT\\A.TXT", 3}, {"DEEPFILEFOLDER\\AFILENAMEOFLENGTHTWENTY6.TXT", 1}, {"X", 3000}};
    for (std::string path : {save(d, "count.iso", build(tree).bytes), d + "\\tree"}) {
        cd_source *s = cd_open(path.c_str());
        ASSERT_NE(s, nullptr) << path;
        std::map<std::string, uint64_t> met;
        cd_count c = {99, 99, 99};
        cd_count_all(s, heard_once, &met, &c);
        EXPECT_EQ(met, files) << path;
        EXPECT_EQ(c.bytes, 3004u) << path;
        EXPECT_EQ(c.deepest, strlen("DEEPFILEFOLDER\\AFILENAMEOFLENGTHTWENTY6.TXT")) << path;
        EXPECT_EQ(c.deepest_folder, strlen("LONGERNAME\\EMPTYSUBFOLDERNAME")) << path;
        cd_close(s);
    }
}

TEST(FolderCopy, ProgressAttributesAndAVanishedSource)
{
    std::string d = scratch("folder_copy");
    put(d + "\\src\\a\\one.bin", pattern_bytes(3000, 1));
    put(d + "\\src\\two.bin", "two");
    make_dirs((d + "\\src\\emptydir").c_str());
    pf_set_attributes((d + "\\src\\two.bin").c_str(), PF_ATTR_READONLY);
    cd_source *s = cd_open((d + "\\src").c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_total_bytes(s), 3003u);
    progress pr = {0, 0, nullptr, nullptr};
    ASSERT_EQ(cd_copy_all(s, (d + "\\dst").c_str(), &pr), 1);
    EXPECT_EQ(pr.done, 3003u);
    EXPECT_EQ(tree_of(d + "\\dst"), tree_of(d + "\\src"));
    EXPECT_EQ(pf_attributes((d + "\\dst\\two.bin").c_str()) & PF_ATTR_READONLY, 0u);
    pf_set_attributes((d + "\\src\\two.bin").c_str(), PF_ATTR_NORMAL);

    // A folder that cannot be listed is a read error, never an empty folder.
    LogCapture log;
    delete_tree((d + "\\src").c_str());
    EXPECT_EQ(cd_copy_all(s, (d + "\\again").c_str(), nullptr), 0);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"read retried: " + d + "\\src", "read error in " + d + "\\src"}));
    cd_close(s);
}

TEST(MultiExtent, RecordsOfOneFileAreJoinedInOrder)
{
    std::string d = scratch("multi_extent");
    Image img;
    std::string a = pattern_bytes(4096, 1), b = pattern_bytes(3000, 2);
    img.put_at(30, b); // the second part lies before the first
    img.put_at(40, a);
    uint32_t size = img.dir_at(18, {rec(std::string(1, '\0'), 18, 2048, 2), rec(std::string(1, '\1'), 18, 2048, 2),
                                    rec("HUGE.DAT;1", 40, 4096, 0x80), rec("HUGE.DAT;1", 30, 3000, 0),
                                    rec("NEXT.DAT;1", 30, 3000, 0)});
    img.pvd(18, size);
    cd_source *s = cd_open(save(d, "m.iso", img.bytes).c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_total_bytes(s), 4096u + 3000 + 3000);
    std::map<std::string, uint64_t> met;
    cd_count c;
    cd_count_all(s, heard_once, &met, &c);
    EXPECT_EQ(met, (std::map<std::string, uint64_t>{{"HUGE.DAT", 7096}, {"NEXT.DAT", 3000}})) << "one file each";
    ASSERT_EQ(cd_copy_all(s, (d + "\\out").c_str(), nullptr), 1);
    EXPECT_EQ(get(d + "\\out\\HUGE.DAT"), a + b);
    EXPECT_EQ(get(d + "\\out\\NEXT.DAT"), b);
    cd_close(s);
}

// ---- names and crafted images ----

TEST(Names, WhatMayBecomeAPath)
{
    struct {
        const char *name;
        int safe;
    } cases[] = {
        {"A.QAR", 1}, {"KMIRE.ICO", 1}, {"CONFIG.SYS", 1}, {"COM10", 1}, {"LPT0.TXT", 1}, {"NULL", 1},
        {"", 0}, {".", 0}, {"..", 0}, {"A\\..\\..\\X", 0}, {"A/B", 0}, {"C:X", 0}, {"TAB\tX", 0},
        {"CON", 0}, {"con.txt", 0}, {"NUL.TAR.GZ", 0}, {"Aux", 0}, {"COM1", 0}, {"lpt9.dat", 0},
        {"PRN .X", 0}, {"TRAIL.", 0}, {"TRAIL ", 0}, {"WILD*", 0}, {"Q?", 0},
        // The whole text before the first dot counts, with all its trailing spaces.
        {"CON      .TXT", 0}, {"nul        .a.b", 0}, {"COM1    .X", 0}, {"CONIN$", 0}, {"conout$.log", 0},
        {"CONSOLE.TXT", 1}, {"AUXILIARY", 1}, {"A CON.TXT", 1}, {"NUL_FILE.DAT", 1},
    };
    for (auto &c : cases) EXPECT_EQ(cd_name_safe(c.name), c.safe) << c.name;
}

// A descriptor's file name: relative names and plain drive paths that exist are
// used; every other absolute form falls back to its last component beside the
// descriptor, so that no sheet makes the setup open a server or a device.
TEST(Names, WhereADescriptorsFileNameLeads)
{
    std::string d = scratch("named_file");
    put(d + "\\there.bin", "x");
    std::string sheet = d + "\\game.cue";
    // A drive path that exists on this machine is used as written.
    std::string drive = d.size() > 2 && d[1] == ':' ? d + "\\there.bin" : std::string("Q:\\Rips\\there.bin");
    std::string beside = d + "\\";
    struct {
        std::string name, want; // want: the path made, "" for none
    } cases[] = {
        {"game.bin", beside + "game.bin"},
        {"sub\\game.bin", beside + "sub\\game.bin"},
        {"..\\rips/game.bin", beside + "..\\rips/game.bin"},
        {"Q:\\Rips\\Kelp\\game.bin", beside + "game.bin"}, // not here: beside the sheet
        {"q:/rips/game.bin", beside + "game.bin"},
        {drive, d.size() > 2 && d[1] == ':' ? drive : beside + "there.bin"},
        {"Q:game.bin", beside + "game.bin"},
        {"\\Rips\\game.bin", beside + "game.bin"},
        {"/home/someone/game.bin", beside + "game.bin"},
        {"\\\\server\\share\\game.bin", beside + "game.bin"},
        {"//server/share/game.bin", beside + "game.bin"},
        {"\\??\\UNC\\srv\\share\\GAME.BIN", beside + "GAME.BIN"},
        {"\\??\\C:\\Rips\\game.bin", beside + "game.bin"},
        {"\\\\?\\C:\\Rips\\game.bin", beside + "game.bin"},
        {"\\\\?\\UNC\\srv\\share\\game.bin", beside + "game.bin"},
        {"\\\\.\\C:\\Rips\\game.bin", beside + "game.bin"},
        {"\\\\.\\PhysicalDrive0", beside + "PhysicalDrive0"},
        {"game.bin:stream", beside + "stream"},
        // Device names, wherever they stand, are never opened.
        {"NUL", ""}, {"COM1.bin", ""}, {"\\\\.\\COM1", ""}, {"sub\\CON\\..\\game.bin", beside + "game.bin"},
        {"Q:\\AUX", ""}, {"C:\\Rips\\", ""}, {"", ""},
    };
    for (auto &c : cases) {
        char out[PATH_CAP] = "";
        int ok = image_named_file(sheet.c_str(), c.name.c_str(), out);
        EXPECT_EQ(ok, !c.want.empty()) << c.name;
        if (ok) {
            EXPECT_EQ(std::string(out), c.want) << c.name;
        }
    }
}

// An image whose root holds one file recorded under the identifier id, and a
// harmless file after it.
std::string image_with_name(const std::string &id)
{
    return build(D("", {F(id, "evil"), F("OK.TXT;1", "fine")})).bytes;
}

TEST(Hostile, UnsafeNamesFailTheCopyWithALineAndNothingEscapes)
{
    const char *ids[] = {"...;1", "A\\..\\..\\X;1", "../../X;1", "CON;1", "nul.txt;1", "C:X;1", "BELL\x07;1"};
    for (const char *id : ids) {
        LogCapture log;
        std::string d = scratch("hostile_names");
        cd_source *s = cd_open(save(d, "h.iso", image_with_name(id)).c_str());
        ASSERT_NE(s, nullptr);
        std::string target = d + "\\a\\b\\out";
        EXPECT_EQ(cd_copy_all(s, target.c_str(), nullptr), 0) << id;
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u) << id;
        EXPECT_EQ(lines[0].rfind("unsafe name \"", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(" in " + target), std::string::npos) << lines[0];
        // Nothing was written anywhere: only the image and the empty target.
        auto all = tree_of(d);
        EXPECT_EQ(all.size(), 4u) << id; // h.iso and the folders a, a\b and the empty a\b\out
        EXPECT_EQ(all.count("a\\b\\out\\"), 1u);
        EXPECT_FALSE(cd_exists(s, "CON")) << "unsafe names are never found";
        cd_close(s);
    }
}

// A directory reached a second time (a loop, or two names for one directory)
// is damage of the directory that holds the second record: the copy fails with
// its line. A total walks each directory once and stays quick.
TEST(Hostile, LoopsAndSharedDirectoriesAreWalkedOnceAndFailTheCopy)
{
    const uint32_t root = 18, sub = 19, c0 = 20, n = 30;
    std::string dot(1, '\0'), dotdot(1, '\1');
    struct {
        const char *line;
        std::vector<std::string> root_recs; // after . and ..
        uint64_t total;
    } cases[] = {
        // SUB points back to the root; then a chain C0..C29 in which each level
        // has two names for the next: without the visited set a total would
        // list 2^16 directories.
        {"damaged directory SUB", {rec("SUB", sub, 2048, 2), rec("C", c0, 2048, 2), rec("R.TXT;1", 60, 1, 0)}, 2 + 16},
        {"damaged directory \\", {rec("R.TXT;1", 60, 1, 0), rec("SELF", root, 2048, 2)}, 1},
        {"damaged directory C", {rec("C", c0 + n - 2, 2048, 2)}, 2}, // C's X and Y name one directory
    };
    for (auto &c : cases) {
        LogCapture log;
        std::string d = scratch("hostile_loops");
        Image img;
        std::vector<std::string> rr = {rec(dot, root, 2048, 2), rec(dotdot, root, 2048, 2)};
        rr.insert(rr.end(), c.root_recs.begin(), c.root_recs.end());
        uint32_t rs = img.dir_at(root, rr);
        img.dir_at(sub, {rec(dot, sub, 2048, 2), rec(dotdot, root, 2048, 2), rec("UP", root, 2048, 2),
                         rec("S.TXT;1", 60, 1, 0)});
        for (uint32_t i = 0; i < n; i++) {
            std::vector<std::string> recs = {rec(dot, c0 + i, 2048, 2), rec(dotdot, root, 2048, 2),
                                             rec("F.TXT;1", 60, 1, 0)};
            if (i + 1 < n) recs.push_back(rec("X", c0 + i + 1, 2048, 2)), recs.push_back(rec("Y", c0 + i + 1, 2048, 2));
            img.dir_at(c0 + i, recs);
        }
        img.put_at(60, "z");
        img.pvd(root, rs);
        cd_source *s = cd_open(save(d, "loop.iso", img.bytes).c_str());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(cd_total_bytes(s), c.total) << c.line;
        EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), nullptr), 0) << c.line;
        EXPECT_EQ(cd_list(s, nullptr, nullptr, nullptr), 0) << c.line;
        EXPECT_EQ(log.lines(), std::vector<std::string>(2, c.line));
        cd_close(s);
    }
}

TEST(Hostile, SizesBeyondTheImageAllocateNothingAndReadNothing)
{
    LogCapture log;
    std::string d = scratch("hostile_sizes");
    Image img = build(sample_tree());
    // A root that claims 4 GiB: the listing is empty and the copy fails, after
    // making the target folder and nothing else.
    Image huge = img;
    both32(huge.bytes, 16 * 2048 + 156 + 10, 0xFFFFFFFFu);
    cd_source *s = cd_open(save(d, "huge.iso", huge.bytes).c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_total_bytes(s), 0u);
    EXPECT_FALSE(cd_exists(s, "DATA"));
    EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), nullptr), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"read error in \\"});
    EXPECT_TRUE(tree_of(d + "\\out").empty());
    cd_close(s);

    // A file that claims more than the image holds.
    Image big_file;
    uint32_t size = big_file.dir_at(18, {rec(std::string(1, '\0'), 18, 2048, 2), rec(std::string(1, '\1'), 18, 2048, 2),
                                         rec("BIG.DAT;1", 19, 0xFFFFFF00u, 0), rec("WRAP.DAT;1", 0xFFFFFFF0u, 100000, 0)});
    big_file.put_at(19, "data");
    big_file.pvd(18, size);
    s = cd_open(save(d, "bigfile.iso", big_file.bytes).c_str());
    ASSERT_NE(s, nullptr);
    uint64_t n = 5;
    EXPECT_EQ(cd_read(s, "BIG.DAT", &n), nullptr);
    EXPECT_EQ(cd_read(s, "WRAP.DAT", &n), nullptr);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(cd_copy_all(s, (d + "\\out2").c_str(), nullptr), 0);
    EXPECT_EQ(log.lines().back(), "read error in BIG.DAT");
    cd_close(s);
}

TEST(Hostile, TruncatedImageAndRecordsThatRunPastTheirDirectory)
{
    LogCapture log;
    std::string d = scratch("hostile_trunc");
    std::string data = pattern_bytes(10000, 3);
    Image img = build(D("", {F("FIRST.TXT;1", "1"), F("LAST.BIN;1", data)}));
    std::string cut = img.bytes.substr(0, img.bytes.size() - 4096);
    cd_source *s = cd_open(save(d, "cut.iso", cut).c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), nullptr), 0);
    EXPECT_EQ(log.lines().back(), "read error in LAST.BIN");
    EXPECT_EQ(get(d + "\\out\\FIRST.TXT"), "1");
    cd_close(s);

    // Records that do not fit: one whose length runs past the directory, one
    // whose identifier runs past its record. Each ends the listing there.
    for (int variant = 0; variant < 2; variant++) {
        Image bad;
        std::string r1 = rec("KEEP.TXT;1", 20, 1, 0), r2 = rec("LOST.TXT;1", 20, 1, 0);
        std::vector<std::string> recs = {rec(std::string(1, '\0'), 18, 2048, 2), rec(std::string(1, '\1'), 18, 2048, 2), r1};
        std::string tail = variant == 0 ? std::string(1, (char)200) : r2;
        if (variant == 1) tail[32] = 60; // identifier longer than the record
        recs.push_back(tail);
        uint32_t size = bad.dir_at(18, recs);
        // The directory is declared to end right after the bad record starts.
        uint32_t used = (uint32_t)(recs[0].size() + recs[1].size() + r1.size() + (variant == 0 ? 1 : tail.size()));
        bad.put_at(20, "k");
        bad.pvd(18, variant == 0 ? used : size);
        s = cd_open(save(d, "bad" + std::to_string(variant) + ".iso", bad.bytes).c_str());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(names_of(s, 18, variant == 0 ? used : size), std::vector<std::string>{"KEEP.TXT"}) << variant;
        EXPECT_EQ(cd_copy_all(s, (d + "\\bad_out").c_str(), nullptr), 0) << variant;
        EXPECT_EQ(log.lines().back(), "damaged directory \\") << variant;
        cd_close(s);
    }
}

TEST(PathLimits, AChildPathThatWouldBeCutFailsTheCopy)
{
    LogCapture log;
    std::string d = scratch("too_long");
    std::string name60(60, 'N');
    cd_source *s = cd_open(save(d, "l.iso", build(D("", {F(name60 + ";1", "x")})).bytes).c_str());
    ASSERT_NE(s, nullptr);
    std::string target = d;
    while (target.size() < 470) target += "\\deep_folder";
    EXPECT_EQ(cd_copy_all(s, target.c_str(), nullptr), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"path too long: " + target + "\\" + name60});
    cd_close(s);
}

} // namespace

namespace {

// ---- damage is a failed copy ----

// Root: FIRST.TXT, the directory SUB as the case records it, LATER.TXT.
TEST(Damage, ADirectoryThatCannotBeReadFailsTheCopyWithItsName)
{
    struct {
        const char *what;
        uint32_t extent, size;
        long long fail_read_at; // a byte of the image that cannot be read, or -1
    } cases[] = {
        {"extent beyond the image", 5000, 2048, -1},
        {"size beyond the image", 19, 0x7FFFF000u, -1},
        {"read error in its sector", 19, 2048, 19 * 2048 + 40},
    };
    for (auto &c : cases) {
        LogCapture log;
        std::string d = scratch("damage_unreadable");
        Image img;
        std::string dot(1, '\0'), dotdot(1, '\1');
        uint32_t rs = img.dir_at(18, {rec(dot, 18, 2048, 2), rec(dotdot, 18, 2048, 2), rec("FIRST.TXT;1", 30, 1, 0),
                                      rec("SUB", c.extent, c.size, 2), rec("LATER.TXT;1", 31, 1, 0)});
        img.dir_at(19, {rec(dot, 19, 2048, 2), rec(dotdot, 18, 2048, 2), rec("IN.TXT;1", 30, 1, 0)});
        img.put_at(30, "1");
        img.put_at(31, "2");
        img.pvd(18, rs);
        cd_source *s = cd_open(save(d, "u.iso", img.bytes).c_str());
        ASSERT_NE(s, nullptr);
        pf_fail_read_at = c.fail_read_at;
        EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), nullptr), 0) << c.what;
        pf_fail_read_at = -1;
        // What lies beyond the image is not read again; a failed read is.
        std::vector<std::string> want = {"read error in SUB"};
        if (c.fail_read_at >= 0) want.insert(want.begin(), "read retried: SUB");
        EXPECT_EQ(log.lines(), want) << c.what;
        EXPECT_EQ(get(d + "\\out\\FIRST.TXT"), "1");
        EXPECT_FALSE(path_exists((d + "\\out\\LATER.TXT").c_str())) << c.what;
        if (c.fail_read_at < 0) {
            EXPECT_EQ(cd_total_bytes(s), 2u) << "an unreadable directory totals 0";
            EXPECT_FALSE(cd_exists(s, "SUB\\IN.TXT")) << c.what;
        }
        cd_close(s);
    }
}

// DATA\SUB holds OK.TXT, a record that does not fit, then AFTER.TXT.
TEST(Damage, ARecordThatDoesNotFitFailsTheCopyWithTheDirectorysPath)
{
    std::string dot(1, '\0'), dotdot(1, '\1');
    std::string ok = rec("OK.TXT;1", 30, 2, 0), after = rec("AFTER.TXT;1", 31, 5, 0);
    std::string shortrec(20, '\0'), noid = rec("X;1", 30, 2, 0), longid = rec("LONGNAME.TXT;1", 30, 2, 0);
    shortrec[0] = 20;
    noid[32] = 0;
    longid[32] = 60;
    struct {
        const char *what;
        std::string bad;
        bool cut; // the directory's size ends inside the bad record
    } cases[] = {
        {"shorter than its fixed fields", shortrec, false},
        {"identifier length 0", noid, false},
        {"identifier past its record", longid, false},
        {"record past its directory", after, true},
    };
    for (auto &c : cases) {
        LogCapture log;
        std::string d = scratch("damage_record");
        Image img;
        std::vector<std::string> sub = {rec(dot, 20, 2048, 2), rec(dotdot, 19, 2048, 2), ok, c.bad};
        if (!c.cut) sub.push_back(after);
        uint32_t sub_size = img.dir_at(20, sub);
        if (c.cut) sub_size = (uint32_t)(sub[0].size() + sub[1].size() + ok.size() + 10);
        img.dir_at(19, {rec(dot, 19, 2048, 2), rec(dotdot, 18, 2048, 2), rec("SUB", 20, sub_size, 2)});
        uint32_t rs = img.dir_at(18, {rec(dot, 18, 2048, 2), rec(dotdot, 18, 2048, 2), rec("DATA", 19, 2048, 2),
                                      rec("Z.TXT;1", 31, 5, 0)});
        img.put_at(30, "ok");
        img.put_at(31, "after");
        img.pvd(18, rs);
        cd_source *s = cd_open(save(d, "r.iso", img.bytes).c_str());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), nullptr), 0) << c.what;
        EXPECT_EQ(log.lines(), std::vector<std::string>{"damaged directory DATA\\SUB"}) << c.what;
        auto t = tree_of(d + "\\out");
        EXPECT_EQ(t.count("DATA\\SUB\\OK.TXT"), 0u) << "nothing of a damaged directory is copied";
        EXPECT_EQ(t.count("Z.TXT"), 0u) << "nothing after it";
        int n = 0, fault = 0;
        free(iso_dir(s, 20, sub_size, &n, &fault));
        EXPECT_EQ(fault, ISO_DIR_DAMAGED) << c.what;
        EXPECT_EQ(n, 1) << "the entries before the damage are listed";
        cd_close(s);
    }
}

// Two entries that would land in one target file: the second is refused, and
// no target file ever holds the other entry's bytes.
TEST(Damage, TwoEntriesNeverLandInOneFile)
{
    std::string long_a = std::string(66, 'N') + "A;1", long_b = std::string(66, 'N') + "B;1";
    struct {
        std::string first, second, shown; // shown: the refused name in the line
        bool first_written;
    } cases[] = {
        {"A.TXT;1", std::string("A.TXT\0X;1", 9), "A.TXT\\x00X", true},
        {std::string("A.TXT\0X;1", 9), "A.TXT;1", "A.TXT\\x00X", false},
        {"README.TXT;1", "readme.txt;1", "readme.txt", true},
        {long_a, long_b, std::string(63, 'N'), true},
        {"README;1", "README.;1", "README", true},
        {"\xC9T.TXT;1", "\xE9T.TXT;1", "\xE9T.TXT", true},
    };
    for (auto &c : cases) {
        LogCapture log;
        std::string d = scratch("damage_twice");
        cd_source *s = cd_open(save(d, "t.iso", build(D("", {F(c.first, "first"), F(c.second, "second")})).bytes).c_str());
        ASSERT_NE(s, nullptr);
        std::string out = d + "\\out";
        EXPECT_EQ(cd_copy_all(s, out.c_str(), nullptr), 0) << c.shown;
        EXPECT_EQ(log.lines(), std::vector<std::string>{"unsafe name \"" + c.shown + "\" in " + out});
        auto t = tree_of(out);
        EXPECT_EQ(t.size(), c.first_written ? 1u : 0u) << c.shown;
        for (auto &f : t) EXPECT_EQ(f.second, "first") << f.first;
        cd_close(s);
    }
    // A directory and a file of one name.
    LogCapture log;
    std::string d = scratch("damage_dir_file");
    cd_source *s = cd_open(save(d, "t.iso", build(D("", {D("DATA", {F("A.QAR;1", "a")}), F("Data;1", "second")})).bytes).c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), nullptr), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"unsafe name \"Data\" in " + d + "\\out"});
    uint64_t n = 0;
    char *b = (char *)cd_read(s, "data\\a.qar", &n);
    ASSERT_NE(b, nullptr) << "a lookup finds the first of the two";
    free(b);
    cd_close(s);
}

// Whatever the name check lets through, only a disk file is created.
TEST(Damage, CreatingATargetRefusesAnythingButADiskFile)
{
    std::string d = scratch("create_device");
#ifdef _WIN32
    std::vector<std::string> targets = {"NUL", "CON", d + "\\nul.txt"};
#else
    std::vector<std::string> targets = {"/dev/null", d + "/fifo"};
    ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0600), 0);
#endif
    for (auto &t : targets) {
        pf_file f = pf_create(t.c_str());
        EXPECT_EQ(f, PF_NO_FILE) << t;
        pf_close(f);
    }
    pf_file f = pf_create((d + "\\plain.bin").c_str());
    EXPECT_NE(f, PF_NO_FILE);
    pf_close(f);
}

// The sample tree in Mode 2 images: root at 18, DATA at 19, A.QAR at 20,
// HD.QAR at 21 to 23, README at 24. Form 2 sectors are not 2048 bytes of user
// data: reading one as such is a read error, of a file or of a directory.
TEST(Damage, Form2SectorsAreReadErrors)
{
    std::string iso = build(sample_tree()).bytes;
    struct {
        size_t from, to;
        const char *line; // or none: the image does not open
    } cases[] = {
        {22, 23, "read error in HD.QAR"},
        {19, 20, "read error in DATA"},
        {16, 17, nullptr},
        {0, 0, ""}, // no Form 2 sector: a clean copy
    };
    for (size_t sector : {2352, 2448}) {
        for (auto &c : cases) {
            LogCapture log;
            std::string d = scratch("form2");
            cd_source *s = cd_open(save(d, "f2.bin", raw(iso, 2, sector, c.from, 0, c.to)).c_str());
            ASSERT_EQ(s != nullptr, c.line != nullptr) << sector << " " << c.from;
            if (!s) continue;
            int ok = cd_copy_all(s, (d + "\\out").c_str(), nullptr);
            EXPECT_EQ(ok, c.line[0] == 0) << sector << " " << c.from;
            if (c.line[0]) {
                std::string name = strrchr(c.line, ' ') + 1;
                EXPECT_EQ(log.lines(), (std::vector<std::string>{"read retried: " + name, c.line}));
            } else {
                EXPECT_EQ(tree_of(d + "\\out")["DATA\\HD.QAR"], pattern_bytes(5000, 1));
            }
            if (c.from == 22) {
                EXPECT_NE(tree_of(d + "\\out")["DATA\\HD.QAR"], pattern_bytes(5000, 1));
            }
            cd_close(s);
        }
    }
}

// ---- records as mastering tools write them, and their damage ----

// A record with one more byte set: an extended attribute record's length (1),
// the file unit size (26) or the interleave gap (27).
std::string with(std::string r, size_t at, char v)
{
    r[at] = v;
    return r;
}

// Root records after "." and ".."; the sectors 30, 31 and 32 hold "assoc",
// "right" and "other". Each copy either gives the tree or fails with the line,
// and then every file written holds its own record's bytes; a listing fails
// with the same line.
TEST(Records, AssociatedExtendedInterleavedAndBrokenChains)
{
    std::string dot(1, '\0'), dotdot(1, '\1');
    std::string broken_end = rec("A.TXT;1", 31, 5, 0);
    struct {
        const char *what;
        std::vector<std::string> recs;
        const char *line; // or none: the copy succeeds
        std::map<std::string, std::string> tree;
    } cases[] = {
        {"an associated file is left out", {rec("GAME.EXE;1", 30, 5, 4), rec("GAME.EXE;1", 31, 5, 0)}, nullptr,
         {{"GAME.EXE", "right"}}},
        {"data after an extended attribute record", {with(rec("XA.DAT;1", 30, 5, 0), 1, 1)}, nullptr,
         {{"XA.DAT", "right"}}},
        {"a directory after an extended attribute record", {with(rec("SUB", 18, 2048, 2), 1, 1)}, nullptr,
         {{"SUB\\", ""}, {"SUB\\IN.TXT", "other"}}},
        {"an interleaved file", {rec("A.TXT;1", 31, 5, 0), with(rec("MOVIE.STR;1", 30, 5, 0), 26, 1),
                                 rec("Z.TXT;1", 32, 5, 0)}, "unsupported interleaved file MOVIE.STR", {{"A.TXT", "right"}}},
        {"an interleave gap", {with(rec("MOVIE.STR;1", 30, 5, 0), 27, 2)}, "unsupported interleaved file MOVIE.STR", {}},
        {"an interleaved second extent", {rec("MOVIE.STR;1", 30, 5, 0x80), with(rec("MOVIE.STR;1", 31, 5, 0), 26, 1)},
         "unsupported interleaved file MOVIE.STR", {}},
        {"a chain that ends with the directory", {rec("A.TXT;1", 31, 5, 0), rec("BIG.DAT;1", 30, 5, 0x80)},
         "damaged directory \\", {}},
        {"a chain followed by another name", {rec("BIG.DAT;1", 30, 5, 0x80), rec("OTHER.DAT;1", 32, 5, 0)},
         "damaged directory \\", {}},
        {"a directory in several extents", {rec("SUB", 19, 2048, 0x82), rec("SUB", 19, 2048, 2)},
         "damaged directory \\", {}},
    };
    for (auto &c : cases) {
        LogCapture log;
        std::string d = scratch("records");
        Image img;
        std::vector<std::string> recs = {rec(dot, 18, 2048, 2), rec(dotdot, 18, 2048, 2)};
        recs.insert(recs.end(), c.recs.begin(), c.recs.end());
        uint32_t rs = img.dir_at(20, recs); // the root; SUB (at 19, or 18 + 1) holds IN.TXT
        img.dir_at(19, {rec(dot, 19, 2048, 2), rec(dotdot, 20, 2048, 2), rec("IN.TXT;1", 32, 5, 0)});
        img.put_at(30, "assoc");
        img.put_at(31, "right");
        img.put_at(32, "other");
        img.pvd(20, rs);
        cd_source *s = cd_open(save(d, "r.iso", img.bytes).c_str());
        ASSERT_NE(s, nullptr) << c.what;
        std::string out = d + "\\out";
        EXPECT_EQ(cd_copy_all(s, out.c_str(), nullptr), c.line == nullptr) << c.what;
        EXPECT_EQ(cd_list(s, nullptr, nullptr, nullptr), c.line == nullptr) << c.what;
        EXPECT_EQ(log.lines(), c.line ? std::vector<std::string>(2, c.line) : std::vector<std::string>{}) << c.what;
        EXPECT_EQ(tree_of(out), c.tree) << c.what;
        uint64_t n = 0;
        void *movie = cd_read(s, "MOVIE.STR", &n);
        EXPECT_EQ(movie, nullptr) << "an interleaved file is not read as one run";
        free(movie);
        cd_close(s);
    }
}

// A record that starts within 32 bytes of the end of its directory's last
// sector: its identifier length lies beyond the directory's data and must not
// be read (under the sanitizers a read there fails the test).
TEST(Records, ARecordAtTheVeryEndOfTheDirectoryIsDamage)
{
    LogCapture log;
    std::string d = scratch("records_end");
    // Ten records of 196 bytes (with system use data) end exactly 20 bytes
    // before the sector's end, where a record of 40 bytes begins.
    std::string dir = rec(std::string(1, '\0'), 18, 2048, 2) + rec(std::string(1, '\1'), 18, 2048, 2);
    for (int i = 0; i < 10; i++) {
        std::string r = rec("F" + std::to_string(i) + ".TXT;1", 30, 5, 0);
        r.resize(196, '\0');
        r[0] = (char)196;
        dir += r;
    }
    ASSERT_EQ(dir.size(), 2048u - 20);
    dir += std::string(1, (char)40) + std::string(19, '\xFF');
    Image img;
    img.put_at(18, dir);
    img.put_at(30, "right");
    img.pvd(18, 2048);
    cd_source *s = cd_open(save(d, "e.iso", img.bytes).c_str());
    ASSERT_NE(s, nullptr);
    int n = 0, fault = 0;
    free(iso_dir(s, 18, 2048, &n, &fault));
    EXPECT_EQ(fault, ISO_DIR_DAMAGED);
    EXPECT_EQ(n, 10);
    EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), nullptr), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"damaged directory \\"});
    cd_close(s);
}

// ---- raw sectors checked as they are read ----

// Every path that this processor can take gives the definition's EDC; cd_edc
// itself takes the one chosen for it.
TEST(Edc, TheFastCodeIsTheDefinition)
{
    EXPECT_EQ(cd_edc("123456789", 9), 0x6EC2EDC4u); // the check value of this CRC
    std::string bytes = pattern_bytes(2400, 9);
    const unsigned cpu = cd_edc_cpu();
    struct {
        int path;
        unsigned needs;
    } paths[] = {
        {EDC_PATH_TABLES, 0},
        {EDC_PATH_CLMUL, EDC_CPU_PCLMUL},
        {EDC_PATH_VCLMUL, EDC_CPU_PCLMUL | EDC_CPU_AVX512F | EDC_CPU_VPCLMULQDQ},
    };
    for (auto &p : paths) {
        if ((cpu & p.needs) != p.needs) continue;
        for (size_t n : {0, 1, 15, 16, 17, 63, 64, 65, 80, 127, 128, 200, 255, 256, 257, 272, 320, 511, 512, 528,
                         2056, 2064, 2400}) {
            // A fast path takes whole 16-byte blocks only, and from its least length on.
            bool ok = p.path == EDC_PATH_TABLES || n >= (p.path == EDC_PATH_CLMUL ? 64u : 256u);
            if (ok) {
                EXPECT_EQ(cd_edc_through(p.path, bytes.data(), n), edc_of(bytes.data(), n)) << p.path << " " << n;
            }
            EXPECT_EQ(cd_edc(bytes.data(), n), edc_of(bytes.data(), n)) << n;
        }
        for (size_t at : {0, 7, 100})
            EXPECT_EQ(cd_edc_through(p.path, bytes.data() + at, 2064), edc_of(bytes.data() + at, 2064))
                << p.path << " unaligned " << at;
    }
}

// The path for a sector's bytes on processors with these features: the wide
// path only where all three of its features are, else the 128-bit one where
// there is carry-less multiplication, else the tables; short runs always the
// tables, or the 128-bit path from 64 bytes on.
TEST(Edc, ThePathChosenForEachProcessor)
{
    const unsigned P = EDC_CPU_PCLMUL, F = EDC_CPU_AVX512F, V = EDC_CPU_VPCLMULQDQ;
    struct {
        unsigned cpu;
        size_t len;
        int path;
    } cases[] = {
        {0, 2064, EDC_PATH_TABLES},
        {F | V, 2064, EDC_PATH_TABLES},
        {P, 2064, EDC_PATH_CLMUL},
        {P | F, 2064, EDC_PATH_CLMUL},
        {P | V, 2064, EDC_PATH_CLMUL},
        {P | F | V, 2064, EDC_PATH_VCLMUL},
        {P | F | V, 256, EDC_PATH_VCLMUL},
        {P | F | V, 255, EDC_PATH_CLMUL},
        {P | F | V, 64, EDC_PATH_CLMUL},
        {P | F | V, 63, EDC_PATH_TABLES},
        {P, 63, EDC_PATH_TABLES},
    };
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    for (auto &c : cases) EXPECT_EQ(cd_edc_path(c.cpu, c.len), c.path) << c.cpu << " " << c.len;
#else
    for (auto &c : cases) EXPECT_EQ(cd_edc_path(c.cpu, c.len), EDC_PATH_TABLES) << "no fast path here";
#endif
}

// The sample tree in raw images, its HD.QAR at sectors 21 to 23. Every layout
// copies whole with the EDC stored and with it 0; a sector that fails its check
// is a read error of the file that holds it.
TEST(RawCheck, EveryLayoutCopiesAndABadSectorFailsItsFile)
{
    std::string iso = build(sample_tree()).bytes;
    // What is done to a raw sector of HD.QAR (its second), and whether the EDC is stored.
    struct {
        const char *what;
        bool edc;
        std::function<void(char *sector, size_t size, int mode)> harm; // or none
    } cases[] = {
        {"EDC stored", true, nullptr},
        {"EDC 0", false, nullptr},
        {"a zero-filled sector", true, [](char *p, size_t n, int) { memset(p, 0, n); }},
        {"a zero-filled sector, no EDC", false, [](char *p, size_t n, int) { memset(p, 0, n); }},
        {"a flipped byte of user data", true, [](char *p, size_t, int mode) { p[(mode == 1 ? 16 : 24) + 1000] ^= 0x10; }},
        {"a flipped byte of the EDC", true, [](char *p, size_t, int mode) { p[mode == 1 ? 2064 : 2072] ^= 1; }},
        {"a broken sync", false, [](char *p, size_t, int) { p[5] = 0; }},
        {"the other mode", false, [](char *p, size_t, int mode) { p[15] = (char)(3 - mode); }},
    };
    for (size_t sector : {2352, 2448}) {
        for (int mode : {1, 2}) {
            for (auto &c : cases) {
                LogCapture log;
                std::string d = scratch("raw_check");
                std::string bytes = raw(iso, mode, sector, SIZE_MAX, 0, SIZE_MAX, c.edc);
                if (c.harm) c.harm(&bytes[22 * sector], sector, mode);
                std::string what = std::string(c.what) + ", mode " + std::to_string(mode) + ", " + std::to_string(sector);
                cd_source *s = cd_open(save(d, "r.bin", bytes).c_str());
                ASSERT_NE(s, nullptr) << what;
                std::string out = d + "\\out";
                EXPECT_EQ(cd_copy_all(s, out.c_str(), nullptr), c.harm == nullptr) << what;
                auto t = tree_of(out);
                if (c.harm) {
                    // A sector that fails its check is read again before the copy gives up.
                    EXPECT_EQ(log.lines(), (std::vector<std::string>{"read retried: HD.QAR", "read error in HD.QAR"}))
                        << what;
                    // Its target is made, and holds nothing: the one run of its sectors failed.
                    ASSERT_EQ(t.count("DATA\\HD.QAR"), 1u) << what;
                    EXPECT_EQ(t["DATA\\HD.QAR"], "") << what;
                } else {
                    EXPECT_EQ(t["DATA\\HD.QAR"], pattern_bytes(5000, 1)) << what;
                    EXPECT_EQ(t["README"], "read me") << what;
                }
                cd_close(s);
            }
        }
    }
}

// ---- CUE sheets and raw images as other tools write them ----

TEST(CueSheet, FileCountsOnlyAsTheFirstWordOfALine)
{
    std::string d = scratch("cue_words");
    std::string iso = build(sample_tree()).bytes;
    save(d, "m1.bin", raw(iso, 1));
    save(d, "m2.bin", raw(iso, 2));
    struct {
        const char *name, *text, *image; // image: what opens, or none
    } cases[] = {
        {"cdtext.cue",
         "REM GENRE Game\r\nREM COMMENT \"FILE \\\"m2.bin\\\"\"\r\nCDTEXTFILE \"disc.cdt\"\r\nTITLE \"PROFILE\"\r\n"
         "PERFORMER \"Q\"\r\nFILE \"m1.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    TITLE \"FILE\"\r\n    INDEX 01 00:00:00\r\n",
         "m1.bin"},
        {"lower.cue", "file \"m2.bin\" binary\n  track 01 mode2/2352\n    index 01 00:00:00\n", "m2.bin"},
        {"blanks.cue", " \t FiLe\t\"m1.bin\" BINARY\n", "m1.bin"},
        {"first.cue", "FILE \"m2.bin\" BINARY\n  TRACK 01 MODE2/2352\nFILE \"m1.bin\" BINARY\n", "m2.bin"},
        {"notaword.cue", "FILES \"m2.bin\"\nXFILE \"m2.bin\"\nFILE \"m1.bin\" BINARY\n", "m1.bin"},
        {"unquoted.cue", "FILE m2.bin BINARY\nFILE \"m1.bin\" BINARY\n", "m2.bin"},
        {"spaces.cue", "FILE my m1.bin BINARY\n", nullptr}, // a name with spaces needs its quotes
        {"notype.cue", "FILE m1.bin\n", nullptr},
        {"unclosed.cue", "FILE \"m1.bin BINARY\n\"\n", nullptr},
        {"nofile.cue", "TITLE \"PROFILE\"\nREM \"m1.bin\"\n", nullptr},
        {"bom.cue", "\xEF\xBB\xBF" "FILE \"m2.bin\" BINARY\r\n  TRACK 01 MODE2/2352\r\n", "m2.bin"},
        {"bomonly.cue", "\xEF\xBB\xBF", nullptr},
        // Absolute names from the machine that wrote the sheet: looked for by
        // their last component beside the sheet.
        {"drive.cue", "FILE \"Q:\\Rips\\Kelp\\m1.bin\" BINARY\n", "m1.bin"},
        {"driveonly.cue", "FILE Q:m2.bin BINARY\n", "m2.bin"},
        {"rooted.cue", "FILE \\Rips\\m2.bin BINARY\n", "m2.bin"},
        {"slash.cue", "FILE \"/home/someone/rips/m1.bin\" BINARY\n", "m1.bin"},
        {"server.cue", "FILE \"\\\\server\\share\\m2.bin\" BINARY\n", "m2.bin"},
        {"ntunc.cue", "FILE \"\\??\\UNC\\srv\\share\\m1.bin\" BINARY\n", "m1.bin"},
        {"folderonly.cue", "FILE \"Q:\\Rips\\\" BINARY\n", nullptr},
        {"missing.cue", "FILE \"Q:\\Rips\\gone.bin\" BINARY\n", nullptr},
    };
    for (auto &c : cases) {
        LogCapture log;
        save(d, c.name, c.text);
        cd_source *s = cd_open((d + "\\" + c.name).c_str());
        ASSERT_EQ(s != nullptr, c.image != nullptr) << c.name;
        if (s) {
            EXPECT_EQ(std::string(s->path), d + "\\" + c.image) << c.name;
        }
        EXPECT_TRUE(log.lines().empty()) << c.name;
        cd_close(s);
    }
}

TEST(CueSheet, APregapInTheImageAndAnAudioFirstTrack)
{
    std::string d = scratch("cue_pregap");
    std::string iso = build(sample_tree()).bytes;
    save(d, "pre1.bin", raw(iso, 1, 2352, SIZE_MAX, 150));
    save(d, "pre2.img", raw(iso, 2, 2448, SIZE_MAX, 10));
    save(d, "plain.bin", raw(iso, 1));
    struct {
        const char *name, *text;
        int ok;
        uint64_t start;
    } cases[] = {
        {"pre1.cue", "FILE \"pre1.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n", 1,
         150 * 2352},
        {"pre2.cue", "FILE \"pre2.img\" BINARY\n  TRACK 01 MODE2/2448\n    INDEX 00 00:00:00\n    INDEX 01 00:00:10\n", 1,
         10 * 2448},
        {"nopregap.cue", "FILE \"plain.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n", 1, 0},
        {"later.cue", "FILE \"plain.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n"
                      "    INDEX 01 00:02:00\n", 1, 0},
        {"ignored.cue", "FILE \"pre1.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n", 0, 0},
        {"badtime.cue", "FILE \"pre1.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:60:00\n", 0, 0},
    };
    for (auto &c : cases) {
        LogCapture log;
        save(d, c.name, c.text);
        cd_source *s = cd_open((d + "\\" + c.name).c_str());
        ASSERT_EQ(s != nullptr, c.ok == 1) << c.name;
        EXPECT_TRUE(log.lines().empty()) << c.name;
        if (!s) continue;
        EXPECT_EQ(s->image->data_start, c.start) << c.name;
        std::string out = d + "\\out_" + c.name;
        ASSERT_EQ(cd_copy_all(s, out.c_str(), nullptr), 1) << c.name;
        EXPECT_EQ(tree_of(out)["DATA\\HD.QAR"], pattern_bytes(5000, 1)) << c.name;
        cd_close(s);
    }
    LogCapture log;
    std::string audio = save(d, "audio.cue", "FILE \"plain.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                             "  TRACK 02 MODE1/2352\n    INDEX 01 00:00:00\n");
    EXPECT_EQ(cd_open(audio.c_str()), nullptr);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"the first track of " + audio + " is not a data track"});
}

} // namespace

namespace {

// ---- a disc that fails now and then ----

// The one asked about a file that cannot be read: records the names, clears the
// fault when told to (the player cleaned the disc) and answers.
struct Asked {
    std::vector<std::string> names;
    int answer = 0;
    int clear = 0;
};
int ask(const char *name, void *user)
{
    Asked *a = (Asked *)user;
    a->names.push_back(name);
    if (a->clear) pf_fault_read = pf_fault_list = {0, 0};
    return a->answer;
}

// A folder source: A.BIN of two blocks, then the folder MAPS with MAP27.DAT.
// Reads in order: A.BIN's two blocks and its end, MAP27.DAT's block and end;
// listings: the root, MAPS.
std::string folder_disc(const std::string &d)
{
    put(d + "\\src\\A.BIN", pattern_bytes(COPY_BLOCK + 5000, 1));
    put(d + "\\src\\MAPS\\MAP27.DAT", pattern_bytes(3000, 2));
    return d + "\\src";
}

// Each read is tried five times: four failures and then a good read go on,
// five fail. The image rows fail HD.QAR's one chunk of the sample image (after
// the root's listing, DATA's and A.QAR).
TEST(Retry, FaultsTableWithoutAnyoneToAsk)
{
    struct {
        const char *what;
        pf_fault_run read, list;
        int ok;
        const char *name; // below the source, or none for no line
        bool image;
    } cases[] = {
        {"a read that works the third time", {1, 2}, {0, 0}, 1, "A.BIN"},
        {"a read that works the fifth time", {1, 4}, {0, 0}, 1, "A.BIN"},
        {"a read that fails five times", {1, 5}, {0, 0}, 0, "A.BIN"},
        {"a listing that works the second time", {0, 0}, {1, 1}, 1, "MAPS"},
        {"a listing that works the fifth time", {0, 0}, {1, 4}, 1, "MAPS"},
        {"a listing that fails five times", {0, 0}, {1, 5}, 0, "MAPS"},
        {"a file that cannot be read", {3, -1}, {0, 0}, 0, "MAPS\\MAP27.DAT"},
        {"a folder that cannot be listed", {0, 0}, {1, -1}, 0, "MAPS"},
        {"a root that cannot be listed", {0, 0}, {0, -1}, 0, ""},
        {"an image chunk that works the fifth time", {3, 4}, {0, 0}, 1, "HD.QAR", true},
        {"an image chunk that fails five times", {3, 5}, {0, 0}, 0, "HD.QAR", true},
    };
    std::string iso = build(sample_tree()).bytes;
    for (auto &c : cases) {
        LogCapture log;
        std::string d = scratch("retry_folder");
        std::string src = c.image ? save(d, "s.iso", iso) : folder_disc(d);
        cd_source *s = cd_open(src.c_str());
        ASSERT_NE(s, nullptr);
        progress pr = {0, 0, nullptr, nullptr};
        pf_fault_read = c.read;
        pf_fault_list = c.list;
        int ok = cd_copy_all(s, (d + "\\out").c_str(), &pr);
        pf_fault_read = pf_fault_list = {0, 0};
        cd_close(s);
        EXPECT_EQ(ok, c.ok) << c.what;
        std::string name = c.image ? c.name : c.name[0] ? src + "\\" + c.name : src;
        std::vector<std::string> want = {"read retried: " + name};
        if (!c.ok) want.push_back("read error in " + name);
        EXPECT_EQ(log.lines(), want) << c.what;
        if (c.image && c.ok) {
            EXPECT_EQ(tree_of(d + "\\out")["DATA\\HD.QAR"], pattern_bytes(5000, 1)) << c.what;
        } else if (c.ok) {
            EXPECT_EQ(tree_of(d + "\\out"), tree_of(src)) << c.what;
            EXPECT_EQ(pr.done, (uint64_t)COPY_BLOCK + 8000) << c.what << ": every byte counted once";
        }
    }
}

// Retry after the player cleaned the disc reads the file or folder again from
// its start and the copy goes on; Cancel fails it with the line. Both kinds of
// source, the same question.
TEST(Retry, TheOneAskedDecides)
{
    std::string iso = build(sample_tree()).bytes; // DATA\A.QAR, DATA\HD.QAR (5000 bytes), README
    for (int image = 0; image < 2; image++) {
        for (int answer = 0; answer < 2; answer++) {
            LogCapture log;
            std::string d = scratch("retry_ask");
            std::string from = image ? save(d, "s.iso", iso) : folder_disc(d);
            cd_source *s = cd_open(from.c_str());
            ASSERT_NE(s, nullptr);
            std::string name = image ? "HD.QAR" : from + "\\A.BIN";
            Asked a;
            a.answer = answer;
            a.clear = answer;
            cd_set_ask_retry(ask, &a);
            progress pr = {0, 0, nullptr, nullptr};
            // Image: the root's listing, DATA's, A.QAR, then HD.QAR for good.
            // Folder: A.BIN's first block, then its second for good.
            pf_fault_read = {image ? 3 : 1, -1};
            int ok = cd_copy_all(s, (d + "\\out").c_str(), &pr);
            pf_fault_read = {0, 0};
            cd_set_ask_retry(nullptr, nullptr);
            EXPECT_EQ(ok, answer) << image;
            EXPECT_EQ(a.names, std::vector<std::string>{name}) << image;
            std::vector<std::string> want = {"read retried: " + name};
            if (!answer) want.push_back("read error in " + name);
            EXPECT_EQ(log.lines(), want) << image;
            if (answer) {
                std::map<std::string, std::string> disc;
                if (image) {
                    cd_source *again = cd_open(from.c_str());
                    ASSERT_EQ(cd_copy_all(again, (d + "\\clean").c_str(), nullptr), 1);
                    cd_close(again);
                    disc = tree_of(d + "\\clean");
                } else {
                    disc = tree_of(from);
                }
                EXPECT_EQ(tree_of(d + "\\out"), disc) << image;
                EXPECT_EQ(pr.done, cd_total_bytes(s)) << image << ": the bytes read again are not counted again";
            }
            cd_close(s);
        }
    }
}

// Holds the copy's first progress step until the log shows that a later read
// of the file was tried again: only a read on another thread than the writes
// can be tried again while a step holds the writer.
struct HeldStep {
    LogCapture *log;
    std::string line;
    int steps = 0;
    bool seen = false;
};
int hold_first_step(uint64_t, uint64_t, void *user)
{
    HeldStep *h = (HeldStep *)user;
    if (h->steps++ == 0) {
        for (int i = 0; i < 300 && !h->seen; i++) {
            std::vector<std::string> lines = h->log->lines();
            h->seen = std::find(lines.begin(), lines.end(), h->line) != lines.end();
            if (!h->seen) pf_sleep(10);
        }
    }
    return 1;
}

TEST(Retry, ReadsAreTriedAgainOnTheReadingSideWhileTheWritesGoOn)
{
    std::string big = pattern_bytes(20 * 65536 + 300, 9);
    for (int image = 0; image < 2; image++) {
        LogCapture log;
        std::string d = scratch("retry_ahead");
        std::string from = image ? save(d, "a.iso", build(D("", {F("BIG.BIN;1", big)})).bytes) : folder_disc(d);
        std::string name = image ? "BIG.BIN" : from + "\\A.BIN";
        cd_source *s = cd_open(from.c_str());
        ASSERT_NE(s, nullptr);
        HeldStep h = {&log, "read retried: " + name};
        progress pr = {0, 0, hold_first_step, &h};
        // Image: the root's listing, then BIG.BIN's second read (of 512 KiB)
        // fails once. Folder: A.BIN's second block fails once.
        pf_fault_read = image ? pf_fault_run{2, 1} : pf_fault_run{1, 1};
        int ok = cd_copy_all(s, (d + "\\out").c_str(), &pr);
        pf_fault_read = {0, 0};
        EXPECT_EQ(ok, 1) << image;
        EXPECT_TRUE(h.seen) << image << ": the read was tried again only once the writes waited";
        EXPECT_EQ(log.lines(), std::vector<std::string>{"read retried: " + name}) << image;
        if (image) EXPECT_EQ(get(d + "\\out\\BIG.BIN"), big);
        else EXPECT_EQ(tree_of(d + "\\out"), tree_of(from));
        cd_close(s);
    }
}

// A source in d of the two files A.BIN and B.BIN, an image or a folder, and
// which of them the copy takes second (a folder copies in its listing's order).
struct TwoFiles {
    std::string from, second;
};
TwoFiles two_files(const std::string &d, int image, const std::string &a, const std::string &b)
{
    if (image) return {save(d, "a.iso", build(D("", {F("A.BIN;1", a), F("B.BIN;1", b)})).bytes), "B.BIN"};
    std::string from = d + "\\src";
    put(from + "\\A.BIN", a);
    put(from + "\\B.BIN", b);
    pf_entry e;
    pf_find f = pf_find_first((from + "\\*").c_str(), &e);
    EXPECT_TRUE(f);
    while (f && e.name[0] == '.' && pf_find_next(f, &e)) {
    }
    std::string first = f ? e.name : "";
    if (f) pf_find_close(f);
    return {from, first == "B.BIN" ? "A.BIN" : "B.BIN"};
}

// The reading goes on into the next file while the last chunk of one is
// written: B.BIN's first read fails once and is tried again while the step of
// A.BIN's only chunk holds the writer. Both kinds of source.
TEST(Retry, TheNextFileIsReadWhileTheOneBeforeIsWritten)
{
    std::string a = pattern_bytes(1000, 11), b = pattern_bytes(3 * 65536 + 5, 12);
    for (int image = 0; image < 2; image++) {
        LogCapture log;
        std::string d = scratch("retry_next");
        auto [from, second] = two_files(d, image, a, b);
        std::string name = image ? second : from + "\\" + second;
        cd_source *s = cd_open(from.c_str());
        ASSERT_NE(s, nullptr);
        HeldStep h = {&log, "read retried: " + name};
        progress pr = {0, 0, hold_first_step, &h};
        // Image: the root's listing, A.BIN, then B.BIN's first read. Folder:
        // A.BIN's bytes, its end, then B.BIN's first read.
        pf_fault_read = {2, 1};
        int ok = cd_copy_all(s, (d + "\\out").c_str(), &pr);
        pf_fault_read = {0, 0};
        EXPECT_EQ(ok, 1) << image;
        EXPECT_TRUE(h.seen) << image << ": " << second << " was read only once the file before it was written";
        EXPECT_EQ(log.lines(), std::vector<std::string>{"read retried: " + name}) << image;
        EXPECT_EQ(get(d + "\\out\\A.BIN"), a) << image;
        EXPECT_EQ(get(d + "\\out\\B.BIN"), b) << image;
        EXPECT_EQ(pr.done, (uint64_t)(a.size() + b.size())) << image;
        cd_close(s);
    }
}

// The file after one is read ahead before its target is made: when that target
// cannot be made, the copy fails with its line, and the reading of that file
// has stopped and let go of it: once the source is closed, no file is left open.
TEST(CdCopyAll, ATargetThatCannotBeMadeForAFileReadAheadFailsTheCopy)
{
    std::string a = pattern_bytes(1000, 13), b = pattern_bytes(40 * 65536 + 9, 14);
    for (int image = 0; image < 2; image++) {
        LogCapture log;
        std::string d = scratch("target_refused");
        auto [from, second] = two_files(d, image, a, b);
        // The file copied second finds a folder where its target goes.
        make_dirs((d + "\\out\\" + second).c_str());
        const int open_before = pf_open_files;
        cd_source *s = cd_open(from.c_str());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), nullptr), 0) << image;
        std::vector<std::string> lines = log.lines();
        ASSERT_EQ(lines.size(), 1u) << image;
        EXPECT_EQ(lines[0], "cannot write " + d + "\\out\\" + second) << image;
        cd_close(s);
        EXPECT_EQ(pf_open_files, open_before) << image << ": no file of the source is left open";
    }
}

// A stop asked at any step of a file of several chunks ends the copy with no
// line; the target holds exactly the chunks written before it, nothing later.
int stop_at_step(uint64_t, uint64_t, void *user)
{
    int *left = (int *)user;
    return --*left > 0;
}

TEST(CdCopyAll, AStopAtAnyStepKeepsExactlyTheChunksBeforeIt)
{
    std::string big = pattern_bytes(6 * 65536 + 77, 10);
    std::string iso = build(D("", {F("BIG.BIN;1", big), F("LATER.TXT;1", "x")})).bytes;
    for (int steps = 1; steps <= 7; steps++) {
        LogCapture log;
        std::string d = scratch("copy_stop");
        cd_source *s = cd_open(save(d, "s.iso", iso).c_str());
        ASSERT_NE(s, nullptr);
        int left = steps;
        progress pr = {0, 0, stop_at_step, &left};
        EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), &pr), 0) << steps;
        EXPECT_EQ(get(d + "\\out\\BIG.BIN"), big.substr(0, (size_t)steps * 65536)) << steps;
        EXPECT_FALSE(path_exists((d + "\\out\\LATER.TXT").c_str())) << steps;
        EXPECT_TRUE(log.lines().empty()) << steps;
        cd_close(s);
    }
}

TEST(Retry, AFolderThatCannotBeMadeInTheTargetFailsTheCopy)
{
    LogCapture log;
    std::string d = scratch("retry_mkdir");
    make_dirs((d + "\\src\\EMPTY").c_str());
    put(d + "\\out\\EMPTY", "a file where the folder goes");
    cd_source *s = cd_open((d + "\\src").c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), nullptr), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"cannot write " + d + "\\out\\EMPTY"});
    EXPECT_EQ(get(d + "\\out\\EMPTY"), "a file where the folder goes");
    cd_close(s);
}

// The first progress step (the last piece of the file copied first) waits
// until the log shows that the file after it failed a read, then asks a stop
// as the window does.
struct StopStep {
    LogCapture *log;
    std::string line;
    bool seen = false;
};
int stop_once_retried(uint64_t, uint64_t, void *user)
{
    StopStep *h = (StopStep *)user;
    if (!h->seen) {
        for (int i = 0; i < 300 && !h->seen; i++) {
            std::vector<std::string> lines = h->log->lines();
            h->seen = std::find(lines.begin(), lines.end(), h->line) != lines.end();
            if (!h->seen) pf_sleep(10);
        }
        stop_ask();
    }
    return !stop_is_asked();
}

// A stop while the next file's reads fail ends its tries and pauses: the copy
// returns after the try at work, not after all of them; nothing is asked.
TEST(Stop, TheReadingOfTheNextFileGivesUpItsTries)
{
    std::string a = pattern_bytes(1000, 31), b = pattern_bytes(3 * 65536 + 5, 32);
    for (int image = 0; image < 2; image++) {
        LogCapture log;
        std::string d = scratch("stop_next");
        auto [from, second] = two_files(d, image, a, b);
        std::string name = image ? second : from + "\\" + second;
        cd_source *s = cd_open(from.c_str());
        ASSERT_NE(s, nullptr);
        Asked asked;
        cd_set_ask_retry(ask, &asked);
        StopStep h = {&log, "read retried: " + name};
        progress pr = {0, 0, stop_once_retried, &h};
        // Image: the root's listing, A.BIN, then every read of B.BIN fails.
        // Folder: A.BIN's bytes and its end, then B.BIN's.
        pf_fault_read = {2, 100};
        int ok = cd_copy_all(s, (d + "\\out").c_str(), &pr);
        int failed = 100 - pf_fault_read.fail;
        pf_fault_read = {0, 0};
        cd_set_ask_retry(nullptr, nullptr);
        stop_reset();
        EXPECT_EQ(ok, 0) << image;
        EXPECT_TRUE(h.seen) << image;
        EXPECT_LT(failed, 3) << image << ": the tries went on after the stop";
        EXPECT_TRUE(asked.names.empty()) << image;
        EXPECT_EQ(log.lines(), std::vector<std::string>{"read retried: " + name}) << image;
        cd_close(s);
    }
}

// The one asked answers Retry, but a stop came meanwhile (the window's box
// was open when the player confirmed Stop): nothing is read or asked again.
int ask_then_stop(const char *name, void *user)
{
    Asked *a = (Asked *)user;
    a->names.push_back(name);
    if (a->names.size() > 1) return 0; // without the stop heard, ask no more
    stop_ask();
    return 1;
}

TEST(Stop, NoQuestionAfterAStop)
{
    std::string iso = build(sample_tree()).bytes;
    for (int image = 0; image < 2; image++) {
        LogCapture log;
        std::string d = scratch("stop_ask");
        std::string from = image ? save(d, "s.iso", iso) : folder_disc(d);
        cd_source *s = cd_open(from.c_str());
        ASSERT_NE(s, nullptr);
        std::string name = image ? "HD.QAR" : from + "\\A.BIN";
        Asked a;
        cd_set_ask_retry(ask_then_stop, &a);
        progress pr = {0, 0, nullptr, nullptr};
        pf_fault_read = {image ? 3 : 1, -1};
        int ok = cd_copy_all(s, (d + "\\out").c_str(), &pr);
        pf_fault_read = {0, 0};
        cd_set_ask_retry(nullptr, nullptr);
        stop_reset();
        EXPECT_EQ(ok, 0) << image;
        EXPECT_EQ(a.names, std::vector<std::string>{name}) << image;
        EXPECT_EQ(log.lines(), std::vector<std::string>{"read retried: " + name}) << image;
        cd_close(s);
    }
}

// A file read again from its start after a Retry is rewritten below what was
// counted before: each piece still asks, so that a stop is heard at once.
struct StopAfterRetry {
    Asked *asked;
    int after = 0;
};
int stop_after_retry(uint64_t, uint64_t, void *user)
{
    StopAfterRetry *h = (StopAfterRetry *)user;
    if (h->asked->names.empty()) return 1;
    h->after++;
    return 0;
}

TEST(Stop, TheRewriteOfARetriedFileHearsAStopAtItsFirstPiece)
{
    std::string big = pattern_bytes(20 * 65536 + 300, 33);
    LogCapture log;
    std::string d = scratch("stop_rewrite");
    cd_source *s = cd_open(save(d, "a.iso", build(D("", {F("BIG.BIN;1", big)})).bytes).c_str());
    ASSERT_NE(s, nullptr);
    Asked a;
    a.answer = 1;
    a.clear = 1;
    cd_set_ask_retry(ask, &a);
    StopAfterRetry h = {&a};
    progress pr = {0, 0, stop_after_retry, &h};
    // The root's listing and BIG.BIN's first 512 KiB, then its reads fail
    // until the one asked clears the disc.
    pf_fault_read = {2, -1};
    EXPECT_EQ(cd_copy_all(s, (d + "\\out").c_str(), &pr), 0);
    pf_fault_read = {0, 0};
    cd_set_ask_retry(nullptr, nullptr);
    EXPECT_EQ(a.names, std::vector<std::string>{"BIG.BIN"});
    EXPECT_EQ(h.after, 1);
    EXPECT_EQ(get(d + "\\out\\BIG.BIN"), big.substr(0, 65536)) << "the rewrite went on after the stop";
    cd_close(s);
}

} // namespace
