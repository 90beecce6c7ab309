// The command line: settings, refusals, the start-up block.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "client_test_util.h"
#include "kmoclient.h"

namespace {

using clienttest::ClientTest;
using clienttest::ReadFile;

// argv of writable copies, as main() gets them.
class Args {
public:
    Args(std::initializer_list<std::string> words) : Args(std::vector<std::string>(words)) {}
    explicit Args(std::vector<std::string> words) : words_(std::move(words))
    {
        words_.insert(words_.begin(), "kmoclient");
        for (auto& w : words_) {
            ptrs_.push_back(w.data());
        }
        ptrs_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return ptrs_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<char*> ptrs_;
};

class InitTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        // The root directory must exist; these are the ones the tests name.
        for (const std::string& dir : std::vector<std::string>{"x", "y", "z", std::string(128, 'r')}) {
            std::filesystem::create_directory(dir);
        }
    }
    int Init(std::initializer_list<std::string> words)
    {
        Args args(words);
        testing::internal::CaptureStderr();
        const int rc = KMOClient_Init(args.argc(), args.argv());
        stderr_ = testing::internal::GetCapturedStderr();
        return rc;
    }
    std::string stderr_;
};

TEST_F(InitTest, NoArgumentVectorFailsSilently)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(KMOClient_Init(0, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(InitTest, MinimalCommandLineKeepsEveryDefault)
{
    ASSERT_EQ(Init({"-n", "CLI1", "-r", "x"}), 0);
    EXPECT_STREQ(Name, "CLI1");
    EXPECT_STREQ(RootPath, "x");
    EXPECT_STREQ(HostGateway, "localhost");
    EXPECT_EQ(PortGateway, 8000);
    EXPECT_EQ(TerminalCount, 1);
    EXPECT_STREQ(Terminals[0], "");
    EXPECT_EQ(WaitTimeout, 21600000);
    EXPECT_EQ(MaxTroqueles, 2);
    EXPECT_EQ(HeartbeatPeriod, 0);
    EXPECT_EQ(NormalizeReply, 0);
    EXPECT_EQ(WaitMode, 0);
    EXPECT_EQ(stderr_, "");
    KMOClient_Exit();
}

TEST_F(InitTest, InitResetsOnlyItsOwnSettings)
{
    ASSERT_EQ(Init({"-n", "AB", "-r", "x", "-g", "gw:9", "-T", "5", "-w", "1", "-c", "4", "-p", "30", "-F", "77",
                    "-L", "1", "-t", "a,b"}),
              0);
    ASSERT_EQ(Init({"-n", "CD", "-r", "y"}), 0);
    EXPECT_STREQ(Name, "CD");
    EXPECT_STREQ(HostGateway, "localhost");
    EXPECT_EQ(WaitTimeout, 21600000);
    EXPECT_EQ(WaitMode, 0);
    // Not reset by a start-up: they keep what the first command line gave.
    EXPECT_EQ(PortGateway, 9);
    EXPECT_EQ(MaxTroqueles, 4);
    EXPECT_EQ(HeartbeatPeriod, 30);
    EXPECT_STREQ(FarmCode, "77");
    EXPECT_EQ(NormalizeReply, 1);
    EXPECT_EQ(TerminalCount, 2);
    KMOClient_Exit();
}

TEST_F(InitTest, GatewayHostAndPort)
{
    ASSERT_EQ(Init({"-n", "A", "-r", "x", "-g", "gw"}), 0);
    EXPECT_STREQ(HostGateway, "gw");
    EXPECT_EQ(PortGateway, 8000);
    ASSERT_EQ(Init({"-n", "A", "-r", "x", "-g", "gw:"}), 0);
    EXPECT_STREQ(HostGateway, "gw");
    EXPECT_EQ(PortGateway, 0);
    ASSERT_EQ(Init({"-n", "A", "-r", "x", "-g", ":9000"}), 0);
    EXPECT_STREQ(HostGateway, "");
    EXPECT_EQ(PortGateway, 9000);
    ASSERT_EQ(Init({"-n", "A", "-r", "x", "-g10.0.0.1:7:8"}), 0);   // attached argument, first colon
    EXPECT_STREQ(HostGateway, "10.0.0.1");
    EXPECT_EQ(PortGateway, 7);
    KMOClient_Exit();
}

TEST_F(InitTest, TerminalListsKeepEmptyNamesAndReplaceEarlierLists)
{
    ASSERT_EQ(Init({"-n", "A", "-r", "x", "-t", "a,,b"}), 0);
    ASSERT_EQ(TerminalCount, 3);
    EXPECT_STREQ(Terminals[0], "a");
    EXPECT_STREQ(Terminals[1], "");
    EXPECT_STREQ(Terminals[2], "b");
    ASSERT_EQ(Init({"-n", "A", "-r", "x", "-t", "longname,q", "-t", "c,d,"}), 0);
    ASSERT_EQ(TerminalCount, 3);
    EXPECT_STREQ(Terminals[0], "c");
    EXPECT_STREQ(Terminals[1], "d");
    EXPECT_STREQ(Terminals[2], "");
    ASSERT_EQ(Init({"-n", "A", "-r", "x", "-t", ""}), 0);
    EXPECT_EQ(TerminalCount, 1);
    EXPECT_STREQ(Terminals[0], "");
    KMOClient_Exit();
}

TEST_F(InitTest, WholeNumbersInRangeAndTheLooserOptionsAsBefore)
{
    ASSERT_EQ(Init({"-n", "A", "-r", "x", "-L", "1", "-T", "0", "-c", "99", "-p", "-1", "-s", "0"}), 0);
    EXPECT_EQ(NormalizeReply, 1);
    EXPECT_EQ(WaitTimeout, 0);
    EXPECT_EQ(MaxTroqueles, 99);
    EXPECT_EQ(HeartbeatPeriod, -1);
    EXPECT_EQ(ExchangeTimeout, 0);
    ASSERT_EQ(Init({"-n", "A", "-r", "x", "-L", "2", "-T", "2147483647", "-c", "0", "-p", "+30", "-w", "7x"}), 0);
    EXPECT_EQ(NormalizeReply, 0);
    EXPECT_EQ(WaitTimeout, INT_MAX);
    EXPECT_EQ(MaxTroqueles, 0);
    EXPECT_EQ(HeartbeatPeriod, 30);
    EXPECT_EQ(ExchangeTimeout, 30);   // back to its default
    EXPECT_EQ(WaitMode, 7);           // stored as given
    ASSERT_EQ(Init({"-n", "A", "-r", "x", "-L", "yes"}), 0);
    EXPECT_EQ(NormalizeReply, 0);
    EXPECT_EQ(stderr_, "");
    KMOClient_Exit();
}

struct RefusalCase {
    std::vector<std::string> args;
    const char* why;   // the first line says this
};

TEST_F(InitTest, EveryRefusalSaysWhyOnOneLineThenPointsToTheUsage)
{
    const std::vector<RefusalCase> cases = {
        {{}, "-n NAME is required"},
        {{"-r", "x"}, "-n NAME is required"},
        {{"-n", "A"}, "-r DIR is required"},
        {{"-n", "", "-r", "x"}, "-n NAME is required"},
        {{"-n", "A", "-r", "no/such/dir"}, "-r: no/such/dir is not a directory"},
        {{"-n", "A", "-r", "client.log"}, "-r: client.log is not a directory"},
        {{"-n", "A", "-r", "x", "-b", "v"}, "option -b is not supported"},
        {{"-o", "v", "-n", "A", "-r", "x"}, "option -o is not supported"},
        {{"-n", "A", "-r", "x", "-x"}, "-- 'x'"},
        {{"-r", "x", "-n"}, "-- 'n'"},
        {{"-n", "A", "-r", "x", "-T", "abc"}, "-T: 'abc' is not a whole number"},
        {{"-n", "A", "-r", "x", "-T", "12abc"}, "-T: '12abc' is not a whole number"},
        {{"-n", "A", "-r", "x", "-T", ""}, "-T: '' is not a whole number"},
        {{"-n", "A", "-r", "x", "-T", "-"}, "-T: '-' is not a whole number"},
        {{"-n", "A", "-r", "x", "-T", " 5"}, "-T: ' 5' is not a whole number"},
        {{"-n", "A", "-r", "x", "-T", "-1"}, "-T: -1 is out of range (0 to 2147483647)"},
        {{"-n", "A", "-r", "x", "-T", "2147483648"}, "-T: 2147483648 is out of range (0 to 2147483647)"},
        {{"-n", "A", "-r", "x", "-T", "99999999999999999999"}, "-T: 99999999999999999999 is out of range"},
        {{"-n", "A", "-r", "x", "-c", "-5"}, "-c: -5 is out of range (0 to 99)"},
        {{"-n", "A", "-r", "x", "-c", "100"}, "-c: 100 is out of range (0 to 99)"},
        {{"-n", "A", "-r", "x", "-p", "abc"}, "-p: 'abc' is not a whole number"},
        {{"-n", "A", "-r", "x", "-p", "-2"}, "-p: -2 is out of range (-1 to 2147483647)"},
        {{"-n", "A", "-r", "x", "-s", "-1"}, "-s: -1 is out of range (0 to 2147483647)"},
        {{"-n", "A", "-r", "x", "-s", "1.5"}, "-s: '1.5' is not a whole number"},
        {{"-n", "ABCDE", "-r", "x"}, "-n: too long, at most 4 characters"},
        {{"-n", "A", "-r", "x", "-t", std::string(57, 't')}, "-t: too long, at most 56 characters"},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args) {
            line += " [" + a.substr(0, 20) + "]";
        }
        SCOPED_TRACE(line);
        clienttest::ResetSettings();
        MaxTroqueles = 2;
        Args args(c.args);
        testing::internal::CaptureStderr();
        const int rc = KMOClient_Init(args.argc(), args.argv());
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, -1);
        const std::size_t nl = err.find('\n');
        ASSERT_NE(nl, std::string::npos) << err;
        EXPECT_NE(err.substr(0, nl).find(c.why), std::string::npos) << err;
        EXPECT_EQ(err.substr(nl + 1), "try 'kmoclient -h'\n");
        EXPECT_EQ(MaxTroqueles, 2);
    }
}

