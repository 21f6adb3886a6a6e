/*
 * image_formats.h - the descriptor readers, one module per imaging tool's
 * format, each filling the one record of image_track.h:
 *   cue_read  CUE sheets (.cue)                     image_cue.cpp
 *   nrg_read  Nero images (.nrg, footer and chunks)  image_nrg.cpp
 *   mds_read  Alcohol descriptors (.mds + .mdf)      image_mds.cpp
 *   ccd_read  CloneCD sheets (.ccd + .img)           image_ccd.cpp
 *   cdi_read  DiscJuggler images (.cdi, footer)      image_cdi.cpp
 * image_open (cdsrc_image.h) picks one by the descriptor's extension.
 *
 * Each has the shape of image_track.h: 1 and *out filled, or 0 after one log
 * line that says what was wrong. cue_read keeps the sheets' older rule: a
 * sheet it cannot use fails silently (the caller's line says the CD is not
 * readable), and only a first track that is audio gets a line of its own.
 * One thread at a time; each reads its descriptor afresh and keeps nothing.
 */
#ifndef KELP_IMAGE_FORMATS_H
#define KELP_IMAGE_FORMATS_H

#include "image_track.h"

int cue_read(const char *descriptor, image_track *out);
int nrg_read(const char *descriptor, image_track *out);
int mds_read(const char *descriptor, image_track *out);
int ccd_read(const char *descriptor, image_track *out);
int cdi_read(const char *descriptor, image_track *out);

#endif
