/*
 * uidriver.cpp - a test driver for the setup's windows and message boxes, run
 * under Wine beside the program it drives (same prefix, same display).
 *
 *   uidriver msgbox CAPTION BUTTON [TIMEOUT_MS]
 *       Waits for a message box with that caption, prints its text on one line,
 *       then presses the button whose text (without '&') is BUTTON and waits
 *       until the box has gone. Exit 0 when pressed, 1 when no such box came
 *       up in time or it did not go, 2 on usage.
 *   uidriver msgbox CAPTION BUTTON TIMEOUT_MS TEXT
 *       The same for the box with that caption and that text, when two are open.
 *   uidriver nomsgbox CAPTION [WAIT_MS]
 *       Exit 0 when no message box with that caption appears within the wait.
 *   uidriver boxowner CAPTION [TEXT]
 *       Waits for the box like msgbox and prints "owner<TAB>class<TAB>title" of
 *       the window that owns it ("owner<TAB>none" when none does).
 *
 * Commands may be chained: "uidriver press 105 -- msgbox CAPTION No" runs both.
 *
 * The setup window (class "KelpmireSetup"), waited for up to 30 s:
 *   uidriver dump
 *       "window<TAB>client width<TAB>client height<TAB>screen x<TAB>screen y"
 *       "frame<TAB>screen x<TAB>screen y<TAB>width<TAB>height" (the outer rectangle)
 *       "title<TAB>text", then one line per child in creation order:
 *       "style<TAB>style hex<TAB>extended style hex" of the window,
 *       "child<TAB>class<TAB>text<TAB>style hex<TAB>id<TAB>x<TAB>y<TAB>w<TAB>h<TAB>enabled<TAB>checked
 *        <TAB>extended style hex"
 *       (position in client coordinates), then "progress<TAB>pos" and
 *       "list<TAB>line" for every list box line.
 *   uidriver press ID          presses the push button with that control id
 *   uidriver start
 *       presses Install and prints what the window shows once the command has
 *       been handled and before any message of the install has been:
 *       "status<TAB>text", "install<TAB>text<TAB>enabled", "close<TAB>text".
 *   uidriver settext N TEXT    sets the text of the N-th edit box (0 = disc, 1 = folder)
 *   uidriver check N 0|1       sets the N-th check box (0 = Start menu, 1 = desktop)
 *   uidriver close             asks the window to close (WM_CLOSE)
 *   uidriver queryend          sends WM_QUERYENDSESSION as a shutdown does and
 *       prints "queryend<TAB>answer"
 *   uidriver endsession        sends WM_ENDSESSION(TRUE), the session ending
 *       anyway, and prints "endsession<TAB>ms" once the window has returned
 *   uidriver wait TEXT [TIMEOUT_MS]
 *       waits until the status line (the child whose text is shown there)
 *       reads TEXT; exit 1 on time-out.
 *   uidriver key NAME...       presses keys as the keyboard does (SendInput), into
 *       the window that has the focus: tab, shift+tab, enter, escape, space
 *   uidriver focus [FROM]      prints "focus<TAB>index": the child with the
 *       keyboard focus (its index in creation order; -1 the window itself, -2
 *       none of it); with FROM, first waits until the focus has left that index
 *   uidriver waitcheck N 0|1   waits until the N-th check box reads 0 or 1
 *   uidriver measure           the texts measured in their controls' fonts,
 *       from inside the setup (uihook.dll); see there
 *   uidriver dpichange DPI     sends the window WM_DPICHANGED for DPI, from inside
 *   uidriver msgfont DPI       prints "msgfont<TAB>lfHeight<TAB>face": the
 *       system's message font at that DPI
 *
 * The driver is per-monitor DPI aware, so that it sees the setup's positions
 * and sizes as the setup itself does at any DPI.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* A window's text as UTF-8. Wide messages throughout: under Wine, ANSI reads
   of the setup's edit and list boxes came back empty or cut to one character
   (the setup runs with the UTF-8 code page, this driver without). */
static void utf8_of(const wchar_t *w, char *out, int cap)
{
    if (!WideCharToMultiByte(CP_UTF8, 0, w, -1, out, cap, NULL, NULL)) out[0] = 0;
}

