// Riding out a gateway outage: local replies while the gateway is away,
// bounded waits on a gateway that does not answer, replies that arrive in
// parts, a backlog that drains without losing or blocking records, and a
// crash in the middle of the drain.
#include "e2e_fixture.h"

#include <chrono>
#include <map>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A record of kmoautoresp.txt as a local reply leaves it, told apart by G04.
std::string Rec(int n)
{
    return "|G01=1234|G04=" + std::to_string(n) + "|G08=90|G99=000020|G06=|G41=caja1|G52=" + AuthNumber('G', n) + "|";
}

class OutageTest : public E2ETest {
protected:
    void WriteRecords(int to)
    {
        std::string all;
        for (int i = 1; i <= to; ++i)
            all += Rec(i) + "\n";
        ASSERT_TRUE(WriteFile(sb.path("kmoautoresp.txt"), all));
    }
    std::vector<std::string> Args(std::vector<std::string> extra)
    {
        std::vector<std::string> a = ClientArgs();
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    bool WaitDrained(int ms = kWaitMs)
    {
        return WaitUntil([&] { return !Exists(sb.path("kmoautoresp.txt")); }, ms, 20);
    }
    // How often each record text reached the gateway.
    std::map<std::string, int> Sent()
    {
        std::map<std::string, int> count;
        for (const Packet& p : gw.Packets())
            if (p.type != 0)
                ++count[p.text];
        return count;
    }
};

// While the gateway is away every request is answered locally and the client
// keeps running, with one heartbeat attempt for the whole outage (none within
// 30 s of a failed one). Once the gateway is back, the next heartbeat goes
// through and the whole backlog follows.
TEST_F(OutageTest, GatewayAwayThenBack)
{
    E2E_REQUIRE_LOOPBACK_PROBES();
    RefuseAllProbes();
    WriteRecords(3);
    UseDeadGateway();
    const int port = std::stoi(gwAddress.substr(gwAddress.rfind(':') + 1));
    StartClient(Args({"-p", "0", "-s", "5"}));
    const auto start = Clock::now();
    for (int i = 1; i <= 10; ++i) {
        SCOPED_TRACE(i);
        Drop("caja1", Req("000020"));
        const std::string reply = TakeReply("caja1").value_or("");
        EXPECT_EQ(Field(reply, "F50").value_or(""), "ND") << reply;
        EXPECT_EQ(Field(reply, "F51").value_or(""), "RECETA PRE-AUTORIZADA");
    }
    ASSERT_TRUE(client.running());
    EXPECT_EQ(CountRecords(Log(), "No se pudo enviar mensaje de vida "), 1);
    EXPECT_EQ(SplitLines(FileText("kmoautoresp.txt")).size(), 13u);

    // The gateway comes back on its address.
    for (int fd : held)
        os::CloseFd(fd);
    held.clear();
    StartGateway({}, port);
    ASSERT_TRUE(WaitDrained(45000))
        << "the backlog was not forwarded after the gateway came back";
    EXPECT_GE(Since(start), 29.0) << "a heartbeat was tried again within 30 s of the failed one";
    ASSERT_EQ(client.StopWithFile(), 0);
    const std::map<std::string, int> sent = Sent();
    EXPECT_EQ(sent.size(), 13u);
    for (const auto& [text, n] : sent)
        EXPECT_EQ(n, 1) << text;
    EXPECT_EQ(SplitLines(FileText("kmoautorespvalid.txt")).size(), 13u);
    EXPECT_EQ(CountRecords(Log(), "KMOClient_Process enviando*"), 2);
}

// A gateway that accepts and never answers holds each request for the -s
// bound only; the next terminal is served, and SIGTERM during an exchange
// takes effect when that exchange ends.
TEST_F(OutageTest, SilentGatewayIsBoundedBySeconds)
{
    E2E_REQUIRE_LOOPBACK_PROBES();
    RefuseAllProbes();
    StartGateway({"--policy", "silent"});
    Drop("caja1", Req("000020"));
    Drop("caja2", Req("000020"));
    StartClient(Args({"-s", "2", "-t", "caja1,caja2"}));
    const auto start = Clock::now();
    const std::string first = WaitReply("caja1").value_or("");
    const double firstAt = Since(start);
    const std::string second = WaitReply("caja2").value_or("");
    const double secondAt = Since(start);
    EXPECT_EQ(Field(first, "F52").value_or(""), AuthNumber('I', 1));
    EXPECT_EQ(Field(second, "F52").value_or(""), AuthNumber('I', 2));
    EXPECT_GE(firstAt, 1.9);
    EXPECT_LT(firstAt, 4.5) << "about 2 s plus the probes";
    EXPECT_GE(secondAt - firstAt, 1.5);
    EXPECT_LT(secondAt, 8.5);
    const std::vector<LogRecord> log = Log();
    EXPECT_EQ(CheckOrder(log, {"SOCKET_Receive recv tiempo de espera agotado tras * ms",
                               "SOCKET_TestConnection Entry*", "KMOClient_Process SOCKET_Receive",
                               "KMOClient_Process esperando la respuesta del gateway en [" + gwAddress +
                                   "]: tiempo de espera agotado tras 2.* segundos"}),
              "");

    // A stop signal while the third request waits for its reply (the stop
    // file where no signal reaches the client: Wine without a console).
    std::remove(sb.rootPath("caja1out.txt").c_str());
    Drop("caja1", Req("000020"));
    ASSERT_TRUE(gw.WaitPackets(3));
    const auto term = Clock::now();
    EXPECT_EQ(os::CanSendStopSignals() ? client.Terminate(15) : client.StopWithFile(), 0);
    EXPECT_LT(Since(term), 3.5) << "the exchange is bounded, so is the stop";
    EXPECT_EQ(Field(FileText("root/caja1out.txt"), "F52").value_or(""), AuthNumber('I', 3))
        << "the request in flight is still answered";
}

// A reply that arrives in three segments 50 ms apart is the gateway's reply,
// for a request (one of over 1,024 characters, which reaches the terminal
// whole) and for a forwarded record alike.
TEST_F(OutageTest, ReplyInThreeSegmentsIsReadWhole)
{
    ASSERT_TRUE(WriteFile(sb.path("kmoautoresp.txt"), Rec(1) + "\n"));
    const std::string message(1000, 'M');
    StartGateway({"--split", "50", "--split-at", "5,700", "--message", message});
    Drop("caja1", Req("000020"));
    StartClient(Args({"-p", "0"}));
    EXPECT_TRUE(WaitDrained());
    const std::string reply = WaitReply("caja1").value_or("");
    ASSERT_EQ(client.StopWithFile(), 0);
    EXPECT_EQ(Field(reply, "F51").value_or(""), message);
    EXPECT_EQ(Field(reply, "F52").value_or(""), Ref(2));
    const std::string valid = FileText("kmoautorespvalid.txt");
    EXPECT_EQ(Field(valid, "F04").value_or("") + Field(valid, "F52").value_or(""), "1" + Ref(1)) << valid;
}

// Between two forwarding calls the terminals come first: a request dropped
// while a long backlog drains is answered before the backlog is gone.
TEST_F(OutageTest, RequestDuringTheDrainIsServedFirst)
{
    WriteRecords(300);
    StartGateway({"--delay", "5"});   // at least 1.5 s of draining
    StartClient(Args({"-p", "0", "-w", "1", "-T", "60000"}));
    ASSERT_TRUE(gw.WaitPackets(20));
    Drop("caja1", Req("000020"));
    const std::string reply = WaitReply("caja1").value_or("");
    EXPECT_TRUE(Exists(sb.path("kmoautoresp.txt"))) << "the request waited for the whole backlog";
    EXPECT_EQ(Field(reply, "F50").value_or(""), "00") << reply;
    ASSERT_TRUE(WaitDrained(30000));
    ASSERT_EQ(client.StopWithFile(), 0);
    EXPECT_EQ(Sent().size(), 301u) << "every record and the request";
    EXPECT_FALSE(Exists(sb.path("kmoautoresp.pos")));
}

// kill -9 in the middle of the drain: after a restart every record reaches
// the gateway, and at most one of them twice.
TEST_F(OutageTest, CrashDuringForwardingSendsAtMostOneRecordTwice)
{
    constexpr int kRecords = 60;
    WriteRecords(kRecords);
    StartGateway({"--delay", "20"});
    StartClient(Args({"-p", "0"}));
    ASSERT_TRUE(gw.WaitPackets(25));
    client.Kill();
    ASSERT_TRUE(client.exitedBySignal());
    StartClient(Args({"-p", "0"}));
    ASSERT_TRUE(WaitDrained(30000));
    ASSERT_EQ(client.StopWithFile(), 0);
    const std::map<std::string, int> sent = Sent();
    EXPECT_EQ(sent.size(), static_cast<std::size_t>(kRecords));
    int extra = 0;
    for (const auto& [text, n] : sent)
        extra += n - 1;
    EXPECT_LE(extra, 1);
    EXPECT_GE(SplitLines(FileText("kmoautorespvalid.txt")).size(), static_cast<std::size_t>(kRecords));
}

}  // namespace
}  // namespace e2e
