// lockfile - holds a file open without sharing, as another program that has it
// open for writing would, so that the setup meets a file it cannot read.
//
//   lockfile PATH SECONDS   prints "locked" once the file is held and its
//                           process id on the next line, then holds it for
//                           SECONDS (or until killed) and exits 0;
//                           exit 1 when the file cannot be opened.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3) return 2;
    HANDLE h = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        printf("cannot open %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    printf("locked\n%lu\n", GetCurrentProcessId());
    fflush(stdout);
    Sleep((DWORD)atoi(argv[2]) * 1000);
    CloseHandle(h);
    return 0;
}
