/*
 * standin_game.cpp - a stand-in for the game executable, embedded by default.
 *
 * It shows the folder it runs in and whether the installed disc ("game\cd")
 * and hard-disk ("game\hd") folders are there, so that an install and its
 * shortcuts can be tried without the real game. It has no icon of its own.
 */
#include <windows.h>

#include <stdio.h>

static const char *there(const char *path)
{
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) ? "present" : "missing";
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char cwd[MAX_PATH], text[1024];
    if (!GetCurrentDirectoryA(sizeof cwd, cwd)) cwd[0] = 0;
    snprintf(text, sizeof text, "Running in %s\n\ngame\\cd: %s\ngame\\hd: %s", cwd, there("game\\cd"),
             there("game\\hd"));
    MessageBoxA(NULL, text, "The Kelpmire (stand-in)", MB_OK | MB_ICONINFORMATION);
    return 0;
}
