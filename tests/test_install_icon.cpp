// Tests of the icon writers: the resources computed from an icon file and from
// an emblem picture, and the messages of both writers. Off Windows the resource
// update writes "<exe>.res", which the last tests read back.
#include "install_icon.h"
#include "install_icon_res.h"
#include "platform.h"
#include "testkit.h"
#include "util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

namespace {

// ---- little helpers ----

std::string le16(unsigned v) { return std::string{(char)(v & 0xFF), (char)(v >> 8 & 0xFF)}; }
std::string le32(uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); }
std::string be16(unsigned v) { return std::string{(char)(v >> 8 & 0xFF), (char)(v & 0xFF)}; }
std::string be32(uint32_t v) { return be16(v >> 16) + be16(v & 0xFFFF); }
uint32_t rd32(const unsigned char *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
uint32_t rd16(const unsigned char *p) { return p[0] | p[1] << 8; }

// The input in a heap block of exactly its size, so that the sanitizers catch
// any read past its end (a string may have spare capacity behind its bytes).
struct Exact {
    explicit Exact(const std::string &s) : p((unsigned char *)malloc(s.size() + !s.size())), n(s.size())
    {
        memcpy(p, s.data(), s.size());
    }
    ~Exact() { free(p); }
    Exact(const Exact &) = delete;
    Exact &operator=(const Exact &) = delete;
    unsigned char *p;
    uint64_t n;
};

std::string res_data(const icon_res &r) { return std::string((const char *)r.data, r.size); }

// An icon file: header with the given type word, then one directory entry per
// image (with its own width byte), the images' bytes after the directory.
std::string ico_file(const std::vector<std::string> &images, unsigned type = 1)
{
    std::string dir = le16(0) + le16(type) + le16((unsigned)images.size()), body;
    uint32_t off = (uint32_t)(6 + 16 * images.size());
    for (size_t i = 0; i < images.size(); i++) {
        dir += std::string{(char)(16 + i), (char)(32 + i), 0, 0} + le16(1) + le16(32);
        dir += le32((uint32_t)images[i].size()) + le32(off);
        off += (uint32_t)images[i].size();
        body += images[i];
    }
    return dir + body;
}

// Sets the length and offset of directory entry i (0-based) of an icon file.
void set_entry(std::string &ico, size_t i, uint32_t len, uint32_t off)
{
    ico.replace(6 + 16 * i + 8, 8, le32(len) + le32(off));
}

// ---- icon file ----

TEST(IconIco, HeaderAndDirectoryChecks)
{
    std::string one = ico_file({"abc"});
    std::string fourth = one;
    fourth[3] = 1; // type 0x0101: the high byte is not examined
    std::string cursor = one;
    cursor[2] = 2;
    std::string reserved = one;
    reserved[1] = 1;
    std::string two = ico_file({"", ""}); // directory ends exactly at the end
    struct Case {
        const char *name;
        std::string data;
        icon_status want;
    } cases[] = {
        {"no images", std::string("\0\0\1\0\0\0", 6), ICON_OK},
        {"five bytes", std::string("\0\0\1\0\0", 5), ICON_NOT_ICO},
        {"empty", "", ICON_NOT_ICO},
        {"fourth byte 1", fourth, ICON_OK},
        {"cursor", cursor, ICON_NOT_ICO},
        {"reserved not 0", reserved, ICON_NOT_ICO},
        {"directory exactly there", two, ICON_OK},
        {"directory one byte short", two.substr(0, two.size() - 1), ICON_TRUNCATED},
        {"count 65535, no directory", std::string("\0\0\1\0\xff\xff", 6), ICON_TRUNCATED},
    };
    for (const Case &c : cases) {
        icon_res_list list;
        Exact in(c.data);
        EXPECT_EQ(icon_build_ico(in.p, in.n, &list), c.want) << c.name;
        if (c.want != ICON_OK) {
            EXPECT_EQ(list.count, 0u) << c.name;
        }
        icon_res_free(&list);
    }
}

TEST(IconIco, NoImagesGivesAnEmptyGroup)
{
    std::string ico("\0\0\1\0\0\0", 6);
    icon_res_list list;
    Exact in(ico);
    ASSERT_EQ(icon_build_ico(in.p, in.n, &list), ICON_OK);
    ASSERT_EQ(list.count, 1u);
    EXPECT_EQ(list.items[0].type, (unsigned)RES_TYPE_GROUP_ICON);
    EXPECT_EQ(list.items[0].id, 1u);
    EXPECT_EQ(res_data(list.items[0]), std::string("\0\0\1\0\0\0", 6));
    icon_res_free(&list);
}

TEST(IconIco, ImagesAreCopiedAsTheyStandAndTheGroupTakesTheDirectory)
{
    std::string a = pattern_bytes(40, 1), b = pattern_bytes(7, 2), c = "\x89PNG";
    std::string ico = ico_file({a, b, c});
    icon_res_list list;
    Exact in(ico);
    ASSERT_EQ(icon_build_ico(in.p, in.n, &list), ICON_OK);
    ASSERT_EQ(list.count, 4u);
    const std::string imgs[] = {a, b, c};
    for (unsigned k = 1; k <= 3; k++) {
        EXPECT_EQ(list.items[k - 1].type, (unsigned)RES_TYPE_ICON);
        EXPECT_EQ(list.items[k - 1].id, k);
        EXPECT_EQ(res_data(list.items[k - 1]), imgs[k - 1]);
    }
    std::string group = res_data(list.items[3]);
    ASSERT_EQ(group.size(), 6u + 14 * 3);
    EXPECT_EQ(group.substr(0, 6), std::string("\0\0\1\0\3\0", 6));
    for (unsigned k = 1; k <= 3; k++) {
        std::string entry = group.substr(6 + 14 * (k - 1), 14);
        EXPECT_EQ(entry.substr(0, 12), ico.substr(6 + 16 * (k - 1), 12)) << k;
        EXPECT_EQ(entry.substr(12), le16(k)) << k;
    }
    icon_res_free(&list);
}

TEST(IconIco, ImageRange)
{
    std::string ico = ico_file({"abcd"}); // the image ends at the last byte
    uint32_t off = (uint32_t)ico.size() - 4;
    struct Case {
        const char *name;
        uint32_t len, off;
        icon_status want;
    } cases[] = {
        {"ends at the last byte", 4, off, ICON_OK},
        {"ends a byte later", 5, off, ICON_OUT_OF_RANGE},
        {"starts at the end, empty", 0, off + 4, ICON_OK},
        {"starts past the end, empty", 0, off + 5, ICON_OUT_OF_RANGE},
        {"offset plus length past 2^32", 0x20, 0xFFFFFFF0u, ICON_OUT_OF_RANGE},
        {"length near 2^32", 0xFFFFFFFFu, 1, ICON_OUT_OF_RANGE},
    };
    for (const Case &c : cases) {
        std::string f = ico;
        set_entry(f, 0, c.len, c.off);
        icon_res_list list;
        Exact in(f);
        EXPECT_EQ(icon_build_ico(in.p, in.n, &list), c.want) << c.name;
        icon_res_free(&list);
    }
}

TEST(IconIco, ThreeHundredImages)
{
    std::vector<std::string> images;
    for (int i = 0; i < 300; i++) images.push_back(pattern_bytes(1 + i % 5, (unsigned)i));
    std::string ico = ico_file(images);
    icon_res_list list;
    Exact in(ico);
    ASSERT_EQ(icon_build_ico(in.p, in.n, &list), ICON_OK);
    ASSERT_EQ(list.count, 301u);
    const unsigned char *group = list.items[300].data;
    EXPECT_EQ(list.items[300].size, 6u + 14 * 300);
    EXPECT_EQ(rd16(group + 4), 300u);
    EXPECT_EQ(rd16(group + 6 + 14 * 255 + 12), 256u);
    EXPECT_EQ(rd16(group + 6 + 14 * 299 + 12), 300u);
    EXPECT_EQ(list.items[255].id, 256u);
    EXPECT_EQ(res_data(list.items[255]), images[255]);
    icon_res_free(&list);
}

// ---- emblem picture ----

std::string chunk(const char *id, const std::string &data, int64_t declared = -1, bool pad = true)
{
    std::string c = std::string(id, 4) + be32(declared < 0 ? (uint32_t)data.size() : (uint32_t)declared) + data;
    if (pad && data.size() % 2) c += '\0';
    return c;
}

std::string bmhd(unsigned w, unsigned h, unsigned comp)
{
    std::string d = be16(w) + be16(h) + be16(0) + be16(0) + std::string{8, 0, (char)comp, 0} + be16(0);
    d += std::string{10, 11} + be16(w) + be16(h);
    return chunk("BMHD", d);
}

// Every colour bright and told apart by its red value, which is its index.
std::string bright_cmap()
{
    std::string d;
    for (int k = 0; k < 256; k++) d += std::string{(char)k, (char)200, (char)200};
    return chunk("CMAP", d);
}

std::string pbm(const std::string &chunks, int64_t form_len = -1)
{
    return "FORM" + be32(form_len < 0 ? (uint32_t)(4 + chunks.size()) : (uint32_t)form_len) + "PBM " + chunks;
}

uint32_t at(const emblem &e, uint32_t x, uint32_t y) { return e.canvas[(uint64_t)y * e.side + x]; }

// The palette indices of a picture whose every pixel is bright, read back from
// its canvas.
std::vector<int> decoded(const std::string &file, unsigned w, unsigned h)
{
    emblem e;
    std::vector<int> out;
    if (emblem_canvas(Exact(file).p, file.size(), &e) != ICON_OK) return {-1};
    EXPECT_EQ(e.bw, w);
    EXPECT_EQ(e.bh, h);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) out.push_back((int)(at(e, e.ox + x, e.oy + y) >> 16 & 0xFF));
    free(e.canvas);
    return out;
}

