/*
 * setup.h - the front end: start-up, the command line and the run modes.
 *
 * setup_main does everything WinMain does after the platform's own start-up:
 * the uninstall dispatch, the help box, the log, disc detection, the defaults,
 * the options, and the silent run or the window run. Its result is the exit
 * code.
 *
 * The front end's globals live here and nowhere below: the options of the one
 * install and the two flags. They are settled before any worker thread starts.
 */
#ifndef KELP_SETUP_H
#define KELP_SETUP_H

#include "install.h"

#define DEFAULT_DIR "C:\\Games\\" INSTALL_FOLDER_NAME
/* The caption of the setup's own message boxes. */
#define SETUP_CAPTION "The Kelpmire setup"

extern install_opts opts;
extern int quiet;
extern int silent;

/* instance and show are the window run's; off Windows they are unused. */
int setup_main(void *instance, int show);
/* Shows the setup window and runs its message loop until it is closed; returns
   the exit code (1 when the window cannot be created). Off Windows there is no
   window: the run logs why and fails. */
int window_run(void *instance, int show);

#endif
