// Tests of the install procedure on Linux, where the platform layer records the
// registry and the shortcuts as text and a test lends the setup its payload.
// The Windows test program carries no payload; the end-to-end tests under Wine
// run the real setup instead.
#include "install.h"
#include "platform.h"
#ifndef _WIN32
#include "platform_double.h"
#endif
#include "testkit.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <algorithm>

namespace {

#ifndef _WIN32
struct Seen {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
};

int on_progress(uint64_t done, uint64_t total, void *user)
{
    ((Seen *)user)->calls.push_back({done, total});
    return 1;
}
#endif

// Points the platform's stand-ins at scratch folders: the payload, the
// registry record and the shell folders.
struct Stage {
    std::string root, disc, dir, reg, shell;
    Stage(const std::string &name)
    {
        root = scratch(name);
        // In the full form that an install records: every separator a
        // backslash (the POSIX temporary folder begins "/tmp/").
        for (char &c : root)
            if (c == '/') c = '\\';
        disc = root + "\\disc";
        dir = root + "\\Games\\The Kelpmire PC";
        reg = root + "\\reg";
        shell = root + "\\shell";
        put(root + "\\rc\\GAMEEXE", "MZ stand-in game");
        make_dirs(reg.c_str());
        make_dirs((shell + "\\Programs").c_str());
        make_dirs((shell + "\\Desktop").c_str());
        set_env("KELP_RCDATA_DIR", root + "\\rc");
        set_env("KELP_REGISTRY_DIR", reg);
        set_env("KELP_SHELL_DIR", shell);
        for (const char *f : {"DATA\\A.QAR", "DATA\\HD.QAR", "DATA\\T.QAR", "SETUP\\KMX.EXE", "SETUP\\PLAYW32.DLL"})
            put(disc + "\\" + f, pattern_bytes(1000, f[0]));
        put(disc + "\\MOVIES\\INTRO.VID", pattern_bytes(3 << 20, 5));
    }
    ~Stage()
    {
        set_env("KELP_REGISTRY_DIR", "");
        set_env("KELP_SHELL_DIR", "");
    }
    install_opts opts(int desktop = 1, int startmenu = 1) const
    {
        install_opts o = {};
        snprintf(o.cd, sizeof o.cd, "%s", disc.c_str());
        snprintf(o.dir, sizeof o.dir, "%s", dir.c_str());
        o.desktop = desktop;
        o.startmenu = startmenu;
        return o;
    }
    std::vector<std::string> registry() const
    {
        std::string text = get(reg + "\\Software#Microsoft#Windows#CurrentVersion#Uninstall#Kelpmire_Quorvane");
        std::vector<std::string> lines;
        size_t at = 0, nl;
        while ((nl = text.find('\n', at)) != std::string::npos) lines.push_back(text.substr(at, nl - at)), at = nl + 1;
        return lines;
    }
};

// The cases that install need the payload a Stage lends through the test
// double. The Windows test program carries no resources and has no way to
// borrow one: there they are not built, and the end-to-end tests under Wine
// cover them with the real setup.
#ifndef _WIN32
#define ASSERT_PAYLOAD_LENT() ASSERT_TRUE(prebuilt_available()) << "the payload lent through KELP_RCDATA_DIR"

TEST(DoInstall, CompleteInstallFromAFolder)
{
    Stage s("install_full");
    ASSERT_PAYLOAD_LENT();
    const uint64_t T = 5 * 1000 + (3 << 20);
    LogCapture log;
    Seen seen;
    install_opts o = s.opts();
    ASSERT_EQ(do_install(&o, on_progress, &seen), 1);

    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Install to " + s.dir,
                               "Copying folder " + s.disc + " ...",
                               "Setting up the game files ...",
                               "Done.",
                           }));
    ASSERT_FALSE(seen.calls.empty());
    EXPECT_EQ(seen.calls.back().first, T + 0x800000);
    EXPECT_EQ(seen.calls.back().second, T + 0x800000);

    EXPECT_EQ(get(s.dir + "\\game\\cd\\MOVIES\\INTRO.VID"), pattern_bytes(3 << 20, 5));
    EXPECT_EQ(get(s.dir + "\\game\\hd\\HD.QAR"), pattern_bytes(1000, 'D'));
    EXPECT_EQ(get(s.dir + "\\kelpmire.exe"), "MZ stand-in game");
    EXPECT_TRUE(path_exists((s.dir + "\\uninstall.exe").c_str()));

    EXPECT_EQ(s.registry(), (std::vector<std::string>{
                                "DisplayName=REG_SZ:The Kelpmire (Quorvane)",
                                "UninstallString=REG_SZ:\"" + s.dir + "\\uninstall.exe\" /uninstall",
                                "DisplayIcon=REG_SZ:" + s.dir + "\\kelpmire.exe,0",
                                "InstallLocation=REG_SZ:" + s.dir,
                                "Publisher=REG_SZ:Quorvane port (fan project)",
                                "EstimatedSize=REG_DWORD:" + std::to_string((T + 20971520) >> 10),
                                "NoModify=REG_DWORD:1",
                                "NoRepair=REG_DWORD:1",
                            }));
    std::string link = "target=" + s.dir + "\\kelpmire.exe\nworkdir=" + s.dir +
                       "\ndescription=The Kelpmire\nicon=" + s.dir + "\\kelpmire.exe,0\n";
    EXPECT_EQ(get(s.shell + "\\Programs\\The Kelpmire.lnk"), link);
    EXPECT_EQ(get(s.shell + "\\Desktop\\The Kelpmire.lnk"), link);
}

