/*
 * cdsrc_image.h - disc images as files of sectors: open one (a plain ISO image,
 * a raw image of 2352- or 2448-byte sectors, or a CUE sheet that names a raw
 * image), read its logical sectors, know how many it holds. The ISO 9660 walk
 * in cdsrc.cpp reads the disc through this alone.
 *
 * Logical sector n (2048 bytes of user data) lies in the image file at
 *   data_start + n * sector_size + data_offset
 * Every raw sector read is checked before its data are used: its sync pattern,
 * its mode byte, that a Mode 2 sector is Form 1, and its error detection code
 * when one is stored (cdsrc_edc.h).
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

typedef struct cd_image {
    pf_file file;
    uint32_t sector_size;    /* 2048, 2352 or 2448 */
    uint32_t data_offset;    /* 0, 16 (Mode 1) or 24 (Mode 2 Form 1) */
    uint64_t data_start;     /* where the data track begins in the file: after a pregap */
    uint64_t sectors;        /* logical sectors wholly present in the file: the image's bound */
    uint64_t file_pos;       /* where the file's position is, or UINT64_MAX if unknown */
} cd_image;

/* Opens path as an image: a CUE sheet (by its ".cue" extension) is read for
   its image file, the first track's type and where its data begin; the image
   file is opened and the layout found whose logical sector 16 holds an ISO 9660
   volume descriptor. The image, with the path of the file actually opened in
   opened (PATH_CAP bytes), or none. Logs one line only for a sheet whose first
   track is audio. */
cd_image *image_open(const char *path, char *opened);
/* Reads count logical sectors into consecutive 2048-byte slots of dst. 0 at the
   first sector that cannot be read whole (also one beyond the image's bound) or
   that fails its check; the sectors before it stay in dst. */
int read_sectors(cd_image *img, uint32_t first, uint32_t count, void *dst);
/* Closes the file and frees the image; none is ignored. */
void image_close(cd_image *img);

#endif
