// Win32 side of e2e_os.h. Programs start in a process group of their own, so
// that Ctrl+Break reaches them alone; SIGTERM and SIGINT become Ctrl+Break and
// Ctrl+C events, SIGKILL becomes TerminateProcess. "Descriptors" are the C
// runtime's. Paths of the build tree may be POSIX paths when the tests run
// under Wine; they are handed over as Windows paths of its drive Z:.
#include "e2e_os.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <io.h>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>
#include <share.h>
#include <sys/stat.h>

namespace e2e::os {
namespace {

// The sockets handed out by BindLoopback, which CloseFd closes as sockets.
struct Sockets {
    std::mutex lock;
    std::set<int> open;
};

Sockets& sockets()
{
    static Sockets s;
    return s;
}

struct Children {
    std::mutex lock;
    std::map<int, HANDLE> handles;   // process id -> process handle
    std::set<int> killed;            // ended by SendKill
};

Children& children()
{
    static Children c;
    return c;
}

std::string NativePath(const std::string& path)
{
    if (path.empty() || path[0] != '/') {
        return path;
    }
    std::string out = "Z:" + path;
    for (char& c : out) {
        if (c == '/') {
            c = '\\';
        }
    }
    return out;
}

// One argument as the C runtime of the child splits its command line.
std::string Quote(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        return arg;
    }
    std::string out = "\"";
    std::size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        if (c == '"') {
            out.append(slashes * 2 + 1, '\\');
        } else {
            out.append(slashes, '\\');
        }
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, '\\');
    return out + "\"";
}

HANDLE OpenStream(const std::string& path, bool forWriting)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};   // inherited by the child
    const std::string name = path.empty() ? "NUL" : path;
    return CreateFileA(name.c_str(), forWriting ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                       forWriting && !path.empty() ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool SocketsStarted()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

}  // namespace

std::string MakeTempDir(const std::string& prefix)
{
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) {
        return {};
    }
    std::random_device rd;
    for (int tries = 0; tries < 100; ++tries) {
        const std::filesystem::path dir = base / (prefix + std::to_string(rd()));
        if (std::filesystem::create_directory(dir, ec)) {
            return dir.string();
        }
    }
    return {};
}

// The console control events need a console that the programs share with the
// harness; a harness started without one (by ctest, say) makes its own.
void EnsureConsole()
{
    static const bool done = [] {
        if (GetConsoleWindow() == nullptr && AllocConsole()) {
            // The harness itself ignores the events it sends.
            SetConsoleCtrlHandler(nullptr, TRUE);
        }
        return true;
    }();
    (void)done;
}

int Spawn(const SpawnOptions& opt, std::string* why)
{
    EnsureConsole();
    if (opt.argv.empty()) {
        *why = "no program";
        return -1;
    }
    if (opt.asNobody) {
        *why = "running as another user is not supported on Windows";
        return -1;
    }
    const std::string program = NativePath(opt.argv[0]);
    std::string cmd = Quote(program);
    for (std::size_t i = 1; i < opt.argv.size(); ++i) {
        cmd += " " + Quote(opt.argv[i]);
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = OpenStream("", false);
    si.hStdOutput = OpenStream(opt.stdoutPath, true);
    si.hStdError = OpenStream(opt.stderrPath, true);
    PROCESS_INFORMATION pi{};
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    const BOOL ok = si.hStdInput != INVALID_HANDLE_VALUE && si.hStdOutput != INVALID_HANDLE_VALUE &&
                    si.hStdError != INVALID_HANDLE_VALUE &&
                    CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                                   nullptr, opt.cwd.empty() ? nullptr : opt.cwd.c_str(), &si, &pi);
    const DWORD err = GetLastError();
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError}) {
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
    if (!ok) {
        *why = "CreateProcess " + program + ": error " + std::to_string(err);
        return -1;
    }
    CloseHandle(pi.hThread);
    const int pid = static_cast<int>(pi.dwProcessId);
    std::lock_guard<std::mutex> guard(children().lock);
    children().handles[pid] = pi.hProcess;
    children().killed.erase(pid);
    return pid;
}

bool WaitExit(int pid, int timeoutMs, ExitStatus* status)
{
    HANDLE h = nullptr;
    {
        std::lock_guard<std::mutex> guard(children().lock);
        const auto it = children().handles.find(pid);
        if (it == children().handles.end()) {
            *status = ExitStatus{};   // not our child (already reaped)
            return true;
        }
        h = it->second;
    }
    if (WaitForSingleObject(h, static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs)) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(h, &code);
    std::lock_guard<std::mutex> guard(children().lock);
    *status = ExitStatus{};
    if (children().killed.count(pid) != 0) {
        status->signal = 9;
    } else {
        status->exited = true;
        status->code = static_cast<int>(code);   // -1 stays -1 on Windows
    }
    CloseHandle(h);
    children().handles.erase(pid);
    children().killed.erase(pid);
    return true;
}

