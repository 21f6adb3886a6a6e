/*
 * install.cpp - do_install and its registry entry and shortcuts.
 *
 * One linear pass that logs each step. Before it writes anything it makes sure
 * that the folder is free for the game: no other program's files there, and
 * the disc folder not inside it nor it inside the disc folder; that no path it
 * would make is too long for Windows; and that the volume has room for every
 * file in whole clusters, less what a reinstall replaces; and that the game
 * does not run from the folder. Any failure up to the game executable and
 * the uninstaller, and a stop asked through the progress callback, ends it
 * with 0 after removing what this run created, and nothing that was there
 * before; the steps after the uninstaller (registry, shortcuts) and a failed
 * icon never make it fail: a success over an install that cannot be removed
 * would be a lie. The game executable is written and given its icon beside
 * its place and put in place only when whole. The uninstaller, the registry
 * entry and the shortcuts come only after the game executable.
 */
#include "install.h"

#include "cdsrc.h"
#include "game_install.h"
#include "install_icon.h"
#include "platform.h"
#include "install_icon_res.h"
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
   a user names its folder ("D:\", "\\server\share"; off Windows the nearest
   existing folder) with both figures in MB, the need rounded up, the free space down. */
static int room_for(const char *dir, uint64_t need)
{
    char existing[PATH_CAP], volume[PATH_CAP];
    uint64_t free_bytes = 0;
    if (!nearest_folder(dir, existing) || !pf_free_space(existing, &free_bytes)) return 1;
    if (free_bytes >= need) return 1;
    size_t root = root_length(dir);
    if (root == 3) snprintf(volume, sizeof volume, "%.2s\\", dir); /* "T:\": the colon after it is not doubled */
    else if (root > 1) snprintf(volume, sizeof volume, "%.*s", (int)root, dir);
    else snprintf(volume, sizeof volume, "%s", existing);
    setup_log("ERROR: not enough free space on %s: %llu MB needed, %llu MB free", volume,
              (unsigned long long)((need + MB - 1) / MB), (unsigned long long)(free_bytes / MB));
    return 0;
}

/* The highest folder of base (a full path without trailing separators) that
   does not exist yet, into top; empty when base exists. */
static void first_missing(const char *base, char *top)
{
    char cur[PATH_CAP];
    top[0] = 0;
    size_t root = root_length(base);
    snprintf(cur, sizeof cur, "%s", base);
    while (strlen(cur) > root && !path_exists(cur)) {
        snprintf(top, PATH_CAP, "%s", cur);
        size_t n = strlen(cur);
        while (n > root && !is_sep(cur[n - 1])) n--;
        while (n > root && is_sep(cur[n - 1])) n--;
        cur[n] = 0;
    }
}

/* The paths of one install and what of them was there before it began.
   exe_new: the game executable while it is written and given its icon, never
   a file of the user's (an install cut off may leave it: it is ours). */
typedef struct install_paths {
    char base[PATH_CAP], game[PATH_CAP], hd[PATH_CAP], cdcopy[PATH_CAP], exe[PATH_CAP], uninst[PATH_CAP];
    char exe_new[PATH_CAP];
    char top[PATH_CAP]; /* the highest folder this run creates, or empty */
    int had_game, had_exe, had_uninst;
} install_paths;

static void note_before(install_paths *p)
{
    first_missing(p->base, p->top);
    p->had_game = path_exists(p->game);
    p->had_exe = path_exists(p->exe);
    p->had_uninst = path_exists(p->uninst);
}

/* Takes away what this run created: the whole folder when it made it, else
   each of "game", the game and the uninstaller that were not there before.
   What it replaced stays as it now is. Returns 0, the failed run's result. */
static int undo_install(const install_paths *p)
{
    if (p->top[0]) {
        delete_tree(p->top);
    } else {
        if (!p->had_game) delete_tree(p->game);
        if (!p->had_exe) remove_file(p->exe);
        if (!p->had_uninst) remove_file(p->uninst);
        remove_file(p->exe_new);
    }
    setup_log("removed what this install had written");
    return 0;
}

