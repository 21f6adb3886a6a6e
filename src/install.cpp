/*
 * install.cpp - do_install and its registry entry and shortcuts.
 *
 * One linear pass that logs each step. Any failure up to the game executable
 * ends it with 0; the steps after that (icon, uninstaller, registry,
 * shortcuts) never make it fail. There is no rollback: a stopped run leaves
 * what it made, and the uninstaller, the registry entry and the shortcuts come
 * only after the game executable.
 */
#include "install.h"

#include "cdsrc.h"
#include "game_install.h"
#include "install_icon.h"
#include "platform.h"
#include "setup_log.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

static const uint64_t AFTER_COPY_BUDGET = 0x800000; /* everything after the disc copy */
static const uint64_t HD_FILES_STEP = 0x600000;
static const uint64_t FINAL_STEP = 0x200000;
static const uint64_t ESTIMATE_EXTRA = 0x1400000;
static const uint64_t MB = 1048576;

int prebuilt_available(void)
{
    uint64_t size = 0;
    return pf_own_rcdata(PAYLOAD_NAME, &size) != NULL;
}

void shortcut_paths(char *startmenu, char *desktop)
{
    char folder[PATH_CAP];
    startmenu[0] = desktop[0] = 0;
    if (pf_shell_folder(PF_FOLDER_PROGRAMS, folder, sizeof folder) && !path_join(startmenu, folder, GAME_TITLE ".lnk"))
        startmenu[0] = 0;
    if (pf_shell_folder(PF_FOLDER_DESKTOP, folder, sizeof folder) && !path_join(desktop, folder, GAME_TITLE ".lnk"))
        desktop[0] = 0;
}

int make_link(const char *lnk, const char *target, const char *workdir)
{
    return lnk[0] && pf_make_shortcut(lnk, target, workdir, GAME_TITLE, target, 0);
}

/* A shortcut that cannot be made does not stop the install, but the user is
   told which one is missing. */
static void make_link_or_say(const char *lnk, const char *target, const char *workdir)
{
    if (!make_link(lnk, target, workdir)) setup_log("cannot create the shortcut %s", lnk[0] ? lnk : GAME_TITLE ".lnk");
}

static int is_sep(char c) { return c == '\\' || c == '/'; }

int install_base(char *out, const char *dir)
{
    size_t n = strlen(dir);
    while (n > 0 && is_sep(dir[n - 1])) n--;
    if (n == 0 || n >= PATH_CAP) return 0;
    memcpy(out, dir, n);
    out[n] = 0;
    return 1;
}

/* The length of the root of a full path: 3 for "X:\", the whole of
   "\\server\share", 1 for "/" (only off Windows); 0 when there is none. */
static size_t root_length(const char *path)
{
    if (path[0] && path[1] == ':' && is_sep(path[2])) return 3;
    if (is_sep(path[0]) && is_sep(path[1])) {
        size_t i = 2;
        while (path[i] && !is_sep(path[i])) i++; /* the server */
        if (!path[i]) return 0;
        i++;
        while (path[i] && !is_sep(path[i])) i++; /* the share */
        return i;
    }
    return is_sep(path[0]) ? 1 : 0;
}

/* The nearest folder at or above dir that exists, into out (PATH_CAP bytes);
   0 when not even the root exists. */
static int nearest_folder(const char *dir, char *out)
{
    size_t root = root_length(dir);
    if (!root || snprintf(out, PATH_CAP, "%s", dir) >= PATH_CAP) return 0;
    for (;;) {
        if (is_dir(out)) return 1;
        size_t n = strlen(out);
        if (n <= root) return 0;
        while (n > root && !is_sep(out[n - 1])) n--; /* the last name */
        while (n > root && is_sep(out[n - 1])) n--;  /* and the separators before it */
        out[n] = 0;
    }
}

/* 1 when the volume of dir has room for need bytes, or when its free space
   cannot be learned (the writes will then tell). Otherwise logs the volume as
   a user names it ("D:", "\\server\share"; off Windows the nearest existing
   folder) with both figures in MB, the need rounded up, the free space down. */
static int room_for(const char *dir, uint64_t need)
{
    char existing[PATH_CAP], volume[PATH_CAP];
    uint64_t free_bytes = 0;
    if (!nearest_folder(dir, existing) || !pf_free_space(existing, &free_bytes)) return 1;
    if (free_bytes >= need) return 1;
    size_t root = root_length(dir);
    if (root == 3) snprintf(volume, sizeof volume, "%.2s", dir);
    else if (root > 1) snprintf(volume, sizeof volume, "%.*s", (int)root, dir);
    else snprintf(volume, sizeof volume, "%s", existing);
    setup_log("ERROR: not enough free space on %s: %llu MB needed, %llu MB free", volume,
              (unsigned long long)((need + MB - 1) / MB), (unsigned long long)(free_bytes / MB));
    return 0;
}

/* The size of a file, 0 when it cannot be opened. */
static uint64_t file_size(const char *path)
{
    uint64_t size = 0;
    pf_file f = pf_open_read(path, 0);
    if (f == PF_NO_FILE) return 0;
    if (!pf_file_size(f, &size)) size = 0;
    pf_close(f);
    return size;
}

/* Reads a disc-relative file from the copied disc folder and hands it to an
   icon writer; a file that cannot be read is skipped without a line. */
