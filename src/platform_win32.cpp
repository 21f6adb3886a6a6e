/*
 * platform_win32.cpp - the platform services on Windows, one Win32 call each.
 *
 * A pf_file is the HANDLE itself, except that INVALID_HANDLE_VALUE is given out
 * as PF_NO_FILE (null): CreateFileA never returns a null handle on success.
 */
#ifdef _WIN32

#include "platform.h"

#include "cmdline.h"

#include <windows.h>

#include <objbase.h>
#include <objidl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef KELP_FAULTS
int pf_fail_read_in;
int pf_fail_write_in;
long long pf_fail_read_at = -1;
long long pf_fake_free_bytes = -1;
pf_fault_run pf_fault_read, pf_fault_list, pf_fault_held;
const char *pf_fault_held_from;
int pf_fail_delete_in_use;
int pf_fail_delete_denied;
const char *pf_deny_changes_in;
int pf_open_files;
int pf_fail_thread_in;
int pf_fail_res_update_cut;
#endif

static pf_file wrap(HANDLE h)
{
    if (h == INVALID_HANDLE_VALUE) return PF_NO_FILE;
#ifdef KELP_FAULTS
    __atomic_add_fetch(&pf_open_files, 1, __ATOMIC_RELAXED);
#endif
    return (pf_file)h;
}
static HANDLE unwrap(pf_file f) { return f == PF_NO_FILE ? INVALID_HANDLE_VALUE : (HANDLE)f; }

pf_file pf_open_read(const char *path, int sequential)
{
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           sequential ? FILE_FLAG_SEQUENTIAL_SCAN : 0, NULL);
    /* Reserved names (CON, COM1, ...) open devices in any folder. */
    if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        SetLastError(ERROR_ACCESS_DENIED);
        return PF_NO_FILE;
    }
    return wrap(h);
}

/* A change of a file that the fault run pf_fault_held fails, as a file that
   another program holds for a moment fails it. */
static int held_fault(const char *path)
{
    if (!PF_FAULT_HELD(path)) return 0;
    SetLastError(ERROR_SHARING_VIOLATION);
    return 1;
}

pf_file pf_create(const char *path)
{
    if (held_fault(path)) return PF_NO_FILE;
    if (PF_DENIED(path)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return PF_NO_FILE;
    }
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    /* Reserved names open devices here too: "X\CON.TXT" would write to the
       console. Whatever a name check let through, only a disk file is written. */
    if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        SetLastError(ERROR_ACCESS_DENIED);
        return PF_NO_FILE;
    }
    return wrap(h);
}

int pf_read(pf_file f, void *buf, uint32_t n, uint32_t *got)
{
    DWORD r = 0;
    *got = 0;
    if (PF_FAULT(pf_fail_read_in)) {
        SetLastError(ERROR_READ_FAULT);
        return 0;
    }
#ifdef KELP_FAULTS
    LARGE_INTEGER zero = {}, at = {};
    if (pf_fail_read_at >= 0 && SetFilePointerEx(unwrap(f), zero, &at, FILE_CURRENT) &&
        PF_FAULT_AT(at.QuadPart, n)) {
        SetLastError(ERROR_READ_FAULT);
        return 0;
    }
#endif
    if (PF_FAULT_RUN(pf_fault_read)) {
        SetLastError(ERROR_NOT_READY);
        return 0;
    }
    if (!ReadFile(unwrap(f), buf, n, &r, NULL)) return 0;
    *got = r;
    return 1;
}

int pf_write(pf_file f, const void *buf, uint32_t n, uint32_t *put)
{
    DWORD w = 0;
    *put = 0;
    if (PF_FAULT(pf_fail_write_in)) {
        SetLastError(ERROR_WRITE_FAULT);
        return 0;
    }
    BOOL ok = WriteFile(unwrap(f), buf, n, &w, NULL);
    *put = w;
    return ok ? 1 : 0;
}

int pf_seek(pf_file f, uint64_t pos)
{
    LARGE_INTEGER li;
    if (pos > (uint64_t)INT64_MAX) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return 0;
    }
    li.QuadPart = (LONGLONG)pos;
    return SetFilePointerEx(unwrap(f), li, NULL, FILE_BEGIN) ? 1 : 0;
}

