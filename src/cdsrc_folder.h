/*
 * cdsrc_folder.h - the folder side of the disc source: the walk that counts
 * and copies a folder's tree (a drive's root, or a copy of the disc).
 *
 * One thread at a time, as cdsrc.h.
 */
#ifndef KELP_CDSRC_FOLDER_H
#define KELP_CDSRC_FOLDER_H

#include "cdsrc_walk.h"

/* Counts the files of a folder source's folder and, when target is given,
   copies them into it; as iso_walk. */
int dir_walk(const char *folder, walk *w, const char *target, int depth);

#endif
