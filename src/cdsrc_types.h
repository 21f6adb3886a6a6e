/*
 * cdsrc_types.h - the records of the disc source that its modules share: the
 * open source, one ISO 9660 directory entry, and the shapes of the calls that
 * hear of files listed and answer whether to read one again. The operations
 * are cdsrc.h.
 */
#ifndef KELP_CDSRC_TYPES_H
#define KELP_CDSRC_TYPES_H

#include "util.h"

#include <stdint.h>

enum { CD_SOURCE_FOLDER = 0, CD_SOURCE_IMAGE = 1 };

struct cd_image; /* an open image file: cdsrc_image.h */

typedef struct cd_source {
    int kind;                /* CD_SOURCE_FOLDER or CD_SOURCE_IMAGE */
    char path[PATH_CAP];     /* the folder, or the image file actually opened */
    struct cd_image *image;  /* the open image; none for a folder */
    uint32_t root_extent;    /* logical sector of the root directory */
    uint32_t root_size;      /* its length in bytes */
    char desc[552];          /* "folder %s" or "image %s" */
} cd_source;

typedef struct iso_entry {
    char name[64];
    uint32_t extent;
    uint32_t size;
    int directory;
    int more;                /* multi-extent: the next record continues this file */
    int refused;             /* a NUL in the identifier, or the name of an earlier entry */
    int interleaved;         /* recorded in interleaved units: its data are not one run */
    int name_len;            /* bytes in name, which may hold a NUL when refused */
} iso_entry;

/* Called for each file of a listing (a multi-extent file once, with all its
   records' sizes): its path below the root with backslashes and its size. */
typedef void (*cd_list_fn)(const char *rel, uint64_t size, void *user);
/* Asked with the name of a file or folder of the disc that still cannot be
   read after its retries: 1 reads it again from its start (what was copied
   before it stays), 0 gives up and the copy fails. Called on the copying
   thread, which waits for the answer. */
typedef int (*cd_ask_fn)(const char *name, void *user);

#endif
