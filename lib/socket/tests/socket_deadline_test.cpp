// The time bound of a thread's connects and receives, and the connectivity
// test's own bound.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "socket_test_util.h"

namespace sockettest {
namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// The number in a "... tras N ms" record, or -1 when no record has that head.
int TimedOutAfter(const LogCapture& log, const std::string& head)
{
    for (const LogLine& l : log.Lines()) {
        if (l.message.rfind(head + " tiempo de espera agotado tras ", 0) == 0 && l.level == "ERROR") {
            return std::stoi(l.message.substr(head.size() + 30));
        }
    }
    return -1;
}

class DeadlineTest : public SocketTest {
protected:
    void TearDown() override
    {
        SOCKET_SetDeadline(0);
        SocketTest::TearDown();
    }
    // A connection to a raw peer that accepts it and then does what the test says.
    int Connected(RawListener& l, RawClient& peer)
    {
        const int id = SOCKET_Open(l.Address().c_str());
        peer.Adopt(PLAT_SockAccept(l.s, nullptr, nullptr));
        return id;
    }
};

// Silent, answering, hanging up: only silence runs out of time, and the
// record says after how long.
TEST_F(DeadlineTest, ReceiveEndsAtTheBoundOnlyWhenNothingComes)
{
    struct Case {
        const char* peer;
        int result;
        bool timedOut;
    };
    for (const Case& c : {Case{"silent", -1, true}, Case{"answers", 0, false}, Case{"hangs up", -1, false}}) {
        SCOPED_TRACE(c.peer);
        RawListener l;
        RawClient peer;
        const int id = Connected(l, peer);
        ASSERT_NE(id, -1);
        log_->Clear();
        SOCKET_SetDeadline(300);
        std::thread act([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (std::string(c.peer) == "answers") {
                PLAT_SockSend(peer.s, "abc", 3);
            } else if (std::string(c.peer) == "hangs up") {
                PLAT_SockShutdown(peer.s, 1);
            }
        });
        const auto start = Clock::now();
        char buf[16] = {};
        int len = -7;
        EXPECT_EQ(SOCKET_Receive(id, buf, sizeof buf, &len), c.result);
        const double took = Since(start);
        act.join();
        EXPECT_EQ(SOCKET_TimedOut(), c.timedOut ? 1 : 0);
        if (c.timedOut) {
            EXPECT_GE(took, 0.29);
            EXPECT_LT(took, 3.0);
            const int ms = TimedOutAfter(*log_, "SOCKET_Receive recv");
            EXPECT_GE(ms, 290);
            EXPECT_LT(ms, 3000);
            EXPECT_EQ(len, -7) << "a failed receive leaves the count alone";
        } else {
            EXPECT_EQ(TimedOutAfter(*log_, "SOCKET_Receive recv"), -1);
        }
        if (c.result == 0) {
            EXPECT_EQ(std::string(buf, 3), "abc");
        }
        SOCKET_SetDeadline(0);
        SOCKET_Close(id, 2);
    }
}

// The bound is one instant for every wait after it is set: once it has
// passed, a receive on a silent peer fails at once; lifted, it waits again.
TEST_F(DeadlineTest, OneBoundCoversEveryWaitUntilLifted)
{
    RawListener l;
    RawClient peer;
    const int id = Connected(l, peer);
    ASSERT_NE(id, -1);
    SOCKET_SetDeadline(200);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const auto start = Clock::now();
    char buf[16];
    int len = 0;
    EXPECT_EQ(SOCKET_Receive(id, buf, sizeof buf, &len), -1);
    EXPECT_LT(Since(start), 0.15);
    EXPECT_EQ(SOCKET_TimedOut(), 1);

    SOCKET_SetDeadline(0);
    EXPECT_EQ(SOCKET_TimedOut(), 0);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        PLAT_SockSend(peer.s, "x", 1);
    });
    EXPECT_EQ(SOCKET_Receive(id, buf, sizeof buf, &len), 0);
    late.join();
    EXPECT_EQ(len, 1);
    SOCKET_Close(id, 2);
}

// A listener whose accept queue is full: the kernel drops further connection
// attempts, so a connect to it never completes by itself.
struct FullListener {
    PLAT_Sock s = PLAT_SOCK_BAD;
    int port = -1;
    std::vector<int> queued;
    FullListener()
    {
        s = PLAT_SockTcp();
        if (s == PLAT_SOCK_BAD || PLAT_SockBind(s, Loopback(), 0) != 0 || PLAT_SockListen(s, 0) != 0) {
            return;
        }
        port = PLAT_SockLocalPort(s);
        SOCKET_SetDeadline(300);
        for (int i = 0; i < 8; ++i) {
            const int id = SOCKET_Open(Address().c_str());
            if (id == -1) {
                break;
            }
            queued.push_back(id);
        }
        SOCKET_SetDeadline(0);
    }
    ~FullListener()
    {
        for (int id : queued) {
            SOCKET_Close(id, 2);
        }
        if (s != PLAT_SOCK_BAD) {
            PLAT_SockClose(s);
        }
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port); }
};

TEST_F(DeadlineTest, ConnectThatCannotCompleteRunsOutOfTime)
{
    FullListener full;
    ASSERT_GT(full.port, 0);
    ASSERT_LT(full.queued.size(), 8u) << "the accept queue never filled";
    log_->Clear();
    SOCKET_SetDeadline(400);
    const auto start = Clock::now();
    EXPECT_EQ(SOCKET_Open(full.Address().c_str()), -1);
    EXPECT_GE(Since(start), 0.39);
    EXPECT_LT(Since(start), 3.0);
    EXPECT_EQ(SOCKET_TimedOut(), 1);
    EXPECT_GE(TimedOutAfter(*log_, "SOCKET_Open connect()"), 390);
    EXPECT_FALSE(log_->Has("SOCKET_Open connect()"));
    EXPECT_EQ(OpenDescriptors(), fdsAtStart_ + 1 + static_cast<int>(full.queued.size()))
        << "the timed-out socket is closed";
}

// A refused connect under a bound is an ordinary failure, at once.
TEST_F(DeadlineTest, RefusedConnectIsNoTimeOut)
{
    RawListener l;   // bound, then closed: nobody listens on its port any more
    const std::string address = l.Address();
    PLAT_SockClose(l.s);
    l.s = PLAT_SOCK_BAD;
    SOCKET_SetDeadline(5000);
    const auto start = Clock::now();
    EXPECT_EQ(SOCKET_Open(address.c_str()), -1);
    EXPECT_LT(Since(start), 1.0);
    EXPECT_EQ(SOCKET_TimedOut(), 0);
    EXPECT_TRUE(log_->Has("SOCKET_Open connect()"));
}

// The connectivity test gives up after five seconds whatever the caller's
// bound, and hands the caller's bound back.
TEST_F(DeadlineTest, ConnectivityTestHasABoundOfItsOwn)
{
    FullListener full;
    ASSERT_GT(full.port, 0);
    log_->Clear();
    SOCKET_SetDeadline(60000);
    const auto start = Clock::now();
    EXPECT_EQ(SOCKET_TestConnection(full.Address().c_str()), 0);
    EXPECT_GE(Since(start), 4.9);
    EXPECT_LT(Since(start), 8.0);
    EXPECT_GT(socket_TimeLeftMs(), 50000);
    EXPECT_GE(TimedOutAfter(*log_, "SOCKET_Open connect()"), 4900);
    EXPECT_TRUE(log_->Has("SOCKET_TestConnection Exit Retorna FALSE"));
}

}  // namespace
}  // namespace sockettest
