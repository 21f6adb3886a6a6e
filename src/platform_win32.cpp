/*
 * platform_win32.cpp - the platform services on Windows, one Win32 call each.
 *
 * A pf_file is the HANDLE itself, except that INVALID_HANDLE_VALUE is given out
 * as PF_NO_FILE (null): CreateFileA never returns a null handle on success.
 */
#ifdef _WIN32

#include "platform.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#ifdef KELP_FAULTS
int pf_fail_read_in;
int pf_fail_write_in;
#endif

static pf_file wrap(HANDLE h) { return h == INVALID_HANDLE_VALUE ? PF_NO_FILE : (pf_file)h; }
static HANDLE unwrap(pf_file f) { return f == PF_NO_FILE ? INVALID_HANDLE_VALUE : (HANDLE)f; }

pf_file pf_open_read(const char *path, int sequential)
{
    return wrap(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            sequential ? FILE_FLAG_SEQUENTIAL_SCAN : 0, NULL));
}

pf_file pf_create(const char *path)
{
    return wrap(CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
}

int pf_read(pf_file f, void *buf, uint32_t n, uint32_t *got)
{
    DWORD r = 0;
    *got = 0;
    if (PF_FAULT(pf_fail_read_in)) {
        SetLastError(ERROR_READ_FAULT);
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
    if (f != PF_NO_FILE) CloseHandle(unwrap(f));
}

FILE *pf_fopen(const char *path, const char *mode) { return fopen(path, mode); }

unsigned long pf_last_error(void) { return GetLastError(); }

uint32_t pf_attributes(const char *path) { return GetFileAttributesA(path); }

int pf_set_attributes(const char *path, uint32_t attrs) { return SetFileAttributesA(path, attrs) ? 1 : 0; }

int pf_delete_file(const char *path) { return DeleteFileA(path) ? 1 : 0; }

int pf_copy_file(const char *from, const char *to) { return CopyFileA(from, to, FALSE) ? 1 : 0; }

int pf_make_dir(const char *path) { return CreateDirectoryA(path, NULL) ? 1 : 0; }

int pf_remove_dir(const char *path) { return RemoveDirectoryA(path) ? 1 : 0; }

struct pf_find_s {
    HANDLE h;
};

static void fill_entry(const WIN32_FIND_DATAA *fd, pf_entry *out)
{
    snprintf(out->name, sizeof out->name, "%s", fd->cFileName);
    out->attrs = fd->dwFileAttributes;
    out->size = (fd->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    ? 0
                    : ((uint64_t)fd->nFileSizeHigh << 32) | fd->nFileSizeLow;
}

pf_find pf_find_first(const char *pattern, pf_entry *out)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE) return NULL;
    pf_find f = (pf_find)malloc(sizeof *f);
    if (!f) {
        FindClose(h);
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

int pf_post_message(void *window, unsigned msg, void *block)
{
    return PostMessageA((HWND)window, msg, 0, (LPARAM)block) ? 1 : 0;
}

/* ---- message boxes ---- */

int pf_message_box(const char *text, const char *caption, unsigned flags)
{
    return MessageBoxA(NULL, text, caption, flags);
}

/* ---- resource update ---- */

pf_res_update pf_res_update_begin(const char *exe)
{
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
    return EndUpdateResourceA((HANDLE)u, discard ? TRUE : FALSE) ? 1 : 0;
}

#endif
