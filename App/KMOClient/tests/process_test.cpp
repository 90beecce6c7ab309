// The main loop, the road of one request, and the heartbeat.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <string>
#include <thread>

#include "client_test_util.h"
#include "kmoclient_internal.h"
#include "plat_proc.h"

namespace {

using clienttest::ClientTest;
using clienttest::FakeGateway;
using clienttest::PacketText;
using clienttest::ReadFile;
using clienttest::WriteFile;
namespace fs = std::filesystem;

class ProcessTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        SOCKET_Init("T");
        OpenLog();
        std::strcpy(Name, "CLIX");
        std::strcpy(HostGateway, "127.0.0.1");
        PortGateway = 1;   // nothing listens there
        WaitTimeout = 20;
    }
    void TearDown() override
    {
        PLAT_ClearStopSignal();
        ClientTest::TearDown();
    }
    void UseTerminal(const char* name)
    {
        std::strcpy(Terminals[0], name);
        TerminalCount = 1;
    }
};

const std::string kZero51(51, '0');
const std::string kOne51 = std::string(44, '0') + "1234567";

TEST_F(ProcessTest, StopFileEndsTheLoopBeforeAnyTerminalIsServed)
{
    WriteFile(Root() / "in.txt", "|G99=000020|");
    WriteFile(Root() / "KMOCLIENTSTOP.tmp", "");
    EXPECT_EQ(KMOClient_Process(), 0);
    EXPECT_FALSE(fs::exists(Root() / "KMOCLIENTSTOP.tmp"));
    EXPECT_TRUE(fs::exists(Root() / "in.txt"));
    const auto log = LogText();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "INFO\tKMOClient_Process Entry");
    EXPECT_EQ(log[1], "WARNING\tKMOClient_Process encontro archivo de stop. Saliendo...");
    EXPECT_EQ(log[2], "DEBUG\tKMOClient_Process Exit");
}

TEST_F(ProcessTest, StopSignalEndsEitherPauseWithStatusZero)
{
    ASSERT_EQ(PLAT_InstallStopSignals(), 0);
    WaitTimeout = 600000;
    for (std::uint16_t mode : {0, 1}) {
        WaitMode = mode;
        std::thread stopper([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            PLAT_RaiseStop(SIGTERM);
        });
        EXPECT_EQ(KMOClient_Process(), 0);   // would hang for ten minutes otherwise
        stopper.join();
        PLAT_ClearStopSignal();
        client_PauseEnd();
    }
    EXPECT_TRUE(Logged("WARNING\tKMOClient_Process recibio la se\xF1" "al 15 (SIGTERM). Saliendo..."));
    EXPECT_TRUE(Logged("DEBUG\tKMOClient_Process Exit"));
    // A stop asked for before the loop starts is not lost either.
    PLAT_RaiseStop(SIGINT);
    EXPECT_EQ(KMOClient_Process(), 0);
    EXPECT_TRUE(Logged("(SIGINT)"));
}

TEST_F(ProcessTest, NewRequestEndsAWatchedPause)
{
    WaitMode = 1;
    WaitTimeout = 600000;
    UseTerminal("t1");
    std::thread terminal([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        WriteFile(Root() / "KMOCLIENTSTOP.tmp", "");
    });
    EXPECT_EQ(KMOClient_Process(), 0);   // the stop file ended the pause
    terminal.join();
    client_PauseEnd();
}

TEST_F(ProcessTest, HeartbeatCheckOnlyWhilePreauthorisationsArePending)
{
    HeartbeatPeriod = -1;
    WriteFile(Root() / "KMOCLIENTSTOP.tmp", "");
    EXPECT_EQ(KMOClient_Process(), 0);
    EXPECT_FALSE(Logged("transcurrieron"));

    WriteFile("kmoautoresp.txt", "|G99=000020|G52=G20260000001|\n");
    WriteFile(Root() / "KMOCLIENTSTOP.tmp", "");
    EXPECT_EQ(KMOClient_Process(), 0);
    EXPECT_TRUE(Logged("DEBUG\tKMOClient_Process transcurrieron 0 segundos"));
    EXPECT_FALSE(Logged("enviando"));
}