/* 1 when the folder "game" is missing or is laid out as an install makes it:
   a folder holding nothing but "cd" and "hd". */
static int game_folder_is_ours(const char *game)
{
    char pattern[PATH_CAP];
    uint32_t a = pf_attributes(game);
    if (a == PF_ATTR_INVALID) return 1;
    if (!(a & PF_ATTR_DIRECTORY) || !path_join(pattern, game, "*")) return 0;
    pf_entry e;
    pf_find h = pf_find_first(pattern, &e);
    if (!h) return 0;
    int ours = 1;
    do {
        if (strcmp(e.name, ".") && strcmp(e.name, "..") && strcasecmp(e.name, "cd") && strcasecmp(e.name, "hd"))
            ours = 0;
    } while (ours && pf_find_next(h, &e));
    pf_find_close(h);
    return ours;
}

int install_folder_is_foreign(const char *base)
{
    char exe[PATH_CAP], uninst[PATH_CAP], game[PATH_CAP];
    if (!path_join(exe, base, "kelpmire.exe") || !path_join(uninst, base, "uninstall.exe") ||
        !path_join(game, base, "game"))
        return 0;
    uint32_t a = pf_attributes(exe);
    if (a != PF_ATTR_INVALID && !(a & PF_ATTR_DIRECTORY)) return 0; /* an installation of the game */
    return path_exists(uninst) || !game_folder_is_ours(game);
}

int install_full_path(const char *dir, char *out)
{
    size_t n = pf_full_path(dir, out, PATH_CAP);
    if (n == 0) return 0;
    size_t root = root_length(out);
    if (root == 0) return 0;
    while (n > root && is_sep(out[n - 1])) n--;
    out[n] = 0;
    return 1;
}

/* 1 when the full path inner is outer or lies below it (ASCII case ignored). */
static int lies_in(const char *inner, const char *outer)
{
    size_t n = strlen(outer);
    if (strncasecmp(inner, outer, n) != 0) return 0;
    return inner[n] == 0 || inner[n] == '\\' || outer[n - 1] == '\\';
}

static int same_id(const pf_file_id *a, const pf_file_id *b) { return a->volume == b->volume && a->index == b->index; }

/* 1 when the existing folder at the full path from, or a folder above it up
   to its root, has the identity id. */
static int at_or_below(const char *from, const pf_file_id *id)
{
    char cur[PATH_CAP];
    size_t root = root_length(from);
    snprintf(cur, sizeof cur, "%s", from);
    for (;;) {
        pf_file_id here;
        if (pf_file_identity(cur, &here) && same_id(&here, id)) return 1;
        size_t n = strlen(cur);
        if (n <= root) return 0;
        while (n > root && !is_sep(cur[n - 1])) n--;
        while (n > root && is_sep(cur[n - 1])) n--;
        cur[n] = 0;
    }
}

/* 1 when the folder inner (a full path, which need not exist) is the existing
   folder outer or lies in it, by identity. */
static int inside_by_identity(const char *inner, const char *outer)
{
    char existing[PATH_CAP];
    pf_file_id id;
    return is_dir(outer) && pf_file_identity(outer, &id) && nearest_folder(inner, existing) &&
           at_or_below(existing, &id);
}

int folders_nested(const char *disc, const char *dir)
{
    char a[PATH_CAP], b[PATH_CAP];
    if (!install_full_path(disc, a) || !install_full_path(dir, b)) return 0;
    if (lies_in(a, b) || lies_in(b, a)) return 1;
    /* Names alone miss a second name of the same folder: Z:\ through the
       root, a SUBST or mapped drive, \\localhost\C$, an 8.3 name. An install
       into the disc it reads truncates each file it is about to copy. */
    return inside_by_identity(a, b) || inside_by_identity(b, a);
}

/* 1 when the folder lists nothing but "." and "..". */
static int folder_is_empty(const char *folder)
{
    folder_listing l;
    if (!folder_open(&l, folder)) return 0;
    int empty = !folder_next(&l);
    folder_close(&l);
    return empty;
}

