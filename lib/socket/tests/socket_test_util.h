// Shared fixture and helpers of the socket layer's tests: a log on a temporary
// file read back line by line, descriptor counting, raw loopback peers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "kmo_socket.h"
#include "log.h"
#include "plat_lock.h"
#include "plat_proc.h"
#include "plat_sock.h"
#include "socket_internal.h"

namespace sockettest {

struct LogLine {
    std::string level;
    std::string message;
};

// Opens the log on a fresh temporary file for every level; Lines() reads it back.
class LogCapture {
public:
    LogCapture()
    {
        path_ = std::filesystem::temp_directory_path() /
                ("kmo_socket_test_" + std::to_string(std::random_device{}()) + ".log");
        std::string spec = path_.string();
        LOG_Open(0, 100, spec.data());
    }
    ~LogCapture()
    {
        LOG_Close();
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines() const
    {
        std::vector<LogLine> lines;
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line)) {
            // "YYYY/MM/DD HH:MM:SS\tLEVEL\tmessage"
            const std::size_t a = line.find('\t');
            const std::size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
            if (b == std::string::npos) {
                lines.push_back({"?", line});
                continue;
            }
            lines.push_back({line.substr(a + 1, b - a - 1), line.substr(b + 1)});
        }
        return lines;
    }
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> out;
        for (const LogLine& l : Lines()) {
            out.push_back(l.message);
        }
        return out;
    }
    bool Has(const std::string& message) const
    {
        for (const LogLine& l : Lines()) {
            if (l.message == message) {
                return true;
            }
        }
        return false;
    }
    // Empties the file so that a test can look at the records of one step.
    void Clear() const { std::ofstream(path_, std::ios::trunc); }

private:
    std::filesystem::path path_;
};

// The descriptors (Windows: handles) this process has open, to show that
// nothing leaks.
inline int OpenDescriptors()
{
    return PLAT_OpenHandleCount();
}

inline std::uint32_t Loopback(const char* dotted = "127.0.0.1")
{
    std::uint32_t a = 0;
    PLAT_SockParseIPv4(dotted, &a);
    return a;
}

// A raw listening socket on 127.0.0.1 with a port the system picked.
struct RawListener {
    PLAT_Sock s = PLAT_SOCK_BAD;
    int port = -1;
    RawListener()
    {
        s = PLAT_SockTcp();
        if (s != PLAT_SOCK_BAD && PLAT_SockBind(s, Loopback(), 0) == 0 && PLAT_SockListen(s, 16) == 0) {
            port = PLAT_SockLocalPort(s);
        }
    }
    ~RawListener()
    {
        if (s != PLAT_SOCK_BAD) {
            PLAT_SockClose(s);
        }
    }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;
    std::string Address() const { return "127.0.0.1:" + std::to_string(port); }
};

// A raw client connection, optionally from a given loopback address.
struct RawClient {
    PLAT_Sock s = PLAT_SOCK_BAD;
    RawClient(int port, const char* from = nullptr)
    {
        s = PLAT_SockTcp();
        if (s == PLAT_SOCK_BAD) {
            return;
        }
        if ((from != nullptr && PLAT_SockBind(s, Loopback(from), 0) != 0) ||
            PLAT_SockConnect(s, Loopback(), static_cast<std::uint16_t>(port)) != 0) {
            PLAT_SockClose(s);
            s = PLAT_SOCK_BAD;
        }
    }
    RawClient() = default;
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    void Adopt(PLAT_Sock accepted)
    {
        Close();
        s = accepted;
    }
    void Close()
    {
        if (s != PLAT_SOCK_BAD) {
            PLAT_SockClose(s);
            s = PLAT_SOCK_BAD;
        }
    }
};

// Starts the layer on a lock of its own (tests run in parallel processes) with
// a log on a temporary file; stops and restores everything afterwards.
class SocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        lockName_ = "kmosock.test." + std::to_string(std::random_device{}());
        socket_SetLockName(lockName_.c_str());
        log_ = std::make_unique<LogCapture>();
        ASSERT_EQ(SOCKET_Init(nullptr), 0);
        fdsAtStart_ = OpenDescriptors();
    }
    void TearDown() override
    {
        SOCKET_Exit();
        log_.reset();
        socket_SetMultithreaded(false);
        socket_ReadSetClear();
        socket_SetBarredPeer(nullptr);
        socket_SetResolver(nullptr);
        SOCKET_SetListenAddress("0.0.0.0");
        PLAT_LockRemove(lockName_.c_str());
        socket_SetLockName(nullptr);
    }
    // Opens a listening connection on 127.0.0.1 with a port the system picks.
    int OpenLoopbackServer()
    {
        SOCKET_SetListenAddress("127.0.0.1");
        return SOCKET_Open("0");
    }

    std::unique_ptr<LogCapture> log_;
    std::string lockName_;
    int fdsAtStart_ = 0;
};

}  // namespace sockettest
