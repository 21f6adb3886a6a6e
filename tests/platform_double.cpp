/*
 * platform_double.cpp - a test double of the services that only Windows has,
 * for the host test programs (the unit tests, the Linux build of the setup).
 *
 * It stands in where platform_win32.cpp calls Windows: each request is
 * recorded in double_asked (platform_double.h), and what Windows would keep
 * in the executable, the registry or the shell is written to plain files that
 * a test reads back, in the forms that platform.h describes. Every file goes
 * through the product's own POSIX services (pf_create, pf_fopen, ...), so the
 * same path mapping applies. It never does what the real service would do to
 * the machine: no box waits, no process starts, nothing is scheduled.
 */
#ifndef _WIN32

#include "platform_double.h"

#include "platform.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

double_record double_asked;

void double_reset(void) { memset(&double_asked, 0, sizeof double_asked); }

enum { PATH_MAX_DOUBLE = 4096 };

/* ---- message boxes ---- */

int pf_message_box(const char *text, const char *caption, unsigned flags)
{
    double_asked.boxes++;
    snprintf(double_asked.box_text, sizeof double_asked.box_text, "%s", text ? text : "");
    snprintf(double_asked.box_caption, sizeof double_asked.box_caption, "%s", caption ? caption : "");
    double_asked.box_flags = flags;
    /* No one to ask: the box becomes one line and the default button answers. */
    fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
    return (flags & 0xF) == PF_MB_YESNO ? PF_ID_YES : PF_ID_OK;
}

int pf_message_box_owned(void *owner, const char *text, const char *caption, unsigned flags)
{
    (void)owner;
    return pf_message_box(text, caption, flags);
}

/* ---- resource update, written beside the executable as "<exe>.res" ---- */

struct res_entry {
    unsigned type, id;
    unsigned char *data;
    uint32_t size;
};

struct pf_res_update_s {
    char res_path[PATH_MAX_DOUBLE];
    res_entry *items;
    size_t count, cap;
    int failed; /* an add could not be kept: the commit fails */
};

pf_res_update pf_res_update_begin(const char *exe)
{
    /* As on Windows, the executable must exist and be a file. */
    uint32_t a = pf_attributes(exe);
    if (a == PF_ATTR_INVALID) return PF_NO_RES_UPDATE;
    if (a & PF_ATTR_DIRECTORY) {
        errno = EISDIR;
        return PF_NO_RES_UPDATE;
    }
    pf_res_update u = (pf_res_update)calloc(1, sizeof *u);
    if (!u) return PF_NO_RES_UPDATE;
    if (snprintf(u->res_path, sizeof u->res_path, "%s.res", exe) >= (int)sizeof u->res_path) {
        free(u);
        errno = ENAMETOOLONG;
        return PF_NO_RES_UPDATE;
    }
    return u;
}

void pf_res_update_add(pf_res_update u, unsigned type, unsigned id, const void *data, uint32_t size)
{
    unsigned char *copy = (unsigned char *)malloc(size ? size : 1);
    if (!copy) {
        u->failed = 1;
        return;
    }
    if (size) memcpy(copy, data, size);
    for (size_t i = 0; i < u->count; i++) {
        if (u->items[i].type == type && u->items[i].id == id) { /* replaces, in place */
            free(u->items[i].data);
            u->items[i].data = copy;
            u->items[i].size = size;
            return;
        }
    }
    if (u->count == u->cap) {
        size_t cap = u->cap ? u->cap * 2 : 16;
        res_entry *grown = (res_entry *)realloc(u->items, cap * sizeof *grown);
        if (!grown) {
            free(copy);
            u->failed = 1;
            return;
        }
        u->items = grown;
        u->cap = cap;
    }
    u->items[u->count++] = res_entry{type, id, copy, size};
}

static void put_u16(unsigned char *p, unsigned v) { p[0] = (unsigned char)v, p[1] = (unsigned char)(v >> 8); }
static void put_u32(unsigned char *p, uint32_t v) { put_u16(p, v & 0xFFFF), put_u16(p + 2, v >> 16); }

static int write_all(pf_file f, const void *data, uint32_t size)
{
    uint32_t put = 0;
    return size == 0 || (pf_write(f, data, size, &put) && put == size);
}

/* One entry of a resource file: sizes, type and name as 0xFFFF plus an id, data
   version, memory flags, language 0, version, characteristics; then the data,
   padded to 4 bytes. */