int pf_file_size(pf_file f, uint64_t *size)
{
    LARGE_INTEGER li;
    if (!GetFileSizeEx(unwrap(f), &li)) return 0;
    *size = (uint64_t)li.QuadPart;
    return 1;
}

void pf_close(pf_file f)
{
    if (f == PF_NO_FILE) return;
#ifdef KELP_FAULTS
    __atomic_sub_fetch(&pf_open_files, 1, __ATOMIC_RELAXED);
#endif
    CloseHandle(unwrap(f));
}

FILE *pf_fopen(const char *path, const char *mode) { return fopen(path, mode); }

unsigned long pf_last_error(void) { return GetLastError(); }

/* ---- Unix links under Wine ----
   Players on Linux run the setup under Wine, which shows a Unix symbolic link
   as what it points to (a link to a folder also as a reparse point) and acts
   on what it points to: deleting a link to a file there deletes that file,
   and a link to a folder cannot be removed at all, not even opened as itself.
   Such a link is told by comparing where a handle to it really leads with
   where its name lies, and is removed by name on the Unix side with the
   system's unlink, which takes away one name and never what it points to. */

typedef LONG(WINAPI *unix_spawn_fn)(char *const argv[], int wait);
typedef char *(CDECL *unix_name_fn)(LPCWSTR path);

struct wine_unix {
    unix_spawn_fn spawn; /* runs a Unix program and waits for its exit code */
    unix_name_fn name;   /* the Unix name of a Windows path, heap-allocated */
};

/* Wine's two services, or null on Windows (looked up once). */
static const wine_unix *wine(void)
{
    static wine_unix w;
    static int looked;
    if (!looked) {
        w.spawn = (unix_spawn_fn)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "__wine_unix_spawnvp");
        w.name = (unix_name_fn)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
        looked = 1;
    }
    return w.spawn && w.name ? &w : NULL;
}

/* Where a handle to path leads, without the "\\?\" prefix; 0 when path
   cannot be opened. */
static int final_path(const char *path, char *out, DWORD cap)
{
    HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    char buf[MAX_PATH * 2];
    DWORD n = GetFinalPathNameByHandleA(h, buf, sizeof buf, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= sizeof buf) return 0;
    const char *p = strncmp(buf, "\\\\?\\", 4) == 0 ? buf + 4 : buf;
    if (strlen(p) >= cap) return 0;
    strcpy(out, p);
    return 1;
}

/* 1 when path names a Unix link to a file, under Wine: a handle to it leads
   somewhere other than its folder's handle and its own name. When that cannot
   be told, 0 (the caller then treats it as the file Wine shows). A false 1
   costs only the slower removal, which takes away the same name. */
static int wine_file_link(const char *path)
{
    if (!wine()) return 0;
    char full[MAX_PATH], *name = NULL;
    DWORD n = GetFullPathNameA(path, sizeof full, full, &name);
    if (n == 0 || n >= sizeof full || !name || name == full) return 0;
    char parent[MAX_PATH], there[MAX_PATH * 2], folder[MAX_PATH * 2];
    size_t cut = (size_t)(name - full) - 1; /* the separator before the name */
    memcpy(parent, full, cut);
    parent[cut] = 0;
    if (cut == 2 && parent[1] == ':') strcpy(parent + 2, "\\"); /* a drive's root */
    if (!final_path(full, there, sizeof there) || !final_path(parent, folder, sizeof folder)) return 0;
    size_t f = strlen(folder);
    if (f && folder[f - 1] == '\\') folder[--f] = 0;
    /* The folder's case may differ from the one typed; the name is the one on
       disk unless the handle went elsewhere. */
    return !(_strnicmp(there, folder, f) == 0 && there[f] == '\\' && strcmp(there + f + 1, name) == 0);
}

/* Removes the name path on the Unix side (Wine only): 1 when it is gone. */
static int wine_unlink(const char *path)
{
    const wine_unix *w = wine();
    WCHAR wide[MAX_PATH];
    if (!w || !MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH)) return 0;
    char *unix_name = w->name(wide);
    if (!unix_name) return 0;
    char *argv[] = {(char *)"unlink", unix_name, NULL};
    LONG rc = w->spawn(argv, 1);
    HeapFree(GetProcessHeap(), 0, unix_name);
    if (rc != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return 1;
}