TEST(DoInstall, ShortcutFlagsChooseTheShortcuts)
{
    Stage s("install_links");
    ASSERT_PAYLOAD_LENT();
    struct {
        int desktop, startmenu;
    } cases[] = {{0, 0}, {1, 0}, {0, 1}};
    for (auto &c : cases) {
        delete_tree((s.shell + "\\Programs").c_str());
        delete_tree((s.shell + "\\Desktop").c_str());
        make_dirs((s.shell + "\\Programs").c_str());
        make_dirs((s.shell + "\\Desktop").c_str());
        install_opts o = s.opts(c.desktop, c.startmenu);
        ASSERT_EQ(do_install(&o, nullptr, nullptr), 1);
        EXPECT_EQ(path_exists((s.shell + "\\Desktop\\The Kelpmire.lnk").c_str()), c.desktop);
        EXPECT_EQ(path_exists((s.shell + "\\Programs\\The Kelpmire.lnk").c_str()), c.startmenu);
    }
}

TEST(DoInstall, NotTheGameDiscCreatesNothing)
{
    Stage s("install_notdisc");
    ASSERT_PAYLOAD_LENT();
    delete_tree((s.disc + "\\SETUP").c_str());
    LogCapture log;
    install_opts o = s.opts();
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 0);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Install to " + s.dir,
                               "CD check: SETUP\\KMX.EXE missing",
                               "ERROR: this is not The Kelpmire CD",
                           }));
    EXPECT_FALSE(path_exists((s.root + "\\Games").c_str()));
}

TEST(DoInstall, EarlyFailures)
{
    Stage s("install_early");
    ASSERT_PAYLOAD_LENT();
    struct {
        std::string cd, dir, error;
    } cases[] = {
        {s.root + "\\no such disc", s.dir, "ERROR: the CD is not a readable disc, image or folder"},
        {"", s.dir, "ERROR: no game disc found: insert the CD, or name the disc, an image or a folder with /cd"},
        {s.disc, "", "ERROR: no install folder given"},
    };
    for (auto &c : cases) {
        LogCapture log;
        install_opts o = {};
        snprintf(o.cd, sizeof o.cd, "%s", c.cd.c_str());
        snprintf(o.dir, sizeof o.dir, "%s", c.dir.c_str());
        EXPECT_EQ(do_install(&o, nullptr, nullptr), 0);
        EXPECT_EQ(log.lines(), (std::vector<std::string>{"Install to " + c.dir, c.error}));
        EXPECT_FALSE(path_exists((s.root + "\\Games").c_str()));
    }
}

#endif

TEST(DoInstall, WithoutThePayloadNothingIsTouched)
{
    Stage s("install_nopayload");
    set_env("KELP_RCDATA_DIR", "");
    LogCapture log;
    install_opts o = s.opts();
    ASSERT_FALSE(prebuilt_available()) << "this test program carries a payload of its own";
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 0);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Install to " + s.dir,
                                                     "ERROR: this setup does not contain the game executable"}));
    EXPECT_FALSE(path_exists((s.root + "\\Games").c_str()));
}

#ifndef _WIN32
TEST(DoInstall, IconFileThatIsNoIconIsReportedAndTheInstallGoesOn)
{
    Stage s("install_badicon");
    ASSERT_PAYLOAD_LENT();
    put(s.disc + "\\KMIRE.ICO", std::string("\0\0\2\0\1\0", 6) + "junk");
    LogCapture log;
    install_opts o = s.opts();
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 1);
    auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 3], "ERROR: icon file is not an .ico");
    EXPECT_EQ(lines[lines.size() - 2], "the game executable goes in place without its icon");
    EXPECT_EQ(lines.back(), "Done.");
    EXPECT_EQ(get(s.dir + "\\kelpmire.exe"), "MZ stand-in game");
    EXPECT_FALSE(path_exists((s.dir + "\\kelpmire.new").c_str())) << "put in place";
}

// What a failed run leaves: the folders it made are gone with everything in
// them, and no uninstaller, game or registry entry of its own; what was there
// before stays, also the files it had already replaced.
TEST(DoInstall, AFailedRunRemovesWhatItCreatedAndNothingElse)
{
    struct Case {
        const char *name;
        void (*before)(const Stage &);
        std::vector<std::string> stays, gone;
    } cases[] = {
        {"new folder", [](const Stage &) {}, {}, {"\\Games"}},
        {"empty folder", [](const Stage &s) { make_dirs(s.dir.c_str()); }, {""},
         {"\\game", "\\kelpmire.exe", "\\uninstall.exe"}},
        {"user's files",
         [](const Stage &s) {
             put(s.dir + "\\my notes.txt", "mine");
             put(s.dir + "\\kelpmire.ini", "the game's");
         },
         {"\\my notes.txt", "\\kelpmire.ini"}, {"\\game", "\\kelpmire.exe", "\\uninstall.exe"}},
        {"reinstall",
         [](const Stage &s) {
             put(s.dir + "\\kelpmire.exe", "old game");
             put(s.dir + "\\uninstall.exe", "old uninstaller");
             put(s.dir + "\\game\\hd\\save.dat", "saved");
         },
         {"\\kelpmire.exe", "\\uninstall.exe", "\\game\\hd\\save.dat"}, {}},
    };
    for (auto &c : cases) {
        Stage s("install_undo");
        c.before(s);
        LogCapture log;
        install_opts o = s.opts();
        pf_fail_write_in = 3; // in the disc copy
        EXPECT_EQ(do_install(&o, nullptr, nullptr), 0) << c.name;
        pf_fail_write_in = 0;
        auto lines = log.lines();
        ASSERT_GE(lines.size(), 2u) << c.name;
        EXPECT_EQ(lines[lines.size() - 2], "ERROR: copying the CD failed") << c.name;
        EXPECT_EQ(lines.back(), "removed what this install had written") << c.name;
        EXPECT_TRUE(s.registry().empty()) << c.name;
        for (auto &rel : c.stays) EXPECT_TRUE(path_exists((s.dir + rel).c_str())) << c.name << ": " << rel;
        for (auto &rel : c.gone) EXPECT_FALSE(path_exists((s.dir + rel).c_str())) << c.name << ": " << rel;
        EXPECT_TRUE(is_dir(s.disc.c_str())) << c.name;
    }
}