static void text_of(HWND w, char *out, int cap)
{
    wchar_t buf[4096];
    buf[0] = 0;
    DWORD_PTR len;
    if (!SendMessageTimeoutW(w, WM_GETTEXT, sizeof buf / sizeof buf[0], (LPARAM)buf, SMTO_ABORTIFHUNG, 10000, &len))
        buf[0] = 0;
    utf8_of(buf, out, cap);
}

struct find_ctx {
    const char *caption;
    const char *text; /* none: any */
    HWND found;
};

static void box_text(HWND box, char *out, int cap);

static BOOL CALLBACK find_box(HWND w, LPARAM lp)
{
    find_ctx *c = (find_ctx *)lp;
    char cls[64], title[512];
    wchar_t wide[512];
    GetClassNameA(w, cls, sizeof cls);
    /* The caption as the system keeps it: no message to a window that may be
       busy, of any process. */
    if (!GetWindowTextW(w, wide, sizeof wide / sizeof wide[0])) wide[0] = 0;
    utf8_of(wide, title, sizeof title);
    if (strcmp(cls, "#32770") == 0 && strcmp(title, c->caption) == 0 && IsWindowVisible(w)) {
        if (c->text) {
            char text[2048];
            box_text(w, text, sizeof text);
            if (strcmp(text, c->text) != 0) return TRUE;
        }
        c->found = w;
        return FALSE;
    }
    return TRUE;
}

static HWND wait_box(const char *caption, DWORD timeout_ms, const char *text = NULL)
{
    DWORD start = GetTickCount();
    for (;;) {
        find_ctx c = {caption, text, NULL};
        EnumWindows(find_box, (LPARAM)&c);
        if (c.found) return c.found;
        if (GetTickCount() - start > timeout_ms) return NULL;
        Sleep(50);
    }
}

/* The button text without its '&' accelerator marks. */
static void plain_text(HWND w, char *out, int cap)
{
    char raw[256];
    text_of(w, raw, sizeof raw);
    int j = 0;
    for (int i = 0; raw[i] && j < cap - 1; i++)
        if (raw[i] != '&') out[j++] = raw[i];
    out[j] = 0;
}

static int press(HWND box, const char *button)
{
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        char cls[64], text[256];
        GetClassNameA(c, cls, sizeof cls);
        if (_stricmp(cls, "Button") != 0) continue;
        plain_text(c, text, sizeof text);
        if (_stricmp(text, button) != 0) continue;
        int id = GetDlgCtrlID(c);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)c);
        return 1;
    }
    return 0;
}

/* The message: the box's static text control (the icon is a static too, without text). */
static void box_text(HWND box, char *out, int cap)
{
    out[0] = 0;
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        char cls[64];
        GetClassNameA(c, cls, sizeof cls);
        if (_stricmp(cls, "Static") != 0) continue;
        text_of(c, out, cap);
        if (out[0]) return;
    }
}

static HWND wait_setup(DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND w = FindWindowA("KelpmireSetup", NULL);
        if (w && IsWindowVisible(w)) return w;
        if (GetTickCount() - start > timeout_ms) return NULL;
        Sleep(50);
    }
}

/* The children of the setup window in creation order (the z-order of siblings
   created without an insert position). */
static int children(HWND w, HWND *out, int cap)
{
    int n = 0;
    for (HWND c = GetWindow(w, GW_CHILD); c && n < cap; c = GetWindow(c, GW_HWNDNEXT)) out[n++] = c;
    return n;
}

static HWND nth_of_class(HWND w, const char *cls, DWORD style_mask, DWORD style_value, int index)
{
    HWND kids[64];
    int n = children(w, kids, 64);
    for (int i = 0; i < n; i++) {
        char c[64];
        GetClassNameA(kids[i], c, sizeof c);
        DWORD style = (DWORD)GetWindowLongA(kids[i], GWL_STYLE);
        if (_stricmp(c, cls) == 0 && (style & style_mask) == style_value && index-- == 0) return kids[i];
    }
    return NULL;
}

static void one_line(char *s)
{
    for (; *s; s++)
        if (*s == '\n' || *s == '\r' || *s == '\t') *s = ' ';
}

