/*
 * platform_posix.cpp - the platform services on Linux and other POSIX systems:
 * files, folders and their listing, attributes, the temporary folder, the
 * program's own path and arguments, time, free space and the current folder.
 * These are what the developer tools (disccopy) and the tests use.
 *
 * Attributes are derived from stat, and a link is reported as a reparse point.
 * Paths are mapped first (map_path): backslashes become slashes and a missing
 * component is looked up without regard to ASCII letter case.
 *
 * There is no window to post to. The services that only Windows has (message
 * boxes, resource update, the registry, the shell, the program's own
 * resources, CD drives, process start, delete at restart) have no definition
 * here: the host test programs link a test double of them
 * (tests/platform_double.cpp).
 */
#ifndef _WIN32

#include "platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#ifdef KELP_FAULTS
int pf_fail_read_in;
int pf_fail_write_in;
long long pf_fail_read_at = -1;
long long pf_fake_free_bytes = -1;
pf_fault_run pf_fault_read, pf_fault_list, pf_fault_held;
const char *pf_fault_held_from;
int pf_fail_thread_in;
int pf_fail_delete_in_use;
int pf_fail_delete_denied;
const char *pf_deny_changes_in;
int pf_open_files;
int pf_fail_res_update_cut; /* counted by the test double's resource update */
#endif

/* A change of a file that the fault run pf_fault_held fails, as a file that
   another program holds for a moment fails it on Windows. pf_copy_file and
   the double's resource update count through their pf_create. */
static int held_fault(const char *path)
{
    if (!PF_FAULT_HELD(path)) return 0;
    errno = EBUSY;
    return 1;
}

enum { MAP_CAP = 4096 };

/* Appends the component name (n bytes) to the path out of length len. While
   *resolving is set and the component does not exist as spelled, the folder out
   is searched for an entry whose name differs only in ASCII case, and that
   spelling is used; when there is none, resolving stops. Returns the new length. */
static size_t append_component(char *out, size_t len, const char *name, size_t n, int *resolving)
{
    char want[256], found[256];
    if (n >= sizeof want) n = sizeof want - 1;
    memcpy(want, name, n);
    want[n] = 0;
    const char *use = want;
    if (len + n >= MAP_CAP) return len;
    memcpy(out + len, want, n + 1);
    struct stat st;
    if (*resolving && lstat(out, &st) != 0) {
        out[len] = 0;
        DIR *d = opendir(len ? out : ".");
        struct dirent *e;
        *resolving = 0; /* nothing below a missing folder can exist */
        while (d && (e = readdir(d)) != NULL) {
            if (strcasecmp(e->d_name, want) == 0) {
                snprintf(found, sizeof found, "%s", e->d_name);
                use = found;
                *resolving = 1;
                break;
            }
        }
        if (d) closedir(d);
    }
    size_t un = strlen(use);
    if (len + un >= MAP_CAP) return len;
    memcpy(out + len, use, un + 1);
    return len + un;
}

/* Maps a Windows-style path to the POSIX path that names it. */
static void map_path(const char *in, char *out)
{
    size_t n = strlen(in), len = 0;
    char plain[MAP_CAP];
    if (n >= MAP_CAP) n = MAP_CAP - 1;
    for (size_t i = 0; i < n; i++) plain[i] = in[i] == '\\' ? '/' : in[i];
    plain[n] = 0;
    struct stat st;
    if (n == 0 || lstat(plain, &st) == 0) {
        memcpy(out, plain, n + 1);
        return;
    }
    /* Walk the components, keeping separators as they stand. */
    int resolving = 1;
    size_t i = 0;
    out[0] = 0;
    while (i < n) {
        if (plain[i] == '/') {
            if (len + 1 < MAP_CAP) out[len++] = '/', out[len] = 0;
            i++;
            continue;
        }
        size_t j = i;
        while (j < n && plain[j] != '/') j++;
        if ((j - i == 1 && plain[i] == '.') || (j - i == 2 && plain[i] == '.' && plain[i + 1] == '.')) {
            int keep = 0;
            len = append_component(out, len, plain + i, j - i, &keep);
        } else {
            len = append_component(out, len, plain + i, j - i, &resolving);
        }
        i = j;
    }
}

