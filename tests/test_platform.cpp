// Tests of the platform layer, run against Linux and against Wine's Win32 alike.
#include "cmdline.h"
#include "platform.h"
#include "testkit.h"
#include "util.h"

#include <gtest/gtest.h>

#include <map>
#include <string.h>

namespace {

TEST(Platform, NamesMatchWithoutRegardToLetterCase)
{
    // A copied disc spelled in lower case is found by the disc's upper-case names.
    std::string d = scratch("case");
    put(d + "\\disc\\data\\a.qar", "qar");
    EXPECT_EQ(get(d + "\\DISC\\DATA\\A.QAR"), "qar");
    EXPECT_TRUE(pf_attributes((d + "\\Disc\\Data").c_str()) & PF_ATTR_DIRECTORY);
    pf_file f = pf_create((d + "\\DISC\\DATA\\NEW.TXT").c_str());
    ASSERT_NE(f, PF_NO_FILE);
    pf_close(f);
    EXPECT_TRUE(path_exists((d + "\\disc\\data\\NEW.TXT").c_str()));
    EXPECT_FALSE(path_exists((d + "\\DISC\\MISSING\\A.QAR").c_str()));
}

TEST(Platform, ListingGivesNamesAttributesAndSizes)
{
    std::string d = scratch("list");
    put(d + "\\one.bin", std::string(1234, 'x'));
    put(d + "\\empty", "");
    make_dirs((d + "\\sub").c_str());
    std::map<std::string, pf_entry> seen;
    pf_entry e;
    pf_find h = pf_find_first((d + "\\*").c_str(), &e);
    ASSERT_NE(h, nullptr);
    do seen[e.name] = e;
    while (pf_find_next(h, &e));
    pf_find_close(h);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_TRUE(seen.count(".") && seen.count(".."));
    EXPECT_EQ(seen["one.bin"].size, 1234u);
    EXPECT_FALSE(seen["one.bin"].attrs & PF_ATTR_DIRECTORY);
    EXPECT_EQ(seen["empty"].size, 0u);
    EXPECT_TRUE(seen["sub"].attrs & PF_ATTR_DIRECTORY);
    EXPECT_EQ(pf_find_first((d + "\\missing\\*").c_str(), &e), nullptr);
}

TEST(Platform, SeekAndSizeBeyond4GiB)
{
    std::string p = scratch("big") + "\\sparse.bin";
    pf_file f = pf_create(p.c_str());
    ASSERT_NE(f, PF_NO_FILE);
    const uint64_t at = 5ull << 30;
    uint32_t put_n = 0;
    ASSERT_TRUE(pf_seek(f, at));
    ASSERT_TRUE(pf_write(f, "Z", 1, &put_n));
    pf_close(f);

    f = pf_open_read(p.c_str(), 0);
    ASSERT_NE(f, PF_NO_FILE);
    uint64_t size = 0;
    ASSERT_TRUE(pf_file_size(f, &size));
    EXPECT_EQ(size, at + 1);
    char c = 0;
    uint32_t got = 0;
    ASSERT_TRUE(pf_seek(f, at));
    ASSERT_TRUE(pf_read(f, &c, 1, &got));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(c, 'Z');
    ASSERT_TRUE(pf_read(f, &c, 1, &got)) << "the end of the file is no error";
    EXPECT_EQ(got, 0u);
    pf_close(f);
    pf_delete_file(p.c_str());
}

TEST(Platform, FoldersAreNotFilesAndFilesAreNotFolders)
{
    std::string d = scratch("kinds");
    put(d + "\\f", "x");
    make_dirs((d + "\\sub").c_str());
    put(d + "\\full\\x", "x");
    EXPECT_EQ(pf_open_read((d + "\\sub").c_str(), 0), PF_NO_FILE);
    EXPECT_FALSE(pf_remove_dir((d + "\\f").c_str()));
    EXPECT_FALSE(pf_remove_dir((d + "\\full").c_str())) << "not empty";
    EXPECT_FALSE(pf_delete_file((d + "\\sub").c_str()));
    EXPECT_FALSE(pf_make_dir((d + "\\sub").c_str())) << "exists";
    EXPECT_TRUE(pf_remove_dir((d + "\\sub").c_str()));
    EXPECT_TRUE(pf_delete_file((d + "\\f").c_str()));
}

TEST(Platform, ReadOnlyFileIsNotDeletedUntilMadeNormal)
{
    std::string p = scratch("ro") + "\\f";
    put(p, "keep");
    ASSERT_TRUE(pf_set_attributes(p.c_str(), PF_ATTR_READONLY));
    EXPECT_TRUE(pf_attributes(p.c_str()) & PF_ATTR_READONLY);
    EXPECT_FALSE(pf_delete_file(p.c_str())) << "a read-only file cannot be deleted";
    EXPECT_EQ(get(p), "keep");
    ASSERT_TRUE(pf_set_attributes(p.c_str(), PF_ATTR_NORMAL));
    EXPECT_FALSE(pf_attributes(p.c_str()) & PF_ATTR_READONLY);
}

TEST(Platform, CopyFileReplacesTheTarget)
{
    std::string d = scratch("pfcopy");
    put(d + "\\a", pattern_bytes(3 << 20, 4));
    put(d + "\\b", "old");
    ASSERT_TRUE(pf_copy_file((d + "\\a").c_str(), (d + "\\b").c_str()));
    EXPECT_EQ(get(d + "\\b"), pattern_bytes(3 << 20, 4));
    EXPECT_FALSE(pf_copy_file((d + "\\missing").c_str(), (d + "\\c").c_str()));
}

// A reparse point is a link only by its tag: OneDrive's files on demand and
// other tagged files are files and folders to the install and the uninstall.
TEST(Platform, OnlySymbolicLinksAndJunctionsAreLinks)
{
    struct {
        uint32_t tag;
        int link;
        const char *what;
    } cases[] = {
        {0xA000000Cu, 1, "symbolic link"},
        {0xA0000003u, 1, "junction or mounted folder"},
        {0x9000001Au, 0, "cloud file"},
        {0x9000101Au, 0, "cloud file, first of its family"},
        {0x9000F01Au, 0, "cloud file, last of its family"},
        {0x80000021u, 0, "OneDrive"},
        {0x80000013u, 0, "deduplicated file"},
        {0x8000001Bu, 0, "app execution alias"},
        {0xA000001Du, 0, "WSL symbolic link"},
        {0u, 0, "no tag"},
    };
    for (auto &c : cases) EXPECT_EQ(pf_reparse_tag_is_link(c.tag), c.link) << c.what;
}

TEST(Platform, ModulePathAndTempFolder)
{
    char p[520], t[260];
    size_t n = pf_module_path(p, sizeof p);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(strlen(p), n);
    EXPECT_NE(strstr(p, "unit_tests"), nullptr);
    EXPECT_TRUE(path_exists(p));
    n = pf_temp_dir(t, sizeof t);
    ASSERT_GT(n, 0u);
    EXPECT_TRUE(t[n - 1] == '\\' || t[n - 1] == '/');
    EXPECT_TRUE(is_dir(t));
    EXPECT_EQ(pf_temp_dir(t, 2), 0u) << "a buffer too small is a failure";
}

#ifndef _WIN32
// The test double's message box is one line on standard error, answered at
// once with the default button. (On Windows it would wait for a user.)
TEST(Platform, MessageBoxOffWindowsAnswersWithTheFirstButton)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(pf_message_box("Copying failed.", "The Kelpmire setup", PF_MB_OK | PF_MB_ICONERROR), PF_ID_OK);
    EXPECT_EQ(pf_message_box("Remove it?", "Uninstall", PF_MB_YESNO | PF_MB_ICONINFO), PF_ID_YES);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "The Kelpmire setup: Copying failed.\nUninstall: Remove it?\n");
}