/* The attributes a with FILE_ATTRIBUTE_REPARSE_POINT kept only for a link
   (pf_reparse_tag_is_link), tag being the reparse point's. Under Wine every
   reparse point is a Unix link, whatever tag it shows. */
static DWORD links_only(DWORD a, DWORD tag)
{
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) && !wine() && !pf_reparse_tag_is_link(tag))
        a &= ~(DWORD)FILE_ATTRIBUTE_REPARSE_POINT;
    return a;
}

/* The reparse tag of path itself (a cloud file is not recalled for it). One
   that cannot be read is taken for a symbolic link's: what is not known to
   be a folder of its own is never entered. */
static DWORD reparse_tag(const char *path)
{
    HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) return IO_REPARSE_TAG_SYMLINK;
    FILE_ATTRIBUTE_TAG_INFO info;
    BOOL ok = GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info);
    CloseHandle(h);
    return ok ? info.ReparseTag : IO_REPARSE_TAG_SYMLINK;
}

uint32_t pf_attributes(const char *path)
{
    DWORD a = GetFileAttributesA(path);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) && !wine())
        a = links_only(a, reparse_tag(path));
    if (a != INVALID_FILE_ATTRIBUTES && !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        wine_file_link(path))
        a |= FILE_ATTRIBUTE_REPARSE_POINT;
    return a;
}

int pf_set_attributes(const char *path, uint32_t attrs)
{
    if (held_fault(path)) return 0;
    return SetFileAttributesA(path, attrs) ? 1 : 0;
}