std::string body(const std::string &d, int64_t declared = -1, bool pad = true)
{
    return chunk("BODY", d, declared, pad);
}

TEST(IconLbm, Rejections)
{
    std::string good = pbm(bmhd(1, 1, 0) + bright_cmap() + body(std::string(2, '\1')));
    std::string not_form = good, not_pbm = good;
    not_form[0] = 'X';
    not_pbm.replace(8, 4, "ILBM");
    std::string bmhd_short = chunk("BMHD", be16(1) + be16(1) + std::string(6, '\0')); // 10 bytes
    struct Case {
        const char *name;
        std::string data;
        icon_status want;
    } cases[] = {
        {"good", good, ICON_OK},
        {"eleven bytes", good.substr(0, 11), EMBLEM_NOT_UNDERSTOOD},
        {"not FORM", not_form, EMBLEM_NOT_UNDERSTOOD},
        {"not PBM", not_pbm, EMBLEM_NOT_UNDERSTOOD},
        {"FORM length wraps below 20", pbm(bmhd(1, 1, 0) + bright_cmap() + body("\1"), 0xFFFFFFF8u),
         EMBLEM_NOT_UNDERSTOOD},
        {"walk limit 19", pbm(bmhd(1, 1, 0) + bright_cmap() + body("\1"), 11), EMBLEM_NOT_UNDERSTOOD},
        {"width 0", pbm(bmhd(0, 1, 0) + bright_cmap() + body("\1")), EMBLEM_NOT_UNDERSTOOD},
        {"height 0", pbm(bmhd(1, 0, 0) + bright_cmap() + body("\1")), EMBLEM_NOT_UNDERSTOOD},
        {"no BMHD", pbm(bright_cmap() + body("\1")), EMBLEM_NOT_UNDERSTOOD},
        {"no CMAP", pbm(bmhd(1, 1, 0) + body("\1")), EMBLEM_NOT_UNDERSTOOD},
        {"no BODY", pbm(bmhd(1, 1, 0) + bright_cmap()), EMBLEM_NOT_UNDERSTOOD},
        {"BMHD too short", pbm(bmhd_short + bright_cmap() + body("\1")), EMBLEM_NOT_UNDERSTOOD},
        {"BMHD past the end", pbm(bright_cmap() + body("\1") + bmhd(1, 1, 0).substr(0, 14)),
         EMBLEM_NOT_UNDERSTOOD},
        {"FORM length hides BODY", pbm(bmhd(1, 1, 0) + bright_cmap() + body("\1"), 4 + 28 + 776),
         EMBLEM_NOT_UNDERSTOOD},
        {"FORM length just shows BODY", pbm(bmhd(1, 1, 0) + bright_cmap() + body("\1"), 4 + 28 + 776 + 8),
         ICON_OK},
        {"more pixels than the cap", pbm(bmhd(65535, 65535, 1) + bright_cmap() + body("")),
         EMBLEM_NOT_UNDERSTOOD},
        {"canvas side 4097", pbm(bmhd(3856, 1, 1) + bright_cmap() + body("")), EMBLEM_NOT_UNDERSTOOD},
        {"canvas side 4095", pbm(bmhd(3855, 1, 1) + bright_cmap() + body("")), ICON_OK},
    };
    for (const Case &c : cases) {
        emblem e;
        EXPECT_EQ(emblem_canvas(Exact(c.data).p, c.data.size(), &e), c.want) << c.name;
        if (c.want != ICON_OK) {
            EXPECT_EQ(e.canvas, nullptr) << c.name;
        }
        free(e.canvas);
    }
}

