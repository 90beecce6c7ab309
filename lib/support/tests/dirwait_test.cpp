// The directory change wait: changes anywhere in the tree end a wait, changes
// between two waits are kept for the next one, a burst signals once, and the
// watch's descriptor is never leaked.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "dirwait.h"
#include "log.h"
#include "support_test_util.h"

using support_test::OpenDescriptors;
using support_test::Messages;
using support_test::OpenLog;
using support_test::ReadFile;
using support_test::TempDir;
using support_test::WriteFile;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kClientFilter = FILE_NOTIFY_FILE_NAME | FILE_NOTIFY_LAST_WRITE | FILE_NOTIFY_SIZE;
constexpr std::uint32_t kLong = 30000;   // long enough that only a change ends the wait

// Wine's change notifications cover the watched directory itself only.
bool SubtreeWatchMissing()
{
#if defined(_WIN32)
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}
#define SKIP_WITHOUT_SUBTREE_WATCH()                                                                  \
    if (SubtreeWatchMissing()) {                                                                      \
        GTEST_SKIP() << "Wine's directory change notifications do not cover subdirectories; Windows " \
                        "and the inotify watch do";                                                   \
    }


class DirWaitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FILE_DirWaitClose();
        OpenLog(logPath_, 1, 80);   // the log lives outside the watched tree
    }
    void TearDown() override
    {
        FILE_DirWaitClose();
        LOG_Close();
    }

    // The messages logged since the last call.
    std::vector<std::string> NewMessages()
    {
        const auto all = Messages(ReadFile(logPath_));
        std::vector<std::string> fresh(all.begin() + static_cast<long>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }

    // Creates `path` after a short pause, while the caller waits.
    static std::thread CreateLater(const std::string& path)
    {
        return std::thread([path] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            WriteFile(path, "|G99=000020|");
        });
    }

    TempDir logDir_;
    std::string logPath_ = logDir_.file("kmo.log");
    std::size_t seen_ = 0;
    TempDir root_;
};

using Msgs = std::vector<std::string>;

TEST_F(DirWaitTest, FileCreatedInSubdirectoryEndsFirstWait)
{
    SKIP_WITHOUT_SUBTREE_WATCH();
    fs::create_directory(root_.path() / "caja1");
    std::thread writer = CreateLater(root_.file("caja1/in.txt"));
    const int rc = FILE_DirWaitFirst(root_.path().string().c_str(), kLong, kClientFilter);
    writer.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitfirst Entry TimeOut=[30000]", "FILE_DirWaitFirst WaitForSingleObject OK",
                                   "FILE_DirWaitFirst Exit RetVal=[0]"}));
    // A change seen is no error: entry, outcome and exit all at 65 (DEBUG).
    const std::string log = ReadFile(logPath_);
    EXPECT_NE(log.find("\tDEBUG\tFILE_DirWaitfirst Entry"), std::string::npos);
    EXPECT_NE(log.find("\tDEBUG\tFILE_DirWaitFirst WaitForSingleObject OK"), std::string::npos);
    EXPECT_EQ(log.find("\tERROR\t"), std::string::npos);
}

TEST_F(DirWaitTest, InfiniteTimeOutWaitsForTheChange)
{
    std::thread writer = CreateLater(root_.file("in.txt"));
    EXPECT_EQ(FILE_DirWaitFirst(root_.path().string().c_str(), FILE_WAIT_INFINITE, kClientFilter), 0);
    writer.join();
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitfirst Entry TimeOut=[-1]", "FILE_DirWaitFirst WaitForSingleObject OK",
                                   "FILE_DirWaitFirst Exit RetVal=[0]"}));
}

TEST_F(DirWaitTest, TimeOutZeroWithNothingPendingReturnsAtOnce)
{
    EXPECT_EQ(FILE_DirWaitFirst(root_.path().string().c_str(), 0, kClientFilter), 0);
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitfirst Entry TimeOut=[0]", "FILE_DirWaitFirst Exit RetVal=[0]"}));
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_EQ(FILE_DirWaitNext(20), 0);
    EXPECT_TRUE(NewMessages().empty());
}

