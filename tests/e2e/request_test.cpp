// The road of a request through the real client and kmogateway: what the
// gateway receives, what the terminal gets back, what the log says and which
// counter and record files are left behind.
#include "e2e_fixture.h"

namespace e2e {
namespace {

class RequestTest : public E2ETest {};

TEST_F(RequestTest, ApprovedRequestsServedInTableOrder)
{
    StartGateway();
    // The table order is not the alphabetical one; both wait before the first pass.
    Drop("b", Req("000020", Troquel(11, 51)) + "\r\n");
    Drop("a", Req("000010"));
    StartClient(ClientArgs("b,a"));
    EXPECT_EQ(WaitReply("b").value_or(""), Approve("b", 1));
    EXPECT_EQ(WaitReply("a").value_or(""), Approve("a", 2));
    ASSERT_EQ(client.StopWithFile(), 0);

    const std::vector<Packet> packets = gw.Packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].raw, PacketBytes(1, "CLI1", Sent("000020", Troquel(11, 51), "b")));
    EXPECT_EQ(packets[1].raw, PacketBytes(3, "CLI1", Sent("000010", "", "a")));

    EXPECT_FALSE(Exists(sb.rootPath("bin.txt")));
    EXPECT_FALSE(Exists(sb.rootPath("ain.txt")));
    for (const char* f : {"anio.txt", "nroaut.txt", "kmoautoresp.txt"})
        EXPECT_FALSE(Exists(sb.path(f))) << f << " is only for local replies";

    const std::vector<LogRecord> log = Log();
    EXPECT_EQ(CheckOrder(log, {"KMOClient_Process Envio hacia el Gateway:[" + Sent("000020", Troquel(11, 51), "b") + "]",
                               "KMOClient_Process Recibio del Gateway:[" + Approve("b", 1) + "]",
                               "Hubo una validacion, se reinicializa timer de vida",
                               "KMOClient_Process tardo * segundos en procesar una receta",
                               "KMOClient_Process Envio hacia el Gateway:[" + Sent("000010", "", "a") + "]",
                               "KMOClient_Process Recibio del Gateway:[" + Approve("a", 2) + "]",
                               "KMOClient_Process tardo *"}),
              "");
    const int sent = FindRecord(log, "KMOClient_Process Envio hacia el Gateway:*");
    ASSERT_GT(sent, 0);
    EXPECT_EQ(log[sent - 1].message, "");
    EXPECT_EQ(log[sent].level, "INFO");
    EXPECT_EQ(CountRecords(log, "KMOClient_Process transcurrieron*"), 0) << "no heartbeat check without kmoautoresp.txt";
}

TEST_F(RequestTest, NormalisedRepliesHaveFixedWidthsAndCrLf)
{
    StartGateway();
    Drop("g", Req("000020"));
    Drop("l", Req("000030"));
    StartClient([&] {
        auto a = ClientArgs("g,l");
        a.insert(a.end(), {"-L", "1"});
        return a;
    }());
    const std::string tail = "|F06=" + std::string(100, '0') + "|F99=";
    EXPECT_EQ(WaitReply("g").value_or(""),
              "|F01=0000001234|F04=00000000000000005678|F08=0000000090|F41=g|F50=00|F51=RECETA APROBADA" +
                  std::string(35, ' ') + "|F52=000000000001" + tail + "000000|\r\n");
    EXPECT_EQ(WaitReply("l").value_or(""),
              "|F01=0000001234|F04=00000000000000005678|F08=0000000090|F41=l|F50=ND|F51=RECETA PRE-AUTORIZADA" +
                  std::string(29, ' ') + "|F52=" + AuthNumber('G', 1) + tail + "000031|\r\n");
    EXPECT_EQ(client.StopWithFile(), 0);
}

