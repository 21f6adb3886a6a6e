// Tests of the setup log: the file sink, the cut at 1023 characters, the path cut
// at 259 characters, and the window sink off Windows.
#include "setup_log.h"
#include "platform.h"
#include "testkit.h"
#include "util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

namespace {

TEST(SetupLog, LinesInCallOrderAndANewRunStartsEmpty)
{
    {
        LogCapture log;
        setup_log("setup started");
        setup_log("defaults: cd '%s' dir '%s'", "", "C:\\Games\\The Kelpmire PC");
        setup_log("%d %lu", -3, 4000000000UL);
        EXPECT_EQ(log.lines(), (std::vector<std::string>{
                                   "setup started",
                                   "defaults: cd '' dir 'C:\\Games\\The Kelpmire PC'",
                                   "-3 4000000000",
                               }));
    }
    LogCapture again;
    EXPECT_TRUE(again.lines().empty());
}

TEST(SetupLog, EachLineIsOnDiskWhenTheCallReturns)
{
    LogCapture log;
    setup_log("first");
    // Read through a separate stream while the log is still open.
    EXPECT_EQ(log.lines(), std::vector<std::string>{"first"});
}

TEST(SetupLog, LinesBeforeOpeningAndAfterClosingAreLost)
{
    log_close();
    setup_log("lost before");
    LogCapture log;
    setup_log("kept");
    log_close();
    setup_log("lost after");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"kept"});
}

TEST(SetupLog, LongMessageIsCutAt1023Characters)
{
    LogCapture log;
    std::string msg(2000, 'x');
    for (size_t i = 0; i < msg.size(); i++) msg[i] = (char)('a' + i % 26);
    setup_log("%s", msg.c_str());
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], msg.substr(0, 1023));
}

TEST(SetupLog, WindowSinkFreesTheCopyWhenThePostFails)
{
    // Off Windows every post fails: the copy must be released, which the leak
    // checker of the sanitizer build verifies. Under Wine the handle is no window.
    LogCapture log;
    log_set_window((void *)0x1234, 0);
    setup_log("to a window that is not there");
    log_set_window((void *)0x1234, 1);
    setup_log("silent");
    log_set_window(nullptr, 0);
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST(SetupLog, LongTemporaryFolderCutsTheFileNameAt259Characters)
{
    log_close();
    char tmp[260];
    ASSERT_GT(pf_temp_dir(tmp, sizeof tmp), 0u);
    std::string old = tmp;
    // A folder of 246 characters with its final separator leaves 13 for the name.
    std::string dir = old + "kelp_longtmp";
    delete_tree(dir.c_str());
    while (dir.size() < 245) dir += "\\" + std::string(std::min<size_t>(60, 244 - dir.size()), 't');
    ASSERT_EQ(dir.size(), 245u);
    ASSERT_TRUE(make_dirs(dir.c_str()));
    std::string with_sep = dir + "\\";

    static char env_tmp[300], env_tmpdir[300];
    snprintf(env_tmp, sizeof env_tmp, "TMP=%s", with_sep.c_str());
    snprintf(env_tmpdir, sizeof env_tmpdir, "TMPDIR=%s", with_sep.c_str());
    putenv(env_tmp);
    putenv(env_tmpdir);
    log_open();
    setup_log("in the long folder");
    std::string p = log_path();
    log_close();

    static char back_tmp[300], back_tmpdir[300];
    snprintf(back_tmp, sizeof back_tmp, "TMP=%s", old.c_str());
    snprintf(back_tmpdir, sizeof back_tmpdir, "TMPDIR=%s", old.c_str());
    putenv(back_tmp);
    putenv(back_tmpdir);

    EXPECT_EQ(p.size(), 259u);
    EXPECT_EQ(p, with_sep + "kelpmire_setu");
    EXPECT_EQ(get(p).substr(0, 18), "in the long folder");
    delete_tree((old + "kelp_longtmp").c_str());
}

TEST(SetupLog, ToStderrAlsoWritesEachLineThere)
{
    LogCapture log;
    testing::internal::CaptureStderr();
    setup_log("quiet %d", 1);
    log_to_stderr(1);
    setup_log("loud %d", 2);
    log_to_stderr(0);
    setup_log("quiet %d", 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "loud 2\n");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"quiet 1", "loud 2", "quiet 3"}));
}

} // namespace
