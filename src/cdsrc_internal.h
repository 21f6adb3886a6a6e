/*
 * cdsrc_internal.h - the parts of the disc source that the unit tests and the
 * developer tool disccopy reach below the public interface: the ISO 9660 reader
 * itself and a listing walk. The image files are cdsrc_image.h, the rule for
 * names that may become paths cdsrc_names.h.
 *
 * The setup proper uses cdsrc.h alone.
 */
#ifndef KELP_CDSRC_INTERNAL_H
#define KELP_CDSRC_INTERNAL_H

#include "cdsrc.h"
#include "cdsrc_image.h"
#include "cdsrc_names.h"

enum { CD_MAX_DEPTH = 16 };

/* ---- the ISO 9660 reader (cdsrc.cpp) ---- */

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

/* Walks the source as the copy does, without reading files, calling fn for
   every file in disc (or listing) order, the total through *total (when
   given). 1 when the walk went through; 0 at the first damage that would fail
   the copy (a directory that cannot be read or walked, an interleaved file),
   logged with the copy's line. */
int cd_list(cd_source *src, cd_list_fn fn, void *user, uint64_t *total);

#endif
