/*
 * uninstall.h - the two-stage uninstall. Stage 1 runs from the install folder's
 * "uninstall.exe", asks, copies itself into the temporary folder and starts the
 * copy as stage 2, which removes the installation from outside the folder.
 * Neither stage opens the log or creates a window; both end with exit code 0.
 */
#ifndef KELP_UNINSTALL_H
#define KELP_UNINSTALL_H

/* What do_uninstall did. */
enum uninstall_result {
    UNINSTALL_NOT_FOUND = 0, /* no installation in that folder: nothing removed */
    UNINSTALL_DONE = 1,      /* everything of the installation is gone */
    UNINSTALL_RUNNING = 2,   /* kelpmire.exe cannot be removed: nothing removed */
    UNINSTALL_PARTIAL = 3    /* part of the game tree stayed; the uninstaller and
                                its entry stay too, so that it can run again */
};

/* Stage 1; returns the exit code. quiet: no question asked, and passed on. */
int uninstall_stage1(int quiet);
/* Stage 2 on the install folder given on its command line; returns the exit code. */
int uninstall_stage2(const char *folder, int quiet);
/* Removes the installation in folder: kelpmire.exe first (when it cannot go,
   nothing else does), the shortcuts, the "game" tree (a link there is removed
   as a link), the game's known files, then the uninstaller, the registry key
   and the folder if it is empty. A folder is an installation only when it is
   full ("D:" alone is the drive's root) and holds kelpmire.exe or
   uninstall.exe. Nothing outside the folder is touched apart from the two
   shortcuts and the key; nothing is logged. */
uninstall_result do_uninstall(const char *folder);

#endif
