/*
 * game_install.cpp - the game profile: constant tables and four questions.
 * The disc source, the file utilities and the icon writers know nothing of the
 * game; everything that names it is here.
 */
#include "game_install.h"

#include "platform.h"
#include "setup_log.h"
#include "util.h"

#include <stdio.h>
#include <strings.h>

/* Present on every copy of the game disc, tested in this order. */
static const char *const files[] = {
    "DATA\\A.QAR", "DATA\\HD.QAR", "DATA\\T.QAR", "SETUP\\KMX.EXE", "SETUP\\PLAYW32.DLL", NULL,
};

/* What the game expects in its hard-disk folder: disc path, target name. */
static const char *const map[3][2] = {
    {"SETUP\\KMX.EXE", "kmx.exe"},
    {"SETUP\\PLAYW32.DLL", "playw32.dll"},
    {"DATA\\HD.QAR", "HD.QAR"},
};

int game_is_cd(cd_source *src)
{
    if (!src) return 0;
    for (int i = 0; files[i]; i++) {
        if (!cd_exists(src, files[i])) {
            setup_log("CD check: %s missing", files[i]);
            return 0;
        }
    }
    return 1;
}

int game_install_files(const char *cd_folder, const char *hd_folder)
{
    char from[PATH_CAP], to[PATH_CAP];
    for (int i = 0; i < 3; i++) {
        int whole = path_join(from, cd_folder, map[i][0]) && path_join(to, hd_folder, map[i][1]);
        if (!whole || !copy_file(from, to, NULL)) {
            setup_log("cannot copy %s", from);
            /* Shown in every run mode, the silent one too: the install waits.
               In the window run the box is the window's, so that it cannot
               open behind it unseen. */
            pf_message_box_owned(log_window(), "Copying the game files from the CD failed.", "The Kelpmire setup",
                                 PF_MB_OK | PF_MB_ICONERROR);
            return 0;
        }
    }
    return 1;
}

const char *game_hd_name(const char *rel)
{
    for (int i = 0; i < 3; i++)
        if (strcasecmp(rel, map[i][0]) == 0) return map[i][1];
    return NULL;
}

const char *game_icon_lbm(void) { return NULL; }

const char *game_icon_ico(void) { return "KMIRE.ICO"; }