TEST(IconLbm, DarkThreshold)
{
    auto one = [](char r, char g, char b) {
        return pbm(bmhd(1, 1, 0) + chunk("CMAP", std::string{r, g, b}) + body(std::string(2, '\0')));
    };
    struct Case {
        std::string data;
        icon_status want;
    } cases[] = {
        {one(20, 20, 19), EMBLEM_EMPTY},
        {one(20, 20, 20), ICON_OK},
        {one(0, 0, 59), EMBLEM_EMPTY},
        {one(60, 0, 0), ICON_OK},
    };
    for (const Case &c : cases) {
        emblem e;
        EXPECT_EQ(emblem_canvas(Exact(c.data).p, c.data.size(), &e), c.want);
        free(e.canvas);
    }
}

TEST(IconLbm, OnePixelFillsEveryImage)
{
    std::string f = pbm(bmhd(1, 1, 0) + chunk("CMAP", "\x12\x34\x56") + body(std::string(2, '\0')));
    icon_res_list list;
    ASSERT_EQ(icon_build_lbm(Exact(f).p, f.size(), &list), ICON_OK);
    ASSERT_EQ(list.count, 8u);
    const unsigned char *group = list.items[7].data;
    ASSERT_EQ(list.items[7].size, 104u);
    EXPECT_EQ(std::string((const char *)group, 6), std::string("\0\0\1\0\7\0", 6));
    for (unsigned k = 1; k <= 7; k++) {
        const icon_res &r = list.items[k - 1];
        uint32_t t = emblem_sizes[k - 1], mask_row = 4 * ((t + 31) / 32);
        SCOPED_TRACE(t);
        EXPECT_EQ(r.type, (unsigned)RES_TYPE_ICON);
        EXPECT_EQ(r.id, k);
        ASSERT_EQ(r.size, 40 + 4 * t * t + t * mask_row);
        const unsigned char *d = r.data;
        EXPECT_EQ(rd32(d), 40u);
        EXPECT_EQ(rd32(d + 4), t);
        EXPECT_EQ(rd32(d + 8), 2 * t);
        EXPECT_EQ(rd16(d + 12), 1u);
        EXPECT_EQ(rd16(d + 14), 32u);
        for (int off = 16; off < 40; off++) EXPECT_EQ(d[off], 0) << off;
        for (uint32_t i = 0; i < t * t; i++) ASSERT_EQ(rd32(d + 40 + 4 * i), 0xFF123456u) << i;
        for (uint32_t i = 40 + 4 * t * t; i < r.size; i++) ASSERT_EQ(d[i], 0) << i;

        const unsigned char *e = group + 6 + 14 * (k - 1);
        EXPECT_EQ(e[0], t == 256 ? 0 : t);
        EXPECT_EQ(e[1], t == 256 ? 0 : t);
        EXPECT_EQ(e[2], 0);
        EXPECT_EQ(e[3], 0);
        EXPECT_EQ(rd16(e + 4), 1u);
        EXPECT_EQ(rd16(e + 6), 32u);
        EXPECT_EQ(rd32(e + 8), r.size);
        EXPECT_EQ(rd16(e + 12), k);
    }
    EXPECT_EQ(list.items[6].size, 40u + 4 * 256 * 256 + 256 * 32);
    icon_res_free(&list);
}

