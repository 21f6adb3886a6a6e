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
    return setup_main(instance, show);
}

#endif
