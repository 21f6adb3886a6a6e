/*
 * cdsrc_iso.h - the ISO 9660 side of the disc source: the image's root from
 * its volume descriptor, a file read whole, and the walk that counts and
 * copies an image's tree.
 *
 * One thread at a time, as cdsrc.h.
 */
#ifndef KELP_CDSRC_ISO_H
#define KELP_CDSRC_ISO_H

#include "cdsrc_types.h"
#include "cdsrc_walk.h"

#include <stdint.h>

/* What iso_dir met besides the entries it returns. */
enum { ISO_DIR_OK = 0, ISO_DIR_UNREADABLE = 1, ISO_DIR_DAMAGED = 2 };
/* The entries of one directory in disc order, a heap array the caller frees
   (none only when even the empty array cannot be allocated), count through *count,
   and through *fault (when given) what went wrong:
   - ISO_DIR_UNREADABLE, count 0: the directory lies beyond the image, its sectors
     cannot be read, or its memory cannot be had;
   - ISO_DIR_DAMAGED: a record shorter than its fixed fields, with an identifier
     of length 0 or one that runs past the record, a record that runs past the
     directory, or a multi-extent file whose chain of records breaks (a record
     with more set that is the last, or is followed by a directory or a record
     of another name); the entries before the damage are returned.
   Records of associated files (data that belong to another file of the same
   name) are left out. An entry's extent is where its data begin, after its
   extended attribute record.
   An entry whose identifier holds a NUL byte, or whose name equals an earlier
   entry's without regard to letter case (the records of one multi-extent file
   excepted), is returned with refused set. */
iso_entry *iso_dir(cd_source *src, uint32_t extent, uint32_t size, int *count, int *fault);
/* 1 and *out filled with the last component's entry; an empty path succeeds and
   leaves *out alone. Entries whose names may not become paths are never found. */
int iso_find(cd_source *src, const char *rel, iso_entry *out);

/* Reads the volume descriptor of the source's open image and fills its root
   directory's extent and size; 0 when it cannot be read. */
int iso_root(cd_source *src);
/* cd_read of an image source (see cdsrc.h). */
void *iso_read(cd_source *src, const char *rel, uint64_t *size);
/* Walks the directory at (extent, size), whose own name is name and whose path
   below the root is the walk's rel: counts its files and, when target is
   given, copies them into it. 0 when the walk is to stop (logged). */
int iso_walk(cd_source *src, walk *w, const char *name, uint32_t extent, uint32_t size, const char *target,
             int depth);

#endif
