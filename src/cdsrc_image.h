/*
 * cdsrc_image.h - disc images as files of sectors: open one (a plain ISO image,
 * a raw image of 2352- or 2448-byte sectors, or an image descriptor: a CUE
 * sheet, a Nero, Alcohol, CloneCD or DiscJuggler image), read its logical
 * sectors, know how many it holds. The ISO 9660 walk in cdsrc.cpp reads the
 * disc through this alone.
 *
 * Logical sector n (2048 bytes of user data) lies in the image file at
 *   data_start + (n - first_lba) * sector_size + data_offset
 * Every sector read with more than its user data is checked before its data
 * are used: a raw one for its sync pattern and mode byte, every Mode 2 one for
 * a Form 1 subheader, and each for its error detection code when one is stored
 * (cdsrc_edc.h).
 *
 * One thread at a time: raw reads pass through one static stage buffer, and an
 * image has one file position.
 */
#ifndef KELP_CDSRC_IMAGE_H
#define KELP_CDSRC_IMAGE_H

#include "platform.h"
#include "util.h"

#include <stdint.h>

enum { CD_SECTOR = 2048 };

/* What the bytes of each sector are, and so what is checked in them. */
enum {
    CD_FORM_PLAIN = 0,  /* user data only (perhaps with subchannel): nothing to check */
    CD_FORM_RAW1 = 1,   /* raw Mode 1 */
    CD_FORM_RAW2 = 2,   /* raw Mode 2 Form 1 */
    CD_FORM_M2 = 3      /* Mode 2 Form 1 from its subheader on (2336 bytes) */
};

typedef struct cd_image {
    pf_file file;
    uint32_t sector_size;    /* bytes per sector in the file: 2048, 2336 or 2352,
                                or each with 96 bytes of subchannel after it */
    uint32_t data_offset;    /* 0, 16 (Mode 1), 24 (Mode 2 Form 1) or 8 (2336-byte Mode 2) */
    int form;                /* CD_FORM_* */
    uint64_t data_start;     /* where the data track begins in the file: after a pregap */
    uint32_t first_lba;      /* the disc address of the sector at data_start */
    uint64_t sectors;        /* first_lba + the sectors wholly present from
                                data_start: the image's bound */
    uint64_t file_pos;       /* where the file's position is, or UINT64_MAX if unknown */
} cd_image;

/* Opens path as an image. A descriptor (by its extension: .cue, .nrg, .mds,
   .ccd, .cdi), or one beside the data file given (an .mdf's .mds, an .img's
   .ccd, of the same name), is read for the data file, where its first data
   track begins, its address, sector size and mode; a file without one is
   probed from its start. The data file is opened and the layout found whose
   logical sector first_lba + 16 holds an ISO 9660 volume descriptor. The image,
   with the path of the file actually opened in opened (PATH_CAP bytes), or
   none. Logs one line for a descriptor that is refused (a CUE sheet only for
   a first track that is audio); nothing for a data file without a volume
   descriptor, which the caller reports. */
cd_image *image_open(const char *path, char *opened);
/* Reads count logical sectors into consecutive 2048-byte slots of dst. 0 at the
   first sector that cannot be read whole (also one beyond the image's bound) or
   that fails its check; the sectors before it stay in dst. */
int read_sectors(cd_image *img, uint32_t first, uint32_t count, void *dst);
/* Closes the file and frees the image; none is ignored. */
void image_close(cd_image *img);

#endif