TEST_F(RequestTest, TroquelRecordsAreCheckedAndCompacted)
{
    StartGateway();
    const std::string kept2 = Troquel(1, 52) + Troquel(3, 52);
    Drop("t1", Req("000020", Troquel(0, 51) + Troquel(22, 51)));               // one empty slot dropped
    Drop("t2", Req("000020", Troquel(1, 52) + Troquel(0, 52) + Troquel(3, 52)));  // 156 = 3 x 52
    Drop("t3", Req("000020", std::string(100, '1')));                          // no record width fits
    Drop("t4", Req("000010", Troquel(1, 53) + Troquel(2, 53) + Troquel(3, 53)));  // one too many
    StartClient(ClientArgs("t1,t2,t3,t4"));
    EXPECT_EQ(WaitReply("t1").value_or(""), Approve("t1", 1));
    EXPECT_EQ(WaitReply("t2").value_or(""), Approve("t2", 2));
    EXPECT_EQ(WaitReply("t3").value_or(""), ErrorReply("t3", "Formato de Troquel invalido", "000021"));
    EXPECT_EQ(WaitReply("t4").value_or(""), ErrorReply("t4", "N\xFA" "mero de Troqueles invalido", "000031"));
    ASSERT_EQ(client.StopWithFile(), 0);

    const std::vector<Packet> packets = gw.Packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].text, Sent("000020", Troquel(22, 51), "t1"));
    EXPECT_EQ(packets[1].text, Sent("000020", kept2, "t2"));
    EXPECT_EQ(CheckOrder(Log(), {"KMOClient_Process Formato de Troquel invalido",
                                 "KMOClient_Process N\xFA" "mero de Troqueles invalido"}),
              "");
    for (const char* f : {"anio.txt", "nroaut.txt", "kmoautoresp.txt"})
        EXPECT_FALSE(Exists(sb.path(f))) << f << ": an error reply issues no number";
}

TEST_F(RequestTest, MaxTroquelesOptionRaisesTheLimit)
{
    StartGateway();
    const std::string three = Troquel(1, 53) + Troquel(2, 53) + Troquel(3, 53);
    Drop("caja1", Req("000020", three));
    StartClient([&] {
        auto a = ClientArgs();
        a.insert(a.end(), {"-c", "3"});
        return a;
    }());
    EXPECT_EQ(WaitReply("caja1").value_or(""), Approve("caja1", 1));
    EXPECT_EQ(client.StopWithFile(), 0);
    ASSERT_EQ(gw.Packets().size(), 1u);
    EXPECT_EQ(gw.Packets()[0].text, Sent("000020", three, "caja1"));
}

TEST_F(RequestTest, InvalidTypeAndEmptyRequestArePreAuthorised)
{
    StartGateway();
    Drop("t1", Req("000030") + "\r\n");
    Drop("t2", "");
    StartClient(ClientArgs("t1,t2"));
    const std::string n1 = AuthNumber('G', 1), n2 = AuthNumber('G', 2);
    EXPECT_EQ(WaitReply("t1").value_or(""), AutoReply("t1", n1, "000031"));
    EXPECT_EQ(WaitReply("t2").value_or(""), "|F01=|F04=|F08=|F41=t2|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=" + n2 +
                                                "|F99=000031|");
    ASSERT_EQ(client.StopWithFile(), 0);

    EXPECT_TRUE(gw.Packets().empty()) << "a request of unknown type is never sent";
    EXPECT_EQ(FileText("anio.txt"), CurrentYear() + "\n");
    EXPECT_EQ(FileText("nroaut.txt"), "2\n");
    EXPECT_EQ(FileText("kmoautoresp.txt"), Req("000030") + "G52=" + n1 + "|\n|G52=" + n2 + "|\n");
    EXPECT_EQ(CheckOrder(Log(), {"KMOClient_GenAutoResponse borrando archivo nroaut.txt, ubicacion erronea",
                                 "KMOClient_Process Tipo de transaccion invalido",
                                 "KMOClient_Process Tipo de transaccion invalido"}),
              "");
}

TEST_F(RequestTest, NumberingContinuesAndRestartsWithTheYear)
{
    StartGateway();
    ASSERT_TRUE(WriteFile(sb.path("anio.txt"), CurrentYear() + "\n"));
    ASSERT_TRUE(WriteFile(sb.path("nroaut.txt"), "41\n"));
    Drop("caja1", Req("000099"));
    StartClient(ClientArgs());
    EXPECT_EQ(TakeReply("caja1").value_or(""), AutoReply("caja1", AuthNumber('G', 42), "000031"));
    ASSERT_EQ(client.StopWithFile(), 0);
    EXPECT_EQ(FileText("nroaut.txt"), "42\n");

    // A stored year other than the current one starts the numbering afresh.
    ASSERT_TRUE(WriteFile(sb.path("anio.txt"), "2001\n"));
    ASSERT_TRUE(WriteFile(sb.path("nroaut.txt"), "500\n"));
    Drop("caja1", Req("000031"));
    StartClient(ClientArgs());
    EXPECT_EQ(TakeReply("caja1").value_or(""), AutoReply("caja1", AuthNumber('G', 1), "000031"));
    ASSERT_EQ(client.StopWithFile(), 0);
    EXPECT_EQ(FileText("anio.txt"), CurrentYear() + "\n");
    EXPECT_EQ(FileText("nroaut.txt"), "1\n");
}

}  // namespace
}  // namespace e2e
