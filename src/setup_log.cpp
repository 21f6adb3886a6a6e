/*
 * setup_log.cpp - the setup log: one flushed line per call, to the file and
 * the window. Runs on the UI thread during start-up and on the install's thread
 * afterwards, never on both at once; during the disc copy the copy's reading
 * thread logs its reads tried again while the install's thread logs nothing
 * until that thread has let go.
 */
#include "setup_log.h"

#include "platform.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

static FILE *logf;
static void *hwnd;
static int silent;
static char path[260];
static int to_stderr;

void setup_log(const char *fmt, ...)
{
    char line[LOG_LINE_MAX + 1];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);

    if (logf) {
        fprintf(logf, "%s\n", line);
        fflush(logf);
    }
    if (to_stderr) fprintf(stderr, "%s\n", line);
    if (hwnd && !silent) {
        char *copy = strdup(line);
        /* The window frees the copy; a copy whose post failed is ours to free. */
        if (copy && !pf_post_message(hwnd, WM_SETUP_LOG, copy)) free(copy);
    }
}

void log_open(void)
{
    char dir[260];
    size_t n = pf_temp_dir(dir, sizeof dir);
    if (n == 0 || logf) return;
    /* The whole path stays within 259 characters; a long folder cuts the name. */
    snprintf(path, sizeof path, "%s", dir);
    strncat(path, LOG_FILE_NAME, 259 - strlen(path));
    logf = pf_fopen(path, "w");
}

void log_close(void)
{
    if (logf) fclose(logf);
    logf = NULL;
}

const char *log_path(void) { return path; }

void log_set_window(void *window, int silent_run)
{
    hwnd = window;
    silent = silent_run;
}

void *log_window(void) { return silent ? NULL : hwnd; }

void log_to_stderr(int on) { to_stderr = on; }