static int dump(HWND w)
{
    RECT rc;
    POINT origin = {0, 0};
    GetClientRect(w, &rc);
    ClientToScreen(w, &origin);
    printf("window\t%ld\t%ld\t%ld\t%ld\n", rc.right - rc.left, rc.bottom - rc.top, origin.x, origin.y);
    RECT fr;
    GetWindowRect(w, &fr);
    printf("frame\t%ld\t%ld\t%ld\t%ld\n", fr.left, fr.top, fr.right - fr.left, fr.bottom - fr.top);
    char text[4096], cls[64];
    text_of(w, text, sizeof text);
    printf("title\t%s\n", text);
    printf("style\t%08lx\t%08lx\n", (unsigned long)GetWindowLongA(w, GWL_STYLE),
           (unsigned long)GetWindowLongA(w, GWL_EXSTYLE));
    HWND kids[64];
    int n = children(w, kids, 64);
    HWND list = NULL, prog = NULL;
    for (int i = 0; i < n; i++) {
        HWND c = kids[i];
        GetClassNameA(c, cls, sizeof cls);
        text_of(c, text, sizeof text);
        one_line(text);
        RECT r;
        GetWindowRect(c, &r);
        POINT tl = {r.left, r.top};
        ScreenToClient(w, &tl);
        DWORD style = (DWORD)GetWindowLongA(c, GWL_STYLE);
        LRESULT checked = _stricmp(cls, "Button") == 0 ? SendMessageA(c, BM_GETCHECK, 0, 0) : 0;
        printf("child\t%s\t%s\t%08lx\t%d\t%ld\t%ld\t%ld\t%ld\t%d\t%d\t%08lx\n", cls, text, (unsigned long)style,
               GetDlgCtrlID(c), tl.x, tl.y, r.right - r.left, r.bottom - r.top, IsWindowEnabled(c) ? 1 : 0,
               (int)checked, (unsigned long)GetWindowLongA(c, GWL_EXSTYLE));
        if (_stricmp(cls, "ListBox") == 0) list = c;
        if (_stricmp(cls, "msctls_progress32") == 0) prog = c;
    }
    if (prog) printf("progress\t%ld\n", (long)SendMessageA(prog, 0x408 /* PBM_GETPOS */, 0, 0));
    if (list) {
        LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; i++) {
            wchar_t line[4096];
            LRESULT len = SendMessageW(list, LB_GETTEXTLEN, (WPARAM)i, 0);
            if (len < 0 || len >= (LRESULT)(sizeof line / sizeof line[0])) continue;
            SendMessageW(list, LB_GETTEXT, (WPARAM)i, (LPARAM)line);
            utf8_of(line, text, sizeof text);
            printf("list\t%s\n", text);
        }
    }
    return 0;
}

/* The status line is the static right below the progress bar. */
static HWND status_line(HWND w)
{
    HWND st = NULL;
    HWND kids[64];
    int n = children(w, kids, 64);
    for (int i = 0; i + 1 < n; i++) {
        char cls[64];
        GetClassNameA(kids[i], cls, sizeof cls);
        if (_stricmp(cls, "msctls_progress32") == 0) st = kids[i + 1];
    }
    return st;
}

/* Sent messages are handled before posted ones, in the order they were sent.
   The Install command goes as a sent message that does not wait, and the text
   queries follow it at once: the window answers them right after the command,
   before it takes the first line that the install thread posts. */
static int start_install(HWND w)
{
    HWND st = status_line(w), install = GetDlgItem(w, 104), close = GetDlgItem(w, 105);
    if (!st || !install || !close) return 1;
    char status[1024], install_text[256], close_text[256];
    SendNotifyMessageA(w, WM_COMMAND, MAKEWPARAM(104, BN_CLICKED), (LPARAM)install);
    text_of(st, status, sizeof status);
    text_of(install, install_text, sizeof install_text);
    text_of(close, close_text, sizeof close_text);
    int enabled = IsWindowEnabled(install) ? 1 : 0;
    printf("status\t%s\ninstall\t%s\t%d\nclose\t%s\n", status, install_text, enabled, close_text);
    return 0;
}

