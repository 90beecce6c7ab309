// Opening and closing connections, in client and server mode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "socket_test_util.h"

namespace sockettest {
namespace {

using OpenTest = SocketTest;

// A port that nobody listens on: bound once by the system's choice, then released.
int FreePort()
{
    RawListener l;
    return l.port;
}

std::string g_askedHost;
std::uint32_t g_fakeAnswer = 0;
int g_fakeCode = 0;

int FakeResolver(const char* host, std::uint32_t* addr)
{
    g_askedHost = host;
    if (g_fakeCode != 0) {
        return g_fakeCode;
    }
    *addr = g_fakeAnswer;
    return 0;
}

TEST_F(OpenTest, ClientModeConnectsAndLogsItsSteps)
{
    RawListener peer;
    ASSERT_GT(peer.port, 0);
    const int fds = OpenDescriptors();
    const std::string text = "localhost:" + std::to_string(peer.port);
    const int id = SOCKET_Open(text.c_str());
    ASSERT_EQ(id, 0);
    EXPECT_GT(socket_SlotSocket(id), 0);
    EXPECT_EQ(socket_SlotIsServer(id), 0);
    EXPECT_EQ(socket_ReadSetCount(), 0u);   // client sockets are not watched
    EXPECT_EQ(log_->Messages(),
              (std::vector<std::string>{"SOCKET_Open Entry", "SOCKET_Open Name=[" + text + "]", "SOCKET_Open Conectado"}));
    for (const LogLine& l : log_->Lines()) {
        EXPECT_EQ(l.level, "INFO");
    }

    const PLAT_Sock s = socket_SlotSocket(id);
    log_->Clear();
    EXPECT_EQ(SOCKET_Close(id, 2), 0);
    EXPECT_EQ(log_->Messages(), (std::vector<std::string>{
                                    "SOCKET_Close cerrando Id=[0] Socket=[" + std::to_string(s) + "]"}));
    EXPECT_EQ(log_->Lines()[0].level, "DEBUG");
    EXPECT_EQ(socket_SlotSocket(id), -1);
    EXPECT_EQ(OpenDescriptors(), fds);
    EXPECT_EQ(SOCKET_Open(text.c_str()), id);   // the same handle id again
    SOCKET_Close(id, 2);
}

TEST_F(OpenTest, ServerModeListensAndRegistersInTheReadSet)
{
    const int port = FreePort();
    const std::string text = std::to_string(port) + ",anything";
    SOCKET_SetListenAddress("127.0.0.1");
    const int id = SOCKET_Open(text.c_str());
    ASSERT_EQ(id, 0);
    EXPECT_EQ(socket_SlotIsServer(id), 1);
    EXPECT_EQ(SOCKET_LocalPort(id), port);
    const PLAT_Sock s = socket_SlotSocket(id);
    ASSERT_EQ(socket_ReadSetCount(), 1u);
    EXPECT_EQ(socket_ReadSetMember(0), s);
    EXPECT_GE(socket_HighestSocket(), s);
    EXPECT_EQ(log_->Messages(),
              (std::vector<std::string>{"SOCKET_Open Entry", "SOCKET_Open Name=[" + text + "]", "",
                                        "SOCKET_Open Esperando conexiones en el port " + std::to_string(port) + " ...",
                                        ""}));

    RawClient client(port);   // it really listens there
    EXPECT_NE(client.s, PLAT_SOCK_BAD);
    client.Close();

    SOCKET_Close(id, 2);
    EXPECT_EQ(socket_ReadSetCount(), 0u);
    EXPECT_EQ(socket_SlotSocket(id), -1);
    EXPECT_EQ(OpenDescriptors(), fdsAtStart_);
}

TEST_F(OpenTest, PortPartIsReadLikeAtoi)
{
    // No digits: port 0, the system picks one; the message shows 0.
    SOCKET_SetListenAddress("127.0.0.1");
    int id = SOCKET_Open("abc");
    ASSERT_NE(id, -1);
    EXPECT_GT(SOCKET_LocalPort(id), 0);
    EXPECT_TRUE(log_->Has("SOCKET_Open Esperando conexiones en el port 0 ..."));
    SOCKET_Close(id, 2);

    // 70000 goes on the wire as 4464, and is shown as read.
    log_->Clear();
    id = SOCKET_Open(" +70000");
    if (id != -1) {   // 4464 may be in use by somebody else on this machine
        EXPECT_EQ(SOCKET_LocalPort(id), 4464);
        EXPECT_TRUE(log_->Has("SOCKET_Open Esperando conexiones en el port 70000 ..."));
        SOCKET_Close(id, 2);
    } else {
        EXPECT_TRUE(log_->Has("SOCKET_Open bind()"));
    }

    // Client side: the comma after the colon ends the port, and a port part
    // without digits connects to port 0, which fails.
    {
        RawListener peer;
        const std::string text = "127.0.0.1:" + std::to_string(peer.port) + ",anything";
        id = SOCKET_Open(text.c_str());
        EXPECT_NE(id, -1);
        SOCKET_Close(id, 2);
        for (const char* bad : {"localhost:", "localhost:abc"}) {
            log_->Clear();
            EXPECT_EQ(SOCKET_Open(bad), -1) << bad;
            EXPECT_TRUE(log_->Has("SOCKET_Open connect()")) << bad;
        }
    }
    EXPECT_EQ(OpenDescriptors(), fdsAtStart_);
}

TEST_F(OpenTest, HostPartEndsAtTheColonOnly)
{
    RawListener peer;
    g_fakeCode = 0;
    g_fakeAnswer = Loopback();
    socket_SetResolver(FakeResolver);
    const std::string text = "a,b:" + std::to_string(peer.port);
    const int id = SOCKET_Open(text.c_str());
    EXPECT_EQ(g_askedHost, "a,b");
    EXPECT_NE(id, -1);
    SOCKET_Close(id, 2);
}

TEST_F(OpenTest, ResolverFailuresLogTheirMessageThenTheHost)
{
    struct Row {
        int code;
        const char* message;
    };
    const Row rows[] = {
        {PLAT_RESOLVE_HOST_NOT_FOUND, "SOCKET_Open Authoritative Answer Host not found."},
        {PLAT_RESOLVE_TRY_AGAIN, "SOCKET_Open Nonauthoritative Host not found, or server failure."},
        {PLAT_RESOLVE_NO_RECOVERY, "SOCKET_Open A nonrecoverable error occurred."},
        {PLAT_RESOLVE_NO_DATA, "SOCKET_Open Valid name, no data record of requested type."},
        {10050, "SOCKET_Open gethostbyname The network subsystem has failed."},
        {PLAT_RESOLVE_OTHER, "SOCKET_Open error de winsock desconocido"},
    };
    socket_SetResolver(FakeResolver);
    for (const Row& row : rows) {
        g_fakeCode = row.code;
        log_->Clear();
        EXPECT_EQ(SOCKET_Open("nohost.invalid:80"), -1);
        const auto lines = log_->Lines();
        ASSERT_EQ(lines.size(), 4u) << row.code;
        EXPECT_EQ(lines[2].message, row.message);
        EXPECT_EQ(lines[2].level, "ERROR");
        EXPECT_EQ(lines[3].message, "SOCKET_Open resolviendo host [nohost.invalid]");
        EXPECT_EQ(lines[3].level, "ERROR");
    }
    EXPECT_EQ(OpenDescriptors(), fdsAtStart_);
    EXPECT_EQ(HANDLE_Get(), 0);   // no slot was taken
}

TEST_F(OpenTest, OpeningBeforeStartUpGivesTheNotStartedMessage)
{
    SOCKET_Exit();
    log_->Clear();
    EXPECT_EQ(SOCKET_Open("localhost:80"), -1);
    EXPECT_TRUE(log_->Has(
        "SOCKET_Open gethostbyname A successful WSAStartup call must occur before using this function."));
    EXPECT_TRUE(log_->Has("SOCKET_Open resolviendo host [localhost]"));
    EXPECT_EQ(SOCKET_Open("0"), -1);
    EXPECT_TRUE(log_->Has("SOCKET_Open socket()"));
    EXPECT_EQ(OpenDescriptors(), fdsAtStart_);
    ASSERT_EQ(SOCKET_Init(nullptr), 0);
}

TEST_F(OpenTest, NullEmptyAndOverlongTextsAreRefused)
{
    EXPECT_EQ(SOCKET_Open(nullptr), -1);
    EXPECT_EQ(SOCKET_Open(""), -1);
    EXPECT_EQ(log_->Messages(), (std::vector<std::string>{"SOCKET_Open Entry", "SOCKET_Open Name=[(null)]",
                                                          "SOCKET_Open Entry", "SOCKET_Open Name=[]"}));

    socket_SetResolver(FakeResolver);
    g_askedHost.clear();
    const std::string host63(63, 'h');
    const std::string host64(64, 'h');
    log_->Clear();
    EXPECT_EQ(SOCKET_Open((host64 + ":80").c_str()), -1);
    EXPECT_TRUE(g_askedHost.empty());   // refused before resolving
    const auto lines = log_->Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].level, "ERROR");