TEST_F(InitTest, HelpAndVersionAnswerOnStandardOutput)
{
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"-h"}, {"--help"}, {"-n", "A", "-h", "-T", "abc"}, {"-V"}, {"--version"}}) {
        SCOPED_TRACE(words[0]);
        Args args(words);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int rc = KMOClient_Init(args.argc(), args.argv());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(rc, 1);
        if (words.back() == "-V" || words.back() == "--version") {
            EXPECT_EQ(out.rfind("kmoclient ", 0), 0u) << out;
            EXPECT_NE(out.find("probe hosts: "), std::string::npos) << out;
            EXPECT_NE(out.find("barred peer: "), std::string::npos) << out;
        } else {
            for (const char* opt : {"-n NAME", "-r DIR", "-g HOST", "-t NAME", "-T MS", "-w MODE", "-c N",
                                    "-p SECONDS", "-s SECONDS", "-F CODE", "-L 1", "-l PATH", "Example:"}) {
                EXPECT_NE(out.find(opt), std::string::npos) << opt;
            }
        }
    }
}

TEST_F(InitTest, LaterOccurrenceWinsAndStrayWordsAreIgnored)
{
    ASSERT_EQ(Init({"stray", "-n", "AAAA", "word", "-r", "x", "-n", "B", "tail"}), 0);
    EXPECT_STREQ(Name, "B");
    EXPECT_STREQ(RootPath, "x");
#ifndef _WIN32
    // The system parser would stop at the first stray word if asked to.
    ::setenv("POSIXLY_CORRECT", "1", 1);
    const int rc = Init({"stray", "-n", "C", "-r", "z"});
    ::unsetenv("POSIXLY_CORRECT");
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(Name, "C");
#endif
    KMOClient_Exit();
}

