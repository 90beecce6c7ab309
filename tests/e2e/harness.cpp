// The end-to-end harness (see harness.h).
#include "harness.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "e2e_config.h"

namespace e2e {
namespace fs = std::filesystem;

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs, int stepMs)
{
    const double deadline = os::NowMs() + timeoutMs;
    for (;;) {
        if (cond())
            return true;
        if (os::NowMs() >= deadline)
            return false;
        os::SleepMs(stepMs);
    }
}

bool Exists(const std::string& path)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

std::optional<std::string> ReadFile(const std::string& path)
{
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, std::string_view data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    return static_cast<bool>(out);
}

bool DropFile(const std::string& path, std::string_view data)
{
    const fs::path target(path);
    const fs::path tmp = target.parent_path() / (".drop-" + target.filename().string());
    if (!WriteFile(tmp.string(), data))
        return false;
    std::error_code ec;
    fs::rename(tmp, target, ec);
    return !ec;
}

std::string PlatformText(std::string text)
{
#if defined(_WIN32)
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    }
    text.swap(out);
#endif
    return text;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

std::vector<std::string> ProbeHosts()
{
    std::vector<std::string> hosts;
    std::string all = E2E_PROBE_HOSTS;
    std::size_t start = 0;
    while (start <= all.size()) {
        const std::size_t semi = all.find(';', start);
        const std::string one = all.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
        if (!one.empty())
            hosts.push_back(one);
        if (semi == std::string::npos)
            break;
        start = semi + 1;
    }
    return hosts;
}

bool ProbesOnLoopback()
{
    const std::vector<std::string> hosts = ProbeHosts();
    if (hosts.empty())
        return false;
    for (const std::string& h : hosts) {
        if (h.rfind("127.", 0) != 0)
            return false;
        // Only digits and dots before the colon: "127.evil.example" is a name.
        const std::size_t colon = h.find(':');
        for (std::size_t i = 0; i < std::min(colon, h.size()); ++i)
            if (h[i] != '.' && (h[i] < '0' || h[i] > '9'))
                return false;
    }
    return true;
}

std::vector<int> ProbePorts()
{
    std::vector<int> ports;
    for (const std::string& h : ProbeHosts()) {
        const std::size_t colon = h.rfind(':');
        ports.push_back(colon == std::string::npos ? 80 : std::atoi(h.c_str() + colon + 1));
    }
    return ports;
}

std::string CurrentYear()
{
    const std::time_t now = std::time(nullptr);
    const std::tm* tm = std::localtime(&now);   // the harness runs on one thread
    return tm ? std::to_string(tm->tm_year + 1900) : std::string();
}

std::vector<Packet> ParsePackets(std::string_view bytes, bool* cutShort)
{
    std::vector<Packet> out;
    std::size_t pos = 0;
    bool cut = false;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < 4) {
            cut = true;
            break;
        }
        const auto b = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[pos + i])); };
        const std::uint32_t len = (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
        if (len < 6 || bytes.size() - pos - 4 < len) {
            cut = true;
            break;
        }
        Packet p;
        p.type = static_cast<std::uint16_t>((b(4) << 8) | b(5));
        p.name = std::string(bytes.substr(pos + 6, 4));
        p.text = std::string(bytes.substr(pos + 10, len - 6));
        p.raw = std::string(bytes.substr(pos, 4 + len));
        out.push_back(std::move(p));
        pos += 4 + len;
    }
    if (cutShort)
        *cutShort = cut;
    return out;
}

std::string PacketBytes(std::uint16_t type, std::string_view name4, std::string_view text)
{
    const std::uint32_t len = static_cast<std::uint32_t>(6 + text.size());
    std::string p;
    p += static_cast<char>(len >> 24);
    p += static_cast<char>(len >> 16);
    p += static_cast<char>(len >> 8);
    p += static_cast<char>(len);
    p += static_cast<char>(type >> 8);
    p += static_cast<char>(type);
    std::string name(name4.substr(0, 4));
    name.resize(4, '\0');
    p += name;
    p += text;
    return p;
}

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "YYYY/MM/DD HH:MM:SS"
bool isStamp(std::string_view s)
{
    static constexpr std::string_view shape = "dddd/dd/dd dd:dd:dd";
    if (s.size() != shape.size())
        return false;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (shape[i] == 'd' ? !isDigit(s[i]) : s[i] != shape[i])
            return false;
    return true;
}

