/*
 * setup.cpp - start-up: arguments, disc detection, defaults, options, run mode.
 * Runs on the main thread before any other thread exists.
 */
#include "setup.h"

#include "cdsrc.h"
#include "game_install.h"
#include "platform.h"
#include "setup_log.h"
#include "uninstall.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

install_opts opts;
int quiet;
int silent;

/* The command line as the help box shows it. README.md's "Using the setup"
   quotes it line for line, and a test holds the two together: change both.
   Lines stay short because a message box wraps long lines again at its own
   width, which breaks every hand-made indent. */
static const char HELP_TEXT[] =
    "kelpmire_setup.exe [/silent] [/cd SOURCE]\n"
    "  [/dir FOLDER] [/nodesktop] [/nostartmenu]\n"
    "\n"
    "Without /silent the setup opens its window,\n"
    "with /cd and /dir filled in.\n"
    "\n"
    "/silent: install without the window.\n"
    "/cd SOURCE: the game disc, as a drive (D:\\),\n"
    "  a folder holding a copy of the disc, an\n"
    "  .iso image, a .cue sheet with its .bin\n"
    "  image, or a Nero .nrg, Alcohol .mds,\n"
    "  CloneCD .ccd or DiscJuggler .cdi image.\n"
    "  Without /cd the setup looks in the\n"
    "  CD-ROM drives, then for a disc image\n"
    "  beside itself.\n"
    "/dir FOLDER: the install folder, by default\n"
    "  " DEFAULT_DIR ".\n"
    "/nodesktop: no desktop shortcut.\n"
    "/nostartmenu: no Start-menu shortcut.\n"
    "  (These two act on a silent install only.)\n"
    "/? (or -?, /h, /help): this help.\n"
    "\n"
    "A value with spaces goes in double quotes:\n"
    "  kelpmire_setup.exe /silent /dir \"D:\\My Games\"\n"
    "\n"
    "Exit code: 0 when the game was installed, the\n"
    "window was closed or this help was shown; 1\n"
    "when a silent install failed or an install\n"
    "was stopped.\n"
    "\n"
    "Log: kelpmire_setup.log in the user's\n"
    "temporary folder (%TEMP%), new for every run.\n"
    "\n"
    "To remove the game, Windows runs the\n"
    "uninstaller in the install folder:\n"
    "  uninstall.exe /uninstall [/quiet]\n"
    "/quiet: remove it without asking and without\n"
    "the closing message.";

static int is_help(const char *a)
{
    return strcasecmp(a, "/?") == 0 || strcasecmp(a, "-?") == 0 || strcasecmp(a, "/h") == 0 ||
           strcasecmp(a, "/help") == 0;
}

/* Opens a candidate, asks the game profile, and takes it when it is the disc. */
static void try_candidate(const char *path)
{
    cd_source *src = cd_open(path);
    if (src && game_is_cd(src)) snprintf(opts.cd, sizeof opts.cd, "%s", path);
    cd_close(src);
}

static int ends_with_ci(const char *name, const char *ext)
{
    const char *dot = strrchr(name, '.');
    return dot && strcasecmp(dot, ext) == 0;
}

/* The first CD-ROM drive holding the game disc, else the first image beside
   the setup that is the game disc: an ".iso" or a descriptor (".cue", ".nrg",
   ".mds", ".ccd", ".cdi") first, else an ".img" or ".mdf" (raw images that
   other tools write, read through the ".ccd" or ".mds" of their name when
   one lies beside them). Each enumeration runs to its end; a ".bin" is found
   only through the sheet that names it. */