// A caller that answers "stop" ends the run at the next block: the run fails,
// says why and takes away what it wrote. It may answer so in the disc copy, or
// once the disc's bytes are all counted, at the hard-disk files' step.
struct StopAt {
    int calls = 0;
    int at_call = 0;        // answers stop at this call (from 1), or
    uint64_t past = 0;      // at the first call whose count is past this
    int stopped_at = 0;
};

int stop_at(uint64_t done, uint64_t, void *user)
{
    StopAt *s = (StopAt *)user;
    s->calls++;
    if (s->stopped_at) return 0;
    if (s->calls == s->at_call || (s->past && done > s->past)) s->stopped_at = s->calls;
    return !s->stopped_at;
}

TEST(DoInstall, AStopFromTheCallbackEndsTheRunAndRemovesWhatWasWritten)
{
    const uint64_t disc_bytes = 5 * 1000 + (3 << 20);
    struct {
        const char *what;
        StopAt stop;
    } cases[] = {
        {"in the disc copy", {0, 2, 0, 0}},
        {"after the disc copy", {0, 0, disc_bytes, 0}},
    };
    for (auto &c : cases) {
        Stage s("install_stop");
        LogCapture log;
        install_opts o = s.opts();
        StopAt stop = c.stop;
        EXPECT_EQ(do_install(&o, stop_at, &stop), 0) << c.what;
        EXPECT_EQ(stop.calls, stop.stopped_at) << c.what << ": no block copied after the stop";
        auto lines = log.lines();
        ASSERT_GE(lines.size(), 2u) << c.what;
        EXPECT_EQ(lines[lines.size() - 2], "ERROR: the installation was stopped") << c.what;
        EXPECT_EQ(lines.back(), "removed what this install had written") << c.what;
        EXPECT_FALSE(path_exists((s.root + "\\Games").c_str())) << c.what;
        EXPECT_TRUE(s.registry().empty()) << c.what;
    }
}

// Another program's files in the folder: refused before anything is written,
// and every one of them stays as it was. A folder that an install cut off
// left behind, or a whole installation, may be installed into.
TEST(DoInstall, AnotherProgramsFilesAreNeverTakenForOurs)
{
    struct Case {
        const char *name;
        std::vector<std::pair<std::string, std::string>> files;
        bool refused;
    } cases[] = {
        {"an uninstaller", {{"uninstall.exe", "other"}}, true},
        {"a game folder of its own", {{"game\\data.pak", "other"}}, true},
        {"a game folder beside cd and hd", {{"game\\cd\\x", "1"}, {"game\\saves\\s", "2"}}, true},
        {"a file named game", {{"game", "other"}}, true},
        {"both", {{"uninstall.exe", "other"}, {"game\\data.pak", "other"}}, true},
        {"an install cut off", {{"game\\cd\\DATA\\A.QAR", "part"}, {"game\\hd\\x", "part"}}, false},
        {"an installation", {{"kelpmire.exe", "old"}, {"uninstall.exe", "old"}, {"game\\cd\\y", "old"}}, false},
    };
    for (auto &c : cases) {
        Stage s("install_foreign");
        for (auto &f : c.files) put(s.dir + "\\" + f.first, f.second);
        LogCapture log;
        install_opts o = s.opts();
        EXPECT_EQ(do_install(&o, nullptr, nullptr), c.refused ? 0 : 1) << c.name;
        if (!c.refused) continue;
        EXPECT_EQ(log.lines().back(),
                  "ERROR: " + s.dir + " already holds files of another program: choose another install folder")
            << c.name;
        for (auto &f : c.files) EXPECT_EQ(get(s.dir + "\\" + f.first), f.second) << c.name;
        EXPECT_FALSE(path_exists((s.dir + "\\kelpmire.exe").c_str())) << c.name;
        EXPECT_TRUE(s.registry().empty()) << c.name;
    }
}

// A disc copied into the install folder and picked from there, or an install
// folder inside the disc folder: refused before anything is written.
TEST(DoInstall, DiscFolderAndInstallFolderInsideOneAnother)
{
    Stage s("install_nested");
    std::string inner = s.dir + "\\disc copy";
    for (const char *f : {"DATA\\A.QAR", "DATA\\HD.QAR", "DATA\\T.QAR", "SETUP\\KMX.EXE", "SETUP\\PLAYW32.DLL"})
        put(inner + "\\" + f, "x");
    struct {
        std::string cd, dir;
    } cases[] = {{inner, s.dir}, {inner + "\\", s.dir + "\\"}, {s.disc, s.disc + "\\Game"}, {s.disc, s.disc}};
    for (auto &c : cases) {
        LogCapture log;
        install_opts o = s.opts();
        snprintf(o.cd, sizeof o.cd, "%s", c.cd.c_str());
        snprintf(o.dir, sizeof o.dir, "%s", c.dir.c_str());
        EXPECT_EQ(do_install(&o, nullptr, nullptr), 0) << c.cd << " " << c.dir;
        EXPECT_EQ(log.lines().back(),
                  "ERROR: the disc folder " + c.cd + " and the install folder " + c.dir + " lie inside one another");
        EXPECT_FALSE(path_exists((s.dir + "\\game").c_str()));
        EXPECT_FALSE(path_exists((s.disc + "\\Game").c_str()));
    }
}

#endif

