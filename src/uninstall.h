/*
 * uninstall.h - the two-stage uninstall. Stage 1 runs from the install folder's
 * "uninstall.exe", asks, copies itself into the temporary folder and starts the
 * copy as stage 2, which removes the installation from outside the folder.
 * Neither stage opens the log or creates a window. Both end with exit code 0,
 * except stage 1 when it cannot copy itself or start stage 2 (it says so and
 * ends with 1).
 */
#ifndef KELP_UNINSTALL_H
#define KELP_UNINSTALL_H

/* What do_uninstall did. */
enum uninstall_result {
    UNINSTALL_NOT_FOUND = 0, /* no installation in that folder: nothing removed */
    UNINSTALL_DONE = 1,      /* everything of the installation is gone */
    UNINSTALL_RUNNING = 2,   /* kelpmire.exe is in use: nothing removed */
    UNINSTALL_PARTIAL = 3    /* something stayed (kelpmire.exe for want of rights,
                                part of the game tree, the uninstaller); the
                                uninstaller and its entry stay too, so that it
                                can run again */
};

/* Stage 1; returns the exit code. quiet: no question asked, and passed on. */
int uninstall_stage1(int quiet);
/* Stage 2 on the install folder given on its command line; waits up to 10
   seconds for stage 1's process (stage1_pid, 0 for none) to end first.
   Returns the exit code. */
int uninstall_stage2(const char *folder, int quiet, unsigned long stage1_pid);
/* Removes the installation in folder: kelpmire.exe first (when it cannot go,
   nothing else does), the shortcuts that start a program in this folder, the
   "game" tree (a link there is removed as a link), the game's known files,
   then the uninstaller, the registry key when its InstallLocation names this
   folder, and the folder if it is empty. Read-only files go like the others.
   A folder is an installation only when it is full ("D:" alone is the
   drive's root) and holds kelpmire.exe, or the key's InstallLocation names
   it. Nothing outside the folder is touched apart from the two shortcuts and
   the key; nothing is logged. The game runs when a process runs its
   kelpmire.exe, whatever its deletion answered. denied, when given, receives
   (PATH_CAP bytes) the first file that stayed for want of a right (access
   denied while nothing held it), empty when none did. */
uninstall_result do_uninstall(const char *folder, char *denied);

#endif