TEST(IconLbm, OddWidthRowsCarryAPadByteThatIsNeverShown)
{
    // Width 7: rows of 8 bytes. Palette 0 is dark, 1 bright; every pad byte is 1.
    std::string rows = std::string("\1\0\0\0\0\0\0\1", 8) + std::string("\0\0\0\0\0\0\1\1", 8);
    std::string f = pbm(bmhd(7, 2, 0) + chunk("CMAP", std::string("\0\0\0\x80\x80\x80", 6)) + body(rows));
    emblem e;
    ASSERT_EQ(emblem_canvas(Exact(f).p, f.size(), &e), ICON_OK);
    EXPECT_EQ(e.bw, 7u);
    EXPECT_EQ(e.bh, 2u);
    EXPECT_EQ(e.side, 7u);
    int opaque = 0;
    for (uint32_t i = 0; i < e.side * e.side; i++) opaque += e.canvas[i] != 0;
    EXPECT_EQ(opaque, 2);
    EXPECT_EQ(at(e, 0, 2), 0xFF808080u);
    EXPECT_EQ(at(e, 6, 3), 0xFF808080u);
    free(e.canvas);
}

TEST(IconLbm, BoxOnTheSquareCanvas)
{
    struct Case {
        uint32_t bw, bh, side, ox, oy;
    } cases[] = {
        {16, 16, 17, 0, 0},
        {15, 10, 15, 0, 2},
        {300, 20, 318, 9, 149},
        {1, 1, 1, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bw);
        // The box sits at (2, 1) of a picture with a dark border; palette 1 is bright.
        uint32_t w = c.bw + 3, h = c.bh + 2, row = w + (w & 1);
        std::string px(row * h, '\0');
        for (uint32_t y = 1; y <= c.bh; y++)
            for (uint32_t x = 2; x < 2 + c.bw; x++) px[y * row + x] = 1;
        std::string f = pbm(bmhd(w, h, 0) + chunk("CMAP", std::string("\0\0\0\1\2\x99", 6)) + body(px));
        emblem e;
        ASSERT_EQ(emblem_canvas(Exact(f).p, f.size(), &e), ICON_OK);
        EXPECT_EQ(e.side, c.side);
        EXPECT_EQ(e.ox, c.ox);
        EXPECT_EQ(e.oy, c.oy);
        for (uint32_t y = 0; y < e.side; y++) {
            for (uint32_t x = 0; x < e.side; x++) {
                bool inside = x >= c.ox && x < c.ox + c.bw && y >= c.oy && y < c.oy + c.bh;
                ASSERT_EQ(at(e, x, y), inside ? 0xFF010299u : 0u) << x << "," << y;
            }
        }
        free(e.canvas);
    }
}