int pf_delete_file(const char *path)
{
#ifdef KELP_FAULTS
    if (pf_fail_delete_in_use > 0) {
        pf_fail_delete_in_use--;
        SetLastError(ERROR_SHARING_VIOLATION);
        return 0;
    }
    if (pf_fail_delete_denied > 0) {
        pf_fail_delete_denied--;
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
#endif
    if (held_fault(path)) return 0;
    /* Wine would delete what a link points to. */
    if (wine_file_link(path)) return wine_unlink(path);
    return DeleteFileA(path) ? 1 : 0;
}

int pf_copy_file(const char *from, const char *to)
{
    if (held_fault(to)) return 0;
    return CopyFileA(from, to, FALSE) ? 1 : 0;
}

int pf_move_replace(const char *from, const char *to)
{
    if (held_fault(from)) return 0;
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

int pf_make_dir(const char *path)
{
    if (PF_DENIED(path)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return CreateDirectoryA(path, NULL) ? 1 : 0;
}

int pf_remove_dir(const char *path) { return RemoveDirectoryA(path) ? 1 : 0; }

int pf_remove_link(const char *path)
{
    uint32_t a = pf_attributes(path);
    if (a == PF_ATTR_INVALID || !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_NOT_A_REPARSE_POINT);
        return 0;
    }
    /* Wine acts on what a link points to: there the link goes by name.
       Windows removes a junction or a folder link with RemoveDirectoryA and a
       file link with DeleteFileA. */
    if (wine()) return wine_unlink(path) && GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES;
    return ((a & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryA(path) : DeleteFileA(path)) ? 1 : 0;
}

int pf_last_error_in_use(void)
{
    DWORD e = GetLastError();
    return e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION;
}

int pf_last_error_denied(void) { return GetLastError() == ERROR_ACCESS_DENIED; }

int pf_file_held(const char *path)
{
    DWORD before = GetLastError();
    /* Attributes only would pass any sharing: the open asks for the data. */
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    int held = h == INVALID_HANDLE_VALUE && pf_last_error_in_use();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    SetLastError(before); /* the caller's failure stays the one reported */
    return held;
}

struct pf_find_s {
    HANDLE h;
};

static void fill_entry(const WIN32_FIND_DATAA *fd, pf_entry *out)
{
    snprintf(out->name, sizeof out->name, "%s", fd->cFileName);
    /* For a reparse point the listing gives its tag in dwReserved0. */
    out->attrs = links_only(fd->dwFileAttributes, fd->dwReserved0);
    out->size = (fd->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    ? 0
                    : ((uint64_t)fd->nFileSizeHigh << 32) | fd->nFileSizeLow;
}

pf_find pf_find_first(const char *pattern, pf_entry *out)
{
    WIN32_FIND_DATAA fd;
    if (PF_FAULT_RUN(pf_fault_list)) {
        SetLastError(ERROR_NOACCESS);
        return NULL;
    }
    HANDLE h = FindFirstFileA(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE) return NULL;
    pf_find f = (pf_find)malloc(sizeof *f);
    if (!f) {
        FindClose(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    f->h = h;
    fill_entry(&fd, out);
    return f;
}

int pf_find_next(pf_find h, pf_entry *out)
{
    WIN32_FIND_DATAA fd;
    if (!FindNextFileA(h->h, &fd)) return 0;
    fill_entry(&fd, out);
    return 1;
}

void pf_find_close(pf_find h)
{
    if (!h) return;
    FindClose(h->h);
    free(h);
}

/* Nothing matched, or the listing ran to its end: every other code is a
   folder that could not be read (under Wine a folder whose opening fails
   arrives as ERROR_NOACCESS). */
int pf_find_failed(void)
{
    DWORD e = GetLastError();
    return e != ERROR_FILE_NOT_FOUND && e != ERROR_NO_MORE_FILES;
}

size_t pf_temp_dir(char *out, size_t cap)
{
    DWORD n = GetTempPathA((DWORD)cap, out);
    return (n == 0 || n >= cap) ? 0 : n;
}

size_t pf_module_path(char *out, size_t cap)
{
    DWORD n = GetModuleFileNameA(NULL, out, (DWORD)cap);
    /* A result equal to the buffer size means the path was cut. */
    return (n == 0 || n >= cap) ? 0 : n;
}

void pf_sleep(unsigned ms) { Sleep(ms); }

/* ---- threads ---- */

typedef struct thread_start {
    void (*fn)(void *);
    void *arg;
} thread_start;

static DWORD WINAPI thread_main(LPVOID param)
{
    thread_start ts = *(thread_start *)param;
    free(param);
    ts.fn(ts.arg);
    return 0;
}

pf_thread pf_thread_start(void (*fn)(void *arg), void *arg)
{
    if (PF_FAULT(pf_fail_thread_in)) return NULL;
    thread_start *ts = (thread_start *)malloc(sizeof *ts);
    if (!ts) return NULL;
    ts->fn = fn;
    ts->arg = arg;
    HANDLE h = CreateThread(NULL, 0, thread_main, ts, 0, NULL);
    if (!h) free(ts);
    return (pf_thread)h;
}

void pf_thread_join(pf_thread t)
{
    if (!t) return;
    WaitForSingleObject((HANDLE)t, INFINITE);
    CloseHandle((HANDLE)t);
}

void pf_thread_detach(pf_thread t)
{
    if (t) CloseHandle((HANDLE)t);
}

/* Looked up: CancelSynchronousIo exists from Vista on. A drive retrying a bad
   sector honours it at once; a read that the file system cannot cancel goes
   on regardless (and under Wine a read of a file blocks in the host's call). */
int pf_thread_cancel_io(pf_thread t)
{
    typedef BOOL(WINAPI * cancel_fn)(HANDLE);
    cancel_fn f = (cancel_fn)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "CancelSynchronousIo");
    return t && f && f((HANDLE)t);
}

/* A slim lock and a condition variable wait in user space: a kernel event would
   cost a trip to the kernel (under Wine, to its server) on every hand-over. */
struct pf_monitor_s {
    SRWLOCK lock;
    CONDITION_VARIABLE cond;
};

pf_monitor pf_monitor_new(void)
{
    pf_monitor m = (pf_monitor)malloc(sizeof *m);
    if (!m) return NULL;
    InitializeSRWLock(&m->lock);
    InitializeConditionVariable(&m->cond);
    return m;
}

void pf_monitor_free(pf_monitor m) { free(m); }
void pf_monitor_enter(pf_monitor m) { AcquireSRWLockExclusive(&m->lock); }
void pf_monitor_leave(pf_monitor m) { ReleaseSRWLockExclusive(&m->lock); }
void pf_monitor_wait(pf_monitor m) { SleepConditionVariableSRW(&m->cond, &m->lock, INFINITE, 0); }
void pf_monitor_wait_ms(pf_monitor m, unsigned ms) { SleepConditionVariableSRW(&m->cond, &m->lock, ms, 0); }
void pf_monitor_wake(pf_monitor m) { WakeAllConditionVariable(&m->cond); }

int pf_post_message(void *window, unsigned msg, void *block)
{
    return PostMessageA((HWND)window, msg, 0, (LPARAM)block) ? 1 : 0;
}

/* ---- message boxes ---- */

int pf_message_box(const char *text, const char *caption, unsigned flags)
{
    return pf_message_box_owned(NULL, text, caption, flags);
}

int pf_message_box_owned(void *owner, const char *text, const char *caption, unsigned flags)
{
    return MessageBoxA((HWND)owner, text, caption, flags);
}

/* ---- resource update ---- */

#ifdef KELP_FAULTS
/* The executable of the update begun last, for pf_fail_res_update_cut: an
   update's handle does not name its file. */
static char res_update_exe[MAX_PATH];

/* Cuts the file to half its size. */
static void cut_to_half(const char *path)
{
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size;
    if (GetFileSizeEx(h, &size)) {
        size.QuadPart /= 2;
        if (SetFilePointerEx(h, size, NULL, FILE_BEGIN)) SetEndOfFile(h);
    }
    CloseHandle(h);
}
#endif

pf_res_update pf_res_update_begin(const char *exe)
{
#ifdef KELP_FAULTS
    snprintf(res_update_exe, sizeof res_update_exe, "%s", exe);
#endif
    return (pf_res_update)BeginUpdateResourceA(exe, FALSE);
}

void pf_res_update_add(pf_res_update u, unsigned type, unsigned id, const void *data, uint32_t size)
{
    /* Its result tells nothing that EndUpdateResource would not, so it is not
       examined. Wine writes no resource for data of 0 bytes (an icon file's
       empty image then leaves a group entry naming a missing image); such an
       image is broken either way, so it is passed on as it stands. */
    UpdateResourceA((HANDLE)u, MAKEINTRESOURCEA(type), MAKEINTRESOURCEA(id),
                    MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), (LPVOID)data, size);
}

int pf_res_update_end(pf_res_update u, int discard)
{
    if (!discard && held_fault(NULL)) {
        EndUpdateResourceA((HANDLE)u, TRUE);
        SetLastError(ERROR_SHARING_VIOLATION);
        return 0;
    }
#ifdef KELP_FAULTS
    if (!discard && PF_FAULT(pf_fail_res_update_cut)) {
        EndUpdateResourceA((HANDLE)u, FALSE);
        cut_to_half(res_update_exe);
        SetLastError(ERROR_DISK_FULL);
        return 0;
    }
#endif
    return EndUpdateResourceA((HANDLE)u, discard ? TRUE : FALSE) ? 1 : 0;
}

/* ---- the command line and the drives ---- */

char **pf_args(int *argc)
{
    static char **list;
    static int count;
    if (list) {
        *argc = count;
        return list;
    }
    *argc = 0;
    /* The whole line is converted, then split by the setup's own rules
       (cmdline_split): the system's splitting takes the backslash before a
       closing quote, as in "C:\Games\", for an escaped quote.
       With the UTF-8 code page every character converts exactly. Elsewhere a
       character outside the code page would be best-fit mapped, perhaps to a
       quote or a backslash: such a line is refused instead. */
    LPCWSTR wide = GetCommandLineW();
    UINT cp = GetACP();
    DWORD flags = cp == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL lossy = FALSE;
    BOOL *plossy = cp == CP_UTF8 ? NULL : &lossy;
    int len = WideCharToMultiByte(CP_ACP, flags, wide, -1, NULL, 0, NULL, plossy);
    char *line = len > 0 ? (char *)malloc((size_t)len) : NULL;
    int ok = line && WideCharToMultiByte(CP_ACP, flags, wide, -1, line, len, NULL, plossy) == len && !lossy;
    char **out = ok ? cmdline_split(line, &count) : NULL;
    free(line);
    if (!out) return NULL;
    list = out;
    *argc = count;
    return list;
}

void pf_set_args(int argc, char **argv)
{
    (void)argc;
    (void)argv;
}

int pf_cd_drives(char *out, size_t cap)
{
    DWORD mask = GetLogicalDrives();
    size_t at = 0;
    int count = 0;
    for (int bit = 2; bit <= 25; bit++) {
        if (!(mask & (1u << bit))) continue;
        char root[4] = {(char)('A' + bit), ':', '\\', 0};
        if (GetDriveTypeA(root) != DRIVE_CDROM) continue;
        if (at + 5 > cap) break;
        memcpy(out + at, root, 4);
        at += 4;
        count++;
    }
    if (at < cap) out[at] = 0;
    return count;
}

/* ---- resources of the running program ---- */

#ifdef KELP_FAULTS
/* The resource as the test double lends it: the file of that name in the
   folder named by KELP_RCDATA_DIR, read once and kept until the process ends. */
static const void *lent_rcdata(const char *name, uint64_t *size)
{
    static struct {
        char path[MAX_PATH];
        void *data;
        DWORD size;
    } lent[16];
    const char *dir = getenv("KELP_RCDATA_DIR");
    char path[MAX_PATH];
    if (!dir || !*dir || snprintf(path, sizeof path, "%s\\%s", dir, name) >= (int)sizeof path) return NULL;
    for (auto &r : lent)
        if (r.data && strcmp(r.path, path) == 0) {
            *size = r.size;
            return r.data;
        }
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return NULL;
    DWORD n = GetFileSize(h, NULL), got = 0;
    void *data = n != INVALID_FILE_SIZE ? malloc(n + 1) : NULL;
    if (data && (!ReadFile(h, data, n, &got, NULL) || got != n)) {
        free(data);
        data = NULL;
    }
    CloseHandle(h);
    for (auto &r : lent)
        if (data && !r.data) {
            snprintf(r.path, sizeof r.path, "%s", path);
            r.data = data;
            r.size = n;
            *size = n;
            return data;
        }
    free(data);
    return NULL;
}
#endif

const void *pf_own_rcdata(const char *name, uint64_t *size)
{
#ifdef KELP_FAULTS
    const void *lent = lent_rcdata(name, size);
    if (lent) return lent;
#endif
    HRSRC r = FindResourceA(NULL, name, MAKEINTRESOURCEA(10) /* RT_RCDATA */);
    if (!r) return NULL;
    HGLOBAL g = LoadResource(NULL, r);
    const void *p = g ? LockResource(g) : NULL;
    if (p) *size = SizeofResource(NULL, r);
    return p;
}

/* ---- the registry ---- */

pf_key pf_reg_create_user_key(const char *subkey)
{
    HKEY k = NULL;
    LONG r = RegCreateKeyExA(HKEY_CURRENT_USER, subkey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_WRITE, NULL, &k, NULL);
    if (r != ERROR_SUCCESS) {
        SetLastError((DWORD)r);
        return NULL;
    }
    return (pf_key)k;
}

int pf_reg_set_string(pf_key k, const char *name, const char *text)
{
    return RegSetValueExA((HKEY)k, name, 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1) == ERROR_SUCCESS;
}

int pf_reg_set_dword(pf_key k, const char *name, uint32_t value)
{
    DWORD v = value;
    return RegSetValueExA((HKEY)k, name, 0, REG_DWORD, (const BYTE *)&v, sizeof v) == ERROR_SUCCESS;
}

void pf_reg_close(pf_key k)
{
    if (k) RegCloseKey((HKEY)k);
}

int pf_reg_delete_user_key(const char *subkey) { return RegDeleteKeyA(HKEY_CURRENT_USER, subkey) == ERROR_SUCCESS; }

int pf_reg_get_user_string(const char *subkey, const char *name, char *out, size_t cap)
{
    HKEY k = NULL;
    if (cap == 0 || RegOpenKeyExA(HKEY_CURRENT_USER, subkey, 0, KEY_READ, &k) != ERROR_SUCCESS) return 0;
    DWORD type = 0, size = (DWORD)cap - 1;
    LONG r = RegQueryValueExA(k, name, NULL, &type, (BYTE *)out, &size);
    RegCloseKey(k);
    if (r != ERROR_SUCCESS || type != REG_SZ) return 0;
    /* A stored string need not end with its zero. */
    out[size < cap ? size : cap - 1] = 0;
    return 1;
}

/* ---- the shell ---- */

int pf_shell_folder(int which, char *out, size_t cap)
{
    char p[MAX_PATH];
    int csidl = which == PF_FOLDER_PROGRAMS ? CSIDL_PROGRAMS : which == PF_FOLDER_DESKTOP ? CSIDL_DESKTOPDIRECTORY : -1;
    if (csidl < 0 || SHGetFolderPathA(NULL, csidl, NULL, SHGFP_TYPE_CURRENT, p) != S_OK) return 0;
    return snprintf(out, cap, "%s", p) < (int)cap;
}

/* The result is not kept: a thread whose COM was already initialised gets
   S_FALSE, and CoUninitialize balances either answer. */
void pf_com_begin(void) { CoInitialize(NULL); }
void pf_com_end(void) { CoUninitialize(); }

int pf_make_shortcut(const char *lnk, const char *target, const char *workdir,
                     const char *description, const char *icon, int icon_index)
{
    IShellLinkA *link = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void **)&link)))
        return 0;
    link->SetPath(target);
    link->SetWorkingDirectory(workdir);
    link->SetDescription(description);
    link->SetIconLocation(icon, icon_index);
    IPersistFile *file = NULL;
    int ok = 0;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file))) {
        WCHAR wide[520];
        if (MultiByteToWideChar(CP_ACP, 0, lnk, -1, wide, 520) > 0) ok = SUCCEEDED(file->Save(wide, TRUE));
        file->Release();
    }
    link->Release();
    return ok;
}

