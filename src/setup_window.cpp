/*
 * setup_window.cpp - the setup window: one fixed window laid out in pixels,
 * with the install running on a worker thread.
 *
 * The UI thread owns every window. The worker runs do_install and talks to
 * the window only by posting: WM_SETUP_LOG (from setup_log), WM_SETUP_PROGRESS
 * (from on_progress), WM_SETUP_ASK (from ask_retry, when a file of the disc
 * cannot be read, another program holds a file the install writes, or the
 * game runs from the install folder; the worker then waits for the answer)
 * and WM_SETUP_DONE (at
 * its end). busy and done_ok belong to the UI thread; last belongs to the
 * worker; opts is written only by the Install command, before the worker
 * starts.
 *
 * A confirmed Stop, or the end of the session, is told to the worker through
 * stop_ask (util.h), which every wait of the install hears, the disc's
 * included; it is also the answer to any question: an open one is answered
 * Cancel and closed, and none is asked after it. While an install runs the
 * window asks Windows not to end the session; when it ends anyway, the
 * install is stopped and rolled back before the window lets it go.
 *
 * The layout is given in pixels at 96 DPI and scaled by the window's DPI / 96;
 * the window follows a change of DPI (WM_DPICHANGED) by laying itself out
 * again. Every child but the labels, the progress bar and the status line is a
 * tab stop, so the dialog navigation of the message loop works the window by
 * keyboard. Every message box shown while the window exists is owned by it.
 */
#ifdef _WIN32

#include "cdsrc.h"
#include "setup.h"
#include "setup_log.h"
#include "util.h"

#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { WM_SETUP_PROGRESS = 0x8002, WM_SETUP_DONE = 0x8003, WM_SETUP_ASK = 0x8004 };
enum { ID_IMAGE = 101, ID_FOLDER = 102, ID_BROWSE = 103, ID_INSTALL = 104, ID_CANCEL = 105 };

static HWND hwnd;
static HFONT font;
static HWND e_cd, e_dir, c_start, c_desk, prog, st, lst, b_install, b_close;
static int busy;
static int done_ok;
static int last = -1;
/* The worker is removing what it wrote after a Stop: the status stays. */
static int stopping;
/* The window was asked to close while stopping: it closes at the end. */
static int close_asked;
static int exit_code;
/* The worker's thread while an install runs, for the end of the session. */
static HANDLE worker_thread;

/* The DPI the window is laid out for, and each child with its place at 96 DPI. */
static UINT dpi = 96;
struct placed {
    HWND w;
    int x, y, cx, cy;
};
static placed kids[15];
static int nkids;
/* The child that had the focus when the window was last deactivated. */
static HWND focus;

/* How long the end of the session waits for a stopped install's rollback. */
enum { SESSION_WAIT_MS = 4000 };

static const DWORD WINDOW_STYLE = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
enum { CLIENT_W = 630, CLIENT_H = 420 };

/* A length of the 96-DPI layout at the window's DPI, rounded. */
static int px(int v) { return MulDiv(v, (int)dpi, 96); }

/* The per-monitor DPI calls exist from Windows 10 (1607) on; the setup also runs
   on older Windows, where the manifest makes it system-aware and the screen's
   DPI is the window's. So they are looked up, not imported. */
static FARPROC user32_proc(const char *name) { return GetProcAddress(GetModuleHandleA("user32.dll"), name); }

static UINT window_dpi(HWND w)
{
    typedef UINT(WINAPI * dpi_for_window)(HWND);
    dpi_for_window f = (dpi_for_window)(void *)user32_proc("GetDpiForWindow");
    UINT d = f ? f(w) : 0;
    if (!d) {
        HDC dc = GetDC(NULL);
        d = (UINT)GetDeviceCaps(dc, LOGPIXELSY);
        ReleaseDC(NULL, dc);
    }
    return d ? d : 96;
}

/* The message font at the given DPI. Without the per-DPI query the system's
   metrics (at the system DPI) are scaled to it. */
