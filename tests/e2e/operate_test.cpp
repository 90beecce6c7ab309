// Running the client as an operator does: its usage and refusals, the line
// that says it is serving, the service manager's notifications, log rotation,
// and kmoterminal as the terminal's side of the exchange.
#include "e2e_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <random>

namespace e2e {
namespace {

class OperateTest : public E2ETest {
protected:
    void TearDown() override
    {
        os::UnsetEnv("NOTIFY_SOCKET");
        os::UnsetEnv("WATCHDOG_USEC");
        for (int fd : sockets_)
            os::CloseFd(fd);
        E2ETest::TearDown();
    }

    int RunToEnd(const std::vector<std::string>& args)
    {
        StartClient(args);
        const int status = client.WaitExit();
        EXPECT_GE(status, 0) << "kmoclient did not end by itself";
        return status;
    }

    // Starts the client with the service manager's variables set for it only.
    void StartNotified(const std::string& socketName, const std::vector<std::string>& args,
                       const char* watchdogUsec = "300000")
    {
        os::SetEnv("NOTIFY_SOCKET", socketName);
        os::SetEnv("WATCHDOG_USEC", watchdogUsec);
        StartClient(args);
        os::UnsetEnv("NOTIFY_SOCKET");
        os::UnsetEnv("WATCHDOG_USEC");
    }

    int Listen(const std::string& name)
    {
        const int fd = os::BindDatagram(name);
        if (fd >= 0)
            sockets_.push_back(fd);
        return fd;
    }

    // Messages until `last` arrives (included) or `timeoutMs` passes.
    static std::vector<std::string> Until(int fd, const std::string& last, int timeoutMs = kWaitMs)
    {
        std::vector<std::string> got;
        const double end = os::NowMs() + timeoutMs;
        std::string m;
        while (os::NowMs() < end && os::ReceiveDatagram(fd, static_cast<int>(end - os::NowMs()) + 1, &m)) {
            got.push_back(m);
            if (m == last)
                break;
        }
        return got;
    }

