/*
 * util.cpp - file utilities, progress and CRC-32, over platform.h.
 */
#include "util.h"

#include "platform.h"
#include "setup_log.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

static std::atomic<int> stop_flag;
/* A question about a held file was answered no (held_refused). */
static std::atomic<int> held_no;

void stop_ask(void) { stop_flag.store(1); }
int stop_is_asked(void) { return stop_flag.load(); }
void stop_reset(void)
{
    stop_flag.store(0);
    held_no.store(0);
}

int stop_pause(unsigned ms)
{
    /* In slices: a stop is heard within one, and a pause is short anyway. */
    const unsigned SLICE = 10;
    while (ms > 0) {
        if (stop_is_asked()) return 0;
        unsigned n = ms < SLICE ? ms : SLICE;
        pf_sleep(n);
        ms -= n;
    }
    return !stop_is_asked();
}

int path_join(char *out, const char *folder, const char *name)
{
    return snprintf(out, PATH_CAP, "%s\\%s", folder, name) < PATH_CAP;
}

int progress_add(progress *p, uint64_t bytes)
{
    p->done += bytes;
    if (p->callback && !p->callback(p->done, p->total, p->user)) p->stopped = 1;
    if (stop_is_asked()) p->stopped = 1;
    return !p->stopped;
}

int path_exists(const char *path) { return pf_attributes(path) != PF_ATTR_INVALID; }

int is_dir(const char *path)
{
    uint32_t a = pf_attributes(path);
    return a != PF_ATTR_INVALID && (a & PF_ATTR_DIRECTORY);
}

int make_dirs(const char *path)
{
    char p[PATH_CAP];
    snprintf(p, sizeof p, "%s", path);
    /* The first three characters are never a folder of their own: "C:\". */
    for (size_t i = 3; p[i]; i++) {
        if (p[i] == '\\' || p[i] == '/') {
            char c = p[i];
            p[i] = 0;
            pf_make_dir(p);
            p[i] = c;
        }
    }
    pf_make_dir(p);
    return is_dir(p);
}

/* Creates the parent folder of path, found at its last backslash. */
static void make_parent(const char *path)
{
    char p[PATH_CAP];
    snprintf(p, sizeof p, "%s", path);
    char *slash = strrchr(p, '\\');
    if (slash) {
        *slash = 0;
        make_dirs(p);
    }
}

/* ---- files that another program holds for a moment ---- */

#ifdef KELP_FAULTS
unsigned held_budget_ms = 15000;
#else
static const unsigned held_budget_ms = 15000;
#endif
enum { HELD_PAUSE_UNIT_MS = 50 };

static held_ask_fn held_ask;
static void *held_ask_user;

void set_ask_held(held_ask_fn fn, void *user)
{
    held_ask = fn;
    held_ask_user = user;
    held_no.store(0);
}

int held_refused(void) { return held_no.load(); }

/* A write ends its tries at a Stop, and once the user chose to stop at a
   question about another hold. */
static int write_given_up(const held_file *h) { return h->hears_stop && (stop_is_asked() || held_no.load()); }

int ask_held(int what, const char *path) { return held_ask && held_ask(what, path, held_ask_user); }

held_file held_start(const char *path)
{
    held_file h = {path, 0, 0, 0, 1, 0};
    return h;
}

int held_again(held_file *h)
{
    /* Access denied is a hold only while a program has the file open: a
       missing right does not pass by itself. A failure that gives no reason
       at all (Wine's resource update gives none) may have met a hold that
       ended right after it: it is tried once more, at once. */
    if (!pf_last_error_in_use() && !pf_file_held(h->path)) {
        if (pf_last_error() != 0 || h->unexplained) return 0;
        h->unexplained = 1;
        return 1;
    }
    if (h->waited_ms >= held_budget_ms) return 0;
    if (write_given_up(h)) return 0;
    h->tries++;
    unsigned ms = HELD_PAUSE_UNIT_MS * h->tries * h->tries;
    if (ms > held_budget_ms - h->waited_ms) ms = held_budget_ms - h->waited_ms;
    if (!h->logged) {
        setup_log("write retried: %s", h->path);
        h->logged = 1;
    }
    h->waited_ms += ms;
    if (h->hears_stop) return stop_pause(ms);
    pf_sleep(ms);
    return 1;
}

int held_retry(held_file *h)
{
    if (held_again(h)) return 1;
    /* Only a hold is worth the question; the tries are over for this one. */
    if (!pf_last_error_in_use() && !pf_file_held(h->path)) return 0;
    /* One no is the answer for the rest of the install. */
    if (held_no.load() || (h->hears_stop && stop_is_asked())) return 0;
    if (!ask_held(ASK_HELD_FILE, h->path)) {
        if (held_ask) held_no.store(1);
        return 0;
    }
    h->tries = 0;
    h->waited_ms = 0;
    return 1;
}

pf_file create_held(const char *path)
{
    held_file h = held_start(path);
    pf_file f;
    while ((f = pf_create(path)) == PF_NO_FILE && held_retry(&h)) {
    }
    return f;
}