int pf_shortcut_target(const char *lnk, char *out, size_t cap)
{
    IShellLinkA *link = NULL;
    IPersistFile *file = NULL;
    WCHAR wide[520];
    char path[MAX_PATH];
    int ok = 0;
    if (MultiByteToWideChar(CP_ACP, 0, lnk, -1, wide, 520) <= 0) return 0;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void **)&link)))
        return 0;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file))) {
        /* SLGP_RAWPATH: the path as stored, without resolving a moved target. */
        if (SUCCEEDED(file->Load(wide, STGM_READ)) && link->GetPath(path, MAX_PATH, NULL, SLGP_RAWPATH) == S_OK)
            ok = snprintf(out, cap, "%s", path) < (int)cap;
        file->Release();
    }
    link->Release();
    return ok;
}

/* ---- processes and paths ---- */

unsigned long pf_process_id(void) { return GetCurrentProcessId(); }

int pf_wait_process(unsigned long pid, unsigned ms)
{
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)pid);
    if (!h) return 1; /* it has ended already */
    DWORD r = WaitForSingleObject(h, ms);
    CloseHandle(h);
    return r != WAIT_TIMEOUT;
}

int pf_claim_single_instance(void)
{
    /* Owned by this thread, which runs until the process ends. A setup that
       is just ending may still hold it for a moment (under Wine until its
       server has seen the process go): it is given a little time before this
       run is taken for a second one. */
    HANDLE m = CreateMutexA(NULL, FALSE, "Local\\KelpmireSetupRunning");
    if (!m) return 0;
    DWORD w = WaitForSingleObject(m, 1500);
    return w == WAIT_OBJECT_0 || w == WAIT_ABANDONED;
}

