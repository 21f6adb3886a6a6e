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
   the game itself may leave there. The first two, the game and the
   uninstaller, have steps of their own: the game goes first, the uninstaller
   last. */
static const char *const files[] = {
    "kelpmire.exe", "uninstall.exe", "kelpmire.ini", "kelpmire_registry.txt", "kelpmire.log", "kelpmire_setup.log",
};
enum { FILE_COUNT = sizeof files / sizeof files[0] };

/* "D:" alone: stage 1 hands over the root of a drive this way, since "D:\"
   before the closing quote of its command line would escape the quote. */
static int is_drive_alone(const char *folder)
{
    if (!folder[0] || folder[1] != ':' || folder[2]) return 0;
    char root[4] = {folder[0], ':', '\\', 0};
    return pf_is_absolute(root);
}

static int is_file(const char *path)
{
    uint32_t a = pf_attributes(path);
    return a != PF_ATTR_INVALID && !(a & PF_ATTR_DIRECTORY);
}

uninstall_result do_uninstall(const char *folder)
{
    char base[PATH_CAP], exe[PATH_CAP], uninst[PATH_CAP], game[PATH_CAP], path[PATH_CAP];
    char startmenu[PATH_CAP], desktop[PATH_CAP];
    /* An empty or relative folder would aim at the current drive or folder. */
    if (!is_drive_alone(folder) && !pf_is_absolute(folder)) return UNINSTALL_NOT_FOUND;
    if (!install_base(base, folder) || !path_join(exe, base, files[0]) || !path_join(uninst, base, files[1]) ||
        !path_join(game, base, "game"))
        return UNINSTALL_NOT_FOUND;
    /* Stage 1 run from any other folder (a downloads folder, say) names that
       folder: its "game" and its files are someone else's. */
    if (!is_file(exe) && !is_file(uninst)) return UNINSTALL_NOT_FOUND;

    /* A running game keeps its executable: then nothing goes, so that the
       shortcuts and the Apps entry are still there for the next attempt. */
    pf_delete_file(exe);
    if (path_exists(exe)) return UNINSTALL_RUNNING;

    shortcut_paths(startmenu, desktop);
    if (startmenu[0]) pf_delete_file(startmenu);
    if (desktop[0]) pf_delete_file(desktop);

    /* "game" may be a junction or a link to a folder elsewhere (the data
       moved to a bigger drive): only the link goes, never what it points to. */
    uint32_t a = pf_attributes(game);
    if (a != PF_ATTR_INVALID && (a & PF_ATTR_REPARSE)) {
        if (!pf_remove_dir(game)) pf_delete_file(game); /* a link to a file, or to nothing */
    } else if (a != PF_ATTR_INVALID && (a & PF_ATTR_DIRECTORY))
        delete_tree(game);
    for (int i = 2; i < FILE_COUNT; i++)
        if (path_join(path, base, files[i])) pf_delete_file(path);

    /* A file in use below "game" stays: the uninstaller and its entry stay with
       it, so that the user can close the game and run the uninstall again. */
    if (path_exists(game) || path_exists(exe)) return UNINSTALL_PARTIAL;

    pf_delete_file(uninst);
    pf_reg_delete_user_key(UNINSTALL_KEY);
    if (!is_drive_alone(folder)) pf_remove_dir(base);
    return UNINSTALL_DONE;
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
    char self[PATH_CAP], temp[260], text[PATH_CAP + 64];
    /* Stage 1 may have been started from a console opened in the install
       folder, and Windows does not remove a folder that is some process's
       current folder: this stage's own current folder moves away first. */
    if (pf_temp_dir(temp, sizeof temp)) pf_set_current_dir(temp);
    /* Let stage 1 end, so that the installed uninstall.exe can be deleted. */
    pf_sleep(800);
    uninstall_result r = do_uninstall(folder);
    if (!quiet) {
        unsigned icon = r == UNINSTALL_DONE ? PF_MB_ICONINFO : PF_MB_ICONWARNING;
        if (r == UNINSTALL_DONE)
            snprintf(text, sizeof text, "The Kelpmire has been removed.");
        else if (r == UNINSTALL_RUNNING)
            snprintf(text, sizeof text, "The Kelpmire is still running. Close it and run the uninstall again.");
        else if (r == UNINSTALL_PARTIAL)
            snprintf(text, sizeof text,
                     "Some files of The Kelpmire could not be removed. Close the game and run the uninstall again.");
        else
            snprintf(text, sizeof text, "There is no installation of The Kelpmire in %s.", folder);
        pf_message_box(text, UNINSTALL_CAPTION, PF_MB_OK | icon);
    }
    if (pf_module_path(self, sizeof self)) pf_delete_at_restart(self);
    return 0;
}