struct pf_file_s { int fd; };

static pf_file wrap_fd(int fd)
{
    if (fd < 0) return PF_NO_FILE;
#ifdef KELP_FAULTS
    __atomic_add_fetch(&pf_open_files, 1, __ATOMIC_RELAXED);
#endif
    /* The handle carries fd + 1 so that descriptor 0 is not PF_NO_FILE. */
    return (pf_file)(intptr_t)(fd + 1);
}
static int fd_of(pf_file f) { return (int)(intptr_t)f - 1; }

pf_file pf_open_read(const char *path, int sequential)
{
    char p[MAP_CAP];
    map_path(path, p);
    /* Non-blocking, so that opening a FIFO returns at once; only a regular
       file is kept, and it reads the same with the flag cleared again. */
    int fd = open(p, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return PF_NO_FILE;
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
        return PF_NO_FILE;
    }
    if (sequential) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return wrap_fd(fd);
}

/* Maps a path whose last component is to be created: the folders above it
   are resolved as usual, the new name is kept as given. Looking for another
   spelling of a name that is about to be made would scan its folder once for
   every file a copy creates. */
static void map_new_path(const char *in, char *out)
{
    char parent[MAP_CAP];
    snprintf(parent, sizeof parent, "%s", in);
    char *sep = NULL;
    for (char *c = parent; *c; c++)
        if (*c == '\\' || *c == '/') sep = c;
    if (!sep || sep == parent) {
        map_path(in, out);
        return;
    }
    *sep = 0;
    map_path(parent, out);
    size_t n = strlen(out);
    snprintf(out + n, MAP_CAP - n, "/%s", sep + 1);
}

pf_file pf_create(const char *path)
{
    char p[MAP_CAP];
    if (held_fault(path)) return PF_NO_FILE;
    if (PF_DENIED(path)) {
        errno = EACCES;
        return PF_NO_FILE;
    }
    map_new_path(path, p);
    struct stat st;
    /* CREATE_ALWAYS refuses a read-only file even where root could write it. */
    if (stat(p, &st) == 0 && !(st.st_mode & S_IWUSR)) {
        errno = EACCES;
        return PF_NO_FILE;
    }
    /* Only a regular file is written, as on Windows only a disk file is: opened
       without truncation and without waiting (a FIFO), and cut only once it is
       known to be one. */
    int fd = open(p, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return PF_NO_FILE;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ftruncate(fd, 0) != 0 || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        errno = EACCES;
        return PF_NO_FILE;
    }
    return wrap_fd(fd);
}

