// Forwarding of the pre-authorised records in kmoautoresp.txt.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_test_util.h"

namespace {

using clienttest::ClientTest;
using clienttest::FakeGateway;
using clienttest::PacketText;
using clienttest::ReadFile;
using clienttest::ReadText;
using clienttest::WriteFile;
namespace fs = std::filesystem;

const std::string kAccept = "|F50=00|F51=OK|F52=X1|";
const std::string kRefuse = "|F50=ER|F51=NO|";

std::string Rec(int n, const char* type = "000020")
{
    return "|G01=1|G04=" + std::to_string(n) + "|G99=" + type + "|G52=G2026000000" + std::to_string(n) + "|";
}

class BatchTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        SOCKET_Init("T");
        OpenLog();
        std::strcpy(Name, "CLIX");
        std::strcpy(HostGateway, "127.0.0.1");
        PortGateway = 1;
    }
    std::vector<std::string> Texts(FakeGateway& gw)
    {
        std::vector<std::string> out;
        for (const auto& p : gw.Packets()) {
            out.push_back(PacketText(p));
        }
        return out;
    }
};

TEST_F(BatchTest, MissingOrEmptyFile)
{
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), -1);
    EXPECT_TRUE(Logged("ERROR\tKMOClient_EnviarRecetasPreautorizadas abriendo archivo de recetas preautorizadas para lectura"));
    WriteFile("kmoautoresp.txt", "");
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), 0);
    EXPECT_FALSE(fs::exists("kmoautoresp.txt"));
    EXPECT_TRUE(Logged("DEBUG\tKMOClient_EnviarRecetasPreautorizadas Exit RetCode=[0]"));
}

TEST_F(BatchTest, AllAcceptedRemovesTheRecordsAndKeepsTheReplies)
{
    FakeGateway gw({kAccept, "|F51=sin codigo|", kAccept});
    PortGateway = gw.Port();
    WriteFile("kmoautoresp.txt", Rec(1) + "\n" + Rec(2, "000010") + "\r\n" + Rec(3));   // last without line end
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), 0);
    EXPECT_EQ(Texts(gw), (std::vector<std::string>{Rec(1), Rec(2, "000010"), Rec(3)}));
    EXPECT_EQ(gw.Packets()[1][5], '\x03');
    EXPECT_EQ(ReadText("kmoautorespvalid.txt"), kAccept + "\n|F51=sin codigo|\n" + kAccept + "\n");
    EXPECT_FALSE(fs::exists("kmoautoresp.txt"));
}

TEST_F(BatchTest, FivePerCallAndTheRestStays)
{
    FakeGateway gw({kAccept, kAccept, kAccept, kAccept, kAccept});
    PortGateway = gw.Port();
    std::string file;
    for (int i = 1; i <= 7; ++i) {
        file += Rec(i) + "\n";
    }
    WriteFile("kmoautoresp.txt", file);
    WriteFile("kmoautoresp.tmp", Rec(99) + "\n");   // a leftover must not come back
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), -1);
    EXPECT_EQ(gw.Packets().size(), 5u);
    EXPECT_TRUE(Logged("ERROR\tKMOClient_EnviarRecetasPreautorizadas envio 5 recetas y sale"));
    EXPECT_EQ(ReadText("kmoautoresp.txt"), Rec(6) + "\n" + Rec(7) + "\n");
    EXPECT_FALSE(fs::exists("kmoautoresp.tmp"));
}

TEST_F(BatchTest, ExactlyFiveIsNotStoppedByTheLimit)
{
    FakeGateway gw({kAccept, kAccept, kAccept, kAccept, kAccept});
    PortGateway = gw.Port();
    std::string file;
    for (int i = 1; i <= 5; ++i) {
        file += Rec(i) + "\n";
    }
    WriteFile("kmoautoresp.txt", file);
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), 0);
    EXPECT_FALSE(Logged("envio 5 recetas y sale"));
}

