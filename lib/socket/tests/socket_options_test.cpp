// Socket options, the readiness wait and the connectivity test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "socket_test_util.h"

namespace sockettest {
namespace {

using OptionTest = SocketTest;

struct Options {
    int reuse = -1;
    int keepAlive = -1;
    int noDelay = -1;
};

Options ReadOptions(int id)
{
    Options o;
    const PLAT_Sock s = socket_SlotSocket(id);
    PLAT_SockGetOption(s, PLAT_SOCKOPT_REUSEADDR, &o.reuse);
    PLAT_SockGetOption(s, PLAT_SOCKOPT_KEEPALIVE, &o.keepAlive);
    PLAT_SockGetOption(s, PLAT_SOCKOPT_NODELAY, &o.noDelay);
    return o;
}

TEST_F(OptionTest, EachModeSwitchesOnItsOptions)
{
    RawListener peer;
    struct Case {
        int mode;
        bool reuse, keepAlive, noDelay;
    };
    for (const Case& c : {Case{0, true, true, true}, Case{1, false, true, true}, Case{2, false, false, true},
                          Case{3, false, false, false}, Case{-1, false, false, false}}) {
        const int id = SOCKET_Open(peer.Address().c_str());
        ASSERT_NE(id, -1);
        log_->Clear();
        EXPECT_EQ(SOCKET_SetOption(id, c.mode), 0) << c.mode;
        const Options o = ReadOptions(id);
        EXPECT_EQ(o.reuse != 0, c.reuse) << c.mode;
        EXPECT_EQ(o.keepAlive != 0, c.keepAlive) << c.mode;
        EXPECT_EQ(o.noDelay != 0, c.noDelay) << c.mode;
        EXPECT_EQ(log_->Messages(), (std::vector<std::string>{"SOCKET_SetOption Entry", "SOCKET_SetOption Exit"}));
        SOCKET_Close(id, 2);
    }
}

TEST_F(OptionTest, AFailedOptionDoesNotStopTheOthers)
{
    EXPECT_EQ(SOCKET_SetOption(7, 0), -1);   // a free slot: every attempt fails
    const auto lines = log_->Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1].message, "SOCKET_SetOption seteando opcion de reuso en socket [-1]");
    EXPECT_EQ(lines[2].message, "SOCKET_SetOption seteando opcion keepalive en socket [-1]");
    EXPECT_EQ(lines[3].message, "SOCKET_SetOption seteando opcion nodelay en socket [-1]");
    EXPECT_EQ(lines[3].level, "ERROR");
    EXPECT_EQ(lines[4].message, "SOCKET_SetOption Exit");
}

TEST_F(OptionTest, SelectReportsTheListenerWithAPendingClient)
{
    EXPECT_EQ(SOCKET_IsSet(0), 0);   // free slot
    EXPECT_EQ(SOCKET_Select(), -1);  // nothing to watch
    EXPECT_TRUE(log_->Has("SOCKET_Select select()"));

    const int server = OpenLoopbackServer();
    ASSERT_EQ(server, 0);
    const int port = SOCKET_LocalPort(server);
    RawClient first(port);
    char buf[4];
    int len = 0;
    const int accepted = SOCKET_Receive(server, buf, sizeof buf, &len);
    ASSERT_EQ(accepted, 1);
    EXPECT_EQ(SOCKET_IsSet(server), 0);   // before any select

    RawClient second(port);
    ASSERT_NE(second.s, PLAT_SOCK_BAD);
    EXPECT_EQ(SOCKET_Select(), 0);
    EXPECT_EQ(SOCKET_IsSet(server), 1);
    EXPECT_EQ(SOCKET_IsSet(accepted), 0);

    ASSERT_EQ(PLAT_SockSend(first.s, "x", 1), 1);
    const int again = SOCKET_Receive(server, buf, sizeof buf, &len);   // takes the second client
    ASSERT_EQ(again, 2);
    EXPECT_EQ(SOCKET_Select(), 0);
    EXPECT_EQ(SOCKET_IsSet(server), 0);
    EXPECT_EQ(SOCKET_IsSet(accepted), 1);
    EXPECT_EQ(SOCKET_IsSet(again), 0);

    SOCKET_Close(again, 2);
    SOCKET_Close(accepted, 2);
    SOCKET_Close(server, 2);
}

TEST_F(OptionTest, TestConnectionTrueWhenSomebodyListens)
{
    RawListener peer;
    const std::string addr = peer.Address();
    EXPECT_EQ(SOCKET_TestConnection(addr.c_str()), 1);
    const auto lines = log_->Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front().level, "DEBUG");
    EXPECT_EQ(lines.front().message, "SOCKET_TestConnection Entry TestHost=[" + addr + "]");
    bool sawOk = false;
    for (const LogLine& l : lines) {
        if (l.message == "SOCKET_TestConnection conectado a [" + addr + "] OK") {
            sawOk = true;
            EXPECT_EQ(l.level, "DEBUG");
        }
    }
    EXPECT_TRUE(sawOk);
    EXPECT_EQ(lines.back().message, "SOCKET_TestConnection Exit Retorna TRUE");
    EXPECT_EQ(HANDLE_Get(), 0);   // the slot it used is free again

    // A text without a colon listens (and is closed at once): TRUE as well.
    SOCKET_SetListenAddress("127.0.0.1");
    EXPECT_EQ(SOCKET_TestConnection("0"), 1);
}

TEST_F(OptionTest, TestConnectionFalseWhenRefused)
{
    int port = 0;
    {
        RawListener gone;
        port = gone.port;
    }
    const std::string addr = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(SOCKET_TestConnection(addr.c_str()), 0);
    const auto lines = log_->Lines();
    ASSERT_GE(lines.size(), 3u);
    const std::size_t n = lines.size();
    EXPECT_EQ(lines[n - 3].message, "SOCKET_Open connect()");
    EXPECT_EQ(lines[n - 2].message, "SOCKET_TestConnection conectandose a [" + addr + "]");
    EXPECT_EQ(lines[n - 2].level, "ERROR");
    EXPECT_EQ(lines[n - 1].message, "SOCKET_TestConnection Exit Retorna FALSE");
    EXPECT_EQ(OpenDescriptors(), fdsAtStart_);
}

}  // namespace
}  // namespace sockettest
