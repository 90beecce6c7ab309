// Many terminals in one pass, and the authorisation numbers across crashes.
#include "e2e_fixture.h"

#include <map>
#include <random>
#include <set>

namespace e2e {
namespace {

class TerminalsTest : public E2ETest {};

TEST_F(TerminalsTest, HundredTerminalsServedInTableOrderInOnePass)
{
    StartGateway();
    std::vector<std::string> names;
    std::string list;
    for (int i = 99; i >= 0; --i) {   // table order is the reverse of the names' order
        names.push_back("pos" + std::to_string(i));
        list += (list.empty() ? "" : ",") + names.back();
    }
    for (const std::string& n : names)
        Drop(n, Req("000020"));
    StartClient(ClientArgs(list));
    ASSERT_TRUE(gw.WaitPackets(names.size(), 30000));
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(WaitReply(names[i]).value_or(""), Approve(names[i], static_cast<int>(i) + 1)) << names[i];
    ASSERT_EQ(client.StopWithFile(), 0);

    const std::vector<Packet> packets = gw.Packets();
    ASSERT_EQ(packets.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(packets[i].text, Sent("000020", "", names[i]));
}

// The client is killed at random moments while it hands out local numbers
// (gateway down, no probe answering). After every restart, no number that
// reached a terminal is ever handed out again, and every such number is in
// the pre-authorisation record file.
TEST_F(TerminalsTest, KilledClientNeverRepeatsAnAuthorisationNumber)
{
    E2E_REQUIRE_LOOPBACK_PROBES();
    UseDeadGateway();
    RefuseAllProbes();
    const std::vector<std::string> terms = {"t1", "t2", "t3", "t4"};
    // No log: the run stays lean.
    const std::vector<std::string> args = {"-n", "CLI1", "-r", sb.root(), "-g", gwAddress,
                                           "-T", "5", "-p", "-1", "-t", "t1,t2,t3,t4"};

    std::mt19937 rng(20260101u);
    std::uniform_int_distribution<int> runMs(30, 400);
    std::multiset<std::string> delivered;
    for (int cycle = 0; cycle < 12; ++cycle) {
        SCOPED_TRACE(cycle);
        // Requests whose reply the last crash swallowed are dropped afresh.
        for (const std::string& t : terms) {
            std::remove(sb.rootPath(t + "out.txt").c_str());
            Drop(t, Req("000020"));
        }
        StartClient(args);
        const double until = os::NowMs() + runMs(rng);
        while (os::NowMs() < until) {
            for (const std::string& t : terms) {
                const std::optional<std::string> reply = ReadFile(sb.rootPath(t + "out.txt"));
                if (!reply || reply->empty())
                    continue;
                if (const std::optional<std::string> n = Field(*reply, "F52"))
                    delivered.insert(*n);
                std::remove(sb.rootPath(t + "out.txt").c_str());
                Drop(t, Req("000020"));
            }
            os::SleepMs(1);
        }
        client.Kill();
        ASSERT_TRUE(client.exitedBySignal());
        // Replies written just before the kill reached their terminals too.
        for (const std::string& t : terms) {
            const std::optional<std::string> reply = ReadFile(sb.rootPath(t + "out.txt"));
            if (reply && !reply->empty())
                if (const std::optional<std::string> n = Field(*reply, "F52"))
                    delivered.insert(*n);
        }
    }
    ASSERT_GT(delivered.size(), 20u) << "too few replies to say anything";

    std::map<std::string, int> seen;
    for (const std::string& n : delivered)
        ++seen[n];
    for (const auto& [number, count] : seen) {
        EXPECT_EQ(count, 1) << number << " reached terminals " << count << " times";
        EXPECT_EQ(number.size(), 12u);
        EXPECT_EQ(number.rfind("I" + CurrentYear(), 0), 0u) << number;
    }
    const std::string records = FileText("kmoautoresp.txt");
    for (const auto& [number, count] : seen)
        EXPECT_NE(records.find("G52=" + number + "|"), std::string::npos) << number << " has no record";
}

}  // namespace
}  // namespace e2e