    g_fakeCode = PLAT_RESOLVE_HOST_NOT_FOUND;
    EXPECT_EQ(SOCKET_Open((host63 + ":80").c_str()), -1);
    EXPECT_EQ(g_askedHost, host63);   // 63 characters still fit
    EXPECT_EQ(HANDLE_Get(), 0);
}

TEST_F(OpenTest, FullTableClosesTheNewSocketInBothModes)
{
    for (int i = 0; i < SOCKET_TABLE_SIZE; ++i) {
        ASSERT_EQ(HANDLE_Get(), i);
    }
    RawListener peer;
    const int fds = OpenDescriptors();
    EXPECT_EQ(SOCKET_Open(peer.Address().c_str()), -1);
    EXPECT_TRUE(log_->Has("SOCKET_Open HANDLE_Get()"));
    EXPECT_FALSE(log_->Has("SOCKET_Open Conectado"));

    log_->Clear();
    EXPECT_EQ(OpenLoopbackServer(), -1);
    EXPECT_TRUE(log_->Has("SOCKET_Open HANDLE_Get()"));
    EXPECT_EQ(socket_ReadSetCount(), 0u);
    EXPECT_EQ(OpenDescriptors(), fds);
}

TEST_F(OpenTest, ClosingTwiceLeavesTheSlotFreeAndTouchesNoDescriptor)
{
    const int id = OpenLoopbackServer();
    ASSERT_EQ(id, 0);
    SOCKET_Close(id, 2);
    log_->Clear();
    EXPECT_EQ(SOCKET_Close(id, 2), 0);
    EXPECT_EQ(log_->Messages(), (std::vector<std::string>{"SOCKET_Close cerrando Id=[0] Socket=[-1]"}));
    EXPECT_EQ(socket_SlotSocket(id), -1);

    // A slot taken but not yet filled holds 0: closing it must leave
    // descriptor 0 (standard input) alone.
    ASSERT_EQ(HANDLE_Get(), 0);
    const int fds = OpenDescriptors();
    EXPECT_EQ(SOCKET_Close(0, 2), 0);
    EXPECT_EQ(OpenDescriptors(), fds);
    EXPECT_EQ(socket_SlotSocket(0), -1);
}

