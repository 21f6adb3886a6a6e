/*
 * game_install.h - the game profile: which files prove a source is the game's
 * disc, which files of the copied disc the game wants in its hard-disk folder,
 * and where the game's icon comes from. Constant tables only.
 */
#ifndef KELP_GAME_INSTALL_H
#define KELP_GAME_INSTALL_H

#include "cdsrc.h"

/* 1 when every file of the disc check list is on the source; logs the first
   missing one ("CD check: %s missing"). None yields 0 without a line. */
int game_is_cd(cd_source *src);
/* Copies the hard-disk files from the copied disc folder into hd; at the first
   failure logs "cannot copy %s", shows an error box and returns 0. */
int game_install_files(const char *cd_folder, const char *hd_folder);
/* The name in the hard-disk folder of the disc file rel (a path below the
   disc's root, any letter case) when game_install_files copies it there a
   second time, else none. */
const char *game_hd_name(const char *rel);
/* Disc-relative path of the emblem picture, or none. */
const char *game_icon_lbm(void);
/* Disc-relative path of the icon file, or none. */
const char *game_icon_ico(void);

#endif