int pf_start_process(const char *command_line)
{
    char cmd[1300];
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    snprintf(cmd, sizeof cmd, "%s", command_line); /* CreateProcessA may write to it */
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(NULL, cmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return 0;
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return 1;
}

/* The full long form of a path in UTF-16 into out (MAX_PATH * 2 units); 0
   when it cannot be had. A short name (8.3) becomes its long one when the
   file exists. */
static int long_full_path(const WCHAR *path, WCHAR *out)
{
    WCHAR full[MAX_PATH * 2];
    DWORD n = GetFullPathNameW(path, MAX_PATH * 2, full, NULL);
    if (n == 0 || n >= MAX_PATH * 2) return 0;
    n = GetLongPathNameW(full, out, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2) wcscpy(out, full);
    return 1;
}

int pf_running_from(const char *exe)
{
    WCHAR wide[MAX_PATH * 2], want[MAX_PATH * 2];
    if (!MultiByteToWideChar(CP_ACP, 0, exe, -1, wide, MAX_PATH * 2) || !long_full_path(wide, want)) return 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W pe;
    pe.dwSize = sizeof pe;
    int found = 0;
    for (BOOL more = Process32FirstW(snap, &pe); more && !found; more = Process32NextW(snap, &pe)) {
        /* Every process is asked, not only those whose snapshot name matches:
           that name may be a short (8.3) one. The limited right is what a
           standard user holds over the processes of its own session. */
        HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pe.th32ProcessID);
        if (!h) continue;
        WCHAR image[MAX_PATH * 2], have[MAX_PATH * 2];
        DWORD n = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(h, 0, image, &n) && long_full_path(image, have))
            found = CompareStringOrdinal(have, -1, want, -1, TRUE) == CSTR_EQUAL;
        CloseHandle(h);
    }
    CloseHandle(snap);
    return found;
}

