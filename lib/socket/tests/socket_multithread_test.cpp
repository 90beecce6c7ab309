// Multithreaded mode: slots taken and freed through the named lock.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "socket_test_util.h"

namespace sockettest {
namespace {

class MultithreadTest : public SocketTest {
protected:
    void SetUp() override
    {
        SocketTest::SetUp();
        ASSERT_EQ(SOCKET_Init("T"), 0);
        SOCKET_SetListenAddress("127.0.0.1");
    }
    void TearDown() override
    {
        SOCKET_Exit();   // the second start-up
        SocketTest::TearDown();
    }
};

TEST_F(MultithreadTest, ThreadsNeverShareAHandleId)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 40;
    std::array<std::atomic<int>, SOCKET_TABLE_SIZE> owners{};
    std::atomic<int> clashes{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 1; t <= kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                const int id = SOCKET_Open("0");
                if (id < 0) {
                    ++failures;
                    continue;
                }
                int expected = 0;
                if (!owners[id].compare_exchange_strong(expected, t)) {
                    ++clashes;
                }
                std::this_thread::yield();
                owners[id] = 0;
                SOCKET_Close(id, 2);
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(clashes.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(socket_ReadSetCount(), 0u);   // sets are not kept in this mode
    EXPECT_EQ(HANDLE_Get(), 0);              // every slot came back
    EXPECT_EQ(OpenDescriptors(), fdsAtStart_);
}

TEST_F(MultithreadTest, OpenAndCloseWriteTheLockMessages)
{
    log_->Clear();
    const int id = SOCKET_Open("0");
    ASSERT_EQ(id, 0);
    SOCKET_Close(id, 2);
    const auto lines = log_->Lines();
    std::vector<std::string> lockLines;
    for (const LogLine& l : lines) {
        if (l.message.find("Mutex") != std::string::npos) {
            lockLines.push_back(l.level + " " + l.message);
        }
    }
    EXPECT_EQ(lockLines, (std::vector<std::string>{
                             "DEBUG SOCKET_Open OpenMutex OK",
                             "DEBUG SOCKET_Open tengo el Mutex",
                             "DEBUG SOCKET_Open libere el Mutex HandleId=[0]",
                             "DEBUG SOCKET_Close OpenMutex OK",
                             "DEBUG SOCKET_Close tengo el Mutex",
                             "DEBUG SOCKET_Close libere el Mutex, free HandleId=[0]",
                         }));
}

TEST_F(MultithreadTest, AcceptAndRefusalUseTheirOwnLockMessages)
{
    socket_SetBarredPeer("127.0.0.1");
    const int server = SOCKET_Open("0");
    ASSERT_EQ(server, 0);
    RawClient client(SOCKET_LocalPort(server));
    ASSERT_NE(client.s, PLAT_SOCK_BAD);
    log_->Clear();
    char buf[4];
    int len = 3;
    EXPECT_EQ(SOCKET_Receive(server, buf, sizeof buf, &len), -1);
    EXPECT_EQ(len, 0);
    EXPECT_TRUE(log_->Has("SOCKET_Open libere el Mutex ClientId=[1]"));
    EXPECT_TRUE(log_->Has("SOCKET_Receive tengo el Mutex"));
    EXPECT_TRUE(log_->Has("SOCKET_Receive libere el Mutex, free ClientId=[1]"));
    EXPECT_EQ(socket_SlotSocket(1), -1);
    SOCKET_Close(server, 2);
}

TEST_F(MultithreadTest, LockThatCannotBeOpenedFailsOpenAndKeepsClosedSlotTaken)
{
    const int id = SOCKET_Open("0");
    ASSERT_EQ(id, 0);
#if defined(_WIN32)
    // A named mutex lives while any handle to it is open (SOCKET_Init keeps
    // one), so the protocol is pointed at a name that was never created.
    socket_SetLockName("kmosock.test.never.created");
#else
    ASSERT_EQ(PLAT_LockRemove(lockName_.c_str()), 0);
#endif
    log_->Clear();

    const int fds = OpenDescriptors();
    EXPECT_EQ(SOCKET_Open("0"), -1);
    EXPECT_EQ(OpenDescriptors(), fds);
    const auto messages = log_->Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], "SOCKET_Open OpenMutex");
    EXPECT_EQ(messages.back(), "SOCKET_Open HANDLE_Get()");

    const PLAT_Sock s = socket_SlotSocket(id);
    EXPECT_EQ(SOCKET_Close(id, 2), 0);
    EXPECT_TRUE(log_->Has("SOCKET_Close OpenMutex"));
    EXPECT_EQ(socket_SlotSocket(id), s);   // lost until the table is reset
    EXPECT_EQ(OpenDescriptors(), fds - 1);  // but the socket is closed
    HANDLE_Reset();
}

}  // namespace
}  // namespace sockettest