static int write_res_entry(pf_file f, unsigned type, unsigned id, unsigned flags,
                           const unsigned char *data, uint32_t size)
{
    unsigned char h[32] = {0};
    put_u32(h, size);
    put_u32(h + 4, sizeof h);
    put_u16(h + 8, 0xFFFF), put_u16(h + 10, type);
    put_u16(h + 12, 0xFFFF), put_u16(h + 14, id);
    put_u16(h + 20, flags);
    static const unsigned char pad[3] = {0, 0, 0};
    return write_all(f, h, sizeof h) && write_all(f, data, size) && write_all(f, pad, (4 - size % 4) % 4);
}

static void res_update_free(pf_res_update u)
{
    for (size_t i = 0; i < u->count; i++) free(u->items[i].data);
    free(u->items);
    free(u);
}

#ifdef KELP_FAULTS
/* Cuts the file to half its size, through the product's own file services. */
static void cut_to_half(const char *path)
{
    pf_file f = pf_open_read(path, 0);
    uint64_t size = 0;
    uint32_t got = 0;
    unsigned char *kept = f != PF_NO_FILE && pf_file_size(f, &size) ? (unsigned char *)malloc(size / 2 + 1) : NULL;
    int ok = kept && pf_read(f, kept, (uint32_t)(size / 2), &got) && got == size / 2;
    pf_close(f);
    pf_file w = ok ? pf_create(path) : PF_NO_FILE;
    if (w != PF_NO_FILE) write_all(w, kept, got);
    pf_close(w);
    free(kept);
}
#endif

int pf_res_update_end(pf_res_update u, int discard)
{
    int ok = 1;
#ifdef KELP_FAULTS
    /* The disk ran out under the update: no resource file is kept, and the
       executable itself is left cut, as a rewrite of it cut off leaves it. */
    if (!discard && PF_FAULT(pf_fail_res_update_cut)) {
        u->res_path[strlen(u->res_path) - 4] = 0; /* the executable: "<exe>.res" less ".res" */
        cut_to_half(u->res_path);
        res_update_free(u);
        errno = ENOSPC;
        return 0;
    }
#endif
    if (!discard) {
        pf_file f = u->failed ? PF_NO_FILE : pf_create(u->res_path);
        ok = f != PF_NO_FILE && write_res_entry(f, 0, 0, 0, NULL, 0);
        for (size_t i = 0; ok && i < u->count; i++) {
            const res_entry *e = &u->items[i];
            ok = write_res_entry(f, e->type, e->id, 0x1010, e->data, e->size); /* moveable, discardable */
        }
        pf_close(f);
        if (!ok && f != PF_NO_FILE) pf_delete_file(u->res_path); /* no half-written file stays */
    }
    res_update_free(u);
    return ok;
}

/* ---- CD drives: none ---- */

int pf_cd_drives(char *out, size_t cap)
{
    if (cap >= 1) out[0] = 0;
    return 0;
}

/* ---- the program's own resources, lent by a test ---- */

struct lent_resource {
    char path[PATH_MAX_DOUBLE];
    void *data;
    uint64_t size;
};
static lent_resource lent[64];

/* The file of that name in the folder named by KELP_RCDATA_DIR, read once and
   kept until the process ends, as a resource's bytes are. */
const void *pf_own_rcdata(const char *name, uint64_t *size)
{
    const char *dir = getenv("KELP_RCDATA_DIR");
    if (!dir || !*dir) return NULL;
    char p[PATH_MAX_DOUBLE];
    snprintf(p, sizeof p, "%s/%s", dir, name);
    for (auto &r : lent) {
        if (r.data && strcmp(r.path, p) == 0) {
            *size = r.size;
            return r.data;
        }
    }
    FILE *f = pf_fopen(p, "rb");
    if (!f) return NULL;
    void *data = NULL;
    long n = -1;
    if (fseek(f, 0, SEEK_END) == 0 && (n = ftell(f)) >= 0 && fseek(f, 0, SEEK_SET) == 0) {
        data = malloc((size_t)n + 1);
        if (data && fread(data, 1, (size_t)n, f) != (size_t)n) {
            free(data);
            data = NULL;
        }
    }
    fclose(f);
    for (auto &r : lent) {
        if (!r.data && data) {
            snprintf(r.path, sizeof r.path, "%s", p);
            r.data = data;
            r.size = (uint64_t)n;
            *size = r.size;
            return data;
        }
    }
    free(data);
    return NULL;
}

/* ---- the registry, recorded as text ---- */

struct pf_key_s {
    FILE *f;
};

/* The record file of a key in the folder named by KELP_REGISTRY_DIR: the
   key's path with backslashes turned into '#'. */
