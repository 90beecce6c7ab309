// Sending, receiving and accepting.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "socket_test_util.h"

namespace sockettest {
namespace {

// A connection opened by the layer to a raw peer on loopback.
class IoTest : public SocketTest {
protected:
    void SetUp() override
    {
        SocketTest::SetUp();
        listener_ = std::make_unique<RawListener>();   // needs the started layer
        ASSERT_GT(listener_->port, 0);
        id_ = SOCKET_Open(listener_->Address().c_str());
        ASSERT_NE(id_, -1);
        peer_.Adopt(PLAT_SockAccept(listener_->s, nullptr, nullptr));
        ASSERT_NE(peer_.s, PLAT_SOCK_BAD);
        log_->Clear();
    }
    void TearDown() override
    {
        SOCKET_Close(id_, 2);
        peer_.Close();
        listener_.reset();
        SocketTest::TearDown();
    }
    // Reads exactly n bytes on the raw peer.
    std::string PeerRead(std::size_t n)
    {
        std::string got(n, '\0');
        std::size_t have = 0;
        while (have < n) {
            const long r = PLAT_SockRecv(peer_.s, got.data() + have, n - have);
            if (r <= 0) {
                break;
            }
            have += static_cast<std::size_t>(r);
        }
        got.resize(have);
        return got;
    }
    void PeerWrite(const std::string& data)
    {
        ASSERT_EQ(PLAT_SockSend(peer_.s, data.data(), data.size()), static_cast<long>(data.size()));
    }

    std::unique_ptr<RawListener> listener_;
    RawClient peer_;
    int id_ = -1;
};

TEST_F(IoTest, SendDeliversEveryByteWithoutMessages)
{
    std::string data(100, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7);   // binary, with NULs
    }
    int len = 100;
    EXPECT_EQ(SOCKET_Send(id_, data.data(), &len), 0);
    EXPECT_EQ(len, 100);
    EXPECT_EQ(PeerRead(100), data);
    EXPECT_TRUE(log_->Lines().empty());
}

TEST_F(IoTest, SendRefusesEmptyDataAndFreeSlots)
{
    for (int bad : {0, -5}) {
        int len = bad;
        EXPECT_EQ(SOCKET_Send(id_, "x", &len), -1);
        EXPECT_EQ(len, 0);
    }
    int len = 10;
    EXPECT_EQ(SOCKET_Send(id_ + 1, "0123456789", &len), -1);   // a free slot
    EXPECT_EQ(len, 0);
    EXPECT_TRUE(log_->Lines().empty());
}

TEST_F(IoTest, PeerThatHasGoneAwayIsReportedNotFatal)
{
    peer_.Close();
    char buf[16] = {};
    int len = 77;
    EXPECT_EQ(SOCKET_Receive(id_, buf, sizeof buf, &len), -1);
    EXPECT_EQ(len, 77);
    const std::string hungUp = "SOCKET_Receive socket " + std::to_string(socket_SlotSocket(id_)) + " hung up";
    EXPECT_EQ(log_->Messages(), (std::vector<std::string>{"SOCKET_Receive Entry", hungUp}));

    // The first sends may still be taken in; once the peer's reset is back, a
    // send fails (without SIGPIPE ending this process).
    const std::string block(1000, 'z');
    int rc = 0;
    for (int i = 0; i < 200 && rc == 0; ++i) {
        len = static_cast<int>(block.size());
        rc = SOCKET_Send(id_, block.data(), &len);
        if (rc == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(log_->Has("SOCKET_Send enviando"));
    EXPECT_NE(socket_SlotSocket(id_), -1);   // the caller closes it, not the layer
}

TEST_F(IoTest, ReceiveCopiesOnlyTheBytesThatArrived)
{
    PeerWrite("0123456789");
    std::vector<char> buf(4096, '#');
    int len = -1;
    EXPECT_EQ(SOCKET_Receive(id_, buf.data(), 4096, &len), 0);
    ASSERT_EQ(len, 10);
    EXPECT_EQ(std::string(buf.data(), 10), "0123456789");
    for (std::size_t i = 10; i < buf.size(); ++i) {
        ASSERT_EQ(buf[i], '#') << i;
    }
    const std::string ok = "SOCKET_Receive recibio OK HandleId=[" + std::to_string(id_) +
                           "] Socket=[" + std::to_string(socket_SlotSocket(id_)) + "] Len=[10]";
    EXPECT_EQ(log_->Messages(), (std::vector<std::string>{"SOCKET_Receive Entry", ok, "SOCKET_Receive Exit"}));
}

TEST_F(IoTest, OneReceiveDeliversAtMost4096Bytes)
{
    std::string data(6000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>('a' + i % 26);
    }
    PeerWrite(data);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));   // let it all arrive

    std::vector<char> buf(8192, '#');
    std::string got;
    int len = 0;
    ASSERT_EQ(SOCKET_Receive(id_, buf.data(), 8192, &len), 0);   // above the limit
    ASSERT_GT(len, 0);
    ASSERT_LE(len, SOCKET_RECEIVE_MAX);
    EXPECT_EQ(buf[SOCKET_RECEIVE_MAX], '#');
    got.append(buf.data(), static_cast<std::size_t>(len));
    while (got.size() < data.size()) {
        ASSERT_EQ(SOCKET_Receive(id_, buf.data(), 4096, &len), 0);
        got.append(buf.data(), static_cast<std::size_t>(len));
    }
    EXPECT_EQ(got, data);
}

TEST_F(IoTest, TwoPartMessageComesInTwoReceives)
{
    PeerWrite("first");
    char buf[64] = {};
    int len = 0;
    ASSERT_EQ(SOCKET_Receive(id_, buf, sizeof buf, &len), 0);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(len)), "first");
    PeerWrite("second");
    ASSERT_EQ(SOCKET_Receive(id_, buf, sizeof buf, &len), 0);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(len)), "second");
}