TEST(FoldersNested, ByNameAfterDotsAndSeparators)
{
    struct {
        const char *a, *b;
        int nested;
    } cases[] = {
#ifdef _WIN32
        {"C:\\Games\\TK", "C:\\Games\\TK\\disc", 1},
        {"C:\\Games\\TK\\", "c:/games/tk/./x/../disc", 1},
        {"D:\\", "D:\\Games", 1},
        {"C:\\Games\\TK", "C:\\Games\\TK2", 0},
        {"C:\\Games\\TK", "D:\\Games\\TK", 0},
        {"C:\\Games\\A\\..\\TK", "C:\\Games\\TK", 1},
#else
        {"/g/tk", "/g/tk/disc", 1},
        {"/g/tk/", "\\g\\TK\\.\\x\\..\\disc", 1},
        {"/", "/g", 1},
        {"/g/tk", "/g/tk2", 0},
        {"/g/a/../tk", "/g/tk", 1},
        {"/g/tk/..", "/g/other", 1},
#endif
    };
    for (auto &c : cases) {
        EXPECT_EQ(folders_nested(c.a, c.b), c.nested) << c.a << " " << c.b;
        EXPECT_EQ(folders_nested(c.b, c.a), c.nested) << c.b << " " << c.a;
    }
}

#ifndef _WIN32
// A second name of the same folder (here a link; on Windows also another drive
// letter, an 8.3 name or a share of the same disk, which the tests under Wine
// cover) is the same folder: the installed disc copy given as the disc under
// another name would be written while it is read.
TEST(FoldersNested, ByIdentityUnderAnotherName)
{
    std::string root = scratch("nested_identity");
    put(root + "\\inst\\game\\cd\\DATA\\A.QAR", "a");
    put(root + "\\other\\x", "x");
    std::string inst = root + "\\inst", alias = root + "\\alias", beside = root + "\\beside";
    ASSERT_EQ(symlink((root + "/inst").c_str(), (root + "/alias").c_str()), 0);
    ASSERT_EQ(symlink((root + "/other").c_str(), (root + "/beside").c_str()), 0);
    struct {
        std::string disc, dir;
        int nested;
    } cases[] = {
        {alias + "\\game\\cd", inst, 1},        // the installed copy, through the link
        {inst + "\\game\\cd", alias, 1},        // the install folder, through the link
        {inst, alias + "\\new\\sub", 1},        // a folder still to be made in the disc
        {alias + "\\GAME\\cd", inst + "\\", 1}, // letter case and a trailing separator
        {inst + "\\game\\cd", beside, 0},       // a link to another folder
        {alias + "\\game\\cd", root + "\\fresh", 0},
        {alias + "\\game\\cd", beside + "\\new", 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(folders_nested(c.disc.c_str(), c.dir.c_str()), c.nested) << c.disc << " " << c.dir;
}
#endif

// The folder that Browse returns gets the game's own folder, unless it is
// empty or an installation of the game already.
TEST(InstallFolderIn, AppendsTheGamesFolderToAFolderInUse)
{
    std::string root = scratch("folder_in");
    make_dirs((root + "\\empty").c_str());
    put(root + "\\used\\other.txt", "x");
    put(root + "\\installed\\kelpmire.exe", "game");
    put(root + "\\installed\\game\\cd\\A", "a");
    struct {
        std::string picked, want;
    } cases[] = {
        {root + "\\empty", root + "\\empty"},
        {root + "\\used", root + "\\used\\The Kelpmire PC"},
        {root + "\\used\\", root + "\\used\\The Kelpmire PC"},
        {root + "\\installed", root + "\\installed"},
        {root, root + "\\The Kelpmire PC"},
    };
    for (auto &c : cases) {
        char out[PATH_CAP];
        install_folder_in(c.picked.c_str(), out);
        EXPECT_EQ(std::string(out), c.want) << c.picked;
    }
}

} // namespace

namespace {

#ifndef _WIN32
TEST(DoInstall, RelativeFolderIsRefusedBeforeAnythingIsWritten)
{
    Stage s("install_relative");
    ASSERT_PAYLOAD_LENT();
    char was[PATH_CAP];
    ASSERT_NE(pf_current_dir(was, sizeof was), 0u);
    ASSERT_TRUE(pf_set_current_dir(s.root.c_str()));
    for (const char *dir : {"Games\\The Kelpmire PC", ".", "Games"}) {
        LogCapture log;
        install_opts o = s.opts();
        snprintf(o.dir, sizeof o.dir, "%s", dir);
        EXPECT_EQ(do_install(&o, nullptr, nullptr), 0) << dir;
        EXPECT_EQ(log.lines(), (std::vector<std::string>{
                                   std::string("Install to ") + dir,
                                   "ERROR: the install folder must be a full path, such as C:\\Games\\The Kelpmire PC",
                               }));
        EXPECT_FALSE(path_exists((s.root + "\\Games").c_str())) << dir;
        EXPECT_FALSE(path_exists((s.root + "\\game").c_str())) << dir;
        EXPECT_FALSE(path_exists((s.root + "\\kelpmire.exe").c_str())) << dir;
        EXPECT_TRUE(s.registry().empty()) << dir;
    }
    pf_set_current_dir(was);
}

// A folder the user may not make (Program Files, for one who is not an
// administrator) is named with what to do, and nothing is written; a
// deeper folder refused says no more than before.
TEST(DoInstall, AFolderTheUserMayNotMakeSaysWhatToDo)
{
    Stage s("install_denied");
    ASSERT_PAYLOAD_LENT();
    struct {
        std::string denied, want;
    } cases[] = {
        {s.root + "\\Games", "ERROR: you are not allowed to create " + s.root +
                                 "\\Games: choose another install folder, or run the setup as an administrator"},
        {s.dir + "\\game\\hd", "ERROR: cannot create the install folder"},
    };
    for (auto &c : cases) {
        pf_deny_changes_in = c.denied.c_str();
        LogCapture log;
        install_opts o = s.opts();
        EXPECT_EQ(do_install(&o, nullptr, nullptr), 0) << c.denied;
        pf_deny_changes_in = nullptr;
        auto lines = log.lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.want), lines.end()) << c.denied;
        EXPECT_FALSE(path_exists((s.root + "\\Games").c_str())) << c.denied;
        EXPECT_TRUE(s.registry().empty()) << c.denied;
    }
}

