// Tests of the install procedure on Linux, where the platform layer records the
// registry and the shortcuts as text and a test lends the setup its payload.
// The Windows test program carries no payload; the end-to-end tests under Wine
// run the real setup instead.
#include "install.h"
#include "platform.h"
#include "testkit.h"

#include <gtest/gtest.h>

#include <stdlib.h>

namespace {

#ifndef _WIN32
struct Seen {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
};

void on_progress(uint64_t done, uint64_t total, void *user)
{
    ((Seen *)user)->calls.push_back({done, total});
}
#endif

// Points the platform's stand-ins at scratch folders: the payload, the
// registry record and the shell folders.
struct Stage {
    std::string root, disc, dir, reg, shell;
    Stage(const std::string &name)
    {
        root = scratch(name);
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
    EXPECT_EQ(lines[lines.size() - 2], "ERROR: icon file is not an .ico");
    EXPECT_EQ(lines.back(), "Done.");
}

TEST(DoInstall, CopyFailureLeavesNoUninstallerAndNoRegistryEntry)
{
    Stage s("install_copyfail");
    ASSERT_PAYLOAD_LENT();
    LogCapture log;
    install_opts o = s.opts();
    pf_fail_write_in = 3;
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 0);
    pf_fail_write_in = 0;
    auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "ERROR: copying the CD failed");
    EXPECT_FALSE(path_exists((s.dir + "\\uninstall.exe").c_str()));
    EXPECT_FALSE(path_exists((s.dir + "\\kelpmire.exe").c_str()));
    EXPECT_TRUE(s.registry().empty());
}

#endif

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

TEST(DoInstall, TooLittleFreeSpaceIsFoundBeforeAnythingIsWritten)
{
    Stage s("install_space");
    ASSERT_PAYLOAD_LENT();
    // The disc, the game executable and the uninstaller (this program).
    const uint64_t need = 5 * 1000 + (3 << 20) + 16 + own_size(), MB = 1 << 20;
    ASSERT_NE(need % MB, 0u) << "the rounding below needs a need that is no whole MB";
    LogCapture log;
    install_opts o = s.opts();
    pf_fake_free_bytes = (long long)need - 1;
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 0);
    // Off Windows there are no drive letters: the nearest existing folder
    // names the volume.
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Install to " + s.dir,
                               "ERROR: not enough free space on " + s.root + ": " + std::to_string(need / MB + 1) +
                                   " MB needed, " + std::to_string(need / MB) + " MB free",
                           }));
    EXPECT_FALSE(path_exists((s.root + "\\Games").c_str()));
    EXPECT_TRUE(s.registry().empty());

    pf_fake_free_bytes = (long long)need;
    EXPECT_EQ(do_install(&o, nullptr, nullptr), 1) << "exactly enough is enough";
    pf_fake_free_bytes = -1;
    EXPECT_EQ(log.lines().back(), "Done.");
}

TEST(DoInstall, FolderWithATrailingBackslashGivesNoDoubledBackslash)
{
    // As an install into a drive root ("D:\") does.
    Stage s("install_trailing");
    ASSERT_PAYLOAD_LENT();
    install_opts o = s.opts();
    snprintf(o.dir, sizeof o.dir, "%s\\", s.dir.c_str());
    ASSERT_EQ(do_install(&o, nullptr, nullptr), 1);
    auto reg = s.registry();
    ASSERT_EQ(reg.size(), 8u);
    EXPECT_EQ(reg[1], "UninstallString=REG_SZ:\"" + s.dir + "\\uninstall.exe\" /uninstall");
    EXPECT_EQ(reg[2], "DisplayIcon=REG_SZ:" + s.dir + "\\kelpmire.exe,0");
    EXPECT_EQ(reg[3], "InstallLocation=REG_SZ:" + s.dir + "\\");
    EXPECT_EQ(get(s.shell + "\\Desktop\\The Kelpmire.lnk"),
              "target=" + s.dir + "\\kelpmire.exe\nworkdir=" + s.dir + "\\\ndescription=The Kelpmire\nicon=" + s.dir +
                  "\\kelpmire.exe,0\n");
    EXPECT_EQ(get(s.dir + "\\game\\hd\\HD.QAR"), pattern_bytes(1000, 'D'));
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
#endif

} // namespace