int pf_read(pf_file f, void *buf, uint32_t n, uint32_t *got)
{
    *got = 0;
    if (PF_FAULT(pf_fail_read_in) || PF_FAULT_RUN(pf_fault_read)) {
        errno = EIO;
        return 0;
    }
#ifdef KELP_FAULTS
    off_t at = pf_fail_read_at >= 0 ? lseek(fd_of(f), 0, SEEK_CUR) : -1;
    if (at >= 0 && PF_FAULT_AT(at, n)) {
        errno = EIO;
        return 0;
    }
#endif
    /* A plain file delivers the whole count unless it ends; loop over signals. */
    uint32_t total = 0;
    while (total < n) {
        ssize_t r = read(fd_of(f), (char *)buf + total, n - total);
        if (r < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (r == 0) break;
        total += (uint32_t)r;
    }
    *got = total;
    return 1;
}

int pf_write(pf_file f, const void *buf, uint32_t n, uint32_t *put)
{
    *put = 0;
    if (PF_FAULT(pf_fail_write_in)) {
        errno = EIO;
        return 0;
    }
    uint32_t total = 0;
    while (total < n) {
        ssize_t r = write(fd_of(f), (const char *)buf + total, n - total);
        if (r < 0) {
            if (errno == EINTR) continue;
            *put = total;
            return 0;
        }
        if (r == 0) break;
        total += (uint32_t)r;
    }
    *put = total;
    return 1;
}

int pf_seek(pf_file f, uint64_t pos)
{
    if (pos > (uint64_t)INT64_MAX) {
        errno = EINVAL;
        return 0;
    }
    return lseek(fd_of(f), (off_t)pos, SEEK_SET) >= 0;
}

int pf_file_size(pf_file f, uint64_t *size)
{
    struct stat st;
    if (fstat(fd_of(f), &st) != 0) return 0;
    *size = (uint64_t)st.st_size;
    return 1;
}

void pf_close(pf_file f)
{
    if (f == PF_NO_FILE) return;
#ifdef KELP_FAULTS
    __atomic_sub_fetch(&pf_open_files, 1, __ATOMIC_RELAXED);
#endif
    close(fd_of(f));
}

FILE *pf_fopen(const char *path, const char *mode)
{
    char p[MAP_CAP];
    map_path(path, p);
    return fopen(p, mode);
}

unsigned long pf_last_error(void) { return (unsigned long)errno; }

static uint32_t attrs_of(const char *p)
{
    struct stat lst, st;
    if (lstat(p, &lst) != 0) return PF_ATTR_INVALID;
    uint32_t a = 0;
    if (S_ISLNK(lst.st_mode)) {
        a |= PF_ATTR_REPARSE;
        if (stat(p, &st) == 0 && S_ISDIR(st.st_mode)) a |= PF_ATTR_DIRECTORY;
        return a;
    }
    if (S_ISDIR(lst.st_mode)) a |= PF_ATTR_DIRECTORY;
    if (!(lst.st_mode & S_IWUSR)) a |= PF_ATTR_READONLY;
    return a ? a : PF_ATTR_NORMAL;
}

uint32_t pf_attributes(const char *path)
{
    char p[MAP_CAP];
    map_path(path, p);
    return attrs_of(p);
}

int pf_set_attributes(const char *path, uint32_t attrs)
{
    char p[MAP_CAP];
    map_path(path, p);
    if (held_fault(path)) return 0;
    struct stat st;
    if (stat(p, &st) != 0) return 0;
    mode_t m = st.st_mode & 07777;
    m = (attrs & PF_ATTR_READONLY) ? (m & ~(mode_t)0222) : (m | S_IWUSR);
    return chmod(p, m) == 0;
}

int pf_delete_file(const char *path)
{
    char p[MAP_CAP];
#ifdef KELP_FAULTS
    if (pf_fail_delete_in_use > 0) {
        pf_fail_delete_in_use--;
        errno = ETXTBSY;
        return 0;
    }
    if (pf_fail_delete_denied > 0) {
        pf_fail_delete_denied--;
        errno = EACCES;
        return 0;
    }
#endif
    if (held_fault(path)) return 0;
    map_path(path, p);
    struct stat st;
    if (lstat(p, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return 0;
    }
    /* As on Windows, a read-only file must be made normal before it can go. */
    if (lstat(p, &st) == 0 && !S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) {
        errno = EACCES;
        return 0;
    }
    return unlink(p) == 0;
}

int pf_copy_file(const char *from, const char *to)
{
    pf_file in = pf_open_read(from, 1);
    if (in == PF_NO_FILE) return 0;
    pf_file out = pf_create(to);
    if (out == PF_NO_FILE) {
        pf_close(in);
        return 0;
    }
    static const uint32_t chunk = 1 << 20;
    char *buf = (char *)malloc(chunk);
    int ok = buf != NULL;
    uint32_t got = 0, put;
    while (ok && (ok = pf_read(in, buf, chunk, &got)) && got > 0)
        ok = pf_write(out, buf, got, &put) && put == got;
    free(buf);
    pf_close(in);
    pf_close(out);
    return ok;
}

int pf_move_replace(const char *from, const char *to)
{
    char a[MAP_CAP], b[MAP_CAP];
    if (held_fault(from)) return 0;
    map_path(from, a);
    map_new_path(to, b);
    return rename(a, b) == 0;
}

/* Nothing holds a file against a change here. */
int pf_file_held(const char *path)
{
    (void)path;
    return 0;
}

int pf_make_dir(const char *path)
{
    char p[MAP_CAP];
    if (PF_DENIED(path)) {
        errno = EACCES;
        return 0;
    }
    map_new_path(path, p);
    return mkdir(p, 0777) == 0;
}

int pf_remove_dir(const char *path)
{
    char p[MAP_CAP];
    map_path(path, p);
    size_t n = strlen(p);
    while (n > 1 && p[n - 1] == '/') p[--n] = 0; /* lstat must see the link, not its target */
    struct stat st;
    if (lstat(p, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (stat(p, &st) != 0 || !S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return 0;
        }
        return unlink(p) == 0;
    }
    return rmdir(p) == 0;
}

int pf_remove_link(const char *path)
{
    char p[MAP_CAP];
    map_path(path, p);
    size_t n = strlen(p);
    while (n > 1 && p[n - 1] == '/') p[--n] = 0; /* the link itself, not its target */
    struct stat st;
    if (lstat(p, &st) != 0) return 0;
    if (!S_ISLNK(st.st_mode)) {
        errno = EINVAL;
        return 0;
    }
    return unlink(p) == 0;
}

/* POSIX has no sharing modes; a busy executable or device is the nearest. */
int pf_last_error_in_use(void) { return errno == ETXTBSY || errno == EBUSY; }

int pf_last_error_denied(void) { return errno == EACCES || errno == EPERM; }

unsigned long pf_process_id(void) { return (unsigned long)getpid(); }

struct pf_find_s {
    DIR *dir;
    char folder[MAP_CAP];
};

static int fill_entry(pf_find h, pf_entry *out)
{
    errno = 0; /* readdir leaves it at 0 at the end, sets it on an error */
    struct dirent *e = readdir(h->dir);
    if (!e) return 0;
    snprintf(out->name, sizeof out->name, "%s", e->d_name);
    char child[MAP_CAP * 2];
    snprintf(child, sizeof child, "%s/%s", h->folder, e->d_name);
    out->attrs = attrs_of(child);
    if (out->attrs == PF_ATTR_INVALID) out->attrs = PF_ATTR_NORMAL; /* vanished meanwhile */
    out->size = 0;
    struct stat st;
    if (!(out->attrs & PF_ATTR_DIRECTORY) && stat(child, &st) == 0) out->size = (uint64_t)st.st_size;
    return 1;
}

pf_find pf_find_first(const char *pattern, pf_entry *out)
{
    char folder[MAP_CAP];
    snprintf(folder, sizeof folder, "%s", pattern);
    size_t n = strlen(folder);
    /* The pattern is always "folder\*"; a POSIX listing takes the folder alone. */
    if (n >= 2 && folder[n - 1] == '*' && (folder[n - 2] == '\\' || folder[n - 2] == '/'))
        folder[n - 2] = 0;
    if (PF_FAULT_RUN(pf_fault_list)) {
        errno = EIO;
        return NULL;
    }
    pf_find h = (pf_find)calloc(1, sizeof *h);
    if (!h) return NULL;
    map_path(folder[0] ? folder : "/", h->folder);
    h->dir = opendir(h->folder);
    if (!h->dir || !fill_entry(h, out)) {
        int e = errno;
        if (h->dir) closedir(h->dir);
        free(h);
        errno = e;
        return NULL;
    }
    return h;
}

int pf_find_next(pf_find h, pf_entry *out) { return fill_entry(h, out); }

void pf_find_close(pf_find h)
{
    if (!h) return;
    closedir(h->dir);
    free(h);
}

/* readdir leaves errno at 0 at the end of a listing; an opendir or readdir
   that failed set it. */
int pf_find_failed(void) { return errno != 0; }

size_t pf_temp_dir(char *out, size_t cap)
{
    const char *t = getenv("TMPDIR");
    if (!t || !*t) t = "/tmp";
    size_t n = strlen(t);
    int slash = t[n - 1] != '/' && t[n - 1] != '\\';
    if (n + slash + 1 > cap) return 0;
    memcpy(out, t, n);
    if (slash) out[n++] = '/';
    out[n] = 0;
    return n;
}

size_t pf_module_path(char *out, size_t cap)
{
    if (cap == 0) return 0;
    ssize_t n = readlink("/proc/self/exe", out, cap - 1);
    if (n <= 0 || (size_t)n >= cap - 1) return 0;
    out[n] = 0;
    return (size_t)n;
}

void pf_sleep(unsigned ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

/* ---- threads ---- */

struct pf_thread_s {
    pthread_t id;
    void (*fn)(void *);
    void *arg;
    int ended, detached; /* with detach_lock held */
};

/* Settles who frees a thread's record: its joiner, or the thread itself once
   detached. */
static pthread_mutex_t detach_lock = PTHREAD_MUTEX_INITIALIZER;

static void *thread_main(void *param)
{
    pf_thread t = (pf_thread)param;
    t->fn(t->arg);
    pthread_mutex_lock(&detach_lock);
    int gone = t->detached;
    t->ended = 1;
    pthread_mutex_unlock(&detach_lock);
    if (gone) free(t);
    return NULL;
}

pf_thread pf_thread_start(void (*fn)(void *arg), void *arg)
{
    if (PF_FAULT(pf_fail_thread_in)) return NULL;
    pf_thread t = (pf_thread)malloc(sizeof *t);
    if (!t) return NULL;
    t->fn = fn;
    t->arg = arg;
    t->ended = t->detached = 0;
    if (pthread_create(&t->id, NULL, thread_main, t) != 0) {
        free(t);
        return NULL;
    }
    return t;
}

void pf_thread_join(pf_thread t)
{
    if (!t) return;
    pthread_join(t->id, NULL);
    free(t);
}

/* The record stays with the thread, which frees it at its end. */
void pf_thread_detach(pf_thread t)
{
    if (!t) return;
    pthread_mutex_lock(&detach_lock);
    if (t->ended) {
        pthread_mutex_unlock(&detach_lock);
        pthread_join(t->id, NULL);
        free(t);
        return;
    }
    t->detached = 1;
    pthread_detach(t->id);
    pthread_mutex_unlock(&detach_lock);
}

int pf_thread_cancel_io(pf_thread t)
{
    (void)t;
    return 0;
}

struct pf_monitor_s {
    pthread_mutex_t lock;
    pthread_cond_t cond;
};

pf_monitor pf_monitor_new(void)
{
    pf_monitor m = (pf_monitor)malloc(sizeof *m);
    if (!m) return NULL;
    if (pthread_mutex_init(&m->lock, NULL) != 0) {
        free(m);
        return NULL;
    }
    if (pthread_cond_init(&m->cond, NULL) != 0) {
        pthread_mutex_destroy(&m->lock);
        free(m);
        return NULL;
    }
    return m;
}

void pf_monitor_free(pf_monitor m)
{
    if (!m) return;
    pthread_cond_destroy(&m->cond);
    pthread_mutex_destroy(&m->lock);
    free(m);
}

void pf_monitor_enter(pf_monitor m) { pthread_mutex_lock(&m->lock); }
void pf_monitor_leave(pf_monitor m) { pthread_mutex_unlock(&m->lock); }
void pf_monitor_wait(pf_monitor m) { pthread_cond_wait(&m->cond, &m->lock); }
void pf_monitor_wake(pf_monitor m) { pthread_cond_broadcast(&m->cond); }

void pf_monitor_wait_ms(pf_monitor m, unsigned ms)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += (time_t)(ms / 1000);
    ts.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&m->cond, &m->lock, &ts);
}

int pf_post_message(void *window, unsigned msg, void *block)
{
    (void)window;
    (void)msg;
    (void)block;
    errno = ENOSYS;
    return 0;
}

/* ---- the command line ---- */

static char **args_v;
static int args_c;

void pf_set_args(int argc, char **argv)
{
    args_c = argc;
    args_v = argv;
}

char **pf_args(int *argc)
{
    *argc = args_c;
    return args_v;
}

/* ---- paths ---- */

int pf_is_absolute(const char *path) { return path[0] == '/' || path[0] == '\\'; }

size_t pf_full_path(const char *path, char *out, size_t cap)
{
    char cwd[MAP_CAP];
    const char *parts[2] = {"", path};
    if (path[0] != '/' && path[0] != '\\') {
        if (!getcwd(cwd, sizeof cwd)) return 0;
        parts[0] = cwd;
    }
    if (cap < 2) return 0;
    size_t n = 0;
    out[n++] = '\\'; /* the root */
    for (const char *p : parts) {
        while (*p) {
            while (*p == '/' || *p == '\\') p++;
            const char *name = p;
            while (*p && *p != '/' && *p != '\\') p++;
            size_t len = (size_t)(p - name);
            if (len == 0 || (len == 1 && name[0] == '.')) continue;
            if (len == 2 && name[0] == '.' && name[1] == '.') {
                while (n > 1 && out[n - 1] != '\\') n--; /* back over the last name */
                if (n > 1) n--;
                continue;
            }
            if (n + 1 + len >= cap) return 0;
            if (n > 1) out[n++] = '\\';
            memcpy(out + n, name, len);
            n += len;
        }
    }
    size_t given = strlen(path);
    if (n > 1 && given && (path[given - 1] == '/' || path[given - 1] == '\\')) {
        if (n + 1 >= cap) return 0;
        out[n++] = '\\';
    }
    out[n] = 0;
    return n;
}

int pf_file_identity(const char *path, pf_file_id *out)
{
    char p[MAP_CAP];
    struct stat st;
    map_path(path, p);
    if (stat(p, &st) != 0) return 0;
    out->volume = (uint64_t)st.st_dev;
    out->index = (uint64_t)st.st_ino;
    return 1;
}

size_t pf_path_chars(const char *path)
{
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)path; *p; p++) {
        if ((*p & 0xC0) != 0x80) n++; /* a character begins */
        if ((*p & 0xF8) == 0xF0) n++; /* beyond 16 bits: two UTF-16 units */
    }
    return n;
}