static int wait_status(HWND w, const char *want, DWORD timeout_ms)
{
    HWND st = status_line(w);
    if (!st) return 1;
    DWORD start = GetTickCount();
    char text[1024];
    for (;;) {
        text_of(st, text, sizeof text);
        if (strcmp(text, want) == 0) return 0;
        if (GetTickCount() - start > timeout_ms) {
            fprintf(stderr, "uidriver: status reads \"%s\"\n", text);
            return 1;
        }
        Sleep(50);
    }
}

/* The index of a child in creation order; -1 for the window, -2 for neither. */
static int child_index(HWND w, HWND c)
{
    if (c == w) return -1;
    HWND kids[64];
    int n = children(w, kids, 64);
    for (int i = 0; i < n; i++)
        if (kids[i] == c) return i;
    return -2;
}

static int focus_index(HWND w)
{
    GUITHREADINFO gui;
    memset(&gui, 0, sizeof gui);
    gui.cbSize = sizeof gui;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(w, NULL), &gui)) return -2;
    return child_index(w, gui.hwndFocus);
}

static int send_keys(int argc, char **argv)
{
    for (int i = 2; i < argc; i++) {
        const char *k = argv[i];
        int shift = strncmp(k, "shift+", 6) == 0;
        if (shift) k += 6;
        WORD vk = strcmp(k, "tab") == 0      ? VK_TAB
                  : strcmp(k, "enter") == 0  ? VK_RETURN
                  : strcmp(k, "escape") == 0 ? VK_ESCAPE
                  : strcmp(k, "space") == 0  ? VK_SPACE
                                             : 0;
        if (!vk) return 2;
        INPUT in[4];
        int n = 0;
        memset(in, 0, sizeof in);
        if (shift) in[n++].ki.wVk = VK_SHIFT;
        in[n++].ki.wVk = vk;
        in[n].ki.wVk = vk;
        in[n++].ki.dwFlags = KEYEVENTF_KEYUP;
        if (shift) {
            in[n].ki.wVk = VK_SHIFT;
            in[n++].ki.dwFlags = KEYEVENTF_KEYUP;
        }
        for (int j = 0; j < n; j++) in[j].type = INPUT_KEYBOARD;
        if (SendInput((UINT)n, in, sizeof in[0]) != (UINT)n) return 1;
    }
    return 0;
}

/* Runs one command of uihook.dll on the setup's window thread and prints its
   answer. */
static int hooked(HWND w, const char *cmd)
{
    char dll[MAX_PATH];
    DWORD len = GetModuleFileNameA(NULL, dll, sizeof dll);
    char *slash = strrchr(dll, '\\');
    if (!len || !slash) return 1;
    snprintf(slash + 1, sizeof dll - (slash + 1 - dll), "uihook.dll");
    HMODULE mod = LoadLibraryA(dll);
    HOOKPROC proc = mod ? (HOOKPROC)(void *)GetProcAddress(mod, "uihook_proc") : NULL;
    HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 65536, "uidriver-channel");
    char *chan = map ? (char *)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 65536) : NULL;
    HHOOK hook = proc ? SetWindowsHookExA(WH_CALLWNDPROC, proc, mod, GetWindowThreadProcessId(w, NULL)) : NULL;
    int rc = 1;
    if (chan && hook) {
        snprintf(chan, 65536, "%s", cmd);
        DWORD_PTR res;
        if (SendMessageTimeoutA(w, RegisterWindowMessageA("uidriver-command"), 0, 0, SMTO_ABORTIFHUNG, 30000, &res) &&
            strcmp(chan, cmd) != 0 && strncmp(chan, "failed", 6) != 0) {
            fputs(chan, stdout);
            rc = 0;
        } else {
            fprintf(stderr, "uidriver: %s: %s\n", cmd, strcmp(chan, cmd) == 0 ? "the hook did not run" : chan);
        }
    }
    if (hook) UnhookWindowsHookEx(hook);
    if (chan) UnmapViewOfFile(chan);
    if (map) CloseHandle(map);
    return rc;
}

