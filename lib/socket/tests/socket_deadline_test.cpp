// The time bound of a thread's connects and receives, and the connectivity
// test's own bound.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "socket_test_util.h"

namespace sockettest {
namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The N of the ERROR record "<head> tiempo de espera agotado tras N ms", or -1.
int TimedOutAfter(const LogCapture& log, const std::string& head)
{
    const std::string prefix = head + " tiempo de espera agotado tras ";
    for (const LogLine& l : log.Lines())
        if (l.level == "ERROR" && l.message.rfind(prefix, 0) == 0)
            return std::stoi(l.message.substr(prefix.size()));
    return -1;
}

class DeadlineTest : public SocketTest {
protected:
    void TearDown() override
    {
        SOCKET_SetDeadline(0);
        SocketTest::TearDown();
    }
};

// Silent, answering, hanging up: only silence runs out of time, at the bound,
// and says after how long; a bound that has passed fails the next wait at once.
TEST_F(DeadlineTest, ReceiveEndsAtTheBoundOnlyWhenNothingComes)
{
    for (const std::string peerDoes : {"nothing", "answers", "hangs up", "nothing, late"}) {
        SCOPED_TRACE(peerDoes);
        RawListener l;
        const int id = SOCKET_Open(l.Address().c_str());
        RawClient peer;
        peer.Adopt(PLAT_SockAccept(l.s, nullptr, nullptr));
        ASSERT_NE(id, -1);
        log_->Clear();
        SOCKET_SetDeadline(300);
        if (peerDoes == "nothing, late")
            std::this_thread::sleep_for(std::chrono::milliseconds(350));
        std::thread act([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (peerDoes == "answers")
                PLAT_SockSend(peer.s, "abc", 3);
            else if (peerDoes == "hangs up")
                PLAT_SockShutdown(peer.s, 1);
        });
        const auto start = Clock::now();
        char buf[16] = {};
        int len = -7;
        const int rc = SOCKET_Receive(id, buf, sizeof buf, &len);
        const double took = Since(start);
        act.join();
        const bool silent = peerDoes.rfind("nothing", 0) == 0;
        EXPECT_EQ(rc, peerDoes == "answers" ? 0 : -1);
        EXPECT_EQ(len, peerDoes == "answers" ? 3 : -7);
        EXPECT_EQ(SOCKET_TimedOut(), silent ? 1 : 0);
        const int ms = TimedOutAfter(*log_, "SOCKET_Receive recv");
        if (peerDoes == "nothing") {
            EXPECT_GE(took, 0.29);
            EXPECT_GE(ms, 290);
            EXPECT_LT(ms, 3000);
        } else if (peerDoes == "nothing, late") {
            EXPECT_LT(took, 0.1);
        } else {
            EXPECT_EQ(ms, -1);
        }
        SOCKET_SetDeadline(0);
        SOCKET_Close(id, 2);
    }
}

// A listener whose accept queue is full: the kernel drops further attempts, so
// such a connect never completes. Under a bound it fails at the bound, with
// its socket closed; the connectivity test gives up after 5 s whatever the
// caller's bound, and hands that bound back.
TEST_F(DeadlineTest, ConnectThatCannotCompleteRunsOutOfTime)
{
    const PLAT_Sock s = PLAT_SockTcp();
    ASSERT_EQ(PLAT_SockBind(s, Loopback(), 0), 0);
    ASSERT_EQ(PLAT_SockListen(s, 0), 0);
    const std::string address = "127.0.0.1:" + std::to_string(PLAT_SockLocalPort(s));
    std::vector<int> queued;
    for (int id = 0; id != -1 && queued.size() < 8;) {
        SOCKET_SetDeadline(300);
        if ((id = SOCKET_Open(address.c_str())) != -1)
            queued.push_back(id);
    }
    ASSERT_LT(queued.size(), 8u) << "the accept queue never filled";
    const int fds = OpenDescriptors();
    log_->Clear();
    SOCKET_SetDeadline(400);
    auto start = Clock::now();
    EXPECT_EQ(SOCKET_Open(address.c_str()), -1);
    EXPECT_GE(Since(start), 0.39);
    EXPECT_EQ(SOCKET_TimedOut(), 1);
    EXPECT_GE(TimedOutAfter(*log_, "SOCKET_Open connect()"), 390);
    EXPECT_FALSE(log_->Has("SOCKET_Open connect()"));
    EXPECT_EQ(OpenDescriptors(), fds);

    log_->Clear();
    SOCKET_SetDeadline(60000);
    start = Clock::now();
    EXPECT_EQ(SOCKET_TestConnection(address.c_str()), 0);
    EXPECT_GE(Since(start), 4.9);
    EXPECT_LT(Since(start), 8.0);
    EXPECT_GT(socket_TimeLeftMs(), 50000);
    EXPECT_GE(TimedOutAfter(*log_, "SOCKET_Open connect()"), 4900);
    for (int id : queued)
        SOCKET_Close(id, 2);
    PLAT_SockClose(s);
}


// A resolver that takes its time: the name is waited for only as long as the
// bound allows (a resolver that does not answer must not hold the exchange),
// while one that answers in time gives its address as before.
std::atomic<int> g_resolverDelayMs{0};
std::atomic<std::uint32_t> g_resolverAnswer{0};
int SlowResolver(const char*, std::uint32_t* addr)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(g_resolverDelayMs.load()));
    *addr = g_resolverAnswer.load();
    return 0;
}

TEST_F(DeadlineTest, NameResolutionIsBoundedToo)
{
    RawListener l;
    g_resolverAnswer = Loopback();
    socket_SetResolver(SlowResolver);
    for (const int delayMs : {1500, 20}) {
        SCOPED_TRACE(delayMs);
        g_resolverDelayMs = delayMs;
        log_->Clear();
        SOCKET_SetDeadline(300);
        const auto start = Clock::now();
        const int id = SOCKET_Open(("gateway.test:" + std::to_string(l.port)).c_str());
        const double took = Since(start);
        EXPECT_EQ(id == -1, delayMs > 300);
        EXPECT_EQ(SOCKET_TimedOut(), delayMs > 300 ? 1 : 0);
        if (delayMs > 300) {
            EXPECT_LT(took, 1.0);
            EXPECT_GE(TimedOutAfter(*log_, "SOCKET_Open resolviendo host"), 290);
            EXPECT_TRUE(log_->Has("SOCKET_Open resolviendo host [gateway.test]"));
        }
        if (id != -1)
            SOCKET_Close(id, 2);
    }
    SOCKET_SetDeadline(0);
}

}  // namespace
}  // namespace sockettest
