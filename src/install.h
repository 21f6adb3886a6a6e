/*
 * install.h - the install procedure: one complete install from an install_opts
 * record (copy the disc, set up the hard-disk files, write the game executable
 * with the disc's icon, the uninstaller, the registry entry, the shortcuts), and
 * the names the uninstall removes again.
 *
 * do_install runs on one thread at a time (the silent run's main thread or the
 * window's worker) and only reads its options.
 */
#ifndef KELP_INSTALL_H
#define KELP_INSTALL_H

#include "util.h"

typedef struct install_opts {
    char cd[PATH_CAP];  /* the disc source: drive root, folder, ISO, BIN or CUE */
    char dir[PATH_CAP]; /* the install folder */
    int desktop;        /* nonzero: a desktop shortcut */
    int startmenu;      /* nonzero: a shortcut in the Start menu's Programs folder */
} install_opts;

#define GAME_TITLE "The Kelpmire"
/* The game's own folder, made inside a folder that the user picks. */
#define INSTALL_FOLDER_NAME "The Kelpmire PC"
#define UNINSTALL_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kelpmire_Quorvane"
#define PAYLOAD_NAME "GAMEEXE"

/* 1 when the install finished, 0 when it stopped (the reason is logged); a run
   that stops after it has begun writing first removes what it created.
   cb, when given, hears every byte counted, with user handed back; when it
   answers 0 the run stops at the next block and fails the same way. */
int do_install(const install_opts *o, progress_fn cb, void *user);
/* The Start-menu and desktop shortcut paths, each into PATH_CAP bytes; a path
   the shell cannot report is left empty. */
void shortcut_paths(char *startmenu, char *desktop);
/* Creates or replaces one shortcut; 1 when the file was saved, no log line. An
   empty path is no shortcut and gives 0. */
int make_link(const char *lnk, const char *target, const char *workdir);
/* 1 when the folder base (no trailing separator) holds another program's
   files: no game executable, but an "uninstall.exe", or a "game" that is not
   a folder holding nothing but "cd" and "hd". A folder left by an install
   that was cut off is not foreign. */
int install_folder_is_foreign(const char *base);
/* 1 when one of the two folders is the other or lies inside it: by their full
   paths (install_full_path), or by identity, so that two names of one folder
   (another drive letter, an 8.3 name, a share of the same disk, a link) count
   as one. The identity is that of each side's nearest existing folder,
   compared with every folder above the other side's, up to its root. */
int folders_nested(const char *disc, const char *dir);
/* The full path of the folder dir into PATH_CAP bytes, as Windows names it
   (pf_full_path), with no trailing separator but a drive root's ("D:\"). The
   form an install records and the uninstall compares. 0 when it cannot be had
   or does not fit. */
int install_full_path(const char *dir, char *out);
/* The install folder for a folder the user picked, into PATH_CAP bytes: the
   picked folder itself when it is empty or already holds the game, else the
   game's own folder inside it, so that the game is never mixed with what is
   there. */
void install_folder_in(const char *picked, char *out);
/* 1 when the running setup carries the game executable. */
int prebuilt_available(void);
/* The install folder without its trailing separators, into PATH_CAP bytes, for
   joining names to it: "D:\" gives "D:", so that "D:\game" has no doubled
   backslash. 0 when nothing is left or the folder does not fit. */
int install_base(char *out, const char *dir);

#endif
