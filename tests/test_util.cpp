// Tests of the file utilities, progress and CRC-32.
#include "platform.h"
#include "testkit.h"
#include "util.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#endif

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <thread>

namespace {

struct Calls {
    std::vector<uint64_t> done;
    std::vector<uint64_t> total;
};

int record(uint64_t done, uint64_t total, void *user)
{
    Calls *c = (Calls *)user;
    c->done.push_back(done);
    c->total.push_back(total);
    return 1;
}

TEST(Progress, AddsWithoutCallbackAndCallsBackWithTheSumPastTheTotal)
{
    progress quiet = {5, 10, nullptr, nullptr};
    progress_add(&quiet, 7);
    EXPECT_EQ(quiet.done, 12u);

    Calls c;
    progress p = {5, 10, record, &c};
    progress_add(&p, 7);
    ASSERT_EQ(c.done.size(), 1u);
    EXPECT_EQ(c.done[0], 12u); // not clamped to the total
    EXPECT_EQ(c.total[0], 10u);
}

TEST(Tests, PathExistsAndIsDir)
{
    std::string d = scratch("tests");
    put(d + "\\f.txt", "x");
    struct {
        std::string path;
        int exists, dir;
    } cases[] = {
        {d, 1, 1},
        {d + "\\f.txt", 1, 0},
        {d + "\\missing", 0, 0},
        {d + "\\f.txt\\below", 0, 0},
    };
    for (auto &c : cases) {
        EXPECT_EQ(path_exists(c.path.c_str()), c.exists) << c.path;
        EXPECT_EQ(is_dir(c.path.c_str()), c.dir) << c.path;
    }
}

TEST(MakeDirs, Cases)
{
    std::string d = scratch("make_dirs");
    put(d + "\\file", "x");
    char tmp[260];
    pf_temp_dir(tmp, sizeof tmp);
    // The drive root of the temporary folder: "C:\" on Windows, "/" here.
    std::string root = tmp[1] == ':' ? std::string(tmp, 3) : "/";
    struct {
        std::string path;
        int result;
    } cases[] = {
        {d + "\\a\\b\\c", 1},
        {d + "\\t1\\t2\\", 1},
        {d + "\\m/n\\o", 1}, // a slash separates as well
        {root, 1},
        {d + "\\file\\below\\x", 0},
        {d + "\\a\\b\\c", 1}, // already there
    };
    for (auto &c : cases) EXPECT_EQ(make_dirs(c.path.c_str()), c.result) << c.path;
    EXPECT_TRUE(is_dir((d + "\\a\\b").c_str()));
    EXPECT_TRUE(is_dir((d + "\\t1\\t2").c_str()));
    EXPECT_TRUE(is_dir((d + "\\m\\n\\o").c_str()));
}

TEST(WriteFile, CreatesMissingFoldersAndReplaces)
{
    std::string d = scratch("write_file");
    std::string p = d + "\\x\\y\\data.bin";
    ASSERT_TRUE(write_file(p.c_str(), "long content", 12));
    ASSERT_TRUE(write_file(p.c_str(), "short", 5));
    EXPECT_EQ(get(p), "short");
}

TEST(WriteFile, FailureLogsPathAndErrorCode)
{
    LogCapture log;
    std::string d = scratch("write_fail");
    std::string p = d + "\\sub"; // a folder is in the way
    ASSERT_TRUE(make_dirs(p.c_str()));
    EXPECT_EQ(write_file(p.c_str(), "x", 1), 0);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    std::string want = "cannot write " + p + " (error ";
    EXPECT_EQ(lines[0].substr(0, want.size()), want);
    EXPECT_NE(lines[0].substr(want.size(), 2), "0)") << "the platform's error code is named";
}

TEST(WriteFile, ShortWriteLogsWriteFailed)
{
    LogCapture log;
    std::string p = scratch("write_short") + "\\f.bin";
    pf_fail_write_in = 1;
    EXPECT_EQ(write_file(p.c_str(), "abc", 3), 0);
    pf_fail_write_in = 0;
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "write failed: " + p);
}

