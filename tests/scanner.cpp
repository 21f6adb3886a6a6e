// scanner - a stand-in for a virus scanner: opens each new version of the
// watched files in a folder the moment its writer lets go, sharing it for
// reading only, and holds it for a while, as scanners hold each new
// executable to examine it.
//
//   scanner FOLDER MILLISECONDS|forever [NAME...]
//       NAME: the files to watch in FOLDER (default kelpmire.exe,
//       kelpmire.new and uninstall.exe). Prints "watching" and its process id
//       on the next line once it watches, then runs until killed; with
//       forever a version caught stays held until then. Exit 2 on bad
//       arguments.
//
// Change notifications come too late for this under Wine: a setup that writes
// a file, closes it and opens it again at once is past its second open before
// the notice arrives. So the names are polled in a tight loop instead. A file
// whose size or write time changed is opened again and again: the open fails
// with a sharing violation while its writer still has it open for writing and
// succeeds right after the writer closes it. What is present at the start
// counts as examined already, and a version (file index, write time and size)
// is held once: a file moved onto a watched name keeps its version.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum { MAX_NAMES = 16, MAX_HOLDS = 64, MAX_VERSIONS = 256 };

struct stamp {
    FILETIME written;
    DWORD size_high, size_low;
};

struct watched {
    WCHAR path[MAX_PATH * 2];
    int present;   // seen present at the last poll
    int pending;   // changed since it was last opened: to be caught
    stamp seen;    // as it was when it was last opened (or at the start)
};

struct version {
    DWORD volume, index_high, index_low;
    stamp s;
};

struct hold {
    HANDLE h;
    DWORD since;
};

static int same_stamp(const stamp *a, const stamp *b)
{
    return CompareFileTime(&a->written, &b->written) == 0 && a->size_high == b->size_high &&
           a->size_low == b->size_low;
}

static int look(watched *w, stamp *s)
{
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExW(w->path, GetFileExInfoStandard, &a)) return 0;
    s->written = a.ftLastWriteTime;
    s->size_high = a.nFileSizeHigh;
    s->size_low = a.nFileSizeLow;
    return 1;
}

static version versions[MAX_VERSIONS];
static int version_count;

// 1 when the version was held before; otherwise remembers it.
static int held_before(const BY_HANDLE_FILE_INFORMATION *info)
{
    version v = {info->dwVolumeSerialNumber, info->nFileIndexHigh, info->nFileIndexLow,
                 {info->ftLastWriteTime, info->nFileSizeHigh, info->nFileSizeLow}};
    for (int i = 0; i < version_count; i++) {
        const version *o = &versions[i];
        if (o->volume == v.volume && o->index_high == v.index_high && o->index_low == v.index_low &&
            same_stamp(&o->s, &v.s))
            return 1;
    }
    versions[version_count++ % MAX_VERSIONS] = v;
    if (version_count > MAX_VERSIONS) version_count = MAX_VERSIONS;
    return 0;
}

// Opens the file as a scanner does; the handle, or INVALID_HANDLE_VALUE while
// its writer still has it (or when it has gone), with w updated.
static HANDLE catch_file(watched *w)
{
    HANDLE h = CreateFileW(w->path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) w->pending = w->present = 0;
        return INVALID_HANDLE_VALUE;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    w->pending = 0;
    w->seen.written = info.ftLastWriteTime;
    w->seen.size_high = info.nFileSizeHigh;
    w->seen.size_low = info.nFileSizeLow;
    if (held_before(&info)) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

int main(int argc, char **argv)
{
    if (argc < 3) return 2;
    int forever = strcmp(argv[2], "forever") == 0;
    DWORD ms = (DWORD)strtoul(argv[2], NULL, 10);
    if (!forever && ms == 0) return 2;
    static const char *const defaults[] = {"kelpmire.exe", "kelpmire.new", "uninstall.exe"};
    const char *const *names = argc > 3 ? (const char *const *)argv + 3 : defaults;
    int n = argc > 3 ? argc - 3 : 3;
    if (n > MAX_NAMES) return 2;
    static watched files[MAX_NAMES];
    for (int i = 0; i < n; i++) {
        watched *w = &files[i];
        swprintf(w->path, MAX_PATH * 2, L"%hs\\%hs", argv[1], names[i]);
        w->present = look(w, &w->seen);
    }
    printf("watching\n%lu\n", GetCurrentProcessId());
    fflush(stdout);
    static hold holds[MAX_HOLDS];
    int hold_count = 0;
    for (;;) {
        for (int i = 0; i < hold_count;) {
            if (!forever && GetTickCount() - holds[i].since >= ms) {
                CloseHandle(holds[i].h);
                holds[i] = holds[--hold_count];
            } else {
                i++;
            }
        }
        for (int i = 0; i < n; i++) {
            watched *w = &files[i];
            stamp now;
            if (!look(w, &now)) {
                w->present = w->pending = 0;
                continue;
            }
            // A new file, or one written since: it is caught once its writer
            // has closed it, however quickly the stamp settles.
            if (!w->present || !same_stamp(&now, &w->seen)) w->pending = 1;
            w->present = 1;
            if (!w->pending || hold_count == MAX_HOLDS) continue;
            HANDLE h = catch_file(w);
            if (h == INVALID_HANDLE_VALUE) continue;
            holds[hold_count].h = h;
            holds[hold_count].since = GetTickCount();
            hold_count++;
        }
        // Gives the writer its turn on a busy machine without missing the
        // moment it closes the file.
        Sleep(0);
    }
}
