/*
 * cdsrc.h - the disc source: one read-only view over the user's copy of the game
 * disc, whether a folder (a drive root or a copied folder), an ISO image, a raw
 * image of 2352- or 2448-byte sectors (Mode 1 or Mode 2 Form 1), or a CUE sheet
 * that names a raw image. Images are read through a minimal ISO 9660 reader: the
 * primary volume descriptor and plain directory records (no Joliet, no Rock
 * Ridge).
 *
 * Relative paths name files below the source's root with backslashes (the image
 * reader accepts slashes too), in any letter case: "DATA\A.QAR".
 *
 * Not re-entrant: one thread at a time uses the module, and copies pass
 * through static buffers. A copy reads each file's data on the reading thread
 * of readahead.h while it writes the chunks before; one copy runs at a time.
 */
#ifndef KELP_CDSRC_H
#define KELP_CDSRC_H

#include "cdsrc_types.h"
#include "platform.h"
#include "util.h"

#include <stdint.h>

/* A new source, or none when path is neither a folder nor a readable image;
   the caller reports the failure. Logs one line of its own only for a sheet
   whose first track is audio, a reason the caller could not give. */
cd_source *cd_open(const char *path);
/* "folder %s" or "image %s"; lives as long as the source. */
const char *cd_describe(const cd_source *src);
/* 1 when rel names a file or a directory on the source. */
int cd_exists(cd_source *src, const char *rel);
/* The whole file in a heap block with at least one spare byte after the data,
   its length through *size; none for a missing file or a directory (and for an
   image's file that is interleaved or spans several extents), and *size is
   then left alone. */
void *cd_read(cd_source *src, const char *rel, uint64_t *size);
/* The bytes of all files, down to 16 levels below the root; a directory that
   cannot be read or walked adds what could be read of it, silently. */
uint64_t cd_total_bytes(cd_source *src);
/* What one count of the source found. */
typedef struct cd_count {
    uint64_t bytes;  /* as cd_total_bytes */
    size_t deepest;  /* the length of the longest path below the root that a
                        copy makes, a file's or a folder's ("MAPS\E1M1.DAT": 13) */
    size_t deepest_folder; /* the same of a folder ("MAPS": 4; 0 for none) */
} cd_count;
/* Counts the source as cd_total_bytes does, in the same one walk telling fn
   (when given) each file met. */
void cd_count_all(cd_source *src, cd_list_fn fn, void *user, cd_count *out);
/* Copies the whole source below target, adding every byte written to pr when
   given; 1 on success, 0 at the first failure (which is logged). Damage is a
   failure, never a quiet gap: a directory that cannot be read, holds a record
   that does not fit, is reached twice or lies below 16 levels, a sector that
   fails its check, and two entries that would land in one target file.
   A read of the disc that fails (a file's data, a folder's listing, opening
   a folder source's file) is tried again at the same place, up to 4 more
   times with short pauses, and the first retry of a file or folder is logged
   ("read retried: %s"). When it still fails, whoever cd_set_ask_retry named is
   asked; without anyone the copy fails with "read error in %s" ("cannot read
   %s" for a file that could not be opened). Names are given as the disc knows them: the
   source's path joined with the path below it for a folder ("D:\MAPS"), the
   entry's own name for an image. */
int cd_copy_all(cd_source *src, const char *target, progress *pr);
/* Names who is asked (none: nobody, the copy gives up at once, as a silent
   install does). Set before a copy starts, never while one runs. */
void cd_set_ask_retry(cd_ask_fn fn, void *user);
/* Closes and frees the source; none is ignored. */
void cd_close(cd_source *src);

#endif