TEST_F(InitTest, ParsingStopsAtTheInvalidOption)
{
    MaxTroqueles = 2;
    EXPECT_EQ(Init({"-n", "A", "-r", "x", "-b", "v", "-c", "9"}), -1);
    EXPECT_EQ(MaxTroqueles, 2);
}

TEST_F(InitTest, LogOpenedBeforeAnInvalidOptionStaysOpenAndEmpty)
{
    EXPECT_EQ(Init({"-l", logPath_, "-x", "-n", "A", "-r", "x"}), -1);
    EXPECT_TRUE(std::filesystem::exists(logPath_));
    EXPECT_EQ(ReadFile(logPath_), "");
}

TEST_F(InitTest, BarePathLogsOnlyLevelsZeroAndOne)
{
    ASSERT_EQ(Init({"-l", logPath_, "-n", "A", "-r", "x"}), 0);
    KMOClient_Exit();
    EXPECT_EQ(ReadFile(logPath_), "");
}

TEST_F(InitTest, StartupBlockByteForByte)
{
    const std::string spec = logPath_ + ",1,80";
    ASSERT_EQ(Init({"-l", spec, "-n", "CLI1", "-r", "x", "-g", "gw:9001", "-t", "a,,caja3/", "-T", "500",
                    "-c", "3", "-F", "1234"}),
              0);
    KMOClient_Exit();
    const std::string pad(28, ' ');
    const std::vector<std::string> expected = {
        "INFO\tInicializado con parametros: ",
        "INFO\t" + pad + "Name=[CLI1] ",
        "INFO\t" + pad + "HostGateway=[gw] ",
        "INFO\t" + pad + "PortGateway=[9001] ",
        "INFO\t" + pad + "RootPath=[x] ",
        "INFO\t" + pad + "Terminals[0]=[a] ",
        "INFO\t" + pad + "Terminals[1]=[] ",
        "INFO\t" + pad + "Terminals[2]=[caja3/] ",
        "INFO\t" + pad + "WaitTimeout=[500] ",
    };
    std::vector<std::string> got = LogText();
    ASSERT_GE(got.size(), expected.size());
    got.resize(expected.size());
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(Logged("DEBUG\tKMOClient_Exit Entry"));
}