TEST_F(IoTest, NegativeSizeIsRefused)
{
    PeerWrite("data");
    char buf[8] = {};
    int len = 5;
    EXPECT_EQ(SOCKET_Receive(id_, buf, -1, &len), -1);
    EXPECT_EQ(len, 5);
    EXPECT_TRUE(log_->Has("SOCKET_Receive recv"));
    EXPECT_EQ(SOCKET_Receive(id_, buf, sizeof buf, &len), 0);   // the data is still there
    EXPECT_EQ(len, 4);
}

using AcceptTest = SocketTest;

TEST_F(AcceptTest, AcceptRegistersTheClientInTableAndReadSet)
{
    const int server = OpenLoopbackServer();
    ASSERT_EQ(server, 0);
    const int port = SOCKET_LocalPort(server);
    RawClient client(port);
    ASSERT_NE(client.s, PLAT_SOCK_BAD);
    log_->Clear();

    char buf[16];
    int len = 99;
    const int id = SOCKET_Receive(server, buf, sizeof buf, &len);
    ASSERT_EQ(id, 1);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(socket_SlotIsServer(id), 0);
    const PLAT_Sock s = socket_SlotSocket(id);
    ASSERT_EQ(socket_ReadSetCount(), 2u);
    EXPECT_EQ(socket_ReadSetMember(1), s);
    const std::string sock = std::to_string(s);
    EXPECT_EQ(log_->Messages(),
              (std::vector<std::string>{
                  "SOCKET_Receive Entry", "SOCKET_Receive es server", "SOCKET_Receive accept OK Socket=[" + sock + "]",
                  "SOCKET_Receive Nueva conexion desde el cliente [127.0.0.1] en el socket [" + sock + "] ClientId=[1]",
                  "nueva funcionalidad"}));

    // The accepted connection carries data both ways.
    ASSERT_EQ(PLAT_SockSend(client.s, "hi", 2), 2);
    ASSERT_EQ(SOCKET_Receive(id, buf, sizeof buf, &len), 0);
    EXPECT_EQ(std::string(buf, 2), "hi");
    len = 3;
    EXPECT_EQ(SOCKET_Send(id, "yes", &len), 0);

    SOCKET_Close(id, 2);
    EXPECT_EQ(socket_ReadSetCount(), 1u);
    SOCKET_Close(server, 2);
    client.Close();
    EXPECT_EQ(OpenDescriptors(), fdsAtStart_);
}

