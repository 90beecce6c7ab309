// The fixture of the end-to-end tests: one sandbox, one gateway, one client
// per test, plus builders for the request and reply texts the tests exchange.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness.h"

// Tests that can make the client probe its connectivity hosts run only when
// those are loopback addresses, so no build can send traffic off the machine.
#define E2E_REQUIRE_LOOPBACK_PROBES()                                                         \
    do {                                                                                      \
        if (!e2e::ProbesOnLoopback()) {                                                       \
            GTEST_SKIP() << "kmoclient's probe hosts are not all on 127.0.0.0/8; configure "   \
                            "with -DKMO_PROBE_HOSTS=\"127.0.0.1:18081;127.0.0.1:18082;127.0.0.1:18083\""; \
        }                                                                                     \
    } while (0)

namespace e2e {

// ---- texts -------------------------------------------------------------

inline const std::string kG01 = "1234", kG04 = "5678", kG08 = "90";

// A request of the test pharmacy; G06 is left out when not given.
inline std::string Req(std::string_view g99, std::optional<std::string> g06 = std::nullopt)
{
    std::string t = "|G01=" + kG01 + "|G04=" + kG04 + "|G08=" + kG08 + "|G99=" + std::string(g99) + "|";
    if (g06)
        t += "G06=" + *g06 + "|";
    return t;
}

// What the client sends for Req(g99, ...): G06 (the kept records) and G41
// moved behind the other fields, the text closed.
inline std::string Sent(std::string_view g99, std::string_view keptG06, std::string_view terminal)
{
    return "|G01=" + kG01 + "|G04=" + kG04 + "|G08=" + kG08 + "|G99=" + std::string(g99) + "|G06=" +
           std::string(keptG06) + "|G41=" + std::string(terminal) + "|";
}

inline std::string Ref(int n)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%012d", n);
    return buf;
}

// kmogateway's replies to Req(...) from `terminal`.
inline std::string Approve(std::string_view terminal, int ref)
{
    return "|F01=" + kG01 + "|F04=" + kG04 + "|F08=" + kG08 + "|F41=" + std::string(terminal) +
           "|F50=00|F51=RECETA APROBADA|F52=" + Ref(ref) + "|";
}
inline std::string Refuse(std::string_view terminal, int ref)
{
    return "|F01=" + kG01 + "|F04=" + kG04 + "|F08=" + kG08 + "|F41=" + std::string(terminal) +
           "|F50=ER|F51=RECETA RECHAZADA|F52=" + Ref(ref) + "|";
}

// The authorisation number: origin letter, current year, sequence.
inline std::string AuthNumber(char origin, int seq)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%07d", seq);
    return std::string(1, origin) + CurrentYear() + buf;
}

// The client's local replies to Req(g99, ...).
inline std::string AutoReply(std::string_view terminal, const std::string& number, std::string_view f99)
{
    return "|F01=" + kG01 + "|F04=" + kG04 + "|F08=" + kG08 + "|F41=" + std::string(terminal) +
           "|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=" + number + "|F99=" + std::string(f99) + "|";
}
inline std::string ErrorReply(std::string_view terminal, std::string_view message, std::string_view f99)
{
    return "|F01=" + kG01 + "|F04=" + kG04 + "|F08=" + kG08 + "|F41=" + std::string(terminal) +
           "|F50=ND|F51=" + std::string(message) + "|F99=" + std::string(f99) + "|";
}

// One troquel record of `width` characters whose leading number is `number`
// (0 makes an empty slot).
inline std::string Troquel(int number, int width)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%07d", number);
    std::string r = buf;
    r.resize(static_cast<std::size_t>(width), 'X');
    return r;
}

// The value of field `tag` in a transaction text, or nullopt.
inline std::optional<std::string> Field(const std::string& text, std::string_view tag)
{
    const std::size_t at = text.find(std::string(tag) + "=");
    if (at == std::string::npos)
        return std::nullopt;
    const std::size_t start = at + tag.size() + 1;
    const std::size_t end = text.find('|', start);
    if (end == std::string::npos)
        return std::nullopt;
    return text.substr(start, end - start);
}

// ---- fixture -----------------------------------------------------------