TEST_F(DirWaitTest, ChangeBetweenWaitsEndsTheNextAndABurstSignalsOnce)
{
    ASSERT_EQ(FILE_DirWaitFirst(root_.path().string().c_str(), 0, kClientFilter), 0);
    NewMessages();

    WriteFile(root_.file("in.txt"), "x");   // while nobody waits
    EXPECT_EQ(FILE_DirWaitNext(kLong), 0);
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitNext WaitForSingleObject OK"}));
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_TRUE(NewMessages().empty());

    for (int i = 0; i < 50; ++i) {
        WriteFile(root_.file("f" + std::to_string(i)), "data");
    }
    EXPECT_EQ(FILE_DirWaitNext(kLong), 0);
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitNext WaitForSingleObject OK"}));
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_TRUE(NewMessages().empty());

    // A change while a Next waits.
    std::thread writer = CreateLater(root_.file("in2.txt"));
    EXPECT_EQ(FILE_DirWaitNext(kLong), 0);
    writer.join();
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitNext WaitForSingleObject OK"}));
}

TEST_F(DirWaitTest, SubdirectoriesCreatedLaterAreWatched)
{
    SKIP_WITHOUT_SUBTREE_WATCH();
    ASSERT_EQ(FILE_DirWaitFirst(root_.path().string().c_str(), 0, FILE_NOTIFY_FILE_NAME), 0);
    fs::create_directory(root_.path() / "nueva");
    fs::create_directories(root_.path() / "x" / "y" / "z");   // faster than the watch can follow
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    NewMessages();
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_TRUE(NewMessages().empty()) << "directories alone are not file-name changes";

    WriteFile(root_.file("nueva/in.txt"), "x");
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitNext WaitForSingleObject OK"}));

    WriteFile(root_.file("x/y/z/in.txt"), "x");
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitNext WaitForSingleObject OK"}));

    // A directory renamed inside the tree stays watched under its new name.
    fs::rename(root_.path() / "nueva", root_.path() / "renombrada");
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    NewMessages();
    WriteFile(root_.file("renombrada/out.txt"), "x");
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitNext WaitForSingleObject OK"}));
}

TEST_F(DirWaitTest, FilterSelectsTheKindsOfChange)
{
    const std::string file = root_.file("datos.txt");
    WriteFile(file, "a");

    ASSERT_EQ(FILE_DirWaitFirst(root_.path().string().c_str(), 0, FILE_NOTIFY_ATTRIBUTES), 0);
    WriteFile(root_.file("otro.txt"), "b");   // name and write: not selected
    WriteFile(file, "aa");
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    NewMessages();
    fs::permissions(file, fs::perms::owner_read, fs::perm_options::replace);
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitNext WaitForSingleObject OK"}));

    ASSERT_EQ(FILE_DirWaitFirst(root_.path().string().c_str(), 0, FILE_NOTIFY_DIR_NAME), 0);
    NewMessages();
    WriteFile(root_.file("tercero.txt"), "c");
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_TRUE(NewMessages().empty());
    fs::create_directory(root_.path() / "dir");
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitNext WaitForSingleObject OK"}));

    ASSERT_EQ(FILE_DirWaitFirst(root_.path().string().c_str(), 0, FILE_NOTIFY_LAST_WRITE), 0);
    NewMessages();
    fs::permissions(file, fs::perms::owner_all, fs::perm_options::replace);
    fs::create_directory(root_.path() / "dir2");
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_TRUE(NewMessages().empty());
    WriteFile(file, "changed");
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitNext WaitForSingleObject OK"}));
}