// The test double writes a committed resource update beside the file as
// "<exe>.res", which the icon tests read back; a discarded one writes nothing, and a later add of the same type
// and name replaces the earlier one in its place.
TEST(Platform, ResourceUpdateOffWindows)
{
    std::string d = scratch("res_update");
    std::string exe = d + "\\a.exe";
    EXPECT_EQ(pf_res_update_begin(exe.c_str()), PF_NO_RES_UPDATE) << "no file";
    EXPECT_EQ(pf_res_update_begin(d.c_str()), PF_NO_RES_UPDATE) << "a folder";
    put(exe, "exe");

    pf_res_update u = pf_res_update_begin(exe.c_str());
    ASSERT_NE(u, PF_NO_RES_UPDATE);
    pf_res_update_add(u, 3, 1, "abc", 3);
    EXPECT_EQ(pf_res_update_end(u, 1), 1);
    EXPECT_EQ(get(exe + ".res"), "<missing>");

    u = pf_res_update_begin(exe.c_str());
    ASSERT_NE(u, PF_NO_RES_UPDATE);
    pf_res_update_add(u, 3, 1, "abc", 3);
    pf_res_update_add(u, 14, 1, "", 0);
    pf_res_update_add(u, 3, 1, "wxyz", 4);
    EXPECT_EQ(pf_res_update_end(u, 0), 1);
    auto entry = [](unsigned size, unsigned type, unsigned id) {
        std::string h(32, '\0');
        h[0] = (char)size, h[4] = 32, h[8] = h[9] = h[12] = h[13] = (char)0xFF;
        h[10] = (char)type, h[14] = (char)id;
        if (type) h[20] = 0x10, h[21] = 0x10;
        return h;
    };
    EXPECT_EQ(get(exe + ".res"), entry(0, 0, 0) + entry(4, 3, 1) + "wxyz" + entry(0, 14, 1));
    EXPECT_EQ(get(exe), "exe");
}
#endif

} // namespace

