/*
 * install_icon_lbm.cpp - an executable's icon computed from an emblem picture,
 * an IFF "PBM " file (one palette index per pixel). Near-black pixels become
 * transparent, the rest is cropped to its box and centred on a square canvas
 * with a margin of a sixteenth, and the canvas is box-filtered to seven 32-bit
 * icon images of sides 16 to 256. Keeps no state; any thread may call it.
 *
 * The picture, big-endian: "FORM", the FORM length (bytes after that field),
 * "PBM ", then chunks: a 4-byte identifier, a u32 length, the data, and a pad
 * byte after odd data. "BMHD" gives width (u16 at 0), height (u16 at 2) and
 * compression (u8 at 10; 1 is ByteRun1). "CMAP" holds red, green, blue triples.
 * "BODY" holds the rows, each of the width rounded up to even bytes. The last
 * of each kind counts; other chunks are skipped.
 *
 * Every read is checked against the input: data that a chunk declares but the
 * input lacks is treated as absent (a header too short rejects the picture, a
 * pixel stream ends early, a palette entry beyond the input is transparent).
 */
#include "install_icon.h"

#include "install_icon_res.h"

#include <stdlib.h>
#include <string.h>

const uint32_t emblem_sizes[7] = {16, 24, 32, 48, 64, 128, 256};

enum { BMP_HEADER = 40, BMHD_NEEDED = 11, DARK_SUM = 60 };

static uint32_t u16be(const unsigned char *p) { return (uint32_t)p[0] << 8 | p[1]; }
static uint32_t u32be(const unsigned char *p) { return u16be(p) << 16 | u16be(p + 2); }
static void put_u16le(unsigned char *p, uint32_t v) { p[0] = (unsigned char)v, p[1] = (unsigned char)(v >> 8); }
static void put_u32le(unsigned char *p, uint32_t v) { put_u16le(p, v), put_u16le(p + 2, v >> 16); }

uint64_t emblem_image_size(uint32_t t)
{
    uint64_t mask_row = 4 * (((uint64_t)t + 31) / 32);
    return BMP_HEADER + 4 * (uint64_t)t * t + t * mask_row;
}

/* What the chunk walk found; positions are offsets into the input. */
typedef struct pbm_chunks {
    uint32_t width, height, compression;
    int have_cmap, have_body;
    uint64_t cmap, body, body_len;
} pbm_chunks;

/* Walks the chunk headers that lie within the walk limit. 0 when the file is
   not a "PBM " form. */
static int walk_chunks(const unsigned char *data, uint64_t size, pbm_chunks *c)
{
    memset(c, 0, sizeof *c);
    if (size < 12 || memcmp(data, "FORM", 4) != 0 || memcmp(data + 8, "PBM ", 4) != 0) return 0;
    /* The sum wraps as a 32-bit value: a FORM length near 2^32 gives a tiny limit. */
    uint64_t limit = (uint32_t)(u32be(data + 4) + 8u);
    if (limit > size) limit = size;
    if (limit < 20) return 0;
    for (uint64_t p = 12; p + 8 <= limit;) {
        const unsigned char *id = data + p;
        uint64_t len = u32be(data + p + 4), at = p + 8;
        if (memcmp(id, "BMHD", 4) == 0) {
            /* A header that cannot hold the compression byte, in the chunk and in
               the input, is no header: the picture is refused as if width were 0. */
            int whole = len >= BMHD_NEEDED && at + BMHD_NEEDED <= size;
            c->width = whole ? u16be(data + at) : 0;
            c->height = whole ? u16be(data + at + 2) : 0;
            c->compression = whole ? data[at + 10] : 0;
        } else if (memcmp(id, "CMAP", 4) == 0) {
            c->have_cmap = 1;
            c->cmap = at;
        } else if (memcmp(id, "BODY", 4) == 0) {
            c->have_body = 1;
            c->body = at;
            c->body_len = len;
        }
        p = at + len + (len & 1);
    }
    return 1;
}

/* ByteRun1 from body (len bytes that belong to the BODY, avail bytes present in
   the input from its start, len <= avail) into idx of e bytes, as one stream. */
