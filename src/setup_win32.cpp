/*
 * setup_win32.cpp - the Windows entry point. Everything after the first line
 * is the portable start-up in setup.cpp.
 */
#ifdef _WIN32

#include "setup.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    /* Load system DLLs from the system folder only: a setup is often started
       from a downloads folder, where a planted DLL would otherwise be found. */
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    /* Before any drive is probed: an empty drive, or a disc taken out during
       the copy, must fail the call and let the setup answer in its own words,
       not stop everything with a system box of its own. */
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    return setup_main(instance, show);
}

#endif
