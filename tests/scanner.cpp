// scanner - a stand-in for a virus scanner: watches a folder and, each time a
// file named kelpmire.exe or uninstall.exe appears or changes there, opens it
// as soon as its writer lets go, sharing it for reading only, and holds it for
// a while, as scanners hold each new executable to examine it.
//
//   scanner FOLDER MILLISECONDS   prints "watching" and its process id on
//                                 the next line once it watches, then runs
//                                 until killed; exit 1 when the folder cannot
//                                 be watched.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static void hold(const char *folder, const WCHAR *name, DWORD ms)
{
    WCHAR path[MAX_PATH * 2];
    swprintf(path, MAX_PATH * 2, L"%hs\\%ls", folder, name);
    /* The writer holds the file without sharing until it is done: the open
       succeeds once it has let go. */
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 500 && h == INVALID_HANDLE_VALUE; i++) {
        h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_NOT_FOUND) return;
            Sleep(10);
        }
    }
    if (h == INVALID_HANDLE_VALUE) return;
    Sleep(ms);
    CloseHandle(h);
}

int main(int argc, char **argv)
{
    if (argc != 3) return 2;
    DWORD ms = (DWORD)atol(argv[2]);
    HANDLE dir = CreateFileA(argv[1], FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (dir == INVALID_HANDLE_VALUE) {
        printf("cannot watch %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    printf("watching\n%lu\n", GetCurrentProcessId());
    fflush(stdout);
    static DWORD buf[16384];
    for (;;) {
        DWORD got = 0;
        if (!ReadDirectoryChangesW(dir, buf, sizeof buf, FALSE,
                                   FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                       FILE_NOTIFY_CHANGE_SIZE,
                                   &got, NULL, NULL))
            return 1;
        if (got == 0) continue;
        for (FILE_NOTIFY_INFORMATION *n = (FILE_NOTIFY_INFORMATION *)buf;;
             n = (FILE_NOTIFY_INFORMATION *)((char *)n + n->NextEntryOffset)) {
            WCHAR name[MAX_PATH];
            size_t len = n->FileNameLength / sizeof(WCHAR);
            if (len >= MAX_PATH) len = MAX_PATH - 1;
            wmemcpy(name, n->FileName, len);
            name[len] = 0;
            int ours = _wcsicmp(name, L"kelpmire.exe") == 0 || _wcsicmp(name, L"uninstall.exe") == 0;
            if (ours && n->Action != FILE_ACTION_REMOVED && n->Action != FILE_ACTION_RENAMED_OLD_NAME)
                hold(argv[1], name, ms);
            if (!n->NextEntryOffset) break;
        }
    }
}
