// Start-up and shutdown of the real binary: the command line, the start-up
// block of the log, the stop file and the stop signals.
#include "e2e_fixture.h"

#include <filesystem>

namespace e2e {
namespace {

class StartupTest : public E2ETest {
protected:
    // Runs the client to its end (it must end by itself) and returns the status.
    int RunToEnd(const std::vector<std::string>& args)
    {
        StartClient(args);
        const int status = client.WaitExit();
        EXPECT_NE(status, kNoStatus) << "kmoclient did not end by itself";
        return status;
    }

    // Names in the working directory besides the harness's own files.
    std::vector<std::string> OwnFiles() const
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(sb.dir())) {
            const std::string n = e.path().filename().string();
            if (n != "root" && n != "client.out" && n != "client.err")
                names.push_back(n);
        }
        return names;
    }
};

TEST_F(StartupTest, NoArgumentsFailsWithoutTouchingAnything)
{
    EXPECT_EQ(RunToEnd({}), kExitMinusOne);
    EXPECT_TRUE(OwnFiles().empty());
    EXPECT_TRUE(std::filesystem::is_empty(sb.root()));
    EXPECT_EQ(client.Stdout(), "");
}

TEST_F(StartupTest, RunsUntilTheStopFileAndRemovesIt)
{
    StartClient({"-n", "CLI1", "-r", sb.root(), "-T", "20"});
    EXPECT_EQ(client.StopWithFile(), 0);
    EXPECT_FALSE(Exists(sb.rootPath("KMOCLIENTSTOP.tmp")));
    EXPECT_TRUE(OwnFiles().empty()) << "nothing is logged or numbered without -l and requests";
}

// The stop file is looked for before any terminal: a request waiting beside
// it is left for the next run.
TEST_F(StartupTest, StopFileFoundFirstLeavesWaitingRequestAlone)
{
    Drop("caja1", Req("000020"));
    ASSERT_TRUE(DropFile(sb.rootPath("KMOCLIENTSTOP.tmp"), ""));
    StartGateway();
    EXPECT_EQ(RunToEnd(ClientArgs()), 0);
    EXPECT_TRUE(Exists(sb.rootPath("caja1in.txt")));
    EXPECT_FALSE(Exists(sb.rootPath("caja1out.txt")));
    EXPECT_FALSE(Exists(sb.rootPath("KMOCLIENTSTOP.tmp")));
    EXPECT_TRUE(gw.Packets().empty());
}

TEST_F(StartupTest, LogHoldsTheStartUpBlockAndTheExit)
{
    StartClient({"-n", "CLI1", "-r", sb.root(), "-g", "127.0.0.1:9", "-T", "20", "-t", "a,,b", "-l",
                 logPath() + ",1,80"});
    ASSERT_EQ(client.StopWithFile(), 0);
    const std::vector<LogRecord> log = Log();
    const std::string pad(28, ' ');
    const std::vector<std::string> block = {
        "Inicializado con parametros: ",
        pad + "Name=[CLI1] ",
        pad + "HostGateway=[127.0.0.1] ",
        pad + "PortGateway=[9] ",
        pad + "RootPath=[" + sb.root() + "] ",
        pad + "Terminals[0]=[a] ",
        pad + "Terminals[1]=[] ",
        pad + "Terminals[2]=[b] ",
        pad + "WaitTimeout=[20] ",
    };
    const int first = FindRecord(log, block[0]);
    ASSERT_GE(first, 0) << "no start-up block";
    ASSERT_LE(first + block.size(), log.size());
    for (std::size_t i = 0; i < block.size(); ++i) {
        EXPECT_EQ(log[first + i].message, block[i]);
        EXPECT_EQ(log[first + i].level, "INFO");
    }
    EXPECT_EQ(CheckOrder(log, {"KMOClient_Process Entry", "KMOClient_Process encontro archivo de stop. Saliendo...",
                               "KMOClient_Process Exit", "KMOClient_Exit Entry"}),
              "");
    const int stop = FindRecord(log, "KMOClient_Process encontro archivo de stop. Saliendo...");
    ASSERT_GE(stop, 0);
    EXPECT_EQ(log[stop].level, "WARNING");
}