static void unpack_byterun1(const unsigned char *body, uint64_t len, uint64_t avail,
                            unsigned char *idx, uint64_t e)
{
    uint64_t i = 0, o = 0;
    while (o < e && i < len) {
        unsigned q = body[i];
        if (q < 128) {
            for (uint64_t j = i + 1; j <= i + 1 + q; j++) {
                if (o == e || j >= len) return;
                idx[o++] = body[j];
            }
            i += q + 2;
        } else if (q == 128) {
            i += 1;
        } else {
            if (i + 1 >= avail) return; /* the value byte is not in the input */
            unsigned char v = body[i + 1];
            for (unsigned c = 0; c < 257 - q; c++) {
                if (o == e) return;
                idx[o++] = v;
            }
            i += 2;
        }
    }
}

icon_status emblem_canvas(const unsigned char *data, uint64_t size, emblem *out)
{
    memset(out, 0, sizeof *out);
    pbm_chunks c;
    if (!walk_chunks(data, size, &c)) return EMBLEM_NOT_UNDERSTOOD;
    if (c.width == 0 || c.height == 0 || !c.have_cmap || !c.have_body) return EMBLEM_NOT_UNDERSTOOD;

    uint64_t w = c.width, h = c.height, row = w + (w & 1), e = row * h;
    if (e > EMBLEM_MAX_PIXELS) return EMBLEM_NOT_UNDERSTOOD;
    unsigned char *idx = (unsigned char *)calloc((size_t)e, 1);
    if (!idx) return EMBLEM_NOT_UNDERSTOOD;
    uint64_t avail = size - c.body; /* the walk kept every chunk start within the input */
    uint64_t len = c.body_len < avail ? c.body_len : avail;
    if (c.compression != 1) {
        memcpy(idx, data + c.body, (size_t)(len < e ? len : e));
    } else {
        unpack_byterun1(data + c.body, len, avail, idx, e);
    }

    uint32_t *colour = (uint32_t *)malloc((size_t)(w * h) * sizeof *colour);
    if (!colour) {
        free(idx);
        return EMBLEM_NOT_UNDERSTOOD;
    }
    uint64_t min_x = w, min_y = h;
    int64_t max_x = -1, max_y = -1;
    for (uint64_t y = 0; y < h; y++) {
        for (uint64_t x = 0; x < w; x++) {
            uint64_t at = c.cmap + 3 * (uint64_t)idx[y * row + x];
            uint32_t px = 0;
            if (at + 3 <= size) { /* an entry beyond the input stays transparent */
                uint32_t r = data[at], g = data[at + 1], b = data[at + 2];
                if (r + g + b >= DARK_SUM) px = 0xFF000000u | r << 16 | g << 8 | b;
            }
            colour[y * w + x] = px;
            if (px) {
                if (x < min_x) min_x = x;
                if (y < min_y) min_y = y;
                if ((int64_t)x > max_x) max_x = (int64_t)x;
                if ((int64_t)y > max_y) max_y = (int64_t)y;
            }
        }
    }
    free(idx);
    if (max_x < 0) {
        free(colour);
        return EMBLEM_EMPTY;
    }

    uint64_t bw = (uint64_t)max_x - min_x + 1, bh = (uint64_t)max_y - min_y + 1;
    uint64_t m = bw > bh ? bw : bh, s = m + m / 16;
    uint32_t *canvas = s <= EMBLEM_MAX_SIDE ? (uint32_t *)calloc((size_t)(s * s), sizeof *canvas) : NULL;
    if (!canvas) {
        free(colour);
        return EMBLEM_NOT_UNDERSTOOD;
    }
    uint64_t ox = (s - bw) / 2, oy = (s - bh) / 2;
    for (uint64_t j = 0; j < bh; j++)
        memcpy(canvas + (oy + j) * s + ox, colour + (min_y + j) * w + min_x, (size_t)bw * sizeof *canvas);
    free(colour);

    out->side = (uint32_t)s;
    out->bw = (uint32_t)bw, out->bh = (uint32_t)bh;
    out->ox = (uint32_t)ox, out->oy = (uint32_t)oy;
    out->canvas = canvas;
    return ICON_OK;
}