void install_folder_in(const char *picked, char *out)
{
    char base[PATH_CAP], exe[PATH_CAP];
    snprintf(out, PATH_CAP, "%s", picked);
    if (!install_base(base, picked) || !path_join(exe, base, "kelpmire.exe")) return;
    uint32_t a = pf_attributes(exe);
    if ((a != PF_ATTR_INVALID && !(a & PF_ATTR_DIRECTORY)) || folder_is_empty(picked)) return;
    char joined[PATH_CAP];
    if (path_join(joined, base, INSTALL_FOLDER_NAME)) snprintf(out, PATH_CAP, "%s", joined);
}

/* Clears a read-only attribute of our own file before it is replaced. */
static void make_writable(const char *path)
{
    uint32_t a = pf_attributes(path);
    if (a != PF_ATTR_INVALID && !(a & PF_ATTR_DIRECTORY) && (a & PF_ATTR_READONLY))
        set_attributes_held(path, PF_ATTR_NORMAL);
}

/* 0 when the install folder refuses a new file with access denied while no
   program holds it: the user may not change the folder. The file tried is
   kelpmire.new, which is ours (place_game) and is removed again. */
static int may_write_in(const install_paths *p)
{
    make_writable(p->exe_new);
    pf_file f = pf_create(p->exe_new);
    if (f == PF_NO_FILE) return !pf_last_error_denied() || pf_file_held(p->exe_new);
    pf_close(f);
    pf_delete_file(p->exe_new);
    return 1;
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

/* ---- room for the install ---- */

/* The longest path that Windows opens: MAX_PATH less its terminating zero. */
static const size_t PATH_LIMIT = 259;
/* The cluster taken when the volume cannot tell its own: the usual one. */
static const uint64_t USUAL_CLUSTER = 4096;

/* What an install will write, each file rounded up to the target volume's
   cluster as it takes whole clusters, and what of that is there already and
   will be replaced; learned in the walk that totals the disc. */
typedef struct room_count {
    const install_paths *p;
    uint64_t cluster;
    uint64_t need;       /* the files the install writes */
    uint64_t replaced;   /* the files already there that they replace */
    size_t hd_longest;   /* the longest path in the hard-disk folder */
    uint64_t icon_file;  /* the size of the disc's icon file */
} room_count;

static uint64_t rounded(uint64_t size, uint64_t cluster) { return (size + cluster - 1) / cluster * cluster; }

static void room_begin(room_count *c, const install_paths *p, const char *dir)
{
    char existing[PATH_CAP];
    memset(c, 0, sizeof *c);
    c->p = p;
    if (!nearest_folder(dir, existing) || !pf_cluster_size(existing, &c->cluster)) c->cluster = USUAL_CLUSTER;
}

/* One file that the install writes at path, replacing the file that is there
   (file_size: 0 for none, and for a folder). */
static void room_add(room_count *c, const char *path, uint64_t size)
{
    c->need += rounded(size, c->cluster);
    c->replaced += rounded(file_size(path), c->cluster);
}

/* Hears each file of the disc's count (a cd_list_fn): its copy, and the
   second copy that the game profile makes of it in the hard-disk folder. */
static void room_heard(const char *rel, uint64_t size, void *user)
{
    room_count *c = (room_count *)user;
    char path[PATH_CAP];
    if (game_icon_ico() && strcasecmp(rel, game_icon_ico()) == 0) c->icon_file = size;
    /* A path that does not fit fails the copy, and is too long anyway. */
    if (path_join(path, c->p->cdcopy, rel)) room_add(c, path, size);
    else c->need += rounded(size, c->cluster);
    const char *hd = game_hd_name(rel);
    if (hd && path_join(path, c->p->hd, hd)) {
        room_add(c, path, size);
        if (strlen(path) > c->hd_longest) c->hd_longest = strlen(path);
    }
}

/* The longest path that the install makes, in the characters that Windows
   counts: the disc's deepest path in the copied disc folder, the hard-disk
   copies, the game and the uninstaller. A folder counts with a short file
   name (8.3, 12 characters) in it: Windows makes no folder whose path leaves
   no room for one. Each begins with the install folder, whose characters are
   counted as such; the rest is counted in bytes, never fewer (the disc's
   names are plain ASCII on the game disc). */
static size_t longest_path(const room_count *c, const cd_count *count)
{
    const size_t short_name = 12;
    size_t cd = strlen(c->p->cdcopy);
    size_t longest = cd + (count->deepest ? 1 + count->deepest : 0);
    size_t folder = cd + (count->deepest_folder ? 1 + count->deepest_folder : 0) + short_name;
    size_t others[] = {folder, c->hd_longest, strlen(c->p->exe), strlen(c->p->uninst)};
    for (size_t n : others)
        if (n > longest) longest = n;
    return longest - strlen(c->p->base) + pf_path_chars(c->p->base);
}

/* The largest file alignment a program file may have: a resource section
   that grows is rounded up to it. */
static const uint64_t PE_ALIGN_MAX = 0x10000;

/* An upper bound of what the icon adds to the game executable: its images
   once more in the resource section, a tree entry of each no larger than its
   entry and header in the icon file (hence twice the icon's bytes), and the
   section's rounding up. The emblem's images are computed: their sizes are
   known. */
static uint64_t icon_room(const room_count *c)
{
    uint64_t images = c->icon_file;
    if (game_icon_lbm())
        for (uint32_t t : emblem_sizes) images += emblem_image_size(t);
    return 2 * images + PE_ALIGN_MAX;
}

/* Reads a disc-relative file from the copied disc folder and hands it to an
   icon writer. -1 when there is no such file to read (skipped without a
   line), else the writer's result. */
static int give_icon(const char *cd_folder, const char *name, const char *exe,
                     int (*inject)(const char *, const unsigned char *, uint64_t))
{
    char path[PATH_CAP];
    uint64_t size = 0;
    if (!name) return -1;
    if (!path_join(path, cd_folder, name)) return -1;
    unsigned char *bytes = (unsigned char *)read_file(path, &size);
    if (!bytes) return -1;
    int ok = inject(exe, bytes, size);
    free(bytes);
    return ok;
}

/* Writes the game executable beside its place as p->exe_new, gives it the
   disc's icon and puts it in place. When the icon cannot be written (the
   update may have left the file half rewritten) the executable goes in place
   without it, written again, unless the install was stopped meanwhile. 0
   when it is not in place (logged). */
static int place_game(const install_paths *p, const void *payload, uint64_t size)
{
    make_writable(p->exe_new);
    if (!write_file(p->exe_new, payload, size)) return 0;
    int lbm = give_icon(p->cdcopy, game_icon_lbm(), p->exe_new, inject_icon_lbm);
    int ico = give_icon(p->cdcopy, game_icon_ico(), p->exe_new, inject_icon_ico);
    if (lbm == 0 || ico == 0) {
        /* Asked about a hold on the icon's update, the user chose to stop:
           the write without it would meet the same hold. */
        if (stop_is_asked() || held_refused()) {
            setup_log("ERROR: %s", "the installation was stopped");
            return 0;
        }
        setup_log("the game executable goes in place without its icon");
        if (!write_file(p->exe_new, payload, size)) return 0;
    }
    make_writable(p->exe);
    held_file h = held_start(p->exe);
    while (!pf_move_replace(p->exe_new, p->exe))
        if (!held_retry(&h)) {
            setup_log("ERROR: cannot write %s (error %lu)", p->exe, pf_last_error());
            return 0;
        }
    return 1;
}

/* Copies the running setup as the uninstaller. CopyFileA keeps the source's
   attributes: a setup run from a read-only disc or download would leave an
   uninstaller that cannot be removed. 0 when it is not there whole (logged). */
static int place_uninstaller(const install_paths *p, const char *self)
{
    make_writable(p->uninst);
    held_file h = held_start(p->uninst);
    while (!pf_copy_file(self, p->uninst))
        if (!held_retry(&h)) {
            setup_log("ERROR: cannot write %s (error %lu)", p->uninst, pf_last_error());
            return 0;
        }
    set_attributes_held(p->uninst, PF_ATTR_NORMAL);
    return 1;
}

/* 1 when the game runs from the install folder: a process started from its
   kelpmire.exe, or, where processes cannot be seen, its kelpmire.exe or
   uninstall.exe held open past the tries of a held file (a virus scanner's
   hold is over by then). check_uninst: 0 when this setup runs as that
   uninstall.exe. */
static int game_running(const install_paths *p, int check_uninst)
{
    if (pf_running_from(p->exe)) return 1;
    const char *files[2] = {p->exe, check_uninst ? p->uninst : NULL};
    for (const char *f : files) {
        if (!f) continue;
        held_file h = held_start(f);
        while (pf_file_held(f))
            if (!held_again(&h)) return 1;
    }
    return 0;
}

/* full: the install folder's full path (install_full_path); base: the same
   without a drive root's backslash (install_base). */
static void write_registry(const char *full, const char *base, uint64_t disc_total)
{
    char text[780];
    pf_key k = pf_reg_create_user_key(UNINSTALL_KEY);
    if (!k) return;
    pf_reg_set_string(k, "DisplayName", "The Kelpmire (Quorvane)");
    snprintf(text, sizeof text, "\"%s\\uninstall.exe\" /uninstall", base);
    pf_reg_set_string(k, "UninstallString", text);
    snprintf(text, sizeof text, "%s\\kelpmire.exe,0", base);
    pf_reg_set_string(k, "DisplayIcon", text);
    pf_reg_set_string(k, "InstallLocation", full);
    pf_reg_set_string(k, "Publisher", "Quorvane port (fan project)");
    pf_reg_set_dword(k, "EstimatedSize", (uint32_t)((disc_total + ESTIMATE_EXTRA) >> 10));
    pf_reg_set_dword(k, "NoModify", 1);
    pf_reg_set_dword(k, "NoRepair", 1);
    pf_reg_close(k);
}

int do_install(const install_opts *o, progress_fn cb, void *user)
{
    install_paths p;
    char self[PATH_CAP], full[PATH_CAP];
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
    /* Every path is made from the folder's full path, the name Windows gives
       the folder once it is made: the Apps entry, the shortcuts and the
       uninstall's comparisons then meet one spelling, however it was typed
       (slashes, doubled backslashes, "..", a trailing dot). */
    if (!install_full_path(o->dir, full) || !install_base(p.base, full) || !path_join(p.game, p.base, "game") ||
        !path_join(p.hd, p.game, "hd") || !path_join(p.cdcopy, p.game, "cd") ||
        !path_join(p.exe, p.base, "kelpmire.exe") || !path_join(p.uninst, p.base, "uninstall.exe") ||
        !path_join(p.exe_new, p.base, "kelpmire.new")) {
        setup_log("ERROR: %s", "the install folder's path is too long");
        return 0;
    }
    /* Merged into another program's folder, its files would be overwritten
       now and deleted by a later uninstall. */
    if (install_folder_is_foreign(p.base)) {
        setup_log("ERROR: %s already holds files of another program: choose another install folder", o->dir);
        return 0;
    }
    /* A disc copied into the install folder would be copied into its own
       copy, level after level; an install into the disc folder would grow the
       disc while it is read. */
    if (is_dir(o->cd) && folders_nested(o->cd, o->dir)) {
        setup_log("ERROR: the disc folder %s and the install folder %s lie inside one another", o->cd, o->dir);
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

    /* The one walk that totals the disc also learns what the install will
       write: every file's size and the deepest path. */
    room_count room;
    cd_count count;
    room_begin(&room, &p, o->dir);
    cd_count_all(src, room_heard, &room, &count);
    uint64_t disc_total = count.bytes;
    progress pr = {0, disc_total + AFTER_COPY_BUDGET, cb, user, 0};
    int copy_self = pf_module_path(self, sizeof self) && strcasecmp(self, p.uninst) != 0;
    /* The game executable with its icon, written beside the one it replaces,
       which stays until the new one is whole: nothing of it is given back. */
    room.need += rounded(payload_size + icon_room(&room), room.cluster);
    if (copy_self) room_add(&room, p.uninst, file_size(self));

    /* Both must hold before the first byte is written: a copy that meets a
       path Windows cannot open, or a full disk, half-way leaves a broken
       folder and no uninstaller. */
    size_t longest = longest_path(&room, &count);
    if (longest > PATH_LIMIT) {
        cd_close(src);
        setup_log("ERROR: the install folder is too long for the disc's deepest file (%d characters): choose a "
                  "shorter folder",
                  (int)longest);
        return 0;
    }
    /* What a reinstall replaces is given back before it is written again. */
    if (!room_for(o->dir, room.need > room.replaced ? room.need - room.replaced : 0)) {
        cd_close(src);
        return 0;
    }

    /* A running game holds its files: a reinstall over it would copy the
       whole disc and only then fail on the game executable. */
    while (game_running(&p, copy_self)) {
        if (!stop_is_asked() && ask_held(ASK_GAME_RUNNING, o->dir)) continue;
        cd_close(src);
        if (stop_is_asked()) setup_log("ERROR: %s", "the installation was stopped");
        else setup_log("ERROR: The Kelpmire is running from %s: close it and run the setup again", o->dir);
        return 0;
    }

    /* From here on a failure takes away what this run wrote. */
    note_before(&p);
    if (!make_dirs(p.hd)) {
        cd_close(src);
        /* Program Files, for one who is not an administrator: the user
           learns what to do. make_dirs leaves no error of its own; the first
           folder it had to make is asked again. */
        if (p.top[0] && !pf_make_dir(p.top) && pf_last_error_denied())
            setup_log("ERROR: you are not allowed to create %s: choose another install folder, or run the setup as an "
                      "administrator",
                      p.top);
        else
            setup_log("ERROR: %s", "cannot create the install folder");
        return undo_install(&p);
    }

    /* An administrator's install, installed again by a user who is not one:
       the folder is there and nothing in it may be changed. Told before the
       copy, which would fail at its first file. A folder this run made is
       the user's to change. */
    if (!p.top[0] && !may_write_in(&p)) {
        cd_close(src);
        setup_log("ERROR: you are not allowed to change %s: choose another install folder, or run the setup as an "
                  "administrator",
                  p.base);
        return undo_install(&p);
    }

    setup_log("Copying %s ...", cd_describe(src));
    if (!cd_copy_all(src, p.cdcopy, &pr)) {
        cd_close(src);
        /* A stop may end the copy as a read that gave up or a question
           answered for it, before any progress heard it. */
        setup_log("ERROR: %s", pr.stopped || stop_is_asked() ? "the installation was stopped" : "copying the CD failed");
        return undo_install(&p);
    }
    cd_close(src);

    setup_log("Setting up the game files ...");
    if (!game_install_files(p.cdcopy, p.hd)) return undo_install(&p);
    if (!progress_add(&pr, HD_FILES_STEP)) {
        setup_log("ERROR: %s", "the installation was stopped");
        return undo_install(&p);
    }

    const void *payload = pf_own_rcdata(PAYLOAD_NAME, &payload_size);
    if (!payload) {
        setup_log("ERROR: %s", "this setup does not contain the game executable");
        return undo_install(&p);
    }
    if (!place_game(&p, payload, payload_size)) return undo_install(&p);

    /* The installed uninstaller may be the one running: never copy onto itself. */
    if (copy_self && !place_uninstaller(&p, self)) return undo_install(&p);

    write_registry(full, p.base, disc_total);

    /* COM and the shell's folders only when a shortcut is asked for: under
       Wine they start the desktop and the RPC service. */
    if (o->startmenu || o->desktop) {
        char startmenu[PATH_CAP], desktop[PATH_CAP];
        shortcut_paths(startmenu, desktop);
        pf_com_begin();
        if (o->startmenu) make_link_or_say(startmenu, p.exe, full);
        if (o->desktop) make_link_or_say(desktop, p.exe, full);
        pf_com_end();
    }

    /* Past the game executable a stop no longer undoes the install. */
    progress_add(&pr, FINAL_STEP);
    setup_log("Done.");
    return 1;
}
