/*
 * cdsrc_image.cpp - the image files of the disc source: which descriptor
 * reader an image needs, the sector layouts of plain and raw images, and
 * reading logical sectors out of them.
 *
 * The layouts (bytes per sector in the file / offset of the user data / what
 * each sector's bytes are checked for):
 *   2048/0   ISO image, user data only                          (probed)
 *   2352/16  raw Mode 1: sync, header, data, EDC                (probed)
 *   2352/24  raw Mode 2 Form 1: sync, header, subheader, data   (probed)
 *   2448/16  raw Mode 1 with 96 bytes of subchannel after each  (probed)
 *   2448/24  raw Mode 2 Form 1 with subchannel                  (probed)
 *   2144/0   user data with subchannel                          (named only)
 *   2336/8   Mode 2 without sync and header: subheader, data    (named only)
 *   2432/8   the same with subchannel                           (named only)
 * A descriptor (image_formats.h) names the data file, where its first data
 * sector lies, that sector's disc address, the sector size and mode; the
 * layout it names is tried first, then the probed ones in this order, all with
 * the descriptor's start. A file without a descriptor is probed from its
 * first byte. Logical sector n lies at
 *   data_start + (n - first_lba) * sector_size + data_offset.
 *
 * State: the static stage buffer of raw runs. One thread at a time.
 */
#include "cdsrc_image.h"

#include "cdsrc_edc.h"
#include "image_formats.h"
#include "platform.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

enum { RAW_SECTOR = 2352, SUBCHANNEL = 96, M2_SECTOR = 2336, MAX_SECTOR = RAW_SECTOR + SUBCHANNEL };
static const uint32_t RAW_RUN = 32;              /* logical sectors per read of a raw image */
static const uint32_t PLAIN_RUN = 1u << 16;       /* logical sectors per read of a plain image */

/* The volume descriptor that a layout must show at logical sector 16 of its
   track. */
enum { PVD_SECTOR = 16 };
/* Where the user data of a Mode 2 Form 1 sector begin, after its subheader:
   in a raw sector, and in one stored from its subheader on. */
enum { MODE2_OFFSET = 24, M2_OFFSET = 8 };
/* The bytes of a sector, from its start, that a read needs: through its EDC. */
enum { MODE1_NEED = 2068, MODE2_NEED = 2076, M2_NEED = 2060 };
/* Disc addresses beyond any CD's: a first_lba above it is a descriptor's lie. */
static const uint32_t MAX_LBA = 1u << 24;

typedef struct layout {
    uint32_t size, offset;
    int form;
} layout;

static const layout probed[] = {
    {CD_SECTOR, 0, CD_FORM_PLAIN},         {RAW_SECTOR, 16, CD_FORM_RAW1},
    {RAW_SECTOR, MODE2_OFFSET, CD_FORM_RAW2}, {RAW_SECTOR + SUBCHANNEL, 16, CD_FORM_RAW1},
    {RAW_SECTOR + SUBCHANNEL, MODE2_OFFSET, CD_FORM_RAW2},
};
enum { PROBED = sizeof probed / sizeof probed[0] };

static unsigned char stage[RAW_RUN * MAX_SECTOR];

/* ---- layouts and sectors ---- */

/* The bytes of a sector, from its start, that a read of its user data needs. */
static uint32_t sector_need(const cd_image *img)
{
    switch (img->form) {
    case CD_FORM_RAW1: return MODE1_NEED;
    case CD_FORM_RAW2: return MODE2_NEED;
    case CD_FORM_M2: return M2_NEED;
    default: return CD_SECTOR;
    }
}

/* 1 when the image, read in this layout, holds a volume descriptor at logical
   sector 16 of its track; the layout and the image's bound are set either way. */
