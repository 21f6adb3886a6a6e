/*
 * uninstall.h - the two-stage uninstall. Stage 1 runs from the install folder's
 * "uninstall.exe", asks, copies itself into the temporary folder and starts the
 * copy as stage 2, which removes the installation from outside the folder.
 * Neither stage opens the log or creates a window; both end with exit code 0.
 */
#ifndef KELP_UNINSTALL_H
#define KELP_UNINSTALL_H

/* Stage 1; returns the exit code. quiet: no question asked, and passed on. */
int uninstall_stage1(int quiet);
/* Stage 2 on the install folder given on its command line; returns the exit code. */
int uninstall_stage2(const char *folder, int quiet);
/* Removes the shortcuts, the registry key, the "game" tree, the known files and
   then the folder if it is empty. Nothing outside the folder is touched, and an
   empty or relative folder removes nothing. Always 1; nothing is logged. */
int do_uninstall(const char *folder);

#endif