static void detect_disc(void)
{
    char drives[27 * 4 + 1];
    int n = pf_cd_drives(drives, sizeof drives);
    const char *d = drives;
    for (int i = 0; i < n && !opts.cd[0]; i++, d += strlen(d) + 1) try_candidate(d);

    char folder[PATH_CAP], pattern[PATH_CAP], path[PATH_CAP];
    if (!pf_module_path(folder, sizeof folder)) return;
    char *slash = strrchr(folder, '\\');
    if (!slash) slash = strrchr(folder, '/');
    if (!slash) return;
    *slash = 0;
    if (!path_join(pattern, folder, "*")) return;
    static const char *const exts[2][7] = {{".iso", ".cue", ".nrg", ".mds", ".ccd", ".cdi", NULL},
                                           {".img", ".mdf", NULL}};
    for (int pass = 0; pass < 2 && !opts.cd[0]; pass++) {
        pf_entry e;
        pf_find h = pf_find_first(pattern, &e);
        if (!h) return;
        do {
            int listed = 0;
            for (const char *const *x = exts[pass]; *x && !listed; x++) listed = ends_with_ci(e.name, *x);
            if (opts.cd[0] || !listed) continue;
            if (!path_join(path, folder, e.name)) continue;
            try_candidate(path);
        } while (pf_find_next(h, &e));
        pf_find_close(h);
    }
}

/* Applies the options left to right; an option with a value takes the next
   argument, whatever it is, and the empty string when it is the last. */
static void apply_options(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strcasecmp(a, "/silent") == 0) {
            silent = 1;
        } else if (strcasecmp(a, "/nodesktop") == 0) {
            opts.desktop = 0;
        } else if (strcasecmp(a, "/nostartmenu") == 0) {
            opts.startmenu = 0;
        } else if (strcasecmp(a, "/cd") == 0 || strcasecmp(a, "/dir") == 0) {
            char *field = strcasecmp(a, "/cd") == 0 ? opts.cd : opts.dir;
            const char *value = i + 1 < argc ? argv[++i] : "";
            snprintf(field, PATH_CAP, "%s", value);
        }
    }
}

/* The process id that stage 1 hands on after "/pid", from argument from on;
   0 when there is none. */
static unsigned long stage1_pid(int argc, char **argv, int from)
{
    for (int i = from; i + 1 < argc; i++) {
        if (strcasecmp(argv[i], "/pid") != 0) continue;
        char *end = NULL;
        unsigned long pid = strtoul(argv[i + 1], &end, 10);
        return end != argv[i + 1] && !*end ? pid : 0;
    }
    return 0;
}

int setup_main(void *instance, int show)
{
    int argc = 0;
    char **argv = pf_args(&argc);
    if (!argv) return 1; /* the command line could not be converted exactly */

    for (int i = 1; i < argc; i++)
        if (strcasecmp(argv[i], "/quiet") == 0) quiet = 1;
    /* The uninstall stages run before anything else, the log included; the
       first uninstall argument wins, and a trailing "/uninstall2" is no stage. */
    for (int i = 1; i < argc; i++) {
        if (strcasecmp(argv[i], "/uninstall") == 0) return uninstall_stage1(quiet);
        if (strcasecmp(argv[i], "/uninstall2") == 0) {
            if (i + 1 < argc) return uninstall_stage2(argv[i + 1], quiet, stage1_pid(argc, argv, i + 2));
            break;
        }
    }

    /* Help is asked for by the first argument only: further on, "/h" may be
       the value of /cd or /dir. It comes before the log and the disc search:
       asking for help leaves no trace and waits for no drive. */
    if (argc > 1 && is_help(argv[1])) {
        pf_message_box(HELP_TEXT, SETUP_CAPTION, PF_MB_OK | PF_MB_ICONINFO);
        return 0;
    }

    /* Two runs would share the log and could write into one folder. */
    if (!pf_claim_single_instance()) {
        int asked_silent = 0;
        for (int i = 1; i < argc; i++)
            if (strcasecmp(argv[i], "/silent") == 0) asked_silent = 1;
        if (!asked_silent) pf_message_box("The Kelpmire setup is already running.", SETUP_CAPTION, PF_MB_OK | PF_MB_ICONWARNING);
        return 1;
    }

    log_open();
    setup_log("setup started");
    detect_disc();
    if (!opts.dir[0]) snprintf(opts.dir, sizeof opts.dir, "%s", DEFAULT_DIR);
    opts.desktop = 1;
    opts.startmenu = 1;
    setup_log("defaults: cd '%s' dir '%s'", opts.cd, opts.dir);
    apply_options(argc, argv);

    int rc;
    if (silent) {
        log_set_window(NULL, 1);
        rc = do_install(&opts, NULL, NULL) ? 0 : 1;
    } else {
        rc = window_run(instance, show);
    }
    log_close();
    return rc;
}