bool CanSendStopSignals()
{
    EnsureConsole();
    return GetConsoleWindow() != nullptr;
}

void SendTerm(int pid)
{
    GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid));
}

void SendInt(int pid)
{
    // Ctrl+C cannot be aimed at one process group; Ctrl+Break can.
    GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid));
}

void SendKill(int pid)
{
    std::lock_guard<std::mutex> guard(children().lock);
    const auto it = children().handles.find(pid);
    if (it != children().handles.end() && WaitForSingleObject(it->second, 0) == WAIT_TIMEOUT) {
        children().killed.insert(pid);
        TerminateProcess(it->second, 137);
    }
}

void SendHup(int)
{
}

int BindDatagram(const std::string&)
{
    return -1;
}

bool ReceiveDatagram(int, int, std::string*)
{
    return false;
}

// _putenv_s changes the runtime's copy and the process's own environment,
// which CreateProcess hands on.
void SetEnv(const std::string& name, const std::string& value)
{
    _putenv_s(name.c_str(), value.c_str());
}

void UnsetEnv(const std::string& name)
{
    _putenv_s(name.c_str(), "");
}

int OpenHoldWrite(const std::string& path)
{
    int fd = -1;
    return _sopen_s(&fd, path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                    _S_IREAD | _S_IWRITE) == 0
               ? fd
               : -1;
}

int OpenHoldRead(const std::string& path)
{
    int fd = -1;
    return _sopen_s(&fd, path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0) == 0 ? fd : -1;
}

bool WriteFd(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const int n = _write(fd, data.data() + done, static_cast<unsigned>(data.size() - done));
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void CloseFd(int fd)
{
    if (fd < 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(sockets().lock);
        if (sockets().open.erase(fd) != 0) {
            ::closesocket(static_cast<SOCKET>(fd));
            return;
        }
    }
    _close(fd);
}

// Sockets are kept apart from the runtime's descriptors: an int holds the
// SOCKET, which Winsock hands out as a small handle value.
int BindLoopback(int port, bool listen)
{
    if (!SocketsStarted()) {
        return -1;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return -1;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    // Windows lets a second socket take a port held with SO_REUSEADDR; only
    // SO_EXCLUSIVEADDRUSE keeps the port to this one.
    const BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || (listen && ::listen(s, 64) != 0)) {
        ::closesocket(s);
        return -1;
    }
    std::lock_guard<std::mutex> guard(sockets().lock);
    sockets().open.insert(static_cast<int>(s));
    return static_cast<int>(s);
}

int LocalPort(int fd)
{
    sockaddr_in sa{};
    int len = sizeof sa;
    if (::getsockname(static_cast<SOCKET>(fd), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return -1;
    }
    return ntohs(sa.sin_port);
}

bool IsRoot()
{
    return false;   // no privilege drop on Windows: the tests that need it say so
}

bool ChownTreeToNobody(const std::string&)
{
    return false;
}

bool ChangeMode(const std::string& path, unsigned mode)
{
    // Only the write permission exists: a read-only directory or file.
    return _chmod(path.c_str(), (mode & 0200) != 0 ? (_S_IREAD | _S_IWRITE) : _S_IREAD) == 0;
}

bool MakeSymlink(const std::string& target, const std::string& path, bool directory, std::string* why)
{
    constexpr DWORD kUnprivileged = 0x2;   // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE (developer mode)
    const DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | kUnprivileged;
    const std::string native = NativePath(path);
    if (!CreateSymbolicLinkA(native.c_str(), NativePath(target).c_str(), flags)) {
        if (why != nullptr) {
            *why = "CreateSymbolicLink failed with error " + std::to_string(GetLastError());
        }
        return false;
    }
    const DWORD attrs = GetFileAttributesA(native.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return true;
    }
    if (directory) {
        RemoveDirectoryA(native.c_str());
    }
    DeleteFileA(native.c_str());
    if (why != nullptr) {
        *why = "the link made is not a reparse point (Wine)";
    }
    return false;
}

// Windows has no FIFOs in the file system: nothing can be planted as one.
bool MakeFifo(const std::string&)
{
    return false;
}

// Marked sparse first, so that the size takes no room; where the file system
// cannot make it sparse, the size is set all the same.
bool MakeSparseFile(const std::string& path, long long size)
{
    const HANDLE h = CreateFileA(NativePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD got = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr);
    LARGE_INTEGER at{};
    at.QuadPart = size;
    const bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    return ok;
}

bool MountTmpfs(const std::string&, const std::string&, std::string* why)
{
    if (why != nullptr) {
        *why = "Windows has no tmpfs to mount";
    }
    return false;
}

void Unmount(const std::string&)
{
}

void SleepMs(int ms)
{
    Sleep(static_cast<DWORD>(ms < 0 ? 0 : ms));
}

double NowMs()
{
    LARGE_INTEGER freq{};
    LARGE_INTEGER now{};
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

}  // namespace e2e::os