TEST(ReadFile, EmptyMissingAndWhole)
{
    std::string d = scratch("read_file");
    put(d + "\\empty", "");
    uint64_t n = 99;
    char *b = (char *)read_file((d + "\\empty").c_str(), &n);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(n, 0u);
    b[0] = 0; // the spare byte belongs to the block
    free(b);

    n = 99;
    EXPECT_EQ(read_file((d + "\\missing").c_str(), &n), nullptr);
    EXPECT_EQ(n, 99u);
    EXPECT_EQ(read_file(d.c_str(), &n), nullptr) << "a folder is not a file";

    std::string data = pattern_bytes(70000, 3);
    put(d + "\\data", data);
    b = (char *)read_file((d + "\\data").c_str(), &n);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::string(b, (size_t)n), data);
    free(b);
}

TEST(CopyFile, TwoAndAHalfMiBReportThreeBlocks)
{
    std::string d = scratch("copy_blocks");
    std::string data = pattern_bytes(2621440, 7);
    put(d + "\\src.bin", data);
    Calls c;
    progress p = {0, 1, record, &c};
    ASSERT_TRUE(copy_file((d + "\\src.bin").c_str(), (d + "\\out\\deep\\dst.bin").c_str(), &p));
    EXPECT_EQ(c.done, (std::vector<uint64_t>{1048576, 2097152, 2621440}));
    EXPECT_EQ(get(d + "\\out\\deep\\dst.bin"), data);
}

TEST(CopyFile, EmptySourceGivesEmptyTargetAndNoProgress)
{
    std::string d = scratch("copy_empty");
    put(d + "\\e", "");
    put(d + "\\t", "old content");
    Calls c;
    progress p = {0, 0, record, &c};
    ASSERT_TRUE(copy_file((d + "\\e").c_str(), (d + "\\t").c_str(), &p));
    EXPECT_EQ(get(d + "\\t"), "");
    EXPECT_TRUE(c.done.empty());
}

TEST(CopyFile, MissingSourceLogsAndStillMakesTheTargetFolder)
{
    LogCapture log;
    std::string d = scratch("copy_missing");
    std::string src = d + "\\nothing.bin";
    EXPECT_EQ(copy_file(src.c_str(), (d + "\\new\\t.bin").c_str(), nullptr), 0);
    EXPECT_TRUE(is_dir((d + "\\new").c_str()));
    EXPECT_FALSE(path_exists((d + "\\new\\t.bin").c_str()));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"cannot read " + src});
}

TEST(CopyFile, TargetThatCannotBeCreatedLogsCannotWrite)
{
    LogCapture log;
    std::string d = scratch("copy_nowrite");
    put(d + "\\s", "data");
    make_dirs((d + "\\dir").c_str());
    EXPECT_EQ(copy_file((d + "\\s").c_str(), (d + "\\dir").c_str(), nullptr), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"cannot write " + d + "\\dir"});
}

TEST(CopyFile, ReadFailureAfterFirstBlockKeepsWhatWasWrittenAndSaysNothing)
{
    LogCapture log;
    std::string d = scratch("copy_readfail");
    std::string data = pattern_bytes(2621440, 9);
    put(d + "\\src", data);
    Calls c;
    progress p = {0, 0, record, &c};
    pf_fail_read_in = 2; // the second read call fails
    EXPECT_EQ(copy_file((d + "\\src").c_str(), (d + "\\dst").c_str(), &p), 0);
    pf_fail_read_in = 0;
    EXPECT_EQ(get(d + "\\dst"), data.substr(0, 1048576));
    EXPECT_EQ(c.done, std::vector<uint64_t>{1048576});
    EXPECT_TRUE(log.lines().empty());
}

TEST(CopyFile, WriteFailureStopsTheCopyAndNamesTheTarget)
{
    LogCapture log;
    std::string d = scratch("copy_writefail");
    put(d + "\\src", pattern_bytes(3000000, 1));
    pf_fail_write_in = 2;
    EXPECT_EQ(copy_file((d + "\\src").c_str(), (d + "\\dst").c_str(), nullptr), 0);
    pf_fail_write_in = 0;
    EXPECT_EQ(get(d + "\\dst").size(), 1048576u);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"write failed: " + d + "\\dst"});
}