static HFONT make_font(UINT at)
{
    typedef BOOL(WINAPI * spi_for_dpi)(UINT, UINT, PVOID, UINT, UINT);
    spi_for_dpi f = (spi_for_dpi)(void *)user32_proc("SystemParametersInfoForDpi");
    if (f) {
        NONCLIENTMETRICSW ncm;
        memset(&ncm, 0, sizeof ncm);
        ncm.cbSize = sizeof ncm;
        if (f(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0, at)) return CreateFontIndirectW(&ncm.lfMessageFont);
    }
    /* The size that includes iPaddedBorderWidth, as Vista and later expect. */
    static_assert(sizeof(NONCLIENTMETRICSA) == 344, "NONCLIENTMETRICSA with iPaddedBorderWidth");
    NONCLIENTMETRICSA ncm;
    memset(&ncm, 0, sizeof ncm);
    ncm.cbSize = sizeof ncm;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
    UINT system = window_dpi(NULL);
    ncm.lfMessageFont.lfHeight = MulDiv(ncm.lfMessageFont.lfHeight, (int)at, (int)system);
    return CreateFontIndirectA(&ncm.lfMessageFont);
}

/* The outer size of the window whose client area is the layout's at the DPI. */
static SIZE frame_size(UINT at)
{
    typedef BOOL(WINAPI * adjust_for_dpi)(LPRECT, DWORD, BOOL, DWORD, UINT);
    adjust_for_dpi f = (adjust_for_dpi)(void *)user32_proc("AdjustWindowRectExForDpi");
    RECT r = {0, 0, MulDiv(CLIENT_W, (int)at, 96), MulDiv(CLIENT_H, (int)at, 96)};
    if (!f || !f(&r, WINDOW_STYLE, FALSE, 0, at)) AdjustWindowRect(&r, WINDOW_STYLE, FALSE);
    SIZE s = {r.right - r.left, r.bottom - r.top};
    return s;
}

/* Creates one child of the main window with the dialog font; x, y, w and h are
   96-DPI pixels, kept for a later change of DPI. */
static HWND mk(const char *cls, const char *text, DWORD style, int x, int y, int w, int h, int id)
{
    DWORD ex = strcmp(cls, "EDIT") == 0 ? WS_EX_CLIENTEDGE : 0;
    HWND c = CreateWindowExA(ex, cls, text, style | WS_CHILD | WS_VISIBLE, px(x), px(y), px(w), px(h), hwnd,
                             (HMENU)(INT_PTR)id, GetModuleHandleA(NULL), NULL);
    SendMessageA(c, WM_SETFONT, (WPARAM)font, TRUE);
    if (nkids < (int)(sizeof kids / sizeof kids[0])) kids[nkids++] = {c, x, y, w, h};
    return c;
}

/* The window moved to a monitor of another DPI, or the DPI changed: every
   child again at the new scale with a font made for it, in the rectangle that
   the system suggests for the window. */
