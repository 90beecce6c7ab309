// The heartbeat while pre-authorised records wait in kmoautoresp.txt.
#include "e2e_fixture.h"

namespace e2e {
namespace {

class HeartbeatTest : public E2ETest {
protected:
    const std::string record = "|G01=1234|G04=5678|G08=90|G99=000020|G06=|G41=caja1|G52=G20250000007|";

    std::vector<std::string> Args(std::vector<std::string> extra)
    {
        std::vector<std::string> a = ClientArgs();
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
};

TEST_F(HeartbeatTest, SentWithTheFarmCodeAndAlwaysNamedCLI1)
{
    ASSERT_TRUE(WriteFile(sb.path("kmoautoresp.txt"), record + "\n"));
    StartGateway();
    StartClient(Args({"-p", "0", "-F", "1234", "-n", "CLI2"}));
    ASSERT_TRUE(gw.WaitPackets(2));
    ASSERT_EQ(client.StopWithFile(), 0);

    const std::vector<Packet> packets = gw.Packets();
    ASSERT_GE(packets.size(), 2u);
    EXPECT_EQ(packets[0].raw, PacketBytes(0, "CLI1", "|G01=1234|G81=0001|"));
    EXPECT_EQ(packets[0].raw.size(), 29u);
    EXPECT_EQ(packets[1].text, record) << "the waiting record follows the heartbeat";
    EXPECT_NE(client.Stdout().find("Eviando se\xF1" "al de vida desde el client\n"), std::string::npos)
        << client.Stdout();
    EXPECT_EQ(CheckOrder(Log(), {"KMOClient_Process transcurrieron * segundos",
                                 "KMOClient_Process enviando se\xF1" "al de vida"}),
              "");
}

// A pass looks at the heartbeat before the stop file, and serves no terminal
// once it has found the stop file.
TEST_F(HeartbeatTest, ComesBeforeTheStopFileOfTheSamePass)
{
    ASSERT_TRUE(WriteFile(sb.path("kmoautoresp.txt"), record + "\n"));
    ASSERT_TRUE(DropFile(sb.rootPath("KMOCLIENTSTOP.tmp"), ""));
    Drop("caja1", Req("000020"));
    StartGateway();
    StartClient(Args({"-p", "0"}));
    EXPECT_EQ(client.WaitExit(), 0);
    const std::vector<Packet> packets = gw.Packets();
    ASSERT_EQ(packets.size(), 2u) << "the heartbeat and the waiting record, not the request";
    EXPECT_EQ(packets[0].raw, PacketBytes(0, "CLI1", "|G01=|G81=0001|"));
    EXPECT_EQ(packets[1].text, record);
    EXPECT_TRUE(Exists(sb.rootPath("caja1in.txt")));
}

TEST_F(HeartbeatTest, SwitchedOffOnlyCountsTheTime)
{
    ASSERT_TRUE(WriteFile(sb.path("kmoautoresp.txt"), record + "\n"));
    StartGateway();
    StartClient(Args({"-p", "-1"}));
    EXPECT_TRUE(WaitLog("KMOClient_Process transcurrieron * segundos", 3));
    ASSERT_EQ(client.StopWithFile(), 0);
    EXPECT_TRUE(gw.Packets().empty());
    EXPECT_EQ(client.Stdout().find("Eviando"), std::string::npos);
    EXPECT_EQ(FileText("kmoautoresp.txt"), record + "\n");
    EXPECT_EQ(CountRecords(Log(), "KMOClient_Process enviando*"), 0);
}

TEST_F(HeartbeatTest, GatewayDownEndsTheClientWithFailure)
{
    ASSERT_TRUE(WriteFile(sb.path("kmoautoresp.txt"), record + "\n"));
    UseDeadGateway();
    StartClient(Args({"-p", "0"}));
    EXPECT_EQ(client.WaitExit(), kExitMinusOne);
    EXPECT_EQ(FileText("kmoautoresp.txt"), record + "\n") << "the waiting records are kept";
    const std::vector<LogRecord> log = Log();
    EXPECT_EQ(CheckOrder(log, {"KMOClient_Process enviando se\xF1" "al de vida",
                               "KMOClient_MensajeDeVida conectandose al gateway en [" + gwAddress + "]",
                               "No se pudo enviar mensaje de vida ", "KMOClient_Exit Entry"}),
              "");
    EXPECT_EQ(CountRecords(log, "SOCKET_TestConnection*"), 0) << "a failed heartbeat does not probe";
    const int fail = FindRecord(log, "No se pudo enviar mensaje de vida ");
    ASSERT_GE(fail, 0);
    EXPECT_EQ(log[fail].level, "ERROR");
}

}  // namespace
}  // namespace e2e