TEST(CopyFile, ReadOnlySourceGivesWritableTarget)
{
    std::string d = scratch("copy_ro");
    put(d + "\\src", "ro");
    ASSERT_TRUE(pf_set_attributes((d + "\\src").c_str(), PF_ATTR_READONLY));
    ASSERT_TRUE(copy_file((d + "\\src").c_str(), (d + "\\dst").c_str(), nullptr));
    EXPECT_FALSE(pf_attributes((d + "\\dst").c_str()) & PF_ATTR_READONLY);
    ASSERT_TRUE(copy_file((d + "\\src").c_str(), (d + "\\dst").c_str(), nullptr)) << "and replaceable";
    pf_set_attributes((d + "\\src").c_str(), PF_ATTR_NORMAL);
}

// Before the Retry of the question after the tries: the hold ends.
void end_hold() { pf_fault_held = {0, 0}; }

// A change of a file that another program holds for a moment (a virus
// scanner) waits the hold out, says so once, and gives up after the tries;
// the one asked may have it tried again.
TEST(HeldFile, ChangesWaitOutAHoldSayItOnceAndGiveUpAfterTheTries)
{
    std::string dir = scratch("held");
    put(dir + "\\from", "source");
    struct Op {
        const char *what;
        int (*run)(const std::string &dir);
        const char *path;
    } ops[] = {
        {"write_file", [](const std::string &d) { return write_file((d + "\\new").c_str(), "x", 1); }, "new"},
        {"copy_file", [](const std::string &d) { return copy_file((d + "\\from").c_str(), (d + "\\new").c_str(), nullptr); },
         "new"},
        {"remove_file",
         [](const std::string &d) {
             put(d + "\\old", "o");
             return remove_file((d + "\\old").c_str());
         },
         "old"},
    };
    struct Case {
        const char *what;
        int fail;
        bool ask;
        int ok;
    } cases[] = {
        {"held for two tries", 2, false, 1},
        {"held past the tries", -1, false, 0},
        {"held past the tries, Retry asked", -1, true, 1},
    };
    for (const Op &op : ops)
        for (const Case &c : cases) {
            std::string why = std::string(op.what) + ", " + c.what;
            AskRecord asked{end_hold};
            set_ask_held(c.ask ? record_ask : nullptr, &asked);
            LogCapture log;
            std::string path = dir + "\\" + op.path;
            pf_delete_file((dir + "\\new").c_str());
            // remove_file's own file is written first, outside the hold.
            pf_fault_held = {strcmp(op.what, "remove_file") == 0 ? 1 : 0, c.fail};
            EXPECT_EQ(op.run(dir), c.ok) << why;
            pf_fault_held = {0, 0};
            set_ask_held(nullptr, nullptr);
            auto lines = log.lines();
            ASSERT_FALSE(lines.empty()) << why;
            EXPECT_EQ(lines[0], "write retried: " + path) << why;
            EXPECT_EQ(std::count(lines.begin(), lines.end(), lines[0]), 1) << why << ": once per file";
            EXPECT_EQ(asked.count, c.ask ? 1 : 0) << why;
            if (c.ask) {
                EXPECT_EQ(asked.what, ASK_HELD_FILE) << why;
                EXPECT_EQ(asked.path, path) << why;
            }
        }
}

// Access denied while nothing holds the file is a missing right: no tries,
// no question.
TEST(HeldFile, AMissingRightFailsAtOnce)
{
    std::string dir = scratch("held_denied");
    put(dir + "\\f", "f");
    AskRecord asked{end_hold};
    set_ask_held(record_ask, &asked);
    LogCapture log;
    pf_fail_delete_denied = 1;
    EXPECT_EQ(remove_file((dir + "\\f").c_str()), 0);
    EXPECT_TRUE(pf_last_error_denied());
    pf_fail_delete_denied = 0;
    set_ask_held(nullptr, nullptr);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(asked.count, 0);
    EXPECT_EQ(get(dir + "\\f"), "f");
}

