// Tests of do_uninstall on a hand-made installation. On Linux the registry key
// and the shell folders are the platform layer's text records in scratch
// folders; under Wine they are the test prefix's own, and the same checks apply.
#include "install.h"
#include "platform.h"
#ifndef _WIN32
#include "platform_double.h"
#endif
#include "testkit.h"
#include "uninstall.h"
#include "util.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>

#include <algorithm>

namespace {

const char *const installed[] = {"kelpmire.exe", "uninstall.exe", "kelpmire.ini", "kelpmire_registry.txt",
                                 "kelpmire.log", "kelpmire_setup.log"};

// An installation in "<scratch>\The Kelpmire PC", with its registry key and
// both shortcuts present, and a desktop shortcut of someone else's.
struct Installed {
    std::string root, dir, startmenu, desktop, other;
    Installed(const std::string &name)
    {
        root = scratch(name);
        dir = root + "\\The Kelpmire PC";
        set_env("KELP_REGISTRY_DIR", root + "\\reg");
        set_env("KELP_SHELL_DIR", root + "\\shell");
        make_dirs((root + "\\reg").c_str());
        for (const char *f : installed) put(dir + "\\" + f, f);
        put(dir + "\\game\\cd\\DATA\\A.QAR", "a");
        put(dir + "\\game\\hd\\HD.QAR", "hd");
        pf_set_attributes((dir + "\\game\\cd\\DATA\\A.QAR").c_str(), PF_ATTR_READONLY);
        entry(dir);
        char sm[PATH_CAP], dt[PATH_CAP];
        shortcut_paths(sm, dt);
        startmenu = sm, desktop = dt;
        if (startmenu.empty() || desktop.empty()) abort();
        for (const std::string &lnk : {startmenu, desktop}) make_dirs(lnk.substr(0, lnk.rfind('\\')).c_str());
        links(dir);
        other = desktop.substr(0, desktop.rfind('\\')) + "\\Other.lnk";
        put(other, "someone else's");
    }
    ~Installed()
    {
        pf_reg_delete_user_key(UNINSTALL_KEY);
        pf_delete_file(startmenu.c_str());
        pf_delete_file(desktop.c_str());
        pf_delete_file(other.c_str());
        set_env("KELP_REGISTRY_DIR", "");
        set_env("KELP_SHELL_DIR", "");
    }
    // The Apps entry as an install writes it for the folder at.
    static void entry(const std::string &at)
    {
        pf_key k = pf_reg_create_user_key(UNINSTALL_KEY);
        if (!k) abort();
        pf_reg_set_string(k, "DisplayName", "The Kelpmire (Quorvane)");
        pf_reg_set_string(k, "InstallLocation", at.c_str());
        pf_reg_close(k);
    }
    // Both shortcuts, starting the game in the folder at.
    void links(const std::string &at) const
    {
        pf_com_begin();
        for (const std::string &lnk : {startmenu, desktop})
            if (!make_link(lnk.c_str(), (at + "\\kelpmire.exe").c_str(), at.c_str())) abort();
        pf_com_end();
    }
    bool has(const std::string &rel) const { return path_exists((dir + "\\" + rel).c_str()); }
    // Whether the key is there; deleting it is the portable way to ask, so
    // the key is written again when it was.
    bool key() const
    {
        if (!pf_reg_delete_user_key(UNINSTALL_KEY)) return false;
        pf_key k = pf_reg_create_user_key(UNINSTALL_KEY);
        pf_reg_close(k);
        return true;
    }
    // Nothing of the installation is gone.
    void expect_untouched(const std::string &why) const
    {
        for (const char *f : installed) EXPECT_TRUE(has(f)) << why << ": " << f;
        EXPECT_EQ(get(dir + "\\game\\cd\\DATA\\A.QAR"), "a") << why;
        EXPECT_EQ(get(dir + "\\game\\hd\\HD.QAR"), "hd") << why;
        EXPECT_TRUE(path_exists(startmenu.c_str())) << why;
        EXPECT_TRUE(path_exists(desktop.c_str())) << why;
        EXPECT_TRUE(key()) << why;
    }
};

TEST(DoUninstall, RemovesTheInstallationAndKeepsTheUsersFiles)
{
    Installed in("uninst_user");
    put(in.dir + "\\my notes.txt", "mine");
    put(in.dir + "\\saves\\slot1.sav", "mine too");
    EXPECT_EQ(do_uninstall(in.dir.c_str(), NULL), UNINSTALL_DONE);
    for (const char *f : installed) EXPECT_FALSE(in.has(f)) << f;
    EXPECT_FALSE(in.has("game"));
    EXPECT_EQ(get(in.dir + "\\my notes.txt"), "mine");
    EXPECT_EQ(get(in.dir + "\\saves\\slot1.sav"), "mine too");
    EXPECT_FALSE(path_exists(in.startmenu.c_str()));
    EXPECT_FALSE(path_exists(in.desktop.c_str()));
    EXPECT_EQ(get(in.other), "someone else's");
    EXPECT_FALSE(in.key());
}

TEST(DoUninstall, RemovesTheEmptiedFolderAlsoWhenNamedWithATrailingBackslash)
{
    for (const char *tail : {"", "\\"}) {
        Installed in("uninst_all");
        EXPECT_EQ(do_uninstall((in.dir + tail).c_str(), NULL), UNINSTALL_DONE) << tail;
        EXPECT_FALSE(path_exists(in.dir.c_str())) << tail;
        EXPECT_TRUE(is_dir(in.root.c_str())) << tail;
    }
}

TEST(DoUninstall, EmptyOrRelativeFolderRemovesNothing)
{
    // Run from the folder that holds the installation and from the
    // installation itself, where each of these names would find it.
    Installed in("uninst_relative");
    char was[PATH_CAP];
    ASSERT_NE(pf_current_dir(was, sizeof was), 0u);
    std::vector<std::pair<std::string, std::string>> cases = {
        {in.root, "The Kelpmire PC"}, {in.root, ".\\The Kelpmire PC"}, {in.root, "The Kelpmire PC\\"},
        {in.dir, ""}, {in.dir, "."}, {in.dir, "..\\The Kelpmire PC"},
    };
#ifdef _WIN32
    // Relative to the current drive, and to the drive's current folder.
    cases.push_back({in.root, in.dir.substr(2)});
    cases.push_back({in.root, in.dir.substr(0, 2) + "The Kelpmire PC"});
#endif
    for (auto &c : cases) {
        ASSERT_TRUE(pf_set_current_dir(c.first.c_str())) << c.first;
        EXPECT_EQ(do_uninstall(c.second.c_str(), NULL), UNINSTALL_NOT_FOUND) << c.second;
        ASSERT_TRUE(pf_set_current_dir(was));
        in.expect_untouched("'" + c.second + "' from " + c.first);
    }
}

TEST(DoUninstall, AFolderWithoutTheGameOrTheUninstallerIsNoInstallation)
{
    // The setup run with /uninstall from a downloads folder names that folder.
    Installed in("uninst_downloads");
    std::string downloads = in.root + "\\Downloads";
    put(downloads + "\\kelpmire_setup.exe", "setup");
    put(downloads + "\\game\\save.dat", "another game's");
    put(downloads + "\\kelpmire.ini", "kept");
    make_dirs((downloads + "\\kelpmire.exe").c_str()); // a folder of that name is no game
    EXPECT_EQ(do_uninstall(downloads.c_str(), NULL), UNINSTALL_NOT_FOUND);
    EXPECT_EQ(get(downloads + "\\game\\save.dat"), "another game's");
    EXPECT_EQ(get(downloads + "\\kelpmire.ini"), "kept");
    EXPECT_EQ(get(downloads + "\\kelpmire_setup.exe"), "setup");
    in.expect_untouched("downloads");
}

// A folder is an installation when it holds the game, or when the Apps
// entry names it (a removal cut short runs again); an uninstall.exe alone
// may be another program's.
TEST(DoUninstall, AnInstallationIsRecognisedByWhatTheInstallWrote)
{
    struct {
        const char *missing;
        bool entry_here;
        uninstall_result want;
    } cases[] = {
        {"uninstall.exe", true, UNINSTALL_DONE},
        {"uninstall.exe", false, UNINSTALL_DONE},
        {"kelpmire.exe", true, UNINSTALL_DONE},
        {"kelpmire.exe", false, UNINSTALL_NOT_FOUND},
    };
    for (auto &c : cases) {
        Installed in("uninst_recognised");
        pf_delete_file((in.dir + "\\" + c.missing).c_str());
        if (!c.entry_here) Installed::entry(in.root + "\\Elsewhere");
        EXPECT_EQ(do_uninstall(in.dir.c_str(), NULL), c.want) << c.missing << c.entry_here;
        EXPECT_EQ(path_exists(in.dir.c_str()), c.want != UNINSTALL_DONE) << c.missing << c.entry_here;
        if (c.want == UNINSTALL_NOT_FOUND) {
            EXPECT_EQ(get(in.dir + "\\uninstall.exe"), "uninstall.exe");
            EXPECT_TRUE(in.has("game\\hd\\HD.QAR"));
        }
    }
}

// Earlier versions stored the install folder in the Apps entry, and the
// shortcuts' targets, as the user typed it: the uninstall that stage 1 hands
// its own folder still knows them, and leaves no entry behind.
TEST(DoUninstall, AnEntryStoredAsTypedIsStillRecognised)
{
    auto spelled = [](const std::string &dir, char from, const std::string &to) {
        std::string out;
        for (char c : dir) out += c == from ? to : std::string(1, c);
        return out;
    };
    for (int i = 0; i < 5; i++) {
        Installed in("uninst_typed");
        const std::string typed[] = {
            spelled(in.dir, '\\', "/"),
            spelled(in.dir, '\\', "\\\\"),
            in.dir + "\\",
            in.dir + "\\.\\..\\The Kelpmire PC",
            spelled(in.dir, 'e', "E"),
        };
        const std::string &t = typed[i];
        Installed::entry(t);
        in.links(t);
        EXPECT_EQ(do_uninstall(in.dir.c_str(), NULL), UNINSTALL_DONE) << t;
        EXPECT_FALSE(in.key()) << t;
        EXPECT_FALSE(path_exists(in.startmenu.c_str())) << t;
        EXPECT_FALSE(path_exists(in.desktop.c_str())) << t;
    }
}

// Install into A, then into B: the Apps entry and the shortcuts are B's.
// Removing A leaves them working.
TEST(DoUninstall, AnotherFoldersEntryAndShortcutsStay)
{
    Installed in("uninst_a_then_b");
    std::string b = in.root + "\\The Kelpmire PC B";
    put(b + "\\kelpmire.exe", "B's game");
    Installed::entry(b + "\\");
    in.links(b);
    EXPECT_EQ(do_uninstall(in.dir.c_str(), NULL), UNINSTALL_DONE);
    EXPECT_FALSE(path_exists(in.dir.c_str()));
    EXPECT_TRUE(in.key()) << "B's entry";
    char target[PATH_CAP];
    pf_com_begin();
    for (const std::string &lnk : {in.startmenu, in.desktop}) {
        ASSERT_TRUE(pf_shortcut_target(lnk.c_str(), target, sizeof target)) << lnk;
        EXPECT_EQ(std::string(target), b + "\\kelpmire.exe");
    }
    pf_com_end();
    EXPECT_EQ(get(b + "\\kelpmire.exe"), "B's game");
}

// Read-only files, the game and the uninstaller among them, go like the
// others.
TEST(DoUninstall, ReadOnlyFilesAreRemoved)
{
    Installed in("uninst_readonly");
    for (const char *f : installed) pf_set_attributes((in.dir + "\\" + f).c_str(), PF_ATTR_READONLY);
    pf_set_attributes((in.dir + "\\game\\hd\\HD.QAR").c_str(), PF_ATTR_READONLY);
    EXPECT_EQ(do_uninstall(in.dir.c_str(), NULL), UNINSTALL_DONE);
    EXPECT_FALSE(path_exists(in.dir.c_str()));
    EXPECT_FALSE(in.key());
}

// The uninstaller that stays (stage 1 still running from it) makes the
// removal partial, and the entry that starts it again stays.
TEST(DoUninstall, AnUninstallerThatStaysKeepsItsEntry)
{
    Installed in("uninst_stays");
    std::string uninst = in.dir + "\\uninstall.exe";
#ifdef _WIN32
    pf_file hold = pf_open_read(uninst.c_str(), 0); // shared for reading only: no delete
    ASSERT_NE(hold, PF_NO_FILE);
#else
    pf_delete_file(uninst.c_str());
    put(uninst + "\\in use", "x"); // a folder cannot be deleted as a file
#endif
    EXPECT_EQ(do_uninstall(in.dir.c_str(), NULL), UNINSTALL_PARTIAL);
#ifdef _WIN32
    pf_close(hold);
#endif
    EXPECT_TRUE(path_exists(uninst.c_str()));
    EXPECT_FALSE(in.has("kelpmire.exe"));
    EXPECT_FALSE(in.has("game"));
    EXPECT_TRUE(in.key());
}

TEST(DoUninstall, AGameInUseStopsEverything)
{
    Installed in("uninst_running");
    std::string exe = in.dir + "\\kelpmire.exe";
#ifdef _WIN32
    // Held open without sharing, as the running game holds it.
    pf_file hold = pf_create(exe.c_str());
    ASSERT_NE(hold, PF_NO_FILE);
#else
    // Nothing holds a file against deletion here: every deletion fails as
    // for a file in use, past its tries.
    pf_fail_delete_in_use = 1000;
#endif
    EXPECT_EQ(do_uninstall(in.dir.c_str(), NULL), UNINSTALL_RUNNING);
#ifdef _WIN32
    pf_close(hold);
    put(exe, "kelpmire.exe");
#endif
    pf_fail_delete_in_use = 0;
    in.expect_untouched("game running");
}

#ifndef _WIN32
// The game runs when a process runs its kelpmire.exe, whatever its deletion
// answers (Windows answers access denied for a running program's file):
// nothing goes, and the box says that it runs. A deletion denied while
// nothing holds the file is a missing right, and the box names the file.
TEST(DoUninstall, ARunningGameIsToldFromAMissingRight)
{
    const std::string running = "The Kelpmire is still running. Close it and run the uninstall again.";
    struct Case {
        const char *what;
        bool game_runs;
        int denied;
        uninstall_result want;
    } cases[] = {
        {"running, its deletion would pass", true, 0, UNINSTALL_RUNNING},
        {"not running, its deletion denied", false, 1, UNINSTALL_PARTIAL},
    };
    for (const Case &c : cases) {
        Installed in("uninst_denied");
        // The uninstall names the game by the folder's full path.
        char full[PATH_CAP];
        ASSERT_TRUE(install_full_path((in.dir + "\\kelpmire.exe").c_str(), full));
        std::string exe = full;
        std::string box = c.game_runs ? running
                                      : "Some files of The Kelpmire could not be removed: you are not allowed to "
                                        "change " + exe + ". Run the uninstall as an administrator.";
        snprintf(double_running, sizeof double_running, "%s", c.game_runs ? exe.c_str() : "");
        char denied[PATH_CAP] = "x";
        pf_fail_delete_denied = c.denied;
        EXPECT_EQ(do_uninstall(in.dir.c_str(), denied), c.want) << c.what;
        EXPECT_EQ(std::string(denied), c.game_runs ? "" : exe) << c.what;
        pf_fail_delete_denied = 0;
        in.expect_untouched(c.what);

        // The same through stage 2, which says it in its box.
        pf_fail_delete_denied = c.denied;
        double_reset();
        testing::internal::CaptureStderr();
        EXPECT_EQ(uninstall_stage2(in.dir.c_str(), 0, 0), 0);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::string(double_asked.box_text), box) << c.what;
        pf_fail_delete_denied = 0;
        double_running[0] = 0;
        in.expect_untouched(c.what);
    }
}
#endif