// An administrator's install, installed again by a user who is not one: the
// folder may not be changed. The user is told so before the copy, and the
// install that is there stays whole.
TEST(DoInstall, AnInstallTheUserMayNotChangeSaysWhatToDoAndStaysWhole)
{
    Stage s("install_notmine");
    ASSERT_PAYLOAD_LENT();
    install_opts o = s.opts();
    ASSERT_EQ(do_install(&o, nullptr, nullptr), 1);
    put(s.dir + "\\game\\hd\\HD.QAR", "played");
    auto before = s.registry();
    pf_deny_changes_in = s.dir.c_str();
    LogCapture log;
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 0);
    pf_deny_changes_in = nullptr;
    auto lines = log.lines();
    std::string want =
        "ERROR: you are not allowed to change " + s.dir + ": choose another install folder, or run the setup as an administrator";
    EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end());
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string &l) { return l.rfind("Copying", 0) == 0; }),
              0);
    EXPECT_EQ(get(s.dir + "\\game\\hd\\HD.QAR"), "played");
    EXPECT_EQ(get(s.dir + "\\kelpmire.exe"), get(s.root + "\\rc\\GAMEEXE"));
    EXPECT_FALSE(path_exists((s.dir + "\\kelpmire.new").c_str()));
    EXPECT_EQ(s.registry(), before);
}

uint64_t own_size()
{
    char self[PATH_CAP];
    uint64_t size = 0;
    if (!pf_module_path(self, sizeof self)) return 0;
    pf_file f = pf_open_read(self, 0);
    pf_file_size(f, &size);
    pf_close(f);
    return size;
}

uint64_t up(uint64_t size, uint64_t cluster) { return (size + cluster - 1) / cluster * cluster; }

// The room that the game executable takes: the stage's payload of 16 bytes
// with what an icon may add (twice its file, none on the stage's disc, and a
// resource section rounded up to the largest file alignment, 64 KiB).
uint64_t game_room(uint64_t cluster, uint64_t icon_file = 0) { return up(16 + 2 * icon_file + 0x10000, cluster); }

// The log of a run refused for want of room. Off Windows there are no drive
// letters: the nearest existing folder names the volume.
std::vector<std::string> refused_for_room(const Stage &s, const std::string &volume, uint64_t need,
                                          uint64_t free_bytes)
{
    const uint64_t MB = 1 << 20;
    return {"Install to " + s.dir, "ERROR: not enough free space on " + volume + ": " +
                                       std::to_string((need + MB - 1) / MB) + " MB needed, " +
                                       std::to_string(free_bytes / MB) + " MB free"};
}

// The cluster of the volume the stage lies on, which every file there takes
// whole.
uint64_t cluster_of(const Stage &s)
{
    uint64_t c = 0;
    EXPECT_TRUE(pf_cluster_size(s.root.c_str(), &c));
    return c ? c : 1;
}

// Every file takes whole clusters, and the three hard-disk files are written
// twice: a disc of many small files that fits by its bytes may not fit at all.
TEST(DoInstall, RoomForEveryFileRoundedToTheClusterAndTheHardDiskCopies)
{
    Stage s("install_space");
    ASSERT_PAYLOAD_LENT();
    for (int i = 0; i < 200; i++) put(s.disc + "\\SMALL\\S" + std::to_string(i) + ".DAT", "ten bytes!");
    const uint64_t C = cluster_of(s), self = own_size(), MOVIE = 3 << 20;
    ASSERT_GE(C, 512u);
    // The disc, the hard-disk copies, the game, the uninstaller.
    const uint64_t hd_copies = 3 * up(1000, C);
    const uint64_t need = 5 * up(1000, C) + up(MOVIE, C) + 200 * up(10, C) + hd_copies + game_room(C) + up(self, C);
    const uint64_t bytes_alone = 5 * 1000 + MOVIE + 200 * 10 + 3 * 1000 + 16 + self;
    struct {
        const char *what;
        uint64_t free_bytes;
        int ok;
    } cases[] = {
        {"the bytes alone", bytes_alone, 0},
        {"whole clusters, without the hard-disk copies", need - hd_copies, 0},
        {"one byte short", need - 1, 0},
        {"exactly enough", need, 1},
    };
    for (auto &c : cases) {
        LogCapture log;
        install_opts o = s.opts();
        pf_fake_free_bytes = (long long)c.free_bytes;
        EXPECT_EQ(do_install(&o, nullptr, nullptr), c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(log.lines().back(), "Done.") << c.what;
        } else {
            EXPECT_EQ(log.lines(), refused_for_room(s, s.root, need, c.free_bytes)) << c.what;
            EXPECT_FALSE(path_exists((s.root + "\\Games").c_str())) << c.what;
        }
    }
    pf_fake_free_bytes = -1;
}

