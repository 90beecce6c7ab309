// End-to-end harness: a private sandbox directory, the real kmogateway and
// kmoclient as child processes, and readers for what they leave behind (reply
// files, the gateway's packet record, the client's log). Every wait is bounded.
// No GoogleTest here, so that the benchmark can use it too.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "e2e_os.h"

namespace e2e {

inline constexpr int kWaitMs = 10000;   // the bound of every ordinary wait
// The status of a program that ends with -1: 255 on POSIX, -1 itself on Windows.
#if defined(_WIN32)
inline constexpr int kExitMinusOne = -1;
#else
inline constexpr int kExitMinusOne = 255;
#endif
#if defined(_WIN32)
inline constexpr char kPathSep = '\\';
#else
inline constexpr char kPathSep = '/';
#endif
// What the waits below give when there is no exit status (still running, or
// killed): no program can end with it.
inline constexpr int kNoStatus = -1000;

// Polls `cond` every `stepMs` until it holds (true) or `timeoutMs` has passed.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = kWaitMs, int stepMs = 5);

// Text that a program wrote through the C library's text streams, with LF
// line ends: on Windows every CR LF of it becomes LF.
std::string PlatformText(std::string text);

// Files.
bool Exists(const std::string& path);
std::optional<std::string> ReadFile(const std::string& path);
bool WriteFile(const std::string& path, std::string_view data);
// Writes under a temporary name, then renames into place, so that a reader
// never sees a half-written file.
bool DropFile(const std::string& path, std::string_view data);
std::vector<std::string> SplitLines(const std::string& text);   // on '\n', no empty tail

// The compiled-in connectivity probes of kmoclient, as "host:port" texts, and
// whether every one of them is a 127.x address.
std::vector<std::string> ProbeHosts();
bool ProbesOnLoopback();
std::vector<int> ProbePorts();

std::string CurrentYear();   // local time, four digits

// KMO packets as the gateway records them.
struct Packet {
    std::uint16_t type = 0;
    std::string name;    // the 4 name bytes
    std::string text;
    std::string raw;     // the whole packet
};
// Consecutive packets; *cutShort is set when the bytes end inside a packet.
std::vector<Packet> ParsePackets(std::string_view bytes, bool* cutShort);
std::string PacketBytes(std::uint16_t type, std::string_view name4, std::string_view text);

// Log records "YYYY/MM/DD HH:MM:SS\tLEVEL\tmessage".
struct LogRecord {
    std::string stamp, level, message;
};
// Records of the log file; lines that do not have the record's shape are
// reported in *bad (when given).
std::vector<LogRecord> ParseLog(const std::string& text, std::vector<std::string>* bad);
// Position of the first record at or after `from` whose message matches
// `pattern` (exact text; a '*' stands for any run of characters); -1 if none.
int FindRecord(const std::vector<LogRecord>& log, std::string_view pattern, int from = 0);
int CountRecords(const std::vector<LogRecord>& log, std::string_view pattern);
// "" when the patterns occur in this order (others may stand between them);
// otherwise a description of the first one missing.
std::string CheckOrder(const std::vector<LogRecord>& log, const std::vector<std::string>& patterns);

// A fresh temporary directory: the client's working directory, with the
// exchange root "<dir>/root" in it. Removed with its content on destruction.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    bool ok() const { return !dir_.empty(); }
    const std::string& dir() const { return dir_; }
    std::string root() const { return dir_ + "/root"; }
    std::string path(std::string_view name) const { return dir_ + "/" + std::string(name); }
    // Joined as the client joins a terminal's files: with the platform's separator.
    std::string rootPath(std::string_view name) const { return root() + kPathSep + std::string(name); }

private:
    std::string dir_;
};

// Runs kmoterminal with `args` (its stdout in *out when given); its exit
// status, or -1 when it did not end within `timeoutMs`.
int RunTerminal(const Sandbox& sb, const std::vector<std::string>& args, std::string* out = nullptr,
                int timeoutMs = 2 * kWaitMs);

// kmogateway on a loopback port, recording every packet into <dir>/packets.bin.
class Gateway {
public:
    ~Gateway();
    // Starts it with --port `port` (0: a free one) and waits for its
    // "listening on 127.0.0.1:PORT" line. "" on success, else why not.
    std::string Start(const Sandbox& sb, const std::vector<std::string>& extra, int port = 0);
    // SIGTERM and a bounded wait; the exit status (kNoStatus when it had to be killed).
    int Stop();
    void Kill();   // SIGKILL, reaped
    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<Packet> Packets(bool* cutShort = nullptr) const;
    bool WaitPackets(std::size_t n, int timeoutMs = kWaitMs) const;

private:
    int pid_ = -1;
    int port_ = 0;
    std::string record_;
};

// The real kmoclient.
class Client {
public:
    ~Client();
    // Starts it in the sandbox's directory. "" on success, else why not.
    std::string Start(const Sandbox& sb, const std::vector<std::string>& args, bool asNobody = false);
    // Drops the stop file and waits (bounded) for the exit: its status, or kNoStatus
    // when the client did not end (it is then killed).
    int StopWithFile(int timeoutMs = kWaitMs);
    // Waits for the client to end by itself: its status, kNoStatus on time-out.
    int WaitExit(int timeoutMs = kWaitMs);
    int Terminate(int sig);   // SIGTERM/SIGINT (15/2) and a bounded wait; status or kNoStatus
    void Kill();              // SIGKILL, reaped
    void Hangup();            // SIGHUP, no wait
    bool running() const { return pid_ > 0; }
    bool exitedBySignal() const { return signal_ != 0; }
    std::string Stdout() const;
    std::string Stderr() const;

private:
    int reap(int timeoutMs);
    int pid_ = -1;
    int signal_ = 0;
    std::string dir_, root_;
};

}  // namespace e2e