static int key_file(const char *subkey, char *out, size_t cap)
{
    const char *dir = getenv("KELP_REGISTRY_DIR");
    if (!dir || !*dir) {
        errno = ENOSYS;
        return 0;
    }
    char name[PATH_MAX_DOUBLE];
    snprintf(name, sizeof name, "%s", subkey);
    for (char *c = name; *c; c++)
        if (*c == '\\' || *c == '/') *c = '#';
    return snprintf(out, cap, "%s/%s", dir, name) < (int)cap;
}

pf_key pf_reg_create_user_key(const char *subkey)
{
    char p[PATH_MAX_DOUBLE];
    if (!key_file(subkey, p, sizeof p)) return NULL;
    FILE *f = pf_fopen(p, "a");
    if (!f) return NULL;
    pf_key k = (pf_key)malloc(sizeof *k);
    if (!k) {
        fclose(f);
        return NULL;
    }
    k->f = f;
    return k;
}

int pf_reg_set_string(pf_key k, const char *name, const char *text)
{
    return fprintf(k->f, "%s=REG_SZ:%s\n", name, text) > 0 && fflush(k->f) == 0;
}

int pf_reg_set_dword(pf_key k, const char *name, uint32_t value)
{
    return fprintf(k->f, "%s=REG_DWORD:%lu\n", name, (unsigned long)value) > 0 && fflush(k->f) == 0;
}

void pf_reg_close(pf_key k)
{
    if (!k) return;
    fclose(k->f);
    free(k);
}

int pf_reg_delete_user_key(const char *subkey)
{
    char p[PATH_MAX_DOUBLE];
    return key_file(subkey, p, sizeof p) && pf_delete_file(p);
}

/* The registry's text record (see pf_reg_create_user_key): the last line of
   the value wins, as a later write replaces an earlier one. */
int pf_reg_get_user_string(const char *subkey, const char *name, char *out, size_t cap)
{
    char p[PATH_MAX_DOUBLE], line[2048];
    if (cap == 0 || !key_file(subkey, p, sizeof p)) return 0;
    FILE *f = pf_fopen(p, "r");
    if (!f) return 0;
    size_t nlen = strlen(name);
    int found = 0;
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\n")] = 0;
        if (strncmp(line, name, nlen) != 0 || strncmp(line + nlen, "=REG_SZ:", 8) != 0) continue;
        const char *v = line + nlen + 8;
        found = strlen(v) < cap;
        if (found) memcpy(out, v, strlen(v) + 1);
    }
    fclose(f);
    return found;
}

/* ---- the shell: folders under KELP_SHELL_DIR, shortcuts as text ---- */

int pf_shell_folder(int which, char *out, size_t cap)
{
    const char *dir = getenv("KELP_SHELL_DIR");
    if (!dir || !*dir || (which != PF_FOLDER_PROGRAMS && which != PF_FOLDER_DESKTOP)) return 0;
    const char *name = which == PF_FOLDER_PROGRAMS ? "Programs" : "Desktop";
    return snprintf(out, cap, "%s/%s", dir, name) < (int)cap;
}

void pf_com_begin(void) {}
void pf_com_end(void) {}

int pf_make_shortcut(const char *lnk, const char *target, const char *workdir,
                     const char *description, const char *icon, int icon_index)
{
    FILE *f = pf_fopen(lnk, "w");
    if (!f) return 0;
    fprintf(f, "target=%s\nworkdir=%s\ndescription=%s\nicon=%s,%d\n", target, workdir, description, icon,
            icon_index);
    return fclose(f) == 0;
}

/* The "target=" line of the text that pf_make_shortcut writes. */
int pf_shortcut_target(const char *lnk, char *out, size_t cap)
{
    char line[2048];
    FILE *f = pf_fopen(lnk, "r");
    if (!f) return 0;
    int found = 0;
    while (!found && fgets(line, sizeof line, f)) {
        line[strcspn(line, "\n")] = 0;
        if (strncmp(line, "target=", 7) == 0 && strlen(line + 7) < cap) {
            memcpy(out, line + 7, strlen(line + 7) + 1);
            found = 1;
        }
    }
    fclose(f);
    return found;
}

/* ---- processes: recorded, never started or scheduled ---- */

char double_running[520];

int pf_running_from(const char *exe) { return double_running[0] && strcmp(exe, double_running) == 0; }

int pf_start_process(const char *command_line)
{
    double_asked.starts++;
    snprintf(double_asked.started, sizeof double_asked.started, "%s", command_line);
    errno = ENOSYS;
    return 0;
}

int pf_delete_at_restart(const char *path)
{
    double_asked.restart_deletes++;
    snprintf(double_asked.restart_delete, sizeof double_asked.restart_delete, "%s", path);
    errno = ENOSYS;
    return 0;
}

#endif