// The files that a reinstall replaces give their clusters back before they are
// written again; files that it does not replace do not.
TEST(DoInstall, ReinstallCountsTheFilesItReplacesAsFree)
{
    Stage s("install_again_space");
    ASSERT_PAYLOAD_LENT();
    const uint64_t C = cluster_of(s), MOVIE = 3 << 20;
    const uint64_t need = 8 * up(1000, C) + up(MOVIE, C) + game_room(C) + up(own_size(), C);
    put(s.dir + "\\kelpmire.exe", std::string(5000, 'g'));                 // stays until the new one is whole
    put(s.dir + "\\uninstall.exe", std::string(100, 'u'));                 // replaced
    put(s.dir + "\\game\\cd\\MOVIES\\INTRO.VID", std::string(MOVIE, 'm')); // replaced
    put(s.dir + "\\game\\hd\\HD.QAR", "old");                              // replaced
    put(s.dir + "\\game\\cd\\OLD.DAT", std::string(1 << 20, 'o'));         // stays: no credit
    make_dirs((s.dir + "\\game\\cd\\DATA\\T.QAR").c_str());               // a folder is no file replaced
    const uint64_t net = need - (up(100, C) + up(MOVIE, C) + up(3, C));
    install_opts o = s.opts();
    {
        LogCapture log;
        pf_fake_free_bytes = (long long)net - 1;
        EXPECT_EQ(do_install(&o, nullptr, nullptr), 0);
        EXPECT_EQ(log.lines(), refused_for_room(s, s.dir, net, net - 1));
        EXPECT_EQ(get(s.dir + "\\game\\hd\\HD.QAR"), "old") << "nothing written";
    }
    delete_tree((s.dir + "\\game\\cd\\DATA").c_str());
    pf_fake_free_bytes = (long long)net;
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 1) << "exactly enough";
    pf_fake_free_bytes = (long long)game_room(C);
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 1)
        << "the same disc again replaces every file it writes, the game executable once it is whole";
    pf_fake_free_bytes = -1;
    EXPECT_EQ(get(s.dir + "\\game\\cd\\OLD.DAT").size(), 1u << 20);
}

// Windows opens no path longer than 259 characters, and makes no folder whose
// path leaves no room for a short file name (12 characters) within them: the
// longest path that the install would make (here a file of the disc, or an
// empty folder counted with that room) is checked first.
TEST(DoInstall, LongestPathAtTheLimitInstallsAndOneMoreIsRefusedBeforeAnythingIsWritten)
{
    Stage s("install_limit");
    ASSERT_PAYLOAD_LENT();
    const std::string deep_file = "EXTRAS\\A FILE WITH A RATHER LONG NAME.BIN";
    const std::string deep_folder = "EXTRAS\\AN EMPTY FOLDER WITH A LONG NAME";
    // A folder named word (of word_chars characters) and more, in which the
    // path dir\game\cd\deepest has n characters.
    auto folder_for = [&](size_t n, const std::string &deepest, const std::string &word, size_t word_chars) {
        std::string dir = s.root + "\\" + word;
        size_t want = n - strlen("\\game\\cd\\") - deepest.size() + (word.size() - word_chars);
        while (dir.size() < want) dir += dir.size() % 100 == 99 ? '\\' : 'x';
        if (dir.back() == '\\') dir.back() = 'y';
        return dir;
    };
    const std::string city = "\xC5\x81\xC3\xB3\x64\xC5\xBA \xE6\x9D\xB1\xE4\xBA\xAC"; // 7 characters, 14 bytes
    struct {
        int folder;     // the deepest entry is the empty folder, else the file
        size_t longest; // as counted: the folder's path with 12 characters more
        const char *tail;
        std::string word;
        size_t word_chars;
        int ok;
    } cases[] = {
        {0, 259, "", "xx", 2, 1},
        {0, 259, "\\", "xx", 2, 1},
        {0, 259, "", "xx" + city, 9, 1}, // characters are counted, not bytes
        {0, 260, "", "xx", 2, 0},
        {0, 260, "", "xx" + city, 9, 0},
        {0, 300, "\\", "xx", 2, 0},
        {1, 259, "", "xx", 2, 1}, // a folder of 247 characters
        {1, 260, "", "xx", 2, 0}, // 248: CreateDirectory refuses it
    };
    for (auto &c : cases) {
        delete_tree((s.root + "\\xx").c_str());
        delete_tree((s.root + "\\xx" + city).c_str());
        delete_tree((s.disc + "\\EXTRAS").c_str());
        const std::string &deepest = c.folder ? deep_folder : deep_file;
        if (c.folder) make_dirs((s.disc + "\\" + deepest).c_str());
        else put(s.disc + "\\" + deepest, "x");
        size_t path = c.longest - (c.folder ? 12 : 0);
        std::string dir = folder_for(path, deepest, c.word, c.word_chars);
        ASSERT_EQ(pf_path_chars(dir.c_str()) + strlen("\\game\\cd\\") + deepest.size(), path);
        LogCapture log;
        install_opts o = s.opts();
        snprintf(o.dir, sizeof o.dir, "%s%s", dir.c_str(), c.tail);
        EXPECT_EQ(do_install(&o, nullptr, nullptr), c.ok) << dir << c.tail;
        if (c.ok) {
            EXPECT_TRUE(path_exists((dir + "\\game\\cd\\" + deepest).c_str())) << dir << c.tail;
            continue;
        }
        EXPECT_EQ(log.lines(), (std::vector<std::string>{
                                   std::string("Install to ") + o.dir,
                                   "ERROR: the install folder is too long for the disc's deepest file (" +
                                       std::to_string(c.longest) + " characters): choose a shorter folder",
                               }));
        EXPECT_FALSE(path_exists((s.root + "\\" + c.word).c_str())) << "nothing written";
    }
}