// A failure that gives no reason (under Wine a resource update met by a hold
// gives none) may have met a hold that ended just after it: it is tried
// once more at once, a single time. A reason that is no hold ends the tries.
TEST(HeldFile, AFailureWithoutAReasonIsTriedOnceMore)
{
    std::string dir = scratch("held_noreason");
    std::string path = dir + "\\free";
    put(path, "f");
    auto fail_with = [](unsigned long e) {
#ifdef _WIN32
        SetLastError(e);
#else
        errno = (int)e;
#endif
    };
    LogCapture log;
    held_file h = held_start(path.c_str());
    fail_with(0);
    EXPECT_EQ(held_again(&h), 1);
    fail_with(0);
    EXPECT_EQ(held_again(&h), 0);
    held_file other = held_start(path.c_str());
#ifdef _WIN32
    fail_with(ERROR_DISK_FULL);
#else
    fail_with(ENOSPC);
#endif
    EXPECT_EQ(held_again(&other), 0);
    EXPECT_TRUE(log.lines().empty()) << "no pause was taken";
}

// A Stop ends the tries of a write at once, pause included, and nothing is
// asked after it; a deletion, as the rollback after the Stop makes, still
// waits its hold out.
TEST(HeldFile, AStopEndsTheTriesOfAWriteButNotOfADeletion)
{
    std::string dir = scratch("held_stop");
    std::string path = dir + "\\new", old = dir + "\\old";
    put(old, "o");
    unsigned budget = held_budget_ms;
    held_budget_ms = 60000;
    AskRecord asked;
    asked.answer = 0;
    set_ask_held(record_ask, &asked);
    LogCapture log;
    pf_fault_held = {0, -1};
    std::thread stopper([] {
        pf_sleep(100);
        stop_ask();
    });
    held_file h = held_start(path.c_str());
    pf_file f;
    while ((f = pf_create(path.c_str())) == PF_NO_FILE && held_retry(&h)) {
    }
    stopper.join();
    EXPECT_EQ(f, PF_NO_FILE);
    EXPECT_LT(h.waited_ms, held_budget_ms) << "the tries end at the Stop";
    EXPECT_EQ(asked.count, 0);
    pf_fault_held = {0, 2};
    EXPECT_EQ(remove_file(old.c_str()), 1) << "the deletion waited its hold out";
    pf_fault_held = {0, 0};
    stop_reset();
    set_ask_held(nullptr, nullptr);
    held_budget_ms = budget;
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"write retried: " + path, "write retried: " + old}));
    EXPECT_FALSE(path_exists(old.c_str()));
}

// Cancel to one hold's question stops the installation: a later write gives
// up at once, neither waiting nor asking again, until the next install. A
// deletion still waits its hold out, for the rollback.
TEST(HeldFile, ANoStandsForTheRestOfTheInstall)
{
    std::string dir = scratch("held_no");
    std::string a = dir + "\\a", b = dir + "\\b", old = dir + "\\old";
    put(old, "o");
    AskRecord asked;
    asked.answer = 0;
    set_ask_held(record_ask, &asked);
    LogCapture log;
    pf_fault_held = {0, -1};
    EXPECT_EQ(create_held(a.c_str()), PF_NO_FILE);
    EXPECT_EQ(asked.count, 1);
    EXPECT_EQ(asked.path, a);
    EXPECT_TRUE(held_refused());
    EXPECT_EQ(create_held(b.c_str()), PF_NO_FILE);
    EXPECT_EQ(asked.count, 1) << "asked once";
    pf_fault_held = {0, 2};
    EXPECT_EQ(remove_file(old.c_str()), 1);
    pf_fault_held = {0, 0};
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"write retried: " + a, "write retried: " + old}))
        << "b neither waited nor asked";
    stop_reset();
    EXPECT_FALSE(held_refused()) << "the next install asks again";
    pf_fault_held = {0, -1};
    EXPECT_EQ(create_held(b.c_str()), PF_NO_FILE);
    pf_fault_held = {0, 0};
    EXPECT_EQ(asked.count, 2);
    set_ask_held(nullptr, nullptr);
}

