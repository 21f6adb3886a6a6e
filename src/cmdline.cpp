/*
 * cmdline.cpp - command-line splitting. Any thread.
 */
#include "cmdline.h"

#include <stdlib.h>
#include <string.h>

static int is_blank(char c) { return c == ' ' || c == '\t'; }

char **cmdline_split(const char *line, int *argc)
{
    size_t n = strlen(line);
    /* At most one argument per two characters, the program name and the null
       entry; all their texts together are no longer than the line plus one
       NUL each. */
    size_t most = n / 2 + 3;
    char **list = (char **)malloc(most * sizeof *list + n + most);
    if (!list) return NULL;
    char *text = (char *)(list + most);
    int count = 0;
    const char *p = line;

    /* The program name: no escapes and no quoted parts inside it. */
    list[count++] = text;
    if (*p == '"') {
        for (p++; *p && *p != '"'; p++) *text++ = *p;
        if (*p) p++;
    } else {
        for (; *p && !is_blank(*p); p++) *text++ = *p;
    }
    *text++ = 0;

    for (;;) {
        while (is_blank(*p)) p++;
        if (!*p) break;
        list[count++] = text;
        int quoted = 0;
        for (; *p && (quoted || !is_blank(*p)); p++) {
            if (*p == '"')
                quoted = !quoted;
            else
                *text++ = *p;
        }
        *text++ = 0;
    }
    list[count] = NULL;
    *argc = count;
    return list;
}