TEST_F(BatchTest, RefusedRecordStaysFirstAndInvalidOnesAreDropped)
{
    FakeGateway gw({kAccept, kRefuse});
    PortGateway = gw.Port();
    WriteFile("kmoautoresp.txt", Rec(1) + "\n" + Rec(2, "000030") + "\n" + Rec(3) + "\n" + Rec(4) + "\n");
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), -1);
    EXPECT_EQ(Texts(gw), (std::vector<std::string>{Rec(1), Rec(3)}));
    EXPECT_TRUE(Logged("ERROR\tKMOClient_EnviarRecetasPreautorizadas Tipo de transaccion invalido"));
    EXPECT_TRUE(Logged("ERROR\tKMOClient_EnviarRecetasPreautorizadas dio error en la validacion"));
    EXPECT_EQ(ReadText("kmoautoresp.txt"), Rec(3) + "\n" + Rec(4) + "\n");
    EXPECT_EQ(ReadText("kmoautorespvalid.txt"), kAccept + "\n");
}

TEST_F(BatchTest, ReplyWithoutTextIsARefusal)
{
    FakeGateway gw({""});
    PortGateway = gw.Port();
    WriteFile("kmoautoresp.txt", Rec(1));
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), -1);
    gw.Packets();
    EXPECT_EQ(ReadText("kmoautoresp.txt"), Rec(1));
    EXPECT_FALSE(fs::exists("kmoautorespvalid.txt"));
}

TEST_F(BatchTest, LocalTypesAreSentAsTheRequestsOwn)
{
    FakeGateway gw({kAccept, kAccept});
    PortGateway = gw.Port();
    WriteFile("kmoautoresp.txt", Rec(1, "000021") + "\r\n" + Rec(2, "000011") + "\n");
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), 0);
    const auto packets = gw.Packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].substr(4, 6), std::string("\0\x01" "CLIX", 6));
    EXPECT_EQ(PacketText(packets[0]), "|G01=1|G04=1|G52=G20260000001|G99=000020|");
    EXPECT_EQ(packets[1][5], '\x03');
    EXPECT_EQ(PacketText(packets[1]), "|G01=1|G04=2|G52=G20260000002|G99=000010|");
}

TEST_F(BatchTest, FailedExchangeKeepsEveryRecord)
{
    const std::string file = Rec(1) + "\n" + Rec(2) + "\n";
    WriteFile("kmoautoresp.txt", file);
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), -1);   // nobody listens
    EXPECT_TRUE(Logged("ERROR\tKMOClient_EnviarRecetasPreautorizadas conectandose al gateway en [127.0.0.1:1]"));
    EXPECT_EQ(ReadText("kmoautoresp.txt"), file);

    FakeGateway gw({"close"});
    PortGateway = gw.Port();
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), -1);
    gw.Packets();
    EXPECT_TRUE(Logged("ERROR\tKMOClient_EnviarRecetasPreautorizadas SOCKET_Receive"));
    EXPECT_EQ(ReadText("kmoautoresp.txt"), file);
}

// A record may be longer than a request (a full request plus its G52 stamp):
// it goes out whole. One longer than a packet can carry is neither split nor
// dropped: it stays first in the file.
TEST_F(BatchTest, LongRecordsAreSentWholeOrKept)
{
    FakeGateway gw({kAccept, kAccept});
    PortGateway = gw.Port();
    const std::string longRec = "|G99=000020|G10=" + std::string(1500, 'x') + "|";
    const std::string hugeRec = "|G99=000020|G10=" + std::string(5000, 'y') + "|";
    WriteFile("kmoautoresp.txt", Rec(1) + "\n" + longRec + "\n" + hugeRec + "\n" + Rec(3) + "\n");
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), -1);
    const auto texts = Texts(gw);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1], longRec);
    EXPECT_TRUE(Logged("ERROR\tKMOClient_EnviarRecetasPreautorizadas KMO_MakePacket"));
    EXPECT_EQ(ReadText("kmoautoresp.txt"), hugeRec + "\n" + Rec(3) + "\n");
}

}  // namespace
