// Tests of the game profile on folder sources: recognising the disc and setting
// up the hard-disk files.
#include "cdsrc.h"
#include "game_install.h"
#include "testkit.h"

#include <gtest/gtest.h>

namespace {

const char *const disc_files[] = {"DATA\\A.QAR", "DATA\\HD.QAR", "DATA\\T.QAR", "SETUP\\KMX.EXE",
                                  "SETUP\\PLAYW32.DLL"};

// A copied disc holding the five files except those named in skip.
std::string make_disc(const std::string &name, std::vector<std::string> skip = {})
{
    std::string d = scratch(name);
    for (const char *f : disc_files) {
        bool skipped = false;
        for (auto &s : skip) skipped |= s == f;
        if (!skipped) put(d + "\\" + f, std::string("content of ") + f);
    }
    return d;
}

TEST(GameIsCd, NamesTheFirstMissingFileOnly)
{
    struct {
        std::vector<std::string> skip;
        int result;
        std::vector<std::string> lines;
    } cases[] = {
        {{}, 1, {}},
        {{"SETUP\\PLAYW32.DLL"}, 0, {"CD check: SETUP\\PLAYW32.DLL missing"}},
        {{"DATA\\A.QAR", "DATA\\T.QAR"}, 0, {"CD check: DATA\\A.QAR missing"}},
    };
    for (auto &c : cases) {
        LogCapture log;
        std::string d = make_disc("profile_check", c.skip);
        put(d + "\\EXTRA\\OTHER.TXT", "extra files play no part");
        cd_source *src = cd_open(d.c_str());
        ASSERT_NE(src, nullptr);
        EXPECT_EQ(game_is_cd(src), c.result);
        cd_close(src);
        EXPECT_EQ(log.lines(), c.lines);
    }
}

TEST(GameIsCd, NoSourceIsNoDiscAndSaysNothing)
{
    LogCapture log;
    EXPECT_EQ(game_is_cd(nullptr), 0);
    EXPECT_TRUE(log.lines().empty());
}

TEST(GameIsCd, LowerCaseCopyOfTheDiscIsAccepted)
{
    std::string d = scratch("profile_lower");
    for (const char *f : {"data\\a.qar", "data\\hd.qar", "data\\t.qar", "setup\\kmx.exe", "setup\\playw32.dll"})
        put(d + "\\" + f, "x");
    cd_source *src = cd_open(d.c_str());
    ASSERT_NE(src, nullptr);
    EXPECT_EQ(game_is_cd(src), 1);
    cd_close(src);
}

TEST(GameInstallFiles, CopiesTheThreeFilesAndReplacesThemOnASecondRun)
{
    std::string d = make_disc("profile_hd");
    std::string hd = scratch("profile_hd_out");
    for (int run = 0; run < 2; run++) {
        LogCapture log;
        ASSERT_EQ(game_install_files(d.c_str(), hd.c_str()), 1);
        EXPECT_TRUE(log.lines().empty());
    }
    EXPECT_EQ(get(hd + "\\kmx.exe"), "content of SETUP\\KMX.EXE");
    EXPECT_EQ(get(hd + "\\playw32.dll"), "content of SETUP\\PLAYW32.DLL");
    EXPECT_EQ(get(hd + "\\HD.QAR"), "content of DATA\\HD.QAR");
}

// On Windows the error box would wait for a user: there the end-to-end tests
// answer it with the UI driver.
#ifndef _WIN32
TEST(GameInstallFiles, MissingFileStopsWithTwoLines)
{
    LogCapture log;
    std::string d = make_disc("profile_hd_missing", {"DATA\\HD.QAR"});
    std::string hd = scratch("profile_hd_missing_out");
    EXPECT_EQ(game_install_files(d.c_str(), hd.c_str()), 0);
    EXPECT_EQ(get(hd + "\\kmx.exe"), "content of SETUP\\KMX.EXE");
    EXPECT_EQ(get(hd + "\\playw32.dll"), "content of SETUP\\PLAYW32.DLL");
    std::string src = d + "\\DATA\\HD.QAR";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"cannot read " + src, "cannot copy " + src}));
}
#endif

TEST(GameIcons, TheIconFileAndNoEmblem)
{
    EXPECT_STREQ(game_icon_ico(), "KMIRE.ICO");
    EXPECT_EQ(game_icon_lbm(), nullptr);
}

} // namespace
