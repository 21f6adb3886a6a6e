/*
 * uihook.cpp - uihook.dll, which uidriver hooks into the setup's UI thread to
 * look at the window from the inside: a font handle and a device context mean
 * nothing in another process, so the texts are measured where they are drawn.
 *
 * uidriver sets a WH_CALLWNDPROC hook on the setup's UI thread with this DLL,
 * writes one command into the shared section "uidriver-channel" and sends the
 * registered message "uidriver-command" to the setup window; the hook runs the
 * command on that thread and writes its answer, lines of text, in place of it.
 *
 *   measure
 *       one line per child in creation order:
 *       "measure<TAB>class<TAB>text width<TAB>text height<TAB>client width<TAB>
 *        client height<TAB>font height (lfHeight)<TAB>face<TAB>line height"
 *       the text measured with DrawText(DT_CALCRECT) in the child's own font:
 *       the widest line and the height of all lines.
 *   dpichange DPI
 *       sends the window WM_DPICHANGED for that DPI with the rectangle that the
 *       system would suggest: the same top left corner, the outer size of the
 *       layout's client area at that DPI; prints
 *       "dpichange<TAB>DPI<TAB>x<TAB>y<TAB>width<TAB>height", that rectangle.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { CHANNEL_SIZE = 65536 };

static void utf8_of(const wchar_t *w, char *out, int cap)
{
    if (!WideCharToMultiByte(CP_UTF8, 0, w, -1, out, cap, NULL, NULL)) out[0] = 0;
}

static int measure(HWND w, char *out, int cap)
{
    int n = 0;
    out[0] = 0;
    for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t text[2048], face[LF_FACESIZE];
        char cls[64], face8[128];
        GetClassNameA(c, cls, sizeof cls);
        if (!GetWindowTextW(c, text, sizeof text / sizeof text[0])) text[0] = 0;
        HFONT font = (HFONT)SendMessageW(c, WM_GETFONT, 0, 0);
        LOGFONTW lf;
        memset(&lf, 0, sizeof lf);
        if (font) GetObjectW(font, sizeof lf, &lf);
        memcpy(face, lf.lfFaceName, sizeof face);
        utf8_of(face, face8, sizeof face8);
        HDC dc = GetDC(c);
        HGDIOBJ old = font ? SelectObject(dc, font) : NULL;
        RECT r = {0, 0, 0, 0};
        if (text[0]) DrawTextW(dc, text, -1, &r, DT_CALCRECT | DT_LEFT | DT_NOCLIP);
        TEXTMETRICW tm;
        memset(&tm, 0, sizeof tm);
        GetTextMetricsW(dc, &tm);
        if (old) SelectObject(dc, old);
        ReleaseDC(c, dc);
        RECT client;
        GetClientRect(c, &client);
        n += snprintf(out + n, cap - n, "measure\t%s\t%ld\t%ld\t%ld\t%ld\t%ld\t%s\t%ld\n", cls, r.right - r.left,
                      r.bottom - r.top, client.right, client.bottom, (long)lf.lfHeight, face8, (long)tm.tmHeight);
        if (n >= cap) return 0;
    }
    return 1;
}

static int dpichange(HWND w, UINT dpi, char *out, int cap)
{
    typedef BOOL(WINAPI * adjust_for_dpi)(LPRECT, DWORD, BOOL, DWORD, UINT);
    adjust_for_dpi adjust =
        (adjust_for_dpi)(void *)GetProcAddress(GetModuleHandleA("user32.dll"), "AdjustWindowRectExForDpi");
    RECT frame, r = {0, 0, MulDiv(630, (int)dpi, 96), MulDiv(420, (int)dpi, 96)};
    GetWindowRect(w, &frame);
    if (!adjust || !adjust(&r, (DWORD)GetWindowLongW(w, GWL_STYLE), FALSE, (DWORD)GetWindowLongW(w, GWL_EXSTYLE), dpi))
        return 0;
    RECT suggested = {frame.left, frame.top, frame.left + r.right - r.left, frame.top + r.bottom - r.top};
    SendMessageW(w, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), (LPARAM)&suggested);
    snprintf(out, cap, "dpichange\t%u\t%ld\t%ld\t%ld\t%ld\n", dpi, suggested.left, suggested.top,
             suggested.right - suggested.left, suggested.bottom - suggested.top);
    return 1;
}

extern "C" __declspec(dllexport) LRESULT CALLBACK uihook_proc(int code, WPARAM wp, LPARAM lp)
{
    static UINT command_msg;
    if (!command_msg) command_msg = RegisterWindowMessageA("uidriver-command");
    const CWPSTRUCT *m = (const CWPSTRUCT *)lp;
    if (code == HC_ACTION && m->message == command_msg) {
        HANDLE h = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "uidriver-channel");
        char *chan = h ? (char *)MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, CHANNEL_SIZE) : NULL;
        if (chan) {
            char cmd[256];
            snprintf(cmd, sizeof cmd, "%s", chan);
            int ok = 0;
            if (strcmp(cmd, "measure") == 0)
                ok = measure(m->hwnd, chan, CHANNEL_SIZE);
            else if (strncmp(cmd, "dpichange ", 10) == 0)
                ok = dpichange(m->hwnd, (UINT)atoi(cmd + 10), chan, CHANNEL_SIZE);
            if (!ok) snprintf(chan, CHANNEL_SIZE, "failed\t%s\n", cmd);
            UnmapViewOfFile(chan);
        }
        if (h) CloseHandle(h);
    }
    return CallNextHookEx(NULL, code, wp, lp);
}