int pf_delete_at_restart(const char *path) { return MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT) ? 1 : 0; }

static int is_sep(char c) { return c == '\\' || c == '/'; }

int pf_is_absolute(const char *path)
{
    int letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
    if (letter && path[1] == ':') return is_sep(path[2]); /* "C:x" is relative to C:'s current folder */
    if (!is_sep(path[0]) || !is_sep(path[1])) return 0;  /* "\\x" is relative to the current drive */
    /* "\\server\share": both names present. "\\.\" and "\\?\" open devices and
       raw namespaces, which no install folder is. */
    const char *server = path + 2, *p = server;
    while (*p && !is_sep(*p)) p++;
    size_t n = (size_t)(p - server);
    if (n == 0 || (n == 1 && (server[0] == '.' || server[0] == '?')) || !*p) return 0;
    return p[1] && !is_sep(p[1]);
}

size_t pf_full_path(const char *path, char *out, size_t cap)
{
    DWORD n = GetFullPathNameA(path, (DWORD)cap, out, NULL);
    return (n == 0 || n >= cap) ? 0 : n;
}

int pf_file_identity(const char *path, pf_file_id *out)
{
    /* A folder opens only with FILE_FLAG_BACKUP_SEMANTICS; attributes alone
       need no right to the folder's contents, and full sharing lets a folder
       that another program holds open be asked too. */
    HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    int ok = GetFileInformationByHandle(h, &info) ? 1 : 0;
    CloseHandle(h);
    if (!ok) return 0;
    out->volume = info.dwVolumeSerialNumber;
    out->index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    /* Some network redirectors give every file the index 0: that names
       nothing, and would make any two folders of a share one. */
    return out->index != 0;
}