static int probe(cd_image *img, const layout *l)
{
    unsigned char pvd[CD_SECTOR];
    uint64_t bytes = 0;
    img->sector_size = l->size;
    img->data_offset = l->offset;
    img->form = l->form;
    img->file_pos = UINT64_MAX;
    img->sectors = 0;
    if (!pf_file_size(img->file, &bytes)) return 0;
    uint64_t need = sector_need(img);
    if (bytes >= img->data_start + need)
        img->sectors = img->first_lba + (bytes - img->data_start - need) / l->size + 1;
    if (!read_sectors(img, img->first_lba + PVD_SECTOR, 1, pvd)) return 0;
    return pvd[0] == 1 && memcmp(pvd + 1, "CD001", 5) == 0;
}

/* The bytes of a sector of size bytes in a file without its subchannel: 2048,
   2336 or 2352; 0 for a size that no layout has. */
static uint32_t bare_size(uint32_t size)
{
    static const uint32_t bare[] = {CD_SECTOR, M2_SECTOR, RAW_SECTOR};
    for (uint32_t b : bare)
        if (size == b || size == b + SUBCHANNEL) return b;
    return 0;
}

/* The layout that a descriptor's sector size and mode name, into *out; 0 when
   they name none, or name one only through the probes (a raw sector of
   unknown mode). */
static int named_layout(uint32_t size, int mode, layout *out)
{
    out->size = size;
    switch (bare_size(size)) {
    case CD_SECTOR: /* a Mode 2 Form 1 track stored as its user data is read as plain */
        out->offset = 0;
        out->form = CD_FORM_PLAIN;
        return 1;
    case M2_SECTOR:
        out->offset = M2_OFFSET;
        out->form = CD_FORM_M2;
        return mode != 1;
    case RAW_SECTOR:
        out->offset = mode == 2 ? MODE2_OFFSET : 16;
        out->form = mode == 2 ? CD_FORM_RAW2 : CD_FORM_RAW1;
        return mode == 1 || mode == 2;
    default:
        return 0;
    }
}

/* Reads n bytes at pos. A copy reads the image front to back, so the seek is
   left out when the file is already there: it costs a call per chunk. */
static int read_at(cd_image *img, uint64_t pos, void *dst, uint32_t n, uint32_t *got)
{
    if (img->file_pos != pos && !pf_seek(img->file, pos)) {
        img->file_pos = UINT64_MAX;
        return 0;
    }
    int ok = pf_read(img->file, dst, n, got);
    img->file_pos = ok ? pos + *got : UINT64_MAX;
    return ok;
}

int read_sectors(cd_image *img, uint32_t first, uint32_t count, void *dst)
{
    unsigned char *out = (unsigned char *)dst;
    /* Sectors past the end of the image fail as a short read would, after the
       ones before them have been read. */
    uint64_t avail = img->sectors > first ? img->sectors - first : 0;
    uint32_t want = count <= avail ? count : (uint32_t)avail;
    int whole = want == count;
    uint64_t sector = first;
    uint32_t need = sector_need(img), ss = img->sector_size;
    /* Sectors before the track's first are not in the file. */
    if (first < img->first_lba) return count == 0;
    while (want > 0) {
        uint32_t got = 0;
        uint64_t at = img->data_start + (sector - img->first_lba) * ss;
        if (ss == CD_SECTOR) {
            uint32_t n = want < PLAIN_RUN ? want : PLAIN_RUN;
            if (!read_at(img, at, out, n * CD_SECTOR, &got) ||
                got != n * CD_SECTOR)
                return 0;
            out += (size_t)n * CD_SECTOR;
            sector += n;
            want -= n;
            continue;
        }
        /* A run of sectors with more than their user data: from the first
           sector's start to the last one's EDC, read at once; each sector is
           checked and its user data picked out. */
        uint32_t n = want < RAW_RUN ? want : RAW_RUN;
        int ok = read_at(img, at, stage, (n - 1) * ss + need, &got);
        for (uint32_t i = 0; i < n; i++) {
            const unsigned char *s = stage + (size_t)i * ss;
            if (!ok || (uint64_t)i * ss + need > got) return 0;
            if (img->form == CD_FORM_RAW1 || img->form == CD_FORM_RAW2) {
                if (!cd_raw_sector_ok(s, img->form == CD_FORM_RAW2 ? 2 : 1)) return 0;
            } else if (img->form == CD_FORM_M2 && !cd_mode2_sector_ok(s)) {
                return 0;
            }
            memcpy(out, s + img->data_offset, CD_SECTOR);
            out += CD_SECTOR;
        }
        sector += n;
        want -= n;
    }
    return whole;
}