TEST_F(OpenTest, ListenAddressAndLocalPortExtensions)
{
    EXPECT_EQ(SOCKET_SetListenAddress("127.0.0.300"), -1);
    EXPECT_EQ(SOCKET_SetListenAddress("localhost"), -1);
    EXPECT_EQ(SOCKET_SetListenAddress(nullptr), -1);
    EXPECT_EQ(SOCKET_SetListenAddress("127.0.0.2"), 0);
    const int id = SOCKET_Open("0");
    ASSERT_NE(id, -1);
    const int port = SOCKET_LocalPort(id);
    ASSERT_GT(port, 0);
    RawClient wrong(port);   // 127.0.0.1: nobody listens there
    EXPECT_EQ(wrong.s, PLAT_SOCK_BAD);
    const std::string text = "127.0.0.2:" + std::to_string(port);
    const int client = SOCKET_Open(text.c_str());
    EXPECT_NE(client, -1);
    EXPECT_GT(SOCKET_LocalPort(client), 0);
    SOCKET_Close(client, 2);
    SOCKET_Close(id, 2);
    EXPECT_EQ(SOCKET_LocalPort(id), -1);
    EXPECT_EQ(SOCKET_LocalPort(SOCKET_TABLE_SIZE), -1);
}

}  // namespace
}  // namespace sockettest
