/*
 * uninstall.cpp - the uninstall stages and do_uninstall. Single-threaded.
 */
#include "uninstall.h"

#include "install.h"
#include "platform.h"
#include "util.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#define UNINSTALL_CAPTION "The Kelpmire uninstall"
#define SETUP_BOX_CAPTION "The Kelpmire setup"
enum { STAGE1_WAIT_MS = 10000 };

/* What an install puts into the folder besides the "game" tree, and the files
   the game itself may leave there. The first two, the game and the
   uninstaller, have steps of their own: the game goes first, the uninstaller
   last. */
static const char *const files[] = {
    "kelpmire.exe", "uninstall.exe", "kelpmire.ini", "kelpmire_registry.txt", "kelpmire.log", "kelpmire_setup.log",
    "kelpmire.new",
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

/* 1 when path lies inside the folder base (no trailing separator), ASCII
   case ignored. */
static int lies_in(const char *path, const char *base)
{
    size_t n = strlen(base);
    return strncasecmp(path, base, n) == 0 && (path[n] == '\\' || path[n] == '/');
}

/* 1 when the Apps entry's InstallLocation names the folder whose full path
   is full. Both sides are compared as full paths: earlier versions stored the
   folder as it was typed ("C:/Games/x", doubled backslashes, a trailing one). */
static int entry_names(const char *full)
{
    char location[PATH_CAP], loc_full[PATH_CAP];
    return pf_reg_get_user_string(UNINSTALL_KEY, "InstallLocation", location, sizeof location) &&
           pf_is_absolute(location) && install_full_path(location, loc_full) && strcasecmp(loc_full, full) == 0;
}

/* Removes the shortcut when it starts a program in the folder base (a full
   path, install_base); another installation's shortcut of the same name
   stays. */
static void remove_shortcut_into(const char *lnk, const char *base)
{
    char target[PATH_CAP], full[PATH_CAP];
    if (lnk[0] && pf_shortcut_target(lnk, target, sizeof target) && pf_full_path(target, full, sizeof full) &&
        lies_in(full, base))
        remove_file(lnk);
}

/* Notes path as the first file that stayed for want of a right, right after
   its deletion failed: access denied while nothing holds the file. */
static void note_denied(const char *path, char *denied)
{
    if (!denied || denied[0] || !pf_last_error_denied() || pf_file_held(path)) return;
    snprintf(denied, PATH_CAP, "%s", path);
}

/* The first file left in the tree below folder (depth first) into out
   (PATH_CAP bytes); 0 when there is none. */
static int first_left(const char *folder, char *out)
{
    char child[PATH_CAP];
    folder_listing l;
    if (!folder_open(&l, folder)) return 0;
    int found = 0;
    while (!found && folder_next(&l)) {
        if (!path_join(child, folder, l.e.name)) continue;
        if ((l.e.attrs & PF_ATTR_DIRECTORY) && !(l.e.attrs & PF_ATTR_REPARSE))
            found = first_left(child, out);
        else
            found = snprintf(out, PATH_CAP, "%s", child) < PATH_CAP;
    }
    folder_close(&l);
    return found;
}

uninstall_result do_uninstall(const char *folder, char *denied)
{
    char full[PATH_CAP], base[PATH_CAP], exe[PATH_CAP], uninst[PATH_CAP], game[PATH_CAP], path[PATH_CAP];
    char startmenu[PATH_CAP], desktop[PATH_CAP], root[4];
    if (denied) denied[0] = 0;
    /* An empty or relative folder would aim at the current drive or folder. */
    if (!is_drive_alone(folder) && !pf_is_absolute(folder)) return UNINSTALL_NOT_FOUND;
    /* "D:" alone would be D:'s current folder to Windows. */
    if (is_drive_alone(folder)) snprintf(root, sizeof root, "%s\\", folder);
    if (!install_full_path(is_drive_alone(folder) ? root : folder, full) || !install_base(base, full) ||
        !path_join(exe, base, files[0]) || !path_join(uninst, base, files[1]) || !path_join(game, base, "game"))
        return UNINSTALL_NOT_FOUND;
    /* An installation is what an install wrote: the game, or the Apps entry
       naming this folder (a removal cut short runs again that way). An
       "uninstall.exe" alone may be another program's: stage 1 run from a
       downloads folder names that folder, and its files are someone else's. */
    int entry_here = entry_names(full);
    if (!is_file(exe) && !entry_here) return UNINSTALL_NOT_FOUND;

    /* The game first: when it cannot go, nothing goes, so that the shortcuts
       and the Apps entry are still there for the next attempt. Deleting a
       running program's file fails with access denied, as a missing right
       does: the game runs when a process runs it, or when its file is still
       held open after the tries. */
    if (pf_running_from(exe)) return UNINSTALL_RUNNING;
    if (!remove_file(exe)) {
        if (pf_last_error_in_use() || pf_running_from(exe)) return UNINSTALL_RUNNING;
        note_denied(exe, denied);
        return UNINSTALL_PARTIAL;
    }

    shortcut_paths(startmenu, desktop);
    pf_com_begin();
    remove_shortcut_into(startmenu, base);
    remove_shortcut_into(desktop, base);
    pf_com_end();

    /* "game" may be a junction or a link to a folder elsewhere (the data
       moved to a bigger drive): only the link goes, never what it points to. */
    uint32_t a = pf_attributes(game);
    if (a != PF_ATTR_INVALID && (a & PF_ATTR_REPARSE))
        pf_remove_link(game);
    else if (a != PF_ATTR_INVALID && (a & PF_ATTR_DIRECTORY))
        delete_tree(game);
    for (int i = 2; i < FILE_COUNT; i++)
        if (path_join(path, base, files[i]) && !remove_file(path)) note_denied(path, denied);

    /* A file in use below "game" stays: the uninstaller and its entry stay with
       it, so that the user can close the game and run the uninstall again.
       Its deletion, tried once more, tells whether a right was missing. */
    if (path_exists(game) && first_left(game, path) && !pf_delete_file(path)) note_denied(path, denied);
    if (path_exists(game) || path_exists(exe)) return UNINSTALL_PARTIAL;

    /* The uninstaller last: when it stays (stage 1 still running from it),
       the removal is not complete, and the entry that starts it stays. */
    if (!remove_file(uninst)) {
        note_denied(uninst, denied);
        return UNINSTALL_PARTIAL;
    }
    if (entry_here) pf_reg_delete_user_key(UNINSTALL_KEY);
    if (!is_drive_alone(base)) pf_remove_dir(base);
    return UNINSTALL_DONE;
}

/* Copies the running uninstaller to copy, writable. */
static int copy_self(const char *self, const char *copy)
{
    /* A read-only copy left by an earlier run could not be replaced, and
       CopyFileA passes on the attributes of a read-only uninstall.exe. */
    if (path_exists(copy)) pf_set_attributes(copy, PF_ATTR_NORMAL);
    if (!pf_copy_file(self, copy)) return 0;
    pf_set_attributes(copy, PF_ATTR_NORMAL);
    return 1;
}

/* 1 when name is one of the temporary copies that stage 1 makes:
   "kelpmire_uninstall*.exe", ASCII case ignored. */
static int is_temp_copy(const char *name)
{
    static const char head[] = "kelpmire_uninstall", tail[] = ".exe";
    size_t n = strlen(name), h = sizeof head - 1, t = sizeof tail - 1;
    return n >= h + t && strncasecmp(name, head, h) == 0 && strcasecmp(name + n - t, tail) == 0;
}

/* Removes the copies that earlier uninstalls left in the temporary folder
   temp (ending in a separator): a normal user cannot have them deleted at
   the restart. One that a process still runs (an earlier stage 2 with its
   last message open) stays for the next run; self is never touched. Tried
   once each, without the tries of a held file: a copy held now is one in use. */
static void remove_old_copies(const char *temp, const char *self)
{
    char pattern[PATH_CAP], path[PATH_CAP];
    if (snprintf(pattern, sizeof pattern, "%s*", temp) >= (int)sizeof pattern) return;
    pf_entry e;
    pf_find h = pf_find_first(pattern, &e);
    if (!h) return;
    do {
        if ((e.attrs & (PF_ATTR_DIRECTORY | PF_ATTR_REPARSE)) || !is_temp_copy(e.name)) continue;
        if (snprintf(path, sizeof path, "%s%s", temp, e.name) >= (int)sizeof path) continue;
        if (strcasecmp(path, self) == 0 || pf_running_from(path)) continue;
        if (e.attrs & PF_ATTR_READONLY) pf_set_attributes(path, PF_ATTR_NORMAL);
        pf_delete_file(path);
    } while (pf_find_next(h, &e));
    pf_find_close(h);
}

int uninstall_stage1(int quiet)
{
    char self[PATH_CAP], folder[PATH_CAP], temp[260], copy[PATH_CAP], cmd[1400];
    if (!pf_module_path(self, sizeof self)) return 0;
    snprintf(folder, sizeof folder, "%s", self);
    char *slash = strrchr(folder, '\\');
    if (slash) *slash = 0;

    if (!quiet && pf_message_box("Remove The Kelpmire (Quorvane) and its saved games?", UNINSTALL_CAPTION,
                                 PF_MB_YESNO | PF_MB_ICONQUESTION) != PF_ID_YES)
        return 0;

    /* Stage 2 waits for this process to end before it deletes the file this
       process runs from. */
    int have_temp = pf_temp_dir(temp, sizeof temp);
    if (have_temp) remove_old_copies(temp, self);
    int ok = have_temp && snprintf(copy, sizeof copy, "%skelpmire_uninstall.exe", temp) < (int)sizeof copy &&
             copy_self(self, copy);
    /* The stage 2 of an earlier uninstall may still run from that copy (its
       last message still open), which then cannot be replaced: this one runs
       from a copy named after its own process beside it. */
    if (!ok && have_temp &&
        snprintf(copy, sizeof copy, "%skelpmire_uninstall_%lu.exe", temp, pf_process_id()) < (int)sizeof copy)
        ok = copy_self(self, copy);
    if (ok) {
        snprintf(cmd, sizeof cmd, "\"%s\" /uninstall2 \"%s\" /pid %lu%s", copy, folder, pf_process_id(),
                 quiet ? " /quiet" : "");
        ok = pf_start_process(cmd);
    }
    if (!ok) {
        unsigned long err = pf_last_error();
        char text[96];
        snprintf(text, sizeof text, "The uninstall could not be started (error %lu).", err);
        if (!quiet) pf_message_box(text, SETUP_BOX_CAPTION, PF_MB_OK | PF_MB_ICONERROR);
        return 1;
    }
    return 0;
}

int uninstall_stage2(const char *folder, int quiet, unsigned long stage1_pid)
{
    char self[PATH_CAP], temp[260], text[PATH_CAP + 160];
    /* Stage 1 may have been started from a console opened in the install
       folder, and Windows does not remove a folder that is some process's
       current folder: this stage's own current folder moves away first. */
    if (pf_temp_dir(temp, sizeof temp)) pf_set_current_dir(temp);
    /* Stage 1 runs from the installed uninstall.exe, which cannot be deleted
       while it runs: let it end, for as long as an ending may take. */
    if (stage1_pid) pf_wait_process(stage1_pid, STAGE1_WAIT_MS);
    char denied[PATH_CAP];
    uninstall_result r = do_uninstall(folder, denied);
    if (!quiet) {
        unsigned icon = r == UNINSTALL_DONE ? PF_MB_ICONINFO : PF_MB_ICONWARNING;
        if (r == UNINSTALL_DONE)
            snprintf(text, sizeof text, "The Kelpmire has been removed.");
        else if (r == UNINSTALL_RUNNING)
            snprintf(text, sizeof text, "The Kelpmire is still running. Close it and run the uninstall again.");
        else if (r == UNINSTALL_PARTIAL && denied[0])
            snprintf(text, sizeof text,
                     "Some files of The Kelpmire could not be removed: you are not allowed to change %s. Run the "
                     "uninstall as an administrator.",
                     denied);
        else if (r == UNINSTALL_PARTIAL)
            snprintf(text, sizeof text,
                     "Some files of The Kelpmire could not be removed. Close the game and run the uninstall again.");
        else
            snprintf(text, sizeof text, "There is no installation of The Kelpmire in %s.", folder);
        pf_message_box(text, UNINSTALL_CAPTION, PF_MB_OK | icon);
    }
    /* Only an administrator may have a file deleted at the restart: for
       anyone else this fails, and the copy goes with the next uninstall's
       stage 1 instead. */
    if (pf_module_path(self, sizeof self)) pf_delete_at_restart(self);
    return 0;
}
