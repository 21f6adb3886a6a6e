/*
 * cdsrc_internal.h - the parts of the disc source that the unit tests and the
 * developer tool disccopy reach below the public interface: the image files
 * (sheets, sector layouts, reading sectors; cdsrc_image.cpp), the ISO 9660 reader
 * itself, the rule for names that may become paths, and a listing walk.
 *
 * The setup proper uses cdsrc.h alone.
 */
#ifndef KELP_CDSRC_INTERNAL_H
#define KELP_CDSRC_INTERNAL_H

#include "cdsrc.h"

enum { CD_SECTOR = 2048, CD_MAX_DEPTH = 16 };

/* The little-endian half of an on-disc both-endian 32-bit field. */
static inline uint32_t cd_le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
/* ASCII letters in upper case, every other byte as it is. */
static inline char cd_upper(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

/* ---- image files (cdsrc_image.cpp) ---- */

/* Opens path as an image: a CUE sheet (by its ".cue" extension) is read for its
   image name, the first track's type and where its data begin; the image file
   is opened and the sector layouts are probed. 1 with file, the layout,
   data_start, image_sectors, path and desc set; 0 otherwise, with the file
   closed. Logs one line only for a sheet whose first track is audio. */
int image_open(cd_source *src, const char *path);
/* 1 and root_extent/root_size filled when the image holds a primary volume
   descriptor in this layout, after data_start. sector_size, data_offset and
   image_sectors stay set either way. */
int probe(cd_source *src, uint32_t sector_size, uint32_t data_offset);
/* Reads count logical sectors into consecutive 2048-byte slots of dst, a run of
   neighbouring sectors with one read. 0 at the first sector that cannot be read
   whole (also one beyond the end of the image) and at a Mode 2 Form 2 sector,
   whose data are not 2048 bytes of user data; the sectors before it stay. */
int read_sectors(cd_source *src, uint32_t first, uint32_t count, void *dst);

/* ---- the ISO 9660 reader (cdsrc.cpp) ---- */

/* What iso_dir met besides the entries it returns. */
enum { ISO_DIR_OK = 0, ISO_DIR_UNREADABLE = 1, ISO_DIR_DAMAGED = 2 };
/* The entries of one directory in disc order, a heap array the caller frees
   (none only when even the empty array cannot be allocated), count through *count,
   and through *fault (when given) what went wrong:
   - ISO_DIR_UNREADABLE, count 0: the directory lies beyond the image, its sectors
     cannot be read, or its memory cannot be had;
   - ISO_DIR_DAMAGED: a record shorter than its fixed fields, with an identifier
     of length 0 or one that runs past the record, or a record that runs past the
     directory; the entries before it are returned.
   An entry whose identifier holds a NUL byte, or whose name equals an earlier
   entry's without regard to letter case (the records of one multi-extent file
   excepted), is returned with refused set. */
iso_entry *iso_dir(cd_source *src, uint32_t extent, uint32_t size, int *count, int *fault);
/* 1 and *out filled with the last component's entry; an empty path succeeds and
   leaves *out alone. Entries whose names may not become paths are never found. */
int iso_find(cd_source *src, const char *rel, iso_entry *out);

/* 1 when a name read from a disc may become one component of a target path:
   not empty, not "." or "..", no separator, colon, wildcard, quote or control
   character, no trailing dot or space (Windows would drop them), and not a
   device name that Windows reserves (CON, PRN, AUX, NUL, COM1-9, LPT1-9,
   CONIN$, CONOUT$), whatever follows its first dot and with the spaces before
   that dot dropped. */
int cd_name_safe(const char *name);

/* Called for each file of a listing: its path below the root with backslashes
   and its size. */
typedef void (*cd_list_fn)(const char *rel, uint64_t size, void *user);
/* Walks the source as cd_total_bytes does, calling fn for every file in disc
   (or listing) order; returns the total. */
uint64_t cd_list(cd_source *src, cd_list_fn fn, void *user);

#endif