// A game that cannot be deleted for any other reason (no rights, here a
// folder in its place) is no running game: the removal is partial, and
// nothing else goes, so that the shortcuts and the entry still serve.
TEST(DoUninstall, AGameThatCannotBeDeletedButIsNotInUseIsPartial)
{
    Installed in("uninst_norights");
    std::string exe = in.dir + "\\kelpmire.exe";
    pf_delete_file(exe.c_str());
    put(exe + "\\x", "x");
    Installed::entry(in.dir); // what recognises the folder now
    EXPECT_EQ(do_uninstall(in.dir.c_str(), NULL), UNINSTALL_PARTIAL);
    delete_tree(exe.c_str());
    put(exe, "kelpmire.exe");
    in.expect_untouched("game not deletable");
}

TEST(DoUninstall, AFileThatStaysInTheGameTreeKeepsTheUninstallerAndItsEntry)
{
    Installed in("uninst_partial");
    put(in.dir + "\\my notes.txt", "mine");
#ifdef _WIN32
    // A data file held open without sharing, as the running game holds it.
    std::string stays = in.dir + "\\game\\cd\\DATA\\A.QAR";
    pf_set_attributes(stays.c_str(), PF_ATTR_NORMAL);
    pf_file hold = pf_create(stays.c_str());
    ASSERT_NE(hold, PF_NO_FILE);
#else
    // Nothing holds a file against root on Linux: a file below "game" whose
    // path is too long to be reached stays instead.
    std::string deep = in.dir + "\\game";
    while (deep.size() < 500) {
        deep += "\\" + std::string(std::min<size_t>(100, 500 - deep.size()), 's');
        ASSERT_TRUE(pf_make_dir(deep.c_str()) || is_dir(deep.c_str())) << deep.size();
    }
    std::string stays = deep + "\\" + std::string(30, 'f');
    pf_close(pf_create(stays.c_str()));
#endif
    EXPECT_EQ(do_uninstall(in.dir.c_str(), NULL), UNINSTALL_PARTIAL);
#ifdef _WIN32
    pf_close(hold);
#endif
    EXPECT_TRUE(path_exists(stays.c_str()));
    EXPECT_FALSE(in.has("kelpmire.exe"));
    EXPECT_FALSE(in.has("game\\hd"));
    EXPECT_FALSE(in.has("kelpmire.ini"));
    EXPECT_FALSE(path_exists(in.startmenu.c_str())) << "it starts a game that is gone";
    EXPECT_FALSE(path_exists(in.desktop.c_str()));
    // What runs the uninstall again stays.
    EXPECT_EQ(get(in.dir + "\\uninstall.exe"), "uninstall.exe");
    EXPECT_TRUE(in.key());
    EXPECT_EQ(get(in.dir + "\\my notes.txt"), "mine");
#ifndef _WIN32
    // Reached from nearer by, the long path can go.
    char was[PATH_CAP];
    ASSERT_NE(pf_current_dir(was, sizeof was), 0u);
    ASSERT_TRUE(pf_set_current_dir((in.dir + "\\game").c_str()));
    delete_tree(std::string(100, 's').c_str());
    pf_set_current_dir(was);
#endif
}