TEST(Crc32, KnownValues)
{
    struct {
        const char *text;
        uint32_t crc;
    } cases[] = {
        {"", 0},
        {"123456789", 0xCBF43926u},
        {"a", 0xE8B7BE43u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (auto &c : cases) EXPECT_EQ(crc32_buf(c.text, strlen(c.text)), c.crc) << c.text;
    std::string zeros(4096, '\0');
    EXPECT_EQ(crc32_buf(zeros.data(), zeros.size()), 0xC71C0011u);
}

// Every entry but "." and "..", names that start with dots included; an empty
// folder lists nothing, and a missing one cannot be listed.
TEST(FolderListing, GivesEveryEntryButTheDotsAndTellsEmptyFromMissing)
{
    std::string d = scratch("listing");
    put(d + "\\full\\a.txt", "a");
    put(d + "\\full\\..x", "a name that starts with two dots");
    put(d + "\\full\\sub\\b.txt", "b");
    ASSERT_TRUE(make_dirs((d + "\\empty").c_str()));
    struct {
        const char *folder;
        int opens;
        std::vector<std::string> names;
    } cases[] = {
        {"full", 1, {"..x", "a.txt", "sub"}},
        {"empty", 1, {}},
        {"missing", 0, {}},
    };
    for (auto &c : cases) {
        folder_listing l;
        std::vector<std::string> names;
        ASSERT_EQ(folder_open(&l, (d + "\\" + c.folder).c_str()), c.opens) << c.folder;
        if (!c.opens) continue;
        while (folder_next(&l)) names.push_back(l.e.name);
        folder_close(&l);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.names) << c.folder;
    }
}

TEST(DeleteTree, MissingFolderGivesZero)
{
    std::string d = scratch("del_missing");
    EXPECT_EQ(delete_tree((d + "\\nothing").c_str()), 0);
}

TEST(DeleteTree, RemovesReadOnlyFilesAndNestedFolders)
{
    std::string d = scratch("del_ro");
    std::string t = d + "\\tree";
    put(t + "\\a.txt", "a");
    put(t + "\\sub\\deeper\\b.txt", "b");
    put(t + "\\sub\\..x", "a name that starts with two dots");
    ASSERT_TRUE(pf_set_attributes((t + "\\a.txt").c_str(), PF_ATTR_READONLY));
    ASSERT_TRUE(pf_set_attributes((t + "\\sub\\deeper\\b.txt").c_str(), PF_ATTR_READONLY));
    EXPECT_NE(delete_tree(t.c_str()), 0);
    EXPECT_FALSE(path_exists(t.c_str()));
    EXPECT_TRUE(is_dir(d.c_str()));
}

TEST(DeleteTree, RemovesLinksWithoutEnteringThem)
{
    const char *fx = getenv("KELP_LINK_FIXTURE");
    if (!fx) GTEST_SKIP() << "run through ctest, which makes the links";
    std::string base = fx;
    std::string tree = base + "\\tree", target = base + "\\target";
    auto is_link = [](const std::string &p) {
        uint32_t a = pf_attributes(p.c_str());
        return a != PF_ATTR_INVALID && (a & PF_ATTR_REPARSE);
    };
    ASSERT_TRUE(is_link(tree + "\\link")) << "fixture made";
    // Wine shows a Unix link to a file as the file; it is still told apart.
    EXPECT_TRUE(is_link(tree + "\\filelink"));
    int removed = delete_tree(tree.c_str());
    EXPECT_EQ(get(target + "\\keep.txt"), "keep\n") << "what the folder link points to is untouched";
    EXPECT_EQ(get(base + "\\file.txt"), "file\n") << "what the file link points to is untouched";
    EXPECT_NE(removed, 0);
    EXPECT_FALSE(path_exists(tree.c_str())) << "the links went with the tree";
}

// The ANSI folder calls of Windows stop at 248 characters, so the Windows
// build cannot make the folder this needs.
#ifndef _WIN32
TEST(DeleteTree, ChildPathTooLongIsPassedOverNotCut)
{
    // A folder whose path fills the 520-byte buffer: its child's path, cut, would
    // name the folder itself and the removal would recurse without end.
    std::string deep = scratch("del_long");
    while (deep.size() < 518) {
        deep += "\\" + std::string(std::min<size_t>(100, 517 - deep.size()), 'd');
        ASSERT_TRUE(pf_make_dir(deep.c_str()) || is_dir(deep.c_str())) << deep;
    }
    ASSERT_EQ(deep.size(), 518u);
    std::string sub = deep + "\\sub";
    ASSERT_TRUE(pf_make_dir(sub.c_str()) || is_dir(sub.c_str())) << sub;
    EXPECT_EQ(delete_tree(deep.c_str()), 0) << "the child that cannot be named stays";
    EXPECT_TRUE(is_dir(sub.c_str()));
    pf_remove_dir(sub.c_str());
}
#endif

} // namespace
