/*
 * setup_log.h - the one reporting call of the setup.
 *
 * setup_log formats one line of at most 1023 characters and sends it to the log
 * file "kelpmire_setup.log" in the temporary folder (flushed at once) and, while
 * the setup shows its window and is not silent, to that window as a heap copy
 * posted with WM_SETUP_LOG; the window frees the copy.
 *
 * The module owns the three values it reads: the open stream, the window and the
 * silent flag. The front end sets them (log_open, log_set_window) before any
 * worker thread starts and never while one runs, so no lock is taken.
 */
#ifndef KELP_SETUP_LOG_H
#define KELP_SETUP_LOG_H

#include <stdio.h>

enum { WM_SETUP_LOG = 0x8001 }; /* WM_APP + 1; lParam: the line, freed by the receiver */
enum { LOG_LINE_MAX = 1023 };
#define LOG_FILE_NAME "kelpmire_setup.log"

#if defined(__GNUC__)
#define KELP_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define KELP_PRINTF(f, a)
#endif

void setup_log(const char *fmt, ...) KELP_PRINTF(1, 2);

/* Opens (empties) the log file in the temporary folder; the path is cut so that
   it never exceeds 259 characters. Without a temporary folder, or when the file
   cannot be opened, lines go nowhere but the window. */
void log_open(void);
/* Closes the log file once; nothing is written to it afterwards. */
void log_close(void);
/* The path that log_open used, empty before; for the tests and the demo. */
const char *log_path(void);
/* Gives the log the window to post to (none: no window) and the silent flag. */
void log_set_window(void *window, int silent);
/* The window the log posts to, none in a silent run: the owner of a message box
   that the install must show while the window exists, so that the box cannot
   open behind it. */
void *log_window(void);

/* For the developer tools: when on, every line goes to standard error as well. */
void log_to_stderr(int on);

#endif