// The Apps entry and the shortcuts hold the folder's full path however it was
// typed: a trailing backslash (as an install into a drive root, "D:\", has),
// doubled backslashes, "." and "..", slashes. Names joined to it get no
// doubled backslash.
TEST(DoInstall, FolderAsTypedIsRecordedByItsFullPath)
{
    Stage s("install_typed");
    ASSERT_PAYLOAD_LENT();
    std::string doubled, slashed;
    for (char c : s.dir) doubled += c == '\\' ? std::string("\\\\") : std::string(1, c);
    for (char c : s.dir) slashed += c == '\\' ? '/' : c;
    for (const std::string &typed : {s.dir + "\\", doubled, s.dir + "\\.\\x\\..", slashed}) {
        delete_tree((s.root + "\\Games").c_str());
        pf_reg_delete_user_key(UNINSTALL_KEY);
        install_opts o = s.opts();
        snprintf(o.dir, sizeof o.dir, "%s", typed.c_str());
        ASSERT_EQ(do_install(&o, nullptr, nullptr), 1) << typed;
        auto reg = s.registry();
        ASSERT_EQ(reg.size(), 8u);
        EXPECT_EQ(reg[1], "UninstallString=REG_SZ:\"" + s.dir + "\\uninstall.exe\" /uninstall") << typed;
        EXPECT_EQ(reg[2], "DisplayIcon=REG_SZ:" + s.dir + "\\kelpmire.exe,0") << typed;
        EXPECT_EQ(reg[3], "InstallLocation=REG_SZ:" + s.dir) << typed;
        EXPECT_EQ(get(s.shell + "\\Desktop\\The Kelpmire.lnk"),
                  "target=" + s.dir + "\\kelpmire.exe\nworkdir=" + s.dir + "\ndescription=The Kelpmire\nicon=" +
                      s.dir + "\\kelpmire.exe,0\n")
            << typed;
        EXPECT_EQ(get(s.dir + "\\game\\hd\\HD.QAR"), pattern_bytes(1000, 'D')) << typed;
    }
}

TEST(DoInstall, ShortcutThatCannotBeMadeIsLoggedAndTheInstallSucceeds)
{
    Stage s("install_nolink");
    ASSERT_PAYLOAD_LENT();
    // A file where the desktop folder should be.
    delete_tree((s.shell + "\\Desktop").c_str());
    put(s.shell + "\\Desktop", "not a folder");
    LogCapture log;
    install_opts o = s.opts();
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 1);
    auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    char startmenu[PATH_CAP], desktop[PATH_CAP];
    shortcut_paths(startmenu, desktop);
    EXPECT_EQ(lines[lines.size() - 2], std::string("cannot create the shortcut ") + desktop);
    EXPECT_EQ(lines.back(), "Done.");
    EXPECT_TRUE(path_exists((s.shell + "\\Programs\\The Kelpmire.lnk").c_str()));

    // No shell folders at all: each missing shortcut is named all the same.
    set_env("KELP_SHELL_DIR", "");
    LogCapture again;
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 1);
    lines = again.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"cannot create the shortcut The Kelpmire.lnk",
                                        "cannot create the shortcut The Kelpmire.lnk", "Done."}));
}

// Before the Retry of the question after the game was found running: the
// game ends.
void close_game() { double_running[0] = 0; }

// A game running from the install folder is found before anything is
// written: a silent run is refused at once, not after copying the disc; the
// window's question looks again on Retry.
TEST(DoInstall, AGameRunningFromTheFolderIsFoundBeforeAnythingIsWritten)
{
    Stage s("install_running");
    ASSERT_PAYLOAD_LENT();
    install_opts o = s.opts();
    ASSERT_EQ(do_install(&o, nullptr, nullptr), 1);
    std::string exe = s.dir + "\\kelpmire.exe";
    put(s.dir + "\\game\\hd\\HD.QAR", "played");
    snprintf(double_running, sizeof double_running, "%s", exe.c_str());
    {
        LogCapture log;
        EXPECT_EQ(do_install(&o, nullptr, nullptr), 0);
        EXPECT_EQ(log.lines(), (std::vector<std::string>{
                                   "Install to " + s.dir,
                                   "ERROR: The Kelpmire is running from " + s.dir + ": close it and run the setup again",
                               }));
        EXPECT_EQ(get(s.dir + "\\game\\hd\\HD.QAR"), "played") << "nothing written";
    }
    AskRecord asked{close_game};
    set_ask_held(record_ask, &asked);
    LogCapture log;
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 1);
    set_ask_held(nullptr, nullptr);
    double_running[0] = 0;
    EXPECT_EQ(asked.count, 1);
    EXPECT_EQ(asked.what, ASK_GAME_RUNNING);
    EXPECT_EQ(asked.path, s.dir);
    EXPECT_EQ(log.lines().back(), "Done.");
    EXPECT_EQ(get(s.dir + "\\game\\hd\\HD.QAR"), pattern_bytes(1000, 'D'));
}

// An uninstaller that cannot be written fails the install: never "Done."
// with an Apps entry naming a missing uninstaller. What the run wrote goes.
TEST(DoInstall, AnUninstallerThatCannotBeWrittenFailsTheInstall)
{
    Stage s("install_nouninst");
    ASSERT_PAYLOAD_LENT();
    // A folder in its place: the copy fails, and not for a hold.
    put(s.dir + "\\uninstall.exe\\x", "x");
    put(s.dir + "\\kelpmire.exe", "old game");
    LogCapture log;
    install_opts o = s.opts();
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 0);
    auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    std::string want = "ERROR: cannot write " + s.dir + "\\uninstall.exe (error ";
    EXPECT_EQ(lines[lines.size() - 2].substr(0, want.size()), want);
    EXPECT_EQ(lines.back(), "removed what this install had written");
    EXPECT_TRUE(s.registry().empty()) << "no Apps entry";
    EXPECT_FALSE(path_exists((s.dir + "\\game").c_str()));
    EXPECT_FALSE(path_exists((s.dir + "\\kelpmire.new").c_str()));
}