static void change_dpi(UINT to, const RECT *suggested)
{
    dpi = to;
    HFONT old = font;
    font = make_font(dpi);
    for (int i = 0; i < nkids; i++) {
        placed *k = &kids[i];
        SetWindowPos(k->w, NULL, px(k->x), px(k->y), px(k->cx), px(k->cy), SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageA(k->w, WM_SETFONT, (WPARAM)font, TRUE);
    }
    if (old) DeleteObject(old); /* no child uses it any more */
    SetWindowPos(hwnd, NULL, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
}

/* Lets the user pick a folder and puts its path into the edit box; for the
   install folder (game_folder set) the game's own folder inside the picked
   one, unless that is empty or holds the game already. */
static void browse_folder(HWND edit, const char *title, int game_folder)
{
    char name[260], path[260];
    BROWSEINFOA bi;
    memset(&bi, 0, sizeof bi);
    bi.hwndOwner = hwnd;
    bi.pszDisplayName = name;
    bi.lpszTitle = title;
    bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    LPITEMIDLIST item = SHBrowseForFolderA(&bi);
    if (!item) return;
    if (SHGetPathFromIDListA(item, path)) {
        char dir[PATH_CAP];
        if (game_folder)
            install_folder_in(path, dir);
        else
            snprintf(dir, sizeof dir, "%s", path);
        SetWindowTextA(edit, dir);
    }
    CoTaskMemFree(item);
}

/* The common controls and the file dialog are loaded by the window only: a
   silent install or an uninstall stage never pays for them (under Wine,
   loading the common controls starts the desktop process). */
static void *window_dll_fn(const char *dll, const char *name)
{
    HMODULE m = LoadLibraryA(dll);
    void *f = m ? (void *)GetProcAddress(m, name) : NULL;
    if (!f) setup_log("cannot load %s from %s (error %lu)", name, dll, (unsigned long)GetLastError());
    return f;
}

static void pick_image(void)
{
    char file[PATH_CAP];
    memset(file, 0, sizeof file);
    GetWindowTextA(e_cd, file, sizeof file);
    if (is_dir(file)) file[0] = 0; /* a folder is no file name to start from */
    OPENFILENAMEA ofn;
    memset(&ofn, 0, sizeof ofn);
    static_assert(sizeof(OPENFILENAMEA) == 152, "the full OPENFILENAMEA");
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd;
    ofn.lpstrFilter = "CD images (*.iso;*.cue;*.bin;*.nrg;*.mds;*.mdf;*.ccd;*.img;*.cdi)\0"
                      "*.iso;*.cue;*.bin;*.nrg;*.mds;*.mdf;*.ccd;*.img;*.cdi\0All files\0*.*\0";
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrTitle = "The Kelpmire CD";
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    typedef BOOL(WINAPI * open_fn)(OPENFILENAMEA *);
    open_fn open = (open_fn)window_dll_fn("comdlg32.dll", "GetOpenFileNameA");
    if (open && open(&ofn)) SetWindowTextA(e_cd, file);
}

/* The progress callback: posts the permille only when it changes. Runs on
   the worker thread. */
static int on_progress(uint64_t done, uint64_t total, void *user)
{
    (void)user;
    if (stop_is_asked()) return 0;
    uint64_t p = total == 0 ? 0 : (uint64_t)((unsigned __int128)done * 1000 / total);
    if (p > 1000) p = 1000;
    if ((int)p == last) return 1;
    if (hwnd && !silent) {
        last = (int)p;
        PostMessageA(hwnd, WM_SETUP_PROGRESS, (WPARAM)p, 0);
    }
    return 1;
}

/* The question about a file of the disc that cannot be read, a file held by
   another program or the game running from the install folder: the worker
   posts it with the name and waits on answered; the UI thread shows the box,
   sets answer and signals. */
static HANDLE answered;
static int answer;
/* A question box is open (on the UI thread). */
static int asking;

/* Asks the window whether to try again; what: 0 for a file of the disc that
   cannot be read, else ASK_HELD_FILE or ASK_GAME_RUNNING. Runs on the worker
   thread. After a Stop nothing is asked: the answer is Cancel. */
static int ask_again(int what, const char *name)
{
    if (stop_is_asked()) return 0;
    size_t n = strlen(name) + 1;
    char *copy = (char *)malloc(n);
    if (!copy || !answered) {
        free(copy);
        return 0;
    }
    memcpy(copy, name, n);
    ResetEvent(answered);
    if (!PostMessageA(hwnd, WM_SETUP_ASK, (WPARAM)what, (LPARAM)copy)) {
        free(copy);
        return 0;
    }
    WaitForSingleObject(answered, INFINITE);
    return answer;
}

/* The disc's question (a cd_ask_fn). */
static int ask_retry(const char *name, void *user)
{
    (void)user;
    return ask_again(0, name);
}

/* The install's question about a file held or the game running (a
   held_ask_fn). */
static int ask_held_retry(int what, const char *path, void *user)
{
    (void)user;
    return ask_again(what, path);
}

/* Shows the question on the UI thread, whose message loop keeps the window
   painted while the box is open. */
static void on_ask(int what, char *name)
{
    char text[PATH_CAP + 200];
    if (what == ASK_HELD_FILE)
        snprintf(text, sizeof text,
                 "Cannot write %s: another program is using it.\n\nClose that program and click Retry, or click "
                 "Cancel to stop the installation.",
                 name);
    else if (what == ASK_GAME_RUNNING)
        snprintf(text, sizeof text,
                 "The Kelpmire is running from %s.\n\nClose the game and click Retry, or click Cancel to stop the "
                 "installation.",
                 name);
    else
        snprintf(text, sizeof text,
                 "Cannot read %s from the game disc.\n\nClean the disc, put it back in the drive and click Retry, "
                 "or click Cancel to stop the installation.",
                 name);
    free(name);
    /* A question that arrives after the Stop is not shown. */
    int retry = 0;
    if (!stop_is_asked()) {
        asking = 1;
        retry = MessageBoxA(hwnd, text, SETUP_CAPTION, MB_RETRYCANCEL | MB_ICONWARNING) == IDRETRY;
        asking = 0;
    }
    answer = retry && !stop_is_asked();
    SetEvent(answered);
}

/* Closes an open question box as its Cancel button would. */
static BOOL CALLBACK cancel_box(HWND w, LPARAM owner)
{
    char cls[16];
    if (GetWindow(w, GW_OWNER) == (HWND)owner && GetClassNameA(w, cls, sizeof cls) && strcmp(cls, "#32770") == 0)
        PostMessageA(w, WM_COMMAND, IDCANCEL, 0);
    return TRUE;
}

/* The answer to every question after a Stop: Cancel. An open box is closed
   (its on_ask then answers); a worker whose question is still on its way is
   answered at once, should the UI thread not come back to it (the end of the
   session waits for the worker). */
static void cancel_questions(void)
{
    if (asking) EnumThreadWindows(GetCurrentThreadId(), cancel_box, (LPARAM)hwnd);
    answer = 0;
    if (answered) SetEvent(answered);
}

/* While an install runs, Windows is given a reason not to end the session,
   shown to the user who shuts down. The calls exist from Vista on: looked up. */
static void block_shutdown(int on)
{
    typedef BOOL(WINAPI * create_fn)(HWND, LPCWSTR);
    typedef BOOL(WINAPI * destroy_fn)(HWND);
    if (on) {
        create_fn f = (create_fn)(void *)user32_proc("ShutdownBlockReasonCreate");
        if (f) f(hwnd, L"Installing The Kelpmire");
    } else {
        destroy_fn f = (destroy_fn)(void *)user32_proc("ShutdownBlockReasonDestroy");
        if (f) f(hwnd);
    }
}

static DWORD WINAPI worker(LPVOID param)
{
    (void)param;
    int ok = do_install(&opts, on_progress, NULL);
    PostMessageA(hwnd, WM_SETUP_DONE, (WPARAM)ok, 0);
    return 0;
}

static void start_install(void)
{
    GetWindowTextA(e_cd, opts.cd, sizeof opts.cd);
    GetWindowTextA(e_dir, opts.dir, sizeof opts.dir);
    opts.startmenu = SendMessageA(c_start, BM_GETCHECK, 0, 0) == BST_CHECKED;
    opts.desktop = SendMessageA(c_desk, BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (!opts.cd[0] || !opts.dir[0]) {
        MessageBoxA(hwnd, "Please choose the CD and the install folder.", SETUP_CAPTION, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    /* The thread first: when it cannot start, the window stays as it was
       (Ready or Failed) and says why. Its posts wait in the queue until this
       command has returned, so the state below is set before any of them. */
    stop_reset();
    HANDLE t = CreateThread(NULL, 0, worker, NULL, 0, NULL);
    if (!t) {
        setup_log("ERROR: cannot start the installation (error %lu)", GetLastError());
        MessageBoxA(hwnd, "The installation could not be started.", SETUP_CAPTION, MB_OK | MB_ICONERROR);
        return;
    }
    worker_thread = t;
    busy = 1;
    block_shutdown(1);
    /* A disabled control cannot keep the focus; without a focused child the
       keys would reach no window, and Escape must still ask to stop. */
    if (GetFocus() == b_install) SetFocus(b_close);
    EnableWindow(b_install, FALSE);
    SetWindowTextA(b_close, "Cancel");
    SetWindowTextA(st, "Installing...");
}

/* Starts the game and closes the setup; when the game cannot be started the
   user is told and the window stays, so that Play can be tried again. */
static void play(void)
{
    char base[PATH_CAP], exe[780];
    /* Joined as the install joined it: "D:\" gives "D:\kelpmire.exe". */
    if (!install_base(base, opts.dir)) snprintf(base, sizeof base, "%s", opts.dir);
    snprintf(exe, sizeof exe, "%s\\kelpmire.exe", base);
    /* The Ex form with no error UI of its own: the failure is reported once,
       in the setup's words, and the error code is the system's. */
    SHELLEXECUTEINFOA sei;
    memset(&sei, 0, sizeof sei);
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_FLAG_NO_UI;
    sei.lpVerb = "open";
    sei.lpFile = exe;
    sei.lpDirectory = opts.dir;
    sei.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&sei)) {
        unsigned long err = GetLastError();
        if (!err) err = (unsigned long)(INT_PTR)sei.hInstApp;
        setup_log("ERROR: cannot start %s (error %lu)", exe, err);
        char text[128];
        snprintf(text, sizeof text, "The Kelpmire could not be started (error %lu).", err);
        MessageBoxA(hwnd, text, SETUP_CAPTION, MB_OK | MB_ICONERROR);
        return;
    }
    DestroyWindow(hwnd);
}

/* Tells the worker to stop and shows that it is cleaning up. */
static void stop_install(void)
{
    stopping = 1;
    stop_ask();
    cancel_questions();
    EnableWindow(b_close, FALSE);
    SetWindowTextA(st, "Removing what was installed ...");
}

static void close_request(void)
{
    if (!busy) {
        DestroyWindow(hwnd);
        return;
    }
    if (stopping) { /* the worker is cleaning up: the window closes after it */
        close_asked = 1;
        return;
    }
    if (MessageBoxA(hwnd, "Stop the installation?", SETUP_CAPTION, MB_YESNO | MB_ICONQUESTION) != IDYES) return;
    /* The install may have finished while the question was open. */
    if (!busy) {
        DestroyWindow(hwnd);
        return;
    }
    /* Ending the process here would cut a file in half and leave the folder
       half-written: the worker stops at its next piece (or at once, while it
       waits for the disc), removes what it wrote, and its WM_SETUP_DONE
       closes the window with exit code 1. */
    stop_install();
}

/* The session ends while an install runs (the user forced it past the
   refusal): the install is stopped and rolled back before Windows ends the
   process, which it does once this returns. Bounded, as Windows waits only a
   few seconds for a window at this point. */
static void end_session(void)
{
    if (!stopping) stop_install();
    if (worker_thread) WaitForSingleObject(worker_thread, SESSION_WAIT_MS);
}

static LRESULT CALLBACK wndproc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_SETUP_LOG: {
        char *line = (char *)lp;
        LRESULT i = SendMessageA(lst, LB_ADDSTRING, 0, (LPARAM)line);
        SendMessageA(lst, LB_SETCURSEL, (WPARAM)i, 0);
        if (!stopping) SetWindowTextA(st, line);
        free(line);
        return 0;
    }
    case WM_SETUP_ASK:
        on_ask((int)wp, (char *)lp);
        return 0;
    case WM_SETUP_PROGRESS:
        SendMessageA(prog, PBM_SETPOS, wp, 0);
        return 0;
    case WM_SETUP_DONE:
        busy = 0;
        block_shutdown(0);
        if (worker_thread) CloseHandle(worker_thread);
        worker_thread = NULL;
        if (stopping || close_asked) {
            /* A stopped install ends the setup, as it always has, with 1;
               one that finished before it heard the stop is installed. */
            stopping = 0;
            if (!wp) exit_code = 1;
            DestroyWindow(hwnd);
            return 0;
        }
        if (wp) {
            done_ok = 1;
            SendMessageA(prog, PBM_SETPOS, 1000, 0);
            SetWindowTextA(st, "The Kelpmire is installed.");
            SetWindowTextA(b_install, "Play");
        } else {
            SetWindowTextA(st, "The installation did not finish - see the messages above.");
        }
        EnableWindow(b_install, TRUE);
        SetWindowTextA(b_close, "Close");
        return 0;
    case DM_GETDEFID:
        /* Asked by the dialog navigation: Enter presses Install (later Play). */
        return MAKELRESULT(ID_INSTALL, DC_HASDEFID);
    case WM_DPICHANGED:
        change_dpi(HIWORD(wp), (const RECT *)lp);
        return 0;
    case WM_ACTIVATE:
        /* As a dialog does: the focused child is kept while another window is
           active (a message box, a picker) and given back afterwards. */
        if (LOWORD(wp) == WA_INACTIVE) {
            HWND f = GetFocus();
            if (f && IsChild(w, f)) focus = f;
        } else if (focus && IsWindowEnabled(focus)) {
            SetFocus(focus);
            return 0;
        }
        break;
    case WM_COMMAND:
        switch (LOWORD(wp)) {
        case ID_IMAGE:
            pick_image();
            break;
        case ID_FOLDER:
            browse_folder(e_cd, "The Kelpmire CD (drive or folder)", 0);
            break;
        case ID_BROWSE:
            browse_folder(e_dir, "Install folder", 1);
            break;
        case ID_INSTALL:
            if (done_ok)
                play();
            else
                start_install();
            break;
        case ID_CANCEL:
        case IDCANCEL: /* Escape, from the dialog navigation */
            close_request();
            break;
        }
        return 0;
    case WM_CLOSE:
        close_request();
        return 0;
    case WM_QUERYENDSESSION:
        /* An install cut off by the end of the session would leave a
           half-written folder without an uninstaller. */
        return busy ? FALSE : TRUE;
    case WM_ENDSESSION:
        if (wp && busy) end_session();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(w, msg, wp, lp);
}

int window_run(void *instance, int show)
{
    HINSTANCE inst = (HINSTANCE)instance;
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    typedef BOOL(WINAPI * init_fn)(const INITCOMMONCONTROLSEX *);
    init_fn init = (init_fn)window_dll_fn("comctl32.dll", "InitCommonControlsEx");
    if (init) init(&icc);
    CoInitialize(NULL);

    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = wndproc;
    wc.hInstance = inst;
    wc.hIcon = LoadIconA(inst, MAKEINTRESOURCEA(1));
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = "KelpmireSetup";
    if (!RegisterClassA(&wc)) {
        setup_log("ERROR: %s", "the setup window cannot be created");
        return 1;
    }

    /* The monitor, and so the DPI, is known once the window exists: it is
       made at the 96-DPI size and sized for its DPI before it is shown. */
    SIZE outer = frame_size(96);
    hwnd = CreateWindowExA(0, "KelpmireSetup", "The Kelpmire - Quorvane Setup", WINDOW_STYLE, CW_USEDEFAULT,
                           CW_USEDEFAULT, outer.cx, outer.cy, NULL, NULL, inst, NULL);
    if (!hwnd) {
        setup_log("ERROR: %s", "the setup window cannot be created");
        return 1;
    }
    dpi = window_dpi(hwnd);
    outer = frame_size(dpi);
    SetWindowPos(hwnd, NULL, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    font = make_font(dpi);

    mk("STATIC",
       "Install The Kelpmire as a native Windows game.\nYou need your copy of The Kelpmire: the CD, an ISO / BIN+CUE "
       "image, or a copied folder.",
       SS_LEFT, 16, 14, 600, 36, 0);
    mk("STATIC", "CD:", 0, 16, 66, 90, 20, 0);
    e_cd = mk("EDIT", opts.cd, ES_AUTOHSCROLL | WS_TABSTOP, 110, 62, 360, 24, 0);
    mk("BUTTON", "Image...", BS_PUSHBUTTON | WS_TABSTOP, 478, 62, 66, 24, ID_IMAGE);
    mk("BUTTON", "Folder...", BS_PUSHBUTTON | WS_TABSTOP, 548, 62, 66, 24, ID_FOLDER);
    mk("STATIC", "Install to:", 0, 16, 98, 90, 20, 0);
    e_dir = mk("EDIT", opts.dir, ES_AUTOHSCROLL | WS_TABSTOP, 110, 94, 360, 24, 0);
    mk("BUTTON", "Browse...", BS_PUSHBUTTON | WS_TABSTOP, 478, 94, 136, 24, ID_BROWSE);
    c_start = mk("BUTTON", "Start menu shortcut", BS_AUTOCHECKBOX | WS_TABSTOP, 16, 134, 200, 22, 0);
    c_desk = mk("BUTTON", "Desktop shortcut", BS_AUTOCHECKBOX | WS_TABSTOP, 230, 134, 200, 22, 0);
    SendMessageA(c_start, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(c_desk, BM_SETCHECK, BST_CHECKED, 0);
    prog = mk("msctls_progress32", "", 0, 16, 168, 598, 18, 0);
    SendMessageA(prog, PBM_SETRANGE32, 0, 1000);
    st = mk("STATIC", "Ready. About 500 MB of free space is needed.", 0, 16, 192, 598, 20, 0);
    lst = mk("LISTBOX", "", WS_BORDER | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | WS_TABSTOP, 16, 216, 598, 110, 0);
    b_install = mk("BUTTON", "Install", BS_DEFPUSHBUTTON | WS_TABSTOP, 418, 336, 96, 30, ID_INSTALL);
    b_close = mk("BUTTON", "Cancel", BS_PUSHBUTTON | WS_TABSTOP, 518, 336, 96, 30, ID_CANCEL);

    log_set_window(hwnd, silent);
    answered = CreateEventA(NULL, TRUE, FALSE, NULL);
    cd_set_ask_retry(ask_retry, NULL);
    set_ask_held(ask_held_retry, NULL);
    ShowWindow(hwnd, show);
    /* The first thing to do: choose the disc, or, when one was found, install. */
    SetFocus(opts.cd[0] ? b_install : e_cd);

    MSG m;
    while (GetMessageA(&m, NULL, 0, 0) > 0) {
        if (IsDialogMessageA(hwnd, &m)) continue;
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    log_set_window(NULL, silent);
    cd_set_ask_retry(NULL, NULL);
    set_ask_held(NULL, NULL);
    return exit_code;
}

#endif
