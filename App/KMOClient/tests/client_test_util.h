// Shared pieces of the client's tests: a scratch working directory with the
// settings reset, the log read back from a file, and a scripted gateway on
// loopback.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kmo_packet.h"
#include "kmo_socket.h"
#include "kmoclient.h"
#include "kmoclient_internal.h"
#include "log.h"

namespace clienttest {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A file that the client writes through the C library's text streams, with
// LF line ends: on Windows such a stream writes CR LF, which is read back as LF.
inline std::string ReadText(const fs::path& p)
{
    std::string text = ReadFile(p);
#if defined(_WIN32)
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            out += text[i];
        }
    }
    text = out;
#endif
    return text;
}

inline void WriteFile(const fs::path& p, const std::string& text)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

// Every setting back to its value at process start.
inline void ResetSettings()
{
    std::memset(Name, 0, sizeof Name);
    std::memset(HostGateway, 0, sizeof HostGateway);
    std::strcpy(HostGateway, "localhost");
    PortGateway = 8000;
    std::memset(RootPath, 0, sizeof RootPath);
    std::memset(Terminals, 0, sizeof Terminals);
    TerminalCount = 1;
    WaitTimeout = 21600000;
    MaxTroqueles = 2;
    HeartbeatPeriod = 0;
    std::memset(FarmCode, 0, sizeof FarmCode);
    NormalizeReply = 0;
    WaitMode = 0;
}

// A fresh directory as the working directory, the settings reset, and the
// log (every level) on a file in it. Log() gives the messages, time stamp and
// level name removed; LogText() the records as "LEVEL\tmessage" lines.
inline constexpr const char* kRefusedProbes = "127.0.0.1:1;127.0.0.1:1;127.0.0.1:1";

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetSettings();
        // Whatever the build probes, a test probes only loopback ports where
        // nothing listens (port 1), unless it says otherwise.
        client_SetProbeHosts(kRefusedProbes);
        oldCwd_ = fs::current_path();
        dir_ = fs::temp_directory_path() / ("kmoclient_test_" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_ / "root");
        fs::current_path(dir_);
        std::snprintf(RootPath, sizeof RootPath, "%s", (dir_ / "root").string().c_str());
        logPath_ = (dir_ / "client.log").string();
    }
    void TearDown() override
    {
        LOG_Close();
        fs::current_path(oldCwd_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void OpenLog(int min = 0, int max = 100)
    {
        std::string spec = logPath_;
        LOG_Open(min, max, spec.data());
    }
    // "LEVEL\tmessage" per record.
    std::vector<std::string> LogText() const
    {
        std::vector<std::string> out;
        std::istringstream in(ReadFile(logPath_));
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();   // a log written in text mode on Windows
            }
            out.push_back(line.size() > 20 ? line.substr(20) : line);
        }
        return out;
    }
    bool Logged(const std::string& record) const
    {
        for (const auto& l : LogText()) {
            if (l.find(record) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    fs::path Root() const { return dir_ / "root"; }

    fs::path dir_;
    fs::path oldCwd_;
    std::string logPath_;
};

// A gateway on 127.0.0.1 that serves one scripted connection per entry of
// `replies`: it reads one packet and answers with the entry as a packet's
// text; an entry "-" reads and answers nothing; an entry "close" closes
// without answering. Packets() gives what arrived, header included.
class FakeGateway {
public:
    explicit FakeGateway(std::vector<std::string> replies) : replies_(std::move(replies))
    {
        SOCKET_Init("T");   // the gateway's thread shares the connection table
        SOCKET_SetListenAddress("127.0.0.1");
        listen_ = SOCKET_Open("0");
        port_ = SOCKET_LocalPort(listen_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeGateway()
    {
        // Wake an accept that nobody will satisfy, then wait for the thread.
        while (!done_) {
            char addr[32];
            std::snprintf(addr, sizeof addr, "127.0.0.1:%d", port_);
            SOCKET_TestConnection(addr);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        thread_.join();
        SOCKET_Close(listen_, 2);
    }
    int Port() const { return port_; }
    std::vector<std::string> Packets()
    {
        while (!done_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return packets_;
    }
    int Served() const { return served_; }

private:
    void Serve()
    {
        for (const std::string& reply : replies_) {
            int len = 0;
            const int conn = SOCKET_Receive(listen_, nullptr, 0, &len);
            if (conn < 0) {
                continue;
            }
            char buf[4096] = {};
            len = 0;
            if (reply != "close" && SOCKET_Receive(conn, buf, sizeof buf, &len) == 0) {
                packets_.emplace_back(buf, static_cast<std::size_t>(len));
            }
            if (reply != "-" && reply != "close") {
                char packet[4096] = {};
                int n = KMO_MakePacket(1, "GATE", reply.empty() ? "|" : reply.c_str(), packet, sizeof packet);
                if (reply.empty()) {
                    n = static_cast<int>(KMO_PACKET_HEADER_SIZE);   // header only, no text
                }
                SOCKET_Send(conn, packet, &n);
            }
            SOCKET_Close(conn, 2);
            ++served_;
        }
        done_ = true;
    }

    std::vector<std::string> replies_;
    std::vector<std::string> packets_;
    int listen_ = -1;
    int port_ = -1;
    std::atomic<int> served_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// The text of a packet (behind its 10-byte header).
inline std::string PacketText(const std::string& packet)
{
    return packet.size() > KMO_PACKET_HEADER_SIZE ? packet.substr(KMO_PACKET_HEADER_SIZE) : std::string();
}

}  // namespace clienttest
