// Hostile input from terminals and from the gateway: each gets one reply, and
// the next ordinary request is still answered correctly. Also the pick-up of
// requests in directory-wait mode.
#include "e2e_fixture.h"

#include <random>

namespace e2e {
namespace {

class RobustnessTest : public E2ETest {};

TEST_F(RobustnessTest, OverLongAndBinaryRequestsDoNotDisturbTheClient)
{
    StartGateway();
    StartClient(ClientArgs());
    std::string longRequest = Req("000020") + "G30=" + std::string(5000, 'x') + "|";
    std::string binary(3000, '\0');
    std::mt19937 rng(7);
    for (char& c : binary)
        c = static_cast<char>(rng());
    binary[10] = '\0';
    binary[2000] = '\x1a';
    const std::string longFields = "|G01=" + std::string(300, '1') + "|G04=" + std::string(300, '4') + "|G08=" +
                                   std::string(300, '8') + "|G99=000030000030000030|";
    const std::string longTroqueles = Req("000020", std::string(318, '7'));   // six records of 53

    int ref = 0;
    for (const std::string& bad : {longRequest, binary, longFields, longTroqueles}) {
        SCOPED_TRACE(bad.substr(0, 40));
        // A request that reaches the gateway takes a reference number there.
        const std::size_t before = gw.Packets().size();
        Drop("caja1", bad);
        const std::optional<std::string> reply = TakeReply("caja1");
        EXPECT_TRUE(reply.has_value()) << "no reply to the bad request";
        ref += static_cast<int>(gw.Packets().size() - before);
        Drop("caja1", Req("000020"));
        EXPECT_EQ(TakeReply("caja1").value_or(""), Approve("caja1", ++ref));
    }
    ASSERT_EQ(client.StopWithFile(), 0);
    for (const Packet& p : gw.Packets())
        EXPECT_LE(p.raw.size(), 4096u);
}

TEST_F(RobustnessTest, LongFieldsInALocalReplyStayInTheirPlaces)
{
    StartGateway();
    StartClient(ClientArgs());
    Drop("caja1", "|G01=" + std::string(300, '1') + "|G04=" + std::string(300, '4') + "|G99=000030|");
    const std::string reply = TakeReply("caja1").value_or("");
    EXPECT_EQ(Field(reply, "F41").value_or("<none>"), "caja1");
    EXPECT_EQ(Field(reply, "F50").value_or("<none>"), "ND");
    EXPECT_EQ(Field(reply, "F51").value_or("<none>"), "RECETA PRE-AUTORIZADA");
    EXPECT_EQ(Field(reply, "F52").value_or("<none>"), AuthNumber('G', 1));
    ASSERT_EQ(client.StopWithFile(), 0);
}

// A packet cut short is a failed receive: the probes run (the first answers)
// and the terminal gets a local reply.
TEST_F(RobustnessTest, GarbageFromTheGatewayIsNoReference)
{
    E2E_REQUIRE_LOOPBACK_PROBES();
    AnswerFirstProbe();
    // Six bytes: shorter than a packet header, no text at all.
    StartGateway({"--policy", "raw,approve", "--raw", "00000003ff00"});
    StartClient(ClientArgs());
    Drop("caja1", Req("000020"));
    EXPECT_EQ(TakeReply("caja1").value_or(""), AutoReply("caja1", AuthNumber('G', 1), "000021"));
    Drop("caja1", Req("000020"));
    EXPECT_EQ(TakeReply("caja1").value_or(""), Approve("caja1", 1));
    ASSERT_EQ(client.StopWithFile(), 0);
    EXPECT_GE(FindRecord(Log(), "KMOClient_Process SOCKET_Receive"), 0);
}

TEST_F(RobustnessTest, OversizedGatewayReplyIsCutSafely)
{
    E2E_REQUIRE_LOOPBACK_PROBES();
    AnswerFirstProbe();
    // A header and 6000 bytes of text, more than the receive buffer holds.
    std::string hex = "00001776" "0001" "47415445";
    for (int i = 0; i < 6000; ++i)
        hex += "41";
    StartGateway({"--policy", "raw,approve", "--raw", hex});
    StartClient(ClientArgs());
    Drop("caja1", Req("000020"));
    EXPECT_EQ(TakeReply("caja1").value_or(""), AutoReply("caja1", AuthNumber('G', 1), "000021"));
    Drop("caja1", Req("000020"));
    EXPECT_EQ(TakeReply("caja1").value_or(""), Approve("caja1", 1));
    ASSERT_EQ(client.StopWithFile(), 0);
}

// A reply that arrives in two parts is put together whole. Afterwards an
// ordinary reply is handled as always.
TEST_F(RobustnessTest, ReplyInTwoPartsThenAnOrdinaryOne)
{
    StartGateway({"--split", "200"});
    StartClient(ClientArgs());
    Drop("caja1", Req("000020"));
    EXPECT_EQ(TakeReply("caja1").value_or(""), Approve("caja1", 1));

    const int port = gw.port();
    StopGateway();
    StartGateway({"--ref-start", "2"}, port);
    Drop("caja1", Req("000020"));
    EXPECT_EQ(TakeReply("caja1").value_or(""), Approve("caja1", 2));
    ASSERT_EQ(client.StopWithFile(), 0);
}

// Waiting for directory changes, a request is picked up long before the pause
// of a minute would end.
TEST_F(RobustnessTest, DirectoryWaitPicksUpARequestDuringALongPause)
{
    StartGateway();
    Drop("caja1", Req("000020"));
    StartClient([&] {
        auto a = ClientArgs();
        a.insert(a.end(), {"-w", "1", "-T", "60000"});
        return a;
    }());
    EXPECT_EQ(TakeReply("caja1").value_or(""), Approve("caja1", 1));   // first pass; the pause follows
    Drop("caja1", Req("000020"));
    EXPECT_EQ(TakeReply("caja1", 10000).value_or(""), Approve("caja1", 2));
    ASSERT_EQ(client.StopWithFile(), 0) << "the stop file ends the wait too";
}

}  // namespace
}  // namespace e2e