TEST_F(AcceptTest, BarredPeerIsAcceptedLoggedAndRefused)
{
    socket_SetBarredPeer("127.0.0.2");
    const int server = OpenLoopbackServer();
    ASSERT_EQ(server, 0);
    const int port = SOCKET_LocalPort(server);
    {
        RawClient barred(port, "127.0.0.2");
        ASSERT_NE(barred.s, PLAT_SOCK_BAD);
        log_->Clear();
        char buf[16];
        int len = 99;
        EXPECT_EQ(SOCKET_Receive(server, buf, sizeof buf, &len), -1);
        EXPECT_EQ(len, 0);
        EXPECT_EQ(socket_SlotSocket(1), -1);
        EXPECT_EQ(socket_ReadSetCount(), 1u);
        const auto messages = log_->Messages();
        ASSERT_EQ(messages.size(), 6u);
        EXPECT_EQ(messages[3].find("SOCKET_Receive Nueva conexion desde el cliente [127.0.0.2]"), 0u);
        EXPECT_EQ(messages[5], "conexion clandestina");
        EXPECT_EQ(PLAT_SockRecv(barred.s, buf, sizeof buf), 0);   // closed on our side
    }
    EXPECT_EQ(OpenDescriptors(), fdsAtStart_ + 1);   // only the listener

    RawClient welcome(port, "127.0.0.1");
    char buf[4];
    int len = 0;
    const int id = SOCKET_Receive(server, buf, sizeof buf, &len);
    EXPECT_EQ(id, 1);
    SOCKET_Close(id, 2);
    SOCKET_Close(server, 2);
}

TEST_F(AcceptTest, FullTableClosesTheAcceptedSocket)
{
    const int server = OpenLoopbackServer();
    ASSERT_EQ(server, 0);
    while (HANDLE_Get() != -1) {
    }
    RawClient client(SOCKET_LocalPort(server));
    ASSERT_NE(client.s, PLAT_SOCK_BAD);
    log_->Clear();
    char buf[4];
    int len = 42;
    EXPECT_EQ(SOCKET_Receive(server, buf, sizeof buf, &len), -1);
    EXPECT_EQ(len, 42);
    EXPECT_TRUE(log_->Has("SOCKET_Receive HANDLE_Get()"));
    EXPECT_FALSE(log_->Has("nueva funcionalidad"));
    EXPECT_EQ(socket_ReadSetCount(), 1u);
    EXPECT_EQ(PLAT_SockRecv(client.s, buf, sizeof buf), 0);
    client.Close();
    SOCKET_Close(server, 2);
    EXPECT_EQ(OpenDescriptors(), fdsAtStart_);
}

// A daemon may be started with standard input closed. Its sockets must not
// take descriptor 0, which the table reads as "taken, not yet filled" (sends
// would fail and the close would leak it).
TEST_F(AcceptTest, ClosedStandardInputIsNotTakenBySockets)
{
    std::fclose(stdin);   // descriptor 0 is free from here on
    const int server = OpenLoopbackServer();
    ASSERT_NE(server, -1);
    EXPECT_GT(socket_SlotSocket(server), 2);
    RawClient client(SOCKET_LocalPort(server));
    ASSERT_NE(client.s, PLAT_SOCK_BAD);
    EXPECT_GT(client.s, 2);
    char buf[4];
    int len = 0;
    const int id = SOCKET_Receive(server, buf, sizeof buf, &len);
    ASSERT_NE(id, -1);
    EXPECT_GT(socket_SlotSocket(id), 2);
    len = 2;
    EXPECT_EQ(SOCKET_Send(id, "ok", &len), 0);
    EXPECT_EQ(PLAT_SockRecv(client.s, buf, sizeof buf), 2);
    SOCKET_Close(id, 2);
    SOCKET_Close(server, 2);
    client.Close();
    EXPECT_EQ(OpenDescriptors(), fdsAtStart_ - 1);   // nothing left behind
    std::FILE* refill = std::fopen("/dev/null", "r");   // takes descriptor 0 again
    EXPECT_NE(refill, nullptr);
}

}  // namespace
}  // namespace sockettest
