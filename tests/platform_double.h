/*
 * platform_double.h - what the test double of the Windows-only services was
 * asked (platform_double.cpp), for a test to read.
 *
 * On Linux the product's platform layer (src/platform_posix.cpp) holds the
 * POSIX services alone. The services that only Windows has (message boxes,
 * resource update, the registry, the shell's folders and shortcuts, the
 * program's own resources, CD drives, process start, delete at restart) are
 * given to the host test programs by this double,
 * which records each request here and keeps what it writes in plain files
 * (see platform.h for their forms).
 */
#ifndef KELP_PLATFORM_DOUBLE_H
#define KELP_PLATFORM_DOUBLE_H

#include <stddef.h>

typedef struct double_record {
    int boxes;              /* message boxes asked for */
    char box_text[1024];    /* the last one's text, caption and flags */
    char box_caption[256];
    unsigned box_flags;
    int starts;             /* processes asked for (every start fails) */
    char started[1300];     /* the last command line */
    int restart_deletes;    /* files to delete at the next restart (refused) */
    char restart_delete[520];
} double_record;

/* What was asked since the last double_reset (or since the program started). */
extern double_record double_asked;
void double_reset(void);
/* The program file that pf_running_from finds running (empty: none); a test
   sets it and clears it again. */
extern char double_running[520];

#endif