namespace {

#ifdef _WIN32
// Run by ctest under Wine with an extra argument and the expected outcome in
// KELP_EXPECT_ARGS: "refused" for a character that the code page could only
// approximate (this test program has no UTF-8 manifest), "kept" otherwise.
// The plain run leaves it out.
TEST(Args, ConvertExactlyOrNotAtAll)
{
    const char *expect = getenv("KELP_EXPECT_ARGS");
    ASSERT_NE(expect, nullptr) << "run through ctest, which passes the argument";
    int argc = -1;
    char **argv = pf_args(&argc);
    if (strcmp(expect, "refused") == 0) {
        EXPECT_EQ(argv, nullptr);
        EXPECT_EQ(argc, 0);
        return;
    }
    ASSERT_NE(argv, nullptr);
    ASSERT_GE(argc, 2);
    EXPECT_STREQ(argv[argc - 1], "plain words");
    EXPECT_EQ(argv[argc], nullptr);
}
#endif

// Backslashes are always themselves and a quote only opens or closes a
// quoted part: a folder typed with its trailing backslash inside quotes
// stays a folder, and the option after it stays an option.
TEST(CmdlineSplit, AsPeopleTypeIt)
{
    struct {
        const char *line;
        std::vector<std::string> args;
    } cases[] = {
        {"setup.exe /dir \"C:\\Games\\TB\\\" /silent", {"setup.exe", "/dir", "C:\\Games\\TB\\", "/silent"}},
        {"setup.exe /cd \"D:\\\"", {"setup.exe", "/cd", "D:\\"}},
        {"\"C:\\Program Files\\k.exe\" /dir \"D:\\My Games\"", {"C:\\Program Files\\k.exe", "/dir", "D:\\My Games"}},
        {"k.exe \"\" /quiet", {"k.exe", "", "/quiet"}},
        {"k.exe D:\\\\x\\\\ \t two\"  words\"", {"k.exe", "D:\\\\x\\\\", "two  words"}},
        {"k.exe /dir \"C:\\open", {"k.exe", "/dir", "C:\\open"}},
        {"k.exe   ", {"k.exe"}},
        {"", {""}},
    };
    for (auto &c : cases) {
        int argc = -1;
        char **argv = cmdline_split(c.line, &argc);
        ASSERT_NE(argv, nullptr) << c.line;
        std::vector<std::string> got(argv, argv + argc);
        EXPECT_EQ(got, c.args) << c.line;
        EXPECT_EQ(argv[argc], nullptr) << c.line;
        free(argv);
    }
}

} // namespace