TEST_F(DirWaitTest, NoWatchOrFailedStartMakesNextFailSilently)
{
    EXPECT_EQ(FILE_DirWaitClose(), 0);
    EXPECT_EQ(FILE_DirWaitNext(0), -1);
    EXPECT_TRUE(NewMessages().empty());

    const std::string missing = root_.file("no/existe");
    EXPECT_EQ(FILE_DirWaitFirst(missing.c_str(), 0, kClientFilter), -1);
    // The text in brackets is the system's own.
#if defined(_WIN32)
    const auto failed = NewMessages();
    ASSERT_EQ(failed.size(), 3u);
    EXPECT_EQ(failed[1].rfind("FILE_DirWaitFirst FindFirstChangeNotification Error [", 0), 0u) << failed[1];
    EXPECT_GT(failed[1].size(), std::string("FILE_DirWaitFirst FindFirstChangeNotification Error []").size());
    EXPECT_EQ(failed[2], "FILE_DirWaitFirst Exit RetVal=[-1]");
#else
    EXPECT_EQ(NewMessages(),
              (Msgs{"FILE_DirWaitfirst Entry TimeOut=[0]",
                    "FILE_DirWaitFirst FindFirstChangeNotification Error [No such file or directory]",
                    "FILE_DirWaitFirst Exit RetVal=[-1]"}));
#endif
    EXPECT_EQ(FILE_DirWaitNext(0), -1);
    EXPECT_TRUE(NewMessages().empty());

    WriteFile(root_.file("plain.txt"), "x");
    EXPECT_EQ(FILE_DirWaitFirst(root_.file("plain.txt").c_str(), 0, kClientFilter), -1);
#if defined(_WIN32)
    EXPECT_EQ(NewMessages().at(1).rfind("FILE_DirWaitFirst FindFirstChangeNotification Error [", 0), 0u);
#else
    EXPECT_EQ(NewMessages().at(1), "FILE_DirWaitFirst FindFirstChangeNotification Error [Not a directory]");
#endif
    EXPECT_EQ(FILE_DirWaitClose(), 0);
    // A real failure stays an error.
    EXPECT_NE(ReadFile(logPath_).find("\tERROR\tFILE_DirWaitFirst FindFirstChangeNotification Error"),
              std::string::npos);
}

TEST_F(DirWaitTest, RestartAndCloseLeakNoDescriptor)
{
    const int before = OpenDescriptors();
    ASSERT_EQ(FILE_DirWaitFirst(root_.path().string().c_str(), 0, kClientFilter), 0);
    EXPECT_EQ(OpenDescriptors(), before + 1);
    ASSERT_EQ(FILE_DirWaitFirst(root_.path().string().c_str(), 0, kClientFilter), 0);
    EXPECT_EQ(OpenDescriptors(), before + 1);
    // A failed start ends the previous watch too.
    ASSERT_EQ(FILE_DirWaitFirst(root_.file("missing").c_str(), 0, kClientFilter), -1);
    EXPECT_EQ(OpenDescriptors(), before);
    ASSERT_EQ(FILE_DirWaitFirst(root_.path().string().c_str(), 0, kClientFilter), 0);
    EXPECT_NE(FILE_DirWaitClose(), 0);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(FILE_DirWaitClose(), 0);
    EXPECT_EQ(FILE_DirWaitNext(0), -1);
}

}  // namespace

// A file kept open and appended to (a log under the watched tree) signals a
// watch on sizes at every write, but a watch on finished writes only when its
// writer closes it.
TEST_F(DirWaitTest, AppendsToAnOpenFileSignalOnlyTheSizeWatch)
{
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX only: Windows reports a last-write change when the system updates the "
                    "file's time, not when its writer closes it";
#endif
    const std::string path = root_.file("open.log");
    std::FILE* f = std::fopen(path.c_str(), "a");
    ASSERT_NE(f, nullptr);

    ASSERT_EQ(FILE_DirWaitFirst(root_.path().string().c_str(), 0, FILE_NOTIFY_FILE_NAME | FILE_NOTIFY_LAST_WRITE), 0);
    NewMessages();
    std::fputs("record\n", f);
    std::fflush(f);
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_TRUE(NewMessages().empty());
    std::fclose(f);
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitNext WaitForSingleObject OK"}));

    f = std::fopen(path.c_str(), "a");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(FILE_DirWaitFirst(root_.path().string().c_str(), 0, FILE_NOTIFY_SIZE), 0);
    NewMessages();
    std::fputs("record\n", f);
    std::fflush(f);
    EXPECT_EQ(FILE_DirWaitNext(0), 0);
    EXPECT_EQ(NewMessages(), (Msgs{"FILE_DirWaitNext WaitForSingleObject OK"}));
    std::fclose(f);
}
