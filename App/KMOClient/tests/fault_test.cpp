// Failures injected through the platform seam: the n-th system call of a
// request's road (a gateway exchange, a local reply, a forwarding) fails, for
// every n until the road has fewer calls. After each run the client must not
// have lost or doubled anything: the request is answered once or still
// waiting, no number is issued twice, and no record is lost or torn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "client_test_util.h"
#include "inflight.h"
#include "kmoclient_internal.h"
#include "plat_fault.h"

namespace {

using clienttest::ReadFile;
using clienttest::WriteFile;
namespace fs = std::filesystem;

constexpr int kErrors[] = {EIO, ENOSPC, EINTR, EAGAIN};
constexpr long kMaxWalk = 400;   // far beyond the calls of any road

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t nl = text.find('\n', start);
        out.push_back(text.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (nl == std::string::npos) {
            out.back() += "<torn>";   // a last line without its line end
            break;
        }
        start = nl + 1;
    }
    return out;
}

// The value of a field of a transaction text, or "".
std::string Field(const std::string& text, const std::string& tag)
{
    const std::size_t at = text.find("|" + tag + "=");
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t from = at + tag.size() + 2;
    return text.substr(from, text.find('|', from) - from);
}

class FaultTest : public clienttest::ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        SOCKET_Init("T");
        OpenLog();
        std::strcpy(Name, "CLIX");
        std::strcpy(Terminals[0], "caja1");
        TerminalCount = 1;
        ExchangeTimeout = 5;
    }
    void TearDown() override
    {
        PLAT_FaultDisarm();
        ClientTest::TearDown();
    }

    // A fresh working directory and root for one run of the walk.
    void FreshRun()
    {
        fs::current_path(dir_);
        const fs::path run = dir_ / ("run" + std::to_string(++runs_));
        fs::create_directories(run / "root");
        fs::current_path(run);
        std::memset(RootPath, 0, sizeof RootPath);
        std::snprintf(RootPath, sizeof RootPath, "%s", (run / "root").string().c_str());
        inflight_Recover();   // no record: nothing in flight
        // This year's numbering, at 41.
        const std::time_t now = std::time(nullptr);
        char year[8] = {};
        std::strftime(year, sizeof year, "%Y", std::localtime(&now));
        WriteFile("anio.txt", std::string(year) + "\n");
        WriteFile("nroaut.txt", "41\n");
    }
    int runs_ = 0;

    std::string LogTail() const
    {
        const std::vector<std::string> log = LogText();
        std::string tail;
        for (std::size_t i = log.size() > 12 ? log.size() - 12 : 0; i < log.size(); ++i) {
            tail += log[i] + "\n";
        }
        return tail;
    }
    fs::path In() const { return fs::path(RootPath) / "caja1in.txt"; }
    fs::path Out() const { return fs::path(RootPath) / "caja1out.txt"; }

    // Serves passes until the request is answered (bounded): what a client
    // that goes on running, or is restarted, does.
    void Settle(bool restart)
    {
        if (restart) {
            inflight_Recover();
        }
        std::time_t timer = 0;
        for (int pass = 0; pass < 4 && (fs::exists(In()) || inflight_Pending(0)); ++pass) {
            client_ServeTerminal(0, &timer);
        }
    }

    // The invariants after a settled run: answered, and a local number has
    // exactly one whole record, no other record shares a number, and it is
    // above every number stored before the run (`floor`).
    void CheckSettled(long long floor)
    {
        EXPECT_FALSE(fs::exists(In())) << "request still waiting after the failures passed\n" << LogTail();
        EXPECT_FALSE(inflight_Pending(0));
        const std::string reply = ReadFile(Out());
        ASSERT_FALSE(reply.empty()) << "request lost";
        const std::vector<std::string> records = Lines(ReadFile(KMO_FILE_AUTORESP));
        const std::string number = Field(reply, "F52");
        if (number.empty() || number.rfind("GW", 0) == 0) {
            EXPECT_TRUE(records.empty()) << "only a pre-authorisation has a record";
            return;
        }
        ASSERT_EQ(records.size(), 1u) << "one record per answered pre-authorisation, got "
                                      << ReadFile(KMO_FILE_AUTORESP);
        EXPECT_EQ(Field(records[0], "G52"), number) << records[0];
        EXPECT_EQ(records[0].back(), '|') << "torn record";
        ASSERT_EQ(number.size(), 12u) << number;
        EXPECT_GT(std::atoll(number.c_str() + 5), floor) << number << " was issued before";
        EXPECT_LE(std::atoll(number.c_str() + 5), std::atoll(ReadFile("nroaut.txt").c_str()))
            << number << " was never stored";
    }
};

// Walks a failing call over every call of a road. `road` prepares and runs
// one pass; the walk ends at the first n that no call reaches.
template <typename Road>
long Walk(Road road, unsigned points)
{
    long n = 1;
    for (; n <= kMaxWalk; ++n) {
        const bool reached = road(n, points);
        if (!reached) {
            break;
        }
    }
    return n;
}