TEST(IconLbm, SmallCanvasIsSampled)
{
    // A 5 x 5 picture, column x in colour x: S = 5, drawn into the 16-pixel image.
    std::string px;
    for (int y = 0; y < 5; y++) px += std::string("\0\1\2\3\4\0", 6);
    std::string f = pbm(bmhd(5, 5, 0) + bright_cmap() + body(px));
    icon_res_list list;
    ASSERT_EQ(icon_build_lbm(Exact(f).p, f.size(), &list), ICON_OK);
    const unsigned char *img = list.items[0].data + 40;
    const int want_col[16] = {0, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4};
    for (uint32_t dy = 0; dy < 16; dy++)
        for (uint32_t dx = 0; dx < 16; dx++)
            ASSERT_EQ(rd32(img + ((15 - dy) * 16 + dx) * 4), 0xFF00C8C8u | (uint32_t)want_col[dx] << 16)
                << dx << "," << dy;
    icon_res_free(&list);
}

TEST(IconLbm, BoxFilterAveragesColourOverOpaqueAndAlphaOverAll)
{
    // A 320-wide canvas: each 16-pixel image pixel covers 20 x 20 canvas pixels.
    std::vector<uint32_t> canvas(320 * 320, 0);
    emblem e = {320, 320, 320, 0, 0, canvas.data()};
    canvas[5 * 320 + 5] = 0xFF123456u; // one opaque pixel among 400
    for (int y = 20; y < 40; y++)      // destination (1, 1): half red, half blue
        for (int x = 20; x < 40; x++) canvas[y * 320 + x] = x < 30 ? 0xFFFF0000u : 0xFF0000FFu;
    for (int y = 0; y < 20; y++) // destination (2, 0): 100 of 400 opaque
        for (int x = 40; x < 50; x++) canvas[y * 320 + x] = y < 10 ? 0xFF102030u : 0;
    std::vector<unsigned char> out(16 * 16 * 4);
    emblem_scale(&e, 16, out.data());
    auto px = [&](int dx, int dy) { return rd32(out.data() + ((15 - dy) * 16 + dx) * 4); };
    EXPECT_EQ(px(0, 0), 0x00123456u); // alpha 255 / 400 = 0, the colour stays
    EXPECT_EQ(px(1, 1), 0xFF7F007Fu);
    EXPECT_EQ(px(2, 0), 0x3F102030u);
    EXPECT_EQ(px(3, 0), 0u);
}

