// Requests that the gateway cannot answer, and exchange files that cannot be
// read, written or removed: the client answers locally or logs, and goes on.
#include "e2e_fixture.h"

#include <filesystem>

namespace e2e {
namespace {

class FailureTest : public E2ETest {
protected:
    std::vector<std::string> ProbeRecords(bool firstAnswers)
    {
        std::vector<std::string> seq;
        for (const std::string& h : ProbeHosts()) {
            seq.push_back("SOCKET_TestConnection Entry TestHost=[" + h + "]");
            if (firstAnswers) {
                seq.push_back("SOCKET_TestConnection conectado a [" + h + "] OK");
                seq.push_back("SOCKET_TestConnection Exit Retorna TRUE");
                break;
            }
            seq.push_back("SOCKET_TestConnection conectandose a [" + h + "]");
            seq.push_back("SOCKET_TestConnection Exit Retorna FALSE");
        }
        return seq;
    }

    // Hands the sandbox to "nobody" when the tests run as root, so that
    // permissions bite; the client then runs as "nobody" too.
    bool PrepareUnprivileged()
    {
        if (!os::IsRoot())
            return false;
        EXPECT_TRUE(os::ChownTreeToNobody(sb.dir()));
        return true;
    }
};

TEST_F(FailureTest, GatewayDownWithoutNetworkGivesAnINumberAfterTheProbes)
{
    E2E_REQUIRE_LOOPBACK_PROBES();
    UseDeadGateway();
    RefuseAllProbes();
    Drop("caja1", Req("000020"));
    StartClient(ClientArgs());
    const std::string number = AuthNumber('I', 1);
    EXPECT_EQ(WaitReply("caja1").value_or(""), AutoReply("caja1", number, "000021"));
    ASSERT_EQ(client.StopWithFile(), 0);

    EXPECT_EQ(FileText("kmoautoresp.txt"), Sent("000020", "", "caja1") + "G52=" + number + "|\n");
    EXPECT_EQ(FileText("nroaut.txt"), "1\n");
    std::vector<std::string> order = ProbeRecords(false);
    order.insert(order.end(), {"KMOClient_GenAutoResponse Entry", "KMOClient_GenAutoResponse Exit",
                               "KMOClient_Process conectandose al gateway en [" + gwAddress + "]"});
    const std::vector<LogRecord> log = Log();
    EXPECT_EQ(CheckOrder(log, order), "");
    EXPECT_EQ(CountRecords(log, "SOCKET_TestConnection Entry*"), 3);
}

TEST_F(FailureTest, GatewayDownWithNetworkGivesAGNumber)
{
    E2E_REQUIRE_LOOPBACK_PROBES();
    UseDeadGateway();
    AnswerFirstProbe();
    Drop("caja1", Req("000010"));
    StartClient(ClientArgs());
    EXPECT_EQ(WaitReply("caja1").value_or(""), AutoReply("caja1", AuthNumber('G', 1), "000031"));
    ASSERT_EQ(client.StopWithFile(), 0);

    std::vector<std::string> order = ProbeRecords(true);
    order.insert(order.end(), {"KMOClient_GenAutoResponse Entry",
                               "KMOClient_Process conectandose al gateway en [" + gwAddress + "]"});
    const std::vector<LogRecord> log = Log();
    EXPECT_EQ(CheckOrder(log, order), "");
    EXPECT_EQ(CountRecords(log, "SOCKET_TestConnection Entry*"), 1) << "the probes stop at the first answer";
}

TEST_F(FailureTest, GatewayClosingWithoutReplyIsAFailedReceive)
{
    E2E_REQUIRE_LOOPBACK_PROBES();
    RefuseAllProbes();
    StartGateway({"--policy", "close"});
    Drop("caja1", Req("000020"));
    StartClient(ClientArgs());
    EXPECT_EQ(WaitReply("caja1").value_or(""), AutoReply("caja1", AuthNumber('I', 1), "000021"));
    ASSERT_EQ(client.StopWithFile(), 0);

    ASSERT_EQ(gw.Packets().size(), 1u);
    EXPECT_EQ(gw.Packets()[0].text, Sent("000020", "", "caja1"));
    const std::vector<LogRecord> log = Log();
    EXPECT_EQ(CheckOrder(log, {"KMOClient_Process Envio hacia el Gateway:*", "SOCKET_TestConnection Entry*",
                               "KMOClient_GenAutoResponse Entry", "KMOClient_Process SOCKET_Receive"}),
              "");
    EXPECT_EQ(CountRecords(log, "Hubo una validacion, se reinicializa timer de vida"), 0);
}

// A reply without F52 is answered locally, but it is a reply: the heartbeat
// timer starts again, so the first pass after it sends no heartbeat although
// more than the period has passed since the client started.
TEST_F(FailureTest, ReplyWithoutReferenceIsPreAuthorisedAndResetsTheHeartbeatTimer)
{
    StartGateway({"--policy", "no-f52"});
    StartClient([&] {
        auto a = ClientArgs();
        a.insert(a.end(), {"-p", "3"});
        return a;
    }());
    ASSERT_TRUE(WaitLog("KMOClient_Process Entry"));
    os::SleepMs(3500);   // the period must have run out since the start
    Drop("caja1", Req("000020"));
    EXPECT_EQ(WaitReply("caja1").value_or(""), AutoReply("caja1", AuthNumber('G', 1), "000021"));
    ASSERT_TRUE(WaitLog("KMOClient_Process enviando se\xF1" "al de vida")) << "the heartbeat never came";
    ASSERT_EQ(client.StopWithFile(), 0);

    const std::vector<LogRecord> log = Log();
    EXPECT_EQ(CheckOrder(log, {"KMOClient_Process Recibio del Gateway:*",
                               "Hubo una validacion, se reinicializa timer de vida", "KMOClient_GenAutoResponse Entry",
                               "KMOClient_Process no existe campo F52 en el mensaje de respuesta"}),
              "");
    const int firstBeat = FindRecord(log, "KMOClient_Process enviando se\xF1" "al de vida");
    int checksBefore = 0;
    for (int i = 0; i < firstBeat; ++i)
        checksBefore += log[i].message.rfind("KMOClient_Process transcurrieron", 0) == 0 ? 1 : 0;
    EXPECT_GE(checksBefore, 2) << "a heartbeat went out on the first pass after the reply";
}

// A reply that cannot be written leaves its request in flight: it is served
// again on later passes, and a pre-authorisation whose reply never went out
// leaves no record behind.
TEST_F(FailureTest, ReplyFileThatCannotBeWrittenKeepsItsRequestInFlight)
{
    StartGateway();
    std::filesystem::create_directory(sb.rootPath("dout.txt"));   // a directory in its place
    std::filesystem::create_directory(sb.rootPath("aout.txt"));
    ASSERT_TRUE(WriteFile(sb.rootPath("hout.txt"), "previous reply"));
    const int fd = os::OpenHoldRead(sb.rootPath("hout.txt"));   // the terminal still reads it
    ASSERT_GE(fd, 0);
    held.push_back(fd);
    Drop("d", Req("000020"));
    Drop("h", Req("000020"));
    Drop("a", Req("000030"));
    StartClient(ClientArgs("d,h,a"));
    ASSERT_TRUE(WaitUntil([&] { return CountRecords(Log(), "KMOClient_GenAutoResponse WriteFileOutput") >= 2; }));
    ASSERT_EQ(client.StopWithFile(), 0);

    EXPECT_EQ(ReadFile(sb.rootPath("hout.txt")).value_or(""), "previous reply") << "a held reply file was changed";
    EXPECT_TRUE(std::filesystem::is_directory(sb.rootPath("dout.txt")));
    EXPECT_GE(gw.Packets().size(), 4u) << "each pass tries the held requests again";
    for (const char* t : {"d", "h", "a"}) {
        EXPECT_FALSE(Exists(sb.rootPath(std::string(t) + "in.txt")));
        EXPECT_TRUE(Exists(sb.path(std::string("kmopendiente_") + t + ".txt"))) << t << " not in flight";
    }
    EXPECT_EQ(FileText("kmoautoresp.txt"), "<absent>") << "a record without its reply would be forwarded";

    const std::vector<LogRecord> log = Log();
    const std::string dPath = sb.rootPath("dout.txt"), hPath = sb.rootPath("hout.txt");
    EXPECT_EQ(CheckOrder(log, {"KMOClient_WriteFileOutput abriendo archivo [" + dPath + "] de output",
                               "KMOClient_Process WriteFileOutput",
                               "KMOClient_WriteFileOutput abriendo archivo [" + hPath + "] de output",
                               "KMOClient_WriteFileOutput errno=[13] error=[Given path is a directory, or file is "
                               "read-only, but an open-for-writing operation was attempted]",
                               "KMOClient_Process WriteFileOutput", "KMOClient_GenAutoResponse WriteFileOutput"}),
              "");
    const int open = FindRecord(log, "KMOClient_WriteFileOutput abriendo archivo*");
    ASSERT_GE(open, 0);
    EXPECT_EQ(log[open].level, "") << "written at level 1, which has no name";
}

TEST_F(FailureTest, RequestStillOpenForWritingIsLeftForLaterPasses)
{
    StartGateway();
    const std::string path = sb.rootPath("caja1in.txt");
    const int fd = os::OpenHoldWrite(path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(os::WriteFd(fd, Req("000020")));
    StartClient(ClientArgs());
    EXPECT_TRUE(WaitLog("KMOClient_Process ReadFileInput file [" + path + "]", 3));
    EXPECT_TRUE(Exists(path));
    EXPECT_FALSE(Exists(sb.rootPath("caja1out.txt")));
    EXPECT_TRUE(gw.Packets().empty());

    os::CloseFd(fd);   // the terminal has finished writing
    EXPECT_EQ(WaitReply("caja1").value_or(""), Approve("caja1", 1));
    ASSERT_EQ(client.StopWithFile(), 0);
    EXPECT_EQ(gw.Packets().size(), 1u);
    const std::vector<LogRecord> log = Log();
    const int warn = FindRecord(log, "KMOClient_Process ReadFileInput file*");
    ASSERT_GE(warn, 0);
    EXPECT_EQ(log[warn].level, "WARNING");
}

// Run as an unprivileged user, a read-only root keeps the request from being
// removed: it is answered once, with one record, and not served again until
// the terminal writes a new request in its place.
TEST_F(FailureTest, RequestThatCannotBeRemovedIsAnsweredOnceUntilItChanges)
{
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX only: on Windows a read-only directory still lets its files be removed "
                    "and created (only access lists would stop that)";
#endif
    StartGateway();
    const std::string in = sb.rootPath("caja1in.txt");
    Drop("caja1", Req("000020"));
    ASSERT_TRUE(WriteFile(sb.rootPath("caja1out.txt"), ""));   // the reply cannot be created in a read-only root
    const bool asNobody = PrepareUnprivileged();
    ASSERT_TRUE(os::ChangeMode(sb.root(), 0555));
    StartClient(ClientArgs(), asNobody);
    EXPECT_TRUE(WaitLog("KMOClient_Process borrando archivo [" + in + "], no pudo accederlo"));
    EXPECT_EQ(WaitReply("caja1").value_or(""), Approve("caja1", 1));
    os::SleepMs(400);   // several passes
    EXPECT_TRUE(Exists(in));
    EXPECT_EQ(gw.Packets().size(), 1u) << "served again although unchanged";
    ASSERT_TRUE(os::ChangeMode(sb.root(), 0755));
    Drop("caja1", Req("000020") + "G04=2|");   // a new request in its place
    EXPECT_TRUE(WaitUntil([&] { return !Exists(in); }));
    ASSERT_EQ(client.StopWithFile(), 0);

    EXPECT_EQ(gw.Packets().size(), 2u);
    EXPECT_EQ(CountRecords(Log(), "KMOClient_Process borrando archivo [" + in + "], no pudo accederlo"), 1);
}

TEST_F(FailureTest, StopFileThatCannotBeRemovedKeepsTheLoopServing)
{
    StartGateway();
    // A directory of that name cannot be removed; like Windows, the client
    // takes it as "cannot be accessed".
    std::filesystem::create_directory(sb.rootPath("KMOCLIENTSTOP.tmp"));
    StartClient(ClientArgs());
    Drop("caja1", Req("000020"));
    EXPECT_EQ(TakeReply("caja1").value_or(""), Approve("caja1", 1));
    std::filesystem::remove(sb.rootPath("KMOCLIENTSTOP.tmp"));
    ASSERT_EQ(client.StopWithFile(), 0);
    EXPECT_GE(CountRecords(Log(), "KMOClient_Process borrando archivo KMOCLIENTSTOP.tmp, no pudo accederlo"), 1);
}

TEST_F(FailureTest, StopFileInReadOnlyRootIsReportedOnEveryPass)
{
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX only: on Windows a read-only directory still lets its files be removed "
                    "and created (only access lists would stop that)";
#endif
    StartGateway();
    std::filesystem::create_directory(sb.rootPath("sub"));   // the terminal's own, writable directory
    ASSERT_TRUE(WriteFile(sb.rootPath("KMOCLIENTSTOP.tmp"), ""));
    const bool asNobody = PrepareUnprivileged();
    ASSERT_TRUE(os::ChangeMode(sb.root(), 0555));
    StartClient(ClientArgs("sub/"), asNobody);
    const std::string record = "KMOClient_Process borrando archivo KMOCLIENTSTOP.tmp, no pudo accederlo";
    EXPECT_TRUE(WaitLog(record, 2));
    Drop("sub/", Req("000020"));
    EXPECT_EQ(WaitReply("sub/").value_or(""), Approve("sub/", 1)) << "terminals are still served";
    ASSERT_TRUE(os::ChangeMode(sb.root(), 0755));
    EXPECT_EQ(client.WaitExit(), 0) << "the first pass that removes the stop file ends the loop";
    EXPECT_FALSE(Exists(sb.rootPath("KMOCLIENTSTOP.tmp")));
    const std::vector<LogRecord> log = Log();
    const int first = FindRecord(log, record);
    ASSERT_GE(first, 0);
    EXPECT_EQ(log[first].level, "ERROR");
    EXPECT_EQ(CheckOrder(log, {record, "KMOClient_Process encontro archivo de stop. Saliendo..."}), "");
}

}  // namespace
}  // namespace e2e
