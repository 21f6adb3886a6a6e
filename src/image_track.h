/*
 * image_track.h - what an image descriptor (a CUE sheet, or the descriptor of
 * another imaging tool) tells of the disc's first data track: which file holds
 * its sectors, where they begin, how many bytes each takes and in which mode.
 * Every descriptor reader fills this one record, so the sector reads, their
 * checks and the ISO 9660 walk know no descriptor's layout.
 *
 * A reader has the shape
 *   int xxx_read(const char *descriptor, image_track *out);
 * 1 and *out filled, or 0 after one log line that says what was wrong. Every
 * field is checked against the descriptor's own bytes and, where the reader
 * knows it, the data file's size; file names are resolved with
 * image_named_file (cdsrc_names.h).
 */
#ifndef KELP_IMAGE_TRACK_H
#define KELP_IMAGE_TRACK_H

#include "util.h"

#include <stdint.h>

typedef struct image_track {
    char file[PATH_CAP];   /* the data file, resolved beside the descriptor */
    uint64_t start;        /* byte offset in file of the track's first data sector
                              (its INDEX 01, after any pregap stored in the file) */
    uint32_t first_lba;    /* that sector's disc address: 0 for a first track; a
                              data track after audio tracks keeps its place on
                              the disc, where its file system's addresses count
                              from; logical sector n lies at
                              start + (n - first_lba) * sector_size */
    uint32_t sector_size;  /* bytes per sector in file: 2048, 2336 or 2352, each
                              possibly followed by 96 bytes of subchannel */
    int mode;              /* 1, 2 (Mode 2 Form 1), or 0 when the descriptor does
                              not say and the layouts are probed */
} image_track;

#endif