TEST(IconLbm, ByteRun1AndStoredBodies)
{
    struct Case {
        const char *name;
        unsigned w, h, comp;
        std::string body_chunk;
        std::vector<int> want;
    } cases[] = {
        {"literal, no-op", 4, 1, 1, body(std::string("\x02\1\2\3\x80", 5)), {1, 2, 3, 0}},
        {"no-op only", 2, 1, 1, body(std::string("\x80\x80", 2)), {0, 0}},
        {"replicate reaches the end", 4, 1, 1, body(std::string("\x00\1\xfd\2\x00\3", 6)), {1, 2, 2, 2}},
        {"literal cut by the end of BODY", 4, 1, 1, body(std::string("\x03\1\2", 3)), {1, 2, 0, 0}},
        {"literal cut, a chunk follows", 6, 1, 1, body(std::string("\x04\1\2\3", 4)) + chunk("ANNO", "zz"),
         {1, 2, 3, 0, 0, 0}},
        {"runs cross rows", 2, 2, 1, body(std::string("\xfd\7", 2)), {7, 7, 7, 7}},
        {"empty BODY", 2, 1, 1, body(""), {0, 0}},
        {"longest replicate", 128, 1, 1, body(std::string("\x81\5", 2)), std::vector<int>(128, 5)},
        {"stored, longer", 3, 1, 0, body(std::string("\1\2\3\4\5\6", 6)), {1, 2, 3}},
        {"stored, shorter", 3, 2, 2, body(std::string("\1\2\3\4\5", 5)), {1, 2, 3, 5, 0, 0}},
        {"BODY declared past the input", 4, 1, 1, body(std::string("\x03\1\2\3\4", 5), 100, false),
         {1, 2, 3, 4}},
        {"stored BODY past the input", 2, 2, 0, body(std::string("\1\2\3", 3), 9, false), {1, 2, 3, 0}},
        {"replicate value past the input", 4, 1, 1, body(std::string("\x00\1\xff", 3), 3, false),
         {1, 0, 0, 0}},
        {"replicate value in the pad byte", 2, 1, 1, body(std::string("\xff", 1)), {0, 0}},
    };
    for (const Case &c : cases) {
        std::string f = pbm(bmhd(c.w, c.h, c.comp) + bright_cmap() + c.body_chunk);
        EXPECT_EQ(decoded(f, c.w, c.h), c.want) << c.name;
    }
}

TEST(IconLbm, ChunkOrderOddLengthsAndRepeats)
{
    std::string px = std::string("\1\2", 2);
    std::string odd = chunk("ANNO", "abc") + chunk("XXXX", "");
    struct Case {
        const char *name;
        std::string chunks;
        std::vector<int> want;
        unsigned w;
    } cases[] = {
        {"BMHD after BODY", body(px) + odd + bright_cmap() + bmhd(2, 1, 0), {1, 2}, 2},
        {"later BMHD counts", bmhd(2, 3, 1) + odd + bmhd(1, 1, 0) + bright_cmap() + body(px), {1}, 1},
        {"later BODY counts", bmhd(2, 1, 0) + body("\3\3") + bright_cmap() + odd + body(px), {1, 2}, 2},
    };
    for (const Case &c : cases) EXPECT_EQ(decoded(pbm(c.chunks), c.w, 1), c.want) << c.name;
}

