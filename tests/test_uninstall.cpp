// Tests of do_uninstall on a hand-made installation.
#include "platform.h"
#include "testkit.h"
#include "uninstall.h"
#include "util.h"

#include <gtest/gtest.h>

namespace {

const char *const installed[] = {"kelpmire.exe", "uninstall.exe", "kelpmire.ini", "kelpmire_registry.txt",
                                 "kelpmire.log", "kelpmire_setup.log"};

std::string make_install(const std::string &name)
{
    std::string d = scratch(name) + "\\The Kelpmire PC";
    for (const char *f : installed) put(d + "\\" + f, f);
    put(d + "\\game\\cd\\DATA\\A.QAR", "a");
    put(d + "\\game\\hd\\HD.QAR", "hd");
    pf_set_attributes((d + "\\game\\cd\\DATA\\A.QAR").c_str(), PF_ATTR_READONLY);
    return d;
}

TEST(DoUninstall, RemovesTheInstallationAndKeepsTheUsersFiles)
{
    std::string d = make_install("uninst_user");
    put(d + "\\my notes.txt", "mine");
    put(d + "\\saves\\slot1.sav", "mine too");
    EXPECT_EQ(do_uninstall(d.c_str()), 1);
    for (const char *f : installed) EXPECT_FALSE(path_exists((d + "\\" + f).c_str())) << f;
    EXPECT_FALSE(path_exists((d + "\\game").c_str()));
    EXPECT_EQ(get(d + "\\my notes.txt"), "mine");
    EXPECT_EQ(get(d + "\\saves\\slot1.sav"), "mine too");
}

TEST(DoUninstall, RemovesTheEmptiedFolder)
{
    std::string d = make_install("uninst_all");
    EXPECT_EQ(do_uninstall(d.c_str()), 1);
    EXPECT_FALSE(path_exists(d.c_str()));
}

TEST(DoUninstall, EmptyOrRelativeFolderRemovesNothing)
{
    std::string d = make_install("uninst_relative");
    for (const char *arg : {"", "The Kelpmire PC", "game", ".", "..\\x"}) {
        EXPECT_EQ(do_uninstall(arg), 1) << arg;
        for (const char *f : installed) EXPECT_TRUE(path_exists((d + "\\" + f).c_str())) << arg << " " << f;
    }
}

TEST(DoUninstall, RemovesTheRecordedRegistryKeyAndShortcuts)
{
    std::string root = scratch("uninst_shell");
    std::string d = make_install("uninst_shell_install");
    set_env("KELP_REGISTRY_DIR", root + "\\reg");
    set_env("KELP_SHELL_DIR", root + "\\shell");
    std::string key = root + "\\reg\\Software#Microsoft#Windows#CurrentVersion#Uninstall#Kelpmire_Quorvane";
    put(key, "DisplayName=REG_SZ:The Kelpmire (Quorvane)\n");
    put(root + "\\shell\\Programs\\The Kelpmire.lnk", "link");
    put(root + "\\shell\\Desktop\\The Kelpmire.lnk", "link");
    put(root + "\\shell\\Desktop\\Other.lnk", "someone else's");
    do_uninstall(d.c_str());
    set_env("KELP_REGISTRY_DIR", "");
    set_env("KELP_SHELL_DIR", "");
#ifndef _WIN32
    // Only Linux keeps the registry and the shell folders in these files.
    EXPECT_FALSE(path_exists(key.c_str()));
    EXPECT_FALSE(path_exists((root + "\\shell\\Programs\\The Kelpmire.lnk").c_str()));
    EXPECT_FALSE(path_exists((root + "\\shell\\Desktop\\The Kelpmire.lnk").c_str()));
#endif
    EXPECT_EQ(get(root + "\\shell\\Desktop\\Other.lnk"), "someone else's");
}

} // namespace