// '*' in the pattern stands for any run of characters (messages hold none).
bool matches(std::string_view message, std::string_view pattern)
{
    const std::size_t star = pattern.find('*');
    if (star == std::string_view::npos)
        return message == pattern;
    if (message.substr(0, star) != pattern.substr(0, star))
        return false;
    const std::string_view rest = pattern.substr(star + 1);
    for (std::size_t from = star; from <= message.size(); ++from)
        if (matches(message.substr(from), rest))
            return true;
    return false;
}

}  // namespace

std::vector<LogRecord> ParseLog(const std::string& text, std::vector<std::string>* bad)
{
    static const std::vector<std::string> levels = {"PANIC", "ERROR", "WARNING", "INFO", "DEBUG", ""};
    std::vector<LogRecord> out;
    for (std::string line : SplitLines(text)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();   // the log is a text file: CR LF on Windows
        const std::size_t t1 = line.find('\t');
        const std::size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
        LogRecord r;
        if (t2 != std::string::npos) {
            r.stamp = line.substr(0, t1);
            r.level = line.substr(t1 + 1, t2 - t1 - 1);
            r.message = line.substr(t2 + 1);
        }
        bool known = false;
        for (const std::string& l : levels)
            known = known || r.level == l;
        if (t2 == std::string::npos || !isStamp(r.stamp) || !known) {
            if (bad)
                bad->push_back(line);
            continue;
        }
        out.push_back(std::move(r));
    }
    return out;
}

int FindRecord(const std::vector<LogRecord>& log, std::string_view pattern, int from)
{
    for (std::size_t i = static_cast<std::size_t>(std::max(from, 0)); i < log.size(); ++i)
        if (matches(log[i].message, pattern))
            return static_cast<int>(i);
    return -1;
}

int CountRecords(const std::vector<LogRecord>& log, std::string_view pattern)
{
    int n = 0;
    for (const LogRecord& r : log)
        n += matches(r.message, pattern) ? 1 : 0;
    return n;
}

std::string CheckOrder(const std::vector<LogRecord>& log, const std::vector<std::string>& patterns)
{
    int at = 0;
    for (const std::string& p : patterns) {
        const int found = FindRecord(log, p, at);
        if (found < 0) {
            std::ostringstream why;
            why << "record [" << p << "] not found after record " << at << " of " << log.size();
            return why.str();
        }
        at = found + 1;
    }
    return {};
}

// ---------------------------------------------------------------- Sandbox

Sandbox::Sandbox()
{
    dir_ = os::MakeTempDir("kmo-e2e-");
    if (!dir_.empty()) {
        std::error_code ec;
        fs::create_directory(root(), ec);
        if (ec)
            dir_.clear();
    }
}

Sandbox::~Sandbox()
{
    if (dir_.empty())
        return;
    std::error_code ec;
    if (std::getenv("KMO_E2E_KEEP") != nullptr) {   // for a look after a failure
        std::fprintf(stderr, "kept %s\n", dir_.c_str());
        return;
    }
    // Tests may have taken permissions away; give them back before removal.
    os::ChangeMode(root(), 0755);
    fs::remove_all(dir_, ec);
}

// ---------------------------------------------------------------- Gateway

Gateway::~Gateway() { Kill(); }

void Gateway::Kill()
{
    if (pid_ <= 0)
        return;
    os::SendKill(pid_);
    os::ExitStatus st;
    os::WaitExit(pid_, kWaitMs, &st);
    pid_ = -1;
}

std::string Gateway::Start(const Sandbox& sb, const std::vector<std::string>& extra, int port)
{
    record_ = sb.path("packets.bin");
    const std::string outPath = sb.path("gateway.out");
    os::SpawnOptions opt;
    opt.argv = {KMOGATEWAY_PATH, "--port", std::to_string(port), "--record", record_};
    opt.argv.insert(opt.argv.end(), extra.begin(), extra.end());
    opt.cwd = sb.dir();
    opt.stdoutPath = outPath;
    opt.stderrPath = sb.path("gateway.err");
    std::string why;
    pid_ = os::Spawn(opt, &why);
    if (pid_ < 0)
        return "cannot start kmogateway: " + why;

    static constexpr std::string_view prefix = "listening on 127.0.0.1:";
    std::string line;
    const bool up = WaitUntil([&] {
        const std::optional<std::string> out = ReadFile(outPath);
        if (!out || out->find('\n') == std::string::npos)
            return false;
        line = out->substr(0, out->find('\n'));
        return true;
    }, kWaitMs, 10);
    if (!up) {
        Stop();
        return "kmogateway printed no listening line within the wait";
    }
    if (line.rfind(prefix, 0) != 0) {
        Stop();
        return "unexpected first line of kmogateway: [" + line + "]";
    }
    port_ = std::atoi(line.c_str() + prefix.size());
    if (port_ <= 0 || (port != 0 && port_ != port)) {
        Stop();
        return "kmogateway listens on an unexpected port: [" + line + "]";
    }
    return {};
}

