/*
 * cdsrc_internal.h - the parts of the disc source that the unit tests and the
 * developer tool disccopy reach below the public interface: the ISO 9660 reader
 * itself, the rule for names that may become paths, and a listing walk.
 *
 * The setup proper uses cdsrc.h alone.
 */
#ifndef KELP_CDSRC_INTERNAL_H
#define KELP_CDSRC_INTERNAL_H

#include "cdsrc.h"

enum { CD_SECTOR = 2048, CD_MAX_DEPTH = 16 };

/* 1 and root_extent/root_size filled when the image holds a primary volume
   descriptor in this layout. sector_size and data_offset stay set either way. */
int probe(cd_source *src, uint32_t sector_size, uint32_t data_offset);
/* Reads count logical sectors into consecutive 2048-byte slots of dst, a run of
   neighbouring sectors with one read. 0 at the first sector that cannot be read
   whole (also one beyond the end of the image); the sectors before it stay. */
int read_sectors(cd_source *src, uint32_t first, uint32_t count, void *dst);
/* The entries of one directory in disc order, a heap array the caller frees
   (none only when even the empty array cannot be allocated), count through *count:
   0 when the directory is empty, lies beyond the image or cannot be read. A record
   that does not fit its own fields or runs past the directory ends the listing. */
iso_entry *iso_dir(cd_source *src, uint32_t extent, uint32_t size, int *count);
/* 1 and *out filled with the last component's entry; an empty path succeeds and
   leaves *out alone. Entries whose names may not become paths are never found. */
int iso_find(cd_source *src, const char *rel, iso_entry *out);

/* 1 when a name read from a disc may become one component of a target path:
   not empty, not "." or "..", no separator, colon, wildcard, quote or control
   character, no trailing dot or space (Windows would drop them), and not a
   device name that Windows reserves (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also
   with an extension). */
int cd_name_safe(const char *name);

/* Called for each file of a listing: its path below the root with backslashes
   and its size. */
typedef void (*cd_list_fn)(const char *rel, uint64_t size, void *user);
/* Walks the source as cd_total_bytes does, calling fn for every file in disc
   (or listing) order; returns the total. */
uint64_t cd_list(cd_source *src, cd_list_fn fn, void *user);

#endif