TEST_F(StartupTest, MeaninglessOptionsAreRefusedWithAReason)
{
    for (const char* opt : {"-b", "-o"}) {
        SCOPED_TRACE(opt);
        std::filesystem::remove(logPath());
        // A log named before the bad option is opened, but nothing is written to it.
        EXPECT_EQ(RunToEnd({"-l", logPath() + ",1,80", "-n", "CLI1", opt, "x", "-r", sb.root()}), kExitMinusOne);
        EXPECT_EQ(client.Stderr(), "kmoclient: option " + std::string(opt) + " is not supported\ntry 'kmoclient -h'\n");
        EXPECT_EQ(ReadFile(logPath()).value_or("<absent>"), "");
    }
}

TEST_F(StartupTest, ParserDiagnosticsForUnknownOptionAndMissingArgument)
{
    EXPECT_EQ(RunToEnd({"-n", "CLI1", "-r", sb.root(), "-x"}), kExitMinusOne);
    EXPECT_NE(client.Stderr().find("'x'\ntry 'kmoclient -h'\n"), std::string::npos) << client.Stderr();
    EXPECT_EQ(RunToEnd({"-r", sb.root(), "-n"}), kExitMinusOne);
    EXPECT_NE(client.Stderr().find("'n'\ntry 'kmoclient -h'\n"), std::string::npos) << client.Stderr();
    EXPECT_EQ(RunToEnd({"-n", "CLI1"}), kExitMinusOne) << "-r is required";
    EXPECT_EQ(client.Stderr(), "kmoclient: -r DIR is required\ntry 'kmoclient -h'\n");
}

TEST_F(StartupTest, OverLongValuesAreRefusedWithOneLineAndThePointer)
{
    std::string many;
    for (int i = 0; i <= 100; ++i)
        many += (i ? "," : "") + std::string("t") + std::to_string(i);
    const std::vector<std::vector<std::string>> cases = {
        {"-n", "CLI12", "-r", sb.root()},
        {"-n", "CLI1", "-r", "/" + std::string(128, 'r')},
        {"-n", "CLI1", "-r", sb.root(), "-g", std::string(128, 'h') + ":8000"},
        {"-n", "CLI1", "-r", sb.root(), "-F", std::string(128, 'f')},
        {"-n", "CLI1", "-r", sb.root(), "-t", "a," + std::string(57, 't')},
        {"-n", "CLI1", "-r", sb.root(), "-t", many},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args[args.size() - 2] + " " + args.back().substr(0, 20));
        EXPECT_EQ(RunToEnd(args), kExitMinusOne);
        const std::string err = client.Stderr();
        const std::size_t nl = err.find('\n');
        ASSERT_NE(nl, std::string::npos);
        EXPECT_GT(nl, 0u);
        EXPECT_EQ(err.substr(nl + 1), "try 'kmoclient -h'\n") << "one line, then the pointer: [" << err << "]";
    }
    EXPECT_TRUE(OwnFiles().empty());
}

TEST_F(StartupTest, LongestValuesAreAccepted)
{
    const std::string terminal(56, 't');
    StartGateway();
    StartClient({"-n", "CLI1", "-r", sb.root(), "-g", gwAddress, "-T", "20", "-t", terminal, "-F",
                 std::string(127, 'f')});
    Drop(terminal, Req("000020"));
    EXPECT_EQ(WaitReply(terminal).value_or(""), Approve(terminal, 1));
    EXPECT_EQ(client.StopWithFile(), 0);
}

TEST_F(StartupTest, StopSignalsEndWithZero)
{
    if (!os::CanSendStopSignals())
        GTEST_SKIP() << "the console control events need a console shared with the client, and "
                        "this run has none (Wine without a display): the stop file is tested instead";
    for (int sig : {15, 2}) {
        SCOPED_TRACE(sig);
        std::filesystem::remove(logPath());
        StartClient({"-n", "CLI1", "-r", sb.root(), "-T", "60000", "-l", logPath() + ",1,80"});
        ASSERT_TRUE(WaitLog("KMOClient_Process Entry"));   // in its long pause now, or about to be
        EXPECT_EQ(client.Terminate(sig), 0);
        EXPECT_FALSE(client.exitedBySignal());
        EXPECT_GE(FindRecord(Log(), "KMOClient_Exit Entry"), 0);
    }
}

}  // namespace
}  // namespace e2e