struct TooLongCase {
    const char* option;
    std::string value;
    const char* limit;
};

TEST_F(InitTest, OverLongValuesAreRefusedWithOneLineNamingTheLimit)
{
    const std::string name57(57, 'n');
    std::string hundredOne;
    for (int i = 0; i < 101; ++i) {
        hundredOne += i == 0 ? "t" : ",t";
    }
    const std::vector<TooLongCase> cases = {
        {"-n", "ABCDE", "4"},
        {"-g", std::string(128, 'h') + ":80", "127"},
        {"-r", std::string(129, 'r'), "128"},
        {"-F", std::string(128, 'f'), "127"},
        {"-t", "a," + name57, "56"},
        {"-t", hundredOne, "100"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option + (" " + c.value.substr(0, 20)));
        clienttest::ResetSettings();
        EXPECT_EQ(Init({"-n", "A", "-r", "x", c.option, c.value}), -1);
        EXPECT_EQ(std::count(stderr_.begin(), stderr_.end(), '\n'), 2) << stderr_;
        EXPECT_NE(stderr_.find(c.option), std::string::npos) << stderr_;
        EXPECT_NE(stderr_.find(c.limit), std::string::npos) << stderr_;
    }
    // Nothing of a refused list was applied.
    EXPECT_EQ(TerminalCount, 1);
}

// A terminal's files stay under RootPath: a name with a ".." component is
// refused at start-up; dots that are not a whole component are names.
TEST_F(InitTest, TerminalNamesThatLeaveTheRootAreRefused)
{
    const struct {
        const char* list;
        int result;
    } cases[] = {
        {"..", -1}, {"../caja", -1}, {"a,sub/../../x", -1}, {"a\\..\\b", -1}, {"sub/..", -1},
        {"..caja", 0}, {"caja..", 0}, {"sub/caja", 0}, {".", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        clienttest::ResetSettings();
        EXPECT_EQ(Init({"-n", "A", "-r", "x", "-t", c.list}), c.result);
        EXPECT_EQ(stderr_.find("'..'") != std::string::npos, c.result == -1) << stderr_;
        KMOClient_Exit();
    }
}

TEST_F(InitTest, ValuesAtTheirLimitsAreAccepted)
{
    std::string hundred;
    for (int i = 0; i < 100; ++i) {
        hundred += (i == 0 ? "" : ",") + std::string(56, static_cast<char>('a' + i % 26));
    }
    ASSERT_EQ(Init({"-n", "ABCD", "-r", std::string(128, 'r'), "-g", std::string(127, 'h'), "-F",
                    std::string(127, 'f'), "-t", hundred}),
              0);
    EXPECT_EQ(std::string(Name), "ABCD");
    EXPECT_EQ(std::string(RootPath).size(), 128u);
    EXPECT_EQ(std::string(HostGateway).size(), 127u);
    EXPECT_EQ(std::string(FarmCode).size(), 127u);
    EXPECT_EQ(TerminalCount, 100);
    EXPECT_EQ(std::string(Terminals[99]), std::string(56, 'v'));
    KMOClient_Exit();
}

}  // namespace