/* The canvas interval [*lo, *hi) behind destination index d of t. */
static void interval(uint64_t d, uint64_t s, uint64_t t, uint64_t *lo, uint64_t *hi)
{
    *lo = d * s / t;
    *hi = (d + 1) * s / t;
    if (*hi <= *lo) *hi = *lo + 1;
}

void emblem_scale(const emblem *e, uint32_t t, unsigned char *pixels)
{
    /* One pass over the canvas: for a canvas at least t wide the intervals tile
       it; a smaller one is sampled, one canvas pixel per destination pixel. */
    const uint64_t s = e->side;
    for (uint64_t dy = 0; dy < t; dy++) {
        uint64_t y0, y1;
        interval(dy, s, t, &y0, &y1);
        for (uint64_t dx = 0; dx < t; dx++) {
            uint64_t x0, x1;
            interval(dx, s, t, &x0, &x1);
            uint64_t sa = 0, sr = 0, sg = 0, sb = 0;
            for (uint64_t y = y0; y < y1; y++) {
                const uint32_t *src = e->canvas + y * s;
                for (uint64_t x = x0; x < x1; x++) {
                    uint32_t px = src[x], a = px >> 24;
                    sa += a;
                    sr += (uint64_t)(px >> 16 & 0xFF) * a;
                    sg += (uint64_t)(px >> 8 & 0xFF) * a;
                    sb += (uint64_t)(px & 0xFF) * a;
                }
            }
            uint32_t v = 0;
            if (sa) {
                uint64_t n = (x1 - x0) * (y1 - y0);
                v = (uint32_t)(sa / n) << 24 | (uint32_t)(sr / sa) << 16 | (uint32_t)(sg / sa) << 8 |
                    (uint32_t)(sb / sa);
            }
            put_u32le(pixels + ((t - 1 - dy) * t + dx) * 4, v);
        }
    }
}

icon_status icon_build_lbm(const unsigned char *data, uint64_t size, icon_res_list *out)
{
    out->items = NULL;
    out->count = 0;
    emblem e;
    icon_status st = emblem_canvas(data, size, &e);
    if (st != ICON_OK) return st;

    const unsigned n = sizeof emblem_sizes / sizeof emblem_sizes[0];
    icon_res *items = (icon_res *)calloc(n + 1, sizeof *items);
    unsigned char *group = (unsigned char *)calloc(1, ICON_GROUP_HEADER + ICON_GROUP_ENTRY * n);
    out->items = items;
    if (items && group) {
        out->count = n + 1;
        items[n] = icon_res{RES_TYPE_GROUP_ICON, 1, group, ICON_GROUP_HEADER + ICON_GROUP_ENTRY * n, group};
        group[2] = 1;
        group[4] = (unsigned char)n;
        for (unsigned k = 1; k <= n && st == ICON_OK; k++) {
            uint32_t t = emblem_sizes[k - 1];
            uint32_t bytes = (uint32_t)emblem_image_size(t);
            unsigned char *img = (unsigned char *)calloc(bytes, 1);
            if (!img) {
                st = EMBLEM_NOT_UNDERSTOOD;
                break;
            }
            put_u32le(img, BMP_HEADER);
            put_u32le(img + 4, t);
            put_u32le(img + 8, 2 * t);
            put_u16le(img + 12, 1);
            put_u16le(img + 14, 32);
            emblem_scale(&e, t, img + BMP_HEADER);
            items[k - 1] = icon_res{RES_TYPE_ICON, k, img, bytes, img};

            unsigned char entry[12] = {(unsigned char)(t & 0xFF), (unsigned char)(t & 0xFF), 0, 0};
            put_u16le(entry + 4, 1);
            put_u16le(entry + 6, 32);
            put_u32le(entry + 8, bytes);
            icon_group_entry(group, k, entry);
        }
    } else {
        free(group);
        st = EMBLEM_NOT_UNDERSTOOD;
    }
    free(e.canvas);
    if (st != ICON_OK) icon_res_free(out);
    return st;
}

int inject_icon_lbm(const char *exe, const unsigned char *data, uint64_t size)
{
    icon_res_list list;
    icon_status st = icon_build_lbm(data, size, &list);
    return icon_res_apply(exe, st, &list);
}