TEST(IconLbm, PaletteEntryPastTheInputIsTransparent)
{
    // A 2-entry palette at the very end of the file; index 9 would lie beyond it.
    std::string f = pbm(bmhd(2, 1, 0) + body(std::string("\1\x09", 2)) +
                        chunk("CMAP", std::string("\0\0\0\x50\x50\x50", 6)));
    emblem e;
    ASSERT_EQ(emblem_canvas(Exact(f).p, f.size(), &e), ICON_OK);
    EXPECT_EQ(e.bw, 1u);
    EXPECT_EQ(e.side, 1u);
    EXPECT_EQ(e.canvas[0], 0xFF505050u);
    free(e.canvas);
}

// ---- the writers ----

struct Writer {
    const char *name;
    int (*fn)(const char *, const unsigned char *, uint64_t);
    std::string data;
    const char *line;
};

// Each writer fails on exe and logs one line: the one given, or the case's own.
void expect_failures(const std::string &exe, const std::vector<Writer> &cases, const char *line = nullptr)
{
    for (const Writer &c : cases) {
        LogCapture log;
        EXPECT_EQ(c.fn(exe.c_str(), Exact(c.data).p, c.data.size()), 0) << c.name;
        EXPECT_EQ(log.lines(), std::vector<std::string>{line ? line : c.line}) << c.name;
    }
}

TEST(IconWriters, MessagesBeforeTheFileIsTouched)
{
    std::string dir = scratch("icon_msgs");
    std::string exe = dir + "\\x.exe";
    put(exe, "not really an executable");
    std::string range = ico_file({"abcd", "efgh", "ijkl"});
    set_entry(range, 2, 5, (uint32_t)range.size() - 4);
    std::string dark = pbm(bmhd(1, 1, 0) + chunk("CMAP", std::string(3, '\0')) + body(std::string(2, '\0')));
    expect_failures(exe, {
        {"cursor", inject_icon_ico, ico_file({"a"}, 2), "ERROR: icon file is not an .ico"},
        {"truncated", inject_icon_ico, ico_file({"a"}).substr(0, 21), "ERROR: icon file is truncated"},
        {"not a picture", inject_icon_lbm, "FORM", "ERROR: game emblem picture not understood"},
        {"empty picture", inject_icon_lbm, dark, "ERROR: game emblem picture is empty"},
    });
    EXPECT_EQ(get(exe), "not really an executable");

    // Without the executable the update cannot open; that is found before an
    // image out of range, which needs the update open.
    std::string missing = dir + "\\missing.exe";
    std::string ico = ico_file({"a"}), lbm = pbm(bmhd(1, 1, 0) + bright_cmap() + body("\1"));
    std::vector<Writer> cases = {
        {"ico", inject_icon_ico, ico, nullptr},
        {"image out of range", inject_icon_ico, range, nullptr},
        {"lbm", inject_icon_lbm, lbm, nullptr},
    };
    expect_failures(missing, cases, "ERROR: cannot update the game executable's icon");
}

#ifndef _WIN32
// The entries of a resource file as (type, id, data), after the empty first one.
struct ResEntry {
    unsigned type, id;
    std::string data;
    bool operator==(const ResEntry &o) const { return type == o.type && id == o.id && data == o.data; }
};

std::vector<ResEntry> read_res(const std::string &file)
{
    std::vector<ResEntry> out;
    const unsigned char *p = (const unsigned char *)file.data();
    size_t pos = 0;
    while (pos + 32 <= file.size()) {
        uint32_t size = rd32(p + pos), header = rd32(p + pos + 4);
        EXPECT_EQ(header, 32u);
        EXPECT_EQ(rd16(p + pos + 8), 0xFFFFu);
        EXPECT_EQ(rd16(p + pos + 12), 0xFFFFu);
        EXPECT_EQ(rd16(p + pos + 22), 0u); // language neutral
        if (pos + 32 + size > file.size()) break;
        out.push_back({rd16(p + pos + 10), rd16(p + pos + 14), file.substr(pos + 32, size)});
        pos += 32 + (size + 3) / 4 * 4;
    }
    EXPECT_EQ(pos, file.size());
    if (!out.empty()) {
        EXPECT_EQ(out[0], (ResEntry{0, 0, ""}));
        out.erase(out.begin());
    }
    return out;
}