/* ---- disk space and the current folder ---- */

/* The statvfs of the volume that holds folder, and its block unit: f_frsize,
   or f_bsize where a file system leaves that 0. 0 when it cannot be had. */
static uint64_t volume_of(const char *folder, struct statvfs *st)
{
    char p[MAP_CAP];
    map_path(folder, p);
    if (statvfs(p, st) != 0) return 0;
    return st->f_frsize ? (uint64_t)st->f_frsize : (uint64_t)st->f_bsize;
}

int pf_free_space(const char *folder, uint64_t *free_bytes)
{
#ifdef KELP_FAULTS
    if (pf_fake_free_bytes >= 0) {
        *free_bytes = (uint64_t)pf_fake_free_bytes;
        return 1;
    }
#endif
    struct statvfs st;
    uint64_t unit = volume_of(folder, &st);
    if (unit == 0) return 0;
    /* f_bavail: the blocks an unprivileged user may still fill. */
    *free_bytes = (uint64_t)st.f_bavail * unit;
    return 1;
}

int pf_cluster_size(const char *folder, uint64_t *cluster)
{
    struct statvfs st;
    uint64_t unit = volume_of(folder, &st); /* files are given space in blocks of it */
    if (unit == 0) return 0;
    *cluster = unit;
    return 1;
}

size_t pf_current_dir(char *out, size_t cap)
{
    if (cap == 0 || !getcwd(out, cap)) return 0;
    return strlen(out);
}

int pf_set_current_dir(const char *folder)
{
    char p[MAP_CAP];
    map_path(folder, p);
    return chdir(p) == 0;
}

/* ---- waiting for a process, one setup at a time ---- */

int pf_wait_process(unsigned long pid, unsigned ms)
{
    for (unsigned waited = 0;; waited += 50) {
        if (kill((pid_t)pid, 0) != 0 && errno == ESRCH) return 1;
        if (waited >= ms) return 0;
        pf_sleep(50);
    }
}

/* A lock on a file in the temporary folder, released when the process ends. */
int pf_claim_single_instance(void)
{
    char dir[MAP_CAP], p[MAP_CAP + 32];
    if (!pf_temp_dir(dir, sizeof dir)) return 1;
    snprintf(p, sizeof p, "%skelpmire_setup.lock", dir);
    int fd = open(p, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return 1; /* no lock to be had: the run goes on as before */
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return 0;
    }
    return 1; /* fd stays open, and locked, until the process ends */
}

#endif
