/*
 * install_icon.h - giving an executable on disk its icon: the images of an icon
 * file (".ico"), or a seven-size 32-bit icon set computed from an IFF "PBM "
 * emblem picture. Both write the icon images (RT_ICON 1..n) and one icon group
 * (RT_GROUP_ICON 1), language neutral, through the platform's resource update.
 * The bytes belong to the caller; the functions only read them, never past the
 * size given. Every failure logs one line "ERROR: %s"; a call that fails before
 * the final write leaves the executable as it was. Pictures of more than 2^24
 * palette indices (row bytes times height) or whose square canvas would be
 * wider than 4096 pixels are refused as not understood.
 *
 * Off Windows the resource update writes the resources beside the executable as
 * "<exe>.res" and leaves the executable itself alone (see platform.h).
 */
#ifndef KELP_INSTALL_ICON_H
#define KELP_INSTALL_ICON_H

#include <stdint.h>

/* 1 when every image of the icon file and the group were written, else 0 (logged). */
int inject_icon_ico(const char *exe, const unsigned char *data, uint64_t size);
/* 1 when the seven images and the group were written, else 0 (logged). */
int inject_icon_lbm(const char *exe, const unsigned char *data, uint64_t size);

#endif
