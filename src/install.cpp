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
#include <strings.h>

static const uint64_t AFTER_COPY_BUDGET = 0x800000; /* everything after the disc copy */
static const uint64_t HD_FILES_STEP = 0x600000;
static const uint64_t FINAL_STEP = 0x200000;
static const uint64_t ESTIMATE_EXTRA = 0x1400000;

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

void make_link(const char *lnk, const char *target, const char *workdir)
{
    if (lnk[0]) pf_make_shortcut(lnk, target, workdir, GAME_TITLE, target, 0);
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

static void write_registry(const install_opts *o, uint64_t disc_total)
{
    char text[780];
    pf_key k = pf_reg_create_user_key(UNINSTALL_KEY);
    if (!k) return;
    pf_reg_set_string(k, "DisplayName", "The Kelpmire (Quorvane)");
    snprintf(text, sizeof text, "\"%s\\uninstall.exe\" /uninstall", o->dir);
    pf_reg_set_string(k, "UninstallString", text);
    snprintf(text, sizeof text, "%s\\kelpmire.exe,0", o->dir);
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
    char game[PATH_CAP], hd[PATH_CAP], cdcopy[PATH_CAP], exe[PATH_CAP], self[PATH_CAP], uninst[PATH_CAP];
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
    if (!path_join(game, o->dir, "game") || !path_join(hd, game, "hd") || !path_join(cdcopy, game, "cd") ||
        !path_join(exe, o->dir, "kelpmire.exe") || !path_join(uninst, o->dir, "uninstall.exe")) {
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
    if (pf_module_path(self, sizeof self) && strcasecmp(self, uninst) != 0) pf_copy_file(self, uninst);

    write_registry(o, disc_total);

    char startmenu[PATH_CAP], desktop[PATH_CAP];
    shortcut_paths(startmenu, desktop);
    pf_com_begin();
    if (o->startmenu) make_link(startmenu, exe, o->dir);
    if (o->desktop) make_link(desktop, exe, o->dir);
    pf_com_end();

    progress_add(&pr, FINAL_STEP);
    setup_log("Done.");
    return 1;
}
