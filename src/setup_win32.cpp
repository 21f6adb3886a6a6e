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
       from a downloads folder, where a planted DLL would otherwise be found.
       Windows 7 without update KB2533623 lacks the call, and an import of it
       would keep the setup from starting at all: it is looked up, and where
       it is missing the current folder at least leaves the search. */
    typedef BOOL(WINAPI * default_dirs_fn)(DWORD);
    default_dirs_fn default_dirs =
        (default_dirs_fn)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    if (!default_dirs || !default_dirs(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryA("");
    /* Before any drive is probed: an empty drive, or a disc taken out during
       the copy, must fail the call and let the setup answer in its own words,
       not stop everything with a system box of its own. */
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    return setup_main(instance, show);
}

#endif