bool is_link(const std::string &path)
{
    uint32_t a = pf_attributes(path.c_str());
    return a != PF_ATTR_INVALID && (a & PF_ATTR_REPARSE);
}

TEST(DoUninstall, AGameFolderThatIsALinkKeepsWhatItPointsTo)
{
    // The fixture's "install\game" is a Unix link to "game_data".
    const char *fx = getenv("KELP_GAME_LINK_FIXTURE");
    if (!fx) GTEST_SKIP() << "run through ctest, which makes the link";
    std::string base = fx, dir = base + "\\install", data = base + "\\game_data";
    ASSERT_TRUE(is_link(dir + "\\game")) << "fixture made";
    set_env("KELP_REGISTRY_DIR", "");
    set_env("KELP_SHELL_DIR", "");
    put(dir + "\\kelpmire.exe", "game");
    put(dir + "\\uninstall.exe", "uninstaller");
    uninstall_result r = do_uninstall(dir.c_str(), NULL);
    EXPECT_EQ(get(data + "\\cd\\DATA\\A.QAR"), "a\n") << "what the link points to is untouched";
    EXPECT_EQ(get(data + "\\hd\\HD.QAR"), "hd\n");
    EXPECT_FALSE(path_exists((dir + "\\kelpmire.exe").c_str()));
    EXPECT_EQ(r, UNINSTALL_DONE);
    EXPECT_FALSE(path_exists((dir + "\\game").c_str()));
    EXPECT_FALSE(path_exists(dir.c_str()));
}