namespace {

TEST(Platform, FullPaths)
{
    struct {
        const char *path;
        int full;
    } cases[] = {
#ifdef _WIN32
        {"C:\\Games\\The Kelpmire PC", 1},
        {"d:\\", 1},
        {"C:/Games", 1},
        {"\\\\server\\share", 1},
        {"\\\\server\\share\\Games", 1},
        {"C:Games\\The Kelpmire PC", 0}, // relative to C:'s current folder
        {"C:", 0},
        {"\\Games\\The Kelpmire PC", 0}, // relative to the current drive
        {"\\\\server", 0},
        {"\\\\server\\", 0},
        {"\\\\\\share", 0},
        {"\\\\.\\C:\\Games", 0}, // a device path
        {"\\\\?\\C:\\Games", 0},
        {"1:\\Games", 0},
#else
        {"/tmp/Games", 1},
        {"\\tmp\\Games", 1}, // mapped to /tmp/Games
#endif
        {"Games\\The Kelpmire PC", 0},
        {".", 0},
        {"..\\Games", 0},
        {"", 0},
    };
    for (auto &c : cases) EXPECT_EQ(pf_is_absolute(c.path), c.full) << c.path;
}

TEST(Platform, FreeSpaceOfAnExistingFolderOnly)
{
    std::string d = scratch("free");
    uint64_t free_bytes = 0;
    EXPECT_TRUE(pf_free_space(d.c_str(), &free_bytes));
    EXPECT_GT(free_bytes, 0u);
    EXPECT_TRUE(pf_free_space((d + "\\").c_str(), &free_bytes)) << "a trailing separator is no matter";
    EXPECT_FALSE(pf_free_space((d + "\\missing").c_str(), &free_bytes));
}

TEST(Platform, ClusterSizeOfAnExistingFolderOnly)
{
    std::string d = scratch("cluster");
    uint64_t cluster = 0;
    ASSERT_TRUE(pf_cluster_size(d.c_str(), &cluster));
    EXPECT_GE(cluster, 512u);
    EXPECT_EQ(cluster & (cluster - 1), 0u) << cluster << " is a power of two";
    EXPECT_TRUE(pf_cluster_size((d + "\\").c_str(), &cluster)) << "a trailing separator is no matter";
    EXPECT_FALSE(pf_cluster_size((d + "\\missing").c_str(), &cluster));
}

TEST(Platform, PathCharactersAsWindowsCountsThem)
{
    EXPECT_EQ(pf_path_chars(""), 0u);
    EXPECT_EQ(pf_path_chars("C:\\Games\\The Kelpmire PC"), 24u);
#ifndef _WIN32
    // Off Windows paths are UTF-8: a letter of two or three bytes is one
    // character, one beyond 16 bits is two UTF-16 units.
    EXPECT_EQ(pf_path_chars("/g/\xC5\x81\xC3\xB3\x64\xC5\xBA \xE6\x9D\xB1\xE4\xBA\xAC"), 10u);
    EXPECT_EQ(pf_path_chars("\xF0\x9F\x8E\xAE"), 2u);
#endif
}

TEST(Platform, CurrentFolderCanBeChangedAndRestored)
{
    std::string d = scratch("cwd");
    put(d + "\\here.txt", "here");
    char was[PATH_CAP], now[PATH_CAP];
    ASSERT_NE(pf_current_dir(was, sizeof was), 0u);
    ASSERT_TRUE(pf_set_current_dir(d.c_str()));
    EXPECT_EQ(get("here.txt"), "here") << "relative names start there";
    ASSERT_NE(pf_current_dir(now, sizeof now), 0u);
    EXPECT_TRUE(pf_set_current_dir(was));
    EXPECT_FALSE(pf_set_current_dir((d + "\\missing").c_str()));
    EXPECT_EQ(get("here.txt"), "<missing>");
    EXPECT_EQ(pf_current_dir(now, 2), 0u) << "a buffer too small gives nothing";
}

} // namespace
