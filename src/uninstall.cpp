/*
 * uninstall.cpp - the uninstall stages and do_uninstall. Single-threaded.
 */
#include "uninstall.h"

#include "install.h"
#include "platform.h"
#include "util.h"

#include <stdio.h>
#include <string.h>

#define UNINSTALL_CAPTION "The Kelpmire uninstall"

/* What an install puts into the folder besides the "game" tree, and the files
   the game itself may leave there. */
static const char *const files[] = {
    "kelpmire.exe", "uninstall.exe", "kelpmire.ini", "kelpmire_registry.txt", "kelpmire.log", "kelpmire_setup.log",
};

int do_uninstall(const char *folder)
{
    char startmenu[PATH_CAP], desktop[PATH_CAP], path[PATH_CAP];
    /* An empty or relative folder would aim at the current drive or folder. */
    if (!folder[0] || !pf_is_absolute(folder)) return 1;

    shortcut_paths(startmenu, desktop);
    if (startmenu[0]) pf_delete_file(startmenu);
    if (desktop[0]) pf_delete_file(desktop);
    pf_reg_delete_user_key(UNINSTALL_KEY);

    if (path_join(path, folder, "game")) delete_tree(path);
    for (const char *name : files)
        if (path_join(path, folder, name)) pf_delete_file(path);
    pf_remove_dir(folder);
    return 1;
}

int uninstall_stage1(int quiet)
{
    char self[PATH_CAP], folder[PATH_CAP], temp[260], copy[PATH_CAP], cmd[1300];
    if (!pf_module_path(self, sizeof self)) return 0;
    snprintf(folder, sizeof folder, "%s", self);
    char *slash = strrchr(folder, '\\');
    if (slash) *slash = 0;

    if (!quiet && pf_message_box("Remove The Kelpmire (Quorvane) and its saved games?", UNINSTALL_CAPTION,
                                 PF_MB_YESNO | PF_MB_ICONQUESTION) != PF_ID_YES)
        return 0;

    if (!pf_temp_dir(temp, sizeof temp)) return 0;
    snprintf(copy, sizeof copy, "%skelpmire_uninstall.exe", temp);
    pf_copy_file(self, copy);
    snprintf(cmd, sizeof cmd, "\"%s\" /uninstall2 \"%s\"%s", copy, folder, quiet ? " /quiet" : "");
    pf_start_process(cmd);
    return 0;
}

int uninstall_stage2(const char *folder, int quiet)
{
    char self[PATH_CAP];
    /* Let stage 1 end, so that the installed uninstall.exe can be deleted. */
    pf_sleep(800);
    do_uninstall(folder);
    if (!quiet) pf_message_box("The Kelpmire has been removed.", UNINSTALL_CAPTION, PF_MB_OK | PF_MB_ICONINFO);
    if (pf_module_path(self, sizeof self)) pf_delete_at_restart(self);
    return 0;
}
