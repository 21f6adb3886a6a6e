// holdlock - owns a named mutex for a while, as a setup that is running (or
// just ending) owns the one-setup lock, so that a setup started meanwhile
// meets it.
//
//   holdlock NAME MS   prints "held" once the mutex is owned, holds it for MS
//                      milliseconds and exits 0 without releasing it (the
//                      system lets go of it when the thread ends, as for a
//                      setup that ends); exit 1 when it cannot be owned.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3) return 2;
    HANDLE m = CreateMutexA(NULL, FALSE, argv[1]);
    DWORD w = m ? WaitForSingleObject(m, 0) : WAIT_FAILED;
    if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) {
        printf("cannot own %s (wait %lu, error %lu)\n", argv[1], w, GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    Sleep((DWORD)atoi(argv[2]));
    return 0;
}