class E2ETest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sb.ok()) << "no temporary directory"; }

    void TearDown() override
    {
        client.Kill();
        if (gw.running())
            StopGateway();
        for (int fd : held)
            os::CloseFd(fd);
    }

    // SIGTERM must end the gateway with 0; where no stop signal reaches it
    // (Windows without a console) it is killed.
    void StopGateway()
    {
        if (os::CanSendStopSignals()) {
            EXPECT_EQ(gw.Stop(), 0) << "kmogateway did not end cleanly on SIGTERM";
        }
        gw.Kill();
    }

    void StartGateway(const std::vector<std::string>& extra = {}, int port = 0)
    {
        const std::string why = gw.Start(sb, extra, port);
        ASSERT_EQ(why, "");
        gwAddress = gw.address();
    }

    // A loopback port where nothing listens (held bound, so nobody takes it).
    void UseDeadGateway()
    {
        const int fd = os::BindLoopback(0, false);
        ASSERT_GE(fd, 0);
        held.push_back(fd);
        gwAddress = "127.0.0.1:" + std::to_string(os::LocalPort(fd));
    }

    // Every probe refused: the ports are held bound without listening.
    void RefuseAllProbes()
    {
        for (int port : ProbePorts()) {
            int fd = -1;
            WaitUntil([&] { return (fd = os::BindLoopback(port, false)) >= 0; }, kWaitMs, 50);
            ASSERT_GE(fd, 0) << "probe port " << port << " is in use by another program";
            held.push_back(fd);
        }
    }

    // The first probe answers (the kernel accepts into the backlog).
    void AnswerFirstProbe()
    {
        const std::vector<int> ports = ProbePorts();
        ASSERT_FALSE(ports.empty());
        int fd = -1;
        WaitUntil([&] { return (fd = os::BindLoopback(ports[0], true)) >= 0; }, kWaitMs, 50);
        ASSERT_GE(fd, 0) << "probe port " << ports[0] << " is in use by another program";
        held.push_back(fd);
    }

    std::string logPath() const { return sb.path("client.log"); }

    // The usual command line; options given later override these (the last
    // occurrence of an option wins). Heartbeats are off unless a test turns
    // them on, so that a local reply's record stays in kmoautoresp.txt.
    std::vector<std::string> ClientArgs(const std::string& terminals = "caja1") const
    {
        return {"-n", "CLI1", "-r", sb.root(), "-g", gwAddress, "-T", "50",
                "-l", logPath() + ",1,80", "-p", "-1", "-t", terminals};
    }

    void StartClient(const std::vector<std::string>& args, bool asNobody = false)
    {
        const std::string why = client.Start(sb, args, asNobody);
        ASSERT_EQ(why, "");
    }

    void Drop(const std::string& terminal, std::string_view text)
    {
        ASSERT_TRUE(DropFile(sb.rootPath(terminal + "in.txt"), text)) << "cannot drop the request";
    }

    // Waits for the terminal's reply file to hold its text (written in one
    // write, so a non-empty file is complete) and returns it; nullopt on time-out.
    std::optional<std::string> WaitReply(const std::string& terminal, int timeoutMs = kWaitMs)
    {
        const std::string path = sb.rootPath(terminal + "out.txt");
        std::optional<std::string> text;
        WaitUntil([&] {
            text = ReadFile(path);
            return text && !text->empty();
        }, timeoutMs);
        if (!text || text->empty())
            return std::nullopt;
        return text;
    }

    // Takes the reply away, as the terminal does once it has read it.
    std::optional<std::string> TakeReply(const std::string& terminal, int timeoutMs = kWaitMs)
    {
        std::optional<std::string> text = WaitReply(terminal, timeoutMs);
        if (text)
            std::remove(sb.rootPath(terminal + "out.txt").c_str());
        return text;
    }

    std::vector<LogRecord> Log()
    {
        std::vector<std::string> bad;
        std::vector<LogRecord> log = ParseLog(ReadFile(logPath()).value_or(""), &bad);
        EXPECT_TRUE(bad.empty()) << "log lines without the record shape, first: [" << (bad.empty() ? "" : bad[0])
                                 << "]";
        return log;
    }

    bool WaitLog(std::string_view pattern, int count = 1, int timeoutMs = kWaitMs)
    {
        return WaitUntil([&] {
            return CountRecords(ParseLog(ReadFile(logPath()).value_or(""), nullptr), pattern) >= count;
        }, timeoutMs, 10);
    }

    std::string FileText(std::string_view name) const
    {
        return PlatformText(ReadFile(sb.path(name)).value_or("<absent>"));
    }

    Sandbox sb;
    Gateway gw;
    Client client;
    std::string gwAddress = "127.0.0.1:1";
    std::vector<int> held;   // descriptors released at tear-down
};

}  // namespace e2e