// The game executable is written beside its place and given its icon there,
// then put in place.
TEST(DoInstall, TheGameIsGivenItsIconBesideItsPlace)
{
    Stage s("install_iconbeside");
    ASSERT_PAYLOAD_LENT();
    std::string ico = std::string("\0\0\1\0\1\0", 6) + std::string("\x10\x10\0\0\1\0\x20\0", 8) +
                      std::string("\x08\0\0\0\x16\0\0\0", 8) + "IMAGEDAT";
    put(s.disc + "\\KMIRE.ICO", ico);
    install_opts o = s.opts();
    LogCapture log;
    ASSERT_EQ(do_install(&o, nullptr, nullptr), 1);
    EXPECT_EQ(log.lines().back(), "Done.");
    EXPECT_TRUE(path_exists((s.dir + "\\kelpmire.new.res").c_str())) << "the icon given to the file beside";
    EXPECT_EQ(get(s.dir + "\\kelpmire.exe"), "MZ stand-in game");
    EXPECT_FALSE(path_exists((s.dir + "\\kelpmire.new").c_str()));
}

// A hold on the icon's update that outlasts the tries is asked about as any
// write's is: Retry gives the game its icon; Cancel stops the installation
// there, without writing the executable again only to meet the same hold,
// and what the run wrote goes.
TEST(DoInstall, AHeldIconUpdateIsAskedAboutAndItsCancelStopsTheInstall)
{
    for (int retry : {1, 0}) {
        Stage s(retry ? "install_iconheld_retry" : "install_iconheld_cancel");
        ASSERT_PAYLOAD_LENT();
        put(s.disc + "\\KMIRE.ICO", std::string("\0\0\1\0\1\0", 6) + std::string("\x10\x10\0\0\1\0\x20\0", 8) +
                                        std::string("\x08\0\0\0\x16\0\0\0", 8) + "IMAGEDAT");
        // The question ends the hold and gives the answer the test chose.
        AskRecord asked{[] { pf_fault_held = {0, 0}; }, retry};
        set_ask_held(record_ask, &asked);
        // The hold begins with the icon's update, the change after the
        // executable's own write.
        pf_fault_held_from = "kelpmire.new";
        pf_fault_held = {1, -1};
        install_opts o = s.opts();
        LogCapture log;
        EXPECT_EQ(do_install(&o, nullptr, nullptr), retry) << retry;
        pf_fault_held = {0, 0};
        pf_fault_held_from = nullptr;
        set_ask_held(nullptr, nullptr);
        stop_reset();
        EXPECT_EQ(asked.count, 1) << retry;
        EXPECT_EQ(asked.what, ASK_HELD_FILE) << retry;
        EXPECT_EQ(asked.path, s.dir + "\\kelpmire.new") << retry;
        auto lines = log.lines();
        if (retry) {
            EXPECT_EQ(lines.back(), "Done.");
            EXPECT_TRUE(path_exists((s.dir + "\\kelpmire.new.res").c_str())) << "the icon written";
            EXPECT_EQ(get(s.dir + "\\kelpmire.exe"), "MZ stand-in game");
            continue;
        }
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
                  (std::vector<std::string>{"ERROR: cannot write the game executable's icon",
                                            "ERROR: the installation was stopped",
                                            "removed what this install had written"}));
        EXPECT_FALSE(path_exists(s.dir.c_str()));
        EXPECT_TRUE(s.registry().empty());
    }
}
#endif

// An icon update that the disk ran out under leaves the file it rewrote cut
// in half: the game goes in place without its icon, byte for byte the
// payload, and runs. Under Wine the payload is a real program, given its
// icon by the system's own resource update, and is started.
TEST(DoInstall, AnIconUpdateCutOffPartWayLeavesAGameThatRuns)
{
    Stage s("install_iconcut");
#ifdef _WIN32
    const char *program = getenv("KELP_NOICON_EXE");
    ASSERT_TRUE(program && *program) << "KELP_NOICON_EXE names the program to install as the game";
    put(s.root + "\\rc\\GAMEEXE", get(program));
    // The Apps entry goes to this prefix's registry: it goes again at the end.
    struct Unregister {
        ~Unregister() { pf_reg_delete_user_key(UNINSTALL_KEY); }
    } unregister;
#endif
    const std::string payload = get(s.root + "\\rc\\GAMEEXE");
    ASSERT_EQ(payload.substr(0, 2), "MZ");
    ASSERT_TRUE(prebuilt_available()) << "the payload lent through KELP_RCDATA_DIR";
    put(s.disc + "\\KMIRE.ICO", std::string("\0\0\1\0\1\0", 6) + std::string("\x10\x10\0\0\1\0\x20\0", 8) +
                                     std::string("\x08\0\0\0\x16\0\0\0", 8) + "IMAGEDAT");
    install_opts o = s.opts(0, 0);
    LogCapture log;
    pf_fail_res_update_cut = 1;
    int ok = do_install(&o, nullptr, nullptr);
    const int cut = pf_fail_res_update_cut == 0;
    pf_fail_res_update_cut = 0;
    set_env("KELP_RCDATA_DIR", "");
    ASSERT_TRUE(cut) << "the icon update was never ended";
    EXPECT_EQ(ok, 1);
    auto lines = log.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"ERROR: cannot write the game executable's icon",
                                        "the game executable goes in place without its icon", "Done."}));
    const std::string exe = s.dir + "\\kelpmire.exe";
    EXPECT_TRUE(get(exe) == payload) << "kelpmire.exe is not the payload (" << get(exe).size() << " bytes, the payload "
                                     << payload.size() << ")";
    EXPECT_FALSE(path_exists((s.dir + "\\kelpmire.new").c_str()));
#ifdef _WIN32
    EXPECT_EQ(_spawnl(_P_WAIT, exe.c_str(), "kelpmire", NULL), 0) << "the installed game does not run";
#endif
}

} // namespace