// The gateway is away: the failed heartbeat is logged, the pass goes on and the
// terminal is answered locally; later passes do not try again within 30 s.
TEST_F(ProcessTest, FailedHeartbeatIsLoggedAndThePassGoesOn)
{
    WriteFile("kmoautoresp.txt", "|G99=000020|\n");
    UseTerminal("t1");
    WriteFile(Root() / "t1in.txt", "|G01=9|G04=8|G99=000020|");
    std::thread operator_([this] {
        for (int i = 0; i < 1000 && !fs::exists(Root() / "t1out.txt"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));   // a few more passes
        WriteFile(Root() / "KMOCLIENTSTOP.tmp", "");
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(KMOClient_Process(), 0);
    operator_.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Eviando se\xF1" "al de vida desde el client\n");
    EXPECT_NE(ReadFile(Root() / "t1out.txt").find("F50=ND"), std::string::npos);
    const auto log = LogText();
    EXPECT_EQ(std::count(log.begin(), log.end(), "ERROR\tNo se pudo enviar mensaje de vida "), 1);
    EXPECT_TRUE(Logged("ERROR\tKMOClient_MensajeDeVida conectandose al gateway en [127.0.0.1:1]"));
    EXPECT_EQ(log.back(), "DEBUG\tKMOClient_Process Exit");
}

TEST_F(ProcessTest, HeartbeatPacketCarriesFarmCodeAndItsOwnName)
{
    FakeGateway gw({"-", "-"});
    PortGateway = gw.Port();
    std::strcpy(FarmCode, "1234");
    EXPECT_EQ(KMOClient_EnviarMensaje_de_vida(), 0);
    FarmCode[0] = '\0';
    EXPECT_EQ(KMOClient_EnviarMensaje_de_vida(), 0);
    const auto packets = gw.Packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], std::string("\0\0\0\x19\0\0CLI1|G01=1234|G81=0001|", 29));
    EXPECT_EQ(packets[1], std::string("\0\0\0\x15\0\0CLI1|G01=|G81=0001|", 25));
    EXPECT_STREQ(Name, "CLIX");   // requests keep the configured name
}

TEST_F(ProcessTest, SuccessfulHeartbeatForwardsThePendingRecords)
{
    FakeGateway gw({"-", "|F50=00|F51=OK|"});
    PortGateway = gw.Port();
    WriteFile("kmoautoresp.txt", "|G01=1|G99=000021|G52=G20260000001|\n");
    WriteFile(Root() / "KMOCLIENTSTOP.tmp", "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(KMOClient_Process(), 0);
    testing::internal::GetCapturedStdout();
    const auto packets = gw.Packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(PacketText(packets[1]), "|G01=1|G52=G20260000001|G99=000020|");
    EXPECT_FALSE(fs::exists("kmoautoresp.txt"));   // nothing pending: heartbeats stop
}

TEST_F(ProcessTest, RequestIsRewrittenSentAndTheReplyWritten)
{
    FakeGateway gw({"|F50=00|F52=REF000000001|"});
    PortGateway = gw.Port();
    UseTerminal("t1");
    WriteFile(Root() / "t1in.txt", "|G01=123|G04=55|G06=" + kZero51 + kOne51 + "|G99=000020|\r\n\r\n");
    std::time_t timer = 0;
    EXPECT_EQ(client_ServeTerminal(0, &timer), Leftover::None);
    EXPECT_NE(timer, 0);
    EXPECT_FALSE(fs::exists(Root() / "t1in.txt"));
    const auto packets = gw.Packets();
    ASSERT_EQ(packets.size(), 1u);
    const std::string text = "|G01=123|G04=55|G99=000020|G06=" + kOne51 + "|G41=t1|";
    EXPECT_EQ(packets[0].substr(4, 6), std::string("\0\x01" "CLIX", 6));
    EXPECT_EQ(PacketText(packets[0]), text);
    EXPECT_EQ(ReadFile(Root() / "t1out.txt"), "|F50=00|F52=REF000000001|");
    EXPECT_TRUE(Logged("INFO\tKMOClient_Process Envio hacia el Gateway:[" + text + "]"));
    EXPECT_TRUE(Logged("INFO\tHubo una validacion, se reinicializa timer de vida"));
    EXPECT_TRUE(Logged("DEBUG\tKMOClient_Process tardo "));
}

TEST_F(ProcessTest, RequestWithoutTroquelsSendsAnEmptyG06)
{
    FakeGateway gw({"|F52=1|"});
    PortGateway = gw.Port();
    UseTerminal("");
    WriteFile(Root() / "in.txt", "|G99=000010|");
    std::time_t timer = 0;
    client_ServeTerminal(0, &timer);
    const auto packets = gw.Packets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0][5], '\x03');
    EXPECT_EQ(PacketText(packets[0]), "|G99=000010|G06=|G41=|");
}

TEST_F(ProcessTest, ReplyWithoutF52IsAnsweredLocally)
{
    FakeGateway gw({"|F50=00|"});
    PortGateway = gw.Port();
    UseTerminal("t1");
    WriteFile(Root() / "t1in.txt", "|G01=9|G04=8|G99=000020|");
    std::time_t timer = 0;
    client_ServeTerminal(0, &timer);
    gw.Packets();
    EXPECT_NE(timer, 0);   // the gateway did answer
    EXPECT_NE(ReadFile(Root() / "t1out.txt").find("RECETA PRE-AUTORIZADA"), std::string::npos);
    EXPECT_NE(ReadFile("kmoautoresp.txt").find("G52=G"), std::string::npos);
    EXPECT_TRUE(Logged("ERROR\tKMOClient_Process no existe campo F52 en el mensaje de respuesta"));
}