    std::vector<int> sockets_;
};

// Windows has no notification socket and no service manager that reads one:
// the client's notifications do nothing there.
#if defined(_WIN32)
#define SKIP_WITHOUT_SERVICE_MANAGER() \
    GTEST_SKIP() << "POSIX only: Windows has no service manager notification socket"
#else
#define SKIP_WITHOUT_SERVICE_MANAGER() (void)0
#endif

// ---- command line ------------------------------------------------------

TEST_F(OperateTest, HelpAndVersionGoToStandardOutputWithStatusZero)
{
    EXPECT_EQ(RunToEnd({"-h"}), 0);
    EXPECT_EQ(client.Stdout().rfind("Usage: kmoclient -n NAME -r DIR", 0), 0u) << client.Stdout();
    EXPECT_EQ(client.Stderr(), "");
    EXPECT_EQ(RunToEnd({"--help"}), 0);
    EXPECT_NE(client.Stdout().find("Example:"), std::string::npos);
    EXPECT_EQ(RunToEnd({"-V"}), 0);
    const std::vector<std::string> probes = ProbeHosts();
    ASSERT_FALSE(probes.empty());
    EXPECT_NE(client.Stdout().find("probe hosts: " + probes[0]), std::string::npos) << client.Stdout();
    EXPECT_NE(client.Stdout().find("barred peer: "), std::string::npos);
}

TEST_F(OperateTest, ServingStartsWithOneLineOnStandardError)
{
    StartClient({"-n", "CLI1", "-r", sb.root(), "-g", "127.0.0.1:9", "-t", "a,b", "-w", "1", "-T", "60000"});
    ASSERT_TRUE(WaitUntil([&] { return client.Stderr().find('\n') != std::string::npos; }));
    const std::string err = client.Stderr();
    EXPECT_EQ(err.rfind("kmoclient ", 0), 0u) << err;
    EXPECT_NE(err.find("gateway 127.0.0.1:9, root " + sb.root() + ", 2 terminals, wait mode 1"), std::string::npos)
        << err;
    // Without a console shared with the client (Wine), the stop file ends it.
    EXPECT_EQ(os::CanSendStopSignals() ? client.Terminate(15) : client.StopWithFile(), 0);
    EXPECT_EQ(client.Stderr(), err) << "one line only";
}

TEST_F(OperateTest, LogFileThatCannotBeOpenedIsSaidAndRecordsGoToStandardOutput)
{
    const std::string bad = sb.path("no/such/dir/kmo.log");
    StartClient({"-n", "CLI1", "-r", sb.root(), "-T", "20", "-l", bad + ",1,80"});
    EXPECT_EQ(client.StopWithFile(), 0);
    EXPECT_NE(client.Stderr().find("kmoclient: -l: cannot open the log file " + bad + ": No such file or directory"),
              std::string::npos)
        << client.Stderr();
    EXPECT_NE(client.Stdout().find("\tINFO\tKMOClient_Process Entry\n"), std::string::npos);
}

// ---- service manager ---------------------------------------------------

TEST_F(OperateTest, NotifiesReadyStatusKeepAlivesAndStoppingOnPathAndAbstractSockets)
{
    SKIP_WITHOUT_SERVICE_MANAGER();
    std::random_device rd;
    for (const std::string& name : {sb.path("notify.sock"), "@kmoclient-e2e-" + std::to_string(rd())}) {
        SCOPED_TRACE(name);
        const int fd = Listen(name);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(WriteFile(sb.path("kmoautoresp.txt"), "|G01=1|G52=I20260000001|\n|G01=1|G52=I20260000002|\n"));
        StartNotified(name, {"-n", "CLI1", "-r", sb.root(), "-p", "-1", "-T", "60000"});
        const std::vector<std::string> start = Until(fd, "WATCHDOG=1");
        ASSERT_GE(start.size(), 3u);
        EXPECT_EQ(start[0], "READY=1");
        EXPECT_EQ(start[1].rfind("STATUS=last pass ", 0), 0u) << start[1];
        EXPECT_NE(start[1].find("last gateway contact none, 2 records waiting"), std::string::npos) << start[1];
        // Keep-alives every 150 ms while the client sleeps out its long pause.
        int alive = 0;
        std::string m;
        const double end = os::NowMs() + 2000;
        while (os::NowMs() < end && os::ReceiveDatagram(fd, 500, &m))
            alive += m == "WATCHDOG=1" ? 1 : 0;
        EXPECT_GE(alive, 5);
        EXPECT_EQ(client.Terminate(15), 0);
        const std::vector<std::string> last = Until(fd, "STOPPING=1");
        ASSERT_FALSE(last.empty());
        EXPECT_EQ(last.back(), "STOPPING=1");
        std::filesystem::remove(sb.path("kmoautoresp.txt"));
    }
}

// A loop held up in one exchange sends no keep-alive, so the service manager
// can tell a stuck client from an idle one.
TEST_F(OperateTest, NoKeepAliveWhileOneRequestHoldsTheLoop)
{
    SKIP_WITHOUT_SERVICE_MANAGER();
    StartGateway({"--delay", "2000"});
    const int fd = Listen(sb.path("notify.sock"));
    ASSERT_GE(fd, 0);
    std::vector<std::string> args = ClientArgs();
    args.insert(args.end(), {"-w", "1", "-T", "60000", "-s", "0"});
    StartNotified(sb.path("notify.sock"), args, "100000");
    ASSERT_FALSE(Until(fd, "READY=1").empty());
    double last = os::NowMs(), widest = 0, repliedAt = 0;
    Drop("caja1", Req("000020"));
    std::string m;
    const double end = os::NowMs() + 8000;
    while (os::NowMs() < end && (repliedAt == 0 || os::NowMs() - repliedAt < 1000)) {
        if (repliedAt == 0 && Exists(sb.rootPath("caja1out.txt")))
            repliedAt = os::NowMs();
        if (os::ReceiveDatagram(fd, 50, &m) && m == "WATCHDOG=1") {
            widest = std::max(widest, os::NowMs() - last);
            last = os::NowMs();
        }
    }
    ASSERT_GT(repliedAt, 0) << "no reply";
    EXPECT_GE(widest, 1500) << "keep-alives went on while the gateway held the request";
    EXPECT_GT(last, repliedAt) << "keep-alives did not come back once the request was served";
    EXPECT_EQ(client.StopWithFile(), 0);
}

// ---- log rotation ------------------------------------------------------

TEST_F(OperateTest, HangupAfterTheLogWasRenamedStartsANewLog)
{
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX only: Windows has no hang-up signal to ask for the log to be reopened";
#endif
    StartGateway();
    StartClient(ClientArgs());
    ASSERT_TRUE(WaitLog("KMOClient_Process Entry"));
    const std::string old = logPath() + ".1";
    std::filesystem::rename(logPath(), old);
    client.Hangup();
    ASSERT_TRUE(WaitLog("KMOClient_Process archivo de log reabierto"));
    Drop("caja1", Req("000020"));
    EXPECT_EQ(TakeReply("caja1").value_or(""), Approve("caja1", 1));
    ASSERT_TRUE(WaitLog("KMOClient_Process tardo * segundos en procesar una receta"));
    EXPECT_EQ(client.StopWithFile(), 0) << "SIGHUP must not end the client";
    const std::vector<LogRecord> now = Log();
    EXPECT_GE(FindRecord(now, "KMOClient_Process Envio hacia el Gateway:*"), 0);
    EXPECT_GE(FindRecord(now, "KMOClient_Exit Entry"), 0);
    const std::vector<LogRecord> before = ParseLog(ReadFile(old).value_or(""), nullptr);
    EXPECT_GE(FindRecord(before, "Inicializado con parametros: "), 0);
    EXPECT_GE(FindRecord(before, "KMOClient_Process reabriendo el archivo de log"), 0);
    EXPECT_EQ(FindRecord(before, "KMOClient_Process Envio hacia el Gateway:*"), -1);
}

// ---- kmoterminal -------------------------------------------------------

// kmoterminal ends the reply it prints with a line end of the platform's text
// mode.
#if defined(_WIN32)
const std::string kLineEnd = "\r\n";
#else
const std::string kLineEnd = "\n";
#endif

TEST_F(OperateTest, TerminalToolExitStatusTellsTheKindOfReply)
{
    StartGateway({"--policy", "approve,refuse,no-f52"});
    StartClient(ClientArgs("caja1,caja2"));
    const std::string root = sb.root();
    std::string out;
    EXPECT_EQ(RunTerminal(sb, {root, "caja1", Req("000020")}, &out), 0) << out;
    EXPECT_EQ(out, Approve("caja1", 1) + kLineEnd);
    EXPECT_EQ(RunTerminal(sb, {root, "caja1", Req("000020")}, &out), 1) << out;
    EXPECT_EQ(out, Refuse("caja1", 2) + kLineEnd);
    EXPECT_EQ(RunTerminal(sb, {root, "caja2", Req("000020")}, &out), 2) << out;
    EXPECT_EQ(Field(out, "F51").value_or(""), "RECETA PRE-AUTORIZADA");
    EXPECT_EQ(RunTerminal(sb, {root, "caja2", Req("000020", std::string(100, '1'))}, &out), 3) << out;
    EXPECT_EQ(out, ErrorReply("caja2", "Formato de Troquel invalido", "000021") + kLineEnd);
    EXPECT_FALSE(Exists(sb.rootPath("caja1out.txt")));
    EXPECT_FALSE(Exists(sb.rootPath("caja2out.txt")));
    // A terminal the client does not serve: no reply, and the request is withdrawn.
    EXPECT_EQ(RunTerminal(sb, {"--timeout", "0.3", root, "caja9", Req("000020")}, &out), 4);
    EXPECT_FALSE(Exists(sb.rootPath("caja9in.txt")));
    // A reply still waiting is not taken for the answer to a new request.
    ASSERT_TRUE(WriteFile(sb.rootPath("caja9out.txt"), "|F50=00|F52=1|"));
    EXPECT_EQ(RunTerminal(sb, {root, "caja9", Req("000020")}, &out), 5);
    EXPECT_EQ(RunTerminal(sb, {"--help"}, &out), 0);
    EXPECT_NE(out.find("Exit status"), std::string::npos);
    EXPECT_EQ(RunTerminal(sb, {root}, &out), 5);
    EXPECT_EQ(client.StopWithFile(), 0);
    EXPECT_EQ(gw.Packets().size(), 3u);
}

}  // namespace
}  // namespace e2e