TEST_F(FaultTest, GatewayExchangeAndLocalReplySurviveAFailureAtEveryCall)
{
    const struct {
        const char* road;
        const char* request;
        bool gateway;   // a gateway answers (else: a local reply)
    } roads[] = {
        {"gateway exchange", "|G01=0000012345|G04=77|G99=000020|", true},
        {"local pre-authorisation", "|G01=0000012345|G04=77|G99=000030|", false},
        {"refused request", "|G01=1|G06=short|G99=000020|", false},
    };
    for (const auto& r : roads) {
        for (const bool restart : {false, true}) {
            SCOPED_TRACE(std::string(r.road) + (restart ? ", restarted" : ""));
            long steps = 0;
            const long walked = Walk(
                [&](long n, unsigned points) {
                    FreshRun();
                    std::unique_ptr<clienttest::FakeGateway> gw;
                    if (r.gateway) {
                        gw = std::make_unique<clienttest::FakeGateway>(
                            std::vector<std::string>(4, "|F50=00|F51=OK|F52=GW0000000001|"));
                        std::snprintf(HostGateway, sizeof HostGateway, "127.0.0.1");
                        PortGateway = gw->Port();
                    } else {
                        std::snprintf(HostGateway, sizeof HostGateway, "127.0.0.1");
                        PortGateway = 1;   // nothing listens: a local reply
                    }
                    WriteFile(In(), r.request);
                    std::time_t timer = 0;
                    SCOPED_TRACE("call " + std::to_string(n));
                    PLAT_FaultArm(points, n, kErrors[n % 4], false);
                    client_ServeTerminal(0, &timer);
                    const bool reached = PLAT_FaultInjected() > 0;
                    PLAT_FaultDisarm();
                    Settle(restart);
                    CheckSettled(41);
                    ++steps;
                    return reached;
                },
                PLAT_FAULT_ALL);
            std::printf("%s%s: %ld calls\n", r.road, restart ? " (restart)" : "", walked - 1);
            EXPECT_GT(walked, 10) << "the road has more calls than that";
            EXPECT_LT(walked, kMaxWalk) << "the walk never reached the end of the road";
            EXPECT_EQ(steps, walked);
        }
    }
}

// A disk that stays full from the n-th write on: nothing is answered with a
// number that was not stored, and once space is back the request is answered
// with a number not issued before.
TEST_F(FaultTest, DiskThatStaysFullNeverRepeatsANumber)
{
    const long walked = Walk(
        [&](long n, unsigned points) {
            FreshRun();
            SCOPED_TRACE("call " + std::to_string(n));
            std::snprintf(HostGateway, sizeof HostGateway, "127.0.0.1");
            PortGateway = 1;
            WriteFile(In(), "|G01=1|G99=000020|");
            std::time_t timer = 0;
            PLAT_FaultArm(points, n, ENOSPC, true);
            for (int pass = 0; pass < 3; ++pass) {
                client_ServeTerminal(0, &timer);
            }
            const bool reached = PLAT_FaultInjected() > 0;
            PLAT_FaultDisarm();
            const std::string early = ReadFile(Out());
            if (!early.empty()) {
                // Answered before the disk filled: its number is stored.
                EXPECT_GE(std::atoll(ReadFile("nroaut.txt").c_str()), 42);
            }
            Settle(false);
            CheckSettled(41);
            return reached;
        },
        PLAT_FAULT_WRITE | PLAT_FAULT_FSYNC);
    std::printf("full disk: %ld writes and syncs\n", walked - 1);
    EXPECT_GT(walked, 3);
    EXPECT_LT(walked, kMaxWalk);
}

// Forwarding with a failure at every call: records leave kmoautoresp.txt only
// when the gateway took them, and the file never holds a torn or doubled line.
TEST_F(FaultTest, ForwardingLosesAndTearsNoRecordWhateverCallFails)
{
    const std::vector<std::string> records = {"|G01=1|G99=000020|G52=G20260000001|",
                                              "|G01=2|G99=000020|G52=G20260000002|",
                                              "|G01=3|G99=000010|G52=G20260000003|"};
    const long walked = Walk(
        [&](long n, unsigned points) {
            FreshRun();
            std::string text;
            for (const std::string& r : records) {
                text += r + "\n";
            }
            WriteFile(KMO_FILE_AUTORESP, text);
            auto gw = std::make_unique<clienttest::FakeGateway>(
                std::vector<std::string>(records.size(), "|F50=00|F51=OK|F52=GW0000000009|"));
            std::snprintf(HostGateway, sizeof HostGateway, "127.0.0.1");
            PortGateway = gw->Port();
            PLAT_FaultArm(points, n, kErrors[n % 4], false);
            KMOClient_EnviarRecetasPreautorizadas();
            const bool reached = PLAT_FaultInjected() > 0;
            PLAT_FaultDisarm();
            SCOPED_TRACE("call " + std::to_string(n));
            const std::string left = fs::exists(KMO_FILE_AUTORESP) ? ReadFile(KMO_FILE_AUTORESP) : "";
            std::set<std::string> seen;
            for (const std::string& line : Lines(left)) {
                EXPECT_NE(std::find(records.begin(), records.end(), line), records.end()) << "torn: " << line;
                EXPECT_TRUE(seen.insert(line).second) << "doubled: " << line;
            }
            // The gateway counts an exchange once it has closed it: wait (bounded).
            const int gone = static_cast<int>(records.size() - seen.size());
            for (int i = 0; i < 200 && gw->Served() < gone; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            EXPECT_LE(gone, gw->Served()) << "a record left without the gateway taking it";
            gw.reset();
            return reached;
        },
        PLAT_FAULT_ALL);
    std::printf("forwarding: %ld calls\n", walked - 1);
    EXPECT_GT(walked, 3);
    EXPECT_LT(walked, kMaxWalk);
}

}  // namespace