TEST_F(ProcessTest, RefusedRequestsGetALocalReplyAndNeverReachTheGateway)
{
    UseTerminal("t1");
    std::time_t timer = 0;

    WriteFile(Root() / "t1in.txt", "|G99=000030|");
    client_ServeTerminal(0, &timer);
    EXPECT_NE(ReadFile(Root() / "t1out.txt").find("RECETA PRE-AUTORIZADA"), std::string::npos);
    EXPECT_TRUE(Logged("ERROR\tKMOClient_Process Tipo de transaccion invalido"));

    WriteFile(Root() / "t1in.txt", "|G99=0000201|");   // a longer code is no code
    client_ServeTerminal(0, &timer);
    const auto log = LogText();
    EXPECT_EQ(std::count(log.begin(), log.end(), "ERROR\tKMOClient_Process Tipo de transaccion invalido"), 2);

    WriteFile(Root() / "t1in.txt", "|G99=000020|G06=" + std::string(100, '1') + "|");
    client_ServeTerminal(0, &timer);
    EXPECT_NE(ReadFile(Root() / "t1out.txt").find("Formato de Troquel invalido"), std::string::npos);

    WriteFile(Root() / "t1in.txt", "|G99=000020|G06=" + kOne51 + kOne51 + kOne51 + "|");
    client_ServeTerminal(0, &timer);
    EXPECT_NE(ReadFile(Root() / "t1out.txt").find("N\xFA" "mero de Troqueles invalido"), std::string::npos);
    EXPECT_TRUE(Logged("ERROR\tKMOClient_Process N\xFA" "mero de Troqueles invalido"));
    EXPECT_EQ(timer, 0);
    EXPECT_FALSE(fs::exists(Root() / "t1in.txt"));
}

TEST_F(ProcessTest, RequestThatWouldNotFitOnceRewrittenIsAnsweredLocally)
{
    UseTerminal(std::string(56, 'z').c_str());
    const std::string padding(1024 - 30, 'p');
    WriteFile(Root() / (std::string(56, 'z') + "in.txt"), "|G99=000020|G10=" + padding + "|");
    std::time_t timer = 0;
    client_ServeTerminal(0, &timer);
    EXPECT_TRUE(Logged("ERROR\tKMOClient_Process KMO_MakePacket"));
    EXPECT_TRUE(fs::exists(Root() / (std::string(56, 'z') + "out.txt")));
    // The recorded request is the one that came, not a half-edited one.
    EXPECT_NE(ReadFile("kmoautoresp.txt").find(padding), std::string::npos);
}

TEST_F(ProcessTest, UnreachableGatewayIsAnsweredLocallyAfterTheProbes)
{
    UseTerminal("t1");
    WriteFile(Root() / "t1in.txt", "|G01=1|G99=000020|");
    std::time_t timer = 0;
    client_ServeTerminal(0, &timer);
    EXPECT_EQ(timer, 0);
    EXPECT_NE(ReadFile(Root() / "t1out.txt").find("RECETA PRE-AUTORIZADA"), std::string::npos);
    const auto log = LogText();
    std::size_t probe = log.size(), failure = log.size();
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (probe == log.size() && log[i].find("SOCKET_TestConnection Entry") != std::string::npos) {
            probe = i;
        }
        if (log[i] == "ERROR\tKMOClient_Process conectandose al gateway en [127.0.0.1:1]") {
            failure = i;
        }
    }
    EXPECT_LT(probe, failure);
}

// The probes are the test's, never the build's: no test may reach a host
// outside this machine. They are tried in order up to the first that answers.
TEST_F(ProcessTest, ConnectivityProbesComeFromTheTestAndStopAtTheFirstAnswer)
{
    FakeGateway answering({"close"});
    const std::string port = std::to_string(answering.Port());
    const std::string list = "127.0.0.1:1;127.0.0.1:" + port + ";127.0.0.2:1";
    client_SetProbeHosts(list.c_str());
    EXPECT_EQ(client_TestConnectivity(), 1);
    client_SetProbeHosts(clienttest::kRefusedProbes);
    EXPECT_EQ(client_TestConnectivity(), 0);
    const auto log = LogText();
    int probes = 0;
    for (const std::string& line : log) {
        if (line.find("SOCKET_TestConnection Entry TestHost=[") != std::string::npos) {
            ++probes;
            EXPECT_NE(line.find("TestHost=[127.0.0.1:"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(probes, 5) << "two up to the answer, then all three refused";
}

}  // namespace