static int message_font(UINT dpi)
{
    typedef BOOL(WINAPI * spi_for_dpi)(UINT, UINT, PVOID, UINT, UINT);
    spi_for_dpi f = (spi_for_dpi)(void *)GetProcAddress(GetModuleHandleA("user32.dll"), "SystemParametersInfoForDpi");
    NONCLIENTMETRICSW ncm;
    memset(&ncm, 0, sizeof ncm);
    ncm.cbSize = sizeof ncm;
    if (!f || !f(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0, dpi)) return 1;
    char face[128];
    utf8_of(ncm.lfMessageFont.lfFaceName, face, sizeof face);
    printf("msgfont\t%ld\t%s\n", (long)ncm.lfMessageFont.lfHeight, face);
    return 0;
}

static int window_command(int argc, char **argv)
{
    HWND w = wait_setup(30000);
    if (!w) {
        fprintf(stderr, "uidriver: no setup window\n");
        return 1;
    }
    const char *cmd = argv[1];
    if (strcmp(cmd, "dump") == 0) return dump(w);
    if (strcmp(cmd, "press") == 0 && argc >= 3) {
        HWND b = GetDlgItem(w, atoi(argv[2]));
        if (!b) return 1;
        PostMessageA(w, WM_COMMAND, MAKEWPARAM(atoi(argv[2]), BN_CLICKED), (LPARAM)b);
        return 0;
    }
    if (strcmp(cmd, "start") == 0) return start_install(w);
    if (strcmp(cmd, "settext") == 0 && argc >= 4) {
        HWND e = nth_of_class(w, "Edit", 0, 0, atoi(argv[2]));
        return e && SendMessageA(e, WM_SETTEXT, 0, (LPARAM)argv[3]) ? 0 : 1;
    }
    if (strcmp(cmd, "check") == 0 && argc >= 4) {
        HWND c = nth_of_class(w, "Button", BS_TYPEMASK, BS_AUTOCHECKBOX, atoi(argv[2]));
        if (!c) return 1;
        SendMessageA(c, BM_SETCHECK, atoi(argv[3]) ? BST_CHECKED : BST_UNCHECKED, 0);
        return 0;
    }
    if (strcmp(cmd, "close") == 0) {
        PostMessageA(w, WM_CLOSE, 0, 0);
        return 0;
    }
    if (strcmp(cmd, "queryend") == 0) {
        DWORD_PTR answer = 0;
        if (!SendMessageTimeoutA(w, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 20000, &answer)) return 1;
        printf("queryend\t%lu\n", (unsigned long)answer);
        return 0;
    }
    if (strcmp(cmd, "endsession") == 0) {
        DWORD_PTR unused = 0, start = GetTickCount();
        if (!SendMessageTimeoutA(w, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 30000, &unused)) return 1;
        printf("endsession\t%lu\n", (unsigned long)(GetTickCount() - start));
        return 0;
    }
    if (strcmp(cmd, "wait") == 0 && argc >= 3) return wait_status(w, argv[2], argc > 3 ? (DWORD)atol(argv[3]) : 60000);
    if (strcmp(cmd, "key") == 0 && argc >= 3) return send_keys(argc, argv);
    if (strcmp(cmd, "focus") == 0) {
        int f = focus_index(w);
        if (argc >= 3) {
            /* The keys go through the input queue after any posted message:
               wait until the window has acted on them. */
            int from = atoi(argv[2]);
            for (DWORD start = GetTickCount(); f == from && GetTickCount() - start < 20000; f = focus_index(w))
                Sleep(20);
        }
        printf("focus\t%d\n", f);
        return 0;
    }
    if (strcmp(cmd, "waitcheck") == 0 && argc >= 4) {
        HWND c = nth_of_class(w, "Button", BS_TYPEMASK, BS_AUTOCHECKBOX, atoi(argv[2]));
        if (!c) return 1;
        LRESULT want = atoi(argv[3]) ? BST_CHECKED : BST_UNCHECKED;
        for (DWORD start = GetTickCount(); GetTickCount() - start < 20000; Sleep(20))
            if (SendMessageA(c, BM_GETCHECK, 0, 0) == want) return 0;
        return 1;
    }
    if (strcmp(cmd, "measure") == 0) return hooked(w, "measure");
    if (strcmp(cmd, "dpichange") == 0 && argc >= 3) {
        char c[64];
        snprintf(c, sizeof c, "dpichange %d", atoi(argv[2]));
        return hooked(w, c);
    }
    return 2;
}