std::vector<ResEntry> entries(const icon_res_list &list)
{
    std::vector<ResEntry> out;
    for (uint32_t i = 0; i < list.count; i++) out.push_back({list.items[i].type, list.items[i].id, res_data(list.items[i])});
    return out;
}

TEST(IconWriters, OffWindowsTheUpdateIsWrittenBesideTheExecutable)
{
    std::string dir = scratch("icon_res");
    std::string exe = dir + "\\x.exe";
    put(exe, "MZ stand-in");
    std::string ico = ico_file({pattern_bytes(9, 3), pattern_bytes(4, 4)});
    icon_res_list list;
    Exact in(ico);
    ASSERT_EQ(icon_build_ico(in.p, in.n, &list), ICON_OK);
    std::vector<ResEntry> want = entries(list);
    icon_res_free(&list);
    {
        LogCapture log;
        ASSERT_EQ(inject_icon_ico(exe.c_str(), Exact(ico).p, ico.size()), 1);
        EXPECT_EQ(log.lines(), std::vector<std::string>{"icon: 2 images from the CD"});
    }
    EXPECT_EQ(read_res(get(exe + ".res")), want);
    EXPECT_EQ(get(exe), "MZ stand-in");

    // A failed update writes nothing: the earlier file stays as it was.
    std::string before = get(exe + ".res");
    std::string range = ico_file({"abcd", "efgh", "ijkl"});
    set_entry(range, 2, 5, (uint32_t)range.size() - 4);
    {
        LogCapture log;
        EXPECT_EQ(inject_icon_ico(exe.c_str(), Exact(range).p, range.size()), 0);
        EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR: icon image out of range"});
    }
    EXPECT_EQ(get(exe + ".res"), before);

    std::string lbm = pbm(bmhd(3, 2, 1) + bright_cmap() + body(std::string("\xfb\x40", 2)));
    ASSERT_EQ(icon_build_lbm(Exact(lbm).p, lbm.size(), &list), ICON_OK);
    want = entries(list);
    icon_res_free(&list);
    {
        LogCapture log;
        ASSERT_EQ(inject_icon_lbm(exe.c_str(), Exact(lbm).p, lbm.size()), 1);
        EXPECT_TRUE(log.lines().empty()); // success is silent
    }
    EXPECT_EQ(read_res(get(exe + ".res")), want);
    EXPECT_EQ(want.size(), 8u);

    // A commit that cannot be written: here the resource file's name is a folder.
    std::string other = dir + "\\y.exe";
    put(other, "MZ");
    ASSERT_TRUE(make_dirs((other + ".res").c_str()));
    expect_failures(other, {{"ico", inject_icon_ico, ico, nullptr}, {"lbm", inject_icon_lbm, lbm, nullptr}},
                    "ERROR: cannot write the game executable's icon");
}

// A virus scanner holds the executable just written: the update, failing at
// its commit, is made again from its start and waits the hold out; held past
// its tries it fails as any commit that cannot be written.
TEST(IconWriters, AnUpdateHeldForAMomentIsMadeAgain)
{
    std::string dir = scratch("icon_held");
    std::string exe = dir + "\\x.exe";
    put(exe, "MZ stand-in");
    std::string ico = ico_file({pattern_bytes(9, 3)});
    struct {
        int held;
        int ok;
        std::vector<std::string> lines;
    } cases[] = {
        {2, 1, {"write retried: " + exe, "icon: 1 images from the CD"}},
        {-1, 0, {"write retried: " + exe, "ERROR: cannot write the game executable's icon"}},
    };
    for (auto &c : cases) {
        pf_delete_file((exe + ".res").c_str());
        LogCapture log;
        pf_fault_held = {0, c.held};
        EXPECT_EQ(inject_icon_ico(exe.c_str(), Exact(ico).p, ico.size()), c.ok) << c.held;
        pf_fault_held = {0, 0};
        EXPECT_EQ(log.lines(), c.lines) << c.held;
        EXPECT_EQ(path_exists((exe + ".res").c_str()), c.ok) << c.held;
    }
}
#endif

} // namespace