/* ---- opening ---- */

typedef int (*descriptor_reader)(const char *descriptor, image_track *out);

/* The descriptors by their extensions. */
static const struct {
    const char *ext;
    descriptor_reader read;
} readers[] = {
    {".cue", cue_read}, {".nrg", nrg_read}, {".mds", mds_read}, {".ccd", ccd_read}, {".cdi", cdi_read},
};
/* Data files that other tools write beside a descriptor of the same name. */
static const struct {
    const char *data, *descriptor;
} beside[] = {
    {".mdf", ".mds"},
    {".img", ".ccd"},
};

static int ext_is(const char *path, const char *ext)
{
    const char *dot = strrchr(path, '.');
    return dot && strcasecmp(dot, ext) == 0;
}

/* The reader of a descriptor at path, or of one beside a data file at path
   (path then becomes the descriptor's, its extension in the data file's
   letter case); none for a file without one. */
static descriptor_reader reader_for(char *path)
{
    for (auto &r : readers)
        if (ext_is(path, r.ext)) return r.read;
    char *dot = strrchr(path, '.');
    for (auto &b : beside) {
        if (!ext_is(path, b.data)) continue;
        char desc[PATH_CAP];
        int upper_case = dot[1] >= 'A' && dot[1] <= 'Z';
        snprintf(desc, sizeof desc, "%.*s%s", (int)(dot - path), path, b.descriptor);
        for (char *c = desc + (dot - path) + 1; upper_case && *c; c++) *c = (char)(*c - 'a' + 'A');
        if (is_dir(desc) || !path_exists(desc)) continue;
        memcpy(path, desc, PATH_CAP);
        for (auto &r : readers)
            if (ext_is(path, r.ext)) return r.read;
    }
    return NULL;
}

cd_image *image_open(const char *given, char *opened)
{
    char path[PATH_CAP];
    snprintf(path, sizeof path, "%s", given);
    image_track track = {};
    snprintf(track.file, sizeof track.file, "%s", path);
    layout first = {};
    int have_first = 0;
    descriptor_reader read = is_dir(path) ? NULL : reader_for(path);
    if (read) {
        if (!read(path, &track)) return NULL;
        if (!bare_size(track.sector_size)) {
            setup_log("%s names sectors of %u bytes", path, (unsigned)track.sector_size);
            return NULL;
        }
        if (track.first_lba >= MAX_LBA) {
            setup_log("%s places its data track beyond the end of a CD", path);
            return NULL;
        }
        have_first = named_layout(track.sector_size, track.mode, &first);
    }
    cd_image *img = (cd_image *)calloc(1, sizeof *img);
    if (!img) return NULL;
    img->file = pf_open_read(track.file, 0);
    img->data_start = track.start;
    img->first_lba = track.first_lba;
    int found = img->file != PF_NO_FILE && have_first && probe(img, &first);
    for (int i = 0; i < PROBED && !found && img->file != PF_NO_FILE; i++)
        if (!have_first || probed[i].size != first.size || probed[i].offset != first.offset)
            found = probe(img, &probed[i]);
    if (!found) {
        image_close(img);
        return NULL;
    }
    snprintf(opened, PATH_CAP, "%s", track.file);
    return img;
}

void image_close(cd_image *img)
{
    if (!img) return;
    pf_close(img->file);
    free(img);
}
