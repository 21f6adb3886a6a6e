/*
 * cdsrc_names.cpp - which names from a disc or an image descriptor may become
 * paths, and where a descriptor's file name leads.
 */
#include "cdsrc_names.h"

#include "util.h"

#include <stdio.h>
#include <string.h>

/* ASCII letters in upper case, every other byte as it is. */
static char upper(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

int cd_name_safe(const char *name)
{
    size_t n = strlen(name);
    if (n == 0 || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
    if (name[n - 1] == '.' || name[n - 1] == ' ') return 0;
    for (const unsigned char *p = (const unsigned char *)name; *p; p++)
        if (*p < 0x20 || *p == 0x7F || strchr("\\/:*?\"<>|", *p)) return 0;
    /* A device name is reserved whatever follows its first dot, and Windows
       ignores the spaces before that dot, however many. */
    size_t b = strcspn(name, ".");
    while (b > 0 && name[b - 1] == ' ') b--;
    char base[8];
    if (b >= sizeof base) return 1;
    for (size_t i = 0; i < b; i++) base[i] = upper(name[i]);
    base[b] = 0;
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *d : devices)
        if (strcmp(base, d) == 0) return 0;
    if (b == 4 && (memcmp(base, "COM", 3) == 0 || memcmp(base, "LPT", 3) == 0)) {
        unsigned char c = (unsigned char)base[3];
        /* The code page's superscript digits 1, 2 and 3 count as digits too. */
        if ((c >= '1' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3) return 0;
    }
    return 1;
}

static int is_sep(char c) { return c == '\\' || c == '/'; }

/* 1 when every component of the path from p is a name that may be opened:
   "." and "..", or a safe name; empty components (doubled separators) are
   passed over as Windows does. */
static int components_safe(const char *p)
{
    char comp[PATH_CAP];
    while (*p) {
        size_t n = 0;
        while (p[n] && !is_sep(p[n])) n++;
        if (n >= sizeof comp) return 0;
        memcpy(comp, p, n);
        comp[n] = 0;
        if (n > 0 && strcmp(comp, ".") != 0 && strcmp(comp, "..") != 0 && !cd_name_safe(comp)) return 0;
        p += n;
        while (is_sep(*p)) p++;
    }
    return 1;
}

/* The last component of a path written with backslashes, slashes or a drive
   letter. */
static const char *last_component(const char *name)
{
    const char *base = name;
    for (const char *p = name; *p; p++)
        if (is_sep(*p) || *p == ':') base = p + 1;
    return base;
}

int image_named_file(const char *descriptor, const char *name, char *out)
{
    if (!name[0]) return 0;
    char folder[PATH_CAP];
    snprintf(folder, sizeof folder, "%s", descriptor);
    /* A slash separates folders as well as a backslash: "C:/Images/game.cue" is
       a valid path, and its file lies beside it, not in the current folder. */
    char *slash = strrchr(folder, '\\'), *fwd = strrchr(folder, '/');
    if (fwd > slash) slash = fwd;
    if (slash) slash[1] = 0;
    else folder[0] = 0;
    char c0 = upper(name[0]);
    int relative = !strchr(name, ':') && !is_sep(name[0]);
    int drive_path = c0 >= 'A' && c0 <= 'Z' && name[1] == ':' && is_sep(name[2]);
    if (relative && components_safe(name)) return snprintf(out, PATH_CAP, "%s%s", folder, name) < PATH_CAP;
    if (drive_path && components_safe(name + 3) && snprintf(out, PATH_CAP, "%s", name) < PATH_CAP &&
        path_exists(out))
        return 1;
    const char *base = last_component(name);
    return cd_name_safe(base) && snprintf(out, PATH_CAP, "%s%s", folder, base) < PATH_CAP;
}