static void give_icon(const char *cd_folder, const char *name, const char *exe,
                      int (*inject)(const char *, const unsigned char *, uint64_t))
{
    char path[PATH_CAP];
    uint64_t size = 0;
    if (!name) return;
    if (!path_join(path, cd_folder, name)) return;
    unsigned char *bytes = (unsigned char *)read_file(path, &size);
    if (!bytes) return;
    inject(exe, bytes, size);
    free(bytes);
}

/* base: the install folder without a trailing backslash (install_base). */
static void write_registry(const install_opts *o, const char *base, uint64_t disc_total)
{
    char text[780];
    pf_key k = pf_reg_create_user_key(UNINSTALL_KEY);
    if (!k) return;
    pf_reg_set_string(k, "DisplayName", "The Kelpmire (Quorvane)");
    snprintf(text, sizeof text, "\"%s\\uninstall.exe\" /uninstall", base);
    pf_reg_set_string(k, "UninstallString", text);
    snprintf(text, sizeof text, "%s\\kelpmire.exe,0", base);
    pf_reg_set_string(k, "DisplayIcon", text);
    pf_reg_set_string(k, "InstallLocation", o->dir);
    pf_reg_set_string(k, "Publisher", "Quorvane port (fan project)");
    pf_reg_set_dword(k, "EstimatedSize", (uint32_t)((disc_total + ESTIMATE_EXTRA) >> 10));
    pf_reg_set_dword(k, "NoModify", 1);
    pf_reg_set_dword(k, "NoRepair", 1);
    pf_reg_close(k);
}

int do_install(const install_opts *o, progress_fn cb, void *user)
{
    char base[PATH_CAP], game[PATH_CAP], hd[PATH_CAP], cdcopy[PATH_CAP], exe[PATH_CAP], self[PATH_CAP],
        uninst[PATH_CAP];
    uint64_t payload_size = 0;

    setup_log("Install to %s", o->dir);
    if (!pf_own_rcdata(PAYLOAD_NAME, &payload_size)) {
        setup_log("ERROR: %s", "this setup does not contain the game executable");
        return 0;
    }
    /* An empty folder would put the game at the root of the current drive. */
    if (!o->dir[0]) {
        setup_log("ERROR: %s", "no install folder given");
        return 0;
    }
    /* A relative folder would land wherever the current folder happens to be,
       and written into the registry it would mean nothing to Windows. */
    if (!pf_is_absolute(o->dir)) {
        setup_log("ERROR: %s", "the install folder must be a full path, such as C:\\Games\\The Kelpmire PC");
        return 0;
    }
    if (!install_base(base, o->dir) || !path_join(game, base, "game") || !path_join(hd, game, "hd") ||
        !path_join(cdcopy, game, "cd") || !path_join(exe, base, "kelpmire.exe") ||
        !path_join(uninst, base, "uninstall.exe")) {
        setup_log("ERROR: %s", "the install folder's path is too long");
        return 0;
    }
    cd_source *src = cd_open(o->cd);
    if (!src) {
        /* An empty path: start-up found no disc and none was named. */
        setup_log("ERROR: %s", o->cd[0] ? "the CD is not a readable disc, image or folder"
                                        : "no game disc found: insert the CD, or name the disc, an image or a folder with /cd");
        return 0;
    }
    if (!game_is_cd(src)) {
        cd_close(src);
        setup_log("ERROR: %s", "this is not The Kelpmire CD");
        return 0;
    }

    uint64_t disc_total = cd_total_bytes(src);
    progress pr = {0, disc_total + AFTER_COPY_BUDGET, cb, user};

    /* Everything this run writes must fit before the first byte is written:
       a disk that fills half-way leaves a broken folder and no uninstaller. */
    int copy_self = pf_module_path(self, sizeof self) && strcasecmp(self, uninst) != 0;
    if (!room_for(o->dir, disc_total + payload_size + (copy_self ? file_size(self) : 0))) {
        cd_close(src);
        return 0;
    }

    if (!make_dirs(hd)) {
        cd_close(src);
        setup_log("ERROR: %s", "cannot create the install folder");
        return 0;
    }

    setup_log("Copying %s ...", cd_describe(src));
    if (!cd_copy_all(src, cdcopy, &pr)) {
        cd_close(src);
        setup_log("ERROR: %s", "copying the CD failed");
        return 0;
    }
    cd_close(src);

    setup_log("Setting up the game files ...");
    if (!game_install_files(cdcopy, hd)) return 0;
    progress_add(&pr, HD_FILES_STEP);

    const void *payload = pf_own_rcdata(PAYLOAD_NAME, &payload_size);
    if (!payload) {
        setup_log("ERROR: %s", "this setup does not contain the game executable");
        return 0;
    }
    if (!write_file(exe, payload, payload_size)) return 0;

    give_icon(cdcopy, game_icon_lbm(), exe, inject_icon_lbm);
    give_icon(cdcopy, game_icon_ico(), exe, inject_icon_ico);

    /* The installed uninstaller may be the one running: never copy onto itself. */
    if (copy_self) pf_copy_file(self, uninst);

    write_registry(o, base, disc_total);

    char startmenu[PATH_CAP], desktop[PATH_CAP];
    shortcut_paths(startmenu, desktop);
    pf_com_begin();
    if (o->startmenu) make_link_or_say(startmenu, exe, o->dir);
    if (o->desktop) make_link_or_say(desktop, exe, o->dir);
    pf_com_end();

    progress_add(&pr, FINAL_STEP);
    setup_log("Done.");
    return 1;
}