/* ---- disk space and the current folder ---- */

int pf_free_space(const char *folder, uint64_t *free_bytes)
{
#ifdef KELP_FAULTS
    if (pf_fake_free_bytes >= 0) {
        *free_bytes = (uint64_t)pf_fake_free_bytes;
        return 1;
    }
#endif
    char dir[600];
    ULARGE_INTEGER avail;
    /* A share's root is only understood with its trailing backslash. */
    size_t n = strlen(folder);
    if (snprintf(dir, sizeof dir, "%s%s", folder, n && is_sep(folder[n - 1]) ? "" : "\\") >= (int)sizeof dir) return 0;
    if (!GetDiskFreeSpaceExA(dir, &avail, NULL, NULL)) return 0;
    *free_bytes = avail.QuadPart;
    return 1;
}

int pf_cluster_size(const char *folder, uint64_t *cluster)
{
    char root[MAX_PATH + 1];
    DWORD per_cluster = 0, per_sector = 0, free_clusters = 0, clusters = 0;
    DWORD a = GetFileAttributesA(folder);
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    /* GetDiskFreeSpaceA takes only a volume's root ("D:\", "\\server\share\",
       or the folder a volume is mounted on), never a folder inside it. */
    if (!GetVolumePathNameA(folder, root, sizeof root)) return 0;
    if (!GetDiskFreeSpaceA(root, &per_cluster, &per_sector, &free_clusters, &clusters)) return 0;
    if (per_cluster == 0 || per_sector == 0) return 0;
    *cluster = (uint64_t)per_cluster * per_sector;
    return 1;
}

size_t pf_path_chars(const char *path)
{
    int n = MultiByteToWideChar(CP_ACP, 0, path, -1, NULL, 0);
    return n > 0 ? (size_t)n - 1 : strlen(path);
}

size_t pf_current_dir(char *out, size_t cap)
{
    DWORD n = GetCurrentDirectoryA((DWORD)cap, out);
    return (n == 0 || n >= cap) ? 0 : n;
}

int pf_set_current_dir(const char *folder) { return SetCurrentDirectoryA(folder) ? 1 : 0; }

#endif