int set_attributes_held(const char *path, uint32_t attrs)
{
    held_file h = held_start(path);
    h.hears_stop = 0; /* also a step of a deletion */
    int ok;
    while (!(ok = pf_set_attributes(path, attrs)) && held_again(&h)) {
    }
    return ok;
}

int write_file(const char *path, const void *data, uint64_t size)
{
    make_parent(path);
    pf_file f = create_held(path);
    if (f == PF_NO_FILE) {
        setup_log("cannot write %s (error %lu)", path, pf_last_error());
        return 0;
    }
    uint32_t put = 0;
    int ok = size < ((uint64_t)1 << 32) && pf_write(f, data, (uint32_t)size, &put) && put == size;
    pf_close(f);
    if (!ok) setup_log("write failed: %s", path);
    return ok;
}

void *read_file(const char *path, uint64_t *size)
{
    pf_file f = pf_open_read(path, 0);
    if (f == PF_NO_FILE) return NULL;
    uint64_t n = 0;
    char *block = NULL;
    uint32_t got = 0;
    /* One read call carries a 32-bit count, so 4 GiB and more cannot be read. */
    if (pf_file_size(f, &n) && n < 0xFFFFFFFFu) block = (char *)malloc((size_t)n + 1);
    if (block && !(pf_read(f, block, (uint32_t)n, &got) && got == n)) {
        free(block);
        block = NULL;
    }
    pf_close(f);
    if (block) *size = n;
    return block;
}

int copy_file(const char *from, const char *to, progress *pr)
{
    static char buf[COPY_BLOCK];
    make_parent(to);
    pf_file in = pf_open_read(from, 1);
    if (in == PF_NO_FILE) {
        setup_log("cannot read %s", from);
        return 0;
    }
    pf_file out = create_held(to);
    if (out == PF_NO_FILE) {
        pf_close(in);
        setup_log("cannot write %s", to);
        return 0;
    }
    int ok = 1;
    for (;;) {
        uint32_t got = 0, put = 0;
        if (!pf_read(in, buf, sizeof buf, &got)) {
            ok = 0;
            break;
        }
        if (got == 0) break;
        if (!pf_write(out, buf, got, &put) || put != got) {
            setup_log("write failed: %s", to); /* a full disk, say: name the file */
            ok = 0;
            break;
        }
        if (pr && !progress_add(pr, got)) {
            ok = 0;
            break;
        }
    }
    pf_close(in);
    pf_close(out);
    return ok;
}

static uint32_t crc_tab[256];

uint32_t crc32_buf(const void *data, uint64_t len)
{
    if (crc_tab[1] == 0) {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            crc_tab[n] = c;
        }
    }
    if (len == 0) return 0;
    const unsigned char *p = (const unsigned char *)data;
    uint32_t c = 0xFFFFFFFFu;
    for (uint64_t i = 0; i < len; i++) c = (c >> 8) ^ crc_tab[(c ^ p[i]) & 0xFF];
    return ~c;
}

int folder_open(folder_listing *l, const char *folder)
{
    char pattern[PATH_CAP];
    l->h = path_join(pattern, folder, "*") ? pf_find_first(pattern, &l->e) : NULL;
    l->ahead = 1;
    return l->h != NULL;
}

int folder_next(folder_listing *l)
{
    for (;;) {
        if (l->ahead)
            l->ahead = 0;
        else if (!pf_find_next(l->h, &l->e))
            return 0;
        if (strcmp(l->e.name, ".") && strcmp(l->e.name, "..")) return 1;
    }
}

void folder_close(folder_listing *l) { pf_find_close(l->h); }

int delete_tree(const char *folder)
{
    char pattern[PATH_CAP], child[PATH_CAP];
    pf_entry e;
    snprintf(pattern, sizeof pattern, "%s\\*", folder);
    pf_find h = pf_find_first(pattern, &e);
    if (h) {
        do {
            if (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0) continue;
            /* A child whose path would be cut is left alone: the cut path could
               name another entry, or the folder itself. */
            if (!path_join(child, folder, e.name)) continue;
            if (e.attrs & PF_ATTR_REPARSE)
                pf_remove_link(child); /* never enter what it points to */
            else if (e.attrs & PF_ATTR_DIRECTORY)
                delete_tree(child);
            else
                remove_file(child);
        } while (pf_find_next(h, &e));
        pf_find_close(h);
    }
    return pf_remove_dir(folder);
}

int remove_file(const char *path)
{
    uint32_t a = pf_attributes(path);
    if (a == PF_ATTR_INVALID) return 1; /* nothing there */
    if (a & PF_ATTR_REPARSE) return pf_remove_link(path);
    /* A read-only file cannot be deleted; the attribute of a link's target is
       never touched, since a link is handled above. */
    if (a & PF_ATTR_READONLY) set_attributes_held(path, PF_ATTR_NORMAL);
    held_file h = held_start(path);
    h.hears_stop = 0;
    int ok;
    while (!(ok = pf_delete_file(path)) && held_retry(&h)) {
    }
    return ok; /* the deletion's failure, so that the error is its own */
}