TEST(InstallBase, DropsTrailingSeparatorsOnly)
{
    struct {
        const char *dir, *base;
    } cases[] = {
        {"D:\\", "D:"},
        {"C:\\Games\\The Kelpmire PC", "C:\\Games\\The Kelpmire PC"},
        {"C:\\Games\\The Kelpmire PC\\\\", "C:\\Games\\The Kelpmire PC"},
        {"\\\\server\\share\\", "\\\\server\\share"},
        {"", nullptr},
        {"\\", nullptr},
    };
    for (auto &c : cases) {
        char out[PATH_CAP] = "unset";
        EXPECT_EQ(install_base(out, c.dir), c.base ? 1 : 0) << c.dir;
        if (c.base) {
            EXPECT_STREQ(out, c.base);
        }
    }
}

#ifndef _WIN32
// The stages as the test double sees them: the questions and boxes asked for,
// the second stage started from the temporary copy, and that copy left for
// deletion at the next restart. (Under Wine the end-to-end tests run them.)
TEST(UninstallStages, StageOneStartsTheCopyOnItsOwnFolderAndStageTwoSaysWhatItFound)
{
    char self[PATH_CAP], temp[PATH_CAP];
    ASSERT_NE(pf_module_path(self, sizeof self), 0u);
    ASSERT_NE(pf_temp_dir(temp, sizeof temp), 0u);
    std::string copy = std::string(temp) + "kelpmire_uninstall.exe";

    double_reset();
    testing::internal::CaptureStderr();
    // The double starts no process: stage 1 asks, tries to start stage 2 with
    // its own id to wait for, and says that the uninstall could not start.
    EXPECT_EQ(uninstall_stage1(0), 1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(double_asked.boxes, 2) << "the question, then the failure";
    EXPECT_EQ(std::string(double_asked.box_text),
              "The uninstall could not be started (error " + std::to_string(ENOSYS) + ").");
    EXPECT_EQ(double_asked.starts, 1);
    std::string started = double_asked.started, want = "\"" + copy + "\" /uninstall2 \"";
    EXPECT_EQ(started.substr(0, want.size()), want);
    std::string pid = " /pid " + std::to_string(pf_process_id());
    EXPECT_EQ(started.substr(started.size() - pid.size()), pid) << "without /quiet: " << started;
    EXPECT_EQ(get(copy), get(self)) << "the copy is this program";
    pf_delete_file(copy.c_str());

    // A folder without an installation: stage 2 removes nothing, says so,
    // and leaves its own file for the restart.
    std::string folder = scratch("stage2_nothing");
    put(folder + "\\notes.txt", "mine");
    double_reset();
    testing::internal::CaptureStderr();
    EXPECT_EQ(uninstall_stage2(folder.c_str(), 0, 0), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(double_asked.boxes, 1);
    EXPECT_EQ(std::string(double_asked.box_text), "There is no installation of The Kelpmire in " + folder + ".");
    EXPECT_STREQ(double_asked.box_caption, "The Kelpmire uninstall");
    EXPECT_EQ(double_asked.box_flags, (unsigned)(PF_MB_OK | PF_MB_ICONWARNING));
    EXPECT_EQ(double_asked.restart_deletes, 1);
    EXPECT_STREQ(double_asked.restart_delete, self);
    EXPECT_TRUE(path_exists(self)) << "nothing is deleted now";
    EXPECT_EQ(get(folder + "\\notes.txt"), "mine");
}

// A normal user cannot have stage 2's copy deleted at the restart: the next
// stage 1 removes every copy that earlier uninstalls left, except one that a
// process still runs.
TEST(UninstallStages, StageOneRemovesTheCopiesEarlierUninstallsLeft)
{
    char temp[PATH_CAP];
    ASSERT_NE(pf_temp_dir(temp, sizeof temp), 0u);
    std::string t = temp;
    std::string stale = t + "kelpmire_uninstall_4711.exe", stale_ro = t + "KELPMIRE_UNINSTALL_12.EXE",
                runs = t + "kelpmire_uninstall_99.exe", other = t + "kelpmire_uninstall notes.txt";
    for (const std::string &f : {stale, stale_ro, runs, other}) put(f, "x");
    pf_set_attributes(stale_ro.c_str(), PF_ATTR_READONLY);
    snprintf(double_running, sizeof double_running, "%s", runs.c_str());
    double_reset();
    testing::internal::CaptureStderr();
    EXPECT_EQ(uninstall_stage1(0), 1); // the double starts no stage 2
    testing::internal::GetCapturedStderr();
    double_running[0] = 0;
    EXPECT_FALSE(path_exists(stale.c_str()));
    EXPECT_FALSE(path_exists(stale_ro.c_str()));
    EXPECT_TRUE(path_exists(runs.c_str())) << "a copy in use stays for the next run";
    EXPECT_TRUE(path_exists(other.c_str())) << "no copy of ours";
    for (const std::string &f : {runs, other, t + "kelpmire_uninstall.exe"}) pf_delete_file(f.c_str());
}
#endif

} // namespace