int Gateway::Stop()
{
    if (pid_ <= 0)
        return kNoStatus;
    os::SendTerm(pid_);
    os::ExitStatus st;
    int result = kNoStatus;
    if (os::WaitExit(pid_, kWaitMs, &st)) {
        result = st.exited ? st.code : kNoStatus;
    } else {
        os::SendKill(pid_);
        os::WaitExit(pid_, kWaitMs, &st);
    }
    pid_ = -1;
    return result;
}

std::vector<Packet> Gateway::Packets(bool* cutShort) const
{
    const std::optional<std::string> bytes = ReadFile(record_);
    if (cutShort)
        *cutShort = false;
    return bytes ? ParsePackets(*bytes, cutShort) : std::vector<Packet>{};
}

bool Gateway::WaitPackets(std::size_t n, int timeoutMs) const
{
    return WaitUntil([&] { return Packets().size() >= n; }, timeoutMs, 10);
}

// ---------------------------------------------------------------- Client

Client::~Client() { Kill(); }

std::string Client::Start(const Sandbox& sb, const std::vector<std::string>& args, bool asNobody)
{
    dir_ = sb.dir();
    root_ = sb.root();
    signal_ = 0;
    os::SpawnOptions opt;
    opt.argv = {KMOCLIENT_PATH};
    opt.argv.insert(opt.argv.end(), args.begin(), args.end());
    opt.cwd = dir_;
    opt.stdoutPath = sb.path("client.out");
    opt.stderrPath = sb.path("client.err");
    opt.asNobody = asNobody;
    std::string why;
    pid_ = os::Spawn(opt, &why);
    return pid_ < 0 ? "cannot start kmoclient: " + why : std::string();
}

int Client::reap(int timeoutMs)
{
    if (pid_ <= 0)
        return kNoStatus;
    os::ExitStatus st;
    if (!os::WaitExit(pid_, timeoutMs, &st))
        return kNoStatus;
    pid_ = -1;
    signal_ = st.signal;
    return st.exited ? st.code : kNoStatus;
}

int Client::StopWithFile(int timeoutMs)
{
    if (pid_ <= 0)
        return kNoStatus;
    DropFile(root_ + "/KMOCLIENTSTOP.tmp", "");
    const int status = reap(timeoutMs);
    if (pid_ > 0)
        Kill();
    return status;
}

int Client::WaitExit(int timeoutMs) { return reap(timeoutMs); }

int Client::Terminate(int sig)
{
    if (pid_ <= 0)
        return kNoStatus;
    if (sig == 2)
        os::SendInt(pid_);
    else
        os::SendTerm(pid_);
    const int status = reap(kWaitMs);
    if (pid_ > 0)
        Kill();
    return status;
}

void Client::Hangup()
{
    if (pid_ > 0)
        os::SendHup(pid_);
}

int RunTerminal(const Sandbox& sb, const std::vector<std::string>& args, std::string* out, int timeoutMs)
{
    os::SpawnOptions opt;
    opt.argv.push_back(KMOTERMINAL_PATH);
    opt.argv.insert(opt.argv.end(), args.begin(), args.end());
    opt.cwd = sb.dir();
    opt.stdoutPath = sb.path("terminal.out");
    opt.stderrPath = sb.path("terminal.err");
    std::string why;
    const int pid = os::Spawn(opt, &why);
    if (pid <= 0)
        return -1;
    os::ExitStatus st;
    if (!os::WaitExit(pid, timeoutMs, &st)) {
        os::SendKill(pid);
        os::WaitExit(pid, kWaitMs, &st);
        return -1;
    }
    if (out != nullptr)
        *out = ReadFile(sb.path("terminal.out")).value_or("");
    return st.exited ? st.code : -1;
}

void Client::Kill()
{
    if (pid_ <= 0)
        return;
    os::SendKill(pid_);
    os::ExitStatus st;
    os::WaitExit(pid_, kWaitMs, &st);
    pid_ = -1;
    signal_ = st.signal;
}

std::string Client::Stdout() const { return PlatformText(ReadFile(dir_ + "/client.out").value_or("")); }
std::string Client::Stderr() const { return PlatformText(ReadFile(dir_ + "/client.err").value_or("")); }

}  // namespace e2e
