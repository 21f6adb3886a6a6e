/*
 * cdsrc_internal.h - the parts of the disc source that the unit tests and the
 * developer tool disccopy reach below the public interface: the ISO 9660 reader
 * itself (cdsrc_iso.h) and a listing walk. The image files are cdsrc_image.h,
 * the rule for names that may become paths cdsrc_names.h.
 *
 * The setup proper uses cdsrc.h alone.
 */
#ifndef KELP_CDSRC_INTERNAL_H
#define KELP_CDSRC_INTERNAL_H

#include "cdsrc.h"
#include "cdsrc_image.h"
#include "cdsrc_iso.h"
#include "cdsrc_names.h"

/* Walks the source as the copy does, without reading files, calling fn for
   every file in disc (or listing) order, the total through *total (when
   given). 1 when the walk went through; 0 at the first damage that would fail
   the copy (a directory that cannot be read or walked, an interleaved file),
   logged with the copy's line. */
int cd_list(cd_source *src, cd_list_fn fn, void *user, uint64_t *total);

#endif