static int one_command(int argc, char **argv)
{
    if (argc >= 4 && strcmp(argv[1], "msgbox") == 0) {
        DWORD timeout = argc > 4 ? (DWORD)atol(argv[4]) : 30000;
        HWND box = wait_box(argv[2], timeout, argc > 5 ? argv[5] : NULL);
        if (!box) {
            fprintf(stderr, "uidriver: no message box \"%s\"\n", argv[2]);
            return 1;
        }
        char text[2048];
        box_text(box, text, sizeof text);
        for (char *p = text; *p; p++)
            if (*p == '\n' || *p == '\r') *p = ' ';
        printf("%s\n", text);
        fflush(stdout);
        if (!press(box, argv[3])) {
            fprintf(stderr, "uidriver: no button \"%s\"\n", argv[3]);
            return 1;
        }
        /* The press is posted: wait for the box to go, so that the next command
           cannot find this box again. */
        for (DWORD start = GetTickCount(); IsWindow(box) && GetTickCount() - start < timeout;) Sleep(20);
        return IsWindow(box) ? 1 : 0;
    }
    if (argc >= 3 && strcmp(argv[1], "boxowner") == 0) {
        HWND box = wait_box(argv[2], 30000, argc > 3 ? argv[3] : NULL);
        if (!box) {
            fprintf(stderr, "uidriver: no message box \"%s\"\n", argv[2]);
            return 1;
        }
        HWND owner = GetWindow(box, GW_OWNER);
        char cls[64], title[512];
        wchar_t wide[512];
        if (!owner) {
            printf("owner\tnone\n");
            return 0;
        }
        GetClassNameA(owner, cls, sizeof cls);
        if (!GetWindowTextW(owner, wide, sizeof wide / sizeof wide[0])) wide[0] = 0;
        utf8_of(wide, title, sizeof title);
        printf("owner\t%s\t%s\n", cls, title);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "msgfont") == 0) return message_font((UINT)atoi(argv[2]));
    if (argc >= 3 && strcmp(argv[1], "nomsgbox") == 0) {
        DWORD wait = argc > 3 ? (DWORD)atol(argv[3]) : 3000;
        return wait_box(argv[2], wait) ? 1 : 0;
    }
    if (argc >= 2 && (strcmp(argv[1], "dump") == 0 || strcmp(argv[1], "press") == 0 || strcmp(argv[1], "start") == 0 ||
                      strcmp(argv[1], "settext") == 0 || strcmp(argv[1], "check") == 0 ||
                      strcmp(argv[1], "close") == 0 || strcmp(argv[1], "wait") == 0 ||
                      strcmp(argv[1], "queryend") == 0 || strcmp(argv[1], "endsession") == 0 || strcmp(argv[1], "key") == 0 ||
                      strcmp(argv[1], "focus") == 0 || strcmp(argv[1], "waitcheck") == 0 ||
                      strcmp(argv[1], "measure") == 0 || strcmp(argv[1], "dpichange") == 0)) {
        int rc = window_command(argc, argv);
        if (rc != 2) return rc;
    }
    fprintf(stderr, "usage: uidriver msgbox CAPTION BUTTON [TIMEOUT_MS] | nomsgbox CAPTION [WAIT_MS]\n");
    return 2;
}

/* Several commands in one run, separated by "--", saves a Wine start each:
   they run in order and the first that fails ends the run with its code. */
int main(int argc, char **argv)
{
    /* Per-monitor aware before any window call: an unaware caller is shown
       other windows' positions scaled to 96 DPI. Looked up: older systems lack it. */
    typedef BOOL(WINAPI * set_awareness)(HANDLE);
    set_awareness aware =
        (set_awareness)(void *)GetProcAddress(GetModuleHandleA("user32.dll"), "SetProcessDpiAwarenessContext");
    if (!aware || !aware((HANDLE)-4 /* DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2 */)) SetProcessDPIAware();
    int first = 1;
    for (int i = 1; i <= argc; i++) {
        if (i < argc && strcmp(argv[i], "--") != 0) continue;
        char *saved = argv[first - 1];
        argv[first - 1] = argv[0];
        int rc = one_command(i - first + 1, argv + first - 1);
        argv[first - 1] = saved;
        fflush(stdout);
        if (rc != 0) return rc;
        first = i + 1;
    }
    return 0;
}
