// Forwarding of the pre-authorised records after each heartbeat, through the
// real loop and kmogateway.
#include "e2e_fixture.h"

namespace e2e {
namespace {

// A record of kmoautoresp.txt, as a local reply leaves it.
std::string Rec(std::string_view g99, int n)
{
    return "|G01=1234|G04=5678|G08=90|G99=" + std::string(g99) + "|G06=|G41=caja1|G52=" + AuthNumber('G', n) + "|";
}

// The record as it is forwarded with its type rewritten: G99 moves to the end.
std::string Rewritten(std::string_view g99, int n)
{
    return "|G01=1234|G04=5678|G08=90|G06=|G41=caja1|G52=" + AuthNumber('G', n) + "|G99=" + std::string(g99) + "|";
}

const std::string kBeat = PacketBytes(0, "CLI1", "|G01=|G81=0001|");

class ForwardTest : public E2ETest {
protected:
    void WriteRecords(const std::vector<std::string>& recs)
    {
        std::string all;
        for (const std::string& r : recs)
            all += r + "\n";
        ASSERT_TRUE(WriteFile(sb.path("kmoautoresp.txt"), all));
    }

    void StartForwarding()
    {
        auto a = ClientArgs();
        a.insert(a.end(), {"-p", "0"});
        StartClient(a);
    }
};

TEST_F(ForwardTest, RecordsFollowTheHeartbeatWithTheirTypesRewritten)
{
    WriteRecords({Rec("000020", 1), Rec("000021", 2), Rec("000011", 3)});
    StartGateway();
    StartForwarding();
    EXPECT_TRUE(WaitUntil([&] { return !Exists(sb.path("kmoautoresp.txt")); }))
        << "kmoautoresp.txt stays although every record was accepted";
    ASSERT_EQ(client.StopWithFile(), 0);

    const std::vector<Packet> packets = gw.Packets();
    ASSERT_EQ(packets.size(), 4u) << "one heartbeat, three records, then nothing more";
    EXPECT_EQ(packets[0].raw, kBeat);
    EXPECT_EQ(packets[0].raw.size(), 25u);
    EXPECT_EQ(packets[1].raw, PacketBytes(1, "CLI1", Rec("000020", 1)));
    EXPECT_EQ(packets[2].raw, PacketBytes(1, "CLI1", Rewritten("000020", 2)));
    EXPECT_EQ(packets[3].raw, PacketBytes(3, "CLI1", Rewritten("000010", 3)));
    EXPECT_EQ(FileText("kmoautorespvalid.txt"),
              Approve("caja1", 1) + "\n" + Approve("caja1", 2) + "\n" + Approve("caja1", 3) + "\n");
    EXPECT_EQ(CheckOrder(Log(), {"KMOClient_EnviarRecetasPreautorizadas Envio hacia el Gateway:[" + Rec("000020", 1) + "]",
                                 "KMOClient_EnviarRecetasPreautorizadas Recibio del Gateway:[" + Approve("caja1", 1) + "]"}),
              "");
}

// Five records per call, and calls follow each other while records remain,
// without a heartbeat between them; a kmoautoresp.tmp left by an earlier
// failure must not bring its old lines back.
TEST_F(ForwardTest, SevenRecordsGoInOneDrainWithoutStaleLines)
{
    std::vector<std::string> recs;
    for (int i = 1; i <= 7; ++i)
        recs.push_back(Rec("000020", i));
    WriteRecords(recs);
    ASSERT_TRUE(WriteFile(sb.path("kmoautoresp.tmp"), Rec("000020", 99) + "\n"));
    StartGateway();
    StartForwarding();
    EXPECT_TRUE(WaitUntil([&] { return !Exists(sb.path("kmoautoresp.txt")); }));
    ASSERT_EQ(client.StopWithFile(), 0);

    std::vector<std::string> expected = {kBeat};
    for (int i = 1; i <= 7; ++i)
        expected.push_back(PacketBytes(1, "CLI1", Rec("000020", i)));
    std::vector<std::string> got;
    for (const Packet& p : gw.Packets())
        got.push_back(p.raw);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(SplitLines(FileText("kmoautorespvalid.txt")).size(), 7u);
    EXPECT_EQ(CountRecords(Log(), "KMOClient_EnviarRecetasPreautorizadas envio 5 recetas y sale"), 1);
}

// The gateway accepts the first record and refuses every later one: the
// refused ones and the one of unknown type are set aside, none is sent twice.
TEST_F(ForwardTest, RefusedAndInvalidRecordsAreSetAside)
{
    WriteRecords({Rec("000020", 1), Rec("000030", 2), Rec("000010", 3), Rec("000020", 4)});
    StartGateway({"--policy", "approve,refuse"});
    StartForwarding();
    EXPECT_TRUE(WaitUntil([&] { return !Exists(sb.path("kmoautoresp.txt")); }));
    ASSERT_EQ(client.StopWithFile(), 0);

    const std::vector<Packet> packets = gw.Packets();
    ASSERT_EQ(packets.size(), 4u) << "the heartbeat and records 1, 3 and 4";
    EXPECT_EQ(packets[1].text, Rec("000020", 1));
    EXPECT_EQ(packets[2].raw, PacketBytes(3, "CLI1", Rec("000010", 3)));
    EXPECT_EQ(packets[3].text, Rec("000020", 4));
    EXPECT_EQ(FileText("kmoautoresprechazadas.txt"), Rec("000030", 2) + "\n" + Rec("000010", 3) + "\n" + Rec("000020", 4) + "\n");
    EXPECT_EQ(FileText("kmoautorespvalid.txt"), Approve("caja1", 1) + "\n");
    EXPECT_EQ(CheckOrder(Log(), {"KMOClient_EnviarRecetasPreautorizadas Tipo de transaccion invalido",
                                 "KMOClient_EnviarRecetasPreautorizadas dio error en la validacion",
                                 "KMOClient_EnviarRecetasPreautorizadas receta rechazada por el gateway:[" +
                                     Refuse("caja1", 2) + "]"}),
              "");
}

}  // namespace
}  // namespace e2e
