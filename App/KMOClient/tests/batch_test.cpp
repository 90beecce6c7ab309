// Forwarding of the pre-authorised records in kmoautoresp.txt.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "client_test_util.h"

namespace {

using clienttest::ClientTest;
using clienttest::FakeGateway;
using clienttest::PacketText;
using clienttest::ReadFile;
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
    // The record files hold LF line ends on every platform.
    EXPECT_EQ(ReadFile("kmoautorespvalid.txt"), kAccept + "\n|F51=sin codigo|\n" + kAccept + "\n");
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
    EXPECT_TRUE(Logged("INFO\tKMOClient_EnviarRecetasPreautorizadas envio 5 recetas y sale"));
    EXPECT_EQ(ReadFile("kmoautoresp.txt"), Rec(6) + "\n" + Rec(7) + "\n");
    EXPECT_FALSE(fs::exists("kmoautoresp.pos"));
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

// Refused, of an unknown type, too long for a packet: each is set aside whole
// (its CR LF becomes LF) and the records behind it are forwarded.
TEST_F(BatchTest, RecordsThatCannotGoAreSetAsideAndTheQueueGoesOn)
{
    FakeGateway gw({kAccept, kRefuse, kAccept});
    PortGateway = gw.Port();
    const std::string hugeRec = "|G99=000020|G10=" + std::string(5000, 'y') + "|";
    WriteFile("kmoautoresp.txt", Rec(1) + "\n" + Rec(2, "000030") + "\r\n" + Rec(3) + "\n" + hugeRec + "\n" +
                                     Rec(4) + "\n");
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), 0);
    EXPECT_EQ(Texts(gw), (std::vector<std::string>{Rec(1), Rec(3), Rec(4)}));
    EXPECT_EQ(ReadFile("kmoautoresprechazadas.txt"), Rec(2, "000030") + "\n" + Rec(3) + "\n" + hugeRec + "\n");
    EXPECT_EQ(ReadFile("kmoautorespvalid.txt"), kAccept + "\n" + kAccept + "\n");
    EXPECT_FALSE(fs::exists("kmoautoresp.txt"));
    EXPECT_TRUE(Logged("ERROR\tKMOClient_EnviarRecetasPreautorizadas Tipo de transaccion invalido"));
    EXPECT_TRUE(Logged("ERROR\tKMOClient_EnviarRecetasPreautorizadas dio error en la validacion"));
    EXPECT_TRUE(Logged("ERROR\tKMOClient_EnviarRecetasPreautorizadas receta rechazada por el gateway:[" + kRefuse + "]"));
    EXPECT_TRUE(Logged("ERROR\tKMOClient_EnviarRecetasPreautorizadas KMO_MakePacket"));
}

// FNV-1a 64 of a text, as the progress mark records it.
std::string Mark(const std::string& prefix)
{
    std::uint64_t h = 14695981039346656037ULL;
    for (const char c : prefix) {
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    char line[64];
    std::snprintf(line, sizeof line, "%zu %016llx\n", prefix.size(), static_cast<unsigned long long>(h));
    return line;
}

// A call that died after two records left its mark: the next call starts at
// the third. A mark that does not fit the file (rewritten since, or cut short
// by the crash) is ignored and nothing is skipped.
TEST_F(BatchTest, ProgressMarkIsHonouredOnlyWhileItFitsTheFile)
{
    const std::string file = Rec(1) + "\n" + Rec(2) + "\n" + Rec(3) + "\n";
    const std::string two = Rec(1) + "\n" + Rec(2) + "\n";
    struct Case {
        std::string mark;
        std::vector<std::string> sent;
    };
    for (const Case& c : {Case{Mark(Rec(1) + "\n") + Mark(two), {Rec(3)}},
                          Case{Mark(two) + "7 00", {Rec(3)}},                  // last line cut short
                          Case{Mark(Rec(9) + "\n" + Rec(2) + "\n"), {Rec(1), Rec(2), Rec(3)}},
                          Case{Mark(file + Rec(4) + "\n"), {Rec(1), Rec(2), Rec(3)}},
                          Case{"garbage\n", {Rec(1), Rec(2), Rec(3)}}}) {
        SCOPED_TRACE(c.mark);
        FakeGateway gw(std::vector<std::string>(c.sent.size(), kAccept));
        PortGateway = gw.Port();
        WriteFile("kmoautoresp.txt", file);
        WriteFile("kmoautoresp.pos", c.mark);
        EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), 0);
        EXPECT_EQ(Texts(gw), c.sent);
        EXPECT_FALSE(fs::exists("kmoautoresp.txt"));
        EXPECT_FALSE(fs::exists("kmoautoresp.pos"));
    }
}

// A call that stops at a failed exchange rewrites the file from the failed
// record on, with LF line ends only, and leaves no mark behind.
TEST_F(BatchTest, StoppedCallRewritesTheRestWithPlainLineEnds)
{
    FakeGateway gw({kAccept, "close"});
    PortGateway = gw.Port();
    WriteFile("kmoautoresp.txt", Rec(1) + "\r\n" + Rec(2) + "\r\n\r\n" + Rec(3) + "\r\r\n" + Rec(4));
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), -1);
    gw.Packets();
    EXPECT_EQ(ReadFile("kmoautoresp.txt"), Rec(2) + "\n" + Rec(3) + "\n" + Rec(4) + "\n");
    EXPECT_FALSE(fs::exists("kmoautoresp.pos"));
}

TEST_F(BatchTest, ReplyWithoutTextIsTriedAgainLater)
{
    FakeGateway gw({""});
    PortGateway = gw.Port();
    WriteFile("kmoautoresp.txt", Rec(1));
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), -1);
    gw.Packets();
    EXPECT_EQ(ReadFile("kmoautoresp.txt"), Rec(1));
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
    EXPECT_EQ(ReadFile("kmoautoresp.txt"), file);

    FakeGateway gw({"close"});
    PortGateway = gw.Port();
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), -1);
    gw.Packets();
    EXPECT_TRUE(Logged("ERROR\tKMOClient_EnviarRecetasPreautorizadas SOCKET_Receive"));
    EXPECT_EQ(ReadFile("kmoautoresp.txt"), file);
}

// A record may be longer than a request (a full request plus its G52 stamp):
// it goes out whole.
TEST_F(BatchTest, LongRecordsAreSentWhole)
{
    FakeGateway gw({kAccept, kAccept});
    PortGateway = gw.Port();
    const std::string longRec = "|G99=000020|G10=" + std::string(1500, 'x') + "|";
    WriteFile("kmoautoresp.txt", Rec(1) + "\n" + longRec + "\n");
    EXPECT_EQ(KMOClient_EnviarRecetasPreautorizadas(), 0);
    EXPECT_EQ(Texts(gw), (std::vector<std::string>{Rec(1), longRec}));
}

}  // namespace
